// The island model: the run loop in epochs, the agreement of the islands on whether to
// go on, migrant messages and their exchange, fault propagation and the final gathering
// of each island's summary and fittest individual on island 0.
//
// A migrant message is an XML document:
//   <Migrants Island="1" Generation="20">
//     <Chromosomes>...</Chromosomes>          the population's own element and form
//     <MigrantFitness>17.5</MigrantFitness> ...  one per individual, in order, 17 digits
//                                                 (FloatToStrF's general form: exact)
//   </Migrants>
// The fitness travels beside the population form, which may keep it in single
// precision or not at all.
#include <evokit/mpi/islands.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <exception>
#include <memory>
#include <numeric>

#include <evokit/platform/convert.h>
#include <evokit/platform/random.h>
#include <evokit/platform/xml.h>

namespace evokit {

namespace {

constexpr int kSizeTag = 1901;
constexpr int kDataTag = 1902;

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// One line for an exception: the library's class name and message, or what() of others.
std::string Describe(const std::exception_ptr& Fault) {
  try {
    std::rethrow_exception(Fault);
  } catch (const Exception& e) {
    return std::string(e.ClassName()) + ": " + e.Message();
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown exception";
  }
}

// Counts and offsets of a variable gather; EMXIslandError when the total does not fit
// MPI's int counts (every island computes the same answer from the same sizes).
std::vector<int> Offsets(const std::vector<int>& Sizes) {
  std::vector<int> offsets(Sizes.size());
  long long total = 0;
  for (std::size_t i = 0; i < Sizes.size(); ++i) {
    offsets[i] = static_cast<int>(total);
    total += Sizes[i];
    if (total > INT_MAX) throw EMXIslandError("messages of the islands exceed 2 GiB in one exchange");
  }
  return offsets;
}

// The text of every rank gathered on all ranks (All) or on rank 0 only. Every rank
// learns every size first, so that a text too long for MPI's int counts makes all of
// them throw together instead of leaving the others waiting in the collective call.
std::vector<std::string> GatherText(const std::string& Text, MPI_Comm Communicator, int Count, bool All) {
  const int size = Text.size() > INT_MAX ? -1 : static_cast<int>(Text.size());
  std::vector<int> sizes(static_cast<std::size_t>(Count));
  MPI_Allgather(&size, 1, MPI_INT, sizes.data(), 1, MPI_INT, Communicator);
  if (std::find(sizes.begin(), sizes.end(), -1) != sizes.end())
    throw EMXIslandError("a message of more than 2 GiB");
  const std::vector<int> offsets = Offsets(sizes);
  int rank = 0;
  MPI_Comm_rank(Communicator, &rank);
  std::vector<std::string> texts;
  if (!All && rank != 0) {
    MPI_Gatherv(Text.data(), size, MPI_CHAR, nullptr, nullptr, nullptr, MPI_CHAR, 0, Communicator);
    return texts;
  }
  std::string joined(static_cast<std::size_t>(offsets.back()) + static_cast<std::size_t>(sizes.back()), '\0');
  if (All)
    MPI_Allgatherv(Text.data(), size, MPI_CHAR, joined.data(), sizes.data(), offsets.data(), MPI_CHAR, Communicator);
  else
    MPI_Gatherv(Text.data(), size, MPI_CHAR, joined.data(), sizes.data(), offsets.data(), MPI_CHAR, 0, Communicator);
  for (int i = 0; i < Count; ++i) texts.push_back(joined.substr(offsets[static_cast<std::size_t>(i)],
                                                               sizes[static_cast<std::size_t>(i)]));
  return texts;
}

// A migrant message read into a staging population of the component, from the element
// that population's class saves itself as, the fitness of each individual set from the
// message unless it is to be evaluated again.
std::unique_ptr<TMXPopulation> ReadMessage(TMXCustomGeneticComponent& Component, const std::string& Message,
                                           int Sender, bool Reevaluate) {
  std::unique_ptr<TMXPopulation> population = Component.NewPopulation();
  const TXMLDocument doc = LoadXMLData(Message);
  const TXMLNode root = doc.DocumentElement();
  if (!root || root.NodeName() != "Migrants")
    throw EXMLDocError("migrant message: the document element is <" + (root ? root.NodeName() : "") +
                       ">, not <Migrants>");
  if (!root.HasAttribute("Island") || root.Attribute("Island") != std::to_string(Sender))
    throw EXMLDocError("migrant message from island \"" + root.Attribute("Island") + "\" where island " +
                       std::to_string(Sender) + " was expected");
  const std::string element = population->XMLElementName();
  const TXMLNode individuals = root.FindChild(element);
  if (!individuals) throw EXMLDocError("migrant message: no <" + element + "> element");
  std::vector<TGAFitness> fitness;
  for (const TXMLNode child : root.ChildNodes()) {
    if (child.NodeName() != "MigrantFitness") continue;
    double value = 0;
    if (!TryStrToFloat(child.Text(), value))
      throw EXMLDocError("migrant message: fitness \"" + child.Text() + "\" is no number");
    fitness.push_back(value);
  }
  population->LoadFromXML(individuals);
  if (static_cast<std::size_t>(population->Count()) != fitness.size())
    throw EXMLDocError("migrant message: " + std::to_string(population->Count()) + " individuals but " +
                       std::to_string(fitness.size()) + " fitness values");
  if (!Reevaluate)
    for (int i = 0; i < population->Count(); ++i) population->Items(i)->SetFitness(fitness[static_cast<std::size_t>(i)]);
  return population;
}

}  // namespace

// --- TMXMPISession ------------------------------------------------------------------------

TMXMPISession::TMXMPISession(int& argc, char**& argv) : TMXMPISession(&argc, &argv) {}

TMXMPISession::TMXMPISession() : TMXMPISession(nullptr, nullptr) {}

TMXMPISession::TMXMPISession(int* argc, char*** argv) {
  int initialized = 0;
  MPI_Initialized(&initialized);
  if (initialized) return;
  int provided = 0;
  MPI_Init_thread(argc, argv, MPI_THREAD_FUNNELED, &provided);
  FOwner = true;
}

TMXMPISession::~TMXMPISession() {
  int finalized = 0;
  MPI_Finalized(&finalized);
  if (FOwner && !finalized) MPI_Finalize();
}

int TMXMPISession::Rank() const {
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  return rank;
}

int TMXMPISession::Size() const {
  int size = 1;
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  return size;
}

// --- TMXIslandModel -----------------------------------------------------------------------

TMXIslandModel::TMXIslandModel(TMXCustomGeneticComponent& Component, MPI_Comm Communicator)
    : FComponent(Component), FCommunicator(Communicator) {
  int initialized = 0, finalized = 0;
  MPI_Initialized(&initialized);
  MPI_Finalized(&finalized);
  if (!initialized || finalized) throw EMXIslandError("an island model needs MPI to be initialised");
  MPI_Comm_rank(FCommunicator, &FIsland);
  MPI_Comm_size(FCommunicator, &FIslandCount);
}

void TMXIslandModel::SetMigrationInterval(int Value) { FMigrationInterval = std::max(1, Value); }

void TMXIslandModel::SetMigrationSize(int Value) { FMigrationSize = std::max(0, Value); }

void TMXIslandModel::Seed(std::uint64_t Seed) const {
  RandSeed(TRandomStream(Seed, static_cast<std::uint64_t>(FIsland)).Next());
}

std::string TMXIslandModel::MigrantMessage() const { return SaveMigrants(FMigrationSize); }

std::vector<int> TMXIslandModel::Ranking() const {
  const TMXPopulation* population = FComponent.Population();
  std::vector<int> order(static_cast<std::size_t>(population->Count()));
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](int A, int B) {
    return FComponent.CompareFitness(population->Items(A), population->Items(B), false) < 0;
  });
  return order;
}

std::string TMXIslandModel::SaveMigrants(int Count) const {
  const TMXPopulation* population = FComponent.Population();
  const int count = std::min(Count, population->Count());
  if (count <= 0) return {};
  const std::vector<int> order = Ranking();
  std::unique_ptr<TMXPopulation> migrants = FComponent.NewPopulation();
  for (int i = 0; i < count; ++i) migrants->Add()->Assign(population->Items(order[static_cast<std::size_t>(i)]));
  TXMLDocument doc;
  const TXMLNode root = doc.CreateDocumentElement("Migrants");
  root.SetAttributeAsInteger("Island", FIsland);
  root.SetAttributeAsInteger("Generation", FComponent.Generation());
  migrants->SaveToXML(root.AddChild(migrants->XMLElementName()));
  for (int i = 0; i < count; ++i)
    root.AddChild("MigrantFitness").SetText(FloatToStrF(migrants->Items(i)->Fitness(), ffGeneral, 17, 0));
  return doc.XML();
}

int TMXIslandModel::LoadMigrants(const std::vector<std::string>& Messages, const std::vector<int>& Senders) {
  if (Messages.size() != Senders.size())
    throw EArgumentOutOfRangeException("LoadMigrants: " + std::to_string(Messages.size()) + " messages but " +
                                       std::to_string(Senders.size()) + " senders");
  // Every message is read before the population changes.
  std::vector<std::unique_ptr<TMXPopulation>> received;
  for (std::size_t i = 0; i < Messages.size(); ++i)
    if (!Messages[i].empty())
      received.push_back(ReadMessage(FComponent, Messages[i], Senders[i], FReevaluateMigrants));

  TMXPopulation* population = FComponent.Population();
  const std::vector<int> order = Ranking();
  const int room = population->Count();
  int taken = 0;
  for (const auto& migrants : received)
    for (int i = 0; i < migrants->Count() && taken < room; ++i, ++taken)
      population->Items(order[static_cast<std::size_t>(room - 1 - taken)])->Assign(migrants->Items(i));
  // Statistics, fittest individual and selection tables of the changed population.
  if (taken > 0) FComponent.EvaluateFitness();
  return taken;
}

int TMXIslandModel::Evolve(int Generations) { return Run(false, Generations); }

int TMXIslandModel::ParallelEvolve(int Generations) { return Run(true, Generations); }

int TMXIslandModel::Run(bool Parallel, int Generations) {
  FSummaries.clear();
  FMigrations = 0;
  FMigrationSeconds = FWaitSeconds = 0;
  FMigrantsSent = FBytesSent = 0;
  FFault = nullptr;

  // Islands that disagree on the exchange pattern would wait for each other forever.
  const int settings[4] = {FMigrationInterval, FMigrationSize, FTopology, FReevaluateMigrants};
  int lowest[4], highest[4];
  MPI_Allreduce(settings, lowest, 4, MPI_INT, MPI_MIN, FCommunicator);
  MPI_Allreduce(settings, highest, 4, MPI_INT, MPI_MAX, FCommunicator);
  if (!std::equal(lowest, lowest + 4, highest))
    throw EMXIslandError("the islands differ in MigrationInterval, MigrationSize, Topology or ReevaluateMigrants");

  // Halt is cleared once, as the component's own Evolve(n) does. The epochs then run the
  // component's single steps, which leave it alone: a Halt set between two epochs (during
  // a migration, or by another thread while this island waits) still stops the run.
  FComponent.SetHalt(false);
  int done = 0;
  for (;;) {
    bool stopped = false;
    if (!FFault) {
      const int step = std::clamp(Generations - done, 0, FMigrationInterval);
      try {
        const int ran = Epoch(Parallel, step);
        done += ran;
        stopped = ran < step || FComponent.IsFinished() || FComponent.Halt();
      } catch (...) {
        FFault = std::current_exception();
      }
    }
    const int local[2] = {stopped || done >= Generations, FFault != nullptr};
    int global[2] = {0, 0};
    const double start = Now();
    MPI_Allreduce(local, global, 2, MPI_INT, MPI_MAX, FCommunicator);
    FWaitSeconds += Now() - start;
    if (global[1]) RaiseFault();
    if (global[0]) break;
    Migrate();
  }
  GatherResults(done);
  return done;
}

int TMXIslandModel::Epoch(bool Parallel, int Generations) {
  const int start = FComponent.Generation();
  for (int i = 0; i < Generations && !FComponent.Halt(); ++i) {
    if (Parallel) FComponent.ParallelEvolve();
    else FComponent.Evolve();
    if (FComponent.IsFinished()) break;
  }
  return FComponent.Generation() - start;
}

void TMXIslandModel::Migrate() {
  if (FIslandCount < 2) return;
  const double start = Now();
  std::string message;
  try {
    message = MigrantMessage();
  } catch (...) {
    FFault = std::current_exception();
    message.clear();
  }
  if (message.size() > INT_MAX) {
    FFault = std::make_exception_ptr(EMXIslandError("a migrant message of more than 2 GiB"));
    message.clear();
  }

  std::vector<std::string> received;
  std::vector<int> senders;
  int destinations = 0;
  if (FTopology == mtRing) {
    const int next = (FIsland + 1) % FIslandCount;
    const int previous = (FIsland + FIslandCount - 1) % FIslandCount;
    int size = static_cast<int>(message.size()), incoming = 0;
    MPI_Sendrecv(&size, 1, MPI_INT, next, kSizeTag, &incoming, 1, MPI_INT, previous, kSizeTag, FCommunicator,
                 MPI_STATUS_IGNORE);
    std::string& text = received.emplace_back(static_cast<std::size_t>(incoming), '\0');
    MPI_Sendrecv(message.data(), size, MPI_CHAR, next, kDataTag, text.data(), incoming, MPI_CHAR, previous, kDataTag,
                 FCommunicator, MPI_STATUS_IGNORE);
    senders.push_back(previous);
    destinations = 1;
  } else {
    std::vector<std::string> all = GatherText(message, FCommunicator, FIslandCount, true);
    for (int i = 0; i < FIslandCount; ++i) {
      if (i == FIsland) continue;
      received.push_back(std::move(all[static_cast<std::size_t>(i)]));
      senders.push_back(i);
    }
    destinations = FIslandCount - 1;
  }
  if (!message.empty()) {
    FMigrantsSent += std::int64_t{std::min(FMigrationSize, FComponent.Population()->Count())} * destinations;
    FBytesSent += static_cast<std::int64_t>(message.size()) * destinations;
  }

  // A message this island cannot read stops the run at the next agreement.
  if (!FFault) {
    try {
      LoadMigrants(received, senders);
    } catch (...) {
      FFault = std::current_exception();
    }
  }
  ++FMigrations;
  FMigrationSeconds += Now() - start;
}

void TMXIslandModel::RaiseFault() {
  const std::vector<std::string> faults =
      GatherText(FFault ? Describe(FFault) : std::string(), FCommunicator, FIslandCount, true);
  if (FFault) std::rethrow_exception(FFault);
  int first = -1, failed = 0;
  for (int i = 0; i < FIslandCount; ++i) {
    if (faults[static_cast<std::size_t>(i)].empty()) continue;
    if (first < 0) first = i;
    ++failed;
  }
  std::string text = "island " + std::to_string(first) + " failed: " + faults[static_cast<std::size_t>(first)];
  if (failed > 1) text += " (and " + std::to_string(failed - 1) + " more islands)";
  throw EMXIslandError(text);
}

void TMXIslandModel::GatherResults(int Generations) {
  const TMXIndividual* fittest = FComponent.FittestIndividual();
  const double mine[3] = {static_cast<double>(Generations), fittest ? fittest->Fitness() : 0.0,
                          FComponent.AvgFitness()};
  std::vector<double> all(3 * static_cast<std::size_t>(FIslandCount));
  MPI_Gather(mine, 3, MPI_DOUBLE, all.data(), 3, MPI_DOUBLE, 0, FCommunicator);
  // Every island must reach the gather: one whose fittest cannot be saved sends nothing.
  std::string own;
  try {
    own = SaveMigrants(1);
  } catch (...) {
    own.clear();
  }
  const std::vector<std::string> best = GatherText(own, FCommunicator, FIslandCount, false);
  if (FIsland != 0) return;

  for (int i = 0; i < FIslandCount; ++i) {
    const double* figures = &all[3 * static_cast<std::size_t>(i)];
    FSummaries.push_back({i, static_cast<int>(figures[0]), figures[1], figures[2]});
  }
  // The fittest of the other islands' best individuals, if fitter than this island's.
  std::unique_ptr<TMXPopulation> winner;
  const TMXIndividual* champion = fittest;
  for (int i = 1; i < FIslandCount; ++i) {
    if (best[static_cast<std::size_t>(i)].empty()) continue;
    std::unique_ptr<TMXPopulation> candidate =
        ReadMessage(FComponent, best[static_cast<std::size_t>(i)], i, FReevaluateMigrants);
    if (candidate->Count() == 0) continue;
    if (!champion || FComponent.CompareFitness(candidate->Items(0), champion, false) < 0) {
      winner = std::move(candidate);
      champion = winner->Items(0);
    }
  }
  if (!winner) return;
  const std::vector<int> order = Ranking();
  if (order.empty()) return;
  FComponent.Population()->Items(order.back())->Assign(winner->Items(0));
  FComponent.EvaluateFitness();
}

}  // namespace evokit
