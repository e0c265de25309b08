// Data graph reading and editing. The reader parses each line in place, keeps the edges in a flat
// list, and builds the rows and the label indexes once at the end, so its cost is linear in the file;
// labels are numbered densely while reading to avoid map lookups per line.
#include "graph.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <iostream>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_map>

#include "fatal_error.h"
#include "huge_page_allocator.h"
#include "line_reader.h"
#include "settings.h"
#include "text_number.h"

namespace {

// Token i (from 0) of a line split at runs of spaces: begin and end pointers, or false if absent.
struct Tokens {
  const char* begin[3];
  const char* end[3];
};

// Finds the first three space-separated tokens; false when the line has fewer.
bool firstThreeTokens(std::string_view line, Tokens* tokens) {
  const char* p = line.data();
  const char* const end = p + line.size();
  for (int i = 0; i < 3; ++i) {
    while (p < end && *p == ' ') ++p;
    if (p == end) return false;
    tokens->begin[i] = p;
    while (p < end && *p != ' ') ++p;
    tokens->end[i] = p;
  }
  return true;
}

int saturatedCount(uint64_t count) {
  return count > static_cast<uint64_t>(std::numeric_limits<int>::max()) ? std::numeric_limits<int>::max()
                                                                         : static_cast<int>(count);
}

// Label pair counts over dense label indexes: a square table for few labels, a hash map otherwise.
class PairCounter {
 public:
  void add(uint32_t a, uint32_t b) {
    if (a >= tableSide || b >= tableSide) {
      if (a < denseLimit && b < denseLimit) {
        grow(std::max(a, b) + 1);
      } else {
        ++sparse[(uint64_t{a} << 32) | b];
        return;
      }
    }
    ++table[size_t{a} * tableSide + b];
  }

  template <typename Visit>
  void forEach(Visit visit) const {
    for (uint32_t a = 0; a < tableSide; ++a)
      for (uint32_t b = 0; b < tableSide; ++b)
        if (uint64_t count = table[size_t{a} * tableSide + b]) visit(a, b, count);
    for (const auto& [key, count] : sparse) visit(static_cast<uint32_t>(key >> 32), static_cast<uint32_t>(key), count);
  }

 private:
  static constexpr uint32_t denseLimit = 1024;

  void grow(uint32_t side) {
    side = std::max(side, std::min(denseLimit, tableSide * 2));
    std::vector<uint64_t> larger(size_t{side} * side, 0);
    for (uint32_t a = 0; a < tableSide; ++a)
      std::copy_n(table.begin() + size_t{a} * tableSide, tableSide, larger.begin() + size_t{a} * side);
    table.swap(larger);
    tableSide = side;
  }

  uint32_t tableSide = 0;
  std::vector<uint64_t> table;
  std::unordered_map<uint64_t, uint64_t> sparse;
};

// What the parse of a data file yields: the labels of the vertices as dense indexes, and the edges.
struct DataFileContent {
  std::vector<int> indexLabel;            // dense index -> label, in order of first appearance
  std::vector<uint32_t> vertexLabelIndex;  // dense label index of each vertex
  HugeVector<int> edgeEnds;               // u0, v0, u1, v1, ...
};

// Parses every line; false after a message on a malformed line or a read error. The loop only checks
// and records: everything that needs random access to per-vertex arrays comes afterwards.
bool parseDataFile(const char* path, LineReader& reader, DataFileContent* content) {
  std::unordered_map<int, uint32_t> labelIndex;
  std::vector<int>& indexLabel = content->indexLabel;
  std::vector<uint32_t>& vertexLabelIndex = content->vertexLabelIndex;
  HugeVector<int>& edgeEnds = content->edgeEnds;
  // Room for as many edge lines as the file could hold, reserved without being touched, so that the
  // list is never copied while it grows.
  if (reader.size() > 0) edgeEnds.reserve(static_cast<size_t>(reader.size() / 4));
  int lastLabel = 0;
  uint32_t lastIndex = 0;
  bool haveLast = false;
  std::string_view line;
  LineReader::Status status;
  Tokens tokens;
  while ((status = reader.next(&line)) == LineReader::Status::line) {
    if (line.empty() || (line[0] != 'v' && line[0] != 'e')) continue;
    const bool isVertex = line[0] == 'v';
    if (!firstThreeTokens(line, &tokens)) {
      std::cout << path << ":" << reader.lineNumber() << ": " << (isVertex ? "vertex" : "edge")
                << " line with fewer than three fields" << std::endl;
      return false;
    }
    if (isVertex) {
      int label = parseInt32(tokens.begin[2], tokens.end[2]);
      if (!haveLast || label != lastLabel) {
        auto [it, inserted] = labelIndex.try_emplace(label, static_cast<uint32_t>(indexLabel.size()));
        if (inserted) indexLabel.push_back(label);
        lastLabel = label;
        lastIndex = it->second;
        haveLast = true;
      }
      vertexLabelIndex.push_back(lastIndex);
      continue;
    }
    const int u = parseInt32(tokens.begin[1], tokens.end[1]);
    const int v = parseInt32(tokens.begin[2], tokens.end[2]);
    const uint64_t vertexCount = vertexLabelIndex.size();
    // Negative ids become huge as unsigned numbers, so one comparison rejects both kinds.
    const bool badU = static_cast<uint64_t>(static_cast<uint32_t>(u)) >= vertexCount;
    if (badU || static_cast<uint64_t>(static_cast<uint32_t>(v)) >= vertexCount) {
      std::cout << path << ":" << reader.lineNumber() << ": edge endpoint " << (badU ? u : v)
                << " is not a vertex (" << vertexCount << " vertex lines read so far)" << std::endl;
      return false;
    }
    edgeEnds.push_back(u);
    edgeEnds.push_back(v);
  }
  if (status == LineReader::Status::error) {
    std::cout << "Graph cannot read " << path << " after line " << reader.lineNumber() << ": "
              << errorText(reader.error()) << std::endl;
    return false;
  }
  return true;
}

// Bits of a vertex id sorted per pass of the row ordering: the counts of one pass stay in L1.
constexpr int radixBits = 11;

// Orders `size` edge ends by their low 32 bits (the other vertex) with `passes` stable counting
// passes of radixBits each; returns whichever of `values` and `spare` holds the result.
uint64_t* sortByLowHalf(uint64_t* values, uint64_t* spare, size_t size, int passes) {
  constexpr uint32_t buckets = uint32_t{1} << radixBits;
  if (size < 2) return values;
  for (int pass = 0; pass < passes; ++pass) {
    const int shift = pass * radixBits;
    auto digit = [shift](uint64_t value) { return (static_cast<uint32_t>(value) >> shift) & (buckets - 1); };
    size_t count[buckets + 1] = {};
    for (size_t i = 0; i < size; ++i) ++count[digit(values[i]) + 1];
    if (count[digit(values[0]) + 1] == size) continue;  // a single digit: nothing would move
    for (uint32_t d = 0; d < buckets; ++d) count[d + 1] += count[d];
    for (size_t i = 0; i < size; ++i) spare[count[digit(values[i])]++] = values[i];
    std::swap(values, spare);
  }
  return values;
}

// Vertices per block of the row filling: the row headers and degree counts of a block stay in cache.
constexpr int blockShift = 13;

// Fills one ascending row per vertex from the edge list (freed on the way) and counts the label pairs
// of the edge ends. The edge ends are first partitioned by blocks of source vertices, so that
// filling the rows of one block touches only memory of that block instead of two random rows per edge.
void fillRows(HugeVector<int>& edgeEnds, const std::vector<uint32_t>& vertexLabelIndex, PairCounter* pairCounts,
              std::vector<std::vector<int>>* adjList) {
  const size_t vertexCount = vertexLabelIndex.size();
  const size_t blocks = (vertexCount >> blockShift) + 1;
  std::vector<uint64_t> blockStart(blocks + 1, 0);
  for (int end : edgeEnds) ++blockStart[(static_cast<size_t>(end) >> blockShift) + 1];
  for (size_t b = 0; b < blocks; ++b) blockStart[b + 1] += blockStart[b];
  // Each edge as two ends, source in the high half: (u, v) in u's block and (v, u) in v's.
  // Every entry is written below, so the array comes zeroed from the kernel rather than filled.
  ZeroedArray<uint64_t> ends;
  ends.reset(edgeEnds.size());
  {
    std::vector<uint64_t> cursor(blockStart.begin(), blockStart.end() - 1);
    for (size_t i = 0; i < edgeEnds.size(); i += 2) {
      const uint32_t u = static_cast<uint32_t>(edgeEnds[i]), v = static_cast<uint32_t>(edgeEnds[i + 1]);
      ends[cursor[u >> blockShift]++] = (uint64_t{u} << 32) | v;
      ends[cursor[v >> blockShift]++] = (uint64_t{v} << 32) | u;
    }
  }
  HugeVector<int>().swap(edgeEnds);

  // Every vertex gets a row, also those read after the last edge line.
  adjList->resize(vertexCount);
  std::vector<uint32_t> degree(size_t{1} << blockShift);
  uint64_t largestBlock = 0;
  for (size_t b = 0; b < blocks; ++b) largestBlock = std::max(largestBlock, blockStart[b + 1] - blockStart[b]);
  std::vector<uint64_t> spare(largestBlock);
  int digitPasses = 0;
  while (digitPasses * radixBits < 32 && (uint64_t{1} << (digitPasses * radixBits)) < vertexCount) ++digitPasses;
  for (size_t b = 0; b < blocks; ++b) {
    const size_t first = b << blockShift;
    const size_t last = std::min(vertexCount, first + (size_t{1} << blockShift));
    if (first >= last) break;
    uint64_t* block = ends.data() + blockStart[b];
    const size_t size = static_cast<size_t>(blockStart[b + 1] - blockStart[b]);
    std::fill(degree.begin(), degree.end(), 0);
    for (size_t i = 0; i < size; ++i) ++degree[(block[i] >> 32) - first];
    for (size_t v = first; v < last; ++v) (*adjList)[v].reserve(degree[v - first]);
    // Ordering the block's ends by their other vertex fills every row in ascending order.
    block = sortByLowHalf(block, spare.data(), size, digitPasses);
    for (size_t i = 0; i < size; ++i) {
      const uint32_t u = static_cast<uint32_t>(block[i] >> 32), v = static_cast<uint32_t>(block[i]);
      (*adjList)[u].push_back(static_cast<int>(v));
      pairCounts->add(vertexLabelIndex[u], vertexLabelIndex[v]);
    }
  }
}

}  // namespace

bool Graph::read(const char* path) {
  // A fresh graph brings a fresh revision, also when the file turns out to be unreadable.
  *this = Graph();
  LineReader reader;
  if (!reader.open(path)) {
    std::cout << "Graph cannot open " << path << std::endl;
    return false;
  }
  DataFileContent content;
  if (!parseDataFile(path, reader, &content)) return false;
  const std::vector<int>& indexLabel = content.indexLabel;
  const std::vector<uint32_t>& vertexLabelIndex = content.vertexLabelIndex;
  HugeVector<int>& edgeEnds = content.edgeEnds;
  const int64_t edgeLines = static_cast<int64_t>(edgeEnds.size() / 2);
  const size_t vertexCount = vertexLabelIndex.size();

  labels.resize(vertexCount);
  std::vector<std::vector<int>> byLabel(indexLabel.size());
  for (size_t v = 0; v < vertexCount; ++v) {
    labels[v] = indexLabel[vertexLabelIndex[v]];
    byLabel[vertexLabelIndex[v]].push_back(static_cast<int>(v));
  }
  for (size_t i = 0; i < indexLabel.size(); ++i) {
    labelFreq[indexLabel[i]] = saturatedCount(byLabel[i].size());
    labelVertices[indexLabel[i]] = std::move(byLabel[i]);
  }

  PairCounter pairCounts;
  fillRows(edgeEnds, vertexLabelIndex, &pairCounts, &adjList);
  pairCounts.forEach([&](uint32_t a, uint32_t b, uint64_t count) {
    labelPairFreq[{indexLabel[a], indexLabel[b]}] = saturatedCount(count);
  });

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
