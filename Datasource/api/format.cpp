// Date-time values to and from std::chrono, and values rendered by their
// print format.
#include <algorithm>
#include <cmath>

#include "api_internal.h"
#include "numbertext.h"

namespace vesk {

namespace {

using std::chrono::days;
using std::chrono::microseconds;

constexpr double kMicro = 1e6;
// Values beyond this many seconds do not fit microseconds in 64 bits.
constexpr double kMaxSeconds = 9.0e12;

bool IsValue(double value) { return std::isfinite(value) && value != VESK_SYSMIS && std::fabs(value) < kMaxSeconds; }

// Whole seconds and the fraction apart: the product of a large value and 1e6
// would lose microseconds.
microseconds ToMicro(double value) {
    const double whole = std::floor(value);
    return microseconds(int64_t(whole) * 1'000'000 + std::llround((value - whole) * kMicro));
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
    const Format format = variable.print.value_or(Format::number());
    return NumberText(value, StyleOfFormat(format.code, format.decimals));
}

}  // namespace vesk
