// The same OneMax with the Debian GA library (package libga-dev), for the side-by-side
// comparison (bench/compare-libga). Its tournament selector is its own (two roulette
// picks, the fitter wins); the other settings match onemax_evokit.cpp. Elitism and
// score recording are off, so each generation only breeds and evaluates.
// Usage: onemax_libga GENERATIONS SEED. Prints seconds per generation and the best fitness.
#include <ga/GA1DBinStrGenome.h>
#include <ga/GASelector.h>
#include <ga/GASimpleGA.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {

float OneMax(GAGenome& Genome) {
  auto& bits = static_cast<GA1DBinaryStringGenome&>(Genome);
  int count = 0;
  for (int i = 0; i < bits.length(); ++i) count += bits.gene(i);
  return static_cast<float>(count);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: onemax_libga GENERATIONS SEED\n");
    return 2;
  }
  const int generations = std::atoi(argv[1]);
  GA1DBinaryStringGenome genome(1000, OneMax);
  genome.crossover(GA1DBinaryStringGenome::OnePointCrossover);
  GASimpleGA ga(genome);
  ga.selector(GATournamentSelector());
  ga.populationSize(100);
  ga.pCrossover(0.9);
  ga.pMutation(0.001);
  ga.elitist(gaFalse);
  ga.scoreFrequency(0);
  ga.nGenerations(static_cast<unsigned>(generations));
  ga.initialize(static_cast<unsigned>(std::atoi(argv[2])));
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < generations; ++i) ga.step();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%.9g %g\n", seconds / generations, ga.population().best().score());
}
