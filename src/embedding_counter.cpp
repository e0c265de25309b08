// The count: an iterative search over the enumerated prefix (candidate lists from filtered neighbour
// ranges, kept while the image they belong to stays; injectivity by a marker array, skipped for free
// vertices; symmetry as bounds cut from the ascending lists; the weights of peeled trees multiplied
// along the way), and at its last level, for each of its images, the trailing classes evaluated from
// intersection sizes or weighted sums. Classes that do not depend on the last level's image are
// evaluated once per list.
//
// Amounts are unsigned 128-bit; every value added is a count of extensions, so the running total
// only grows, and a total past the limit (or 2^64) ends the count at once.
//
// Lists computed for trailing groups are stamped with the serial number of the assignment they were
// computed under: every assignment takes a new serial, so a list stays valid exactly while the
// deepest level it depends on keeps its image.
#include "embedding_counter.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cassert>
#include <climits>
#include <exception>
#include <numeric>

#include "collision_terms.h"
#include "data_index.h"
#include "parallel_search.h"
#include "set_intersection.h"
#include "shared_count.h"

namespace {

// Steps between two polls of the stop hook; a step is a candidate tried or a few list entries read.
constexpr uint64_t pollInterval = uint64_t{1} << 14;

// Entries of the ascending list [list, list + size) strictly between lower and upper.
inline std::pair<const int*, const int*> clip(const int* list, size_t size, int lower, int upper) {
  const int* first = list;
  const int* last = list + size;
  if (lower >= 0) first = std::upper_bound(first, last, lower);
  if (upper != INT_MAX) last = std::lower_bound(first, last, upper);
  return {first, last};
}

inline bool contains(const int* list, size_t size, int v) { return std::binary_search(list, list + size, v); }

constexpr unsigned __int128 atLeast64 = ~static_cast<unsigned __int128>(0);

// The product of two amounts; zero wins over "at least 2^64".
inline unsigned __int128 multiplyAmounts(unsigned __int128 a, unsigned __int128 b) {
  if (a == 0 || b == 0) return 0;
  unsigned __int128 product;
  if (a == atLeast64 || b == atLeast64 || __builtin_mul_overflow(a, b, &product)) return atLeast64;
  return product;
}

inline unsigned __int128 addAmounts(unsigned __int128 a, unsigned __int128 b) {
  const unsigned __int128 sum = a + b;
  return sum < a || a == atLeast64 || b == atLeast64 ? atLeast64 : sum;
}

}  // namespace

CountResult EmbeddingCounter::report(const Outcome& outcome, uint64_t limit) {
  CountResult result;
  if (outcome.exceeded) {
    result.completed = false;
    if (limit == UINT64_MAX) {
      result.overflow = true;
      result.count = UINT64_MAX;
    } else {
      result.count = limit + 1;
    }
  } else if (outcome.hookStopped) {
    result.completed = false;
    result.stoppedByHook = true;
    result.count = outcome.total > UINT64_MAX ? UINT64_MAX : static_cast<uint64_t>(outcome.total);
  } else {
    result.count = static_cast<uint64_t>(outcome.total);
  }
  return result;
}

// Builds (unless `built`) and runs the plan of a pattern; when its weights cannot be counted with
// exactly, builds and runs it again without peeling.
EmbeddingCounter::Outcome EmbeddingCounter::runExactly(const DataIndex& index, CountPlan& countPlan,
                                                       const Pattern& pattern, bool built,
                                                       unsigned __int128 countLimit, const StopHook& stopHook) {
  countPlan.allowPeeling(true);
  if (!built && !countPlan.build(index, pattern)) return Outcome();
  Outcome outcome = runAll(index, countPlan, countLimit, stopHook);
  if (outcome.inexact) {
    countPlan.allowPeeling(false);
    const bool feasible = countPlan.build(index, pattern);
    countPlan.allowPeeling(true);
    if (!feasible) return Outcome();
    outcome = runAll(index, countPlan, countLimit, stopHook);
  }
  return outcome;
}

// Counts every root of a built plan: shared with the threads of the board that have nothing to do,
// when there is a board and more than one root.
EmbeddingCounter::Outcome EmbeddingCounter::runAll(const DataIndex& index, const CountPlan& countPlan,
                                                   unsigned __int128 countLimit, const StopHook& stopHook) {
  if (board == nullptr || board->threadCount() < 2 || countPlan.levels.empty() || countPlan.roots() < 2) {
    return run(index, countPlan, 0, countPlan.roots(), countLimit, stopHook);
  }
  SharedCount share(*board, index, countPlan, countLimit, stopHook, memoizeRanges);
  countChunks(share, false);
  share.waitForHelpers();
  share.rethrowFailure();
  Outcome outcome;
  outcome.total = share.total();
  outcome.exceeded = share.exceeded();
  outcome.inexact = !outcome.exceeded && share.inexact();
  outcome.hookStopped = !outcome.exceeded && !outcome.inexact && share.hookStopped();
  return outcome;
}

void EmbeddingCounter::countChunks(SharedCount& share, bool helper) {
  size_t first = 0, last = 0;
  unsigned __int128 chunkLimit = 0;
  bool samePlan = false;
  while (share.take(&first, &last, &chunkLimit, helper)) {
    const Outcome outcome = run(share.dataIndex(), share.countPlan(), first, last, chunkLimit, share.chunkHook(), samePlan);
    samePlan = true;
    share.add(outcome.total, outcome.exceeded, outcome.hookStopped, outcome.inexact);
  }
}

void EmbeddingCounter::helpCount(SharedCount& share) {
  const bool ownMemoize = memoizeRanges;
  memoizeRanges = share.memoize();
  try {
    countChunks(share, true);
  } catch (...) {
    share.fail(std::current_exception());
  }
  memoizeRanges = ownMemoize;
}

CountResult EmbeddingCounter::count(const DataIndex& index, const std::vector<int>& labels,
                                    const std::vector<std::vector<int>>& neighbors,
                                    const std::vector<std::vector<int>>& symClasses, uint64_t countLimit,
                                    const StopHook& stopHook) {
  Pattern pattern;
  candidateCache.clear();
  ownPlan.allowPeeling(true);
  if (labels.empty() || !describeQuery(index, labels, neighbors, symClasses, &pattern) ||
      !ownPlan.build(index, pattern)) {
    ownPlan.build(index, Pattern());  // the last plan is that of this query: infeasible
    return CountResult();
  }
  Statistics chosen;
  // The cheapest plan by the estimate gets a short trial; if it does not finish, the next cheapest
  // plans and the collision terms are probed, and the fastest by the probes is counted.
  // (Every count gets the trial: under a limit the plain count may pass it early, which no estimate
  // of the whole count foresees.)
  bool probing = pattern.size() <= 64 && ownPlan.estimatedCost() > probeFrom;
  if (collisionTermsFrom > 0) {
    StopHook trial = stopHook;
    const auto trialEnd = std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                                  std::chrono::duration<double>(trialSeconds));
    trial.deadline = std::min(stopHook.deadline, trialEnd);
    const Outcome outcome = runExactly(index, ownPlan, pattern, true, countLimit, pattern.size() <= 64 ? trial : stopHook);
    if (!outcome.hookStopped || stopHook.due()) return report(outcome, countLimit);
    probing = true;
  }
  if (probing || collisionTermsFrom <= 0) {
    memoizeRanges = true;
    probeHook = &stopHook;
    constexpr int probes = 256;
    constexpr double planBudget = 0.005, termBudget = 0.002;
    double bestSeconds = HUGE_VAL;
    size_t bestAlternative = 0, builtAlternative = 0;
    std::vector<CollisionTerm> bestTerms;
    if (probing) {
      // A quick look at every alternative first, then the full estimate of those within reach of
      // the quickest: a bad plan probed first would otherwise take the longest to size.
      const size_t alternatives = std::min<size_t>(ownPlan.alternatives(), 10);
      std::vector<double> quick(alternatives, HUGE_VAL);
      double quickest = HUGE_VAL;
      for (size_t k = 0; k < alternatives && !stopHook.due(); ++k) {
        if (k > 0 && !ownPlan.build(index, pattern, false, k)) continue;
        builtAlternative = k;
        quick[k] = estimateSeconds(index, ownPlan, 0, 0, HUGE_VAL, false);
        quickest = std::min(quickest, quick[k]);
      }
      for (size_t k = 0; k < alternatives && !stopHook.due(); ++k) {
        if (quick[k] > 3 * quickest) continue;
        if (k != builtAlternative && !ownPlan.build(index, pattern, false, k)) continue;
        builtAlternative = k;
        const double seconds = estimateSeconds(index, ownPlan, probes, planBudget, 3 * bestSeconds);
        if (seconds < bestSeconds) {
          bestSeconds = seconds;
          bestAlternative = k;
        }
      }
    }
    // Two choices of free vertices: every collision the trees allow, or only those that close no
    // cycle in the quotients (fewer vertices free, cheaper terms).
    std::vector<bool> noneFree(pattern.size(), false), tried = noneFree;
    for (int maxDistance : {1 << 30, 2}) {
      const std::vector<bool> freeVertex = chooseFreeVertices(pattern, maxCollisionTerms, maxDistance);
      if (freeVertex == noneFree || freeVertex == tried) continue;
      tried = freeVertex;
      if (!(collisionTermsFrom <= 0 || ownPlan.estimatedCost() > collisionTermsFrom || probing)) continue;
      const std::vector<CollisionTerm> terms = collisionTerms(pattern, freeVertex);
      double termSeconds = 0;
      const auto start = std::chrono::steady_clock::now();
      for (const CollisionTerm& term : terms) {
        if (termSeconds >= bestSeconds || stopHook.due()) break;
        if (termPlan.build(index, term.pattern)) {
          termSeconds += estimateSeconds(index, termPlan, probes, termBudget, 3 * (bestSeconds - termSeconds));
        }
      }
      // Planning every term again costs about what it cost here.
      termSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      if (termSeconds < bestSeconds || collisionTermsFrom <= 0) {
        bestSeconds = termSeconds;
        bestTerms = terms;
      }
    }
    probeHook = nullptr;
    if (stopHook.due()) {
      memoizeRanges = false;
      CountResult result;
      result.completed = false;
      result.stoppedByHook = true;
      return result;
    }
    if (!bestTerms.empty()) {
      CountResult result;
      const bool counted = countTerms(index, bestTerms, countLimit, stopHook, &result);
      memoizeRanges = false;
      if (counted) {
        stats.collisionTerms = bestTerms.size();
        stats.probedSeconds = bestSeconds;
        return result;
      }
      memoizeRanges = true;
    }
    if (bestAlternative != builtAlternative) ownPlan.build(index, pattern, false, bestAlternative);
    chosen.alternative = bestAlternative;
    chosen.probedSeconds = probing ? bestSeconds : 0;
  }
  const Outcome outcome = runExactly(index, ownPlan, pattern, true, countLimit, stopHook);
  memoizeRanges = false;
  stats.alternative = chosen.alternative;
  stats.probedSeconds = chosen.probedSeconds;
  return report(outcome, countLimit);
}

// One probe: a random path down the search tree, choosing each level's candidate uniformly; returns
// the time of the work met on the path, each weighted by the number of nodes it stands for.
double EmbeddingCounter::probeOnce() {
  const DataIndex& index = *probeIndex;
  const int m = static_cast<int>(plan->levels.size());
  auto now = [] { return std::chrono::steady_clock::now(); };
  auto seconds = [](std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
  };
  total = 0;
  exceeded = false;
  if (m == 0) {
    const auto start = now();
    staticProduct(index);
    return seconds(start, now());
  }
  double estimate = 0, factor = 1;
  int depth = 0;
  auto start = now();
  enterLevel(index, 0, 0, plan->roots());
  estimate += seconds(start, now());
  for (;;) {
    if (depth == m - 1) {
      // The last level: its common part once, and a few of its images timed for all of them.
      const LevelState& last = levelStates[depth];
      if (last.count == 0) break;
      start = now();
      const Amount base = lastLevelBase(index);
      const auto middle = now();
      estimate += factor * seconds(start, middle);
      if (base == 0) break;
      const size_t samples = std::min<size_t>(last.count, 4);
      for (size_t i = 0; i < samples; ++i) lastImage(index, last.list[nextRandom() % last.count], base);
      estimate += factor * seconds(middle, now()) * static_cast<double>(last.count) / static_cast<double>(samples);
      break;
    }
    LevelState& state = levelStates[depth];
    if (state.count == 0) break;
    // The first level is sampled without replacement (a stride through a random start), since its
    // few heavy candidates carry most of the variance; deeper levels at random.
    const size_t pick = depth == 0 ? (probeStart + probeIndexAtRoot * probeStride) % state.count : nextRandom() % state.count;
    const int c = state.list[pick];
    factor *= static_cast<double>(state.count);
    const CountPlan::Level& level = plan->levels[depth];
    if (!level.free && used[c]) break;
    if (state.untested && !plan->locallyPossible(index, c, level.vertex)) break;
    Amount weight = depth > 0 ? prefixWeight[depth - 1] : 1;
    if (level.weights != nullptr) {
      weight = multiplyAmounts(weight, (*level.weights)[index.positionInLabel(c)]);
      if (weight == 0) break;
    }
    prefixWeight[depth] = weight;
    embedding[depth] = c;
    if (!level.free) used[c] = 1;
    serial[depth] = ++serialCounter;
    start = now();
    enterLevel(index, ++depth, 0, plan->roots());
    estimate += factor * seconds(start, now());
  }
  for (int d = 0; d < depth; ++d) {
    if (!plan->levels[d].free) used[embedding[d]] = 0;
  }
  return estimate;
}

double EmbeddingCounter::estimateSeconds(const DataIndex& index, const CountPlan& countPlan, int probes, double budget,
                                         double cutoff, bool extend) {
  if (!countPlan.feasible) return 0;
  static const StopHook never;
  reset(index, countPlan);
  probeIndex = &index;
  limit = ~static_cast<unsigned __int128>(0);
  hook = &never;
  const StopHook& caller = probeHook != nullptr ? *probeHook : never;
  // At least a few dozen probes, however long they take, and more while they cost little against the
  // estimate itself: a large tree's heavy branches are rare, and a plan that takes seconds is worth a
  // few percent of that to size.
  constexpr int minimumProbes = 64;
  // (A count shared by several threads probes as long: shorter probing chose worse plans.)
  constexpr double shareOfEstimate = 0.03, longestProbing = 0.5;
  const auto start = std::chrono::steady_clock::now();
  double sum = 0;
  int done = 0;
  // A stride coprime to the first level's size walks all of its candidates in a scrambled order.
  const size_t rootCount = countPlan.levels.empty() ? 1 : std::max<size_t>(countPlan.roots(), 1);
  probeStart = nextRandom() % rootCount;
  probeStride = 1 + nextRandom() % rootCount;
  while (std::gcd(probeStride, rootCount) != 1) ++probeStride;
  probeIndexAtRoot = 0;
  for (;;) {
    sum += probeOnce();
    ++probeIndexAtRoot;
    ++done;
    // The caller's hook ends probing too, every few probes (a probe is short).
    if ((done & 7) == 0 && caller.due()) break;
    if (done < minimumProbes) continue;
    if (sum / done > cutoff) break;
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if ((done >= probes || elapsed > budget) &&
        (!extend || elapsed > shareOfEstimate * sum / done || elapsed > longestProbing)) {
      break;
    }
  }
  return sum / done;
}

// Counts the terms and combines them; false when some term cannot be counted exactly.
bool EmbeddingCounter::countTerms(const DataIndex& index, const std::vector<CollisionTerm>& terms, uint64_t countLimit,
                                  const StopHook& stopHook, CountResult* result) {
  constexpr unsigned __int128 unlimited = ~static_cast<unsigned __int128>(0);
  unsigned __int128 positive = 0, negative = 0;
  std::vector<Statistics::Term> termStatistics;
  for (const CollisionTerm& term : terms) {
    const auto start = std::chrono::steady_clock::now();
    Outcome outcome = runExactly(index, termPlan, term.pattern, false, unlimited, stopHook);
    if (stopHook.due()) outcome.hookStopped = true;
    termStatistics.push_back({term.coefficient, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
                              termPlan.estimatedCost(), termPlan.levels.size(), termPlan.trailing.size(),
                              termPlan.peeled.size()});
    stats.terms = termStatistics;
    if (outcome.hookStopped) {
      // Terms of both signs: nothing is known of the count but that it is not negative.
      *result = CountResult();
      result->completed = false;
      result->stoppedByHook = true;
      return true;
    }
    if (outcome.inexact || outcome.exceeded) return false;
    const unsigned __int128 magnitude = static_cast<unsigned __int128>(term.coefficient < 0 ? -term.coefficient : term.coefficient);
    unsigned __int128 product;
    if (__builtin_mul_overflow(outcome.total, magnitude, &product)) return false;
    unsigned __int128& side = term.coefficient < 0 ? negative : positive;
    if (__builtin_add_overflow(side, product, &side)) return false;
  }
  assert(positive >= negative);
  Outcome combined;
  combined.total = positive - negative;
  combined.exceeded = combined.total > countLimit;
  *result = report(combined, countLimit);
  return true;
}

CountResult EmbeddingCounter::countRoots(const DataIndex& index, const CountPlan& countPlan, size_t firstRoot,
                                         size_t lastRoot, uint64_t countLimit, const StopHook& stopHook) {
  const Outcome outcome = run(index, countPlan, firstRoot, lastRoot, countLimit, stopHook);
  // A plan with weights that cannot be counted exactly counts nothing: the caller builds it again
  // without peeling (CountPlan::allowPeeling).
  if (outcome.inexact) {
    CountResult result;
    result.completed = false;
    result.needsUnpeeledPlan = true;
    return result;
  }
  return report(outcome, countLimit);
}

// Readies the counter for a run of `newPlan`; with `samePlan`, the plan of the last run, whose
// memoized ranges still hold.
void EmbeddingCounter::reset(const DataIndex& index, const CountPlan& newPlan, bool samePlan) {
  plan = &newPlan;
  if (used.size() != index.vertexCount()) {
    used.reset(index.vertexCount());
    // Fault the pages in now rather than in the middle of the first search.
    for (size_t v = 0; v < index.vertexCount(); v += 4096) used[v] = 0;
  }
  const size_t m = newPlan.levels.size();
  embedding.assign(m, -1);
  prefixWeight.assign(m, 1);
  serial.assign(m, 0);
  serialCounter = 0;
  levelStates.assign(m, LevelState());
  if (filtered.size() < m) filtered.resize(m);
  if (buffers.size() < m) buffers.resize(m);
  for (size_t d = 0; d < m; ++d) {
    filtered[d].resize(newPlan.levels[d].backward.size());
    for (Filtered& list : filtered[d]) list.image = -1;
  }
  if (groupStates.size() < newPlan.groups.size()) groupStates.resize(newPlan.groups.size());
  for (GroupState& state : groupStates) {
    state.stamp = state.baseStamp = 0;
    if (!samePlan) state.memo.clear();
  }
  // Long counts look up the ranges of the last level's images once each.
  constexpr double memoFrom = 1e5;
  constexpr size_t largestMemo = size_t{1} << 22;
  adjacencyBase = index.vertexCount() > 0 ? index.allNeighbors(0).begin : nullptr;
  if (!samePlan && m > 0 && (memoizeRanges || newPlan.estimatedCost() > memoFrom)) {
    const size_t images = index.verticesWithLabel(newPlan.levels[m - 1].label).size();
    for (size_t g = 0; g < newPlan.groups.size() && images <= largestMemo; ++g) {
      const std::vector<int>& depths = newPlan.groups[g].neighborDepths;
      if (!depths.empty() && depths.back() == static_cast<int>(m) - 1) groupStates[g].memo.assign(images, GroupState::Memo());
    }
  }
  total = 0;
  stats = Statistics();
  exceeded = hookStopped = inexact = false;
  steps = 0;
  nextPoll = pollInterval;
}

bool EmbeddingCounter::pollHook() {
  if (steps < nextPoll) return false;
  nextPoll = steps + pollInterval;
  if (hook->due()) hookStopped = true;
  return hookStopped;
}

// Adds an amount to the running count; true when the count now exceeds the limit.
bool EmbeddingCounter::add(Amount amount) {
  if (amount == atLeast64 || __builtin_add_overflow(total, amount, &total) || total > limit) {
    exceeded = true;
  }
  return exceeded;
}

// Fills the candidate list of `depth` from the images of the earlier levels.
void EmbeddingCounter::enterLevel(const DataIndex& index, int depth, size_t firstRoot, size_t lastRoot) {
  const CountPlan::Level& level = plan->levels[depth];
  LevelState& state = levelStates[depth];
  state.position = 0;
  state.count = 0;
  state.untested = false;
  int lower = -1, upper = INT_MAX;
  for (int d : level.lowerFrom) lower = std::max(lower, embedding[d]);
  for (int d : level.upperFrom) upper = std::min(upper, embedding[d]);
  if (level.backward.empty()) {
    const std::vector<int>& list = *level.rootList;
    const int* start = list.data();
    size_t size = list.size();
    if (depth == 0) {
      start += firstRoot;
      size = lastRoot - firstRoot;
    }
    auto [first, last] = clip(start, size, lower, upper);
    state.list = first;
    state.count = static_cast<size_t>(last - first);
    state.untested = plan->lazyFilter;
    return;
  }
  std::vector<Filtered>& lists = filtered[depth];
  size_t driver = 0;
  for (size_t j = 0; j < level.backward.size(); ++j) {
    Filtered& list = lists[j];
    const int image = embedding[level.backward[j]];
    if (list.image != image) {
      // Kept until the image changes: an earlier neighbour assigned long ago keeps serving it.
      const DataIndex::Range range = index.neighbors(image, level.label);
      if (list.vertices.size() < range.size()) list.vertices.resize(range.size());
      int* out = list.vertices.data();
      size_t size = 0;
      if (plan->useMasks && !plan->lazyFilter) {
        const int vertex = level.vertex;
        for (const int* p = range.begin; p < range.end; ++p) {
          out[size] = *p;
          size += plan->isCandidate(index, *p, vertex);
        }
      } else {
        for (const int* p = range.begin; p < range.end; ++p) {
          out[size] = *p;
          size += plan->locallyPossible(index, *p, level.vertex);
        }
      }
      steps += range.size() / 8;
      list.size = size;
      list.image = image;
    }
    if (list.size == 0) return;
    if (list.size < lists[driver].size) driver = j;
  }
  auto [start, end] = clip(lists[driver].vertices.data(), lists[driver].size, lower, upper);
  if (lists.size() == 1 || start == end) {
    state.list = start;
    state.count = static_cast<size_t>(end - start);
    return;
  }
  size_t second = driver == 0 ? 1 : 0;
  for (size_t j = 0; j < lists.size(); ++j) {
    if (j != driver && lists[j].size < lists[second].size) second = j;
  }
  std::vector<int>& buffer = buffers[depth];
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
  steps += room / 8;
  state.list = buffer.data();
  state.count = size;
}

// The neighbours with group g's label of `image`, the image of the group's last neighbour.
DataIndex::Range EmbeddingCounter::lastRange(const DataIndex& index, int g, int image) {
  GroupState& state = groupStates[g];
  if (state.memo.empty()) return index.neighbors(image, plan->groups[g].label);
  GroupState::Memo& memo = state.memo[index.positionInLabel(image)];
  if (memo.offset == 0) {
    const DataIndex::Range range = index.neighbors(image, plan->groups[g].label);
    memo.offset = range.empty() ? 1 : static_cast<uint64_t>(range.begin - adjacencyBase) + 1;
    memo.size = range.size();
  }
  const int* begin = adjacencyBase + (memo.offset - 1);
  return {begin, begin + memo.size};
}

// Brings the candidate set of trailing group g up to date with the current images.
void EmbeddingCounter::groupList(const DataIndex& index, int g) {
  const CountPlan::Group& group = plan->groups[g];
  GroupState& state = groupStates[g];
  const std::vector<int>& depths = group.neighborDepths;
  const size_t j = depths.size();
  if (j == 0) {
    const std::vector<int>& all = index.verticesWithLabel(group.label);
    state.list = all.data();
    state.size = all.size();
    return;
  }
  if (j == 1) {
    const DataIndex::Range range = lastRange(index, g, embedding[depths[0]]);
    state.list = range.begin;
    state.size = range.size();
    return;
  }
  if (state.stamp >= serial[depths[j - 1]] && state.stamp != 0) return;
  // The intersection of every range but the last, itself kept while its own levels stay.
  if (j == 2) {
    const DataIndex::Range range = index.neighbors(embedding[depths[0]], group.label);
    state.base = range.begin;
    state.baseSize = range.size();
  } else if (state.baseStamp == 0 || state.baseStamp < serial[depths[j - 2]]) {
    scratchLists.clear();
    for (size_t i = 0; i + 1 < j; ++i) {
      const DataIndex::Range range = index.neighbors(embedding[depths[i]], group.label);
      scratchLists.push_back(range.begin);
      scratchSizes.resize(scratchLists.size());
      scratchSizes.back() = range.size();
    }
    size_t smallest = 0;
    for (size_t i = 1; i < scratchLists.size(); ++i) {
      if (scratchSizes[i] < scratchSizes[smallest]) smallest = i;
    }
    size_t other = smallest == 0 ? 1 : 0;
    if (state.baseBuffer.size() < scratchSizes[smallest] + 8) state.baseBuffer.resize(scratchSizes[smallest] + 8);
    size_t size = intersectInto(scratchLists[smallest], scratchSizes[smallest], scratchLists[other], scratchSizes[other],
                                state.baseBuffer.data());
    for (size_t i = 0; i < scratchLists.size() && size > 0; ++i) {
      if (i != smallest && i != other) size = intersectInPlace(state.baseBuffer.data(), size, scratchLists[i], scratchLists[i] + scratchSizes[i]);
    }
    steps += scratchSizes[smallest] / 8;
    state.base = state.baseBuffer.data();
    state.baseSize = size;
    state.baseStamp = serialCounter;
  }
  const DataIndex::Range last = lastRange(index, g, embedding[depths[j - 1]]);
  if (state.baseSize == 0 || last.empty()) {
    state.list = state.base;
    state.size = 0;
  } else {
    const size_t room = std::min(state.baseSize, last.size()) + 8;
    if (state.buffer.size() < room) state.buffer.resize(room);
    state.size = intersectInto(state.base, state.baseSize, last.begin, last.size(), state.buffer.data());
    state.list = state.buffer.data();
    steps += room / 8;
  }
  state.stamp = serialCounter;
}

// The number of injective assignments of one trailing class under the current images.
EmbeddingCounter::Amount EmbeddingCounter::evaluateClass(const DataIndex& index, int c) {
  const CountPlan::LabelClass& labelClass = plan->classes[c];
  const std::vector<uint32_t>& subsets = labelClass.polynomial.subsets();
  const bool weighted = labelClass.weighted;
  if (weighted) {
    sums.resize(subsets.size());
  } else {
    sizes.resize(subsets.size());
  }
  const int groupCount = static_cast<int>(labelClass.groups.size());
  // Bounds per group, then each group's own count or weighted sum.
  int lowers[InjectiveCount::maxMembers], uppers[InjectiveCount::maxMembers];
  for (int i = 0; i < groupCount; ++i) {
    const int g = labelClass.groups[i];
    const CountPlan::Group& group = plan->groups[g];
    groupList(index, g);
    int lower = -1, upper = INT_MAX;
    for (int d : group.lowerFrom) lower = std::max(lower, embedding[d]);
    for (int d : group.upperFrom) upper = std::min(upper, embedding[d]);
    lowers[i] = lower;
    uppers[i] = upper;
    const GroupState& state = groupStates[g];
    if (group.weights == nullptr) {
      auto [first, last] = clip(state.list, state.size, lower, upper);
      uint64_t size = static_cast<uint64_t>(last - first);
      for (int d : labelClass.usedDepths) {
        const int image = embedding[d];
        if (image > lower && image < upper && contains(state.list, state.size, image)) --size;
      }
      if (size == 0) return 0;
      if (weighted) {
        sums[i] = size;
      } else {
        sizes[i] = size;
      }
      continue;
    }
    const CountPlan::Weights& weights = *group.weights;
    unsigned __int128 sum = 0;
    if (!group.attachSums.empty()) {
      sum = group.attachSums[index.positionInLabel(embedding[group.neighborDepths[0]])];
    } else {
      auto [first, last] = clip(state.list, state.size, lower, upper);
      for (const int* p = first; p < last; ++p) sum = addAmounts(sum, weights[index.positionInLabel(*p)]);
      steps += static_cast<uint64_t>(last - first) / 8;
    }
    if (sum == atLeast64) return inexact = true, 0;
    for (int d : labelClass.usedDepths) {
      const int image = embedding[d];
      if (image > lower && image < upper && contains(state.list, state.size, image)) sum -= weights[index.positionInLabel(image)];
    }
    if (sum == 0) return 0;
    sums[i] = sum;
  }
  for (size_t s = static_cast<size_t>(groupCount); s < subsets.size(); ++s) {
    const uint32_t mask = subsets[s];
    int lower = -1, upper = INT_MAX;
    scratchLists.clear();
    scratchSizes.clear();
    int smallest = -1;
    for (int i = 0; i < groupCount; ++i) {
      if (!(mask >> i & 1)) continue;
      lower = std::max(lower, lowers[i]);
      upper = std::min(upper, uppers[i]);
      const GroupState& state = groupStates[labelClass.groups[i]];
      scratchLists.push_back(state.list);
      scratchSizes.push_back(state.size);
      if (smallest < 0 || state.size < scratchSizes[smallest]) smallest = static_cast<int>(scratchLists.size()) - 1;
    }
    auto [first, last] = clip(scratchLists[smallest], scratchSizes[smallest], lower, upper);
    size_t size = static_cast<size_t>(last - first);
    if (size > 0) {
      if (scratch.size() < size + 8) scratch.resize(size + 8);
      std::copy(first, last, scratch.data());
      for (size_t i = 0; i < scratchLists.size() && size > 0; ++i) {
        if (static_cast<int>(i) != smallest) {
          size = intersectInPlace(scratch.data(), size, scratchLists[i], scratchLists[i] + scratchSizes[i]);
        }
      }
      steps += static_cast<uint64_t>(last - first) / 8;
    }
    if (!weighted) {
      uint64_t count = size;
      for (int d : labelClass.usedDepths) {
        const int image = embedding[d];
        if (image <= lower || image >= upper) continue;
        bool inAll = true;
        for (size_t i = 0; i < scratchLists.size() && inAll; ++i) inAll = contains(scratchLists[i], scratchSizes[i], image);
        if (inAll) --count;
      }
      sizes[s] = count;
      continue;
    }
    // The sum over the common candidates of the product of the members' weights.
    auto product = [&](int v) {
      unsigned __int128 value = 1;
      for (int i = 0; i < groupCount; ++i) {
        const CountPlan::Weights* weights = plan->groups[labelClass.groups[i]].weights;
        if ((mask >> i & 1) && weights != nullptr) value = multiplyAmounts(value, (*weights)[index.positionInLabel(v)]);
      }
      return value;
    };
    unsigned __int128 sum = 0;
    for (size_t i = 0; i < size; ++i) sum = addAmounts(sum, product(scratch[i]));
    if (sum == atLeast64) return inexact = true, 0;
    for (int d : labelClass.usedDepths) {
      const int image = embedding[d];
      if (image <= lower || image >= upper) continue;
      bool inAll = true;
      for (size_t i = 0; i < scratchLists.size() && inAll; ++i) inAll = contains(scratchLists[i], scratchSizes[i], image);
      if (inAll) sum -= product(image);
    }
    sums[s] = sum;
  }
  if (!weighted) {
    const InjectiveCount::Value value = labelClass.polynomial.evaluate(sizes.data());
    return value.huge || value.count == atLeast64 ? atLeast64 : value.count;
  }
  unsigned __int128 result;
  if (!labelClass.polynomial.evaluateWeighted(sums.data(), &result)) return inexact = true, 0;
  return result;
}

// The product of the classes that do not depend on the last level.
EmbeddingCounter::Amount EmbeddingCounter::staticProduct(const DataIndex& index) {
  Amount value = 1;
  for (int c : plan->staticClasses) {
    value = multiplyAmounts(value, evaluateClass(index, c));
    if (value == 0) break;
  }
  return value;
}

// Counts the embeddings below the current images of every level but the last, whose candidate list
// has just been entered; true when the count must stop.
bool EmbeddingCounter::countLastLevel(const DataIndex& index) {
  const int depth = static_cast<int>(plan->levels.size()) - 1;
  const LevelState& state = levelStates[depth];
  steps += 1;
  if (state.count == 0) return pollHook();
  const Amount product = lastLevelBase(index);
  if (product == 0 || inexact) return pollHook() || inexact;
  stats.lastImages += state.count;
  for (size_t i = 0; i < state.count; ++i) {
    ++steps;
    if (inexact || add(lastImage(index, state.list[i], product))) return true;
    if (pollHook()) return true;
  }
  return false;
}

// What every image of the last level is multiplied by: the classes that do not depend on it and the
// weights of the images above it.
EmbeddingCounter::Amount EmbeddingCounter::lastLevelBase(const DataIndex& index) {
  const int depth = static_cast<int>(plan->levels.size()) - 1;
  Amount product = staticProduct(index);
  if (depth > 0) product = multiplyAmounts(product, prefixWeight[depth - 1]);
  return product;
}

// The count below one image c of the last level.
EmbeddingCounter::Amount EmbeddingCounter::lastImage(const DataIndex& index, int c, Amount base) {
  const int depth = static_cast<int>(plan->levels.size()) - 1;
  const CountPlan::Level& level = plan->levels[depth];
  if (!level.free && used[c]) return 0;
  if (levelStates[depth].untested && !plan->locallyPossible(index, c, level.vertex)) return 0;
  embedding[depth] = c;
  serial[depth] = ++serialCounter;
  Amount value = base;
  if (level.weights != nullptr) value = multiplyAmounts(value, (*level.weights)[index.positionInLabel(c)]);
  for (int cls : plan->dependentClasses) {
    if (value == 0) break;
    value = multiplyAmounts(value, evaluateClass(index, cls));
  }
  return value;
}

EmbeddingCounter::Outcome EmbeddingCounter::run(const DataIndex& index, const CountPlan& countPlan, size_t firstRoot,
                                                size_t lastRoot, unsigned __int128 countLimit, const StopHook& stopHook,
                                                bool samePlan) {
  Outcome result;
  inexact = false;
  lastRoot = std::min(lastRoot, countPlan.roots());
  if (!countPlan.feasible || firstRoot >= lastRoot) return result;
  reset(index, countPlan, samePlan);
  limit = countLimit;
  hook = &stopHook;
  const int m = static_cast<int>(plan->levels.size());
  if (m == 0) {
    const Amount value = staticProduct(index);
    if (!inexact) add(value);
  } else {
    int depth = 0;
    enterLevel(index, 0, firstRoot, lastRoot);
    for (;;) {
      if (depth == m - 1) {
        if (countLastLevel(index)) break;
      } else {
        LevelState& state = levelStates[depth];
        if (state.position < state.count) {
          const int c = state.list[state.position++];
          ++steps;
          const CountPlan::Level& level = plan->levels[depth];
          if (!level.free && used[c]) continue;
          if (state.untested && !plan->locallyPossible(index, c, level.vertex)) continue;
          Amount weight = depth > 0 ? prefixWeight[depth - 1] : 1;
          if (level.weights != nullptr) {
            weight = multiplyAmounts(weight, (*level.weights)[index.positionInLabel(c)]);
            if (weight == 0) continue;  // its peeled trees do not fit here
          }
          prefixWeight[depth] = weight;
          embedding[depth] = c;
          if (!level.free) used[c] = 1;
          serial[depth] = ++serialCounter;
          ++stats.nodes;
          enterLevel(index, ++depth, firstRoot, lastRoot);
          if (pollHook()) break;
          continue;
        }
      }
      if (depth == 0) break;
      --depth;
      if (!plan->levels[depth].free) used[embedding[depth]] = 0;
    }
    for (int d = 0; d < depth; ++d) {
      if (!plan->levels[d].free) used[embedding[d]] = 0;
    }
  }
  result.total = total;
  result.exceeded = exceeded;
  result.hookStopped = hookStopped;
  result.inexact = inexact;
  return result;
}
