// Date-time values to and from std::chrono, and values rendered by their
// print format.
#include <algorithm>
#include <charconv>
#include <cmath>

#include "api_internal.h"

namespace vesk {

namespace {

using std::chrono::days;
using std::chrono::microseconds;

constexpr double kMicro = 1e6;
// Values beyond this many seconds do not fit microseconds in 64 bits.
constexpr double kMaxSeconds = 9.0e12;
// The largest date-time shown as a date: the end of 9999-12-31.
constexpr double kLastDateTime = 265621680000.0;
constexpr int64_t kMinuteUs = 60'000'000;
constexpr int64_t kHourUs = 60 * kMinuteUs;
constexpr int kMaxSecondDigits = 6;  // microseconds
constexpr int kMaxDecimals = 16;
constexpr int kExponentCode = 17;
constexpr int kDateTimeCode = 22;

bool IsValue(double value) { return std::isfinite(value) && value != VESK_SYSMIS && std::fabs(value) < kMaxSeconds; }

// Whole seconds and the fraction apart: the product of a large value and 1e6
// would lose microseconds.
microseconds ToMicro(double value) {
    const double whole = std::floor(value);
    return microseconds(int64_t(whole) * 1'000'000 + std::llround((value - whole) * kMicro));
}

// A value of at least 0 in microseconds, rounded to `decimals` digits of the second.
int64_t RoundedMicro(double value, int decimals) {
    int64_t unit = 1;
    for (int k = decimals; k < kMaxSecondDigits; ++k) unit *= 10;
    return (ToMicro(value).count() + unit / 2) / unit * unit;
}

void AppendNumber(std::string& out, int64_t n, int digits) {
    char buf[24];
    const std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, n);
    out.append(size_t(std::max<ptrdiff_t>(0, digits - (r.ptr - buf))), '0');
    out.append(buf, r.ptr);
}

// HH:MM:SS and `decimals` digits of us microseconds; the hours run on past a day.
void AppendClock(std::string& out, int64_t us, int decimals) {
    AppendNumber(out, us / kHourUs, 2);
    out += ':';
    AppendNumber(out, us / kMinuteUs % 60, 2);
    out += ':';
    AppendNumber(out, us / 1'000'000 % 60, 2);
    if (decimals <= 0) return;
    std::string fraction;
    AppendNumber(fraction, us % 1'000'000, kMaxSecondDigits);
    out += '.';
    out.append(fraction, 0, size_t(decimals));
}

std::string Shortest(double value) {
    char buf[32];
    return std::string(buf, std::to_chars(buf, buf + sizeof buf, value).ptr);
}

// Fixed or exponent form; a text that shows zero loses its minus sign.
std::string Rounded(double value, std::chars_format form, int decimals) {
    char buf[400];
    std::string out(buf, std::to_chars(buf, buf + sizeof buf, value, form, decimals).ptr);
    if (out[0] == '-' && out.find_first_not_of("-0.", 0) >= out.find('e')) out.erase(0, 1);
    return out;
}

// YYYY-MM-DD, and with a time " HH:MM:SS" and decimals.
std::string DateText(double value, bool withTime, int decimals) {
    if (!(value >= 0 && value < kLastDateTime)) return Shortest(value);
    const LocalTime t = LocalTime(kDateEpoch) + microseconds(withTime ? RoundedMicro(value, decimals) : ToMicro(value).count());
    const auto day = std::chrono::floor<days>(t);
    const std::chrono::year_month_day ymd(day);
    std::string out;
    AppendNumber(out, int(ymd.year()), 4);
    out += '-';
    AppendNumber(out, unsigned(ymd.month()), 2);
    out += '-';
    AppendNumber(out, unsigned(ymd.day()), 2);
    if (!withTime) return out;
    out += ' ';
    AppendClock(out, (t - day).count(), decimals);
    return out;
}

// [-]HH:MM:SS and decimals; no minus sign for a duration that shows zero.
std::string DurationText(double value, int decimals) {
    if (!IsValue(value)) return Shortest(value);
    const int64_t us = RoundedMicro(std::fabs(value), decimals);
    std::string out = value < 0 && us != 0 ? "-" : "";
    AppendClock(out, us, decimals);
    return out;
}

std::string NumberText(double value, const Format& f) {
    if (!std::isfinite(value)) return Shortest(value);
    const int decimals = std::clamp(f.decimals, 0, kMaxDecimals);
    const int secondDigits = std::min(decimals, kMaxSecondDigits);
    if (f.is_time()) return DurationText(value, secondDigits);
    if (f.is_date()) return DateText(value, f.code == kDateTimeCode, secondDigits);
    if (f.code == kExponentCode) return Rounded(value, std::chars_format::scientific, decimals);
    return Rounded(value, std::chars_format::fixed, decimals);
}

std::string HexText(std::string_view text, int width) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (int i = 0; i < width; ++i) {
        const unsigned char c = size_t(i) < text.size() ? static_cast<unsigned char>(text[size_t(i)]) : ' ';
        out += kHex[c >> 4];
        out += kHex[c & 0xF];
    }
    return out;
}

}  // namespace

// ---------------------------------------------------------------- dates

std::optional<LocalTime> to_local_time(double value) {
    if (!IsValue(value)) return std::nullopt;
    return LocalTime(kDateEpoch) + ToMicro(value);
}

std::optional<std::chrono::year_month_day> to_date(double value) {
    const std::optional<LocalTime> t = to_local_time(value);
    if (!t) return std::nullopt;
    return std::chrono::year_month_day(std::chrono::floor<days>(*t));
}

std::optional<microseconds> to_duration(double value) {
    if (!IsValue(value)) return std::nullopt;
    return ToMicro(value);
}

double from_date(std::chrono::year_month_day date) {
    if (!date.year().ok() || !date.month().ok() || unsigned(date.day()) < 1 || unsigned(date.day()) > 31)
        throw std::invalid_argument("not a calendar date");
    const std::chrono::local_days first(date.year() / date.month() / 1);
    return from_local_time(first + days(unsigned(date.day()) - 1));
}

// ---------------------------------------------------------------- format_value

std::string format_value(const Variable& variable, const Cell& cell) {
    if (variable.is_string()) {
        if (cell.is_number()) detail::Fail(DatasrcMsg::ValueType, {variable.name, "a number for a string variable"});
        if (variable.print && variable.print->code == 2) return HexText(cell.text(), variable.width);
        return std::string(detail::TrimBlanks(cell.text().data(), cell.text().size()));
    }
    if (cell.is_text()) detail::Fail(DatasrcMsg::ValueType, {variable.name, "a text for a numeric variable"});
    const double value = cell.number();
    if (cell.is_missing() || std::isnan(value) || value == VESK_SYSMIS) return std::string();
    return NumberText(value, variable.print.value_or(Format::number()));
}

}  // namespace vesk
