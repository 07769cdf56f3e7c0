// The storage switches, the zlib-compressed temporary stream and the sort stream.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <thread>
#include <vector>

#include "tempstorage.h"
#include "vesk_assert.h"
#include "zcompressedfilestr.h"
#include "zcompressedtask.h"

namespace {

using Bytes = std::vector<char>;
constexpr size_t kZBS = ZCompressed_FileStream::kBlockSize;
constexpr size_t kSBS = zcmpsSort_FileStream::kBlockSize;

Bytes FileBytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), {});
}

// Reads count bytes at position in pieces of `piece` bytes.
Bytes ReadAt(VESK_StrBaseIO& s, int64_t position, size_t count, size_t piece = 1000003) {
    EXPECT_EQ(s.Seek(position, VESK_StrBaseIO::SeekFromStart), 0);
    Bytes out(count);
    size_t done = 0;
    while (done < count) {
        const size_t got = s.Read(out.data() + done, std::min(piece, count - done));
        done += got;
        if (got == 0) break;
    }
    out.resize(done);
    return out;
}

Bytes Slice(const Bytes& b, size_t at, size_t n) { return Bytes(b.begin() + long(at), b.begin() + long(at + n)); }

TEST(StorageSwitchesTest, OverrideDecidesWhetherSwitchesChange) {
    auto set = [](int32_t mode) {
        int64_t result = -1;
        SETZCOMPRESSION(&mode, &result);
        return result;
    };
    unsetenv("CACHE_SYNTAX_OVERRIDE");
    EXPECT_EQ(GETZCOMPRESSIONOA(), 1);
    EXPECT_EQ(set(3), 0);
    EXPECT_EQ(GETZCOMPRESSION(), 1);
    EXPECT_EQ(set(2), 0);
    EXPECT_EQ(GETZCOMPRESSION(), 0);
    setenv("CACHE_SYNTAX_OVERRIDE", "1x", 1);
    EXPECT_EQ(set(1), 0);
    EXPECT_EQ(GETZCOMPRESSION(), 1);
    setenv("CACHE_SYNTAX_OVERRIDE", "0", 1);
    EXPECT_EQ(GETZCOMPRESSIONOA(), 0);
    EXPECT_EQ(set(0), 20);
    EXPECT_EQ(GETZCOMPRESSION(), 1);
    setenv("CACHE_SYNTAX_OVERRIDE", "2", 1);
    EXPECT_EQ(set(0), 0);
    EXPECT_EQ(GETZCOMPRESSION(), 1);
    unsetenv("CACHE_SYNTAX_OVERRIDE");
    set(0);

    for (int64_t mode : {3, 0, 1, 2, 1}) SETASYNCHREADING(&mode);
    EXPECT_EQ(GETASYNCHREADING(), 1);
    const int64_t off = 2;
    SETASYNCHREADING(&off);
    EXPECT_EQ(GETASYNCHREADING(), 0);
    const int64_t on = 3;
    SETASYNCHREADING(&on);
}

// The file holds nothing but zlib streams, each padded to 16 bytes, that
// inflate to consecutive blocks of the data.
void ExpectZlibBlocks(const Bytes& file, const Bytes& data) {
    size_t offset = 0, position = 0;
    while (offset < file.size()) {
        Bytes out(kZBS);
        uLongf outLen = kZBS;
        uLong inLen = uLong(file.size() - offset);
        ASSERT_EQ(uncompress2(reinterpret_cast<Bytef*>(out.data()), &outLen,
                              reinterpret_cast<const Bytef*>(file.data() + offset), &inLen),
                  Z_OK);
        ASSERT_EQ(Bytes(out.begin(), out.begin() + long(outLen)), Slice(data, position, outLen));
        position += outLen;
        offset += (inLen + 15) / 16 * 16;
    }
    EXPECT_EQ(offset, file.size());
    EXPECT_EQ(position, data.size());
}

TEST(ZCompressedStreamTest, BlocksOfTheFileAndReadingBack) {
    StorageDir dir("zstream");
    for (size_t size : {kZBS, kZBS + 1, 2 * kZBS + 12345}) {
        const Bytes data = MixedBytes(size, unsigned(size));
        ZCompressed_FileStream z(dir.File("z").c_str(), "w+b", false);
        ASSERT_TRUE(z.Good());
        ASSERT_TRUE(WriteInPieces(z, data, 999983));  // block boundaries fall inside pieces
        ASSERT_EQ(z.Flush(), 1);
        EXPECT_EQ(z.BlockCount(), (size + kZBS - 1) / kZBS);
        ExpectZlibBlocks(FileBytes(dir.File("z")), data);
        EXPECT_EQ(ReadAt(z, 0, size), data);
        EXPECT_EQ(ReadAt(z, 0, size + 10).size(), size);
        EXPECT_TRUE(z.EndOfFile());
        // Flush ends the decompressor; reading from the start again gives the same bytes.
        z.Flush();
        EXPECT_EQ(ReadAt(z, 0, 4096), Slice(data, 0, 4096));
        EXPECT_EQ(z.Seek(0, VESK_StrBaseIO::SeekFromEnd), 0);
        EXPECT_EQ(z.Tell(), int64_t(size));
    }
}

TEST(ZCompressedStreamTest, ReadsJumpBackAndForthWithoutFlush) {
    StorageDir dir("zjump");
    const Bytes data = MixedBytes(3 * kZBS + 777, 7);
    ZCompressed_FileStream z(dir.File("z").c_str(), "w+b", true);
    ASSERT_EQ(z.Write(data.data(), data.size()), data.size());
    z.Close();
    for (size_t at : {kZBS + 5, size_t(3), 3 * kZBS + 700, kZBS - 2, 2 * kZBS, size_t(0)})
        EXPECT_EQ(ReadAt(z, int64_t(at), 70, 7), Slice(data, at, std::min<size_t>(70, data.size() - at))) << at;
    EXPECT_EQ(ReadAt(z, int64_t(data.size()) + 5, 10).size(), 0u);
    // A copy shares the task and the index.
    ZCompressed_FileStream copy(z);
    EXPECT_EQ(ReadAt(copy, 2 * kZBS - 3, 6), Slice(data, 2 * kZBS - 3, 6));
}

TEST(ZCompressedStreamTest, NewReopenedAndAppendedStreams) {
    StorageDir dir("zempty");
    ZCompressed_FileStream z(dir.File("z").c_str(), "w+b", false);
    char c[4] = {};
    EXPECT_EQ(z.Read(c, 1), 0u);
    EXPECT_EQ(z.Flush(), 1);
    EXPECT_EQ(z.Write(c, 0), 0u);
    z.Write("abc", 3);
    ASSERT_TRUE(z.Open(dir.File("y").c_str(), "w+b"));
    EXPECT_EQ(z.Read(c, 1), 0u);
    EXPECT_EQ(z.Write("de", 2), 2u);
    z.Flush();
    EXPECT_EQ(ReadAt(z, 0, 4), (Bytes{'d', 'e'}));
    // Writing goes on at the end: a second, short block.
    EXPECT_EQ(z.Write("fg", 2), 2u);
    z.Flush();
    EXPECT_EQ(z.BlockCount(), 2u);
    EXPECT_EQ(ReadAt(z, 1, 9), (Bytes{'e', 'f', 'g'}));
}

TEST(ZCompressedStreamTest, NonSequentialWriteIsAMisuse) {
    StorageDir dir("zmisuse");
    ZCompressed_FileStream z(dir.File("z").c_str(), "w+b", false);
    z.Write("abc", 3);
    z.Seek(1, VESK_StrBaseIO::SeekFromStart);
    EXPECT_THROW(z.Write("x", 1), VESK_AssertFailed);
}

// More streams than the pool keeps tasks for: the task of a flushed stream is
// given to another, and the stream still reads back, its index being its own.
TEST(ZCompressedStreamTest, StreamsOutnumberingThePoolStillReadBack) {
    StorageDir dir("zpool");
    std::vector<std::unique_ptr<ZCompressed_FileStream>> streams;
    std::vector<Bytes> data;
    for (int i = 0; i < 14; ++i) {
        data.push_back(MixedBytes(kZBS / 2 + size_t(i) * 1000, unsigned(i)));
        streams.push_back(std::make_unique<ZCompressed_FileStream>(dir.File(std::to_string(i)).c_str(), "w+b", false));
        ASSERT_EQ(streams[i]->Write(data[i].data(), data[i].size()), data[i].size());
        ASSERT_EQ(streams[i]->Flush(), 1);
    }
    EXPECT_GE(ZCompressionPool::Instance().TaskCount(), 9u);
    for (int i = 13; i >= 0; --i) EXPECT_EQ(ReadAt(*streams[i], 0, data[i].size()), data[i]) << i;
}

TEST(ZCompressedStreamTest, FailedWritesShowInGoodAndFlush) {
    ZCompressed_FileStream z("/dev/full", "w+b", false);
    ASSERT_TRUE(z.Good());
    const Bytes data = MixedBytes(kZBS + 100, 3);
    z.Write(data.data(), data.size());
    EXPECT_EQ(z.Flush(), 0);
    EXPECT_FALSE(z.Good());
    EXPECT_EQ(z.Write(data.data(), 10), 0u);
}

TEST(SortStreamTest, CopiesReadTheSameDataAtOnce) {
    StorageDir dir("sort");
    // Random halves do not compress: blocks may grow.
    const Bytes data = MixedBytes(3 * kSBS + kSBS / 2, 11);
    zcmpsSort_FileStream s(dir.File("s").c_str(), "w+bD", true);
    ASSERT_TRUE(s.Good());
    WriteInPieces(s, data, 1u << 20);
    s.Flush();
    std::vector<std::unique_ptr<zcmpsSort_FileStream>> copies;
    for (int i = 0; i < 4; ++i) copies.push_back(std::make_unique<zcmpsSort_FileStream>(s));
    std::vector<Bytes> got(4);
    std::vector<std::thread> readers;
    for (size_t i = 0; i < 4; ++i)
        readers.emplace_back([&, i] { got[i] = ReadAt(*copies[i], 0, data.size(), 65536 + i * 4099); });
    EXPECT_EQ(ReadAt(s, int64_t(kSBS) + 3, 100), Slice(data, kSBS + 3, 100));
    for (auto& t : readers) t.join();
    for (const Bytes& g : got) EXPECT_TRUE(g == data);
    EXPECT_EQ(FileBytes(dir.File("s")).size() % 16, 0u);
    EXPECT_EQ(s.Seek(0, VESK_StrBaseIO::SeekFromEnd), 0);
    EXPECT_EQ(s.Tell(), int64_t(data.size()));
    char c;
    EXPECT_EQ(s.Read(&c, 1), 0u);
    EXPECT_TRUE(s.EndOfFile());
    EXPECT_THROW(s.Write("x", 1), VESK_AssertFailed);
}

TEST(SortStreamTest, CopyOutlivesTheStreamItCameFrom) {
    StorageDir dir("sortcopy");
    const Bytes data = MixedBytes(kSBS + 10, 5);
    std::unique_ptr<zcmpsSort_FileStream> copy;
    {
        // Without Flush: the copy ends the writing itself.
        zcmpsSort_FileStream s(dir.File("s").c_str(), "w+bD", false);
        s.Write(data.data(), data.size());
        copy = std::make_unique<zcmpsSort_FileStream>(s);
    }
    EXPECT_EQ(ReadAt(*copy, 0, data.size()), data);
    EXPECT_EQ(ReadAt(*copy, int64_t(kSBS), 10), Slice(data, kSBS, 10));
    copy.reset();
    EXPECT_TRUE(dir.Entries().empty());  // 'D': gone with the last share
}

TEST(SortStreamTest, FailedWritesShowInGood) {
    zcmpsSort_FileStream s("/dev/full", "w+b", false);
    ASSERT_TRUE(s.Good());
    const Bytes data = MixedBytes(kSBS + 1, 9);
    s.Write(data.data(), data.size());
    char c;
    EXPECT_EQ(s.Read(&c, 1), 0u);
    EXPECT_FALSE(s.Good());
    EXPECT_EQ(s.Close(), 0);
}

}  // namespace
