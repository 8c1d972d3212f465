// The genetic component: the generation loop, reproduction, selection, statistics and
// scaling, sequential and parallel. (Individuals are checked with the GA individual in
// ga_chromosome_test, and that seeded runs repeat whatever the number of threads, once,
// in ga_test.)
#include <evokit/core/genetic_component.h>
#include <evokit/core/individual.h>
#include <evokit/platform/parallel.h>
#include <evokit/platform/random.h>

#include <gtest/gtest.h>

#include "support.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

using namespace evokit;

namespace {

// A one-number genome.
struct TNumber : TMXIndividual {
  using TMXIndividual::TMXIndividual;
  void SetValue(double NewValue) {
    Value = NewValue;
    Modified();
  }
  void Assign(const TPersistent* Source) override {
    TMXIndividual::Assign(Source);
    if (const auto* number = dynamic_cast<const TNumber*>(Source)) Value = number->Value;
  }
  double Value = 0;
};

double ValueOf(const TMXIndividual* Item) { return static_cast<const TNumber*>(Item)->Value; }

// Fitness is the value (the calls counted) unless a test sets another handler. Crossover:
// first child the mean of the parents, second a copy of Parent2; mutation: a small random
// step; inversion: the sign flips. Each genome step is logged when LogOperations is set.
class TNumberGA : public TMXCustomGeneticComponent {
 public:
  TNumberGA() {
    RecreatePopulations();
    SetOnEvaluateFitness([this](TObject*, TMXIndividual* Item, TGAFitness& Fitness) {
      ++Evaluations;
      Fitness += ValueOf(Item);  // the fitness enters as 0
    });
  }
  TNumber* At(int Index) const { return static_cast<TNumber*>(Population()->Items(Index)); }
  std::vector<double> Values() const {
    std::vector<double> out;
    for (int i = 0; i < Population()->Count(); ++i) out.push_back(At(i)->Value);
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
  // The one-child and the two-child crossover are separate slots; count their calls.
  using TMXCustomGeneticComponent::Crossover;
  bool Crossover(TMXIndividual* P1, TMXIndividual* P2, TMXIndividual* C1, TMXIndividual* C2) override {
    Pairs += C2 != nullptr;
    return TMXCustomGeneticComponent::Crossover(P1, P2, C1, C2);
  }
  bool Crossover(TMXIndividual* P1, TMXIndividual* P2, TMXIndividual* C1) override {
    ++Singles;
    return TMXCustomGeneticComponent::Crossover(P1, P2, C1);
  }
  std::vector<std::string> Log;
  bool LogOperations = false;
  std::atomic<int> Evaluations{0}, Pairs{0}, Singles{0};

 protected:
  std::unique_ptr<TMXPopulation> CreatePopulation(TMXIndividualClass) override {
    return std::make_unique<TMXPopulation>(this, TMXIndividualClass::Of<TNumber>());
  }
  int DoInitialize() override {
    for (int i = 0; i < Population()->Count(); ++i) At(i)->SetValue(Random() * 10);
    return 0;
  }
  bool DoCrossover(TMXIndividual* P1, TMXIndividual* P2, TMXIndividual* C1, TMXIndividual* C2) override {
    Record("X", C1);
    static_cast<TNumber*>(C1)->SetValue((ValueOf(P1) + ValueOf(P2)) / 2);
    if (C2) static_cast<TNumber*>(C2)->SetValue(ValueOf(P2));
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
  void Record(const char* Op, TMXIndividual* Item) {
    if (LogOperations) Log.push_back(Op + std::to_string(Item->Index()));
  }
};

struct ThreadLimit {
  explicit ThreadLimit(int n) { TParallel::SetMaxThreads(n); }
  ~ThreadLimit() { TParallel::SetMaxThreads(0); }
};

}  // namespace

// === Handlers, initialisation and the generation loop ========================================

// A missing handler raises before the generations swap. A handler's own exception
// propagates with the generations swapped, the update bracket closed and the generation
// not counted. (That evolution goes on afterwards, a custom selection handler's calls and
// the return to roulette once it is removed, python/tests/test_events.py checks under both
// evolution steps.)
TEST(Evolution, MissingHandlersAndHandlerExceptions) {
  for (bool parallel : {false, true}) {
    for (int kind : {0, 1, 2}) {  // no fitness handler, no selection handler, a throwing veto
      TNumberGA g;
      g.Start({4, 3, 2, 1});
      if (kind == 0) g.SetOnEvaluateFitness(nullptr);
      if (kind == 1) g.SetSelectionMethod(smCustom);
      g.SetOnCrossover([](TObject*, TMXIndividual*, TMXIndividual*, TMXIndividual*, bool&) { throw EConvertError("no"); });
      g.SetCrossoverProbability(1);
      TMXPopulation* current = g.Population();
      const auto run = [&] { parallel ? g.ParallelEvolve() : g.Evolve(); };
      EXPECT_EQ(kind < 2 ? test::ErrorOf<EGAException>(run) : test::ErrorOf<EConvertError>(run),
                kind == 0 ? "No fitness function defined" : kind == 1 ? "No custom selection function defined" : "no");
      EXPECT_EQ(g.Population() == current, kind < 2);
      EXPECT_EQ(std::pair(g.Population()->UpdateCount(), g.Generation()), std::pair(0, 0));
      if (kind < 2) {
        EXPECT_EQ(g.Values(), (std::vector<double>{4, 3, 2, 1}));
      }
    }
  }
}

TEST(Evolution, LimitsHaltAndTheTerminationTests) {
  TNumberGA ga;
  ga.SetInitialPopulation(8);
  int evolves = 0;
  ga.SetOnEvolve([&](TObject*) { ++evolves; });
  ga.SetUseGenerationLimit(true);  // the limit is still 0: finished at once, OnEvolve all the same
  EXPECT_EQ(ga.Evolve(10), 0);
  EXPECT_EQ(evolves, 1);
  ga.SetGenerationLimit(3);
  EXPECT_EQ(ga.Evolve(5), 3);
  ga.SetUseGenerationLimit(false);
  EXPECT_EQ(ga.Evolve(0) + ga.Evolve(-1), 0);
  ga.SetOnEvolve([&](TObject*) { ga.SetHalt(true); });
  EXPECT_EQ(ga.Evolve(100) + ga.ParallelEvolve(100), 2);  // Halt is cleared at the start

  // Fitness cutoff (on the raw fitness, never without a fittest) and diversity limit (the
  // generation limit stops the runs above). The population {3, 2, 4} has diversity 3/4
  // and raw best 2 or 4.
  TNumberGA t;
  t.SetOnEvaluateWeightedFitness([](TObject*, TMXIndividual*, TGAFitness& F) { F = 100; });
  t.SetUseFitnessCutoff(true);
  EXPECT_FALSE(t.IsFinished());
  t.Start({3, 2, 4});
  // Method, cutoff, diversity limit (0: none), finished.
  for (auto [method, cutoff, diversity, finished] :
       {std::tuple{fmMinimize, 1.0, 0.0, false}, {fmMinimize, 2, 0, true}, {fmMaximize, 4, 0, true},
        {fmMaximize, 4.5, 0, false}, {fmWeightedMaximize, 4.5, 0, false}, {fmMaximize, 4.5, 0.75, false},
        {fmMaximize, 4.5, 0.8, true}}) {
    t.SetFitnessMethod(method);
    t.EvaluateFitness();
    t.SetFitnessCutoff(cutoff);
    t.SetUseDiversityLimit(diversity > 0);
    t.SetDiversityLimit(diversity);
    EXPECT_EQ(t.IsFinished(), finished) << EnumName(method) << " " << cutoff << " " << diversity;
  }
}

// The draws of a pair, in order: parent 1, parent 2, crossover, mutation of each child,
// inversion of each child; the last child of an odd population is bred alone, through the
// one-child crossover (a slot of its own). Replaying the seeded stream predicts every
// operation, every veto asked and the result reported for each child. (That the parents
// drawn reach the crossover, python/tests/test_events.py checks.)
TEST(Evolution, ProbabilityDrawsComeInTheDocumentedOrder) {
  TNumberGA ga;
  ga.Start({1, 2, 3, 4, 5});
  ga.SetSelectionMethod(smRandom);
  ga.SetCrossoverProbability(0.5);
  ga.SetMutationProbability(0.5);
  ga.SetInversionProbability(0.5);
  // The vetoes are asked only after a successful draw; child 1's mutation is vetoed.
  ga.SetOnCrossover([&](TObject*, TMXIndividual*, TMXIndividual*, TMXIndividual*, bool&) { ga.Log.push_back("x"); });
  ga.SetOnMutation([&](TObject*, TMXIndividual* Item, bool& Go) {
    ga.Log.push_back(Go ? "m" : "?");
    Go = Item->Index() != 1;
  });
  std::vector<bool> results, expectedResults;  // what changed a pair's children, once per child
  ga.SetOnReproduction([&](TObject*, TMXIndividual*, bool& Result) { results.push_back(Result); });
  ga.LogOperations = true;
  RandSeed(10);  // a seed under which the mutation alone changes children 2 and 4
  TRandomStream replay(10);
  ga.Evolve();

  std::vector<std::string> expected;
  for (int first = 0; first < 5; first += 2) {
    for (int parent = 0; parent < 2; ++parent) replay.NextBelow(5);  // the parents
    std::vector<std::string> children{std::to_string(first)};
    if (first < 4) children.push_back(std::to_string(first + 1));
    bool changed = 0.5 > replay.NextDouble();
    if (changed) expected.insert(expected.end(), {"x", "X" + children[0]});
    for (const std::string& c : children) {
      if (0.5 > replay.NextDouble()) {
        expected.push_back("m");
        if (c == "1") continue;
        expected.push_back("M" + c);
        replay.NextDouble();  // the mutation step's own draw
        changed = true;
      }
    }
    for (const std::string& c : children) {
      if (0.5 > replay.NextDouble()) {
        expected.push_back("I" + c);
        changed = true;
      }
    }
    expectedResults.insert(expectedResults.end(), children.size(), changed);
  }
  EXPECT_EQ(ga.Log, expected);
  EXPECT_EQ(results, expectedResults);
  EXPECT_EQ(std::pair(ga.Pairs.load(), ga.Singles.load()), std::pair(2, 1));

  // The parallel step, too, breeds each child once, the last one alone.
  ga.LogOperations = false;
  ga.SetOnCrossover(nullptr);
  ga.SetOnMutation(nullptr);
  std::atomic<int> children{0};
  ga.SetOnReproduction([&](TObject*, TMXIndividual* C, bool&) { children += 1 << C->Index(); });
  ga.ParallelEvolve();
  EXPECT_EQ(std::tuple(children.load(), ga.Pairs.load(), ga.Singles.load()), std::tuple(31, 4, 2));
}

// === Comparison, statistics and scaling ===================================================

// Tournaments compare on the method's fitness (TournamentsReplayTheirDraws); the fittest
// individual is found on the raw one.
TEST(Fitness, StatisticsAndScalings) {
  TNumberGA ga;
  const double inf = std::numeric_limits<double>::infinity();
  // Values, method; min, max, average, diversity and the fittest (the first of equally fit
  // individuals; the raw fitness decides, a difference below 1 too). (That without
  // weighting the weighted figures are the raw, python/tests/test_events.py checks.)
  for (auto [values, method, min, max, avg, diversity, fittest] :
       {std::tuple{std::vector<double>{3, 1, 1}, fmMinimize, 1.0, 3.0, 5.0 / 3, 5.0 / 9, 1},
        {{1, 3, 3}, fmMaximize, 1, 3, 7.0 / 3, 7.0 / 9, 1},
        {{4.5, 9, 4.25}, fmWeightedMinimize, 4.25, 9, 17.75 / 3, 17.75 / 27, 2},
        {{0, 0, 0}, fmMinimize, 0, 0, 0, inf, 0}, {{5}, fmMinimize, 5, 5, 5, 1, 0}}) {
    SCOPED_TRACE(::testing::PrintToString(values));
    ga.SetFitnessMethod(method);
    ga.Start(values);
    EXPECT_EQ(std::tuple(ga.MinFitness(), ga.MaxFitness(), ga.FittestIndividual()), std::tuple(min, max, ga.At(fittest)));
    EXPECT_DOUBLE_EQ(ga.AvgFitness(), avg);
    EXPECT_DOUBLE_EQ(ga.Diversity(), diversity);
  }

  // An empty population clears the figures.
  ga.SwapGenerations();
  ga.Population()->Clear();
  ga.ParallelEvaluateFitness();
  EXPECT_EQ(std::tuple(ga.MinFitness(), ga.MaxFitness(), ga.MinWeightedFitness(), ga.MaxWeightedFitness(),
                       ga.AvgFitness(), ga.GetNormalizedFitness(3), ga.GetNormalizedWeightedFitness(3)),
            std::tuple(0, 0, 0, 0, 0, 0, 0));

  // Adjusted fitness: 1 / (F + 1) minimising, 1 / (Max - F + 1) maximising. (The
  // normalised shares, F / sum or 0 for a sum of 0, make the maximising roulette tables.)
  ga.Start({0, 5});
  EXPECT_DOUBLE_EQ(ga.At(1)->AdjustedFitness(), 1.0 / 6);
  ga.SetFitnessMethod(fmMaximize);
  EXPECT_DOUBLE_EQ(ga.GetAdjustedFitness(0), 1.0 / 6);
}

// === Selection ===========================================================================

TEST(Selection, CumulativeTablesPerFitnessMethod) {
  TNumberGA ga;
  ga.SetOnEvaluateWeightedFitness([](TObject*, TMXIndividual* Item, TGAFitness& F) { F = 4 - ValueOf(Item); });
  ga.SetSelectionMethod(smRoulette);
  using V = std::vector<double>;
  for (auto [method, values, expected] : {std::tuple{fmMinimize, V{1, 2, 3}, V{2.0 / 3, 1, 1}},
                                          {fmMaximize, {1, 2, 3}, {1.0 / 6, 3.0 / 6, 1}},
                                          {fmWeightedMinimize, {1, 2, 3}, {0, 1.0 / 3, 1}},      // weighted 3, 2, 1
                                          {fmWeightedMaximize, {4, 2, 3}, {0, 2.0 / 3, 1}},      // weighted 0, 2, 1
                                          {fmMinimize, {2, 2, 2, 2}, {0.25, 0.5, 0.75, 1}},     // equal shares
                                          {fmMaximize, {-1, 1}, {0, 0}}}) {  // shares summing to 0
    SCOPED_TRACE(EnumName(method));
    ga.SetFitnessMethod(method);
    ga.Start(values);
    ga.CalculateCumulativeNormalizedFitnesses();
    const TGAFitnessArray& table = ga.CumNormFitnesses();
    ASSERT_EQ(table.size(), expected.size());
    for (std::size_t i = 0; i < table.size(); ++i) EXPECT_DOUBLE_EQ(table[i], expected[i]) << i;
  }
  // The last table lies below every draw: the pick is the last individual. (Picks from an
  // ordinary table are replayed through the stochastic tournament's roulette challengers
  // in TournamentsReplayTheirDraws.)
  for (int i = 0; i < 20; ++i) EXPECT_EQ(ga.SelectParent(ga.Population()), ga.At(1));
}

// Tournament: the fittest of TournamentField uniform picks, the current winner kept on
// ties. Stochastic tournament: a uniform pick challenged by roulette picks.
TEST(Selection, TournamentsReplayTheirDraws) {
  TNumberGA ga, st;
  // The comparisons follow the method's fitness: weighted, where it reverses the raw order
  // (minimised for the tournament, maximised for the stochastic one).
  for (TNumberGA* g : {&ga, &st})
    g->SetOnEvaluateWeightedFitness([](TObject*, TMXIndividual* Item, TGAFitness& F) { F = 4 - Item->Fitness(); });
  ga.SetFitnessMethod(fmWeightedMinimize);
  st.SetFitnessMethod(fmWeightedMaximize);
  ga.SetOnEvaluateFitness([](TObject*, TMXIndividual* Item, TGAFitness& F) { F = std::floor(ValueOf(Item)); });
  ga.SetSelectionMethod(smTournament);
  ga.SetTournamentField(4);
  ga.Start({2.1, 0.5, 2.2, 0.7, 1.0, 0.9});  // fitness 2, 0, 2, 0, 1, 0
  st.Start({1, 2, 3});                       // weighted 3, 2, 1: roulette table 1/2, 5/6, 1
  RandSeed(5);
  TRandomStream replay(5);
  for (int i = 0; i < 100; ++i) {
    TMXIndividual* winner = ga.At(static_cast<int>(replay.NextBelow(6)));
    for (int k = 1; k < 4; ++k) {
      TMXIndividual* challenger = ga.At(static_cast<int>(replay.NextBelow(6)));
      if (challenger->Fitness() > winner->Fitness()) winner = challenger;
    }
    ASSERT_EQ(ga.SelectParent(ga.Population()), winner);
    const auto first = replay.NextBelow(3);
    const double r = replay.NextDouble();
    ASSERT_EQ(st.SelectParent(st.Population())->Index(), std::min<std::int64_t>(first, r < 0.5 ? 0 : r < 5.0 / 6 ? 1 : 2));
  }
}

// Evolution's tournaments compare a per-generation copy of the parents' fitness; they must
// pick exactly what comparing the individuals picks (a custom handler calling
// SelectTournament takes that path), ties, NaN and infinities included, sequentially and
// in parallel, and must see fitness changed between generations.
TEST(Selection, EvolutionTournamentsPickAsComparingTheIndividuals) {
  const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
  // Fitness is the whole part: the best ties four ways, either way round.
  const std::vector<double> start{5.1, 5.3, 5.5, 5.7, -5.2, -5.4, -5.6, -5.8, nan, 0.5, -inf};
  ThreadLimit threads(3);  // for the parallel runs
  for (TGAFitnessMethod method : {fmMinimize, fmMaximize}) {
    for (bool parallel : {false, true}) {
      std::vector<double> values[2];
      for (int k = 0; k < 2; ++k) {
        TNumberGA ga;
        ga.SetOnEvaluateFitness([](TObject*, TMXIndividual* Item, TGAFitness& F) { F = std::floor(ValueOf(Item)); });
        ga.SetFitnessMethod(method);
        ga.SetTournamentField(3);
        ga.SetOperations({goCrossover, goMutate});
        ga.SetCrossoverProbability(0.5), ga.SetMutationProbability(0.5);
        if (k == 0)
          ga.SetSelectionMethod(smTournament);
        else
          ga.SetOnSelection([&ga](TObject* S, TMXPopulation* P, TMXIndividual*& Parent) { ga.SelectTournament(S, P, Parent); });
        // Values change between generations: the next tournaments must see them.
        ga.SetOnEvolve([&ga, method](TObject*) { ga.At(ga.Generation() % 11)->SetValue(method == fmMinimize ? -5.9 : 5.9); });
        ga.Start(start);
        RandSeed(11);
        for (int g = 0; g < 6; ++g) parallel ? ga.ParallelEvolve() : ga.Evolve();
        values[k] = ga.Values();
      }
      EXPECT_TRUE(std::equal(values[0].begin(), values[0].end(), values[1].begin(), values[1].end(),
                             [](double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }))
          << EnumName(method) << " parallel " << parallel;
    }
  }
}

TEST(Selection, ElitistCyclesThroughTheRoundedTopRanks) {
  // Count, ElitistPct, method, the picks: the values run from Count - 1 down to 0, the
  // weighted fitness is Count - value.
  for (auto [count, pct, method, expected] :
       {std::tuple{5, 0.5, fmMinimize, std::vector<double>{0, 1, 2, 0}},  // Round(2.5) = 2
        {7, 0.5, fmMinimize, {0, 1, 2, 3, 4, 0}},  // Round(3.5) = 4
        {5, 0.5, fmMaximize, {4, 3, 2, 4}}, {5, 0.5, fmWeightedMaximize, {0, 1, 2, 0}},
        {5, 0.5, fmWeightedMinimize, {4, 3, 2, 4}}, {6, 0, fmMinimize, {0, 0, 0}},
        {4, 1, fmMinimize, {0, 1, 2, 3, 3, 0}},     // a rank past the queue: the last
        {10, 0.06, fmMinimize, {0, 1, 0}}}) {       // Round(0.6) = 1
    TNumberGA ga;
    ga.SetOnEvaluateWeightedFitness([n = count](TObject*, TMXIndividual* Item, TGAFitness& F) { F = n - ValueOf(Item); });
    ga.SetSelectionMethod(smElitist);
    ga.SetElitistPct(pct);
    ga.SetFitnessMethod(method);
    std::vector<double> values, picks;
    for (int i = 0; i < count; ++i) values.push_back(count - 1 - i);
    ga.Start(values);
    ga.StartStep();  // the rank restarts at -1; the ranked population becomes the parents
    for (std::size_t i = 0; i < expected.size(); ++i) picks.push_back(ValueOf(ga.SelectParent(ga.PreviousGeneration())));
    EXPECT_EQ(picks, expected) << count << " " << pct << " " << EnumName(method);
  }
  // A ranking whose individuals left their population is rebuilt from the current one.
  TNumberGA ga, source;
  ga.SetSelectionMethod(smElitist);
  ga.Start({4, 3, 2, 1});
  source.Start({9, 8, 7});
  ga.SetPopulation(source.Population());  // copies
  EXPECT_EQ(ga.SelectParent(ga.Population())->Collection(), ga.Population());
  EXPECT_EQ(ga.Evolve(3), 3);
}

// === Parallel evaluation and evolution =======================================================

// A roulette table the scheme needs but lacks (the method changed since the last
// evaluation) is built from the parents before breeding; a custom handler that picks by
// roulette, too, reads the table of the parents, not one of the population that receives
// the children. Before the parallel step's workers start, stale parents are evaluated
// once; the children are evaluated once each, with the sequential figures. (Initialize
// evaluates each individual once, too.)
TEST(Parallel, SelectionStateIsPreparedAndTheChildrenEvaluated) {
  ThreadLimit threads(4);
  for (bool parallel : {false, true}) {
    SCOPED_TRACE(parallel);
    TNumberGA ga;
    ga.SetSelectionMethod(smTournament);
    ga.Start({5, 5, 5, 5, 5, 5, 5});  // the previous generation keeps these
    for (int i = 0; i < 7; ++i) ga.At(i)->SetValue(i == 4 ? 3 : 9);
    ga.EvaluateFitness();
    if (parallel)
      ga.SetSelectionMethod(smStochasticTournament);
    else
      ga.SetOnSelection([&ga](TObject* S, TMXPopulation* P, TMXIndividual*& Parent) { ga.SelectRoulette(S, P, Parent); });
    ga.SetOperations({});  // each child copies its first parent, cached fitness included
    parallel ? ga.ParallelEvolve() : ga.Evolve();
    // Every roulette pick is the one individual with a share: the fittest, 3.
    EXPECT_EQ(ga.Values(), std::vector<double>(7, 3));
    EXPECT_EQ(ga.Evaluations, 14);  // the start, then the new values; none for the copies
    if (!parallel) continue;  // the sequential step evaluates the parents as it reads them
    for (int i = 0; i < 7; ++i) ga.At(i)->SetValue(i);
    ga.SetOperations({goMutate});
    ga.SetMutationProbability(1);
    ga.ParallelEvolve();
    EXPECT_EQ(ga.Evaluations, 28);  // the stale parents, then the mutated children
    const auto figures = std::tuple(ga.MinFitness(), ga.MaxFitness(), ga.AvgFitness(), ga.FittestIndividual());
    ga.EvaluateFitness();
    EXPECT_EQ(figures, std::tuple(ga.MinFitness(), ga.MaxFitness(), ga.AvgFitness(), ga.FittestIndividual()));
  }
}
