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
constexpr int kMaxShownDigits = 6;  // microseconds

bool IsValue(double value) { return std::isfinite(value) && value != VESK_SYSMIS && std::fabs(value) < kMaxSeconds; }

// Whole seconds and the fraction apart: the product of a large value and 1e6
// would lose microseconds.
microseconds ToMicro(double value) {
    const double whole = std::floor(value);
    return microseconds(int64_t(whole) * 1'000'000 + std::llround((value - whole) * kMicro));
}

void AppendNumber(std::string& out, int64_t n, int digits) {
    char buf[24];
    const std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, n);
    out.append(size_t(std::max<ptrdiff_t>(0, digits - (r.ptr - buf))), '0');
    out.append(buf, r.ptr);
}

// "HH:MM", ":SS" and decimals of us microseconds (hours may exceed 23),
// truncated to the last unit shown.
void AppendClock(std::string& out, int64_t us, bool seconds, int decimals) {
    AppendNumber(out, us / kHourUs, 2);
    out += ':';
    AppendNumber(out, us / kMinuteUs % 60, 2);
    if (!seconds) return;
    out += ':';
    AppendNumber(out, us / 1'000'000 % 60, 2);
    if (decimals <= 0) return;
    std::string fraction;
    AppendNumber(fraction, us % 1'000'000, kMaxShownDigits);
    fraction.resize(size_t(decimals), '0');
    out += '.';
    out += fraction;
}

std::string PlainNumber(double value, int decimals) {
    char buf[400];
    std::to_chars_result r;
    if (std::fabs(value) < 1e15)
        r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, std::clamp(decimals, 0, 16));
    else
        r = std::to_chars(buf, buf + sizeof buf, value);
    return std::string(buf, r.ptr);
}

// A date-group value: YYYY-MM-DD, " HH:MM" from width 16, ":SS" from 19.
std::string DateText(double value, const Format& f) {
    if (!(value >= 0 && value < kLastDateTime)) return PlainNumber(value, f.decimals);
    const LocalTime t = *to_local_time(value);
    const auto day = std::chrono::floor<days>(t);
    const std::chrono::year_month_day ymd(day);
    std::string out;
    AppendNumber(out, int(ymd.year()), 4);
    out += '-';
    AppendNumber(out, unsigned(ymd.month()), 2);
    out += '-';
    AppendNumber(out, unsigned(ymd.day()), 2);
    if (f.width < 16) return out;
    out += ' ';
    AppendClock(out, (t - day).count(), f.width >= 19, f.decimals);
    return out;
}

// A time-group value: [-]HH:MM, ":SS" from width 8.
std::string DurationText(double value, const Format& f) {
    std::string out = value < 0 ? "-" : "";
    AppendClock(out, ToMicro(std::fabs(value)).count(), f.width >= 8, f.decimals);
    return out;
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
        if (cell.is_number()) detail::Fail(errc::kValueType, {variable.name, "a number for a string variable"});
        if (variable.print && variable.print->code == 2) return HexText(cell.text(), variable.width);
        return std::string(detail::TrimBlanks(cell.text().data(), cell.text().size()));
    }
    if (cell.is_text()) detail::Fail(errc::kValueType, {variable.name, "a text for a numeric variable"});
    const double value = cell.number();
    if (cell.is_missing() || std::isnan(value) || value == VESK_SYSMIS) return std::string();
    const Format f = variable.print.value_or(Format::number());
    if (f.is_date()) return DateText(value, f);
    if (f.is_time() && IsValue(value)) return DurationText(value, f);
    return PlainNumber(value, f.decimals);
}

}  // namespace vesk
