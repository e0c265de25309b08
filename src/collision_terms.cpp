// The partitions are enumerated label by label (blocks never mix labels), each class as restricted
// growth strings checked block by block, and combined as a mixed-radix product.
#include "collision_terms.h"

#include <algorithm>
#include <functional>
#include <map>

namespace {

// The partitions of one label's vertices into blocks without edges and with at most one non-free
// vertex; each as the block index of every member.
struct ClassPartitions {
  std::vector<int> members;
  std::vector<std::vector<int>> blocks;  // per partition: block of each member
  std::vector<int64_t> coefficients;
};

ClassPartitions classPartitions(const Pattern& pattern, const std::vector<bool>& freeVertex,
                                const std::vector<int>& members) {
  ClassPartitions result;
  result.members = members;
  const int k = static_cast<int>(members.size());
  std::vector<int> block(k, 0);
  std::vector<std::vector<int>> contents;
  std::function<void(int)> place = [&](int i) {
    if (i == k) {
      int64_t coefficient = 1;
      for (const std::vector<int>& inside : contents) {
        const int size = static_cast<int>(inside.size());
        for (int j = 2; j < size; ++j) coefficient *= j;
        if (size % 2 == 0) coefficient = -coefficient;
      }
      result.blocks.push_back(block);
      result.coefficients.push_back(coefficient);
      return;
    }
    const int v = members[i];
    // A block of its own first, so that the first partition keeps every vertex apart.
    for (size_t at = 0; at <= contents.size(); ++at) {
      const size_t b = at == 0 ? contents.size() : at - 1;
      if (b < contents.size()) {
        bool fits = true;
        int fixed = freeVertex[v] ? 0 : 1;
        for (int u : contents[b]) {
          const std::vector<int>& around = pattern[v].neighbors;
          if (std::binary_search(around.begin(), around.end(), u)) fits = false;
          if (!freeVertex[u]) ++fixed;
        }
        if (!fits || fixed > 1) continue;
        contents[b].push_back(v);
        block[i] = static_cast<int>(b);
        place(i + 1);
        contents[b].pop_back();
      } else {
        contents.push_back({v});
        block[i] = static_cast<int>(b);
        place(i + 1);
        contents.pop_back();
      }
    }
  };
  place(0);
  return result;
}

// The label classes that hold a free vertex.
std::vector<std::vector<int>> collidingClasses(const Pattern& pattern, const std::vector<bool>& freeVertex) {
  std::map<int, std::vector<int>> byLabel;
  std::map<int, bool> hasFree;
  for (size_t v = 0; v < pattern.size(); ++v) {
    byLabel[pattern[v].label].push_back(static_cast<int>(v));
    if (freeVertex[v]) hasFree[pattern[v].label] = true;
  }
  std::vector<std::vector<int>> classes;
  for (auto& [label, members] : byLabel) {
    if (hasFree[label] && members.size() > 1) classes.push_back(members);
  }
  return classes;
}

}  // namespace

size_t collisionTermCount(const Pattern& pattern, const std::vector<bool>& freeVertex) {
  size_t count = 1;
  for (const std::vector<int>& members : collidingClasses(pattern, freeVertex)) {
    count *= classPartitions(pattern, freeVertex, members).blocks.size();
  }
  return count;
}

std::vector<bool> chooseFreeVertices(const Pattern& pattern, size_t maxTerms, int maxDistance) {
  const int n = static_cast<int>(pattern.size());
  std::vector<bool> freeVertex(n, false);
  // Distances by breadth-first search from every vertex (patterns are small).
  std::vector<std::vector<int>> distance(n, std::vector<int>(n, 1 << 30));
  for (int source = 0; source < n; ++source) {
    std::vector<int> queue{source};
    distance[source][source] = 0;
    for (size_t head = 0; head < queue.size(); ++head) {
      const int v = queue[head];
      for (int w : pattern[v].neighbors) {
        if (distance[source][w] > distance[source][v] + 1) {
          distance[source][w] = distance[source][v] + 1;
          queue.push_back(w);
        }
      }
    }
  }
  std::vector<int> degree(n);
  std::vector<bool> removed(n, false);
  for (int v = 0; v < n; ++v) degree[v] = static_cast<int>(pattern[v].neighbors.size());
  // Does every vertex v could share its image with lie within maxDistance?
  auto near = [&](int v) {
    for (int u = 0; u < n; ++u) {
      if (u != v && pattern[u].label == pattern[v].label && distance[v][u] > maxDistance &&
          !std::binary_search(pattern[v].neighbors.begin(), pattern[v].neighbors.end(), u)) {
        return false;
      }
    }
    return true;
  };
  // Could v's image equal that of another vertex that is not free?
  auto collides = [&](int v) {
    for (int u = 0; u < n; ++u) {
      if (u != v && !freeVertex[u] && pattern[u].label == pattern[v].label &&
          !std::binary_search(pattern[v].neighbors.begin(), pattern[v].neighbors.end(), u)) {
        return true;
      }
    }
    return false;
  };
  bool any = false;
  std::vector<int> stack;
  for (int v = n - 1; v >= 0; --v) {
    if (degree[v] == 1) stack.push_back(v);
  }
  while (!stack.empty()) {
    const int v = stack.back();
    stack.pop_back();
    if (removed[v] || degree[v] != 1 || !pattern[v].lower.empty() || !pattern[v].upper.empty()) continue;
    if (collides(v)) {
      if (!near(v)) continue;  // it stays, and so does the tree above it
      freeVertex[v] = true;
      if (collisionTermCount(pattern, freeVertex) > maxTerms) {
        freeVertex[v] = false;
        continue;  // it stays, and so does the tree above it
      }
      any = true;
    }
    removed[v] = true;
    for (int w : pattern[v].neighbors) {
      if (!removed[w] && --degree[w] == 1) stack.push_back(w);
    }
  }
  if (!any) freeVertex.assign(n, false);
  return freeVertex;
}

std::vector<CollisionTerm> collisionTerms(const Pattern& pattern, const std::vector<bool>& freeVertex) {
  const int n = static_cast<int>(pattern.size());
  std::vector<ClassPartitions> classes;
  for (const std::vector<int>& members : collidingClasses(pattern, freeVertex)) {
    classes.push_back(classPartitions(pattern, freeVertex, members));
  }
  std::vector<CollisionTerm> terms;
  std::vector<size_t> choice(classes.size(), 0);
  std::vector<int> blockOf(n);
  for (;;) {
    // Blocks: every vertex alone, then the members of each class grouped by the chosen partition.
    int blocks = 0;
    std::vector<int> representative;
    std::fill(blockOf.begin(), blockOf.end(), -1);
    int64_t coefficient = 1;
    for (size_t c = 0; c < classes.size(); ++c) {
      const ClassPartitions& partitions = classes[c];
      const std::vector<int>& block = partitions.blocks[choice[c]];
      coefficient *= partitions.coefficients[choice[c]];
      std::map<int, int> ids;
      for (size_t i = 0; i < partitions.members.size(); ++i) {
        auto [it, inserted] = ids.emplace(block[i], blocks);
        if (inserted) {
          ++blocks;
          representative.push_back(partitions.members[i]);
        }
        blockOf[partitions.members[i]] = it->second;
      }
    }
    for (int v = 0; v < n; ++v) {
      if (blockOf[v] < 0) {
        blockOf[v] = blocks++;
        representative.push_back(v);
      }
    }
    CollisionTerm term;
    term.coefficient = coefficient;
    term.pattern.assign(blocks, PatternVertex());
    for (int b = 0; b < blocks; ++b) {
      term.pattern[b].label = pattern[representative[b]].label;
      term.pattern[b].free = true;
    }
    for (int v = 0; v < n; ++v) {
      PatternVertex& merged = term.pattern[blockOf[v]];
      for (int w : pattern[v].neighbors) merged.neighbors.push_back(blockOf[w]);
      if (!freeVertex[v]) {
        // The block's one non-free vertex brings its constraints.
        merged.free = false;
        for (int x : pattern[v].lower) merged.lower.push_back(blockOf[x]);
        for (int y : pattern[v].upper) merged.upper.push_back(blockOf[y]);
      }
    }
    for (PatternVertex& merged : term.pattern) {
      for (std::vector<int>* list : {&merged.neighbors, &merged.lower, &merged.upper}) {
        std::sort(list->begin(), list->end());
        list->erase(std::unique(list->begin(), list->end()), list->end());
      }
    }
    terms.push_back(std::move(term));
    // Next combination.
    size_t c = 0;
    while (c < classes.size() && ++choice[c] == classes[c].blocks.size()) choice[c++] = 0;
    if (c == classes.size()) break;
  }
  return terms;
}
