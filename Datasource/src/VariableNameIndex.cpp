// Sorted name index: binary search over the upper-case names of a dictionary.
#define VESK_SOURCE_NAME "Datasource/src/VariableNameIndex"

#include "VariableNameIndex.h"

#include <algorithm>
#include <cstring>

#include "datasrc.h"

namespace {
// Byte order of unsigned bytes; a proper prefix sorts first.
int CompareBytes(const char* a, size_t la, const char* b, size_t lb) {
    const int c = std::memcmp(a, b, std::min(la, lb));
    if (c != 0) return c;
    return la < lb ? -1 : (la > lb ? 1 : 0);
}
} // namespace

VariableNameIndex::VariableNameIndex(const VESK_DataSource& source)
    : fTable(std::make_unique<Entry[]>(source.ColumnCount())), fSize(source.ColumnCount()) {
    for (size_t column = 0; column < fSize; ++column) {
        const std::string& name = source.GetVariable(int(column)).GetUpperCaseName();
        fTable[column] = Entry{name.c_str(), name.size(), int(column)};
    }
    // Stable, so that among equal names the first column is found.
    std::stable_sort(fTable.get(), fTable.get() + fSize, [](const Entry& a, const Entry& b) {
        return CompareBytes(a.fName, a.fLength, b.fName, b.fLength) < 0;
    });
}

VariableNameIndex::VariableNameIndex(const VariableNameIndex& other)
    : fTable(std::make_unique<Entry[]>(other.fSize)), fSize(other.fSize) {
    std::copy(other.fTable.get(), other.fTable.get() + fSize, fTable.get());
}

VariableNameIndex& VariableNameIndex::operator=(const VariableNameIndex& other) {
    if (this != &other) {
        auto table = std::make_unique<Entry[]>(other.fSize);
        std::copy(other.fTable.get(), other.fTable.get() + other.fSize, table.get());
        fTable = std::move(table);
        fSize = other.fSize;
    }
    return *this;
}

VariableNameIndex::~VariableNameIndex() = default;

int VariableNameIndex::Find(const char* name) const {
    const size_t length = std::strlen(name);
    const Entry* begin = fTable.get();
    const Entry* end = begin + fSize;
    const Entry* found = std::lower_bound(begin, end, name, [length](const Entry& e, const char* key) {
        return CompareBytes(e.fName, e.fLength, key, length) < 0;
    });
    if (found == end || found->fLength != length || std::memcmp(found->fName, name, length) != 0) return -1;
    return found->fColumn;
}
