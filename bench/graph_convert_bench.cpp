// sgmatch-convert's whole conversion (read, map ids, drop repeats, write the data graph and the id
// file) on generated edge lists of 5M edges: ids compact (0..999999) and spread over 63 bits.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "convert_tool.h"

namespace {

uint64_t mix(uint64_t* state) {
  uint64_t z = (*state += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

std::string scratchDirectory() { return access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp"; }

// An edge list of `edges` lines between uniformly drawn vertices of `vertices`; spread ids are the
// vertex numbers mapped to random 63-bit values. The same arguments give the same file.
std::string edgeListFile(long long edges, uint64_t vertices, bool spread) {
  const std::string path =
      scratchDirectory() + "/sgmatch-convert-bench-" + std::to_string(edges) + (spread ? "-spread" : "-compact");
  if (access(path.c_str(), R_OK) == 0) return path;
  uint64_t state = 1;
  std::vector<uint64_t> ids(vertices);
  for (uint64_t i = 0; i < vertices; ++i) ids[i] = spread ? mix(&state) >> 1 : i;
  FILE* out = std::fopen((path + ".part").c_str(), "w");
  for (long long i = 0; i < edges; ++i) {
    const uint64_t u = ids[mix(&state) % vertices], v = ids[mix(&state) % vertices];
    std::fprintf(out, spread ? "%llu\t%llu\n" : "%llu %llu\n", static_cast<unsigned long long>(u),
                 static_cast<unsigned long long>(v));
  }
  std::fclose(out);
  std::rename((path + ".part").c_str(), path.c_str());
  return path;
}

void BM_ConvertEdgeList(benchmark::State& state) {
  const long long edges = state.range(0);
  ConvertOptions options;
  options.inputs = {edgeListFile(edges, 1000000, state.range(1) != 0)};
  options.output = scratchDirectory() + "/sgmatch-convert-bench-out";
  options.idsPath = options.output + ".ids";
  std::string summary, error;
  for (auto _ : state) {
    if (!convertFiles(options, &summary, &error)) state.SkipWithError(error.c_str());
  }
  std::remove(options.output.c_str());
  std::remove(options.idsPath.c_str());
  state.SetItemsProcessed(state.iterations() * edges);  // edges per second
}

}  // namespace

BENCHMARK(BM_ConvertEdgeList)
    ->ArgNames({"edges", "spread"})
    ->Args({5000000, 0})
    ->Args({5000000, 1})
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
