// Reading a 2,000,000 x 20 numeric bytecode file: what `vesk verify` does
// (every case through the specified iterator of the source GetSystemFile
// gives, in UTF-8 mode), and the vesk:: layer's row range and columnar reads
// (the whole file at once into ready arrays, as the Python binding reads, with
// and without decoding ahead; in chunks of 100,000 rows into one reused set of
// arrays; into a new Batch). The batched verify and the whole-file read also
// run on a second file of two-decimal numbers, whose cells are stored raw.
//
// Rates are MB/s of logical case data (cells x 8 bytes), in wall-clock time
// (the reader's read-ahead runs on a thread of its own).
#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "SystemFileDataSource.h"
#include "case.h"
#include "errortext.h"
#include "textmb.h"
#include "vesk/vesk.hpp"

namespace {

constexpr int64_t kRows = 2000000;
constexpr int kVars = 20;
constexpr int64_t kLogicalBytes = kRows * kVars * 8;
constexpr int64_t kChunk = 100000;

// The data: "codes" is half small integers, a fifth system-missing and the
// rest arbitrary doubles (mostly one-byte codes in the file); "decimals" is
// two-decimal numbers (mostly raw cells, a file larger than the data).
enum Shape { kCodes, kDecimals };

double Cell(Shape shape, int64_t row, int j) {
    if (shape == kDecimals) return double((row * 37 + j * 1009) % 10000000) / 100 + 0.01;
    if (j < 10) return double((row * 7 + j * 13) % 100);
    if (j < 14) return std::numeric_limits<double>::quiet_NaN();
    return double(row) * 1.000001 + j * 0.123456789;
}

// The file in a directory of its own, removed at exit.
struct File {
    std::filesystem::path dir;
    std::string path;
    ~File() { std::filesystem::remove_all(dir); }
};

std::unique_ptr<File> MakeFile(Shape shape) {
    auto f = std::make_unique<File>();
    std::string pattern = (std::filesystem::temp_directory_path() / "apibenchXXXXXX").string();
    f->dir = mkdtemp(pattern.data());
    f->path = (f->dir / (shape == kCodes ? "codes.sys" : "decimals.sys")).string();
    std::vector<vesk::Variable> vars;
    for (int j = 0; j < kVars; ++j) vars.push_back(vesk::Variable::numeric(std::string("v").append(std::to_string(j + 1))));
    vesk::WriterOptions options;
    options.compression = vesk::Compression::bytecode;
    vesk::Writer w(f->path, vars, options);
    std::vector<std::vector<double>> columns(kVars, std::vector<double>(kChunk));
    for (int64_t first = 0; first < kRows; first += kChunk) {
        for (int j = 0; j < kVars; ++j)
            for (int64_t r = 0; r < kChunk; ++r) columns[size_t(j)][size_t(r)] = Cell(shape, first + r, j);
        w.write_columns(std::vector<vesk::ColumnInput>(columns.begin(), columns.end()));
    }
    w.close();
    return f;
}

const std::string& ThePath(Shape shape = kCodes) {
    static std::unique_ptr<File> codes, decimals;
    std::unique_ptr<File>& file = shape == kCodes ? codes : decimals;
    if (!file) file = MakeFile(shape);
    return file->path;
}

struct QuietMonitor : ErrorMonitor {
    void Report(const char*, int) override {}
};

using SourcePtr = std::unique_ptr<VESK_DataSource, void (*)(const VESK_DataSource*)>;

// The source GetSystemFile gives in UTF-8 mode, as `vesk verify` opens it.
SourcePtr OpenSource(const std::string& path, ErrorMonitor& monitor) {
    SetUTF8mode(1);
    return SourcePtr(SystemFileDataSource::GetSystemFile(path, "", false, &monitor), DeleteLine);
}

void Finish(benchmark::State& state, int64_t rows) {
    if (rows != kRows) state.SkipWithError("wrong number of rows");
    state.SetBytesProcessed(state.iterations() * kLogicalBytes);
}

// What `vesk verify` did before it read in batches (the source GetSystemFile
// gives in UTF-8 mode, every case through the specified iterator), one column
// summed on the way.
void BM_Verify(benchmark::State& state) {
    const std::string& path = ThePath();
    QuietMonitor monitor;
    int64_t rows = 0;
    double sum = 0;
    for (auto _ : state) {
        const SourcePtr source = OpenSource(path, monitor);
        std::unique_ptr<VESK_InputCaseIterator> it(source->MakeIterator(nullptr));
        const OBS* cells = it->GetCase().Cells();
        for (rows = 0; it->NextCase(); ++rows) sum += cells[15].d;
    }
    benchmark::DoNotOptimize(sum);
    Finish(state, rows);
}
BENCHMARK(BM_Verify)->Unit(benchmark::kMillisecond)->UseRealTime();

// What `vesk verify` does since it reads in batches: the file's iterator
// decodes 64 KiB of cases at a time into one block.
void BM_VerifyBatched(benchmark::State& state) {
    const std::string& path = ThePath(Shape(state.range(0)));
    QuietMonitor monitor;
    int64_t rows = 0;
    double sum = 0;
    for (auto _ : state) {
        const SourcePtr source = OpenSource(path, monitor);
        std::unique_ptr<VESK_InputCaseIterator> it(source->MakeIterator(nullptr));
        auto& file = dynamic_cast<SystemFileDataSource::Iterator&>(*it);
        constexpr int64_t kBatch = (64 << 10) / (kVars * 8);
        std::vector<OBS> block(size_t(kBatch * kVars));
        rows = 0;
        for (int64_t got = kBatch; got == kBatch; rows += got) {
            got = file.NextCases(block.data(), kVars, kBatch);
            for (int64_t r = 0; r < got; ++r) sum += block[size_t(r * kVars + 15)].d;
        }
    }
    benchmark::DoNotOptimize(sum);
    Finish(state, rows);
}
BENCHMARK(BM_VerifyBatched)->ArgName("decimals")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// vesk::Reader::rows(), one column summed.
void BM_ApiRows(benchmark::State& state) {
    const std::string& path = ThePath();
    int64_t rows = 0;
    double sum = 0;
    for (auto _ : state) {
        vesk::Reader reader(path);
        rows = 0;
        for (const vesk::Row& row : reader.rows()) {
            sum += row.number(15).value_or(0);
            ++rows;
        }
    }
    benchmark::DoNotOptimize(sum);
    Finish(state, rows);
}
BENCHMARK(BM_ApiRows)->Unit(benchmark::kMillisecond)->UseRealTime();

// Targets for every column into one set of arrays of `rows` rows.
std::vector<vesk::ColumnTarget> Targets(std::vector<std::vector<double>>& arrays) {
    std::vector<vesk::ColumnTarget> targets;
    for (size_t j = 0; j < arrays.size(); ++j) targets.push_back({.column = j, .numbers = arrays[j].data()});
    return targets;
}

// vesk::Reader::read_into, every column, the whole file in one call; args:
// the data, and decoding ahead allowed (it is used only where it pays).
void BM_ApiReadInto(benchmark::State& state) {
    const std::string& path = ThePath(Shape(state.range(0)));
    std::vector<std::vector<double>> arrays(kVars, std::vector<double>(kRows));
    const std::vector<vesk::ColumnTarget> targets = Targets(arrays);
    vesk::BatchOptions options;
    options.decode_ahead = state.range(1) != 0;
    int64_t rows = 0;
    for (auto _ : state) {
        vesk::Reader reader(path);
        rows = reader.read_into(targets, 0, reader.row_count(), options);
        benchmark::DoNotOptimize(arrays[15][size_t(kRows - 1)]);
    }
    Finish(state, rows);
}
BENCHMARK(BM_ApiReadInto)
    ->ArgNames({"decimals", "ahead"})
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// vesk::Reader::read_into, every column, in chunks into one reused set of arrays.
void BM_ApiReadIntoChunks(benchmark::State& state) {
    const std::string& path = ThePath();
    std::vector<std::vector<double>> arrays(kVars, std::vector<double>(kChunk));
    const std::vector<vesk::ColumnTarget> targets = Targets(arrays);
    int64_t rows = 0;
    for (auto _ : state) {
        vesk::Reader reader(path);
        rows = 0;
        for (int64_t got; (got = reader.read_into(targets, rows, kChunk)) > 0;) rows += got;
        benchmark::DoNotOptimize(arrays[15][0]);
    }
    Finish(state, rows);
}
BENCHMARK(BM_ApiReadIntoChunks)->Unit(benchmark::kMillisecond)->UseRealTime();

// vesk::Reader::read, every column into a new Batch.
void BM_ApiReadBatch(benchmark::State& state) {
    const std::string& path = ThePath();
    int64_t rows = 0;
    for (auto _ : state) {
        vesk::Reader reader(path);
        const vesk::Batch batch = reader.read();
        rows = batch.rows;
        benchmark::DoNotOptimize(batch.columns[15].numbers.data());
    }
    Finish(state, rows);
}
BENCHMARK(BM_ApiReadBatch)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
