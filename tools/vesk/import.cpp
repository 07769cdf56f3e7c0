// `vesk import`: a CSV file as a new system file, in two passes over the
// input. The first learns the columns (names, types, widths, formats), the
// second writes the cases; memory does not grow with the number of rows.
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "SystemFileDataSource.h"
#include "casebatches.h"
#include "csvcolumns.h"
#include "csvinput.h"
#include "csvreader.h"
#include "datasrc.h"
#include "delimiter.h"
#include "dictedit.h"
#include "importnames.h"
#include "progress.h"
#include "textmb.h"
#include "writing.h"

namespace vesk {

namespace {

constexpr size_t kLabelBytes = 64;      // the header's dataset label
constexpr size_t kHeaderKeep = 256;     // bytes of a header field kept (names use 64)
constexpr size_t kShownRenamings = 20;  // renamings listed; the rest are counted

// Occurrences of one kind of change and the line of the first.
struct Tally {
    uint64_t count = 0;
    uint64_t first = 0;
    void Add(uint64_t line) {
        if (count++ == 0) first = line;
    }
};

// Warnings, printed once the file is written.
class Warnings {
public:
    explicit Warnings(std::string name) : fName(std::move(name)) {}
    void Add(const std::string& text) { fLines.push_back(text); }
    void Add(const Tally& tally, const std::string& what) {
        if (tally.count > 0)
            Add(what + ": " + std::to_string(tally.count) + " (first: line " + std::to_string(tally.first) + ")");
    }
    void Print() const {
        for (const std::string& line : fLines) std::fprintf(stderr, "vesk: warning: %s: %s\n", fName.c_str(), line.c_str());
    }

private:
    std::string fName;
    std::vector<std::string> fLines;
};

// At most max bytes of text, not splitting a UTF-8 character.
size_t CutLength(std::string_view text, size_t max) {
    if (text.size() <= max) return text.size();
    size_t n = max;
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    return n;
}

// Control characters of a name shown as \xHH.
std::string Shown(const std::string& text) {
    std::string shown;
    for (unsigned char c : text) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02X", c);
        shown += c < 0x20 || c == 0x7F ? std::string(hex) : std::string(1, char(c));
    }
    return shown;
}

// ---------------------------------------------------------------- first pass

struct Columns {
    std::vector<std::string> header;  // the first record's fields, unless there is no header
    std::vector<ColumnGuess> guesses;
    uint64_t records = 0;
    Tally shortRecords;
};

class HeaderSink {
public:
    explicit HeaderSink(std::vector<std::string>& header) : fHeader(header) {}
    void Field(size_t, const CsvField& f) { fHeader.emplace_back(f.text.substr(0, kHeaderKeep)); }
    void End(size_t) {}

private:
    std::vector<std::string>& fHeader;
};

class GuessSink {
public:
    GuessSink(CsvReader& reader, Columns& columns, bool growing, Progress& progress, const ByteInput& input)
        : fReader(reader), fColumns(columns), fGuesses(columns.guesses), fGrowing(growing), fProgress(progress),
          fInput(input) {}

    void Field(size_t i, const CsvField& f) {
        if (i >= fGuesses.size()) MoreFields();
        fGuesses[i].See(f.text, f.length, fReader.RecordLine());
    }
    void End(size_t n) {
        fGrowing = false;
        if (n < fGuesses.size()) fColumns.shortRecords.Add(fReader.RecordLine());
        ++fColumns.records;
        // By bytes when the size is known, else by records (the bar's counter says "cases").
        fProgress.Update(fInput.KnownSize() >= 0 ? int64_t(fInput.Consumed()) : int64_t(fColumns.records));
    }

private:
    void MoreFields() {
        if (!fGrowing)
            fReader.Fail(fReader.RecordLine(),
                         "more fields than the " + std::to_string(fGuesses.size()) + " of the first line");
        fGuesses.emplace_back();
    }

    CsvReader& fReader;
    Columns& fColumns;
    std::vector<ColumnGuess>& fGuesses;
    bool fGrowing;  // the first record of a file without a header sets the column count
    Progress& fProgress;
    const ByteInput& fInput;
};

Columns FirstPass(CsvReader& reader, const ByteInput& input, bool header) {
    Columns columns;
    if (header) {
        HeaderSink sink(columns.header);
        if (!reader.Next(sink)) throw CsvError(reader.Name() + ": no header line: the input is empty");
        columns.guesses.resize(columns.header.size());
    }
    Progress progress("import: reading", input.KnownSize(), Progress::StderrIsTerminal());
    GuessSink sink(reader, columns, !header, progress, input);
    while (reader.Next(sink)) {
    }
    progress.Finish();
    if (columns.guesses.empty()) throw CsvError(reader.Name() + ": no records: the input is empty");
    return columns;
}

// ---------------------------------------------------------------- dictionary

void DefineVariables(VESK_DataSource& out, const std::vector<std::string>& names, const Columns& columns) {
    for (size_t i = 0; i < names.size(); ++i) {
        const ColumnGuess& guess = columns.guesses[i];
        const bool text = guess.Kind() == ColumnKind::kText;
        VESK_Variable var(text ? guess.Width() : 0);
        var.SetName(names[i].c_str());
        if (!text) {
            var.SetFormat(guess.Format());
            var.SetWriteFormat(guess.Format());
        }
        var.SetMeasurementLevel(text ? VESK_Variable::eMeasureNominal : VESK_Variable::eMeasureScale);
        out.MakeVariable(var);
    }
}

std::string ReasonText(TextReason reason) {
    switch (reason) {
        case TextReason::kLeadingZeros: return "its numbers have leading zeros";
        case TextReason::kInexactInteger: return "it holds a whole number that no double holds exactly";
        case TextReason::kTooLarge: return "it holds a number too large for a double";
        case TextReason::kNotFinite: return "it holds inf or nan, which are not numbers";
        default: return "";
    }
}

void ReportNames(Warnings& warnings, const std::vector<Renaming>& renamed) {
    for (size_t k = 0; k < renamed.size() && k < kShownRenamings; ++k) {
        const Renaming& r = renamed[k];
        warnings.Add("column " + std::to_string(r.column + 1) + " '" + Shown(r.from) + "' is named '" + r.to + "'");
    }
    if (renamed.size() > kShownRenamings)
        warnings.Add(std::to_string(renamed.size() - kShownRenamings) +
                     " more columns renamed (vesk info lists every name)");
}

void ReportTextColumns(Warnings& warnings, const VESK_DataSource& out, const Columns& columns) {
    for (size_t i = 0; i < columns.guesses.size(); ++i) {
        const ColumnGuess& guess = columns.guesses[i];
        if (guess.Reason() != TextReason::kNone)
            warnings.Add("column '" + out.GetVariable(int(i)).GetName() + "' is kept as text: " +
                         ReasonText(guess.Reason()) + " (first: line " + std::to_string(guess.ReasonLine()) + ")");
    }
}

void SetLabel(SystemFileDataSource& out, const std::string& label, Warnings& warnings) {
    const size_t length = CutLength(label, kLabelBytes);
    if (length < label.size())
        warnings.Add("--label is cut to " + std::to_string(length) + " bytes, all a file label holds");
    out.SetLabel(label.substr(0, length).c_str());
}

// ---------------------------------------------------------------- second pass

struct ColumnPlan {
    ColumnKind kind;
    int width;      // bytes of a text column
    uint32_t cell;  // first cell
};

struct Changes {
    Tally tiny;
    Tally systemMissing;
    Tally cut;
};

class CaseSink {
public:
    // The plan is made from the dictionary before the cases start.
    CaseSink(CsvReader& reader, std::vector<ColumnPlan> plan, CaseBatches& out, Changes& changes,
             Progress& progress)
        : fReader(reader), fPlan(std::move(plan)), fOut(out), fChanges(changes), fProgress(progress),
          fRow(out.Next()) {}

    void Field(size_t i, const CsvField& f) {
        if (i >= fPlan.size()) Changed();
        const ColumnPlan& column = fPlan[i];
        OBS* cell = fRow + column.cell;
        if (f.length == 0)
            Empty(cell, column);
        else if (column.kind == ColumnKind::kNumber)
            Number(cell, f.text);
        else if (column.kind == ColumnKind::kText)
            Text(cell, column.width, f);
        else if (!DateValue(f.text, &cell->d))
            Changed();
    }
    void End(size_t n) {
        for (size_t i = n; i < fPlan.size(); ++i) Empty(fRow + fPlan[i].cell, fPlan[i]);
        fOut.Add();
        fRow = fOut.Next();
        fProgress.Update(++fDone);
    }

private:
    static void Empty(OBS* cell, const ColumnPlan& column) {
        if (column.kind == ColumnKind::kText)
            std::memset(cell->c, ' ', size_t(CellsForType(column.width)) * sizeof(OBS));
        else
            cell->d = VESK_DataSource::SystemMissing();
    }
    void Number(OBS* cell, std::string_view text) {
        NumberChange change;
        if (!NumberValue(text, &cell->d, &change)) Changed();
        if (change == NumberChange::kTiny) fChanges.tiny.Add(fReader.RecordLine());
        if (change == NumberChange::kSystemMissing) fChanges.systemMissing.Add(fReader.RecordLine());
    }
    void Text(OBS* cell, int width, const CsvField& f) {
        size_t n = f.text.size();
        if (f.length > uint64_t(width)) {
            if (f.length <= uint64_t(kMaxStringWidth)) Changed();
            n = CutLength(f.text, size_t(width));
            fChanges.cut.Add(fReader.RecordLine());
        }
        std::memcpy(cell->c, f.text.data(), n);
        std::memset(cell->c + n, ' ', size_t(CellsForType(width)) * sizeof(OBS) - n);
    }
    [[noreturn]] void Changed() const {
        fReader.Fail(fReader.RecordLine(), "the input changed while it was being imported");
    }

    CsvReader& fReader;
    const std::vector<ColumnPlan> fPlan;
    CaseBatches& fOut;
    Changes& fChanges;
    Progress& fProgress;
    OBS* fRow;  // the case being filled
    int64_t fDone = 0;
};

std::vector<ColumnPlan> MakePlan(const VESK_DataSource& dictionary, const Columns& columns) {
    std::vector<ColumnPlan> plan;
    for (unsigned i = 0; i < dictionary.ColumnCount(); ++i)
        plan.push_back({columns.guesses[i].Kind(), dictionary.GetVariable(int(i)).GetType(),
                        uint32_t(dictionary.ObsIndex(int(i)))});
    return plan;
}

void SecondPass(CsvReader& reader, SystemFileDataSource& out, const Columns& columns, bool header,
                Changes& changes) {
    reader.Rewind(false);
    struct Skip {
        void Field(size_t, const CsvField&) {}
        void End(size_t) {}
    } skip;
    if (header) reader.Next(skip);
    Progress progress("import: writing", int64_t(columns.records), Progress::StderrIsTerminal());
    std::vector<ColumnPlan> plan = MakePlan(out, columns);
    CaseBatches batches(out, out.GetObsAreaSize());
    CaseSink sink(reader, std::move(plan), batches, changes, progress);
    while (reader.Next(sink)) {
    }
    batches.Finish();
    progress.Finish();
}

void SetPassword(SystemFileDataSource& out, const std::string& password) {
    if (password.empty()) return;
    ExtNameStr pw;
    pw.SetGeneric(password.c_str());
    out.SetPassword(pw);
}

// What the options say, checked before any input is read.
struct Settings {
    std::string name;  // of the input, in messages
    int level = 1;
    char delimiter = ',';
    std::unique_ptr<DictEdit> dict;
};

Settings CheckOptions(const ImportOptions& options) {
    Settings settings;
    settings.name = options.csv == "-" ? "(standard input)" : options.csv;
    if (!options.compression.empty()) settings.level = ParseCompression(options.compression);
    settings.delimiter = options.delimiter.empty() ? DefaultDelimiter(options.csv) : ParseDelimiter(options.delimiter);
    if (!options.dict.empty()) settings.dict = std::make_unique<DictEdit>(LoadDictEdit(options.dict));
    return settings;
}

std::unique_ptr<TextSource> OpenText(ByteInput& input, const std::string& encoding) {
    try {
        return std::make_unique<TextSource>(input, encoding);
    } catch (const std::invalid_argument& e) {
        throw UsageError(e.what());
    }
}

// The variables named and typed, the label and the --dict edit applied;
// returns the names that differ from their header fields.
std::vector<Renaming> MakeDictionary(SystemFileDataSource& out, Columns& columns, const ImportOptions& options,
                                     const Settings& settings, Warnings& warnings) {
    std::vector<Renaming> renamed;
    const std::vector<std::string> names =
        options.noHeader ? NumberedNames(columns.guesses.size()) : ColumnNames(columns.header, &renamed);
    columns.header = std::vector<std::string>();  // not needed any more; a wide file's header is large
    DefineVariables(out, names, columns);
    out.CharacterEncoding("UTF-8");
    if (options.hasLabel) SetLabel(out, options.label, warnings);
    if (settings.dict) settings.dict->Apply(out);
    return renamed;
}

void Report(Warnings& warnings, const VESK_DataSource& out, const std::vector<Renaming>& renamed,
            const Columns& columns, const CsvReader& reader, const Changes& changes) {
    ReportNames(warnings, renamed);
    ReportTextColumns(warnings, out, columns);
    warnings.Add(Tally{reader.BlankLines(), reader.FirstBlankLine()}, "blank lines skipped");
    warnings.Add(columns.shortRecords, "records with fewer fields than the first line, filled with missing values");
    warnings.Add(changes.cut, "fields longer than 32767 bytes, cut to 32767");
    warnings.Add(changes.tiny, "numbers too small for a double, stored as 0");
    warnings.Add(changes.systemMissing, "numbers equal to the system-missing value, stored as system-missing");
    warnings.Print();
}

void Import(const ImportOptions& options, const Settings& settings) {
    std::unique_ptr<ByteInput> input = OpenByteInput(options.csv);
    std::unique_ptr<TextSource> text = OpenText(*input, options.encoding);
    CsvReader reader(*text, settings.delimiter, settings.name);
    Warnings warnings(settings.name);
    Columns columns = FirstPass(reader, *input, !options.noHeader);
    SystemFileDataSource out;
    const std::vector<Renaming> renamed = MakeDictionary(out, columns, options, settings, warnings);

    Changes changes;
    TempOutput temp(options.out);
    temp.Fill([&] {
        out.SetFileSpec(temp.Path().c_str());
        SetPassword(out, options.password);
        out.SetCompressionLevel(settings.level);
        out.CommitDictionary();
        SecondPass(reader, out, columns, !options.noHeader, changes);
        out.Close();
    });
    temp.Commit();
    Report(warnings, out, renamed, columns, reader, changes);
}

}  // namespace

int RunImport(const ImportOptions& options) {
    SetUTF8mode(1);
    const Settings settings = CheckOptions(options);
    try {
        Import(options, settings);
    } catch (const std::bad_alloc&) {
        throw std::runtime_error(settings.name + ": out of memory");
    }
    return 0;
}

}  // namespace vesk
