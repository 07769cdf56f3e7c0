#include "trendsinfo.h"

#include <gtest/gtest.h>

#include <string>

#include "datasrc.h"
#include "errortext.h"
#include "memorydatastore.h"
#include "vesk_assert.h"
#include "vstream.h"

namespace {

VESK_Variable Named(int type, const char* name) {
    VESK_Variable v(type);
    v.SetName(name);
    return v;
}

OBS Num(double d) {
    OBS o;
    o.d = d;
    return o;
}

// Columns: id, YEAR_, MONTH_, DATE_ (string); two date variables and the key.
struct Fixture {
    MemoryDataStore source;
    VESK_TrendsInfo& info;

    Fixture() : info(source.GetTrendsInfo()) {
        source.MakeVariable(Named(0, "id"));
        source.MakeVariable(Named(0, "YEAR_"));
        source.MakeVariable(Named(0, "month_"));
        source.MakeVariable(Named(20, "DATE_"));
        info.SetNDateVars(2);
        info.SetDateVar(0, 1, VESK_TrendsInfo::e_YEAR, 1);
        info.SetDateVar(1, 2, VESK_TrendsInfo::e_MONTH, 12);
        info.SetDateVar(2, 3, VESK_TrendsInfo::e_DATKEY, 0);
        info.SetPeriod(true, 12);
        info.SetStart(1990, 1);
    }
};

int Column(const VESK_TrendsInfo& info, int i) {
    int column, type, extra;
    info.GetDateVar(i, column, type, extra);
    return column;
}

int Type(const VESK_TrendsInfo& info, int i) {
    int column, type, extra;
    info.GetDateVar(i, column, type, extra);
    return type;
}

int ErrorNumberOfLoad(VESK_TrendsInfo& info, std::string bytes) {
    try {
        VStream vs(bytes, VStream::kLoading);
        info.Serialize(vs);
    } catch (const VeskError& e) {
        return e.Number();
    }
    return 0;
}

}  // namespace

TEST(TrendsInfoTest, ValidateAfterDictionaryEdits) {
    {
        Fixture f;
        EXPECT_EQ(f.info.GetDataSource(), &f.source);
        EXPECT_TRUE(f.info.Validate());
        EXPECT_EQ(f.info.GetNDateVars(), 2);

        // Moving YEAR_ keeps it valid and updates the stored column.
        f.source.InsertVariable(0, Named(0, "first"));
        EXPECT_TRUE(f.info.Validate());
        EXPECT_EQ(Column(f.info, 0), 2);
        EXPECT_EQ(Column(f.info, 2), 4);

        // Renaming MONTH_ clears everything.
        VESK_Variable month = f.source.GetVariable(3);
        month.SetName("MONTHS");
        f.source.SetVariable(3, month);
        EXPECT_FALSE(f.info.Validate());
        EXPECT_EQ(f.info.GetNDateVars(), 0);
        int s1, s2;
        f.info.GetStart(s1, s2);
        EXPECT_EQ(s1, 1);
        bool given;
        int period;
        f.info.GetPeriod(given, period);
        EXPECT_TRUE(given);
        EXPECT_EQ(period, 12);  // a given period survives
        EXPECT_TRUE(f.info.Validate());  // nothing left to check
    }
    {
        // Deleting the key resets only the key entry.
        Fixture f;
        f.source.DeleteVariables(3, 3);
        EXPECT_FALSE(f.info.Validate());
        EXPECT_EQ(f.info.GetNDateVars(), 2);
        EXPECT_EQ(Type(f.info, 2), VESK_TrendsInfo::e_NONE);
        EXPECT_EQ(Column(f.info, 2), -1);
        EXPECT_EQ(Column(f.info, 1), 2);
        EXPECT_TRUE(f.info.Validate());
    }
    {
        // Deleting a date variable clears everything.
        Fixture f;
        f.source.DeleteVariables(1, 1);
        EXPECT_FALSE(f.info.Validate());
        EXPECT_EQ(f.info.GetNDateVars(), 0);
    }
    {
        // A numeric DATE_ fails; so does a string YEAR_.
        Fixture f;
        VESK_Variable date = f.source.GetVariable(3);
        date.SetType(0);
        f.source.SetVariable(3, date);
        EXPECT_FALSE(f.info.Validate());
        EXPECT_EQ(f.info.GetNDateVars(), 0);
        Fixture g;
        VESK_Variable year = g.source.GetVariable(1);
        year.SetType(4);
        g.source.SetVariable(1, year);
        EXPECT_FALSE(g.info.Validate());
    }
    {
        // A different variable given the deleted one's name is not the date variable.
        Fixture f;
        f.source.DeleteVariables(1, 1);
        f.source.InsertVariable(1, Named(0, "YEAR_"));
        EXPECT_FALSE(f.info.Validate());
    }
}

TEST(TrendsInfoTest, RangesAndPreconditions) {
    Fixture f;
    VESK_TrendsInfo& info = f.info;
    info.SetUse(true, false, 10, true, true, 7);
    bool fo, fd, to, td;
    long fc, tc;
    info.GetUse(fo, fd, fc, to, td, tc);
    EXPECT_TRUE(fo);
    EXPECT_FALSE(fd);
    EXPECT_EQ(fc, 10);
    EXPECT_TRUE(to);
    EXPECT_TRUE(td);
    EXPECT_EQ(tc, 0);  // by date: no case number
    info.SetUseVar(0, Num(1991), Num(1995));
    OBS from, to_;
    info.GetUseVar(0, from, to_);
    EXPECT_EQ(from.d, VESK_SYSMIS);
    EXPECT_EQ(to_.d, 1995);
    info.GetUseVar(1, from, to_);
    EXPECT_EQ(to_.d, VESK_SYSMIS);

    info.SetPred(false, true, 5, true, false, 20);
    info.GetPred(fo, fd, fc, to, td, tc);
    EXPECT_FALSE(fo);
    EXPECT_FALSE(fd);
    EXPECT_EQ(fc, 0);
    EXPECT_EQ(tc, 20);
    info.SetPredVar(1, Num(1), Num(2));
    info.GetPredVar(1, from, to_);
    EXPECT_EQ(from.d, VESK_SYSMIS);
    EXPECT_EQ(to_.d, VESK_SYSMIS);  // on, but by case number

    // A range given by case number survives Reset(true), not Reset(false).
    info.SetUse(true, false, 10, false, false, 0);
    info.Reset(true);
    info.GetUse(fo, fd, fc, to, td, tc);
    EXPECT_TRUE(fo);
    EXPECT_EQ(fc, 10);
    info.GetPred(fo, fd, fc, to, td, tc);
    EXPECT_EQ(tc, 20);
    info.Reset(false);
    info.GetUse(fo, fd, fc, to, td, tc);
    EXPECT_FALSE(fo);
    EXPECT_EQ(fc, 0);

    EXPECT_THROW(info.SetNDateVars(11), VESK_AssertFailed);
    info.SetNDateVars(0);
    int c, t, e;
    EXPECT_THROW(info.GetDateVar(0, c, t, e), VESK_AssertFailed);  // no entries
    info.SetNDateVars(1);
    EXPECT_THROW(info.SetDateVar(1, 1, VESK_TrendsInfo::e_YEAR, 1), VESK_AssertFailed);  // key slot
    EXPECT_THROW(info.SetDateVar(2, 1, VESK_TrendsInfo::e_DATKEY, 1), VESK_AssertFailed);
    EXPECT_THROW(info.SetUseVar(1, Num(0), Num(0)), VESK_AssertFailed);
    info.SetDateVar(1, 3, VESK_TrendsInfo::e_DATKEY, 0);
    info.SetDateVar(1, 3, VESK_TrendsInfo::e_NONE, 0);
    EXPECT_EQ(Column(info, 1), 3);  // e_NONE clears only the type
    EXPECT_EQ(Type(info, 1), VESK_TrendsInfo::e_NONE);

    VESK_TrendsInfo detached;
    EXPECT_THROW(detached.Validate(), VESK_AssertFailed);

    // Copies: construction takes the source pointer, assignment keeps the target's.
    VESK_TrendsInfo copy(f.info);
    EXPECT_EQ(copy.GetDataSource(), &f.source);
    EXPECT_TRUE(copy == f.info);
    detached = f.info;
    EXPECT_EQ(detached.GetDataSource(), nullptr);
    EXPECT_TRUE(detached == f.info);
}

TEST(TrendsInfoTest, SerializeRoundTrip) {
    Fixture f;
    f.info.SetUse(true, true, 0, true, false, 40);
    f.info.SetUseVar(1, Num(3), Num(4));
    f.info.SetPred(true, false, 41, true, true, 0);
    f.info.SetPredVar(0, Num(2000), Num(2001));

    std::string bytes;
    {
        VStream vs(bytes, VStream::kStoring);
        f.info.Serialize(vs);
    }
    MemoryDataStore other;
    other.CopyDictionary(f.source);
    VESK_TrendsInfo& loaded = other.GetTrendsInfo();
    loaded.Reset(false);
    {
        VStream vs(bytes, VStream::kLoading);
        loaded.Serialize(vs);
    }
    EXPECT_FALSE(loaded == f.info);  // ids are not serialised
    EXPECT_TRUE(loaded.UpdateVarIDs(&other));
    EXPECT_TRUE(loaded == f.info);
    EXPECT_TRUE(loaded.Validate());
    OBS from, to;
    loaded.GetPredVar(0, from, to);
    EXPECT_EQ(from.d, VESK_SYSMIS);
    EXPECT_EQ(to.d, 2001);
    loaded.GetUseVar(1, from, to);
    EXPECT_EQ(from.d, 3);
    EXPECT_EQ(to.d, VESK_SYSMIS);

    // Information without date variables round-trips too.
    VESK_TrendsInfo empty;
    std::string e;
    {
        VStream vs(e, VStream::kStoring);
        empty.Serialize(vs);
    }
    VESK_TrendsInfo emptyBack;
    {
        VStream vs(e, VStream::kLoading);
        emptyBack.Serialize(vs);
    }
    EXPECT_TRUE(emptyBack == empty);
    EXPECT_EQ(emptyBack.GetNDateVars(), 0);

    // Short or damaged data raises an error and leaves the information as it was.
    VESK_TrendsInfo keep(f.info);
    for (size_t cut : {size_t(0), size_t(3), size_t(30), bytes.size() - 1})
        EXPECT_EQ(ErrorNumberOfLoad(keep, bytes.substr(0, cut)), 1205) << cut;
    EXPECT_TRUE(keep == f.info);
    std::string badCount = bytes;
    badCount[0] = 11;
    EXPECT_EQ(ErrorNumberOfLoad(keep, badCount), 1204);
    std::string badType = bytes;
    // 41 bytes of header (count, start, period, four range ends), then the
    // first entry's index and type.
    badType[41 + 4] = 12;
    EXPECT_EQ(ErrorNumberOfLoad(keep, badType), 1204);
    EXPECT_TRUE(keep == f.info);

    // A damaged index cannot take an id.
    std::string badIndex = bytes;
    badIndex[41] = 50;
    VESK_TrendsInfo& target = other.GetTrendsInfo();
    {
        VStream vs(badIndex, VStream::kLoading);
        target.Serialize(vs);
    }
    EXPECT_FALSE(target.UpdateVarIDs(&other));
    EXPECT_FALSE(target.Validate());
    EXPECT_EQ(target.GetNDateVars(), 0);
}
