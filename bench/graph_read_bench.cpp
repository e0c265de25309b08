// Loading: Graph::read with one and two threads on generated data files whose edge lines come in
// random order or sorted by their first endpoint (the layout of sgmatch-workload), and the search
// index built from the graph. Reads with threads are timed by the wall clock.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "bench_graphs.h"
#include "data_index.h"
#include "graph.h"

namespace {

// The generated file of `edges` edges over edges / 8 vertices with 8 labels, its edge lines in draw
// order, or rewritten next to it with the edges sorted by (first endpoint, second endpoint).
std::string dataFile(long long edges, bool sorted) {
  const std::string path = benchDataFile(static_cast<int>(edges / 8), edges, 8, 1);
  if (!sorted) return path;
  const std::string sortedPath = path + "-sorted";
  if (access(sortedPath.c_str(), R_OK) == 0) return sortedPath;
  Graph graph;
  graph.read(path.c_str());
  std::ofstream out(sortedPath + ".part");
  for (size_t v = 0; v < graph.labels.size(); ++v) out << "v " << v << " " << graph.labels[v] << "\n";
  for (size_t u = 0; u < graph.adjList.size(); ++u) {
    for (int v : graph.adjList[u]) {
      if (static_cast<size_t>(v) > u) out << "e " << u << " " << v << "\n";
    }
  }
  out.close();
  std::rename((sortedPath + ".part").c_str(), sortedPath.c_str());
  return sortedPath;
}

// Arguments: edges, threads, sorted (0 or 1).
void BM_GraphRead(benchmark::State& state) {
  const std::string path = dataFile(state.range(0), state.range(2) != 0);
  const int threads = static_cast<int>(state.range(1));
  for (auto _ : state) {
    Graph graph;
    graph.read(path.c_str(), threads);
    benchmark::DoNotOptimize(graph.adjList.data());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));  // edges per second
}

void BM_DataIndexBuild(benchmark::State& state) {
  const std::string path = dataFile(state.range(0), false);
  Graph graph;
  graph.read(path.c_str());
  for (auto _ : state) {
    DataIndex index(graph);
    benchmark::DoNotOptimize(index.vertexCount());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

}  // namespace

BENCHMARK(BM_GraphRead)
    ->ArgNames({"edges", "threads", "sorted"})
    ->ArgsProduct({{300000, 5000000}, {1, 2}, {0, 1}})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DataIndexBuild)->Arg(300000)->Arg(5000000)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
