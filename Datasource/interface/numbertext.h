// Numbers as text: the shortest text that reads back to the same double, and
// a value as its print format shows it (its decimals; dates and times in ISO
// 8601). vesk::format_value and the tool's listings both write through here.
#pragma once

#include <cstddef>
#include <string>

#include "vesk_export.h"

namespace vesk {

// Room PutShortest needs at most.
constexpr size_t kMaxShortestBytes = 24;
// Writes the shortest decimal text that reads back to the same double ("1",
// "2.5", "-0", "1e+300"; "nan", "inf", "-inf") at `to` and returns its end.
VESK_EXPORT char* PutShortest(char* to, double value);

// How a numeric value is shown.
struct NumberStyle {
    enum Kind {
        kShortest,  // the shortest round-trip text
        kFixed,     // `decimals` digits after the point
        kExponent,  // one digit, `decimals` more, then the exponent: 1.50e+03
        kDate,      // YYYY-MM-DD
        kDateTime,  // YYYY-MM-DD HH:MM:SS[.fff], `decimals` second digits
        kTime,      // [-]HH:MM:SS[.fff], hours not wrapped at a day
    };
    Kind kind = kShortest;
    int decimals = 0;
};

// The style of a numeric print format: the date group as dates, code 22 as
// date-times, codes 21 and 25 as times, code 17 in exponent form, every other
// code fixed. Decimals above 16 count as 16, second digits above 6 as 6.
VESK_EXPORT NumberStyle StyleOfFormat(int code, int decimals);

// Room PutNumber needs at most (a fixed-form 1e308 with 16 decimals).
constexpr size_t kMaxNumberBytes = 336;

// Writes the value at `to` in the style and returns the end. Infinities and
// NaN, and dates and times outside the calendar's range, are written in the
// shortest form instead; a fixed or exponent text that rounds to zero has no
// minus sign. The system-missing value is the caller's business.
VESK_EXPORT char* PutNumber(char* to, double value, NumberStyle style);
VESK_EXPORT std::string NumberText(double value, NumberStyle style);

}  // namespace vesk
