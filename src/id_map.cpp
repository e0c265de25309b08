// IdMap: the bitmap and the hash table, and the dispatch of the key pass to a build with the popcnt
// instruction where the processor has it.
#include "id_map.h"

#include <array>
#include <limits>

namespace {

// LSD radix sort of keys below 2^bits, 11 bits a pass. The digit counts are taken while the keys
// are made (count), and a pass whose digit is the same in every key is skipped.
class RadixSorter {
 public:
  explicit RadixSorter(int bits) : passes(std::max(1, (bits + digitBits - 1) / digitBits)), counts(passes) {
    for (auto& count : counts) count.fill(0);
  }

  void count(uint64_t key) {
    for (int pass = 0; pass < passes; ++pass) ++counts[pass][(key >> (pass * digitBits)) & (radix - 1)];
  }

  /// Sorts the n counted keys; `buffer` has room for n keys and is overwritten.
  void sort(uint64_t* keys, size_t n, uint64_t* buffer) {
    if (n < 1024) {
      std::sort(keys, keys + n);
      return;
    }
    uint64_t* source = keys;
    uint64_t* target = buffer;
    for (int pass = 0; pass < passes; ++pass) {
      const int shift = pass * digitBits;
      std::array<size_t, radix>& count = counts[pass];
      if (count[(source[0] >> shift) & (radix - 1)] == n) continue;
      size_t offset = 0;
      for (size_t& c : count) {
        const size_t here = c;
        c = offset;
        offset += here;
      }
      for (size_t i = 0; i < n; ++i) {
        const uint64_t key = source[i];
        target[count[(key >> shift) & (radix - 1)]++] = key;
      }
      std::swap(source, target);
    }
    if (source != keys) std::copy(source, source + n, keys);
  }

 private:
  static constexpr int digitBits = 11;
  static constexpr size_t radix = size_t{1} << digitBits;
  int passes;
  std::vector<std::array<size_t, radix>> counts;
};

constexpr size_t prefetchDistance = 32;

}  // namespace

// The dense id of an end that the hash table replaced by its number in order of arrival.
struct IdMap::ArrivalRank {
  const int32_t* ranks;
  uint64_t operator()(uint64_t arrival) const { return static_cast<uint64_t>(ranks[arrival]); }
  void prefetch(uint64_t arrival) const { __builtin_prefetch(ranks + arrival); }
};

// The dense id of an id in the bitmap.
struct IdMap::BitmapRank {
  const IdMap* map;
  __attribute__((always_inline)) uint64_t operator()(uint64_t id) const {
    return static_cast<uint64_t>(map->findInBitmap(id));
  }
  void prefetch(uint64_t id) const { __builtin_prefetch(map->words.data() + (id >> 6)); }
};

bool IdMap::build(HugeVector<uint64_t>* ends, const std::vector<uint64_t>& extra, uint64_t largest,
                  std::vector<uint64_t>* originalIds) {
  originalIds->clear();
  const uint64_t endCount = ends->size() + extra.size();
  // The bitmap and its ranks take 2 bits per possible id: at most 8 bytes per end, no more than the
  // ends themselves, and a lookup touches one cache line, as a hash table's would, without probing.
  direct = largest < std::numeric_limits<uint32_t>::max() && largest < 32 * endCount + (uint64_t{1} << 16);
  return direct ? buildBitmap(*ends, extra, largest, originalIds) : buildHashed(ends, extra, largest, originalIds);
}

size_t IdMap::makeKeys(HugeVector<uint64_t>* ends, int shift, size_t* bucketCounts) const {
  const size_t lines = ends->size() / 2;
  if (!direct) return ::makeKeys(ends->data(), lines, ArrivalRank{arrivalRank.data()}, shift, bucketCounts);
  if (idCount == idLimit) return ::makeKeys(ends->data(), lines, SameId(), shift, bucketCounts);  // 0..n-1 all there
#if defined(__x86_64__)
  static const bool popcnt = __builtin_cpu_supports("popcnt");
  if (popcnt) return keysWithPopcnt(ends->data(), lines, shift, bucketCounts);
#endif
  return ::makeKeys(ends->data(), lines, BitmapRank{this}, shift, bucketCounts);
}

// The key pass compiled for the popcnt instruction: without it every lookup calls into the
// compiler's library, which costs more than the lookup.
#if defined(__x86_64__)
__attribute__((target("popcnt"))) size_t IdMap::keysWithPopcnt(uint64_t* ends, size_t lines, int shift,
                                                               size_t* bucketCounts) const {
  return ::makeKeys(ends, lines, BitmapRank{this}, shift, bucketCounts);
}
#else
size_t IdMap::keysWithPopcnt(uint64_t* ends, size_t lines, int shift, size_t* bucketCounts) const {
  return ::makeKeys(ends, lines, BitmapRank{this}, shift, bucketCounts);
}
#endif

bool IdMap::buildBitmap(const HugeVector<uint64_t>& ends, const std::vector<uint64_t>& extra, uint64_t largest,
                        std::vector<uint64_t>* originalIds) {
  idLimit = largest + 1;
  words.assign((idLimit + 63) / 64, RankedWord{0, 0});
  RankedWord* const word = words.data();
  const size_t count = ends.size();
  for (size_t i = 0; i < count; ++i) {
    if (i + prefetchDistance < count) __builtin_prefetch(word + (ends[i + prefetchDistance] >> 6), 1);
    word[ends[i] >> 6].bits |= uint64_t{1} << (ends[i] & 63);
  }
  for (uint64_t id : extra) word[id >> 6].bits |= uint64_t{1} << (id & 63);
  uint64_t rank = 0;
  for (RankedWord& w : words) {
    w.rank = rank;
    rank += static_cast<uint64_t>(__builtin_popcountll(w.bits));
  }
  if (rank > maxVertexCount) return false;
  idCount = rank;
  originalIds->reserve(rank);
  for (size_t w = 0; w < words.size(); ++w) {
    for (uint64_t bits = words[w].bits; bits != 0; bits &= bits - 1) {
      originalIds->push_back(64 * w + static_cast<uint64_t>(__builtin_ctzll(bits)));
    }
  }
  return true;
}

// Every distinct id goes into the table once, with its number in order of arrival, and each end is
// replaced by that number. Then the ids are sorted, each slot gets its id's rank, and arrivalRank
// turns the number of an end into its rank when the keys are made: one pass of hash probes over the
// ends, not two.
bool IdMap::buildHashed(HugeVector<uint64_t>* ends, const std::vector<uint64_t>& extra, uint64_t largest,
                        std::vector<uint64_t>* originalIds) {
  std::vector<uint64_t>& ids = *originalIds;
  resize(size_t{1} << 16);
  auto insert = [&](uint64_t* values, size_t count, bool replace) {
    for (size_t i = 0; i < count; ++i) {
      // The slots of the ids a few steps ahead are fetched meanwhile, so that the cache misses of a
      // table larger than the cache overlap.
      if (i + prefetchDistance < count) __builtin_prefetch(&slots[slotOf(values[i + prefetchDistance])]);
      Slot& slot = slots[probe(values[i])];
      if (slot.value < 0) {
        if (ids.size() == maxVertexCount) return false;
        slot = {values[i], static_cast<int32_t>(ids.size())};
        ids.push_back(values[i]);
      }
      if (replace) values[i] = static_cast<uint64_t>(slot.value);
      if (2 * ids.size() > slots.size()) resize(2 * slots.size());
    }
    return true;
  };
  std::vector<uint64_t> extraIds(extra);
  if (!insert(ends->data(), ends->size(), true) || !insert(extraIds.data(), extraIds.size(), false)) return false;
  RadixSorter sorter(bitWidth(largest));
  for (uint64_t id : ids) sorter.count(id);
  std::vector<uint64_t> buffer(ids.size());
  sorter.sort(ids.data(), ids.size(), buffer.data());
  arrivalRank.resize(ids.size());
  for (size_t rank = 0; rank < ids.size(); ++rank) {
    Slot& slot = slots[probe(ids[rank])];
    arrivalRank[static_cast<size_t>(slot.value)] = static_cast<int32_t>(rank);
    slot.value = static_cast<int32_t>(rank);
  }
  idCount = ids.size();
  return true;
}

// Rehashes into `capacity` slots (a power of two).
void IdMap::resize(size_t capacity) {
  HugeVector<Slot> old(capacity, Slot{0, -1});
  old.swap(slots);
  shift = 64 - bitWidth(capacity - 1);
  for (const Slot& slot : old) {
    if (slot.value >= 0) slots[probe(slot.key)] = slot;
  }
}
