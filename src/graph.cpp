// Data graph reading and editing. The file is parsed in pieces into flat lists (data_file_pieces.h);
// the members are built from them: labels numbered densely, the label indexes, and the rows, filled
// by blocks of consecutive vertices, each block by one thread, so that no two threads write to the
// same row and the rows being written stay in cache.
#include "graph.h"

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cstdint>
#include <string>
#include <iostream>
#include <limits>
#include <unordered_map>

#include "data_file_pieces.h"
#include "huge_page_allocator.h"
#include "line_reader.h"
#include "settings.h"
#include "short_sort.h"
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

// The rows are filled block by block, a block being a range of 2^shift consecutive vertices, so
// that the rows being written stay in cache. The edge lists are cut into segments, and each segment
// is grouped by the block of its edges' first endpoints (copied to a new list, before the rows take
// their room), then again by the block of their second endpoints (in place, beside the rows); after
// each grouping the threads fill the rows of their ranges of blocks with the ends whose source lies
// there, reading the part of every segment that belongs to the block.
constexpr int blockCountBits = 10;
// Threads beyond this many would each need a count per vertex for little gain.
constexpr size_t maxCountingThreads = 4;

// Which block vertex x belongs to, for an edge held as u | v << 32: side 0 takes u, side 1 takes v.
template <int side>
inline uint32_t blockOf(uint64_t edge, int shift) {
  return static_cast<uint32_t>(side == 0 ? static_cast<uint32_t>(edge) : edge >> 32) >> shift;
}

// A stretch of one piece's edge list, reordered by block; starts[b] is where the edges of block b
// begin, starts[blocks] the stretch's end.
struct Segment {
  uint64_t* edges = nullptr;
  size_t size = 0;
  std::vector<size_t> starts;
};

// Counts the edges of each block of `side` in `counts` (blocks + 1 entries, from index 1).
template <int side>
void countBlocks(const Segment& segment, int shift, std::vector<size_t>* counts) {
  for (size_t i = 0; i < segment.size; ++i) ++(*counts)[blockOf<side>(segment.edges[i], shift) + 1];
}

// Reorders the segment in place so that its edges come by ascending block of `side`, from the counts
// of countBlocks, which become the starts of the blocks. Each edge out of place is carried along the
// cycle of edges it displaces until one belongs where the cycle began.
template <int side>
void groupByBlock(Segment* segment, int shift, std::vector<size_t>* counts) {
  std::vector<size_t>& starts = *counts;
  const size_t blocks = starts.size() - 1;
  for (size_t b = 0; b < blocks; ++b) starts[b + 1] += starts[b];
  std::vector<size_t> next(starts.begin(), starts.end() - 1);
  uint64_t* const edges = segment->edges;
  for (size_t b = 0; b < blocks; ++b) {
    const size_t end = starts[b + 1];
    while (next[b] < end) {
      uint64_t edge = edges[next[b]];
      uint32_t home = blockOf<side>(edge, shift);
      while (home != b) {
        // The slot after this one in the same block is taken a while later; its line is fetched now.
        __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<uintptr_t>(edges + next[home]) + 64), 1);
        std::swap(edge, edges[next[home]++]);
        home = blockOf<side>(edge, shift);
      }
      edges[next[b]++] = edge;
    }
  }
  segment->starts = std::move(starts);
}

// Copies the segment's edges to `out` grouped by ascending block of `side`, from the counts of
// countBlocks, which become the starts of the blocks; the segment then lies at `out`. Unlike the
// grouping in place, no copy waits for the one before it.
template <int side>
void groupByBlockInto(Segment* segment, uint64_t* out, int shift, std::vector<size_t>* counts) {
  std::vector<size_t>& starts = *counts;
  const size_t blocks = starts.size() - 1;
  for (size_t b = 0; b < blocks; ++b) starts[b + 1] += starts[b];
  std::vector<size_t> next(starts.begin(), starts.end() - 1);
  const uint64_t* const edges = segment->edges;
  for (size_t i = 0; i < segment->size; ++i) out[next[blockOf<side>(edges[i], shift)]++] = edges[i];
  segment->edges = out;
  segment->starts = std::move(starts);
}

// Cuts the pieces' edge lists into about `parts` segments of about equal size.
std::vector<Segment> cutSegments(std::vector<Piece>& pieces, int parts) {
  size_t total = 0;
  for (const Piece& piece : pieces) total += piece.edges.size();
  const size_t wanted = std::max<size_t>(1, (total + static_cast<size_t>(parts) - 1) / static_cast<size_t>(parts));
  std::vector<Segment> segments;
  for (Piece& piece : pieces) {
    const size_t size = piece.edges.size();
    const size_t count = (size + wanted - 1) / wanted;
    for (size_t i = 0; i < count; ++i) {
      Segment segment;
      segment.edges = piece.edges.data() + size * i / count;
      segment.size = size * (i + 1) / count - size * i / count;
      segments.push_back(std::move(segment));
    }
  }
  return segments;
}

// Splits the blocks into `parts` ranges of about equal numbers of edge ends, by their counts.
std::vector<size_t> splitBlocks(const std::vector<uint64_t>& ends, int parts) {
  const size_t blocks = ends.size();
  uint64_t total = 0;
  for (uint64_t count : ends) total += count;
  std::vector<size_t> bounds(static_cast<size_t>(parts) + 1, blocks);
  bounds[0] = 0;
  uint64_t seen = 0;
  size_t part = 1;
  for (size_t b = 0; b < blocks && part < static_cast<size_t>(parts); ++b) {
    seen += ends[b];
    while (part < static_cast<size_t>(parts) && seen * static_cast<uint64_t>(parts) >= total * part) {
      bounds[part++] = b + 1;
    }
  }
  return bounds;
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

// Sorts the rows of [first, last): short ones by a network whose cost does not depend on the order,
// long rows not listed in order by radix, which costs a few passes over the row, the others by
// comparison. `spare` is scratch room for the radix.
void sortRows(size_t first, size_t last, size_t n, std::vector<std::vector<int>>* rows, HugeVector<int>* spare) {
  constexpr size_t radixFrom = 256;
  int passes = 1;
  while (passes * radixBits < 32 && (uint64_t{1} << (passes * radixBits)) < n) ++passes;
  for (size_t v = first; v < last; ++v) {
    std::vector<int>& row = (*rows)[v];
    if (row.size() <= shortSortLimit) {
      sortShort(row.data(), row.size());
      continue;
    }
    if (std::is_sorted(row.begin(), row.end())) continue;
    if (row.size() < radixFrom) {
      std::sort(row.begin(), row.end());
      continue;
    }
    if (spare->size() < row.size()) spare->resize(row.size());
    radixSort(row.data(), row.size(), spare->data(), passes);
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

// Writes, for every edge of the segments' parts of block b on `side`, the other endpoint into the
// row of the endpoint on that side, through the block's write positions `cursor` (by vertex in
// the block).
template <int side>
void writeBlock(const std::vector<Segment>& segments, size_t b, int shift, int** cursor) {
  const size_t base = b << shift;
  for (const Segment& segment : segments) {
    const uint64_t* edges = segment.edges;
    for (size_t i = segment.starts[b]; i < segment.starts[b + 1]; ++i) {
      const uint32_t u = static_cast<uint32_t>(edges[i]), v = static_cast<uint32_t>(edges[i] >> 32);
      if (side == 0) {
        *cursor[u - base]++ = static_cast<int>(v);
      } else {
        *cursor[v - base]++ = static_cast<int>(u);
      }
    }
  }
}

std::atomic<uint64_t> mostEdgeEnds{UINT32_MAX};

// Fills the rows, one per vertex (also those read after the last edge line), ascending, from the
// pieces' edge lists (freed on the way) and counts the label pairs of the edge ends. False, with
// the rows empty, when some vertex has 2^32 edge ends or more (repeats included), which the 32-bit
// counts of the ends cannot hold; `*crowded` is then such a vertex, or SIZE_MAX when a count wrapped
// round and the vertex is not known.
bool fillRows(std::vector<Piece>& pieces, const HugeVector<uint32_t>& number, size_t labelCount, int threads,
              std::vector<std::vector<int>>* rows, PairCounter* pairs, size_t* crowded) {
  const size_t n = number.size();
  const size_t parts = static_cast<size_t>(threads);
  std::vector<Segment> segments = cutSegments(pieces, threads);
  if (n == 0 || segments.empty()) {
    for (Piece& piece : pieces) HugeVector<uint64_t>().swap(piece.edges);
    return true;
  }
  int shift = 0;
  while ((n - 1) >> shift >= (size_t{1} << blockCountBits)) ++shift;
  const size_t blocks = ((n - 1) >> shift) + 1;
  // A few threads count the ends of each vertex over their segments, each in an array of its own,
  // and the blocks of both sides; then they copy their segments grouped by first endpoint to a new
  // list. The pieces' lists are freed before the rows are allocated, so that the edges are held
  // twice only while the rows do not exist yet.
  const size_t counting = std::min<size_t>({parts, segments.size(), maxCountingThreads});
  std::vector<HugeVector<uint32_t>> degrees(counting);
  std::vector<std::vector<size_t>> byFirst(segments.size()), bySecond(segments.size());
  std::vector<size_t> segmentStart(segments.size() + 1, 0);
  for (size_t s = 0; s < segments.size(); ++s) segmentStart[s + 1] = segmentStart[s] + segments[s].size;
  UnwrittenHugeVector<uint64_t> grouped(segmentStart.back());
  runInParallel(static_cast<int>(counting), [&](int t) {
    HugeVector<uint32_t>& degree = degrees[static_cast<size_t>(t)];
    degree.assign(n, 0);
    for (size_t s = static_cast<size_t>(t); s < segments.size(); s += counting) {
      const Segment& segment = segments[s];
      for (size_t i = 0; i < segment.size; ++i) {
        ++degree[static_cast<uint32_t>(segment.edges[i])];
        ++degree[segment.edges[i] >> 32];
      }
      byFirst[s].assign(blocks + 1, 0);
      bySecond[s].assign(blocks + 1, 0);
      countBlocks<0>(segment, shift, &byFirst[s]);
      countBlocks<1>(segment, shift, &bySecond[s]);
      groupByBlockInto<0>(&segments[s], grouped.data() + segmentStart[s], shift, &byFirst[s]);
    }
  });
  for (Piece& piece : pieces) HugeVector<uint64_t>().swap(piece.edges);
  // Fewer than 2^31 edges cannot give a vertex 2^32 ends; more are looked at, once, before any row
  // is sized from the counts. A count that wrapped round leaves its thread's total below the ends
  // it saw, so the sum over every vertex tells.
  const uint64_t most = mostEdgeEnds.load(std::memory_order_relaxed);
  if (segmentStart.back() > most / 2) {
    uint64_t ends = 0;
    for (size_t v = 0; v < n; ++v) {
      uint64_t size = 0;
      for (const HugeVector<uint32_t>& degree : degrees) size += degree[v];
      ends += size;
      if (size > most && *crowded == SIZE_MAX) *crowded = v;
    }
    if (ends != 2 * segmentStart.back() || *crowded != SIZE_MAX) {
      std::vector<std::vector<int>>().swap(*rows);
      return false;
    }
  }
  std::vector<uint64_t> blockEnds(blocks, 0);
  for (size_t s = 0; s < segments.size(); ++s) {
    for (size_t b = 0; b < blocks; ++b) {
      blockEnds[b] += segments[s].starts[b + 1] - segments[s].starts[b] + bySecond[s][b + 1];
    }
  }
  const std::vector<size_t> bounds = splitBlocks(blockEnds, threads);
  // The first sides: each row is sized and takes the ends whose first endpoint is its vertex;
  // degrees[0] then holds how many it took. Threads take runs of blocks as they come free, since
  // the heaps of threads other than the first grow more slowly.
  std::atomic<size_t> nextRun{0};
  constexpr size_t runBlocks = 8;
  runInParallel(threads, [&](int) {
    std::vector<int*> cursor(size_t{1} << shift);
    for (size_t b = nextRun.fetch_add(runBlocks); b < blocks; b = (b + 1) % runBlocks == 0 ? nextRun.fetch_add(runBlocks) : b + 1) {
      const size_t first = b << shift, last = std::min(n, (b + 1) << shift);
      for (size_t v = first; v < last; ++v) {
        uint32_t size = 0;
        for (const HugeVector<uint32_t>& degree : degrees) size += degree[v];
        (*rows)[v].resize(size);
        cursor[v - first] = (*rows)[v].data();
      }
      writeBlock<0>(segments, b, shift, cursor.data());
      for (size_t v = first; v < last; ++v) degrees[0][v] = static_cast<uint32_t>(cursor[v - first] - (*rows)[v].data());
    }
  });
  runInParallel(static_cast<int>(counting), [&](int t) {
    for (size_t s = static_cast<size_t>(t); s < segments.size(); s += counting) {
      groupByBlock<1>(&segments[s], shift, &bySecond[s]);
    }
  });
  std::vector<PairCounter> counters(parts, PairCounter(labelCount));
  HugeVector<uint8_t> narrowNumber;
  if (labelCount <= 256) narrowNumber.assign(number.begin(), number.end());
  // The second sides, then the rows of each block are sorted and their label pairs counted.
  runInParallel(threads, [&](int t) {
    const size_t part = static_cast<size_t>(t);
    std::vector<int*> cursor(size_t{1} << shift);
    HugeVector<int> spare;
    for (size_t b = bounds[part]; b < bounds[part + 1]; ++b) {
      const size_t first = b << shift, last = std::min(n, (b + 1) << shift);
      for (size_t v = first; v < last; ++v) cursor[v - first] = (*rows)[v].data() + degrees[0][v];
      writeBlock<1>(segments, b, shift, cursor.data());
      sortRows(first, last, n, rows, &spare);
      if (narrowNumber.empty()) {
        countPairs(*rows, number.data(), first, last, &counters[part]);
      } else {
        countPairs(*rows, narrowNumber.data(), first, last, &counters[part]);
      }
    }
  });
  UnwrittenHugeVector<uint64_t>().swap(grouped);
  for (const PairCounter& counter : counters) {
    counter.forEach([&](uint32_t a, uint32_t b, uint64_t count) { pairs->add(a, b, count); });
  }
  return true;
}

// The members of `graph` from the checked pieces, which are emptied on the way; false, with a
// message, when the graph is too large for the rows.
bool buildGraph(const char* path, std::vector<Piece>& pieces, int threads, Graph* graph) {
  size_t vertexCount = 0;
  for (const Piece& piece : pieces) vertexCount += piece.labels.size();
  graph->labels.reserve(vertexCount);
  for (Piece& piece : pieces) {
    graph->labels.insert(graph->labels.end(), piece.labels.begin(), piece.labels.end());
    HugeVector<int>().swap(piece.labels);
  }
  // The rows' headers are set up beside the label indexes: neither reads what the other writes.
  HugeVector<uint32_t> number;
  std::vector<int> labelOf;
  runInParallel(std::min(threads, 2), [&](int part) {
    if (part == 0) {
      labelOf = numberLabels(graph->labels, &number);
      indexLabels(labelOf, number, graph);
    }
    if (part == 1 || threads == 1) graph->adjList.resize(vertexCount);
  });
  PairCounter pairs(labelOf.size());
  size_t crowded = SIZE_MAX;
  if (!fillRows(pieces, number, labelOf.size(), threads, &graph->adjList, &pairs, &crowded)) {
    std::cout << "Graph cannot read " << path << ": "
              << (crowded == SIZE_MAX ? std::string("a vertex") : "vertex " + std::to_string(crowded)) << " has "
              << mostEdgeEnds.load(std::memory_order_relaxed) + 1 << " or more edge ends (repeated edges included)"
              << std::endl;
    return false;
  }
  pairs.forEach([&](uint32_t a, uint32_t b, uint64_t count) {
    graph->labelPairFreq[{labelOf[a], labelOf[b]}] = saturatedCount(count);
  });
  return true;
}

}  // namespace

void setMostEdgeEnds(uint64_t ends) { mostEdgeEnds.store(std::min<uint64_t>(ends, UINT32_MAX), std::memory_order_relaxed); }

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
  if (!buildGraph(path, pieces, threads, this)) {
    *this = Graph();
    return false;
  }
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

void Graph::releaseRows() {
  std::vector<std::vector<int>>().swap(adjList);
  released = true;
  // Freed rows lie all over the heap; the pages they leave empty go back to the system.
  malloc_trim(0);
}

void Graph::copy(Graph* other) {
  if (other == this) return;
  labels = other->labels;
  adjList = other->adjList;
  labelVertices = other->labelVertices;
  labelPairFreq = other->labelPairFreq;
  labelFreq = other->labelFreq;
  released = other->released;
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
