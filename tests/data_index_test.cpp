// DataIndex against the graph it indexes: for random graphs with repeated edges, self-loops and
// vertices without rows, every (vertex, label) range must be exactly the distinct neighbours of that
// label, ascending, and the degrees and label lists must agree.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "data_index.h"
#include "graph.h"

TEST(DataIndex, RangesAreTheDistinctNeighboursOfEachLabel) {
  std::mt19937 random(5);
  for (int round = 0; round < 200; ++round) {
    Graph graph;
    const int n = 1 + static_cast<int>(random() % 300);
    const int labelBound = 1 + static_cast<int>(random() % 6);
    for (int v = 0; v < n; ++v) graph.labels.push_back(static_cast<int>(random() % labelBound) * 7 - 10);
    // Some vertices get no row at all; rows may repeat neighbours and hold the vertex itself.
    graph.adjList.resize(static_cast<size_t>(n - static_cast<int>(random() % 3 == 0 ? random() % n : 0)));
    for (size_t u = 0; u < graph.adjList.size(); ++u) {
      // Mostly short rows, some long ones: the index orders both kinds its own way.
      const int entries = static_cast<int>(random() % 10 == 0 ? 40 + random() % 200 : random() % 8);
      for (int i = 0; i < entries; ++i) graph.adjList[u].push_back(static_cast<int>(random() % n));
      std::sort(graph.adjList[u].begin(), graph.adjList[u].end());
    }
    DataIndex index(graph);
    ASSERT_EQ(index.vertexCount(), static_cast<size_t>(n));
    std::set<int> distinctLabels(graph.labels.begin(), graph.labels.end());
    for (int v = 0; v < n; ++v) {
      std::set<int> neighbours;
      if (static_cast<size_t>(v) < graph.adjList.size()) {
        for (int w : graph.adjList[v]) {
          if (w != v) neighbours.insert(w);
        }
      }
      EXPECT_EQ(index.degree(v), neighbours.size());
      EXPECT_EQ(index.labelOf(v), index.labelId(graph.labels[v]));
      for (int label : distinctLabels) {
        std::vector<int> expected;
        for (int w : neighbours) {
          if (graph.labels[w] == label) expected.push_back(w);
        }
        DataIndex::Range range = index.neighbors(v, index.labelId(label));
        EXPECT_EQ(std::vector<int>(range.begin, range.end), expected) << "vertex " << v << " label " << label;
        EXPECT_LE(range.size(), index.maxNeighborsWithLabel(index.labelId(label)));
      }
    }
    for (int label : distinctLabels) {
      std::vector<int> expected;
      for (int v = 0; v < n; ++v) {
        if (graph.labels[v] == label) expected.push_back(v);
      }
      EXPECT_EQ(index.verticesWithLabel(index.labelId(label)), expected);
    }
    EXPECT_EQ(index.labelId(12345), -1);
  }
}
