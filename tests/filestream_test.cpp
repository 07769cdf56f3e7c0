// File streams, positioned files and temporary directories.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "filestream.h"
#include "tempdirs.h"

namespace {

// A scratch directory removed with everything in it.
class ScratchDir {
public:
    ScratchDir() {
        char tmpl[] = "/tmp/vesk-fs-XXXXXX";
        fPath = mkdtemp(tmpl);
    }
    ~ScratchDir() {
        for (const std::string& f : Files()) unlink((fPath + "/" + f).c_str());
        rmdir(fPath.c_str());
    }
    std::string File(const char* name) const { return fPath + "/" + name; }
    const std::string& Path() const { return fPath; }
    std::vector<std::string> Files() const {
        std::vector<std::string> out;
        if (DIR* d = opendir(fPath.c_str())) {
            while (dirent* e = readdir(d))
                if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) out.push_back(e->d_name);
            closedir(d);
        }
        return out;
    }

private:
    std::string fPath;
};

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

unsigned Permissions(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 0777) : 0xFFFF;
}

std::string Contents(const std::string& path) {
    std::string out;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return "<missing>";
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    std::fclose(f);
    return out;
}

void WriteText(VESK_FileStream& s, const std::string& text) {
    ASSERT_EQ(s.Write(text.data(), text.size()), text.size());
}

std::string ReadText(VESK_FileStream& s, size_t n) {
    std::string out(n, '\0');
    out.resize(s.Read(out.data(), n));
    return out;
}

std::vector<char> RandomBytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<char> v(n);
    for (char& c : v) c = static_cast<char>(rng());
    return v;
}

// Exposes the protected helpers.
class ProbeStream : public VESK_FileStream {
public:
    using VESK_FileStream::DataReady;
    using VESK_FileStream::GetFile;
    using VESK_FileStream::SetPosition;
};

}  // namespace

TEST(FileStreamTest, OpenModes) {
    ScratchDir dir;
    std::string path = dir.File("modes");
    VESK_FileStream s;

    // Reading a missing file fails with the system's reason.
    errno = 0;
    EXPECT_EQ(s.Open(path.c_str(), "rb"), 0);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(s.Good());

    // "wb" creates; a second "wb" truncates.
    ASSERT_NE(s.Open(path.c_str(), "wb"), 0);
    WriteText(s, "hello world");
    EXPECT_EQ(s.Close(), 1);
    EXPECT_EQ(Contents(path), "hello world");
    ASSERT_NE(s.Open(path.c_str(), "wb"), 0);
    EXPECT_EQ(Contents(path), "");
    WriteText(s, "abcdef");
    // A write-only stream cannot read.
    char c;
    EXPECT_EQ(s.Read(&c, 1), 0u);
    EXPECT_FALSE(s.Good());
    s.Close();

    // "ab" appends, even after seeking back.
    ASSERT_NE(s.Open(path.c_str(), "ab"), 0);
    EXPECT_EQ(s.Tell(), 6);
    s.Seek(0, 0);
    WriteText(s, "XY");
    s.Close();
    EXPECT_EQ(Contents(path), "abcdefXY");

    // "rb" reads and refuses writes; "rb+" and "r+b" overwrite in place.
    ASSERT_NE(s.Open(path.c_str(), "rb"), 0);
    EXPECT_EQ(s.Write("zz", 2), 0u);
    s.Clear();
    EXPECT_EQ(ReadText(s, 100), "abcdefXY");
    s.Close();
    ASSERT_NE(s.Open(path.c_str(), "rb+"), 0);
    s.Seek(2, 0);
    WriteText(s, "CD");
    EXPECT_EQ(ReadText(s, 2), "ef");
    s.Close();
    ASSERT_NE(s.Open(path.c_str(), "r+b"), 0);
    EXPECT_EQ(ReadText(s, 3), "abC");
    WriteText(s, "!");
    s.Close();
    EXPECT_EQ(Contents(path), "abC!efXY");

    // "wb+" reads back what it wrote.
    ASSERT_NE(s.Open(path.c_str(), "wb+"), 0);
    WriteText(s, "0123456789");
    s.Seek(-4, 2);
    EXPECT_EQ(ReadText(s, 10), "6789");
    s.Close();

    // Malformed mode texts.
    errno = 0;
    EXPECT_EQ(s.Open(path.c_str(), "q"), 0);
    EXPECT_EQ(errno, EINVAL);
    for (const char* mode : {"rbZ", "", "rx", static_cast<const char*>(nullptr)}) EXPECT_EQ(s.Open(path.c_str(), mode), 0);
    // 'x' refuses an existing file.
    EXPECT_EQ(s.Open(path.c_str(), "wbx"), 0);
    EXPECT_EQ(errno, EEXIST);

    // Permissions: 'T' gives 0600, otherwise 0666 less the umask.
    mode_t old = umask(022);
    std::string plain = dir.File("plain"), temp = dir.File("temp");
    ASSERT_NE(s.Open(plain.c_str(), "wb"), 0);
    s.Close();
    ASSERT_NE(s.Open(temp.c_str(), "w+bT"), 0);
    s.Close();
    umask(old);
    EXPECT_EQ(Permissions(plain), 0644u);
    EXPECT_EQ(Permissions(temp), 0600u);
    EXPECT_TRUE(Exists(temp));  // no 'D': kept
}

TEST(FileStreamTest, DeleteOnCloseWaitsForTheLastCopy) {
    // Destruction deleting the file is checked with FormTempName below.
    ScratchDir dir;
    std::string path = dir.File("scratch");
    VESK_FileStream s;
    ASSERT_NE(s.Open(path.c_str(), "w+bTD"), 0);
    EXPECT_EQ(Permissions(path), 0600u);
    WriteText(s, "temporary data");
    VESK_FileStream copy(s);
    EXPECT_EQ(s.Close(), 1);
    EXPECT_TRUE(Exists(path));  // the copy still holds it
    copy.Seek(0, 0);
    EXPECT_EQ(ReadText(copy, 9), "temporary");
    EXPECT_EQ(copy.Close(), 1);
    EXPECT_TRUE(dir.Files().empty());
}

TEST(FileStreamTest, CopiesHaveIndependentPositions) {
    ScratchDir dir;
    std::string path = dir.File("copies");
    VESK_FileStream s;
    ASSERT_NE(s.Open(path.c_str(), "w+b"), 0);
    WriteText(s, "ABCDEFGHIJKLMNOPQRSTUVWXYZ");  // still buffered when copied
    VESK_FileStream copy(s);
    EXPECT_EQ(copy.Tell(), 26);
    EXPECT_STREQ(copy.Name(), path.c_str());
    copy.Seek(3, 0);
    s.Seek(10, 0);
    EXPECT_EQ(ReadText(copy, 4), "DEFG");
    EXPECT_EQ(ReadText(s, 4), "KLMN");
    EXPECT_EQ(copy.Tell(), 7);
    EXPECT_EQ(s.Tell(), 14);

    // A copy's flushed write is seen by the other after its Flush.
    copy.Seek(11, 0);
    WriteText(copy, "lm");
    copy.Flush();
    s.Flush();
    s.Seek(10, 0);
    EXPECT_EQ(ReadText(s, 4), "KlmN");

    // Closing one leaves the other working on the shared file.
    EXPECT_EQ(s.Close(), 1);
    EXPECT_FALSE(s.Good());
    EXPECT_EQ(s.Read(nullptr, 0), 0u);
    copy.Seek(-3, 2);
    EXPECT_EQ(ReadText(copy, 10), "XYZ");
    EXPECT_EQ(copy.Close(), 1);
    EXPECT_EQ(copy.Close(), 0);  // already closed
    EXPECT_EQ(Contents(path), "ABCDEFGHIJKlmNOPQRSTUVWXYZ");
}

TEST(FileTest, PositionedReadsAndWrites) {
    ScratchDir dir;
    ExtNameStr name;
    name.SetGeneric(dir.File("positioned").c_str());
    RefCountPtr<VESK_File> f(new VESK_File());
    ASSERT_TRUE(f->Open(name, "w+b"));
    EXPECT_EQ(f->Size(), 0);
    EXPECT_EQ(f->Write("world", 5, 6), 5u);
    EXPECT_EQ(f->Write("hello", 5, 0), 5u);
    EXPECT_EQ(f->Size(), 11);
    char buf[32] = {};
    int err = -1;
    EXPECT_EQ(f->Read(buf, 11, 0, &err), 11u);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(std::string(buf, 11), std::string("hello\0world", 11));  // the gap reads as zeros
    EXPECT_EQ(f->Read(buf, 32, 8, &err), 3u);  // short at the end, no error
    EXPECT_EQ(err, 0);
    EXPECT_EQ(std::string(buf, 3), "rld");
    EXPECT_EQ(f->Read(buf, 4, 100), 0u);
    EXPECT_EQ(f->Read(buf, 4, -1, &err), 0u);
    EXPECT_EQ(err, EINVAL);

    // A large transfer crosses many pages intact.
    std::vector<char> big = RandomBytes(3 << 20, 7), back(3 << 20);
    EXPECT_EQ(f->Write(big.data(), big.size(), 1000), big.size());
    EXPECT_EQ(f->Read(back.data(), back.size(), 1000), back.size());
    EXPECT_EQ(big, back);

    // A copied VESK_File has its own descriptor and never deletes the file.
    VESK_File dup(*f);
    ASSERT_TRUE(dup.IsOpen());
    EXPECT_NE(dup.Descriptor(), f->Descriptor());
    EXPECT_TRUE(f->Close());
    EXPECT_EQ(f->Read(buf, 1, 0, &err), 0u);
    EXPECT_EQ(err, EBADF);
    EXPECT_EQ(f->Write("x", 1, 0, &err), 0u);
    EXPECT_EQ(err, EBADF);
    EXPECT_EQ(f->Size(), -1);
    EXPECT_EQ(dup.Read(buf, 5, 0), 5u);
    EXPECT_EQ(std::string(buf, 5), "hello");

    // closeOnDestruction false leaves the descriptor to its taker.
    int fd;
    {
        VESK_File keep(false);
        ASSERT_TRUE(keep.Open(name, "rb"));
        fd = keep.Descriptor();
    }
    EXPECT_EQ(fcntl(fd, F_GETFD), FD_CLOEXEC);
    close(fd);

    // 'D' unlinks on Close.
    ExtNameStr tname;
    tname.SetGeneric(dir.File("gone").c_str());
    VESK_File t;
    ASSERT_TRUE(t.Open(tname, "w+bTD"));
    EXPECT_TRUE(Exists(tname.GetGeneric()));
    EXPECT_TRUE(t.Close());
    EXPECT_FALSE(Exists(tname.GetGeneric()));
}

TEST(FileStreamTest, MixedReadsAndWritesMatchAModel) {
    // Random small and large reads and writes at random places, on a small and
    // a large buffer, checked against an in-memory copy of the file.
    for (bool large : {false, true}) {
        ScratchDir dir;
        std::string path = dir.File("mixed");
        VESK_FileStream s(large);
        EXPECT_EQ(s.Footprint(), large ? VESK_FileStream::kLargeBuffer : VESK_FileStream::kSmallBuffer);
        ASSERT_NE(s.Open(path.c_str(), "w+b"), 0);
        std::vector<char> model;
        int64_t pos = 0;
        std::mt19937 rng(large ? 11 : 12);
        std::vector<char> data = RandomBytes(3 << 20, 3);
        std::vector<char> got(1500 * 1024);
        for (int op = 0; op < 2000; ++op) {
            int kind = rng() % 10;
            size_t n = rng() % 8 == 0 ? rng() % (1200 * 1024) : rng() % 64 + 1;
            if (kind < 4) {  // write
                size_t from = rng() % (data.size() - n);
                ASSERT_EQ(s.Write(data.data() + from, n), n);
                if (model.size() < pos + n) model.resize(pos + n, 0);
                std::memcpy(model.data() + pos, data.data() + from, n);
                pos += n;
            } else if (kind < 8) {  // read
                size_t r = s.Read(got.data(), n);
                size_t expect = pos >= (int64_t)model.size() ? 0 : std::min(n, model.size() - pos);
                ASSERT_EQ(r, expect) << "op " << op;
                ASSERT_TRUE(std::equal(got.begin(), got.begin() + r, model.begin() + pos)) << "op " << op;
                EXPECT_EQ(s.EndOfFile(), r < n ? 1 : 0);
                pos += r;
            } else {  // seek, sometimes past the end
                int64_t target = rng() % (model.size() + 100000);
                int dir = rng() % 3;
                int64_t off = dir == 0 ? target : dir == 1 ? target - pos : target - (int64_t)model.size();
                ASSERT_EQ(s.Seek(off, dir), 0);
                pos = target;
            }
            ASSERT_EQ(s.Tell(), pos);
        }
        EXPECT_EQ(s.Close(), 1);
        std::string onDisk = Contents(path);
        ASSERT_EQ(onDisk.size(), model.size());
        EXPECT_TRUE(std::equal(onDisk.begin(), onDisk.end(), model.begin()));
    }
}

TEST(FileStreamTest, SeekTellAndEndOfFile) {
    ScratchDir dir;
    std::string path = dir.File("seek");
    ProbeStream s;
    EXPECT_EQ(s.Seek(0, 0), -1);  // not open
    EXPECT_EQ(s.DataReady(), 0);
    EXPECT_EQ(s.GetFile(), nullptr);
    ASSERT_NE(s.Open(path.c_str(), "w+b"), 0);
    EXPECT_EQ(s.DataReady(), 1);
    ASSERT_NE(s.GetFile(), nullptr);
    WriteText(s, "0123456789");
    // The end counts data still in the buffer.
    EXPECT_EQ(s.Seek(-3, 2), 0);
    EXPECT_EQ(s.Tell(), 7);
    EXPECT_EQ(s.Seek(-8, 1), -1);  // before the start: refused, position kept
    EXPECT_EQ(s.Tell(), 7);
    EXPECT_EQ(s.Seek(0, 5), -2);
    EXPECT_EQ(ReadText(s, 2), "78");
    EXPECT_EQ(s.EndOfFile(), 0);
    EXPECT_EQ(ReadText(s, 5), "9");
    EXPECT_EQ(s.EndOfFile(), 1);
    EXPECT_EQ(s.Good(), 1);  // end of file is not an error
    EXPECT_EQ(ReadText(s, 5), "");
    EXPECT_EQ(s.EndOfFile(), 1);
    s.Seek(0, 1);
    EXPECT_EQ(s.EndOfFile(), 0);  // any seek clears it
    ReadText(s, 1);
    s.Clear();
    EXPECT_EQ(s.EndOfFile(), 0);

    EXPECT_EQ(s.GetFile()->Size(), 10);

    // A subclass moving data itself sets the position; the buffer is dropped.
    s.SetPosition(2);
    EXPECT_EQ(ReadText(s, 3), "234");

    // ClearAndReset writes out pending data and goes back to the start.
    s.Seek(0, 0);
    WriteText(s, "AB");
    ReadText(s, 100);
    ASSERT_EQ(s.EndOfFile(), 1);
    s.ClearAndReset();
    EXPECT_EQ(s.EndOfFile(), 0);
    EXPECT_EQ(s.Tell(), 0);
    EXPECT_EQ(ReadText(s, 4), "AB23");
    EXPECT_STREQ(s.Name(), path.c_str());
    EXPECT_STREQ(s.GetNameStr().GetGeneric(), path.c_str());

    // The const Close closes as well; the name stays for a later reopen.
    const ProbeStream& cs = s;
    EXPECT_EQ(cs.Close(), 1);
    EXPECT_EQ(s.Good(), 0);
    ASSERT_NE(s.Open(s.GetNameStr(), "rb"), 0);
    EXPECT_EQ(ReadText(s, 2), "AB");
    // The password forms open plain files the same way.
    ExtNameStr name = s.GetNameStr(), pw;
    pw.SetGeneric("secret");
    ASSERT_NE(s.Open(name, pw, "rb"), 0);
    EXPECT_EQ(ReadText(s, 1), "A");
    ASSERT_NE(s.Open(path.c_str(), "secret", "rb"), 0);
    EXPECT_EQ(ReadText(s, 1), "A");
}

namespace {

// Applies one random script of seeks and reads to a stream and records
// everything it returned (bytes, counts, positions, end-of-file flags).
std::vector<char> RunReadScript(VESK_FileStream& s, int64_t fileSize, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<char> log;
    auto note = [&](int64_t v) {
        const char* p = reinterpret_cast<const char*>(&v);
        log.insert(log.end(), p, p + sizeof v);
    };
    std::vector<char> buf(3 << 20);
    for (int op = 0; op < 200; ++op) {
        int kind = rng() % 10;
        if (kind < 2) {
            int64_t target = rng() % (fileSize + (1 << 20));
            if (rng() % 8 == 0) target = fileSize - rng() % 16;
            note(s.Seek(target, 0));
        } else if (kind < 3) {
            note(s.Seek(static_cast<int64_t>(rng() % 200000) - 100000, 1));
        } else {
            size_t n = kind < 6 ? 8 : kind < 9 ? rng() % 70000 : rng() % (2 << 20);
            size_t r = s.Read(buf.data(), n);
            note(static_cast<int64_t>(r));
            log.insert(log.end(), buf.begin(), buf.begin() + r);
        }
        note(s.Tell());
        note(s.EndOfFile());
    }
    return log;
}

}  // namespace

TEST(FileStreamTest, ReadAheadReturnsWhatPlainReadingReturns) {
    ScratchDir dir;
    std::string path = dir.File("readahead");
    const size_t size = 5 * 1024 * 1024 + 12345;
    std::vector<char> data = RandomBytes(size, 42);
    {
        VESK_FileStream w;
        ASSERT_NE(w.Open(path.c_str(), "wb"), 0);
        ASSERT_EQ(w.Write(data.data(), size), size);
    }
    for (unsigned seed : {1u, 2u, 3u}) {
        VESK_FileStream plain, ahead;
        ASSERT_NE(plain.Open(path.c_str(), "rb"), 0);
        ASSERT_NE(ahead.Open(path.c_str(), "rb"), 0);
        ASSERT_EQ(ahead.EnableMultiThreadReading(), 1);
        EXPECT_EQ(ahead.Footprint(), VESK_FileStream::kSmallBuffer +
                                         VESK_FileStream::kReadAheadSlots * VESK_FileStream::kReadAheadChunk);
        ASSERT_EQ(RunReadScript(plain, size, seed), RunReadScript(ahead, size, seed)) << "seed " << seed;
    }

    // Straight through in 8-byte reads, then past the end.
    VESK_FileStream s;
    ASSERT_NE(s.Open(path.c_str(), "rb"), 0);
    s.Seek(1000, 0);
    ASSERT_EQ(s.EnableMultiThreadReading(), 1);  // starts at the current position
    std::vector<char> got(size);
    char* p = got.data() + 1000;
    size_t r;
    while ((r = s.Read(p, 8)) == 8) p += 8;
    p += r;
    EXPECT_EQ(p - got.data(), (ptrdiff_t)size);
    EXPECT_EQ(s.EndOfFile(), 1);
    EXPECT_TRUE(std::equal(got.begin() + 1000, got.end(), data.begin() + 1000));

    // Seeks to the exact edges of chunks the thread has already prepared.
    const int64_t chunk = VESK_FileStream::kReadAheadChunk;
    s.Seek(0, 0);
    char e[8];
    ASSERT_EQ(s.Read(e, 8), 8u);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    for (int64_t at : {2 * chunk, chunk, chunk - 4, 3 * chunk, 3 * chunk - 8, 0 * chunk}) {
        ASSERT_EQ(s.Seek(at, 0), 0);
        ASSERT_EQ(s.Read(e, 8), 8u) << at;
        EXPECT_TRUE(std::equal(e, e + 8, data.begin() + at)) << at;
        EXPECT_EQ(s.EndOfFile(), 0);
    }
    s.Seek(size - 3, 0);
    EXPECT_EQ(s.Read(e, 8), 3u);
    EXPECT_EQ(s.EndOfFile(), 1);

    // Disabling mid-way keeps the position and the data.
    s.Seek(300, 0);
    char a[16];
    ASSERT_EQ(s.Read(a, 16), 16u);
    s.DisableMultiThreadReading();
    EXPECT_FALSE(s.MultiThreadReading());
    EXPECT_EQ(s.Footprint(), VESK_FileStream::kSmallBuffer);
    ASSERT_EQ(s.Read(a, 16), 16u);
    EXPECT_TRUE(std::equal(a, a + 16, data.begin() + 316));

    // Not open for reading: refused.
    VESK_FileStream closed, writer;
    EXPECT_EQ(closed.EnableMultiThreadReading(), 0);
    ASSERT_NE(writer.Open(dir.File("wo").c_str(), "wb"), 0);
    EXPECT_EQ(writer.EnableMultiThreadReading(), 0);
}

TEST(FileStreamTest, ReadAheadSeesTheStreamsOwnWrites) {
    ScratchDir dir;
    std::string path = dir.File("rw");
    std::vector<char> data = RandomBytes(3 << 20, 5);
    VESK_FileStream s;
    ASSERT_NE(s.Open(path.c_str(), "w+b"), 0);
    ASSERT_EQ(s.Write(data.data(), data.size()), data.size());
    s.Seek(0, 0);
    ASSERT_EQ(s.EnableMultiThreadReading(), 1);
    char buf[64];
    ASSERT_EQ(s.Read(buf, 64), 64u);  // the thread is now reading ahead
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let it prepare chunk 1
    // Overwrite data inside the prepared chunk, then read it back from there.
    const int64_t at = (1 << 20) + 100;
    s.Seek(at, 0);
    WriteText(s, "fresh bytes");
    std::memcpy(data.data() + at, "fresh bytes", 11);
    s.Seek(at - 50, 0);
    ASSERT_EQ(s.Read(buf, 64), 64u);
    EXPECT_TRUE(std::equal(buf, buf + 64, data.begin() + at - 50));
    // Appending past the old end is visible too.
    s.Seek(0, 2);
    WriteText(s, "tail");
    s.Seek(-6, 2);
    EXPECT_EQ(ReadText(s, 10), std::string(data.end() - 2, data.end()) + "tail");
    EXPECT_EQ(s.EndOfFile(), 1);
    // ClearAndReset restarts from the beginning.
    s.ClearAndReset();
    ASSERT_EQ(s.Read(buf, 8), 8u);
    EXPECT_TRUE(std::equal(buf, buf + 8, data.begin()));
    EXPECT_EQ(s.Close(), 1);
    EXPECT_FALSE(s.MultiThreadReading());
}

namespace {

// Sets (or unsets) an environment variable for the life of the object and
// reloads the directory list both ways.
class EnvOverride {
public:
    EnvOverride(const char* var, const char* value) : fVar(var) {
        if (const char* old = std::getenv(var)) fOld = old, fHad = true;
        if (value) setenv(var, value, 1);
        else unsetenv(var);
        VeskTempDirs::Instance().Reload();
    }
    ~EnvOverride() {
        if (fHad) setenv(fVar, fOld.c_str(), 1);
        else unsetenv(fVar);
        VeskTempDirs::Instance().Reload();
    }

private:
    const char* fVar;
    std::string fOld;
    bool fHad = false;
};

}  // namespace

TEST(TempDirsTest, DirectoriesFromTheEnvironment) {
    ScratchDir a, b;
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    const std::string list = ":" + a.Path() + "::" + b.Path() + "/:";
    const struct {
        const char* list;  // VESK_TMPDIRS, null: unset
        const char* tmpdir;
        std::vector<std::string> want;
    } cases[] = {
        {list.c_str(), a.Path().c_str(), {a.Path(), b.Path()}},  // empty entries and trailing slashes dropped
        {nullptr, a.Path().c_str(), {a.Path()}},
        {"", nullptr, {"/tmp"}},
        {"rel/sub", nullptr, {std::string(cwd) + "/rel/sub"}},  // relative entries become absolute
    };
    for (const auto& c : cases) {
        EnvOverride dirs("VESK_TMPDIRS", c.list), tmp("TMPDIR", c.tmpdir);
        std::vector<std::string> got;
        for (int i = 0; i < VeskTempDirs::Instance().Size(); ++i) got.push_back(VeskTempDirs::Instance().Dir(i));
        EXPECT_EQ(got, c.want) << (c.list ? c.list : "(unset)");
    }
}

TEST(TempDirsTest, FormTempNameMakesFreshPrivateFiles) {
    ScratchDir a, b;
    std::string list = a.Path() + ":" + b.Path();
    EnvOverride env("VESK_TMPDIRS", list.c_str());
    std::set<std::string> names;
    for (int i = 0; i < 200; ++i) {
        char buf[261] = {};
        ASSERT_NE(FormTempName("sort", buf), 0);
        std::string name(buf);
        ASSERT_TRUE(names.insert(name).second) << name;
        size_t slash = name.rfind('/');
        std::string dir = name.substr(0, slash), base = name.substr(slash + 1);
        EXPECT_EQ(base.rfind("sort", 0), 0u) << base;
        EXPECT_EQ(dir, i % 2 == 0 ? a.Path() : b.Path());  // round robin
        EXPECT_EQ(Permissions(name), 0600u);                // exists, private
    }

    // The name is usable with the temporary-file mode and vanishes on close.
    char buf[261];
    ASSERT_NE(FormTempName("decrypt", buf, sizeof buf), 0);
    {
        VESK_FileStream s;
        ASSERT_NE(s.Open(buf, "w+bTD"), 0);
        EXPECT_EQ(Permissions(buf), 0600u);
    }
    EXPECT_FALSE(Exists(buf));

    // Failures: too small a buffer, a prefix with a slash, a missing directory.
    char tiny[8];
    errno = 0;
    EXPECT_EQ(FormTempName("x", tiny, sizeof tiny), 0);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_EQ(FormTempName("a/b", buf, sizeof buf), 0);
    EXPECT_EQ(errno, EINVAL);
    EnvOverride missing("VESK_TMPDIRS", (a.Path() + "/no/such/dir").c_str());
    EXPECT_EQ(FormTempName("x", buf, sizeof buf), 0);
    EXPECT_EQ(errno, ENOENT);
}

TEST(TempDirsTest, PesCacheBookkeeping) {
    int kind = 0, flags = 0;
    EXPECT_EQ(TestAndStoreToPes("/data/file.sav", 3, 0), 0);  // new
    EXPECT_EQ(LookupPesCache("/data/file.sav", &kind, &flags), 1);
    EXPECT_EQ(std::make_pair(kind, flags), std::make_pair(3, 0));
    EXPECT_EQ(TestAndStoreToPes("/data/file.sav", 4, 1), 1);  // known: values replaced
    EXPECT_EQ(LookupPesCache("/data/file.sav", &kind, &flags), 1);
    EXPECT_EQ(std::make_pair(kind, flags), std::make_pair(4, 1));
    EXPECT_EQ(RemoveFromPesCache("/data/file.sav"), 1);
    EXPECT_EQ(RemoveFromPesCache("/data/file.sav"), 0);
    EXPECT_EQ(LookupPesCache("/data/file.sav", nullptr, nullptr), 0);
    // A stream without a narrow name hands over null: harmless.
    EXPECT_EQ(TestAndStoreToPes(nullptr, 3, 0), 0);
    EXPECT_EQ(RemoveFromPesCache(nullptr), 0);
}
