// Non-dominated sorting of random points (uniform in the unit cube: for two objectives
// about sqrt(N) fronts) at 1,000, 10,000 and 100,000 rows, and the hypervolume of a
// 100-row front on the unit sphere's positive part, for two and three objectives. Each
// benchmark cycles through several inputs: on one input repeated, the branch predictor
// learns the sort's comparisons and the small sizes look several times faster than they are.
#include <evokit/core/pareto.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

using namespace evokit;

namespace {

std::vector<double> UniformPoints(int N, int M, unsigned Seed) {
  std::mt19937_64 rng(Seed);
  std::uniform_real_distribution<double> unit(0, 1);
  std::vector<double> points(static_cast<std::size_t>(N) * M);
  for (double& v : points) v = unit(rng);
  return points;
}

// Mutually non-dominated rows: random directions on the sphere, every coordinate positive.
std::vector<double> SphereFront(int N, int M, unsigned Seed) {
  std::mt19937_64 rng(Seed);
  std::normal_distribution<double> normal(0, 1);
  std::vector<double> points;
  for (int r = 0; r < N; ++r) {
    std::vector<double> row(M);
    double norm = 0;
    for (double& v : row) {
      v = std::abs(normal(rng)) + 1e-9;
      norm += v * v;
    }
    for (double v : row) points.push_back(v / std::sqrt(norm));
  }
  return points;
}

constexpr unsigned kInputs = 8;

void BM_ParetoRanks(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0)), m = static_cast<int>(state.range(1));
  std::vector<std::vector<double>> inputs;
  for (unsigned i = 0; i < kInputs; ++i) inputs.push_back(UniformPoints(n, m, 42 + i));
  unsigned next = 0;
  int fronts = 0;
  for (auto _ : state) {
    const auto ranks = ParetoRanks(inputs[next++ % kInputs], m);
    fronts = 1 + *std::max_element(ranks.begin(), ranks.end());
    benchmark::DoNotOptimize(ranks.data());
  }
  state.counters["fronts"] = fronts;
}
BENCHMARK(BM_ParetoRanks)
    ->ArgNames({"N", "M"})
    ->ArgsProduct({{1000, 10000, 100000}, {2, 3}})
    ->Unit(benchmark::kMillisecond);

void BM_Hypervolume(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0)), m = static_cast<int>(state.range(1));
  std::vector<std::vector<double>> fronts;
  for (unsigned i = 0; i < kInputs; ++i) fronts.push_back(SphereFront(n, m, 7 + i));
  const std::vector<double> reference(static_cast<std::size_t>(m), 1.1);
  unsigned next = 0;
  for (auto _ : state) benchmark::DoNotOptimize(Hypervolume(fronts[next++ % kInputs], m, reference));
}
BENCHMARK(BM_Hypervolume)->ArgNames({"N", "M"})->ArgsProduct({{100, 1000}, {2, 3, 4}})->Unit(benchmark::kMicrosecond);

}  // namespace
