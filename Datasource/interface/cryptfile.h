// The encrypted file stream: a VESK_FileStream over a system file stored
// encrypted under a password.
//
// On disk the file is a 36-byte clear header (an 8-byte record length 28,
// then "ENCRYPTEDSAV", the 32-bit value 21 and twelve zero bytes, integers
// little-endian) followed by the file cipher's output for the complete clear
// system file (filecipher.h).
//
// Opening for reading deciphers the whole file into a clear copy and serves
// every read and seek from it; opening for writing collects the clear data in
// the copy, and Close enciphers it into the file. The clear copy is an
// anonymous file (anonfile.h): in memory by default, never listed in a
// directory, readable by no other user, and gone when the stream closes or the
// process ends, however it ends.
//
// Ownership: a CryptFileStream owns its CryptFile through a RefCountPtr; the
// CryptFile owns both streams, the cipher and the clear copy.
// Threads: a stream and its CryptFile are used from one thread at a time.
// Errors: none are raised; Open reports every failure as 0 (the system-file
// reader turns that into its own errors 1201 and 1213).
#pragma once

#include <cstdint>
#include <memory>

#include "anonfile.h"
#include "filecipher.h"
#include "filestream.h"
#include "refcount.h"
#include "textmb.h"
#include "vesk_export.h"

// The state of one opened encrypted file. It cannot be copied (assertion).
class VESK_EXPORT CryptFile : public VESK_RefCntObject {
public:
    CryptFile();
    CryptFile(const CryptFile&);
    CryptFile& operator=(const CryptFile&) = delete;
    // Clears the open flag and closes both streams without committing; the
    // clear copy goes with them. Wipes the password.
    ~CryptFile() override;

private:
    friend class CryptFileStream;

    // The stream over the encrypted file; a commit rewrites the whole file,
    // so it cuts the file where the new contents end.
    class CipherStream : public VESK_FileStream {
    public:
        bool TruncateHere();
    };

    bool Open(AnonymousFilePlacement placement);
    bool OpenClear(AnonymousFilePlacement placement);
    bool CheckHeader();
    bool CheckClearData();
    bool ReopenClear(const char* mode);
    bool Writable() const;
    bool Commit();
    int Close();

    std::string fMagic = "ENCRYPTEDSAV";
    ExtNameStr fFileName;
    ExtNameStr fPassword;
    ExtNameStr fMode;  // as the caller gave it
    VESK_FileStream fClear;
    CipherStream fCipherStream;
    FileCipher fCipher;
    bool fOpen = false;
    // The clear copy's descriptor, held so that the clear stream can close
    // and open the copy again by name (AnonymousFileName).
    int fClearFd = -1;
    bool fCommitFailed = false;
};

class VESK_EXPORT CryptFileStream : public VESK_FileStream {
public:
    // Size of the clear header before the cipher's output.
    static constexpr int64_t kClearHeaderSize = 36;

    CryptFileStream();
    // Runs Open at once; Good tells whether it worked.
    CryptFileStream(const ExtNameStr& name, const ExtNameStr& password, const char* mode);
    // Drops the CryptFile: an open stream is closed without committing.
    ~CryptFileStream() override;
    CryptFileStream(const CryptFileStream&) = delete;
    CryptFileStream& operator=(const CryptFileStream&) = delete;

    // The byte-stream operations work on the clear copy; without an open
    // CryptFile they transfer nothing and fail. Good needs both streams.
    void Clear() override;
    int Good() const override;
    size_t Read(void* buffer, size_t count) override;
    size_t Write(const void* data, size_t count) override;
    int Seek(int64_t offset, int direction) override;
    int64_t Tell() const override;
    // 1 when the clear copy's position is its end.
    int EndOfFile() const override;

    using VESK_FileStream::Open;
    // Opens the encrypted file `name` under `password` (UTF-8 form used) with
    // a mode text of the standard file-open function. A mode with 'r' or 'a'
    // checks the clear header, deciphers the file and checks that the clear
    // data starts like a system file (a wrong password fails here), then
    // serves the clear copy in that mode; a mode with 'w' only starts an
    // empty copy. Nonzero on success; on failure the stream holds no
    // CryptFile. An earlier CryptFile is dropped without committing.
    int Open(const ExtNameStr& name, const ExtNameStr& password, const char* mode) override;
    // Narrow names are not supported: 0.
    int Open(const char* name, const char* password, const char* mode) override;

    void ClearAndReset() override;
    // The encrypted file's name.
    ExtNameStr GetNameStr() const override;
    // Both forms: for a mode with 'w', 'a' or '+', first commit (write the
    // clear header and encipher the clear copy into the file), then close
    // both streams. Nonzero when both closed cleanly; a failed commit does
    // not change the result (see CommitFailed).
    int Close() const override;
    int Close() override;
    int Flush() override;
    // Null: the stream has no narrow name.
    const char* Name() const override;
    uint32_t Footprint() const override;

    // The last Close could not write the encrypted file completely.
    bool CommitFailed() const;
    // The clear copy while open, else null. A copy of it (VESK_FileStream's
    // copy constructor) reads the clear data with a position of its own.
    const VESK_FileStream* ClearStream() const;

    // Where clear copies opened from now on are kept (process-wide); the
    // default is kMemory. Later placements are tried when one is not
    // available.
    static void SetClearCopyPlacement(AnonymousFilePlacement placement);
    static AnonymousFilePlacement ClearCopyPlacement();

private:
    CryptFile* Body() const;

    std::unique_ptr<RefCountPtr<CryptFile>> fFile;
};
