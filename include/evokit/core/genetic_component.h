// TMXCustomGeneticComponent: the abstract evolutionary engine shared by the GA and GP
// components. It owns two populations that swap roles every generation, runs the
// generation loop and the termination test, selects parents (seven schemes, with a
// cumulative fitness table and an elitist ranking prepared once per generation), scales
// fitness, keeps the raw and weighted fitness statistics, and offers parallel variants
// of evaluation and evolution. Genome work (initialisation, crossover, mutation,
// inversion, weighting) is left to virtual Do... steps of subclasses; the fitness
// function is the user's OnEvaluateFitness event, or OnEvaluatePopulation scoring a
// population's stale individuals in one call.
// Multi-objective runs: individuals carry a vector of objective values (OnEvaluateObjectives
// or a DoEvaluateObjectives override); every evaluation of the population ranks it into
// Pareto fronts (pareto.h) and keeps the first front with its size and hypervolume; the
// smNSGA2 scheme breeds by binary tournament on (rank, crowding) and keeps the best of
// parents and children.
// Settings persistence (the GeneticDocument, Assign, component streaming of the extra
// float settings, the Describe/ToString report) is implemented in persistence.cpp; the
// element layer is genetic_document.h.
//
// Thread safety: a component belongs to one thread. Only ParallelEvaluateFitness and
// ParallelEvolve run work on other threads: user handlers and subclass steps are then
// called concurrently, each call for a different child or individual, and must be safe
// for that. The component keeps its shared state (selection tables, roulette index,
// random streams) free of data races during those calls without locks. Halt may be set
// from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include <evokit/common/float_priority_queue.h>
#include <evokit/core/consts.h>
#include <evokit/core/individual.h>
#include <evokit/platform/component.h>

namespace evokit {

class IXMLGeneticDocumentType;
class TStream;
class TPropertyRegistry;
class TStrings;
class TWriter;

// Events. Sender is always the component.
// Initialisation: set Initialized true when the handler has built the genomes itself.
using TMXInitializationEvent = std::function<void(TObject* Sender, bool& Initialized)>;
// Fitness: the handler assigns Fitness (it enters as 0).
using TMXFitnessEvent = std::function<void(TObject* Sender, TMXIndividual* Item, TGAFitness& Fitness)>;
// Declared for users and subclasses; the core fires none.
using TMXIndividualEvent = std::function<void(TObject* Sender, TMXIndividual* Item)>;
using TMXParentChildEvent =
    std::function<void(TObject* Sender, TMXIndividual* Parent1, TMXIndividual* Parent2, TMXIndividual* Child)>;
// Objectives of a multi-objective run: the handler fills Objectives (ObjectiveCount values,
// each in its own sense). They enter as NaN; a NaN left makes the individual unfit.
using TMXObjectivesEvent = std::function<void(TObject* Sender, TMXIndividual* Item, std::span<double> Objectives)>;
// Fitness of several individuals in one call (OnEvaluatePopulation): Items are the stale
// individuals of the population about to be evaluated, in population order.
using TMXPopulationFitnessEvent = std::function<void(TObject* Sender, std::span<TMXIndividual* const> Items)>;
// Veto of a mutation or inversion, and the reproduction result: set DoMutation false to cancel.
using TMXMutationEvent = std::function<void(TObject* Sender, TMXIndividual* Item, bool& DoMutation)>;
// Parent selection: the handler assigns Parent (it enters as nullptr).
using TMXSelectionEvent = std::function<void(TObject* Sender, TMXPopulation* Population, TMXIndividual*& Parent)>;
// Veto of a crossover (the flag keeps the name DoMutation here too).
using TMXCrossoverEvent = std::function<void(TObject* Sender, TMXIndividual* Parent1, TMXIndividual* Parent2,
                                             TMXIndividual* Child, bool& DoMutation)>;

class TMXCustomGeneticComponent : public TComponent {
 public:
  // Creates the current population (of TMXIndividual; subclasses with their own
  // population class call RecreatePopulations in their constructor) and sets the defaults.
  explicit TMXCustomGeneticComponent(TComponent* AOwner = nullptr);
  // Frees the elitist queue, both populations and the roulette table.
  ~TMXCustomGeneticComponent() override;

  std::string ClassName() const override { return "TMXCustomGeneticComponent"; }

  // --- Configuration -------------------------------------------------------------
  // Probabilities and fractions: an equal value changes nothing, below 0 stores 0,
  // above 1 stores 1.
  TGAProbability CrossoverProbability() const { return FCrossoverProbability; }
  void SetCrossoverProbability(TGAProbability Value);
  TGAProbability MutationProbability() const { return FMutationProbability; }
  void SetMutationProbability(TGAProbability Value);
  TGAProbability InversionProbability() const { return FInversionProbability; }
  void SetInversionProbability(TGAProbability Value);
  TGAProbability DiversityLimit() const { return FDiversityLimit; }
  void SetDiversityLimit(TGAProbability Value);
  TGAProbability ElitistPct() const { return FElitistPct; }
  void SetElitistPct(TGAProbability Value);

  // Size created by Initialize; below 0 stores 0, above Limits().MaxPopulation raises
  // EGAException and changes nothing.
  int InitialPopulation() const { return FInitialPopulation; }
  void SetInitialPopulation(int Value);
  // Retries the subclasses' DoInitialize spends on duplicates; below 0 stores 0, above
  // Limits().MaxDuplicatesRetries raises EGAException and changes nothing.
  int InitialDuplicatesRetries() const { return FInitialDuplicatesRetries; }
  void SetInitialDuplicatesRetries(int Value);
  // Below 1 stores 1 (the field nonetheless starts at 0).
  int GenerationLimit() const { return FGenerationLimit; }
  void SetGenerationLimit(int Value);
  // Tournament size; below 2 stores 2.
  int TournamentField() const { return FTournamentField; }
  void SetTournamentField(int Value);

  TGAFitness FitnessCutoff() const { return FFitnessCutoff; }
  void SetFitnessCutoff(TGAFitness Value) { FFitnessCutoff = Value; }
  int Generation() const { return FGeneration; }
  void SetGeneration(int Value) { FGeneration = Value; }
  TGAGeneticOperations Operations() const { return FOperations; }
  void SetOperations(TGAGeneticOperations Value) { FOperations = Value; }
  TGAFitnessMethod FitnessMethod() const { return FFitnessMethod; }
  void SetFitnessMethod(TGAFitnessMethod Value) { FFitnessMethod = Value; }
  bool UseFitnessCutoff() const { return FUseFitnessCutoff; }
  void SetUseFitnessCutoff(bool Value) { FUseFitnessCutoff = Value; }
  bool UseDiversityLimit() const { return FUseDiversityLimit; }
  void SetUseDiversityLimit(bool Value) { FUseDiversityLimit = Value; }
  bool UseGenerationLimit() const { return FUseGenerationLimit; }
  void SetUseGenerationLimit(bool Value) { FUseGenerationLimit = Value; }
  // Set true (from OnEvolve, or from another thread) to end Evolve(Generations) or
  // ParallelEvolve(Generations) after the current generation.
  bool Halt() const { return FHalt.load(std::memory_order_relaxed); }
  void SetHalt(bool Value) { FHalt.store(Value, std::memory_order_relaxed); }

  // Installs the built-in handler of the scheme as OnSelection (smCustom clears it);
  // an equal value changes nothing.
  TGASelectionMethod SelectionMethod() const { return FSelectionMethod; }
  void SetSelectionMethod(TGASelectionMethod Value);
  // True when SelectionMethod is smCustom.
  bool IsCustomSelection() const { return FSelectionMethod == smCustom; }

  // --- Multi-objective runs ----------------------------------------------------------
  // With ObjectiveCount > 0 every individual carries that many objective values, filled by
  // DoEvaluateObjectives whenever its fitness is evaluated. Its Fitness is then
  // OnEvaluateFitness's value when that handler is assigned, otherwise the first
  // objective's value; FitnessMethod should name that objective's direction, since the
  // statistics, FittestIndividual and the fitness cutoff read Fitness as in a
  // single-objective run. A NaN in any objective makes the individual unfit: its Fitness is
  // UnfitFitness() and every row without a NaN dominates it in the ranking.
  // Every evaluation of the population (EvaluateFitness, ParallelEvaluateFitness) then
  // ranks it into Pareto fronts over the objectives (maximised ones negated) and measures
  // crowding within each front. smNSGA2 ranks too; without objectives it ranks by Fitness
  // in the direction of FitnessMethod, as a single objective.
  int ObjectiveCount() const { return static_cast<int>(FObjectiveSenses.size()); }
  // 0 (a single-objective run, the default) to MAX_OBJECTIVES; anything else raises
  // EArgumentOutOfRangeException and changes nothing. A new count keeps the senses of the
  // objectives that remain (new ones minimise), clears HypervolumeReference, and marks
  // every individual of both populations stale so that its objectives are evaluated anew.
  void SetObjectiveCount(int Value);
  // The sense of objective Index; EArgumentOutOfRangeException outside 0..ObjectiveCount-1.
  TGAObjectiveSense ObjectiveSense(int Index) const;
  void SetObjectiveSense(int Index, TGAObjectiveSense Value);
  // The reference point of FrontHypervolume: one value per objective, in the objectives'
  // own senses. Empty (the default) for the automatic point: per objective, the worst value
  // among the population's rows without NaN, moved away from the best value by a tenth of
  // their distance (by 1 when they are equal); it follows the population, so it suits one
  // generation's comparison rather than a run's progress. A point of another size than
  // ObjectiveCount (other than empty) or holding NaN raises EArgumentOutOfRangeException
  // and changes nothing.
  const std::vector<double>& HypervolumeReference() const { return FHypervolumeReference; }
  void SetHypervolumeReference(std::span<const double> Value);

  // The first Pareto front of the population last evaluated (borrowed individuals, in
  // population order): empty when there is no ranking (no objectives and not smNSGA2) or
  // the population gained or lost individuals since.
  std::vector<TMXIndividual*> ParetoFront() const;
  // The objective rows of ParetoFront, row-major, in the objectives' own senses (the
  // Fitness alone when ranking without objectives).
  std::vector<double> ParetoFrontObjectives() const;
  int FrontSize() const { return static_cast<int>(FFront.size()); }
  // The objective space the first front dominates up to the reference point (see
  // HypervolumeReference), computed on the first read after each evaluation; 0 without a
  // front. Exact for any number of objectives: two and three by sweeps, more by slicing
  // along the last objective, whose cost grows as N^(M-2) for N front members and M
  // objectives.
  double FrontHypervolume() const;
  // Pareto rank (0 = first front) and crowding distance (+infinity at a front's ends) of
  // the individual at Index of the population last ranked. EListError when Index is
  // outside that population or it is not ranked.
  int ParetoRank(int Index) const;
  double CrowdingDistance(int Index) const;

  // --- Populations -----------------------------------------------------------------
  // The current generation, owned by the component.
  TMXPopulation* Population() const { return FPopulation.get(); }
  // Copies Value's individuals into the component's own population.
  void SetPopulation(const TMXPopulation* Value);
  // The parents' generation, owned by the component; nullptr until first needed.
  TMXPopulation* PreviousGeneration() const { return FPreviousGeneration.get(); }
  // Creates the previous generation when missing, then copies Value's individuals into it.
  void SetPreviousGeneration(const TMXPopulation* Value);
  // Exchanges the two population objects (creating an empty previous generation first
  // when there is none).
  void SwapGenerations();
  // A new, empty population of the class this component breeds in, owned by the caller,
  // for staging individuals apart from the two generations (copies to save, individuals
  // to load). Its individuals get their genome and fitness from this component as its
  // own do; the component must outlive it.
  std::unique_ptr<TMXPopulation> NewPopulation() { return CreatePopulation(FPopulation->IndividualClass()); }

  // --- State and statistics --------------------------------------------------------
  bool Initialized() const { return FInitialized; }
  // Best individual of the population last evaluated (borrowed), or nullptr.
  TMXIndividual* FittestIndividual() const { return FFittestIndividual; }
  TGAFitness MaxFitness() const { return FMaxFitness; }
  TGAFitness MinFitness() const { return FMinFitness; }
  TGAFitness MaxWeightedFitness() const { return FMaxWeightedFitness; }
  TGAFitness MinWeightedFitness() const { return FMinWeightedFitness; }
  // Sum over the population count, or the middle of min and max for an empty population.
  TGAFitness AvgFitness() const;
  TGAFitness AvgWeightedFitness() const;
  // AvgFitness / MaxFitness; positive infinity when MaxFitness is 0.
  TGAFitness Diversity() const;

  // --- Events ----------------------------------------------------------------------
  const TNotifyEvent& OnEvolve() const { return FOnEvolve; }
  void SetOnEvolve(TNotifyEvent Value) { FOnEvolve = std::move(Value); }
  const TMXInitializationEvent& OnInitialization() const { return FOnInitialization; }
  void SetOnInitialization(TMXInitializationEvent Value) { FOnInitialization = std::move(Value); }
  // The fitness function; evolution refuses to run without it (or OnEvaluatePopulation).
  const TMXFitnessEvent& OnEvaluateFitness() const { return FOnEvaluateFitness; }
  void SetOnEvaluateFitness(TMXFitnessEvent Value) { FOnEvaluateFitness = std::move(Value); }
  // The objectives of a multi-objective run; with it, evolution runs without OnEvaluateFitness.
  const TMXObjectivesEvent& OnEvaluateObjectives() const { return FOnEvaluateObjectives; }
  void SetOnEvaluateObjectives(TMXObjectivesEvent Value) { FOnEvaluateObjectives = std::move(Value); }
  // The fitness of a whole generation in one call, for fitness functions that work on many
  // genomes at once (vectorised or batched code). Every evaluation of a population
  // (EvaluateFitness, ParallelEvaluateFitness, the survival step of smNSGA2 and the parents
  // of a generation that are stale when it starts) first calls it once, on the calling
  // thread, with the population's stale individuals; it is not called when none is stale.
  // For each individual it scores, the handler calls SetFitness, and in a multi-objective
  // run SetObjectives first (ObjectiveCount values, each in its own sense); the fitness
  // then is usually the first objective, as the per-individual path makes it. A NaN
  // fitness or objective, or an objective row of another length, makes the individual
  // unfit as on the per-individual path. Individuals it leaves stale are evaluated one by
  // one afterwards (OnEvaluateFitness, OnEvaluateObjectives), as is any individual read
  // alone later. The handler must not add or remove individuals. With it, evolution runs
  // without OnEvaluateFitness; what it throws propagates as any handler's error does, the
  // individuals it scored before keeping their values.
  const TMXPopulationFitnessEvent& OnEvaluatePopulation() const { return FOnEvaluatePopulation; }
  void SetOnEvaluatePopulation(TMXPopulationFitnessEvent Value) { FOnEvaluatePopulation = std::move(Value); }
  // Optional weighted fitness; without it the weighted fitness is the raw fitness.
  const TMXFitnessEvent& OnEvaluateWeightedFitness() const { return FOnEvaluateWeightedFitness; }
  void SetOnEvaluateWeightedFitness(TMXFitnessEvent Value) { FOnEvaluateWeightedFitness = std::move(Value); }
  // The selection callback actually called. Assigning a handler switches SelectionMethod
  // to smCustom; assigning an empty one switches to smRoulette with its built-in handler.
  const TMXSelectionEvent& OnSelection() const { return FOnSelection; }
  void SetOnSelection(TMXSelectionEvent Value);
  const TMXParentChildEvent& OnInitializeChild() const { return FOnInitializeChild; }
  void SetOnInitializeChild(TMXParentChildEvent Value) { FOnInitializeChild = std::move(Value); }
  const TMXCrossoverEvent& OnCrossover() const { return FOnCrossover; }
  void SetOnCrossover(TMXCrossoverEvent Value) { FOnCrossover = std::move(Value); }
  const TMXMutationEvent& OnMutation() const { return FOnMutation; }
  void SetOnMutation(TMXMutationEvent Value) { FOnMutation = std::move(Value); }
  const TMXMutationEvent& OnInversion() const { return FOnInversion; }
  void SetOnInversion(TMXMutationEvent Value) { FOnInversion = std::move(Value); }
  const TMXMutationEvent& OnReproduction() const { return FOnReproduction; }
  void SetOnReproduction(TMXMutationEvent Value) { FOnReproduction = std::move(Value); }

  // --- Evolution -------------------------------------------------------------------
  // Fills the population to InitialPopulation, builds the genomes (OnInitialization, or
  // DoInitialize unless the handler took over), evaluates the population, copies it into
  // PreviousGeneration, then sets Initialized and Generation 0.
  virtual void Initialize();
  // One generation (initialising first when needed), then OnEvolve. A finished component
  // or an empty population produces nothing, but OnEvolve still fires. Throws
  // EGAException "No fitness function defined" without OnEvaluateFitness (or
  // OnEvaluatePopulation, or OnEvaluateObjectives with objectives), and "No custom
  // selection function defined" for smCustom without OnSelection, before the populations
  // are swapped. Exceptions from handlers or subclass steps propagate; the populations
  // then stay swapped with the children bred so far and Generation is unchanged.
  virtual void Evolve();
  // Up to Generations calls of Evolve(), stopping early when IsFinished or Halt holds
  // after a call; clears Halt first. Returns the number of generations completed.
  int Evolve(int Generations);
  // As Evolve(), with the child pairs bred and the children evaluated in parallel. The
  // last child of an odd-sized population is bred too. A seeded run gives the same result
  // whatever the number of threads, except under elitist selection.
  virtual void ParallelEvolve();
  // As Evolve(Generations) with ParallelEvolve() as the step.
  int ParallelEvolve(int Generations);
  // True when an enabled termination test holds: fitness cutoff (never while there is no
  // fittest individual), then diversity limit, then generation limit.
  virtual bool IsFinished();

  // --- Fitness ---------------------------------------------------------------------
  // Evaluates the current population as a whole: statistics, fittest individual and the
  // selection tables of the next generation. Every stale individual is evaluated:
  // first together by OnEvaluatePopulation, when assigned, then one by one.
  virtual void EvaluateFitness();
  // The same with the stale individuals evaluated in parallel (OnEvaluateFitness is then
  // called concurrently for different individuals).
  virtual void ParallelEvaluateFitness();
  // The fitness of one individual: DoEvaluateWeightedFitness when Weighted, otherwise
  // the user's OnEvaluateFitness (0 without one). A NaN answer counts as UnfitFitness().
  // Subclasses overriding it should bring the other EvaluateFitness overload into scope.
  virtual TGAFitness EvaluateFitness(TMXIndividual* Item, bool Weighted);
  // Fills Item's objectives through DoEvaluateObjectives and returns the raw fitness that
  // goes with them: UnfitFitness() when that fitness or any objective is NaN. Item's own
  // evaluation calls it in a multi-objective run; concurrent calls must be for different
  // individuals.
  TGAFitness EvaluateObjectives(TMXIndividual* Item);
  // -1 when Parent1 is fitter, 0 when equal, +1 when Parent2 is fitter: raw fitness when
  // UsePureFitness (direction of FitnessMethod), otherwise the fitness the method names.
  int CompareFitness(const TMXIndividual* Parent1, const TMXIndividual* Parent2, bool UsePureFitness) const;
  // The fitter of the two; a tie goes to Parent1.
  virtual TMXIndividual* Fittest(TMXIndividual* Parent1, TMXIndividual* Parent2, bool UsePureFitness) const;
  // The worst fitness of the method: the smallest positive single-precision value when
  // maximising, the largest single-precision value when minimising.
  virtual TGAFitness UnfitFitness() const;
  // Scalings: 1 / (F + 1) when minimising, 1 / (MaxFitness - F + 1) when maximising.
  TGAFitness GetAdjustedFitness(TGAFitness Fitness) const;
  // F / fitness sum (0 when the sum is 0), and the same with the weighted sum.
  TGAFitness GetNormalizedFitness(TGAFitness Fitness) const;
  TGAFitness GetNormalizedWeightedFitness(TGAFitness Fitness) const;

  // --- Reproduction ----------------------------------------------------------------
  // DoReproduce, then OnReproduction (for each child, sharing one flag) may change the
  // result, which is returned. The generation step ignores it.
  virtual bool Reproduce(TMXIndividual* Parent1, TMXIndividual* Parent2, TMXIndividual* Child1);
  virtual bool Reproduce(TMXIndividual* Parent1, TMXIndividual* Parent2, TMXIndividual* Child1,
                         TMXIndividual* Child2);
  // Draws CrossoverProbability > Random(); a successful draw may be vetoed by
  // OnCrossover (which sees Child1 only); then DoCrossover decides the result.
  virtual bool Crossover(TMXIndividual* Parent1, TMXIndividual* Parent2, TMXIndividual* Child1);
  virtual bool Crossover(TMXIndividual* Parent1, TMXIndividual* Parent2, TMXIndividual* Child1,
                         TMXIndividual* Child2);
  // Draws MutationProbability > Random(), OnMutation may veto, then DoMutate.
  virtual bool Mutate(TMXIndividual* Item);
  // Draws InversionProbability > Random(), OnInversion may veto, then DoInvert.
  virtual bool Invert(TMXIndividual* Item);

  // --- Selection -------------------------------------------------------------------
  // OnSelection's pick (nullptr if the handler assigns none), or DoSelectParent without
  // a handler.
  virtual TMXIndividual* SelectParent(TMXPopulation* Population);
  // The built-in schemes, with the signature of TMXSelectionEvent; custom handlers may
  // call them. Population must not be empty.
  // A uniformly drawn individual.
  void SelectRandom(TObject* Sender, TMXPopulation* Population, TMXIndividual*& Parent);
  // Fitness-proportional pick through the cumulative table (uniform when all fitness is
  // equal). A draw at or beyond the table's last value takes the last individual.
  virtual void SelectRoulette(TObject* Sender, TMXPopulation* Population, TMXIndividual*& Parent);
  // The fittest of TournamentField uniform picks (with replacement; ties keep the earlier).
  virtual void SelectTournament(TObject* Sender, TMXPopulation* Population, TMXIndividual*& Parent);
  // A uniform pick challenged by TournamentField - 1 roulette picks.
  virtual void SelectStochasticTournament(TObject* Sender, TMXPopulation* Population, TMXIndividual*& Parent);
  // Binary tournament of smNSGA2: of two uniform picks, the lower Pareto rank, then the
  // larger crowding distance, then the first. Ranks Population first when it is not the
  // population last ranked (not from several threads at once: the parallel step ranks
  // the parents before it starts). The generation step itself breeds from the mating
  // list instead (PrepareTournamentKeys), where every parent enters two tournaments.
  virtual void SelectNSGA2(TObject* Sender, TMXPopulation* Population, TMXIndividual*& Parent);
  // Cycles through the ranks 0 .. Round(Count * ElitistPct) of the elitist ranking
  // (uniform when all fitness is equal). A rank past the ranking takes its last rank.
  virtual void SelectElitist(TObject* Sender, TMXPopulation* Population, TMXIndividual*& Parent);

  // --- Persistence (persistence.cpp) -------------------------------------------------
  // From another genetic component, as plain field copies in this order: Generation,
  // FitnessCutoff, the three probabilities, ElitistPct, FitnessMethod, the raw and
  // weighted statistics and sums, DiversityLimit, GenerationLimit, the previous
  // generation (its individuals are copied into this component's own previous-generation
  // population; emptied when the source has none), TournamentField, Initialized, the three
  // Use... flags, InitialDuplicatesRetries, the objective senses and the hypervolume
  // reference; then SelectionMethod through its setter and Population through its setter
  // (every individual copied, objectives included). FittestIndividual then points at the
  // copy of the source's fittest individual, or is cleared when that is not in the
  // source's Population; an initialised component ranks the copies. Not copied:
  // InitialPopulation, Operations, Halt, the events, and the selection state (this
  // component's roulette table is dropped and rebuilt on demand).
  // Assigning a component to itself changes nothing. Any other source goes to the
  // inherited Assign (EConvertError "Cannot assign a ... to a ...").
  void Assign(const TPersistent* Source) override;
  // Defines the streamed float settings FitnessCutoff, DiversityLimit, ElitistPct,
  // CrossoverProbability, InversionProbability and MutationProbability, each written (in
  // the place of the published property of the same name) only when its stored test
  // holds, and read back by that published property.
  void DefineProperties(TFiler& Filer) override;
  // The stored tests: the value differs from its default constant (NaN always differs).
  bool IsFitnessCutoffStored() const;
  bool IsDiversityLimitStored() const;
  bool IsElitistPctStored() const;
  bool IsCrossoverProbabilityStored() const;
  bool IsInversionProbabilityStored() const;
  bool IsMutationProbabilityStored() const;

  // Appends the settings report ("Operating Conditions", "Initial Conditions" and the
  // termination conditions) to Strings, indenting the detail lines with TabStr.
  virtual void Describe(TStrings* Strings, const std::string& TabStr) const;
  // The Describe report with an indentation of three spaces, one "\n" after each line.
  virtual std::string ToString() const;

  // Writes the settings as a GeneticDocument: DiversityLimit, FitnessCutoff, FitnessMethod,
  // Generation, UseDiversityLimit, UseFitnessCutoff, GenerationLimit, UseGenerationLimit,
  // AvgFitness, MaxFitness, MinFitness (floats in single precision).
  // A multi-objective component adds ObjectiveSenses (the sense names, separated by
  // spaces) and, when set, HypervolumeReference (numbers that read back exactly).
  virtual void SaveToXML(const IXMLGeneticDocumentType& Doc);
  // Reads DiversityLimit, FitnessCutoff, FitnessMethod (an unknown or empty name keeps the
  // current method), Generation, the three Use... flags and GenerationLimit (through the
  // setter, and only when it differs from the current value), then ObjectiveSenses and
  // HypervolumeReference when the document has them (without them the objective settings
  // stay). Every value is converted before the first is applied: a number that does not
  // convert raises EConvertError and changes nothing. Populations, statistics and the other settings are not touched.
  virtual void LoadFromXML(const IXMLGeneticDocumentType& Doc);
  // Writes this component's document (an indented GeneticDocument here) to the stream.
  virtual void SaveToStream(TStream& Stream);
  // SaveToStream into a TSafeFileStream: the file is replaced only once the whole document
  // is written; any failure raises EFCreateError and leaves the old file as it was.
  virtual void SaveToFile(const std::string& FileName);
  // Parses the stream as this component's document and calls LoadFromXML. A stream that
  // is no well-formed XML, or whose root has another name, raises EXMLDocError before
  // anything changes.
  virtual void LoadFromStream(TStream& Stream);
  // The same from a file (EFOpenError when it cannot be opened).
  virtual void LoadFromFile(const std::string& FileName);

 protected:
  // Writers of the defined float settings.
  void WriteFitnessCutoff(TWriter& Writer) const;
  void WriteDiversityLimit(TWriter& Writer) const;
  void WriteElitistPct(TWriter& Writer) const;
  void WriteCrossoverProbability(TWriter& Writer) const;
  void WriteInversionProbability(TWriter& Writer) const;
  void WriteMutationProbability(TWriter& Writer) const;

  // Declares the core's published properties named in Names, in that order, with their
  // streaming defaults (the constants the constructor applies). Published components call
  // it between their own declarations, so that the core's declarations live in one place
  // whatever order a component publishes. An unknown name is a programming error:
  // EArgumentOutOfRangeException.
  // The multi-objective settings are ObjectiveCount (an integer, written when not 0),
  // ObjectiveSenses (a list of sense names, written with objectives) and
  // HypervolumeReference (a list of numbers, written when set), declared in that order so
  // that a read applies the count first; a list of another length than ObjectiveCount
  // fails the read.
  void DeclareCoreProperties(TPropertyRegistry& Reg, std::initializer_list<std::string_view> Names);
  // Captures ObjectiveCount, the senses and HypervolumeReference; the returned function
  // puts all three back (the undo of a failed read).
  std::function<void()> ObjectiveSettingsRestorer();
  // The objective lines of the report, added when evaluations rank the population: the
  // senses (or the fitness alone), the reference point (or "automatic") and, once ranked,
  // the first front's size and hypervolume. Nothing in a single-objective run.
  void DescribeObjectives(TStrings* Strings, const std::string& TabStr) const;

  // Replaces both populations (their individuals are destroyed) by new ones from
  // CreatePopulation with the current item class. Constructors of subclasses that
  // override CreatePopulation call it, since the base constructor cannot reach overrides.
  void RecreatePopulations();
  // A new population of IndividualClass owned by this component; the caller holds it.
  virtual std::unique_ptr<TMXPopulation> CreatePopulation(TMXIndividualClass IndividualClass);

  // The domain load that GA and GP share. A component that never was initialised is
  // initialised with an empty population first (the document brings the individuals;
  // InitialPopulation is restored afterwards, also on error). ReadDomain then reads the
  // genes or instructions and the population; the loaded population becomes the previous
  // generation too, and EvaluateFitness fills the statistics, the fittest individual and
  // the selection tables as the last generation left them: the next Evolve breeds from it.
  void LoadPopulation(const std::function<void()>& ReadDomain);
  // Whether that first initialisation keeps Generation as it stood before the load (after
  // a whole document, the document's) rather than the 0 Initialize leaves; restored also
  // on error. False here, and so for GA: a GeneticAlgorithm document loaded into a fresh
  // component starts a new run from its population, counted from 0. GP overrides it with
  // true: a GeneticProgram document resumes the run it was saved from, so that
  // GenerationLimit counts on from the saved Generation, as it does when the document is
  // loaded into an initialised component of either kind.
  virtual bool LoadKeepsGeneration() const { return false; }

  // Hooks called by the populations. The base clears FittestIndividual when it leaves.
  virtual void PopulationNotify(TMXIndividual* Item, TCollectionNotification Action);
  virtual void PopulationUpdate(TMXIndividual* Item);

  // Genome work of the subclasses; the base changes nothing and returns false (0).
  // Child2 is nullptr for a single child.
  virtual bool DoCrossover(TMXIndividual* Parent1, TMXIndividual* Parent2, TMXIndividual* Child1,
                           TMXIndividual* Child2);
  virtual bool DoMutate(TMXIndividual* Item);
  virtual bool DoInvert(TMXIndividual* Item);
  // Builds the genomes of the individuals already in Population. The result is free for
  // the subclass (the count of distinct genomes, say); the core ignores it.
  virtual int DoInitialize();
  // Raises EGAException when a population of Individuals would exceed Limits() (the
  // count here; subclasses add what their genomes need). Initialize calls it before it
  // adds anyone.
  virtual void CheckPopulationCapacity(std::int64_t Individuals) const;

  // The generation step and its parts.
  virtual void DoEvolve();
  virtual void DoParallelEvolve();
  // Breeds the children at Index and Index + 1 (a single child at the last position)
  // from two parents: SelectParent's, or under smNSGA2 the mating list's entries Index and
  // Index + 1.
  virtual void DoEvolveOneStep(int Index);
  // DoEvolveOneStep(2 * Index): the pair of the parallel loop's iteration Index.
  void DoParallelEvolveOneStep(int Index) { DoEvolveOneStep(2 * Index); }
  // Resets the roulette index to -1 and swaps the generations.
  virtual void DoStartEvolve();
  // Counts the completed generation.
  virtual void DoFinishEvolve();
  // Child <- copy of Parent1 (fitness state included), then OnInitializeChild.
  virtual void InitializeChild(TMXIndividual* Parent1, TMXIndividual* Parent2, TMXIndividual* Child);
  // InitializeChild for each child, then crossover, mutation and inversion (each only
  // when in Operations, each always called); true when any changed a child.
  virtual bool DoReproduce(TMXIndividual* Parent1, TMXIndividual* Parent2, TMXIndividual* Child1);
  virtual bool DoReproduce(TMXIndividual* Parent1, TMXIndividual* Parent2, TMXIndividual* Child1,
                           TMXIndividual* Child2);

  // Statistics passes over the current population (which must not be empty).
  virtual void DoCalculateFitnessStatistics();
  virtual void DoParallelCalculateFitnessStatistics();
  virtual void DoCalculateWeightedFitnessStatistics();
  // OnEvaluateWeightedFitness's value, or the cached raw fitness without a handler.
  virtual TGAFitness DoEvaluateWeightedFitness(TMXIndividual* Item);
  // Fills Objectives (ObjectiveCount values, entering as NaN) for Item and returns its raw
  // fitness: the values of OnEvaluateObjectives (without that handler, the values stored on
  // Item when it holds as many); the fitness of EvaluateFitness(Item, false) when
  // OnEvaluateFitness is assigned, otherwise the first objective.
  virtual TGAFitness DoEvaluateObjectives(TMXIndividual* Item, std::span<double> Objectives);
  // Calls OnEvaluatePopulation with Items (stale individuals of one population, none
  // twice). A subclass may score them here itself, as the handler would.
  virtual void DoEvaluatePopulation(std::span<TMXIndividual* const> Items);
  // Ranks the current population into Pareto fronts with crowding distances and keeps the
  // first front (a step of EvaluateFitness when ranking is on, after the weighted
  // statistics).
  virtual void DoCalculateParetoStatistics();
  // smNSGA2 survival after breeding: ranks parents (PreviousGeneration) and children
  // (Population) together and keeps Population.Count of them, whole fronts in rank order,
  // the front that does not fit by decreasing crowding distance within it (ties: parents
  // first, then population order). Surviving children stay where they are; the surviving
  // parents are copied over the children that do not survive, in order.
  virtual void SelectSurvivors();

  // Without a selection handler: EGAException "No custom selection function defined".
  virtual TMXIndividual* DoSelectParent(TMXPopulation* Population);
  // Builds the table (roulette, stochastic tournament) or ranking (elitist) that the
  // current scheme reads during the next generation.
  virtual void DoSelectionPreparation();
  // Ranks the current population into the elitist queue (created on first use).
  virtual void PrioritizePopulation();
  // Rebuilds the cumulative normalized fitness table over the current population.
  void CalculateCumulativeNormalizedFitnesses();

  // Read access for subclasses.
  const TGAFitnessArray& CumNormFitnesses() const { return FCumNormFitnesses; }
  int RouletteIndex() const { return FRouletteIndex.load(std::memory_order_relaxed); }
  const TFloatPriorityQueue* PriorityQueue() const { return FPriorityQueue.get(); }
  TGAFitness FitnessSum() const { return FFitnessSum; }
  TGAFitness WeightedFitnessSum() const { return FWeightedFitnessSum; }

 private:
  friend class TMXPopulation;

  TMXSelectionEvent BuiltInSelection(TGASelectionMethod Method);
  // True when the fitness the method compares is the same for every individual.
  bool UniformFitness() const;
  // True when evaluations rank the population (objectives, or smNSGA2).
  bool ParetoRanking() const { return !FObjectiveSenses.empty() || FSelectionMethod == smNSGA2; }
  // Appends one row per individual of Population to Points, in minimising form (maximised
  // objectives negated; a row of the wrong length is NaN), and returns the row length.
  // Reads the objectives, evaluating stale individuals.
  int ParetoPoints(const TMXPopulation& Population, std::vector<double>& Points) const;
  // Ranks Population: ranks and crowding per position, the first front, its rows and the
  // automatic reference point.
  void RankPareto(const TMXPopulation& Population);
  void DropParetoRanking();
  bool Maximizing() const { return FFitnessMethod == fmMaximize || FFitnessMethod == fmWeightedMaximize; }
  bool Weighted() const { return FFitnessMethod == fmWeightedMinimize || FFitnessMethod == fmWeightedMaximize; }
  void ClearStatistics();
  // Hands Population's stale individuals to DoEvaluatePopulation when there are any, then
  // makes the values it stored count as the per-individual path would (NaN is unfit).
  void EvaluateStale(const TMXPopulation& Population);
  void CheckHandlers() const;
  // Runs Step (Evolve or ParallelEvolve) up to Generations times, after clearing Halt; stops
  // early once finished or halted. Returns the generations run.
  int RunGenerations(int Generations, void (TMXCustomGeneticComponent::*Step)());
  void PrepareParallelStep();
  // Builds the roulette table over the current population when the scheme reads one and
  // it is missing (dropped because its population changed). Runs before the swap, while
  // the current population is still the one the parents will be drawn from.
  void PrepareRouletteTable();
  // Copies the fitness that tournaments compare into one dense array over Parents, so
  // that a tournament reads 8 bytes per entrant from a table that stays in cache instead
  // of one individual each. Only for the built-in tournament over unweighted fitness,
  // whose values are cached on the individuals: a weighted fitness calls its handler on
  // every comparison. The keys hold for one generation's breeding.
  // Under smNSGA2 it draws the generation's mating list instead, as NSGA-II's original
  // mating selection does: the parents are shuffled, and each pair of neighbours holds a
  // binary tournament on (rank, crowding distance; the first of the pair on a tie), the
  // winners in order; a fresh shuffle follows whenever one is used up, so every parent
  // enters two tournaments of a generation of as many children. The draws come from the
  // calling thread's stream before breeding starts, so a seeded run picks the same
  // parents on any number of threads.
  void PrepareTournamentKeys(const TMXPopulation& Parents);
  void DropTournamentKeys() {
    FKeyedPopulation = nullptr;
    FMatedPopulation = nullptr;
  }
  // The smNSGA2 part of PrepareTournamentKeys.
  void PrepareMates(const TMXPopulation& Parents);
  // Called by a population before PopulationNotify; drops a ranking whose individuals
  // leave, and a roulette table whose population gains or loses individuals.
  void PopulationChanging(const TMXPopulation* Sender, TCollectionNotification Action);

  // Settings (the constructor applies their defaults, the DEFAULT_ constants of consts.h).
  TGAProbability FCrossoverProbability = 0;
  TGAProbability FMutationProbability = 0;
  TGAProbability FInversionProbability = 0;
  TGAProbability FDiversityLimit = 0;
  TGAProbability FElitistPct = 0;
  TGAFitness FFitnessCutoff = 0;
  TGAFitnessMethod FFitnessMethod = fmMinimize;
  TGASelectionMethod FSelectionMethod = smRoulette;
  TGAGeneticOperations FOperations;
  int FInitialPopulation = 0;
  int FInitialDuplicatesRetries = 0;
  int FGenerationLimit = 0;
  int FTournamentField = 0;
  bool FUseFitnessCutoff = false;
  bool FUseDiversityLimit = false;
  bool FUseGenerationLimit = false;

  // Events.
  TNotifyEvent FOnEvolve;
  TMXInitializationEvent FOnInitialization;
  TMXFitnessEvent FOnEvaluateFitness;
  TMXFitnessEvent FOnEvaluateWeightedFitness;
  TMXObjectivesEvent FOnEvaluateObjectives;
  TMXPopulationFitnessEvent FOnEvaluatePopulation;
  TMXSelectionEvent FOnSelection;
  TMXParentChildEvent FOnInitializeChild;
  TMXCrossoverEvent FOnCrossover;
  TMXMutationEvent FOnMutation;
  TMXMutationEvent FOnInversion;
  TMXMutationEvent FOnReproduction;

  // Run state: the two generations, the generation counter and the stop request.
  std::unique_ptr<TMXPopulation> FPopulation;
  std::unique_ptr<TMXPopulation> FPreviousGeneration;
  bool FInitialized = false;
  int FGeneration = 0;
  std::atomic<bool> FHalt{false};

  // Statistics of the population last evaluated.
  TMXIndividual* FFittestIndividual = nullptr;
  TGAFitness FMaxFitness = 0;
  TGAFitness FMinFitness = 0;
  TGAFitness FFitnessSum = 0;
  TGAFitness FMaxWeightedFitness = 0;
  TGAFitness FMinWeightedFitness = 0;
  TGAFitness FWeightedFitnessSum = 0;

  // Selection state prepared once per generation: the cumulative table, the roulette
  // index (written by roulette and elitist picks, also from the parallel step's workers)
  // and the elitist ranking with the population whose individuals it holds.
  TGAFitnessArray FCumNormFitnesses;
  const TMXPopulation* FTabledPopulation = nullptr;  // the population the table describes
  std::atomic<int> FRouletteIndex{0};
  std::unique_ptr<TFloatPriorityQueue> FPriorityQueue;
  const TMXPopulation* FRankedPopulation = nullptr;
  // Tournament keys for the breeding in progress: lower wins (the fitness, negated when
  // maximizing), one per individual of FKeyedPopulation in index order.
  TGAFitnessArray FTournamentKeys;
  const TMXPopulation* FKeyedPopulation = nullptr;
  // smNSGA2's mating list for the breeding in progress: positions in FMatedPopulation,
  // two per child pair.
  std::vector<int> FMates;
  const TMXPopulation* FMatedPopulation = nullptr;

  // Multi-objective settings and the Pareto ranking of FParetoPopulation: rank and
  // crowding per position, the first front's positions and rows (minimising form), the
  // automatic reference point, and the hypervolume computed on demand.
  std::vector<TGAObjectiveSense> FObjectiveSenses;
  std::vector<double> FHypervolumeReference;
  const TMXPopulation* FParetoPopulation = nullptr;
  std::vector<int> FParetoRanks;
  std::vector<double> FCrowding;
  std::vector<int> FFront;
  std::vector<double> FFrontPoints;
  int FFrontWidth = 0;
  std::vector<double> FAutoReference;
  mutable double FHypervolume = 0;
  mutable bool FHypervolumeKnown = false;
};

}  // namespace evokit
