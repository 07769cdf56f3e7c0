// Runs the vesk tool as a subprocess for the end-to-end suites.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tempdir.h"

struct VeskResult {
    int status = -1;
    std::string out;
    std::string err;
};

inline std::string SlurpFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// Runs `tool` with the arguments (each single-quoted for the shell), stdout and
// stderr captured through the two files, stdin from inPath (empty by default).
inline VeskResult RunVesk(const std::string& tool, const std::vector<std::string>& args, const std::string& outPath,
                          const std::string& errPath, const std::string& inPath = "/dev/null") {
    std::string command = "'" + tool + "'";
    for (const std::string& a : args) {
        std::string quoted;
        for (char c : a) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
        command += " '" + quoted + "'";
    }
    command += " >'" + outPath + "' 2>'" + errPath + "' <'" + inPath + "'";
    VeskResult r;
    const int raw = std::system(command.c_str());
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = SlurpFile(outPath);
    r.err = SlurpFile(errPath);
    return r;
}

#ifdef VESK_TOOL
// A fresh work directory per test; the tool's output is captured in its files
// "stdout" and "stderr".
class VeskTest : public ::testing::Test {
protected:
    std::string Path(const std::string& name) const { return fTemp.File(name); }
    // Names in the work directory other than the captured output, sorted.
    std::vector<std::string> Files() const {
        std::vector<std::string> names;
        DIR* d = opendir(fDir.c_str());
        while (dirent* e = readdir(d)) {
            const std::string n = e->d_name;
            if (n != "." && n != ".." && n != "stdout" && n != "stderr") names.push_back(n);
        }
        closedir(d);
        std::sort(names.begin(), names.end());
        return names;
    }
    VeskResult Run(const std::vector<std::string>& args, const std::string& input = "/dev/null") const {
        return RunVesk(VESK_TOOL, args, Path("stdout"), Path("stderr"), input);
    }

    TempDir fTemp{"vesk"};
    const std::string& fDir = fTemp.Path();
};
#endif
