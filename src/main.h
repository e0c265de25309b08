// The driver: the six run settings, the command line that sets them, and the query loop with its
// console report. `run` is the whole tool, so that it can be tested without starting a process.
// Also the verifier that checks a file of embeddings for duplicates by their edge signatures.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

extern std::string datapath;      // data graph file
extern std::string querypath;     // query file
extern std::string subgraphpath;  // subgraph output file
extern std::string statspath;     // directory of the statistics files
extern uint64_t maxfreq;          // frequency limit per query
extern int output_mark;           // non-zero: print diagnostics

/// Applies the key=value arguments argv[1..argc-1] to the settings; anything else is ignored.
void parseParameter(int argc, char** argv);

enum class MatchEngine;

/// Runs the tool on the process arguments and returns the exit status; `engine` selects the search
/// (the plain reference search serves tests and benchmarks).
int run(int argc, char** argv, MatchEngine engine);
int run(int argc, char** argv);

/// The data edges an embedding covers: one (smaller, larger) pair of data vertex ids per counted
/// adjacency entry, sorted by first and then second id; repeats kept.
using EdgeSignature = std::vector<std::pair<int, int>>;

/// The edge signature of `embedding` under the pattern `adjacency`, where entry k of row i counts
/// when k > i; empty when no entry counts. Every counted i and k must index `embedding`.
EdgeSignature getEdgeSignature(const std::vector<std::vector<int>>& adjacency, const std::vector<int>& embedding);

/// What checkEmbeddings found in one embeddings file.
struct EmbeddingCounts {
  int64_t read = 0;        // non-empty lines, numbered from 1
  int64_t unique = 0;      // distinct edge signatures
  int64_t duplicates = 0;  // embeddings whose signature an earlier embedding had
  int64_t tooShort = 0;    // lines with fewer fields than the adjacency needs, skipped
};

/// Reads the tab-separated embeddings file, reports every embedding whose signature an earlier one
/// had, and prints the closing block; false, after its message and without the block, when the file
/// cannot be opened or read (the counts then describe the lines read before the failure).
bool checkEmbeddings(const std::vector<std::vector<int>>& adjacency, const char* path, EmbeddingCounts* counts);

/// checkEmbeddings reduced to the number of unique embeddings; 0 when the file cannot be opened or
/// read, or holds no embedding.
int verify_embeddings(const std::vector<std::vector<int>>& adjacency, const char* path);
