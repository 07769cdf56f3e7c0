// Writing when the disk fills or the file system fails: every failure is
// reported as 1202, and a replacing write never costs the old file.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "SaveFile.h"
#include "SystemFileDataSource.h"
#include "case.h"
#include "errortext.h"
#include "filestream.h"
#include "tempdir.h"

namespace {

constexpr int kCompressions[] = {0, 1, 2};

std::string Slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

void Put(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

// What the hook makes fail.
struct Plan {
    // A file cannot grow past this size (as under a file size limit, or on
    // a full disk: writes inside the file still succeed); -1: no limit.
    int64_t sizeLimit = -1;
    // The write carrying this byte (counting all bytes written) fails, and
    // no other (a passing fault); -1: none.
    int64_t failByte = -1;
    // The close, sync or rename with this index fails; -1: none.
    int failOperation = -1;
};
// What the hook saw.
struct Seen {
    int64_t written = 0;   // bytes asked to be written
    int64_t largest = 0;   // end of the furthest write
    std::vector<VESK_FileFaults::Operation> operations;
};
Plan gPlan;
Seen gSeen;

int Faults(VESK_FileFaults::Operation op, int64_t position, size_t* allowed) {
    if (op != VESK_FileFaults::kWrite) {
        gSeen.operations.push_back(op);
        return int(gSeen.operations.size()) - 1 == gPlan.failOperation ? EIO : 0;
    }
    const int64_t first = gSeen.written, end = position + int64_t(*allowed);
    gSeen.written += int64_t(*allowed);
    gSeen.largest = std::max(gSeen.largest, end);
    if (gPlan.sizeLimit >= 0 && end > gPlan.sizeLimit) {
        *allowed = size_t(std::max<int64_t>(0, gPlan.sizeLimit - position));
        return EFBIG;
    }
    if (gPlan.failByte >= first && gPlan.failByte < gSeen.written) {
        *allowed = size_t(gPlan.failByte - first);
        return EIO;
    }
    return 0;
}

// Runs f under the plan; the error number it raises, 0 for none.
int Under(const Plan& plan, const std::function<void()>& f) {
    gPlan = plan;
    gSeen = Seen();
    VESK_FileFaults::SetHook(Faults);
    int error = 0;
    try {
        f();
    } catch (const VeskError& e) {
        error = e.Number();
    }
    VESK_FileFaults::SetHook(nullptr);
    return error;
}

// A small file: small and raw numbers, text, and a case count to patch.
void Fill(SystemFileDataSource& out, int compression) {
    out.MakeVariable(0).SetName("n");
    out.MakeVariable(20).SetName("s");
    out.SetCompressionLevel(compression);
    VESK_Case row(out, nullptr);
    for (int k = 0; k < 12; ++k) {
        row.SetColumnValue(0, k % 3 ? k * 1.5 : k);
        row.SetColumnValue(1, k % 2 ? "some text" : "");
        out.AddRow(row.Cells());
    }
    out.Close();
}

void WriteReplacing(const std::string& path, int compression) {
    SaveFile out(path.c_str(), nullptr, false);
    Fill(out, compression);
}

void WriteInPlace(const std::string& path, int compression) {
    SystemFileDataSource out;
    out.SetFileSpec(path.c_str());
    Fill(out, compression);
}

const char kOld[] = "the old file";

}  // namespace

TEST(WriteFailureTest, EveryFailedWriteCloseSyncAndRenameIsReported) {
    TempDir dir;
    const std::string target = dir.File("t.sys");
    for (int c : kCompressions) {
        SCOPED_TRACE("compression " + std::to_string(c));
        Put(target, kOld);
        ASSERT_EQ(Under({}, [&] { WriteReplacing(target, c); }), 0);
        const Seen clean = gSeen;
        ASSERT_GT(clean.largest, 500);
        // The file and its temporary copy are closed, the copy synced and
        // renamed, the directory synced: only that sync follows the rename.
        const int nOps = int(clean.operations.size());
        ASSERT_GE(nOps, 4);
        ASSERT_EQ(clean.operations.back(), VESK_FileFaults::kSync);
        Put(target, kOld);
        auto check = [&](const Plan& plan, const std::string& what, bool replaced = false) {
            ASSERT_EQ(Under(plan, [&] { WriteReplacing(target, c); }), 1202) << what;
            if (replaced) ASSERT_EQ(SystemFileDataSource(target, "", false).RowCount(), 12) << what;
            else ASSERT_EQ(Slurp(target), kOld) << what;
            ASSERT_EQ(dir.Names(), std::vector<std::string>{"t.sys"}) << what;
        };
        for (int64_t k = 0; k < clean.largest; ++k) check({.sizeLimit = k}, "file size limit " + std::to_string(k));
        for (int64_t k = 0; k < clean.written; ++k) check({.failByte = k}, "failing byte " + std::to_string(k));
        for (int i = 0; i < nOps; ++i)
            check({.failOperation = i}, "failing operation " + std::to_string(i), i + 1 == nOps);
    }
    // Writing in place (as the tool does into its own temporary file).
    for (int c : kCompressions) {
        unlink(target.c_str());
        ASSERT_EQ(Under({}, [&] { WriteInPlace(target, c); }), 0);
        const int64_t size = gSeen.largest;
        for (int64_t k = 0; k < size; k += 7) {
            unlink(target.c_str());  // (a file truncated by the next write would be flushed to disk first)
            ASSERT_EQ(Under({.sizeLimit = k}, [&] { WriteInPlace(target, c); }), 1202) << c << " limit " << k;
        }
    }
}

TEST(WriteFailureTest, AStreamReportsALostWriteAtEveryLaterFlushAndClose) {
    TempDir dir;
    VESK_FileStream s;
    ASSERT_TRUE(s.Open(dir.File("s").c_str(), "wb"));
    ASSERT_EQ(s.Write("0123456789", 10), 10u);  // buffered
    // A copy writes the pending bytes out first but cannot say that it failed.
    Under({.sizeLimit = 4}, [&] { VESK_FileStream copy(s); });
    errno = 0;
    EXPECT_EQ(std::make_pair(s.Flush(), errno), std::make_pair(0, EFBIG));
    EXPECT_EQ(s.Flush(), 0);
    EXPECT_EQ(s.Close(), 0);
}

TEST(WriteFailureTest, AnUnfinishedReplacingWriteKeepsTheOldFile) {
    TempDir dir;
    const std::string target = dir.File("t.sys");
    Put(target, kOld);
    // An exception that unwinds past an unclosed writer gives the new file up.
    try {
        SaveFile out(target.c_str(), nullptr, false);
        out.MakeVariable(0).SetName("x");
        VESK_Case row(out, nullptr);
        out.AddRow(row.Cells());
        throw std::runtime_error("the caller fails");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(Slurp(target), kOld);
    // After a failed Close no row is taken: it would go to the old file.
    SaveFile out(target.c_str(), nullptr, false);
    out.MakeVariable(0).SetName("x");
    VESK_Case row(out, nullptr);
    out.AddRow(row.Cells());
    EXPECT_EQ(Under({.sizeLimit = 100}, [&] { out.Close(); }), 1202);
    EXPECT_EQ(Under({}, [&] { out.AddRow(row.Cells()); }), 1202);
    EXPECT_EQ(Slurp(target), kOld);
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"t.sys"});
}

TEST(WriteFailureTest, ASpecialFileIsWrittenWhereItIsNotReplaced) {
    TempDir dir;
    const std::string fifo = dir.File("pipe.sys");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // An open reader lets the writer open the pipe; the small file fits in
    // its buffer. A pipe cannot be sought, so the write fails; renaming a
    // finished temporary file onto it would have "succeeded" and replaced
    // the pipe.
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    EXPECT_EQ(Under({}, [&] { WriteReplacing(fifo, 0); }), 1202);
    close(reader);
    struct stat st;
    ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"pipe.sys"});
}
