// Moving cells between two case layouts, and the projection source that
// presents selected columns of another source.
#pragma once

#include <cstdint>
#include <memory>

#include "case.h"
#include "datasrc.h"
#include "obs.h"
#include "vesk_export.h"

// A precomputed list of copy segments over the 8-byte cells of a case. The
// segments cover the source case from cell 0 upward: each copies a run of
// cells to a target offset and then passes over skipped source cells.
// Copies of a projector share its (immutable) segment array.
class VESK_EXPORT ObsProjector {
public:
    struct Segment {
        uint64_t targetOffset;  // bytes into the target case
        uint64_t length;        // bytes copied
        uint64_t skip;          // source bytes passed over after the run
    };

    ObsProjector() = default;

    // targetIndex[s] is the target cell of source cell s, -1 when not copied.
    void FromTargetIndexes(unsigned length, const int* targetIndex);
    // sourceIndex[t] is the source cell that target cell t takes (negative:
    // none); when two target cells name one source cell the later wins.
    // Returns length.
    unsigned FromSourceIndexes(unsigned length, const int* sourceIndex);
    // Selects whole variables of the source, in the given order; returns the
    // number of target cells.
    unsigned FromSourceIndexes(unsigned length, const unsigned* variableIndex, const VESK_DataSource& source);

    // Copies the projected cells of `from` (source layout) into `to`.
    void Copy(const OBS* from, OBS* to) const;
    // The reverse: copies the target cells of `from` back to their source
    // positions in `to`; skipped cells of `to` stay as they are.
    void InverseCopy(const OBS* from, OBS* to) const;

    uint64_t SegmentCount() const { return _length; }
    const Segment& GetSegment(uint64_t k) const { return _segments[k]; }

private:
    uint64_t _length = 0;
    std::shared_ptr<const Segment[]> _segments;
};

// A data source made of selected columns of its parent source. It owns no
// cases: its iterator reads the parent and rearranges each case. The parent is
// not owned and must outlive the projection.
class VESK_EXPORT VESK_CProjection : public VESK_DataSource {
public:
    // The dictionary is exactly the listed variables of source, in list order.
    VESK_CProjection(const VESK_DataSource& source, const unsigned* variableIndex, unsigned n);
    // The dictionary is the source's; targetIndex has one entry per source
    // column (see ObsProjector::FromTargetIndexes), so it suits sources whose
    // columns each take one cell.
    VESK_CProjection(const VESK_DataSource& source, const int* targetIndex);
    VESK_CProjection(const VESK_CProjection& other);
    ~VESK_CProjection() override;

    VESK_InputCaseIterator* MakeIterator(OBS* buffer) const override;
    int64_t RowCount() const override;

    const ObsProjector& Projector() const { return fProjector; }

private:
    ObsProjector fProjector;
};

// Reads the parent of a projection and copies the projected cells.
class VESK_EXPORT VESK_CProjectionIterator : public VESK_InputCaseIterator {
public:
    VESK_CProjectionIterator(const VESK_CProjection& projection, OBS* buffer);
    ~VESK_CProjectionIterator() override;

    int IsSeekOK() override;
    int Seek(int64_t row) override;
    int64_t Tell() const override;

private:
    int Next() override;

    VESK_InputCaseIterator* fParentIter;  // owned; null without a parent source
    const ObsProjector& fProjector;
};
