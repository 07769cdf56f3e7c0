#define VESK_SOURCE_NAME "Platform/tempdirs"
#include "tempdirs.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>

#include "vesk_assert.h"

namespace {

std::string Absolute(std::string dir) {
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    if (dir[0] == '/') return dir;
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd)) return dir;
    std::string base(cwd);
    if (dir == ".") return base;
    return base == "/" ? "/" + dir : base + "/" + dir;
}

}  // namespace

// ---------------------------------------------------------------- VeskTempDirs

VeskTempDirs::VeskTempDirs() { LoadLocked(); }

VeskTempDirs& VeskTempDirs::Instance() {
    static VeskTempDirs instance;
    return instance;
}

void VeskTempDirs::LoadLocked() {
    fDirs.clear();
    fNext = 0;
    if (const char* list = std::getenv("VESK_TMPDIRS")) {
        const char* p = list;
        for (;;) {
            const char* end = std::strchr(p, ':');
            std::string entry = end ? std::string(p, end) : std::string(p);
            if (!entry.empty()) fDirs.push_back(Absolute(entry));
            if (!end) break;
            p = end + 1;
        }
    }
    if (fDirs.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        fDirs.push_back(Absolute(tmp && *tmp ? tmp : "/tmp"));
    }
}

void VeskTempDirs::Reload() {
    std::lock_guard<std::mutex> lock(fMutex);
    LoadLocked();
}

int VeskTempDirs::Size() const {
    std::lock_guard<std::mutex> lock(fMutex);
    return static_cast<int>(fDirs.size());
}

std::string VeskTempDirs::Dir(int i) const {
    std::lock_guard<std::mutex> lock(fMutex);
    VESK_ASSERT(i >= 0 && i < static_cast<int>(fDirs.size()));
    return fDirs[i];
}

std::string VeskTempDirs::NextDir() {
    std::lock_guard<std::mutex> lock(fMutex);
    std::string dir = fDirs[fNext % fDirs.size()];
    fNext = (fNext + 1) % fDirs.size();
    return dir;
}

// ---------------------------------------------------------------- FormTempName

int FormTempName(const char* prefix, char* buffer, size_t bufferSize) {
    VESK_ASSERT(prefix != nullptr);
    VESK_ASSERT(buffer != nullptr);
    if (std::strchr(prefix, '/')) {
        errno = EINVAL;
        return 0;
    }
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    static std::atomic<unsigned> counter{0};
    thread_local std::mt19937_64 random(std::random_device{}() ^
                                        (static_cast<uint64_t>(getpid()) << 32));

    std::string dir = VeskTempDirs::Instance().NextDir();
    for (int attempt = 0; attempt < 100; ++attempt) {
        // <dir>/<prefix><pid>.<counter>.<6 random letters>
        std::string name = dir == "/" ? "/" : dir + "/";
        name += prefix;
        name += std::to_string(getpid()) + "." + std::to_string(counter++) + ".";
        uint64_t bits = random();
        for (int i = 0; i < 6; ++i, bits /= 62) name += kLetters[bits % 62];
        if (name.size() + 1 > bufferSize) {
            errno = ENAMETOOLONG;
            return 0;
        }
        int fd = open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            close(fd);
            std::memcpy(buffer, name.c_str(), name.size() + 1);
            return 1;
        }
        if (errno != EEXIST) return 0;
    }
    errno = EEXIST;
    return 0;
}

// ---------------------------------------------------------------- name record

namespace {

struct PesEntry {
    int kind;
    int flags;
};

std::mutex& PesMutex() {
    static std::mutex m;
    return m;
}

std::map<std::string, PesEntry>& PesCache() {
    static std::map<std::string, PesEntry> cache;
    return cache;
}

}  // namespace

int TestAndStoreToPes(const char* name, int kind, int flags) {
    if (!name) return 0;
    std::lock_guard<std::mutex> lock(PesMutex());
    auto [it, inserted] = PesCache().insert_or_assign(name, PesEntry{kind, flags});
    return inserted ? 0 : 1;
}

int RemoveFromPesCache(const char* name) {
    if (!name) return 0;
    std::lock_guard<std::mutex> lock(PesMutex());
    return PesCache().erase(name) ? 1 : 0;
}

int LookupPesCache(const char* name, int* kind, int* flags) {
    if (!name) return 0;
    std::lock_guard<std::mutex> lock(PesMutex());
    auto it = PesCache().find(name);
    if (it == PesCache().end()) return 0;
    if (kind) *kind = it->second.kind;
    if (flags) *flags = it->second.flags;
    return 1;
}
