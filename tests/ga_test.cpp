// The GA component: chromosome length bookkeeping, crossover points and the crossover
// event, mutation and inversion steps, duplicate-avoiding initialisation, and complete
// runs (OneMax, a typed-gene problem, seeded sequential and parallel evolution).
#include <evokit/ga/ga.h>
#include <evokit/platform/parallel.h>
#include <evokit/platform/random.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <string>
#include <vector>

namespace evokit {
namespace {

class TTestGA : public TMXGeneticAlgorithm {
 public:
  using TMXCustomGeneticAlgorithm::DoInitialize;
};

TMXGAGene* AddGene(TMXCustomGeneticAlgorithm& GA, TGeneType Type, int Size, bool Signed = false) {
  TMXGAGene* gene = GA.Genes()->Add();
  gene->SetGeneType(Type);
  gene->SetPreserveSignBit(Signed);
  gene->SetSize(Size);
  return gene;
}

std::vector<std::string> Chromosomes(const TMXGAPopulation& Population) {
  std::vector<std::string> out;
  for (int i = 0; i < Population.Count(); ++i) out.push_back(Population.Items(i)->Bits()->ToBitString());
  return out;
}

class GeneticAlgorithmTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RandSeed(11);
    FGA.SetOnEvaluateFitness([](TObject*, TMXIndividual* Item, TGAFitness& Fitness) {
      Fitness = static_cast<TMXGAIndividual*>(Item)->Bits()->CountSetBits();
    });
  }
  // Two random parents and two children of Length bits.
  void MakeFamily(int Length) {
    FGA.SetGeneSize(Length);
    for (int i = 0; i < 4; ++i) FGA.Population()->Add()->Bits()->Randomize();
    FP1 = FGA.Population()->Items(0);
    FP2 = FGA.Population()->Items(1);
    FC1 = FGA.Population()->Items(2);
    FC2 = FGA.Population()->Items(3);
    FGA.SetCrossoverProbability(1);
  }
  // The crossover points of Trials crossovers.
  std::set<int> Points(int Trials) {
    std::set<int> points;
    FGA.SetOnCrossover([&points](TObject*, TMXGAIndividual*, TMXGAIndividual*, TMXGAIndividual*,
                                 std::int32_t& Point, bool&) { points.insert(Point); });
    for (int i = 0; i < Trials; ++i) FGA.Crossover(FP1, FP2, FC1);
    FGA.SetOnCrossover(nullptr);
    return points;
  }
  static std::set<int> Range(int From, int To, int Step = 1) {
    std::set<int> out;
    for (int i = From; i <= To; i += Step) out.insert(i);
    return out;
  }

  TTestGA FGA;
  TMXGAIndividual *FP1 = nullptr, *FP2 = nullptr, *FC1 = nullptr, *FC2 = nullptr;
};

TEST_F(GeneticAlgorithmTest, Defaults) {
  TMXGeneticAlgorithm ga;
  EXPECT_EQ(ga.ClassName(), "TMXGeneticAlgorithm");
  EXPECT_EQ(ga.GeneSize(), 0);
  EXPECT_EQ(ga.CrossoverMethod(), cmGeneBoundary);
  EXPECT_EQ(ga.Genes()->Count(), 0);
  EXPECT_EQ(ga.Genes()->Owner(), &ga);
  EXPECT_EQ(ga.Population()->ClassName(), "TMXGAPopulation");
  EXPECT_EQ(ga.Population()->Add()->ClassName(), "TMXGAIndividual");
  EXPECT_EQ(ga.FittestIndividual(), nullptr);
}

TEST_F(GeneticAlgorithmTest, ChromosomeLengthFollowsTheGenes) {
  TMXGAIndividual* early = FGA.Population()->Add();
  AddGene(FGA, gtInteger, 8);
  TMXGAGene* middle = AddGene(FGA, gtInteger, 16);
  AddGene(FGA, gtBoolean, 1);
  EXPECT_EQ(FGA.GeneSize(), 25);
  EXPECT_EQ(early->Bits()->Size(), 25);
  EXPECT_EQ(FGA.Population()->Add()->Bits()->Size(), 25);
  FGA.Genes()->Delete(middle->Index());
  EXPECT_EQ(FGA.GeneSize(), 25) << "the length never shrinks with the genes";

  (void)early->Fitness();
  FGA.SetGeneSize(40);
  EXPECT_EQ(early->Bits()->Size(), 40);
  EXPECT_TRUE(early->NeedFitness());
  AddGene(FGA, gtInteger, 4);  // 13 bits of genes: 40 stays
  EXPECT_EQ(FGA.GeneSize(), 40);
  FGA.SetGeneSize(-3);
  EXPECT_EQ(FGA.GeneSize(), 0);
  EXPECT_EQ(early->Bits()->Size(), 0);

  // Writing Genes copies them and grows the length to fit.
  TMXGeneticAlgorithm other;
  AddGene(other, gtInteger, 30);
  AddGene(other, gtFloat, 32);
  FGA.SetGenes(other.Genes());
  EXPECT_EQ(FGA.Genes()->Count(), 2);
  EXPECT_NE(FGA.Genes()->Items(0), other.Genes()->Items(0));
  EXPECT_EQ(FGA.Genes()->Items(1)->Offset(), 30);
  EXPECT_EQ(FGA.GeneSize(), 62);
}

TEST_F(GeneticAlgorithmTest, CrossoverPointsByMethod) {
  MakeFamily(40);
  FGA.SetCrossoverMethod(cmByteBoundary);
  EXPECT_EQ(Points(400), Range(8, 40, 8));
  FGA.SetCrossoverMethod(cmWordBoundary);
  EXPECT_EQ(Points(400), Range(16, 32, 16));
  FGA.SetCrossoverMethod(cmLongwordBoundary);  // GeneSize below 64: any bit
  EXPECT_EQ(Points(2000), Range(0, 39));
  FGA.SetCrossoverMethod(cmBitBoundary);
  EXPECT_EQ(Points(2000), Range(0, 39));
  FGA.SetCrossoverMethod(static_cast<TGACrossoverMethod>(5));  // acts as cmBitBoundary
  EXPECT_EQ(Points(2000), Range(0, 39));

  // Gene boundaries: no gene, or one gene of size 0, falls back to any bit.
  FGA.SetCrossoverMethod(cmGeneBoundary);
  EXPECT_EQ(Points(2000), Range(0, 39));
  TMXGAGene* first = AddGene(FGA, gtInteger, 0);
  EXPECT_EQ(Points(2000), Range(0, 39));
  first->SetSize(8);  // one gene: multiples of its size
  EXPECT_EQ(Points(400), Range(0, 32, 8));
  AddGene(FGA, gtInteger, 16);
  AddGene(FGA, gtInteger, 8);  // offsets 0, 8, 24
  EXPECT_EQ(Points(400), (std::set<int>{8, 24}));

  // From 64 bits on, longword boundaries: multiples of 32 up to the length.
  FGA.SetGeneSize(96);
  FGA.SetCrossoverMethod(cmLongwordBoundary);
  EXPECT_EQ(Points(400), Range(32, 96, 32));

  FGA.SetGeneSize(12);  // below 16: a byte-boundary point is any bit of the child
  for (int i = 0; i < 4; ++i) FGA.Population()->Items(i)->Bits()->SetSize(12);
  FGA.SetCrossoverMethod(cmByteBoundary);
  EXPECT_EQ(Points(1000), Range(0, 11));
}

TEST_F(GeneticAlgorithmTest, CrossoverBuildsBothChildren) {
  MakeFamily(70);
  FGA.SetCrossoverMethod(cmBitBoundary);
  std::vector<std::int32_t> seen;
  FGA.SetOnCrossover([&](TObject* Sender, TMXGAIndividual* Parent1, TMXGAIndividual* Parent2, TMXGAIndividual* Child,
                         std::int32_t& Point, bool&) {
    EXPECT_EQ(Sender, &FGA);
    EXPECT_EQ(Child, seen.empty() ? FC1 : FC2);
    EXPECT_EQ(Parent1, seen.empty() ? FP1 : FP2);
    EXPECT_EQ(Parent2, seen.empty() ? FP2 : FP1);
    if (seen.empty()) Point = 33;  // the second call sees the changed point
    seen.push_back(Point);
  });
  EXPECT_TRUE(FGA.Crossover(FP1, FP2, FC1, FC2));
  EXPECT_EQ(seen, (std::vector<std::int32_t>{33, 33}));
  const std::string a = FP1->Bits()->ToBitString(), b = FP2->Bits()->ToBitString();
  EXPECT_EQ(FC1->Bits()->ToBitString(), a.substr(0, 33) + b.substr(33));
  EXPECT_EQ(FC2->Bits()->ToBitString(), b.substr(0, 33) + a.substr(33));
}

TEST_F(GeneticAlgorithmTest, CrossoverEventCanStopEitherChild) {
  MakeFamily(16);
  const std::string c1 = FC1->Bits()->ToBitString(), c2 = FC2->Bits()->ToBitString();
  int calls = 0;
  // Cleared for the first child and left so: neither child is crossed.
  FGA.SetOnCrossover([&](TObject*, TMXGAIndividual*, TMXGAIndividual*, TMXGAIndividual*, std::int32_t&, bool& Go) {
    if (++calls == 1) Go = false;
  });
  EXPECT_FALSE(FGA.Crossover(FP1, FP2, FC1, FC2));
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(FC1->Bits()->ToBitString(), c1);
  EXPECT_EQ(FC2->Bits()->ToBitString(), c2);

  // Set again in the second call: only the second child is crossed.
  calls = 0;
  FGA.SetOnCrossover([&](TObject*, TMXGAIndividual*, TMXGAIndividual*, TMXGAIndividual*, std::int32_t& Point,
                         bool& Go) {
    Go = ++calls == 2;
    Point = 16;  // the whole first parent
  });
  EXPECT_TRUE(FGA.Crossover(FP1, FP2, FC1, FC2));
  EXPECT_EQ(FC1->Bits()->ToBitString(), c1);
  EXPECT_EQ(FC2->Bits()->ToBitString(), FP2->Bits()->ToBitString());

  // The genetic component's own veto still runs first.
  calls = 0;
  FGA.TMXCustomGeneticComponent::SetOnCrossover(
      [](TObject*, TMXIndividual*, TMXIndividual*, TMXIndividual*, bool& Go) { Go = false; });
  EXPECT_FALSE(FGA.Crossover(FP1, FP2, FC1, FC2));
  EXPECT_EQ(calls, 0);
}

TEST_F(GeneticAlgorithmTest, MutationAndInversionSteps) {
  MakeFamily(64);
  (void)FC1->Fitness();
  const std::string before = FC1->Bits()->ToBitString();
  FGA.SetMutationProbability(0);
  EXPECT_FALSE(FGA.Mutate(FC1));
  EXPECT_EQ(FC1->Bits()->ToBitString(), before);
  EXPECT_TRUE(FC1->NeedFitness()) << "marked for re-evaluation all the same";

  // No probability test per individual: probability 1 flips every bit.
  FGA.SetMutationProbability(1);
  EXPECT_TRUE(FGA.Mutate(FC1));
  EXPECT_EQ(FC1->Bits()->CountSetBits(), 64 - static_cast<int>(std::count(before.begin(), before.end(), '1')));

  TMXIndividual plain;
  EXPECT_THROW(FGA.Mutate(&plain), EInvalidCast);

  FGA.SetOnMutation([](TObject*, TMXIndividual*, bool& Go) { Go = false; });
  const std::string vetoed = FC1->Bits()->ToBitString();
  EXPECT_FALSE(FGA.Mutate(FC1));
  EXPECT_EQ(FC1->Bits()->ToBitString(), vetoed);

  // Inversion complements one run of bits.
  FGA.SetInversionProbability(1);
  const std::string old = FC2->Bits()->ToBitString();
  EXPECT_TRUE(FGA.Invert(FC2));
  const std::string now = FC2->Bits()->ToBitString();
  std::string changed;
  for (std::size_t i = 0; i < old.size(); ++i) changed += old[i] != now[i] ? '1' : '0';
  const auto first = changed.find('1'), last = changed.rfind('1');
  ASSERT_NE(first, std::string::npos);
  EXPECT_EQ(changed.find('0', first), last + 1 == changed.size() ? std::string::npos : last + 1);
}

TEST_F(GeneticAlgorithmTest, InitializationAvoidsDuplicatesWithinItsBudget) {
  // Two bits allow four distinct chromosomes; the budget is ample.
  FGA.SetGeneSize(2);
  for (int i = 0; i < 4; ++i) FGA.Population()->Add();
  FGA.SetInitialDuplicatesRetries(1000);
  EXPECT_EQ(FGA.DoInitialize(), 4);
  const auto all = Chromosomes(*FGA.Population());
  EXPECT_EQ(std::set<std::string>(all.begin(), all.end()).size(), 4u);

  // A fifth cannot be distinct: it spends the whole budget and stays unchecked.
  FGA.Population()->Add();
  EXPECT_EQ(FGA.DoInitialize(), 4);

  FGA.SetInitialDuplicatesRetries(0);
  EXPECT_EQ(FGA.DoInitialize(), 0);

  FGA.SetGeneSize(100);
  FGA.SetInitialDuplicatesRetries(3);
  EXPECT_EQ(FGA.DoInitialize(), 5);
}

TEST_F(GeneticAlgorithmTest, AssignCopiesTheGASettings) {
  TMXGeneticAlgorithm source;
  AddGene(source, gtInteger, 12);
  source.SetGeneSize(30);
  source.SetCrossoverMethod(cmWordBoundary);
  FGA.Assign(&source);
  EXPECT_EQ(FGA.GeneSize(), 30);
  EXPECT_EQ(FGA.CrossoverMethod(), cmWordBoundary);
  ASSERT_EQ(FGA.Genes()->Count(), 1);
  EXPECT_EQ(FGA.Genes()->Items(0)->Size(), 12);
  EXPECT_NE(FGA.Genes()->Items(0), source.Genes()->Items(0));
}

// --- Complete runs ----------------------------------------------------------------------

TEST(GeneticAlgorithmRunTest, OneMaxReachesTheOptimum) {
  RandSeed(2024);
  TMXGeneticAlgorithm ga;
  ga.SetGeneSize(200);
  ga.SetInitialPopulation(60);
  ga.SetFitnessMethod(fmMaximize);
  ga.SetSelectionMethod(smTournament);
  ga.SetTournamentField(3);
  ga.SetCrossoverMethod(cmBitBoundary);
  ga.SetOperations({goCrossover, goMutate});
  ga.SetMutationProbability(1.0 / 200);
  ga.SetUseFitnessCutoff(true);
  ga.SetFitnessCutoff(200);
  ga.SetOnEvaluateFitness([](TObject*, TMXIndividual* Item, TGAFitness& Fitness) {
    Fitness = static_cast<TMXGAIndividual*>(Item)->Bits()->CountSetBits();
  });
  const int generations = ga.Evolve(1000);
  EXPECT_EQ(ga.MaxFitness(), 200);
  ASSERT_NE(ga.FittestIndividual(), nullptr);
  EXPECT_EQ(ga.FittestIndividual()->Bits()->ToBitString(), std::string(200, '1'));
  EXPECT_LE(generations, 250);
}

// Four typed genes: an 8-bit signed integer, a 32-bit float, a boolean and a colour.
class TTypedProblem {
 public:
  explicit TTypedProblem(TMXGeneticAlgorithm& GA) : FGA(GA) {
    FNumber = AddGene(GA, gtInteger, 8, true);
    FNumber->SetName("number");
    FScale = AddGene(GA, gtFloat, 32, true);
    FScale->SetName("scale");
    FEnabled = AddGene(GA, gtBoolean, 1);
    FEnabled->SetName("enabled");
    FColour = GA.Genes()->Add();
    FColour->SetName("colour");
    FColour->SetGeneType(gtEnumeration);
    for (const char* name : {"red", "green", "blue"}) FColour->Enumerations()->Add(name);
    GA.SetOnEvaluateFitness([this](TObject*, TMXIndividual* Item, TGAFitness& Fitness) {
      Fitness = Error(*static_cast<TMXGAIndividual*>(Item)->Bits());
    });
  }
  // 0 at number -37, scale 0.75, enabled, blue.
  double Error(TMXGABits& Bits) const {
    double error = std::abs(FNumber->GeneAsInteger(Bits) + 37);
    const double scale = FScale->GeneAsFloat(Bits);
    error += std::isfinite(scale) ? std::min(std::abs(scale - 0.75), 1e6) : 1e6;
    error += FEnabled->GeneAsBoolean(Bits) ? 0 : 10;
    try {
      error += FColour->GeneAsEnumeration(Bits) == "blue" ? 0 : 10;
    } catch (const EGAException&) {
      error += 20;  // a field holding no colour
    }
    return error;
  }
  TMXGeneticAlgorithm& FGA;
  TMXGAGene *FNumber, *FScale, *FEnabled, *FColour;
};

TEST(GeneticAlgorithmRunTest, TypedGenesDecodeAndOptimise) {
  RandSeed(99);
  TMXGeneticAlgorithm ga;
  TTypedProblem problem(ga);
  EXPECT_EQ(ga.GeneSize(), 8 + 32 + 1 + 2);
  ga.SetInitialPopulation(80);
  ga.SetFitnessMethod(fmMinimize);
  ga.SetSelectionMethod(smTournament);
  ga.SetTournamentField(3);
  ga.SetMutationProbability(1.0 / 43);
  ga.SetInversionProbability(0);
  ga.SetUseFitnessCutoff(true);
  ga.SetFitnessCutoff(1e-3);
  ga.Evolve(600);
  ASSERT_NE(ga.FittestIndividual(), nullptr);
  EXPECT_LE(ga.MinFitness(), 1e-3);
  const int best = ga.FittestIndividual()->Index();
  EXPECT_EQ(problem.FNumber->GetAsInteger(best), -37);
  EXPECT_NEAR(problem.FScale->GetAsFloat(best), 0.75, 1e-3);
  EXPECT_TRUE(problem.FEnabled->GetAsBoolean(best));
  EXPECT_EQ(problem.FColour->GetAsEnumeration(best), "blue");
  EXPECT_EQ(problem.FNumber->AsString(best), "-37");
  EXPECT_EQ(problem.FColour->AsString(best), "blue");
}

// The population and statistics after Generations seeded generations of the typed
// problem, sequential or parallel.
struct TRunResult {
  std::vector<std::string> Chromosomes;
  double Best;
  int Generation;
  bool operator==(const TRunResult&) const = default;
};

TRunResult SeededRun(std::uint64_t Seed, bool Parallel, int Generations) {
  RandSeed(Seed);
  TMXGeneticAlgorithm ga;
  TTypedProblem problem(ga);
  ga.SetInitialPopulation(41);  // odd: the last child is bred alone
  ga.SetSelectionMethod(smRoulette);
  ga.SetCrossoverMethod(cmGeneBoundary);
  ga.SetInversionProbability(0.2);
  ga.SetMutationProbability(0.03);
  if (Parallel) ga.ParallelEvolve(Generations);
  else ga.Evolve(Generations);
  return {Chromosomes(*ga.Population()), ga.MinFitness(), ga.Generation()};
}

TEST(GeneticAlgorithmRunTest, SeededRunsRepeat) {
  const TRunResult first = SeededRun(5, false, 25);
  EXPECT_EQ(first.Generation, 25);
  EXPECT_EQ(SeededRun(5, false, 25), first);
  EXPECT_NE(SeededRun(6, false, 25).Chromosomes, first.Chromosomes);

  const int previous = TParallel::MaxThreads();
  TParallel::SetMaxThreads(1);
  const TRunResult one = SeededRun(5, true, 25);
  TParallel::SetMaxThreads(2);
  const TRunResult two = SeededRun(5, true, 25);
  TParallel::SetMaxThreads(previous);
  EXPECT_EQ(one.Generation, 25);
  EXPECT_EQ(one, two);
}

}  // namespace
}  // namespace evokit
