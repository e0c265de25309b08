// Building the inclusion-exclusion polynomial: every set partition of the members (restricted growth
// strings), each block named by the subset of groups it spans; partitions giving the same product of
// subsets are merged. Evaluation sums the terms in 128-bit integers when a bound on every partial
// sum allows it (always, in practice), and in 320-bit integers otherwise, so no size below 2^32 can
// make it wrap; results are exact below 2^128.
#include "injective_count.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <map>

namespace {

// Signed 320-bit integers in two's complement, just enough for the rare sums that 128 bits cannot hold.
struct Wide {
  static constexpr int limbs = 5;
  uint64_t limb[limbs] = {};

  void multiply(uint64_t x) {
    unsigned __int128 carry = 0;
    for (uint64_t& part : limb) {
      carry += static_cast<unsigned __int128>(part) * x;
      part = static_cast<uint64_t>(carry);
      carry >>= 64;
    }
  }
  void add(const Wide& other) {
    unsigned __int128 carry = 0;
    for (int i = 0; i < limbs; ++i) {
      carry += static_cast<unsigned __int128>(limb[i]) + other.limb[i];
      limb[i] = static_cast<uint64_t>(carry);
      carry >>= 64;
    }
  }
  // Exact division by a small divisor of the value.
  void divide(uint64_t divisor) {
    unsigned __int128 remainder = 0;
    for (int i = limbs - 1; i >= 0; --i) {
      const unsigned __int128 current = remainder << 64 | limb[i];
      limb[i] = static_cast<uint64_t>(current / divisor);
      remainder = current % divisor;
    }
  }
  void subtract(const Wide& other) {
    uint64_t borrow = 0;
    for (int i = 0; i < limbs; ++i) {
      const unsigned __int128 difference = static_cast<unsigned __int128>(limb[i]) - other.limb[i] - borrow;
      limb[i] = static_cast<uint64_t>(difference);
      borrow = static_cast<uint64_t>(difference >> 64) != 0 ? 1 : 0;
    }
  }
};

}  // namespace

namespace {

// Orders of k members that respect the precedences: a count over subsets of members placed first.
uint64_t linearExtensions(int k, const std::vector<std::pair<int, int>>& precedences) {
  std::vector<uint32_t> before(k, 0);
  for (auto [a, b] : precedences) before[b] |= uint32_t{1} << a;
  std::vector<uint64_t> ways(size_t{1} << k, 0);
  ways[0] = 1;
  for (uint32_t placed = 0; placed < ways.size(); ++placed) {
    if (ways[placed] == 0) continue;
    for (int v = 0; v < k; ++v) {
      if (!(placed >> v & 1) && (before[v] & ~placed) == 0) ways[placed | uint32_t{1} << v] += ways[placed];
    }
  }
  return ways.back();
}

}  // namespace

bool InjectiveCount::build(const std::vector<int>& groupOfMember, const std::vector<std::pair<int, int>>& precedences) {
  const int k = static_cast<int>(groupOfMember.size());
  if (k > maxMembers) return false;
  for (int g : groupOfMember) {
    if (!precedences.empty() && g != 0) return false;
  }
  orders = precedences.empty() ? 0 : linearExtensions(k, precedences);
  memberCount = k;
  groupCount = 0;
  for (int g : groupOfMember) groupCount = std::max(groupCount, g + 1);
  groupSize.assign(groupCount, 0);
  for (int g : groupOfMember) ++groupSize[g];
  oneGroup = groupCount == 1;
  factorialOfMembers = 1;
  for (int i = 2; i <= k; ++i) factorialOfMembers *= i;
  subsetMasks.clear();
  for (int g = 0; g < groupCount; ++g) subsetMasks.push_back(uint32_t{1} << g);
  terms.clear();
  factors.clear();
  if (k == 0 || oneGroup) return true;

  std::map<uint32_t, uint8_t> subsetIndex;
  for (int g = 0; g < groupCount; ++g) subsetIndex[uint32_t{1} << g] = static_cast<uint8_t>(g);
  std::map<std::vector<uint8_t>, int64_t> merged;
  // Restricted growth string: block[i] <= 1 + max(block[0..i-1]).
  std::vector<int> block(k, 0), highest(k, 0);
  std::vector<uint32_t> masks(k);
  std::vector<int> sizes(k);
  for (;;) {
    int blocks = highest[k - 1] + 1;
    std::fill(masks.begin(), masks.begin() + blocks, 0);
    std::fill(sizes.begin(), sizes.begin() + blocks, 0);
    for (int i = 0; i < k; ++i) {
      masks[block[i]] |= uint32_t{1} << groupOfMember[i];
      ++sizes[block[i]];
    }
    int64_t coefficient = 1;
    std::vector<uint8_t> monomial;
    for (int b = 0; b < blocks; ++b) {
      for (int j = 2; j < sizes[b]; ++j) coefficient *= j;
      if (sizes[b] % 2 == 0) coefficient = -coefficient;
      auto [it, inserted] = subsetIndex.emplace(masks[b], static_cast<uint8_t>(subsetMasks.size()));
      if (inserted) subsetMasks.push_back(masks[b]);
      monomial.push_back(it->second);
    }
    std::sort(monomial.begin(), monomial.end());
    merged[monomial] += coefficient;
    // Next string.
    int i = k - 1;
    while (i > 0 && block[i] > highest[i - 1]) --i;
    if (i == 0) break;
    ++block[i];
    highest[i] = std::max(highest[i - 1], block[i]);
    for (int j = i + 1; j < k; ++j) {
      block[j] = 0;
      highest[j] = highest[i];
    }
  }
  for (const auto& [monomial, coefficient] : merged) {
    if (coefficient == 0) continue;
    terms.push_back({coefficient, static_cast<uint32_t>(factors.size()), static_cast<uint32_t>(monomial.size())});
    factors.insert(factors.end(), monomial.begin(), monomial.end());
  }
  return true;
}

InjectiveCount::Value InjectiveCount::evaluate(const uint64_t* sizes) const {
  if (memberCount == 0) return {1, false};
  if (oneGroup) {
    const uint64_t s = sizes[0];
    if (s < static_cast<uint64_t>(memberCount)) return {0, false};
    if (orders == 0) {
      // A falling factorial: its partial products only grow, so one overflow settles it.
      unsigned __int128 product = 1;
      for (int i = 0; i < memberCount; ++i) {
        if (__builtin_mul_overflow(product, static_cast<unsigned __int128>(s - static_cast<uint64_t>(i)), &product)) {
          return {0, true};
        }
      }
      return {product, false};
    }
    if (std::pow(static_cast<long double>(s), memberCount) < 0x1p120L) {
      // C(s, k) as C(s-k+1, 1), C(s-k+2, 2), ...: integral at every step, and below s^k.
      unsigned __int128 choose = 1;
      for (int i = 1; i <= memberCount; ++i) {
        choose = choose * (s - static_cast<uint64_t>(memberCount) + static_cast<uint64_t>(i)) / static_cast<uint64_t>(i);
      }
      unsigned __int128 product;
      if (__builtin_mul_overflow(choose, static_cast<unsigned __int128>(orders), &product)) return {0, true};
      return {product, false};
    }
    return evaluateWide(sizes);
  }
  // Every term is at most the product of the members' own set sizes, and the coefficients add up
  // to at most k! in absolute value, which bounds every partial sum.
  long double bound = factorialOfMembers;
  for (int g = 0; g < groupCount; ++g) {
    if (sizes[g] == 0) return {0, false};
    for (int j = 0; j < groupSize[g]; ++j) bound *= static_cast<long double>(sizes[g]);
  }
  if (bound >= 0x1p125L) return evaluateWide(sizes);
  __int128 sum = 0;
  for (const Term& term : terms) {
    __int128 product = term.coefficient;
    for (uint32_t f = term.first; f < term.first + term.length; ++f) product *= static_cast<__int128>(sizes[factors[f]]);
    sum += product;
  }
  assert(sum >= 0);
  return {static_cast<unsigned __int128>(sum), false};
}

namespace {

constexpr uint64_t mersenne61 = (uint64_t{1} << 61) - 1;

inline uint64_t reduce61(unsigned __int128 x) {
  // x < 2^122: fold the high bits twice.
  uint64_t folded = static_cast<uint64_t>(x & mersenne61) + static_cast<uint64_t>(x >> 61);
  folded = (folded & mersenne61) + (folded >> 61);
  return folded >= mersenne61 ? folded - mersenne61 : folded;
}

inline uint64_t multiply61(uint64_t a, uint64_t b) { return reduce61(static_cast<unsigned __int128>(a) * b); }

inline uint64_t residue61(unsigned __int128 x) {
  const uint64_t high = reduce61(x >> 64);
  const uint64_t low = reduce61(static_cast<uint64_t>(x));
  // 2^64 = 2^3 (mod 2^61 - 1).
  return reduce61(static_cast<unsigned __int128>(high) * 8 + low);
}

// 2^-64 modulo 2^61 - 1: 2^64 = 8, and 8 * 2^58 = 2^61 = 1.
constexpr uint64_t inverse64 = uint64_t{1} << 58;

}  // namespace

bool InjectiveCount::evaluateWeighted(const unsigned __int128* sums, unsigned __int128* result) const {
  assert(groupCount == memberCount);
  long double bound = 1;
  for (int g = 0; g < groupCount; ++g) {
    if (sums[g] == 0) {
      *result = 0;
      return true;
    }
    bound *= static_cast<long double>(sums[g]);
  }
  // The count is at most the product of the members' own sums; below 2^124 the two residues fix it.
  if (bound >= 0x1p124L) return false;
  if (memberCount == 1) {
    *result = sums[0];
    return true;
  }
  uint64_t low = 0, high = 0;
  for (const Term& term : terms) {
    uint64_t productLow = static_cast<uint64_t>(term.coefficient);
    uint64_t productHigh = term.coefficient < 0 ? mersenne61 - static_cast<uint64_t>(-term.coefficient) : static_cast<uint64_t>(term.coefficient);
    for (uint32_t f = term.first; f < term.first + term.length; ++f) {
      productLow *= static_cast<uint64_t>(sums[factors[f]]);
      productHigh = multiply61(productHigh, residue61(sums[factors[f]]));
    }
    low += productLow;
    high += productHigh;
    if (high >= mersenne61) high -= mersenne61;
  }
  // result = low + 2^64 k with k = (high - low) 2^-64 (mod 2^61 - 1).
  const uint64_t lowResidue = residue61(low);
  const uint64_t difference = high >= lowResidue ? high - lowResidue : high + mersenne61 - lowResidue;
  const uint64_t k = multiply61(difference, inverse64);
  *result = (static_cast<unsigned __int128>(k) << 64) | low;
  return true;
}

InjectiveCount::Value InjectiveCount::evaluateWide(const uint64_t* sizes) const {
  Wide sum;
  if (oneGroup) {
    // C(s, k) times the orders: the falling factorial divided by k!, which divides it exactly.
    sum.limb[0] = 1;
    for (int i = 0; i < memberCount; ++i) sum.multiply(sizes[0] - static_cast<uint64_t>(i));
    for (int i = 2; i <= memberCount; ++i) sum.divide(static_cast<uint64_t>(i));
    sum.multiply(orders);
  }
  for (const Term& term : terms) {
    Wide product;
    product.limb[0] = static_cast<uint64_t>(term.coefficient < 0 ? -term.coefficient : term.coefficient);
    for (uint32_t f = term.first; f < term.first + term.length; ++f) product.multiply(sizes[factors[f]]);
    if (term.coefficient < 0) {
      sum.subtract(product);
    } else {
      sum.add(product);
    }
  }
  assert(!(sum.limb[Wide::limbs - 1] >> 63));
  for (int i = 2; i < Wide::limbs; ++i) {
    if (sum.limb[i] != 0) return {0, true};
  }
  return {static_cast<unsigned __int128>(sum.limb[1]) << 64 | sum.limb[0], false};
}
