// Ullmann candidate tables: a labelled undirected graph file turned into label-keyed lists of
// vertices and, per vertex, of its neighbours. Ids are implicit (the n-th vertex line is vertex n).
#pragma once

#include <unordered_map>
#include <vector>

/// Label -> ascending vertex ids carrying it; a label that no listed vertex carries has no key.
using LabelTable = std::unordered_map<int, std::vector<int>>;

class Ullmann {
 public:
  std::vector<LabelTable> adjLabelTables;  // entry i: label -> neighbours of vertex i carrying it
  LabelTable labelTable;                   // label -> all vertices carrying it

  /// Replaces both tables from the graph file and prints its summary line; on a file that cannot be
  /// opened or read, or holds a malformed line, prints a message instead and changes nothing.
  void read(const char* path);

  /// Groups `ids` by their label in `labels` (index = id), each group ascending with repeats kept;
  /// empty when `ids` is empty.
  LabelTable buildTable(const std::vector<int>& labels, const std::vector<int>& ids) const;
};
