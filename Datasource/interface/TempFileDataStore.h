// A data source that keeps its cases in a temporary file, and the procedure
// iterator that writes new columns into it while reading a parent source.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "IndependentDataStore.h"
#include "case.h"
#include "tempfile.h"
#include "vesk_export.h"

// An iterator that also writes: besides reading cases it keeps the case in
// its buffer (UpdateCase) or adds the buffer as a case (InsertCase).
class VESK_EXPORT ProcedureDataStorage : public VESK_InputCaseIterator {
public:
    ~ProcedureDataStorage() override;
    virtual void UpdateCase() = 0;
    virtual void InsertCase() = 0;

protected:
    ProcedureDataStorage(const VESK_DataSource& source, OBS* buffer);
};

// Cases kept bytecode-compressed, one row after another, in a temporary file
// of kind "cache" (zlib-compressed when the compression switch is on), with a
// sparse index of row positions for seeking.
//
// Staging cases: construct without a parent, build or copy the dictionary
// (CopyDictionary), AddRow each case, Close, then MakeIterator. The row
// width is the cell count of the dictionary at the first AddRow.
//
// As a procedure's output: construct over the active data as parent, append
// the new variables to the dictionary, and drive MakeIterator(n, buffer)
// (see ProcedureIterator). Once that iterator is deleted the store is
// closed and serves its own cases.
//
// Iterators belong to the caller and are deleted before the store; each
// reads through its own copy of the temporary file. One thread at a time.
//
// Errors: 1001 when the temporary file cannot be made, 1002 when a row cannot
// be written (AddRow, Close), 1003 when a row cannot be read back (Next).
// Adding rows after Close is a misuse (assertion).
class VESK_EXPORT TempFileDataStore : public IndependentDataStore {
public:
    class Iterator;
    class ProcedureIterator;
    struct VESK_NO_EXPORT Body;

    // The parent (may be null) is not owned; the dictionary starts as its copy.
    explicit TempFileDataStore(const VESK_DataSource* parent = nullptr);
    ~TempFileDataStore() override;
    TempFileDataStore(const TempFileDataStore&) = delete;

    // Without a parent: closes the store if it is open and reads its rows.
    // With one: MakeIterator(0, buffer).
    VESK_InputCaseIterator* MakeIterator(OBS* buffer) const override;
    // A ProcedureIterator over the parent source whose last newColumns
    // columns are computed by the caller.
    ProcedureDataStorage* MakeIterator(unsigned newColumns, OBS* buffer);
    int64_t RowCount() const override;
    // True once closed.
    bool IsLoaded() const override;

    void AddRow(const OBS* row) override;
    // Ends adding and stamps the time.
    void Close() override;

    // Cells per stored row; -1 before the first row.
    int32_t RowWidth() const;
    const VESK_TempFile& TempFile() const;

private:
    std::unique_ptr<Body> fBody;
};

// Reads the stored rows. Seek positions on any row; sequential reading never
// seeks, a short step forward skips rows, other moves go through the index.
class TempFileDataStore::Iterator : public VESK_InputCaseIterator {
public:
    Iterator(const TempFileDataStore& store, OBS* buffer);
    ~Iterator() override;

    int IsSeekOK() override { return 1; }
    // 0 (and nothing changes) for a row outside [0, RowCount()).
    int Seek(int64_t row) override;
    // The row the temporary file stands at.
    int64_t Tell() const override { return fFileRow; }

private:
    int Next() override;
    void Reposition();

    const Body& fBody;
    int64_t fFileRow = 0;
    int64_t fTargetRow = 0;
    int64_t fLastRowStart = 0;
    VESK_TempFile fTempFile;
    OBS* fCells;
    std::vector<OBS> fStaging;  // when the stored rows are wider than the case
    size_t fCaseCells = 0;      // cells of the case, with fStaging
};

// One pass of a procedure: Next reads the parent's next case into the
// leading columns of the buffer; the caller computes the trailing new
// columns and calls UpdateCase to store the case, or InsertCase to store the
// buffer as a case in place of the one fetched. A fetched case that is
// neither updated nor inserted is stored by the following Next, or by the
// destructor, with its new columns as they stood. Deleting the iterator
// closes the store and detaches it from its parent.
class TempFileDataStore::ProcedureIterator : public ProcedureDataStorage {
public:
    ProcedureIterator(unsigned newColumns, const VESK_DataSource* parent, TempFileDataStore& store, OBS* buffer);
    // Errors of the last writes are not thrown from here: the store keeps
    // them and its iterators raise them.
    ~ProcedureIterator() override;

    int IsSeekOK() override { return 0; }
    int Seek(int64_t) override { return 0; }
    // The rows stored so far.
    int64_t Tell() const override;
    void UpdateCase() override;
    void InsertCase() override;

private:
    int Next() override;
    void Store();

    TempFileDataStore& fStore;
    VESK_InputCaseIterator* fParent = nullptr;  // owned
    OBS* fCaseStart;
    size_t fLeadingBytes;
    size_t fTrailingBytes;
    bool fWritten = true;
    std::vector<OBS> fSavedRow;
};
