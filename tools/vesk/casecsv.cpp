#include "casecsv.h"

#include <algorithm>
#include <future>

#include "datasrc.h"
#include "textout.h"
#include "valuelabelmap.h"

namespace vesk {

namespace {
// Lines that may take more than this get their room field by field.
constexpr size_t kMaxLineReserve = size_t(1) << 20;
constexpr size_t kBatchBytes = size_t(4) << 20;
constexpr size_t kMaxBatchRows = 16384;
// Below this many cases a helper thread costs more than it saves.
constexpr size_t kMinSplitRows = 256;
}  // namespace

CsvCaseWriter::CsvCaseWriter(const VESK_DataSource& source, const std::vector<int>& columns, CsvStyle style)
    : fStyle(style) {
    fColumns.reserve(columns.size());
    for (int index : columns) {
        fColumns.push_back(MakeColumn(source, index));
        fCaseBytes += fColumns.back().maxBytes + 1;
    }
    fWide = fCaseBytes > kMaxLineReserve;
}

CsvCaseWriter::Column CsvCaseWriter::MakeColumn(const VESK_DataSource& source, int index) const {
    const VESK_Variable& var = source.GetVariable(index);
    Column c;
    c.cell = source.ObsIndex(index);
    c.width = var.GetType();
    c.name = var.GetName();
    if (fStyle.formatted && c.width == 0) c.number = PrintStyle(var);
    size_t longest = c.width == 0 ? (fStyle.formatted ? kMaxNumberBytes : kMaxShortestBytes) : size_t(c.width);
    const VESK_VLImplPointer& labels = var.GetValueLabels();
    if (fStyle.labels && labels.IsValid() && labels->Size() > 0) {
        c.labels = labels.get();
        for (const ValueLabel& pair : labels->Pairs()) longest = std::max(longest, pair.label.size());
    }
    c.maxBytes = 2 * longest + 2;  // every byte a doubled quote, and the two quotes
    c.plainNumber = c.width == 0 && !fStyle.formatted && !c.labels;
    return c;
}

void CsvCaseWriter::AppendHeader(ByteBuffer& out) const {
    for (size_t i = 0; i < fColumns.size(); ++i) {
        char* to = out.Reserve(2 * fColumns[i].name.size() + 3);
        if (i) *to++ = fStyle.delimiter;
        out.Commit(PutCsvField(to, fColumns[i].name, fStyle.delimiter));
    }
    out.Append("\r\n");
}

char* CsvCaseWriter::PutValue(char* to, const Column& column, const OBS* cell) const {
    if (column.plainNumber) return cell->bits == VESK_SYSMIS_BITS ? to : PutShortest(to, cell->d);
    if (column.width == 0 && cell->bits == VESK_SYSMIS_BITS) return to;
    if (column.labels)
        if (const std::string* label = FindLabel(*column.labels, cell, column.width))
            return PutCsvField(to, *label, fStyle.delimiter);
    if (column.width != 0)
        return PutCsvField(to, TrimRight(std::string_view(cell->c, size_t(column.width))), fStyle.delimiter);
    return fStyle.formatted ? PutNumber(to, cell->d, column.number) : PutShortest(to, cell->d);
}

void CsvCaseWriter::AppendCase(ByteBuffer& out, const OBS* cells) const {
    char* to = out.Reserve(fWide ? 2 : fCaseBytes);
    for (size_t i = 0; i < fColumns.size(); ++i) {
        const Column& column = fColumns[i];
        if (fWide) {
            out.Commit(to);
            to = out.Reserve(column.maxBytes + 3);
        }
        if (i) *to++ = fStyle.delimiter;
        to = PutValue(to, column, cells + column.cell);
    }
    *to++ = '\r';
    *to++ = '\n';
    out.Commit(to);
}

// ---------------------------------------------------------------- batches

CsvBatchWriter::CsvBatchWriter(const CsvCaseWriter& writer, size_t caseCells)
    : fWriter(writer),
      fCaseCells(caseCells),
      fCapacity(std::clamp(kBatchBytes / (std::max<size_t>(caseCells, 1) * sizeof(OBS)), size_t(1), kMaxBatchRows)) {
    fCells.reserve(fCapacity * fCaseCells);
}

void CsvBatchWriter::Add(const OBS* cells, ByteBuffer& out) {
    fCells.insert(fCells.end(), cells, cells + fCaseCells);
    if (++fRows == fCapacity) Flush(out);
}

void CsvBatchWriter::Format(size_t first, size_t end, ByteBuffer& into) const {
    for (size_t row = first; row < end; ++row) fWriter.AppendCase(into, fCells.data() + row * fCaseCells);
}

void CsvBatchWriter::Flush(ByteBuffer& out) {
    const size_t half = fRows < kMinSplitRows ? 0 : fRows / 2;
    std::future<void> helper;
    if (half > 0) helper = std::async(std::launch::async, [this, half] { Format(0, half, fHelperLines); });
    Format(half, fRows, fOwnLines);
    if (helper.valid()) helper.get();
    out.Append(fHelperLines.View());
    out.Append(fOwnLines.View());
    fHelperLines.Clear();
    fOwnLines.Clear();
    fCells.clear();
    fRows = 0;
}

}  // namespace vesk
