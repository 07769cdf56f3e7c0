// Opening and reading encrypted system files: a file of 20,000 cases x 10
// numeric variables (1.6 MB of case data, bytecode-compressed), opened and
// read plain, encrypted with the interactive key derivation that new files
// get, and encrypted with the cheapest derivation (what is left is the cost
// of deciphering and of the clear copy).
//
// Opening reads the header and the dictionary; for an encrypted file it also
// derives the key and deciphers the whole file into the clear copy.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "SaveFile.h"
#include "SystemFileDataSource.h"
#include "filecipher.h"

namespace {

constexpr int kRows = 20000;
constexpr int kVars = 10;

// The plain file, the encrypted ones (interactive and cheapest keys), removed at exit.
struct Files {
    std::string plain, interactive, cheap;
    Files() {
        const std::string base = std::filesystem::temp_directory_path() / ("cryptbench" + std::to_string(getpid()));
        plain = base + "-plain.sys";
        interactive = base + "-interactive.sys";
        cheap = base + "-cheap.sys";
        Write(plain, nullptr);
        FileCipher::ResetNewFileLimits();
        Write(interactive, "benchmark password");
        FileCipher::SetNewFileLimits(FileCipher::MinOpsLimit(), FileCipher::MinMemLimit());
        Write(cheap, "benchmark password");
        FileCipher::ResetNewFileLimits();
    }
    ~Files() {
        for (const std::string* p : {&plain, &interactive, &cheap}) std::remove(p->c_str());
    }
    static void Write(const std::string& path, const char* password) {
        SaveFile f(path.c_str(), password, false);
        for (int j = 0; j < kVars; ++j) f.MakeVariable(0).SetName(("v" + std::to_string(j)).c_str());
        f.SetCompression(true);
        std::vector<OBS> row(kVars);
        for (int i = 0; i < kRows; ++i) {
            for (int j = 0; j < kVars; ++j) row[size_t(j)].d = j < 5 ? double((i + j) % 100) : i * 1.0001 + j;
            f.AddRow(row.data());
        }
        f.Close();
    }
};

const Files& TheFiles() {
    static const Files files;
    return files;
}

const std::string& PathOf(int which) {
    const Files& f = TheFiles();
    return which == 0 ? f.plain : which == 1 ? f.interactive : f.cheap;
}

void Open(benchmark::State& state) {
    const std::string& path = PathOf(int(state.range(0)));
    const std::string password = state.range(0) == 0 ? "" : "benchmark password";
    for (auto _ : state) {
        SystemFileDataSource src(path, password, false);
        benchmark::DoNotOptimize(src.RowCount());
    }
}

void OpenAndReadAll(benchmark::State& state) {
    const std::string& path = PathOf(int(state.range(0)));
    const std::string password = state.range(0) == 0 ? "" : "benchmark password";
    for (auto _ : state) {
        SystemFileDataSource src(path, password, false);
        std::unique_ptr<VESK_InputCaseIterator> it(src.MakeIterator(nullptr));
        int64_t n = 0;
        while (it->NextCase()) ++n;
        benchmark::DoNotOptimize(n);
    }
    state.SetBytesProcessed(state.iterations() * int64_t(kRows) * kVars * 8);
}

// 0 plain, 1 encrypted with interactive keys, 2 encrypted with the cheapest keys.
BENCHMARK(Open)->ArgName("file")->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(OpenAndReadAll)->ArgName("file")->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
