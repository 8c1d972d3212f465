// The GA's real-coded variation: simulated binary crossover of the numeric genes and
// polynomial mutation, their distribution indices, seeded repeatability under
// ParallelEvolve, and a multi-objective run on ZDT1 that needs them.
#include <evokit/ga/ga.h>
#include <evokit/platform/parallel.h>
#include <evokit/platform/random.h>

#include "support.h"

#include <cmath>
#include <limits>
#include <span>
#include <string>
#include <vector>

using namespace evokit;
using evokit::test::AddEnumeration;
using evokit::test::AddGene;
using evokit::test::Chromosomes;

namespace {

// A GA with one gene of each numeric kind plus a boolean, an enumeration and 5 bits past
// the genes: [0] double in [0, 1], [1] whole-number float of 12 bits in [10, 3000],
// [2] signed 16-bit integer in [-500, 700], [3] single in [-5, 5], [4] boolean,
// [5] enumeration, [6] double in [-1e6, 1e6] (bounds too far to ever clamp).
struct TMixedGA {
  TMXGeneticAlgorithm GA;
  TMixedGA() {
    const auto bounded = [this](TGeneType Type, int Size, bool Signed, double Low, double High) {
      TMXGAGene* gene = AddGene(GA, Type, Size, Signed);
      gene->SetMinValue(Low);
      gene->SetMaxValue(High);
      gene->SetMinValue(Low);
    };
    bounded(gtFloat, 64, false, 0, 1);
    bounded(gtFloat, 12, false, 10, 3000);
    bounded(gtInteger, 16, true, -500, 700);
    bounded(gtFloat, 32, true, -5, 5);
    AddGene(GA, gtBoolean, 1);
    AddEnumeration(*GA.Genes(), {"a", "b", "c"});
    bounded(gtFloat, 64, true, -1e6, 1e6);
    GA.SetGeneSize(GA.Genes()->Size() + 5);
    GA.SetCrossoverMethod(cmSimulatedBinary);
    GA.SetCrossoverProbability(1);
    for (int i = 0; i < 4; ++i) GA.Population()->Add();
  }
  TMXGAGene& Gene(int Index) const { return *GA.Genes()->Items(Index); }
  TMXGAIndividual& Item(int Index) const { return *GA.Population()->Items(Index); }
  double Value(int Individual, int Gene) const { return this->Gene(Gene).GeneAsDouble(*Item(Individual).Bits()); }
  // Random bits, then every numeric gene a random value within its bounds (a few of
  // them equal in both parents, a few out of bounds).
  void RandomParents() {
    for (int i = 0; i < 2; ++i) {
      Item(i).Bits()->Randomize();
      for (int g : {0, 1, 2, 3, 6}) {
        TMXGAGene& gene = Gene(g);
        const double low = g == 6 ? 0 : gene.MinValue(), high = g == 6 ? 1 : gene.MaxValue();
        gene.SetGeneAsDouble(*Item(i).Bits(), low + Random() * (high - low));
      }
    }
    if (Random(10) == 0) Gene(1).SetGeneAsDouble(*Item(1).Bits(), Value(0, 1));
    if (Random(10) == 0) Item(1).Bits()->SetAsDouble(Gene(0).Offset(), 64, 1.5);
  }
};

// Every crossed child stays in its genes' bounds (a parent out of them included); each child takes the boolean, the enumeration and the bits past the genes from
// its own first parent; about half of the genes are crossed; with bounds too far to
// matter the children's mean is the parents'.
TEST(RealCodedGA, SimulatedBinaryCrossoverKeepsBoundsOwnFieldsAndTheMean) {
  RandSeed(11);
  TMixedGA m;
  const int rounds = 2000;
  int crossed = 0, differing = 0;
  for (int round = 0; round < rounds; ++round) {
    m.RandomParents();
    ASSERT_TRUE(m.GA.Crossover(&m.Item(0), &m.Item(1), &m.Item(2), &m.Item(3)));
    for (int child : {2, 3}) {
      const int parent = child - 2;
      for (int g : {0, 1, 2, 3, 6}) {
        const double value = m.Value(child, g);
        if (value == m.Value(parent, g)) continue;  // not crossed: as the own parent has it
        ASSERT_GE(value, m.Gene(g).MinValue()) << g;
        ASSERT_LE(value, m.Gene(g).MaxValue()) << g;
      }
      const TMXGABits& own = *m.Item(parent).Bits();
      const int past = m.GA.Genes()->Size();
      for (int g : {4, 5})
        ASSERT_EQ(m.Item(child).Bits()->GetAsBitString(m.Gene(g).Offset(), m.Gene(g).Size()),
                  own.GetAsBitString(m.Gene(g).Offset(), m.Gene(g).Size()));
      ASSERT_EQ(m.Item(child).Bits()->GetAsBitString(past, 5), own.GetAsBitString(past, 5));
    }
    // The mean: both children from one draw, so it holds within rounding.
    EXPECT_NEAR(m.Value(2, 6) + m.Value(3, 6), m.Value(0, 6) + m.Value(1, 6), 1e-9);
    for (int g : {0, 6}) {
      if (m.Value(0, g) == m.Value(1, g)) continue;
      ++differing;
      crossed += m.Value(2, g) != m.Value(0, g) && m.Value(2, g) != m.Value(1, g);
    }
    // Equal parents pass their value on.
    if (m.Value(0, 1) == m.Value(1, 1)) {
      ASSERT_EQ(std::pair(m.Value(2, 1), m.Value(3, 1)), std::pair(m.Value(0, 1), m.Value(0, 1)));
    }
  }
  EXPECT_NEAR(static_cast<double>(crossed) / differing, 0.5, 0.05);
}

// The distribution index sets the spread: the children's distance over the parents'
// (the spread factor) stays near 1 with a large index and strays far with a small one.
// Either child is the lower one as often.
TEST(RealCodedGA, DistributionIndexSetsTheSpread) {
  const auto meanStray = [](double Eta) {
    RandSeed(3);
    TMixedGA m;
    m.GA.SetCrossoverDistributionIndex(Eta);
    double stray = 0;
    int count = 0, lower = 0;
    for (int round = 0; round < 2000; ++round) {
      m.Gene(6).SetGeneAsDouble(*m.Item(0).Bits(), 0.4);
      m.Gene(6).SetGeneAsDouble(*m.Item(1).Bits(), 0.6);
      m.GA.Crossover(&m.Item(0), &m.Item(1), &m.Item(2), &m.Item(3));
      if (m.Value(2, 6) == 0.4 || m.Value(2, 6) == 0.6) continue;  // not crossed
      stray += std::abs(std::abs(m.Value(3, 6) - m.Value(2, 6)) / 0.2 - 1);
      lower += m.Value(2, 6) < m.Value(3, 6);
      ++count;
    }
    EXPECT_NEAR(static_cast<double>(lower) / count, 0.5, 0.08) << Eta;
    return stray / count;
  };
  EXPECT_LT(meanStray(100), 0.05);
  EXPECT_GT(meanStray(0.5), 0.3);
  // With a huge index the children are the parents again: signed and whole-number
  // genes read and rounded right, the reals within a hair.
  RandSeed(5);
  TMixedGA m;
  m.GA.SetCrossoverDistributionIndex(1e7);
  for (int round = 0; round < 300; ++round) {
    m.RandomParents();
    m.GA.Crossover(&m.Item(0), &m.Item(1), &m.Item(2), &m.Item(3));
    for (int g : {1, 2, 3, 6}) {
      const double p1 = m.Value(0, g), p2 = m.Value(1, g), c1 = m.Value(2, g), c2 = m.Value(3, g);
      const double tolerance = g == 1 || g == 2 ? 0 : 1e-5;
      EXPECT_TRUE((std::abs(c1 - p1) <= tolerance && std::abs(c2 - p2) <= tolerance) ||
                  (std::abs(c1 - p2) <= tolerance && std::abs(c2 - p1) <= tolerance))
          << g << ": " << p1 << " " << p2 << " -> " << c1 << " " << c2;
    }
  }
}

// Polynomial mutation: a numeric gene changes with MutationProbability and stays within
// its bounds, a larger index moving it less; other genes' bits and the bits past the genes
// flip with the same probability each. DoMutate tells whether anything changed.
TEST(RealCodedGA, PolynomialMutationRateBoundsAndOtherBits) {
  RandSeed(8);
  TMixedGA m;
  m.GA.SetMutationMethod(gmPolynomial);
  m.GA.SetMutationProbability(0.25);
  TMXGAIndividual& item = m.Item(0);
  const int rounds = 2000, past = m.GA.Genes()->Size();
  int moved = 0, flipped = 0, reported = 0, changed = 0;
  double step = 0;
  for (int round = 0; round < rounds; ++round) {
    m.RandomParents();
    const std::string before = item.Bits()->ToBitString();
    const double x = m.Value(0, 0);
    reported += m.GA.Mutate(&item);
    const std::string after = item.Bits()->ToBitString();
    changed += after != before;
    for (int g : {0, 1, 2, 3, 6}) {
      ASSERT_GE(m.Value(0, g), m.Gene(g).MinValue());
      ASSERT_LE(m.Value(0, g), m.Gene(g).MaxValue());
    }
    moved += m.Value(0, 0) != x;
    step += std::abs(m.Value(0, 0) - x);
    for (int bit : {m.Gene(4).Offset(), m.Gene(5).Offset(), m.Gene(5).Offset() + 1, past, past + 4})
      flipped += after[static_cast<std::size_t>(bit)] != before[static_cast<std::size_t>(bit)];
  }
  EXPECT_EQ(reported, changed);
  EXPECT_NEAR(static_cast<double>(moved) / rounds, 0.25, 0.04);
  EXPECT_NEAR(static_cast<double>(flipped) / (5 * rounds), 0.25, 0.03);
  // The same moves with a large index are much shorter.
  m.GA.SetMutationDistributionIndex(200);
  m.GA.SetMutationProbability(1);
  double shortStep = 0;
  for (int round = 0; round < rounds; ++round) {
    m.RandomParents();
    const double x = m.Value(0, 0);
    m.GA.Mutate(&item);
    shortStep += std::abs(m.Value(0, 0) - x);
  }
  EXPECT_LT(shortStep / rounds, 0.2 * step / moved);
  m.GA.SetMutationProbability(0);
  EXPECT_FALSE(m.GA.Mutate(&item));
}

// The crossover event sees -1 as the point and may still stop either child: a stopped
// child keeps what it held.
TEST(RealCodedGA, CrossoverEventStopsEitherChild) {
  RandSeed(4);
  TMixedGA m;
  std::vector<int> points;
  for (bool second : {false, true}) {
    m.RandomParents();
    const std::string held = m.Item(2).Bits()->ToBitString(), held3 = m.Item(3).Bits()->ToBitString();
    m.GA.SetOnCrossover([&](TObject*, TMXGAIndividual*, TMXGAIndividual*, TMXGAIndividual* Child, std::int32_t& Point,
                            bool& Go) {
      points.push_back(Point);
      Point = 7;
      Go = Child == &m.Item(3) && second;
    });
    EXPECT_EQ(m.GA.Crossover(&m.Item(0), &m.Item(1), &m.Item(2), &m.Item(3)), second);
    EXPECT_EQ(m.Item(2).Bits()->ToBitString(), held);
    EXPECT_EQ(m.Item(3).Bits()->GetAsBitString(m.Gene(4).Offset(), 3),
              second ? m.Item(1).Bits()->GetAsBitString(m.Gene(4).Offset(), 3)
                     : held3.substr(static_cast<std::size_t>(m.Gene(4).Offset()), 3));
  }
  EXPECT_EQ(points, (std::vector<int>{-1, -1, -1, -1}));
}

TEST(RealCodedGA, BadDistributionIndexIsRefusedAndChangesNothing) {
  TMXGeneticAlgorithm ga;
  EXPECT_EQ(std::pair(ga.CrossoverDistributionIndex(), ga.MutationDistributionIndex()), std::pair(20.0, 20.0));
  ga.SetCrossoverDistributionIndex(0);
  ga.SetMutationDistributionIndex(5);
  for (double bad : {-1e-9, -3.0, std::numeric_limits<double>::quiet_NaN()}) {
    EXPECT_THROW(ga.SetCrossoverDistributionIndex(bad), EGAException);
    EXPECT_THROW(ga.SetMutationDistributionIndex(bad), EGAException);
    EXPECT_EQ(std::pair(ga.CrossoverDistributionIndex(), ga.MutationDistributionIndex()), std::pair(0.0, 5.0));
  }
  // A document with a bad index is refused before anything changes.
  TMXGeneticAlgorithm other;
  AddGene(other, gtInteger, 8);
  other.SetMutationProbability(0.5);
  TStringStream out;
  other.SaveToStream(out);
  std::string text = out.DataString();
  text.insert(text.find("</CrossoverMethod>") + 18, "<MutationDistributionIndex>-2</MutationDistributionIndex>");
  TStringStream in(text);
  EXPECT_THROW(ga.LoadFromStream(in), EGAException);
  EXPECT_EQ(std::tuple(ga.CrossoverDistributionIndex(), ga.MutationDistributionIndex(), ga.MutationProbability()),
            std::tuple(0.0, 5.0, MUTATION_PROBABILITY));
}

// The settings go through documents, component streaming and Assign; at their defaults
// neither the document nor the stream mentions them, and a document without them loads
// the defaults.
TEST(RealCodedGA, SettingsRoundTrip) {
  TMXGeneticAlgorithm ga, loaded, streamed, assigned;
  AddGene(ga, gtFloat, 32);
  const auto save = [](TMXGeneticAlgorithm& GA) {
    TStringStream out;
    GA.SaveToStream(out);
    return out.DataString();
  };
  const auto write = [](TMXGeneticAlgorithm& GA) {
    TStringStream out;
    WriteComponent(out, &GA);
    return out.DataString();
  };
  const std::string plainDocument = save(ga), plainStream = write(ga);
  for (const char* name : {"DistributionIndex", "MutationMethod"}) {
    EXPECT_EQ(plainDocument.find(name), std::string::npos) << name;
    EXPECT_EQ(plainStream.find(name), std::string::npos) << name;
  }
  ga.SetCrossoverMethod(cmSimulatedBinary);
  ga.SetMutationMethod(gmPolynomial);
  ga.SetCrossoverDistributionIndex(2.5);
  ga.SetMutationDistributionIndex(0.125);
  const auto settings = [](const TMXGeneticAlgorithm& GA) {
    return std::tuple(GA.CrossoverMethod(), GA.MutationMethod(), GA.CrossoverDistributionIndex(),
                      GA.MutationDistributionIndex());
  };
  const auto expected = std::tuple(cmSimulatedBinary, gmPolynomial, 2.5, 0.125);
  TStringStream document(save(ga));
  loaded.LoadFromStream(document);
  EXPECT_EQ(settings(loaded), expected);
  TStringStream text(write(ga));
  ReadComponent(text, &streamed);
  EXPECT_EQ(settings(streamed), expected);
  assigned.Assign(&ga);
  EXPECT_EQ(settings(assigned), expected);
  TStringStream plain(plainDocument);
  loaded.LoadFromStream(plain);
  EXPECT_EQ(settings(loaded), std::tuple(cmGeneBoundary, gmBitFlip, 20.0, 20.0));
}

// --- Complete runs ----------------------------------------------------------------------

// ZDT1 over 30 variables in [0, 1], each a 32-bit float gene, under NSGA-II with
// simulated binary crossover and polynomial mutation.
void Zdt1(TMXGeneticAlgorithm& GA) {
  for (int i = 0; i < 30; ++i) {
    TMXGAGene* gene = AddGene(GA, gtFloat, 32);
    gene->SetMaxValue(1);
  }
  GA.SetInitialPopulation(100);
  GA.SetSelectionMethod(smNSGA2);
  GA.SetObjectiveCount(2);
  GA.SetHypervolumeReference(std::vector<double>{1.1, 1.1});
  GA.SetOperations({goCrossover, goMutate});
  GA.SetCrossoverProbability(0.9);
  GA.SetMutationProbability(1.0 / 30);
  GA.SetCrossoverMethod(cmSimulatedBinary);
  GA.SetMutationMethod(gmPolynomial);
  // Random bits are mostly no number in [0, 1]: the variables start uniform instead.
  GA.SetOnInitialization([&GA](TObject*, bool& Initialized) {
    for (int i = 0; i < GA.Population()->Count(); ++i)
      for (int g = 0; g < GA.Genes()->Count(); ++g) GA.Genes()->Items(g)->SetAsDouble(i, Random());
    Initialized = true;
  });
  GA.SetOnEvaluateObjectives([&GA](TObject*, TMXIndividual* Item, std::span<double> F) {
    TMXGABits& bits = *static_cast<TMXGAIndividual*>(Item)->Bits();
    double sum = 0;
    for (int g = 1; g < 30; ++g) sum += GA.Genes()->Items(g)->GeneAsDouble(bits);
    F[0] = GA.Genes()->Items(0)->GeneAsDouble(bits);
    const double h = 1 + 9 * sum / 29;
    F[1] = h * (1 - std::sqrt(F[0] / h));
  });
}

// Real-coded variation gets close to ZDT1's front in 100 generations: hypervolume 0.877
// at best, 0 for the random start (every point beyond the reference), and 0 too for bit
// flips and one-point crossover, which throw the floats out of [0, 1].
TEST(RealCodedGARun, Zdt1FrontIsReached) {
  RandSeed(21);
  TMXGeneticAlgorithm ga;
  Zdt1(ga);
  ga.Evolve(100);
  EXPECT_GT(ga.FrontHypervolume(), 0.8);
}

// A seeded real-coded run repeats, sequentially and with 1 and 2 threads.
TEST(RealCodedGARun, SeededRunsRepeatWhateverTheThreadCount) {
  const auto run = [](int Threads) {
    TParallel::SetMaxThreads(Threads);
    RandSeed(9);
    TMixedGA m;
    m.GA.SetOnEvaluateFitness([&m](TObject*, TMXIndividual* Item, TGAFitness& Fitness) {
      TMXGABits& bits = *static_cast<TMXGAIndividual*>(Item)->Bits();
      Fitness = 0;
      for (int g : {0, 1, 2, 3, 6}) Fitness += std::abs(m.GA.Genes()->Items(g)->GeneAsDouble(bits) - 0.3);
    });
    m.GA.SetMutationMethod(gmPolynomial);
    m.GA.SetMutationProbability(0.2);
    m.GA.SetSelectionMethod(smTournament);
    m.GA.SetInitialPopulation(31);
    EXPECT_EQ(Threads > 0 ? m.GA.ParallelEvolve(10) : m.GA.Evolve(10), 10);
    TParallel::SetMaxThreads(0);
    return Chromosomes(*m.GA.Population());
  };
  EXPECT_EQ(run(0), run(0));
  const auto parallel = run(1);
  EXPECT_EQ(run(2), parallel);
}

}  // namespace
