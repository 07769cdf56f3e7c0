#define VESK_SOURCE_NAME "Datasource/src/CaseValue"

#include "CaseValue.h"

#include <cstring>

#include "case.h"
#include "datasrc.h"
#include "textmb.h"
#include "vesk_assert.h"

namespace {

// Eight blanks, for clearing the last cell of a string.
const OBS& BlankCell() {
    static const OBS blank = [] {
        OBS b;
        std::memset(b.c, ' ', sizeof b.c);
        return b;
    }();
    return blank;
}

}  // namespace

// ---------------------------------------------------------------- CaseValue

CaseValue::CaseValue(VESK_InputCaseIterator& it, unsigned column)
    : _pValue(nullptr), _pVariable(nullptr), _column(column), _type(0) {
    SetIterator(it);
}

CaseValue::CaseValue(unsigned column) : _pValue(nullptr), _pVariable(nullptr), _column(column), _type(0) {}

void CaseValue::SetIterator(VESK_InputCaseIterator& it) {
    const VESK_Variable& var = it.GetDataSource().GetVariable(int(_column));
    _pValue = it.GetObsPointer(_column);
    _pVariable = &var;
    _type = int16_t(var.GetType());
}

bool CaseValue::IsMissing() const { return _pVariable->IsMissing(_pValue) != 0; }

bool CaseValue::IsMissing(bool userMissing) const {
    if (userMissing) return IsMissing();
    return _type == 0 && _pValue->d == VESK_SYSMIS;
}

bool CaseValue::IsNull() const {
    if (_type == 0) return _pValue->d == VESK_SYSMIS;
    for (int i = 0; i < _type; ++i)
        if (_pValue->c[i] != ' ') return false;
    return true;
}

void CaseValue::SetValue(const OBS& value) {
    VESK_ASSERT(_pValue);
    if (_type == 0) {
        _pValue->d = value.d + 0.0;
        return;
    }
    _pValue[CellsForType(_type) - 1] = BlankCell();
    std::memmove(_pValue->c, value.c, size_t(_type));
}

void CaseValue::SetValue(const char* text) {
    VESK_ASSERT(_type != 0);
    _pValue[CellsForType(_type) - 1] = BlankCell();
    VESKMBCopyToFixed_A(_pValue->c, size_t(_type), text, text ? std::strlen(text) : 0);
}

void CaseValue::SetValue(double value) {
    VESK_ASSERT(_type == 0);
    _pValue->d = value + 0.0;
}

// ---------------------------------------------------------------- VESK_DataCell

VESK_DataCell::VESK_DataCell(const VESK_DataSource& source, int column, OBS* caseBuffer) {
    Bind(source, column, caseBuffer);
}

VESK_DataCell::VESK_DataCell(const VESK_DataSource& source, int column, VESK_InputCaseIterator& it) {
    Bind(source, column, it.GetCase().Cells());
}

void VESK_DataCell::Bind(const VESK_DataSource& source, int column, OBS* caseBuffer) {
    const VESK_Variable& var = source.GetVariable(column);
    _pVariable = &var;
    _pCell = caseBuffer + source.ObsIndex(column);
    int type = var.GetType();
    _type = uint16_t(type);
    _size = uint16_t(type == 0 ? 8 : type);
    _bytes = uint16_t(CellsForType(type) * 8);
}

bool VESK_DataCell::IsMissing() const { return _pVariable->IsMissing(_pCell) != 0; }

VESK_DataCell& VESK_DataCell::operator=(double value) {
    _pCell->d = value;
    return *this;
}

VESK_DataCell& VESK_DataCell::operator=(const OBS& value) {
    std::memmove(_pCell, &value, _bytes);
    return *this;
}

char* VESK_DataCell::SetTo(const char* text, unsigned length) {
    size_t n = length < _size ? length : _size;
    VESKMBCopyToFixed_A(_pCell->c, _bytes, text, text ? n : 0);
    return _pCell->c;
}

char* VESK_DataCell::operator=(const char* text) {
    return SetTo(text, text ? unsigned(::strnlen(text, _size)) : 0);
}
