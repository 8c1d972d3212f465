// Settings persistence of the evolution core: the GeneticDocument bindings, the
// component's XML, stream and file operations, Assign, the streamed float settings, the
// Describe/ToString report, and the XML slots of individuals and populations.
#include <evokit/core/genetic_component.h>
#include <evokit/core/genetic_document.h>
#include <evokit/platform/filer.h>
#include <evokit/platform/streams.h>
#include <evokit/platform/strings.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

using namespace evokit;

namespace {

// The names of Node's child elements in document order.
std::vector<std::string> ChildNames(const TXMLNode& Node) {
  std::vector<std::string> names;
  for (TXMLNode child : Node.ChildNodes()) names.push_back(child.NodeName());
  return names;
}

std::vector<std::string> Lines(const std::string& Text) {
  std::vector<std::string> lines;
  std::string::size_type start = 0;
  for (std::string::size_type nl; (nl = Text.find('\n', start)) != std::string::npos; start = nl + 1)
    lines.push_back(Text.substr(start, nl - start));
  EXPECT_EQ(start, Text.size()) << "the text does not end with a line break";
  return lines;
}

// Every setting the GeneticDocument and Assign deal with, for whole-state comparisons.
struct TSettings {
  double DiversityLimit, FitnessCutoff, Crossover, Inversion, Mutation, Elitist;
  int Generation, GenerationLimit, TournamentField, InitialPopulation, Retries;
  TGAFitnessMethod FitnessMethod;
  TGASelectionMethod SelectionMethod;
  bool UseDiversityLimit, UseFitnessCutoff, UseGenerationLimit, Initialized;
  unsigned Operations;
  bool operator==(const TSettings&) const = default;
};

TSettings SettingsOf(const TMXCustomGeneticComponent& C) {
  return {C.DiversityLimit(),    C.FitnessCutoff(),     C.CrossoverProbability(), C.InversionProbability(),
          C.MutationProbability(), C.ElitistPct(),      C.Generation(),           C.GenerationLimit(),
          C.TournamentField(),   C.InitialPopulation(), C.InitialDuplicatesRetries(), C.FitnessMethod(),
          C.SelectionMethod(),   C.UseDiversityLimit(), C.UseFitnessCutoff(),     C.UseGenerationLimit(),
          C.Initialized(),       C.Operations().Value()};
}

// A component whose individuals are told apart by name; the fitness is the name's length.
void Populate(TMXCustomGeneticComponent& C, std::vector<std::string> Names) {
  C.SetOnEvaluateFitness([](TObject*, TMXIndividual* Item, TGAFitness& F) { F = Item->Name().size(); });
  for (const std::string& name : Names) C.Population()->Add()->SetName(name);
  C.SetInitialPopulation(static_cast<int>(Names.size()));
}

// A component that publishes the six float settings, as the GA and GP components do.
class TStreamedComponent : public TMXCustomGeneticComponent {
 public:
  using TMXCustomGeneticComponent::TMXCustomGeneticComponent;
  std::string ClassName() const override { return "TStreamedComponent"; }
  void DeclareProperties(TPropertyRegistry& Reg) override {
    using C = TMXCustomGeneticComponent;
    TMXCustomGeneticComponent::DeclareProperties(Reg);
    Reg.Float("DiversityLimit", &C::DiversityLimit, &C::SetDiversityLimit, DEFAULT_DIVERSITY_LIMIT);
    Reg.Float("ElitistPct", &C::ElitistPct, &C::SetElitistPct, DEFAULT_ELITIST_PCT);
    Reg.Float("FitnessCutoff", &C::FitnessCutoff, &C::SetFitnessCutoff, DEFAULT_FITNESS_CUTOFF);
    Reg.Float("CrossoverProbability", &C::CrossoverProbability, &C::SetCrossoverProbability, CROSSOVER_PROBABILITY);
    Reg.Float("InversionProbability", &C::InversionProbability, &C::SetInversionProbability, INVERSION_PROBABILITY);
    Reg.Float("MutationProbability", &C::MutationProbability, &C::SetMutationProbability, MUTATION_PROBABILITY);
  }
};

std::string StreamText(TMXCustomGeneticComponent& C) {
  TStringStream out;
  C.SaveToStream(out);
  return out.DataString();
}

}  // namespace

// --- The document binding ------------------------------------------------------------------

TEST(GeneticDocument, NewDocumentHasVersionAndBoundRoot) {
  auto doc = NewGeneticDocument();
  EXPECT_EQ(doc.Document().Version(), "1.0");
  EXPECT_EQ(doc.Root().NodeName(), "GeneticDocument");
  EXPECT_FALSE(doc.Root().Node().HasChildNodes());
}

TEST(GeneticDocument, MissingElementsReadAsZeroWithoutBeingCreated) {
  TXMLDocument doc = LoadXMLData("<GeneticDocument><Generation></Generation></GeneticDocument>");
  const IXMLGeneticDocumentType root = GetGeneticDocument(doc);
  EXPECT_EQ(root.Get_DiversityLimit(), 0.0f);
  EXPECT_EQ(root.Get_FitnessMethod(), "");
  EXPECT_EQ(root.Get_Generation(), 0);
  EXPECT_EQ(root.Get_GenerationLimit(), 0u);
  EXPECT_FALSE(root.Get_UseFitnessCutoff());
  EXPECT_EQ(ChildNames(root.Node()), std::vector<std::string>{"Generation"});
}

TEST(GeneticDocument, ValuesRoundTripThroughText) {
  auto doc = NewGeneticDocument();
  IXMLGeneticDocumentType root = doc.Root();
  root.Set_DiversityLimit(0.02f);
  root.Set_UseFitnessCutoff(true);
  root.Set_GenerationLimit(4000000000u);
  root.Set_Generation(-3);
  EXPECT_EQ(root.Node().FindChild("DiversityLimit").Text(), "0.02");
  EXPECT_EQ(root.Node().FindChild("UseFitnessCutoff").Text(), "True");
  EXPECT_EQ(root.Get_DiversityLimit(), 0.02f);
  EXPECT_EQ(root.Get_GenerationLimit(), 4000000000u);
  EXPECT_EQ(root.Get_Generation(), -3);

  auto reproduction = IXMLReproductionType(root.Node().AddChild("Reproduction"));
  reproduction.Get_SelectionMethod().Set_TournamentField(5);
  reproduction.Set_MutationProbability(0.25f);
  EXPECT_EQ(ChildNames(reproduction.Node()), (std::vector<std::string>{"SelectionMethod", "MutationProbability"}));
  EXPECT_EQ(reproduction.Get_SelectionMethod().Get_TournamentField(), 5);
  EXPECT_EQ(reproduction.Get_MutationProbability(), 0.25f);
}

TEST(GeneticDocument, DocumentFunctionsReportBadInput) {
  TXMLDocument other = LoadXMLData("<GeneticAlgorithm/>");
  EXPECT_THROW(GetGeneticDocument(other), EXMLDocError);
  EXPECT_THROW(LoadGeneticDocument("/nonexistent/settings.xml"), EFOpenError);
  TXMLDocument bad = LoadXMLData("<GeneticDocument><Generation>x1</Generation></GeneticDocument>");
  EXPECT_THROW(GetGeneticDocument(bad).Get_Generation(), EConvertError);
  TXMLDocument negative = LoadXMLData("<GeneticDocument><GenerationLimit>-1</GenerationLimit></GeneticDocument>");
  EXPECT_THROW(GetGeneticDocument(negative).Get_GenerationLimit(), EConvertError);
}

// --- SaveToXML / LoadFromXML ----------------------------------------------------------------

TEST(SettingsXML, SaveWritesTheElevenElementsInOrder) {
  TMXCustomGeneticComponent c;
  Populate(c, {"a", "bbb"});
  c.SetFitnessMethod(fmMaximize);
  c.SetUseGenerationLimit(true);
  c.SetGenerationLimit(40);
  c.Initialize();
  auto doc = NewGeneticDocument();
  c.SaveToXML(doc.Root());
  EXPECT_EQ(ChildNames(doc.Root().Node()),
            (std::vector<std::string>{"DiversityLimit", "FitnessCutoff", "FitnessMethod", "Generation",
                                      "UseDiversityLimit", "UseFitnessCutoff", "GenerationLimit", "UseGenerationLimit",
                                      "AvgFitness", "MaxFitness", "MinFitness"}));
  const IXMLGeneticDocumentType root = doc.Root();
  EXPECT_EQ(root.Get_FitnessMethod(), "fmMaximize");
  EXPECT_EQ(root.Get_GenerationLimit(), 40u);
  EXPECT_TRUE(root.Get_UseGenerationLimit());
  EXPECT_EQ(root.Get_AvgFitness(), 2.0f);
  EXPECT_EQ(root.Get_MaxFitness(), 3.0f);
  EXPECT_EQ(root.Get_MinFitness(), 1.0f);
}

TEST(SettingsXML, FreshRoundTripKeepsEverySettingButNarrowsDiversityLimit) {
  TMXCustomGeneticComponent source;
  auto doc = NewGeneticDocument();
  source.SaveToXML(doc.Root());

  TMXCustomGeneticComponent target;
  TSettings expected = SettingsOf(target);
  target.LoadFromXML(doc.Root());
  expected.DiversityLimit = 0.019999999552965164;
  EXPECT_EQ(SettingsOf(target), expected);
  EXPECT_EQ(target.GenerationLimit(), 0);  // equal to the current value: the setter is not applied

  TMXCustomGeneticComponent limited;
  limited.SetGenerationLimit(5);
  limited.LoadFromXML(doc.Root());
  EXPECT_EQ(limited.GenerationLimit(), 1);
}

TEST(SettingsXML, ChangedSettingsRoundTrip) {
  TMXCustomGeneticComponent source;
  source.SetDiversityLimit(0.25);
  source.SetFitnessCutoff(-12.5);
  source.SetFitnessMethod(fmWeightedMaximize);
  source.SetGeneration(17);
  source.SetUseDiversityLimit(true);
  source.SetUseFitnessCutoff(true);
  source.SetGenerationLimit(300);
  source.SetUseGenerationLimit(true);
  TMXCustomGeneticComponent target;
  TStringStream in(StreamText(source));
  target.LoadFromStream(in);
  EXPECT_EQ(SettingsOf(target), SettingsOf(source));
}

TEST(SettingsXML, LoadReadsOnlyTheSettingsItNames) {
  TMXCustomGeneticComponent c;
  Populate(c, {"x", "yy"});
  c.Initialize();
  c.SetMutationProbability(0.3);
  c.SetInitialPopulation(7);
  c.SetSelectionMethod(smTournament);
  const double maxFitness = c.MaxFitness();
  TMXIndividual* fittest = c.FittestIndividual();
  TXMLDocument doc = LoadXMLData(
      "<GeneticDocument><Generation>9</Generation><MaxFitness>99</MaxFitness><AvgFitness>5</AvgFitness>"
      "<Extra>ignored</Extra><UseFitnessCutoff>TRUE</UseFitnessCutoff></GeneticDocument>");
  c.LoadFromXML(GetGeneticDocument(doc));
  EXPECT_EQ(c.Generation(), 9);
  EXPECT_TRUE(c.UseFitnessCutoff());
  EXPECT_EQ(c.MaxFitness(), maxFitness);
  EXPECT_EQ(c.FittestIndividual(), fittest);
  EXPECT_EQ(c.Population()->Count(), 2);
  EXPECT_TRUE(c.Initialized());
  EXPECT_EQ(c.MutationProbability(), 0.3);
  EXPECT_EQ(c.InitialPopulation(), 7);
  EXPECT_EQ(c.SelectionMethod(), smTournament);
}

TEST(SettingsXML, BooleanTextIsTrueOnlyForTrueInAnyCase) {
  for (const char* text : {"TRUE", "True", "tRuE"}) {
    TMXCustomGeneticComponent c;
    TXMLDocument doc = LoadXMLData(std::string("<GeneticDocument><UseFitnessCutoff>") + text +
                                   "</UseFitnessCutoff></GeneticDocument>");
    c.LoadFromXML(GetGeneticDocument(doc));
    EXPECT_TRUE(c.UseFitnessCutoff()) << text;
  }
  for (const char* text : {"1", "yes", "on", ""}) {
    TMXCustomGeneticComponent c;
    c.SetUseFitnessCutoff(true);
    TXMLDocument doc = LoadXMLData(std::string("<GeneticDocument><UseFitnessCutoff>") + text +
                                   "</UseFitnessCutoff></GeneticDocument>");
    c.LoadFromXML(GetGeneticDocument(doc));
    EXPECT_FALSE(c.UseFitnessCutoff()) << text;
  }
}

TEST(SettingsXML, FitnessMethodIsKeptWhenMissingOrUnknown) {
  TMXCustomGeneticComponent c;
  c.SetFitnessMethod(fmMaximize);
  TXMLDocument none = LoadXMLData("<GeneticDocument/>");
  c.LoadFromXML(GetGeneticDocument(none));
  EXPECT_EQ(c.FitnessMethod(), fmMaximize);
  TXMLDocument unknown = LoadXMLData("<GeneticDocument><FitnessMethod>fmBest</FitnessMethod></GeneticDocument>");
  c.LoadFromXML(GetGeneticDocument(unknown));
  EXPECT_EQ(c.FitnessMethod(), fmMaximize);
  TXMLDocument known =
      LoadXMLData("<GeneticDocument><FitnessMethod>fmWeightedMinimize</FitnessMethod></GeneticDocument>");
  c.LoadFromXML(GetGeneticDocument(known));
  EXPECT_EQ(c.FitnessMethod(), fmWeightedMinimize);
}

TEST(SettingsXML, OutOfRangeValuesAreClampedBySetters) {
  TMXCustomGeneticComponent c;
  c.SetGenerationLimit(10);
  TXMLDocument doc = LoadXMLData(
      "<GeneticDocument><DiversityLimit>3.5</DiversityLimit><GenerationLimit>0</GenerationLimit></GeneticDocument>");
  c.LoadFromXML(GetGeneticDocument(doc));
  EXPECT_EQ(c.DiversityLimit(), 1.0);
  EXPECT_EQ(c.GenerationLimit(), 1);
  TXMLDocument huge = LoadXMLData("<GeneticDocument><GenerationLimit>4294967295</GenerationLimit></GeneticDocument>");
  c.LoadFromXML(GetGeneticDocument(huge));
  EXPECT_EQ(c.GenerationLimit(), std::numeric_limits<int>::max());
}

TEST(SettingsXML, BadNumberChangesNothing) {
  for (const char* element : {"DiversityLimit", "FitnessCutoff", "Generation", "GenerationLimit"}) {
    TMXCustomGeneticComponent c;
    const TSettings before = SettingsOf(c);
    const std::string text = std::string("<GeneticDocument><FitnessMethod>fmMaximize</FitnessMethod>") +
                             "<UseDiversityLimit>True</UseDiversityLimit><" + element + ">1.2.3</" + element +
                             "></GeneticDocument>";
    TStringStream in(text);
    EXPECT_THROW(c.LoadFromStream(in), EConvertError) << element;
    EXPECT_EQ(SettingsOf(c), before) << element;
  }
}

// --- Streams and files ------------------------------------------------------------------------

TEST(SettingsStreams, SaveToStreamWritesAnIndentedDocument) {
  TMXCustomGeneticComponent c;
  const std::string text = StreamText(c);
  EXPECT_EQ(text.rfind("<?xml version=\"1.0\"", 0), 0u) << text;
  EXPECT_NE(text.find("<GeneticDocument>\n  <DiversityLimit>0.02</DiversityLimit>\n"), std::string::npos) << text;
}

TEST(SettingsStreams, UnreadableInputLeavesTheComponentUnchanged) {
  TMXCustomGeneticComponent c;
  c.SetGeneration(4);
  const TSettings before = SettingsOf(c);
  TStringStream malformed("<GeneticDocument><Generation>5</Generation>");
  EXPECT_THROW(c.LoadFromStream(malformed), EXMLDocError);
  TStringStream empty("");
  EXPECT_THROW(c.LoadFromStream(empty), EXMLDocError);
  TStringStream otherRoot("<GeneticAlgorithm><Generation>5</Generation></GeneticAlgorithm>");
  EXPECT_THROW(c.LoadFromStream(otherRoot), EXMLDocError);
  EXPECT_THROW(c.LoadFromFile("/nonexistent/settings.xml"), EFOpenError);
  EXPECT_EQ(SettingsOf(c), before);
}

TEST(SettingsStreams, FileRoundTripAndUncreatableFile) {
  const std::string path = testing::TempDir() + "evokit_settings_test.xml";
  TMXCustomGeneticComponent source;
  source.SetGeneration(21);
  source.SetFitnessMethod(fmMaximize);
  source.SaveToFile(path);
  TMXCustomGeneticComponent target;
  target.LoadFromFile(path);
  EXPECT_EQ(target.Generation(), 21);
  EXPECT_EQ(target.FitnessMethod(), fmMaximize);
  EXPECT_EQ(LoadGeneticDocument(path)->Get_Generation(), 21);
  std::remove(path.c_str());
  EXPECT_THROW(source.SaveToFile("/nonexistent-dir/settings.xml"), EFCreateError);
}

// --- Report ---------------------------------------------------------------------------------

TEST(Report, FreshComponent) {
  TMXCustomGeneticComponent c;
  EXPECT_EQ(Lines(c.ToString()),
            (std::vector<std::string>{"Operating Conditions", "   Fitness Method = fmMinimize",
                                      "   Crossover Probability = 98.00%", "   Inversion Probability = 10.00%",
                                      "   Mutation Probability = 1.00%",
                                      "   Selection Method = smStochasticTournament", "Initial Conditions",
                                      "   Population = 100", "There are no Termination Conditions"}));
}

TEST(Report, TerminationConditionsAndPercentages) {
  TMXCustomGeneticComponent c;
  c.SetFitnessMethod(fmWeightedMaximize);
  c.SetCrossoverProbability(0.555);
  c.SetInversionProbability(1);
  c.SetMutationProbability(0);
  c.SetSelectionMethod(smElitist);
  c.SetInitialPopulation(0);
  c.SetUseFitnessCutoff(true);
  c.SetFitnessCutoff(0.5);
  c.SetUseDiversityLimit(true);
  c.SetUseGenerationLimit(true);
  c.SetGenerationLimit(250);
  TStringList lines;
  lines.Add("kept");
  c.Describe(&lines, "\t");
  std::vector<std::string> got;
  for (int i = 0; i < lines.Count(); ++i) got.push_back(lines.Strings(i));
  EXPECT_EQ(got, (std::vector<std::string>{"kept", "Operating Conditions", "\tFitness Method = fmWeightedMaximize",
                                           "\tCrossover Probability = 56.00%", "\tInversion Probability = 1.0E2%",
                                           "\tMutation Probability = 0.00%", "\tSelection Method = smElitist",
                                           "Initial Conditions", "\tPopulation = 0", "Termination Conditions",
                                           "\tFitness >= 0.5", "\tDiversity less than 2.00%",
                                           "\tMaximum number of generations = 250"}));
}

TEST(Report, EachTerminationConditionAlone) {
  TMXCustomGeneticComponent c;
  c.SetUseDiversityLimit(true);
  std::vector<std::string> lines = Lines(c.ToString());
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 8, lines.end()),
            (std::vector<std::string>{"Termination Conditions", "   Diversity less than 2.00%"}));
  c.SetUseDiversityLimit(false);
  c.SetUseFitnessCutoff(true);
  c.SetFitnessCutoff(1e-7);
  lines = Lines(c.ToString());
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 8, lines.end()),
            (std::vector<std::string>{"Termination Conditions", "   Fitness <= 1E-7"}));
}

// --- Assign ---------------------------------------------------------------------------------

TEST(Assign, CopiesTheListedStateAndPopulations) {
  TMXCustomGeneticComponent source;
  Populate(source, {"a", "bbbbb", "cc"});
  source.SetFitnessMethod(fmMaximize);
  source.Initialize();
  source.Population()->Items(2)->SetName("ccc");  // the previous generation keeps "cc"
  source.EvaluateFitness();
  source.SetGeneration(6);
  source.SetFitnessCutoff(3.5);
  source.SetMutationProbability(0.2);
  source.SetInversionProbability(0.3);
  source.SetCrossoverProbability(0.4);
  source.SetElitistPct(0.5);
  source.SetDiversityLimit(0.6);
  source.SetGenerationLimit(70);
  source.SetTournamentField(5);
  source.SetUseFitnessCutoff(true);
  source.SetUseDiversityLimit(true);
  source.SetUseGenerationLimit(true);
  source.SetInitialDuplicatesRetries(3);
  source.SetSelectionMethod(smTournament);
  source.SetInitialPopulation(44);
  source.SetOperations({goMutate});

  TMXCustomGeneticComponent target;
  Populate(target, {"zzzzzzzz"});
  const TNotifyEvent onEvolve = [](TObject*) {};
  target.SetOnEvolve(onEvolve);
  target.Assign(&source);

  TSettings expected = SettingsOf(source);
  expected.InitialPopulation = 1;  // not copied
  expected.Operations = TGAGeneticOperations{goCrossover, goMutate, goInvert}.Value();  // not copied
  EXPECT_EQ(SettingsOf(target), expected);
  EXPECT_EQ(target.MaxFitness(), 5);
  EXPECT_EQ(target.MinFitness(), 1);
  EXPECT_EQ(target.AvgFitness(), source.AvgFitness());
  EXPECT_TRUE(static_cast<bool>(target.OnEvolve()));

  ASSERT_EQ(target.Population()->Count(), 3);
  EXPECT_NE(target.Population(), source.Population());
  EXPECT_EQ(target.Population()->Items(2)->Name(), "ccc");
  ASSERT_NE(target.PreviousGeneration(), nullptr);
  EXPECT_NE(target.PreviousGeneration(), source.PreviousGeneration());
  ASSERT_EQ(target.PreviousGeneration()->Count(), 3);
  EXPECT_EQ(target.PreviousGeneration()->Items(2)->Name(), "cc");
  ASSERT_EQ(source.FittestIndividual(), source.Population()->Items(1));
  EXPECT_EQ(target.FittestIndividual(), target.Population()->Items(1));
}

TEST(Assign, FittestIsClearedWhenNotInTheSourcePopulation) {
  TMXCustomGeneticComponent source;
  Populate(source, {"a", "bb"});
  source.Initialize();
  source.SwapGenerations();  // the fittest now sits in the previous generation
  TMXCustomGeneticComponent target;
  target.Assign(&source);
  EXPECT_NE(source.FittestIndividual(), nullptr);
  EXPECT_EQ(target.FittestIndividual(), nullptr);
}

TEST(Assign, SelfAndForeignSources) {
  TMXCustomGeneticComponent c;
  Populate(c, {"a", "bb"});
  c.Initialize();
  TMXIndividual* fittest = c.FittestIndividual();
  c.Assign(&c);
  EXPECT_EQ(c.Population()->Count(), 2);
  EXPECT_EQ(c.FittestIndividual(), fittest);
  TStringList notAComponent;
  try {
    c.Assign(&notAComponent);
    FAIL() << "no exception";
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "Cannot assign a TStringList to a TMXCustomGeneticComponent");
  }
}

// --- Component streaming of the float settings ----------------------------------------------

TEST(Streaming, FloatSettingsAreWrittenOnlyWhenTheyDifferFromTheirDefaults) {
  TStreamedComponent source;
  TStringStream fresh;
  WriteComponent(fresh, &source);
  EXPECT_EQ(fresh.DataString(), "object TStreamedComponent\nend\n");

  source.SetMutationProbability(0);
  source.SetCrossoverProbability(0.5);
  source.SetFitnessCutoff(std::numeric_limits<double>::quiet_NaN());
  EXPECT_TRUE(source.IsMutationProbabilityStored());
  EXPECT_TRUE(source.IsFitnessCutoffStored());
  EXPECT_FALSE(source.IsInversionProbabilityStored());
  TStringStream out;
  WriteComponent(out, &source);
  const std::string text = out.DataString();
  EXPECT_NE(text.find("  MutationProbability = 0\n"), std::string::npos) << text;
  EXPECT_NE(text.find("  CrossoverProbability = 0.5\n"), std::string::npos) << text;
  EXPECT_NE(text.find("  FitnessCutoff = NAN\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("InversionProbability"), std::string::npos) << text;

  TStreamedComponent target;
  TStringStream in(text);
  ReadComponent(in, &target);
  EXPECT_EQ(target.MutationProbability(), 0.0);  // not the default 0.01
  EXPECT_EQ(target.CrossoverProbability(), 0.5);
  EXPECT_TRUE(std::isnan(target.FitnessCutoff()));
  EXPECT_EQ(target.InversionProbability(), INVERSION_PROBABILITY);
}

TEST(Streaming, StoredTestsCompareWithTheDefaultConstants) {
  TMXCustomGeneticComponent c;
  EXPECT_FALSE(c.IsFitnessCutoffStored() || c.IsDiversityLimitStored() || c.IsElitistPctStored() ||
               c.IsCrossoverProbabilityStored() || c.IsInversionProbabilityStored() ||
               c.IsMutationProbabilityStored());
  c.SetDiversityLimit(0.03);
  c.SetElitistPct(0.09);
  c.SetInversionProbability(0.11);
  EXPECT_TRUE(c.IsDiversityLimitStored());
  EXPECT_TRUE(c.IsElitistPctStored());
  EXPECT_TRUE(c.IsInversionProbabilityStored());
}

// --- Individuals and populations ------------------------------------------------------------

TEST(PopulationXML, BaseIndividualsAreElementsNamedByDisplayName) {
  TMXCustomGeneticComponent c;
  c.Population()->Add();
  c.Population()->Add();
  c.Population()->Add()->SetName("Named");
  auto doc = NewGeneticDocument();
  c.Population()->SaveToXML(doc.Root().Node());
  EXPECT_EQ(ChildNames(doc.Root().Node()), (std::vector<std::string>{"TMXIndividual", "TMXIndividual", "Named"}));
  EXPECT_FALSE(doc.Root().Node().Child("Named").HasChildNodes());

  c.Population()->Items(0)->SetName("keep?");
  c.Population()->LoadFromXML(doc.Root().Node());
  ASSERT_EQ(c.Population()->Count(), 3);
  EXPECT_EQ(c.Population()->Items(0)->Name(), "");  // new individuals; the base reads nothing

  TXMLDocument none = LoadXMLData("<Chromosomes><!-- nothing --></Chromosomes>");
  c.Population()->LoadFromXML(none.DocumentElement());
  EXPECT_EQ(c.Population()->Count(), 0);
}

TEST(PopulationXML, AnUnusableDisplayNameIsAnXMLError) {
  TMXCustomGeneticComponent c;
  c.Population()->Add()->SetName("two words");
  auto doc = NewGeneticDocument();
  EXPECT_THROW(c.Population()->SaveToXML(doc.Root().Node()), EXMLDocError);
}
