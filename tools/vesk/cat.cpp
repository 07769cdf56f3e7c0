// `vesk cat` and `vesk verify`: reading the cases.
#include <charconv>
#include <memory>

#include "case.h"
#include "casecsv.h"
#include "commands.h"
#include "datasrc.h"
#include "opened.h"
#include "output.h"
#include "progress.h"

namespace vesk {

namespace {

bool ParseRow(std::string_view text, int64_t& value) {
    if (text.empty()) return false;
    const char* end = text.data() + text.size();
    std::from_chars_result r = std::from_chars(text.data(), end, value);
    return r.ec == std::errc() && r.ptr == end && value >= 0;
}

std::vector<int> SelectColumns(const OpenedFile& file, const std::vector<std::string>& names) {
    const VESK_DataSource& source = file.Source();
    std::vector<int> columns;
    if (names.empty()) {
        for (unsigned i = 0; i < source.ColumnCount(); ++i) columns.push_back(int(i));
        return columns;
    }
    for (const std::string& name : names) {
        const int column = source.FindVarIndex(name.c_str());
        if (column < 0) throw UsageError(file.Path() + ": no variable named '" + name + "'");
        columns.push_back(column);
    }
    return columns;
}

using IteratorPtr = std::unique_ptr<VESK_InputCaseIterator>;

}  // namespace

RowRange ParseRowRange(const std::string& text) {
    const size_t colon = text.find(':');
    RowRange range;
    if (colon == std::string::npos || !ParseRow(std::string_view(text).substr(0, colon), range.first) ||
        !ParseRow(std::string_view(text).substr(colon + 1), range.last) || range.last < range.first)
        throw UsageError("--rows: expected FIRST:LAST with 0 <= FIRST <= LAST, got '" + text + "'");
    return range;
}

int RunCat(const CatOptions& options) {
    OpenedFile file(options.file, options.password);
    const VESK_DataSource& source = file.Source();
    const std::vector<int> columns = SelectColumns(file, options.vars);

    StdoutBuffer out;
    AppendCsvHeader(out.Text(), source, columns);
    IteratorPtr it(source.MakeIterator(nullptr));
    int64_t first = 0, last = -1;  // last -1: to the end
    if (options.rows) {
        first = options.rows->first;
        last = options.rows->last;
        it->Seek(first);
    }
    const int64_t rowCount = source.RowCount();
    int64_t total = -1;
    if (last >= 0)
        total = last - first + 1;
    else if (rowCount >= 0)
        total = rowCount;
    Progress progress("cat", total, Progress::StderrIsTerminal());

    const OBS* cells = it->GetCase().Cells();
    int64_t done = 0;
    for (int64_t row = first; (last < 0 || row <= last) && it->NextCase(); ++row) {
        AppendCsvCase(out.Text(), source, columns, cells);
        out.Drain();
        progress.Update(++done);
    }
    progress.Finish();
    return 0;
}

int RunVerify(const FileOptions& options) {
    OpenedFile file(options.file, options.password);
    const VESK_DataSource& source = file.Source();
    IteratorPtr it(source.MakeIterator(nullptr));
    Progress progress("verify", source.RowCount(), Progress::StderrIsTerminal());
    int64_t cases = 0;
    while (it->NextCase()) progress.Update(++cases);
    progress.Finish();
    StdoutBuffer out;
    out.Text() = "cases: " + std::to_string(cases) + "\n";
    return 0;
}

}  // namespace vesk
