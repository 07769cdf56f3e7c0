// The storage switches, the zlib-compressed temporary stream and its task pool.
#define VESK_SOURCE_NAME "Datasource/src/zcompressedfilestr"

#include "zcompressedfilestr.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "vesk_assert.h"
#include "zcompressedtask.h"

namespace {

constexpr size_t kBS = ZCompressed_FileStream::kBlockSize;
constexpr int kPadTo = 16;

std::atomic<int32_t> gZCompression{0};
std::atomic<int32_t> gAsynchReading{1};

bool OnMode(int64_t mode) { return mode == 1 || mode == 3; }

// The environment lets the switches change when the override is unset or begins with '1'.
bool SwitchesOpen(const char* override) { return !override || override[0] == '1'; }

}  // namespace

// ---------------------------------------------------------------- switches

extern "C" void SETZCOMPRESSION(const int32_t* mode, int64_t* result) {
    VESK_ASSERT(mode != nullptr && result != nullptr);
    const char* override = std::getenv("CACHE_SYNTAX_OVERRIDE");
    if (SwitchesOpen(override)) {
        gZCompression.store(OnMode(*mode) ? 1 : 0);
        *result = 0;
        return;
    }
    *result = override[0] == '0' ? 20 : 0;
}

extern "C" int64_t GETZCOMPRESSION() { return gZCompression.load(); }

extern "C" int64_t GETZCOMPRESSIONOA() { return SwitchesOpen(std::getenv("CACHE_SYNTAX_OVERRIDE")) ? 1 : 0; }

extern "C" void SETASYNCHREADING(const int64_t* mode) {
    VESK_ASSERT(mode != nullptr);
    gAsynchReading.store(OnMode(*mode) ? 1 : 0);
}

extern "C" int64_t GETASYNCHREADING() { return gAsynchReading.load(); }

// ---------------------------------------------------------------- ZCompressedData

size_t ZCompressedData::FindBlock(int64_t position) const {
    auto after = std::upper_bound(blocks.begin(), blocks.end(), position,
                                  [](int64_t p, const ZBlockEntry& e) { return p < e.position; });
    if (after == blocks.begin()) return blocks.size();
    const ZBlockEntry& e = *(after - 1);
    if (position >= e.position + int64_t(e.size)) return blocks.size();
    return size_t(after - blocks.begin()) - 1;
}

// ---------------------------------------------------------------- ZCompressionTask

ZCompressionTask::ZCompressionTask() : fCompressedRoom(zlibCompressBlock::CompressBound(kBS) + kPadTo) {
    fA.data.reset(new char[kBS]);
    fB.data.reset(new char[kBS]);
    fCompressed.reset(new char[fCompressedRoom]);
}

ZCompressionTask::~ZCompressionTask() = default;

void ZCompressionTask::Bind(VESK_File* file, const std::string& name, std::shared_ptr<ZCompressedData> data,
                            uint8_t mode, int64_t position) {
    fFile = file;
    fFileName = name;
    fData = std::move(data);
    fMode = mode;
    fCurrent = nullptr;
    for (Buffer* b : {&fA, &fB}) {
        b->size = 0;
        b->position = -1;
        b->state = kFree;
    }
    fFreeSem = std::make_unique<sfSemaphore>(2);
    fReadySem = std::make_unique<sfSemaphore>(0);
    fFinishedSem = std::make_unique<sfSemaphore>(0);
    fEndAnnounced = fAllDone = false;
    fStop.store(false);
    fRequested = position;
    fError.store(0);
}

ZCompressionTask::Buffer* ZCompressionTask::LowestReady() {
    Buffer* r = nullptr;
    for (Buffer* b : {&fA, &fB})
        if (b->state == kReady && (!r || b->position < r->position)) r = b;
    return r;
}

ZCompressionTask::Buffer* ZCompressionTask::TakeFree() {
    Buffer* b = fA.state == kFree ? &fA : fB.state == kFree ? &fB : nullptr;
    if (b) b->state = kFilling;
    return b;
}

void ZCompressionTask::Release(Buffer& b) {
    {
        sfMutex::Guard g(fBufferLock);
        b.size = 0;
        b.position = -1;
        b.state = kFree;
        if (fCurrent == &b) fCurrent = nullptr;
    }
    fFreeSem->Post();
}

void ZCompressionTask::Fail(int error) {
    int none = 0;
    fError.compare_exchange_strong(none, error ? error : EIO);
}

void ZCompressionTask::Wake() {
    fStop.store(true);
    fFreeSem->Post();
    fReadySem->Post();
}

void ZCompressionTask::Run() {
    if (fMode == kRead)
        DecompressorLoop();
    else
        CompressorLoop();
}

// ---- writing

size_t ZCompressionTask::WritePath(const char* data, size_t count, int64_t position) {
    size_t done = 0;
    while (done < count && !Error()) {
        if (!fCurrent) {
            fFreeSem->Wait();
            sfMutex::Guard g(fBufferLock);
            fCurrent = TakeFree();
            VESK_ASSERT_AT(fCurrent != nullptr, "false", VESK_SOURCE_NAME);
        }
        Buffer& b = *fCurrent;
        const int64_t at = position + int64_t(done);
        if (b.size == 0) b.position = at;
        VESK_ASSERT_AT(at == b.position + int64_t(b.size), "bufsize == target-fBuffer", VESK_SOURCE_NAME);
        const size_t k = std::min(count - done, kBS - b.size);
        std::memcpy(b.data.get() + b.size, data + done, k);
        b.size += k;
        done += k;
        if (b.size < kBS) continue;
        {
            sfMutex::Guard g(fBufferLock);
            b.state = kReady;
            fCurrent = nullptr;
        }
        fReadySem->Post();
    }
    return Error() ? 0 : done;
}

void ZCompressionTask::FinishWriting() {
    bool partial = false, emptied = false;
    {
        sfMutex::Guard g(fBufferLock);
        if (fCurrent) {
            partial = fCurrent->size != 0;
            emptied = !partial;
            fCurrent->state = partial ? kReady : kFree;
            fCurrent = nullptr;
        }
        fEndAnnounced = true;
    }
    if (emptied) fFreeSem->Post();
    if (partial) fReadySem->Post();
    fReadySem->Post();  // the wake that finds nothing ready and ends the compressor
    fFinishedSem->Wait();
}

// Compresses ready buffers in position order until Flush announces the end
// and nothing is left, so every filled buffer is written before the thread ends.
void ZCompressionTask::CompressorLoop() {
    for (;;) {
        fReadySem->Wait();
        Buffer* b;
        bool end;
        {
            sfMutex::Guard g(fBufferLock);
            b = LowestReady();
            if (b) b->state = kConsuming;
            end = !b && (fEndAnnounced || fStop.load());
        }
        if (b) {
            CompressBuffer(*b);
            Release(*b);
        } else if (end) {
            break;
        }
    }
    fFinishedSem->Post();
}

// One zlib stream at level 1, padded with zeros to a multiple of 16 and
// appended to the file. After a failure buffers are dropped unwritten.
void ZCompressionTask::CompressBuffer(Buffer& b) {
    if (Error()) return;
    size_t csize = fCompressedRoom - kPadTo;
    if (!fCodec.compressBlock(b.data.get(), b.size, fCompressed.get(), &csize)) return Fail(ENOMEM);
    const uint64_t pad = (kPadTo - csize % kPadTo) % kPadTo;
    std::memset(fCompressed.get() + csize, 0, pad);
    std::vector<ZBlockEntry>& blocks = fData->blocks;
    const int64_t offset = blocks.empty() ? 0 : blocks.back().offset + int64_t(blocks.back().storedSize);
    try {
        blocks.push_back({offset, csize + pad, pad, b.position, b.size});
    } catch (...) {
        return Fail(ENOMEM);
    }
    int err = 0;
    if (fFile->Write(fCompressed.get(), csize + pad, offset, &err) != csize + pad) Fail(err);
}

// ---- reading

void ZCompressionTask::StopReading() {
    {
        sfMutex::Guard g(fBufferLock);
        fAllDone = true;
    }
    fFreeSem->Post();
}

// Inflates blocks ahead of the reader into free buffers. Each round starts at
// the block holding the reader's wanted position when that lies ahead, so a
// reader that jumps forward is served at once; it never goes back.
void ZCompressionTask::DecompressorLoop() {
    const std::vector<ZBlockEntry>& blocks = fData->blocks;
    size_t k = 0;
    for (;;) {
        fFreeSem->Wait();
        int64_t want;
        {
            sfMutex::Guard p(fPositionLock);
            want = fRequested;
        }
        k = std::max(k, fData->FindBlock(want));
        Buffer* b = nullptr;
        {
            sfMutex::Guard g(fBufferLock);
            if (fAllDone || fStop.load()) break;
            if (k < blocks.size()) b = TakeFree();
            fAllDone = b == nullptr;  // nothing at or after the wanted position
        }
        const bool ok = b && InflateBlock(blocks[k], *b);
        bool more = false;
        if (b) {
            sfMutex::Guard g(fBufferLock);
            b->state = ok ? kReady : kFree;
            more = ok && ++k < blocks.size();
            fAllDone = fAllDone || !more;
        }
        fReadySem->Post();
        if (!more) break;
    }
}

bool ZCompressionTask::InflateBlock(const ZBlockEntry& e, Buffer& b) {
    int err = EIO;
    size_t size = kBS;
    const bool ok = e.pad < e.storedSize && e.storedSize <= fCompressedRoom &&
                    fFile->Read(fCompressed.get(), e.storedSize, e.offset, &err) == e.storedSize &&
                    fCodec.decompressBlock(fCompressed.get(), e.storedSize - e.pad, b.data.get(), &size) &&
                    size == e.size;
    if (!ok) {
        Fail(err ? err : EIO);
        return false;
    }
    b.size = size;
    b.position = e.position;
    return true;
}

ZCompressionTask::ReadEnd ZCompressionTask::ReadPath(char* out, size_t count, int64_t& position, size_t& done) {
    while (done < count) {
        if (Error()) return kFailed;
        if (!fCurrent) {
            {
                sfMutex::Guard g(fBufferLock);
                if (fAllDone && !LowestReady()) return Error() ? kFailed : kEnd;
            }
            {
                sfMutex::Guard p(fPositionLock);
                fRequested = position;
            }
            fReadySem->Wait();
            sfMutex::Guard g(fBufferLock);
            fCurrent = LowestReady();
            if (!fCurrent) continue;
            fCurrent->state = kConsuming;
        }
        Buffer& b = *fCurrent;
        if (position < b.position) return kBehind;
        const int64_t end = b.position + int64_t(b.size);
        if (position < end) {
            const size_t k = std::min(count - done, size_t(end - position));
            std::memcpy(out + done, b.data.get() + (position - b.position), k);
            done += k;
            position += int64_t(k);
        }
        if (position >= end) Release(b);
    }
    return kDone;
}

// ---------------------------------------------------------------- ZCompressionCallback

ZCompressionCallback::~ZCompressionCallback() = default;

void ZCompressionCallback::Run() { fTask->Run(); }

void ZCompressionCallback::OnStopRequested() { fTask->Wake(); }

// ---------------------------------------------------------------- ZCompressionPool

ZCompressionPool& ZCompressionPool::Instance() {
    static ZCompressionPool* pool = new ZCompressionPool;
    return *pool;
}

ZCompressionPool::~ZCompressionPool() {
    for (size_t i = 0; i < fThreads.size(); ++i)
        if (fThreads[i]) EndThread(*fTasks[i], std::move(fThreads[i]));
}

// Lets the thread end by itself (writing: after the last buffer is in the
// file), then joins it. Called without the pool lock: the task is marked
// ending, so nobody takes it meanwhile.
void ZCompressionPool::EndThread(ZCompressionTask& task, std::unique_ptr<sfThreadPool> thread) {
    if (task.Mode() == ZCompressionTask::kWrite)
        task.FinishWriting();
    else
        task.StopReading();
    thread->stopAll();
}

// Under the pool lock. The data's own task when it has one (idle: streams
// flush before they acquire), else a new or the oldest idle one.
int ZCompressionPool::PickSlot(const ZCompressedData* data) {
    for (size_t i = 0; i < fTasks.size(); ++i)
        if (fTasks[i]->Serves(data) && Idle(i)) return int(i);
    int oldest = -1;
    if (fTasks.size() > size_t(fLimit)) {
        for (size_t i = 0; i < fTasks.size(); ++i)
            if (Idle(i) && (oldest < 0 || fTasks[i]->fAge > fTasks[size_t(oldest)]->fAge)) oldest = int(i);
        if (oldest < 0) ++fLimit;  // every task is busy
    }
    if (oldest >= 0) return oldest;
    fTasks.push_back(std::make_unique<ZCompressionTask>());
    fThreads.emplace_back();
    return int(fTasks.size()) - 1;
}

bool ZCompressionPool::Idle(size_t index) const { return !fThreads[index] && !fTasks[index]->fEnding; }

int ZCompressionPool::Acquire(VESK_File* file, const std::string& name, const std::shared_ptr<ZCompressedData>& data,
                              uint8_t mode, int64_t position) {
    sfMutex::Guard g(fLock);
    VESK_ASSERT_AT(fTasks.size() == fThreads.size(), "tasks.size() == threads.size()", VESK_SOURCE_NAME);
    for (auto& t : fTasks) ++t->fAge;
    const int i = PickSlot(data.get());
    ZCompressionTask& task = *fTasks[size_t(i)];
    task.fSlot = i;
    task.fAge = 0;
    task.Bind(file, name, data, mode, position);
    auto pool = std::make_unique<sfThreadPool>(1, 0);
    pool->Init();
    pool->Start();
    pool->Submit(new ZCompressionCallback(&task));
    fThreads[size_t(i)] = std::move(pool);
    return i;
}

ZCompressionTask* ZCompressionPool::Running(int index, const ZCompressedData* data) {
    sfMutex::Guard g(fLock);
    if (index < 0 || size_t(index) >= fTasks.size() || !fThreads[size_t(index)]) return nullptr;
    return fTasks[size_t(index)]->Serves(data) ? fTasks[size_t(index)].get() : nullptr;
}

int ZCompressionPool::Flush(const ZCompressedData* data, int* error) {
    *error = 0;
    ZCompressionTask* task = nullptr;
    std::unique_ptr<sfThreadPool> thread;
    {
        sfMutex::Guard g(fLock);
        for (size_t i = 0; i < fTasks.size() && !task; ++i) {
            if (!fTasks[i]->Serves(data) || !fThreads[i]) continue;
            task = fTasks[i].get();
            thread = std::move(fThreads[i]);
            task->fEnding = true;
        }
    }
    if (!task) return 0;
    EndThread(*task, std::move(thread));
    *error = task->Error();
    sfMutex::Guard g(fLock);
    task->fEnding = false;
    return 1;
}

size_t ZCompressionPool::TaskCount() {
    sfMutex::Guard g(fLock);
    return fTasks.size();
}

// ---------------------------------------------------------------- ZCompressed_FileStream

ZCompressed_FileStream::ZCompressed_FileStream(bool largeBuffer) : VESK_FileStream(largeBuffer) {}

ZCompressed_FileStream::ZCompressed_FileStream(const char* name, const char* mode, bool largeBuffer)
    : VESK_FileStream(largeBuffer) {
    VESK_FileStream::Open(name, mode);
}

ZCompressed_FileStream::ZCompressed_FileStream(const ZCompressed_FileStream& other)
    : VESK_FileStream(other), fTaskIndex(other.fTaskIndex), fData(other.fData) {}

ZCompressed_FileStream::~ZCompressed_FileStream() { Flush(); }

// The task serving this stream in mode, started at position when it has to
// be (re)started; null when ending the task of the other mode failed.
ZCompressionTask* ZCompressed_FileStream::ActiveTask(uint8_t mode, int64_t position) {
    ZCompressionPool& pool = ZCompressionPool::Instance();
    ZCompressionTask* t = pool.Running(fTaskIndex, fData.get());
    if (t && t->Mode() == mode) return t;
    if (!Flush()) return nullptr;  // the data's task in the other mode, or under another index
    fTaskIndex = pool.Acquire(GetFile(), Name(), fData, mode, position);
    return pool.Running(fTaskIndex, fData.get());
}

size_t ZCompressed_FileStream::Write(const void* data, size_t count) {
    if (count == 0 || !DataReady()) return 0;
    if (!fData) fData = std::make_shared<ZCompressedData>();
    const int64_t at = Tell();
    // Blocks follow each other in the file: writes must be sequential.
    VESK_ASSERT_AT(at == fData->length, "bufsize == target-fBuffer", VESK_SOURCE_NAME);
    ZCompressionTask* task = ActiveTask(ZCompressionTask::kWrite, at);
    if (!task) return 0;
    if (task->WritePath(static_cast<const char*>(data), count, at) != count) {
        errno = task->Error();
        SetError();
        return 0;
    }
    fData->length += int64_t(count);
    SetPosition(at + int64_t(count));
    return count;
}

size_t ZCompressed_FileStream::Read(void* buffer, size_t count) {
    if (count == 0 || !DataReady() || !fData) return 0;
    int64_t position = Tell();
    const size_t done = ReadAt(static_cast<char*>(buffer), count, position);
    SetPosition(position);
    if (done < count) SetEndOfFile(true);
    return done;
}

// Reads through the task; when the wanted bytes lie behind what the task
// delivers, starts it again at the position. A fresh task that delivers
// nothing has failed.
size_t ZCompressed_FileStream::ReadAt(char* out, size_t count, int64_t& position) {
    size_t done = 0;
    bool restarted = false;
    while (done < count && position < fData->length) {
        const size_t before = done;
        ZCompressionTask* task = ActiveTask(ZCompressionTask::kRead, position);
        if (!task) break;
        const auto end = task->ReadPath(out, count, position, done);
        if (end == ZCompressionTask::kDone || position >= fData->length) break;
        if (end == ZCompressionTask::kFailed || (restarted && done == before)) {
            SetError();
            break;
        }
        if (!Flush()) break;
        restarted = true;
    }
    return done;
}

int ZCompressed_FileStream::Seek(int64_t offset, int direction) {
    if (direction == SeekFromEnd && GetFile()) {
        const int64_t length = Length();
        if (offset > 0 && length > INT64_MAX - offset) return -1;
        return VESK_FileStream::Seek(length + offset, SeekFromStart);
    }
    return VESK_FileStream::Seek(offset, direction);
}

int ZCompressed_FileStream::Flush() {
    if (!fData) return 1;
    int error = 0;
    ZCompressionPool::Instance().Flush(fData.get(), &error);
    if (!error) return 1;
    errno = error;
    SetError();
    return 0;
}

int ZCompressed_FileStream::Open(const ExtNameStr& name, const char* mode) {
    Flush();
    fData.reset();
    fTaskIndex = -1;
    return VESK_FileStream::Open(name, mode);
}

int ZCompressed_FileStream::Close() { return Flush(); }

uint32_t ZCompressed_FileStream::Footprint() const { return uint32_t(2 * kBS); }

int64_t ZCompressed_FileStream::Length() const { return fData ? fData->length : 0; }

size_t ZCompressed_FileStream::BlockCount() const { return fData ? fData->blocks.size() : 0; }
