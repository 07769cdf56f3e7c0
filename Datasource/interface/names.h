// Names of variables, attributes and sets: validation and generation.
//
// All functions work on NUL-terminated texts in the process's current encoding
// (UTF-8 in UTF-8 mode) and never split a multibyte character. Names are at most
// 64 bytes.
#pragma once

#include "vesk_export.h"

// Verdicts of the name classifiers.
enum VESKNameVerdict {
    VESKNameLegal = 0,         // legal ordinary name
    VESKNameScratch = 1,       // legal, first byte "#"
    VESKNameSystem = 2,        // legal, first byte "$"
    VESKNameBadLength = 3,     // empty (ignoring trailing blanks) or longer than 64 bytes
    VESKNameBadChar = 4,       // a character not allowed in a name, or an invalid sequence
    VESKNameReserved = 5,      // a reserved word (ALL, AND, BY, ..., WITH)
    VESKNameBadFirst = 6,      // first byte is a digit, "_" or "."
    VESKNameEndsPeriod = 7,    // ends in "." (strict classifier only)
    VESKNameEndsUnderscore = 100,  // ends in "_" (strict classifier only)
};

// The in-use test of GenerateVESKName: nonzero when the candidate is taken.
typedef int (*VESKNameInUseFn)(void* context1, void* context2, const char* candidate);

extern "C" {

// Classifies a name; trailing blanks are ignored. Returns a verdict 0..6.
VESK_EXPORT int ValidateVESKName(const char* name);

// As ValidateVESKName, but a legal name ending in "." gives 7 and one ending in
// "_" gives 100.
VESK_EXPORT int ValidateVESKNameCheckLastChar(const char* name);

// When `in` is 1 to 7 digits (ignoring trailing blanks), writes "@" and the
// digits into `out` (room for 9 bytes) and returns 1; otherwise returns 0 and
// leaves `out` alone.
VESK_EXPORT int FormNumericVESKName(char* out, const char* in);

// Rewrites `name` (a buffer of at least 65 bytes) in place into a legal name:
// disallowed bytes are dropped, bad starts get an "@" prefix, trailing "." and
// "_" are removed; a text with nothing usable becomes "V" and `index`. When
// inUse is not null, "_A", "_B", ... suffixes are tried until inUse returns 0
// for the name. Returns 0.
VESK_EXPORT int GenerateVESKName(char* name, unsigned int index, VESKNameInUseFn inUse, void* context1,
                                 void* context2);

}  // extern "C"
