// computeQuerySymmetry on small queries, and on large symmetric ones: a star and a complete
// bipartite graph (symmetry in twins only), a path and a cycle (one or two searches), a spider and a
// path of gadgets (one search per fixed vertex, in the whole symmetric part or in small factors).
#include <benchmark/benchmark.h>

#include <numeric>
#include <string>
#include <vector>

#include "query_automorphisms.h"

namespace {

struct LargeQuery {
  std::vector<int> labels;
  std::vector<std::vector<int>> rows;
  std::vector<int> order;

  explicit LargeQuery(int n) : labels(n, 0), rows(n), order(n) { std::iota(order.begin(), order.end(), 0); }
  void edge(int u, int v) {
    rows[u].push_back(v);
    rows[v].push_back(u);
  }
};

LargeQuery star(int n) {
  LargeQuery query(n);
  for (int v = 1; v < n; ++v) query.edge(0, v);
  return query;
}

LargeQuery path(int n) {
  LargeQuery query(n);
  for (int v = 0; v + 1 < n; ++v) query.edge(v, v + 1);
  return query;
}

LargeQuery cycle(int n) {
  LargeQuery query = path(n);
  query.edge(n - 1, 0);
  return query;
}

LargeQuery completeBipartite(int n) {
  LargeQuery query(n + 3);
  for (int u = 0; u < 3; ++u) {
    for (int v = 3; v < n + 3; ++v) query.edge(u, v);
  }
  return query;
}

// A centre with n/2 legs of two edges.
LargeQuery spider(int n) {
  const int legs = n / 2;
  LargeQuery query(1 + 2 * legs);
  for (int leg = 0; leg < legs; ++leg) {
    query.edge(0, 1 + 2 * leg);
    query.edge(1 + 2 * leg, 2 + 2 * leg);
  }
  return query;
}

// A path of n/5 vertices, each with two legs of two edges.
LargeQuery gadgets(int n) {
  const int core = n / 5;
  LargeQuery query(5 * core);
  for (int v = 0; v + 1 < core; ++v) query.edge(v, v + 1);
  int next = core;
  for (int c = 0; c < core; ++c) {
    for (int leg = 0; leg < 2; ++leg, next += 2) {
      query.edge(c, next);
      query.edge(next, next + 1);
    }
  }
  return query;
}

void symmetryOf(benchmark::State& state, LargeQuery (*make)(int)) {
  const LargeQuery query = make(static_cast<int>(state.range(0)));
  QuerySymmetry symmetry;
  std::string problem;
  for (auto _ : state) {
    if (!computeQuerySymmetry(query.labels, query.rows, query.order, symmetry, problem)) {
      state.SkipWithError(problem.c_str());
      break;
    }
    benchmark::DoNotOptimize(symmetry.classes.data());
  }
  int64_t entries = 0;
  for (const auto& row : symmetry.classes) entries += static_cast<int64_t>(row.size());
  state.counters["searches"] = symmetry.searches;
  state.counters["entries"] = static_cast<double>(entries);
  state.counters["log10Aut"] = symmetry.groupOrderLog10;
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(query.labels.size()));
}

// Query sizes the tool usually sees: the fixed cost of a search dominates.
BENCHMARK_CAPTURE(symmetryOf, smallCycle, cycle)->Arg(8)->Arg(24)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(symmetryOf, smallStar, star)->Arg(8)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(symmetryOf, star, star)->Arg(50000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(symmetryOf, path, path)->Arg(50000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(symmetryOf, cycle, cycle)->Arg(20000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(symmetryOf, completeBipartite, completeBipartite)->Arg(2000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(symmetryOf, spider, spider)->Arg(600)->Arg(6000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(symmetryOf, gadgets, gadgets)->Arg(5000)->Arg(50000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
