// What a run reports: the console report (one line per query and the closing line with the average
// time, on standard output), the shard line of a shard run, and the results file when one is asked for.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "query.h"
#include "results_file.h"

class Graph;

/// What the report says of one matched query.
struct QueryOutcome {
  int number = 0;
  size_t vertices = 0;     // after matching
  int edges = 0;
  bool symmetric = false;  // the Sym flag, from the classes as they stand after matching
  uint64_t frequency = 0;
  MatchStatus status = MatchStatus::complete;
  double ticks = 0;        // the time of its match: processor ticks, or wall-clock microseconds
  double wallMs = 0;
  std::string problem;     // why it was refused
  std::vector<int> order;
  std::string statsPath;   // its statistics file's name
};

/// The outcome of the match that `query` has just run.
QueryOutcome outcomeOf(Query& query, uint64_t frequency, double ticks, double wallMs);

class RunReport {
 public:
  /// Opens the results file when the settings name one; nothing is written yet.
  RunReport();

  /// After loading: the shard line of a shard run and the results file's first object.
  void begin(const Graph& graph, double loadMs);

  /// The report line of a matched query (and its results object).
  void query(const QueryOutcome& outcome);

  /// The closing line with the average time per query, and the results file's last object.
  void finish();

 private:
  void checkConsole();

  ResultsFile results;
  int queryCount = 0;
  double timeSum = 0;
};
