// Building the grouped adjacency: one pass to count distinct neighbours, one to fill and order each
// row by (label, id), one to record the label groups. Rows of the graph are ascending, so repeats are
// adjacent; a row that is not (a graph edited by hand) is sorted on a copy first.
#include "data_index.h"

#include <algorithm>
#include <unordered_map>

#include "graph.h"
#include "huge_page_allocator.h"

namespace {

// Distinct neighbours of v in [0, n), other than v, ascending.
void distinctNeighbors(const std::vector<int>& row, int v, size_t n, std::vector<int>* out) {
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
  const size_t n = graph.labels.size();
  std::vector<int> distinctLabels;
  {
    std::unordered_map<int, int> seen;
    for (int label : graph.labels) {
      if (seen.emplace(label, 0).second) distinctLabels.push_back(label);
    }
  }
  std::sort(distinctLabels.begin(), distinctLabels.end());
  for (size_t i = 0; i < distinctLabels.size(); ++i) labelIds.emplace_hint(labelIds.end(), distinctLabels[i], static_cast<int>(i));
  {
    std::unordered_map<int, int> ids(labelIds.begin(), labelIds.end());
    vertexLabel.resize(n);
    for (size_t v = 0; v < n; ++v) vertexLabel[v] = ids[graph.labels[v]];
  }
  labelVertices.resize(distinctLabels.size());
  labelPosition.resize(n);
  for (size_t v = 0; v < n; ++v) {
    labelPosition[v] = static_cast<int>(labelVertices[vertexLabel[v]].size());
    labelVertices[vertexLabel[v]].push_back(static_cast<int>(v));
  }

  const size_t rows = std::min(n, graph.adjList.size());
  std::vector<int> row;
  offsets.assign(n + 1, 0);
  size_t groups = 0;
  for (size_t v = 0; v < rows; ++v) {
    distinctNeighbors(graph.adjList[v], static_cast<int>(v), n, &row);
    offsets[v + 1] = row.size();
  }
  for (size_t v = 0; v < n; ++v) offsets[v + 1] += offsets[v];

  adjacency.resize(offsets[n]);
  groupBegin.assign(n + 1, 0);
  groupLabel.reserve(offsets[n] / 2 + 1);
  groupStart.reserve(offsets[n] / 2 + 2);
  maxGroupSize.assign(distinctLabels.size(), 0);
  std::vector<uint64_t> keys, sortedKeys;
  std::vector<size_t> labelCounts(distinctLabels.size());
  for (size_t v = 0; v < rows; ++v) {
    const size_t size = static_cast<size_t>(offsets[v + 1] - offsets[v]);
    if (size == 0) {
      groupBegin[v + 1] = groups;
      continue;
    }
    distinctNeighbors(graph.adjList[v], static_cast<int>(v), n, &row);
    // The row is ascending by id, so ordering it by (label, id) is a stable sort by label: insertion
    // for short rows, counting for long ones when labels are few, a sort on combined keys otherwise.
    keys.resize(size);
    for (size_t i = 0; i < size; ++i) {
      keys[i] = (static_cast<uint64_t>(vertexLabel[row[i]]) << 32) | static_cast<uint32_t>(row[i]);
    }
    if (size <= 32) {
      for (size_t i = 1; i < size; ++i) {
        const uint64_t key = keys[i];
        size_t j = i;
        for (; j > 0 && keys[j - 1] > key; --j) keys[j] = keys[j - 1];
        keys[j] = key;
      }
    } else if (labelCounts.size() * 4 <= size) {
      std::fill(labelCounts.begin(), labelCounts.end(), 0);
      for (uint64_t key : keys) ++labelCounts[key >> 32];
      size_t at = 0;
      for (size_t& count : labelCounts) {
        const size_t here = count;
        count = at;
        at += here;
      }
      sortedKeys.resize(size);
      for (uint64_t key : keys) sortedKeys[labelCounts[key >> 32]++] = key;
      keys.swap(sortedKeys);
    } else {
      std::sort(keys.begin(), keys.end());
    }
    int* out = adjacency.data() + offsets[v];
    uint32_t previous = 0;
    for (size_t i = 0; i < size; ++i) {
      out[i] = static_cast<int>(static_cast<uint32_t>(keys[i]));
      const uint32_t label = static_cast<uint32_t>(keys[i] >> 32);
      if (i == 0 || label != previous) {
        groupLabel.push_back(label);
        groupStart.push_back(offsets[v] + i);
        ++groups;
      }
      previous = label;
    }
    groupBegin[v + 1] = groups;
  }
  for (size_t v = rows; v < n; ++v) groupBegin[v + 1] = groups;
  groupStart.push_back(adjacency.size());
  for (size_t g = 0; g + 1 < groupStart.size(); ++g) {
    uint32_t size = static_cast<uint32_t>(groupStart[g + 1] - groupStart[g]);
    maxGroupSize[groupLabel[g]] = std::max(maxGroupSize[groupLabel[g]], size);
  }
}
