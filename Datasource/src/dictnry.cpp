#define VESK_SOURCE_NAME "Datasource/src/dictnry"

#include "dictnry.h"

#include <algorithm>
#include <cstring>

#include "IndependentDataStore.h"
#include "case.h"
#include "datasrc.h"
#include "errortext.h"
#include "vesk_assert.h"

const VESK_Variable VESK_FortranDictionary::kTheExtension;

namespace {

// Continuation slots after the first cell of a variable of the type.
int ContinuationSlots(int type) { return type >= 9 ? (type - 9) / 8 + 1 : 0; }

}  // namespace

VESK_FortranDictionary::VESK_FortranDictionary(VESK_DataSource* source)
    : fpDataSource(source),
      fpIterator(nullptr),
      fpGuard(nullptr),
      fLUN(-1),
      fCompression(0),
      fDSType(kDSNone),
      fIOStatus(kNone) {
    ReIndex();
}

VESK_FortranDictionary::VESK_FortranDictionary(const VESK_FortranDictionary& other)
    : fSlots(other.fSlots),
      fpDataSource(other.fpDataSource),
      fpIterator(nullptr),
      fpGuard(nullptr),
      fLUN(other.fLUN),
      fCompression(other.fCompression),
      fDSType(other.fDSType),
      // A read under way belongs to the original, which keeps the iterator.
      fIOStatus(other.fIOStatus == kRead ? kNone : other.fIOStatus) {}

VESK_FortranDictionary& VESK_FortranDictionary::operator=(const VESK_FortranDictionary& other) {
    if (this == &other) return *this;
    delete fpIterator;
    delete fpGuard;
    fpIterator = nullptr;
    fpGuard = nullptr;
    fSlots = other.fSlots;
    fpDataSource = other.fpDataSource;
    fLUN = other.fLUN;
    fCompression = other.fCompression;
    fDSType = other.fDSType;
    fIOStatus = other.fIOStatus == kRead ? kNone : other.fIOStatus;
    return *this;
}

VESK_FortranDictionary::~VESK_FortranDictionary() {
    delete fpIterator;
    delete fpGuard;
}

VESK_InputCaseIterator* VESK_FortranDictionary::GetIterator() const {
    VESK_ASSERT(fpIterator);
    return fpIterator;
}

void VESK_FortranDictionary::DeleteIterator() {
    delete fpIterator;
    fpIterator = nullptr;
}

void VESK_FortranDictionary::Quiesce() {
    DeleteIterator();
    fIOStatus = kNone;
}

int VESK_FortranDictionary::GetIndex(int position) const {
    if (position < 1 || unsigned(position) > Count()) return -1;
    return fSlots[size_t(position - 1)];
}

VESK_Variable& VESK_FortranDictionary::GetVariable(int position) {
    int index = GetIndex(position);
    VESK_ASSERT(0 <= index);
    return fpDataSource->GetVariable(index);
}

const VESK_Variable& VESK_FortranDictionary::GetVariable(int position) const {
    int index = GetIndex(position);
    if (index < 0) return kTheExtension;
    return static_cast<const VESK_DataSource*>(fpDataSource)->GetVariable(index);
}

int VESK_FortranDictionary::AddIndex(int index) {
    fSlots.push_back(index);
    return int(Count());
}

void VESK_FortranDictionary::ReIndex() {
    fSlots.clear();
    if (!fpDataSource) return;
    unsigned n = fpDataSource->ColumnCount();
    for (unsigned i = 0; i < n; ++i) {
        fSlots.push_back(int(i));
        fSlots.insert(fSlots.end(), size_t(ContinuationSlots(fpDataSource->GetVariable(int(i)).GetType())), -1);
    }
}

VESK_Variable& VESK_FortranDictionary::MakeVariable(int type, unsigned* index) {
    unsigned made = 0;
    VESK_Variable& var = fpDataSource->MakeVariable(type, &made);
    AddIndex(int(made));
    fSlots.insert(fSlots.end(), size_t(ContinuationSlots(type)), -1);
    if (index) *index = made;
    return var;
}

void VESK_FortranDictionary::Truncate(unsigned n) {
    if (n >= Count()) return;
    int mark = fSlots[n];
    VESK_ASSERT(0 <= mark);
    fpDataSource->DeleteVariables(mark, int(fpDataSource->ColumnCount()) - 1);
    fSlots.resize(n);
}

void VESK_FortranDictionary::ReadCase(OBS* buffer, int& end) {
    VESK_ASSERT(fIOStatus != kWrite);
    if (fIOStatus == kNone) {
        VESK_ASSERT(!fpIterator);
        VESK_ASSERT(GetLUN());
        fIOStatus = kRead;
        fpIterator = fpDataSource->MakeIterator(nullptr);
    }
    VESK_ASSERT(fpIterator);
    int got = fpIterator->NextCase();
    end = got ? 0 : 1;
    if (!got) return;
    // Slots added by hand may outnumber the source's cells; copy what both hold.
    size_t cells = std::min<size_t>(Count(), fpDataSource->GetObsAreaSize());
    if (cells) std::memcpy(buffer, fpIterator->GetCase().Cells(), cells * sizeof(OBS));
}

void VESK_FortranDictionary::WriteCase(const OBS* buffer) {
    VESK_ASSERT(fIOStatus != kRead);
    if (fIOStatus == kNone) {
        VESK_ASSERT(Count());
        VESK_ASSERT(GetLUN());
        fIOStatus = kWrite;
    }
    IndependentDataStore* store = dynamic_cast<IndependentDataStore*>(fpDataSource);
    if (!store) {
        const char* name = fpDataSource ? fpDataSource->GetFileSpec() : nullptr;
        ThrowError::String1(DATASRC_ERR, DatasrcMsg::CannotWriteCase, (name && *name) ? name : "data source");
    }
    store->AddRow(buffer);
}
