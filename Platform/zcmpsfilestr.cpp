#define VESK_SOURCE_NAME "Platform/zcmpsfilestr"
#include "zcmpsfilestr.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <string>

#include "byteorder.h"
#include "errortext.h"
#include "threads.h"
#include "vesk_assert.h"

// ---------------------------------------------------------------- layout helpers

namespace zcmps {

void Put32(uint8_t* p, int32_t v, bool reversed) { ByteOrder(reversed).PutI32(p, v); }
void Put64(uint8_t* p, int64_t v, bool reversed) { ByteOrder(reversed).PutI64(p, v); }
int32_t Get32(const uint8_t* p, bool reversed) { return ByteOrder(reversed).GetI32(p); }
int64_t Get64(const uint8_t* p, bool reversed) { return ByteOrder(reversed).GetI64(p); }

void EncodeHeader(uint8_t out[kHeaderLen], const Header& h, bool reversed) {
    Put64(out, h.zheaderOfs, reversed);
    Put64(out + 8, h.ztrailerOfs, reversed);
    Put64(out + 16, h.ztrailerLen, reversed);
}

Header DecodeHeader(const uint8_t in[kHeaderLen], bool reversed) {
    return Header{Get64(in, reversed), Get64(in + 8, reversed), Get64(in + 16, reversed)};
}

void EncodeTrailerHead(uint8_t out[kTrailerHeadLen], const TrailerHead& t, bool reversed) {
    Put64(out, t.bias, reversed);
    Put64(out + 8, t.zero, reversed);
    Put32(out + 16, t.blockSize, reversed);
    Put32(out + 20, t.nBlocks, reversed);
}

TrailerHead DecodeTrailerHead(const uint8_t in[kTrailerHeadLen], bool reversed) {
    return TrailerHead{Get64(in, reversed), Get64(in + 8, reversed), Get32(in + 16, reversed),
                       Get32(in + 20, reversed)};
}

void EncodeEntry(uint8_t out[kEntryLen], const Entry& e, bool reversed) {
    Put64(out, e.uncompressedOfs, reversed);
    Put64(out + 8, e.compressedOfs, reversed);
    Put32(out + 16, e.uncompressedSize, reversed);
    Put32(out + 20, e.compressedSize, reversed);
}

Entry DecodeEntry(const uint8_t in[kEntryLen], bool reversed) {
    return Entry{Get64(in, reversed), Get64(in + 8, reversed), Get32(in + 16, reversed),
                 Get32(in + 20, reversed)};
}

void BlockBuffer::Free::operator()(uint8_t* p) const { std::free(p); }

void BlockBuffer::resize(size_t n) {
    if (n > fCapacity) {
        constexpr size_t kHugePage = size_t(2) << 20;
        size_t capacity = n;
        void* p = nullptr;
        if (n >= kHugePage) {
            capacity = (n + kHugePage - 1) / kHugePage * kHugePage;
            p = std::aligned_alloc(kHugePage, capacity);
#ifdef MADV_HUGEPAGE
            if (p) madvise(p, capacity, MADV_HUGEPAGE);
#endif
        }
        if (!p) {
            capacity = n;
            p = std::malloc(n);
        }
        if (!p) throw std::bad_alloc();
        fBytes.reset(static_cast<uint8_t*>(p));
        fCapacity = capacity;
    }
    fSize = n;
}

void BlockBuffer::swap(BlockBuffer& other) noexcept {
    fBytes.swap(other.fBytes);
    std::swap(fSize, other.fSize);
    std::swap(fCapacity, other.fCapacity);
}

void BlockBuffer::release() {
    fBytes.reset();
    fSize = fCapacity = 0;
}

}  // namespace zcmps

// ---------------------------------------------------------------- shared pieces

namespace {

using zcmps::BlockBuffer;
using zcmps::Entry;

[[noreturn]] void Malformed(const std::string& name) { ThrowError::String1(DATASRC_ERR, DatasrcMsg::Malformed, name); }

[[noreturn]] void ShortRead(const std::string& name, int error) {
    if (error != 0) {
        errno = error;
        ThrowError::StringSys(DATASRC_ERR, DatasrcMsg::ShortRead, name);
    }
    ThrowError::String1(DATASRC_ERR, DatasrcMsg::ShortRead, name);
}

void ReadExactly(VESK_File& file, const std::string& name, void* buffer, size_t count, int64_t position) {
    int error = 0;
    if (file.Read(buffer, count, position, &error) != count) ShortRead(name, error);
}

// Reads block e and inflates it into out, which ends up holding exactly its
// uncompressed size. packed is scratch space for the compressed bytes.
void InflateBlock(VESK_File& file, const std::string& name, const Entry& e, BlockBuffer& packed, BlockBuffer& out,
                  zlibCompressBlock& codec) {
    packed.resize(static_cast<size_t>(e.compressedSize));
    ReadExactly(file, name, packed.data(), packed.size(), e.compressedOfs);
    out.resize(static_cast<size_t>(e.uncompressedSize));
    size_t len = out.size();
    if (!codec.decompressBlock(packed.data(), packed.size(), out.data(), &len) || len != out.size())
        Malformed(name);
}

// Deflate cannot expand data by more than this factor (258-byte matches coded
// in two bits), so a block claiming more is corrupt.
constexpr int64_t kMaxInflateRatio = 1032;

}  // namespace

// Our own copy of the caller's stream: it keeps the file open and gives
// access to the positioned file underneath.
class zcmpsFilestr::HeldFile : public VESK_FileStream {
public:
    explicit HeldFile(const VESK_FileStream& s) : VESK_FileStream(s) {}
    VESK_File* File() const { return GetFile(); }
};

// ---------------------------------------------------------------- writing slots

// One block on its way to the file: filled by the caller, compressed by the
// caller or by a worker, written by the caller in block order.
struct zcmpsFilestr::WriteSlot {
    explicit WriteSlot(int level) : codec(level) {}

    void Compress() {
        try {
            packed.resize(zlibCompressBlock::CompressBound(data.size()));
            packedLen = packed.size();
            failed = !codec.compressBlock(data.data(), len, packed.data(), &packedLen);
        } catch (...) {
            failed = true;
        }
    }

    BlockBuffer data;  // block_size bytes once used
    size_t len = 0;  // bytes filled
    BlockBuffer packed;
    size_t packedLen = 0;
    bool failed = false;
    bool busy = false;  // handed to a worker and not yet written
    int64_t block = -1;
    zlibCompressBlock codec;
    sfSemaphore done{0};

    // A worker's task: compress the slot, then signal the caller.
    class Job : public CallBackObject {
    public:
        explicit Job(WriteSlot& slot) : fSlot(slot) {}
        void Run() override {
            fSlot.Compress();
            fSlot.done.Post();
        }

    private:
        WriteSlot& fSlot;
    };
};

// ---------------------------------------------------------------- read-ahead

// Inflates the blocks after the reader's on threads of their own, each
// taking the nearest block not yet held, so that on two cores two blocks
// inflate at once while the reader decodes. The reader takes a finished
// block by swapping buffers with its slot; a block that no thread has started
// is inflated by the reader itself.
class zcmpsFilestr::ReadAhead {
public:
    ReadAhead(VESK_File* file, std::string name, const std::vector<Entry>& entries, int64_t cursor)
        : fFile(file), fName(std::move(name)), fEntries(entries), fCursor(cursor), fPool(kReadAheadThreads, 0) {
        const bool started = fPool.Init() && fPool.Start();
        VESK_ASSERT(started);
        for (int i = 0; i < kReadAheadThreads; ++i) {
            fBodies[i].reset(new Body(*this, fPacked[i]));
            fPool.Submit(fBodies[i].get(), false);
        }
    }

    ~ReadAhead() {
        {
            std::lock_guard<std::mutex> lk(fMutex);
            fStop = true;
        }
        fChanged.notify_all();
        fPool.stopAll();
    }

    // The reader wants block k: true with its bytes swapped into out when the
    // thread has (or is finishing) it; false when the reader must inflate it.
    // After a jump (not sequential) the thread idles rather than inflate
    // blocks that random access would not use.
    bool Take(int64_t k, bool sequential, BlockBuffer& out) {
        std::unique_lock<std::mutex> lk(fMutex);
        fCursor = k;
        fIdle = !sequential;
        for (Slot& s : fSlots) {
            if (s.state == Slot::Empty || s.block != k) continue;
            fChanged.wait(lk, [&] { return s.state != Slot::Working; });
            // The cursor block is kept, so the slot still holds block k.
            VESK_ASSERT(s.block == k && s.state != Slot::Empty);
            std::exception_ptr error = s.error;
            if (!error) out.swap(s.data);
            s.state = Slot::Empty;
            s.block = -1;
            s.error = nullptr;
            lk.unlock();
            fChanged.notify_all();
            if (error) std::rethrow_exception(error);
            return true;
        }
        lk.unlock();
        fChanged.notify_all();
        return false;
    }

    size_t Footprint() {
        std::lock_guard<std::mutex> lk(fMutex);
        size_t bytes = 0;
        for (const BlockBuffer& p : fPacked) bytes += p.capacity();
        for (const Slot& s : fSlots) bytes += s.data.capacity();
        return bytes;
    }

private:
    struct Slot {
        enum State { Empty, Working, Ready, Failed };
        State state = Empty;
        int64_t block = -1;
        BlockBuffer data;
        std::exception_ptr error;
    };

    class Body : public CallBackObject {
    public:
        Body(ReadAhead& owner, BlockBuffer& packed) : fOwner(owner), fPacked(packed) {}
        void Run() override { fOwner.Loop(fPacked); }

    protected:
        void OnStopRequested() override {
            {
                std::lock_guard<std::mutex> lk(fOwner.fMutex);
                fOwner.fStop = true;
            }
            fOwner.fChanged.notify_all();
        }

    private:
        ReadAhead& fOwner;
        BlockBuffer& fPacked;
    };

    // Blocks worth keeping: the reader's and the next ones.
    bool Keep(int64_t b) const { return b >= fCursor && b <= fCursor + kReadAheadDepth; }

    bool Holds(int64_t b) const {
        for (const Slot& s : fSlots)
            if (s.state != Slot::Empty && s.block == b) return true;
        return false;
    }

    // One thread's work; packed is its scratch for compressed bytes.
    void Loop(BlockBuffer& packed) {
        zlibCompressBlock codec;
        const int64_t n = static_cast<int64_t>(fEntries.size());
        std::unique_lock<std::mutex> lk(fMutex);
        while (!fStop) {
            int64_t target = -1;
            for (int64_t b = fCursor + 1; !fIdle && b <= fCursor + kReadAheadDepth && b < n; ++b) {
                if (!Holds(b)) {
                    target = b;
                    break;
                }
            }
            Slot* slot = nullptr;
            if (target >= 0) {
                for (Slot& s : fSlots) {
                    if (s.state == Slot::Empty || (s.state != Slot::Working && !Keep(s.block))) {
                        slot = &s;
                        break;
                    }
                }
            }
            if (!slot) {
                fChanged.wait(lk);
                continue;
            }
            slot->state = Slot::Working;
            slot->block = target;
            slot->error = nullptr;
            lk.unlock();
            std::exception_ptr error;
            try {
                InflateBlock(*fFile, fName, fEntries[static_cast<size_t>(target)], packed, slot->data, codec);
            } catch (...) {
                error = std::current_exception();
            }
            lk.lock();
            slot->state = error ? Slot::Failed : Slot::Ready;
            slot->error = error;
            fChanged.notify_all();
        }
    }

    VESK_File* fFile;
    std::string fName;
    const std::vector<Entry>& fEntries;  // unchanged while this object lives
    std::mutex fMutex;
    std::condition_variable fChanged;
    int64_t fCursor;  // the block the reader took last
    bool fIdle = false;
    bool fStop = false;
    Slot fSlots[kReadAheadDepth];
    BlockBuffer fPacked[kReadAheadThreads];  // each thread's compressed scratch
    std::unique_ptr<Body> fBodies[kReadAheadThreads];
    sfThreadPool fPool;  // last: its threads stop before the members above go
};

// ---------------------------------------------------------------- zcmpsFilestr

zcmpsFilestr::zcmpsFilestr(const VESK_FileStream& file) : fFile(new HeldFile(file)) {
    VESK_ASSERT(fFile->File() != nullptr);
}

zcmpsFilestr::~zcmpsFilestr() {
    try {
        if (fMode == Mode::Writing && !fError) Finish();
    } catch (...) {
        // Errors are reported by Close; a destructor cannot raise them.
    }
    ResetToIdle();
}

void zcmpsFilestr::ThrowMalformed() const { Malformed(fFile->Name()); }

void zcmpsFilestr::ThrowShortRead(int error) const { ShortRead(fFile->Name(), error); }

void zcmpsFilestr::setMultiThread(int on) {
    bool want = on != 0;
    if (want == fMultiThread) return;
    if (fMode == Mode::Writing) {
        DrainWrites();
        if (fPool) {
            fPool->stopAll();
            fPool.reset();
        }
        std::swap(fSlots[0], fSlots[fFill]);
        fFill = 0;
        fSlots.resize(1);
        if (want)
            for (int i = 0; i < fWorkers; ++i) fSlots.emplace_back(new WriteSlot(fLevel));
    }
    if (!want) StopReadAhead();
    fMultiThread = want;
}

void zcmpsFilestr::setWorkerCount(int workers) {
    VESK_ASSERT(workers >= 1 && workers <= 64);
    VESK_ASSERT(fMode != Mode::Writing);
    fWorkers = workers;
}

void zcmpsFilestr::setCompressionLevel(int level) {
    VESK_ASSERT(level >= zlibCompressBlock::kMinLevel && level <= zlibCompressBlock::kMaxLevel);
    VESK_ASSERT(fMode != Mode::Writing);
    fLevel = level;
}

void zcmpsFilestr::setCachedBlocks(int blocks) {
    VESK_ASSERT(blocks >= 0 && blocks <= kMaxCachedBlocks);
    fCachedBlocks = blocks;
    if (fCache.size() > static_cast<size_t>(blocks)) fCache.resize(static_cast<size_t>(blocks));
}

void zcmpsFilestr::ResetToIdle() {
    StopReadAhead();
    fCache.clear();
    if (fPool) {
        fPool->stopAll();  // drains: every queued block finishes first
        fPool.reset();
    }
    fSlots.clear();
    fFill = 0;
    fBlock.release();
    fPacked.release();
    fBlockIndex = -1;
    fMode = Mode::Idle;
}

void zcmpsFilestr::StopReadAhead() {
    fReadAhead.reset();
    fLastLoaded = -1;
}

// ---------------------------------------------------------------- reading

void zcmpsFilestr::readFilePosInfo(int64_t offset, bool reversed) {
    VESK_ASSERT(offset >= 0);
    VESK_ASSERT(fMode != Mode::Writing);
    ResetToIdle();
    VESK_File& file = *fFile->File();
    const std::string name = fFile->Name();

    const int64_t fileSize = file.Size();
    if (fileSize < 0) ThrowShortRead(errno);
    uint8_t buf[zcmps::kHeaderLen];
    ReadExactly(file, name, buf, sizeof buf, offset);
    const zcmps::Header h = zcmps::DecodeHeader(buf, reversed);
    // Every offset is checked against the file size before any arithmetic.
    if (h.zheaderOfs != offset) ThrowMalformed();
    if (h.ztrailerOfs < offset + zcmps::kHeaderLen || h.ztrailerOfs > fileSize) ThrowMalformed();
    if (h.ztrailerLen < zcmps::kTrailerHeadLen || h.ztrailerLen != fileSize - h.ztrailerOfs) ThrowMalformed();
    if ((h.ztrailerLen - zcmps::kTrailerHeadLen) % zcmps::kEntryLen != 0) ThrowMalformed();

    ReadExactly(file, name, buf, sizeof buf, h.ztrailerOfs);
    const zcmps::TrailerHead t = zcmps::DecodeTrailerHead(buf, reversed);
    if (t.bias != zcmps::kBias || t.zero != 0) ThrowMalformed();
    if (t.blockSize <= 0 || t.blockSize > zcmps::kMaxReadBlockSize || t.nBlocks < 0) ThrowMalformed();
    if (zcmps::kTrailerHeadLen + zcmps::kEntryLen * t.nBlocks != h.ztrailerLen) ThrowMalformed();

    // n_blocks is now bounded by the file size.
    std::vector<uint8_t> raw(static_cast<size_t>(zcmps::kEntryLen * t.nBlocks));
    if (!raw.empty()) ReadExactly(file, name, raw.data(), raw.size(), h.ztrailerOfs + zcmps::kTrailerHeadLen);
    std::vector<Entry> entries(static_cast<size_t>(t.nBlocks));
    int64_t uOfs = offset, cOfs = offset + zcmps::kHeaderLen;
    for (int32_t k = 0; k < t.nBlocks; ++k) {
        const Entry e = zcmps::DecodeEntry(raw.data() + zcmps::kEntryLen * k, reversed);
        const bool last = k == t.nBlocks - 1;
        if (e.uncompressedOfs != uOfs || e.compressedOfs != cOfs) ThrowMalformed();
        if (e.uncompressedSize <= 0 || e.uncompressedSize > t.blockSize) ThrowMalformed();
        if (!last && e.uncompressedSize != t.blockSize) ThrowMalformed();
        if (e.compressedSize <= 0 || e.compressedSize > h.ztrailerOfs - cOfs) ThrowMalformed();
        if (e.uncompressedSize > kMaxInflateRatio * static_cast<int64_t>(e.compressedSize)) ThrowMalformed();
        if (uOfs > std::numeric_limits<int64_t>::max() - e.uncompressedSize) ThrowMalformed();
        uOfs += e.uncompressedSize;
        cOfs += e.compressedSize;
        entries[static_cast<size_t>(k)] = e;
    }
    if (cOfs != h.ztrailerOfs) ThrowMalformed();

    fReversed = reversed;
    fRow0 = offset;
    fBlockSize = t.blockSize;
    fEntries = std::move(entries);
    fEnd = uOfs;
    fNextCompressedOfs = h.ztrailerOfs;
    fPos = offset;
    fEof = fError = false;
    fMode = Mode::Reading;
}

// Moves the current block into the cache, in front; the buffer of the block
// left longest ago (or a spare one) becomes the current buffer, holding no block.
void zcmpsFilestr::ParkCurrentBlock() {
    if (fBlockIndex < 0 || fCachedBlocks == 0) return;
    if (fCache.size() < static_cast<size_t>(fCachedBlocks)) fCache.emplace_back();
    std::rotate(fCache.begin(), fCache.end() - 1, fCache.end());
    fCache.front().index = fBlockIndex;
    fCache.front().data.swap(fBlock);
    fBlockIndex = -1;
}

// Block k from the cache into the current buffer; the current block takes
// its place in the cache, in front.
bool zcmpsFilestr::TakeCachedBlock(int64_t k) {
    for (auto it = fCache.begin(); it != fCache.end(); ++it) {
        if (it->index != k) continue;
        fBlock.swap(it->data);
        it->index = fBlockIndex;
        std::rotate(fCache.begin(), it, it + 1);
        fBlockIndex = k;
        fLastLoaded = k;
        return true;
    }
    return false;
}

void zcmpsFilestr::LoadBlock(int64_t k) {
    if (TakeCachedBlock(k)) return;
    ParkCurrentBlock();
    fBlockIndex = -1;
    try {
        if (fMultiThread) {
            if (!fReadAhead) fReadAhead.reset(new ReadAhead(fFile->File(), fFile->Name(), fEntries, k));
            // The first block read and each block after the previous one count as sequential.
            const bool sequential = fLastLoaded < 0 || k == fLastLoaded + 1;
            fLastLoaded = k;
            if (fReadAhead->Take(k, sequential, fBlock)) {
                fBlockIndex = k;
                return;
            }
        }
        if (!fInflater) fInflater.reset(new zlibCompressBlock());
        InflateBlock(*fFile->File(), fFile->Name(), fEntries[static_cast<size_t>(k)], fPacked, fBlock, *fInflater);
    } catch (...) {
        fError = true;
        throw;
    }
    fBlockIndex = k;
}

size_t zcmpsFilestr::Read(void* buffer, size_t count) {
    VESK_ASSERT(fMode == Mode::Reading);
    VESK_ASSERT(buffer != nullptr || count == 0);
    // A block that failed is tried again, and raises its error again: the
    // stream is shared by every iterator over the file, and a damaged block
    // must never read as the end of the data.
    uint8_t* out = static_cast<uint8_t*>(buffer);
    size_t done = 0;
    while (done < count) {
        if (fPos >= fEnd) {
            fEof = true;
            break;
        }
        const int64_t rel = fPos - fRow0;
        const int64_t k = rel / fBlockSize;
        if (k != fBlockIndex) LoadBlock(k);
        const size_t at = static_cast<size_t>(rel - k * fBlockSize);
        const size_t n = std::min(count - done, fBlock.size() - at);
        std::memcpy(out + done, fBlock.data() + at, n);
        done += n;
        fPos += static_cast<int64_t>(n);
    }
    return done;
}

int zcmpsFilestr::Seek(int64_t offset, int direction) {
    int64_t base;
    switch (direction) {
        case SeekFromStart: base = 0; break;
        case SeekFromCurrent: base = fPos; break;
        case SeekFromEnd: base = EndPosition(); break;
        default: return -2;
    }
    int64_t target;
    if (__builtin_add_overflow(base, offset, &target)) return -1;
    if (fMode == Mode::Reading) {
        if (target < fRow0) return -1;
        fPos = target;
        fEof = false;
        return 0;
    }
    if (fMode == Mode::Writing && target == fPos) return 0;
    return -1;
}

int64_t zcmpsFilestr::Tell() const { return fPos; }

int zcmpsFilestr::EndOfFile() const { return fEof ? 1 : 0; }

void zcmpsFilestr::Clear() {
    fError = false;
    fEof = false;
}

int zcmpsFilestr::Good() const { return fError ? 0 : 1; }

int64_t zcmpsFilestr::EndPosition() const { return fMode == Mode::Writing ? fPos : fEnd; }

int zcmpsFilestr::NumberOfBlocks() const {
    size_t n = fEntries.size();
    if (fMode == Mode::Writing) {
        for (const auto& s : fSlots) n += s->busy ? 1 : 0;
        n += fSlots[fFill]->len > 0 ? 1 : 0;
    }
    return static_cast<int>(n);
}

uint32_t zcmpsFilestr::Footprint() const {
    size_t bytes = fBlock.capacity() + fPacked.capacity();
    for (const auto& s : fSlots) bytes += s->data.capacity() + s->packed.capacity();
    if (fReadAhead) bytes += fReadAhead->Footprint();
    return static_cast<uint32_t>(std::min<size_t>(bytes, std::numeric_limits<uint32_t>::max()));
}

// ---------------------------------------------------------------- writing

void zcmpsFilestr::WriteAt(const void* data, size_t count, int64_t position) {
    int error = 0;
    if (fFile->File()->Write(data, count, position, &error) != count) {
        fError = true;
        errno = error;
        ThrowError::StringSys(DATASRC_ERR, DatasrcMsg::CannotWriteCase, fFile->Name());
    }
}

void zcmpsFilestr::BeginWriting() {
    fSlots.clear();
    const int n = fMultiThread ? fWorkers + 1 : 1;
    for (int i = 0; i < n; ++i) fSlots.emplace_back(new WriteSlot(fLevel));
    fFill = 0;
    fEof = fError = false;
    // Until Close the zheader names no trailer, so an unfinished area is
    // recognised as malformed.
    uint8_t buf[zcmps::kHeaderLen];
    zcmps::EncodeHeader(buf, zcmps::Header{fRow0, 0, 0}, fReversed);
    WriteAt(buf, sizeof buf, fRow0);
    fMode = Mode::Writing;
}

void zcmpsFilestr::setRow0Pos(int64_t offset, bool reversed) {
    VESK_ASSERT(offset >= 0);
    VESK_ASSERT(fMode != Mode::Writing);
    ResetToIdle();
    fReversed = reversed;
    fRow0 = offset;
    fBlockSize = zcmps::kBlockSize;
    fEntries.clear();
    fNextCompressedOfs = offset + zcmps::kHeaderLen;
    fPos = fEnd = offset;
    BeginWriting();
}

void zcmpsFilestr::setFileToAppend(int64_t position, bool reversed) {
    VESK_ASSERT(fMode != Mode::Writing);
    if (fMode != Mode::Reading) {
        readFilePosInfo(position, reversed);
        position = fEnd;
    }
    VESK_ASSERT(reversed == fReversed);
    VESK_ASSERT(position >= fRow0 && position <= fEnd);
    // Appends always continue in the block size we write.
    VESK_ASSERT(fBlockSize == zcmps::kBlockSize || fEntries.empty());
    StopReadAhead();
    const int64_t rel = position - fRow0;
    const int64_t k = rel / fBlockSize;
    const size_t keep = static_cast<size_t>(rel - k * fBlockSize);
    std::vector<uint8_t> head;
    if (keep > 0) {
        if (fBlockIndex != k) {
            if (!fInflater) fInflater.reset(new zlibCompressBlock());
            InflateBlock(*fFile->File(), fFile->Name(), fEntries[static_cast<size_t>(k)], fPacked, fBlock,
                         *fInflater);
        }
        head.assign(fBlock.data(), fBlock.data() + keep);
    }
    if (k < static_cast<int64_t>(fEntries.size())) fNextCompressedOfs = fEntries[static_cast<size_t>(k)].compressedOfs;
    fEntries.resize(static_cast<size_t>(k));
    fBlock.release();
    fCache.clear();
    fPacked.release();
    fBlockIndex = -1;
    fBlockSize = zcmps::kBlockSize;
    fPos = fEnd = position;
    BeginWriting();
    if (!head.empty()) {
        WriteSlot& s = *fSlots[0];
        s.data.resize(static_cast<size_t>(fBlockSize));
        std::memcpy(s.data.data(), head.data(), head.size());
        s.len = head.size();
    }
}

size_t zcmpsFilestr::Write(const void* data, size_t count) {
    VESK_ASSERT(fMode == Mode::Writing);
    VESK_ASSERT(data != nullptr || count == 0);
    if (fError) return 0;
    const uint8_t* in = static_cast<const uint8_t*>(data);
    size_t done = 0;
    while (done < count) {
        WriteSlot& s = *fSlots[fFill];
        if (s.data.size() == 0) s.data.resize(static_cast<size_t>(fBlockSize));
        const size_t n = std::min(count - done, s.data.size() - s.len);
        std::memcpy(s.data.data() + s.len, in + done, n);
        s.len += n;
        done += n;
        fPos += static_cast<int64_t>(n);
        if (s.len == s.data.size()) SubmitCurrent();
    }
    return done;
}

void zcmpsFilestr::SubmitCurrent() {
    WriteSlot& s = *fSlots[fFill];
    s.block = static_cast<int64_t>(fEntries.size());
    for (const auto& o : fSlots) s.block += o->busy ? 1 : 0;
    if (fSlots.size() == 1) {
        s.Compress();
        RetireSlot(s);
        return;
    }
    if (!fPool) {
        fPool.reset(new sfThreadPool(fWorkers, sfThreadPoolBase::kDrainOnStop));
        const bool started = fPool->Init() && fPool->Start();
        VESK_ASSERT(started);
    }
    s.busy = true;
    fPool->Submit(new WriteSlot::Job(s));
    fFill = (fFill + 1) % fSlots.size();
    // The next slot holds the oldest block in flight: write it out first.
    WriteSlot& next = *fSlots[fFill];
    if (next.busy) {
        next.done.Wait();
        RetireSlot(next);
    }
}

void zcmpsFilestr::RetireSlot(WriteSlot& s) {
    s.busy = false;
    VESK_ASSERT(!s.failed);
    VESK_ASSERT(s.block == static_cast<int64_t>(fEntries.size()));
    VESK_ASSERT(fEntries.size() < static_cast<size_t>(std::numeric_limits<int32_t>::max()));
    Entry e;
    e.uncompressedOfs = fRow0 + s.block * fBlockSize;
    e.compressedOfs = fNextCompressedOfs;
    e.uncompressedSize = static_cast<int32_t>(s.len);
    e.compressedSize = static_cast<int32_t>(s.packedLen);
    s.len = 0;
    WriteAt(s.packed.data(), s.packedLen, e.compressedOfs);
    fNextCompressedOfs += e.compressedSize;
    fEntries.push_back(e);
}

void zcmpsFilestr::DrainWrites() {
    // Oldest first: the slots after the one being filled, in ring order.
    for (size_t i = 1; i < fSlots.size(); ++i) {
        WriteSlot& s = *fSlots[(fFill + i) % fSlots.size()];
        if (!s.busy) continue;
        s.done.Wait();
        RetireSlot(s);
    }
}

int zcmpsFilestr::Flush() {
    if (fMode == Mode::Writing && !fError) DrainWrites();
    return 1;
}

void zcmpsFilestr::Finish() {
    // The last, partial block goes to a worker alongside the blocks still in
    // flight rather than after them.
    if (fSlots[fFill]->len > 0) SubmitCurrent();
    DrainWrites();
    const int64_t trailerOfs = fNextCompressedOfs;
    const int32_t n = static_cast<int32_t>(fEntries.size());
    std::vector<uint8_t> trailer(static_cast<size_t>(zcmps::kTrailerHeadLen + zcmps::kEntryLen * n));
    zcmps::TrailerHead t;
    t.blockSize = fBlockSize;
    t.nBlocks = n;
    zcmps::EncodeTrailerHead(trailer.data(), t, fReversed);
    for (int32_t k = 0; k < n; ++k)
        zcmps::EncodeEntry(trailer.data() + zcmps::kTrailerHeadLen + zcmps::kEntryLen * k, fEntries[k], fReversed);
    WriteAt(trailer.data(), trailer.size(), trailerOfs);
    const int64_t end = trailerOfs + static_cast<int64_t>(trailer.size());

    uint8_t head[zcmps::kHeaderLen];
    zcmps::EncodeHeader(head, zcmps::Header{fRow0, trailerOfs, static_cast<int64_t>(trailer.size())}, fReversed);
    WriteAt(head, sizeof head, fRow0);

    // An area rewritten shorter (appending from inside it) leaves old bytes
    // behind the new trailer; the file must end where the trailer does.
    VESK_File& file = *fFile->File();
    if (file.Size() > end && ftruncate(file.Descriptor(), end) != 0) {
        fError = true;
        ThrowError::StringSys(DATASRC_ERR, DatasrcMsg::CannotWriteCase, fFile->Name());
    }
    fEnd = fPos;
    ResetToIdle();
}

int zcmpsFilestr::Close() {
    if (fMode == Mode::Writing) {
        if (fError) {
            ResetToIdle();
            return 0;
        }
        try {
            Finish();
        } catch (...) {
            fError = true;
            ResetToIdle();
            throw;
        }
        return 1;
    }
    ResetToIdle();
    return 1;
}
