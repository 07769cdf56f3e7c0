// Write-then-read throughput of the temporary streams, each against a plain
// VESK_FileStream on the same bytes: 64 MB of bytecode-coded case rows
// written in 64 KiB pieces, flushed, read back in 1 MiB pieces.
//
// Ratios are what to compare (the plain stream's row is the baseline); on a
// machine shared with other work the absolute figures move.
#include <benchmark/benchmark.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "CompressedStream.h"
#include "tempfile.h"
#include "zcompressedfilestr.h"

namespace {

constexpr size_t kDataBytes = 64u << 20;
constexpr int kCells = 40;

// Rows of a typical cache: small integers, system-missing, blank and short
// texts, measured doubles; coded as the temp-file data store codes them.
const std::vector<char>& Data() {
    static const std::vector<char> data = [] {
        std::mt19937_64 random(1);
        VESK_InMemoryFile coded;
        std::vector<OBS> row(kCells);
        while (coded.Length() < int64_t(kDataBytes)) {
            for (int c = 0; c < kCells; ++c) {
                OBS& o = row[size_t(c)];
                switch (c % 4) {
                    case 0: o.d = double(random() % 7); break;
                    case 1: o.d = random() % 5 ? VESK_SYSMIS : 1.0; break;
                    case 2: o.d = double(random() % 100000) / 100.0; break;
                    default: std::memcpy(o.c, random() % 3 ? "        " : "yes     ", 8);
                }
            }
            WriteCompressed(coded, row.data(), kCells);
        }
        std::vector<char> bytes(kDataBytes);
        coded.Seek(0, VESK_StrBaseIO::SeekFromStart);
        coded.Read(bytes.data(), bytes.size());
        return bytes;
    }();
    return data;
}

std::string TempPath(const char* name) {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/" + name + std::to_string(getpid()) + ".bench";
}

void SetCompression(bool on) {
    const int32_t mode = on ? 1 : 0;
    int64_t result = 0;
    SETZCOMPRESSION(&mode, &result);
}

// With a path, the counter stored_ratio gives the file's size over the data's.
template <class Make>
void RoundTrip(benchmark::State& state, Make make, const std::string& path = std::string()) {
    const std::vector<char>& data = Data();
    std::vector<char> back(1u << 20);
    size_t checksum = 0;
    for (auto _ : state) {
        std::unique_ptr<VESK_StrBaseIO> s = make();
        for (size_t at = 0; at < data.size(); at += 65536) s->Write(&data[at], 65536);
        if (auto* f = dynamic_cast<VESK_FileStream*>(s.get())) f->Flush();
        struct stat st;
        if (!path.empty() && stat(path.c_str(), &st) == 0)
            state.counters["stored_ratio"] = double(st.st_size) / double(data.size());
        s->Seek(0, VESK_StrBaseIO::SeekFromStart);
        size_t total = 0;
        while (size_t n = s->Read(back.data(), back.size())) {
            total += n;
            checksum += size_t(back[n - 1]);
        }
        if (total != data.size()) state.SkipWithError("short read");
    }
    benchmark::DoNotOptimize(checksum);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
}

void BM_PlainFileStream(benchmark::State& state) {
    RoundTrip(state, [] {
        auto s = std::make_unique<VESK_FileStream>(true);
        s->Open(TempPath("plain").c_str(), "w+bTD");
        return s;
    });
}
BENCHMARK(BM_PlainFileStream)->MeasureProcessCPUTime()->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_ZCompressedStream(benchmark::State& state) {
    const std::string path = TempPath("zlib");
    RoundTrip(state, [&] { return std::make_unique<ZCompressed_FileStream>(path.c_str(), "w+bTD", false); }, path);
}
BENCHMARK(BM_ZCompressedStream)->MeasureProcessCPUTime()->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_SortStream(benchmark::State& state) {
    const std::string path = TempPath("sort");
    RoundTrip(state, [&] { return std::make_unique<zcmpsSort_FileStream>(path.c_str(), "w+bTD", true); }, path);
}
BENCHMARK(BM_SortStream)->MeasureProcessCPUTime()->UseRealTime()->Unit(benchmark::kMillisecond);

// The temporary file over the temporary directories: args (compression on, kind 0 "cache" / 1 "sort").
void BM_TempFile(benchmark::State& state) {
    const bool compress = state.range(0) != 0;
    const char* kind = state.range(1) ? "sort" : "cache";
    SetCompression(compress);
    RoundTrip(state, [kind] { return std::make_unique<VESK_TempFile>(kind, true); });
    SetCompression(false);
}
BENCHMARK(BM_TempFile)
    ->ArgNames({"compress", "sort"})
    ->Args({0, 0})->Args({1, 0})->Args({1, 1})
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

void BM_InMemoryFile(benchmark::State& state) {
    RoundTrip(state, [] { return std::make_unique<VESK_InMemoryFile>(); });
}
BENCHMARK(BM_InMemoryFile)->MeasureProcessCPUTime()->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
