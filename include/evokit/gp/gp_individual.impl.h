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
  if (!FDNA) FDNA = CreateDNA(Population);
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
  FListedDNA = PreOrder;
  const TScopeExit forget([this] { FListedDNA = nullptr; });
  FlattenDNA();
}

template <class T>
void TMXGPIndividual<T>::FlattenDNA() {
  FNeedFitness = true;
  ++FTreeStamp;
  FFlattenedDNA.clear();
  if (FListedDNA) {
    // The tree was just copied and listed (ReplaceDNA): take that list, and leave this
    // one's capacity in its place.
    FFlattenedDNA.swap(*FListedDNA);
    FListedDNA = nullptr;
    return;
  }
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
    FProgramPrint = detail::GPProgramPrint<T>(FFlattenedDNA);
    FProgramPrintStamp = FTreeStamp;
  }
  return FProgramPrint;
}

template <class T>
void TMXGPIndividual<T>::Assign(const TPersistent* Source) {
  if (const auto* source = FastCast<const TMXGPIndividual>(Source); source && source != this && source->FDNA) {
    PrefetchNodes(source->FFlattenedDNA);  // the copy walks the source's nodes
    SetDNA(source->FDNA);
  }
  TMXIndividual::Assign(Source);
}

template <class T>
TMXGPNode<T>* TMXGPIndividual<T>::DoSelectNode(const TNodeList& List, double FunctionProbability) {
  if (!FDNA || List.empty()) return nullptr;
  // The running sum grows by less than 1 a draw and stops growing once a float's spacing
  // passes 1 (near 2^24): a threshold must stay well below that for the loop to end.
  constexpr double kBound = 1000;
  const double p = std::isnan(FunctionProbability) ? 0.0 : std::clamp(FunctionProbability, -kBound, kBound);
  const float functionThreshold = static_cast<float>(1 - p);
  const float terminalThreshold = static_cast<float>(p);
  const auto count = static_cast<std::int64_t>(List.size());
  float sum = 0;
  for (;;) {
    TNode* node = List[static_cast<std::size_t>(Random(count))];
    sum += static_cast<float>(Random());
    const TMXGPInstruction<T>* instruction = node->Instruction();
    const bool function = instruction && instruction->Arity() >= 1;
    if (function ? sum > functionThreshold : sum > terminalThreshold) return node;
  }
}

template <class T>
TMXGPNode<T>* TMXGPIndividual<T>::SelectNode(double FunctionProbability) {
  return DoSelectNode(FFlattenedDNA, FunctionProbability);
}

template <class T>
TMXGPNode<T>* TMXGPIndividual<T>::SelectNode(double FunctionProbability, TGPGeneticInstructions Instructions) {
  if (!FDNA) return nullptr;
  if (Instructions == TGPGeneticInstructions{gpVariable, gpConstant, gpFunction}) return SelectNode(FunctionProbability);
  TNodeList list;
  for (TNode* node : FFlattenedDNA)
    if (node->Instruction() && Instructions.Contains(node->Instruction()->Operation())) list.push_back(node);
  return DoSelectNode(list, FunctionProbability);
}

template <class T>
TMXGPNode<T>* TMXGPIndividual<T>::SelectNode(int Limit, bool IsSizeLimit) {
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
  if (!FDNA) return T{};
  return FDNA->Execute(Context);
}

template <class T>
std::string TMXGPIndividual<T>::ToString() const {
  std::string text = DisplayName();
  if (FDNA) text += ": " + FDNA->ToString();
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
  if (FDNA) FDNA->SaveToXML(IndividualXML.Get_DNA());
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
  auto* individual = Action == cnAdded ? dynamic_cast<TIndividual*>(Item) : nullptr;
  if (individual) individual->EnsureDNA(this);
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
