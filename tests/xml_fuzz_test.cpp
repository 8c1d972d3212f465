// Damaged documents: thousands of mutations of a valid GeneticAlgorithm document and of a
// valid GPDomain document are fed to their loaders. Each must either load or raise one of
// the library's exceptions (derived from evokit::Exception), and the objects must stay
// usable afterwards; anything else (a foreign exception, a crash, a sanitizer report) is
// a fault.
#include "gp_test_support.h"
#include "xml_mutator.h"

#include <evokit/ga/ga.h>
#include <evokit/gp/gp_document.h>
#include <evokit/platform/random.h>
#include <evokit/platform/streams.h>

#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <optional>
#include <string>
#include <typeinfo>
#include <vector>

using namespace evokit;

namespace {

constexpr int kDocuments = 2500;

struct TTally {
  int Loaded = 0;
  int Refused = 0;
};

// Runs Step; true when it completed. A library exception counts as a refusal; any other
// exception fails the test, naming the document.
template <class F>
bool Attempt(F&& Step, const std::string& Text, TTally* Tally = nullptr) {
  try {
    Step();
    if (Tally) ++Tally->Loaded;
    return true;
  } catch (const evokit::Exception&) {
    if (Tally) ++Tally->Refused;
  } catch (const std::exception& e) {
    ADD_FAILURE() << "foreign exception " << typeid(e).name() << ": " << e.what() << "\nfor the document\n" << Text;
  } catch (...) {
    ADD_FAILURE() << "unknown exception for the document\n" << Text;
  }
  return false;
}

void CountBits(TObject*, TMXIndividual* Item, TGAFitness& Fitness) {
  Fitness = static_cast<TMXGAIndividual*>(Item)->Bits()->CountSetBits();
}

// A small evolved GA with one gene of each kind (the enumeration fields hold valid names).
std::string ValidGADocument() {
  TMXGeneticAlgorithm ga;
  auto add = [&](const char* Name, TGeneType Type, int Size, bool Signed) {
    TMXGAGene* gene = ga.Genes()->Add();
    gene->SetName(Name);
    gene->SetGeneType(Type);
    gene->SetPreserveSignBit(Signed);
    gene->SetSize(Size);
    return gene;
  };
  add("Flag", gtBoolean, 1, false);
  add("Count", gtInteger, 6, true);
  add("Weight", gtFloat, 32, false);
  TMXGAGene* colour = add("Colour", gtEnumeration, 0, false);
  for (const char* name : {"red", "green", "blue"}) colour->Enumerations()->Add(name);
  ga.SetOnEvaluateFitness(CountBits);
  ga.SetFitnessMethod(fmMaximize);
  ga.SetInitialPopulation(6);
  ga.SetSelectionMethod(smTournament);
  ga.SetUseGenerationLimit(true);
  ga.SetGenerationLimit(50);
  RandSeed(3);
  ga.Evolve(2);
  for (int i = 0; i < ga.Population()->Count(); ++i) colour->SetAsEnumeration(i, i % 2 ? "blue" : "red");
  ga.EvaluateFitness();
  TStringStream out;
  ga.SaveToStream(out);
  return out.DataString();
}

// A GP domain: the arithmetic set, a fittest program and a population of three.
std::string ValidGPDocument() {
  gptest::TTestEngine engine;
  gptest::AddArithmetic(engine);
  auto doc = NewGPDomain();
  engine.SaveToXML(doc.Root());
  const std::vector<std::string> programs{"(Add x (Mul c:2.5 (Div y c:4)))", "(Sub x y)", "(Mul (Add x x) c:-1)",
                                          "y"};
  for (std::size_t i = 0; i < programs.size(); ++i) {
    IXMLIndividualType individual =
        i == 0 ? doc->Get_FittestIndividual() : doc->Get_Population().Add();
    individual.Set_Name("p" + std::to_string(i));
    individual.Set_Fitness(static_cast<float>(i) / 4);
    std::unique_ptr<TMXGPNode<double>> tree(gptest::BuildTree(*engine.GetInstructions(), programs[i]));
    tree->SaveToXML(individual.Get_DNA());
  }
  return doc.Document().XML();
}

// Loads the GP domain Text into a fresh engine and every program in it into trees, then
// prints, copies and saves each tree.
void LoadGPDocument(const std::string& Text, bool Binary) {
  TXMLDocument doc = LoadXMLData(Text);
  const IXMLGPDomainType domain = GetGPDomain(doc);
  gptest::TTestEngine engine(Binary ? 2 : INT_MAX, Binary);
  gptest::AddArithmetic(engine);
  engine.LoadFromXML(domain);
  TMXGPInstructions<double>& set = *engine.GetInstructions();
  std::vector<IXMLDnaType> programs{domain.Get_FittestIndividual().Get_DNA()};
  const IXMLGPPopulation population = domain.Get_Population();
  for (int i = 0; i < population.Count(); ++i) programs.push_back(population.Get_Individual(i).Get_DNA());
  for (const IXMLDnaType& dna : programs) {
    std::unique_ptr<TMXGPNode<double>> root(engine.CreateNode(set.Count() > 0 ? set.Items(0) : nullptr, nullptr));
    root->LoadFromXML(dna);
    (void)root->ToString();
    (void)root->Size();
    (void)root->Depth();
    std::unique_ptr<TMXGPNode<double>> copy(root->Clone(nullptr));
    auto out = NewGPDomain();
    copy->SaveToXML(out->Get_FittestIndividual().Get_DNA());
  }
}

}  // namespace

TEST(XMLFuzz, MutatedGeneticAlgorithmDocumentsLoadOrRaise) {
  const std::string valid = ValidGADocument();
  {  // the undamaged document loads
    TMXGeneticAlgorithm ga;
    TStringStream in(valid);
    ga.LoadFromStream(in);
    ASSERT_EQ(ga.Population()->Count(), 6);
  }
  xmlfuzz::TXMLMutator mutator(20261206, {"cmBitBoundary", "cmGeneBoundary", "smElitist", "smCustom", "fmMaximize",
                                          "BooleanGene", "IntegerGene", "FloatGene", "EnumerationGene",
                                          "Chromosome", "Genes", "GenoType", "Domain", "Reproduction"});
  TTally tally;
  // Every other document goes into a component that has loaded the ones before it.
  TMXGeneticAlgorithm reused;
  reused.SetOnEvaluateFitness(CountBits);
  RandSeed(1);
  for (int i = 0; i < kDocuments; ++i) {
    const std::string text = mutator.Mutate(valid);
    std::optional<TMXGeneticAlgorithm> fresh;
    if (i % 2 == 0) fresh.emplace().SetOnEvaluateFitness(CountBits);
    TMXGeneticAlgorithm& ga = fresh ? *fresh : reused;
    Attempt(
        [&] {
          TStringStream in(text);
          ga.LoadFromStream(in);
        },
        text, &tally);
    // Loaded or not, the component still evolves and saves (or refuses with a library
    // error); checked for a quarter of the documents, fresh and reused components alike,
    // which keeps the test quick.
    if (i % 8 < 6) continue;
    Attempt(
        [&] {
          ga.Evolve(1);
          TStringStream out;
          ga.SaveToStream(out);
        },
        text);
  }
  EXPECT_GT(tally.Loaded, kDocuments / 10);
  EXPECT_GT(tally.Refused, kDocuments / 10);
}

TEST(XMLFuzz, MutatedGPDomainDocumentsLoadOrRaise) {
  const std::string valid = ValidGPDocument();
  ASSERT_TRUE(Attempt([&] { LoadGPDocument(valid, false); }, valid));
  ASSERT_TRUE(Attempt([&] { LoadGPDocument(valid, true); }, valid));
  xmlfuzz::TXMLMutator mutator(77, {"Function", "Variable", "Constant", "FloatConstant", "VariantConstant", "DNA",
                                    "Child", "Individual", "Population", "Instructions", "Add", "Mul", "x", "c"});
  TTally tally;
  for (int i = 0; i < kDocuments; ++i) {
    const std::string text = mutator.Mutate(valid);
    Attempt([&] { LoadGPDocument(text, i % 2 == 1); }, text, &tally);
  }
  EXPECT_GT(tally.Loaded, kDocuments / 10);
  EXPECT_GT(tally.Refused, kDocuments / 10);
}

TEST(XMLFuzz, MutatorIsDeterministic) {
  const std::string valid = ValidGPDocument();
  xmlfuzz::TXMLMutator a(5), b(5), c(6);
  bool differs = false;
  for (int i = 0; i < 50; ++i) {
    const std::string fromA = a.Mutate(valid);
    EXPECT_EQ(fromA, b.Mutate(valid));
    EXPECT_NE(fromA, valid);
    differs = differs || fromA != c.Mutate(valid);
  }
  EXPECT_TRUE(differs);
}
