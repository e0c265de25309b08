// The out-of-place intersection with its vector path. On x86-64 the AVX2 path is compiled for that
// target alone and chosen at run time, so the binary still runs on processors without it; elsewhere,
// or when the build turns it off (SGMATCH_NO_AVX2), the scalar merge serves.
#include "set_intersection.h"

#if defined(__x86_64__) && !defined(SGMATCH_NO_AVX2)
#define SGMATCH_AVX2_PATH 1
#include <immintrin.h>
#endif

#include <algorithm>
#include <cassert>
#include <cstdint>

namespace {

size_t gallopInto(const int* small, size_t smallSize, const int* large, size_t largeSize, int* out) {
  size_t kept = 0;
  const int* cursor = large;
  const int* const end = large + largeSize;
  for (size_t i = 0; i < smallSize && cursor < end; ++i) {
    cursor = gallopTo(cursor, end, small[i]);
    if (cursor < end && *cursor == small[i]) out[kept++] = small[i];
  }
  return kept;
}

#ifdef SGMATCH_AVX2_PATH

// For each 8-bit mask, the lane indexes of its set bits first: the compress step of the vector merge.
struct CompressTable {
  alignas(32) uint32_t lanes[256][8];
  CompressTable() {
    for (int mask = 0; mask < 256; ++mask) {
      int k = 0;
      for (int lane = 0; lane < 8; ++lane) {
        if (mask >> lane & 1) lanes[mask][k++] = static_cast<uint32_t>(lane);
      }
      while (k < 8) lanes[mask][k++] = 0;
    }
  }
};
const CompressTable compressTable;

__attribute__((target("avx2,popcnt"))) size_t intersectAvx2(const int* a, size_t sizeA, const int* b, size_t sizeB,
                                                              int* out) {
  size_t i = 0, j = 0, kept = 0;
  const __m256i rotate = _mm256_setr_epi32(1, 2, 3, 4, 5, 6, 7, 0);
  while (i + 8 <= sizeA && j + 8 <= sizeB) {
    const __m256i va = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + i));
    __m256i vb = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + j));
    // Every element of the a-block against every element of the b-block, through seven rotations.
    __m256i equal = _mm256_cmpeq_epi32(va, vb);
    for (int r = 1; r < 8; ++r) {
      vb = _mm256_permutevar8x32_epi32(vb, rotate);
      equal = _mm256_or_si256(equal, _mm256_cmpeq_epi32(va, vb));
    }
    const int mask = _mm256_movemask_ps(_mm256_castsi256_ps(equal));
    const __m256i lanes = _mm256_load_si256(reinterpret_cast<const __m256i*>(compressTable.lanes[mask]));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + kept), _mm256_permutevar8x32_epi32(va, lanes));
    kept += static_cast<size_t>(_mm_popcnt_u32(static_cast<unsigned>(mask)));
    const int lastA = a[i + 7], lastB = b[j + 7];
    i += lastA <= lastB ? 8 : 0;
    j += lastB <= lastA ? 8 : 0;
  }
  return kept + intersectMerge(a + i, sizeA - i, b + j, sizeB - j, out + kept);
}

using Kernel = size_t (*)(const int*, size_t, const int*, size_t, int*);

Kernel chooseMerge() { return __builtin_cpu_supports("avx2") ? intersectAvx2 : intersectMerge; }

#else

using Kernel = size_t (*)(const int*, size_t, const int*, size_t, int*);

Kernel chooseMerge() { return intersectMerge; }

#endif

const Kernel merge = chooseMerge();

}  // namespace

bool isStrictlyAscending(const int* list, size_t size) {
  for (size_t i = 1; i < size; ++i) {
    if (list[i - 1] >= list[i]) return false;
  }
  return true;
}

// A branching merge: its branches are predicted well enough on these lists, while a branch-free
// one waits on every load of the previous step.
size_t intersectMerge(const int* a, size_t sizeA, const int* b, size_t sizeB, int* out) {
  size_t i = 0, j = 0, kept = 0;
  while (i < sizeA && j < sizeB) {
    if (a[i] < b[j]) {
      ++i;
    } else if (b[j] < a[i]) {
      ++j;
    } else {
      out[kept++] = a[i];
      ++i;
      ++j;
    }
  }
  return kept;
}

size_t intersectInto(const int* a, size_t sizeA, const int* b, size_t sizeB, int* out) {
  assert(isStrictlyAscending(a, sizeA) && isStrictlyAscending(b, sizeB));
  // The vector path stores eight lanes at a time past the last element it keeps.
  assert(out + std::min(sizeA, sizeB) + 8 <= a || a + sizeA <= out);
  assert(out + std::min(sizeA, sizeB) + 8 <= b || b + sizeB <= out);
  if (sizeA == 0 || sizeB == 0) return 0;
  if (sizeA * 16 < sizeB) return gallopInto(a, sizeA, b, sizeB, out);
  if (sizeB * 16 < sizeA) return gallopInto(b, sizeB, a, sizeA, out);
  return merge(a, sizeA, b, sizeB, out);
}
