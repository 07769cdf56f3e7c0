// Subtype 6: date (time-series) information, 32-bit units: period given,
// period, number of date variables, second and first start value, a flag for
// date variables, then one triple (1-based cell, type, extra) per entry that
// has a type, closed by a triple of zeros unless the date key came last.
#define VESK_SOURCE_NAME "Datasource/src/SFExtensionTrendsInfo"

#include <vector>

#include "SFExtensionHandlers.h"

VESK_DEFINE_EXTENSION_HANDLER_INSTANCE(SFExtensionTrendsInfo)

namespace {
constexpr int32_t kFixedUnits = 6;
}

void SFExtensionTrendsInfo::BuildRecord(const VESK_DataSource& source, SystemFileWriterContext*,
                                        SystemFileExtensionRecord& rec) {
    // Checked on a copy so that a source other than the writer's is not reset.
    VESK_TrendsInfo info(source.GetTrendsInfo());
    info.SetDataSource(&source);
    info.Validate();

    bool periodGiven = false;
    int period = 1;
    info.GetPeriod(periodGiven, period);
    const int nDateVars = info.GetNDateVars();
    if (!periodGiven && nDateVars == 0) return;
    int first = 1, second = 1;
    info.GetStart(first, second);

    std::vector<int32_t> units = {periodGiven ? 1 : 0, period, nDateVars, second, first, nDateVars > 0 ? 1 : 0};
    bool keyLast = false;
    for (int i = 0; i <= nDateVars && nDateVars > 0; ++i) {
        int column = -1, type = 0, extra = 1;
        info.GetDateVar(i, column, type, extra);
        if (type == VESK_TrendsInfo::e_NONE) continue;
        units.push_back(source.ObsIndex(column) + 1);
        units.push_back(type);
        units.push_back(extra);
        keyLast = i == nDateVars;
    }
    if (!keyLast) units.insert(units.end(), {0, 0, 0});
    rec.SetInt32s(units.data(), int32_t(units.size()));
}

void SFExtensionTrendsInfo::ApplyRecord(VESK_DataSource& target, SystemFileOptions& options,
                                        const SystemFileExtensionRecord& rec) {
    SF_EXT_CHECK(rec.UnitSize() == sizeof(int32_t), "rec.UnitSize() == sizeof(int32)");
    const int64_t nElements = rec.NUnits();
    SF_EXT_CHECK(nElements >= kFixedUnits, "nElements >= 6");
    const ByteOrder order(options._reversed);
    const int64_t nDateVars = rec.Int32At(2, order);
    SF_EXT_CHECK(nElements >= 3 * nDateVars + 6, "nElements >= 3*nDateVars+6");
    SF_EXT_CHECK(nDateVars >= 0 && nDateVars < VESK_TrendsInfo::eMaxDateVars,
                 "nDateVars >= 0 && nDateVars < eMaxDateVars");

    VESK_TrendsInfo& info = target.GetTrendsInfo();
    info.SetNDateVars(int(nDateVars));
    const int nVars = int(target.ColumnCount());
    const int32_t nTriples = int32_t((nElements - kFixedUnits) / 3);
    int applied = 0;
    for (int32_t t = 0; t < nTriples; ++t) {
        const int32_t at = kFixedUnits + 3 * t;
        const int64_t p = int64_t(rec.Int32At(at, order)) - 1;
        if (p < 0) continue;
        const int32_t type = rec.Int32At(at + 1, order);
        const int32_t extra = rec.Int32At(at + 2, order);
        // Only the entries SetNDateVars made exist; the last is the date key.
        SF_EXT_CHECK(nDateVars > 0 && applied <= nDateVars, "nDateVars > 0 && iDateVar <= nDateVars");
        SF_EXT_CHECK(type >= VESK_TrendsInfo::e_NONE && type <= VESK_TrendsInfo::e_DATKEY,
                     "iType >= e_NONE && iType <= e_DATKEY");
        SF_EXT_CHECK(applied < nDateVars || type == VESK_TrendsInfo::e_DATKEY || type == VESK_TrendsInfo::e_NONE,
                     "iType == e_DATKEY || iType == e_NONE");
        // The first variable whose cells start at or after p; cells ascend.
        int lo = 0, hi = nVars;
        while (lo < hi) {
            const int mid = lo + (hi - lo) / 2;
            if (target.ObsIndex(mid) >= p) hi = mid;
            else lo = mid + 1;
        }
        const int iVar = lo;
        SF_EXT_CHECK(iVar < nVars, "iVar < nVars");
        info.SetDateVar(applied, iVar, type, extra);
        ++applied;
    }
    info.SetPeriod(rec.Int32At(0, order) != 0, rec.Int32At(1, order));
    info.SetStart(rec.Int32At(4, order), rec.Int32At(3, order));
}
