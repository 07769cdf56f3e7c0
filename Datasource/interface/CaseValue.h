// Views of one column of a case buffer. They hold raw pointers into the buffer
// and are valid only while that buffer and its source's layout stand.
#pragma once

#include <cstdint>

#include "obs.h"
#include "vesk_export.h"

class VESK_DataSource;
class VESK_InputCaseIterator;
class VESK_Variable;

// One column of an iterator's current case.
class VESK_EXPORT CaseValue {
public:
    // Bound to the column of it's case.
    CaseValue(VESK_InputCaseIterator& it, unsigned column);
    // Unbound: no value, no variable, type 0.
    explicit CaseValue(unsigned column);

    // Binds the column to another iterator's case.
    void SetIterator(VESK_InputCaseIterator& it);

    OBS* Value() const { return _pValue; }
    const VESK_Variable* Variable() const { return _pVariable; }
    int Type() const { return _type; }
    unsigned VarIndex() const { return _column; }

    // The variable's missing-value test on the value.
    bool IsMissing() const;
    // With false, only a numeric system-missing value counts.
    bool IsMissing(bool userMissing) const;
    // Numeric: system-missing; string: all blanks.
    bool IsNull() const;

    // Numbers are stored plus 0.0, so negative zero becomes positive zero.
    void SetValue(const OBS& value);
    void SetValue(const char* text);
    void SetValue(double value);

private:
    OBS* _pValue;
    const VESK_Variable* _pVariable;
    uint32_t _column;
    int16_t _type;
};

// One column of a case buffer, with its size in bytes.
class VESK_EXPORT VESK_DataCell {
public:
    VESK_DataCell(const VESK_DataSource& source, int column, OBS* caseBuffer);
    VESK_DataCell(const VESK_DataSource& source, int column, VESK_InputCaseIterator& it);

    operator OBS&() const { return *_pCell; }
    // The width for strings, 8 for numeric.
    unsigned Size() const { return _size; }
    int Type() const { return _type; }
    const VESK_Variable* Variable() const { return _pVariable; }
    bool IsMissing() const;

    // Stores the double as given (negative zero stays negative).
    VESK_DataCell& operator=(double value);
    // Copies all of the column's cells.
    VESK_DataCell& operator=(const OBS& value);
    // Copies min(size, length) bytes of text into the cells, blank-padded; returns the cells as text.
    char* SetTo(const char* text, unsigned length);
    char* operator=(const char* text);

private:
    void Bind(const VESK_DataSource& source, int column, OBS* caseBuffer);

    const VESK_Variable* _pVariable;
    OBS* _pCell;
    uint16_t _type;
    uint16_t _size;
    uint16_t _bytes;
};
