// The threaded storage streams under load: many at once, copies reading at
// once, streams destroyed while their threads work. Every check is on the
// bytes; the sizes keep each test to seconds.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "tempfile.h"
#include "tempstorage.h"
#include "zcompressedfilestr.h"

namespace {

using Bytes = std::vector<char>;
constexpr size_t kZBS = ZCompressed_FileStream::kBlockSize;
constexpr size_t kSBS = zcmpsSort_FileStream::kBlockSize;

bool ReadsBack(VESK_StrBaseIO& s, const Bytes& data, size_t piece) {
    s.Seek(0, VESK_StrBaseIO::SeekFromStart);
    Bytes got(data.size());
    for (size_t at = 0; at < data.size(); at += piece)
        if (s.Read(&got[at], std::min(piece, data.size() - at)) != std::min(piece, data.size() - at)) return false;
    return got == data;
}

// count bytes at random positions, compared with data.
bool RandomReads(VESK_StrBaseIO& s, const Bytes& data, unsigned seed, int count) {
    std::mt19937 random(seed);
    Bytes got(5000);
    for (int i = 0; i < count; ++i) {
        const size_t at = random() % (data.size() - got.size());
        s.Seek(int64_t(at), VESK_StrBaseIO::SeekFromStart);
        const bool read = s.Read(got.data(), got.size()) == got.size();
        if (!read || !std::equal(got.begin(), got.end(), data.begin() + long(at))) return false;
    }
    return true;
}

void RunThreads(int n, const std::function<void(int)>& body) {
    std::vector<std::thread> threads;
    for (int i = 0; i < n; ++i) threads.emplace_back(body, i);
    for (auto& t : threads) t.join();
}

TEST(TempStorageStressTest, ManyStreamsAtOnce) {
    StorageDir dir("stressmany");
    UseTempDirs dirs({dir.path});
    UseCompression on(true);
    std::vector<int> good(8, 0);
    RunThreads(8, [&](int t) {
        const Bytes data = MixedBytes(kZBS + kZBS / 5 + size_t(t), unsigned(t));
        for (const char* kind : {"cache", "sort", "cache"}) {
            VESK_TempFile f(kind, t % 2 == 0);
            WriteInPieces(f, data, 100000 + size_t(t));
            f.Close();
            good[size_t(t)] += ReadsBack(f, data, 77777) && RandomReads(f, data, unsigned(t), 4);
        }
    });
    for (int g : good) EXPECT_EQ(g, 3);
}

TEST(TempStorageStressTest, CopiesOfASortStreamReadAtOnce) {
    StorageDir dir("stresscopies");
    const Bytes data = MixedBytes(2 * kSBS + 4321, 21);
    zcmpsSort_FileStream s(dir.File("s").c_str(), "w+bD", true);
    WriteInPieces(s, data, 1 << 16);
    std::vector<std::unique_ptr<zcmpsSort_FileStream>> copies;
    for (int i = 0; i < 6; ++i) copies.push_back(std::make_unique<zcmpsSort_FileStream>(s));
    std::vector<int> good(6, 0);
    RunThreads(6, [&](int t) {
        zcmpsSort_FileStream& c = *copies[size_t(t)];
        good[size_t(t)] = RandomReads(c, data, unsigned(t) + 100, 8) && ReadsBack(c, data, 40000 + size_t(t));
        // A copy of a copy, made and read on this thread.
        zcmpsSort_FileStream again(c);
        good[size_t(t)] += ReadsBack(again, data, 1 << 20);
    });
    for (int g : good) EXPECT_EQ(g, 2);
}

// Destroyed while the compressor has blocks queued, while the decompressor
// reads ahead, while copies of a sort stream read and the worker decodes
// ahead for them: nothing hangs, and what survives reads correctly.
TEST(TempStorageStressTest, StreamsDestroyedMidFlight) {
    StorageDir dir("stressflight");
    const Bytes data = MixedBytes(2 * kZBS + 99, 8);
    for (int round = 0; round < 3; ++round) {
        {
            ZCompressed_FileStream z(dir.File("w").c_str(), "w+bD", false);
            WriteInPieces(z, data, 1 << 20);
        }
        {
            ZCompressed_FileStream z(dir.File("r").c_str(), "w+bD", false);
            WriteInPieces(z, data, 1 << 20);
            z.Flush();
            char c[100];
            z.Read(c, sizeof c);
        }
        auto s = std::make_unique<zcmpsSort_FileStream>(dir.File("s").c_str(), "w+bD", false);
        WriteInPieces(*s, data, 1 << 20);
        std::vector<std::unique_ptr<zcmpsSort_FileStream>> copies;
        for (int i = 0; i < 4; ++i) copies.push_back(std::make_unique<zcmpsSort_FileStream>(*s));
        std::vector<int> good(4, 1);
        RunThreads(4, [&](int t) {
            if (t == 0) s.reset();  // the original goes while the copies read
            if (t == 1) {
                char c[10];
                copies[1]->Read(c, sizeof c);
                copies[1].reset();  // the worker may be decoding ahead for it
                return;
            }
            good[size_t(t)] = ReadsBack(*copies[size_t(t)], data, 1 << 19);
        });
        for (int g : good) EXPECT_EQ(g, 1);
    }
    EXPECT_TRUE(dir.Entries().empty());
}

}  // namespace
