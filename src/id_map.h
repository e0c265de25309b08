// Dense ids 0..n-1, in ascending order, for the 64-bit ids of an edge list, and the pass that turns
// its edge lines into keys of dense ends on the way. Compact ids get a bitmap with the rank of every
// word, small enough to stay in cache; ids spread over a wide range get a hash table.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "huge_page_allocator.h"

/// The most vertices a graph may have: dense ids are the tool's signed 32-bit vertex ids.
constexpr uint64_t maxVertexCount = 2147483647;

/// The number of bits of the value (0 for 0).
inline int bitWidth(uint64_t value) { return value == 0 ? 0 : 64 - __builtin_clzll(value); }

/// The first pass of collecting edges from `lines` pairs of ends: the key (smaller << 32 | larger) of
/// the dense ends of every pair but a self-loop goes to the front of `ends` (never ahead of the pairs
/// still to read), and the pair is counted in the bucket of its smaller end, bucketCounts[bucket + 1]
/// with bucket = smaller >> shift. The number of keys.
template <typename DenseOf>
__attribute__((always_inline)) inline size_t makeKeys(uint64_t* ends, size_t lines, DenseOf denseOf, int shift,
                                                      size_t* bucketCounts) {
  // The lookups of the pairs a few steps ahead are fetched meanwhile, so that the cache misses of a
  // map larger than the cache overlap.
  constexpr size_t ahead = 16;
  size_t kept = 0;
  for (size_t i = 0; i < lines; ++i) {
    if (i + ahead < lines) {
      denseOf.prefetch(ends[2 * (i + ahead)]);
      denseOf.prefetch(ends[2 * (i + ahead) + 1]);
    }
    const uint64_t u = denseOf(ends[2 * i]), v = denseOf(ends[2 * i + 1]);
    if (u == v) continue;
    const uint64_t smaller = std::min(u, v);
    ends[kept++] = (smaller << 32) | std::max(u, v);
    ++bucketCounts[(smaller >> shift) + 1];
  }
  return kept;
}

/// The dense id of an end that is one already.
struct SameId {
  uint64_t operator()(uint64_t id) const { return id; }
  void prefetch(uint64_t) const {}
};

/// Dense ids for the ids of one edge list (and of its label lines).
class IdMap {
 public:
  /// Builds the map over the ids in `ends` and `extra`; `largest` is the largest of them. False
  /// when there are more than maxVertexCount. The ends are kept for makeKeys, possibly in a form of
  /// the map's own.
  bool build(HugeVector<uint64_t>* ends, const std::vector<uint64_t>& extra, uint64_t largest,
             std::vector<uint64_t>* originalIds);

  /// The dense id of an original id; -1 when the map does not hold it.
  int32_t find(uint64_t id) const { return direct ? findInBitmap(id) : slots[probe(id)].value; }

  /// makeKeys over the ends given to build(), with their dense ids.
  size_t makeKeys(HugeVector<uint64_t>* ends, int shift, size_t* bucketCounts) const;

 private:
  struct ArrivalRank;
  struct BitmapRank;

  __attribute__((always_inline)) int32_t findInBitmap(uint64_t id) const {
    if (id >= idLimit) return -1;
    const RankedWord& word = words[id >> 6];
    const uint64_t bit = uint64_t{1} << (id & 63);
    if ((word.bits & bit) == 0) return -1;
    return static_cast<int32_t>(word.rank + static_cast<uint64_t>(__builtin_popcountll(word.bits & (bit - 1))));
  }

  // The slot that holds the id, or the empty slot where it would go.
  size_t probe(uint64_t id) const {
    size_t slot = slotOf(id);
    while (slots[slot].value >= 0 && slots[slot].key != id) slot = (slot + 1) & (slots.size() - 1);
    return slot;
  }

  size_t slotOf(uint64_t id) const { return static_cast<size_t>((id * 0x9E3779B97F4A7C15ULL) >> shift); }

  bool buildBitmap(const HugeVector<uint64_t>& ends, const std::vector<uint64_t>& extra, uint64_t largest,
                   std::vector<uint64_t>* originalIds);
  bool buildHashed(HugeVector<uint64_t>* ends, const std::vector<uint64_t>& extra, uint64_t largest,
                   std::vector<uint64_t>* originalIds);
  void resize(size_t capacity);
  size_t keysWithPopcnt(uint64_t* ends, size_t lines, int shift, size_t* bucketCounts) const;

  bool direct = true;
  uint64_t idCount = 0;  // distinct ids
  // Bitmap: bit id is set for every id present; each word holds the count of the set bits before
  // it, so that a lookup touches one cache line.
  struct RankedWord {
    uint64_t bits;
    uint64_t rank;
  };
  uint64_t idLimit = 0;
  HugeVector<RankedWord> words;
  // Hash table: the original id held in a slot and its dense id (-1: empty), in one cache line.
  struct Slot {
    uint64_t key;
    int32_t value;
  };
  HugeVector<Slot> slots;
  std::vector<int32_t> arrivalRank;  // the dense id of the id that arrived n-th
  int shift = 48;
};
