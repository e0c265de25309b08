// sgmatch-merge: joins the outputs of the shard runs of one query file (sgmatch shard=I/N, each in a
// working directory of its own holding its report, its subgraph file and perhaps its results file)
// into what one run over the whole query file writes. Every input is read and checked before anything
// is written, and the output files are written under temporary names and renamed only at the end.
#pragma once

#include <cstddef>
#include <iosfwd>
#include <string>
#include <vector>

#include "key_table.h"

/// What a merge reads and writes.
struct MergeSettings {
  std::vector<std::string> shardDirs;      // one working directory per shard run, in any order
  std::string subgraphPath = "subgraphs";  // the merged subgraph output file
  std::string resultsPath;                 // the merged results file; empty: results are not merged
};

/// The names of a shard's files inside its directory.
extern const char* const shardReportName;   // its standard output
extern const char* const shardSubgraphName; // its subgraph output file
extern const char* const shardResultsName;  // its results file (JSON Lines)

/// One query's part of a shard's report.
struct ReportChunk {
  int query = 0;
  std::string frequency;     // the Freq field as written
  bool marked = false;       // the report line carries a mark such as [pruned by zero freq]
  double timeMs = 0;         // the Time/ms field
  size_t sharedBefore = 0;   // how many shared lines the shard printed before this chunk's own lines
  std::vector<std::string> lines;  // the query's own lines: messages, then the report line last
  long long line = 0;        // the report line's line number in the file, from 1
};

/// The report of a shard run, split into its parts.
struct ShardReport {
  std::string path;
  int index = 0;
  int count = 1;
  std::string source;    // the shard line after "Shard I/N ": the query file and the data graph
  long long shardLine = 0;
  std::vector<std::string> preamble;  // lines before the shard line (diagnostics of settings and data)
  /// Lines that every shard prints alike, wherever its own queries fall: with diagnostics on, the
  /// query file's lines as read and each query's header. Empty otherwise.
  std::vector<std::string> shared;
  std::vector<long long> sharedLines;  // the line number of each shared line
  std::vector<ReportChunk> chunks;     // in query order
};

/// Reads and splits a shard run's report; false, with *error naming the file (and the line), when it
/// cannot be read, has no shard line, did not finish (no closing line) or holds a malformed report
/// line or a query number that is not the shard's or out of order.
bool readShardReport(const std::string& path, ShardReport* report, std::string* error);

/// Checks that the reports are exactly the shards 0..N-1 of one run (one each, the same N, query file
/// and data graph, the same shared lines, no query missing) and sorts them by shard index; false with
/// *error otherwise.
bool checkShardSet(std::vector<ShardReport>* shards, std::string* error);

/// The report of the whole run from a checked shard set: the first shard's preamble, every query's
/// lines in query order among the shared lines, and the closing line with the average time recomputed
/// from the Time/ms fields. False, with *error, when the shared lines cannot take the queries' lines in
/// query order.
bool joinShardReports(const std::vector<ShardReport>& shards, std::string* report, std::string* error);

/// Writes the records of the shards' subgraph files (paths[i] of shards[i]) to `out` in query order,
/// checking each file's records: six well-formed lines, queries of the shard in ascending order, a
/// count equal to the report's, and one record for every query the report shows complete with a
/// count above 0. False, with *error naming the file and the line, otherwise.
bool mergeSubgraphFiles(const std::vector<ShardReport>& shards, const std::vector<std::string>& paths,
                        std::ostream& out, std::string* error);

/// Writes the merged results file: the first shard's run object without its "shard" member, the query
/// objects in query order (as written), and an end object with the totals summed and "average_s"
/// recomputed. Each file must start with the run object of its shard, hold one query object per
/// report line in the same order and end with an end object; false, with *error, otherwise.
bool mergeResultsFiles(const std::vector<ShardReport>& shards, const std::vector<std::string>& paths,
                       std::ostream& out, std::string* error);

/// Runs a whole merge: reads and checks everything, writes the output files and prints the report on
/// `report`. Returns 0; or -1 after a message on `errors`, and then no output file is changed and
/// nothing is printed on `report`.
int mergeShards(const MergeSettings& settings, std::ostream& report, std::ostream& errors);

/// The key table of sgmatch-merge, which sets *settings (the shard directories are not keys).
KeyTable mergeToolKeys(MergeSettings* settings);

/// The tool: its arguments are keys and shard directories; returns the exit status.
int runMerge(int argc, char** argv);
