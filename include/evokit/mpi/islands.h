// The island model over MPI: TMXIslandModel runs one genetic component per MPI process
// (an island) and every MigrationInterval generations sends copies of each island's
// MigrationSize fittest individuals to its neighbours, where they replace the least fit.
// Individuals travel in the XML form their population saves itself in, so any population
// that saves and loads can migrate. TMXMPISession starts and ends MPI for a program.
// This module is the only part of evokit that depends on MPI (target evokit::evokit_mpi).
//
// Thread safety: an island model belongs to the thread that initialised MPI; only that
// thread calls MPI. The component may still breed on worker threads (ParallelEvolve).
#pragma once

#include <mpi.h>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include <evokit/core/genetic_component.h>

namespace evokit {

// A failure on another island that stopped the run; the message names that island.
EVOKIT_DECLARE_EXCEPTION(EMXIslandError, EMXException);

// Where an island sends its migrants: to the next island of the ring (rank + 1, the last
// to rank 0), or to every other island.
enum TMXMigrationTopology { mtRing, mtAllToAll };

// What one island reports at the end of a run.
struct TMXIslandSummary {
  int Island = 0;           // its rank
  int Generations = 0;      // generations it completed in the run
  TGAFitness Best = 0;      // its fittest individual's fitness (0 without one)
  TGAFitness Average = 0;   // its population's average fitness
};

// Initialises MPI (thread level MPI_THREAD_FUNNELED) unless it already is, and finalises
// it on destruction when it initialised it. One per program, in main.
class TMXMPISession {
 public:
  TMXMPISession();
  TMXMPISession(int& argc, char**& argv);
  ~TMXMPISession();
  TMXMPISession(const TMXMPISession&) = delete;
  TMXMPISession& operator=(const TMXMPISession&) = delete;
  // The rank in MPI_COMM_WORLD and the number of processes.
  int Rank() const;
  int Size() const;

 private:
  TMXMPISession(int* argc, char*** argv);
  bool FOwner = false;
};

class TMXIslandModel {
 public:
  // Makes the calling process an island of Communicator around Component (borrowed: it
  // must outlive the model). Every process of the communicator builds its own model
  // with the same settings and calls the same run. EMXIslandError when MPI is not
  // initialised.
  explicit TMXIslandModel(TMXCustomGeneticComponent& Component, MPI_Comm Communicator = MPI_COMM_WORLD);
  virtual ~TMXIslandModel() = default;
  TMXIslandModel(const TMXIslandModel&) = delete;
  TMXIslandModel& operator=(const TMXIslandModel&) = delete;

  TMXCustomGeneticComponent& Component() const { return FComponent; }
  // This island's rank and the number of islands.
  int Island() const { return FIsland; }
  int IslandCount() const { return FIslandCount; }

  // --- Settings (the same on every island) -------------------------------------------
  // Generations between migrations (default 10); below 1 stores 1.
  int MigrationInterval() const { return FMigrationInterval; }
  void SetMigrationInterval(int Value);
  // Individuals each island sends to each neighbour (default 2); below 0 stores 0.
  // An island never sends more than its population.
  int MigrationSize() const { return FMigrationSize; }
  void SetMigrationSize(int Value);
  TMXMigrationTopology Topology() const { return FTopology; }
  void SetTopology(TMXMigrationTopology Value) { FTopology = Value; }
  // False (default): a received individual keeps the fitness its sender computed. True:
  // the receiver evaluates it again with its own fitness handler.
  bool ReevaluateMigrants() const { return FReevaluateMigrants; }
  void SetReevaluateMigrants(bool Value) { FReevaluateMigrants = Value; }

  // Seeds this process's random source with a stream of its own, derived from Seed and
  // the island's rank, so that islands start apart and a seeded run repeats for the same
  // number of islands. Call it before the component initialises.
  void Seed(std::uint64_t Seed) const;

  // --- Runs (collective: every island calls the same one) ------------------------------
  // Up to Generations generations on every island, in epochs of MigrationInterval
  // generations (the component's Evolve() / ParallelEvolve() steps), with a migration
  // between two epochs. The run clears the component's Halt when it starts. When one
  // island's component stops early (a termination test holds, or Halt is set, during an
  // epoch or between two), all islands stop at the end of that epoch; an island halted
  // between two epochs runs none of the next one.
  // Returns the generations this island completed. At the end island 0 gathers each
  // island's summary (Summaries) and, when another island's fittest individual is
  // fitter than its own, takes a copy of it in place of its least fit: its component's
  // FittestIndividual is then the fittest of all islands.
  // An exception on one island (its handlers, or a migrant message it cannot read) stops
  // the run on every island at the end of the epoch, never leaving one waiting: that
  // island raises its own exception again, every other one raises EMXIslandError naming
  // the island and its message.
  int Evolve(int Generations);
  int ParallelEvolve(int Generations);

  // Island 0 after a run: one summary per island, in rank order. Empty elsewhere.
  const std::vector<TMXIslandSummary>& Summaries() const { return FSummaries; }
  // Figures of the last run on this island: migrations done, seconds spent in them
  // (selecting, saving, exchanging and loading migrants), seconds spent agreeing whether
  // to go on (which includes waiting for slower islands), and the migrants and bytes sent.
  int Migrations() const { return FMigrations; }
  double MigrationSeconds() const { return FMigrationSeconds; }
  double WaitSeconds() const { return FWaitSeconds; }
  std::int64_t MigrantsSent() const { return FMigrantsSent; }
  std::int64_t BytesSent() const { return FBytesSent; }

  // --- Messages ------------------------------------------------------------------------
  // A migrant message: copies of the Count fittest individuals of the component's
  // population (fittest first; all of them when it holds fewer) in its population's XML
  // form, each with its fitness. Empty when there is nobody to send.
  std::string SaveMigrants(int Count) const;
  // Reads the messages (from islands Senders, in that order; an empty message carries
  // nobody) and puts their individuals, in order, in place of the least fit of the
  // population (as many as it holds at most), then refreshes the component's statistics.
  // A message that is no migrant document, comes from another island than its sender,
  // or whose individuals do not load raises EXMLDocError (or the loader's error) and
  // changes nothing. Returns the number of individuals taken.
  int LoadMigrants(const std::vector<std::string>& Messages, const std::vector<int>& Senders);

 protected:
  // The message this island sends in a migration (SaveMigrants(MigrationSize)).
  virtual std::string MigrantMessage() const;

 private:
  int Run(bool Parallel, int Generations);
  // Up to Generations steps of the component, fewer once it is finished or halted (Halt
  // is not cleared). Returns the generations completed.
  int Epoch(bool Parallel, int Generations);
  void Migrate();
  // Shares every island's fault and raises this island's, or EMXIslandError.
  [[noreturn]] void RaiseFault();
  void GatherResults(int Generations);
  // The population's indices from the fittest to the least fit (ties in population order).
  std::vector<int> Ranking() const;

  TMXCustomGeneticComponent& FComponent;
  MPI_Comm FCommunicator;
  int FIsland = 0;
  int FIslandCount = 1;
  int FMigrationInterval = 10;
  int FMigrationSize = 2;
  TMXMigrationTopology FTopology = mtRing;
  bool FReevaluateMigrants = false;

  std::vector<TMXIslandSummary> FSummaries;
  int FMigrations = 0;
  double FMigrationSeconds = 0;
  double FWaitSeconds = 0;
  std::int64_t FMigrantsSent = 0;
  std::int64_t FBytesSent = 0;
  // This island's failure during the run, raised once all islands know of it.
  std::exception_ptr FFault;
};

}  // namespace evokit
