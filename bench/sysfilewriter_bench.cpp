// Throughput of the system file writer on a synthetic file of 1,000,000 cases
// of 20 numeric variables (half small integers, a fifth system-missing, the
// rest arbitrary doubles), in each compression, with the baselines of the
// same run: a plain write() of the same case bytes, the bytecode encoding of
// the cases alone, and the zlib compression of the bytecode stream's blocks
// alone (on one thread and on two). Figures are MB/s of logical case data (160 MB per file).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "CompressedSystemFile.h"
#include "SaveDS.h"
#include "SystemFileDataSource.h"
#include "filestream.h"
#include "memorydatastore.h"
#include "tempdirs.h"
#include "zcmpsfilestr.h"
#include "zlibblock.h"

namespace {

constexpr int kVars = 20;
constexpr int64_t kRows = 1000000;
constexpr int kPoolRows = 16384;  // distinct cases, cycled
constexpr int64_t kLogicalBytes = kRows * kVars * 8;

const std::vector<OBS>& Pool() {
    static const std::vector<OBS> pool = [] {
        std::mt19937_64 rng(20);
        std::vector<OBS> cells(size_t(kPoolRows) * kVars);
        for (OBS& c : cells) {
            const uint64_t r = rng();
            const int kind = int(r % 10);
            if (kind < 5)
                c.d = double((r >> 8) % 100);
            else if (kind < 7)
                c.d = VESK_SYSMIS;
            else
                c.d = double(int64_t(r >> 11)) / 1048576.0 - 1e6;
        }
        return cells;
    }();
    return pool;
}

const OBS* Row(int64_t r) { return Pool().data() + size_t(r % kPoolRows) * kVars; }

const MemoryDataStore& Dictionary() {
    static const MemoryDataStore* dict = [] {
        auto* d = new MemoryDataStore;
        for (int v = 0; v < kVars; ++v) d->MakeVariable(0).SetName(("v" + std::to_string(v)).c_str());
        return d;
    }();
    return *dict;
}

struct TempName {
    TempName() { FormTempName("sfwbench", path); }
    ~TempName() { unlink(path); }
    char path[512];
};

// Every iteration writes a new file, as a save does: replacing one file again
// and again would time the file system freeing the old blocks. The files are
// removed after the timed loop.
struct FreshNames {
    const char* Next() { return fNames.emplace_back(new TempName)->path; }
    const char* Last() const { return fNames.back()->path; }
    std::vector<std::unique_ptr<TempName>> fNames;
};

// Writes and removes 640 MB once, before the first timed write. A fresh machine
// pays extra for memory it has never handed out before (measured here at about
// 10 us per 4 KiB page); without this the first file written, whichever
// benchmark comes first, would carry that cost for the page cache.
void PrimePageCache() {
    static const bool primed = [] {
        TempName name;
        const int fd = open(name.path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::vector<char> chunk(size_t(1) << 20, 1);
        for (int i = 0; fd >= 0 && i < 640; ++i)
            if (write(fd, chunk.data(), chunk.size()) != ssize_t(chunk.size())) break;
        if (fd >= 0) close(fd);
        return true;
    }();
    (void)primed;
}

void WriteSystemFile(const char* path, int compression) {
    SystemFileDataSource out;
    out.CopyDictionary(Dictionary());
    out.SetCompressionLevel(compression);
    out.SetFileSpec(path);
    for (int64_t r = 0; r < kRows; ++r) out.AddRow(Row(r));
    out.Close();
}

// CPU seconds of the whole process (all threads) so far.
double ProcessCpu() {
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + 1e-6 * double(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

// proc_cpu_s: CPU seconds of all threads per file, which on a shared machine
// tells what the run would cost when it had the cores to itself.
void Report(benchmark::State& state, int64_t fileBytes, double cpuStart) {
    state.SetBytesProcessed(state.iterations() * kLogicalBytes);
    state.counters["file_MB"] = double(fileBytes) / 1e6;
    state.counters["proc_cpu_s"] = (ProcessCpu() - cpuStart) / double(state.iterations());
}

int64_t FileSize(const char* path) {
    VESK_File f;
    return f.Open(ExtNameStr(path), "rb") ? f.Size() : -1;
}

void BM_WriteSystemFile(benchmark::State& state) {
    const int compression = int(state.range(0));
    const int workers = int(state.range(1));
    SystemFileDataSource::SaveDS::SetZlibWorkers(workers);
    Pool();
    PrimePageCache();
    FreshNames names;
    const double cpu = ProcessCpu();
    for (auto _ : state) WriteSystemFile(names.Next(), compression);
    SystemFileDataSource::SaveDS::SetZlibWorkers(2);
    Report(state, FileSize(names.Last()), cpu);
}
BENCHMARK(BM_WriteSystemFile)
    ->ArgNames({"compression", "zthreads"})
    ->Args({0, 2})
    ->Args({1, 2})
    ->Args({2, 2})
    ->Args({2, 1})
    ->Args({2, 0})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

// Baseline: the same case bytes through write() in 1 MiB pieces.
void BM_PlainWrite(benchmark::State& state) {
    std::vector<char> chunk(size_t(1) << 20);
    const size_t rowBytes = kVars * 8;
    PrimePageCache();
    FreshNames names;
    const double cpu = ProcessCpu();
    for (auto _ : state) {
        const int fd = open(names.Next(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int64_t r = 0;
        while (r < kRows) {
            size_t used = 0;
            while (used + rowBytes <= chunk.size() && r < kRows) {
                std::memcpy(chunk.data() + used, Row(r++), rowBytes);
                used += rowBytes;
            }
            if (write(fd, chunk.data(), used) != ssize_t(used)) state.SkipWithError("write failed");
        }
        close(fd);
    }
    Report(state, FileSize(names.Last()), cpu);
}
BENCHMARK(BM_PlainWrite)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// A stream that keeps what it is given in memory (or drops it).
class MemoryStream : public VESK_StrBaseIO {
public:
    explicit MemoryStream(bool keep) : fKeep(keep) {}
    void Clear() override {}
    int Good() const override { return 1; }
    size_t Read(void*, size_t) override { return 0; }
    size_t Write(const void* data, size_t n) override {
        if (fKeep) {
            if (fBytes.size() < size_t(fPos) + n) fBytes.resize(size_t(fPos) + n);
            std::memcpy(fBytes.data() + fPos, data, n);
        }
        fPos += int64_t(n);
        return n;
    }
    int Seek(int64_t offset, int direction) override {
        fPos = direction == SeekFromStart ? offset : direction == SeekFromCurrent ? fPos + offset : int64_t(fBytes.size()) + offset;
        return 0;
    }
    int64_t Tell() const override { return fPos; }
    int EndOfFile() const override { return 0; }
    std::vector<uint8_t> fBytes;

private:
    bool fKeep;
    int64_t fPos = 0;
};

SystemFileOptions Options() {
    SystemFileOptions o;
    o._cellsPerCase = kVars;
    return o;
}

// Baseline: bytecode encoding of the cases alone, into memory that is dropped.
void BM_BytecodeAlone(benchmark::State& state) {
    SystemFileOptions o = Options();
    int64_t bytes = 0;
    const double cpu = ProcessCpu();
    for (auto _ : state) {
        MemoryStream sink(false);
        CompressedSystemFile codec(&sink, &o, nullptr, 0);
        for (int64_t r = 0; r < kRows; ++r) codec.WriteRow(Row(r));
        codec.Flush();
        bytes = sink.Tell();
    }
    Report(state, bytes, cpu);
}
BENCHMARK(BM_BytecodeAlone)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// Baseline: zlib compression alone, on one thread, of the blocks of the
// bytecode stream of the same cases.
void BM_ZlibBlocksAlone(benchmark::State& state) {
    SystemFileOptions o = Options();
    MemoryStream stream(true);
    {
        CompressedSystemFile codec(&stream, &o, nullptr, 0);
        for (int64_t r = 0; r < kRows; ++r) codec.WriteRow(Row(r));
        codec.Flush();
    }
    const std::vector<uint8_t>& data = stream.fBytes;
    const int threads = int(state.range(0));
    // Thread t compresses blocks t, t + threads, ...: the ceiling that the
    // writer's workers could reach on this machine.
    auto compressShare = [&](int t, int64_t* packed, bool* ok) {
        zlibCompressBlock z;
        std::vector<uint8_t> out(zlibCompressBlock::CompressBound(zcmps::kBlockSize));
        for (size_t at = size_t(t) * zcmps::kBlockSize; at < data.size(); at += size_t(threads) * zcmps::kBlockSize) {
            const size_t n = std::min(data.size() - at, size_t(zcmps::kBlockSize));
            size_t len = out.size();
            *ok = z.compressBlock(data.data() + at, n, out.data(), &len) && *ok;
            *packed += int64_t(len);
        }
    };
    int64_t packed = 0;
    const double cpu = ProcessCpu();
    for (auto _ : state) {
        std::vector<int64_t> sizes(size_t(threads), 0);
        std::unique_ptr<bool[]> oks(new bool[size_t(threads)]);
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; ++t) {
            oks[size_t(t)] = true;
            pool.emplace_back(compressShare, t, &sizes[size_t(t)], &oks[size_t(t)]);
        }
        packed = 0;
        for (int t = 0; t < threads; ++t) {
            pool[size_t(t)].join();
            packed += sizes[size_t(t)];
            if (!oks[size_t(t)]) state.SkipWithError("compress failed");
        }
    }
    state.counters["stream_MB"] = double(data.size()) / 1e6;
    Report(state, packed, cpu);
}
BENCHMARK(BM_ZlibBlocksAlone)->ArgName("threads")->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace
