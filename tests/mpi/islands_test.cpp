// The island model on three MPI processes (started by mpirun from CTest): migration by
// topology, stopping when one island stops, seeded repeats, faults on one island and
// malformed migrant messages. Every process runs every test, in the same order.
#include <evokit/gp/gp.h>
#include <evokit/mpi/islands.h>

#include "support.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <numeric>

using namespace evokit;

namespace {

// Bits per chromosome and individuals per island in the hand-computed cases.
constexpr int kBits = 64;
constexpr int kPopulation = 20;

// The set bits of island r's chromosomes in most cases.
int BitsOf(int Island) { return 8 * (Island + 1); }

// A GA that breeds nothing: no genetic operation, and a selection that hands out the
// parents in population order, so each generation copies the previous one as it is.
// It starts with 20 copies of a chromosome of SetBits set bits (maximised by default).
struct TFrozenIsland {
  TMXGeneticAlgorithm GA;
  int Evaluations = 0;
  int Next = 0;

  explicit TFrozenIsland(int SetBits, TGAFitnessMethod Method = fmMaximize) {
    GA.SetGeneSize(kBits);
    GA.SetInitialPopulation(kPopulation);
    GA.SetFitnessMethod(Method);
    GA.SetOperations({});
    GA.SetOnSelection([this](TObject*, TMXPopulation* Population, TMXIndividual*& Parent) {
      Parent = Population->Items(Next++ % Population->Count());
    });
    GA.SetOnInitialization([this, SetBits](TObject*, bool& Initialized) {
      for (int i = 0; i < GA.Population()->Count(); ++i)
        for (int b = 0; b < SetBits; ++b) GA.Population()->Items(i)->Bits()->SetBits(b, true);
      Initialized = true;
    });
    GA.SetOnEvaluateFitness([this](TObject* Sender, TMXIndividual* Item, TGAFitness& Fitness) {
      ++Evaluations;
      test::CountBits(Sender, Item, Fitness);
    });
  }

  // How many individuals carry each number of set bits.
  std::map<int, int> Census() const {
    std::map<int, int> census;
    for (int i = 0; i < GA.Population()->Count(); ++i) ++census[GA.Population()->Items(i)->Bits()->CountSetBits()];
    return census;
  }
};

int Rank() {
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  return rank;
}

// Text from every rank, in rank order.
std::vector<std::string> GatherAll(const std::string& Text) {
  const int size = static_cast<int>(Text.size());
  std::vector<int> sizes(3), offsets(3);
  MPI_Allgather(&size, 1, MPI_INT, sizes.data(), 1, MPI_INT, MPI_COMM_WORLD);
  std::exclusive_scan(sizes.begin(), sizes.end(), offsets.begin(), 0);
  std::string joined(static_cast<std::size_t>(offsets[2] + sizes[2]), '\0');
  MPI_Allgatherv(Text.data(), size, MPI_CHAR, joined.data(), sizes.data(), offsets.data(), MPI_CHAR, MPI_COMM_WORLD);
  std::vector<std::string> texts;
  for (int i = 0; i < 3; ++i)
    texts.push_back(joined.substr(static_cast<std::size_t>(offsets[i]), static_cast<std::size_t>(sizes[i])));
  return texts;
}

// Failures of the other ranks, one line each (only rank 0 prints the full report).
class TRankFailures : public testing::EmptyTestEventListener {
  void OnTestPartResult(const testing::TestPartResult& Result) override {
    if (Result.failed())
      std::fprintf(stderr, "[rank %d] %s:%d: %s\n", Rank(), Result.file_name() ? Result.file_name() : "?",
                   Result.line_number(), Result.summary());
  }
};

}  // namespace

// Two migrations of two individuals (interval 1, three generations) between frozen
// islands of 8, 16 and 24 bits: each receiver replaces its least fit by its neighbours'
// fittest, and keeps their fitness unless told to evaluate again (here on threads). At
// the end island 0 already holds the fittest of all and takes nobody.
TEST(Islands, MigrationFollowsTheTopology) {
  struct TCase {
    TMXMigrationTopology Topology;
    bool Reevaluate;
    std::map<int, int> Census[3];
    int Evaluations[3];  // after the 20 of the first generation
  };
  const TCase cases[] = {
      {mtRing, false, {{{8, 16}, {24, 4}}, {{16, 18}, {24, 2}}, {{16, 2}, {24, 18}}}, {0, 0, 0}},
      {mtAllToAll, false, {{{8, 12}, {16, 2}, {24, 6}}, {{16, 14}, {24, 6}}, {{24, 20}}}, {0, 0, 0}},
      // Island 0 also evaluates the others' fittest when it gathers them at the end.
      {mtRing, true, {{{8, 16}, {24, 4}}, {{16, 18}, {24, 2}}, {{16, 2}, {24, 18}}}, {6, 4, 4}},
  };
  for (const TCase& c : cases) {
    TFrozenIsland island(BitsOf(Rank()));
    TMXIslandModel model(island.GA);
    model.SetMigrationInterval(1);
    model.SetTopology(c.Topology);
    model.SetReevaluateMigrants(c.Reevaluate);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(c.Reevaluate ? model.ParallelEvolve(3) : model.Evolve(3), 3);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    // Migrating and waiting for the others happen within the run, one after the other.
    EXPECT_LE(model.MigrationSeconds() + model.WaitSeconds(), elapsed.count());
    EXPECT_EQ(island.Census(), c.Census[Rank()]) << "topology " << c.Topology << " on island " << Rank();
    EXPECT_EQ(island.Evaluations - kPopulation, c.Evaluations[Rank()]) << "topology " << c.Topology;
    EXPECT_EQ(model.MigrantsSent(), c.Topology == mtRing ? 4 : 8);
  }
}

// One island stopping (by Halt in its OnEvolve or its generation limit, within an epoch
// or at its end, or by a fitness cutoff it meets from the start) stops every island at
// the end of that epoch; island 0 then holds a summary of each. A Halt set between two
// epochs, by island 1's fitness handler as it evaluates its first migrants, stops the run
// as well: island 1 breeds no more. A Halt left from before the run is cleared.
TEST(Islands, OneIslandStopsAll) {
  struct TCase {
    int HaltAt;   // the generation after which island 1 halts (0: never, -1: on its migrants)
    int LimitAt;  // island 1's generation limit (0: none)
    bool Cutoff;
    int Expected[3];
  };
  const TCase cases[] = {{4, 0, false, {6, 4, 6}}, {6, 0, false, {6, 6, 6}}, {0, 6, false, {6, 6, 6}},
                         {0, 0, true, {3, 3, 0}},  {-1, 0, false, {6, 3, 6}}};
  for (const TCase& c : cases) {
    TFrozenIsland island(BitsOf(Rank()));
    island.GA.SetUseFitnessCutoff(c.Cutoff);
    island.GA.SetFitnessCutoff(24);  // only island 2 starts there
    island.GA.SetUseGenerationLimit(Rank() == 1 && c.LimitAt > 0);
    island.GA.SetGenerationLimit(c.LimitAt);
    if (Rank() == 1 && c.HaltAt > 0)
      island.GA.SetOnEvolve([&](TObject*) { island.GA.SetHalt(island.GA.Generation() == c.HaltAt); });
    if (Rank() == 1 && c.HaltAt < 0)
      island.GA.SetOnEvaluateFitness([&](TObject* Sender, TMXIndividual* Item, TGAFitness& Fitness) {
        test::CountBits(Sender, Item, Fitness);
        if (island.GA.Generation() > 0) island.GA.SetHalt(true);
      });
    island.GA.SetHalt(true);
    TMXIslandModel model(island.GA);
    model.SetMigrationInterval(3);
    model.SetReevaluateMigrants(true);
    EXPECT_EQ(model.Evolve(30), c.Expected[Rank()]) << "halt at " << c.HaltAt << ", limit " << c.LimitAt;
    ASSERT_EQ(model.Summaries().size(), Rank() == 0 ? 3u : 0u);
    for (int i = 0; i < static_cast<int>(model.Summaries().size()); ++i) {
      EXPECT_EQ(model.Summaries()[i].Island, i);
      EXPECT_EQ(model.Summaries()[i].Generations, c.Expected[i]) << "halt at " << c.HaltAt << ", limit " << c.LimitAt;
    }
  }
}

// A throwing fitness handler, or a migrant message its neighbour cannot read, ends the
// run on every island at the next agreement: the failing islands raise their own error
// (the reader the parse error), the others EMXIslandError naming the lowest-ranked of
// them and counting the rest.
TEST(Islands, FaultNamesTheFirstFailingIsland) {
  struct TGarblingModel : TMXIslandModel {
    using TMXIslandModel::TMXIslandModel;
    bool Garble = false;  // island 1 sends what cannot be read
    std::string MigrantMessage() const override {
      return Garble && Island() == 1 ? "<Migrants Island=\"1\"><Chromosomes>" : TMXIslandModel::MigrantMessage();
    }
  };
  struct TCase {
    bool Fails[3];  // the fitness handler throws in generation 3
    bool Garble;
    const char* Seen;  // by the islands that do not fail (its start when a message is garbled)
  };
  const TCase cases[] = {
      {{false, false, true}, false, "island 2 failed: EGAException: fitness failed on island 2"},
      {{false, true, true}, false, "island 1 failed: EGAException: fitness failed on island 1 (and 1 more islands)"},
      {{false, false, false}, true, "island 2 failed: EXMLDocError: "},  // island 2 reads island 1's
  };
  for (const TCase& c : cases) {
    TFrozenIsland island(BitsOf(Rank()));
    const std::string own = "fitness failed on island " + std::to_string(Rank());
    island.GA.SetOnEvaluateFitness([&](TObject* Sender, TMXIndividual* Item, TGAFitness& Fitness) {
      if (c.Fails[Rank()] && island.GA.Generation() == 3) throw EGAException(own);
      test::CountBits(Sender, Item, Fitness);
    });
    // Children copy their parents' fitness: only a mutation makes the handler run.
    island.GA.SetOperations({goMutate});
    island.GA.SetMutationProbability(1);
    TGarblingModel model(island.GA);
    model.Garble = c.Garble;
    model.SetMigrationInterval(2);
    const bool reader = c.Garble && Rank() == 2;
    if (c.Fails[Rank()]) {
      EXPECT_EQ(test::ErrorOf<EGAException>([&] { model.Evolve(10); }), own);
    } else if (reader) {
      EXPECT_NE(test::ErrorOf<EXMLDocError>([&] { model.Evolve(10); }), "no exception");
    } else {
      const std::string seen = test::ErrorOf<EMXIslandError>([&] { model.Evolve(10); });
      EXPECT_EQ(c.Garble ? seen.substr(0, std::strlen(c.Seen)) : seen, c.Seen);
    }
    // Neither the failing islands nor the reader breed another epoch.
    EXPECT_EQ(island.GA.Generation(), c.Fails[Rank()] ? 3 : reader ? 2 : 4);
  }
}

// Messages a receiver must refuse, each leaving its population as it was; a good one
// replaces the least fit.
TEST(Islands, MalformedMessagesChangeNothing) {
  TFrozenIsland island(BitsOf(Rank()));
  island.GA.Initialize();
  TMXIslandModel model(island.GA);
  TFrozenIsland sender(BitsOf(2));
  sender.GA.Initialize();
  TMXIslandModel from(sender.GA);
  const std::string good = from.SaveMigrants(3);
  const std::string self = "Island=\"" + std::to_string(Rank()) + "\"";
  auto replace = [&](std::string Text, const std::string& From, const std::string& To) {
    return Text.replace(Text.find(From), From.size(), To);
  };
  for (const std::string& bad :
       {std::string("not a document"), std::string("<Other/>"), replace(good, self, "Island=\"7\""),
        replace(good, "Chromosomes>", "Population>"), replace(good, "<MigrantFitness>24</MigrantFitness>", ""),
        replace(good, "<MigrantFitness>24</MigrantFitness>", "<MigrantFitness>many</MigrantFitness>"), replace(good, "<Bits>1", "<Bits>x")}) {
    EXPECT_NE(test::ErrorOf<EXMLDocError>([&] { model.LoadMigrants({bad}, {Rank()}); }), "no exception") << bad;
    EXPECT_EQ(island.Census(), (std::map<int, int>{{8 * (Rank() + 1), kPopulation}})) << bad;
  }
  EXPECT_EQ(model.LoadMigrants({good, ""}, {Rank(), 1}), 3);
  EXPECT_EQ(island.Census()[24], Rank() == 2 ? kPopulation : 3);
}

// GP islands evolving for real (three migrations round the ring): programs migrate in
// their population's form, and island 0 ends holding a copy of the fittest program of all
// islands, as that island held it. A seeded run repeats, and its islands evolve apart.
TEST(Islands, ProgramIslandsEvolve) {
  auto run = [](std::uint64_t Seed) {
    TMXGeneticProgramming gp;
    AddFloatPrimitives(*gp.Instructions(), "Add Sub Mul x 1");
    gp.SetInitialPopulation(16);
    gp.SetFitnessMethod(fmMinimize);
    gp.SetOnEvaluateFitness([](TObject*, TMXIndividual* Item, TGAFitness& Fitness) {
      TMXGPContext<double> context;
      Fitness = 0;
      for (double x = -1; x <= 1; x += 0.25) {
        context.Values()->AddOrSetValue("x", x);
        const double error = static_cast<TMXGPIndividual<double>*>(Item)->Execute(&context) - std::exp(x);
        Fitness += error * error;
      }
    });
    TMXIslandModel model(gp);
    model.SetMigrationInterval(2);
    model.SetMigrationSize(3);
    model.SetReevaluateMigrants(true);
    model.Seed(Seed);
    EXPECT_EQ(model.Evolve(8), 8);
    EXPECT_EQ(model.Migrations(), 3);
    const TMXGPIndividual<double>* champion = gp.FittestIndividual();
    const std::vector<std::string> best = GatherAll(champion->DNA()->ToString());
    if (Rank() == 0) {
      const std::vector<TMXIslandSummary>& summaries = model.Summaries();
      const auto fittest = std::min_element(summaries.begin(), summaries.end(),
                                            [](const auto& A, const auto& B) { return A.Best < B.Best; });
      EXPECT_LT(fittest->Best, summaries[0].Best) << "island 0 should not be the fittest on its own";
      EXPECT_EQ(champion->Fitness(), fittest->Best);
      EXPECT_EQ(best[0], best[static_cast<std::size_t>(fittest->Island)]) << "from island " << fittest->Island;
    }
    std::vector<std::string> programs;
    for (int i = 0; i < gp.Population()->Count(); ++i) {
      const TMXGPIndividual<double>* item = gp.Population()->Items(i);
      programs.push_back(item->DNA()->ToString() + " " + FloatToStr(item->Fitness()));
    }
    return programs;
  };
  const std::vector<std::string> first = run(6);
  EXPECT_EQ(run(6), first);
  // Islands drawing from one stream would start alike and send each other what they hold.
  const std::vector<std::string> all = GatherAll(first[0]);
  EXPECT_NE(all[0], all[1]);
  EXPECT_NE(all[1], all[2]);
}

int main(int argc, char** argv) {
  TMXMPISession session(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  if (session.Rank() != 0) {
    testing::TestEventListeners& listeners = testing::UnitTest::GetInstance()->listeners();
    delete listeners.Release(listeners.default_result_printer());
    listeners.Append(new TRankFailures);
  }
  return RUN_ALL_TESTS();
}
