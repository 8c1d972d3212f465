// A complete GA generation on OneMax: 1,000-bit chromosomes, population 100, tournament
// selection of field 3, bit-boundary crossover with probability 0.9, per-bit mutation
// with probability 0.001, no inversion, fitness = number of set bits. Reports the time
// per generation, fitness evaluations per second and the peak resident memory, for
// Evolve and for ParallelEvolve; and the per-bit cost of the chromosome operators on
// their own. The argument of the parallel runs is the limit given to
// TParallel::SetMaxThreads: 0 is the default pool (one worker per core: two here).
#include <evokit/ga/ga.h>
#include <evokit/platform/parallel.h>
#include <evokit/platform/random.h>

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdint>
#include <fstream>
#include <memory>
#include <unistd.h>

namespace evokit {
namespace {

constexpr int kBits = 1000;
constexpr int kPopulation = 100;

double PeakResidentMiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;  // ru_maxrss is in KiB on Linux
}

// Current resident memory, from /proc/self/statm (0 where that is unavailable).
double ResidentMiB() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  if (!(statm >> pages >> resident)) return 0;
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

std::unique_ptr<TMXGeneticAlgorithm> OneMax(std::int64_t& Evaluations, int Population = kPopulation) {
  auto ga = std::make_unique<TMXGeneticAlgorithm>();
  ga->SetGeneSize(kBits);
  ga->SetInitialPopulation(Population);
  ga->SetSelectionMethod(smTournament);
  ga->SetTournamentField(3);
  ga->SetCrossoverMethod(cmBitBoundary);
  ga->SetCrossoverProbability(0.9);
  ga->SetMutationProbability(0.001);
  ga->SetOperations({goCrossover, goMutate});
  ga->SetFitnessMethod(fmMaximize);
  ga->SetOnEvaluateFitness([&Evaluations](TObject*, TMXIndividual* Item, TGAFitness& Fitness) {
    Fitness = static_cast<TMXGAIndividual*>(Item)->Bits()->CountSetBits();
    ++Evaluations;  // counted on the caller's thread only in the sequential runs
  });
  return ga;
}

// Memory is flat when the resident size after the timed generations equals the size
// before them (rss_growth_MiB near 0).
void Report(benchmark::State& State, std::int64_t Evaluations, double ResidentBefore) {
  State.counters["rss_growth_MiB"] = ResidentMiB() - ResidentBefore;
  State.counters["generations/s"] =
      benchmark::Counter(static_cast<double>(State.iterations()), benchmark::Counter::kIsRate);
  State.counters["evaluations/s"] = benchmark::Counter(static_cast<double>(Evaluations), benchmark::Counter::kIsRate);
  State.counters["peak_MiB"] = PeakResidentMiB();
}

void BM_OneMaxGeneration(benchmark::State& State) {
  RandSeed(1);
  std::int64_t evaluations = 0;
  auto ga = OneMax(evaluations);
  ga->Evolve();  // initialisation and the first generation stay out of the timing
  evaluations = 0;
  const double resident = ResidentMiB();
  for (auto _ : State) ga->Evolve();
  Report(State, evaluations, resident);
  State.counters["best"] = ga->MaxFitness();
}
BENCHMARK(BM_OneMaxGeneration)->Unit(benchmark::kMicrosecond);

// The same generation over populations of 100 and 10,000, per child: the growth from one
// to the other is the ratio of the two per_child figures (1 is linear). At 10,000 the two
// generations (about 3 MB of chromosomes) no longer fit the core's caches.
void BM_OneMaxPerChild(benchmark::State& State) {
  RandSeed(1);
  std::int64_t evaluations = 0;
  const int population = static_cast<int>(State.range(0));
  auto ga = OneMax(evaluations, population);
  ga->Evolve();
  for (auto _ : State) ga->Evolve();
  State.counters["per_child"] = benchmark::Counter(static_cast<double>(State.iterations()) * population,
                                                   benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_OneMaxPerChild)->Arg(100)->Arg(10000)->Unit(benchmark::kMicrosecond);

void BM_OneMaxParallelGeneration(benchmark::State& State) {
  RandSeed(1);
  const int previous = TParallel::MaxThreads();
  TParallel::SetMaxThreads(static_cast<int>(State.range(0)));
  std::int64_t evaluations = 0;
  auto ga = OneMax(evaluations);
  // The counter in the handler would race under parallel evaluation: count stale
  // children before each generation's evaluation instead (all of them, here).
  ga->SetOnEvaluateFitness([](TObject*, TMXIndividual* Item, TGAFitness& Fitness) {
    Fitness = static_cast<TMXGAIndividual*>(Item)->Bits()->CountSetBits();
  });
  ga->ParallelEvolve();
  const double resident = ResidentMiB();
  for (auto _ : State) ga->ParallelEvolve();
  Report(State, State.iterations() * kPopulation, resident);
  State.counters["best"] = ga->MaxFitness();
  TParallel::SetMaxThreads(previous);
}
BENCHMARK(BM_OneMaxParallelGeneration)->Arg(0)->Arg(2)->Unit(benchmark::kMicrosecond)->UseRealTime();

// --- The operators on one 1,000-bit chromosome -----------------------------------------

void BM_ChromosomeMutate(benchmark::State& State) {
  RandSeed(2);
  TMXGABits bits;
  bits.SetSize(kBits);
  const double probability = static_cast<double>(State.range(0)) / 1e6;
  for (auto _ : State) benchmark::DoNotOptimize(bits.Mutate(probability));
  State.SetItemsProcessed(State.iterations() * kBits);  // bits tested per second
}
BENCHMARK(BM_ChromosomeMutate)->Arg(1000)->Arg(10000)->Arg(100000)->Arg(500000);

void BM_ChromosomeRandomize(benchmark::State& State) {
  RandSeed(3);
  TMXGABits bits;
  bits.SetSize(kBits);
  for (auto _ : State) {
    bits.Randomize();
    benchmark::ClobberMemory();
  }
  State.SetItemsProcessed(State.iterations() * kBits);
}
BENCHMARK(BM_ChromosomeRandomize);

void BM_ChromosomeCrossOver(benchmark::State& State) {
  RandSeed(4);
  TMXGABits first, second, child;
  for (TMXGABits* bits : {&first, &second, &child}) {
    bits->SetSize(kBits);
    bits->Randomize();
  }
  for (auto _ : State) benchmark::DoNotOptimize(child.CrossOver(first, second));
}
BENCHMARK(BM_ChromosomeCrossOver);

}  // namespace
}  // namespace evokit
