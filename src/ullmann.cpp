// Ullmann table building. The file is read in one pass into the label of each vertex and a flat list
// of edge endpoints; the tables are built only when the whole file is valid, so a bad file leaves the
// former tables in place.
#include "ullmann.h"

#include <algorithm>
#include <cstdint>
#include <iostream>
#include <new>
#include <numeric>
#include <string>
#include <string_view>
#include <utility>

#include "fatal_error.h"
#include "line_reader.h"
#include "string_split.h"
#include "text_number.h"

namespace {

// What one pass over the file gathers.
struct GraphLines {
  std::vector<int> labels;    // label of each vertex, in the order of the vertex lines
  std::vector<int> edgeEnds;  // u0, v0, u1, v1, ... in the order of the edge lines
};

// Takes one vertex or edge line; false, after a message naming the path and the line, when it is
// malformed. `largestEnds` collects the edge lines that raised the largest endpoint seen so far.
bool takeGraphLine(const char* path, long long lineNumber, const std::string& text, GraphLines* lines,
                   std::vector<std::pair<int, long long>>* largestEnds) {
  const bool isVertex = text[0] == 'v';
  std::vector<std::string> tokens;
  SplitStringUsing(text, " ", &tokens);
  if (tokens.size() < 3) {
    std::cout << path << ":" << lineNumber << ": " << (isVertex ? "vertex" : "edge")
              << " line with fewer than three fields" << std::endl;
    return false;
  }
  if (isVertex) {
    lines->labels.push_back(parseInt32(tokens[2]));
    return true;
  }
  const int u = parseInt32(tokens[1]);
  const int v = parseInt32(tokens[2]);
  for (int end : {u, v}) {
    if (end < 0) {
      std::cout << path << ":" << lineNumber << ": edge endpoint " << end << " is negative" << std::endl;
      return false;
    }
  }
  const int larger = std::max(u, v);
  if (largestEnds->empty() || larger > largestEnds->back().first) largestEnds->emplace_back(larger, lineNumber);
  lines->edgeEnds.push_back(u);
  lines->edgeEnds.push_back(v);
  return true;
}

// Reads the vertex and edge lines; false, after a message naming the path (and the line), when the
// file cannot be opened or read, or a vertex or edge line is malformed.
bool readGraphLines(const char* path, GraphLines* lines) {
  LineReader reader;
  if (!reader.open(path)) {
    std::cout << "cannot open " << path << std::endl;
    return false;
  }
  // An endpoint may name a vertex whose line comes later, so the upper bound is known only at the
  // end. These are the edge lines that raised the largest endpoint seen so far; the first line with
  // an endpoint beyond the last vertex is always one of them.
  std::vector<std::pair<int, long long>> largestEnds;  // (largest endpoint so far, its line)
  std::string text;
  std::string_view line;
  LineReader::Status status;
  while ((status = reader.next(&line)) == LineReader::Status::line) {
    if (line.empty() || (line[0] != 'v' && line[0] != 'e')) continue;
    text.assign(line.data(), line.size());
    if (!takeGraphLine(path, reader.lineNumber(), text, lines, &largestEnds)) return false;
  }
  if (status == LineReader::Status::error) {
    std::cout << "cannot read " << path << " after line " << reader.lineNumber() << ": "
              << errorText(reader.error()) << std::endl;
    return false;
  }
  const int64_t vertexCount = static_cast<int64_t>(lines->labels.size());
  auto beyond = std::find_if(largestEnds.begin(), largestEnds.end(),
                             [&](const std::pair<int, long long>& end) { return end.first >= vertexCount; });
  if (beyond != largestEnds.end()) {
    std::cout << path << ":" << beyond->second << ": edge endpoint " << beyond->first
              << " is not a vertex (the file has " << vertexCount << " vertex lines)" << std::endl;
    return false;
  }
  return true;
}

}  // namespace

void Ullmann::read(const char* path) {
  // On any failure the message is the only output: no summary line, since no graph was input.
  try {
    GraphLines lines;
    if (!readGraphLines(path, &lines)) return;
    const std::vector<int>& labels = lines.labels;

    std::vector<int> allIds(labels.size());
    std::iota(allIds.begin(), allIds.end(), 0);
    LabelTable newLabelTable = buildTable(labels, allIds);

    // One neighbour row per id up to the largest endpoint; rows stay unsorted, buildTable sorts.
    size_t rowCount = 0;
    for (int end : lines.edgeEnds) rowCount = std::max(rowCount, static_cast<size_t>(end) + 1);
    std::vector<std::vector<int>> rows(rowCount);
    for (size_t i = 0; i < lines.edgeEnds.size(); i += 2) {
      rows[lines.edgeEnds[i]].push_back(lines.edgeEnds[i + 1]);
      rows[lines.edgeEnds[i + 1]].push_back(lines.edgeEnds[i]);
    }
    std::vector<LabelTable> newAdjLabelTables;
    newAdjLabelTables.reserve(rowCount);
    for (const std::vector<int>& row : rows) newAdjLabelTables.push_back(buildTable(labels, row));

    labelTable = std::move(newLabelTable);
    adjLabelTables = std::move(newAdjLabelTables);
    std::cout << "input a graph with " << labels.size() << " vertices and " << lines.edgeEnds.size() / 2
              << " edges." << std::endl;
  } catch (const std::bad_alloc&) {
    std::cout << "cannot read " << path << ": out of memory" << std::endl;
  }
}

LabelTable Ullmann::buildTable(const std::vector<int>& labels, const std::vector<int>& ids) const {
  LabelTable table;
  for (int id : ids) table[labels[id]].push_back(id);
  // Sorted once per group after all appends, rather than kept in order while appending.
  for (auto& entry : table) std::sort(entry.second.begin(), entry.second.end());
  return table;
}
