// Assertions that stay active in every build.
//
// VESK_ASSERT(cond) throws VESK_AssertFailed carrying the condition text, the
// source file and the line. Assertions guard misuse of an interface and broken
// internal invariants; malformed files and failed I/O are reported through
// ThrowError (errortext.h) instead.
#pragma once

#include <stdexcept>
#include <string>

#include "vesk_export.h"

// A std::logic_error whose what() names the condition, the file and the line.
class VESK_EXPORT VESK_AssertFailed : public std::logic_error {
public:
    // Copies the texts; a null condition or file is replaced by a fixed text.
    VESK_AssertFailed(const char* condition, const char* sourceFile, int line);

    const char* Condition() const { return fCondition.c_str(); }
    const char* SourceFile() const { return fSourceFile.c_str(); }
    int LineNumber() const { return fLine; }

private:
    std::string fCondition;
    std::string fSourceFile;
    int fLine;
};

// The handler behind VESK_ASSERT; never returns.
[[noreturn]] VESK_EXPORT void VESK_AssertionHandler(const char* condition, const char* sourceFile, int line);

// Files are named relative to the project root ("Datasource/src/varimpl"), without extension,
// so that assertion texts do not depend on where the tree was built.
#define VESK_ASSERT_FILE(file) (file)

#define VESK_ASSERT_AT(cond, text, file)                                     \
    do {                                                                     \
        if (!(cond)) VESK_AssertionHandler((text), (file), __LINE__);        \
    } while (0)

// The source name used in assertion reports; each source file may define
// VESK_SOURCE_NAME before its includes (e.g. "Datasource/src/varimpl").
#ifndef VESK_SOURCE_NAME
#define VESK_SOURCE_NAME __FILE__
#endif

#define VESK_ASSERT(cond) VESK_ASSERT_AT(cond, #cond, VESK_SOURCE_NAME)
