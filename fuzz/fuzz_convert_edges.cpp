// convertInput on arbitrary bytes read as an edge list, against a plain conversion: lines split at
// newlines, fields taken by string search, ids kept in a std::map and edges in a std::set. The
// converter must accept exactly the files the plain rules accept, name the first bad line, and give
// the same ids, edges and counts.
#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "fuzz_support.h"
#include "graph_convert.h"

namespace {

const std::string largest = "18446744073709551615";

// A field of digits only whose value fits 64 bits.
bool plainId(const std::string& field, uint64_t* value) {
  if (field.empty() || field.find_first_not_of("0123456789") != std::string::npos) return false;
  const std::string digits = field.substr(std::min(field.find_first_not_of('0'), field.size() - 1));
  if (digits.size() > largest.size() || (digits.size() == largest.size() && digits > largest)) return false;
  *value = std::stoull(digits);
  return true;
}

struct PlainGraph {
  std::set<uint64_t> ids;
  std::vector<std::pair<uint64_t, uint64_t>> lines;
  long long firstBadLine = 0;  // 0: none
};

PlainGraph convertPlainly(const std::string& text) {
  PlainGraph graph;
  long long number = 0;
  for (std::string line : splitLines(text)) {
    ++number;
    line.erase(line.find_last_not_of(" \t\r") + 1);
    line.erase(0, std::min(line.find_first_not_of(" \t"), line.size()));
    if (line.empty() || line[0] == '#' || line[0] == '%') continue;
    const size_t firstEnd = std::min(line.find_first_of(" \t,"), line.size());
    size_t second = line.find_first_not_of(" \t", firstEnd);
    if (second != std::string::npos && line[second] == ',') second = line.find_first_not_of(" \t", second + 1);
    if (second == std::string::npos) second = line.size();
    const size_t secondEnd = std::min(line.find_first_of(" \t,", second), line.size());
    uint64_t u = 0, v = 0;
    if (!plainId(line.substr(0, firstEnd), &u) || !plainId(line.substr(second, secondEnd - second), &v)) {
      graph.firstBadLine = number;
      return graph;
    }
    graph.ids.insert(u);
    graph.ids.insert(v);
    graph.lines.emplace_back(u, v);
  }
  return graph;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = scratchPath("edges");
  writeInput(path, data, size);
  const PlainGraph plain = convertPlainly(std::string(reinterpret_cast<const char*>(data), size));

  ConvertedGraph graph;
  std::string error;
  const bool converted = convertInput(path, InputFormat::edgeList, OutputKind::data, nullptr, &graph, &error);
  fuzzCheck(converted == (plain.firstBadLine == 0), "accepts exactly the well-formed edge lists");
  if (!converted) {
    const std::string where = path + ":" + std::to_string(plain.firstBadLine) + ": ";
    fuzzCheck(error.compare(0, where.size(), where) == 0, "the message names the first bad line");
    return 0;
  }

  fuzzCheck(graph.originalIds == std::vector<uint64_t>(plain.ids.begin(), plain.ids.end()), "ids ascending");
  std::map<uint64_t, int32_t> dense;
  for (uint64_t id : plain.ids) dense.emplace(id, static_cast<int32_t>(dense.size()));
  std::set<std::pair<int32_t, int32_t>> edges;
  long long loops = 0;
  for (const auto& [u, v] : plain.lines) {
    if (u == v) {
      ++loops;
      continue;
    }
    edges.emplace(std::min(dense[u], dense[v]), std::max(dense[u], dense[v]));
  }
  std::vector<std::pair<int32_t, int32_t>> convertedEdges;
  fuzzCheck(graph.firstEdge.size() == plain.ids.size() + 1, "one row start per vertex and the end");
  for (size_t u = 0; u + 1 < graph.firstEdge.size(); ++u) {
    for (size_t i = graph.firstEdge[u]; i < graph.firstEdge[u + 1]; ++i) {
      convertedEdges.emplace_back(static_cast<int32_t>(u), graph.largerEnds[i]);
    }
  }
  fuzzCheck(convertedEdges == std::vector<std::pair<int32_t, int32_t>>(edges.begin(), edges.end()),
            "each edge once, ascending");
  fuzzCheck(graph.labels == std::vector<int32_t>(plain.ids.size(), 0), "every label 0");
  fuzzCheck(graph.edgeLines == static_cast<long long>(plain.lines.size()), "edge lines counted");
  fuzzCheck(graph.selfLoops == loops, "self-loops counted");
  fuzzCheck(
      graph.repeatedEdges == static_cast<long long>(plain.lines.size()) - loops - static_cast<long long>(edges.size()),
      "repeated edges counted");
  return 0;
}
