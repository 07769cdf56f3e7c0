// Data source dictionary, case layout, name lookup and the dictionary-only source.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <tuple>
#include <string>
#include <vector>

#include "IndependentDataStore.h"
#include "VariableNameIndex.h"
#include "case.h"
#include "datafreedatasource.h"
#include "datasrc.h"
#include "sources.h"

namespace {

// An iterator over no cases; its base constructor tells the source's observers.
class EmptyIterator : public VESK_InputCaseIterator {
public:
    EmptyIterator(const VESK_DataSource& source, OBS* buffer) : VESK_InputCaseIterator(source, buffer) {}
    int IsSeekOK() override { return 0; }
    int Seek(int64_t) override { return 0; }
    int64_t Tell() const override { return 0; }

private:
    int Next() override { return 0; }
};

class TestSource : public VESK_DataSource {
public:
    explicit TestSource(const VESK_DataSource* parent = nullptr) : VESK_DataSource(parent) {}
    TestSource(const TestSource& other) : VESK_DataSource(other) {}
    VESK_InputCaseIterator* MakeIterator(OBS* buffer) const override { return new EmptyIterator(*this, buffer); }
};

void ExpectLayout(const VESK_DataSource& ds, const std::vector<int>& starts) {
    std::vector<int> got;
    for (unsigned i = 0; i <= ds.ColumnCount(); ++i) got.push_back(ds.ObsIndex(int(i)));
    EXPECT_EQ(got, starts);
    EXPECT_EQ(ds.GetObsAreaSize(), unsigned(starts.back()));
    EXPECT_EQ(ds.LastVarCells(), starts.size() > 1 ? unsigned(starts.back() - starts[starts.size() - 2]) : 0u);
}

const char* const kDatasrc = "Datasource/src/datasrc";
const char* const kDsobs = "Datasource/src/dsobs";

void ExpectAssert(const std::function<void()>& call, const char* condition, const char* source = kDatasrc) {
    try {
        call();
        ADD_FAILURE() << "no assertion for " << condition;
    } catch (const VESK_AssertFailed& e) {
        EXPECT_STREQ(e.Condition(), condition);
        EXPECT_STREQ(e.SourceFile(), source);
    }
}

void MakeMixed(VESK_DataSource& ds) {
    for (const auto& [type, name] : {std::pair{0, "num"}, {8, "s8"}, {9, "s9"}, {255, "s255"}}) AddVar(ds, name, type);
}

struct CountingObserver : VESK_DataSource::Observer {
    void IteratorMade(VESK_InputCaseIterator* iterator) override { ++fCount, fLast = iterator; }
    int fCount = 0;
    VESK_InputCaseIterator* fLast = nullptr;
};

class RowStore : public IndependentDataStore {
public:
    VESK_InputCaseIterator* MakeIterator(OBS*) const override { return nullptr; }
    void AddRow(const OBS* row) override { fRows.emplace_back(row, row + GetObsAreaSize()); }
    void Close() override {}
    std::vector<std::vector<OBS>> fRows;
};

} // namespace

TEST(DataSourceLayout, CellIndexesFollowEveryEdit) {
    TestSource ds;
    ExpectLayout(ds, {0});
    EXPECT_EQ(ds.ObsIndex(-1), -1);
    MakeMixed(ds);
    ExpectLayout(ds, {0, 1, 2, 4, 36});
    // The 9-byte string becomes numeric; the last variable shrinks to 3 cells.
    auto retype = [&](int column, int type) {
        VESK_Variable v = ds.GetVariable(column);
        v.SetType(type);
        ds.SetVariable(column, v);
    };
    retype(2, 0);
    ExpectLayout(ds, {0, 1, 2, 3, 35});
    retype(3, 17);
    ExpectLayout(ds, {0, 1, 2, 3, 6});
    ds.InsertVariable(0, VESK_Variable(20));
    ds.InsertVariable(2, VESK_Variable(40));
    ds.InsertVariable(long(ds.ColumnCount()), VESK_Variable(1));
    ExpectLayout(ds, {0, 3, 4, 9, 10, 11, 14, 15});
    // Empty ranges change nothing, not even the dirty flag.
    ds.SetDirty(false);
    ds.DeleteVariables(3, 2);
    ds.DeleteVariables(0, -1);
    ds.DeleteVariables(5, -3);
    EXPECT_EQ(ds.ColumnCount(), 7u);
    EXPECT_FALSE(ds.IsDirty());
    // The last column: last variable cells take the new last column's count.
    ds.DeleteVariables(6, 6);
    EXPECT_TRUE(ds.IsDirty());
    ExpectLayout(ds, {0, 3, 4, 9, 10, 11, 14});
    ds.DeleteVariables(1, 3); // middle range
    ExpectLayout(ds, {0, 3, 4, 7});
    ds.DeleteVariables(0, 0); // front
    ExpectLayout(ds, {0, 1, 4});
    ds.DeleteVariables(0, int(ds.ColumnCount()) - 1); // everything
    ExpectLayout(ds, {0});
}


// Width changes in any order, mixed with insertions and deletions, leave every
// column's first cell where the widths before it put it.
TEST(DataSourceLayout, RandomWidthChangesKeepEveryCellIndex) {
    TestSource ds;
    for (int i = 0; i < 40; ++i) ds.MakeVariable(i % 3 ? 0 : 9);
    uint32_t state = 12345;
    auto next = [&state](uint32_t n) { return (state = state * 1103515245u + 12345u) / 65536u % n; };
    for (int step = 0; step < 400; ++step) {
        const int column = int(next(ds.ColumnCount()));
        if (step % 50 == 49) {
            ds.InsertVariable(column, VESK_Variable(int(next(30))));
        } else if (step % 70 == 69) {
            ds.DeleteVariables(column, column);
        } else {
            VESK_Variable v = ds.GetVariable(step % 4 == 0 ? int(ds.ColumnCount()) - 1 - column % 5 : column);
            v.SetType(int(next(40)));
            ds.SetVariable(step % 4 == 0 ? int(ds.ColumnCount()) - 1 - column % 5 : column, v);
        }
        std::vector<int> starts = {0};
        for (unsigned i = 0; i < ds.ColumnCount(); ++i)
            starts.push_back(starts.back() + CellsForType(ds.GetVariable(int(i)).GetType()));
        ExpectLayout(ds, starts);
        if (HasFailure()) FAIL() << "step " << step;
    }
}
TEST(DataSourceLayout, InitCellsAndPreconditions) {
    TestSource ds;
    MakeMixed(ds);
    std::vector<OBS> cells(ds.GetObsAreaSize());
    std::memset(cells.data(), 'x', cells.size() * sizeof(OBS));
    ds.InitCells(cells.data(), 0, 3); // not the 255-byte string
    EXPECT_EQ(cells[0].bits, VESK_SYSMIS_BITS);
    EXPECT_EQ(std::string(cells[1].c, 24) + cells[4].c[0], std::string(24, ' ') + 'x');
    ds.InitCells(cells.data(), 3, 1);
    EXPECT_EQ(std::string(cells[4].c, 32 * 8), std::string(32 * 8, ' '));
    ds.InitCells(cells.data(), 4, 0); // nothing at the end
    ExpectAssert([&] { ds.ObsIndex(5); }, "var_index <= lth", kDsobs);
    ExpectAssert([&] { ds.InitCells(cells.data(), 2, 3); }, "firstVar+nVars <= ColumnCount()", kDsobs);
    ExpectAssert([&] { ds.GetVariable(4); }, "size_t(index) < pData->fDictionary.size()");
    ExpectAssert([&] { ds.DeleteVariables(3, 4); }, "finish < (int) ColumnCount()");
    VESK_Variable other(0);
    ExpectAssert([&] { ds.InsertVariable(5, other); }, "0 <= varAfter && varAfter <= (long)pData->fDictionary.size()");
    // A variable with another id is refused and the layout stays as it was.
    ExpectAssert([&] { ds.SetVariable(3, other); }, "pData->fDictionary[index].GetID() == var.GetID()");
    ExpectLayout(ds, {0, 1, 2, 4, 36});
    ExpectAssert([&] { ds.SetParentSource(&ds); }, "parent != this");
    ExpectAssert([&] { ds.GetSplitVarIndex(0); }, "index < pData->fnSplitVars");
}

// Weight, filter, split separate flag, then the split variables' indexes.
std::vector<int> Roles(const VESK_DataSource& ds) {
    std::vector<int> out = {ds.GetWeightVarIndex(), ds.GetFilterVarIndex(), int(ds.GetSplitqSeparate())};
    for (unsigned i = 0; i < ds.GetNSplitVars(); ++i) out.push_back(ds.GetSplitVarIndex(i));
    return out;
}

TEST(DataSourceWeightFilterSplit, IdsSurviveInsertionsAndDeletions) {
    TestSource ds;
    MakeMixed(ds);
    EXPECT_TRUE(ds.GetWeightVariableID().IsNone());
    ds.SetWeightVar(0);
    ds.SetFilterVar(2);
    const int split[] = {1, 2};
    ds.SetSplit(2, split, true);
    ds.InsertVariable(0, VESK_Variable(0));
    EXPECT_EQ(Roles(ds), (std::vector<int>{1, 3, 1, 2, 3}));
    EXPECT_EQ(ds.GetSplitVarID(1), ds.GetVariable(3).GetID());
    // Deleting the weight: the index reads -1, the id stays.
    const LocallyUniqueID weightID = ds.GetVariable(1).GetID();
    ds.DeleteVariables(1, 1);
    EXPECT_EQ(ds.GetWeightVariableID(), weightID);
    EXPECT_EQ(Roles(ds), (std::vector<int>{-1, 2, 1, 1, 2}));
    // Deleting one split variable clears the whole split.
    ds.DeleteVariables(1, 1);
    EXPECT_EQ(Roles(ds), (std::vector<int>{-1, 1, 0}));
    ds.DeleteVariables(1, 1);
    EXPECT_EQ(Roles(ds), (std::vector<int>{-1, -1, 0}));
    ds.SetSplit(0, nullptr, true);  // keeps nothing but the separate flag
    EXPECT_EQ(Roles(ds), (std::vector<int>{-1, -1, 1}));
    const int nine[] = {0, 0, 0, 0, 0, 0, 0, 0, 0};
    ExpectAssert([&] { ds.SetSplit(9, nine, false); }, "nVars <= eMaxSplitVars");
    ds.SetSplit(8, nine, false); // 64 bytes: allowed
    EXPECT_EQ(ds.GetNSplitVars(), 8u);
    const int negative[] = {0, -1};
    ExpectAssert([&] { ds.SetSplit(2, negative, false); }, "varIndexes[i] >= 0");
    TestSource wide;
    for (const char* name : {"a", "b", "c"}) AddVar(wide, name, 24);
    const int three[] = {0, 1, 2};
    ExpectAssert([&] { wide.SetSplit(3, three, false); }, "totalSize <= 64");
    EXPECT_EQ(wide.GetNSplitVars(), 0u);
}

TEST(DataSourceCopy, SharesBodiesAndIsolatesChanges) {
    TestSource original;
    MakeMixed(original);
    DatasourceAttributes attributes;
    attributes.Define("Origin", {"first"});
    original.SetAttributes(attributes);
    original.SetExtension(3, 1, 4, "abcd");
    original.SetLabel("survey");
    original.SetWeightVar(0);
    TestSource copy(original);
    ASSERT_EQ(copy.ColumnCount(), 4u);
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(copy.GetVariable(i).Impl() == original.GetVariable(i).Impl());
    EXPECT_TRUE(VESK_DataSource::Extension(copy, 3).Impl() == VESK_DataSource::Extension(original, 3).Impl());
    ExpectLayout(copy, {0, 1, 2, 4, 36});
    EXPECT_STREQ(copy.GetLabel(), "survey");
    EXPECT_EQ(copy.GetTrendsInfo().GetDataSource(), &copy);
    copy.GetVariable(0).SetName("renamed");
    VESK_Variable retyped = copy.GetVariable(3);
    retyped.SetType(1);
    copy.SetVariable(3, retyped);
    copy.ExtendExtension(3, 2, "ef");
    EXPECT_EQ(VESK_DataSource::Extension(copy, 3).Elements(), "abcdef");
    DatasourceAttributes changed = copy.GetAttributes();
    changed.Define("Origin", {"second"});
    copy.SetAttributes(changed);
    copy.DeleteVariables(0, 1);
    EXPECT_EQ(original.GetVariable(0).GetName() + std::to_string(original.GetVariable(3).GetType()), "num255");
    ExpectLayout(original, {0, 1, 2, 4, 36});
    EXPECT_EQ(VESK_DataSource::Extension(original, 3).Elements(), "abcd");
    EXPECT_EQ(original.GetAttributes(), attributes);
    EXPECT_EQ(original.GetWeightVarIndex(), 0);

    // A child shares its parent's dictionary and timestamp and starts dirty.
    original.SetTimestamp(1234.0);
    original.SetDirty(false);
    TestSource child(&original);
    EXPECT_TRUE(child.IsDirty() && child.GetTimestamp() == 1234.0);
    EXPECT_TRUE(child.GetVariable(2).Impl() == original.GetVariable(2).Impl());
    // CopyDictionary keeps the own parent and drops the file path.
    TestSource other;
    AddVar(other, "x", 3);
    other.SetFileSpec("/data/other.sys");
    other.SetLabel("");
    child.CopyDictionary(other);
    EXPECT_EQ(child.GetParentSource(), &original);
    ExpectLayout(child, {0, 1});
    EXPECT_STREQ(child.GetFileSpec(), "");
    ASSERT_NE(child.GetLabel(), nullptr);
    EXPECT_EQ(child.GetTrendsInfo().GetDataSource(), &child);
}

TEST(DataSourceNames, FindVarIndexGoodVarNameAndNameIndex) {
    TestSource ds;
    for (const char* name : {"age", "Income", "city", "AGE"}) AddVar(ds, name);  // AGE: as when names were not checked
    const std::tuple<const char*, int, int> finds[] = {
        {"age  ", 0, 0}, {"INCOME", 0, 1},
        {"income", 3, 1},  // wraps round to the start
        {"age", 2, 3},     {"age", 4, 0},  // start = ColumnCount searches from 0
        {"age", -5, 0},    {"ag", 0, -1}, {"", 0, -1},
    };
    for (const auto& [name, start, want] : finds) EXPECT_EQ(ds.FindVarIndex(name, start), want) << name << start;
    EXPECT_EQ(ds.FindVarIndex(ds.GetVariable(2).GetID()) * 10 + ds.FindVarIndex(LocallyUniqueID::None()), 19);
    EXPECT_EQ(ds.GoodVarName("weight"), "weight");
    const std::string fresh = ds.GoodVarName("age");
    EXPECT_EQ(ds.FindVarIndex(fresh.c_str()), -1);
    AddVar(ds, fresh.c_str());
    EXPECT_EQ(ds.FindVarIndex(ds.GoodVarName("AGE").c_str()), -1);
    // The name index knows upper-case names only; copies own their tables.
    TestSource named;
    for (const char* name : {"b", "ABC", "a", "Ab", "zeta", "\xC3\xA9t\xC3\xA9"}) AddVar(named, name);
    TestSource empty;
    VariableNameIndex assigned(empty);
    {
        VariableNameIndex temporary(named);
        EXPECT_EQ(temporary.Size(), 6u);
        for (unsigned i = 0; i < named.ColumnCount(); ++i)
            EXPECT_EQ(temporary.Find(named.GetVariable(int(i)).GetUpperCaseName().c_str()), int(i));
        for (const char* absent : {"abc", "ABCD", ""}) EXPECT_EQ(temporary.Find(absent), -1) << absent;
        assigned = temporary;
        EXPECT_EQ(VariableNameIndex(temporary).Find("AB"), 3);
    }
    EXPECT_EQ(assigned.Find("AB"), 3);
    assigned = assigned;
    EXPECT_EQ(assigned.Find("ZETA"), 4);
}

// GoodVarName's index must see every way a column's name can change after it was
// built: through handles given out before and after, replaced handles, copies.
TEST(DataSourceNames, GoodVarNameSeesRenamesBehindItsIndex) {
    TestSource ds;
    VESK_Variable& early = ds.MakeVariable(0);
    early.SetName("first");
    EXPECT_EQ(ds.GoodVarName("first"), "first_A");  // builds the index
    early.SetName("renamed");                        // through the handle given out before the build
    EXPECT_EQ(ds.GoodVarName("first") + ds.GoodVarName("renamed"), "firstrenamed_A");

    ds.MakeVariable(0).SetName("x");  // the usual way to add a named column
    VESK_Variable other(0);
    other.SetName("assigned");
    ds.GetVariable(1) = other;  // a whole handle replaced, no rename anywhere
    EXPECT_EQ(ds.GoodVarName("x") + ds.GoodVarName("assigned"), "xassigned_A");

    VESK_Variable changed = ds.GetVariable(0);
    changed.SetName("viaSet");
    ds.SetVariable(0, changed);
    ds.InsertVariable(0, other).SetName("inserted");
    ds.DeleteVariables(2, 2);
    EXPECT_EQ(ds.GoodVarName("VIASET") + ds.GoodVarName("inserted") + ds.GoodVarName("assigned"),
              "VIASET_Ainserted_Aassigned");

    TestSource copy(ds);
    copy.GetVariable(0).SetName("only_in_copy");
    EXPECT_EQ(ds.GoodVarName("only_in_copy") + copy.GoodVarName("only_in_copy"), "only_in_copyonly_in_copy_A");
    ds.CopyDictionary(copy);
    EXPECT_EQ(ds.GoodVarName("only_in_copy"), "only_in_copy_A");
}

TEST(DataSourceExtensions, BlocksTableAndHandles) {
    TestSource ds;
    EXPECT_EQ(ds.MaxExtensionType() * 10 + ds.ExtensionHash(3), -10);
    ds.SetExtension(4, 0, 2, "xyz");  // element size 0 counts as 1
    EXPECT_EQ(VESK_DataSource::Extension(ds, 4).Elements() + std::to_string(ds.MaxExtensionType()), "xy4");
    const unsigned char hashed[] = {1, 2, 3, 4, 5};
    ds.SetExtension(7, 1, 5, hashed);
    EXPECT_EQ(std::vector<long>({ds.ExtensionHash(7), ds.ExtensionHash(4)}), std::vector<long>({0x05040302, 0}));
    ds.SetExtension(39, 1, 1, "q");
    EXPECT_EQ(ds.MaxExtensionType(), 24); // 40 slots
    ds.SetExtension(39, 1, 0, nullptr); // removes the block, keeps the slot
    EXPECT_TRUE(!ds.HasExtension(39) && ds.MaxExtensionType() == 24);
    const int32_t numbers[] = {10, 20, 30};
    ds.SetExtension(3, 4, 3, numbers);
    VESK_DataSource::Extension ext(ds, 3);
    int32_t out[3] = {};
    EXPECT_EQ(ext.GetNext(out, 3), 0); // less than one element: no advance
    EXPECT_EQ(ext.GetNext(out, 9), 2);
    VESK_DataSource::Extension copied = ext;
    EXPECT_EQ(std::vector<long>({copied.GetNext(out, 100), out[0], out[1], copied.GetNext(out, 100)}),
              std::vector<long>({1, 30, 20, 0}));
    // A missing type gives a new empty block; an absent block answers neutrally.
    VESK_DataSource::Extension missing(ds, 11);
    EXPECT_EQ(std::vector<long>({missing.Type(), missing.ElementSize(), missing.Length()}), std::vector<long>({11, 1, 0}));
    ds.SetExtension(missing); // empty: stores nothing
    EXPECT_FALSE(ds.HasExtension(11));
    VESK_DataSource::Extension none{VESK_DataSource::ExtensionPtr()};
    EXPECT_EQ(std::vector<long>({none.Type(), none.Length(), none.GetNext(out, 100)}), std::vector<long>({-1, 0, 0}));
    // Equality: subtype and content only.
    VESK_DataSource::Extension same(VESK_DataSource::ExtensionPtr(new VESK_ExtensionImpl(3, 2, 6, numbers)));
    EXPECT_EQ(std::vector<bool>({same == VESK_DataSource::Extension(ds, 3), none == none, none == same,
                                 same == VESK_DataSource::Extension(ds, 7)}),
              std::vector<bool>({true, true, false, false}));
    // A block handed over is shared, and stored under the given type.
    ds.SetExtension(same);
    EXPECT_TRUE(VESK_DataSource::Extension(ds, 3).Impl() == same.Impl());
    ds.SetExtension(-2, same); // stores nothing
    ds.ExtendExtension(3, 1, "\x01\x00");  // the shared block is copied first
    EXPECT_EQ(VESK_DataSource::Extension(ds, 3).Length() * 10 + same.Length(), 76);
    ExpectAssert([&] { ds.SetExtension(-1, 1, 1, "a"); }, "0 <= type");
    ExpectAssert([&] { ds.SetExtension(1, 1, -1, "a"); }, "nElements >= 0");
    ExpectAssert([&] { ds.SetExtension(1, 1, 2, nullptr); }, "(nElements==0) >= (content==0)");
    ExpectAssert([&] { ds.ExtendExtension(11, 1, "a"); }, "HasExtension(type)");
}

TEST(DataSourceProperties, WhatMarksTheDictionaryDirty) {
    TestSource ds;
    MakeMixed(ds);
    ds.SetWeightVar(0);
    EXPECT_TRUE(ds.IsDirty());
    SortIndexInfo info;
    info.SetIndexKeys({FileSort::SortKey{2, 0, 8}});
    info.SetIndex({SortIndexInfo::SortIndexKeyRowPair("k", 7)});
    const int split[] = {0};
    VariableSetImpl set;
    set.Name("colours");
    set.Variables({LocallyUniqueID(0x10)});
    // Filter, split, file path, timestamp and rows per imputation are
    // not saved with the dictionary.
    const std::pair<bool, std::function<void()>> steps[] = {
        {false, [&] { ds.SetWeightVar(0); }},  // unchanged
        {true, [&] { ds.SetWeightVar(-1); }},
        {false, [&] { ds.SetWeightVar(99); }},  // out of range: none, which it already is
        {false, [&] { ds.SetFilterVar(1); }},
        {false, [&] { ds.SetSplit(1, split, false); }},
        {true, [&] { ds.SetLabel(""); }},
        {false, [&] { ds.SetFileSpec(static_cast<const char*>(nullptr)); }},
        {false, [&] { ds.SetTimestamp(); }},
        {false, [&] { ds.RowsPerImputation(int64_t(1) << 40); }},
        {false, [&] { ds.SetSortIndexInfo(SortIndexInfo()); }},
        {true, [&] { ds.SetVariableSets({set}); }},
        {true, [&] { ds.SetDEFormattingInfo(DataEditorFormattingInfo("grid")); }},
        {true, [&] { ds.SetSortIndexInfo(info); }},
    };
    for (size_t i = 0; i < std::size(steps); ++i) {
        ds.SetDirty(false);
        steps[i].second();
        EXPECT_EQ(ds.IsDirty(), steps[i].first) << i;
    }
    EXPECT_STREQ(ds.GetFileSpec(), "");
    EXPECT_GT(ds.GetTimestamp(), 13000000000.0); // now, after 1995
    // Sort index information with a key makes the index valid; any SetDirty invalidates it.
    EXPECT_TRUE(ds.IsIndexValid());
    ds.SetDirty(true);
    EXPECT_FALSE(ds.IsIndexValid());
    // Variable sets and multiple-response sets are kept apart.
    EXPECT_TRUE(ds.GetMRSets().empty());
    VariableSetImpl mr = set;
    mr.Name("$pets");
    mr.Type(VariableSetImpl::eMultipleCategories);
    ds.SetMRSets({set, mr});
    EXPECT_EQ(ds.GetVariableSets(), std::vector<VariableSetImpl>{set});
    EXPECT_EQ(std::vector<int>({FindVarSet("$pets", ds.GetMRSets()), FindVarSet("none", ds.GetMRSets())}),
              std::vector<int>({1, -1}));
}

// Observers are told of each iterator made, once per registration;
// unregistering drops them all, and copies of the dictionary keep them.
TEST(DataSourceObservers, ToldOfEveryIteratorUntilUnregistered) {
    TestSource ds;
    AddVar(ds, "x");
    CountingObserver twice, once;
    ds.Register(&twice);
    ds.Register(&once);
    ds.Register(&twice);
    std::unique_ptr<VESK_InputCaseIterator> first(ds.MakeIterator(nullptr));
    EXPECT_EQ(once.fLast, first.get());
    ds.UnRegister(&twice);
    std::unique_ptr<VESK_InputCaseIterator> second(ds.MakeIterator(nullptr));
    EXPECT_EQ(std::vector<int>({twice.fCount, once.fCount}), std::vector<int>({2, 2}));
    TestSource other;
    other.CopyDictionary(ds);
    std::unique_ptr<VESK_InputCaseIterator> third(other.MakeIterator(nullptr));
    EXPECT_TRUE(once.fCount == 3 && once.fLast == third.get());
    ds.UnRegister(&once);
    other.UnRegister(&once);
}

TEST(DataSourceKinds, IndependentStoreAndDataFree) {
    RowStore store;
    AddVar(store, "n");
    AddVar(store, "s", 10);
    store.CommitDictionary();
    VESK_Case c(store, nullptr);
    c.SetColumnValue(0, 2.5);
    store.AddCase(c);
    ASSERT_EQ(store.fRows.size(), 1u);
    ASSERT_EQ(store.fRows[0].size(), 3u);
    EXPECT_EQ(std::string(store.fRows[0][0].c, 24), std::string(c.Cells()[0].c, 24));
    DataFreeDataSource ds;
    EXPECT_FALSE(ds.IsDirty());
    EXPECT_EQ(ds.RowCount(), -1);
    AddVar(ds, "name", 4);
    EXPECT_TRUE(ds.IsDirty());
    ExpectAssert([&] { ds.MakeIterator(nullptr); }, "0", "Datasource/src/datafreedatasource");
}
