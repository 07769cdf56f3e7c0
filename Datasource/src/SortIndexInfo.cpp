// Sort keys and keyed lookup of cases in sorted data.
#define VESK_SOURCE_NAME "Datasource/src/SortIndexInfo"

#include "SortIndexInfo.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "case.h"
#include "datasrc.h"
#include "textmb.h"
#include "vesk_assert.h"

namespace {
// Without keys, texts compare on this many leading bytes.
constexpr size_t kKeylessCompareLength = 75;

size_t PartLength(const FileSort::SortKey& key) {
    return key.width ? size_t(key.width) : SortIndexInfo::kNumericKeyLength;
}

// Bytes [offset, offset + length) of text, cut to what the text holds.
std::pair<const char*, size_t> Part(const std::string& text, size_t offset, size_t length) {
    if (offset >= text.size()) return {text.data() + text.size(), 0};
    return {text.data() + offset, std::min(length, text.size() - offset)};
}
}  // namespace

std::string SortIndexInfo::NumericKeyText(double value) {
    char digits[64];
    const int n = std::snprintf(digits, sizeof digits, "%.16g", value);
    std::string text(digits, size_t(std::max(n, 0)));
    if (text.size() < kNumericKeyLength) text.insert(0, kNumericKeyLength - text.size(), '0');
    return text;
}

std::string SortIndexInfo::BuildKeyValuesFromCase(VESK_InputCaseIterator* iterator) const {
    VESK_ASSERT(iterator != NULL);
    const VESK_Case& theCase = iterator->GetCase();
    const size_t caseBytes = size_t(theCase.GetDataSource().GetObsAreaSize()) * sizeof(OBS);
    const char* bytes = reinterpret_cast<const char*>(theCase.Cells());
    std::string text;
    for (const FileSort::SortKey& key : fIndexKeys) {
        const size_t start = size_t(key.cell) * sizeof(OBS);
        if (key.width == 0) {
            double value = VESK_DataSource::SystemMissing();
            if (start + sizeof(double) <= caseBytes) std::memcpy(&value, bytes + start, sizeof(double));
            text += NumericKeyText(value);
        } else {
            const size_t inside = start < caseBytes ? std::min<size_t>(key.width, caseBytes - start) : 0;
            if (inside) text.append(bytes + start, inside);
            text.append(key.width - inside, ' ');
        }
    }
    return text;
}

int SortIndexInfo::CompareKeyTexts(const VESKMBCollator& collator, const std::string& a, const std::string& b) const {
    if (fIndexKeys.empty()) {
        return collator.Compare(a.data(), std::min(a.size(), kKeylessCompareLength), b.data(),
                                std::min(b.size(), kKeylessCompareLength));
    }
    size_t offset = 0;
    for (const FileSort::SortKey& key : fIndexKeys) {
        const size_t length = PartLength(key);
        const auto [pa, la] = Part(a, offset, length);
        const auto [pb, lb] = Part(b, offset, length);
        if (const int c = collator.Compare(pa, la, pb, lb)) return c;
        offset += length;
    }
    return 0;
}

int SortIndexInfo::CompareRow(VESK_InputCaseIterator* iterator, int64_t row, const std::string& keyText,
                              const VESKMBCollator& collator) const {
    // Seek (n) followed by Next delivers row n.
    if (!iterator->Seek(row) || !iterator->NextCase()) return 1;
    return CompareKeyTexts(collator, BuildKeyValuesFromCase(iterator), keyText);
}

int64_t SortIndexInfo::BinaryKeyValueSearch(VESK_InputCaseIterator* iterator, const std::string& keyText,
                                            const VESKMBCollator& collator, int64_t first, int64_t last) const {
    while (first <= last) {
        const int64_t mid = first + (last - first) / 2;
        const int c = CompareRow(iterator, mid, keyText, collator);
        if (c == 0) return mid;
        if (c < 0)
            first = mid + 1;
        else
            last = mid - 1;
    }
    return -1;
}

int64_t SortIndexInfo::FindRecordFromKeyValues(std::string& keyText) const {
    bool flag = false;
    return FindRecordFromKeyValues(keyText, flag, nullptr);
}

int64_t SortIndexInfo::FindRecordFromKeyValues(std::string& keyText, bool&, VESK_InputCaseIterator* iterator) const {
    if (fIndex.empty()) return -1;
    VESKMBCollator collator;
    collator.Init();

    // Narrow down to two neighbouring index entries.
    const int64_t n = int64_t(fIndex.size());
    int64_t lo = 0;
    int64_t hi = n - 1;
    int c = 0;
    for (;;) {
        const int64_t mid = lo + (hi - lo) / 2;
        c = CompareKeyTexts(collator, keyText, fIndex[size_t(mid)].GetKeyValue());
        if (c == 0) return fIndex[size_t(mid)].GetRowIndex();
        if (c < 0) {
            if (lo == mid) break;
            hi = mid;
        } else {
            if (lo != mid) {
                lo = mid;
            } else if (lo == n - 2) {
                lo = n - 1;
                hi = std::max(hi, lo);
            } else {
                break;
            }
        }
    }

    // The stretch of rows that holds the text if any row does; -1 for its
    // end means up to the last row.
    VESK_ASSERT(fDataSource != NULL);
    const auto row = [this](int64_t i) { return fIndex[size_t(i)].GetRowIndex(); };
    int64_t first = 0;
    int64_t last = -1;
    if (n == 1) {
        if (c < 0)
            last = row(0);
        else
            first = row(0);
    } else if (lo == 0) {
        last = row(1);
    } else if (lo == hi) {
        first = row(lo - 1);
    } else {
        first = row(lo);
        last = row(lo + 1);
    }
    first = std::max<int64_t>(first, 0);
    const int64_t rows = fDataSource->RowCount();
    if (rows >= 0 && (last < 0 || last > rows - 1)) last = rows - 1;

    std::unique_ptr<VESK_InputCaseIterator> own;
    if (!iterator) {
        own.reset(fDataSource->MakeIterator(nullptr));
        iterator = own.get();
    }
    if (last < 0 && rows < 0) {
        // Row count unknown: probe rows first, first + 1, first + 3, ...
        // until one lies past the text or past the end.
        int64_t probe = first;
        for (int64_t step = 1;; step *= 2) {
            const int cmp = CompareRow(iterator, probe, keyText, collator);
            if (cmp == 0) return probe;
            if (cmp > 0) {
                last = probe - 1;
                break;
            }
            first = probe + 1;
            if (probe > INT64_MAX / 4) return -1;
            probe += step;
        }
    }
    iterator->Seek(first);
    return BinaryKeyValueSearch(iterator, keyText, collator, first, last);
}

std::string SortIndexInfo::LRTrim(std::string& text) {
    const size_t begin = text.find_first_not_of(' ');
    if (begin == std::string::npos) {
        text.clear();
    } else {
        text.erase(text.find_last_not_of(' ') + 1);
        text.erase(0, begin);
    }
    return text;
}
