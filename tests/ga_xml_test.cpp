// The GA documents: GenoType, Chromosome(s), GADomain and GeneticAlgorithm elements as the
// genes, individuals, populations and the component write and read them; stream and file
// round trips, bad input, resuming a saved run, Assign, and component streaming of a
// configured TMXGeneticAlgorithm.
#include <evokit/ga/ga.h>
#include <evokit/platform/filer.h>
#include <evokit/platform/random.h>
#include <evokit/platform/streams.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

using namespace evokit;

namespace {

std::vector<std::string> ChildNames(const TXMLNode& Node) {
  std::vector<std::string> names;
  for (TXMLNode child : Node.ChildNodes()) names.push_back(child.NodeName());
  return names;
}

std::vector<std::string> Chromosomes(const TMXGAPopulation& Population) {
  std::vector<std::string> out;
  for (int i = 0; i < Population.Count(); ++i) out.push_back(Population.Items(i)->Bits()->ToBitString());
  return out;
}

TMXGAGene* AddGene(TMXCustomGeneticAlgorithm& GA, const std::string& Name, TGeneType Type, int Size,
                   bool Signed = false) {
  TMXGAGene* gene = GA.Genes()->Add();
  gene->SetName(Name);
  gene->SetGeneType(Type);
  gene->SetPreserveSignBit(Signed);
  gene->SetSize(Size);
  return gene;
}

// Flag (boolean, 1 bit), Count (signed integer, 8 bits), Weight (float, 32 bits): 41 bits.
void AddNumberGenes(TMXCustomGeneticAlgorithm& GA) {
  AddGene(GA, "Flag", gtBoolean, 1);
  AddGene(GA, "Count", gtInteger, 8, true);
  AddGene(GA, "Weight", gtFloat, 32);
}

// The number genes and Colour (enumeration red/green/blue, 2 bits): 43 bits. A random
// chromosome may hold the index 3, which names nothing and cannot be saved.
void AddTypedGenes(TMXCustomGeneticAlgorithm& GA) {
  AddNumberGenes(GA);
  TMXGAGene* colour = AddGene(GA, "Colour", gtEnumeration, 0);
  for (const char* name : {"red", "green", "blue"}) colour->Enumerations()->Add(name);
}

void CountBits(TObject*, TMXIndividual* Item, TGAFitness& Fitness) {
  Fitness = static_cast<TMXGAIndividual*>(Item)->Bits()->CountSetBits();
}

// A OneMax run over the number genes (maximising).
void Configure(TMXGeneticAlgorithm& GA, int Population = 20) {
  AddNumberGenes(GA);
  GA.SetOnEvaluateFitness(CountBits);
  GA.SetFitnessMethod(fmMaximize);
  GA.SetInitialPopulation(Population);
}

std::string Save(TMXCustomGeneticAlgorithm& GA) {
  TStringStream out;
  GA.SaveToStream(out);
  return out.DataString();
}

void Load(TMXCustomGeneticAlgorithm& GA, const std::string& Text) {
  TStringStream in(Text);
  GA.LoadFromStream(in);
}

struct TGeneState {
  std::string Name;
  TGeneType Type;
  int Size, Offset;
  double Min, Max;
  bool Signed;
  std::string Names;
  bool operator==(const TGeneState&) const = default;
};

std::vector<TGeneState> GenesOf(const TMXGAGenes& Genes) {
  std::vector<TGeneState> out;
  for (int i = 0; i < Genes.Count(); ++i) {
    const TMXGAGene* g = Genes.Items(i);
    out.push_back({g->Name(), g->GeneType(), g->Size(), g->Offset(), g->MinValue(), g->MaxValue(),
                   g->PreserveSignBit(), g->HasEnumerations() ? g->Enumerations()->CommaText() : ""});
  }
  return out;
}

}  // namespace

// --- GenoType -----------------------------------------------------------------------------------

TEST(GenoTypeXML, OneElementPerKnownGeneAndTheTotalSize) {
  TMXGeneticAlgorithm ga;
  AddTypedGenes(ga);
  AddGene(ga, "Raw", gtUnknown, 3);
  auto doc = NewGenoType();
  ga.Genes()->SaveToXML(doc.Root());
  const TXMLNode root = doc.Root().Node();
  EXPECT_EQ(ChildNames(root),
            (std::vector<std::string>{"BooleanGene", "IntegerGene", "FloatGene", "EnumerationGene"}));
  EXPECT_EQ(root.Attribute("Size"), "46");
  EXPECT_EQ(ChildNames(root.FindChild("BooleanGene")), (std::vector<std::string>{"Name", "Size"}));
  EXPECT_EQ(ChildNames(root.FindChild("IntegerGene")),
            (std::vector<std::string>{"Name", "Size", "MinValue", "MaxValue", "PreserveSignBit"}));
  EXPECT_EQ(ChildNames(root.FindChild("EnumerationGene")),
            (std::vector<std::string>{"Name", "Size", "MinValue", "MaxValue", "PreserveSignBit", "Enumeration",
                                      "Enumeration", "Enumeration"}));
  const IXMLIntegerGeneType count = doc.Root().Get_IntegerGene().Get_Item(0);
  EXPECT_EQ(count.Get_Name(), "Count");
  EXPECT_EQ(count.Get_MinValue(), -128);
  EXPECT_EQ(count.Get_MaxValue(), 127);
  EXPECT_TRUE(count.Get_PreserveSignBit());
  EXPECT_EQ(doc.Root().Get_EnumerationGene().Get_Item(0).Get_Enumeration().Get_Item(2), "blue");
}

TEST(GenoTypeXML, RoundTripRebuildsTheGenes) {
  TMXGeneticAlgorithm source;
  AddTypedGenes(source);
  auto doc = NewGenoType();
  source.Genes()->SaveToXML(doc.Root());
  TMXGeneticAlgorithm target;
  AddGene(target, "Old", gtInteger, 5);
  target.Genes()->LoadFromXML(doc.Root());
  EXPECT_EQ(GenesOf(*target.Genes()), GenesOf(*source.Genes()));
  EXPECT_EQ(target.GeneSize(), 43);
}

TEST(GenoTypeXML, TheTypeIsSetLastAndRecomputesTheRange) {
  TXMLDocument doc = LoadXMLData(
      "<GenoType Size='12'>"
      "<IntegerGene><Name>n</Name><Size>4</Size><MinValue>100</MinValue><MaxValue>200</MaxValue>"
      "<PreserveSignBit>TRUE</PreserveSignBit></IntegerGene>"
      "<EnumerationGene><Name>e</Name><Size>30</Size><MinValue>5</MinValue><MaxValue>9</MaxValue>"
      "<Enumeration>a</Enumeration><Enumeration>b</Enumeration><Enumeration>c</Enumeration></EnumerationGene>"
      "<BooleanGene><Name>f</Name><Size>1</Size></BooleanGene>"
      "<FloatGene><Name>x</Name><Size>32</Size><PreserveSignBit>yes</PreserveSignBit></FloatGene>"
      "</GenoType>");
  TMXGeneticAlgorithm loaded;
  loaded.Genes()->LoadFromXML(GetGenoType(doc));

  TMXGeneticAlgorithm reference;  // the same genes made through the setters in the usual order
  AddGene(reference, "n", gtInteger, 4, true);
  TMXGAGene* e = AddGene(reference, "e", gtEnumeration, 0);
  for (const char* name : {"a", "b", "c"}) e->Enumerations()->Add(name);
  AddGene(reference, "f", gtBoolean, 1);
  AddGene(reference, "x", gtFloat, 32);
  EXPECT_EQ(GenesOf(*loaded.Genes()), GenesOf(*reference.Genes()));
  EXPECT_EQ(loaded.Genes()->Items(1)->Size(), 2);
  EXPECT_EQ(loaded.Genes()->Items(1)->MaxValue(), 2);
  EXPECT_EQ(loaded.GeneSize(), 39);  // 12 from the attribute, then grown by the genes
}

TEST(GenoTypeXML, UnknownGeneElementKeepsTheGenesReadBeforeIt) {
  TXMLDocument doc = LoadXMLData(
      "<GenoType Size='2'><BooleanGene><Name>a</Name><Size>1</Size></BooleanGene><Gene><Name>b</Name></Gene>"
      "<BooleanGene><Name>c</Name><Size>1</Size></BooleanGene></GenoType>");
  TMXGeneticAlgorithm ga;
  AddGene(ga, "Old", gtInteger, 5);
  EXPECT_THROW(ga.Genes()->LoadFromXML(GetGenoType(doc)), EXMLDocError);
  ASSERT_EQ(ga.Genes()->Count(), 1);
  EXPECT_EQ(ga.Genes()->Items(0)->Name(), "a");
}

TEST(GenoTypeXML, BadNumbersRaiseConvertErrors) {
  TMXGeneticAlgorithm ga;
  AddGene(ga, "Old", gtInteger, 5);
  TXMLDocument size = LoadXMLData("<GenoType Size='big'/>");
  EXPECT_THROW(ga.Genes()->LoadFromXML(GetGenoType(size)), EConvertError);
  EXPECT_EQ(ga.Genes()->Count(), 1);
  EXPECT_EQ(ga.GeneSize(), 5);
  TXMLDocument bound = LoadXMLData("<GenoType><FloatGene><MinValue>-x</MinValue></FloatGene></GenoType>");
  EXPECT_THROW(ga.Genes()->LoadFromXML(GetGenoType(bound)), EConvertError);
  EXPECT_EQ(ga.Genes()->Count(), 0);
}

TEST(GenoTypeXML, SizeAttributeFollowsGenesOrGeneSize) {
  TMXGeneticAlgorithm wide;  // genes of 25 bits in a 40-bit chromosome
  wide.SetOnEvaluateFitness(CountBits);
  AddGene(wide, "a", gtInteger, 8);
  AddGene(wide, "b", gtInteger, 16);
  AddGene(wide, "c", gtBoolean, 1);
  wide.SetGeneSize(40);
  wide.Population()->Add()->Bits()->SetAsBitString(0, 40, std::string(20, '1') + std::string(20, '0'));
  const std::string text = Save(wide);
  EXPECT_NE(text.find("<GenoType Size=\"25\">"), std::string::npos);
  TMXGeneticAlgorithm loaded;
  Load(loaded, text);
  EXPECT_EQ(loaded.GeneSize(), 25);
  EXPECT_EQ(Chromosomes(*loaded.Population()), std::vector<std::string>{std::string(20, '1') + "00000"});

  TMXGeneticAlgorithm bare;  // no genes, 16 bits
  bare.SetGeneSize(16);
  const std::string bareText = Save(bare);
  EXPECT_NE(bareText.find("<GenoType Size=\"16\"/>"), std::string::npos) << bareText;
  TMXGeneticAlgorithm bareLoaded;
  Load(bareLoaded, bareText);
  EXPECT_EQ(bareLoaded.GeneSize(), 16);
  EXPECT_EQ(bareLoaded.Genes()->Count(), 0);
}

// --- Chromosomes ------------------------------------------------------------------------------

TEST(ChromosomeXML, NameFitnessBitsAndGeneValues) {
  TMXGeneticAlgorithm ga;
  AddTypedGenes(ga);
  ga.SetOnEvaluateFitness(CountBits);
  TMXGAIndividual* item = ga.Population()->Add();
  TMXEncodedBits& bits = *item->Bits();
  ga.Genes()->Items(0)->SetGeneAsBoolean(bits, true);
  ga.Genes()->Items(1)->SetGeneAsInteger(bits, -5);
  ga.Genes()->Items(2)->SetGeneAsFloat(bits, 2.5f);
  ga.Genes()->Items(3)->SetGeneAsEnumeration(bits, "blue");
  auto doc = NewChromosomes();
  ga.Population()->SaveToXML(doc.Root());
  ASSERT_EQ(doc.Root().Count(), 1);
  const IXMLChromosome chromosome = doc.Root().Get_Chromosome(0);
  EXPECT_EQ(ChildNames(chromosome.Node()), (std::vector<std::string>{"Name", "Fitness", "Genes"}));
  EXPECT_EQ(chromosome.Get_Name(), "TMXGAIndividual");
  EXPECT_EQ(chromosome.Get_Fitness(), static_cast<float>(bits.CountSetBits()));
  const IXMLGenes genes = chromosome.Get_Genes();
  EXPECT_EQ(ChildNames(genes.Node()), (std::vector<std::string>{"Bits", "BooleanGeneValue", "IntegerGeneValue",
                                                                "FloatGeneValue", "EnumerationGeneValue"}));
  EXPECT_EQ(genes.Get_Bits(), bits.ToBitString());
  EXPECT_TRUE(genes.Get_BooleanGeneValue().Get_Item(0));
  EXPECT_EQ(genes.Get_IntegerGeneValue().Get_Item(0), -5);
  EXPECT_EQ(genes.Get_FloatGeneValue().Nodes(0).Text(), "2.5");
  EXPECT_EQ(genes.Get_EnumerationGeneValue().Get_Item(0), "blue");
}

TEST(ChromosomeXML, EnumerationIndexPastTheNamesStopsTheSave) {
  TMXGeneticAlgorithm ga;
  AddTypedGenes(ga);
  TMXGAIndividual* item = ga.Population()->Add();
  item->Bits()->SetAsInteger(ga.Genes()->Items(3)->Offset(), 2, 3);  // names 0..2 only
  TStringStream out;
  try {
    ga.SaveToStream(out);
    FAIL() << "no exception";
  } catch (const EGAException& e) {
    EXPECT_EQ(e.Message(), "No enumerated value found in chromosome");
  }
  EXPECT_EQ(out.Size(), 0);
}

TEST(ChromosomeXML, ReadingTakesNameAndBitsOnly) {
  TMXGeneticAlgorithm ga;
  ga.SetGeneSize(6);
  TXMLDocument doc = LoadXMLData(
      "<Chromosomes><Chromosome><Name>first</Name><Fitness>9</Fitness><Genes><Bits>101101</Bits>"
      "<IntegerGeneValue>7</IntegerGeneValue></Genes></Chromosome><Other/>"
      "<Chromosome><Genes><Bits>11</Bits></Genes></Chromosome><Chromosome/></Chromosomes>");
  ga.Population()->LoadFromXML(GetChromosomes(doc));
  ASSERT_EQ(ga.Population()->Count(), 3);
  EXPECT_EQ(Chromosomes(*ga.Population()), (std::vector<std::string>{"101101", "110000", "000000"}));
  EXPECT_EQ(ga.Population()->Items(0)->Name(), "first");
  EXPECT_TRUE(ga.Population()->Items(0)->NeedFitness());

  TXMLDocument bad = LoadXMLData(
      "<Chromosomes><Chromosome><Genes><Bits>1</Bits></Genes></Chromosome>"
      "<Chromosome><Genes><Bits>10x</Bits></Genes></Chromosome></Chromosomes>");
  EXPECT_THROW(ga.Population()->LoadFromXML(GetChromosomes(bad)), EMXException);
  EXPECT_EQ(ga.Population()->Count(), 2);  // the first one, and the one that failed
}

// --- The GeneticAlgorithm document ------------------------------------------------------------

TEST(GeneticAlgorithmXML, ElementOrderAndNoIndentation) {
  TMXGeneticAlgorithm ga;
  Configure(ga, 4);
  ga.Evolve();
  auto doc = NewGeneticAlgorithm();
  ga.SaveToXML(doc.Root());
  const TXMLNode root = doc.Root().Node();
  EXPECT_EQ(ChildNames(root),
            (std::vector<std::string>{"DiversityLimit", "FitnessCutoff", "FitnessMethod", "Generation",
                                      "UseDiversityLimit", "UseFitnessCutoff", "GenerationLimit", "UseGenerationLimit",
                                      "AvgFitness", "MaxFitness", "MinFitness", "Reproduction", "Domain"}));
  EXPECT_EQ(ChildNames(root.FindChild("Reproduction")),
            (std::vector<std::string>{"CrossoverMethod", "CrossoverProbability", "InversionProbability",
                                      "MutationProbability", "SelectionMethod"}));
  EXPECT_EQ(ChildNames(root.FindChild("Reproduction").FindChild("SelectionMethod")),
            (std::vector<std::string>{"Method", "ElitistPercent", "TournamentField"}));
  EXPECT_EQ(ChildNames(root.FindChild("Domain")),
            (std::vector<std::string>{"GenoType", "FittestIndividual", "Chromosomes"}));
  EXPECT_EQ(doc.Root().Get_Domain().Get_FittestIndividual().Get_Genes().Get_Bits(),
            ga.FittestIndividual()->Bits()->ToBitString());
  EXPECT_EQ(doc.Root().Get_Domain().Get_Chromosomes().Count(), 4);
  EXPECT_EQ(doc.Root().Get_Reproduction().Get_SelectionMethod().Get_Method(), "smStochasticTournament");

  const std::string text = Save(ga);
  EXPECT_GT(text.find('\n', text.find("<GeneticAlgorithm>")), text.find("</GeneticAlgorithm>")) << text;

  TMXGeneticAlgorithm fresh;  // no fittest individual: no FittestIndividual element
  auto freshDoc = NewGeneticAlgorithm();
  fresh.SaveToXML(freshDoc.Root());
  EXPECT_EQ(ChildNames(freshDoc.Root().Node().FindChild("Domain")),
            (std::vector<std::string>{"GenoType", "Chromosomes"}));
}

TEST(GeneticAlgorithmXML, StreamRoundTrip) {
  TMXGeneticAlgorithm source;
  Configure(source, 12);
  source.SetCrossoverMethod(cmByteBoundary);
  source.SetCrossoverProbability(0.98);
  source.SetMutationProbability(0);
  source.SetInversionProbability(0.3);
  source.SetSelectionMethod(smElitist);
  source.SetElitistPct(0.25);
  source.SetTournamentField(5);
  source.SetUseGenerationLimit(true);
  source.SetGenerationLimit(90);
  source.Evolve(3);
  source.Population()->Items(4)->SetName("Named");

  TMXGeneticAlgorithm target;
  target.SetOnEvaluateFitness(CountBits);
  target.SetInitialPopulation(55);
  Load(target, Save(source));
  EXPECT_EQ(target.CrossoverMethod(), cmByteBoundary);
  EXPECT_EQ(target.CrossoverProbability(), static_cast<double>(0.98f));
  EXPECT_NE(target.CrossoverProbability(), 0.98);
  EXPECT_EQ(target.MutationProbability(), 0.0);
  EXPECT_EQ(target.InversionProbability(), static_cast<double>(0.3f));
  EXPECT_EQ(target.SelectionMethod(), smElitist);
  EXPECT_EQ(target.ElitistPct(), 0.25);
  EXPECT_EQ(target.TournamentField(), 5);
  EXPECT_EQ(target.FitnessMethod(), fmMaximize);
  EXPECT_EQ(target.GenerationLimit(), 90);
  EXPECT_TRUE(target.UseGenerationLimit());
  EXPECT_EQ(GenesOf(*target.Genes()), GenesOf(*source.Genes()));
  EXPECT_EQ(target.GeneSize(), source.GeneSize());
  EXPECT_EQ(Chromosomes(*target.Population()), Chromosomes(*source.Population()));
  EXPECT_EQ(Chromosomes(*target.PreviousGeneration()), Chromosomes(*source.Population()));
  EXPECT_EQ(target.Population()->Items(4)->Name(), "Named");
  EXPECT_EQ(target.Population()->Items(0)->Name(), "TMXGAIndividual");  // the display name was written
  // Never initialised before: initialised now, with Generation 0 and InitialPopulation kept.
  EXPECT_TRUE(target.Initialized());
  EXPECT_EQ(target.Generation(), 0);
  EXPECT_EQ(target.InitialPopulation(), 55);
  EXPECT_EQ(target.MaxFitness(), source.MaxFitness());
  EXPECT_EQ(target.FittestIndividual()->Bits()->ToBitString(), source.FittestIndividual()->Bits()->ToBitString());

  TMXGeneticAlgorithm initialised;  // already initialised: Generation comes from the document
  initialised.SetOnEvaluateFitness(CountBits);
  initialised.SetInitialPopulation(2);
  initialised.Initialize();
  Load(initialised, Save(source));
  EXPECT_EQ(initialised.Generation(), 3);
  EXPECT_EQ(initialised.Population()->Count(), 12);
}

TEST(GeneticAlgorithmXML, FileRoundTripAndStandaloneDomain) {
  const std::string path = testing::TempDir() + "evokit_ga_xml_test.xml";
  TMXGeneticAlgorithm source;
  Configure(source, 6);
  source.Initialize();
  source.SaveToFile(path);
  TMXGeneticAlgorithm target;
  target.LoadFromFile(path);
  EXPECT_EQ(Chromosomes(*target.Population()), Chromosomes(*source.Population()));
  EXPECT_EQ(LoadGeneticAlgorithm(path)->Get_Domain().Get_GenoType().Get_Size(), 41);
  std::remove(path.c_str());

  auto domain = NewGADomain();
  source.SaveToXML(domain.Root());
  TXMLDocument reread = LoadXMLData(domain.Document().XML());
  TMXGeneticAlgorithm fromDomain;
  fromDomain.LoadFromXML(GetGADomain(reread));
  EXPECT_EQ(GenesOf(*fromDomain.Genes()), GenesOf(*source.Genes()));
  EXPECT_EQ(Chromosomes(*fromDomain.Population()), Chromosomes(*source.Population()));
  EXPECT_EQ(fromDomain.InitialPopulation(), 100);
}

TEST(GeneticAlgorithmXML, ReproductionDefaultsAndUnknownNames) {
  TMXGeneticAlgorithm ga;
  ga.SetCrossoverMethod(cmWordBoundary);
  ga.SetSelectionMethod(smRandom);
  Load(ga, "<GeneticAlgorithm><Reproduction><SelectionMethod><Method>smBest</Method></SelectionMethod>"
           "</Reproduction></GeneticAlgorithm>");
  EXPECT_EQ(ga.CrossoverMethod(), cmGeneBoundary);  // missing: the default
  EXPECT_EQ(ga.SelectionMethod(), smRandom);        // unknown: kept
  EXPECT_EQ(ga.CrossoverProbability(), 0.0);        // missing numbers read as 0
  EXPECT_EQ(ga.TournamentField(), 2);               // 0 through the setter

  ga.SetCrossoverMethod(cmWordBoundary);
  Load(ga, "<GeneticAlgorithm><Reproduction><CrossoverMethod>cmNowhere</CrossoverMethod>"
           "<SelectionMethod><Method>smTournament</Method><TournamentField>7</TournamentField>"
           "<ElitistPercent>2</ElitistPercent></SelectionMethod></Reproduction></GeneticAlgorithm>");
  EXPECT_EQ(ga.CrossoverMethod(), cmWordBoundary);
  EXPECT_EQ(ga.SelectionMethod(), smTournament);
  EXPECT_EQ(ga.TournamentField(), 7);
  EXPECT_EQ(ga.ElitistPct(), 1.0);
}

TEST(GeneticAlgorithmXML, BadInputLeavesTheComponentAsItWas) {
  TMXGeneticAlgorithm ga;
  Configure(ga, 5);
  ga.SetMutationProbability(0.2);
  ga.Evolve();
  const std::string before = Save(ga);
  const std::string good = before;
  auto replaced = [&](const std::string& From, const std::string& To) {
    std::string text = good;
    const auto at = text.find(From);
    EXPECT_NE(at, std::string::npos) << From;
    return text.replace(at, From.size(), To);
  };
  EXPECT_THROW(Load(ga, good.substr(0, good.size() / 2)), EXMLDocError);
  EXPECT_THROW(Load(ga, "<GADomain/>"), EXMLDocError);
  EXPECT_THROW(Load(ga, ""), EXMLDocError);
  EXPECT_THROW(ga.LoadFromFile("/nonexistent/ga.xml"), EFOpenError);
  EXPECT_THROW(Load(ga, replaced("<Generation>1</Generation>", "<Generation>one</Generation>")), EConvertError);
  EXPECT_THROW(Load(ga, replaced("<TournamentField>2<", "<TournamentField>2.5<")), EConvertError);
  EXPECT_THROW(Load(ga, replaced("<MutationProbability>0.2<", "<MutationProbability>0,2<")), EConvertError);
  EXPECT_EQ(Save(ga), before);
  EXPECT_EQ(ga.Generation(), 1);
}

TEST(GeneticAlgorithmXML, UnknownGeneElementKeepsWhatWasRead) {
  TMXGeneticAlgorithm ga;
  Configure(ga, 5);
  ga.Initialize();
  std::string text = Save(ga);
  text.replace(text.find("<FloatGene>"), 11, "<DoubleGene>");
  text.replace(text.find("</FloatGene>"), 12, "</DoubleGene>");
  TMXGeneticAlgorithm target;
  EXPECT_THROW(Load(target, text), EXMLDocError);
  EXPECT_EQ(target.Genes()->Count(), 2);  // Flag and Count were read
  EXPECT_EQ(target.FitnessMethod(), fmMaximize);
}

// --- Resuming, Assign -------------------------------------------------------------------------

TEST(GeneticAlgorithmXML, ASavedRunResumesWhereItStopped) {
  TMXGeneticAlgorithm original;
  Configure(original, 30);
  original.SetSelectionMethod(smRoulette);
  RandSeed(5);
  original.Evolve(6);
  const std::string saved = Save(original);

  TMXGeneticAlgorithm resumed;
  resumed.SetOnEvaluateFitness(CountBits);
  Load(resumed, saved);
  const std::vector<std::string> atSave = Chromosomes(*original.Population());
  ASSERT_EQ(Chromosomes(*resumed.Population()), atSave);

  // With the same random stream both continue identically: the loaded component breeds from
  // the loaded population with the statistics and selection tables the run had.
  RandSeed(77);
  original.Evolve(8);
  RandSeed(77);
  EXPECT_EQ(resumed.Evolve(8), 8);
  EXPECT_EQ(resumed.Generation(), 8);
  EXPECT_EQ(Chromosomes(*resumed.Population()), Chromosomes(*original.Population()));
  EXPECT_EQ(resumed.MaxFitness(), original.MaxFitness());
  EXPECT_NE(Chromosomes(*resumed.Population()), atSave);
}

TEST(GeneticAlgorithmAssign, CopiesGenesPopulationsAndContinuesLikeTheSource) {
  TMXGeneticAlgorithm source;
  Configure(source, 16);
  source.SetCrossoverMethod(cmBitBoundary);
  RandSeed(8);
  source.Evolve(4);
  TMXGeneticAlgorithm target;
  target.SetOnEvaluateFitness(CountBits);
  target.Assign(&source);
  EXPECT_EQ(GenesOf(*target.Genes()), GenesOf(*source.Genes()));
  EXPECT_EQ(target.CrossoverMethod(), cmBitBoundary);
  EXPECT_EQ(Chromosomes(*target.PreviousGeneration()), Chromosomes(*source.PreviousGeneration()));
  ASSERT_NE(target.FittestIndividual(), nullptr);
  EXPECT_EQ(target.FittestIndividual()->Collection(), target.Population());
  EXPECT_EQ(target.FittestIndividual()->Index(), source.FittestIndividual()->Index());

  RandSeed(21);
  source.Evolve(5);
  RandSeed(21);
  target.Evolve(5);
  EXPECT_EQ(Chromosomes(*target.Population()), Chromosomes(*source.Population()));
  EXPECT_EQ(target.Generation(), source.Generation());
}

// --- Component streaming ----------------------------------------------------------------------

TEST(GeneticAlgorithmStreaming, ConfiguredComponentRoundTrip) {
  TMXGeneticAlgorithm source;
  source.SetName("GA1");
  Configure(source, 3);
  source.SetOnEvaluateFitness(NamedHandler<TMXFitnessEvent>("CountBits", CountBits));
  source.SetMutationProbability(0);
  source.SetDiversityLimit(0.5);
  source.SetCrossoverMethod(cmLongwordBoundary);
  source.SetGeneration(7);
  source.SetGenerationLimit(40);
  source.SetUseGenerationLimit(true);
  source.SetUseFitnessCutoff(true);
  source.SetOperations({goCrossover, goInvert});
  source.SetSelectionMethod(smTournament);
  source.SetTournamentField(4);
  source.SetInitialDuplicatesRetries(0);
  source.SetGeneSize(50);
  source.Initialize();
  source.SetGeneration(7);
  source.Population()->Items(1)->SetName("Second");

  TStringStream out;
  WriteComponent(out, &source);
  const std::string text = out.DataString();
  for (const char* line : {"object GA1: TMXGeneticAlgorithm\n", "  MutationProbability = 0\n",
                           "  DiversityLimit = 0.5\n", "  CrossoverMethod = cmLongwordBoundary\n",
                           "  GeneSize = 50\n", "  OnEvaluateFitness = CountBits\n",
                           "  Operations = [goCrossover, goInvert]\n", "      Name = 'Second'\n"})
    EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;
  for (const char* absent : {"CrossoverProbability", "InversionProbability", "ElitistPct", "  FitnessCutoff",
                             "OnSelection", "TournamentField = 2", "Tag"})
    EXPECT_EQ(text.find(absent), std::string::npos) << absent << " in\n" << text;

  TMXGeneticAlgorithm target;
  THandlerTable handlers;
  handlers.Add<TMXFitnessEvent>("CountBits", CountBits);
  TStringStream in(text);
  ReadComponent(in, &target, &handlers);
  EXPECT_EQ(target.Name(), "GA1");
  EXPECT_EQ(target.MutationProbability(), 0.0);
  EXPECT_EQ(target.DiversityLimit(), 0.5);
  EXPECT_EQ(target.CrossoverMethod(), cmLongwordBoundary);
  EXPECT_EQ(target.FitnessMethod(), fmMaximize);
  EXPECT_EQ(target.Generation(), 7);
  EXPECT_EQ(target.GenerationLimit(), 40);
  EXPECT_TRUE(target.UseGenerationLimit() && target.UseFitnessCutoff() && !target.UseDiversityLimit());
  EXPECT_EQ(target.Operations(), (TGAGeneticOperations{goCrossover, goInvert}));
  EXPECT_EQ(target.SelectionMethod(), smTournament);
  EXPECT_EQ(target.TournamentField(), 4);
  EXPECT_EQ(target.InitialPopulation(), 3);
  EXPECT_EQ(target.InitialDuplicatesRetries(), 0);
  EXPECT_EQ(target.CrossoverProbability(), CROSSOVER_PROBABILITY);
  EXPECT_EQ(target.GeneSize(), 50);
  EXPECT_EQ(GenesOf(*target.Genes()), GenesOf(*source.Genes()));
  EXPECT_EQ(Chromosomes(*target.Population()), Chromosomes(*source.Population()));
  EXPECT_EQ(target.Population()->Items(1)->Name(), "Second");
  EXPECT_EQ(HandlerName(target.OnEvaluateFitness()), "CountBits");

  // Writing the loaded component gives the same text.
  TStringStream again;
  WriteComponent(again, &target);
  EXPECT_EQ(again.DataString(), text);
}

TEST(GeneticAlgorithmStreaming, CustomSelectionHandlerIsStoredOnlyWhenCustom) {
  TMXGeneticAlgorithm ga;
  const auto first = [](TObject*, TMXPopulation* Population, TMXIndividual*& Parent) {
    Parent = Population->Items(0);
  };
  ga.SetOnSelection(NamedHandler<TMXSelectionEvent>("PickFirst", first));
  ASSERT_EQ(ga.SelectionMethod(), smCustom);
  TStringStream custom;
  WriteComponent(custom, &ga);
  EXPECT_NE(custom.DataString().find("  OnSelection = PickFirst\n"), std::string::npos) << custom.DataString();

  TMXGeneticAlgorithm target;
  THandlerTable handlers;
  handlers.Add<TMXSelectionEvent>("PickFirst", first);
  TStringStream in(custom.DataString());
  ReadComponent(in, &target, &handlers);
  EXPECT_EQ(target.SelectionMethod(), smCustom);
  EXPECT_EQ(HandlerName(target.OnSelection()), "PickFirst");

  ga.SetSelectionMethod(smRoulette);
  TStringStream builtIn;
  WriteComponent(builtIn, &ga);
  EXPECT_EQ(builtIn.DataString().find("OnSelection"), std::string::npos);
}
