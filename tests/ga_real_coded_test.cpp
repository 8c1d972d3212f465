// The GA's real-coded variation: simulated binary crossover of the numeric genes,
// polynomial mutation and their distribution indices. Seeded repeatability, the crossover
// event and the document round trips are checked with the other GA settings (ga_test,
// ga_xml_test), and a run that needs them, NSGA-II on ZDT3's thirty reals, by the demo's
// test.
#include <evokit/ga/ga.h>
#include <evokit/platform/random.h>

#include "support.h"

#include <algorithm>
#include <cmath>
#include <string>

using namespace evokit;
using evokit::test::AddEnumeration;
using evokit::test::AddGene;

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
  bool InBounds(int Individual, int Gene) const {
    return Value(Individual, Gene) >= this->Gene(Gene).MinValue() && Value(Individual, Gene) <= this->Gene(Gene).MaxValue();
  }
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

// Per distribution index, over random parents: every crossed child stays in its genes'
// bounds (a parent outside them included), and takes the boolean, the enumeration and
// the bits past the genes from its own first parent; with bounds too far to matter the
// children's mean is the parents'. Half the genes are crossed and either child is the
// lower one as often; with a huge index the children are the parents again (signed and
// whole-number genes read and rounded right, reals within a hair), which an index that
// is not used would fail.
TEST(RealCodedGA, SimulatedBinaryCrossover) {
  for (double eta : {0.5, 100.0, 1e7}) {
    SCOPED_TRACE(eta);
    RandSeed(11);
    TMixedGA m;
    m.GA.SetCrossoverDistributionIndex(eta);
    int crossed = 0, lower = 0, rounds = 2000;
    for (int round = 0; round < rounds; ++round) {
      m.RandomParents();
      ASSERT_TRUE(m.GA.Crossover(&m.Item(0), &m.Item(1), &m.Item(2), &m.Item(3)));
      const int past = m.GA.Genes()->Size(), fields = m.Gene(6).Offset() - m.Gene(4).Offset();
      for (int child : {2, 3}) {
        for (int g : {0, 1, 2, 3, 6})  // a gene as the own parent has it was not crossed
          ASSERT_TRUE(m.Value(child, g) == m.Value(child - 2, g) || m.InBounds(child, g)) << g << ": " << m.Value(child, g);
        const TMXGABits &bits = *m.Item(child).Bits(), &own = *m.Item(child - 2).Bits();
        ASSERT_EQ(bits.GetAsBitString(m.Gene(4).Offset(), fields), own.GetAsBitString(m.Gene(4).Offset(), fields));
        ASSERT_EQ(bits.GetAsBitString(past, 5), own.GetAsBitString(past, 5));
      }
      const double p1 = m.Value(0, 6), p2 = m.Value(1, 6), c1 = m.Value(2, 6), c2 = m.Value(3, 6);
      ASSERT_NEAR(c1 + c2, p1 + p2, 1e-9);
      if (c1 != p1 && c1 != p2) ++crossed, lower += c1 < c2;
      for (int g : {1, 2, 3, 6}) {
        const double q1 = m.Value(0, g), q2 = m.Value(1, g), d1 = m.Value(2, g), d2 = m.Value(3, g);
        const double tolerance = g == 1 || g == 2 ? 0 : 1e-5;
        if (eta != 1e7 && q1 != q2) continue;
        ASSERT_TRUE((std::abs(d1 - q1) <= tolerance && std::abs(d2 - q2) <= tolerance) ||
                    (std::abs(d1 - q2) <= tolerance && std::abs(d2 - q1) <= tolerance))
            << g << ": " << q1 << " " << q2 << " -> " << d1 << " " << d2;
      }
    }
    if (eta == 1e7) continue;
    EXPECT_NEAR(static_cast<double>(crossed) / rounds, 0.5, 0.05);
    EXPECT_NEAR(static_cast<double>(lower) / crossed, 0.5, 0.08);
  }
}

// Under polynomial mutation (without simulated binary crossover too) the first generation
// draws every numeric gene within its bounds (whole numbers where the gene holds them) and
// spreads it over the range. The mutation then changes a numeric gene with
// MutationProbability and keeps it within its bounds, a larger index moving it less;
// other genes' bits and the bits past the genes flip with the same probability each.
// DoMutate tells whether anything changed.
TEST(RealCodedGA, InitializationAndPolynomialMutation) {
  RandSeed(8);
  TMixedGA m;
  m.GA.SetMutationMethod(gmPolynomial);
  m.GA.SetCrossoverMethod(cmGeneBoundary);
  for (int i = 0; i < 196; ++i) m.GA.Population()->Add();
  m.GA.SetOnEvaluateFitness([](TObject*, TMXIndividual*, TGAFitness& F) { F = 0; });
  m.GA.Initialize();
  for (int gene : {0, 1, 2, 3, 6}) {
    const double low = m.Gene(gene).MinValue(), high = m.Gene(gene).MaxValue();
    double least = high, most = low;
    for (int i = 0; i < 200; ++i) {
      const double v = m.Value(i, gene);
      ASSERT_TRUE(v >= low && v <= high && (v == std::floor(v) || (gene != 1 && gene != 2))) << gene << ": " << v;
      least = std::min(least, v);
      most = std::max(most, v);
    }
    EXPECT_LT(least, low + 0.05 * (high - low)) << "gene " << gene;
    EXPECT_GT(most, high - 0.05 * (high - low)) << "gene " << gene;
  }
  TMXGAIndividual& item = m.Item(0);
  const int rounds = 2000, past = m.GA.Genes()->Size();
  double step[2] = {};
  for (const auto& [eta, probability] : {std::pair(20.0, 0.25), std::pair(200.0, 1.0)}) {
    m.GA.SetMutationDistributionIndex(eta);
    m.GA.SetMutationProbability(probability);
    int moved = 0, flipped = 0, reported = 0, changed = 0;
    for (int round = 0; round < rounds; ++round) {
      m.RandomParents();
      const std::string before = item.Bits()->ToBitString();
      const double x = m.Value(0, 0);
      reported += m.GA.Mutate(&item);
      const std::string after = item.Bits()->ToBitString();
      changed += after != before;
      for (int g : {0, 1, 2, 3, 6}) ASSERT_TRUE(m.InBounds(0, g)) << g << ": " << m.Value(0, g);
      moved += m.Value(0, 0) != x;
      step[eta > 20] += std::abs(m.Value(0, 0) - x);
      for (int bit : {m.Gene(4).Offset(), m.Gene(5).Offset(), m.Gene(5).Offset() + 1, past, past + 4})
        flipped += after[static_cast<std::size_t>(bit)] != before[static_cast<std::size_t>(bit)];
    }
    EXPECT_EQ(reported, changed);
    EXPECT_NEAR(static_cast<double>(moved) / rounds, probability, 0.04);
    EXPECT_NEAR(static_cast<double>(flipped) / (5 * rounds), probability, 0.03);
    step[eta > 20] /= moved;
  }
  EXPECT_LT(step[1], 0.2 * step[0]);
}

}  // namespace
