// Temporary directories and fresh temporary file names.
//
// The directories come from the environment variable VESK_TMPDIRS, a
// colon-separated list (empty entries ignored, relative entries made absolute
// against the working directory at load time). Without it there is one
// directory: $TMPDIR when set and not empty, else /tmp.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "vesk_export.h"

class VESK_EXPORT VeskTempDirs {
public:
    static VeskTempDirs& Instance();

    // Number of directories (at least 1).
    int Size() const;
    // Directory i (0 <= i < Size()), without a trailing slash.
    std::string Dir(int i) const;
    // The next directory in round-robin order; successive calls cycle through all.
    std::string NextDir();
    // Reads the environment again (for tests and for hosts that change it).
    void Reload();

    VeskTempDirs(const VeskTempDirs&) = delete;
    VeskTempDirs& operator=(const VeskTempDirs&) = delete;

private:
    VeskTempDirs();
    void LoadLocked();

    mutable std::mutex fMutex;
    std::vector<std::string> fDirs;
    size_t fNext = 0;
};

// Writes into buffer (bufferSize bytes, including the terminating NUL) the
// absolute path of a new, empty file whose name begins with prefix, in the
// next temporary directory. The file is created exclusively with mode 0600,
// so the name is really unused; the caller opens it (and removes it). Returns
// nonzero on success; 0 with errno set when the name does not fit
// (ENAMETOOLONG), the prefix holds a '/' (EINVAL) or the file cannot be made.
VESK_EXPORT int FormTempName(const char* prefix, char* buffer, size_t bufferSize);

template <size_t N>
int FormTempName(const char* prefix, char (&buffer)[N]) {
    return FormTempName(prefix, buffer, N);
}

// A process-wide, mutex-protected record of file names that outlive the
// operation that wrote them (a written data file, say), each with two small
// integers: a kind and a flag word chosen by the caller. The library uses it
// only as bookkeeping; nothing is done to the files.
//
// Stores (name, kind, flags) and returns nonzero when the name was recorded
// before (its values are replaced), 0 when it is new or name is null.
VESK_EXPORT int TestAndStoreToPes(const char* name, int kind, int flags);
// Forgets the name; nonzero when it was recorded. A null name does nothing.
VESK_EXPORT int RemoveFromPesCache(const char* name);
// Looks the name up; nonzero when recorded, with its values stored through
// the pointers that are not null.
VESK_EXPORT int LookupPesCache(const char* name, int* kind, int* flags);
