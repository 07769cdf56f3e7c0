#define VESK_SOURCE_NAME "Platform/anonfile"
#include "anonfile.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>

#include "tempdirs.h"

namespace {

int OpenInMemory(const char* prefix) { return memfd_create(prefix, MFD_CLOEXEC); }

int OpenUnnamed() {
    const std::string dir = VeskTempDirs::Instance().NextDir();
    return open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
}

int OpenUnlinked(const char* prefix) {
    char name[261] = {};
    if (!FormTempName(prefix, name)) return -1;
    const int fd = open(name, O_RDWR | O_CLOEXEC);
    const int saved = errno;
    unlink(name);
    errno = saved;
    return fd;
}

int OpenPlaced(const char* prefix, AnonymousFilePlacement placement) {
    switch (placement) {
    case AnonymousFilePlacement::kMemory: return OpenInMemory(prefix);
    case AnonymousFilePlacement::kUnnamedInTempDir: return OpenUnnamed();
    case AnonymousFilePlacement::kUnlinkedInTempDir: return OpenUnlinked(prefix);
    }
    errno = EINVAL;
    return -1;
}

}  // namespace

int OpenAnonymousFile(const char* prefix, AnonymousFilePlacement first, AnonymousFilePlacement* used) {
    for (int p = static_cast<int>(first); p <= static_cast<int>(AnonymousFilePlacement::kUnlinkedInTempDir); ++p) {
        const auto placement = static_cast<AnonymousFilePlacement>(p);
        const int fd = OpenPlaced(prefix, placement);
        if (fd < 0) continue;
        if (used) *used = placement;
        return fd;
    }
    return -1;
}

std::string AnonymousFileName(int fd) { return "/proc/self/fd/" + std::to_string(fd); }
