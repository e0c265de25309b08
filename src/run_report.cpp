// The console report and the results file. Every report line is flushed when it is written, and a
// line that cannot be written fails the run rather than letting it end with status 0 and nothing to
// show.
#include "run_report.h"

#include <sys/stat.h>

#include <iostream>
#include <set>
#include <vector>

#include "fatal_error.h"
#include "graph.h"
#include "query.h"
#include "settings.h"

namespace {

// The results file's name for how a match ended.
const char* statusName(MatchStatus status, uint64_t frequency) {
  switch (status) {
    case MatchStatus::refused:
      return "refused";
    case MatchStatus::limit:
      return "limit";
    case MatchStatus::stopped:
      return "timeout";
    case MatchStatus::overflow:
      return "overflow";
    case MatchStatus::complete:
      break;
  }
  return frequency == 0 ? "zero" : "complete";
}

}  // namespace

RunReport::RunReport() {
  if (!options.results.empty()) results.open(options.results);
}

void RunReport::checkConsole() {
  if (std::cout) return;
  std::cout.clear();
  fatalError("sgmatch: cannot write the report to standard output");
}

void RunReport::begin(const Graph& graph, double loadMs) {
  size_t rowEntries = 0;
  for (const std::vector<int>& row : graph.adjList) rowEntries += row.size();
  // Each edge line puts one entry into each of its two rows (a self-loop two into one).
  const int64_t edgeLines = static_cast<int64_t>(rowEntries / 2);
  if (options.sharded) {
    // Which shard of which query file against which data graph, so that joining the shards can
    // check that they belong together.
    std::cout << "Shard " << options.shardIndex << "/" << options.shardCount << " of query file " << querypath
              << ", data graph " << datapath << " (" << graph.labels.size() << " vertices, " << edgeLines
              << " edge lines)" << std::endl;
    checkConsole();
  }
  if (results.isOpen()) {
    results.writeRun(static_cast<int64_t>(graph.labels.size()), edgeLines,
                     static_cast<int64_t>(graph.labelFreq.size()), loadMs);
  }
}

QueryOutcome outcomeOf(Query& query, uint64_t frequency, double ticks, double wallMs) {
  QueryOutcome outcome;
  outcome.number = query.queryNumber;
  outcome.vertices = query.vertexLabels.size();
  outcome.edges = query.edgeCount;
  outcome.symmetric = query.checkSymestry();
  outcome.frequency = frequency;
  outcome.status = query.status;
  outcome.ticks = ticks;
  outcome.wallMs = wallMs;
  outcome.problem = query.problem;
  if (query.status != MatchStatus::refused) outcome.order = query.matchingOrder;
  outcome.statsPath = query.statsFile.path();
  return outcome;
}

void RunReport::query(const QueryOutcome& outcome) {
  // The query's own number: in a plain run it equals the count of queries reported before it, and a
  // shard's lines keep the numbers of the whole file.
  std::cout << outcome.number << "\t#nodes: " << outcome.vertices << "\tSym: " << (outcome.symmetric ? 1 : 0)
            << "\tFreq: " << outcome.frequency << "\tTime/ms: " << outcome.ticks * 0.001;
  if (outcome.status == MatchStatus::stopped) {
    std::cout << " [pruned by timeout]";
  } else if (outcome.status == MatchStatus::overflow) {
    // The count does not fit in 64 bits: the number shown is 2^64 - 1, a lower bound.
    std::cout << " [count exceeds 2^64 - 1]";
  } else {
    if (outcome.frequency > maxfreq) std::cout << " [pruned by maxfreq]";
    if (outcome.frequency == 0) std::cout << " [pruned by zero freq]";
  }
  std::cout << std::endl;
  checkConsole();
  timeSum += outcome.ticks;
  ++queryCount;
  if (!results.isOpen()) return;
  QueryResult result;
  result.number = outcome.number;
  result.vertices = static_cast<int>(outcome.vertices);
  result.edges = outcome.edges;
  result.symmetric = outcome.symmetric;
  result.frequency = outcome.frequency;
  result.status = statusName(outcome.status, outcome.frequency);
  result.exact = outcome.status == MatchStatus::complete || outcome.status == MatchStatus::refused;
  result.message = outcome.problem;
  if (outcome.status == MatchStatus::overflow) {
    result.message = "the count exceeds 2^64 - 1 = 18446744073709551615, the largest frequency that can be reported";
  }
  result.cpuMs = outcome.ticks * 0.001;
  result.wallMs = outcome.wallMs;
  result.order = outcome.order;
  struct stat info;
  if (outcome.status == MatchStatus::complete && outcome.frequency > 0 && stat(outcome.statsPath.c_str(), &info) == 0) {
    result.statsFile = outcome.statsPath;
    result.statsBytes = static_cast<int64_t>(info.st_size);
  }
  results.writeQuery(result);
}

void RunReport::finish() {
  const double average = timeSum * 0.000001 / queryCount;
  std::cout << "Average time per query: " << average << "s. Done!" << std::endl;
  checkConsole();
  if (results.isOpen()) results.writeEnd();
}
