// The file cipher of encrypted system files: a key derived from the password
// (Argon2id) and an authenticated stream cipher (XChaCha20-Poly1305
// secretstream) over the whole clear stream, in chunks of 64 KiB.
//
// What encrypt writes at the output's position (integers little-endian):
//
//    0   8  magic "VESKENC1"
//    8   4  version, 1
//   12   4  clear bytes per chunk, 65536
//   16   8  opslimit  } of the key derivation, kept so that new files can
//   24   8  memlimit  } use stronger ones without breaking old ones
//   32  16  salt, random per file
//   48  24  secretstream header
//   72 ...  chunks: every chunk but the last carries 65536 clear bytes with
//           TAG_MESSAGE; the last (possibly empty) carries TAG_FINAL. The 72
//           bytes above are the first chunk's additional data.
//
// decrypt accepts a stream only when every chunk authenticates, the last one
// carries TAG_FINAL and nothing follows it; a wrong password, a flipped bit, a
// cut and an appended byte all give 0. Limits above the SENSITIVE constants
// are refused before any key is derived, so a hostile file cannot make the
// reader allocate or compute without bound.
//
// Key material and clear buffers are wiped with sodium_memzero. A FileCipher
// keeps the key of the last stream it deciphered or enciphered (with its
// salt and limits), so that re-enciphering a file under the same password, as
// a stream does when it rewrites the file it opened, derives no key again.
//
// Threads: one FileCipher per thread at a time; the new-file limits are
// process-wide and atomic.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "vesk_export.h"

class VESK_StrBaseIO;

// The 72 bytes before the chunks.
struct VESK_EXPORT FileCipherPreamble {
    static constexpr size_t kSize = 72;
    static constexpr size_t kSaltSize = 16;
    static constexpr size_t kStreamHeaderSize = 24;
    static constexpr uint32_t kVersion = 1;
    static constexpr uint32_t kChunkSize = 65536;

    uint64_t opslimit = 0;
    uint64_t memlimit = 0;
    unsigned char salt[kSaltSize] = {};
    unsigned char streamHeader[kStreamHeaderSize] = {};

    void Encode(unsigned char out[kSize]) const;
    // False unless the magic, version and chunk size are ours and both limits
    // lie between the library's minimum and SENSITIVE constants.
    bool Decode(const unsigned char in[kSize]);
};

class VESK_EXPORT FileCipher {
public:
    FileCipher();
    // Wipes the key.
    ~FileCipher();
    FileCipher(const FileCipher&) = delete;
    FileCipher& operator=(const FileCipher&) = delete;

    // Enciphers everything from in's position to its end, writing at out's
    // position. password: UTF-8 text. Nonzero on success; 0 when a read or
    // write fails or no key can be derived.
    int encrypt(std::string_view password, VESK_StrBaseIO& in, VESK_StrBaseIO& out);
    // Deciphers from in's position to its end, writing the clear bytes at
    // out's position. Nonzero on success; 0 for a wrong password or a stream
    // that is damaged, cut, extended or not ours. Clear bytes written before a
    // failure is found stay in out: the caller discards out then.
    int decrypt(std::string_view password, VESK_StrBaseIO& in, VESK_StrBaseIO& out);

    // Key derivation limits of files enciphered from now on (process-wide);
    // the defaults are the INTERACTIVE constants. Tests and fuzzing use the
    // minimum to stay fast. False (nothing changed) outside the range decrypt
    // accepts.
    static bool SetNewFileLimits(uint64_t opslimit, uint64_t memlimit);
    static void ResetNewFileLimits();
    static uint64_t MinOpsLimit();
    static uint64_t MinMemLimit();

private:
    int DecryptStream(std::string_view password, VESK_StrBaseIO& in, VESK_StrBaseIO& out);
    bool DeriveKey(std::string_view password, const FileCipherPreamble& preamble);
    bool KeyFor(std::string_view password, FileCipherPreamble& preamble);
    void ForgetKey();

    static constexpr size_t kKeySize = 32;
    static constexpr size_t kTagSize = 32;
    unsigned char fKey[kKeySize];
    unsigned char fPasswordTag[kTagSize];  // keyed hash of the key's password
    FileCipherPreamble fKeyParams;         // salt and limits of the key
    bool fHaveKey = false;
};
