// The system file on disk: record types, header offsets and sizes, magic
// texts, extension subtypes and the sizes of the data area.
//
// The reader, the writer and the tests' byte builder take every size, offset
// and constant from this header; none of them restates one. The coding of the
// records is in sysfilecoding.h, the in-memory options in SystemFileOptions.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "obs.h"

namespace SysFileLayout {

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
// The subtypes the library's handlers decode and build.
enum ExtensionSubtype : int32_t {
    kExtDocuments = 0,              // the in-memory document block; on disk a type 6 record
    kExtMachineIntegers = 3,        // release numbers and machine codes
    kExtMachineFloats = 4,          // system-missing, highest and lowest value
    kExtVariableSets = 5,           // plain variable sets
    kExtTrendsInfo = 6,             // date (time-series) information
    kExtMultipleResponseSets = 7,   // category and plain dichotomy sets
    kExtDisplayParameters = 11,     // measurement level, display width, alignment
    kExtLongNames = 13,             // short name to long name pairs
    kExtVeryLongStrings = 14,       // widths of strings wider than 255 bytes
    kExtCaseCount = 16,             // the 64-bit case count
    kExtFileAttributes = 17,        // custom attributes of the file
    kExtVariableAttributes = 18,    // custom attributes of the variables, roles
    kExtEnhancedMRSets = 19,        // enhanced dichotomy sets
    kExtEncoding = 20,              // the character encoding name
    kExtLongStringLabels = 21,      // value labels of strings wider than 8 bytes
    kExtLongStringMissing = 22,     // missing values of strings wider than 8 bytes
    kExtSortKeys = 23,              // sort keys and the sort index
    kExtDataEditorFormatting = 24,  // the data editor's formatting text
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
// Segment variables a very long string of width w is stored in: the full
// segments and a last one for the rest.
constexpr int SegmentCount(int w) { return FullSegments(w) + (w % kSegmentWidthDivisor > 0 ? 1 : 0); }
// The names of the further segment variables begin with this many bytes
// (whole characters) of the first one's name.
constexpr size_t kSegmentNameBaseBytes = 5;
// Cells a string of width w takes in a stored case (ordinary strings too).
constexpr int StoredCells(int w) {
    return w <= kMaxRecordStringWidth ? CellsForType(w) : (w + 4 * FullSegments(w) + 7) / 8;
}

}  // namespace SysFileLayout
