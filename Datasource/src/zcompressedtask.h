// The background side of ZCompressed_FileStream: the process-wide pool of
// compression tasks, a task (two data buffers handed between the caller and
// the task's thread, and a compressed buffer), and the thread body.
//
// Hand-over: a buffer is free (1), being filled (2), ready (0) or being
// consumed (3). Writing, the caller fills a free buffer and marks it ready;
// the thread compresses ready buffers in position order, appends them to the
// file and frees them. Reading, the thread inflates blocks into free buffers
// and marks them ready; the caller consumes them in position order. The
// free-buffer semaphore counts free buffers (2 at the start), the ready-buffer
// semaphore ready ones; the finished semaphore tells Flush that the
// compressor has written everything. The buffer lock guards buffer states,
// sizes, positions and the current buffer; the position lock the position
// the reader wants next.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "threads.h"
#include "zlibblock.h"

class VESK_File;

// One block in the file; memory only.
struct ZBlockEntry {
    int64_t offset;       // file offset
    uint64_t storedSize;  // compressed size plus pad, a multiple of 16
    uint64_t pad;         // 0..15
    int64_t position;     // stream position of the block's first byte
    uint64_t size;        // uncompressed bytes
};

// Shared by a stream and its copies. blocks is appended by the compressor
// thread and read by the decompressor thread, never while the other runs;
// length belongs to the caller's thread.
struct ZCompressedData {
    std::vector<ZBlockEntry> blocks;
    int64_t length = 0;  // bytes taken by Write
    // The index of the block holding position; blocks.size() when none does.
    size_t FindBlock(int64_t position) const;
};

class ZCompressionTask {
public:
    enum Mode : uint8_t { kRead = 0, kWrite = 1 };
    enum BufferState { kReady = 0, kFree = 1, kFilling = 2, kConsuming = 3 };
    // How a read ended: the request was met; no more data will come; the
    // wanted position lies before what the task delivers; the task failed.
    enum ReadEnd { kDone, kEnd, kBehind, kFailed };

    struct Buffer {
        std::unique_ptr<char[]> data;
        uint64_t size = 0;
        int64_t position = -1;
        int state = kFree;
    };

    ZCompressionTask();
    virtual ~ZCompressionTask();
    ZCompressionTask(const ZCompressionTask&) = delete;
    ZCompressionTask& operator=(const ZCompressionTask&) = delete;

    // Makes the task serve the file (no thread may run): both buffers free,
    // fresh semaphores, the reader's first wanted position.
    void Bind(VESK_File* file, const std::string& name, std::shared_ptr<ZCompressedData> data, uint8_t mode,
              int64_t position);
    bool Serves(const ZCompressedData* data) const { return fData.get() == data; }
    uint8_t Mode() const { return fMode; }
    // errno of the first failure of the thread, 0 when none.
    int Error() const { return fError.load(std::memory_order_acquire); }

    // ---- caller's thread
    // Takes count bytes at the stream position into buffers; returns count,
    // or 0 once the task has failed.
    size_t WritePath(const char* data, size_t count, int64_t position);
    // Copies into out from position on, advancing both; done counts the bytes.
    ReadEnd ReadPath(char* out, size_t count, int64_t& position, size_t& done);
    // Writing: hands over the partial buffer and waits until the compressor
    // has written every ready buffer and ended.
    void FinishWriting();
    // Reading: tells the decompressor to end.
    void StopReading();
    // Wakes a thread blocked on the task (stop requests).
    void Wake();

    // ---- task's thread
    void Run();

    // Under the pool lock.
    int32_t fSlot = -1;
    int32_t fAge = 0;
    bool fEnding = false;  // its thread is being ended

private:
    Buffer* LowestReady();
    Buffer* TakeFree();
    void CompressorLoop();
    void CompressBuffer(Buffer& b);
    void DecompressorLoop();
    bool InflateBlock(const ZBlockEntry& e, Buffer& b);
    void Fail(int error);
    void Release(Buffer& b);

    uint8_t fMode = kWrite;
    VESK_File* fFile = nullptr;  // not owned
    std::string fFileName;
    Buffer* fCurrent = nullptr;
    sfMutex fBufferLock;
    sfMutex fPositionLock;
    std::unique_ptr<sfSemaphore> fFreeSem, fReadySem, fFinishedSem;
    std::shared_ptr<ZCompressedData> fData;
    Buffer fA, fB;
    std::unique_ptr<char[]> fCompressed;
    size_t fCompressedRoom;      // room for any block, compressed and padded
    zlibCompressBlock fCodec;    // level 1
    bool fEndAnnounced = false;  // writing: Flush asked the compressor to end
    int64_t fRequested = 0;      // under the position lock
    bool fAllDone = false;       // under the buffer lock: no more blocks will be inflated
    std::atomic<bool> fStop{false};
    std::atomic<int> fError{0};
};

// The thread body of a task.
class ZCompressionCallback : public CallBackObject {
public:
    explicit ZCompressionCallback(ZCompressionTask* task) : fTask(task) {}
    ~ZCompressionCallback() override;
    void Run() override;

protected:
    void OnStopRequested() override;

private:
    ZCompressionTask* fTask;
};

// The process-wide set of tasks and their threads (a one-thread pool per
// task, null while the task has none). A task is kept after its stream is
// done with it and is reused for the next stream, so its buffers are
// allocated once. A lock guards the vectors, so streams on different threads
// may acquire and flush at once; it is not held while waiting for a thread.
class ZCompressionPool {
public:
    // Never destroyed, so streams may live until the process ends.
    static ZCompressionPool& Instance();
    virtual ~ZCompressionPool();

    // The task serving data, started in mode: the one that served it before
    // when it is idle, else a new one while at most fLimit + 1 tasks exist,
    // else the idle task unused longest; when every task is busy the limit
    // grows by one. The caller's stream has no running task.
    int Acquire(VESK_File* file, const std::string& name, const std::shared_ptr<ZCompressedData>& data,
                uint8_t mode, int64_t position);
    // The task at index when it serves data and its thread runs; else null.
    ZCompressionTask* Running(int index, const ZCompressedData* data);
    // Ends the thread of the task serving data: writing waits until
    // everything is written. 1 when there was one, else 0; *error is the
    // errno of a failure of the ended thread (0 when none). The pool lock is
    // not held while the thread finishes.
    int Flush(const ZCompressedData* data, int* error);
    size_t TaskCount();

private:
    ZCompressionPool() = default;
    int PickSlot(const ZCompressedData* data);
    bool Idle(size_t index) const;
    static void EndThread(ZCompressionTask& task, std::unique_ptr<sfThreadPool> thread);

    sfMutex fLock;
    int32_t fLimit = 8;
    std::vector<std::unique_ptr<ZCompressionTask>> fTasks;
    std::vector<std::unique_ptr<sfThreadPool>> fThreads;
};
