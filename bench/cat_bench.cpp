// `vesk cat`'s CSV path: 2,000,000 cases x 20 numeric variables (half small
// integers, a fifth system-missing, the rest arbitrary doubles) read from a
// bytecode file and formatted as CSV into memory.
//
// Rates are MB/s of CSV output for every benchmark, the read-only baseline
// included, so that the figures compare directly. CPU time is that of the
// whole process (the batched writer formats on a helper thread too).
#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "SystemFileDataSource.h"
#include "case.h"
#include "casecsv.h"
#include "datasrc.h"

namespace {

constexpr int kRows = 2000000;
constexpr int kVars = 20;
constexpr size_t kDrainBytes = size_t(1) << 20;

void FillRow(int row, OBS* cells) {
    for (int j = 0; j < kVars; ++j) {
        if (j < 10) cells[j].d = double((row * 7 + j * 13) % 100);
        else if (j < 14) cells[j].bits = VESK_SYSMIS_BITS;
        else cells[j].d = row * 1.000001 + j * 0.123456789;
    }
}

// The file, written once through the library's writer, removed at exit.
struct File {
    std::string dir, path;
    ~File() {
        std::remove(path.c_str());
        rmdir(dir.c_str());
    }
};

const std::string& ThePath() {
    static std::unique_ptr<File> file = [] {
        auto f = std::make_unique<File>();
        char pattern[] = "/tmp/catbenchXXXXXX";
        f->dir = mkdtemp(pattern);
        f->path = f->dir + "/cases.sys";
        SystemFileDataSource out;
        for (int j = 0; j < kVars; ++j) out.MakeVariable(0).SetName(("V" + std::to_string(j + 1)).c_str());
        out.SetFileSpec(f->path.c_str());
        out.SetCompressionLevel(1);
        out.CommitDictionary();
        std::vector<OBS> row(kVars);
        for (int r = 0; r < kRows; ++r) {
            FillRow(r, row.data());
            out.AddRow(row.data());
        }
        out.Close();
        return f;
    }();
    return file->path;
}

struct SourceDeleter {
    void operator()(const VESK_DataSource* s) const { DeleteLine(s); }
};
using SourcePtr = std::unique_ptr<VESK_DataSource, SourceDeleter>;

SourcePtr Open() { return SourcePtr(SystemFileDataSource::GetSystemFile(ThePath(), std::string(), false, nullptr)); }

std::vector<int> AllColumns() {
    std::vector<int> columns(kVars);
    for (int j = 0; j < kVars; ++j) columns[size_t(j)] = j;
    return columns;
}

// Reads every case and formats it as `cat` does, batched or row by row;
// returns the bytes of CSV written.
int64_t Cat(vesk::CsvStyle style, bool batched) {
    SourcePtr source = Open();
    const vesk::CsvCaseWriter writer(*source, AllColumns(), style);
    vesk::CsvBatchWriter batches(writer, source->GetObsAreaSize());
    vesk::ByteBuffer out;
    writer.AppendHeader(out);
    std::unique_ptr<VESK_InputCaseIterator> it(source->MakeIterator(nullptr));
    const OBS* cells = it->GetCase().Cells();
    int64_t bytes = 0;
    while (it->NextCase()) {
        if (batched)
            batches.Add(cells, out);
        else
            writer.AppendCase(out, cells);
        if (out.Size() >= kDrainBytes) {
            bytes += int64_t(out.Size());
            benchmark::DoNotOptimize(out.Data());
            out.Clear();
        }
    }
    batches.Flush(out);
    return bytes + int64_t(out.Size());
}

int64_t CsvBytes() {
    static const int64_t bytes = Cat({}, true);
    return bytes;
}

// Baseline: the cases read, nothing formatted.
void BM_ReadOnly(benchmark::State& state) {
    const int64_t csvBytes = CsvBytes();  // writes the file, outside the timing
    double sum = 0;
    for (auto _ : state) {
        SourcePtr source = Open();
        std::unique_ptr<VESK_InputCaseIterator> it(source->MakeIterator(nullptr));
        const OBS* cells = it->GetCase().Cells();
        while (it->NextCase()) sum += cells[15].d;
    }
    benchmark::DoNotOptimize(sum);
    state.SetBytesProcessed(state.iterations() * csvBytes);
}
BENCHMARK(BM_ReadOnly)->MeasureProcessCPUTime()->UseRealTime()->Unit(benchmark::kMillisecond);

// Shortest round-trip numbers: arg 0 formats on this thread alone, 1 in batches on two.
void BM_Cat(benchmark::State& state) {
    const int64_t csvBytes = CsvBytes();
    int64_t bytes = 0;
    for (auto _ : state) bytes = Cat({}, state.range(0) == 1);
    if (bytes != csvBytes) state.SkipWithError("the CSV differs in length");
    state.SetBytesProcessed(state.iterations() * bytes);
}
BENCHMARK(BM_Cat)->ArgName("batched")->Arg(0)->Arg(1)->MeasureProcessCPUTime()->UseRealTime()->Unit(benchmark::kMillisecond);

// --formatted: fixed decimals of the print format (8.2 here), batched.
void BM_CatFormatted(benchmark::State& state) {
    CsvBytes();
    int64_t bytes = 0;
    for (auto _ : state) bytes = Cat({',', true, false}, true);
    state.SetBytesProcessed(state.iterations() * bytes);
}
BENCHMARK(BM_CatFormatted)->MeasureProcessCPUTime()->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
