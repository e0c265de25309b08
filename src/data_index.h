// A compact read-only index of the data graph for the search, built once after loading: labels
// numbered densely, and each vertex's distinct neighbours (repeats and self-loops dropped) grouped by
// label, so that "the neighbours of v with label l" is one contiguous ascending range.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "huge_page_allocator.h"

class Graph;

class DataIndex {
 public:
  /// Builds the index of `graph`; vertices without a neighbour row have no neighbours.
  explicit DataIndex(const Graph& graph);

  struct Range {
    const int* begin;
    const int* end;
    size_t size() const { return static_cast<size_t>(end - begin); }
    bool empty() const { return begin == end; }
  };

  size_t vertexCount() const { return vertexLabel.size(); }

  /// Dense id of a label, or -1 when no data vertex carries it.
  int labelId(int label) const {
    auto it = labelIds.find(label);
    return it == labelIds.end() ? -1 : it->second;
  }

  /// Dense label id of vertex v.
  int labelOf(int v) const { return vertexLabel[v]; }

  /// Number of distinct neighbours of v other than v itself.
  uint32_t degree(int v) const { return static_cast<uint32_t>(offsets[v + 1] - offsets[v]); }

  /// The neighbours of v that carry the dense label `label`, ascending; empty when there are none.
  Range neighbors(int v, int label) const {
    const uint32_t* first = groupLabel.data() + groupBegin[v];
    const uint32_t* last = groupLabel.data() + groupBegin[v + 1];
    // Binary search over v's label groups; most vertices have few.
    while (first < last) {
      const uint32_t* middle = first + (last - first) / 2;
      if (*middle < static_cast<uint32_t>(label)) {
        first = middle + 1;
      } else {
        last = middle;
      }
    }
    if (first == groupLabel.data() + groupBegin[v + 1] || *first != static_cast<uint32_t>(label)) {
      return {nullptr, nullptr};
    }
    const size_t group = static_cast<size_t>(first - groupLabel.data());
    return {adjacency.data() + groupStart[group], adjacency.data() + groupStart[group + 1]};
  }

  /// All distinct neighbours of v, grouped by label, ascending within each group.
  Range allNeighbors(int v) const { return {adjacency.data() + offsets[v], adjacency.data() + offsets[v + 1]}; }

  /// The vertices that carry the dense label, ascending.
  const std::vector<int>& verticesWithLabel(int label) const { return labelVertices[label]; }

  /// The largest number of neighbours with the dense label that any vertex has.
  uint32_t maxNeighborsWithLabel(int label) const { return maxGroupSize[label]; }

  /// The position of v in verticesWithLabel(labelOf(v)).
  int positionInLabel(int v) const { return labelPosition[v]; }

 private:
  std::map<int, int> labelIds;
  std::vector<int> vertexLabel;
  std::vector<std::vector<int>> labelVertices;
  HugeVector<uint64_t> offsets;     // per vertex, into adjacency
  HugeVector<int> adjacency;        // neighbours grouped by (label, id)
  HugeVector<uint64_t> groupBegin;  // per vertex, into groupLabel / groupStart
  HugeVector<uint32_t> groupLabel;  // dense label of each group
  HugeVector<uint64_t> groupStart;  // start of each group in adjacency; one sentinel at the end
  std::vector<uint32_t> maxGroupSize;
  std::vector<int> labelPosition;
};
