// symmetry=none and symmetry=auto on seeded random queries with repeated labels in random data graphs:
// none counts every embedding (the brute force's count without classes), auto keeps exactly one
// embedding of every automorphism class, so count(auto) x |Aut| = count(none) with the automorphisms
// counted by brute force, and the auto listing is part of the none listing. Both engines, and the
// binary with one and several threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "brute_force.h"
#include "graph.h"
#include "query.h"
#include "test_support.h"

namespace {

// The label-preserving automorphisms of a small query, counted over all permutations.
uint64_t automorphismCount(const SmallGraph& query) {
  const int n = static_cast<int>(query.labels.size());
  std::set<std::pair<int, int>> edges;
  for (auto [u, v] : query.edges) {
    if (u != v) edges.insert({std::min(u, v), std::max(u, v)});
  }
  std::vector<int> image(n);
  std::iota(image.begin(), image.end(), 0);
  uint64_t count = 0;
  do {
    bool preserves = true;
    for (int v = 0; v < n && preserves; ++v) preserves = query.labels[image[v]] == query.labels[v];
    for (auto [u, v] : edges) {
      if (!preserves) break;
      preserves = edges.count({std::min(image[u], image[v]), std::max(image[u], image[v])}) == 1;
    }
    count += preserves;
  } while (std::next_permutation(image.begin(), image.end()));
  return count;
}

SmallGraph randomData(std::mt19937& random) {
  SmallGraph data;
  const int n = 6 + static_cast<int>(random() % 8);
  const int labels = 1 + static_cast<int>(random() % 2);
  for (int v = 0; v < n; ++v) data.labels.push_back(static_cast<int>(random() % labels));
  const int edges = n + static_cast<int>(random() % (2 * n));
  for (int i = 0; i < edges; ++i) data.edges.push_back({static_cast<int>(random() % n), static_cast<int>(random() % n)});
  return data;
}

// A connected query of 2 to 6 vertices with labels from 0 and 1, some symmetry lines that the modes
// ignore (written to be wrong on purpose).
SmallGraph randomQuery(std::mt19937& random) {
  SmallGraph query;
  const int n = 2 + static_cast<int>(random() % 5);
  for (int v = 0; v < n; ++v) query.labels.push_back(static_cast<int>(random() % 4 == 0));
  for (int v = 1; v < n; ++v) query.edges.push_back({static_cast<int>(random() % v), v});
  const int extra = static_cast<int>(random() % n);
  for (int i = 0; i < extra; ++i) {
    const int u = static_cast<int>(random() % n), v = static_cast<int>(random() % n);
    if (u != v) query.edges.push_back({u, v});
  }
  if (random() % 2 == 0) query.classes.assign(n, std::vector<int>{0, n - 1});
  return query;
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

struct ModeRun {
  std::vector<uint64_t> counts;
  std::vector<std::string> listings;
};

ModeRun runMode(const TempDir& dir, SymmetryMode mode, MatchEngine engine) {
  for (const std::string& name : listDirectory(dir.file("stats"))) std::remove(dir.file("stats/" + name).c_str());
  Graph graph;
  graph.read(dir.file("data").c_str());
  Query query(dir.file("query"), dir.file("subgraphs"), dir.file("stats"), UINT64_MAX);
  query.symmetry = mode;
  query.engine = engine;
  ModeRun run;
  while (query.read()) {
    if (query.vertexLabels.empty()) continue;
    run.counts.push_back(query.match(&graph));
    run.listings.push_back(readFile(dir.file("stats/" + std::to_string(query.queryNumber))));
  }
  return run;
}

}  // namespace

TEST(SymmetryModes, AutoKeepsOneEmbeddingOfEveryAutomorphismClass) {
  TempDir dir;
  int symmetric = 0, matched = 0;
  for (uint32_t seed = 1; seed <= 300; ++seed) {
    std::mt19937 random(seed);
    const SmallGraph data = randomData(random);
    std::vector<SmallGraph> queries;
    for (int q = 0; q < 3; ++q) queries.push_back(randomQuery(random));
    writeFile(dir.file("data"), dataFileText(data));
    writeFile(dir.file("query"), queryFileText(queries));
    for (MatchEngine engine : {MatchEngine::fast, MatchEngine::literal}) {
      const ModeRun none = runMode(dir, SymmetryMode::none, engine);
      const ModeRun automatic = runMode(dir, SymmetryMode::automatic, engine);
      ASSERT_EQ(none.counts.size(), queries.size());
      for (size_t q = 0; q < queries.size(); ++q) {
        SmallGraph plain = queries[q];
        plain.classes.clear();
        Graph graph;
        graph.read(dir.file("data").c_str());
        const auto all = bruteForceEmbeddings(plain, data, referenceOrder(plain, graph));
        ASSERT_EQ(none.counts[q], all.size()) << "seed " << seed << " query " << q;
        const uint64_t automorphisms = automorphismCount(queries[q]);
        ASSERT_EQ(automatic.counts[q] * automorphisms, none.counts[q]) << "seed " << seed << " query " << q;
        std::vector<std::string> kept = linesOf(automatic.listings[q]);
        std::vector<std::string> every = linesOf(none.listings[q]);
        std::sort(kept.begin(), kept.end());
        std::sort(every.begin(), every.end());
        ASSERT_TRUE(std::includes(every.begin(), every.end(), kept.begin(), kept.end()))
            << "seed " << seed << " query " << q << ": the auto listing is not part of the none listing";
        symmetric += engine == MatchEngine::fast && automorphisms > 1;
        matched += engine == MatchEngine::fast && none.counts[q] > 0;
      }
    }
  }
  EXPECT_GT(symmetric, 200) << "the queries must have automorphisms";
  EXPECT_GT(matched, 300) << "and embeddings";
}

// The report's Sym flag and the record's S and C lines follow the classes used; the file's symmetry
// lines are not read at all, so a wrong one refuses nothing.
TEST(SymmetryModes, TheReportAndTheRecordFollowTheClassesUsed) {
  TempDir dir;
  writeFile(dir.file("data"), "v 0 1\nv 1 1\nv 2 1\nv 3 1\ne 0 1\ne 1 2\ne 2 3\ne 3 0\n");
  // A 4-cycle with the classes that suit a triangle, and a path with a symmetry line naming no vertex.
  writeFile(dir.file("query"),
            "v 0 1\nv 1 1\nv 2 1\nv 3 1\ne 0 1\ne 1 2\ne 2 3\ne 3 0\na 1 2 3\na 0 2 3\na 0 1 3\na 0 1 2\n"
            "t\nv 0 1\nv 1 1\nv 2 1\ne 0 1\ne 1 2\na 9\n");
  // Classes that break a triangle's symmetry lose the 4-cycle under this order.
  const ProcessResult file = runProcess(SGMATCH_BINARY, {}, dir.path());
  EXPECT_EQ(maskTimes(file.output).substr(0, 29), "0\t#nodes: 4\tSym: 1\tFreq: 0\tTi");
  EXPECT_NE(file.output.find("Query 1 refused"), std::string::npos);
  const ProcessResult none = runProcess(SGMATCH_BINARY, {"symmetry=none"}, dir.path());
  EXPECT_EQ(maskTimes(none.output),
            "0\t#nodes: 4\tSym: 0\tFreq: 8\tTime/ms: T\n1\t#nodes: 3\tSym: 0\tFreq: 8\tTime/ms: T\n"
            "Average time per query: Ts. Done!\n");
  const ProcessResult automatic = runProcess(SGMATCH_BINARY, {"symmetry=auto"}, dir.path());
  EXPECT_EQ(maskTimes(automatic.output),
            "0\t#nodes: 4\tSym: 1\tFreq: 1\tTime/ms: T\n1\t#nodes: 3\tSym: 1\tFreq: 4\tTime/ms: T\n"
            "Average time per query: Ts. Done!\n");
  const std::string records = readFile(dir.file("subgraphs"));
  EXPECT_NE(records.find("S\t1\nC\t0\t0\t0\t0\nF\t1\n"), std::string::npos) << records;
  const ProcessResult refused = runProcess("/bin/sh", {"-c", std::string(SGMATCH_BINARY) + " symmetry=maybe 2>&1"}, dir.path());
  EXPECT_EQ(refused.status, 255);
  EXPECT_EQ(refused.output, "sgmatch: symmetry=maybe: expected file, none or auto\n");
}

TEST(SymmetryModes, ThreadsGiveTheBytesOfOneThread) {
  TempDir dir;
  std::mt19937 random(77);
  SmallGraph data = randomData(random);
  for (int i = 0; i < 3; ++i) {
    const SmallGraph more = randomData(random);
    const int offset = static_cast<int>(data.labels.size());
    data.labels.insert(data.labels.end(), more.labels.begin(), more.labels.end());
    for (auto [u, v] : more.edges) data.edges.push_back({u + offset, v + offset});
  }
  std::vector<SmallGraph> queries;
  for (int q = 0; q < 60; ++q) queries.push_back(randomQuery(random));
  writeFile(dir.file("data"), dataFileText(data));
  writeFile(dir.file("query"), queryFileText(queries));
  std::string reference, referenceRecords;
  std::vector<std::string> referenceListings;
  for (const std::string threads : {"threads=1", "threads=2", "threads=4"}) {
    for (const std::string& name : listDirectory(dir.file("stats"))) std::remove(dir.file("stats/" + name).c_str());
    const ProcessResult run = runProcess(SGMATCH_BINARY, {"symmetry=auto", threads}, dir.path());
    ASSERT_EQ(run.status, 0);
    std::vector<std::string> listings;
    for (const std::string& name : listDirectory(dir.file("stats"))) listings.push_back(name + ":" + readFile(dir.file("stats/" + name)));
    if (reference.empty()) {
      reference = maskTimes(run.output);
      referenceRecords = readFile(dir.file("subgraphs"));
      referenceListings = listings;
      continue;
    }
    EXPECT_EQ(maskTimes(run.output), reference) << threads;
    EXPECT_EQ(readFile(dir.file("subgraphs")), referenceRecords) << threads;
    EXPECT_EQ(listings, referenceListings) << threads;
  }
}
