// GP documents: the input is loaded as the document its root element names.
// GPDomain and Instructions roots load the instruction set; GPDomain and Population roots
// load each individual's program (the fittest individual first, when there is one) into a
// root node made from the set's first instruction. Each such document goes to three
// owners: an engine making n-ary float nodes, an engine making binary float nodes (both
// see every change of their set), and a variant instruction set without an engine. A
// Population root is read against the owner's starting set. GeneticProgram roots load
// into a float GP component, a binary one and a float executor, and GPDomain roots into
// the executor too. After a successful load the owner is saved, and that text must load
// again, saving settling (RequireReloads).
#include "fuzz_support.h"

#include "gp_test_support.h"

#include <evokit/gp/gp.h>
#include <evokit/platform/streams.h>
#include <evokit/platform/xml.h>

#include <memory>
#include <type_traits>
#include <vector>

using namespace evokit;

namespace {

template <class T>
using TTree = std::unique_ptr<TMXGPNode<T>>;

// Loads the programs of Population (and FittestIndividual, when given) as nodes made from
// the set's first instruction; Make creates the root node.
template <class T, class F>
std::vector<TTree<T>> LoadPrograms(TMXGPInstructions<T>& Set, const IXMLIndividualType* Fittest,
                                   const IXMLGPPopulation& Population, F&& Make) {
  std::vector<TTree<T>> programs;
  const auto load = [&](const IXMLIndividualType& Individual) {
    (void)Individual.Get_Name(), (void)Individual.Get_Fitness();
    programs.emplace_back(Make(Set.Count() ? Set.Items(0) : nullptr));
    programs.back()->LoadFromXML(Individual.Get_DNA());
  };
  if (Fittest) load(*Fittest);
  for (int i = 0; i < Population.Count(); ++i) load(Population.Get_Individual(i));
  return programs;
}

// The domain text of a set and its programs, the first as the fittest individual.
template <class T>
std::string SaveDomain(const TMXGPInstructions<T>& Set, const std::vector<TTree<T>>& Programs) {
  auto doc = NewGPDomain();
  Set.SaveToXML(doc->Get_Instructions());
  for (std::size_t i = 0; i < Programs.size(); ++i) {
    const IXMLIndividualType individual = i == 0 ? doc->Get_FittestIndividual() : doc->Get_Population().Add();
    individual.Set_Name("p" + std::to_string(i));
    Programs[i]->SaveToXML(individual.Get_DNA());
  }
  return doc.Document().XML();
}

// Loads Text into Set (through Make's nodes) and returns the saved domain, or "" for
// another root. (A program that uses an unnamed instruction refuses to be saved.)
template <class T, class F>
std::string LoadAndSave(const std::string& Text, TMXGPInstructions<T>& Set, F&& Make) {
  TXMLDocument doc = LoadXMLData(Text);
  const std::string root = doc.DocumentElement().NodeName();
  std::string saved;
  if (root == "Instructions") {
    Set.LoadFromXML(GetGPInstructions(doc));
    saved = SaveDomain<T>(Set, {});
  } else if (root == "Population") {
    saved = SaveDomain(Set, LoadPrograms(Set, nullptr, GetGPPopulation(doc), Make));
  } else if (root == "GPDomain") {
    const IXMLGPDomainType domain = GetGPDomain(doc);
    Set.LoadFromXML(domain.Get_Instructions());
    const IXMLIndividualType fittest(domain.Node().FindChild("FittestIndividual"));
    saved = SaveDomain(Set, LoadPrograms(Set, fittest ? &fittest : nullptr, domain.Get_Population(), Make));
  }
  return saved;
}

// Loads a GeneticProgram (or, for the executor, a GPDomain) text into a fresh Owner and
// returns what it saves; "" for another root.
template <class TOwner>
std::string Program(const std::string& Text) {
  TXMLDocument doc = LoadXMLData(Text);
  const std::string root = doc.DocumentElement().NodeName();
  TOwner owner;
  if (root == "GeneticProgram") owner.LoadFromXML(GetGeneticProgram(doc));
  else if (root == "GPDomain" && std::is_same_v<TOwner, TMXGeneticProgrammingExecutor>) owner.LoadFromXML(GetGPDomain(doc));
  else return std::string();
  TStringStream out;
  owner.SaveToStream(out);
  return out.DataString();
}

std::string FloatEngine(const std::string& Text, bool Binary) {
  gptest::TTestEngine engine(Binary ? 2 : INT_MAX, Binary);
  gptest::AddArithmetic(engine);
  return LoadAndSave(Text, *engine.GetInstructions(), [&](TMXGPInstruction<double>* I) {
    return engine.CreateNode(I, nullptr);
  });
}

std::string VariantSet(const std::string& Text) {
  TMXGPVariantInstructions set(nullptr);
  for (const char* name : {"Add", "Sub"}) {
    TMXGPInstruction<Variant>* item = set.Add();
    item->SetName(name), item->SetOperation(gpFunction), item->SetArity(2);
  }
  TMXGPInstruction<Variant>* x = set.Add();
  x->SetName("x"), x->SetOperation(gpVariable);
  return LoadAndSave(Text, set, [](TMXGPInstruction<Variant>* I) { return new TMXGPVariantNode(I); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  const std::string text = fuzz::Text(Data, Size);
  for (int owner = 0; owner < 6; ++owner) {
    const auto load = [owner](const std::string& Text) {
      switch (owner) {
        case 2: return VariantSet(Text);
        case 3: return Program<TMXGeneticProgramming>(Text);
        case 4: return Program<TMXBinaryGeneticProgramming>(Text);
        case 5: return Program<TMXGeneticProgrammingExecutor>(Text);
        default: return FloatEngine(Text, owner == 1);
      }
    };
    std::string saved;
    if (fuzz::Accepted([&] { saved = load(text); }) && !saved.empty()) fuzz::RequireReloads(saved, load);
  }
  return 0;
}
