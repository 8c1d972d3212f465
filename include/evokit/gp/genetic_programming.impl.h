// Bodies of the GP component declared in genetic_programming.h. Included by
// genetic_programming.h only. The double and Variant instantiations are compiled once,
// in the library (src/gp/genetic_programming.cpp).
#pragma once

#include <algorithm>
#include <climits>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include <evokit/gp/genetic_programming.h>
#include <evokit/platform/guards.h>
#include <evokit/platform/parallel.h>
#include <evokit/platform/random.h>

namespace evokit {

namespace detail {

// How far duplicate avoidance may raise the initial depth budget above the configured
// one: each step at least doubles the size of full trees, so an instruction set that
// cannot make enough distinct programs must not push it without end.
inline constexpr int GPMaxExtraInitialDepth = 4;

template <class X>
void GPRemoveFrom(std::vector<X*>& List, const X* Item) {
  const auto found = std::find(List.begin(), List.end(), Item);
  if (found != List.end()) List.erase(found);
}

template <class X>
bool GPHolds(const std::vector<X*>& List, const X* Item) {
  return std::find(List.begin(), List.end(), Item) != List.end();
}

// What Measure takes of the tree under Tree: its size, its depth, or 0 for bmNone.
template <class T>
int GPMeasure(const TMXGPNode<T>& Tree, TGPBloatMeasure Measure) {
  return Measure == bmSize ? Tree.Size() : Measure == bmDepth ? Tree.Depth() : 0;
}
// The same of an individual's program in either form, without making a tree.
template <class T>
int GPMeasure(const TMXGPIndividual<T>& Individual, TGPBloatMeasure Measure) {
  return Measure == bmSize ? Individual.ProgramSize() : Measure == bmDepth ? Individual.ProgramDepth() : 0;
}

}  // namespace detail

// =======================================================================================
// Life cycle
// =======================================================================================

template <class T>
TMXCustomGeneticProgramming<T>::TMXCustomGeneticProgramming(TComponent* AOwner) : TMXCustomGeneticComponent(AOwner) {
  // The base constructor could only reach its own CreatePopulation.
  RecreatePopulations();
  // The own settings start at TGPDefaults (the member initialisers); two inherited ones
  // have GP defaults of their own.
  SetCrossoverProbability(TGPDefaults::CrossoverProbability);
  FInstructions.reset(CreateInstructions(TCollectionItemClass::Of<TInstruction>()));
  SetTournamentField(TGPDefaults::TournamentField);
  static_assert(detail::MutationMethodRowsFit(MutationMethods),
                "one row per TGPMutationMethod, in order, naming its weight element");
}

template <class T>
TMXCustomGeneticProgramming<T>::~TMXCustomGeneticProgramming() {
  Destroying();
  // The trees refer to the instructions: they go first.
  Population()->Clear();
  if (PreviousGeneration()) PreviousGeneration()->Clear();
  FOperations.clear();
  FTerminals.clear();
  FInstructions.reset();
}

template <class T>
std::unique_ptr<TMXPopulation> TMXCustomGeneticProgramming<T>::CreatePopulation(TMXIndividualClass) {
  return std::make_unique<TPopulation>(this);
}

template <class T>
void TMXCustomGeneticProgramming<T>::RecreateInstructions(TCollectionItemClass ItemClass) {
  std::unique_ptr<TInstructions> instructions(CreateInstructions(ItemClass));
  EmptyPopulations();
  FOperations.clear();
  FTerminals.clear();
  // The old set's instructions leave without notifications (the set is destroyed).
  FInstructions = std::move(instructions);
  RefileInstruction(nullptr);
}

template <class T>
TMXGPInstructions<T>* TMXCustomGeneticProgramming<T>::CreateInstructions(TCollectionItemClass ItemClass) {
  return new TInstructions(this, ItemClass);
}

template <class T>
TMXGPNode<T>* TMXCustomGeneticProgramming<T>::CreateNode(TInstruction* Instruction, TNode* Parent) {
  return new TMXGPTreeNode<T>(Instruction, Parent);
}

template <class T>
int TMXCustomGeneticProgramming<T>::MaxNodeArity() {
  return INT_MAX;
}

template <class T>
typename TMXCustomGeneticProgramming<T>::TIndividual* TMXCustomGeneticProgramming<T>::AsGPIndividual(
    TMXIndividual* Item) {
  if (auto* individual = FastCast<TIndividual>(Item)) return individual;
  throw EInvalidCast("Invalid class typecast: a " + (Item ? Item->ClassName() : std::string("null individual")) +
                     " is not a TMXGPIndividual<" + TGPValueTypeName<T>::Value + ">");
}

// =======================================================================================
// Instructions
// =======================================================================================

template <class T>
void TMXCustomGeneticProgramming<T>::SetInstructions(const TInstructions* Value) {
  if (Value && Value != FInstructions.get()) FInstructions->Assign(Value);
}

template <class T>
TMXGPInstruction<T>* TMXCustomGeneticProgramming<T>::Functions(int Index) const {
  if (Index < 0 || Index >= FunctionsCount()) throw EListError(Format("List index out of bounds (%d)", Index));
  return FOperations[static_cast<std::size_t>(Index)];
}

template <class T>
TMXGPInstruction<T>* TMXCustomGeneticProgramming<T>::Terminal(int Index) const {
  if (Index < 0 || Index >= TerminalsCount()) throw EListError(Format("List index out of bounds (%d)", Index));
  return FTerminals[static_cast<std::size_t>(Index)];
}

template <class T>
void TMXCustomGeneticProgramming<T>::EmptyPopulations() {
  // The remembered programs may refer to instructions that change or go.
  FFitnessMemo.Clear();
  Population()->Clear();
  if (PreviousGeneration()) PreviousGeneration()->Clear();
}

template <class T>
void TMXCustomGeneticProgramming<T>::RefileInstruction(TInstruction* Instruction) {
  if (!Instruction) {
    if (FInstructions)
      for (int i = 0; i < FInstructions->Count(); ++i) RefileInstruction(FInstructions->Items(i));
    return;
  }
  const bool function = Instruction->Arity() >= 1;
  std::vector<TInstruction*>& home = function ? FOperations : FTerminals;
  if (detail::GPHolds(home, Instruction)) return;
  detail::GPRemoveFrom(function ? FTerminals : FOperations, Instruction);
  home.push_back(Instruction);
}

template <class T>
void TMXCustomGeneticProgramming<T>::InstructionNotify(TInstruction* Instruction, TCollectionNotification Action) {
  if (IsDestroying() || !Instruction) return;
  EmptyPopulations();
  if (Action == cnAdded) {
    // A new instruction has arity 0; one that joins with an arity is a function.
    (Instruction->Arity() >= 1 ? FOperations : FTerminals).push_back(Instruction);
  } else {
    detail::GPRemoveFrom(FTerminals, Instruction);
    detail::GPRemoveFrom(FOperations, Instruction);
  }
}

template <class T>
void TMXCustomGeneticProgramming<T>::InstructionOperationUpdate(TInstruction* Instruction) {
  if (IsDestroying() || !Instruction) return;
  if (detail::GPHolds(FTerminals, Instruction)) detail::GPRemoveFrom(FTerminals, Instruction);
  else detail::GPRemoveFrom(FOperations, Instruction);
  (Instruction->Arity() >= 1 ? FOperations : FTerminals).push_back(Instruction);
}

template <class T>
void TMXCustomGeneticProgramming<T>::InstructionUpdate(TInstruction* Instruction) {
  if (IsDestroying()) return;
  EmptyPopulations();
  // An arity change that is no operation change (a function whose arity goes from 0 to
  // 2, say) is only reported here.
  if (Instruction) RefileInstruction(Instruction);
}

// =======================================================================================
// Settings
// =======================================================================================

template <class T>
void TMXCustomGeneticProgramming<T>::SetInitializationDepth(int Value) {
  if (Value != FInitializationDepth) FInitializationDepth = Value < 0 ? 0 : Value;
}

template <class T>
void TMXCustomGeneticProgramming<T>::SetBloatLimit(int Value) {
  if (Value != FBloatLimit) FBloatLimit = Value < 5 ? 5 : Value;
}

template <class T>
void TMXCustomGeneticProgramming<T>::SetReuseFitness(bool Value) {
  FReuseFitness = Value;
  FFitnessMemo.Clear();
}

template <class T>
void TMXCustomGeneticProgramming<T>::SetMutationWeight(TGPMutationMethod Method, int Value) {
  if (Value == MutationWeight(Method)) return;
  const int stored = std::clamp(Value, 0, 255);
  FMutationWeights[static_cast<std::size_t>(Method)] = static_cast<std::int8_t>(static_cast<std::uint8_t>(stored));
  FMutationWeightSum = SumOfWeights(FMutationWeights);
}

template <class T>
void TMXCustomGeneticProgramming<T>::SetMutationWeights(const TGPMutationMethodWeights& Value) {
  FMutationWeights = Value;
  FMutationWeightSum = SumOfWeights(FMutationWeights);
}

// =======================================================================================
// Node factories and tree building
// =======================================================================================

namespace detail {

// Inserts a new node into Parent at Index; the node is destroyed when Parent refuses it.
template <class T>
TMXGPNode<T>* GPPlaceNode(TMXGPNode<T>* Node, TMXGPNode<T>* Parent, int Index) {
  std::unique_ptr<TMXGPNode<T>> node(Node);  // the parent's once it has taken the node
  if (Parent) Parent->InsertChild(Index, Node);
  return node.release();
}

}  // namespace detail

template <class T>
TMXGPNode<T>* TMXCustomGeneticProgramming<T>::GetOperationNode(TNode* Parent, int Index) {
  if (FOperations.empty()) RaiseMessage<EGPException>(_SNoOperationsFound);
  TInstruction* instruction = FOperations[static_cast<std::size_t>(Random(FunctionsCount()))];
  return detail::GPPlaceNode(CreateNode(instruction, nullptr), Parent, Index);
}

template <class T>
TMXGPNode<T>* TMXCustomGeneticProgramming<T>::GetTerminalNode(TNode* Parent, int Index) {
  if (FTerminals.empty()) RaiseMessage<EGPException>(_SNoTerminalsFound);
  TInstruction* instruction = FTerminals[static_cast<std::size_t>(Random(TerminalsCount()))];
  return detail::GPPlaceNode(CreateNode(instruction, nullptr), Parent, Index);
}

template <class T>
TMXGPNode<T>* TMXCustomGeneticProgramming<T>::GetNode(TNode* Parent, int Index) {
  if (FInstructions->Count() == 0) RaiseMessage<EGPException>(_SNoInstructionsFound);
  TInstruction* instruction = FInstructions->Items(static_cast<int>(Random(FInstructions->Count())));
  return detail::GPPlaceNode(CreateNode(instruction, nullptr), Parent, Index);
}

template <class T>
TMXGPNode<T>* TMXCustomGeneticProgramming<T>::GetNode(TNode* Parent, TNode* Node, int Index) {
  return detail::GPPlaceNode(CreateNode(GetSimilarInstruction(Node ? Node->Instruction() : nullptr), nullptr), Parent,
                             Index);
}

template <class T>
TMXGPInstruction<T>* TMXCustomGeneticProgramming<T>::GetSimilarInstruction(const TInstruction* Instruction) const {
  std::vector<TInstruction*> similar;
  if (Instruction)
    for (int i = 0; i < FInstructions->Count(); ++i) {
      TInstruction* candidate = FInstructions->Items(i);
      if (candidate->Operation() == Instruction->Operation() && candidate->Arity() == Instruction->Arity())
        similar.push_back(candidate);
    }
  // An empty set, a node without instruction or one from another set: nothing to draw.
  if (similar.empty()) RaiseMessage<EGPException>(_SNoInstructionsFound);
  return similar[static_cast<std::size_t>(Random(static_cast<std::int64_t>(similar.size())))];
}

template <class T>
TMXGPNode<T>* TMXCustomGeneticProgramming<T>::BuildTree(bool Full, int Depth) {
  // Depth first, children in order, as a recursive builder would draw; an explicit stack
  // so that a large budget cannot exhaust the call stack.
  struct TFrame {
    TNode* Parent;
    int Index;
    int Depth;
  };
  std::vector<TFrame> pending{TFrame{nullptr, 0, Depth}};
  std::unique_ptr<TNode> root;
  while (!pending.empty()) {
    const TFrame frame = pending.back();
    pending.pop_back();
    TNode* node = frame.Depth < 2 ? GetTerminalNode(frame.Parent, frame.Index)
                  : Full          ? GetOperationNode(frame.Parent, frame.Index)
                                  : GetNode(frame.Parent, frame.Index);
    if (!root) root.reset(node);
    const int arity = node->Instruction() ? node->Instruction()->Arity() : 0;
    if (node->IsTerminal() && arity > 0) RaiseMessage<EGPException>(_SInvalidTerminalNode);
    for (int i = arity - 1; i >= 0; --i) pending.push_back(TFrame{node, i, frame.Depth - 1});
  }
  return root.release();
}

template <class T>
TMXGPNode<T>* TMXCustomGeneticProgramming<T>::DoInitializeFull(TNode* Parent, int Index, int Depth) {
  return detail::GPPlaceNode(BuildTree(true, Depth), Parent, Index);
}

template <class T>
TMXGPNode<T>* TMXCustomGeneticProgramming<T>::DoInitializeGrow(TNode* Parent, int Index, int Depth) {
  return detail::GPPlaceNode(BuildTree(false, Depth), Parent, Index);
}

template <class T>
double TMXCustomGeneticProgramming<T>::SearchSpaceSize(std::uint32_t Level) {
  double size = FunctionsCount();
  const double terminals = TerminalsCount();
  for (std::uint32_t level = 1; level <= Level; ++level) {
    double next = 0;
    for (const TInstruction* function : FOperations) next += std::pow(size + terminals, function->Arity());
    // A fixed point (no functions, or infinity) stays: the remaining levels change nothing.
    if (next == size) break;
    size = next;
  }
  return size;
}

// =======================================================================================
// Initialisation
// =======================================================================================

template <class T>
void TMXCustomGeneticProgramming<T>::InitializeIndividual(TIndividual* Individual, int Index, int Count,
                                                          int MaxDepth, int MinDepth) {
  const TGPInitializationMethod method = FInitializationMethod;
  const bool full = method == imFull || method == imRampedFull ||
                    ((method == imHalfAndHalf || method == imRampedHalfAndHalf) && Index % 2 == 0);
  const bool ramped = method == imRampedFull || method == imRampedGrow || method == imRampedHalfAndHalf;
  const int budget = ramped ? static_cast<int>(static_cast<double>(Index) / Count * (MaxDepth - 1) + MinDepth)
                            : std::max(MaxDepth, MinDepth);
  Individual->AssignDNA(BuildTree(full, budget));
}

// Without a duplicate budget (InitialDuplicatesRetries 0) each individual gets one tree.
template <class T>
int TMXCustomGeneticProgramming<T>::DoInitialize() {
  FMaxProgramSize = 0;
  FFitnessMemo.Clear();
  const int retries = InitialDuplicatesRetries();
  for (int i = 0; i < FInstructions->Count(); ++i) FInstructions->Items(i)->Initialize();
  const int maxDepth = FInitializationDepth != 0 ? FInitializationDepth : std::max(1, FunctionsCount());
  const int minDepthCap = std::max(maxDepth, 2) + detail::GPMaxExtraInitialDepth;
  int minDepth = 2;
  int duplicates = 0;
  std::unordered_set<std::string> seen;
  TPopulation* population = Population();
  const int count = population->Count();
  for (int i = 0; i < count; ++i) {
    TIndividual* individual = population->Items(i);
    InitializeIndividual(individual, i, count, maxDepth, minDepth);
    if (retries == 0) continue;
    std::string key = individual->DNA()->ToString();
    int counter = retries;
    for (int rebuilds = 0; seen.contains(key) && rebuilds < 2 * retries; ++rebuilds) {
      ++duplicates;
      InitializeIndividual(individual, i, count, maxDepth, minDepth);
      if (--counter == 0) {
        counter = retries;
        minDepth = std::min(minDepth + 1, minDepthCap);
      }
      key = individual->DNA()->ToString();
    }
    seen.insert(std::move(key));
  }
  FMaxProgramSize = 0;
  return duplicates;
}

// =======================================================================================
// Crossover
// =======================================================================================

template <class T>
bool TMXCustomGeneticProgramming<T>::DoCrossover(TMXIndividual* Parent1, TMXIndividual* Parent2,
                                                 TMXIndividual* Child1, TMXIndividual* Child2) {
  if (FCrossoverMethod != cmSubtree) return false;
  if (BloatRule().Action == baFairCrossover) {
    bool changed = DoFairCrossover(Parent1, Parent2, Child1);
    if (Child2) changed = DoFairCrossover(Parent1, Parent2, Child2) || changed;
    return changed;
  }
  TIndividual* child1 = AsGPIndividual(Child1);
  const double p = FSelectionNonTerminalsProbability;
  if (child1->HoldsCompact() && (Child2 ? AsGPIndividual(Child2)->HoldsCompact() : AsGPIndividual(Parent2)->HoldsCompact()))
    return CompactCrossover(child1, AsGPIndividual(Parent2), Child2 ? AsGPIndividual(Child2) : nullptr);
  if (Child2) {
    TIndividual* child2 = AsGPIndividual(Child2);
    TNode* ours = child1->SelectNode(p);
    TNode* theirs = child2->SelectNode(p);
    if (!ours || !theirs) return false;
    child1->Crossover(ours, child2, theirs);
    return true;
  }
  // A single child swaps with a copy of its second parent, of which only the subtree
  // that comes over matters: the same draws, without copying the rest.
  TNode* ours = child1->SelectNode(p);
  TNode* theirs = AsGPIndividual(Parent2)->SelectNode(p);
  if (!ours || !theirs) return false;
  std::unique_ptr<TNode> copy(theirs->Clone(nullptr));
  child1->Graft(ours, copy.get());
  copy.release();
  delete ours;
  return true;
}

template <class T>
bool TMXCustomGeneticProgramming<T>::CompactCrossover(TIndividual* Child1, const TIndividual* Parent2,
                                                      TIndividual* Child2) {
  // The draws and the moves of the tree's crossover, on the records: each subtree takes
  // the other's place as the last child of the node the other hung from.
  const double p = FSelectionNonTerminalsProbability;
  const int ours = Child1->SelectIndex(p);
  const int theirs = (Child2 ? Child2 : Parent2)->SelectIndex(p);
  if (ours < 0 || theirs < 0) return false;
  TMXGPCompactProgram<T>& program = Child1->Compact();
  if (Child2) {
    TMXGPCompactProgram<T> moved;
    moved.AssignSubtree(program, ours);
    program.Graft(ours, Child2->Compact(), theirs);
    Child2->Compact().Graft(theirs, moved);
    Child2->FlattenDNA();
  } else {
    program.Graft(ours, Parent2->Compact(), theirs);
  }
  Child1->FlattenDNA();
  return true;
}

template <class T>
bool TMXCustomGeneticProgramming<T>::DoFairCrossover(TMXIndividual*, TMXIndividual* Parent2, TMXIndividual* Child) {
  TIndividual* child = AsGPIndividual(Child);
  TIndividual* donor = AsGPIndividual(Parent2);
  const TNodeList& nodes = donor->FlattenedDNA();
  const double p = FSelectionNonTerminalsProbability;
  TNode* point = child->SelectNode(p);
  if (!point || nodes.empty()) return false;
  // The fair strategy's measure; depth under any other strategy.
  const TGPBloatRule& rule = BloatRule();
  const TGPBloatMeasure measured = rule.Action == baFairCrossover ? rule.Measure : bmDepth;
  const auto measure = [measured](const TNode* Node) { return detail::GPMeasure(*Node, measured); };
  // The k-th node (in list order) whose measure relates to Size as Keep says.
  const auto nth = [&](auto Keep, std::int64_t K) -> TNode* {
    for (TNode* node : nodes)
      if (Keep(measure(node)) && K-- == 0) return node;
    return nullptr;
  };
  TNode* chosen = nullptr;
  while (!chosen) {
    const int size = measure(point);
    int smaller = 0, equal = 0, larger = 0;
    double smallerSum = 0, largerSum = 0;
    for (const TNode* node : nodes) {
      const int m = measure(node);
      if (m < size) ++smaller, smallerSum += m;
      else if (m > size) ++larger, largerSum += m;
      else ++equal;
    }
    const double meanSmaller = smaller ? smallerSum / smaller : 0;
    const double meanLarger = larger ? largerSum / larger : 0;
    if (smaller > 0 && larger > 0 && meanSmaller > 0) {
      chosen = SelectSizeFairNode(donor, CreateSizeFairRoulette(nodes, size, smaller, equal, larger, meanSmaller,
                                                                meanLarger));
    } else if (equal > 0) {
      // Also the depth-fair case whose smaller nodes are all terminals (a mean of 0
      // leaves the table undefined): the nodes of equal depth.
      chosen = nth([size](int m) { return m == size; }, Random(equal));
    } else if (smaller > 0 && larger > 0) {
      chosen = nth([size](int m) { return m != size; }, Random(smaller + larger));
    } else {
      point = child->SelectNode(p);
    }
  }
  std::unique_ptr<TNode> copy(chosen->Clone(nullptr));
  child->Graft(point, copy.get());
  copy.release();
  delete point;
  return true;
}

template <class T>
TGAFitnessArray TMXCustomGeneticProgramming<T>::CreateSizeFairRoulette(const TNodeList& Nodes, int Size, int Smaller,
                                                                       int, int Larger, double MeanSmaller,
                                                                       double MeanLarger) const {
  const double p = 1.0 / Size;
  const double ratio = MeanLarger / MeanSmaller + 1;
  TGAFitnessArray table(Nodes.size());
  double total = 0;
  for (std::size_t j = 0; j < Nodes.size(); ++j) {
    // Candidates are weighed by size whichever measure chose the point.
    const int s = Nodes[j]->Size();
    const double weight = s == Size ? p : (1 - p) / ((s < Size ? Smaller : Larger) * ratio);
    table[j] = weight;
    total += weight;
  }
  double cumulative = 0;
  for (double& entry : table) {
    cumulative += entry / total;
    entry = cumulative;
  }
  return table;
}

template <class T>
TMXGPNode<T>* TMXCustomGeneticProgramming<T>::SelectSizeFairNode(TIndividual* Individual,
                                                                 const TGAFitnessArray& Roulette) const {
  const TNodeList& nodes = Individual->FlattenedDNA();
  const double u = Random();
  int lo = 0;
  int hi = static_cast<int>(Roulette.size()) - 1;
  while (lo <= hi) {
    const int mid = lo + (hi - lo) / 2;
    if (u >= Roulette[static_cast<std::size_t>(mid)]) lo = mid + 1;
    else hi = mid - 1;
  }
  // Rounding may leave the last entry below the draw: the last node then.
  const int last = static_cast<int>(std::min(Roulette.size(), nodes.size())) - 1;
  return nodes[static_cast<std::size_t>(std::min(lo, last))];
}

// =======================================================================================
// Mutation and inversion
// =======================================================================================

template <class T>
bool TMXCustomGeneticProgramming<T>::DoMutate(TMXIndividual* Item) {
  TIndividual* individual = AsGPIndividual(Item);
  bool proceed = true;
  if (const TMXMutationEvent& handler = OnMutation()) handler(this, Item, proceed);
  if (proceed) {
    std::int64_t r = Random(FMutationWeightSum);
    for (const TMutationMethodRow& row : MutationMethods) {
      const int weight = MutationWeight(row.Method);
      if (r < weight) {
        (this->*row.Perform)(individual);
        break;
      }
      r -= weight;
    }
  }
  individual->FlattenDNA();
  return proceed;
}

template <class T>
void TMXCustomGeneticProgramming<T>::Mutate(TMXIndividual* Item, TGPMutationMethod Method) {
  TIndividual* individual = AsGPIndividual(Item);
  const auto index = static_cast<std::size_t>(Method);
  if (index < MutationMethods.size()) (this->*MutationMethods[index].Perform)(individual);
}

template <class T>
bool TMXCustomGeneticProgramming<T>::DoInvert(TMXIndividual* Item) {
  TIndividual* individual = AsGPIndividual(Item);
  const bool changed =
      individual->HoldsCompact() ? CompactPointMutation(individual) : DoPointMutation(individual, individual->DNA());
  if (changed) individual->MarkChanged();
  return changed;
}

template <class T>
void TMXCustomGeneticProgramming<T>::ReplaceSubtree(TIndividual* Individual, TNode* Node, TNode* Replacement) {
  if (Node == Individual->DNA()) {
    Individual->AssignDNA(Replacement);
    return;
  }
  TNode* parent = Node->Parent();
  const int index = std::max(0, parent->IndexOf(Node));
  std::unique_ptr<TNode> replacement(Replacement);  // the parent's once it has taken it
  parent->ExtractChild(Node);
  std::unique_ptr<TNode> replaced(Node);  // detached: ours, unless it has to go back
  try {
    parent->InsertChild(index, Replacement);
  } catch (...) {
    parent->InsertChild(index, replaced.release());
    throw;
  }
  replacement.release();
  replaced.reset();
  Individual->FlattenDNA();
}

template <class T>
int TMXCustomGeneticProgramming<T>::RegrowthDepth(int Depth) const {
  const TGPBloatRule& rule = BloatRule();
  // A depth limit on the children of reproduction also caps what mutation regrows.
  return rule.Action == baRevertChild && rule.Measure == bmDepth ? std::min(Depth, FBloatLimit) : Depth;
}

template <class T>
template <class F>
void TMXCustomGeneticProgramming<T>::CompactReplace(TIndividual* Individual, F Make) {
  const int at = Individual->SelectIndex(FSelectionNonTerminalsProbability);
  if (at < 0) return;
  TMXGPCompactProgram<T>& program = Individual->Compact();
  const std::unique_ptr<TNode> subtree(Make(program, at));
  program.Replace(at, TMXGPCompactProgram<T>(subtree.get()));
  Individual->FlattenDNA();
}

template <class T>
void TMXCustomGeneticProgramming<T>::DoSubtreeMutation(TIndividual* Individual) {
  if (Individual->HoldsCompact()) {
    return CompactReplace(Individual, [&](const TMXGPCompactProgram<T>& Program, int At) {
      return BuildTree(false, RegrowthDepth(Program.Depth(At)));
    });
  }
  TNode* node = Individual->SelectNode(FSelectionNonTerminalsProbability);
  if (!node) return;
  ReplaceSubtree(Individual, node, BuildTree(false, RegrowthDepth(node->Depth())));
}

template <class T>
void TMXCustomGeneticProgramming<T>::DoReplacementMutation(TIndividual* Individual) {
  if (Individual->HoldsCompact()) {
    return CompactReplace(Individual, [&](const TMXGPCompactProgram<T>& Program, int At) {
      const std::unique_ptr<TNode> node(RecordNode(Program.Record(At)));
      return Replacement(node.get(), Program.Depth(At));
    });
  }
  TNode* node = Individual->SelectNode(FSelectionNonTerminalsProbability);
  if (!node) return;
  ReplaceSubtree(Individual, node, Replacement(node, node->Depth()));
}

template <class T>
TMXGPNode<T>* TMXCustomGeneticProgramming<T>::Replacement(TNode* Node, int Depth) {
  const int depth = RegrowthDepth(Depth);
  std::unique_ptr<TNode> replacement(GetNode(nullptr, Node, 0));
  const int arity = replacement->Instruction()->Arity();
  for (int k = 0; k < arity; ++k) DoInitializeGrow(replacement.get(), k, depth - 1);
  return replacement.release();
}

template <class T>
TMXGPNode<T>* TMXCustomGeneticProgramming<T>::RecordNode(const TGPRecord<T>& Record) {
  std::unique_ptr<TNode> node(CreateNode(Record.Instruction, nullptr));
  node->SetValue(Record.Value);
  return node.release();
}

template <class T>
void TMXCustomGeneticProgramming<T>::DoShrinkMutation(TIndividual* Individual) {
  if (Individual->HoldsCompact())
    return CompactReplace(Individual, [&](const TMXGPCompactProgram<T>&, int) { return GetTerminalNode(nullptr, 0); });
  TNode* node = Individual->SelectNode(FSelectionNonTerminalsProbability);
  if (!node) return;
  ReplaceSubtree(Individual, node, GetTerminalNode(nullptr, 0));
}

template <class T>
void TMXCustomGeneticProgramming<T>::DoHoistMutation(TIndividual* Individual) {
  if (Individual->HoldsCompact()) {
    const int at = Individual->SelectIndex(FSelectionNonTerminalsProbability);
    if (at <= 0) return;
    TMXGPCompactProgram<T>& program = Individual->Compact();
    program.AssignSubtree(program, at);
    Individual->FlattenDNA();
    return;
  }
  TNode* node = Individual->SelectNode(FSelectionNonTerminalsProbability);
  if (!node || node == Individual->DNA()) return;
  node->SetParent(nullptr);
  Individual->AssignDNA(node);
}

template <class T>
void TMXCustomGeneticProgramming<T>::DoConstantMutation(TIndividual* Individual) {
  // Without a handler nothing changes: the records need only make the tree form's draws.
  if (Individual->HoldsCompact() && !FOnConstantMutation) {
    Individual->SelectIndex(0.0, TGPGeneticInstructions{gpConstant});
    return;
  }
  TNode* node = Individual->SelectNode(0.0, TGPGeneticInstructions{gpConstant});
  if (node && FOnConstantMutation) FOnConstantMutation(this, node);
}

template <class T>
bool TMXCustomGeneticProgramming<T>::DoPointMutation(TIndividual* Individual) {
  return Individual->HoldsCompact() ? CompactPointMutation(Individual) : DoPointMutation(Individual, Individual->DNA());
}

template <class T>
bool TMXCustomGeneticProgramming<T>::CompactPointMutation(TIndividual* Individual) {
  // The walk and the draws of the tree form below, over the records, which are in the
  // same pre-order. The similar instruction is drawn for a node made from the record.
  TMXGPCompactProgram<T>& program = Individual->Compact();
  bool changed = false;
  for (int i = 0; i < program.Size(); ++i) {
    const TGPRecord<T>& record = program.Record(i);
    if (Random() < FPointMutationProbability && record.Instruction) {
      const std::unique_ptr<TNode> node(RecordNode(record));
      const std::unique_ptr<TNode> similar(GetNode(nullptr, node.get(), 0));
      program.SetInstruction(i, similar->Instruction());
      changed = true;
      if (FPointMutationMethod == pmmPerTree) return true;
    }
  }
  return changed;
}

template <class T>
bool TMXCustomGeneticProgramming<T>::DoPointMutation(TIndividual*, TNode* Node) {
  // Pre-order, as the recursive rule visits: a node, then its children in order. Per tree
  // the walk ends at the first change; per node every node draws.
  bool changed = false;
  TNodeList pending;
  if (Node) pending.push_back(Node);
  while (!pending.empty()) {
    TNode* node = pending.back();
    pending.pop_back();
    // A node without instruction has nothing to change into (its draw still counts).
    if (Random() < FPointMutationProbability && node->Instruction()) {
      std::unique_ptr<TNode> similar(GetNode(nullptr, node, 0));
      node->SetInstruction(similar->Instruction());
      changed = true;
      if (FPointMutationMethod == pmmPerTree) return true;
    }
    for (int i = node->GetChildCount() - 1; i >= 0; --i)
      if (TNode* child = node->GetChild(i)) pending.push_back(child);
  }
  return changed;
}

// =======================================================================================
// Reproduction and bloat control
// =======================================================================================

template <class T>
bool TMXCustomGeneticProgramming<T>::DoReproduce(TMXIndividual* Parent1, TMXIndividual* Parent2,
                                                 TMXIndividual* Child1) {
  const bool changed = TMXCustomGeneticComponent::DoReproduce(Parent1, Parent2, Child1);
  DoAntiBloating(Parent1, Parent2, Child1, changed);
  PrintForReuse(Child1);
  return changed;
}

template <class T>
bool TMXCustomGeneticProgramming<T>::DoReproduce(TMXIndividual* Parent1, TMXIndividual* Parent2,
                                                 TMXIndividual* Child1, TMXIndividual* Child2) {
  const bool changed = TMXCustomGeneticComponent::DoReproduce(Parent1, Parent2, Child1, Child2);
  DoAntiBloating(Parent1, Parent2, Child1, changed);
  DoAntiBloating(Parent2, Parent1, Child2, changed);
  PrintForReuse(Child1);
  PrintForReuse(Child2);
  return changed;
}

template <class T>
void TMXCustomGeneticProgramming<T>::DoAntiBloating(TMXIndividual* Parent, TMXIndividual*, TMXIndividual* Child,
                                                    bool Changed) {
  const TGPBloatRule& rule = BloatRule();
  if (rule.Action == baNone) return;
  TIndividual* child = AsGPIndividual(Child);
  if (child->ProgramSize() == 0) return;
  // Measured only when needed (a walk of the tree where caches are cold).
  const auto above = [&] { return detail::GPMeasure(*child, rule.Measure) > FBloatLimit; };
  switch (rule.Action) {
    case baRevertChild:
      if (Changed && above()) child->Assign(Parent);
      break;
    case baShrinkChild:
      if (above()) DoShrinkMutation(child);
      break;
    case baHoistChild:
      if (above()) DoHoistMutation(child);
      break;
    default:
      break;  // the strategy acts elsewhere
  }
}

// =======================================================================================
// Fitness, selection and statistics
// =======================================================================================

template <class T>
TGAFitness TMXCustomGeneticProgramming<T>::EvaluateFitness(TMXIndividual* Item, bool Weighted) {
  const auto* individual = Weighted ? nullptr : FastCast<const TIndividual>(Item);
  if (individual && individual->ProgramSize() > 0) {
    const TGPBloatRule& rule = BloatRule();
    if (rule.Action == baTarpeian) {
      const float average = rule.Measure == bmSize ? AvgProgramSize() : AvgProgramDepth();
      // The draw happens only above the average.
      if (average < static_cast<float>(detail::GPMeasure(*individual, rule.Measure)) && Random() < FTarpeianProbability)
        return UnfitFitness();
    } else if (rule.Action == baUnfit && detail::GPMeasure(*individual, rule.Measure) > FBloatLimit) {
      return UnfitFitness();
    }
    if (FReuseFitness && ObjectiveCount() == 0) return EvaluateReusing(Item, *individual);
  }
  return TMXCustomGeneticComponent::EvaluateFitness(Item, Weighted);
}

template <class T>
void TMXCustomGeneticProgramming<T>::SetSizeObjective(bool Value) {
  if (!Value) {
    if (FSizeObjective) SetObjectiveCount(0);
    FSizeObjective = false;
    return;
  }
  SetObjectiveCount(2);
  const bool maximizing = FitnessMethod() == fmMaximize || FitnessMethod() == fmWeightedMaximize;
  SetObjectiveSense(0, maximizing ? osMaximize : osMinimize);
  SetObjectiveSense(1, osMinimize);
  FSizeObjective = true;
}

template <class T>
TGAFitness TMXCustomGeneticProgramming<T>::DoEvaluateObjectives(TMXIndividual* Item, std::span<double> Objectives) {
  if (!FSizeObjective || Objectives.size() != 2)
    return TMXCustomGeneticComponent::DoEvaluateObjectives(Item, Objectives);
  const TGAFitness fitness = EvaluateFitness(Item, false);
  const auto* individual = FastCast<const TIndividual>(Item);
  Objectives[0] = fitness;
  Objectives[1] = individual && individual->ProgramSize() > 0 ? static_cast<double>(individual->ProgramSize())
                                                                : std::numeric_limits<double>::quiet_NaN();
  return fitness;
}

template <class T>
TGAFitness TMXCustomGeneticProgramming<T>::EvaluateReusing(TMXIndividual* Item, const TIndividual& Individual) {
  TReuseSlot* slot = tReuseSlot;
  if (!slot || slot->Individual != &Individual) {
    // Outside a planned parallel evaluation: the memo answers, or the handler does. A
    // tree that was never listed has no program to compare.
    if (Individual.ProgramSize() == 0) return TMXCustomGeneticComponent::EvaluateFitness(Item, false);
    const detail::TGPProgramPrint print = Individual.ProgramPrint();
    if (const std::optional<TGAFitness> known = FFitnessMemo.Find(print)) return *known;
    return EvaluateAndRecord(Item, Individual, print);
  }
  if (slot->Known) return *slot->Known;
  if (slot->Source >= 0) {
    slot->Deferred = true;
    return 0;  // replaced after the loop
  }
  const std::uint64_t stamp = Individual.TreeStamp();
  slot->Value = TMXCustomGeneticComponent::EvaluateFitness(Item, false);
  slot->TreeChanged = Individual.TreeStamp() != stamp;
  slot->Called = true;
  return slot->Value;
}

template <class T>
TGAFitness TMXCustomGeneticProgramming<T>::EvaluateAndRecord(TMXIndividual* Item, const TIndividual& Individual,
                                                             const detail::TGPProgramPrint& Print) {
  const std::uint64_t stamp = Individual.TreeStamp();
  const TGAFitness fitness = TMXCustomGeneticComponent::EvaluateFitness(Item, false);
  // A handler that changed the tree scored another program than the one Print names.
  if (Individual.TreeStamp() == stamp) FFitnessMemo.Record(Print, fitness);
  return fitness;
}

template <class T>
void TMXCustomGeneticProgramming<T>::DoParallelCalculateFitnessStatistics() {
  if (!FReuseFitness || ObjectiveCount() > 0) {
    TMXCustomGeneticComponent::DoParallelCalculateFitnessStatistics();
    return;
  }
  // Before the loop, on this thread: each stale individual's program is looked up among
  // the remembered ones and among the stale individuals before it.
  TPopulation* population = Population();
  const int n = population->Count();
  std::vector<TReuseSlot> slots(static_cast<std::size_t>(n));
  // The first stale individual of each program.
  std::unordered_map<detail::TGPProgramPrint, int, detail::TGPProgramPrintHash> first;
  for (int i = 0; i < n; ++i) {
    TIndividual* individual = population->Items(i);
    if (!individual->NeedFitness() || individual->ProgramSize() == 0) continue;
    TReuseSlot& slot = slots[static_cast<std::size_t>(i)];
    slot.Individual = individual;
    slot.Print = individual->ProgramPrint();
    if ((slot.Known = FFitnessMemo.Find(slot.Print))) continue;
    if (const auto [at, added] = first.try_emplace(slot.Print, i); !added) slot.Source = at->second;
  }
  // A copy takes a placeholder in the loop: it is stale again until it has its fitness.
  const auto markCopies = [&] {
    for (int i = 0; i < n; ++i)
      if (slots[static_cast<std::size_t>(i)].Deferred) population->Items(i)->MarkChanged();
  };
  try {
    TParallel::For(0, n - 1, [population, &slots](std::int64_t i) {
      // A thread waiting in a nested loop may run another iteration: restore, not clear.
      TReuseSlot* const outer = std::exchange(tReuseSlot, &slots[static_cast<std::size_t>(i)]);
      const TScopeExit leave([outer] { tReuseSlot = outer; });
      population->Items(static_cast<int>(i))->Fitness();
    });
  } catch (...) {
    markCopies();
    throw;
  }
  markCopies();
  // After the loop, in population order as the sequential evaluation goes: the answers
  // are remembered, and each copy takes its source's answer, or asks the handler itself
  // when the source had none to share (it was unfit, or its tree changed).
  for (int i = 0; i < n; ++i) {
    TReuseSlot& slot = slots[static_cast<std::size_t>(i)];
    TIndividual* individual = population->Items(i);
    if (slot.Called && !slot.TreeChanged) FFitnessMemo.Record(slot.Print, slot.Value);
    if (!slot.Deferred) continue;
    const TReuseSlot& source = slots[static_cast<std::size_t>(slot.Source)];
    if (source.Called && !source.TreeChanged) individual->SetFitness(source.Value);
    else if (const std::optional<TGAFitness> known = FFitnessMemo.Find(slot.Print)) individual->SetFitness(*known);
    else individual->SetFitness(EvaluateAndRecord(individual, *individual, slot.Print));
  }
  DoCalculateFitnessStatistics();
}

template <class T>
TGAFitness TMXCustomGeneticProgramming<T>::DoEvaluateWeightedFitness(TMXIndividual* Item) {
  if (OnEvaluateWeightedFitness()) return TMXCustomGeneticComponent::DoEvaluateWeightedFitness(Item);
  const TGAFitness raw = Item->Fitness();
  const auto* individual = FastCast<const TIndividual>(Item);
  const TGPBloatRule& rule = BloatRule();
  TGAFitness penalty = 0;
  if (individual && (rule.Action == baParsimony || rule.Action == baCovariantParsimony))
    penalty = FParsimonyCoefficient * detail::GPMeasure(*individual, rule.Measure);
  const bool minimizing = FitnessMethod() == fmMinimize || FitnessMethod() == fmWeightedMinimize;
  return minimizing ? raw + penalty : raw - penalty;
}

template <class T>
void TMXCustomGeneticProgramming<T>::DoCalculateWeightedFitnessStatistics() {
  if (const TGPBloatRule& rule = BloatRule(); rule.Action == baCovariantParsimony) {
    const TPopulation* population = Population();
    const int n = population->Count();
    std::vector<double> fitness(static_cast<std::size_t>(n)), length(static_cast<std::size_t>(n));
    double mean = 0;
    for (int i = 0; i < n; ++i) {
      const TIndividual* individual = population->Items(i);
      fitness[static_cast<std::size_t>(i)] = individual->Fitness();
      length[static_cast<std::size_t>(i)] = detail::GPMeasure(*individual, rule.Measure);
      mean += length[static_cast<std::size_t>(i)];
    }
    // One program has no variance: no penalty then.
    double variance = 0;
    if (n > 1) {
      mean /= n;
      for (const double l : length) variance += (l - mean) * (l - mean);
      variance /= n - 1;
    }
    FParsimonyCoefficient = variance;
    if (variance != 0) FParsimonyCoefficient = CoVariance(length, fitness) / variance;
  }
  TMXCustomGeneticComponent::DoCalculateWeightedFitnessStatistics();
}

template <class T>
void TMXCustomGeneticProgramming<T>::SelectTournament(TObject* Sender, TMXPopulation* Population,
                                                      TMXIndividual*& Parent) {
  const TGPBloatRule& rule = BloatRule();
  if (rule.Action != baLexicographic) {
    TMXCustomGeneticComponent::SelectTournament(Sender, Population, Parent);
    return;
  }
  const auto measure = [&rule](TMXIndividual* Item) { return detail::GPMeasure(*AsGPIndividual(Item), rule.Measure); };
  TMXIndividual* winner = nullptr;
  SelectRandom(Sender, Population, winner);
  for (int i = 1; i < TournamentField(); ++i) {
    TMXIndividual* candidate = nullptr;
    SelectRandom(Sender, Population, candidate);
    const int c = CompareFitness(winner, candidate, false);
    if (c > 0 || (c == 0 && measure(candidate) < measure(winner))) winner = candidate;
  }
  Parent = winner;
}

template <class T>
void TMXCustomGeneticProgramming<T>::CalculateProgramStats() const {
  FMinProgramSize = FMaxProgramSize = FMinProgramDepth = FMaxProgramDepth = 0;
  FAvgProgramSize = FAvgProgramDepth = 0;
  const TPopulation* population = Population();
  const int n = population->Count();
  if (n == 0) return;
  const auto sizeOf = [population](int i) { return population->Items(i)->ProgramSize(); };
  const auto depthOf = [population](int i) { return population->Items(i)->ProgramDepth(); };
  FMinProgramSize = FMaxProgramSize = sizeOf(0);
  FMinProgramDepth = FMaxProgramDepth = depthOf(0);
  FAvgProgramSize = static_cast<float>(FMinProgramSize);
  FAvgProgramDepth = static_cast<float>(FMinProgramDepth);
  for (int i = 1; i < n; ++i) {
    const int size = sizeOf(i);
    const int depth = depthOf(i);
    if (size < FMinProgramSize) FMinProgramSize = size;
    else if (size > FMaxProgramSize) FMaxProgramSize = size;
    if (depth < FMinProgramDepth) FMinProgramDepth = depth;
    else if (depth > FMaxProgramDepth) FMaxProgramDepth = depth;
    FAvgProgramSize += static_cast<float>(size);
    FAvgProgramDepth += static_cast<float>(depth);
  }
  FAvgProgramSize /= static_cast<float>(n);
  FAvgProgramDepth /= static_cast<float>(n);
}

template <class T>
int TMXCustomGeneticProgramming<T>::MinProgramSize() const {
  EnsureProgramStats();
  return FMinProgramSize;
}

template <class T>
int TMXCustomGeneticProgramming<T>::MaxProgramSize() const {
  EnsureProgramStats();
  return FMaxProgramSize;
}

template <class T>
float TMXCustomGeneticProgramming<T>::AvgProgramSize() const {
  EnsureProgramStats();
  return FAvgProgramSize;
}

template <class T>
int TMXCustomGeneticProgramming<T>::MinProgramDepth() const {
  EnsureProgramStats();
  return FMinProgramDepth;
}

template <class T>
int TMXCustomGeneticProgramming<T>::MaxProgramDepth() const {
  EnsureProgramStats();
  return FMaxProgramDepth;
}

template <class T>
float TMXCustomGeneticProgramming<T>::AvgProgramDepth() const {
  EnsureProgramStats();
  return FAvgProgramDepth;
}

template <class T>
bool TMXCustomGeneticProgramming<T>::CompactBreedingActive() const {
  // Any handler of breeding may read a parent's tree, which threads share: trees then.
  return FCompactBreeding && FCrossoverMethod == cmSubtree && BloatRule().Action != baFairCrossover &&
         !IsCustomSelection() && !OnInitializeChild() && !OnCrossover() && !OnMutation() && !OnInversion() &&
         !OnReproduction();
}

template <class T>
void TMXCustomGeneticProgramming<T>::SettleProgramForms() {
  // Before the population becomes the parents: every program in the form breeding reads.
  const TPopulation* population = Population();
  const bool compact = CompactBreedingActive();
  if (!compact) {
    bool held = false;
    for (int i = 0; i < population->Count() && !held; ++i) held = population->Items(i)->HoldsCompact();
    if (!held) return;
  }
  TParallel::ForRanges(0, population->Count() - 1, [population, compact](std::int64_t First, std::int64_t Last) {
    for (auto i = static_cast<int>(First); i <= static_cast<int>(Last); ++i) {
      TIndividual* individual = population->Items(i);
      if (compact) {
        individual->MakeCompact();
      } else if (individual->HoldsCompact()) {
        // A tree that threads will share: its caches are filled before they read it.
        const TNode* tree = individual->DNA();
        if (tree) tree->Size(), tree->Depth();
      }
    }
    // The nodes of the trees just turned into records are not made again soon: their
    // memory goes back for the records to use.
    if (compact) SmallObjectRelease();
  });
}

template <class T>
void TMXCustomGeneticProgramming<T>::DoStartEvolve() {
  SettleProgramForms();
  TMXCustomGeneticComponent::DoStartEvolve();
  FMaxProgramSize = 0;
  FFitnessMemo.NextGeneration();
}

template <class T>
void TMXCustomGeneticProgramming<T>::PrepareTreesForThreads() {
  // Size() and Depth() of a root fill the caches of every node below it; afterwards
  // reading any node's size or depth writes nothing. Each tree is its own: the threads
  // fill them side by side.
  const TPopulation* population = Population();
  TParallel::ForRanges(0, population->Count() - 1, [population](std::int64_t First, std::int64_t Last) {
    for (auto i = static_cast<int>(First); i <= static_cast<int>(Last); ++i)
      if (const TIndividual* individual = population->Items(i); individual->HoldsCompact()) {
        continue;
      } else if (const TNode* tree = individual->DNA()) {
        tree->Size();
        tree->Depth();
      }
  });
  EnsureProgramStats();
}

template <class T>
void TMXCustomGeneticProgramming<T>::ParallelEvaluateFitness() {
  PrepareTreesForThreads();
  TMXCustomGeneticComponent::ParallelEvaluateFitness();
}

template <class T>
void TMXCustomGeneticProgramming<T>::DoParallelEvolve() {
  if (!Initialized()) Initialize();
  // The current population is about to become the parents that every worker reads.
  PrepareTreesForThreads();
  TMXCustomGeneticComponent::DoParallelEvolve();
}

}  // namespace evokit

namespace evokit {

// The two value types are compiled once, in the library.
extern template class TMXCustomGeneticProgramming<double>;
extern template class TMXCustomGeneticProgramming<Variant>;

}  // namespace evokit
