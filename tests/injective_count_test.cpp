// InjectiveCount: the inclusion-exclusion polynomial against a direct count of injective assignments
// on random small sets, the closed forms it must reproduce, and sizes whose terms pass 128 bits.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <set>
#include <vector>

#include "injective_count.h"

namespace {

// Injective assignments of members to elements of their group's set that respect the precedences,
// by trying every choice.
uint64_t directCount(const std::vector<int>& groupOfMember, const std::vector<std::set<int>>& sets,
                     const std::vector<std::pair<int, int>>& precedences = {}) {
  std::vector<int> chosen;
  std::function<uint64_t(size_t)> assign = [&](size_t i) -> uint64_t {
    if (i == groupOfMember.size()) {
      for (auto [a, b] : precedences) {
        if (chosen[a] >= chosen[b]) return 0;
      }
      return 1;
    }
    uint64_t total = 0;
    for (int x : sets[groupOfMember[i]]) {
      if (std::find(chosen.begin(), chosen.end(), x) != chosen.end()) continue;
      chosen.push_back(x);
      total += assign(i + 1);
      chosen.pop_back();
    }
    return total;
  };
  return assign(0);
}

// Intersection sizes in the order the polynomial asks for them.
std::vector<uint64_t> intersectionSizes(const InjectiveCount& count, const std::vector<std::set<int>>& sets) {
  std::vector<uint64_t> sizes;
  for (uint32_t mask : count.subsets()) {
    std::set<int> common;
    bool first = true;
    for (size_t g = 0; g < sets.size(); ++g) {
      if (!(mask >> g & 1)) continue;
      if (first) {
        common = sets[g];
        first = false;
      } else {
        std::set<int> kept;
        for (int x : common) {
          if (sets[g].count(x)) kept.insert(x);
        }
        common.swap(kept);
      }
    }
    sizes.push_back(common.size());
  }
  return sizes;
}

}  // namespace

TEST(InjectiveCount, MatchesADirectCountOnRandomSets) {
  std::mt19937 random(7);
  for (int round = 0; round < 3000; ++round) {
    const int members = 1 + static_cast<int>(random() % 6);
    const int groups = 1 + static_cast<int>(random() % std::min(members, 4));
    std::vector<int> groupOfMember(members);
    for (int i = 0; i < members; ++i) groupOfMember[i] = i < groups ? i : static_cast<int>(random() % groups);
    std::shuffle(groupOfMember.begin(), groupOfMember.end(), random);
    const int universe = 1 + static_cast<int>(random() % 9);
    std::vector<std::set<int>> sets(groups);
    for (auto& set : sets) {
      for (int x = 0; x < universe; ++x) {
        if (random() % 3 != 0) set.insert(x);
      }
    }
    InjectiveCount count;
    ASSERT_TRUE(count.build(groupOfMember));
    ASSERT_EQ(count.subsets().size() >= static_cast<size_t>(groups), true);
    for (int g = 0; g < groups; ++g) ASSERT_EQ(count.subsets()[g], 1u << g);
    const std::vector<uint64_t> sizes = intersectionSizes(count, sets);
    const InjectiveCount::Value value = count.evaluate(sizes.data());
    ASSERT_FALSE(value.huge);
    ASSERT_EQ(static_cast<uint64_t>(value.count), directCount(groupOfMember, sets)) << "round " << round;
  }
}

TEST(InjectiveCount, CountsOrderedMembersOfOneGroup) {
  std::mt19937 random(11);
  for (int round = 0; round < 500; ++round) {
    const int members = 1 + static_cast<int>(random() % 6);
    std::vector<std::pair<int, int>> precedences;
    for (int b = 1; b < members; ++b) {
      for (int a = 0; a < b; ++a) {
        if (random() % 3 == 0) precedences.push_back({a, b});
      }
    }
    std::vector<std::set<int>> sets(1);
    const int universe = static_cast<int>(random() % 10);
    for (int x = 0; x < universe; ++x) sets[0].insert(x * 3);
    InjectiveCount count;
    ASSERT_TRUE(count.build(std::vector<int>(members, 0), precedences));
    const uint64_t size = sets[0].size();
    ASSERT_EQ(static_cast<uint64_t>(count.evaluate(&size).count), directCount(std::vector<int>(members, 0), sets, precedences))
        << "round " << round;
  }
  InjectiveCount count;
  EXPECT_FALSE(count.build({0, 1}, {{0, 1}}));
  const uint64_t big = (uint64_t{1} << 32) - 1, small = uint64_t{1} << 22;
  ASSERT_TRUE(count.build({0, 0, 0}, {{0, 1}, {1, 2}}));
  const unsigned __int128 expected = static_cast<unsigned __int128>(small) * (small - 1) * (small - 2) / 6;
  EXPECT_TRUE(count.evaluate(&small).count == expected);
  EXPECT_FALSE(count.evaluate(&small).huge);
  // C(2^32 - 1, 4), about 2^123, whose falling factorial passes 2^128: the wide form, still exact.
  ASSERT_TRUE(count.build({0, 0, 0, 0}, {{0, 1}, {1, 2}, {2, 3}}));
  const unsigned __int128 choose =
      (static_cast<unsigned __int128>(big * (big - 1) / 2) * ((big - 2) * (big - 3) / 2)) / 6;
  EXPECT_FALSE(count.evaluate(&big).huge);
  EXPECT_TRUE(count.evaluate(&big).count == choose);
  // A chain of four members and a fifth without constraints: C(s, 5) sets, 5 orders each.
  ASSERT_TRUE(count.build({0, 0, 0, 0, 0}, {{0, 1}, {1, 2}, {2, 3}}));
  const uint64_t medium = uint64_t{1} << 20;
  unsigned __int128 five = 1;
  for (int i = 1; i <= 5; ++i) five = five * (medium - 5 + i) / i;
  EXPECT_TRUE(count.evaluate(&medium).count == five * 5);
}

TEST(InjectiveCount, ReproducesClosedForms) {
  InjectiveCount count;
  // One group: a falling factorial, zero when the set is too small.
  ASSERT_TRUE(count.build({0, 0, 0}));
  uint64_t ten = 10, two = 2;
  EXPECT_TRUE(count.evaluate(&ten).count == 720);
  EXPECT_TRUE(count.evaluate(&two).count == 0);
  // Two groups of one member each: |A| |B| - |A n B|.
  ASSERT_TRUE(count.build({0, 1}));
  ASSERT_EQ(count.subsets().size(), 3u);
  std::vector<uint64_t> sizes{5, 7, 3};
  EXPECT_TRUE(count.evaluate(sizes.data()).count == 32);
  // Two members on disjoint sets of one element, one member on their union: 2 ways.
  ASSERT_TRUE(count.build({0, 1, 2}));
  std::vector<std::set<int>> sets{{1}, {2}, {1, 2, 3}};
  sizes = intersectionSizes(count, sets);
  EXPECT_TRUE(count.evaluate(sizes.data()).count == 1);
  // No members: the empty assignment.
  ASSERT_TRUE(count.build({}));
  EXPECT_TRUE(count.evaluate(nullptr).count == 1);
  EXPECT_FALSE(count.build(std::vector<int>(InjectiveCount::maxMembers + 1, 0)));
}

TEST(InjectiveCount, LargeSizesAreExactOrReportedHuge) {
  using U128 = unsigned __int128;
  InjectiveCount count;
  // ff(2^32 - 1, 4) fits in 128 bits; ff(2^32 - 1, 5) does not.
  const uint64_t big = (uint64_t{1} << 32) - 1;
  ASSERT_TRUE(count.build({0, 0, 0, 0}));
  EXPECT_FALSE(count.evaluate(&big).huge);
  EXPECT_TRUE(count.evaluate(&big).count == U128{big} * (big - 1) * (big - 2) * (big - 3));
  ASSERT_TRUE(count.build({0, 0, 0, 0, 0}));
  EXPECT_TRUE(count.evaluate(&big).huge);

  // Three members share a set of two elements: no assignment, however large the other sets are,
  // although the terms pass 2^128 (the wide sum).
  ASSERT_TRUE(count.build({0, 0, 0, 1, 1, 2, 3}));
  std::vector<uint64_t> sizes;
  for (uint32_t mask : count.subsets()) sizes.push_back(mask == 1 ? 2 : (mask & 1) ? 0 : big);
  InjectiveCount::Value value = count.evaluate(sizes.data());
  EXPECT_FALSE(value.huge);
  EXPECT_TRUE(value.count == 0);
  // Disjoint large sets: the product, far beyond 2^128.
  for (size_t i = 0; i < sizes.size(); ++i) sizes[i] = __builtin_popcount(count.subsets()[i]) == 1 ? big : 0;
  EXPECT_TRUE(count.evaluate(sizes.data()).huge);
  // One member on a set of 3 inside the large set of another: (2^32 - 1) * 3 - 3, through the wide
  // sum since the bound passes 2^125 with a third member.
  ASSERT_TRUE(count.build({0, 1, 2}));
  std::vector<std::set<int>> sets{{1, 2, 3}, {}, {}};
  sizes.clear();
  for (uint32_t mask : count.subsets()) {
    // Group 0: {1, 2, 3}; groups 1 and 2: the same set of 2^32 - 1 elements containing 1, 2, 3.
    if (mask == 1) sizes.push_back(3);
    else if (mask & 1) sizes.push_back(3);
    else sizes.push_back(big);
  }
  value = count.evaluate(sizes.data());
  EXPECT_FALSE(value.huge);
  EXPECT_TRUE(value.count == U128{3} * (big - 1) * (big - 2));
  // Two members each on a set of 2^31 elements that are one set: exact.
  ASSERT_TRUE(count.build({0, 1}));
  const uint64_t half = uint64_t{1} << 31;
  sizes = {half, half, half};
  value = count.evaluate(sizes.data());
  EXPECT_FALSE(value.huge);
  EXPECT_TRUE(value.count == U128{half} * (half - 1));
}

TEST(InjectiveCount, WeightedFormMatchesADirectWeightedCount) {
  using U128 = unsigned __int128;
  std::mt19937 random(5);
  for (int round = 0; round < 2000; ++round) {
    const int members = 1 + static_cast<int>(random() % 4);
    std::vector<int> groupOfMember(members);
    for (int i = 0; i < members; ++i) groupOfMember[i] = i;
    const int universe = 1 + static_cast<int>(random() % 7);
    std::vector<std::set<int>> sets(members);
    std::vector<std::vector<uint64_t>> weights(members, std::vector<uint64_t>(universe));
    // Large weights now and then, so that the residues carry past 64 bits.
    const uint64_t scale = random() % 4 == 0 ? (uint64_t{1} << 40) : 1;
    for (int m = 0; m < members; ++m) {
      for (int x = 0; x < universe; ++x) {
        if (random() % 3 != 0) sets[m].insert(x);
        weights[m][x] = (1 + random() % 5) * scale;
      }
    }
    InjectiveCount count;
    ASSERT_TRUE(count.build(groupOfMember));
    std::vector<U128> sums;
    for (uint32_t mask : count.subsets()) {
      U128 sum = 0;
      for (int x = 0; x < universe; ++x) {
        U128 product = 1;
        for (int m = 0; m < members && product != 0; ++m) {
          if (mask >> m & 1) product = sets[m].count(x) ? product * weights[m][x] : 0;
        }
        sum += product;
      }
      sums.push_back(sum);
    }
    // Directly: every injective choice, weighted by the product of its members' weights.
    U128 expected = 0;
    std::vector<int> chosen;
    std::function<void(int, U128)> assign = [&](int m, U128 weight) {
      if (m == members) {
        expected += weight;
        return;
      }
      for (int x : sets[m]) {
        if (std::find(chosen.begin(), chosen.end(), x) != chosen.end()) continue;
        chosen.push_back(x);
        assign(m + 1, weight * weights[m][x]);
        chosen.pop_back();
      }
    };
    assign(0, 1);
    U128 result;
    if (!count.evaluateWeighted(sums.data(), &result)) {
      // Refused only where the product of the members' sums could reach 2^124.
      long double bound = 1;
      for (int m = 0; m < members; ++m) bound *= static_cast<long double>(sums[m]);
      ASSERT_GE(bound, 0x1p124L) << "round " << round;
      continue;
    }
    ASSERT_TRUE(result == expected) << "round " << round;
  }
}
