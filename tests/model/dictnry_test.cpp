#include "dictnry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

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
    for (int type : {0, 8, 20, 0}) ds.MakeVariable(type);
}

std::vector<int> Slots(const VESK_FortranDictionary& d) {
    std::vector<int> s;
    for (unsigned p = 0; p <= d.Count() + 1; ++p) s.push_back(d.GetIndex(int(p)));
    return s;
}

}  // namespace

TEST(FortranDictionaryTest, SlotsFollowTheCellLayout) {
    MemoryDataStore store;
    FourVariables(store);
    VESK_FortranDictionary d(&store);
    // Slot 0 and the slot past the end name no variable.
    EXPECT_EQ(Slots(d), (std::vector<int>{-1, 0, 1, 2, -1, -1, 3, -1}));
    EXPECT_EQ(std::vector<int>({d.GetLUN(), d.GetCompression(), d.GetDSType()}),
              std::vector<int>({-1, 0, VESK_FortranDictionary::kDSNone}));
    EXPECT_EQ(d.GetVariable(6).GetID(), store.GetVariable(3).GetID());
    EXPECT_THROW(d.GetVariable(4), VESK_AssertFailed);  // inside a long string
    const VESK_FortranDictionary& cd = d;  // 5: kTheExtension
    EXPECT_FALSE(cd.GetVariable(5).Impl().IsValid() || cd.GetVariable(99).Impl().IsValid());

    unsigned index = 0;
    EXPECT_EQ((d.MakeVariable(9, &index), index), 4u);
    for (auto [type, count] : {std::pair{8, 9u}, {0, 10u}, {17, 13u}}) {
        d.MakeVariable(type);
        EXPECT_TRUE(d.Count() == count && count == store.GetObsAreaSize()) << type;
    }

    // Truncation deletes the variables from the cut on; a cut inside a long
    // string is refused and one at the end changes nothing.
    d.Truncate(6);
    EXPECT_THROW(d.Truncate(4), VESK_AssertFailed);
    d.Truncate(6);
    EXPECT_EQ(store.ColumnCount(), 4u);
    d.Truncate(2);
    EXPECT_TRUE(store.ColumnCount() == 2 && d.AddIndex(-1) == 3);
    d.ReIndex();
    EXPECT_EQ(Slots(d), (std::vector<int>{-1, 0, 1, -1}));
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
    int end = -1;
    EXPECT_THROW(writer.ReadCase(row, end), VESK_AssertFailed);

    // A copy of a writing dictionary takes no iterator.
    VESK_FortranDictionary copy(writer);
    EXPECT_THROW(copy.GetIterator(), VESK_AssertFailed);

    // Quiesced, it reads the cases back and leaves the buffer alone at the end.
    writer.Quiesce();
    auto read = [&end](VESK_FortranDictionary& d) {
        OBS in[6] = {};
        in[0].d = -7;
        d.ReadCase(in, end);
        return std::vector<double>{double(end), in[0].d, in[5].d};
    };
    EXPECT_EQ(read(writer), (std::vector<double>{0, 0, 5}));
    EXPECT_EQ(read(writer), (std::vector<double>{0, 10, 5}));
    EXPECT_EQ(read(writer), (std::vector<double>{1, -7, 0}));
    EXPECT_THROW(writer.WriteCase(row), VESK_AssertFailed);

    // A copy of a reading dictionary starts afresh with its own iterator.
    VESK_FortranDictionary reader(writer);
    EXPECT_EQ(reader.GetIOStatus(), VESK_FortranDictionary::kNone);
    EXPECT_EQ(read(reader), (std::vector<double>{0, 0, 5}));
    writer.DeleteIterator();
    EXPECT_THROW(writer.ReadCase(row, end), VESK_AssertFailed);  // reading, but no iterator

    // Writing to a source that does not store cases is an error.
    ReadOnlySource plain;
    plain.MakeVariable(0);
    VESK_FortranDictionary bad(&plain), empty(&plain);
    bad.SetLUN(1);
    try {
        bad.WriteCase(row);
        ADD_FAILURE() << "no error";
    } catch (const VeskError& e) { EXPECT_EQ(e.Number(), 1202); }
    empty.Truncate(0);
    empty.SetLUN(1);
    EXPECT_THROW(empty.WriteCase(row), VESK_AssertFailed);  // no slots
}
