// Rebuilds the logical case of a file with very long strings from its stored
// case.
//
// A string wider than 255 bytes is stored as a run of 256-byte segments (each
// carrying up to 255 text bytes and a final byte), followed by the cells of
// the rest of the text. The chunk entries (SystemFileChunkEntry, kept in
// SystemFileOptions::_chunks) say where each such string stands in the stored
// case and where it goes in the logical case, and how many ordinary cells
// follow it up to the next one.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "SystemFileOptions.h"
#include "obs.h"

class VESK_DataSource;

class SystemFileDechunker {
public:
    // The chunk entries for very long strings given by their first stored cell
    // and width, in ascending cell order, in a stored case of storedCells
    // cells. An empty list gives no entries.
    static std::vector<SystemFileChunkEntry> Build(const std::vector<SystemFileVeryLongString>& strings,
                                                   int64_t storedCells);
    // The same from a dictionary still in its stored layout (segments not yet
    // merged) and the (variable index, width) of each very long string, in
    // dictionary order. Indexes must name variables of `stored`.
    static std::vector<SystemFileChunkEntry> Build(const VESK_DataSource& stored,
                                                   const std::vector<std::pair<int, int>>& strings);

    // True when every entry reads inside a stored case of storedCells cells and
    // writes inside a logical case of logicalCells cells, the entries in
    // increasing order. The reader checks this before trusting entries built
    // from a file.
    static bool Fits(const std::vector<SystemFileChunkEntry>& entries, int64_t storedCells,
                     int64_t logicalCells);

    // Builds the logical case from the stored one. The buffers must not overlap
    // and must hold the cell counts that Fits accepted.
    static void Apply(const std::vector<SystemFileChunkEntry>& entries, const OBS* stored, OBS* logical);
};
