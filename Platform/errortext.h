// Error texts and the exception that carries a library error.
//
// Every run-time failure is raised through one of the ThrowError operations:
// a message file name ("datasrc.err"), a message number and zero to two text
// arguments. The exception formats the message from our message table.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

// The one exception type of library errors.
class VeskError : public std::runtime_error {
public:
    VeskError(std::string messageFile, int number, std::vector<std::string> args,
              std::string sysText = std::string());

    const std::string& MessageFile() const { return fFile; }
    int Number() const { return fNumber; }
    const std::vector<std::string>& Args() const { return fArgs; }
    // Operating-system error text appended by StringSys, empty otherwise.
    const std::string& SysText() const { return fSysText; }

private:
    std::string fFile;
    int fNumber;
    std::vector<std::string> fArgs;
    std::string fSysText;
};

class ThrowError {
public:
    [[noreturn]] static void Simple(const char* messageFile, int number);
    [[noreturn]] static void String1(const char* messageFile, int number, const std::string& arg1);
    [[noreturn]] static void String2(const char* messageFile, int number, const std::string& arg1,
                                     const std::string& arg2);
    // As String1, with the text of the current errno appended.
    [[noreturn]] static void StringSys(const char* messageFile, int number, const std::string& arg1);
};

// The message text (with %1 and %2 placeholders) of a number in a message file;
// null when the table has no such message.
const char* VeskServerErrorText(const char* messageFile, int number);

// Replaces %1 and %2 in the text of the message by the arguments.
std::string VeskFormatMessage(const char* messageFile, int number, const std::vector<std::string>& args);

// The host's warning sink. The library only calls Report.
class ErrorMonitor {
public:
    enum Severity { Info = 0, Warning = 1, Error = 2 };
    virtual ~ErrorMonitor() = default;
    virtual void Report(const char* message, int severity) = 0;
};

// Formats message `number` of "datasrc.err" with the arguments and reports it to
// the monitor; does nothing when the monitor is null.
void VeskReportWarning(ErrorMonitor* monitor, int number, const std::vector<std::string>& args,
                       int severity = ErrorMonitor::Warning);

// One process-wide monitor pointer (not owned).
class VeskErrorContext {
public:
    static void SetErrorMonitor(ErrorMonitor* monitor);
    static ErrorMonitor* GetErrorMonitor();
};

#define DATASRC_ERR "datasrc.err"
