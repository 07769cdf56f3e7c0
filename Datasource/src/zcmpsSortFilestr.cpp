// The sort stream: blocks handed to a worker thread, read back by copies.
#define VESK_SOURCE_NAME "Datasource/src/zcmpsSortFilestr"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "sortTemp/worker.h"
#include "vesk_assert.h"
#include "zcompressedfilestr.h"

namespace {
constexpr int64_t kBS = int64_t(zcmpsSort_FileStream::kBlockSize);
}  // namespace

zcmpsSort_FileStream::zcmpsSort_FileStream() : zcmpsSort_FileStream(false) {}

zcmpsSort_FileStream::zcmpsSort_FileStream(bool pad) : fBuffer(new char[kBS]), fPad(pad) {}

zcmpsSort_FileStream::zcmpsSort_FileStream(const char* name, const char* mode, bool pad) : zcmpsSort_FileStream(pad) {
    Open(name, mode);
}

zcmpsSort_FileStream::zcmpsSort_FileStream(const zcmpsSort_FileStream& other)
    : VESK_FileStream(other), fBuffer(new char[kBS]), fPad(other.fPad), fError(other.fError), fName(other.fName) {
    if (!other.fShared) return;
    // The copy reads what the source wrote: the source's writing ends here.
    const_cast<zcmpsSort_FileStream&>(other).FinishWriting();
    fShared = other.fShared;
    fSlot = std::make_unique<SortSlotRegistration>(*fShared);
}

zcmpsSort_FileStream::~zcmpsSort_FileStream() { Close(); }

int zcmpsSort_FileStream::Open(const ExtNameStr& name, const char* mode) { return Open(name.GetGeneric(), mode); }

int zcmpsSort_FileStream::Open(const char* name, const char* mode) {
    Close();
    auto shared = std::make_shared<SortStreamShared>(fPad);
    if (!name || !shared->worker.Open(name, mode)) {
        const int error = name ? errno : EINVAL;
        shared.reset();
        errno = error;
        return 0;
    }
    fShared = std::move(shared);
    fSlot = std::make_unique<SortSlotRegistration>(*fShared);  // the first slot: the writer's
    fShared->thread.Init();
    fShared->thread.Start();
    fShared->thread.Submit(&fShared->callback, false);
    fName = name;
    fError = false;
    SetPosition(0);
    SetEndOfFile(false);
    return 1;
}

int zcmpsSort_FileStream::Close() {
    if (!fShared) return 1;
    FinishWriting();
    const bool ok = !Failed();
    fSlot.reset();
    fShared.reset();  // the last share stops the worker and closes the file
    fBlockPosition = -1;
    fBlockLength = 0;
    return ok ? 1 : 0;
}

bool zcmpsSort_FileStream::Failed() const { return fError || (fShared && fShared->queue.Error() != 0); }

void zcmpsSort_FileStream::Clear() {
    fError = false;
    VESK_FileStream::Clear();
}

int zcmpsSort_FileStream::Good() const { return fShared && !Failed() ? 1 : 0; }

const char* zcmpsSort_FileStream::Name() const { return fName.c_str(); }

uint32_t zcmpsSort_FileStream::Footprint() const { return 4190272; }

// ---- writing

size_t zcmpsSort_FileStream::Write(const void* data, size_t count) {
    if (count == 0 || !fShared) return 0;
    VESK_ASSERT_AT(fShared->writing, "no writes once reading started", VESK_SOURCE_NAME);
    if (Failed()) return 0;
    const int64_t position = Tell();
    VESK_ASSERT_AT(position == fShared->handedOver + fBlockLength, "writes are sequential", VESK_SOURCE_NAME);
    if (fBlockLength == 0) fBlockPosition = position;
    const char* in = static_cast<const char*>(data);
    size_t done = 0;
    while (done < count && !Failed()) {
        const size_t k = std::min(count - done, size_t(kBS - fBlockLength));
        std::memcpy(fBuffer.get() + fBlockLength, in + done, k);
        fBlockLength += int64_t(k);
        done += k;
        if (fBlockLength == kBS) HandOver();
    }
    SetPosition(position + int64_t(done));
    return done;
}

// Passes the filled part of the stream buffer to the worker through the
// writer's slot, once the worker has written the block handed over before.
void zcmpsSort_FileStream::HandOver() {
    SortStreamShared& s = *fShared;
    SortBufferSlot& slot = fSlot->slot;
    if (s.awaitingConsumed) slot.consumed.Wait();
    {
        sfMutex::Guard g(slot.lock);
        slot.data.swap(fBuffer);
        if (slot.firstPosition < 0) slot.firstPosition = fBlockPosition;
        slot.position = fBlockPosition;
        slot.length = fBlockLength;
    }
    slot.filled.Post();
    s.queue.Wake();
    s.awaitingConsumed = true;
    s.handedOver += fBlockLength;
    fBlockPosition = -1;
    fBlockLength = 0;
}

// Hands over the partial block, waits until everything is in the file and
// turns the worker to reading ahead.
void zcmpsSort_FileStream::FinishWriting() {
    SortStreamShared& s = *fShared;
    if (!s.writing) return;
    if (fBlockLength > 0) HandOver();
    if (s.awaitingConsumed) fSlot->slot.consumed.Wait();
    s.awaitingConsumed = false;
    s.writing = false;
    s.callback.SetReadMode();
    fBlockPosition = -1;
    fBlockLength = 0;
}

int zcmpsSort_FileStream::Flush() {
    if (!fShared) return 0;
    if (fShared->writing && fBlockLength > 0) HandOver();
    return Failed() ? 0 : 1;
}

int zcmpsSort_FileStream::Seek(int64_t offset, int direction) {
    int64_t position = offset;
    if (direction == SeekFromCurrent) {
        position += Tell();
    } else if (direction == SeekFromEnd) {
        if (!fShared) return 0;
        FinishWriting();
        position += fShared->index.TotalUncompressed();
    }
    SetPosition(position);
    SetEndOfFile(false);
    return 0;
}

// ---- reading

size_t zcmpsSort_FileStream::Read(void* buffer, size_t count) {
    if (count == 0 || !fShared) return 0;
    FinishWriting();
    char* out = static_cast<char*>(buffer);
    int64_t position = Tell();
    size_t done = 0;
    while (done < count && !Failed()) {
        if (fBlockPosition < 0 || position < fBlockPosition || position >= fBlockPosition + fBlockLength)
            if (!LoadBlock(position)) break;
        const size_t k = std::min(count - done, size_t(fBlockPosition + fBlockLength - position));
        std::memcpy(out + done, fBuffer.get() + (position - fBlockPosition), k);
        done += k;
        position += int64_t(k);
    }
    SetPosition(position);
    if (done < count) SetEndOfFile(true);
    return done;
}

// Puts the block holding position in the stream buffer; false at the end of
// the data or on failure.
bool zcmpsSort_FileStream::LoadBlock(int64_t position) {
    fBlockPosition = -1;
    fBlockLength = 0;
    SortBlockEntry e;
    if (!fShared->index.Lookup(position, e) || position >= e.uncompressedOffset + e.uncompressedLength) return false;
    const int64_t n = FetchThroughSlot(e);
    if (n < 0) {
        fError = true;
        return false;
    }
    fBlockPosition = e.uncompressedOffset;
    fBlockLength = n;
    return n > 0;
}

// Takes the block from this stream's slot when the worker decoded it there
// ahead of time, else decodes it here; then lets the worker decode the next one.
int64_t zcmpsSort_FileStream::FetchThroughSlot(const SortBlockEntry& e) {
    SortBlockQueue& queue = fShared->queue;
    SortBufferSlot& slot = fSlot->slot;
    int64_t length = -1;
    {
        sfMutex::Guard g(slot.lock);
        if (slot.full && slot.position == e.uncompressedOffset) {
            slot.data.swap(fBuffer);
            length = slot.length;
        }
        if (slot.full) slot.filled.TryWait();
        slot.full = false;
        slot.nextPosition = e.uncompressedOffset + e.uncompressedLength;
        if (slot.firstPosition < 0) slot.firstPosition = e.uncompressedOffset;
    }
    if (length < 0) length = queue.DecodeBlock(e, fBuffer.get());
    while (slot.consumed.TryWait()) {
    }
    slot.consumed.Post();
    queue.Wake();
    return length;
}
