// Encrypted system files through the reader and the writer: round trips, the
// two password forms, appending, damaged files, and traces of the clear copy.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "SaveFile.h"
#include "SystemFileDataSource.h"
#include "cryptfiles.h"
#include "errorof.h"
#include "errortext.h"
#include "passwordcrypt.h"
#include "sysfilebuilder.h"
#include "tempdir.h"
#include "vesk_assert.h"

using namespace SysFileLayout;
using Rows = std::vector<std::vector<OBS>>;

namespace {

const auto* const kCheapKeys = ::testing::AddGlobalTestEnvironment(new CheapKeys);

using Bits = std::vector<uint64_t>;

Bits BitsOf(const Rows& rows) {
    Bits out;
    for (const auto& r : rows)
        for (const OBS& c : r) out.push_back(c.bits);
    return out;
}

// Every cell of every case, as bits.
Bits ReadAll(const VESK_DataSource& src) {
    std::unique_ptr<VESK_InputCaseIterator> it(src.MakeIterator(nullptr));
    Bits out;
    const unsigned n = src.GetObsAreaSize();
    while (it->NextCase())
        for (unsigned i = 0; i < n; ++i) out.push_back(it->GetCase().Cells()[i].bits);
    return out;
}

// A number, a string of width 20, a very long string, a labelled number.
void Dictionary(VESK_DataSource& ds) {
    ds.MakeVariable(0).SetName("id");
    ds.MakeVariable(20).SetName("name");
    ds.MakeVariable(300).SetName("LongText");
    VESK_Variable& v = ds.MakeVariable(0);
    v.SetName("rating");
    VESK_ValueLabelMap labels(0);
    labels.AddPair(1.0, "good");
    v.SetValueLabels(labels);
}

// Enough rows that the clear file spans several cipher chunks.
Rows MakeRows(int n, int first = 0) {
    Rows rows;
    for (int i = first; i < first + n; ++i)
        rows.push_back(Cells().Num(i).Str("row-" + std::to_string(i), 20).Str(std::string(i % 290, 'x'), 300)
                           .Num(i % 7 == 0 ? VESK_SYSMIS : i % 3).Get());
    return rows;
}

void WriteFile(const std::string& path, const char* password, int level, const Rows& rows, bool mangled = false) {
    SaveFile f(path.c_str(), password, mangled);
    Dictionary(f);
    f.SetCompressionLevel(level);
    for (const auto& r : rows) f.AddRow(r.data());
    f.Close();
}

bool Contains(const Bytes& haystack, const std::string& needle) {
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) != haystack.end();
}

}  // namespace

TEST(EncryptedSystemFileTest, RoundTripsInEveryCompression) {
    TempDir dir;
    const Rows rows = MakeRows(3000);
    for (int level : {0, 1, 2}) {
        const std::string plain = dir.File("plain.sys"), secret = dir.File("secret.sys");
        WriteFile(plain, nullptr, level, rows);
        WriteFile(secret, "geheim", level, rows);
        const Bytes bytes = Slurp(secret);
        EXPECT_EQ(std::string(bytes.begin() + 8, bytes.begin() + 20), "ENCRYPTEDSAV");
        // The text is there in a plain file (unless zlib hides it), never in an encrypted one.
        EXPECT_TRUE((level == 2 || Contains(Slurp(plain), "row-2999")) && !Contains(bytes, "row-2999")) << level;

        SystemFileDataSource clear(plain, "", false), r(secret, "geheim", false);
        EXPECT_EQ(std::make_tuple(r.IsEncrypted(), r.GetCompressionLevel(), r.RowCount(), r.GetPasswordMangled()),
                  std::make_tuple(true, std::min(level, 1), int64_t(3000), false));
        EXPECT_EQ(r.GetVariable(2).GetName(), "LongText");
        const VESK_VLImplPointer& labels = r.GetVariable(3).GetValueLabels();
        EXPECT_TRUE(labels.IsValid() && labels->Size() == 1);
        EXPECT_TRUE(ReadAll(r) == BitsOf(rows) && ReadAll(clear) == BitsOf(rows)) << level;
        // Two iterators read alternately, one of them through Seek.
        std::unique_ptr<VESK_InputCaseIterator> a(r.MakeIterator(nullptr)), b(r.MakeIterator(nullptr));
        b->Seek(2500);
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(a->NextCase() && b->NextCase());
            EXPECT_EQ(a->GetCase().Cells()[0].d, i);
            EXPECT_EQ(b->GetCase().Cells()[0].d, 2500 + i);
        }
    }
}

TEST(EncryptedSystemFileTest, DefaultKeysAreInteractive) {
    TempDir dir;
    FileCipher::ResetNewFileLimits();
    WriteFile(dir.File("d.sys"), "pw", 1, MakeRows(10));
    CheapKeys().SetUp();
    const Bytes bytes = Slurp(dir.File("d.sys"));
    FileCipherPreamble p;
    ASSERT_TRUE(p.Decode(bytes.data() + CryptFileStream::kClearHeaderSize));
    EXPECT_EQ(std::make_pair(p.opslimit, p.memlimit), std::make_pair(uint64_t(2), uint64_t(64) << 20));
    EXPECT_EQ(ReadAll(SystemFileDataSource(dir.File("d.sys"), "pw", false)), BitsOf(MakeRows(10)));
}

TEST(EncryptedSystemFileTest, PasswordFormsAndTheirErrors) {
    TempDir dir;
    const std::string path = dir.File("m.sys"), mangled = PasswordCrypt::encrypt("pw");
    // Written under the unmangled form of a mangled password.
    WriteFile(path, mangled.c_str(), 1, MakeRows(5), true);
    auto flagAfterOpening = [&](const std::string& password, bool flag) {
        SystemFileDataSource r(path, password, flag);
        EXPECT_EQ(ReadAll(r), BitsOf(MakeRows(5)));
        return r.GetPasswordMangled();
    };
    // The form that opens the file decides the flag: the second form turns it over.
    EXPECT_EQ(flagAfterOpening("pw", false), false);
    EXPECT_EQ(flagAfterOpening("pw", true), true);
    EXPECT_EQ(flagAfterOpening(mangled, false), true);
    EXPECT_EQ(flagAfterOpening(mangled, true), true);
    EXPECT_EQ(ErrorOf([&] { SystemFileDataSource(path, "PW", false); }), 1213);
    EXPECT_EQ(ErrorOf([&] { SystemFileDataSource(path, PasswordCrypt::encrypt("PW"), true); }), 1213);
    EXPECT_EQ(ErrorOf([&] { SystemFileDataSource(path, "", false); }), 1214);
    EXPECT_EQ(ErrorOf([&] { SystemFileDataSource(dir.File("none.sys"), "pw", false); }), 1201);
    // A plain file is not an encrypted one.
    WriteFile(dir.File("plain.sys"), nullptr, 1, MakeRows(5));
    EXPECT_EQ(ErrorOf([&] { SystemFileDataSource(dir.File("plain.sys"), "pw", false); }), 1213);
    // A file the process may not write gets the open error.
    chmod(path.c_str(), 0400);
    const int readOnly = ErrorOf([&] { SystemFileDataSource(path, "PW", false); });
    EXPECT_EQ(readOnly, geteuid() == 0 ? 1213 : 1201);  // root may write any file
}

TEST(EncryptedSystemFileTest, AppendsToAnEncryptedFile) {
    TempDir dir;
    for (int level : {0, 1}) {
        const std::string path = dir.File("a" + std::to_string(level) + ".sys");
        SystemFileDataSource w;
        Dictionary(w);
        w.SetFileSpec(path.c_str());
        w.SetPassword(ExtNameStr("pw"));
        w.SetCompressionLevel(level);
        for (const auto& r : MakeRows(40)) w.AddRow(r.data());
        w.Close();
        for (const auto& r : MakeRows(5, 40)) w.AddRow(r.data());  // after Close: appended
        w.Close();
        EXPECT_EQ(ReadAll(w), BitsOf(MakeRows(45))) << level;
        SystemFileDataSource r(path, "pw", false);
        EXPECT_EQ(std::make_pair(ReadAll(r), r.RowCount()), std::make_pair(BitsOf(MakeRows(45)), int64_t(45))) << level;
    }
}

TEST(EncryptedSystemFileTest, AFileThatCannotBeEncipheredRaisesAtClose) {
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    // Written in place (a device is never replaced): every write fails with ENOSPC.
    SystemFileDataSource f;
    f.SetFileSpec("/dev/full");
    f.SetPassword(ExtNameStr("pw"));
    Dictionary(f);
    f.RowCount(3);  // declared, so Close enciphers once, with no count patch before
    for (const auto& r : MakeRows(3)) f.AddRow(r.data());  // into the clear copy
    EXPECT_EQ(ErrorOf([&] { f.Close(); }), 1202);
}

TEST(EncryptedSystemFileTest, DamagedFilesRaiseTheirErrors) {
    TempDir dir;
    const std::string good = dir.File("good.sys"), path = dir.File("bad.sys");
    WriteFile(good, "pw", 0, MakeRows(400));  // about 140 KB of clear data: three chunks
    const Bytes bytes = Slurp(good);
    const size_t preamble = 36, chunk = 65536 + 17, chunks = preamble + 72;
    auto errorOf = [&](const Bytes& b) {
        Spit(path, b);
        return ErrorOf([&] { ReadAll(SystemFileDataSource(path, "pw", false)); });
    };
    auto flipped = [&](size_t at) {
        Bytes b = bytes;
        b[at] ^= 0x04;
        return b;
    };
    auto cut = [&](size_t size) { return Bytes(bytes.begin(), bytes.begin() + long(size)); };
    auto withU64 = [&](size_t at, uint64_t v) {
        Bytes b = bytes;
        std::memcpy(b.data() + at, &v, 8);
        return b;
    };
    Bytes longer = bytes;
    longer.push_back(0);
    const std::pair<Bytes, int> cases[] = {
        // The clear header: its length is checked; its other bytes carry nothing.
        {flipped(0), 1213}, {flipped(20), 0}, {flipped(10), 0},
        // The cipher's preamble, its chunks, the last MAC.
        {flipped(preamble), 1213}, {flipped(preamble + 8), 1213}, {flipped(preamble + 12), 1213},
        {flipped(preamble + 40), 1213}, {flipped(preamble + 60), 1213}, {flipped(chunks + 3), 1213},
        {flipped(chunks + chunk + 3), 1213}, {flipped(bytes.size() - 1), 1213},
        // Limits beyond the sensitive ones are refused before a key is derived.
        {withU64(preamble + 16, 5), 1213}, {withU64(preamble + 24, uint64_t(1) << 40), 1213},
        // Cuts anywhere, at a chunk boundary (no final chunk), one byte short; a byte too many.
        {cut(0), 1213}, {cut(20), 1213}, {cut(preamble), 1213}, {cut(chunks - 1), 1213},
        {cut(chunks + chunk), 1213}, {cut(bytes.size() - 1), 1213}, {longer, 1213},
    };
    for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(errorOf(cases[i].first), cases[i].second) << "case " << i;

    // Authentic files whose clear data is a damaged system file.
    SysFileBuilder zlib;
    zlib.Header({.compression = kCompressZlib}).Variable({.name = "A"}).End();
    WriteEncrypted(path, "pw", zlib.Bytes());
    EXPECT_EQ(ErrorOf([&] { SystemFileDataSource(path, "pw", false); }), 1204);
    SysFileBuilder b;
    b.Variable({.name = "A"}).Variable({.name = "B"}).End().Row(Cells().Num(1).Num(2)).Row(Cells().Num(3).Num(4));
    const Bytes clear = b.Bytes();
    WriteEncrypted(path, "pw", Bytes(clear.begin(), clear.begin() + long(b.DataStart()) - 3));
    EXPECT_EQ(ErrorOf([&] { SystemFileDataSource(path, "pw", false); }), 1205);
    WriteEncrypted(path, "pw", Bytes(clear.begin(), clear.end() - 4));
    SystemFileDataSource r(path, "pw", false);
    std::unique_ptr<VESK_InputCaseIterator> it(r.MakeIterator(nullptr));
    EXPECT_EQ(it->NextCase(), 1);
    EXPECT_EQ(ErrorOf([&] { it->NextCase(); }), 1205);
}

TEST(EncryptedSystemFileTest, NoClearCopyStaysInTheTemporaryDirectory) {
    TempDir dir;
    const std::string path = dir.File("t.sys"), cutCase = dir.File("cut.sys");
    SysFileBuilder b;
    b.Variable({.name = "A"}).End().Row(Cells().Num(1)).Row(Cells().Num(2));
    const Bytes clear = b.Bytes();
    WriteEncrypted(cutCase, "pw", Bytes(clear.begin(), clear.end() - 1));
    for (AnonymousFilePlacement placement : kClearCopyPlacements) {
        ScopedTempDirs tmp(placement);
        WriteFile(path, "pw", 1, MakeRows(20));
        EXPECT_TRUE(tmp.Empty()) << "after writing, placement " << int(placement);
        {
            SystemFileDataSource r(path, "pw", false);
            std::unique_ptr<VESK_InputCaseIterator> it(r.MakeIterator(nullptr));
            EXPECT_TRUE(it->NextCase() && tmp.Empty()) << "while reading, placement " << int(placement);
        }
        EXPECT_EQ(ErrorOf([&] { SystemFileDataSource(path, "wrong", false); }), 1213);
        EXPECT_TRUE(tmp.Empty()) << "after a wrong password, placement " << int(placement);
        EXPECT_EQ(ErrorOf([&] { ReadAll(SystemFileDataSource(cutCase, "pw", false)); }), 1205);
        EXPECT_TRUE(tmp.Empty()) << "after an error mid-read, placement " << int(placement);
    }
}
