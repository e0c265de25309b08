// The references are kept obviously correct rather than fast: the enumeration tries every data
// vertex for every query vertex, and the order rescans all ordered vertices at each step.
#include "brute_force.h"

#include <algorithm>
#include <climits>
#include <functional>
#include <set>

#include "graph.h"

std::vector<int> referenceOrder(const SmallGraph& query, const Graph& data) {
  std::vector<std::vector<int>> rows(query.labels.size());
  for (auto [u, v] : query.edges) {
    rows[u].push_back(v);
    rows[v].push_back(u);
  }
  return referenceOrder(query.labels, rows, data);
}

std::vector<int> referenceOrder(const std::vector<int>& labels, const std::vector<std::vector<int>>& rows,
                                const Graph& data) {
  const int n = static_cast<int>(labels.size());
  auto pf = [&](int a, int b) {
    auto it = data.labelPairFreq.find({a, b});
    return it == data.labelPairFreq.end() ? 0 : it->second;
  };
  auto lc = [&](int a) {
    auto it = data.labelFreq.find(a);
    return it == data.labelFreq.end() ? 0 : it->second;
  };
  int bestSeed = INT_MAX, first = 0, second = 0;
  for (int i = 0; i < n; ++i) {
    if (rows[i].empty()) continue;
    int f = INT_MAX, h = 0;
    for (int w : rows[i]) {
      int c = pf(labels[i], labels[w]);
      if (c < f) {
        f = c;
        h = w;
      }
    }
    if (f < bestSeed) {
      bestSeed = f;
      first = i;
      second = h;
    }
  }
  if (n == 1) return {first, second};
  std::vector<int> order;
  std::vector<bool> flagged(n, false);
  auto append = [&](int v) {
    order.push_back(v);
    flagged[v] = true;
  };
  append(first);
  if (bestSeed != INT_MAX) append(second);
  while (static_cast<int>(order.size()) < n) {
    int bestRatio = INT_MAX, next = -1;
    for (size_t p = 0; p < order.size(); ++p) {
      int u = order[p];
      int lf = lc(labels[u]);
      int f = INT_MAX, h = 0;
      for (int w : rows[u]) {
        if (flagged[w]) continue;
        int c = pf(labels[u], labels[w]);
        if (c < f) {
          f = c;
          h = w;
        }
      }
      if (f == INT_MAX) continue;
      double ratio = static_cast<double>(f) / static_cast<double>(lf);
      if (static_cast<double>(bestRatio) > ratio) {
        next = h;
        bestRatio = static_cast<int>(ratio);
      }
    }
    if (next < 0) next = static_cast<int>(std::find(flagged.begin(), flagged.end(), false) - flagged.begin());
    append(next);
  }
  return order;
}

std::vector<std::vector<int>> bruteForceEmbeddings(const SmallGraph& query, const SmallGraph& data,
                                                   const std::vector<int>& order) {
  const int n = static_cast<int>(query.labels.size());
  const int dataSize = static_cast<int>(data.labels.size());
  std::vector<std::vector<bool>> adjacent(dataSize, std::vector<bool>(dataSize, false));
  for (auto [u, v] : data.edges) adjacent[u][v] = adjacent[v][u] = true;
  std::vector<int> position(n);
  for (int i = 0; i < n; ++i) position[order[i]] = i;
  std::vector<std::vector<int>> found;
  std::vector<int> image(n, -1);
  std::vector<bool> used(dataSize, false);
  // Each query edge is checked once both of its endpoints have an image.
  auto edgesHold = [&](int v) {
    for (auto [a, b] : query.edges) {
      if (std::max(a, b) == v && !adjacent[image[a]][image[b]]) return false;
    }
    return true;
  };
  std::function<void(int)> assign = [&](int v) {
    if (v == n) {
      for (int u = 0; u < n; ++u) {
        if (u >= static_cast<int>(query.classes.size())) break;
        for (int x : query.classes[u]) {
          if (position[x] < position[u] && image[x] > image[u]) return;
        }
      }
      std::vector<int> renumbered(n);
      for (int i = 0; i < n; ++i) renumbered[i] = image[order[i]];
      found.push_back(renumbered);
      return;
    }
    for (int d = 0; d < dataSize; ++d) {
      if (used[d] || data.labels[d] != query.labels[v]) continue;
      used[d] = true;
      image[v] = d;
      if (edgesHold(v)) assign(v + 1);
      used[d] = false;
    }
  };
  assign(0);
  std::sort(found.begin(), found.end());
  return found;
}

std::string dataFileText(const SmallGraph& data) {
  std::string text = "t " + std::to_string(data.labels.size()) + " " + std::to_string(data.edges.size()) + "\n";
  for (size_t i = 0; i < data.labels.size(); ++i) {
    text += "v " + std::to_string(i) + " " + std::to_string(data.labels[i]) + "\n";
  }
  for (auto [u, v] : data.edges) text += "e " + std::to_string(u) + " " + std::to_string(v) + "\n";
  return text;
}

std::string queryFileText(const std::vector<SmallGraph>& queries) {
  std::string text;
  for (size_t q = 0; q < queries.size(); ++q) {
    const SmallGraph& query = queries[q];
    text += "t # " + std::to_string(q) + "\n";
    for (size_t i = 0; i < query.labels.size(); ++i) {
      text += "v " + std::to_string(i) + " " + std::to_string(query.labels[i]) + "\n";
    }
    for (auto [u, v] : query.edges) text += "e " + std::to_string(u) + " " + std::to_string(v) + "\n";
    for (const auto& members : query.classes) {
      text += "a";
      for (int x : members) text += " " + std::to_string(x);
      text += "\n";
    }
  }
  return text;
}

SmallGraph randomDataGraph(const Pick& pick, int size, int labelCount, int edgeSpread,
                           std::vector<std::vector<int>>* rows) {
  SmallGraph data;
  for (int i = 0; i < size; ++i) data.labels.push_back(pick(labelCount));
  rows->assign(size, {});
  const int edges = size * (1 + pick(edgeSpread));
  for (int i = 0; i < edges; ++i) {
    const int u = pick(size), v = pick(size);
    data.edges.push_back({u, v});
    (*rows)[u].push_back(v);
    (*rows)[v].push_back(u);
  }
  return data;
}

SmallGraph randomWalkQuery(const Pick& pick, const SmallGraph& data, const std::vector<std::vector<int>>& rows,
                           int size, int extraEdgeOneIn) {
  const int dataSize = static_cast<int>(data.labels.size());
  std::vector<int> local(dataSize, -1);
  int at = pick(dataSize);
  local[at] = 0;
  SmallGraph query;
  query.labels.push_back(data.labels[at]);
  for (int step = 0; step < size * 20 && static_cast<int>(query.labels.size()) < size; ++step) {
    if (rows[at].empty()) break;
    const int next = rows[at][pick(static_cast<int>(rows[at].size()))];
    if (next == at) continue;
    if (local[next] < 0) {
      local[next] = static_cast<int>(query.labels.size());
      query.labels.push_back(data.labels[next]);
      query.edges.push_back({local[at], local[next]});
    } else if (pick(extraEdgeOneIn) == 0 && local[at] != local[next]) {
      query.edges.push_back({local[at], local[next]});
    }
    at = next;
  }
  if (pick(3) == 0) {
    const int n = static_cast<int>(query.labels.size());
    query.classes.resize(n);
    for (int v = 0; v < n; ++v) {
      for (int x = 0; x < n; ++x) {
        if (query.labels[x] == query.labels[v] && pick(2) == 0) query.classes[v].push_back(x);
      }
    }
  }
  return query;
}
