// Intersection kernels for ascending int lists without repeats, the search's innermost operation: a
// merge for lists of similar length (eight elements against eight at a time with AVX2 where the
// processor has it, a plain merge otherwise) and galloping (exponential then binary search) when one
// list is much shorter, so that a small candidate list never pays for a hub's long neighbour range.
#pragma once

#include <cassert>
#include <cstddef>

/// First position in [first, last) whose value is >= x, searching outward from `first`.
inline const int* gallopTo(const int* first, const int* last, int x) {
  size_t step = 1;
  const int* low = first;
  while (low + step < last && low[step] < x) {
    low += step;
    step <<= 1;
  }
  const int* high = low + step < last ? low + step + 1 : last;
  // The answer lies in [low, high): binary search.
  while (low < high) {
    const int* middle = low + (high - low) / 2;
    if (*middle < x) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  return low;
}

/// Whether the list holds no repeats and no descent: what every kernel here assumes of its inputs.
bool isStrictlyAscending(const int* list, size_t size);

/// The scalar merge of two ascending lists into `out`, which may be the first list itself.
size_t intersectMerge(const int* a, size_t sizeA, const int* b, size_t sizeB, int* out);

/// Keeps the elements of the ascending list [list, list + size) that also occur in the ascending
/// range [other, otherEnd); returns the new size. Elements of the list are distinct.
inline size_t intersectInPlace(int* list, size_t size, const int* other, const int* otherEnd) {
  const size_t otherSize = static_cast<size_t>(otherEnd - other);
  assert(isStrictlyAscending(list, size) && isStrictlyAscending(other, otherSize));
  size_t kept = 0;
  if (size == 0 || otherSize == 0) return 0;
  if (size * 16 < otherSize) {
    // Few elements against a long range: gallop through the range.
    const int* cursor = other;
    for (size_t i = 0; i < size && cursor < otherEnd; ++i) {
      cursor = gallopTo(cursor, otherEnd, list[i]);
      if (cursor < otherEnd && *cursor == list[i]) list[kept++] = list[i];
    }
    return kept;
  }
  if (otherSize * 16 < size) {
    // A short range against a long list: gallop through the list, keeping its order.
    const int* cursor = list;
    const int* const end = list + size;
    for (const int* p = other; p < otherEnd && cursor < end; ++p) {
      cursor = gallopTo(cursor, end, *p);
      if (cursor < end && *cursor == *p) list[kept++] = *p;
    }
    return kept;
  }
  return intersectMerge(list, size, other, otherSize, list);
}

/// Writes the elements common to the ascending lists [a, a + sizeA) and [b, b + sizeB), both free of
/// repeats, to `out` (room for min(sizeA, sizeB) + 8 ints, not overlapping either list); returns
/// their number.
size_t intersectInto(const int* a, size_t sizeA, const int* b, size_t sizeB, int* out);
