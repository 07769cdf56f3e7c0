// Cases (rows of 8-byte cells laid out by a data source), the abstract case
// iterator every data source hands out, and the pass-through iterator that
// derived sources use to read through their parent.
#pragma once

#include <cstdint>
#include <cstdio>

#include "obs.h"
#include "vesk_export.h"

class VESK_DataSource;
class VESK_InputCaseIterator;
class ObsProjector;
class ErrorMonitor;

// One case buffer laid out by a data source's observation layout. The source
// is not owned and must outlive the case; so must the parent iterator and the
// error monitor.
class VESK_EXPORT VESK_Case {
public:
    // With a buffer, uses it as is (not owned, not initialised; it must hold
    // source.GetObsAreaSize() cells and outlive the case). With null, allocates
    // the cells, initialises every column and owns them.
    VESK_Case(const VESK_DataSource& source, OBS* buffer);
    // A copy of a case that owns its buffer gets its own copy of the cells; a
    // copy of a case on a caller's buffer uses the same buffer, not owned.
    VESK_Case(const VESK_Case& other);
    VESK_Case& operator=(const VESK_Case&) = delete;
    virtual ~VESK_Case();

    const VESK_DataSource& GetDataSource() const { return *fDataSource; }
    void SetParent(VESK_InputCaseIterator* parent) { fParent = parent; }
    VESK_InputCaseIterator* GetParent() const { return fParent; }
    void SetErrorMonitor(ErrorMonitor* monitor) { fErrorMonitor = monitor; }
    ErrorMonitor* GetErrorMonitor() const { return fErrorMonitor; }
    // The first cell of the buffer.
    OBS* Cells() const { return fCells; }
    bool OwnsCells() const { return fOwnsCells; }

    // Stores the double in the column's first cell.
    void SetColumnValue(int column, double value);
    // The column must be a string: copies the first min(width, length) bytes of
    // text into the column's cells, blank-padded, never splitting a character.
    void SetColumnValue(int column, const char* text, int length);
    void SetColumnValue(int column, const char* text);

    const double& GetNumericValue(int column) const;
    const char* GetStringValue(int column) const;
    OBS* GetObsPointer(int column) const;

    // Sets columns first..last inclusive to system-missing or blanks.
    void InitCase(int first, int last);
    void InitCase();

    // An iterator of source that reads into this case's buffer (the caller
    // owns it and deletes it before this case); null when source is null.
    VESK_InputCaseIterator* MakeIterator(const VESK_DataSource* source) const;

private:
    const VESK_DataSource* fDataSource;
    VESK_InputCaseIterator* fParent;
    OBS* fCells;
    ErrorMonitor* fErrorMonitor;
    bool fOwnsCells;
};

// Delivers the cases of a data source one at a time into its case. The caller
// who made it owns it and deletes it before the source.
class VESK_EXPORT VESK_InputCaseIterator {
public:
    // Deletes the case (and with it a buffer the case allocated).
    virtual ~VESK_InputCaseIterator();
    // Stores the monitor in the case and passes it on to the parent iterator.
    virtual void SetErrorMonitor(ErrorMonitor* monitor);
    // Non-zero when Seek is supported.
    virtual int IsSeekOK() = 0;
    // Positions so that the next NextCase reads case `caseNumber`; non-zero on success.
    virtual int Seek(int64_t caseNumber) = 0;
    // The number of the case the next NextCase will read.
    virtual int64_t Tell() const = 0;

    // Reads the next case into the case buffer; non-zero when a case was read,
    // 0 at the end.
    int NextCase() { return Next(); }

    VESK_Case& GetCase() const { return *fCase; }
    const VESK_DataSource& GetDataSource() const { return fCase->GetDataSource(); }
    VESK_InputCaseIterator* GetParent() const { return fCase->GetParent(); }
    // Stores the parent (not owned here) and hands it this iterator's monitor.
    void SetParent(VESK_InputCaseIterator* parent);
    ErrorMonitor* GetErrorMonitor() const { return fCase->GetErrorMonitor(); }

    void SetColumnValue(int column, double value) { fCase->SetColumnValue(column, value); }
    void SetColumnValue(int column, const char* text, int length) { fCase->SetColumnValue(column, text, length); }
    void SetColumnValue(int column, const char* text) { fCase->SetColumnValue(column, text); }
    const double& GetNumericValue(int column) const { return fCase->GetNumericValue(column); }
    const char* GetStringValue(int column) const { return fCase->GetStringValue(column); }
    OBS* GetObsPointer(unsigned column) const { return fCase->GetObsPointer(int(column)); }
    void InitCase(int first, int last) { fCase->InitCase(first, last); }
    void InitCase() { fCase->InitCase(); }
    VESK_InputCaseIterator* MakeIterator(const VESK_DataSource* source) const { return fCase->MakeIterator(source); }

    VESK_InputCaseIterator(const VESK_InputCaseIterator&) = delete;
    VESK_InputCaseIterator& operator=(const VESK_InputCaseIterator&) = delete;

protected:
    // Makes the case on (source, buffer) and tells the source's observers.
    VESK_InputCaseIterator(const VESK_DataSource& source, OBS* buffer);

private:
    virtual int Next() = 0;

    VESK_Case* fCase;
};

// Reads the cases of the source's parent source. Without a projector the
// parent iterator reads straight into this iterator's buffer; with one (not
// owned, must outlive the iterator) the parent reads into its own case and the
// projected cells are copied across.
class VESK_EXPORT PassThroughIter : public VESK_InputCaseIterator {
public:
    PassThroughIter(const VESK_DataSource& source, OBS* buffer, const ObsProjector* projector = nullptr);
    // Deletes the parent iterator first.
    ~PassThroughIter() override;

    int IsSeekOK() override;
    int Seek(int64_t caseNumber) override;
    int64_t Tell() const override;

    // The iterator over the parent source; null when the source has no parent.
    VESK_InputCaseIterator* GetParentIterator() const { return fParentIter; }

private:
    int Next() override;

    VESK_InputCaseIterator* fParentIter;
    const ObsProjector* fProjector;
};

// Reads characters into buffer until a line end or until size - 1 characters
// are stored. A carriage return, alone or followed by a line feed, is stored as
// one line feed, which stays in the buffer. The buffer is always NUL-terminated.
// Returns buffer, or null when the stream ends before any character is read.
VESK_EXPORT char* ReadLine(char* buffer, int size, FILE* stream);
