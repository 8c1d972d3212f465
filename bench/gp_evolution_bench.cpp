// Genetic programming: symbolic regression of x^4 + x^3 + x^2 + x with Add, Sub, Mul and
// protected Div over x, 500 individuals, 50 generations (no cutoff), tournaments of 7,
// ramped half-and-half initial trees of depth 6. One iteration is one whole run after the
// initialisation; trees are kept to 17 levels (bsDepthLimit). Reports seconds per
// generation (elapsed, and processor time of all threads), program nodes executed per
// second, and the shares of the run spent breeding (selection, copying, operators) and
// executing programs (the fitness handler), as busy time over the run's time on all the
// threads used. With reuse on, the component's ReuseFitness hands each distinct program to
// the fitness handler once per generation (the nodes counted are those executed).
#include <evokit/gp/float_variant_programs.h>
#include <evokit/gp/gp_components.h>
#include <evokit/platform/parallel.h>
#include <evokit/platform/random.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <cstdint>

namespace {

using namespace evokit;
using TClock = std::chrono::steady_clock;

std::int64_t Since(TClock::time_point Start) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(TClock::now() - Start).count();
}

// The float GP component; it times its breeding steps.
class TBenchGP : public TMXGeneticProgramming {
 public:
  std::atomic<std::int64_t> BreedingNanoseconds{0};

 protected:
  void DoEvolveOneStep(int Index) override {
    const TClock::time_point start = TClock::now();
    TMXGeneticProgramming::DoEvolveOneStep(Index);
    BreedingNanoseconds.fetch_add(Since(start), std::memory_order_relaxed);
  }
};

// Arguments: the number of points, 0 for Evolve or the thread count of ParallelEvolve, and
// 1 for ReuseFitness.
void BM_GPQuarticRegression(benchmark::State& State) {
  const int points = static_cast<int>(State.range(0));
  const int threads = static_cast<int>(State.range(1));
  const bool reuse = State.range(2) != 0;
  TParallel::SetMaxThreads(threads);
  constexpr int kGenerations = 50;
  std::atomic<std::int64_t> nodes{0}, executing{0};
  std::int64_t runNodes = 0, runExecuting = 0, breeding = 0, generations = 0, elapsed = 0;
  double processor = 0;  // processor seconds of the whole process, all threads
  for (auto _ : State) {
    State.PauseTiming();
    TBenchGP gp;
    for (const char* name : {"Add", "Sub", "Mul", "Div"}) {
      TMXGPInstruction<double>* f = gp.Instructions()->Add();
      f->SetName(name);
      f->SetArity(2);
      f->SetOnExecute([](TObject*, TMXGPNode<double>* N, TMXGPContext<double>* C, double& R) {
        const double a = N->GetChild(0)->Execute(C), b = N->GetChild(1)->Execute(C);
        const char op = N->Instruction()->Name()[0];
        R = op == 'A' ? a + b : op == 'S' ? a - b : op == 'M' ? a * b : b == 0 ? 1.0 : a / b;
      });
    }
    gp.Instructions()->Add()->SetName("x");
    gp.SetInitialPopulation(500);
    gp.SetSelectionMethod(smTournament);
    gp.SetInitializationMethod(imRampedHalfAndHalf);
    gp.SetInitializationDepth(6);
    gp.SetBloatStrategy(bsDepthLimit);  // the classic limit of 17 levels: no run-away trees
    gp.SetBloatLimit(17);
    gp.SetReuseFitness(reuse);
    gp.SetOnEvaluateFitness([&, points](TObject*, TMXIndividual* Item, TGAFitness& Fitness) {
      const TClock::time_point start = TClock::now();
      auto* individual = static_cast<TMXGPIndividual<double>*>(Item);
      TMXGPContext<double> context;
      double sum = 0;
      for (int i = 0; i < points; ++i) {
        const double x = -1 + 2.0 * i / points;
        context.Values()->AddOrSetValue("x", x);
        const double error = individual->Execute(&context) - x * (1 + x * (1 + x * (1 + x)));
        sum += error * error;
      }
      Fitness = sum / points;
      nodes.fetch_add(std::int64_t{individual->DNA()->Size()} * points, std::memory_order_relaxed);
      executing.fetch_add(Since(start), std::memory_order_relaxed);
    });
    RandSeed(1);
    gp.Initialize();  // not timed, and not counted
    nodes = 0, executing = 0;
    State.ResumeTiming();
    const TClock::time_point start = TClock::now();
    const std::clock_t clock = std::clock();
    generations += threads ? gp.ParallelEvolve(kGenerations) : gp.Evolve(kGenerations);
    processor += static_cast<double>(std::clock() - clock) / CLOCKS_PER_SEC;
    elapsed += Since(start);
    State.PauseTiming();
    runNodes += nodes, runExecuting += executing, breeding += gp.BreedingNanoseconds;
    State.counters["avg_size"] = gp.AvgProgramSize();
    State.ResumeTiming();
  }
  TParallel::SetMaxThreads(0);
  // Busy time as a share of the time all the threads used had.
  const double capacity = static_cast<double>(elapsed) * (threads ? threads : 1);
  State.counters["s/generation"] = 1e-9 * static_cast<double>(elapsed) / static_cast<double>(generations);
  State.counters["cpu_s/generation"] = processor / static_cast<double>(generations);
  State.counters["nodes/s"] = static_cast<double>(runNodes) / (1e-9 * static_cast<double>(elapsed));
  State.counters["breeding"] = static_cast<double>(breeding) / capacity;
  State.counters["executing"] = static_cast<double>(runExecuting) / capacity;
}
BENCHMARK(BM_GPQuarticRegression)
    ->ArgNames({"points", "threads", "reuse"})
    ->Args({20, 0, 0})
    ->Args({20, 2, 0})
    ->Args({20, 0, 1})
    ->Args({20, 2, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);
BENCHMARK(BM_GPQuarticRegression)
    ->ArgNames({"points", "threads", "reuse"})
    ->Args({1000, 0, 0})
    ->Args({1000, 2, 0})
    ->Args({1000, 0, 1})
    ->Args({1000, 2, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);

}  // namespace
