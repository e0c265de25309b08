// Building the index: the labels numbered in ascending order, one pass to count each vertex's distinct
// neighbours, one to fill and order each row by (label number, id) and to record the group tables.
// Rows of the graph are ascending, so repeats are adjacent; a row that is not (a graph edited by hand)
// is sorted on a copy first.
#include "data_index.h"

#include <malloc.h>

#include <algorithm>
#include <unordered_map>

#include "graph.h"

namespace {

// Distinct neighbours of v in [0, n), other than v, ascending.
void distinctNeighbors(const std::vector<int>& row, int v, size_t n, HugeVector<int>* out) {
  out->clear();
  const std::vector<int>* source = &row;
  std::vector<int> sorted;
  if (!std::is_sorted(row.begin(), row.end())) {
    sorted = row;
    std::sort(sorted.begin(), sorted.end());
    source = &sorted;
  }
  for (int w : *source) {
    if (w == v || w < 0 || static_cast<size_t>(w) >= n) continue;
    if (!out->empty() && out->back() == w) continue;
    out->push_back(w);
  }
}

}  // namespace

DataIndex::DataIndex(const Graph& graph) {
  numberLabels(graph);
  fillRows(graph, countNeighbors(graph), nullptr);
}

DataIndex::DataIndex(Graph& graph, bool releaseRows) {
  numberLabels(graph);
  fillRows(graph, countNeighbors(graph), releaseRows ? &graph : nullptr);
  if (releaseRows) graph.releaseRows();
}

// Label numbers in ascending label order, the label number of each vertex in the narrowest array
// that holds them, and the vertices of each label.
void DataIndex::numberLabels(const Graph& graph) {
  const size_t n = graph.labels.size();
  std::unordered_map<int, int> numbers;
  for (int label : graph.labels) numbers.emplace(label, 0);
  std::vector<int> distinct;
  distinct.reserve(numbers.size());
  for (const auto& entry : numbers) distinct.push_back(entry.first);
  std::sort(distinct.begin(), distinct.end());
  for (size_t i = 0; i < distinct.size(); ++i) {
    labelIds.emplace_hint(labelIds.end(), distinct[i], static_cast<int>(i));
    numbers[distinct[i]] = static_cast<int>(i);
  }
  const bool narrow = distinct.size() <= 256;
  (narrow ? narrowLabels.resize(n) : wideLabels.resize(n));
  std::vector<size_t> counts(distinct.size(), 0);
  for (size_t v = 0; v < n; ++v) {
    const int number = numbers[graph.labels[v]];
    if (narrow) {
      narrowLabels[v] = static_cast<uint8_t>(number);
    } else {
      wideLabels[v] = static_cast<uint32_t>(number);
    }
    ++counts[static_cast<size_t>(number)];
  }
  labelVertices.resize(distinct.size());
  for (size_t l = 0; l < distinct.size(); ++l) labelVertices[l].reserve(counts[l]);
  labelPosition.resize(n);
  for (size_t v = 0; v < n; ++v) {
    std::vector<int>& list = labelVertices[labelOf(static_cast<int>(v))];
    labelPosition[v] = static_cast<int>(list.size());
    list.push_back(static_cast<int>(v));
  }
}

// The row starts: offsets[v + 1] - offsets[v] is the number of distinct neighbours of v. Returns
// the length of the longest row.
size_t DataIndex::countNeighbors(const Graph& graph) {
  const size_t n = graph.labels.size();
  const size_t rows = std::min(n, graph.adjList.size());
  offsets.assign(n + 1, 0);
  HugeVector<int> row;
  size_t longest = 0;
  for (size_t v = 0; v < rows; ++v) {
    const std::vector<int>& source = graph.adjList[v];
    if (std::is_sorted(source.begin(), source.end())) {
      // The common case, without a copy.
      uint64_t count = 0;
      for (size_t i = 0; i < source.size(); ++i) {
        const int w = source[i];
        count += w != static_cast<int>(v) && w >= 0 && static_cast<size_t>(w) < n && (i == 0 || w != source[i - 1]);
      }
      offsets[v + 1] = count;
    } else {
      distinctNeighbors(source, static_cast<int>(v), n, &row);
      offsets[v + 1] = row.size();
    }
    longest = std::max<size_t>(longest, offsets[v + 1]);
  }
  for (size_t v = 0; v < n; ++v) offsets[v + 1] += offsets[v];
  assert(offsets[n] <= positionMask);
  return longest;
}

// Fills each row with the distinct neighbours ordered by (label number, id). The scratch rows are
// allocated once at the longest row's size, so that no trail of outgrown buffers stays behind. With
// `releasing` (the graph itself) each graph row is freed once read, and the freed memory is handed
// back to the system every few dozen megabytes, while the index's pages are taken as it is filled.
void DataIndex::fillRows(const Graph& graph, size_t longestRow, Graph* releasing) {
  const size_t n = graph.labels.size();
  constexpr size_t returnEvery = size_t{32} << 20;
  size_t freed = 0;
  adjacency.resize(offsets[n]);
  HugeVector<int> row;
  row.reserve(longestRow);
  std::vector<size_t> counts;
  HugeVector<uint64_t> keys;
  for (size_t v = 0; v < n; ++v) {
    const uint64_t begin = offsets[v];
    const uint32_t size = static_cast<uint32_t>(offsets[v + 1] - begin);
    if (size != 0) {
      distinctNeighbors(graph.adjList[v], static_cast<int>(v), n, &row);
      int* out = adjacency.data() + begin;
      orderByLabel(row.data(), size, out, &counts, &keys);
      if (size >= shortRow) recordGroups(static_cast<int>(v), out, size);
    }
    if (releasing != nullptr && v < releasing->adjList.size()) {
      freed += releasing->adjList[v].capacity() * sizeof(int);
      std::vector<int>().swap(releasing->adjList[v]);
      if (freed >= returnEvery) {
        malloc_trim(0);
        freed = 0;
      }
    }
  }
}

// Writes an ascending row to `out` ordered by (label number, id), a stable sort by label: insertion
// for short rows, counting when labels are few for the row, a sort on combined keys otherwise.
void DataIndex::orderByLabel(const int* row, uint32_t size, int* out, std::vector<size_t>* counts,
                             HugeVector<uint64_t>* keys) const {
  const size_t labelCount = labelVertices.size();
  if (size <= 32) {
    for (uint32_t i = 0; i < size; ++i) {
      const uint32_t label = labelOf(row[i]);
      uint32_t j = i;
      for (; j > 0 && labelOf(out[j - 1]) > label; --j) out[j] = out[j - 1];
      out[j] = row[i];
    }
  } else if (labelCount <= 256 || labelCount * 4 <= size) {
    counts->assign(labelCount + 1, 0);
    for (uint32_t i = 0; i < size; ++i) ++(*counts)[labelOf(row[i]) + 1];
    for (size_t l = 0; l < labelCount; ++l) (*counts)[l + 1] += (*counts)[l];
    for (uint32_t i = 0; i < size; ++i) out[(*counts)[labelOf(row[i])]++] = row[i];
  } else {
    keys->resize(size);
    for (uint32_t i = 0; i < size; ++i) (*keys)[i] = (uint64_t{labelOf(row[i])} << 32) | static_cast<uint32_t>(row[i]);
    std::sort(keys->begin(), keys->end());
    for (uint32_t i = 0; i < size; ++i) out[i] = static_cast<int>(static_cast<uint32_t>((*keys)[i]));
  }
}

// Gives the row of v a table of its label groups when the label numbers and the row's positions fit
// a table entry, and the table's position fits beside the row's start.
void DataIndex::recordGroups(int v, const int* row, uint32_t size) {
  const uint64_t table = groupTables.size();
  if (narrowLabels.empty() || size > groupStartMask || table + 1 >= (uint64_t{1} << (64 - positionBits))) return;
  groupTables.push_back(0);
  for (uint32_t i = 0; i < size; ++i) {
    if (i == 0 || labelOf(row[i]) != labelOf(row[i - 1])) {
      groupTables.push_back((labelOf(row[i]) << groupLabelShift) | i);
      ++groupTables[table];
    }
  }
  offsets[v] |= (table + 1) << positionBits;
}
