#define VESK_SOURCE_NAME "Datasource/src/ObsProjector"
#include "ObsProjector.h"

#include <cstring>
#include <vector>

#include "vesk_assert.h"

void ObsProjector::FromTargetIndexes(unsigned length, const int* targetIndex) {
    VESK_ASSERT_AT(length == 0 || targetIndex, "length==0 || targetIndex", VESK_SOURCE_NAME);
    std::vector<Segment> segments;
    unsigned s = 0;
    while (s < length) {
        uint64_t run = 0;
        const int first = targetIndex[s];
        if (first != -1) {
            run = 1;
            while (s + run < length && targetIndex[s + run] != -1 && targetIndex[s + run] == first + int(run)) ++run;
        }
        uint64_t skipped = 0;
        while (s + run + skipped < length && targetIndex[s + run + skipped] == -1) ++skipped;
        segments.push_back({first != -1 ? uint64_t(first) * 8 : 0, run * 8, skipped * 8});
        s += unsigned(run + skipped);
    }
    _length = segments.size();
    if (segments.empty()) {
        _segments.reset();
        return;
    }
    std::shared_ptr<Segment[]> array(new Segment[segments.size()]);
    std::copy(segments.begin(), segments.end(), array.get());
    _segments = std::move(array);
}

unsigned ObsProjector::FromSourceIndexes(unsigned length, const int* sourceIndex) {
    VESK_ASSERT_AT(length == 0 || sourceIndex, "length==0 || sourceIndex", VESK_SOURCE_NAME);
    int largest = -1;
    for (unsigned t = 0; t < length; ++t) largest = std::max(largest, sourceIndex[t]);
    std::vector<int> map(size_t(largest + 1), -1);
    for (unsigned t = 0; t < length; ++t)
        if (sourceIndex[t] >= 0) map[size_t(sourceIndex[t])] = int(t);
    FromTargetIndexes(unsigned(map.size()), map.data());
    return length;
}

unsigned ObsProjector::FromSourceIndexes(unsigned length, const unsigned* variableIndex,
                                         const VESK_DataSource& source) {
    VESK_ASSERT_AT(length == 0 || variableIndex, "length==0 || sourceIndex", VESK_SOURCE_NAME);
    std::vector<int> cells;
    for (unsigned k = 0; k < length; ++k) {
        const int var = int(variableIndex[k]);
        const int first = source.ObsIndex(var);
        const int width = CellsForType(source.GetVariable(var).GetType());
        for (int c = 0; c < width; ++c) cells.push_back(first + c);
    }
    return FromSourceIndexes(unsigned(cells.size()), cells.data());
}

void ObsProjector::Copy(const OBS* from, OBS* to) const {
    VESK_ASSERT(_length == 0 || _segments);
    VESK_ASSERT(from && to);
    const char* src = reinterpret_cast<const char*>(from);
    char* dst = reinterpret_cast<char*>(to);
    uint64_t offset = 0;
    for (uint64_t k = 0; k < _length; ++k) {
        const Segment& seg = _segments[k];
        if (seg.length) std::memcpy(dst + seg.targetOffset, src + offset, seg.length);
        offset += seg.length + seg.skip;
    }
}

void ObsProjector::InverseCopy(const OBS* from, OBS* to) const {
    VESK_ASSERT(_length == 0 || _segments);
    VESK_ASSERT(from && to);
    const char* src = reinterpret_cast<const char*>(from);
    char* dst = reinterpret_cast<char*>(to);
    uint64_t offset = 0;
    for (uint64_t k = 0; k < _length; ++k) {
        const Segment& seg = _segments[k];
        if (seg.length) std::memcpy(dst + offset, src + seg.targetOffset, seg.length);
        offset += seg.length + seg.skip;
    }
}

// ---------------------------------------------------------------- projection

VESK_CProjection::VESK_CProjection(const VESK_DataSource& source, const unsigned* variableIndex, unsigned n)
    : VESK_DataSource(&source) {
    const int inherited = int(ColumnCount());
    for (unsigned k = 0; k < n; ++k) MakeVariable(source.GetVariable(int(variableIndex[k])));
    DeleteVariables(0, inherited - 1);
    fProjector.FromSourceIndexes(n, variableIndex, source);
}

VESK_CProjection::VESK_CProjection(const VESK_DataSource& source, const int* targetIndex)
    : VESK_DataSource(&source) {
    fProjector.FromTargetIndexes(source.ColumnCount(), targetIndex);
}

VESK_CProjection::VESK_CProjection(const VESK_CProjection& other)
    : VESK_DataSource(other), fProjector(other.fProjector) {}

VESK_CProjection::~VESK_CProjection() = default;

VESK_InputCaseIterator* VESK_CProjection::MakeIterator(OBS* buffer) const {
    return new VESK_CProjectionIterator(*this, buffer);
}

int64_t VESK_CProjection::RowCount() const {
    const VESK_DataSource* parent = GetParentSource();
    return parent ? parent->RowCount() : -1;
}

VESK_CProjectionIterator::VESK_CProjectionIterator(const VESK_CProjection& projection, OBS* buffer)
    : VESK_InputCaseIterator(projection, buffer), fParentIter(nullptr), fProjector(projection.Projector()) {
    if (const VESK_DataSource* parent = projection.GetParentSource()) {
        fParentIter = parent->MakeIterator(nullptr);
        SetParent(fParentIter);
    }
}

VESK_CProjectionIterator::~VESK_CProjectionIterator() { delete fParentIter; }

int VESK_CProjectionIterator::IsSeekOK() { return fParentIter ? fParentIter->IsSeekOK() : 0; }
int VESK_CProjectionIterator::Seek(int64_t row) { return fParentIter ? fParentIter->Seek(row) : 0; }
int64_t VESK_CProjectionIterator::Tell() const { return fParentIter ? fParentIter->Tell() : 0; }

int VESK_CProjectionIterator::Next() {
    if (!fParentIter) return 0;
    const int got = fParentIter->NextCase();
    if (got) fProjector.Copy(fParentIter->GetCase().Cells(), GetCase().Cells());
    return got;
}
