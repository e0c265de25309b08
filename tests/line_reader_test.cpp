// LineReader: the bytes between newlines as lines, the last line without a newline, line numbers,
// lines longer than the buffer, and the open failures that the readers turn into messages.
#include <gtest/gtest.h>

#include <algorithm>
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

namespace {

// The lines of the byte ranges [cuts[i], cuts[i + 1]) of the file, read by one range reader each,
// through next() or through nextLines() split at newlines here.
Lines readRanges(const std::string& path, const std::vector<long long>& cuts, bool byRuns) {
  LineReader file;
  EXPECT_TRUE(file.open(path.c_str()));
  Lines lines;
  for (size_t i = 0; i + 1 < cuts.size(); ++i) {
    LineReader reader;
    reader.openRange(file.descriptor(), cuts[i], cuts[i + 1]);
    std::string_view text;
    if (!byRuns) {
      while (reader.next(&text) == LineReader::Status::line) lines.emplace_back(text);
      continue;
    }
    while (reader.nextLines(&text) == LineReader::Status::line) {
      EXPECT_FALSE(text.empty());
      size_t start = 0;
      while (start < text.size()) {
        size_t newline = text.find('\n', start);
        if (newline == std::string_view::npos) newline = text.size();
        lines.emplace_back(text.substr(start, newline - start));
        start = newline + 1;
      }
    }
  }
  return lines;
}

}  // namespace

// However a file is cut into ranges, and wherever a cut falls (at a newline, inside a line, inside a
// line longer than the buffer, past the end), every line is read exactly once, by the range in
// which it starts.
TEST(LineReader, RangesSplitAFileIntoItsLinesExactlyOnce) {
  TempDir dir;
  std::mt19937 random(11);
  for (int round = 0; round < 300; ++round) {
    std::string content;
    const int lineCount = static_cast<int>(random() % 12);
    for (int i = 0; i < lineCount; ++i) {
      const size_t length = random() % 20 == 0 ? 5000 + random() % 9000 : random() % 12;
      content += std::string(length, static_cast<char>('a' + i % 26));
      if (i + 1 < lineCount || random() % 2 == 0) content += random() % 5 == 0 ? "\r\n" : "\n";
    }
    writeFile(dir.file("f"), content);
    const Lines expected = readAll(dir.file("f"));
    const long long size = static_cast<long long>(content.size());
    std::vector<long long> cuts{0};
    const int pieces = 1 + static_cast<int>(random() % 7);
    for (int i = 1; i < pieces; ++i) cuts.push_back(size == 0 ? 0 : static_cast<long long>(random() % (size + 1)));
    cuts.push_back(size);
    std::sort(cuts.begin(), cuts.end());
    EXPECT_EQ(readRanges(dir.file("f"), cuts, false), expected) << "round " << round;
    EXPECT_EQ(readRanges(dir.file("f"), cuts, true), expected) << "round " << round;
  }
}

TEST(LineReader, NextLinesGivesWholeLinesOfALongFile) {
  TempDir dir;
  std::string content;
  for (int i = 0; i < 300000; ++i) content += std::to_string(i) + (i % 1000 == 0 ? std::string(3000, 'x') : "") + "\n";
  content += "last";
  writeFile(dir.file("f"), content);
  LineReader reader;
  ASSERT_TRUE(reader.open(dir.file("f").c_str()));
  std::string joined;
  std::string_view text;
  int runs = 0;
  while (reader.nextLines(&text) == LineReader::Status::line) {
    joined += text;
    ++runs;
    // Every run but the file's last ends at a newline.
    if (joined.size() < content.size()) {
      EXPECT_EQ(text.back(), '\n');
    }
  }
  EXPECT_EQ(joined, content);
  EXPECT_GT(runs, 1);
}

TEST(LineReader, ReopeningStartsAfreshAndReleasesTheFormerFile) {
  TempDir dir;
  writeFile(dir.file("a"), "1\n2\n3\n");
  writeFile(dir.file("b"), "x\n");
  auto openDescriptors = [] {
    int count = 0;
    for (const std::string& entry : listDirectory("/proc/self/fd")) count += entry.empty() ? 0 : 1;
    return count;
  };
  LineReader reader;
  const int before = openDescriptors();
  std::string_view line;
  for (int i = 0; i < 50; ++i) {
    ASSERT_TRUE(reader.open(dir.file("a").c_str()));
    ASSERT_EQ(reader.next(&line), LineReader::Status::line);
    ASSERT_TRUE(reader.open(dir.file("b").c_str()));
    ASSERT_EQ(reader.next(&line), LineReader::Status::line);
    EXPECT_EQ(line, "x");
    EXPECT_EQ(reader.lineNumber(), 1);
    EXPECT_EQ(reader.next(&line), LineReader::Status::end);
  }
  EXPECT_LE(openDescriptors(), before + 1);

  // A failed open forgets the file before it and names its own cause; a successful one clears it.
  EXPECT_FALSE(reader.open(dir.file("absent").c_str()));
  EXPECT_EQ(reader.error(), ENOENT);
  EXPECT_EQ(reader.next(&line), LineReader::Status::error);
  EXPECT_EQ(reader.error(), ENOENT);
  ASSERT_TRUE(reader.open(dir.file("a").c_str()));
  EXPECT_EQ(reader.error(), 0);
  EXPECT_EQ(reader.size(), 6);
  EXPECT_TRUE(reader.regular());

  LineReader unopened;
  EXPECT_EQ(unopened.next(&line), LineReader::Status::error);
  EXPECT_EQ(unopened.error(), EBADF);
}
