// PairLineReader: plain pairs read at once and every other line handed back whole, numbers of every
// length from 1 to 20 digits at every offset, lines longer than a block, files of many blocks.
#include "pair_line_reader.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using Kind = PairLineReader::Kind;

// What next() returned for one line.
struct Read {
  Kind kind;
  uint64_t first = 0, second = 0;
  std::string line;
  long long lineNumber = 0;

  bool operator==(const Read& other) const {
    return kind == other.kind && line == other.line && lineNumber == other.lineNumber &&
           (kind != Kind::pair || (first == other.first && second == other.second));
  }
};

std::ostream& operator<<(std::ostream& out, const Read& read) {
  return out << static_cast<int>(read.kind) << " " << read.first << " " << read.second << " \"" << read.line
             << "\" line " << read.lineNumber;
}

std::vector<Read> readAll(const std::string& path) {
  PairLineReader reader;
  EXPECT_TRUE(reader.open(path.c_str()));
  std::vector<Read> reads;
  for (;;) {
    Read read;
    std::string_view line;
    read.kind = reader.next(&read.first, &read.second, &line);
    if (read.kind == Kind::end || read.kind == Kind::error) break;
    read.line = std::string(line);
    read.lineNumber = reader.lineNumber();
    reads.push_back(read);
  }
  return reads;
}

Read pair(uint64_t first, uint64_t second, const std::string& line, long long lineNumber) {
  return {Kind::pair, first, second, line, lineNumber};
}

Read other(const std::string& line, long long lineNumber) { return {Kind::line, 0, 0, line, lineNumber}; }

}  // namespace

TEST(PairLineReader, ReadsPlainPairsAndHandsEveryOtherLineBack) {
  TempDir dir;
  const std::string file = dir.file("edges");
  writeFile(file,
            "1 2\n10\t20\n3 4\r\n5 6 0.5\n7 8\tx\n 9 10\n9,10\n# 1 2\n\n1  2\n12abc 3\n1 2abc\n"
            "-1 2\n1 2,\n4294967296 18446744073709551615\n11 12");
  const std::vector<Read> expected = {
      pair(1, 2, "1 2", 1),      pair(10, 20, "10\t20", 2),
      pair(3, 4, "3 4", 3),  // the carriage return is not part of the numbers' line
      pair(5, 6, "5 6 0.5", 4),  pair(7, 8, "7 8\tx", 5),
      other(" 9 10", 6),         other("9,10", 7),
      other("# 1 2", 8),         other("", 9),
      other("1  2", 10),         other("12abc 3", 11),
      other("1 2abc", 12),       other("-1 2", 13),
      other("1 2,", 14),         other("4294967296 18446744073709551615", 15),  // 20 digits: left to the careful reader
      pair(11, 12, "11 12", 16),
  };
  EXPECT_EQ(readAll(file), expected);
}

TEST(PairLineReader, ReadsNumbersOfEveryLengthAtEveryOffset) {
  TempDir dir;
  const std::string file = dir.file("numbers");
  std::string text;
  std::vector<Read> expected;
  const std::string digits = "9081726354453627180";
  long long line = 0;
  for (size_t length = 1; length <= 19; ++length) {
    for (size_t pad = 0; pad < 9; ++pad) {
      // The padding line shifts the next line's offset within the buffer.
      const std::string padding(pad, 'x');
      text += padding + "\n";
      expected.push_back(other(padding, ++line));
      // The second number has a leading zero, and one digit more, where that stays within 19.
      const std::string first = digits.substr(0, length);
      const std::string second = (length < 19 ? "0" : "") + digits.substr(19 - length);
      text += first + " " + second + "\n";
      expected.push_back(pair(std::stoull(first), std::stoull(second), first + " " + second, ++line));
    }
  }
  writeFile(file, text);
  EXPECT_EQ(readAll(file), expected);
}

TEST(PairLineReader, ReadsLinesLongerThanABlockAndFilesOfManyBlocks) {
  TempDir dir;
  const std::string file = dir.file("long");
  // The first block of a file this small is 4 KiB; the comment line needs it to grow.
  const std::string comment = "#" + std::string(10000, 'c');
  writeFile(file, "1 2\n" + comment + "\n3 4\n" + comment);
  EXPECT_EQ(readAll(file),
            (std::vector<Read>{pair(1, 2, "1 2", 1), other(comment, 2), pair(3, 4, "3 4", 3), other(comment, 4)}));

  // About 3 MiB: lines cross the 1 MiB block boundaries at every position.
  std::string text;
  std::vector<Read> expected;
  for (long long i = 1; i <= 250000; ++i) {
    const uint64_t u = static_cast<uint64_t>(i) * 7919 % 1000003, v = static_cast<uint64_t>(i) * 104729;
    const std::string line = std::to_string(u) + (i % 3 == 0 ? "\t" : " ") + std::to_string(v);
    text += line + "\n";
    expected.push_back(pair(u, v, line, i));
  }
  writeFile(file, text);
  EXPECT_EQ(readAll(file), expected);
}

TEST(PairLineReader, RefusesMissingFilesAndDirectoriesAndEndsEmptyFiles) {
  TempDir dir;
  PairLineReader missing;
  EXPECT_FALSE(missing.open(dir.file("absent").c_str()));
  EXPECT_EQ(missing.error(), ENOENT);
  PairLineReader directory;
  EXPECT_FALSE(directory.open(dir.path().c_str()));
  EXPECT_EQ(directory.error(), EISDIR);

  writeFile(dir.file("empty"), "");
  PairLineReader empty;
  ASSERT_TRUE(empty.open(dir.file("empty").c_str()));
  uint64_t u, v;
  std::string_view line;
  EXPECT_EQ(empty.next(&u, &v, &line), Kind::end);
  EXPECT_EQ(empty.next(&u, &v, &line), Kind::end);
  EXPECT_EQ(empty.lineNumber(), 0);
}

TEST(PairLineReader, AReadErrorIsReportedNotTakenForTheEnd) {
  // /proc/self/mem opens but fails to read at offset 0.
  PairLineReader reader;
  ASSERT_TRUE(reader.open("/proc/self/mem"));
  uint64_t u, v;
  std::string_view line;
  EXPECT_EQ(reader.next(&u, &v, &line), Kind::error);
  EXPECT_EQ(reader.error(), EIO);
}
