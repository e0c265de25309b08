// sgmatch-workload: builds benchmark inputs for sgmatch. "graph" writes a power-law data graph,
// "queries" extracts query graphs from a data graph by random walks and, on request, adds
// symmetry lines that break each query's automorphism group completely.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "graph.h"
#include "query.h"

namespace {

// ---------------------------------------------------------------------------------------------
// Randomness: xoshiro256** seeded through splitmix64. Every draw goes through these helpers so
// the output depends only on the seed, never on the standard library's distributions.

uint64_t splitMix64(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

class Rng {
 public:
  explicit Rng(uint64_t seed) {
    uint64_t state = seed;
    for (uint64_t& word : s_) word = splitMix64(state);
  }

  uint64_t next() {
    const uint64_t result = rotl(s_[1] * 5, 7) * 9;
    const uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = rotl(s_[3], 45);
    return result;
  }

  // Uniform in [0, bound) without modulo bias (bound > 0).
  uint64_t below(uint64_t bound) {
    const uint64_t limit = UINT64_MAX - UINT64_MAX % bound;
    uint64_t x;
    do {
      x = next();
    } while (x >= limit);
    return x % bound;
  }

  // Uniform in [0, 1) with 53 random bits.
  double unit() { return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0); }

 private:
  static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  uint64_t s_[4];
};

template <typename T>
void shuffleVector(std::vector<T>& items, Rng& rng) {
  for (size_t i = items.size(); i > 1; --i) {
    size_t j = static_cast<size_t>(rng.below(i));
    std::swap(items[i - 1], items[j]);
  }
}

// Samples an index with probability proportional to the weights it was built from.
class WeightedSampler {
 public:
  explicit WeightedSampler(const std::vector<double>& weights) : cumulative_(weights.size()) {
    double sum = 0.0;
    for (size_t i = 0; i < weights.size(); ++i) {
      sum += weights[i];
      cumulative_[i] = sum;
    }
  }

  size_t sample(Rng& rng) const {
    const double target = rng.unit() * cumulative_.back();
    size_t pos = static_cast<size_t>(
        std::upper_bound(cumulative_.begin(), cumulative_.end(), target) - cumulative_.begin());
    return std::min(pos, cumulative_.size() - 1);
  }

 private:
  std::vector<double> cumulative_;
};

// ---------------------------------------------------------------------------------------------
// Command-line arguments in key=value form.

class Args {
 public:
  bool parse(int argc, char** argv, int first) {
    for (int i = first; i < argc; ++i) {
      const char* eq = std::strchr(argv[i], '=');
      if (eq == nullptr || eq == argv[i]) {
        std::printf("Argument '%s' is not of the form key=value.\n", argv[i]);
        return false;
      }
      values_[std::string(argv[i], static_cast<size_t>(eq - argv[i]))] = std::string(eq + 1);
    }
    return true;
  }

  bool has(const std::string& key) const { return values_.count(key) != 0; }

  std::string text(const std::string& key, const std::string& fallback = "") const {
    auto it = values_.find(key);
    return it == values_.end() ? fallback : it->second;
  }

  // Reads a non-negative integer; false (after a message) if present but malformed or missing
  // while required.
  bool integer(const std::string& key, bool required, uint64_t& out) const {
    auto it = values_.find(key);
    if (it == values_.end()) {
      if (required) std::printf("Missing argument %s=...\n", key.c_str());
      return !required;
    }
    char* end = nullptr;
    const char* begin = it->second.c_str();
    unsigned long long value = std::strtoull(begin, &end, 10);
    if (*begin == '\0' || *begin == '-' || *end != '\0') {
      std::printf("Argument %s=%s is not a non-negative integer.\n", key.c_str(), begin);
      return false;
    }
    out = value;
    return true;
  }

  bool real(const std::string& key, double& out) const {
    auto it = values_.find(key);
    if (it == values_.end()) return true;
    char* end = nullptr;
    double value = std::strtod(it->second.c_str(), &end);
    if (it->second.empty() || *end != '\0' || !std::isfinite(value)) {
      std::printf("Argument %s=%s is not a number.\n", key.c_str(), it->second.c_str());
      return false;
    }
    out = value;
    return true;
  }

  // Every key given must be one of the allowed ones, so typos do not pass silently.
  bool onlyKeys(const std::vector<std::string>& allowed) const {
    for (const auto& entry : values_) {
      if (std::find(allowed.begin(), allowed.end(), entry.first) == allowed.end()) {
        std::printf("Unknown argument %s=...\n", entry.first.c_str());
        return false;
      }
    }
    return true;
  }

 private:
  std::map<std::string, std::string> values_;
};

// ---------------------------------------------------------------------------------------------
// Buffered text output with hand-written integer formatting (millions of lines per graph).

class TextWriter {
 public:
  bool open(const std::string& path) {
    file_ = std::fopen(path.c_str(), "wb");
    if (file_ == nullptr) std::printf("Cannot open %s for writing.\n", path.c_str());
    return file_ != nullptr;
  }

  void put(char c) {
    if (buffer_.size() >= kFlushSize) flush();
    buffer_.push_back(c);
  }

  void put(const char* text) {
    while (*text != '\0') put(*text++);
  }

  void put(uint64_t value) {
    char digits[24];
    int n = 0;
    do {
      digits[n++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0);
    while (n > 0) put(digits[--n]);
  }

  // Flushes and closes; false (after a message) if any write failed.
  bool close() {
    flush();
    bool ok = !failed_;
    if (file_ != nullptr && std::fclose(file_) != 0) ok = false;
    file_ = nullptr;
    if (!ok) std::printf("Writing the output file failed.\n");
    return ok;
  }

 private:
  void flush() {
    if (file_ != nullptr && !buffer_.empty() &&
        std::fwrite(buffer_.data(), 1, buffer_.size(), file_) != buffer_.size()) {
      failed_ = true;
    }
    buffer_.clear();
  }

  static constexpr size_t kFlushSize = 1 << 20;
  std::FILE* file_ = nullptr;
  std::vector<char> buffer_;
  bool failed_ = false;
};

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// ---------------------------------------------------------------------------------------------
// Data graph generation.

// Open-addressing set of 64-bit keys (never 0); used to reject duplicate edges quickly.
class KeySet {
 public:
  explicit KeySet(size_t expected) {
    size_t capacity = 16;
    while (capacity < expected * 2) capacity <<= 1;
    slots_.assign(capacity, 0);
    mask_ = capacity - 1;
  }

  // True if the key was new.
  bool insert(uint64_t key) {
    size_t pos = static_cast<size_t>((key * 0x9E3779B97F4A7C15ULL) >> 20) & mask_;
    while (slots_[pos] != 0) {
      if (slots_[pos] == key) return false;
      pos = (pos + 1) & mask_;
    }
    slots_[pos] = key;
    return true;
  }

 private:
  std::vector<uint64_t> slots_;
  size_t mask_;
};

std::vector<double> zipfWeights(size_t count, double exponent) {
  std::vector<double> weights(count);
  for (size_t i = 0; i < count; ++i) weights[i] = std::pow(static_cast<double>(i + 1), -exponent);
  return weights;
}

int runGraph(const Args& args) {
  if (!args.onlyKeys({"vertices", "edges", "labels", "seed", "out", "exponent", "labelskew"})) {
    return 1;
  }
  uint64_t vertices = 0, edges = 0, labels = 0, seed = 0;
  double exponent = 2.1, labelSkew = 0.0;
  if (!args.integer("vertices", true, vertices) || !args.integer("edges", true, edges) ||
      !args.integer("labels", true, labels) || !args.integer("seed", true, seed) ||
      !args.real("exponent", exponent) || !args.real("labelskew", labelSkew)) {
    return 1;
  }
  const std::string outPath = args.text("out");
  if (outPath.empty()) {
    std::printf("Missing argument out=...\n");
    return 1;
  }
  if (vertices < 2 || vertices > 100000000ULL || labels < 1) {
    std::printf("Need 2 <= vertices <= 100000000 and labels >= 1.\n");
    return 1;
  }
  if (edges > vertices * (vertices - 1) / 2) {
    std::printf("A simple graph on %llu vertices has at most %llu edges.\n",
                static_cast<unsigned long long>(vertices),
                static_cast<unsigned long long>(vertices * (vertices - 1) / 2));
    return 1;
  }
  if (exponent <= 1.0 || labelSkew < 0.0) {
    std::printf("Need exponent > 1 and labelskew >= 0.\n");
    return 1;
  }
  const auto start = std::chrono::steady_clock::now();
  Rng rng(seed);

  // Chung-Lu: endpoint i is drawn with probability proportional to (i+1)^(-1/(exponent-1)),
  // which gives expected degrees with a power-law tail of the requested exponent.
  const size_t n = static_cast<size_t>(vertices);
  WeightedSampler endpoints(zipfWeights(n, 1.0 / (exponent - 1.0)));
  KeySet seen(static_cast<size_t>(edges));
  std::vector<std::pair<uint32_t, uint32_t>> edgeList;
  edgeList.reserve(static_cast<size_t>(edges));
  const uint64_t maxAttempts = 50 * edges + 1000;
  uint64_t attempts = 0;
  while (edgeList.size() < edges && attempts < maxAttempts) {
    ++attempts;
    uint32_t u = static_cast<uint32_t>(endpoints.sample(rng));
    uint32_t v = static_cast<uint32_t>(endpoints.sample(rng));
    if (u == v) continue;
    if (u > v) std::swap(u, v);
    if (!seen.insert((static_cast<uint64_t>(u) << 32 | v) + 1)) continue;
    edgeList.emplace_back(u, v);
  }

  // Vertex ids are shuffled so the hubs are spread over the id range as in real networks
  // (symmetry constraints compare data vertex ids).
  std::vector<uint32_t> newId(n);
  for (size_t i = 0; i < n; ++i) newId[i] = static_cast<uint32_t>(i);
  shuffleVector(newId, rng);
  for (auto& edge : edgeList) {
    uint32_t u = newId[edge.first], v = newId[edge.second];
    edge = u < v ? std::make_pair(u, v) : std::make_pair(v, u);
  }
  std::sort(edgeList.begin(), edgeList.end());

  WeightedSampler labelSampler(zipfWeights(static_cast<size_t>(labels), labelSkew));
  std::vector<uint32_t> degree(n, 0);
  for (const auto& edge : edgeList) {
    ++degree[edge.first];
    ++degree[edge.second];
  }

  TextWriter out;
  if (!out.open(outPath)) return 1;
  out.put("t ");
  out.put(static_cast<uint64_t>(n));
  out.put(' ');
  out.put(static_cast<uint64_t>(edgeList.size()));
  out.put('\n');
  for (size_t i = 0; i < n; ++i) {
    out.put("v ");
    out.put(static_cast<uint64_t>(i));
    out.put(' ');
    out.put(static_cast<uint64_t>(labelSampler.sample(rng)));
    out.put('\n');
  }
  for (const auto& edge : edgeList) {
    out.put("e ");
    out.put(static_cast<uint64_t>(edge.first));
    out.put(' ');
    out.put(static_cast<uint64_t>(edge.second));
    out.put('\n');
  }
  if (!out.close()) return 1;

  uint32_t maxDegree = 0;
  size_t isolated = 0;
  for (uint32_t d : degree) {
    maxDegree = std::max(maxDegree, d);
    if (d == 0) ++isolated;
  }
  if (edgeList.size() < edges) {
    std::printf("Warning: only %zu of %llu edges placed after %llu attempts.\n", edgeList.size(),
                static_cast<unsigned long long>(edges), static_cast<unsigned long long>(attempts));
  }
  std::printf("Wrote %s: %zu vertices, %zu edges, max degree %u, %zu isolated vertices, %.2fs.\n",
              outPath.c_str(), n, edgeList.size(), maxDegree, isolated, secondsSince(start));
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Query extraction.

struct QueryGraph {
  std::vector<int> dataVertices;             // data vertex behind each query vertex
  std::vector<int> labels;                   // label of each query vertex
  std::vector<std::pair<int, int>> edges;    // u < v, ascending; written in this order
  std::vector<std::vector<char>> adjacent;   // adjacency matrix
  std::vector<int> degree;
};

bool dataAdjacent(const std::vector<std::vector<int>>& adjList, int u, int v) {
  const std::vector<int>& row = adjList[u].size() <= adjList[v].size() ? adjList[u] : adjList[v];
  const int other = adjList[u].size() <= adjList[v].size() ? v : u;
  return std::binary_search(row.begin(), row.end(), other);
}

void finishQuery(QueryGraph& query) {
  const size_t k = query.dataVertices.size();
  std::sort(query.edges.begin(), query.edges.end());
  query.adjacent.assign(k, std::vector<char>(k, 0));
  query.degree.assign(k, 0);
  for (const auto& edge : query.edges) {
    query.adjacent[edge.first][edge.second] = query.adjacent[edge.second][edge.first] = 1;
    ++query.degree[edge.first];
    ++query.degree[edge.second];
  }
}

// One random-walk attempt from a random non-isolated vertex. Fails when the walk does not reach
// k distinct vertices within its step budget (small component or bad luck).
bool walkQuery(const Graph& graph, const std::vector<int>& starts, size_t k, bool dense, Rng& rng,
               QueryGraph& query) {
  query = QueryGraph();
  std::vector<std::pair<int, int>> treeEdges;
  int current = starts[rng.below(starts.size())];
  query.dataVertices.push_back(current);
  int currentIndex = 0;
  const size_t maxSteps = 200 * k;
  for (size_t step = 0; step < maxSteps && query.dataVertices.size() < k; ++step) {
    const std::vector<int>& row = graph.adjList[current];
    const int next = row[rng.below(row.size())];
    if (next == current) continue;  // a self-loop in the input
    auto found = std::find(query.dataVertices.begin(), query.dataVertices.end(), next);
    int nextIndex = static_cast<int>(found - query.dataVertices.begin());
    if (found == query.dataVertices.end()) {
      query.dataVertices.push_back(next);
      treeEdges.emplace_back(currentIndex, nextIndex);
    }
    current = next;
    currentIndex = nextIndex;
  }
  if (query.dataVertices.size() < k) return false;

  std::vector<std::pair<int, int>> extraEdges;
  for (size_t i = 0; i < k; ++i) {
    for (size_t j = i + 1; j < k; ++j) {
      if (!dataAdjacent(graph.adjList, query.dataVertices[i], query.dataVertices[j])) continue;
      auto pair = std::make_pair(static_cast<int>(i), static_cast<int>(j));
      if (dense) {
        query.edges.push_back(pair);
      } else if (std::find(treeEdges.begin(), treeEdges.end(), pair) == treeEdges.end()) {
        // Tree edges always run from an earlier to a later query vertex, like `pair`.
        extraEdges.push_back(pair);
      }
    }
  }
  if (!dense) {
    // Tree edges (k-1) plus a random number of extra induced edges, keeping the average degree
    // at most 3, i.e. at most floor(3k/2) edges.
    query.edges = treeEdges;
    const size_t cap = 3 * k / 2 - (k - 1);
    const size_t available = std::min(cap, extraEdges.size());
    const size_t extras = static_cast<size_t>(rng.below(available + 1));
    shuffleVector(extraEdges, rng);
    query.edges.insert(query.edges.end(), extraEdges.begin(), extraEdges.begin() + extras);
  }
  // Renumber the query vertices at random, so that query ids carry no trace of the walk (the
  // start vertex would otherwise always be vertex 0, its first neighbour vertex 1, ...).
  std::vector<int> renumber(k);
  for (size_t i = 0; i < k; ++i) renumber[i] = static_cast<int>(i);
  shuffleVector(renumber, rng);
  std::vector<int> walkVertices = query.dataVertices;
  for (size_t i = 0; i < k; ++i) query.dataVertices[renumber[i]] = walkVertices[i];
  for (auto& edge : query.edges) {
    edge = std::make_pair(renumber[edge.first], renumber[edge.second]);
    if (edge.first > edge.second) std::swap(edge.first, edge.second);
  }
  query.labels.clear();
  for (int v : query.dataVertices) query.labels.push_back(graph.labels[v]);
  finishQuery(query);
  return true;
}

// ---------------------------------------------------------------------------------------------
// Automorphisms of a small query, by backtracking over label- and degree-preserving maps.

class AutomorphismSearch {
 public:
  explicit AutomorphismSearch(const QueryGraph& query) : query_(query), k_(query.labels.size()) {
    // Map vertices in an order where each vertex (after the first of its component) has an
    // already mapped neighbour, so adjacency checks prune early.
    std::vector<char> placed(k_, 0);
    for (size_t root = 0; root < k_; ++root) {
      if (placed[root]) continue;
      placed[root] = 1;
      size_t head = order_.size();
      order_.push_back(static_cast<int>(root));
      while (head < order_.size()) {
        int u = order_[head++];
        for (size_t w = 0; w < k_; ++w) {
          if (!placed[w] && query_.adjacent[u][w]) {
            placed[w] = 1;
            order_.push_back(static_cast<int>(w));
          }
        }
      }
    }
  }

  // Is there an automorphism that fixes every vertex in `fixed` and maps `from` to `to`?
  bool exists(const std::vector<int>& fixed, int from, int to) {
    image_.assign(k_, -1);
    used_.assign(k_, 0);
    for (int f : fixed) {
      if (!assign(f, f)) return false;
    }
    if (image_[from] == -1) {
      if (!compatible(from, to) || !assign(from, to)) return false;
    } else if (image_[from] != to) {
      return false;
    }
    return extend(0);
  }

  // Counts all automorphisms (only used to double-check the orbit computation on small cases).
  uint64_t countAll() {
    image_.assign(k_, -1);
    used_.assign(k_, 0);
    count_ = 0;
    countFrom(0);
    return count_;
  }

 private:
  bool compatible(int u, int w) const {
    return !used_[w] && query_.labels[u] == query_.labels[w] &&
           query_.degree[u] == query_.degree[w];
  }

  // Sets image(u) = w if that keeps adjacency with all mapped vertices.
  bool assign(int u, int w) {
    if (image_[u] == w) return true;
    if (image_[u] != -1 || !compatible(u, w)) return false;
    for (size_t x = 0; x < k_; ++x) {
      if (image_[x] != -1 && query_.adjacent[u][x] != query_.adjacent[w][image_[x]]) return false;
    }
    image_[u] = w;
    used_[w] = 1;
    return true;
  }

  void unassign(int u) {
    used_[image_[u]] = 0;
    image_[u] = -1;
  }

  bool extend(size_t pos) {
    while (pos < k_ && image_[order_[pos]] != -1) ++pos;
    if (pos == k_) return true;
    const int u = order_[pos];
    for (size_t w = 0; w < k_; ++w) {
      if (!assign(u, static_cast<int>(w))) continue;
      if (extend(pos + 1)) return true;
      unassign(u);
    }
    return false;
  }

  void countFrom(size_t pos) {
    if (pos == k_) {
      ++count_;
      return;
    }
    const int u = order_[pos];
    for (size_t w = 0; w < k_; ++w) {
      if (!assign(u, static_cast<int>(w))) continue;
      countFrom(pos + 1);
      unassign(u);
    }
  }

  const QueryGraph& query_;
  size_t k_;
  std::vector<int> order_;
  std::vector<int> image_;
  std::vector<char> used_;
  uint64_t count_ = 0;
};

struct SymmetryBreaking {
  uint64_t groupSize = 1;
  std::vector<std::vector<int>> classes;  // per vertex, ascending
};

// Grochow-Kellis symmetry breaking along a stabiliser chain. At each step the orbits of the
// stabiliser of the vertices fixed so far are computed; among the vertices of nontrivial
// orbits the one the tool matches first is fixed, and it is paired with every other member of
// its orbit. The tool then gives the fixed vertex the smallest data id of its orbit, which
// leaves exactly one embedding per automorphism class. |Aut| is the product of the orbit
// sizes (orbit-stabiliser theorem).
SymmetryBreaking breakSymmetry(const QueryGraph& query, const std::vector<int>& position) {
  const size_t k = query.labels.size();
  AutomorphismSearch search(query);
  SymmetryBreaking result;
  result.classes.assign(k, {});
  std::vector<int> fixed;
  for (;;) {
    std::vector<int> orbitOf(k, -1);
    std::vector<std::vector<int>> orbits;
    for (size_t v = 0; v < k; ++v) {
      if (orbitOf[v] != -1) continue;
      orbitOf[v] = static_cast<int>(orbits.size());
      orbits.push_back({static_cast<int>(v)});
      if (std::find(fixed.begin(), fixed.end(), static_cast<int>(v)) != fixed.end()) continue;
      for (size_t w = v + 1; w < k; ++w) {
        if (orbitOf[w] == -1 && search.exists(fixed, static_cast<int>(v), static_cast<int>(w))) {
          orbitOf[w] = orbitOf[v];
          orbits.back().push_back(static_cast<int>(w));
        }
      }
    }
    int chosen = -1;
    for (size_t v = 0; v < k; ++v) {
      if (orbits[orbitOf[v]].size() > 1 && (chosen == -1 || position[v] < position[chosen])) {
        chosen = static_cast<int>(v);
      }
    }
    if (chosen == -1) break;
    const std::vector<int>& orbit = orbits[orbitOf[chosen]];
    result.groupSize *= orbit.size();
    for (int member : orbit) {
      if (member == chosen) continue;
      result.classes[chosen].push_back(member);
      result.classes[member].push_back(chosen);
    }
    fixed.push_back(chosen);
  }
  // A vertex with partners also lists itself: the tool never compares a vertex with itself, and
  // it reports a query as symmetric (Sym: 1) only when some class has two or more entries.
  for (size_t v = 0; v < k; ++v) {
    auto& cls = result.classes[v];
    if (!cls.empty()) cls.push_back(static_cast<int>(v));
    std::sort(cls.begin(), cls.end());
    cls.erase(std::unique(cls.begin(), cls.end()), cls.end());
  }
  return result;
}

// The tool's matching order for this query against this data graph (position of each vertex).
std::vector<int> toolPositions(const QueryGraph& query, Graph& graph) {
  const size_t k = query.labels.size();
  Query record;
  record.vertexLabels = query.labels;
  record.neighbors.assign(k, {});
  for (const auto& edge : query.edges) {
    record.neighbors[edge.first].push_back(edge.second);
    record.neighbors[edge.second].push_back(edge.first);
  }
  record.getOrder(&graph);
  std::vector<int> position(k, -1);
  if (record.matchingOrder.size() != k) return {};
  for (size_t i = 0; i < k; ++i) {
    int v = record.matchingOrder[i];
    if (v < 0 || static_cast<size_t>(v) >= k || position[v] != -1) return {};
    position[v] = static_cast<int>(i);
  }
  return position;
}

void joinInts(TextWriter& out, const std::vector<int>& values) {
  for (size_t i = 0; i < values.size(); ++i) {
    if (i > 0) out.put(',');
    out.put(static_cast<uint64_t>(values[i]));
  }
}

int runQueries(const Args& args) {
  if (!args.onlyKeys({"data", "count", "size", "density", "seed", "out", "symmetry",
                      "attempts"})) {
    return 1;
  }
  uint64_t count = 0, size = 0, seed = 0, symmetry = 0, attempts = 0;
  if (!args.integer("count", true, count) || !args.integer("size", true, size) ||
      !args.integer("seed", true, seed) || !args.integer("symmetry", false, symmetry) ||
      !args.integer("attempts", false, attempts)) {
    return 1;
  }
  const std::string dataPath = args.text("data"), outPath = args.text("out");
  const std::string density = args.text("density");
  if (dataPath.empty() || outPath.empty()) {
    std::printf("Missing argument data=... or out=...\n");
    return 1;
  }
  if (density != "sparse" && density != "dense") {
    std::printf("Argument density= must be sparse or dense.\n");
    return 1;
  }
  if (size < 2 || size > 64 || symmetry > 1) {
    std::printf("Need 2 <= size <= 64 and symmetry=0 or 1.\n");
    return 1;
  }
  if (attempts == 0) attempts = 1000 * count + 1000;
  const bool dense = density == "dense";
  const size_t k = static_cast<size_t>(size);
  const bool withSymmetry = symmetry == 1 && k <= 12;
  if (symmetry == 1 && !withSymmetry) {
    std::printf("Queries above 12 vertices get no symmetry lines.\n");
  }

  const auto start = std::chrono::steady_clock::now();
  Graph graph;
  if (!graph.read(dataPath.c_str())) return 1;
  for (auto& row : graph.adjList) {
    std::sort(row.begin(), row.end());
    row.erase(std::unique(row.begin(), row.end()), row.end());
  }
  std::vector<int> starts;
  for (size_t v = 0; v < graph.adjList.size(); ++v) {
    if (!graph.adjList[v].empty()) starts.push_back(static_cast<int>(v));
  }
  if (starts.empty()) {
    std::printf("The data graph %s has no edges.\n", dataPath.c_str());
    return 1;
  }

  TextWriter out, meta;
  if (!out.open(outPath) || !meta.open(outPath + ".meta")) return 1;
  meta.put("# query\tvertices\tedges\tautomorphisms\tdata_vertices\tmatching_order\n");
  Rng rng(seed);
  uint64_t produced = 0, tried = 0, withLines = 0, totalEdges = 0;
  QueryGraph query;
  while (produced < count && tried < attempts) {
    ++tried;
    if (!walkQuery(graph, starts, k, dense, rng, query)) continue;
    std::vector<int> position;
    SymmetryBreaking sym;
    if (withSymmetry) {
      position = toolPositions(query, graph);
      if (position.empty()) {
        std::printf("Query::getOrder did not return a permutation of the query vertices.\n");
        return 1;
      }
      sym = breakSymmetry(query, position);
      // Small groups are cheap to enumerate outright: a guard on the orbit computation.
      if (k <= 9 && AutomorphismSearch(query).countAll() != sym.groupSize) {
        std::printf("Internal error: automorphism count disagrees with the orbit product.\n");
        return 1;
      }
    }
    out.put("t # ");
    out.put(produced);
    out.put('\n');
    for (size_t v = 0; v < k; ++v) {
      out.put("v ");
      out.put(static_cast<uint64_t>(v));
      out.put(' ');
      out.put(static_cast<uint64_t>(query.labels[v]));
      out.put('\n');
    }
    for (const auto& edge : query.edges) {
      out.put("e ");
      out.put(static_cast<uint64_t>(edge.first));
      out.put(' ');
      out.put(static_cast<uint64_t>(edge.second));
      out.put('\n');
    }
    // A trivial group gets no symmetry lines at all.
    if (sym.groupSize > 1) {
      ++withLines;
      for (size_t v = 0; v < k; ++v) {
        out.put('a');
        for (int member : sym.classes[v]) {
          out.put(' ');
          out.put(static_cast<uint64_t>(member));
        }
        out.put('\n');
      }
    }
    meta.put(produced);
    meta.put('\t');
    meta.put(static_cast<uint64_t>(k));
    meta.put('\t');
    meta.put(static_cast<uint64_t>(query.edges.size()));
    meta.put('\t');
    if (withSymmetry) {
      meta.put(sym.groupSize);
    } else {
      meta.put('-');
    }
    meta.put('\t');
    joinInts(meta, query.dataVertices);
    meta.put('\t');
    if (withSymmetry) {
      std::vector<int> order(k);
      for (size_t v = 0; v < k; ++v) order[position[v]] = static_cast<int>(v);
      joinInts(meta, order);
    } else {
      meta.put('-');
    }
    meta.put('\n');
    totalEdges += query.edges.size();
    ++produced;
  }
  if (!out.close() || !meta.close()) return 1;
  if (produced < count) {
    std::printf("Warning: gave up after %llu walks; produced %llu of %llu queries.\n",
                static_cast<unsigned long long>(tried), static_cast<unsigned long long>(produced),
                static_cast<unsigned long long>(count));
  }
  std::printf("Wrote %s: %llu queries of %zu vertices (%s), average degree %.2f, %llu with "
              "symmetry lines, %llu walks, %.2fs.\n",
              outPath.c_str(), static_cast<unsigned long long>(produced), k, density.c_str(),
              produced == 0 ? 0.0 : 2.0 * totalEdges / (produced * static_cast<double>(k)),
              static_cast<unsigned long long>(withLines), static_cast<unsigned long long>(tried),
              secondsSince(start));
  return produced == 0 ? 1 : 0;
}

void printUsage() {
  std::printf(
      "Usage:\n"
      "  sgmatch-workload graph vertices=N edges=M labels=L seed=S out=PATH [exponent=2.1] "
      "[labelskew=0]\n"
      "  sgmatch-workload queries data=PATH count=C size=K density=sparse|dense seed=S "
      "out=PATH [symmetry=0|1] [attempts=A]\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    printUsage();
    return 1;
  }
  Args args;
  if (!args.parse(argc, argv, 2)) return 1;
  const std::string command = argv[1];
  if (command == "graph") return runGraph(args);
  if (command == "queries") return runQueries(args);
  printUsage();
  return 1;
}
