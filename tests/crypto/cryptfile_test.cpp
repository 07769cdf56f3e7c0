// The file cipher, the mangled password form, anonymous files and the
// encrypted file stream.
#include <gtest/gtest.h>
#include <sodium.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "cryptfiles.h"
#include "memstream.h"
#include "passwordcrypt.h"
#include "tempdir.h"
#include "vesk_assert.h"

namespace {

constexpr size_t kChunk = FileCipherPreamble::kChunkSize;
constexpr size_t kSealed = kChunk + 17;

const auto* const kCheapKeys = ::testing::AddGlobalTestEnvironment(new CheapKeys);

Bytes RandomBytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& x : b) x = uint8_t(rng());
    return b;
}

Bytes Encrypt(FileCipher& cipher, const std::string& password, const Bytes& clear) {
    MemStream in(clear), out;
    EXPECT_EQ(cipher.encrypt(password, in, out), 1);
    return out.Data();
}

// Whether sealed deciphers under the password; the clear bytes through clear.
bool Decrypt(const std::string& password, const Bytes& sealed, Bytes* clear = nullptr) {
    FileCipher cipher;
    MemStream in(sealed), out;
    const bool ok = cipher.decrypt(password, in, out) != 0;
    if (clear) *clear = out.Data();
    return ok;
}

// The start of a system file, enough for the stream's check of clear data.
Bytes ClearFile(uint32_t layoutCode = 2, const char* magic = "$FL2", size_t size = 200) {
    Bytes b(size, 'x');
    std::memcpy(b.data(), magic, 4);
    std::memcpy(b.data() + 64, &layoutCode, 4);
    return b;
}

}  // namespace

TEST(FileCipherTest, RoundTripsAroundChunkBoundaries) {
    for (size_t n : {size_t(0), size_t(1), kChunk - 1, kChunk, kChunk + 1, 2 * kChunk + 5}) {
        const Bytes clear = RandomBytes(n, unsigned(n));
        FileCipher cipher;
        const Bytes sealed = Encrypt(cipher, "pässwörd", clear);
        // Full chunks carry TAG_MESSAGE; a last, shorter (maybe empty) one TAG_FINAL.
        EXPECT_EQ(sealed.size(), FileCipherPreamble::kSize + n + (n / kChunk + 1) * 17) << n;
        Bytes back;
        EXPECT_TRUE(Decrypt("pässwörd", sealed, &back)) << n;
        EXPECT_EQ(back, clear) << n;
        EXPECT_FALSE(Decrypt("passwörd", sealed)) << n;
    }
}

TEST(FileCipherTest, KeepsTheKeyOnlyForItsOwnPassword) {
    const Bytes clear = RandomBytes(1000, 1);
    FileCipher cipher;
    const Bytes first = Encrypt(cipher, "one", clear);
    const Bytes again = Encrypt(cipher, "one", clear);
    const Bytes other = Encrypt(cipher, "two", clear);
    auto salt = [](const Bytes& b) { return Bytes(b.begin() + 32, b.begin() + 48); };
    // The same password keeps salt and key; the stream header (nonce) is new each time.
    EXPECT_EQ(salt(again), salt(first));
    EXPECT_NE(Bytes(again.begin() + 48, again.begin() + 72), Bytes(first.begin() + 48, first.begin() + 72));
    EXPECT_NE(salt(other), salt(first));
    EXPECT_TRUE(Decrypt("one", again) && Decrypt("two", other) && !Decrypt("one", other));
    // A deciphered stream's key serves re-enciphering under its password.
    FileCipher reader;
    MemStream in(first), out;
    ASSERT_EQ(reader.decrypt("one", in, out), 1);
    EXPECT_EQ(salt(Encrypt(reader, "one", clear)), salt(first));
}

// Another writer may end with a full chunk carrying TAG_FINAL; nothing may follow it.
TEST(FileCipherTest, ReadsAFullFinalChunkOfAnotherWriter) {
    FileCipherPreamble p;
    p.opslimit = FileCipher::MinOpsLimit();
    p.memlimit = FileCipher::MinMemLimit();
    randombytes_buf(p.salt, sizeof p.salt);
    unsigned char key[32];
    ASSERT_EQ(crypto_pwhash(key, sizeof key, "pw", 2, p.salt, p.opslimit, size_t(p.memlimit),
                            crypto_pwhash_ALG_ARGON2ID13), 0);
    crypto_secretstream_xchacha20poly1305_state state;
    crypto_secretstream_xchacha20poly1305_init_push(&state, p.streamHeader, key);
    Bytes sealed(FileCipherPreamble::kSize + kSealed);
    p.Encode(sealed.data());
    const Bytes clear = RandomBytes(kChunk, 3);
    crypto_secretstream_xchacha20poly1305_push(&state, sealed.data() + FileCipherPreamble::kSize, nullptr,
                                               clear.data(), clear.size(), sealed.data(), FileCipherPreamble::kSize,
                                               crypto_secretstream_xchacha20poly1305_TAG_FINAL);
    Bytes back;
    EXPECT_TRUE(Decrypt("pw", sealed, &back));
    EXPECT_EQ(back, clear);
    sealed.push_back(0);
    EXPECT_FALSE(Decrypt("pw", sealed));
}

TEST(FileCipherTest, PreambleRefusesHostileParameters) {
    FileCipher cipher;
    const Bytes sealed = Encrypt(cipher, "pw", {});
    FileCipherPreamble ok;
    ASSERT_TRUE(ok.Decode(sealed.data()));
    EXPECT_EQ(std::make_pair(ok.opslimit, ok.memlimit), std::make_pair(FileCipher::MinOpsLimit(), FileCipher::MinMemLimit()));
    struct Case {
        uint64_t ops, mem;
        bool accepted;
    };
    const uint64_t kSensitiveOps = 4, kSensitiveMem = uint64_t(1) << 30;
    for (const Case& c : {Case{kSensitiveOps, kSensitiveMem, true}, Case{kSensitiveOps + 1, 8192, false},
                          Case{1, kSensitiveMem + 1, false}, Case{0, 8192, false}, Case{1, 8191, false},
                          Case{1, uint64_t(1) << 62, false}}) {
        FileCipherPreamble p = ok;
        p.opslimit = c.ops;
        p.memlimit = c.mem;
        unsigned char bytes[FileCipherPreamble::kSize];
        p.Encode(bytes);
        EXPECT_EQ(FileCipherPreamble().Decode(bytes), c.accepted) << c.ops << " " << c.mem;
        EXPECT_EQ(FileCipher::SetNewFileLimits(c.ops, c.mem), c.accepted);
    }
    // Version and chunk size other than ours.
    for (size_t at : {size_t(8), size_t(13)}) {
        Bytes b(sealed.begin(), sealed.begin() + FileCipherPreamble::kSize);
        b[at] ^= 1;
        EXPECT_FALSE(FileCipherPreamble().Decode(b.data())) << at;
    }
    FileCipher::SetNewFileLimits(FileCipher::MinOpsLimit(), FileCipher::MinMemLimit());
}

TEST(PasswordCryptTest, MangledFormRoundTripsAndOtherTextStaysAsItIs) {
    EXPECT_EQ(PasswordCrypt::encrypt("A"), "*V1*1B");  // 0x41 ^ 0x5A
    for (const std::string& pw : std::vector<std::string>{"", "secret", "pässwörd with spaces", std::string(300, 'z')}) {
        std::string back;
        EXPECT_TRUE(PasswordCrypt::decrypt(PasswordCrypt::encrypt(pw), back));
        EXPECT_EQ(back, pw);
    }
    for (const std::string text : {"plain", "*V1*1", "*V1*1g", "*V2*1B"}) {
        std::string back;
        EXPECT_FALSE(PasswordCrypt::decrypt(text, back));
        EXPECT_EQ(back, text);
    }
    ExtNameStr mangled;
    mangled.SetU8(PasswordCrypt::encrypt("ünï").c_str());
    EXPECT_STREQ(PasswordCrypt::decrypt(mangled).GetU8(), "ünï");
}

TEST(AnonymousFileTest, ReopensByNameAndNoDirectoryListsIt) {
    for (AnonymousFilePlacement placement : kClearCopyPlacements) {
        ScopedTempDirs tmp(placement);
        AnonymousFilePlacement used;
        const int fd = OpenAnonymousFile("decrypt", placement, &used);
        ASSERT_GE(fd, 0);
        if (used != placement) {
            close(fd);
            continue;  // not offered by this system; the next placement was taken
        }
        struct stat st;
        ASSERT_EQ(fstat(fd, &st), 0);
        EXPECT_TRUE(placement == AnonymousFilePlacement::kMemory || (st.st_mode & 0777) == 0600) << int(placement);
        EXPECT_EQ(write(fd, "abc", 3), 3);
        VESK_FileStream again;
        ASSERT_EQ(again.Open(AnonymousFileName(fd).c_str(), "rb"), 1);
        char text[4] = {};
        EXPECT_EQ(again.Read(text, 3), 3u);
        EXPECT_STREQ(text, "abc");
        EXPECT_TRUE(tmp.Empty()) << int(placement);
        again.Close();
        close(fd);
    }
}

TEST(CryptFileStreamTest, WritesTheClearHeaderAndReadsBack) {
    TempDir dir;
    const std::string path = dir.File("s.sys");
    const ExtNameStr name(path.c_str()), pw("pw");
    const Bytes clear = ClearFile();
    {
        CryptFileStream s(name, pw, "wb");
        ASSERT_TRUE(s.Good());
        // Opening for writing creates the file and deciphers nothing.
        EXPECT_EQ(std::filesystem::file_size(path), 0u);
        EXPECT_EQ(s.Write(clear.data(), clear.size()), clear.size());
        EXPECT_EQ(std::make_tuple(s.Name(), s.Footprint(), std::string(s.GetNameStr().GetU8())),
                  std::make_tuple(static_cast<const char*>(nullptr), 8u, path));
        EXPECT_EQ(s.Close(), 1);
    }
    const Bytes file = Slurp(path);
    const Bytes header = {28, 0, 0, 0, 0, 0, 0, 0, 'E', 'N', 'C', 'R', 'Y', 'P', 'T', 'E', 'D', 'S',
                          'A', 'V', 21, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_GT(file.size(), 36u);
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 36), header);
    EXPECT_EQ(std::string(file.begin() + 36, file.begin() + 44), "VESKENC1");

    CryptFileStream s(name, pw, "rb");
    Bytes back(clear.size());
    EXPECT_EQ(s.Read(back.data(), back.size()), clear.size());
    EXPECT_EQ(back, clear);
    EXPECT_EQ(s.EndOfFile(), 1);
    EXPECT_EQ(s.Seek(64, VESK_StrBaseIO::SeekFromStart), 0);
    EXPECT_EQ(std::make_pair(s.Tell(), s.EndOfFile()), std::make_pair(int64_t(64), 0));
    EXPECT_EQ(s.Write("z", 1), 0u);  // a read-only clear copy
    // Reading and closing leaves the file as it was (a rewrite would change salt and nonce).
    EXPECT_EQ(s.Close(), 1);
    EXPECT_EQ(Slurp(path), file);
    EXPECT_EQ(s.Open("narrow.sys", "pw", "rb"), 0);
}

TEST(CryptFileStreamTest, RefusesHeadersAndClearDataThatAreNotOurs) {
    TempDir dir;
    const std::string path = dir.File("h.sys");
    auto opens = [&](const std::string& password = "pw") {
        CryptFileStream s;
        const int ok = s.Open(ExtNameStr(path.c_str()), ExtNameStr(password.c_str()), "rb");
        EXPECT_EQ(s.GetNameStr().Empty(), ok == 0);  // a failed open keeps no CryptFile
        return ok;
    };
    // The clear data must start with a system file's magic and layout code 1..3 in either order.
    const std::pair<Bytes, int> clear[] = {
        {ClearFile(2), 1}, {ClearFile(3, "$FL3"), 1}, {ClearFile(1u << 24), 1}, {ClearFile(4), 0},
        {ClearFile(0), 0}, {ClearFile(2, "$FL4"), 0}, {ClearFile(2, "$FL2", 79), 0},
    };
    for (const auto& [bytes, expected] : clear) {
        WriteEncrypted(path, "pw", bytes);
        EXPECT_EQ(opens(), expected) << bytes.size();
    }
    WriteEncrypted(path, "pw", ClearFile());
    const Bytes good = Slurp(path);
    EXPECT_EQ(opens("PW"), 0);
    // The record length must be 28; the record's text must not be the bare
    // magic (ours runs on into the version byte); other text is left to the cipher.
    const std::pair<std::function<void(Bytes&)>, int> headers[] = {
        {[](Bytes& b) { b[0] = 27; }, 0},
        {[](Bytes& b) { b[7] = 1; }, 0},
        {[](Bytes& b) { b[20] = 0; }, 0},
        {[](Bytes& b) { b[9] = 'X'; }, 1},
        {[](Bytes& b) { b.resize(30); }, 0},
    };
    for (const auto& [damage, expected] : headers) {
        Bytes b = good;
        damage(b);
        Spit(path, b);
        EXPECT_EQ(opens(), expected);
    }
    EXPECT_EQ(CryptFileStream().Open(ExtNameStr(dir.File("none.sys").c_str()), ExtNameStr("pw"), "rb"), 0);
}

TEST(CryptFileStreamTest, CryptFileCannotBeCopied) {
    CryptFile original;
    try {
        CryptFile copy(original);
        ADD_FAILURE() << "copied";
    } catch (const VESK_AssertFailed& e) {
        EXPECT_STREQ(e.Condition(), "0 && \"Cannot copy a CryptFile.\"");
        EXPECT_STREQ(e.SourceFile(), "Datasource/src/cryptfile");
    }
}

TEST(CryptFileStreamTest, ClearCopyNeverShowsInTheTemporaryDirectory) {
    for (AnonymousFilePlacement placement : kClearCopyPlacements) {
        ScopedTempDirs tmp(placement);
        TempDir dir;
        const std::string path = dir.File("k.sys");
        WriteEncrypted(path, "pw", ClearFile());
        EXPECT_TRUE(tmp.Empty());
        // Killed while the clear copy is open: nothing stays behind either.
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        const pid_t child = fork();
        if (child == 0) {
            CryptFileStream s(ExtNameStr(path.c_str()), ExtNameStr("pw"), "rb");
            const char c = s.Good() ? 'y' : 'n';
            (void)!write(ready[1], &c, 1);
            pause();
            _exit(0);
        }
        char c = 0;
        ASSERT_EQ(read(ready[0], &c, 1), 1);
        EXPECT_EQ(c, 'y');
        EXPECT_TRUE(tmp.Empty()) << "while open, placement " << int(placement);
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        close(ready[0]);
        close(ready[1]);
        EXPECT_TRUE(tmp.Empty()) << "after kill, placement " << int(placement);
    }
}
