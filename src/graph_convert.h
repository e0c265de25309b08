// Reading the graph formats users have (edge lists with arbitrary non-negative ids, MatrixMarket
// coordinate files) into a graph with dense ids 0..n-1 in ascending order of the original ids, each
// undirected edge once and no self-loops; labels from a label file, drawn at random, or all 0.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "huge_page_allocator.h"

/// The format of an input file; `automatic` takes a file whose first line starts with
/// "%%MatrixMarket" as MatrixMarket and any other as an edge list.
enum class InputFormat { automatic, edgeList, matrixMarket };

/// What the input becomes: the data graph, or one query of a query file. The difference for
/// reading: a label file may add isolated vertices to a data graph, while it may name vertices that
/// a pattern lacks (one label file serves several patterns).
enum class OutputKind { data, query };

/// One line of a label file: `id label`.
struct LabelEntry {
  uint64_t id = 0;
  int32_t label = 0;
  long long line = 0;  // line number in the label file, from 1
};

/// A label file read in full.
struct LabelFile {
  std::string path;
  std::vector<LabelEntry> entries;  // in line order
};

/// A converted graph and what was dropped on the way.
struct ConvertedGraph {
  std::vector<uint64_t> originalIds;  // the input's id of vertex i, ascending
  std::vector<int32_t> labels;        // the label of vertex i
  // The edges, each once, listed at their smaller end: the larger ends of the edges of vertex u are
  // largerEnds[firstEdge[u]] to largerEnds[firstEdge[u + 1] - 1], ascending; n + 1 entries.
  HugeVector<size_t> firstEdge;
  HugeVector<int32_t> largerEnds;
  long long edgeLines = 0;      // edge lines (or matrix entries) read
  long long selfLoops = 0;      // of those, lines joining a vertex to itself
  long long repeatedEdges = 0;  // of those, lines repeating an earlier edge

  /// Number of edges.
  size_t edgeCount() const { return largerEnds.size(); }
};

/// Reads a label file: lines `id label`, the fields separated by blanks or a comma, labels signed
/// 32-bit; blank lines and lines starting with '#' or '%' are skipped. False, with *error naming
/// the file and the line, when it cannot be read or a line is malformed.
bool readLabelFile(const std::string& path, LabelFile* labels, std::string* error);

/// Reads one input file into *graph with labels from `labels` (null: every label 0). In a data
/// graph a label line naming a vertex without edges adds it as an isolated vertex; a vertex without
/// a label line is an error. False, with *error naming the file (and the line), when the input or
/// the labels cannot be used; *graph is then unspecified. Throws std::bad_alloc when memory runs out.
bool convertInput(const std::string& path, InputFormat format, OutputKind kind, const LabelFile* labels,
                  ConvertedGraph* graph, std::string* error);

/// Labels uniform in 0..count-1 from xoshiro256** seeded through splitmix64: the same seed gives
/// the same labels on every platform and with every standard library.
class LabelGenerator {
 public:
  explicit LabelGenerator(uint64_t seed);

  /// The next label, uniform in 0..count-1 (count > 0).
  int32_t next(int32_t count);

 private:
  uint64_t nextWord();
  uint64_t state[4];
};

/// Replaces the labels of *graph by draws from the generator, vertex 0 first.
void drawRandomLabels(LabelGenerator* generator, int32_t count, ConvertedGraph* graph);
