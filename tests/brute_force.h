// Deliberately simple references for the differential tests: every injective label-preserving
// assignment checked edge by edge, and the greedy matching order transcribed step by step.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class Graph;

struct SmallGraph {
  std::vector<int> labels;
  std::vector<std::pair<int, int>> edges;  // may repeat, may hold self-loops (data graphs only)
  std::vector<std::vector<int>> classes;   // symmetry class of each vertex (queries only)
};

/// The matching order of a query (file numbering), scanning every anchor at every step; `rows` are
/// the neighbour rows in the order of the edge lines.
std::vector<int> referenceOrder(const std::vector<int>& labels, const std::vector<std::vector<int>>& rows,
                                const Graph& data);
std::vector<int> referenceOrder(const SmallGraph& query, const Graph& data);

/// Every embedding of `query` in `data` that the symmetry classes allow under `order`, written in
/// matching-order numbering (entry i is the image of order[i]), in lexicographic order.
std::vector<std::vector<int>> bruteForceEmbeddings(const SmallGraph& query, const SmallGraph& data,
                                                   const std::vector<int>& order);

/// The data graph and query file texts of the small graphs.
std::string dataFileText(const SmallGraph& data);
std::string queryFileText(const std::vector<SmallGraph>& queries);
