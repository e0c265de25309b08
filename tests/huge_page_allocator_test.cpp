// ZeroedArray: every size and small-page prefix gives an array of zeros that can be written end to
// end, whose part past the prefix starts on a huge page boundary, and which starts afresh on reset.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>

#include "huge_page_allocator.h"

TEST(ZeroedArrayTest, EverySizeAndPrefixIsZeroedWritableAndPlaced) {
  constexpr size_t hugePage = size_t{2} << 20;
  ZeroedArray<int> array;
  EXPECT_EQ(array.size(), 0u);
  for (size_t n : {size_t{1}, size_t{1000}, hugePage / sizeof(int) - 1, hugePage / sizeof(int),
                   hugePage / sizeof(int) + 3, 3 * hugePage / sizeof(int) + 5}) {
    for (size_t prefix : {size_t{0}, size_t{1}, size_t{4096}, size_t{32} << 10, hugePage, 4 * hugePage}) {
      array.reset(n, prefix);
      ASSERT_EQ(array.size(), n);
      EXPECT_EQ(array[0], 0);
      EXPECT_EQ(array[n - 1], 0);
      for (size_t i = 0; i < n; i += 997) EXPECT_EQ(array[i], 0) << n << " " << prefix << " " << i;
      for (size_t i = 0; i < n; i += 1024) array[i] = static_cast<int>(i);
      array[n - 1] = -1;
      const size_t bytes = n * sizeof(int);
      const size_t small = std::min(bytes, (prefix + 4095) / 4096 * 4096);
      if (small != 0) {
        const auto boundary = reinterpret_cast<uintptr_t>(array.data()) + small;
        EXPECT_EQ(boundary % hugePage, 0u) << n << " " << prefix;
      }
    }
  }
  array.reset(8);
  for (size_t i = 0; i < 8; ++i) EXPECT_EQ(array[i], 0);
  array.reset(0);
  EXPECT_EQ(array.size(), 0u);
}
