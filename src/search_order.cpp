// Order estimates. The model is the usual one of join planning: a vertex adds as many partial
// embeddings as it has candidates, thinned by the density of each edge to a vertex assigned before
// it; a search costs the partial embeddings it builds at all depths. Injectivity, symmetry bounds
// and correlations between edges are left out, so an estimate is rough: it proposes an order, and
// the search races it against the query's own.
#include "search_order.h"

#include <algorithm>
#include <numeric>

#include "data_index.h"

namespace {

// First vertices tried by the greedy search: those with the fewest candidates.
constexpr size_t greedyStarts = 6;
// Label pairs counted in a flat table up to this many labels, in a hash table beyond.
constexpr uint64_t denseLabelBound = 1024;

uint64_t pairKey(uint64_t a, uint64_t b, uint64_t labelCount) { return a * labelCount + b; }

// The per-query figures of the model: candidates of each vertex and the density of each edge.
struct Model {
  std::vector<double> candidates;
  std::vector<std::vector<double>> density;  // per vertex, beside its neighbour row
};

Model buildModel(const LabelStatistics& statistics, const QueryShape& query) {
  const size_t n = query.labels.size();
  Model model;
  model.candidates.resize(n);
  model.density.resize(n);
  for (size_t v = 0; v < n; ++v) {
    const uint32_t degree = static_cast<uint32_t>(query.neighbors[v].size());
    model.candidates[v] = std::max<double>(1.0, static_cast<double>(statistics.verticesWithDegree(query.labels[v], degree)));
  }
  for (size_t v = 0; v < n; ++v) {
    for (int w : query.neighbors[v]) {
      const double pairs = static_cast<double>(statistics.classSize(query.labels[v])) *
                           static_cast<double>(statistics.classSize(query.labels[w]));
      const double ends = static_cast<double>(statistics.pairEnds(query.labels[v], query.labels[w]));
      model.density[v].push_back(pairs > 0 ? std::min(1.0, ends / pairs) : 0.0);
    }
  }
  return model;
}

// The factor by which vertex v multiplies the partial embeddings when the vertices marked in
// `placed` are assigned before it; `joined` tells whether one of them is its neighbour.
double growth(const Model& model, const QueryShape& query, int v, const std::vector<char>& placed, bool* joined) {
  double factor = model.candidates[v];
  *joined = false;
  const std::vector<int>& row = query.neighbors[v];
  for (size_t j = 0; j < row.size(); ++j) {
    if (placed[row[j]]) {
      factor *= model.density[v][j];
      *joined = true;
    }
  }
  return factor;
}

double costOf(const Model& model, const QueryShape& query, const std::vector<int>& order) {
  std::vector<char> placed(query.labels.size(), 0);
  double partial = 1.0, cost = 0.0;
  for (int v : order) {
    bool joined = false;
    partial *= growth(model, query, v, placed, &joined);
    cost += partial;
    placed[v] = 1;
  }
  return cost;
}

// The greedy order from `first`: each step takes, among the unplaced neighbours of the placed part,
// the one of least growth (ties: the lower number); a vertex of another component only when none
// is left.
std::vector<int> greedyFrom(const Model& model, const QueryShape& query, int first) {
  const int n = static_cast<int>(query.labels.size());
  std::vector<char> placed(n, 0);
  std::vector<int> order{first};
  placed[first] = 1;
  while (static_cast<int>(order.size()) < n) {
    int best = -1;
    bool bestJoined = false;
    double bestGrowth = 0.0;
    for (int v = 0; v < n; ++v) {
      if (placed[v]) continue;
      bool joined = false;
      const double factor = growth(model, query, v, placed, &joined);
      if (best < 0 || (joined && !bestJoined) || (joined == bestJoined && factor < bestGrowth)) {
        best = v;
        bestJoined = joined;
        bestGrowth = factor;
      }
    }
    order.push_back(best);
    placed[best] = 1;
  }
  return order;
}

}  // namespace

// One pass over the rows in vertex order, which reads the adjacency array front to back.
LabelStatistics::LabelStatistics(const DataIndex& index) : labelCount(index.labelCount()) {
  atLeast.assign(labelCount * (degreeCap + 1), 0);
  const bool dense = labelCount <= denseLabelBound;
  if (dense) denseEnds.assign(labelCount * labelCount, 0);
  const int vertexCount = static_cast<int>(index.vertexCount());
  for (int v = 0; v < vertexCount; ++v) {
    const uint64_t label = index.labelOf(v);
    ++atLeast[label * (degreeCap + 1) + std::min<uint32_t>(index.degree(v), degreeCap)];
    // A row is ordered by label: count its label groups.
    const DataIndex::Range row = index.allNeighbors(v);
    for (const int* p = row.begin; p < row.end;) {
      const uint32_t other = index.labelOf(*p);
      const int* q = p + 1;
      while (q < row.end && index.labelOf(*q) == other) ++q;
      const uint64_t key = pairKey(label, other, labelCount);
      (dense ? denseEnds[key] : ends[key]) += static_cast<uint64_t>(q - p);
      p = q;
    }
  }
  // From counts of each degree to counts of each degree and above.
  for (uint64_t label = 0; label < labelCount; ++label) {
    uint64_t* counts = atLeast.data() + label * (degreeCap + 1);
    for (uint32_t d = degreeCap; d > 0; --d) counts[d - 1] += counts[d];
  }
}

uint64_t LabelStatistics::verticesWithDegree(int label, uint32_t degree) const {
  if (label < 0 || static_cast<uint64_t>(label) >= labelCount) return 0;
  return atLeast[static_cast<uint64_t>(label) * (degreeCap + 1) + std::min(degree, degreeCap)];
}

uint64_t LabelStatistics::classSize(int label) const {
  if (label < 0 || static_cast<uint64_t>(label) >= labelCount) return 0;
  return atLeast[static_cast<uint64_t>(label) * (degreeCap + 1)];
}

uint64_t LabelStatistics::pairEnds(int a, int b) const {
  if (a < 0 || b < 0 || static_cast<uint64_t>(a) >= labelCount || static_cast<uint64_t>(b) >= labelCount) return 0;
  if (!denseEnds.empty()) return denseEnds[pairKey(a, b, labelCount)];
  auto it = ends.find(pairKey(a, b, labelCount));
  return it == ends.end() ? 0 : it->second;
}

double estimatedSearchCost(const LabelStatistics& statistics, const QueryShape& query, const std::vector<int>& order) {
  return costOf(buildModel(statistics, query), query, order);
}

std::vector<int> cheapestGreedyOrder(const LabelStatistics& statistics, const QueryShape& query) {
  const int n = static_cast<int>(query.labels.size());
  if (n == 0) return {};
  const Model model = buildModel(statistics, query);
  std::vector<int> starts(n);
  std::iota(starts.begin(), starts.end(), 0);
  std::stable_sort(starts.begin(), starts.end(),
                   [&](int a, int b) { return model.candidates[a] < model.candidates[b]; });
  starts.resize(std::min(starts.size(), greedyStarts));
  std::vector<int> best;
  double bestCost = 0.0;
  for (int first : starts) {
    std::vector<int> order = greedyFrom(model, query, first);
    const double cost = costOf(model, query, order);
    if (best.empty() || cost < bestCost) {
      best = std::move(order);
      bestCost = cost;
    }
  }
  return best;
}
