// Sorted index of a data source's upper-case variable names, for many name
// lookups over an unchanged dictionary. Owned by the caller.
#pragma once

#include <cstddef>
#include <memory>

#include "vesk_export.h"

class VESK_DataSource;

class VESK_EXPORT VariableNameIndex {
public:
    // Points into the source's variables: valid only while they are unchanged.
    explicit VariableNameIndex(const VESK_DataSource& source);
    // Copies take their own table.
    VariableNameIndex(const VariableNameIndex& other);
    VariableNameIndex& operator=(const VariableNameIndex& other);
    ~VariableNameIndex();

    // The column whose upper-case name is exactly name (an upper-case name
    // without trailing blanks), or -1.
    int Find(const char* name) const;
    size_t Size() const { return fSize; }

private:
    struct Entry {
        const char* fName;
        size_t fLength;
        int fColumn;
    };
    std::unique_ptr<Entry[]> fTable;
    size_t fSize = 0;
};
