// StatsWriter: the line format of a statistics file, the raw holding of a listing that the limit
// may still delete (and its spill past rawBound), discarding, reuse across listings and write errors.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <random>
#include <string>
#include <vector>

#include "stats_writer.h"
#include "test_support.h"

namespace {

using Embeddings = std::vector<std::vector<int>>;

// The listing as the format defines it: decimal ids, tab-separated, one line each.
std::string formatted(const Embeddings& embeddings) {
  std::string text;
  for (const auto& embedding : embeddings) {
    for (size_t i = 0; i < embedding.size(); ++i) text += (i ? "\t" : "") + std::to_string(embedding[i]);
    text += '\n';
  }
  return text;
}

Embeddings randomEmbeddings(std::mt19937& random, size_t count, int width) {
  Embeddings embeddings(count, std::vector<int>(width));
  for (auto& embedding : embeddings) {
    for (int& v : embedding) {
      v = random() % 16 == 0 ? INT_MIN + static_cast<int>(random() % 3) : static_cast<int>(random());
    }
  }
  return embeddings;
}

off_t sizeOnDisk(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? info.st_size : -1;
}

// A file opened for writing, truncated, and closed at the end of its scope.
class OutputFile {
 public:
  explicit OutputFile(const std::string& path) : fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)) {}
  ~OutputFile() { close(fd); }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  const int fd;
};

StatsWriter::Mode modeFor(bool mayBeDeleted) {
  return mayBeDeleted ? StatsWriter::Mode::held : StatsWriter::Mode::buffered;
}

class StatsWriterTest : public testing::Test {
 protected:
  // One listing written through the writer into a fresh file; returns the file's content.
  std::string write(const Embeddings& embeddings, int width, bool mayBeDeleted, size_t rawBound) {
    {
      OutputFile file(path);
      writer.rawBound = rawBound;
      writer.begin(file.fd, path, width, modeFor(mayBeDeleted));
      for (const auto& embedding : embeddings) writer.add(embedding.data());
      writer.finish();
    }
    return readFile(path);
  }

  TempDir dir;
  std::string path = dir.file("stats/0");
  StatsWriter writer;
};

}  // namespace

TEST_F(StatsWriterTest, WritesTabSeparatedDecimalLines) {
  const Embeddings pairs{{0, 1}, {0, 2}, {1, 2}};
  EXPECT_EQ(write(pairs, 2, false, 1 << 20), "0\t1\n0\t2\n1\t2\n");
  const Embeddings extremes{{0, INT_MIN, INT_MAX}, {-1, 10, 999999}};
  EXPECT_EQ(write(extremes, 3, true, 1 << 20), "0\t-2147483648\t2147483647\n-1\t10\t999999\n");
  EXPECT_EQ(write({{4}, {7}}, 1, false, 1 << 20), "4\n7\n");  // one field for a single vertex
  EXPECT_EQ(write({}, 3, true, 1 << 20), "");
}

TEST_F(StatsWriterTest, EveryBoundAndBufferSizeGivesTheSameListing) {
  std::mt19937 random(3);
  for (int width : {1, 5, 12000, 200000}) {
    // Narrow embeddings give about 3 MB of text, past the 2 MiB text buffer; the widest lines are
    // each longer than it.
    const size_t count = width >= 12000 ? 3 : (size_t{3} << 20) / (width * 10);
    const Embeddings embeddings = randomEmbeddings(random, count, width);
    const std::string expected = formatted(embeddings);
    const size_t embeddingBytes = sizeof(int) * width;
    for (size_t bound : {size_t{0}, embeddingBytes - 1, embeddingBytes, 7 * embeddingBytes, count * embeddingBytes,
                         count * embeddingBytes + 1, size_t{64} << 20}) {
      EXPECT_EQ(write(embeddings, width, true, bound), expected) << "width " << width << " bound " << bound;
    }
    EXPECT_EQ(write(embeddings, width, false, 0), expected) << "width " << width;
  }
}

// A search tells the writer where each embedding may start to differ from the previous one; the
// writer holds only that part. Any valid hint (the true position or an earlier one) gives the same
// listing, whatever the bound, negative ids included.
TEST_F(StatsWriterTest, HintedEmbeddingsGiveTheSameListing) {
  std::mt19937 random(5);
  for (int width : {1, 2, 8}) {
    Embeddings embeddings;
    std::vector<size_t> hints;
    std::vector<int> current(width);
    for (int i = 0; i < 50000; ++i) {
      const size_t from = random() % 4 != 0 ? width - 1 : random() % width;
      for (size_t j = from; j < static_cast<size_t>(width); ++j) {
        current[j] = random() % 64 == 0 ? -1 - static_cast<int>(random() % 5) : static_cast<int>(random() % 100000);
      }
      embeddings.push_back(current);
      hints.push_back(random() % 8 == 0 ? random() % (from + 1) : from);
    }
    const std::string expected = formatted(embeddings);
    for (size_t bound : {size_t{0}, size_t{40}, size_t{4096}, size_t{64} << 20}) {
      {
        OutputFile file(path);
        writer.rawBound = bound;
        writer.begin(file.fd, path, width, StatsWriter::Mode::held);
        for (size_t i = 0; i < embeddings.size(); ++i) writer.add(embeddings[i].data(), hints[i]);
        writer.finish();
      }
      EXPECT_EQ(readFile(path), expected) << "width " << width << " bound " << bound;
    }
  }
}

TEST_F(StatsWriterTest, HeldListingReachesTheFileOnlyAtFinish) {
  std::mt19937 random(4);
  const Embeddings embeddings = randomEmbeddings(random, 200000, 3);  // about 6 MB of text
  {
    OutputFile file(path);
    writer.begin(file.fd, path, 3, StatsWriter::Mode::held);
    for (const auto& embedding : embeddings) writer.add(embedding.data());
    EXPECT_EQ(sizeOnDisk(path), 0) << "held raw, nothing formatted or written";
    writer.finish();
    EXPECT_EQ(sizeOnDisk(path), static_cast<off_t>(formatted(embeddings).size()));
  }
  // Past the bound the listing spills and goes out in large writes before the end.
  {
    OutputFile file(path);
    writer.rawBound = 1000 * 3 * sizeof(int);
    writer.begin(file.fd, path, 3, StatsWriter::Mode::held);
    for (const auto& embedding : embeddings) writer.add(embedding.data());
    EXPECT_GT(sizeOnDisk(path), 0);
    writer.finish();
  }
  EXPECT_EQ(readFile(path), formatted(embeddings));
}

// The plain search's mode: every line is in the file as soon as it is added, and the listing is the
// same as in the other modes.
TEST_F(StatsWriterTest, EachLineModeWritesEveryLineAtOnce) {
  const Embeddings embeddings{{1, 2, 3}, {1, 2, 40}, {-7, 0, 1}};
  {
    OutputFile file(path);
    writer.begin(file.fd, path, 3, StatsWriter::Mode::eachLine);
    off_t written = 0;
    for (const auto& embedding : embeddings) {
      writer.add(embedding.data());
      EXPECT_GT(sizeOnDisk(path), written);
      written = sizeOnDisk(path);
    }
    EXPECT_TRUE(writer.wroteAny());
    writer.finish();
  }
  EXPECT_EQ(readFile(path), formatted(embeddings));
}

TEST_F(StatsWriterTest, DiscardDropsWhatIsPendingAndTheWriterStartsAfresh) {
  {
    OutputFile file(path);
    for (bool mayBeDeleted : {true, false}) {
      writer.begin(file.fd, path, 2, modeFor(mayBeDeleted));
      const int dropped[] = {8, 9};
      writer.add(dropped);
      writer.add(dropped);
      writer.discard();
    }
    writer.begin(file.fd, path, 3, StatsWriter::Mode::buffered);
    const int kept[] = {1, 2, 3};
    writer.add(kept);
    writer.finish();
  }
  EXPECT_EQ(readFile(path), "1\t2\t3\n");
}

namespace {

void writeOneLineTo(const char* path) {
  stdoutToStderr();
  OutputFile file(path);
  StatsWriter writer;
  writer.begin(file.fd, "stats/4", 2, StatsWriter::Mode::buffered);
  const int embedding[] = {1, 2};
  writer.add(embedding);
  writer.finish();
}

}  // namespace

TEST(StatsWriterDeathTest, AWriteErrorEndsTheRunWithAMessage) {
  EXPECT_EXIT(writeOneLineTo("/dev/full"), testing::ExitedWithCode(255),
              "^Stats cannot write stats/4: No space left on device\n$");
}

TEST_F(StatsWriterTest, LinesSharingPrefixesReuseNoStaleText) {
  // Consecutive lines share prefixes of every length, with ids whose texts change length and sign at
  // the first differing position, so a copied prefix that ran one byte long or short would show.
  std::mt19937 random(9);
  const int values[] = {0, 7, 10, 99, 100, -1, -10, INT_MIN, INT_MAX, 123456};
  Embeddings embeddings;
  std::vector<int> current(6, 0);
  for (int line = 0; line < 20000; ++line) {
    const size_t from = random() % current.size();
    for (size_t i = from; i < current.size(); ++i) current[i] = values[random() % 10];
    embeddings.push_back(current);
  }
  const std::string expected = formatted(embeddings);
  EXPECT_EQ(write(embeddings, 6, false, 1 << 20), expected);
  // Held raw and spilled at every kind of boundary: before the
  // first, inside a record, between records, and never.
  for (size_t bound : {size_t{0}, size_t{4}, size_t{8}, size_t{28}, size_t{29}, size_t{1} << 10, size_t{1} << 20}) {
    EXPECT_EQ(write(embeddings, 6, true, bound), expected) << "bound " << bound;
  }
  // Equal consecutive lines (which a search never lists) are still written out.
  EXPECT_EQ(write({{1, 2}, {1, 2}, {1, 3}}, 2, false, 1 << 20), "1\t2\n1\t2\n1\t3\n");
  EXPECT_EQ(write({{1, 2}, {1, 2}, {1, 3}}, 2, true, 1 << 20), "1\t2\n1\t2\n1\t3\n");
}
