// Planning a count: the query normalised (distinct neighbours; an edge is the entry w < k of row k,
// the one the plain search tests; symmetry entries x < i as f(x) < f(i)), candidates filtered by
// label, degree and neighbour labels and refined along the edges, then the counting order.
//
// The order: the trailing set is a maximal set of vertices with no edge and no symmetry constraint
// among themselves (a maximal independent set of that conflict graph, enumerated with Bron-Kerbosch),
// the rest is enumerated, most constrained first. Each choice is scored by an estimate of the nodes
// the enumeration visits, from average degrees between labels, and the cheapest is kept.
#include "count_plan.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <map>
#include <tuple>

#include "data_index.h"

namespace {

constexpr int refinementPasses = 4;
constexpr size_t refinementBudget = size_t{1} << 22;
// Label classes of the query adding up to more than this are not filtered up front.
constexpr size_t completeFilterBound = size_t{1} << 22;
// Trailing sets of one label: more vertices or distinct candidate sets make the polynomial too long.
constexpr int maxClassGroups = 4;
// Maximal independent sets scored at most; past that the best so far is kept.
constexpr int maxTrailingChoices = 4096;

}  // namespace

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
  if (index.degree(v) < q.neighbors.size()) return false;
  for (const auto& [label, count] : q.neighborLabels) {
    if (index.neighbors(v, label).size() < count) return false;
  }
  return true;
}

bool CountPlan::isCandidate(const DataIndex& index, int v, int k) const {
  if (useMasks && !lazyFilter) return (candidateMask[v] >> k) & 1;
  return locallyPossible(index, v, k);
}

bool CountPlan::describe(const DataIndex& index, const std::vector<int>& labels,
                         const std::vector<std::vector<int>>& neighbors,
                         const std::vector<std::vector<int>>& symClasses) {
  const int n = static_cast<int>(labels.size());
  query.assign(n, QueryVertex());
  for (int k = 0; k < n; ++k) {
    query[k].label = index.labelId(labels[k]);
    if (query[k].label < 0) return false;
  }
  for (int k = 0; k < n && k < static_cast<int>(neighbors.size()); ++k) {
    for (int w : neighbors[k]) {
      if (w < 0 || w >= k) continue;
      query[k].neighbors.push_back(w);
      query[w].neighbors.push_back(k);
    }
  }
  for (int i = 0; i < n && i < static_cast<int>(symClasses.size()); ++i) {
    for (int x : symClasses[i]) {
      if (x < 0 || x >= i) continue;
      query[i].lower.push_back(x);
      query[x].upper.push_back(i);
    }
  }
  for (QueryVertex& q : query) {
    for (std::vector<int>* list : {&q.neighbors, &q.lower, &q.upper}) {
      std::sort(list->begin(), list->end());
      list->erase(std::unique(list->begin(), list->end()), list->end());
    }
    for (int w : q.neighbors) {
      const int label = query[w].label;
      auto it = std::find_if(q.neighborLabels.begin(), q.neighborLabels.end(),
                             [&](const std::pair<int, uint32_t>& entry) { return entry.first == label; });
      if (it == q.neighborLabels.end()) {
        q.neighborLabels.push_back({label, 1});
      } else {
        ++it->second;
      }
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
bool CountPlan::filterCandidates(const DataIndex& index) {
  const int n = static_cast<int>(query.size());
  candidates.resize(n);
  candidateCount.assign(n, 0);
  for (int k = 0; k < n; ++k) {
    candidates[k].clear();
    candidateCount[k] = index.verticesWithLabel(query[k].label).size();
  }
  if (lazyFilter) return true;
  for (int k = 0; k < n; ++k) {
    std::vector<int>& list = candidates[k];
    for (int v : index.verticesWithLabel(query[k].label)) {
      if (!locallyPossible(index, v, k)) continue;
      list.push_back(v);
      if (useMasks) {
        if (candidateMask[v] == 0) touched.push_back(v);
        candidateMask[v] |= uint64_t{1} << k;
      }
    }
    candidateCount[k] = list.size();
    if (list.empty()) return false;
  }
  if (!useMasks) return true;
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
  if (statsIndex == &index && statsVertices == index.vertexCount()) return;
  statsIndex = &index;
  statsVertices = index.vertexCount();
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

// The expected number of neighbours with the label of query vertex `to` that a data vertex with
// the label of `from` has: the average over that label.
double CountPlan::branching(int from, int to) const {
  const uint64_t a = static_cast<uint64_t>(query[from].label);
  const uint64_t b = static_cast<uint32_t>(query[to].label);
  auto it = labelEdgeEnds.find(a << 32 | b);
  if (it == labelEdgeEnds.end() || a >= labelSize.size() || labelSize[a] == 0) return 0;
  return static_cast<double>(it->second) / static_cast<double>(labelSize[a]);
}

// Orders the enumerated vertices greedily from the best start and returns the estimated cost: the
// partial embeddings the enumeration visits, plus the work at the last level per trailing class.
double CountPlan::orderPrefix(const std::vector<int>& prefix, uint64_t trailingMask, std::vector<int>* order) const {
  const int m = static_cast<int>(prefix.size());
  const int n = static_cast<int>(query.size());
  order->clear();
  if (m == 0) return 1;
  std::vector<uint64_t> adjacency(n, 0), constraint(n, 0);
  for (int v = 0; v < n; ++v) {
    for (int w : query[v].neighbors) adjacency[v] |= uint64_t{1} << w;
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
        const uint64_t earlier = adjacency[v] & placed;
        const int backward = __builtin_popcountll(earlier);
        double b;
        if (backward == 0) {
          b = static_cast<double>(candidateCount[v]) * 4;  // disconnected: a whole candidate list
        } else {
          b = HUGE_VAL;
          for (int q : query[v].neighbors) {
            if (placed >> q & 1) b = std::min(b, branching(q, v));
          }
          b = std::min(b, static_cast<double>(candidateCount[v]));
          const double classSize = std::max<double>(1.0, static_cast<double>(labelSize.size() > static_cast<size_t>(query[v].label) ? labelSize[query[v].label] : 1));
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
    // The last level: loops over its candidates when trailing vertices depend on its image, and is
    // counted from the size of its candidate list otherwise.
    const int last = current.back();
    bool dependent = (adjacency[last] & trailingMask) != 0;
    int dependentGroups = __builtin_popcountll(adjacency[last] & trailingMask);
    for (int t = 0; t < n && !dependent; ++t) {
      if ((trailingMask >> t & 1) && query[t].label == query[last].label) dependent = true;
    }
    double trailingWork = 0;
    for (int t = 0; t < n; ++t) {
      if (!(trailingMask >> t & 1)) continue;
      trailingWork += 0.25 * std::max(0, __builtin_popcountll(adjacency[t]) - 1);
    }
    if (m == 1) previous = 1;
    cost += dependent ? estimate * (1 + 0.5 * dependentGroups + trailingWork) : previous * (1 + trailingWork);
    if (cost < bestCost) {
      bestCost = cost;
      *order = current;
    }
  }
  return bestCost;
}

void CountPlan::chooseOrder(const DataIndex& index, std::vector<int>* prefix, std::vector<int>* trailingVertices) {
  const int n = static_cast<int>(query.size());
  prefix->clear();
  trailingVertices->clear();
  if (n > 64) {
    // Large queries keep the given order; only the last vertex is counted from set sizes.
    for (int v = 0; v + 1 < n; ++v) prefix->push_back(v);
    trailingVertices->push_back(n - 1);
    return;
  }
  countLabelEdges(index);
  const uint64_t all = n == 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1;
  std::vector<uint64_t> adjacency(n, 0), lowerMask(n, 0), upperMask(n, 0), compatible(n);
  for (int v = 0; v < n; ++v) {
    for (int w : query[v].neighbors) adjacency[v] |= uint64_t{1} << w;
    for (int w : query[v].lower) lowerMask[v] |= uint64_t{1} << w;
    for (int w : query[v].upper) upperMask[v] |= uint64_t{1} << w;
  }
  for (int v = 0; v < n; ++v) {
    // Trailing vertices share no edge; a symmetry constraint only between twins (same label, same
    // neighbours), whose order is counted in closed form.
    uint64_t conflict = uint64_t{1} << v | adjacency[v];
    for (uint64_t rest = lowerMask[v] | upperMask[v]; rest != 0; rest &= rest - 1) {
      const int w = __builtin_ctzll(rest);
      if (query[w].label != query[v].label || adjacency[w] != adjacency[v]) conflict |= uint64_t{1} << w;
    }
    compatible[v] = all & ~conflict;
  }
  double bestCost = HUGE_VAL;
  std::vector<int> bestOrder;
  uint64_t bestTrailing = 0;
  int choices = 0;
  std::vector<int> order, members;
  // Trims a trailing set to what classes can take: at most maxMembers vertices and maxClassGroups
  // candidate sets per label, and a single candidate set for a label with constraints inside it.
  // Moving a vertex out can change the bounds of the others, hence the repetition.
  auto trim = [&](uint64_t trailing) {
    for (bool changed = true; changed;) {
      changed = false;
      std::map<int, std::vector<int>> byLabel;
      for (int v = 0; v < n; ++v) {
        if (trailing >> v & 1) byLabel[query[v].label].push_back(v);
      }
      for (auto& [label, vertices] : byLabel) {
        std::sort(vertices.begin(), vertices.end(), [&](int a, int b) {
          return std::make_pair(query[a].neighbors.size(), a) < std::make_pair(query[b].neighbors.size(), b);
        });
        bool ordered = false;
        std::vector<std::tuple<uint64_t, uint64_t, uint64_t>> kinds;
        std::vector<int> kindSize;
        std::vector<int> kindOf;
        for (int v : vertices) {
          if ((lowerMask[v] | upperMask[v]) & trailing) ordered = true;
          const auto kind = std::make_tuple(adjacency[v], lowerMask[v] & ~trailing, upperMask[v] & ~trailing);
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
  auto score = [&](uint64_t trailing) {
    ++choices;
    trailing = trim(trailing);
    members.clear();
    for (int v = 0; v < n; ++v) {
      if (!(trailing >> v & 1)) members.push_back(v);
    }
    const double cost = orderPrefix(members, trailing, &order);
    if (cost < bestCost) {
      bestCost = cost;
      bestOrder = order;
      bestTrailing = trailing;
    }
  };
  // Bron-Kerbosch with pivoting over the compatibility graph: its maximal cliques are the maximal
  // sets free of edges and constraints.
  struct Frame {
    uint64_t chosen, open, closed;
  };
  std::vector<Frame> stack{{0, all, 0}};
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
  *prefix = bestOrder;
  for (int v = 0; v < n; ++v) {
    if (bestTrailing >> v & 1) trailingVertices->push_back(v);
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
    level.degree = static_cast<uint32_t>(q.neighbors.size());
    level.neighborLabels = q.neighborLabels;
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
    for (int e = 0; e < d; ++e) {
      if (levels[e].label == q.label) level.sameLabelBefore.push_back(e);
    }
    std::sort(level.backward.begin(), level.backward.end());
    if (level.backward.empty()) level.rootList = lazyFilter ? &index.verticesWithLabel(q.label) : &candidates[v];
  }
}

void CountPlan::buildClasses(const std::vector<int>& trailingVertices) {
  std::vector<int> depthOf(query.size(), -1);
  for (size_t d = 0; d < levels.size(); ++d) depthOf[levels[d].vertex] = static_cast<int>(d);
  groups.clear();
  classes.clear();
  staticClasses.clear();
  dependentClasses.clear();
  struct Members {
    std::vector<int> groups;                    // class-local group ids in first-seen order
    std::vector<int> vertices;                  // trailing vertices of the label
    std::vector<int> groupOf;                   // class-local group of each
  };
  std::map<int, Members> byLabel;
  for (int t : trailingVertices) {
    const QueryVertex& q = query[t];
    Group group;
    group.label = q.label;
    group.members = 1;
    // Bounds come from enumerated vertices only; constraints inside the class are its precedences.
    for (int w : q.neighbors) group.neighborDepths.push_back(depthOf[w]);
    for (int x : q.lower) {
      if (depthOf[x] >= 0) group.lowerFrom.push_back(depthOf[x]);
    }
    for (int y : q.upper) {
      if (depthOf[y] >= 0) group.upperFrom.push_back(depthOf[y]);
    }
    std::sort(group.neighborDepths.begin(), group.neighborDepths.end());
    std::sort(group.lowerFrom.begin(), group.lowerFrom.end());
    std::sort(group.upperFrom.begin(), group.upperFrom.end());
    Members& members = byLabel[q.label];
    int found = -1;
    for (size_t i = 0; i < members.groups.size(); ++i) {
      const Group& other = groups[members.groups[i]];
      if (other.neighborDepths == group.neighborDepths && other.lowerFrom == group.lowerFrom &&
          other.upperFrom == group.upperFrom) {
        found = static_cast<int>(i);
        break;
      }
    }
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
  const int last = static_cast<int>(levels.size()) - 1;
  for (const auto& [label, members] : byLabel) {
    LabelClass labelClass;
    labelClass.label = label;
    labelClass.groups = members.groups;
    for (size_t d = 0; d < levels.size(); ++d) {
      if (levels[d].label == label) labelClass.usedDepths.push_back(static_cast<int>(d));
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
  feasible = false;
  levels.clear();
  groups.clear();
  classes.clear();
  staticClasses.clear();
  dependentClasses.clear();
  trailing.clear();
  if (indexedVertices != index.vertexCount()) prepare(index);
  clearMarks();
  if (labels.empty()) return false;
  if (!describe(index, labels, neighbors, symClasses)) return false;
  useMasks = labels.size() <= 64;
  size_t classSizes = 0;
  for (const QueryVertex& q : query) classSizes += index.verticesWithLabel(q.label).size();
  lazyFilter = !useMasks || classSizes > completeFilterBound;
  if (!filterCandidates(index)) return false;
  std::vector<int> prefix;
  chooseOrder(index, &prefix, &trailing);
  buildLevels(index, prefix);
  buildClasses(trailing);
  feasible = true;
  return true;
}
