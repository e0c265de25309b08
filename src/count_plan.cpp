// Planning a count: the query normalised (distinct neighbours; an edge is the entry w < k of row k,
// the one the plain search tests; symmetry entries x < i as f(x) < f(i)), candidates filtered by
// label, degree and neighbour labels and refined along the edges, then the counting order.
//
// Peeling: a free vertex, or one whose image can never equal another (non-free) vertex's image
// (every other such vertex of its label is its neighbour), without symmetry constraints, is removed
// once it is a leaf, and so on up its tree; what remains is counted with weights.
//
// The order: the trailing set is a maximal set of vertices with no edge and no symmetry constraint
// among themselves (a maximal independent set of that conflict graph, enumerated with Bron-Kerbosch),
// or that set with the vertices that join pieces of the rest given back; the rest is enumerated,
// most constrained first. Each choice, with and without peeling, is scored by an estimate of the
// nodes the enumeration visits, from average degrees between labels; the cheapest few are kept as
// alternatives (the counter probes them when the cheapest does not finish at once), with the
// cheapest choice whose enumerated part is connected always among them.
#include "count_plan.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <map>
#include <tuple>

#include "data_index.h"

namespace {

constexpr int refinementPasses = 4;
// Refinement stops after this many steps (candidates checked and neighbour entries scanned): it only
// prunes the enumerated prefix, and collision terms plan many patterns per query.
constexpr size_t refinementBudget = size_t{1} << 18;
// Trailing sets of one label: more vertices or distinct candidate sets make the polynomial too long.
constexpr int maxClassGroups = 4;
// Maximal independent sets scored at most; past that the best so far is kept.
constexpr int maxTrailingChoices = 4096;
// Choices kept from each way of ordering (with and without peeling), for `alternative`.
constexpr size_t keptChoices = 4;
// Estimated enumeration nodes that cost as much as one edge end visited while computing weights.
constexpr double weightWorkPerNode = 0.1;

constexpr unsigned __int128 saturated = ~static_cast<unsigned __int128>(0);

inline unsigned __int128 addSaturated(unsigned __int128 a, unsigned __int128 b) {
  const unsigned __int128 sum = a + b;
  return sum < a ? saturated : sum;
}

inline unsigned __int128 multiplySaturated(unsigned __int128 a, unsigned __int128 b) {
  if (a == 0 || b == 0) return 0;
  unsigned __int128 product;
  return __builtin_mul_overflow(a, b, &product) ? saturated : product;
}

}  // namespace

const std::vector<int>* CandidateCache::find(const DataIndex& index, const std::vector<uint64_t>& requirement) {
  if (owner != &index || ownerVertices != index.vertexCount()) {
    lists.clear();
    storedEntries = 0;
    owner = &index;
    ownerVertices = index.vertexCount();
    return nullptr;
  }
  auto it = lists.find(requirement);
  return it == lists.end() ? nullptr : &it->second;
}

void CandidateCache::store(const std::vector<uint64_t>& requirement, const std::vector<int>& list) {
  // A bound on the memory held: the lists of a few hundred requirements of a large graph.
  constexpr size_t maxEntries = size_t{1} << 24;
  if (storedEntries + list.size() > maxEntries) {
    lists.clear();
    storedEntries = 0;
  }
  storedEntries += list.size();
  lists[requirement] = list;
}

void CountPlan::prepare(const DataIndex& index) {
  candidateMask.reset(index.vertexCount());
  touched.clear();
  indexedVertices = index.vertexCount();
}

size_t CountPlan::roots() const {
  if (!feasible) return 0;
  if (levels.empty()) return 1;
  // The first level has no earlier neighbour, so it draws from its root list.
  return levels[0].rootList->size();
}

bool CountPlan::locallyPossible(const DataIndex& index, int v, int k) const {
  const QueryVertex& q = query[k];
  if (index.degree(v) < q.degree) return false;
  for (const auto& [label, count] : q.neighborLabels) {
    if (index.neighbors(v, label).size() < count) return false;
  }
  return true;
}

bool CountPlan::isCandidate(const DataIndex& index, int v, int k) const {
  if (useMasks && !lazyFilter) return (candidateMask[v] >> k) & 1;
  return locallyPossible(index, v, k);
}

bool describeQuery(const DataIndex& index, const std::vector<int>& labels, const std::vector<std::vector<int>>& neighbors,
                   const std::vector<std::vector<int>>& symClasses, Pattern* pattern) {
  const int n = static_cast<int>(labels.size());
  pattern->assign(n, PatternVertex());
  for (int k = 0; k < n; ++k) {
    (*pattern)[k].label = index.labelId(labels[k]);
    if ((*pattern)[k].label < 0) return false;
  }
  for (int k = 0; k < n && k < static_cast<int>(neighbors.size()); ++k) {
    for (int w : neighbors[k]) {
      if (w < 0 || w >= k) continue;
      (*pattern)[k].neighbors.push_back(w);
      (*pattern)[w].neighbors.push_back(k);
    }
  }
  for (int i = 0; i < n && i < static_cast<int>(symClasses.size()); ++i) {
    for (int x : symClasses[i]) {
      if (x < 0 || x >= i) continue;
      (*pattern)[i].lower.push_back(x);
      (*pattern)[x].upper.push_back(i);
    }
  }
  for (PatternVertex& q : *pattern) {
    for (std::vector<int>* list : {&q.neighbors, &q.lower, &q.upper}) {
      std::sort(list->begin(), list->end());
      list->erase(std::unique(list->begin(), list->end()), list->end());
    }
  }
  return true;
}

void CountPlan::clearMarks() {
  for (int v : touched) candidateMask[v] = 0;
  touched.clear();
}

// The candidates of every vertex by the local test, refined until each has, along every query edge,
// a data neighbour among that neighbour's candidates. False when some vertex has none.
bool CountPlan::filterCandidates(const DataIndex& index, bool refine) {
  const int n = static_cast<int>(query.size());
  candidates.resize(n);
  candidateCount.assign(n, 0);
  for (int k = 0; k < n; ++k) {
    candidates[k].clear();
    candidateCount[k] = index.verticesWithLabel(query[k].label).size();
  }
  if (lazyFilter) return true;
  std::vector<uint64_t> requirement;
  for (int k = 0; k < n; ++k) {
    std::vector<int>& list = candidates[k];
    const QueryVertex& q = query[k];
    requirement.assign(1, static_cast<uint64_t>(q.label));
    for (const auto& [label, need] : q.neighborLabels) requirement.push_back(static_cast<uint64_t>(label) << 32 | need);
    std::sort(requirement.begin() + 1, requirement.end());
    if (const std::vector<int>* known = candidateCache->find(index, requirement)) {
      list = *known;
    } else {
      for (int v : index.verticesWithLabel(q.label)) {
        if (locallyPossible(index, v, k)) list.push_back(v);
      }
      candidateCache->store(requirement, list);
    }
    if (useMasks) {
      for (int v : list) {
        if (candidateMask[v] == 0) touched.push_back(v);
        candidateMask[v] |= uint64_t{1} << k;
      }
    }
    candidateCount[k] = list.size();
    if (list.empty()) return false;
  }
  if (!useMasks || !refine) return true;
  size_t steps = 0;
  for (int pass = 0; pass < refinementPasses && steps < refinementBudget; ++pass) {
    bool changed = false;
    for (int k = 0; k < n && steps < refinementBudget; ++k) {
      const QueryVertex& q = query[k];
      if (q.neighbors.empty()) continue;
      std::vector<int>& list = candidates[k];
      size_t kept = 0;
      for (int v : list) {
        bool supported = true;
        for (int w : q.neighbors) {
          DataIndex::Range range = index.neighbors(v, query[w].label);
          const uint64_t bit = uint64_t{1} << w;
          const int* p = range.begin;
          while (p < range.end && !(candidateMask[*p] & bit)) ++p;
          steps += static_cast<size_t>(p - range.begin) + 1;
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
      if (kept != list.size()) {
        changed = true;
        list.resize(kept);
        candidateCount[k] = kept;
        if (kept == 0) return false;
      }
    }
    if (!changed) break;
  }
  return true;
}

void CountPlan::countLabelEdges(const DataIndex& index) {
  // The statistics only steer the order, so a cheap fingerprint of the index decides whether they
  // are still those of this one.
  const size_t n = index.vertexCount();
  const size_t edgeEnds = n == 0 ? 0 : static_cast<size_t>(index.allNeighbors(static_cast<int>(n) - 1).end - index.allNeighbors(0).begin);
  if (statsIndex == &index && statsVertices == n && statsEdgeEnds == edgeEnds) return;
  statsIndex = &index;
  statsVertices = n;
  statsEdgeEnds = edgeEnds;
  labelEdgeEnds.clear();
  labelSize.clear();
  for (size_t v = 0; v < index.vertexCount(); ++v) {
    const uint64_t from = static_cast<uint64_t>(index.labelOf(static_cast<int>(v)));
    if (from >= labelSize.size()) labelSize.resize(from + 1, 0);
    ++labelSize[from];
    DataIndex::Range all = index.allNeighbors(static_cast<int>(v));
    // The row is grouped by label: count each group in one step.
    for (const int* p = all.begin; p < all.end;) {
      const int label = index.labelOf(*p);
      const int* end = index.neighbors(static_cast<int>(v), label).end;
      labelEdgeEnds[from << 32 | static_cast<uint32_t>(label)] += static_cast<uint64_t>(end - p);
      p = end;
    }
  }
}

// Edge ends from data vertices with the label of query vertex `from` to ones with that of `to`.
double CountPlan::edgesBetween(int from, int to) const {
  const uint64_t a = static_cast<uint64_t>(query[from].label);
  const uint64_t b = static_cast<uint32_t>(query[to].label);
  auto it = labelEdgeEnds.find(a << 32 | b);
  return it == labelEdgeEnds.end() ? 0 : static_cast<double>(it->second);
}

// The expected number of neighbours with the label of query vertex `to` that a data vertex with
// the label of `from` has: the average over that label.
double CountPlan::branching(int from, int to) const {
  const size_t a = static_cast<size_t>(query[from].label);
  if (a >= labelSize.size() || labelSize[a] == 0) return 0;
  return edgesBetween(from, to) / static_cast<double>(labelSize[a]);
}

// The vertices that can be peeled, leaves first, with the vertex each hangs from; returns the mask
// of the vertices that remain.
uint64_t CountPlan::peel(std::vector<int>* order, std::vector<int>* parent) const {
  const int n = static_cast<int>(query.size());
  order->clear();
  parent->assign(n, -1);
  uint64_t remaining = n == 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1;
  std::vector<bool> peelable(n, false);
  std::vector<int> degree(n);
  for (int v = 0; v < n; ++v) {
    const QueryVertex& q = query[v];
    degree[v] = static_cast<int>(q.neighbors.size());
    // A free vertex needs nothing more; another one only that no other non-free vertex of its label
    // can take its image.
    bool alone = q.lower.empty() && q.upper.empty();
    for (int u = 0; u < n && alone && !q.free; ++u) {
      if (u != v && !query[u].free && query[u].label == q.label &&
          !std::binary_search(q.neighbors.begin(), q.neighbors.end(), u)) {
        alone = false;
      }
    }
    peelable[v] = alone;
  }
  std::vector<int> stack;
  for (int v = n - 1; v >= 0; --v) {
    if (peelable[v] && degree[v] == 1) stack.push_back(v);
  }
  while (!stack.empty()) {
    const int v = stack.back();
    stack.pop_back();
    if (!(remaining >> v & 1) || degree[v] != 1) continue;
    int up = -1;
    for (int w : query[v].neighbors) {
      if (remaining >> w & 1) up = w;
    }
    remaining &= ~(uint64_t{1} << v);
    order->push_back(v);
    (*parent)[v] = up;
    if (--degree[up] == 1 && peelable[up]) stack.push_back(up);
  }
  return remaining;
}

// Orders the enumerated vertices greedily from the best start and returns the estimated cost: the
// partial embeddings the enumeration visits, plus the work at the last level per trailing class.
double CountPlan::orderPrefix(const std::vector<int>& prefix, uint64_t active, uint64_t trailingMask,
                              std::vector<int>* order) const {
  const int m = static_cast<int>(prefix.size());
  const int n = static_cast<int>(query.size());
  order->clear();
  if (m == 0) return 1;
  std::vector<uint64_t> adjacency(n, 0), constraint(n, 0);
  for (int v = 0; v < n; ++v) {
    for (int w : query[v].neighbors) adjacency[v] |= uint64_t{1} << w;
    adjacency[v] &= active;
    for (int w : query[v].lower) constraint[v] |= uint64_t{1} << w;
    for (int w : query[v].upper) constraint[v] |= uint64_t{1} << w;
  }
  double bestCost = HUGE_VAL;
  std::vector<int> current;
  for (int start : prefix) {
    current.assign(1, start);
    uint64_t placed = uint64_t{1} << start;
    double estimate = static_cast<double>(std::max<size_t>(candidateCount[start], 1));
    double cost = 0, previous = 1;
    while (static_cast<int>(current.size()) < m) {
      int next = -1;
      double nextBranching = HUGE_VAL;
      int nextBackward = -1;
      for (int v : prefix) {
        if (placed >> v & 1) continue;
        const int backward = __builtin_popcountll(adjacency[v] & placed);
        double b;
        if (backward == 0) {
          b = static_cast<double>(candidateCount[v]) * 4;  // disconnected: a whole candidate list
        } else {
          b = HUGE_VAL;
          for (uint64_t rest = adjacency[v] & placed; rest != 0; rest &= rest - 1) {
            b = std::min(b, branching(__builtin_ctzll(rest), v));
          }
          b = std::min(b, static_cast<double>(candidateCount[v]));
          const size_t label = static_cast<size_t>(query[v].label);
          const double classSize = label < labelSize.size() ? std::max<double>(1.0, static_cast<double>(labelSize[label])) : 1.0;
          // Each further earlier neighbour keeps a candidate with the chance of an edge.
          for (int i = 1; i < backward; ++i) b *= std::min(1.0, std::max(1.0, b) / classSize);
        }
        if (constraint[v] & placed) b *= 0.5;
        if (b < nextBranching || (b == nextBranching && backward > nextBackward)) {
          next = v;
          nextBranching = b;
          nextBackward = backward;
        }
      }
      cost += estimate;
      previous = estimate;
      estimate *= std::max(nextBranching, 1e-3);
      current.push_back(next);
      placed |= uint64_t{1} << next;
    }
    // The last level loops over its candidates; trailing vertices with several neighbours cost an
    // intersection there or at the level of their last neighbour.
    const int last = current.back();
    const int dependentGroups = __builtin_popcountll(adjacency[last] & trailingMask);
    double trailingWork = 0;
    for (uint64_t rest = trailingMask; rest != 0; rest &= rest - 1) {
      trailingWork += 0.25 * std::max(0, __builtin_popcountll(adjacency[__builtin_ctzll(rest)]) - 1);
    }
    if (m == 1) previous = 1;
    cost += estimate * (1 + 0.5 * dependentGroups + trailingWork) + previous;
    if (cost < bestCost) {
      bestCost = cost;
      *order = current;
    }
  }
  return bestCost;
}

// The `keep` cheapest choices of a trailing set among the active vertices, with the rest ordered,
// by estimated cost. Vertices in `weightedMask` carry peeled trees: as trailing vertices they form
// groups of their own.
std::vector<CountPlan::Choice> CountPlan::chooseOrders(uint64_t active, uint64_t weightedMask, size_t keep) const {
  const int n = static_cast<int>(query.size());
  std::vector<Choice> best;
  std::vector<uint64_t> adjacency(n, 0), lowerMask(n, 0), upperMask(n, 0), compatible(n, 0);
  for (int v = 0; v < n; ++v) {
    for (int w : query[v].neighbors) adjacency[v] |= uint64_t{1} << w;
    adjacency[v] &= active;
    for (int w : query[v].lower) lowerMask[v] |= uint64_t{1} << w;
    for (int w : query[v].upper) upperMask[v] |= uint64_t{1} << w;
  }
  for (uint64_t rest = active; rest != 0; rest &= rest - 1) {
    const int v = __builtin_ctzll(rest);
    // Trailing vertices share no edge; a symmetry constraint only between twins (same label, same
    // neighbours, no weights), whose order is counted in closed form.
    uint64_t conflict = uint64_t{1} << v | adjacency[v];
    for (uint64_t partners = lowerMask[v] | upperMask[v]; partners != 0; partners &= partners - 1) {
      const int w = __builtin_ctzll(partners);
      if (query[w].label != query[v].label || adjacency[w] != adjacency[v] || ((weightedMask >> v | weightedMask >> w) & 1)) {
        conflict |= uint64_t{1} << w;
      }
    }
    compatible[v] = active & ~conflict;
  }
  int choices = 0;
  std::vector<int> order, members;
  // Trims a trailing set to what classes can take: at most maxMembers vertices and maxClassGroups
  // candidate sets per label (a weighted vertex is a set of its own), and a single candidate set for
  // a label with constraints inside it. Moving a vertex out can change the bounds of the others,
  // hence the repetition.
  auto trim = [&](uint64_t trailing) {
    for (bool changed = true; changed;) {
      changed = false;
      std::map<int, std::vector<int>> byLabel;
      for (uint64_t rest = trailing; rest != 0; rest &= rest - 1) {
        const int v = __builtin_ctzll(rest);
        byLabel[query[v].free ? -1 - v : query[v].label].push_back(v);
      }
      for (auto& [label, vertices] : byLabel) {
        std::sort(vertices.begin(), vertices.end(), [&](int a, int b) {
          return std::make_pair(__builtin_popcountll(adjacency[a]), a) < std::make_pair(__builtin_popcountll(adjacency[b]), b);
        });
        bool ordered = false;
        std::vector<std::tuple<uint64_t, uint64_t, uint64_t, int>> kinds;
        std::vector<int> kindSize;
        std::vector<int> kindOf;
        for (int v : vertices) {
          if ((lowerMask[v] | upperMask[v]) & trailing) ordered = true;
          const auto kind = std::make_tuple(adjacency[v], lowerMask[v] & ~trailing, upperMask[v] & ~trailing,
                                            (weightedMask >> v & 1) ? v : -1);
          const size_t at = static_cast<size_t>(std::find(kinds.begin(), kinds.end(), kind) - kinds.begin());
          if (at == kinds.size()) {
            kinds.push_back(kind);
            kindSize.push_back(0);
          }
          ++kindSize[at];
          kindOf.push_back(static_cast<int>(at));
        }
        const int largest = static_cast<int>(std::max_element(kindSize.begin(), kindSize.end()) - kindSize.begin());
        int kept = 0;
        for (size_t i = 0; i < vertices.size(); ++i) {
          const bool keep = kept < InjectiveCount::maxMembers &&
                            (ordered ? kindOf[i] == largest : kindOf[i] < maxClassGroups);
          if (keep) {
            ++kept;
          } else {
            trailing &= ~(uint64_t{1} << vertices[i]);
            changed = true;
          }
        }
      }
    }
    return trailing;
  };
  // The number of connected components of the active graph restricted to `mask`.
  auto components = [&](uint64_t mask) {
    int count = 0;
    for (uint64_t left = mask; left != 0; ++count) {
      uint64_t reached = left & (~left + 1), frontier = reached;
      while (frontier != 0) {
        uint64_t next = 0;
        for (uint64_t rest = frontier; rest != 0; rest &= rest - 1) next |= adjacency[__builtin_ctzll(rest)];
        frontier = next & mask & ~reached;
        reached |= frontier;
      }
      left &= ~reached;
    }
    return count;
  };
  const int activeComponents = components(active);
  // A trailing set that leaves the enumerated vertices in pieces makes all but one piece start from
  // whole candidate lists; its variant gives back the trailing vertices that join pieces.
  auto connectPrefix = [&](uint64_t trailing) {
    for (;;) {
      const uint64_t prefixMask = active & ~trailing;
      const int pieces = components(prefixMask);
      if (pieces <= activeComponents) return trailing;
      int bestVertex = -1, bestPieces = pieces;
      for (uint64_t rest = trailing; rest != 0; rest &= rest - 1) {
        const int v = __builtin_ctzll(rest);
        const int joined = components(prefixMask | uint64_t{1} << v);
        if (joined < bestPieces) {
          bestPieces = joined;
          bestVertex = v;
        }
      }
      if (bestVertex < 0) return trailing;
      trailing &= ~(uint64_t{1} << bestVertex);
    }
  };
  Choice bestConnected;
  bestConnected.cost = HUGE_VAL;
  auto consider = [&](uint64_t trailing, bool connected) {
    members.clear();
    for (uint64_t rest = active & ~trailing; rest != 0; rest &= rest - 1) members.push_back(__builtin_ctzll(rest));
    const double cost = orderPrefix(members, active, trailing, &order);
    if (connected && cost < bestConnected.cost) {
      bestConnected.cost = cost;
      bestConnected.prefix = order;
      bestConnected.trailingMask = trailing;
    }
    if (best.size() == keep && cost >= best.back().cost) return;
    for (const Choice& known : best) {
      if (known.trailingMask == trailing && known.prefix == order) return;  // trimmed to a known one
    }
    Choice choice;
    choice.cost = cost;
    choice.prefix = order;
    choice.trailingMask = trailing;
    best.insert(std::upper_bound(best.begin(), best.end(), choice,
                                 [](const Choice& a, const Choice& b) { return a.cost < b.cost; }),
                choice);
    if (best.size() > keep) best.pop_back();
  };
  auto score = [&](uint64_t trailing) {
    ++choices;
    trailing = trim(trailing);
    const uint64_t joined = trim(connectPrefix(trailing));
    consider(trailing, joined == trailing);
    if (joined != trailing) consider(joined, true);
  };
  // Bron-Kerbosch with pivoting over the compatibility graph: its maximal cliques are the maximal
  // sets free of edges and constraints.
  struct Frame {
    uint64_t chosen, open, closed;
  };
  std::vector<Frame> stack{{0, active, 0}};
  while (!stack.empty() && choices < maxTrailingChoices) {
    Frame frame = stack.back();
    stack.pop_back();
    if (frame.open == 0) {
      if (frame.closed == 0) score(frame.chosen);
      continue;
    }
    const uint64_t either = frame.open | frame.closed;
    int pivot = __builtin_ctzll(either);
    int pivotCover = -1;
    for (uint64_t rest = either; rest != 0; rest &= rest - 1) {
      const int u = __builtin_ctzll(rest);
      const int cover = __builtin_popcountll(frame.open & compatible[u]);
      if (cover > pivotCover) {
        pivot = u;
        pivotCover = cover;
      }
    }
    for (uint64_t rest = frame.open & ~compatible[pivot]; rest != 0; rest &= rest - 1) {
      const int v = __builtin_ctzll(rest);
      const uint64_t bit = uint64_t{1} << v;
      stack.push_back({frame.chosen | bit, frame.open & compatible[v], frame.closed & compatible[v]});
      frame.open &= ~bit;
      frame.closed |= bit;
    }
  }
  // The estimate can misjudge pieces; the cheapest connected choice is always among those kept.
  if (bestConnected.cost < HUGE_VAL) {
    bool known = false;
    for (const Choice& choice : best) known = known || (choice.trailingMask == bestConnected.trailingMask && choice.prefix == bestConnected.prefix);
    if (!known) best.push_back(bestConnected);
  }
  return best;
}

// The weights of the peeled vertices, leaves first, and of the vertices they hang from:
// W_v(y) = product over the peeled children c of v of the sum of W_c over the neighbours of y with
// c's label.
void CountPlan::computeWeights(const DataIndex& index) {
  const int n = static_cast<int>(query.size());
  weight.assign(n, Weights());
  weightsSaturated = false;
  std::vector<std::vector<int>> children(n);
  for (int v : peeled) children[peelParent[v]].push_back(v);
  std::vector<int> ordered = peeled;
  for (int v = 0; v < n; ++v) {
    if (peelParent[v] < 0 && !children[v].empty()) ordered.push_back(v);
  }
  for (int v : ordered) {
    // Only candidates can hold v: the others keep weight 0.
    const std::vector<int>& vertices = lazyFilter ? index.verticesWithLabel(query[v].label) : candidates[v];
    Weights& values = weight[v];
    values.assign(index.verticesWithLabel(query[v].label).size(), 0);
    for (int y : vertices) values[index.positionInLabel(y)] = 1;
    for (int c : children[v]) {
      const int childLabel = query[c].label;
      const Weights& below = weight[c];
      for (int y : vertices) {
        const size_t i = static_cast<size_t>(index.positionInLabel(y));
        if (values[i] == 0) continue;
        const DataIndex::Range range = index.neighbors(y, childLabel);
        unsigned __int128 sum = 0;
        if (below.empty()) {
          sum = range.size();
        } else {
          for (const int* p = range.begin; p < range.end; ++p) sum = addSaturated(sum, below[index.positionInLabel(*p)]);
        }
        values[i] = multiplySaturated(values[i], sum);
        if (values[i] == saturated) weightsSaturated = true;
      }
    }
  }
}

void CountPlan::buildLevels(const DataIndex& index, const std::vector<int>& prefix) {
  const int m = static_cast<int>(prefix.size());
  std::vector<int> depthOf(query.size(), -1);
  for (int d = 0; d < m; ++d) depthOf[prefix[d]] = d;
  levels.assign(m, Level());
  for (int d = 0; d < m; ++d) {
    const int v = prefix[d];
    const QueryVertex& q = query[v];
    Level& level = levels[d];
    level.vertex = v;
    level.label = q.label;
    level.degree = q.degree;
    level.neighborLabels = q.neighborLabels;
    level.free = q.free;
    for (int w : q.neighbors) {
      if (depthOf[w] >= 0 && depthOf[w] < d) level.backward.push_back(depthOf[w]);
    }
    // A constraint binds the one of its two vertices that comes later.
    for (int x : q.lower) {
      if (depthOf[x] >= 0 && depthOf[x] < d) level.lowerFrom.push_back(depthOf[x]);
    }
    for (int y : q.upper) {
      if (depthOf[y] >= 0 && depthOf[y] < d) level.upperFrom.push_back(depthOf[y]);
    }
    std::sort(level.backward.begin(), level.backward.end());
    if (level.backward.empty()) level.rootList = lazyFilter ? &index.verticesWithLabel(q.label) : &candidates[v];
    if (!weight[v].empty()) level.weights = &weight[v];
  }
}

void CountPlan::buildClasses(const DataIndex& index, const std::vector<int>& trailingVertices) {
  std::vector<int> depthOf(query.size(), -1);
  for (size_t d = 0; d < levels.size(); ++d) depthOf[levels[d].vertex] = static_cast<int>(d);
  groups.clear();
  classes.clear();
  staticClasses.clear();
  dependentClasses.clear();
  struct Members {
    std::vector<int> groups;    // indices into `groups`, in class-local group order
    std::vector<int> vertices;  // trailing vertices of the label
    std::vector<int> groupOf;   // class-local group of each
    bool weighted = false;
  };
  std::map<int, Members> byLabel;
  for (int t : trailingVertices) {
    const QueryVertex& q = query[t];
    Group group;
    group.label = q.label;
    group.members = 1;
    // Neighbours and bounds come from enumerated vertices only (peeled neighbours are in the
    // weights); constraints inside the class are its precedences.
    for (int w : q.neighbors) {
      if (depthOf[w] >= 0) group.neighborDepths.push_back(depthOf[w]);
    }
    for (int x : q.lower) {
      if (depthOf[x] >= 0) group.lowerFrom.push_back(depthOf[x]);
    }
    for (int y : q.upper) {
      if (depthOf[y] >= 0) group.upperFrom.push_back(depthOf[y]);
    }
    if (!weight[t].empty()) group.weights = &weight[t];
    std::sort(group.neighborDepths.begin(), group.neighborDepths.end());
    std::sort(group.lowerFrom.begin(), group.lowerFrom.end());
    std::sort(group.upperFrom.begin(), group.upperFrom.end());
    // A free trailing vertex is a class of its own: no injectivity ties it to anything.
    Members& members = byLabel[q.free ? -1 - t : q.label];
    int found = -1;
    for (size_t i = 0; i < members.groups.size() && group.weights == nullptr; ++i) {
      const Group& other = groups[members.groups[i]];
      if (other.weights == nullptr && other.neighborDepths == group.neighborDepths &&
          other.lowerFrom == group.lowerFrom && other.upperFrom == group.upperFrom) {
        found = static_cast<int>(i);
        break;
      }
    }
    if (group.weights != nullptr) members.weighted = true;
    if (found >= 0) {
      ++groups[members.groups[found]].members;
    } else {
      found = static_cast<int>(members.groups.size());
      members.groups.push_back(static_cast<int>(groups.size()));
      groups.push_back(group);
    }
    members.vertices.push_back(t);
    members.groupOf.push_back(found);
  }
  // A group with weights and one neighbour sums its weights over that neighbour's data neighbours
  // once for every vertex that neighbour can map to.
  for (Group& group : groups) {
    if (group.weights == nullptr || group.neighborDepths.size() != 1 || !group.lowerFrom.empty() ||
        !group.upperFrom.empty()) {
      continue;
    }
    const std::vector<int>& anchors = index.verticesWithLabel(levels[group.neighborDepths[0]].label);
    group.attachSums.assign(anchors.size(), 0);
    for (size_t i = 0; i < anchors.size(); ++i) {
      const DataIndex::Range range = index.neighbors(anchors[i], group.label);
      unsigned __int128 sum = 0;
      for (const int* p = range.begin; p < range.end; ++p) sum = addSaturated(sum, (*group.weights)[index.positionInLabel(*p)]);
      group.attachSums[i] = sum;
    }
  }
  const int last = static_cast<int>(levels.size()) - 1;
  for (auto& [key, members] : byLabel) {
    LabelClass labelClass;
    const int label = query[members.vertices[0]].label;
    labelClass.label = label;
    labelClass.free = key < 0;
    labelClass.weighted = members.weighted;
    if (members.weighted) {
      // Weighted classes give every member a group of its own: a block of members sums the product
      // of their weights, which depends on how many members of a group it holds.
      std::vector<int> split;
      for (size_t i = 0; i < members.vertices.size(); ++i) {
        const int g = members.groups[members.groupOf[i]];
        if (groups[g].members > 1) {
          Group copy = groups[g];
          copy.members = 1;
          groups[g].members -= 1;
          split.push_back(static_cast<int>(groups.size()));
          groups.push_back(copy);
        } else {
          split.push_back(g);
        }
      }
      members.groups = split;
      for (size_t i = 0; i < members.groupOf.size(); ++i) members.groupOf[i] = static_cast<int>(i);
    }
    labelClass.groups = members.groups;
    for (size_t d = 0; d < levels.size() && !labelClass.free; ++d) {
      if (levels[d].label == label && !levels[d].free) labelClass.usedDepths.push_back(static_cast<int>(d));
    }
    int depends = labelClass.usedDepths.empty() ? -1 : labelClass.usedDepths.back();
    for (int g : members.groups) {
      for (const std::vector<int>* list : {&groups[g].neighborDepths, &groups[g].lowerFrom, &groups[g].upperFrom}) {
        if (!list->empty()) depends = std::max(depends, list->back());
      }
    }
    std::vector<std::pair<int, int>> precedences;
    for (size_t b = 0; b < members.vertices.size(); ++b) {
      for (int x : query[members.vertices[b]].lower) {
        auto it = std::find(members.vertices.begin(), members.vertices.end(), x);
        if (it != members.vertices.end()) precedences.push_back({static_cast<int>(it - members.vertices.begin()), static_cast<int>(b)});
      }
    }
    labelClass.dependsOn = depends;
    const bool built = labelClass.polynomial.build(members.groupOf, precedences);
    assert(built);  // the order choice keeps classes within what the polynomial takes
    (void)built;
    (last >= 0 && depends == last ? dependentClasses : staticClasses).push_back(static_cast<int>(classes.size()));
    classes.push_back(std::move(labelClass));
  }
}

bool CountPlan::build(const DataIndex& index, const std::vector<int>& labels,
                      const std::vector<std::vector<int>>& neighbors,
                      const std::vector<std::vector<int>>& symClasses) {
  Pattern pattern;
  if (labels.empty() || !describeQuery(index, labels, neighbors, symClasses, &pattern)) {
    feasible = false;
    levels.clear();
    classes.clear();
    groups.clear();
    staticClasses.clear();
    dependentClasses.clear();
    trailing.clear();
    peeled.clear();
    return false;
  }
  return build(index, pattern);
}

bool CountPlan::build(const DataIndex& index, const Pattern& pattern, bool estimateOnly, size_t alternative) {
  feasible = false;
  levels.clear();
  groups.clear();
  classes.clear();
  staticClasses.clear();
  dependentClasses.clear();
  trailing.clear();
  peeled.clear();
  peelParent.assign(pattern.size(), -1);
  weight.assign(pattern.size(), Weights());
  weightsSaturated = false;
  cost = 0;
  if (indexedVertices != index.vertexCount()) prepare(index);
  clearMarks();
  if (candidateCache == &ownCache) ownCache.clear();
  if (pattern.empty()) return false;
  const int n = static_cast<int>(pattern.size());
  query.assign(n, QueryVertex());
  for (int k = 0; k < n; ++k) {
    static_cast<PatternVertex&>(query[k]) = pattern[k];
  }
  // Distinct data neighbours the image needs, by label: one per neighbour whose images are distinct
  // from each other, at least one if only free neighbours carry the label.
  for (QueryVertex& q : query) {
    for (int w : q.neighbors) {
      const int label = query[w].label;
      auto it = std::find_if(q.neighborLabels.begin(), q.neighborLabels.end(),
                             [&](const std::pair<int, uint32_t>& entry) { return entry.first == label; });
      if (it == q.neighborLabels.end()) it = q.neighborLabels.insert(q.neighborLabels.end(), {label, 0});
      if (!query[w].free) ++it->second;
    }
    for (auto& entry : q.neighborLabels) {
      entry.second = std::max<uint32_t>(entry.second, 1);
      q.degree += entry.second;
    }
  }
  useMasks = n <= 64;
  size_t classSizes = 0;
  for (const QueryVertex& q : query) classSizes += index.verticesWithLabel(q.label).size();
  lazyFilter = !useMasks || classSizes > lazyFilterFrom;
  if (!filterCandidates(index, refinement && !estimateOnly)) return false;
  std::vector<int> prefix;
  if (n > 64) {
    // Large queries keep the given order; only the last vertex is counted from set sizes.
    for (int v = 0; v + 1 < n; ++v) prefix.push_back(v);
    trailing.push_back(n - 1);
    alternativeCount = 1;
  } else {
    countLabelEdges(index);
    const uint64_t all = n == 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1;
    std::vector<Choice> choices = chooseOrders(all, 0, keptChoices);
    std::vector<int> order, parent;
    const uint64_t remaining = peelingAllowed ? peel(&order, &parent) : all;
    if (remaining != all) {
      // Peeling pays when the enumeration it saves costs more than computing the weights.
      uint64_t weightedMask = 0;
      double weightWork = 0;
      for (int v : order) {
        weightedMask |= uint64_t{1} << parent[v];
        weightWork += edgesBetween(parent[v], v);
      }
      weightedMask &= remaining;
      for (Choice& choice : chooseOrders(remaining, weightedMask, keptChoices)) {
        choice.cost += weightWork * weightWorkPerNode;
        choice.peeled = true;
        choices.push_back(std::move(choice));
      }
      std::stable_sort(choices.begin(), choices.end(), [](const Choice& a, const Choice& b) { return a.cost < b.cost; });
    }
    alternativeCount = choices.size();
    const Choice& chosen = choices[std::min(alternative, choices.size() - 1)];
    cost = chosen.cost;
    prefix = chosen.prefix;
    for (uint64_t rest = chosen.trailingMask; rest != 0; rest &= rest - 1) trailing.push_back(__builtin_ctzll(rest));
    if (chosen.peeled) {
      peeled = order;
      peelParent = parent;
    }
  }
  if (estimateOnly) return true;
  computeWeights(index);
  buildLevels(index, prefix);
  buildClasses(index, trailing);
  feasible = true;
  return true;
}
