// The genetic component's configuration, generation loop, reproduction and termination.
// Selection lives in selection.cpp, statistics and the parallel variants in statistics.cpp.
#include <evokit/core/genetic_component.h>

#include <algorithm>
#include <limits>

#include <evokit/core/limits.h>
#include <evokit/platform/parallel.h>
#include <evokit/platform/random.h>
#include <evokit/platform/guards.h>

namespace evokit {
namespace {

TGAProbability ClampProbability(TGAProbability Value) {
  if (Value < 0) return 0;
  if (Value > 1) return 1;
  return Value;
}

}  // namespace

// --- Life cycle -----------------------------------------------------------------

TMXCustomGeneticComponent::TMXCustomGeneticComponent(TComponent* AOwner) : TComponent(AOwner) {
  FPopulation = CreatePopulation(TMXIndividualClass::Of<TMXIndividual>());
  SetInitialDuplicatesRetries(DEFAULT_INITIAL_DUPLICATES_RETRIES);
  SetCrossoverProbability(CROSSOVER_PROBABILITY);
  SetInversionProbability(INVERSION_PROBABILITY);
  SetMutationProbability(MUTATION_PROBABILITY);
  SetSelectionMethod(DEFAULT_SELECTION_METHOD);
  SetFitnessMethod(DEFAULT_FITNESS_METHOD);
  SetFitnessCutoff(DEFAULT_FITNESS_CUTOFF);
  SetUseFitnessCutoff(false);
  SetDiversityLimit(DEFAULT_DIVERSITY_LIMIT);
  SetElitistPct(DEFAULT_ELITIST_PCT);
  SetTournamentField(DEFAULT_TOURNAMENT_FIELD);
  SetInitialPopulation(DEFAULT_INITIAL_POPULATION);
  SetOperations(DEFAULT_OPERATIONS);
}

TMXCustomGeneticComponent::~TMXCustomGeneticComponent() {
  Destroying();
  // Populations destroy their individuals without notifications, so nothing calls back.
  FPriorityQueue.reset();
  FRankedPopulation = nullptr;
  FParetoPopulation = nullptr;
  FFittestIndividual = nullptr;
  FPopulation.reset();
  FPreviousGeneration.reset();
}

std::unique_ptr<TMXPopulation> TMXCustomGeneticComponent::CreatePopulation(TMXIndividualClass IndividualClass) {
  return std::make_unique<TMXPopulation>(this, IndividualClass);
}

void TMXCustomGeneticComponent::RecreatePopulations() {
  const TMXIndividualClass individualClass = FPopulation->IndividualClass();
  std::unique_ptr<TMXPopulation> population = CreatePopulation(individualClass);
  std::unique_ptr<TMXPopulation> previous = FPreviousGeneration ? CreatePopulation(individualClass) : nullptr;
  // The old individuals go without notifications: drop every reference to them first.
  FFittestIndividual = nullptr;
  if (FPriorityQueue) FPriorityQueue->Clear();
  FRankedPopulation = nullptr;
  FCumNormFitnesses.clear();
  FTabledPopulation = nullptr;
  DropParetoRanking();
  FPopulation = std::move(population);
  FPreviousGeneration = std::move(previous);
}

// --- Properties -----------------------------------------------------------------

void TMXCustomGeneticComponent::SetCrossoverProbability(TGAProbability Value) {
  if (Value != FCrossoverProbability) FCrossoverProbability = ClampProbability(Value);
}

void TMXCustomGeneticComponent::SetMutationProbability(TGAProbability Value) {
  if (Value != FMutationProbability) FMutationProbability = ClampProbability(Value);
}

void TMXCustomGeneticComponent::SetInversionProbability(TGAProbability Value) {
  if (Value != FInversionProbability) FInversionProbability = ClampProbability(Value);
}

void TMXCustomGeneticComponent::SetDiversityLimit(TGAProbability Value) {
  if (Value != FDiversityLimit) FDiversityLimit = ClampProbability(Value);
}

void TMXCustomGeneticComponent::SetElitistPct(TGAProbability Value) {
  if (Value != FElitistPct) FElitistPct = ClampProbability(Value);
}

void TMXCustomGeneticComponent::SetInitialPopulation(int Value) {
  CheckLimit("InitialPopulation", Value, Limits().MaxPopulation);
  FInitialPopulation = Value < 0 ? 0 : Value;
}

void TMXCustomGeneticComponent::SetInitialDuplicatesRetries(int Value) {
  CheckLimit("InitialDuplicatesRetries", Value, Limits().MaxDuplicatesRetries);
  FInitialDuplicatesRetries = Value < 0 ? 0 : Value;
}

void TMXCustomGeneticComponent::CheckPopulationCapacity(std::int64_t Individuals) const {
  CheckLimit("Population", Individuals, Limits().MaxPopulation);
}

void TMXCustomGeneticComponent::SetGenerationLimit(int Value) { FGenerationLimit = Value < 1 ? 1 : Value; }

void TMXCustomGeneticComponent::SetTournamentField(int Value) { FTournamentField = Value < 2 ? 2 : Value; }

void TMXCustomGeneticComponent::SetPopulation(const TMXPopulation* Value) { FPopulation->Assign(Value); }

void TMXCustomGeneticComponent::SetPreviousGeneration(const TMXPopulation* Value) {
  if (!FPreviousGeneration) FPreviousGeneration = CreatePopulation(FPopulation->IndividualClass());
  FPreviousGeneration->Assign(Value);
}

void TMXCustomGeneticComponent::SwapGenerations() {
  if (!FPreviousGeneration) FPreviousGeneration = CreatePopulation(FPopulation->IndividualClass());
  FPopulation.swap(FPreviousGeneration);
}

// --- Population hooks -----------------------------------------------------------

void TMXCustomGeneticComponent::PopulationChanging(const TMXPopulation* Sender, TCollectionNotification Action) {
  // The elitist queue holds raw pointers: once one of its individuals may be destroyed
  // it is emptied, and the next elitist pick ranks afresh.
  if (Action != cnAdded && Sender == FRankedPopulation && FPriorityQueue) {
    FPriorityQueue->Clear();
    FRankedPopulation = nullptr;
  }
  // A table of another length than its population would pick past the end.
  if (Sender == FKeyedPopulation) FKeyedPopulation = nullptr;
  if (Sender == FTabledPopulation) {
    FCumNormFitnesses.clear();
    FTabledPopulation = nullptr;
  }
  if (Sender == FParetoPopulation) DropParetoRanking();
}

void TMXCustomGeneticComponent::PopulationNotify(TMXIndividual* Item, TCollectionNotification Action) {
  if ((Action == cnExtracting || Action == cnDeleting) && Item == FFittestIndividual) FFittestIndividual = nullptr;
}

void TMXCustomGeneticComponent::PopulationUpdate(TMXIndividual*) {}

// --- Subclass steps ---------------------------------------------------------------

bool TMXCustomGeneticComponent::DoCrossover(TMXIndividual*, TMXIndividual*, TMXIndividual*, TMXIndividual*) {
  return false;
}

bool TMXCustomGeneticComponent::DoMutate(TMXIndividual*) { return false; }

bool TMXCustomGeneticComponent::DoInvert(TMXIndividual*) { return false; }

int TMXCustomGeneticComponent::DoInitialize() { return 0; }

// --- Initialisation and the generation step ----------------------------------------

void TMXCustomGeneticComponent::Initialize() {
  CheckPopulationCapacity(std::max(FInitialPopulation, FPopulation->Count()));
  FInitialized = false;
  while (FPopulation->Count() < FInitialPopulation) FPopulation->Add();
  if (FOnInitialization) FOnInitialization(this, FInitialized);
  if (!FInitialized) DoInitialize();
  EvaluateFitness();
  SetPreviousGeneration(FPopulation.get());
  FInitialized = true;
  FGeneration = 0;
}

void TMXCustomGeneticComponent::CheckHandlers() const {
  // A multi-objective run may get its fitness from the objectives alone.
  if (!FOnEvaluateFitness && !FOnEvaluatePopulation && !(ObjectiveCount() > 0 && FOnEvaluateObjectives))
    RaiseMessage<EGAException>(_SNoFitnessFunction);
  if (FSelectionMethod == smCustom && !FOnSelection) RaiseMessage<EGAException>(_SNoSelectionFunction);
}

void TMXCustomGeneticComponent::Evolve() {
  DoEvolve();
  if (FOnEvolve) FOnEvolve(this);
}

int TMXCustomGeneticComponent::Evolve(int Generations) {
  return RunGenerations(Generations, &TMXCustomGeneticComponent::Evolve);
}

int TMXCustomGeneticComponent::RunGenerations(int Generations, void (TMXCustomGeneticComponent::*Step)()) {
  SetHalt(false);
  const int start = FGeneration;
  for (int i = 0; i < Generations; ++i) {
    (this->*Step)();
    if (IsFinished() || Halt()) break;
  }
  return FGeneration - start;
}

void TMXCustomGeneticComponent::DoEvolve() {
  if (!FInitialized) Initialize();
  if (IsFinished() || FPopulation->Count() == 0) return;
  CheckHandlers();
  EvaluateStale(*FPopulation);  // parents changed since their evaluation, scored together
  PrepareRouletteTable();
  DoStartEvolve();
  TMXPopulation* children = FPopulation.get();
  {
    const auto update = UpdateGuard(*children);
    // The keys hold while the parents are bred from; a handler may change them later.
    PrepareTournamentKeys(*FPreviousGeneration);
    const TScopeExit keys([this] { DropTournamentKeys(); });
    for (int i = 0; i < FPopulation->Count(); i += 2) DoEvolveOneStep(i);
    // Survival reads (and so evaluates) the children in population order, after those a
    // population handler scores.
    if (FSelectionMethod == smNSGA2) {
      EvaluateStale(*FPopulation);
      SelectSurvivors();
    }
    EvaluateFitness();
  }
  DoFinishEvolve();
}

void TMXCustomGeneticComponent::DoEvolveOneStep(int Index) {
  TMXPopulation* parents = FPreviousGeneration.get();
  TMXIndividual* parent1 = nullptr;
  TMXIndividual* parent2 = nullptr;
  if (FMatedPopulation == parents) {
    parent1 = parents->Items(FMates[static_cast<std::size_t>(Index)]);
    parent2 = parents->Items(FMates[static_cast<std::size_t>(Index) + 1]);
  } else {
    parent1 = SelectParent(parents);
    parent2 = SelectParent(parents);
  }
  if (Index >= FPopulation->Count() - 1)
    Reproduce(parent1, parent2, FPopulation->Items(Index));
  else
    Reproduce(parent1, parent2, FPopulation->Items(Index), FPopulation->Items(Index + 1));
}

void TMXCustomGeneticComponent::DoStartEvolve() {
  FRouletteIndex.store(-1, std::memory_order_relaxed);
  SwapGenerations();
}

void TMXCustomGeneticComponent::DoFinishEvolve() { ++FGeneration; }

bool TMXCustomGeneticComponent::IsFinished() {
  if (FUseFitnessCutoff && FFittestIndividual) {
    const TGAFitness best = FFittestIndividual->Fitness();
    if (Maximizing() ? best >= FFitnessCutoff : best <= FFitnessCutoff) return true;
  }
  if (FUseDiversityLimit && Diversity() < FDiversityLimit) return true;
  if (FUseGenerationLimit) return FGeneration >= FGenerationLimit;
  return false;
}

// --- Reproduction ---------------------------------------------------------------

void TMXCustomGeneticComponent::InitializeChild(TMXIndividual* Parent1, TMXIndividual* Parent2,
                                                TMXIndividual* Child) {
  Child->Assign(Parent1);
  if (FOnInitializeChild) FOnInitializeChild(this, Parent1, Parent2, Child);
}

bool TMXCustomGeneticComponent::Reproduce(TMXIndividual* Parent1, TMXIndividual* Parent2, TMXIndividual* Child1) {
  bool result = DoReproduce(Parent1, Parent2, Child1);
  if (FOnReproduction) FOnReproduction(this, Child1, result);
  return result;
}

bool TMXCustomGeneticComponent::Reproduce(TMXIndividual* Parent1, TMXIndividual* Parent2, TMXIndividual* Child1,
                                          TMXIndividual* Child2) {
  bool result = DoReproduce(Parent1, Parent2, Child1, Child2);
  if (FOnReproduction) {
    FOnReproduction(this, Child1, result);
    FOnReproduction(this, Child2, result);
  }
  return result;
}

bool TMXCustomGeneticComponent::DoReproduce(TMXIndividual* Parent1, TMXIndividual* Parent2,
                                            TMXIndividual* Child1) {
  InitializeChild(Parent1, Parent2, Child1);
  bool result = false;
  // Every enabled operation runs (no short-circuit), so each draws its random number.
  if (FOperations.Contains(goCrossover)) result = Crossover(Parent1, Parent2, Child1);
  if (FOperations.Contains(goMutate)) result = Mutate(Child1) || result;
  if (FOperations.Contains(goInvert)) result = Invert(Child1) || result;
  return result;
}

bool TMXCustomGeneticComponent::DoReproduce(TMXIndividual* Parent1, TMXIndividual* Parent2,
                                            TMXIndividual* Child1, TMXIndividual* Child2) {
  InitializeChild(Parent1, Parent2, Child1);
  InitializeChild(Parent1, Parent2, Child2);
  bool result = false;
  if (FOperations.Contains(goCrossover)) result = Crossover(Parent1, Parent2, Child1, Child2);
  if (FOperations.Contains(goMutate)) {
    result = Mutate(Child1) || result;
    result = Mutate(Child2) || result;
  }
  if (FOperations.Contains(goInvert)) {
    result = Invert(Child1) || result;
    result = Invert(Child2) || result;
  }
  return result;
}

// The one-child form is a slot of its own: it does not go through the (overridable)
// two-child form, so an override of that one never sees a single child.
bool TMXCustomGeneticComponent::Crossover(TMXIndividual* Parent1, TMXIndividual* Parent2, TMXIndividual* Child1) {
  bool proceed = FCrossoverProbability > Random();
  if (proceed && FOnCrossover) FOnCrossover(this, Parent1, Parent2, Child1, proceed);
  if (proceed) proceed = DoCrossover(Parent1, Parent2, Child1, nullptr);
  return proceed;
}

bool TMXCustomGeneticComponent::Crossover(TMXIndividual* Parent1, TMXIndividual* Parent2, TMXIndividual* Child1,
                                          TMXIndividual* Child2) {
  bool proceed = FCrossoverProbability > Random();
  if (proceed && FOnCrossover) FOnCrossover(this, Parent1, Parent2, Child1, proceed);
  if (proceed) proceed = DoCrossover(Parent1, Parent2, Child1, Child2);
  return proceed;
}

bool TMXCustomGeneticComponent::Mutate(TMXIndividual* Item) {
  bool proceed = FMutationProbability > Random();
  if (proceed && FOnMutation) FOnMutation(this, Item, proceed);
  if (proceed) proceed = DoMutate(Item);
  return proceed;
}

bool TMXCustomGeneticComponent::Invert(TMXIndividual* Item) {
  bool proceed = FInversionProbability > Random();
  if (proceed && FOnInversion) FOnInversion(this, Item, proceed);
  if (proceed) proceed = DoInvert(Item);
  return proceed;
}

// --- Comparison -------------------------------------------------------------------

int TMXCustomGeneticComponent::CompareFitness(const TMXIndividual* Parent1, const TMXIndividual* Parent2,
                                              bool UsePureFitness) const {
  TGAFitness difference;
  if (UsePureFitness || !Weighted()) {
    const TGAFitness f1 = Parent1->Fitness();
    const TGAFitness f2 = Parent2->Fitness();
    difference = Maximizing() ? f2 - f1 : f1 - f2;
  } else {
    const TGAFitness w1 = Parent1->WeightedFitness();
    const TGAFitness w2 = Parent2->WeightedFitness();
    difference = FFitnessMethod == fmWeightedMaximize ? w2 - w1 : w1 - w2;
  }
  return (difference > 0) - (difference < 0);
}

TMXIndividual* TMXCustomGeneticComponent::Fittest(TMXIndividual* Parent1, TMXIndividual* Parent2,
                                                  bool UsePureFitness) const {
  return CompareFitness(Parent1, Parent2, UsePureFitness) < 1 ? Parent1 : Parent2;
}

TGAFitness TMXCustomGeneticComponent::UnfitFitness() const {
  return Maximizing() ? static_cast<TGAFitness>(std::numeric_limits<float>::denorm_min())
                      : static_cast<TGAFitness>(std::numeric_limits<float>::max());
}

}  // namespace evokit
