// A self-contained copy of one case value.
#pragma once

#include <cstdint>
#include <string>

#include "obs.h"
#include "vesk_export.h"

// One value of a variable, numeric or string, with its own cells: one cell is
// held inside the object, longer strings are allocated and freed by it.
class VESK_EXPORT ObsValue {
public:
    // A value of the type (0 numeric, else the string width) taking 1 cell for
    // types 0..8 and (type + 7) / 8 otherwise. Without a source the cells are
    // left unset. With sourceType -1 or equal to type the source's cells are
    // copied as they are; otherwise both must be strings and the first
    // sourceType bytes of source are copied into the cells, blank-padded.
    explicit ObsValue(int type, const OBS* source = nullptr, int sourceType = -1);
    // A numeric value.
    explicit ObsValue(double value);
    ObsValue(const ObsValue& other);
    ~ObsValue();

    int Type() const { return _type; }
    // Changes the type only, not the cells; the new type must fit the cells.
    void SetType(int type);
    int NCells() const { return _nCells; }

    OBS* Obs() { return _cells; }
    const OBS* Obs() const { return _cells; }
    char* Char() { return _cells[0].c; }
    const char* Char() const { return _cells[0].c; }
    double Double() const { return _cells[0].d; }
    // The type's bytes of a string value; empty for a numeric value.
    std::string String() const;

    ObsValue& operator=(double value);
    ObsValue& operator=(const ObsValue& rhs);
    ObsValue& operator=(const char* text);
    ObsValue& operator=(const std::string& text);
    // Copies NCells() cells from cells.
    ObsValue& operator=(const OBS* cells);

    // Strings by the locale's collation of their type bytes; numbers -1, 0 or 1
    // (0 also when either is NaN). Both values must have the same type.
    int Compare(const ObsValue& rhs) const;
    bool operator<(const ObsValue& rhs) const { return Compare(rhs) < 0; }
    // The sign of a byte comparison of all cells; same type required.
    int FastCompare(const ObsValue& rhs) const;

    // Bitwise equality of all cells.
    bool operator==(const OBS* cells) const;
    // Same type and bitwise equal cells.
    bool operator==(const ObsValue& rhs) const;

private:
    void Allocate(int type);
    void CopyText(const char* text, size_t length);

    OBS _local;
    OBS* _cells;
    int16_t _type;
    int16_t _nCells;
};
