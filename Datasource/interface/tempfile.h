// Temporary files striped over the temporary directories, and a growable
// in-memory stream.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "filestream.h"
#include "vesk_export.h"

// One seekable stream stored as one file per temporary directory
// (VeskTempDirs), in chunks of kChunk bytes dealt round the files: chunk c of
// the stream is chunk c / count of file c mod count.
//
// Each file ("stripe") is chosen at construction from the temporary-file
// compression switch (GETZCOMPRESSION) and the kind: plain files when the
// switch is off or the kind is "xfrm"; sort streams (zcmpsSort_FileStream)
// for "sort" and "merge"; zlib streams (ZCompressed_FileStream) otherwise.
// Compressed stripes are written once, sequentially; Close (or Flush) makes
// what was written readable.
//
// The files are unlinked as soon as they are open: they vanish from the
// directories at once and their space is freed when the last stream on them
// closes, so no path (an exception, the process ending or being killed)
// leaves them behind, except for an empty file when a process dies between
// making a name and opening it: RemoveAbandonedFiles clears those.
//
// Errors: a stripe that cannot be made throws error 1001 with its name.
// Short transfers of a stripe end a Read or Write early (Read then sets end
// of file); the stripes' errors show in Good().
// Threads: one thread at a time per object; copies are independent objects.
class VESK_EXPORT VESK_TempFile : public VESK_FileStream {
public:
    static constexpr int64_t kChunk = 65536;
    enum StripeKind : int64_t { kPlain = 0, kZlib = 1, kSort = 2 };

    explicit VESK_TempFile(const char* kind);
    // flag: the stripes' constructor flag (the buffer size of plain and zlib
    // stripes, the pad flag of sort stripes).
    VESK_TempFile(const char* kind, bool flag);
    // The same stripes read through copies of their streams: plain stripes
    // share the files, zlib stripes the task, sort stripes become a second
    // reader. Starts at the source's position.
    VESK_TempFile(const VESK_TempFile& other);
    VESK_TempFile& operator=(const VESK_TempFile&) = delete;
    // Closes the stripes; the files are gone with the last copy.
    ~VESK_TempFile() override;

    void Clear() override;
    int Good() const override;
    size_t Read(void* buffer, size_t count) override;
    size_t Write(const void* data, size_t count) override;
    // Clears end of file; from the end counts from the logical size. Always 0.
    int Seek(int64_t offset, int direction) override;
    int EndOfFile() const override;
    using VESK_FileStream::Close;
    // Ends writing: every stripe flushes, the data stays readable until the
    // object goes. Nonzero when any stripe succeeded.
    int Close() override;
    int Flush() override;
    // The stripes' names joined with ",".
    const char* Name() const override;
    uint32_t Footprint() const override;

    StripeKind Kind() const { return fKind; }
    int StripeCount() const { return int(fStripes.size()); }
    // The highest position ever written.
    int64_t LogicalSize() const { return fSize; }
    // Stripe i (for tests and diagnostics).
    VESK_FileStream& Stripe(int i) const { return *fStripes[size_t(i)]; }

    // Removes, from every temporary directory, the empty regular files of
    // this user named as FormTempName names them (<prefix><pid>.<n>.<6
    // letters>) whose process no longer exists. The first temporary file of
    // a process calls it.
    static void RemoveAbandonedFiles();

private:
    void AddStripe(const char* kind, bool flag);
    template <class Transfer>
    size_t Walk(int64_t position, size_t count, Transfer transfer);

    StripeKind fKind;
    std::vector<std::unique_ptr<VESK_FileStream>> fStripes;
    int64_t fSize = 0;
    bool fEof = false;
    mutable std::string fJoinedName;
};

// A stream held in memory in chunks of kChunk bytes, allocated as it grows.
// Seeks stay within [0, length]. Memory exhaustion throws std::bad_alloc.
class VESK_EXPORT VESK_InMemoryFile : public VESK_StrBaseIO {
public:
    static constexpr size_t kChunk = 1048512;  // 64 bytes short of a mebibyte

    VESK_InMemoryFile();
    // The size hint is not used.
    explicit VESK_InMemoryFile(size_t sizeHint);
    ~VESK_InMemoryFile() override;
    VESK_InMemoryFile(const VESK_InMemoryFile&) = delete;
    VESK_InMemoryFile& operator=(const VESK_InMemoryFile&) = delete;

    void Clear() override {}
    int Good() const override { return 1; }
    size_t Read(void* buffer, size_t count) override;
    // Always count.
    size_t Write(const void* data, size_t count) override;
    // -2 for an unknown direction, -1 for a target outside [0, length].
    int Seek(int64_t offset, int direction) override;
    int64_t Tell() const override { return fPosition; }
    int EndOfFile() const override { return fPosition == fLength ? 1 : 0; }

    int64_t Length() const { return fLength; }
    size_t ChunkCount() const { return fChunks.size(); }

private:
    template <class Copy>
    void Span(size_t count, Copy copy);

    std::vector<std::unique_ptr<char[]>> fChunks;
    int64_t fPosition = 0;
    int64_t fLength = 0;
};
