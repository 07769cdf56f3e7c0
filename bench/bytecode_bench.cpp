// Bytecode throughput, in bytes of logical case data per second: 1,000,000
// rows of 20 numeric cells (half small integers, a fifth system-missing, the
// rest arbitrary doubles), coded and decoded through an in-memory stream and,
// for the reader's path, through a buffered file stream.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "CompressedSystemFile.h"
#include "CompressedStream.h"
#include "filestream.h"

namespace {

constexpr long kCells = 20;
constexpr int64_t kRows = 1000000;
constexpr int64_t kPoolRows = 65536;  // distinct rows, cycled
constexpr int64_t kLogicalBytes = kRows * kCells * int64_t(sizeof(OBS));

// A growable byte buffer as a stream.
class MemoryStream : public VESK_StrBaseIO {
public:
    void Clear() override {}
    int Good() const override { return 1; }
    size_t Read(void* buffer, size_t count) override {
        const size_t n = std::min(count, fData.size() - std::min(fData.size(), fPos));
        std::memcpy(buffer, fData.data() + fPos, n);
        fPos += n;
        return n;
    }
    size_t Write(const void* data, size_t count) override {
        const auto* p = static_cast<const uint8_t*>(data);
        if (fPos == fData.size()) {
            fData.insert(fData.end(), p, p + count);
        } else {
            if (fPos + count > fData.size()) fData.resize(fPos + count);
            std::memcpy(fData.data() + fPos, p, count);
        }
        fPos += count;
        return count;
    }
    int Seek(int64_t offset, int direction) override {
        const int64_t base = direction == 0 ? 0 : direction == 1 ? int64_t(fPos) : int64_t(fData.size());
        if (base + offset < 0) return -1;
        fPos = size_t(base + offset);
        return 0;
    }
    int64_t Tell() const override { return int64_t(fPos); }
    int EndOfFile() const override { return fPos >= fData.size(); }

    void Rewind() { fPos = 0; }
    void Reset() { fData.clear(), fPos = 0; }
    std::vector<uint8_t>& Data() { return fData; }

private:
    std::vector<uint8_t> fData;
    size_t fPos = 0;
};

const std::vector<OBS>& Pool() {
    static const std::vector<OBS> pool = [] {
        std::mt19937_64 rng(42);
        std::vector<OBS> cells(size_t(kPoolRows * kCells));
        for (OBS& c : cells) {
            const unsigned kind = unsigned(rng() % 10);
            if (kind < 5) c.d = double(int(rng() % 200) - 50);       // small integers
            else if (kind < 7) c.bits = VESK_SYSMIS_BITS;            // a fifth system-missing
            else c.d = std::ldexp(double(rng() >> 11), -40) - 3e6;  // arbitrary doubles
        }
        return cells;
    }();
    return pool;
}

const OBS* RowOf(int64_t r) { return Pool().data() + size_t(r % kPoolRows) * kCells; }

SystemFileOptions Options() {
    SystemFileOptions o;
    o._cellsPerCase = kCells;
    return o;
}

MemoryStream& SystemFileData() {
    static MemoryStream* s = [] {
        auto* m = new MemoryStream;
        SystemFileOptions o = Options();
        CompressedSystemFile codec(m, &o, nullptr, 0);
        for (int64_t r = 0; r < kRows; ++r) codec.WriteRow(RowOf(r));
        codec.Flush();
        return m;
    }();
    return *s;
}

void BM_SystemFileEncode(benchmark::State& state) {
    MemoryStream s;
    s.Data().reserve(SystemFileData().Data().size() + 4096);
    for (auto _ : state) {
        s.Reset();
        SystemFileOptions o = Options();
        CompressedSystemFile codec(&s, &o, nullptr, 0);
        for (int64_t r = 0; r < kRows; ++r) codec.WriteRow(RowOf(r));
        codec.Flush();
        benchmark::DoNotOptimize(s.Data().data());
    }
    state.SetBytesProcessed(state.iterations() * kLogicalBytes);
    state.counters["ratio"] = double(s.Data().size()) / double(kLogicalBytes);
}
BENCHMARK(BM_SystemFileEncode)->Unit(benchmark::kMillisecond);

void BM_SystemFileDecode(benchmark::State& state) {
    MemoryStream& s = SystemFileData();
    std::vector<OBS> row(kCells);
    for (auto _ : state) {
        s.Rewind();
        SystemFileOptions o = Options();
        CompressedSystemFile codec(&s, &o, nullptr, 0);
        int64_t rows = 0;
        while (codec.ReadRow(row.data()) == kCells) ++rows;
        if (rows != kRows) state.SkipWithError("row count");
        benchmark::DoNotOptimize(row.data());
    }
    state.SetBytesProcessed(state.iterations() * kLogicalBytes);
}
BENCHMARK(BM_SystemFileDecode)->Unit(benchmark::kMillisecond);

// The reader's path: a buffered file stream over a file in the temp directory.
void BM_SystemFileDecodeFileStream(benchmark::State& state) {
    char path[] = "/tmp/bytecode_bench_XXXXXX";
    const int fd = mkstemp(path);
    const std::vector<uint8_t>& bytes = SystemFileData().Data();
    if (fd < 0 || write(fd, bytes.data(), bytes.size()) != ssize_t(bytes.size())) {
        state.SkipWithError("cannot write the temporary file");
        return;
    }
    close(fd);
    std::vector<OBS> row(kCells);
    for (auto _ : state) {
        VESK_FileStream file;
        file.Open(path, "rb");
        SystemFileOptions o = Options();
        CompressedSystemFile codec(&file, &o, nullptr, 0);
        int64_t rows = 0;
        while (codec.ReadRow(row.data()) == kCells) ++rows;
        if (rows != kRows) state.SkipWithError("row count");
        benchmark::DoNotOptimize(row.data());
    }
    std::remove(path);
    state.SetBytesProcessed(state.iterations() * kLogicalBytes);
}
BENCHMARK(BM_SystemFileDecodeFileStream)->Unit(benchmark::kMillisecond);

MemoryStream& StreamData() {
    static MemoryStream* s = [] {
        auto* m = new MemoryStream;
        for (int64_t r = 0; r < kRows; ++r) WriteCompressed(*m, RowOf(r), kCells);
        return m;
    }();
    return *s;
}

void BM_RowCodecEncode(benchmark::State& state) {
    MemoryStream s;
    s.Data().reserve(StreamData().Data().size() + 4096);
    for (auto _ : state) {
        s.Reset();
        for (int64_t r = 0; r < kRows; ++r) WriteCompressed(s, RowOf(r), kCells);
        benchmark::DoNotOptimize(s.Data().data());
    }
    state.SetBytesProcessed(state.iterations() * kLogicalBytes);
    state.counters["ratio"] = double(s.Data().size()) / double(kLogicalBytes);
}
BENCHMARK(BM_RowCodecEncode)->Unit(benchmark::kMillisecond);

void BM_RowCodecDecode(benchmark::State& state) {
    MemoryStream& s = StreamData();
    std::vector<OBS> row(kCells);
    for (auto _ : state) {
        s.Rewind();
        int64_t rows = 0;
        while (ReadCompressed(s, row.data(), kCells)) ++rows;
        if (rows != kRows) state.SkipWithError("row count");
        benchmark::DoNotOptimize(row.data());
    }
    state.SetBytesProcessed(state.iterations() * kLogicalBytes);
}
BENCHMARK(BM_RowCodecDecode)->Unit(benchmark::kMillisecond);

}  // namespace
