#include "numbertext.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "dates.h"

namespace vesk {

namespace {

// True when the shortest text of the integer n (|n| < 10^15) is its exponent
// form: "1e+05" is shorter than "100000". A tie goes to the plain digits.
bool ExponentIsShorter(int64_t n) {
    uint64_t rest = n < 0 ? uint64_t(-n) : uint64_t(n);
    int digits = 0, trailingZeros = 0;
    bool inTrail = true;
    for (; rest; rest /= 10, ++digits) {
        if (inTrail && rest % 10 == 0)
            ++trailingZeros;
        else
            inTrail = false;
    }
    const int significant = digits - trailingZeros;
    const int exponentForm = significant + (significant > 1 ? 1 : 0) + 4;  // d[.ddd]e+XX
    return exponentForm < digits;
}

int DecimalDigits(uint64_t n) {
    int d = 1;
    while (n >= 10) {
        n /= 10;
        ++d;
    }
    return d;
}

// n / 10^decimals in `length` characters: its digits with the point among
// them, zeros before them when it is below 1 ("0.05").
void PutFixed(char* to, uint64_t n, int decimals, int length) {
    const int point = length - 1 - decimals;
    for (int i = length - 1; i >= 0; --i) {
        if (i == point) {
            to[i] = '.';
            continue;
        }
        to[i] = char('0' + n % 10);
        n /= 10;
    }
}

// The shortest text of a value of magnitude 0.001 to 10^11 with one to four
// decimals ("123.45", "-0.05"), as the general search writes it; null for
// any other value. Only the nearest number of four decimals needs checking:
// one with fewer decimals that reads back as the value still does with zeros
// appended, and no other number of four decimals does (below 10^15 they have
// at most 15 significant digits, too few for two to read back the same). The
// check is exact: n and 10^4 are exact doubles and the division is correctly
// rounded. Without its trailing zeros n gives the shortest digits. The fixed
// form is kept only where it is strictly shorter than the exponent form;
// otherwise the general search decides.
char* PutFewDecimals(char* to, double value) {
    const double a = std::fabs(value);
    if (!(a >= 1e-3 && a < 1e11)) return nullptr;
    uint64_t n = uint64_t(a * 1e4 + 0.5);
    if (double(n) / 1e4 != a) return nullptr;
    int k = 4;
    for (; k > 0 && n % 10 == 0; --k) n /= 10;
    if (k == 0) return nullptr;  // a whole number
    const int digits = DecimalDigits(n);
    const int fixedLen = std::max(digits - k, 1) + 1 + k;
    // d[.ddd]e-XX or e+XX; the exponent takes two digits in this range.
    const int exponentLen = digits + (digits > 1 ? 1 : 0) + 4;
    if (fixedLen >= exponentLen) return nullptr;
    if (value < 0) *to++ = '-';
    PutFixed(to, n, k, fixedLen);
    return to + fixedLen;
}

constexpr int kMaxDecimals = 16;
constexpr int kMaxSecondDecimals = 6;
constexpr int64_t kSecondsPerDay = 86400;
constexpr double kPow10[kMaxSecondDecimals + 1] = {1, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6};

// Format codes with a style of their own; the date group is listed in InDateGroup.
constexpr int kCodeExponent = 17;
constexpr int kCodeTime = 21;
constexpr int kCodeDateTime = 22;
constexpr int kCodeDayTime = 25;

bool InDateGroup(int code) {
    static constexpr int kDateGroup[] = {20, 23, 24, 28, 29, 30, 38, 39};
    return std::find(std::begin(kDateGroup), std::end(kDateGroup), code) != std::end(kDateGroup);
}

// n (not negative) with at least `width` digits, zero-padded.
char* PutPadded(char* to, int64_t n, int width) {
    char digits[24];
    const char* end = std::to_chars(digits, digits + sizeof digits, n).ptr;
    for (long pad = width - (end - digits); pad > 0; --pad) *to++ = '0';
    std::memcpy(to, digits, size_t(end - digits));
    return to + (end - digits);
}

// A number of seconds (not negative) rounded to `decimals` digits: the whole
// seconds and the digits after the point.
struct Seconds {
    int64_t whole = 0;
    int64_t fraction = 0;
};

bool RoundSeconds(double value, int decimals, Seconds& out) {
    const double scaled = std::round(value * kPow10[decimals]);
    if (!(scaled >= 0 && scaled < 9e18)) return false;
    const auto scale = int64_t(kPow10[decimals]);
    out.whole = int64_t(scaled) / scale;
    out.fraction = int64_t(scaled) % scale;
    return true;
}

// HH:MM:SS[.fff]; the hours run on past a day.
char* PutClock(char* to, Seconds s, int decimals) {
    to = PutPadded(to, s.whole / 3600, 2);
    *to++ = ':';
    to = PutPadded(to, s.whole / 60 % 60, 2);
    *to++ = ':';
    to = PutPadded(to, s.whole % 60, 2);
    if (decimals == 0) return to;
    *to++ = '.';
    return PutPadded(to, s.fraction, decimals);
}

// YYYY-MM-DD of a day number (0 = 14 October 1582); null beyond the calendar.
char* PutDay(char* to, int64_t day) {
    long d, m, y;
    if (!iVesk2DMY(double(day) * kSecondsPerDay, &d, &m, &y, nullptr, nullptr, nullptr)) return nullptr;
    to = PutPadded(to, y, 4);
    *to++ = '-';
    to = PutPadded(to, m, 2);
    *to++ = '-';
    return PutPadded(to, d, 2);
}

char* PutDate(char* to, double value) {
    if (!(value >= 0)) return nullptr;
    return PutDay(to, int64_t(std::min(value / kSecondsPerDay, 1e15)));
}

char* PutDateTime(char* to, double value, int decimals) {
    Seconds s;
    if (!RoundSeconds(value, decimals, s)) return nullptr;
    to = PutDay(to, s.whole / kSecondsPerDay);
    if (!to) return nullptr;
    *to++ = ' ';
    s.whole %= kSecondsPerDay;
    return PutClock(to, s, decimals);
}

char* PutTime(char* to, double value, int decimals) {
    Seconds s;
    if (!RoundSeconds(std::fabs(value), decimals, s)) return nullptr;
    if (value < 0 && (s.whole || s.fraction)) *to++ = '-';
    return PutClock(to, s, decimals);
}

// Fixed or exponent form; a text that shows zero loses its minus sign.
char* PutRounded(char* to, double value, std::chars_format form, int decimals) {
    char* end = std::to_chars(to, to + kMaxNumberBytes, value, form, decimals).ptr;
    if (*to != '-') return end;
    for (const char* p = to + 1; p < end && *p != 'e'; ++p)
        if (*p != '0' && *p != '.') return end;
    std::memmove(to, to + 1, size_t(end - to - 1));
    return end - 1;
}

}  // namespace

char* PutShortest(char* to, double value) {
    // Small whole numbers, the commonest values of all, are their own digits.
    if (value > -1e5 && value < 1e5) {
        const auto n = int32_t(value);
        if (double(n) == value && (n != 0 || !std::signbit(value))) return std::to_chars(to, to + 8, n).ptr;
    }
    if (std::isnan(value)) {
        std::memcpy(to, "nan", 3);
        return to + 3;
    }
    // So are larger ones below 2^53, unless the exponent form is shorter;
    // integer formatting is far cheaper than the general shortest search.
    if (std::fabs(value) < 1e15 && value == std::trunc(value) && !(value == 0 && std::signbit(value))) {
        const int64_t n = int64_t(value);
        if (!ExponentIsShorter(n)) return std::to_chars(to, to + kMaxShortestBytes, n).ptr;
    }
    if (char* end = PutFewDecimals(to, value)) return end;
    return std::to_chars(to, to + kMaxShortestBytes, value).ptr;
}

NumberStyle StyleOfFormat(int code, int decimals) {
    decimals = std::clamp(decimals, 0, kMaxDecimals);
    const int secondDecimals = std::min(decimals, kMaxSecondDecimals);
    if (InDateGroup(code)) return {NumberStyle::kDate, 0};
    switch (code) {
        case kCodeDateTime: return {NumberStyle::kDateTime, secondDecimals};
        case kCodeTime:
        case kCodeDayTime: return {NumberStyle::kTime, secondDecimals};
        case kCodeExponent: return {NumberStyle::kExponent, decimals};
        default: return {NumberStyle::kFixed, decimals};
    }
}

char* PutNumber(char* to, double value, NumberStyle style) {
    if (!std::isfinite(value)) return PutShortest(to, value);
    char* end = nullptr;
    switch (style.kind) {
        case NumberStyle::kShortest: break;
        case NumberStyle::kFixed: return PutRounded(to, value, std::chars_format::fixed, style.decimals);
        case NumberStyle::kExponent: return PutRounded(to, value, std::chars_format::scientific, style.decimals);
        case NumberStyle::kDate: end = PutDate(to, value); break;
        case NumberStyle::kDateTime: end = PutDateTime(to, value, style.decimals); break;
        case NumberStyle::kTime: end = PutTime(to, value, style.decimals); break;
    }
    return end ? end : PutShortest(to, value);
}

std::string NumberText(double value, NumberStyle style) {
    char buf[kMaxNumberBytes];
    return std::string(buf, PutNumber(buf, value, style));
}

}  // namespace vesk
