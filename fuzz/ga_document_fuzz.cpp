// GA documents: the input is loaded as the document its root element names, into a fresh
// GA component. GeneticAlgorithm (settings, reproduction, genes, population) goes through
// LoadFromStream as an application would call it; GADomain into the component's domain;
// GenoType into its genes; Chromosomes into the population of a component with a 16-bit
// chromosome and one integer gene. After a successful load the component's document of
// the same root is saved, and that text must load again, saving settling (RequireReloads);
// a loaded GeneticAlgorithm then evolves one generation.
#include "fuzz_support.h"

#include <evokit/ga/ga.h>
#include <evokit/platform/random.h>
#include <evokit/platform/streams.h>
#include <evokit/platform/xml.h>

using namespace evokit;

namespace {

void CountBits(TObject*, TMXIndividual* Item, TGAFitness& Fitness) {
  Fitness = static_cast<TMXGAIndividual*>(Item)->Bits()->CountSetBits();
}

std::string LoadAndSave(const std::string& Text) {
  RandSeed(1);
  TMXGeneticAlgorithm ga;
  ga.SetOnEvaluateFitness(CountBits);
  TXMLDocument doc = LoadXMLData(Text);
  const std::string root = doc.DocumentElement().NodeName();
  if (root == "GeneticAlgorithm") {
    TStringStream in(Text), out;
    ga.LoadFromStream(in);
    ga.SaveToStream(out);
    ga.Evolve(1);  // a loaded component goes on breeding, or refuses with a library error
    return out.DataString();
  }
  if (root == "GADomain") {
    ga.LoadFromXML(GetGADomain(doc));
    auto saved = NewGADomain();
    ga.SaveToXML(saved.Root());
    return saved.Document().XML();
  }
  if (root == "GenoType") {
    ga.Genes()->LoadFromXML(GetGenoType(doc));
    auto saved = NewGenoType();
    ga.Genes()->SaveToXML(saved.Root());
    return saved.Document().XML();
  }
  if (root == "Chromosomes") {
    TMXGAGene* gene = ga.Genes()->Add();
    gene->SetGeneType(gtInteger);
    gene->SetSize(8);
    ga.SetGeneSize(16);
    ga.Population()->LoadFromXML(GetChromosomes(doc));
    auto saved = NewChromosomes();
    ga.Population()->SaveToXML(saved.Root());
    return saved.Document().XML();
  }
  return std::string();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  std::string saved;
  if (!fuzz::Accepted([&] { saved = LoadAndSave(fuzz::Text(Data, Size)); }) || saved.empty()) return 0;
  fuzz::RequireReloads(saved, LoadAndSave);
  return 0;
}
