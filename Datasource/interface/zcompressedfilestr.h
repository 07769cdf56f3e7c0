// Compressed temporary streams and the process-wide storage switches.
//
//   SETZCOMPRESSION ... GETASYNCHREADING — plain functions with unmangled
//       names: compression of temporary files, asynchronous reading of system
//       files, and whether the environment lets them be changed.
//   ZCompressed_FileStream — a write-once stream whose data lives in the file
//       as zlib blocks, compressed and decompressed on a background thread.
//   zcmpsSort_FileStream   — the stream of sort and merge runs: blocks
//       compressed on a worker thread, read back by any number of copies.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "filestream.h"
#include "vesk_export.h"

extern "C" {
// Temporary-file compression (0 or 1, initially 0). When the environment
// variable CACHE_SYNTAX_OVERRIDE is unset or begins with '1', mode 1 or 3
// turns it on and any other mode off, and *result is 0. Otherwise nothing
// changes and *result is 20 when the variable begins with '0', else 0.
VESK_EXPORT void SETZCOMPRESSION(const int32_t* mode, int64_t* result);
VESK_EXPORT int64_t GETZCOMPRESSION();
// 1 when CACHE_SYNTAX_OVERRIDE is unset or begins with '1' (the switches may
// be changed), else 0.
VESK_EXPORT int64_t GETZCOMPRESSIONOA();
// Asynchronous reading of system files (initially on): on for mode 1 or 3,
// off otherwise. Iterators made afterwards follow it.
VESK_EXPORT void SETASYNCHREADING(const int64_t* mode);
VESK_EXPORT int64_t GETASYNCHREADING();
}

struct ZCompressedData;
struct SortStreamShared;
struct SortSlotRegistration;
struct SortBlockEntry;

// A stream written sequentially from position 0, then read (writing may go
// on after a Flush, at the end). Its bytes are cut into blocks of at most
// kBlockSize; each block is compressed at zlib level 1 on a background thread
// and stored in the file as one zlib stream padded to a multiple of 16 bytes.
// The file carries no index: the block index lives with the stream (shared by
// its copies), so only this stream and its copies can read the data back.
//
// Threads: the work is done by a task of the process-wide ZCompressionPool,
// which runs one thread per active task. Write hands whole blocks to it; Flush
// (or Close) waits until every written byte is in the file and ends the
// thread. Read starts a task that decompresses ahead of the reader; a read
// behind the decompressor, or after the end was met, restarts it at the
// reader's position, so reads may come in any order (forward reads are cheap,
// backward ones cost a block). Copies share the task and the index and must be
// used from one thread at a time; distinct streams may be used from distinct
// threads.
//
// Errors: a failed write or read of the file (disk full, say) or a block that
// does not inflate sets the stream's error (Good() 0, later transfers move
// nothing). Non-sequential writes are a misuse (assertion
// "bufsize == target-fBuffer").
class VESK_EXPORT ZCompressed_FileStream : public VESK_FileStream {
public:
    static constexpr size_t kBlockSize = 4193280;  // 0x3FFC00

    explicit ZCompressed_FileStream(bool largeBuffer = false);
    // Opens the file as VESK_FileStream::Open does (check Good()).
    ZCompressed_FileStream(const char* name, const char* mode, bool largeBuffer);
    // Shares the source's file, task and block index.
    ZCompressed_FileStream(const ZCompressed_FileStream& other);
    ZCompressed_FileStream& operator=(const ZCompressed_FileStream&) = delete;
    // Flushes, then closes the file as the base does.
    ~ZCompressed_FileStream() override;

    size_t Read(void* buffer, size_t count) override;
    size_t Write(const void* data, size_t count) override;
    // As the base, except that the end is the end of the uncompressed data.
    int Seek(int64_t offset, int direction) override;
    using VESK_FileStream::Open;
    // Every Open form comes here: the stream flushes and starts empty on the new file.
    int Open(const ExtNameStr& name, const char* mode) override;
    using VESK_FileStream::Close;
    // Flushes; the file stays open. 1, or 0 after a failed write.
    int Close() override;
    // Writing: waits until everything written is in the file. Both modes end
    // the task's thread. 1, or 0 after a failed write.
    int Flush() override;
    // Two blocks.
    uint32_t Footprint() const override;

    // Bytes written so far (the uncompressed length).
    int64_t Length() const;
    // Blocks in the file (complete after Flush).
    size_t BlockCount() const;

private:
    class ZCompressionTask* ActiveTask(uint8_t mode, int64_t position);
    size_t ReadAt(char* out, size_t count, int64_t& position);

    int32_t fTaskIndex = -1;
    std::shared_ptr<ZCompressedData> fData;
};

// The stream of sort and merge runs. Written sequentially from position 0;
// each full block of kBlockSize bytes is compressed by a worker thread and
// appended to the file, padded to a multiple of 16 bytes when the pad flag is
// set. After writing (Flush, then the first Read; or a copy) the stream and
// any number of copies read the data, each at its own position; the worker
// decodes ahead the block each copy will want next.
//
// Threads: one worker thread per opened stream family. A stream and each of
// its copies may be used from different threads at once; one stream object
// from one thread at a time. The worker, its queue and the block index are
// shared by the stream and its copies and go with the last of them, so
// copies may outlive the stream they were copied from.
//
// Errors: failed file writes or reads and blocks that do not decode set the
// stream's error (Good() 0); writing after reading started and
// non-sequential writes are misuses (assertions).
class VESK_EXPORT zcmpsSort_FileStream : public VESK_FileStream {
public:
    static constexpr size_t kBlockSize = 4190208;  // 0x3FF000

    zcmpsSort_FileStream();
    explicit zcmpsSort_FileStream(bool pad);
    // Opens the file (check Good()).
    zcmpsSort_FileStream(const char* name, const char* mode, bool pad);
    // Ends the source's writing and becomes a second reader of the same data,
    // starting at the source's position.
    zcmpsSort_FileStream(const zcmpsSort_FileStream& other);
    zcmpsSort_FileStream& operator=(const zcmpsSort_FileStream&) = delete;
    ~zcmpsSort_FileStream() override;

    void Clear() override;
    // Nonzero while the stream is open and no transfer failed.
    int Good() const override;
    size_t Read(void* buffer, size_t count) override;
    size_t Write(const void* data, size_t count) override;
    // From the end: offset plus the uncompressed length (writing ends first).
    // Always 0; positions are not checked.
    int Seek(int64_t offset, int direction) override;
    using VESK_FileStream::Open;
    // Opens the file through the worker and starts its thread; nonzero on
    // success (errno tells why not).
    int Open(const char* name, const char* mode) override;
    int Open(const ExtNameStr& name, const char* mode) override;
    using VESK_FileStream::Close;
    // Releases this stream's share of the worker, queue and index; the last
    // share stops the thread and closes the file. 1, or 0 after a failure.
    int Close() override;
    // Writing: hands a partly filled block to the worker. 1, or 0 after a failure.
    int Flush() override;
    const char* Name() const override;
    uint32_t Footprint() const override;

private:
    void HandOver();
    void FinishWriting();
    bool LoadBlock(int64_t position);
    int64_t FetchThroughSlot(const SortBlockEntry& e);
    bool Failed() const;

    std::unique_ptr<char[]> fBuffer;
    int64_t fBlockPosition = -1;  // stream position of fBuffer[0]
    int64_t fBlockLength = 0;     // valid bytes when reading, filled bytes when writing
    bool fPad = false;
    bool fError = false;
    std::string fName;
    std::shared_ptr<SortStreamShared> fShared;
    std::unique_ptr<SortSlotRegistration> fSlot;
};
