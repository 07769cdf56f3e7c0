#include "csvinput.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unicode/ucnv.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "TempFileDataStore.h"

namespace vesk {

namespace {

constexpr int kAheadChunks = 3;
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
// Small chunks in fuzzing builds: inputs are small, and every chunk end is a
// place where a character or a record can be cut.
constexpr size_t kRawChunk = 61;
constexpr size_t kAheadChunkSize = 67;
#else
constexpr size_t kRawChunk = 1 << 16;  // bytes converted at a time from other encodings
constexpr size_t kAheadChunkSize = 1 << 20;
#endif

std::string SystemError() { return std::strerror(errno); }

// Reads up to n bytes, retrying when interrupted; -1 on error.
ssize_t ReadSome(int fd, char* buffer, size_t n) {
    for (;;) {
        const ssize_t r = ::read(fd, buffer, n);
        if (r >= 0 || errno != EINTR) return r;
    }
}

// A regular file, read again from its start.
class FileInput : public ByteInput {
public:
    FileInput(int fd, std::string path, int64_t size) : fFd(fd), fPath(std::move(path)), fSize(size) {
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    }
    ~FileInput() override { ::close(fFd); }

    size_t Read(char* buffer, size_t n) override {
        const ssize_t r = ReadSome(fFd, buffer, n);
        if (r < 0) throw std::runtime_error(fPath + ": cannot read the file: " + SystemError());
        Count(size_t(r));
        return size_t(r);
    }
    void Rewind() override {
        if (::lseek(fFd, 0, SEEK_SET) != 0) throw std::runtime_error(fPath + ": cannot read the file again: " + SystemError());
        fConsumed = 0;
    }
    int64_t KnownSize() const override { return fSize; }

private:
    int fFd;
    std::string fPath;
    int64_t fSize;
};

// Standard input or a pipe: the first pass copies what it reads into a
// temporary data store, the second pass reads it back from there. The bytes
// are kept as cases of two columns, the count of bytes and up to
// kStageBytes of text, so the staging lives in the library's temporary
// storage: striped over the temporary directories, zlib-compressed when the
// compression switch is on, and gone once the import ends, however it ends.
class StagedInput : public ByteInput {
public:
    StagedInput(int fd, std::string path, bool ownFd) : fFd(fd), fOwnFd(ownFd), fPath(std::move(path)) {
        fStore.MakeVariable(0);
        fStore.MakeVariable(int(kStageBytes));
        fRow.resize(1 + kStageBytes / sizeof(OBS));
    }
    ~StagedInput() override {
        fReplay.reset();
        if (fOwnFd) ::close(fFd);
    }

    size_t Read(char* buffer, size_t n) override {
        const size_t got = fReplay ? Replay(buffer, n) : ReadAndStage(buffer, n);
        Count(got);
        return got;
    }
    void Rewind() override {
        if (!fEnded) throw std::logic_error("staged input rewound before its end");
        if (!fReplay && fFilled > 0) AddRow();
        fReplay.reset(fStore.MakeIterator(nullptr));
        fFilled = fTaken = 0;
        fConsumed = 0;
    }
    int64_t KnownSize() const override { return fReplay ? int64_t(fStaged) : -1; }

private:
    static constexpr size_t kStageBytes = 32760;  // the widest string, in whole cells

    char* Text() { return reinterpret_cast<char*>(fRow.data() + 1); }

    size_t ReadAndStage(char* buffer, size_t n) {
        const ssize_t r = ReadSome(fFd, buffer, n);
        if (r < 0) throw std::runtime_error(fPath + ": cannot read the input: " + SystemError());
        if (r == 0) fEnded = true;
        for (size_t done = 0; done < size_t(r);) {
            const size_t take = std::min(size_t(r) - done, kStageBytes - fFilled);
            std::memcpy(Text() + fFilled, buffer + done, take);
            fFilled += take;
            done += take;
            if (fFilled == kStageBytes) AddRow();
        }
        fStaged += size_t(r);
        return size_t(r);
    }
    void AddRow() {
        fRow[0].d = double(fFilled);
        std::memset(Text() + fFilled, ' ', kStageBytes - fFilled);
        fStore.AddRow(fRow.data());
        fFilled = 0;
    }
    // Copies from the current staged row, fetching the next when it is used up.
    size_t Replay(char* buffer, size_t n) {
        if (fTaken == fFilled && !NextRow()) return 0;
        const size_t take = std::min(n, fFilled - fTaken);
        std::memcpy(buffer, reinterpret_cast<const char*>(fReplay->GetCase().Cells() + 1) + fTaken, take);
        fTaken += take;
        return take;
    }
    bool NextRow() {
        if (!fReplay->NextCase()) return false;
        const double count = fReplay->GetCase().Cells()[0].d;
        if (!(count >= 1 && count <= double(kStageBytes))) throw std::logic_error("staged input row damaged");
        fFilled = size_t(count);
        fTaken = 0;
        return true;
    }

    int fFd;
    bool fOwnFd;
    std::string fPath;
    TempFileDataStore fStore;
    std::vector<OBS> fRow;                             // the row being filled: count, text
    std::unique_ptr<VESK_InputCaseIterator> fReplay;   // set once rewound
    size_t fFilled = 0;                                // staging: bytes in fRow; replay: in the current row
    size_t fTaken = 0;                                 // replay: bytes of the current row delivered
    uint64_t fStaged = 0;
    bool fEnded = false;
};

// ---------------------------------------------------------------- UTF-8

// Bytes a character starting with lead has (0: not a lead byte), and the range
// its second byte must lie in.
int Utf8Length(unsigned char lead, unsigned char& low, unsigned char& high) {
    low = 0x80;
    high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) {
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;  // no surrogates
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
        return 4;
    }
    return 0;
}

// Eight bytes of ASCII without a NUL byte.
bool PlainAscii8(const char* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    const uint64_t hasZero = (v - 0x0101010101010101ull) & ~v & 0x8080808080808080ull;
    return ((v & 0x8080808080808080ull) | hasZero) == 0;
}

std::string ByteText(unsigned char byte) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", byte);
    return text;
}

const char kNulMessage[] = "a NUL character, which text never holds (UTF-16 input needs --encoding UTF-16)";

}  // namespace

size_t ValidUtf8Prefix(const char* text, size_t n, bool* incomplete) {
    *incomplete = false;
    size_t i = 0;
    while (i < n) {
        if (i + 8 <= n && PlainAscii8(text + i)) {
            i += 8;
            continue;
        }
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            if (lead == 0) return i;
            ++i;
            continue;
        }
        unsigned char low, high;
        const int length = Utf8Length(lead, low, high);
        if (length == 0) return i;
        for (int k = 1; k < length; ++k) {
            if (i + size_t(k) >= n) {
                *incomplete = true;
                return i;
            }
            const unsigned char c = static_cast<unsigned char>(text[i + size_t(k)]);
            if (k == 1 ? (c < low || c > high) : (c < 0x80 || c > 0xBF)) return i;
        }
        i += size_t(length);
    }
    return i;
}

std::unique_ptr<ByteInput> OpenByteInput(const std::string& path) {
    if (path == "-") return std::make_unique<StagedInput>(STDIN_FILENO, "(standard input)", false);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error(path + ": cannot open the file: " + SystemError());
    struct stat st {};
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(fd);
        throw std::runtime_error(path + ": cannot open the file: " + (S_ISDIR(st.st_mode) ? "it is a directory" : SystemError()));
    }
    if (S_ISREG(st.st_mode)) return std::make_unique<FileInput>(fd, path, int64_t(st.st_size));
    return std::make_unique<StagedInput>(fd, path, true);
}

// ---------------------------------------------------------------- TextSource

TextSource::TextSource(ByteInput& input, const std::string& encoding) : fInput(input), fEncoding(encoding) {
    if (encoding.empty()) return;
    UErrorCode status = U_ZERO_ERROR;
    UConverter* converter = ucnv_open(encoding.c_str(), &status);
    if (U_FAILURE(status) || !converter) throw std::invalid_argument("--encoding: unknown encoding '" + encoding + "'");
    if (std::strcmp(ucnv_getName(converter, &status), "UTF-8") == 0) {
        ucnv_close(converter);
        return;
    }
    ucnv_setToUCallBack(converter, UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
    fIcu = converter;
}

TextSource::~TextSource() {
    StopWorker();
    if (fIcu) ucnv_close(static_cast<UConverter*>(fIcu));
}

void TextSource::Rewind(bool check) {
    StopWorker();
    fInput.Rewind();
    fCheck = check;
    Start();
}

void TextSource::Start() {
    fEnded = false;
    fAhead = false;
    fFailure = nullptr;
    fAtStart = true;
    fError.clear();
    fCarry.clear();
    fText.clear();
    fTextPos = 0;
    fRawEnd = false;
    if (fIcu) ucnv_reset(static_cast<UConverter*>(fIcu));
}

size_t TextSource::Read(char* out, size_t n) {
    if (fAhead || (!fEnded && fInput.KnownSize() >= 0)) return ReadAhead(out, n);
    return Decode(out, n);
}

size_t TextSource::Decode(char* out, size_t n) {
    if (fIcu) return ReadConverted(out, n);
    if (!fError.empty()) throw TextError(fError);
    return ReadUtf8(out, n);
}

// ---------------------------------------------------------------- reading ahead

size_t TextSource::ReadAhead(char* out, size_t n) {
    if (!fAhead && !fEnded) StartWorker();
    while (!fHaveCurrent || fCurrentPos == fCurrent.size) {
        // An error ends the text: raised once everything before it is delivered.
        if (fFailure) std::rethrow_exception(fFailure);
        if (fEnded) return 0;
        NextChunk();
    }
    const size_t k = std::min(n, fCurrent.size - fCurrentPos);
    std::memcpy(out, fCurrent.bytes.data() + fCurrentPos, k);
    fCurrentPos += k;
    return k;
}

// Gives the used chunk back and takes the next full one. At the end sets
// fEnded, and fFailure when an error ended the text.
void TextSource::NextChunk() {
    if (fHaveCurrent) fEmpty.Put(std::move(fCurrent));
    fHaveCurrent = fFull.Take(fCurrent);
    fCurrentPos = 0;
    if (!fHaveCurrent || fCurrent.size == 0) {
        fEnded = true;
        if (fHaveCurrent) fFailure = fCurrent.error;
        // The worker returns once it has handed over the end: join it now
        // rather than leave a finished thread behind for the rest of the run.
        StopWorker();
    }
}

void TextSource::StartWorker() {
    fFull.Reopen();
    fEmpty.Reopen();
    for (int i = 0; i < kAheadChunks; ++i) fEmpty.Put(Chunk{std::vector<char>(kAheadChunkSize), 0, nullptr});
    fWorker = std::thread(&TextSource::Produce, this);
    fAhead = true;
}

void TextSource::StopWorker() {
    if (!fWorker.joinable()) return;
    fEmpty.Close();
    fWorker.join();
    fHaveCurrent = false;
}

// The worker: decodes until the end or an error, which ends the text.
void TextSource::Produce() {
    Chunk chunk;
    while (fEmpty.Take(chunk)) {
        try {
            chunk.size = Decode(chunk.bytes.data(), chunk.bytes.size());
        } catch (...) {
            chunk.size = 0;
            chunk.error = std::current_exception();
        }
        const bool last = chunk.size == 0;
        fFull.Put(std::move(chunk));
        if (last) return;
    }
}

// Reads raw bytes behind the carried ones and delivers the checked prefix.
size_t TextSource::ReadUtf8(char* out, size_t n) {
    for (;;) {
        size_t got = fCarry.size();
        std::copy(fCarry.begin(), fCarry.end(), out);
        fCarry.clear();
        bool end = false;
        do {  // at the start, enough for a byte-order mark
            const size_t r = fInput.Read(out + got, n - got);
            end = r == 0;
            got += r;
        } while (fAtStart && !end && got < 3);
        if (fAtStart && got >= 3 && std::memcmp(out, "\xEF\xBB\xBF", 3) == 0) {
            std::memmove(out, out + 3, got - 3);
            got -= 3;
        }
        fAtStart = false;
        if (got == 0 && !end) continue;
        if (!fCheck) return got;
        const size_t valid = CheckUtf8(out, got, end);
        if (valid > 0 || !fError.empty() || got == 0) {
            if (valid == 0 && !fError.empty()) throw TextError(fError);
            return valid;
        }
    }
}

// The valid prefix of the got bytes at out. An incomplete character at the
// end is carried to the next read; anything invalid sets the error.
size_t TextSource::CheckUtf8(char* out, size_t got, bool end) {
    bool incomplete = false;
    const size_t valid = ValidUtf8Prefix(out, got, &incomplete);
    if (valid == got) return got;
    if (incomplete && !end) {
        fCarry.assign(out + valid, out + got);
        return valid;
    }
    const unsigned char bad = static_cast<unsigned char>(out[valid]);
    fError = incomplete ? std::string("the text ends inside a UTF-8 character")
             : bad == 0 ? std::string(kNulMessage)
                        : "the text is not valid UTF-8 (byte " + ByteText(bad) + "; see --encoding)";
    return valid;
}

size_t TextSource::ReadConverted(char* out, size_t n) {
    while (fTextPos == fText.size()) {
        if (!fError.empty()) throw TextError(fError);
        if (!FillConverted()) return 0;
    }
    const size_t k = std::min(n, fText.size() - fTextPos);
    std::memcpy(out, fText.data() + fTextPos, k);
    fTextPos += k;
    return k;
}

// Converts the next raw chunk into fText; false at the end of the input. An
// undecodable sequence or a NUL ends the text converted so far and sets the
// error raised after it.
bool TextSource::FillConverted() {
    if (fRawEnd) return false;
    UConverter* converter = static_cast<UConverter*>(fIcu);
    fRaw.resize(kRawChunk);
    const size_t got = fInput.Read(fRaw.data(), fRaw.size());
    fRawEnd = got == 0;
    std::vector<UChar> units(2 * got + 16);
    const char* source = fRaw.data();
    UChar* target = units.data();
    UErrorCode status = U_ZERO_ERROR;
    ucnv_toUnicode(converter, &target, units.data() + units.size(), &source, fRaw.data() + got, nullptr,
                   fRawEnd, &status);
    if (U_FAILURE(status)) {
        char bad[32];
        int8_t badLength = sizeof bad;
        UErrorCode ignored = U_ZERO_ERROR;
        ucnv_getInvalidChars(converter, bad, &badLength, &ignored);
        fError = "the text is not valid " + fEncoding +
                 (badLength > 0 ? " (byte " + ByteText(static_cast<unsigned char>(bad[0])) + ")" : std::string());
    }
    const UChar* first = units.data();
    if (fAtStart && target > first && *first == 0xFEFF) ++first;
    fAtStart = fAtStart && target == first;
    const int32_t count = int32_t(target - first);
    fText.resize(size_t(count) * 3);
    int32_t length = 0;
    status = U_ZERO_ERROR;
    u_strToUTF8(fText.data(), int32_t(fText.size()), &length, first, count, &status);
    fText.resize(U_SUCCESS(status) ? size_t(length) : 0);
    fTextPos = 0;
    const size_t nul = fText.find('\0');
    if (nul != std::string::npos) {
        fText.resize(nul);
        fError = kNulMessage;
    }
    return true;
}

}  // namespace vesk
