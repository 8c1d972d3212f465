// Saving and loading a genetic algorithm of 10,000 individuals with 1,000-bit chromosomes
// as a GeneticAlgorithm document through a memory stream, in individuals per second each
// way. Two layouts: the bare chromosome (no genes: one Bits text per individual), and
// twenty typed genes over the same 1,000 bits (fifteen 64-bit floats and five 8-bit
// integers), whose values every Chromosome element also carries.
#include <evokit/ga/ga.h>
#include <evokit/platform/random.h>
#include <evokit/platform/streams.h>

#include <benchmark/benchmark.h>

#include <memory>
#include <string>

namespace {

using namespace evokit;

constexpr int kIndividuals = 10000;
constexpr int kBits = 1000;

void CountBits(TObject*, TMXIndividual* Item, TGAFitness& Fitness) {
  Fitness = static_cast<TMXGAIndividual*>(Item)->Bits()->CountSetBits();
}

// An initialised GA with random chromosomes; Genes 0 or 20 (see above).
std::unique_ptr<TMXGeneticAlgorithm> MakeGA(int Genes) {
  auto ga = std::make_unique<TMXGeneticAlgorithm>();
  ga->SetOnEvaluateFitness(CountBits);
  ga->SetInitialPopulation(kIndividuals);
  ga->SetInitialDuplicatesRetries(0);
  if (Genes == 0) {
    ga->SetGeneSize(kBits);
  } else {
    for (int i = 0; i < Genes; ++i) {
      TMXGAGene* gene = ga->Genes()->Add();
      std::string name = "g";  // (appending avoids a false -Wrestrict of GCC 12 on "g" + text)
      name += std::to_string(i);
      gene->SetName(name);
      gene->SetGeneType(i < 15 ? gtFloat : gtInteger);
      gene->SetSize(i < 15 ? 64 : 8);
    }
  }
  RandSeed(42);
  ga->Initialize();
  return ga;
}

std::string SavedText(TMXGeneticAlgorithm& GA) {
  TStringStream out;
  GA.SaveToStream(out);
  return out.DataString();
}

void BM_SaveGeneticAlgorithm(benchmark::State& State) {
  auto ga = MakeGA(static_cast<int>(State.range(0)));
  std::size_t bytes = 0;
  // One output stream, emptied before each save: its buffer is the caller's, so its
  // first allocation is not part of what is measured.
  TMemoryStream out;
  for (auto _ : State) {
    out.Clear();
    ga->SaveToStream(out);
    bytes = static_cast<std::size_t>(out.Size());
    benchmark::DoNotOptimize(out.Memory());
  }
  State.SetItemsProcessed(State.iterations() * kIndividuals);
  State.SetBytesProcessed(State.iterations() * static_cast<std::int64_t>(bytes));
  State.counters["document_MB"] = static_cast<double>(bytes) / 1e6;
}

void BM_LoadGeneticAlgorithm(benchmark::State& State) {
  const std::string text = SavedText(*MakeGA(static_cast<int>(State.range(0))));
  TMXGeneticAlgorithm target;
  target.SetOnEvaluateFitness(CountBits);
  TStringStream in(text);  // the caller's stream, read again from its start each time
  for (auto _ : State) {
    in.SetPosition(0);
    target.LoadFromStream(in);
    benchmark::DoNotOptimize(target.Population()->Count());
  }
  if (target.Population()->Count() != kIndividuals) State.SkipWithError("the document did not load whole");
  State.SetItemsProcessed(State.iterations() * kIndividuals);
  State.SetBytesProcessed(State.iterations() * static_cast<std::int64_t>(text.size()));
}

BENCHMARK(BM_SaveGeneticAlgorithm)->ArgName("genes")->Arg(0)->Arg(20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadGeneticAlgorithm)->ArgName("genes")->Arg(0)->Arg(20)->Unit(benchmark::kMillisecond);

}  // namespace
