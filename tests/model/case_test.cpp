#include "case.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "CaseValue.h"
#include "ObsProjector.h"
#include "datasrc.h"
#include "errortext.h"
#include "memorydatastore.h"

namespace {

std::string Bytes(const void* p, size_t n) { return std::string(static_cast<const char*>(p), n); }

VESK_Variable Named(int type, const char* name) {
    VESK_Variable v(type);
    v.SetName(name);
    return v;
}

class PassThroughSource : public VESK_DataSource {
public:
    explicit PassThroughSource(const VESK_DataSource* parent) : VESK_DataSource(parent) {}
    VESK_InputCaseIterator* MakeIterator(OBS* buffer) const override {
        return new PassThroughIter(*this, buffer, nullptr);
    }
};

class NullMonitor : public ErrorMonitor {
public:
    void Report(const char*, int) override {}
};

// Row r of the store below: r + 1.5 and a string 10 with "first", "second" or "third".
std::string StoreRow(int r) {
    const double d = r + 1.5;
    std::string text = std::vector<const char*>{"first", "second", "third"}[r];
    return Bytes(&d, 8) + text + std::string(16 - text.size(), ' ');
}

void FillStore(MemoryDataStore& store) {
    store.MakeVariable(Named(0, "num"));
    store.MakeVariable(Named(10, "str"));
    for (int r = 0; r < 3; ++r) store.AddRow(reinterpret_cast<const OBS*>(StoreRow(r).data()));
    store.Close();
}

int ErrorNumberOf(void (*f)(MemoryDataStore&), MemoryDataStore& store) {
    try {
        f(store);
    } catch (const VeskError& e) {
        return e.Number();
    }
    return 0;
}

}  // namespace

TEST(CaseTest, NewCaseIsInitialisedAndStringsAreCutAndPadded) {
    MemoryDataStore source;
    source.MakeVariable(Named(0, "n"));
    source.MakeVariable(Named(3, "s3"));
    source.MakeVariable(Named(10, "s10"));
    auto all = [](const VESK_Case& c) { return Bytes(c.Cells(), 32); };
    const std::string sysmis = Bytes(&VESK_SYSMIS, 8), blanks(24, ' ');
    VESK_Case c(source, nullptr);
    EXPECT_TRUE(c.OwnsCells());
    EXPECT_EQ(all(c), sysmis + blanks);
    c.SetColumnValue(2, "abcdefghijkl", 12);
    c.SetColumnValue(1, "abcdef", 6);
    EXPECT_EQ(all(c), sysmis + "abc     abcdefghij      ");
    c.SetColumnValue(2, "xy");
    c.SetColumnValue(0, 4.25);
    EXPECT_EQ(Bytes(c.GetStringValue(2), 16), "xy              ");
    EXPECT_THROW(c.SetColumnValue(0, "text", 4), VESK_AssertFailed);  // not a string
    EXPECT_THROW(c.GetObsPointer(3), VESK_AssertFailed);              // beyond the columns
    // A copy of an owning case has its own cells.
    VESK_Case copy(c);
    EXPECT_EQ(all(copy), all(c));
    copy.SetColumnValue(0, 1.0);
    // Re-initialising a range touches only that range.
    c.InitCase(1, 2);
    EXPECT_EQ(c.GetNumericValue(0), 4.25);
    EXPECT_EQ(all(c), Bytes(c.Cells(), 8) + blanks);
    c.InitCase();
    EXPECT_EQ(all(c), sysmis + blanks);
    // A case on a caller's buffer neither initialises nor owns it.
    OBS buffer[4];
    std::memset(buffer, 'x', sizeof buffer);
    VESK_Case onBuffer(source, buffer);
    EXPECT_TRUE(!onBuffer.OwnsCells() && buffer[1].c[0] == 'x');
    EXPECT_EQ(VESK_Case(onBuffer).Cells(), buffer);
    EXPECT_EQ(c.MakeIterator(nullptr), nullptr);
}

TEST(CaseTest, CaseValueAndDataCellRules) {
    MemoryDataStore source;
    VESK_Variable n = Named(0, "n");
    double userMissing = 9;
    n.SetMissingValues(&userMissing, nullptr, nullptr);
    source.MakeVariable(n);
    source.MakeVariable(Named(10, "s"));
    OBS row[3] = {};
    source.AddRow(row);
    source.Close();
    VESK_InputCaseIterator* it = source.MakeIterator(nullptr);
    ASSERT_EQ(it->NextCase(), 1);
    CaseValue num(*it, 0);
    CaseValue str(*it, 1);
    const OBS negZero = {.d = -0.0};
    num.SetValue(negZero);
    EXPECT_FALSE(std::signbit(num.Value()->d));
    num.SetValue(-0.0);
    EXPECT_FALSE(std::signbit(num.Value()->d));
    EXPECT_THROW(str.SetValue(1.0), VESK_AssertFailed);
    EXPECT_THROW(CaseValue(0).SetValue(negZero), VESK_AssertFailed);
    // Missing (user or system), missing without user values, null.
    auto states = [&] { return std::to_string(num.IsMissing()) + std::to_string(num.IsMissing(false)) + std::to_string(num.IsNull()); };
    num.SetValue(9.0);
    EXPECT_EQ(states(), "100");
    num.SetValue(VESK_SYSMIS);
    EXPECT_EQ(states(), "111");
    // The string's last cell is cleared before the copy.
    OBS* cells = str.Value();
    std::memset(cells, 'z', 16);
    str.SetValue("abc");
    const std::string abc = Bytes(cells, 16) + std::to_string(str.IsNull());
    str.SetValue("");
    EXPECT_EQ(abc + std::to_string(str.IsNull()), "abc             01");
    OBS src[2];
    std::memcpy(src, "0123456789ABCDEF", 16);
    std::memset(cells, 'z', 16);
    str.SetValue(*src);
    EXPECT_EQ(Bytes(cells, 16), "0123456789      ");
    // The data cell stores numbers as given and copies whole string areas.
    VESK_DataCell dn(source, 0, *it);
    VESK_DataCell ds(source, 1, it->GetCase().Cells());
    EXPECT_EQ(dn.Size() * 100 + ds.Size(), 810u);
    dn = -0.0;
    EXPECT_TRUE(std::signbit(static_cast<OBS&>(dn).d));
    dn = 9.0;
    EXPECT_TRUE(dn.IsMissing());
    ds = *src;
    EXPECT_EQ(Bytes(cells, 16), "0123456789ABCDEF");
    EXPECT_EQ(Bytes(ds.SetTo("abcdefghijklmn", 14), 16), "abcdefghij      ");
    ds = "hi";
    EXPECT_EQ(Bytes(cells, 16), "hi              ");
    delete it;
}

TEST(CaseTest, ReadLineLineEnds) {
    // Successive reads with the given buffer sizes. CR, CRLF and LF all end a
    // line as "\n"; a longer line comes in pieces of size - 1.
    auto lines = [](const char* text, std::initializer_list<int> sizes) {
        FILE* f = std::tmpfile();
        std::fputs(text, f);
        std::rewind(f);
        std::vector<std::string> out;
        char buf[16];
        for (int n : sizes) out.push_back(ReadLine(buf, n, f) == buf ? buf : "<end>");
        std::fclose(f);
        return out;
    };
    EXPECT_EQ(lines("a\rb", {16, 16, 16}), (std::vector<std::string>{"a\n", "b", "<end>"}));
    // A 1-byte buffer holds just the terminator.
    EXPECT_EQ(lines("one\r\ntwo\n\r\nlonger line", {16, 16, 16, 5, 16, 1}),
              (std::vector<std::string>{"one\n", "two\n", "\n", "long", "er line", ""}));
}

TEST(CaseTest, MemoryStoreAppendSeekAndIterate) {
    MemoryDataStore store;
    FillStore(store);
    EXPECT_EQ(store.RowCount() * 10 + store.RowCells(), 33u);
    VESK_InputCaseIterator* it = store.MakeIterator(nullptr);
    EXPECT_EQ(it->IsSeekOK(), 1);
    ASSERT_EQ(it->NextCase(), 1);
    EXPECT_EQ(Bytes(it->GetCase().Cells(), 24), StoreRow(0));
    EXPECT_EQ(std::vector<int>({it->Seek(4), it->Seek(-1), it->Seek(1)}), std::vector<int>({0, 0, 1}));
    ASSERT_EQ(it->NextCase(), 1);
    EXPECT_EQ(it->GetNumericValue(0), 2.5);
    // A case made on the store reads through an iterator into its own buffer.
    VESK_Case target(store, nullptr);
    VESK_InputCaseIterator* into = target.MakeIterator(&store);
    EXPECT_EQ(into->GetCase().Cells(), target.Cells());
    ASSERT_EQ(into->NextCase(), 1);
    EXPECT_EQ(Bytes(target.Cells(), 24), StoreRow(0));
    delete into;
    delete it;
    // Rows after Close and a second commit are errors; a copy keeps the rows.
    EXPECT_EQ(ErrorNumberOf([](MemoryDataStore& s) { s.AddRow(nullptr); }, store), 1209);
    EXPECT_EQ(ErrorNumberOf([](MemoryDataStore& s) { s.CommitDictionary(); }, store), 1209);
    MemoryDataStore copy(store);
    EXPECT_EQ(Bytes(copy.Row(2), 24), StoreRow(2));
    EXPECT_THROW(copy.Row(3), VESK_AssertFailed);
}

TEST(CaseTest, PassThroughReadsStraightIntoTheChildBuffer) {
    // Over no parent: nothing to read and nothing to seek.
    PassThroughSource orphan(nullptr);
    VESK_InputCaseIterator* none = orphan.MakeIterator(nullptr);
    EXPECT_EQ(std::vector<int64_t>({none->NextCase(), none->Tell(), none->IsSeekOK(), none->Seek(0)}),
              std::vector<int64_t>(4, 0));
    EXPECT_EQ(none->GetParent(), nullptr);
    delete none;
    MemoryDataStore store;
    FillStore(store);
    PassThroughSource child(&store);
    EXPECT_EQ(child.NParents(), 1);
    OBS buffer[3];
    VESK_InputCaseIterator* it = child.MakeIterator(buffer);
    VESK_InputCaseIterator* parentIt = it->GetParent();
    ASSERT_NE(parentIt, nullptr);
    EXPECT_EQ(parentIt->GetCase().Cells(), buffer);  // the parent writes into our buffer
    NullMonitor monitor;
    it->SetErrorMonitor(&monitor);
    EXPECT_EQ(parentIt->GetErrorMonitor(), &monitor);
    EXPECT_EQ(it->IsSeekOK(), 1);
    ASSERT_EQ(it->NextCase(), 1);
    EXPECT_EQ(Bytes(buffer, 24), StoreRow(0));
    EXPECT_EQ(it->Seek(2), 1);
    ASSERT_EQ(it->NextCase(), 1);
    EXPECT_EQ(Bytes(buffer, 24), StoreRow(2));
    EXPECT_EQ(it->Tell() * 10 + it->NextCase(), 30);
    delete it;
    // Without a caller's buffer the child's own case is the parent's target.
    VESK_InputCaseIterator* own = child.MakeIterator(nullptr);
    ASSERT_EQ(own->NextCase(), 1);
    EXPECT_EQ(Bytes(own->GetCase().Cells(), 24), StoreRow(0));
    delete own;
}
