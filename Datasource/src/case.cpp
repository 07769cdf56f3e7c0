#define VESK_SOURCE_NAME "Datasource/src/case"

#include "case.h"

#include <algorithm>
#include <cstring>

#include "datasrc.h"
#include "textmb.h"
#include "vesk_assert.h"

// ---------------------------------------------------------------- VESK_Case

VESK_Case::VESK_Case(const VESK_DataSource& source, OBS* buffer)
    : fDataSource(&source), fParent(nullptr), fCells(buffer), fErrorMonitor(nullptr), fOwnsCells(false) {
    if (!fCells) {
        fCells = new OBS[source.GetObsAreaSize()];
        fOwnsCells = true;
        source.InitCells(fCells, 0, source.ColumnCount());
    }
}

VESK_Case::VESK_Case(const VESK_Case& other)
    : fDataSource(other.fDataSource),
      fParent(other.fParent),
      fCells(other.fCells),
      fErrorMonitor(other.fErrorMonitor),
      fOwnsCells(other.fOwnsCells) {
    if (fOwnsCells) {
        // Two owners of one buffer would both free it: the copy gets its own cells.
        unsigned n = fDataSource->GetObsAreaSize();
        fCells = new OBS[n];
        std::memcpy(fCells, other.fCells, size_t(n) * sizeof(OBS));
    }
}

VESK_Case::~VESK_Case() {
    if (fOwnsCells) delete[] fCells;
}

void VESK_Case::SetColumnValue(int column, double value) { GetObsPointer(column)->d = value; }

void VESK_Case::SetColumnValue(int column, const char* text, int length) {
    int tgtlen = fDataSource->GetVariable(column).GetType();
    VESK_ASSERT(tgtlen > 0);
    OBS* cell = fCells + fDataSource->ObsIndex(column);
    size_t n = length > 0 ? std::min(size_t(tgtlen), size_t(length)) : 0;
    VESKMBCopyToFixed_A(cell->c, size_t(CellsForType(tgtlen)) * sizeof(OBS), text, n);
}

void VESK_Case::SetColumnValue(int column, const char* text) {
    SetColumnValue(column, text, text ? int(std::min(std::strlen(text), size_t(MAX_STRING_TYPE))) : 0);
}

const double& VESK_Case::GetNumericValue(int column) const { return GetObsPointer(column)->d; }

const char* VESK_Case::GetStringValue(int column) const { return GetObsPointer(column)->c; }

OBS* VESK_Case::GetObsPointer(int column) const {
    fDataSource->GetVariable(column);  // asserts the column's bounds
    return fCells + fDataSource->ObsIndex(column);
}

void VESK_Case::InitCase(int first, int last) { fDataSource->InitCells(fCells, unsigned(first), unsigned(last - first + 1)); }

void VESK_Case::InitCase() { fDataSource->InitCells(fCells, 0, fDataSource->ColumnCount()); }

VESK_InputCaseIterator* VESK_Case::MakeIterator(const VESK_DataSource* source) const {
    return source ? source->MakeIterator(fCells) : nullptr;
}

// ---------------------------------------------------------------- VESK_InputCaseIterator

VESK_InputCaseIterator::VESK_InputCaseIterator(const VESK_DataSource& source, OBS* buffer)
    : fCase(new VESK_Case(source, buffer)) {
    source.IteratorMade(this);
}

VESK_InputCaseIterator::~VESK_InputCaseIterator() { delete fCase; }

void VESK_InputCaseIterator::SetErrorMonitor(ErrorMonitor* monitor) {
    fCase->SetErrorMonitor(monitor);
    if (VESK_InputCaseIterator* parent = fCase->GetParent()) parent->SetErrorMonitor(monitor);
}

void VESK_InputCaseIterator::SetParent(VESK_InputCaseIterator* parent) {
    fCase->SetParent(parent);
    if (parent) parent->SetErrorMonitor(fCase->GetErrorMonitor());
}

// ---------------------------------------------------------------- ReadLine

char* ReadLine(char* buffer, int size, FILE* stream) {
    VESK_ASSERT(buffer && size > 0 && stream);
    int n = 0;
    bool ended = false;
    while (n < size - 1) {
        int c = std::getc(stream);
        if (c == EOF) {
            ended = true;
            break;
        }
        if (c == '\r') {
            int next = std::getc(stream);
            if (next != '\n' && next != EOF) std::ungetc(next, stream);
            c = '\n';
        }
        buffer[n++] = char(c);
        if (c == '\n') break;
    }
    buffer[n] = '\0';
    return (ended && n == 0) ? nullptr : buffer;
}
