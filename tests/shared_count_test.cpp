// Counts shared between threads: a counter with a board and a helping thread against one without,
// on seeded random-walk cases (symmetry classes, limits at the count and on either side of it,
// collision terms), and long counts that the helper really shares: the limit passed by any chunk,
// the stop flag ending every thread, and the running count at the stop a lower bound.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#include "brute_force.h"
#include "data_index.h"
#include "embedding_counter.h"
#include "embedding_search.h"
#include "graph.h"
#include "parallel_search.h"
#include "query.h"
#include "shared_count.h"
#include "test_support.h"

namespace {

// A board of two threads and a second thread that helps with whatever it offers, as an idle worker
// of the query pipeline does.
class HelpingThread {
 public:
  HelpingThread() : board(2, {}), thread([this] { help(); }) {}
  ~HelpingThread() {
    done = true;
    thread.join();
  }
  SplitBoard board;

 private:
  void help() {
    board.setIdle(true);
    while (!done.load()) {
      if (!board.helpOnce(search, counter)) std::this_thread::yield();
    }
    board.setIdle(false);
  }
  EmbeddingSearch search;
  EmbeddingCounter counter;
  std::atomic<bool> done{false};
  std::thread thread;
};

Graph readGraph(const TempDir& dir, const SmallGraph& data) {
  writeFile(dir.file("data"), dataFileText(data));
  Graph graph;
  EXPECT_TRUE(graph.read(dir.file("data").c_str()));
  return graph;
}

// A complete graph on `size` vertices of one label.
SmallGraph clique(int size) {
  SmallGraph data;
  data.labels.assign(size, 0);
  for (int u = 0; u < size; ++u) {
    for (int v = u + 1; v < size; ++v) data.edges.push_back({u, v});
  }
  return data;
}

}  // namespace

TEST(SharedCount, CountsAsOneThreadOnRandomCasesWithLimitsAndCollisionTerms) {
  TempDir dir;
  HelpingThread helping;
  EmbeddingCounter alone, shared, aloneTerms, sharedTerms;
  shared.setBoard(&helping.board);
  sharedTerms.setBoard(&helping.board);
  // Collision terms whenever a query has them: their plans are shared as well.
  aloneTerms.collisionTermsFrom = sharedTerms.collisionTermsFrom = 0;
  int nonZero = 0;
  for (uint32_t seed = 1; seed <= 200; ++seed) {
    std::mt19937 random(seed);
    auto pick = [&](int bound) { return static_cast<int>(random() % static_cast<uint32_t>(bound)); };
    std::vector<std::vector<int>> rows;
    const SmallGraph data = randomDataGraph(pick, 20 + pick(150), 1 + pick(3), 3, &rows);
    std::vector<SmallGraph> queries;
    for (int q = 0; q < 3; ++q) queries.push_back(randomWalkQuery(pick, data, rows, 2 + pick(5), 3));
    Graph graph = readGraph(dir, data);
    const DataIndex index(graph);
    writeFile(dir.file("query"), queryFileText(queries));
    Query query(dir.file("query"), dir.file("subgraphs"), dir.file("stats"), UINT64_MAX);
    while (query.read()) {
      if (query.vertexLabels.size() < 2) continue;
      // Renumbered in matching order, as the counter takes it.
      query.match(&graph);
      auto count = [&](EmbeddingCounter& counter, uint64_t limit) {
        return counter.count(index, query.vertexLabels, query.neighbors, query.symClasses, limit);
      };
      const CountResult expected = count(alone, UINT64_MAX);
      ASSERT_TRUE(expected.completed);
      nonZero += expected.count > 0;
      const std::string where = "seed " + std::to_string(seed) + " query " + std::to_string(query.queryNumber);
      for (uint64_t limit : {UINT64_MAX, expected.count + 1, expected.count, expected.count - 1}) {
        if (expected.count == 0 && limit == expected.count - 1) continue;
        const CountResult one = count(alone, limit), two = count(shared, limit);
        ASSERT_EQ(two.count, one.count) << where << " limit " << limit;
        ASSERT_EQ(two.completed, one.completed) << where << " limit " << limit;
        ASSERT_EQ(two.count, expected.count <= limit ? expected.count : limit + 1) << where;
      }
      ASSERT_EQ(count(sharedTerms, UINT64_MAX).count, count(aloneTerms, UINT64_MAX).count) << where;
    }
  }
  EXPECT_GT(nonZero, 200);
}

TEST(SharedCount, LongCountsAreSharedAndStopTogether) {
  // Five-cliques in a 40-clique: 78,960,960 embeddings over 2.2 million nodes of four enumerated
  // levels, long enough for the helper to take chunks.
  TempDir dir;
  const Graph graph = readGraph(dir, clique(40));
  const DataIndex index(graph);
  const std::vector<int> labels(5, 0);
  const std::vector<std::vector<int>> rows = {{1, 2, 3, 4}, {0, 2, 3, 4}, {0, 1, 3, 4}, {0, 1, 2, 4}, {0, 1, 2, 3}};
  const uint64_t expected = 40ull * 39 * 38 * 37 * 36;
  HelpingThread helping;
  EmbeddingCounter counter;
  counter.setBoard(&helping.board);

  const uint64_t helpedBefore = chunksCountedByHelpers();
  CountResult result = counter.count(index, labels, rows, {}, UINT64_MAX);
  EXPECT_TRUE(result.completed);
  EXPECT_EQ(result.count, expected);
  EXPECT_GT(chunksCountedByHelpers(), helpedBefore);

  // Passed by whichever chunk passes it: limit + 1, as on one thread.
  for (uint64_t limit : {expected - 1, expected / 2, uint64_t{1000}}) {
    result = counter.count(index, labels, rows, {}, limit);
    EXPECT_FALSE(result.completed);
    EXPECT_FALSE(result.stoppedByHook);
    EXPECT_EQ(result.count, limit + 1);
  }
  result = counter.count(index, labels, rows, {}, expected);
  EXPECT_TRUE(result.completed);
  EXPECT_EQ(result.count, expected);

  // A flag raised during the count stops both threads: a lower bound, soon.
  std::atomic<bool> stop{false};
  StopHook hook;
  hook.flag = &stop;
  std::thread raiser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    stop = true;
  });
  result = counter.count(index, labels, rows, {}, UINT64_MAX, hook);
  raiser.join();
  EXPECT_TRUE(result.stoppedByHook);
  EXPECT_FALSE(result.completed);
  EXPECT_LT(result.count, expected);

  // The counter is whole again after a stop.
  result = counter.count(index, labels, rows, {}, UINT64_MAX);
  EXPECT_EQ(result.count, expected);
}
