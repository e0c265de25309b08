// sgmatch-count: counts the embeddings of every query of a query file with the counting engine, each
// under a time limit, and prints one line per query: number, vertices, edges, count, outcome, time
// and embeddings per second. The queries go through Query's reader, matching order and renumbering,
// so the counter sees exactly what the tool would pass it.
//
//   sgmatch-count data=PATH query=PATH [timeout=SEC] [limit=N] [plan=1] [terms=NODES]
//
// terms=NODES: count by collision terms when the plain plan is estimated above NODES (0: always).
//
// Outcomes: done (exact count), limit (count passed the limit), overflow (past 2^64 - 1), timeout
// (the count is a lower bound), refused (a malformed query, counted as 0 by the tool).
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "data_index.h"
#include "embedding_counter.h"
#include "graph.h"
#include "query.h"

namespace {

struct Options {
  std::string data = "data";
  std::string query = "query";
  double timeout = 10;
  uint64_t limit = UINT64_MAX;
  bool showPlan = false;
  double termsFrom = -1;  // collisionTermsFrom, or the counter's default
};

bool parse(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    const char* equals = std::strchr(arg, '=');
    if (equals == nullptr) return false;
    const std::string key(arg, equals);
    const char* value = equals + 1;
    char* end = nullptr;
    if (key == "data") {
      options->data = value;
    } else if (key == "query") {
      options->query = value;
    } else if (key == "timeout") {
      options->timeout = std::strtod(value, &end);
      if (*end != '\0' || options->timeout <= 0) return false;
    } else if (key == "limit") {
      options->limit = std::strtoull(value, &end, 10);
      if (*end != '\0') return false;
    } else if (key == "terms") {
      options->termsFrom = std::strtod(value, &end);
      if (*end != '\0' || options->termsFrom < 0) return false;
    } else if (key == "plan") {
      options->showPlan = std::strcmp(value, "0") != 0;
    } else {
      return false;
    }
  }
  return true;
}

// The plan in the numbering of the query file, and the work the count did.
void printPlan(const Query& query, const EmbeddingCounter& counter) {
  const CountPlan& plan = counter.lastPlan();
  std::fprintf(stderr, "%d  enumerated:", query.queryNumber);
  for (const CountPlan::Level& level : plan.levels) std::fprintf(stderr, " %d", query.matchingOrder[level.vertex]);
  std::fprintf(stderr, "  trailing:");
  for (int t : plan.trailing) std::fprintf(stderr, " %d", query.matchingOrder[t]);
  std::fprintf(stderr, "  peeled:");
  for (int v : plan.peeled) std::fprintf(stderr, " %d", query.matchingOrder[v]);
  std::fprintf(stderr, "  estimate %.3g, alternative %zu probed %.3g s; nodes %.3g, last images %.3g, collision terms %zu\n",
               plan.estimatedCost(), counter.statistics().alternative, counter.statistics().probedSeconds,
               static_cast<double>(counter.statistics().nodes), static_cast<double>(counter.statistics().lastImages),
               counter.statistics().collisionTerms);
  for (const auto& term : counter.statistics().terms) {
    std::fprintf(stderr, "    term %+lld: %.3f s, estimate %.3g, %zu enumerated, %zu trailing, %zu peeled\n",
                 static_cast<long long>(term.coefficient), term.seconds, term.estimatedCost, term.enumerated,
                 term.trailing, term.peeled);
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parse(argc, argv, &options)) {
    std::fprintf(stderr, "usage: sgmatch-count data=PATH query=PATH [timeout=SEC] [limit=N] [plan=1] [terms=NODES]\n");
    return 255;
  }
  Graph graph;
  const auto loadStart = std::chrono::steady_clock::now();
  if (!graph.read(options.data.c_str())) return 255;
  const DataIndex index(graph);
  const double loadSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - loadStart).count();
  std::fprintf(stderr, "loaded %s: %zu vertices in %.2f s\n", options.data.c_str(), index.vertexCount(), loadSeconds);
  Query query(options.query, "/dev/null", "/tmp", options.limit);
  EmbeddingCounter counter;
  if (options.termsFrom >= 0) counter.collisionTermsFrom = options.termsFrom;
  std::printf("# query\tvertices\tedges\tcount\toutcome\tms\tembeddings/s\n");
  std::fflush(stdout);
  while (query.read()) {
    const size_t n = query.vertexLabels.size();
    if (n == 0) continue;
    if (!query.problem.empty()) {
      std::printf("%d\t%zu\t%d\t0\trefused\t0\t0\n", query.queryNumber, n, query.edgeCount);
      continue;
    }
    query.neighbors.resize(n);
    query.symClasses.resize(n);
    if (n == 1) {
      query.matchingOrder.assign(1, 0);
    } else {
      query.getOrder(&graph);
    }
    if (!query.changeOrder()) {
      std::printf("%d\t%zu\t%d\t0\trefused\t0\t0\n", query.queryNumber, n, query.edgeCount);
      continue;
    }
    StopHook hook;
    const auto start = std::chrono::steady_clock::now();
    hook.deadline = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                std::chrono::duration<double>(options.timeout));
    const CountResult result =
        counter.count(index, query.vertexLabels, query.neighbors, query.symClasses, options.limit, hook);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const char* outcome = result.overflow        ? "overflow"
                          : result.stoppedByHook ? "timeout"
                          : !result.completed    ? "limit"
                                                 : "done";
    std::printf("%d\t%zu\t%d\t%" PRIu64 "\t%s\t%.3f\t%.4g\n", query.queryNumber, n, query.edgeCount, result.count,
                outcome, seconds * 1000, seconds > 0 ? static_cast<double>(result.count) / seconds : 0.0);
    std::fflush(stdout);
    if (options.showPlan) printPlan(query, counter);
  }
  return 0;
}
