// The internal error of the code that reads and writes system files, and the
// macros that raise it.
//
// A malformed file or a failed file operation is thrown as a
// SystemFileException: the message number, the text of the failed condition,
// the source file and line that raised it, and whether the operating system's
// error text belongs to the message. It never crosses the library's public
// interface. The operations that turn it into a VeskError (through Raise, with
// the data source's file specification as the argument) are:
//   - opening a file for reading (the SystemFileDataSource constructors);
//   - SystemFileDataSource::CommitDictionary, AddRow and Close, and MakeIterator
//     (which closes a file being written);
//   - SystemFileDataSource::Iterator::Next.
// Everything below them (the codecs, the dictionary reader, the writer, the
// extension record handlers, the variable-set text) lets it pass.
//
// Depends on nothing of the library but the platform's message numbers and
// assertion header (for VESK_SOURCE_NAME), so that any layer may raise it.
#pragma once

#include <string>

#include "errortext.h"
#include "vesk_assert.h"

class SystemFileException {
public:
    SystemFileException(const char* sourceFile, const char* condition, DatasrcMsg code, int line,
                        bool systemError = false)
        : fSourceFile(sourceFile), fCondition(condition), fCode(int(code)), fLine(line),
          fSystemError(systemError) {}

    const std::string& SourceFile() const { return fSourceFile; }
    const std::string& Condition() const { return fCondition; }
    int Code() const { return fCode; }
    int Line() const { return fLine; }
    bool SystemError() const { return fSystemError; }

    // ThrowError::StringSys (system-error flag set) or String1 with "datasrc.err",
    // the code and the file specification.
    [[noreturn]] void Raise(const std::string& fileSpec) const;

private:
    std::string fSourceFile;
    std::string fCondition;
    int fCode;
    int fLine;
    bool fSystemError;
};

// Raises SystemFileException with the condition text when cond is false.
#define SF_REQUIRE(cond, code)                                                                      \
    do {                                                                                            \
        if (!(cond)) throw SystemFileException(VESK_SOURCE_NAME, #cond, (code), __LINE__, false);   \
    } while (0)
#define SF_REQUIRE_SYS(cond, code)                                                                  \
    do {                                                                                            \
        if (!(cond)) throw SystemFileException(VESK_SOURCE_NAME, #cond, (code), __LINE__, true);    \
    } while (0)
// Raises SystemFileException with an explicit condition text.
#define SF_FAIL(text, code) throw SystemFileException(VESK_SOURCE_NAME, (text), (code), __LINE__, false)

// Raises SystemFileException 1204 (malformed record) with the given condition
// text when cond is false.
#define SF_EXT_CHECK(cond, text)                                \
    do {                                                        \
        if (!(cond)) SF_FAIL((text), DatasrcMsg::Malformed);    \
    } while (0)
