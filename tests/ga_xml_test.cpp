// The GA documents (GenoType, Chromosomes, GADomain, GeneticAlgorithm) and component
// streaming of a TMXGeneticAlgorithm: the exact document; save-load-save over random
// configurations, with Assign and the resumption of a saved run; the reading rules
// (settings, reproduction, genes, chromosomes) and bad documents.
#include "support.h"

#include <evokit/ga/ga.h>
#include <evokit/platform/filer.h>
#include <evokit/platform/random.h>
#include <evokit/platform/streams.h>

#include <gtest/gtest.h>

#include <cmath>
#include <typeinfo>

using namespace evokit;
using namespace evokit::test;

namespace {

std::string Save(TMXCustomGeneticAlgorithm& GA) { TStringStream out; GA.SaveToStream(out); return out.DataString(); }
void Load(TMXCustomGeneticAlgorithm& GA, const std::string& Text) { TStringStream in(Text); GA.LoadFromStream(in); }
std::string Written(TComponent& C) { TStringStream out; WriteComponent(out, &C); return out.DataString(); }

void PickFirst(TObject*, TMXPopulation* Population, TMXIndividual*& Parent) { Parent = Population->Items(0); }

// A OneMax GA with genes of every type, random settings, and a population evolved for a
// generation or two whose enumeration values are then set to names (not every index of
// an enumeration's bits names a value, and such a chromosome cannot be saved).
void RandomGA(TMXGeneticAlgorithm& GA) {
  for (int g = 0, count = 1 + static_cast<int>(Random(5)); g < count; ++g) {
    const auto type = static_cast<TGeneType>(1 + Random(4));
    const int size = type == gtFloat ? 32 : type == gtInteger ? 1 + static_cast<int>(Random(20)) : 1;
    TMXGAGene* gene = AddGene(GA, type, type == gtEnumeration ? 0 : size, Random(2), Cat("g", std::to_string(g)));
    for (int n = 0, names = 1 + static_cast<int>(Random(4)); type == gtEnumeration && n < names; ++n)
      gene->Enumerations()->Add(Cat("v", std::to_string(n)));
  }
  GA.SetOnEvaluateFitness(NamedHandler<TMXFitnessEvent>("CountBits", CountBits));
  GA.SetFitnessMethod(static_cast<TGAFitnessMethod>(Random(2)));
  GA.SetCrossoverMethod(static_cast<TGACrossoverMethod>(Random(6)));
  if (Random(2)) {
    GA.SetMutationMethod(gmPolynomial);
    GA.SetCrossoverDistributionIndex(static_cast<double>(Random(60)) / 2);
    GA.SetMutationDistributionIndex(static_cast<double>(Random(60)) / 2);
  }
  GA.SetCrossoverProbability(Random()), GA.SetInversionProbability(Random()), GA.SetMutationProbability(Random());
  GA.SetElitistPct(Random()), GA.SetTournamentField(2 + static_cast<int>(Random(4)));
  GA.SetUseGenerationLimit(Random(2)), GA.SetGenerationLimit(1 + static_cast<int>(Random(500)));
  GA.SetInitialPopulation(4 + static_cast<int>(Random(8)));
  if (Random(4) == 0) GA.SetOnSelection(NamedHandler<TMXSelectionEvent>("PickFirst", PickFirst));
  else GA.SetSelectionMethod(static_cast<TGASelectionMethod>(Random(5)));
  GA.Evolve(1 + static_cast<int>(Random(2)));
  for (int g = 0; g < GA.Genes()->Count(); ++g) {
    TMXGAGene* gene = GA.Genes()->Items(g);
    for (int i = 0; gene->GeneType() == gtEnumeration && i < GA.Population()->Count(); ++i)
      gene->SetAsEnumeration(i, gene->Enumerations()->Strings(static_cast<int>(Random(gene->Enumerations()->Count()))));
  }
  GA.EvaluateFitness();
}

// The GA of the golden document: a gene of each type, an unknown gene (counted in the
// size, not written), and one individual with known gene values.
void GoldenGA(TMXGeneticAlgorithm& GA) {
  AddGene(GA, gtBoolean, 1, false, "Flag");
  AddGene(GA, gtInteger, 4, true, "Count");
  AddGene(GA, gtFloat, 32, false, "Weight");
  AddEnumeration(*GA.Genes(), {"red", "green", "blue"}, "Colour");
  AddGene(GA, gtUnknown, 3, false, "Raw");
  GA.SetOnEvaluateFitness(CountBits), GA.SetFitnessMethod(fmMaximize), GA.SetCrossoverMethod(cmByteBoundary);
  GA.SetInitialPopulation(0);
  GA.Initialize();
  TMXEncodedBits& bits = *GA.Population()->Add()->Bits();
  GA.Genes()->Items(0)->SetGeneAsBoolean(bits, true), GA.Genes()->Items(1)->SetGeneAsInteger(bits, -5);
  GA.Genes()->Items(2)->SetGeneAsFloat(bits, 2.5f), GA.Genes()->Items(3)->SetGeneAsEnumeration(bits, "blue");
  GA.EvaluateFitness();
}

}  // namespace

// --- Exact texts ------------------------------------------------------------------------------

TEST(GeneticAlgorithmXML, GoldenDocument) {
  TMXGeneticAlgorithm golden;
  GoldenGA(golden);
  const std::string chromosome =
      "<Name>TMXGAIndividual</Name><Fitness>7</Fitness><Genes><Bits>111010000000000000000000001000000001001000</Bits>"
      "<BooleanGeneValue>True</BooleanGeneValue><IntegerGeneValue>-5</IntegerGeneValue>"
      "<FloatGeneValue>2.5</FloatGeneValue><EnumerationGeneValue>blue</EnumerationGeneValue></Genes>";
  EXPECT_EQ(Save(golden),
            "<?xml version=\"1.0\"?>\n<GeneticAlgorithm><DiversityLimit>0.02</DiversityLimit>"
            "<FitnessCutoff>1</FitnessCutoff><FitnessMethod>fmMaximize</FitnessMethod><Generation>0</Generation>"
            "<UseDiversityLimit>False</UseDiversityLimit><UseFitnessCutoff>False</UseFitnessCutoff>"
            "<GenerationLimit>0</GenerationLimit><UseGenerationLimit>False</UseGenerationLimit>"
            "<AvgFitness>7</AvgFitness><MaxFitness>7</MaxFitness><MinFitness>7</MinFitness>"
            "<Reproduction><CrossoverMethod>cmByteBoundary</CrossoverMethod>"
            "<CrossoverProbability>0.98</CrossoverProbability><InversionProbability>0.1</InversionProbability>"
            "<MutationProbability>0.01</MutationProbability><SelectionMethod><Method>smStochasticTournament</Method>"
            "<ElitistPercent>0.1</ElitistPercent><TournamentField>2</TournamentField></SelectionMethod></Reproduction>"
            "<Domain><GenoType Size=\"42\"><BooleanGene><Name>Flag</Name><Size>1</Size></BooleanGene>"
            "<IntegerGene><Name>Count</Name><Size>4</Size><MinValue>-8</MinValue><MaxValue>7</MaxValue>"
            "<PreserveSignBit>True</PreserveSignBit></IntegerGene>"
            "<FloatGene><Name>Weight</Name><Size>32</Size><MinValue>0</MinValue><MaxValue>4294967295</MaxValue>"
            "<PreserveSignBit>False</PreserveSignBit></FloatGene>"
            "<EnumerationGene><Name>Colour</Name><Size>2</Size><MinValue>0</MinValue><MaxValue>2</MaxValue>"
            "<PreserveSignBit>False</PreserveSignBit><Enumeration>red</Enumeration><Enumeration>green</Enumeration>"
            "<Enumeration>blue</Enumeration></EnumerationGene></GenoType>"
            "<FittestIndividual>" + chromosome + "</FittestIndividual>"
            "<Chromosomes><Chromosome>" + chromosome + "</Chromosome></Chromosomes></Domain></GeneticAlgorithm>\n");
}

TEST(GeneticAlgorithmStreaming, GoldenText) {
  TMXGeneticAlgorithm ga;
  ga.SetName("GA1");
  AddGene(ga, gtInteger, 3, false, "n");
  ga.SetOnEvaluateFitness(NamedHandler<TMXFitnessEvent>("CountBits", CountBits));
  ga.SetMutationProbability(0), ga.SetFitnessCutoff(std::nan("")), ga.SetCrossoverMethod(cmLongwordBoundary);
  ga.SetOperations({goCrossover, goInvert}), ga.SetInitialPopulation(1), ga.SetGeneSize(5);
  ga.Initialize();
  ga.Population()->Items(0)->SetName("Only");
  ga.Population()->Items(0)->Bits()->SetAsBitString(0, 5, "10010");
  EXPECT_EQ(Written(ga),
            "object GA1: TMXGeneticAlgorithm\n  CrossoverMethod = cmLongwordBoundary\n  FitnessCutoff = NAN\n"
            "  Genes = <\n    item\n      GeneType = gtInteger\n      Name = 'n'\n      Size = 3\n      MaxValue = 7\n"
            "    end>\n  GeneSize = 5\n  InitialPopulation = 1\n"
            "  Population = <\n    item\n      Name = 'Only'\n      Bits = '10010'\n    end>\n"
            "  MutationProbability = 0\n  OnEvaluateFitness = CountBits\n  Operations = [goCrossover, goInvert]\nend\n");
}

// --- Save, load, save -------------------------------------------------------------------------

// Over random configurations, through documents and component streaming: loading into a
// fresh component and saving again gives the same text. A component that was never
// initialised is initialised by the load, at generation 0. A run saved mid-way and loaded
// into a fresh component (or assigned to one) then continues, with the same random
// stream, exactly as the uninterrupted run: it breeds from the loaded population with the
// statistics and selection tables the run had.
TEST(GeneticAlgorithmXML, SaveLoadSaveAndResumeOverRandomConfigurations) {
  THandlerTable handlers;
  handlers.Add<TMXFitnessEvent>("CountBits", CountBits);
  handlers.Add<TMXSelectionEvent>("PickFirst", PickFirst);
  for (int seed = 1; seed <= 12; ++seed) {
    SCOPED_TRACE(seed);
    RandSeed(seed);
    TMXGeneticAlgorithm source, target, assigned, streamed;
    RandomGA(source);
    source.SetGeneration(static_cast<int>(Random(100)));
    const std::string text = Save(source);
    target.SetOnEvaluateFitness(CountBits), assigned.SetOnEvaluateFitness(CountBits);
    target.SetInitialPopulation(55);
    Load(target, text);
    EXPECT_TRUE(target.Initialized() && target.Generation() == 0 && target.InitialPopulation() == 55);
    target.SetGeneration(source.Generation());
    EXPECT_EQ(Save(target), text);
    assigned.Assign(&source);
    EXPECT_EQ(Save(assigned), text);

    const std::string written = Written(source);
    EXPECT_EQ(written.find("OnSelection = PickFirst") != std::string::npos, source.SelectionMethod() == smCustom);
    TStringStream in(written);
    ReadComponent(in, &streamed, &handlers);
    EXPECT_EQ(Written(streamed), written);
    EXPECT_TRUE(streamed.MutationMethod() == source.MutationMethod() &&
                streamed.CrossoverDistributionIndex() == source.CrossoverDistributionIndex() &&
                streamed.MutationDistributionIndex() == source.MutationDistributionIndex());

    if (source.SelectionMethod() == smCustom) target.SetOnSelection(PickFirst), assigned.SetOnSelection(PickFirst);
    for (TMXGeneticAlgorithm* ga : {&source, &target, &assigned}) RandSeed(77), ga->Evolve(3);
    EXPECT_EQ(Chromosomes(*target.Population()), Chromosomes(*source.Population()));
    EXPECT_EQ(Chromosomes(*assigned.Population()), Chromosomes(*source.Population()));
  }
}

// --- Reading rules and bad documents ---------------------------------------------------------

// Each document is loaded into a component holding the golden GA with other current
// values, which then saves the fragments listed. Settings are read through their setters,
// a missing element reading as zero and a missing crossover method as the default; unknown
// names keep the current value (the real-coded settings left out load their defaults, which
// are not written); the document's statistics are not read; a gene's type is
// set last and recomputes its range (an enumeration's names set its size); chromosomes
// bring their name and bits (a text longer than the gene size is cut; a shorter one is an
// error) and are evaluated. A bad document raises its error class before anything changes.
TEST(GeneticAlgorithmXML, LoadRulesAndBadDocuments) {
  TMXGeneticAlgorithm golden;
  GoldenGA(golden);
  const std::string good = Save(golden);
  const auto doc = [](const std::string& Body) { return "<GeneticAlgorithm>" + Body + "</GeneticAlgorithm>"; };
  const auto replaced = [&](const std::string& From, const std::string& To) {
    std::string text = good;  // std::out_of_range when From is not there
    return text.replace(text.find(From), From.size(), To);
  };
  const struct {
    std::string Text;
    std::vector<std::string> Expected;
    const std::type_info& Class = typeid(void);
  } rows[] = {
      {doc(""),
       {"<DiversityLimit>0<", "<FitnessCutoff>0<", "<FitnessMethod>fmMaximize<", "<Generation>0<", "<GenerationLimit>1<",
        "<CrossoverMethod>cmGeneBoundary<", "<CrossoverProbability>0<", "<Method>smRandom<", "<TournamentField>2<"}},
      {doc("<FitnessMethod>fmBest</FitnessMethod><UseFitnessCutoff>tRuE</UseFitnessCutoff><UseDiversityLimit>1"
           "</UseDiversityLimit><Reproduction><CrossoverMethod>cmNowhere</CrossoverMethod><SelectionMethod><Method>smBest"
           "</Method></SelectionMethod></Reproduction>"),
       {"<FitnessMethod>fmMaximize<", "<UseFitnessCutoff>True<", "<UseDiversityLimit>False<",
        "<CrossoverMethod>cmWordBoundary<", "<Method>smRandom<"}},
      {doc("<DiversityLimit>3.5</DiversityLimit><GenerationLimit>4294967295</GenerationLimit><Generation>-3</Generation>"
           "<MaxFitness>99</MaxFitness><Extra/><Reproduction><SelectionMethod><Method>smTournament</Method>"
           "<ElitistPercent>2</ElitistPercent><TournamentField>7</TournamentField></SelectionMethod></Reproduction>"),
       {"<DiversityLimit>1<", "<GenerationLimit>2147483647<", "<Generation>-3<", "<MaxFitness>0<",
        "<Method>smTournament<", "<ElitistPercent>1<", "<TournamentField>7<"}},
      {doc("<Domain><GenoType Size='12'><IntegerGene><Name>n</Name><Size>4</Size><MinValue>100</MinValue>"
           "<MaxValue>200</MaxValue><PreserveSignBit>TRUE</PreserveSignBit></IntegerGene><EnumerationGene><Name>e</Name>"
           "<Size>30</Size><MaxValue>9</MaxValue><Enumeration>a</Enumeration><Enumeration>b</Enumeration>"
           "<Enumeration>c</Enumeration></EnumerationGene><FloatGene><Name>x</Name><Size>32</Size><PreserveSignBit>yes"
           "</PreserveSignBit></FloatGene></GenoType></Domain>"),
       {"<GenoType Size=\"38\"><IntegerGene><Name>n</Name><Size>4</Size><MinValue>-8</MinValue><MaxValue>7</MaxValue>",
        "<EnumerationGene><Name>e</Name><Size>2</Size><MinValue>0</MinValue><MaxValue>2</MaxValue>",
        "<FloatGene><Name>x</Name><Size>32</Size><MinValue>0</MinValue><MaxValue>4294967295</MaxValue>"
        "<PreserveSignBit>False<"}},
      {doc("<Domain><GenoType Size='6'/><Chromosomes><Chromosome><Name>first</Name><Fitness>9</Fitness><Genes>"
           "<Bits>101101</Bits></Genes></Chromosome><Other/><Chromosome><Genes><Bits>1100111</Bits></Genes>"
           "</Chromosome></Chromosomes></Domain>"),
       {"<GenoType Size=\"6\"/>", "<Name>first</Name><Fitness>4</Fitness><Genes><Bits>101101<",
        "<Bits>110011</Bits></Genes></Chromosome></Chromosomes>"}},
      {replaced("<Chromosomes><Chromosome><Name>TMXGAIndividual</Name><Fitness>7</Fitness><Genes><Bits>111",
                "<Chromosomes><Chromosome><Genes><Bits>"), {}, typeid(EXMLDocError)},
      {replaced("<Chromosomes><Chromosome>", "<Chromosomes><Chromosome/><Chromosome>"), {}, typeid(EXMLDocError)},
      {replaced("<IntegerGene><Name>Count</Name><Size>4<", "<IntegerGene><Name>Count</Name><Size>65<"), {},
       typeid(EXMLDocError)},
      {replaced("<DiversityLimit>0.02<", "<DiversityLimit>1.2.3<"), {}, typeid(EConvertError)},
      {replaced("<GenoType Size=\"42\">", "<GenoType Size=\"big\">"), {}, typeid(EConvertError)},
      {replaced("<FloatGene>", "<DoubleGene/><FloatGene>"), {}, typeid(EXMLDocError)},
      {replaced("<Chromosome><Name>", "<Chromosome><Genes><Bits>10x</Bits></Genes><Name>"), {}, typeid(EXMLDocError)},
      {replaced("</CrossoverMethod>", "</CrossoverMethod><MutationDistributionIndex>-2</MutationDistributionIndex>"), {},
       typeid(EGAException)},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Text);
    TMXGeneticAlgorithm target;
    target.SetOnEvaluateFitness(CountBits);
    target.Initialize();  // so that loading keeps the document's generation
    Load(target, good);
    target.SetCrossoverMethod(cmWordBoundary), target.SetSelectionMethod(smRandom), target.SetGenerationLimit(5);
    target.SetMutationMethod(gmPolynomial), target.SetCrossoverDistributionIndex(3);
    const std::string before = Save(target);
    try {
      Load(target, row.Text);
      EXPECT_TRUE(row.Class == typeid(void)) << "no exception";
    } catch (const Exception& e) {
      EXPECT_TRUE(typeid(e) == row.Class) << typeid(e).name();
    }
    const std::string after = Save(target);
    for (const std::string& fragment : row.Expected) EXPECT_NE(after.find(fragment), std::string::npos) << fragment;
    EXPECT_EQ(after == before, row.Class != typeid(void));
    EXPECT_EQ(after.find("MutationMethod>") == std::string::npos && after.find("Index>") == std::string::npos,
              row.Class == typeid(void));
  }
  // An enumeration index that names no value stops the save before anything is written.
  golden.Population()->Items(0)->Bits()->SetAsInteger(golden.Genes()->Items(3)->Offset(), 2, 3);
  TStringStream out;
  EXPECT_THROW(golden.SaveToStream(out), EGAException);
  EXPECT_EQ(out.Size(), 0);
}
