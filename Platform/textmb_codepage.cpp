// The process's encoding settings, the per-encoding character tables, converters
// between encodings and UTF-8, and code-page numbers.
#define VESK_SOURCE_NAME "Platform/textmb_codepage"

#include <langinfo.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include <unicode/uchar.h>
#include <unicode/ustring.h>

#include "textmb.h"
#include "textmb_internal.h"
#include "vesk_assert.h"

namespace textmb {

std::atomic<const EncodingInfo*> gActive{nullptr};

namespace {

// ---------------------------------------------------------------- conversion callbacks

// Substitute like ICU's standard callbacks, and remember that text was lost.
struct LossRecord {
    int lost = 0;
};

void U_CALLCONV RecordToU(const void* context, UConverterToUnicodeArgs* args, const char* units,
                          int32_t length, UConverterCallbackReason reason, UErrorCode* err) {
    if (reason <= UCNV_IRREGULAR) static_cast<LossRecord*>(const_cast<void*>(context))->lost = 1;
    UCNV_TO_U_CALLBACK_SUBSTITUTE(nullptr, args, units, length, reason, err);
}

void U_CALLCONV RecordFromU(const void* context, UConverterFromUnicodeArgs* args, const UChar* units,
                            int32_t length, UChar32 cp, UConverterCallbackReason reason, UErrorCode* err) {
    if (reason <= UCNV_IRREGULAR) static_cast<LossRecord*>(const_cast<void*>(context))->lost = 1;
    UCNV_FROM_U_CALLBACK_SUBSTITUTE(nullptr, args, units, length, cp, reason, err);
}

void SetStopCallbacks(UConverter* conv) {
    UErrorCode err = U_ZERO_ERROR;
    UConverterToUCallback oldTo;
    UConverterFromUCallback oldFrom;
    const void* oldCtx;
    ucnv_setToUCallBack(conv, UCNV_TO_U_CALLBACK_STOP, nullptr, &oldTo, &oldCtx, &err);
    ucnv_setFromUCallBack(conv, UCNV_FROM_U_CALLBACK_STOP, nullptr, &oldFrom, &oldCtx, &err);
}

void SetRecordingCallbacks(UConverter* conv, LossRecord* record) {
    UErrorCode err = U_ZERO_ERROR;
    UConverterToUCallback oldTo;
    UConverterFromUCallback oldFrom;
    const void* oldCtx;
    ucnv_setToUCallBack(conv, RecordToU, record, &oldTo, &oldCtx, &err);
    ucnv_setFromUCallBack(conv, RecordFromU, record, &oldFrom, &oldCtx, &err);
}

// Plain substitution without a context, so that no pointer to a finished
// conversion's record stays in the converter.
void SetPlainCallbacks(UConverter* conv) {
    UErrorCode err = U_ZERO_ERROR;
    UConverterToUCallback oldTo;
    UConverterFromUCallback oldFrom;
    const void* oldCtx;
    ucnv_setToUCallBack(conv, UCNV_TO_U_CALLBACK_SUBSTITUTE, nullptr, &oldTo, &oldCtx, &err);
    ucnv_setFromUCallBack(conv, UCNV_FROM_U_CALLBACK_SUBSTITUTE, nullptr, &oldFrom, &oldCtx, &err);
}

// Opens a converter; in encodings where '?' is itself, '?' replaces characters that
// cannot be written (more readable in names and labels than the control byte 0x1A).
UConverter* OpenConverter(const char* name) {
    UErrorCode err = U_ZERO_ERROR;
    UConverter* conv = ucnv_open(name, &err);
    if (U_FAILURE(err) || !conv) return nullptr;
    SetStopCallbacks(conv);
    char q[8];
    static const UChar question[] = {u'?'};
    UErrorCode qerr = U_ZERO_ERROR;
    int32_t n = ucnv_fromUChars(conv, q, sizeof q, question, 1, &qerr);
    if (U_SUCCESS(qerr) && n == 1 && q[0] == '?') {
        qerr = U_ZERO_ERROR;
        ucnv_setSubstChars(conv, "?", 1, &qerr);
    }
    SetPlainCallbacks(conv);
    return conv;
}

// ---------------------------------------------------------------- encoding tables

enum class Probe { Complete, Truncated, Invalid };

// How the converter reads exactly these bytes: one whole character (assigned or
// not), the start of a longer character, or an invalid sequence.
Probe ProbeBytes(UConverter* conv, const char* bytes, int n) {
    ucnv_resetToUnicode(conv);
    UChar out[32];
    UChar* t = out;
    const char* s = bytes;
    UErrorCode err = U_ZERO_ERROR;
    ucnv_toUnicode(conv, &t, out + 32, &s, bytes + n, nullptr, true, &err);
    if (U_SUCCESS(err)) return s == bytes + n ? Probe::Complete : Probe::Invalid;
    if (err == U_TRUNCATED_CHAR_FOUND) return Probe::Truncated;
    if (err == U_INVALID_CHAR_FOUND) {
        // Well formed but unassigned: still a character of these n bytes.
        char bad[32];
        int8_t len = sizeof bad;
        UErrorCode e2 = U_ZERO_ERROR;
        ucnv_getInvalidChars(conv, bad, &len, &e2);
        if (U_SUCCESS(e2) && len == n) return Probe::Complete;
    }
    return Probe::Invalid;
}

// Simple case mapping of single-byte characters, kept only when the result is
// again a single byte of the encoding.
void BuildCaseTables(EncodingInfo& info, UConverter* conv) {
    for (int b = 0; b < 256; ++b) {
        info.upper[b] = static_cast<unsigned char>(b);
        info.lower[b] = static_cast<unsigned char>(b);
    }
    for (int b = 0; b < 256; ++b) {
        if (info.lead[b] != kLeadSingle) continue;
        char in = static_cast<char>(b);
        UChar u[4];
        UErrorCode err = U_ZERO_ERROR;
        int32_t n = ucnv_toUChars(conv, u, 4, &in, 1, &err);
        if (U_FAILURE(err) || n < 1) continue;
        UChar32 cp;
        int32_t i = 0;
        U16_NEXT(u, i, n, cp);
        if (i != n) continue;
        for (int which = 0; which < 2; ++which) {
            UChar32 mapped = which == 0 ? u_toupper(cp) : u_tolower(cp);
            if (mapped == cp) continue;
            UChar mu[2];
            int32_t ml = 0;
            U16_APPEND_UNSAFE(mu, ml, mapped);
            char out[8];
            UErrorCode e2 = U_ZERO_ERROR;
            int32_t outLen = ucnv_fromUChars(conv, out, sizeof out, mu, ml, &e2);
            if (U_FAILURE(e2) || outLen != 1) continue;
            (which == 0 ? info.upper : info.lower)[b] = static_cast<unsigned char>(out[0]);
        }
    }
}

std::unique_ptr<EncodingInfo> BuildUtf8Info() {
    auto info = std::make_unique<EncodingInfo>();
    info->icuName = "UTF-8";
    info->kind = EncodingKind::Utf8;
    info->maxCharLen = 4;
    for (int b = 0; b < 256; ++b) {
        info->lead[b] = b < 0x80 ? kLeadSingle : (b >= 0xC2 && b <= 0xF4) ? kLeadUtf8 : kLeadInvalid;
        unsigned char c = static_cast<unsigned char>(b);
        info->upper[b] = (c >= 'a' && c <= 'z') ? c - 32 : c;
        info->lower[b] = (c >= 'A' && c <= 'Z') ? c + 32 : c;
    }
    return info;
}

std::unique_ptr<EncodingInfo> BuildInfo(UConverter* conv, const char* icuName) {
    auto info = std::make_unique<EncodingInfo>();
    info->icuName = icuName;
    info->maxCharLen = ucnv_getMaxCharSize(conv);
    SetStopCallbacks(conv);
    if (info->maxCharLen <= 1) {
        // Every byte is a character of its own.
        info->kind = EncodingKind::SingleByte;
        info->maxCharLen = 1;
        std::fill(std::begin(info->lead), std::end(info->lead), kLeadSingle);
    } else {
        info->kind = EncodingKind::MultiByte;
        for (int b = 0; b < 256; ++b) {
            char seq[2] = {static_cast<char>(b), 0};
            Probe p = ProbeBytes(conv, seq, 1);
            if (p == Probe::Complete) {
                info->lead[b] = kLeadSingle;
            } else if (p == Probe::Invalid) {
                info->lead[b] = kLeadInvalid;
            } else {
                bool longer = false;
                for (int t = 0; t < 256; ++t) {
                    seq[1] = static_cast<char>(t);
                    Probe q = ProbeBytes(conv, seq, 2);
                    if (q == Probe::Complete)
                        info->trail[b][t >> 6] |= uint64_t{1} << (t & 63);
                    else if (q == Probe::Truncated)
                        longer = true;
                }
                info->lead[b] = longer ? kLeadComplex : kLeadDouble;
            }
        }
    }
    BuildCaseTables(*info, conv);
    SetPlainCallbacks(conv);
    return info;
}

// Encodings usable as the process's code page: byte-oriented and without shift
// states, so that every character can be measured where it stands.
bool UsableAsCodePage(UConverter* conv) {
    if (ucnv_getMinCharSize(conv) != 1) return false;
    switch (ucnv_getType(conv)) {
        case UCNV_SBCS:
        case UCNV_MBCS:
        case UCNV_LATIN_1:
        case UCNV_US_ASCII:
        case UCNV_UTF8:
            return true;
        default:
            return false;
    }
}

// ---------------------------------------------------------------- process settings

// One named setting of the process's code page. Settings and infos are interned
// and live as long as the process, so pointers to them may be read without a lock.
struct Setting {
    std::string name;
    const EncodingInfo* info = nullptr;
};

struct Registry {
    std::mutex mutex;
    std::map<std::string, std::unique_ptr<EncodingInfo>> infos;  // by ICU name
    std::map<std::string, std::unique_ptr<Setting>> settings;    // by the name given
    std::unique_ptr<EncodingInfo> utf8 = BuildUtf8Info();
    std::atomic<const Setting*> codePage{nullptr};
    std::atomic<int> utf8Mode{0};
};

Registry& Reg() {
    static Registry* reg = new Registry;  // never destroyed: used from thread exits
    return *reg;
}

// The setting for the name, made on first use; null when the name is no usable code page.
const Setting* FindSetting(const char* name) {
    if (!name || !*name) return nullptr;
    Registry& reg = Reg();
    std::lock_guard<std::mutex> lock(reg.mutex);
    auto it = reg.settings.find(name);
    if (it != reg.settings.end()) return it->second.get();
    UConverter* conv = OpenConverter(name);
    if (!conv) return nullptr;
    const EncodingInfo* info = nullptr;
    if (UsableAsCodePage(conv)) {
        UErrorCode err = U_ZERO_ERROR;
        std::string icuName = ucnv_getName(conv, &err);
        if (ucnv_getType(conv) == UCNV_UTF8) {
            info = reg.utf8.get();
        } else {
            auto found = reg.infos.find(icuName);
            if (found == reg.infos.end())
                found = reg.infos.emplace(icuName, BuildInfo(conv, icuName.c_str())).first;
            info = found->second.get();
        }
    }
    ucnv_close(conv);
    if (!info) return nullptr;
    auto setting = std::make_unique<Setting>();
    setting->name = name;
    setting->info = info;
    const Setting* result = setting.get();
    reg.settings.emplace(name, std::move(setting));
    return result;
}

// Call with the registry mutex held.
void UpdateActive(Registry& reg) {
    const Setting* cp = reg.codePage.load();
    gActive.store(reg.utf8Mode.load() ? reg.utf8.get() : cp->info, std::memory_order_release);
}

// The locale's codeset as it stands (the library never sets the locale). The
// codeset of the "C" locale, plain ASCII, becomes windows-1252: it agrees with
// ASCII on every ASCII byte and gives the other 128 bytes characters, which is what
// files written by hosts in that locale hold in practice.
const char* kAsciiLocaleCodePage = "windows-1252";

const Setting* LocaleSetting() {
    const char* codeset = nl_langinfo(CODESET);
    if (codeset && *codeset && ucnv_compareNames(codeset, "US-ASCII") != 0 &&
        ucnv_compareNames(codeset, "ANSI_X3.4-1968") != 0 && ucnv_compareNames(codeset, "ASCII") != 0 &&
        ucnv_compareNames(codeset, "646") != 0) {
        std::string copy = codeset;  // nl_langinfo's buffer may be reused
        if (const Setting* s = FindSetting(copy.c_str())) return s;
    }
    return FindSetting(kAsciiLocaleCodePage);
}

void EnsureInit() {
    static std::once_flag once;
    std::call_once(once, [] {
        const Setting* s = LocaleSetting();
        VESK_ASSERT(s != nullptr);
        Registry& reg = Reg();
        std::lock_guard<std::mutex> lock(reg.mutex);
        reg.codePage.store(s);
        UpdateActive(reg);
    });
}

// ---------------------------------------------------------------- thread converters

// A few converters per thread, so that alternating between two encodings (a
// collator prepared for one while the process uses another) does not reopen them.
struct ThreadConverters {
    static constexpr int kSlots = 4;
    const EncodingInfo* info[kSlots] = {};
    UConverter* conv[kSlots] = {};
    int next = 0;
    ~ThreadConverters() {
        for (UConverter* c : conv)
            if (c) ucnv_close(c);
    }
};

// ---------------------------------------------------------------- UTF-8 helpers

int Utf8Len(const unsigned char* p, size_t remaining) {
    unsigned char c = p[0];
    int n;
    unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
    if (c < 0x80) return 1;
    if (c < 0xC2) return -1;
    if (c < 0xE0) {
        n = 2;
    } else if (c < 0xF0) {
        n = 3;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;  // no surrogates
    } else if (c <= 0xF4) {
        n = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
    } else {
        return -1;
    }
    if (remaining < static_cast<size_t>(n)) return -1;
    if (p[1] < lo || p[1] > hi) return -1;
    for (int i = 2; i < n; ++i)
        if ((p[i] & 0xC0) != 0x80) return -1;
    return n;
}

int ComplexLen(const EncodingInfo* e, const char* p, size_t remaining) {
    unsigned char c = static_cast<unsigned char>(p[0]);
    if (remaining >= 2 && e->TrailOk(c, static_cast<unsigned char>(p[1]))) return 2;
    UConverter* conv = ThreadConverter(e);
    SetStopCallbacks(conv);
    ucnv_resetToUnicode(conv);
    size_t n = std::min(remaining, static_cast<size_t>(e->maxCharLen));
    const char* s = p;
    UErrorCode err = U_ZERO_ERROR;
    ucnv_getNextUChar(conv, &s, p + n, &err);
    int result = -1;
    if (U_SUCCESS(err)) {
        result = static_cast<int>(s - p);
    } else if (err == U_INVALID_CHAR_FOUND) {
        char bad[32];
        int8_t len = sizeof bad;
        UErrorCode e2 = U_ZERO_ERROR;
        ucnv_getInvalidChars(conv, bad, &len, &e2);
        if (U_SUCCESS(e2) && len > 0) result = len;
    }
    SetPlainCallbacks(conv);
    return result;
}

}  // namespace

const EncodingInfo* InitActive() {
    EnsureInit();
    return gActive.load(std::memory_order_acquire);
}

const EncodingInfo* CodePageInfo() {
    EnsureInit();
    return Reg().codePage.load()->info;
}

const EncodingInfo* Utf8Info() { return Reg().utf8.get(); }

int MbLenSlow(const EncodingInfo* e, const char* p, size_t remaining) {
    unsigned char c = static_cast<unsigned char>(p[0]);
    switch (e->lead[c]) {
        case kLeadSingle:
            return 1;
        case kLeadDouble:
            return remaining >= 2 && e->TrailOk(c, static_cast<unsigned char>(p[1])) ? 2 : -1;
        case kLeadUtf8:
            return Utf8Len(reinterpret_cast<const unsigned char*>(p), remaining);
        case kLeadComplex:
            return ComplexLen(e, p, remaining);
        default:
            return -1;
    }
}

UConverter* ThreadConverter(const EncodingInfo* e) {
    thread_local ThreadConverters cache;
    for (int i = 0; i < ThreadConverters::kSlots; ++i)
        if (cache.info[i] == e) return cache.conv[i];
    int slot = cache.next;
    cache.next = (slot + 1) % ThreadConverters::kSlots;
    if (cache.conv[slot]) ucnv_close(cache.conv[slot]);
    cache.conv[slot] = OpenConverter(e->icuName.c_str());
    VESK_ASSERT(cache.conv[slot] != nullptr);
    cache.info[slot] = e;
    return cache.conv[slot];
}

int ToUtf16(UConverter* conv, const char* src, size_t len, std::u16string& out) {
    LossRecord record;
    SetRecordingCallbacks(conv, &record);
    ucnv_resetToUnicode(conv);
    out.resize(len + 16);
    const char* s = src;
    const char* end = src + len;
    size_t used = 0;
    for (;;) {
        UChar* t = reinterpret_cast<UChar*>(out.data()) + used;
        UChar* tEnd = reinterpret_cast<UChar*>(out.data()) + out.size();
        UErrorCode err = U_ZERO_ERROR;
        ucnv_toUnicode(conv, &t, tEnd, &s, end, nullptr, true, &err);
        used = t - reinterpret_cast<UChar*>(out.data());
        if (err == U_BUFFER_OVERFLOW_ERROR) {
            out.resize(out.size() * 2);
            continue;
        }
        if (U_FAILURE(err)) record.lost = 1;
        break;
    }
    out.resize(used);
    SetPlainCallbacks(conv);
    return record.lost;
}

int FromUtf16(UConverter* conv, const char16_t* src, size_t len, std::string& out,
              std::vector<int32_t>* offsets) {
    LossRecord record;
    SetRecordingCallbacks(conv, &record);
    ucnv_resetFromUnicode(conv);
    out.resize(UCNV_GET_MAX_BYTES_FOR_STRING(len, ucnv_getMaxCharSize(conv)));
    if (offsets) offsets->resize(out.size());
    const UChar* s = reinterpret_cast<const UChar*>(src);
    const UChar* end = s + len;
    size_t used = 0;
    for (;;) {
        char* t = out.data() + used;
        int32_t* off = offsets ? offsets->data() + used : nullptr;
        int32_t base = static_cast<int32_t>(s - reinterpret_cast<const UChar*>(src));
        UErrorCode err = U_ZERO_ERROR;
        ucnv_fromUnicode(conv, &t, out.data() + out.size(), &s, end, off, true, &err);
        size_t now = t - out.data();
        if (offsets && base)
            for (size_t i = used; i < now; ++i)
                if ((*offsets)[i] >= 0) (*offsets)[i] += base;
        used = now;
        if (err == U_BUFFER_OVERFLOW_ERROR) {
            out.resize(out.size() * 2);
            if (offsets) offsets->resize(out.size());
            continue;
        }
        if (U_FAILURE(err)) record.lost = 1;
        break;
    }
    out.resize(used);
    if (offsets) offsets->resize(used);
    SetPlainCallbacks(conv);
    return record.lost;
}

int Utf8ToUtf16(const char* src, size_t len, std::u16string& out) {
    out.resize(len + 1);
    int32_t outLen = 0, subs = 0;
    UErrorCode err = U_ZERO_ERROR;
    u_strFromUTF8WithSub(reinterpret_cast<UChar*>(out.data()), static_cast<int32_t>(out.size()), &outLen, src,
                         static_cast<int32_t>(len), 0xFFFD, &subs, &err);
    VESK_ASSERT(U_SUCCESS(err));
    out.resize(outLen);
    return subs != 0;
}

int Utf16ToUtf8(const char16_t* src, size_t len, std::string& out) {
    out.resize(len * 3 + 1);
    int32_t outLen = 0, subs = 0;
    UErrorCode err = U_ZERO_ERROR;
    u_strToUTF8WithSub(out.data(), static_cast<int32_t>(out.size()), &outLen,
                       reinterpret_cast<const UChar*>(src), static_cast<int32_t>(len), 0xFFFD, &subs,
                       &err);
    VESK_ASSERT(U_SUCCESS(err));
    out.resize(outLen);
    return subs != 0;
}

}  // namespace textmb

using namespace textmb;

// ---------------------------------------------------------------- UTF-8 mode and code page

int qUTF8mode() {
    EnsureInit();
    return Reg().utf8Mode.load();
}

void SetUTF8mode(int on) {
    EnsureInit();
    Registry& reg = Reg();
    std::lock_guard<std::mutex> lock(reg.mutex);
    reg.utf8Mode.store(on ? 1 : 0);
    UpdateActive(reg);
}

int VESKMBConverterSet_A(const char* encodingName) {
    EnsureInit();
    const Setting* s = FindSetting(encodingName);
    if (!s) return 0;
    Registry& reg = Reg();
    std::lock_guard<std::mutex> lock(reg.mutex);
    reg.codePage.store(s);
    UpdateActive(reg);
    return 1;
}

const char* VESKMBCurrentConverterName_A() {
    EnsureInit();
    return Reg().codePage.load()->name.c_str();
}

const char* VESKMBDefaultCodePage() { return VESKMBCurrentConverterName_A(); }

void VESKMBSetDefaultCodePage(const char* encodingName) { VESKMBConverterSet_A(encodingName); }

int VESKMBMaxCharLen() { return Active()->maxCharLen; }

// ---------------------------------------------------------------- converters

struct VESKMBConverter {
    std::string name;
    UConverter* conv = nullptr;
    std::mutex mutex;  // ICU converters hold state; one conversion at a time
};

VESKMBConverter* VESKMBConverterNew_A(const char* encodingName) {
    if (!encodingName || !*encodingName) return nullptr;
    UConverter* conv = OpenConverter(encodingName);
    if (!conv) return nullptr;
    auto* c = new VESKMBConverter;
    c->name = encodingName;
    c->conv = conv;
    return c;
}

void VESKMBConverterDelete_A(VESKMBConverter* converter) {
    if (!converter) return;
    ucnv_close(converter->conv);
    delete converter;
}

const char* VESKMBConverterName_A(const VESKMBConverter* converter) {
    VESK_ASSERT(converter != nullptr);
    return converter->name.c_str();
}

namespace {

VESKMBConverter* Mutable(const VESKMBConverter* converter) {
    VESK_ASSERT(converter != nullptr);
    return const_cast<VESKMBConverter*>(converter);
}

}  // namespace

int VESKMBCodePageToU8(const VESKMBConverter* converter, std::string& out, const std::string& in) {
    VESKMBConverter* c = Mutable(converter);
    std::u16string u;
    int lost;
    {
        std::lock_guard<std::mutex> lock(c->mutex);
        lost = ToUtf16(c->conv, in.data(), in.size(), u);
    }
    lost |= Utf16ToUtf8(u.data(), u.size(), out);
    return lost;
}

int VESKMBU8ToCodePage(const VESKMBConverter* converter, std::string& out, const std::string& in) {
    VESKMBConverter* c = Mutable(converter);
    std::u16string u;
    int lost = Utf8ToUtf16(in.data(), in.size(), u);
    std::lock_guard<std::mutex> lock(c->mutex);
    lost |= FromUtf16(c->conv, u.data(), u.size(), out);
    return lost;
}

size_t VESKMBCodePageto8(const VESKMBConverter* converter, char* dest, size_t destLen, const char* src,
                         size_t srcLen, int* status) {
    VESKMBConverter* c = Mutable(converter);
    VESK_ASSERT(dest != nullptr || destLen == 0);
    VESK_ASSERT(src != nullptr || srcLen == 0);
    std::u16string u;
    int lost;
    {
        std::lock_guard<std::mutex> lock(c->mutex);
        lost = ToUtf16(c->conv, src, srcLen, u);
    }
    std::string out;
    lost |= Utf16ToUtf8(u.data(), u.size(), out);
    size_t n = out.size();
    if (n > destLen) {
        // Cut before the UTF-8 character that does not fit whole.
        n = destLen;
        while (n > 0 && (static_cast<unsigned char>(out[n]) & 0xC0) == 0x80) --n;
        lost = 1;
    }
    if (n) memcpy(dest, out.data(), n);
    if (status) *status = lost;
    return n;
}

size_t VESKMB8toCodePage(const VESKMBConverter* converter, char* dest, size_t destLen, const char* src,
                         size_t srcLen, int* status) {
    VESKMBConverter* c = Mutable(converter);
    VESK_ASSERT(dest != nullptr || destLen == 0);
    VESK_ASSERT(src != nullptr || srcLen == 0);
    std::u16string u;
    int lost = Utf8ToUtf16(src, srcLen, u);
    std::string out;
    std::vector<int32_t> offsets;
    {
        std::lock_guard<std::mutex> lock(c->mutex);
        lost |= FromUtf16(c->conv, u.data(), u.size(), out, &offsets);
    }
    size_t n = out.size();
    if (n > destLen) {
        // Output bytes of one source character share its offset: cut where they change.
        n = destLen;
        while (n > 0 && offsets[n] == offsets[n - 1]) --n;
        lost = 1;
    }
    if (n) memcpy(dest, out.data(), n);
    if (status) *status = lost;
    return n;
}

// ---------------------------------------------------------------- code-page numbers

namespace {

struct CodePageNumber {
    int number;
    const char* name;  // the first entry of a number gives its name
};

const CodePageNumber kCodePageNumbers[] = {
    {1250, "windows-1250"}, {1251, "windows-1251"}, {1252, "windows-1252"}, {1253, "windows-1253"},
    {1254, "windows-1254"}, {1255, "windows-1255"}, {1256, "windows-1256"}, {1257, "windows-1257"},
    {1258, "windows-1258"}, {874, "windows-874"},   {932, "windows-932"},   {936, "windows-936"},
    {949, "windows-949"},   {950, "windows-950"},   {65001, "UTF-8"},       {20127, "US-ASCII"},
    {28591, "ISO-8859-1"},  {28592, "ISO-8859-2"},  {28593, "ISO-8859-3"},  {28594, "ISO-8859-4"},
    {28595, "ISO-8859-5"},  {28596, "ISO-8859-6"},  {28597, "ISO-8859-7"},  {28598, "ISO-8859-8"},
    {28599, "ISO-8859-9"},  {28603, "ISO-8859-13"}, {28605, "ISO-8859-15"}, {20932, "EUC-JP"},
    {51949, "EUC-KR"},      {20936, "GB2312"},      {54936, "GB18030"},     {20866, "KOI8-R"},
    {21866, "KOI8-U"},      {437, "IBM437"},        {850, "IBM850"},        {852, "IBM852"},
    {866, "IBM866"},        {10000, "macintosh"},
    // Further names of the same numbers whose ICU tables differ slightly.
    {932, "Shift_JIS"},     {936, "GBK"},           {949, "cp949"},         {950, "Big5"},
};

// ICU's converter name for an encoding name; empty when ICU does not know it.
std::string IcuName(const char* name) {
    UErrorCode err = U_ZERO_ERROR;
    const char* canonical = ucnv_getAlias(name, 0, &err);
    return U_SUCCESS(err) && canonical ? std::string(canonical) : std::string();
}

bool SameName(const char* a, const std::string& icuA, const char* b) {
    if (ucnv_compareNames(a, b) == 0) return true;
    if (icuA.empty()) return false;
    return icuA == IcuName(b);
}

}  // namespace

int VESKMBCpNameToNum_A(const char* encodingName, int* number) {
    if (!encodingName || !*encodingName) return 0;
    std::string icu = IcuName(encodingName);
    for (const CodePageNumber& entry : kCodePageNumbers) {
        if (SameName(encodingName, icu, entry.name)) {
            if (number) *number = entry.number;
            return 1;
        }
    }
    return 0;
}

int VESKMBCpNameFromNum_A(int number, std::string* encodingName) {
    for (const CodePageNumber& entry : kCodePageNumbers) {
        if (entry.number == number) {
            if (encodingName) *encodingName = entry.name;
            return 1;
        }
    }
    return 0;
}

int VESKMBqSameCodePage(const char* a, const char* b) {
    if (!a || !b) return 0;
    return SameName(a, IcuName(a), b) ? 1 : 0;
}
