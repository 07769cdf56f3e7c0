#include "dates.h"

#include <gtest/gtest.h>

#include <cmath>
#include <ctime>
#include <tuple>

#include "vesk_assert.h"

namespace {

const double kDay = 86400.0;

double Dmy(long d, long m, long y, long hh = 0, long mi = 0, double s = 0) {
    double v = -12345;
    EXPECT_EQ(iDMY2Vesk(d, m, y, hh, mi, s, &v), 1) << d << "." << m << "." << y;
    return v;
}

long DaysInMonth(long m, long y) {
    static const long kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return m == 2 && leap ? 29 : kDays[m - 1];
}

}  // namespace

TEST(DatesTest, CalendarStartEndAndRejectedParts) {
    EXPECT_EQ(Dmy(14, 10, 1582), 0.0);
    EXPECT_EQ(Dmy(15, 10, 1582, 1, 2, 3.5), kDay + 3723.5);
    // The common 1970 epoch lies 141427 days after 15 October 1582.
    EXPECT_EQ(Dmy(1, 1, 1970), 141428 * kDay);
    EXPECT_EQ(Dmy(31, 12, 9999, 23, 59, 59), 265621679999.0);
    EXPECT_NEAR(Dmy(1, 1, 2000, 23, 59, 59.999) - Dmy(1, 1, 2000), 86399.999, 1e-5);
    // The day is not checked against the month: 29, 30 and 31 February run on.
    EXPECT_EQ(Dmy(31, 2, 2000), Dmy(2, 3, 2000));

    const struct { long d, m, y, hh, mi; double s; } bad[] = {{13, 10, 1582, 0, 0, 0}, {1, 1, 1582, 0, 0, 0},  {31, 12, 1581, 0, 0, 0}, {1, 1, 10000, 0, 0, 0},
               {1, 0, 2000, 0, 0, 0},   {1, 13, 2000, 0, 0, 0}, {0, 1, 2000, 0, 0, 0},   {32, 1, 2000, 0, 0, 0},
               {1, 1, 2000, 24, 0, 0},  {1, 1, 2000, -1, 0, 0}, {1, 1, 2000, 0, 60, 0},  {1, 1, 2000, 0, -1, 0},
               {1, 1, 2000, 0, 0, 60},  {1, 1, 2000, 0, 0, -0.001}, {1, 1, 2000, 0, 0, std::nan("")}};
    for (const auto& b : bad) {
        double v = 42;  // failures write nothing
        EXPECT_TRUE(iDMY2Vesk(b.d, b.m, b.y, b.hh, b.mi, b.s, &v) == 0 && v == 42) << b.d << "." << b.m << "." << b.y;
    }
    EXPECT_THROW(iDMY2Vesk(1, 1, 2000, 0, 0, 0, nullptr), VESK_AssertFailed);
}

TEST(DatesTest, Vesk2DMYPartsAndLimits) {
    using Parts = std::tuple<long, long, long, long, long, double>;
    long d = 7, m = 7, y = 7, hh = 7, mi = 7;
    double s = 7;
    // Out of range: nothing is written.
    for (double v : {265621680000.0, -1.0, std::nan("")}) EXPECT_EQ(iVesk2DMY(v, &d, &m, &y, &hh, &mi, &s), 0) << v;
    EXPECT_EQ(Parts(d, m, y, hh, mi, s), Parts(7, 7, 7, 7, 7, 7));
    // Only the requested parts are written; all may be null.
    const double v = Dmy(5, 6, 2007, 8, 9, 10.25);
    ASSERT_EQ(iVesk2DMY(v, nullptr, nullptr, nullptr, &hh, &mi, &s), 1);
    EXPECT_EQ(Parts(d, m, y, hh, mi, s), Parts(7, 7, 7, 8, 9, 10.25));
    EXPECT_TRUE(iVesk2DMY(v, nullptr, &m, nullptr, nullptr, nullptr, nullptr) == 1 && m == 6);
}

TEST(DatesTest, RoundTripsEveryDay) {
    // Every day to 9999-12-31 advances by the Gregorian calendar and converts back exactly.
    long ed = 14, em = 10, ey = 1582, count = 0;
    for (long day = 0;; ++day, ++count) {
        const double v = day * kDay + (day % 86400);  // vary the time of day too
        long d, m, y, hh, mi;
        double s, back = -1;
        ASSERT_EQ(iVesk2DMY(v, &d, &m, &y, &hh, &mi, &s), 1) << day;
        ASSERT_EQ(std::make_tuple(d, m, y, hh, mi, s),
                  std::make_tuple(ed, em, ey, day % 86400 / 3600, day % 3600 / 60, double(day % 60)));
        ASSERT_TRUE(iDMY2Vesk(d, m, y, hh, mi, s, &back) == 1 && back == v) << day;
        if (y == 9999 && m == 12 && d == 31) break;
        if (++ed > DaysInMonth(em, ey)) {
            ed = 1;
            if (++em > 12) em = 1, ++ey;
        }
    }
    EXPECT_EQ((count + 1) * kDay, 265621680000.0);
}

TEST(DatesTest, HoursMinutesSeconds) {
    using Hms = std::tuple<long, long, double>;
    double v = 42;
    for (const auto& [h, m, s] : {Hms{744, 0, 0}, {-1, 0, 0}, {0, 60, 0}, {0, -1, 0}, {0, 0, 60}, {0, 0, -1}})
        EXPECT_EQ(iHMS2Vesk(h, m, s, &v), 0) << h << ":" << m << ":" << s;
    EXPECT_EQ(v, 42);
    EXPECT_TRUE(iHMS2Vesk(743, 59, 59.9, &v) == 1 && v == 743 * 3600 + 59 * 60 + 59.9);

    long h = -1, m = -1;
    double s = -1;
    EXPECT_TRUE(iVesk2HMS(3661.25, &h, &m, &s) == 1 && Hms(h, m, s) == Hms(1, 1, 1.25));
    EXPECT_TRUE(iVesk2HMS(90000, &h, &m, &s) == 1 && Hms(h, m, s) == Hms(1, 0, 0));  // whole days are dropped
    EXPECT_EQ(iVesk2HMS(2678400, &h, &m, &s) + iVesk2HMS(-0.5, &h, &m, &s), 0);
    EXPECT_EQ(Hms(h, m, s), Hms(1, 0, 0));  // failures write nothing
    EXPECT_TRUE(iVesk2HMS(2678399, nullptr, &m, nullptr) == 1 && m == 59);
}

TEST(DatesTest, NowIsCurrentLocalTimeInWholeSeconds) {
    const std::time_t before = std::time(nullptr);
    double now = -1;
    ASSERT_EQ(iVeskNow(&now), 1);
    std::tm local{};
    localtime_r(&before, &local);
    const double expected = Dmy(local.tm_mday, local.tm_mon + 1, local.tm_year + 1900, local.tm_hour,
                                local.tm_min, local.tm_sec > 59 ? 59 : local.tm_sec);
    EXPECT_TRUE(now >= expected && now <= expected + 2 && now == std::floor(now)) << now - expected;
}
