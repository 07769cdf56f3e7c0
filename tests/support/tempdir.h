// A private directory for one test's files: made fresh under $TMPDIR (/tmp
// when unset) and removed with everything in it when the object goes.
#pragma once

#include <string>
#include <vector>

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
    // The names of the files in the directory, sorted.
    std::vector<std::string> Names() const;

private:
    std::string fPath;
};
