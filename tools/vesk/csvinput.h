// The input of `vesk import`: the bytes of the CSV file, which the import
// reads twice (once to learn the columns, once to write the cases), and the
// decoding of those bytes into checked UTF-8 text.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "handoff.h"

namespace vesk {

// The raw bytes of the input, readable from the start more than once.
//
// A regular file is simply read again. Standard input (and any pipe or
// device) cannot be: its bytes are staged in a TempFileDataStore (temporary
// files that no other user can read and that do not outlive the process,
// compressed when the storage compression switch is on) while the first pass
// reads them, and the second pass reads the staged copy.
//
// Errors: std::runtime_error naming the input ("FILE: cannot read the file:
// ..."); VeskError 1001-1003 when the staging cannot be written or read.
// One thread.
class ByteInput {
public:
    virtual ~ByteInput() = default;
    // Up to n bytes; 0 only at the end of the input.
    virtual size_t Read(char* buffer, size_t n) = 0;
    // Starts again at the first byte. Only after Read has returned 0.
    virtual void Rewind() = 0;
    // Bytes read since the start (or the last Rewind); any thread may ask.
    uint64_t Consumed() const { return fConsumed.load(std::memory_order_relaxed); }
    // The whole size when known before the end (regular files), else -1.
    virtual int64_t KnownSize() const = 0;

protected:
    void Count(size_t n) { fConsumed.fetch_add(n, std::memory_order_relaxed); }
    std::atomic<uint64_t> fConsumed{0};
};

// "-" is standard input. A path that cannot be opened raises
// std::runtime_error "PATH: cannot open the file: <reason>".
std::unique_ptr<ByteInput> OpenByteInput(const std::string& path);

// Text in the input's encoding that cannot be decoded, or a NUL character.
// Raised by TextSource::Read once all the text before it has been delivered,
// so the reader knows the line it is on.
class TextError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The input as UTF-8 text: in UTF-8 a leading byte-order mark is dropped and
// every byte is checked; in any other encoding (ICU's names and aliases) the
// text is converted and a leading U+FEFF dropped. The input is not owned.
//
// When the input's size is known (a file, not a pipe that may wait on a
// person typing), the reading and decoding run on a thread of their own a few
// chunks ahead of Read, so that they overlap the caller's parsing. Read,
// Rewind and the destructor belong to one thread.
class TextSource {
public:
    // Raises std::invalid_argument when ICU has no converter for the encoding.
    TextSource(ByteInput& input, const std::string& encoding);
    ~TextSource();
    TextSource(const TextSource&) = delete;
    TextSource& operator=(const TextSource&) = delete;

    // Up to n bytes of text (n >= 4); 0 at the end.
    size_t Read(char* out, size_t n);
    // Starts again at the first byte; UTF-8 is checked again only when check
    // is true (a second pass over text already checked need not be).
    void Rewind(bool check);

    bool IsUtf8() const { return fIcu == nullptr; }

private:
    struct Chunk {
        std::vector<char> bytes;
        size_t size = 0;
        std::exception_ptr error;
    };

    size_t Decode(char* out, size_t n);
    size_t ReadUtf8(char* out, size_t n);
    size_t CheckUtf8(char* out, size_t got, bool end);
    size_t ReadConverted(char* out, size_t n);
    bool FillConverted();
    void Start();
    size_t ReadAhead(char* out, size_t n);
    void NextChunk();
    void StartWorker();
    void StopWorker();
    void Produce();

    ByteInput& fInput;
    void* fIcu = nullptr;          // UConverter of the input encoding, null for UTF-8
    std::string fEncoding;
    bool fCheck = true;
    bool fAtStart = true;          // the byte-order mark is still to be looked for
    std::string fError;            // raised on the next Read once set
    std::vector<char> fCarry;      // UTF-8: bytes of a character cut by the last read
    std::vector<char> fRaw;        // converted encodings: raw bytes
    std::string fText;             // converted encodings: UTF-8 not yet delivered
    size_t fTextPos = 0;
    bool fRawEnd = false;

    // Reading ahead: the worker decodes into empty chunks and hands them over full.
    std::thread fWorker;
    Handoff<Chunk> fFull;
    Handoff<Chunk> fEmpty;
    Chunk fCurrent;                // the full chunk Read is taking text from
    size_t fCurrentPos = 0;
    bool fHaveCurrent = false;
    bool fAhead = false;           // this pass reads through the worker
    bool fEnded = false;           // the worker delivered the end or an error
    std::exception_ptr fFailure;   // that error, raised again by every Read
};

// The length of the longest prefix of text[0, n) that is well-formed UTF-8
// without NUL characters. *incomplete is set when the rest is the beginning
// of a character that the next bytes may complete.
size_t ValidUtf8Prefix(const char* text, size_t n, bool* incomplete);

}  // namespace vesk
