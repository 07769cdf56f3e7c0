#include "dictnry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <utility>

#include "case.h"
#include "datasrc.h"
#include "errortext.h"
#include "memorydatastore.h"

namespace {

// A source whose cases nobody stores.
class ReadOnlySource : public VESK_DataSource {
public:
    VESK_InputCaseIterator* MakeIterator(OBS*) const override { return nullptr; }
};

// numeric, string 8, string 20, numeric
void FourVariables(VESK_DataSource& ds) {
    ds.MakeVariable(0);
    ds.MakeVariable(8);
    ds.MakeVariable(20);
    ds.MakeVariable(0);
}

std::vector<int> Slots(const VESK_FortranDictionary& d) {
    std::vector<int> s;
    for (unsigned p = 1; p <= d.Count(); ++p) s.push_back(d.GetIndex(int(p)));
    return s;
}

}  // namespace

TEST(FortranDictionaryTest, SlotsFollowTheCellLayout) {
    MemoryDataStore store;
    FourVariables(store);
    VESK_FortranDictionary d(&store);
    EXPECT_EQ(Slots(d), (std::vector<int>{0, 1, 2, -1, -1, 3}));
    EXPECT_EQ(d.Count(), store.GetObsAreaSize());
    EXPECT_EQ(d.GetIndex(0), -1);
    EXPECT_EQ(d.GetIndex(7), -1);
    EXPECT_EQ(d.GetLUN(), -1);
    EXPECT_EQ(d.GetCompression(), 0);
    EXPECT_EQ(d.GetDSType(), VESK_FortranDictionary::kDSNone);

    EXPECT_EQ(d.GetVariable(3).GetType(), 20);
    EXPECT_EQ(d.GetVariable(6).GetID(), store.GetVariable(3).GetID());
    EXPECT_THROW(d.GetVariable(4), VESK_AssertFailed);
    const VESK_FortranDictionary& cd = d;
    EXPECT_FALSE(cd.GetVariable(5).Impl().IsValid());  // kTheExtension
    EXPECT_FALSE(cd.GetVariable(99).Impl().IsValid());

    unsigned index = 0;
    d.MakeVariable(9, &index);
    EXPECT_EQ(index, 4u);
    EXPECT_EQ(d.Count(), 8u);
    for (auto [type, count] : {std::pair{8, 9u}, {0, 10u}, {17, 13u}}) {
        d.MakeVariable(type);
        EXPECT_EQ(d.Count(), count) << type;
    }
    EXPECT_EQ(d.Count(), store.GetObsAreaSize());

    // Truncation deletes the variables from the cut on; a cut inside a long
    // string or beyond the end is refused or ignored.
    d.Truncate(6);
    EXPECT_EQ(store.ColumnCount(), 4u);
    EXPECT_EQ(d.Count(), 6u);
    EXPECT_THROW(d.Truncate(4), VESK_AssertFailed);
    d.Truncate(6);
    EXPECT_EQ(store.ColumnCount(), 4u);
    d.Truncate(2);
    EXPECT_EQ(store.ColumnCount(), 2u);
    EXPECT_EQ(Slots(d), (std::vector<int>{0, 1}));

    EXPECT_EQ(d.AddIndex(-1), 3);
    d.ReIndex();
    EXPECT_EQ(Slots(d), (std::vector<int>{0, 1}));
}

TEST(FortranDictionaryTest, ReadAndWriteStates) {
    MemoryDataStore store;
    FourVariables(store);
    VESK_FortranDictionary writer(&store);
    OBS row[6];
    for (int i = 0; i < 6; ++i) row[i].d = i;
    writer.SetLUN(0);
    EXPECT_THROW(writer.WriteCase(row), VESK_AssertFailed);  // unit 0 is no unit
    writer.SetLUN(3);
    writer.WriteCase(row);
    row[0].d = 10;
    writer.WriteCase(row);
    store.Close();
    EXPECT_EQ(store.RowCount(), 2);
    EXPECT_EQ(writer.GetIOStatus(), VESK_FortranDictionary::kWrite);
    int end = -1;
    EXPECT_THROW(writer.ReadCase(row, end), VESK_AssertFailed);

    // A copy of a writing dictionary takes no iterator and keeps writing.
    VESK_FortranDictionary copy(writer);
    EXPECT_THROW(copy.GetIterator(), VESK_AssertFailed);
    EXPECT_EQ(copy.GetIOStatus(), VESK_FortranDictionary::kWrite);

    writer.Quiesce();
    OBS in[6];
    std::memset(in, 0, sizeof in);
    writer.ReadCase(in, end);
    EXPECT_EQ(end, 0);
    EXPECT_NE(writer.GetIterator(), nullptr);
    EXPECT_EQ(in[0].d, 0);
    EXPECT_EQ(in[5].d, 5);
    writer.ReadCase(in, end);
    EXPECT_EQ(end, 0);
    EXPECT_EQ(in[0].d, 10);
    in[0].d = -7;
    writer.ReadCase(in, end);
    EXPECT_EQ(end, 1);
    EXPECT_EQ(in[0].d, -7);  // untouched at the end
    EXPECT_THROW(writer.WriteCase(in), VESK_AssertFailed);

    // A copy of a reading dictionary starts afresh with its own iterator.
    VESK_FortranDictionary reader(writer);
    EXPECT_EQ(reader.GetIOStatus(), VESK_FortranDictionary::kNone);
    reader.ReadCase(in, end);
    EXPECT_EQ(end, 0);
    EXPECT_EQ(in[0].d, 0);
    writer.DeleteIterator();
    EXPECT_THROW(writer.ReadCase(in, end), VESK_AssertFailed);  // reading, but no iterator

    // Writing to a source that does not store cases is an error.
    ReadOnlySource plain;
    plain.MakeVariable(0);
    VESK_FortranDictionary bad(&plain);
    bad.SetLUN(1);
    try {
        bad.WriteCase(row);
        FAIL() << "no error";
    } catch (const VeskError& e) {
        EXPECT_EQ(e.Number(), 1202);
    }
    VESK_FortranDictionary empty(&plain);
    empty.Truncate(0);
    empty.SetLUN(1);
    EXPECT_THROW(empty.WriteCase(row), VESK_AssertFailed);  // no slots
}
