// The search: candidate filtering and the first embedding (limit 0), and whole searches cut at
// 100000 embeddings held raw, on random-walk queries in a generated power-law graph with 8 labels;
// and the same queries through Query::match with the plain reference search.
#include <fcntl.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <fstream>
#include <map>
#include <memory>

#include "bench_graphs.h"
#include "data_index.h"
#include "embedding_search.h"
#include "graph.h"

namespace {

struct Setup {
  Graph graph;
  std::unique_ptr<DataIndex> index;
  std::vector<BenchQuery> queries;
  std::vector<std::vector<int>> noClasses;
  Setup(int size) {
    const std::string path = benchDataFile(40000, 200000, 8, 3);
    graph.read(path.c_str());
    index = std::make_unique<DataIndex>(graph);
    queries = benchQueries(path, 20, size, 5);
  }
};

void searchQueries(benchmark::State& state, uint64_t limit) {
  static std::map<int, std::unique_ptr<Setup>> setups;
  auto& setup = setups[static_cast<int>(state.range(0))];
  if (!setup) setup = std::make_unique<Setup>(static_cast<int>(state.range(0)));
  EmbeddingSearch search;
  StatsWriter writer;
  const int sink = open("/dev/null", O_WRONLY);
  uint64_t embeddings = 0;
  for (auto _ : state) {
    for (const BenchQuery& query : setup->queries) {
      std::vector<std::vector<int>> classes(query.labels.size());
      writer.begin(sink, "/dev/null", static_cast<int>(query.labels.size()), StatsWriter::Mode::held);
      embeddings += search.run(*setup->index, query.labels, query.neighbors, classes, limit, writer).frequency;
      writer.discard();
    }
  }
  close(sink);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * setup->queries.size()));  // queries per second
  state.counters["embeddings/s"] = benchmark::Counter(static_cast<double>(embeddings), benchmark::Counter::kIsRate);
}

void BM_FilterAndFirstEmbedding(benchmark::State& state) { searchQueries(state, 0); }
void BM_SearchTo100000(benchmark::State& state) { searchQueries(state, 100000); }

}  // namespace

BENCHMARK(BM_FilterAndFirstEmbedding)->Arg(8)->Arg(16)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SearchTo100000)->Arg(8)->Arg(16)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
