// computeQuerySymmetry: the group order against a brute-force enumeration of automorphisms and known
// families; the classes against brute-force embedding counts (one embedding per automorphism class
// survives, under any matching order); large symmetric queries with linear-size classes.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "brute_force.h"
#include "query_automorphisms.h"

extern "C" void alloc_error(const char*);

namespace {

using Rows = std::vector<std::vector<int>>;
using Ints = std::vector<int>;
using Edges = std::vector<std::pair<int, int>>;

Rows rowsOf(int n, const Edges& edges) {
  Rows rows(n);
  for (auto [u, v] : edges) {
    rows[u].push_back(v);
    if (u != v) rows[v].push_back(u);
  }
  return rows;
}

Ints identityOrder(int n) {
  Ints order(n);
  std::iota(order.begin(), order.end(), 0);
  return order;
}

QuerySymmetry symmetryOf(const Ints& labels, const Edges& edges, const Ints& order) {
  QuerySymmetry symmetry;
  std::string problem;
  EXPECT_TRUE(computeQuerySymmetry(labels, rowsOf(static_cast<int>(labels.size()), edges), order, symmetry, problem))
      << problem;
  return symmetry;
}

QuerySymmetry symmetryOf(const Ints& labels, const Edges& edges) {
  return symmetryOf(labels, edges, identityOrder(static_cast<int>(labels.size())));
}

// Every permutation that keeps labels, self-loops and adjacency, by backtracking.
std::vector<Ints> bruteForceAutomorphisms(const Ints& labels, const Edges& edges) {
  const int n = static_cast<int>(labels.size());
  std::vector<std::vector<char>> adjacent(n, std::vector<char>(n, 0));
  for (auto [u, v] : edges) adjacent[u][v] = adjacent[v][u] = 1;
  std::vector<Ints> found;
  Ints image(n, -1);
  std::vector<char> used(n, 0);
  auto extend = [&](auto&& self, int v) -> void {
    if (v == n) {
      found.push_back(image);
      return;
    }
    for (int w = 0; w < n; ++w) {
      if (used[w] || labels[w] != labels[v]) continue;
      bool fits = true;
      for (int u = 0; u <= v && fits; ++u) {
        int imageOfU = u == v ? w : image[u];
        fits = adjacent[u][v] == adjacent[imageOfU][w];
      }
      if (!fits) continue;
      image[v] = w;
      used[w] = 1;
      self(self, v + 1);
      used[w] = 0;
    }
    image[v] = -1;
  };
  extend(extend, 0);
  return found;
}

int bruteForceOrbitCount(int n, const std::vector<Ints>& automorphisms) {
  std::vector<char> seen(n, 0);
  int orbits = 0;
  for (int v = 0; v < n; ++v) {
    if (seen[v]) continue;
    ++orbits;
    for (const Ints& sigma : automorphisms) seen[sigma[v]] = 1;
  }
  return orbits;
}

// The row shape every result must have: a row is empty or holds its own vertex and at least one
// earlier one, and no entry comes after its row's vertex in the matching order.
void expectWellFormedRows(const QuerySymmetry& symmetry, const Ints& order) {
  const int n = static_cast<int>(order.size());
  Ints position(n);
  for (int i = 0; i < n; ++i) position[order[i]] = i;
  bool someRowHasTwo = false;
  for (int v = 0; v < n; ++v) {
    const Ints& row = symmetry.classes[v];
    if (row.empty()) continue;
    someRowHasTwo = someRowHasTwo || row.size() >= 2;
    EXPECT_TRUE(std::is_sorted(row.begin(), row.end()));
    EXPECT_NE(std::find(row.begin(), row.end(), v), row.end()) << "row " << v;
    EXPECT_GE(row.size(), 2u);
    for (int x : row) EXPECT_LE(position[x], position[v]) << "row " << v << " entry " << x;
  }
  const bool trivial = symmetry.orderExact && symmetry.groupOrder == 1;
  EXPECT_EQ(someRowHasTwo, !trivial);
}

struct RandomQuery {
  Ints labels;
  Edges edges;
};

// Few labels and vertices, so that automorphisms are common; edges may be given twice.
RandomQuery randomQuery(std::mt19937& random, int maxVertices) {
  RandomQuery query;
  const int n = std::uniform_int_distribution<int>(1, maxVertices)(random);
  const int labelCount = std::uniform_int_distribution<int>(1, 2)(random);
  const double density = std::uniform_real_distribution<double>(0.1, 0.9)(random);
  for (int v = 0; v < n; ++v) query.labels.push_back(std::uniform_int_distribution<int>(0, labelCount - 1)(random));
  std::bernoulli_distribution edge(density), twice(0.1);
  for (int u = 0; u < n; ++u) {
    for (int v = u + 1; v < n; ++v) {
      if (!edge(random)) continue;
      query.edges.emplace_back(u, v);
      if (twice(random)) query.edges.emplace_back(v, u);
    }
  }
  return query;
}

Ints shuffledOrder(std::mt19937& random, int n) {
  Ints order = identityOrder(n);
  std::shuffle(order.begin(), order.end(), random);
  return order;
}

Edges cycle(int n) {
  Edges edges;
  for (int v = 0; v < n; ++v) edges.emplace_back(v, (v + 1) % n);
  return edges;
}

Edges path(int n) {
  Edges edges;
  for (int v = 0; v + 1 < n; ++v) edges.emplace_back(v, v + 1);
  return edges;
}

Edges complete(int n) {
  Edges edges;
  for (int u = 0; u < n; ++u) {
    for (int v = u + 1; v < n; ++v) edges.emplace_back(u, v);
  }
  return edges;
}

// Vertex 0 is the centre.
Edges star(int n) {
  Edges edges;
  for (int v = 1; v < n; ++v) edges.emplace_back(0, v);
  return edges;
}

Edges completeBipartite(int a, int b) {
  Edges edges;
  for (int u = 0; u < a; ++u) {
    for (int v = a; v < a + b; ++v) edges.emplace_back(u, v);
  }
  return edges;
}

Edges petersen() {
  Edges edges;
  for (int i = 0; i < 5; ++i) {
    edges.emplace_back(i, (i + 1) % 5);
    edges.emplace_back(i, i + 5);
    edges.emplace_back(5 + i, 5 + (i + 2) % 5);
  }
  return edges;
}

// A centre with `legs` paths of two edges: the legs can be permuted at will, but no two vertices
// are twins.
Edges spider(int legs) {
  Edges edges;
  for (int leg = 0; leg < legs; ++leg) {
    edges.emplace_back(0, 1 + 2 * leg);
    edges.emplace_back(1 + 2 * leg, 2 + 2 * leg);
  }
  return edges;
}

double log10Factorial(int n) { return std::lgamma(n + 1.0) / std::log(10.0); }

// The brute-force embedding checks run a few times slower under the sanitizers.
#ifdef SGMATCH_SANITIZED
constexpr int kRoundScale = 3;
#else
constexpr int kRoundScale = 1;
#endif

// ---------------------------------------------------------------------------------------------

TEST(ComputeQuerySymmetry, GroupOrderOfKnownFamilies) {
  for (int n = 3; n <= 12; ++n) EXPECT_EQ(symmetryOf(Ints(n, 0), cycle(n)).groupOrder, 2u * n) << "C" << n;
  uint64_t factorial = 1;
  for (int n = 1; n <= 20; ++n) {
    factorial *= n;
    QuerySymmetry k = symmetryOf(Ints(n, 7), complete(n));
    EXPECT_TRUE(k.orderExact);
    EXPECT_EQ(k.groupOrder, factorial) << "K" << n;
    EXPECT_EQ(symmetryOf(Ints(n, 7), {}).groupOrder, factorial) << n << " isolated vertices";
  }
  factorial = 2;
  for (int n = 3; n <= 12; ++n, factorial *= n - 1) {
    EXPECT_EQ(symmetryOf(Ints(n, 0), star(n)).groupOrder, factorial) << "star " << n;
  }
  EXPECT_EQ(symmetryOf(Ints(1, 0), {}).groupOrder, 1u);
  for (int n = 2; n <= 12; ++n) EXPECT_EQ(symmetryOf(Ints(n, 0), path(n)).groupOrder, 2u) << "P" << n;
  EXPECT_EQ(symmetryOf(Ints(10, 0), petersen()).groupOrder, 120u);
  EXPECT_EQ(symmetryOf(Ints(6, 0), completeBipartite(3, 3)).groupOrder, 72u);
  EXPECT_EQ(symmetryOf(Ints(7, 0), completeBipartite(3, 4)).groupOrder, 144u);
  EXPECT_EQ(symmetryOf(Ints(13, 0), spider(6)).groupOrder, 720u);
  EXPECT_EQ(symmetryOf(Ints(10, 4), {{0, 1}, {2, 3}, {4, 5}, {6, 7}, {8, 9}}).groupOrder, 3840u);  // 2^5 5!

  // Labels cut the groups down.
  EXPECT_EQ(symmetryOf({1, 0, 0, 0, 0, 0}, cycle(6)).groupOrder, 2u);
  EXPECT_EQ(symmetryOf({1, 0, 1, 0, 0, 0}, cycle(6)).groupOrder, 2u);
  EXPECT_EQ(symmetryOf({1, 2, 0, 0, 0, 0}, cycle(6)).groupOrder, 1u);
  EXPECT_EQ(symmetryOf({0, 0, 0, 1, 1}, complete(5)).groupOrder, 12u);
  EXPECT_EQ(symmetryOf({0, 1, 1, 2, 2, 2}, star(6)).groupOrder, 12u);
  EXPECT_EQ(symmetryOf({0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, petersen()).groupOrder, 1u);
  EXPECT_EQ(symmetryOf({0, 0, 1, 1, 1}, path(5)).groupOrder, 1u);
}

TEST(ComputeQuerySymmetry, GroupOrderBeyondSixtyFourBits) {
  QuerySymmetry k21 = symmetryOf(Ints(21, 0), complete(21));
  EXPECT_FALSE(k21.orderExact);
  EXPECT_NEAR(k21.groupOrderLog10, log10Factorial(21), 1e-9);
  EXPECT_EQ(describeGroupOrder(k21), "5.10909e+19");
  QuerySymmetry k20 = symmetryOf(Ints(20, 0), complete(20));
  EXPECT_EQ(describeGroupOrder(k20), "2432902008176640000");
  EXPECT_NEAR(k20.groupOrderLog10, log10Factorial(20), 1e-9);
  // 2^64 itself no longer fits: 64 disjoint edges.
  Edges matching;
  for (int i = 0; i < 64; ++i) matching.emplace_back(2 * i, 2 * i + 1);
  Ints labels(128, 0);
  for (int i = 0; i < 64; ++i) labels[2 * i] = labels[2 * i + 1] = i;
  QuerySymmetry edges = symmetryOf(labels, matching);
  EXPECT_FALSE(edges.orderExact);
  EXPECT_NEAR(edges.groupOrderLog10, 64 * std::log10(2.0), 1e-9);
  matching.pop_back();
  labels.resize(126);
  QuerySymmetry fewer = symmetryOf(labels, matching);
  EXPECT_TRUE(fewer.orderExact);
  EXPECT_EQ(fewer.groupOrder, uint64_t(1) << 63);
}

TEST(ComputeQuerySymmetry, GroupOrderAndOrbitsMatchBruteForceOnRandomQueries) {
  std::mt19937 random(20240611);
  for (int round = 0; round < 400; ++round) {
    RandomQuery query = randomQuery(random, 8);
    const int n = static_cast<int>(query.labels.size());
    std::vector<Ints> automorphisms = bruteForceAutomorphisms(query.labels, query.edges);
    const Ints order = shuffledOrder(random, n);
    QuerySymmetry symmetry = symmetryOf(query.labels, query.edges, order);
    SCOPED_TRACE("round " + std::to_string(round));
    ASSERT_TRUE(symmetry.orderExact);
    EXPECT_EQ(symmetry.groupOrder, automorphisms.size());
    EXPECT_NEAR(symmetry.groupOrderLog10, std::log10(static_cast<double>(automorphisms.size())), 1e-9);
    EXPECT_EQ(symmetry.orbitCount, bruteForceOrbitCount(n, automorphisms));
    expectWellFormedRows(symmetry, order);
  }
}

TEST(ComputeQuerySymmetry, SelfLoopsAndRepeatedOrOneSidedRows) {
  // A loop is a property of its vertex: a triangle with one loop keeps only the swap of the others.
  EXPECT_EQ(symmetryOf(Ints(3, 0), {{0, 1}, {1, 2}, {2, 0}, {0, 0}}).groupOrder, 2u);
  EXPECT_EQ(symmetryOf(Ints(3, 0), {{0, 1}, {1, 2}, {2, 0}, {0, 0}, {1, 1}, {2, 2}}).groupOrder, 6u);
  EXPECT_EQ(symmetryOf(Ints(4, 0), {{0, 0}, {1, 1}}).groupOrder, 4u);

  // Rows that repeat entries, or list an edge from one end only, describe the same simple graph.
  const Ints labels(5, 0), order{3, 1, 4, 0, 2};
  const Rows clean = rowsOf(5, cycle(5));
  const Rows messy{{1, 1, 4}, {2, 0}, {}, {2, 4, 2}, {}};
  QuerySymmetry a, b;
  std::string problem;
  ASSERT_TRUE(computeQuerySymmetry(labels, clean, order, a, problem));
  ASSERT_TRUE(computeQuerySymmetry(labels, messy, order, b, problem));
  EXPECT_EQ(a.groupOrder, 10u);
  EXPECT_EQ(a.classes, b.classes);
  // Fewer rows than vertices: the missing ones are empty.
  ASSERT_TRUE(computeQuerySymmetry(Ints(4, 0), {{1}}, identityOrder(4), a, problem));
  EXPECT_EQ(a.groupOrder, 4u);
}

TEST(ComputeQuerySymmetry, RefusesOrdersThatAreNoPermutationAndUnknownVertices) {
  QuerySymmetry symmetry;
  symmetry.groupOrder = 99;
  std::string problem;
  EXPECT_FALSE(computeQuerySymmetry(Ints(3, 0), rowsOf(3, path(3)), {0, 1}, symmetry, problem));
  EXPECT_NE(problem.find("2 entries for 3 vertices"), std::string::npos) << problem;
  EXPECT_FALSE(computeQuerySymmetry(Ints(3, 0), rowsOf(3, path(3)), {0, 1, 1}, symmetry, problem));
  EXPECT_NE(problem.find("not a permutation"), std::string::npos) << problem;
  EXPECT_FALSE(computeQuerySymmetry(Ints(3, 0), rowsOf(3, path(3)), {0, 1, 3}, symmetry, problem));
  EXPECT_FALSE(computeQuerySymmetry(Ints(3, 0), {{1}, {0, 3}, {}}, {0, 1, 2}, symmetry, problem));
  EXPECT_NE(problem.find("row 1 names vertex 3"), std::string::npos) << problem;
  EXPECT_FALSE(computeQuerySymmetry(Ints(2, 0), {{1}, {0}, {}}, {0, 1}, symmetry, problem));
  EXPECT_EQ(symmetry.groupOrder, 99u);
  EXPECT_TRUE(computeQuerySymmetry({}, {}, {}, symmetry, problem));
  EXPECT_EQ(symmetry.groupOrder, 1u);
  EXPECT_TRUE(symmetry.classes.empty());
}

TEST(ComputeQuerySymmetry, RowsOfSmallQueries) {
  // One edge: the vertex matched first maps to the smaller id.
  EXPECT_EQ(symmetryOf({0, 0}, {{0, 1}}, {1, 0}).classes, (Rows{{0, 1}, {}}));
  EXPECT_EQ(symmetryOf({0, 0}, {{0, 1}}, {0, 1}).classes, (Rows{{}, {0, 1}}));
  EXPECT_EQ(symmetryOf({0, 1}, {{0, 1}}, {0, 1}).classes, (Rows{{}, {}}));
  // A triangle becomes a chain 0 < 1 < 2; vertex 2 also names the chain's first vertex.
  EXPECT_EQ(symmetryOf({0, 0, 0}, complete(3)).classes, (Rows{{}, {0, 1}, {0, 1, 2}}));
  // A star's leaves form one chain in matching order, whatever the order of the query file.
  QuerySymmetry s = symmetryOf(Ints(5, 0), star(5), {0, 3, 1, 4, 2});
  EXPECT_EQ(s.classes, (Rows{{}, {1, 3}, {2, 3, 4}, {}, {1, 3, 4}}));
  EXPECT_EQ(s.constraintCount, 3);
  // A 4-cycle in order 0 1 2 3: 0 below its orbit {1, 2, 3}; then 1 below its mirror 3.
  s = symmetryOf(Ints(4, 0), cycle(4));
  EXPECT_EQ(s.groupOrder, 8u);
  EXPECT_EQ(s.baseLength, 2);
  EXPECT_EQ(s.classes, (Rows{{}, {0, 1}, {0, 2}, {0, 1, 3}}));
}

// The defining property: with the classes, the embeddings are a subset of those without, and every
// automorphism class of embeddings (f and f composed with each automorphism) keeps exactly one.
void expectOneEmbeddingPerClass(const RandomQuery& query, const SmallGraph& data, const Ints& order,
                                const std::string& trace) {
  SCOPED_TRACE(trace);
  const int n = static_cast<int>(query.labels.size());
  const QuerySymmetry symmetry = symmetryOf(query.labels, query.edges, order);
  const std::vector<Ints> automorphisms = bruteForceAutomorphisms(query.labels, query.edges);
  ASSERT_EQ(symmetry.groupOrder, automorphisms.size());
  // Embeddings in the query file's numbering.
  auto embeddings = [&](const Rows& classes) {
    SmallGraph pattern{query.labels, query.edges, classes};
    std::set<Ints> found;
    for (const Ints& renumbered : bruteForceEmbeddings(pattern, data, order)) {
      Ints embedding(n);
      for (int i = 0; i < n; ++i) embedding[order[i]] = renumbered[i];
      found.insert(embedding);
    }
    return found;
  };
  const std::set<Ints> all = embeddings(Rows(n)), kept = embeddings(symmetry.classes);
  EXPECT_EQ(kept.size() * automorphisms.size(), all.size());
  EXPECT_TRUE(std::includes(all.begin(), all.end(), kept.begin(), kept.end()));
  Ints composed(n);
  for (const Ints& embedding : all) {
    int survivors = 0;
    for (const Ints& sigma : automorphisms) {
      for (int v = 0; v < n; ++v) composed[v] = embedding[sigma[v]];
      survivors += kept.count(composed) ? 1 : 0;
    }
    ASSERT_EQ(survivors, 1);
  }
}

SmallGraph randomData(std::mt19937& random, int vertices, int labelCount) {
  SmallGraph data;
  const double density = std::uniform_real_distribution<double>(0.3, 0.9)(random);
  for (int v = 0; v < vertices; ++v) data.labels.push_back(std::uniform_int_distribution<int>(0, labelCount - 1)(random));
  std::bernoulli_distribution edge(density);
  for (int u = 0; u < vertices; ++u) {
    for (int v = u + 1; v < vertices; ++v) {
      if (edge(random)) data.edges.emplace_back(u, v);
    }
  }
  return data;
}

TEST(ComputeQuerySymmetry, KeepsOneEmbeddingPerAutomorphismClassOnRandomQueries) {
  std::mt19937 random(77);
  for (int round = 0; round < 250 / kRoundScale; ++round) {
    RandomQuery query = randomQuery(random, 6);
    const int n = static_cast<int>(query.labels.size());
    const int labelCount = 1 + *std::max_element(query.labels.begin(), query.labels.end());
    SmallGraph data = randomData(random, std::uniform_int_distribution<int>(n, 7)(random), labelCount);
    std::vector<Ints> orders{identityOrder(n), shuffledOrder(random, n), shuffledOrder(random, n)};
    std::reverse(orders[0].begin(), orders[0].end());
    for (size_t k = 0; k < orders.size(); ++k) {
      expectOneEmbeddingPerClass(query, data, orders[k], "round " + std::to_string(round) + " order " + std::to_string(k));
    }
  }
}

// A small random graph whose vertices are replaced by one to three twins each (adjacent or not; six vertices at most), so
// that symmetry lies both inside twin classes and between them.
RandomQuery randomBlowUp(std::mt19937& random) {
  const int baseSize = std::uniform_int_distribution<int>(2, 4)(random);
  RandomQuery base = randomQuery(random, baseSize);
  RandomQuery query;
  std::vector<Ints> copies(base.labels.size());
  int budget = 6;
  for (size_t b = 0; b < base.labels.size(); ++b) {
    const int count = std::min(budget - static_cast<int>(base.labels.size() - b) + 1,
                               std::uniform_int_distribution<int>(1, 3)(random));
    budget -= count;
    const bool adjacent = std::bernoulli_distribution(0.5)(random);
    for (int k = 0; k < count; ++k) {
      for (int other : copies[b]) {
        if (adjacent) query.edges.emplace_back(other, static_cast<int>(query.labels.size()));
      }
      copies[b].push_back(static_cast<int>(query.labels.size()));
      query.labels.push_back(base.labels[b]);
    }
  }
  for (auto [u, v] : base.edges) {
    for (int x : copies[u]) {
      for (int y : copies[v]) query.edges.emplace_back(x, y);
    }
  }
  return query;
}

TEST(ComputeQuerySymmetry, KeepsOneEmbeddingPerAutomorphismClassOnBlownUpQueries) {
  std::mt19937 random(4242);
  for (int round = 0; round < 150 / kRoundScale; ++round) {
    RandomQuery query = randomBlowUp(random);
    const int n = static_cast<int>(query.labels.size());
    const int labelCount = 1 + *std::max_element(query.labels.begin(), query.labels.end());
    SmallGraph data = randomData(random, 7, labelCount);
    for (int k = 0; k < 3; ++k) {
      expectOneEmbeddingPerClass(query, data, shuffledOrder(random, n),
                                 "round " + std::to_string(round) + " order " + std::to_string(k));
    }
  }
}

TEST(ComputeQuerySymmetry, KeepsOneEmbeddingPerAutomorphismClassOnSymmetricFamilies) {
  std::mt19937 random(5);
  const std::vector<std::pair<std::string, RandomQuery>> families{
      {"C6", {Ints(6, 0), cycle(6)}},
      {"K4", {Ints(4, 0), complete(4)}},
      {"K3,3", {Ints(6, 0), completeBipartite(3, 3)}},
      {"K2,3", {Ints(5, 0), completeBipartite(2, 3)}},
      {"star6", {Ints(6, 0), star(6)}},
      {"P6", {Ints(6, 0), path(6)}},
      {"spider3", {Ints(7, 0), spider(3)}},
      {"3K2", {Ints(6, 0), {{0, 1}, {2, 3}, {4, 5}}}},
      {"two triangles", {Ints(6, 0), {{0, 1}, {1, 2}, {2, 0}, {3, 4}, {4, 5}, {5, 3}}}},
      {"C6 labelled", {{0, 1, 0, 1, 0, 1}, cycle(6)}},
      {"prism", {Ints(6, 0), {{0, 1}, {1, 2}, {2, 0}, {3, 4}, {4, 5}, {5, 3}, {0, 3}, {1, 4}, {2, 5}}}},
  };
  for (const auto& [name, query] : families) {
    const int n = static_cast<int>(query.labels.size());
    for (int k = 0; k < (kRoundScale == 1 ? 4 : 2); ++k) {
      SmallGraph data = randomData(random, 8, 1 + *std::max_element(query.labels.begin(), query.labels.end()));
      expectOneEmbeddingPerClass(query, data, shuffledOrder(random, n), name + " order " + std::to_string(k));
    }
  }
  // A query in itself: exactly one embedding survives.
  RandomQuery p{Ints(10, 0), petersen()};
  SmallGraph self{p.labels, p.edges, {}};
  for (int k = 0; k < 3; ++k) expectOneEmbeddingPerClass(p, self, shuffledOrder(random, 10), "Petersen in itself");
  RandomQuery k33{Ints(6, 0), completeBipartite(3, 3)};
  expectOneEmbeddingPerClass(k33, {k33.labels, k33.edges, {}}, {0, 3, 1, 4, 2, 5}, "K3,3 in itself");
}

// ---------------------------------------------------------------------------------------------
// Large queries: the classes stay linear in size and the searches few.

int64_t totalEntries(const QuerySymmetry& symmetry) {
  int64_t total = 0;
  for (const Ints& row : symmetry.classes) total += static_cast<int64_t>(row.size());
  return total;
}

struct LargeCase {
  std::string name;
  Ints labels;
  Edges edges;
  Ints order;
};

// A breadth-first order from vertex `start`, as a matching order grows from a seed edge.
Ints breadthFirstOrder(int n, const Edges& edges, int start) {
  Rows rows = rowsOf(n, edges);
  Ints order{start};
  std::vector<char> seen(n, 0);
  seen[start] = 1;
  for (size_t head = 0; head < order.size(); ++head) {
    for (int w : rows[order[head]]) {
      if (!seen[w]) {
        seen[w] = 1;
        order.push_back(w);
      }
    }
  }
  return order;
}

TEST(ComputeQuerySymmetry, LargeSymmetricQueriesGetLinearClasses) {
  const int starSize = 50000, pathSize = 50000, cycleSize = 20000;
  {
    const Edges edges = star(starSize);
    QuerySymmetry s = symmetryOf(Ints(starSize, 3), edges, breadthFirstOrder(starSize, edges, 0));
    EXPECT_FALSE(s.orderExact);
    EXPECT_NEAR(s.groupOrderLog10, log10Factorial(starSize - 1), 1e-6);
    EXPECT_EQ(s.orbitCount, 2);
    EXPECT_EQ(s.baseLength, starSize - 2);
    EXPECT_EQ(s.constraintCount, starSize - 2);
    EXPECT_EQ(s.searches, 0);
    // Leaf k (k >= 2) names itself, the leaf before it and the first leaf.
    EXPECT_EQ(s.classes[0], Ints{});
    EXPECT_EQ(s.classes[1], Ints{});
    EXPECT_EQ(s.classes[2], (Ints{1, 2}));
    EXPECT_EQ(s.classes[starSize - 1], (Ints{1, starSize - 2, starSize - 1}));
    EXPECT_LE(totalEntries(s), 3 * starSize);
    EXPECT_EQ(describeGroupOrder(s), "6.69464e+213231");
  }
  {
    const Edges edges = path(pathSize);
    const Ints order = breadthFirstOrder(pathSize, edges, 1234);
    QuerySymmetry s = symmetryOf(Ints(pathSize, 0), edges, order);
    EXPECT_EQ(s.groupOrder, 2u);
    EXPECT_EQ(s.baseLength, 1);
    EXPECT_LE(s.searches, 2);
    // The first vertex of the order maps below its mirror image; nothing else is constrained.
    const int mirror = pathSize - 1 - order[0];
    EXPECT_EQ(s.classes[mirror], (Ints{std::min(mirror, order[0]), std::max(mirror, order[0])}));
    EXPECT_EQ(totalEntries(s), 2);
  }
  {
    const Edges edges = cycle(cycleSize);
    const Ints order = breadthFirstOrder(cycleSize, edges, 77);
    QuerySymmetry s = symmetryOf(Ints(cycleSize, 0), edges, order);
    EXPECT_EQ(s.groupOrder, 2u * cycleSize);
    EXPECT_EQ(s.baseLength, 2);
    EXPECT_LE(s.searches, 3);
    EXPECT_LE(totalEntries(s), 3 * cycleSize);
    expectWellFormedRows(s, order);
  }
  {
    const Edges edges = completeBipartite(3, 2000);
    const Ints order = breadthFirstOrder(2003, edges, 1500);
    QuerySymmetry s = symmetryOf(Ints(2003, 1), edges, order);
    EXPECT_FALSE(s.orderExact);
    EXPECT_NEAR(s.groupOrderLog10, std::log10(6.0) + log10Factorial(2000), 1e-6);
    EXPECT_EQ(s.searches, 0);
    EXPECT_LE(totalEntries(s), 3 * 2003);
    expectWellFormedRows(s, order);
  }
}

TEST(ComputeQuerySymmetry, LargeQueriesWhoseSymmetryIsNotInTwins) {
  // A spider's legs are permuted by the group but are not twins: one search per fixed leg.
  const int legs = 300, n = 1 + 2 * legs;
  const Edges legsEdges = spider(legs);
  QuerySymmetry s = symmetryOf(Ints(n, 0), legsEdges, breadthFirstOrder(n, legsEdges, 0));
  EXPECT_NEAR(s.groupOrderLog10, log10Factorial(legs), 1e-6);
  EXPECT_LE(totalEntries(s), 3 * n);
  expectWellFormedRows(s, breadthFirstOrder(n, legsEdges, 0));

  // A path of identical gadgets (two legs of two edges at every vertex): independent swaps, found
  // in factors of their own, and the reflection of the whole.
  const int core = 1000;
  Edges edges = path(core);
  int next = core;
  for (int c = 0; c < core; ++c) {
    for (int leg = 0; leg < 2; ++leg, next += 2) {
      edges.emplace_back(c, next);
      edges.emplace_back(next, next + 1);
    }
  }
  const Ints order = breadthFirstOrder(next, edges, 10);
  QuerySymmetry g = symmetryOf(Ints(next, 0), edges, order);
  EXPECT_NEAR(g.groupOrderLog10, (core + 1) * std::log10(2.0), 1e-6);
  EXPECT_EQ(g.baseLength, core + 1);
  EXPECT_LE(totalEntries(g), 3 * next);
  expectWellFormedRows(g, order);
}

// ---------------------------------------------------------------------------------------------
// nauty's allocation failures

TEST(ComputeQuerySymmetry, NautyReportsAllocationFailuresToThisLibrary) {
  // The library resolves its failure handler through the dynamic symbol table; ours must win.
  EXPECT_EQ(dlsym(RTLD_DEFAULT, "alloc_error"), reinterpret_cast<void*>(&alloc_error));
}

TEST(ComputeQuerySymmetry, RunningOutOfMemoryThrowsBadAlloc) {
#ifdef SGMATCH_SANITIZED
  GTEST_SKIP() << "address space limits do not apply under the sanitizers";
#else
  // Under address space limits that grow in small steps the computation throws std::bad_alloc
  // until it completes, wherever the allocation that fails happens to be (ours, nauty's work
  // arrays or Traces' own): never another exit. The cycle takes three searches.
  const int n = 5000;
  const Rows rows = rowsOf(n, cycle(n));
  const Ints labels(n, 0), order = identityOrder(n);
  int failures = 0;
  for (long extra = 0;; extra += 1L << 17) {
    ASSERT_LT(extra, 256L << 20) << "never completed";
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      // Heap space freed by earlier tests in this process would otherwise be usable beyond the limit.
      malloc_trim(0);
      FILE* statm = std::fopen("/proc/self/statm", "r");
      long pages = 0;
      if (statm == nullptr || std::fscanf(statm, "%ld", &pages) != 1) _exit(10);
      std::fclose(statm);
      rlimit limit{};
      limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(pages * sysconf(_SC_PAGESIZE) + extra);
      if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(11);
      try {
        QuerySymmetry symmetry;
        std::string problem;
        computeQuerySymmetry(labels, rows, order, symmetry, problem);
        _exit(symmetry.groupOrder == 2u * n && symmetry.searches == 3 ? 0 : 12);
      } catch (const std::bad_alloc&) {
        _exit(3);
      }
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "extra " << extra;
    ASSERT_TRUE(WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == 3)
        << "extra " << extra << " status " << WEXITSTATUS(status);
    if (WEXITSTATUS(status) == 0) break;
    ++failures;
  }
  EXPECT_GT(failures, 0);
#endif
}

}  // namespace
