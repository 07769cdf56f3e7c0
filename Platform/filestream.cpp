#define VESK_SOURCE_NAME "Platform/filestream"
#include "filestream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "vesk_assert.h"

namespace {

// Largest single pread/pwrite request; larger transfers loop.
constexpr size_t kMaxSyscallBytes = size_t(1) << 30;

// Keeps errno across cleanup that may change it.
class ErrnoSaver {
public:
    ErrnoSaver() : fErrno(errno) {}
    ~ErrnoSaver() { errno = fErrno; }

private:
    int fErrno;
};

std::atomic<VESK_FileFaults::Hook> gFaultHook{nullptr};

}  // namespace

// ---------------------------------------------------------------- VESK_FileFaults

void VESK_FileFaults::SetHook(Hook hook) { gFaultHook.store(hook); }

int VESK_FileFaults::Inject(Operation operation, int64_t position, size_t* allowed) {
    const Hook hook = gFaultHook.load(std::memory_order_relaxed);
    return hook ? hook(operation, position, allowed) : 0;
}

// ---------------------------------------------------------------- VESK_FileMode

bool VESK_FileMode::Parse(const char* mode) {
    *this = VESK_FileMode();
    if (!mode) return false;
    switch (mode[0]) {
        case 'r': read = true; break;
        case 'w': write = create = truncate = true; break;
        case 'a': write = create = append = true; break;
        default: return false;
    }
    for (const char* p = mode + 1; *p; ++p) {
        switch (*p) {
            case '+': read = write = true; break;
            case 'b':
            case 't': break;
            case 'x': exclusive = true; break;
            case 'T': temporary = true; break;
            case 'D': deleteOnClose = true; break;
            default: return false;
        }
    }
    return !exclusive || create;
}

// ---------------------------------------------------------------- VESK_File

VESK_File::VESK_File() = default;

VESK_File::VESK_File(bool closeOnDestruction) : fCloseOnDestruction(closeOnDestruction) {}

VESK_File::VESK_File(const VESK_File& other)
    : VESK_RefCntObject(other), fName(other.fName), fPath(other.fPath), fMode(other.fMode) {
    // Only the original deletes the file on close.
    fMode.deleteOnClose = false;
    if (other.fFd >= 0) fFd = fcntl(other.fFd, F_DUPFD_CLOEXEC, 0);
}

VESK_File::~VESK_File() {
    if (fCloseOnDestruction) {
        ErrnoSaver keep;
        Close();
    }
}

bool VESK_File::Open(const ExtNameStr& name, const char* mode) {
    Close();
    VESK_FileMode parsed;
    if (!parsed.Parse(mode)) {
        errno = EINVAL;
        return false;
    }
    std::string path = *name.GetGeneric() ? name.GetGeneric() : name.GetU8();
    if (path.empty()) {
        errno = ENOENT;
        return false;
    }
    int flags = O_CLOEXEC;
    flags |= parsed.read && parsed.write ? O_RDWR : parsed.write ? O_WRONLY : O_RDONLY;
    if (parsed.create) flags |= O_CREAT;
    if (parsed.truncate) flags |= O_TRUNC;
    if (parsed.exclusive) flags |= O_EXCL;
    // Appending is done by the stream (it writes at the current end), not by
    // O_APPEND, which would make positioned writes ignore their position.
    int fd = open(path.c_str(), flags, parsed.temporary ? 0600 : 0666);
    if (fd < 0) return false;
    fFd = fd;
    fName = name;
    fPath = path;
    fMode = parsed;
    return true;
}

size_t VESK_File::Read(void* buffer, size_t count, int64_t position, int* error) {
    int err = 0;
    size_t done = 0;
    if (fFd < 0) {
        err = EBADF;
    } else if (position < 0) {
        err = EINVAL;
    } else {
        char* p = static_cast<char*>(buffer);
        while (done < count) {
            ssize_t r = pread(fFd, p + done, std::min(count - done, kMaxSyscallBytes),
                              static_cast<off_t>(position + static_cast<int64_t>(done)));
            if (r < 0) {
                if (errno == EINTR) continue;
                err = errno;
                break;
            }
            if (r == 0) break;  // end of file
            done += static_cast<size_t>(r);
        }
    }
    if (error) *error = err;
    if (err) errno = err;
    return done;
}

size_t VESK_File::Write(const void* data, size_t count, int64_t position, int* error) {
    int err = 0;
    size_t done = 0;
    size_t allowed = count;
    const int injected = VESK_FileFaults::Inject(VESK_FileFaults::kWrite, position, &allowed);
    if (fFd < 0) {
        err = EBADF;
    } else if (position < 0) {
        err = EINVAL;
    } else {
        const char* p = static_cast<const char*>(data);
        while (done < count) {
            if (injected != 0 && done >= allowed) {
                err = injected;
                break;
            }
            ssize_t r = pwrite(fFd, p + done, std::min(std::min(count, allowed) - done, kMaxSyscallBytes),
                               static_cast<off_t>(position + static_cast<int64_t>(done)));
            if (r < 0) {
                if (errno == EINTR) continue;
                err = errno;
                break;
            }
            if (r == 0) {
                err = EIO;
                break;
            }
            done += static_cast<size_t>(r);
        }
        if (fWriteBehind != 0 && done != 0) NoteWritten(position, done);
    }
    if (error) *error = err;
    if (err) errno = err;
    return done;
}

void VESK_File::SetWriteBehind(size_t bytes) {
    const std::lock_guard<std::mutex> lock(fWrittenMutex);
    fWriteBehind = bytes;
    fUnstarted = 0;
}

void VESK_File::NoteWritten(int64_t position, size_t count) {
    const std::lock_guard<std::mutex> lock(fWrittenMutex);
    const int64_t end = position + static_cast<int64_t>(count);
    if (fUnstarted == 0) {
        fUnstartedFrom = position;
        fUnstartedTo = end;
    } else {
        fUnstartedFrom = std::min(fUnstartedFrom, position);
        fUnstartedTo = std::max(fUnstartedTo, end);
    }
    fUnstarted += count;
    if (fUnstarted < fWriteBehind) return;
    // Only a request: a failure to write shows at fsync or close, which
    // report it.
    ErrnoSaver keep;
    sync_file_range(fFd, fUnstartedFrom, fUnstartedTo - fUnstartedFrom, SYNC_FILE_RANGE_WRITE);
    fUnstarted = 0;
}

int64_t VESK_File::Size() const {
    struct stat st;
    if (fFd < 0 || fstat(fFd, &st) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
}

bool VESK_File::Close() {
    if (fFd < 0) return true;
    // close(2) is not retried after EINTR: the descriptor is gone either way.
    bool ok = close(fFd) == 0;
    if (const int injected = VESK_FileFaults::Inject(VESK_FileFaults::kClose)) {
        errno = injected;
        ok = false;
    }
    fFd = -1;
    if (fMode.deleteOnClose && !fPath.empty()) {
        ErrnoSaver keep;
        unlink(fPath.c_str());
    }
    return ok;
}

// ---------------------------------------------------------------- read-ahead

// A background thread that reads the chunks following the reader's position
// into a small ring of slots. The reader takes one slot at a time (Acquire)
// and gives it back (Release); while it holds a slot the thread does not touch
// it. Prepared slots carry the generation they were read for: a redirect or an
// invalidation bumps the generation and throws away whatever was prepared or
// is in flight, so the reader never sees data read for an older request.
class VESK_FileStream::ReadAhead {
public:
    struct Slot {
        std::unique_ptr<char[]> data;
        int64_t start = 0;
        size_t len = 0;  // less than a chunk: end of file (or error) after it
        int err = 0;
    };

    ReadAhead(VESK_File* file, int64_t startAt) : fFile(file) {
        for (Slot& s : fSlots) {
            s.data.reset(new char[kChunk]);
            fFree.push_back(&s);
        }
        fNextFetch = startAt;
        fActive = true;
        fThread = std::thread([this] { Loop(); });
    }

    ~ReadAhead() {
        {
            std::lock_guard<std::mutex> lock(fMutex);
            fStop = true;
        }
        fCv.notify_all();
        fThread.join();
    }

    // A slot whose data covers pos, or that ends before pos with a short
    // length (end of file or error at its end). Blocks until it is read.
    Slot* Acquire(int64_t pos) {
        std::unique_lock<std::mutex> lock(fMutex);
        for (;;) {
            while (!fFilled.empty()) {
                Slot* f = fFilled.front();
                int64_t end = f->start + static_cast<int64_t>(f->len);
                if (f->start <= pos && (pos < end || f->len < kChunk)) {
                    fFilled.pop_front();
                    return f;
                }
                if (end <= pos && f->len == kChunk) {  // passed over: recycle
                    fFilled.pop_front();
                    fFree.push_back(f);
                    fCv.notify_all();
                    continue;
                }
                break;  // prepared data begins after pos
            }
            bool coming = false;
            if (fFilled.empty()) {
                if (fBusy && fBusyGen == fGen)
                    coming = pos >= fBusyStart && pos < fBusyStart + static_cast<int64_t>(kChunk);
                else
                    coming = fActive && !fAtEnd && pos >= fNextFetch &&
                             pos < fNextFetch + static_cast<int64_t>(kChunk);
            }
            if (!coming) {
                // Redirect: drop what was prepared and start reading at pos.
                ++fGen;
                for (Slot* f : fFilled) fFree.push_back(f);
                fFilled.clear();
                fNextFetch = pos;
                fAtEnd = false;
                fActive = true;
                fCv.notify_all();
            }
            fCv.wait(lock);
        }
    }

    void Release(Slot* slot) {
        {
            std::lock_guard<std::mutex> lock(fMutex);
            fFree.push_back(slot);
        }
        fCv.notify_all();
    }

    // Throws away prepared data (after the file changed); the thread idles
    // until the next Acquire says where to read.
    void Invalidate() {
        std::lock_guard<std::mutex> lock(fMutex);
        ++fGen;
        for (Slot* f : fFilled) fFree.push_back(f);
        fFilled.clear();
        fActive = false;
        fAtEnd = false;
    }

private:
    static constexpr size_t kChunk = VESK_FileStream::kReadAheadChunk;

    void Loop() {
        std::unique_lock<std::mutex> lock(fMutex);
        for (;;) {
            fCv.wait(lock, [this] { return fStop || (fActive && !fAtEnd && !fFree.empty()); });
            if (fStop) return;
            Slot* s = fFree.back();
            fFree.pop_back();
            int64_t start = fNextFetch;
            uint64_t gen = fGen;
            fNextFetch += static_cast<int64_t>(kChunk);
            fBusy = true;
            fBusyStart = start;
            fBusyGen = gen;
            lock.unlock();
            int err = 0;
            size_t got = fFile->Read(s->data.get(), kChunk, start, &err);
            lock.lock();
            fBusy = false;
            if (gen != fGen) {
                fFree.push_back(s);
            } else {
                s->start = start;
                s->len = got;
                s->err = err;
                fFilled.push_back(s);
                if (got < kChunk) fAtEnd = true;  // nothing more until redirected
            }
            fCv.notify_all();
        }
    }

    VESK_File* fFile;
    std::mutex fMutex;
    std::condition_variable fCv;
    Slot fSlots[VESK_FileStream::kReadAheadSlots];
    std::vector<Slot*> fFree;
    std::deque<Slot*> fFilled;
    int64_t fNextFetch = 0;
    bool fActive = false;
    bool fAtEnd = false;
    bool fStop = false;
    bool fBusy = false;
    int64_t fBusyStart = 0;
    uint64_t fBusyGen = 0;
    uint64_t fGen = 0;
    std::thread fThread;
};

// ---------------------------------------------------------------- stream state

struct VESK_FileStream::State {
    enum BufferMode { kNone, kReading, kWriting };

    RefCountPtr<VESK_File> file;
    ExtNameStr name;
    bool readable = false, writable = false, append = false;
    int64_t pos = 0;
    bool eof = false, error = false;
    int writeErrno = 0;  // of the first write that failed since the last Clear; 0 for none

    size_t bufCap;
    std::unique_ptr<char[]> buf;  // allocated on first use
    BufferMode mode = kNone;
    // Reading: the valid bytes [bufStart, bufStart + bufLen) at view, which is
    // buf or the data of a read-ahead slot. Writing: bufLen pending bytes in
    // buf that belong at bufStart.
    int64_t bufStart = 0;
    size_t bufLen = 0;
    const char* view = nullptr;
    ReadAhead::Slot* slot = nullptr;
    std::unique_ptr<ReadAhead> ra;
    // Reads fill the buffer with `fill` bytes: a little after a jump, twice
    // as much on every refill that continues where the last one ended, up to
    // the buffer's size. Only then does read-ahead take over, so that random
    // access reads what it uses rather than a megabyte per jump.
    size_t fill = 0;
    int64_t fillEnd = -1;  // where the last refill ended

    explicit State(bool large) : bufCap(large ? kLargeBuffer : kSmallBuffer) {}

    // False (errno EBADF, error set when open) when the stream cannot read;
    // pending writes are written out first.
    bool ReadReady() {
        if (!file.IsValid() || !readable) {
            if (file.IsValid()) error = true;
            errno = EBADF;
            return false;
        }
        return mode != kWriting || FlushWrite();
    }

    // The position stands inside the buffered bytes.
    bool Buffered() const {
        return mode == kReading && pos >= bufStart && pos < bufStart + static_cast<int64_t>(bufLen);
    }

    enum Fill { kFilled, kDirect, kNothing };
    // Buffers the bytes at the position: from a read-ahead slot, or read into
    // the buffer. kDirect: a request of `want` bytes is better read straight
    // into the caller's memory (nothing was buffered); kNothing: end of file
    // or an error.
    Fill Refill(size_t want) {
        DropRead();
        const bool sequential = pos == fillEnd;
        fill = sequential ? std::min(bufCap, 2 * fill) : std::min(bufCap, kFirstFill);
        if (ra && sequential && fill == bufCap) return TakeSlot();
        if (ra && !sequential) ra->Invalidate();  // idle until reading is sequential again
        if (want >= fill) return kDirect;
        int err = 0;
        size_t got = file->Read(Buffer(), fill, pos, &err);
        if (err) error = true;
        if (got == 0) return kNothing;
        mode = kReading;
        view = buf.get();
        bufStart = pos;
        bufLen = got;
        fillEnd = pos + static_cast<int64_t>(got);
        return kFilled;
    }

    Fill TakeSlot() {
        slot = ra->Acquire(pos);
        mode = kReading;
        view = slot->data.get();
        bufStart = slot->start;
        bufLen = slot->len;
        fillEnd = slot->start + static_cast<int64_t>(slot->len);
        if (pos < fillEnd) return kFilled;
        if (slot->err) {
            error = true;
            errno = slot->err;
        }
        return kNothing;
    }

    char* Buffer() {
        if (!buf) buf.reset(new char[bufCap]);
        return buf.get();
    }

    void DropRead() {
        if (mode != kReading) return;
        if (slot) {
            ra->Release(slot);
            slot = nullptr;
        }
        mode = kNone;
        bufLen = 0;
        view = nullptr;
    }

    // Remembers a failed write (errno tells why) for Flush and Close.
    void WriteFailed() {
        error = true;
        if (writeErrno == 0) writeErrno = errno ? errno : EIO;
    }

    // False, with errno set to the first failure's cause, when a write
    // failed since the last Clear.
    bool WritesOK() const {
        if (writeErrno == 0) return true;
        errno = writeErrno;
        return false;
    }

    // Writes out pending bytes; false (error set, position moved to the first
    // unwritten byte) when not all of them could be written.
    bool FlushWrite(size_t* unwritten = nullptr) {
        if (unwritten) *unwritten = 0;
        if (mode != kWriting) return true;
        size_t pending = bufLen;
        size_t done = pending ? file->Write(buf.get(), pending, bufStart) : 0;
        mode = kNone;
        bufLen = 0;
        if (done < pending) {
            WriteFailed();
            pos = bufStart + static_cast<int64_t>(done);
            if (unwritten) *unwritten = pending - done;
            return false;
        }
        return true;
    }

    bool DropBuffers() {
        bool ok = FlushWrite();
        DropRead();
        return ok;
    }

    // End of the data: the file's size or the end of pending writes.
    int64_t LogicalSize() const {
        int64_t size = file.IsValid() ? file->Size() : 0;
        if (mode == kWriting) size = std::max(size, bufStart + static_cast<int64_t>(bufLen));
        return size;
    }
};

// ---------------------------------------------------------------- VESK_FileStream

VESK_FileStream::VESK_FileStream() : fState(new State(false)) {}

VESK_FileStream::VESK_FileStream(bool largeBuffer) : fState(new State(largeBuffer)) {}

VESK_FileStream::VESK_FileStream(const VESK_FileStream& other) : VESK_StrBaseIO(), fState(new State(false)) {
    State& src = *other.fState;
    src.FlushWrite();
    State& s = *fState;
    s.bufCap = src.bufCap;
    s.file = src.file;
    s.name = src.name;
    s.readable = src.readable;
    s.writable = src.writable;
    s.append = src.append;
    s.pos = src.pos;
    s.eof = src.eof;
    s.error = src.error;
}

VESK_FileStream::~VESK_FileStream() {
    ErrnoSaver keep;
    Close();
}

void VESK_FileStream::Clear() {
    fState->eof = false;
    fState->error = false;
    fState->writeErrno = 0;
}

int VESK_FileStream::Good() const { return fState->file.IsValid() && !fState->error; }

size_t VESK_FileStream::Read(void* buffer, size_t count) {
    State& s = *fState;
    if (!s.ReadReady()) return 0;
    if (count == 0) return 0;
    char* out = static_cast<char*>(buffer);
    size_t done = 0;
    while (done < count) {
        if (s.Buffered()) {
            size_t at = static_cast<size_t>(s.pos - s.bufStart);
            size_t k = std::min(count - done, s.bufLen - at);
            std::memcpy(out + done, s.view + at, k);
            done += k;
            s.pos += static_cast<int64_t>(k);
            continue;
        }
        const State::Fill fill = s.Refill(count - done);
        if (fill == State::kNothing) break;
        if (fill == State::kDirect) {  // large request: straight into the caller's buffer
            int err = 0;
            size_t got = s.file->Read(out + done, count - done, s.pos, &err);
            done += got;
            s.pos += static_cast<int64_t>(got);
            s.fillEnd = s.pos;
            if (err) s.error = true;
            break;
        }
    }
    if (done < count && !s.error) s.eof = true;
    return done;
}

size_t VESK_FileStream::Peek(const void** data) {
    *data = nullptr;
    State& s = *fState;
    if (!s.ReadReady()) return 0;
    if (!s.Buffered() && s.Refill(0) != State::kFilled) {
        if (!s.error) s.eof = true;
        return 0;
    }
    const size_t at = static_cast<size_t>(s.pos - s.bufStart);
    *data = s.view + at;
    return s.bufLen - at;
}

size_t VESK_FileStream::Write(const void* data, size_t count) {
    State& s = *fState;
    if (!s.file.IsValid() || !s.writable) {
        // Refused at once, so the caller knows: nothing is lost later, and a
        // stream open for reading still closes cleanly.
        if (s.file.IsValid()) s.error = true;
        errno = EBADF;
        return 0;
    }
    if (count == 0) return 0;
    // A large request after buffered bytes: they go out first, then the request
    // goes straight to the file rather than through the buffer.
    if (count >= s.bufCap && s.mode == State::kWriting && !s.FlushWrite()) return 0;
    if (s.mode != State::kWriting) {
        s.DropRead();
        if (s.ra) s.ra->Invalidate();
        if (s.append) s.pos = std::max<int64_t>(s.file->Size(), 0);  // appends go to the end
    } else if (s.pos != s.bufStart + static_cast<int64_t>(s.bufLen)) {
        if (!s.FlushWrite()) return 0;
    }
    const char* in = static_cast<const char*>(data);
    // Large request with nothing buffered: straight to the file. Half the
    // buffer is large enough: copying it first would only add a pass over
    // the bytes (the bytecode writer hands over just under a buffer's size).
    if (s.mode != State::kWriting && count >= s.bufCap / 2) {
        size_t done = s.file->Write(in, count, s.pos);
        s.pos += static_cast<int64_t>(done);
        if (done < count) s.WriteFailed();
        return done;
    }
    if (s.mode != State::kWriting) {
        s.Buffer();
        s.mode = State::kWriting;
        s.bufStart = s.pos;
        s.bufLen = 0;
    }
    size_t done = 0;
    while (done < count) {
        size_t k = std::min(count - done, s.bufCap - s.bufLen);
        std::memcpy(s.buf.get() + s.bufLen, in + done, k);
        s.bufLen += k;
        s.pos += static_cast<int64_t>(k);
        done += k;
        if (s.bufLen == s.bufCap) {
            size_t unwritten = 0;
            if (!s.FlushWrite(&unwritten)) return done > unwritten ? done - unwritten : 0;
            if (done < count) {
                s.mode = State::kWriting;
                s.bufStart = s.pos;
                s.bufLen = 0;
            }
        }
    }
    return done;
}

int VESK_FileStream::Seek(int64_t offset, int direction) {
    State& s = *fState;
    if (!s.file.IsValid()) return -1;
    int64_t base;
    switch (direction) {
        case SeekFromStart: base = 0; break;
        case SeekFromCurrent: base = s.pos; break;
        case SeekFromEnd: base = s.LogicalSize(); break;
        default: return -2;
    }
    if ((offset > 0 && base > INT64_MAX - offset) || base + offset < 0) return -1;
    int64_t target = base + offset;
    if (s.mode == State::kWriting && target != s.pos && !s.FlushWrite()) return -1;
    s.pos = target;
    s.eof = false;
    return 0;
}

int64_t VESK_FileStream::Tell() const { return fState->pos; }

int VESK_FileStream::EndOfFile() const { return fState->eof ? 1 : 0; }

int VESK_FileStream::Open(const char* name, const char* mode) {
    ExtNameStr n;
    n.SetGeneric(name ? name : "");
    return Open(n, mode);
}

int VESK_FileStream::Open(const char* name, const char* /*password*/, const char* mode) {
    return Open(name, mode);
}

int VESK_FileStream::Open(const ExtNameStr& name, const ExtNameStr& /*password*/, const char* mode) {
    return Open(name, mode);
}

int VESK_FileStream::Open(const ExtNameStr& name, const char* mode) {
    ExtNameStr wanted = name;  // name may refer to this stream's own name
    if (fState->file.IsValid()) {
        ErrnoSaver keep;
        Close();
    }
    State& s = *fState;
    RefCountPtr<VESK_File> file(new VESK_File(true));
    if (!file->Open(wanted, mode)) {
        ErrnoSaver keep;
        file = nullptr;
        return 0;
    }
    const VESK_FileMode& m = file->Mode();
    s.file = file;
    s.name = wanted;
    s.readable = m.read;
    s.writable = m.write;
    s.append = m.append;
    s.pos = m.append ? std::max<int64_t>(file->Size(), 0) : 0;
    s.eof = s.error = false;
    s.writeErrno = 0;
    s.mode = State::kNone;
    s.bufLen = 0;
    return 1;
}

void VESK_FileStream::ClearAndReset() {
    State& s = *fState;
    if (s.file.IsValid()) s.DropBuffers();
    if (s.ra) s.ra->Invalidate();
    s.eof = s.error = false;
    s.writeErrno = 0;
    s.pos = 0;
}

ExtNameStr VESK_FileStream::GetNameStr() const { return fState->name; }

int VESK_FileStream::Close() const {
    State& s = *fState;
    if (!s.file.IsValid()) {
        s.ra.reset();
        return 0;
    }
    bool ok = s.DropBuffers() && s.WritesOK();
    int err = errno;  // the first failure's cause is the one reported
    s.ra.reset();
    if (!s.file->IsShared() && !s.file->Close() && ok) {
        ok = false;
        err = errno;
    }
    s.file = nullptr;
    s.readable = s.writable = s.append = false;
    s.writeErrno = 0;
    errno = err;
    return ok ? 1 : 0;
}

int VESK_FileStream::Close() { return static_cast<const VESK_FileStream*>(this)->Close(); }

int VESK_FileStream::Flush() {
    State& s = *fState;
    if (!s.file.IsValid()) return 0;
    bool ok = s.DropBuffers() && s.WritesOK();
    ErrnoSaver keep;
    if (s.ra) s.ra->Invalidate();
    return ok ? 1 : 0;
}

const char* VESK_FileStream::Name() const { return fState->name.GetGeneric(); }

uint32_t VESK_FileStream::Footprint() const {
    size_t bytes = fState->bufCap;
    if (fState->ra) bytes += kReadAheadSlots * kReadAheadChunk;
    return static_cast<uint32_t>(bytes);
}

int VESK_FileStream::EnableMultiThreadReading() {
    State& s = *fState;
    if (!s.file.IsValid() || !s.readable) return 0;
    if (s.ra) return 1;
    if (!s.DropBuffers()) return 0;
    s.ra.reset(new ReadAhead(s.file.get(), s.pos));
    s.fill = s.bufCap;  // reading on from here is sequential
    s.fillEnd = s.pos;
    return 1;
}

void VESK_FileStream::DisableMultiThreadReading() {
    State& s = *fState;
    s.DropRead();
    s.ra.reset();
}

bool VESK_FileStream::MultiThreadReading() const { return fState->ra != nullptr; }

void VESK_FileStream::SetWriteBehind(size_t bytes) {
    if (fState->file.IsValid()) fState->file->SetWriteBehind(bytes);
}

VESK_File* VESK_FileStream::GetFile() const { return fState->file.get(); }

int VESK_FileStream::DataReady() const { return Good(); }

void VESK_FileStream::SetPosition(int64_t position) {
    fState->DropBuffers();
    fState->pos = position;
}

void VESK_FileStream::SetEndOfFile(bool eof) { fState->eof = eof; }

void VESK_FileStream::SetError() { fState->error = true; }
