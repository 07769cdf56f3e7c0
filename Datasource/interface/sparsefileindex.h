// A sparse index from row numbers to stream positions.
//
// Rows and positions are both increasing. The index keeps an entry at most
// every `spacing` units of position; whenever it grows past its capacity it
// drops every second entry and doubles the spacing, so both its size and its
// spacing grow with the square root of the data indexed.
#pragma once

#include <cstdint>
#include <memory>

#include "vesk_export.h"

class VESK_EXPORT VESK_SparseFileIndex {
public:
    // capacityFactor N (at least 1): the starting spacing is 4096 / N (16 when
    // 16 x N reaches 4096), and the index thins when N x spacing <= entries x 16.
    // Readers and the temp-file store use N = 1 (spacing 4096).
    explicit VESK_SparseFileIndex(unsigned long capacityFactor);
    ~VESK_SparseFileIndex();
    VESK_SparseFileIndex(const VESK_SparseFileIndex&) = delete;
    VESK_SparseFileIndex& operator=(const VESK_SparseFileIndex&) = delete;

    // Offers the row that starts at position; positions not beyond the largest
    // one offered so far are ignored.
    void Add(int64_t row, int64_t position);
    // The indexed row nearest at or before row and its position; (0, 0) when
    // no entry is at or before it (row 0 stands at the start of the data).
    void GetPos(int64_t row, int64_t& foundRow, int64_t& foundPos) const;
    long Size() const;
    // The current least distance in position between two entries.
    uint32_t Spacing() const;

private:
    struct VESK_NO_EXPORT Body;
    std::unique_ptr<Body> fBody;
};
