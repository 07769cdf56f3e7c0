#define VESK_SOURCE_NAME "Datasource/src/dates"
#include "dates.h"

#include <cmath>
#include <ctime>

#include "vesk_assert.h"

namespace {

const double kSecondsPerDay = 86400.0;
// End of 9999-12-31 as an internal date-time.
const double kDateTimeLimit = 265621680000.0;
// 31 days: the limit of a time or duration converted back to its parts.
const double kDurationLimit = 2678400.0;

// Splits the time of day of a non-negative value into its parts.
void SplitTimeOfDay(double value, long* hour, long* minute, double* second) {
    const double t = std::fmod(value, kSecondsPerDay);
    const long n = static_cast<long>(std::floor(t / 60.0));
    const long h = n / 60;
    if (hour) *hour = h;
    if (minute) *minute = n - 60 * h;
    if (second) *second = std::fmod(t, 60.0);
}

}  // namespace

extern "C" int iDMY2Vesk(long day, long month, long year, long hour, long minute, double second,
                         double* result) {
    VESK_ASSERT(result != nullptr);
    if (year < 1582 || year >= 10000 || month < 1 || month > 12 || day < 1 || day > 31 ||
        static_cast<unsigned long>(hour) > 23 || static_cast<unsigned long>(minute) > 59 ||
        !(second >= 0.0 && second < 60.0))
        return 0;

    // Years begin in March, so that the leap day is the last day of a year.
    long y, m;
    if (month < 3) {
        y = year - 1;
        m = month + 9;
    } else {
        y = year;
        m = month - 3;
    }
    const long c = y / 100;
    const long a = y - 100 * c;
    const long d = (146097 * c) / 4 + (153 * m + 2) / 5 + day + (1461 * a) / 4 - 578041;
    if (d < 0) return 0;  // before 14 October 1582

    *result = static_cast<double>(d) * kSecondsPerDay + static_cast<double>(hour * 3600 + minute * 60) + second;
    return 1;
}

extern "C" int iVesk2DMY(double value, long* day, long* month, long* year, long* hour, long* minute,
                         double* second) {
    if (!(value >= 0.0 && value < kDateTimeLimit)) return 0;

    if (hour || minute || second) SplitTimeOfDay(value, hour, minute, second);
    if (!day && !month && !year) return 1;

    const long j = 4 * static_cast<long>(std::floor(value / kSecondsPerDay)) + 2312163;
    const long c = j / 146097;
    const long r = 4 * ((j - 146097 * c) / 4) + 3;
    const long a = r / 1461;
    const long y = a + 100 * c;
    const long e = 5 * ((r - 1461 * a + 4) / 4);
    const long mm = (e - 3) / 153;
    const long dd = (e - 153 * mm + 2) / 5;

    if (day) *day = dd;
    if (mm >= 10) {
        if (month) *month = mm - 9;
        if (year) *year = y + 1;
    } else {
        if (month) *month = mm + 3;
        if (year) *year = y;
    }
    return 1;
}

extern "C" int iHMS2Vesk(long hours, long minutes, double seconds, double* result) {
    VESK_ASSERT(result != nullptr);
    if (static_cast<unsigned long>(hours) > 743 || static_cast<unsigned long>(minutes) > 59 ||
        !(seconds >= 0.0 && seconds < 60.0))
        return 0;
    *result = static_cast<double>((hours * 60 + minutes) * 60) + seconds;
    return 1;
}

extern "C" int iVesk2HMS(double value, long* hours, long* minutes, double* seconds) {
    if (!(value >= 0.0 && value < kDurationLimit)) return 0;
    SplitTimeOfDay(value, hours, minutes, seconds);
    return 1;
}

extern "C" int iVeskNow(double* result) {
    VESK_ASSERT(result != nullptr);
    long day = 1, month = 2, year = 1975, hour = 12, minute = 0, second = 0;
    std::time_t now = std::time(nullptr);
    std::tm local{};
    if (now != static_cast<std::time_t>(-1) && localtime_r(&now, &local) != nullptr) {
        day = local.tm_mday;
        month = local.tm_mon + 1;
        year = local.tm_year + 1900L;
        hour = local.tm_hour;
        minute = local.tm_min;
        // A leap second has no place in the internal scale.
        second = local.tm_sec > 59 ? 59 : local.tm_sec;
    }
    return iDMY2Vesk(day, month, year, hour, minute, static_cast<double>(second), result);
}
