// Graph::copy, Graph::addEdge and Graph::checkEdge on graphs built member by member, so that the
// rows are exactly the ones a case needs (including a graph with fewer rows than labels).
#include <gtest/gtest.h>

#include <vector>

#include "graph.h"
#include "main.h"
#include "test_support.h"

namespace {

using Rows = std::vector<std::vector<int>>;

// Sets output_mark for one test and restores it afterwards.
class OutputMark {
 public:
  explicit OutputMark(int value) : saved(output_mark) { output_mark = value; }
  ~OutputMark() { output_mark = saved; }

 private:
  int saved;
};

Graph graphWithRows(const Rows& rows) {
  Graph graph;
  graph.labels.assign(rows.size(), 1);
  graph.adjList = rows;
  return graph;
}

// Four labelled vertices 0-1, 0-3 with its label indexes filled, as the reader leaves them.
Graph smallGraph() {
  Graph graph;
  graph.labels = {1, 2, 1, 2};
  graph.adjList = {{1, 3}, {0}, {}, {0}};
  graph.labelVertices = {{1, {0, 2}}, {2, {1, 3}}};
  graph.labelPairFreq = {{{1, 2}, 2}, {{2, 1}, 2}};
  graph.labelFreq = {{1, 2}, {2, 2}};
  return graph;
}

void expectSameGraph(const Graph& actual, const Graph& expected) {
  EXPECT_EQ(actual.labels, expected.labels);
  EXPECT_EQ(actual.adjList, expected.adjList);
  EXPECT_EQ(actual.labelVertices, expected.labelVertices);
  EXPECT_EQ(actual.labelPairFreq, expected.labelPairFreq);
  EXPECT_EQ(actual.labelFreq, expected.labelFreq);
}

}  // namespace

TEST(GraphAddEdge, InsertsOnceAndKeepsRowsAscending) {
  OutputMark mark(0);
  Graph graph = graphWithRows({{1, 3}, {0}, {}, {0}});
  std::string printed = captureStdout([&] { EXPECT_TRUE(graph.addEdge(2, 0)); });
  EXPECT_EQ(printed, "");
  EXPECT_EQ(graph.adjList, (Rows{{1, 2, 3}, {0}, {0}, {0}}));

  EXPECT_FALSE(graph.addEdge(2, 0));
  EXPECT_FALSE(graph.addEdge(0, 2));
  EXPECT_EQ(graph.adjList, (Rows{{1, 2, 3}, {0}, {0}, {0}}));
  EXPECT_TRUE(graph.checkEdge(0, 2));
  EXPECT_TRUE(graph.checkEdge(2, 0));
  EXPECT_FALSE(graph.checkEdge(1, 3));
  EXPECT_FALSE(graph.checkEdge(3, 1));
  // Row 0 is longer than the rows of its neighbours: each edge is found from either end, whichever
  // row the test scans.
  for (int v : {1, 2, 3}) EXPECT_TRUE(graph.checkEdge(v, 0) && graph.checkEdge(0, v)) << v;
  EXPECT_FALSE(graph.checkEdge(2, 3));
}

TEST(GraphAddEdge, IdsWithoutARowAreOutOfRange) {
  OutputMark mark(1);
  Graph graph = graphWithRows({{1}, {0}, {}});
  std::string printed = captureStdout([&] {
    for (int bad : {-1, 3, 1 << 30}) {
      EXPECT_FALSE(graph.addEdge(bad, 0)) << bad;
      EXPECT_FALSE(graph.addEdge(0, bad)) << bad;
      EXPECT_TRUE(graph.checkEdge(bad, 0)) << bad;
      EXPECT_TRUE(graph.checkEdge(0, bad)) << bad;
    }
  });
  EXPECT_EQ(printed, "");
  EXPECT_EQ(graph.adjList, (Rows{{1}, {0}, {}}));

  // Labels alone do not make vertices: without rows every pair is out of range.
  Graph noRows;
  noRows.labels = {4, 4, 4};
  for (int u = 0; u < 3; ++u) {
    for (int v = 0; v < 3; ++v) {
      EXPECT_FALSE(noRows.addEdge(u, v));
      EXPECT_TRUE(noRows.checkEdge(u, v));
    }
  }
  EXPECT_TRUE(noRows.adjList.empty());
}

TEST(GraphAddEdge, EchoesInsertedEdgesUnderOutputMark) {
  OutputMark mark(1);
  Graph graph = graphWithRows(Rows(6));
  EXPECT_EQ(captureStdout([&] { EXPECT_TRUE(graph.addEdge(3, 5)); }), "add edge: 3, 5\n");
  EXPECT_EQ(captureStdout([&] { EXPECT_FALSE(graph.addEdge(5, 3)); }), "");
  EXPECT_EQ(graph.adjList[3], (std::vector<int>{5}));
  EXPECT_EQ(graph.adjList[5], (std::vector<int>{3}));
}

TEST(GraphAddEdge, SelfLoopAppearsTwiceInItsRow) {
  Graph graph = graphWithRows({{1}, {0, 2}, {1}});
  EXPECT_FALSE(graph.checkEdge(1, 1));
  EXPECT_TRUE(graph.addEdge(1, 1));
  EXPECT_EQ(graph.adjList[1], (std::vector<int>{0, 1, 1, 2}));
  EXPECT_TRUE(graph.checkEdge(1, 1));
  EXPECT_FALSE(graph.addEdge(1, 1));
  EXPECT_EQ(graph.adjList[1], (std::vector<int>{0, 1, 1, 2}));
}

TEST(GraphAddEdge, ChangesOnlyTheRows) {
  Graph graph = smallGraph();
  Graph expected = smallGraph();
  expected.adjList = {{1, 3}, {0, 2}, {1}, {0}};
  EXPECT_TRUE(graph.addEdge(1, 2));
  expectSameGraph(graph, expected);
}

TEST(GraphCopy, MakesAnIndependentCopy) {
  Graph source = smallGraph();
  Graph copy = graphWithRows({{1}, {0}, {}, {}, {}, {}, {}});
  copy.labelFreq = {{9, 7}};
  copy.copy(&source);
  expectSameGraph(copy, source);

  EXPECT_TRUE(copy.addEdge(2, 3));
  copy.labelVertices[1].push_back(5);
  EXPECT_EQ(source.adjList, (Rows{{1, 3}, {0}, {}, {0}}));
  EXPECT_EQ(source.labelVertices.at(1), (std::vector<int>{0, 2}));

  // Editing the source afterwards does not show in the copy either.
  EXPECT_TRUE(source.addEdge(1, 3));
  EXPECT_EQ(copy.adjList[1], (std::vector<int>{0}));
}

TEST(GraphCopy, FromAnEmptyGraphAndOntoItself) {
  Graph graph = smallGraph();
  graph.copy(&graph);
  expectSameGraph(graph, smallGraph());
  Graph empty;
  graph.copy(&empty);
  expectSameGraph(graph, empty);
}
