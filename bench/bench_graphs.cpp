// Deterministic inputs for the microbenchmarks. The generator uses its own mixing so that files do
// not depend on the standard library's distributions.
#include "bench_graphs.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <set>
#include <unordered_set>

#include "graph.h"

namespace {

struct Mixer {
  uint64_t state;
  uint64_t next() {
    uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  double unit() { return static_cast<double>(next() >> 11) / 9007199254740992.0; }
};

}  // namespace

std::string benchDataFile(int vertices, long long edges, int labels, unsigned seed) {
  const std::string dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  const std::string path = dir + "/sgmatch-bench-" + std::to_string(vertices) + "-" + std::to_string(edges) + "-" +
                           std::to_string(labels) + "-" + std::to_string(seed);
  if (access(path.c_str(), R_OK) == 0) return path;
  Mixer mix{seed};
  // Chung-Lu: endpoint i drawn with weight (i + 1)^(-1 / (2.1 - 1)), by inverting the cumulative sum.
  std::vector<double> cumulative(vertices);
  double total = 0;
  for (int i = 0; i < vertices; ++i) cumulative[i] = total += std::pow(i + 1.0, -1.0 / 1.1);
  auto draw = [&] {
    double x = mix.unit() * total;
    return static_cast<int>(std::lower_bound(cumulative.begin(), cumulative.end(), x) - cumulative.begin());
  };
  std::unordered_set<uint64_t> seen;
  std::ofstream out(path + ".part");
  for (int i = 0; i < vertices; ++i) out << "v " << i << " " << mix.next() % static_cast<uint64_t>(labels) << "\n";
  for (long long attempts = 0; static_cast<long long>(seen.size()) < edges && attempts < edges * 20; ++attempts) {
    int u = draw(), v = draw();
    if (u == v) continue;
    if (u > v) std::swap(u, v);
    if (!seen.insert((static_cast<uint64_t>(u) << 32) | static_cast<uint32_t>(v)).second) continue;
    out << "e " << u << " " << v << "\n";
  }
  out.close();
  std::rename((path + ".part").c_str(), path.c_str());
  return path;
}

std::vector<BenchQuery> benchQueries(const std::string& dataPath, int count, int size, unsigned seed) {
  Graph graph;
  graph.read(dataPath.c_str());
  Mixer mix{seed};
  const int n = static_cast<int>(graph.labels.size());
  std::vector<BenchQuery> queries;
  for (int attempt = 0; static_cast<int>(queries.size()) < count && attempt < count * 100; ++attempt) {
    std::vector<int> chosen{static_cast<int>(mix.next() % static_cast<uint64_t>(n))};
    int at = chosen[0];
    for (int step = 0; step < size * 50 && static_cast<int>(chosen.size()) < size; ++step) {
      const auto& row = graph.adjList[at];
      if (row.empty()) break;
      at = row[mix.next() % row.size()];
      if (std::find(chosen.begin(), chosen.end(), at) == chosen.end()) chosen.push_back(at);
    }
    if (static_cast<int>(chosen.size()) < size) continue;
    BenchQuery query;
    query.neighbors.resize(size);
    for (int i = 0; i < size; ++i) {
      query.labels.push_back(graph.labels[chosen[i]]);
      for (int j = 0; j < size; ++j) {
        if (i != j && std::binary_search(graph.adjList[chosen[i]].begin(), graph.adjList[chosen[i]].end(), chosen[j])) {
          query.neighbors[i].push_back(j);
        }
      }
    }
    queries.push_back(query);
  }
  return queries;
}
