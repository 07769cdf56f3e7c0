// Helpers of the temporary-storage suites: a directory per test, the
// temporary directories and the compression switch set for a scope, and data
// that compresses partly.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "filestream.h"
#include "tempdirs.h"
#include "zcompressedfilestr.h"

// A fresh directory under $TMPDIR (default /tmp), removed with its content.
struct StorageDir {
    explicit StorageDir(const std::string& name)
        : path(Base() + "/" + name + "." + std::to_string(getpid())) {
        std::filesystem::remove_all(path);
        std::filesystem::create_directories(path);
    }
    ~StorageDir() { std::filesystem::remove_all(path); }
    std::string File(const std::string& name) const { return path + "/" + name; }
    // The names in the directory.
    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(path)) names.push_back(e.path().filename());
        return names;
    }
    static std::string Base() {
        const char* t = std::getenv("TMPDIR");
        return t && *t ? t : "/tmp";
    }
    const std::string path;
};

// The temporary directories are dirs while the object lives.
struct UseTempDirs {
    explicit UseTempDirs(const std::vector<std::string>& dirs) {
        std::string list;
        for (const std::string& d : dirs) list += (list.empty() ? "" : ":") + d;
        setenv("VESK_TMPDIRS", list.c_str(), 1);
        VeskTempDirs::Instance().Reload();
    }
    ~UseTempDirs() {
        unsetenv("VESK_TMPDIRS");
        VeskTempDirs::Instance().Reload();
    }
};

inline void SetZCompression(bool on) {
    const int32_t mode = on ? 1 : 0;
    int64_t result = 0;
    SETZCOMPRESSION(&mode, &result);
}

// Temporary-file compression is on (or off) while the object lives.
struct UseCompression {
    explicit UseCompression(bool on) { SetZCompression(on); }
    ~UseCompression() { SetZCompression(false); }
};

// Writes data in pieces of `piece` bytes; true when every byte was taken.
inline bool WriteInPieces(VESK_StrBaseIO& s, const std::vector<char>& data, size_t piece) {
    size_t written = 0;
    for (size_t at = 0; at < data.size(); at += piece) written += s.Write(&data[at], std::min(piece, data.size() - at));
    return written == data.size();
}

// n bytes in which runs of one repeated byte alternate with random bytes, so
// that blocks compress, but not to nothing.
inline std::vector<char> MixedBytes(size_t n, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<char> bytes(n);
    for (size_t i = 0; i < n;) {
        const size_t run = std::min<size_t>(n - i, 1 + random() % 600);
        const bool repeat = random() % 2;
        const char c = char(random());
        for (size_t k = 0; k < run; ++k) bytes[i + k] = repeat ? c : char(random());
        i += run;
    }
    return bytes;
}
