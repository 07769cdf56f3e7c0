// Throughput of the zlib block layer: writing with 0, 1 and 2 compression
// workers, reading with and without read-ahead, and inflating the same blocks
// with libdeflate alone as the baseline. Figures are MB/s of uncompressed data.
#include <benchmark/benchmark.h>
#include <libdeflate.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "filestream.h"
#include "tempdirs.h"
#include "zcmpsfilestr.h"

namespace {

constexpr size_t kDataSize = 160u << 20;
constexpr int64_t kRow0 = 200;

// Bytecode-like data: blocks of 8 command bytes, mostly small integer codes,
// now and then a raw double that follows its command block.
const std::vector<uint8_t>& Data() {
    static const std::vector<uint8_t> data = [] {
        std::mt19937_64 rng(1);
        std::vector<uint8_t> d;
        d.reserve(kDataSize + 128);
        while (d.size() < kDataSize) {
            double raws[8];
            int nraw = 0;
            for (int i = 0; i < 8; ++i) {
                uint64_t r = rng();
                if (r % 100 < 15) {
                    d.push_back(253);
                    raws[nraw++] = static_cast<double>((r >> 8) % 1000000) / 100.0;
                } else {
                    d.push_back(static_cast<uint8_t>(101 + (r >> 8) % 5));
                }
            }
            for (int i = 0; i < nraw; ++i) {
                const uint8_t* p = reinterpret_cast<const uint8_t*>(&raws[i]);
                d.insert(d.end(), p, p + 8);
            }
        }
        d.resize(kDataSize);
        return d;
    }();
    return data;
}

struct TempName {
    TempName() { FormTempName("zcmpsbench", path); }
    ~TempName() { unlink(path); }
    char path[512];
};

void WriteFile(const char* path, int workers) {
    const std::vector<uint8_t>& data = Data();
    VESK_FileStream fs;
    fs.Open(path, "wb+");
    std::vector<uint8_t> dict(kRow0, 'D');
    fs.Write(dict.data(), dict.size());
    zcmpsFilestr z(fs);
    if (workers > 0) {
        z.setWorkerCount(workers);
        z.setMultiThread(1);
    }
    z.setRow0Pos(kRow0);
    for (size_t at = 0; at < data.size(); at += 65536)
        z.Write(data.data() + at, std::min<size_t>(65536, data.size() - at));
    z.Close();
}

// One file shared by the reading benchmarks.
const char* SharedFile() {
    static TempName name;
    static bool written = (WriteFile(name.path, 2), true);
    (void)written;
    return name.path;
}

void BM_Write(benchmark::State& state) {
    const int workers = static_cast<int>(state.range(0));
    TempName name;
    for (auto _ : state) WriteFile(name.path, workers);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kDataSize);
    VESK_File written;
    written.Open(ExtNameStr(name.path), "rb");
    state.counters["ratio"] = static_cast<double>(kDataSize) / static_cast<double>(written.Size());
}

void BM_Read(benchmark::State& state) {
    const char* path = SharedFile();
    std::vector<uint8_t> buf(65536);
    for (auto _ : state) {
        VESK_FileStream fs;
        fs.Open(path, "rb");
        zcmpsFilestr z(fs);
        z.setMultiThread(static_cast<int>(state.range(0)));
        z.readFilePosInfo(kRow0, false);
        size_t total = 0, n;
        uint64_t sum = 0;
        while ((n = z.Read(buf.data(), buf.size())) > 0) {
            total += n;
            // A consumer that looks at every byte, as a bytecode decoder does.
            if (state.range(1))
                for (size_t i = 0; i < n; ++i) sum = sum * 31 + buf[i];
        }
        benchmark::DoNotOptimize(sum);
        if (total != kDataSize) state.SkipWithError("short read");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kDataSize);
}

// The blocks of the shared file inflated one after the other, from memory.
void BM_InflateBaseline(benchmark::State& state) {
    const char* path = SharedFile();
    VESK_File file;
    file.Open(ExtNameStr(path), "rb");
    uint8_t head[zcmps::kHeaderLen];
    file.Read(head, sizeof head, kRow0);
    zcmps::Header h = zcmps::DecodeHeader(head, false);
    std::vector<uint8_t> trailer(static_cast<size_t>(h.ztrailerLen));
    file.Read(trailer.data(), trailer.size(), h.ztrailerOfs);
    zcmps::TrailerHead t = zcmps::DecodeTrailerHead(trailer.data(), false);
    std::vector<zcmps::Entry> entries;
    for (int k = 0; k < t.nBlocks; ++k) entries.push_back(zcmps::DecodeEntry(trailer.data() + 24 + 24 * k, false));
    std::vector<uint8_t> packed(static_cast<size_t>(h.ztrailerOfs - kRow0 - 24));
    file.Read(packed.data(), packed.size(), kRow0 + 24);
    std::vector<uint8_t> out(static_cast<size_t>(t.blockSize));
    libdeflate_decompressor* d = libdeflate_alloc_decompressor();
    for (auto _ : state) {
        for (const zcmps::Entry& e : entries) {
            size_t got = 0;
            libdeflate_zlib_decompress(d, packed.data() + (e.compressedOfs - kRow0 - 24), e.compressedSize,
                                       out.data(), out.size(), &got);
            benchmark::DoNotOptimize(out.data());
        }
    }
    libdeflate_free_decompressor(d);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kDataSize);
    state.counters["ratio"] = static_cast<double>(kDataSize) / static_cast<double>(packed.size());
}

}  // namespace

BENCHMARK(BM_Write)
    ->Arg(0)->Arg(1)->Arg(2)->ArgName("workers")
    ->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_Read)
    ->ArgsProduct({{0, 1}, {0, 1}})->ArgNames({"readahead", "consume"})
    ->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_InflateBaseline)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
