// The README's code example, kept here so that it is compiled and run by the tests.
#include <evokit/evokit.h>

#include <cstdio>

int main() {
  using namespace evokit;

  TMXGeneticAlgorithm ga;
  ga.SetGeneSize(100);                       // a bare 100-bit chromosome
  ga.SetFitnessMethod(fmMaximize);
  ga.SetOnEvaluateFitness([](TObject*, TMXIndividual* item, TGAFitness& fitness) {
    fitness = static_cast<TMXGAIndividual*>(item)->Bits()->CountSetBits();
  });
  ga.SetUseFitnessCutoff(true);
  ga.SetFitnessCutoff(100);
  RandSeed(42);
  ga.Evolve(500);                            // or ga.ParallelEvolve(500)
  std::printf("best %g after %d generations\n", ga.FittestIndividual()->Fitness(), ga.Generation());
  return ga.FittestIndividual()->Fitness() == 100 ? 0 : 1;
}
