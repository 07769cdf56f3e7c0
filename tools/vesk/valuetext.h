// Values as people read them: numbers with their print format's decimals,
// dates and times in ISO 8601 (used by `cat --formatted`, `describe` and the
// codebook).
#pragma once

#include <cstddef>
#include <string>

class VESK_Variable;
class VESK_VLMapImpl;
union OBS;

namespace vesk {

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

// The style of a numeric variable's print format: the date group as dates,
// code 22 as date-times, codes 21 and 25 as times, code 17 in exponent form,
// every other code fixed. Decimals above 16 count as 16, second digits above
// 6 as 6.
NumberStyle PrintStyle(const VESK_Variable& var);

// Room PutNumber needs at most (a fixed-form 1e308 with 16 decimals).
constexpr size_t kMaxNumberBytes = 336;

// Writes the value at `to` in the style and returns the end. Infinities and
// NaN, and dates and times outside the calendar's range, are written in the
// shortest form instead; a fixed or exponent text that rounds to zero has no
// minus sign. The system-missing value is the caller's business.
char* PutNumber(char* to, double value, NumberStyle style);
std::string NumberText(double value, NumberStyle style);

// The label of a value of `width` (0 numeric, else string bytes) held in
// cells, or null. A string value is compared as the map stores it, padded with
// blanks to the map's width; a map narrower than the value labels nothing.
const std::string* FindLabel(const VESK_VLMapImpl& labels, const OBS* cells, int width);

}  // namespace vesk
