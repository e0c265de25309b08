// The workload of a run: the query file, the current query graph with its symmetry classes, the
// matching order and renumbering, the enumeration of embeddings, and the two result outputs (the
// per-query statistics files and the subgraph output file).
#pragma once

#include <chrono>
#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "search_control.h"
#include "settings.h"
#include "stats_file.h"

class DataIndex;
class EmbeddingCounter;
class EmbeddingSearch;
class Graph;
class SplitBoard;

/// How the last `Query::match` ended: the search ran to its end (the count is exact), the limit stopped
/// it, the control stopped it (a time limit: the count is what was found until then), the query
/// was refused (a malformed query or an order of the wrong size), or a count without listing passed
/// 2^64 - 1 (the count is then that, a lower bound).
enum class MatchStatus { complete, limit, stopped, refused, overflow };

/// Whether a listing under a limit asks the counter, once it holds many embeddings, whether the count
/// passes the limit (then nothing listed would be kept, and the listing stops): when the listing has
/// grown past a few thresholds, with a share of the time spent so far; never; or at the first
/// embedding, without a time budget (for tests).
enum class CountFirst { automatic, never, always };

/// Which search `Query::match` runs: the default engine, or the plain recursive search kept as the
/// reference for tests and benchmarks. Both produce the same bytes.
enum class MatchEngine { fast, literal };

class Query {
 public:
  std::vector<int> vertexLabels;               // label of each query vertex
  std::vector<std::vector<int>> neighbors;     // neighbour rows; ascending after changeOrder
  std::vector<int> colors;                     // colour of each symmetry class
  std::vector<std::vector<int>> symClasses;    // symmetry class of each vertex
  std::vector<int> matchingOrder;              // the vertices in matching order
  std::vector<int> orderPosition;              // position of each vertex in matchingOrder
  int queryNumber = -1;                        // number of the current query, from 0
  int edgeCount = 0;                           // edge lines of the current query
  std::ifstream queryFile;
  std::ofstream subgraphFile;
  StatsFile statsFile;                         // the current query's statistics file
  std::string queryFilePath;
  std::string subgraphFilePath;
  std::string statsDirPath;
  uint64_t frequency = 0;                      // embeddings counted for the current query
  uint64_t freqLimit = 0;                      // the search stops when frequency exceeds it

  // Why the current query is refused ("path:line: problem"); empty for a well-formed query.
  std::string problem;
  MatchEngine engine = MatchEngine::fast;
  MatchStatus status = MatchStatus::complete;  // how the last match ended
  SymmetryMode symmetry = SymmetryMode::file;  // the classes of the symmetry lines, none, or computed
  bool list = true;                            // false: count without listing; no statistics file
  CountFirst countFirst = CountFirst::automatic;

  /// What a match would print (a refusal, the order under omark) and the record it would write.
  struct DeferredOutput {
    std::string console;
    std::string record;
  };
  /// When set, reading and matching append their console text, and a match its record, here instead
  /// of writing them, so that a caller matching several queries at once can write them in query order.
  DeferredOutput* deferred = nullptr;
  SearchControl* control = nullptr;            // stop requests and the count so far; none by default
  SplitBoard* splitBoard = nullptr;            // threads that may take parts of a long search; none by default

  /// Opens the query file and creates the subgraph output file; ends the run with a message when
  /// either cannot be opened.
  Query(std::string queryPath, std::string subgraphPath, std::string statsPath, uint64_t limit);

  /// A record without files, for callers that fill the query members themselves.
  Query();

  ~Query();
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;

  /// Builds the search index of the data graph that `match` is going to be called with; `match`
  /// builds it again itself whenever the graph differs or has changed since.
  void useDataGraph(Graph* graph);

  /// The same, releasing the graph's rows while the index is built (Graph::releaseRows): for a run
  /// in which only the index is searched from now on.
  void useDataGraphReleasingRows(Graph* graph);

  /// Uses `index`, built from `graph` as it is now, instead of building one; queries matched at once
  /// share one index.
  void shareIndex(Graph* graph, std::shared_ptr<const DataIndex> index);

  /// The default engine's search, so that tests and measurements can fix the choices it makes.
  EmbeddingSearch& engineSearch() { return *search; }
  /// The counting engine (made on first use), which shares long counts with the split board's threads.
  EmbeddingCounter& engineCounter();

  /// The index that `match` uses; null before the first.
  const std::shared_ptr<const DataIndex>& index() const { return dataIndex; }

  /// Loads the next query; false when the file was exhausted before the call. A query read may have
  /// no vertex (the text before the first separator); a malformed one is kept with `problem` set.
  bool read();

  /// Writes the record's query block (header, labels, edges, symmetry flag, colours); recomputes colors.
  void writeQuery();
  /// Writes the record's frequency line.
  void writeFrequency();
  /// Writes a colour line from colors as they stand.
  void writeColors();
  /// Appends a record written elsewhere (a deferred match's) to the subgraph output file, in one write.
  void appendRecord(const std::string& record);

  /// True when some symmetry class holds two or more entries.
  bool checkSymestry();
  /// colors[i] becomes the smallest of i and the members of class i.
  void symColor();

  /// Computes matchingOrder from the data graph's label statistics: the rarest edge, then greedy
  /// extension. For two or more vertices it is a permutation; a single vertex gets [0, 0].
  void getOrder(Graph* graph);

  /// Renumbers the query along matchingOrder; false (after a message and a wait for one character on
  /// standard input) when the order does not have one entry per vertex.
  bool changeOrder();

  /// Counts the embeddings of the current query, lists them in its statistics file (unless `list` is
  /// false) and appends its record to the subgraph output file; returns the count, or freqLimit + 1
  /// when the limit stopped it.
  uint64_t match(Graph* graph);

  /// The plain search below a partial embedding; false when the limit stopped it. Lists nothing
  /// without a statistics file (`list` false).
  bool recursivelyMatch(Graph* graph, std::vector<int>& embedding);

 private:
  struct PendingEdge {
    int u, v;
    long long line;
  };
  struct PendingClass {
    std::vector<int> members;
    long long line;
  };

  void readLine(const std::string& line, std::vector<PendingEdge>* edges, std::vector<PendingClass>* classes);
  void noteProblem(long long line, const std::string& text);
  void checkRows(const std::vector<PendingEdge>& edges, const std::vector<PendingClass>& classes);
  void buildRows(const std::vector<PendingEdge>& edges, const std::vector<PendingClass>& classes);
  bool computeClasses();
  bool enumerate(Graph* graph);
  bool countEmbeddings(Graph* graph);
  void indexGraph(Graph* graph);
  void askCounter(StatsWriter& writer);
  void writeRecord();
  void emitSubgraphText(const std::string& text);
  void say(const std::string& text);

  long long linesRead = 0;
  long long problemLine = 0;
  bool holdingRecord = false;
  std::string heldRecord;
  StatsWriter* listing = nullptr;  // the writer of the current statistics file
  std::shared_ptr<const DataIndex> dataIndex;
  const Graph* indexedGraph = nullptr;
  uint64_t indexedRevision = 0;
  std::unique_ptr<EmbeddingSearch> search;
  std::unique_ptr<EmbeddingCounter> counter;  // made when a query is first counted
  // How the last count ended, when it decided the outcome rather than the search.
  bool countPassedLimit = false;
  bool countOverflowed = false;
  // The listing that may ask the counter: when it started, the time the counter took so far, and the
  // size of the held listing at which it asks next.
  std::chrono::steady_clock::time_point listingStart;
  double countingSeconds = 0;
  size_t nextCountMark = 0;
};
