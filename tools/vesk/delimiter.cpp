#include "delimiter.h"

#include <strings.h>

#include "commands.h"

namespace vesk {

char ParseDelimiter(const std::string& text) {
    if (text == "tab") return '\t';
    if (text.size() == 1 && text[0] != '"' && text[0] != '\r' && text[0] != '\n') return text[0];
    throw UsageError("--delimiter: expected one character or 'tab' (not a quote or line end), got '" + text + "'");
}

char DefaultDelimiter(const std::string& path) {
    constexpr char kSuffix[] = ".tsv";
    constexpr size_t kLength = sizeof kSuffix - 1;
    const bool tsv = path.size() > kLength && strcasecmp(path.c_str() + path.size() - kLength, kSuffix) == 0;
    return tsv ? '\t' : ',';
}

}  // namespace vesk
