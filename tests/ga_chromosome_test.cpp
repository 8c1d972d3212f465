// Chromosome operators (random fill, clearing, per-bit mutation, run inversion, one-point
// crossover) with the draws they make and the owner's fitness mark they leave, and the GA
// individual and population.
#include <evokit/ga/ga.h>
#include <evokit/platform/random.h>

#include "support.h"

#include <cmath>
#include <string>

using namespace evokit;

namespace {

// The chromosome's copy is protected (it is polymorphic); tests build bit strings here.
struct TBits : TMXGABits {
  explicit TBits(const std::string& Text = "") {
    SetSize(static_cast<int>(Text.size()));
    SetAsBitString(0, Size(), Text);
  }
};

// An evaluated individual of a GA whose population counts the change notifications.
class ChromosomeTest : public ::testing::Test {
 protected:
  struct TCountingGA : TMXGeneticAlgorithm {
    void PopulationUpdate(TMXIndividual*) override { ++Updates; }
    int Updates = 0;
  } FGA;
  TMXGAIndividual* FIndividual = FGA.Population()->Add();
  TMXGABits& Bits() { return *FIndividual->Bits(); }
  // The operators mark the owner's fitness stale without a change notification.
  template <class F>
  void ExpectMarksQuietly(F Operation) {
    FGA.SetOnEvaluateFitness([](TObject*, TMXIndividual*, TGAFitness& Fitness) { Fitness = 1; });
    (void)FIndividual->Fitness();
    FGA.Updates = 0;
    Operation();
    EXPECT_TRUE(FIndividual->NeedFitness());
    EXPECT_EQ(FGA.Updates, 0);
  }
};

// Randomize: bit 0 upward, each set when its integer draw from {0, 1} is 1. Clear keeps
// the length and leaves the fitness alone.
TEST_F(ChromosomeTest, RandomizeAndClear) {
  FGA.SetGeneSize(200);
  RandSeed(31);
  ExpectMarksQuietly([&] { Bits().Randomize(); });
  RandSeed(31);
  for (int i = 0; i < 200; ++i) ASSERT_EQ(Bits().Bits(i), Random(2) == 1) << i;
  (void)FIndividual->Fitness();
  Bits().Clear();  // keeps the length, and the fitness
  EXPECT_EQ(std::pair(Bits().ToBitString(), FIndividual->NeedFitness()), std::pair(std::string(200, '0'), false));
}

// The documented draw schemes. Below 1/64 each real draw gives the gap to the next
// flipped bit. Otherwise, bit by bit: bit i flips when its 64-bit fraction D is below
// T = ceil(p * 2^64). D's top byte is byte i % 8 of a draw shared by eight bits; its low
// 56 bits (the top of a further draw) are drawn only when that byte equals T's.
std::string ExpectedMutation(std::string Text, double P, TRandomStream& Stream) {
  const auto flip = [&Text](std::size_t I) { Text[I] = Text[I] == '0' ? '1' : '0'; };
  if (P < 1.0 / 64) {
    const double scale = 1 / std::log1p(-P);
    const auto gap = [&] { return std::floor(std::log(1 - Stream.NextDouble()) * scale); };
    for (double next = gap(); next < static_cast<double>(Text.size()); next += 1 + gap())
      flip(static_cast<std::size_t>(next));
    return Text;
  }
  const auto t = static_cast<std::uint64_t>(std::ceil(std::ldexp(P, 64)));
  std::uint64_t shared = 0;
  for (std::size_t i = 0; i < Text.size(); ++i) {
    if (i % 8 == 0) shared = Stream.Next();
    const auto top = (shared >> (8 * (i % 8))) & 0xFF;
    const bool flip = top == t >> 56 ? (Stream.Next() >> 8) < (t & ((std::uint64_t{1} << 56) - 1)) : top < t >> 56;
    if (flip) Text[i] = Text[i] == '0' ? '1' : '0';
  }
  return Text;
}

TEST_F(ChromosomeTest, MutateFollowsItsDrawScheme) {
  // Thresholds whose top byte is 0, 3 (equal bytes are frequent), just below and at 128
  // (where the bulk skip of undecided bytes stops: at p = 0.5 trial 22 meets a draw whose
  // bytes are all 128 or more, one of them equal), high, and a very small one.
  for (double p : {0.0005, 3.5 / 256, 127.9 / 256, 0.5, 0.6, 0.999, 1e-15}) {
    for (int size : {203, 1}) {
      TBits bits(std::string(static_cast<std::size_t>(size), '0'));
      for (int trial = 1; trial <= 25; ++trial) {
        RandSeed(trial);
        TRandomStream replay(trial);
        const std::string before = bits.ToBitString(), expected = ExpectedMutation(before, p, replay);
        EXPECT_EQ(bits.Mutate(p), expected != before);  // true when a bit flipped
        ASSERT_EQ(bits.ToBitString(), expected) << "p " << p << " size " << size << " trial " << trial;
        ASSERT_EQ(Random(), replay.NextDouble()) << "no draw more, no draw less";
      }
    }
  }
  // 0 and below (and NaN) flip nothing, 1 and above everything; neither draws.
  FGA.SetGeneSize(70);
  for (double p : {0.0, -1.0, std::nan(""), 1.0, 1.5}) {
    RandSeed(9);
    ExpectMarksQuietly([&] { EXPECT_EQ(Bits().Mutate(p), p >= 1); });
    EXPECT_EQ(Random(), TRandomStream(9).NextDouble());
  }
  EXPECT_EQ(Bits().CountSetBits(), 0);  // flipped twice
  EXPECT_FALSE(TBits().Mutate(1));
  TBits one("0");  // a single bit is all of its chromosome too
  EXPECT_TRUE(one.Mutate(1));
  EXPECT_EQ(one.ToBitString(), "1");
}

// Invert(Offset, Len) complements Len + 1 bits from Offset, stopping at the end;
// Invert(-1, -1) draws the offset from [0, Size), then the length from what is left.
TEST_F(ChromosomeTest, InvertComplementsARun) {
  for (auto [offset, len, expected] : {std::tuple{2, 3, "0011110000"}, {8, 5, "0000000011"}, {0, 0, "1000000000"},
                                       {9, 0, "0000000001"}, {10, 0, "0000000000"}, {12, 4, "0000000000"}}) {
    TBits bits("0000000000");
    bits.Invert(offset, len);
    EXPECT_EQ(bits.ToBitString(), expected) << offset << " " << len;
  }
  TBits bits("0110");
  EXPECT_EQ(test::ErrorOf<EMXException>([&] { bits.Invert(1, -3); }), "Invalid inversion run: offset 1, length -3");
  EXPECT_EQ(bits.ToBitString(), "0110");
  for (const std::uint64_t seed : {1u, 2u, 3u, 4u, 5u, 6u}) {
    TRandomStream replay(seed);
    const auto offset = static_cast<std::size_t>(replay.NextBelow(37));
    const auto len = static_cast<std::size_t>(replay.NextBelow(static_cast<std::int64_t>(37 - offset))) + 1;
    RandSeed(seed);
    TBits run(std::string(37, '0'));
    run.Invert(-1, -1);
    EXPECT_EQ(run.ToBitString(), std::string(offset, '0') + std::string(len, '1') + std::string(37 - offset - len, '0'));
  }
  ExpectMarksQuietly([&] { Bits().Invert(-1, -1); });  // an empty chromosome
}

// Bits below CrossBit from Source1 (while it has them), then Source2's (while it has
// them); bits past both keep their values.
TEST_F(ChromosomeTest, CrossOverTakesLeadingBitsFromTheFirstParent) {
  for (auto [source1, source2, child, crossBit, expected] :
       {std::tuple{"11111111", "00000000", "01010101", 3, "11100000"}, {"11111111", "00000000", "01010101", -4, "00000000"},
        {"00000000", "11111111", "01010101", 100, "00000000"}, {"111", "000000", "0101010101", 5, "1110000101"}}) {
    TBits bits(child);
    EXPECT_EQ(bits.CrossOver(TBits(source1), TBits(source2), crossBit), &bits);
    EXPECT_EQ(bits.ToBitString(), expected) << source1 << " " << source2 << " " << crossBit;
  }
  // Without a CrossBit the point is drawn from Source1's length, not the child's.
  const TBits ones(std::string(8, '1')), zeros(std::string(30, '0'));
  for (const std::uint64_t seed : {7u, 8u, 9u, 10u}) {
    const auto point = static_cast<std::size_t>(TRandomStream(seed).NextBelow(8));
    RandSeed(seed);
    TBits child(std::string(30, '1'));
    child.CrossOver(ones, zeros);
    EXPECT_EQ(child.ToBitString(), std::string(point, '1') + std::string(30 - point, '0')) << "seed " << seed;
  }
  ExpectMarksQuietly([&] { Bits().CrossOver(ones, zeros); });
}

// The raw fitness is evaluated once and cached until the individual is modified (a new
// name, new bits); copying a stale individual evaluates it first. An individual copies
// another's chromosome, name and fitness state (only the name and fitness of a plain one)
// and clones itself into its population. Outside a component's population it reads 0 and
// stays stale. The population sizes those who join and forgets a fittest one that leaves.
TEST_F(ChromosomeTest, IndividualAndPopulationCarryTheChromosome) {
  int evaluations = 0;
  FGA.SetOnEvaluateFitness([&](TObject*, TMXIndividual* Item, TGAFitness& Fitness) {
    ++evaluations;
    test::CountBits(nullptr, Item, Fitness);
  });
  FGA.SetGeneSize(9);
  Bits().SetAsBitString(0, 9, "110100111");
  FIndividual->SetName("");  // an equal name keeps the cache
  EXPECT_EQ(std::pair(FIndividual->Fitness() + FIndividual->Fitness(), evaluations), std::pair(12.0, 1));
  FIndividual->SetName("first");
  TMXGAIndividual* copy = FGA.Population()->Add();
  copy->Assign(FIndividual);
  EXPECT_EQ(std::pair(copy->Fitness() + FIndividual->Fitness(), evaluations), std::pair(12.0, 2));
  EXPECT_EQ(copy->DisplayName() + " " + copy->ToString(), "first TMXGAIndividual 110100111");
  EXPECT_EQ(static_cast<TMXGAIndividual*>(copy->Clone())->ToString(), copy->ToString());  // appended at 2
  TMXIndividual plain;
  plain.SetName("plain");
  copy->Assign(&plain);
  EXPECT_EQ(copy->Name() + " " + copy->Bits()->ToBitString(), "plain 110100111");
  const TBits other("101");
  FGA.Updates = 0;
  copy->SetBits(&other);
  EXPECT_EQ(std::tuple(copy->Bits()->ToBitString(), FGA.Updates, copy->NeedFitness()), std::tuple(std::string("101"), 1, true));
  TStringList notAnIndividual;
  EXPECT_EQ(test::ErrorOf<EConvertError>([&] { copy->Assign(&notAnIndividual); }),
            "Cannot assign a TStringList to a TMXGAIndividual");
  FGA.EvaluateFitness();  // the fittest (fewest bits set) is the copy
  FGA.Population()->Delete(2);
  EXPECT_EQ(FGA.FittestIndividual(), copy);
  FGA.Population()->Delete(1);
  EXPECT_EQ(FGA.FittestIndividual(), nullptr);
  FIndividual->SetCollection(nullptr);
  FIndividual->SetName("alone");
  EXPECT_EQ(std::pair(FIndividual->Fitness(), FIndividual->NeedFitness()), std::pair(0.0, true));
  EXPECT_THROW(FIndividual->Clone(), EListError);
  FIndividual->SetCollection(FGA.Population());  // back, to be freed with it
  EXPECT_EQ(FGA.Population()->Insert(0)->Bits()->Size(), 9);
}

}  // namespace
