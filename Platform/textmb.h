// Multibyte text in the process's code page (or UTF-8 in UTF-8 mode), code-page
// converters, file-name strings, critical sections.
//
// The process has one current encoding: UTF-8 when UTF-8 mode is on, otherwise
// its code page (from the locale at start-up, changeable with
// VESKMBSetDefaultCodePage or VESKMBConverterSet_A). Every function below that
// takes text works on that encoding and never splits one of its characters.
//
// The code page at start-up is the codeset of the locale as it stands (the library
// never sets the locale); the plain ASCII codeset of the "C" locale becomes
// windows-1252, which agrees with ASCII and gives the upper 128 bytes characters.
// A UTF-8 codeset gives the code page "UTF-8" (UTF-8 mode itself starts off).
// Only byte-oriented encodings without shift states can be the process's code
// page; converters (VESKMBConverterNew_A) exist for every encoding ICU knows.
// Settings may be read and changed from any thread; converters are internally
// locked, so one converter may be shared, though one per thread is faster.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "vesk_export.h"

// ---------------------------------------------------------------- file names

// A file name held in the process's encoding (generic) and in UTF-8.
class VESK_EXPORT ExtNameStr {
public:
    enum AccessType { Exists = 0, Write = 2, Read = 4, ReadWrite = 6 };

    ExtNameStr() = default;
    explicit ExtNameStr(const char* generic) { SetGeneric(generic); }

    void SetGeneric(const char* name);
    void SetGeneric(const std::string& name) { SetGeneric(name.c_str()); }
    const char* GetGeneric() const { return fGeneric.c_str(); }
    void SetU8(const char* name);
    void SetU8(const std::string& name) { SetU8(name.c_str()); }
    const char* GetU8() const { return fU8.c_str(); }

    bool Empty() const { return fGeneric.empty() && fU8.empty(); }
    void Clear() {
        fGeneric.clear();
        fU8.clear();
    }
    // Overwrites both forms with zero bytes, then empties them (passwords).
    void Wipe();
    // 0 when the file grants the access (as access(2), on the generic form), -1
    // otherwise (also for an empty name).
    int Access(int accessType) const;

    bool operator==(const ExtNameStr& o) const { return fU8 == o.fU8; }

private:
    std::string fGeneric;
    std::string fU8;
};

// ---------------------------------------------------------------- UTF-8 mode

VESK_EXPORT int qUTF8mode();
VESK_EXPORT void SetUTF8mode(int on);

// ---------------------------------------------------------------- characters

// Length in bytes of the character at p, given `remaining` bytes from p on;
// below 1 for an invalid or incomplete sequence (0 when remaining is 0). A NUL
// byte is a character of length 1. A well-formed character the code page leaves
// unassigned still has its length. The functions below treat an invalid byte as
// a character of one byte.
VESK_EXPORT int VESKMBmblen_A(const char* p, size_t remaining);

// Cuts the NUL-terminated text in place to at most maxBytes bytes without
// splitting a character; returns text.
VESK_EXPORT char* VESKMBStringTruncate_A(char* text, size_t maxBytes);
// The longest beginning of text of at most maxBytes bytes that does not split
// a character.
VESK_EXPORT std::string VESKMBLeadingCharacters(const std::string& text, size_t maxBytes);

// Copies at most srcLen bytes of src into the fixed field dest of width bytes,
// never splitting a character, and pads the rest of the field with blanks. No
// NUL is written. Returns the number of source bytes copied.
VESK_EXPORT size_t VESKMBCopyToFixed_A(char* dest, size_t width, const char* src, size_t srcLen);

// Last occurrence of the byte c as a whole character in the NUL-terminated text
// (bytes inside multibyte characters do not count); null when none.
VESK_EXPORT const char* VESKMBstrrchr_A(const char* text, int c);
VESK_EXPORT char* VESKMBstrrchr_A(char* text, int c);

// Case mapping of srcLen bytes of src into dest of destSize bytes (including the
// terminating NUL, which is always written when destSize > 0). The result is cut
// on a character boundary to fit. Returns the byte length of the result.
VESK_EXPORT int VESKMBMvUpper_A(char* dest, size_t destSize, const char* src, size_t srcLen);
VESK_EXPORT int VESKMBMvLower_A(char* dest, size_t destSize, const char* src, size_t srcLen);

// In-place case mapping of a NUL-terminated text. When a mapping would make the
// text longer (as for some letters in UTF-8), the text keeps its length: the
// result is cut on a character boundary. Returns text.
VESK_EXPORT char* VESKMBstrupr_A(char* text);
VESK_EXPORT char* VESKMBstrlwr_A(char* text);
VESK_EXPORT std::string VESKMBUpper(const std::string& text);
VESK_EXPORT std::string VESKMBLower(const std::string& text);

// Case-insensitive comparison of NUL-terminated texts: 0 when equal, negative or
// positive in the order of their upper-cased forms.
VESK_EXPORT int VESKMBstricmp_A(const char* a, const char* b);
// Case-insensitive equality of la bytes of a and lb bytes of b; nonzero when equal.
// Agrees with the upper-casing: equal exactly when the upper-cased forms are equal.
VESK_EXPORT int VESKMBqstricmp_A(const char* a, size_t la, const char* b, size_t lb);

// Collation order (the process locale's, Unicode-aware in UTF-8 mode) of at most
// n bytes of each text, stopping at a NUL: negative, 0 or positive. The
// collation is ICU's for the LC_COLLATE locale as it stands, or the root
// collation for "C"/"POSIX" and locales ICU does not know. Texts the collation
// finds equal but whose bytes differ are ordered by their bytes, so only
// identical texts compare equal.
VESK_EXPORT int VESKMBstrncoll_A(const char* a, const char* b, size_t n);

// A collator for repeated comparisons. Init prepares it for the current encoding
// (later changes of the encoding do not affect it); Compare before Init uses the
// encoding current at the call.
class VESK_EXPORT VESKMBCollator {
public:
    VESKMBCollator();
    ~VESKMBCollator();
    VESKMBCollator(const VESKMBCollator&) = delete;
    VESKMBCollator& operator=(const VESKMBCollator&) = delete;
    bool Init();
    int Compare(const char* a, size_t la, const char* b, size_t lb) const;

private:
    void* fCollator = nullptr;
};

// ---------------------------------------------------------------- code pages

// A converter between one encoding and UTF-8. Null from VESKMBConverterNew_A when
// the encoding is unknown.
struct VESKMBConverter;

VESK_EXPORT VESKMBConverter* VESKMBConverterNew_A(const char* encodingName);
VESK_EXPORT void VESKMBConverterDelete_A(VESKMBConverter* converter);
// The encoding name the converter was made for.
VESK_EXPORT const char* VESKMBConverterName_A(const VESKMBConverter* converter);

// Sets the process's code page (the "current converter"); returns nonzero on
// success, 0 (and no change) for a null, unknown or unusable encoding (wide or
// stateful ones such as UTF-16 or ISO-2022-JP). Used with a saved name to switch
// temporarily; the name is kept as given.
VESK_EXPORT int VESKMBConverterSet_A(const char* encodingName);
// The name of the process's current code page (independent of UTF-8 mode).
VESK_EXPORT const char* VESKMBCurrentConverterName_A();

// Whole-text conversions; return nonzero when some text could not be
// represented or the input was invalid (it is replaced by a substitute: '?' in
// code pages that have it, U+FFFD in UTF-8).
VESK_EXPORT int VESKMBCodePageToU8(const VESKMBConverter* converter, std::string& out, const std::string& in);
VESK_EXPORT int VESKMBU8ToCodePage(const VESKMBConverter* converter, std::string& out, const std::string& in);

// Buffer conversions: convert srcLen bytes of src into at most destLen bytes of
// dest, never splitting a character of the output; the rest of src that does not
// fit is dropped. *status (when status is not null) is set nonzero when text was
// lost (unrepresentable, invalid or dropped for lack of room), else to 0. Return
// the number of bytes written.
VESK_EXPORT size_t VESKMBCodePageto8(const VESKMBConverter* converter, char* dest, size_t destLen, const char* src,
                                     size_t srcLen, int* status);
VESK_EXPORT size_t VESKMB8toCodePage(const VESKMBConverter* converter, char* dest, size_t destLen, const char* src,
                                     size_t srcLen, int* status);

// Code-page numbers of encoding names (1252 for windows-1252, 65001 for UTF-8,
// 28591.. for ISO-8859-x, 932 Shift_JIS, 936 GBK, 949, 950 Big5, 874, 20127
// US-ASCII, ...). Names are matched through their aliases ("cp1252", "latin1").
// Return nonzero on success.
VESK_EXPORT int VESKMBCpNameToNum_A(const char* encodingName, int* number);
VESK_EXPORT int VESKMBCpNameFromNum_A(int number, std::string* encodingName);

// The process's encoding name for its code page (from the locale unless set).
VESK_EXPORT const char* VESKMBDefaultCodePage();
VESK_EXPORT void VESKMBSetDefaultCodePage(const char* encodingName);

// Nonzero when the two names denote the same encoding ("UTF-8" and "utf8",
// "windows-1252" and "cp1252"); names unknown to ICU compare by name, ignoring
// case and punctuation.
VESK_EXPORT int VESKMBqSameCodePage(const char* a, const char* b);

// Largest character length in bytes of the current encoding (1 for single-byte).
VESK_EXPORT int VESKMBMaxCharLen();

// ---------------------------------------------------------------- misc

class VESK_EXPORT CriticalSection {
public:
    void Enter() { fMutex.lock(); }
    void Leave() { fMutex.unlock(); }

    class Lock {
    public:
        explicit Lock(CriticalSection& cs) : fCs(cs) { fCs.Enter(); }
        ~Lock() { fCs.Leave(); }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        CriticalSection& fCs;
    };

private:
    std::recursive_mutex fMutex;
};

VESK_EXPORT void VESK_msleep(unsigned milliseconds);
