// Reading system files: a synthetic file of 1,000,000 cases x 20 numeric
// variables in each compression, read through the case iterator, against a
// plain read() of the file and inflating its zlib blocks alone; and random
// positioning in the compressed files.
//
// Rates are MB/s of logical case data (cells x 8 bytes) for every benchmark,
// baselines included, so that the figures compare directly. Where helper
// threads run (read-ahead, inflating ahead), CPU time is that of the whole
// process, so the rates are per CPU second of all threads.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "CompressedSystemFile.h"
#include "sysfilecoding.h"
#include "sysfilelayout.h"
#include "SystemFileDataSource.h"
#include "zcmpsfilestr.h"
#include "zcompressedfilestr.h"

using namespace SysFileLayout;

namespace {

// Sets the process-wide asynchronous-reading switch.
void SetAsynchReading(bool on) {
    const int64_t mode = on ? 1 : 0;
    SETASYNCHREADING(&mode);
}

constexpr int kRows = 1000000;
constexpr int kVars = 20;
constexpr int64_t kLogicalBytes = int64_t(kRows) * kVars * 8;

// Half small integers, a fifth system-missing, the rest arbitrary doubles.
void FillRow(int row, OBS* cells) {
    for (int j = 0; j < kVars; ++j) {
        if (j < 10) cells[j].d = double((row * 7 + j * 13) % 100);
        else if (j < 14) cells[j].bits = VESK_SYSMIS_BITS;
        else cells[j].d = row * 1.000001 + j * 0.123456789;
    }
}

// Header and dictionary: 20 numeric variables V1..V20.
std::vector<unsigned char> Dictionary(int compression) {
    std::vector<unsigned char> out(kHeaderSize);
    SystemFileHeader h;
    std::memcpy(h.magic, compression == kCompressZlib ? kMagicZlib : kMagicPlain, kMagicSize);
    h.nominalCaseSize = kVars;
    h.compression = compression;
    h.caseCount = kRows;
    h.Encode(out.data(), ByteOrder::Native());
    auto put32 = [&](int32_t v) {
        unsigned char b[4];
        ByteOrder::Native().PutI32(b, v);
        out.insert(out.end(), b, b + 4);
    };
    for (int j = 0; j < kVars; ++j) {
        put32(kRecVariable);
        SystemFileVariableRecord r;
        r.printFormat = r.writeFormat = EncodeFormatWord(5, 12, 4);
        r.SetName("V" + std::to_string(j + 1));
        unsigned char fixed[kVarFixedSize];
        r.Encode(fixed, ByteOrder::Native());
        out.insert(out.end(), fixed, fixed + kVarFixedSize);
    }
    put32(kRecTermination);
    put32(kTerminationFiller);
    return out;
}

// The three files, removed at exit.
struct Files {
    std::string dir;
    std::string path[3];
    ~Files() {
        for (const std::string& p : path) std::remove(p.c_str());
        rmdir(dir.c_str());
    }
};

const Files& TheFiles() {
    static std::unique_ptr<Files> files = [] {
        auto f = std::make_unique<Files>();
        char pattern[] = "/tmp/sysfilebenchXXXXXX";
        f->dir = mkdtemp(pattern);
        std::vector<OBS> row(kVars);
        for (int code = 0; code <= 2; ++code) {
            f->path[code] = f->dir + "/data" + std::to_string(code) + ".sys";
            const std::vector<unsigned char> dict = Dictionary(code);
            VESK_FileStream fs(true);
            fs.Open(f->path[code].c_str(), "wb+");
            fs.Write(dict.data(), dict.size());
            SystemFileOptions options;
            options._cellsPerCase = kVars;
            const int64_t row0 = int64_t(dict.size());
            if (code == 0) {
                for (int r = 0; r < kRows; ++r) {
                    FillRow(r, row.data());
                    fs.Write(row.data(), row.size() * sizeof(OBS));
                }
                fs.Close();
            } else if (code == 1) {
                CompressedSystemFile codec(&fs, &options, nullptr, row0);
                for (int r = 0; r < kRows; ++r) {
                    FillRow(r, row.data());
                    codec.WriteRow(row.data());
                }
                codec.Flush();
                fs.Close();
            } else {
                zcmpsFilestr z(fs);
                fs.Close();
                z.setRow0Pos(row0, false);
                {
                    CompressedSystemFile codec(&z, &options, nullptr, row0);
                    for (int r = 0; r < kRows; ++r) {
                        FillRow(r, row.data());
                        codec.WriteRow(row.data());
                    }
                    codec.Flush();
                }
                z.Close();
            }
        }
        return f;
    }();
    return *files;
}

int64_t FileSize(const std::string& path) {
    VESK_FileStream fs;
    fs.Open(path.c_str(), "rb");
    fs.Seek(0, VESK_StrBaseIO::SeekFromEnd);
    return fs.Tell();
}

// Baseline: the whole uncompressed file into memory with read().
void BM_PlainRead(benchmark::State& state) {
    const std::string& path = TheFiles().path[0];
    std::vector<char> buffer(size_t(FileSize(path)));
    for (auto _ : state) {
        const int fd = open(path.c_str(), O_RDONLY);
        size_t at = 0;
        ssize_t n;
        while ((n = read(fd, buffer.data() + at, buffer.size() - at)) > 0) at += size_t(n);
        close(fd);
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(state.iterations() * kLogicalBytes);
}
BENCHMARK(BM_PlainRead)->Unit(benchmark::kMillisecond);

// Baseline: inflating the zlib blocks of the code-2 file, nothing decoded.
void BM_InflateOnly(benchmark::State& state) {
    const Files& f = TheFiles();
    const int64_t row0 = int64_t(Dictionary(kCompressZlib).size());
    std::vector<char> buffer(4 << 20);
    int64_t inflated = 0;
    for (auto _ : state) {
        VESK_FileStream fs;
        fs.Open(f.path[2].c_str(), "rb");
        zcmpsFilestr z(fs);
        z.setMultiThread(int(state.range(0)));
        z.readFilePosInfo(row0, false);
        z.Seek(row0, VESK_StrBaseIO::SeekFromStart);
        inflated = 0;
        size_t n;
        while ((n = z.Read(buffer.data(), buffer.size())) > 0) inflated += int64_t(n);
        benchmark::DoNotOptimize(buffer.data());
    }
    state.counters["stream_MB"] = double(inflated) / 1e6;
    state.SetBytesProcessed(state.iterations() * kLogicalBytes);
}
BENCHMARK(BM_InflateOnly)->ArgName("ahead")->Arg(0)->Arg(1)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);

// Full sequential read through the iterator: args (compression, asynchronous reading).
void BM_SequentialRead(benchmark::State& state) {
    const Files& f = TheFiles();
    const int code = int(state.range(0));
    SetAsynchReading(state.range(1) != 0);
    int64_t rows = 0;
    double sum = 0;
    for (auto _ : state) {
        SystemFileDataSource src(f.path[code], "", false);
        std::unique_ptr<VESK_InputCaseIterator> it(src.MakeIterator(nullptr));
        const OBS* cells = it->GetCase().Cells();
        rows = 0;
        while (it->NextCase()) {
            sum += cells[15].d;
            ++rows;
        }
    }
    benchmark::DoNotOptimize(sum);
    if (rows != kRows) state.SkipWithError("wrong number of rows");
    state.SetBytesProcessed(state.iterations() * kLogicalBytes);
    SetAsynchReading(true);
}
BENCHMARK(BM_SequentialRead)
    ->ArgNames({"code", "async"})
    ->Args({0, 0})->Args({0, 1})->Args({1, 0})->Args({1, 1})->Args({2, 0})->Args({2, 1})
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMillisecond);

// 1,000 random rows, each a Seek and a Next, on a source whose row index has
// seen one full pass (the steady state of repeated access).
void BM_RandomSeek(benchmark::State& state) {
    const Files& f = TheFiles();
    const int code = int(state.range(0));
    SetAsynchReading(state.range(1) != 0);
    SystemFileDataSource src(f.path[code], "", false);
    {
        std::unique_ptr<VESK_InputCaseIterator> warm(src.MakeIterator(nullptr));
        while (warm->NextCase()) {
        }
    }
    std::mt19937_64 random(42);
    std::uniform_int_distribution<int64_t> pick(0, kRows - 1);
    std::unique_ptr<VESK_InputCaseIterator> it(src.MakeIterator(nullptr));
    double sum = 0;
    for (auto _ : state) {
        for (int i = 0; i < 1000; ++i) {
            it->Seek(pick(random));
            it->NextCase();
            sum += it->GetCase().Cells()[0].d;
        }
    }
    benchmark::DoNotOptimize(sum);
    state.SetItemsProcessed(state.iterations() * 1000);
    SetAsynchReading(true);
}
BENCHMARK(BM_RandomSeek)
    ->ArgNames({"code", "async"})
    ->Args({0, 0})->Args({0, 1})->Args({1, 0})->Args({1, 1})->Args({2, 0})->Args({2, 1})
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
