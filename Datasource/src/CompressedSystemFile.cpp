#define VESK_SOURCE_NAME "Datasource/src/CompressedSystemFile"

#include "CompressedSystemFile.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <typeinfo>

#include "SystemFileException.h"
#include "SystemFileOptions.h"
#include "byteorder.h"
#include "bytecode.h"
#include "filestream.h"
#include "sparsefileindex.h"
#include "sysfilecoding.h"
#include "vesk_assert.h"

using namespace SysFileLayout;
using namespace Bytecode;

namespace {

constexpr size_t kBlockMax = 8 + 8 * 8;          // commands and eight raw cells
constexpr size_t kReadCapacity = 256 * 1024;     // read buffer
constexpr size_t kReadFirstFill = 4096;          // first read after a far seek
constexpr size_t kWriteCapacity = 1024 * 1024;   // write buffer, open block excluded
// Decoding may load one cell beyond a block's raw cells (and discard it).
constexpr size_t kSlack = 8;

constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;

// Bit 7 of every byte of x that is zero, nothing else.
inline uint64_t ZeroBytes(uint64_t x) { return ~(((x & kLow7) + kLow7) | x | kLow7); }
inline uint64_t BytesEqual(uint64_t x, uint8_t c) { return ZeroBytes(x ^ (kOnes * c)); }
// The number of bytes flagged in a mask made by ZeroBytes (a multiply sums
// them into the top byte; no popcount instruction is assumed).
inline int CountFlagged(uint64_t mask) { return int(((mask >> 7) * kOnes) >> 56); }

// The 8 command bytes with command 0 in the lowest byte.
inline uint64_t LoadCommands(const uint8_t* p) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    return ByteOrder::Little().U64(w);
}

// Copies count (0..8) cells in at most three fixed-size moves: a copy of a
// variable size would be a library call for every piece of a row.
inline void CopyCells(OBS* to, const uint8_t* from, int count) {
    auto* out = reinterpret_cast<uint8_t*>(to);
    if (count == 8) {
        std::memcpy(out, from, 64);
        return;
    }
    size_t at = 0;
    if (count & 4) {
        std::memcpy(out, from, 32);
        at = 32;
    }
    if (count & 2) {
        std::memcpy(out + at, from + at, 16);
        at += 16;
    }
    if (count & 1) std::memcpy(out + at, from + at, 8);
}

inline void StoreCommands(uint8_t* p, uint64_t commands) {
    const uint64_t w = ByteOrder::Little().U64(commands);
    std::memcpy(p, &w, 8);
}

}  // namespace

// Writes one buffer at a time to a stream on a thread of its own. While a
// write is in flight the caller leaves the stream alone; Wait ends that time.
class BackgroundWriter {
public:
    explicit BackgroundWriter(VESK_StrBaseIO* stream) : fStream(stream), fThread([this] { Loop(); }) {}
    ~BackgroundWriter() {
        Wait();
        {
            std::lock_guard<std::mutex> lock(fMutex);
            fStop = true;
        }
        fChanged.notify_all();
        fThread.join();
    }

    // Starts writing bytes at position; data must stay as it is until Wait.
    void Start(const uint8_t* data, size_t bytes, int64_t position) {
        {
            std::lock_guard<std::mutex> lock(fMutex);
            fData = data;
            fBytes = bytes;
            fPosition = position;
            fBusy = true;
        }
        fChanged.notify_all();
    }

    // Waits for the write in flight; false, with errno set, when it failed.
    bool Wait() {
        std::unique_lock<std::mutex> lock(fMutex);
        fChanged.wait(lock, [this] { return !fBusy; });
        if (fErrno == 0) return true;
        errno = fErrno;
        return false;
    }

private:
    void Loop() {
        std::unique_lock<std::mutex> lock(fMutex);
        for (;;) {
            fChanged.wait(lock, [this] { return fStop || fBusy; });
            if (fStop) return;
            lock.unlock();
            const int error = Write();
            lock.lock();
            if (fErrno == 0) fErrno = error;
            fBusy = false;
            fChanged.notify_all();
        }
    }

    // 0, or the errno of a failed seek or write.
    int Write() {
        errno = 0;
        if (fStream->Tell() != fPosition && fStream->Seek(fPosition, VESK_StrBaseIO::SeekFromStart) != 0)
            return errno ? errno : EIO;
        if (fStream->Write(fData, fBytes) == fBytes) return 0;
        return errno ? errno : EIO;
    }

    VESK_StrBaseIO* const fStream;
    std::mutex fMutex;
    std::condition_variable fChanged;
    const uint8_t* fData = nullptr;
    size_t fBytes = 0;
    int64_t fPosition = 0;
    bool fBusy = false;
    bool fStop = false;
    int fErrno = 0;  // of the first failed write; later ones are not tried again by the caller
    std::thread fThread;
};

CompressedSystemFile::CompressedSystemFile(VESK_StrBaseIO* stream, SystemFileOptions* options,
                                           VESK_SparseFileIndex* index, int64_t row0pos)
    : fStream(stream),
      fPeekable(stream && typeid(*stream) == typeid(VESK_FileStream) ? static_cast<VESK_FileStream*>(stream)
                                                                       : nullptr),
      fOptions(options),
      fIndex(index),
      fRow0(row0pos),
      fCells(options ? long(options->_cellsPerCase) : 0),
      fBufStreamPos(row0pos),
      fOutStreamPos(row0pos) {
    VESK_ASSERT(stream != nullptr);
    VESK_ASSERT(options != nullptr);
    VESK_ASSERT(options->_cellsPerCase >= 0);
    VESK_ASSERT(row0pos >= 0);
    fStream->Seek(row0pos, VESK_StrBaseIO::SeekFromStart);
}

CompressedSystemFile::~CompressedSystemFile() {
    try {
        Flush();
    } catch (...) {
        // A destructor cannot report; callers that care flush first.
    }
    fWriter.reset();  // before the buffer it may be writing
}

// ---------------------------------------------------------------- positions

int64_t CompressedSystemFile::Tell() const {
    const int64_t filepos = fMode == kWriting ? fOutStreamPos + int64_t(fOutLen)
                                              : fBufStreamPos + int64_t(fBufPos);
    VESK_ASSERT_AT((filepos - fRow0) % int64_t(sizeof(OBS)) == 0, "(filepos-_row0pos)%sizeof(OBS) == 0",
                   VESK_SOURCE_NAME);
    VESK_ASSERT_AT(fPos <= kKeySize, "_pos <= kKeySize", VESK_SOURCE_NAME);
    return Here();
}

void CompressedSystemFile::SeekLogical(int64_t position) {
    VESK_ASSERT(position >= 0);
    VESK_ASSERT(fMode != kWriting);
    const int64_t blockStart = fRow0 + (position & ~int64_t(7));
    if (blockStart >= fBufStreamPos && blockStart <= fBufStreamPos + int64_t(fBufLen)) {
        fBufPos = size_t(blockStart - fBufStreamPos);  // still buffered: no I/O
    } else {
        fBufStreamPos = blockStart;
        fBufPos = fBufLen = 0;
        // A walk from an indexed row covers at most one index spacing: one
        // read then serves it.
        fFill = fIndex ? std::clamp<size_t>(fIndex->Spacing() + 4096, kReadFirstFill, kReadCapacity) : kReadFirstFill;
    }
    fPos = kKeySize;
    fBlockBytes = 0;
    fRawIndex = 0;
    fEnd = false;
    const int k = int(position & 7);
    if (k != 0) PositionInBlock(k);
}

void CompressedSystemFile::SetTargetRow(int64_t row) {
    VESK_ASSERT(row >= 0);
    fTargetRow = row;
}

int64_t CompressedSystemFile::PositionOnTarget() {
    int64_t target = fTargetRow;
    if (target == fCurrentRow) return Tell();
    if (target == fCurrentRow - 1 && fLastRowPos >= 0) {
        SeekLogical(fLastRowPos);
    } else {
        int64_t row = 0, pos = 0;
        if (fIndex) fIndex->GetPos(target, row, pos);
        SeekLogical(pos);
        target = SkipRows(row, target);
    }
    fCurrentRow = fTargetRow = target;
    return Tell();
}

// Walks from row `row` (at the current position) to row `target`, indexing
// the rows it passes; returns the row reached, less than target when the data
// ends first. Blocks without codes 0 and 252 are crossed whole: only the row
// boundaries inside them are looked at, not their cells.
// Crosses the following blocks by their command bytes alone while they stand
// whole in the buffer and have no code 0 or 252, `need` cells fewer being left
// after each; the block in which the row ends becomes the current one at that
// command. False when the next block is not such a block (ReadBlock takes it).
inline bool CompressedSystemFile::TakeCleanBlock(long& need) {
    if (fBufLen - fBufPos < kBlockMax) return false;
    const uint8_t* const base = fData;
    const uint8_t* const last = base + (fBufLen - kBlockMax);  // the last block start read whole
    const uint8_t* p = base + fBufPos;
    bool took = false;
    while (p <= last) {
        const uint64_t commands = LoadCommands(p);
        if ((BytesEqual(commands, kCodeEnd) | BytesEqual(commands, kCodePadding)) != 0) break;
        const uint64_t raw = BytesEqual(commands, kCodeRaw);
        const int bytes = 8 + 8 * CountFlagged(raw);
        took = true;
        if (need > kKeySize) {
            need -= kKeySize;
            p += bytes;
            continue;
        }
        fCmd = p;
        fRaw = p + 8;
        fBlockBytes = bytes;
        fClean = true;
        fRawIndex = CountFlagged(need < kKeySize ? raw & ((uint64_t(1) << (8 * need)) - 1) : raw);
        fPos = int(need);
        need = 0;
        p += bytes;
        break;
    }
    fBufPos = size_t(p - base);
    return took;
}

int64_t CompressedSystemFile::SkipRows(int64_t row, int64_t target) {
    const long n = fCells;
    if (n == 0) return row;  // cases without cells: there is nothing to walk
    long need = n;           // cells of the current row still to pass
    int64_t rowStart = Tell();
    while (row < target) {
        if (fPos >= kKeySize) {
            if (TakeCleanBlock(need)) {
                if (need > 0) continue;
            } else if (ReadBlock() == 0) {
                SF_REQUIRE(need == n, DatasrcMsg::ShortRead);
                return row;  // the data holds fewer rows
            }
        }
        if (need > 0) {
            if (fClean) {
                const int avail = kKeySize - fPos;
                if (need > avail) {
                    need -= avail;
                    fPos = kKeySize;
                    continue;
                }
                uint64_t raw = BytesEqual(LoadCommands(fCmd), kCodeRaw) >> (8 * fPos);
                if (need < kKeySize) raw &= (uint64_t(1) << (8 * need)) - 1;
                fRawIndex += CountFlagged(raw);
                fPos += int(need);
                need = 0;
            } else {
                const uint8_t c = fCmd[fPos];
                if (c == kCodeEnd) {
                    fPos = kKeySize - 1;
                } else if (c != kCodePadding) {
                    fRawIndex += c == kCodeRaw;
                    --need;
                }
                ++fPos;
            }
        }
        if (need == 0) {
            if (fIndex) fIndex->Add(row, rowStart);
            fLastRowPos = rowStart;
            ++row;
            need = n;
            rowStart = Tell();
        }
    }
    return row;
}

// ---------------------------------------------------------------- reading

bool CompressedSystemFile::Refill(size_t bytes) {
    const int64_t at = fBufStreamPos + int64_t(fBufLen);
    if (fBufPos == fBufLen && TakeView(at, bytes)) return true;
    KeepRest();
    if (fStream->Tell() != at)
        SF_REQUIRE_SYS(fStream->Seek(at, VESK_StrBaseIO::SeekFromStart) == 0, DatasrcMsg::ShortRead);
    while (fBufLen < bytes) {
        // Between two views only what the block needs is copied, so that the
        // next refill takes a view again.
        const size_t want =
            fPeekable ? bytes - fBufLen : std::min(kReadCapacity - fBufLen, std::max(fFill, bytes - fBufLen));
        const size_t got = fStream->Read(fBuf.get() + fBufLen, want);
        fBufLen += got;
        fFill = std::min(kReadCapacity, fFill * 2);
        if (got == 0) break;
    }
    return fBufLen >= bytes;
}

// Reads at stream position `at` straight from the file stream's buffer, when
// it holds at least `bytes` there. Its last kSlack bytes are left for the next
// refill, so that a cell loaded beyond the last block stays inside the view.
bool CompressedSystemFile::TakeView(int64_t at, size_t bytes) {
    if (!fPeekable) return false;
    if (fPeekable->Tell() != at)
        SF_REQUIRE_SYS(fPeekable->Seek(at, VESK_StrBaseIO::SeekFromStart) == 0, DatasrcMsg::ShortRead);
    const void* data = nullptr;
    const size_t n = fPeekable->Peek(&data);
    if (n < bytes + kSlack) return false;
    fData = static_cast<const uint8_t*>(data);
    fBufStreamPos = at;
    fBufPos = 0;
    fBufLen = n - kSlack;
    fPeekable->Seek(int64_t(fBufLen), VESK_StrBaseIO::SeekFromCurrent);
    return true;
}

// Moves the unread bytes to the start of the codec's own buffer.
void CompressedSystemFile::KeepRest() {
    if (!fBuf) {
        // Zeroed so that the cell loaded beyond a block is never indeterminate.
        fBuf.reset(new uint8_t[kReadCapacity + kSlack]());
        if (fFill == 0) fFill = kReadFirstFill;
    }
    if (fData == fBuf.get() && fBufPos == 0) return;
    const size_t avail = fBufLen - fBufPos;
    if (avail != 0) std::memmove(fBuf.get(), fData + fBufPos, avail);
    fData = fBuf.get();
    fBufStreamPos += int64_t(fBufPos);
    fBufLen = avail;
    fBufPos = 0;
}

int CompressedSystemFile::ReadBlock() {
    VESK_ASSERT(fMode != kWriting);
    fMode = kReading;
    fPos = kKeySize;
    if (!Ensure(8)) {
        fEnd = true;
        const size_t nRead = fBufLen - fBufPos;
        SF_REQUIRE(nRead == 0, DatasrcMsg::ShortRead);
        return 0;
    }
    const uint64_t commands = LoadCommands(fData + fBufPos);
    uint64_t raw = BytesEqual(commands, kCodeRaw);
    const uint64_t end = BytesEqual(commands, kCodeEnd);
    if (end != 0) {
        const uint64_t first = end & (0 - end);
        raw &= (first << 1) - 1;  // commands after the first 252 are not read
    }
    fClean = (end | BytesEqual(commands, kCodePadding)) == 0;
    const int nu = CountFlagged(raw);
    const size_t need = 8 + size_t(nu) * sizeof(OBS);
    if (!Ensure(need)) {
        fEnd = true;
        SF_FAIL("nRead == nu*sizeof(OBS)", DatasrcMsg::ShortRead);
    }
    fCmd = fData + fBufPos;
    fRaw = fCmd + 8;
    fBufPos += need;
    fBlockBytes = int(need);
    fPos = 0;
    fRawIndex = 0;
    fEnd = false;
    return nu + 1;
}

void CompressedSystemFile::PositionInBlock(int k) {
    VESK_ASSERT(0 <= k && k < kKeySize);
    if (ReadBlock() == 0) return;
    for (int j = 0; j < k; ++j) {
        if (fCmd[j] == kCodeEnd) {
            fPos = kKeySize;  // nothing of this block is left
            return;
        }
        fRawIndex += fCmd[j] == kCodeRaw;
    }
    fPos = k;
}

// Decodes `count` commands of a block without codes 0 and 252 from fPos on.
template <bool kSwap>
inline void CompressedSystemFile::DecodeRun(OBS* out, int count, const uint8_t* swapFlags) {
    const uint8_t* cmd = fCmd + fPos;
    const uint8_t* raw = fRaw + size_t(fRawIndex) * 8;
    const uint8_t* const rawStart = raw;
    for (int j = 0; j < count; ++j) {
        const uint8_t c = cmd[j];
        uint64_t r;
        std::memcpy(&r, raw, 8);  // within the block or its slack; discarded unless raw
        const bool isRaw = c == kCodeRaw;
        if constexpr (kSwap) {
            if (isRaw && swapFlags[j]) r = ByteOrder::Swap64(r);
        }
        // Selects by masks: a branch on the code would mispredict on mixed data.
        const uint64_t rawMask = 0 - uint64_t(isRaw);
        const uint64_t v = (r & rawMask) | (kDecodeTable[c] & ~rawMask);
        raw += rawMask & 8;
        std::memcpy(&out[j], &v, 8);
    }
    fRawIndex += int((raw - rawStart) / 8);
    fPos += count;
}

// Decodes up to n cells while the blocks stand whole in the read buffer and
// have no code 0 or 252, keeping the codec's state in locals (stores to the
// cells could otherwise alias the members); returns the cells decoded. The
// caller goes on from there block by block.
long CompressedSystemFile::DecodeBuffered(OBS* cells, const long n) {
    if (fMode != kReading || (fPos < kKeySize && !fClean)) return 0;
    const uint8_t* const base = fData;
    const size_t bufLen = fBufLen;
    size_t bufPos = fBufPos;
    const uint8_t* cmd = fCmd;
    const uint8_t* raw = fPos < kKeySize ? fRaw + size_t(fRawIndex) * 8 : nullptr;
    uint64_t commands = fPos < kKeySize ? LoadCommands(cmd) : 0;
    int pos = fPos;
    long i = 0;
    while (i < n) {
        if (pos == kKeySize) {
            // The next block, when it is whole in the buffer (its raw cells
            // are counted from its command bytes, never beyond kBlockMax).
            if (bufLen - bufPos < kBlockMax) break;
            const uint8_t* const p = base + bufPos;
            const uint64_t next = LoadCommands(p);
            if (next == kOnes * kCodeRaw) {
                bufPos += kBlockMax;
            } else {
                if ((BytesEqual(next, kCodeEnd) | BytesEqual(next, kCodePadding)) != 0) break;
                bufPos += 8 + 8 * size_t(CountFlagged(BytesEqual(next, kCodeRaw)));
            }
            commands = next;
            cmd = p;
            raw = p + 8;
            pos = 0;
        }
        const int count = int(std::min<long>(kKeySize - pos, n - i));
        if (commands == kOnes * kCodeRaw) {
            // Eight raw cells, the common block of real data: its cells in one copy.
            CopyCells(cells + i, raw, count);
            raw += size_t(count) * sizeof(OBS);
        } else if (BytesEqual(commands, kCodeRaw) == 0) {
            // No raw cell (the block of coded data): the eight values at once.
            if (count == kKeySize) {
                Decode8(commands, cells + i);
            } else {
                OBS eight[kKeySize];
                Decode8(commands, eight);
                CopyCells(cells + i, reinterpret_cast<const uint8_t*>(eight + pos), count);
            }
        } else {
            for (int j = 0; j < count; ++j) {
                const uint8_t c = cmd[pos + j];
                uint64_t r;
                std::memcpy(&r, raw, 8);  // within the block or its slack; discarded unless raw
                const uint64_t rawMask = 0 - uint64_t(c == kCodeRaw);
                const uint64_t v = (r & rawMask) | (kDecodeTable[c] & ~rawMask);
                raw += rawMask & 8;
                std::memcpy(&cells[i + j], &v, 8);
            }
        }
        pos += count;
        i += count;
    }
    if (cmd != fCmd) {
        fCmd = cmd;
        fRaw = cmd + 8;
        fBlockBytes = int(base + bufPos - cmd);
        fClean = true;
        fEnd = false;
    }
    if (raw) fRawIndex = int((raw - fRaw) / 8);
    fPos = pos;
    fBufPos = bufPos;
    return i;
}

long CompressedSystemFile::DecodeCase(OBS* cells, const uint8_t* swapFlags) {
    return DecodeRest(cells, swapFlags ? 0 : DecodeBuffered(cells, fCells), swapFlags);
}

// Decodes the case's cells from iCell on, block by block.
long CompressedSystemFile::DecodeRest(OBS* cells, long iCell, const uint8_t* swapFlags) {
    const long n = fCells;
    while (iCell < n) {
        if (fPos >= kKeySize && ReadBlock() == 0) {
            SF_REQUIRE(iCell == 0, DatasrcMsg::ShortRead);
            return 0;
        }
        if (fClean) {
            const int count = int(std::min<long>(kKeySize - fPos, n - iCell));
            if (swapFlags) DecodeRun<true>(cells + iCell, count, swapFlags + iCell);
            else if (count == kKeySize) DecodeRun<false>(cells + iCell, kKeySize, nullptr);  // unrolled
            else DecodeRun<false>(cells + iCell, count, nullptr);
            iCell += count;
            continue;
        }
        const uint8_t c = fCmd[fPos];
        if (c == kCodePadding) {
            // no cell
        } else if (c == kCodeEnd) {
            fPos = kKeySize - 1;  // the rest of the block is ignored
        } else if (c == kCodeRaw) {
            std::memcpy(&cells[iCell], fRaw + size_t(fRawIndex) * 8, 8);
            ++fRawIndex;
            if (swapFlags && swapFlags[iCell]) ReverseCell(cells[iCell]);
            ++iCell;
        } else {
            cells[iCell].bits = kDecodeTable[c];
            ++iCell;
        }
        ++fPos;
    }
    return n;
}

long CompressedSystemFile::SkipCase() {
    const long n = fCells;
    long iCell = 0;
    while (iCell < n) {
        if (fPos >= kKeySize && ReadBlock() == 0) {
            SF_REQUIRE(iCell == 0, DatasrcMsg::ShortRead);
            return 0;
        }
        if (fClean) {
            const int count = int(std::min<long>(kKeySize - fPos, n - iCell));
            uint64_t raw = BytesEqual(LoadCommands(fCmd), kCodeRaw) >> (8 * fPos);
            if (count < kKeySize) raw &= (uint64_t(1) << (8 * count)) - 1;
            fRawIndex += CountFlagged(raw);
            fPos += count;
            iCell += count;
            continue;
        }
        const uint8_t c = fCmd[fPos];
        if (c == kCodeEnd) {
            fPos = kKeySize - 1;
        } else if (c != kCodePadding) {
            fRawIndex += c == kCodeRaw;
            ++iCell;
        }
        ++fPos;
    }
    return n;
}

// Rows read or written in order are offered to the index about twice per
// spacing, not each: the index keeps at most one per spacing anyway, and
// offers closer than a spacing never widen it.
void CompressedSystemFile::OfferRow(int64_t position) {
    if (fIndex && position >= fOfferFrom) {
        fIndex->Add(fCurrentRow, position);
        fOfferFrom = position + int64_t(fIndex->Spacing() / 2);
    }
}

long CompressedSystemFile::ReadRow(OBS* cells, const uint8_t* swapFlags) {
    const int64_t position = fTargetRow == fCurrentRow ? Here() : PositionOnTarget();
    if (fEnd) return 0;
    OfferRow(position);
    const int64_t previousRowPos = fLastRowPos;
    fLastRowPos = position;
    ++fTargetRow;
    ++fCurrentRow;
    // The whole case from the buffer, as a rule; the rest block by block.
    const long done = swapFlags ? 0 : DecodeBuffered(cells, fCells);
    const long got = done == fCells ? done : DecodeRest(cells, done, swapFlags);
    if (got == 0) {
        // No such row: the codec stays at the end of the data.
        --fTargetRow;
        --fCurrentRow;
        fLastRowPos = previousRowPos;
    }
    return got;
}

// Cases laid out back to back are decoded in runs, many rows in one pass of
// the decoder. Each run starts where ReadRow would offer a row to the index
// and advances the stream by less than half the index spacing (at most 9
// bytes a cell), so the index gets its rows as often as row by row would
// give them. The start of the last row is not kept in a run: stepping back
// one row then walks from the index.
int64_t CompressedSystemFile::ReadRows(OBS* into, size_t stride, int64_t n, const uint8_t* swapFlags) {
    int64_t k = 0;
    const bool runs = !swapFlags && fCells > 0 && stride == size_t(fCells);
    while (k < n) {
        if (runs && fMode == kReading && fTargetRow == fCurrentRow) {
            const int64_t position = Here();
            int64_t rows = n - k;
            OfferRow(position);
            if (fIndex) rows = std::min<int64_t>(rows, int64_t(fIndex->Spacing() / 18) / fCells);
            OBS* const run = into + size_t(k) * stride;
            const long done = rows > 0 && !fEnd ? DecodeBuffered(run, long(rows) * fCells) : 0;
            if (done > 0) {
                int64_t whole = done / fCells;
                // A row the buffer cut: its rest block by block (1205 when the data ends in it).
                if (done % fCells != 0) {
                    DecodeRest(run + size_t(whole) * stride, done % fCells, nullptr);
                    ++whole;
                }
                fCurrentRow += whole;
                fTargetRow += whole;
                fLastRowPos = -1;
                k += whole;
                continue;
            }
        }
        // Row by row where a run cannot go on: the buffer's end, codes 0 and
        // 252, a seek, swapped cells.
        if (ReadRow(into + size_t(k) * stride, swapFlags) == 0) break;
        ++k;
    }
    return k;
}

// ---------------------------------------------------------------- writing

void CompressedSystemFile::EnterWriting() {
    VESK_ASSERT(fMode != kReading);  // appending after reads goes through PrepareAppend
    fMode = kWriting;
    fOutStreamPos = fBufStreamPos + int64_t(fBufPos);
    fOutLen = 0;
    fBlockBytes = 0;
    if (!fOut) fOut.reset(new uint8_t[kWriteCapacity + kBlockMax]());
}

void CompressedSystemFile::WaitForWriter() {
    if (fWriter) SF_REQUIRE_SYS(fWriter->Wait(), DatasrcMsg::CannotWriteCase);
}

// Writes out the first `bytes` of the write buffer, whole blocks only, and
// empties it: to a file stream on the writer thread (the buffers change
// places), else at once.
void CompressedSystemFile::HandOff(size_t bytes) {
    if (!fWriter && dynamic_cast<VESK_FileStream*>(fStream)) {
        fOutInFlight.reset(new uint8_t[kWriteCapacity + kBlockMax]());
        fWriter = std::make_unique<BackgroundWriter>(fStream);
    }
    if (fWriter) {
        WaitForWriter();
        fOut.swap(fOutInFlight);
        fWriter->Start(fOutInFlight.get(), bytes, fOutStreamPos);
    } else {
        WriteOut(bytes);
    }
    fOutStreamPos += int64_t(bytes);
}

void CompressedSystemFile::WriteOut(size_t bytes) {
    WaitForWriter();
    if (fStream->Tell() != fOutStreamPos)
        SF_REQUIRE_SYS(fStream->Seek(fOutStreamPos, VESK_StrBaseIO::SeekFromStart) == 0, DatasrcMsg::CannotWriteCase);
    const size_t toWrite = bytes;
    const size_t written = fStream->Write(fOut.get(), toWrite);
    SF_REQUIRE_SYS(written == toWrite, DatasrcMsg::CannotWriteCase);
}

void CompressedSystemFile::EncodeCase(const OBS* cells) {
    if (fMode != kWriting) EnterWriting();
    // Locals: stores through the byte pointer could otherwise alias the members.
    uint8_t* out = fOut.get();
    size_t outLen = fOutLen;
    int pos = fPos;
    int rawIndex = fRawIndex;
    const long n = fCells;
    long i = 0;
    while (i < n) {
        if (pos == kKeySize) {
            pos = 0;
            rawIndex = 0;
        }
        uint8_t* const block = out + outLen;
        if (pos == 0 && n - i >= kKeySize) {
            // A whole block at once. Every cell is stored as raw; only raw ones are kept.
            const uint64_t commands = Classify8(cells + i);
            StoreCommands(block, commands);
            uint8_t* raw = block + 8;
            if (commands == kOnes * kCodeRaw) {
                std::memcpy(raw, cells + i, kKeySize * sizeof(OBS));
                raw += kKeySize * sizeof(OBS);
            } else {
                const uint64_t rawBits = BytesEqual(commands, kCodeRaw) >> 7;
#pragma GCC unroll 8
                for (int j = 0; j < kKeySize; ++j) {
                    std::memcpy(raw, &cells[i + j], 8);
                    raw += size_t((rawBits >> (8 * j)) & 1) * 8;
                }
            }
            rawIndex = int((raw - block - 8) / 8);
            pos = kKeySize;
            i += kKeySize;
        } else {
            uint64_t bits;
            std::memcpy(&bits, &cells[i], 8);
            const uint8_t c = Classify(bits);
            block[pos++] = c;
            std::memcpy(block + 8 + size_t(rawIndex) * 8, &bits, 8);
            rawIndex += c == kCodeRaw;
            ++i;
        }
        if (pos == kKeySize) {
            outLen += 8 + size_t(rawIndex) * 8;
            if (outLen > kWriteCapacity - kBlockMax) {
                fOutLen = 0;
                HandOff(outLen);
                out = fOut.get();  // the buffers may have changed places
                outLen = 0;
            }
        }
    }
    fOutLen = outLen;
    fPos = pos;
    fRawIndex = rawIndex;
}

void CompressedSystemFile::WriteRow(const OBS* cells) {
    if (fIndex) OfferRow(Tell());
    EncodeCase(cells);
    ++fCurrentRow;
    fTargetRow = fCurrentRow;
    fDirty = true;
}

void CompressedSystemFile::Flush() {
    if (!fDirty) return;
    if (fMode == kWriting) {
        size_t total = fOutLen;
        if (fPos < kKeySize) {
            uint8_t* block = fOut.get() + fOutLen;
            std::memset(block + fPos, kCodePadding, size_t(kKeySize - fPos));
            total += 8 + size_t(fRawIndex) * 8;
        }
        WriteOut(total);
        // The open block stays open: later rows rewrite it where it stands.
        if (fOutLen != 0) {
            std::memmove(fOut.get(), fOut.get() + fOutLen, kBlockMax);
            fOutStreamPos += int64_t(fOutLen);
            fOutLen = 0;
        }
    }
    WaitForWriter();
    if (auto* file = dynamic_cast<VESK_FileStream*>(fStream))
        SF_REQUIRE_SYS(file->Flush(), DatasrcMsg::CannotWriteCase);
    fDirty = false;
}

void CompressedSystemFile::PrepareAppend(int64_t row, bool reopen) {
    VESK_ASSERT(fMode != kWriting);
    WaitForWriter();
    SetTargetRow(row);
    const int64_t position = PositionOnTarget();
    if (!fOut) fOut.reset(new uint8_t[kWriteCapacity + kBlockMax]());
    if (fPos < kKeySize) {
        // Keep the block's commands before the append point and their raw
        // cells (they may stand in the stream's buffer, gone on reopening).
        std::memcpy(fOut.get(), fCmd, 8);
        std::memcpy(fOut.get() + 8, fRaw, size_t(fRawIndex) * 8);
    }
    if (reopen) {
        auto* file = dynamic_cast<VESK_FileStream*>(fStream);
        VESK_ASSERT(file != nullptr);
        const ExtNameStr name = file->GetNameStr();
        file->Close();
        if (!file->Open(name, fOptions->_password, "r+b"))
            throw SystemFileException(VESK_SOURCE_NAME,
                                      "m_->_file.Open(m_->_file.GetNameStr(), m_->_options._password, \"r+b\")",
                                      DatasrcMsg::CannotOpen, __LINE__, true);
    }
    fOutStreamPos = fRow0 + (position & ~int64_t(7));
    fOutLen = 0;
    fBlockBytes = 0;
    fMode = kWriting;
    fBuf.reset();
    fData = nullptr;
    fBufPos = fBufLen = 0;
    fEnd = false;
    SF_REQUIRE_SYS(fStream->Seek(fOutStreamPos, VESK_StrBaseIO::SeekFromStart) == 0, DatasrcMsg::CannotWriteCase);
}
