// Temporary files striped over the temporary directories, and the in-memory stream.
#define VESK_SOURCE_NAME "Datasource/src/tempfile"

#include "tempfile.h"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <new>
#include <string_view>

#include "errortext.h"
#include "tempdirs.h"
#include "vesk_assert.h"
#include "zcompressedfilestr.h"

namespace {


bool Same(const char* a, const char* b) { return std::strcmp(a, b) == 0; }

VESK_TempFile::StripeKind KindFor(const char* kind) {
    if (!GETZCOMPRESSION() || Same(kind, "xfrm")) return VESK_TempFile::kPlain;
    if (Same(kind, "sort") || Same(kind, "merge")) return VESK_TempFile::kSort;
    return VESK_TempFile::kZlib;
}

std::unique_ptr<VESK_FileStream> NewStripe(VESK_TempFile::StripeKind kind, bool flag) {
    switch (kind) {
        case VESK_TempFile::kZlib: return std::make_unique<ZCompressed_FileStream>(flag);
        case VESK_TempFile::kSort: return std::make_unique<zcmpsSort_FileStream>(flag);
        default: return std::make_unique<VESK_FileStream>(flag);
    }
}

std::unique_ptr<VESK_FileStream> CopyStripe(VESK_TempFile::StripeKind kind, const VESK_FileStream& s) {
    switch (kind) {
        case VESK_TempFile::kZlib:
            return std::make_unique<ZCompressed_FileStream>(static_cast<const ZCompressed_FileStream&>(s));
        case VESK_TempFile::kSort:
            return std::make_unique<zcmpsSort_FileStream>(static_cast<const zcmpsSort_FileStream&>(s));
        default: return std::make_unique<VESK_FileStream>(s);
    }
}

// ---- files left behind by killed processes

bool AllDigits(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return std::isdigit((unsigned char)c); });
}

// The pid in a name FormTempName makes: <prefix><pid>.<counter>.<6 letters
// or digits>, the prefix ending in something other than a digit; 0 when the
// name is not of that form.
pid_t PidOfTempName(std::string_view name) {
    const size_t n = name.size();
    if (n < 11 || name[n - 7] != '.') return 0;
    if (!std::all_of(name.end() - 6, name.end(), [](char c) { return std::isalnum((unsigned char)c); })) return 0;
    const size_t dot = name.rfind('.', n - 8);
    if (dot == std::string_view::npos || !AllDigits(name.substr(dot + 1, n - 8 - dot))) return 0;
    size_t start = dot;
    while (start > 0 && std::isdigit((unsigned char)name[start - 1])) --start;
    if (start == 0 || start == dot || dot - start > 9) return 0;
    return pid_t(std::stol(std::string(name.substr(start, dot - start))));
}

// An empty regular file of ours whose maker is gone: the only thing a killed
// process can leave, since temporary files are unlinked as soon as they are open.
bool Abandoned(const std::string& path, pid_t pid) {
    struct stat st;
    if (pid <= 0 || pid == getpid()) return false;
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() || st.st_size != 0)
        return false;
    return kill(pid, 0) != 0 && errno == ESRCH;
}

void SweepDir(const std::string& dir) {
    DIR* d = opendir(dir.c_str());
    if (!d) return;
    while (const dirent* e = readdir(d)) {
        const std::string path = dir + "/" + e->d_name;
        if (Abandoned(path, PidOfTempName(e->d_name))) unlink(path.c_str());
    }
    closedir(d);
}

}  // namespace

void VESK_TempFile::RemoveAbandonedFiles() {
    const int saved = errno;
    VeskTempDirs& dirs = VeskTempDirs::Instance();
    for (int i = 0; i < dirs.Size(); ++i) SweepDir(dirs.Dir(i));
    errno = saved;
}

// ---------------------------------------------------------------- VESK_TempFile

VESK_TempFile::VESK_TempFile(const char* kind) : VESK_TempFile(kind, false) {}

VESK_TempFile::VESK_TempFile(const char* kind, bool flag) : fKind(KindFor(kind)) {
    const int n = VeskTempDirs::Instance().Size();
    VESK_ASSERT(n);
    static std::once_flag swept;
    std::call_once(swept, RemoveAbandonedFiles);
    fStripes.reserve(size_t(n));
    for (int i = 0; i < n; ++i) AddStripe(kind, flag);
}

// A fresh file opened and unlinked at once: the open stream keeps the data.
void VESK_TempFile::AddStripe(const char* kind, bool flag) {
    char name[4096];
    if (!FormTempName(kind, name)) ThrowError::StringSys(DATASRC_ERR, DatasrcMsg::TempFileCreate, kind);
    std::unique_ptr<VESK_FileStream> stripe = NewStripe(fKind, flag);
    const bool opened = stripe->Open(name, "w+bTD") != 0;
    const int error = errno;
    unlink(name);
    errno = error;
    if (!opened) ThrowError::StringSys(DATASRC_ERR, DatasrcMsg::TempFileCreate, name);
    fStripes.push_back(std::move(stripe));
}

VESK_TempFile::VESK_TempFile(const VESK_TempFile& other)
    : VESK_FileStream(other), fKind(other.fKind), fSize(other.fSize), fEof(other.fEof) {
    fStripes.reserve(other.fStripes.size());
    for (const auto& s : other.fStripes) fStripes.push_back(CopyStripe(fKind, *s));
}

VESK_TempFile::~VESK_TempFile() = default;

// Runs transfer (stripe, offset into the caller's bytes, count) over the
// chunk pieces from position on; stops at the first short transfer.
template <class Transfer>
size_t VESK_TempFile::Walk(int64_t position, size_t count, Transfer transfer) {
    if (position < 0) return 0;
    const int64_t n = int64_t(fStripes.size());
    if (n == 1) {
        fStripes[0]->Seek(position, SeekFromStart);
        return transfer(*fStripes[0], 0, count);
    }
    size_t done = 0;
    for (int64_t chunk = position / kChunk, offset = position % kChunk; done < count; ++chunk, offset = 0) {
        const size_t want = std::min(count - done, size_t(kChunk - offset));
        VESK_FileStream& stripe = *fStripes[size_t(chunk % n)];
        stripe.Seek((chunk / n) * kChunk + offset, SeekFromStart);
        const size_t got = transfer(stripe, done, want);
        done += got;
        if (got < want) break;
    }
    return done;
}

size_t VESK_TempFile::Read(void* buffer, size_t count) {
    char* out = static_cast<char*>(buffer);
    const int64_t position = Tell();
    const size_t done =
        Walk(position, count, [out](VESK_FileStream& s, size_t at, size_t n) { return s.Read(out + at, n); });
    SetPosition(position + int64_t(done));
    if (done < count) fEof = true;
    return done;
}

size_t VESK_TempFile::Write(const void* data, size_t count) {
    const char* in = static_cast<const char*>(data);
    const int64_t position = Tell();
    const size_t done =
        Walk(position, count, [in](VESK_FileStream& s, size_t at, size_t n) { return s.Write(in + at, n); });
    SetPosition(position + int64_t(done));
    fSize = std::max(fSize, position + int64_t(done));
    return done;
}

int VESK_TempFile::Seek(int64_t offset, int direction) {
    fEof = false;
    if (direction == SeekFromCurrent)
        offset += Tell();
    else if (direction == SeekFromEnd)
        offset += fSize;
    SetPosition(offset);
    return 0;
}

int VESK_TempFile::EndOfFile() const { return fEof ? 1 : 0; }

void VESK_TempFile::Clear() {
    fEof = false;
    for (auto& s : fStripes) s->Clear();
}

int VESK_TempFile::Good() const {
    for (const auto& s : fStripes)
        if (!s->Good()) return 0;
    return 1;
}

int VESK_TempFile::Flush() {
    int any = 0;
    for (auto& s : fStripes) any |= s->Flush() != 0;
    return any;
}

// A stripe's own Close would drop its data (plain and sort stripes) or do
// what Flush does (zlib stripes): the stripes stay open until destruction.
int VESK_TempFile::Close() { return Flush(); }

const char* VESK_TempFile::Name() const {
    if (fJoinedName.empty()) {
        for (const auto& s : fStripes) {
            if (!fJoinedName.empty()) fJoinedName += ",";
            fJoinedName += s->Name();
        }
    }
    return fJoinedName.c_str();
}

uint32_t VESK_TempFile::Footprint() const {
    return fStripes.empty() ? 0 : fStripes[0]->Footprint() * uint32_t(fStripes.size());
}

// ---------------------------------------------------------------- VESK_InMemoryFile

VESK_InMemoryFile::VESK_InMemoryFile() : VESK_InMemoryFile(4096) {}

VESK_InMemoryFile::VESK_InMemoryFile(size_t) {}

VESK_InMemoryFile::~VESK_InMemoryFile() = default;

// Calls copy (chunk bytes, offset into the caller's bytes, count) for the
// pieces of count bytes from the position on.
template <class Copy>
void VESK_InMemoryFile::Span(size_t count, Copy copy) {
    int64_t position = fPosition;
    for (size_t done = 0; done < count;) {
        const size_t chunk = size_t(position) / kChunk, offset = size_t(position) % kChunk;
        const size_t k = std::min(count - done, kChunk - offset);
        copy(fChunks[chunk].get() + offset, done, k);
        done += k;
        position += int64_t(k);
    }
}

size_t VESK_InMemoryFile::Write(const void* data, size_t count) {
    if (count == 0) return 0;
    if (count > size_t(INT64_MAX - fPosition)) throw std::bad_alloc();
    const int64_t end = fPosition + int64_t(count);
    const size_t need = (size_t(end) + kChunk - 1) / kChunk;
    while (fChunks.size() < need) fChunks.emplace_back(new char[kChunk]);
    const char* in = static_cast<const char*>(data);
    Span(count, [in](char* chunk, size_t at, size_t k) { std::memcpy(chunk, in + at, k); });
    fPosition = end;
    fLength = std::max(fLength, end);
    return count;
}

size_t VESK_InMemoryFile::Read(void* buffer, size_t count) {
    const size_t k = std::min(count, size_t(fLength - fPosition));
    char* out = static_cast<char*>(buffer);
    Span(k, [out](char* chunk, size_t at, size_t n) { std::memcpy(out + at, chunk, n); });
    fPosition += int64_t(k);
    return k;
}

int VESK_InMemoryFile::Seek(int64_t offset, int direction) {
    int64_t base;
    switch (direction) {
        case SeekFromStart: base = 0; break;
        case SeekFromCurrent: base = fPosition; break;
        case SeekFromEnd: base = fLength; break;
        default: return -2;
    }
    if ((offset > 0 && offset > fLength - base) || (offset < 0 && offset < -base)) return -1;
    fPosition = base + offset;
    return 0;
}
