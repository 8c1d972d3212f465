// Settings persistence of the evolution core: the GeneticDocument the component saves and
// loads (streams and files), Assign, the report, and the XML slots of individuals and
// populations. The GA's documents begin with these settings, so ga_xml_test pins their
// element names and order (golden document), tests their reading rules and bad values,
// and assigns components in its save-load-save property.
#include "support.h"

#include <evokit/core/genetic_component.h>
#include <evokit/core/genetic_document.h>
#include <evokit/platform/random.h>
#include <evokit/platform/streams.h>
#include <evokit/platform/strings.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

using namespace evokit;
using evokit::test::Lines;

namespace {

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

// Random values for the settings the document holds (exact in single precision), and
// with All for the others too.
void Randomize(TMXCustomGeneticComponent& C, bool All) {
  C.SetDiversityLimit(static_cast<double>(Random(129)) / 128);
  C.SetFitnessCutoff(static_cast<double>(Random(2001) - 1000) / 8);
  C.SetFitnessMethod(static_cast<TGAFitnessMethod>(Random(4)));
  C.SetGeneration(static_cast<int>(Random(1000)) - 10), C.SetGenerationLimit(1 + static_cast<int>(Random(5000)));
  C.SetUseDiversityLimit(Random(2)), C.SetUseFitnessCutoff(Random(2)), C.SetUseGenerationLimit(Random(2));
  if (!All) return;
  C.SetCrossoverProbability(Random()), C.SetInversionProbability(Random()), C.SetMutationProbability(Random());
  C.SetElitistPct(Random()), C.SetTournamentField(2 + static_cast<int>(Random(5)));
  C.SetInitialDuplicatesRetries(static_cast<int>(Random(20))), C.SetInitialPopulation(static_cast<int>(Random(50)));
  C.SetSelectionMethod(static_cast<TGASelectionMethod>(Random(5)));
  C.SetOperations(TGAGeneticOperations::FromValue(static_cast<std::uint8_t>(Random(8))));
}

// An initialised, maximising component whose individuals are told apart by name; the
// fitness is the name's length.
void Populate(TMXCustomGeneticComponent& C, std::vector<std::string> Names) {
  C.SetOnEvaluateFitness([](TObject*, TMXIndividual* Item, TGAFitness& F) { F = Item->Name().size(); });
  for (const std::string& name : Names) C.Population()->Add()->SetName(name);
  C.SetInitialPopulation(static_cast<int>(Names.size())), C.SetFitnessMethod(fmMaximize);
  C.Initialize();
}

std::string Saved(TMXCustomGeneticComponent& C) { TStringStream out; C.SaveToStream(out); return out.DataString(); }

}  // namespace

// Save, load into a component whose other settings match the source's (random ones, not
// the defaults) and save again, over random settings, through streams and files: the
// document's settings arrive, the others stay, and the second text equals the first. A
// document that is not a settings document, and a file that cannot be opened, raise their
// errors and change nothing. Bad values are tested on the GA's documents.
TEST(SettingsXML, SaveLoadSaveOverRandomSettingsAndRefusals) {
  const std::string path = testing::TempDir() + "evokit_settings_test.xml";
  for (int seed = 1; seed <= 8; ++seed) {
    SCOPED_TRACE(seed);
    TMXCustomGeneticComponent source, target;
    for (TMXCustomGeneticComponent* c : {&source, &target}) RandSeed(seed), Randomize(*c, true);
    Randomize(source, false);
    const std::string text = Saved(source);
    TStringStream in(text);
    if (seed % 2) source.SaveToFile(path), target.LoadFromFile(path);
    else target.LoadFromStream(in);
    for (const char* bad : {"<GeneticDocument><Generation>5</Generation>", "", "<GeneticAlgorithm/>"}) {
      TStringStream wrong(bad);
      EXPECT_THROW(target.LoadFromStream(wrong), EXMLDocError) << bad;
    }
    EXPECT_THROW(target.LoadFromFile("/nonexistent/settings.xml"), EFOpenError);
    EXPECT_EQ(SettingsOf(target), SettingsOf(source));
    EXPECT_EQ(Saved(target), text);
  }
  std::remove(path.c_str());
}

TEST(Report, ConditionsAndPercentages) {
  TMXCustomGeneticComponent c;
  EXPECT_EQ(Lines(c.ToString()).back(), "There are no Termination Conditions");
  c.SetUseFitnessCutoff(true), c.SetFitnessCutoff(1e-7);  // alone, and minimising
  EXPECT_EQ(Lines(c.ToString()).back(), "   Fitness <= 1E-7");
  c.SetFitnessMethod(fmWeightedMaximize), c.SetSelectionMethod(smElitist), c.SetInitialPopulation(0);
  c.SetCrossoverProbability(0.555), c.SetInversionProbability(1), c.SetMutationProbability(0);
  c.SetUseDiversityLimit(true), c.SetUseGenerationLimit(true), c.SetGenerationLimit(250);
  TStringList lines;
  c.Describe(&lines, "\t");
  EXPECT_EQ(Lines(lines.Text()),
            (std::vector<std::string>{"Operating Conditions", "\tFitness Method = fmWeightedMaximize",
                                      "\tCrossover Probability = 56.00%", "\tInversion Probability = 1.0E2%",
                                      "\tMutation Probability = 0.00%", "\tSelection Method = smElitist",
                                      "Initial Conditions", "\tPopulation = 0", "Termination Conditions",
                                      "\tFitness >= 1E-7", "\tDiversity less than 2.00%",
                                      "\tMaximum number of generations = 250"}));
}

TEST(Assign, CopiesTheStateAndPopulationsButNotTheInitialConditionsOrEvents) {
  TMXCustomGeneticComponent source, target;
  Populate(source, {"a", "bbbbb", "cc"});
  source.Population()->Items(2)->SetName("ccc");  // the previous generation keeps "cc"
  source.EvaluateFitness();
  Randomize(source, true);
  Populate(target, {"zzzzzzzz"});
  target.SetOnEvolve([](TObject*) {});
  target.Assign(&source);
  TSettings expected = SettingsOf(source);  // but for the initial population and the operations
  expected.InitialPopulation = 1, expected.Operations = TGAGeneticOperations{goCrossover, goMutate, goInvert}.Value();
  EXPECT_EQ(SettingsOf(target), expected);
  EXPECT_TRUE(target.MaxFitness() == 5 && target.MinFitness() == 1 && static_cast<bool>(target.OnEvolve()));
  ASSERT_NE(target.PreviousGeneration(), source.PreviousGeneration());
  EXPECT_EQ(target.Population()->Items(2)->Name() + target.PreviousGeneration()->Items(2)->Name(), "ccccc");
  EXPECT_EQ(target.FittestIndividual(), target.Population()->Items(1));
  source.SwapGenerations();  // the fittest now sits in the previous generation: not copied
  target.Assign(&source);
  target.Assign(&target);
  EXPECT_EQ(target.FittestIndividual(), nullptr);
  EXPECT_THROW(target.Assign(std::make_unique<TStringList>().get()), EConvertError);
}

TEST(PopulationXML, BaseIndividualsAreEmptyElementsNamedByDisplayName) {
  TMXCustomGeneticComponent c;
  c.Population()->Add(), c.Population()->Add()->SetName("Named");
  auto doc = NewGeneticDocument();
  c.Population()->SaveToXML(doc.Root().Node());
  EXPECT_EQ(doc.Document().XML(), "<?xml version=\"1.0\"?>\n<GeneticDocument><TMXIndividual/><Named/></GeneticDocument>\n");
  c.Population()->LoadFromXML(doc.Root().Node());  // new individuals; the base reads nothing
  EXPECT_EQ(c.Population()->Count() + c.Population()->Items(1)->Name().size(), 2u);
  c.Population()->Items(0)->SetName("two words");
  EXPECT_THROW(c.Population()->SaveToXML(NewGeneticDocument().Root().Node()), EXMLDocError);
}
