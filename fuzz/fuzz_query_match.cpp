// The query file reader followed by a full Query::match of every query against a small fixed data
// graph, once with the default engine and once with the plain search, without a limit and with a
// small one: the counts, every statistics file and the subgraph output file must be the same bytes.
// The data graph has ten vertices in four labels, so that no query has more than 4!3!2!1! = 576
// embeddings and every search stays small; it holds a repeated edge, a self-loop and two vertices
// after the last edge line.
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "graph.h"
#include "query.h"

namespace {

const char dataText[] =
    "v 0 0\nv 1 0\nv 2 1\nv 3 1\nv 4 2\nv 5 0\nv 6 1\nv 7 2\n"
    "e 0 1\ne 0 2\ne 1 2\ne 1 3\ne 2 3\ne 3 4\ne 4 5\ne 5 6\ne 6 7\ne 7 0\ne 2 5\ne 2 5\ne 6 6\ne 4 6\n"
    "v 8 0\nv 9 -1\n";

struct Outcome {
  std::vector<uint64_t> frequencies;
  std::vector<std::string> statsNames;
  std::vector<std::string> statsBytes;
  std::string subgraphs;
};

Graph& dataGraph() {
  static Graph graph = [] {
    const std::string path = scratchPath("data");
    writeInput(path, reinterpret_cast<const uint8_t*>(dataText), sizeof dataText - 1);
    Graph g;
    fuzzCheck(g.read(path.c_str()), "the fixed data graph loads");
    return g;
  }();
  return graph;
}

// The driver's loop over the queries, with the checks that hold whatever the engine.
Outcome runAll(const std::string& queryPath, MatchEngine engine, uint64_t limit, const std::string& tag) {
  const std::string statsDir = scratchPath("stats-" + tag);
  const std::string subgraphPath = scratchPath("subgraphs-" + tag);
  mkdir(statsDir.c_str(), 0755);
  clearDirectory(statsDir);
  Outcome outcome;
  {
    Query query(queryPath, subgraphPath, statsDir, limit);
    query.engine = engine;
    if (engine == MatchEngine::fast) query.useDataGraph(&dataGraph());
    while (query.read()) {
      if (query.vertexLabels.empty()) continue;
      const bool refused = !query.problem.empty();
      const size_t n = query.vertexLabels.size();
      const uint64_t frequency = query.match(&dataGraph());
      outcome.frequencies.push_back(frequency);
      fuzzCheck(frequency <= 576, "no query has more embeddings than the label counts allow");
      fuzzCheck(limit == UINT64_MAX || frequency <= limit + 1, "the limit stops the count at limit + 1");
      if (refused) {
        fuzzCheck(frequency == 0, "a refused query counts 0");
        continue;
      }
      // The order is a permutation, so the renumbering was accepted.
      std::vector<int> order = query.matchingOrder;
      std::sort(order.begin(), order.end());
      for (size_t i = 0; i < order.size(); ++i) fuzzCheck(order[i] == static_cast<int>(i), "the order is a permutation");
      fuzzCheck(order.size() == n, "the order covers every vertex");
    }
  }
  for (const std::string& name : listEntries(statsDir)) {
    fuzzCheck(name[0] != '.', "no temporary file is left");
    outcome.statsNames.push_back(name);
    const std::string bytes = fileBytes(statsDir + "/" + name);
    const uint64_t frequency = outcome.frequencies.at(std::stoul(name));
    fuzzCheck(frequency >= 1 && frequency <= limit, "a file is kept only for a complete search with embeddings");
    fuzzCheck(static_cast<uint64_t>(std::count(bytes.begin(), bytes.end(), '\n')) == frequency,
              "one line per embedding");
    outcome.statsBytes.push_back(bytes);
  }
  outcome.subgraphs = fileBytes(subgraphPath);
  return outcome;
}

void compare(const Outcome& fast, const Outcome& literal) {
  fuzzCheck(fast.frequencies == literal.frequencies, "both engines count the same");
  fuzzCheck(fast.statsNames == literal.statsNames, "both engines keep the same files");
  fuzzCheck(fast.statsBytes == literal.statsBytes, "both engines list the same embeddings");
  fuzzCheck(fast.subgraphs == literal.subgraphs, "both engines write the same records");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string queryPath = scratchPath("query");
  dataGraph();
  writeInput(queryPath, data, size);
  compare(runAll(queryPath, MatchEngine::fast, UINT64_MAX, "fast"),
          runAll(queryPath, MatchEngine::literal, UINT64_MAX, "literal"));
  const uint64_t limit = size % 4;  // 0 to 3: the smallest limits, where the cut falls early
  compare(runAll(queryPath, MatchEngine::fast, limit, "fast"), runAll(queryPath, MatchEngine::literal, limit, "literal"));
  return 0;
}
