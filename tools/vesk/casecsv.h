// Cases as CSV lines (RFC 4180, CRLF line ends) for `vesk cat`.
#pragma once

#include <string>
#include <vector>

#include "bytebuffer.h"
#include "valuetext.h"

class VESK_DataSource;
class VESK_VLMapImpl;
union OBS;

namespace vesk {

struct CsvStyle {
    char delimiter = ',';
    bool formatted = false;  // numbers as their print format shows them
    bool labels = false;     // a value's label in place of the value
};

// Writes the chosen columns of a source's cases. Plain style: numeric cells
// are empty for the system-missing value, else their shortest round-trip
// text; string cells are their text without trailing blanks. The source (and
// its variables' value labels) must stay unchanged while the writer is used.
// A writer holds no state between calls: threads may share one.
class CsvCaseWriter {
public:
    CsvCaseWriter(const VESK_DataSource& source, const std::vector<int>& columns, CsvStyle style);

    // The header line: the names of the columns, in the order given.
    void AppendHeader(ByteBuffer& out) const;
    // One case (the cells of the source's layout) as a line.
    void AppendCase(ByteBuffer& out, const OBS* cells) const;

private:
    struct Column {
        int cell = 0;                              // first cell in the case
        int width = 0;                             // 0 numeric, else string bytes
        NumberStyle number;                        // numeric columns
        const VESK_VLMapImpl* labels = nullptr;    // only with CsvStyle::labels
        size_t maxBytes = 0;                       // the most one field can take
        bool plainNumber = false;                  // numeric, shortest text, no labels
        std::string name;
    };
    Column MakeColumn(const VESK_DataSource& source, int index) const;
    char* PutValue(char* to, const Column& column, const OBS* cell) const;

    CsvStyle fStyle;
    std::vector<Column> fColumns;
    size_t fCaseBytes = 2;  // the most one line can take
    bool fWide = false;     // lines so long that room is reserved field by field
};

// Cases formatted in batches, each batch split between the calling thread and
// one helper thread: formatting numbers, not reading them, is what limits
// `cat`. The lines come out in the order the cases went in. A batch holds at
// most 4 MiB of cells.
class CsvBatchWriter {
public:
    // caseCells: the cells of one case of the writer's source.
    CsvBatchWriter(const CsvCaseWriter& writer, size_t caseCells);

    // Copies the case; formats the batch onto out once it is full.
    void Add(const OBS* cells, ByteBuffer& out);
    // Formats the cases still held onto out.
    void Flush(ByteBuffer& out);

private:
    void Format(size_t first, size_t end, ByteBuffer& into) const;

    const CsvCaseWriter& fWriter;
    size_t fCaseCells;
    size_t fCapacity;  // cases in a full batch
    size_t fRows = 0;
    std::vector<OBS> fCells;
    ByteBuffer fHelperLines;
    ByteBuffer fOwnLines;
};

}  // namespace vesk
