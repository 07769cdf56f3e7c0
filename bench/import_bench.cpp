// Whole-process speed and peak memory of `vesk import`:
//   - Numeric: a CSV of rows x 20 numbers with two decimals (145 bytes a
//     row; 2,000,000 rows make the 290 MB file of the performance goal),
//     in MB/s of CSV;
//   - Wide: a CSV of columns x 3 rows of small integers (the goal is
//     1,000,000 columns in under 30 s).
// The sizes default to 200,000 rows and 100,000 columns; VESK_IMPORT_ROWS
// and VESK_IMPORT_COLUMNS change them. When VESK_BASELINE_TOOL names another
// vesk binary (an earlier build), the same cases run with it too, so the two
// compare within one run. Counters: peak_MB is the child's peak resident size.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

extern char** environ;

namespace {

long EnvNumber(const char* name, long fallback) {
    const char* text = std::getenv(name);
    return text && *text ? std::strtol(text, nullptr, 10) : fallback;
}

// A directory for the inputs and outputs, removed when the program ends.
class Scratch {
public:
    Scratch() {
        const char* tmp = std::getenv("TMPDIR");
        fDir = std::string(tmp && *tmp ? tmp : "/tmp") + "/vesk-import-bench-XXXXXX";
        if (!mkdtemp(fDir.data())) std::abort();
    }
    ~Scratch() { std::filesystem::remove_all(fDir); }
    const std::string& Dir() const { return fDir; }

private:
    std::string fDir;
};

const std::string& WorkDir() {
    static const Scratch scratch;
    return scratch.Dir();
}

std::string NumericCsv() {
    static const std::string path = [] {
        const std::string file = WorkDir() + "/numeric.csv";
        std::ofstream out(file, std::ios::binary);
        for (int c = 0; c < 20; ++c) out << (c ? ",c" : "c") << c;
        out << '\n';
        std::mt19937_64 random(1);
        char field[32];
        std::string line;
        for (long r = EnvNumber("VESK_IMPORT_ROWS", 200000); r > 0; --r) {
            line.clear();
            for (int c = 0; c < 20; ++c) {
                std::snprintf(field, sizeof field, "%s%.2f", c ? "," : "", double(random() % 1000000) / 100);
                line += field;
            }
            out << line << '\n';
        }
        return file;
    }();
    return path;
}

std::string WideCsv() {
    static const std::string path = [] {
        const std::string file = WorkDir() + "/wide.csv";
        std::ofstream out(file, std::ios::binary);
        const long columns = EnvNumber("VESK_IMPORT_COLUMNS", 100000);
        for (int r = -1; r < 3; ++r) {
            std::string line;
            for (long c = 0; c < columns; ++c) line += (c ? "," : "") + (r < 0 ? "v" + std::to_string(c) : std::to_string(r * 7 + c % 100));
            out << line << '\n';
        }
        return file;
    }();
    return path;
}

// Runs `tool import csv out`; the child's peak resident size in kB.
long Import(const std::string& tool, const std::string& csv) {
    const std::string out = WorkDir() + "/out.sys";
    std::vector<std::string> args = {tool, "import", csv, out};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, tool.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return -1;
    int status = 0;
    rusage usage {};
    if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return usage.ru_maxrss;
}

long FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    return long(in.tellg());
}

void RunImport(benchmark::State& state, const std::string& tool, const std::string& csv) {
    long peak = 0;
    for (auto _ : state) {
        peak = Import(tool, csv);
        if (peak < 0) {
            state.SkipWithError("the import failed");
            return;
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * FileBytes(csv));
    state.counters["peak_MB"] = double(peak) / 1024;
}

void BM_ImportNumeric(benchmark::State& state) { RunImport(state, VESK_TOOL, NumericCsv()); }
void BM_ImportWide(benchmark::State& state) { RunImport(state, VESK_TOOL, WideCsv()); }

void BM_BaselineImportNumeric(benchmark::State& state) {
    const char* baseline = std::getenv("VESK_BASELINE_TOOL");
    if (!baseline) return state.SkipWithError("VESK_BASELINE_TOOL is not set");
    RunImport(state, baseline, NumericCsv());
}
void BM_BaselineImportWide(benchmark::State& state) {
    const char* baseline = std::getenv("VESK_BASELINE_TOOL");
    if (!baseline) return state.SkipWithError("VESK_BASELINE_TOOL is not set");
    RunImport(state, baseline, WideCsv());
}

}  // namespace

BENCHMARK(BM_ImportNumeric)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_BaselineImportNumeric)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_ImportWide)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_BaselineImportWide)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
