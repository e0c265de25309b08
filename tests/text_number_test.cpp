// The number parser of every reader: strtol semantics in base 10 on a character range, and the
// truncation to 32 bits that vertex ids, labels and the omark setting go through.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>

#include "text_number.h"

namespace {

constexpr int64_t int64Max = std::numeric_limits<int64_t>::max();
constexpr int64_t int64Min = std::numeric_limits<int64_t>::min();

struct LongCase {
  const char* text;
  int64_t expected;
};

}  // namespace

TEST(ParseLong, FollowsStrtol) {
  const LongCase cases[] = {
      {"", 0},
      {"   ", 0},
      {"0", 0},
      {"42", 42},
      {"007", 7},
      {"  42", 42},
      {" \t\n\v\f\r7", 7},
      {"+5", 5},
      {"-5", -5},
      {"- 5", 0},
      {"+-5", 0},
      {"--5", 0},
      {"12abc", 12},
      {"abc", 0},
      {"5\r", 5},
      {"5\t7", 5},
      {"3 4", 3},
      {"0x10", 0},
      {"1e5", 1},
      {"-0", 0},
      {"9223372036854775807", int64Max},
      {"9223372036854775808", int64Max},
      {"18446744073709551615", int64Max},
      {"99999999999999999999999999999", int64Max},
      {"-9223372036854775807", int64Min + 1},
      {"-9223372036854775808", int64Min},
      {"-9223372036854775809", int64Min},
      {"-99999999999999999999999999999", int64Min},
      {"000000000000000000000000000009", 9},
      {"999999999999999999", 999999999999999999},  // the longest run read without overflow checks
      {"-999999999999999999x", -999999999999999999},
      {"9999999999999999999", int64Max},
      {"1000000000000000000", 1000000000000000000},
  };
  for (const LongCase& c : cases) {
    EXPECT_EQ(parseLong(std::string(c.text)), c.expected) << '"' << c.text << '"';
    EXPECT_EQ(parseLong(std::string(c.text)), std::strtol(c.text, nullptr, 10)) << '"' << c.text << '"';
  }
}

TEST(ParseLong, ReadsNothingBeyondTheRange) {
  // The fast readers hand over a token inside a line, so the character after `end` must not count.
  const std::string line = "12345 -7";
  EXPECT_EQ(parseLong(line.data(), line.data() + 3), 123);
  EXPECT_EQ(parseLong(line.data(), line.data()), 0);
  EXPECT_EQ(parseLong(line.data() + 5, line.data() + 7), -0);
  EXPECT_EQ(parseLong(line.data() + 6, line.data() + 7), 0);  // a sign alone
  EXPECT_EQ(parseLong(line.data() + 6, line.data() + 8), -7);
}

TEST(ParseInt32, KeepsTheLow32Bits) {
  const LongCase cases[] = {
      {"2147483647", 2147483647},
      {"2147483648", -2147483648LL},
      {"4294967295", -1},
      {"4294967296", 0},
      {"4294967301", 5},
      {"-1", -1},
      {"-2147483648", -2147483648LL},
      {"-2147483649", 2147483647},
      {"-4294967291", 5},
      {"9223372036854775807", -1},   // saturated first, then truncated
      {"99999999999999999999", -1},
      {"-9223372036854775808", 0},
      {"-99999999999999999999", 0},
      {"yes", 0},
  };
  for (const LongCase& c : cases) {
    EXPECT_EQ(parseInt32(std::string(c.text)), c.expected) << '"' << c.text << '"';
    const std::string text = c.text;
    EXPECT_EQ(parseInt32(text.data(), text.data() + text.size()), c.expected) << '"' << c.text << '"';
  }
  EXPECT_EQ(truncateToInt32(int64_t{1} << 32 | 7), 7);
  EXPECT_EQ(truncateToInt32(int64Min), 0);
}

TEST(ParseLong, MatchesStrtolOnRandomText) {
  std::mt19937 random(2024);
  const std::string alphabet = " \t\r+-0123456789a";
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    if (round % 4 == 0) {
      // Long digit runs near the 64-bit limits, where saturation starts.
      text = std::string(random() % 3, ' ') + "+-"[random() % 2];
      const int digits = 17 + static_cast<int>(random() % 5);
      for (int i = 0; i < digits; ++i) text += static_cast<char>('0' + (i == 0 ? 9 : random() % 10));
    } else {
      const int length = static_cast<int>(random() % 26);
      for (int i = 0; i < length; ++i) text += alphabet[random() % alphabet.size()];
    }
    errno = 0;
    const long expected = std::strtol(text.c_str(), nullptr, 10);
    EXPECT_EQ(parseLong(text), expected) << '"' << text << '"';
    EXPECT_EQ(parseInt32(text), static_cast<int32_t>(static_cast<uint32_t>(expected))) << '"' << text << '"';
  }
}
