#include "errortext.h"

#include <atomic>
#include <cerrno>
#include <cstring>

namespace {

struct Message {
    int number;
    const char* text;
};

const Message kDatasrcMessages[] = {
#define VESK_DATASRC_MESSAGE_TEXT(name, number, text) {number, text},
    VESK_DATASRC_MESSAGES(VESK_DATASRC_MESSAGE_TEXT)
#undef VESK_DATASRC_MESSAGE_TEXT
};

std::atomic<ErrorMonitor*> gMonitor{nullptr};

std::string Describe(const char* file, int number, const std::vector<std::string>& args,
                     const std::string& sysText) {
    std::string text = VeskFormatMessage(file, number, args);
    if (!sysText.empty()) text += ": " + sysText;
    return text + " [" + std::to_string(number) + "]";
}

}  // namespace

VeskError::VeskError(std::string messageFile, int number, std::vector<std::string> args, std::string sysText)
    : std::runtime_error(Describe(messageFile.c_str(), number, args, sysText)),
      fFile(std::move(messageFile)),
      fNumber(number),
      fArgs(std::move(args)),
      fSysText(std::move(sysText)) {}

const char* VeskServerErrorText(const char* messageFile, int number) {
    if (!messageFile || std::strcmp(messageFile, DATASRC_ERR) != 0) return nullptr;
    for (const Message& m : kDatasrcMessages)
        if (m.number == number) return m.text;
    return nullptr;
}

std::string VeskFormatMessage(const char* messageFile, int number, const std::vector<std::string>& args) {
    const char* text = VeskServerErrorText(messageFile, number);
    if (!text) {
        std::string s = std::string("error ") + std::to_string(number) + " of " + (messageFile ? messageFile : "?");
        for (const std::string& a : args) s += ": " + a;
        return s;
    }
    std::string out;
    for (const char* p = text; *p; ++p) {
        if (p[0] == '%' && (p[1] == '1' || p[1] == '2')) {
            size_t k = size_t(p[1] - '1');
            if (k < args.size()) out += args[k];
            ++p;
        } else {
            out += *p;
        }
    }
    return out;
}

void ThrowError::Simple(const char* messageFile, int number) { throw VeskError(messageFile, number, {}); }

void ThrowError::String1(const char* messageFile, int number, const std::string& arg1) {
    throw VeskError(messageFile, number, {arg1});
}

void ThrowError::String2(const char* messageFile, int number, const std::string& arg1, const std::string& arg2) {
    throw VeskError(messageFile, number, {arg1, arg2});
}

void ThrowError::StringSys(const char* messageFile, int number, const std::string& arg1) {
    int err = errno;
    char buf[256];
    const char* sys = strerror_r(err, buf, sizeof buf);
    throw VeskError(messageFile, number, {arg1}, err ? sys : "");
}

void VeskReportWarning(ErrorMonitor* monitor, DatasrcMsg message, const std::vector<std::string>& args, int severity) {
    if (!monitor) return;
    const int number = int(message);
    std::string text = VeskFormatMessage(DATASRC_ERR, number, args) + " [" + std::to_string(number) + "]";
    monitor->Report(text.c_str(), severity);
}

void VeskErrorContext::SetErrorMonitor(ErrorMonitor* monitor) { gMonitor.store(monitor); }
ErrorMonitor* VeskErrorContext::GetErrorMonitor() { return gMonitor.load(); }
