// Runs the vesk tool as a subprocess for the end-to-end suites.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

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
// stderr captured through the two files, stdin empty.
inline VeskResult RunVesk(const std::string& tool, const std::vector<std::string>& args, const std::string& outPath,
                          const std::string& errPath) {
    std::string command = "'" + tool + "'";
    for (const std::string& a : args) {
        std::string quoted;
        for (char c : a) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
        command += " '" + quoted + "'";
    }
    command += " >'" + outPath + "' 2>'" + errPath + "' </dev/null";
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
    VeskResult Run(const std::vector<std::string>& args) const {
        return RunVesk(VESK_TOOL, args, Path("stdout"), Path("stderr"));
    }

    TempDir fTemp{"vesk"};
    const std::string& fDir = fTemp.Path();
};
#endif
