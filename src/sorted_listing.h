// The embeddings of a search that ran in an order of its own, held in the query's numbering and
// handed to the statistics writer in the sequence of a search along the query's order: ascending
// lexicographic order of the images of vertices 0, 1, ..., n-1. (That search tries the candidates of
// each depth in ascending order, so it meets the embeddings in exactly this sequence.)
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "stats_writer.h"

class SortedListing {
 public:
  /// Starts holding the embeddings of a search whose depth d assigns query vertex order[d]; at most
  /// `boundBytes` of them are held.
  void begin(const std::vector<int>& order, size_t boundBytes);

  /// Holds an embedding given by depth; false, holding nothing more, once the bound is reached.
  bool add(const int* embedding, size_t /*changedFrom*/) {
    if (rows.size() + width > boundInts) {
      overflowed = true;
      return false;
    }
    const size_t at = rows.size();
    rows.resize(at + width);
    int* row = rows.data() + at;
    for (size_t d = 0; d < width; ++d) row[order[d]] = embedding[d];
    return true;
  }

  /// True when an embedding was refused for lack of room.
  bool full() const { return overflowed; }

  /// Embeddings held.
  size_t size() const { return width == 0 ? 0 : rows.size() / width; }

  /// Hands the held embeddings to `writer` in ascending lexicographic order, but for the first
  /// `skip` of that order, then drops them.
  void writeSorted(StatsWriter& writer, size_t skip);

  /// Drops the held embeddings.
  void clear();

 private:
  std::vector<int> order;
  std::vector<int> rows;  // the embeddings one after another, `width` ids each, in query numbering
  size_t width = 0;
  size_t boundInts = 0;
  bool overflowed = false;
};
