#include "trendsinfo.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "datasrc.h"
#include "errortext.h"
#include "memorydatastore.h"
#include "vesk_assert.h"
#include "vstream.h"

namespace {

using Ints = std::vector<int>;
using Longs = std::vector<long>;
using Cells = std::vector<double>;

VESK_Variable Named(int type, const char* name) {
    VESK_Variable v(type);
    v.SetName(name);
    return v;
}

OBS Num(double d) { return OBS{.d = d}; }

// Columns: id, YEAR_, MONTH_, DATE_ (string); two date variables and the key.
struct Fixture {
    MemoryDataStore source;
    VESK_TrendsInfo& info;
    Fixture() : info(source.GetTrendsInfo()) {
        for (auto [type, name] : {std::pair(0, "id"), {0, "YEAR_"}, {0, "month_"}, {20, "DATE_"}})
            source.MakeVariable(Named(type, name));
        info.SetNDateVars(2);
        info.SetDateVar(0, 1, VESK_TrendsInfo::e_YEAR, 1);
        info.SetDateVar(1, 2, VESK_TrendsInfo::e_MONTH, 12);
        info.SetDateVar(2, 3, VESK_TrendsInfo::e_DATKEY, 0);
        info.SetPeriod(true, 12);
        info.SetStart(1990, 1);
    }
    void Edit(int column, const std::function<void(VESK_Variable&)>& change) {
        VESK_Variable v = source.GetVariable(column);
        change(v);
        source.SetVariable(column, v);
    }
};

Ints Entry(const VESK_TrendsInfo& info, int i) {
    int column, type, extra;
    info.GetDateVar(i, column, type, extra);
    return {column, type, extra};
}

// Entry count, start, period given and period, then the column of each entry.
Ints Header(const VESK_TrendsInfo& info) {
    int first, second, period;
    bool given;
    info.GetStart(first, second);
    info.GetPeriod(given, period);
    Ints out{info.GetNDateVars(), first, second, given, period};
    for (int i = 0; i <= info.GetNDateVars() && info.GetNDateVars() > 0; ++i) out.push_back(Entry(info, i)[0]);
    return out;
}

// The use or prediction range: on, by date and case number of each end.
Longs Range(const VESK_TrendsInfo& info, bool use) {
    bool fo, fd, to, td;
    long fc, tc;
    (info.*(use ? &VESK_TrendsInfo::GetUse : &VESK_TrendsInfo::GetPred))(fo, fd, fc, to, td, tc);
    return {fo, fd, fc, to, td, tc};
}

// The two cells of an entry's use or prediction range.
Cells RangeVar(const VESK_TrendsInfo& info, bool use, int i) {
    OBS from, to;
    (info.*(use ? &VESK_TrendsInfo::GetUseVar : &VESK_TrendsInfo::GetPredVar))(i, from, to);
    return {from.d, to.d};
}

// Loads the bytes into the information: the error number raised, or 0.
int Load(VESK_TrendsInfo& info, std::string bytes) {
    try {
        VStream vs(bytes, VStream::kLoading);
        info.Serialize(vs);
    } catch (const VeskError& e) {
        return e.Number();
    }
    return 0;
}

std::string Store(VESK_TrendsInfo& info) {
    std::string bytes;
    VStream vs(bytes, VStream::kStoring);
    info.Serialize(vs);
    return bytes;
}

}  // namespace

TEST(TrendsInfoTest, ValidateAfterDictionaryEdits) {
    const Ints cleared{0, 1, 1, true, 12};  // everything but a given period
    const struct {
        std::function<void(Fixture&)> edit;
        bool valid;
        Ints header;
    } cases[] = {
        {[](Fixture&) {}, true, {2, 1990, 1, true, 12, 1, 2, 3}},
        // Moving the variables keeps it valid and updates the stored columns.
        {[](Fixture& f) { f.source.InsertVariable(0, Named(0, "first")); }, true, {2, 1990, 1, true, 12, 2, 3, 4}},
        // Deleting the key resets only the key entry.
        {[](Fixture& f) { f.source.DeleteVariables(3, 3); }, false, {2, 1990, 1, true, 12, 1, 2, -1}},
        // Renaming or deleting a date variable, a numeric DATE_, a string
        // YEAR_, or a new variable given the deleted one's name.
        {[](Fixture& f) { f.Edit(2, [](VESK_Variable& v) { v.SetName("MONTHS"); }); }, false, cleared},
        {[](Fixture& f) { f.source.DeleteVariables(1, 1); }, false, cleared},
        {[](Fixture& f) { f.Edit(3, [](VESK_Variable& v) { v.SetType(0); }); }, false, cleared},
        {[](Fixture& f) { f.Edit(1, [](VESK_Variable& v) { v.SetType(4); }); }, false, cleared},
        {[](Fixture& f) {
             f.source.DeleteVariables(1, 1);
             f.source.InsertVariable(1, Named(0, "YEAR_"));
         },
         false, cleared},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        Fixture f;
        cases[i].edit(f);
        EXPECT_EQ(f.info.Validate(), cases[i].valid) << i;
        EXPECT_EQ(Header(f.info), cases[i].header) << i;
        EXPECT_TRUE(f.info.Validate()) << i;  // nothing left to clear
        if (i == 2) {
            EXPECT_EQ(Entry(f.info, 2), (Ints{-1, VESK_TrendsInfo::e_NONE, 1}));
        }
    }
}

TEST(TrendsInfoTest, RangesAndPreconditions) {
    Fixture f;
    VESK_TrendsInfo& info = f.info;
    constexpr double kSys = VESK_SYSMIS;
    info.SetUse(true, false, 10, true, true, 7);
    EXPECT_EQ(Range(info, true), (Longs{1, 0, 10, 1, 1, 0}));  // by date: no case number
    info.SetUseVar(0, Num(1991), Num(1995));
    EXPECT_EQ(RangeVar(info, true, 0), (Cells{kSys, 1995}));
    EXPECT_EQ(RangeVar(info, true, 1), (Cells{kSys, kSys}));
    info.SetPred(false, true, 5, true, false, 20);
    EXPECT_EQ(Range(info, false), (Longs{0, 0, 0, 1, 0, 20}));
    info.SetPredVar(1, Num(1), Num(2));
    EXPECT_EQ(RangeVar(info, false, 1), (Cells{kSys, kSys}));  // on, but by case number
    // A range given by case number survives Reset(true), not Reset(false).
    info.SetUse(true, false, 10, false, false, 0);
    info.Reset(true);
    EXPECT_EQ(Range(info, true), (Longs{1, 0, 10, 0, 0, 0}));
    EXPECT_EQ(Range(info, false)[5], 20);
    info.Reset(false);
    EXPECT_EQ(Range(info, true), (Longs{0, 0, 0, 0, 0, 0}));
    EXPECT_THROW(info.SetNDateVars(11), VESK_AssertFailed);
    info.SetNDateVars(0);
    EXPECT_THROW(Entry(info, 0), VESK_AssertFailed);  // no entries
    info.SetNDateVars(1);
    EXPECT_THROW(info.SetDateVar(1, 1, VESK_TrendsInfo::e_YEAR, 1), VESK_AssertFailed);  // key slot
    EXPECT_THROW(info.SetDateVar(2, 1, VESK_TrendsInfo::e_DATKEY, 1), VESK_AssertFailed);
    EXPECT_THROW(info.SetUseVar(1, Num(0), Num(0)), VESK_AssertFailed);
    info.SetDateVar(1, 3, VESK_TrendsInfo::e_DATKEY, 0);
    info.SetDateVar(1, 3, VESK_TrendsInfo::e_NONE, 0);
    EXPECT_EQ(Entry(info, 1), (Ints{3, VESK_TrendsInfo::e_NONE, 0}));  // e_NONE clears only the type
    VESK_TrendsInfo detached;
    EXPECT_THROW(detached.Validate(), VESK_AssertFailed);
    // Copies: construction takes the source pointer, assignment keeps the target's.
    VESK_TrendsInfo copy(f.info);
    detached = f.info;
    EXPECT_TRUE(copy.GetDataSource() == &f.source && detached.GetDataSource() == nullptr);
    EXPECT_TRUE(copy == f.info && detached == f.info);
}

TEST(TrendsInfoTest, SerializeRoundTrip) {
    Fixture f;
    f.info.SetUse(true, true, 0, true, false, 40);
    f.info.SetUseVar(1, Num(3), Num(4));
    f.info.SetPred(true, false, 41, true, true, 0);
    f.info.SetPredVar(0, Num(2000), Num(2001));
    const std::string bytes = Store(f.info);
    MemoryDataStore other;
    other.CopyDictionary(f.source);
    VESK_TrendsInfo& loaded = other.GetTrendsInfo();
    loaded.Reset(false);
    ASSERT_EQ(Load(loaded, bytes), 0);
    EXPECT_FALSE(loaded == f.info);  // ids are not serialised
    EXPECT_TRUE(loaded.UpdateVarIDs(&other));
    EXPECT_TRUE(loaded == f.info);
    EXPECT_TRUE(loaded.Validate());
    EXPECT_EQ(RangeVar(loaded, false, 0), (Cells{VESK_SYSMIS, 2001}));
    EXPECT_EQ(RangeVar(loaded, true, 1), (Cells{3, VESK_SYSMIS}));
    // Information without date variables round-trips too.
    VESK_TrendsInfo empty, emptyBack;
    EXPECT_TRUE(Load(emptyBack, Store(empty)) == 0 && emptyBack == empty);
    // Short or damaged data raises an error and leaves the information as it was.
    VESK_TrendsInfo keep(f.info);
    for (size_t cut : {size_t(0), size_t(3), size_t(30), bytes.size() - 1})
        EXPECT_EQ(Load(keep, bytes.substr(0, cut)), 1205) << cut;
    // 41 bytes of header (count, start, period, four range ends), then the
    // first entry's index and type: a count of 11, a type of 12.
    for (size_t at : {size_t(0), size_t(41 + 4)}) {
        std::string bad = bytes;
        bad[at] = char(11 + (at > 0));
        EXPECT_EQ(Load(keep, bad), 1204) << at;
    }
    EXPECT_TRUE(keep == f.info);
    // A damaged index cannot take an id.
    std::string badIndex = bytes;
    badIndex[41] = 50;
    ASSERT_EQ(Load(loaded, badIndex), 0);
    EXPECT_FALSE(loaded.UpdateVarIDs(&other));
    EXPECT_FALSE(loaded.Validate());
    EXPECT_EQ(loaded.GetNDateVars(), 0);
}
