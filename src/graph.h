// The labelled undirected data graph, its label indexes and its reader. Vertex ids are dense from 0
// in the order of the vertex lines; every row of adjList is ascending and may repeat a neighbour.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

class Graph {
 public:
  std::vector<int> labels;                           // label of each vertex
  std::vector<std::vector<int>> adjList;             // ascending neighbour rows, repeats kept
  std::map<int, std::vector<int>> labelVertices;     // label -> its vertices, ascending
  std::map<std::pair<int, int>, int> labelPairFreq;  // (label, label) -> edge ends joining them
  std::map<int, int> labelFreq;                      // label -> number of vertices carrying it

  /// Fills this empty graph from a data graph file; false, after a message naming the file (and the
  /// line), when the file cannot be opened or read or holds a malformed vertex or edge line.
  bool read(const char* path);

  /// The same, parsing and building the rows on `threads` threads (0: one per hardware thread); the
  /// result and the messages are those of one thread. `bytesRead`, when given, grows by the bytes of
  /// the file parsed so far.
  bool read(const char* path, int threads, std::atomic<uint64_t>* bytesRead = nullptr);

  /// Makes this graph an independent copy of `other` (nothing changes when it is this graph).
  void copy(Graph* other);

  /// Inserts the undirected edge u-v; false when either id has no row or the edge exists.
  bool addEdge(int u, int v);

  /// True when the edge u-v is present or either id has no row; false when it could be inserted.
  bool checkEdge(int u, int v);

  /// A number that no other state of any graph of the process has had: it changes whenever the
  /// graph is read, copied into or edited by the operations above. Indexes built from the graph
  /// record it to notice that they are stale.
  uint64_t revision() const { return revisionNumber; }

  /// Gives the graph a new revision; call it after changing its members directly.
  void markChanged();

  /// Frees the rows once a search index has been built from them (and nothing else reads them):
  /// labels, label indexes and the revision stay, so indexes built from the graph stay in use.
  /// The graph then holds no rows, and an index built from it afresh would have no edges.
  void releaseRows();

  /// Whether releaseRows has been called since the graph was last read or copied into.
  bool rowsReleased() const { return released; }

 private:
  enum class EdgeState { outOfRange, present, absent };
  EdgeState edgeState(int u, int v) const;

  static uint64_t nextRevision();
  uint64_t revisionNumber = nextRevision();
  bool released = false;  // set by releaseRows, cleared by read and copied by copy
};

/// The most edge ends (repeats included) that reading lets one vertex have: 2^32 - 1, which the
/// reader's counts hold. Tests lower it to reach the refusal of larger rows with small files.
void setMostEdgeEnds(uint64_t ends);
