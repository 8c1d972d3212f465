// Individuals, populations and the genetic component: configuration, the generation
// loop, reproduction, selection, scaling and statistics, sequential and parallel.
#include <evokit/core/genetic_component.h>
#include <evokit/core/individual.h>
#include <evokit/platform/parallel.h>
#include <evokit/platform/random.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <vector>

using namespace evokit;

// --- Allocation counter (for the steady-state check) -------------------------------

namespace {
std::atomic<bool> gCountAllocations{false};
std::atomic<long> gAllocations{0};
}  // namespace

void* operator new(std::size_t size) {
  if (gCountAllocations.load(std::memory_order_relaxed)) gAllocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
// Not inlined: GCC would otherwise pair the free() with operator new and warn.
__attribute__((noinline)) void operator delete(void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

// --- A one-number genome ---------------------------------------------------------------

class TNumber : public TMXIndividual {
 public:
  explicit TNumber(TCollection* Collection = nullptr) : TMXIndividual(Collection) {}
  std::string ClassName() const override { return "TNumber"; }
  double Value() const { return FValue; }
  void SetValue(double Value) {
    FValue = Value;
    Modified();
  }
  void Assign(const TPersistent* Source) override {
    TMXIndividual::Assign(Source);
    if (const auto* number = dynamic_cast<const TNumber*>(Source)) FValue = number->FValue;
  }

 private:
  double FValue = 0;
};

double ValueOf(const TMXIndividual* Item) { return static_cast<const TNumber*>(Item)->Value(); }

// Crossover: first child the mean of the parents, second a copy of Parent2. Mutation: a
// small random step. Inversion: the sign flips.
class TNumberGA : public TMXCustomGeneticComponent {
 public:
  explicit TNumberGA(TComponent* AOwner = nullptr) : TMXCustomGeneticComponent(AOwner) { RecreatePopulations(); }

  TNumber* At(int Index) const { return static_cast<TNumber*>(Population()->Items(Index)); }
  std::vector<double> Values() const {
    std::vector<double> out;
    for (int i = 0; i < Population()->Count(); ++i) out.push_back(At(i)->Value());
    return out;
  }
  // Sets the population to Values through OnInitialization and initialises.
  void Start(const std::vector<double>& Values) {
    SetInitialPopulation(static_cast<int>(Values.size()));
    while (Population()->Count() > InitialPopulation()) Population()->Delete(Population()->Count() - 1);
    SetOnInitialization([this, Values](TObject*, bool& Done) {
      for (int i = 0; i < Population()->Count(); ++i) At(i)->SetValue(Values[static_cast<std::size_t>(i)]);
      Done = true;
    });
    Initialize();
  }
  void StartStep() { DoStartEvolve(); }

  using TMXCustomGeneticComponent::CalculateCumulativeNormalizedFitnesses;
  using TMXCustomGeneticComponent::CumNormFitnesses;
  using TMXCustomGeneticComponent::PrioritizePopulation;
  using TMXCustomGeneticComponent::RouletteIndex;

  std::vector<std::string> Log;  // genome operations, sequential tests only
  bool LogOperations = false;
  int Updates = 0;

 protected:
  std::unique_ptr<TMXPopulation> CreatePopulation(TMXIndividualClass) override {
    return std::make_unique<TMXPopulation>(this, TMXIndividualClass::Of<TNumber>());
  }
  int DoInitialize() override {
    for (int i = 0; i < Population()->Count(); ++i) At(i)->SetValue(Random() * 10);
    return Population()->Count();
  }
  bool DoCrossover(TMXIndividual* Parent1, TMXIndividual* Parent2, TMXIndividual* Child1,
                   TMXIndividual* Child2) override {
    Record("X", Child1);
    static_cast<TNumber*>(Child1)->SetValue((ValueOf(Parent1) + ValueOf(Parent2)) / 2);
    if (Child2) static_cast<TNumber*>(Child2)->SetValue(ValueOf(Parent2));
    return true;
  }
  bool DoMutate(TMXIndividual* Item) override {
    Record("M", Item);
    static_cast<TNumber*>(Item)->SetValue(ValueOf(Item) + (Random() - 0.5) * 0.2);
    return true;
  }
  bool DoInvert(TMXIndividual* Item) override {
    Record("I", Item);
    static_cast<TNumber*>(Item)->SetValue(-ValueOf(Item));
    return true;
  }
  void PopulationUpdate(TMXIndividual*) override { ++Updates; }

 private:
  void Record(const char* Op, TMXIndividual* Item) {
    if (LogOperations) Log.push_back(Op + std::to_string(Item->Index()));
  }
};

// Fitness |value - 3|, counting calls (thread-safe).
struct TDistance {
  std::atomic<int> Calls{0};
  void operator()(TObject*, TMXIndividual* Item, TGAFitness& Fitness) {
    Calls.fetch_add(1, std::memory_order_relaxed);
    Fitness = std::abs(ValueOf(Item) - 3);
  }
};

TMXFitnessEvent Bind(TDistance& d) {
  return [&d](TObject* s, TMXIndividual* i, TGAFitness& f) { d(s, i, f); };
}

// Fitness equal to the value.
void ValueFitness(TObject*, TMXIndividual* Item, TGAFitness& Fitness) { Fitness = ValueOf(Item); }

class ThreadLimit {
 public:
  explicit ThreadLimit(int n) { TParallel::SetMaxThreads(n); }
  ~ThreadLimit() { TParallel::SetMaxThreads(0); }
};

}  // namespace

// === Individual and population ==========================================================

TEST(Individual, EvaluatesOnceUntilModifiedOrRenamed) {
  TNumberGA ga;
  TDistance d;
  ga.SetOnEvaluateFitness(Bind(d));
  auto* x = static_cast<TNumber*>(ga.Population()->Add());
  x->SetValue(5);
  EXPECT_TRUE(x->NeedFitness());
  EXPECT_EQ(x->Fitness(), 2);
  EXPECT_EQ(x->Fitness(), 2);
  EXPECT_EQ(d.Calls, 1);
  x->SetName("");  // equal name: cache kept
  EXPECT_EQ(x->Fitness(), 2);
  EXPECT_EQ(d.Calls, 1);
  x->SetName("best");
  EXPECT_TRUE(x->NeedFitness());
  EXPECT_EQ(x->Fitness(), 2);
  EXPECT_EQ(d.Calls, 2);
}

TEST(Individual, OutsideAComponentReadsZeroAndStaysStale) {
  TNumber loose;
  loose.SetValue(8);
  EXPECT_EQ(loose.Fitness(), 0);
  EXPECT_TRUE(loose.NeedFitness());
  EXPECT_EQ(loose.WeightedFitness(), 0);
  EXPECT_EQ(loose.AdjustedFitness(), 0);
  EXPECT_EQ(loose.NormalizedWeigthedFitness(), 0);
  EXPECT_EQ(loose.Collection(), nullptr);

  // A population owned by something else, and an individual moved out of a component.
  TPersistent owner;
  TMXPopulation foreign(&owner, TMXIndividualClass::Of<TNumber>());
  EXPECT_EQ(foreign.Owner(), nullptr);
  EXPECT_EQ(foreign.Add()->Fitness(), 0);

  TNumberGA ga;
  ga.SetOnEvaluateFitness(ValueFitness);
  auto* moved = static_cast<TNumber*>(ga.Population()->Add());
  moved->SetValue(4);
  moved->SetCollection(&foreign);
  EXPECT_EQ(moved->Fitness(), 0);
  EXPECT_EQ(moved->Collection(), &foreign);
  moved->SetCollection(ga.Population());
  EXPECT_EQ(moved->Fitness(), 4);
}

TEST(Individual, AssignCopiesFitnessStateAndNameAndRejectsOtherClasses) {
  TNumberGA ga;
  TDistance d;
  ga.SetOnEvaluateFitness(Bind(d));
  auto* a = static_cast<TNumber*>(ga.Population()->Add());
  a->SetValue(7);
  a->SetName("a");
  auto* b = static_cast<TNumber*>(ga.Population()->Add());
  b->Assign(a);  // reading a's fitness evaluates it
  EXPECT_EQ(d.Calls, 1);
  EXPECT_FALSE(b->NeedFitness());
  EXPECT_EQ(b->Fitness(), 4);
  EXPECT_EQ(b->Name(), "a");
  EXPECT_EQ(b->Value(), 7);
  EXPECT_EQ(d.Calls, 1);

  try {
    b->Assign(ga.Population());
    FAIL() << "no exception";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "Cannot assign a TMXPopulation to a TNumber");
  }
  EXPECT_EQ(b->Value(), 7);
}

TEST(Individual, DisplayNameCloneAndPopulationAccess) {
  TMXCustomGeneticComponent base;
  TMXIndividual* plain = base.Population()->Add();
  EXPECT_EQ(plain->DisplayName(), "TMXIndividual");
  plain->SetName("Eve");
  EXPECT_EQ(plain->DisplayName(), "Eve");
  EXPECT_EQ(base.Population()->Owner(), &base);
  EXPECT_EQ(plain->Collection(), base.Population());

  TNumberGA ga;
  ga.SetOnEvaluateFitness(ValueFitness);
  for (int i = 0; i < 3; ++i) static_cast<TNumber*>(ga.Population()->Add())->SetValue(i + 1);
  TMXIndividual* clone = ga.At(1)->Clone();
  EXPECT_EQ(clone->Index(), 3);
  EXPECT_EQ(ValueOf(clone), 2);
  EXPECT_EQ(clone->ClassName(), "TNumber");
  EXPECT_EQ(ga.Population()->FindItemID(clone->ID()), clone);
  EXPECT_EQ(ga.Population()->FindItemID(999), nullptr);
  TMXIndividual* inserted = ga.Population()->Insert(0);
  EXPECT_EQ(inserted->Index(), 0);
  EXPECT_EQ(ga.Population()->Count(), 5);
  TNumber loose;
  EXPECT_THROW(loose.Clone(), EListError);
  EXPECT_THROW(ga.Population()->Items(5), EListError);
}

TEST(Individual, WeightedFitnessIsNeverCached) {
  TNumberGA ga;
  ga.SetOnEvaluateFitness(ValueFitness);
  int weightedCalls = 0;
  ga.SetOnEvaluateWeightedFitness([&](TObject*, TMXIndividual* Item, TGAFitness& F) {
    ++weightedCalls;
    F = ValueOf(Item) * 10;
  });
  auto* x = static_cast<TNumber*>(ga.Population()->Add());
  x->SetValue(2);
  EXPECT_EQ(x->WeightedFitness(), 20);
  EXPECT_EQ(x->WeightedFitness(), 20);
  EXPECT_EQ(weightedCalls, 2);
}

TEST(Individual, PopulationReportsUpdatesAndLosingTheFittest) {
  TNumberGA ga;
  ga.SetOnEvaluateFitness(ValueFitness);
  ga.Start({3, 1, 2});
  ASSERT_EQ(ga.FittestIndividual(), ga.At(1));
  const int before = ga.Updates;
  ga.At(0)->SetValue(5);  // Modified -> Changed -> Update -> PopulationUpdate
  EXPECT_EQ(ga.Updates, before + 1);
  ga.Population()->Delete(2);
  EXPECT_EQ(ga.FittestIndividual(), ga.At(1));
  ga.Population()->Delete(1);
  EXPECT_EQ(ga.FittestIndividual(), nullptr);
}

// === Configuration ======================================================================

TEST(Component, DefaultsAfterConstruction) {
  TMXCustomGeneticComponent c;
  EXPECT_EQ(c.InitialDuplicatesRetries(), 10);
  EXPECT_EQ(c.CrossoverProbability(), 0.98);
  EXPECT_EQ(c.InversionProbability(), 0.1);
  EXPECT_EQ(c.MutationProbability(), 0.01);
  EXPECT_EQ(c.SelectionMethod(), smStochasticTournament);
  EXPECT_TRUE(static_cast<bool>(c.OnSelection()));
  EXPECT_EQ(c.FitnessCutoff(), 1.0);
  EXPECT_EQ(c.DiversityLimit(), 0.02);
  EXPECT_EQ(c.ElitistPct(), 0.1);
  EXPECT_EQ(c.TournamentField(), 2);
  EXPECT_EQ(c.InitialPopulation(), 100);
  EXPECT_EQ(c.Operations().Value(), 7);
  EXPECT_EQ(c.FitnessMethod(), fmMinimize);
  EXPECT_EQ(c.GenerationLimit(), 0);
  EXPECT_FALSE(c.UseFitnessCutoff() || c.UseDiversityLimit() || c.UseGenerationLimit() || c.Halt());
  EXPECT_FALSE(c.Initialized());
  EXPECT_EQ(c.Generation(), 0);
  EXPECT_EQ(c.FittestIndividual(), nullptr);
  EXPECT_EQ(c.PreviousGeneration(), nullptr);
  EXPECT_EQ(c.Population()->Count(), 0);
  EXPECT_EQ(c.ClassName(), "TMXCustomGeneticComponent");
}

TEST(Component, SettersClampInsteadOfRejecting) {
  TMXCustomGeneticComponent c;
  c.SetTournamentField(1);
  EXPECT_EQ(c.TournamentField(), 2);
  c.SetTournamentField(7);
  EXPECT_EQ(c.TournamentField(), 7);
  c.SetGenerationLimit(0);
  EXPECT_EQ(c.GenerationLimit(), 1);
  c.SetInitialPopulation(-5);
  EXPECT_EQ(c.InitialPopulation(), 0);
  c.SetInitialDuplicatesRetries(-1);
  EXPECT_EQ(c.InitialDuplicatesRetries(), 0);
  c.SetMutationProbability(1.5);
  EXPECT_EQ(c.MutationProbability(), 1);
  c.SetCrossoverProbability(-0.25);
  EXPECT_EQ(c.CrossoverProbability(), 0);
  c.SetInversionProbability(0.3);
  EXPECT_EQ(c.InversionProbability(), 0.3);
  c.SetDiversityLimit(2);
  EXPECT_EQ(c.DiversityLimit(), 1);
  c.SetElitistPct(-1);
  EXPECT_EQ(c.ElitistPct(), 0);
}

TEST(Component, SelectionMethodAndHandlerFollowEachOther) {
  TNumberGA ga;
  ga.SetOnEvaluateFitness(ValueFitness);
  ga.Start({1, 2, 3, 4});
  int customCalls = 0;
  ga.SetOnSelection([&](TObject*, TMXPopulation* P, TMXIndividual*& Parent) {
    ++customCalls;
    Parent = P->Items(0);
  });
  EXPECT_EQ(ga.SelectionMethod(), smCustom);
  EXPECT_TRUE(ga.IsCustomSelection());
  ga.SetSelectionMethod(smCustom);  // equal: the handler stays
  ga.Evolve();
  EXPECT_EQ(customCalls, 4);

  ga.SetOnSelection(nullptr);
  EXPECT_EQ(ga.SelectionMethod(), smRoulette);
  ASSERT_TRUE(static_cast<bool>(ga.OnSelection()));
  ga.Evolve();
  EXPECT_EQ(ga.Generation(), 2);

  ga.SetSelectionMethod(smCustom);
  EXPECT_FALSE(static_cast<bool>(ga.OnSelection()));
  TMXPopulation* current = ga.Population();
  const std::vector<double> values = ga.Values();
  try {
    ga.Evolve();
    FAIL() << "no exception";
  } catch (const EGAException& e) {
    EXPECT_STREQ(e.what(), "No custom selection function defined");
  }
  EXPECT_EQ(ga.Population(), current);  // not swapped
  EXPECT_EQ(ga.Values(), values);
  EXPECT_EQ(ga.Generation(), 2);
  EXPECT_THROW(ga.ParallelEvolve(), EGAException);
  EXPECT_EQ(ga.Population(), current);

  ga.SetSelectionMethod(smTournament);
  ga.Evolve();
  EXPECT_EQ(ga.Generation(), 3);
}

TEST(Component, MissingFitnessHandlerRaisesBeforeAnythingChanges) {
  TNumberGA ga;
  ga.SetOnEvaluateFitness(ValueFitness);
  ga.Start({4, 3, 2, 1});
  ga.SetOnEvaluateFitness(nullptr);
  TMXPopulation* current = ga.Population();
  TMXPopulation* previous = ga.PreviousGeneration();
  for (bool parallel : {false, true}) {
    try {
      parallel ? ga.ParallelEvolve() : ga.Evolve();
      FAIL() << "no exception";
    } catch (const EGAException& e) {
      EXPECT_STREQ(e.what(), "No fitness function defined");
    }
    EXPECT_EQ(ga.Population(), current);
    EXPECT_EQ(ga.PreviousGeneration(), previous);
    EXPECT_EQ(ga.Values(), (std::vector<double>{4, 3, 2, 1}));
    EXPECT_EQ(ga.Generation(), 0);
  }
  // Without a handler an individual's fitness reads 0, no error.
  EXPECT_EQ(ga.EvaluateFitness(ga.At(0), false), 0);
}

TEST(Component, PopulationSettersCopyAndGenerationsSwap) {
  TNumberGA source, ga;
  source.SetOnEvaluateFitness(ValueFitness);
  source.Start({5, 6});
  ga.SetOnEvaluateFitness(ValueFitness);
  ga.SetPopulation(source.Population());
  EXPECT_EQ(ga.Values(), (std::vector<double>{5, 6}));
  EXPECT_NE(ga.At(0), source.At(0));
  ga.SetPreviousGeneration(source.Population());
  ASSERT_NE(ga.PreviousGeneration(), nullptr);
  EXPECT_EQ(ga.PreviousGeneration()->Count(), 2);
  TMXPopulation* a = ga.Population();
  TMXPopulation* b = ga.PreviousGeneration();
  ga.SwapGenerations();
  EXPECT_EQ(ga.Population(), b);
  EXPECT_EQ(ga.PreviousGeneration(), a);
  EXPECT_THROW(ga.SetPopulation(nullptr), EConvertError);
}

// === Initialisation and the generation loop ==============================================

TEST(Evolution, InitializeFillsBuildsEvaluatesAndCopies) {
  TNumberGA ga;
  TDistance d;
  ga.SetOnEvaluateFitness(Bind(d));
  ga.SetInitialPopulation(6);
  ga.Population()->Add();
  ga.Initialize();
  EXPECT_TRUE(ga.Initialized());
  EXPECT_EQ(ga.Population()->Count(), 6);
  EXPECT_EQ(d.Calls, 6);
  for (double v : ga.Values()) EXPECT_TRUE(v >= 0 && v < 10);  // DoInitialize ran
  ASSERT_EQ(ga.PreviousGeneration()->Count(), 6);
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(ValueOf(ga.PreviousGeneration()->Items(i)), ga.At(i)->Value());
    EXPECT_FALSE(ga.PreviousGeneration()->Items(i)->NeedFitness());
  }
  EXPECT_EQ(d.Calls, 6);

  // A larger population keeps its individuals; a handler that builds skips DoInitialize.
  ga.SetInitialPopulation(2);
  bool fired = false;
  ga.SetOnInitialization([&](TObject* Sender, bool& Done) {
    EXPECT_EQ(Sender, &ga);
    EXPECT_FALSE(Done);
    fired = true;
    Done = true;
  });
  const std::vector<double> values = ga.Values();
  ga.SetGeneration(9);
  ga.Initialize();
  EXPECT_TRUE(fired);
  EXPECT_EQ(ga.Values(), values);
  EXPECT_EQ(ga.Generation(), 0);
}

TEST(Evolution, TerminationLimitsAndHalt) {
  TNumberGA ga;
  ga.SetOnEvaluateFitness(ValueFitness);
  ga.SetInitialPopulation(8);
  int evolves = 0;
  ga.SetOnEvolve([&](TObject*) { ++evolves; });
  ga.SetUseGenerationLimit(true);  // the limit is still 0: finished at once
  EXPECT_EQ(ga.Evolve(10), 0);
  EXPECT_EQ(evolves, 1);
  EXPECT_TRUE(ga.Initialized());

  TNumberGA three;
  three.SetOnEvaluateFitness(ValueFitness);
  three.SetInitialPopulation(8);
  three.SetUseGenerationLimit(true);
  three.SetGenerationLimit(3);
  EXPECT_EQ(three.Evolve(5), 3);
  EXPECT_EQ(three.Generation(), 3);
  EXPECT_EQ(three.Evolve(0), 0);
  EXPECT_EQ(three.Evolve(-1), 0);

  TNumberGA halted;
  halted.SetOnEvaluateFitness(ValueFitness);
  halted.SetInitialPopulation(8);
  halted.SetOnEvolve([&](TObject*) { halted.SetHalt(true); });
  EXPECT_EQ(halted.Evolve(100), 1);
  EXPECT_EQ(halted.ParallelEvolve(100), 1);  // Halt is cleared at the start
  EXPECT_EQ(halted.Generation(), 2);
}

TEST(Evolution, FinishedTestsInOrder) {
  TNumberGA ga;
  ga.SetOnEvaluateFitness(ValueFitness);
  ga.SetUseFitnessCutoff(true);
  ga.SetFitnessCutoff(1);
  EXPECT_FALSE(ga.IsFinished());  // no fittest individual yet
  ga.Start({3, 2, 4});
  EXPECT_FALSE(ga.IsFinished());  // best 2 > 1 under minimisation
  ga.SetFitnessCutoff(2);
  EXPECT_TRUE(ga.IsFinished());   // <= holds at equality
  ga.SetFitnessMethod(fmMaximize);
  ga.EvaluateFitness();
  ga.SetFitnessCutoff(4);
  EXPECT_TRUE(ga.IsFinished());   // best 4 >= 4
  ga.SetFitnessCutoff(4.5);
  EXPECT_FALSE(ga.IsFinished());
  // The raw fitness decides also under a weighted method.
  ga.SetOnEvaluateWeightedFitness([](TObject*, TMXIndividual*, TGAFitness& F) { F = 100; });
  ga.SetFitnessMethod(fmWeightedMaximize);
  EXPECT_FALSE(ga.IsFinished());
  ga.SetUseFitnessCutoff(false);

  // Diversity 3/4 here; a limit above it ends evolution.
  ga.SetUseDiversityLimit(true);
  ga.SetDiversityLimit(0.75);
  EXPECT_FALSE(ga.IsFinished());
  ga.SetDiversityLimit(0.8);
  EXPECT_TRUE(ga.IsFinished());
  ga.SetUseDiversityLimit(false);
  ga.SetUseGenerationLimit(true);
  ga.SetGenerationLimit(1);
  EXPECT_FALSE(ga.IsFinished());
  ga.SetGeneration(1);
  EXPECT_TRUE(ga.IsFinished());
}

TEST(Evolution, OddPopulationBreedsPairsThenOneChild) {
  for (bool parallel : {false, true}) {
    TNumberGA ga;
    ga.SetOnEvaluateFitness(ValueFitness);
    ga.Start({1, 2, 3, 4, 5});
    std::mutex lock;
    std::vector<int> initialised, reported;
    ga.SetOnInitializeChild([&](TObject*, TMXIndividual*, TMXIndividual*, TMXIndividual* Child) {
      std::lock_guard<std::mutex> g(lock);
      initialised.push_back(Child->Index());
    });
    ga.SetOnReproduction([&](TObject*, TMXIndividual* Child, bool&) {
      std::lock_guard<std::mutex> g(lock);
      reported.push_back(Child->Index());
    });
    parallel ? ga.ParallelEvolve() : ga.Evolve();
    std::sort(initialised.begin(), initialised.end());
    std::sort(reported.begin(), reported.end());
    EXPECT_EQ(initialised, (std::vector<int>{0, 1, 2, 3, 4})) << parallel;
    EXPECT_EQ(reported, (std::vector<int>{0, 1, 2, 3, 4})) << parallel;
    EXPECT_EQ(ga.Generation(), 1);
  }
}

TEST(Evolution, ParallelStepOnSixBreedsThreePairs) {
  TNumberGA ga;
  ga.SetOnEvaluateFitness(ValueFitness);
  ga.Start({1, 2, 3, 4, 5, 6});
  std::atomic<int> pairs{0};
  ga.SetOnCrossover([&](TObject*, TMXIndividual*, TMXIndividual*, TMXIndividual*, bool&) { ++pairs; });
  ga.SetCrossoverProbability(1);
  ga.ParallelEvolve();
  EXPECT_EQ(pairs, 3);
  EXPECT_EQ(ga.Generation(), 1);
}

TEST(Evolution, EmptyOperationsCopyTheFirstParent) {
  TNumberGA ga;
  TDistance d;
  ga.SetOnEvaluateFitness(Bind(d));
  ga.Start({10, 20, 30, 40});
  ga.SetOperations({});
  int pick = 0;
  ga.SetOnSelection([&](TObject*, TMXPopulation* P, TMXIndividual*& Parent) { Parent = P->Items(pick++ % 4); });
  int falseResults = 0;
  ga.SetOnReproduction([&](TObject*, TMXIndividual*, bool& Result) { falseResults += !Result; });
  const int calls = d.Calls;
  ga.Evolve();
  // Pairs take parents (0, 1) and (2, 3): both children copy the first parent.
  EXPECT_EQ(ga.Values(), (std::vector<double>{10, 10, 30, 30}));
  EXPECT_EQ(falseResults, 4);
  EXPECT_EQ(d.Calls, calls);  // the copies carried their cached fitness
  EXPECT_EQ(ga.At(0)->Fitness(), 7);
}

// The draws of one pair, in order: parent 1, parent 2, crossover, mutation of each child,
// inversion of each child. Replaying the seeded stream predicts every operation.
TEST(Evolution, ProbabilityDrawsComeInTheDocumentedOrder) {
  TNumberGA ga;
  ga.SetOnEvaluateFitness(ValueFitness);
  ga.Start({1, 2, 3, 4, 5, 6});
  ga.SetSelectionMethod(smRandom);
  ga.SetCrossoverProbability(0.5);
  ga.SetMutationProbability(0.5);
  ga.SetInversionProbability(0.5);
  int mutationVetoCalls = 0;
  ga.SetOnMutation([&](TObject*, TMXIndividual*, bool& Go) {
    ++mutationVetoCalls;
    EXPECT_TRUE(Go);
  });
  std::vector<std::pair<double, double>> parents;
  ga.SetOnInitializeChild([&](TObject*, TMXIndividual* P1, TMXIndividual* P2, TMXIndividual* Child) {
    if (Child->Index() % 2 == 0) parents.emplace_back(ValueOf(P1), ValueOf(P2));
  });
  ga.LogOperations = true;
  const std::vector<double> before = ga.Values();

  RandSeed(20240611);
  TRandomStream replay(20240611);
  ga.Evolve();

  std::vector<std::string> expected;
  std::vector<std::pair<double, double>> expectedParents;
  int expectedVetoCalls = 0;
  for (int pair = 0; pair < 3; ++pair) {
    const auto p1 = static_cast<std::size_t>(replay.NextBelow(6));
    const auto p2 = static_cast<std::size_t>(replay.NextBelow(6));
    expectedParents.emplace_back(before[p1], before[p2]);
    const std::string c1 = std::to_string(2 * pair), c2 = std::to_string(2 * pair + 1);
    if (0.5 > replay.NextDouble()) expected.push_back("X" + c1);
    for (const std::string& c : {c1, c2}) {
      if (0.5 > replay.NextDouble()) {
        expected.push_back("M" + c);
        ++expectedVetoCalls;
        replay.NextDouble();  // the mutation step's own draw
      }
    }
    for (const std::string& c : {c1, c2})
      if (0.5 > replay.NextDouble()) expected.push_back("I" + c);
  }
  EXPECT_EQ(parents, expectedParents);
  EXPECT_EQ(ga.Log, expected);
  EXPECT_EQ(mutationVetoCalls, expectedVetoCalls);
}

TEST(Evolution, VetoesCancelOnlySuccessfulDrawsAndReproductionMayOverride) {
  TNumberGA ga;
  ga.SetOnEvaluateFitness(ValueFitness);
  ga.Start({1, 2, 3, 4});
  ga.LogOperations = true;
  ga.SetCrossoverProbability(0);
  ga.SetMutationProbability(1);
  ga.SetInversionProbability(1);
  int crossoverCalls = 0;
  ga.SetOnCrossover([&](TObject*, TMXIndividual*, TMXIndividual*, TMXIndividual*, bool&) { ++crossoverCalls; });
  ga.SetOnMutation([](TObject*, TMXIndividual*, bool& Go) { Go = false; });
  ga.SetOnInversion([](TObject*, TMXIndividual* Item, bool& Go) { Go = Item->Index() == 0; });
  std::vector<bool> results;
  ga.SetOnReproduction([&](TObject*, TMXIndividual* Child, bool& Result) {
    results.push_back(Result);
    if (Child->Index() == 3) Result = true;
  });
  ga.Evolve();
  EXPECT_EQ(crossoverCalls, 0);
  EXPECT_EQ(ga.Log, (std::vector<std::string>{"I0"}));
  // The pair flag is shared by both children's reports.
  EXPECT_EQ(results, (std::vector<bool>{true, true, false, false}));

  // The public operations report what happened.
  TNumber* child = ga.At(0);
  ga.SetOnMutation(nullptr);
  EXPECT_TRUE(ga.Mutate(child));
  ga.SetMutationProbability(0);
  EXPECT_FALSE(ga.Mutate(child));
  ga.SetCrossoverProbability(1);
  ga.SetOnCrossover([](TObject*, TMXIndividual*, TMXIndividual*, TMXIndividual*, bool& Go) { Go = false; });
  EXPECT_FALSE(ga.Crossover(ga.At(1), ga.At(2), child));
  ga.SetOnCrossover(nullptr);
  EXPECT_TRUE(ga.Crossover(ga.At(1), ga.At(2), child));
  EXPECT_EQ(child->Value(), (ga.At(1)->Value() + ga.At(2)->Value()) / 2);

  // The base component changes nothing.
  TMXCustomGeneticComponent base;
  base.SetMutationProbability(1);
  base.SetCrossoverProbability(1);
  base.SetInversionProbability(1);
  TMXIndividual* a = base.Population()->Add();
  EXPECT_FALSE(base.Mutate(a));
  EXPECT_FALSE(base.Invert(a));
  EXPECT_FALSE(base.Crossover(a, a, a, a));
  EXPECT_FALSE(base.Reproduce(a, a, a));
}

// The one-child and two-child crossovers are separate slots: an override of the pair form
// sees the pairs only, one of the single form sees the last child of an odd population.
TEST(Evolution, SingleAndPairCrossoverAreSeparateSlots) {
  class TCountingGA : public TNumberGA {
   public:
    using TMXCustomGeneticComponent::Crossover;
    bool Crossover(TMXIndividual* P1, TMXIndividual* P2, TMXIndividual* C1, TMXIndividual* C2) override {
      EXPECT_NE(C2, nullptr);
      ++Pairs;
      return TNumberGA::Crossover(P1, P2, C1, C2);
    }
    bool Crossover(TMXIndividual* P1, TMXIndividual* P2, TMXIndividual* C1) override {
      ++Singles;
      return TNumberGA::Crossover(P1, P2, C1);
    }
    std::atomic<int> Pairs{0}, Singles{0};
  };
  for (bool parallel : {false, true}) {
    TCountingGA ga;
    ga.SetOnEvaluateFitness(ValueFitness);
    ga.Start({1, 2, 3, 4, 5});
    ga.SetCrossoverProbability(1);
    ga.SetOperations({goCrossover});
    ga.LogOperations = !parallel;
    parallel ? ga.ParallelEvolve() : ga.Evolve();
    EXPECT_EQ(ga.Pairs, 2) << parallel;
    EXPECT_EQ(ga.Singles, 1) << parallel;
    if (!parallel) {
      EXPECT_EQ(ga.Log, (std::vector<std::string>{"X0", "X2", "X4"}));
    }
  }
}

TEST(Evolution, HandlerExceptionsPropagateAndTheComponentRemainsUsable) {
  for (bool parallel : {false, true}) {
    TNumberGA ga;
    std::atomic<int> left{-1};
    ga.SetOnEvaluateFitness([&](TObject*, TMXIndividual* Item, TGAFitness& F) {
      if (left.fetch_sub(1) == 0) throw EListError("fitness failed");
      F = std::abs(ValueOf(Item) - 3);
    });
    ga.SetMutationProbability(1);
    ga.SetInitialPopulation(20);
    ga.Initialize();
    TMXPopulation* before = ga.Population();
    left = 5;
    EXPECT_THROW(parallel ? ga.ParallelEvolve() : ga.Evolve(), EListError);
    EXPECT_EQ(ga.Generation(), 0);
    EXPECT_EQ(ga.PreviousGeneration(), before);  // swapped, children partly written
    EXPECT_EQ(ga.Population()->UpdateCount(), 0);

    // A throwing veto handler likewise.
    left = -1;
    ga.SetCrossoverProbability(1);
    ga.SetOnCrossover([](TObject*, TMXIndividual*, TMXIndividual*, TMXIndividual*, bool&) {
      throw EConvertError("veto failed");
    });
    EXPECT_THROW(parallel ? ga.ParallelEvolve() : ga.Evolve(), EConvertError);
    EXPECT_EQ(ga.Generation(), 0);

    ga.SetOnCrossover(nullptr);
    EXPECT_EQ(parallel ? ga.ParallelEvolve(4) : ga.Evolve(4), 4);
    for (int i = 0; i < ga.Population()->Count(); ++i) EXPECT_FALSE(ga.At(i)->NeedFitness());
  }
}

TEST(Evolution, SteadyStateAllocatesNothingPerGeneration) {
  for (TGASelectionMethod method : {smRoulette, smRandom, smTournament, smStochasticTournament, smElitist}) {
    for (TGAFitnessMethod fitness : {fmMinimize, fmWeightedMaximize}) {
      TNumberGA ga;
      ga.SetOnEvaluateFitness([](TObject*, TMXIndividual* Item, TGAFitness& F) { F = 1 / (1 + ValueOf(Item)); });
      ga.SetFitnessMethod(fitness);
      ga.SetSelectionMethod(method);
      ga.SetMutationProbability(0.5);
      ga.SetInversionProbability(0);
      ga.SetInitialPopulation(101);
      ga.Evolve(3);  // warm-up: tables and queue reach their size
      gAllocations = 0;
      gCountAllocations = true;
      ga.Evolve();
      ga.Evolve();
      gCountAllocations = false;
      EXPECT_EQ(gAllocations.load(), 0) << EnumName(method) << " " << EnumName(fitness);
      EXPECT_EQ(ga.Generation(), 5);
    }
  }
}

// === Comparison and statistics ============================================================

TEST(Fitness, CompareFitnessAndFittestFollowTheMethodAndKeepTheFirstOnTies) {
  TNumberGA ga;
  ga.SetOnEvaluateFitness(ValueFitness);
  // Weighted fitness reverses the raw order, so raw and weighted comparisons differ.
  ga.SetOnEvaluateWeightedFitness([](TObject*, TMXIndividual* Item, TGAFitness& F) { F = -ValueOf(Item); });
  auto* low = static_cast<TNumber*>(ga.Population()->Add());
  auto* high = static_cast<TNumber*>(ga.Population()->Add());
  auto* same = static_cast<TNumber*>(ga.Population()->Add());
  low->SetValue(1);
  high->SetValue(5);
  same->SetValue(1);
  struct Case {
    TGAFitnessMethod Method;
    int Pure, Weighted;  // CompareFitness(low, high, true / false)
  };
  for (const Case& c : {Case{fmMinimize, -1, -1}, Case{fmMaximize, 1, 1}, Case{fmWeightedMinimize, -1, 1},
                        Case{fmWeightedMaximize, 1, -1}}) {
    ga.SetFitnessMethod(c.Method);
    EXPECT_EQ(ga.CompareFitness(low, high, true), c.Pure) << EnumName(c.Method);
    EXPECT_EQ(ga.CompareFitness(low, high, false), c.Weighted) << EnumName(c.Method);
    EXPECT_EQ(ga.CompareFitness(high, low, false), -c.Weighted) << EnumName(c.Method);
    EXPECT_EQ(ga.CompareFitness(low, same, false), 0);
    EXPECT_EQ(ga.Fittest(low, same, true), low);
    EXPECT_EQ(ga.Fittest(same, low, false), same);
    EXPECT_EQ(ga.Fittest(low, high, false), c.Weighted < 0 ? low : high);
  }
}

TEST(Fitness, StatisticsOfAnEvaluatedPopulation) {
  TNumberGA ga;
  ga.SetOnEvaluateFitness(ValueFitness);
  ga.Start({2, 4, 6});
  EXPECT_EQ(ga.MinFitness(), 2);
  EXPECT_EQ(ga.MaxFitness(), 6);
  EXPECT_EQ(ga.AvgFitness(), 4);
  EXPECT_NEAR(ga.Diversity(), 0.6667, 1e-4);
  EXPECT_EQ(ga.MinWeightedFitness(), 2);  // no weighting: the raw figures
  EXPECT_EQ(ga.MaxWeightedFitness(), 6);
  EXPECT_EQ(ga.AvgWeightedFitness(), 4);
  EXPECT_EQ(ga.FittestIndividual(), ga.At(0));

  ga.SetOnEvaluateWeightedFitness([](TObject*, TMXIndividual* Item, TGAFitness& F) { F = ValueOf(Item) * 3; });
  ga.EvaluateFitness();
  EXPECT_EQ(ga.MinWeightedFitness(), 6);
  EXPECT_EQ(ga.MaxWeightedFitness(), 18);
  EXPECT_EQ(ga.AvgWeightedFitness(), 12);
  EXPECT_EQ(ga.MaxFitness(), 6);

  // The first of equally fit individuals wins, in either direction.
  ga.Start({3, 1, 1});
  EXPECT_EQ(ga.FittestIndividual(), ga.At(1));
  ga.SetFitnessMethod(fmMaximize);
  ga.Start({1, 3, 3});
  EXPECT_EQ(ga.FittestIndividual(), ga.At(1));
  ga.SetFitnessMethod(fmWeightedMinimize);  // still the raw fitness
  ga.Start({5, 9, 4});
  EXPECT_EQ(ga.FittestIndividual(), ga.At(2));
}

TEST(Fitness, ZeroFitnessAndEmptyPopulations) {
  TNumberGA ga;
  ga.SetOnEvaluateFitness(ValueFitness);
  ga.Start({0, 0, 0});
  EXPECT_EQ(ga.Diversity(), std::numeric_limits<double>::infinity());
  ga.SetUseDiversityLimit(true);
  ga.SetDiversityLimit(1);
  EXPECT_FALSE(ga.IsFinished());

  ga.Start({5, 7});
  TMXIndividual* fittest = ga.FittestIndividual();
  ga.SwapGenerations();
  ga.Population()->Clear();
  ga.EvaluateFitness();
  EXPECT_EQ(ga.MinFitness(), 0);
  EXPECT_EQ(ga.MaxFitness(), 0);
  EXPECT_EQ(ga.MinWeightedFitness(), 0);
  EXPECT_EQ(ga.MaxWeightedFitness(), 0);
  EXPECT_EQ(ga.AvgFitness(), 0);
  EXPECT_EQ(ga.AvgWeightedFitness(), 0);
  EXPECT_EQ(ga.Diversity(), std::numeric_limits<double>::infinity());
  EXPECT_EQ(ga.FittestIndividual(), fittest);  // kept: it lives in the other population
  ga.ParallelEvaluateFitness();
  EXPECT_EQ(ga.MaxFitness(), 0);
}

TEST(Fitness, ScalingsAndUnfitFitness) {
  TNumberGA ga;
  ga.SetOnEvaluateFitness(ValueFitness);
  ga.Start({0, 5});
  EXPECT_DOUBLE_EQ(ga.GetAdjustedFitness(5), 1.0 / 6);
  EXPECT_EQ(ga.GetAdjustedFitness(0), 1);
  EXPECT_DOUBLE_EQ(ga.At(1)->AdjustedFitness(), 1.0 / 6);
  EXPECT_EQ(ga.At(1)->NormalizedFitness(), 1);
  EXPECT_EQ(ga.At(0)->NormalizedWeigthedFitness(), 0);
  EXPECT_EQ(ga.UnfitFitness(), 3.4028234663852886e38);
  ga.SetFitnessMethod(fmMaximize);
  EXPECT_EQ(ga.GetAdjustedFitness(5), 1);
  EXPECT_DOUBLE_EQ(ga.GetAdjustedFitness(0), 1.0 / 6);
  EXPECT_EQ(ga.UnfitFitness(), 1.401298464324817e-45);
  ga.SetFitnessMethod(fmWeightedMaximize);
  EXPECT_EQ(ga.UnfitFitness(), 1.401298464324817e-45);
  ga.Start({0, 0});
  EXPECT_EQ(ga.GetNormalizedFitness(3), 0);
  EXPECT_EQ(ga.GetNormalizedWeightedFitness(3), 0);
}

// === Selection ===========================================================================

TEST(Selection, CumulativeTablesPerFitnessMethod) {
  TNumberGA ga;
  ga.SetOnEvaluateFitness(ValueFitness);
  ga.SetOnEvaluateWeightedFitness([](TObject*, TMXIndividual* Item, TGAFitness& F) { F = 4 - ValueOf(Item); });
  ga.SetSelectionMethod(smRoulette);
  auto table = [&](TGAFitnessMethod m) {
    ga.SetFitnessMethod(m);
    ga.Start({1, 2, 3});
    return ga.CumNormFitnesses();
  };
  auto near = [](const TGAFitnessArray& a, const std::vector<double>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
      if (std::abs(a[i] - b[i]) > 1e-12) return false;
    return true;
  };
  EXPECT_TRUE(near(table(fmMinimize), {2.0 / 3, 1, 1}));
  EXPECT_TRUE(near(table(fmMaximize), {1.0 / 6, 3.0 / 6, 1}));
  EXPECT_TRUE(near(table(fmWeightedMinimize), {0, 1.0 / 3, 1}));  // weighted 3, 2, 1
  EXPECT_TRUE(near(table(fmWeightedMaximize), {3.0 / 6, 5.0 / 6, 1}));
  // Equal shares under minimisation: one n-th each.
  ga.SetOnEvaluateWeightedFitness(nullptr);
  ga.SetFitnessMethod(fmMinimize);
  ga.Start({2, 2, 2, 2});
  ga.CalculateCumulativeNormalizedFitnesses();
  EXPECT_TRUE(near(ga.CumNormFitnesses(), {0.25, 0.5, 0.75, 1}));
  // The other schemes build no table.
  TNumberGA other;
  other.SetOnEvaluateFitness(ValueFitness);
  other.SetSelectionMethod(smTournament);
  other.Start({1, 2, 3});
  EXPECT_TRUE(other.CumNormFitnesses().empty());
}

TEST(Selection, RouletteFollowsTheTableAndStaysInside) {
  TNumberGA ga;
  ga.SetOnEvaluateFitness(ValueFitness);
  ga.SetSelectionMethod(smRoulette);
  ga.Start({1, 2, 3});
  RandSeed(7);
  TRandomStream replay(7);
  int counts[3] = {0, 0, 0};
  for (int i = 0; i < 3000; ++i) {
    TMXIndividual* p = nullptr;
    ga.SelectRoulette(&ga, ga.Population(), p);
    const double r = replay.NextDouble();
    const int expected = r < 2.0 / 3 ? 0 : 1;
    ASSERT_EQ(p->Index(), expected) << r;
    EXPECT_EQ(ga.RouletteIndex(), expected);
    ++counts[p->Index()];
  }
  EXPECT_EQ(counts[2], 0);  // the worst never
  EXPECT_GT(counts[0], counts[1]);

  // A table whose last value lies below the draw (shares that sum to 0 under
  // maximisation): the pick is the last individual.
  ga.SetFitnessMethod(fmMaximize);
  ga.Start({-1, 1});
  ASSERT_EQ(ga.CumNormFitnesses().back(), 0);
  for (int i = 0; i < 20; ++i) {
    TMXIndividual* p = nullptr;
    ga.SelectRoulette(&ga, ga.Population(), p);
    EXPECT_EQ(p, ga.At(1));
  }
}

TEST(Selection, EqualFitnessMakesRouletteAndElitistUniform) {
  for (TGASelectionMethod method : {smRoulette, smElitist}) {
    TNumberGA ga;
    ga.SetOnEvaluateFitness([](TObject*, TMXIndividual*, TGAFitness& F) { F = 4; });
    ga.SetSelectionMethod(method);
    ga.Start({1, 2, 3, 4, 5});
    RandSeed(99);
    TRandomStream replay(99);
    for (int i = 0; i < 50; ++i) {
      TMXIndividual* p = ga.SelectParent(ga.Population());
      EXPECT_EQ(p->Index(), replay.NextBelow(5)) << EnumName(method);
    }
  }
}

TEST(Selection, TournamentsKeepTheCurrentWinnerOnTies) {
  TNumberGA ga;
  ga.SetOnEvaluateFitness([](TObject*, TMXIndividual* Item, TGAFitness& F) { F = std::floor(ValueOf(Item)); });
  ga.SetTournamentField(4);
  ga.Start({2.1, 0.5, 2.2, 0.7, 1.0, 0.9});  // fitness 2, 0, 2, 0, 1, 0
  RandSeed(5);
  TRandomStream replay(5);
  const std::vector<double> fitness = {2, 0, 2, 0, 1, 0};
  for (int i = 0; i < 100; ++i) {
    TMXIndividual* p = nullptr;
    ga.SelectTournament(&ga, ga.Population(), p);
    auto winner = replay.NextBelow(6);
    for (int k = 1; k < 4; ++k) {
      const auto challenger = replay.NextBelow(6);
      if (fitness[static_cast<std::size_t>(challenger)] < fitness[static_cast<std::size_t>(winner)])
        winner = challenger;
    }
    ASSERT_EQ(p->Index(), winner);
  }
}

TEST(Selection, StochasticTournamentChallengesAUniformPickWithRoulettePicks) {
  TNumberGA ga;
  ga.SetOnEvaluateFitness(ValueFitness);
  ga.Start({1, 2, 3});  // roulette table 2/3, 1, 1
  RandSeed(11);
  TRandomStream replay(11);
  for (int i = 0; i < 100; ++i) {
    TMXIndividual* p = ga.SelectParent(ga.Population());
    const auto first = replay.NextBelow(3);
    const auto challenger = replay.NextDouble() < 2.0 / 3 ? 0 : 1;
    ASSERT_EQ(p->Index(), std::min<std::int64_t>(first, challenger));
  }
}

TEST(Selection, ElitistCyclesThroughTheRoundedTopRanks) {
  auto ranks = [](int n, double pct, TGAFitnessMethod method, int picks) {
    TNumberGA ga;
    ga.SetOnEvaluateFitness(ValueFitness);
    ga.SetSelectionMethod(smElitist);
    ga.SetElitistPct(pct);
    ga.SetFitnessMethod(method);
    std::vector<double> values;
    for (int i = 0; i < n; ++i) values.push_back(n - 1 - i);  // ranking reverses the order
    ga.Start(values);
    ga.StartStep();  // the roulette index restarts at -1 and the ranked population becomes the parents
    std::vector<double> out;
    for (int i = 0; i < picks; ++i) {
      TMXIndividual* p = nullptr;
      ga.SelectElitist(&ga, ga.PreviousGeneration(), p);
      out.push_back(ValueOf(p));
    }
    return out;
  };
  std::vector<double> hundred = ranks(100, 0.1, fmMinimize, 13);
  EXPECT_EQ(hundred, (std::vector<double>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0, 1}));
  EXPECT_EQ(ranks(5, 0.5, fmMinimize, 4), (std::vector<double>{0, 1, 2, 0}));        // Round(2.5) = 2
  EXPECT_EQ(ranks(7, 0.5, fmMinimize, 6), (std::vector<double>{0, 1, 2, 3, 4, 0}));  // Round(3.5) = 4
  EXPECT_EQ(ranks(5, 0.5, fmMaximize, 4), (std::vector<double>{4, 3, 2, 4}));
  EXPECT_EQ(ranks(6, 0, fmMinimize, 3), (std::vector<double>{0, 0, 0}));
  // ElitistPct 1: rank Count lies past the queue and takes the last rank.
  EXPECT_EQ(ranks(4, 1, fmMinimize, 6), (std::vector<double>{0, 1, 2, 3, 3, 0}));
}

TEST(Selection, ElitistRankingSurvivesPopulationChanges) {
  TNumberGA ga;
  ga.SetOnEvaluateFitness(ValueFitness);
  ga.SetSelectionMethod(smElitist);
  ga.Start({4, 3, 2, 1});
  TNumberGA source;
  source.SetOnEvaluateFitness(ValueFitness);
  source.Start({9, 8, 7});
  ga.SetPopulation(source.Population());  // the ranked individuals are gone
  TMXIndividual* p = nullptr;
  ga.SelectElitist(&ga, ga.Population(), p);
  EXPECT_EQ(p->Collection(), ga.Population());
  EXPECT_EQ(ga.Evolve(3), 3);
}

// === End-to-end evolutions =================================================================

struct EvolutionCase {
  TGASelectionMethod Selection;
  TGAFitnessMethod Method;
  bool Parallel;
};

class EndToEnd : public ::testing::TestWithParam<EvolutionCase> {};

// Fitness measures the distance to 3: the distance itself when minimising, 1 / (1 + d)
// when maximising; the weighted fitness doubles the raw one. Every generation the
// statistics must describe the population, and selection pressure must bring the
// population close to 3.
TEST_P(EndToEnd, EvolvesTowardsTheTargetWithConsistentStatistics) {
  const EvolutionCase c = GetParam();
  const bool maximize = c.Method == fmMaximize || c.Method == fmWeightedMaximize;
  ThreadLimit threads(2);
  TNumberGA ga;
  ga.SetFitnessMethod(c.Method);
  ga.SetOnEvaluateFitness([maximize](TObject*, TMXIndividual* Item, TGAFitness& F) {
    const double d = std::abs(ValueOf(Item) - 3);
    F = maximize ? 1 / (1 + d) : d;
  });
  ga.SetOnEvaluateWeightedFitness([](TObject*, TMXIndividual* Item, TGAFitness& F) { F = 2 * Item->Fitness(); });
  if (c.Selection == smCustom)
    ga.SetOnSelection([&ga](TObject* S, TMXPopulation* P, TMXIndividual*& Parent) {
      ga.SelectTournament(S, P, Parent);  // a custom handler may call the built-in schemes
    });
  else
    ga.SetSelectionMethod(c.Selection);
  ga.SetInversionProbability(0);
  ga.SetMutationProbability(0.3);
  ga.SetInitialPopulation(61);
  RandSeed(1234);
  ga.Initialize();
  auto distance = [&] {
    double sum = 0;
    for (double v : ga.Values()) sum += std::abs(v - 3);
    return sum / ga.Population()->Count();
  };
  const double initial = distance();

  int generations = 0;
  ga.SetOnEvolve([&](TObject*) {
    ++generations;
    const int n = ga.Population()->Count();
    ASSERT_EQ(n, 61);
    double sum = 0;
    for (int i = 0; i < n; ++i) {
      ASSERT_FALSE(ga.At(i)->NeedFitness());
      sum += ga.At(i)->Fitness();
    }
    EXPECT_NEAR(ga.AvgFitness(), sum / n, 1e-9);
    EXPECT_LE(ga.MinFitness(), ga.AvgFitness() + 1e-12);
    EXPECT_GE(ga.MaxFitness(), ga.AvgFitness() - 1e-12);
    EXPECT_EQ(ga.MaxWeightedFitness(), 2 * ga.MaxFitness());
    ASSERT_NE(ga.FittestIndividual(), nullptr);
    EXPECT_EQ(ga.FittestIndividual()->Collection(), ga.Population());
    EXPECT_EQ(ga.FittestIndividual()->Fitness(), maximize ? ga.MaxFitness() : ga.MinFitness());
  });
  const int done = c.Parallel ? ga.ParallelEvolve(40) : ga.Evolve(40);
  EXPECT_EQ(done, 40);
  EXPECT_EQ(generations, 40);
  EXPECT_EQ(ga.Generation(), 40);
  if (c.Selection != smRandom) {
    EXPECT_LT(distance(), initial / 4) << initial;
  }
}

std::vector<EvolutionCase> AllCases() {
  std::vector<EvolutionCase> out;
  for (bool parallel : {false, true})
    for (TGASelectionMethod s : {smRoulette, smRandom, smTournament, smStochasticTournament, smElitist, smCustom})
      for (TGAFitnessMethod m : {fmMinimize, fmMaximize, fmWeightedMinimize, fmWeightedMaximize})
        out.push_back({s, m, parallel});
  return out;
}

INSTANTIATE_TEST_SUITE_P(Core, EndToEnd, ::testing::ValuesIn(AllCases()),
                         [](const ::testing::TestParamInfo<EvolutionCase>& info) {
                           return EnumName(info.param.Selection) + "_" + EnumName(info.param.Method) +
                                  (info.param.Parallel ? "_Parallel" : "_Sequential");
                         });

// === Parallel evaluation and evolution =======================================================

TEST(Parallel, EvaluationMatchesTheSequentialFiguresAndEvaluatesEachStaleOnce) {
  ThreadLimit threads(4);
  TNumberGA a, b;
  TDistance da, db;
  a.SetOnEvaluateFitness(Bind(da));
  b.SetOnEvaluateFitness(Bind(db));
  std::vector<double> values;
  for (int i = 0; i < 257; ++i) values.push_back((i * 37) % 101 / 10.0);
  a.Start(values);
  b.Start(values);
  for (int i = 0; i < 257; i += 3) {
    a.At(i)->SetValue(values[static_cast<std::size_t>(i)] + 1);
    b.At(i)->SetValue(values[static_cast<std::size_t>(i)] + 1);
  }
  const int before = db.Calls;
  a.EvaluateFitness();
  b.ParallelEvaluateFitness();
  EXPECT_EQ(db.Calls - before, 86);
  EXPECT_EQ(a.MinFitness(), b.MinFitness());
  EXPECT_EQ(a.MaxFitness(), b.MaxFitness());
  EXPECT_EQ(a.AvgFitness(), b.AvgFitness());
  EXPECT_EQ(a.FittestIndividual()->Index(), b.FittestIndividual()->Index());
  EXPECT_EQ(a.CumNormFitnesses(), b.CumNormFitnesses());
}

TEST(Parallel, SeededRunsDoNotDependOnTheThreadCount) {
  for (TGASelectionMethod method : {smRoulette, smRandom, smTournament, smStochasticTournament}) {
    std::vector<std::vector<double>> results;
    for (int threads : {1, 2, 4}) {
      ThreadLimit limit(threads);
      TNumberGA ga;
      ga.SetOnEvaluateFitness(ValueFitness);
      ga.SetSelectionMethod(method);
      ga.SetMutationProbability(0.4);
      ga.SetInitialPopulation(37);
      RandSeed(42);
      ga.ParallelEvolve(8);
      results.push_back(ga.Values());
    }
    EXPECT_EQ(results[0], results[1]) << EnumName(method);
    EXPECT_EQ(results[0], results[2]) << EnumName(method);
  }
}

TEST(Parallel, ElitistParentsComeFromTheTopRanks) {
  ThreadLimit threads(4);
  TNumberGA ga;
  ga.SetOnEvaluateFitness(ValueFitness);
  ga.SetSelectionMethod(smElitist);
  ga.SetOperations({});
  std::vector<double> values;
  for (int i = 0; i < 100; ++i) values.push_back((i * 31) % 100);
  ga.Start(values);
  std::mutex lock;
  std::set<double> parents;
  ga.SetOnInitializeChild([&](TObject*, TMXIndividual* P1, TMXIndividual* P2, TMXIndividual*) {
    std::lock_guard<std::mutex> g(lock);
    parents.insert(ValueOf(P1));
    parents.insert(ValueOf(P2));
  });
  ga.ParallelEvolve();
  // 50 pairs draw 100 ranks cycling through 0..10: exactly the eleven best.
  std::set<double> top;
  for (int i = 0; i <= 10; ++i) top.insert(i);
  EXPECT_EQ(parents, top);
}

TEST(Parallel, ParentsModifiedBetweenGenerationsAreEvaluatedOnce) {
  ThreadLimit threads(4);
  TNumberGA ga;
  TDistance d;
  ga.SetOnEvaluateFitness(Bind(d));
  ga.SetSelectionMethod(smTournament);
  ga.SetTournamentField(8);  // many reads of every parent, from every worker
  ga.SetInitialPopulation(400);
  ga.ParallelEvolve(2);
  for (int i = 0; i < 400; i += 2) ga.At(i)->SetValue(i);
  const int before = d.Calls;
  ga.ParallelEvolve();
  // 200 modified parents, then at most every child once.
  EXPECT_GE(d.Calls - before, 200);
  EXPECT_LE(d.Calls - before, 600);
  EXPECT_EQ(ga.Generation(), 3);
}
