// Writing statistics lines: the tool's writer (to_chars into a large buffer, big writes) against
// ofstream << with and without a flush per line, for lines of 8 tab-separated ids; and holding a
// listing raw, which is what a listing that the limit may delete costs.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "stats_writer.h"

namespace {

constexpr int width = 8;
constexpr size_t lineCount = 1 << 16;

// Lines as a search lists them, in lexicographic order: each position keeps its id while the later
// ones run through a few candidates (four per position, the last three positions changing fastest).
std::vector<int> embeddings() {
  std::mt19937 random(7);
  std::vector<int> ids(lineCount * width);
  std::vector<int> digit(width, 0);
  std::vector<std::vector<int>> choices(width);
  for (auto& options : choices) {
    for (int i = 0; i < 4; ++i) options.push_back(static_cast<int>(random() % 2000000));
  }
  for (size_t line = 0; line < lineCount; ++line) {
    for (int j = 0; j < width; ++j) ids[line * width + j] = choices[j][digit[j]] + (j < 3 ? static_cast<int>(line >> 6) : 0);
    for (int j = width - 1; j >= 0 && ++digit[j] == 4; --j) digit[j] = 0;
  }
  return ids;
}

std::string scratchPath() {
  return (access("/dev/shm", W_OK) == 0 ? std::string("/dev/shm") : std::string("/tmp")) + "/sgmatch-bench-" +
         std::to_string(getpid());
}

void BM_StatsWriterFormatted(benchmark::State& state) {
  const std::vector<int> ids = embeddings();
  const std::string path = scratchPath();
  StatsWriter writer;
  for (auto _ : state) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    writer.begin(fd, path, width, StatsWriter::Mode::buffered);
    for (size_t i = 0; i < lineCount; ++i) writer.add(ids.data() + i * width);
    writer.finish();
    close(fd);
  }
  std::remove(path.c_str());
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * lineCount));
}

// The same lines written to /dev/null: the cost of formatting alone.
void BM_StatsWriterFormattedToDevNull(benchmark::State& state) {
  const std::vector<int> ids = embeddings();
  StatsWriter writer;
  const int fd = open("/dev/null", O_WRONLY);
  for (auto _ : state) {
    writer.begin(fd, "/dev/null", width, StatsWriter::Mode::buffered);
    for (size_t i = 0; i < lineCount; ++i) writer.add(ids.data() + i * width);
    writer.finish();
  }
  close(fd);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * lineCount));
}

void BM_StatsWriterHeldRaw(benchmark::State& state) {
  const std::vector<int> ids = embeddings();
  const std::string path = scratchPath();
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  StatsWriter writer;
  for (auto _ : state) {
    writer.begin(fd, path, width, StatsWriter::Mode::held);
    for (size_t i = 0; i < lineCount; ++i) writer.add(ids.data() + i * width);
    writer.discard();
  }
  close(fd);
  std::remove(path.c_str());
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * lineCount));
}

void streamLines(benchmark::State& state, bool flushEachLine) {
  const std::vector<int> ids = embeddings();
  const std::string path = scratchPath();
  for (auto _ : state) {
    std::ofstream file(path, std::ios::trunc);
    for (size_t i = 0; i < lineCount; ++i) {
      for (int j = 0; j < width; ++j) file << (j == 0 ? "" : "\t") << ids[i * width + j];
      file << '\n';
      if (flushEachLine) file.flush();
    }
  }
  std::remove(path.c_str());
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * lineCount));
}

void BM_OfstreamLines(benchmark::State& state) { streamLines(state, false); }
void BM_OfstreamLinesFlushedEach(benchmark::State& state) { streamLines(state, true); }

}  // namespace

BENCHMARK(BM_StatsWriterFormatted)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StatsWriterFormattedToDevNull)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StatsWriterHeldRaw)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OfstreamLines)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OfstreamLinesFlushedEach)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
