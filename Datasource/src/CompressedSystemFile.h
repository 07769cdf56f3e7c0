// The bytecode of a system file's data area (compression codes 1 and 2), and
// positioning on its rows.
//
// The data area is a run of command blocks: 8 command bytes, then the raw
// cells the block calls for (one per code 253). Blocks run across case
// boundaries. A row's logical position is the byte offset, from the first
// case, of the block holding its first command byte, plus that byte's index
// in the block (0..7).
//
// Reading goes through an internal buffer that the codec fills with large
// reads, so decoding a block costs no stream call; before each refill the
// codec re-seeks the stream if someone else moved it (iterators of one
// "$FL3" file share one stream). A plain VESK_FileStream (not a subclass) is
// read without a copy, from its own buffer; such a stream must then be used
// by this codec alone while it reads. Writing collects whole blocks in an
// internal buffer and writes them out in bulk; to a file stream, on a thread
// of its own while the next buffer is encoded (a failed write is then
// reported by a later WriteRow, or by Flush at the latest).
#pragma once

#include <cstdint>
#include <memory>

#include "SystemFileOptions.h"
#include "obs.h"

class VESK_StrBaseIO;
class VESK_FileStream;
class VESK_SparseFileIndex;
class BackgroundWriter;

class CompressedSystemFile {
public:
    static constexpr int kKeySize = 8;  // command bytes per block

    // stream, options and index are not owned and must outlive the codec; the
    // index may be null (every positioning then walks from the first row).
    // The cells per case are taken from options->_cellsPerCase now. The
    // stream is positioned at row0pos, the start of the data area.
    CompressedSystemFile(VESK_StrBaseIO* stream, SystemFileOptions* options, VESK_SparseFileIndex* index,
                         int64_t row0pos);
    // Writes out rows not yet flushed, dropping any error: call Flush first to
    // learn of a failed write.
    ~CompressedSystemFile();
    CompressedSystemFile(const CompressedSystemFile&) = delete;
    CompressedSystemFile& operator=(const CompressedSystemFile&) = delete;

    // ---- rows

    // The row the next ReadRow delivers (nothing is read yet).
    void SetTargetRow(int64_t row);
    int64_t TargetRow() const { return fTargetRow; }
    // The row the codec stands at.
    int64_t CurrentRow() const { return fCurrentRow; }

    // Decodes the target row into cells (CellsPerCase of them), reversing the
    // raw cells whose swap flag is set when flags are given (one per cell).
    // Returns the cell count, or 0 when the data ends before the row. Data
    // that ends inside a row or inside a block raises SystemFileException 1205.
    long ReadRow(OBS* cells, const uint8_t* swapFlags = nullptr);
    // Reads up to n rows as n calls of ReadRow would, row k to into + k *
    // stride; returns the rows read, fewer only at the end of the data.
    int64_t ReadRows(OBS* into, size_t stride, int64_t n, const uint8_t* swapFlags = nullptr);

    // Moves to the target row, walking from the nearest indexed row and
    // indexing the rows it passes; when the data holds fewer rows, stops at
    // the end of the data and makes that row the target. Returns the row's
    // logical position.
    int64_t PositionOnTarget();

    // Appends one row (CellsPerCase cells) at the current row.
    void WriteRow(const OBS* cells);
    // Writes out everything encoded so far, the open block padded with code
    // 0, and flushes the stream when it is a file stream. Rows written later
    // rewrite that padded block in place. A failed write raises
    // SystemFileException 1202.
    void Flush();
    // Readies the codec to append rows after the first `row` rows of an
    // existing data area (fewer when the data holds fewer). With reopen, the
    // stream (which must then be a VESK_FileStream) is closed and opened again
    // in mode "r+b" with the options' password (failure: 1201).
    void PrepareAppend(int64_t row, bool reopen);

    // ---- the codec's steps

    long CellsPerCase() const { return fCells; }
    // The logical position of the next command byte.
    int64_t Tell() const;
    // Moves to a logical position (one that Tell gave).
    void SeekLogical(int64_t position);
    // Encodes one case; blocks are written out as they fill.
    void EncodeCase(const OBS* cells);
    // Reads the next block; returns 0 at a clean end of the data, else the
    // block's cell count (raw cells + 1).
    int ReadBlock();
    // Decodes or skips one case; n, or 0 when the data ends before the case.
    long DecodeCase(OBS* cells, const uint8_t* swapFlags = nullptr);
    long SkipCase();
    // Reads the block at the current position and advances to command k.
    void PositionInBlock(int k);

private:
    enum Mode { kIdle, kReading, kWriting };

    // True when `bytes` unread bytes stand in the read buffer, refilling it if need be.
    bool Ensure(size_t bytes) { return fBufLen - fBufPos >= bytes || Refill(bytes); }
    bool Refill(size_t bytes);
    bool TakeView(int64_t at, size_t bytes);
    void KeepRest();
    bool TakeCleanBlock(long& need);
    int64_t SkipRows(int64_t row, int64_t target);
    void WriteOut(size_t bytes);
    void HandOff(size_t bytes);
    void WaitForWriter();
    void EnterWriting();
    template <bool kSwap>
    void DecodeRun(OBS* out, int count, const uint8_t* swapFlags);
    long DecodeBuffered(OBS* cells, long n);
    long DecodeRest(OBS* cells, long iCell, const uint8_t* swapFlags);
    // Gives the index the current row at position, when it is due one.
    void OfferRow(int64_t position);
    // Tell without its checks, for the step every row takes.
    int64_t Here() const {
        const int64_t filepos =
            fMode == kWriting ? fOutStreamPos + int64_t(fOutLen) : fBufStreamPos + int64_t(fBufPos);
        return (filepos - fRow0) + (fPos == kKeySize ? 0 : fPos - fBlockBytes);
    }

    VESK_StrBaseIO* fStream;
    VESK_FileStream* const fPeekable;  // fStream when it is read without a copy
    SystemFileOptions* fOptions;
    VESK_SparseFileIndex* fIndex;
    const int64_t fRow0;
    const long fCells;
    int64_t fCurrentRow = 0;
    int64_t fTargetRow = 0;
    int64_t fLastRowPos = 0;  // where the last row read starts; -1 after a run of rows (unknown)
    // Reading in order and writing offer the index a row only from this position on.
    int64_t fOfferFrom = 0;
    Mode fMode = kIdle;
    bool fDirty = false;
    bool fEnd = false;

    // The block in use: its command bytes and raw cells, in the read buffer
    // while reading, at fOut + fOutLen while writing.
    const uint8_t* fCmd = nullptr;
    const uint8_t* fRaw = nullptr;
    int fPos = kKeySize;    // next command byte; kKeySize: the block is used up
    int fRawIndex = 0;      // next raw cell of the block
    int fBlockBytes = 0;    // bytes the block took from the stream (0 while writing)
    bool fClean = false;    // the block has no code 0 or 252

    // Bytes read: [0, fBufLen) of fData stand at stream position
    // fBufStreamPos. fData is fBuf, or the file stream's buffer, valid until
    // the codec's next read from the stream.
    const uint8_t* fData = nullptr;
    std::unique_ptr<uint8_t[]> fBuf;
    size_t fBufPos = 0;
    size_t fBufLen = 0;
    size_t fFill = 0;  // the next refill's size; grows while reading sequentially
    int64_t fBufStreamPos;

    // Write buffer: bytes [0, fOutLen) go to stream position fOutStreamPos;
    // the open block follows them.
    std::unique_ptr<uint8_t[]> fOut;
    size_t fOutLen = 0;
    int64_t fOutStreamPos;
    // File streams only: the buffer being written meanwhile, and its writer.
    std::unique_ptr<uint8_t[]> fOutInFlight;
    std::unique_ptr<BackgroundWriter> fWriter;
};
