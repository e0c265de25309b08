// Data graph reading and editing. The file is parsed in pieces into flat lists (data_file_pieces.h);
// the members are built from them: labels numbered densely, the label indexes, and the rows, filled
// by ranges of source vertices, one range per thread, so that no two threads write to the same row.
#include "graph.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cstdint>
#include <iostream>
#include <limits>
#include <unordered_map>

#include "data_file_pieces.h"
#include "huge_page_allocator.h"
#include "line_reader.h"
#include "settings.h"
#include "worker_threads.h"

namespace {

using Piece = DataFilePiece;

int saturatedCount(uint64_t count) {
  return count > static_cast<uint64_t>(std::numeric_limits<int>::max()) ? std::numeric_limits<int>::max()
                                                                         : static_cast<int>(count);
}

// Label pair counts over dense label numbers: a square table for the first numbers (all of them when
// labels are few), a hash map for pairs beyond it.
class PairCounter {
 public:
  explicit PairCounter(size_t labelCount)
      : side(static_cast<uint32_t>(std::min<size_t>(labelCount, tableLimit))),
        holdsAll(labelCount <= tableLimit),
        table(size_t{side} * side, 0) {}

  void add(uint32_t a, uint32_t b, uint64_t count = 1) {
    if (a < side && b < side) {
      table[size_t{a} * side + b] += count;
    } else {
      sparse[(uint64_t{a} << 32) | b] += count;
    }
  }

  /// The table's row of label number a (a below the table's side): counts indexed by the other label.
  uint64_t* tableRow(uint32_t a) {
    assert(a < side);
    return table.data() + size_t{a} * side;
  }
  /// Whether every label number has its row and column in the table.
  bool tableHoldsAll() const { return holdsAll; }

  template <typename Visit>
  void forEach(Visit visit) const {
    for (uint32_t a = 0; a < side; ++a)
      for (uint32_t b = 0; b < side; ++b)
        if (uint64_t count = table[size_t{a} * side + b]) visit(a, b, count);
    for (const auto& [key, count] : sparse) visit(static_cast<uint32_t>(key >> 32), static_cast<uint32_t>(key), count);
  }

 private:
  // 2 MiB of counts per thread at most.
  static constexpr uint32_t tableLimit = 512;

  uint32_t side;
  bool holdsAll;
  std::vector<uint64_t> table;
  std::unordered_map<uint64_t, uint64_t> sparse;
};
// Numbers the labels densely in order of first appearance: returns the label of each number and
// sets the number of each vertex. A small table of recent labels answers most lookups without the
// hash map, since a file seldom has more than a few hundred labels.
std::vector<int> numberLabels(const std::vector<int>& labels, HugeVector<uint32_t>* number) {
  std::unordered_map<int, uint32_t> numbers;
  std::vector<int> labelOf;
  struct Recent {
    int label;
    uint32_t number;  // 0 for an empty entry, else the label's number + 1
  };
  constexpr int recentBits = 10;
  std::vector<Recent> recent(size_t{1} << recentBits, Recent{0, 0});
  number->resize(labels.size());
  for (size_t v = 0; v < labels.size(); ++v) {
    const int label = labels[v];
    Recent& entry = recent[(static_cast<uint32_t>(label) * 0x9e3779b1u) >> (32 - recentBits)];
    if (entry.number == 0 || entry.label != label) {
      auto [it, inserted] = numbers.try_emplace(label, static_cast<uint32_t>(labelOf.size()));
      if (inserted) labelOf.push_back(label);
      entry = Recent{label, it->second + 1};
    }
    (*number)[v] = entry.number - 1;
  }
  return labelOf;
}

// labelVertices and labelFreq from the label numbers, each list allocated at its final size.
void indexLabels(const std::vector<int>& labelOf, const HugeVector<uint32_t>& number, Graph* graph) {
  std::vector<std::vector<int>> byLabel(labelOf.size());
  std::vector<size_t> counts(labelOf.size(), 0);
  for (uint32_t k : number) ++counts[k];
  for (size_t k = 0; k < labelOf.size(); ++k) byLabel[k].reserve(counts[k]);
  for (size_t v = 0; v < number.size(); ++v) byLabel[number[v]].push_back(static_cast<int>(v));
  for (size_t k = 0; k < labelOf.size(); ++k) {
    graph->labelFreq[labelOf[k]] = saturatedCount(counts[k]);
    graph->labelVertices[labelOf[k]] = std::move(byLabel[k]);
  }
}

// The rows are filled by ranges of source vertices, one range per thread, through one slot per
// vertex: first the number of edge ends whose source is the vertex, then the position of its next end
// in its row. Every thread passes over all the edges, picks out the ends of its own range in batches,
// without a branch, and handles each batch with the slots of the ends a little ahead fetched early,
// so that the misses of random vertices overlap.
constexpr size_t fetchAhead = 16;
constexpr size_t batchEdges = 256;

// Calls handle(batch, count) with the ends (source << 32 | target) whose source lies in
// [first, last), up to 2 * batchEdges at a time, in file order.
template <typename Handle>
void forEachEnd(const std::vector<Piece>& pieces, size_t first, size_t last, const Handle& handle) {
  const uint64_t span = last - first;
  uint64_t batch[2 * batchEdges];
  for (const Piece& piece : pieces) {
    const uint64_t* edges = piece.edges.data();
    for (size_t done = 0; done < piece.edges.size(); done += batchEdges) {
      const size_t count = std::min(batchEdges, piece.edges.size() - done);
      size_t kept = 0;
      for (size_t i = 0; i < count; ++i) {
        const uint64_t u = static_cast<uint32_t>(edges[done + i]), v = edges[done + i] >> 32;
        batch[kept] = u << 32 | v;
        kept += u - first < span ? 1 : 0;
        batch[kept] = v << 32 | u;
        kept += v - first < span ? 1 : 0;
      }
      handle(batch, kept);
    }
  }
}

// Counts in slots[v] the ends whose source v lies in [first, last), over every piece.
void countEnds(const std::vector<Piece>& pieces, size_t first, size_t last, uintptr_t* slots) {
  forEachEnd(pieces, first, last, [slots](const uint64_t* ends, size_t count) {
    for (size_t i = 0; i < count; ++i) {
      if (i + fetchAhead < count) __builtin_prefetch(slots + (ends[i + fetchAhead] >> 32), 1);
      ++slots[ends[i] >> 32];
    }
  });
}

// Splits the n vertices into `parts` ranges of about equal numbers of edge ends, by their counts.
std::vector<size_t> splitByEnds(const HugeVector<uintptr_t>& counts, size_t n, int parts) {
  uint64_t total = 0;
  for (size_t v = 0; v < n; ++v) total += counts[v];
  std::vector<size_t> bounds(static_cast<size_t>(parts) + 1, n);
  bounds[0] = 0;
  uint64_t seen = 0;
  size_t part = 1;
  for (size_t v = 0; v < n && part < static_cast<size_t>(parts); ++v) {
    seen += counts[v];
    while (part < static_cast<size_t>(parts) && seen * static_cast<uint64_t>(parts) >= total * part) {
      bounds[part++] = v + 1;
    }
  }
  return bounds;
}

// Sizes the rows of [first, last) by their counts and writes every end whose source lies there into
// its row, in file order. The rows of other ranges are not touched.
void writeEnds(const std::vector<Piece>& pieces, size_t first, size_t last, uintptr_t* slots,
               std::vector<std::vector<int>>* rows) {
  for (size_t v = first; v < last; ++v) {
    (*rows)[v].resize(slots[v]);
    slots[v] = reinterpret_cast<uintptr_t>((*rows)[v].data());
  }
  forEachEnd(pieces, first, last, [slots](const uint64_t* ends, size_t count) {
    for (size_t i = 0; i < count; ++i) {
      // Slots first, then, half as far ahead, the positions they hold.
      if (i + fetchAhead < count) __builtin_prefetch(slots + (ends[i + fetchAhead] >> 32));
      if (i + fetchAhead / 2 < count) {
        __builtin_prefetch(reinterpret_cast<int*>(slots[ends[i + fetchAhead / 2] >> 32]), 1);
      }
      int*& position = reinterpret_cast<int*&>(slots[ends[i] >> 32]);
      *position++ = static_cast<int>(static_cast<uint32_t>(ends[i]));
    }
  });
}

// Bits of a vertex id sorted per pass of a long row's radix sort: the counts of one pass stay in L1.
constexpr int radixBits = 11;

// Orders a row of ids below 2^(passes * radixBits) with stable counting passes of radixBits each,
// through `spare` (as long as the row); passes over a single digit are skipped.
void radixSort(int* row, size_t size, int* spare, int passes) {
  constexpr uint32_t buckets = uint32_t{1} << radixBits;
  int* from = row;
  int* to = spare;
  for (int pass = 0; pass < passes; ++pass) {
    const int shift = pass * radixBits;
    auto digit = [shift](int value) { return (static_cast<uint32_t>(value) >> shift) & (buckets - 1); };
    size_t count[buckets + 1] = {};
    for (size_t i = 0; i < size; ++i) ++count[digit(from[i]) + 1];
    if (count[digit(from[0]) + 1] == size) continue;
    for (uint32_t d = 0; d < buckets; ++d) count[d + 1] += count[d];
    for (size_t i = 0; i < size; ++i) to[count[digit(from[i])]++] = from[i];
    std::swap(from, to);
  }
  if (from != row) std::copy(from, from + size, row);
}

// Sorts the rows of [first, last) that the file did not list in order: long rows by radix, which
// costs a few passes over the row, short ones by comparison.
void sortRows(size_t first, size_t last, size_t n, std::vector<std::vector<int>>* rows) {
  constexpr size_t radixFrom = 256;
  int passes = 1;
  while (passes * radixBits < 32 && (uint64_t{1} << (passes * radixBits)) < n) ++passes;
  HugeVector<int> spare;
  for (size_t v = first; v < last; ++v) {
    std::vector<int>& row = (*rows)[v];
    if (std::is_sorted(row.begin(), row.end())) continue;
    if (row.size() < radixFrom) {
      std::sort(row.begin(), row.end());
      continue;
    }
    if (spare.size() < row.size()) spare.resize(row.size());
    radixSort(row.data(), row.size(), spare.data(), passes);
  }
}

// Counts the label pairs of the edge ends whose source lies in [first, last), through the label
// number of each vertex (one byte each when labels are few, so that the lookups stay in cache).
template <typename Number>
void countPairs(const std::vector<std::vector<int>>& rows, const Number* number, size_t first, size_t last,
                PairCounter* pairs) {
  for (size_t u = first; u < last; ++u) {
    const uint32_t a = number[u];
    if (pairs->tableHoldsAll()) {
      // The common case, without a branch per end: the row of the table that belongs to a.
      uint64_t* counts = pairs->tableRow(a);
      for (int v : rows[u]) ++counts[number[static_cast<size_t>(v)]];
    } else {
      for (int v : rows[u]) pairs->add(a, number[static_cast<size_t>(v)]);
    }
  }
}

// Fills one ascending row per vertex from the pieces' edge lists (freed on the way) and counts the
// label pairs of the edge ends.
void fillRows(std::vector<Piece>& pieces, const HugeVector<uint32_t>& number, size_t labelCount, int threads,
              std::vector<std::vector<int>>* rows, PairCounter* pairs) {
  const size_t n = number.size();
  const size_t parts = static_cast<size_t>(threads);
  rows->resize(n);  // every vertex gets a row, also those read after the last edge line
  HugeVector<uintptr_t> slots(n, 0);
  runInParallel(threads, [&](int t) {
    const size_t part = static_cast<size_t>(t);
    countEnds(pieces, n * part / parts, n * (part + 1) / parts, slots.data());
  });
  const std::vector<size_t> bounds = splitByEnds(slots, n, threads);
  std::vector<PairCounter> counters(parts, PairCounter(labelCount));
  HugeVector<uint8_t> narrowNumber;
  if (labelCount <= 256) narrowNumber.assign(number.begin(), number.end());
  runInParallel(threads, [&](int t) {
    const size_t part = static_cast<size_t>(t), first = bounds[part], last = bounds[part + 1];
    writeEnds(pieces, first, last, slots.data(), rows);
    sortRows(first, last, n, rows);
    if (narrowNumber.empty()) {
      countPairs(*rows, number.data(), first, last, &counters[part]);
    } else {
      countPairs(*rows, narrowNumber.data(), first, last, &counters[part]);
    }
  });
  for (Piece& piece : pieces) HugeVector<uint64_t>().swap(piece.edges);
  for (const PairCounter& counter : counters) {
    counter.forEach([&](uint32_t a, uint32_t b, uint64_t count) { pairs->add(a, b, count); });
  }
}

// The members of `graph` from the checked pieces, which are emptied on the way.
void buildGraph(std::vector<Piece>& pieces, int threads, Graph* graph) {
  size_t vertexCount = 0;
  for (const Piece& piece : pieces) vertexCount += piece.labels.size();
  graph->labels.reserve(vertexCount);
  for (Piece& piece : pieces) {
    graph->labels.insert(graph->labels.end(), piece.labels.begin(), piece.labels.end());
    HugeVector<int>().swap(piece.labels);
  }
  HugeVector<uint32_t> number;
  const std::vector<int> labelOf = numberLabels(graph->labels, &number);
  indexLabels(labelOf, number, graph);
  PairCounter pairs(labelOf.size());
  fillRows(pieces, number, labelOf.size(), threads, &graph->adjList, &pairs);
  pairs.forEach([&](uint32_t a, uint32_t b, uint64_t count) {
    graph->labelPairFreq[{labelOf[a], labelOf[b]}] = saturatedCount(count);
  });
}

}  // namespace

bool Graph::read(const char* path) { return read(path, 1); }

bool Graph::read(const char* path, int threads, std::atomic<uint64_t>* bytesRead) {
  // A fresh graph brings a fresh revision, also when the file turns out to be unreadable.
  *this = Graph();
  // More threads than a few hundred only add start-up cost.
  threads = std::min(threadCount(threads), 256);
  LineReader reader;
  if (!reader.open(path)) {
    std::cout << "Graph cannot open " << path << std::endl;
    return false;
  }
  std::vector<Piece> pieces;
  if (!parseDataFile(path, reader, threads, &pieces, bytesRead)) return false;
  int64_t edgeLines = 0;
  for (const Piece& piece : pieces) edgeLines += static_cast<int64_t>(piece.edges.size());
  buildGraph(pieces, threads, this);
  if (output_mark != 0) {
    std::cout << "number of vertices: " << labels.size() << std::endl;
    std::cout << "number of edges: " << edgeLines << std::endl;
  }
  return true;
}

uint64_t Graph::nextRevision() {
  static std::atomic<uint64_t> last{0};
  return ++last;
}

void Graph::markChanged() { revisionNumber = nextRevision(); }

void Graph::copy(Graph* other) {
  if (other == this) return;
  labels = other->labels;
  adjList = other->adjList;
  labelVertices = other->labelVertices;
  labelPairFreq = other->labelPairFreq;
  labelFreq = other->labelFreq;
  markChanged();
}

Graph::EdgeState Graph::edgeState(int u, int v) const {
  const int64_t rows = static_cast<int64_t>(adjList.size());
  if (u < 0 || v < 0 || u >= rows || v >= rows) return EdgeState::outOfRange;
  // Scan the shorter row; on equal lengths row u.
  const bool scanV = adjList[u].size() > adjList[v].size();
  const std::vector<int>& row = scanV ? adjList[v] : adjList[u];
  const int wanted = scanV ? u : v;
  return std::find(row.begin(), row.end(), wanted) != row.end() ? EdgeState::present : EdgeState::absent;
}

bool Graph::addEdge(int u, int v) {
  if (edgeState(u, v) != EdgeState::absent) return false;
  if (output_mark != 0) std::cout << "add edge: " << u << ", " << v << std::endl;
  adjList[u].push_back(v);
  adjList[v].push_back(u);
  std::sort(adjList[u].begin(), adjList[u].end());
  std::sort(adjList[v].begin(), adjList[v].end());
  markChanged();
  return true;
}

bool Graph::checkEdge(int u, int v) { return edgeState(u, v) != EdgeState::absent; }
