// `vesk import`: a CSV file as a new system file, in the two passes of
// importpasses.h; memory does not grow with the number of rows. Here: the
// options, the names, the temporary output and the warnings.
#include <cstdio>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "SystemFileDataSource.h"
#include "csvinput.h"
#include "csvreader.h"
#include "datasrc.h"
#include "delimiter.h"
#include "dictedit.h"
#include "importnames.h"
#include "importpasses.h"
#include "textmb.h"
#include "writing.h"

namespace vesk {

namespace {

constexpr size_t kLabelBytes = 64;      // the header's dataset label
constexpr size_t kShownRenamings = 20;  // renamings listed; the rest are counted

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

void ReportTextColumns(Warnings& warnings, const VESK_DataSource& out, const ImportColumns& columns) {
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
std::vector<Renaming> MakeDictionary(SystemFileDataSource& out, ImportColumns& columns, const ImportOptions& options,
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
            const ImportColumns& columns, const CsvReader& reader, const ValueChanges& changes) {
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
    ImportColumns columns = FirstPass(reader, *input, !options.noHeader);
    SystemFileDataSource out;
    const std::vector<Renaming> renamed = MakeDictionary(out, columns, options, settings, warnings);

    ValueChanges changes;
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
