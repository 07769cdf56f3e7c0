// Files that no directory lists: temporary copies of data that must not be
// readable by other users or outlive the process (the clear copy of an
// encrypted file). The descriptor is the only way to the file; when the last
// descriptor closes, the file is gone, also when the process is killed.
#pragma once

#include <string>

#include "vesk_export.h"

enum class AnonymousFilePlacement {
    kMemory = 0,          // memfd_create: in memory (or swap), never in a directory
    kUnnamedInTempDir = 1,  // O_TMPFILE in the next temporary directory, mode 0600
    kUnlinkedInTempDir = 2  // a 0600 file from FormTempName, unlinked at once (a kill in
                            // between can leave that file behind, still empty)
};

// Opens a new, empty file for reading and writing (close-on-exec), trying the
// placement `first` and then the later ones in the order above. Returns the
// descriptor, or -1 with errno set when none works; *used (when not null)
// receives the placement that worked. The caller closes the descriptor.
VESK_EXPORT int OpenAnonymousFile(const char* prefix, AnonymousFilePlacement first, AnonymousFilePlacement* used = nullptr);

// A name under which open(2) reaches the file of the open descriptor fd
// again, with a mode of the caller's choice, for as long as fd stays open.
VESK_EXPORT std::string AnonymousFileName(int fd);
