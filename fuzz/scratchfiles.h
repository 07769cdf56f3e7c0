// What the fuzzing harnesses share: scratch files in a memory-backed
// directory, synchronous reading, and the way a broken invariant is reported.
#pragma once

#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "zcompressedfilestr.h"

namespace fuzz {

// The paths handed out so far, removed at exit.
inline std::vector<std::string>& ScratchPaths() {
    static std::vector<std::string> paths;
    return paths;
}

inline void RemoveScratchFiles() {
    for (const std::string& path : ScratchPaths()) std::remove(path.c_str());
}

// A file name of this process, unique by its suffix, in /dev/shm when there
// is one (else $TMPDIR or /tmp). Call once per file, from the initialiser or
// the first input.
inline std::string ScratchPath(const std::string& suffix) {
    const char* tmp = std::getenv("TMPDIR");
    const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : tmp ? tmp : "/tmp";
    if (ScratchPaths().empty()) std::atexit(RemoveScratchFiles);
    ScratchPaths().push_back(std::string(dir) + "/vesk-fuzz-" + std::to_string(getpid()) + suffix);
    return ScratchPaths().back();
}

// Read-ahead threads would make runs slow and nondeterministic: off.
inline void ReadSynchronously() {
    const int64_t off = 0;
    SETASYNCHREADING(&off);
}

// A broken invariant: says which and aborts, so that libFuzzer keeps the input.
[[noreturn]] inline void Finding(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
    std::abort();
}

inline void WriteFile(const std::string& path, const void* data, size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0) Finding("cannot write %s", path.c_str());
}

}  // namespace fuzz
