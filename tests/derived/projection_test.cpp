#include "ObsProjector.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "memorydatastore.h"
#include "vesk_assert.h"

namespace {

std::vector<OBS> Cells(std::initializer_list<double> values) {
    std::vector<OBS> cells(values.size());
    for (size_t k = 0; k < values.size(); ++k) cells[k].d = values.begin()[k];
    return cells;
}

std::vector<double> Values(const std::vector<OBS>& cells) {
    std::vector<double> out;
    for (const OBS& c : cells) out.push_back(c.d);
    return out;
}

// A store with: a (numeric), s (string of 20: 3 cells), b (numeric), t (string of 4).
void Fill(MemoryDataStore& store, int rows) {
    for (auto [type, name] : {std::pair{0, "a"}, {20, "s"}, {0, "b"}, {4, "t"}}) store.MakeVariable(type).SetName(name);
    VESK_Case row(store, nullptr);
    row.SetColumnValue(3, "abcd");
    for (int r = 0; r < rows; ++r) {
        row.SetColumnValue(0, r);
        row.SetColumnValue(1, ("string number " + std::to_string(r)).c_str());
        row.SetColumnValue(2, -r);
        store.AddRow(row.Cells());
    }
    store.Close();
}

// Reads every case from the source: the two numeric columns given, or a numeric and a string of 20.
std::vector<std::string> ReadAll(VESK_InputCaseIterator* raw, int secondWidth) {
    std::unique_ptr<VESK_InputCaseIterator> it(raw);
    std::vector<std::string> rows;
    while (it->NextCase())
        rows.push_back(std::to_string(int(it->GetNumericValue(0))) + "|" +
                       (secondWidth ? std::string(it->GetStringValue(1), secondWidth)
                                    : std::to_string(int(it->GetNumericValue(1)))));
    return rows;
}

}  // namespace

TEST(ObsProjectorTest, SegmentsFromTargetIndexes) {
    ObsProjector p;
    auto segments = [&p] {
        std::vector<std::vector<uint64_t>> out;
        for (size_t k = 0; k < p.SegmentCount(); ++k)
            out.push_back({p.GetSegment(k).targetOffset, p.GetSegment(k).length, p.GetSegment(k).skip});
        return out;
    };
    const int map[] = {0, 1, -1, 5, 6, 2};
    p.FromTargetIndexes(6, map);
    EXPECT_EQ(segments(), (std::vector<std::vector<uint64_t>>{{0, 16, 8}, {40, 16, 0}, {16, 8, 0}}));

    // Leading skipped cells make an empty first run whose skip moves past them.
    const int lead[] = {-1, -1, 0};
    p.FromTargetIndexes(3, lead);
    EXPECT_EQ(segments(), (std::vector<std::vector<uint64_t>>{{0, 0, 16}, {0, 8, 0}}));
    std::vector<OBS> from = Cells({1, 2, 3}), to = Cells({0});
    p.Copy(from.data(), to.data());
    EXPECT_EQ(to[0].d, 3);
    p.FromTargetIndexes(0, nullptr);  // nothing to copy
    p.Copy(from.data(), to.data());
    EXPECT_EQ(std::make_pair(p.SegmentCount(), to[0].d), std::make_pair(size_t(0), 3.0));
}

TEST(ObsProjectorTest, SourceIndexesCopyAndInverse) {
    ObsProjector p;
    // Target cell t takes source cell src[t]; source cells 1 and 4 are dropped.
    const int src[] = {3, 0, 2, 5};
    EXPECT_EQ(p.FromSourceIndexes(4, src), 4u);
    std::vector<OBS> from = Cells({10, 11, 12, 13, 14, 15}), to = Cells({0, 0, 0, 0});
    p.Copy(from.data(), to.data());
    EXPECT_EQ(Values(to), (std::vector<double>{13, 10, 12, 15}));
    // InverseCopy restores the copied cells and leaves the skipped ones alone.
    std::vector<OBS> back = Cells({-1, -1, -1, -1, -1, -1});
    p.InverseCopy(to.data(), back.data());
    EXPECT_EQ(Values(back), (std::vector<double>{10, -1, 12, 13, -1, 15}));

    // Two targets naming one source cell: the later target wins.
    const int dup[] = {1, 1};
    p.FromSourceIndexes(2, dup);
    p.Copy(from.data(), to.data());
    EXPECT_EQ(Values(to), (std::vector<double>{13, 11, 12, 15}));  // target 0 untouched
    EXPECT_THROW(p.Copy(nullptr, to.data()), VESK_AssertFailed);
}

TEST(ProjectionTest, ReordersAndSubsetsThroughTheIterator) {
    MemoryDataStore store;
    Fill(store, 3);
    const unsigned pick[] = {2, 1};  // b, then the 20-byte string s
    VESK_CProjection proj(store, pick, 2);
    EXPECT_EQ(proj.GetVariable(0).GetName() + proj.GetVariable(1).GetName(), "bs");
    EXPECT_EQ(std::make_pair(proj.GetObsAreaSize(), proj.RowCount()), std::make_pair(4u, 3L));
    const std::vector<std::string> rows = {"0|string number 0     ", "-1|string number 1     ",
                                           "-2|string number 2     "};
    EXPECT_EQ(ReadAll(proj.MakeIterator(nullptr), 20), rows);
    std::unique_ptr<VESK_InputCaseIterator> it(proj.MakeIterator(nullptr));
    ASSERT_TRUE(it->IsSeekOK() && it->Seek(2) && it->Tell() == 2 && it->NextCase());
    EXPECT_EQ(it->GetNumericValue(0), -2);
    // A copy shares the projector and reads the same cases.
    EXPECT_EQ(ReadAll(VESK_CProjection(proj).MakeIterator(nullptr), 20), rows);
}

TEST(ProjectionTest, VariablesExpandToCellsAndPassThroughWithProjector) {
    MemoryDataStore store;
    Fill(store, 3);
    ObsProjector p;
    // Variables expand to their cells: t 1, b 1, s 3 (width 20), a 1; in
    // reverse order no runs merge.
    const unsigned reversed[] = {3, 2, 1, 0}, onlyString[] = {1};
    EXPECT_TRUE(p.FromSourceIndexes(4, reversed, store) == 6u && p.SegmentCount() == 4u);
    EXPECT_EQ(p.FromSourceIndexes(1, onlyString, store), 3u);

    // A source over the store whose own layout is (a, b): the projector picks cells 0 and 4.
    const unsigned pick[] = {0, 2};
    VESK_CProjection layout(store, pick, 2);
    p.FromSourceIndexes(2, pick, store);
    struct Derived : VESK_DataSource {
        Derived(const VESK_DataSource& shape, const VESK_DataSource& parent, const ObsProjector& p)
            : VESK_DataSource(&parent), fP(p) {
            CopyDictionary(shape);
        }
        VESK_InputCaseIterator* MakeIterator(OBS* buffer) const override { return new PassThroughIter(*this, buffer, &fP); }
        const ObsProjector& fP;
    } derived(layout, store, p);
    ASSERT_EQ(derived.GetObsAreaSize(), 2u);
    EXPECT_EQ(ReadAll(derived.MakeIterator(nullptr), 0), (std::vector<std::string>{"0|0", "1|-1", "2|-2"}));
}
