// The zlib block layer of compressed system files, and the block compressor.
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "errortext.h"
#include "filestream.h"
#include "tempdirs.h"
#include "vesk_assert.h"
#include "zcmpsfilestr.h"
#include "zlibblock.h"

// Our operator new is malloc, so its delete is free.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

// The largest single allocation: hostile fields must not size one.
static std::atomic<size_t> gLargestAlloc{0};
void* operator new(size_t n) {
    size_t seen = gLargestAlloc.load(std::memory_order_relaxed);
    while (n > seen && !gLargestAlloc.compare_exchange_weak(seen, n)) {
    }
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](size_t n) { return operator new(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }

namespace {

using Bytes = std::vector<uint8_t>;
constexpr size_t kBS = zcmps::kBlockSize;
constexpr int64_t kDict = 200;  // a fake dictionary before the data area

struct TempFile {
    TempFile() { EXPECT_TRUE(FormTempName("zcmps", path)); }
    ~TempFile() { unlink(path); }
    char path[512];
};

Bytes Random(size_t n, unsigned seed) {
    std::mt19937_64 rng(seed);
    Bytes b(n);
    for (auto& c : b) c = static_cast<uint8_t>(rng());
    return b;
}

// Bytecode-like: runs of command bytes, now and then 8 raw bytes.
Bytes Realistic(size_t n, unsigned seed) {
    std::mt19937_64 rng(seed);
    Bytes b(n);
    bool raw = false;
    for (size_t i = 0; i < n; ++i) {
        if (i % 8 == 0) raw = rng() % 8 == 0;
        b[i] = static_cast<uint8_t>(raw ? rng() : 100 + rng() % 4);
    }
    return b;
}

Bytes FileBytes(const char* path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), {});
}

void PutFileBytes(const char* path, const Bytes& b) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
}

struct WriteOptions {
    bool reversed = false;
    int threads = 0;  // 0: compress on the caller's thread
    int level = 1;
    size_t chunk = 100003;
};

// Writes a fake dictionary of kDict bytes, then data as a compressed area.
void WriteArea(const char* path, const Bytes& data, const WriteOptions& o = {}) {
    VESK_FileStream fs;
    ASSERT_TRUE(fs.Open(path, "wb+"));
    Bytes dict(kDict, 'D');
    ASSERT_EQ(fs.Write(dict.data(), dict.size()), dict.size());
    zcmpsFilestr z(fs);
    fs.Close();  // the layer keeps the file open on its own
    z.setCompressionLevel(o.level);
    if (o.threads > 0) {
        z.setWorkerCount(o.threads);
        z.setMultiThread(1);
    }
    z.setRow0Pos(kDict, o.reversed);
    EXPECT_EQ(z.Tell(), kDict);
    for (size_t at = 0; at < data.size(); at += o.chunk) {
        size_t n = std::min(o.chunk, data.size() - at);
        ASSERT_EQ(z.Write(data.data() + at, n), n);
    }
    EXPECT_EQ(z.Tell(), kDict + static_cast<int64_t>(data.size()));
    EXPECT_EQ(z.NumberOfBlocks(), static_cast<int>((data.size() + kBS - 1) / kBS));
    EXPECT_EQ(z.Close(), 1);
}

std::unique_ptr<zcmpsFilestr> OpenArea(const char* path, bool reversed = false, bool readAhead = false,
                                       const char* mode = "rb") {
    VESK_FileStream fs;
    EXPECT_TRUE(fs.Open(path, mode));
    auto z = std::make_unique<zcmpsFilestr>(fs);
    z->setMultiThread(readAhead ? 1 : 0);
    z->readFilePosInfo(kDict, reversed);
    return z;
}

Bytes ReadArea(const char* path, bool reversed = false, bool readAhead = false) {
    auto z = OpenArea(path, reversed, readAhead);
    Bytes out(static_cast<size_t>(z->EndPosition() - kDict));
    EXPECT_EQ(z->Read(out.data(), out.size()), out.size());
    uint8_t extra;
    EXPECT_EQ(z->Read(&extra, 1), 0u);
    EXPECT_TRUE(z->EndOfFile());
    return out;
}

// Compresses src as one zlib block.
Bytes Packed(const Bytes& src, int level = 1) {
    Bytes packed(zlibCompressBlock::CompressBound(src.size()));
    size_t plen = packed.size();
    EXPECT_TRUE(zlibCompressBlock(level).compressBlock(src.data(), src.size(), packed.data(), &plen));
    packed.resize(plen);
    return packed;
}

// The message number raised by fn; 0 when it returns normally.
int ErrorOf(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const VeskError& e) {
        return e.Number();
    }
    return 0;
}

// Level 1 and the others use different compressors; both make streams that
// zlib itself inflates, even where the data does not compress at all.
TEST(ZlibCompressBlock, RoundTripsAndRejectsDamage) {
    zlibCompressBlock codec;
    for (int level : {1, 6})
        for (const Bytes& src : {Bytes{}, Bytes{42}, Random(kBS, 1), Realistic(300000, 2)}) {
            Bytes packed = Packed(src, level), back(src.size());
            uLongf blen = back.size();
            ASSERT_EQ(uncompress(back.data(), &blen, packed.data(), packed.size()), Z_OK);
            EXPECT_TRUE(blen == src.size() && std::equal(src.begin(), src.end(), back.begin()));
        }
    for (const Bytes& src : {Bytes{}, Bytes{42}, Random(1000, 1), Realistic(300000, 2)}) {
        Bytes packed = Packed(src), back(src.size() + 10);
        auto inflate = [&](const Bytes& in, size_t room) {
            size_t blen = room;
            return codec.decompressBlock(in.data(), in.size(), back.data(), &blen)
                       ? std::optional<Bytes>(Bytes(back.begin(), back.begin() + blen))
                       : std::nullopt;
        };
        EXPECT_EQ(inflate(packed, back.size()), src);
        // Refused: a stream longer than its room, a byte after it, a bad Adler-32.
        EXPECT_TRUE(src.empty() || !inflate(packed, src.size() - 1));
        Bytes longer = packed, damaged = packed;
        longer.push_back(0);
        damaged.back() ^= 1;
        EXPECT_EQ(inflate(longer, back.size()), std::nullopt);
        EXPECT_EQ(inflate(damaged, back.size()), std::nullopt);
    }
    Bytes src = Random(5000, 3), small(100);
    size_t slen = small.size();
    EXPECT_FALSE(codec.compressBlock(src.data(), src.size(), small.data(), &slen));
    EXPECT_THROW(zlibCompressBlock(13), VESK_AssertFailed);
}

TEST(ZcmpsFilestr, RoundTripsAllSizesInBothByteOrders) {
    const size_t sizes[] = {0, 1, kBS - 1, kBS, kBS + 1, 3 * kBS + 12345};
    for (bool reversed : {false, true}) {
        for (size_t n : sizes) {
            SCOPED_TRACE(testing::Message() << "size " << n << " reversed " << reversed);
            TempFile f;
            Bytes data = Random(n, static_cast<unsigned>(n));
            WriteArea(f.path, data, {.reversed = reversed, .threads = n % 2 ? 2 : 0});
            Bytes file = FileBytes(f.path);
            EXPECT_EQ(Bytes(file.begin(), file.begin() + kDict), Bytes(kDict, 'D'));
            EXPECT_EQ(ReadArea(f.path, reversed), data);

            // Every block is a zlib stream.
            zcmps::Header h = zcmps::DecodeHeader(file.data() + kDict, reversed);
            EXPECT_EQ(std::make_pair(h.zheaderOfs, h.ztrailerOfs + h.ztrailerLen),
                      std::make_pair(kDict, static_cast<int64_t>(file.size())));
            zcmps::TrailerHead t = zcmps::DecodeTrailerHead(file.data() + h.ztrailerOfs, reversed);
            ASSERT_EQ(std::make_tuple(t.bias, t.blockSize, t.nBlocks),
                      std::make_tuple(int64_t{-100}, zcmps::kBlockSize, static_cast<int32_t>((n + kBS - 1) / kBS)));
            for (int k = 0; k < t.nBlocks; ++k) {
                zcmps::Entry e = zcmps::DecodeEntry(file.data() + h.ztrailerOfs + 24 + 24 * k, reversed);
                EXPECT_EQ(e.uncompressedOfs, kDict + static_cast<int64_t>(k * kBS));
                Bytes out(e.uncompressedSize);
                uLongf olen = out.size();
                ASSERT_EQ(uncompress(out.data(), &olen, file.data() + e.compressedOfs, e.compressedSize), Z_OK);
                EXPECT_TRUE(std::equal(out.begin(), out.end(), data.begin() + k * kBS));
            }
            EXPECT_EQ(ErrorOf([&] { ReadArea(f.path, !reversed); }), 1204);  // not the other byte order
        }
    }
}

TEST(ZcmpsFilestr, SameBytesOnDiskForAnyThreadCount) {
    Bytes data = Realistic(4 * kBS + 777, 7);
    Bytes reference;
    for (int threads : {0, 1, 3}) {
        TempFile f;
        WriteArea(f.path, data, {.threads = threads, .level = 6, .chunk = threads == 3 ? kBS + 5 : 4096});
        Bytes file = FileBytes(f.path);
        if (reference.empty()) reference = file;
        EXPECT_EQ(file, reference) << "threads " << threads;
    }
    EXPECT_LT(reference.size(), data.size() / 2);  // it does compress
    // Zeros compress near deflate's limit and still pass the plausibility checks.
    TempFile f;
    Bytes zeros(2 * kBS + 1);
    WriteArea(f.path, zeros, {.threads = 2, .chunk = kBS});
    EXPECT_LT(FileBytes(f.path).size(), zeros.size() / 500);
    EXPECT_EQ(ReadArea(f.path, false, true), zeros);
}

TEST(ZcmpsFilestr, RandomSeeksReadTheSameWithAndWithoutReadAhead) {
    TempFile f;
    Bytes data = Realistic(4 * kBS + 3000, 11);
    WriteArea(f.path, data);
    auto plainArea = OpenArea(f.path), aheadArea = OpenArea(f.path, false, true);
    zcmpsFilestr &plain = *plainArea, &ahead = *aheadArea;
    EXPECT_LT(plain.Footprint(), 1u << 20);  // nothing inflated yet
    std::mt19937_64 rng(5);
    const int64_t end = kDict + static_cast<int64_t>(data.size());
    for (int i = 0; i < 100; ++i) {
        int dir = static_cast<int>(rng() % 3);
        int64_t target = kDict + static_cast<int64_t>(rng() % (data.size() + 100));
        int64_t arg = dir == 0 ? target : dir == 1 ? target - plain.Tell() : target - end;
        if (i % 40 < 20) arg = dir == 1 ? 0 : arg;  // runs of sequential reading
        ASSERT_EQ(plain.Seek(arg, dir), 0);
        ASSERT_EQ(ahead.Seek(arg, dir), 0);
        ASSERT_EQ(plain.Tell(), ahead.Tell());
        int64_t at = plain.Tell() - kDict;
        size_t want = static_cast<size_t>(rng() % (2 * kBS / 3));
        Bytes a(want), b(want);
        size_t got = plain.Read(a.data(), want);
        ASSERT_EQ(ahead.Read(b.data(), want), got);
        ASSERT_EQ(got, static_cast<size_t>(std::max<int64_t>(0, std::min<int64_t>(want, data.size() - at))));
        ASSERT_TRUE(std::equal(a.begin(), a.begin() + got, data.begin() + at));
        ASSERT_TRUE(std::equal(a.begin(), a.begin() + got, b.begin()));
        EXPECT_EQ(plain.EndOfFile(), got < want ? 1 : 0);
    }
    EXPECT_GT(ahead.Footprint(), plain.Footprint());
    EXPECT_EQ(plain.Seek(kDict - 1, 0), -1);  // before the data area
    EXPECT_EQ(plain.Seek(0, 7), -2);
    EXPECT_EQ(plain.Close(), 1);
    EXPECT_EQ(plain.Footprint(), 0u);
}

TEST(ZcmpsFilestr, BlocksLeftBehindAreKeptAsSetAndMemoryStaysBounded) {
    TempFile f;
    const Bytes data = Realistic(5 * kBS, 23);
    WriteArea(f.path, data);
    const Bytes good = FileBytes(f.path);
    const int64_t tr = zcmps::DecodeHeader(good.data() + kDict, false).ztrailerOfs;
    Bytes damaged = good;  // blocks 0 and 1 no longer inflate
    for (int k = 0; k < 2; ++k) {
        const zcmps::Entry e = zcmps::DecodeEntry(good.data() + tr + zcmps::kTrailerHeadLen + 24 * k, false);
        for (int i = 0; i < 64; ++i) damaged[size_t(e.compressedOfs + e.compressedSize / 2 + i)] ^= 0x5A;
    }
    Bytes out(100);
    for (bool readAhead : {false, true}) {
        for (int cached : {0, 1, 2}) {
            SCOPED_TRACE(testing::Message() << "read-ahead " << readAhead << ", cached " << cached);
            PutFileBytes(f.path, good);
            auto area = OpenArea(f.path, false, readAhead);
            zcmpsFilestr& z = *area;
            z.setCachedBlocks(cached);
            for (int64_t k = 0; k < 3; ++k) {
                ASSERT_EQ(z.Seek(kDict + k * int64_t(kBS) + 7, 0), 0);
                ASSERT_EQ(z.Read(out.data(), out.size()), out.size());
            }
            // Back to block 1, then block 0: held when the cache has room, else
            // inflated again, which the damage shows (not while read-ahead may
            // still be reading the file being rewritten).
            if (!readAhead) PutFileBytes(f.path, damaged);  // the open file sees the new bytes
            for (int64_t k : {1, 0}) {
                ASSERT_EQ(z.Seek(kDict + k * int64_t(kBS) + 11, 0), 0);
                const bool held = readAhead || cached > 1 || (cached == 1 && k == 1);
                EXPECT_EQ(ErrorOf([&] { z.Read(out.data(), out.size()); }), held ? 0 : 1204) << k;
                if (held) {
                    EXPECT_TRUE(std::equal(out.begin(), out.end(), data.begin() + k * int64_t(kBS) + 11));
                }
                z.Clear();
            }
            // Reading on to the end keeps to 1 + cached + read-ahead buffers of a
            // block each, plus the compressed bytes being inflated.
            if (!readAhead) PutFileBytes(f.path, good);
            ASSERT_EQ(z.Seek(kDict + 2 * int64_t(kBS), 0), 0);
            Bytes rest(3 * kBS);
            ASSERT_EQ(z.Read(rest.data(), rest.size()), rest.size());
            EXPECT_TRUE(std::equal(rest.begin(), rest.end(), data.begin() + 2 * int64_t(kBS)));
            const size_t buffers = 1 + size_t(cached) + (readAhead ? zcmpsFilestr::kReadAheadDepth : 0);
            const size_t packed = readAhead ? zcmpsFilestr::kReadAheadThreads + 1 : 1;
            EXPECT_LE(z.Footprint(), (buffers + packed) * (4u << 20));
        }
    }
}

// Appending at the end is checked on whole files by the writer suite; from
// inside the area it drops what followed and cuts the file.
TEST(ZcmpsFilestr, AppendingFromInsideTheAreaCutsIt) {
    TempFile f;
    Bytes data = Random(3 * kBS, 21), tail = Random(5000, 22);
    WriteArea(f.path, data, {.reversed = true});
    auto area = OpenArea(f.path, true, false, "r+b");
    zcmpsFilestr& z = *area;
    const int64_t cut = kDict + static_cast<int64_t>(kBS + kBS / 2);
    ASSERT_EQ(z.Seek(cut - 8, 0), 0);
    uint8_t last[8];  // the cut lands in a block that was read
    ASSERT_EQ(z.Read(last, 8), 8u);
    z.setFileToAppend(cut, true);
    EXPECT_EQ(z.Tell(), cut);
    EXPECT_EQ(z.Seek(cut, 0), 0);
    EXPECT_EQ(z.Seek(cut - 1, 0), -1);  // writing is sequential
    ASSERT_EQ(z.Write(tail.data(), tail.size()), tail.size());
    EXPECT_EQ(z.Close(), 1);
    Bytes expect(data.begin(), data.begin() + (cut - kDict));
    expect.insert(expect.end(), tail.begin(), tail.end());
    EXPECT_EQ(ReadArea(f.path, true), expect);
}

TEST(ZcmpsFilestr, InterfaceMisuseIsAsserted) {
    TempFile f;
    VESK_FileStream fs;
    ASSERT_TRUE(fs.Open(f.path, "wb+"));
    zcmpsFilestr z(fs);
    uint8_t b[4] = {};
    EXPECT_THROW(z.Write(b, 4), VESK_AssertFailed);  // before choosing reading or writing
    EXPECT_THROW(z.setRow0Pos(-1), VESK_AssertFailed);
    EXPECT_THROW(z.setCompressionLevel(13), VESK_AssertFailed);
    z.setRow0Pos(0);
    EXPECT_THROW(z.readFilePosInfo(0, false), VESK_AssertFailed);
    EXPECT_THROW(z.setWorkerCount(3), VESK_AssertFailed);
    EXPECT_EQ(z.Close(), 1);
    VESK_FileStream closed;
    EXPECT_THROW(zcmpsFilestr{closed}, VESK_AssertFailed);
}

// A valid area of three blocks, then each field of it damaged in turn.
TEST(ZcmpsFilestr, HostileHeadersAndTrailersAreMalformed) {
    TempFile f;
    Bytes data = Realistic(2 * kBS + 5000, 31);
    WriteArea(f.path, data);
    const Bytes good = FileBytes(f.path);
    const zcmps::Header h = zcmps::DecodeHeader(good.data() + kDict, false);
    const int64_t tr = h.ztrailerOfs;

    auto open = [&](const Bytes& bytes, bool readAll = false) {
        PutFileBytes(f.path, bytes);
        return ErrorOf([&] {
            auto z = OpenArea(f.path);
            Bytes out(data.size() + 10);
            if (readAll) z->Read(out.data(), out.size());
        });
    };
    // The good area with one 64-bit or 32-bit field changed.
    auto with64 = [&](int64_t at, int64_t v) { Bytes b = good; zcmps::Put64(b.data() + at, v, false); return b; };
    auto with32 = [&](int64_t at, int32_t v) { Bytes b = good; zcmps::Put32(b.data() + at, v, false); return b; };
    ASSERT_EQ(open(good, true), 0);
    gLargestAlloc = 0;
    const int64_t big = int64_t{1} << 62;
    for (int64_t v : {kDict + 1, int64_t{0}, -kDict}) EXPECT_EQ(open(with64(kDict, v)), 1204);
    for (int64_t v : {tr + 1, tr - 1, int64_t{0}, kDict + 24, big, -big}) EXPECT_EQ(open(with64(kDict + 8, v)), 1204);
    for (int64_t v : {h.ztrailerLen + 24, h.ztrailerLen - 24, int64_t{0}, big, -big})
        EXPECT_EQ(open(with64(kDict + 16, v)), 1204);
    EXPECT_EQ(open(with64(tr, 100)), 1204);     // bias
    EXPECT_EQ(open(with64(tr + 8, 1)), 1204);   // zero
    for (int32_t v : {0, -1, zcmps::kBlockSize - 1, zcmps::kBlockSize + 1, INT32_MAX})
        EXPECT_EQ(open(with32(tr + 16, v)), 1204);
    for (int32_t v : {2, 4, -1, INT32_MAX}) EXPECT_EQ(open(with32(tr + 20, v)), 1204);
    for (int k = 0; k < 3; ++k) {
        const int64_t e = tr + 24 + 24 * k;
        const zcmps::Entry ent = zcmps::DecodeEntry(good.data() + e, false);
        for (int64_t d : {-1, 1}) {
            EXPECT_EQ(open(with64(e, ent.uncompressedOfs + d)), 1204);
            EXPECT_EQ(open(with64(e + 8, ent.compressedOfs + d)), 1204);
        }
        for (int32_t v : {-1, 0, ent.uncompressedSize - 1, ent.uncompressedSize + 1, INT32_MIN})
            EXPECT_EQ(open(with32(e + 16, v), k == 2), 1204) << "entry " << k << " size " << v;
        for (int32_t v : {-1, 0, ent.compressedSize - 1, ent.compressedSize + 1, INT32_MAX})
            EXPECT_EQ(open(with32(e + 20, v)), 1204);
    }
    // Truncated anywhere: inside the header, the blocks or the trailer.
    for (size_t len : {size_t{0}, size_t{kDict + 10}, size_t(kDict + 24), size_t(tr / 2), size_t(tr + 10),
                       good.size() - 1}) {
        int err = open(Bytes(good.begin(), good.begin() + len));
        EXPECT_TRUE(err == 1204 || err == 1205) << len << " gave " << err;
    }
    Bytes longer = good;
    longer.push_back(0);
    EXPECT_EQ(open(longer), 1204);
    // Nothing sized by a hostile field was allocated.
    EXPECT_LT(gLargestAlloc.load(), data.size() + (1u << 16));
}

TEST(ZcmpsFilestr, DamagedBlocksFailWhenRead) {
    TempFile f;
    Bytes data = Realistic(3 * kBS, 41);
    WriteArea(f.path, data);
    const Bytes good = FileBytes(f.path);
    const int64_t tr = zcmps::DecodeHeader(good.data() + kDict, false).ztrailerOfs;
    const zcmps::Entry e1 = zcmps::DecodeEntry(good.data() + tr + 48, false);

    auto readBlocks = [&](const Bytes& bytes, bool readAhead) {
        PutFileBytes(f.path, bytes);
        auto area = OpenArea(f.path, false, readAhead);  // the index is fine
        zcmpsFilestr& z = *area;
        Bytes out(kBS);
        EXPECT_EQ(z.Read(out.data(), kBS), kBS);
        EXPECT_EQ(out, Bytes(data.begin(), data.begin() + kBS));
        int err = ErrorOf([&] { z.Read(out.data(), kBS); });
        // Read again, the block raises its error again: never an end of data.
        EXPECT_FALSE(z.Good());
        EXPECT_EQ(ErrorOf([&] {
                      z.Seek(kDict + kBS, 0);
                      z.Read(out.data(), kBS);
                  }),
                  err);
        // After the error, other blocks still read.
        z.Clear();
        EXPECT_EQ(z.Seek(kDict + 2 * kBS, 0), 0);
        EXPECT_EQ(z.Read(out.data(), 10), 10u);
        EXPECT_TRUE(std::equal(out.begin(), out.begin() + 10, data.begin() + 2 * kBS));
        return err;
    };
    for (bool readAhead : {false, true}) {
        Bytes garbage = good;
        for (int i = 0; i < 64; ++i) garbage[e1.compressedOfs + e1.compressedSize / 2 + i] ^= 0x5A;
        EXPECT_EQ(readBlocks(garbage, readAhead), 1204);
        // Block 1 replaced by the first bytes of a longer stream: a truncated zlib stream.
        Bytes shorter = good, packed = Packed(Realistic(kBS - 100, 42), 0);
        ASSERT_GT(packed.size(), static_cast<size_t>(e1.compressedSize));
        std::copy(packed.begin(), packed.begin() + e1.compressedSize, shorter.begin() + e1.compressedOfs);
        EXPECT_EQ(readBlocks(shorter, readAhead), 1204);
    }
}

TEST(ZcmpsFilestr, BlockInflatingToTheWrongSizeIsMalformed) {
    // Two blocks of 1000 bytes, the second holding 999 (then 1001).
    for (size_t actual : {size_t{999}, size_t{1001}}) {
        TempFile f;
        Bytes file(kDict, 'D');
        file.resize(kDict + 24);
        std::vector<zcmps::Entry> entries;
        Bytes blocks[2] = {Random(1000, 1), Random(actual, 2)};
        for (const Bytes& b : blocks) {
            const Bytes packed = Packed(b);
            entries.push_back({kDict + static_cast<int64_t>(1000 * entries.size()), static_cast<int64_t>(file.size()),
                               1000, static_cast<int32_t>(packed.size())});
            file.insert(file.end(), packed.begin(), packed.end());
        }
        const int64_t tr = static_cast<int64_t>(file.size());
        file.resize(file.size() + 24 + 48);
        zcmps::EncodeHeader(file.data() + kDict, zcmps::Header{kDict, tr, 72}, true);
        zcmps::EncodeTrailerHead(file.data() + tr, zcmps::TrailerHead{.blockSize = 1000, .nBlocks = 2}, true);
        for (int k = 0; k < 2; ++k) zcmps::EncodeEntry(file.data() + tr + 24 + 24 * k, entries[k], true);
        PutFileBytes(f.path, file);

        auto z = OpenArea(f.path, true);
        Bytes out(1000);
        EXPECT_EQ(z->Read(out.data(), 1000), 1000u);
        EXPECT_EQ(out, blocks[0]);
        EXPECT_EQ(ErrorOf([&] { z->Read(out.data(), 1000); }), 1204);
    }
}

}  // namespace
