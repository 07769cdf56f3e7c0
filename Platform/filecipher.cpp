#define VESK_SOURCE_NAME "Platform/filecipher"
#include "filecipher.h"

#include <sodium.h>

#include <atomic>
#include <cstring>
#include <memory>

#include "byteorder.h"
#include "filestream.h"

namespace {

using SecretStream = crypto_secretstream_xchacha20poly1305_state;

constexpr char kMagic[8] = {'V', 'E', 'S', 'K', 'E', 'N', 'C', '1'};
constexpr size_t kABytes = crypto_secretstream_xchacha20poly1305_ABYTES;
constexpr size_t kChunk = FileCipherPreamble::kChunkSize;
constexpr size_t kSealedChunk = kChunk + kABytes;
constexpr unsigned char kTagMessage = crypto_secretstream_xchacha20poly1305_TAG_MESSAGE;
constexpr unsigned char kTagFinal = crypto_secretstream_xchacha20poly1305_TAG_FINAL;

static_assert(FileCipherPreamble::kSaltSize == crypto_pwhash_SALTBYTES);
static_assert(FileCipherPreamble::kStreamHeaderSize == crypto_secretstream_xchacha20poly1305_HEADERBYTES);
static_assert(crypto_secretstream_xchacha20poly1305_KEYBYTES == 32);

std::atomic<uint64_t> gNewOpsLimit{crypto_pwhash_OPSLIMIT_INTERACTIVE};
std::atomic<uint64_t> gNewMemLimit{crypto_pwhash_MEMLIMIT_INTERACTIVE};

bool SodiumReady() {
    static const bool ready = sodium_init() >= 0;
    return ready;
}

bool LimitsInRange(uint64_t ops, uint64_t mem) {
    return ops >= crypto_pwhash_OPSLIMIT_MIN && ops <= crypto_pwhash_OPSLIMIT_SENSITIVE &&
           mem >= crypto_pwhash_MEMLIMIT_MIN && mem <= crypto_pwhash_MEMLIMIT_SENSITIVE;
}

// The header's numbers are little-endian.
constexpr ByteOrder kHeaderOrder = ByteOrder::Little();

// Reads until count bytes arrived or the stream gives no more.
size_t ReadFull(VESK_StrBaseIO& in, unsigned char* buffer, size_t count) {
    size_t done = 0;
    while (done < count) {
        const size_t got = in.Read(buffer + done, count - done);
        if (got == 0) break;
        done += got;
    }
    return done;
}

// The chunk buffers, wiped when they go (they hold clear data).
struct ChunkBuffers {
    std::unique_ptr<unsigned char[]> clear{new unsigned char[kChunk]};
    std::unique_ptr<unsigned char[]> sealed{new unsigned char[kSealedChunk]};
    SecretStream state;
    ~ChunkBuffers() {
        sodium_memzero(clear.get(), kChunk);
        sodium_memzero(&state, sizeof state);
    }
};

}  // namespace

// ---------------------------------------------------------------- preamble

void FileCipherPreamble::Encode(unsigned char out[kSize]) const {
    std::memcpy(out, kMagic, sizeof kMagic);
    kHeaderOrder.PutU32(out + 8, kVersion);
    kHeaderOrder.PutU32(out + 12, kChunkSize);
    kHeaderOrder.PutU64(out + 16, opslimit);
    kHeaderOrder.PutU64(out + 24, memlimit);
    std::memcpy(out + 32, salt, kSaltSize);
    std::memcpy(out + 48, streamHeader, kStreamHeaderSize);
}

bool FileCipherPreamble::Decode(const unsigned char in[kSize]) {
    if (std::memcmp(in, kMagic, sizeof kMagic) != 0) return false;
    if (kHeaderOrder.GetU32(in + 8) != kVersion || kHeaderOrder.GetU32(in + 12) != kChunkSize) return false;
    opslimit = kHeaderOrder.GetU64(in + 16);
    memlimit = kHeaderOrder.GetU64(in + 24);
    std::memcpy(salt, in + 32, kSaltSize);
    std::memcpy(streamHeader, in + 48, kStreamHeaderSize);
    return LimitsInRange(opslimit, memlimit);
}

// ---------------------------------------------------------------- FileCipher

FileCipher::FileCipher() { ForgetKey(); }

FileCipher::~FileCipher() { ForgetKey(); }

void FileCipher::ForgetKey() {
    sodium_memzero(fKey, sizeof fKey);
    sodium_memzero(fPasswordTag, sizeof fPasswordTag);
    fHaveKey = false;
}

bool FileCipher::DeriveKey(std::string_view password, const FileCipherPreamble& preamble) {
    ForgetKey();
    if (!SodiumReady() || !LimitsInRange(preamble.opslimit, preamble.memlimit)) return false;
    if (crypto_pwhash(fKey, sizeof fKey, password.data(), password.size(), preamble.salt, preamble.opslimit,
                      size_t(preamble.memlimit), crypto_pwhash_ALG_ARGON2ID13) != 0)
        return false;
    crypto_generichash(fPasswordTag, sizeof fPasswordTag, reinterpret_cast<const unsigned char*>(password.data()),
                       password.size(), fKey, sizeof fKey);
    fKeyParams = preamble;
    fHaveKey = true;
    return true;
}

// The key for enciphering: the one held when it belongs to this password,
// else a new one under a fresh salt and the new-file limits.
bool FileCipher::KeyFor(std::string_view password, FileCipherPreamble& preamble) {
    if (fHaveKey) {
        unsigned char tag[kTagSize];
        crypto_generichash(tag, sizeof tag, reinterpret_cast<const unsigned char*>(password.data()),
                           password.size(), fKey, sizeof fKey);
        if (sodium_memcmp(tag, fPasswordTag, sizeof tag) == 0) {
            preamble = fKeyParams;
            return true;
        }
    }
    if (!SodiumReady()) return false;
    preamble.opslimit = gNewOpsLimit.load();
    preamble.memlimit = gNewMemLimit.load();
    randombytes_buf(preamble.salt, sizeof preamble.salt);
    return DeriveKey(password, preamble);
}

int FileCipher::encrypt(std::string_view password, VESK_StrBaseIO& in, VESK_StrBaseIO& out) {
    FileCipherPreamble preamble;
    if (!KeyFor(password, preamble)) return 0;
    ChunkBuffers b;
    crypto_secretstream_xchacha20poly1305_init_push(&b.state, preamble.streamHeader, fKey);
    unsigned char head[FileCipherPreamble::kSize];
    preamble.Encode(head);
    if (out.Write(head, sizeof head) != sizeof head) return 0;
    for (bool first = true;; first = false) {
        const size_t got = ReadFull(in, b.clear.get(), kChunk);
        if (got < kChunk && !in.Good()) return 0;
        const unsigned char tag = got < kChunk ? kTagFinal : kTagMessage;
        unsigned long long sealedLen = 0;
        crypto_secretstream_xchacha20poly1305_push(&b.state, b.sealed.get(), &sealedLen, b.clear.get(), got,
                                                   first ? head : nullptr, first ? sizeof head : 0, tag);
        if (out.Write(b.sealed.get(), size_t(sealedLen)) != size_t(sealedLen)) return 0;
        if (tag == kTagFinal) return 1;
    }
}

int FileCipher::decrypt(std::string_view password, VESK_StrBaseIO& in, VESK_StrBaseIO& out) {
    const int ok = DecryptStream(password, in, out);
    if (!ok) ForgetKey();
    return ok;
}

int FileCipher::DecryptStream(std::string_view password, VESK_StrBaseIO& in, VESK_StrBaseIO& out) {
    unsigned char head[FileCipherPreamble::kSize];
    FileCipherPreamble preamble;
    if (ReadFull(in, head, sizeof head) != sizeof head || !preamble.Decode(head)) return 0;
    if (!DeriveKey(password, preamble)) return 0;
    ChunkBuffers b;
    if (crypto_secretstream_xchacha20poly1305_init_pull(&b.state, preamble.streamHeader, fKey) != 0) return 0;
    for (bool first = true;; first = false) {
        const size_t got = ReadFull(in, b.sealed.get(), kSealedChunk);
        unsigned long long clearLen = 0;
        unsigned char tag = 0;
        if (got < kABytes ||
            crypto_secretstream_xchacha20poly1305_pull(&b.state, b.clear.get(), &clearLen, &tag, b.sealed.get(), got,
                                                       first ? head : nullptr, first ? sizeof head : 0) != 0)
            return 0;
        if (out.Write(b.clear.get(), size_t(clearLen)) != size_t(clearLen)) return 0;
        if (tag == kTagFinal) {
            unsigned char extra;
            return ReadFull(in, &extra, 1) == 0 ? 1 : 0;
        }
        // Only the final chunk may be short, and no other tag is ours.
        if (tag != kTagMessage || got != kSealedChunk) return 0;
    }
}

bool FileCipher::SetNewFileLimits(uint64_t opslimit, uint64_t memlimit) {
    if (!LimitsInRange(opslimit, memlimit)) return false;
    gNewOpsLimit.store(opslimit);
    gNewMemLimit.store(memlimit);
    return true;
}

void FileCipher::ResetNewFileLimits() {
    gNewOpsLimit.store(crypto_pwhash_OPSLIMIT_INTERACTIVE);
    gNewMemLimit.store(crypto_pwhash_MEMLIMIT_INTERACTIVE);
}

uint64_t FileCipher::MinOpsLimit() { return crypto_pwhash_OPSLIMIT_MIN; }
uint64_t FileCipher::MinMemLimit() { return crypto_pwhash_MEMLIMIT_MIN; }
