// Query: the query file reader and its refusals, the symmetry summaries, the subgraph output
// writers, the matching order (against a plain rendering of its rules on random queries), the
// renumbering along it, and the enumeration with its statistics file and subgraph record.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "graph.h"
#include "main.h"
#include "query.h"
#include "brute_force.h"
#include "test_support.h"

namespace {

using Rows = std::vector<std::vector<int>>;
using Ints = std::vector<int>;

class QueryTest : public testing::Test {
 protected:
  void TearDown() override { output_mark = 0; }

  // Writes the query file and opens a Query on it, with its outputs in the temporary directory.
  std::unique_ptr<Query> open(const std::string& text, uint64_t limit = UINT64_MAX) {
    writeFile(dir.file("query"), text);
    return std::make_unique<Query>(dir.file("query"), dir.file("subgraphs"), dir.file("stats"), limit);
  }

  // Reads the next query and returns what the reader printed.
  static std::string readNext(Query& query, bool expected = true) {
    bool result = !expected;
    std::string output = captureStdout([&] { result = query.read(); });
    EXPECT_EQ(result, expected);
    return output;
  }

  Graph loadGraph(const std::string& text) {
    writeFile(dir.file("data"), text);
    Graph graph;
    EXPECT_TRUE(graph.read(dir.file("data").c_str()));
    return graph;
  }

  // Reads the only query of `text` and matches it; returns the count and fills `output`.
  uint64_t matchOnly(const std::string& text, Graph& graph, std::string* output = nullptr,
                     uint64_t limit = UINT64_MAX) {
    auto query = open(text, limit);
    readNext(*query);
    uint64_t frequency = 0;
    std::string printed = captureStdout([&] { frequency = query->match(&graph); });
    if (output != nullptr) *output = printed;
    return frequency;
  }

  std::string statsFile(int number) const { return dir.file("stats/" + std::to_string(number)); }
  std::vector<std::string> statsListing() const { return listDirectory(dir.file("stats")); }
  std::string subgraphs() const { return readFile(dir.file("subgraphs")); }

  TempDir dir;
};

const char* const triangleData = "v 0 5\nv 1 5\nv 2 5\ne 0 1\ne 1 2\ne 0 2\n";
const char* const edgeWithSymmetry = "v 0 5\nv 1 5\ne 0 1\na 0 1\na 0 1\n";
const char* const edgeWithSymmetryRecord = "#\t0\t2\t1\nT\t5\t5\nE\t0\t1\t1\t0\nS\t1\nC\t0\t0\nF\t3\n";

// Runs `action` with standard input reading `input`; returns what it left unread.
std::string withStdin(const std::string& input, const std::function<void()>& action) {
  char name[] = "/tmp/sgmatch-stdin-XXXXXX";
  int fd = mkstemp(name);
  EXPECT_EQ(write(fd, input.data(), input.size()), static_cast<ssize_t>(input.size()));
  lseek(fd, 0, SEEK_SET);
  int saved = dup(0);
  dup2(fd, 0);
  close(fd);
  clearerr(stdin);
  action();
  std::string rest;
  for (int c; (c = std::getc(stdin)) != EOF;) rest += static_cast<char>(c);
  dup2(saved, 0);
  close(saved);
  clearerr(stdin);
  unlink(name);
  return rest;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Reading

TEST_F(QueryTest, ReadSplitsTheFileAtSeparatorLines) {
  // A separator first, two in a row in the middle, and a last query without a separator.
  auto query = open("t # 0\nv 0 1\nt # 1\nt # 2\nv 0 2\nv 1 3\n");
  readNext(*query);
  EXPECT_TRUE(query->vertexLabels.empty());
  EXPECT_EQ(query->queryNumber, -1);
  readNext(*query);
  EXPECT_EQ(query->vertexLabels, Ints{1});
  EXPECT_EQ(query->queryNumber, 0);
  readNext(*query);
  EXPECT_TRUE(query->vertexLabels.empty());
  EXPECT_EQ(query->queryNumber, 0);
  readNext(*query);
  EXPECT_EQ(query->vertexLabels, (Ints{2, 3}));
  EXPECT_EQ(query->queryNumber, 1);
  readNext(*query, false);
  readNext(*query, false);
}

TEST_F(QueryTest, ReadOfAnEmptyFileGivesOneEmptyQuery) {
  auto query = open("");
  readNext(*query);
  EXPECT_TRUE(query->vertexLabels.empty());
  EXPECT_EQ(query->queryNumber, -1);
  readNext(*query, false);
}

TEST_F(QueryTest, ReadFillsLabelsRowsAndClasses) {
  auto query = open("t\nv 0 1\nv 1 1\ne 0 1\na 0 1\na 1 0\nt\nv 0 5\n");
  readNext(*query);
  readNext(*query);
  EXPECT_EQ(query->queryNumber, 0);
  EXPECT_EQ(query->vertexLabels, (Ints{1, 1}));
  EXPECT_EQ(query->neighbors, (Rows{{1}, {0}}));
  EXPECT_EQ(query->symClasses, (Rows{{0, 1}, {1, 0}}));
  EXPECT_EQ(query->edgeCount, 1);
  EXPECT_EQ(query->colors, (Ints{0, 0}));
  EXPECT_TRUE(query->problem.empty());
  readNext(*query);
  EXPECT_EQ(query->queryNumber, 1);
  EXPECT_EQ(query->vertexLabels, Ints{5});
  EXPECT_TRUE(query->neighbors.empty());
  EXPECT_TRUE(query->symClasses.empty());
  EXPECT_TRUE(query->colors.empty());
  EXPECT_EQ(query->edgeCount, 0);
  readNext(*query, false);
}

TEST_F(QueryTest, ReadLineRules) {
  struct Case {
    std::string text;
    Ints labels;
    Rows neighbors;
    Rows classes;
    int edgeCount;
  };
  const Case cases[] = {
      // the written id is not read
      {"v 7 3\nv 0 4\n", {3, 4}, {}, {}, 0},
      // an edge line given twice
      {"v 0 1\nv 1 1\ne 0 1\ne 1 0\n", {1, 1}, {{1, 1}, {0, 0}}, {}, 2},
      // "a" alone uses up its class
      {"v 0 1\nv 1 1\nv 2 1\na\na 0 2\n", {1, 1, 1}, {}, {{}, {0, 2}, {}}, 0},
      // no kind: a leading space or tab, other first characters, empty lines; "vx" is a vertex line
      {" v 0 9\n\tv 0 9\n# v\nV 0 9\n\nx\nvx 0 3\nv 1 4 extra\n", {3, 4}, {}, {}, 0},
      // carriage returns end the numbers
      {"v 0 5\r\nv 1 5\r\ne 0 1 7\r\na 0 1\r\na 1\r\n", {5, 5}, {{1}, {0}}, {{0, 1}, {1}}, 1},
      // tabs inside a token end its number; "a\t0" is the first token
      {"v 0 5\t9\nv 1 6\ne 1 0\t1\na\t0 1\n", {5, 6}, {{1}, {0}}, {{1}, {}}, 1},
      // 32-bit truncation
      {"v 0 4294967301\nv 1 -4294967291\nv 2 2147483648\n", {5, 5, INT_MIN}, {}, {}, 0},
      // edge and symmetry lines before the vertex lines they name
      {"e 0 1\na 1\ne 2 1\nv 0 1\nv 1 1\nv 2 2\n", {1, 1, 2}, {{1}, {0, 2}, {1}}, {{1}, {}, {}}, 2},
  };
  for (const Case& c : cases) {
    auto query = open(c.text);
    readNext(*query);
    EXPECT_EQ(query->vertexLabels, c.labels) << c.text;
    EXPECT_EQ(query->neighbors, c.neighbors) << c.text;
    EXPECT_EQ(query->symClasses, c.classes) << c.text;
    EXPECT_EQ(query->edgeCount, c.edgeCount) << c.text;
    EXPECT_TRUE(query->problem.empty()) << c.text << query->problem;
  }
}

TEST_F(QueryTest, ReadEchoesEveryLineUnderOmark) {
  output_mark = 1;
  auto query = open("v 0 1\nv 1 1\nv 2 1\ne 0 1\ne 1 2\nt 5\nv 0 4\n");
  EXPECT_EQ(readNext(*query),
            "v 0 1\nv 1 1\nv 2 1\ne 0 1\ne 1 2\nt 5\nquery #0\nnumber of vertices: 3\nnumber of edges: 2\n");
  // The read past the final newline yields an empty line, echoed too.
  EXPECT_EQ(readNext(*query), "v 0 4\n\nquery #1\nnumber of vertices: 1\nnumber of edges: 0\n");
  EXPECT_EQ(readNext(*query, false), "");
  // Without a final newline the last line is the last one echoed.
  query = open("v 0 4");
  EXPECT_EQ(readNext(*query), "v 0 4\nquery #0\nnumber of vertices: 1\nnumber of edges: 0\n");
}

TEST_F(QueryTest, ReadRefusesMalformedQueriesAndGoesOn) {
  struct Case {
    std::string text;
    std::string problem;  // after the path
  };
  const Case cases[] = {
      {"v 0 1\nv 1\n", ":2: vertex line with fewer than three fields"},
      {"v\t0\t1\nv 1 1\n", ":1: vertex line with fewer than three fields"},
      {"v 0 1\nv 1 1\ne 0\n", ":3: edge line with fewer than three fields"},
      {"v 0 1\nv 1 1\ne 0 2\n", ":3: edge endpoint 2 is not a vertex of the query (it has 2)"},
      {"v 0 1\nv 1 1\ne -1 0\n", ":3: edge endpoint -1 is not a vertex of the query (it has 2)"},
      {"v 0 1\nv 1 1\ne 1 1\n", ":3: self-loop edge on vertex 1"},
      {"v 0 1\nv 1 1\ne 0 1\na 1 2\n", ":4: symmetry class member 2 is not a vertex of the query (it has 2)"},
      {"v 0 1\nv 1 1\na -1\n", ":3: symmetry class member -1 is not a vertex of the query (it has 2)"},
      {"v 0 1\nv 1 1\na 0\na 1\na 0\n", ":5: more symmetry lines than vertices (2)"},
      // the earliest line decides
      {"v 0 1\ne 0 5\nv 1\n", ":2: edge endpoint 5 is not a vertex of the query (it has 2)"},
  };
  for (const Case& c : cases) {
    auto query = open(c.text + "t\nv 0 1\nv 1 1\ne 0 1\n");
    readNext(*query);
    EXPECT_EQ(query->queryNumber, 0) << c.text;
    EXPECT_EQ(query->problem, dir.file("query") + c.problem) << c.text;
    readNext(*query);
    EXPECT_EQ(query->queryNumber, 1) << c.text;
    EXPECT_TRUE(query->problem.empty()) << c.text;
    EXPECT_EQ(query->neighbors, (Rows{{1}, {0}})) << c.text;
  }
}

TEST_F(QueryTest, AQueryOfMalformedVertexLinesStillCountsAsAQuery) {
  auto query = open("v 0\nt\nv 0 1\n");
  readNext(*query);
  EXPECT_EQ(query->queryNumber, 0);
  EXPECT_EQ(query->vertexLabels.size(), 1u);
  EXPECT_EQ(query->problem, dir.file("query") + ":1: vertex line with fewer than three fields");
  readNext(*query);
  EXPECT_EQ(query->queryNumber, 1);
}

TEST(QueryDeathTest, FilesThatCannotBeOpenedEndTheRun) {
  TempDir dir;
  const std::string missing = dir.file("absent");
  auto construct = [&](const std::string& queryPath, const std::string& subgraphPath) {
    stdoutToStderr();
    Query query(queryPath, subgraphPath, dir.file("stats"), 1);
  };
  EXPECT_EXIT(construct(missing, dir.file("subgraphs")), testing::ExitedWithCode(255),
              "^Query cannot open " + missing + "\n$");
  EXPECT_EXIT(construct(dir.file("stats"), dir.file("subgraphs")), testing::ExitedWithCode(255),
              "^Query cannot open " + dir.file("stats") + "\n$");
  writeFile(dir.file("query"), "v 0 1\n");
  const std::string unwritable = dir.file("no/subgraphs");
  EXPECT_EXIT(construct(dir.file("query"), unwritable), testing::ExitedWithCode(255),
              "^Subgraph cannot open " + unwritable + "\n$");
  EXPECT_EXIT(
      {
        stdoutToStderr();
        Query query("/proc/self/mem", dir.file("subgraphs"), dir.file("stats"), 1);
        query.read();
      },
      testing::ExitedWithCode(255), "^Query cannot read /proc/self/mem after line 0: Input/output error\n$");
}

// ---------------------------------------------------------------------------------------------
// Symmetry classes

TEST(QuerySymmetry, CheckSymestryAndSymColor) {
  struct Case {
    Rows classes;
    bool symmetric;
    Ints colors;
  };
  const Case cases[] = {
      {{}, false, {}},
      {{{0}, {1}, {2}}, false, {0, 1, 2}},
      {{{0, 2}, {1}, {2, 0}}, true, {0, 1, 0}},
      {{{}, {5}}, false, {0, 1}},
      {{{3}, {0}}, false, {0, 0}},
      {{{1, 1}}, true, {0}},
      {{{0}, {1}, {1, 2}}, true, {0, 1, 1}},
      {{{-4}, {}}, false, {-4, 1}},
  };
  for (const Case& c : cases) {
    Query query;
    query.colors = {7, 7, 7, 7};
    query.symClasses = c.classes;
    EXPECT_EQ(query.checkSymestry(), c.symmetric) << testing::PrintToString(c.classes);
    query.symColor();
    EXPECT_EQ(query.colors, c.colors) << testing::PrintToString(c.classes);
  }
}

// ---------------------------------------------------------------------------------------------
// Subgraph output writers

TEST_F(QueryTest, WritersFormatTheRecord) {
  auto query = open("");
  query->queryNumber = 0;
  query->vertexLabels = {1, 1};
  query->neighbors = {{1}, {0}};
  query->symClasses = {{0, 1}, {0, 1}};
  query->edgeCount = 1;
  query->frequency = 5;
  query->colors = {9, 9, 9};
  query->writeQuery();
  query->writeFrequency();
  EXPECT_EQ(subgraphs(), "#\t0\t2\t1\nT\t1\t1\nE\t0\t1\t1\t0\nS\t1\nC\t0\t0\nF\t5\n");
  EXPECT_EQ(query->colors, (Ints{0, 0})) << "writeQuery recomputes the colours";

  // writeColors writes the colours as they stand, not as the classes would give them.
  query->symClasses = {{}, {}};
  query->writeColors();
  EXPECT_EQ(subgraphs(), "#\t0\t2\t1\nT\t1\t1\nE\t0\t1\t1\t0\nS\t1\nC\t0\t0\nF\t5\nC\t0\t0\n");
}

TEST_F(QueryTest, WritersEdgeCasesOfTheRecord) {
  struct Case {
    int number;
    Ints labels;
    Rows neighbors;
    Rows classes;
    int edgeCount;
    uint64_t frequency;
    std::string record;
  };
  const Case cases[] = {
      {3, {2, 2}, {{1}, {0}}, {{0}, {1}}, 1, 2, "#\t3\t2\t1\nT\t2\t2\nE\t0\t1\t1\t0\nS\t0\nC\t0\t1\nF\t2\n"},
      {0, {4}, {}, {}, 0, 1, "#\t0\t1\t0\nT\t4\nE\nS\t0\nC\nF\t1\n"},
      {1, {1, 1, 1}, {{}, {}, {2, 2}}, {}, 1, 1, "#\t1\t3\t1\nT\t1\t1\t1\nE\t2\t2\t2\t2\nS\t0\nC\nF\t1\n"},
      {0, {-3, INT_MIN}, {{1}, {0}}, {{-4}, {1}}, 1, uint64_t{1} << 40,
       "#\t0\t2\t1\nT\t-3\t-2147483648\nE\t0\t1\t1\t0\nS\t0\nC\t-4\t1\nF\t1099511627776\n"},
      {0, {}, {}, {}, 0, UINT64_MAX, "#\t0\t0\t0\nT\nE\nS\t0\nC\nF\t18446744073709551615\n"},
  };
  for (const Case& c : cases) {
    auto query = open("");
    query->queryNumber = c.number;
    query->vertexLabels = c.labels;
    query->neighbors = c.neighbors;
    query->symClasses = c.classes;
    query->edgeCount = c.edgeCount;
    query->frequency = c.frequency;
    query->writeQuery();
    query->writeFrequency();
    EXPECT_EQ(subgraphs(), c.record);
  }
}

TEST(QueryDeathTest, ASubgraphWriteErrorEndsTheRun) {
  TempDir dir;
  writeFile(dir.file("query"), "");
  EXPECT_EXIT(
      {
        stdoutToStderr();
        Query query(dir.file("query"), "/dev/full", dir.file("stats"), 1);
        query.writeFrequency();
      },
      testing::ExitedWithCode(255), "^Subgraph cannot write /dev/full: No space left on device\n$");
}

// ---------------------------------------------------------------------------------------------
// Matching order

namespace {

struct Statistics {
  std::map<std::pair<int, int>, int> pairs;  // symmetric: both orders get the count
  std::map<int, int> labelCounts;
};

Graph graphWith(const Statistics& statistics) {
  Graph graph;
  for (const auto& [pair, count] : statistics.pairs) {
    graph.labelPairFreq[pair] = count;
    graph.labelPairFreq[{pair.second, pair.first}] = count;
  }
  graph.labelFreq = statistics.labelCounts;
  return graph;
}

Ints orderOf(const Ints& labels, const Rows& neighbors, Graph& graph) {
  Query query;
  query.vertexLabels = labels;
  query.neighbors = neighbors;
  query.matchingOrder = {9, 9, 9, 9, 9, 9, 9, 9, 9, 9};
  query.getOrder(&graph);
  return query.matchingOrder;
}

}  // namespace

TEST(QueryGetOrder, WorkedExamples) {
  Graph graph = graphWith({{{{1, 2}, 6}, {{2, 3}, 2}}, {{1, 3}, {2, 4}, {3, 1}}});
  // Seed 1-2 (pair count 2), then 0 through anchor 1 at ratio 6 / 4.
  EXPECT_EQ(orderOf({1, 2, 3}, {{1}, {0, 2}, {1}}, graph), (Ints{1, 2, 0}));
  EXPECT_EQ(orderOf({1, 2}, {{1}, {0}}, graph), (Ints{0, 1}));
  EXPECT_EQ(orderOf({1}, {{}}, graph), (Ints{0, 0})) << "a single vertex is named twice";
  // A pair that no data edge joins counts 0 and is the rarest.
  Graph sparse = graphWith({{{{1, 2}, 6}}, {{1, 3}, {2, 4}, {3, 1}}});
  EXPECT_EQ(orderOf({3, 2, 1}, {{1}, {0, 2}, {1}}, sparse), (Ints{0, 1, 2}));
  // Equal pair counts: the neighbour whose edge line came first.
  Graph ties = graphWith({{{{1, 2}, 5}}, {{1, 1}, {2, 2}}});
  EXPECT_EQ(orderOf({1, 2, 2}, {{2, 1}, {0}, {0}}, ties), (Ints{0, 2, 1}));
  EXPECT_EQ(orderOf({1, 2, 2}, {{1, 2}, {0}, {0}}, ties), (Ints{0, 1, 2}));
  // Ordering again gives the same order; nothing of an earlier query remains.
  Query query;
  query.vertexLabels = {1, 2, 3};
  query.neighbors = {{1}, {0, 2}, {1}};
  query.getOrder(&graph);
  query.getOrder(&graph);
  EXPECT_EQ(query.matchingOrder, (Ints{1, 2, 0}));
  query.vertexLabels = {1, 2};
  query.neighbors = {{1}, {0}};
  query.getOrder(&graph);
  EXPECT_EQ(query.matchingOrder, (Ints{0, 1}));
}

TEST(QueryGetOrder, TheBestRatioIsHeldAsAnInteger) {
  // Seed 0-1; anchor 0 offers vertex 2 at ratio x / 10, anchor 1 offers vertex 3 at y / 10.
  struct Case {
    int x, y;
    Ints order;
  };
  const Case cases[] = {
      {27, 25, {0, 1, 2, 3}},  // 2.7 sets the bar to 2; 2.5 is not below it
      {27, 19, {0, 1, 3, 2}},  // 1.9 is
      {30, 29, {0, 1, 3, 2}},  // 3.0 sets the bar to 3; 2.9 is below
      {25, 27, {0, 1, 2, 3}},
  };
  for (const Case& c : cases) {
    Graph graph = graphWith({{{{1, 2}, 1}, {{1, 3}, c.x}, {{2, 4}, c.y}}, {{1, 10}, {2, 10}, {3, 1}, {4, 1}}});
    EXPECT_EQ(orderOf({1, 2, 3, 4}, {{1, 2}, {0, 3}, {0}, {1}}, graph), c.order) << c.x << " " << c.y;
  }
}

TEST(QueryGetOrder, OrdersEveryVertexOnceWithoutAFiniteRatio) {
  // Disconnected: after the component of the seed 2-3, the lowest unordered vertex, then its neighbour.
  Graph twoLabels = graphWith({{{{1, 1}, 10}, {{2, 2}, 4}}, {{1, 5}, {2, 5}}});
  EXPECT_EQ(orderOf({1, 1, 2, 2}, {{1}, {0}, {3}, {2}}, twoLabels), (Ints{2, 3, 0, 1}));
  EXPECT_EQ(orderOf({1, 1, 1}, {{}, {2}, {1}}, twoLabels), (Ints{1, 2, 0}));
  // No edges: vertex 0 alone, then the others in turn.
  EXPECT_EQ(orderOf({2, 1, 2}, {{}, {}, {}}, twoLabels), (Ints{0, 1, 2}));
  EXPECT_EQ(orderOf({2, 1, 2}, {}, twoLabels), (Ints{0, 1, 2})) << "missing rows count as empty";
  // Anchor 1 carries label 9, absent from the label counts: its offers (4, then 3) are never taken;
  // the lowest unordered vertex is.
  Graph absent = graphWith({{{{1, 2}, 100}, {{9, 3}, 1}}, {{1, 1}, {2, 1}, {3, 1}}});
  EXPECT_EQ(orderOf({1, 9, 2, 3, 3}, {{1, 2}, {0, 4, 3}, {0}, {1}, {1}}, absent), (Ints{0, 1, 2, 3, 4}));
}

TEST(QueryGetOrder, MatchesThePlainRulesOnRandomQueries) {
  std::mt19937 random(17);
  for (int round = 0; round < 3000; ++round) {
    const int n = 2 + static_cast<int>(random() % 7);
    const int labelKinds = 1 + static_cast<int>(random() % 4);
    Ints labels(n);
    for (int& label : labels) label = static_cast<int>(random() % labelKinds);
    Rows rows(n);
    const int edges = static_cast<int>(random() % (2 * n));
    for (int e = 0; e < edges; ++e) {
      int u = static_cast<int>(random() % n), v = static_cast<int>(random() % n);
      if (u == v) continue;
      rows[u].push_back(v);
      rows[v].push_back(u);
    }
    Graph graph;
    for (int a = 0; a < labelKinds; ++a) {
      if (random() % 6 != 0) graph.labelFreq[a] = 1 + static_cast<int>(random() % 12);
      for (int b = a; b < labelKinds; ++b) {
        if (random() % 5 == 0) continue;
        int count = static_cast<int>(random() % 40);
        graph.labelPairFreq[{a, b}] = graph.labelPairFreq[{b, a}] = count;
      }
    }
    const Ints order = orderOf(labels, rows, graph);
    ASSERT_EQ(order, referenceOrder(labels, rows, graph)) << "round " << round;
    Ints sorted = order;
    std::sort(sorted.begin(), sorted.end());
    for (int i = 0; i < n; ++i) ASSERT_EQ(sorted[i], i) << "round " << round;
  }
}

// ---------------------------------------------------------------------------------------------
// Renumbering

TEST_F(QueryTest, ChangeOrderRenumbersAlongTheOrder) {
  output_mark = 1;
  Query query;
  query.vertexLabels = {1, 2, 3};
  query.neighbors = {{1}, {0, 2}, {1}};
  query.symClasses = {{0}, {2, 0}, {2}};
  query.matchingOrder = {1, 2, 0};
  bool accepted = false;
  EXPECT_EQ(captureStdout([&] { accepted = query.changeOrder(); }), "1\t2\t0\t\n");
  EXPECT_TRUE(accepted);
  EXPECT_EQ(query.orderPosition, (Ints{2, 0, 1}));
  EXPECT_EQ(query.vertexLabels, (Ints{2, 3, 1}));
  EXPECT_EQ(query.neighbors, (Rows{{1, 2}, {0}, {0}}));
  EXPECT_EQ(query.symClasses, (Rows{{1, 2}, {1}, {2}}));
  EXPECT_EQ(query.matchingOrder, (Ints{1, 2, 0}));

  // The identity sorts the rows and keeps repeated entries.
  output_mark = 0;
  query.vertexLabels = {4, 5, 6};
  query.neighbors = {{2, 1, 1}, {0, 0}, {0}};
  query.symClasses = {{2, 0}, {}, {}};
  query.matchingOrder = {0, 1, 2};
  EXPECT_EQ(captureStdout([&] { accepted = query.changeOrder(); }), "");
  EXPECT_TRUE(accepted);
  EXPECT_EQ(query.vertexLabels, (Ints{4, 5, 6}));
  EXPECT_EQ(query.neighbors, (Rows{{1, 1, 2}, {0, 0}, {0}}));
  EXPECT_EQ(query.symClasses, (Rows{{0, 2}, {}, {}}));
}

TEST_F(QueryTest, ChangeOrderRefusesAnOrderOfTheWrongSize) {
  Query query;
  query.vertexLabels = {7};
  query.neighbors = {{}};
  query.symClasses = {{}};
  Graph graph;
  query.getOrder(&graph);
  ASSERT_EQ(query.matchingOrder, (Ints{0, 0}));
  bool accepted = true;
  std::string output;
  // It waits for one character of standard input and takes only that one.
  const std::string rest = withStdin("xy", [&] { output = captureStdout([&] { accepted = query.changeOrder(); }); });
  EXPECT_FALSE(accepted);
  EXPECT_EQ(output, "matching order size does not match the vertex number!\n");
  EXPECT_EQ(rest, "y");
  EXPECT_EQ(query.orderPosition, (Ints{1, 0}));
  EXPECT_EQ(query.vertexLabels, Ints{7});
  EXPECT_EQ(query.neighbors, Rows{{}});
}

// ---------------------------------------------------------------------------------------------
// Enumeration

TEST_F(QueryTest, MatchCountsAndListsTheTriangleExample) {
  Graph graph = loadGraph(triangleData);
  std::string output;
  EXPECT_EQ(matchOnly(edgeWithSymmetry, graph, &output), 3u);
  EXPECT_EQ(output, "");
  EXPECT_EQ(statsListing(), std::vector<std::string>{"0"}) << "no temporary file is left behind";
  EXPECT_EQ(readFile(statsFile(0)), "0\t1\n0\t2\n1\t2\n");
  EXPECT_EQ(subgraphs(), edgeWithSymmetryRecord);

  EXPECT_EQ(matchOnly("v 0 5\nv 1 5\ne 0 1\n", graph), 6u);
  EXPECT_EQ(readFile(statsFile(0)), "0\t1\n0\t2\n1\t0\n1\t2\n2\t0\n2\t1\n");
  EXPECT_EQ(subgraphs(), "#\t0\t2\t1\nT\t5\t5\nE\t0\t1\t1\t0\nS\t0\nC\t0\t1\nF\t6\n");
}

// A graph edited after the search index was built: the next match of either engine sees the edit,
// whether it came through addEdge, a copy into the same graph, or members changed directly and marked.
TEST_F(QueryTest, AGraphEditedBetweenMatchesReachesBothEngines) {
  const char* const triangleQuery = "v 0 5\nv 1 5\nv 2 5\ne 0 1\ne 1 2\ne 0 2\n";
  for (MatchEngine engine : {MatchEngine::fast, MatchEngine::literal}) {
    Graph graph = loadGraph("v 0 5\nv 1 5\nv 2 5\ne 0 1\ne 1 2\n");
    auto query = open(std::string(triangleQuery) + "t\n" + triangleQuery + "t\n" + triangleQuery + "t\n" + triangleQuery);
    query->engine = engine;
    if (engine == MatchEngine::fast) query->useDataGraph(&graph);
    auto matchNext = [&] {
      readNext(*query);
      return query->match(&graph);
    };
    EXPECT_EQ(matchNext(), 0u) << "a path holds no triangle";
    ASSERT_TRUE(graph.addEdge(0, 2));
    EXPECT_EQ(matchNext(), 6u) << "the edge added closes the triangle";
    Graph path = loadGraph("v 0 5\nv 1 5\nv 2 5\ne 0 1\ne 1 2\n");
    graph.copy(&path);
    EXPECT_EQ(matchNext(), 0u) << "the copy brought the path back";
    graph.adjList = {{1, 2}, {0, 2}, {0, 1}};
    graph.markChanged();
    EXPECT_EQ(matchNext(), 6u);
  }
}

TEST_F(QueryTest, MatchStopsWhenTheCountExceedsTheLimit) {
  Graph graph = loadGraph(triangleData);
  struct Case {
    uint64_t limit;
    uint64_t result;
    bool kept;
  };
  for (const Case& c : {Case{0, 1, false}, Case{2, 3, false}, Case{3, 3, true}, Case{4, 3, true}}) {
    writeFile(statsFile(0), "stale\n");
    EXPECT_EQ(matchOnly(edgeWithSymmetry, graph, nullptr, c.limit), c.result) << "limit " << c.limit;
    if (c.kept) {
      EXPECT_EQ(statsListing(), std::vector<std::string>{"0"});
      EXPECT_EQ(readFile(statsFile(0)), "0\t1\n0\t2\n1\t2\n");
      EXPECT_EQ(subgraphs(), edgeWithSymmetryRecord);
    } else {
      EXPECT_EQ(statsListing(), std::vector<std::string>{}) << "limit " << c.limit;
      EXPECT_EQ(subgraphs(), "");
    }
  }
}

TEST_F(QueryTest, MatchCandidatesFollowEdgesLabelsAndInjectivity) {
  Graph triangle = loadGraph("v 0 1\nv 1 1\nv 2 1\ne 0 1\ne 1 2\ne 0 2\n");
  EXPECT_EQ(matchOnly("v 0 1\nv 1 1\nv 2 1\ne 0 1\ne 1 2\n", triangle), 6u) << "not induced";
  // A triangle of label 1 next to a pendant vertex of label 1 and one of label 2.
  Graph graph = loadGraph("v 0 1\nv 1 1\nv 2 1\nv 3 1\nv 4 2\ne 0 1\ne 0 2\ne 1 2\ne 2 3\ne 0 4\n");
  EXPECT_EQ(matchOnly("v 0 1\nv 1 1\nv 2 1\ne 0 1\ne 1 2\ne 0 2\n", graph), 6u);
  EXPECT_EQ(readFile(statsFile(0)), "0\t1\t2\n0\t2\t1\n1\t0\t2\n1\t2\t0\n2\t0\t1\n2\t1\t0\n");
  // A label that no data vertex carries: nothing at depth 0.
  EXPECT_EQ(matchOnly("v 0 8\nv 1 1\ne 0 1\n", graph), 0u);
  EXPECT_EQ(statsListing(), std::vector<std::string>{});
  EXPECT_EQ(subgraphs(), "");
}

TEST_F(QueryTest, MatchUsesEachDataEdgeOnceDespiteRepeatsAndSelfLoops) {
  // The triangle with the edge 0-1 three times and self-loops on 0 and 1.
  Graph graph = loadGraph("v 0 5\nv 1 5\nv 2 5\ne 0 1\ne 1 2\ne 0 2\ne 1 0\ne 0 1\ne 0 0\ne 1 1\ne 1 1\n");
  EXPECT_EQ(matchOnly(edgeWithSymmetry, graph), 3u);
  EXPECT_EQ(readFile(statsFile(0)), "0\t1\n0\t2\n1\t2\n");
  EXPECT_EQ(matchOnly("v 0 5\nv 1 5\nv 2 5\ne 0 1\ne 1 2\ne 0 2\n", graph), 6u);
  EXPECT_EQ(matchOnly("v 0 5\nv 1 5\nv 2 5\ne 0 1\ne 1 2\n", graph), 6u);
}

TEST_F(QueryTest, MatchCountsSingleVertexQueries) {
  Graph graph = loadGraph("v 0 5\nv 1 7\nv 2 5\nv 3 5\ne 0 1\n");
  std::string output;
  const std::string rest = withStdin("x", [&] { EXPECT_EQ(matchOnly("v 0 5\na 0\n", graph, &output), 3u); });
  EXPECT_EQ(output, "");
  EXPECT_EQ(rest, "x") << "no wait on standard input";
  EXPECT_EQ(readFile(statsFile(0)), "0\n2\n3\n");
  EXPECT_EQ(subgraphs(), "#\t0\t1\t0\nT\t5\nE\nS\t0\nC\t0\nF\t3\n");
  EXPECT_EQ(matchOnly("v 0 5\n", graph, nullptr, 2), 3u);
  EXPECT_EQ(statsListing(), std::vector<std::string>{});
  EXPECT_EQ(matchOnly("v 0 5\n", graph, nullptr, 3), 3u);
  EXPECT_EQ(statsListing(), std::vector<std::string>{"0"});
  EXPECT_EQ(matchOnly("v 0 6\n", graph), 0u);
  EXPECT_EQ(statsListing(), std::vector<std::string>{});
}

TEST_F(QueryTest, MatchCompletesMissingRowsAndOrdersDisconnectedQueries) {
  Graph graph = loadGraph(triangleData);
  // No edge line: every injective assignment; with symmetry lines half or a sixth of them. A class
  // member is enforced only from the row of the later vertex, so "a 1" on vertex 0 changes nothing.
  EXPECT_EQ(matchOnly("v 0 5\nv 1 5\n", graph), 6u);
  EXPECT_EQ(matchOnly("v 0 5\nv 1 5\na 1\n", graph), 6u);
  EXPECT_EQ(matchOnly("v 0 5\nv 1 5\na\na 0\n", graph), 3u);
  EXPECT_EQ(matchOnly("v 0 5\nv 1 5\nv 2 5\na\na 0\na 0 1\n", graph), 1u);
  // A vertex line after the last edge and symmetry lines: an isolated vertex with empty rows.
  EXPECT_EQ(matchOnly("v 0 5\nv 1 5\ne 0 1\na\na 0\nv 2 5\n", graph), 3u);
  EXPECT_EQ(readFile(statsFile(0)), "0\t1\t2\n0\t2\t1\n1\t2\t0\n");
  EXPECT_EQ(subgraphs(), "#\t0\t3\t1\nT\t5\t5\t5\nE\t0\t1\t1\t0\nS\t0\nC\t0\t0\t2\nF\t3\n");
  // Two components, the rarer one ordered first.
  Graph twoLabels = loadGraph("v 0 1\nv 1 1\nv 2 1\nv 3 2\nv 4 2\ne 0 1\ne 1 2\ne 0 2\ne 3 4\n");
  EXPECT_EQ(matchOnly("v 0 1\nv 1 1\nv 2 2\nv 3 2\ne 0 1\ne 2 3\n", twoLabels), 12u);
  EXPECT_EQ(readFile(statsFile(0)).substr(0, 16), "3\t4\t0\t1\n3\t4\t0\t2\n") << "order [2, 3, 0, 1]";
}

TEST_F(QueryTest, MatchOnAGraphWithVerticesWithoutRows) {
  // A caller may fill a graph whose rows stop before its last vertices.
  Graph graph;
  graph.labels = {5, 5, 5};
  graph.adjList = {{1}, {0}};
  graph.labelVertices = {{5, {0, 1, 2}}};
  graph.labelFreq = {{5, 3}};
  graph.labelPairFreq = {{{5, 5}, 2}};
  EXPECT_EQ(matchOnly("v 0 5\nv 1 5\ne 0 1\n", graph), 2u);
  EXPECT_EQ(matchOnly("v 0 5\nv 1 5\nv 2 5\ne 0 1\ne 1 2\n", graph), 0u);
  EXPECT_EQ(matchOnly("v 0 5\n", graph), 3u);
}

TEST_F(QueryTest, MatchReportsARefusedQueryAndLeavesNoFile) {
  Graph graph = loadGraph(triangleData);
  writeFile(statsFile(0), "stale\n");
  std::string output;
  EXPECT_EQ(matchOnly("v 0 5\nv 1 5\ne 1 1\na 0 1\na 0 1\n", graph, &output), 0u);
  EXPECT_EQ(output, "Query 0 refused: " + dir.file("query") + ":3: self-loop edge on vertex 1\n");
  EXPECT_EQ(statsListing(), std::vector<std::string>{});
  EXPECT_EQ(subgraphs(), "");  // reported as usual: the symmetry flag follows the classes as read
  auto query = open("v 0 5\nv 1 5\ne 1 1\na 0 1\na 0 1\n");
  readNext(*query);
  EXPECT_TRUE(query->checkSymestry());
}

TEST(QueryDeathTest, AMissingStatisticsDirectoryEndsTheRun) {
  TempDir dir;
  writeFile(dir.file("query"), edgeWithSymmetry);
  writeFile(dir.file("data"), triangleData);
  EXPECT_EXIT(
      {
        stdoutToStderr();
        Graph graph;
        graph.read(dir.file("data").c_str());
        Query query(dir.file("query"), dir.file("subgraphs"), dir.file("none"), UINT64_MAX);
        query.read();
        query.match(&graph);
      },
      testing::ExitedWithCode(255), "^Stats cannot open " + dir.file("none") + "/0\n$");
}
