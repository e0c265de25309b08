// DataIndex against the graph it indexes: for random graphs with repeated edges, self-loops, unsorted
// rows and vertices without rows, few labels and more than 256 of them, short rows and long ones with
// few or many label groups, every (vertex, label) range must be exactly the distinct neighbours of
// that label, ascending, and the degrees, label numbers and label lists must agree.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <random>
#include <set>

#include "data_index.h"
#include "graph.h"
#include "test_support.h"

namespace {

// A random graph: `labelBound` labels spread over negative and positive values, rows of mixed
// lengths (some a few hundred long), not every vertex with a row, and some rows left unsorted.
Graph randomGraph(std::mt19937& random, int n, int labelBound, bool sortRows) {
  Graph graph;
  for (int v = 0; v < n; ++v) graph.labels.push_back(static_cast<int>(random() % labelBound) * 7 - 10);
  graph.adjList.resize(static_cast<size_t>(n - static_cast<int>(random() % 3 == 0 ? random() % n : 0)));
  for (size_t u = 0; u < graph.adjList.size(); ++u) {
    const int entries = static_cast<int>(random() % 10 == 0 ? 40 + random() % 400 : random() % 8);
    for (int i = 0; i < entries; ++i) graph.adjList[u].push_back(static_cast<int>(random() % n));
    if (sortRows || random() % 2 == 0) std::sort(graph.adjList[u].begin(), graph.adjList[u].end());
  }
  return graph;
}

// Checks every query the search makes of the index against plain computations on the graph.
void expectIndexOf(const Graph& graph, const std::string& what) {
  const int n = static_cast<int>(graph.labels.size());
  const DataIndex index(graph);
  ASSERT_EQ(index.vertexCount(), static_cast<size_t>(n)) << what;
  // Label ids are dense and follow the order of the labels.
  const std::set<int> distinctLabels(graph.labels.begin(), graph.labels.end());
  int expectedId = 0;
  for (int label : distinctLabels) EXPECT_EQ(index.labelId(label), expectedId++) << what;
  EXPECT_EQ(index.labelId(12345), -1);
  for (int v = 0; v < n; ++v) {
    std::set<int> neighbours;
    if (static_cast<size_t>(v) < graph.adjList.size()) {
      for (int w : graph.adjList[v]) {
        if (w != v) neighbours.insert(w);
      }
    }
    ASSERT_EQ(index.degree(v), neighbours.size()) << what << " vertex " << v;
    std::map<int, std::vector<int>> byLabel;
    for (int w : neighbours) byLabel[graph.labels[w]].push_back(w);
    for (const auto& [label, expected] : byLabel) {
      const DataIndex::Range range = index.neighbors(v, index.labelId(label));
      ASSERT_EQ(std::vector<int>(range.begin, range.end), expected) << what << " vertex " << v << " label " << label;
    }
    // Labels of no neighbour: the smallest, the largest and those beside the present ones.
    for (int id : {0, static_cast<int>(distinctLabels.size()) - 1, index.labelId(graph.labels[v]) + 1}) {
      if (id < 0 || id >= static_cast<int>(distinctLabels.size())) continue;
      const int label = *std::next(distinctLabels.begin(), id);
      if (byLabel.count(label) == 0) {
        EXPECT_TRUE(index.neighbors(v, id).empty()) << what << " vertex " << v;
      }
    }
  }
  for (int label : distinctLabels) {
    std::vector<int> expected;
    for (int v = 0; v < n; ++v) {
      if (graph.labels[v] == label) expected.push_back(v);
    }
    EXPECT_EQ(index.verticesWithLabel(index.labelId(label)), expected) << what;
  }
}

}  // namespace

TEST(DataIndex, RangesAreTheDistinctNeighboursOfEachLabel) {
  std::mt19937 random(5);
  for (int round = 0; round < 200; ++round) {
    const int n = 1 + static_cast<int>(random() % 300);
    const int labelBound = 1 + static_cast<int>(random() % 6);
    expectIndexOf(randomGraph(random, n, labelBound, round % 2 == 0), "round " + std::to_string(round));
    if (testing::Test::HasFatalFailure()) return;
  }
}

// More than 256 labels need wide label numbers; long rows over many labels have too many groups for
// a table and are searched through the label numbers, those over few labels through their table.
TEST(DataIndex, ManyLabelsAndLongRowsOfFewOrManyGroups) {
  std::mt19937 random(8);
  for (int labelBound : {2, 255, 256, 257, 900}) {
    for (int round = 0; round < 6; ++round) {
      expectIndexOf(randomGraph(random, 1200, labelBound, round % 2 == 0),
                    std::to_string(labelBound) + " labels, round " + std::to_string(round));
      if (testing::Test::HasFatalFailure()) return;
    }
  }
  // One hub joined to every vertex, with runs of one label and single vertices of others.
  Graph star;
  const int n = 5000;
  for (int v = 0; v < n; ++v) star.labels.push_back(v % 100 == 0 ? v : 1);
  star.adjList.resize(n);
  for (int v = 1; v < n; ++v) {
    star.adjList[0].push_back(v);
    star.adjList[v].push_back(0);
  }
  expectIndexOf(star, "star");
}

TEST(DataIndex, EmptyGraphAndVerticesWithoutRows) {
  expectIndexOf(Graph(), "empty");
  Graph graph;
  graph.labels = {3, 3, 4};
  expectIndexOf(graph, "no rows");
  graph.adjList = {{1, 1, 0, 2}, {0, 0}};  // self-loop, repeats, an unsorted row; vertex 2 has no row
  expectIndexOf(graph, "two rows");
}

namespace {

// Two indexes answer every question the search asks alike.
void expectSameIndex(const DataIndex& actual, const DataIndex& expected, size_t labelCount, const std::string& what) {
  ASSERT_EQ(actual.vertexCount(), expected.vertexCount()) << what;
  ASSERT_EQ(actual.labelCount(), expected.labelCount()) << what;
  for (size_t l = 0; l < labelCount; ++l) {
    ASSERT_EQ(actual.verticesWithLabel(static_cast<int>(l)), expected.verticesWithLabel(static_cast<int>(l))) << what;
  }
  for (int v = 0; v < static_cast<int>(expected.vertexCount()); ++v) {
    ASSERT_EQ(actual.degree(v), expected.degree(v)) << what << " vertex " << v;
    ASSERT_EQ(actual.labelOf(v), expected.labelOf(v)) << what << " vertex " << v;
    ASSERT_EQ(actual.positionInLabel(v), expected.positionInLabel(v)) << what << " vertex " << v;
    const DataIndex::Range all = actual.allNeighbors(v), allExpected = expected.allNeighbors(v);
    ASSERT_EQ(std::vector<int>(all.begin, all.end), std::vector<int>(allExpected.begin, allExpected.end)) << what;
    for (size_t l = 0; l < labelCount; ++l) {
      const DataIndex::Range range = actual.neighbors(v, static_cast<int>(l));
      const DataIndex::Range wanted = expected.neighbors(v, static_cast<int>(l));
      ASSERT_EQ(std::vector<int>(range.begin, range.end), std::vector<int>(wanted.begin, wanted.end))
          << what << " vertex " << v << " label " << l;
    }
  }
}

}  // namespace

// An index built while the graph's rows are released equals one built from the intact graph; the
// graph keeps its labels, label indexes and revision and holds no rows afterwards. The large graph
// frees enough rows on the way for the freed memory to be handed back in between.
TEST(DataIndex, BuildingWhileReleasingTheRowsGivesTheSameIndex) {
  std::mt19937 random(13);
  std::vector<Graph> graphs;
  for (int round = 0; round < 40; ++round) {
    graphs.push_back(randomGraph(random, 1 + static_cast<int>(random() % 400), 1 + static_cast<int>(random() % 300),
                                 round % 2 == 0));
  }
  Graph large;
  const int n = 200000;
  for (int v = 0; v < n; ++v) large.labels.push_back(v % 5);
  large.adjList.resize(n);
  for (int v = 0; v < n; ++v) {
    for (int i = 0; i < 48; ++i) large.adjList[v].push_back(static_cast<int>(random() % n));
    std::sort(large.adjList[v].begin(), large.adjList[v].end());
  }
  graphs.push_back(std::move(large));
  for (size_t g = 0; g < graphs.size(); ++g) {
    Graph& graph = graphs[g];
    const DataIndex expected(graph);
    const Graph before = graph;
    const uint64_t revision = graph.revision();
    const std::set<int> labels(graph.labels.begin(), graph.labels.end());
    const DataIndex released(graph, true);
    expectSameIndex(released, expected, labels.size(), "graph " + std::to_string(g));
    if (testing::Test::HasFatalFailure()) return;
    EXPECT_TRUE(graph.rowsReleased());
    EXPECT_TRUE(graph.adjList.empty());
    EXPECT_EQ(graph.revision(), revision);
    EXPECT_EQ(graph.labels, before.labels);
    EXPECT_EQ(graph.labelVertices, before.labelVertices);
    EXPECT_EQ(graph.labelFreq, before.labelFreq);
  }
}

// Only an explicit release leaves a graph without rows; a copy of such a graph is one too, and
// reading a file gives the graph its rows back.
TEST(DataIndex, ReleasedRowsFollowCopiesAndEndWithARead) {
  Graph graph;
  graph.labels = {1, 2};
  graph.adjList = {{1}, {0}};
  EXPECT_FALSE(graph.rowsReleased());
  const DataIndex kept(graph, false);
  EXPECT_FALSE(graph.rowsReleased());
  EXPECT_EQ(graph.adjList, (std::vector<std::vector<int>>{{1}, {0}}));
  const DataIndex index(graph, true);
  EXPECT_TRUE(graph.rowsReleased());
  Graph copy;
  copy.copy(&graph);
  EXPECT_TRUE(copy.rowsReleased());
  EXPECT_NE(copy.revision(), graph.revision());
  bool read = true;
  captureStdout([&] { read = copy.read("/nonexistent/sgmatch-data"); });
  EXPECT_FALSE(read);
  EXPECT_FALSE(copy.rowsReleased());
}
