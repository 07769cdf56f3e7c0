#include "vstream.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <tuple>

#include "errortext.h"

namespace {

// One value of every kind.
using Sample = std::tuple<bool, int8_t, uint8_t, int16_t, uint16_t, int32_t, uint32_t, int64_t, uint64_t, double,
                          std::string>;

void Serialize(VStream& vs, Sample& values, char (&block)[5]) {
    std::apply([&](auto&... v) { (vs.Transfer(v), ...); }, values);
    vs.TransferBytes(block, sizeof block);
}

// Accepts only `room` bytes.
class LimitedSink : public VStreamIO {
public:
    explicit LimitedSink(size_t room) : fRoom(room) {}
    size_t Read(void*, size_t) override { return 0; }
    size_t Write(const void* buffer, size_t n) override {
        size_t k = std::min(n, fRoom);
        fData.append(static_cast<const char*>(buffer), k);
        fRoom -= k;
        return k;
    }
    std::string fData;

private:
    size_t fRoom;
};

// The error number raised while `read` loads from `bytes`, or 0.
int LoadError(std::string bytes, const std::function<void(VStream&)>& read) {
    try {
        VStream vs(bytes, VStream::kLoading);
        read(vs);
    } catch (const VeskError& e) {
        return e.Number();
    }
    return 0;
}

}  // namespace

TEST(VStreamTest, RoundTripOfEveryKindInLittleEndianLayout) {
    Sample out{true, -5, 250, -30000, 65000, -2000000000, 4000000000u,
               std::numeric_limits<int64_t>::min() + 7, 0xFEDCBA9876543210ull, -1.7976931348623157e308,
               std::string("with\0nul", 8)}, in;
    char outBlock[5] = {'a', 'b', 'c', 'd', 'e'}, inBlock[5] = {};
    std::string buffer;
    {
        VStream vs(buffer, VStream::kStoring);
        Serialize(vs, out, outBlock);
        EXPECT_EQ(vs.Count(), buffer.size());
    }
    EXPECT_EQ(buffer.size(), 56u);  // 1+1+1+2+2+4+4+8+8+8 + (4+8) + 5
    VStream vs(buffer, VStream::kLoading);
    Serialize(vs, in, inBlock);
    EXPECT_EQ(in, out);
    EXPECT_EQ(std::string(inBlock, 5), "abcde");

    std::string layout;
    int32_t i = 0x01020304;
    double one = 1.0, nan = std::nan("0x123"), back = 0;
    std::string s = "xy";
    bool f = false;
    {
        VStream st(layout, VStream::kStoring);
        st.Transfer(i), st.Transfer(one), st.Transfer(s), st.Transfer(f), st.Transfer(nan);
    }
    EXPECT_EQ(layout.substr(0, 19), std::string("\x04\x03\x02\x01" "\0\0\0\0\0\0\xF0\x3F" "\x02\0\0\0xy" "\0", 19));
    VStream(layout.erase(0, 19), VStream::kLoading).Transfer(back);
    EXPECT_EQ(std::memcmp(&nan, &back, 8), 0);  // NaN payloads survive as bits
}

TEST(VStreamTest, TruncatedInputRaisesShortReadAndRefusedBytesRaiseWriteError) {
    std::string full;
    int32_t n = 7;
    std::string hello = "hello";
    {
        VStream vs(full, VStream::kStoring);
        vs.Transfer(n), vs.Transfer(hello);
    }
    auto readBoth = [](VStream& vs) {
        int32_t n = 0;
        std::string s;
        vs.Transfer(n), vs.Transfer(s);
    };
    for (size_t cut = 0; cut < full.size(); ++cut) EXPECT_EQ(LoadError(full.substr(0, cut), readBoth), 1205) << cut;
    // A damaged string length far beyond the data fails without allocating it.
    EXPECT_EQ(LoadError({'\xFF', '\xFF', '\xFF', '\x7F', 'a', 'b'}, [](VStream& vs) { std::string s; vs.Transfer(s); }),
              1205);

    LimitedSink sink(6);
    VStream vs(sink, VStream::kStoring, "sink");
    vs.Transfer(n);
    EXPECT_EQ(sink.fData.size(), 4u);
    try {
        vs.Transfer(n);
        FAIL() << "no error";
    } catch (const VeskError& e) {
        EXPECT_EQ(std::make_pair(e.Number(), e.Args()), std::make_pair(1202, std::vector<std::string>{"sink"}));
    }
}
