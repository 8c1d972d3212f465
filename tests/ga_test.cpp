// The GA component: chromosome length bookkeeping, crossover points and the crossover
// event, mutation and inversion steps, duplicate-avoiding initialisation, and the one
// check that seeded runs repeat, sequential and parallel whatever the number of threads.
#include <evokit/ga/ga.h>
#include <evokit/platform/parallel.h>
#include <evokit/platform/random.h>

#include "support.h"

#include <set>
#include <string>
#include <vector>

using namespace evokit;
using evokit::test::AddGene;
using evokit::test::Chromosomes;
using evokit::test::CountBits;

namespace {

struct TTestGA : TMXGeneticAlgorithm {
  using TMXCustomGeneticAlgorithm::DoInitialize;
};

TEST(GeneticAlgorithm, ChromosomeLengthFollowsTheGenes) {
  TMXGeneticAlgorithm ga;
  ga.SetOnEvaluateFitness(CountBits);
  TMXGAIndividual* early = ga.Population()->Add();
  AddGene(ga, gtInteger, 8);
  AddGene(ga, gtInteger, 16);
  AddGene(ga, gtBoolean, 1);
  EXPECT_EQ(early->Bits()->Size(), 25);
  (void)early->Fitness();
  ga.SetGeneSize(40);
  EXPECT_EQ(std::pair(early->Bits()->Size(), early->NeedFitness()), std::pair(40, true));
  AddGene(ga, gtInteger, 4);  // 29 bits of genes: 40 stays
  EXPECT_EQ(ga.GeneSize(), 40);

  // Writing the genes copies them and grows the length to fit; Assign copies the length
  // as a plain value, bits past the genes included.
  TMXGeneticAlgorithm other, copy;
  AddGene(other, gtInteger, 30);
  AddGene(other, gtFloat, 32);
  ga.SetGenes(other.Genes());
  EXPECT_EQ(std::pair(ga.Genes()->Items(1)->Offset(), ga.GeneSize()), std::pair(30, 62));
  other.SetGeneSize(70);
  copy.Assign(&other);
  EXPECT_EQ(copy.GeneSize(), 70);
}

// The crossover point by method and length, as the GA's crossover event sees it.
TEST(GeneticAlgorithm, CrossoverPointsByMethod) {
  // Method, chromosome length, the genes' sizes, and the points expected: From to To by Step.
  for (const auto& [method, length, sizes, from, to, step] :
       {std::tuple{cmBitBoundary, 40, std::vector<int>{}, 0, 39, 1}, {static_cast<TGACrossoverMethod>(6), 40, {}, 0, 39, 1},
        {cmByteBoundary, 40, {}, 8, 40, 8}, {cmByteBoundary, 15, {}, 0, 14, 1}, {cmWordBoundary, 32, {}, 16, 32, 16},
        {cmWordBoundary, 31, {}, 0, 30, 1}, {cmLongwordBoundary, 96, {}, 32, 96, 32}, {cmLongwordBoundary, 63, {}, 0, 62, 1},
        {cmGeneBoundary, 40, {}, 0, 39, 1}, {cmGeneBoundary, 40, {8}, 0, 32, 8}, {cmGeneBoundary, 40, {8, 16, 8}, 8, 24, 16}}) {
    TMXGeneticAlgorithm ga;
    for (int size : sizes) AddGene(ga, gtInteger, size);
    ga.SetGeneSize(length);
    ga.SetCrossoverMethod(method);
    ga.SetCrossoverProbability(1);
    for (int i = 0; i < 3; ++i) ga.Population()->Add();
    std::set<int> points, expected;
    for (int i = from; i <= to; i += step) expected.insert(i);
    ga.SetOnCrossover([&](TObject*, TMXGAIndividual*, TMXGAIndividual*, TMXGAIndividual*, std::int32_t& Point,
                          bool&) { points.insert(Point); });
    for (int i = 0; i < 2000 && points.size() <= expected.size(); ++i)
      ga.Crossover(ga.Population()->Items(0), ga.Population()->Items(1), ga.Population()->Items(2));
    EXPECT_EQ(points, expected) << EnumName(method) << " " << length << " genes " << sizes.size();
  }
}

// Both children are crossed at one point. The event sees each child with its parents in
// order; the second call sees the point and the flag the first left, and either call may
// stop its child, which keeps what it held. Under simulated binary crossover each call sees
// -1 as the point (there is none to move), and with no numeric genes a crossed child
// copies its own first parent.
TEST(GeneticAlgorithm, CrossoverEventMovesThePointAndStopsEitherChild) {
  TMXGeneticAlgorithm ga;
  ga.SetGeneSize(70);
  ga.SetCrossoverProbability(1);
  for (int i = 0; i < 4; ++i) ga.Population()->Add()->Bits()->Randomize();
  TMXGAPopulation& p = *ga.Population();
  const std::string a = p[0]->Bits()->ToBitString(), b = p[1]->Bits()->ToBitString(), c = p[2]->Bits()->ToBitString();
  std::vector<std::string> calls;
  for (auto [method, first, second, c1, c2] :
       {std::tuple{cmBitBoundary, true, true, a.substr(0, 33) + b.substr(33), b.substr(0, 33) + a.substr(33)},
        {cmBitBoundary, false, false, c, c}, {cmBitBoundary, false, true, c, b.substr(0, 33) + a.substr(33)},
        {cmSimulatedBinary, false, true, c, b}}) {
    ga.SetCrossoverMethod(method);
    p[2]->Bits()->SetAsBitString(0, 70, c);
    p[3]->Bits()->SetAsBitString(0, 70, c);
    calls.clear();
    ga.SetOnCrossover([&, first = first, second = second](TObject*, TMXGAIndividual* P1, TMXGAIndividual* P2,
                                                          TMXGAIndividual* Child, std::int32_t& Point, bool& Go) {
      calls.push_back(std::to_string(P1->Index() * 100 + P2->Index() * 10 + Child->Index()) + (Go ? "+" : "-") +
                      (calls.empty() ? "" : std::to_string(Point)));
      Point = 33;
      Go = calls.size() == 1 ? first : second;
    });
    EXPECT_EQ(ga.Crossover(p[0], p[1], p[2], p[3]), second);
    EXPECT_EQ(calls, (std::vector<std::string>{"12+", (first ? "103+" : "103-") + std::to_string(method == cmSimulatedBinary ? -1 : 33)}));
    EXPECT_EQ(Chromosomes(p), (std::vector<std::string>{a, b, c1, c2}));
  }
}

// Mutation: no probability test per individual, MutationProbability per bit (what the
// chromosome's Mutate does with it: ga_chromosome_test), and a veto. (Inversion is the
// chromosome's drawn run: ga_chromosome_test.)
TEST(GeneticAlgorithm, MutationStep) {
  TMXGeneticAlgorithm ga;
  ga.SetGeneSize(64);
  TMXGAIndividual* item = ga.Population()->Add();
  ga.SetMutationProbability(1);
  EXPECT_TRUE(ga.Mutate(item));
  EXPECT_EQ(item->Bits()->CountSetBits(), 64);
  TMXIndividual plain;
  EXPECT_THROW(ga.Mutate(&plain), EInvalidCast);
  ga.SetOnMutation([](TObject*, TMXIndividual*, bool& Go) { Go = false; });
  EXPECT_FALSE(ga.Mutate(item));
}

TEST(GeneticAlgorithm, InitializationAvoidsDuplicatesWithinItsBudget) {
  TTestGA ga;
  ga.SetGeneSize(2);  // four distinct chromosomes
  for (int i = 0; i < 4; ++i) ga.Population()->Add();
  ga.SetInitialDuplicatesRetries(1000);
  EXPECT_EQ(ga.DoInitialize(), 4);
  const auto all = Chromosomes(*ga.Population());
  EXPECT_EQ(std::set<std::string>(all.begin(), all.end()).size(), 4u);
  ga.Population()->Add();  // a fifth cannot be distinct: the budget is spent, it stays unchecked
  EXPECT_EQ(ga.DoInitialize(), 4);
  ga.SetInitialDuplicatesRetries(0);
  EXPECT_EQ(ga.DoInitialize(), 0);
}

// --- Complete runs ----------------------------------------------------------------------

// A seeded run repeats: Evolve twice, and ParallelEvolve with 1, 2 and 3 threads (the
// same population as each other, the odd last child included), for each scheme whose
// picks do not depend on the order of the workers, with bit-level and (for tournaments)
// real-coded variation.
TEST(GeneticAlgorithmRun, SeededRunsRepeatWhateverTheThreadCount) {
  for (TGASelectionMethod method : {smRoulette, smRandom, smTournament, smStochasticTournament, smNSGA2}) {
    auto run = [method](int Threads) {
      TParallel::SetMaxThreads(Threads);
      RandSeed(5);
      TMXGeneticAlgorithm ga;  // OneMax over three genes: gene-boundary crossover has boundaries
      for (int size : {20, 13, 27}) AddGene(ga, gtInteger, size);
      ga.SetOnEvaluateFitness(CountBits);
      ga.SetSelectionMethod(method);
      ga.SetInitialPopulation(41);
      ga.SetMutationProbability(0.02);
      ga.SetInversionProbability(0.2);
      if (method == smNSGA2) {  // a single objective: the fitness
        ga.SetCrossoverMethod(cmSimulatedBinary);
        ga.SetMutationMethod(gmPolynomial);
        ga.SetMutationProbability(0.3);
      }
      EXPECT_EQ(Threads > 0 ? ga.ParallelEvolve(15) : ga.Evolve(15), 15);
      TParallel::SetMaxThreads(0);
      return Chromosomes(*ga.Population());
    };
    const auto parallel = run(1);
    EXPECT_EQ(run(0), run(0)) << EnumName(method);
    EXPECT_EQ(run(2), parallel) << EnumName(method);
    EXPECT_EQ(run(3), parallel) << EnumName(method);
  }
}

}  // namespace
