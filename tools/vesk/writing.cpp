#include "writing.h"

#include <signal.h>
#include <unistd.h>

#include <vector>

namespace vesk {

int ParseCompression(const std::string& text) {
    if (text == "none") return 0;
    if (text == "bytecode") return 1;
    if (text == "zlib") return 2;
    throw UsageError("--compression: expected none, bytecode or zlib, got '" + text + "'");
}

namespace {

// Only async-signal-safe calls: unlink(2) through RemovePendingFiles, _exit.
void RemoveAndExit(int signal) {
    VESK_ReplacingFile::RemovePendingFiles();
    _exit(128 + signal);
}

}  // namespace

void RemoveTemporaryFilesOnSignals() {
    struct sigaction action = {};
    action.sa_handler = RemoveAndExit;
    sigfillset(&action.sa_mask);  // one handler at a time
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

TempOutput::TempOutput(const std::string& target) : fTarget(target), fFile(target) {}

VeskError TempOutput::NamingTarget(const VeskError& e) const {
    const std::string& path = Path();
    std::vector<std::string> args = e.Args();
    for (std::string& a : args)
        for (size_t at = a.find(path); at != std::string::npos; at = a.find(path, at + fTarget.size()))
            a.replace(at, path.size(), fTarget);
    return VeskError(e.MessageFile(), e.Number(), std::move(args), e.SysText());
}

}  // namespace vesk
