// Dictionary costs: copying a large source, appending variables and name lookup.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "VariableNameIndex.h"
#include "datasrc.h"

namespace {

class BenchSource : public VESK_DataSource {
public:
    BenchSource() = default;
    BenchSource(const BenchSource& other) : VESK_DataSource(other) {}
    VESK_InputCaseIterator* MakeIterator(OBS*) const override { return nullptr; }
};

constexpr int kVariables = 100000;

std::string NameOf(int i) {
    char name[32];
    std::snprintf(name, sizeof name, "v%06d", i);
    return name;
}

const BenchSource& LargeSource() {
    static const BenchSource* source = [] {
        auto* ds = new BenchSource;
        for (int i = 0; i < kVariables; ++i) {
            VESK_Variable var(i % 5 == 0 ? 12 : 0);
            var.SetName(NameOf(i).c_str());
            ds->MakeVariable(var);
        }
        return ds;
    }();
    return *source;
}

void BM_CopySource100k(benchmark::State& state) {
    const BenchSource& source = LargeSource();
    for (auto _ : state) {
        BenchSource copy(source);
        benchmark::DoNotOptimize(copy.ColumnCount());
    }
    state.SetItemsProcessed(state.iterations() * kVariables);
}
BENCHMARK(BM_CopySource100k)->Unit(benchmark::kMicrosecond);

// Baseline: a vector of as many plain pointers.
void BM_CopyPointerVector100k(benchmark::State& state) {
    std::vector<int*> pointers(kVariables);
    std::vector<int> targets(kVariables);
    for (int i = 0; i < kVariables; ++i) pointers[i] = &targets[i];
    for (auto _ : state) {
        std::vector<int*> copy(pointers);
        benchmark::DoNotOptimize(copy.data());
    }
    state.SetItemsProcessed(state.iterations() * kVariables);
}
BENCHMARK(BM_CopyPointerVector100k)->Unit(benchmark::kMicrosecond);

// Baseline: a vector of as many variable handles, each copy bumping a body's count.
void BM_CopyHandleVector100k(benchmark::State& state) {
    const BenchSource& source = LargeSource();
    std::vector<VESK_Variable> handles;
    for (int i = 0; i < kVariables; ++i) handles.push_back(source.GetVariable(i));
    for (auto _ : state) {
        std::vector<VESK_Variable> copy(handles);
        benchmark::DoNotOptimize(copy.data());
    }
    state.SetItemsProcessed(state.iterations() * kVariables);
}
BENCHMARK(BM_CopyHandleVector100k)->Unit(benchmark::kMicrosecond);

void BM_MakeVariable100k(benchmark::State& state) {
    VESK_Variable numeric(0);
    VESK_Variable text(20);
    for (auto _ : state) {
        BenchSource ds;
        for (int i = 0; i < kVariables; ++i) ds.MakeVariable(i % 4 == 0 ? text : numeric);
        benchmark::DoNotOptimize(ds.GetObsAreaSize());
    }
    state.SetItemsProcessed(state.iterations() * kVariables);
}
BENCHMARK(BM_MakeVariable100k)->Unit(benchmark::kMillisecond);

void BM_NameIndexFind100k(benchmark::State& state) {
    const BenchSource& source = LargeSource();
    VariableNameIndex index(source);
    std::vector<std::string> queries;
    for (int i = 0; i < 1024; ++i) {
        std::string upper = NameOf((i * 7919) % kVariables);
        upper[0] = 'V';
        queries.push_back(upper);
    }
    size_t q = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(index.Find(queries[q++ & 1023].c_str()));
    }
}
BENCHMARK(BM_NameIndexFind100k);

void BM_NameIndexBuild100k(benchmark::State& state) {
    const BenchSource& source = LargeSource();
    for (auto _ : state) {
        VariableNameIndex index(source);
        benchmark::DoNotOptimize(index.Size());
    }
}
BENCHMARK(BM_NameIndexBuild100k)->Unit(benchmark::kMillisecond);

// Linear lookup: a name in the middle of 100,000 variables.
void BM_FindVarIndexByName100k(benchmark::State& state) {
    const BenchSource& source = LargeSource();
    const std::string name = NameOf(kVariables / 2);
    for (auto _ : state) benchmark::DoNotOptimize(source.FindVarIndex(name.c_str()));
}
BENCHMARK(BM_FindVarIndexByName100k)->Unit(benchmark::kMicrosecond);

// Naming 100,000 new columns one at a time, as an importer does: a name
// check per column through the source's name index (linear overall).
void BM_GoodVarNameAndAppend100k(benchmark::State& state) {
    for (auto _ : state) {
        BenchSource ds;
        for (int i = 0; i < kVariables; ++i) ds.MakeVariable(0).SetName(ds.GoodVarName(NameOf(i)).c_str());
        benchmark::DoNotOptimize(ds.ColumnCount());
    }
    state.SetItemsProcessed(state.iterations() * kVariables);
}
BENCHMARK(BM_GoodVarNameAndAppend100k)->Unit(benchmark::kMillisecond);

} // namespace
