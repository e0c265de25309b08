// Intersection kernels on ascending lists of the sizes the search meets: equal sizes (merge, with
// the vector path where available) and skewed sizes (galloping), against std::set_intersection.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <iterator>
#include <random>
#include <vector>

#include "set_intersection.h"

namespace {

// Two ascending lists drawn from [0, universe) so that about `overlap` of the shorter one is shared.
std::pair<std::vector<int>, std::vector<int>> lists(size_t sizeA, size_t sizeB, uint32_t seed) {
  std::mt19937 random(seed);
  const int universe = static_cast<int>(4 * std::max(sizeA, sizeB));
  auto draw = [&](size_t size) {
    std::vector<int> values;
    while (values.size() < size) {
      values.push_back(static_cast<int>(random() % static_cast<uint32_t>(universe)));
      if (values.size() == size) {
        std::sort(values.begin(), values.end());
        values.erase(std::unique(values.begin(), values.end()), values.end());
      }
    }
    return values;
  };
  return {draw(sizeA), draw(sizeB)};
}

void intersect(benchmark::State& state, size_t (*kernel)(const int*, size_t, const int*, size_t, int*)) {
  auto [a, b] = lists(static_cast<size_t>(state.range(0)), static_cast<size_t>(state.range(1)), 42);
  std::vector<int> out(std::min(a.size(), b.size()) + 8);
  for (auto _ : state) {
    benchmark::DoNotOptimize(kernel(a.data(), a.size(), b.data(), b.size(), out.data()));
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * (a.size() + b.size())));
}

size_t standard(const int* a, size_t sizeA, const int* b, size_t sizeB, int* out) {
  return static_cast<size_t>(std::set_intersection(a, a + sizeA, b, b + sizeB, out) - out);
}

void BM_IntersectInto(benchmark::State& state) { intersect(state, intersectInto); }
void BM_IntersectScalarMerge(benchmark::State& state) { intersect(state, intersectMerge); }
void BM_StdSetIntersection(benchmark::State& state) { intersect(state, standard); }

}  // namespace

#define SIZES Args({16, 16})->Args({64, 64})->Args({256, 256})->Args({2048, 2048})->Args({16, 1024})->Args({64, 8192})
BENCHMARK(BM_IntersectInto)->SIZES;
BENCHMARK(BM_IntersectScalarMerge)->SIZES;
BENCHMARK(BM_StdSetIntersection)->SIZES;

BENCHMARK_MAIN();
