// sortShort against std::sort on every length up to and past the network's limit, with values that
// repeat, run to both ends of the int range (the padding value among them) or come already ordered.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <random>
#include <vector>

#include "short_sort.h"

namespace {

void expectSorts(std::vector<int> values, const char* what) {
  std::vector<int> expected = values;
  std::sort(expected.begin(), expected.end());
  // Guard values around the run catch stores past its end.
  std::vector<int> buffer(values.size() + 16, -7);
  std::copy(values.begin(), values.end(), buffer.begin() + 8);
  sortShort(buffer.data() + 8, values.size());
  ASSERT_EQ(std::vector<int>(buffer.begin() + 8, buffer.begin() + 8 + static_cast<long>(values.size())), expected)
      << what << ", " << values.size() << " values";
  for (int i = 0; i < 8; ++i) {
    ASSERT_EQ(buffer[i], -7) << what;
    ASSERT_EQ(buffer[buffer.size() - 1 - i], -7) << what;
  }
}

TEST(ShortSort, SortsEveryLengthLikeStdSort) {
  std::mt19937 random(3);
  for (size_t length = 0; length <= shortSortLimit + 4; ++length) {
    for (int round = 0; round < 2000; ++round) {
      std::vector<int> values(length);
      const int spread = round % 3 == 0 ? 3 : 1000000;
      for (int& value : values) value = static_cast<int>(random() % spread);
      expectSorts(values, "random");
    }
  }
}

TEST(ShortSort, SortsExtremesAndOrderedRuns) {
  for (size_t length = 0; length <= shortSortLimit + 4; ++length) {
    std::vector<int> values(length);
    for (size_t i = 0; i < length; ++i) values[i] = static_cast<int>(i);
    expectSorts(values, "ascending");
    std::reverse(values.begin(), values.end());
    expectSorts(values, "descending");
    for (size_t i = 0; i < length; ++i) values[i] = i % 2 == 0 ? INT_MAX : INT_MIN + static_cast<int>(i);
    expectSorts(values, "extremes");
    std::fill(values.begin(), values.end(), INT_MAX);
    expectSorts(values, "all largest");
  }
}

}  // namespace
