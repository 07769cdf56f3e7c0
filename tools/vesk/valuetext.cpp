#include "valuetext.h"

#include <cstring>
#include <vector>

#include "valuelabelmap.h"
#include "variable.h"

namespace vesk {

NumberStyle PrintStyle(const VESK_Variable& var) {
    const VESK_Format f = var.GetFormat();
    return StyleOfFormat(f.code, f.decimals);
}

const std::string* FindLabel(const VESK_VLMapImpl& labels, const OBS* cells, int width) {
    const int mapCells = labels.Cells();
    const int valueCells = CellsForType(width);
    if (mapCells < valueCells) return nullptr;
    std::vector<OBS> padded;
    if (mapCells > valueCells) {
        padded.resize(size_t(mapCells));
        std::memset(padded.data(), ' ', padded.size() * sizeof(OBS));
        std::memcpy(padded.data(), cells, size_t(valueCells) * sizeof(OBS));
        cells = padded.data();
    }
    const ValueLabel* pair = labels.Find(cells);
    return pair ? &pair->label : nullptr;
}

}  // namespace vesk
