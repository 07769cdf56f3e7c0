#include "delimiter.h"

#include <strings.h>

#include "commands.h"

namespace vesk {

char ParseDelimiter(const std::string& text) {
    if (text == "tab") return '\t';
    // One ASCII character: a byte of a multibyte character would split text.
    const unsigned char c = text.size() == 1 ? static_cast<unsigned char>(text[0]) : 0;
    if (c != 0 && c < 0x80 && c != '"' && c != '\r' && c != '\n') return char(c);
    throw UsageError("--delimiter: expected ',', 'tab', ';', '|' or one ASCII character other than a quote or a "
                     "line end, got '" + text + "'");
}

char DefaultDelimiter(const std::string& path) {
    constexpr char kSuffix[] = ".tsv";
    constexpr size_t kLength = sizeof kSuffix - 1;
    const bool tsv = path.size() > kLength && strcasecmp(path.c_str() + path.size() - kLength, kSuffix) == 0;
    return tsv ? '\t' : ',';
}

}  // namespace vesk
