// SplitStringUsing on both of its paths, and the two sorted-set operations against the standard
// library's algorithms on random multisets.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <random>

#include "string_split.h"

namespace {

std::vector<std::string> split(const std::string& text, const char* delim) {
  std::vector<std::string> tokens{"stale"};
  SplitStringUsing(text, delim, &tokens);
  return tokens;
}

using Tokens = std::vector<std::string>;

}  // namespace

TEST(SplitStringUsing, RunsOfOneDelimiterSeparateLikeOne) {
  EXPECT_EQ(split("v 0 5", " "), (Tokens{"v", "0", "5"}));
  EXPECT_EQ(split("   v   0  5  ", " "), (Tokens{"v", "0", "5"}));
  EXPECT_EQ(split("", " "), Tokens{});
  EXPECT_EQ(split("     ", " "), Tokens{});
  EXPECT_EQ(split("v\t0\t5", " "), Tokens{"v\t0\t5"});
  EXPECT_EQ(split("v 0 5\r", " "), (Tokens{"v", "0", "5\r"}));
}

TEST(SplitStringUsing, KeyValueArguments) {
  EXPECT_EQ(split("data=x", "="), (Tokens{"data", "x"}));
  EXPECT_EQ(split("data=", "="), Tokens{"data"});
  EXPECT_EQ(split("data==x", "="), (Tokens{"data", "x"}));
  EXPECT_EQ(split("=data=x", "="), (Tokens{"data", "x"}));
  EXPECT_EQ(split("a=b=c", "="), (Tokens{"a", "b", "c"}));
}

TEST(SplitStringUsing, SeveralDelimitersAndNone) {
  EXPECT_EQ(split("a b=c  ==d", " ="), (Tokens{"a", "b", "c", "d"}));
  EXPECT_EQ(split(" =a", " ="), Tokens{"a"});
  EXPECT_EQ(split("a b", ""), Tokens{"a b"});
  EXPECT_EQ(split("", ""), Tokens{});
  EXPECT_EQ(split("1\t\t2\t", "\t"), (Tokens{"1", "2"}));
}

TEST(SplitStringUsing, BothPathsAgreeOnRandomText) {
  std::mt19937 random(7);
  for (int round = 0; round < 2000; ++round) {
    std::string text;
    int length = random() % 20;
    for (int i = 0; i < length; ++i) text += "ab =\t"[random() % 5];
    // The one-character path against the general path, which treats "==" as the set {=}.
    EXPECT_EQ(split(text, " "), split(text, "  ")) << text;
    EXPECT_EQ(split(text, "="), split(text, "==")) << text;
  }
}

TEST(VectorIntersection, KeepsTheSmallerMultiplicity) {
  EXPECT_EQ(vector_intersection({1, 3, 5, 7}, {3, 4, 5}), (std::vector<int>{3, 5}));
  EXPECT_EQ(vector_intersection({}, {3, 4}), std::vector<int>{});
  EXPECT_EQ(vector_intersection({3, 4}, {}), std::vector<int>{});
  EXPECT_EQ(vector_intersection({1, 1, 2}, {1, 1, 1}), (std::vector<int>{1, 1}));
  EXPECT_EQ(vector_intersection({2, 2}, {2}), (std::vector<int>{2}));
}

TEST(VectorMinus, SortsItsOwnCopyOfTheSubtrahend) {
  std::vector<int> minuend{1, 2, 3, 4}, subtrahend{4, 1};
  EXPECT_EQ(vector_minus(minuend, subtrahend), (std::vector<int>{2, 3}));
  EXPECT_EQ(subtrahend, (std::vector<int>{4, 1}));
  EXPECT_EQ(vector_minus({1, 1, 2}, {1}), (std::vector<int>{1, 2}));
  EXPECT_EQ(vector_minus({1}, {1, 1}), std::vector<int>{});
  EXPECT_EQ(vector_minus({5, 6}, {}), (std::vector<int>{5, 6}));
  EXPECT_EQ(vector_minus({}, {1, 2}), std::vector<int>{});
  EXPECT_EQ(vector_minus({5, 6}, {1, 2, 3}), (std::vector<int>{5, 6}));
}

TEST(SortedSetOperations, MatchTheStandardAlgorithmsOnRandomMultisets) {
  std::mt19937 random(11);
  for (int round = 0; round < 3000; ++round) {
    std::vector<int> a(random() % 12), b(random() % 12);
    for (int& x : a) x = static_cast<int>(random() % 10) - 3;
    for (int& x : b) x = static_cast<int>(random() % 10) - 3;
    std::sort(a.begin(), a.end());
    std::vector<int> sortedB = b;
    std::sort(sortedB.begin(), sortedB.end());
    std::vector<int> common, difference;
    std::set_intersection(a.begin(), a.end(), sortedB.begin(), sortedB.end(), std::back_inserter(common));
    std::set_difference(a.begin(), a.end(), sortedB.begin(), sortedB.end(), std::back_inserter(difference));
    EXPECT_EQ(vector_intersection(a, sortedB), common);
    EXPECT_EQ(vector_minus(a, b), difference);
  }
}
