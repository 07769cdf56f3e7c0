// The shortest number text: its shortcuts must give exactly the general
// shortest round-trip text, which `vesk cat` output is compared against.
#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "numbertext.h"

namespace {

std::string General(double value) {
    char buf[64];
    return std::string(buf, std::to_chars(buf, buf + sizeof buf, value).ptr);
}

TEST(ShortestNumberText, ShortcutsGiveTheGeneralText) {
    std::vector<double> values = {0.001, 0.0015, 0.00999, 0.01, 0.05, 0.1, 0.3, 0.5, 0.9999, 1.5, 2.25, 123.45,
                                  -0.05, -123.45, 99999.99, 100000.5, 1e11 - 0.5, 99999999999.9999, 1e11 + 0.5,
                                  0.000999, 1.0000001, 0.1 + 0.2, 1.005, 2.675, 8.125, 1e-5, 1234567.8901,
                                  4503599627370495.5, 1.7976931348623157e308, 5e-324, 100000.0, -200000.0,
                                  1e10, 12000000.0, 3.0};
    std::mt19937_64 rng(7);
    std::uniform_int_distribution<int64_t> digits(-1000000000, 1000000000);
    for (int i = 0; i < 200000; ++i) {
        const double scale[] = {1, 10, 100, 1000, 10000, 100000, 1e6, 1e9};
        values.push_back(double(digits(rng)) / scale[i % 8]);
    }
    for (int i = 0; i < 20000; ++i) {  // arbitrary doubles, NaNs and infinities included
        const uint64_t bits = rng();
        double d;
        std::memcpy(&d, &bits, sizeof d);
        values.push_back(d);
    }
    for (double v : values) {
        if (std::isnan(v)) continue;
        char buf[vesk::kMaxShortestBytes];
        ASSERT_EQ(std::string(buf, vesk::PutShortest(buf, v)), General(v)) << "value " << General(v);
    }
}

}  // namespace
