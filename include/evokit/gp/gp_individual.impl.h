// Bodies of the GP individual and population declared in gp_individual.h. Included by
// gp_individual.h only. The double and Variant instantiations are compiled once, in the
// library (src/gp/gp_individual.cpp).
#pragma once

#include <algorithm>
#include <cmath>
#include <memory>

#include <evokit/gp/gp_individual.h>
#include <evokit/platform/guards.h>
#include <evokit/platform/random.h>

namespace evokit {

// =======================================================================================
// TMXGPIndividual<T>
// =======================================================================================

template <class T>
TMXGPIndividual<T>::TMXGPIndividual(TCollection* Collection) : TMXIndividual(nullptr) {
  // The tree exists before the population hears of the new individual.
  EnsureDNA(Collection);
  if (Collection) SetCollection(Collection);
}

template <class T>
TMXGPIndividual<T>::~TMXGPIndividual() {
  FCompactHeld = false;  // no tree is made for an individual on its way out
  if (TCollectionItem::Collection()) SetCollection(nullptr);
  FFlattenedDNA.clear();
  delete FDNA;
}

template <class T>
TMXGPNode<T>* TMXGPIndividual<T>::CreateDNA(TCollection* Population) {
  const auto* population = dynamic_cast<const TMXGPPopulation<T>*>(Population);
  IMXGeneticProgramEngine<T>* engine = population ? population->Engine() : nullptr;
  return engine ? engine->CreateNode(nullptr, nullptr) : nullptr;
}

template <class T>
void TMXGPIndividual<T>::EnsureDNA(TCollection* Population) {
  if (!FDNA && !FCompactHeld) FDNA = CreateDNA(Population);
}

template <class T>
TMXGPPopulation<T>* TMXGPIndividual<T>::Collection() const {
  return dynamic_cast<TMXGPPopulation<T>*>(TCollectionItem::Collection());
}

template <class T>
void TMXGPIndividual<T>::SetDNA(const TNode* Value) {
  if (!Value) throw EArgumentOutOfRangeException("A program tree is required");
  if (Value == FDNA) return;
  // A fresh copy replaces the old tree, which stays whole until the copy is made (Value
  // may lie inside it). Breeding copies a parent into every child this way; the copy
  // lists its nodes as it makes them, so the new tree needs no walk of its own.
  TScratchVector<TNode*> order;
  TNode* copy = Value->CloneInPreOrder(*order);
  ReplaceDNA(copy, &*order);
}

template <class T>
void TMXGPIndividual<T>::AssignDNA(TNode* aDNA) {
  if (!aDNA || aDNA == FDNA) return;
  ReplaceDNA(aDNA, nullptr);
}

template <class T>
void TMXGPIndividual<T>::ReplaceDNA(TNode* aDNA, TNodeList* PreOrder) {
  // The old tree goes first from the list, whose entries point into it.
  PrefetchNodes(FFlattenedDNA);  // the old tree is about to be walked for deletion
  FFlattenedDNA.clear();
  if (aDNA->Parent()) aDNA->SetParent(nullptr);
  TNode* old = FDNA;
  FDNA = aDNA;
  delete old;
  FCompactHeld = false;
  FCompact = {};
  FListedDNA = PreOrder;
  const TScopeExit forget([this] { FListedDNA = nullptr; });
  FlattenDNA();
}

template <class T>
void TMXGPIndividual<T>::FlattenDNA() {
  FNeedFitness = true;
  ++FTreeStamp;
  if (FCompactHeld) return;
  FFlattenedDNA.clear();
  if (FListedDNA) {
    // The tree was just copied and listed (ReplaceDNA): take that list, and leave this
    // one's capacity in its place.
    FFlattenedDNA.swap(*FListedDNA);
    FListedDNA = nullptr;
    return;
  }
  ListPreOrder();
}

template <class T>
void TMXGPIndividual<T>::ListPreOrder() const {
  if (!FDNA) return;
  // Pre-order without recursion: children are pushed last first, so child 0 comes next.
  TScratchVector<TNode*> scratch;
  TNodeList& stack = *scratch;
  stack.push_back(FDNA);
  while (!stack.empty()) {
    TNode* node = stack.back();
    stack.pop_back();
    FFlattenedDNA.push_back(node);
    for (int i = node->GetChildCount() - 1; i >= 0; --i)
      if (TNode* child = node->GetChild(i)) {
        __builtin_prefetch(child);  // scattered nodes: start fetching before the visit
        stack.push_back(child);
      }
  }
}

template <class T>
detail::TGPProgramPrint TMXGPIndividual<T>::ProgramPrint() const {
  if (FProgramPrintStamp != FTreeStamp) {
    FProgramPrint = FCompactHeld ? FCompact.Print() : detail::GPProgramPrint<T>(FFlattenedDNA);
    FProgramPrintStamp = FTreeStamp;
  }
  return FProgramPrint;
}

template <class T>
void TMXGPIndividual<T>::Assign(const TPersistent* Source) {
  const auto* source = FastCast<const TMXGPIndividual>(Source);
  if (source && source != this && source->FCompactHeld) {
    // The source's compact form is read, never turned into a tree: breeding threads share
    // their parents. An individual with an engine takes the compact form as it is.
    const TMXGPPopulation<T>* population = Collection();
    if (population && population->Engine()) {
      FFlattenedDNA.clear();
      delete FDNA;
      FDNA = nullptr;
      FCompact = source->FCompact;
      FCompactHeld = true;
      FlattenDNA();
    } else {
      const TMXGPPopulation<T>* theirs = source->Collection();
      IMXGeneticProgramEngine<T>* engine = theirs ? theirs->Engine() : nullptr;
      if (!engine) throw EGPException("An individual outside a GP population cannot make its program's tree");
      AssignDNA(source->FCompact.ToTree(*engine));
    }
  } else if (source && source != this && source->FDNA) {
    PrefetchNodes(source->FFlattenedDNA);  // the copy walks the source's nodes
    SetDNA(source->FDNA);
  }
  TMXIndividual::Assign(Source);
}

template <class T>
const TMXGPCompactProgram<T>& TMXGPIndividual<T>::Compact() const {
  if (!FCompactHeld) throw EGPException("The program is held as a tree, not in the compact form");
  return FCompact;
}

template <class T>
TMXGPCompactProgram<T>& TMXGPIndividual<T>::Compact() {
  if (!FCompactHeld) throw EGPException("The program is held as a tree, not in the compact form");
  return FCompact;
}

template <class T>
void TMXGPIndividual<T>::MakeCompact() {
  const TMXGPPopulation<T>* population = Collection();
  if (FCompactHeld || !FDNA || !population || !population->Engine()) return;
  FCompact = TMXGPCompactProgram<T>(FDNA);
  FFlattenedDNA.clear();
  delete FDNA;
  FDNA = nullptr;
  FCompactHeld = true;
  ++FTreeStamp;
  // The same program: its fingerprint stands.
  if (FProgramPrintStamp + 1 == FTreeStamp) FProgramPrintStamp = FTreeStamp;
}

template <class T>
void TMXGPIndividual<T>::MakeTree() const {
  if (!FCompactHeld) return;
  const TMXGPPopulation<T>* population = Collection();
  IMXGeneticProgramEngine<T>* engine = population ? population->Engine() : nullptr;
  if (!engine) throw EGPException("An individual outside a GP population cannot make its program's tree");
  std::unique_ptr<TNode> tree(FCompact.ToTree(*engine));
  FDNA = tree.release();
  FCompactHeld = false;
  FCompact = {};
  FFlattenedDNA.clear();
  ListPreOrder();
  // The stamp stays: MakeCompact moved it on, so nothing derived from an earlier tree
  // is taken for this one, and a handler that only reads the tree changed nothing.
}

template <class T>
int TMXGPIndividual<T>::ProgramSize() const {
  if (FCompactHeld) return FCompact.Size();
  return FDNA ? FDNA->Size() : 0;
}

template <class T>
int TMXGPIndividual<T>::ProgramDepth() const {
  if (FCompactHeld) return FCompact.Depth();
  return FDNA ? FDNA->Depth() : 0;
}

template <class T>
template <class F>
std::int64_t TMXGPIndividual<T>::DrawNode(std::int64_t Count, double FunctionProbability, F IsFunction) {
  if (Count == 0) return -1;
  // The running sum grows by less than 1 a draw and stops growing once a float's spacing
  // passes 1 (near 2^24): a threshold must stay well below that for the loop to end.
  constexpr double kBound = 1000;
  const double p = std::isnan(FunctionProbability) ? 0.0 : std::clamp(FunctionProbability, -kBound, kBound);
  const float functionThreshold = static_cast<float>(1 - p);
  const float terminalThreshold = static_cast<float>(p);
  float sum = 0;
  for (;;) {
    const std::int64_t index = Random(Count);
    sum += static_cast<float>(Random());
    if (IsFunction(index) ? sum > functionThreshold : sum > terminalThreshold) return index;
  }
}

template <class T>
int TMXGPIndividual<T>::SelectIndex(double FunctionProbability) const {
  const std::span<const TGPRecord<T>> records = Compact().Records();
  return static_cast<int>(DrawNode(static_cast<std::int64_t>(records.size()), FunctionProbability, [&](std::int64_t i) {
    const TMXGPInstruction<T>* instruction = records[static_cast<std::size_t>(i)].Instruction;
    return instruction && instruction->Arity() >= 1;
  }));
}

template <class T>
int TMXGPIndividual<T>::SelectIndex(double FunctionProbability, TGPGeneticInstructions Instructions) const {
  if (Instructions == TGPGeneticInstructions{gpVariable, gpConstant, gpFunction}) return SelectIndex(FunctionProbability);
  const std::span<const TGPRecord<T>> records = Compact().Records();
  std::vector<int> list;
  for (std::size_t i = 0; i < records.size(); ++i)
    if (records[i].Instruction && Instructions.Contains(records[i].Instruction->Operation()))
      list.push_back(static_cast<int>(i));
  const std::int64_t drawn = DrawNode(static_cast<std::int64_t>(list.size()), FunctionProbability, [&](std::int64_t i) {
    return records[static_cast<std::size_t>(list[static_cast<std::size_t>(i)])].Instruction->Arity() >= 1;
  });
  return drawn < 0 ? -1 : list[static_cast<std::size_t>(drawn)];
}

template <class T>
TMXGPNode<T>* TMXGPIndividual<T>::DoSelectNode(const TNodeList& List, double FunctionProbability) {
  if (!FDNA || List.empty()) return nullptr;
  const std::int64_t index = DrawNode(static_cast<std::int64_t>(List.size()), FunctionProbability, [&](std::int64_t i) {
    const TMXGPInstruction<T>* instruction = List[static_cast<std::size_t>(i)]->Instruction();
    return instruction && instruction->Arity() >= 1;
  });
  return List[static_cast<std::size_t>(index)];
}

template <class T>
TMXGPNode<T>* TMXGPIndividual<T>::SelectNode(double FunctionProbability) {
  MakeTree();
  return DoSelectNode(FFlattenedDNA, FunctionProbability);
}

template <class T>
TMXGPNode<T>* TMXGPIndividual<T>::SelectNode(double FunctionProbability, TGPGeneticInstructions Instructions) {
  MakeTree();
  if (!FDNA) return nullptr;
  if (Instructions == TGPGeneticInstructions{gpVariable, gpConstant, gpFunction}) return SelectNode(FunctionProbability);
  TNodeList list;
  for (TNode* node : FFlattenedDNA)
    if (node->Instruction() && Instructions.Contains(node->Instruction()->Operation())) list.push_back(node);
  return DoSelectNode(list, FunctionProbability);
}

template <class T>
TMXGPNode<T>* TMXGPIndividual<T>::SelectNode(int Limit, bool IsSizeLimit) {
  MakeTree();
  TNodeList list;
  for (TNode* node : FFlattenedDNA)
    if ((IsSizeLimit ? node->Size() : node->Depth()) <= Limit) list.push_back(node);
  if (list.empty()) return nullptr;
  return list[static_cast<std::size_t>(Random(static_cast<std::int64_t>(list.size())))];
}

template <class T>
void TMXGPIndividual<T>::Graft(TNode* OldNode, TNode* NewNode) {
  if (!OldNode || !NewNode || OldNode == NewNode) return;
  if (OldNode == FDNA) {
    FFlattenedDNA.clear();
    NewNode->SetParent(nullptr);
    FDNA = NewNode;
  } else {
    TNode* parent = OldNode->Parent();
    // Refuse before anything moves: NewNode above the graft point would close a cycle.
    for (const TNode* node = parent; node; node = node->Parent())
      if (node == NewNode) throw EArgumentOutOfRangeException("A node cannot be grafted below itself");
    const int index = parent ? parent->IndexOf(OldNode) : -1;
    OldNode->SetParent(nullptr);
    try {
      NewNode->SetParent(parent);
    } catch (...) {
      // The parent refused the new node: OldNode goes back to its place.
      if (parent) parent->InsertChild(index < 0 ? 0 : index, OldNode);
      throw;
    }
  }
  FlattenDNA();
}

template <class T>
void TMXGPIndividual<T>::Crossover(TNode* OurNode, TMXGPIndividual* Sibling, TNode* TheirNode) {
  if (!OurNode || !Sibling || !TheirNode || Sibling == this) return;
  TNode* const theirParent = TheirNode->Parent();
  const bool theirRoot = TheirNode == Sibling->FDNA;
  if (theirRoot) Sibling->FFlattenedDNA.clear();
  Graft(OurNode, TheirNode);
  if (theirRoot) {
    Sibling->FDNA = OurNode;
  } else {
    try {
      OurNode->SetParent(theirParent);
    } catch (...) {
      // The sibling's parent refused OurNode (a node class it does not take): undo the
      // graft so that both trees are whole again.
      Graft(TheirNode, OurNode);
      theirParent->AddChild(TheirNode);
      Sibling->FlattenDNA();
      throw;
    }
  }
  Sibling->FlattenDNA();
}

template <class T>
T TMXGPIndividual<T>::Execute(TMXGPContext<T>* Context) {
  TNode* tree = DNA();
  return tree ? tree->Execute(Context) : T{};
}

template <class T>
std::string TMXGPIndividual<T>::ToString() const {
  std::string text = DisplayName();
  if (const TNode* tree = DNA()) text += ": " + tree->ToString();
  return text;
}

namespace detail {
inline bool GPIsIndividualElement(const TXMLNode& Node) {
  return Node && (Node.NodeName() == "Individual" || Node.NodeName() == "FittestIndividual");
}
}  // namespace detail

template <class T>
void TMXGPIndividual<T>::LoadFromXML(const TXMLNode& Node) {
  if (detail::GPIsIndividualElement(Node)) LoadFromXML(IXMLIndividualType(Node));
}

template <class T>
void TMXGPIndividual<T>::SaveToXML(const TXMLNode& Node) const {
  if (detail::GPIsIndividualElement(Node)) SaveToXML(IXMLIndividualType(Node));
}

template <class T>
void TMXGPIndividual<T>::LoadFromXML(const IXMLIndividualType& IndividualXML) {
  const std::string name = IndividualXML.Get_Name();
  const std::vector<double> objectives = ReadObjectivesXML(IndividualXML.Node());
  const IXMLDnaType dna = IndividualXML.Get_DNA();
  // The root is given the named instruction of the engine's set (or of the set the
  // current root refers to), through which the nodes below resolve their names. A DNA
  // element without an instruction (a tree that was never built) loads as such a tree.
  const TMXGPPopulation<T>* population = Collection();
  IMXGeneticProgramEngine<T>* engine = population ? population->Engine() : nullptr;
  const TMXGPInstructions<T>* set = engine                          ? engine->GetInstructions()
                                    : FDNA && FDNA->Instruction() ? FDNA->Instruction()->Instructions()
                                                                  : nullptr;
  const std::string root = dna.Get_Instruction();
  TMXGPInstruction<T>* seed = set && !root.empty() ? set->GetItemByName(root) : nullptr;
  std::unique_ptr<TNode> tree;
  if (engine) tree.reset(engine->CreateNode(seed, nullptr));
  else if (FDNA) tree.reset(FDNA->CreateNode(seed, nullptr));
  if (tree) tree->LoadFromXML(dna);
  SetName(name);
  AssignDNA(tree.release());  // no engine and no tree: only the name
  SetObjectives(objectives);
}

template <class T>
void TMXGPIndividual<T>::SaveToXML(const IXMLIndividualType& IndividualXML) const {
  IndividualXML.Set_Name(FName);
  IndividualXML.Set_Fitness(static_cast<float>(Fitness()));
  if (const TNode* tree = DNA()) tree->SaveToXML(IndividualXML.Get_DNA());
  SaveObjectivesToXML(IndividualXML.Node());
}

// =======================================================================================
// TMXGPPopulation<T>
// =======================================================================================

template <class T>
TMXGPPopulation<T>::TMXGPPopulation(TPersistent* AOwner)
    : TMXPopulation(AOwner, TMXIndividualClass::Of<TMXGPIndividual<T>>()) {}

template <class T>
IMXGeneticProgramEngine<T>* TMXGPPopulation<T>::Engine() const {
  return dynamic_cast<IMXGeneticProgramEngine<T>*>(TCollection::Owner());
}

template <class T>
void TMXGPPopulation<T>::Notify(TCollectionItem* Item, TCollectionNotification Action) {
  auto* individual = Action != cnDeleting ? dynamic_cast<TIndividual*>(Item) : nullptr;
  // A joining individual gets a tree; a leaving one takes its program as a tree while the
  // engine that makes it is still at hand.
  if (individual && Action == cnAdded) individual->EnsureDNA(this);
  if (individual && Action == cnExtracting) individual->MakeTree();
  TMXPopulation::Notify(Item, Action);
}

template <class T>
void TMXGPPopulation<T>::LoadFromXML(const TXMLNode& Node) {
  if (Node && Node.NodeName() == "Population") LoadFromXML(IXMLGPPopulation(Node));
}

template <class T>
void TMXGPPopulation<T>::SaveToXML(const TXMLNode& Node) const {
  if (Node && Node.NodeName() == "Population") SaveToXML(IXMLGPPopulation(Node));
}

template <class T>
void TMXGPPopulation<T>::LoadFromXML(const IXMLGPPopulation& PopulationXML) {
  // The individuals are read into a population of their own, with the same owner (so
  // with the same engine); only a complete read replaces this population's individuals.
  // They are read last first, so that moving them over from the end of the staging list
  // (which costs nothing) appends them in document order.
  TMXGPPopulation staging(TCollection::Owner());
  for (int i = PopulationXML.Count() - 1; i >= 0; --i) staging.Add()->LoadFromXML(PopulationXML.Get_Individual(i));
  const auto update = UpdateGuard(*this);
  Clear();
  while (staging.Count() > 0) staging.Items(staging.Count() - 1)->SetCollection(this);
}

template <class T>
void TMXGPPopulation<T>::SaveToXML(const IXMLGPPopulation& PopulationXML) const {
  IXMLGPPopulation list = PopulationXML;
  for (int i = 0; i < Count(); ++i) Items(i)->SaveToXML(list.Add());
}

}  // namespace evokit

namespace evokit {

// The two value types are compiled once, in the library.
extern template class TMXGPIndividual<double>;
extern template class TMXGPIndividual<Variant>;
extern template class TMXGPPopulation<double>;
extern template class TMXGPPopulation<Variant>;

}  // namespace evokit
