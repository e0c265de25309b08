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
    ASSERT_EQ(value.count, directCount(groupOfMember, sets)) << "round " << round;
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
    ASSERT_EQ(count.evaluate(&size).count, directCount(std::vector<int>(members, 0), sets, precedences))
        << "round " << round;
  }
  InjectiveCount count;
  EXPECT_FALSE(count.build({0, 1}, {{0, 1}}));
  // C(2^32 - 1, 3) passes 2^64; C(2^22, 3) does not.
  ASSERT_TRUE(count.build({0, 0, 0}, {{0, 1}, {1, 2}}));
  const uint64_t big = (uint64_t{1} << 32) - 1, small = uint64_t{1} << 22;
  EXPECT_TRUE(count.evaluate(&big).huge);
  const unsigned __int128 expected = static_cast<unsigned __int128>(small) * (small - 1) * (small - 2) / 6;
  EXPECT_EQ(count.evaluate(&small).count, static_cast<uint64_t>(expected));
  EXPECT_FALSE(count.evaluate(&small).huge);
}

TEST(InjectiveCount, ReproducesClosedForms) {
  InjectiveCount count;
  // One group: a falling factorial, zero when the set is too small.
  ASSERT_TRUE(count.build({0, 0, 0}));
  uint64_t ten = 10, two = 2;
  EXPECT_EQ(count.evaluate(&ten).count, 720u);
  EXPECT_EQ(count.evaluate(&two).count, 0u);
  // Two groups of one member each: |A| |B| - |A n B|.
  ASSERT_TRUE(count.build({0, 1}));
  ASSERT_EQ(count.subsets().size(), 3u);
  std::vector<uint64_t> sizes{5, 7, 3};
  EXPECT_EQ(count.evaluate(sizes.data()).count, 32u);
  // Two members on disjoint sets of one element, one member on their union: 2 ways.
  ASSERT_TRUE(count.build({0, 1, 2}));
  std::vector<std::set<int>> sets{{1}, {2}, {1, 2, 3}};
  sizes = intersectionSizes(count, sets);
  EXPECT_EQ(count.evaluate(sizes.data()).count, 1u);
  // No members: the empty assignment.
  ASSERT_TRUE(count.build({}));
  EXPECT_EQ(count.evaluate(nullptr).count, 1u);
  EXPECT_FALSE(count.build(std::vector<int>(InjectiveCount::maxMembers + 1, 0)));
}

TEST(InjectiveCount, LargeSizesAreExactOrReportedHuge) {
  InjectiveCount count;
  // ff(2^32 - 1, 2) fits in 64 bits; ff(2^32 - 1, 3) does not.
  const uint64_t big = (uint64_t{1} << 32) - 1;
  ASSERT_TRUE(count.build({0, 0}));
  EXPECT_EQ(count.evaluate(&big).count, big * (big - 1));
  EXPECT_FALSE(count.evaluate(&big).huge);
  ASSERT_TRUE(count.build({0, 0, 0}));
  EXPECT_TRUE(count.evaluate(&big).huge);
  EXPECT_EQ(count.evaluate(&big).count, UINT64_MAX);

  // Three members share a set of two elements: no assignment, however large the other sets are,
  // although the terms pass 2^128 (the wide sum).
  ASSERT_TRUE(count.build({0, 0, 0, 1, 1, 2, 3}));
  std::vector<uint64_t> sizes;
  for (uint32_t mask : count.subsets()) sizes.push_back(mask == 1 ? 2 : (mask & 1) ? 0 : big);
  InjectiveCount::Value value = count.evaluate(sizes.data());
  EXPECT_FALSE(value.huge);
  EXPECT_EQ(value.count, 0u);
  // Disjoint large sets: the product, far beyond 2^64.
  for (size_t i = 0; i < sizes.size(); ++i) sizes[i] = __builtin_popcount(count.subsets()[i]) == 1 ? big : 0;
  value = count.evaluate(sizes.data());
  EXPECT_TRUE(value.huge);
  // Two members each on a set of 2^31 elements that are one set: exact below 2^64.
  ASSERT_TRUE(count.build({0, 1}));
  const uint64_t half = uint64_t{1} << 31;
  sizes = {half, half, half};
  value = count.evaluate(sizes.data());
  EXPECT_FALSE(value.huge);
  EXPECT_EQ(value.count, half * (half - 1));
}
