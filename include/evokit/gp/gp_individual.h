// The GP genome: TMXGPIndividual<T> (an individual owning one program tree and a
// pre-order list of its nodes, with the node choice, graft and subtree swap that the
// operators are built on, execution and the Individual element) and TMXGPPopulation<T>
// (a population of them that finds its engine, the GP component, through its owner).
// The component (genetic_programming.h) decides when and where trees change; the nodes
// and instructions are program.h's. T is double (TGAFloat) or Variant.
//
// Thread safety: as TMXIndividual. An individual is changed by one thread at a time;
// several threads may read one tree (select nodes, copy it) once the size and depth
// caches of its nodes are filled, which the component does before parallel breeding.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <evokit/core/individual.h>
#include <evokit/gp/compact_program.h>
#include <evokit/gp/fitness_memo.h>
#include <evokit/gp/program.h>
#include <evokit/gp/gp_document.h>

namespace evokit {

template <class T>
class TMXGPPopulation;

// Data derived from a program tree that its user keeps with the individual, such as the
// batch evaluator's compiled program (batch.h). Subclassed by that user.
class TMXGPTreeCache {
 public:
  virtual ~TMXGPTreeCache() = default;
};

// An individual whose genome is a program tree. The tree is made by the engine of the
// population the individual joins (CreateDNA): a root without instruction, which the
// component's initialisation replaces. A detached individual that never joined such a
// population has no tree (DNA() is null); every operation below accepts that.
//
// Every tree change made through this class ends with FlattenDNA, which rebuilds the
// node list and marks the fitness stale. Node pointers handed out (DNA, FlattenedDNA,
// SelectNode) stay valid until the tree next changes.
//
// The program may instead be held in the compact form (compact_program.h; MakeCompact),
// as the GP component's compact breeding does: there is no tree then, and whatever
// reaches for one (DNA, FlattenedDNA, SelectNode, Execute, saving) first makes it from
// the compact form through the population's engine (MakeTree), which holds the program
// as a tree again. The two forms are one program: its fitness, its stale mark and its
// fingerprint do not change from one form to the other.
template <class T>
class TMXGPIndividual : public TMXIndividual {
 public:
  using TNode = TMXGPNode<T>;
  using TNodeList = std::vector<TNode*>;

  // Makes the tree when Collection is a GP population with an engine, then joins it.
  explicit TMXGPIndividual(TCollection* Collection = nullptr);
  // Leaves the population while the tree still exists, then destroys the tree.
  ~TMXGPIndividual() override;

  std::string ClassName() const override {
    return std::string("TMXGPIndividual<") + TGPValueTypeName<T>::Value + ">";
  }

  // The root of the program tree, owned by the individual (null without a tree); made
  // from the compact form first when the individual holds one.
  TNode* DNA() const {
    if (FCompactHeld) MakeTree();
    return FDNA;
  }
  // Copies Value's tree (the caller keeps Value), then FlattenDNA. Null, or a tree the
  // copy refuses, raises and leaves the tree as it was.
  void SetDNA(const TNode* Value);
  // Takes ownership of aDNA (a detached root) as the new tree, destroys the old one,
  // then FlattenDNA. Null is ignored.
  void AssignDNA(TNode* aDNA);
  // Every node of the tree in pre-order (a node before its children). Empty until the
  // first flatten.
  const TNodeList& FlattenedDNA() const {
    if (FCompactHeld) MakeTree();
    return FFlattenedDNA;
  }
  // Rebuilds FlattenedDNA from the tree and marks the fitness stale (with the program in
  // the compact form, only marks it stale: the caller changed the compact program).
  virtual void FlattenDNA();

  // True while the program is held in the compact form, without a tree.
  bool HoldsCompact() const noexcept { return FCompactHeld; }
  // The compact program held; EGPException when the program is held as a tree. The
  // changing form is for the component's operators, which then call FlattenDNA.
  const TMXGPCompactProgram<T>& Compact() const;
  TMXGPCompactProgram<T>& Compact();
  // The tree becomes the compact form and goes (the pointers handed out with it too), and
  // TreeStamp moves on: what was derived from the tree (a compiled program) is stale.
  // Nothing without a tree, outside a population with an engine (which makes the tree
  // again), or when the compact form is held already. An individual leaving its
  // population takes its program back as a tree.
  void MakeCompact();
  // The compact form becomes a tree made by the engine of the population (through its
  // CreateNode) and goes; TreeStamp stays. Nothing when no compact form is held.
  // EGPException for an individual outside a population with an engine, which cannot
  // make the tree.
  void MakeTree() const;
  // The program's number of nodes and depth, in either form (0 without a program).
  int ProgramSize() const;
  int ProgramDepth() const;
  // The pre-order index in the compact program that SelectNode(FunctionProbability)
  // draws, with the same draws as SelectNode's over the tree (a subclass's DoSelectNode
  // is not asked); -1 for the empty program. EGPException as for Compact. With
  // Instructions, the index SelectNode(FunctionProbability, Instructions) draws; -1 when
  // no record's instruction is of those operations.
  int SelectIndex(double FunctionProbability) const;
  int SelectIndex(double FunctionProbability, TGPGeneticInstructions Instructions) const;
  // Marks the fitness stale without rebuilding the list (for changes that keep every
  // node, such as a new instruction or value in place).
  void MarkChanged() noexcept {
    FNeedFitness = true;
    ++FTreeStamp;
  }
  // A count of the tree's changes made through this class (FlattenDNA, MarkChanged): a
  // cache of something derived from the tree records it and is stale once it differs.
  // Changes made to the nodes directly must be followed by one of those calls, as they
  // must for the fitness.
  std::uint64_t TreeStamp() const noexcept { return FTreeStamp; }
  // The fingerprint of the program (fitness_memo.h) by which the GP component's fitness
  // memo tells programs apart, kept until the tree next changes.
  detail::TGPProgramPrint ProgramPrint() const;
  // The cache slot: owned by the individual, never copied; null until set.
  TMXGPTreeCache* TreeCache() const noexcept { return FTreeCache.get(); }
  void SetTreeCache(std::unique_ptr<TMXGPTreeCache> Value) noexcept { FTreeCache = std::move(Value); }

  // The owning population, or null.
  TMXGPPopulation<T>* Collection() const;
  using TMXIndividual::SetCollection;

  // From a TMXGPIndividual the tree is copied first (SetDNA); then, for every source,
  // TMXIndividual::Assign (name, fitness and the stale mark, or EConvertError).
  void Assign(const TPersistent* Source) override;

  // A node drawn with the bias towards functions of DoSelectNode, from the whole tree;
  // null when the list is empty.
  TNode* SelectNode(double FunctionProbability);
  // The same among the nodes whose instruction's operation is in Instructions; null when
  // there is none.
  TNode* SelectNode(double FunctionProbability, TGPGeneticInstructions Instructions);
  // A uniformly drawn node whose Size() (IsSizeLimit) or Depth() is at most Limit; null
  // when there is none.
  TNode* SelectNode(int Limit, bool IsSizeLimit);

  // Puts NewNode where OldNode hangs: under OldNode's parent as its last child, or as
  // the root when OldNode is the root. OldNode leaves the tree and is not destroyed; the
  // caller owns it. A NewNode that the parent refuses (or that would close a cycle)
  // raises with the tree as it was. Ends with FlattenDNA.
  virtual void Graft(TNode* OldNode, TNode* NewNode);
  // Swaps the subtree OurNode of this tree with the subtree TheirNode of Sibling's tree:
  // TheirNode takes OurNode's place here (Graft) and OurNode becomes the last child of
  // TheirNode's former parent (or Sibling's root). No node is copied or destroyed. Both
  // individuals end flattened.
  virtual void Crossover(TNode* OurNode, TMXGPIndividual* Sibling, TNode* TheirNode);
  // Runs the program: the zero value of T without a tree; execution errors propagate.
  virtual T Execute(TMXGPContext<T>* Context);
  // The display name, then ": " and the tree's prefix text when there is a tree.
  virtual std::string ToString() const;

  // The Individual (or FittestIndividual) element forms; any other element changes
  // nothing, on either side.
  void LoadFromXML(const TXMLNode& Node) override;
  void SaveToXML(const TXMLNode& Node) const override;
  // Reads the tree of the DNA child into a new tree first (instruction names are looked
  // up in the engine's set; an unknown one raises EGPException, a bad value EConvertError,
  // and the individual is left as it was), then takes the Name and the tree. A DNA element
  // without an instruction gives a root without one; an individual without tree and
  // engine takes the name only. The Fitness element is not read: the loaded individual
  // needs evaluation.
  virtual void LoadFromXML(const IXMLIndividualType& IndividualXML);
  // Writes Name, Fitness (single precision; a stale individual is evaluated first) and
  // the tree into DNA.
  virtual void SaveToXML(const IXMLIndividualType& IndividualXML) const;

 protected:
  // A new root from the engine of the population (no instruction, no parent); null when
  // Population is no GP population with an engine.
  virtual TNode* CreateDNA(TCollection* Population);
  // The biased choice: draw an index uniformly and a real in [0, 1) that is added to a
  // single-precision running sum; a function node (arity of at least 1) is taken when
  // the sum exceeds 1 - FunctionProbability, a terminal when it exceeds
  // FunctionProbability. Null for an empty list or without a tree. A probability beyond
  // +-1000 counts as that bound, NaN as 0, so the loop ends within a few thousand draws
  // whatever the list holds.
  virtual TNode* DoSelectNode(const TNodeList& List, double FunctionProbability);

 private:
  template <class U>
  friend class TMXGPPopulation;
  // Creates the tree when the individual has none and Population can make one.
  void EnsureDNA(TCollection* Population);
  // Starts fetching the first nodes of List into the cache, so that a walk over a cold tree
  // waits on its misses together rather than one after another. A stale list is harmless:
  // a prefetch never faults.
  static void PrefetchNodes(const TNodeList& List) noexcept {
    const std::size_t count = std::min<std::size_t>(List.size(), 256);
    for (std::size_t i = 0; i < count; ++i) __builtin_prefetch(List[i]);
  }

  // Appends the tree's nodes in pre-order to FFlattenedDNA.
  void ListPreOrder() const;
  // Replaces the tree as AssignDNA does; PreOrder, when given, already lists aDNA's nodes
  // in pre-order and becomes the new list instead of a walk over the new tree.
  void ReplaceDNA(TNode* aDNA, TNodeList* PreOrder);

  // The draws of DoSelectNode over Count nodes, IsFunction(i) telling whether node i is
  // a function: the index taken, -1 for none.
  template <class F>
  static std::int64_t DrawNode(std::int64_t Count, double FunctionProbability, F IsFunction);

  // The tree and its list are made from the compact form when it is read (MakeTree).
  mutable TNode* FDNA = nullptr;
  mutable TNodeList FFlattenedDNA;
  mutable TMXGPCompactProgram<T> FCompact;
  mutable bool FCompactHeld = false;
  // Set by ReplaceDNA for the FlattenDNA call it makes: the list to take as it is.
  TNodeList* FListedDNA = nullptr;
  mutable std::uint64_t FTreeStamp = 0;
  // ProgramPrint's value and the stamp it was taken at (none yet: a stamp never reached).
  mutable detail::TGPProgramPrint FProgramPrint;
  mutable std::uint64_t FProgramPrintStamp = ~std::uint64_t{0};
  std::unique_ptr<TMXGPTreeCache> FTreeCache;
};

// A population of GP individuals, owned by the GP component (its engine).
template <class T>
class TMXGPPopulation : public TMXPopulation {
 public:
  using TIndividual = TMXGPIndividual<T>;

  explicit TMXGPPopulation(TPersistent* AOwner);

  std::string ClassName() const override {
    return std::string("TMXGPPopulation<") + TGPValueTypeName<T>::Value + ">";
  }

  // Individual at Index; EListError when out of range.
  TIndividual* Items(int Index) const { return static_cast<TIndividual*>(TMXPopulation::Items(Index)); }
  void SetItems(int Index, const TMXIndividual* Value) { Items(Index)->Assign(Value); }
  TIndividual* operator[](int Index) const { return Items(Index); }
  TIndividual* Add() { return static_cast<TIndividual*>(TMXPopulation::Add()); }
  // Creates an individual at Index (0..Count); EListError otherwise.
  TIndividual* Insert(int Index) { return static_cast<TIndividual*>(TMXPopulation::Insert(Index)); }
  TIndividual* FindItemID(int ID) const { return static_cast<TIndividual*>(TMXPopulation::FindItemID(ID)); }

  // The owner as an engine, or null when the owner is none.
  IMXGeneticProgramEngine<T>* Engine() const;

  std::string XMLElementName() const override { return "Population"; }
  // The Population element forms; any other element changes nothing, on either side.
  void LoadFromXML(const TXMLNode& Node) override;
  void SaveToXML(const TXMLNode& Node) const override;
  // Reads every Individual element into new individuals first; only when all of them
  // load does the population give up its individuals for the new ones (in document
  // order, one update bracket). An error leaves the population as it was.
  virtual void LoadFromXML(const IXMLGPPopulation& PopulationXML);
  // Appends one Individual element per individual, in order.
  virtual void SaveToXML(const IXMLGPPopulation& PopulationXML) const;

 protected:
  // A joining GP individual without a tree gets one from the engine before the
  // component hears of it; then the inherited forwarding.
  void Notify(TCollectionItem* Item, TCollectionNotification Action) override;
};

}  // namespace evokit

#include <evokit/gp/gp_individual.impl.h>
