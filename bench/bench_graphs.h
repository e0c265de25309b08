// Inputs shared by the microbenchmarks, built outside the timed loops from fixed seeds: a power-law
// data graph written as a data file on memory-backed storage, and random-walk queries in it.
#pragma once

#include <string>
#include <vector>

struct BenchQuery {
  std::vector<int> labels;
  std::vector<std::vector<int>> neighbors;  // ascending rows, both ends of each edge
};

/// Writes a data file of `vertices` vertices and about `edges` distinct edges with `labels` labels
/// (Chung-Lu weights with exponent 2.1) and returns its path; the same arguments give the same file.
std::string benchDataFile(int vertices, long long edges, int labels, unsigned seed);

/// `count` connected queries of `size` vertices taken by random walks in the data file's graph
/// (induced edges among the walk's vertices), so each has at least one embedding.
std::vector<BenchQuery> benchQueries(const std::string& dataPath, int count, int size, unsigned seed);
