#define VESK_SOURCE_NAME "Platform/replacingfile"
#include "replacingfile.h"

#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <utility>

#include "errortext.h"
#include "filestream.h"
#include "vesk_assert.h"

namespace {

constexpr int kMaxLinks = 40;      // symbolic links followed, as many as the kernel follows
constexpr int kNameTries = 100;    // fresh temporary names tried before giving up
constexpr int kSuffixLength = 6;

// The table of temporary files for RemovePendingFiles. A slot is free, being
// filled (its path not yet whole: not touched by the handler) or listed.
enum SlotState { kFree, kFilling, kListed };
struct PendingSlot {
    std::atomic<int> state{kFree};
    char path[PATH_MAX];
};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler reads the slot states");
PendingSlot gPending[VESK_ReplacingFile::kMaxPending];

// "dir/" (empty for a bare name) and the last component.
std::pair<std::string, std::string> SplitPath(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {std::string(), path};
    return {path.substr(0, slash + 1), path.substr(slash + 1)};
}

// path with its symbolic links followed; ELOOP in errno and false for too many.
bool FollowLinks(std::string& path) {
    for (int i = 0; i < kMaxLinks; ++i) {
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
        char link[PATH_MAX];
        const ssize_t n = readlink(path.c_str(), link, sizeof link - 1);
        if (n < 0) return false;
        const std::string to(link, size_t(n));
        path = to[0] == '/' ? to : SplitPath(path).first + to;
    }
    errno = ELOOP;
    return false;
}

std::string RandomSuffix() {
    static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    static std::atomic<uint64_t> counter{0};
    uint64_t x = 0;
    // Without random bytes the names follow a counter; O_EXCL keeps them apart.
    if (getrandom(&x, sizeof x, GRND_NONBLOCK) != ssize_t(sizeof x)) x = uint64_t(getpid()) << 32;
    x ^= counter.fetch_add(1) * 0x9E3779B97F4A7C15ull;
    std::string s(kSuffixLength, 'X');
    for (char& c : s) {
        c = kChars[x % (sizeof kChars - 1)];
        x /= sizeof kChars - 1;
    }
    return s;
}

bool SyncFd(int fd) {
    if (const int injected = VESK_FileFaults::Inject(VESK_FileFaults::kSync)) {
        errno = injected;
        return false;
    }
    return fsync(fd) == 0;
}

bool CloseFd(int fd) {
    const bool ok = close(fd) == 0;
    if (const int injected = VESK_FileFaults::Inject(VESK_FileFaults::kClose)) {
        errno = injected;
        return false;
    }
    return ok;
}

// A file system that cannot sync a directory (EINVAL) has nothing to flush.
bool SyncDirectory(const std::string& prefix) {
    const int fd = open(prefix.empty() ? "." : prefix.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = SyncFd(fd) || errno == EINVAL;
    int err = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    errno = err;
    return ok;
}

// Blocks every signal on this thread while it lives.
class SignalsBlocked {
public:
    SignalsBlocked() {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &fOld);
    }
    ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &fOld, nullptr); }

private:
    sigset_t fOld;
};

}  // namespace

VESK_ReplacingFile::VESK_ReplacingFile(const std::string& target) : fTarget(target), fResolved(target) {
    try {
        if (!FollowLinks(fResolved)) Fail(DatasrcMsg::CannotOpen);
        struct stat st;
        if (stat(fResolved.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
            // A device, pipe or socket is written where it is: renaming a
            // file onto it would replace the special file itself.
            fInPlace = true;
            fTempPath = fResolved;
            return;
        }
        CreateTemp();
    } catch (...) {
        Discard();
        throw;
    }
}

VESK_ReplacingFile::~VESK_ReplacingFile() { Discard(); }

void VESK_ReplacingFile::Discard() {
    const int err = errno;
    if (fFd >= 0) close(fFd);
    fFd = -1;
    // Removed before it leaves the table: a signal in between finds no file.
    if (!fDone && !fInPlace && !fTempPath.empty()) unlink(fTempPath.c_str());
    Unlist();
    errno = err;
}

void VESK_ReplacingFile::Fail(DatasrcMsg number) const { ThrowError::StringSys(DATASRC_ERR, number, fTarget); }

void VESK_ReplacingFile::CreateTemp() {
    const auto [prefix, base] = SplitPath(fResolved);
    struct stat st;
    const bool replacing = stat(fResolved.c_str(), &st) == 0;
    if (base.empty() || (replacing && S_ISDIR(st.st_mode))) {
        errno = base.empty() ? ENOENT : EISDIR;
        Fail(DatasrcMsg::CannotOpen);
    }
    // Private while the old file's bits are not yet set; a new file gets
    // the bits any new file gets (the umask applies).
    const mode_t createMode = replacing ? 0600 : 0666;
    for (int i = 0; i < kNameTries && fFd < 0; ++i) {
        const std::string path = prefix + "." + base + ".tmp-" + RandomSuffix();
        SignalsBlocked quiet;  // created and listed as one step
        const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, createMode);
        if (fd < 0 && errno != EEXIST) Fail(DatasrcMsg::CannotOpen);
        if (fd < 0) continue;
        fFd = fd;
        fTempPath = path;
        List();
    }
    if (fFd < 0) Fail(DatasrcMsg::CannotOpen);  // errno is EEXIST
    if (replacing && fchmod(fFd, st.st_mode & 07777) != 0) Fail(DatasrcMsg::CannotOpen);
}

void VESK_ReplacingFile::Commit() {
    if (fInPlace) {
        fDone = true;
        return;
    }
    VESK_ASSERT(!fDone && fFd >= 0);
    if (!SyncFd(fFd)) Fail(DatasrcMsg::CannotWriteCase);
    const int fd = fFd;
    fFd = -1;
    if (!CloseFd(fd)) Fail(DatasrcMsg::CannotWriteCase);
    if (const int injected = VESK_FileFaults::Inject(VESK_FileFaults::kRename)) {
        errno = injected;
        Fail(DatasrcMsg::CannotWriteCase);
    }
    if (rename(fTempPath.c_str(), fResolved.c_str()) != 0) Fail(DatasrcMsg::CannotWriteCase);
    fDone = true;
    Unlist();
    if (!SyncDirectory(SplitPath(fResolved).first)) Fail(DatasrcMsg::CannotWriteCase);
}

void VESK_ReplacingFile::List() {
    std::string path = fTempPath;
    if (path[0] != '/') {
        char cwd[PATH_MAX];
        if (!getcwd(cwd, sizeof cwd)) return;
        path = std::string(cwd) + "/" + path;
    }
    if (path.size() >= PATH_MAX) return;
    for (int i = 0; i < kMaxPending; ++i) {
        int expected = kFree;
        if (!gPending[i].state.compare_exchange_strong(expected, kFilling)) continue;
        std::memcpy(gPending[i].path, path.c_str(), path.size() + 1);
        gPending[i].state.store(kListed);
        fSlot = i;
        return;
    }
}

void VESK_ReplacingFile::Unlist() {
    if (fSlot < 0) return;
    gPending[fSlot].state.store(kFree);
    fSlot = -1;
}

void VESK_ReplacingFile::RemovePendingFiles() {
    for (PendingSlot& slot : gPending)
        if (slot.state.load() == kListed) unlink(slot.path);
}
