// Fitness evaluation and statistics of the genetic component, sequential and parallel.
#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include <evokit/core/genetic_component.h>
#include <evokit/platform/parallel.h>

namespace evokit {

// --- One individual --------------------------------------------------------------------

TGAFitness TMXCustomGeneticComponent::EvaluateFitness(TMXIndividual* Item, bool Weighted) {
  TGAFitness fitness = 0;
  if (Weighted) fitness = DoEvaluateWeightedFitness(Item);
  else if (FOnEvaluateFitness) FOnEvaluateFitness(this, Item, fitness);
  // NaN compares as a tie with everything, so it would keep any place it reaches (first
  // in the statistics, winner of a tournament) and poison the sums: it counts as the
  // worst fitness instead.
  return std::isnan(fitness) ? UnfitFitness() : fitness;
}

TGAFitness TMXCustomGeneticComponent::DoEvaluateWeightedFitness(TMXIndividual* Item) {
  if (!FOnEvaluateWeightedFitness) return Item->Fitness();
  TGAFitness fitness = 0;
  FOnEvaluateWeightedFitness(this, Item, fitness);
  return fitness;
}

// --- The whole population -------------------------------------------------------------

void TMXCustomGeneticComponent::DoEvaluatePopulation(std::span<TMXIndividual* const> Items) {
  if (FOnEvaluatePopulation) FOnEvaluatePopulation(this, Items);
}

void TMXCustomGeneticComponent::EvaluateStale(const TMXPopulation& Population) {
  std::vector<TMXIndividual*> stale;
  for (TCollectionItem* entry : Population)
    if (auto* item = static_cast<TMXIndividual*>(entry); item->FNeedFitness) stale.push_back(item);
  if (stale.empty()) return;
  // What the handler stored gets the checks of the per-individual path: a NaN (or a row of
  // the wrong length) is unfit. Also for the individuals scored before a handler error.
  const auto settle = [this, &stale] {
    const std::size_t width = FObjectiveSenses.size();
    for (TMXIndividual* item : stale) {
      if (item->FNeedFitness) continue;
      bool unfit = std::isnan(item->FFitness);
      if (width > 0) {
        if (item->FObjectives.size() != width)
          item->FObjectives.assign(width, std::numeric_limits<double>::quiet_NaN());
        unfit = unfit || std::any_of(item->FObjectives.begin(), item->FObjectives.end(),
                                     [](double Value) { return std::isnan(Value); });
      }
      if (unfit) item->FFitness = UnfitFitness();
    }
  };
  try {
    DoEvaluatePopulation(stale);
  } catch (...) {
    settle();
    throw;
  }
  settle();
}

void TMXCustomGeneticComponent::ClearStatistics() {
  DropParetoRanking();
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
  EvaluateStale(*FPopulation);
  DoCalculateFitnessStatistics();
  DoCalculateWeightedFitnessStatistics();
  if (ParetoRanking()) DoCalculateParetoStatistics();
  DoSelectionPreparation();
}

void TMXCustomGeneticComponent::ParallelEvaluateFitness() {
  if (FPopulation->Count() == 0) {
    ClearStatistics();
    return;
  }
  EvaluateStale(*FPopulation);
  DoParallelCalculateFitnessStatistics();
  DoCalculateWeightedFitnessStatistics();
  if (ParetoRanking()) DoCalculateParetoStatistics();
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

}  // namespace evokit
