#define VESK_SOURCE_NAME "Datasource/src/sparsefileindex"

#include "sparsefileindex.h"

#include <vector>

#include "vesk_assert.h"

namespace {

struct Entry {
    int64_t row;
    int64_t position;
};

}  // namespace

struct VESK_SparseFileIndex::Body {
    std::vector<Entry> entries;
    int64_t lastPosition = -1;
    mutable int32_t cachedEntry = -1;
    uint32_t spacing;
    uint32_t factor;
};

VESK_SparseFileIndex::VESK_SparseFileIndex(unsigned long capacityFactor) : fBody(new Body) {
    VESK_ASSERT(capacityFactor >= 1 && capacityFactor <= 0xFFFFFFFFul);
    fBody->factor = uint32_t(capacityFactor);
    fBody->spacing = 16ull * capacityFactor < 4096 ? uint32_t(4096 / capacityFactor) : 16u;
}

VESK_SparseFileIndex::~VESK_SparseFileIndex() = default;

void VESK_SparseFileIndex::Add(int64_t row, int64_t position) {
    Body& b = *fBody;
    if (position <= b.lastPosition) return;
    const uint64_t n = b.factor;
    // A jump wider than the spacing widens it: entries then stay about one jump apart.
    if (int64_t(b.spacing * n) + b.lastPosition < position) {
        const uint64_t widened = uint64_t(position - b.lastPosition) / n;
        b.spacing = widened > 0x7FFFFFFFu ? 0x7FFFFFFFu : uint32_t(widened);
    }
    if (!b.entries.empty() && b.entries.back().position + int64_t(b.spacing) > position) {
        b.lastPosition = position;
        return;
    }
    b.entries.push_back(Entry{row, position});
    if (uint64_t(b.spacing) * n <= uint64_t(b.entries.size()) * 16) {
        // Thin: keep the entries at even indexes and double the spacing.
        const size_t kept = b.entries.size() / 2;
        for (size_t i = 0; i < kept; ++i) b.entries[i] = b.entries[2 * i];
        b.entries.resize(kept);
        b.spacing = b.spacing > 0x3FFFFFFFu ? 0x7FFFFFFFu : b.spacing * 2;
        b.cachedEntry = -1;
    }
    b.lastPosition = position;
}

void VESK_SparseFileIndex::GetPos(int64_t row, int64_t& foundRow, int64_t& foundPos) const {
    const Body& b = *fBody;
    const int32_t count = int32_t(b.entries.size());
    if (count == 0 || row < b.entries[0].row) {
        foundRow = 0;
        foundPos = 0;
        return;
    }
    const int32_t c = b.cachedEntry;
    if (c >= 0 && c < count && b.entries[c].row <= row && (c + 1 == count || b.entries[c + 1].row > row)) {
        foundRow = b.entries[c].row;
        foundPos = b.entries[c].position;
        return;
    }
    int32_t left = -1, right = count;
    while (left + 1 < right) {
        const int32_t mid = (left + right) / 2;
        if (row < b.entries[mid].row) right = mid;
        else left = mid;
    }
    VESK_ASSERT(0 <= left);
    b.cachedEntry = left;
    foundRow = b.entries[left].row;
    foundPos = b.entries[left].position;
}

long VESK_SparseFileIndex::Size() const { return long(fBody->entries.size()); }

uint32_t VESK_SparseFileIndex::Spacing() const { return fBody->spacing; }
