// Bodies of the generic program representation declared in program.h. Included by
// program.h only. The double and Variant instantiations are compiled once, in the
// library (src/gp/float_variant_programs.cpp).
#pragma once

#include <algorithm>
#include <memory>

#include <evokit/gp/program.h>

namespace evokit {

// =======================================================================================
// TMXGPInstruction<T>
// =======================================================================================

template <class T>
TMXGPInstruction<T>::~TMXGPInstruction() {
  if (Collection()) SetCollection(nullptr);
}

template <class T>
TMXGPInstructions<T>* TMXGPInstruction<T>::Instructions() const {
  return FastCast<TMXGPInstructions<T>>(Collection());
}

template <class T>
IMXGeneticProgramEngine<T>* TMXGPInstruction<T>::Engine() const {
  const TMXGPInstructions<T>* set = Instructions();
  return set ? set->Engine() : nullptr;
}

template <class T>
void TMXGPInstruction<T>::SetArity(int Value) {
  if (Value == FArity) return;
  if (Value < 0) {
    FArity = 0;
  } else {
    IMXGeneticProgramEngine<T>* engine = Engine();
    const int limit = engine ? engine->MaxNodeArity() : Value;
    FArity = Value > limit ? limit : Value;
  }
  if (FArity > 0) SetOperation(gpFunction);
  Changed(false);
}

template <class T>
void TMXGPInstruction<T>::SetName(const std::string& Value) {
  if (Value == FName) return;
  if (const TMXGPInstructions<T>* set = Instructions(); set && set->IndexOf(Value) != -1)
    RaiseMessage<EGPException>(_SInstructionNotUnique);
  StoreName(Value);
  Changed(false);
}

template <class T>
void TMXGPInstruction<T>::SetOperation(TGPGeneticInstruction Value) {
  if (Value == FOperation) return;
  FOperation = Value;
  if (Value != gpFunction) SetArity(0);
  OperationChanged();
}

template <class T>
void TMXGPInstruction<T>::OperationChanged() {
  if (TMXGPInstructions<T>* set = Instructions()) set->InstructionOperationUpdate(this);
  Changed(false);
}

template <class T>
void TMXGPInstruction<T>::Assign(const TPersistent* Source) {
  const auto* source = dynamic_cast<const TMXGPInstruction<T>*>(Source);
  if (!source) {
    TCollectionItem::Assign(Source);
    return;
  }
  if (source == this) return;
  StoreName(source->FName);
  FComment = source->FComment;
  FArity = source->FArity;
  FValue = source->FValue;
  SetOperation(source->FOperation);
}

template <class T>
void TMXGPInstruction<T>::AssignEvents(const TPersistent* Source) {
  if (const auto* source = dynamic_cast<const TMXGPInstruction<T>*>(Source)) {
    FOnInitialize = source->FOnInitialize;
    FOnExecute = source->FOnExecute;
  }
}

template <class T>
void TMXGPInstruction<T>::ArgumentCountError(TMXGPNode<T>* Node) const {
  RaiseMessage<EGPException>(_SInvalidNumInstructionArgs, Node->GetChildCount(), GetDisplayName());
}

template <class T>
void TMXGPInstruction<T>::Initialize() {
  if (FOnInitialize) FOnInitialize(this);
}

template <class T>
std::string TMXGPInstruction<T>::ToString() const {
  return GetDisplayName() + " '" + FComment + "' " + EnumName(FOperation);
}

template <class T>
void TMXGPInstruction<T>::LoadFromXML(const IXMLInstructionType& InstructionXML) {
  const TXMLInstructionElementKind kind = InstructionElementKind(InstructionXML);
  if (kind == ikUnknown)
    throw EXMLDocError(Format("\"%s\" is not an instruction element", InstructionXML.NodeName()));
  // Read everything that can fail to convert before anything changes.
  const std::string name = InstructionXML.Get_Name();
  const std::string comment = InstructionXML.Get_Comment();
  const int arity = kind == ikFunction ? IXMLFunctionInstructionType(InstructionXML.Node()).Get_Arity() : 0;

  if (name != GetDisplayName()) StoreName(name);
  FComment = comment;
  if (kind == ikFunction) {
    // SetArity clamps and notifies (and makes a function of a positive arity); the kind
    // itself is stored without telling the engine.
    SetArity(arity);
    FOperation = gpFunction;
  } else {
    const TGPGeneticInstruction operation = kind == ikVariable ? gpVariable : gpConstant;
    // A function turned into a terminal goes through SetOperation, so its arity drops to
    // 0 and the engine can move it to its terminals. Other kind changes are stored as is.
    if (FOperation == gpFunction) SetOperation(operation);
    else FOperation = operation;
  }
  LoadValueFromXML(InstructionXML);
}

template <class T>
void TMXGPInstruction<T>::LoadValueFromXML(const IXMLInstructionType&) {}

template <class T>
void TMXGPInstruction<T>::SaveValueToXML(const IXMLInstructionType&) const {}

template <class T>
void TMXGPInstruction<T>::SaveToXML(const IXMLConstantInstructionType& ConstantXML) const {
  ConstantXML.Set_Name(GetDisplayName());
  ConstantXML.Set_Comment(FComment);
  SaveValueToXML(ConstantXML);
}

template <class T>
void TMXGPInstruction<T>::SaveToXML(const IXMLVariableInstructionType& VariableXML) const {
  VariableXML.Set_Name(GetDisplayName());
  VariableXML.Set_Comment(FComment);
  SaveValueToXML(VariableXML);
}

template <class T>
void TMXGPInstruction<T>::SaveToXML(const IXMLFunctionInstructionType& FunctionXML) const {
  FunctionXML.Set_Name(GetDisplayName());
  FunctionXML.Set_Comment(FComment);
  FunctionXML.Set_Arity(static_cast<std::uint8_t>(FArity & 0xFF));
}

template <class T>
void TMXGPInstruction<T>::SaveToXML(const IXMLGPInstructions& InstructionsXML) const {
  switch (FOperation) {
    case gpVariable: SaveToXML(InstructionsXML.Get_Variable().Add()); break;
    case gpConstant: SaveToXML(InstructionsXML.Get_Constant().Add()); break;
    case gpFunction: SaveToXML(InstructionsXML.Get_Function_().Add()); break;
  }
}

template <class T>
void TMXGPInstruction<T>::DeclareProperties(TPropertyRegistry& Reg) {
  using I = TMXGPInstruction<T>;
  Reg.Int("Arity", &I::Arity, &I::SetArity, 0);
  Reg.String("Name", &I::Name, &I::SetName);
  Reg.String("Comment", &I::Comment, &I::SetComment);
  Reg.Event("OnInitialize", &I::OnInitialize, &I::SetOnInitialize);
  Reg.Enum("Operation", &I::Operation, &I::SetOperation, gpVariable);
}

// =======================================================================================
// TMXGPInstructions<T>
// =======================================================================================

template <class T>
TMXGPInstructions<T>::TMXGPInstructions(TPersistent* AOwner, TCollectionItemClass ItemClass)
    : TOwnedCollection(AOwner, ItemClass) {
  // Items(i) relies on every item being an instruction of this value type.
  std::unique_ptr<TCollectionItem> probe(ItemClass.Create());
  if (!dynamic_cast<TMXGPInstruction<T>*>(probe.get())) throw EInvalidCast("Invalid class typecast");
}

template <class T>
int TMXGPInstructions<T>::IndexOf(std::string_view Name) const {
  for (int i = 0; i < Count(); ++i)
    if (SameText(Items(i)->Name(), Name)) return i;
  return -1;
}

template <class T>
TMXGPInstruction<T>* TMXGPInstructions<T>::FindItemName(std::string_view Name) const {
  const int index = IndexOf(Name);
  return index < 0 ? nullptr : Items(index);
}

template <class T>
TMXGPInstruction<T>* TMXGPInstructions<T>::GetItemByName(std::string_view Name) const {
  const int index = IndexOf(Name);
  if (index < 0) RaiseMessage<EGPException>(_SUnknownInstruction, std::string(Name));
  return Items(index);
}

template <class T>
void TMXGPInstructions<T>::InstructionOperationUpdate(TMXGPInstruction<T>* Instruction) {
  if (IMXGeneticProgramEngine<T>* engine = Engine()) engine->InstructionOperationUpdate(Instruction);
}

template <class T>
void TMXGPInstructions<T>::AssignAll(const TPersistent* Source) {
  const auto* source = dynamic_cast<const TMXGPInstructions<T>*>(Source);
  if (!source || source == this) return;
  const auto update = UpdateGuard(*this);
  Clear();
  for (int i = 0; i < source->Count(); ++i) {
    TMXGPInstruction<T>* item = Add();
    item->Assign(source->Items(i));
    item->AssignEvents(source->Items(i));
  }
}

template <class T>
void TMXGPInstructions<T>::LoadFromXML(const IXMLGPInstructions& InstructionsXML) {
  const int existing = Count();
  std::vector<bool> named(static_cast<std::size_t>(existing), false);
  auto load = [&](const IXMLInstructionType& Element) {
    TMXGPInstruction<T>* item = FindItemName(Element.Get_Name());
    if (item) {
      const int index = item->Index();
      if (index < existing) named[static_cast<std::size_t>(index)] = true;
    } else {
      item = Add();
    }
    item->LoadFromXML(Element);
  };
  for (const auto& e : InstructionsXML.Get_Function_()) load(e);
  for (const auto& e : InstructionsXML.Get_Variable()) load(e);
  for (const auto& e : InstructionsXML.Get_Constant()) load(e);
  for (const auto& e : InstructionsXML.Get_FloatConstant()) load(e);
  for (const auto& e : InstructionsXML.Get_VariantConstant()) load(e);
  for (int i = existing - 1; i >= 0; --i)
    if (!named[static_cast<std::size_t>(i)]) Delete(i);
}

template <class T>
void TMXGPInstructions<T>::SaveToXML(const IXMLGPInstructions& InstructionsXML) const {
  for (int i = 0; i < Count(); ++i) Items(i)->SaveToXML(InstructionsXML);
}

template <class T>
void TMXGPInstructions<T>::AssignTo(TPersistent* Dest) const {
  auto* lines = dynamic_cast<TStrings*>(Dest);
  if (!lines) {
    TOwnedCollection::AssignTo(Dest);
    return;
  }
  const auto update = UpdateGuard(*lines);
  lines->Clear();
  for (int i = 0; i < Count(); ++i) lines->AddObject(Items(i)->DisplayName(), Items(i));
}

template <class T>
void TMXGPInstructions<T>::Notify(TCollectionItem* Item, TCollectionNotification Action) {
  TOwnedCollection::Notify(Item, Action);
  if (IMXGeneticProgramEngine<T>* engine = Engine())
    engine->InstructionNotify(static_cast<TMXGPInstruction<T>*>(Item), Action);
}

template <class T>
void TMXGPInstructions<T>::Update(TCollectionItem* Item) {
  TOwnedCollection::Update(Item);
  if (IMXGeneticProgramEngine<T>* engine = Engine())
    engine->InstructionUpdate(static_cast<TMXGPInstruction<T>*>(Item));
}

// =======================================================================================
// TMXGPNode<T>
// =======================================================================================

template <class T>
TMXGPNode<T>::TMXGPNode(TMXGPInstruction<T>* Instruction) : FInstruction(Instruction) {
  if (Instruction) FValue = Instruction->Value();
}

template <class T>
TMXGPNode<T>::~TMXGPNode() {
  FInstruction = nullptr;
  if (FParent) SetParent(nullptr);  // a node freed from a destroyed tree has none already
}

template <class T>
void TMXGPNode<T>::NoInstructionError() {
  RaiseMessage<EGPException>(_SNoInstructionAssigned);
}

namespace detail {

// Sets Slot to Value for the guard's lifetime and then puts the old value back, also when
// an exception leaves the scope.
template <class P>
class TSwapBack {
 public:
  TSwapBack(P& Slot, P Value) noexcept : FSlot(Slot), FOld(std::exchange(Slot, Value)) {}
  TSwapBack(const TSwapBack&) = delete;
  TSwapBack& operator=(const TSwapBack&) = delete;
  ~TSwapBack() { FSlot = FOld; }

 private:
  P& FSlot;
  P FOld;
};

}  // namespace detail

template <class T>
void TMXGPNode<T>::Modified() {
  const bool wasClear = FSize == 0 && FDepth == 0;
  FSize = 0;
  FDepth = 0;
  if (FWalk && FWalk->Current == this) {
    // Called by the walk below for an ancestor: go on to the parent unless this node was
    // clear already (then so is everything above it, see the cache rule).
    if (!wasClear) FWalk->Next = FParent;
    return;
  }
  // The node whose children changed (or a direct call): its ancestors are called in turn,
  // each Modified() returning before the next is called, so a deep chain needs no deep
  // stack. A leaf that was clear may still have ancestors with a cached depth (a leaf's
  // depth is never cached), so the walk goes on to the parent even when this node was
  // clear.
  TModifiedWalk walk;
  const detail::TSwapBack<TModifiedWalk*> active(FWalk, &walk);
  for (TNode* next = FParent; next != nullptr; next = walk.Next) {
    walk.Current = next;
    walk.Next = nullptr;
    next->Modified();
  }
}

template <class T>
void TMXGPNode<T>::Clear() {
  FInstruction = nullptr;
  FValue = T{};
}

namespace detail {

// Refuses to make Child a child of Parent when Child is Parent or one of its ancestors:
// the tree would close into a cycle. Only a node with children can be an ancestor, so
// attaching a leaf (what loaders and builders do) costs nothing; otherwise the walk over
// Parent's ancestors costs the depth.
template <class T>
void CheckNoCycle(const TMXGPNode<T>* Parent, const TMXGPNode<T>* Child) {
  if (Child == Parent) throw EArgumentOutOfRangeException("A node cannot be its own child");
  if (Child->GetChildCount() == 0) return;
  for (const TMXGPNode<T>* node = Parent->Parent(); node; node = node->Parent())
    if (node == Child) throw EArgumentOutOfRangeException("A node cannot be a child of its own descendant");
}

}  // namespace detail

template <class T>
void TMXGPNode<T>::SetParent(TNode* P) {
  if (P == FParent) return;
  if (P) detail::CheckNoCycle<T>(P, this);
  if (P) P->CheckAccept(this);
  TNode* old = FParent;
  FParent = nullptr;
  if (old) old->ExtractChild(this);
  FParent = P;
  if (P) {
    // P's AddChild sees this node's Parent set before P holds it: tell it so.
    const detail::TSwapBack<const TNode*> attaching(FAttaching, this);
    P->AddChild(this);
  }
}

template <class T>
IMXGeneticProgramEngine<T>* TMXGPNode<T>::Engine() const {
  return FInstruction ? FInstruction->Engine() : nullptr;
}

template <class T>
int TMXGPNode<T>::Size() const {
  if (FSize != 0) return FSize;
  // Post-order over the nodes whose size is not cached yet: a node is summed once all
  // its children are known.
  TScratchVector<const TNode*> scratch;
  std::vector<const TNode*>& stack = *scratch;
  stack.push_back(this);
  while (!stack.empty()) {
    const TNode* node = stack.back();
    if (node->FSize != 0) {
      stack.pop_back();
      continue;
    }
    const int count = node->GetChildCount();
    bool ready = true;
    for (int i = 0; i < count; ++i) {
      const TNode* child = node->NthChild(i);
      if (child->FSize == 0) {
        stack.push_back(child);
        ready = false;
      }
    }
    if (!ready) continue;
    int size = 1;
    for (int i = 0; i < count; ++i) size += node->NthChild(i)->FSize;
    node->FSize = size;
    stack.pop_back();
  }
  return FSize;
}

template <class T>
int TMXGPNode<T>::Depth() const {
  // A leaf's depth is 0, which is also the "not computed" mark: leaves are never cached.
  if (FDepth != 0 || GetChildCount() == 0) return FDepth;
  TScratchVector<const TNode*> scratch;
  std::vector<const TNode*>& stack = *scratch;
  stack.push_back(this);
  while (!stack.empty()) {
    const TNode* node = stack.back();
    const int count = node->GetChildCount();
    if (node->FDepth != 0 || count == 0) {
      stack.pop_back();
      continue;
    }
    bool ready = true;
    for (int i = 0; i < count; ++i) {
      const TNode* child = node->NthChild(i);
      if (child->FDepth == 0 && child->GetChildCount() > 0) {
        stack.push_back(child);
        ready = false;
      }
    }
    if (!ready) continue;
    int depth = 0;
    for (int i = 0; i < count; ++i) depth = std::max(depth, node->NthChild(i)->FDepth + 1);
    node->FDepth = depth;
    stack.pop_back();
  }
  return FDepth;
}

template <class T>
int TMXGPNode<T>::IndexOf(const TNode* Node) const {
  const int count = GetChildCount();
  for (int i = 0; i < count; ++i)
    if (GetChild(i) == Node) return i;
  return -1;
}

template <class T>
void TMXGPNode<T>::DestroyChildren() {
  // The work list is the thread's scratch: every node destroyed runs this again,
  // childless by then. It has a cache of its own, since an individual frees its old tree
  // while it holds the node list of the new one.
  TScratchVector<TNode*, struct TDestroyScratch> children;
  ReleaseChildren(*children);
  DestroyNodes(std::move(*children));
}

template <class T>
void TMXGPNode<T>::DestroyNodes(std::vector<TNode*>&& Nodes) {
  // Each node is deleted once its children have been moved onto the list, so no
  // destructor ever has a subtree to walk.
  while (!Nodes.empty()) {
    TNode* node = Nodes.back();
    Nodes.pop_back();
    if (!node) continue;
    node->ReleaseChildren(Nodes);
    node->FParent = nullptr;
    delete node;
  }
}

template <class T>
TMXGPNode<T>* TMXGPNode<T>::ShallowCopy(const TNode* Source) {
  TNode* copy = Source->CreateNode(Source->FInstruction, nullptr);
  copy->FInstruction = Source->FInstruction;
  copy->SetValue(Source->FValue);
  copy->FSize = Source->FSize;
  copy->FDepth = Source->FDepth;
  return copy;
}

template <class T>
TMXGPNode<T>* TMXGPNode<T>::Clone(TNode* Parent) const {
  // Destroying a failed copy detaches it from Parent again.
  std::unique_ptr<TNode> copy(CreateNode(FInstruction, Parent));
  copy->Assign(this);
  return copy.release();
}

template <class T>
void TMXGPNode<T>::CopyDescendants(const TNode* Source, TNode* To, std::vector<TNode*>* PreOrder) {
  TScratchVector<std::pair<const TNode*, TNode*>> pendingScratch;
  TCopyList& pending = *pendingScratch;
  pending.emplace_back(Source, To);
  while (!pending.empty()) {
    auto [from, to] = pending.back();
    pending.pop_back();
    if (PreOrder) PreOrder->push_back(to);
    const auto first = pending.size();
    to->CopyChildrenFrom(from, pending);
    std::reverse(pending.begin() + static_cast<std::ptrdiff_t>(first), pending.end());  // child 0 next
  }
}

template <class T>
TMXGPNode<T>* TMXGPNode<T>::CloneInPreOrder(std::vector<TNode*>& PreOrder) const {
  const std::size_t start = PreOrder.size();
  std::unique_ptr<TNode> root(ShallowCopy(this));
  try {
    CopyDescendants(this, root.get(), &PreOrder);
  } catch (...) {
    PreOrder.resize(start);
    throw;
  }
  return root.release();
}

template <class T>
void TMXGPNode<T>::Assign(const TPersistent* Source) {
  const auto* source = dynamic_cast<const TNode*>(Source);
  if (!source) {
    TPersistent::Assign(Source);
    return;
  }
  if (source == this) return;
  // Copying an ancestor into its own descendant would copy the growing copy too: copy
  // from a snapshot of the source instead.
  for (const TNode* ancestor = FParent; ancestor; ancestor = ancestor->FParent)
    if (ancestor == source) {
      std::unique_ptr<TNode> snapshot(source->Clone(nullptr));
      Assign(snapshot.get());
      return;
    }
  // The old children are set aside, not destroyed, until the copy is complete: Source
  // may lie inside them, and a failed copy puts them back.
  TScratchVector<TNode*> savedScratch;
  std::vector<TNode*>& saved = *savedScratch;
  ReleaseChildren(saved);
  try {
    CopyDescendants(source, this, nullptr);
  } catch (...) {
    DestroyChildren();
    RestoreChildren(saved);
    throw;
  }
  // Source may be among the old children: take what it has before they go.
  TMXGPInstruction<T>* const instruction = source->FInstruction;
  const T value = source->FValue;
  const int size = source->FSize, depth = source->FDepth;
  // The copies step aside while the old children come back for Clear(), which (through
  // an override too) destroys them, resets the node and tells it and its ancestors.
  TScratchVector<TNode*> copiesScratch;
  std::vector<TNode*>& copies = *copiesScratch;
  ReleaseChildren(copies);
  RestoreChildren(saved);
  try {
    Clear();
    DestroyChildren();  // whatever an override of Clear() left
  } catch (...) {
    DestroyNodes(std::move(copies));
    throw;
  }
  RestoreChildren(copies);
  FInstruction = instruction;
  SetValue(value);
  FSize = size;
  FDepth = depth;
  if (FParent) FParent->Modified();
}

template <class T>
std::string TMXGPNode<T>::ToString() const {
  std::string text;
  struct TFrame {
    const TNode* Node;
    int Next;
    int Count;
  };
  std::vector<TFrame> stack;
  auto open = [&](const TNode* Node) {
    const int count = Node->GetChildCount();
    if (count > 0) text += '(';
    if (!Node->FInstruction) text += "nil";
    else if (Node->FInstruction->Operation() == gpFunction) text += Node->FInstruction->DisplayName();
    else text += Node->ValueToString();
    stack.push_back(TFrame{Node, 0, count});
  };
  open(this);
  while (!stack.empty()) {
    TFrame& frame = stack.back();
    if (frame.Next < frame.Count) {
      const TNode* child = frame.Node->NthChild(frame.Next++);
      text += ' ';
      open(child);  // may reallocate the stack: frame is not used afterwards
    } else {
      if (frame.Count > 0) text += ')';
      stack.pop_back();
    }
  }
  return text;
}

template <class T>
void TMXGPNode<T>::LoadNodeFromXML(const IXMLDnaType& DnaXML) {
  TMXGPInstruction<T>* instruction = nullptr;
  if (FInstruction) {
    const std::string name = DnaXML.Get_Instruction();
    const TMXGPInstructions<T>* set = FInstruction->Instructions();
    if (!set) RaiseMessage<EGPException>(_SUnknownInstruction, name);
    instruction = set->GetItemByName(name);
  }
  Clear();
  FInstruction = instruction;
  // A Value element is read on any node (a variable's weight); without one a variable
  // keeps the zero Clear left, which is what its writer left out.
  if (instruction && (instruction->Operation() == gpConstant || DnaXML.Node().FindChild("Value")))
    LoadValueFromXML(DnaXML);
}

template <class T>
void TMXGPNode<T>::LoadFromXML(const IXMLDnaType& DnaXML) {
  LoadNodeFromXML(DnaXML);
  if (!FInstruction) return;
  // Depth first in document order, as a recursive load would go: a node's children are
  // created one at a time, each loaded completely before the next is created.
  struct TFrame {
    TNode* Node;
    TXMLNode NextChild;  // the next Child element to load, or null
  };
  auto nextChild = [](TXMLNode Element) {
    while (Element && Element.NodeName() != "Child") Element = Element.NextSibling();
    return Element;
  };
  std::vector<TFrame> stack{TFrame{this, DnaXML.Node().FindChild("Child")}};
  while (!stack.empty()) {
    TFrame& frame = stack.back();
    if (!frame.NextChild) {
      stack.pop_back();
      continue;
    }
    const TXMLNode element = frame.NextChild;
    frame.NextChild = nextChild(element.NextSibling());
    TNode* parent = frame.Node;
    // The child starts with the parent's instruction only to reach the instruction set.
    TNode* child = parent->CreateNode(parent->FInstruction, parent);
    child->LoadNodeFromXML(IXMLDnaType(element));
    if (child->FInstruction) stack.push_back(TFrame{child, element.FindChild("Child")});
  }
}

template <class T>
void TMXGPNode<T>::LoadValueFromXML(const IXMLDnaType&) {}

template <class T>
void TMXGPNode<T>::SaveToXML(const IXMLDnaType& DnaXML) const {
  // An unnamed instruction is written under its class name, which loading never matches.
  std::vector<const TNode*> walk{this};
  while (!walk.empty()) {
    const TNode* node = walk.back();
    walk.pop_back();
    if (node->FInstruction && node->FInstruction->Name().empty())
      throw EGPException("Cannot save a program that uses an instruction without a name (" +
                         node->FInstruction->DisplayName() + " at index " +
                         std::to_string(node->FInstruction->Index()) + ")");
    for (int i = node->GetChildCount() - 1; i >= 0; --i) walk.push_back(node->NthChild(i));
  }
  std::vector<std::pair<const TNode*, TXMLNode>> stack{{this, DnaXML.Node()}};
  while (!stack.empty()) {
    auto [node, element] = stack.back();
    stack.pop_back();
    const IXMLDnaType dna(element);
    if (node->FInstruction) {
      dna.Set_Instruction(node->FInstruction->DisplayName());
      // A constant always writes its value; a variable only a value other than zero (a
      // weight), the value loading gives it without one: the instruction's own value is
      // not in every document (a program's text has none), so it cannot be the default.
      // Programs without weights keep their documents.
      const TGPGeneticInstruction operation = node->FInstruction->Operation();
      if (operation == gpConstant || (operation == gpVariable && !(node->FValue == T{})))
        node->SaveValueToXML(dna);
    }
    // The Child elements are created in order here; their content is filled later.
    const int count = node->GetChildCount();
    const std::size_t first = stack.size();
    for (int i = 0; i < count; ++i) stack.emplace_back(node->NthChild(i), element.AddChild("Child"));
    std::reverse(stack.begin() + static_cast<std::ptrdiff_t>(first), stack.end());
  }
}

template <class T>
void TMXGPNode<T>::SaveValueToXML(const IXMLDnaType&) const {}

// =======================================================================================
// TMXGPTreeNode<T>
// =======================================================================================

template <class T>
TMXGPTreeNode<T>::TMXGPTreeNode(TMXGPInstruction<T>* Instruction, TNode* Parent) : TNode(Instruction) {
  if (Parent) this->SetParent(Parent);  // copies are made detached and linked afterwards
}

template <class T>
TMXGPTreeNode<T>::~TMXGPTreeNode() {
  if (!FChildren.empty()) this->DestroyChildren();  // empty when destroyed by DestroyNodes
  if (this->Parent()) this->SetParent(nullptr);
}

template <class T>
TMXGPNode<T>* TMXGPTreeNode<T>::CreateNode(TMXGPInstruction<T>* Instruction, TNode* Parent) const {
  if (IMXGeneticProgramEngine<T>* engine = this->Engine()) return engine->CreateNode(Instruction, Parent);
  return new TMXGPTreeNode<T>(Instruction, Parent);
}

template <class T>
TMXGPNode<T>* TMXGPTreeNode<T>::GetChild(int Index) const {
  // The list itself, not the virtual count: this runs once per child executed.
  if (static_cast<std::size_t>(Index) >= FChildren.size()) throw EArgumentOutOfRangeException("Argument out of range");
  return FChildren[static_cast<std::size_t>(Index)];
}

template <class T>
bool TMXGPTreeNode<T>::Holds(const TNode* Node) const noexcept {
  // Outside the mutual calls of SetParent and AddChild, a node is in FChildren exactly
  // when its Parent is this node: every path that changes one side changes the other
  // (AddChild, InsertChild, ExtractChild, SetParent; LinkChild and UnlinkChild only in
  // step with the list). Inside them the two sides are briefly apart, in two ways:
  //  - SetParent(this) sets the parent first and then calls AddChild: Parent is this, the
  //    list does not hold the node yet, and the node is marked as being attached;
  //  - AddChild appends first and then calls Node->SetParent(this), which calls AddChild
  //    again: the node is the last in the list (whatever its Parent says by then).
  if (!FChildren.empty() && FChildren.back() == Node) return true;
  return Node->Parent() == this && !TNode::IsBeingAttached(Node);
}

template <class T>
void TMXGPTreeNode<T>::AddChild(TNode* Node) {
  if (!Node || Holds(Node)) return;
  detail::CheckNoCycle<T>(this, Node);
  FChildren.push_back(Node);
  try {
    Node->SetParent(this);
  } catch (...) {
    FChildren.pop_back();
    throw;
  }
  this->Modified();
}

template <class T>
void TMXGPTreeNode<T>::InsertChild(int Index, TNode* Node) {
  if (Index < 0 || Index > GetChildCount()) throw EArgumentOutOfRangeException("Argument out of range");
  if (!Node) return;
  detail::CheckNoCycle<T>(this, Node);
  const auto found = std::find(FChildren.begin(), FChildren.end(), Node);
  if (found != FChildren.end()) {
    FChildren.erase(found);
    Index = std::min(Index, GetChildCount());
  } else if (Node->Parent()) {
    Node->SetParent(nullptr);
  }
  FChildren.insert(FChildren.begin() + Index, Node);
  this->LinkChild(Node);
  this->Modified();
}

template <class T>
void TMXGPTreeNode<T>::ExtractChild(TNode* Node) {
  const auto found = std::find(FChildren.begin(), FChildren.end(), Node);
  if (found == FChildren.end()) return;
  FChildren.erase(found);
  Node->SetParent(nullptr);
  this->Modified();
}

template <class T>
void TMXGPTreeNode<T>::Clear() {
  TNode::Clear();
  this->DestroyChildren();
  this->Modified();
}

template <class T>
void TMXGPTreeNode<T>::SetChildren(const std::vector<TNode*>& List) {
  // Copies first: List may hold this node's own children.
  std::vector<TNode*> copies;
  try {
    for (const TNode* node : List)
      if (node) copies.push_back(node->Clone(nullptr));
  } catch (...) {
    TNode::DestroyNodes(std::move(copies));
    throw;
  }
  this->DestroyChildren();
  for (TNode* copy : copies) {
    FChildren.push_back(copy);
    this->LinkChild(copy);
  }
  this->Modified();
}

template <class T>
void TMXGPTreeNode<T>::ReleaseChildren(std::vector<TNode*>& Out) {
  for (TNode* child : FChildren) {
    this->UnlinkChild(child);
    Out.push_back(child);
  }
  FChildren.clear();
}

template <class T>
void TMXGPTreeNode<T>::RestoreChildren(const std::vector<TNode*>& Saved) {
  FChildren.assign(Saved.begin(), Saved.end());
  for (TNode* child : FChildren) this->LinkChild(child);
}

template <class T>
void TMXGPTreeNode<T>::CopyChildrenFrom(const TNode* Source, typename TNode::TCopyList& Pending) {
  const int count = Source->GetChildCount();
  FChildren.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    const TNode* from = this->NthChildOf(Source, i);
    TNode* copy = TNode::ShallowCopy(from);
    FChildren.push_back(copy);
    this->LinkChild(copy);
    Pending.emplace_back(from, copy);
  }
}

// =======================================================================================
// TMXGPBinaryNode<T>
// =======================================================================================

template <class T>
TMXGPBinaryNode<T>::TMXGPBinaryNode(TMXGPInstruction<T>* Instruction, TNode* Parent) : TNode(Instruction) {
  if (Parent) this->SetParent(Parent);  // copies are made detached and linked afterwards
}

template <class T>
TMXGPBinaryNode<T>::~TMXGPBinaryNode() {
  if (FLeft || FRight) this->DestroyChildren();  // both null when destroyed by DestroyNodes
  if (this->Parent()) this->SetParent(nullptr);
}

template <class T>
TMXGPNode<T>* TMXGPBinaryNode<T>::CreateNode(TMXGPInstruction<T>* Instruction, TNode* Parent) const {
  if (IMXGeneticProgramEngine<T>* engine = this->Engine()) return engine->CreateNode(Instruction, Parent);
  return new TMXGPBinaryNode<T>(Instruction, Parent);
}

template <class T>
TMXGPNode<T>* TMXGPBinaryNode<T>::GetChild(int Index) const {
  if (Index == 0) return FLeft;
  if (Index == 1) return FRight;
  throw EListError(Format("List index out of bounds (%d)", Index));
}

template <class T>
void TMXGPBinaryNode<T>::CheckAccept(TNode* Node) const {
  if (Node == FLeft || Node == FRight) return;
  // A full node refuses any further child, binary or not.
  if (FLeft && FRight) RaiseMessage<EGPException>(_SNodeFull);
  if (!FastCast<TMXGPBinaryNode>(Node)) throw EInvalidCast("Invalid class typecast");
}

template <class T>
void TMXGPBinaryNode<T>::AddChild(TNode* Node) {
  if (!Node || this->IndexOf(Node) >= 0) return;
  detail::CheckNoCycle<T>(this, Node);
  CheckAccept(Node);
  auto* node = static_cast<TMXGPBinaryNode*>(Node);
  TMXGPBinaryNode** slot = nullptr;
  if (!FLeft && FRight != node) slot = &FLeft;
  else if (!FRight) slot = &FRight;
  if (slot) *slot = node;
  try {
    Node->SetParent(this);
  } catch (...) {
    if (slot) *slot = nullptr;
    throw;
  }
  this->Modified();
}

template <class T>
void TMXGPBinaryNode<T>::InsertChild(int Index, TNode* Node) {
  if (Index != 0 && Index != 1) throw EListError(Format("List index out of bounds (%d)", Index));
  if (!Node || Node == FLeft || Node == FRight) return;
  detail::CheckNoCycle<T>(this, Node);
  auto* node = FastCast<TMXGPBinaryNode>(Node);
  if (!node) throw EInvalidCast("Invalid class typecast");
  // Both positions taken: the target stays occupied whatever shifts; refuse unchanged.
  if (FLeft && FRight) RaiseMessage<EGPException>(_SNodeFull);
  if (Node->Parent()) Node->SetParent(nullptr);
  if (Index == 0) {
    if (FLeft && !FRight) std::swap(FLeft, FRight);
    FLeft = node;
  } else {
    if (FRight && !FLeft) std::swap(FLeft, FRight);
    FRight = node;
  }
  this->LinkChild(node);
  this->Modified();
}

template <class T>
void TMXGPBinaryNode<T>::ExtractChild(TNode* Node) {
  if (!Node) return;
  if (Node == FLeft) FLeft = nullptr;
  else if (Node == FRight) FRight = nullptr;
  else return;
  Node->SetParent(nullptr);
  this->Modified();
}

template <class T>
void TMXGPBinaryNode<T>::Clear() {
  TNode::Clear();
  this->DestroyChildren();
  this->Modified();
}

template <class T>
TMXGPBinaryNode<T>* TMXGPBinaryNode<T>::BinaryCopy(const TMXGPBinaryNode* V) {
  TNode* copy = V->Clone(nullptr);
  auto* binary = FastCast<TMXGPBinaryNode>(copy);
  if (!binary) {
    TNode::DestroyNodes({copy});
    throw EInvalidCast("Invalid class typecast");
  }
  return binary;
}

template <class T>
void TMXGPBinaryNode<T>::SetLeft(TMXGPBinaryNode* V) {
  if (V == FLeft) return;
  // The copy is made before the old Left goes: V may lie inside it.
  TMXGPBinaryNode* copy = V ? BinaryCopy(V) : nullptr;
  TMXGPBinaryNode* old = FLeft;
  FLeft = nullptr;
  if (old) {
    this->UnlinkChild(old);
    TNode::DestroyNodes({old});
  }
  if (copy) {
    FLeft = copy;
    this->LinkChild(copy);
  }
  this->Modified();
}

template <class T>
void TMXGPBinaryNode<T>::SetRight(TMXGPBinaryNode* V) {
  if (V == FRight) return;
  TMXGPBinaryNode* copy = V ? BinaryCopy(V) : nullptr;
  TMXGPBinaryNode* old = FRight;
  FRight = nullptr;
  if (old) {
    this->UnlinkChild(old);
    TNode::DestroyNodes({old});
  }
  if (copy) {
    FRight = copy;
    this->LinkChild(copy);
  }
  this->Modified();
}

template <class T>
void TMXGPBinaryNode<T>::ReleaseChildren(std::vector<TNode*>& Out) {
  Out.push_back(FLeft);
  Out.push_back(FRight);
  if (FLeft) this->UnlinkChild(FLeft);
  if (FRight) this->UnlinkChild(FRight);
  FLeft = nullptr;
  FRight = nullptr;
}

template <class T>
void TMXGPBinaryNode<T>::RestoreChildren(const std::vector<TNode*>& Saved) {
  FLeft = Saved.size() > 0 ? static_cast<TMXGPBinaryNode*>(Saved[0]) : nullptr;
  FRight = Saved.size() > 1 ? static_cast<TMXGPBinaryNode*>(Saved[1]) : nullptr;
  if (FLeft) this->LinkChild(FLeft);
  if (FRight) this->LinkChild(FRight);
}

template <class T>
void TMXGPBinaryNode<T>::CopyChildrenFrom(const TNode* Source, typename TNode::TCopyList& Pending) {
  auto place = [&](const TNode* From, TMXGPBinaryNode*& Slot) {
    std::unique_ptr<TNode> copy(TNode::ShallowCopy(From));
    auto* binary = FastCast<TMXGPBinaryNode>(copy.get());
    if (!binary) throw EInvalidCast("Invalid class typecast");
    Slot = binary;
    copy.release();
    this->LinkChild(binary);
    Pending.emplace_back(From, binary);
  };
  if (const auto* source = FastCast<const TMXGPBinaryNode>(Source)) {
    // Positions are kept as they are, a lone Right included.
    if (source->FLeft) place(source->FLeft, FLeft);
    if (source->FRight) place(source->FRight, FRight);
    return;
  }
  // Another node class: its children fill Left, then Right, as AddChild would take them
  // one by one (a copy that is not binary is refused first; a third child finds the node
  // full).
  const int count = Source->GetChildCount();
  if (count > 0) place(this->NthChildOf(Source, 0), FLeft);
  if (count > 1) place(this->NthChildOf(Source, 1), FRight);
  if (count > 2) RaiseMessage<EGPException>(_SNodeFull);
}

}  // namespace evokit

namespace evokit {

// The two value types are compiled once, in the library.
extern template class TMXGPInstruction<double>;
extern template class TMXGPInstruction<Variant>;
extern template class TMXGPInstructions<double>;
extern template class TMXGPInstructions<Variant>;
extern template class TMXGPNode<double>;
extern template class TMXGPNode<Variant>;
extern template class TMXGPTreeNode<double>;
extern template class TMXGPTreeNode<Variant>;
extern template class TMXGPBinaryNode<double>;
extern template class TMXGPBinaryNode<Variant>;

}  // namespace evokit
