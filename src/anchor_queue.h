// The greedy extension step of the matching order: which unordered query vertex to take next, chosen
// among the neighbours of the vertices already ordered (the anchors) by the data graph's label
// statistics.
#pragma once

#include <cstddef>
#include <set>
#include <utility>
#include <vector>

class Graph;

// Every anchor offers its rarest unordered neighbour (lowest pair frequency, first in row order on
// ties) at the ratio pair frequency / vertices of the anchor's label. Scanning the anchors in order and
// taking one whenever its ratio is below the integer part of the last one taken ends at the first
// anchor whose ratio has the smallest integer part; so anchors are kept in a set keyed by (integer
// part, position). Keys only grow as neighbours get ordered, so a key is refreshed lazily when it
// reaches the front.
class AnchorQueue {
 public:
  /// A queue over the query given by its labels and neighbour rows (missing rows are empty).
  AnchorQueue(const std::vector<int>& labels, const std::vector<std::vector<int>>& rows, const Graph& graph);

  /// The data graph's edge ends joining labels a and b; 0 when no edge joins them.
  int pairFrequency(int a, int b) const;

  /// Adds the vertex u, just ordered at `position`, as an anchor.
  void addAnchor(int u, int position, const std::vector<bool>& ordered);

  /// The next vertex to order, or -1 when no anchor offers one at a finite ratio.
  int next(const std::vector<bool>& ordered, const std::vector<int>& order);

 private:
  struct Choice {
    int frequency, index, w;
    bool operator<(const Choice& other) const {
      return frequency != other.frequency ? frequency < other.frequency : index < other.index;
    }
  };
  struct Offer {
    std::vector<Choice> choices;
    size_t first = 0;
    int labelCount = 0;
    int position = 0;
    std::pair<int, int> key;
  };

  bool refresh(int u, const std::vector<bool>& ordered);

  const std::vector<int>& labels;
  const std::vector<std::vector<int>>& rows;
  const Graph& graph;
  std::vector<Offer> offers;
  std::set<std::pair<int, int>> keys;
};
