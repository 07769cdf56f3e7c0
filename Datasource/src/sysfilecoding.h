// The byte coding of the system file's records: the header and variable
// records, format words, the creation date and time texts, and the magic.
//
// Integers and doubles go through ByteOrder (byteorder.h); sizes and offsets
// come from sysfilelayout.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

#include "byteorder.h"
#include "obs.h"
#include "sysfilelayout.h"
#include "variable.h"

class VESK_StrBaseIO;

namespace SysFileLayout {

// ---------------------------------------------------------------- cells and byte order

// Reverses the 8 bytes of a cell in place (a numeric cell of a file in the other order).
inline void ReverseCell(OBS& cell) { cell.bits = ByteOrder::Swap64(cell.bits); }
// A numeric cell between file order and machine order (its own inverse).
inline void FixCell(ByteOrder order, OBS& cell) {
    if (order.Reversed()) ReverseCell(cell);
}

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
    void Encode(unsigned char out[SysFileLayout::kHeaderSize], ByteOrder order) const;
    // Reads the 176 bytes of a record, detecting its byte order from the
    // layout code; returns the order found.
    ByteOrder Decode(const unsigned char in[SysFileLayout::kHeaderSize]);
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
    void Encode(unsigned char out[SysFileLayout::kVarFixedSize], ByteOrder order) const;
    void Decode(const unsigned char in[SysFileLayout::kVarFixedSize], ByteOrder order);
    // The name with trailing spaces removed.
    std::string Name() const;
    void SetName(const std::string& name);  // cut or space-padded to 8 bytes
};
