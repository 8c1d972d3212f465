// Loading program trees from DNA elements: a root with N leaf children, and a chain N
// nodes deep. Reports nodes loaded per second, which stays flat as N grows when loading
// is linear (each load also destroys the tree the previous one made).
#include <evokit/gp/float_variant_programs.h>
#include <evokit/gp/gp_document.h>

#include <benchmark/benchmark.h>

#include <memory>
#include <string>

namespace {

using namespace evokit;

// A GPDomain text whose fittest individual has N + 1 nodes: Add over N x leaves (wide),
// or N nested Neg nodes over one x (deep).
std::string DomainText(int N, bool Wide) {
  std::string text = "<GPDomain><Instructions><Function Name=\"Add\" Arity=\"2\"/><Function Name=\"Neg\" Arity=\"1\"/>"
                     "<Variable Name=\"x\"/></Instructions><FittestIndividual><DNA Instruction=\"";
  text += Wide ? "Add\">" : "Neg\">";
  for (int i = 1; i < N; ++i) text += Wide ? "<Child Instruction=\"x\"/>" : "<Child Instruction=\"Neg\">";
  text += "<Child Instruction=\"x\"/>";
  for (int i = 1; !Wide && i < N; ++i) text += "</Child>";
  return text + "</DNA></FittestIndividual></GPDomain>";
}

void LoadTree(benchmark::State& state, bool Wide) {
  const int n = static_cast<int>(state.range(0));
  TXMLDocument doc = LoadXMLData(DomainText(n, Wide));
  const IXMLGPDomainType domain = GetGPDomain(doc);
  TMXGPFloatInstructions set(nullptr);
  set.LoadFromXML(domain.Get_Instructions());
  const IXMLDnaType dna = domain.Get_FittestIndividual().Get_DNA();
  TMXGPFloatNode root(set.Items(0));
  for (auto _ : state) {
    root.SetInstruction(set.Items(0));
    root.LoadFromXML(dna);
  }
  if (root.Size() != n + 1) state.SkipWithError("wrong tree size");
  state.SetItemsProcessed(state.iterations() * (n + 1));
}

void BM_LoadWideTree(benchmark::State& state) { LoadTree(state, true); }
void BM_LoadDeepTree(benchmark::State& state) { LoadTree(state, false); }

}  // namespace

BENCHMARK(BM_LoadWideTree)->Arg(1000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadDeepTree)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);
