// The sort stream's worker: file access, block index, slots, queue and thread.
#define VESK_SOURCE_NAME "Datasource/src/sortTemp/worker"

#include "worker.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "vesk_assert.h"
#include "zcompressedfilestr.h"

namespace {

constexpr size_t kBS = zcmpsSort_FileStream::kBlockSize;
constexpr int64_t kPadTo = 16;
constexpr unsigned kIdleWaitMs = 100;

}  // namespace

// ---------------------------------------------------------------- IOWorker

IOWorker::~IOWorker() = default;

size_t IOWorker::compress(const char*, size_t, char*, size_t*) { return 0; }

size_t IOWorker::decompress(const char*, size_t, char*, size_t*) { return 0; }

bool IOWorker::Open(const std::string& name, const char* mode) {
    ExtNameStr n;
    n.SetGeneric(name.c_str());
    if (!VESK_File::Open(n, mode)) return false;
    fFileName = name;
    fPosition = 0;
    return true;
}

bool IOWorker::Close() { return VESK_File::Close(); }

size_t IOWorker::Write(const void* data, size_t count, int* error) {
    const size_t n = VESK_File::Write(data, count, fPosition, error);
    fPosition += int64_t(n);
    return n;
}

size_t IOWorker::Read(void* buffer, size_t count, int* error) {
    const size_t n = VESK_File::Read(buffer, count, fPosition, error);
    fPosition += int64_t(n);
    return n;
}

// ---------------------------------------------------------------- compressWorker

compressWorker::~compressWorker() = default;

size_t compressWorker::compress(const char* src, size_t srcLen, char* dst, size_t* dstLen) {
    const int ret = fBlock.compressBlock(src, srcLen, dst, dstLen);
    VESK_ASSERT(ret != 0);
    return *dstLen;
}

size_t compressWorker::decompress(const char* src, size_t srcLen, char* dst, size_t* dstLen) {
    return fBlock.decompressBlock(src, srcLen, dst, dstLen) ? *dstLen : 0;
}

// ---------------------------------------------------------------- SortBlockIndex

void SortBlockIndex::Append(const SortBlockEntry& e) {
    sfMutex::Guard g(fLock);
    fEntries.push_back(e);
    fTotalUncompressed = std::max(fTotalUncompressed, e.uncompressedOffset + e.uncompressedLength);
    fTotalCompressed = std::max(fTotalCompressed, e.compressedOffset + e.compressedLength);
}

bool SortBlockIndex::Lookup(int64_t p, SortBlockEntry& e) const {
    sfMutex::Guard g(fLock);
    if (p < 0 || p > fTotalUncompressed || fEntries.empty()) return false;
    if (fEntries.back().uncompressedOffset <= p) {
        e = fEntries.back();
        return true;
    }
    auto after = std::upper_bound(fEntries.begin(), fEntries.end(), p,
                                  [](int64_t q, const SortBlockEntry& x) { return q < x.uncompressedOffset; });
    e = *(after - 1);
    return true;
}

int64_t SortBlockIndex::TotalUncompressed() const {
    sfMutex::Guard g(fLock);
    return fTotalUncompressed;
}

int64_t SortBlockIndex::TotalCompressed() const {
    sfMutex::Guard g(fLock);
    return fTotalCompressed;
}

// ---------------------------------------------------------------- SortBlockQueue

SortBufferSlot::SortBufferSlot() : data(new char[kBS]) {}

SortBlockQueue::SortBlockQueue(compressWorker& worker, SortBlockIndex& index)
    : fWorker(worker), fIndex(index), fScratchRoom(zlibCompressBlock::CompressBound(kBS) + kPadTo) {
    fScratch.reset(new char[fScratchRoom]);
}

void SortBlockQueue::Register(SortBufferSlot* slot) {
    sfMutex::Guard g(fListLock);
    slot->registration = fRegistrations++;
    if (!fWriterSlot) fWriterSlot = slot;
    fSlots.push_back(slot);
}

void SortBlockQueue::Unregister(SortBufferSlot* slot) {
    sfMutex::Guard g(fListLock);
    fSlots.remove(slot);
    if (fWriterSlot == slot) fWriterSlot = nullptr;
}

void SortBlockQueue::Fail(int error) {
    int none = 0;
    fError.compare_exchange_strong(none, error ? error : EIO);
}

// The writer's block, compressed and appended at the next compressed offset.
// The slot is handed back (consumed) whatever happens, so the writer never waits forever.
bool SortBlockQueue::WriteStep() {
    sfMutex::Guard list(fListLock);
    SortBufferSlot* slot = fWriterSlot;
    if (!slot || !slot->filled.TryWait()) return false;
    {
        sfMutex::Guard s(slot->lock);
        sfMutex::Guard io(fIOLock);
        try {
            if (!Error()) AppendBlock(slot->data.get(), slot->length);
        } catch (...) {
            Fail(ENOMEM);
        }
        slot->length = 0;
    }
    slot->consumed.Post();
    return true;
}

void SortBlockQueue::AppendBlock(const char* data, int64_t length) {
    size_t clen = fScratchRoom - size_t(kPadTo);
    fWorker.compress(data, size_t(length), fScratch.get(), &clen);
    const int64_t c = int64_t(clen);
    const int64_t pad = fWorker.Pad() ? (kPadTo - c % kPadTo) % kPadTo : 0;
    std::memset(fScratch.get() + clen, 0, size_t(pad));
    int err = 0;
    fWorker.SetPosition(fNextCompressed);
    if (fWorker.Write(fScratch.get(), size_t(c + pad), &err) != size_t(c + pad)) return Fail(err);
    fIndex.Append({fNextUncompressed, length, fNextCompressed, c, pad});
    fNextUncompressed += length;
    fNextCompressed += c + pad;
}

bool SortBlockQueue::ReadAheadStep() {
    sfMutex::Guard list(fListLock);
    for (SortBufferSlot* slot : fSlots) {
        if (slot == fWriterSlot && !fFinalised.load()) continue;
        if (slot->consumed.TryWait() && FillSlot(*slot)) return true;
    }
    return false;
}

// Decodes the block the slot's reader wants next, when the slot is empty and
// such a block exists.
bool SortBlockQueue::FillSlot(SortBufferSlot& slot) {
    sfMutex::Guard s(slot.lock);
    SortBlockEntry e;
    if (slot.full || !fIndex.Lookup(slot.nextPosition, e) || e.uncompressedOffset != slot.nextPosition) return false;
    const int64_t n = DecodeBlock(e, slot.data.get());
    if (n < 0) return false;
    slot.position = e.uncompressedOffset;
    slot.length = n;
    slot.full = true;
    slot.filled.Post();
    return true;
}

int64_t SortBlockQueue::DecodeBlock(const SortBlockEntry& e, char* out) {
    const int64_t stored = e.compressedLength + e.pad;
    if (e.compressedLength <= 0 || stored > int64_t(fScratchRoom) || e.uncompressedLength > int64_t(kBS)) {
        Fail(EIO);
        return -1;
    }
    sfMutex::Guard io(fIOLock);
    int err = 0;
    fWorker.SetPosition(e.compressedOffset);
    if (fWorker.Read(fScratch.get(), size_t(stored), &err) != size_t(stored)) {
        Fail(err);
        return -1;
    }
    size_t room = kBS;
    const size_t n = fWorker.decompress(fScratch.get(), size_t(e.compressedLength), out, &room);
    if (int64_t(n) != e.uncompressedLength) {
        Fail(EIO);
        return -1;
    }
    return int64_t(n);
}

// ---------------------------------------------------------------- workerCallBackObject

workerCallBackObject::~workerCallBackObject() = default;

void workerCallBackObject::Run() {
    while (!fStopFlag.load() && !StopRequested()) {
        bool worked = false;
        try {
            if (fWriteMode.load())
                worked = fQueue.WriteStep();
            else if (fReadMode.load())
                worked = fQueue.ReadAheadStep();
        } catch (...) {
            fQueue.Fail(ENOMEM);
        }
        if (!worked) fQueue.WaitForWork(kIdleWaitMs);
    }
}

void workerCallBackObject::SetReadMode() {
    fQueue.fFinalised.store(true);
    fReadMode.store(true);
    fWriteMode.store(false);
    fQueue.Wake();
}

void workerCallBackObject::Stop() {
    fReadMode.store(false);
    fStopFlag.store(true);
    fQueue.fFinalised.store(true);
    fQueue.Wake();
}

// ---------------------------------------------------------------- SortStreamShared

SortStreamShared::SortStreamShared(bool pad) : worker(pad), queue(worker, index), callback(queue) {}

SortStreamShared::~SortStreamShared() {
    callback.Stop();
    thread.stopAll();
    worker.Close();
}

SortSlotRegistration::SortSlotRegistration(SortStreamShared& s) : shared(s) { shared.queue.Register(&slot); }

SortSlotRegistration::~SortSlotRegistration() { shared.queue.Unregister(&slot); }
