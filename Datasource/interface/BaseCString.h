// A byte string with the operations of an older string-class interface, kept for
// callers written against it. A thin wrapper over one std::string; lengths and
// positions are byte counts.
#pragma once

#include <string>

#include "vesk_export.h"

class VESK_EXPORT BaseCString {
public:
    BaseCString();
    BaseCString(const std::string& s);
    BaseCString(const BaseCString& other);
    // n copies of c (none when n <= 0).
    BaseCString(char c, int n);
    // A NUL-terminated text; null gives the empty string.
    BaseCString(const char* text);
    BaseCString(const unsigned char* text);
    // The first n bytes of text (n <= 0 gives the empty string).
    BaseCString(const char* text, int n);
    ~BaseCString();

    // The NUL-terminated text; valid until the string is next changed.
    operator const char*() const { return fStr.c_str(); }
    // The byte at i; i is not checked.
    char operator[](int i) const { return fStr[static_cast<size_t>(i)]; }

    BaseCString& operator=(char c);
    BaseCString& operator=(const char* text);
    BaseCString& operator=(const BaseCString& other);
    BaseCString& operator+=(const BaseCString& other);
    BaseCString& operator+=(const char* text);
    BaseCString& operator+=(char c);

    int GetLength() const { return static_cast<int>(fStr.size()); }
    bool IsEmpty() const { return fStr.empty(); }
    void Empty() { fStr.clear(); }

    // Byte-wise comparison with text: negative, 0 or positive.
    int Compare(const char* text) const;
    // The same byte-wise comparison as Compare; case is not folded.
    int CompareNoCase(const char* text) const;
    // Locale collation (strcoll) of the string with text.
    int Collate(const char* text) const;

    // Upper-cases in place in the current encoding.
    void MakeUpper();

    // Substrings; positions and counts are clamped to the string.
    BaseCString Mid(int first, int count) const;
    BaseCString Left(int count) const;
    BaseCString Right(int count) const;
    // The string up to and including the first byte that occurs in set; the
    // whole string when none does.
    BaseCString SpanExcluding(const char* set) const;

    // Removes trailing line feeds, blanks, tabs and NULs.
    void TrimRight();

    // Cuts the string to n bytes when it is longer and reserves room for n
    // bytes; a shorter string keeps its length. Returns the bytes of the string
    // (GetLength() of them may be written).
    char* GetBufferSetLength(int n);

    // Position of the first c, or -1.
    int Find(char c) const;
    // Position of the first byte that is any byte of set, or -1.
    int Find(const char* set) const;
    // Position of the last c, or -1.
    int ReverseFind(char c) const;

private:
    std::string fStr;
};
