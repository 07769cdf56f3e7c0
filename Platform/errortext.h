// Error texts and the exception that carries a library error.
//
// Every run-time failure is raised through one of the ThrowError operations:
// a message file name ("datasrc.err"), a message number and zero to two text
// arguments. The exception formats the message from our message table.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "vesk_export.h"

// The messages of the message file "datasrc.err": the name the code uses,
// the number, and the text (%1 and %2 stand for the arguments). The one
// message table: DatasrcMsg and the texts are both made from it.
#define VESK_DATASRC_MESSAGES(MESSAGE)                                                                  \
    MESSAGE(TempFileCreate, 1001, "cannot create the temporary file %1")                                \
    MESSAGE(TempFileWrite, 1002, "cannot write the temporary file %1")                                  \
    MESSAGE(TempFileRead, 1003, "cannot read the temporary file %1")                                    \
    MESSAGE(CannotOpen, 1201, "cannot open %1")                                                         \
    MESSAGE(CannotWriteCase, 1202, "cannot write a case to %1")                                         \
    MESSAGE(Malformed, 1204, "%1: the file is damaged or not a system file")                            \
    MESSAGE(ShortRead, 1205, "%1: the file ends too early")                                             \
    MESSAGE(WrongTime, 1209,                                                                            \
            "%1: the dictionary was already committed, or cases were added at the wrong time")          \
    MESSAGE(WrongPassword, 1213,                                                                        \
            "%1: the password does not open this encrypted file, or the file is damaged")               \
    MESSAGE(NeedsPassword, 1214, "%1: the file is encrypted and needs a password")                      \
    MESSAGE(ValueType, 1241, "variable %1: the value does not suit the variable: %2")                   \
    MESSAGE(ValueLabelType, 1242, "variable %1: the value labels do not suit the variable: %2")         \
    MESSAGE(BadDefinition, 1243, "variable %1: %2")                                                     \
    MESSAGE(NoSuchVariable, 1244, "no variable named %1 in %2")                                         \
    MESSAGE(UnknownEncoding, 1245, "no converter for the text encoding %1")                             \
    MESSAGE(NotAvailable, 1290, "%1: %2 is not available in this version")                              \
    MESSAGE(NoShortName, 1504, "no unique short name can be formed for the variable %1")                \
    MESSAGE(DuplicateName, 1505, "the variable name %1 occurs more than once")                          \
    MESSAGE(InvalidName, 1506, "%1 is not a valid variable name")                                       \
    MESSAGE(NoLongName, 1507, "%1: a very long string has no long-name entry")                          \
    MESSAGE(TextNotConverted, 1701, "some text could not be converted from encoding %1")                \
    MESSAGE(TextLost, 1711, "text was lost converting %1 to encoding %2")                               \
    MESSAGE(DataTextLost, 1712, "text was lost converting the data of %1 to encoding %2")               \
    MESSAGE(EncodingNotShown, 1721, "%1: the file's encoding %2 cannot be represented in this session") \
    MESSAGE(NamesReplaced, 1722, "variable names were replaced: %1")

// The message numbers of "datasrc.err" by name. Errors and warnings are
// raised with these, never with bare numbers.
enum class DatasrcMsg : int {
#define VESK_DATASRC_MESSAGE_NUMBER(name, number, text) name = number,
    VESK_DATASRC_MESSAGES(VESK_DATASRC_MESSAGE_NUMBER)
#undef VESK_DATASRC_MESSAGE_NUMBER
};

// The one exception type of library errors.
class VESK_EXPORT VeskError : public std::runtime_error {
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

class VESK_EXPORT ThrowError {
public:
    [[noreturn]] static void Simple(const char* messageFile, int number);
    [[noreturn]] static void String1(const char* messageFile, int number, const std::string& arg1);
    [[noreturn]] static void String2(const char* messageFile, int number, const std::string& arg1,
                                     const std::string& arg2);
    // As String1, with the text of the current errno appended.
    [[noreturn]] static void StringSys(const char* messageFile, int number, const std::string& arg1);

    // The same for the numbers of "datasrc.err" by name.
    [[noreturn]] static void Simple(const char* messageFile, DatasrcMsg number) { Simple(messageFile, int(number)); }
    [[noreturn]] static void String1(const char* messageFile, DatasrcMsg number, const std::string& arg1) {
        String1(messageFile, int(number), arg1);
    }
    [[noreturn]] static void String2(const char* messageFile, DatasrcMsg number, const std::string& arg1,
                                     const std::string& arg2) {
        String2(messageFile, int(number), arg1, arg2);
    }
    [[noreturn]] static void StringSys(const char* messageFile, DatasrcMsg number, const std::string& arg1) {
        StringSys(messageFile, int(number), arg1);
    }
};

// The message text (with %1 and %2 placeholders) of a number in a message file;
// null when the table has no such message.
VESK_EXPORT const char* VeskServerErrorText(const char* messageFile, int number);

// Replaces %1 and %2 in the text of the message by the arguments.
VESK_EXPORT std::string VeskFormatMessage(const char* messageFile, int number, const std::vector<std::string>& args);

// The host's warning sink. The library only calls Report.
class VESK_EXPORT ErrorMonitor {
public:
    enum Severity { Info = 0, Warning = 1, Error = 2 };
    virtual ~ErrorMonitor() = default;
    virtual void Report(const char* message, int severity) = 0;
};

// Formats message `number` of "datasrc.err" with the arguments and reports it to
// the monitor; does nothing when the monitor is null.
VESK_EXPORT void VeskReportWarning(ErrorMonitor* monitor, DatasrcMsg number, const std::vector<std::string>& args,
                                   int severity = ErrorMonitor::Warning);

// One process-wide monitor pointer (not owned).
class VESK_EXPORT VeskErrorContext {
public:
    static void SetErrorMonitor(ErrorMonitor* monitor);
    static ErrorMonitor* GetErrorMonitor();
};

#define DATASRC_ERR "datasrc.err"
