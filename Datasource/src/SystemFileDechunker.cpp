#define VESK_SOURCE_NAME "Datasource/src/SystemFileDechunker"

#include "SystemFileDechunker.h"

#include <algorithm>
#include <cstring>

#include "datasrc.h"
#include "vesk_assert.h"

using namespace SysFileLayout;

namespace {

// Cells of a string of width w in the logical case.
int64_t LogicalCells(int64_t w) { return w <= 8 ? 1 : (w + 7) / 8; }
// Cells of a string of width w in the stored case, segments included.
int64_t SegmentedCells(int64_t w) { return (w + 4 * (w / kSegmentWidthDivisor) + 7) / 8; }

}  // namespace

std::vector<SystemFileChunkEntry> SystemFileDechunker::Build(const std::vector<SystemFileVeryLongString>& strings,
                                                             int64_t storedCells) {
    std::vector<SystemFileChunkEntry> entries;
    if (strings.empty()) return entries;
    entries.reserve(strings.size() + 1);
    int64_t t = 0;
    if (strings.front().storedCell != 0) {
        // Ordinary cells before the first very long string move unchanged.
        SystemFileChunkEntry lead;
        lead.cellsAfter = strings.front().storedCell;
        entries.push_back(lead);
        t = lead.cellsAfter;
    }
    for (size_t k = 0; k < strings.size(); ++k) {
        const int64_t s = strings[k].storedCell;
        const int64_t w = strings[k].width;
        if (k > 0) {
            const int64_t gap = s - entries.back().sourceCellAfter;
            entries.back().cellsAfter = gap;
            t += gap;
        }
        SystemFileChunkEntry e;
        e.sourceCell = s;
        e.length = w;
        e.targetCell = t;
        e.sourceCellAfter = s + SegmentedCells(w);
        e.targetCellAfter = t + LogicalCells(w);
        e.cellsAfter = storedCells - e.sourceCellAfter;
        entries.push_back(e);
        t += LogicalCells(w);
    }
    return entries;
}

std::vector<SystemFileChunkEntry> SystemFileDechunker::Build(const VESK_DataSource& stored,
                                                             const std::vector<std::pair<int, int>>& strings) {
    std::vector<SystemFileVeryLongString> cells;
    cells.reserve(strings.size());
    for (const auto& [index, width] : strings) {
        VESK_ASSERT(0 <= index && unsigned(index) < stored.ColumnCount());
        SystemFileVeryLongString s;
        s.varIndex = index;
        s.width = width;
        s.storedCell = stored.ObsIndex(index);
        cells.push_back(s);
    }
    return Build(cells, stored.GetObsAreaSize());
}

bool SystemFileDechunker::Fits(const std::vector<SystemFileChunkEntry>& entries, int64_t storedCells,
                               int64_t logicalCells) {
    int64_t sourceEnd = 0, targetEnd = 0;  // what earlier entries covered
    for (const SystemFileChunkEntry& e : entries) {
        if (e.length < 0 || e.length > MAX_STRING_TYPE || e.cellsAfter < 0) return false;
        if (e.sourceCell < sourceEnd || e.targetCell < targetEnd) return false;
        if (e.sourceCellAfter < e.sourceCell || e.targetCellAfter < e.targetCell) return false;
        // The text and its padding (below one cell) fill the target cells exactly.
        const int64_t pad = e.targetCellAfter * 8 - (e.targetCell * 8 + e.length);
        if (pad < 0 || pad >= 8) return false;
        sourceEnd = e.sourceCellAfter + e.cellsAfter;
        targetEnd = e.targetCellAfter + e.cellsAfter;
        if (sourceEnd > storedCells || targetEnd > logicalCells) return false;
    }
    return true;
}

void SystemFileDechunker::Apply(const std::vector<SystemFileChunkEntry>& entries, const OBS* stored,
                                OBS* logical) {
    const char* const S = stored[0].c;
    char* const L = logical[0].c;
    for (const SystemFileChunkEntry& e : entries) {
        // The string, segment by segment; never read beyond its stored cells.
        const char* src = S + e.sourceCell * 8;
        const char* const srcEnd = S + e.sourceCellAfter * 8;
        char* dst = L + e.targetCell * 8;
        int64_t remaining = e.length;
        while (remaining > 0 && src < srcEnd) {
            const int64_t available = srcEnd - src;
            int64_t n;
            if (remaining > kSegmentTextBytes && available >= kSegmentTextBytes) {
                // A full segment: zero bytes at 252..254 are room a multibyte
                // character did not fit into.
                n = src[254] ? 255 : src[253] ? 254 : src[252] ? 253 : 252;
            } else {
                n = std::min(remaining, kSegmentTextBytes + int64_t(0));
            }
            n = std::min({n, remaining, available});
            std::memcpy(dst, src, size_t(n));
            dst += n;
            remaining -= n;
            src += kSegmentBytes;
        }
        // Text the stored cells could not supply, and the padding of the last cell.
        char* const end = L + e.targetCellAfter * 8;
        const int64_t padlen = (end - dst) - remaining;
        VESK_ASSERT_AT(padlen < 8 && end >= dst, "padlen < 8", VESK_SOURCE_NAME);
        std::memset(dst, ' ', size_t(end - dst));
        if (e.cellsAfter > 0)
            std::memcpy(L + e.targetCellAfter * 8, S + e.sourceCellAfter * 8, size_t(e.cellsAfter) * 8);
    }
}
