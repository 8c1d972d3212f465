// Gene definitions: widths, bounds and their setter rules, clamped typed writes,
// enumerations, offsets, copies, and the readers and writers that go through a
// component's population.
#include <evokit/ga/ga.h>

#include "support.h"

#include <functional>
#include <string>
#include <vector>

using namespace evokit;
using evokit::test::AddEnumeration;
using evokit::test::AddGene;

namespace {

struct TBits : TMXEncodedBits {
  explicit TBits(int Size) { SetSize(Size); }
};

// The bounds follow type, width and sign, up to the widest fields; setting one bound then
// moves the other (Q = 2^Size, see SetMinValue and SetMaxValue).
TEST(Genes, BoundsAndTheirSetters) {
  // Type, Size, Signed, bounds; then SetMinValue ('m') or SetMaxValue ('M') of a value, and
  // the bounds that follow.
  for (auto [type, size, sign, min, max, set, value, newMin, newMax] :
       {std::tuple{gtInteger, 8, false, 0.0, 255.0, 'M', 100.0, 0.0, 100.0},  // Max - Q < 0 gives 0 when unsigned
        {gtInteger, 8, true, -128, 127, 'M', 100, -156, 100},                  // 2Q exceeds the range: Max - Q
        {gtFloat, 8, false, 0, 255, 'M', 512, 0, 512},                         // 2Q equals the range: Min stays
        {gtInteger, 8, false, 0, 255, 'm', 10, 10, 255},                       // the range fits
        {gtInteger, 8, false, 0, 255, 'm', 300, 300, 555},                     // Min above Max: Min + Q - 1
        {gtInteger, 8, true, -128, 127, 'm', -200, -200, 55},                  // the range exceeds Q - 1
        {gtInteger, 1, true, -1, 0, '-', 0, 0, 0}, {gtInteger, 32, false, 0, 0x1p32 - 1, '-', 0, 0, 0},
        {gtFloat, 64, true, -0x1p63, 0x1p63, '-', 0, 0, 0}, {gtFloat, 64, false, 0, 0x1p64, '-', 0, 0, 0}}) {
    SCOPED_TRACE(EnumName(type) + " " + std::to_string(size) + (sign ? " signed " : " ") + set);
    TMXGAGenes genes(nullptr);
    TMXGAGene* gene = AddGene(genes, type, size, sign);
    EXPECT_EQ(std::pair(gene->MinValue(), gene->MaxValue()), std::pair(min, max));
    if (set == '-') continue;
    set == 'm' ? gene->SetMinValue(value) : gene->SetMaxValue(value);
    EXPECT_EQ(std::pair(gene->MinValue(), gene->MaxValue()), std::pair(newMin, newMax));
    gene->SetMinValue(newMax);  // equal bounds are a valid range
    EXPECT_EQ(gene->MaxValue(), newMax);
  }
}

// Writes clamp to the bounds (integers to the bound rounded half to even) and read back;
// the neighbouring fields stay as they were.
TEST(Genes, TypedWritesClampAndReadBack) {
  enum TKind { kInteger, kInt64, kFloat, kDouble };
  // Size, Signed, MaxValue (0: the gene's own), the writer and reader, written, read.
  for (auto [size, sign, max, kind, in, out] :
       {std::tuple{8, false, 0.0, kInteger, 300.0, 255.0}, {8, false, 0, kInteger, -5, 0}, {8, true, 0, kInteger, -200, -128},
        {8, false, 100.5, kInteger, 200, 100}, {8, false, 101.5, kInt64, 200, 102}, {32, true, 0, kInteger, -0x1p31, -0x1p31},
        {32, false, 0, kInt64, 5e9, 0x1p32 - 1}, {64, false, 0, kInt64, -0x1p63, 0}, {64, true, 0, kInt64, -0x1p63, -0x1p63},
        {32, true, 0, kFloat, -2.75, -2.75}, {32, true, 0, kFloat, 1e20, 0x1p31}, {64, true, 10.25, kDouble, 11, 10.25},
        {16, false, 0, kFloat, 300.5, 300}, {12, true, 0, kDouble, -9.5, -10}}) {
    SCOPED_TRACE(std::to_string(size) + (sign ? " signed, in " : " unsigned, in ") + std::to_string(in));
    TMXGAGenes genes(nullptr);
    AddGene(genes, gtBoolean, 3);  // neighbours that hold 101 and 1
    TMXGAGene* gene = AddGene(genes, kind < kFloat ? gtInteger : gtFloat, size, sign);
    AddGene(genes, gtBoolean, 1);
    if (max != 0) gene->SetMaxValue(max);
    TBits bits(genes.Size());
    bits.SetAsBitString(0, bits.Size(), "101" + std::string(static_cast<std::size_t>(size), '0') + "1");
    if (kind == kInteger) gene->SetGeneAsInteger(bits, static_cast<std::int32_t>(in));
    if (kind == kInt64) gene->SetGeneAsInt64(bits, static_cast<std::int64_t>(in));
    if (kind == kFloat) gene->SetGeneAsFloat(bits, static_cast<float>(in));
    if (kind == kDouble) gene->SetGeneAsDouble(bits, in);
    const double read = kind == kInteger ? gene->GeneAsInteger(bits)
                        : kind == kInt64 ? static_cast<double>(gene->GeneAsInt64(bits))
                        : kind == kFloat ? gene->GeneAsFloat(bits) : gene->GeneAsDouble(bits);
    EXPECT_EQ(read, out);
    EXPECT_EQ(bits.GetAsBitString(0, 3) + bits.GetAsBitString(bits.Size() - 1, 1), "1011");
  }
}

TEST(Genes, EnumerationsSizeThemselvesAndRejectUnknownValues) {
  TMXGAGenes genes(nullptr);
  TMXGAGene* colour = AddEnumeration(genes, {"red", "green", "blue"});
  EXPECT_EQ(std::pair(colour->Size(), colour->MaxValue()), std::pair(2, 2.0));  // also when the width stays
  TBits bits(2);
  colour->SetGeneAsEnumeration(bits, "BLUE");  // letter case is ignored
  EXPECT_EQ(colour->GeneAsEnumeration(bits), "blue");
  EXPECT_EQ(test::ErrorOf<EGAException>([&] { colour->SetGeneAsEnumeration(bits, "purple"); }),
            "\"purple\" is not a valid enumerated value");
  EXPECT_EQ(bits.ToBitString(), "01") << "a rejected write leaves the bits";
  bits.SetAsInteger(0, 2, 3);  // an index past the names
  EXPECT_EQ(test::ErrorOf<EGAException>([&] { (void)colour->GeneAsEnumeration(bits); }),
            "No enumerated value found in chromosome");
  colour->Enumerations()->Add("black");  // width and range follow the list
  EXPECT_EQ(std::tuple(colour->Size(), colour->MinValue(), colour->MaxValue()), std::tuple(3, 0.0, 3.0));
  EXPECT_THROW(AddEnumeration(genes, {})->SetGeneAsEnumeration(bits, 0, "red"), EGAException);  // no list at all
}

TEST(Genes, OffsetsLieEndToEndAndAssignCopiesAllButTheOffset) {
  TMXGAGenes genes(nullptr);
  AddGene(genes, gtInteger, 8);
  TMXGAGene* b = AddGene(genes, gtInteger, 16);
  TMXGAGene* c = AddGene(genes, gtBoolean, 1);
  auto offsets = [&] { return std::vector<int>{b->Offset(), c->Offset(), genes.Size()}; };
  b->SetSize(4);  // a resize and a removal move the genes after them
  EXPECT_EQ(offsets(), (std::vector<int>{8, 12, 13}));
  genes.Delete(0);
  EXPECT_EQ(offsets(), (std::vector<int>{0, 4, 5}));

  // An enumeration wider than its names stays so: Assign does not resize.
  TMXGAGene* source = AddEnumeration(genes, {"a", "b", "c"}, "letters");
  source->SetSize(7);
  source->SetMinValue(1);
  TMXGAGenes others(nullptr);
  AddGene(others, gtInteger, 5);
  TMXGAGene* target = others.Add();
  target->Assign(source);
  EXPECT_EQ(std::tuple(target->GeneType(), target->DisplayName(), target->Size(), target->Offset(), target->MinValue(),
                       target->MaxValue(), target->Enumerations()->Text()),
            std::tuple(gtEnumeration, std::string("letters"), 7, 5, 1.0, 3.0, std::string("a\nb\nc\n")));
}

// The readers and writers by index work on the individual at that index of the owning
// component's population (EListError without one); the writers mark it modified.
TEST(Genes, ReadersAndWritersByIndexGoThroughThePopulation) {
  TMXGeneticAlgorithm ga;
  ga.SetOnEvaluateFitness([](TObject*, TMXIndividual*, TGAFitness& Fitness) { Fitness = 1; });
  std::vector<TMXGAGene*> genes{AddGene(ga, gtInteger, 6, true), AddGene(ga, gtBoolean, 1),
                                AddEnumeration(*ga.Genes(), {"calm", "angry"}), AddGene(ga, gtFloat, 32, true)};
  TMXGAIndividual* individual = ga.Population()->Add();
  // Each writer then its reader, through the individual at index 0; the text expected.
  const std::pair<std::function<std::string()>, std::string> rows[] = {
      {[&] { return genes[0]->SetAsInt64(0, -99), IntToStr(genes[0]->GetAsInt64(0)); }, "-32"},  // clamped
      {[&] { return genes[1]->SetAsBoolean(0, true), BoolToStr(genes[1]->GetAsBoolean(0)); }, "True"},
      {[&] { return genes[2]->SetAsEnumeration(0, "ANGRY"), genes[2]->GetAsEnumeration(0); }, "angry"},
      {[&] { return genes[3]->SetAsDouble(0, -0.125), FloatToStr(genes[3]->GetAsDouble(0)); }, "-0.125"},
  };
  for (const auto& [writeAndRead, expected] : rows) {
    (void)individual->Fitness();
    EXPECT_EQ(writeAndRead(), expected);
    EXPECT_TRUE(individual->NeedFitness()) << expected;
  }
  EXPECT_EQ((std::vector<std::string>{genes[0]->AsString(0), genes[1]->AsString(0), genes[2]->AsString(0), genes[3]->AsString(0)}),
            (std::vector<std::string>{"-32", "True", "angry", "-0.125"}));
  EXPECT_THROW(genes[0]->SetAsInteger(1, 1), EListError);
  TMXGAGenes loose(nullptr);
  EXPECT_THROW((void)AddGene(loose, gtInteger, 4)->GetAsInteger(0), EListError);
}

}  // namespace
