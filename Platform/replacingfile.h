// Replacing a file only once its successor is complete and on disk.
//
// The new contents go to a temporary file beside the file to replace; Commit
// flushes it to disk, renames it onto that file and flushes the directory, so
// that after a crash the name holds either the old file or the whole new one.
// Without a successful Commit the temporary file is removed and the old file
// stays as it was.
//
// Signals: every temporary file not yet committed or removed is listed in a
// fixed, process-wide table that RemovePendingFiles walks with unlink(2)
// alone, so a handler of SIGINT or SIGTERM can remove them. Up to
// kMaxPending files are listed at once; one beyond that (or one whose
// absolute path is PATH_MAX bytes or longer) is still written and replaced
// as usual but is not removed by RemovePendingFiles.
//
// Errors: raised through ThrowError with "datasrc.err" and the target name
// as given: 1201 when the temporary file cannot be made, 1202 when flushing,
// closing or renaming fails (with the operating system's error text).
//
// Threads: one object is used by one thread at a time; objects on different
// threads are independent (the table is lock-free).
#pragma once

#include <string>

#include "errortext.h"

class VESK_ReplacingFile {
public:
    static constexpr int kMaxPending = 16;

    // target need not exist. A symbolic link is followed to the file it
    // names, which is then the file replaced (the link stays a link). The
    // temporary file ".NAME.tmp-XXXXXX" is made in that file's directory
    // with the permission bits of the file it replaces, or those of a new
    // file (0666 less the umask) when there is none. A device, pipe or
    // socket is not replaced: TempPath is the file itself and Commit does
    // nothing.
    explicit VESK_ReplacingFile(const std::string& target);
    // Removes the temporary file unless Commit succeeded.
    ~VESK_ReplacingFile();
    VESK_ReplacingFile(const VESK_ReplacingFile&) = delete;
    VESK_ReplacingFile& operator=(const VESK_ReplacingFile&) = delete;

    // Where to write the new contents.
    const std::string& TempPath() const { return fTempPath; }
    // The file that Commit replaces (symbolic links followed).
    const std::string& Target() const { return fResolved; }

    // Flushes the temporary file to disk, renames it onto the target and
    // flushes the directory; whoever wrote the temporary file must have
    // closed it. When only the directory flush fails, the target already
    // holds the new contents but the error is raised all the same: the
    // replacement may not survive a crash.
    void Commit();

    // Removes every listed temporary file. Async-signal-safe.
    static void RemovePendingFiles();

private:
    [[noreturn]] void Fail(DatasrcMsg number) const;
    void CreateTemp();
    void Discard();
    void List();
    void Unlist();

    std::string fTarget;    // as given, for errors
    std::string fResolved;  // symbolic links followed
    std::string fTempPath;
    int fFd = -1;           // the temporary file's, kept for the flush
    bool fInPlace = false;  // a special file, written where it is
    int fSlot = -1;         // in the table of pending files
    bool fDone = false;     // renamed onto the target
};
