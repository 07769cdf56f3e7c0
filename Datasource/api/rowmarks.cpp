// Row marks: where rows of a compressed file start, taken from the reader's
// sparse row index, so that another reader of the file (another process) can
// start at a row without decoding the rows before it.
#include <stdexcept>

#include "SystemFileDataSource.h"
#include "datasrc.h"
#include "reader_impl.h"

namespace vesk {

namespace {

void CheckAscending(std::span<const int64_t> rows) {
    for (size_t k = 0; k < rows.size(); ++k)
        if (rows[k] < 0 || (k > 0 && rows[k] < rows[k - 1]))
            throw std::invalid_argument("row marks need rows in ascending order, none negative");
}

RowMark IndexedMark(const SystemFileDataSource& file, int64_t row) {
    RowMark mark;
    file.IndexedRow(row, mark.row, mark.position);
    return mark;
}

}  // namespace

std::vector<RowMark> Reader::row_marks(std::span<const int64_t> rows) const {
    CheckAscending(rows);
    std::vector<RowMark> marks;
    marks.reserve(rows.size());
    const std::unique_ptr<VESK_InputCaseIterator> it = fImpl->MakeIterator();
    // Reading each row walks on from the last one and notes row positions in
    // the index on the way, so the whole list costs one pass.
    bool ended = false;
    for (const int64_t row : rows) {
        if (!ended) {
            it->Seek(row);
            ended = !detail::Guarded([&] { return it->NextCase(); });
        }
        marks.push_back(IndexedMark(*fImpl->fFile, row));
    }
    return marks;
}

void Reader::resume_at(const RowMark& mark) const {
    if (mark.row < 0 || mark.position < 0) throw std::invalid_argument("a row mark with a negative row or position");
    fImpl->fFile->NoteIndexedRow(mark.row, mark.position);
}

}  // namespace vesk
