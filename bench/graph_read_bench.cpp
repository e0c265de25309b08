// Loading: Graph::read on generated data files of a few sizes, and the search index built from it.
#include <benchmark/benchmark.h>

#include "bench_graphs.h"
#include "data_index.h"
#include "graph.h"

namespace {

void BM_GraphRead(benchmark::State& state) {
  const std::string path = benchDataFile(static_cast<int>(state.range(0)) / 8, state.range(0), 8, 1);
  for (auto _ : state) {
    Graph graph;
    graph.read(path.c_str());
    benchmark::DoNotOptimize(graph.adjList.data());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));  // edges per second
}

void BM_DataIndexBuild(benchmark::State& state) {
  const std::string path = benchDataFile(static_cast<int>(state.range(0)) / 8, state.range(0), 8, 1);
  Graph graph;
  graph.read(path.c_str());
  for (auto _ : state) {
    DataIndex index(graph);
    benchmark::DoNotOptimize(index.vertexCount());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

}  // namespace

BENCHMARK(BM_GraphRead)->Arg(300000)->Arg(3000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DataIndexBuild)->Arg(300000)->Arg(3000000)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
