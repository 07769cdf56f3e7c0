// libFuzzer harness: the extension records that hold text (custom
// attributes, variable and multiple-response sets, long names, very long
// strings).
//
// The input is cut at each 0x1E byte into pieces. A piece's first byte picks
// its record (the byte modulo 7: file attributes 17, variable attributes 18,
// variable sets 5, multiple-response sets 7, enhanced sets 19, long names 13,
// very long strings 14); the rest is the record's text.
//
// First each attribute and set text is parsed on its own; what parses is
// written and parsed again and must come back the same. Then the pieces go,
// in input order, as extension records into a small system file (numbers,
// strings, and a very long string stored as three segments, with two cases)
// that is read; when it reads, it is written again from its dictionary and
// cases and read back: the dictionary, as `vesk info --json` shows it, and
// the cases must come back unchanged but for what the records cannot hold
// (AsWritten, AsRecords).
//
// A malformed record is reported as VeskError 1204, by the reader and by the
// parsers on their own. Anything else, and a file the reader accepted that
// the writer refuses, is a finding.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Attributes.h"
#include "SystemFileDataSource.h"
#include "case.h"
#include "datasrc.h"
#include "dictjson.h"
#include "errortext.h"
#include "scratchfiles.h"
#include "sysfilebuilder.h"
#include "textmb.h"
#include "textout.h"
#include "variableset.h"

namespace {

using namespace SysFileLayout;

constexpr int kSubtypes[] = {17, 18, 5, 7, 19, kExtLongNames, kExtVeryLongStrings};
constexpr char kSeparator = '\x1E';
constexpr int kVeryLongWidth = 600;

std::string gBuiltPath, gWrittenPath;

struct Piece {
    int subtype;
    std::string_view text;
};

std::vector<Piece> Pieces(std::string_view input) {
    std::vector<Piece> pieces;
    while (!input.empty()) {
        const size_t end = std::min(input.find(kSeparator), input.size());
        const std::string_view piece = input.substr(0, end);
        if (!piece.empty()) pieces.push_back({kSubtypes[uint8_t(piece[0]) % 7], piece.substr(1)});
        input.remove_prefix(end < input.size() ? end + 1 : end);
    }
    return pieces;
}

// What a record keeps of a set: the label of a dichotomy set whose label is
// set by variable is not written, and a dichotomy set that is not enhanced
// goes in a "D" line, which holds no flags.
VariableSet AsWritten(VariableSet set) {
    if (set.GetType() == VariableSet::eMultipleDichotomies) {
        if (set.LabelSetByVariable()) set.SetLabel("");
        if (!set.IsEnhancedDichotomy()) set.SetFlagBits(0);
    }
    return set;
}

// ---------------------------------------------------------------- on their own

void AttributesAlone(std::string_view text) {
    DatasourceAttributes first;
    if (!DatasourceAttributes::Parse(text.data(), text.size(), first)) return;
    const std::string written = first.MakeString();
    DatasourceAttributes second;
    uint64_t used = 0;
    if (!DatasourceAttributes::Parse(written, second, &used) || used != written.size())
        fuzz::Finding("written attributes do not parse: '%s'", written.c_str());
    if (second != first) fuzz::Finding("attributes parse differently once written: '%s'", written.c_str());
    if (second.MakeString() != written) fuzz::Finding("attributes are written differently the second time");
}

void SetsAlone(int subtype, std::string_view text) {
    std::vector<VariableSet> sets;
    try {
        ParseExtension(text.data(), text.size(), subtype, sets);
    } catch (const VeskError& e) {
        if (e.Number() != int(DatasrcMsg::Malformed)) throw;
        return;
    }
    for (const VariableSet& set : sets) {
        std::string line;
        try {
            line = set.ToExtension();
        } catch (const VeskError& e) {
            if (e.Number() != int(DatasrcMsg::Malformed)) throw;
            continue;  // a set no record could hold
        }
        if (VariableSet(line) != AsWritten(set))
            fuzz::Finding("a set reads differently once written: '%s'", line.c_str());
    }
}

// ---------------------------------------------------------------- in a file

// The sets as their records hold them. A list can hold two sets of exactly
// the same name: from two records of one subtype, or left by the rule that a
// repeated name replaces the first set of that name in any case. Written,
// such sets share a record, where the later one replaces the earlier.
std::vector<VariableSet> AsRecords(const std::vector<VariableSet>& sets, VarSetsType kind) {
    std::vector<VariableSet> read;
    for (const int subtype : kind == eVarSets ? std::vector<int>{5} : std::vector<int>{7, 19}) {
        std::string text;
        MakeExtension(sets, text, subtype);
        ParseExtension(text.data(), text.size(), subtype, read);
    }
    return read;
}

// What a file keeps of a dictionary: the sets as above, and roles 6 and 7
// as role 3 with the true role in the attribute "$@ExtendRole".
void AsWritten(VESK_DataSource& source) {
    std::vector<VariableSet> sets = VariableSets(source, eMRSets);
    for (VariableSet& set : sets) set = AsWritten(set);
    SaveVariableSets(AsRecords(sets, eMRSets), source, eMRSets);
    SaveVariableSets(AsRecords(VariableSets(source, eVarSets), eVarSets), source, eVarSets);
    for (unsigned v = 0; v < source.ColumnCount(); ++v) {
        VESK_Variable& var = source.GetVariable(int(v));
        const int role = var.GetRole();
        if (role != 6 && role != 7) continue;
        DatasourceAttributes attributes = var.GetAttributes();
        attributes.Define("$@ExtendRole", {std::to_string(role)});
        var.SetAttributes(attributes);
        var.SetRole(VESK_Variable::Role(3));
    }
}

// A UTF-8 file of numbers and strings, a very long string of
// kVeryLongWidth in three segments, and the records of the input.
SysFileBuilder BuildFile(const std::vector<Piece>& pieces) {
    const int rest = kVeryLongWidth - kSegmentWidthDivisor * FullSegments(kVeryLongWidth);
    SysFileBuilder b;
    b.Header({.compression = kCompressBytecode});
    b.Variable({.name = "Q1"}).Variable({.name = "Q2"}).Variable({.name = "NAME", .type = 20});
    b.Variable({.name = "ESSAY", .type = kMaxRecordStringWidth})
        .Variable({.name = "ESSAY1", .type = kMaxRecordStringWidth})
        .Variable({.name = "ESSAY2", .type = rest})
        .Variable({.name = "TAIL", .type = 5});
    b.ExtensionInts(kExtMachineIntegers, {23, 0, 0, 720, 1, 1, 2, 65001});
    b.ExtensionText(20, "UTF-8");  // the encoding record
    for (const Piece& piece : pieces) b.ExtensionText(piece.subtype, piece.text);
    b.End();
    for (int row = 0; row < 2; ++row) {
        Cells c;
        c.Num(row).Num(row * 1.5).Str(row ? "alice" : "bob", 20);
        for (int s = 0; s < FullSegments(kVeryLongWidth); ++s)
            c.Str(std::string(kSegmentTextBytes, char('a' + s + row)), kSegmentBytes);
        c.Str("end of the essay", rest).Str("tail", 5);
        b.Row(c);
    }
    return b;
}

struct SourceDeleter {
    void operator()(VESK_DataSource* s) const { DeleteLine(s); }
};
using Source = std::unique_ptr<VESK_DataSource, SourceDeleter>;

struct Content {
    std::string dictionary;  // as `vesk info --json` shows it
    std::vector<OBS> cells;  // of every case
};

Content ContentOf(const VESK_DataSource& source) {
    Content content;
    vesk::JsonWriter json(content.dictionary);
    json.BeginObject();
    vesk::WriteDictionaryMembers(json, source);
    json.EndObject();
    std::unique_ptr<VESK_InputCaseIterator> it(source.MakeIterator(nullptr));
    const OBS* cells = it->GetCase().Cells();
    while (it->NextCase()) content.cells.insert(content.cells.end(), cells, cells + source.GetObsAreaSize());
    return content;
}

void WriteAgain(const VESK_DataSource& source) {
    SystemFileDataSource out;
    out.CopyDictionary(source);
    out.SetFileSpec(gWrittenPath.c_str());
    out.SetCompressionLevel(1);
    out.CommitDictionary();
    std::unique_ptr<VESK_InputCaseIterator> it(source.MakeIterator(nullptr));
    const OBS* cells = it->GetCase().Cells();
    while (it->NextCase()) out.AddRow(cells);
    it.reset();
    out.Close();
}

void InFile(const std::vector<Piece>& pieces) {
    BuildFile(pieces).WriteTo(gBuiltPath);
    Source read;
    try {
        read.reset(SystemFileDataSource::GetSystemFile(gBuiltPath, "", false, nullptr));
    } catch (const VeskError&) {
        return;  // a malformed record, reported as it should be
    }
    AsWritten(*read);
    const Content first = ContentOf(*read);
    try {
        WriteAgain(*read);
    } catch (const VeskError& e) {
        fuzz::Finding("a file that reads cannot be written again: error %d", e.Number());
    }
    const Source back(SystemFileDataSource::GetSystemFile(gWrittenPath, "", false, nullptr));
    const Content second = ContentOf(*back);
    if (second.dictionary != first.dictionary)
        fuzz::Finding("the dictionary changes when written again:\n%s\n---\n%s", first.dictionary.c_str(),
                      second.dictionary.c_str());
    if (second.cells.size() != first.cells.size() ||
        std::memcmp(second.cells.data(), first.cells.data(), first.cells.size() * sizeof(OBS)) != 0)
        fuzz::Finding("the cases change when written again");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SetUTF8mode(1);
    fuzz::ReadSynchronously();
    gBuiltPath = fuzz::ScratchPath("-records.sys");
    gWrittenPath = fuzz::ScratchPath("-records-again.sys");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<Piece> pieces = Pieces(std::string_view(reinterpret_cast<const char*>(data), size));
    for (const Piece& piece : pieces) {
        if (piece.subtype == 17 || piece.subtype == 18) AttributesAlone(piece.text);
        if (piece.subtype == 5 || piece.subtype == 7 || piece.subtype == 19) SetsAlone(piece.subtype, piece.text);
    }
    InFile(pieces);
    return 0;
}
