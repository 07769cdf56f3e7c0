#define VESK_SOURCE_NAME "Datasource/src/names"
#include "names.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "errortext.h"
#include "nameutil.h"
#include "textmb.h"
#include "vesk_assert.h"

namespace {

const size_t kMaxNameBytes = 64;

const char* const kReservedWords[] = {"ALL", "AND", "BY", "EQ", "GE", "GT", "LE",
                                      "LT",  "NE",  "NOT", "OR", "TO", "WITH"};

bool IsAsciiDigit(unsigned char b) { return b >= '0' && b <= '9'; }

bool IsAsciiLetter(unsigned char b) { return (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z'); }

// A byte that forms a one-byte character and may appear in a name.
bool IsNameByte(unsigned char b) {
    return b >= 128 || IsAsciiLetter(b) || IsAsciiDigit(b) || (b != 0 && std::strchr("@#$_.", b) != nullptr);
}

size_t LengthWithoutTrailingBlanks(const char* text) {
    size_t n = std::strlen(text);
    while (n > 0 && text[n - 1] == ' ') --n;
    return n;
}

// Cuts s to at most maxBytes bytes without splitting a character.
void TruncateOnBoundary(std::string& s, size_t maxBytes) {
    if (s.size() <= maxBytes) return;
    VESKMBStringTruncate_A(s.data(), maxBytes);
    s.resize(std::strlen(s.c_str()));
}

// Offset of the last character of the first len bytes of text (len > 0).
size_t LastCharOffset(const char* text, size_t len) {
    size_t pos = 0, last = 0;
    while (pos < len) {
        int n = VESKMBmblen_A(text + pos, len - pos);
        if (n < 1) n = 1;
        last = pos;
        pos += static_cast<size_t>(n);
    }
    return last;
}

}  // namespace

// ---------------------------------------------------------------- classifiers

extern "C" int ValidateVESKName(const char* name) {
    if (name == nullptr) return VESKNameBadLength;
    const size_t len = LengthWithoutTrailingBlanks(name);
    if (len == 0 || len > kMaxNameBytes) return VESKNameBadLength;

    for (size_t pos = 0; pos < len;) {
        int n = VESKMBmblen_A(name + pos, len - pos);
        if (n < 1) return VESKNameBadChar;
        if (n == 1 && !IsNameByte(static_cast<unsigned char>(name[pos]))) return VESKNameBadChar;
        pos += static_cast<size_t>(n);
    }

    const unsigned char first = static_cast<unsigned char>(name[0]);
    if (first < 128 && (IsAsciiDigit(first) || first == '_' || first == '.')) return VESKNameBadFirst;

    if (len <= 4) {
        for (const char* word : kReservedWords) {
            if (VESKMBqstricmp_A(name, len, word, std::strlen(word))) return VESKNameReserved;
        }
    }
    if (first == '#') return VESKNameScratch;
    if (first == '$') return VESKNameSystem;
    return VESKNameLegal;
}

extern "C" int ValidateVESKNameCheckLastChar(const char* name) {
    int verdict = ValidateVESKName(name);
    if (verdict != VESKNameLegal) return verdict;
    // The byte after the last "." or "_" ends the name when it is NUL, a blank
    // or a control byte.
    const char* period = VESKMBstrrchr_A(name, '.');
    if (period != nullptr && static_cast<unsigned char>(period[1]) <= 32) return VESKNameEndsPeriod;
    const char* underscore = VESKMBstrrchr_A(name, '_');
    if (underscore != nullptr && static_cast<unsigned char>(underscore[1]) <= 32) return VESKNameEndsUnderscore;
    return VESKNameLegal;
}

extern "C" int FormNumericVESKName(char* out, const char* in) {
    VESK_ASSERT(out != nullptr);
    if (in == nullptr) return 0;
    const size_t len = LengthWithoutTrailingBlanks(in);
    if (len == 0 || len > 7) return 0;
    for (size_t i = 0; i < len; ++i) {
        if (!IsAsciiDigit(static_cast<unsigned char>(in[i]))) return 0;
    }
    out[0] = '@';
    std::memcpy(out + 1, in, len);
    out[len + 1] = '\0';
    return 1;
}

// ---------------------------------------------------------------- suffixes

void VESKNameLetterCode(int n, char out[16]) {
    VESK_ASSERT(n >= 0);
    static const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    // Built from the end backwards; an int needs at most 7 letters.
    char buf[16];
    int pos = 15;
    buf[pos] = '\0';
    buf[--pos] = kLetters[n % 26];
    for (unsigned q = static_cast<unsigned>(n) / 26; q > 0; q = (q - 1) / 26) buf[--pos] = kLetters[(q - 1) % 26];
    std::memcpy(out, buf + pos, static_cast<size_t>(16 - pos));
}

namespace {

// Shared tail of the two suffix builders: base shortened to `base`, "_", code.
void WriteSuffixed(char* out, const char* base, size_t baseLen, const char* code) {
    std::memcpy(out, base, baseLen);
    out[baseLen] = '_';
    std::strcpy(out + baseLen + 1, code);
}

}  // namespace

int MakeSuffixedName(char* out, const char* base, int n, int maxLength) {
    VESK_ASSERT(out != nullptr && base != nullptr);
    char code[16];
    VESKNameLetterCode(n, code);
    const int room = maxLength - static_cast<int>(std::strlen(code)) - 1;
    if (room < 2) return 1;
    std::string shortened(base);
    TruncateOnBoundary(shortened, static_cast<size_t>(room));
    if (shortened.empty()) return 1;
    WriteSuffixed(out, shortened.data(), shortened.size(), code);
    return 0;
}

int CopyNameTruncated(char* out, const char* in, int maxBytes) {
    VESK_ASSERT(out != nullptr && in != nullptr && maxBytes >= 0);
    const size_t len = strnlen(in, static_cast<size_t>(maxBytes));
    std::memcpy(out, in, len);
    out[len] = '\0';
    size_t pos = 0;
    while (pos < len) {
        int n = VESKMBmblen_A(out + pos, len - pos);
        if (n < 1) break;
        pos += static_cast<size_t>(n);
    }
    out[pos] = '\0';
    return static_cast<int>(pos);
}

int StripNameEnd(char* name) {
    VESK_ASSERT(name != nullptr);
    int removed = 0;
    size_t len = std::strlen(name);
    while (len > 0) {
        const size_t last = LastCharOffset(name, len);
        if (last != len - 1 || (name[last] != '.' && name[last] != '_')) break;
        name[last] = '\0';
        len = last;
        removed = 1;
    }
    return removed;
}

int MakeShortSuffixedName(char* out, const char* base, int n, int maxLength) {
    VESK_ASSERT(out != nullptr && base != nullptr);
    const int kNoShortName = int(DatasrcMsg::NoShortName);
    char code[16];
    VESKNameLetterCode(n, code);
    const int room = maxLength - static_cast<int>(std::strlen(code)) - 1;
    if (room < 2) return kNoShortName;
    std::string shortened(static_cast<size_t>(room) + 1, '\0');
    const int len = CopyNameTruncated(shortened.data(), base, room);
    if (len == 0) return kNoShortName;
    WriteSuffixed(out, shortened.data(), static_cast<size_t>(len), code);
    return 0;
}

// ---------------------------------------------------------------- generator

extern "C" int GenerateVESKName(char* name, unsigned int index, VESKNameInUseFn inUse, void* context1,
                                void* context2) {
    VESK_ASSERT(name != nullptr);

    // Keep only the characters allowed in a name, up to 64 bytes.
    std::string work;
    const char* p = name;
    size_t remaining = std::strlen(name);
    while (remaining > 0 && work.size() < kMaxNameBytes) {
        int n = VESKMBmblen_A(p, remaining);
        if (n >= 2) {
            work.append(p, static_cast<size_t>(n));
        } else if (n == 1) {
            if (IsNameByte(static_cast<unsigned char>(*p))) work.push_back(*p);
        } else {
            n = 1;  // a byte of an invalid sequence is dropped
        }
        p += n;
        remaining -= static_cast<size_t>(n);
    }
    TruncateOnBoundary(work, kMaxNameBytes);

    char numeric[16];
    if (FormNumericVESKName(numeric, work.c_str())) work = numeric;

    int verdict;
    for (;;) {
        verdict = ValidateVESKNameCheckLastChar(work.c_str());
        if (verdict == VESKNameLegal) break;
        if (verdict == VESKNameScratch || verdict == VESKNameSystem || verdict == VESKNameReserved ||
            verdict == VESKNameBadFirst) {
            // Prefix "@", keeping the whole name within 64 bytes.
            TruncateOnBoundary(work, kMaxNameBytes - 1);
            work.insert(0, 1, '@');
        } else if (verdict == VESKNameEndsPeriod || verdict == VESKNameEndsUnderscore) {
            if (work.size() < 2) break;
            TruncateOnBoundary(work, work.size() - 1);
        } else {
            break;
        }
    }
    if (verdict != VESKNameLegal) {
        char fallback[32];
        std::snprintf(fallback, sizeof fallback, "V%ld", static_cast<long>(index));
        work = fallback;
    }
    std::memcpy(name, work.c_str(), work.size() + 1);

    if (inUse == nullptr) return 0;
    for (int k = 0; inUse(context1, context2, name) != 0; ++k) {
        MakeSuffixedName(name, work.c_str(), k, static_cast<int>(kMaxNameBytes));
    }
    return 0;
}
