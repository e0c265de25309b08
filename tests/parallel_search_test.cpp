// One query's search split over several threads against the same run on one thread: on random data
// graphs and queries grown by random walks, with splitting forced at every step, every byte of the
// report (times masked), of each statistics file and of the subgraph file must be the same, with and
// without a limit at and around the exact counts, with the query file's classes and computed ones,
// and with the text of later tasks spilled to disk. Also a long search split the ordinary way (idle
// threads asking for work), a time limit ending a split search, a split listing that the counter
// finds past its limit, a race whose own walk splits, and a stress loop of mixed runs.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "brute_force.h"
#include "embedding_counter.h"
#include "embedding_search.h"
#include "graph.h"
#include "main.h"
#include "parallel_search.h"
#include "query.h"
#include "search_control.h"
#include "test_support.h"

namespace {

// Under the sanitizers a run is many times slower: fewer seeds.
#ifdef SGMATCH_SANITIZED
constexpr uint32_t seedCount = 4;
#else
constexpr uint32_t seedCount = 16;
#endif

struct Workload {
  SmallGraph data;
  std::vector<SmallGraph> queries;
};

// A data graph of up to a few hundred vertices with few labels and queries walked in it, so that most
// queries have many embeddings and a search tree worth splitting.
Workload randomWorkload(uint32_t seed) {
  std::mt19937 random(seed);
  auto pick = [&](int bound) { return static_cast<int>(random() % static_cast<uint32_t>(bound)); };
  Workload w;
  const int dataSize = 30 + pick(200);
  const int labelCount = 1 + pick(3);
  for (int i = 0; i < dataSize; ++i) w.data.labels.push_back(pick(labelCount));
  std::vector<std::vector<int>> rows(dataSize);
  const int dataEdges = dataSize * (2 + pick(3));
  for (int i = 0; i < dataEdges; ++i) {
    const int u = pick(dataSize), v = pick(dataSize);
    w.data.edges.push_back({u, v});
    rows[u].push_back(v);
    rows[v].push_back(u);
  }
  const int queryCount = 1 + pick(5);
  for (int q = 0; q < queryCount; ++q) w.queries.push_back(randomWalkQuery(pick, w.data, rows, 2 + pick(5), 3));
  return w;
}

// Everything a run leaves: its status, report, subgraph file and statistics files.
struct RunOutput {
  int status = -1;
  std::string report;
  std::string subgraphs;
  std::map<std::string, std::string> stats;

  bool operator==(const RunOutput& other) const {
    return status == other.status && report == other.report && subgraphs == other.subgraphs && stats == other.stats;
  }
};

std::string describe(const RunOutput& output) {
  std::string text = "status " + std::to_string(output.status) + "\n" + output.report;
  for (const auto& [name, content] : output.stats) text += "stats/" + name + ": " + std::to_string(content.size()) + " bytes\n";
  return text;
}

RunOutput runTool(const TempDir& dir, const std::vector<std::string>& extra) {
  for (const std::string& name : listDirectory(dir.file("stats"))) std::remove(dir.file("stats/" + name).c_str());
  std::vector<std::string> arguments{"sgmatch", "data=" + dir.file("data"), "query=" + dir.file("query"),
                                     "subgraph=" + dir.file("subgraphs"), "stats=" + dir.file("stats"),
                                     "maxfreq=-1", "omark=0", "symmetry=file", "timeout=0", "progress=0",
                                     "threads=1"};
  arguments.insert(arguments.end(), extra.begin(), extra.end());
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  RunOutput output;
  output.report = maskTimes(captureStdout([&] { output.status = run(static_cast<int>(argv.size()), argv.data()); }));
  output.subgraphs = readFile(dir.file("subgraphs"));
  for (const std::string& name : listDirectory(dir.file("stats"))) output.stats[name] = readFile(dir.file("stats/" + name));
  return output;
}

// Splitting at every step of every search, for as long as fewer tasks wait than twice the threads.
class Split : public testing::Test {
 protected:
  void SetUp() override {
    SplitTuning tuning;
    tuning.checkInterval = 1;
    tuning.stepsBeforeSplit = 0;
    tuning.eager = true;
    setSplitTuning(tuning);
  }
  void TearDown() override { setSplitTuning(SplitTuning()); }
};

// The counts of one thread's run without a limit, read from its report lines.
std::vector<uint64_t> countsOf(const std::string& report) {
  std::vector<uint64_t> counts;
  for (size_t at = report.find("Freq: "); at != std::string::npos; at = report.find("Freq: ", at + 1)) {
    counts.push_back(std::stoull(report.substr(at + 6)));
  }
  return counts;
}

}  // namespace

TEST_F(Split, SplitSearchesWriteWhatOneThreadWrites) {
  TempDir dir;
  const uint64_t givenBefore = tasksGivenAway();
  int limited = 0, kept = 0;
  for (uint32_t seed = 1; seed <= seedCount; ++seed) {
    const Workload w = randomWorkload(seed);
    writeFile(dir.file("data"), dataFileText(w.data));
    writeFile(dir.file("query"), queryFileText(w.queries));
    for (const std::string symmetry : {seed % 2 == 0 ? "symmetry=file" : "symmetry=auto"}) {
      const RunOutput whole = runTool(dir, {symmetry});
      // Limits at, just below and just above each query's exact count, and none.
      std::vector<std::string> limits{"maxfreq=-1"};
      for (uint64_t count : countsOf(whole.report)) {
        if (count == 0) continue;
        for (uint64_t limit : {count - 1, count, count + 1}) limits.push_back("maxfreq=" + std::to_string(limit));
      }
      for (const std::string& limit : limits) {
        const RunOutput one = runTool(dir, {symmetry, limit});
        limited += one.report.find("[pruned by maxfreq]") != std::string::npos;
        kept += !one.stats.empty();
        for (const std::string threads : {"threads=2", "threads=4"}) {
          const RunOutput many = runTool(dir, {symmetry, limit, threads});
          ASSERT_TRUE(many == one) << "seed " << seed << " " << symmetry << " " << limit << " " << threads << "\n"
                                   << describe(one) << "---\n" << describe(many);
        }
      }
    }
  }
  // The runs must have split searches and met both outcomes of a limit.
  EXPECT_GT(tasksGivenAway() - givenBefore, 50u * seedCount);
  EXPECT_GT(limited, static_cast<int>(seedCount));
  EXPECT_GT(kept, static_cast<int>(seedCount));
}

TEST_F(Split, TextKeptBehindEarlierTasksSpillsToDiskInOrder) {
  SplitTuning tuning = splitTuning();
  tuning.pendingPerThread = 256;
  setSplitTuning(tuning);
  TempDir dir;
  for (uint32_t seed = 100; seed < 100 + seedCount / 4; ++seed) {
    const Workload w = randomWorkload(seed);
    writeFile(dir.file("data"), dataFileText(w.data));
    writeFile(dir.file("query"), queryFileText(w.queries));
    const RunOutput one = runTool(dir, {});
    for (const std::string threads : {"threads=2", "threads=4"}) {
      const RunOutput many = runTool(dir, {threads});
      ASSERT_TRUE(many == one) << "seed " << seed << " " << threads << "\n" << describe(one) << "---\n" << describe(many);
    }
  }
}

namespace {

// A data graph of one label and about `degree` neighbours per vertex: a path query has
// vertices * degree^(length - 1) embeddings there, roughly.
std::string denseData(int vertices, int degree, uint32_t seed) {
  std::mt19937 random(seed);
  SmallGraph data;
  data.labels.assign(vertices, 0);
  for (int u = 0; u < vertices; ++u) {
    for (int j = 0; j < degree / 2; ++j) data.edges.push_back({u, static_cast<int>(random() % vertices)});
  }
  return dataFileText(data);
}

std::string pathQuery(int length) {
  SmallGraph query;
  query.labels.assign(length, 0);
  for (int i = 0; i + 1 < length; ++i) query.edges.push_back({i, i + 1});
  return queryFileText({query});
}

}  // namespace

TEST(SplitLong, AnIdleThreadTakesPartOfALongSearch) {
  // The ordinary tuning, but splitting soon, so that a search of a fraction of a second splits.
  SplitTuning tuning;
  tuning.stepsBeforeSplit = 4096;
  setSplitTuning(tuning);
  TempDir dir;
  writeFile(dir.file("data"), denseData(200, 8, 7));
  // A long query first and short ones after it: the threads that finish the short ones help.
  writeFile(dir.file("query"), pathQuery(5) + pathQuery(2) + pathQuery(3));
  const uint64_t givenBefore = tasksGivenAway();
  for (const std::string limit : {"maxfreq=-1", "maxfreq=300000"}) {
    const RunOutput one = runTool(dir, {limit});
    for (const std::string threads : {"threads=2", "threads=4"}) {
      const RunOutput many = runTool(dir, {limit, threads});
      ASSERT_TRUE(many == one) << limit << " " << threads << "\n" << describe(one) << "---\n" << describe(many);
    }
  }
  EXPECT_GT(tasksGivenAway() - givenBefore, 0u);
  setSplitTuning(SplitTuning());
}

TEST(SplitLong, ASearchThatMostlyListsIsSharedToo) {
  // Three-leaf stars in a star of 100 leaves, with the ordinary tuning: 970,200 embeddings under
  // some 10,000 steps deeper, far fewer than a search makes before it gives work away, so only the
  // embeddings listed can make it share.
  setSplitTuning(SplitTuning());
  TempDir dir;
  std::string data = "v 0 0\n";
  for (int leaf = 1; leaf <= 100; ++leaf) data += "v " + std::to_string(leaf) + " 1\n";
  for (int leaf = 1; leaf <= 100; ++leaf) data += "e 0 " + std::to_string(leaf) + " 0\n";
  writeFile(dir.file("data"), data);
  writeFile(dir.file("query"), "t # 0\nv 0 0\nv 1 1\nv 2 1\nv 3 1\ne 0 1 0\ne 0 2 0\ne 0 3 0\n");
  const RunOutput one = runTool(dir, {});
  ASSERT_EQ(countsOf(one.report), std::vector<uint64_t>{970200});
  const uint64_t givenBefore = tasksGivenAway();
  const RunOutput two = runTool(dir, {"threads=2"});
  ASSERT_TRUE(two == one) << describe(one) << "---\n" << describe(two);
  EXPECT_GT(tasksGivenAway() - givenBefore, 0u);
}

TEST_F(Split, ATimeLimitStopsEveryTaskOfASplitSearch) {
  TempDir dir;
  writeFile(dir.file("data"), denseData(2000, 40, 3));
  writeFile(dir.file("query"), pathQuery(9));
  for (const std::string threads : {"threads=2", "threads=4"}) {
    const RunOutput many = runTool(dir, {"timeout=0.2", "symmetry=none", threads});
    EXPECT_EQ(many.status, 0);
    EXPECT_NE(many.report.find("[pruned by timeout]"), std::string::npos) << many.report;
    EXPECT_TRUE(many.stats.empty());
    EXPECT_EQ(many.subgraphs, "");
  }
}

TEST_F(Split, MixedRunsRepeatedGiveTheSameBytes) {
  // Many small workloads in one query file, with a limit that stops some queries: the same run again
  // and again on four threads must give the one-thread bytes every time.
  TempDir dir;
  std::mt19937 random(11);
  for (int round = 0; round < static_cast<int>(seedCount); ++round) {
    Workload w = randomWorkload(1000 + static_cast<uint32_t>(round));
    for (uint32_t more = 1; more <= 3; ++more) {
      const Workload extra = randomWorkload(2000 + static_cast<uint32_t>(round) * 10 + more);
      w.queries.insert(w.queries.end(), extra.queries.begin(), extra.queries.end());
    }
    writeFile(dir.file("data"), dataFileText(w.data));
    writeFile(dir.file("query"), queryFileText(w.queries));
    const std::string limit = "maxfreq=" + std::to_string(random() % 3000);
    const RunOutput one = runTool(dir, {limit});
    for (int repeat = 0; repeat < 4; ++repeat) {
      const RunOutput many = runTool(dir, {limit, repeat % 2 == 0 ? "threads=4" : "threads=3"});
      ASSERT_TRUE(many == one) << "round " << round << " repeat " << repeat << "\n" << describe(one) << "---\n"
                               << describe(many);
    }
  }
}

namespace {

namespace fs = std::filesystem;

// Matches the one query of `dir` with the given limit and count-first mode, splitting its search
// with one helper thread when `split`; its count, status, records and statistics files.
struct SplitMatch {
  uint64_t count = 0;
  MatchStatus status = MatchStatus::refused;
  uint64_t counted = 0;  // embeddings the search found before it stopped
  std::string records;
  std::vector<std::string> statistics;
};

SplitMatch matchWithHelper(const TempDir& dir, const std::string& name, uint64_t limit, CountFirst mode, bool split,
                           const EmbeddingSearch::Tuning& tuning = EmbeddingSearch::Tuning()) {
  fs::create_directory(dir.file(name));
  fs::create_directory(dir.file(name + "/stats"));
  Graph graph;
  EXPECT_TRUE(graph.read(dir.file("data").c_str()));
  SplitMatch outcome;
  {
    SplitBoard board(2, {});
    EmbeddingSearch helperSearch;
    EmbeddingCounter helperCounter;
    std::atomic<bool> done{false};
    std::thread helper([&] {
      while (!done.load()) {
        if (!board.helpOnce(helperSearch, helperCounter)) std::this_thread::yield();
      }
    });
    Query query(dir.file("query"), dir.file(name + "/subgraphs"), dir.file(name + "/stats"), limit);
    SearchControl control;
    query.control = &control;
    query.countFirst = mode;
    if (split) query.splitBoard = &board;
    query.engineSearch().setTuning(tuning);
    while (query.read()) {
      if (query.vertexLabels.empty()) continue;
      outcome.count = query.match(&graph);
      outcome.status = query.status;
      outcome.counted = control.found.load();
    }
    done.store(true);
    helper.join();
  }
  outcome.records = readFile(dir.file(name + "/subgraphs"));
  for (const std::string& file : listDirectory(dir.file(name + "/stats"))) {
    outcome.statistics.push_back(readFile(dir.file(name + "/stats/" + file)));
  }
  return outcome;
}

}  // namespace

// Paths of 5 vertices in a dense graph have some 8 * 10^8 embeddings, which the counter counts in a
// fraction of a second: a listing under a limit of 2 * 10^8 that asks the counter first learns at its
// first embedding that the limit prunes it, and its stop must reach every task given away, which
// would otherwise list up to the limit.
TEST_F(Split, TheCounterStopsEveryTaskOfASplitListing) {
  TempDir dir;
  writeFile(dir.file("data"), denseData(400, 40, 3));
  writeFile(dir.file("query"), pathQuery(5));
  const uint64_t limit = 200000000;
  const uint64_t givenBefore = tasksGivenAway();
  const SplitMatch split = matchWithHelper(dir, "split", limit, CountFirst::always, true);
  EXPECT_GT(tasksGivenAway() - givenBefore, 0u);
  EXPECT_EQ(split.count, limit + 1);
  EXPECT_EQ(split.status, MatchStatus::limit);
  // Stopped tasks found a small part of what the limit allows; tasks that went on would pass it.
  EXPECT_LT(split.counted, limit / 4);
  EXPECT_EQ(split.records, "");
  EXPECT_TRUE(split.statistics.empty());
}

// Small random queries with limits around their counts: a split listing that asks the counter first
// writes what one thread writes without asking.
TEST_F(Split, CountFirstOnASplitListingChangesNoByte) {
  for (uint32_t seed = 300; seed < 300 + seedCount / 2; ++seed) {
    Workload w = randomWorkload(seed);
    w.queries.resize(1);
    TempDir dir;
    writeFile(dir.file("data"), dataFileText(w.data));
    writeFile(dir.file("query"), queryFileText(w.queries));
    const SplitMatch unlimited = matchWithHelper(dir, "unlimited", UINT64_MAX, CountFirst::never, false);
    const uint64_t exact = unlimited.count;
    const std::set<uint64_t> limits{0, exact / 2, exact == 0 ? 0 : exact - 1, exact, exact + 1};
    for (uint64_t limit : limits) {
      const std::string tag = std::to_string(limit);
      const SplitMatch one = matchWithHelper(dir, "one" + tag, limit, CountFirst::never, false);
      const SplitMatch split = matchWithHelper(dir, "split" + tag, limit, CountFirst::always, true);
      EXPECT_EQ(split.count, one.count) << "seed " << seed << " limit " << limit;
      EXPECT_EQ(split.status, one.status) << "seed " << seed << " limit " << limit;
      EXPECT_EQ(split.records, one.records) << "seed " << seed << " limit " << limit;
      EXPECT_EQ(split.statistics, one.statistics) << "seed " << seed << " limit " << limit;
    }
  }
}

// Races whose rival starts after the shortest first turn, with the own walk splitting only after a
// few thousand steps: a split that comes while the rival is under way ends the race, and the own
// walk and its tasks write what one thread writes in the own order alone.
TEST_F(Split, ARaceEndsWhenItsOwnWalkSplits) {
  SplitTuning later = splitTuning();
  later.stepsBeforeSplit = 3000;
  setSplitTuning(later);
  EmbeddingSearch::Tuning racing;
  racing.firstTurn = 1;
  racing.checkInterval = 64;
  EmbeddingSearch::Tuning own;
  own.order = EmbeddingSearch::Tuning::Order::own;
  const uint64_t givenBefore = tasksGivenAway();
  for (uint32_t seed = 500; seed < 500 + 4 * seedCount; ++seed) {
    Workload w = randomWorkload(seed);
    w.queries.resize(1);
    TempDir dir;
    writeFile(dir.file("data"), dataFileText(w.data));
    writeFile(dir.file("query"), queryFileText(w.queries));
    const SplitMatch one = matchWithHelper(dir, "one", UINT64_MAX, CountFirst::never, false, own);
    const SplitMatch split = matchWithHelper(dir, "split", UINT64_MAX, CountFirst::never, true, racing);
    EXPECT_EQ(split.count, one.count) << "seed " << seed;
    EXPECT_EQ(split.status, one.status) << "seed " << seed;
    EXPECT_EQ(split.records, one.records) << "seed " << seed;
    EXPECT_EQ(split.statistics, one.statistics) << "seed " << seed;
  }
  EXPECT_GT(tasksGivenAway() - givenBefore, 0u);
}
