#include "errortext.h"

#include <atomic>
#include <cerrno>
#include <cstring>

namespace {

struct Message {
    int number;
    const char* text;
};

// The messages of "datasrc.err". %1 and %2 stand for the arguments.
const Message kDatasrcMessages[] = {
    {1001, "cannot create the temporary file %1"},
    {1002, "cannot write the temporary file %1"},
    {1003, "cannot read the temporary file %1"},
    {1201, "cannot open %1"},
    {1202, "cannot write a case to %1"},
    {1204, "%1: the file is damaged or not a system file"},
    {1205, "%1: the file ends too early"},
    {1209, "%1: the dictionary was already committed, or cases were added at the wrong time"},
    {1213, "%1: the password does not open this encrypted file, or the file is damaged"},
    {1214, "%1: the file is encrypted and needs a password"},
    {1241, "variable %1: the value does not suit the variable: %2"},
    {1242, "variable %1: the value labels do not suit the variable: %2"},
    {1243, "variable %1: %2"},
    {1244, "no variable named %1 in %2"},
    {1245, "no converter for the text encoding %1"},
    {1504, "no unique short name can be formed for the variable %1"},
    {1505, "the variable name %1 occurs more than once"},
    {1506, "%1 is not a valid variable name"},
    {1507, "%1: a very long string has no long-name entry"},
    {1701, "some text could not be converted from encoding %1"},
    {1711, "text was lost converting %1 to encoding %2"},
    {1712, "text was lost converting the data of %1 to encoding %2"},
    {1721, "%1: the file's encoding %2 cannot be represented in this session"},
    {1722, "variable names were replaced: %1"},
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

void VeskReportWarning(ErrorMonitor* monitor, int number, const std::vector<std::string>& args, int severity) {
    if (!monitor) return;
    std::string text = VeskFormatMessage(DATASRC_ERR, number, args) + " [" + std::to_string(number) + "]";
    monitor->Report(text.c_str(), severity);
}

void VeskErrorContext::SetErrorMonitor(ErrorMonitor* monitor) { gMonitor.store(monitor); }
ErrorMonitor* VeskErrorContext::GetErrorMonitor() { return gMonitor.load(); }
