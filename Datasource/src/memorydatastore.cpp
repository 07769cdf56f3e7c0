#define VESK_SOURCE_NAME "Datasource/src/memorydatastore"

#include "memorydatastore.h"

#include <algorithm>
#include <cstring>

#include "errortext.h"
#include "vesk_assert.h"

namespace {

// Reads the rows of a memory store in order from a position set by Seek.
class MemoryDataStoreIterator : public VESK_InputCaseIterator {
public:
    MemoryDataStoreIterator(const MemoryDataStore& store, OBS* buffer)
        : VESK_InputCaseIterator(store, buffer), fStore(store) {}

    int IsSeekOK() override { return 1; }
    int Seek(int64_t caseNumber) override {
        if (caseNumber < 0 || caseNumber > fStore.RowCount()) return 0;
        fNext = caseNumber;
        return 1;
    }
    int64_t Tell() const override { return fNext; }

private:
    int Next() override {
        if (fNext >= fStore.RowCount()) return 0;
        // The dictionary may have changed since the rows were laid out: copy
        // no more than both layouts hold.
        size_t cells = std::min<size_t>(fStore.RowCells(), fStore.GetObsAreaSize());
        if (cells) std::memcpy(GetCase().Cells(), fStore.Row(fNext), cells * sizeof(OBS));
        ++fNext;
        return 1;
    }

    const MemoryDataStore& fStore;
    int64_t fNext = 0;
};

}  // namespace

MemoryDataStore::MemoryDataStore(const VESK_DataSource* parent) : IndependentDataStore(parent) {}

MemoryDataStore::MemoryDataStore(const MemoryDataStore& other)
    : IndependentDataStore(other),
      fCells(other.fCells),
      fRowCells(other.fRowCells),
      fRows(other.fRows),
      fCommitted(other.fCommitted),
      fClosed(other.fClosed) {}

MemoryDataStore::~MemoryDataStore() = default;

VESK_InputCaseIterator* MemoryDataStore::MakeIterator(OBS* buffer) const {
    return new MemoryDataStoreIterator(*this, buffer);
}

int64_t MemoryDataStore::RowCount() const { return fRows; }

void MemoryDataStore::WrongTime() const {
    const char* name = GetFileSpec();
    ThrowError::String1(DATASRC_ERR, DatasrcMsg::WrongTime, (name && *name) ? name : "memory data store");
}

void MemoryDataStore::CommitDictionary() {
    if (fCommitted) WrongTime();
    fRowCells = GetObsAreaSize();
    fCommitted = true;
}

void MemoryDataStore::AddRow(const OBS* row) {
    if (fClosed) WrongTime();
    if (!fCommitted) CommitDictionary();
    VESK_ASSERT(row || fRowCells == 0);
    fCells.insert(fCells.end(), row, row + fRowCells);
    ++fRows;
}

void MemoryDataStore::Close() { fClosed = true; }

const OBS* MemoryDataStore::Row(int64_t row) const {
    VESK_ASSERT(0 <= row && row < fRows);
    return fCells.data() + size_t(row) * fRowCells;
}
