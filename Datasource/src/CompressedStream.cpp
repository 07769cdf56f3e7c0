#define VESK_SOURCE_NAME "Datasource/src/CompressedStream"

#include "CompressedStream.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "bytecode.h"
#include "filestream.h"
#include "vesk_assert.h"

using namespace Bytecode;

namespace {

constexpr int kMaxPerKind = 15;  // codes or raw cells in one block
constexpr size_t kMaxBody = kMaxPerKind + kMaxPerKind * sizeof(OBS);

// Every code stands for a value here: 253, 252 and 0 are plain integers.
constexpr std::array<uint64_t, 256> MakeStreamTable() {
    std::array<uint64_t, 256> t = kDecodeTable;
    t[kCodeRaw] = std::bit_cast<uint64_t>(double(kCodeRaw - kBias));
    return t;
}
constexpr std::array<uint64_t, 256> kStreamTable = MakeStreamTable();

// One block: header byte, codes, raw cells.
struct Block {
    uint8_t bytes[1 + kMaxBody];
    int codes = 0;
    int raws = 0;

    void Write(VESK_StrBaseIO& out) {
        bytes[0] = uint8_t(codes << 4 | raws);
        const size_t size = 1 + size_t(codes) + size_t(raws) * sizeof(OBS);
        if (out.Write(bytes, size) != size) throw CompressedStreamError(errno);
        codes = raws = 0;
    }
};

// Reads a block header; false on a clean end before the first block of a row.
bool ReadHeader(VESK_StrBaseIO& in, bool firstBlock, long& cellsLeft, int& codes, int& raws) {
    uint8_t header;
    if (in.Read(&header, 1) != 1) {
        if (firstBlock) return false;
        throw CompressedStreamError(errno);
    }
    codes = header >> 4;
    raws = header & 0x0F;
    cellsLeft -= codes + raws;
    // A block carrying more cells than the row has left is not a row of this width.
    if (cellsLeft < 0) throw CompressedStreamError(EILSEQ);
    return true;
}

}  // namespace

CompressedStreamError::CompressedStreamError(int error)
    : std::runtime_error("compressed stream error " + std::to_string(error)), fErrno(error) {}

void WriteCompressed(VESK_StrBaseIO& out, const OBS* cells, long n) {
    VESK_ASSERT(n >= 0);
    errno = 0;
    Block block;
    for (long i = 0; i < n; ++i) {
        const uint64_t bits = cells[i].bits;
        const uint8_t code = Classify(bits);
        if (code == kCodeRaw) {
            if (block.raws == kMaxPerKind) block.Write(out);
            std::memcpy(block.bytes + 1 + block.codes + block.raws * sizeof(OBS), &bits, sizeof(OBS));
            ++block.raws;
        } else {
            // Codes never follow raw cells inside a block.
            if (block.raws != 0 || block.codes == kMaxPerKind) block.Write(out);
            block.bytes[1 + block.codes++] = code;
        }
    }
    block.Write(out);
}

bool ReadCompressed(VESK_StrBaseIO& in, OBS* cells, long n) {
    VESK_ASSERT(n >= 0);
    errno = 0;
    if (n == 0) return true;
    long len = n;
    uint8_t body[kMaxBody];
    for (bool first = true;; first = false) {
        int codes, raws;
        if (!ReadHeader(in, first, len, codes, raws)) return false;
        const size_t size = size_t(codes) + size_t(raws) * sizeof(OBS);
        if (size != 0 && in.Read(body, size) != size) throw CompressedStreamError(errno);
        for (int j = 0; j < codes; ++j) (cells++)->bits = kStreamTable[body[j]];
        std::memcpy(cells, body + codes, size_t(raws) * sizeof(OBS));
        cells += raws;
        if (len == 0) return true;
    }
}

bool SkipCompressed(VESK_StrBaseIO& in, long n) {
    VESK_ASSERT(n >= 0);
    errno = 0;
    if (n == 0) return true;
    long len = n;
    for (bool first = true;; first = false) {
        int codes, raws;
        if (!ReadHeader(in, first, len, codes, raws)) return false;
        const int64_t size = codes + int64_t(raws) * int64_t(sizeof(OBS));
        if (in.Seek(size, VESK_StrBaseIO::SeekFromCurrent) != 0) throw CompressedStreamError(errno);
        if (len == 0) return true;
    }
}

bool CopyPrecompressed(VESK_StrBaseIO& in, VESK_StrBaseIO& out, long n) {
    VESK_ASSERT(n >= 0);
    errno = 0;
    if (n == 0) return true;
    long len = n;
    uint8_t block[1 + kMaxBody];
    for (bool first = true;; first = false) {
        int codes, raws;
        if (!ReadHeader(in, first, len, codes, raws)) return false;
        const size_t size = size_t(codes) + size_t(raws) * sizeof(OBS);
        if (size != 0 && in.Read(block + 1, size) != size) throw CompressedStreamError(errno);
        block[0] = uint8_t(codes << 4 | raws);
        if (out.Write(block, 1 + size) != 1 + size) throw CompressedStreamError(errno);
        if (len == 0) return true;
    }
}
