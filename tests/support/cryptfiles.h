// Helpers of the suites on encrypted files: cheap key derivation, whole-file
// reads and writes, and a temporary directory of the library's own to look
// for clear copies in.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "anonfile.h"
#include "cryptfile.h"
#include "filecipher.h"
#include "tempdirs.h"

// Key derivation at the minimum for a whole suite: the suites test the file
// format and its callers, not Argon2. Register it once per test program:
//   const auto* const kCheapKeys = ::testing::AddGlobalTestEnvironment(new CheapKeys);
struct CheapKeys : ::testing::Environment {
    void SetUp() override { FileCipher::SetNewFileLimits(FileCipher::MinOpsLimit(), FileCipher::MinMemLimit()); }
};

using Bytes = std::vector<uint8_t>;

inline Bytes Slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), {});
}

inline void Spit(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), long(bytes.size()));
}

// An encrypted file holding the clear bytes as they are, written through the stream.
inline void WriteEncrypted(const std::string& path, const std::string& password, const Bytes& clear) {
    CryptFileStream s;
    ASSERT_EQ(s.Open(ExtNameStr(path.c_str()), ExtNameStr(password.c_str()), "wb"), 1);
    ASSERT_EQ(s.Write(clear.data(), clear.size()), clear.size());
    ASSERT_EQ(s.Close(), 1);
    ASSERT_FALSE(s.CommitFailed());
}

// The names in a directory.
inline std::vector<std::string> DirectoryNames(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename());
    return names;
}

// While it lives, the library's temporary files go to a fresh directory of
// their own (VESK_TMPDIRS) and clear copies take the placement given.
class ScopedTempDirs {
public:
    explicit ScopedTempDirs(AnonymousFilePlacement placement)
        : fPath(std::filesystem::temp_directory_path() / ("tmpdirs" + std::to_string(getpid()))) {
        std::filesystem::create_directories(fPath);
        setenv("VESK_TMPDIRS", fPath.c_str(), 1);
        VeskTempDirs::Instance().Reload();
        CryptFileStream::SetClearCopyPlacement(placement);
    }
    ~ScopedTempDirs() {
        unsetenv("VESK_TMPDIRS");
        VeskTempDirs::Instance().Reload();
        CryptFileStream::SetClearCopyPlacement(AnonymousFilePlacement::kMemory);
        std::filesystem::remove_all(fPath);
    }
    ScopedTempDirs(const ScopedTempDirs&) = delete;
    ScopedTempDirs& operator=(const ScopedTempDirs&) = delete;

    const std::string& Path() const { return fPath; }
    bool Empty() const { return DirectoryNames(fPath).empty(); }

private:
    std::string fPath;
};

inline constexpr AnonymousFilePlacement kClearCopyPlacements[] = {AnonymousFilePlacement::kMemory,
                                                                  AnonymousFilePlacement::kUnnamedInTempDir,
                                                                  AnonymousFilePlacement::kUnlinkedInTempDir};
