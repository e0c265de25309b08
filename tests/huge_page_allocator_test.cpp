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

// A vector that leaves new elements unwritten still keeps what it holds when it grows, writes the
// values it is given, and, for blocks mapped from the kernel, starts from zeros.
TEST(UnwrittenHugeVectorTest, KeepsContentsAcrossGrowthAndWritesGivenValues) {
  UnwrittenHugeVector<int> values;
  for (int i = 0; i < 1000; ++i) values.push_back(i * 3);
  values.resize(size_t{3} << 20);  // past the size from which blocks are mapped
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(values[static_cast<size_t>(i)], i * 3);
  EXPECT_TRUE(std::all_of(values.begin() + 1000, values.end(), [](int v) { return v == 0; }));
  values.resize(values.size() + 10, 7);
  EXPECT_TRUE(std::all_of(values.end() - 10, values.end(), [](int v) { return v == 7; }));
  UnwrittenHugeVector<uint64_t> copy(4, 9);
  EXPECT_EQ(copy, UnwrittenHugeVector<uint64_t>({9, 9, 9, 9}));
}
