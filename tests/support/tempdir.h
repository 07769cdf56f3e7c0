// A private directory for one test's files: made fresh under $TMPDIR (/tmp
// when unset) and removed with everything in it when the object goes.
#pragma once

#include <string>

class TempDir {
public:
    // The directory's name begins with prefix; failing to make it fails the
    // test that asked.
    explicit TempDir(const std::string& prefix = "vesk");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return fPath; }
    // The path of a file in the directory.
    std::string File(const std::string& name) const { return fPath + "/" + name; }

private:
    std::string fPath;
};
