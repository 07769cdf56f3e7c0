// The private data of a data source, shared by its two source files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "datasrc.h"

// Cell index of every variable, kept incrementally (see dsobs.cpp).
struct VESK_ObsLayout {
    std::vector<uint32_t> fCellIndex; // first cell of each variable
    uint32_t fTotalCells = 0;         // cells of a whole case
    uint32_t fLastVarCells = 0;       // cells of the last variable
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
    bool fDirty = true;
    bool fSplitSeparate = false;
    bool fHasLabel = false;
    bool fIndexValid = false;
};
