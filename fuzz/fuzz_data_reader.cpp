// Graph::read on arbitrary bytes, against the reading rules applied line by line: the reader must
// accept exactly the files without a short vertex or edge line and without an endpoint that names
// no vertex read so far, and then hold the same labels and rows; its indexes must agree with them, and
// a read on three threads must give the same.
#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "graph.h"
#include "string_split.h"

namespace {

// The labels and unsorted rows of a file read plainly; false when the reader must refuse it.
bool readPlainly(const std::string& text, std::vector<int>* labels, std::vector<std::vector<int>>* rows) {
  std::vector<std::string> tokens;
  for (const std::string& line : splitLines(text)) {
    if (line.empty() || (line[0] != 'v' && line[0] != 'e')) continue;
    SplitStringUsing(line, " ", &tokens);
    if (tokens.size() < 3) return false;
    if (line[0] == 'v') {
      labels->push_back(plainNumber(tokens[2]));
      continue;
    }
    const int u = plainNumber(tokens[1]), v = plainNumber(tokens[2]);
    const int n = static_cast<int>(labels->size());
    if (u < 0 || v < 0 || u >= n || v >= n) return false;
    rows->resize(n);
    (*rows)[u].push_back(v);
    (*rows)[v].push_back(u);
  }
  rows->resize(labels->size());
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = scratchPath("data");
  writeInput(path, data, size);
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<int> labels;
  std::vector<std::vector<int>> rows;
  const bool valid = readPlainly(text, &labels, &rows);

  Graph graph;
  const bool read = graph.read(path.c_str());
  fuzzCheck(read == valid, "the reader accepts exactly the well-formed files");
  // The file split into pieces parsed on three threads gives the same outcome and the same graph.
  Graph inPieces;
  fuzzCheck(inPieces.read(path.c_str(), 3) == read, "three threads accept exactly what one accepts");
  fuzzCheck(inPieces.labels == graph.labels && inPieces.adjList == graph.adjList &&
                inPieces.labelVertices == graph.labelVertices && inPieces.labelPairFreq == graph.labelPairFreq &&
                inPieces.labelFreq == graph.labelFreq,
            "three threads build the graph of one");
  if (!read) return 0;

  const size_t n = graph.labels.size();
  fuzzCheck(graph.labels == labels, "labels in vertex line order");
  fuzzCheck(graph.adjList.size() == n, "one row per vertex");
  for (size_t u = 0; u < n; ++u) {
    const std::vector<int>& row = graph.adjList[u];
    fuzzCheck(std::is_sorted(row.begin(), row.end()), "rows ascending");
    for (int v : row) fuzzCheck(v >= 0 && static_cast<size_t>(v) < n, "row entries name vertices");
    std::vector<int> expected = rows[u];
    std::sort(expected.begin(), expected.end());
    fuzzCheck(row == expected, "rows hold every edge at both ends, repeats kept");
  }

  long long frequencySum = 0;
  for (const auto& [label, count] : graph.labelFreq) {
    auto it = graph.labelVertices.find(label);
    fuzzCheck(it != graph.labelVertices.end(), "every counted label has its vertices");
    fuzzCheck(static_cast<size_t>(count) == it->second.size(), "labelFreq is the size of labelVertices");
    fuzzCheck(std::is_sorted(it->second.begin(), it->second.end()), "labelVertices ascending");
    for (int v : it->second) fuzzCheck(graph.labels[v] == label, "labelVertices lists vertices of the label");
    frequencySum += count;
  }
  fuzzCheck(graph.labelVertices.size() == graph.labelFreq.size(), "the same labels in both indexes");
  fuzzCheck(frequencySum == static_cast<long long>(n), "labelFreq sums to the vertex count");

  // Each edge line adds one to the pair of each of its two directions, as each row entry does.
  std::map<std::pair<int, int>, int> pairs;
  for (size_t u = 0; u < n; ++u) {
    for (int v : graph.adjList[u]) ++pairs[{graph.labels[u], graph.labels[v]}];
  }
  fuzzCheck(pairs == graph.labelPairFreq, "labelPairFreq counts the row entries by label pair");
  return 0;
}
