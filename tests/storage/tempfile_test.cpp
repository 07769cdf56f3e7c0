// Temporary files striped over the temporary directories, and the in-memory stream.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <numeric>
#include <vector>

#include "errortext.h"
#include "tempfile.h"
#include "tempstorage.h"

namespace {

using Bytes = std::vector<char>;
constexpr int64_t kChunk = VESK_TempFile::kChunk;

Bytes Counting(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = char(i * 7 + i / 65536);
    return b;
}

Bytes Read(VESK_StrBaseIO& s, int64_t at, size_t n) {
    s.Seek(at, VESK_StrBaseIO::SeekFromStart);
    Bytes out(n);
    out.resize(s.Read(out.data(), n));
    return out;
}

Bytes Slice(const Bytes& b, size_t at, size_t n) { return Bytes(b.begin() + long(at), b.begin() + long(at + n)); }

Bytes operator+(Bytes x, const Bytes& y) {
    x.insert(x.end(), y.begin(), y.end());
    return x;
}

TEST(TempFileTest, ChunksAreDealtRoundTheStripes) {
    StorageDir a("stripeA"), b("stripeB");
    UseTempDirs dirs({a.path, b.path});
    VESK_TempFile t("xfrm");
    ASSERT_EQ(t.StripeCount(), 2);
    const Bytes data = Counting(200000);
    ASSERT_EQ(t.Write(data.data(), data.size()), data.size());
    EXPECT_EQ(t.LogicalSize(), 200000);
    ASSERT_EQ(t.Flush(), 1);
    // Stripe 0: chunks 0 and 2; stripe 1: chunk 1 and the first 3,392 bytes of chunk 3.
    EXPECT_EQ(Read(t.Stripe(0), 0, 200000), Slice(data, 0, kChunk) + Slice(data, 2 * kChunk, kChunk));
    EXPECT_EQ(Read(t.Stripe(1), 0, 200000), Slice(data, kChunk, kChunk) + Slice(data, 3 * kChunk, 3392));
    // A read from the middle of a chunk crosses to the other stripe.
    EXPECT_EQ(Read(t, kChunk - 10, 30), Slice(data, kChunk - 10, 30));
    EXPECT_FALSE(t.EndOfFile());
    EXPECT_EQ(t.Seek(0, VESK_StrBaseIO::SeekFromEnd), 0);
    char c;
    EXPECT_EQ(t.Read(&c, 1), 0u);
    EXPECT_TRUE(t.EndOfFile());
    EXPECT_EQ(std::string(t.Name()).find(','), std::string(t.Stripe(0).Name()).size());
    EXPECT_EQ(t.Footprint(), 2 * t.Stripe(0).Footprint());
}

TEST(TempFileTest, KindAndSwitchChooseTheStripes) {
    StorageDir a("kinds");
    UseTempDirs dirs({a.path});
    EXPECT_EQ(VESK_TempFile("cache").Kind(), VESK_TempFile::kPlain);
    UseCompression on(true);
    EXPECT_EQ(VESK_TempFile("xfrm").Kind(), VESK_TempFile::kPlain);
    EXPECT_EQ(VESK_TempFile("cache").Kind(), VESK_TempFile::kZlib);
    EXPECT_EQ(VESK_TempFile("sort").Kind(), VESK_TempFile::kSort);
    EXPECT_EQ(VESK_TempFile("merge").Kind(), VESK_TempFile::kSort);
    EXPECT_EQ(VESK_TempFile("sorted").Kind(), VESK_TempFile::kZlib);
}

// Every stripe kind over three directories: written in uneven pieces, read
// back whole and from copies, which keep their own positions.
TEST(TempFileTest, CompressedStripesReadBackThroughCopies) {
    StorageDir a("cs1"), b("cs2"), c("cs3");
    UseTempDirs dirs({a.path, b.path, c.path});
    UseCompression on(true);
    const Bytes data = MixedBytes(9 * 1000 * 1000 + 5, 4);
    for (const char* kind : {"xfrm", "cache", "sort"}) {
        SCOPED_TRACE(kind);
        VESK_TempFile t(kind, true);
        WriteInPieces(t, data, 300007);
        EXPECT_EQ(t.Close(), 1);
        VESK_TempFile copy(t);
        EXPECT_EQ(Read(copy, 5 * kChunk + 17, 3 * kChunk), Slice(data, 5 * kChunk + 17, 3 * kChunk));
        EXPECT_TRUE(Read(t, 0, data.size() + 1) == data);
        EXPECT_TRUE(t.EndOfFile());
        EXPECT_EQ(Read(copy, 1, 10), Slice(data, 1, 10));
        EXPECT_TRUE(t.Good());
    }
}

// Runs body in a child process and returns how it ended (waitpid status).
template <class Body>
int InChild(Body body) {
    const pid_t child = fork();
    if (child == 0) {
        body();
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return status;
}

// Nothing is left in the directories: not while the file is open, not after
// it goes, not when the process is killed.
TEST(TempFileTest, NoFileIsLeftBehind) {
    StorageDir a("leftA"), b("leftB");
    UseTempDirs dirs({a.path, b.path});
    {
        VESK_TempFile t("cache");
        t.Write("data", 4);
        EXPECT_TRUE(a.Entries().empty() && b.Entries().empty());
    }
    const int status = InChild([] {
        VESK_TempFile t("cache");
        t.Write("data", 4);
        t.Flush();
        raise(SIGKILL);
    });
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    EXPECT_TRUE(a.Entries().empty() && b.Entries().empty());
}

// Empty files named by FormTempName for a process that is gone are removed;
// anything else stays.
TEST(TempFileTest, SweepRemovesOnlyEmptyFilesOfDeadProcesses) {
    StorageDir a("sweep");
    UseTempDirs dirs({a.path});
    const pid_t child = fork();  // a process that has ended
    if (child == 0) _exit(0);
    waitpid(child, nullptr, 0);
    const std::string pid = std::to_string(child);
    const std::vector<std::string> names{"cache" + pid + ".0.abcDE1", "sort" + pid + ".12.zzzzzz", "cache1.0.abcdef",
                                         "notours.txt", "cache" + pid + ".3.full01", "x" + pid + ".1.abc"};
    for (const std::string& name : names) {
        std::ofstream f(a.File(name));
        if (name.find("full") != std::string::npos) f << "keep";
    }
    VESK_TempFile::RemoveAbandonedFiles();
    std::vector<std::string> left = a.Entries();
    std::sort(left.begin(), left.end());
    std::vector<std::string> kept{"cache" + pid + ".3.full01", "cache1.0.abcdef", "notours.txt", "x" + pid + ".1.abc"};
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(left, kept);
}

TEST(TempFileTest, DirectoryThatCannotHoldFilesRaises1001) {
    UseTempDirs dirs({"/nonexistent-vesk-dir"});
    try {
        VESK_TempFile t("cache");
        FAIL();
    } catch (const VeskError& e) {
        EXPECT_EQ(e.Number(), 1001);
    }
}

TEST(InMemoryFileTest, ChunksPositionsAndEnd) {
    VESK_InMemoryFile m;
    const Bytes data = Counting(VESK_InMemoryFile::kChunk + 1);
    EXPECT_EQ(m.Write(data.data(), data.size()), data.size());
    EXPECT_EQ(m.ChunkCount(), 2u);
    EXPECT_EQ(m.Seek(0, VESK_StrBaseIO::SeekFromEnd), 0);
    EXPECT_TRUE(m.EndOfFile());
    EXPECT_EQ(m.Seek(1, VESK_StrBaseIO::SeekFromEnd), -1);
    EXPECT_EQ(m.Seek(-1, VESK_StrBaseIO::SeekFromStart), -1);
    EXPECT_EQ(m.Seek(0, 7), -2);
    EXPECT_EQ(m.Tell(), int64_t(data.size()));
    // Overwrite across the chunk boundary, then read everything back.
    EXPECT_EQ(m.Seek(-3, VESK_StrBaseIO::SeekFromEnd), 0);
    m.Write("abcdef", 6);
    EXPECT_EQ(m.Length(), int64_t(data.size()) + 3);
    Bytes expected = data;
    expected.resize(data.size() - 3);
    expected = expected + Bytes{'a', 'b', 'c', 'd', 'e', 'f'};
    EXPECT_EQ(Read(m, 0, data.size() + 100), expected);
    EXPECT_TRUE(m.EndOfFile());
}

}  // namespace
