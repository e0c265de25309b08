// A compact read-only index of the data graph for the search, built once after loading: labels
// numbered densely in ascending order, and each vertex's distinct neighbours (repeats and self-loops
// dropped) ordered by (label number, id), so that "the neighbours of v with label l" is one contiguous
// ascending range. Rows of 16 neighbours or more keep a small table of their label groups when labels
// are few; other rows are searched through a per-vertex array of label numbers.
#pragma once

#include <cassert>
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

  /// Builds the index of `graph` and releases the graph's rows on the way (Graph::releaseRows), so
  /// that the rows and the index are never held whole at the same time.
  DataIndex(Graph& graph, bool releaseRows);

  struct Range {
    const int* begin;
    const int* end;
    size_t size() const { return static_cast<size_t>(end - begin); }
    bool empty() const { return begin == end; }
  };

  size_t vertexCount() const { return offsets.size() - 1; }

  /// Number of distinct labels; dense label ids run from 0 to one below it.
  size_t labelCount() const { return labelVertices.size(); }

  /// Dense id of a label, or -1 when no data vertex carries it.
  int labelId(int label) const {
    auto it = labelIds.find(label);
    return it == labelIds.end() ? -1 : it->second;
  }

  /// Number of distinct neighbours of v other than v itself.
  uint32_t degree(int v) const {
    assert(v >= 0 && static_cast<size_t>(v) < vertexCount());
    return static_cast<uint32_t>(rowEnd(v) - rowBegin(v));
  }

  /// The neighbours of v that carry the dense label `label`, ascending; empty when there are none.
  Range neighbors(int v, int label) const {
    assert(v >= 0 && static_cast<size_t>(v) < vertexCount() && label >= 0);
    const int* const row = adjacency.data() + rowBegin(v);
    const uint32_t size = degree(v);
    const uint32_t wanted = static_cast<uint32_t>(label);
    if (const uint64_t table = offsets[v] >> positionBits) return groupOf(table - 1, row, size, wanted);
    // The row is ordered by label: its part with the label lies between the first entry of at least
    // that label and the first of a larger one. In a short row a scan finds them sooner than a binary
    // search, whose every step waits for the label of the entry it reads.
    if (size < shortRow) {
      uint32_t first = 0;
      while (first < size && labelOf(row[first]) < wanted) ++first;
      uint32_t last = first;
      while (last < size && labelOf(row[last]) == wanted) ++last;
      return {row + first, row + last};
    }
    const uint32_t first = firstWithLabelFrom(row, size, wanted);
    const uint32_t last = first + firstWithLabelFrom(row + first, size - first, wanted + 1);
    return {row + first, row + last};
  }

  /// The vertices that carry the dense label, ascending.
  const std::vector<int>& verticesWithLabel(int label) const {
    assert(label >= 0 && static_cast<size_t>(label) < labelVertices.size());
    return labelVertices[label];
  }

  /// The dense label of v.
  uint32_t labelOf(int v) const { return narrowLabels.empty() ? wideLabels[v] : narrowLabels[v]; }

  /// All distinct neighbours of v, ordered by (dense label, id).
  Range allNeighbors(int v) const { return {adjacency.data() + rowBegin(v), adjacency.data() + rowEnd(v)}; }

  /// The position of v in verticesWithLabel(labelOf(v)).
  int positionInLabel(int v) const { return labelPosition[v]; }

 private:
  // offsets[v] holds the start of v's row in its low positionBits bits and, above them, 1 + the
  // position of its group table in groupTables, or 0 for a row searched through the label numbers.
  // A table is the number of groups, then per group its label number (high 8 bits) and its start in
  // the row (low 24 bits), by ascending label.
  static constexpr int positionBits = 36;
  static constexpr uint64_t positionMask = (uint64_t{1} << positionBits) - 1;
  static constexpr int groupLabelShift = 24;
  static constexpr uint32_t groupStartMask = (uint32_t{1} << groupLabelShift) - 1;
  // Rows shorter than this have no table and are scanned for a label rather than searched.
  static constexpr uint32_t shortRow = 16;

  uint64_t rowBegin(int v) const { return offsets[v] & positionMask; }
  uint64_t rowEnd(int v) const { return offsets[v + 1] & positionMask; }


  // The position of the first of the `size` entries of a row ordered by label whose label is at
  // least `label`: a binary search whose steps choose without a branch, since the comparisons are
  // as likely one way as the other.
  uint32_t firstWithLabelFrom(const int* row, uint32_t size, uint32_t label) const {
    if (size == 0) return 0;
    const int* base = row;
    while (size > 1) {
      const uint32_t half = size / 2;
      base = labelOf(base[half]) < label ? base + half : base;
      size -= half;
    }
    return static_cast<uint32_t>(base - row) + (labelOf(*base) < label ? 1 : 0);
  }

  // The group of `label` in a row through the table of its groups.
  Range groupOf(uint64_t table, const int* row, uint32_t size, uint32_t label) const {
    const uint32_t* const group = groupTables.data() + table + 1;
    const uint32_t count = groupTables[table];
    // Tables are short: counting the smaller labels over all of them costs no mispredicted branch.
    uint32_t i = 0;
    for (uint32_t j = 0; j < count; ++j) i += (group[j] >> groupLabelShift) < label ? 1 : 0;
    if (i == count || (group[i] >> groupLabelShift) != label) return {row, row};
    const uint32_t end = i + 1 == count ? size : group[i + 1] & groupStartMask;
    return {row + (group[i] & groupStartMask), row + end};
  }

  void numberLabels(const Graph& graph);
  size_t countNeighbors(const Graph& graph);
  void fillRows(const Graph& graph, size_t longestRow, Graph* releasing);
  void orderByLabel(const int* row, uint32_t size, int* out, std::vector<size_t>* counts,
                    HugeVector<uint64_t>* keys) const;
  void recordGroups(int v, const int* row, uint32_t size);

  std::map<int, int> labelIds;
  std::vector<std::vector<int>> labelVertices;
  std::vector<uint8_t> narrowLabels;  // label number of each vertex when there are at most 256 labels
  std::vector<uint32_t> wideLabels;   // the same when there are more
  HugeVector<uint64_t> offsets;       // per vertex and one more: row start and group table, see above
  UnwrittenHugeVector<int> adjacency;  // the rows, ordered by (label number, id)
  HugeVector<uint32_t> groupTables;   // the group tables of the rows that have one, see above
  std::vector<int> labelPosition;     // the position of each vertex in its label's list
};
