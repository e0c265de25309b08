// sgmatch-verify: checks the results of a finished sgmatch run. Every record of the subgraph output
// file gives the pattern (its edge line, in matching-order numbering); the query's statistics file
// is then checked for embeddings that cover the same data edges.
#pragma once

#include <string>
#include <vector>

/// What the check needs of one six-line record of the subgraph output file.
struct SubgraphRecord {
  int queryNumber = 0;
  long long line = 0;                       // line of the record's "#" line, from 1
  std::vector<std::vector<int>> adjacency;  // row i: the j of every pair i, j on the edge line
};

/// Reads every record of the subgraph output file into *records; false, after a message naming the
/// file (and the line), when it cannot be opened or read or a record is malformed.
bool readSubgraphRecords(const char* path, std::vector<SubgraphRecord>* records);

/// Runs the check on the key=value arguments subgraph=PATH and stats=DIR; the exit status: 0 when no
/// statistics file holds duplicates, 1 when some do, -1 when a file cannot be read or is malformed.
int runVerify(int argc, char** argv);
