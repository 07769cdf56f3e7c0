// The zlib block layer of compression-code-2 system files.
//
// From a given file offset (_row0pos) on, the bytecode stream of a system
// file is kept as zlib-compressed blocks:
//
//   _row0pos:        zheader   int64 zheader_ofs (= _row0pos)
//                              int64 ztrailer_ofs
//                              int64 ztrailer_len (= 24 + 24 * n_blocks)
//   _row0pos + 24:   block 0, block 1, ... block n-1, back to back
//   ztrailer_ofs:    ztrailer  int64 bias (= -100), int64 zero (= 0),
//                              int32 block_size, int32 n_blocks,
//                              n_blocks entries of
//                                int64 uncompressed_ofs, int64 compressed_ofs,
//                                int32 uncompressed_size, int32 compressed_size
//   end of file = ztrailer_ofs + ztrailer_len
//
// Block k holds stream bytes [k * block_size, (k+1) * block_size); every block
// but the last is full. Each block is one zlib stream (see zlibblock.h).
// uncompressed_ofs is the offset the byte would have in an uncompressed
// (code 1) file, and that offset is also the logical position that Tell and
// Seek use here. All integers are in the file's byte order.
//
// The zcmps namespace is the one description of that layout: constants,
// record shapes and byte-order helpers, used by the stream and by tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "filestream.h"
#include "zlibblock.h"

class sfThreadPool;

namespace zcmps {

constexpr int32_t kBlockSize = 4190208;  // 0x3FF000
constexpr int64_t kHeaderLen = 24;
constexpr int64_t kTrailerHeadLen = 24;
constexpr int64_t kEntryLen = 24;
constexpr int64_t kBias = -100;
// Largest block size a reader accepts; bounds the buffer a block can ask for.
constexpr int32_t kMaxReadBlockSize = 64 * 1024 * 1024;

struct Header {
    int64_t zheaderOfs = 0;
    int64_t ztrailerOfs = 0;
    int64_t ztrailerLen = 0;
};

struct TrailerHead {
    int64_t bias = kBias;
    int64_t zero = 0;
    int32_t blockSize = kBlockSize;
    int32_t nBlocks = 0;
};

struct Entry {
    int64_t uncompressedOfs = 0;
    int64_t compressedOfs = 0;
    int32_t uncompressedSize = 0;
    int32_t compressedSize = 0;
};

// Integers in the file's order (through ByteOrder): reversed means opposite to
// this machine's.
void Put32(uint8_t* p, int32_t v, bool reversed);
void Put64(uint8_t* p, int64_t v, bool reversed);
int32_t Get32(const uint8_t* p, bool reversed);
int64_t Get64(const uint8_t* p, bool reversed);

void EncodeHeader(uint8_t out[kHeaderLen], const Header& h, bool reversed);
Header DecodeHeader(const uint8_t in[kHeaderLen], bool reversed);
void EncodeTrailerHead(uint8_t out[kTrailerHeadLen], const TrailerHead& t, bool reversed);
TrailerHead DecodeTrailerHead(const uint8_t in[kTrailerHeadLen], bool reversed);
void EncodeEntry(uint8_t out[kEntryLen], const Entry& e, bool reversed);
Entry DecodeEntry(const uint8_t in[kEntryLen], bool reversed);

// Uninitialised memory for a block or its compressed bytes. Blocks are
// megabytes, so the memory is asked for in huge pages where the system offers
// them: one page fault instead of hundreds when a buffer is first touched.
// resize keeps the contents only while it stays within the capacity.
class BlockBuffer {
public:
    uint8_t* data() const { return fBytes.get(); }
    size_t size() const { return fSize; }
    size_t capacity() const { return fCapacity; }
    void resize(size_t n);
    void swap(BlockBuffer& other) noexcept;
    void release();

private:
    struct Free {
        void operator()(uint8_t* p) const;
    };
    std::unique_ptr<uint8_t[], Free> fBytes;
    size_t fSize = 0;
    size_t fCapacity = 0;
};

}  // namespace zcmps

// A VESK_StrBaseIO whose bytes from a file offset on are kept as zlib blocks.
//
// Lifetime: the constructor takes a copy of the given open VESK_FileStream
// that shares its open file, so the caller's stream need not outlive the
// constructor and may even be closed; the file stays open until this object
// is destroyed. While this object writes, the caller must not write the same
// file region through its own stream, and it should Flush its stream (which
// drops stale buffered data) before reading what was written here.
//
// Writing: setRow0Pos (offset) writes a provisional zheader there; Write then
// takes the stream sequentially; Close writes the last block and the ztrailer,
// patches the zheader and cuts the file at the end of the trailer.
// Destruction closes too but cannot report errors; call Close.
//
// Reading: readFilePosInfo (offset, reversed) checks the zheader and ztrailer
// (malformed: error 1204; short file: 1205) and loads the block index; then
// Read, Seek, Tell and EndOfFile work on logical positions (zheader_ofs +
// uncompressed offset). A block is inflated when first touched; a block that
// does not inflate to its stated size raises 1204 from Read.
//
// Appending: setFileToAppend (position, reversed) after readFilePosInfo keeps
// the stream up to the logical position given (usually its end), drops the
// trailer and the rest, and continues writing from there; Close writes the
// new trailer.
//
// Threads: setMultiThread (1) makes writing compress blocks on a pool of
// worker threads (blocks still reach the file in order, and the bytes are
// identical to single-threaded writing at the same level) and makes reading
// inflate the following blocks ahead of the reader on a thread of its own
// while it reads block after block (a jump to another block idles it).
// The object itself is used from one thread at a time.
class zcmpsFilestr : public VESK_StrBaseIO {
public:
    static constexpr int kDefaultWorkers = 2;
    static constexpr int kReadAheadDepth = 2;

    // file must be open (for reading and writing as the use requires).
    explicit zcmpsFilestr(const VESK_FileStream& file);
    ~zcmpsFilestr() override;
    zcmpsFilestr(const zcmpsFilestr&) = delete;
    zcmpsFilestr& operator=(const zcmpsFilestr&) = delete;

    // Nonzero: compress on worker threads when writing, inflate ahead when
    // reading. Takes effect at once (pending work is finished first).
    void setMultiThread(int on);
    int MultiThread() const { return fMultiThread ? 1 : 0; }
    // Number of compression workers used by setMultiThread (1); default 2.
    // Must be set before writing starts.
    void setWorkerCount(int workers);
    // Compression level, 0 to 12 (default 1). Must be set before writing starts.
    void setCompressionLevel(int level);

    // Starts a new data area at offset, in the given byte order.
    void setRow0Pos(int64_t offset, bool reversed = false);
    // Validates the data area at offset and prepares reading it.
    void readFilePosInfo(int64_t offset, bool reversed);
    // Prepares appending at logical position (between the start and the end of
    // the data area read by readFilePosInfo). Without a prior readFilePosInfo,
    // position is taken as the start of the data area, which is read first,
    // and appending begins at its end.
    void setFileToAppend(int64_t position, bool reversed);

    // Writing: finishes the data area (see above). Reading: stops read-ahead
    // and frees the buffers. Nonzero on success; errors are raised.
    int Close();
    // Writing: waits until every completed block is in the file. Nonzero.
    int Flush();
    // Buffer memory in bytes: block buffers, compressed buffers, read-ahead.
    uint32_t Footprint() const;

    // Logical size of the stream: position of its end.
    int64_t EndPosition() const;
    int NumberOfBlocks() const;

    void Clear() override;
    int Good() const override;
    size_t Read(void* buffer, size_t count) override;
    size_t Write(const void* data, size_t count) override;
    // Reading: any position at or after the start of the data area (reads past
    // the end give 0 bytes). Writing: only the current position. 0 on success.
    int Seek(int64_t offset, int direction) override;
    int64_t Tell() const override;
    int EndOfFile() const override;

private:
    class HeldFile;
    struct WriteSlot;
    class ReadAhead;
    enum class Mode { Idle, Reading, Writing };

    void ThrowMalformed() const;
    void ThrowShortRead(int error) const;
    void LoadBlock(int64_t k);
    void StopReadAhead();
    void BeginWriting();
    void SubmitCurrent();
    void RetireSlot(WriteSlot& slot);
    void DrainWrites();
    void WriteAt(const void* data, size_t count, int64_t position);
    void Finish();
    void ResetToIdle();

    std::unique_ptr<HeldFile> fFile;
    Mode fMode = Mode::Idle;
    bool fReversed = false;
    bool fMultiThread = false;
    int fWorkers = kDefaultWorkers;
    int fLevel = zlibCompressBlock::kDefaultLevel;
    bool fError = false;
    bool fEof = false;

    // The data area.
    int64_t fRow0 = 0;             // zheader_ofs
    int32_t fBlockSize = zcmps::kBlockSize;
    std::vector<zcmps::Entry> fEntries;
    int64_t fEnd = 0;              // logical end position
    int64_t fPos = 0;              // logical position

    // Reading.
    zcmps::BlockBuffer fBlock;     // inflated block fBlockIndex
    int64_t fBlockIndex = -1;
    int64_t fLastLoaded = -1;      // the block loaded before, while read-ahead runs
    zcmps::BlockBuffer fPacked;    // compressed bytes of a block
    std::unique_ptr<zlibCompressBlock> fInflater;
    std::unique_ptr<ReadAhead> fReadAhead;

    // Writing: a ring of slots; fFill is the one being filled.
    std::vector<std::unique_ptr<WriteSlot>> fSlots;
    size_t fFill = 0;
    int64_t fNextCompressedOfs = 0;
    std::unique_ptr<sfThreadPool> fPool;
};
