// Filtering and the iterative search. Filtering removes a data vertex from the candidates of a query
// vertex only when no embedding can map the one onto the other, so counts and order are unchanged.
// The search keeps one level per query vertex: the candidate list being tried and its failing set.
//
// Failing sets (queries of up to 64 vertices): when the subtree below a candidate holds no embedding,
// its failing set names the query vertices whose images caused that (the earlier neighbours whose
// neighbour ranges were empty, the holders of candidates lost to injectivity, the symmetry sources
// whose bound cut candidates). If the current vertex is not among them, every sibling candidate
// fails the same way and is skipped.
#include "embedding_search.h"

#include <algorithm>
#include <cassert>
#include <map>
#include <type_traits>

#include "parallel_search.h"
#include "set_intersection.h"

namespace {

constexpr uint64_t everyVertex = ~uint64_t{0};
constexpr int refinementPasses = 4;
// Refinement stops after this many steps (candidates checked and neighbour entries scanned), wherever
// it is: past that it costs more than it is likely to save.
constexpr size_t refinementBudget = size_t{1} << 22;
// Label classes of the query's vertices adding up to more than this are not filtered up front.
constexpr size_t completeFilterBound = size_t{1} << 18;
// Label classes of the query's vertices averaging at most this many vertices are not filtered up front.
constexpr size_t smallClass = 512;

// A neighbour list of the renumbered query, ascending, without repeats and without the vertex itself.
std::vector<int> distinctRow(const std::vector<int>& row, int self, int n) {
  std::vector<int> out;
  for (int w : row) {
    if (w == self || w < 0 || w >= n) continue;
    if (!out.empty() && out.back() == w) continue;
    out.push_back(w);
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

}  // namespace

// Describes the query in the numbering of the search: depth d assigns vertex order[d] of the query
// (depth d is vertex d when `order` is empty). A symmetry entry x in the class of v (x < v) asks for
// the image of x below that of v; it bounds whichever of the two the search assigns later.
bool EmbeddingSearch::describe(const DataIndex& index, const std::vector<int>& labels,
                               const std::vector<std::vector<int>>& neighbors,
                               const std::vector<std::vector<int>>& symClasses, const std::vector<int>& order) {
  const int n = static_cast<int>(labels.size());
  std::vector<int> vertexAt(n), depthOf(n);
  for (int d = 0; d < n; ++d) vertexAt[d] = order.empty() ? d : order[d];
  for (int d = 0; d < n; ++d) depthOf[vertexAt[d]] = d;
  vertices.assign(n, Vertex());
  for (int k = 0; k < n; ++k) {
    Vertex& q = vertices[k];
    q.label = index.labelId(labels[vertexAt[k]]);
    if (q.label < 0) return false;  // a label no data vertex carries: no embedding at all
  }
  std::vector<int> row;
  for (int k = 0; k < n; ++k) {
    Vertex& q = vertices[k];
    const int s = vertexAt[k];
    row.clear();
    if (s < static_cast<int>(neighbors.size())) {
      for (int w : neighbors[s]) row.push_back(w >= 0 && w < n ? depthOf[w] : -1);
    }
    q.allNeighbors = distinctRow(row, k, n);
    q.degree = static_cast<uint32_t>(q.allNeighbors.size());
    for (int w : q.allNeighbors) {
      if (w < k) q.backward.push_back(w);
      auto it = std::find_if(q.neighborLabels.begin(), q.neighborLabels.end(),
                             [&](const std::pair<int, uint32_t>& entry) { return entry.first == vertices[w].label; });
      if (it == q.neighborLabels.end()) {
        q.neighborLabels.push_back({vertices[w].label, 1});
      } else {
        ++it->second;
      }
    }
  }
  for (int v = 0; v < n && v < static_cast<int>(symClasses.size()); ++v) {
    for (int x : symClasses[v]) {
      if (x < 0 || x >= v) continue;
      const int below = depthOf[x], above = depthOf[v];
      if (below < above) {
        vertices[above].symmetrySources.push_back(below);
      } else {
        vertices[below].symmetryCeilings.push_back(above);
      }
    }
  }
  for (int k = 0; k < n; ++k) {
    Vertex& q = vertices[k];
    for (std::vector<int>* list : {&q.symmetrySources, &q.symmetryCeilings}) {
      std::sort(list->begin(), list->end());
      list->erase(std::unique(list->begin(), list->end()), list->end());
    }
    if (n <= 64) {
      for (int w : q.backward) q.backwardMask |= uint64_t{1} << w;
      for (int x : q.symmetrySources) q.symmetryMask |= uint64_t{1} << x;
      for (int x : q.symmetryCeilings) q.symmetryMask |= uint64_t{1} << x;
    }
  }
  return true;
}

// Whether data vertex v can be the image of query vertex k by its own neighbourhood: enough distinct
// neighbours, and enough of each label that k's neighbours carry.
bool EmbeddingSearch::locallyPossible(const DataIndex& index, int v, int k) const {
  const Vertex& q = vertices[k];
  if (index.degree(v) < q.degree) return false;
  for (const auto& [label, count] : q.neighborLabels) {
    if (index.neighbors(v, label).size() < count) return false;
  }
  return true;
}

// Records the outcome of the local test of v for k in the per-vertex marks.
void EmbeddingSearch::markTested(int v, int k, bool possible) {
  assert(k < 64);
  if (testedMask[v] == 0) touched.push_back(v);
  const uint64_t bit = uint64_t{1} << k;
  testedMask[v] |= bit;
  if (possible) candidateMask[v] |= bit;
}

// The candidate list of every vertex, by the local test, refined until every candidate has, for each
// query neighbour, a data neighbour among that neighbour's candidates. False when some list is empty.
bool EmbeddingSearch::filterCandidates(const DataIndex& index) {
  const int n = static_cast<int>(vertices.size());
  assert(n <= 64);
  candidates.resize(n);
  for (int k = 0; k < n; ++k) {
    std::vector<int>& list = candidates[k];
    list.clear();
    for (int v : index.verticesWithLabel(vertices[k].label)) {
      const bool possible = locallyPossible(index, v, k);
      markTested(v, k, possible);
      if (possible) list.push_back(v);
    }
    if (list.empty()) return false;
  }
  size_t steps = 0;
  for (int pass = 0; pass < refinementPasses && steps < refinementBudget; ++pass) {
    bool changed = false;
    for (int k = 0; k < n && steps < refinementBudget; ++k) {
      const size_t before = candidates[k].size();
      if (!refine(index, k, &steps)) return false;
      changed |= candidates[k].size() != before;
    }
    if (!changed) break;
  }
  return true;
}

// Drops the candidates of k that lack a data neighbour among the candidates of some query neighbour;
// false when none is left. Adds the candidates checked and neighbour entries scanned to *steps.
bool EmbeddingSearch::refine(const DataIndex& index, int k, size_t* steps) {
  const Vertex& q = vertices[k];
  std::vector<int>& list = candidates[k];
  if (q.allNeighbors.empty()) return true;
  size_t kept = 0;
  for (int v : list) {
    bool supported = true;
    for (int w : q.allNeighbors) {
      const DataIndex::Range range = index.neighbors(v, vertices[w].label);
      const uint64_t bit = uint64_t{1} << w;
      const int* p = range.begin;
      while (p < range.end && !(candidateMask[*p] & bit)) ++p;
      *steps += static_cast<size_t>(p - range.begin) + 1;
      if (p == range.end) {
        supported = false;
        break;
      }
    }
    if (supported) {
      list[kept++] = v;
    } else {
      candidateMask[v] &= ~(uint64_t{1} << k);
    }
  }
  list.resize(kept);
  return kept > 0;
}

void EmbeddingSearch::clearMarks() {
  for (int v : touched) testedMask[v] = candidateMask[v] = 0;
  touched.clear();
}

EmbeddingSearch::EmbeddingSearch() = default;
EmbeddingSearch::~EmbeddingSearch() = default;

void EmbeddingSearch::prepareStatistics(const DataIndex& index) {
  statistics = std::make_unique<LabelStatistics>(index);
  statisticsIndex = &index;
}

void EmbeddingSearch::prepare(const DataIndex& index) {
  prepareStatistics(index);
  prepareArrays(index);
}

void EmbeddingSearch::prepareArrays(const DataIndex& index) {
  usedBy.reset(index.vertexCount());
  candidateMask.reset(index.vertexCount());
  testedMask.reset(index.vertexCount());
  // Fault the pages in now rather than in the middle of the first search.
  for (size_t v = 0; v < index.vertexCount(); v += 512) usedBy[v] = candidateMask[v] = testedMask[v] = 0;
}

// Writes each embedding to the statistics writer as it is found.
struct EmbeddingSearch::ListingSink {
  StatsWriter& writer;
  bool add(const int* embedding, size_t changedFrom) {
    writer.add(embedding, changedFrom);
    return true;
  }
};

EmbeddingSearch::Result EmbeddingSearch::run(const DataIndex& index, const std::vector<int>& labels,
                                             const std::vector<std::vector<int>>& neighbors,
                                             const std::vector<std::vector<int>>& symClasses, uint64_t limit,
                                             StatsWriter& writer) {
  // Tasks of another query run by this search may have left their marks.
  clearMarks();
  preparedFor = 0;
  searchOrder.clear();
  if (labels.empty()) return {0, true};
  if (usedBy.size() != index.vertexCount()) prepare(index);
  currentIndex = &index;
  currentWriter = &writer;
  currentLabels = &labels;
  currentNeighbors = &neighbors;
  currentClasses = &symClasses;
  currentLimit = limit;
  Result result{0, false};
  try {
    result = runOrders(index, labels, neighbors, symClasses, limit, writer);
  } catch (...) {
    walkBoard = nullptr;
    if (!ownSplit) throw;
    // The tasks given away must end before the split they belong to goes.
    endTask();
    try {
      ownSplit->finishOwner(*this, result, 0, std::current_exception());
    } catch (...) {
    }
    ownSplit.reset();
    clearMarks();
    throw;
  }
  walkBoard = nullptr;
  if (ownSplit) {
    // Some of the search was given away: the rest of it, and the whole result, come from the split.
    const uint64_t uncounted = result.frequency - countedShared;
    endTask();
    // The walk's end cleared the candidate marks: tasks the owner runs from here prepare the query
    // again.
    preparedFor = 0;
    try {
      result = ownSplit->finishOwner(*this, result, uncounted);
    } catch (...) {
      ownSplit.reset();
      clearMarks();
      throw;
    }
    ownSplit.reset();
    clearMarks();
  }
  return result;
}

// The search of the described query in the order that suits it: in another order with the
// embeddings held, in the own order alone, or the own order raced by a rival. Only a walk in the
// own order that lists into `writer` may give parts of itself to other threads.
EmbeddingSearch::Result EmbeddingSearch::runOrders(const DataIndex& index, const std::vector<int>& labels,
                                                   const std::vector<std::vector<int>>& neighbors,
                                                   const std::vector<std::vector<int>>& symClasses, uint64_t limit,
                                                   StatsWriter& writer) {
  if (!describe(index, labels, neighbors, symClasses, searchOrder)) return {0, true};
  for (auto& list : candidates) list.clear();
  if (labels.size() > 64) {
    ListingSink listing{writer};
    walkBoard = board;
    return search<false>(index, limit, listing);
  }
  searchOrder = pickOrder(index);
  if (!searchOrder.empty()) {
    // The embeddings are held and sorted into the sequence of the own order; a listing too large
    // to hold is found again along the own order.
    describe(index, labels, neighbors, symClasses, searchOrder);
    held.begin(searchOrder, tuning.heldBound);
    Result result = searchSmall(index, limit, held);
    if (!held.full()) {
      if (result.completed) {
        held.writeSorted(writer, 0);
      } else {
        held.clear();
      }
      return result;
    }
    held.clear();
    searchOrder.clear();
    describe(index, labels, neighbors, symClasses, searchOrder);
  }
  walkBoard = board;
  if (tuning.order != Tuning::Order::automatic || labels.size() < 3) return searchSmall(index, limit, writer);
  return race(index, labels, neighbors, symClasses, limit, writer);
}

// The own order against a rival order, in turns of doubling length, the own order first and alone
// for a while: a search that ends soon never meets the rival. The own order lists as it goes; the
// rival holds its embeddings. If the rival ends first with a complete count, the own order has listed
// the first of them in their final sequence, and the rest follow from the rival's, sorted. Once the
// own walk has given work to other threads it can no longer be abandoned: it finishes alone.
EmbeddingSearch::Result EmbeddingSearch::race(const DataIndex& index, const std::vector<int>& labels,
                                              const std::vector<std::vector<int>>& neighbors,
                                              const std::vector<std::vector<int>>& symClasses, uint64_t limit,
                                              StatsWriter& writer) {
  ListingSink listing{writer};
  lazyFilter = decideLazy(index, limit);
  if (!lazyFilter && !filterCandidates(index)) {
    clearMarks();
    return {0, true};
  }
  startWalk<true>(index);
  Result result{0, true};
  uint64_t turn = tuning.firstTurn;
  if (advance<true>(index, limit, listing, turn, &result)) {
    clearMarks();
    return result;
  }
  const std::vector<int> rivalOrder = ownSplit ? std::vector<int>() : greedyOrder(index);
  if (rivalOrder.empty()) {
    // The own order is the greedy one, or parts of it run elsewhere: it finishes alone.
    advance<true>(index, limit, listing, UINT64_MAX, &result);
    clearMarks();
    return result;
  }
  if (!rival) rival = std::make_unique<EmbeddingSearch>();
  EmbeddingSearch& other = *rival;
  other.control = control;
  other.tuning.filter = tuning.filter;
  other.tuning.checkInterval = tuning.checkInterval;
  if (other.usedBy.size() != index.vertexCount()) other.prepareArrays(index);
  other.describe(index, labels, neighbors, symClasses, rivalOrder);
  other.lazyFilter = other.decideLazy(index, limit);
  if (!other.lazyFilter && !other.filterCandidates(index)) {
    // Filtering is exact about emptiness: no embedding exists, and the own walk has listed none.
    other.clearMarks();
    abandonWalk();
    return {0, true};
  }
  other.held.begin(rivalOrder, tuning.heldBound);
  other.startWalk<true>(index);
  for (;;) {
    Result rivalResult{0, true};
    if (other.advance<true>(index, limit, other.held, turn, &rivalResult)) {
      other.clearMarks();
      if (other.held.full()) {
        // Too many embeddings to hold: the own order finishes alone.
        other.held.clear();
        advance<true>(index, limit, listing, UINT64_MAX, &result);
        clearMarks();
        return result;
      }
      const uint64_t listed = walk.frequency;
      abandonWalk();
      searchOrder = rivalOrder;
      if (rivalResult.completed) {
        other.held.writeSorted(writer, listed);
      } else {
        other.held.clear();
      }
      return rivalResult;
    }
    turn *= 2;
    const bool ended = advance<true>(index, limit, listing, turn, &result);
    if (ended || ownSplit) {
      other.abandonWalk();
      other.held.clear();
      if (!ended) advance<true>(index, limit, listing, UINT64_MAX, &result);
      clearMarks();
      return result;
    }
  }
}

// Whether candidates are tested when the search meets them rather than up front.
bool EmbeddingSearch::decideLazy(const DataIndex& index, uint64_t limit) const {
  if (tuning.filter != Tuning::Filter::automatic) return tuning.filter == Tuning::Filter::lazy;
  // Filtering every label class up front pays on searches that run to their end over classes of
  // moderate size; under a limit, or over large classes, a search usually meets only a part of
  // them. Over very small classes (many labels) the search is so short that filtering up front
  // would be most of its cost, while testing candidates as they come prunes nearly as well.
  size_t classSizes = 0;
  for (const Vertex& q : vertices) classSizes += index.verticesWithLabel(q.label).size();
  return limit != UINT64_MAX || classSizes > completeFilterBound || classSizes <= smallClass * vertices.size();
}

// The search of a query of up to 64 vertices as described: filtering, then the search.
template <class Sink>
EmbeddingSearch::Result EmbeddingSearch::searchSmall(const DataIndex& index, uint64_t limit, Sink& sink) {
  lazyFilter = decideLazy(index, limit);
  const bool possible = lazyFilter || filterCandidates(index);
  Result result{0, true};
  if (possible) {
    if constexpr (std::is_same_v<Sink, StatsWriter>) {
      ListingSink listing{sink};
      result = search<true>(index, limit, listing);
    } else {
      result = search<true>(index, limit, sink);
    }
  }
  clearMarks();
  return result;
}

// Describes the query in its own order and filters its candidates as `lazy` says; false when it can
// have no embedding.
bool EmbeddingSearch::prepareQuery(const DataIndex& index, const std::vector<int>& labels,
                                   const std::vector<std::vector<int>>& neighbors,
                                   const std::vector<std::vector<int>>& symClasses, bool lazy) {
  searchOrder.clear();
  if (!describe(index, labels, neighbors, symClasses, searchOrder)) return false;
  for (auto& list : candidates) list.clear();
  if (labels.size() > 64) return true;
  lazyFilter = lazy;
  return lazyFilter || filterCandidates(index);
}

// Readies this search for tasks of `split`: its query described and filtered as its owner has it.
void EmbeddingSearch::prepareTask(ParallelSearch& split) {
  shared = &split;
  board = &split.splitBoard();
  if (preparedFor == split.id()) return;
  clearMarks();
  preparedFor = 0;
  const ParallelSearch::QueryRef& query = split.query();
  if (usedBy.size() != query.index->vertexCount()) prepareArrays(*query.index);
  currentIndex = query.index;
  // The owner found the query possible; the same filter finds the same candidates.
  prepareQuery(*query.index, *query.labels, *query.neighbors, *query.symClasses, query.lazy);
  if (query.labels->size() <= 64) {
    prepareLevels<true>(*query.index);
  } else {
    prepareLevels<false>(*query.index);
  }
  preparedFor = split.id();
}

StatsWriter& EmbeddingSearch::taskListing() {
  if (!taskWriter) taskWriter = std::make_unique<StatsWriter>();
  return *taskWriter;
}

EmbeddingSearch::Result EmbeddingSearch::runTask(SearchTask& task, uint64_t limit, StatsWriter& writer) {
  currentTask = &task;
  // A task walks in the query's own order and lists into its own writer: it may give work away too.
  walkBoard = board;
  ListingSink listing{writer};
  Result result{0, true};
  startTask(task);
  if (vertices.size() <= 64) {
    advance<true>(*currentIndex, limit, listing, UINT64_MAX, &result);
  } else {
    advance<false>(*currentIndex, limit, listing, UINT64_MAX, &result);
  }
  walkBoard = nullptr;
  return result;
}

void EmbeddingSearch::endTask() {
  shared = nullptr;
  currentTask = nullptr;
  walkBoard = nullptr;
  firstOpenDepth = 0;
}

// Fixes the levels above the task's level to the task's images, points its level at the task's
// candidates and sets the walk there.
void EmbeddingSearch::startTask(const SearchTask& task) {
  const int n = static_cast<int>(vertices.size());
  embedding.assign(n, 0);
  levels.assign(n, Level());
  for (int d = 0; d < task.depth; ++d) {
    embedding[d] = task.prefix[d];
    usedBy[task.prefix[d]] = d + 1;
    Level& fixed = levels[d];
    fixed.list = embedding.data() + d;
    fixed.count = fixed.position = 1;
    fixed.found = true;
  }
  Level& level = levels[task.depth];
  level.list = task.list.data();
  level.count = task.list.size();
  level.untested = task.untested;
  firstOpenDepth = task.depth;
  walk = Walk();
  walk.depth = task.depth;
  steps = 0;
  countedShared = 0;
}

// The order of a search that runs wholly in another order than the query's own: empty for none.
std::vector<int> EmbeddingSearch::pickOrder(const DataIndex& index) {
  const int n = static_cast<int>(vertices.size());
  if (!tuning.forcedOrder.empty()) {
    std::vector<int> sorted = tuning.forcedOrder;
    std::sort(sorted.begin(), sorted.end());
    bool permutation = static_cast<int>(sorted.size()) == n;
    for (int i = 0; permutation && i < n; ++i) permutation = sorted[i] == i;
    if (permutation) return tuning.forcedOrder;
  }
  if (tuning.order != Tuning::Order::cheapest) return {};
  return greedyOrder(index);
}

// The cheapest greedy order of the query as described in its own numbering; empty when that is the
// own order.
std::vector<int> EmbeddingSearch::greedyOrder(const DataIndex& index) {
  const int n = static_cast<int>(vertices.size());
  if (!statistics || statisticsIndex != &index) prepareStatistics(index);
  QueryShape shape;
  shape.labels.resize(n);
  shape.neighbors.resize(n);
  for (int k = 0; k < n; ++k) {
    shape.labels[k] = vertices[k].label;
    shape.neighbors[k] = vertices[k].allNeighbors;
  }
  std::vector<int> order = cheapestGreedyOrder(*statistics, shape);
  for (int d = 0; d < static_cast<int>(order.size()); ++d) {
    if (order[d] != d) return order;
  }
  return {};
}

// Points each level at the list it draws from when it has no earlier neighbour, and forgets the
// filtered lists of the previous query.
template <bool small>
void EmbeddingSearch::prepareLevels(const DataIndex& index) {
  const int n = static_cast<int>(vertices.size());
  embedding.assign(n, 0);
  levels.assign(n, Level());
  if (buffers.size() < static_cast<size_t>(n)) buffers.resize(n);
  // Without filtering (large queries), a vertex without earlier neighbours draws from the vertices
  // of its label with enough neighbours; such lists are shared between vertices alike.
  staticList.assign(n, nullptr);
  sharedLists.clear();
  for (int k = 0; k < n; ++k) {
    const Vertex& q = vertices[k];
    if (small) {
      staticList[k] = lazyFilter ? &index.verticesWithLabel(q.label) : &candidates[k];
    } else if (q.backward.empty()) {
      if (q.degree == 0) {
        staticList[k] = &index.verticesWithLabel(q.label);
        continue;
      }
      auto [it, inserted] = sharedLists.try_emplace({q.label, q.degree});
      if (inserted) {
        for (int v : index.verticesWithLabel(q.label)) {
          if (index.degree(v) >= q.degree) it->second.push_back(v);
        }
      }
      staticList[k] = &it->second;
    }
  }

  if (filtered.size() < static_cast<size_t>(n)) filtered.resize(n);
  for (int k = 0; k < n; ++k) {
    filtered[k].resize(vertices[k].backward.size());
    for (Filtered& list : filtered[k]) list.image = -1;
  }
}

// Fills the candidate list of level k from the images of the earlier levels. Its helpers are inlined:
// this is the search's hottest path, and calls between them cost several percent.
template <bool small>
void EmbeddingSearch::enterLevel(const DataIndex& index, int k) {
  Level& level = levels[k];
  level.position = 0;
  level.failing = 0;
  level.found = level.pruned = level.boundCut = level.untested = false;
  const Vertex& q = vertices[k];
  int bound = -1;
  for (int x : q.symmetrySources) bound = std::max(bound, embedding[x]);
  int ceiling = -1;
  for (int x : q.symmetryCeilings) ceiling = ceiling < 0 ? embedding[x] : std::min(ceiling, embedding[x]);
  if (q.backward.empty()) {
    // A list fixed for the whole query, cut to the symmetry bounds.
    const std::vector<int>& list = *staticList[k];
    const int* start = list.data();
    const int* end = list.data() + list.size();
    if (bound >= 0) start = std::upper_bound(start, end, bound);
    if (ceiling >= 0) end = std::lower_bound(start, end, ceiling);
    level.boundCut = start != list.data() || end != list.data() + list.size();
    level.untested = small && lazyFilter;
    level.list = start;
    level.count = static_cast<size_t>(end - start);
    return;
  }
  enterJoinedLevel<small>(index, k, bound, ceiling);
}

// Level k's candidates when it has earlier neighbours: the intersection of their filtered ranges,
// cut below the symmetry bound.
template <bool small>
[[gnu::always_inline]] inline void EmbeddingSearch::enterJoinedLevel(const DataIndex& index, int k, int bound, int ceiling) {
  Level& level = levels[k];
  const Vertex& q = vertices[k];
  // The filtered neighbour range of each earlier neighbour's image is kept until that image
  // changes: an earlier neighbour assigned long before keeps serving the same list.
  std::vector<Filtered>& lists = filtered[k];
  size_t driver = 0;
  for (size_t j = 0; j < q.backward.size(); ++j) {
    Filtered& list = lists[j];
    const int image = embedding[q.backward[j]];
    if (list.image != image) filterNeighbors<small>(index, k, image, &list);
    if (list.size == 0) {
      level.count = 0;
      return;
    }
    if (list.size < lists[driver].size) driver = j;
  }
  const int* start = lists[driver].vertices.data();
  const int* end = start + lists[driver].size;
  if (bound >= 0) {
    const int* first = start;
    start = std::upper_bound(start, end, bound);
    level.boundCut = start != first;
  }
  if (ceiling >= 0) {
    const int* last = end;
    end = std::lower_bound(start, end, ceiling);
    level.boundCut = level.boundCut || end != last;
  }
  if (lists.size() == 1) {
    level.list = start;
    level.count = static_cast<size_t>(end - start);
    return;
  }
  intersectFiltered(k, driver, start, end);
}

// The neighbours of `image` with the label of query vertex k that may be images of k, in the first
// `size` entries of the list.
template <bool small>
[[gnu::always_inline]] inline void EmbeddingSearch::filterNeighbors(const DataIndex& index, int k, int image, Filtered* list) {
  const DataIndex::Range range = index.neighbors(image, vertices[k].label);
  if (list->vertices.size() < range.size()) list->vertices.resize(range.size());
  int* out = list->vertices.data();
  size_t size = 0;
  if (small) {
    const uint64_t* mask = candidateMask.data();
    if (lazyFilter) {
      const uint64_t* tested = testedMask.data();
      for (const int* p = range.begin; p < range.end; ++p) {
        if (!(tested[*p] >> k & 1)) markTested(*p, k, locallyPossible(index, *p, k));
      }
    }
    // Written unconditionally and kept by the mask bit: no branch to mispredict.
    for (const int* p = range.begin; p < range.end; ++p) {
      out[size] = *p;
      size += (mask[*p] >> k) & 1;
    }
  } else {
    const uint32_t degree = vertices[k].degree;
    for (const int* p = range.begin; p < range.end; ++p) {
      out[size] = *p;
      size += index.degree(*p) >= degree;
    }
  }
  list->size = size;
  list->image = image;
}

// The candidates of level k: the driver's list from `start` against every other filtered list of
// the level. The smallest against the next smallest into the level's buffer, then the others in place.
[[gnu::always_inline]] inline void EmbeddingSearch::intersectFiltered(int k, size_t driver, const int* start, const int* end) {
  const std::vector<Filtered>& lists = filtered[k];
  size_t second = driver == 0 ? 1 : 0;
  for (size_t j = 0; j < lists.size(); ++j) {
    if (j != driver && lists[j].size < lists[second].size) second = j;
  }
  std::vector<int>& buffer = buffers[k];
  const size_t room = static_cast<size_t>(end - start) + 8;
  if (buffer.size() < room) buffer.resize(room);
  size_t size = intersectInto(start, static_cast<size_t>(end - start), lists[second].vertices.data(),
                              lists[second].size, buffer.data());
  for (size_t j = 0; j < lists.size() && size > 0; ++j) {
    if (j != driver && j != second) {
      const int* more = lists[j].vertices.data();
      size = intersectInPlace(buffer.data(), size, more, more + lists[j].size);
    }
  }
  Level& level = levels[k];
  level.list = buffer.data();
  level.count = size;
}

template <bool small, class Sink>
EmbeddingSearch::Result EmbeddingSearch::search(const DataIndex& index, uint64_t limit, Sink& sink) {
  startWalk<small>(index);
  Result result{0, true};
  advance<small>(index, limit, sink, UINT64_MAX, &result);
  return result;
}

// Readies the levels for a walk from the first candidate of depth 0.
template <bool small>
void EmbeddingSearch::startWalk(const DataIndex& index) {
  // The failing sets and the candidate marks are 64-bit masks over the query's vertices.
  assert(!small || vertices.size() <= 64);
  prepareLevels<small>(index);
  walk = Walk();
  firstOpenDepth = 0;
  steps = 0;
  countedShared = 0;
  enterLevel<small>(index, 0);
}

// Goes on with the walk for about `checks` times stopCheckInterval steps. True, with *result set,
// when the search has ended (and left no vertex marked as used); false when it paused.
template <bool small, class Sink>
bool EmbeddingSearch::advance(const DataIndex& index, uint64_t limit, Sink& sink, uint64_t checks, Result* result) {
  const int n = static_cast<int>(vertices.size());
  uint64_t frequency = walk.frequency;
  size_t changedFrom = walk.changedFrom;  // embedding ids before this depth are those of the last one listed
  int depth = walk.depth;
  const uint32_t interval =
      walkBoard != nullptr ? std::min(tuning.checkInterval, walkBoard->settings().checkInterval) : tuning.checkInterval;
  uint32_t untilCheck = interval, untilShare = interval;
  // Held in locals, since the sink's writes could alias the members: whether this walk may share its
  // work, and whether it publishes its own count (not once it has been split).
  const bool mayShare = walkBoard != nullptr;
  bool publishOwn = control != nullptr && shared == nullptr;
  for (;;) {
    Level& level = levels[depth];
    if (level.position < level.count) {
      const int c = level.list[level.position++];
      if (!admissible<small>(index, depth, c)) continue;
      embedding[depth] = c;
      if (depth == n - 1) {
        if (++frequency > limit || !sink.add(embedding.data(), changedFrom)) {
          for (int d = 0; d < depth; ++d) usedBy[embedding[d]] = 0;
          *result = {frequency, false};
          return true;
        }
        if (publishOwn) control->publish(frequency);
        changedFrom = static_cast<size_t>(depth);
        level.found = true;
        // A search whose work is mostly listing seldom goes deeper: its embeddings count towards
        // sharing it, though not against a turn.
        if (mayShare && --untilShare == 0) {
          untilShare = interval;
          const bool stop = pollShared<small>(depth, frequency, interval);
          publishOwn = control != nullptr && shared == nullptr;
          if (stop) {
            for (int d = 0; d < depth; ++d) usedBy[embedding[d]] = 0;
            *result = {frequency, false, true};
            return true;
          }
        }
        continue;
      }
      // Steps are counted where the search goes deeper, its costly moves; listing an embedding,
      // work that every order does alike, is not counted against a turn.
      if (--untilCheck == 0) {
        untilCheck = interval;
        if ((control != nullptr && control->stopRequested()) ||
            (mayShare && pollShared<small>(depth, frequency, interval))) {
          for (int d = 0; d < depth; ++d) usedBy[embedding[d]] = 0;
          *result = {frequency, false, true};
          return true;
        }
        publishOwn = control != nullptr && shared == nullptr;
        if (--checks == 0) {
          // Paused before going deeper: the candidate is taken again when the walk goes on.
          --level.position;
          walk = {frequency, changedFrom, depth};
          return false;
        }
      }
      usedBy[c] = depth + 1;
      enterLevel<small>(index, ++depth);
      continue;
    }
    // Every candidate of this level is done: report its failing set to the level above.
    const uint64_t failing = failingSet<small>(depth);
    if (depth == 0) break;
    usedBy[embedding[--depth]] = 0;
    changedFrom = std::min(changedFrom, static_cast<size_t>(depth));
    if (small) reportFailure(depth, failing);
  }
  *result = {frequency, true};
  return true;
}

// Ends a paused walk: frees the data vertices of its partial embedding and the candidate marks.
void EmbeddingSearch::abandonWalk() {
  for (int d = 0; d < walk.depth; ++d) usedBy[embedding[d]] = 0;
  walk = Walk();
  clearMarks();
}

// At a check of a search that may share its work: adds what it found to the shared count, gives work
// away when a thread waits for some, and says whether the search should stop.
template <bool small>
bool EmbeddingSearch::pollShared(int depth, uint64_t frequency, uint32_t interval) {
  steps += interval;
  if (shared != nullptr) {
    shared->addCount(frequency - countedShared);
    countedShared = frequency;
    if (control != nullptr) control->publish(shared->total());
    if (shared->stopRequested()) return true;
  }
  if (steps >= walkBoard->settings().stepsBeforeSplit && walkBoard->wantsWork()) giveAway<small>(depth);
  return false;
}

// Gives the upper half of the untried candidates of the shallowest unfinished level (above the last
// one, whose candidates have no subtrees) to another thread. What is given comes after everything
// this search keeps, so the task goes right after this one in the split's order.
template <bool small>
void EmbeddingSearch::giveAway(int depth) {
  const int n = static_cast<int>(vertices.size());
  const int last = std::min(depth, n - 2);
  for (int d = firstOpenDepth; d <= last; ++d) {
    Level& level = levels[d];
    // The candidate each level has taken (at `depth` the one the search is about to go below) stays
    // with the search, so that tasks cannot hand the same work back and forth without doing any.
    if (level.position >= level.count) continue;
    const size_t remaining = level.count - level.position;
    const size_t keep = remaining / 2;
    if (shared == nullptr) {
      ParallelSearch::QueryRef query{currentIndex, currentLabels, currentNeighbors, currentClasses,
                                     currentLimit, control, lazyFilter};
      ownSplit = std::make_unique<ParallelSearch>(*walkBoard, query, *currentWriter);
      shared = ownSplit.get();
      currentTask = shared->ownerTask();
      preparedFor = shared->id();
    }
    shared->donate(currentTask, embedding.data(), d, level.list + level.position + keep,
                   remaining - keep, small && level.untested);
    level.count = level.position + keep;
    // Part of the level is searched elsewhere: its failures say nothing of the whole level.
    level.found = true;
    return;
  }
}

// Whether candidate c of level k passes the lazy filter and is not used by an earlier level; a use
// joins the level's failing set.
template <bool small>
[[gnu::always_inline]] inline bool EmbeddingSearch::admissible(const DataIndex& index, int k, int c) {
  Level& level = levels[k];
  if (small && level.untested) {
    if (!(testedMask[c] >> k & 1)) markTested(c, k, locallyPossible(index, c, k));
    if (!(candidateMask[c] >> k & 1)) return false;
  }
  if (usedBy[c] != 0) {
    if (small) level.failing |= uint64_t{1} << (usedBy[c] - 1);
    return false;
  }
  return true;
}

// Why the finished level k found nothing: the query vertices whose images caused it, or every vertex
// when it found an embedding or failing sets are not kept.
template <bool small>
uint64_t EmbeddingSearch::failingSet(int k) const {
  const Level& level = levels[k];
  if (!small || level.found) return everyVertex;
  if (level.pruned) return level.failing;
  const Vertex& q = vertices[k];
  return level.failing | q.backwardMask | (level.boundCut ? q.symmetryMask : 0);
}

// Hands the failing set of a finished child to its parent level `depth`.
void EmbeddingSearch::reportFailure(int depth, uint64_t failing) {
  Level& parent = levels[depth];
  if (failing == everyVertex) {
    parent.found = true;
  } else if (!(failing >> depth & 1)) {
    // The failure does not involve this vertex's image: its other candidates fail alike.
    parent.position = parent.count;
    parent.failing = failing;
    parent.pruned = true;
  } else {
    parent.failing |= failing;
  }
}
