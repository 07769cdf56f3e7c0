#include "csvcolumns.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>

#include "datasrc.h"
#include "dates.h"

namespace vesk {

namespace {

constexpr int kMaxWidth = 40;
constexpr int kMaxDecimals = 16;
constexpr long kExponentLimit = 100000;  // larger exponents count as this one
constexpr int kExactDigits = 15;         // whole numbers this long are always exact

// Format codes given to imported columns.
constexpr int kFormatNumber = 5;
constexpr int kFormatDate = 38;      // date group: YYYY-MM-DD
constexpr int kFormatDateTime = 22;  // date-time: YYYY-MM-DD HH:MM:SS[.fff]
constexpr int kDateWidth = 10;
constexpr int kDateTimeWidth = 19;
constexpr int kDateTimeReserve = 21;  // width needed before the first decimal

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The shape of a number as written, in fixed notation.
struct NumberShape {
    int integerWidth = 1;       // sign and integer digits
    long decimals = 0;          // digits after the point
    bool mayOverflow = false;   // 1e300 or more: a double may not hold it
    bool leadingZeros = false;
    bool plainInteger = false;  // digits only, with or without a sign
    std::string_view digits;    // the integer digits as written
};

const char* SkipDigits(const char* p, const char* end) {
    while (p < end && IsDigit(*p)) ++p;
    return p;
}

// Parses the exponent after "e" from p; false when it has no digits.
bool ScanExponent(const char*& p, const char* end, long& exponent) {
    const bool negative = p < end && *p == '-';
    if (p < end && (*p == '-' || *p == '+')) ++p;
    const char* start = p;
    for (; p < end && IsDigit(*p); ++p) exponent = std::min(exponent * 10 + (*p - '0'), kExponentLimit);
    if (negative) exponent = -exponent;
    return p > start;
}

// Decimal exponent of the first nonzero digit of integer digits `whole` and
// fraction digits `fraction`, before the exponent is applied; false for zero.
bool LeadingMagnitude(std::string_view whole, std::string_view fraction, long& magnitude) {
    const size_t w = whole.find_first_not_of('0');
    if (w != std::string_view::npos) {
        magnitude = long(whole.size() - w) - 1;
        return true;
    }
    const size_t f = fraction.find_first_not_of('0');
    magnitude = -long(f) - 1;
    return f != std::string_view::npos;
}

// The shape of a number written with an exponent.
bool ScanScientific(const char* p, const char* end, std::string_view fraction, bool negative, NumberShape& n) {
    long exponent = 0;
    if (!ScanExponent(++p, end, exponent) || p != end) return false;
    long magnitude = 0;
    const bool nonzero = LeadingMagnitude(n.digits, fraction, magnitude);
    magnitude += exponent;
    const long integerDigits = nonzero && magnitude >= 0 ? magnitude + 1 : 1;
    n.integerWidth = int(std::min<long>(integerDigits, kMaxWidth)) + (negative ? 1 : 0);
    n.decimals = std::max<long>(0, long(fraction.size()) - exponent);
    n.mayOverflow = magnitude >= 300;
    return true;
}

bool ScanNumber(std::string_view s, NumberShape& n) {
    const char* p = s.data();
    const char* end = p + s.size();
    const bool negative = p < end && *p == '-';
    if (p < end && (*p == '-' || *p == '+')) ++p;
    const char* whole = p;
    p = SkipDigits(p, end);
    n.digits = std::string_view(whole, size_t(p - whole));
    const bool point = p < end && *p == '.';
    const char* fraction = point ? p + 1 : p;
    if (point) p = SkipDigits(fraction, end);
    const size_t fractionDigits = size_t(p - fraction);
    if (n.digits.empty() && fractionDigits == 0) return false;
    n.leadingZeros = n.digits.size() >= 2 && n.digits[0] == '0';
    if (p < end) {
        return (*p == 'e' || *p == 'E') &&
               ScanScientific(p, end, std::string_view(fraction, fractionDigits), negative, n);
    }
    n.plainInteger = !point;
    n.integerWidth = int(std::min<size_t>(std::max<size_t>(n.digits.size(), 1), kMaxWidth)) + (negative ? 1 : 0);
    n.decimals = long(fractionDigits);
    n.mayOverflow = n.digits.size() > 300;
    return true;
}

// inf, infinity or nan, in any case, with or without a sign.
bool IsNotFinite(std::string_view s) {
    if (!s.empty() && (s[0] == '-' || s[0] == '+')) s.remove_prefix(1);
    if (s.size() != 3 && s.size() != 8) return false;
    std::string lower(s);
    for (char& c : lower) c = char(c >= 'A' && c <= 'Z' ? c + 32 : c);
    return lower == "inf" || lower == "infinity" || lower == "nan";
}

bool TooLarge(std::string_view text) { return std::isinf(std::strtod(std::string(text).c_str(), nullptr)); }

// The double nearest to the whole number `digits` has exactly its value.
bool ExactInteger(std::string_view digits) {
    double value = 0;
    std::from_chars(digits.data(), digits.data() + digits.size(), value);
    char exact[400];
    const std::to_chars_result r = std::to_chars(exact, exact + sizeof exact, value, std::chars_format::fixed, 0);
    return r.ec == std::errc() && std::string_view(exact, size_t(r.ptr - exact)) == digits;
}

// A plain decimal of at most 19 digits, 2^53 at most without its point and
// at most 22 decimals: the quotient of two doubles that hold the digits and
// the power of ten exactly, so one correctly rounded division gives the
// nearest double. False when the text is not such a number.
bool ExactDecimal(std::string_view text, double* value) {
    static constexpr double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                         1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    const char* p = text.data();
    const char* end = p + text.size();
    const bool negative = p < end && *p == '-';
    if (p < end && (*p == '-' || *p == '+')) ++p;
    const char* digits = p;
    uint64_t mantissa = 0;
    for (; p < end && IsDigit(*p); ++p) mantissa = mantissa * 10 + uint64_t(*p - '0');
    const char* point = p;
    if (p < end && *p == '.')
        for (++p; p < end && IsDigit(*p); ++p) mantissa = mantissa * 10 + uint64_t(*p - '0');
    const size_t decimals = point < end ? size_t(p - point - 1) : 0;
    const size_t count = size_t(p - digits) - (point < end ? 1 : 0);
    if (p != end || count == 0 || count > 19 || mantissa > (uint64_t(1) << 53) || decimals > 22) return false;
    const double digitsValue = double(mantissa);
    *value = (negative ? -digitsValue : digitsValue) / kPowers[decimals];
    return true;
}

// ---------------------------------------------------------------- dates

struct DateParts {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    bool hasTime = false;
    std::string_view fraction;  // digits of the seconds' fraction
};

bool Digits(std::string_view s, size_t at, size_t count, int& value) {
    value = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (!IsDigit(s[i])) return false;
        value = value * 10 + (s[i] - '0');
    }
    return true;
}

int DaysInMonth(int month, int year) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

bool ScanTime(std::string_view s, DateParts& d) {
    if (s[10] != ' ' || s[13] != ':' || s[16] != ':' || !Digits(s, 11, 2, d.hour) || !Digits(s, 14, 2, d.minute) ||
        !Digits(s, 17, 2, d.second))
        return false;
    d.hasTime = true;
    if (s.size() == 19) return true;
    d.fraction = s.substr(20);
    return s[19] == '.' && !d.fraction.empty() && SkipDigits(s.data() + 20, s.data() + s.size()) == s.data() + s.size();
}

// YYYY-MM-DD or YYYY-MM-DD HH:MM:SS[.f...], a real calendar date from 14
// October 1582 to 9999.
bool ScanDate(std::string_view s, DateParts& d) {
    if (s.size() != kDateWidth && s.size() < size_t(kDateTimeWidth)) return false;
    if (s[4] != '-' || s[7] != '-' || !Digits(s, 0, 4, d.year) || !Digits(s, 5, 2, d.month) || !Digits(s, 8, 2, d.day))
        return false;
    if (s.size() > kDateWidth && !ScanTime(s, d)) return false;
    if (d.month < 1 || d.month > 12 || d.day < 1 || d.year < 1582 || d.day > DaysInMonth(d.month, d.year)) return false;
    double ignored;
    return d.hour <= 23 && d.minute <= 59 && d.second <= 59 && iDMY2Vesk(d.day, d.month, d.year, 0, 0, 0, &ignored);
}

}  // namespace

// ---------------------------------------------------------------- ColumnGuess

// A column still open to being numbers or dates, or one that is text for a
// reason until a field shows it is plain text anyway.
void ColumnGuess::SeeCandidate(std::string_view text, uint64_t length, uint64_t line) {
    if (length > text.size()) {  // longer than any number or date
        fCandidates = 0;
        fPlainText = true;
        return;
    }
    if ((fCandidates & kNumberBit) || !fPlainText) SeeNumber(text, line);
    if (fCandidates & kDateBit) SeeDate(text);
}

void ColumnGuess::SeeNumber(std::string_view text, uint64_t line) {
    NumberShape n;
    if (!ScanNumber(text, n)) return NotNumber(IsNotFinite(text) ? TextReason::kNotFinite : TextReason::kNone, line);
    if (n.leadingZeros) return NotNumber(TextReason::kLeadingZeros, line);
    if (n.mayOverflow && TooLarge(text)) return NotNumber(TextReason::kTooLarge, line);
    if (n.plainInteger && n.digits.size() > kExactDigits && !ExactInteger(n.digits))
        return NotNumber(TextReason::kInexactInteger, line);
    if (!(fCandidates & kNumberBit)) return;
    fIntegerWidth = std::max<uint16_t>(fIntegerWidth, uint16_t(std::min(n.integerWidth, kMaxWidth)));
    fDecimals = std::max<uint8_t>(fDecimals, uint8_t(std::min<long>(n.decimals, kMaxDecimals)));
}

void ColumnGuess::NotNumber(TextReason reason, uint64_t line) {
    fCandidates &= uint8_t(~kNumberBit);
    if (reason == TextReason::kNone) {
        fPlainText = true;
    } else if (fReason == TextReason::kNone) {
        fReason = reason;
        fReasonLine = line;
    }
}

void ColumnGuess::SeeDate(std::string_view text) {
    DateParts d;
    if (!ScanDate(text, d)) {
        fCandidates &= uint8_t(~kDateBit);
        return;
    }
    if (!d.hasTime) return;
    fAnyDateTime = true;
    fSecondDecimals = std::max<uint8_t>(fSecondDecimals, uint8_t(std::min<size_t>(d.fraction.size(), kMaxDecimals)));
}

ColumnKind ColumnGuess::Kind() const {
    if (!fAnyValue || (fCandidates & kNumberBit)) return ColumnKind::kNumber;
    if (fCandidates & kDateBit) return fAnyDateTime ? ColumnKind::kDateTime : ColumnKind::kDate;
    return ColumnKind::kText;
}

VESK_Format ColumnGuess::Format() const {
    switch (Kind()) {
        case ColumnKind::kDate: return VESK_Format(kFormatDate, kDateWidth, 0);
        case ColumnKind::kDateTime:
            return VESK_Format(kFormatDateTime, fSecondDecimals ? kDateTimeReserve + fSecondDecimals : kDateTimeWidth,
                               fSecondDecimals);
        default: break;
    }
    if (!fAnyValue) return VESK_Format(kFormatNumber, 8, 2);
    const int width = fIntegerWidth + (fDecimals ? fDecimals + 1 : 0);
    return VESK_Format(kFormatNumber, std::min(width, kMaxWidth), fDecimals);
}

// ---------------------------------------------------------------- values

bool NumberValue(std::string_view text, double* value, NumberChange* change) {
    *change = NumberChange::kNone;
    if (ExactDecimal(text, value)) return true;  // never beyond 2^53: not the system-missing value
    const char* first = text.data();
    const char* last = first + text.size();
    if (first < last && *first == '+') ++first;
    const std::from_chars_result r = std::from_chars(first, last, *value);
    if (r.ptr != last || first == last) return false;
    if (r.ec == std::errc::result_out_of_range) {
        // Too large is text, so this is too small: a zero of the same sign.
        *value = *first == '-' ? -0.0 : 0.0;
        *change = NumberChange::kTiny;
        return true;
    }
    if (*value == VESK_DataSource::SystemMissing()) *change = NumberChange::kSystemMissing;
    return r.ec == std::errc();
}

bool DateValue(std::string_view text, double* value) {
    DateParts d;
    if (!ScanDate(text, d) || !iDMY2Vesk(d.day, d.month, d.year, d.hour, d.minute, d.second, value)) return false;
    if (d.fraction.empty()) return true;
    char fraction[48] = "0.";
    const size_t digits = std::min<size_t>(d.fraction.size(), sizeof fraction - 3);
    d.fraction.copy(fraction + 2, digits);
    double part = 0;
    std::from_chars(fraction, fraction + 2 + digits, part);
    *value += part;
    return true;
}

}  // namespace vesk
