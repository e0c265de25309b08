// How the counter counts one query. Trees of vertices whose images can never coincide with another
// vertex's image (every vertex of their label is their neighbour) and that carry no symmetry
// constraint are peeled off and become weights: W_v(y), the number of ways to map the trees hanging
// from v when v maps to y, computed over the data graph. The remaining vertices get a counting order
// of their own, split into an enumerated prefix (assigned one at a time, like the listing search)
// and trailing vertices that have no edge or symmetry constraint among themselves, so that once the
// prefix is assigned their number of injective assignments follows from (weighted) sizes of their
// candidate sets. A build keeps a few alternative orders (by an estimate from label statistics)
// and makes the chosen one. The plan also holds the filtered candidates. It is read-only while
// counting, so tasks of one query can share it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <unordered_map>
#include <utility>
#include <vector>

#include "huge_page_allocator.h"
#include "injective_count.h"

class DataIndex;

/// A query vertex as plans take it. A free vertex's image may coincide with any other image (the
/// count is then one of homomorphisms there); the images of the other vertices are distinct.
struct PatternVertex {
  int label = 0;                  // dense data label
  std::vector<int> neighbors;     // distinct, ascending, without the vertex itself
  std::vector<int> lower, upper;  // vertices whose images bound this one's from below / above
  bool free = false;              // free vertices carry no bounds
};
using Pattern = std::vector<PatternVertex>;

/// The pattern of a query given by its data labels, neighbour rows and symmetry classes (an edge is an
/// entry w < k of row k; an entry x < i of class row i means f(x) < f(i)); false when some label is
/// carried by no data vertex (then there is no embedding).
bool describeQuery(const DataIndex& index, const std::vector<int>& labels, const std::vector<std::vector<int>>& neighbors,
                   const std::vector<std::vector<int>>& symClasses, Pattern* pattern);

/// Data vertices that pass the local test (label, degree, neighbour labels) of a requirement, kept
/// for the plans of related patterns (the collision terms of one query share most requirements).
/// Its owner clears it before each query: an index cannot be told from another built at the same
/// address.
class CandidateCache {
 public:
  void clear() {
    lists.clear();
    storedEntries = 0;
    owner = nullptr;
  }

  /// The cached list for the requirement, or null; forgets everything when the index is not the one
  /// the lists were made for.
  const std::vector<int>* find(const DataIndex& index, const std::vector<uint64_t>& requirement);
  /// Keeps a list (dropping all when they grow past a bound).
  void store(const std::vector<uint64_t>& requirement, const std::vector<int>& list);

 private:
  const DataIndex* owner = nullptr;
  size_t ownerVertices = 0;
  size_t storedEntries = 0;
  std::map<std::vector<uint64_t>, std::vector<int>> lists;
};

class CountPlan {
 public:
  /// Shares a cache of local candidate lists with other plans (by default each plan has its own).
  void shareCandidates(CandidateCache* cache) { candidateCache = cache; }

  /// Plans the query given by its data labels, neighbour rows and symmetry classes (one row per vertex;
  /// an entry x < i in row i means f(x) < f(i)); false when it has no embedding at all (a label no data
  /// vertex carries, or a vertex without candidates).
  bool build(const DataIndex& index, const std::vector<int>& labels, const std::vector<std::vector<int>>& neighbors,
             const std::vector<std::vector<int>>& symClasses);

  /// Plans a pattern; false when it has no embedding (a vertex without candidates). With
  /// `estimateOnly` the plan only gets its order and estimatedCost (candidates by the local test
  /// alone, no weights): enough to compare plans, not to count.
  bool build(const DataIndex& index, const Pattern& pattern, bool estimateOnly = false, size_t alternative = 0);

  /// The number of choices of order the last build weighed; `alternative` k builds the k-th cheapest
  /// by the estimate (0: the cheapest).
  size_t alternatives() const { return alternativeCount; }

  /// The estimated work of the count, in enumeration nodes (comparable between plans of one index).
  double estimatedCost() const { return cost; }

  /// Allocates the per-vertex marks for the index; `build` does it itself when the index changed size.
  void prepare(const DataIndex& index);

  /// Units of work the count can be split into: the candidates of the first enumerated vertex, or 1
  /// when no vertex is enumerated. 0 when the query has no embedding.
  size_t roots() const;

  /// Weights of one query vertex over the data vertices of its label (by rank in the label's list);
  /// empty when the vertex carries no peeled tree (weight 1). A weight of all bits set stands for
  /// 2^128 or more.
  using Weights = std::vector<unsigned __int128>;

  /// One enumerated vertex, at its depth in the counting order.
  struct Level {
    int vertex = 0;                 // query vertex
    int label = 0;                  // dense data label
    uint32_t degree = 0;            // distinct query neighbours
    std::vector<std::pair<int, uint32_t>> neighborLabels;  // (label, query neighbours with it)
    std::vector<int> backward;      // depths of earlier neighbours, ascending
    std::vector<int> lowerFrom;     // depths whose images its image must exceed
    std::vector<int> upperFrom;     // depths whose images its image must stay below
    bool free = false;              // no injectivity: its image is neither checked nor marked
    const std::vector<int>* rootList = nullptr;  // candidates when it has no earlier neighbour
    const Weights* weights = nullptr;   // its peeled trees, or none
  };

  /// Trailing vertices of one label with the same neighbours and bounds: the same candidate set.
  struct Group {
    int label = 0;
    int members = 0;
    std::vector<int> neighborDepths;  // ascending
    std::vector<int> lowerFrom, upperFrom;
    const Weights* weights = nullptr;    // its peeled trees, or none (then any members)
    Weights attachSums;                  // one neighbour, no bounds: the sum of its weights over the
                                         // neighbours of each vertex of the neighbour's label, by rank
  };

  /// The trailing vertices of one label, counted together by inclusion-exclusion, or one free trailing
  /// vertex, counted alone.
  struct LabelClass {
    int label = 0;
    bool free = false;
    std::vector<int> groups;      // indices into groups, in the polynomial's group order
    std::vector<int> usedDepths;  // enumerated depths with this label: their images are excluded
    int dependsOn = -1;           // the deepest depth its value depends on
    bool weighted = false;        // some group has weights: each group has one member
    InjectiveCount polynomial;
  };

  std::vector<Level> levels;              // the enumerated prefix, in counting order
  std::vector<Group> groups;
  std::vector<LabelClass> classes;
  std::vector<int> staticClasses;         // classes that do not depend on the last level
  std::vector<int> dependentClasses;      // classes evaluated for each candidate of the last level
  std::vector<int> trailing;              // the trailing query vertices
  std::vector<int> peeled;                // vertices turned into weights, leaves first
  std::vector<int> peelParent;            // per query vertex: the vertex it hangs from, or -1
  bool feasible = false;
  bool weightsSaturated = false;          // some weight reached 2^128
  bool useMasks = false;                  // candidates marked per data vertex (queries of up to 64 vertices)
  bool lazyFilter = false;                // candidates tested when met instead of filtered up front

  /// Whether data vertex v is a candidate of query vertex k (masks in use, or tested on the spot).
  bool isCandidate(const DataIndex& index, int v, int k) const;

  /// Whether data vertex v passes the local test of query vertex k: degree and neighbour labels.
  bool locallyPossible(const DataIndex& index, int v, int k) const;


  /// Leaves trees unpeeled in the next builds (for counts the weights cannot express exactly).
  void allowPeeling(bool allowed) { peelingAllowed = allowed; }

  /// Whether builds refine candidates along the edges (costly on large label classes; plans built
  /// by the dozen, like those of collision terms, do better with the local test alone).
  void refineCandidates(bool refine) { refinement = refine; }

  /// Label classes of a pattern adding up to more vertices than this are not filtered up front:
  /// candidates are tested by the local test when the count meets them.
  size_t lazyFilterFrom = size_t{1} << 22;

 private:
  struct QueryVertex : PatternVertex {
    std::vector<std::pair<int, uint32_t>> neighborLabels;  // (label, distinct data neighbours needed)
    uint32_t degree = 0;                                    // distinct data neighbours needed
  };

  bool filterCandidates(const DataIndex& index, bool refine);
  void clearMarks();
  struct Choice {
    double cost = 0;
    std::vector<int> prefix;
    uint64_t trailingMask = 0;
    bool peeled = false;
  };

  uint64_t peel(std::vector<int>* order, std::vector<int>* parent) const;
  std::vector<Choice> chooseOrders(uint64_t active, uint64_t weightedMask, size_t keep) const;
  double orderPrefix(const std::vector<int>& prefix, uint64_t active, uint64_t trailingMask,
                     std::vector<int>* order) const;
  void computeWeights(const DataIndex& index);
  void buildLevels(const DataIndex& index, const std::vector<int>& prefix);
  void buildClasses(const DataIndex& index, const std::vector<int>& trailingVertices);
  void countLabelEdges(const DataIndex& index);
  double branching(int from, int to) const;
  double edgesBetween(int from, int to) const;

  std::vector<QueryVertex> query;
  std::vector<std::vector<int>> candidates;  // filtered candidates per query vertex (up front)
  CandidateCache ownCache;
  CandidateCache* candidateCache = &ownCache;
  std::vector<Weights> weight;               // per query vertex
  bool peelingAllowed = true;
  bool refinement = true;
  std::vector<size_t> candidateCount;        // their number, or the label class size when lazy
  ZeroedArray<uint64_t> candidateMask;       // per data vertex: bit k when a candidate of k
  std::vector<int> touched;
  size_t indexedVertices = 0;
  const DataIndex* statsIndex = nullptr;     // label statistics below belong to this index
  size_t statsVertices = 0, statsEdgeEnds = 0;
  std::unordered_map<uint64_t, uint64_t> labelEdgeEnds;  // (label a, label b) -> edge ends from a to b
  std::vector<uint64_t> labelSize;
  double cost = 0;
  size_t alternativeCount = 0;
};
