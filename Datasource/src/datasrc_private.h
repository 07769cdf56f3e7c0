// The private data of a data source, shared by its two source files.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "datasrc.h"

// Cell index of every variable, kept incrementally (see dsobs.cpp).
struct VESK_ObsLayout {
    std::vector<uint32_t> fCellIndex; // first cell of each variable, but for the pending shift
    uint32_t fTotalCells = 0;         // cells of a whole case
    uint32_t fLastVarCells = 0;       // cells of the last variable
    // A change of one column's cell count moves every later column. The move
    // of the columns from fShiftFrom on is pending here and folded into the
    // table only as far as a later change needs, so changing every column in
    // turn takes linear time. No pending shift when fShift is 0.
    size_t fShiftFrom = 0;
    uint32_t fShift = 0;              // added modulo 2^32, like the cell counts
};

// The upper-case names of a source's columns, hashed, for the name checks of
// GoodVarName. Built on the first check and kept current by the source's own
// operations. A name can also change through a modifiable handle the source
// gave out (GetVariable, MakeVariable), which the source does not see; such
// columns are remembered until the next insertion or deletion (when the
// handles become invalid) and re-read before every check.
class VESK_NameIndex {
public:
    VESK_NameIndex() = default;
    // A copy starts unbuilt: the copied source has given out no handles yet.
    VESK_NameIndex(const VESK_NameIndex&) {}
    VESK_NameIndex& operator=(const VESK_NameIndex&) {
        Reset();
        return *this;
    }

    // Whether some column's upper-case name is exactly `upper`.
    bool Taken(const std::vector<VESK_Variable>& dictionary, std::string_view upper);
    // A column was appended; its handle went out modifiable.
    void Appended(const std::vector<VESK_Variable>& dictionary);
    // A modifiable handle of the column went out, or the column was replaced.
    void Touch(size_t column);
    // After an insertion inside the dictionary or a deletion: rebuilt when next needed.
    void Reset();

private:
    void Build(const std::vector<VESK_Variable>& dictionary);
    void Add(size_t column, uint64_t hash);
    void Remove(size_t column);
    void Refresh(const std::vector<VESK_Variable>& dictionary);
    void ClearTouched();

    bool fBuilt = false;
    std::vector<uint64_t> fHashes;                         // per column, the hash it is filed under
    std::unordered_multimap<uint64_t, uint32_t> fColumns;  // hash -> columns
    std::vector<uint32_t> fTouched;                        // columns to re-read before a check
    std::vector<bool> fIsTouched;
};

struct VESK_DataSourcePrivate {
    VESK_DataSourcePrivate();
    VESK_DataSourcePrivate(const VESK_DataSourcePrivate&) = default;
    VESK_DataSourcePrivate& operator=(const VESK_DataSourcePrivate&) = default;

    double fTimestamp;
    int64_t fRowsPerImputation = 0;
    LocallyUniqueID fSplitIDs[VESK_DataSource::eMaxSplitVars];
    std::vector<VESK_Variable> fDictionary;
    VESK_ObsLayout fLayout;
    std::string fLabel;
    LocallyUniqueID fWeightID;
    LocallyUniqueID fFilterID;
    uint32_t fnSplitVars = 0;
    const VESK_DataSource* fParent = nullptr;
    std::vector<VESK_DataSource::Observer*> fObservers;
    std::vector<VESK_DataSource::ExtensionPtr> fExtensions;
    ExtNameStr fFileSpec;
    VESK_TrendsInfo fTrendsInfo;
    DatasourceAttributes fAttributes;
    std::vector<VariableSetImpl> fVariableSets;
    std::vector<VariableSetImpl> fMRSets;
    SortIndexInfo fSortIndexInfo;
    DataEditorFormattingInfo fDEFormattingInfo;
    VESK_NameIndex fNames;
    bool fDirty = true;
    bool fSplitSeparate = false;
    bool fHasLabel = false;
    bool fIndexValid = false;
};
