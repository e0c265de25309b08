// Counting the embeddings of a renumbered query without listing them: the same assignments the plain
// search counts (injective, label- and edge-preserving, every enforced symmetry constraint), found
// in an order chosen for counting (count_plan.h). The enumerated prefix of that order is searched
// like the listing search; peeled trees count as weights; the trailing vertices are counted from the
// (weighted) sizes of their candidate sets, with injectivity restored exactly by inclusion-exclusion.
// A count may instead be the signed sum of collision terms (collision_terms.h). Which way a query is
// counted is decided by a short trial of the cheapest plan by the estimate and, when that does not
// finish, by probing the alternatives. Counts are exact 64-bit numbers; larger ones are reported as
// overflow, never wrapped.
//
// Splitting one query over threads: build one CountPlan, let each thread's EmbeddingCounter count a
// range of roots with countRoots, and add the counts (this counts by the plan's cheapest alternative,
// without trial, probing or collision terms); a sum past the limit means limit + 1.
#pragma once

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "count_plan.h"
#include "data_index.h"
#include "huge_page_allocator.h"

class SharedCount;
class SplitBoard;

struct CountResult {
  uint64_t count = 0;          // exact when completed; limit + 1 when the limit stopped the count;
                               // a lower bound when the stop hook did
  bool completed = true;       // the whole search ran
  bool overflow = false;       // the count exceeds 2^64 - 1 (count then holds 2^64 - 1)
  bool stoppedByHook = false;  // the stop hook ended the count early
  bool needsUnpeeledPlan = false;  // countRoots only: the plan's weights are too large to count with
                                   // exactly; build it again with allowPeeling(false)
};

/// Asked every few thousand steps whether to stop: a flag set from elsewhere, or a deadline.
struct StopHook {
  const std::atomic<bool>* flag = nullptr;
  const std::atomic<bool>* sharedFlag = nullptr;  // the stop of a count shared between threads
  std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();

  bool due() const {
    if (flag != nullptr && flag->load(std::memory_order_relaxed)) return true;
    if (sharedFlag != nullptr && sharedFlag->load(std::memory_order_relaxed)) return true;
    return deadline != std::chrono::steady_clock::time_point::max() && std::chrono::steady_clock::now() >= deadline;
  }
};

class EmbeddingCounter {
 public:
  EmbeddingCounter() {
    ownPlan.shareCandidates(&candidateCache);
    termPlan.shareCandidates(&candidateCache);
    termPlan.refineCandidates(false);
  }
  EmbeddingCounter(const EmbeddingCounter&) = delete;
  EmbeddingCounter& operator=(const EmbeddingCounter&) = delete;

  /// When to count by collision terms (see collision_terms.h): when the plain plan is estimated to
  /// visit more than `collisionTermsFrom` nodes and the terms, at most `maxCollisionTerms` of them,
  /// are estimated to cost less; with `collisionTermsFrom` 0, whenever there are terms.
  double collisionTermsFrom = 1e6;
  size_t maxCollisionTerms = 256;

  /// Counts the embeddings of the query (labels, ascending neighbour rows and symmetry classes of the
  /// query renumbered in matching order); stops once the count exceeds `limit` (result limit + 1).
  CountResult count(const DataIndex& index, const std::vector<int>& labels, const std::vector<std::vector<int>>& neighbors,
                    const std::vector<std::vector<int>>& symClasses, uint64_t limit, const StopHook& hook = StopHook());

  /// The plan of the last query given to `count`.
  const CountPlan& lastPlan() const { return ownPlan; }

  /// Plans estimated above this many nodes are compared by probing (estimateSeconds) with the next
  /// cheapest ones and with collision terms.
  double probeFrom = 1e4;
  /// Seconds a plan the estimate calls cheap may run before the probing starts.
  double trialSeconds = 0.02;

  /// Estimated seconds to count the whole plan: random probes down its search tree (Knuth's
  /// estimator), timing the real work at each node probed and weighting it by the product of the
  /// branching factors above it. Stops after `probes` probes (at least 64) or `budget` seconds (with
  /// `extend`, longer for plans estimated to take long), or once the estimate passes `cutoff`.
  double estimateSeconds(const DataIndex& index, const CountPlan& plan, int probes, double budget,
                         double cutoff = HUGE_VAL, bool extend = true);

  /// Work done by the last count, for benchmarks.
  struct Statistics {
    uint64_t nodes = 0;        // images tried above the last level
    uint64_t lastImages = 0;   // images tried at the last level
    size_t collisionTerms = 0; // terms counted (0: the query itself was counted)
    struct Term {
      int64_t coefficient;
      double seconds;
      double estimatedCost;
      size_t enumerated, trailing, peeled;
    };
    double probedSeconds = 0;  // the estimate of the plan counted (0: not probed)
    size_t alternative = 0;    // which of the plan's alternatives was counted
    std::vector<Term> terms;   // per term counted, in order
  };
  const Statistics& statistics() const { return stats; }

  /// Counts the part of a planned query below roots [firstRoot, lastRoot) (see CountPlan::roots).
  /// The counts of disjoint root ranges add up to the query's count; one plan may serve several
  /// counters at once, each with its own range.
  CountResult countRoots(const DataIndex& index, const CountPlan& plan, size_t firstRoot, size_t lastRoot,
                         uint64_t limit, const StopHook& hook = StopHook());

  /// Threads that may share the long counts of this counter (shared_count.h); none by default.
  void setBoard(SplitBoard* splitBoard) { board = splitBoard; }
  /// Counts chunks of another counter's shared count until none is left: a thread helping.
  void helpCount(SharedCount& share);

 private:
  // Amounts are exact below 2^128; all bits set means "at least 2^64", which is all the count needs
  // to know of anything that large.
  using Amount = unsigned __int128;

  // One enumerated level: the candidate list being tried.
  struct LevelState {
    const int* list = nullptr;
    size_t count = 0;
    size_t position = 0;
    bool untested = false;  // the list is a whole label class: candidates are tested as they come
  };
  struct Filtered {
    int image = -1;          // data vertex whose neighbours the list holds
    std::vector<int> vertices;
    size_t size = 0;
  };
  // The candidate set of a trailing group: a neighbour range, or an intersection in `buffer`.
  struct GroupState {
    const int* list = nullptr;
    size_t size = 0;
    uint64_t stamp = 0;      // serial at which `list` was computed
    std::vector<int> buffer;
    const int* base = nullptr;  // intersection of all neighbour ranges but the last
    size_t baseSize = 0;
    uint64_t baseStamp = 0;
    std::vector<int> baseBuffer;
    // When its last neighbour is the last level: its range for each image of that level, looked up
    // once (by the image's position in its label), in long counts.
    struct Memo {
      uint64_t offset = 0;  // into the adjacency, plus one; 0: not looked up yet
      uint64_t size = 0;
    };
    std::vector<Memo> memo;
  };

  // What one run of the search found: the total (exact below 2^128), or why it stopped.
  struct Outcome {
    unsigned __int128 total = 0;
    bool exceeded = false;      // the total passed the limit (or 2^128)
    bool hookStopped = false;
    bool inexact = false;       // weights or weighted counts too large to count with exactly
  };

  Outcome run(const DataIndex& index, const CountPlan& plan, size_t firstRoot, size_t lastRoot,
              unsigned __int128 limit, const StopHook& hook, bool samePlan = false);
  Outcome runAll(const DataIndex& index, const CountPlan& plan, unsigned __int128 limit, const StopHook& hook);
  void countChunks(SharedCount& share, bool helper);
  Outcome runExactly(const DataIndex& index, CountPlan& plan, const Pattern& pattern, bool built,
                     unsigned __int128 limit, const StopHook& hook);
  bool countTerms(const DataIndex& index, const std::vector<struct CollisionTerm>& terms, uint64_t limit,
                  const StopHook& hook, CountResult* result);
  double probeOnce();
  static CountResult report(const Outcome& outcome, uint64_t limit);
  void reset(const DataIndex& index, const CountPlan& plan, bool samePlan = false);
  void enterLevel(const DataIndex& index, int depth, size_t firstRoot, size_t lastRoot);
  void groupList(const DataIndex& index, int g);
  DataIndex::Range lastRange(const DataIndex& index, int g, int image);
  Amount evaluateClass(const DataIndex& index, int c);
  Amount staticProduct(const DataIndex& index);
  bool countLastLevel(const DataIndex& index);
  Amount lastLevelBase(const DataIndex& index);
  Amount lastImage(const DataIndex& index, int c, Amount base);
  uint64_t nextRandom() {
    randomState ^= randomState << 13;
    randomState ^= randomState >> 7;
    randomState ^= randomState << 17;
    return randomState;
  }
  bool add(Amount amount);
  bool pollHook();

  const CountPlan* plan = nullptr;
  SplitBoard* board = nullptr;
  CountPlan ownPlan;
  CountPlan termPlan;                  // the plan of one collision term
  CandidateCache candidateCache;       // shared by the two plans
  ZeroedArray<uint8_t> used;           // per data vertex: image of an enumerated vertex
  std::vector<int> embedding;          // images by depth
  std::vector<Amount> prefixWeight;    // by depth: the product of the weights of the images so far
  std::vector<uint64_t> serial;        // by depth: when its image was assigned
  uint64_t serialCounter = 0;
  std::vector<LevelState> levelStates;
  std::vector<std::vector<Filtered>> filtered;  // per depth and earlier neighbour
  std::vector<std::vector<int>> buffers;        // per depth: intersected candidates
  std::vector<GroupState> groupStates;
  const int* adjacencyBase = nullptr;
  bool memoizeRanges = false;          // the count is long: memoize the last level's ranges
  std::vector<uint64_t> sizes;                  // scratch: intersection sizes of a class
  std::vector<unsigned __int128> sums;          // scratch: weighted sizes of a class
  std::vector<int> scratch;
  std::vector<const int*> scratchLists;
  std::vector<size_t> scratchSizes;

  // The running count and its stop conditions.
  unsigned __int128 total = 0;
  unsigned __int128 limit = 0;
  bool exceeded = false;
  bool hookStopped = false;
  bool inexact = false;                // a weighted count too large to reconstruct
  const StopHook* hook = nullptr;
  uint64_t steps = 0, nextPoll = 0;
  Statistics stats;
  uint64_t randomState = 0x9E3779B97F4A7C15u;
  const DataIndex* probeIndex = nullptr;
  const StopHook* probeHook = nullptr;  // the count's own hook, asked while probing
  size_t probeStart = 0, probeStride = 1, probeIndexAtRoot = 0;  // the first level's sample order
};
