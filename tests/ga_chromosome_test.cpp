// Chromosome operators (random fill, clearing, per-bit mutation, run inversion, one-point
// crossover), the owner's fitness mark they leave, and the GA individual and population.
#include <evokit/ga/ga.h>
#include <evokit/platform/random.h>

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace evokit {
namespace {

// The chromosome's copy is protected (it is polymorphic); tests copy through this.
struct TBits : TMXGABits {
  TBits() = default;
  TBits(const TBits&) = default;
};

// Counts the change notifications the population forwards.
class TCountingGA : public TMXGeneticAlgorithm {
 public:
  int Updates = 0;

 protected:
  void PopulationUpdate(TMXIndividual*) override { ++Updates; }
};

class ChromosomeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RandSeed(7);
    FGA.SetOnEvaluateFitness([](TObject*, TMXIndividual*, TGAFitness& Fitness) { Fitness = 1; });
    FGA.SetGeneSize(200);
    FIndividual = FGA.Population()->Add();
    (void)FIndividual->Fitness();  // evaluated: NeedFitness false
    FGA.Updates = 0;
  }
  TMXGABits& Bits() { return *FIndividual->Bits(); }
  static TBits Make(const std::string& Text) {
    TBits bits;
    bits.SetSize(static_cast<int>(Text.size()));
    bits.SetAsBitString(0, bits.Size(), Text);
    return bits;
  }
  // The owner was marked stale without a change notification.
  void ExpectMarkedQuietly() {
    EXPECT_TRUE(FIndividual->NeedFitness());
    EXPECT_EQ(FGA.Updates, 0);
  }

  TCountingGA FGA;
  TMXGAIndividual* FIndividual = nullptr;
};

TEST_F(ChromosomeTest, RandomizeIsSeededAndMarksTheOwner) {
  Bits().Randomize();
  ExpectMarkedQuietly();
  const std::string first = Bits().ToString();
  const int ones = Bits().CountSetBits();
  EXPECT_GT(ones, 60);
  EXPECT_LT(ones, 140);
  RandSeed(7);
  Bits().Randomize();
  EXPECT_EQ(Bits().ToString(), first);
  Bits().Randomize();
  EXPECT_NE(Bits().ToString(), first);
}

TEST_F(ChromosomeTest, ClearKeepsLengthAndFitness) {
  Bits().Randomize();
  (void)FIndividual->Fitness();
  Bits().Clear();
  EXPECT_EQ(Bits().Size(), 200);
  EXPECT_EQ(Bits().CountSetBits(), 0);
  EXPECT_FALSE(FIndividual->NeedFitness());
}

TEST_F(ChromosomeTest, MutateExtremesAndResult) {
  Bits().Randomize();
  (void)FIndividual->Fitness();
  const std::string before = Bits().ToString();
  EXPECT_FALSE(Bits().Mutate(0));
  EXPECT_FALSE(Bits().Mutate(-1));
  EXPECT_FALSE(Bits().Mutate(std::nan("")));
  EXPECT_EQ(Bits().ToString(), before);
  ExpectMarkedQuietly();

  EXPECT_TRUE(Bits().Mutate(1));
  for (int i = 0; i < 200; ++i) ASSERT_NE(Bits().Bits(i), before[static_cast<std::size_t>(i)] == '1') << i;

  // A tiny probability: every draw is still tested, none flips.
  EXPECT_FALSE(Bits().Mutate(1e-15));
  // The result says whether anything changed.
  for (int trial = 0; trial < 50; ++trial) {
    const std::string old = Bits().ToString();
    const bool changed = Bits().Mutate(0.004);
    EXPECT_EQ(changed, Bits().ToString() != old);
  }

  TMXGABits empty;
  EXPECT_FALSE(empty.Mutate(0.5));
  EXPECT_FALSE(empty.Mutate(1));
}

// Flip rates across the probability range, including the values where the top byte of
// the threshold changes (1/256, just below and above 1/2) and per bit position, so that
// every lane of the bulk draws is checked.
TEST_F(ChromosomeTest, MutateFlipsEachBitWithItsProbability) {
  const int size = 1000;
  const int trials = 400;
  for (const double p : {0.0005, 1.0 / 256, 0.01, 0.1, 0.3, 127.9 / 256, 0.5, 0.6, 0.97, 0.999}) {
    TMXGABits bits;
    bits.SetSize(size);
    std::vector<int> perBit(size, 0);
    for (int t = 0; t < trials; ++t) {
      TMXGABits before;
      before.Assign(&bits);
      bits.Mutate(p);
      for (int i = 0; i < size; ++i) perBit[static_cast<std::size_t>(i)] += bits.Bits(i) != before.Bits(i);
    }
    long total = 0;
    for (int count : perBit) total += count;
    const double n = static_cast<double>(size) * trials;
    const double sd = std::sqrt(n * p * (1 - p));
    EXPECT_NEAR(static_cast<double>(total), n * p, 5 * sd + 1) << "p " << p;
    // Each position alone: within 6 standard deviations of its 400 trials.
    const double sdBit = std::sqrt(trials * p * (1 - p));
    for (int i = 0; i < size; ++i)
      ASSERT_NEAR(perBit[static_cast<std::size_t>(i)], trials * p, 6 * sdBit + 1) << "p " << p << " bit " << i;
  }
}

TEST_F(ChromosomeTest, InvertComplementsARun) {
  TBits bits = Make("0000000000");
  bits.Invert(2, 3);
  EXPECT_EQ(bits.ToBitString(), "0011110000");
  bits.Invert(8, 5);  // stops at the end
  EXPECT_EQ(bits.ToBitString(), "0011110011");
  bits.Invert(12, 0);  // past the end: nothing
  EXPECT_EQ(bits.ToBitString(), "0011110011");
  EXPECT_THROW(bits.Invert(-2, 1), EMXException);
  EXPECT_THROW(bits.Invert(1, -3), EMXException);
  EXPECT_EQ(bits.ToBitString(), "0011110011");

  // Random runs: one contiguous run of 1 to Size - Offset bits, never past the end.
  for (int trial = 0; trial < 300; ++trial) {
    TBits run = Make(std::string(37, '0'));
    run.Invert(-1, -1);
    const std::string text = run.ToBitString();
    const auto first = text.find('1');
    const auto last = text.rfind('1');
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(text.substr(first, last - first + 1), std::string(last - first + 1, '1'));
  }

  Bits().SetSize(0);
  Bits().Invert(-1, -1);
  ExpectMarkedQuietly();
}

TEST_F(ChromosomeTest, CrossOverTakesLeadingBitsFromTheFirstParent) {
  const TBits a = Make("11111111");
  const TBits b = Make("00000000");
  TBits child = Make("01010101");
  EXPECT_EQ(child.CrossOver(a, b, 3), &child);
  EXPECT_EQ(child.ToBitString(), "11100000");
  child.CrossOver(a, b, 0);
  EXPECT_EQ(child.ToBitString(), "00000000");
  child.CrossOver(a, b, -4);
  EXPECT_EQ(child.ToBitString(), "00000000");
  child.CrossOver(a, b, 8);
  EXPECT_EQ(child.ToBitString(), "11111111");
  child.CrossOver(b, a, 100);
  EXPECT_EQ(child.ToBitString(), "00000000");

  // A short first parent gives way to the second; bits past both keep their values.
  const TBits shortA = Make("111");
  const TBits shortB = Make("000000");
  TBits longChild = Make("0101010101");
  longChild.CrossOver(shortA, shortB, 5);
  EXPECT_EQ(longChild.ToBitString(), "1110000101");

  // The child may be one of its parents.
  TBits self = Make("11110000");
  self.CrossOver(b, self, 2);
  EXPECT_EQ(self.ToBitString(), "00110000");

  Bits().CrossOver(a, b);
  ExpectMarkedQuietly();
  for (int trial = 0; trial < 100; ++trial) {
    child.CrossOver(a, b);
    const std::string text = child.ToBitString();
    EXPECT_EQ(text.find("01"), std::string::npos) << text;  // ones, then zeros
    EXPECT_NE(text, "11111111") << "the point is below Source1's size";
  }
}

// The random operators consume the shared source in a fixed order, so a seeded run can be
// replayed draw by draw with the platform's own Random(N).
TEST_F(ChromosomeTest, RandomOperatorsDrawInBitOrder) {
  // Randomize: one draw from {0, 1} per bit, bit 0 first.
  RandSeed(31);
  Bits().Randomize();
  RandSeed(31);
  for (int i = 0; i < Bits().Size(); ++i) ASSERT_EQ(Bits().Bits(i), Random(2) == 1) << i;

  // Invert(-1, -1): the offset from [0, Size) first, then the length from what is left.
  for (const std::uint64_t seed : {1u, 2u, 3u, 4u, 5u, 6u}) {
    RandSeed(seed);
    const auto offset = static_cast<std::size_t>(Random(37));
    const auto len = static_cast<std::size_t>(Random(static_cast<std::int64_t>(37 - offset)));
    RandSeed(seed);
    TBits run = Make(std::string(37, '0'));
    run.Invert(-1, -1);
    EXPECT_EQ(run.ToBitString(),
              std::string(offset, '0') + std::string(len + 1, '1') + std::string(37 - offset - len - 1, '0'))
        << "seed " << seed;
  }

  // CrossOver(Source1, Source2): the point is drawn from Source1's length, not the child's.
  const TBits ones = Make(std::string(8, '1'));
  const TBits zeros = Make(std::string(30, '0'));
  for (const std::uint64_t seed : {7u, 8u, 9u, 10u}) {
    RandSeed(seed);
    const auto point = static_cast<std::size_t>(Random(8));
    RandSeed(seed);
    TBits child = Make(std::string(30, '1'));
    child.CrossOver(ones, zeros);
    EXPECT_EQ(child.ToBitString(), std::string(point, '1') + std::string(30 - point, '0')) << "seed " << seed;
  }
}

TEST_F(ChromosomeTest, IndividualOwnsAndCopiesItsChromosome) {
  EXPECT_EQ(Bits().Owner(), FIndividual);
  EXPECT_EQ(FIndividual->Collection(), FGA.Population());
  Bits().Randomize();
  FIndividual->SetName("first");
  (void)FIndividual->Fitness();

  TMXGAIndividual* copy = FGA.Population()->Add();
  copy->Assign(FIndividual);
  EXPECT_EQ(copy->Bits()->ToString(), Bits().ToString());
  EXPECT_EQ(copy->Name(), "first");
  EXPECT_FALSE(copy->NeedFitness());
  EXPECT_EQ(copy->ToString(), "TMXGAIndividual " + Bits().ToBitString());

  // A plain individual copies only what every individual has.
  TMXIndividual plain;
  plain.SetName("plain");
  const std::string bitsBefore = copy->Bits()->ToString();
  copy->Assign(&plain);
  EXPECT_EQ(copy->Name(), "plain");
  EXPECT_EQ(copy->Bits()->ToString(), bitsBefore);

  // Writing Bits copies, then reports the change.
  const TBits other = Make("101");
  FGA.Updates = 0;
  copy->SetBits(&other);
  EXPECT_EQ(copy->Bits()->ToBitString(), "101");
  EXPECT_NE(copy->Bits(), &other);
  EXPECT_TRUE(copy->NeedFitness());
  EXPECT_EQ(FGA.Updates, 1);

  TStringList notAnIndividual;
  EXPECT_THROW(copy->Assign(&notAnIndividual), EConvertError);
  EXPECT_EQ(copy->Bits()->ToBitString(), "101");
}

TEST_F(ChromosomeTest, PopulationIsTypedAndKnowsItsComponent) {
  TMXGAPopulation* population = FGA.Population();
  EXPECT_EQ(population->Owner(), &FGA);
  TMXGAIndividual* inserted = population->Insert(0);
  EXPECT_EQ(population->Items(0), inserted);
  EXPECT_EQ((*population)[1], FIndividual);
  EXPECT_EQ(population->FindItemID(inserted->ID()), inserted);
  EXPECT_EQ(inserted->Bits()->Size(), 200) << "sized when it joined";
  EXPECT_THROW((void)population->Items(2), EListError);

  TMXGAPopulation loose(nullptr);
  EXPECT_EQ(loose.Owner(), nullptr);
  EXPECT_EQ(loose.Add()->Bits()->Size(), 0);
}

}  // namespace
}  // namespace evokit
