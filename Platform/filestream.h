// Byte streams over POSIX files.
//
//   VESK_StrBaseIO  — the library's byte-stream interface.
//   VESK_File       — one open file descriptor with positioned reads and
//                     writes, reference counted so that stream copies share it.
//   VESK_FileStream — a buffered, seekable stream over a VESK_File, with
//                     optional read-ahead on a thread of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "refcount.h"
#include "textmb.h"
#include "vesk_export.h"

// ---------------------------------------------------------------- VESK_StrBaseIO

class VESK_EXPORT VESK_StrBaseIO {
public:
    enum SeekDirection { SeekFromStart = 0, SeekFromCurrent = 1, SeekFromEnd = 2 };

    virtual ~VESK_StrBaseIO() = default;
    // Clears the error and end-of-file state.
    virtual void Clear() = 0;
    // Nonzero while the stream is usable (no error).
    virtual int Good() const = 0;
    // Returns the bytes transferred; fewer than asked at end of file or on error.
    virtual size_t Read(void* buffer, size_t count) = 0;
    virtual size_t Write(const void* data, size_t count) = 0;
    // direction is a SeekDirection; 0 on success.
    virtual int Seek(int64_t offset, int direction) = 0;
    virtual int64_t Tell() const = 0;
    // Nonzero after a read that hit the end of the data.
    virtual int EndOfFile() const = 0;
};

// ---------------------------------------------------------------- fault injection

// A seam for tests that must see the file layer fail the way a full disk or a
// failing device makes it fail. While a hook is set, every write, close and
// sync of the file layer (VESK_File, VESK_ReplacingFile) and every rename of
// VESK_ReplacingFile asks it first. Without a hook (the default) the cost is
// one atomic load per call. Set it only while no other thread uses files.
class VESK_EXPORT VESK_FileFaults {
public:
    enum Operation { kWrite, kClose, kSync, kRename };
    // Returns 0 to let the call go ahead or an errno value to make it fail.
    // For kWrite, position is the file offset written at and *allowed holds
    // the bytes asked for; the hook may lower it and return an errno value:
    // that many bytes are written, then the write fails with that value. For
    // the other operations position is -1 and allowed null.
    using Hook = int (*)(Operation operation, int64_t position, size_t* allowed);
    // Null removes the hook.
    static void SetHook(Hook hook);
    // What the hook decides; 0 without a hook.
    static int Inject(Operation operation, int64_t position = -1, size_t* allowed = nullptr);
};

// ---------------------------------------------------------------- VESK_File

// Mode texts are those of the standard file-open function: one of r, w, a,
// optionally '+', then any of:
//   b  binary (no effect here)   t  text (no effect here)
//   x  fail when the file exists (with w)
//   T  temporary: a created file gets mode 0600 instead of 0666 & ~umask
//   D  delete on close: the file is unlinked when the VESK_File closes
// Any other letter makes Open fail with EINVAL.
struct VESK_EXPORT VESK_FileMode {
    bool read = false, write = false, create = false, truncate = false, append = false;
    bool exclusive = false, temporary = false, deleteOnClose = false;
    // False for a malformed mode text.
    bool Parse(const char* mode);
};

// An open file descriptor. Reads and writes name their file position and do
// not move any shared offset, so several streams (and threads) may use one
// VESK_File at once. Reference counts are not locked: copies of streams that
// share a VESK_File are made and destroyed on one thread.
class VESK_EXPORT VESK_File : public VESK_RefCntObject {
public:
    VESK_File();
    // closeOnDestruction false: the destructor leaves the descriptor open for
    // whoever took it with Descriptor(); deletion on close is then skipped too.
    explicit VESK_File(bool closeOnDestruction);
    ~VESK_File() override;
    // A copy holds a duplicate descriptor of the same open file (closed when
    // duplication fails) and never deletes the file on close.
    VESK_File(const VESK_File& other);
    VESK_File& operator=(const VESK_File&) = delete;

    // Opens (closing any file held before); false with errno set on failure.
    bool Open(const ExtNameStr& name, const char* mode);
    // Positioned transfers; they retry after EINTR and continue after short
    // transfers. They return the bytes moved: fewer than asked on end of file
    // (reads) or on an error, whose errno is stored through error when given
    // (0 when none) and left in errno.
    size_t Read(void* buffer, size_t count, int64_t position, int* error = nullptr);
    size_t Write(const void* data, size_t count, int64_t position, int* error = nullptr);
    // Current size of the file in bytes; -1 when closed or on error.
    int64_t Size() const;
    // Closes the descriptor, unlinking the file for mode 'D'. True when the
    // descriptor closed cleanly (or none was open); false with errno set.
    bool Close();

    // Write-behind for files that are to reach the disk anyway: each time
    // `bytes` more have been written, the system is asked to start writing
    // them out (sync_file_range), so that the disk works while the writer
    // goes on and a final fsync or close finds little left to do. 0 (the
    // default) leaves it to the system.
    void SetWriteBehind(size_t bytes);

    bool IsOpen() const { return fFd >= 0; }
    int Descriptor() const { return fFd; }
    const ExtNameStr& Name() const { return fName; }
    const VESK_FileMode& Mode() const { return fMode; }

private:
    int fFd = -1;
    bool fCloseOnDestruction = true;
    ExtNameStr fName;
    std::string fPath;  // the name handed to open(2), for unlinking
    VESK_FileMode fMode;
    // Write-behind: the range written since writing-out was last started.
    void NoteWritten(int64_t position, size_t count);
    size_t fWriteBehind = 0;
    std::mutex fWrittenMutex;  // writers on several threads
    size_t fUnstarted = 0;
    int64_t fUnstartedFrom = 0;
    int64_t fUnstartedTo = 0;
};

// ---------------------------------------------------------------- VESK_FileStream

// A buffered stream over a VESK_File.
//
// Buffering: one buffer per stream (64 KiB, or 1 MiB for a stream constructed
// with largeBuffer). Small reads and writes are served from it; transfers at
// least as large as the buffer bypass it. The first refill after a jump reads
// 4 KiB; each refill that continues sequentially reads twice as much, up to
// the buffer's size, so random access costs little more than it uses. Pending writes are written out by
// Seek (when it leaves the buffered range), Flush, Close, ClearAndReset and
// before any read. Tell is the logical position, counting buffered data.
//
// Write failures: a write that does not reach the file, including buffered
// bytes written out later by a call that cannot say so (Seek, a read, a copy
// of the stream), is remembered: Flush and Close then fail (return 0) until
// Clear, ClearAndReset or Open, so that a writer that checks Flush or Close
// learns of every lost byte. errno tells the first failure's cause.
//
// Copies share the open VESK_File and have their own position and buffer.
// A copy sees another copy's writes once the writer has flushed and the
// reader has called Flush (which also drops its read buffer) or moved outside
// its buffered range. The file is closed when the last copy closes.
//
// Read-ahead (EnableMultiThreadReading): a background thread reads the chunks
// that follow the reader's position into a ring of 4 buffers of 1 MiB; what
// Read returns is exactly what plain reading would return. A read after a
// jump idles the thread; it resumes at the reader's position once reading
// has been sequential long enough to fill a whole buffer. A Write discards
// the prepared data.
//
// Footprint: the stream buffer (64 KiB or 1 MiB) plus 4 MiB while read-ahead runs.
class VESK_EXPORT VESK_FileStream : public VESK_StrBaseIO {
public:
    static constexpr size_t kSmallBuffer = 64 * 1024;
    static constexpr size_t kLargeBuffer = 1024 * 1024;
    static constexpr size_t kFirstFill = 4 * 1024;
    static constexpr size_t kReadAheadChunk = 1024 * 1024;
    static constexpr int kReadAheadSlots = 4;

    VESK_FileStream();
    explicit VESK_FileStream(bool largeBuffer);
    // Shares the source's open file; starts at the source's position with an
    // empty buffer of the same size, without read-ahead. Pending writes of the
    // source are flushed first so that the copy reads them.
    VESK_FileStream(const VESK_FileStream& other);
    VESK_FileStream& operator=(const VESK_FileStream&) = delete;
    ~VESK_FileStream() override;

    void Clear() override;
    int Good() const override;
    size_t Read(void* buffer, size_t count) override;
    size_t Write(const void* data, size_t count) override;
    // Reading without a copy: points *data at the bytes buffered from the
    // position on (filling the buffer first when it holds none there) and
    // returns their count, 0 at the end of the file, on an error or when the
    // stream cannot read. The position stays; a Seek moves it past what was
    // used. The bytes stay valid until a call other than Seek, Tell, Good or
    // EndOfFile on this stream (copies have buffers of their own). They are
    // the file's bytes, as this class's Read returns them, also in subclasses
    // that transform what they read: those must not be peeked at.
    size_t Peek(const void** data);
    // Positions below 0 are refused (-1, position unchanged); an unknown
    // direction gives -2. Seeking past the end is allowed; a write there
    // extends the file. Clears end of file.
    int Seek(int64_t offset, int direction) override;
    int64_t Tell() const override;
    int EndOfFile() const override;

    // Open closes the stream first if it is open. The password of the
    // three-argument forms is not used by plain files; the forms exist so that
    // streams over protected files share the signature. Nonzero on success;
    // on failure errno tells why.
    virtual int Open(const char* name, const char* mode);
    virtual int Open(const char* name, const char* password, const char* mode);
    virtual int Open(const ExtNameStr& name, const char* mode);
    virtual int Open(const ExtNameStr& name, const ExtNameStr& password, const char* mode);
    // Writes out pending data, then clears error and end-of-file state and the
    // buffers; the file stays open and the position becomes 0.
    virtual void ClearAndReset();
    // The name of the file last opened (kept after Close).
    virtual ExtNameStr GetNameStr() const;
    // Both forms write out pending data, stop read-ahead and release this
    // stream's share of the file (closing it when no other copy holds it).
    // Nonzero when the stream was open, everything written since the last
    // Clear reached the file and the file (if closed) closed cleanly.
    virtual int Close() const;
    virtual int Close();
    // Writes out pending data and drops the read buffer; nonzero when
    // everything written since the last Clear reached the file.
    virtual int Flush();
    // The generic form of the name of the file last opened ("" when none).
    virtual const char* Name() const;
    // Buffer memory of the stream in bytes (see the class comment).
    virtual uint32_t Footprint() const;

    // Write-behind on the open file (VESK_File::SetWriteBehind); copies
    // share it.
    void SetWriteBehind(size_t bytes);

    // Starts read-ahead; nonzero when it runs (the stream must be open for
    // reading). Close and DisableMultiThreadReading stop it.
    int EnableMultiThreadReading();
    void DisableMultiThreadReading();
    bool MultiThreadReading() const;

protected:
    // The open file, null when the stream is closed.
    VESK_File* GetFile() const;
    // Nonzero when the stream has an open file and no error.
    int DataReady() const;
    // For subclasses that move data themselves: set the logical position and
    // the end-of-file and error state (the stream's buffer is dropped).
    void SetPosition(int64_t position);
    void SetEndOfFile(bool eof);
    void SetError();

private:
    struct VESK_NO_EXPORT State;
    class VESK_NO_EXPORT ReadAhead;
    std::unique_ptr<State> fState;
};
