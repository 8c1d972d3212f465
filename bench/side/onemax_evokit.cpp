// OneMax with evokit for the side-by-side comparison (bench/compare-libga): 1,000 bits,
// population 100, tournament of 3, one-point crossover 0.9, mutation 0.001 per bit.
// Usage: onemax_evokit GENERATIONS SEED. Prints seconds per generation (initialisation
// excluded) and the best fitness.
#include <evokit/evokit.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

using namespace evokit;

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: onemax_evokit GENERATIONS SEED\n");
    return 2;
  }
  const int generations = std::atoi(argv[1]);
  TMXGeneticAlgorithm ga;
  ga.SetGeneSize(1000);
  ga.SetInitialPopulation(100);
  ga.SetFitnessMethod(fmMaximize);
  ga.SetSelectionMethod(smTournament);
  ga.SetTournamentField(3);
  ga.SetCrossoverMethod(cmBitBoundary);  // one cut point anywhere in the chromosome
  ga.SetCrossoverProbability(0.9);
  ga.SetMutationProbability(0.001);
  ga.SetOperations({goCrossover, goMutate});
  ga.SetOnEvaluateFitness([](TObject*, TMXIndividual* I, TGAFitness& F) {
    F = static_cast<TMXGAIndividual*>(I)->Bits()->CountSetBits();
  });
  RandSeed(static_cast<std::uint64_t>(std::atoll(argv[2])));
  ga.Initialize();
  const auto start = std::chrono::steady_clock::now();
  ga.Evolve(generations);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%.9g %g\n", seconds / generations, ga.MaxFitness());
}
