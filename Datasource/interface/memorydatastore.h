// A data store that keeps its cases in memory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "IndependentDataStore.h"
#include "vesk_export.h"

// Rows are appended with AddRow as flat runs of cells in the layout fixed by
// CommitDictionary (the first AddRow commits it when the caller has not).
// Close ends adding. Iterators may read the rows at any time and position
// anywhere with Seek; they must be deleted before the store.
class VESK_EXPORT MemoryDataStore : public IndependentDataStore {
public:
    // The parent (may be null) is not owned; the dictionary starts as its copy.
    explicit MemoryDataStore(const VESK_DataSource* parent = nullptr);
    // Copies the dictionary and the rows; the copy is open for adding when
    // the original was.
    MemoryDataStore(const MemoryDataStore& other);
    ~MemoryDataStore() override;

    VESK_InputCaseIterator* MakeIterator(OBS* buffer) const override;
    int64_t RowCount() const override;

    // Error 1209 once the store is closed.
    void AddRow(const OBS* row) override;
    void Close() override;
    // Fixes the row layout at the current dictionary; error 1209 when the
    // dictionary was already committed.
    void CommitDictionary() override;

    bool IsCommitted() const { return fCommitted; }
    bool IsClosed() const { return fClosed; }
    // Cells per row, fixed at commit (0 before).
    unsigned RowCells() const { return fRowCells; }
    // The first cell of a row, which must be below RowCount().
    const OBS* Row(int64_t row) const;

private:
    [[noreturn]] void WrongTime() const;

    std::vector<OBS> fCells;
    unsigned fRowCells = 0;
    int64_t fRows = 0;
    bool fCommitted = false;
    bool fClosed = false;
};
