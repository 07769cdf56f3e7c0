// One 8-byte case cell and the constants of case values.
#pragma once

#include <cstdint>
#include <cstring>
#include <limits>

// A case cell: a double for numeric variables, 8 bytes of text for strings.
union OBS {
    double d;
    char c[8];
    uint64_t bits;
};
static_assert(sizeof(OBS) == 8, "a cell is 8 bytes");

// Variable type: 0 numeric, 1..MAX_STRING_TYPE a string of that many bytes.
constexpr int MAX_STRING_TYPE = 32767;

// The system-missing value: the lowest finite double.
constexpr double VESK_SYSMIS = -std::numeric_limits<double>::max();
constexpr uint64_t VESK_SYSMIS_BITS = 0xFFEFFFFFFFFFFFFFull;

// Number of cells a variable of the type takes.
constexpr int CellsForType(int type) { return type <= 8 ? 1 : (type + 7) / 8; }

inline uint64_t ObsBits(double d) {
    uint64_t b;
    std::memcpy(&b, &d, 8);
    return b;
}
