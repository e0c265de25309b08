// Graph::read: the label indexes and neighbour rows it builds, the lines it skips, the malformed
// lines and unopenable files it refuses with a message, and a comparison with a plain line-by-line
// reader on random files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "graph.h"
#include "main.h"
#include "string_split.h"
#include "test_support.h"

namespace {

using Rows = std::vector<std::vector<int>>;
using PairFreq = std::map<std::pair<int, int>, int>;

class GraphRead : public testing::Test {
 protected:
  void TearDown() override { output_mark = 0; }

  // Writes `content` as the data file, reads it and returns what the reader printed.
  std::string load(const std::string& content, bool expectedResult = true) {
    writeFile(path(), content);
    bool result = false;
    std::string output = captureStdout([&] { result = graph.read(path().c_str()); });
    EXPECT_EQ(result, expectedResult) << content;
    return output;
  }
  std::string path() const { return dir.file("data"); }

  TempDir dir;
  Graph graph;
};

// The reading rules applied literally, one line at a time, as a reference.
Graph readPlainly(const std::string& content) {
  Graph g;
  std::istringstream in(content);
  std::string line;
  std::vector<std::string> tokens;
  while (std::getline(in, line)) {
    SplitStringUsing(line, " ", &tokens);
    if (tokens.size() < 3) continue;
    auto number = [&](int i) { return static_cast<int>(std::strtol(tokens[i].c_str(), nullptr, 10)); };
    if (line[0] == 'v') {
      int label = number(2);
      g.labelVertices[label].push_back(static_cast<int>(g.labels.size()));
      g.labels.push_back(label);
      ++g.labelFreq[label];
    } else if (line[0] == 'e') {
      int u = number(1), v = number(2);
      g.adjList.resize(g.labels.size());
      g.adjList[u].push_back(v);
      g.adjList[v].push_back(u);
      ++g.labelPairFreq[{g.labels[u], g.labels[v]}];
      ++g.labelPairFreq[{g.labels[v], g.labels[u]}];
    }
  }
  g.adjList.resize(g.labels.size());
  for (auto& row : g.adjList) std::sort(row.begin(), row.end());
  return g;
}

}  // namespace

TEST_F(GraphRead, EmptyFileGivesAnEmptyGraph) {
  output_mark = 1;
  EXPECT_EQ(load(""), "number of vertices: 0\nnumber of edges: 0\n");
  EXPECT_TRUE(graph.labels.empty());
  EXPECT_TRUE(graph.adjList.empty());
  EXPECT_TRUE(graph.labelVertices.empty());
  EXPECT_TRUE(graph.labelPairFreq.empty());
  EXPECT_TRUE(graph.labelFreq.empty());
}

TEST_F(GraphRead, VertexLinesAloneGiveEveryVertexAnEmptyRow) {
  EXPECT_EQ(load("v 7 3\nv 2 5\nv 0 3\n"), "");
  EXPECT_EQ(graph.labels, (std::vector<int>{3, 5, 3}));  // the written ids are not read
  EXPECT_EQ(graph.adjList, Rows(3));
  EXPECT_EQ(graph.labelVertices, (std::map<int, std::vector<int>>{{3, {0, 2}}, {5, {1}}}));
  EXPECT_EQ(graph.labelFreq, (std::map<int, int>{{3, 2}, {5, 1}}));
  EXPECT_TRUE(graph.labelPairFreq.empty());
}

TEST_F(GraphRead, EdgesFillSortedRowsAndCountLabelPairsFromBothEnds) {
  output_mark = 1;
  EXPECT_EQ(load("v 0 1\nv 1 1\nv 2 2\ne 1 2\ne 0 1\n"), "number of vertices: 3\nnumber of edges: 2\n");
  EXPECT_EQ(graph.adjList, (Rows{{1}, {0, 2}, {1}}));
  EXPECT_EQ(graph.labelPairFreq, (PairFreq{{{1, 1}, 2}, {{1, 2}, 1}, {{2, 1}, 1}}));
}

TEST_F(GraphRead, RepeatedEdgesAndSelfLoopsStayInTheRowsAndCounts) {
  output_mark = 1;
  EXPECT_EQ(load("v 0 1\nv 1 2\ne 0 1\ne 1 0\ne 0 0\n"), "number of vertices: 2\nnumber of edges: 3\n");
  EXPECT_EQ(graph.adjList, (Rows{{0, 0, 1, 1}, {0, 0}}));
  EXPECT_EQ(graph.labelPairFreq, (PairFreq{{{1, 1}, 2}, {{1, 2}, 2}, {{2, 1}, 2}}));
}

TEST_F(GraphRead, VerticesAfterTheLastEdgeGetRows) {
  EXPECT_EQ(load("v 0 1\nv 1 1\ne 0 1\nv 2 1\nv 3 4\n"), "");
  EXPECT_EQ(graph.adjList, (Rows{{1}, {0}, {}, {}}));
  EXPECT_EQ(graph.labelVertices[1], (std::vector<int>{0, 1, 2}));
}

TEST_F(GraphRead, SkipsLinesOfNoKnownKind) {
  const std::string content =
      "# a comment\n"
      "\n"
      " v 9 9\n"      // a leading space: no kind
      "x 1 2\n"
      "t 1 2\n"
      "V 0 8\n"
      "\tv 0 8\n"
      "v 0 5\n"
      "vertex 1 6\n"  // the first character decides, not the first token
      "e 0 1 17\n"    // an edge label is not read
      "edge 1 0\n"
      "\r\n"
      "v 2 4\r\n"     // the parse stops at the carriage return
      "e 2 0\r\n"
      "e 1 2";        // no final newline
  EXPECT_EQ(load(content), "");
  EXPECT_EQ(graph.labels, (std::vector<int>{5, 6, 4}));
  EXPECT_EQ(graph.adjList, (Rows{{1, 1, 2}, {0, 0, 2}, {0, 1}}));
}

TEST_F(GraphRead, LabelsAndEndpointsAreTruncatedTo32Bits) {
  EXPECT_EQ(load("v 0 -3\nv 1 4294967301\nv 2 2147483648\nv 3 abc\ne 4294967296 4294967297\n"), "");
  EXPECT_EQ(graph.labels, (std::vector<int>{-3, 5, -2147483647 - 1, 0}));
  EXPECT_EQ(graph.adjList, (Rows{{1}, {0}, {}, {}}));
  EXPECT_EQ(graph.labelFreq, (std::map<int, int>{{-2147483647 - 1, 1}, {-3, 1}, {0, 1}, {5, 1}}));
  EXPECT_EQ(graph.labelPairFreq, (PairFreq{{{-3, 5}, 1}, {{5, -3}, 1}}));
}

TEST_F(GraphRead, RefusesShortVertexAndEdgeLines) {
  struct Case {
    std::string content;
    std::string message;  // after the path
  };
  const Case cases[] = {
      {"v 0 1\nv 1\n", ":2: vertex line with fewer than three fields\n"},
      {"v\n", ":1: vertex line with fewer than three fields\n"},
      {"v 0 1\n\n# c\nv\t1\t1\n", ":4: vertex line with fewer than three fields\n"},
      {"v 0 1\nv 1 1\ne 1\n", ":3: edge line with fewer than three fields\n"},
      {"v 0 1\nv 1 1\ne 0\t1\n", ":3: edge line with fewer than three fields\n"},
      {"v 0 1\ne   \n", ":2: edge line with fewer than three fields\n"},
  };
  for (const Case& c : cases) {
    output_mark = 1;  // no counts are printed for a refused file
    graph = Graph();
    EXPECT_EQ(load(c.content, false), path() + c.message);
  }
}

TEST_F(GraphRead, RefusesEndpointsThatNameNoVertexReadSoFar) {
  struct Case {
    std::string content;
    std::string message;
  };
  const Case cases[] = {
      {"v 0 1\nv 1 1\ne 0 2\n", ":3: edge endpoint 2 is not a vertex (2 vertex lines read so far)\n"},
      {"v 0 1\nv 1 1\ne -1 0\n", ":3: edge endpoint -1 is not a vertex (2 vertex lines read so far)\n"},
      {"v 0 1\ne 0 1\nv 1 1\n", ":2: edge endpoint 1 is not a vertex (1 vertex lines read so far)\n"},
      {"e 0 0\n", ":1: edge endpoint 0 is not a vertex (0 vertex lines read so far)\n"},
      {"v 0 1\ne 0 4294967295\n", ":2: edge endpoint -1 is not a vertex (1 vertex lines read so far)\n"},
  };
  for (const Case& c : cases) {
    graph = Graph();
    EXPECT_EQ(load(c.content, false), path() + c.message);
  }
}

TEST_F(GraphRead, ReportsFilesThatCannotBeOpenedOrRead) {
  output_mark = 1;
  const std::string missing = dir.file("absent");
  std::string output = captureStdout([&] { EXPECT_FALSE(graph.read(missing.c_str())); });
  EXPECT_EQ(output, "Graph cannot open " + missing + "\n");
  EXPECT_TRUE(graph.labels.empty());

  const std::string directory = dir.file("stats");
  output = captureStdout([&] { EXPECT_FALSE(graph.read(directory.c_str())); });
  EXPECT_EQ(output, "Graph cannot open " + directory + "\n");

  // Opens, but the first read fails with EIO.
  output = captureStdout([&] { EXPECT_FALSE(graph.read("/proc/self/mem")); });
  EXPECT_EQ(output, "Graph cannot read /proc/self/mem after line 0: Input/output error\n");
}

TEST_F(GraphRead, MatchesAPlainReaderOnRandomFiles) {
  std::mt19937 random(99);
  for (int round = 0; round < 48; ++round) {
    // Few labels for the small rounds, more than a thousand distinct ones (and negative or huge
    // values) for the others, so that both ways of counting label pairs are exercised.
    const bool manyLabels = round % 6 == 5;
    const int vertexTarget = manyLabels ? 2500 : 1 + static_cast<int>(random() % 40);
    std::string content;
    int vertices = 0;
    while (vertices < vertexTarget) {
      const unsigned kind = random() % 10;
      if (kind < 4 || vertices == 0) {
        long long label = manyLabels ? static_cast<long long>(random() % 1500) - 300
                                     : static_cast<long long>(random() % 4);
        if (random() % 50 == 0) label += 4294967296LL * (1 + random() % 3);
        content += "v " + std::to_string(random() % 100) + " " + std::to_string(label) + "\n";
        ++vertices;
      } else if (kind < 9) {
        int u = static_cast<int>(random() % vertices);
        int v = random() % 8 == 0 ? u : static_cast<int>(random() % vertices);
        content += "e " + std::to_string(u) + "  " + std::to_string(v) + (random() % 2 ? " 3\n" : "\n");
      } else {
        content += random() % 2 ? "# note\n" : "\n";
      }
    }
    graph = Graph();
    load(content);
    const Graph expected = readPlainly(content);
    ASSERT_EQ(graph.labels, expected.labels) << "round " << round;
    ASSERT_EQ(graph.adjList, expected.adjList) << "round " << round;
    ASSERT_EQ(graph.labelVertices, expected.labelVertices) << "round " << round;
    ASSERT_EQ(graph.labelPairFreq, expected.labelPairFreq) << "round " << round;
    ASSERT_EQ(graph.labelFreq, expected.labelFreq) << "round " << round;
  }
}

// Rows come out ascending whatever the width of the vertex ids (one, two and three sorting digits
// of 11 bits), with repeats and self-loops kept, edges in random order across all the vertices.
TEST_F(GraphRead, RowsAreAscendingForEveryWidthOfIds) {
  std::mt19937 random(7);
  for (int vertices : {1, 2049, 70000, (1 << 22) + 3}) {
    std::string content;
    content.reserve(static_cast<size_t>(vertices) * 6 + 600000);
    for (int v = 0; v < vertices; ++v) content += "v 0 1\n";
    std::vector<std::vector<int>> expected(vertices);
    for (int i = 0; i < 20000; ++i) {
      // Half the edges touch the highest ids, where the extra sorting digits matter.
      const int u = static_cast<int>(random() % 2 ? random() % vertices : vertices - 1 - random() % std::min(vertices, 300));
      const int v = random() % 10 == 0 ? u : static_cast<int>(random() % vertices);
      content += "e " + std::to_string(u) + " " + std::to_string(v) + "\n";
      expected[u].push_back(v);
      expected[v].push_back(u);
    }
    for (auto& row : expected) std::sort(row.begin(), row.end());
    graph = Graph();
    load(content);
    ASSERT_EQ(graph.adjList.size(), expected.size()) << vertices << " vertices";
    for (int v = 0; v < vertices; ++v) ASSERT_EQ(graph.adjList[v], expected[v]) << "row " << v << " of " << vertices;
    EXPECT_EQ(graph.labelPairFreq[std::make_pair(1, 1)], 40000);
  }
}
