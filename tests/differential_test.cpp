// The tool against the brute-force references on seeded random small cases: random data graphs
// (with repeated edges and self-loops), random queries (disconnected, edgeless, single-vertex,
// labels the data lacks, random symmetry classes) and random limits. Every count, every statistics
// file and every subgraph record frequency must be what the references give.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <random>
#include <sstream>

#include "brute_force.h"
#include "graph.h"
#include "query.h"
#include "test_support.h"

namespace {

struct RandomCase {
  SmallGraph data;
  std::vector<SmallGraph> queries;
  uint64_t limit = UINT64_MAX;
};

RandomCase randomCase(uint32_t seed) {
  std::mt19937 random(seed);
  auto pick = [&](int bound) { return static_cast<int>(random() % static_cast<uint32_t>(bound)); };
  RandomCase c;
  const int dataSize = 1 + pick(12);
  const int labelCount = 1 + pick(3);
  for (int i = 0; i < dataSize; ++i) c.data.labels.push_back(pick(labelCount));
  const int dataEdges = pick(dataSize * 3 + 1);
  for (int i = 0; i < dataEdges; ++i) {
    int u = pick(dataSize), v = pick(dataSize);
    if (u == v && pick(8) != 0) continue;  // a few self-loops
    c.data.edges.push_back({u, v});
    if (pick(10) == 0) c.data.edges.push_back({v, u});  // repeated edges
  }
  const int queryCount = 1 + pick(4);
  for (int q = 0; q < queryCount; ++q) {
    SmallGraph query;
    const int size = pick(6) == 0 ? 1 : 2 + pick(4);
    const int labelBound = labelCount + (pick(6) == 0 ? 1 : 0);
    for (int i = 0; i < size; ++i) query.labels.push_back(pick(labelBound));
    for (int i = 1; i < size; ++i) {
      if (pick(7) != 0) query.edges.push_back({i, pick(i)});
    }
    const int extra = pick(size);
    for (int i = 0; i < extra; ++i) {
      int u = pick(size), v = pick(size);
      if (u != v) query.edges.push_back({u, v});
    }
    switch (pick(4)) {
      case 0:
        break;
      case 1:  // random members
        query.classes.resize(size);
        for (auto& members : query.classes) {
          for (int x = 0; x < size; ++x) {
            if (pick(3) == 0) members.push_back(x);
          }
        }
        break;
      case 2:  // every vertex with the vertices of its label
        query.classes.resize(size);
        for (int v = 0; v < size; ++v) {
          for (int x = 0; x < size; ++x) {
            if (query.labels[x] == query.labels[v]) query.classes[v].push_back(x);
          }
        }
        break;
      default:  // fewer symmetry lines than vertices
        query.classes.resize(pick(size));
        for (auto& members : query.classes) members.push_back(pick(size));
        break;
    }
    c.queries.push_back(query);
  }
  switch (pick(4)) {
    case 0:
      c.limit = UINT64_MAX;
      break;
    case 1:
      c.limit = static_cast<uint64_t>(pick(3));
      break;
    default:
      c.limit = static_cast<uint64_t>(1 + pick(30));
      break;
  }
  return c;
}

std::string listing(const std::vector<std::vector<int>>& embeddings, size_t count) {
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    for (size_t j = 0; j < embeddings[i].size(); ++j) {
      if (j > 0) text += '\t';
      text += std::to_string(embeddings[i][j]);
    }
    text += '\n';
  }
  return text;
}

// Runs one case through the library and checks it against the references. The directory is reused
// across cases (creating and removing directories is slow on some file systems).
void checkCase(uint32_t seed, const TempDir& dir) {
  RandomCase c = randomCase(seed);
  for (const std::string& name : listDirectory(dir.file("stats"))) std::remove(dir.file("stats/" + name).c_str());
  writeFile(dir.file("data"), dataFileText(c.data));
  writeFile(dir.file("query"), queryFileText(c.queries));
  Graph graph;
  ASSERT_TRUE(graph.read(dir.file("data").c_str()));
  std::string expectedFrequencies;
  {
    Query query(dir.file("query"), dir.file("subgraphs"), dir.file("stats"), c.limit);
    size_t index = 0;
    while (query.read()) {
      if (query.vertexLabels.empty()) continue;
      ASSERT_LT(index, c.queries.size());
      const SmallGraph& small = c.queries[index];
      const uint64_t frequency = query.match(&graph);
      std::vector<int> order = small.labels.size() == 1 ? std::vector<int>{0} : referenceOrder(small, graph);
      ASSERT_EQ(query.matchingOrder, order) << "seed " << seed << " query " << index;
      auto embeddings = bruteForceEmbeddings(small, c.data, order);
      const std::string statsPath = dir.file("stats/" + std::to_string(index));
      if (embeddings.size() > c.limit) {
        EXPECT_EQ(frequency, c.limit + 1) << "seed " << seed << " query " << index;
        EXPECT_FALSE(fileExists(statsPath)) << "seed " << seed << " query " << index;
      } else {
        EXPECT_EQ(frequency, embeddings.size()) << "seed " << seed << " query " << index;
        if (embeddings.empty()) {
          EXPECT_FALSE(fileExists(statsPath)) << "seed " << seed << " query " << index;
        } else {
          EXPECT_EQ(readFile(statsPath), listing(embeddings, embeddings.size()))
              << "seed " << seed << " query " << index;
          expectedFrequencies += "F\t" + std::to_string(embeddings.size()) + "\n";
        }
      }
      ++index;
    }
    EXPECT_EQ(index, c.queries.size());
  }
  std::istringstream records(readFile(dir.file("subgraphs")));
  std::string line, frequencies;
  while (std::getline(records, line)) {
    if (line.rfind("F\t", 0) == 0) frequencies += line + "\n";
  }
  EXPECT_EQ(frequencies, expectedFrequencies) << "seed " << seed;
  // Nothing but the kept listings is left in the statistics directory.
  for (const std::string& name : listDirectory(dir.file("stats"))) {
    EXPECT_NE(name[0], '.') << "seed " << seed << " left " << name;
  }
}

}  // namespace

TEST(Differential, MatchesTheBruteForceOnRandomSmallCases) {
  TempDir dir;
  for (uint32_t seed = 1; seed <= 3000; ++seed) {
    checkCase(seed, dir);
    if (HasFailure()) {
      ADD_FAILURE() << "first failing seed: " << seed;
      return;
    }
  }
}

namespace {

// A random data graph of a few hundred vertices and queries grown by random walks in it, so that
// most have embeddings; some queries get more than 64 vertices (the unfiltered search path).
RandomCase randomWalkCase(uint32_t seed) {
  std::mt19937 random(seed);
  auto pick = [&](int bound) { return static_cast<int>(random() % static_cast<uint32_t>(bound)); };
  RandomCase c;
  const bool large = pick(8) == 0;
  const int dataSize = 20 + pick(300);
  // Large queries go with many labels, so that the plain search stays quick.
  const int labelCount = large ? 12 + pick(8) : 1 + pick(4);
  std::vector<std::vector<int>> rows;
  c.data = randomDataGraph(pick, dataSize, labelCount, 4, &rows);
  const int queryCount = 1 + pick(4);
  for (int q = 0; q < queryCount; ++q) {
    c.queries.push_back(randomWalkQuery(pick, c.data, rows, large && q == 0 ? 65 + pick(20) : 2 + pick(6), 3));
  }
  c.limit = static_cast<uint64_t>(1 + pick(2000));
  return c;
}

struct RunOutput {
  std::vector<uint64_t> frequencies;
  std::vector<std::string> listings;
  std::string subgraphs;
};

RunOutput runEngine(const RandomCase& c, const TempDir& dir, MatchEngine engine) {
  for (const std::string& name : listDirectory(dir.file("stats"))) std::remove(dir.file("stats/" + name).c_str());
  Graph graph;
  graph.read(dir.file("data").c_str());
  RunOutput output;
  {
    Query query(dir.file("query"), dir.file("subgraphs"), dir.file("stats"), c.limit);
    query.engine = engine;
    while (query.read()) {
      if (query.vertexLabels.empty()) continue;
      output.frequencies.push_back(query.match(&graph));
      output.listings.push_back(readFile(dir.file("stats/" + std::to_string(query.queryNumber))));
    }
  }
  output.subgraphs = readFile(dir.file("subgraphs"));
  return output;
}

}  // namespace

TEST(Differential, FastEngineWritesWhatThePlainSearchWrites) {
  TempDir dir;
  int largeMatched = 0, pruned = 0, complete = 0;
  for (uint32_t seed = 1; seed <= 1500; ++seed) {
    RandomCase c = randomWalkCase(seed);
    writeFile(dir.file("data"), dataFileText(c.data));
    writeFile(dir.file("query"), queryFileText(c.queries));
    RunOutput literal = runEngine(c, dir, MatchEngine::literal);
    RunOutput fast = runEngine(c, dir, MatchEngine::fast);
    ASSERT_EQ(fast.frequencies, literal.frequencies) << "seed " << seed;
    for (size_t q = 0; q < fast.listings.size(); ++q) {
      ASSERT_EQ(fast.listings[q], literal.listings[q]) << "seed " << seed << " query " << q;
    }
    ASSERT_EQ(fast.subgraphs, literal.subgraphs) << "seed " << seed;
    for (size_t q = 0; q < c.queries.size(); ++q) {
      if (c.queries[q].labels.size() > 64 && fast.frequencies[q] > 0) ++largeMatched;
      if (fast.frequencies[q] > c.limit) ++pruned;
      if (fast.frequencies[q] > 0 && fast.frequencies[q] <= c.limit) ++complete;
    }
  }
  // The cases must exercise both search paths and both outcomes.
  EXPECT_GT(largeMatched, 20);
  EXPECT_GT(pruned, 100);
  EXPECT_GT(complete, 100);
}
