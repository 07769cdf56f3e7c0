// The temp-file data store, its iterator and the procedure iterator.
#define VESK_SOURCE_NAME "Datasource/src/TempFileDataStore"

#include "TempFileDataStore.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "CompressedStream.h"
#include "errortext.h"
#include "sparsefileindex.h"
#include "vesk_assert.h"

namespace {


int Cause(int error) { return error ? error : EIO; }

}  // namespace

// The rows, one WriteCompressed row each, and the index of their positions.
struct TempFileDataStore::Body {
    VESK_SparseFileIndex rowIndex{1};
    VESK_TempFile tempFile{"cache", true};
    bool loaded = false;
    int32_t width = -1;
    int64_t rows = 0;
    int failure = 0;  // errno of a failed write; the stored rows are not to be trusted

    [[noreturn]] void Throw(DatasrcMsg number, int error) const {
        ThrowError::String2(DATASRC_ERR, number, tempFile.Name(), std::strerror(Cause(error)));
    }
};

// ---------------------------------------------------------------- TempFileDataStore

TempFileDataStore::TempFileDataStore(const VESK_DataSource* parent)
    : IndependentDataStore(parent), fBody(std::make_unique<Body>()) {}

TempFileDataStore::~TempFileDataStore() = default;

void TempFileDataStore::AddRow(const OBS* row) {
    Body& b = *fBody;
    VESK_ASSERT(!b.loaded);
    if (b.failure) b.Throw(DatasrcMsg::TempFileWrite, b.failure);
    b.rowIndex.Add(b.rows, b.tempFile.Tell());
    if (b.width < 0) b.width = int32_t(GetObsAreaSize());
    try {
        WriteCompressed(b.tempFile, row, b.width);
    } catch (const CompressedStreamError& e) {
        b.failure = Cause(e.Errno());
        b.Throw(DatasrcMsg::TempFileWrite, b.failure);
    }
    ++b.rows;
}

// Compressed stripes finish writing here, so a failure may show only now;
// one AddRow reported already is not raised again.
void TempFileDataStore::Close() {
    Body& b = *fBody;
    if (b.loaded) return;
    b.loaded = true;
    SetTimestamp();
    const bool written = b.tempFile.Close() && b.tempFile.Good();
    if (written || b.failure) return;
    b.failure = Cause(errno);
    b.Throw(DatasrcMsg::TempFileWrite, b.failure);
}

VESK_InputCaseIterator* TempFileDataStore::MakeIterator(OBS* buffer) const {
    auto* self = const_cast<TempFileDataStore*>(this);
    if (GetParentSource()) return self->MakeIterator(0u, buffer);
    if (!fBody->loaded) self->Close();
    return new Iterator(*this, buffer);
}

ProcedureDataStorage* TempFileDataStore::MakeIterator(unsigned newColumns, OBS* buffer) {
    return new ProcedureIterator(newColumns, GetParentSource(), *this, buffer);
}

int64_t TempFileDataStore::RowCount() const { return fBody->rows; }

bool TempFileDataStore::IsLoaded() const { return fBody->loaded; }

int32_t TempFileDataStore::RowWidth() const { return fBody->width; }

const VESK_TempFile& TempFileDataStore::TempFile() const { return fBody->tempFile; }

// ---------------------------------------------------------------- Iterator

TempFileDataStore::Iterator::Iterator(const TempFileDataStore& store, OBS* buffer)
    : VESK_InputCaseIterator(store, buffer), fBody(*store.fBody), fTempFile(fBody.tempFile), fCells(GetCase().Cells()) {
    fTempFile.Seek(0, VESK_StrBaseIO::SeekFromStart);
    // Rows stored before the dictionary lost columns do not fit the case.
    if (fBody.width > int32_t(store.GetObsAreaSize())) {
        fStaging.resize(size_t(fBody.width));
        fCaseCells = store.GetObsAreaSize();
    }
}

TempFileDataStore::Iterator::~Iterator() = default;

int TempFileDataStore::Iterator::Seek(int64_t row) {
    if (row < 0 || row >= fBody.rows) return 0;
    fTargetRow = row;
    return 1;
}

int TempFileDataStore::Iterator::Next() {
    if (fBody.failure) fBody.Throw(DatasrcMsg::TempFileRead, fBody.failure);
    if (fTargetRow >= fBody.rows) return 0;
    if (fFileRow != fTargetRow) Reposition();
    fLastRowStart = fTempFile.Tell();
    OBS* cells = fStaging.empty() ? fCells : fStaging.data();
    try {
        // Every row below the count was written: a row that is not there is a read failure.
        if (!ReadCompressed(fTempFile, cells, fBody.width)) fBody.Throw(DatasrcMsg::TempFileRead, errno);
    } catch (const CompressedStreamError& e) {
        fBody.Throw(DatasrcMsg::TempFileRead, e.Errno());
    }
    if (!fStaging.empty()) std::memcpy(fCells, cells, fCaseCells * sizeof(OBS));
    ++fFileRow;
    ++fTargetRow;
    return 1;
}

// Re-reading the row just read seeks to where it began; otherwise the index
// gives the nearest row at or before the target, used when going back or
// when it lies ahead of the file row; the rest is skipped.
void TempFileDataStore::Iterator::Reposition() {
    if (fTargetRow == fFileRow - 1) {
        fTempFile.Seek(fLastRowStart, VESK_StrBaseIO::SeekFromStart);
        fFileRow = fTargetRow;
        return;
    }
    int64_t row = 0, position = 0;
    fBody.rowIndex.GetPos(fTargetRow, row, position);
    if (fTargetRow < fFileRow || row > fFileRow + 1) {
        VESK_ASSERT_AT(fTempFile.Seek(position, VESK_StrBaseIO::SeekFromStart) == 0, "more", VESK_SOURCE_NAME);
        fFileRow = row;
    }
    if (fFileRow >= fTargetRow) return;
    bool skipped;
    try {
        skipped = SkipCompressed(fTempFile, long((fTargetRow - fFileRow) * fBody.width));
    } catch (const CompressedStreamError& e) {
        fBody.Throw(DatasrcMsg::TempFileRead, e.Errno());
    }
    if (!skipped && !fTempFile.Good()) fBody.Throw(DatasrcMsg::TempFileRead, errno);
    VESK_ASSERT_AT(skipped, "more", VESK_SOURCE_NAME);
    fFileRow = fTargetRow;
}

// ---------------------------------------------------------------- ProcedureIterator

ProcedureDataStorage::ProcedureDataStorage(const VESK_DataSource& source, OBS* buffer)
    : VESK_InputCaseIterator(source, buffer) {}

ProcedureDataStorage::~ProcedureDataStorage() = default;

TempFileDataStore::ProcedureIterator::ProcedureIterator(unsigned newColumns, const VESK_DataSource* parent,
                                                        TempFileDataStore& store, OBS* buffer)
    : ProcedureDataStorage(store, buffer), fStore(store), fCaseStart(GetCase().Cells()) {
    const unsigned columns = store.ColumnCount();
    VESK_ASSERT(newColumns <= columns);
    const int first = store.ObsIndex(int(columns - newColumns));
    const int all = store.ObsIndex(int(columns));
    fLeadingBytes = size_t(first) * sizeof(OBS);
    fTrailingBytes = size_t(all - first) * sizeof(OBS);
    fSavedRow.resize(store.GetObsAreaSize());
    store.InitCells(fSavedRow.data(), 0, columns);
    if (!parent) return;
    // The parent fills the leading columns of this buffer directly.
    VESK_ASSERT(parent->GetObsAreaSize() <= store.GetObsAreaSize());
    fParent = parent->MakeIterator(fCaseStart);
    SetParent(fParent);
}

TempFileDataStore::ProcedureIterator::~ProcedureIterator() {
    // A failed write is kept in the store (AddRow and Close record it first).
    try {
        if (!fWritten) Store();
    } catch (...) {
    }
    try {
        fStore.Close();
    } catch (...) {
    }
    fStore.SetParentSource(nullptr);
    GetCase().SetParent(nullptr);
    delete fParent;
}

void TempFileDataStore::ProcedureIterator::Store() {
    fWritten = true;
    fStore.AddRow(fSavedRow.data());
}

int TempFileDataStore::ProcedureIterator::Next() {
    if (!fWritten) Store();
    if (!fParent) return 0;
    const int result = fParent->NextCase();
    if (!result) return 0;
    std::memcpy(fSavedRow.data(), fCaseStart, fLeadingBytes);
    fWritten = false;
    return result;
}

void TempFileDataStore::ProcedureIterator::UpdateCase() {
    std::memcpy(reinterpret_cast<char*>(fSavedRow.data()) + fLeadingBytes,
                reinterpret_cast<const char*>(fCaseStart) + fLeadingBytes, fTrailingBytes);
    Store();
}

void TempFileDataStore::ProcedureIterator::InsertCase() {
    std::memcpy(fSavedRow.data(), fCaseStart, fLeadingBytes + fTrailingBytes);
    Store();
}

int64_t TempFileDataStore::ProcedureIterator::Tell() const { return fStore.RowCount(); }
