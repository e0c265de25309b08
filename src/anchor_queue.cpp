// The anchors of the matching order's extension step, kept in a set ordered by their keys.
#include "anchor_queue.h"

#include <algorithm>
#include <climits>

#include "graph.h"

AnchorQueue::AnchorQueue(const std::vector<int>& labelsOfQuery, const std::vector<std::vector<int>>& rowsOfQuery,
                         const Graph& dataGraph)
    : labels(labelsOfQuery), rows(rowsOfQuery), graph(dataGraph), offers(labelsOfQuery.size()) {}

int AnchorQueue::pairFrequency(int a, int b) const {
  auto it = graph.labelPairFreq.find({a, b});
  return it == graph.labelPairFreq.end() ? 0 : it->second;
}

void AnchorQueue::addAnchor(int u, int position, const std::vector<bool>& ordered) {
  Offer& offer = offers[u];
  offer.position = position;
  auto count = graph.labelFreq.find(labels[u]);
  offer.labelCount = count == graph.labelFreq.end() ? 0 : count->second;
  if (u < static_cast<int>(rows.size())) {
    const std::vector<int>& row = rows[u];
    for (size_t i = 0; i < row.size(); ++i) {
      const int w = row[i];
      if (w < 0 || w >= static_cast<int>(labels.size())) continue;
      offer.choices.push_back({pairFrequency(labels[u], labels[w]), static_cast<int>(i), w});
    }
  }
  std::sort(offer.choices.begin(), offer.choices.end());
  if (refresh(u, ordered)) keys.insert(offer.key);
}

int AnchorQueue::next(const std::vector<bool>& ordered, const std::vector<int>& order) {
  while (!keys.empty()) {
    const std::pair<int, int> front = *keys.begin();
    const int u = order[front.second];
    keys.erase(keys.begin());
    if (!refresh(u, ordered)) continue;
    if (offers[u].key != front) {
      keys.insert(offers[u].key);
      continue;
    }
    keys.insert(front);
    return offers[u].choices[offers[u].first].w;
  }
  return -1;
}

// Skips the ordered choices of anchor u and recomputes its key; false when it offers nothing.
bool AnchorQueue::refresh(int u, const std::vector<bool>& ordered) {
  Offer& offer = offers[u];
  while (offer.first < offer.choices.size() && ordered[offer.choices[offer.first].w]) ++offer.first;
  if (offer.first == offer.choices.size()) return false;
  const int f = offer.choices[offer.first].frequency;
  // A saturated count is no candidate, and an absent anchor label gives no finite ratio.
  if (f == INT_MAX || offer.labelCount <= 0) return false;
  const double ratio = static_cast<double>(f) / static_cast<double>(offer.labelCount);
  offer.key = {static_cast<int>(ratio), offer.position};
  return true;
}
