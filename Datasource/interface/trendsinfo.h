// Date (time-series) information of a data source: which variables are the
// generated date variables, the periodicity and start of the series, and the
// use and predict ranges. Every data source holds one and points it at itself.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>

#include "obs.h"
#include "variable.h"
#include "vesk_export.h"

class VESK_DataSource;
class VStream;

// The variable name each date-variable type requires, indexed by type (empty
// for e_NONE): "CYCLE_", "YEAR_", ... "OBS_", "DATE_".
extern VESK_EXPORT const char* const pszDateVarNames[12];

class VESK_EXPORT VESK_TrendsInfo {
public:
    enum { eMaxDateVars = 11 };
    // Date-variable types; each requires its variable name (CYCLE_, ... DATE_).
    enum DateVarType : int32_t {
        e_NONE = 0,
        e_CYCLE = 1,
        e_YEAR = 2,
        e_QUARTER = 3,
        e_MONTH = 4,
        e_WEEK = 5,
        e_DAY = 6,
        e_HOUR = 7,
        e_MINUTE = 8,
        e_SECOND = 9,
        e_OBS = 10,
        e_DATKEY = 11,
    };

    // One date variable (or, as the last entry, the date key).
    struct DateVar {
        DateVar() { fUseFrom.d = fUseTo.d = fPredFrom.d = fPredTo.d = VESK_SYSMIS; }
        OBS fUseFrom;
        OBS fUseTo;
        OBS fPredFrom;
        OBS fPredTo;
        LocallyUniqueID fID;
        int32_t fIndex = -1;
        int32_t fType = e_NONE;
        int32_t fExtra = 1;
    };

    // One end of a range.
    struct RangeEnd {
        bool fOn = false;
        bool fByDate = false; // given by date values rather than a case number
        int32_t fCase = 0;
        bool operator==(const RangeEnd& o) const {
            return fOn == o.fOn && fByDate == o.fByDate && fCase == o.fCase;
        }
    };

    struct Data {
        Data() = default;
        Data(const Data& o) { *this = o; }
        Data& operator=(const Data& o) {
            if (this == &o) return *this;
            fnDateVars = o.fnDateVars;
            fVars.reset();
            if (o.fVars) {
                fVars = std::make_unique<DateVar[]>(size_t(o.fnDateVars) + 1);
                for (int32_t i = 0; i <= o.fnDateVars; ++i) fVars[i] = o.fVars[i];
            }
            fStart[0] = o.fStart[0];
            fStart[1] = o.fStart[1];
            fPeriodGiven = o.fPeriodGiven;
            fPeriod = o.fPeriod;
            fUseFrom = o.fUseFrom;
            fUseTo = o.fUseTo;
            fPredFrom = o.fPredFrom;
            fPredTo = o.fPredTo;
            fMissing = o.fMissing;
            return *this;
        }

        int32_t fnDateVars = 0;
        // fnDateVars + 1 entries (the last is the date key), or null.
        std::unique_ptr<DateVar[]> fVars;
        int32_t fStart[2] = {1, 1};
        bool fPeriodGiven = false;
        int32_t fPeriod = 1;
        RangeEnd fUseFrom;
        RangeEnd fUseTo;
        RangeEnd fPredFrom;
        RangeEnd fPredTo;
        double fMissing = VESK_SYSMIS; // filler for unset date values
    };

    VESK_TrendsInfo() = default;
    // Copies the data-source pointer too.
    VESK_TrendsInfo(const VESK_TrendsInfo& o) = default;
    // Keeps this information's own data-source pointer.
    VESK_TrendsInfo& operator=(const VESK_TrendsInfo& o) {
        fData = o.fData;
        return *this;
    }
    virtual ~VESK_TrendsInfo() = default;

    void SetDataSource(const VESK_DataSource* source) { fpDataSource = source; }
    const VESK_DataSource* GetDataSource() const { return fpDataSource; }

    // Drops the date variables and sets start to (1, 1). With keep false the
    // period becomes 1 and every range is cleared; with keep true the period
    // becomes 1 only when none is given and a range given by case number stays.
    void Reset(bool keep);
    // Reset(true), then n date variables (n + 1 default entries, the last for
    // the date key; none for n = 0). n must be below eMaxDateVars.
    void SetNDateVars(int nDateVars);
    int GetNDateVars() const { return fData.fnDateVars; }
    // Entry iDateVar (fnDateVars: the date key, of type e_DATKEY or e_NONE)
    // describes the variable in column; type e_NONE only clears the type.
    void SetDateVar(int iDateVar, int column, int iType, int extra);
    void GetDateVar(int iDateVar, int& column, int& type, int& extra) const;

    void SetStart(int first, int second);
    void GetStart(int& first, int& second) const;
    void SetPeriod(bool given, int period);
    void GetPeriod(bool& given, int& period) const;

    // Each end: a case number is kept only when the end is on and not by
    // date. Clears the per-variable use values.
    void SetUse(bool fromOn, bool fromByDate, long fromCase, bool toOn, bool toByDate, long toCase);
    void GetUse(bool& fromOn, bool& fromByDate, long& fromCase, bool& toOn, bool& toByDate, long& toCase) const;
    // Each value is kept only when its end is on and given by date.
    void SetUseVar(int iDateVar, OBS from, OBS to);
    void GetUseVar(int iDateVar, OBS& from, OBS& to) const;
    void SetPred(bool fromOn, bool fromByDate, long fromCase, bool toOn, bool toByDate, long toCase);
    void GetPred(bool& fromOn, bool& fromByDate, long& fromCase, bool& toOn, bool& toByDate, long& toCase) const;
    void SetPredVar(int iDateVar, OBS from, OBS to);
    void GetPredVar(int iDateVar, OBS& from, OBS& to) const;

    // Takes the ids of the entries' columns from this information's data
    // source. False when an indexed column has no id, or an entry without a
    // column has a type; true at once when source is null.
    bool UpdateVarIDs(const VESK_DataSource* source);
    // Re-finds the date variables by id after dictionary edits and checks
    // their names and types. A missing or misnamed date variable resets
    // everything (Reset(true)) and answers false; a missing date key resets
    // only the key entry and answers false.
    bool Validate();
    // Transfers the information (without ids) through the stream, in the
    // same order for storing and loading. Loading raises error 1204 for
    // counts or types out of range.
    void Serialize(VStream& stream);

    // Equal bodies; entries compare their values bit for bit, and the key entry
    // only by id, index and type. Data-source pointers do not count.
    bool operator==(const VESK_TrendsInfo& o) const {
        const Data& a = fData;
        const Data& b = o.fData;
        if (a.fnDateVars != b.fnDateVars || a.fStart[0] != b.fStart[0] || a.fStart[1] != b.fStart[1] ||
            a.fPeriodGiven != b.fPeriodGiven || a.fPeriod != b.fPeriod || !(a.fUseFrom == b.fUseFrom) ||
            !(a.fUseTo == b.fUseTo) || !(a.fPredFrom == b.fPredFrom) || !(a.fPredTo == b.fPredTo) ||
            std::memcmp(&a.fMissing, &b.fMissing, sizeof(double)) != 0)
            return false;
        if (a.fnDateVars <= 0) return true;
        if (!a.fVars || !b.fVars) return !a.fVars && !b.fVars;
        for (int32_t i = 0; i < a.fnDateVars; ++i) {
            const DateVar& x = a.fVars[i];
            const DateVar& y = b.fVars[i];
            if (x.fUseFrom.bits != y.fUseFrom.bits || x.fUseTo.bits != y.fUseTo.bits ||
                x.fPredFrom.bits != y.fPredFrom.bits || x.fPredTo.bits != y.fPredTo.bits || x.fID != y.fID ||
                x.fIndex != y.fIndex || x.fType != y.fType || x.fExtra != y.fExtra)
                return false;
        }
        const DateVar& x = a.fVars[a.fnDateVars];
        const DateVar& y = b.fVars[a.fnDateVars];
        return x.fID == y.fID && x.fIndex == y.fIndex && x.fType == y.fType;
    }
    bool operator!=(const VESK_TrendsInfo& o) const { return !(*this == o); }

protected:
    static void TransferBody(VStream& stream, Data& data);

    const VESK_DataSource* fpDataSource = nullptr;
    Data fData;
};
