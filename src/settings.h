// The run settings of the tool, set from the command line before any file is read and only read
// afterwards: the six first ones, and those of the keys added since, whose defaults give the plain
// run. Declared here, apart from the driver, so that the units below it depend downward only.
#pragma once

#include <cstdint>
#include <string>

extern std::string datapath;      // data graph file
extern std::string querypath;     // query file
extern std::string subgraphpath;  // subgraph output file
extern std::string statspath;     // directory of the statistics files
extern uint64_t maxfreq;          // frequency limit per query
extern int output_mark;           // non-zero: print diagnostics

/// Where a query's symmetry classes come from: its symmetry lines, nowhere (every embedding is
/// counted), or its automorphism group (one embedding per automorphism class).
enum class SymmetryMode { file, none, automatic };

/// The settings of the keys added to the first six; the defaults give the plain run.
struct RunOptions {
  double timeout = 0;    // seconds of wall-clock time per query; 0: none
  std::string results;   // the JSON Lines results file; empty: none
  int progress = -1;     // 1: a progress line on standard error, 0: none, -1: when it is a terminal
  int threads = 1;       // threads that match queries, share long searches and read the data file; 0: all
  SymmetryMode symmetry = SymmetryMode::file;
  bool list = true;      // false: count each query without listing its embeddings (no statistics file)
  bool sharded = false;  // shard= was given: the report names the shard
  int shardIndex = 0;  // the run matches the queries whose number q has q mod shardCount = shardIndex
  int shardCount = 1;

  /// Whether query `number` belongs to this run's shard.
  bool inShard(int number) const { return shardCount == 1 || number % shardCount == shardIndex; }
};

extern RunOptions options;
