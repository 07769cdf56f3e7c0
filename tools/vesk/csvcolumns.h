// What `vesk import` makes of a column's fields: numbers, ISO 8601 dates and
// date-times, or text; the format that shows them; and the cell value of
// each field.
//
// Numbers are written [+-]digits[.digits][(e|E)[+-]digits] (at least one
// digit before the exponent) and read to the nearest double. A column of such
// numbers is kept as text, so that no value changes, when one of them
//   - has leading zeros ("007", "-01.5": codes rather than quantities),
//   - is a whole number written in digits that no double holds exactly
//     (beyond 2^53, such as 9007199254740993: identifiers),
//   - is too large for a double (1e400),
// and a column with inf, infinity or nan in it is text too. Numbers too small
// for a double (1e-400) become 0, and the one number that stands for the
// system-missing value (-1.7976931348623157e308) becomes system-missing: the
// import warns about both.
#pragma once

#include <cstdint>
#include <string_view>

#include "variable.h"

namespace vesk {

enum class ColumnKind : uint8_t { kNumber, kDate, kDateTime, kText };

// Why a column whose fields all look like numbers is text.
enum class TextReason : uint8_t { kNone, kLeadingZeros, kInexactInteger, kTooLarge, kNotFinite };

constexpr int kMaxStringWidth = 32767;

// Learns a column from its fields, one at a time (the first pass).
class ColumnGuess {
public:
    // A field of `length` bytes whose first bytes are `text` (all of them
    // unless the field is longer than text), on the given line.
    void See(std::string_view text, uint64_t length, uint64_t line) {
        if (length == 0) return;
        fAnyValue = true;
        if (length > fWidth) fWidth = uint32_t(length < kMaxStringWidth ? length : kMaxStringWidth);
        if (fCandidates == kNumberBit && SeePlainNumber(text)) return;
        if (fCandidates != 0 || !fPlainText) SeeCandidate(text, length, line);
    }

    ColumnKind Kind() const;
    // Print and write format of a number, date or date-time column.
    VESK_Format Format() const;
    // Width of a text column: its longest field, 1 to 32767 bytes.
    int Width() const { return fWidth > 0 ? int(fWidth) : 1; }
    // Set when the column is text although every field looked like a number.
    TextReason Reason() const { return fPlainText || Kind() != ColumnKind::kText ? TextReason::kNone : fReason; }
    uint64_t ReasonLine() const { return fReasonLine; }

private:
    static constexpr uint8_t kNumberBit = 1;
    static constexpr uint8_t kDateBit = 2;

    // The common case inline: [-]digits[.digits] with 1 to 15 integer digits
    // and no leading zero, which needs no further check. False for anything else.
    bool SeePlainNumber(std::string_view s) {
        const char* p = s.data();
        const char* end = p + s.size();
        const bool negative = p < end && *p == '-';
        const char* whole = p + (negative ? 1 : 0);
        for (p = whole; p < end && unsigned(*p - '0') < 10; ++p) {
        }
        const size_t wholeDigits = size_t(p - whole);
        if (wholeDigits == 0 || wholeDigits > 15 || (wholeDigits > 1 && *whole == '0')) return false;
        size_t decimals = 0;
        if (p < end) {
            if (*p != '.') return false;
            const char* fraction = ++p;
            while (p < end && unsigned(*p - '0') < 10) ++p;
            if (p < end) return false;
            decimals = size_t(end - fraction);
        }
        const uint16_t width = uint16_t(wholeDigits + (negative ? 1 : 0));
        if (width > fIntegerWidth) fIntegerWidth = width;
        if (decimals > fDecimals) fDecimals = uint8_t(decimals < 16 ? decimals : 16);
        return true;
    }
    void SeeCandidate(std::string_view text, uint64_t length, uint64_t line);
    void SeeNumber(std::string_view text, uint64_t line);
    void SeeDate(std::string_view text);
    void NotNumber(TextReason reason, uint64_t line);

    uint64_t fReasonLine = 0;
    uint32_t fWidth = 0;
    uint16_t fIntegerWidth = 0;   // sign and integer digits, in fixed notation
    uint8_t fDecimals = 0;
    uint8_t fSecondDecimals = 0;  // digits of the seconds' fraction of date-times
    uint8_t fCandidates = kNumberBit | kDateBit;  // what every field so far could be
    TextReason fReason = TextReason::kNone;
    bool fPlainText = false;      // a field that is not even number-like
    bool fAnyValue = false;
    bool fAnyDateTime = false;
};

// What became of a number that a double does not hold as written.
enum class NumberChange : uint8_t { kNone, kTiny, kSystemMissing };

// The value of a non-empty field of a number column. Returns false when the
// text is not a number after all (the input changed since the first pass).
// *change tells a number too small (stored as a zero of its sign) or equal
// to the system-missing value.
bool NumberValue(std::string_view text, double* value, NumberChange* change);

// The value (seconds since 14 October 1582) of a field of a date or date-time
// column; false when it is not one.
bool DateValue(std::string_view text, double* value);

}  // namespace vesk
