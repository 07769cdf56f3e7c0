#include "importnames.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

#include "names.h"
#include "textmb.h"

namespace vesk {

namespace {

constexpr size_t kMaxNameBytes = 64;

// n in bijective base 26: 0 "A", 25 "Z", 26 "AA".
std::string LetterCode(size_t n) {
    std::string code(1, char('A' + n % 26));
    for (size_t q = n / 26; q > 0; q = (q - 1) / 26) code.insert(code.begin(), char('A' + (q - 1) % 26));
    return code;
}

// base, shortened on a character boundary to leave room, "_" and the code.
std::string Suffixed(const std::string& base, size_t n) {
    const std::string code = LetterCode(n);
    std::vector<char> text(base.begin(), base.end());
    text.push_back('\0');
    VESKMBStringTruncate_A(text.data(), kMaxNameBytes - code.size() - 1);
    return std::string(text.data()) + "_" + code;
}

// The field as a legal name, without regard to the names taken.
std::string LegalName(const std::string& field, size_t column) {
    char buffer[kMaxNameBytes + 2] = {};
    std::memcpy(buffer, field.data(), std::min(field.size(), kMaxNameBytes));
    GenerateVESKName(buffer, unsigned(column + 1), nullptr, nullptr, nullptr);
    return buffer;
}

class NameTable {
public:
    explicit NameTable(size_t expected) { fTaken.reserve(expected); }
    // name, or its first free suffixed form, now taken.
    std::string Take(const std::string& name) {
        std::string upper = VESKMBUpper(name);
        if (fTaken.insert(upper).second) return name;
        size_t& next = fNextSuffix[std::move(upper)];
        for (;; ++next) {
            std::string candidate = Suffixed(name, next);
            if (fTaken.insert(VESKMBUpper(candidate)).second) {
                ++next;
                return candidate;
            }
        }
    }

private:
    std::unordered_set<std::string> fTaken;                 // upper-case names
    std::unordered_map<std::string, size_t> fNextSuffix;    // upper-case base -> first suffix not yet tried
};

}  // namespace

std::vector<std::string> ColumnNames(const std::vector<std::string>& header, std::vector<Renaming>* renamed) {
    NameTable table(header.size());
    std::vector<std::string> names;
    names.reserve(header.size());
    for (size_t column = 0; column < header.size(); ++column) {
        names.push_back(table.Take(LegalName(header[column], column)));
        if (names.back() != header[column]) renamed->push_back({column, header[column], names.back()});
    }
    return names;
}

std::vector<std::string> NumberedNames(size_t count) {
    std::vector<std::string> names;
    names.reserve(count);
    for (size_t i = 1; i <= count; ++i) names.push_back("v" + std::to_string(i));
    return names;
}

}  // namespace vesk
