// The pass-through iterator lives apart from the case family so that only
// programs that read through derived sources link the projector.
#define VESK_SOURCE_NAME "Datasource/src/case"

#include "ObsProjector.h"
#include "case.h"
#include "datasrc.h"

PassThroughIter::PassThroughIter(const VESK_DataSource& source, OBS* buffer, const ObsProjector* projector)
    : VESK_InputCaseIterator(source, buffer), fParentIter(nullptr), fProjector(projector) {
    if (const VESK_DataSource* parent = source.GetParentSource()) {
        // Without a projector the parent writes straight into this case.
        fParentIter = parent->MakeIterator(projector ? nullptr : GetCase().Cells());
        SetParent(fParentIter);
    }
}

PassThroughIter::~PassThroughIter() {
    delete fParentIter;
    fParentIter = nullptr;
    GetCase().SetParent(nullptr);
}

int PassThroughIter::Next() {
    if (!fParentIter) return 0;
    int result = fParentIter->NextCase();
    if (result && fProjector) fProjector->Copy(fParentIter->GetCase().Cells(), GetCase().Cells());
    return result;
}

int PassThroughIter::IsSeekOK() { return fParentIter ? fParentIter->IsSeekOK() : 0; }

int PassThroughIter::Seek(int64_t caseNumber) { return fParentIter ? fParentIter->Seek(caseNumber) : 0; }

int64_t PassThroughIter::Tell() const { return fParentIter ? fParentIter->Tell() : 0; }
