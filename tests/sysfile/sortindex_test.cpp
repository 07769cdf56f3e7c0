// Sort keys and keyed lookup: key texts, index and stretch search, the subtype-23 record, file round trips.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "SFExtensionHandlers.h"
#include "SortIndexInfo.h"
#include "SystemFileDataSource.h"
#include "datafreedatasource.h"
#include "memorydatastore.h"
#include "tempdir.h"

using Pair = SortIndexInfo::SortIndexKeyRowPair;

namespace {

// Reads another source's cases and counts every case read.
class CountingSource : public VESK_DataSource {
public:
    explicit CountingSource(const VESK_DataSource& inner) : VESK_DataSource(&inner), fInner(inner) {}
    VESK_InputCaseIterator* MakeIterator(OBS* buffer) const override;
    int64_t RowCount() const override { return fInner.RowCount(); }
    const VESK_DataSource& fInner;
    mutable int64_t fNexts = 0;
};

class CountingIterator : public VESK_InputCaseIterator {
public:
    CountingIterator(const CountingSource& source, OBS* buffer)
        : VESK_InputCaseIterator(source, buffer), fSource(source),
          fInner(source.fInner.MakeIterator(GetCase().Cells())) {}
    int IsSeekOK() override { return 1; }
    int Seek(int64_t row) override { return fInner->Seek(row); }
    int64_t Tell() const override { return fInner->Tell(); }

private:
    int Next() override { return ++fSource.fNexts, fInner->NextCase(); }
    const CountingSource& fSource;
    std::unique_ptr<VESK_InputCaseIterator> fInner;
};

VESK_InputCaseIterator* CountingSource::MakeIterator(OBS* buffer) const { return new CountingIterator(*this, buffer); }

constexpr int kStringWidth = 6;

// Keys: a string of width 6 (cell 0) and a number (cell 1).
std::vector<FileSort::SortKey> Keys() { return {{0, 0, kStringWidth}, {1, 1, 0}}; }

void AddKeyVariables(VESK_DataSource& ds) {
    ds.MakeVariable(kStringWidth).SetName("city"), ds.MakeVariable(0).SetName("n");
}

using Rows = std::vector<std::pair<std::string, double>>;

std::vector<OBS> Row(const std::string& text, double number) {
    std::vector<OBS> row(2);
    std::memset(row[0].c, ' ', 8);
    std::memcpy(row[0].c, text.data(), std::min<size_t>(text.size(), kStringWidth));
    row[1].d = number;
    return row;
}

std::string KeyText(std::string text, double number) {
    return text.resize(kStringWidth, ' '), text + SortIndexInfo::NumericKeyText(number);
}

std::string KeyText(const Rows& rows, int64_t r) { return KeyText(rows[size_t(r)].first, rows[size_t(r)].second); }

// The lookup on a copy of the text, through the iterator when one is given.
int64_t Find(const SortIndexInfo& info, std::string text, VESK_InputCaseIterator* it = nullptr) {
    bool flag = false;
    return it ? info.FindRecordFromKeyValues(text, flag, it) : info.FindRecordFromKeyValues(text);
}

// Gives the key variables and adds the rows.
template <class Store>
void Fill(Store& ds, const Rows& rows) {
    AddKeyVariables(ds);
    for (const auto& [w, x] : rows) ds.AddRow(Row(w, x).data());
}

// n rows in collation order (not byte order): 1,000 mixed-case words, each with the numbers 0, 1, ... in turn.
Rows SortedRows(int n) {
    std::mt19937 rng(11);
    std::vector<std::string> words;
    for (int i = 0; i < 1000; ++i) {
        std::string w(kStringWidth, ' ');
        for (char& c : w) c = "aAbBcCdDeEfFgG"[rng() % 14];
        words.push_back(w);
    }
    VESKMBCollator collator;
    collator.Init();
    std::sort(words.begin(), words.end(), [&](const std::string& a, const std::string& b) {
        return collator.Compare(a.data(), a.size(), b.data(), b.size()) < 0;
    });
    words.erase(std::unique(words.begin(), words.end()), words.end());
    Rows rows;
    const int perWord = (n + int(words.size()) - 1) / int(words.size());
    for (int i = 0; i < n; ++i) rows.emplace_back(words[size_t(i / perWord)], double(i % perWord));
    return rows;
}

// An index entry every `spacing` rows, key texts read from the cases.
SortIndexInfo IndexOver(const VESK_DataSource& source, int64_t rows, int64_t spacing) {
    SortIndexInfo info;
    info.SetIndexKeys(Keys());
    info.SetDataSource(&source);
    std::unique_ptr<VESK_InputCaseIterator> it(source.MakeIterator(nullptr));
    std::vector<Pair> index;
    for (int64_t r = 0; r < rows; r += spacing) {
        it->Seek(r);
        EXPECT_TRUE(it->NextCase());
        index.emplace_back(info.BuildKeyValuesFromCase(it.get()), r);
    }
    info.SetIndex(index);
    return info;
}

void ApplyText(VESK_DataSource& ds, const std::string& text) {
    SystemFileExtensionRecord rec;
    rec.SetText(text);
    SystemFileOptions options;
    ReadExtensionRecord(23, ds, options, rec);
}

// The condition of the 1204 error raised, or "".
std::string MalformedCondition(const std::function<void()>& f) {
    try {
        f();
    } catch (const SystemFileException& e) {
        EXPECT_EQ(e.Code(), 1204);
        return e.Condition();
    }
    return std::string();
}

// Keys (cell:direction:width) and index entries (text@row) of the information.
std::string Describe(const SortIndexInfo& info) {
    std::string out;
    for (const auto& k : info.GetIndexKeys())
        out += std::to_string(k.cell) + ":" + std::to_string(k.direction) + ":" + std::to_string(k.width) + " ";
    for (const auto& p : info.GetIndex()) out += p.GetKeyValue() + "@" + std::to_string(p.GetRowIndex()) + " ";
    return out;
}

}  // namespace

TEST(SortIndexInfoTest, KeyTextsAndTrimming) {
    const std::vector<std::string> numbers = {
        SortIndexInfo::NumericKeyText(3.5), SortIndexInfo::NumericKeyText(-2), SortIndexInfo::NumericKeyText(0.1),
        SortIndexInfo::NumericKeyText(VESK_DataSource::SystemMissing())};
    EXPECT_EQ(numbers, (std::vector<std::string>{std::string(38, '0') + "3.5", std::string(39, '0') + "-2",
                                                 std::string(38, '0') + "0.1",
                                                 std::string(18, '0') + "-1.797693134862316e+308"}));
    EXPECT_EQ(SortIndexInfo::NumericKeyText(1e300).size(), 41u);
    MemoryDataStore store;
    store.MakeVariable(0).SetName("a");
    store.MakeVariable(12).SetName("s");
    std::vector<OBS> row(3, OBS{.d = 42});
    std::memcpy(reinterpret_cast<char*>(&row[1]), "twelve bytes    ", 16);
    store.AddRow(row.data());
    SortIndexInfo info;
    info.SetIndexKeys({{1, 0, 12}, {0, 0, 0}, {2, 0, 4}, {7, 0, 3}});
    std::unique_ptr<VESK_InputCaseIterator> it(store.MakeIterator(nullptr));
    ASSERT_TRUE(it->NextCase());
    // Key parts in key order; bytes outside the case read as blanks.
    EXPECT_EQ(info.BuildKeyValuesFromCase(it.get()),
              "twelve bytes" + std::string(39, '0') + "42" + "ytes" + "   ");
    const std::pair<std::string, std::string> trims[] = {
        {"  ab c  ", "ab c"}, {"    ", ""}, {"", ""}, {"x", "x"}, {"\tx ", "\tx"}};
    for (auto [in, want] : trims) EXPECT_EQ(SortIndexInfo::LRTrim(in) + "|" + in, want + "|" + want);
}

TEST(SortIndexInfoTest, IndexHitsEdgesAndStretches) {
    const auto rows = SortedRows(50);
    MemoryDataStore store;
    Fill(store, rows);
    CountingSource counting(store);
    const auto text = [&](int64_t r) { return KeyText(rows, r); };
    SortIndexInfo info;
    info.SetIndexKeys(Keys());
    EXPECT_EQ(Find(info, text(10)), -1) << "empty index";
    // A hit on an entry answers with its row and reads nothing, even without
    // a data source; without one the search of the cases is a misuse.
    info.SetIndex({Pair(text(20), 20), Pair(text(40), 40)});
    EXPECT_EQ(Find(info, text(40)), 40);
    try {
        Find(info, text(25));
        ADD_FAILURE() << "no assertion";
    } catch (const VESK_AssertFailed& e) {
        EXPECT_STREQ(e.Condition(), "fDataSource != NULL");
        EXPECT_STREQ(e.SourceFile(), "Datasource/src/SortIndexInfo");
    }
    info.SetDataSource(&counting);
    // One entry: a greater text searches from its row to the row count, a
    // smaller one from row 0 to it.
    info.SetIndex({Pair(text(30), 30)});
    for (int64_t r : {0, 29, 31, 49}) {
        counting.fNexts = 0;
        EXPECT_EQ(Find(info, text(r)), r);
        EXPECT_LE(counting.fNexts, 6);
    }
    // Index entries past the data and a hostile, unsorted index stay bounded.
    info.SetIndex({Pair(text(0), 0), Pair(text(49), 2000000000), Pair("", -5), Pair(text(10), 999)});
    for (int64_t r = 0; r < 50; ++r) {
        counting.fNexts = 0;
        const int64_t got = Find(info, text(r));
        EXPECT_TRUE(got == -1 || got == r || got == 999 || got == 2000000000);
        EXPECT_LE(counting.fNexts, 8);
    }
    // Without keys the first 75 bytes of the texts decide.
    SortIndexInfo keyless;
    keyless.SetIndex({Pair(std::string(75, 'a') + "x", 4)});
    EXPECT_EQ(Find(keyless, std::string(75, 'a') + "y"), 4);
}

// Every key, alternately through the lookup's own iterator and a given one, then an absent key after each.
TEST(SortIndexLookupTest, TwentyThousandCases) {
    const auto rows = SortedRows(20000);
    MemoryDataStore store;
    Fill(store, rows);
    const int64_t n = int64_t(rows.size()), spacing = 1000;
    CountingSource counting(store);
    SortIndexInfo info = IndexOver(counting, n, spacing);
    // The widest stretch spans two spacings (after the last entry).
    const int64_t bound = int64_t(std::ceil(std::log2(2.0 * spacing + 1))) + 1;
    std::unique_ptr<VESK_InputCaseIterator> it(counting.MakeIterator(nullptr));
    for (int64_t row = 0; row < n; ++row) {
        counting.fNexts = 0;
        ASSERT_EQ(Find(info, KeyText(rows, row), row % 2 ? it.get() : nullptr), row);
        ASSERT_LE(counting.fNexts, row % spacing ? bound : 0) << "row " << row;  // an index hit reads nothing
        counting.fNexts = 0;
        ASSERT_EQ(Find(info, KeyText(rows[size_t(row)].first, rows[size_t(row)].second + 0.5), it.get()), -1);
        ASSERT_LE(counting.fNexts, bound);
    }
    EXPECT_EQ(Find(info, KeyText("", 0)), -1);
    EXPECT_EQ(Find(info, KeyText("zzzzzz", 0)), -1);
}

TEST(SFExtensionSortCasesKeyTest, RecordTextAndRoundTrip) {
    DataFreeDataSource ds;
    AddKeyVariables(ds);
    SortIndexInfo info;
    info.SetIndexKeys({{0, -1, 6}, {1, 1, 0}});
    info.SetIndex({Pair("Boston" + SortIndexInfo::NumericKeyText(1), 0), Pair("Denver" + std::string(41, '0'), 4096)});
    ds.SetSortIndexInfo(info);
    SystemFileExtensionRecord rec;
    WriteExtensionRecord(23, ds, rec);
    EXPECT_EQ(rec.Text(), "0:-1:6!1:1:0!\x1D" "Boston" + std::string(40, '0') + "1\x1F" "0\x1D" "Denver" +
                              std::string(41, '0') + "\x1F" "4096");
    DataFreeDataSource back;
    AddKeyVariables(back);
    SystemFileOptions options;
    ReadExtensionRecord(23, back, options, rec);
    EXPECT_EQ(Describe(back.GetSortIndexInfo()), Describe(info));
    EXPECT_EQ(back.GetSortIndexInfo().GetDataSource(), &back);
    // No keys: no record. A blank in a key value ends the record there.
    DataFreeDataSource none;
    SystemFileExtensionRecord empty, cut;
    WriteExtensionRecord(23, none, empty);
    EXPECT_TRUE(empty.IsEmpty());
    info.SetIndex({Pair("New York", 3)});
    ds.SetSortIndexInfo(info);
    WriteExtensionRecord(23, ds, cut);
    EXPECT_EQ(cut.Text(), "0:-1:6!1:1:0!\x1DNew");
    // Keys only; rows beyond 32 bits do not come back; a 1-byte text is ignored.
    DataFreeDataSource read;
    AddKeyVariables(read);
    ApplyText(read, "1:0:0!");
    EXPECT_EQ(Describe(read.GetSortIndexInfo()), "1:0:0 ");
    ApplyText(read, "1:0:0!\x1Dk\x1F" "5000000000\x1Dm\x1F-7\x1Dn\x1Fx");
    std::vector<int64_t> rowIndexes;
    for (const auto& p : read.GetSortIndexInfo().GetIndex()) rowIndexes.push_back(p.GetRowIndex());
    EXPECT_EQ(rowIndexes, (std::vector<int64_t>{2147483647, -7, 0}));
    ApplyText(read, "x");
    EXPECT_EQ(read.GetSortIndexInfo().GetIndex().size(), 3u);
    const std::pair<const char*, const char*> malformed[] = {
        {"0:0!", "sscanf(piece, \"%d:%d:%d\") == 3"},
        {"0:0:99999999999!", "sscanf(piece, \"%d:%d:%d\") == 3"},
        {"0:0:40000!", "key.width <= MAX_STRING_TYPE"},
        {"2:0:0!", "key.cell + cells <= GetObsAreaSize()"},
        {"1:0:9!", "key.cell + cells <= GetObsAreaSize()"},
        {"4294967295:0:0!", "key.cell + cells <= GetObsAreaSize()"},
        {"1:0:0!1:0:0!1:0:0!", "keyTextLength <= 41 * GetObsAreaSize()"},
        {"1:0:0!\x1Dno row mark", "pair.find('\\x1F') != npos"},
    };
    for (const auto& [text, condition] : malformed)
        EXPECT_EQ(MalformedCondition([&] { ApplyText(read, text); }), condition) << text;
    SystemFileExtensionRecord wide;
    wide.SetInt32s(std::vector<int32_t>{1}.data(), 1);
    EXPECT_EQ(MalformedCondition([&] { ReadExtensionRecord(23, read, options, wide); }),
              "rec.UnitSize() == sizeof(char)");
}

TEST(SFExtensionSortCasesKeyTest, SystemFileRoundTripInEveryCompression) {
    TempDir dir("sortindex");
    const auto rows = SortedRows(300);
    for (int compression : {0, 1, 2}) {
        SCOPED_TRACE(compression);
        const std::string path = dir.File("keys" + std::to_string(compression) + ".sys");
        SortIndexInfo info;
        {
            MemoryDataStore store;
            Fill(store, rows);
            info = IndexOver(store, int64_t(rows.size()), 64);
            info.SetRequestedIndexSize(5);
            SystemFileDataSource w;
            w.CopyDictionary(store);
            w.SetSortIndexInfo(info);
            w.SetCompressionLevel(compression);
            w.SetFileSpec(path.c_str());
            for (const auto& [word, x] : rows) w.AddRow(Row(word, x).data());
            w.Close();
        }
        SystemFileDataSource r(path, "", false);
        EXPECT_TRUE(r.bExtensionFound(23));
        SortIndexInfo got = r.GetSortIndexInfo();
        EXPECT_EQ(Describe(got), Describe(info));
        // The index read from the file finds cases of the file.
        for (int64_t row : {0, 1, 63, 64, 65, 200, 299}) EXPECT_EQ(Find(got, KeyText(rows, row)), row);
    }
}
