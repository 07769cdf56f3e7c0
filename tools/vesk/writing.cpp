#include "writing.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace vesk {

int ParseCompression(const std::string& text) {
    if (text == "none") return 0;
    if (text == "bytecode") return 1;
    if (text == "zlib") return 2;
    throw UsageError("--compression: expected none, bytecode or zlib, got '" + text + "'");
}

TempOutput::TempOutput(const std::string& target) : fTarget(target) {
    const size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    if (base.empty()) throw std::runtime_error(target + ": not a file name");
    std::string pattern = dir + "." + base + ".tmp-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const int fd = mkstemp(name.data());
    if (fd < 0) throw std::runtime_error(target + ": cannot create a temporary file: " + std::strerror(errno));
    // mkstemp makes the file private; give it the permissions a new file gets.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    close(fd);
    fPath = name.data();
}

TempOutput::~TempOutput() {
    if (!fCommitted && !fPath.empty()) std::remove(fPath.c_str());
}

VeskError TempOutput::NamingTarget(const VeskError& e) const {
    std::vector<std::string> args = e.Args();
    for (std::string& a : args)
        for (size_t at = a.find(fPath); at != std::string::npos; at = a.find(fPath, at + fTarget.size()))
            a.replace(at, fPath.size(), fTarget);
    return VeskError(e.MessageFile(), e.Number(), std::move(args), e.SysText());
}

void TempOutput::Commit() {
    if (std::rename(fPath.c_str(), fTarget.c_str()) != 0)
        throw std::runtime_error(fTarget + ": cannot replace the file: " + std::strerror(errno));
    fCommitted = true;
}

}  // namespace vesk
