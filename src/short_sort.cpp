// Batcher's odd-even merge sort of eight lanes per register; two registers are merged by a
// bitonic merge. Runs shorter than their registers are padded with the largest int, which sorts
// last and is not stored back.
#include "short_sort.h"

#include <algorithm>
#include <climits>

// The AVX2 path is chosen at run time on x86-64, unless the build turns it off (SGMATCH_NO_AVX2).
#if defined(__x86_64__) && !defined(SGMATCH_NO_AVX2)
#include <immintrin.h>
#define SGMATCH_SHORT_SORT_AVX2 1
#endif

namespace {

#ifdef SGMATCH_SHORT_SORT_AVX2

// One layer of comparators: lane i is paired with lane partner[i]; the lanes whose bit is set in
// `upper` keep the larger value of their pair, the others the smaller one. (A template argument,
// since the blend takes its mask as an immediate.)
template <int upper>
__attribute__((target("avx2"))) inline __m256i layer(__m256i v, __m256i partner) {
  const __m256i w = _mm256_permutevar8x32_epi32(v, partner);
  return _mm256_blend_epi32(_mm256_min_epi32(v, w), _mm256_max_epi32(v, w), upper);
}

// The six layers of the odd-even merge sort of eight values.
__attribute__((target("avx2"))) inline __m256i sortEight(__m256i v) {
  v = layer<0b10101010>(v, _mm256_setr_epi32(1, 0, 3, 2, 5, 4, 7, 6));  // (0,1) (2,3) (4,5) (6,7)
  v = layer<0b11001100>(v, _mm256_setr_epi32(2, 3, 0, 1, 6, 7, 4, 5));  // (0,2) (1,3) (4,6) (5,7)
  v = layer<0b01000100>(v, _mm256_setr_epi32(0, 2, 1, 3, 4, 6, 5, 7));  // (1,2) (5,6)
  v = layer<0b11110000>(v, _mm256_setr_epi32(4, 5, 6, 7, 0, 1, 2, 3));  // (0,4) (1,5) (2,6) (3,7)
  v = layer<0b00110000>(v, _mm256_setr_epi32(0, 1, 4, 5, 2, 3, 6, 7));  // (2,4) (3,5)
  v = layer<0b01010100>(v, _mm256_setr_epi32(0, 2, 1, 4, 3, 6, 5, 7));  // (1,2) (3,4) (5,6)
  return v;
}

// Sorts a bitonic sequence of eight values: half-cleaners at distances 4, 2 and 1.
__attribute__((target("avx2"))) inline __m256i mergeBitonicEight(__m256i v) {
  v = layer<0b11110000>(v, _mm256_setr_epi32(4, 5, 6, 7, 0, 1, 2, 3));
  v = layer<0b11001100>(v, _mm256_setr_epi32(2, 3, 0, 1, 6, 7, 4, 5));
  v = layer<0b10101010>(v, _mm256_setr_epi32(1, 0, 3, 2, 5, 4, 7, 6));
  return v;
}

// The first `count` lanes (0 to 8) from `values`, the others the largest int.
__attribute__((target("avx2"))) inline __m256i loadPadded(const int* values, size_t count, __m256i* mask) {
  const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  *mask = _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(count)), lanes);
  const __m256i loaded = _mm256_maskload_epi32(values, *mask);
  return _mm256_blendv_epi8(_mm256_set1_epi32(INT_MAX), loaded, *mask);
}

__attribute__((target("avx2"))) void sortShortAvx2(int* values, size_t count) {
  if (count <= 8) {
    __m256i mask;
    const __m256i v = sortEight(loadPadded(values, count, &mask));
    _mm256_maskstore_epi32(values, mask, v);
    return;
  }
  __m256i highMask;
  const __m256i low = sortEight(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(values)));
  __m256i high = sortEight(loadPadded(values + 8, count - 8, &highMask));
  // The low run ascending and the high run descending form a bitonic sequence: the lane-wise
  // minimum holds the eight smallest values and the maximum the eight largest, each bitonic.
  high = _mm256_permutevar8x32_epi32(high, _mm256_setr_epi32(7, 6, 5, 4, 3, 2, 1, 0));
  const __m256i smaller = mergeBitonicEight(_mm256_min_epi32(low, high));
  const __m256i larger = mergeBitonicEight(_mm256_max_epi32(low, high));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(values), smaller);
  _mm256_maskstore_epi32(values + 8, highMask, larger);
}

bool hasAvx2() {
  static const bool avx2 = __builtin_cpu_supports("avx2");
  return avx2;
}

#endif

}  // namespace

void sortShort(int* values, size_t count) {
  if (count < 2) return;
#ifdef SGMATCH_SHORT_SORT_AVX2
  if (count <= shortSortLimit && hasAvx2()) {
    sortShortAvx2(values, count);
    return;
  }
#endif
  std::sort(values, values + count);
}
