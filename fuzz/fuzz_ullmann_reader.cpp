// Ullmann::read on arbitrary bytes, against the reading rules applied plainly. A file with a short
// vertex or edge line, a negative endpoint or an endpoint beyond the last vertex line must leave the
// tables of the previous read untouched; any other file must give exactly the plain tables.
#include <algorithm>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "string_split.h"
#include "ullmann.h"

namespace {

// The label table and the neighbour tables of a file read plainly; false when it must be refused.
bool tablesPlainly(const std::string& text, LabelTable* labelTable, std::vector<LabelTable>* adjacent) {
  std::vector<int> labels;
  std::vector<std::pair<int, int>> edges;
  std::vector<std::string> tokens;
  for (const std::string& line : splitLines(text)) {
    if (line.empty() || (line[0] != 'v' && line[0] != 'e')) continue;
    SplitStringUsing(line, " ", &tokens);
    if (tokens.size() < 3) return false;
    if (line[0] == 'v') {
      labels.push_back(plainNumber(tokens[2]));
    } else {
      edges.emplace_back(plainNumber(tokens[1]), plainNumber(tokens[2]));
    }
  }
  int rows = 0;
  for (const auto& [u, v] : edges) {
    if (u < 0 || v < 0 || u >= static_cast<int>(labels.size()) || v >= static_cast<int>(labels.size())) return false;
    rows = std::max(rows, std::max(u, v) + 1);
  }
  labelTable->clear();
  for (size_t id = 0; id < labels.size(); ++id) (*labelTable)[labels[id]].push_back(static_cast<int>(id));
  adjacent->assign(rows, LabelTable());
  for (const auto& [u, v] : edges) {
    (*adjacent)[u][labels[v]].push_back(v);
    (*adjacent)[v][labels[u]].push_back(u);
  }
  for (LabelTable& table : *adjacent) {
    for (auto& entry : table) std::sort(entry.second.begin(), entry.second.end());
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = scratchPath("graph");
  // Tables of a former read, which a refused file must leave in place.
  static const char former[] = "v 0 7\nv 1 8\ne 0 1\n";
  writeInput(path, reinterpret_cast<const uint8_t*>(former), sizeof former - 1);
  Ullmann ullmann;
  ullmann.read(path.c_str());
  LabelTable formerLabels;
  std::vector<LabelTable> formerAdjacent;
  fuzzCheck(tablesPlainly(former, &formerLabels, &formerAdjacent), "the former file is well formed");
  fuzzCheck(ullmann.labelTable == formerLabels && ullmann.adjLabelTables == formerAdjacent, "the former tables");

  writeInput(path, data, size);
  LabelTable labels;
  std::vector<LabelTable> adjacent;
  const bool valid = tablesPlainly(std::string(reinterpret_cast<const char*>(data), size), &labels, &adjacent);
  ullmann.read(path.c_str());
  if (valid) {
    fuzzCheck(ullmann.labelTable == labels, "the label table of a well-formed file");
    fuzzCheck(ullmann.adjLabelTables == adjacent, "the neighbour tables of a well-formed file");
  } else {
    fuzzCheck(ullmann.labelTable == formerLabels, "a refused file keeps the label table");
    fuzzCheck(ullmann.adjLabelTables == formerAdjacent, "a refused file keeps the neighbour tables");
  }
  return 0;
}
