// Sort keys of a data source known to be sorted, and the sparse index of key
// texts with the row at which each occurs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class VESK_DataSource;

namespace FileSort {
// One sort key column.
struct SortKey {
    uint32_t cell = 0;     // first cell of the key column in a case
    int32_t direction = 0; // carried with the key and stored in the file only
    uint32_t width = 0;    // string width of the key column, 0 for numeric
};
} // namespace FileSort

class SortIndexInfo {
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

private:
    int32_t fRequestedIndexSize = 0;
    std::vector<FileSort::SortKey> fIndexKeys;
    std::vector<SortIndexKeyRowPair> fIndex; // ascending by key text
    const VESK_DataSource* fDataSource = nullptr;
};
