// Value-label map bodies, handles and the process-wide map registry.
#define VESK_SOURCE_NAME "Datasource/src/valuelabelmap"

#include <algorithm>
#include <cstring>

#include "textmb.h"
#include "valuelabelmap.h"
#include "vesk_assert.h"

// ------------------------------------------------------------------ locked counts

void ThreadSafeRefCntObject::AddReference() {
    CriticalSection::Lock lock(fLock);
    ++fRefCount;
}

void ThreadSafeRefCntObject::RemoveReference() {
    bool last;
    {
        CriticalSection::Lock lock(fLock);
        last = --fRefCount == 0;
    }
    if (last) delete this;
}

int ThreadSafeRefCntObject::IsShared() const {
    CriticalSection::Lock lock(fLock);
    return fRefCount > 1;
}

int ThreadSafeRefCntObject::IsShareable() const {
    CriticalSection::Lock lock(fLock);
    return fShareable;
}

void ThreadSafeRefCntObject::MarkUnshareable() {
    CriticalSection::Lock lock(fLock);
    fShareable = false;
}

int ThreadSafeRefCntObject::RefCount() const {
    CriticalSection::Lock lock(fLock);
    return fRefCount;
}

// ------------------------------------------------------------------ body

namespace {

// Three-way order of two cells read as doubles. The order is total: each cell
// maps to an unsigned key that sorts like its double, negative zero just below
// zero and NaNs beyond the infinities by their bits. A total order keeps the
// binary searches well defined for any bytes a file holds, and lets readers
// hand pairs over in key order so that each lands at the end of the map.
int CompareCell(const OBS& a, const OBS& b) {
    const uint64_t ka = VESK_VLMapImpl::CellKey(a);
    const uint64_t kb = VESK_VLMapImpl::CellKey(b);
    return ka < kb ? -1 : (ka > kb ? 1 : 0);
}

// Order of two values over their common cells; the shorter one first when
// those are equal (only when a map's type changed after pairs were added).
int CompareValues(const OBS* a, size_t na, const OBS* b, size_t nb) {
    size_t n = std::min(na, nb);
    for (size_t i = 0; i < n; ++i) {
        int c = CompareCell(a[i], b[i]);
        if (c) return c;
    }
    return na < nb ? -1 : (na > nb ? 1 : 0);
}

bool SameBits(const std::vector<OBS>& a, const OBS* b, size_t nb) {
    return a.size() == nb && std::memcmp(a.data(), b, nb * sizeof(OBS)) == 0;
}

}  // namespace

VESK_VLMapImpl::VESK_VLMapImpl(int type) : fType(type) {}

VESK_VLMapImpl::VESK_VLMapImpl(const VESK_VLMapImpl& other)
    : ThreadSafeRefCntObject(other), fType(other.fType), fPairs(other.fPairs) {}

VESK_VLMapImpl& VESK_VLMapImpl::operator=(const VESK_VLMapImpl& other) {
    fType = other.fType;
    fPairs = other.fPairs;
    return *this;
}

VESK_VLMapImpl::~VESK_VLMapImpl() = default;

const ValueLabel& VESK_VLMapImpl::operator[](int i) const {
    VESK_ASSERT(0 <= i && i < Size());
    return fPairs[size_t(i)];
}

size_t VESK_VLMapImpl::LowerBound(const OBS* value, size_t cells) const {
    auto it = std::lower_bound(fPairs.begin(), fPairs.end(), value,
                               [cells](const ValueLabel& p, const OBS* v) {
                                   return CompareValues(p.value.data(), p.value.size(), v, cells) < 0;
                               });
    return size_t(it - fPairs.begin());
}

void VESK_VLMapImpl::Insert(const OBS* value, const std::string& label) {
    size_t cells = size_t(Cells());
    size_t at = LowerBound(value, cells);
    if (at < fPairs.size() && SameBits(fPairs[at].value, value, cells)) {
        fPairs[at].label = label;
        return;
    }
    ValueLabel pair;
    pair.value.assign(value, value + cells);
    pair.label = label;
    fPairs.insert(fPairs.begin() + std::ptrdiff_t(at), std::move(pair));
}

const ValueLabel* VESK_VLMapImpl::Find(const OBS* value) const {
    size_t cells = size_t(Cells());
    size_t at = LowerBound(value, cells);
    if (at < fPairs.size() && SameBits(fPairs[at].value, value, cells)) return &fPairs[at];
    return nullptr;
}

bool VESK_VLImplPointer::operator<(const VESK_VLImplPointer& other) const {
    return std::less<const VESK_VLMapImpl*>()(get(), other.get());
}

// ------------------------------------------------------------------ handle

// Iteration state: the pair sequence of the body current at Reset and a position.
class VESK_ValueLabelMap::Iter {
public:
    Iter(const std::vector<ValueLabel>* pairs, int64_t pos) : fPairs(pairs), fPos(pos) {}

    bool End() const { return fPos < 0 || size_t(fPos) >= fPairs->size(); }
    const ValueLabel& Current() const {
        VESK_ASSERT(!End());
        return (*fPairs)[size_t(fPos)];
    }
    void Advance() { ++fPos; }

    const std::vector<ValueLabel>* fPairs;
    int64_t fPos;
};

VESK_ValueLabelMap::VESK_ValueLabelMap(int type) : fpImpl(new VESK_VLMapImpl(type)) {}

VESK_ValueLabelMap::VESK_ValueLabelMap(const VESK_VLImplPointer& body) : fpImpl(body) {}

VESK_ValueLabelMap::VESK_ValueLabelMap(const VESK_ValueLabelMap& other) : fpImpl(other.fpImpl) {
    if (other.fIter) fIter = new Iter(*other.fIter);
}

VESK_ValueLabelMap& VESK_ValueLabelMap::operator=(const VESK_ValueLabelMap& other) {
    if (this == &other) return *this;
    delete fIter;
    fIter = nullptr;
    fpImpl = other.fpImpl;
    if (other.fIter) fIter = new Iter(*other.fIter);
    return *this;
}

VESK_ValueLabelMap::~VESK_ValueLabelMap() { delete fIter; }

int VESK_ValueLabelMap::Type() const {
    VESK_ASSERT(fpImpl.IsValid());
    return fpImpl->GetType();
}

void VESK_ValueLabelMap::Type(int type) {
    if (fpImpl.IsValid() && fpImpl->Size() > 0)
        fpImpl.Unshared()->SetType(type);
    else
        fpImpl = new VESK_VLMapImpl(type);
}

unsigned VESK_ValueLabelMap::Size() const { return fpImpl.IsValid() ? unsigned(fpImpl->Size()) : 0u; }

std::vector<OBS> VESK_ValueLabelMap::CellsOf(const std::string& text) const {
    size_t cells = size_t(fpImpl->Cells());
    std::vector<OBS> value(cells);
    VESKMBCopyToFixed_A(reinterpret_cast<char*>(value.data()), cells * sizeof(OBS), text.data(), text.size());
    return value;
}

std::vector<OBS> VESK_ValueLabelMap::CellsOf(double d) const {
    // Only the first cell is meaningful; later cells of a string map stay blank.
    std::vector<OBS> value(size_t(fpImpl->Cells()));
    std::memset(value.data(), ' ', value.size() * sizeof(OBS));
    value[0].d = d;
    return value;
}

void VESK_ValueLabelMap::AddPair(const OBS* value, std::string label) {
    VESK_ASSERT(fpImpl.IsValid());
    fpImpl.Unshared()->Insert(value, label);
}

void VESK_ValueLabelMap::AddPair(const double& value, std::string label) {
    VESK_ASSERT(fpImpl.IsValid());
    std::vector<OBS> cells = CellsOf(value);
    fpImpl.Unshared()->Insert(cells.data(), label);
}

void VESK_ValueLabelMap::AddPair(const std::string& value, const std::string& label) {
    VESK_ASSERT(fpImpl.IsValid());
    std::vector<OBS> cells = CellsOf(value);
    fpImpl.Unshared()->Insert(cells.data(), label);
}

const char* VESK_ValueLabelMap::GetLabel(const OBS* value) const {
    if (!fpImpl.IsValid()) return nullptr;
    const ValueLabel* pair = fpImpl->Find(value);
    return pair ? pair->label.c_str() : nullptr;
}

const char* VESK_ValueLabelMap::GetLabel(const double& value) const {
    if (!fpImpl.IsValid()) return nullptr;
    return GetLabel(CellsOf(value).data());
}

const char* VESK_ValueLabelMap::GetLabel(const std::string& value) const {
    if (!fpImpl.IsValid()) return nullptr;
    return GetLabel(CellsOf(value).data());
}

void VESK_ValueLabelMap::Reset() const {
    if (!fpImpl.IsValid()) return;
    if (fIter) {
        fIter->fPairs = &fpImpl->Pairs();
        fIter->fPos = 0;
    } else {
        fIter = new Iter(&fpImpl->Pairs(), 0);
    }
}

const ValueLabel* VESK_ValueLabelMap::NextPair() const {
    VESK_ASSERT(fIter && "Reset() missing");
    // A body replaced since Reset (by a change through this handle) may be gone;
    // continue at the same position in the current one.
    if (fIter->fPairs != &fpImpl->Pairs()) fIter->fPairs = &fpImpl->Pairs();
    if (fIter->End()) return nullptr;
    const ValueLabel* pair = &fIter->Current();
    fIter->Advance();
    return pair;
}

int VESK_ValueLabelMap::GetNextPair(const OBS*& value, const char*& label) const {
    if (!fpImpl.IsValid()) return 0;
    const ValueLabel* pair = NextPair();
    if (!pair) return 0;
    value = pair->value.data();
    label = pair->label.c_str();
    return 1;
}

int VESK_ValueLabelMap::GetNextPair(double& value, const char*& label) const {
    const OBS* cells;
    if (!GetNextPair(cells, label)) return 0;
    value = cells[0].d;
    return 1;
}

int VESK_ValueLabelMap::GetNextPair(std::string& value, const char*& label) const {
    if (!fpImpl.IsValid()) return 0;
    const ValueLabel* pair = NextPair();
    if (!pair) return 0;
    // Never read past the pair's cells (a map's type may grow after pairs were added).
    size_t n = std::min(size_t(std::max(fpImpl->GetType(), 0)), pair->value.size() * sizeof(OBS));
    value.assign(reinterpret_cast<const char*>(pair->value.data()), n);
    label = pair->label.c_str();
    return 1;
}

int VESK_ValueLabelMap::operator==(const VESK_ValueLabelMap& other) const {
    if (fpImpl == other.fpImpl) return 1;
    if (!fpImpl.IsValid() || !other.fpImpl.IsValid()) return 0;
    const std::vector<ValueLabel>& a = fpImpl->Pairs();
    const std::vector<ValueLabel>& b = other.fpImpl->Pairs();
    if (a.size() != b.size()) return 0;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].label != b[i].label) return 0;
        if (!SameBits(a[i].value, b[i].value.data(), b[i].value.size())) return 0;
    }
    return 1;
}

// ------------------------------------------------------------------ registry

namespace {

struct Registry {
    std::vector<std::pair<VESK_VLImplPointer, VESK_VLMapID>> _Pairs;
    uint32_t counter = 0;
    uint32_t originator = 0;
};

Registry& TheRegistry() {
    static Registry registry;
    return registry;
}

}  // namespace

VESK_VLMapID VESK_VLMapRegistry::Add(const VESK_VLImplPointer& map, VESK_VLMapID id) {
    Registry& r = TheRegistry();
    if (id.IsNone()) id = VESK_VLMapID((r.counter++ << 4) | (r.originator & 0xFu));
    r._Pairs.emplace_back(map, id);
    return id;
}

VESK_VLImplPointer VESK_VLMapRegistry::GetMap(const VESK_VLMapID& id) {
    if (id.IsNone()) return VESK_VLImplPointer();
    for (const auto& entry : TheRegistry()._Pairs)
        if (entry.second == id) return entry.first;
    return VESK_VLImplPointer();
}

VESK_VLMapID VESK_VLMapRegistry::GetID(const VESK_VLImplPointer& map) {
    if (!map.IsValid()) return VESK_VLMapID();
    for (const auto& entry : TheRegistry()._Pairs)
        if (entry.first == map) return entry.second;
    return VESK_VLMapID();
}

void VESK_VLMapRegistry::SetID(const VESK_VLImplPointer& map, VESK_VLMapID id) {
    auto& _Pairs = TheRegistry()._Pairs;
    size_t i = 0;
    while (i < _Pairs.size() && !(map.IsValid() && _Pairs[i].first == map)) ++i;
    VESK_ASSERT(i < _Pairs.size());
    _Pairs[i].second = id;
}

void VESK_VLMapRegistry::CollectGarbage() {
    auto& pairs = TheRegistry()._Pairs;
    pairs.erase(std::remove_if(pairs.begin(), pairs.end(),
                               [](const std::pair<VESK_VLImplPointer, VESK_VLMapID>& e) {
                                   return !e.first.IsValid() || !e.first->IsShared();
                               }),
                pairs.end());
}

void VESK_VLMapRegistry::SetOriginator(unsigned originator) { TheRegistry().originator = originator & 0xFu; }

size_t VESK_VLMapRegistry::Count() { return TheRegistry()._Pairs.size(); }
