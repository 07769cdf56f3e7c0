// Internals shared by the multibyte text sources (textmb.cpp, textmb_codepage.cpp).
//
// An EncodingInfo describes one encoding the character functions can work on: a
// lead-byte table that gives the length of most characters in one lookup, trail-byte
// sets for two-byte characters, and case tables for single-byte characters. Infos
// are built once per encoding, cached for the life of the process and never change
// afterwards, so readers need no lock.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <unicode/ucnv.h>

namespace textmb {

enum class EncodingKind { SingleByte, Utf8, MultiByte };

// Values of EncodingInfo::lead.
enum : uint8_t {
    kLeadInvalid = 0,   // the byte starts no character
    kLeadSingle = 1,    // a character of one byte
    kLeadDouble = 2,    // a two-byte character whose trail byte is checked in trail[]
    kLeadUtf8 = 3,      // UTF-8 sequence; length and validity from the UTF-8 rules
    kLeadComplex = 4,   // longer sequences: asked of the converter at run time
};

struct EncodingInfo {
    std::string icuName;  // ICU's converter name (the encoding's identity)
    EncodingKind kind = EncodingKind::SingleByte;
    int maxCharLen = 1;
    uint8_t lead[256] = {};
    // Valid trail bytes of two-byte characters, one 256-bit set per lead byte.
    uint64_t trail[256][4] = {};
    // Simple case mapping of single-byte characters; identity for other bytes.
    unsigned char upper[256] = {};
    unsigned char lower[256] = {};

    bool TrailOk(unsigned char leadByte, unsigned char t) const {
        return (trail[leadByte][t >> 6] >> (t & 63)) & 1u;
    }
};

// The encoding the character functions work on now (UTF-8 in UTF-8 mode, else
// the process's code page). Never null after the first call.
extern std::atomic<const EncodingInfo*> gActive;
const EncodingInfo* InitActive();
inline const EncodingInfo* Active() {
    const EncodingInfo* e = gActive.load(std::memory_order_acquire);
    return e ? e : InitActive();
}

// The process's code page (independent of UTF-8 mode).
const EncodingInfo* CodePageInfo();
const EncodingInfo* Utf8Info();

// Length of the character at p for encodings whose lead byte is not kLeadSingle.
int MbLenSlow(const EncodingInfo* e, const char* p, size_t remaining);

// A converter for e owned by the calling thread (ICU converters are not
// thread-safe). Valid until the thread has asked for four other encodings' converters.
UConverter* ThreadConverter(const EncodingInfo* e);

// Conversions to and from UTF-16 that substitute what cannot be converted and
// return nonzero when they did.
int ToUtf16(UConverter* conv, const char* src, size_t len, std::u16string& out);
int FromUtf16(UConverter* conv, const char16_t* src, size_t len, std::string& out,
              std::vector<int32_t>* offsets = nullptr);
// Between UTF-8 and UTF-16; ill-formed input is replaced by U+FFFD and reported.
int Utf8ToUtf16(const char* src, size_t len, std::u16string& out);
int Utf16ToUtf8(const char16_t* src, size_t len, std::string& out);

}  // namespace textmb
