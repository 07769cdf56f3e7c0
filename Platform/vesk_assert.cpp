#include "vesk_assert.h"

namespace {

std::string Describe(const char* condition, const char* sourceFile, int line) {
    return std::string("assertion failed: ") + (condition ? condition : "?") + " (" + (sourceFile ? sourceFile : "?") +
           ", line " + std::to_string(line) + ")";
}

}  // namespace

VESK_AssertFailed::VESK_AssertFailed(const char* condition, const char* sourceFile, int line)
    : std::logic_error(Describe(condition, sourceFile, line)),
      fCondition(condition ? condition : "Null condition in VESK_AssertFailed"),
      fSourceFile(sourceFile ? sourceFile : "Null source file in VESK_AssertFailed"),
      fLine(line) {}

void VESK_AssertionHandler(const char* condition, const char* sourceFile, int line) {
    throw VESK_AssertFailed(condition, sourceFile, line);
}
