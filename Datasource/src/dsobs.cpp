// Case layout of a data source: the first cell of every variable, kept up to
// date on every insertion, type change and deletion so that finding a column's
// cells is one table lookup.
#define VESK_SOURCE_NAME "Datasource/src/dsobs"

#include <cstring>

#include "datasrc_private.h"
#include "vesk_assert.h"

namespace {
unsigned CellsOf(const VESK_Variable& var) { return unsigned(CellsForType(var.GetType())); }

// Adds the pending shift to the entries before `end`.
void FoldShift(VESK_ObsLayout& layout, size_t end) {
    std::vector<uint32_t>& index = layout.fCellIndex;
    if (layout.fShift == 0) return;
    for (size_t i = layout.fShiftFrom; i < end && i < index.size(); ++i) index[i] += layout.fShift;
    layout.fShiftFrom = end;
    if (end >= index.size()) layout.fShift = 0;
}
} // namespace

// A variable of `cells` cells now sits at column p (the dictionary already
// holds it).
void VESK_DataSource::LayoutInsert(unsigned p, unsigned cells) {
    VESK_ObsLayout& layout = pData->fLayout;
    FoldShift(layout, layout.fCellIndex.size());
    std::vector<uint32_t>& index = layout.fCellIndex;
    const uint32_t start = p < index.size() ? index[p] : layout.fTotalCells;
    index.insert(index.begin() + p, start);
    for (size_t i = p + 1; i < index.size(); ++i) index[i] += cells;
    layout.fTotalCells += cells;
    if (p + 1 == index.size()) layout.fLastVarCells = cells;
}

// The variable at column p changed its cell count by delta: the columns
// after it move, through the pending shift.
void VESK_DataSource::LayoutChange(unsigned p, int delta) {
    if (delta == 0) return;
    VESK_ObsLayout& layout = pData->fLayout;
    const size_t count = layout.fCellIndex.size();
    FoldShift(layout, layout.fShift != 0 && layout.fShiftFrom <= p + 1 ? p + 1 : count);
    layout.fShiftFrom = p + 1;
    layout.fShift += uint32_t(delta);
    if (p + 1 == count) layout.fLastVarCells += delta;
    layout.fTotalCells += delta;
}

// Columns start..finish are about to be removed from the dictionary.
void VESK_DataSource::LayoutDelete(unsigned start, unsigned finish) {
    VESK_ObsLayout& layout = pData->fLayout;
    FoldShift(layout, layout.fCellIndex.size());
    std::vector<uint32_t>& index = layout.fCellIndex;
    const size_t columnCount = index.size();
    VESK_ASSERT(finish < columnCount);
    const size_t nRemoved = finish - start + 1;
    const uint32_t removedEnd = finish + 1 < columnCount ? index[finish + 1] : layout.fTotalCells;
    const uint32_t removed = removedEnd - index[start];
    if (finish + 1 == columnCount) layout.fLastVarCells = start == 0 ? 0 : index[start] - index[start - 1];
    for (size_t i = finish + 1; i < columnCount; ++i) index[i - nRemoved] = index[i] - removed;
    index.resize(columnCount - nRemoved);
    layout.fTotalCells -= removed;
}

int VESK_DataSource::ObsIndex(int var_index) const {
    const VESK_ObsLayout& layout = pData->fLayout;
    const int lth = int(layout.fCellIndex.size());
    VESK_ASSERT(var_index >= -1);
    VESK_ASSERT(var_index <= lth);
    if (var_index == -1) return -1;
    if (var_index == lth) return int(layout.fTotalCells);
    const uint32_t shift = size_t(var_index) >= layout.fShiftFrom ? layout.fShift : 0;
    return int(layout.fCellIndex[var_index] + shift);
}

unsigned VESK_DataSource::GetObsAreaSize() const { return pData->fLayout.fTotalCells; }

unsigned VESK_DataSource::LastVarCells() const { return pData->fLayout.fLastVarCells; }

void VESK_DataSource::InitCells(OBS* cells, unsigned firstVar, unsigned nVars) const {
    VESK_ASSERT(firstVar+nVars <= ColumnCount());
    OBS* cell = cells + ObsIndex(int(firstVar));
    for (unsigned i = firstVar; i < firstVar + nVars; ++i) {
        const VESK_Variable& var = pData->fDictionary[i];
        const unsigned n = CellsOf(var);
        if (var.GetType() == 0) {
            cell->d = VESK_SYSMIS;
        } else {
            std::memset(cell, ' ', n * sizeof(OBS));
        }
        cell += n;
    }
}
