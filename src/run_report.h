// What a run reports: the console report (one line per query and the closing line with the average
// time, on standard output), the shard line of a shard run, and the results file when one is asked for.
#pragma once

#include <cstdint>
#include <string>

#include "results_file.h"

class Graph;
class Query;

class RunReport {
 public:
  /// Opens the results file when the settings name one; nothing is written yet.
  RunReport();

  /// After loading: the shard line of a shard run and the results file's first object.
  void begin(const Graph& graph, double loadMs);

  /// The report line of a matched query (and its results object): `ticks` of processor time (one
  /// million per second) and `wallMs` spent in its match.
  void query(Query& query, uint64_t frequency, double ticks, double wallMs);

  /// The closing line with the average time per query, and the results file's last object.
  void finish();

 private:
  void checkConsole();

  ResultsFile results;
  int queryCount = 0;
  double timeSum = 0;
};
