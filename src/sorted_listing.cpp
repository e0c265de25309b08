// Sorting held embeddings. Distinct embeddings of one search never compare equal, so the sort
// needs no stability; the writer is told how long a prefix each line shares with the one before.
#include "sorted_listing.h"

#include <algorithm>
#include <numeric>

void SortedListing::begin(const std::vector<int>& searchOrder, size_t boundBytes) {
  order = searchOrder;
  width = order.size();
  boundInts = boundBytes / sizeof(int);
  rows.clear();
  overflowed = false;
}

void SortedListing::writeSorted(StatsWriter& writer, size_t skip) {
  const size_t count = size();
  std::vector<uint32_t> sequence(count);
  std::iota(sequence.begin(), sequence.end(), 0u);
  const int* const base = rows.data();
  const size_t n = width;
  std::sort(sequence.begin(), sequence.end(), [base, n](uint32_t a, uint32_t b) {
    const int* x = base + a * n;
    const int* y = base + b * n;
    size_t i = 0;
    while (i + 1 < n && x[i] == y[i]) ++i;
    return x[i] < y[i];
  });
  const int* previous = nullptr;
  for (size_t i = skip; i < count; ++i) {
    const int* row = base + sequence[i] * n;
    size_t same = 0;
    if (previous != nullptr) {
      while (same + 1 < n && row[same] == previous[same]) ++same;
    }
    writer.add(row, same);
    previous = row;
  }
  clear();
}

void SortedListing::clear() {
  rows.clear();
  overflowed = false;
}
