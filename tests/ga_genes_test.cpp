// Gene definitions: widths, bounds and their setter rules, clamped typed writes, signed
// and unsigned reads, enumerations, offsets, change notifications and the readers and
// writers that go through a component's population.
#include <evokit/ga/ga.h>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace evokit {
namespace {

struct TBits : TMXEncodedBits {
  explicit TBits(int Size) { SetSize(Size); }
};

// Records the hooks the gene collection calls.
class TRecordingGA : public TMXGeneticAlgorithm {
 public:
  void GeneNotify(TMXGAGene* Gene, TCollectionNotification Action) override {
    Notified.push_back({Gene, Action});
  }
  void GeneUpdate(TMXGAGene* Gene) override { Updated.push_back(Gene); }
  void GenesSizeChange() override {
    ++SizeChanges;
    TMXGeneticAlgorithm::GenesSizeChange();
  }
  struct TNotice {
    TMXGAGene* Gene;
    TCollectionNotification Action;
  };
  std::vector<TNotice> Notified;
  std::vector<TMXGAGene*> Updated;
  int SizeChanges = 0;
};

TMXGAGene* AddGene(TMXGAGenes& Genes, TGeneType Type, int Size, bool Signed = false) {
  TMXGAGene* gene = Genes.Add();
  gene->SetGeneType(Type);
  gene->SetPreserveSignBit(Signed);
  gene->SetSize(Size);
  return gene;
}

TMXGAGene* AddEnumeration(TMXGAGenes& Genes, std::initializer_list<const char*> Names) {
  TMXGAGene* gene = Genes.Add();
  gene->SetGeneType(gtEnumeration);
  for (const char* name : Names) gene->Enumerations()->Add(name);
  return gene;
}

TEST(BitsRequiredTest, CountsTheShiftsToZero) {
  const std::vector<std::pair<std::uint32_t, int>> cases = {{0, 0}, {1, 1}, {2, 2}, {3, 2}, {4, 3},
                                                            {7, 3}, {8, 4}, {255, 8}, {256, 9},
                                                            {0xFFFFFFFFu, 32}};
  for (const auto& [n, bits] : cases) EXPECT_EQ(BitsRequired(n), bits) << n;
}

class GeneTest : public ::testing::Test {
 protected:
  TMXGAGenes FGenes{nullptr};
};

TEST_F(GeneTest, BoundsFollowWidthAndSign) {
  TMXGAGene* gene = FGenes.Add();
  EXPECT_EQ(gene->GeneType(), gtUnknown);
  EXPECT_EQ(gene->DisplayName(), "TMXGAGene");
  EXPECT_FALSE(gene->HasEnumerations());
  gene->SetGeneType(gtInteger);
  gene->SetSize(8);
  EXPECT_EQ(gene->MinValue(), 0);
  EXPECT_EQ(gene->MaxValue(), 255);
  gene->SetPreserveSignBit(true);
  EXPECT_EQ(gene->MinValue(), -128);
  EXPECT_EQ(gene->MaxValue(), 127);
  gene->SetGeneType(gtFloat);  // same range as integers
  gene->SetSize(32);
  EXPECT_EQ(gene->MinValue(), -2147483648.0);
  EXPECT_EQ(gene->MaxValue(), 2147483647.0);
  // Booleans keep whatever bounds they had.
  gene->SetGeneType(gtBoolean);
  gene->SetSize(1);
  EXPECT_EQ(gene->MaxValue(), 2147483647.0);
}

TEST_F(GeneTest, BoundSettersAdjustTheOtherBound) {
  TMXGAGene* gene = AddGene(FGenes, gtInteger, 8);
  gene->SetMaxValue(100);  // 100 - 256, then back to 0 because the gene is unsigned
  EXPECT_EQ(gene->MinValue(), 0);
  EXPECT_EQ(gene->MaxValue(), 100);

  TMXGAGene* signed8 = AddGene(FGenes, gtInteger, 8, true);
  signed8->SetMaxValue(100);
  EXPECT_EQ(signed8->MinValue(), -156);
  EXPECT_EQ(signed8->MaxValue(), 100);

  TMXGAGene* other = AddGene(FGenes, gtInteger, 8);
  other->SetMinValue(10);
  EXPECT_EQ(other->MaxValue(), 255);
  other->SetMinValue(300);
  EXPECT_EQ(other->MaxValue(), 555);

  TMXGAGene* colours = AddEnumeration(FGenes, {"red", "green", "blue"});
  colours->SetMinValue(5);
  EXPECT_EQ(colours->MaxValue(), 7);
}

TEST_F(GeneTest, IntegerWritesClampToBoundsAndReadBack) {
  TBits bits(64);
  TMXGAGene* u8 = AddGene(FGenes, gtInteger, 8);
  TMXGAGene* s8 = AddGene(FGenes, gtInteger, 8, true);
  u8->SetGeneAsInteger(bits, 300);
  EXPECT_EQ(u8->GeneAsInteger(bits), 255);
  u8->SetGeneAsInteger(bits, -5);
  EXPECT_EQ(u8->GeneAsInteger(bits), 0);
  u8->SetGeneAsInteger(bits, 77);
  EXPECT_EQ(u8->GeneAsInteger(bits), 77);
  s8->SetGeneAsInteger(bits, -200);
  EXPECT_EQ(s8->GeneAsInteger(bits), -128);
  s8->SetGeneAsInt64(bits, -5);
  EXPECT_EQ(s8->GeneAsInt64(bits), -5);
  EXPECT_EQ(u8->GeneAsInteger(bits), 77) << "the neighbouring field is untouched";
  // The same bits read through an unsigned gene at that offset.
  TMXGAGene* raw = AddGene(FGenes, gtInteger, 8);
  EXPECT_EQ(raw->GeneAsInteger(bits, s8->Offset()), 251);

  // A clamped value is the bound rounded to the nearest integer, ties to even.
  u8->SetMaxValue(100.5);
  u8->SetGeneAsInteger(bits, 200);
  EXPECT_EQ(u8->GeneAsInteger(bits), 100);
  u8->SetMaxValue(101.5);
  u8->SetGeneAsInt64(bits, 200);
  EXPECT_EQ(u8->GeneAsInt64(bits), 102);

  // A 64-bit unsigned gene, and fields that do not fit.
  TMXGAGene* u64 = AddGene(FGenes, gtInteger, 64);
  u64->SetGeneAsInt64(bits, 0, -7);
  EXPECT_EQ(u64->GeneAsInt64(bits, 0), 0);
  u64->SetGeneAsInt64(bits, 0, std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(u64->GeneAsInt64(bits, 0), std::numeric_limits<std::int64_t>::max());
  const std::string before = bits.ToBitString();
  EXPECT_THROW(u64->SetGeneAsInteger(bits, 0, 1), EMXException);  // wider than 32 bits
  EXPECT_THROW(u8->SetGeneAsInteger(bits, 60, 1), EMXException);  // reaches past the end
  EXPECT_EQ(bits.ToBitString(), before);
}

TEST_F(GeneTest, FloatWritesClampWithoutRounding) {
  TBits bits(96);
  TMXGAGene* single = AddGene(FGenes, gtFloat, 32, true);
  TMXGAGene* dbl = AddGene(FGenes, gtFloat, 64);
  single->SetGeneAsFloat(bits, -2.75f);
  EXPECT_EQ(single->GeneAsFloat(bits), -2.75f);
  single->SetGeneAsFloat(bits, 1e20f);  // above 2^31 - 1: the bound narrowed to single
  EXPECT_EQ(single->GeneAsFloat(bits), 2147483648.0f);
  single->SetMaxValue(10.25);
  single->SetGeneAsFloat(bits, 11.0f);
  EXPECT_EQ(single->GeneAsFloat(bits), 10.25f);
  dbl->SetGeneAsDouble(bits, -1.5);  // unsigned: clamps to 0
  EXPECT_EQ(dbl->GeneAsDouble(bits), 0.0);
  dbl->SetGeneAsDouble(bits, 1234.0625);
  EXPECT_EQ(dbl->GeneAsDouble(bits), 1234.0625);
  EXPECT_EQ(single->GeneAsFloat(bits), 10.25f);
}

TEST_F(GeneTest, EnumerationsSizeThemselvesAndRejectUnknownValues) {
  TMXGAGene* colour = AddEnumeration(FGenes, {"red", "green", "blue"});
  EXPECT_EQ(colour->Size(), 2);
  EXPECT_EQ(colour->MinValue(), 0);
  EXPECT_EQ(colour->MaxValue(), 2);

  TBits bits(2);
  colour->SetGeneAsEnumeration(bits, "BLUE");  // letter case is ignored
  EXPECT_EQ(colour->GeneAsEnumeration(bits), "blue");
  EXPECT_EQ(bits.GetAsInteger(0, 2), 2);

  try {
    colour->SetGeneAsEnumeration(bits, "purple");
    FAIL() << "no error";
  } catch (const EGAException& e) {
    EXPECT_STREQ(e.what(), "\"purple\" is not a valid enumerated value");
  }
  EXPECT_EQ(bits.ToBitString(), "01") << "a rejected write leaves the bits";

  bits.SetAsInteger(0, 2, 3);  // an index past the names
  try {
    (void)colour->GeneAsEnumeration(bits);
    FAIL() << "no error";
  } catch (const EGAException& e) {
    EXPECT_STREQ(e.what(), "No enumerated value found in chromosome");
  }

  // The width and range follow the list (names added one by one above: the range grew
  // from 0..1 to 0..2 while the width stayed 2).
  colour->Enumerations()->Add("black");
  EXPECT_EQ(colour->Size(), 3);
  EXPECT_EQ(colour->MaxValue(), 3);
  colour->Enumerations()->Delete(0);
  EXPECT_EQ(colour->Size(), 2);
  EXPECT_EQ(colour->MaxValue(), 2);

  TMXGAGene* empty = FGenes.Add();
  empty->SetGeneType(gtEnumeration);
  EXPECT_EQ(empty->Size(), 0);
  EXPECT_THROW((void)empty->GeneAsEnumeration(bits, 0), EGAException);
  EXPECT_THROW(empty->SetGeneAsEnumeration(bits, 0, "red"), EGAException);
}

TEST_F(GeneTest, AsStringByType) {
  TBits bits(64);
  TMXGAGene* b = AddGene(FGenes, gtBoolean, 1);
  TMXGAGene* i = AddGene(FGenes, gtInteger, 8, true);
  TMXGAGene* f = AddGene(FGenes, gtFloat, 32, true);
  TMXGAGene* e = AddEnumeration(FGenes, {"low", "high"});
  TMXGAGene* u = AddGene(FGenes, gtUnknown, 4);
  b->SetGeneAsBoolean(bits, true);
  i->SetGeneAsInteger(bits, -5);
  f->SetGeneAsFloat(bits, 0.5f);
  e->SetGeneAsEnumeration(bits, "high");
  bits.SetAsBitString(u->Offset(), 4, "0110");
  bits.SetPreserveSignBit(true);  // the boolean reader leaves the flag alone
  EXPECT_EQ(b->AsString(bits), "True");
  EXPECT_TRUE(bits.PreserveSignBit());
  EXPECT_EQ(i->AsString(bits), "-5");
  EXPECT_EQ(f->AsString(bits), "0.5");
  EXPECT_EQ(e->AsString(bits), "high");
  EXPECT_EQ(u->AsString(bits), "0110");
}

TEST_F(GeneTest, OffsetsLieEndToEnd) {
  TMXGAGene* a = AddGene(FGenes, gtInteger, 8);
  TMXGAGene* b = AddGene(FGenes, gtInteger, 16);
  TMXGAGene* c = AddGene(FGenes, gtBoolean, 1);
  EXPECT_EQ(b->Offset(), 8);
  EXPECT_EQ(c->Offset(), 24);
  EXPECT_EQ(FGenes.Size(), 25);
  b->SetSize(4);
  EXPECT_EQ(c->Offset(), 12);
  TMXGAGene* first = FGenes.Insert(0);
  first->SetSize(3);
  EXPECT_EQ(a->Offset(), 3);
  EXPECT_EQ(c->Offset(), 15);
  FGenes.Delete(0);
  FGenes.Delete(0);
  EXPECT_EQ(b->Offset(), 0);
  EXPECT_EQ(c->Offset(), 4);
  EXPECT_EQ(FGenes.Size(), 5);
  FGenes.Clear();
  EXPECT_EQ(FGenes.Size(), 0);
}

TEST_F(GeneTest, AssignCopiesWithoutSideEffects) {
  TMXGAGene* source = AddEnumeration(FGenes, {"a", "b", "c"});
  source->SetName("letters");
  source->SetSize(7);  // wider than the names need: Assign must not resize
  source->SetMinValue(1);
  TMXGAGenes others(nullptr);
  AddGene(others, gtInteger, 5);
  TMXGAGene* target = others.Add();
  target->Assign(source);
  EXPECT_EQ(target->GeneType(), gtEnumeration);
  EXPECT_EQ(target->Name(), "letters");
  EXPECT_EQ(target->DisplayName(), "letters");
  EXPECT_EQ(target->Size(), 7);
  EXPECT_EQ(target->Offset(), 5) << "the offset belongs to the target's collection";
  EXPECT_EQ(target->MinValue(), source->MinValue());
  EXPECT_EQ(target->MaxValue(), source->MaxValue());
  ASSERT_EQ(target->Enumerations()->Count(), 3);
  EXPECT_EQ(target->Enumerations()->Strings(2), "c");

  TMXGAGene* plain = AddGene(FGenes, gtInteger, 8);
  target->Assign(plain);
  EXPECT_FALSE(target->HasEnumerations());
  EXPECT_EQ(target->Size(), 8);

  TStringList notAGene;
  EXPECT_THROW(target->Assign(&notAGene), EConvertError);
}

TEST(GeneNotificationTest, ChangesReachTheComponent) {
  TRecordingGA ga;
  TMXGAGene* gene = ga.Genes()->Add();
  ASSERT_EQ(ga.Notified.size(), 1u);
  EXPECT_EQ(ga.Notified[0].Gene, gene);
  EXPECT_EQ(ga.Notified[0].Action, cnAdded);

  ga.Updated.clear();
  gene->SetName("x");
  gene->SetName("x");
  ASSERT_EQ(ga.Updated.size(), 1u);
  EXPECT_EQ(ga.Updated[0], gene);
  gene->SetGeneType(gtInteger);
  EXPECT_EQ(ga.Updated.size(), 2u);
  gene->SetPreserveSignBit(true);  // bounds only
  gene->SetMaxValue(5);
  EXPECT_EQ(ga.Updated.size(), 2u);

  gene->SetSize(12);
  EXPECT_EQ(ga.SizeChanges, 1);
  EXPECT_EQ(ga.GeneSize(), 12);

  // Inside an update bracket the change is reported once, for the whole list.
  ga.Updated.clear();
  ga.Genes()->BeginUpdate();
  gene->SetName("y");
  EXPECT_TRUE(ga.Updated.empty());
  ga.Genes()->EndUpdate();
  ASSERT_EQ(ga.Updated.size(), 1u);
  EXPECT_EQ(ga.Updated[0], nullptr);

  ga.Genes()->Delete(0);
  EXPECT_EQ(ga.Notified.back().Action, cnExtracting);
}

TEST(GeneIndexAccessTest, ReadsAndWritesThroughThePopulation) {
  TMXGeneticAlgorithm ga;
  ga.SetOnEvaluateFitness([](TObject*, TMXIndividual*, TGAFitness& Fitness) { Fitness = 1; });
  TMXGAGene* count = AddGene(*ga.Genes(), gtInteger, 6, true);
  TMXGAGene* on = AddGene(*ga.Genes(), gtBoolean, 1);
  TMXGAGene* mood = AddEnumeration(*ga.Genes(), {"calm", "angry"});
  TMXGAGene* ratio = AddGene(*ga.Genes(), gtFloat, 64, true);
  ga.Population()->Add();
  TMXGAIndividual* individual = ga.Population()->Add();
  (void)individual->Fitness();
  ASSERT_FALSE(individual->NeedFitness());

  count->SetAsInteger(1, -20);
  EXPECT_TRUE(individual->NeedFitness()) << "writers mark the individual modified";
  on->SetAsBoolean(1, true);
  mood->SetAsEnumeration(1, "angry");
  ratio->SetAsDouble(1, -0.125);
  count->SetAsInt64(0, 99);  // clamped to 31
  ratio->SetAsFloat(0, 2.5f);
  EXPECT_EQ(count->GetAsInteger(1), -20);
  EXPECT_EQ(count->GetAsInt64(0), 31);
  EXPECT_TRUE(on->GetAsBoolean(1));
  EXPECT_FALSE(on->GetAsBoolean(0));
  EXPECT_EQ(mood->GetAsEnumeration(1), "angry");
  EXPECT_EQ(mood->AsString(1), "angry");
  EXPECT_EQ(ratio->GetAsDouble(1), -0.125);
  EXPECT_EQ(ratio->GetAsFloat(0), 2.5f);

  const std::string before = individual->Bits()->ToBitString();
  EXPECT_THROW(count->SetAsInteger(2, 1), EListError);
  EXPECT_THROW(mood->SetAsEnumeration(-1, "calm"), EListError);
  EXPECT_THROW((void)count->GetAsInteger(5), EListError);
  EXPECT_THROW(mood->SetAsEnumeration(1, "sleepy"), EGAException);
  EXPECT_EQ(individual->Bits()->ToBitString(), before);

  // A gene outside any component sees an empty population.
  TMXGAGenes loose(nullptr);
  TMXGAGene* alone = AddGene(loose, gtInteger, 4);
  EXPECT_THROW((void)alone->GetAsInteger(0), EListError);
}

}  // namespace
}  // namespace evokit
