// The field delimiter of CSV input and output (--delimiter D).
#pragma once

#include <string>

namespace vesk {

// "tab" is a tab; any other single ASCII character stands for itself (",",
// ";", "|", ...). A double quote, CR, LF or NUL cannot delimit fields; they,
// bytes beyond ASCII and longer texts raise UsageError.
char ParseDelimiter(const std::string& text);

// The delimiter a file has when none is given: a tab for a name ending in
// ".tsv" (any case), a comma otherwise.
char DefaultDelimiter(const std::string& path);

}  // namespace vesk
