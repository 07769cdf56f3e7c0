// Assembles system files byte by byte, in either byte order, for tests.
//
//   SysFileBuilder b(ByteOrder::Big());
//   b.Header({.compression = 1, .label = "survey"})
//    .Variable({.name = "AGE", .label = "Age in years", .missing = {99}})
//    .Variable({.name = "NAME", .type = 20})
//    .ValueLabels({{1, "one"}, {2, "two"}}, {b.PositionOf("AGE")})
//    .Documents({"first line"})
//    .End()
//    .Row(Cells().Num(31).Str("Ann", 20))
//    .Row(Cells().Sysmis().Str("Bob", 20));
//   std::vector<uint8_t> bytes = b.Bytes();
//
// Every size and offset comes from sysfilelayout.h. Records are written in
// the order the calls are made, so malformed files are built by calling the
// pieces out of order or by adding raw bytes (I32, F64, Raw). Rows are coded
// in the header's compression (0 or 1): numeric cells are given in machine
// order and stored in the file's order. The bytecode of compression 1 is this
// builder's own, written independently of the library's codec.
#pragma once

// The record specs below are meant to be filled in part with designated
// initializers; the fields left out keep their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "obs.h"
#include "sysfilecoding.h"
#include "sysfilelayout.h"

// A row of cells built piece by piece.
class Cells {
public:
    Cells& Num(double value);
    Cells& Sysmis() { return Num(VESK_SYSMIS); }
    // The text space-padded to the cells of a string of the width (ordinary
    // strings: ceil(width / 8) cells, at least 1).
    Cells& Str(std::string_view text, int width);
    const std::vector<OBS>& Get() const { return fCells; }
    operator const std::vector<OBS>&() const { return fCells; }

private:
    std::vector<OBS> fCells;
};

class SysFileBuilder {
public:
    using ByteOrder = ::ByteOrder;

    struct HeaderSpec {
        std::string magic;  // empty: "$FL3" for compression 2, else "$FL2"
        std::string product = SysFileLayout::kProductText;
        int32_t layoutCode = SysFileLayout::kLayoutCode;
        std::optional<int32_t> nominalCaseSize;  // default: the cells of the variables written
        int32_t compression = SysFileLayout::kCompressNone;
        int32_t weightIndex = 0;
        std::optional<int32_t> caseCount;  // default: the rows written
        double bias = SysFileLayout::kBias;
        std::string date = "15 Mar 24";
        std::string time = "13:45:07";
        std::string label;
    };

    struct Var {
        std::string name;
        int type = 0;  // 0 numeric, 1..255 string width
        std::optional<std::string> label;
        std::vector<double> missing;            // numeric missing values
        std::vector<std::string> missingText;   // string missing values, 8 bytes each
        std::optional<int32_t> missingCount;    // default: the values given; -2, -3 for ranges
        std::optional<uint32_t> print;          // format words; default F8.2 or A<width>
        std::optional<uint32_t> write;
        bool continuations = true;  // add the continuation records a string needs
    };

    explicit SysFileBuilder(ByteOrder order = ByteOrder::Native());

    // The header record; written automatically (with defaults) before the
    // first other record when not called.
    SysFileBuilder& Header(const HeaderSpec& spec);

    // A variable record and, for strings wider than 8, its continuation records.
    SysFileBuilder& Variable(const Var& var);
    // One continuation record on its own.
    SysFileBuilder& Continuation();
    // Cells of the variables so far; the 1-based position of a variable's first cell.
    int CellCount() const { return int(fNumericCell.size()); }
    int PositionOf(const std::string& name) const;

    // A type 3 record and its type 4 record listing the 1-based cell positions.
    SysFileBuilder& ValueLabels(const std::vector<std::pair<double, std::string>>& labels,
                                const std::vector<int32_t>& positions);
    SysFileBuilder& StringValueLabels(const std::vector<std::pair<std::string, std::string>>& labels,
                                      const std::vector<int32_t>& positions);
    // A type 3 record alone (a type 4 record must follow for a valid file).
    SysFileBuilder& ValueLabelRecord(const std::vector<std::pair<OBS, std::string>>& labels, bool numeric);
    SysFileBuilder& ValueLabelVarRecord(const std::vector<int32_t>& positions);

    // A document record; lines are cut or padded to 80 bytes.
    SysFileBuilder& Documents(const std::vector<std::string>& lines);

    // Extension records. Integer and double units are stored in the file's order.
    SysFileBuilder& Extension(int32_t subtype, int32_t unitSize, int32_t unitCount, const void* contents);
    SysFileBuilder& ExtensionInts(int32_t subtype, const std::vector<int32_t>& values);
    SysFileBuilder& ExtensionDoubles(int32_t subtype, const std::vector<double>& values);
    SysFileBuilder& ExtensionText(int32_t subtype, std::string_view text);

    // The termination record; the data area starts after it.
    SysFileBuilder& End();
    // One case in the stored layout, coded as the header's compression says.
    SysFileBuilder& Row(const std::vector<OBS>& cells);

    // Raw pieces in the file's order.
    SysFileBuilder& I32(int32_t v);
    SysFileBuilder& F64(double v);
    SysFileBuilder& Raw(const void* bytes, size_t size);
    SysFileBuilder& Raw(std::string_view bytes) { return Raw(bytes.data(), bytes.size()); }
    // The text cut or padded with spaces to width bytes.
    SysFileBuilder& Padded(std::string_view text, size_t width);

    // The file so far: nominal case size and case count filled in when not
    // given, the open command block padded and written.
    std::vector<uint8_t> Bytes() const;
    std::string Str() const;
    // Offset of the data area (after End).
    size_t DataStart() const { return fDataStart; }
    ByteOrder Order() const { return fOrder; }
    void WriteTo(const std::string& path) const;

private:
    void EnsureHeader();
    void Append(const unsigned char* p, size_t n) { fBytes.insert(fBytes.end(), p, p + n); }
    // Appends the open command block, padded to 8 commands.
    void AppendBlock(std::vector<uint8_t>& out) const;

    ByteOrder fOrder;
    std::vector<uint8_t> fBytes;
    bool fHeaderWritten = false;
    HeaderSpec fHeader;
    std::vector<bool> fNumericCell;  // per cell of the dictionary
    std::vector<std::pair<std::string, int>> fPositions;
    size_t fDataStart = 0;
    int fRows = 0;
    // The open command block of compression 1.
    std::vector<uint8_t> fCommands;
    std::vector<uint8_t> fRawCells;
};
