// Whole-process speed of the tool on the paths that have speed goals, each
// beside the limit of the machine measured in the same run:
//   - verify of a file of rows x 20 numbers in each compression, and
//     convert from the uncompressed file to each compression, in MB/s of
//     logical case data (rows x 20 x 8 bytes);
//   - the baselines: read() of the uncompressed file, memcpy of the logical
//     bytes, libdeflate level 1 alone compressing and inflating the zlib
//     file's blocks on two threads, and the library's own block compressor
//     (ISA-L's igzip at level 1) alone on two threads;
//   - cat of the bytecode file, in MB/s of the CSV printed;
//   - verify and info --json of a file of columns x 3 rows of long names.
// Sizes default to 2,000,000 rows (the 320 MB of the goals) and 1,000,000
// columns; VESK_GOALS_ROWS and VESK_GOALS_COLUMNS change them. When
// VESK_BASELINE_TOOL names another vesk binary (an earlier build), every tool
// case runs with it too, so the two compare within one run. Counters: peak_MB
// is the child's peak resident size. The files live in a directory of their
// own under $TMPDIR, removed at the end.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <libdeflate.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "SystemFileDataSource.h"
#include "case.h"
#include "datasrc.h"
#include "variable.h"
#include "zcmpsfilestr.h"

extern char** environ;

namespace {

constexpr int kVars = 20;

long EnvNumber(const char* name, long fallback) {
    const char* text = std::getenv(name);
    return text && *text ? std::strtol(text, nullptr, 10) : fallback;
}

long Rows() { return EnvNumber("VESK_GOALS_ROWS", 2000000); }
int64_t LogicalBytes() { return int64_t(Rows()) * kVars * 8; }

class Scratch {
public:
    Scratch() {
        const char* tmp = std::getenv("TMPDIR");
        fDir = std::string(tmp && *tmp ? tmp : "/tmp") + "/vesk-goals-bench-XXXXXX";
        if (!mkdtemp(fDir.data())) std::abort();
    }
    ~Scratch() { std::filesystem::remove_all(fDir); }
    std::string Path(const std::string& name) const { return fDir + "/" + name; }

private:
    std::string fDir;
};

const Scratch& Dir() {
    static const Scratch scratch;
    return scratch;
}

// Runs the tool with args, its output going to the file output; the child's
// peak resident size in kB, -1 when it failed.
long Run(const std::string& tool, std::vector<std::string> args, const char* output = "/dev/null") {
    args.insert(args.begin(), tool);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, tool.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return -1;
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return usage.ru_maxrss;
}

// Rows x 20 numbers with two decimals (the cases the import goal reads),
// uncompressed; the other compressions are converted from it by the tool.
std::string Numeric(const std::string& compression) {
    static const std::string raw = [] {
        const std::string path = Dir().Path("numeric-none.sys");
        SystemFileDataSource out;
        out.SetFileSpec(path.c_str());
        char name[32];
        for (int c = 0; c < kVars; ++c) {
            std::snprintf(name, sizeof name, "c%d", c);
            out.MakeVariable(0).SetName(name);
        }
        out.SetCompressionLevel(0);
        VESK_Case row(out, nullptr);
        uint64_t state = 1;
        for (long r = Rows(); r > 0; --r) {
            for (int c = 0; c < kVars; ++c) {
                state = state * 6364136223846793005ull + 1442695040888963407ull;
                row.SetColumnValue(c, double((state >> 33) % 1000000) / 100);
            }
            out.AddRow(row.Cells());
        }
        out.Close();
        return path;
    }();
    if (compression == "none") return raw;
    const std::string path = Dir().Path(std::string("numeric-").append(compression).append(".sys"));
    if (!std::filesystem::exists(path) && Run(VESK_TOOL, {"convert", raw, path, "--compression", compression}) < 0)
        std::abort();
    return path;
}

// Columns x 3 rows of small integers under long names, bytecode. Written by
// a child process: the dictionary would otherwise leave this process large,
// and a spawned tool's peak size counts the size of its parent at the spawn.
std::string Wide() {
    static const std::string path = [] {
        const std::string file = Dir().Path("wide.sys");
        const pid_t child = fork();
        if (child < 0) std::abort();
        int status = 0;
        if (child > 0) {
            if (waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) std::abort();
            return file;
        }
        const long columns = EnvNumber("VESK_GOALS_COLUMNS", 1000000);
        SystemFileDataSource out;
        out.SetFileSpec(file.c_str());
        char name[64];
        for (long c = 0; c < columns; ++c) {
            std::snprintf(name, sizeof name, "variable_with_a_long_name_%ld", c);
            out.MakeVariable(0).SetName(name);
        }
        VESK_Case row(out, nullptr);
        for (int r = 0; r < 3; ++r) {
            for (long c = 0; c < columns; ++c) row.SetColumnValue(int(c), double(r * 7 + c % 100));
            out.AddRow(row.Cells());
        }
        out.Close();
        _exit(0);
    }();
    return path;
}

const char* Baseline() { return std::getenv("VESK_BASELINE_TOOL"); }

// One tool case: the tool of this build (arg 0) or the baseline tool (arg 1).
// `before`, when given, runs ahead of each run, outside the timing.
void RunTool(benchmark::State& state, const std::vector<std::string>& args, int64_t bytes,
             const std::function<void()>& before = {}) {
    const std::string tool = state.range(0) ? (Baseline() ? Baseline() : "") : VESK_TOOL;
    if (tool.empty()) return state.SkipWithError("VESK_BASELINE_TOOL is not set");
    long peak = 0;
    for (auto _ : state) {
        if (before) {
            state.PauseTiming();
            before();
            state.ResumeTiming();
        }
        peak = Run(tool, args);
        if (peak < 0) return state.SkipWithError("the tool failed");
    }
    if (bytes > 0) state.SetBytesProcessed(int64_t(state.iterations()) * bytes);
    state.counters["peak_MB"] = double(peak) / 1024;
}

void BM_Verify(benchmark::State& state, const std::string& compression) {
    RunTool(state, {"verify", Numeric(compression)}, LogicalBytes());
}

// Into a new file each time, as a conversion to a new name: replacing the
// last run's output would add the cost of freeing it, and its data still on
// the way to the disk would slow the next run's commit.
void BM_Convert(benchmark::State& state, const std::string& compression) {
    const std::string out = Dir().Path("converted.sys");
    RunTool(state, {"convert", Numeric("none"), out, "--compression", compression}, LogicalBytes(), [&] {
        std::filesystem::remove(out);
        sync();
    });
    std::filesystem::remove(out);
}

// cat, in MB/s of the CSV it prints (measured once).
void BM_Cat(benchmark::State& state) {
    static const int64_t csvBytes = [] {
        const std::string csv = Dir().Path("cat.csv");
        if (Run(VESK_TOOL, {"cat", Numeric("bytecode")}, csv.c_str()) < 0) return int64_t(0);
        const auto bytes = int64_t(std::filesystem::file_size(csv));
        std::filesystem::remove(csv);
        return bytes;
    }();
    RunTool(state, {"cat", Numeric("bytecode")}, csvBytes);
}

void BM_WideVerify(benchmark::State& state) { RunTool(state, {"verify", Wide()}, 0); }
void BM_WideInfoJson(benchmark::State& state) { RunTool(state, {"info", "--json", Wide()}, 0); }

// ---------------------------------------------------------------- baselines

void BM_ReadFile(benchmark::State& state) {
    const std::string path = Numeric("none");
    std::vector<char> buffer(1 << 20);
    for (auto _ : state) {
        const int fd = open(path.c_str(), O_RDONLY);
        while (read(fd, buffer.data(), buffer.size()) > 0) {
        }
        close(fd);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * LogicalBytes());
}

void BM_Memcpy(benchmark::State& state) {
    const size_t chunk = size_t(4) << 20;
    std::vector<char> from(chunk, 1), to(chunk);
    for (auto _ : state) {
        for (int64_t done = 0; done < LogicalBytes(); done += int64_t(chunk)) {
            std::memcpy(to.data(), from.data(), chunk);
            benchmark::ClobberMemory();
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * LogicalBytes());
}

// The bytecode stream of the numeric file (what the zlib blocks hold), in
// blocks of the zlib layer's size.
std::vector<std::vector<uint8_t>> BytecodeBlocks() {
    std::vector<uint8_t> all;
    {
        const std::string path = Numeric("bytecode");
        all.resize(std::filesystem::file_size(path));
        const int fd = open(path.c_str(), O_RDONLY);
        size_t got = 0;
        while (got < all.size()) {
            const ssize_t n = read(fd, all.data() + got, all.size() - got);
            if (n <= 0) break;
            got += size_t(n);
        }
        close(fd);
    }
    std::vector<std::vector<uint8_t>> blocks;
    for (size_t at = 0; at < all.size(); at += zcmps::kBlockSize)
        blocks.emplace_back(all.begin() + long(at), all.begin() + long(std::min(all.size(), at + zcmps::kBlockSize)));
    return blocks;
}

// Runs work(block, codec index) over the blocks on two threads.
template <class F>
void OnTwoThreads(size_t blocks, F work) {
    std::thread other([&] {
        for (size_t b = 1; b < blocks; b += 2) work(b, 1);
    });
    for (size_t b = 0; b < blocks; b += 2) work(b, 0);
    other.join();
}

void BM_DeflateAlone(benchmark::State& state) {
    const auto blocks = BytecodeBlocks();
    libdeflate_compressor* codec[2] = {libdeflate_alloc_compressor(1), libdeflate_alloc_compressor(1)};
    std::vector<uint8_t> out[2];
    for (auto& o : out) o.resize(libdeflate_zlib_compress_bound(codec[0], zcmps::kBlockSize));
    for (auto _ : state) {
        OnTwoThreads(blocks.size(), [&](size_t b, int t) {
            libdeflate_zlib_compress(codec[t], blocks[b].data(), blocks[b].size(), out[t].data(), out[t].size());
        });
    }
    for (auto* c : codec) libdeflate_free_compressor(c);
    state.SetBytesProcessed(int64_t(state.iterations()) * LogicalBytes());
}

// The block compressor the library writes with (level 1), alone on two
// threads: the limit of convert to zlib.
void BM_CompressBlocksAlone(benchmark::State& state) {
    const auto blocks = BytecodeBlocks();
    zlibCompressBlock codec[2];
    std::vector<uint8_t> out[2];
    for (auto& o : out) o.resize(zlibCompressBlock::CompressBound(zcmps::kBlockSize));
    for (auto _ : state) {
        OnTwoThreads(blocks.size(), [&](size_t b, int t) {
            size_t room = out[t].size();
            codec[t].compressBlock(blocks[b].data(), blocks[b].size(), out[t].data(), &room);
        });
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * LogicalBytes());
}

void BM_InflateAlone(benchmark::State& state) {
    const auto blocks = BytecodeBlocks();
    std::vector<std::vector<uint8_t>> packed;
    libdeflate_compressor* compressor = libdeflate_alloc_compressor(1);
    for (const auto& b : blocks) {
        std::vector<uint8_t> p(libdeflate_zlib_compress_bound(compressor, b.size()));
        p.resize(libdeflate_zlib_compress(compressor, b.data(), b.size(), p.data(), p.size()));
        packed.push_back(std::move(p));
    }
    libdeflate_free_compressor(compressor);
    libdeflate_decompressor* codec[2] = {libdeflate_alloc_decompressor(), libdeflate_alloc_decompressor()};
    std::vector<uint8_t> out[2] = {std::vector<uint8_t>(zcmps::kBlockSize), std::vector<uint8_t>(zcmps::kBlockSize)};
    for (auto _ : state) {
        OnTwoThreads(blocks.size(), [&](size_t b, int t) {
            size_t n = 0;
            libdeflate_zlib_decompress(codec[t], packed[b].data(), packed[b].size(), out[t].data(), out[t].size(), &n);
        });
    }
    for (auto* c : codec) libdeflate_free_decompressor(c);
    state.SetBytesProcessed(int64_t(state.iterations()) * LogicalBytes());
}

}  // namespace

#define TOOL_CASE(name, ...) \
    BENCHMARK_CAPTURE(name, __VA_ARGS__)->ArgName("baseline")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3)

TOOL_CASE(BM_Verify, none, "none");
TOOL_CASE(BM_Verify, bytecode, "bytecode");
TOOL_CASE(BM_Verify, zlib, "zlib");
TOOL_CASE(BM_Convert, to_none, "none");
TOOL_CASE(BM_Convert, to_bytecode, "bytecode");
TOOL_CASE(BM_Convert, to_zlib, "zlib");
BENCHMARK(BM_Cat)->ArgName("baseline")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_WideVerify)->ArgName("baseline")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_WideInfoJson)->ArgName("baseline")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
// The baselines come last: they hold the data in this process, and a tool
// spawned after that would report this process's peak size as its own.
BENCHMARK(BM_ReadFile)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_Memcpy)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_DeflateAlone)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_CompressBlocksAlone)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_InflateAlone)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
