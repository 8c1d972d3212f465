// Fitness evaluation and statistics of the genetic component, and the parallel variants
// of evaluation and evolution.
#include <limits>

#include <evokit/core/genetic_component.h>
#include <evokit/platform/parallel.h>
#include <evokit/platform/guards.h>

namespace evokit {

// --- One individual --------------------------------------------------------------------

TGAFitness TMXCustomGeneticComponent::EvaluateFitness(TMXIndividual* Item, bool Weighted) {
  if (Weighted) return DoEvaluateWeightedFitness(Item);
  if (!FOnEvaluateFitness) return 0;
  TGAFitness fitness = 0;
  FOnEvaluateFitness(this, Item, fitness);
  return fitness;
}

TGAFitness TMXCustomGeneticComponent::DoEvaluateWeightedFitness(TMXIndividual* Item) {
  if (!FOnEvaluateWeightedFitness) return Item->Fitness();
  TGAFitness fitness = 0;
  FOnEvaluateWeightedFitness(this, Item, fitness);
  return fitness;
}

// --- The whole population -------------------------------------------------------------

void TMXCustomGeneticComponent::ClearStatistics() {
  FMaxFitness = 0;
  FMaxWeightedFitness = 0;
  FMinFitness = 0;
  FMinWeightedFitness = 0;
  FFitnessSum = 0;
  FWeightedFitnessSum = 0;
}

void TMXCustomGeneticComponent::EvaluateFitness() {
  if (FPopulation->Count() == 0) {
    ClearStatistics();
    return;
  }
  DoCalculateFitnessStatistics();
  DoCalculateWeightedFitnessStatistics();
  DoSelectionPreparation();
}

void TMXCustomGeneticComponent::ParallelEvaluateFitness() {
  if (FPopulation->Count() == 0) {
    ClearStatistics();
    return;
  }
  DoParallelCalculateFitnessStatistics();
  DoCalculateWeightedFitnessStatistics();
  DoSelectionPreparation();
}

void TMXCustomGeneticComponent::DoCalculateFitnessStatistics() {
  // Indexed access: a fitness handler that adds individuals must not invalidate the walk.
  const TMXPopulation& population = *FPopulation;
  const int n = population.Count();
  TMXIndividual* first = population.Items(0);
  FFittestIndividual = first;
  FMaxFitness = FMinFitness = FFitnessSum = first->Fitness();
  for (int i = 1; i < n; ++i) {
    TMXIndividual* item = population.Items(i);
    const TGAFitness fitness = item->Fitness();
    FFitnessSum += fitness;
    FFittestIndividual = Fittest(FFittestIndividual, item, true);
    if (FMinFitness > fitness) FMinFitness = fitness;
    else if (fitness > FMaxFitness) FMaxFitness = fitness;
  }
}

void TMXCustomGeneticComponent::DoCalculateWeightedFitnessStatistics() {
  const TMXPopulation& population = *FPopulation;
  const int n = population.Count();
  FMaxWeightedFitness = FMinWeightedFitness = FWeightedFitnessSum = population.Items(0)->WeightedFitness();
  for (int i = 1; i < n; ++i) {
    const TGAFitness fitness = population.Items(i)->WeightedFitness();
    FWeightedFitnessSum += fitness;
    if (FMinWeightedFitness > fitness) FMinWeightedFitness = fitness;
    else if (fitness > FMaxWeightedFitness) FMaxWeightedFitness = fitness;
  }
}

void TMXCustomGeneticComponent::DoParallelCalculateFitnessStatistics() {
  // Each iteration evaluates (and caches) only its own individual; the pass that follows
  // then finds every fitness cached.
  const TMXPopulation* population = FPopulation.get();
  TParallel::For(0, population->Count() - 1,
                 [population](std::int64_t i) { population->Items(static_cast<int>(i))->Fitness(); });
  DoCalculateFitnessStatistics();
}

TGAFitness TMXCustomGeneticComponent::AvgFitness() const {
  const int n = FPopulation->Count();
  return n != 0 ? FFitnessSum / n : FMinFitness + (FMaxFitness - FMinFitness) / 2;
}

TGAFitness TMXCustomGeneticComponent::AvgWeightedFitness() const {
  const int n = FPopulation->Count();
  return n != 0 ? FWeightedFitnessSum / n : FMinWeightedFitness + (FMaxWeightedFitness - FMinWeightedFitness) / 2;
}

TGAFitness TMXCustomGeneticComponent::Diversity() const {
  if (FMaxFitness == 0) return std::numeric_limits<TGAFitness>::infinity();
  return AvgFitness() / FMaxFitness;
}

// --- Parallel evolution -----------------------------------------------------------------

int TMXCustomGeneticComponent::ParallelEvolve(int Generations) {
  SetHalt(false);
  const int start = FGeneration;
  for (int i = 0; i < Generations; ++i) {
    ParallelEvolve();
    if (IsFinished() || Halt()) break;
  }
  return FGeneration - start;
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
  bool stale = false;
  for (TCollectionItem* entry : *parents) stale = stale || static_cast<TMXIndividual*>(entry)->NeedFitness();
  if (stale) TParallel::For(0, n - 1, [parents](std::int64_t i) { parents->Items(static_cast<int>(i))->Fitness(); });

  if (UniformFitness()) return;  // roulette and elitist picks then fall back to uniform ones
  const bool roulette = FSelectionMethod == smRoulette || FSelectionMethod == smStochasticTournament ||
                        FSelectionMethod == smCustom;
  if (roulette && FCumNormFitnesses.empty()) CalculateCumulativeNormalizedFitnesses();
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
    TParallel::For(0, pairs - 1, [this](std::int64_t k) { DoParallelEvolveOneStep(static_cast<int>(k)); });
    ParallelEvaluateFitness();
  }
  DoFinishEvolve();
}

}  // namespace evokit
