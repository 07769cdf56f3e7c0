// The data source's dictionary and the properties around it: variables, weight,
// filter and split, label, file specification, extension blocks, observers and
// the parent chain.
#define VESK_SOURCE_NAME "Datasource/src/datasrc"

#include <algorithm>
#include <cstring>
#include <functional>

#include "dates.h"
#include "datasrc_private.h"
#include "names.h"
#include "vesk_assert.h"

namespace {

// Upper-cased names are at most this many bytes including the terminator.
constexpr size_t kUpperNameBuffer = 128;

LocallyUniqueID NoID() { return LocallyUniqueID::None(); }

bool IsNoID(const LocallyUniqueID& id) { return id == NoID(); }

double Now() {
    double now = 0;
    if (iVeskNow(&now)) return now;
    iDMY2Vesk(1, 2, 1975, 12, 0, 0, &now);
    return now;
}

uint64_t NameHash(std::string_view upper) { return std::hash<std::string_view>()(upper); }

// The candidate as FindVarIndex compares it: trailing blanks removed, upper-cased.
std::string UpperCandidate(const char* name) {
    size_t length = std::strlen(name);
    while (length > 0 && name[length - 1] == ' ') --length;
    char upper[kUpperNameBuffer];
    const int n = VESKMBMvUpper_A(upper, sizeof upper, name, length);
    return std::string(upper, n > 0 ? size_t(n) : 0);
}

struct NameCheck {
    const std::vector<VESK_Variable>* dictionary;
    VESK_NameIndex* index;
};

// True exactly when FindVarIndex (candidate, 0) finds a column.
int NameTaken(void* context1, void*, const char* candidate) {
    const NameCheck* check = static_cast<const NameCheck*>(context1);
    return check->index->Taken(*check->dictionary, UpperCandidate(candidate));
}

} // namespace

// ------------------------------------------------------------ name index

bool VESK_NameIndex::Taken(const std::vector<VESK_Variable>& dictionary, std::string_view upper) {
    if (!fBuilt) Build(dictionary);
    Refresh(dictionary);
    auto [first, last] = fColumns.equal_range(NameHash(upper));
    for (auto it = first; it != last; ++it)
        if (dictionary[it->second].GetUpperCaseName() == upper) return true;
    return false;
}

void VESK_NameIndex::Appended(const std::vector<VESK_Variable>& dictionary) {
    ClearTouched();  // the earlier handles are no longer valid
    const size_t column = dictionary.size() - 1;
    if (fBuilt) {
        fHashes.push_back(0);
        Add(column, NameHash(dictionary[column].GetUpperCaseName()));
    }
    Touch(column);
}

void VESK_NameIndex::Touch(size_t column) {
    if (column >= fIsTouched.size()) fIsTouched.resize(column + 1, false);
    if (fIsTouched[column]) return;
    fIsTouched[column] = true;
    fTouched.push_back(uint32_t(column));
}

void VESK_NameIndex::Reset() {
    fBuilt = false;
    fHashes.clear();
    fColumns.clear();
    ClearTouched();
}

// Columns touched before the build stay touched: their handles are still out.
void VESK_NameIndex::Build(const std::vector<VESK_Variable>& dictionary) {
    fHashes.assign(dictionary.size(), 0);
    fColumns.clear();
    fColumns.reserve(dictionary.size());
    for (size_t column = 0; column < dictionary.size(); ++column)
        Add(column, NameHash(dictionary[column].GetUpperCaseName()));
    fBuilt = true;
}

void VESK_NameIndex::Add(size_t column, uint64_t hash) {
    fHashes[column] = hash;
    fColumns.emplace(hash, uint32_t(column));
}

void VESK_NameIndex::Remove(size_t column) {
    auto [first, last] = fColumns.equal_range(fHashes[column]);
    for (auto it = first; it != last; ++it) {
        if (it->second == column) {
            fColumns.erase(it);
            return;
        }
    }
}

void VESK_NameIndex::Refresh(const std::vector<VESK_Variable>& dictionary) {
    for (uint32_t column : fTouched) {
        const uint64_t hash = NameHash(dictionary[column].GetUpperCaseName());
        if (hash == fHashes[column]) continue;
        Remove(column);
        Add(column, hash);
    }
}

void VESK_NameIndex::ClearTouched() {
    for (uint32_t column : fTouched) fIsTouched[column] = false;
    fTouched.clear();
}

// ------------------------------------------------------------ extension blocks

VESK_ExtensionImpl::VESK_ExtensionImpl() = default;

VESK_ExtensionImpl::VESK_ExtensionImpl(int subtype, int elementSize, long nElements, const void* content)
    : fSubtype(subtype), fElementSize(elementSize) {
    const size_t bytes = size_t(elementSize) * size_t(nElements);
    if (bytes > 0) fContent.assign(static_cast<const char*>(content), bytes);
}

VESK_ExtensionImpl::VESK_ExtensionImpl(const VESK_ExtensionImpl& other)
    : VESK_RefCntObject(other), fSubtype(other.fSubtype), fElementSize(other.fElementSize),
      fContent(other.fContent) {}

VESK_ExtensionImpl& VESK_ExtensionImpl::operator=(const VESK_ExtensionImpl& other) {
    fSubtype = other.fSubtype;
    fElementSize = other.fElementSize;
    fContent = other.fContent;
    return *this;
}

VESK_ExtensionImpl::~VESK_ExtensionImpl() = default;

void VESK_ExtensionImpl::append(long n, const void* data) {
    const size_t bytes = size_t(n) * size_t(fElementSize);
    if (bytes > 0) fContent.append(static_cast<const char*>(data), bytes);
}

long VESK_ExtensionImpl::Hash() const {
    if (fContent.size() < 4) return 0;
    const auto* p = reinterpret_cast<const unsigned char*>(fContent.data() + fContent.size() - 4);
    const uint32_t value = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    // A 32-bit signed result on every platform.
    return long(int32_t(value));
}

VESK_DataSource::Extension::Extension(const VESK_DataSource& source, int type) {
    if (source.HasExtension(type)) {
        fImpl = source.pData->fExtensions[size_t(type)];
    } else {
        fImpl = new VESK_ExtensionImpl(type, 1, 0, nullptr);
    }
}

VESK_DataSource::Extension::Extension(const ExtensionPtr& block) : fImpl(block) {}

int VESK_DataSource::Extension::Type() const { return fImpl.IsValid() ? fImpl->Subtype() : -1; }

int VESK_DataSource::Extension::ElementSize() const { return fImpl.IsValid() ? fImpl->ElementSize() : 0; }

long VESK_DataSource::Extension::Length() const {
    if (!fImpl.IsValid() || fImpl->ElementSize() <= 0) return 0;
    return fImpl->Length() / fImpl->ElementSize();
}

std::string VESK_DataSource::Extension::Elements() const {
    return fImpl.IsValid() ? fImpl->Elements() : std::string();
}

long VESK_DataSource::Extension::GetNext(void* buffer, long maxBytes) {
    const int size = ElementSize();
    if (size <= 0) return 0;
    const long n = std::min(maxBytes / size, Length() - long(fPosition));
    if (n <= 0) return 0;
    std::memcpy(buffer, fImpl->Content() + size_t(fPosition) * size_t(size), size_t(n) * size_t(size));
    fPosition += int32_t(n);
    return n;
}

bool operator==(const VESK_DataSource::Extension& a, const VESK_DataSource::Extension& b) {
    const bool hasA = a.fImpl.IsValid(), hasB = b.fImpl.IsValid();
    if (!hasA || !hasB) return hasA == hasB;
    return a.fImpl->Subtype() == b.fImpl->Subtype() && a.fImpl->Elements() == b.fImpl->Elements();
}

// ------------------------------------------------------------ construction

VESK_DataSourcePrivate::VESK_DataSourcePrivate() : fTimestamp(0) {
    for (LocallyUniqueID& id : fSplitIDs) id = NoID();
    fWeightID = NoID();
    fFilterID = NoID();
}

VESK_DataSource::VESK_DataSource(const VESK_DataSource* parent) {
    VESK_ASSERT(parent != this);
    if (parent) {
        pData = std::make_unique<VESK_DataSourcePrivate>(*parent->pData);
        pData->fParent = parent;
        pData->fDirty = true;
    } else {
        pData = std::make_unique<VESK_DataSourcePrivate>();
        pData->fTimestamp = Now();
    }
    pData->fTrendsInfo.SetDataSource(this);
}

VESK_DataSource::VESK_DataSource(const VESK_DataSource& other)
    : pData(std::make_unique<VESK_DataSourcePrivate>(*other.pData)) {
    pData->fTrendsInfo.SetDataSource(this);
}

VESK_DataSource::~VESK_DataSource() = default;

void VESK_DataSource::CopyDictionary(const VESK_DataSource& other) {
    const VESK_DataSource* ownParent = pData->fParent;
    *pData = *other.pData;
    pData->fFileSpec.Clear();
    pData->fParent = ownParent;
    pData->fTrendsInfo.SetDataSource(this);
}

void DeleteLine(const VESK_DataSource* source) {
    while (source) {
        const VESK_DataSource* parent = source->GetParentSource();
        delete source;
        source = parent;
    }
}

double VESK_DataSource::SystemMissing() { return VESK_SYSMIS; }

double VESK_DataSource::LowNumber() {
    const uint64_t bits = VESK_SYSMIS_BITS - 1;
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

double VESK_DataSource::HighNumber() { return std::numeric_limits<double>::max(); }

// ------------------------------------------------------------ virtual operations

unsigned VESK_DataSource::GetNSplitVars() const { return pData->fnSplitVars; }

int VESK_DataSource::GetSplitVarIndex(unsigned index) const {
    VESK_ASSERT(index < pData->fnSplitVars);
    return FindVarIndex(pData->fSplitIDs[index]);
}

LocallyUniqueID VESK_DataSource::GetSplitVarID(unsigned index) const {
    VESK_ASSERT(index < pData->fnSplitVars);
    return pData->fSplitIDs[index];
}

bool VESK_DataSource::GetSplitqSeparate() const { return pData->fSplitSeparate; }

int64_t VESK_DataSource::RowCount() const { return -1; }

bool VESK_DataSource::IsLoaded() const { return true; }

int VESK_DataSource::NParents() const { return pData->fParent ? pData->fParent->NParents() + 1 : 0; }

// ------------------------------------------------------------ dictionary

unsigned VESK_DataSource::ColumnCount() const { return unsigned(pData->fDictionary.size()); }

VESK_Variable& VESK_DataSource::GetVariable(int index) {
    VESK_ASSERT(0 <= index);
    VESK_ASSERT(size_t(index) < pData->fDictionary.size());
    pData->fNames.Touch(size_t(index));
    return pData->fDictionary[size_t(index)];
}

const VESK_Variable& VESK_DataSource::GetVariable(int index) const {
    VESK_ASSERT(0 <= index);
    VESK_ASSERT(size_t(index) < pData->fDictionary.size());
    return pData->fDictionary[size_t(index)];
}

VESK_Variable& VESK_DataSource::MakeVariable(const VESK_Variable& var, unsigned* index) {
    const unsigned column = ColumnCount();
    pData->fDictionary.push_back(var);
    LayoutInsert(column, unsigned(CellsForType(var.GetType())));
    pData->fNames.Appended(pData->fDictionary);
    pData->fDirty = true;
    if (index) *index = column;
    return pData->fDictionary.back();
}

VESK_Variable& VESK_DataSource::MakeVariable(int type, unsigned* index) {
    return MakeVariable(VESK_Variable(type), index);
}

VESK_Variable& VESK_DataSource::InsertVariable(long varAfter, const VESK_Variable& var) {
    VESK_ASSERT(0 <= varAfter && varAfter <= (long)pData->fDictionary.size());
    pData->fDictionary.insert(pData->fDictionary.begin() + varAfter, var);
    LayoutInsert(unsigned(varAfter), unsigned(CellsForType(var.GetType())));
    pData->fNames.Reset();
    pData->fDirty = true;
    return pData->fDictionary[size_t(varAfter)];
}

void VESK_DataSource::SetVariable(long index, const VESK_Variable& var) {
    // Checked before the layout changes so that a refused call leaves it intact.
    GetVariable(int(index));
    VESK_ASSERT(pData->fDictionary[index].GetID() == var.GetID());
    const int oldCells = CellsForType(pData->fDictionary[index].GetType());
    LayoutChange(unsigned(index), CellsForType(var.GetType()) - oldCells);
    pData->fDictionary[index] = var;
    pData->fNames.Touch(size_t(index));
    pData->fDirty = true;
}

void VESK_DataSource::DeleteVariables(int start, int finish) {
    VESK_ASSERT(finish < (int) ColumnCount());
    if (finish < 0 || finish == start - 1) return;
    VESK_ASSERT(0 <= start && start <= finish);
    LayoutDelete(unsigned(start), unsigned(finish));
    pData->fDictionary.erase(pData->fDictionary.begin() + start, pData->fDictionary.begin() + finish + 1);
    pData->fNames.Reset();
    for (unsigned i = 0; i < pData->fnSplitVars; ++i) {
        if (FindVarIndex(pData->fSplitIDs[i]) < 0) {
            SetSplit(0, nullptr, false);
            break;
        }
    }
    pData->fDirty = true;
}

int VESK_DataSource::FindVarIndex(const char* name, int start) const {
    size_t length = std::strlen(name);
    while (length > 0 && name[length - 1] == ' ') --length;
    char upper[kUpperNameBuffer];
    const size_t upperLength = size_t(VESKMBMvUpper_A(upper, sizeof upper, name, length));

    const int columnCount = int(pData->fDictionary.size());
    if (start < 0 || start >= columnCount) start = 0;
    auto matches = [&](int column) {
        const std::string& candidate = pData->fDictionary[size_t(column)].GetUpperCaseName();
        return candidate.size() == upperLength && std::memcmp(candidate.data(), upper, upperLength) == 0;
    };
    for (int column = start; column < columnCount; ++column)
        if (matches(column)) return column;
    for (int column = 0; column < start; ++column)
        if (matches(column)) return column;
    return -1;
}

int VESK_DataSource::FindVarIndex(LocallyUniqueID id) const {
    const std::vector<VESK_Variable>& dictionary = pData->fDictionary;
    for (size_t column = 0; column < dictionary.size(); ++column)
        if (dictionary[column].GetID() == id) return int(column);
    return -1;
}

std::string VESK_DataSource::GoodVarName(const std::string& name) {
    char buffer[65 + 1] = {};
    std::memcpy(buffer, name.data(), std::min<size_t>(name.size(), 64));
    NameCheck check{&pData->fDictionary, &pData->fNames};
    GenerateVESKName(buffer, ColumnCount(), NameTaken, &check, nullptr);
    return buffer;
}

// ------------------------------------------------------------ weight, filter, split

namespace {
LocallyUniqueID ColumnID(const std::vector<VESK_Variable>& dictionary, int column) {
    if (column < 0 || size_t(column) >= dictionary.size()) return NoID();
    return dictionary[size_t(column)].GetID();
}
} // namespace

void VESK_DataSource::SetWeightVar(int column) {
    const LocallyUniqueID id = ColumnID(pData->fDictionary, column);
    if (id == pData->fWeightID) return;
    pData->fWeightID = id;
    pData->fDirty = true;
}

int VESK_DataSource::GetWeightVarIndex() const {
    return IsNoID(pData->fWeightID) ? -1 : FindVarIndex(pData->fWeightID);
}

LocallyUniqueID VESK_DataSource::GetWeightVariableID() const { return pData->fWeightID; }

void VESK_DataSource::SetFilterVar(int column) { pData->fFilterID = ColumnID(pData->fDictionary, column); }

int VESK_DataSource::GetFilterVarIndex() const {
    return IsNoID(pData->fFilterID) ? -1 : FindVarIndex(pData->fFilterID);
}

LocallyUniqueID VESK_DataSource::GetFilterVariableID() const { return pData->fFilterID; }

void VESK_DataSource::SetSplit(unsigned nVars, const int* varIndexes, bool separate) {
    VESK_ASSERT(nVars <= eMaxSplitVars);
    if (nVars > 0) {
        unsigned totalSize = 0;
        for (unsigned i = 0; i < nVars; ++i) {
            VESK_ASSERT(varIndexes[i] >= 0);
            totalSize += 8u * unsigned(CellsForType(GetVariable(varIndexes[i]).GetType()));
        }
        VESK_ASSERT(totalSize <= 64);
        for (unsigned i = 0; i < nVars; ++i) pData->fSplitIDs[i] = pData->fDictionary[size_t(varIndexes[i])].GetID();
    }
    pData->fnSplitVars = nVars;
    pData->fSplitSeparate = separate;
}

// ------------------------------------------------------------ other properties

void VESK_DataSource::SetLabel(const char* label) {
    pData->fHasLabel = label != nullptr;
    pData->fLabel = label ? label : "";
    pData->fDirty = true;
}

const char* VESK_DataSource::GetLabel() const { return pData->fHasLabel ? pData->fLabel.c_str() : nullptr; }

void VESK_DataSource::SetFileSpec(const char* spec) {
    if (spec) {
        pData->fFileSpec.SetGeneric(spec);
    } else {
        pData->fFileSpec.Clear();
    }
}

void VESK_DataSource::SetFileSpec(const ExtNameStr& spec) { pData->fFileSpec = spec; }

const char* VESK_DataSource::GetFileSpec() const { return pData->fFileSpec.GetGeneric(); }

const ExtNameStr& VESK_DataSource::GetFileSpecExt() const { return pData->fFileSpec; }

void VESK_DataSource::SetTimestamp() { pData->fTimestamp = Now(); }

void VESK_DataSource::SetTimestamp(double timestamp) { pData->fTimestamp = timestamp; }

double VESK_DataSource::GetTimestamp() const { return pData->fTimestamp; }

void VESK_DataSource::SetAttributes(const DatasourceAttributes& attributes) {
    pData->fAttributes = attributes;
    pData->fDirty = true;
}

const DatasourceAttributes& VESK_DataSource::GetAttributes() const { return pData->fAttributes; }

void VESK_DataSource::SetDEFormattingInfo(const DataEditorFormattingInfo& info) {
    pData->fDEFormattingInfo = info;
    pData->fDirty = true;
}

DataEditorFormattingInfo& VESK_DataSource::GetDEFormattingInfo() const { return pData->fDEFormattingInfo; }

void VESK_DataSource::SetDirty(bool dirty) {
    pData->fDirty = dirty;
    pData->fIndexValid = false;
}

bool VESK_DataSource::IsDirty() const { return pData->fDirty; }

void VESK_DataSource::SetIndexValid(bool valid) { pData->fIndexValid = valid; }

bool VESK_DataSource::IsIndexValid() const { return pData->fIndexValid; }

void VESK_DataSource::RowsPerImputation(int64_t rows) { pData->fRowsPerImputation = rows; }

int64_t VESK_DataSource::RowsPerImputation() const { return pData->fRowsPerImputation; }

void VESK_DataSource::SetSortIndexInfo(const SortIndexInfo& info) {
    pData->fSortIndexInfo = info;
    if (pData->fSortIndexInfo.NIndexKeys() > 0) {
        pData->fIndexValid = true;
        pData->fDirty = true;
    }
}

SortIndexInfo VESK_DataSource::GetSortIndexInfo() const { return pData->fSortIndexInfo; }

void VESK_DataSource::SetVariableSets(const std::vector<VariableSetImpl>& sets) {
    pData->fVariableSets = sets;
    pData->fDirty = true;
}

std::vector<VariableSetImpl> VESK_DataSource::GetVariableSets() const { return pData->fVariableSets; }

void VESK_DataSource::SetMRSets(const std::vector<VariableSetImpl>& sets) {
    pData->fMRSets = sets;
    pData->fDirty = true;
}

std::vector<VariableSetImpl> VESK_DataSource::GetMRSets() const { return pData->fMRSets; }

VESK_TrendsInfo& VESK_DataSource::GetTrendsInfo() const { return pData->fTrendsInfo; }

void VESK_DataSource::SetParentSource(const VESK_DataSource* parent) {
    VESK_ASSERT(parent != this);
    pData->fParent = parent;
}

const VESK_DataSource* VESK_DataSource::GetParentSource() const { return pData->fParent; }

// ------------------------------------------------------------ extensions

void VESK_DataSource::SetExtension(int type, int elementSize, long nElements, const void* content) {
    VESK_ASSERT(0 <= type);
    VESK_ASSERT(nElements >= 0);
    VESK_ASSERT((nElements==0) >= (content==0));
    if (nElements == 0) {
        SetExtension(type, Extension(ExtensionPtr()));
    } else {
        SetExtension(type, Extension(ExtensionPtr(
                               new VESK_ExtensionImpl(type, std::max(elementSize, 1), nElements, content))));
    }
}

void VESK_DataSource::SetExtension(int type, Extension ext) {
    if (type < 0) return;
    std::vector<ExtensionPtr>& table = pData->fExtensions;
    if (ext.Impl().IsValid() && ext.Length() > 0) {
        if (table.size() <= size_t(type)) table.resize(size_t(type) + 1);
        table[size_t(type)] = ext.Impl();
    } else if (size_t(type) < table.size()) {
        table[size_t(type)] = nullptr;
    }
    pData->fDirty = true;
}

void VESK_DataSource::SetExtension(const Extension& ext) { SetExtension(ext.Type(), ext); }

void VESK_DataSource::ExtendExtension(int type, long nElements, const void* data) {
    VESK_ASSERT(HasExtension(type));
    VESK_ASSERT(nElements >= 0);
    pData->fExtensions[size_t(type)].Unshared()->append(nElements, data);
    pData->fDirty = true;
}

bool VESK_DataSource::HasExtension(int type) const {
    const std::vector<ExtensionPtr>& table = pData->fExtensions;
    return type >= 0 && size_t(type) < table.size() && table[size_t(type)].IsValid() &&
           table[size_t(type)]->Length() > 0;
}

long VESK_DataSource::ExtensionHash(int type) const {
    if (type < 0 || size_t(type) >= pData->fExtensions.size() || !pData->fExtensions[size_t(type)].IsValid())
        return 0;
    return pData->fExtensions[size_t(type)]->Hash();
}

int VESK_DataSource::MaxExtensionType() const { return int(std::min<size_t>(pData->fExtensions.size(), 25)) - 1; }

// ------------------------------------------------------------ observers

void VESK_DataSource::Register(Observer* observer) const { pData->fObservers.push_back(observer); }

void VESK_DataSource::UnRegister(Observer* observer) const {
    std::vector<Observer*>& observers = pData->fObservers;
    observers.erase(std::remove(observers.begin(), observers.end(), observer), observers.end());
}

void VESK_DataSource::IteratorMade(VESK_InputCaseIterator* iterator) const {
    // By position, so that an observer may register another while being told.
    const std::vector<Observer*>& observers = pData->fObservers;
    for (size_t i = 0; i < observers.size(); ++i) observers[i]->IteratorMade(iterator);
}
