// Cost of one draw from the random source, on the caller's default stream and inside
// a per-iteration scope, as the parallel loop uses it.
#include <evokit/platform/parallel.h>
#include <evokit/platform/random.h>

#include <benchmark/benchmark.h>

namespace {

void BM_RandomDouble(benchmark::State& state) {
  evokit::RandSeed(1);
  for (auto _ : state) benchmark::DoNotOptimize(evokit::Random());
}
BENCHMARK(BM_RandomDouble);

void BM_RandomBelow(benchmark::State& state) {
  evokit::RandSeed(1);
  const auto n = state.range(0);
  for (auto _ : state) benchmark::DoNotOptimize(evokit::Random(n));
}
BENCHMARK(BM_RandomBelow)->Arg(2)->Arg(1000)->Arg(1 << 30);

void BM_RandomScoped(benchmark::State& state) {
  evokit::TRandomScope scope(99, 1);
  for (auto _ : state) benchmark::DoNotOptimize(evokit::Random());
}
BENCHMARK(BM_RandomScoped);

// Overhead of the parallel loop per iteration with an empty body.
void BM_ParallelForOverhead(benchmark::State& state) {
  const auto n = state.range(0);
  for (auto _ : state) evokit::TParallel::For(0, n - 1, [](std::int64_t i) { benchmark::DoNotOptimize(i); });
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_ParallelForOverhead)->Arg(1000);

}  // namespace
