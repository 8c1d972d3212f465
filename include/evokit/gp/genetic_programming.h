// The genetic-programming component: TMXCustomGeneticProgramming<T> specialises the
// genetic component for program trees (gp_individual.h). It owns the instruction set and
// keeps it split into functions and terminals, is the engine that instructions, nodes
// and populations call back (IMXGeneticProgramEngine<T>), builds the initial trees (full,
// grow, ramped, half-and-half, avoiding duplicates), breeds them (subtree and size- or
// depth-fair crossover, the mutation methods of its table MutationMethods chosen by
// weight, point mutation as inversion), controls bloat by the strategies of GPBloatRules
// (bloat.h) and keeps program size and depth statistics. CoVariance and Correlation are
// the statistics the covariant parsimony uses. TGPDefaults holds every default setting.
//
// Its settings, instructions and population are copied by Assign, streamed, saved and
// loaded as GeneticProgram documents and described in a report (gp_persistence.impl.h).
// The concrete components (gp_components.h) choose their instruction and node classes by
// overriding CreateInstructions (then calling RecreateInstructions in their constructor)
// and CreateNode.
//
// Thread safety: as TMXCustomGeneticComponent. Under ParallelEvolve the crossover,
// mutation, inversion and bloat steps run concurrently for different children: they
// write only the children's trees and read the parents' trees, the instruction lists and
// the settings. Before the parallel loops start the component fills the size and depth
// caches of every tree and computes the program statistics, so the workers only read
// them. Handlers must not change the instruction set, and must not read the program
// statistics during parallel breeding (they are recomputed for the new generation on
// first use).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <evokit/core/genetic_component.h>
#include <evokit/gp/bloat.h>
#include <evokit/gp/fitness_memo.h>
#include <evokit/gp/program.h>
#include <evokit/gp/gp_individual.h>

namespace evokit {

// The settings of a new GP component, each written once: the member initialisers and the
// constructor apply them, and component streaming leaves the GP settings unwritten while
// they equal them.
struct TGPDefaults {
  static constexpr TGAProbability CrossoverProbability = GP_CROSSOVER_PROBABILITY;
  static constexpr int TournamentField = 7;
  static constexpr TGPCrossoverMethod CrossoverMethod = cmSubtree;
  static constexpr TGPInitializationMethod InitializationMethod = imFull;
  static constexpr int InitializationDepth = 0;
  static constexpr TGAProbability SelectionNonTerminalsProbability = NONTERMINALS_SELECTION_PROBABILITY;
  static constexpr TGPBloatStrategy BloatStrategy = bsNone;
  static constexpr int BloatLimit = 10;
  static constexpr TGPMutationMethodWeights MutationWeights = DefaultMutationWeights;
  static constexpr TGPPointMutationMethod PointMutationMethod = pmmPerNode;
  static constexpr TGAProbability PointMutationProbability = INVERSION_PROBABILITY;
  static constexpr TGAFloat ParsimonyCoefficient = DEFAULT_PARSIMONY_COEFFICIENT;
  static constexpr TGAFloat TarpeianProbability = DEFAULT_TARPEIAN_PROBABILITY;
  static constexpr bool ReuseFitness = false;
};

namespace detail {
// Rows holds one row per mutation method in enumeration order, each naming its weight
// element after the enumeration value. (Each row's step is left to the tests: GCC's null
// sanitizer makes a member function's address compared with null no constant.)
template <class TRows>
constexpr bool MutationMethodRowsFit(const TRows& Rows) {
  if (!EnumTableInOrder(Rows, &TRows::value_type::Method)) return false;
  for (std::size_t i = 0; i < Rows.size(); ++i)
    if (Rows[i].Element != TEnumInfo<TGPMutationMethod>::Names[i] || Rows[i].WeightProperty.empty())
      return false;
  return true;
}
}  // namespace detail

template <class T>
class TMXCustomGeneticProgramming : public TMXCustomGeneticComponent, public IMXGeneticProgramEngine<T> {
 public:
  using TInstruction = TMXGPInstruction<T>;
  using TInstructions = TMXGPInstructions<T>;
  using TNode = TMXGPNode<T>;
  using TNodeList = std::vector<TNode*>;
  using TIndividual = TMXGPIndividual<T>;
  using TPopulation = TMXGPPopulation<T>;

  // An empty instruction set of TMXGPInstruction<T>, populations of TMXGPIndividual<T>,
  // and the settings of TGPDefaults (CrossoverProbability and TournamentField included).
  explicit TMXCustomGeneticProgramming(TComponent* AOwner = nullptr);
  // Empties both populations, then frees the instruction set.
  ~TMXCustomGeneticProgramming() override;

  std::string ClassName() const override {
    return std::string("TMXCustomGeneticProgramming<") + TGPValueTypeName<T>::Value + ">";
  }

  // --- Instructions ------------------------------------------------------------------
  // The instruction set, owned by the component. Adding, removing or changing an
  // instruction empties both populations (their trees would refer to it).
  TInstructions* Instructions() const { return FInstructions.get(); }
  TInstructions* GetInstructions() override { return FInstructions.get(); }
  // Copies Value's instructions (Assign) into the own set; the caller keeps Value.
  void SetInstructions(const TInstructions* Value) override;
  // The functions (instructions of arity 1 or more) and the terminals (arity 0), each in
  // the order they became one. EListError outside 0..count-1.
  TInstruction* Functions(int Index) const;
  int FunctionsCount() const { return static_cast<int>(FOperations.size()); }
  TInstruction* Terminal(int Index) const;
  int TerminalsCount() const { return static_cast<int>(FTerminals.size()); }

  // --- Configuration -------------------------------------------------------------------
  TGPCrossoverMethod CrossoverMethod() const { return FCrossoverMethod; }
  void SetCrossoverMethod(TGPCrossoverMethod Value) { FCrossoverMethod = Value; }
  TGPInitializationMethod InitializationMethod() const { return FInitializationMethod; }
  void SetInitializationMethod(TGPInitializationMethod Value) { FInitializationMethod = Value; }
  // Depth budget of the initial trees; 0 derives it from the number of functions.
  // Negative stores 0.
  int InitializationDepth() const { return FInitializationDepth; }
  void SetInitializationDepth(int Value);
  // Bias towards function nodes when an operator picks a node (no range check).
  TGAProbability SelectionNonTerminalsProbability() const { return FSelectionNonTerminalsProbability; }
  void SetSelectionNonTerminalsProbability(TGAProbability Value) { FSelectionNonTerminalsProbability = Value; }
  TGPBloatStrategy BloatStrategy() const { return FBloatStrategy; }
  void SetBloatStrategy(TGPBloatStrategy Value) { FBloatStrategy = Value; }
  // Size or depth limit of the bloat strategies; below 5 stores 5.
  int BloatLimit() const { return FBloatLimit; }
  void SetBloatLimit(int Value);

  // Relative weights of the mutation methods (one accessor pair per row of
  // MutationMethods), each 0..255: below 0 stores 0, above 255 stores 255. The sum follows
  // every change.
  int MutateSubtreeWeight() const { return MutationWeight(mmSubtree); }
  void SetMutateSubtreeWeight(int Value) { SetMutationWeight(mmSubtree, Value); }
  int MutateReplacementWeight() const { return MutationWeight(mmReplacement); }
  void SetMutateReplacementWeight(int Value) { SetMutationWeight(mmReplacement, Value); }
  int MutateConstantWeight() const { return MutationWeight(mmConstant); }
  void SetMutateConstantWeight(int Value) { SetMutationWeight(mmConstant, Value); }
  int MutateShrinkWeight() const { return MutationWeight(mmShrink); }
  void SetMutateShrinkWeight(int Value) { SetMutationWeight(mmShrink, Value); }
  int MutateHoistWeight() const { return MutationWeight(mmHoist); }
  void SetMutateHoistWeight(int Value) { SetMutationWeight(mmHoist, Value); }
  int MutatePointWeight() const { return MutationWeight(mmPoint); }
  void SetMutatePointWeight(int Value) { SetMutationWeight(mmPoint, Value); }
  // The weight of one method, read as an unsigned byte.
  int MutationWeight(TGPMutationMethod Method) const {
    return static_cast<std::uint8_t>(FMutationWeights[static_cast<std::size_t>(Method)]);
  }
  // All entries at once, stored as given.
  const TGPMutationMethodWeights& MutationWeights() const { return FMutationWeights; }
  void SetMutationWeights(const TGPMutationMethodWeights& Value);
  int MutationWeightSum() const { return FMutationWeightSum; }
  // The sum of the entries, each read as an unsigned byte.
  static constexpr int SumOfWeights(const TGPMutationMethodWeights& Weights) {
    int sum = 0;
    for (const std::int8_t weight : Weights) sum += static_cast<std::uint8_t>(weight);
    return sum;
  }

  TGPPointMutationMethod PointMutationMethod() const { return FPointMutationMethod; }
  void SetPointMutationMethod(TGPPointMutationMethod Value) { FPointMutationMethod = Value; }
  // Chance that one node changes in point mutation (no range check).
  TGAProbability PointMutationProbability() const { return FPointMutationProbability; }
  void SetPointMutationProbability(TGAProbability Value) { FPointMutationProbability = Value; }
  // Ranks programs by accuracy and size: true sets ObjectiveCount to 2, objective 0 the
  // fitness in the direction FitnessMethod has at that moment (set it first) and objective
  // 1 the program's size in nodes, minimised. The fitness handler then gives objective 0
  // (OnEvaluateObjectives is not called); under smNSGA2 the population spreads along the
  // front of error against size, which ParetoFront reads. False sets ObjectiveCount to 0.
  // Saved with the GeneticProgram document and streamed ahead of the objective settings.
  bool SizeObjective() const { return FSizeObjective; }
  void SetSizeObjective(bool Value);
  // Weight of size or depth in the weighted fitness; the covariant strategies overwrite
  // it every generation.
  TGAFloat ParsimonyCoefficient() const { return FParsimonyCoefficient; }
  void SetParsimonyCoefficient(TGAFloat Value) { FParsimonyCoefficient = Value; }
  TGAFloat TarpeianProbability() const { return FTarpeianProbability; }
  void SetTarpeianProbability(TGAFloat Value) { FTarpeianProbability = Value; }
  // Whether a program already evaluated is scored again: when on, a stale individual
  // whose program (tree shape, instructions and node values, told apart by a 128-bit
  // fingerprint) equals one that the fitness handler scored in this generation or the
  // previous one takes that fitness instead, so each distinct program is handed to the
  // handler once per generation and a child that is an unchanged copy of its parent keeps
  // its parent's fitness. Single-objective runs only: while ObjectiveCount() > 0 every
  // individual is evaluated, objectives and all. Only for a handler
  // whose fitness is a pure function of the program; a call that changes the tree (a
  // coefficient fit that writes back, say) is not remembered. The bloat rules still run
  // and draw as before, so a seeded run breeds the same programs either way. Off by
  // default; every change, a new initialisation and any instruction change forget what
  // was remembered.
  bool ReuseFitness() const { return FReuseFitness; }
  void SetReuseFitness(bool Value);
  // Breeds on programs in the compact form (compact_program.h): each generation's parents
  // are turned into arrays of records, a child is a copy of one, subtree crossover a
  // splice of ranges and the size and depth checks read the records, so a child costs no
  // node made or freed. The draws are those of breeding on trees, so a seeded run breeds
  // the same programs either way, on any number of threads. Every mutation changes the
  // records too, except constant mutation with an OnConstantMutation handler, which gets
  // a node of the child's tree, made from its records (the child then stays a tree until
  // the next generation), as does everything that reaches for a tree (a fitness handler
  // reading DNA(), say, for its own individual). It applies only while no handler can
  // reach for a parent's tree as threads share them: subtree crossover without
  // bsFairCrossover, no custom selection, and no OnInitializeChild, OnCrossover,
  // OnMutation, OnInversion or OnReproduction handler; otherwise breeding runs on trees.
  // Off by default; a runtime setting, neither saved nor streamed.
  bool CompactBreeding() const { return FCompactBreeding; }
  void SetCompactBreeding(bool Value) { FCompactBreeding = Value; }
  // Changes the value of a constant node chosen by constant mutation.
  const TNodeNotifyEvent<T>& OnConstantMutation() const { return FOnConstantMutation; }
  void SetOnConstantMutation(TNodeNotifyEvent<T> Value) { FOnConstantMutation = std::move(Value); }

  // --- Program statistics ----------------------------------------------------------------
  // Size (nodes) and depth (edges) of the programs of the current population, computed on
  // the first read of each generation (see CalculateProgramStats); 0 for an empty one.
  int MinProgramSize() const;
  int MaxProgramSize() const;
  float AvgProgramSize() const;
  int MinProgramDepth() const;
  int MaxProgramDepth() const;
  float AvgProgramDepth() const;
  // Recomputes the six statistics from the current population (a single-precision sum).
  void CalculateProgramStats() const;

  // --- Typed views -------------------------------------------------------------------------
  TPopulation* Population() const { return static_cast<TPopulation*>(TMXCustomGeneticComponent::Population()); }
  TPopulation* PreviousGeneration() const {
    return static_cast<TPopulation*>(TMXCustomGeneticComponent::PreviousGeneration());
  }
  TIndividual* FittestIndividual() const {
    return static_cast<TIndividual*>(TMXCustomGeneticComponent::FittestIndividual());
  }

  // --- Engine ------------------------------------------------------------------------------
  // A new set owned by this component (the caller holds it) with items of ItemClass.
  TInstructions* CreateInstructions(TCollectionItemClass ItemClass) override;
  // A new TMXGPTreeNode<T> with Instruction (may be null) under Parent (may be null).
  TNode* CreateNode(TInstruction* Instruction, TNode* Parent) override;
  // The largest 32-bit value: tree nodes take any number of children.
  int MaxNodeArity() override;
  // Any change of an instruction: the populations are emptied; an instruction whose
  // arity no longer matches its list (a function set to arity 0, say) moves to the other.
  void InstructionUpdate(TInstruction* Instruction) override;
  // An instruction joined (it is filed by its arity) or leaves the set; the populations
  // are emptied. Ignored while the component is destroyed.
  void InstructionNotify(TInstruction* Instruction, TCollectionNotification Action) override;
  // The operation (and so possibly the arity) changed: the instruction leaves its list and
  // is appended to the one its arity names.
  void InstructionOperationUpdate(TInstruction* Instruction) override;
  // The search space: FunctionsCount at level 0; at level n the sum over the functions f
  // of (size at level n - 1 + TerminalsCount) ^ Arity(f).
  virtual double SearchSpaceSize(std::uint32_t Level);

  // --- Persistence (gp_persistence.impl.h) ----------------------------------------------
  // From another GP component of the same value type: BloatStrategy, BloatLimit,
  // SelectionNonTerminalsProbability, CrossoverMethod, InitializationDepth,
  // InitializationMethod, PointMutationMethod, PointMutationProbability, the mutation
  // weights and their sum, ParsimonyCoefficient, TarpeianProbability, SizeObjective and
  // ReuseFitness as plain values, then the instruction set through SetInstructions (which
  // empties the populations).
  // Then, for every source, the genetic component's Assign (settings, statistics and both
  // populations), after which every copied program refers to this component's own
  // instruction of the same name (an unnamed one: of the same position). Not copied:
  // OnConstantMutation and the instructions' events.
  void Assign(const TPersistent* Source) override;
  // Assign, then, from a GP component of the same value type, the events of its
  // instructions onto this component's copies of them (OnExecute, OnInitialize). The
  // populations Assign copied are kept.
  virtual void AssignAll(const TPersistent* Source);

  // The genetic component's defined float settings, then SelectionNonTerminalsProbability,
  // ParsimonyCoefficient, PointMutationProbability and TarpeianProbability, each written
  // only when it differs from its default constant and read back by name.
  void DefineProperties(TFiler& Filer) override;
  bool IsSelectionNonTerminalsProbabilityStored() const;
  bool IsParsimonyCoefficientStored() const;
  bool IsPointMutationProbabilityStored() const;
  bool IsTarpeianProbabilityStored() const;

  // The GP report: operating conditions with the mutation distribution, node selection
  // and bloat control, the terminals and functions, the initial and the termination
  // conditions. A distribution whose weights are all 0 shows 0.00% for each method.
  void Describe(TStrings* Strings, const std::string& TabStr) const override;

  // The GeneticProgram document: the GeneticDocument settings, Reproduction (the
  // operator probabilities, the selection method, then the GP settings) and Domain.
  // Floats pass through single precision.
  void SaveToXML(const IXMLGeneticProgram& Node) override;
  // Instructions, FittestIndividual (when there is one) and Population.
  void SaveToXML(const IXMLGPDomainType& Node) override;
  void SaveToXML(const IXMLGPInstructions& Node) override;
  // Reads the GeneticDocument settings, then Reproduction: missing method names read as
  // the defaults (cmSubtree, imFull, pmmPerNode) and unknown ones keep the current method,
  // missing numbers read as 0 (all six weights 0 stop mutation); the probabilities and the
  // selection settings go through their setters. Then the Domain. Every value is
  // converted and the domain checked before anything changes; a document without a Domain
  // element raises EXMLDocError.
  void LoadFromXML(const IXMLGeneticProgram& Node) override;
  // Initialises a component that never was (with an empty population; InitialPopulation
  // and Generation are kept), merge-loads the instruction set (a missing Instructions
  // element deletes every instruction), replaces the population by the document's, makes
  // it the previous generation too and evaluates it, so that evolution resumes from it.
  // FittestIndividual is not read. The whole domain is first loaded into scratch copies:
  // an unknown instruction name (EGPException), a bad number (EConvertError) or a tree
  // the nodes refuse raise before anything changes.
  void LoadFromXML(const IXMLGPDomainType& Node) override;
  // Merge-loads the instruction set (the populations are emptied).
  void LoadFromXML(const IXMLGPInstructions& Node) override;
  // The GeneticProgram document, without indentation.
  void SaveToStream(TStream& Stream) override;
  // The inherited safe file save through SaveToStream.
  void SaveToFile(const std::string& FileName) override { TMXCustomGeneticComponent::SaveToFile(FileName); }
  // Parse errors (EXMLDocError) and a root other than GeneticProgram change nothing.
  void LoadFromStream(TStream& Stream) override;
  void LoadFromFile(const std::string& FileName) override;
  using TMXCustomGeneticComponent::LoadFromXML;
  using TMXCustomGeneticComponent::SaveToXML;

  // --- Evolution -------------------------------------------------------------------------
  using TMXCustomGeneticComponent::Mutate;
  // Runs one mutation method on Item (a TMXGPIndividual<T>; EInvalidCast otherwise); a
  // value outside the enumeration runs none.
  void Mutate(TMXIndividual* Item, TGPMutationMethod Method);
  using TMXCustomGeneticComponent::EvaluateFitness;
  // The raw fitness under the Tarpeian and unfit strategies: a program above the average
  // size (depth) gets UnfitFitness with TarpeianProbability, one above BloatLimit always,
  // without asking the fitness handler. Otherwise, and for the weighted fitness, the
  // inherited evaluation (or, under ReuseFitness, the fitness remembered for the program).
  TGAFitness EvaluateFitness(TMXIndividual* Item, bool Weighted) override;
  // Fills the tree caches and the program statistics, then the inherited parallel
  // evaluation.
  void ParallelEvaluateFitness() override;
  // The inherited tournament; under bsLexicographicParsimonyPressure a candidate as fit
  // as the winner wins when its program is strictly smaller.
  void SelectTournament(TObject* Sender, TMXPopulation* Population, TMXIndividual*& Parent) override;

 protected:
  // A TMXGPPopulation<T> owned by this component, whatever class is asked.
  std::unique_ptr<TMXPopulation> CreatePopulation(TMXIndividualClass IndividualClass) override;
  // A loaded document resumes its run: Generation is kept (see the core's rule).
  bool LoadKeepsGeneration() const override { return true; }
  // The published properties of the GP components, in streaming order, after the
  // inherited ones (Name, Tag); the published classes call it from DeclareProperties.
  void DeclareGPProperties(TPropertyRegistry& Reg);
  // Writers of the defined float settings.
  void WriteSelectionNonTerminalsProbability(TWriter& Writer) const;
  void WriteParsimonyCoefficient(TWriter& Writer) const;
  void WritePointMutationProbability(TWriter& Writer) const;
  void WriteTarpeianProbability(TWriter& Writer) const;

  // Replaces the instruction set by an empty one from CreateInstructions(ItemClass), for
  // the constructors of descendants that override CreateInstructions. The populations
  // are emptied and the function and terminal lists start afresh.
  void RecreateInstructions(TCollectionItemClass ItemClass);

  // Fires each instruction's OnInitialize, then builds every individual's tree in
  // population order by InitializationMethod: full or grow trees (half-and-half: full at
  // even, grow at odd positions) with a budget of max(MaxDepth, MinDepth), or, ramped,
  // i / N * (MaxDepth - 1) + MinDepth for individual i of N. MaxDepth is
  // InitializationDepth, or the number of functions (at least 1) when that is 0; MinDepth
  // starts at 2. A tree whose prefix text an earlier individual already has is rebuilt;
  // every InitialDuplicatesRetries rebuilds of one individual raise MinDepth by one for the
  // rest of the initialisation. An individual gives up after twice that many rebuilds and
  // keeps its last tree, and MinDepth stops 4 levels above max(MaxDepth, 2), so a set that
  // cannot make enough distinct programs neither loops nor grows trees without end.
  // Returns the number of rebuilt duplicates. A factory error ends it; the individuals
  // done so far keep their new trees.
  int DoInitialize() override;
  // The tree builders: a new subtree with a depth budget of Depth (at most Depth levels),
  // inserted into Parent at Index when Parent is not null. The full builder takes
  // functions above the last level, the grow builder any instruction; both end in
  // terminals. A factory's error discards the partial subtree (Parent is left alone).
  TNode* DoInitializeFull(TNode* Parent, int Index, int Depth);
  TNode* DoInitializeGrow(TNode* Parent, int Index, int Depth);

  // Node factories: a node of a uniformly drawn function, terminal or instruction,
  // inserted into Parent at Index when Parent is not null. EGPException "No operations
  // found", "No terminals found" or "No nodes found" when there is none to draw.
  virtual TNode* GetOperationNode(TNode* Parent, int Index);
  virtual TNode* GetTerminalNode(TNode* Parent, int Index);
  virtual TNode* GetNode(TNode* Parent, int Index);
  // A node of GetSimilarInstruction(Node's instruction).
  virtual TNode* GetNode(TNode* Parent, TNode* Node, int Index);
  // A uniformly drawn instruction of the set with Instruction's operation and arity
  // (Instruction itself included). EGPException "No nodes found" when there is none.
  TInstruction* GetSimilarInstruction(const TInstruction* Instruction) const;

  // Subtree crossover of the two children (or of a single child with a copy of its
  // second parent), or the fair crossover of each child from Parent2 under
  // bsSizeFairCrossover and bsDepthFairCrossover. False (nothing done) for another
  // crossover method, or when a tree offers no node.
  bool DoCrossover(TMXIndividual* Parent1, TMXIndividual* Parent2, TMXIndividual* Child1,
                   TMXIndividual* Child2) override;
  // Replaces a node x of Child (the biased choice) by a copy of a node of Parent2 whose
  // size (bsSizeFairCrossover) or depth (bsDepthFairCrossover) stays close to x's: when
  // Parent2 has nodes both smaller and larger than x, one drawn from
  // CreateSizeFairRoulette; otherwise one of equal measure, uniformly; with neither, x is
  // chosen afresh. In the depth-fair case whose smaller nodes are all terminals (a mean of
  // 0 leaves the table undefined) the equal nodes are taken, or when there are none any
  // node uniformly. Parent1 is not used.
  virtual bool DoFairCrossover(TMXIndividual* Parent1, TMXIndividual* Parent2, TMXIndividual* Child);
  // The cumulative choice table over Nodes for a point of size (or depth) Size: a node of
  // size Size weighs 1 / Size, a smaller (larger) one (1 - 1 / Size) / (Smaller (Larger)
  // * (MeanLarger / MeanSmaller + 1)); the candidates are measured by size whatever the
  // strategy. Normalised to end at 1. Equal is not used.
  TGAFitnessArray CreateSizeFairRoulette(const TNodeList& Nodes, int Size, int Smaller, int Equal, int Larger,
                                         double MeanSmaller, double MeanLarger) const;
  // The node of Individual's flattened list that a uniform draw picks from Roulette; a
  // draw beyond the last entry takes the last node.
  TNode* SelectSizeFairNode(TIndividual* Individual, const TGAFitnessArray& Roulette) const;

  // OnMutation may veto; then one method drawn by weight; the tree is flattened.
  bool DoMutate(TMXIndividual* Item) override;
  // Point mutation of the whole tree.
  bool DoInvert(TMXIndividual* Item) override;
  // The mutation methods. Each builds what it needs before it removes anything, so a
  // factory error leaves the tree whole; a tree without a node to pick is left alone.
  // Subtree, replacement, shrink and hoist mutation of a program held in the compact form
  // splice its records, with the same draws; point mutation (here and in DoInvert)
  // changes them in place, without calling DoPointMutation(Individual, Node); constant
  // mutation hands its handler a node of the program's tree.
  virtual void DoSubtreeMutation(TIndividual* Individual);
  virtual void DoReplacementMutation(TIndividual* Individual);
  virtual void DoConstantMutation(TIndividual* Individual);
  virtual void DoShrinkMutation(TIndividual* Individual);
  virtual void DoHoistMutation(TIndividual* Individual);
  virtual bool DoPointMutation(TIndividual* Individual);
  // Point mutation of Node's subtree in pre-order; true when some node changed.
  virtual bool DoPointMutation(TIndividual* Individual, TNode* Node);

  // The inherited reproduction, then the bloat check for each child.
  bool DoReproduce(TMXIndividual* Parent1, TMXIndividual* Parent2, TMXIndividual* Child1) override;
  bool DoReproduce(TMXIndividual* Parent1, TMXIndividual* Parent2, TMXIndividual* Child1,
                   TMXIndividual* Child2) override;
  // The bloat check after reproduction of Child from Parent, as the strategy's rule says
  // (baRevertChild: a changed child above BloatLimit becomes a copy of Parent;
  // baShrinkChild, baHoistChild: a child above it gets one shrink or hoist mutation,
  // changed or not). OtherParent is not used; the other strategies act elsewhere.
  virtual void DoAntiBloating(TMXIndividual* Parent, TMXIndividual* OtherParent, TMXIndividual* Child, bool Changed);

  // The inherited start, then the program statistics are marked for recomputation.
  void DoStartEvolve() override;
  // The inherited parallel statistics; under ReuseFitness the stale individuals are
  // first matched against the remembered programs and each other, so that the workers
  // score each distinct program once, and the copies take their fitness afterwards.
  void DoParallelCalculateFitnessStatistics() override;
  // Initialises when needed, fills the parents' tree caches and the statistics, then the
  // inherited parallel generation.
  void DoParallelEvolve() override;
  // The parsimony penalty of the size and depth strategies, added when minimising and
  // subtracted when maximising; OnEvaluateWeightedFitness's answer when assigned.
  TGAFitness DoEvaluateWeightedFitness(TMXIndividual* Item) override;
  // With SizeObjective: the raw fitness (EvaluateFitness(Item, false)) and the program size;
  // otherwise the inherited objectives.
  TGAFitness DoEvaluateObjectives(TMXIndividual* Item, std::span<double> Objectives) override;
  // Under the covariant strategies the coefficient becomes Cov(l, f) / Var(l) over the
  // programs' sizes (depths) l and raw fitness f (0 when Var(l) is 0 or there is only one
  // program); then the inherited statistics.
  void DoCalculateWeightedFitnessStatistics() override;

 private:
  static TIndividual* AsGPIndividual(TMXIndividual* Item);
  // Sets the weight of one method as the accessors above do.
  void SetMutationWeight(TGPMutationMethod Method, int Value);
  // The rule of the current bloat strategy (bsNone's for a value outside the enumeration).
  const TGPBloatRule& BloatRule() const noexcept { return EnumTableRow(GPBloatRules, FBloatStrategy); }
  void EnsureProgramStats() const {
    if (FMaxProgramSize == 0) CalculateProgramStats();
  }
  // Fills the size and depth caches of every tree of the current population (so that
  // threads only read them) and the program statistics.
  void PrepareTreesForThreads();
  // Whether this generation breeds on the compact form (see CompactBreeding).
  bool CompactBreedingActive() const;
  // Holds every program of the current population in the compact form when this
  // generation breeds on it, and as a tree otherwise.
  void SettleProgramForms();
  // Subtree crossover on the compact form: Child1 with Child2, or with a copy of Parent2's
  // subtree when Child2 is null. The draws and the moves of the tree's crossover.
  bool CompactCrossover(TIndividual* Child1, const TIndividual* Parent2, TIndividual* Child2);
  // Point mutation of a program held in the compact form, with the draws of DoPointMutation.
  bool CompactPointMutation(TIndividual* Individual);
  // Loads a GPDomain element into scratch copies (GPCheckDomain): raises what loading it
  // would raise, with nothing changed.
  void CheckDomain(const TXMLNode& Domain);
  // The domain load of LoadFromXML(GPDomain) after CheckDomain passed.
  void LoadCheckedDomain(const TXMLNode& Domain);
  // Empties both populations (instruction changes).
  void EmptyPopulations();
  // Moves Instruction to the list its arity names when it is in the other one (null:
  // every instruction of the set).
  void RefileInstruction(TInstruction* Instruction);
  // A detached tree from the full or grow builder.
  TNode* BuildTree(bool Full, int Depth);
  // Builds individual Index's tree as the initialisation method says.
  void InitializeIndividual(TIndividual* Individual, int Index, int Count, int MaxDepth, int MinDepth);
  // Puts the detached subtree Replacement where Node is in Individual's tree (at Node's
  // position), destroys Node's subtree and flattens. On a refusal Node stays and
  // Replacement is destroyed.
  void ReplaceSubtree(TIndividual* Individual, TNode* Node, TNode* Replacement);
  // The regrowth budget of subtree and replacement mutation for a node of depth Depth.
  int RegrowthDepth(int Depth) const;
  // The subtree replacement mutation puts in place of Node, at Depth (Node's depth): a
  // node of a similar instruction with grown arguments. The caller owns it.
  TNode* Replacement(TNode* Node, int Depth);
  // A mutation of a program held in the compact form that replaces a subtree: the index
  // drawn as SelectNode draws the node, then Make(program, index)'s new tree (owned here)
  // put in its place.
  template <class F>
  void CompactReplace(TIndividual* Individual, F Make);
  // A detached node of Record's instruction and value, as the tree form holds it (without
  // its children). The caller owns it.
  TNode* RecordNode(const TGPRecord<T>& Record);
  // Point mutation of the whole tree as a step of MutationMethods (whether it changed
  // anything is not asked there).
  void PointMutationStep(TIndividual* Individual) { DoPointMutation(Individual); }

  // What one stale individual does in a parallel evaluation under ReuseFitness, decided
  // before the loop: take a remembered fitness (Known), wait for an earlier individual
  // with the same program (Source), or ask the handler and leave the answer here.
  struct TReuseSlot {
    const TIndividual* Individual = nullptr;
    detail::TGPProgramPrint Print;
    std::optional<TGAFitness> Known;
    int Source = -1;
    bool Called = false;       // the handler was asked: Value holds its answer
    bool TreeChanged = false;  // the handler changed the tree: the answer is not shared
    bool Deferred = false;     // a copy of Source: its fitness is set after the loop
    TGAFitness Value = 0;
  };
  // Under ReuseFitness, the program fingerprint of a child that needs evaluation, taken
  // while its tree is still in the cache from breeding.
  void PrintForReuse(TMXIndividual* Child) const {
    if (FReuseFitness && Child->NeedFitness())
      if (const auto* child = FastCast<const TIndividual>(Child)) child->ProgramPrint();
  }
  // The slot of the individual a worker of that loop is evaluating.
  static inline thread_local TReuseSlot* tReuseSlot = nullptr;
  // The handler's fitness for Item's program (Individual), under ReuseFitness.
  TGAFitness EvaluateReusing(TMXIndividual* Item, const TIndividual& Individual);
  // The handler's answer for Item, remembered when the call left the tree as it was.
  TGAFitness EvaluateAndRecord(TMXIndividual* Item, const TIndividual& Individual,
                               const detail::TGPProgramPrint& Print);

  // Settings.
  std::unique_ptr<TInstructions> FInstructions;
  TGPCrossoverMethod FCrossoverMethod = TGPDefaults::CrossoverMethod;
  TGAProbability FSelectionNonTerminalsProbability = TGPDefaults::SelectionNonTerminalsProbability;
  int FInitializationDepth = TGPDefaults::InitializationDepth;
  TGPInitializationMethod FInitializationMethod = TGPDefaults::InitializationMethod;
  TGPMutationMethodWeights FMutationWeights = TGPDefaults::MutationWeights;
  int FMutationWeightSum = SumOfWeights(TGPDefaults::MutationWeights);
  TGPBloatStrategy FBloatStrategy = TGPDefaults::BloatStrategy;
  int FBloatLimit = TGPDefaults::BloatLimit;
  TGPPointMutationMethod FPointMutationMethod = TGPDefaults::PointMutationMethod;
  TGAProbability FPointMutationProbability = TGPDefaults::PointMutationProbability;
  TGAFloat FParsimonyCoefficient = TGPDefaults::ParsimonyCoefficient;
  TGAFloat FTarpeianProbability = TGPDefaults::TarpeianProbability;
  bool FSizeObjective = false;
  bool FReuseFitness = TGPDefaults::ReuseFitness;
  bool FCompactBreeding = false;
  // The programs scored in this generation and the previous one (ReuseFitness).
  detail::TGPFitnessMemo FFitnessMemo;
  // Events.
  TNodeNotifyEvent<T> FOnConstantMutation;
  // The instruction set split by arity (borrowed pointers into FInstructions).
  std::vector<TInstruction*> FOperations;
  std::vector<TInstruction*> FTerminals;
  // Program statistics of the current population; FMaxProgramSize 0 means not computed.
  mutable int FMinProgramSize = 0;
  mutable float FAvgProgramSize = 0;
  mutable int FMaxProgramSize = 0;
  mutable int FMinProgramDepth = 0;
  mutable float FAvgProgramDepth = 0;
  mutable int FMaxProgramDepth = 0;

 public:
  // --- Mutation methods ------------------------------------------------------------------
  // One mutation method: its value, the element of its weight in a document's
  // MutationWeights, its published weight property and the step that performs it. The
  // default weight is TGPDefaults::MutationWeights[Method].
  struct TMutationMethodRow {
    TGPMutationMethod Method;
    std::string_view Element;
    std::string_view WeightProperty;
    void (TMXCustomGeneticProgramming::*Perform)(TIndividual* Individual);
  };
  // One row per TGPMutationMethod, in enumeration order: weighted choice, Mutate, the
  // report, documents and streaming all go through it. A new method is an enumeration
  // value with its name, a row here and its step.
  static constexpr auto MutationMethods = std::to_array<TMutationMethodRow>({
      {mmSubtree, "mmSubtree", "MutateSubtreeWeight", &TMXCustomGeneticProgramming::DoSubtreeMutation},
      {mmReplacement, "mmReplacement", "MutateReplacementWeight", &TMXCustomGeneticProgramming::DoReplacementMutation},
      {mmConstant, "mmConstant", "MutateConstantWeight", &TMXCustomGeneticProgramming::DoConstantMutation},
      {mmShrink, "mmShrink", "MutateShrinkWeight", &TMXCustomGeneticProgramming::DoShrinkMutation},
      {mmHoist, "mmHoist", "MutateHoistWeight", &TMXCustomGeneticProgramming::DoHoistMutation},
      {mmPoint, "mmPoint", "MutatePointWeight", &TMXCustomGeneticProgramming::PointMutationStep},
  });
};

// Sample covariance of X and Y (divisor n - 1); 0 when their lengths differ or they hold
// fewer than two values.
double CoVariance(std::span<const double> X, std::span<const double> Y);
// Sample correlation of X and Y; 0 when their lengths differ, they hold fewer than two
// values, or either has no spread.
double Correlation(std::span<const double> X, std::span<const double> Y);

}  // namespace evokit

#include <evokit/gp/genetic_programming.impl.h>
#include <evokit/gp/gp_persistence.impl.h>
