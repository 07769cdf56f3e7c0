// The system file on disk: record types, header offsets and sizes, magic
// texts, format words, the creation date and time texts, the in-memory header
// options, and the byte-order helpers.
//
// The reader, the writer and the tests' byte builder take every size, offset
// and constant from this header; none of them restates one. Every integer and
// double of the file goes through ByteOrder, which is the only place that
// reverses bytes.
#pragma once

#include <bit>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "obs.h"
#include "textmb.h"
#include "variable.h"
#include "vesk_assert.h"

class VESK_StrBaseIO;

namespace SysFileLayout {

// ---------------------------------------------------------------- message numbers

constexpr int kErrCannotOpen = 1201;
constexpr int kErrCannotWriteCase = 1202;
constexpr int kErrMalformed = 1204;
constexpr int kErrShortRead = 1205;

// ---------------------------------------------------------------- magic texts

constexpr size_t kMagicSize = 4;
inline constexpr char kMagicPlain[] = "$FL2";  // data uncompressed or bytecode
inline constexpr char kMagicZlib[] = "$FL3";   // compression code 2
// An encrypted file carries this text at offset 8; bytes 0-7 are the wrapper's.
inline constexpr char kEncryptedMagic[] = "ENCRYPTEDSAV";
constexpr size_t kEncryptedMagicOffset = 8;
constexpr size_t kEncryptedMagicSize = 12;

// File kinds told apart by the magic.
enum FileKind : int { kFL2 = 0, kFL3 = 1, kENCRYPTED = 2 };

// ---------------------------------------------------------------- header record

constexpr size_t kHeaderSize = 176;
constexpr size_t kOffMagic = 0;
constexpr size_t kOffProduct = 4;
constexpr size_t kProductSize = 60;
constexpr size_t kOffLayoutCode = 64;
constexpr size_t kOffNominalCaseSize = 68;
constexpr size_t kOffCompression = 72;
constexpr size_t kOffWeightIndex = 76;
constexpr size_t kOffCaseCount = 80;
constexpr size_t kOffBias = 84;
constexpr size_t kOffDate = 92;
constexpr size_t kDateSize = 9;
constexpr size_t kOffTime = 101;
constexpr size_t kTimeSize = 8;
constexpr size_t kOffLabel = 109;
constexpr size_t kLabelSize = 64;
constexpr size_t kOffPadding = 173;
constexpr size_t kPaddingSize = 3;
static_assert(kOffPadding + kPaddingSize == kHeaderSize, "header fields fill the record");

inline constexpr char kProductText[] = "@(#) ZUN VESK QUANTIVORE 64-bit MS Windows 23.0.0.0";
constexpr int32_t kLayoutCode = 2;
constexpr double kBias = 100.0;

enum Compression : int32_t { kCompressNone = 0, kCompressBytecode = 1, kCompressZlib = 2 };

// ---------------------------------------------------------------- dictionary records

enum RecordType : int32_t {
    kRecVariable = 2,
    kRecValueLabels = 3,
    kRecValueLabelVars = 4,  // only directly after a kRecValueLabels record
    kRecDocument = 6,
    kRecExtension = 7,
    kRecTermination = 999,
};
constexpr size_t kRecordTypeSize = 4;

// Variable record, offsets from the start of the record (type word included).
constexpr size_t kVarOffType = 4;
constexpr size_t kVarOffHasLabel = 8;
constexpr size_t kVarOffMissingCount = 12;
constexpr size_t kVarOffPrintFormat = 16;
constexpr size_t kVarOffWriteFormat = 20;
constexpr size_t kVarOffName = 24;
constexpr size_t kVarNameSize = 8;
constexpr size_t kVarRecordSize = 32;       // type word and fixed fields
constexpr size_t kVarFixedSize = 28;        // the fixed fields after the type word
constexpr size_t kVarLabelLengthSize = 4;   // then the label, padded to a multiple of 4
constexpr int32_t kContinuationType = -1;   // a further cell of the preceding string
constexpr uint32_t kContinuationFormat = 0x00011D01;  // 72961, print and write word of a continuation
constexpr int32_t kMaxRecordStringWidth = 255;        // wider strings are split into segments
constexpr int32_t kMissingRange = -2;
constexpr int32_t kMissingRangeAndValue = -3;
constexpr int kMaxMissingValues = 3;

// Bytes the label text of a variable record occupies: its length rounded up to 4.
constexpr size_t VarLabelStoredSize(size_t length) { return (length + 3) & ~size_t(3); }

// Value label record: count, then per label an 8-byte value, a length byte k,
// k text bytes and padding so that 1 + k + padding is a multiple of 8.
constexpr size_t kValueLabelValueSize = 8;
constexpr size_t kMaxValueLabelLength = 255;
// Bytes after the value: the length byte, the text and its padding.
constexpr size_t ValueLabelStoredSize(size_t k) { return (k + 8) & ~size_t(7); }
// Value label variable record: type word, count v (at least 1), v cell positions.
constexpr size_t kValueLabelVarsHeaderSize = 8;

// Document record: line count, then that many lines of exactly this width.
constexpr size_t kDocumentLineSize = 80;

// Extension record: after the type word, subtype, unit size and unit count.
constexpr size_t kExtensionHeaderSize = 12;
constexpr int kExtensionFoundSize = 100;  // subtypes 0..99 tracked by the reader
enum ExtensionSubtype : int32_t {
    kExtDocuments = 0,  // the in-memory document block; on disk a type 6 record
    kExtMachineIntegers = 3,
    kExtMachineFloats = 4,
    kExtLongNames = 13,
    kExtVeryLongStrings = 14,
    kExtCaseCount = 16,
};

constexpr int32_t kTerminationFiller = 0;
constexpr size_t kTerminationSize = 8;  // type word and filler

// ---------------------------------------------------------------- data area

constexpr size_t kCellSize = 8;

// Very long strings (width above 255) are stored as segments of 256 bytes
// (32 cells), each carrying up to 255 text bytes and a final space.
constexpr int kSegmentWidthDivisor = 252;
constexpr int kSegmentBytes = 256;
constexpr int kSegmentTextBytes = 255;
constexpr int kSegmentCells = kSegmentBytes / 8;
// Full segments of a very long string of width w.
constexpr int FullSegments(int w) { return w / kSegmentWidthDivisor; }
// Cells a string of width w takes in a stored case (ordinary strings too).
constexpr int StoredCells(int w) {
    return w <= kMaxRecordStringWidth ? CellsForType(w) : (w + 4 * FullSegments(w) + 7) / 8;
}

// ---------------------------------------------------------------- byte order

constexpr bool kNativeLittleEndian = std::endian::native == std::endian::little;
inline bool NativeLittleEndian() { return kNativeLittleEndian; }

inline uint32_t Swap32(uint32_t v) { return __builtin_bswap32(v); }
inline uint64_t Swap64(uint64_t v) { return __builtin_bswap64(v); }
// Reverses the 8 bytes of a cell in place (a numeric cell of a file in the other order).
inline void ReverseCell(OBS& cell) { cell.bits = Swap64(cell.bits); }

// Reads and writes the file's integers and doubles at unaligned addresses in
// the file's byte order: reversed means the file's order is not this machine's.
class ByteOrder {
public:
    constexpr explicit ByteOrder(bool reversed = false) : fReversed(reversed) {}
    static constexpr ByteOrder Native() { return ByteOrder(false); }
    static constexpr ByteOrder Little() { return ByteOrder(!kNativeLittleEndian); }
    static constexpr ByteOrder Big() { return ByteOrder(kNativeLittleEndian); }

    bool Reversed() const { return fReversed; }

    uint32_t U32(uint32_t v) const { return fReversed ? Swap32(v) : v; }
    uint64_t U64(uint64_t v) const { return fReversed ? Swap64(v) : v; }
    int32_t I32(int32_t v) const { return int32_t(U32(uint32_t(v))); }

    int32_t GetI32(const void* p) const { return int32_t(GetU32(p)); }
    uint32_t GetU32(const void* p) const {
        uint32_t v;
        std::memcpy(&v, p, 4);
        return U32(v);
    }
    int64_t GetI64(const void* p) const {
        uint64_t v;
        std::memcpy(&v, p, 8);
        return int64_t(U64(v));
    }
    double GetF64(const void* p) const {
        uint64_t v;
        std::memcpy(&v, p, 8);
        v = U64(v);
        double d;
        std::memcpy(&d, &v, 8);
        return d;
    }
    void PutI32(void* p, int32_t v) const { PutU32(p, uint32_t(v)); }
    void PutU32(void* p, uint32_t v) const {
        v = U32(v);
        std::memcpy(p, &v, 4);
    }
    void PutI64(void* p, int64_t v) const {
        uint64_t u = U64(uint64_t(v));
        std::memcpy(p, &u, 8);
    }
    void PutF64(void* p, double d) const {
        uint64_t u;
        std::memcpy(&u, &d, 8);
        u = U64(u);
        std::memcpy(p, &u, 8);
    }
    // A numeric cell between file order and machine order (its own inverse).
    void FixCell(OBS& cell) const {
        if (fReversed) ReverseCell(cell);
    }

private:
    bool fReversed;
};

// The layout code as read in machine order tells the file's order: 0 or above
// 255 (compared unsigned) means the file was written in the other order.
bool LayoutCodeIsReversed(uint32_t layoutCodeAsRead);

// ---------------------------------------------------------------- magic detection

// The kind of a file from its first bytes: kFL2, kFL3, kENCRYPTED, or -1 when
// the bytes are none of these (or too few to tell).
int FileKindOfBytes(const void* bytes, size_t size);

// Reads the magic from the stream's current position as the reader does: 4
// bytes, and when they are not a system-file magic 4 more and then 12. The
// stream is left after the bytes read. Raises SystemFileException 1205 on a
// short read and 1204 for an unknown magic.
int DetectFileKind(VESK_StrBaseIO& stream);

// ---------------------------------------------------------------- format words

// A format word as the file stores it: byte 0 decimals, byte 1 width, byte 2
// format type, byte 3 zero; for type 1 (plain string) byte 0 holds the high
// byte of the width and there are no decimals.
uint32_t EncodeFormatWord(int type, int width, int decimals);
uint32_t EncodeFormatWord(const VESK_Format& format);
// Reading clamps widths above 40 to 40 for every type but the string types 1 and 2.
VESK_Format DecodeFormatWord(uint32_t word);

// ---------------------------------------------------------------- date and time

// The creation date ("%02d %-3.3s %02d", 9 bytes) and time ("%02d:%02d:%02d",
// 8 bytes) texts of the header for the local time of `when`; times before
// 86400 seconds after the epoch are taken as that moment. Not terminated.
void FormatCreationDateTime(std::time_t when, char date[kDateSize], char time[kTimeSize]);

// The internal date-time of a header's date and time texts, or 0 when they do
// not form a valid moment. The month name is matched without regard to case;
// the year yy is 1900 + yy, plus 100 when that is before 1970.
double ParseCreationDateTime(const char date[kDateSize], const char time[kTimeSize]);

}  // namespace SysFileLayout

// ---------------------------------------------------------------- header record

// The header record's fields in machine order.
struct SystemFileHeader {
    char magic[SysFileLayout::kMagicSize];
    std::string product;  // trailing spaces kept as read
    int32_t layoutCode = SysFileLayout::kLayoutCode;
    int32_t nominalCaseSize = 0;
    int32_t compression = SysFileLayout::kCompressNone;
    int32_t weightIndex = 0;
    int32_t caseCount = -1;
    double bias = SysFileLayout::kBias;
    char date[SysFileLayout::kDateSize];
    char time[SysFileLayout::kTimeSize];
    std::string label;  // trailing spaces kept as read

    SystemFileHeader();

    // Writes the 176 bytes of the record in the given order; product and label
    // are cut or space-padded to their widths, the padding bytes are zero.
    void Encode(unsigned char out[SysFileLayout::kHeaderSize], SysFileLayout::ByteOrder order) const;
    // Reads the 176 bytes of a record, detecting its byte order from the
    // layout code; returns the order found.
    SysFileLayout::ByteOrder Decode(const unsigned char in[SysFileLayout::kHeaderSize]);
};

// ---------------------------------------------------------------- variable record

// The fixed fields of a variable record (type word excluded) in machine order.
struct SystemFileVariableRecord {
    int32_t type = 0;  // 0 numeric, 1..255 string width, -1 continuation
    int32_t hasLabel = 0;
    int32_t missingCount = 0;
    uint32_t printFormat = 0;
    uint32_t writeFormat = 0;
    char name[SysFileLayout::kVarNameSize];

    SystemFileVariableRecord();
    // The record of one continuation cell.
    static SystemFileVariableRecord Continuation();
    void Encode(unsigned char out[SysFileLayout::kVarFixedSize], SysFileLayout::ByteOrder order) const;
    void Decode(const unsigned char in[SysFileLayout::kVarFixedSize], SysFileLayout::ByteOrder order);
    // The name with trailing spaces removed.
    std::string Name() const;
    void SetName(const std::string& name);  // cut or space-padded to 8 bytes
};

// ---------------------------------------------------------------- options

// Entry of the very-long-string dechunker: where a string's segments stand in
// the stored case and where the string goes in the logical case.
struct SystemFileChunkEntry {
    int64_t sourceCell = 0;
    int64_t length = 0;
    int64_t targetCell = 0;
    int64_t sourceCellAfter = 0;
    int64_t targetCellAfter = 0;
    int64_t cellsAfter = 0;
};

// A very long string named by extension subtype 14 and accepted by its
// handler, in the stored (segmented) dictionary: the column and first cell of
// its first segment, and its full width. Entries are in ascending column order
// and their segments do not overlap; the dechunker is built from them.
struct SystemFileVeryLongString {
    int32_t varIndex = 0;
    int32_t width = 0;
    int64_t storedCell = 0;
};

// The in-memory header and options of one system file, shared by its reader,
// its writer and their codecs.
struct SystemFileOptions {
    double _bias = SysFileLayout::kBias;
    double _sysmis = VESK_SYSMIS;          // replaced by extension subtype 4
    double _highest;                       // highest value, replaced by subtype 4
    double _lowest;                        // lowest value, replaced by subtype 4
    int64_t _nCases = -1;                  // -1 unknown
    int64_t _cellsPerCase = -1;            // -1 until the dictionary is read
    std::string _eyeCatcher = SysFileLayout::kProductText;
    int32_t _layoutCode = SysFileLayout::kLayoutCode;
    // Machine integer record (subtype 3).
    int32_t _releaseMajor = 23;
    int32_t _releaseMinor = 0;
    int32_t _releaseRevision = 0;
    int32_t _machineCode = 720;
    int32_t _floatingPointRep = 1;
    int32_t _compressionCode = 1;
    int32_t _characterCode = 2;
    int32_t _weightIndex = 0;
    // (short name, long name) pairs read; (long name, short name) when writing.
    std::vector<std::pair<std::string, std::string>> _longNames;
    std::bitset<SysFileLayout::kExtensionFoundSize> _extensionFound;
    std::vector<SystemFileChunkEntry> _chunks;
    std::vector<SystemFileVeryLongString> _veryLongStrings;  // from subtype 14, stored layout
    std::vector<uint8_t> _swapFlags;  // one per cell, only for a file in the other order
    int32_t _compression = SysFileLayout::kCompressNone;
    bool _reversed = false;
    bool _longNamesPresent = false;
    std::string _encoding;
    ExtNameStr _password;
    // Compression code 2: inflated blocks kept besides the current one (0..64).
    int32_t _zlibCachedBlocks = 2;

    SystemFileOptions();
};

// ---------------------------------------------------------------- errors

// The reader's and writer's internal error, turned into a library error at
// the outer operation by Raise.
class SystemFileException {
public:
    SystemFileException(const char* sourceFile, const char* condition, int code, int line,
                        bool systemError = false)
        : fSourceFile(sourceFile), fCondition(condition), fCode(code), fLine(line),
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
