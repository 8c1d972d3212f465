// The generic program representation shared by every GP family: instructions and
// instruction sets (TMXGPInstruction<T>, TMXGPInstructions<T>), program tree nodes
// (TMXGPNode<T>, TMXGPTreeNode<T>, TMXGPBinaryNode<T>), the execution context
// (TMXGPValues<T>, TMXGPContext<T>), the engine interfaces the GP component and the
// executor implement, and the callback types. T is double (TGAFloat) or Variant.
// The concrete float, binary and variant classes are in float_variant_programs.h; the XML element
// layer these classes read and write is gp_document.h.
//
// Ownership: an instruction set owns its instructions; a node owns its children but
// never its instruction. The engine is found, never stored: a set asks its owner for
// IMXGeneticProgramEngine<T> each time, and a node asks its instruction's set.
//
// Deep trees are ordinary input: size, depth, prefix text, copying, destruction and
// XML loading and saving use explicit stacks, never recursion, so a chain of a hundred
// thousand nodes is handled like any other tree. Wide trees too: attaching a leaf costs
// constant time whatever the number of its siblings, so a node with a million children
// loads in linear time.
//
// Thread safety: an instruction set and a tree belong to one thread at a time. Several
// threads may execute programs over one instruction set at once (execution only reads
// instructions) as long as their handlers are safe; Size() and Depth() write caches, so
// a tree read from several threads needs outside synchronisation.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <typeinfo>
#include <utility>
#include <vector>

#include <evokit/core/consts.h>
#include <evokit/common/dictionary.h>
#include <evokit/gp/gp_document.h>
#include <evokit/platform/collection.h>
#include <evokit/platform/filer.h>
#include <evokit/platform/guards.h>
#include <evokit/platform/object.h>
#include <evokit/platform/pool.h>
#include <evokit/platform/streams.h>
#include <evokit/platform/strings.h>
#include <evokit/platform/variant.h>

namespace evokit {

template <class T>
class TMXGPInstruction;
template <class T>
class TMXGPInstructions;
template <class T>
class TMXGPNode;
template <class T>
class TMXGPContext;
template <class T>
class IMXGeneticProgramEngine;

// Names used in class names of the generic instantiations ("TMXGPTreeNode<Double>").
template <class T>
struct TGPValueTypeName;
template <>
struct TGPValueTypeName<double> {
  static constexpr const char* Value = "Double";
};
template <>
struct TGPValueTypeName<Variant> {
  static constexpr const char* Value = "Variant";
};

// An instruction's computation hook: Sender is the instruction, aResult holds the built-in
// result on entry and may be overwritten.
template <class T>
using TNodeEvent = std::function<void(TObject* Sender, TMXGPNode<T>* Node, TMXGPContext<T>* Context, T& aResult)>;
// A notification about one node (the GP component's constant mutation).
template <class T>
using TNodeNotifyEvent = std::function<void(TObject* Sender, TMXGPNode<T>* Node)>;

// ---------------------------------------------------------------------------------------
// Execution context
// ---------------------------------------------------------------------------------------

// The variable table: names (compared exactly, case-sensitive) to values.
template <class T>
class TMXGPValues : public TMXDictionary<std::string, T> {
 public:
  std::string ClassName() const override { return std::string("TMXGPValues<") + TGPValueTypeName<T>::Value + ">"; }
};

// The variables one program run sees. Created empty by the caller, reused across any
// number of executions; executing never changes it unless a handler does.
template <class T>
class TMXGPContext : public TPersistent {
 public:
  TMXGPContext() = default;
  TMXGPContext(const TMXGPContext&) = delete;
  TMXGPContext& operator=(const TMXGPContext&) = delete;

  std::string ClassName() const override {
    return std::string("TMXGPContext<") + TGPValueTypeName<T>::Value + ">";
  }

  // The owned table, to be filled and changed in place.
  TMXGPValues<T>* Values() noexcept { return &FValues; }
  const TMXGPValues<T>* Values() const noexcept { return &FValues; }
  // Copies Value into the owned table; the caller keeps Value.
  void SetValues(const TMXGPValues<T>* Value) { FValues.Assign(Value); }

  // From another context: copies its table. Anything else: the cannot-assign error.
  void Assign(const TPersistent* Source) override {
    if (const auto* source = dynamic_cast<const TMXGPContext*>(Source)) {
      FValues.Assign(&source->FValues);
      return;
    }
    TPersistent::Assign(Source);
  }

 private:
  TMXGPValues<T> FValues;
};

// ---------------------------------------------------------------------------------------
// Engine interfaces
// ---------------------------------------------------------------------------------------

// Persistence operations of the GP component and the executor. Implementations read and
// write the GeneticProgram document (IXMLGeneticProgram, defined with that document's
// layer), a GPDomain element or an Instructions element.
class IMXGeneticProgramReaderWriter {
 public:
  virtual void LoadFromFile(const std::string& FileName) = 0;
  virtual void LoadFromStream(TStream& Stream) = 0;
  virtual void LoadFromXML(const IXMLGeneticProgram& Node) = 0;
  virtual void LoadFromXML(const IXMLGPDomainType& Node) = 0;
  virtual void LoadFromXML(const IXMLGPInstructions& Node) = 0;
  virtual void SaveToFile(const std::string& FileName) = 0;
  virtual void SaveToStream(TStream& Stream) = 0;
  virtual void SaveToXML(const IXMLGeneticProgram& Node) = 0;
  virtual void SaveToXML(const IXMLGPDomainType& Node) = 0;
  virtual void SaveToXML(const IXMLGPInstructions& Node) = 0;

 protected:
  // Implementations are destroyed as themselves (components), never through this interface.
  ~IMXGeneticProgramReaderWriter() = default;
};

// What instruction sets and nodes need of their engine (the GP component or the
// executor). An interface pointer neither owns nor keeps alive its implementer.
template <class T>
class IMXGeneticProgramEngine : public IMXGeneticProgramReaderWriter {
 public:
  // A new, empty instruction set owned by the engine, whose items are of ItemClass.
  virtual TMXGPInstructions<T>* CreateInstructions(TCollectionItemClass ItemClass) = 0;
  // A new node of the engine's node class, constructed with Instruction (taking its value)
  // and attached under Parent when Parent is not null. Both may be null.
  virtual TMXGPNode<T>* CreateNode(TMXGPInstruction<T>* Instruction, TMXGPNode<T>* Parent) = 0;
  // The largest arity an instruction may have.
  virtual int MaxNodeArity() = 0;
  // An instruction's property changed (Instruction is null for a whole-set change).
  virtual void InstructionUpdate(TMXGPInstruction<T>* Instruction) = 0;
  // An instruction was added, is being extracted or is being deleted.
  virtual void InstructionNotify(TMXGPInstruction<T>* Instruction, TCollectionNotification Action) = 0;
  // An instruction's Operation changed (its arity may have changed with it).
  virtual void InstructionOperationUpdate(TMXGPInstruction<T>* Instruction) = 0;
  // The engine's own set, and copying a set into it.
  virtual TMXGPInstructions<T>* GetInstructions() = 0;
  virtual void SetInstructions(const TMXGPInstructions<T>* Value) = 0;

 protected:
  ~IMXGeneticProgramEngine() = default;
};

// ---------------------------------------------------------------------------------------
// Instructions
// ---------------------------------------------------------------------------------------

// One instruction: a variable (reads the context), a constant (yields the node's value)
// or a function (computes through OnExecute). Invariants kept by the setters: Arity >= 0;
// Arity > 0 only for functions; Arity never above the engine's MaxNodeArity; names unique
// in the set ignoring ASCII case (SetName only; Assign and XML loading bypass the check).
template <class T>
class TMXGPInstruction : public TCollectionItem, public IPublishedProperties {
 public:
  // Joins Collection when given (a set adds its items itself through Add and Insert).
  explicit TMXGPInstruction(TCollection* Collection = nullptr) : TCollectionItem(Collection) {}
  // Leaves the set while still whole, so the engine's cnExtracting notification sees a
  // complete instruction.
  ~TMXGPInstruction() override;

  std::string ClassName() const override {
    return std::string("TMXGPInstruction<") + TGPValueTypeName<T>::Value + ">";
  }

  // The set holding this instruction, or null.
  TMXGPInstructions<T>* Instructions() const;
  // The engine of the holding set, or null.
  IMXGeneticProgramEngine<T>* Engine() const;

  const TNodeEvent<T>& OnExecute() const noexcept { return FOnExecute; }
  void SetOnExecute(TNodeEvent<T> Value) { FOnExecute = std::move(Value); }
  const TNotifyEvent& OnInitialize() const noexcept { return FOnInitialize; }
  void SetOnInitialize(TNotifyEvent Value) { FOnInitialize = std::move(Value); }

  int Arity() const noexcept { return FArity; }
  // Equal value: nothing. Negative stores 0; above the engine's MaxNodeArity stores that
  // limit. A stored arity above 0 makes the instruction a function. Notifies (Update).
  void SetArity(int Value);
  const std::string& Name() const noexcept { return FName; }
  // A name that differs (exactly) from the current one: EGPException "instruction name must
  // be unique" when the set already holds it (ASCII case ignored; so changing only the case
  // of the own name raises too), the name unchanged. Otherwise stores it and notifies.
  void SetName(const std::string& Value);
  const std::string& Comment() const noexcept { return FComment; }
  // Free text; stored, no notification.
  void SetComment(const std::string& Value) { FComment = Value; }
  TGPGeneticInstruction Operation() const noexcept { return FOperation; }
  // Equal value: nothing. Otherwise stores it; anything but gpFunction resets the arity to 0;
  // then OperationChanged (the engine's InstructionOperationUpdate, then Update).
  void SetOperation(TGPGeneticInstruction Value);
  // The value new nodes with this instruction start with.
  const T& Value() const noexcept { return FValue; }
  // Stores the value; no notification.
  void SetValue(const T& Value) { FValue = Value; }

  // From another instruction: copies name, comment, arity and value directly (no checks,
  // no notifications), then SetOperation(Source->Operation()). Events are not copied.
  // Anything else: EConvertError "Cannot assign a <source> to a <target>".
  void Assign(const TPersistent* Source) override;
  // Copies OnInitialize and OnExecute from another instruction; any other source: nothing.
  virtual void AssignEvents(const TPersistent* Source);

  // Runs the instruction for Node: EGPException "Invalid number of arguments (%d) for "%s"
  // instruction" when Node has fewer children than Arity (more are fine); then the
  // built-in computation; then OnExecute, which may overwrite the result. Handler errors
  // propagate unchanged. Allocates nothing for double.
  virtual T Execute(TMXGPNode<T>* Node, TMXGPContext<T>* Context);
  // Fires OnInitialize.
  virtual void Initialize();
  // "<display name> '<comment>' <operation name>", e.g. "Add 'sum' gpFunction".
  virtual std::string ToString() const;

  // Loads name, comment, kind (from the element's tag name) and, through LoadValueFromXML,
  // the value. The name is taken as written, without the uniqueness check. A Function
  // element sets the arity through SetArity (clamped, notified) and then stores the kind
  // without notification. A function loaded from a Variable or constant element changes
  // through SetOperation, which resets its arity to 0 and tells the engine; other kind
  // changes are stored without notification. An element that is no instruction element
  // raises EXMLDocError and changes nothing.
  virtual void LoadFromXML(const IXMLInstructionType& InstructionXML);
  // The value from a constant element; nothing in the generic class.
  virtual void LoadValueFromXML(const IXMLInstructionType& InstructionXML);
  // The value into a constant element; nothing in the generic class.
  virtual void SaveValueToXML(const IXMLInstructionType& InstructionXML) const;
  // Display name and comment, then SaveValueToXML.
  virtual void SaveToXML(const IXMLConstantInstructionType& ConstantXML) const;
  virtual void SaveToXML(const IXMLVariableInstructionType& VariableXML) const;
  // Name, comment and arity (its low 8 bits); no value.
  virtual void SaveToXML(const IXMLFunctionInstructionType& FunctionXML) const;
  // Adds an element to the list of this instruction's kind and fills it.
  virtual void SaveToXML(const IXMLGPInstructions& InstructionsXML) const;

  // Published properties: Arity, Name, Comment, OnInitialize, Operation.
  void DeclareProperties(TPropertyRegistry& Reg) override;

  // The name's hash as the variable table computes it (kept in step with Name).
  std::size_t NameHash() const noexcept { return FNameHash; }

 protected:
  // The name, or the class name when the name is empty.
  std::string GetDisplayName() const override { return FName.empty() ? ClassName() : FName; }
  // The built-in computation: a variable reads its name from the context's table (the
  // zero value when absent or without context), a constant yields the node's value, a
  // function yields the zero value.
  virtual T DoExecute(TMXGPNode<T>* Node, TMXGPContext<T>* Context);
  // Tells the set (InstructionOperationUpdate), then Changed(false).
  virtual void OperationChanged();

 private:
  [[noreturn]] void ArgumentCountError(TMXGPNode<T>* Node) const;
  void StoreName(const std::string& Value) {
    FName = Value;
    FNameHash = TMXGPValues<T>::HashOf(FName);
  }

  TNodeEvent<T> FOnExecute;
  int FArity = 0;
  std::string FName;
  std::size_t FNameHash = TMXGPValues<T>::HashOf(std::string_view());
  std::string FComment;
  TGPGeneticInstruction FOperation = gpVariable;
  T FValue{};
  TNotifyEvent FOnInitialize;
};

// The ordered, name-addressed instruction set an engine owns. Every change reaches the
// engine: additions and removals through Notify, property changes through Update, kind
// changes through InstructionOperationUpdate.
template <class T>
class TMXGPInstructions : public TOwnedCollection {
 public:
  // ItemClass must create TMXGPInstruction<T> objects (or subclasses); EInvalidCast otherwise.
  explicit TMXGPInstructions(TPersistent* AOwner,
                             TCollectionItemClass ItemClass = TCollectionItemClass::Of<TMXGPInstruction<T>>());

  std::string ClassName() const override {
    return std::string("TMXGPInstructions<") + TGPValueTypeName<T>::Value + ">";
  }

  TMXGPInstruction<T>* Items(int Index) const { return static_cast<TMXGPInstruction<T>*>(TCollection::Items(Index)); }
  TMXGPInstruction<T>* operator[](int Index) const { return Items(Index); }
  TMXGPInstruction<T>* Add() { return static_cast<TMXGPInstruction<T>*>(TCollection::Add()); }
  TMXGPInstruction<T>* Insert(int Index) { return static_cast<TMXGPInstruction<T>*>(TCollection::Insert(Index)); }
  TMXGPInstruction<T>* FindItemID(int ID) const {
    return static_cast<TMXGPInstruction<T>*>(TCollection::FindItemID(ID));
  }

  using TCollection::IndexOf;
  // Index of the first instruction whose name equals Name ignoring ASCII case; -1 when none.
  int IndexOf(std::string_view Name) const;
  int IndexOf(const char* Name) const { return IndexOf(std::string_view(Name ? Name : "")); }
  int IndexOf(const std::string& Name) const { return IndexOf(std::string_view(Name)); }
  // The instruction at IndexOf(Name), or null.
  TMXGPInstruction<T>* FindItemName(std::string_view Name) const;
  // The same; EGPException "Unknown instruction "<Name>"" when there is none.
  TMXGPInstruction<T>* GetItemByName(std::string_view Name) const;
  // The owner's engine interface, or null. Every node created asks for it, so the result
  // is kept for the owner's dynamic type (which changes only while the owner is being
  // built or destroyed): the cross-cast runs once per type, not once per node.
  IMXGeneticProgramEngine<T>* Engine() const {
    TPersistent* owner = Owner();
    if (!owner) return nullptr;
    const std::type_info* type = &typeid(*owner);
    if (FEngineType.load(std::memory_order_acquire) == type) return FEngine.load(std::memory_order_relaxed);
    auto* engine = dynamic_cast<IMXGeneticProgramEngine<T>*>(owner);
    if (engine) {
      // The owner is one object: its engine interface has one address whatever the type.
      FEngine.store(engine, std::memory_order_relaxed);
      FEngineType.store(type, std::memory_order_release);
    }
    return engine;
  }

  // Forwards to the engine's InstructionOperationUpdate.
  virtual void InstructionOperationUpdate(TMXGPInstruction<T>* Instruction);
  // From another set of the same kind: clears this one and copies every instruction with
  // its events, in one update bracket. Any other source: nothing.
  virtual void AssignAll(const TPersistent* Source);

  // Merge-load: instructions named in the element (lists Function, Variable, Constant,
  // FloatConstant, VariantConstant, each in document order) are updated in place or
  // appended; instructions the element does not name are deleted.
  virtual void LoadFromXML(const IXMLGPInstructions& InstructionsXML);
  // Every instruction, in order, into the list of its kind.
  virtual void SaveToXML(const IXMLGPInstructions& InstructionsXML) const;

 protected:
  // Into a TStrings: one line per instruction (display name, the instruction as object).
  void AssignTo(TPersistent* Dest) const override;
  void Notify(TCollectionItem* Item, TCollectionNotification Action) override;
  void Update(TCollectionItem* Item) override;

 private:
  mutable std::atomic<const std::type_info*> FEngineType{nullptr};
  mutable std::atomic<IMXGeneticProgramEngine<T>*> FEngine{nullptr};
};

// ---------------------------------------------------------------------------------------
// Nodes
// ---------------------------------------------------------------------------------------

// A class reference for nodes: creates a node of one class, as the virtual constructor
// Create(Instruction, Parent) would.
template <class T>
class TMXGPNodeClass {
 public:
  using TFactory = TMXGPNode<T>* (*)(TMXGPInstruction<T>* Instruction, TMXGPNode<T>* Parent);
  constexpr TMXGPNodeClass() = default;
  constexpr explicit TMXGPNodeClass(TFactory Factory) : FFactory(Factory) {}
  template <class N>
  static constexpr TMXGPNodeClass Of() {
    return TMXGPNodeClass(+[](TMXGPInstruction<T>* Instruction, TMXGPNode<T>* Parent) -> TMXGPNode<T>* {
      return new N(Instruction, Parent);
    });
  }
  // A new node (owned by Parent when given, else by the caller); null without a class.
  TMXGPNode<T>* Create(TMXGPInstruction<T>* Instruction, TMXGPNode<T>* Parent) const {
    return FFactory ? FFactory(Instruction, Parent) : nullptr;
  }
  explicit operator bool() const { return FFactory != nullptr; }
  bool operator==(const TMXGPNodeClass&) const = default;

 private:
  TFactory FFactory = nullptr;
};

// A program tree node: refers to an instruction, holds its own value, knows its parent,
// owns its children and caches the size and depth of its subtree.
//
// Construction: the base constructor stores the instruction and takes its value; the
// subclass constructors attach the node under Parent once their own state exists (so a
// parent can check the class of a child being attached).
//
// Cache rule: a cache of 0 means "not computed". Every structural change ends with the
// virtual Modified() of the changed node, which clears its caches and then calls the
// virtual Modified() of each ancestor in turn, from the parent upwards. The walk stops
// after the first ancestor whose caches were both clear already: Size() and Depth() fill
// the caches of a node with children only together with those of its subtree, so
// everything above such an ancestor is clear too and has been told of a change since it
// last computed anything (or never computed anything). A leaf's depth is never cached, so
// the walk always goes on to the parent of the changed node. An override of Modified()
// is therefore called for the first change below it after its caches were filled, and
// again once Size() or Depth() has filled them anew; building a tree node by node stays
// linear, however deep. The ancestors are called one after the other, not nested: an
// override that calls the inherited Modified() lets the walk go on when it returns, one
// that does not stops it.
template <class T>
class TMXGPNode : public TPersistent {
 public:
  using TNode = TMXGPNode<T>;

  // Detaches from the parent first; subclasses destroy the children without recursion.
  ~TMXGPNode() override;
  TMXGPNode(const TMXGPNode&) = delete;
  // Nodes of every class come from the per-thread small-object pool: breeding makes and
  // destroys them by the million.
  static void* operator new(std::size_t Size) { return SmallObjectAllocate(Size); }
  static void operator delete(void* Block, std::size_t Size) noexcept { SmallObjectFree(Block, Size); }
  TMXGPNode& operator=(const TMXGPNode&) = delete;

  std::string ClassName() const override { return std::string("TMXGPNode<") + TGPValueTypeName<T>::Value + ">"; }

  // A new node for Instruction, attached under Parent when not null. Concrete classes ask
  // the engine of this node's instruction first, so the engine decides the class.
  virtual TNode* CreateNode(TMXGPInstruction<T>* Instruction, TNode* Parent) const = 0;
  // The child at Index; the range errors of the subclass outside 0..GetChildCount()-1.
  virtual TNode* GetChild(int Index) const = 0;
  virtual int GetChildCount() const = 0;
  // Attaches Node as a child (a node that is already a child is left alone). Node must
  // not be this node or one of its ancestors. Constant time for a leaf Node.
  virtual void AddChild(TNode* Node) = 0;
  virtual void InsertChild(int Index, TNode* Node) = 0;
  // Detaches Node (not destroyed; the caller owns it). Nothing when it is not a child.
  virtual void ExtractChild(TNode* Node) = 0;
  // Clears the caches of this node and calls Modified() of its ancestors (see the cache
  // rule). Overrides call the inherited Modified() to keep the caches and the walk going.
  virtual void Modified();
  // Stores the value; no notification.
  virtual void SetValue(const T& Value) { FValue = Value; }
  // Forgets the instruction and sets the value to zero; subclasses destroy the children
  // and call Modified(). LoadFromXML and Assign clear the node through this call.
  virtual void Clear();
  // Text of a variable or constant for the prefix text; "" in the base.
  virtual std::string ValueToString() const { return std::string(); }

  TNode* Parent() const noexcept { return FParent; }
  // Moves this node under P (extracting it from its former parent first); null detaches,
  // and the caller then owns the node. Raises (and changes nothing) when P refuses it.
  void SetParent(TNode* P);
  TMXGPInstruction<T>* Instruction() const noexcept { return FInstruction; }
  // Stores the instruction; no other effect.
  void SetInstruction(TMXGPInstruction<T>* Value) noexcept { FInstruction = Value; }
  const T& Value() const noexcept { return FValue; }

  // Number of nodes in the subtree (1 for a leaf); cached.
  int Size() const;
  // Edges on the longest path down to a leaf (0 for a leaf); cached.
  int Depth() const;
  // Position of Node among GetChild(0 .. GetChildCount()-1), or -1.
  int IndexOf(const TNode* Node) const;
  // True without instruction, for non-functions, and for functions of arity 0.
  bool IsTerminal() const noexcept {
    return FInstruction == nullptr || FInstruction->Operation() != gpFunction || FInstruction->Arity() == 0;
  }

  // Runs the instruction for this node: EGPException "No instruction assigned to node"
  // without one; otherwise Instruction()->Execute(this, Context).
  T Execute(TMXGPContext<T>* Context) {
    if (FInstruction == nullptr) NoInstructionError();
    return FInstruction->Execute(this, Context);
  }

  // A deep copy made by CreateNode, attached under Parent (a root when null).
  TNode* Clone(TNode* Parent) const;
  // A detached deep copy, like Clone(nullptr), that also appends its nodes to PreOrder in
  // pre-order (a node before its children, child 0 first), made in pre-order as well. On
  // failure nothing is left allocated and PreOrder is back to what it held.
  TNode* CloneInPreOrder(std::vector<TNode*>& PreOrder) const;
  // From another node: this node takes its instruction, value, caches and deep copies of
  // its children; the parent is told through its Modified(). The copies are made first,
  // then Clear() destroys the old children, so Source may be a node inside this subtree
  // and errors (a child of the wrong class for this node) leave the node as it was. Any
  // other source: the cannot-assign error.
  void Assign(const TPersistent* Source) override;

  // Bracketed prefix text: "(Add x 1.5)", a leaf alone "2", "nil" for no instruction.
  // Built from each node's ValueToString (variables, constants) and the function names.
  virtual std::string ToString() const;

  // Loads this subtree from a DNA element: the Instruction name is looked up in the set
  // of this node's current instruction (EGPException "Unknown instruction "%s"" before
  // anything changes; without an instruction the lookup gives null), then the node is
  // cleared and takes it; a constant loads its value, so does any other node with a Value
  // element (a variable's weight; a variable without one stays at zero); each Child
  // element becomes a child
  // created by CreateNode and loaded the same way. Without an instruction no children are
  // loaded. A failure below leaves the nodes loaded so far in place.
  virtual void LoadFromXML(const IXMLDnaType& DnaXML);
  // The node's value from its element's Value; nothing in the base.
  virtual void LoadValueFromXML(const IXMLDnaType& DnaXML);
  // Writes this subtree: the instruction's name, a constant's value, a variable's value
  // when it is not zero (a weight; the value a variable without one loads as, so variables
  // of programs without weights write no Value), and one Child element per child in order. A node whose instruction has no name raises EGPException before
  // anything is written: its text would name no instruction when read back.
  virtual void SaveToXML(const IXMLDnaType& DnaXML) const;
  // The node's value into its element's Value; nothing in the base.
  virtual void SaveValueToXML(const IXMLDnaType& DnaXML) const;

 protected:
  using TCopyList = std::vector<std::pair<const TNode*, TNode*>>;

  // Stores Instruction and takes its value; attaching under a parent is the subclass's.
  explicit TMXGPNode(TMXGPInstruction<T>* Instruction);

  // --- the hooks the generic algorithms are built on -----------------------------------
  // The Index-th existing child, Index in 0..GetChildCount()-1 (never null).
  virtual TNode* NthChild(int Index) const = 0;
  // Raises when Node cannot become a child of this node; nothing when it can (or is one).
  virtual void CheckAccept(TNode* Node) const { (void)Node; }
  // Moves every child out into Out, without notifications (their Parent becomes null).
  // Positions are kept: a binary node appends exactly two entries, null for an empty one.
  virtual void ReleaseChildren(std::vector<TNode*>& Out) = 0;
  // Puts back what ReleaseChildren gave out, without notifications.
  virtual void RestoreChildren(const std::vector<TNode*>& Saved) = 0;
  // For a node without children: attaches shallow copies (instruction, value, caches; made
  // by the source children's CreateNode) of Source's children, without notifications, and
  // appends each (source child, copy) pair to Pending.
  virtual void CopyChildrenFrom(const TNode* Source, TCopyList& Pending) = 0;

  // Destroys all children and their subtrees iteratively, without notifications.
  void DestroyChildren();
  // Destroys the given detached nodes and their subtrees iteratively (nulls are skipped);
  // Nodes is left empty, with its capacity.
  static void DestroyNodes(std::vector<TNode*>&& Nodes);
  // A new node made by Source's CreateNode, detached, with Source's instruction, value
  // and caches.
  static TNode* ShallowCopy(const TNode* Source);
  // Copies Source's descendants under To, which has none yet, in pre-order (a node before
  // its children, child 0 first); each node reached, To first, is appended to PreOrder
  // when given. A failure leaves what was copied so far under To.
  static void CopyDescendants(const TNode* Source, TNode* To, std::vector<TNode*>* PreOrder);
  // The engine of this node's instruction's set, or null.
  IMXGeneticProgramEngine<T>* Engine() const;
  // Set or clear Child's parent pointer only (the caller keeps both sides in step).
  void LinkChild(TNode* Child) noexcept { Child->FParent = this; }
  static void UnlinkChild(TNode* Child) noexcept { Child->FParent = nullptr; }
  // NthChild of another node (protected access goes through the base).
  static TNode* NthChildOf(const TNode* Node, int Index) { return Node->NthChild(Index); }
  // True while Node's SetParent is calling AddChild of its new parent: Node's Parent is
  // set already, but the parent does not hold it yet.
  static bool IsBeingAttached(const TNode* Node) noexcept { return FAttaching == Node; }

 private:
  [[noreturn]] static void NoInstructionError();
  // Loads this node's own part of a DNA element (lookup, clear, instruction, value).
  void LoadNodeFromXML(const IXMLDnaType& DnaXML);

  // One step of the walk of Modified() over the ancestors: the node being called, and
  // the node to call next, which the inherited Modified() of Current fills in.
  struct TModifiedWalk {
    const TNode* Current = nullptr;
    TNode* Next = nullptr;
  };

  TNode* FParent = nullptr;
  T FValue{};
  TMXGPInstruction<T>* FInstruction = nullptr;
  mutable int FDepth = 0;
  mutable int FSize = 0;

  // Notes that the mutual calls leave for each other. Per thread: a tree belongs to one
  // thread at a time, and separate trees on separate threads do not meet. Initial-exec,
  // like the node pool's access: every change to a tree reads FWalk, and in a shared
  // object the default model would call the loader each time.
  [[gnu::tls_model("initial-exec")]] static inline constinit thread_local const TNode* FAttaching = nullptr;
  [[gnu::tls_model("initial-exec")]] static inline constinit thread_local TModifiedWalk* FWalk = nullptr;
};

// A node with any number of children, kept in an owning list.
template <class T>
class TMXGPTreeNode : public TMXGPNode<T> {
 public:
  using TNode = TMXGPNode<T>;

  explicit TMXGPTreeNode(TMXGPInstruction<T>* Instruction = nullptr, TNode* Parent = nullptr);
  // Destroys the subtree (without recursion), then leaves the parent.
  ~TMXGPTreeNode() override;

  std::string ClassName() const override {
    return std::string("TMXGPTreeNode<") + TGPValueTypeName<T>::Value + ">";
  }

  // The engine's CreateNode when this node's instruction has one; else a TMXGPTreeNode.
  TNode* CreateNode(TMXGPInstruction<T>* Instruction, TNode* Parent) const override;
  // EArgumentOutOfRangeException outside 0..count-1.
  TNode* GetChild(int Index) const override;
  int GetChildCount() const override { return static_cast<int>(FChildren.size()); }
  // Appends Node unless it is already a child (then nothing); Node leaves its former
  // parent. Membership is told by Node's Parent, without searching the list.
  void AddChild(TNode* Node) override;
  // Inserts Node at Index (0..count, else EArgumentOutOfRangeException); Node leaves its
  // former parent. A node that is already a child moves to Index.
  void InsertChild(int Index, TNode* Node) override;
  void ExtractChild(TNode* Node) override;
  // Forgets the instruction, zeroes the value, destroys the children.
  void Clear() override;
  // Replaces the children by deep copies of List's nodes, in order; List keeps its nodes.
  void SetChildren(const std::vector<TNode*>& List);
  // The children in order (owned by this node).
  std::span<TNode* const> Children() const noexcept { return FChildren; }

 protected:
  TNode* NthChild(int Index) const override { return FChildren[static_cast<std::size_t>(Index)]; }
  void ReleaseChildren(std::vector<TNode*>& Out) override;
  void RestoreChildren(const std::vector<TNode*>& Saved) override;
  void CopyChildrenFrom(const TNode* Source, typename TNode::TCopyList& Pending) override;

 private:
  // True when Node is in FChildren, in constant time.
  bool Holds(const TNode* Node) const noexcept;

  TInlineList<TNode*> FChildren;  // one or two children in place, more in a pool block
};

// A node with at most two children, Left (child 0) and Right (child 1), both binary nodes.
// GetChildCount counts the non-null ones; a node with Right set and Left null is not
// well-formed (GetChild(0) then yields null), but SetRight can make one.
template <class T>
class TMXGPBinaryNode : public TMXGPNode<T> {
 public:
  using TNode = TMXGPNode<T>;

  explicit TMXGPBinaryNode(TMXGPInstruction<T>* Instruction = nullptr, TNode* Parent = nullptr);
  ~TMXGPBinaryNode() override;

  std::string ClassName() const override {
    return std::string("TMXGPBinaryNode<") + TGPValueTypeName<T>::Value + ">";
  }

  // The engine's CreateNode when this node's instruction has one; else a TMXGPBinaryNode.
  TNode* CreateNode(TMXGPInstruction<T>* Instruction, TNode* Parent) const override;
  // 0 is Left, 1 is Right; EListError "List index out of bounds (<Index>)" otherwise.
  TNode* GetChild(int Index) const override;
  int GetChildCount() const override { return (FLeft != nullptr) + (FRight != nullptr); }
  // Fills Left when it is free (and Node is not Right), else Right; EGPException "Node
  // cannot accept anymore children" when both are taken (whatever Node's class); else
  // EInvalidCast for a node that is not binary. Errors change nothing.
  void AddChild(TNode* Node) override;
  // Index 0: a lone Left first moves to Right, then Node becomes Left. Index 1: a lone
  // Right first moves to Left, then Node becomes Right. When the position is still taken
  // after that shift (both positions full), EGPException "Node cannot accept anymore
  // children" and nothing changes. Other indexes: EListError. Node itself (not a copy) is
  // attached, leaving its former parent; a node that is already a child stays where it is.
  void InsertChild(int Index, TNode* Node) override;
  void ExtractChild(TNode* Node) override;
  void Clear() override;

  TMXGPBinaryNode* Left() const noexcept { return FLeft; }
  TMXGPBinaryNode* Right() const noexcept { return FRight; }
  // Replaces Left by a deep copy of V (null: no Left); the caller keeps V. EInvalidCast
  // (nothing changed) when the copy is not a binary node.
  void SetLeft(TMXGPBinaryNode* V);
  // Replaces Right by a deep copy of V, even when Left is empty; the caller keeps V.
  void SetRight(TMXGPBinaryNode* V);

 protected:
  TNode* NthChild(int Index) const override { return Index == 0 && FLeft ? FLeft : FRight; }
  void CheckAccept(TNode* Node) const override;
  void ReleaseChildren(std::vector<TNode*>& Out) override;
  void RestoreChildren(const std::vector<TNode*>& Saved) override;
  void CopyChildrenFrom(const TNode* Source, typename TNode::TCopyList& Pending) override;

 private:
  // A deep copy of V as a detached binary node; EInvalidCast when it is not binary.
  static TMXGPBinaryNode* BinaryCopy(const TMXGPBinaryNode* V);

  TMXGPBinaryNode* FRight = nullptr;
  TMXGPBinaryNode* FLeft = nullptr;
};

// ---------------------------------------------------------------------------------------
// Hot path
// ---------------------------------------------------------------------------------------

template <class T>
inline T TMXGPInstruction<T>::Execute(TMXGPNode<T>* Node, TMXGPContext<T>* Context) {
  if (FArity > 0 && FArity > Node->GetChildCount()) ArgumentCountError(Node);
  T Result = DoExecute(Node, Context);
  if (FOnExecute) FOnExecute(this, Node, Context, Result);
  return Result;
}

template <class T>
inline T TMXGPInstruction<T>::DoExecute(TMXGPNode<T>* Node, TMXGPContext<T>* Context) {
  switch (FOperation) {
    case gpVariable:
      if (Context != nullptr) {
        if (const T* value = Context->Values()->Lookup(FName, FNameHash)) return *value;
      }
      return T{};
    case gpConstant:
      return Node->Value();
    default:
      return T{};
  }
}

}  // namespace evokit

#include <evokit/gp/program.impl.h>
