// EmbeddingCounter: counts against a brute-force counter on thousands of seeded random small cases
// (repeated data edges, self-loops, disconnected queries, random symmetry classes, limits), against
// the listing engine through Query::match, and targeted cases for each way of counting: the last
// level from its list size, trailing vertices sharing candidates, symmetry among them, counts past
// 2^64, the stop hook and counts split by roots.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <random>
#include <set>

#include "brute_force.h"
#include "collision_terms.h"
#include "data_index.h"
#include "embedding_counter.h"
#include "graph.h"
#include "query.h"
#include "test_support.h"

namespace {

using Rows = std::vector<std::vector<int>>;

// A query as the counter takes it: renumbered labels, neighbour rows and symmetry classes.
struct CountQuery {
  std::vector<int> labels;
  Rows neighbors;
  Rows classes;
};

Graph makeGraph(const SmallGraph& data) {
  Graph graph;
  graph.labels = data.labels;
  graph.adjList.assign(data.labels.size(), {});
  for (auto [u, v] : data.edges) {
    graph.adjList[u].push_back(v);
    graph.adjList[v].push_back(u);
  }
  for (auto& row : graph.adjList) std::sort(row.begin(), row.end());
  return graph;
}

// Every assignment checked constraint by constraint, in the numbering the counter takes.
uint64_t bruteForceCount(const CountQuery& query, const SmallGraph& data) {
  const int n = static_cast<int>(query.labels.size());
  const int size = static_cast<int>(data.labels.size());
  std::vector<std::vector<bool>> adjacent(size, std::vector<bool>(size, false));
  for (auto [u, v] : data.edges) {
    if (u != v) adjacent[u][v] = adjacent[v][u] = true;
  }
  std::vector<int> image(n);
  std::vector<bool> used(size, false);
  std::function<uint64_t(int)> assign = [&](int k) -> uint64_t {
    if (k == n) return 1;
    uint64_t total = 0;
    for (int d = 0; d < size; ++d) {
      if (used[d] || data.labels[d] != query.labels[k]) continue;
      bool fits = true;
      if (k < static_cast<int>(query.neighbors.size())) {
        for (int w : query.neighbors[k]) {
          if (w >= 0 && w < k && !adjacent[image[w]][d]) fits = false;
        }
      }
      if (k < static_cast<int>(query.classes.size())) {
        for (int x : query.classes[k]) {
          if (x >= 0 && x < k && image[x] >= d) fits = false;
        }
      }
      if (!fits) continue;
      used[d] = true;
      image[k] = d;
      total += assign(k + 1);
      used[d] = false;
    }
    return total;
  };
  return assign(0);
}

CountQuery randomQuery(std::mt19937& random, int labelCount) {
  auto pick = [&](int bound) { return static_cast<int>(random() % static_cast<uint32_t>(bound)); };
  CountQuery query;
  const int n = pick(8) == 0 ? 1 : 2 + pick(5);
  const int labelBound = labelCount + (pick(8) == 0 ? 1 : 0);
  const bool fewLabels = pick(3) == 0;  // many vertices of one label share candidates
  for (int i = 0; i < n; ++i) query.labels.push_back(fewLabels ? 0 : pick(labelBound));
  query.neighbors.assign(n, {});
  auto connect = [&](int u, int v) {
    query.neighbors[u].push_back(v);
    query.neighbors[v].push_back(u);
  };
  for (int i = 1; i < n; ++i) {
    if (pick(6) != 0) connect(i, pick(i));
  }
  const int extra = pick(n + 1);
  for (int i = 0; i < extra; ++i) {
    const int u = pick(n), v = pick(n);
    if (u != v) connect(u, v);  // may repeat an edge
  }
  if (pick(10) == 0 && n > 1) query.neighbors[1].push_back(1);  // a self entry, to be ignored
  for (auto& row : query.neighbors) std::sort(row.begin(), row.end());
  switch (pick(5)) {
    case 0:
      break;
    case 1:  // random entries, inert ones (x >= i) included
      query.classes.assign(n, {});
      for (auto& row : query.classes) {
        for (int x = 0; x < n; ++x) {
          if (pick(4) == 0) row.push_back(x);
        }
      }
      break;
    case 2:  // same-label vertices ordered
      query.classes.assign(n, {});
      for (int v = 0; v < n; ++v) {
        for (int x = 0; x < n; ++x) {
          if (query.labels[x] == query.labels[v]) query.classes[v].push_back(x);
        }
      }
      break;
    case 3:  // fewer rows than vertices
      query.classes.assign(pick(n + 1), {});
      for (auto& row : query.classes) row.push_back(pick(n));
      break;
    default:  // one chain of constraints
      query.classes.assign(n, {});
      for (int v = 1; v < n; ++v) {
        if (pick(2) == 0) query.classes[v].push_back(pick(v));
      }
      break;
  }
  return query;
}

SmallGraph randomData(std::mt19937& random, int labelCount, int maxSize) {
  auto pick = [&](int bound) { return static_cast<int>(random() % static_cast<uint32_t>(bound)); };
  SmallGraph data;
  const int size = 1 + pick(maxSize);
  for (int i = 0; i < size; ++i) data.labels.push_back(pick(labelCount));
  const int edges = pick(size * 3 + 1);
  for (int i = 0; i < edges; ++i) {
    const int u = pick(size), v = pick(size);
    if (u == v && pick(6) != 0) continue;  // a few self-loops
    data.edges.push_back({u, v});
    if (pick(8) == 0) data.edges.push_back({v, u});  // repeated edges
  }
  return data;
}

uint64_t randomLimit(std::mt19937& random) {
  const int kind = static_cast<int>(random() % 3);
  if (kind == 0) return static_cast<uint64_t>(random() % 6);
  if (kind == 1) return static_cast<uint64_t>(random() % 40);
  return UINT64_MAX;
}

// The query and how the counter planned it, for failure messages.
std::string describe(const CountQuery& query, const CountPlan& plan) {
  std::string text = "labels";
  for (int label : query.labels) text += " " + std::to_string(label);
  text += "; rows";
  for (const auto& row : query.neighbors) {
    text += " [";
    for (int w : row) text += " " + std::to_string(w);
    text += " ]";
  }
  text += "; classes";
  for (const auto& row : query.classes) {
    text += " [";
    for (int x : row) text += " " + std::to_string(x);
    text += " ]";
  }
  text += "; enumerated";
  for (const CountPlan::Level& level : plan.levels) text += " " + std::to_string(level.vertex);
  text += "; trailing";
  for (int t : plan.trailing) text += " " + std::to_string(t);
  text += "; peeled";
  for (int v : plan.peeled) text += " " + std::to_string(v) + "->" + std::to_string(plan.peelParent[v]);
  return text;
}

// What the counter must return under `limit` for a query with `expected` embeddings.
void expectCount(const CountResult& result, uint64_t expected, uint64_t limit, const std::string& where) {
  if (expected > limit) {
    EXPECT_EQ(result.count, limit + 1) << where;
    EXPECT_FALSE(result.completed) << where;
  } else {
    EXPECT_EQ(result.count, expected) << where;
    EXPECT_TRUE(result.completed) << where;
  }
  EXPECT_FALSE(result.overflow) << where;
  EXPECT_FALSE(result.stoppedByHook) << where;
}

}  // namespace

TEST(EmbeddingCounter, MatchesTheBruteForceOnRandomSmallCases) {
  EmbeddingCounter counter;  // one counter for all cases: its buffers are reused
  // How often each way of counting came up, so that the cases keep exercising all of them.
  int sharedClasses = 0, staticAndDependent = 0, nothingEnumerated = 0, peeledTrees = 0, weightedClasses = 0,
      weightedLevels = 0;
  for (uint32_t seed = 1; seed <= 4000; ++seed) {
    std::mt19937 random(seed);
    const int labelCount = 1 + static_cast<int>(random() % 3);
    const SmallGraph data = randomData(random, labelCount, 12);
    const Graph graph = makeGraph(data);
    const DataIndex index(graph);
    for (int q = 0; q < 3; ++q) {
      const CountQuery query = randomQuery(random, labelCount);
      const uint64_t limit = randomLimit(random);
      const uint64_t expected = bruteForceCount(query, data);
      const CountResult result = counter.count(index, query.labels, query.neighbors, query.classes, limit);
      expectCount(result, expected, limit,
                  "seed " + std::to_string(seed) + " query " + std::to_string(q) + ": " + describe(query, counter.lastPlan()));
      if (HasFailure()) return;
      const CountPlan& plan = counter.lastPlan();
      if (!plan.feasible) continue;
      for (const CountPlan::LabelClass& labelClass : plan.classes) sharedClasses += labelClass.groups.size() > 1;
      staticAndDependent += !plan.staticClasses.empty() && !plan.dependentClasses.empty();
      nothingEnumerated += plan.levels.empty();
      peeledTrees += !plan.peeled.empty();
      for (const CountPlan::LabelClass& labelClass : plan.classes) weightedClasses += labelClass.weighted;
      for (const CountPlan::Level& level : plan.levels) weightedLevels += level.weights != nullptr;
    }
  }
  EXPECT_GT(sharedClasses, 200);
  EXPECT_GT(staticAndDependent, 50);
  EXPECT_GT(nothingEnumerated, 200);
  EXPECT_GT(peeledTrees, 500);
  EXPECT_GT(weightedClasses, 500);
  EXPECT_GT(weightedLevels, 30);
}

namespace {

// Maps of a pattern that respect its labels, edges and bounds and are injective on its non-free
// vertices, by trying every assignment.
uint64_t bruteForcePatternCount(const Pattern& pattern, const Graph& graph, const DataIndex& index) {
  const int n = static_cast<int>(pattern.size());
  const int size = static_cast<int>(index.vertexCount());
  std::vector<int> image(n);
  std::function<uint64_t(int)> assign = [&](int k) -> uint64_t {
    if (k == n) return 1;
    uint64_t total = 0;
    for (int d = 0; d < size; ++d) {
      if (static_cast<int>(index.labelOf(d)) != pattern[k].label) continue;
      bool fits = true;
      for (int j = 0; j < k && fits; ++j) {
        if (!pattern[k].free && !pattern[j].free && image[j] == d) fits = false;
        const auto& around = pattern[k].neighbors;
        if (std::binary_search(around.begin(), around.end(), j)) {
          const auto& row = graph.adjList[d];
          if (image[j] == d || !std::binary_search(row.begin(), row.end(), image[j])) fits = false;
        }
        if (std::binary_search(pattern[k].lower.begin(), pattern[k].lower.end(), j) && image[j] >= d) fits = false;
        if (std::binary_search(pattern[k].upper.begin(), pattern[k].upper.end(), j) && image[j] <= d) fits = false;
      }
      if (!fits) continue;
      image[k] = d;
      total += assign(k + 1);
    }
    return total;
  };
  return assign(0);
}

// The query as a pattern with random vertices free (those without bounds).
Pattern randomPattern(std::mt19937& random, const DataIndex& index, int labelCount) {
  for (;;) {
    const CountQuery query = randomQuery(random, labelCount);
    Pattern pattern;
    if (!describeQuery(index, query.labels, query.neighbors, query.classes, &pattern)) continue;
    for (PatternVertex& vertex : pattern) {
      vertex.free = vertex.lower.empty() && vertex.upper.empty() && random() % 2 == 0;
    }
    return pattern;
  }
}

}  // namespace

TEST(EmbeddingCounter, CountsPatternsWithFreeVertices) {
  EmbeddingCounter counter;
  CountPlan plan;
  int withFree = 0;
  for (uint32_t seed = 1; seed <= 3000; ++seed) {
    std::mt19937 random(seed);
    const int labelCount = 1 + static_cast<int>(random() % 3);
    SmallGraph data = randomData(random, labelCount, 10);
    for (int label = 0; label < labelCount; ++label) data.labels.push_back(label);  // every label present
    const Graph graph = makeGraph(data);
    const DataIndex index(graph);
    const Pattern pattern = randomPattern(random, index, labelCount);
    const uint64_t expected = bruteForcePatternCount(pattern, graph, index);
    uint64_t counted = 0;
    if (plan.build(index, pattern)) {
      const CountResult result = counter.countRoots(index, plan, 0, plan.roots(), UINT64_MAX);
      ASSERT_TRUE(result.completed) << "seed " << seed;
      counted = result.count;
    }
    ASSERT_EQ(counted, expected) << "seed " << seed;
    for (const PatternVertex& vertex : pattern) withFree += vertex.free;
  }
  EXPECT_GT(withFree, 2000);
}

TEST(CollisionTerms, SumToTheInjectiveCount) {
  // The terms counted by brute force, whatever the engine does with them.
  for (uint32_t seed = 1; seed <= 1500; ++seed) {
    std::mt19937 random(seed);
    const int labelCount = 1 + static_cast<int>(random() % 2);
    SmallGraph data = randomData(random, labelCount, 9);
    for (int label = 0; label < labelCount; ++label) data.labels.push_back(label);
    const Graph graph = makeGraph(data);
    const DataIndex index(graph);
    Pattern pattern = randomPattern(random, index, labelCount);
    std::vector<bool> freeVertex(pattern.size());
    for (size_t v = 0; v < pattern.size(); ++v) {
      freeVertex[v] = pattern[v].free;
      pattern[v].free = false;
    }
    const uint64_t expected = bruteForcePatternCount(pattern, graph, index);
    const std::vector<CollisionTerm> terms = collisionTerms(pattern, freeVertex);
    ASSERT_EQ(terms.size(), collisionTermCount(pattern, freeVertex));
    ASSERT_EQ(terms[0].coefficient, 1);
    int64_t sum = 0;
    for (const CollisionTerm& term : terms) {
      sum += term.coefficient * static_cast<int64_t>(bruteForcePatternCount(term.pattern, graph, index));
    }
    ASSERT_EQ(sum, static_cast<int64_t>(expected)) << "seed " << seed;
  }
}

TEST(EmbeddingCounter, CountsByCollisionTermsWhenAskedTo) {
  EmbeddingCounter counter;
  counter.collisionTermsFrom = 0;  // whenever there are free vertices to choose
  int counted = 0;
  for (uint32_t seed = 1; seed <= 3000; ++seed) {
    std::mt19937 random(seed);
    const int labelCount = 1 + static_cast<int>(random() % 3);
    const SmallGraph data = randomData(random, labelCount, 12);
    const Graph graph = makeGraph(data);
    const DataIndex index(graph);
    const CountQuery query = randomQuery(random, labelCount);
    const uint64_t limit = randomLimit(random);
    const uint64_t expected = bruteForceCount(query, data);
    const CountResult result = counter.count(index, query.labels, query.neighbors, query.classes, limit);
    expectCount(result, expected, limit, "seed " + std::to_string(seed) + ": " + describe(query, counter.lastPlan()));
    if (HasFailure()) return;
    counted += counter.statistics().collisionTerms > 1;
  }
  EXPECT_GT(counted, 300);
}

TEST(EmbeddingCounter, CountsAlikeWithCandidatesTestedWhenMet) {
  // The path taken for label classes too large to filter up front, on the small random cases.
  EmbeddingCounter counter;
  CountPlan plan;
  plan.lazyFilterFrom = 0;
  for (uint32_t seed = 1; seed <= 2000; ++seed) {
    std::mt19937 random(seed);
    const int labelCount = 1 + static_cast<int>(random() % 3);
    SmallGraph data = randomData(random, labelCount, 12);
    for (int label = 0; label < labelCount; ++label) data.labels.push_back(label);
    const Graph graph = makeGraph(data);
    const DataIndex index(graph);
    const Pattern pattern = randomPattern(random, index, labelCount);
    uint64_t counted = 0;
    if (plan.build(index, pattern)) {
      ASSERT_TRUE(plan.lazyFilter);
      const CountResult result = counter.countRoots(index, plan, 0, plan.roots(), UINT64_MAX);
      ASSERT_TRUE(result.completed) << "seed " << seed;
      counted = result.count;
    }
    ASSERT_EQ(counted, bruteForcePatternCount(pattern, graph, index)) << "seed " << seed;
  }
}

TEST(EmbeddingCounter, CountsRootRangesThatAddUp) {
  EmbeddingCounter counter, worker;
  for (uint32_t seed = 1; seed <= 500; ++seed) {
    std::mt19937 random(seed);
    const SmallGraph data = randomData(random, 2, 12);
    const Graph graph = makeGraph(data);
    const DataIndex index(graph);
    const CountQuery query = randomQuery(random, 2);
    const uint64_t expected = bruteForceCount(query, data);
    CountPlan plan;
    const bool feasible = plan.build(index, query.labels, query.neighbors, query.classes);
    uint64_t sum = 0;
    for (size_t root = 0; root < plan.roots(); ++root) {
      const CountResult part = worker.countRoots(index, plan, root, root + 1, UINT64_MAX);
      ASSERT_TRUE(part.completed);
      sum += part.count;
    }
    ASSERT_EQ(sum, expected) << "seed " << seed;
    if (!feasible) {
      ASSERT_EQ(expected, 0u) << "seed " << seed;
    }
  }
}

namespace {

// A data graph of a few hundred vertices and queries grown by random walks in it (so most have
// embeddings, many of them), with random symmetry classes over vertices of one label.
struct WalkCase {
  SmallGraph data;
  std::vector<SmallGraph> queries;
  uint64_t limit = UINT64_MAX;
};

WalkCase randomWalkCase(uint32_t seed) {
  std::mt19937 random(seed);
  auto pick = [&](int bound) { return static_cast<int>(random() % static_cast<uint32_t>(bound)); };
  WalkCase c;
  const int dataSize = 15 + pick(120);
  std::vector<std::vector<int>> rows;
  c.data = randomDataGraph(pick, dataSize, 1 + pick(4), 3, &rows);
  const int queryCount = 1 + pick(3);
  for (int q = 0; q < queryCount; ++q) c.queries.push_back(randomWalkQuery(pick, c.data, rows, 2 + pick(6), 3));
  c.limit = pick(3) == 0 ? static_cast<uint64_t>(pick(2000)) : UINT64_MAX;
  return c;
}

}  // namespace

TEST(EmbeddingCounter, CountsWhatTheListingEngineLists) {
  TempDir dir;
  EmbeddingCounter counter;
  int counted = 0, pruned = 0;
  for (uint32_t seed = 1; seed <= 600; ++seed) {
    const WalkCase c = randomWalkCase(seed);
    writeFile(dir.file("data"), dataFileText(c.data));
    writeFile(dir.file("query"), queryFileText(c.queries));
    Graph graph;
    ASSERT_TRUE(graph.read(dir.file("data").c_str()));
    const DataIndex index(graph);
    Query query(dir.file("query"), dir.file("subgraphs"), dir.file("stats"), c.limit);
    while (query.read()) {
      if (query.vertexLabels.size() < 2) continue;
      const uint64_t frequency = query.match(&graph);
      // The query is now renumbered in matching order, as the counter takes it.
      const CountResult result =
          counter.count(index, query.vertexLabels, query.neighbors, query.symClasses, c.limit);
      ASSERT_EQ(result.count, frequency) << "seed " << seed << " query " << query.queryNumber;
      ASSERT_EQ(result.completed, frequency <= c.limit) << "seed " << seed;
      counted += frequency > 0;
      pruned += frequency > c.limit;
    }
  }
  EXPECT_GT(counted, 300);
  EXPECT_GT(pruned, 20);
}

TEST(EmbeddingCounter, CountsQueriesOfMoreThan64Vertices) {
  // Long paths and cycles of many labels in a random graph, against the listing engine: queries past
  // 64 vertices keep their given order and are counted without per-vertex masks.
  TempDir dir;
  EmbeddingCounter counter;
  int matched = 0;
  for (uint32_t seed = 1; seed <= 40; ++seed) {
    std::mt19937 random(seed);
    auto pick = [&](int bound) { return static_cast<int>(random() % static_cast<uint32_t>(bound)); };
    WalkCase c;
    const int dataSize = 300;
    for (int i = 0; i < dataSize; ++i) c.data.labels.push_back(pick(20));
    std::vector<std::vector<int>> rows(dataSize);
    for (int i = 0; i < dataSize * 3; ++i) {
      const int u = pick(dataSize), v = pick(dataSize);
      c.data.edges.push_back({u, v});
      rows[u].push_back(v);
      rows[v].push_back(u);
    }
    // A walk of 65 to 80 distinct vertices, as a query: its path plus a few chords it crossed.
    SmallGraph query;
    std::vector<int> local(dataSize, -1);
    int at = pick(dataSize);
    const int size = 65 + pick(16);
    local[at] = 0;
    query.labels.push_back(c.data.labels[at]);
    for (int step = 0; step < 5000 && static_cast<int>(query.labels.size()) < size; ++step) {
      if (rows[at].empty()) break;
      const int next = rows[at][pick(static_cast<int>(rows[at].size()))];
      if (next == at) continue;
      if (local[next] < 0) {
        local[next] = static_cast<int>(query.labels.size());
        query.labels.push_back(c.data.labels[next]);
        query.edges.push_back({local[at], local[next]});
      } else if (pick(4) == 0 && local[next] != local[at]) {
        query.edges.push_back({local[at], local[next]});
      }
      at = next;
    }
    if (query.labels.size() <= 64) continue;
    c.queries.push_back(query);
    writeFile(dir.file("data"), dataFileText(c.data));
    writeFile(dir.file("query"), queryFileText(c.queries));
    Graph graph;
    ASSERT_TRUE(graph.read(dir.file("data").c_str()));
    const DataIndex index(graph);
    Query reader(dir.file("query"), dir.file("subgraphs"), dir.file("stats"), 1000);
    while (reader.read()) {
      if (reader.vertexLabels.empty()) continue;
      const uint64_t frequency = reader.match(&graph);
      const CountResult result = counter.count(index, reader.vertexLabels, reader.neighbors, reader.symClasses, 1000);
      ASSERT_EQ(result.count, frequency) << "seed " << seed;
      ASSERT_GT(reader.vertexLabels.size(), 64u);
      matched += frequency > 0;
    }
  }
  EXPECT_GT(matched, 20);
}

namespace {

// A star: vertex 0 (label 0) joined to `leaves` vertices of label 1.
SmallGraph dataStar(int leaves) {
  SmallGraph star;
  star.labels.push_back(0);
  for (int i = 1; i <= leaves; ++i) {
    star.labels.push_back(1);
    star.edges.push_back({0, i});
  }
  return star;
}

CountQuery queryStar(int leaves, bool ordered) {
  CountQuery query;
  query.labels.assign(leaves + 1, 1);
  query.labels[0] = 0;
  query.neighbors.assign(leaves + 1, {});
  query.classes.assign(leaves + 1, {});
  for (int i = 1; i <= leaves; ++i) {
    query.neighbors[0].push_back(i);
    query.neighbors[i].push_back(0);
    for (int x = 1; ordered && x <= leaves; ++x) query.classes[i].push_back(x);
  }
  return query;
}

unsigned __int128 fallingFactorial(uint64_t n, int k) {
  unsigned __int128 product = 1;
  for (int i = 0; i < k; ++i) product *= n - static_cast<uint64_t>(i);
  return product;
}

}  // namespace

TEST(EmbeddingCounter, CountsStarsExactlyUpTo64BitsAndReportsOverflowPastThem) {
  EmbeddingCounter counter;
  // 250 leaves, 8 query leaves: 250 * 249 * ... * 243, just below 2^64.
  {
    const Graph graph = makeGraph(dataStar(250));
    const DataIndex index(graph);
    const CountQuery query = queryStar(8, false);
    const unsigned __int128 expected = fallingFactorial(250, 8);
    ASSERT_LT(expected, static_cast<unsigned __int128>(1) << 64);
    CountResult result = counter.count(index, query.labels, query.neighbors, query.classes, UINT64_MAX);
    EXPECT_TRUE(result.completed);
    EXPECT_FALSE(result.overflow);
    EXPECT_EQ(result.count, static_cast<uint64_t>(expected));
    // A limit just below the count stops it; one equal to it does not.
    result = counter.count(index, query.labels, query.neighbors, query.classes, static_cast<uint64_t>(expected) - 1);
    EXPECT_EQ(result.count, static_cast<uint64_t>(expected));
    EXPECT_FALSE(result.completed);
    result = counter.count(index, query.labels, query.neighbors, query.classes, static_cast<uint64_t>(expected));
    EXPECT_TRUE(result.completed);
    // Leaves in one symmetry class: each set of 8 leaves once.
    const CountQuery ordered = queryStar(8, true);
    result = counter.count(index, ordered.labels, ordered.neighbors, ordered.classes, UINT64_MAX);
    EXPECT_EQ(result.count, static_cast<uint64_t>(expected / 40320));
  }
  // 300 leaves: past 2^64, reported as overflow without a limit and as limit + 1 under one.
  {
    const Graph graph = makeGraph(dataStar(300));
    const DataIndex index(graph);
    const CountQuery query = queryStar(8, false);
    ASSERT_GT(fallingFactorial(300, 8), static_cast<unsigned __int128>(UINT64_MAX));
    CountResult result = counter.count(index, query.labels, query.neighbors, query.classes, UINT64_MAX);
    EXPECT_TRUE(result.overflow);
    EXPECT_FALSE(result.completed);
    EXPECT_EQ(result.count, UINT64_MAX);
    result = counter.count(index, query.labels, query.neighbors, query.classes, UINT64_MAX - 1);
    EXPECT_FALSE(result.overflow);
    EXPECT_EQ(result.count, UINT64_MAX);
    // Twelve leaves: more than a class of trailing vertices takes, the rest are enumerated.
    const CountQuery twelve = queryStar(12, false);
    result = counter.count(index, twelve.labels, twelve.neighbors, twelve.classes, 1000000);
    EXPECT_EQ(result.count, 1000001u);
  }
  // A sum of many small counts past 2^64: two stars of 2^31 ... too large to build; instead many
  // centres, each with a count near 2^61.
  {
    SmallGraph data;
    const int centres = 9, leaves = 200;
    for (int c = 0; c < centres; ++c) {
      const int centre = static_cast<int>(data.labels.size());
      data.labels.push_back(0);
      for (int i = 0; i < leaves; ++i) {
        data.edges.push_back({centre, static_cast<int>(data.labels.size())});
        data.labels.push_back(1);
      }
    }
    const Graph graph = makeGraph(data);
    const DataIndex index(graph);
    const CountQuery query = queryStar(8, false);
    const unsigned __int128 each = fallingFactorial(leaves, 8);
    ASSERT_LT(each * 8, static_cast<unsigned __int128>(UINT64_MAX));
    ASSERT_GT(each * 9, static_cast<unsigned __int128>(UINT64_MAX));
    const CountResult result = counter.count(index, query.labels, query.neighbors, query.classes, UINT64_MAX);
    EXPECT_TRUE(result.overflow);
  }
}

TEST(EmbeddingCounter, TrailingVerticesWithOverlappingCandidates) {
  // Data: two hubs (label 0) sharing part of their neighbours (label 1), joined to each other.
  SmallGraph data;
  data.labels = {0, 0};
  data.edges.push_back({0, 1});
  for (int i = 0; i < 18; ++i) {
    const int v = static_cast<int>(data.labels.size());
    data.labels.push_back(1);
    if (i < 12) data.edges.push_back({0, v});
    if (i >= 6) data.edges.push_back({1, v});
  }
  const Graph graph = makeGraph(data);
  const DataIndex index(graph);
  EmbeddingCounter counter;
  // Query: an edge of hubs a-b, three leaves on a, two on b, one on both.
  CountQuery query;
  query.labels = {0, 0, 1, 1, 1, 1, 1, 1};
  query.neighbors.assign(8, {});
  auto connect = [&](int u, int v) {
    query.neighbors[u].push_back(v);
    query.neighbors[v].push_back(u);
  };
  connect(0, 1);
  for (int leaf : {2, 3, 4}) connect(0, leaf);
  for (int leaf : {5, 6}) connect(1, leaf);
  connect(0, 7);
  connect(1, 7);
  for (auto& row : query.neighbors) std::sort(row.begin(), row.end());
  query.classes.assign(8, {});
  const uint64_t expected = bruteForceCount(query, data);
  ASSERT_GT(expected, 0u);
  EXPECT_EQ(counter.count(index, query.labels, query.neighbors, query.classes, UINT64_MAX).count, expected);
  // The leaves of a ordered among themselves, and the shared leaf below the leaves of b.
  query.classes[3] = {2};
  query.classes[4] = {2, 3};
  query.classes[7] = {};
  query.classes[5] = {};
  query.classes[6] = {5};
  query.classes[7] = {5, 6};
  EXPECT_EQ(counter.count(index, query.labels, query.neighbors, query.classes, UINT64_MAX).count,
            bruteForceCount(query, data));
  const CountPlan& plan = counter.lastPlan();
  EXPECT_FALSE(plan.trailing.empty());
}

TEST(EmbeddingCounter, StopHookEndsTheCountWithALowerBound) {
  // Four-cliques in a 40-clique: three vertices enumerated, about 60000 nodes, so the hook is asked.
  SmallGraph data;
  data.labels.assign(40, 0);
  for (int u = 0; u < 40; ++u) {
    for (int v = u + 1; v < 40; ++v) data.edges.push_back({u, v});
  }
  const Graph graph = makeGraph(data);
  const DataIndex index(graph);
  CountQuery query;
  query.labels.assign(4, 0);
  query.neighbors = {{1, 2, 3}, {0, 2, 3}, {0, 1, 3}, {0, 1, 2}};
  const uint64_t expected = 40 * 39 * 38 * 37;
  EmbeddingCounter counter;
  std::atomic<bool> stop{true};
  StopHook hook;
  hook.flag = &stop;
  CountResult result = counter.count(index, query.labels, query.neighbors, query.classes, UINT64_MAX, hook);
  EXPECT_TRUE(result.stoppedByHook);
  EXPECT_FALSE(result.completed);
  EXPECT_LT(result.count, expected);
  StopHook past;
  past.deadline = std::chrono::steady_clock::now() - std::chrono::seconds(1);
  result = counter.count(index, query.labels, query.neighbors, query.classes, UINT64_MAX, past);
  EXPECT_TRUE(result.stoppedByHook);
  EXPECT_LT(result.count, expected);
  // An unset flag changes nothing.
  stop = false;
  result = counter.count(index, query.labels, query.neighbors, query.classes, UINT64_MAX, hook);
  EXPECT_TRUE(result.completed);
  EXPECT_FALSE(result.stoppedByHook);
  EXPECT_EQ(result.count, expected);
}
