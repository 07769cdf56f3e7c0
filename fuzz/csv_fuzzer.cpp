// libFuzzer harness: any input bytes as a CSV file for `vesk import`.
//
// The first byte chooses the options, the rest is the file:
//   bits 0-1  delimiter: comma, tab, semicolon, bar
//   bits 2-3  encoding: UTF-8, windows-1252, UTF-16LE, Shift_JIS
//   bit  4    no header line
//   bits 5-6  output: plain, bytecode, zlib, bytecode encrypted
// The CSV reader's buffer is 4 to 64 bytes (by the input's length), so that
// fields and records are cut by its ends; a fuzzing build also makes the
// text decoder's chunks and the case batches small (csvinput.cpp,
// casebatches.cpp). The file is imported as the tool imports it (both passes, into a system
// file in a memory-backed directory), then read back and compared with a
// third reading of the CSV text: the names are the ones given (the reader
// has nothing to repair), the case count is the record count, every number
// and date is the value its field reads as, every text is its field (cut
// only beyond the longest string), and every number's shortest text reads
// back as the same number.
//
// CSV errors (CsvError) are the expected outcome of malformed text, except
// "the input changed", which says the two passes disagreed about a file that
// did not change. Anything else is a finding.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "SystemFileDataSource.h"
#include "case.h"
#include "csvcolumns.h"
#include "csvinput.h"
#include "csvreader.h"
#include "datasrc.h"
#include "filecipher.h"
#include "importnames.h"
#include "importpasses.h"
#include "scratchfiles.h"
#include "textmb.h"
#include "valuetext.h"

namespace {

constexpr char kPassword[] = "fuzz";

std::string gCsvPath, gSysPath;

struct Choices {
    size_t buffer;
    char delimiter;
    std::string encoding;
    bool header;
    int level;
    bool encrypted;
};

Choices FromInput(const uint8_t* data, size_t size) {
    static const char kDelimiters[] = {',', '\t', ';', '|'};
    static const char* const kEncodings[] = {"", "windows-1252", "UTF-16LE", "Shift_JIS"};
    const uint8_t b = data[0];
    const int output = (b >> 5) & 3;
    return {4 + size % 61, kDelimiters[b & 3], kEncodings[(b >> 2) & 3], (b & 0x10) == 0, output == 3 ? 1 : output,
            output == 3};
}

// The CSV file as a record stream, opened afresh for each pass.
struct CsvFile {
    explicit CsvFile(const Choices& c)
        : input(vesk::OpenByteInput(gCsvPath)), text(*input, c.encoding),
          reader(text, c.delimiter, "fuzz.csv", c.buffer) {}
    std::unique_ptr<vesk::ByteInput> input;
    vesk::TextSource text;
    vesk::CsvReader reader;
};

struct Imported {
    vesk::ImportColumns columns;
    std::vector<std::string> names;
};

bool Import(const Choices& c, Imported& result) {
    CsvFile csv(c);
    try {
        result.columns = vesk::FirstPass(csv.reader, *csv.input, c.header);
    } catch (const vesk::CsvError&) {
        return false;  // malformed text: nothing is written
    }
    std::vector<vesk::Renaming> renamed;
    result.names = c.header ? vesk::ColumnNames(result.columns.header, &renamed)
                            : vesk::NumberedNames(result.columns.guesses.size());
    SystemFileDataSource out;
    vesk::DefineVariables(out, result.names, result.columns);
    out.CharacterEncoding("UTF-8");
    out.SetFileSpec(gSysPath.c_str());
    if (c.encrypted) out.SetPassword(ExtNameStr(kPassword));
    out.SetCompressionLevel(c.level);
    out.CommitDictionary();
    vesk::ValueChanges changes;
    try {
        vesk::SecondPass(csv.reader, out, result.columns, c.header, changes);
    } catch (const vesk::CsvError& e) {
        fuzz::Finding("the second pass failed where the first did not: %s", e.what());
    }
    out.Close();
    return true;
}

// ---------------------------------------------------------------- checks

bool SameNumber(double a, double b) { return a == b || (a != a && b != b); }

// Compares each record of a third reading with the case read back.
class CheckSink {
public:
    CheckSink(const VESK_DataSource& back, const Imported& imported, VESK_InputCaseIterator& it)
        : fBack(back), fImported(imported), fIt(it), fCells(it.GetCase().Cells()) {}

    void Field(size_t i, const vesk::CsvField& f) {
        if (i == 0) NextCase();
        if (i >= fImported.names.size()) fuzz::Finding("record %llu has more fields than columns", Row());
        Compare(int(i), f.text, f.length);
    }
    void End(size_t n) {
        for (size_t i = n; i < fImported.names.size(); ++i) Compare(int(i), {}, 0);
    }
    unsigned long long Row() const { return static_cast<unsigned long long>(fRows); }

private:
    void NextCase() {
        if (!fIt.NextCase()) fuzz::Finding("the file ends before record %llu", Row() + 1);
        ++fRows;
    }
    void Compare(int column, std::string_view text, uint64_t length) {
        const VESK_Variable& var = fBack.GetVariable(column);
        const OBS* cell = fCells + fBack.ObsIndex(column);
        if (var.GetType() > 0)
            CompareText(column, var.GetType(), cell->c, text, length);
        else
            CompareNumber(column, var, cell->d, text, length);
    }
    void CompareText(int column, int width, const char* cells, std::string_view text, uint64_t length) {
        if (length > uint64_t(width) && length <= uint64_t(vesk::kMaxStringWidth))
            fuzz::Finding("record %llu column %d: %llu bytes in a string of %d", Row(), column + 1,
                          static_cast<unsigned long long>(length), width);
        std::string expected(text.substr(0, vesk::CutLength(text, size_t(width))));
        expected.resize(size_t(CellsForType(width)) * sizeof(OBS), ' ');
        if (std::memcmp(cells, expected.data(), expected.size()) != 0)
            fuzz::Finding("record %llu column %d: the text differs", Row(), column + 1);
    }
    void CompareNumber(int column, const VESK_Variable& var, double value, std::string_view text, uint64_t length) {
        double expected = VESK_DataSource::SystemMissing();
        const vesk::ColumnKind kind = fImported.columns.guesses[size_t(column)].Kind();
        vesk::NumberChange change;
        const bool read = length == 0 || (kind == vesk::ColumnKind::kNumber ? vesk::NumberValue(text, &expected, &change)
                                                                            : vesk::DateValue(text, &expected));
        if (!read) fuzz::Finding("record %llu column %d: the field is no value", Row(), column + 1);
        if (!SameNumber(value, expected))
            fuzz::Finding("record %llu column %d: %.17g read back, %.17g expected", Row(), column + 1, value, expected);
        if (kind == vesk::ColumnKind::kNumber && value != VESK_DataSource::SystemMissing()) CheckShortest(column, value);
    }
    // The text `vesk cat` writes for the number reads back as the number.
    void CheckShortest(int column, double value) const {
        const std::string shown = vesk::NumberText(value, vesk::NumberStyle{});
        double again = 0;
        vesk::NumberChange change;
        if (!vesk::NumberValue(shown, &again, &change) || !SameNumber(again, value))
            fuzz::Finding("record %llu column %d: %.17g is shown as '%s'", Row(), column + 1, value, shown.c_str());
    }

    const VESK_DataSource& fBack;
    const Imported& fImported;
    VESK_InputCaseIterator& fIt;
    const OBS* fCells;
    int64_t fRows = 0;
};

struct SourceDeleter {
    void operator()(VESK_DataSource* s) const { DeleteLine(s); }
};

void CheckDictionary(const VESK_DataSource& back, const Imported& imported) {
    if (back.ColumnCount() != imported.names.size())
        fuzz::Finding("%u variables read back, %zu written", back.ColumnCount(), imported.names.size());
    for (size_t i = 0; i < imported.names.size(); ++i) {
        const VESK_Variable& var = back.GetVariable(int(i));
        const vesk::ColumnGuess& guess = imported.columns.guesses[i];
        const int type = guess.Kind() == vesk::ColumnKind::kText ? guess.Width() : 0;
        if (var.GetName() != imported.names[i] || var.GetType() != type)
            fuzz::Finding("column %zu reads back as '%s' of type %d, written as '%s' of type %d", i + 1,
                          var.GetName().c_str(), var.GetType(), imported.names[i].c_str(), type);
    }
}

void CheckFile(const Choices& c, const Imported& imported) {
    std::unique_ptr<VESK_DataSource, SourceDeleter> back(
        SystemFileDataSource::GetSystemFile(gSysPath, c.encrypted ? kPassword : "", false, nullptr));
    CheckDictionary(*back, imported);
    if (back->RowCount() != int64_t(imported.columns.records))
        fuzz::Finding("the header counts %lld cases, the CSV has %llu records", static_cast<long long>(back->RowCount()),
                      static_cast<unsigned long long>(imported.columns.records));

    std::unique_ptr<VESK_InputCaseIterator> it(back->MakeIterator(nullptr));
    CsvFile csv(c);
    struct Skip {
        void Field(size_t, const vesk::CsvField&) {}
        void End(size_t) {}
    } skip;
    if (c.header) csv.reader.Next(skip);
    CheckSink sink(*back, imported, *it);
    while (csv.reader.Next(sink)) {
    }
    if (it->NextCase()) fuzz::Finding("the file holds more cases than the %llu records", sink.Row());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SetUTF8mode(1);
    fuzz::ReadSynchronously();
    FileCipher::SetNewFileLimits(FileCipher::MinOpsLimit(), FileCipher::MinMemLimit());
    gCsvPath = fuzz::ScratchPath(".csv");
    gSysPath = fuzz::ScratchPath("-imported.sys");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const Choices choices = FromInput(data, size);
    fuzz::WriteFile(gCsvPath, data + 1, size - 1);
    Imported imported;
    if (Import(choices, imported)) CheckFile(choices, imported);
    return 0;
}
