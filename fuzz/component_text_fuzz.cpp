// Component text: the input is read by ReadComponent into a fresh GA component, with a
// handler table that names a fitness and a selection handler; owned components of the GA
// class may be created. After a successful read the component is written again, and that
// text must read into another fresh component, and writing settles (RequireReloads).
#include "fuzz_support.h"

#include <evokit/ga/ga.h>
#include <evokit/platform/filer.h>
#include <evokit/platform/streams.h>

using namespace evokit;

namespace {

void CountBits(TObject*, TMXIndividual* Item, TGAFitness& Fitness) {
  Fitness = static_cast<TMXGAIndividual*>(Item)->Bits()->CountSetBits();
}

void PickFirst(TObject*, TMXPopulation* Population, TMXIndividual*& Parent) { Parent = Population->Items(0); }

std::string ReadAndWrite(const std::string& Text) {
  static const THandlerTable handlers = [] {
    RegisterComponentClass<TMXGeneticAlgorithm>();
    THandlerTable table;
    table.Add<TMXFitnessEvent>("CountBits", CountBits);
    table.Add<TMXSelectionEvent>("PickFirst", PickFirst);
    return table;
  }();
  TMXGeneticAlgorithm ga;
  TStringStream in(Text), out;
  ReadComponent(in, &ga, &handlers);
  WriteComponent(out, &ga);
  return out.DataString();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  std::string written;
  if (!fuzz::Accepted([&] { written = ReadAndWrite(fuzz::Text(Data, Size)); })) return 0;
  fuzz::RequireReloads(written, ReadAndWrite);
  return 0;
}
