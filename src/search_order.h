// The order in which the search assigns a query's vertices. The numbering of the renumbered query
// fixes what is listed and in which sequence, not how the search must walk: a search in another
// order finds the same embeddings, which are then sorted back. Here: label statistics of the data
// graph, a cost estimate of an order from them, and the cheapest order found greedily.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

class DataIndex;

/// Per-label figures of a data graph that estimate candidate counts and edge densities.
class LabelStatistics {
 public:
  /// Gathers the figures of `index` in one pass over its rows.
  explicit LabelStatistics(const DataIndex& index);

  /// Vertices of the dense label with at least `degree` distinct neighbours (at least 64 for a larger degree).
  uint64_t verticesWithDegree(int label, uint32_t degree) const;

  /// Vertices of the dense label.
  uint64_t classSize(int label) const;

  /// Edge ends joining dense labels a and b: every edge counts once from each end.
  uint64_t pairEnds(int a, int b) const;

 private:
  // Degrees are told apart up to this; a query vertex of the search has fewer neighbours.
  static constexpr uint32_t degreeCap = 64;
  std::vector<uint64_t> atLeast;  // label * (degreeCap + 1) + d: vertices of the label with degree >= d
  std::vector<uint64_t> denseEnds;              // a * labelCount + b: edge ends from a to b, few labels
  std::unordered_map<uint64_t, uint64_t> ends;  // the same keyed by a * labelCount + b, many labels
  uint64_t labelCount = 0;
};

/// The shape of a query as the order estimate sees it: per vertex its dense label, its distinct
/// neighbours (ascending, without itself) and their number.
struct QueryShape {
  std::vector<int> labels;
  std::vector<std::vector<int>> neighbors;
};

/// Estimated steps of a search that assigns the vertices in `order` (a permutation of the query's
/// vertices): the sum over depths of the partial embeddings expected there, with candidates
/// counted by label and degree and each edge kept with the density of its labels' edges.
double estimatedSearchCost(const LabelStatistics& statistics, const QueryShape& query, const std::vector<int>& order);

/// A connected order of least estimated cost among greedy ones: from each of the most promising
/// first vertices, the next vertex is always the neighbour of the ordered part that adds the fewest
/// expected partial embeddings.
std::vector<int> cheapestGreedyOrder(const LabelStatistics& statistics, const QueryShape& query);
