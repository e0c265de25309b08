// Deliberately simple references for the differential tests: every injective label-preserving
// assignment checked edge by edge, and the greedy matching order transcribed step by step.
#pragma once

#include <cstdint>
#include <functional>
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

/// Draws a whole number below its bound.
using Pick = std::function<int(int)>;

/// A data graph of `size` vertices with labels below `labelCount` and size * (1 + pick(edgeSpread))
/// random edges (repeats and self-loops included); `rows` receives each vertex's neighbours.
SmallGraph randomDataGraph(const Pick& pick, int size, int labelCount, int edgeSpread,
                           std::vector<std::vector<int>>* rows);

/// A query grown by a random walk of up to `size` vertices in `data` from a random vertex, so that it
/// has embeddings; a step back to a vertex already taken adds that edge with chance
/// 1 / extraEdgeOneIn; with chance 1/3, random symmetry classes over vertices of one label.
SmallGraph randomWalkQuery(const Pick& pick, const SmallGraph& data, const std::vector<std::vector<int>>& rows,
                           int size, int extraEdgeOneIn);

/// The data graph and query file texts of the small graphs.
std::string dataFileText(const SmallGraph& data);
std::string queryFileText(const std::vector<SmallGraph>& queries);
