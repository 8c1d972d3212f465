// Multi-objective runs: objectives on the individuals, the Pareto ranking and front of the
// evolution core, non-dominated sorting selection and survival (Evolve and ParallelEvolve),
// bad settings, and the resumption of a saved run.
#include <evokit/core/pareto.h>
#include <evokit/ga/ga.h>
#include <evokit/platform/parallel.h>
#include <evokit/platform/random.h>
#include <evokit/platform/streams.h>

#include "support.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

using namespace evokit;
using evokit::test::AddGene;
using evokit::test::Chromosomes;

namespace {

constexpr double kMax = 65535.0;

// x in [-4, 4] from one 16-bit gene.
double X(const TMXIndividual* Item) {
  auto* ga = static_cast<const TMXGAIndividual*>(Item);
  return -4 + 8 * ga->Collection()->Owner()->Genes()->Items(0)->GeneAsInteger(*ga->Bits()) / kMax;
}

// Schaffer's problem: f1 = x^2, f2 = (x - 2)^2, whose front is x in [0, 2]. With Negate the
// second objective is -(x - 2)^2, maximised. Beyond x = 3 the second objective fails (NaN).
void Schaffer(TMXGeneticAlgorithm& GA, bool Negate) {
  AddGene(GA, gtInteger, 16);
  GA.SetInitialPopulation(40);
  GA.SetMutationProbability(0.05);
  GA.SetSelectionMethod(smNSGA2);
  GA.SetObjectiveCount(2);
  GA.SetObjectiveSense(1, Negate ? osMaximize : osMinimize);
  GA.SetOnEvaluateObjectives([Negate](TObject*, TMXIndividual* Item, std::span<double> F) {
    const double x = X(Item);
    F[0] = x * x;
    if (x > 3) return;  // F[1] left NaN
    F[1] = (Negate ? -1 : 1) * (x - 2) * (x - 2);
  });
}

std::string Save(TMXCustomGeneticAlgorithm& GA) { TStringStream out; GA.SaveToStream(out); return out.DataString(); }
void Load(TMXCustomGeneticAlgorithm& GA, const std::string& Text) { TStringStream in(Text); GA.LoadFromStream(in); }

// The objective rows of a population, as read from its individuals.
std::vector<std::vector<double>> Rows(const TMXPopulation& Population) {
  std::vector<std::vector<double>> rows;
  for (int i = 0; i < Population.Count(); ++i) {
    const auto objectives = Population.Items(i)->Objectives();
    rows.emplace_back(objectives.begin(), objectives.end());
  }
  return rows;
}

// Row A dominates or equals row B, both in minimising form.
bool Covers(const std::vector<double>& A, const std::vector<double>& B) {
  return A == B || ParetoDominates(A.data(), B.data(), static_cast<int>(A.size()));
}

// The front reached on Schaffer's problem, in either sense of the second objective: its
// members lie on x in [0, 2] and its hypervolume against (4, 4) comes near the exact
// 40/3. (That a failed evaluation is unfit, PopulationFitness below and python/tests/
// test_ga.py check; that it ranks behind, pareto_test.) Whenever the front is smaller than
// the population, survival kept every member of the last front or something covering it.
// (The sorting itself is checked against brute force in pareto_test.)
TEST(MultiObjective, NSGA2ReachesSchafferFront) {
  for (const bool negate : {false, true}) {
    SCOPED_TRACE(negate);
    RandSeed(11);
    TMXGeneticAlgorithm ga;
    Schaffer(ga, negate);
    const double sign = negate ? -1 : 1;
    ga.SetHypervolumeReference(std::vector<double>{4, sign * 4});
    std::vector<std::vector<double>> lastFront;  // minimising form
    int checked = 0;
    ga.SetOnEvolve([&](TObject*) {
      const TMXPopulation& p = *ga.Population();
      std::vector<std::vector<double>> rows = Rows(p);
      for (auto& row : rows)
        if (!row.empty()) row[1] *= sign;
      if (ga.FrontSize() < p.Count()) {
        for (const auto& old : lastFront)
          EXPECT_TRUE(std::any_of(rows.begin(), rows.end(), [&old](const auto& row) { return Covers(row, old); }));
        ++checked;
      }
      lastFront.clear();
      for (int i = 0; i < p.Count(); ++i)
        if (ga.ParetoRank(i) == 0) lastFront.push_back(rows[i]);
    });
    ga.Evolve(60);
    EXPECT_GT(checked, 0);
    const std::vector<TMXIndividual*> front = ga.ParetoFront();
    EXPECT_GE(front.size(), 20u);
    const std::vector<double> rows = ga.ParetoFrontObjectives();
    ASSERT_EQ(rows.size(), 2 * front.size());
    for (std::size_t i = 0; i < front.size(); ++i) {
      EXPECT_TRUE(X(front[i]) >= -0.01 && X(front[i]) <= 2.01) << X(front[i]);
      EXPECT_EQ(rows[2 * i + 1], front[i]->Objectives()[1]);
    }
    // 40 points on the curve leave about 4 * 4 / (2 * 40) of the area under it uncovered.
    EXPECT_NEAR(ga.FrontHypervolume(), 40.0 / 3 - 0.2, 0.1);
    // The automatic reference: each objective's worst value moved out by a tenth of its
    // range, the first individual counted too (made the worst in both: x = -4 gives 16, 36).
    ga.Population()->Items(0)->Bits()->SetAsBitString(0, 16, std::string(16, '0'));
    ga.Population()->Items(0)->Modified();
    ga.SetHypervolumeReference({});
    ga.EvaluateFitness();
    const double automatic = ga.FrontHypervolume();
    const std::vector<double> worst{16, 36};
    std::vector<double> best(2, INFINITY), beyond;
    for (const auto& row : Rows(*ga.Population()))
      for (std::size_t k = 0; k < 2 && !std::isnan(row[1]); ++k)
        best[k] = std::min(best[k], k == 1 ? sign * row[k] : row[k]);  // minimising form
    for (std::size_t k = 0; k < 2; ++k) beyond.push_back((k == 1 ? sign : 1) * (worst[k] + (worst[k] - best[k]) / 10));
    ga.SetHypervolumeReference(beyond);
    ga.EvaluateFitness();
    EXPECT_GT(automatic, 0);
    EXPECT_DOUBLE_EQ(ga.FrontHypervolume(), automatic);
  }
}

// The tournament over a hand-made ranking: A (0, 3), B (1, 1) and C (3, 0) form the first
// front, where B is crowded and the ends are not; D (3, 3) is alone on the second. Of the
// 16 equally likely ordered draws, the lower rank wins, then the larger crowding, then the
// first drawn: A and C win 6 each, B 3 and D 1.
TEST(MultiObjective, TournamentPrefersRankThenCrowding) {
  const double table[4][2] = {{0, 3}, {1, 1}, {3, 0}, {3, 3}};
  TMXGeneticAlgorithm ga;
  ga.SetObjectiveCount(2);
  ga.SetOnEvaluateObjectives(
      [&table](TObject*, TMXIndividual* Item, std::span<double> F) { std::copy_n(table[Item->Index()], 2, F.begin()); });
  for (int i = 0; i < 4; ++i) ga.Population()->Add();
  ga.EvaluateFitness();
  RandSeed(2);
  int wins[4] = {};
  for (int i = 0; i < 16000; ++i) {
    TMXIndividual* parent = nullptr;
    ga.SelectNSGA2(&ga, ga.Population(), parent);
    ++wins[parent->Index()];
  }
  const int expected[4] = {6000, 3000, 6000, 1000};
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(wins[i], expected[i], 250) << i;  // 4 to 5 standard deviations
}

// Breeding draws its parents from the generation's mating list: every parent enters two
// tournaments. Over a chain of eight where each row dominates the next, the first row
// wins both of its tournaments and is a parent exactly twice, the last never, and no row
// more than twice (draws with replacement would let the first win any number).
TEST(MultiObjective, BreedingGivesEveryParentTwoTournaments) {
  for (int seed = 0; seed < 20; ++seed) {
    TMXGeneticAlgorithm ga;
    Schaffer(ga, false);  // but for its objectives and size
    ga.SetInitialPopulation(8);
    ga.SetOnEvaluateObjectives([](TObject*, TMXIndividual* Item, std::span<double> F) { F[0] = F[1] = Item->Index(); });
    std::atomic<int> uses[8] = {};  // counted by the parallel step's workers too
    ga.SetOnInitializeChild([&uses](TObject*, TMXIndividual* Parent1, TMXIndividual* Parent2, TMXIndividual* Child) {
      if (Child->Index() % 2 == 1) return;  // each pair's parents once
      ++uses[Parent1->Index()];
      ++uses[Parent2->Index()];
    });
    RandSeed(static_cast<std::uint64_t>(seed));
    TParallel::SetMaxThreads(seed % 2 ? 2 : 0);  // odd seeds breed in parallel
    seed % 2 ? ga.ParallelEvolve() : ga.Evolve();
    TParallel::SetMaxThreads(0);
    EXPECT_EQ(uses[0], 2) << seed;
    EXPECT_EQ(uses[7], 0) << seed;
    EXPECT_TRUE(std::all_of(uses, uses + 8, [](const std::atomic<int>& n) { return n <= 2; })) << seed;
  }
}

// Bad settings raise their documented class and change nothing; a new objective count
// keeps the senses that remain, clears the reference point and makes the individuals stale.
TEST(MultiObjective, SettingsRejectBadValues) {
  TMXGeneticAlgorithm ga;
  Schaffer(ga, true);
  ga.SetHypervolumeReference(std::vector<double>{4, -4});
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::function<void()> bad[] = {
      [&] { ga.SetObjectiveCount(-1); },
      [&] { ga.SetObjectiveCount(MAX_OBJECTIVES + 1); },
      [&] { ga.SetObjectiveSense(2, osMinimize); },
      [&] { ga.SetObjectiveSense(-1, osMinimize); },
      [&] { ga.SetObjectiveSense(0, static_cast<TGAObjectiveSense>(2)); },
      [&] { ga.SetHypervolumeReference(std::vector<double>{1}); },
      [&] { ga.SetHypervolumeReference(std::vector<double>{1, nan}); },
  };
  for (const auto& call : bad) {
    EXPECT_THROW(call(), EArgumentOutOfRangeException);
    EXPECT_EQ(std::tuple(ga.ObjectiveCount(), ga.ObjectiveSense(0), ga.ObjectiveSense(1), ga.HypervolumeReference()),
              std::tuple(2, osMinimize, osMaximize, std::vector<double>{4, -4}));
  }
  EXPECT_THROW(ga.ParetoRank(0), EListError);  // nothing ranked yet
  ga.Initialize();
  EXPECT_THROW(ga.CrowdingDistance(ga.Population()->Count()), EListError);
  ga.SetObjectiveCount(3);
  EXPECT_EQ(std::tuple(ga.ObjectiveSense(1), ga.ObjectiveSense(2), ga.HypervolumeReference().size()),
            std::tuple(osMaximize, osMinimize, std::size_t{0}));
  EXPECT_TRUE(ga.Population()->Items(3)->NeedFitness());
}

// A run saved after some generations and loaded into a fresh component (given only the
// objective handler) continues, with the same random stream, exactly as the run that was
// not interrupted, and so does a copy made with Assign: the document brings the objective
// settings, the selection scheme and every individual's objectives. A component without
// handlers keeps the objectives loaded; a bad objective value is refused before anything
// changes.
TEST(MultiObjective, SavedRunResumesExactly) {
  TMXGeneticAlgorithm whole, saved, resumed, reader, assigned;
  for (TMXGeneticAlgorithm* ga : {&whole, &saved}) {
    Schaffer(*ga, true);
    ga->SetHypervolumeReference(std::vector<double>{4, -4});
    RandSeed(3);
    ga->Evolve(4);
  }
  const std::string text = Save(saved);
  for (TMXGeneticAlgorithm* ga : {&resumed, &assigned}) ga->SetOnEvaluateObjectives(saved.OnEvaluateObjectives());
  Load(resumed, text);
  assigned.Assign(&saved);
  for (TMXGeneticAlgorithm* ga : {&resumed, &assigned})  // the reference point came along
    EXPECT_EQ(ga->FrontHypervolume(), saved.FrontHypervolume());
  Load(reader, text);  // its objectives are checked after the bad document below

  for (TMXGeneticAlgorithm* ga : {&whole, &resumed, &assigned}) RandSeed(9), ga->Evolve(6);
  EXPECT_EQ(Chromosomes(*resumed.Population()), Chromosomes(*whole.Population()));
  EXPECT_EQ(Chromosomes(*assigned.Population()), Chromosomes(*whole.Population()));

  std::string bad = text;
  bad.insert(bad.rfind("<Objectives>") + 12, "x");  // in the last chromosome
  EXPECT_THROW(Load(reader, bad), EConvertError);
  EXPECT_EQ(Rows(*reader.Population()), Rows(*saved.Population()));
}

// The report shows the objective settings of a multi-objective run (of a single-objective
// NSGA-II run, the fitness), and the front's line only when evaluations rank the
// population. (That other single-objective reports show none of them,
// Report.ConditionsAndPercentages in persistence_test checks on the whole report; that
// component streaming carries the objective settings, GPPersistence.ComponentStreaming.)
TEST(MultiObjective, SettingsReport) {
  TMXGeneticAlgorithm plain, ga;
  Schaffer(ga, true);
  ga.SetHypervolumeReference(std::vector<double>{4.5, -0.25});
  RandSeed(5);
  ga.Evolve(2);
  const std::string report = ga.ToString();
  EXPECT_NE(report.find("\n   Objectives (2) = osMinimize, osMaximize\n   Hypervolume Reference = 4.5, -0.25\n"
                        "   Pareto Front = " + std::to_string(ga.FrontSize()) +
                        ", Hypervolume = " + FloatToStr(ga.FrontHypervolume()) + "\n"),
            std::string::npos) << report;
  plain.SetSelectionMethod(smNSGA2), plain.SetFitnessMethod(fmMaximize);  // never evaluated: no front line
  const std::string single = plain.ToString();
  EXPECT_NE(single.find("\n   Objectives = Fitness (fmMaximize)\n   Hypervolume Reference = automatic\n"),
            std::string::npos) << single;
  EXPECT_EQ(single.find("Pareto"), std::string::npos) << single;
}

}  // namespace

// --- Scoring a generation in one call ------------------------------------------------------
// (That a population handler gives the seeded run of the per-individual path, under Evolve
// and ParallelEvolve, with and without objectives, python/tests/test_ga.py checks through
// batch_fitness, which is such a handler.)

// The handler's values are what the individuals keep (that the statistics read them,
// python/tests/test_ga.py checks); leftovers are scored one by one; a handler alone lets evolution run (the runs of
// the stale parents below); what it throws propagates, and what it stored before counts.
TEST(PopulationFitness, ValuesCountAndErrorsPropagate) {
  TMXGeneticAlgorithm ga;
  AddGene(ga, gtInteger, 8);
  ga.SetInitialPopulation(6);
  ga.SetFitnessMethod(fmMaximize);
  ga.SetMutationProbability(1);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<double> given{2, nan, 7, -1, 5};
  ga.SetOnEvaluatePopulation([&](TObject*, std::span<TMXIndividual* const> Items) {
    for (std::size_t i = 0; i < Items.size() && i < given.size(); ++i) Items[i]->SetFitness(given[i]);
  });
  ga.SetOnEvaluateFitness([](TObject*, TMXIndividual*, TGAFitness& F) { F = 3; });  // the sixth
  ga.Initialize();
  const TMXPopulation& p = *ga.Population();
  const std::vector<double> expected{2, ga.UnfitFitness(), 7, -1, 5, 3};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(p.Items(i)->Fitness(), expected[static_cast<std::size_t>(i)]) << i;

  ga.SetOnEvaluateFitness(nullptr);  // the population handler alone from now on

  // Parents changed between generations are scored together before breeding. (Two
  // generations: p is the current population again afterwards.)
  for (const bool parallel : {false, true}) {
    std::vector<std::vector<TMXIndividual*>> seen;
    ga.SetOnEvaluatePopulation([&](TObject*, std::span<TMXIndividual* const> Items) {
      seen.emplace_back(Items.begin(), Items.end());
      for (TMXIndividual* item : Items) item->SetFitness(1);
    });
    TMXIndividual* parent = ga.Population()->Items(3);
    parent->Modified();
    parallel ? ga.ParallelEvolve() : ga.Evolve();
    ASSERT_EQ(seen.size(), 2u) << parallel;
    EXPECT_EQ(seen[0], std::vector<TMXIndividual*>{parent}) << parallel;
  }

  ga.SetOnEvaluatePopulation([&](TObject*, std::span<TMXIndividual* const> Items) {
    Items[0]->SetFitness(nan);
    throw EGAException("scoring failed");
  });
  ga.Population()->Items(0)->Modified();
  ga.Population()->Items(1)->Modified();
  EXPECT_THROW(ga.EvaluateFitness(), EGAException);
  EXPECT_EQ(p.Items(0)->Fitness(), ga.UnfitFitness());  // stored: not scored again
  EXPECT_TRUE(p.Items(1)->NeedFitness());

  // With objectives, a NaN objective or a row of another length is unfit too (and the
  // short row is not read past its end).
  ga.SetObjectiveCount(2);
  const std::vector<std::vector<double>> rows{{1, nan}, {1}, {0.5, 3}};
  ga.SetOnEvaluatePopulation([&](TObject*, std::span<TMXIndividual* const> Items) {
    for (std::size_t i = 0; i < Items.size(); ++i) {
      Items[i]->SetObjectives(rows[std::min<std::size_t>(i, 2)]);
      Items[i]->SetFitness(1);
    }
  });
  ga.EvaluateFitness();
  EXPECT_EQ(std::tuple(p.Items(0)->Fitness(), p.Items(1)->Fitness(), p.Items(2)->Fitness(), p.Items(1)->Objectives().size()),
            std::tuple(ga.UnfitFitness(), ga.UnfitFitness(), 1.0, std::size_t{2}));
}
