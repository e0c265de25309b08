// The embedding verifier's core: edge signatures, and the check of one tab-separated embeddings file
// for embeddings that cover the same data edges as an earlier one.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

/// The data edges an embedding covers: one (smaller, larger) pair of data vertex ids per counted
/// adjacency entry, sorted by first and then second id; repeats kept.
using EdgeSignature = std::vector<std::pair<int, int>>;

/// The edge signature of `embedding` under the pattern `adjacency`, where entry k of row i counts
/// when k > i; empty when no entry counts. Every counted i and k must index `embedding`.
EdgeSignature getEdgeSignature(const std::vector<std::vector<int>>& adjacency, const std::vector<int>& embedding);

/// What checkEmbeddings found in one embeddings file.
struct EmbeddingCounts {
  int64_t read = 0;        // non-empty lines, numbered from 1
  int64_t unique = 0;      // distinct edge signatures
  int64_t duplicates = 0;  // embeddings whose signature an earlier embedding had
  int64_t tooShort = 0;    // lines with fewer fields than the adjacency needs, skipped
};

/// Reads the tab-separated embeddings file, reports every embedding whose signature an earlier one
/// had, and prints the closing block; false, after its message and without the block, when the file
/// cannot be opened or read (the counts then describe the lines read before the failure).
bool checkEmbeddings(const std::vector<std::vector<int>>& adjacency, const char* path, EmbeddingCounts* counts);
