// The evolution core's own cost: one generation of 1,000 one-number individuals with a
// trivial fitness, per selection scheme (reported per child), and the speed-up of
// parallel over sequential evaluation for a fitness of about 20 microseconds.
#include <evokit/core/genetic_component.h>
#include <evokit/platform/parallel.h>
#include <evokit/platform/random.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>

using namespace evokit;

namespace {

class TBenchNumber : public TMXIndividual {
 public:
  explicit TBenchNumber(TCollection* Collection = nullptr) : TMXIndividual(Collection) {}
  double Value = 0;
  void Set(double V) {
    Value = V;
    Modified();
  }
  void Assign(const TPersistent* Source) override {
    TMXIndividual::Assign(Source);
    Value = static_cast<const TBenchNumber*>(Source)->Value;
  }
};

double ValueOf(const TMXIndividual* Item) { return static_cast<const TBenchNumber*>(Item)->Value; }

// Crossover averages, mutation takes a small step, inversion flips the sign: the cheapest
// genome that still keeps the population diverse.
class TBenchGA : public TMXCustomGeneticComponent {
 public:
  TBenchGA() { RecreatePopulations(); }

 protected:
  std::unique_ptr<TMXPopulation> CreatePopulation(TMXIndividualClass) override {
    return std::make_unique<TMXPopulation>(this, TMXIndividualClass::Of<TBenchNumber>());
  }
  int DoInitialize() override {
    for (TCollectionItem* item : *Population()) static_cast<TBenchNumber*>(item)->Set(Random() * 10);
    return 0;
  }
  bool DoCrossover(TMXIndividual* P1, TMXIndividual* P2, TMXIndividual* C1, TMXIndividual* C2) override {
    static_cast<TBenchNumber*>(C1)->Set((ValueOf(P1) + ValueOf(P2)) / 2);
    if (C2) static_cast<TBenchNumber*>(C2)->Set(ValueOf(P2));
    return true;
  }
  bool DoMutate(TMXIndividual* Item) override {
    static_cast<TBenchNumber*>(Item)->Set(ValueOf(Item) + Random() - 0.5);
    return true;
  }
  bool DoInvert(TMXIndividual* Item) override {
    static_cast<TBenchNumber*>(Item)->Set(-ValueOf(Item));
    return true;
  }
};

constexpr int kPopulation = 1000;

void Distance(TObject*, TMXIndividual* Item, TGAFitness& F) { F = std::abs(ValueOf(Item) - 3); }
void Closeness(TObject*, TMXIndividual* Item, TGAFitness& F) { F = 1 / (1 + std::abs(ValueOf(Item) - 3)); }

void Configure(TBenchGA& ga, TGASelectionMethod Method, TMXFitnessEvent Fitness = Distance) {
  ga.SetOnEvaluateFitness(std::move(Fitness));
  if (Method == smCustom)
    ga.SetOnSelection([&ga](TObject* S, TMXPopulation* P, TMXIndividual*& Parent) { ga.SelectRandom(S, P, Parent); });
  else
    ga.SetSelectionMethod(Method);
  ga.SetInitialPopulation(kPopulation);
  RandSeed(1);
  ga.Evolve(5);  // initialised, tables and queue at their final size
}

void PerChild(benchmark::State& state) {
  state.SetItemsProcessed(state.iterations() * kPopulation);
  state.counters["per_child"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * kPopulation,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// One sequential generation: selection, copies, reproduction draws, evaluation of the
// changed children, statistics and the next generation's tables.
void BM_EvolvePerChild(benchmark::State& state) {
  const auto method = static_cast<TGASelectionMethod>(state.range(0));
  TBenchGA ga;
  Configure(ga, method);
  for (auto _ : state) ga.Evolve();
  PerChild(state);
  state.SetLabel(EnumName(method));
}
BENCHMARK(BM_EvolvePerChild)->DenseRange(smRoulette, smCustom);

void BM_EvolveWeightedMaximizePerChild(benchmark::State& state) {
  const auto method = static_cast<TGASelectionMethod>(state.range(0));
  TBenchGA ga;
  ga.SetFitnessMethod(fmWeightedMaximize);
  Configure(ga, method, Closeness);
  for (auto _ : state) ga.Evolve();
  PerChild(state);
  state.SetLabel(EnumName(method));
}
BENCHMARK(BM_EvolveWeightedMaximizePerChild)->DenseRange(smRoulette, smElitist);

void BM_ParallelEvolvePerChild(benchmark::State& state) {
  const auto method = static_cast<TGASelectionMethod>(state.range(0));
  TBenchGA ga;
  Configure(ga, method);
  for (auto _ : state) ga.ParallelEvolve();
  PerChild(state);
  state.SetLabel(EnumName(method));
}
BENCHMARK(BM_ParallelEvolvePerChild)->Arg(smStochasticTournament)->Arg(smElitist)->UseRealTime();

// A fitness of about 20 microseconds (a busy wait, so that it scales like real work).
void SlowFitness(TObject*, TMXIndividual* Item, TGAFitness& F) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(20);
  double x = ValueOf(Item);
  while (std::chrono::steady_clock::now() < until) x = std::sqrt(x * x + 1);
  F = x;
}

constexpr int kSlowPopulation = 200;

template <bool Parallel>
void BM_EvaluateSlowFitness(benchmark::State& state) {
  TBenchGA ga;
  ga.SetOnEvaluateFitness(SlowFitness);
  ga.SetInitialPopulation(kSlowPopulation);
  ga.Initialize();
  for (auto _ : state) {
    state.PauseTiming();
    for (TCollectionItem* item : *ga.Population()) static_cast<TMXIndividual*>(item)->Modified();
    state.ResumeTiming();
    if (Parallel) ga.ParallelEvaluateFitness();
    else ga.EvaluateFitness();
  }
  state.SetItemsProcessed(state.iterations() * kSlowPopulation);
  state.counters["threads"] = TParallel::EffectiveThreads();
}
BENCHMARK(BM_EvaluateSlowFitness<false>)->Name("BM_EvaluateFitness_20us")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EvaluateSlowFitness<true>)
    ->Name("BM_ParallelEvaluateFitness_20us")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
