// Sort keys of a data source known to be sorted, and the sparse index of key
// texts with the row at which each occurs: with them the row of a case is found
// from its key values by a binary search over the index, then over the cases
// of the stretch of rows between two index entries.
//
// Key text of a case: the concatenation over the keys, in order, of the width
// bytes of a string key as they stand in the case, or the value of a numeric
// key written with 16 significant digits ("%.16g") and filled on the left with
// '0' to 41 characters. Texts compare key part by key part in the collation
// order of the process's encoding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "vesk_export.h"

class VESK_DataSource;
class VESK_InputCaseIterator;
class VESKMBCollator;

namespace FileSort {
// One sort key column.
struct VESK_EXPORT SortKey {
    uint32_t cell = 0;     // first cell of the key column in a case
    int32_t direction = 0; // carried with the key and stored in the file only
    uint32_t width = 0;    // string width of the key column, 0 for numeric
};
} // namespace FileSort

class VESK_EXPORT SortIndexInfo {
public:
    // One entry of the sparse index: a key text and the row where it occurs.
    class SortIndexKeyRowPair {
    public:
        SortIndexKeyRowPair() = default;
        SortIndexKeyRowPair(std::string keyValue, int64_t rowIndex)
            : fKeyValue(std::move(keyValue)), fRowIndex(rowIndex) {}

        const std::string& GetKeyValue() const { return fKeyValue; }
        void SetKeyValue(const std::string& keyValue) { fKeyValue = keyValue; }
        int64_t GetRowIndex() const { return fRowIndex; }
        void SetRowIndex(const int64_t& rowIndex) { fRowIndex = rowIndex; }

    private:
        std::string fKeyValue;
        int64_t fRowIndex = 0;
    };

    SortIndexInfo() = default;

    long GetRequestedIndexSize() const { return fRequestedIndexSize; }
    void SetRequestedIndexSize(const long& size) { fRequestedIndexSize = int32_t(size); }

    // The source the index belongs to (not owned; may be null).
    const VESK_DataSource* GetDataSource() const { return fDataSource; }
    void SetDataSource(const VESK_DataSource* source) { fDataSource = source; }

    std::vector<FileSort::SortKey> GetIndexKeys() const { return fIndexKeys; }
    void SetIndexKeys(const std::vector<FileSort::SortKey>& keys) { fIndexKeys = keys; }
    size_t NIndexKeys() const { return fIndexKeys.size(); }

    std::vector<SortIndexKeyRowPair> GetIndex() const { return fIndex; }
    void SetIndex(const std::vector<SortIndexKeyRowPair>& index) { fIndex = index; }

    // Length of a numeric key's part of a key text.
    static constexpr size_t kNumericKeyLength = 41;
    // The part of a key text for a numeric key of that value.
    static std::string NumericKeyText(double value);
    // The key text of the iterator's current case. Bytes of a string key that
    // lie outside the case read as blanks.
    std::string BuildKeyValuesFromCase(VESK_InputCaseIterator* iterator) const;

    // The row of the case whose key text is keyText, or -1. An index entry
    // with that text answers without reading; otherwise the cases between the
    // two neighbouring entries are searched through iterator (null: one made
    // by the data source, which must then be set, as it must whenever cases
    // are read). The iterator's position afterwards is undefined. The flag is
    // not written.
    int64_t FindRecordFromKeyValues(std::string& keyText) const;
    int64_t FindRecordFromKeyValues(std::string& keyText, bool& flag, VESK_InputCaseIterator* iterator) const;

    // Removes the leading and trailing blanks (' ') of text; returns the result.
    static std::string LRTrim(std::string& text);

private:
    int64_t BinaryKeyValueSearch(VESK_InputCaseIterator* iterator, const std::string& keyText,
                                 const VESKMBCollator& collator, int64_t first, int64_t last) const;
    int CompareKeyTexts(const VESKMBCollator& collator, const std::string& a, const std::string& b) const;
    // Compares the case at row with keyText; a row past the end compares greater.
    int CompareRow(VESK_InputCaseIterator* iterator, int64_t row, const std::string& keyText,
                   const VESKMBCollator& collator) const;

    int32_t fRequestedIndexSize = 0;
    std::vector<FileSort::SortKey> fIndexKeys;
    std::vector<SortIndexKeyRowPair> fIndex; // ascending by key text
    const VESK_DataSource* fDataSource = nullptr;
};
