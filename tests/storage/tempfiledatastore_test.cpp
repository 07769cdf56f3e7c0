// The temp-file data store, its iterator and the procedure iterator.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "TempFileDataStore.h"
#include "errortext.h"
#include "memorydatastore.h"
#include "tempstorage.h"
#include "variable.h"

namespace {

using Row = std::vector<double>;
using It = std::unique_ptr<VESK_InputCaseIterator>;

// Columns: a number, a 20-byte string (3 cells), a number.
void Dictionary(VESK_DataSource& ds) {
    ds.MakeVariable(0);
    ds.MakeVariable(20);
    ds.MakeVariable(0);
}

// Row i in that layout: coded and raw numbers, system-missing, text.
std::vector<OBS> MakeRow(int i) {
    std::vector<OBS> r(5);
    r[0].d = i % 3 == 0 ? VESK_SYSMIS : i * 0.5;
    std::string s = "row " + std::to_string(i);
    s.resize(24, ' ');
    std::memcpy(r[1].c, s.data(), 24);
    r[4].d = double(i % 200 - 50);
    return r;
}

bool Holds(const VESK_InputCaseIterator& it, int row) {
    return std::memcmp(it.GetCase().Cells(), MakeRow(row).data(), 5 * sizeof(OBS)) == 0;
}

class TempFileDataStoreTest : public testing::TestWithParam<bool> {
protected:
    StorageDir fA{"storeA"}, fB{"storeB"};
    UseTempDirs fDirs{{fA.path, fB.path}};
    UseCompression fCompression{GetParam()};
};

TEST_P(TempFileDataStoreTest, RowsReadBackSequentiallyAndAfterSeeks) {
    TempFileDataStore store;
    Dictionary(store);
    const int n = 400000;  // compressed: two blocks per stripe
    for (int i = 0; i < n; ++i) store.AddRow(MakeRow(i).data());
    EXPECT_FALSE(store.IsLoaded());
    It it(store.MakeIterator(nullptr));
    EXPECT_TRUE(store.IsLoaded());
    EXPECT_EQ(store.RowCount(), n);
    EXPECT_EQ(store.TempFile().Kind(), GetParam() ? VESK_TempFile::kZlib : VESK_TempFile::kPlain);
    for (int i = 0; i < n; ++i) ASSERT_TRUE(it->NextCase() && Holds(*it, i)) << i;
    EXPECT_EQ(it->NextCase(), 0);
    EXPECT_EQ(it->Seek(n), 0);
    EXPECT_EQ(it->Seek(-1), 0);
    // The last row, the row just read again, back, a short and a long step
    // forward, back to the start.
    for (int row : {n - 1, n - 1, 300000, 5, 5, 7, 150000, 149999, 0}) {
        EXPECT_EQ(it->Seek(row), 1);
        ASSERT_TRUE(it->NextCase() && Holds(*it, row)) << row;
        EXPECT_EQ(it->Tell(), row + 1);
    }
    // Two iterators read alternately.
    It other(store.MakeIterator(nullptr));
    it->Seek(100);
    for (int i = 0; i < 100; ++i)
        ASSERT_TRUE(it->NextCase() && other->NextCase() && Holds(*it, 100 + i) && Holds(*other, i));
}

TEST_P(TempFileDataStoreTest, ProcedurePassUpdatesInsertsAndKeepsFetchedCases) {
    MemoryDataStore parent;
    parent.MakeVariable(0);
    parent.MakeVariable(10);
    std::vector<OBS> r(3);
    for (int i = 0; i < 5; ++i) {
        r[0].d = i;
        std::memcpy(r[1].c, "abcdefghijklmnop", 16);
        parent.AddRow(r.data());
    }
    TempFileDataStore store(&parent);
    store.MakeVariable(0);  // the new column
    std::vector<Row> expected;
    {
        std::unique_ptr<ProcedureDataStorage> pass(store.MakeIterator(1u, nullptr));
        OBS* cells = pass->GetCase().Cells();
        ASSERT_EQ(pass->NextCase(), 1);  // 0: updated
        cells[3].d = 100;
        pass->UpdateCase();
        ASSERT_EQ(pass->NextCase(), 1);  // 1: kept as fetched, new column as last saved
        cells[3].d = 7;
        ASSERT_EQ(pass->NextCase(), 1);  // 2: replaced by the buffer
        cells[0].d = -2;
        cells[3].d = 102;
        pass->InsertCase();
        ASSERT_EQ(pass->NextCase(), 1);  // 3: updated, then a case inserted after it
        cells[3].d = 103;
        pass->UpdateCase();
        cells[0].d = 33;
        pass->InsertCase();
        EXPECT_EQ(pass->Tell(), 5);
        ASSERT_EQ(pass->NextCase(), 1);  // 4: kept by the last Next
        EXPECT_EQ(pass->NextCase(), 0);
        EXPECT_EQ(pass->Seek(0), 0);
        expected = {{0, 100}, {1, 100}, {-2, 102}, {3, 103}, {33, 103}, {4, 103}};
    }
    EXPECT_TRUE(store.IsLoaded());
    EXPECT_EQ(store.GetParentSource(), nullptr);
    It it(store.MakeIterator(nullptr));
    for (const Row& e : expected) {
        ASSERT_EQ(it->NextCase(), 1);
        EXPECT_EQ(Row({it->GetCase().Cells()[0].d, it->GetCase().Cells()[3].d}), e);
        EXPECT_EQ(std::string(it->GetCase().Cells()[1].c, 10), "abcdefghij");
    }
    EXPECT_EQ(it->NextCase(), 0);
}

TEST_P(TempFileDataStoreTest, ProcedurePassOverAnEmptyParentStoresNothing) {
    MemoryDataStore parent;
    parent.MakeVariable(0);
    TempFileDataStore store(&parent);
    store.MakeVariable(0);
    std::unique_ptr<ProcedureDataStorage> pass(store.MakeIterator(1u, nullptr));
    EXPECT_EQ(pass->NextCase(), 0);
    EXPECT_EQ(pass->Tell(), 0);
    pass.reset();
    EXPECT_EQ(store.RowCount(), 0);
    It it(store.MakeIterator(nullptr));
    EXPECT_EQ(it->NextCase(), 0);
}

// The width is fixed by the first row; rows wider than a later, smaller
// dictionary fill what the case holds.
TEST_P(TempFileDataStoreTest, FirstRowFixesTheWidth) {
    TempFileDataStore store;
    store.MakeVariable(0);
    store.MakeVariable(0);
    const OBS row[3] = {{1.0}, {2.0}, {3.0}};
    store.AddRow(row);
    store.MakeVariable(0);
    store.AddRow(row);
    EXPECT_EQ(store.RowWidth(), 2);
    store.DeleteVariables(1, 2);
    It it(store.MakeIterator(nullptr));
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(it->NextCase(), 1);
        EXPECT_EQ(it->GetCase().Cells()[0].d, 1.0);
    }
    EXPECT_EQ(it->NextCase(), 0);
}

// The process may not write files beyond `bytes` while the object lives.
struct FileSizeLimit {
    explicit FileSizeLimit(rlim_t bytes) {
        signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &fOld);
        rlimit lower = fOld;
        lower.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &lower);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &fOld); }
    rlimit fOld;
};

int ErrorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const VeskError& e) {
        return e.Number();
    }
    return 0;
}

// A full disk fails AddRow or Close with 1002; the rows never read as valid (1003).
TEST_P(TempFileDataStoreTest, FailedWritesRaise1002AndReads1003) {
    TempFileDataStore store;
    Dictionary(store);
    int error = 0;
    {
        FileSizeLimit limit(1 << 20);
        for (int i = 0; i < 1000000 && !error; ++i)
            error = ErrorOf([&] { store.AddRow(MakeRow(int(i * 7919LL % 1000003)).data()); });
        if (!error) error = ErrorOf([&] { store.Close(); });
    }
    EXPECT_EQ(error, 1002);
    It it(store.MakeIterator(nullptr));
    EXPECT_EQ(ErrorOf([&] { it->NextCase(); }), 1003);
}

INSTANTIATE_TEST_SUITE_P(Compression, TempFileDataStoreTest, testing::Bool());

}  // namespace
