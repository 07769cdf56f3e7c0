// `vesk cat` and `vesk verify`: reading the cases.
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <memory>
#include <vector>

#include "case.h"
#include "caseblocks.h"
#include "casecsv.h"
#include "commands.h"
#include "datasrc.h"
#include "delimiter.h"
#include "errortext.h"
#include "opened.h"
#include "output.h"
#include "progress.h"
#include "SystemFileDataSource.h"

namespace vesk {

namespace {

bool ParseRow(std::string_view text, int64_t& value) {
    if (text.empty()) return false;
    const char* end = text.data() + text.size();
    std::from_chars_result r = std::from_chars(text.data(), end, value);
    return r.ec == std::errc() && r.ptr == end && value >= 0;
}

using IteratorPtr = std::unique_ptr<VESK_InputCaseIterator>;

CsvStyle StyleOf(const CatOptions& options) {
    CsvStyle style;
    style.delimiter = ParseDelimiter(options.delimiter);
    style.formatted = options.formatted;
    style.labels = options.labels;
    return style;
}

// The number of rows cat delivers, below 0 when unknown.
int64_t ExpectedRows(int64_t rowCount, const std::optional<RowRange>& rows) {
    if (!rows) return rowCount;
    const int64_t wanted = rows->last - rows->first + 1;
    if (rowCount < 0) return wanted;
    return std::max<int64_t>(0, std::min(wanted, rowCount - rows->first));
}

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
    const CsvStyle style = StyleOf(options);
    OpenedFile file(options);
    const VESK_DataSource& source = file.Source();
    const CsvCaseWriter writer(source, file.Columns(options.vars), style);

    StdoutBuffer out;
    writer.AppendHeader(out.Buffer());
    const IteratorPtr it = file.MakeIterator();
    int64_t first = 0, last = -1;  // last -1: to the end
    if (options.rows) {
        first = options.rows->first;
        last = options.rows->last;
        it->Seek(first);
    }
    Progress progress("cat", ExpectedRows(source.RowCount(), options.rows), Progress::StderrIsTerminal());

    CsvBatchWriter batches(writer, source.GetObsAreaSize());
    const OBS* cells = it->GetCase().Cells();
    int64_t done = 0;
    try {
        for (int64_t row = first; (last < 0 || row <= last) && it->NextCase(); ++row) {
            batches.Add(cells, out.Buffer());
            out.Drain();
            progress.Update(++done);
        }
    } catch (const VeskError&) {
        batches.Flush(out.Buffer());  // the cases read before the damage
        throw;
    }
    batches.Flush(out.Buffer());
    progress.Finish();
    out.Flush();
    return 0;
}

int RunVerify(const FileOptions& options) {
    OpenedFile file(options);
    const VESK_DataSource& source = file.Source();
    // Taken before reading: the reader lowers its count to the cases it finds.
    const int64_t promised = source.RowCount();
    const IteratorPtr it = file.MakeIterator();
    Progress progress("verify", promised, Progress::StderrIsTerminal());
    const int64_t cases = ReadInBlocks(*it, progress, [](const OBS*, size_t, int64_t) {});
    progress.Finish();
    StdoutBuffer out;
    out.Append("cases: " + std::to_string(cases) + "\n");
    out.Flush();
    if (promised < 0 || promised == cases) return 0;
    std::fprintf(stderr, "vesk: %s: the header gives %lld cases, %lld were read\n", file.Path().c_str(),
                 static_cast<long long>(promised), static_cast<long long>(cases));
    return 1;
}

}  // namespace vesk
