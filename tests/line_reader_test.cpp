// LineReader: the bytes between newlines as lines, the last line without a newline, line numbers,
// lines longer than the buffer, and the open failures that the readers turn into messages.
#include <gtest/gtest.h>

#include <cerrno>
#include <random>
#include <string>
#include <vector>

#include "line_reader.h"
#include "test_support.h"

namespace {

using Lines = std::vector<std::string>;

// Every line of the file, checking the line number that comes with each.
Lines readAll(const std::string& path) {
  LineReader reader;
  EXPECT_TRUE(reader.open(path.c_str())) << path;
  Lines lines;
  std::string_view line;
  LineReader::Status status;
  while ((status = reader.next(&line)) == LineReader::Status::line) {
    lines.emplace_back(line);
    EXPECT_EQ(reader.lineNumber(), static_cast<long long>(lines.size()));
  }
  EXPECT_EQ(status, LineReader::Status::end);
  EXPECT_EQ(reader.next(&line), LineReader::Status::end) << "the end stays the end";
  return lines;
}

}  // namespace

TEST(LineReader, SplitsAtNewlinesOnly) {
  TempDir dir;
  struct Case {
    std::string content;
    Lines lines;
  };
  const Case cases[] = {
      {"", {}},
      {"a\nb\n", {"a", "b"}},
      {"a\nb", {"a", "b"}},  // the last line needs no newline
      {"\n", {""}},
      {"\n\n", {"", ""}},
      {"a\n\nb", {"a", "", "b"}},
      {"v 0 5\r\ne 0 1\r\n", {"v 0 5\r", "e 0 1\r"}},  // carriage returns belong to the line
      {"x\ty \n", {"x\ty "}},
      {std::string("a\0b\nc", 5), {std::string("a\0b", 3), "c"}},
  };
  for (const Case& c : cases) {
    writeFile(dir.file("f"), c.content);
    EXPECT_EQ(readAll(dir.file("f")), c.lines) << testing::PrintToString(c.content);
  }
}

TEST(LineReader, LinesLongerThanTheBufferAndAcrossItsBoundary) {
  TempDir dir;
  // Lines of random lengths, a few of them several MiB, so that lines straddle buffer refills and
  // the buffer has to grow.
  std::mt19937 random(5);
  Lines expected;
  std::string content;
  size_t total = 0;
  while (total < (size_t{5} << 20)) {
    size_t length = random() % 300;
    if (expected.size() % 2000 == 999) length = (size_t{1} << 20) + random() % (size_t{2} << 20);
    std::string line(length, 'x');
    for (size_t i = 0; i < length; i += 97) line[i] = static_cast<char>('a' + expected.size() % 26);
    content += line + '\n';
    total += length + 1;
    expected.push_back(std::move(line));
  }
  content += std::string(3 << 20, 'z');  // a long last line without a newline
  expected.push_back(std::string(3 << 20, 'z'));
  writeFile(dir.file("f"), content);
  const Lines lines = readAll(dir.file("f"));
  ASSERT_EQ(lines.size(), expected.size());
  for (size_t i = 0; i < lines.size(); ++i) ASSERT_EQ(lines[i], expected[i]) << "line " << i + 1;
}

TEST(LineReader, OpenFailsOnAMissingFileAndOnADirectory) {
  TempDir dir;
  LineReader missing;
  EXPECT_FALSE(missing.open(dir.file("absent").c_str()));
  EXPECT_EQ(missing.error(), ENOENT);
  std::string_view line;
  EXPECT_EQ(missing.next(&line), LineReader::Status::error);

  LineReader directory;
  EXPECT_FALSE(directory.open(dir.file("stats").c_str()));
  EXPECT_EQ(directory.error(), EISDIR);
}

TEST(LineReader, ReportsAReadErrorApartFromTheEnd) {
  // Reading this process's memory file at offset 0 fails with EIO: a file that opens but cannot be read.
  LineReader reader;
  ASSERT_TRUE(reader.open("/proc/self/mem"));
  std::string_view line;
  EXPECT_EQ(reader.next(&line), LineReader::Status::error);
  EXPECT_EQ(reader.error(), EIO);
  EXPECT_EQ(reader.lineNumber(), 0);
}
