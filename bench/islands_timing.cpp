// Times the island model on OneMax with a slow fitness: every process runs one island,
// and island 0 prints one line of figures for the whole run. bench/islands runs it on one
// and on two processes.
//
//   mpirun -np 2 evokit_islands_timing [--bits N] [--population N] [--generations N]
//                                      [--interval N] [--size N] [--fitness-us N]
#include <evokit/ga/ga.h>
#include <evokit/mpi/islands.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

using namespace evokit;

int main(int argc, char** argv) {
  TMXMPISession session(argc, argv);
  int bits = 10000, population = 100, generations = 200, interval = 10, size = 2, fitnessMicroseconds = 20;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    const int value = std::atoi(argv[i + 1]);
    if (option == "--bits") bits = value;
    else if (option == "--population") population = value;
    else if (option == "--generations") generations = value;
    else if (option == "--interval") interval = value;
    else if (option == "--size") size = value;
    else if (option == "--fitness-us") fitnessMicroseconds = value;
    else {
      std::fprintf(stderr, "unknown option %s\n", argv[i]);
      return 2;
    }
  }

  TMXGeneticAlgorithm ga;
  ga.SetGeneSize(bits);
  ga.SetInitialPopulation(population);
  ga.SetFitnessMethod(fmMaximize);
  ga.SetSelectionMethod(smTournament);
  ga.SetCrossoverMethod(cmBitBoundary);
  ga.SetMutationProbability(1.0 / bits);
  // The set bits, after a busy wait standing for an expensive evaluation.
  const auto cost = std::chrono::microseconds(fitnessMicroseconds);
  ga.SetOnEvaluateFitness([cost](TObject*, TMXIndividual* item, TGAFitness& fitness) {
    const auto until = std::chrono::steady_clock::now() + cost;
    while (std::chrono::steady_clock::now() < until) {
    }
    fitness = static_cast<TMXGAIndividual*>(item)->Bits()->CountSetBits();
  });

  TMXIslandModel islands(ga);
  islands.SetMigrationInterval(interval);
  islands.SetMigrationSize(size);
  islands.Seed(1);
  ga.Initialize();
  MPI_Barrier(MPI_COMM_WORLD);
  const double start = MPI_Wtime();
  const int done = islands.Evolve(generations);
  const double mine[3] = {MPI_Wtime() - start, islands.MigrationSeconds(), islands.WaitSeconds()};
  double slowest[3];
  MPI_Reduce(mine, slowest, 3, MPI_DOUBLE, MPI_MAX, 0, MPI_COMM_WORLD);
  if (islands.Island() != 0) return 0;
  const double seconds = slowest[0];
  std::printf("%d island(s) of %d, %d bits, %d us fitness: %d generations in %.3f s = %.1f generations/s "
              "(%.0f evaluations/s); migration %.2f %% of the run (%d migrations of %d, %.2f ms each), "
              "waiting %.2f %%; %.0f bytes per migrant; best %g\n",
              islands.IslandCount(), population, bits, fitnessMicroseconds, done, seconds, done / seconds,
              double(done) * population * islands.IslandCount() / seconds, 100 * slowest[1] / seconds,
              islands.Migrations(), size, islands.Migrations() ? 1000 * slowest[1] / islands.Migrations() : 0.0,
              100 * slowest[2] / seconds,
              islands.MigrantsSent() ? double(islands.BytesSent()) / double(islands.MigrantsSent()) : 0.0,
              ga.FittestIndividual()->Fitness());
  return 0;
}
