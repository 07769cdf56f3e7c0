#define VESK_SOURCE_NAME "Datasource/src/ObsValue"

#include "ObsValue.h"

#include <cstring>

#include "textmb.h"
#include "vesk_assert.h"

void ObsValue::Allocate(int type) {
    VESK_ASSERT(0 <= type && type <= MAX_STRING_TYPE);
    _type = static_cast<int16_t>(type);
    _nCells = static_cast<int16_t>(CellsForType(type));
    _local.bits = 0;
    _cells = _nCells > 1 ? new OBS[_nCells]() : &_local;
}

ObsValue::ObsValue(int type, const OBS* source, int sourceType) {
    const bool convert = source && sourceType != -1 && sourceType != type;
    // Checked before allocating: a throwing constructor runs no destructor.
    if (convert) VESK_ASSERT((sourceType!=0)&&(type!=0));
    Allocate(type);
    if (!source) return;
    if (convert)
        VESKMBCopyToFixed_A(_cells[0].c, size_t(_nCells) * 8, source[0].c, size_t(sourceType));
    else
        std::memcpy(_cells, source, size_t(_nCells) * 8);
}

ObsValue::ObsValue(double value) : _cells(&_local), _type(0), _nCells(1) { _local.d = value; }

ObsValue::ObsValue(const ObsValue& other) : _type(other._type), _nCells(other._nCells) {
    _cells = _nCells > 1 ? new OBS[_nCells] : &_local;
    std::memcpy(_cells, other._cells, size_t(_nCells) * 8);
}

ObsValue::~ObsValue() {
    if (_cells != &_local) delete[] _cells;
}

void ObsValue::SetType(int type) {
    VESK_ASSERT(0 <= type && CellsForType(type) <= _nCells);
    _type = static_cast<int16_t>(type);
}

std::string ObsValue::String() const { return _type == 0 ? std::string() : std::string(Char(), size_t(_type)); }

void ObsValue::CopyText(const char* text, size_t length) {
    VESKMBCopyToFixed_A(_cells[0].c, size_t(_nCells) * 8, text, length);
}

ObsValue& ObsValue::operator=(double value) {
    VESK_ASSERT(_type == 0);
    _cells[0].d = value;
    return *this;
}

ObsValue& ObsValue::operator=(const ObsValue& rhs) {
    if (this == &rhs) return *this;
    VESK_ASSERT((_type==0) == (rhs._type==0));
    if (_type == rhs._type) {
        int n = _nCells < rhs._nCells ? _nCells : rhs._nCells;
        std::memcpy(_cells, rhs._cells, size_t(n) * 8);
    } else {
        CopyText(rhs.Char(), size_t(rhs._type));
    }
    return *this;
}

ObsValue& ObsValue::operator=(const char* text) {
    CopyText(text, text ? std::strlen(text) : 0);
    return *this;
}

ObsValue& ObsValue::operator=(const std::string& text) {
    CopyText(text.data(), text.size());
    return *this;
}

ObsValue& ObsValue::operator=(const OBS* cells) {
    if (cells != _cells) std::memcpy(_cells, cells, size_t(_nCells) * 8);
    return *this;
}

int ObsValue::Compare(const ObsValue& rhs) const {
    VESK_ASSERT(_type == rhs._type);
    if (_type != 0) return VESKMBstrncoll_A(Char(), rhs.Char(), size_t(_type));
    double a = Double(), b = rhs.Double();
    if (a < b) return -1;
    if (a > b) return 1;
    return 0;
}

int ObsValue::FastCompare(const ObsValue& rhs) const {
    VESK_ASSERT(_type == rhs._type);
    int n = _nCells < rhs._nCells ? _nCells : rhs._nCells;
    int c = std::memcmp(_cells, rhs._cells, size_t(n) * 8);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

bool ObsValue::operator==(const OBS* cells) const {
    return std::memcmp(_cells, cells, size_t(_nCells) * 8) == 0;
}

bool ObsValue::operator==(const ObsValue& rhs) const {
    return _type == rhs._type && _nCells == rhs._nCells &&
           std::memcmp(_cells, rhs._cells, size_t(_nCells) * 8) == 0;
}
