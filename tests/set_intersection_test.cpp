// The intersection kernels against std::set_intersection on random ascending lists of every size
// class the dispatch distinguishes (merge, vector blocks with tails, galloping either way).
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <random>

#include "set_intersection.h"

namespace {

std::vector<int> ascending(std::mt19937& random, size_t size, int universe) {
  std::vector<int> values(size);
  for (int& value : values) value = static_cast<int>(random() % static_cast<uint32_t>(universe)) - universe / 3;
  std::sort(values.begin(), values.end());
  values.erase(std::unique(values.begin(), values.end()), values.end());
  return values;
}

}  // namespace

TEST(SetIntersection, AllKernelsAgreeWithTheStandardAlgorithm) {
  std::mt19937 random(3);
  const size_t sizes[] = {0, 1, 7, 8, 9, 15, 16, 17, 40, 100, 1000};
  for (int round = 0; round < 40; ++round) {
    for (size_t sizeA : sizes) {
      for (size_t sizeB : sizes) {
        const int universe = 1 + static_cast<int>(random() % 3000);
        std::vector<int> a = ascending(random, sizeA, universe), b = ascending(random, sizeB, universe);
        std::vector<int> expected;
        std::set_intersection(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(expected));

        std::vector<int> out(std::min(a.size(), b.size()) + 8);
        out.resize(intersectInto(a.data(), a.size(), b.data(), b.size(), out.data()));
        EXPECT_EQ(out, expected) << sizeA << " x " << sizeB;

        std::vector<int> merged(std::min(a.size(), b.size()) + 1);
        merged.resize(intersectMerge(a.data(), a.size(), b.data(), b.size(), merged.data()));
        EXPECT_EQ(merged, expected);

        std::vector<int> inPlace = a;
        inPlace.resize(intersectInPlace(inPlace.data(), inPlace.size(), b.data(), b.data() + b.size()));
        EXPECT_EQ(inPlace, expected);
      }
    }
  }
}

TEST(SetIntersection, GallopToFindsTheFirstElementNotBelow) {
  const std::vector<int> values{-5, -1, 0, 3, 3, 8, 13, 21};
  for (int x = -7; x <= 23; ++x) {
    const int* found = gallopTo(values.data(), values.data() + values.size(), x);
    EXPECT_EQ(found - values.data(), std::lower_bound(values.begin(), values.end(), x) - values.begin()) << x;
  }
}
