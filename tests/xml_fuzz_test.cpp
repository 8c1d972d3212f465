// Damaged documents: thousands of mutations of a valid GeneticAlgorithm document and of a
// valid GPDomain document are fed to their loaders. Each must either load or raise one of
// the library's exceptions (derived from evokit::Exception), and the objects must stay
// usable afterwards; anything else (a foreign exception, a crash, a sanitizer report) is
// a fault.
#include "gp_test_support.h"
#include "support.h"
#include "xml_mutator.h"

#include <evokit/platform/streams.h>

#include <gtest/gtest.h>

using namespace evokit;

namespace {

// Feeds 2500 mutations of Valid to Load(text, index); a good share must load and a good
// share must be refused.
template <class F>
void Fuzz(const std::string& Valid, std::uint64_t Seed, std::vector<std::string> Words, F&& Load) {
  constexpr int kDocuments = 2500;
  xmlfuzz::TXMLMutator mutator(Seed, std::move(Words));
  int loaded = 0, refused = 0;
  for (int i = 0; i < kDocuments; ++i) {
    const std::string text = mutator.Mutate(Valid);
    try {
      Load(text, i);
      ++loaded;
    } catch (const evokit::Exception&) {
      ++refused;
    } catch (const std::exception& e) {
      ADD_FAILURE() << "foreign exception " << e.what() << "\nfor the document\n" << text;
    }
  }
  EXPECT_TRUE(loaded > kDocuments / 10 && refused > kDocuments / 10) << loaded << " loaded, " << refused << " refused";
}

}  // namespace

TEST(XMLFuzz, MutatedGeneticAlgorithmDocumentsLoadOrRaise) {
  TMXGeneticAlgorithm source, reused;  // one gene of each kind, the enumeration's values valid
  test::AddGene(source, gtBoolean, 1, false, "Flag");
  test::AddGene(source, gtInteger, 6, true, "Count");
  test::AddGene(source, gtFloat, 32, false, "Weight");
  TMXGAGene* colour = test::AddEnumeration(*source.Genes(), {"red", "green", "blue"}, "Colour");
  source.SetOnEvaluateFitness(test::CountBits), source.SetInitialPopulation(6), source.SetSelectionMethod(smTournament);
  RandSeed(3);
  source.Evolve(2);
  for (int i = 0; i < source.Population()->Count(); ++i) colour->SetAsEnumeration(i, i % 2 ? "blue" : "red");
  TStringStream out;
  source.SaveToStream(out);
  reused.SetOnEvaluateFitness(test::CountBits);
  Fuzz(out.DataString(), 20261206,
       {"cmBitBoundary", "smCustom", "fmMaximize", "BooleanGene", "EnumerationGene", "Chromosome", "Genes", "GenoType",
        "Domain", "Reproduction", "red", "x"},
       [&](const std::string& Text, int Index) {
         // Every other document goes into a component that loaded the ones before it; a
         // quarter of the components must go on evolving and saving (or refuse to).
         TMXGeneticAlgorithm fresh;
         fresh.SetOnEvaluateFitness(test::CountBits);
         TMXGeneticAlgorithm& ga = Index % 2 ? reused : fresh;
         TStringStream in(Text), saved;
         ga.LoadFromStream(in);
         if (Index % 4 == 3) ga.Evolve(1), ga.SaveToStream(saved);
       });
}

TEST(XMLFuzz, MutatedGPDomainDocumentsLoadOrRaise) {
  gptest::TTestEngine source;
  gptest::AddArithmetic(source);
  std::vector<gptest::TTree> programs;
  for (const char* text : {"(Add x (Mul c:2.5 (Div y c:4)))", "(Sub x y)"})
    programs.emplace_back(gptest::BuildTree(*source.GetInstructions(), text));
  Fuzz(gptest::SaveDomain(source, programs), 77,
       {"Function", "Variable", "Constant", "FloatConstant", "VariantConstant", "DNA", "Child", "Individual",
        "Population", "Instructions", "Add", "x", "c"},
       [](const std::string& Text, int Index) {
         gptest::TTestEngine engine(Index % 2 ? 2 : INT_MAX, Index % 2 == 1);  // tree and binary nodes
         gptest::AddArithmetic(engine);
         std::vector<gptest::TTree> trees = gptest::LoadDomain(engine, Text);
         for (gptest::TTree& tree : trees) tree.reset(tree->Clone(nullptr)), (void)gptest::Shape(*tree);
         gptest::SaveDomain(engine, trees);
       });
}
