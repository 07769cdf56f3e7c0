// Character functions on the process's current encoding: lengths, truncation,
// search, case mapping, case-insensitive comparison and collation; file-name
// strings; sleeping.
#define VESK_SOURCE_NAME "Platform/textmb"

#include "textmb.h"

#include <sodium.h>
#include <unistd.h>

#include <chrono>
#include <clocale>
#include <cstring>
#include <mutex>
#include <thread>

#include <unicode/ucasemap.h>
#include <unicode/ucol.h>
#include <unicode/ustring.h>

#include "textmb_internal.h"
#include "vesk_assert.h"

using namespace textmb;

namespace {

// Length of the character at p, an invalid byte counting as a character of its own.
inline int CharLen(const EncodingInfo* e, const char* p, size_t remaining) {
    if (e->lead[static_cast<unsigned char>(*p)] == kLeadSingle) return 1;
    int n = MbLenSlow(e, p, remaining);
    return n < 1 ? 1 : n;
}

// Whether every byte of the text is a single-byte character (then the case tables
// alone map it).
inline bool AllSingle(const EncodingInfo* e, const char* s, size_t len) {
    if (e->kind == EncodingKind::SingleByte) return true;
    for (size_t i = 0; i < len; ++i)
        if (e->lead[static_cast<unsigned char>(s[i])] != kLeadSingle) return false;
    return true;
}

// The longest prefix of whole characters of at most maxBytes bytes.
size_t FitPrefix(const EncodingInfo* e, const char* s, size_t len, size_t maxBytes) {
    if (len <= maxBytes) {
        // Whole text fits; nothing to measure.
        return len;
    }
    if (e->kind == EncodingKind::SingleByte) return maxBytes;
    size_t pos = 0;
    while (pos < len) {
        size_t n = static_cast<size_t>(CharLen(e, s + pos, len - pos));
        if (pos + n > maxBytes) break;
        pos += n;
    }
    return pos;
}

const UCaseMap* RootCaseMap() {
    static const UCaseMap* map = [] {
        UErrorCode err = U_ZERO_ERROR;
        UCaseMap* m = ucasemap_open("", 0, &err);
        VESK_ASSERT(U_SUCCESS(err) && m != nullptr);
        return m;
    }();
    return map;
}

std::string MapUtf8(const char* s, size_t len, bool upper) {
    std::string out(len + len / 2 + 16, '\0');
    for (int attempt = 0; attempt < 2; ++attempt) {
        UErrorCode err = U_ZERO_ERROR;
        int32_t n = upper ? ucasemap_utf8ToUpper(RootCaseMap(), out.data(), static_cast<int32_t>(out.size()), s,
                                                 static_cast<int32_t>(len), &err)
                          : ucasemap_utf8ToLower(RootCaseMap(), out.data(), static_cast<int32_t>(out.size()), s,
                                                 static_cast<int32_t>(len), &err);
        if (err == U_BUFFER_OVERFLOW_ERROR) {
            out.resize(n);
            continue;
        }
        if (U_FAILURE(err)) break;
        out.resize(n);
        return out;
    }
    return std::string(s, len);  // cannot map: leave the text as it is
}

// One multibyte character of a code page: through UTF-16 and back; a character
// whose mapping cannot be written in the code page is left as it is.
void MapCodePageChar(const EncodingInfo* e, const char* s, size_t n, bool upper, std::string& out) {
    UConverter* conv = ThreadConverter(e);
    std::u16string u;
    if (ToUtf16(conv, s, n, u)) {
        out.append(s, n);
        return;
    }
    char16_t mapped[32];
    UErrorCode err = U_ZERO_ERROR;
    int32_t m = upper ? u_strToUpper(reinterpret_cast<UChar*>(mapped), 32, reinterpret_cast<const UChar*>(u.data()),
                                     static_cast<int32_t>(u.size()), "", &err)
                      : u_strToLower(reinterpret_cast<UChar*>(mapped), 32, reinterpret_cast<const UChar*>(u.data()),
                                     static_cast<int32_t>(u.size()), "", &err);
    if (U_FAILURE(err) || (static_cast<size_t>(m) == u.size() && u.compare(0, m, mapped, m) == 0)) {
        out.append(s, n);
        return;
    }
    std::string back;
    if (FromUtf16(conv, mapped, m, back) || back.empty())
        out.append(s, n);
    else
        out += back;
}

std::string MapCase(const EncodingInfo* e, const char* s, size_t len, bool upper) {
    const unsigned char* table = upper ? e->upper : e->lower;
    if (AllSingle(e, s, len)) {
        std::string out(len, '\0');
        for (size_t i = 0; i < len; ++i) out[i] = static_cast<char>(table[static_cast<unsigned char>(s[i])]);
        return out;
    }
    if (e->kind == EncodingKind::Utf8) return MapUtf8(s, len, upper);
    std::string out;
    out.reserve(len);
    size_t pos = 0;
    while (pos < len) {
        unsigned char c = static_cast<unsigned char>(s[pos]);
        if (e->lead[c] == kLeadSingle) {
            out += static_cast<char>(table[c]);
            ++pos;
            continue;
        }
        int n = MbLenSlow(e, s + pos, len - pos);
        if (n < 1) {
            out += static_cast<char>(c);  // invalid byte: kept
            ++pos;
            continue;
        }
        MapCodePageChar(e, s + pos, static_cast<size_t>(n), upper, out);
        pos += static_cast<size_t>(n);
    }
    return out;
}

int MvCase(char* dest, size_t destSize, const char* src, size_t srcLen, bool upper) {
    VESK_ASSERT(dest != nullptr || destSize == 0);
    VESK_ASSERT(src != nullptr || srcLen == 0);
    if (destSize == 0) return 0;
    const EncodingInfo* e = Active();
    if (AllSingle(e, src, srcLen)) {
        // Fast path: byte for byte, so any cut is on a character boundary.
        const unsigned char* table = upper ? e->upper : e->lower;
        size_t n = srcLen < destSize - 1 ? srcLen : destSize - 1;
        for (size_t i = 0; i < n; ++i) dest[i] = static_cast<char>(table[static_cast<unsigned char>(src[i])]);
        dest[n] = '\0';
        return static_cast<int>(n);
    }
    std::string r = MapCase(e, src, srcLen, upper);
    size_t n = FitPrefix(e, r.data(), r.size(), destSize - 1);
    memcpy(dest, r.data(), n);
    dest[n] = '\0';
    return static_cast<int>(n);
}

char* StrCase(char* text, bool upper) {
    VESK_ASSERT(text != nullptr);
    const EncodingInfo* e = Active();
    size_t len = strlen(text);
    std::string r = MapCase(e, text, len, upper);
    size_t n = FitPrefix(e, r.data(), r.size(), len);
    memcpy(text, r.data(), n);
    text[n] = '\0';
    return text;
}

int Sign(int v) { return v < 0 ? -1 : v > 0 ? 1 : 0; }

// ---------------------------------------------------------------- collation

// The collation locale: the process's LC_COLLATE as it stands (only queried),
// reduced to language and region; "C", "POSIX" and locales ICU does not know give
// the root collation.
std::string CollationLocale() {
    const char* current = setlocale(LC_COLLATE, nullptr);
    std::string name = current ? current : "";
    size_t cut = name.find_first_of(".@");
    if (cut != std::string::npos) name.resize(cut);
    if (name == "C" || name == "POSIX") name.clear();
    return name;
}

const UCollator* ProcessCollator() {
    static const UCollator* coll = [] {
        std::string locale = CollationLocale();
        UErrorCode err = U_ZERO_ERROR;
        UCollator* c = locale.empty() ? nullptr : ucol_open(locale.c_str(), &err);
        if (c && (U_FAILURE(err) || err == U_USING_DEFAULT_WARNING)) {
            ucol_close(c);
            c = nullptr;
        }
        if (!c) {
            err = U_ZERO_ERROR;
            c = ucol_open("", &err);
        }
        VESK_ASSERT(U_SUCCESS(err) && c != nullptr);
        return c;
    }();
    return coll;
}

// Texts the collator finds equal but whose bytes differ are ordered by their bytes,
// so that only identical texts compare equal.
int Collate(const UCollator* coll, const EncodingInfo* e, const char* a, size_t la, const char* b, size_t lb) {
    if (la == lb && memcmp(a, b, la) == 0) return 0;
    UErrorCode err = U_ZERO_ERROR;
    UCollationResult r;
    if (e->kind == EncodingKind::Utf8) {
        r = ucol_strcollUTF8(coll, a, static_cast<int32_t>(la), b, static_cast<int32_t>(lb), &err);
    } else {
        UConverter* conv = ThreadConverter(e);
        std::u16string ua, ub;
        ToUtf16(conv, a, la, ua);
        ToUtf16(conv, b, lb, ub);
        r = ucol_strcoll(coll, reinterpret_cast<const UChar*>(ua.data()), static_cast<int32_t>(ua.size()),
                         reinterpret_cast<const UChar*>(ub.data()), static_cast<int32_t>(ub.size()));
    }
    if (U_SUCCESS(err) && r != UCOL_EQUAL) return r == UCOL_LESS ? -1 : 1;
    int c = memcmp(a, b, la < lb ? la : lb);
    if (c != 0) return Sign(c);
    return la < lb ? -1 : la > lb ? 1 : 0;
}

struct CollatorState {
    const UCollator* collator;
    const EncodingInfo* encoding;
};

}  // namespace

// ---------------------------------------------------------------- characters

int VESKMBmblen_A(const char* p, size_t remaining) {
    if (remaining == 0) return 0;
    VESK_ASSERT(p != nullptr);
    const EncodingInfo* e = Active();
    if (e->lead[static_cast<unsigned char>(*p)] == kLeadSingle) return 1;
    return MbLenSlow(e, p, remaining);
}

char* VESKMBStringTruncate_A(char* text, size_t maxBytes) {
    VESK_ASSERT(text != nullptr);
    size_t len = strlen(text);
    if (len > maxBytes) text[FitPrefix(Active(), text, len, maxBytes)] = '\0';
    return text;
}

std::string VESKMBLeadingCharacters(const std::string& text, size_t maxBytes) {
    return text.substr(0, FitPrefix(Active(), text.data(), text.size(), maxBytes));
}

size_t VESKMBCopyToFixed_A(char* dest, size_t width, const char* src, size_t srcLen) {
    VESK_ASSERT(dest != nullptr || width == 0);
    VESK_ASSERT(src != nullptr || srcLen == 0);
    size_t n = FitPrefix(Active(), src, srcLen, width);
    if (n) memmove(dest, src, n);
    if (width > n) memset(dest + n, ' ', width - n);
    return n;
}

const char* VESKMBstrrchr_A(const char* text, int c) {
    VESK_ASSERT(text != nullptr);
    const EncodingInfo* e = Active();
    unsigned char byte = static_cast<unsigned char>(c);
    if (e->kind == EncodingKind::SingleByte || byte == 0) return strrchr(text, byte);
    size_t remaining = strlen(text);
    const char* last = nullptr;
    const char* p = text;
    while (remaining > 0) {
        int n = CharLen(e, p, remaining);
        if (n == 1 && static_cast<unsigned char>(*p) == byte) last = p;
        p += n;
        remaining -= static_cast<size_t>(n);
    }
    return last;
}

char* VESKMBstrrchr_A(char* text, int c) {
    return const_cast<char*>(VESKMBstrrchr_A(static_cast<const char*>(text), c));
}

// ---------------------------------------------------------------- case

int VESKMBMvUpper_A(char* dest, size_t destSize, const char* src, size_t srcLen) {
    return MvCase(dest, destSize, src, srcLen, true);
}

int VESKMBMvLower_A(char* dest, size_t destSize, const char* src, size_t srcLen) {
    return MvCase(dest, destSize, src, srcLen, false);
}

char* VESKMBstrupr_A(char* text) { return StrCase(text, true); }
char* VESKMBstrlwr_A(char* text) { return StrCase(text, false); }

std::string VESKMBUpper(const std::string& text) { return MapCase(Active(), text.data(), text.size(), true); }
std::string VESKMBLower(const std::string& text) { return MapCase(Active(), text.data(), text.size(), false); }

int VESKMBstricmp_A(const char* a, const char* b) {
    VESK_ASSERT(a != nullptr && b != nullptr);
    const EncodingInfo* e = Active();
    size_t la = strlen(a), lb = strlen(b);
    if (AllSingle(e, a, la) && AllSingle(e, b, lb)) {
        const unsigned char* up = e->upper;
        for (size_t i = 0;; ++i) {
            unsigned char ca = up[static_cast<unsigned char>(a[i])];
            unsigned char cb = up[static_cast<unsigned char>(b[i])];
            if (ca != cb) return ca < cb ? -1 : 1;
            if (a[i] == '\0') return 0;  // b[i] is NUL too (a NUL maps to itself only)
        }
    }
    std::string ua = MapCase(e, a, la, true);
    std::string ub = MapCase(e, b, lb, true);
    return Sign(ua.compare(ub));
}

int VESKMBqstricmp_A(const char* a, size_t la, const char* b, size_t lb) {
    VESK_ASSERT(a != nullptr || la == 0);
    VESK_ASSERT(b != nullptr || lb == 0);
    if (la == lb && (la == 0 || memcmp(a, b, la) == 0)) return 1;
    const EncodingInfo* e = Active();
    if (AllSingle(e, a, la) && AllSingle(e, b, lb)) {
        if (la != lb) return 0;
        for (size_t i = 0; i < la; ++i)
            if (e->upper[static_cast<unsigned char>(a[i])] != e->upper[static_cast<unsigned char>(b[i])]) return 0;
        return 1;
    }
    return MapCase(e, a, la, true) == MapCase(e, b, lb, true) ? 1 : 0;
}

// ---------------------------------------------------------------- collation

int VESKMBstrncoll_A(const char* a, const char* b, size_t n) {
    VESK_ASSERT((a != nullptr && b != nullptr) || n == 0);
    if (n == 0) return 0;
    return Collate(ProcessCollator(), Active(), a, strnlen(a, n), b, strnlen(b, n));
}

VESKMBCollator::VESKMBCollator() = default;

VESKMBCollator::~VESKMBCollator() { delete static_cast<CollatorState*>(fCollator); }

bool VESKMBCollator::Init() {
    // ICU collators compare from several threads at once, so one process-wide
    // collator serves every VESKMBCollator.
    auto* state = static_cast<CollatorState*>(fCollator);
    if (!state) fCollator = state = new CollatorState;
    state->collator = ProcessCollator();
    state->encoding = Active();
    return true;
}

int VESKMBCollator::Compare(const char* a, size_t la, const char* b, size_t lb) const {
    VESK_ASSERT(a != nullptr || la == 0);
    VESK_ASSERT(b != nullptr || lb == 0);
    const auto* state = static_cast<const CollatorState*>(fCollator);
    if (!state) return Collate(ProcessCollator(), Active(), a, la, b, lb);
    return Collate(state->collator, state->encoding, a, la, b, lb);
}

// ---------------------------------------------------------------- file names

void ExtNameStr::SetGeneric(const char* name) {
    if (!name) {
        Clear();
        return;
    }
    fGeneric = name;
    const EncodingInfo* e = Active();
    if (e->kind == EncodingKind::Utf8) {
        fU8 = fGeneric;
        return;
    }
    std::u16string u;
    ToUtf16(ThreadConverter(e), fGeneric.data(), fGeneric.size(), u);
    Utf16ToUtf8(u.data(), u.size(), fU8);
}

void ExtNameStr::SetU8(const char* name) {
    if (!name) {
        Clear();
        return;
    }
    fU8 = name;
    const EncodingInfo* e = Active();
    if (e->kind == EncodingKind::Utf8) {
        fGeneric = fU8;
        return;
    }
    std::u16string u;
    Utf8ToUtf16(fU8.data(), fU8.size(), u);
    FromUtf16(ThreadConverter(e), u.data(), u.size(), fGeneric);
}

void ExtNameStr::Wipe() {
    sodium_memzero(fGeneric.data(), fGeneric.size());
    sodium_memzero(fU8.data(), fU8.size());
    Clear();
}

int ExtNameStr::Access(int accessType) const {
    const std::string& name = fGeneric.empty() ? fU8 : fGeneric;
    if (name.empty()) return -1;
    int mode = F_OK;
    if (accessType & Write) mode |= W_OK;
    if (accessType & Read) mode |= R_OK;
    return access(name.c_str(), mode) == 0 ? 0 : -1;
}

// ---------------------------------------------------------------- misc

void VESK_msleep(unsigned milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }
