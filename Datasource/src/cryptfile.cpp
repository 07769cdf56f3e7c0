// The encrypted file stream and the state of one opened encrypted file.
#define VESK_SOURCE_NAME "Datasource/src/cryptfile"

#include "cryptfile.h"

#include <unistd.h>

#include <atomic>
#include <cstring>

#include "byteorder.h"
#include "vesk_assert.h"

namespace {

constexpr uint64_t kRecordLength = 28;
constexpr uint32_t kWrapperVersion = 21;
constexpr size_t kMagicSize = 12;
// The clear data must begin like a system file: its magic, and a layout code
// of 1 to 3 at byte 64 in either byte order.
constexpr size_t kClearCheckSize = 80;
constexpr size_t kLayoutCodeOffset = 64;

std::atomic<int> gPlacement{static_cast<int>(AnonymousFilePlacement::kMemory)};

bool HasLetter(const ExtNameStr& mode, char letter) { return std::strchr(mode.GetGeneric(), letter) != nullptr; }

// The wrapper's numbers are little-endian.
constexpr ByteOrder kWrapperOrder = ByteOrder::Little();

bool LayoutCodeOK(uint32_t code) {
    for (uint32_t c = 1; c <= 3; ++c)
        if (code == c || code == c << 24) return true;
    return false;
}

}  // namespace

// ---------------------------------------------------------------- CryptFile

CryptFile::CryptFile() = default;

CryptFile::CryptFile(const CryptFile&) : VESK_RefCntObject() { VESK_ASSERT(0 && "Cannot copy a CryptFile."); }

CryptFile::~CryptFile() {
    fOpen = false;
    fClear.Close();
    fCipherStream.Close();
    if (fClearFd >= 0) {
        // Give the copy's pages back now rather than when the last stream
        // copy over it goes.
        if (ftruncate(fClearFd, 0) != 0) {
            // Nothing to do: closing frees the copy all the same.
        }
        close(fClearFd);
    }
    fPassword.Wipe();
}

bool CryptFile::CipherStream::TruncateHere() {
    if (!Flush()) return false;
    VESK_File* file = GetFile();
    return file && ftruncate(file->Descriptor(), off_t(Tell())) == 0;
}

bool CryptFile::Writable() const { return HasLetter(fMode, 'w') || HasLetter(fMode, 'a') || HasLetter(fMode, '+'); }

bool CryptFile::Open(AnonymousFilePlacement placement) {
    // A commit rewrites the whole file from its start, which an append mode
    // would not let it do: the file is then opened for update in place.
    const char* cipherMode = HasLetter(fMode, 'a') ? "r+b" : fMode.GetGeneric();
    if (!fCipherStream.Open(fFileName, fPassword, cipherMode) || !OpenClear(placement)) return false;
    if (!HasLetter(fMode, 'r') && !HasLetter(fMode, 'a')) return HasLetter(fMode, 'w');
    return CheckHeader() && fCipher.decrypt(fPassword.GetU8(), fCipherStream, fClear) && CheckClearData() &&
           ReopenClear(fMode.GetGeneric());
}

bool CryptFile::OpenClear(AnonymousFilePlacement placement) {
    fClearFd = OpenAnonymousFile("decrypt", placement);
    if (fClearFd < 0) return false;
    const ExtNameStr name(AnonymousFileName(fClearFd).c_str());
    if (!fClear.Open(name, fPassword, "wb+")) return false;
    fOpen = true;
    return true;
}

// The clear header: the record length, then a record whose text (up to its
// first zero byte) is not the bare magic. Ours runs on into the version byte
// 21, so it never is; a record holding the magic and a terminator is another
// wrapper, which this cipher cannot read.
bool CryptFile::CheckHeader() {
    unsigned char length[8];
    if (fCipherStream.Read(length, sizeof length) != sizeof length || kWrapperOrder.GetU64(length) != kRecordLength)
        return false;
    char record[kRecordLength + 1] = {};
    if (fCipherStream.Read(record, kRecordLength) != kRecordLength) return false;
    return fMagic != record;
}

bool CryptFile::CheckClearData() {
    const int64_t position = fClear.Tell();
    unsigned char head[kClearCheckSize];
    const bool read = fClear.Seek(0, VESK_StrBaseIO::SeekFromStart) == 0 &&
                      fClear.Read(head, sizeof head) == sizeof head;
    fClear.Seek(position, VESK_StrBaseIO::SeekFromStart);
    if (!read || (std::memcmp(head, "$FL2", 4) != 0 && std::memcmp(head, "$FL3", 4) != 0)) return false;
    uint32_t code;
    std::memcpy(&code, head + kLayoutCodeOffset, sizeof code);
    return LayoutCodeOK(code);
}

bool CryptFile::ReopenClear(const char* mode) {
    const ExtNameStr name = fClear.GetNameStr();
    const int closed = fClear.Close();
    return fClear.Open(name, fPassword, mode) && closed;
}

bool CryptFile::Commit() {
    unsigned char header[CryptFileStream::kClearHeaderSize] = {};
    kWrapperOrder.PutU64(header, kRecordLength);
    std::memcpy(header + 8, fMagic.data(), kMagicSize);
    kWrapperOrder.PutU32(header + 8 + kMagicSize, kWrapperVersion);
    if (fCipherStream.Seek(0, VESK_StrBaseIO::SeekFromStart) != 0 ||
        fCipherStream.Write(header, sizeof header) != sizeof header)
        return false;
    return ReopenClear("rb") && fCipher.encrypt(fPassword.GetU8(), fClear, fCipherStream) &&
           fCipherStream.TruncateHere();
}

int CryptFile::Close() {
    if (fOpen && Writable()) fCommitFailed = !Commit();
    fOpen = false;
    const int clear = fClear.Close();
    const int cipher = fCipherStream.Close();
    return clear && cipher;
}

// ---------------------------------------------------------------- CryptFileStream

CryptFileStream::CryptFileStream() : fFile(new RefCountPtr<CryptFile>) {}

CryptFileStream::CryptFileStream(const ExtNameStr& name, const ExtNameStr& password, const char* mode)
    : CryptFileStream() {
    Open(name, password, mode);
}

CryptFileStream::~CryptFileStream() { *fFile = nullptr; }

CryptFile* CryptFileStream::Body() const { return fFile->get(); }

void CryptFileStream::Clear() {
    if (CryptFile* f = Body()) f->fClear.Clear();
}

int CryptFileStream::Good() const {
    const CryptFile* f = Body();
    return f && f->fClear.Good() && f->fCipherStream.Good();
}

size_t CryptFileStream::Read(void* buffer, size_t count) {
    CryptFile* f = Body();
    return f ? f->fClear.Read(buffer, count) : 0;
}

size_t CryptFileStream::Write(const void* data, size_t count) {
    CryptFile* f = Body();
    return f ? f->fClear.Write(data, count) : 0;
}

int CryptFileStream::Seek(int64_t offset, int direction) {
    CryptFile* f = Body();
    return f ? f->fClear.Seek(offset, direction) : -1;
}

int64_t CryptFileStream::Tell() const {
    const CryptFile* f = Body();
    return f ? f->fClear.Tell() : 0;
}

int CryptFileStream::EndOfFile() const {
    CryptFile* f = Body();
    if (!f) return 1;
    const int64_t position = f->fClear.Tell();
    f->fClear.Seek(0, VESK_StrBaseIO::SeekFromEnd);
    const int64_t end = f->fClear.Tell();
    f->fClear.Seek(position, VESK_StrBaseIO::SeekFromStart);
    return position == end ? 1 : 0;
}

int CryptFileStream::Open(const ExtNameStr& name, const ExtNameStr& password, const char* mode) {
    RefCountPtr<CryptFile> file(new CryptFile);
    file->fFileName = name;
    file->fPassword = password;
    file->fMode.SetGeneric(mode ? mode : "");
    *fFile = file;
    if (file->Open(ClearCopyPlacement())) return 1;
    *fFile = nullptr;
    return 0;
}

int CryptFileStream::Open(const char*, const char*, const char*) { return 0; }

void CryptFileStream::ClearAndReset() {
    if (CryptFile* f = Body()) f->fClear.ClearAndReset();
}

ExtNameStr CryptFileStream::GetNameStr() const {
    const CryptFile* f = Body();
    return f ? f->fFileName : ExtNameStr();
}

int CryptFileStream::Close() const {
    CryptFile* f = Body();
    return f ? f->Close() : 0;
}

int CryptFileStream::Close() { return static_cast<const CryptFileStream*>(this)->Close(); }

int CryptFileStream::Flush() {
    CryptFile* f = Body();
    return f ? f->fClear.Flush() : 0;
}

const char* CryptFileStream::Name() const { return nullptr; }

uint32_t CryptFileStream::Footprint() const { return 8; }

bool CryptFileStream::CommitFailed() const {
    const CryptFile* f = Body();
    return f && f->fCommitFailed;
}

const VESK_FileStream* CryptFileStream::ClearStream() const {
    const CryptFile* f = Body();
    return f && f->fOpen ? &f->fClear : nullptr;
}

void CryptFileStream::SetClearCopyPlacement(AnonymousFilePlacement placement) {
    gPlacement.store(static_cast<int>(placement));
}

AnonymousFilePlacement CryptFileStream::ClearCopyPlacement() {
    return static_cast<AnonymousFilePlacement>(gPlacement.load());
}
