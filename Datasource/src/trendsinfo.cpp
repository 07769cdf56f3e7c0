#define VESK_SOURCE_NAME "Datasource/src/trendsinfo"

#include "trendsinfo.h"

#include "datasrc.h"
#include "errortext.h"
#include "vesk_assert.h"
#include "vstream.h"

const char* const pszDateVarNames[12] = {"",     "CYCLE_", "YEAR_",   "QUARTER_", "MONTH_", "WEEK_",
                                         "DAY_", "HOUR_",  "MINUTE_", "SECOND_",  "OBS_",   "DATE_"};

namespace {

// Stores one end of a range: by date only when on, a case number only when on
// and not by date.
void SetEnd(VESK_TrendsInfo::RangeEnd& end, bool on, bool byDate, long caseNumber) {
    end.fOn = on;
    end.fByDate = on && byDate;
    end.fCase = (on && !byDate) ? int32_t(caseNumber) : 0;
}

void GetEnd(const VESK_TrendsInfo::RangeEnd& end, bool& on, bool& byDate, long& caseNumber) {
    on = end.fOn;
    byDate = end.fByDate;
    caseNumber = end.fCase;
}

// A range given by case number survives Reset(true).
void ClearUnlessByCase(VESK_TrendsInfo::RangeEnd& end) {
    if (!end.fOn || end.fByDate) end = VESK_TrendsInfo::RangeEnd();
}

OBS Filler(double missing) {
    OBS o;
    o.d = missing;
    return o;
}

// The use range and the prediction range are kept alike: two ends in the
// header and, per date variable, the two cells of a range given by date.
struct RangeFields {
    VESK_TrendsInfo::RangeEnd VESK_TrendsInfo::Data::*from;
    VESK_TrendsInfo::RangeEnd VESK_TrendsInfo::Data::*to;
    OBS VESK_TrendsInfo::DateVar::*varFrom;
    OBS VESK_TrendsInfo::DateVar::*varTo;
};
constexpr RangeFields kUse{&VESK_TrendsInfo::Data::fUseFrom, &VESK_TrendsInfo::Data::fUseTo,
                           &VESK_TrendsInfo::DateVar::fUseFrom, &VESK_TrendsInfo::DateVar::fUseTo};
constexpr RangeFields kPred{&VESK_TrendsInfo::Data::fPredFrom, &VESK_TrendsInfo::Data::fPredTo,
                            &VESK_TrendsInfo::DateVar::fPredFrom, &VESK_TrendsInfo::DateVar::fPredTo};

// Setting a range's ends clears the dates the variables held for it.
void SetRange(VESK_TrendsInfo::Data& d, const RangeFields& r, bool fromOn, bool fromByDate, long fromCase, bool toOn,
              bool toByDate, long toCase) {
    SetEnd(d.*r.from, fromOn, fromByDate, fromCase);
    SetEnd(d.*r.to, toOn, toByDate, toCase);
    if (!d.fVars) return;
    for (int32_t i = 0; i < d.fnDateVars; ++i) d.fVars[i].*r.varFrom = d.fVars[i].*r.varTo = Filler(d.fMissing);
}

// A variable's dates count only for the ends given by date.
void SetRangeVar(VESK_TrendsInfo::Data& d, const RangeFields& r, int iDateVar, OBS from, OBS to) {
    VESK_ASSERT(iDateVar >= 0 && iDateVar < d.fnDateVars);
    VESK_TrendsInfo::DateVar& entry = d.fVars[iDateVar];
    const VESK_TrendsInfo::RangeEnd& f = d.*r.from;
    const VESK_TrendsInfo::RangeEnd& t = d.*r.to;
    entry.*r.varFrom = (f.fOn && f.fByDate) ? from : Filler(d.fMissing);
    entry.*r.varTo = (t.fOn && t.fByDate) ? to : Filler(d.fMissing);
}

void TransferEnd(VStream& vs, VESK_TrendsInfo::RangeEnd& end) {
    vs.Transfer(end.fOn);
    vs.Transfer(end.fByDate);
    vs.Transfer(end.fCase);
}

}  // namespace

void VESK_TrendsInfo::Reset(bool keep) {
    fData.fnDateVars = 0;
    fData.fVars.reset();
    fData.fStart[0] = 1;
    fData.fStart[1] = 1;
    if (!keep) {
        fData.fPeriod = 1;
        fData.fUseFrom = fData.fUseTo = fData.fPredFrom = fData.fPredTo = RangeEnd();
        return;
    }
    if (!fData.fPeriodGiven) fData.fPeriod = 1;
    ClearUnlessByCase(fData.fUseFrom);
    ClearUnlessByCase(fData.fUseTo);
    ClearUnlessByCase(fData.fPredFrom);
    ClearUnlessByCase(fData.fPredTo);
}

void VESK_TrendsInfo::SetNDateVars(int nDateVars) {
    VESK_ASSERT(nDateVars < eMaxDateVars);
    Reset(true);
    fData.fnDateVars = nDateVars;
    if (nDateVars > 0) fData.fVars = std::make_unique<DateVar[]>(size_t(nDateVars) + 1);
}

void VESK_TrendsInfo::SetDateVar(int iDateVar, int column, int iType, int extra) {
    VESK_ASSERT(iDateVar >= 0 && fData.fVars != 0);
    VESK_ASSERT(iDateVar < fData.fnDateVars || (iDateVar == fData.fnDateVars && (iType == e_DATKEY || iType == e_NONE)));
    DateVar& entry = fData.fVars[iDateVar];
    if (iType == e_NONE) {
        entry.fType = e_NONE;
        return;
    }
    entry.fIndex = column;
    entry.fID = fpDataSource ? fpDataSource->GetVariable(column).GetID() : LocallyUniqueID::None();
    entry.fType = iType;
    entry.fExtra = extra;
}

void VESK_TrendsInfo::GetDateVar(int iDateVar, int& column, int& type, int& extra) const {
    VESK_ASSERT(iDateVar >= 0 && iDateVar <= fData.fnDateVars && fData.fVars != 0);
    const DateVar& entry = fData.fVars[iDateVar];
    column = entry.fIndex;
    type = entry.fType;
    extra = entry.fExtra;
}

void VESK_TrendsInfo::SetStart(int first, int second) {
    fData.fStart[0] = first;
    fData.fStart[1] = second;
}

void VESK_TrendsInfo::GetStart(int& first, int& second) const {
    first = fData.fStart[0];
    second = fData.fStart[1];
}

void VESK_TrendsInfo::SetPeriod(bool given, int period) {
    fData.fPeriodGiven = given;
    fData.fPeriod = period;
}

void VESK_TrendsInfo::GetPeriod(bool& given, int& period) const {
    given = fData.fPeriodGiven;
    period = fData.fPeriod;
}

void VESK_TrendsInfo::SetUse(bool fromOn, bool fromByDate, long fromCase, bool toOn, bool toByDate, long toCase) {
    SetRange(fData, kUse, fromOn, fromByDate, fromCase, toOn, toByDate, toCase);
}

void VESK_TrendsInfo::GetUse(bool& fromOn, bool& fromByDate, long& fromCase, bool& toOn, bool& toByDate,
                             long& toCase) const {
    GetEnd(fData.fUseFrom, fromOn, fromByDate, fromCase);
    GetEnd(fData.fUseTo, toOn, toByDate, toCase);
}

void VESK_TrendsInfo::SetUseVar(int iDateVar, OBS from, OBS to) { SetRangeVar(fData, kUse, iDateVar, from, to); }

void VESK_TrendsInfo::GetUseVar(int iDateVar, OBS& from, OBS& to) const {
    VESK_ASSERT(iDateVar >= 0 && iDateVar < fData.fnDateVars);
    from = fData.fVars[iDateVar].fUseFrom;
    to = fData.fVars[iDateVar].fUseTo;
}

void VESK_TrendsInfo::SetPred(bool fromOn, bool fromByDate, long fromCase, bool toOn, bool toByDate, long toCase) {
    SetRange(fData, kPred, fromOn, fromByDate, fromCase, toOn, toByDate, toCase);
}

void VESK_TrendsInfo::GetPred(bool& fromOn, bool& fromByDate, long& fromCase, bool& toOn, bool& toByDate,
                              long& toCase) const {
    GetEnd(fData.fPredFrom, fromOn, fromByDate, fromCase);
    GetEnd(fData.fPredTo, toOn, toByDate, toCase);
}

void VESK_TrendsInfo::SetPredVar(int iDateVar, OBS from, OBS to) { SetRangeVar(fData, kPred, iDateVar, from, to); }

void VESK_TrendsInfo::GetPredVar(int iDateVar, OBS& from, OBS& to) const {
    VESK_ASSERT(iDateVar >= 0 && iDateVar < fData.fnDateVars);
    from = fData.fVars[iDateVar].fPredFrom;
    to = fData.fVars[iDateVar].fPredTo;
}

bool VESK_TrendsInfo::UpdateVarIDs(const VESK_DataSource* source) {
    if (!source) return true;
    if (!fData.fVars) return true;
    const VESK_DataSource& ds = fpDataSource ? *fpDataSource : *source;
    bool ok = true;
    for (int32_t i = 0; i <= fData.fnDateVars; ++i) {
        DateVar& entry = fData.fVars[i];
        if (entry.fIndex >= 0) {
            // An index from a damaged record may lie beyond the dictionary.
            entry.fID = unsigned(entry.fIndex) < ds.ColumnCount() ? ds.GetVariable(entry.fIndex).GetID()
                                                                   : LocallyUniqueID::None();
            if (entry.fID.IsNone()) ok = false;
        } else if (entry.fType != e_NONE) {
            ok = false;
        }
    }
    return ok;
}

bool VESK_TrendsInfo::Validate() {
    VESK_ASSERT(fpDataSource);
    if (fData.fnDateVars < 1 || !fData.fVars) return true;
    const VESK_DataSource& ds = *fpDataSource;
    bool keyReset = false;
    bool failed = false;
    for (int32_t i = 0; i <= fData.fnDateVars && !failed; ++i) {
        DateVar& entry = fData.fVars[i];
        if (entry.fType == e_NONE) continue;
        int found = -1;
        if (entry.fIndex >= 0 && unsigned(entry.fIndex) < ds.ColumnCount() &&
            ds.GetVariable(entry.fIndex).GetID() == entry.fID)
            found = entry.fIndex;
        else if (!entry.fID.IsNone())
            found = ds.FindVarIndex(entry.fID);
        if (found < 0) {
            if (i < fData.fnDateVars) {
                failed = true;
            } else {
                entry = DateVar();
                keyReset = true;
            }
            continue;
        }
        entry.fIndex = found;
        const VESK_Variable& var = ds.GetVariable(found);
        if (entry.fType < e_CYCLE || entry.fType > e_DATKEY || var.GetUpperCaseName() != pszDateVarNames[entry.fType] ||
            (entry.fType == e_DATKEY) != (var.GetType() != 0))
            failed = true;
    }
    if (failed) {
        Reset(true);
        return false;
    }
    return !keyReset;
}

void VESK_TrendsInfo::Serialize(VStream& vs) {
    if (!vs.IsLoading()) {
        TransferBody(vs, fData);
        return;
    }
    // Loading fills a fresh body, so that damaged or short data leaves this
    // information as it was.
    Data loaded;
    TransferBody(vs, loaded);
    fData = loaded;
}

void VESK_TrendsInfo::TransferBody(VStream& vs, Data& d) {
    const bool loading = vs.IsLoading();
    vs.Transfer(d.fnDateVars);
    if (loading && (d.fnDateVars < 0 || d.fnDateVars >= eMaxDateVars))
        ThrowError::String1(DATASRC_ERR, DatasrcMsg::Malformed, "date information");
    vs.Transfer(d.fStart[0]);
    vs.Transfer(d.fStart[1]);
    vs.Transfer(d.fPeriodGiven);
    vs.Transfer(d.fPeriod);
    TransferEnd(vs, d.fUseFrom);
    TransferEnd(vs, d.fUseTo);
    TransferEnd(vs, d.fPredFrom);
    TransferEnd(vs, d.fPredTo);
    if (loading) {
        d.fMissing = VESK_SYSMIS;
        d.fVars = std::make_unique<DateVar[]>(size_t(d.fnDateVars) + 1);
    }
    for (int32_t i = 0; i <= d.fnDateVars; ++i) {
        // Information without entries is stored with one default key entry.
        DateVar none;
        DateVar& entry = d.fVars ? d.fVars[i] : none;
        vs.Transfer(entry.fIndex);
        vs.Transfer(entry.fType);
        vs.Transfer(entry.fExtra);
        vs.Transfer(entry.fUseFrom.d);
        vs.Transfer(entry.fUseTo.d);
        vs.Transfer(entry.fPredFrom.d);
        vs.Transfer(entry.fPredTo.d);
        if (loading && (entry.fType < e_NONE || entry.fType > e_DATKEY))
            ThrowError::String1(DATASRC_ERR, DatasrcMsg::Malformed, "date information");
    }
}
