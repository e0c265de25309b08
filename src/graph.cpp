// Data graph reading and editing. The reader parses each line in place, keeps the edges in a flat
// list, and builds the rows and the label indexes once at the end, so its cost is linear in the file
// apart from sorting each row; labels are numbered densely while reading to avoid map lookups per line.
#include "graph.h"

#include <algorithm>
#include <cstdint>
#include <iostream>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_map>

#include "fatal_error.h"
#include "huge_page_allocator.h"
#include "line_reader.h"
#include "main.h"
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

}  // namespace

bool Graph::read(const char* path) {
  *this = Graph();
  LineReader reader;
  if (!reader.open(path)) {
    std::cout << "Graph cannot open " << path << std::endl;
    return false;
  }
  std::unordered_map<int, uint32_t> labelIndex;  // label -> dense index, in order of appearance
  std::vector<int> indexLabel;                   // dense index -> label
  std::vector<uint32_t> vertexLabelIndex;
  // Endpoints u0, v0, u1, v1, ...; room for as many edge lines as the file could hold, reserved
  // without being touched, so that the list is never copied while it grows.
  HugeVector<int> edgeEnds;
  if (reader.size() > 0) edgeEnds.reserve(static_cast<size_t>(reader.size() / 4));
  int lastLabel = 0;
  uint32_t lastIndex = 0;
  bool haveLast = false;

  // The parse loop only checks and records; everything that needs random access to per-vertex
  // arrays happens afterwards in loops of their own.
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
    if (static_cast<uint64_t>(static_cast<uint32_t>(u)) >= vertexCount ||
        static_cast<uint64_t>(static_cast<uint32_t>(v)) >= vertexCount) {
      const int end = static_cast<uint64_t>(static_cast<uint32_t>(u)) >= vertexCount ? u : v;
      std::cout << path << ":" << reader.lineNumber() << ": edge endpoint " << end << " is not a vertex ("
                << vertexCount << " vertex lines read so far)" << std::endl;
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
  std::vector<uint32_t> degree(vertexCount, 0);
  // Endpoints are random: prefetching a few edges ahead keeps several cache misses in flight.
  constexpr size_t ahead = 32;
  for (size_t i = 0; i < edgeEnds.size(); i += 2) {
    const int u = edgeEnds[i], v = edgeEnds[i + 1];
    if (i + ahead + 1 < edgeEnds.size()) {
      __builtin_prefetch(&degree[edgeEnds[i + ahead]], 1);
      __builtin_prefetch(&degree[edgeEnds[i + ahead + 1]], 1);
      __builtin_prefetch(&vertexLabelIndex[edgeEnds[i + ahead]]);
      __builtin_prefetch(&vertexLabelIndex[edgeEnds[i + ahead + 1]]);
    }
    ++degree[u];
    ++degree[v];
    pairCounts.add(vertexLabelIndex[u], vertexLabelIndex[v]);
    pairCounts.add(vertexLabelIndex[v], vertexLabelIndex[u]);
  }
  pairCounts.forEach([&](uint32_t a, uint32_t b, uint64_t count) {
    labelPairFreq[{indexLabel[a], indexLabel[b]}] = saturatedCount(count);
  });

  // Every vertex gets a row, also those read after the last edge line.
  adjList.resize(vertexCount);
  for (size_t v = 0; v < vertexCount; ++v) adjList[v].reserve(degree[v]);
  for (size_t i = 0; i < edgeEnds.size(); i += 2) {
    if (i + ahead + 1 < edgeEnds.size()) {
      __builtin_prefetch(&adjList[edgeEnds[i + ahead]]);
      __builtin_prefetch(&adjList[edgeEnds[i + ahead + 1]]);
    }
    adjList[edgeEnds[i]].push_back(edgeEnds[i + 1]);
    adjList[edgeEnds[i + 1]].push_back(edgeEnds[i]);
  }
  HugeVector<int>().swap(edgeEnds);
  for (auto& row : adjList) std::sort(row.begin(), row.end());

  if (output_mark != 0) {
    std::cout << "number of vertices: " << labels.size() << std::endl;
    std::cout << "number of edges: " << edgeLines << std::endl;
  }
  return true;
}

void Graph::copy(Graph* other) {
  if (other == this) return;
  labels = other->labels;
  adjList = other->adjList;
  labelVertices = other->labelVertices;
  labelPairFreq = other->labelPairFreq;
  labelFreq = other->labelFreq;
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
  return true;
}

bool Graph::checkEdge(int u, int v) { return edgeState(u, v) != EdgeState::absent; }
