// Parallel evolution of the genetic component: child pairs bred on the thread pool, each
// iteration drawing from its own random stream, then a parallel evaluation.
#include <cstdint>

#include <evokit/core/genetic_component.h>
#include <evokit/platform/guards.h>
#include <evokit/platform/parallel.h>

namespace evokit {

int TMXCustomGeneticComponent::ParallelEvolve(int Generations) {
  return RunGenerations(Generations, &TMXCustomGeneticComponent::ParallelEvolve);
}

void TMXCustomGeneticComponent::ParallelEvolve() {
  DoParallelEvolve();
  if (FOnEvolve) FOnEvolve(this);
}

void TMXCustomGeneticComponent::PrepareParallelStep() {
  // Runs before the swap: the current population is about to become the parents. The
  // workers may then only read the parents and the selection tables, so whatever the
  // sequential step would compute lazily during breeding is computed here.
  TMXPopulation* parents = FPopulation.get();
  const int n = parents->Count();

  // Individuals modified since the last evaluation would be evaluated by the first
  // worker that reads them, possibly two at once: evaluate them now.
  EvaluateStale(*parents);
  bool stale = false;
  for (TCollectionItem* entry : *parents) stale = stale || static_cast<TMXIndividual*>(entry)->NeedFitness();
  if (stale) TParallel::For(0, n - 1, [parents](std::int64_t i) { parents->Items(static_cast<int>(i))->Fitness(); });

  // The tournament's ranking must describe the parents before workers read it.
  if (FSelectionMethod == smNSGA2 &&
      (FParetoPopulation != parents || FParetoRanks.size() != static_cast<std::size_t>(n)))
    RankPareto(*parents);
  if (UniformFitness()) return;  // roulette and elitist picks then fall back to uniform ones
  PrepareRouletteTable();
  // A ranking must hold parents: one left from another population would hand workers
  // individuals that other workers are overwriting.
  const bool elitist = FSelectionMethod == smElitist || FSelectionMethod == smCustom;
  if (elitist && (!FPriorityQueue || FPriorityQueue->Count() == 0 || FRankedPopulation != parents))
    PrioritizePopulation();
}

void TMXCustomGeneticComponent::DoParallelEvolve() {
  if (!FInitialized) Initialize();
  if (IsFinished() || FPopulation->Count() == 0) return;
  CheckHandlers();
  PrepareParallelStep();
  DoStartEvolve();
  TMXPopulation* children = FPopulation.get();
  {
    const auto update = UpdateGuard(*children);
    // One iteration per child pair; the last child of an odd-sized population is bred
    // alone by the last iteration, as in the sequential step.
    const int pairs = (children->Count() + 1) / 2;
    PrepareTournamentKeys(*FPreviousGeneration);
    const TScopeExit keys([this] { DropTournamentKeys(); });
    TParallel::For(0, pairs - 1, [this](std::int64_t k) { DoParallelEvolveOneStep(static_cast<int>(k)); });
    if (FSelectionMethod == smNSGA2) {
      // The children are evaluated in parallel first (through the overridable evaluation,
      // which prepares what subclasses share between threads); survival is sequential.
      ParallelEvaluateFitness();
      SelectSurvivors();
    }
    ParallelEvaluateFitness();
  }
  DoFinishEvolve();
}

}  // namespace evokit
