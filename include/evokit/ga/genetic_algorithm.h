// The genetic-algorithm component: TMXCustomGeneticAlgorithm specialises the genetic
// component for bit-string chromosomes. It owns the gene definitions, fixes the
// chromosome length (GeneSize) and keeps every chromosome of its population at it, and
// supplies the genome steps of the generation loop: duplicate-avoiding random
// initialisation, one-point crossover at gene, bit, byte, word or longword boundaries or
// simulated binary crossover of the numeric genes (with its own OnCrossover event),
// per-bit or polynomial mutation, and run inversion.
// TMXGeneticAlgorithm is the class an application uses. Saving and loading the GA
// documents, and component streaming, are added by the GA persistence module.
// Thread safety: as TMXCustomGeneticComponent. Under ParallelEvolve the crossover,
// mutation and inversion steps run concurrently for different children: they write only
// the child's chromosome, read the parents' and the genes, and take no lock.
#pragma once

#include <functional>
#include <memory>

#include <evokit/core/genetic_component.h>
#include <evokit/ga/chromosome.h>
#include <evokit/ga/genes.h>

namespace evokit {

class IXMLGeneticAlgorithm;
class IXMLGADomainType;

// Crossover event of the GA component. CrossoverBit (in/out) is the number of leading
// bits Child takes from Parent1; under cmSimulatedBinary it is passed as -1 and what the
// handler leaves in it is ignored. Clearing DoMutation stops the crossover into Child.
using TMXGACrossoverEvent =
    std::function<void(TObject* Sender, TMXGAIndividual* Parent1, TMXGAIndividual* Parent2,
                       TMXGAIndividual* Child, std::int32_t& CrossoverBit, bool& DoMutation)>;

class TMXCustomGeneticAlgorithm : public TMXCustomGeneticComponent {
 public:
  // Populations of TMXGAIndividual, an empty TMXGAGene collection, GeneSize 0,
  // cmGeneBoundary, plus the defaults of the genetic component.
  explicit TMXCustomGeneticAlgorithm(TComponent* AOwner = nullptr);
  // Frees the genes, then the populations.
  ~TMXCustomGeneticAlgorithm() override;

  std::string ClassName() const override { return "TMXCustomGeneticAlgorithm"; }

  // From another GA component: GeneSize as a plain value (existing chromosomes keep
  // their length), CrossoverMethod, MutationMethod, both distribution indices and a copy
  // of the genes; then, for every source, the genetic component's Assign.
  void Assign(const TPersistent* Source) override;

  // --- Genes and chromosome length ---------------------------------------------------
  // The gene definitions, owned by the component.
  TMXGAGenes* Genes() const { return FGenes.get(); }
  // Copies Value's genes into the own collection (Assign); GeneSize then grows to their
  // total size when it is smaller. nullptr empties the collection.
  void SetGenes(const TMXGAGenes* Value);
  // Chromosome length in bits. A new value (negative stores 0) resizes every chromosome
  // of Population (new bits false, surplus dropped) and marks each individual Modified,
  // inside one BeginUpdate/EndUpdate of the population.
  std::int32_t GeneSize() const { return FGeneSize; }
  void SetGeneSize(std::int32_t Value);
  // Called by the genes when a gene's Size changed: GeneSize grows to the genes' total
  // size when that is larger. Removing or shrinking genes never shortens it.
  virtual void GenesSizeChange();
  // Called by the genes after a gene was added, extracted or deleted, and after a change
  // (Gene nullptr: the whole list). Nothing here; for descendants.
  virtual void GeneNotify(TMXGAGene* Gene, TCollectionNotification Action);
  virtual void GeneUpdate(TMXGAGene* Gene);

  // How DoCrossover picks the crossover point. Any value outside the enumeration acts as
  // cmBitBoundary.
  TGACrossoverMethod CrossoverMethod() const { return FCrossoverMethod; }
  void SetCrossoverMethod(TGACrossoverMethod Value) { FCrossoverMethod = Value; }
  // How DoMutate changes a chromosome (see DoMutate). Any value outside the enumeration
  // acts as gmBitFlip.
  TGAMutationMethod MutationMethod() const { return FMutationMethod; }
  void SetMutationMethod(TGAMutationMethod Value) { FMutationMethod = Value; }
  // Distribution indices of the simulated binary crossover and of the polynomial
  // mutation: the larger, the closer children stay to their parents. A negative or NaN
  // value raises EGAException and changes nothing.
  double CrossoverDistributionIndex() const { return FCrossoverDistributionIndex; }
  void SetCrossoverDistributionIndex(double Value);
  double MutationDistributionIndex() const { return FMutationDistributionIndex; }
  void SetMutationDistributionIndex(double Value);

  // This component's crossover event, fired by DoCrossover for each child. The genetic
  // component's own crossover veto stays reachable as TMXCustomGeneticComponent::OnCrossover.
  const TMXGACrossoverEvent& OnCrossover() const { return FOnCrossover; }
  void SetOnCrossover(TMXGACrossoverEvent Value) { FOnCrossover = std::move(Value); }

  // --- Typed views -------------------------------------------------------------------
  TMXGAPopulation* Population() const {
    return static_cast<TMXGAPopulation*>(TMXCustomGeneticComponent::Population());
  }
  TMXGAPopulation* PreviousGeneration() const {
    return static_cast<TMXGAPopulation*>(TMXCustomGeneticComponent::PreviousGeneration());
  }
  TMXGAIndividual* FittestIndividual() const {
    return static_cast<TMXGAIndividual*>(TMXCustomGeneticComponent::FittestIndividual());
  }

  // --- Genetic operations ------------------------------------------------------------
  // Replaces the probability test of the genetic component: OnMutation may veto, then
  // DoMutate, whose per-bit probability is MutationProbability. False when vetoed.
  bool Mutate(TMXIndividual* Item) override;

  // --- Persistence (ga_persistence.cpp) ------------------------------------------------
  using TMXCustomGeneticComponent::LoadFromXML;
  using TMXCustomGeneticComponent::SaveToXML;
  // Writes the GeneticDocument settings, then Reproduction (CrossoverMethod; then
  // CrossoverDistributionIndex, MutationMethod and MutationDistributionIndex, each only
  // when not at its default; the three probabilities, SelectionMethod with Method,
  // ElitistPercent and TournamentField), then Domain.
  virtual void SaveToXML(const IXMLGeneticAlgorithm& GAXML);
  // Writes GenoType, FittestIndividual (when there is one) and Chromosomes.
  virtual void SaveToXML(const IXMLGADomainType& GAXML);
  // Reads the GeneticDocument settings, then Reproduction: CrossoverMethod by name (a
  // missing or empty one is cmGeneBoundary, an unknown one keeps the current method),
  // MutationMethod likewise (missing or empty: gmBitFlip), the distribution indices (a
  // missing one is the default; a negative or NaN one raises EGAException), the
  // probabilities, the selection method by name (an unknown or empty one keeps the
  // current method), ElitistPct and TournamentField through their setters; then Domain.
  // The settings and reproduction values are all converted and checked before the first
  // is applied.
  virtual void LoadFromXML(const IXMLGeneticAlgorithm& GAXML);
  // Initialises a component that never was (with an empty population, restoring
  // InitialPopulation afterwards, also on error), reads GenoType into the genes and
  // Chromosomes into the population, copies the population into PreviousGeneration, and
  // evaluates the population (statistics, fittest individual, selection tables) so that
  // evolution resumes from it. Errors of the genes and chromosomes keep what was read.
  virtual void LoadFromXML(const IXMLGADomainType& GAXML);
  // The GeneticAlgorithm document, without indentation.
  void SaveToStream(TStream& Stream) override;
  // Parse errors (EXMLDocError) and a root other than GeneticAlgorithm change nothing.
  void LoadFromStream(TStream& Stream) override;
  void LoadFromFile(const std::string& FileName) override;

 protected:
  // A TMXGAPopulation of TMXGAIndividual owned by this component, whatever class is asked.
  std::unique_ptr<TMXPopulation> CreatePopulation(TMXIndividualClass IndividualClass) override;
  // A gene collection of GeneClass owned by this component; the caller holds it.
  virtual std::unique_ptr<TMXGAGenes> CreateGenes(TMXGeneClass GeneClass);
  // Replaces the genes by an empty collection from CreateGenes(GeneClass); for the
  // constructors of descendants that override CreateGenes.
  void RecreateGenes(TMXGeneClass GeneClass);

  // The inherited handling, then an added individual's chromosome gets GeneSize bits.
  void PopulationNotify(TMXIndividual* Item, TCollectionNotification Action) override;
  // The count, and the count times GeneSize against Limits().MaxPopulationBits.
  void CheckPopulationCapacity(std::int64_t Individuals) const override;

  // Randomizes every chromosome (RandomizeChromosome), retrying duplicates (equal bit
  // text) within one budget of InitialDuplicatesRetries for the whole population; returns
  // the number of distinct chromosomes recorded (0 without a budget).
  int DoInitialize() override;
  // Random bits. Under the real-coded variation (cmSimulatedBinary or gmPolynomial) each
  // numeric gene then holds a uniform draw within its bounds instead (whole-number genes
  // each value of their range with the same chance), because random bits of a float gene
  // are rarely a number within its bounds and those operators clamp what lies outside.
  void RandomizeChromosome(TMXGABits& Bits);
  // Picks the crossover point by CrossoverMethod (gene-boundary crossover without genes,
  // or with one gene of Size 0, picks a bit-boundary point), lets OnCrossover change the
  // point and the flag for Child1 and then, with the parents swapped, for Child2, and
  // crosses each child while the flag holds. Returns the final flag.
  // cmSimulatedBinary: the point is -1 for both events, and each child whose flag held
  // becomes a copy of its own first parent (Child1 of Parent1, Child2 of Parent2) whose
  // numeric genes are then crossed by bounded simulated binary crossover: each gene,
  // with probability 1/2 and when the parents' values differ, gets a pair of children
  // spread by CrossoverDistributionIndex around the parents, clamped to the gene's
  // bounds (rounded for whole-number genes) and handed to the two children in random
  // order. Numeric genes are gtInteger and gtFloat; a gtFloat of a width other than 32
  // or 64 bits holds a whole number. A parent value outside the bounds counts as the
  // nearest bound; a NaN leaves the gene as the children's own parents have it.
  bool DoCrossover(TMXIndividual* Parent1, TMXIndividual* Parent2, TMXIndividual* Child1,
                   TMXIndividual* Child2) override;
  // gmBitFlip: the chromosome's Mutate(MutationProbability). gmPolynomial: each numeric
  // gene (as for cmSimulatedBinary), with probability MutationProbability, moves by
  // bounded polynomial mutation with MutationDistributionIndex and stays within its
  // bounds (rounded for whole-number genes); the bits of every other gene, and the bits
  // past the genes, flip with MutationProbability each. True when a bit changed.
  bool DoMutate(TMXIndividual* Item) override;
  // The chromosome's Invert(-1, -1); true.
  bool DoInvert(TMXIndividual* Item) override;

  // The crossover point for a child of Length bits (see DoCrossover).
  std::int32_t CrossoverPoint(std::int32_t Length);

 private:
  // The cmSimulatedBinary part of DoCrossover, for the children whose flag held (either
  // may be nullptr).
  void SimulatedBinaryCrossover(TMXGAIndividual* Parent1, TMXGAIndividual* Parent2, TMXGAIndividual* Child1,
                                TMXGAIndividual* Child2);
  // The gmPolynomial part of DoMutate.
  bool PolynomialMutation(TMXGAIndividual* Item);

 private:
  // Settings: the genes, the chromosome length and the crossover scheme.
  std::unique_ptr<TMXGAGenes> FGenes;
  std::int32_t FGeneSize = 0;
  TGACrossoverMethod FCrossoverMethod = cmGeneBoundary;
  TGAMutationMethod FMutationMethod = gmBitFlip;
  double FCrossoverDistributionIndex = DEFAULT_DISTRIBUTION_INDEX;
  double FMutationDistributionIndex = DEFAULT_DISTRIBUTION_INDEX;
  // Events.
  TMXGACrossoverEvent FOnCrossover;
};

// The GA component applications use; it adds no behaviour.
class TMXGeneticAlgorithm : public TMXCustomGeneticAlgorithm {
 public:
  explicit TMXGeneticAlgorithm(TComponent* AOwner = nullptr) : TMXCustomGeneticAlgorithm(AOwner) {}
  std::string ClassName() const override { return "TMXGeneticAlgorithm"; }

  // The published properties, in streaming order (ga_persistence.cpp). The six float
  // settings with non-zero defaults are written by the genetic component's defined
  // properties and read back here.
  void DeclareProperties(TPropertyRegistry& Reg) override;
};

}  // namespace evokit
