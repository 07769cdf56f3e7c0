// The worker side of zcmpsSort_FileStream: the file with its own position
// (IOWorker, compressWorker), the block index, the buffer slots through which
// blocks pass between the streams and the worker thread, the queue of slots,
// and the thread body (workerCallBackObject).
//
// Locks, always taken in this order: the queue's list lock (slot list), a
// slot's lock (its fields and data), the queue's I/O lock (the worker's file
// position and its compressed scratch buffer).
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "filestream.h"
#include "threads.h"
#include "zlibblock.h"

// The file of a sort stream, read and written at its own position.
class IOWorker : private VESK_File {
public:
    explicit IOWorker(bool pad) : fPad(pad) {}
    virtual ~IOWorker();
    // Compresses srcLen bytes into dst (room *dstLen); the compressed length.
    virtual size_t compress(const char* src, size_t srcLen, char* dst, size_t* dstLen);
    // Inflates srcLen bytes into dst (room *dstLen); the inflated length, 0
    // when the block does not decode.
    virtual size_t decompress(const char* src, size_t srcLen, char* dst, size_t* dstLen);

    // False with errno set on failure.
    bool Open(const std::string& name, const char* mode);
    bool Close();
    void SetPosition(int64_t position) { fPosition = position; }
    // Transfer at the position and advance it by what moved; errno of a failure in *error.
    size_t Write(const void* data, size_t count, int* error);
    size_t Read(void* buffer, size_t count, int* error);
    bool Pad() const { return fPad; }
    const std::string& FileName() const { return fFileName; }

private:
    std::string fFileName;
    int64_t fPosition = 0;
    bool fPad;
};

// An IOWorker that compresses with the block compressor.
class compressWorker : public IOWorker {
public:
    explicit compressWorker(bool pad) : IOWorker(pad) {}
    ~compressWorker() override;
    size_t compress(const char* src, size_t srcLen, char* dst, size_t* dstLen) override;
    size_t decompress(const char* src, size_t srcLen, char* dst, size_t* dstLen) override;

private:
    zlibCompressBlock fBlock;
};

struct SortBlockEntry {
    int64_t uncompressedOffset;
    int64_t uncompressedLength;
    int64_t compressedOffset;
    int64_t compressedLength;
    int64_t pad;
};

// Blocks in stream order. Appended by the worker, looked up by readers on any thread.
class SortBlockIndex {
public:
    void Append(const SortBlockEntry& e);
    // The block holding position p: false when p < 0 or p > the uncompressed
    // length; at the very end, the last block.
    bool Lookup(int64_t p, SortBlockEntry& e) const;
    int64_t TotalUncompressed() const;
    int64_t TotalCompressed() const;

private:
    mutable sfMutex fLock;
    std::vector<SortBlockEntry> fEntries;
    int64_t fTotalUncompressed = 0;
    int64_t fTotalCompressed = 0;
};

// Where one block passes between a stream and the worker. The first slot of a
// queue is the writer's: the stream fills it and the worker compresses it.
// The others belong to reading copies: the worker decodes into them the block
// their reader wants next.
struct SortBufferSlot {
    SortBufferSlot();
    std::unique_ptr<char[]> data;
    int64_t length = 0;         // valid bytes
    int64_t position = -1;      // uncompressed offset of data[0]
    int64_t nextPosition = -1;  // the offset the reader will want next
    int64_t firstPosition = -1;
    bool full = false;          // reading: holds a decoded block not yet taken
    sfSemaphore filled{0};      // posted for every block put in the slot
    sfSemaphore consumed{0};    // posted when the slot may be filled again
    sfMutex lock;
    int32_t registration = -1;
};

class SortBlockQueue {
public:
    SortBlockQueue(compressWorker& worker, SortBlockIndex& index);
    // The slot joins the list; the first becomes the writer's.
    void Register(SortBufferSlot* slot);
    void Unregister(SortBufferSlot* slot);

    // ---- worker thread (both false when there was nothing to do)
    // Compresses and appends the writer's slot when it is filled.
    bool WriteStep();
    // Decodes, into one reading slot, the block its reader wants next (the
    // writer's slot too once writing is over).
    bool ReadAheadStep();
    // ---- any thread
    // Decodes the block into out (room kBlockSize); its length, or -1 on failure.
    int64_t DecodeBlock(const SortBlockEntry& e, char* out);
    // errno of the first failure, 0 while none.
    int Error() const { return fError.load(); }
    void Fail(int error);
    // Wakes the worker (work arrived, or a stop).
    void Wake() { fWork.Post(); }
    bool WaitForWork(unsigned milliseconds) { return fWork.WaitFor(milliseconds); }
    std::atomic<bool> fFinalised{false};

private:
    bool FillSlot(SortBufferSlot& slot);
    // Under the I/O lock.
    void AppendBlock(const char* data, int64_t length);

    compressWorker& fWorker;
    SortBlockIndex& fIndex;
    std::list<SortBufferSlot*> fSlots;
    SortBufferSlot* fWriterSlot = nullptr;
    sfMutex fIOLock;
    sfMutex fListLock;
    int32_t fRegistrations = 0;
    int64_t fNextUncompressed = 0;
    int64_t fNextCompressed = 0;
    std::unique_ptr<char[]> fScratch;  // compressed bytes, under the I/O lock
    size_t fScratchRoom;
    sfSemaphore fWork{0};
    std::atomic<int> fError{0};
};

// The worker thread: in write mode it compresses what the writer hands over,
// in read mode it decodes ahead for the reading copies, until stopped.
class workerCallBackObject : public CallBackObject {
public:
    explicit workerCallBackObject(SortBlockQueue& queue) : fQueue(queue) {}
    ~workerCallBackObject() override;
    void Run() override;
    // Called once the writer's last block was written.
    void SetReadMode();
    void Stop();

protected:
    void OnStopRequested() override { fQueue.Wake(); }

private:
    std::atomic<bool> fWriteMode{true};
    std::atomic<bool> fReadMode{false};
    std::atomic<bool> fStopFlag{false};
    SortBlockQueue& fQueue;
};

// Everything a sort stream shares with its copies; the last of them destroys
// it, which stops the thread and closes (and, for mode 'D', deletes) the file.
struct SortStreamShared {
    explicit SortStreamShared(bool pad);
    ~SortStreamShared();
    SortStreamShared(const SortStreamShared&) = delete;
    SortStreamShared& operator=(const SortStreamShared&) = delete;

    compressWorker worker;
    SortBlockIndex index;
    SortBlockQueue queue;
    workerCallBackObject callback;
    sfThreadPool thread{1, 0};
    // Writing state of the stream that writes (used on its thread only).
    bool writing = true;
    bool awaitingConsumed = false;  // a handed-over block is not yet written
    int64_t handedOver = 0;         // bytes handed to the worker so far
};

// One stream's slot in the shared queue, unregistered when it goes.
struct SortSlotRegistration {
    SortSlotRegistration(SortStreamShared& shared);
    ~SortSlotRegistration();
    SortSlotRegistration(const SortSlotRegistration&) = delete;
    SortSlotRegistration& operator=(const SortSlotRegistration&) = delete;

    SortStreamShared& shared;
    SortBufferSlot slot;
};
