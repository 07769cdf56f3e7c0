// Internal name helpers: suffixed names, truncating copies and name ends, as
// used by the name generator and by the system-file writer's short names.
#pragma once

// The letter code of n >= 0 in bijective base 26: 0 "A", 25 "Z", 26 "AA", 701
// "ZZ", 702 "AAA".
void VESKNameLetterCode(int n, char out[16]);

// Writes base, shortened on a character boundary to make room, then "_" and the
// letter code of n, into out (room for maxLength + 1 bytes); the result is at
// most maxLength bytes. Returns 0 on success and 1 when no room is left for at
// least one character of the base; on failure out is not written.
int MakeSuffixedName(char* out, const char* base, int n, int maxLength);

// Copies at most maxBytes bytes of in into out (room for maxBytes + 1 bytes),
// terminates it, then cuts the copy at its first invalid or incomplete
// character. Returns the length of the result (0 when empty).
int CopyNameTruncated(char* out, const char* in, int maxBytes);

// Removes trailing "." and "_" characters; returns 1 if any was removed, else 0.
int StripNameEnd(char* name);

// As MakeSuffixedName for short (8-byte) names, shortening the base with
// CopyNameTruncated. Returns 0 on success and 1504 (DatasrcMsg::NoShortName)
// when no room is left; on failure out is not written.
int MakeShortSuffixedName(char* out, const char* base, int n, int maxLength);
