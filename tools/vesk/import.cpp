// `vesk import`: a CSV file (RFC 4180, a header line of names) as a new
// system file. A column whose non-empty fields are all numbers is numeric,
// any other a string as wide as its longest field.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "SystemFileDataSource.h"
#include "case.h"
#include "datasrc.h"
#include "progress.h"
#include "textmb.h"
#include "writing.h"

namespace vesk {

namespace {

constexpr size_t kMaxStringWidth = 32767;

// Splits CSV text into records. Records end in CRLF, LF or a lone CR; a
// terminator at the very end starts no further record.
class CsvReader {
public:
    CsvReader(std::string_view text, std::string path) : fText(text), fPath(std::move(path)) {}

    // The fields of the next record; false at the end of the text.
    bool Next(std::vector<std::string>& fields) {
        fields.clear();
        if (fPos >= fText.size()) return false;
        ++fLine;
        const size_t recordLine = fLine;
        std::string field;
        for (;;) {
            field.clear();
            if (fPos < fText.size() && fText[fPos] == '"') {
                ++fPos;
                for (;;) {
                    if (fPos >= fText.size())
                        Fail(recordLine, "a quoted field is not closed");
                    const char c = fText[fPos++];
                    if (c == '"') {
                        if (fPos < fText.size() && fText[fPos] == '"') {
                            field += '"';
                            ++fPos;
                        } else {
                            break;
                        }
                    } else {
                        if (c == '\n' || (c == '\r' && (fPos >= fText.size() || fText[fPos] != '\n'))) ++fLine;
                        field += c;
                    }
                }
                if (fPos < fText.size() && fText[fPos] != ',' && fText[fPos] != '\r' && fText[fPos] != '\n')
                    Fail(fLine, "text after the closing quote of a field");
            } else {
                const size_t start = fPos;
                while (fPos < fText.size() && fText[fPos] != ',' && fText[fPos] != '\r' && fText[fPos] != '\n') {
                    if (fText[fPos] == '"') Fail(fLine, "a quote inside an unquoted field");
                    ++fPos;
                }
                field.assign(fText.substr(start, fPos - start));
            }
            fields.push_back(field);
            if (fPos >= fText.size()) return true;
            const char c = fText[fPos++];
            if (c == ',') continue;
            if (c == '\r' && fPos < fText.size() && fText[fPos] == '\n') ++fPos;
            return true;
        }
    }

    size_t Line() const { return fLine; }
    [[noreturn]] void Fail(size_t line, const std::string& what) const {
        throw std::runtime_error(fPath + ": line " + std::to_string(line) + ": " + what);
    }

private:
    std::string_view fText;
    std::string fPath;
    size_t fPos = 0;
    size_t fLine = 0;
};

// The whole field is a finite decimal number (no blanks, no hexadecimal).
bool ParseNumber(const std::string& field, double& value) {
    if (field.empty()) return false;
    for (char c : field)
        if (!((c >= '0' && c <= '9') || c == '.' || c == '-' || c == '+' || c == 'e' || c == 'E')) return false;
    char* end = nullptr;
    value = std::strtod(field.c_str(), &end);
    if (end != field.c_str() + field.size()) return false;
    return std::isfinite(value);  // an overflow stays text
}

// At most max bytes of text, not splitting a UTF-8 character.
size_t CutLength(const std::string& text, size_t max) {
    if (text.size() <= max) return text.size();
    size_t n = max;
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    return n;
}

struct Column {
    bool numeric = true;
    size_t width = 0;  // longest field in bytes
};

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error(path + ": cannot open the file");
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) throw std::runtime_error(path + ": cannot read the file");
    return text.str();
}

}  // namespace

int RunImport(const ImportOptions& options) {
    const int level = options.compression.empty() ? 1 : ParseCompression(options.compression);
    SetUTF8mode(1);
    const std::string text = ReadWholeFile(options.csv);

    // First pass: the header, the column types and widths, the record count.
    std::vector<std::string> header, fields;
    CsvReader first(text, options.csv);
    if (!first.Next(header)) throw std::runtime_error(options.csv + ": no header line");
    std::vector<Column> columns(header.size());
    int64_t records = 0;
    double number = 0;
    while (first.Next(fields)) {
        if (fields.size() > columns.size())
            first.Fail(first.Line(), "more fields than the header line has names");
        for (size_t i = 0; i < fields.size(); ++i) {
            const std::string& f = fields[i];
            if (f.size() > columns[i].width) columns[i].width = f.size();
            if (!f.empty() && columns[i].numeric && !ParseNumber(f, number)) columns[i].numeric = false;
        }
        ++records;
    }

    bool cut = false;
    TempOutput temp(options.out);
    temp.Fill([&] {
        SystemFileDataSource out;
        for (size_t i = 0; i < columns.size(); ++i) {
            int type = 0;
            if (!columns[i].numeric) {
                size_t width = columns[i].width;
                if (width < 1) width = 1;
                if (width > kMaxStringWidth) width = kMaxStringWidth;
                columns[i].width = width;
                type = int(width);
            }
            const std::string name = out.GoodVarName(header[i]);
            out.MakeVariable(type).SetName(name.c_str());
        }
        if (options.hasLabel) out.SetLabel(options.label.c_str());
        out.SetFileSpec(temp.Path().c_str());
        if (!options.password.empty()) {
            ExtNameStr pw;
            pw.SetGeneric(options.password.c_str());
            out.SetPassword(pw);
        }
        out.SetCompressionLevel(level);
        out.CommitDictionary();

        // Second pass: the cases.
        Progress progress("import", records, Progress::StderrIsTerminal());
        VESK_Case row(out, nullptr);
        CsvReader second(text, options.csv);
        second.Next(fields);  // the header
        int64_t done = 0;
        while (second.Next(fields)) {
            for (size_t i = 0; i < columns.size(); ++i) {
                const std::string empty;
                const std::string& f = i < fields.size() ? fields[i] : empty;
                if (columns[i].numeric) {
                    row.SetColumnValue(int(i), f.empty() || !ParseNumber(f, number) ? VESK_DataSource::SystemMissing()
                                                                                      : number);
                } else {
                    const size_t length = CutLength(f, columns[i].width);
                    if (length < f.size()) cut = true;
                    row.SetColumnValue(int(i), f.c_str(), int(length));
                }
            }
            out.AddRow(row.Cells());
            progress.Update(++done);
        }
        progress.Finish();
        out.Close();
    });
    temp.Commit();
    if (cut)
        std::fprintf(stderr, "vesk: warning: %s: fields longer than %zu bytes were cut\n", options.csv.c_str(),
                     kMaxStringWidth);
    return 0;
}

}  // namespace vesk
