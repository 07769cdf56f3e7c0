#include "vesk_assert.h"

VESK_AssertFailed::VESK_AssertFailed(const char* condition, const char* sourceFile, int line)
    : fCondition(condition ? condition : "Null condition in VESK_AssertFailed"),
      fSourceFile(sourceFile ? sourceFile : "Null source file in VESK_AssertFailed"),
      fLine(line) {}

void VESK_AssertionHandler(const char* condition, const char* sourceFile, int line) {
    throw VESK_AssertFailed(condition, sourceFile, line);
}
