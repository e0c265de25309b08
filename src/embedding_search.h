// The fast enumeration of a renumbered query's embeddings (query vertex i is the i-th of the matching
// order). It finds exactly the embeddings of the plain depth-first search, in the same lexicographic
// order, but prunes only what can hold none: candidate filtering by label, degree and neighbour
// labels with arc-consistency refinement, failing-set pruning of siblings, injectivity by a marker
// array, and no allocation or recursion inside the search.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "data_index.h"
#include "huge_page_allocator.h"
#include "search_control.h"
#include "search_order.h"
#include "sorted_listing.h"
#include "stats_writer.h"

class ParallelSearch;
class SplitBoard;
struct SearchTask;

class EmbeddingSearch {
 public:
  struct Result {
    uint64_t frequency;    // embeddings counted, limit + 1 when the limit stopped the search
    bool completed;        // false when the limit or the control stopped the search
    bool stopped = false;  // the control stopped it: frequency is what was counted until then
  };

  /// Choices the search normally makes itself, fixed by tests and measurements; every setting
  /// writes the same output.
  struct Tuning {
    /// The order the search assigns vertices in: the query's own raced by the cheapest greedy one,
    /// the own alone, or the cheapest greedy one alone.
    enum class Order { automatic, own, cheapest } order = Order::automatic;
    /// Length of the own order's first turn in a race, in units of `checkInterval` steps that go
    /// one vertex deeper; each later turn is twice as long as the one before.
    uint64_t firstTurn = 128;
    /// Steps deeper between two looks at the stop flag and the turn's end.
    uint32_t checkInterval = stopCheckInterval;
    /// When not empty and a permutation of the query's vertices, the search order, whatever `order`.
    std::vector<int> forcedOrder;
    /// Candidates tested up front, or when the search meets them.
    enum class Filter { automatic, complete, lazy } filter = Filter::automatic;
    /// Bytes of embeddings a search in another order holds before it gives up for the own order.
    size_t heldBound = size_t{256} << 20;
  };

  /// Fixes the choices of the next searches.
  void setTuning(const Tuning& settings) { tuning = settings; }

  /// The order of the search that produced the last result (depth -> query vertex); empty when it
  /// was the query's own.
  const std::vector<int>& lastOrder() const { return searchOrder; }

  /// The control the searches publish their counts to and take stop requests from; none by default.
  void setControl(SearchControl* searchControl) { control = searchControl; }

  EmbeddingSearch();
  ~EmbeddingSearch();
  EmbeddingSearch(const EmbeddingSearch&) = delete;
  EmbeddingSearch& operator=(const EmbeddingSearch&) = delete;

  /// The threads that may take parts of a long search (null: the search stays on this thread).
  void setBoard(SplitBoard* splitBoard) { board = splitBoard; }

  /// Allocates the per-vertex arrays for the index; `run` does it itself when the index changed size.
  void prepare(const DataIndex& index);

  /// Counts the embeddings of the query given by its labels, ascending neighbour rows and symmetry
  /// classes (one row per vertex), listing the first `limit` through `writer`.
  Result run(const DataIndex& index, const std::vector<int>& labels, const std::vector<std::vector<int>>& neighbors,
             const std::vector<std::vector<int>>& symClasses, uint64_t limit, StatsWriter& writer);

 private:
  friend class ParallelSearch;

  // Per-query description of each vertex.
  struct Vertex {
    int label = 0;                     // dense data label
    uint32_t degree = 0;               // distinct neighbours
    std::vector<int> backward;         // distinct earlier neighbours
    std::vector<int> symmetrySources;  // distinct earlier vertices whose images must be smaller
    std::vector<int> symmetryCeilings;  // distinct earlier vertices whose images must be larger
    std::vector<std::pair<int, uint32_t>> neighborLabels;  // (label, distinct neighbours with it)
    std::vector<int> allNeighbors;     // distinct neighbours, both directions
    uint64_t backwardMask = 0;
    uint64_t symmetryMask = 0;
  };

  bool prepareQuery(const DataIndex& index, const std::vector<int>& labels,
                    const std::vector<std::vector<int>>& neighbors, const std::vector<std::vector<int>>& symClasses,
                    bool lazy);
  Result runTask(SearchTask& task, uint64_t limit, StatsWriter& writer);
  void prepareTask(ParallelSearch& split);
  StatsWriter& taskListing();
  void endTask();
  void startTask(const SearchTask& task);
  template <bool small>
  void giveAway(int depth);
  template <bool small>
  bool pollShared(int depth, uint64_t frequency, uint32_t interval);
  bool describe(const DataIndex& index, const std::vector<int>& labels, const std::vector<std::vector<int>>& neighbors,
                const std::vector<std::vector<int>>& symClasses, const std::vector<int>& order);
  void prepareStatistics(const DataIndex& index);
  void prepareArrays(const DataIndex& index);
  std::vector<int> pickOrder(const DataIndex& index);
  std::vector<int> greedyOrder(const DataIndex& index);
  Result runOrders(const DataIndex& index, const std::vector<int>& labels,
                   const std::vector<std::vector<int>>& neighbors, const std::vector<std::vector<int>>& symClasses,
                   uint64_t limit, StatsWriter& writer);
  Result race(const DataIndex& index, const std::vector<int>& labels, const std::vector<std::vector<int>>& neighbors,
              const std::vector<std::vector<int>>& symClasses, uint64_t limit, StatsWriter& writer);
  bool decideLazy(const DataIndex& index, uint64_t limit) const;
  template <class Sink>
  Result searchSmall(const DataIndex& index, uint64_t limit, Sink& sink);
  bool locallyPossible(const DataIndex& index, int v, int k) const;
  void markTested(int v, int k, bool possible);
  bool filterCandidates(const DataIndex& index);
  bool refine(const DataIndex& index, int k, size_t* steps);
  void clearMarks();
  template <bool small>
  void prepareLevels(const DataIndex& index);
  template <bool small>
  void enterLevel(const DataIndex& index, int k);
  template <bool small>
  void enterJoinedLevel(const DataIndex& index, int k, int bound, int ceiling);
  struct Filtered;
  struct ListingSink;
  template <bool small>
  void filterNeighbors(const DataIndex& index, int k, int image, Filtered* list);
  void intersectFiltered(int k, size_t driver, const int* start, const int* end);
  template <bool small, class Sink>
  Result search(const DataIndex& index, uint64_t limit, Sink& sink);
  template <bool small>
  void startWalk(const DataIndex& index);
  template <bool small, class Sink>
  bool advance(const DataIndex& index, uint64_t limit, Sink& sink, uint64_t checks, Result* result);
  void abandonWalk();
  template <bool small>
  bool admissible(const DataIndex& index, int k, int c);
  template <bool small>
  uint64_t failingSet(int k) const;
  void reportFailure(int depth, uint64_t failing);

  // One level of the search per query vertex: the candidate list being tried and what is known of
  // why its candidates failed.
  struct Level {
    const int* list = nullptr;
    size_t count = 0;
    size_t position = 0;
    uint64_t failing = 0;   // query vertices whose images caused the failures so far
    bool found = false;     // some candidate led to an embedding
    bool pruned = false;    // the remaining candidates were skipped; `failing` is final
    bool boundCut = false;  // the symmetry bound removed candidates
    bool untested = false;  // the list is a whole label class: candidates are tested as they come
  };

  std::vector<Vertex> vertices;
  std::vector<std::vector<int>> candidates;  // filtered candidates of each vertex, ascending
  ZeroedArray<uint64_t> candidateMask;       // per data vertex: bit k when it is a candidate of k
  ZeroedArray<uint64_t> testedMask;          // per data vertex: bit k when that has been decided
  std::vector<int> touched;                  // data vertices with marks to clear
  bool lazyFilter = false;                   // candidates decided when the search meets them
  ZeroedArray<int> usedBy;                   // per data vertex: depth + 1 of the vertex using it, or 0
  std::vector<std::vector<int>> buffers;     // per depth: the candidate list being tried
  struct Filtered {
    int image = -1;                          // data vertex whose neighbours the list holds
    std::vector<int> vertices;               // its neighbours that are candidates of the depth, in
    size_t size = 0;                         //   the first `size` entries (the rest is spare room)
  };
  std::vector<std::vector<Filtered>> filtered;  // per depth and earlier neighbour
  std::vector<int> embedding;                // the partial embedding, by depth
  SearchControl* control = nullptr;
  std::vector<Level> levels;
  // Where a walk that paused stands: the count so far, the depth, and from which depth the
  // embedding changed since the last one listed.
  struct Walk {
    uint64_t frequency = 0;
    size_t changedFrom = 0;
    int depth = 0;
  };
  Walk walk;
  std::vector<const std::vector<int>*> staticList;  // per depth without earlier neighbours
  std::map<std::pair<int, uint32_t>, std::vector<int>> sharedLists;  // (label, degree) -> vertices
  Tuning tuning;
  std::vector<int> searchOrder;              // depth -> query vertex; empty for the query's own order
  SortedListing held;                        // the embeddings of a search in another order
  std::unique_ptr<LabelStatistics> statistics;  // of the index below, made when first needed
  const DataIndex* statisticsIndex = nullptr;
  std::unique_ptr<EmbeddingSearch> rival;    // the search in the rival order of a race

  // Sharing the search with other threads.
  SplitBoard* board = nullptr;             // where idle threads wait for work
  // The board of the walk under way: set only while the search walks in the query's own order into
  // the query's listing (its own or a task's), since only such a walk may give parts of itself away;
  // a walk in another order, or a rival's, may be abandoned or sorted later.
  SplitBoard* walkBoard = nullptr;
  ParallelSearch* shared = nullptr;        // the split query this search works on, if any
  SearchTask* currentTask = nullptr;       // the part of it this search runs
  std::unique_ptr<ParallelSearch> ownSplit;  // the split of this search's own query
  int firstOpenDepth = 0;                  // levels above are fixed by the task
  uint64_t steps = 0;                      // steps deeper of the current walk or task, counted at each check
  uint64_t countedShared = 0;              // embeddings of the task already added to the shared count
  uint64_t preparedFor = 0;                // the split query the per-query state describes, or 0
  const DataIndex* currentIndex = nullptr;
  StatsWriter* currentWriter = nullptr;    // the listing of this search's own query
  const std::vector<int>* currentLabels = nullptr;
  const std::vector<std::vector<int>>* currentNeighbors = nullptr;
  const std::vector<std::vector<int>>* currentClasses = nullptr;
  uint64_t currentLimit = 0;
  std::unique_ptr<StatsWriter> taskWriter; // the listing of tasks of other searches
};
