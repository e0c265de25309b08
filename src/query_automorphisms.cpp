// Automorphisms of a query and the stabiliser chain that breaks them. Vertices with the same label
// and the same open or closed neighbourhood (twins) are folded into one vertex of a quotient graph;
// every permutation of a twin class is an automorphism, so only the quotient is searched, by
// nauty's Traces.
#include "query_automorphisms.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <new>
#include <numeric>
#include <string>
#include <tuple>
#include <utility>

// Last: nauty's headers define short macros (TRUE, MAX, SWAP, ...). traces.h pulls in gtools.h,
// which declares thread-local variables with C11's keyword; C++ spells it differently.
#define _Thread_local thread_local
#include "traces.h"
#undef _Thread_local

namespace {

// Where a failed allocation inside nauty returns to; null outside runTraces.
thread_local std::jmp_buf* nautyAllocationFailure = nullptr;

}  // namespace

// nauty's work arrays report a failed allocation by calling this function, which must not return;
// the library's own version prints a message and ends the process. This definition takes its
// place, so that the failure returns to runTraces and reaches the caller as std::bad_alloc.
extern "C" void alloc_error(const char*) {
  if (nautyAllocationFailure != nullptr) std::longjmp(*nautyAllocationFailure, 1);
  std::cout << "sgmatch: out of memory in nauty" << std::endl;
  std::exit(255);
}

namespace {

// ---------------------------------------------------------------------------------------------
// nauty glue

// The union-find over the searched vertices that noteGenerator fills: two vertices end up joined
// when some chain of generators with overlapping supports moves both.
thread_local std::vector<int>* generatorSupport = nullptr;

int findRoot(std::vector<int>& parent, int x) {
  while (parent[x] != x) {
    parent[x] = parent[parent[x]];
    x = parent[x];
  }
  return x;
}

// Called by Traces for every generator it keeps; must neither allocate nor throw.
void noteGenerator(int, int* perm, int n) {
  std::vector<int>& parent = *generatorSupport;
  int first = -1;
  // Generators often move few points: stretches without one are passed over by a test that the
  // compiler vectorises.
  constexpr int stretch = 32;
  for (int begin = 0; begin < n; begin += stretch) {
    const int end = std::min(n, begin + stretch);
    bool moves = false;
    for (int i = begin; i < end; ++i) moves |= perm[i] != i;
    if (!moves) continue;
    for (int i = begin; i < end; ++i) {
      if (perm[i] == i) continue;
      if (first == -1) {
        first = findRoot(parent, i);
        continue;
      }
      int root = findRoot(parent, i);
      if (root != first) parent[root] = first;
    }
  }
}

void releaseNautyMemory() {
  traces_freedyn();
  schreier_freedyn();
  nausparse_freedyn();
  nautil_freedyn();
}

// Traces allocates some of its structures (partitions along the search, Schreier vectors) without
// alloc_error and ends the process with a message when that fails. So much memory is claimed and
// released before every search: about four times the peak measured on paths, cycles and trees
// (under 600 bytes per vertex, and some 30 KiB for the smallest graphs). A claim that fails counts
// as running out of memory. Small claims come from the heap without a system call.
bool roomForTraces(size_t vertices, size_t edgeEnds) {
  const size_t bytes = 2048 * vertices + 64 * edgeEnds + (size_t(64) << 10);
  void* claim = std::malloc(bytes);
  if (claim == nullptr) return false;
  std::free(claim);
  return true;
}

// What became of one search.
enum class SearchOutcome { done, outOfMemory, refused };

// Runs Traces (nauty's search for large sparse graphs, which stays near-linear on long paths and
// deep stabiliser chains where nauty's own search turns quadratic) for orbits and generators only.
// After running out of memory nauty's work arrays are released. No C++ object lives between the
// setjmp and Traces' frames.
SearchOutcome runTraces(sparsegraph& graph, int* lab, int* ptn, int* orbits, std::vector<int>& support) {
  if (!roomForTraces(static_cast<size_t>(graph.nv), graph.nde)) return SearchOutcome::outOfMemory;
  DEFAULTOPTIONS_TRACES(options);
  options.getcanon = FALSE;
  options.defaultptn = FALSE;
  options.userautomproc = noteGenerator;
  TracesStats stats;
  std::jmp_buf failure;
  if (setjmp(failure) != 0) {
    nautyAllocationFailure = nullptr;
    generatorSupport = nullptr;
    releaseNautyMemory();
    return SearchOutcome::outOfMemory;
  }
  nautyAllocationFailure = &failure;
  generatorSupport = &support;
  Traces(&graph, lab, ptn, orbits, &options, &stats, nullptr);
  nautyAllocationFailure = nullptr;
  generatorSupport = nullptr;
  // An error code means a graph or options that Traces does not accept, which the caller never
  // builds; the orbits are not to be trusted then.
  return stats.errstatus == 0 ? SearchOutcome::done : SearchOutcome::refused;
}

// ---------------------------------------------------------------------------------------------
// The query as a simple graph, and its twin folding

struct SimpleGraph {
  std::vector<int> labels;
  std::vector<char> loops;                 // a self-loop is kept as a property of its vertex
  std::vector<std::vector<int>> rows;      // ascending, no repeats, no self-loops, symmetric
};

SimpleGraph simplify(const std::vector<int>& labels, const std::vector<std::vector<int>>& neighbors) {
  const size_t n = labels.size();
  SimpleGraph graph{labels, std::vector<char>(n, 0), std::vector<std::vector<int>>(n)};
  for (size_t u = 0; u < neighbors.size(); ++u) {
    for (int x : neighbors[u]) {
      if (static_cast<size_t>(x) == u) {
        graph.loops[u] = 1;
      } else {
        graph.rows[u].push_back(x);
        graph.rows[x].push_back(static_cast<int>(u));
      }
    }
  }
  for (auto& row : graph.rows) {
    std::sort(row.begin(), row.end());
    row.erase(std::unique(row.begin(), row.end()), row.end());
  }
  return graph;
}

// The groups of two or more vertices that agree in label, loop flag and `rows`.
std::vector<std::vector<int>> equalGroups(const SimpleGraph& graph, const std::vector<std::vector<int>>& rows) {
  const int n = static_cast<int>(graph.labels.size());
  // A hash of each row decides almost every comparison in constant time; rows are compared in
  // full only when their hashes agree, that is, mostly between vertices of one group.
  std::vector<uint64_t> hash(n);
  for (int v = 0; v < n; ++v) {
    uint64_t h = 0x9e3779b97f4a7c15ull * (rows[v].size() + 1);
    for (int x : rows[v]) h = (h ^ static_cast<uint64_t>(x)) * 0xff51afd7ed558ccdull + (h >> 29);
    hash[v] = h;
  }
  auto less = [&](int a, int b) {
    if (graph.labels[a] != graph.labels[b]) return graph.labels[a] < graph.labels[b];
    if (graph.loops[a] != graph.loops[b]) return graph.loops[a] < graph.loops[b];
    if (hash[a] != hash[b]) return hash[a] < hash[b];
    return rows[a] < rows[b];
  };
  std::vector<int> sorted(n);
  std::iota(sorted.begin(), sorted.end(), 0);
  std::sort(sorted.begin(), sorted.end(), less);
  std::vector<std::vector<int>> groups;
  for (int begin = 0, end; begin < n; begin = end) {
    for (end = begin + 1; end < n && !less(sorted[begin], sorted[end]); ++end) {
    }
    if (end - begin >= 2) groups.emplace_back(sorted.begin() + begin, sorted.begin() + end);
  }
  return groups;
}

// Twin classes. A vertex has twins of at most one kind: were u a false twin of v (N(u) = N(v), so
// u and v are not adjacent) and w a true twin (N[w] = N[v]), then w is in N(v) = N(u), so u is in
// N[w] = N[v] and adjacent to v after all.
struct Folding {
  std::vector<int> classOf;                  // vertex -> class
  std::vector<std::vector<int>> members;     // class -> vertices, ascending by matching position
  std::vector<char> trueTwins;               // class of two or more pairwise adjacent vertices
};

Folding foldTwins(const SimpleGraph& graph, const std::vector<int>& position) {
  const int n = static_cast<int>(graph.labels.size());
  Folding folding{std::vector<int>(n, -1), {}, {}};
  auto addClass = [&](std::vector<int> vertices, bool adjacent) {
    for (int v : vertices) folding.classOf[v] = static_cast<int>(folding.members.size());
    folding.members.push_back(std::move(vertices));
    folding.trueTwins.push_back(adjacent ? 1 : 0);
  };
  for (auto& group : equalGroups(graph, graph.rows)) addClass(std::move(group), false);
  std::vector<std::vector<int>> closed(graph.rows);
  for (int v = 0; v < n; ++v) closed[v].insert(std::lower_bound(closed[v].begin(), closed[v].end(), v), v);
  for (auto& group : equalGroups(graph, closed)) {
    bool unassigned = std::all_of(group.begin(), group.end(), [&](int v) { return folding.classOf[v] == -1; });
    assert(unassigned);
    if (unassigned) addClass(std::move(group), true);
  }
  for (int v = 0; v < n; ++v) {
    if (folding.classOf[v] == -1) addClass({v}, false);
  }
  for (auto& vertices : folding.members) {
    std::sort(vertices.begin(), vertices.end(), [&](int a, int b) { return position[a] < position[b]; });
  }
  return folding;
}

// The folded graph: one vertex per twin class, coloured by everything an automorphism of the
// query must keep (label, loop, class size and kind), so that its coloured automorphisms are
// exactly the permutations of classes that the query's automorphisms induce.
struct Quotient {
  std::vector<int> colour;
  std::vector<std::vector<int>> adjacency;   // ascending, no repeats
};

Quotient buildQuotient(const SimpleGraph& graph, const Folding& folding) {
  const int count = static_cast<int>(folding.members.size());
  Quotient quotient{std::vector<int>(count), std::vector<std::vector<int>>(count)};
  auto key = [&](int c) {
    int v = folding.members[c][0];
    int size = static_cast<int>(folding.members[c].size());
    return std::make_tuple(graph.labels[v], graph.loops[v], size, size >= 2 && folding.trueTwins[c]);
  };
  std::vector<int> sorted(count);
  std::iota(sorted.begin(), sorted.end(), 0);
  std::sort(sorted.begin(), sorted.end(), [&](int a, int b) { return key(a) < key(b); });
  for (int i = 0, rank = 0; i < count; ++i) {
    if (i > 0 && key(sorted[i - 1]) != key(sorted[i])) ++rank;
    quotient.colour[sorted[i]] = rank;
  }
  // Twins share their neighbours outside the class, so one member's row gives the class's row.
  for (int c = 0; c < count; ++c) {
    auto& row = quotient.adjacency[c];
    for (int y : graph.rows[folding.members[c][0]]) {
      if (folding.classOf[y] != c) row.push_back(folding.classOf[y]);
    }
    std::sort(row.begin(), row.end());
    row.erase(std::unique(row.begin(), row.end()), row.end());
  }
  return quotient;
}

// ---------------------------------------------------------------------------------------------
// Orbits of the quotient along the stabiliser chain

// The current group (the coloured automorphisms of the quotient that fix the classes fixed so far)
// is kept as a product of factors with disjoint supports ("blocks", found from the supports of
// the generators Traces reports), with its orbits. Fixing a class changes only the factor that moves it, so
// only that block is searched again: as the subgraph it induces, its vertices coloured also by
// their exact neighbours outside it, whose coloured automorphisms are that factor.
// The subgraph a block of the quotient induces, in positions within the block (rows from edgeStart,
// with degree entries each), and each vertex's neighbours outside the block, in quotient ids.
struct BlockGraph {
  std::vector<size_t> edgeStart;
  std::vector<int> degree, edges, outsideStart, outside;
};

class QuotientOrbits {
 public:
  QuotientOrbits(const Quotient& quotient, const Folding& folding)
      : quotient_(quotient), folding_(folding), count_(static_cast<int>(quotient.colour.size())),
        localId_(count_, -1), orbitOf_(count_, -1), blockOf_(count_, -1) {}

  /// Searches the whole quotient; vertices alone in their colour are fixed by every automorphism.
  void start() {
    std::vector<int> cellSize(count_, 0);
    for (int c : quotient_.colour) ++cellSize[c];
    std::vector<int> block;
    for (int x = 0; x < count_; ++x) {
      if (cellSize[quotient_.colour[x]] >= 2) block.push_back(x);
    }
    searchBlock(block, -1);
  }

  /// True when the group fixes the class.
  bool fixed(int x) const { return orbitOf_[x] == -1; }
  /// The classes in the orbit of a class that the group moves.
  const std::vector<int>& orbit(int x) const { return orbits_[orbitOf_[x]]; }
  /// The number of query vertices in the orbit's classes.
  int64_t orbitWeight(int x) const { return orbitWeights_[orbitOf_[x]]; }
  /// Number of orbits of the group on the classes.
  int orbitCount() const {
    int count = 0;
    for (int x = 0; x < count_; ++x) count += fixed(x) || orbit(x)[0] == x ? 1 : 0;
    return count;
  }

  /// Replaces the group by the stabiliser of a class that it moves.
  void fix(int x) {
    std::vector<int> block = std::move(blocks_[blockOf_[x]]);
    searchBlock(block, x);
  }

  int searches() const { return searches_; }
  /// True when Traces refused a search; the orbits are incomplete then.
  bool refused() const { return refused_; }

 private:
  void searchBlock(const std::vector<int>& block, int individualised);
  void forgetBlock(const std::vector<int>& block);
  BlockGraph induce(const std::vector<int>& block);
  bool colourBlock(const std::vector<int>& block, int individualised, const BlockGraph& graph,
                   std::vector<int>& lab, std::vector<int>& ptn) const;
  void searchColouredBlock(const std::vector<int>& block, BlockGraph& graph, std::vector<int>& lab,
                           std::vector<int>& ptn);
  void recordOrbits(const std::vector<int>& block, const std::vector<int>& orbits, std::vector<int>& support);

  const Quotient& quotient_;
  const Folding& folding_;
  int count_;
  std::vector<int> localId_;                 // position in the block being searched, else -1
  std::vector<int> orbitOf_, blockOf_;       // -1 for a fixed class
  std::vector<std::vector<int>> orbits_, blocks_;
  std::vector<int64_t> orbitWeights_;
  int searches_ = 0;
  bool refused_ = false;
};

void QuotientOrbits::searchBlock(const std::vector<int>& block, int individualised) {
  forgetBlock(block);
  const int size = static_cast<int>(block.size());
  if (size < 2) return;
  BlockGraph graph = induce(block);
  std::vector<int> lab(size), ptn(size, 0);
  // A partition into single vertices admits only the identity.
  if (!colourBlock(block, individualised, graph, lab, ptn)) return;
  searchColouredBlock(block, graph, lab, ptn);
}

// The block's classes lose their orbits and blocks until the search gives them new ones.
void QuotientOrbits::forgetBlock(const std::vector<int>& block) {
  for (int x : block) {
    if (orbitOf_[x] != -1) std::vector<int>().swap(orbits_[orbitOf_[x]]);
    orbitOf_[x] = blockOf_[x] = -1;
  }
}

BlockGraph QuotientOrbits::induce(const std::vector<int>& block) {
  const int size = static_cast<int>(block.size());
  for (int i = 0; i < size; ++i) localId_[block[i]] = i;
  BlockGraph graph;
  graph.edgeStart.resize(size);
  graph.degree.assign(size, 0);
  graph.outsideStart.assign(size + 1, 0);
  for (int i = 0; i < size; ++i) {
    graph.edgeStart[i] = graph.edges.size();
    for (int y : quotient_.adjacency[block[i]]) {
      if (localId_[y] >= 0) {
        graph.edges.push_back(localId_[y]);
        ++graph.degree[i];
      } else {
        graph.outside.push_back(y);
      }
    }
    graph.outsideStart[i + 1] = static_cast<int>(graph.outside.size());
  }
  for (int x : block) localId_[x] = -1;
  return graph;
}

// Orders the block's vertices into the cells of Traces' partition (lab, ptn): the individualised
// class alone first, then by colour and by the exact neighbours outside the block. False when every
// cell holds one vertex.
bool QuotientOrbits::colourBlock(const std::vector<int>& block, int individualised, const BlockGraph& graph,
                                 std::vector<int>& lab, std::vector<int>& ptn) const {
  const std::vector<int>& outside = graph.outside;
  const std::vector<int>& outsideStart = graph.outsideStart;
  auto less = [&](int a, int b) {
    bool aFirst = block[a] == individualised, bFirst = block[b] == individualised;
    if (aFirst != bFirst) return aFirst;
    int ca = quotient_.colour[block[a]], cb = quotient_.colour[block[b]];
    if (ca != cb) return ca < cb;
    return std::lexicographical_compare(outside.begin() + outsideStart[a], outside.begin() + outsideStart[a + 1],
                                        outside.begin() + outsideStart[b], outside.begin() + outsideStart[b + 1]);
  };
  const int size = static_cast<int>(block.size());
  std::iota(lab.begin(), lab.end(), 0);
  std::sort(lab.begin(), lab.end(), less);
  bool symmetric = false;
  for (int i = 0; i + 1 < size; ++i) {
    ptn[i] = less(lab[i], lab[i + 1]) ? 0 : 1;
    symmetric = symmetric || ptn[i] == 1;
  }
  return symmetric;
}

// Runs Traces on the coloured block and records the orbits and blocks of the factor it finds.
void QuotientOrbits::searchColouredBlock(const std::vector<int>& block, BlockGraph& blockGraph, std::vector<int>& lab,
                                         std::vector<int>& ptn) {
  const int size = static_cast<int>(block.size());
  sparsegraph graph;
  graph.nde = blockGraph.edges.size();
  graph.v = blockGraph.edgeStart.data();
  graph.nv = size;
  graph.d = blockGraph.degree.data();
  graph.e = blockGraph.edges.data();
  graph.w = nullptr;
  graph.vlen = graph.dlen = static_cast<size_t>(size);
  graph.elen = blockGraph.edges.size();
  graph.wlen = 0;
  std::vector<int> orbits(size), support(size);
  std::iota(support.begin(), support.end(), 0);
  ++searches_;
  const SearchOutcome outcome = runTraces(graph, lab.data(), ptn.data(), orbits.data(), support);
  if (outcome == SearchOutcome::outOfMemory) throw std::bad_alloc();
  // A refused search leaves the block fixed, so that the walk ends; the caller reports the failure.
  if (outcome == SearchOutcome::refused) {
    refused_ = true;
    return;
  }
  recordOrbits(block, orbits, support);
}

void QuotientOrbits::recordOrbits(const std::vector<int>& block, const std::vector<int>& orbits,
                                  std::vector<int>& support) {
  const int size = static_cast<int>(block.size());
  std::vector<int> members(size, 0), orbitId(size, -1), blockId(size, -1);
  for (int i = 0; i < size; ++i) {
    ++members[orbits[i]];
    // Generators connect every orbit already; this keeps each orbit inside one block regardless.
    const int a = findRoot(support, i), b = findRoot(support, orbits[i]);
    if (a != b) support[a] = b;
  }
  for (int i = 0; i < size; ++i) {
    const int x = block[i], representative = orbits[i];
    if (members[representative] < 2) continue;
    if (orbitId[representative] == -1) {
      orbitId[representative] = static_cast<int>(orbits_.size());
      orbits_.emplace_back();
      orbitWeights_.push_back(0);
    }
    orbitOf_[x] = orbitId[representative];
    orbits_[orbitOf_[x]].push_back(x);
    orbitWeights_[orbitOf_[x]] += static_cast<int64_t>(folding_.members[x].size());
    const int root = findRoot(support, i);
    if (blockId[root] == -1) {
      blockId[root] = static_cast<int>(blocks_.size());
      blocks_.emplace_back();
    }
    blockOf_[x] = blockId[root];
    blocks_[blockOf_[x]].push_back(x);
  }
}

// ---------------------------------------------------------------------------------------------
// The chain

// |Aut| as the product of the orbit sizes along the chain, exact while it fits in 64 bits.
struct GroupOrder {
  bool exact = true;
  uint64_t value = 1;
  long double log10 = 0;

  void multiply(int64_t factor) {
    log10 += std::log10(static_cast<long double>(factor));
    if (exact && __builtin_mul_overflow(value, static_cast<uint64_t>(factor), &value)) exact = false;
  }
};

// The stabiliser chain along the matching order, as ordered pairs (earlier, later): the later
// vertex maps to the larger data vertex id.
struct Chain {
  GroupOrder order;
  int baseLength = 0;
  std::vector<std::pair<int, int>> constraints;
};

// A stabiliser step that fixed a vertex whose class the group moved: the orbit then spans several
// classes. `parent` is the latest earlier such step whose orbit held this class.
struct OrbitStep {
  int vertex;
  int quotientVertex;
  int parent;
};

// These steps' orbits form a laminar family over the classes; owner[y] is the step with the deepest
// orbit that holds class y, or -1. Step s requires its vertex below every other member of its orbit;
// for the classes that a later step's orbit inside it covers, that step's vertex stands in (it is
// required above s's vertex and below the rest), so s keeps only the first vertex of each class
// whose deepest orbit is s's (the second of its own class) and the vertex of each step directly
// inside it. The rest of every class is chained above.
void addOrbitStepConstraints(const Folding& folding, const std::vector<OrbitStep>& orbitSteps,
                             const std::vector<int>& owner, Chain* chain) {
  for (const OrbitStep& step : orbitSteps) {
    if (step.parent >= 0) chain->constraints.emplace_back(orbitSteps[step.parent].vertex, step.vertex);
  }
  const int quotientSize = static_cast<int>(folding.members.size());
  for (int y = 0; y < quotientSize; ++y) {
    if (owner[y] < 0) continue;
    const OrbitStep& step = orbitSteps[owner[y]];
    const std::vector<int>& members = folding.members[y];
    if (y != step.quotientVertex) {
      chain->constraints.emplace_back(step.vertex, members[0]);
    } else if (members.size() >= 2) {
      chain->constraints.emplace_back(step.vertex, members[1]);
    }
  }
}

// Walks the matching order: the first vertex whose orbit under the current stabiliser has two or
// more members is fixed next, and required below the rest of its orbit. Orbits only shrink, so a
// vertex passed over never qualifies later. Members of one class always share their orbit, hence
// they are fixed in matching order, each as the first of its class not yet fixed.
Chain walkChain(const Folding& folding, QuotientOrbits& orbits, const std::vector<int>& matchingOrder) {
  const int quotientSize = static_cast<int>(folding.members.size());
  Chain chain;
  std::vector<int> fixedCount(quotientSize, 0), owner(quotientSize, -1);
  std::vector<OrbitStep> orbitSteps;
  for (int v : matchingOrder) {
    const int x = folding.classOf[v];
    const std::vector<int>& members = folding.members[x];
    const int64_t orbitSize = orbits.fixed(x) ? static_cast<int64_t>(members.size()) - fixedCount[x]
                                              : orbits.orbitWeight(x);
    if (orbitSize < 2) continue;
    assert(members[fixedCount[x]] == v);
    chain.order.multiply(orbitSize);
    ++chain.baseLength;
    if (orbits.fixed(x)) {
      // The orbit is the rest of the class, which is fixed member after member: a chain.
      chain.constraints.emplace_back(v, members[fixedCount[x] + 1]);
    } else {
      // The orbit is the union of several classes; its pairs follow once it is known which of
      // them later steps imply.
      assert(fixedCount[x] == 0);
      const int step = static_cast<int>(orbitSteps.size());
      orbitSteps.push_back({v, x, owner[x]});
      for (int y : orbits.orbit(x)) owner[y] = step;
      orbits.fix(x);
    }
    ++fixedCount[x];
  }
  addOrbitStepConstraints(folding, orbitSteps, owner, &chain);
  return chain;
}

// Each constrained vertex lists its direct predecessors, itself, and the first vertex (in matching
// order) it is ordered after; the last is implied and gives the vertices of a chain one colour.
std::vector<std::vector<int>> classRows(const Chain& chain, const std::vector<int>& matchingOrder,
                                        const std::vector<int>& position) {
  const int n = static_cast<int>(matchingOrder.size());
  std::vector<std::vector<int>> classes(n);
  for (auto [earlier, later] : chain.constraints) {
    assert(position[earlier] < position[later]);
    classes[later].push_back(earlier);
  }
  std::vector<int> root(n);
  for (int w : matchingOrder) {
    root[w] = w;
    for (int x : classes[w]) {
      if (position[root[x]] < position[root[w]]) root[w] = root[x];
    }
  }
  for (int w = 0; w < n; ++w) {
    auto& row = classes[w];
    if (row.empty()) continue;
    row.push_back(w);
    row.push_back(root[w]);
    std::sort(row.begin(), row.end());
    row.erase(std::unique(row.begin(), row.end()), row.end());
  }
  return classes;
}

// The position of every vertex in the order; false with `problem` set when the input is no query
// with a permutation of its vertices as order.
bool checkInput(const std::vector<int>& labels, const std::vector<std::vector<int>>& neighbors,
                const std::vector<int>& matchingOrder, std::vector<int>& position, std::string& problem) {
  const int n = static_cast<int>(labels.size());
  if (matchingOrder.size() != labels.size()) {
    problem = "the matching order has " + std::to_string(matchingOrder.size()) + " entries for " +
              std::to_string(n) + " vertices";
    return false;
  }
  position.assign(n, -1);
  for (int i = 0; i < n; ++i) {
    const int v = matchingOrder[i];
    if (v < 0 || v >= n || position[v] != -1) {
      problem = "the matching order is not a permutation of the vertices (entry " + std::to_string(i) + ": " +
                std::to_string(v) + ")";
      return false;
    }
    position[v] = i;
  }
  if (neighbors.size() > labels.size()) {
    problem = "more neighbour rows than vertices";
    return false;
  }
  for (size_t u = 0; u < neighbors.size(); ++u) {
    for (int x : neighbors[u]) {
      if (x < 0 || x >= n) {
        problem = "neighbour row " + std::to_string(u) + " names vertex " + std::to_string(x);
        return false;
      }
    }
  }
  return true;
}

}  // namespace

bool computeQuerySymmetry(const std::vector<int>& labels, const std::vector<std::vector<int>>& neighbors,
                          const std::vector<int>& matchingOrder, QuerySymmetry& symmetry, std::string& problem) {
  std::vector<int> position;
  if (!checkInput(labels, neighbors, matchingOrder, position, problem)) return false;
  const SimpleGraph graph = simplify(labels, neighbors);
  const Folding folding = foldTwins(graph, position);
  const Quotient quotient = buildQuotient(graph, folding);
  QuotientOrbits orbits(quotient, folding);
  orbits.start();
  const int orbitCount = orbits.orbitCount();
  const Chain chain = walkChain(folding, orbits, matchingOrder);
  releaseNautyMemory();
  if (orbits.refused()) {
    problem = "nauty's Traces refused to search the query";
    return false;
  }

  symmetry.classes = classRows(chain, matchingOrder, position);
  symmetry.orderExact = chain.order.exact;
  symmetry.groupOrder = chain.order.exact ? chain.order.value : 0;
  symmetry.groupOrderLog10 = static_cast<double>(chain.order.log10);
  symmetry.orbitCount = orbitCount;
  symmetry.baseLength = chain.baseLength;
  symmetry.searches = orbits.searches();
  symmetry.constraintCount = static_cast<int64_t>(chain.constraints.size());
  return true;
}

std::string describeGroupOrder(const QuerySymmetry& symmetry) {
  if (symmetry.orderExact) return std::to_string(symmetry.groupOrder);
  double exponent = std::floor(symmetry.groupOrderLog10);
  double mantissa = std::pow(10.0, symmetry.groupOrderLog10 - exponent);
  // Rounding to six digits may carry into the exponent.
  if (mantissa >= 9.999995) {
    mantissa /= 10;
    exponent += 1;
  }
  char text[64];
  std::snprintf(text, sizeof text, "%.5fe+%.0f", mantissa, exponent);
  return text;
}
