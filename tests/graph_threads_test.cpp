// Graph::read with several threads against one thread and against the reading rules applied line by
// line: on seeded random files (CRLF and tab lines, vertex lines after edge lines, repeated edges,
// self-loops, a last line without newline, lines longer than a reader's buffer, bad lines anywhere)
// every member, the printed counts and the message about the first bad line must be the same.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "graph.h"
#include "settings.h"
#include "string_split.h"
#include "test_support.h"

namespace {

const int threadCounts[] = {1, 2, 3, 4, 7};

// What a read yields: its result, what it printed and the graph.
struct Outcome {
  bool accepted = false;
  std::string printed;
  Graph graph;
};

Outcome readWith(const std::string& path, int threads) {
  Outcome outcome;
  output_mark = 1;
  outcome.printed = captureStdout([&] { outcome.accepted = outcome.graph.read(path.c_str(), threads); });
  output_mark = 0;
  return outcome;
}

// The reading rules applied to one line at a time: the graph, or the message about the first bad line.
Outcome readPlainly(const std::string& path, const std::string& content) {
  Outcome outcome;
  Graph& g = outcome.graph;
  std::vector<std::string> tokens;
  long long lineNumber = 0, edges = 0;
  size_t start = 0;
  while (start < content.size()) {
    size_t newline = content.find('\n', start);
    if (newline == std::string::npos) newline = content.size();
    const std::string line = content.substr(start, newline - start);
    start = newline + 1;
    ++lineNumber;
    if (line.empty() || (line[0] != 'v' && line[0] != 'e')) continue;
    SplitStringUsing(line, " ", &tokens);
    const std::string where = path + ":" + std::to_string(lineNumber) + ": ";
    if (tokens.size() < 3) {
      outcome.printed = where + (line[0] == 'v' ? "vertex" : "edge") + " line with fewer than three fields\n";
      return outcome;
    }
    auto number = [&](int i) { return static_cast<int>(std::strtol(tokens[i].c_str(), nullptr, 10)); };
    if (line[0] == 'v') {
      g.labelVertices[number(2)].push_back(static_cast<int>(g.labels.size()));
      g.labels.push_back(number(2));
      ++g.labelFreq[number(2)];
      continue;
    }
    const int u = number(1), v = number(2), n = static_cast<int>(g.labels.size());
    for (int endpoint : {u, v}) {
      if (endpoint < 0 || endpoint >= n) {
        outcome.printed = where + "edge endpoint " + std::to_string(endpoint) + " is not a vertex (" + std::to_string(n) +
                          " vertex lines read so far)\n";
        return outcome;
      }
    }
    g.adjList.resize(g.labels.size());
    g.adjList[u].push_back(v);
    g.adjList[v].push_back(u);
    ++g.labelPairFreq[{g.labels[u], g.labels[v]}];
    ++g.labelPairFreq[{g.labels[v], g.labels[u]}];
    ++edges;
  }
  g.adjList.resize(g.labels.size());
  for (auto& row : g.adjList) std::sort(row.begin(), row.end());
  outcome.accepted = true;
  outcome.printed = "number of vertices: " + std::to_string(g.labels.size()) + "\nnumber of edges: " +
                    std::to_string(edges) + "\n";
  return outcome;
}

void expectSame(const Outcome& actual, const Outcome& expected, const std::string& what) {
  ASSERT_EQ(actual.printed, expected.printed) << what;
  ASSERT_EQ(actual.accepted, expected.accepted) << what;
  if (!expected.accepted) {
    EXPECT_TRUE(actual.graph.labels.empty() && actual.graph.adjList.empty()) << what;
    return;
  }
  ASSERT_EQ(actual.graph.labels, expected.graph.labels) << what;
  ASSERT_EQ(actual.graph.adjList, expected.graph.adjList) << what;
  ASSERT_EQ(actual.graph.labelVertices, expected.graph.labelVertices) << what;
  ASSERT_EQ(actual.graph.labelPairFreq, expected.graph.labelPairFreq) << what;
  ASSERT_EQ(actual.graph.labelFreq, expected.graph.labelFreq) << what;
}

// Reads the file with every thread count and compares each read with the plain reading.
void expectEveryThreadCountAgrees(const std::string& path, const std::string& content, const std::string& what) {
  const Outcome expected = readPlainly(path, content);
  for (int threads : threadCounts) {
    expectSame(readWith(path, threads), expected, what + ", " + std::to_string(threads) + " threads");
  }
}

// A random data file: mostly ordinary lines, some in other shapes the rules allow, and, when asked,
// one bad line (too short, or naming a vertex not read yet) at a random place.
class RandomDataFile {
 public:
  RandomDataFile(unsigned seed, bool withBadLine) : random(seed) {
    manyLabels = random() % 5 == 0;
    const int lines = 1 + static_cast<int>(random() % (random() % 4 == 0 ? 3000 : 120));
    write(lines, withBadLine ? static_cast<int>(random() % lines) : -1);
  }

  /// A file of `lines` lines whose line `badLine` (from 0; none when negative) is bad.
  RandomDataFile(unsigned seed, int lines, int badLine) : random(seed) { write(lines, badLine); }

  std::string text;

 private:
  void write(int lines, int badLine) {
    for (int i = 0; i < lines; ++i) {
      if (i == badLine) {
        text += badLineText();
      } else {
        text += ordinaryLine();
      }
      text += random() % 15 == 0 ? "\r\n" : "\n";
    }
    if (random() % 3 == 0 && !text.empty()) text.pop_back();  // no newline after the last line
  }

  std::string number(long long value) {
    switch (random() % 20) {
      case 0:
        return "+" + std::to_string(value);
      case 1:
        return "000" + std::to_string(value);
      case 2:
        return std::to_string(value) + "x";  // parsing stops at the first non-digit
      case 3: {
        // Leading zeros up to 7, 8, 9 or 10 digits in all.
        const std::string digits = std::to_string(value);
        const size_t width = 7 + random() % 4;
        return digits.size() < width ? std::string(width - digits.size(), '0') + digits : digits;
      }
      default:
        return std::to_string(value);
    }
  }

  std::string separator() {
    const unsigned kind = random() % 12;
    return kind == 0 ? "   " : kind == 1 ? " \t" : " ";
  }

  long long label() {
    long long value = manyLabels ? static_cast<long long>(random() % 1500) - 200 : static_cast<long long>(random() % 4);
    if (random() % 60 == 0) value += 4294967296LL;  // truncated to 32 bits
    return value;
  }

  std::string ordinaryLine() {
    const unsigned kind = random() % 20;
    if (kind < 6 || vertices == 0) {
      ++vertices;
      return std::string(random() % 10 == 0 ? "vertex" : "v") + separator() + std::to_string(random() % 50) +
             separator() + number(label()) + (random() % 8 == 0 ? " 17" : "");
    }
    if (kind < 17) {
      const long long u = random() % vertices;
      const long long v = random() % 6 == 0 ? u : static_cast<long long>(random() % vertices);
      lastEdge = "e" + separator() + number(u) + separator() + number(v);
      if (random() % 10 == 0) return lastEdge + " 3";
      if (random() % 60 == 0) return lastEdge + " " + std::string(5000 + random() % 10000, 'w');
      return lastEdge;
    }
    if (kind == 17 && !lastEdge.empty()) return lastEdge;  // a repeated edge
    const char* const others[] = {"", "# comment", " v 1 1", "\tv 0 1", "t 1 2", "x", "V 0 1", "\r"};
    return others[random() % 8];
  }

  std::string badLineText() {
    switch (random() % 4) {
      case 0:
        return "v " + std::to_string(random() % 9);
      case 1:
        return "e\t1\t2";
      case 2:
        return "e " + std::to_string(vertices + static_cast<long long>(random() % 3)) + " 0";  // not read yet
      default:
        return "e 0 -" + std::to_string(1 + random() % 5);
    }
  }

  std::mt19937 random;
  bool manyLabels = false;
  long long vertices = 0;
  std::string lastEdge;
};

}  // namespace

TEST(GraphReadThreads, AgreesWithOneThreadAndThePlainRulesOnRandomFiles) {
  TempDir dir;
  const std::string path = dir.file("data");
  for (unsigned seed = 0; seed < 400; ++seed) {
    const RandomDataFile file(seed, seed % 3 == 1);
    writeFile(path, file.text);
    expectEveryThreadCountAgrees(path, file.text, "seed " + std::to_string(seed));
    if (testing::Test::HasFatalFailure()) return;
  }
}

// Two bad lines: whichever comes first in the file is reported, whatever piece each falls in; an
// endpoint that names a vertex whose line comes later counts as bad, however many vertex lines the
// pieces before it hold.
TEST(GraphReadThreads, ReportsTheFirstOfSeveralBadLines) {
  TempDir dir;
  const std::string path = dir.file("data");
  std::mt19937 random(3);
  for (int round = 0; round < 200; ++round) {
    std::vector<std::string> lines;
    const int vertices = 1 + static_cast<int>(random() % 40);
    for (int v = 0; v < vertices; ++v) lines.push_back("v " + std::to_string(v) + " " + std::to_string(v % 3));
    for (int i = 0; i < 60; ++i) {
      lines.push_back("e " + std::to_string(random() % vertices) + " " + std::to_string(random() % vertices));
    }
    // Vertex lines after edge lines make later endpoints valid that earlier ones are not.
    const int late = static_cast<int>(random() % 5);
    for (int i = 0; i < late; ++i) {
      lines.insert(lines.begin() + static_cast<long>(vertices + random() % 60), "v 0 " + std::to_string(i));
    }
    const std::string bad[] = {"e 0", "v", "e " + std::to_string(vertices + late) + " 0",
                               "e 0 " + std::to_string(vertices + late - 1)};
    for (int k = 0; k < 2; ++k) lines.insert(lines.begin() + static_cast<long>(random() % lines.size()), bad[random() % 4]);
    std::string content;
    for (const std::string& line : lines) content += line + "\n";
    writeFile(path, content);
    expectEveryThreadCountAgrees(path, content, "round " + std::to_string(round));
    if (testing::Test::HasFatalFailure()) return;
  }
}

// Pieces cut at every byte of a short file: padding lines of growing length move the text across
// the boundaries between pieces, and more threads than lines leave pieces without a line start.
TEST(GraphReadThreads, BoundariesAtEveryByteAndMoreThreadsThanLines) {
  TempDir dir;
  const std::string path = dir.file("data");
  const std::string body = "v 0 1\nv 1 2\r\nv 2 1\ne 0 1\ne 2 1 5\ne 1 1\n\ne 0   2\nv 3 7\ne 3 0";
  for (size_t padding = 0; padding < 40; ++padding) {
    const std::string content = (padding == 0 ? "" : "#" + std::string(padding - 1, '-') + "\n") + body;
    writeFile(path, content);
    expectEveryThreadCountAgrees(path, content, "padding " + std::to_string(padding));
  }
  for (const std::string content : {"", "\n", "v 0 1", "v 0 1\n", "e 0 0\n", "v 0 1\ne 0 0", "v 0 -5\r\n"}) {
    writeFile(path, content);
    expectEveryThreadCountAgrees(path, content, testing::PrintToString(content));
  }
}

TEST(GraphReadThreads, ZeroThreadsMeansEveryHardwareThread) {
  TempDir dir;
  const RandomDataFile file(5, false);
  writeFile(dir.file("data"), file.text);
  expectSame(readWith(dir.file("data"), 0), readPlainly(dir.file("data"), file.text), "0 threads");
}

// A pipe has no size to split: it is read as one piece, with the same result.
TEST(GraphReadThreads, ReadsAPipeInOnePiece) {
  TempDir dir;
  const std::string path = dir.file("pipe");
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  // The reader stops at a bad line and closes the pipe while the writer may still be writing.
  const auto formerHandler = signal(SIGPIPE, SIG_IGN);
  for (bool withBadLine : {false, true}) {
    const RandomDataFile file(withBadLine ? 8 : 9, withBadLine);
    std::thread writer([&] { writeFile(path, file.text); });
    const Outcome outcome = readWith(path, 4);
    writer.join();
    expectSame(outcome, readPlainly(path, file.text), withBadLine ? "pipe with a bad line" : "pipe");
  }
  signal(SIGPIPE, formerHandler);
}

// Rows of a few thousand entries listed in random order, with repeats and self-loops, come out
// ascending whatever the width of the vertex ids (one, two and three sorting digits of 11 bits).
TEST(GraphReadThreads, LongRowsListedOutOfOrderComeOutAscending) {
  TempDir dir;
  std::mt19937 random(21);
  for (int vertices : {300, 70000, (1 << 22) + 3}) {
    std::string content;
    content.reserve(static_cast<size_t>(vertices) * 8 + 200000);
    for (int v = 0; v < vertices; ++v) content += "v 0 " + std::to_string(v % 3) + "\n";
    std::vector<std::vector<int>> expected(static_cast<size_t>(vertices));
    const int hubs[] = {0, vertices / 2, vertices - 1};
    std::map<std::pair<int, int>, int> pairs;
    for (int i = 0; i < 9000; ++i) {
      const int u = hubs[random() % 3];
      const int v = random() % 20 == 0 ? u : static_cast<int>(random() % static_cast<unsigned>(vertices));
      content += "e " + std::to_string(u) + " " + std::to_string(v) + "\n";
      expected[static_cast<size_t>(u)].push_back(v);
      expected[static_cast<size_t>(v)].push_back(u);
      ++pairs[{u % 3, v % 3}];
      ++pairs[{v % 3, u % 3}];
    }
    for (auto& row : expected) std::sort(row.begin(), row.end());
    writeFile(dir.file("data"), content);
    for (int threads : {1, 3}) {
      Graph graph;
      ASSERT_TRUE(graph.read(dir.file("data").c_str(), threads));
      ASSERT_EQ(graph.adjList.size(), expected.size());
      for (size_t v = 0; v < expected.size(); ++v) {
        ASSERT_EQ(graph.adjList[v], expected[v]) << "row " << v << " of " << vertices << ", " << threads << " threads";
      }
      EXPECT_EQ(graph.labelPairFreq, pairs);
    }
  }
}

// Files of tens of thousands of vertices, whose rows are filled in many blocks from several
// segments of each piece, with a bad line at the start, the end, about where a piece of two or
// three threads begins, or none.
TEST(GraphReadThreads, LargeFilesWithBadLinesAtChosenPlaces) {
  TempDir dir;
  const std::string path = dir.file("data");
  const int lines = 120000;
  for (int badLine : {-1, 0, lines / 3 - 1, lines / 3, lines / 2, lines / 2 + 1, 2 * lines / 3, lines - 1}) {
    const RandomDataFile file(static_cast<unsigned>(1000 + badLine), lines, badLine);
    writeFile(path, file.text);
    expectEveryThreadCountAgrees(path, file.text, "bad line " + std::to_string(badLine));
    if (testing::Test::HasFatalFailure()) return;
  }
}

TEST(GraphReadThreads, RefusesAVertexWithMoreEdgeEndsThanItsRowCounts) {
  // The reader counts each vertex's edge ends in 32 bits; with the most lowered to 5, vertex 1 with
  // six ends (repeats included) stands for one with 2^32, and the file is refused on every thread
  // count, with nothing kept; five ends are still read.
  TempDir dir;
  const std::string base = "v 0 1\nv 1 2\nv 2 1\nv 3 1\ne 1 0 0\ne 1 2 0\ne 1 3 0\ne 0 1 0\ne 2 1 0\n";
  writeFile(dir.file("crowded"), base + "e 3 1 0\n");
  writeFile(dir.file("full"), base);
  setMostEdgeEnds(5);
  for (int threads : threadCounts) {
    const Outcome refused = readWith(dir.file("crowded"), threads);
    EXPECT_FALSE(refused.accepted) << threads;
    EXPECT_EQ(refused.printed, "Graph cannot read " + dir.file("crowded") +
                                   ": vertex 1 has 6 or more edge ends (repeated edges included)\n")
        << threads;
    EXPECT_TRUE(refused.graph.labels.empty() && refused.graph.adjList.empty()) << threads;
    const Outcome read = readWith(dir.file("full"), threads);
    EXPECT_TRUE(read.accepted) << threads << read.printed;
    ASSERT_EQ(read.graph.adjList.size(), 4u);
    EXPECT_EQ(read.graph.adjList[1], (std::vector<int>{0, 0, 2, 2, 3})) << threads;
  }
  setMostEdgeEnds(UINT32_MAX);
}
