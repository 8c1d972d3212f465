// Bodies of the program executor declared in executor.h. Included by executor.h only. The
// double and Variant instantiations are compiled once, in the library (src/gp/executor.cpp).
#pragma once

#include <climits>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <evokit/core/genetic_document.h>
#include <evokit/gp/executor.h>
#include <evokit/platform/convert.h>
#include <evokit/platform/filer.h>
#include <evokit/platform/streams.h>
#include <evokit/platform/xml.h>

namespace evokit {

template <class T>
TMXCustomGeneticProgrammingExecutor<T>::TMXCustomGeneticProgrammingExecutor(TComponent* AOwner)
    : TComponent(AOwner) {
  FInstructions.reset(CreateInstructions(TCollectionItemClass::Of<TInstruction>()));
}

template <class T>
TMXCustomGeneticProgrammingExecutor<T>::~TMXCustomGeneticProgrammingExecutor() {
  Destroying();
  FGPProgram.reset();
  FInstructions.reset();
}

template <class T>
void TMXCustomGeneticProgrammingExecutor<T>::RecreateInstructions(TCollectionItemClass ItemClass) {
  std::unique_ptr<TInstructions> instructions(CreateInstructions(ItemClass));
  ReplaceProgram(nullptr);
  FInstructions = std::move(instructions);
}

template <class T>
TMXGPInstructions<T>* TMXCustomGeneticProgrammingExecutor<T>::CreateInstructions(TCollectionItemClass ItemClass) {
  return new TInstructions(this, ItemClass);
}

template <class T>
TMXGPNode<T>* TMXCustomGeneticProgrammingExecutor<T>::CreateNode(TInstruction* Instruction, TNode* Parent) {
  return new TMXGPTreeNode<T>(Instruction, Parent);
}

template <class T>
int TMXCustomGeneticProgrammingExecutor<T>::MaxNodeArity() {
  return INT_MAX;
}

template <class T>
void TMXCustomGeneticProgrammingExecutor<T>::InstructionNotify(TInstruction*, TCollectionNotification Action) {
  // The text still names the program's instructions: it stays, for a later Parse.
  if (Action != cnAdded) FGPProgram.reset();
}

// --- Program --------------------------------------------------------------------------------

template <class T>
void TMXCustomGeneticProgrammingExecutor<T>::ReplaceProgram(TNode* Program, bool KeepLines) {
  FGPProgram.reset(Program);
  if (!KeepLines) FGPProgramLines.Clear();
}

template <class T>
void TMXCustomGeneticProgrammingExecutor<T>::CopyProgram(const TNode* Source) {
  if (!Source) return ReplaceProgram(nullptr);
  detail::TGPInstructionMap<T> map(*FInstructions);
  ReplaceProgram(detail::GPCopyTree(*Source, map, [this](TInstruction* I, TNode* P) { return CreateNode(I, P); }));
}

template <class T>
void TMXCustomGeneticProgrammingExecutor<T>::SetGPProgram(const TNode* Value) {
  if (Value == FGPProgram.get()) return;
  if (!Value) return ReplaceProgram(nullptr);
  TInstructions& set = *FInstructions;
  // First decide, for each instruction of another set, which instruction of this set
  // stands for it or which new copy will: every clash is found before anything changes.
  std::unordered_map<const TInstruction*, TInstruction*> reused;
  std::unordered_map<const TInstruction*, std::size_t> copyOf;  // index into copies
  std::vector<const TInstruction*> copies;                      // sources, in first use
  const auto sameKind = [](const TInstruction& A, const TInstruction& B) {
    return A.Operation() == B.Operation() && A.Arity() == B.Arity();
  };
  const auto clash = [](const TInstruction& From, const TInstruction& Held, const char* Where) {
    const auto kind = [](const TInstruction& I) {
      return "\"" + I.Name() + "\" (" + EnumName(I.Operation()) + ", arity " + std::to_string(I.Arity()) + ")";
    };
    throw EGPException("Instruction " + kind(From) + " of the program does not match " + kind(Held) + Where);
  };
  const auto plan = [&](const TInstruction* From) {
    if (!From || From->Collection() == &set || reused.count(From) || copyOf.count(From)) return;
    if (From->Name().empty()) {
      const int index = From->Index();
      TInstruction* held = index >= 0 && index < set.Count() ? set.Items(index) : nullptr;
      if (held && held->Name().empty() && sameKind(*held, *From)) {
        reused.emplace(From, held);
        return;
      }
      // An unnamed constant elsewhere in the set with its value: the copy an earlier call
      // made, say, so that setting such a program again does not grow the set.
      if (From->Operation() == gpConstant)
        for (int i = 0; i < set.Count(); ++i)
          if (TInstruction* same = set.Items(i);
              same->Name().empty() && sameKind(*same, *From) && same->Value() == From->Value()) {
            reused.emplace(From, same);
            return;
          }
    } else if (TInstruction* held = set.FindItemName(From->Name())) {
      if (!sameKind(*held, *From)) clash(*From, *held, " in the executor's instructions");
      reused.emplace(From, held);
      return;
    } else {
      for (std::size_t i = 0; i < copies.size(); ++i)
        if (SameText(copies[i]->Name(), From->Name())) {
          if (!sameKind(*copies[i], *From)) clash(*From, *copies[i], ", also used by the program");
          copyOf.emplace(From, i);
          return;
        }
    }
    copyOf.emplace(From, copies.size());
    copies.push_back(From);
  };
  for (std::vector<const TNode*> pending{Value}; !pending.empty();) {
    const TNode* node = pending.back();
    pending.pop_back();
    plan(node->Instruction());
    for (int c = node->GetChildCount() - 1; c >= 0; --c)
      if (const TNode* child = node->GetChild(c)) pending.push_back(child);
  }

  std::vector<TInstruction*> added;
  try {
    for (const TInstruction* from : copies) {
      added.push_back(set.Add());
      added.back()->Assign(from);
      added.back()->AssignEvents(from);
    }
    const auto map = [&](TInstruction* From) -> TInstruction* {
      if (const auto it = reused.find(From); it != reused.end()) return it->second;
      if (const auto it = copyOf.find(From); it != copyOf.end()) return added[it->second];
      return From;  // null, or already one of this set's
    };
    ReplaceProgram(detail::GPCopyTree(*Value, map, [this](TInstruction* I, TNode* P) { return CreateNode(I, P); }));
  } catch (...) {
    // The current program refers to none of the additions; keep it out of reach of the
    // removal notifications while they go.
    std::unique_ptr<TNode> program(FGPProgram.release());
    for (auto it = added.rbegin(); it != added.rend(); ++it) set.Delete((*it)->Index());
    FGPProgram = std::move(program);
    throw;
  }
}

template <class T>
void TMXCustomGeneticProgrammingExecutor<T>::SetInstructions(const TInstructions* Value) {
  if (Value && Value != FInstructions.get()) FInstructions->AssignAll(Value);
}

template <class T>
TStrings* TMXCustomGeneticProgrammingExecutor<T>::GetGPProgramLines() {
  if (FGPProgramLines.Count() == 0 && FGPProgram) GenerateXML();
  return &FGPProgramLines;
}

template <class T>
void TMXCustomGeneticProgrammingExecutor<T>::SetGPProgramLines(const TStrings* Value) {
  if (Value == &FGPProgramLines) return;
  if (Value) FGPProgramLines.Assign(Value);
  else FGPProgramLines.Clear();
  if (IsDesigning()) Parse();
}

template <class T>
void TMXCustomGeneticProgrammingExecutor<T>::GenerateXML() {
  if (!FGPProgram) return;
  // The program is saved as the DNA of an individual of a population, as in a domain
  // document, and the text is that DNA element alone.
  auto doc = NewGPPopulation();
  const IXMLIndividualType individual = doc.Root().Add();
  FGPProgram->SaveToXML(individual.Get_DNA());
  FGPProgramLines.SetText(individual.Get_DNA().XML());
}

template <class T>
void TMXCustomGeneticProgrammingExecutor<T>::Parse() {
  if (FInstructions->Count() == 0) return;
  const std::string text = FGPProgramLines.Text();
  if (Trim(text).empty()) return ReplaceProgram(nullptr, true);
  TXMLDocument doc = LoadXMLData(text);
  const TXMLNode root = doc.DocumentElement();
  if (root && root.NodeName() == "DNA") {
    // The bare DNA element that GenerateXML writes.
    std::unique_ptr<TNode> tree = detail::GPLoadTree(*FInstructions, root, [this](TInstruction* I) {
      return CreateNode(I, nullptr);
    });
    return ReplaceProgram(tree.release(), true);
  }
  LoadDomain(GetGPDomain(doc).Node(), true);
}

template <class T>
void TMXCustomGeneticProgrammingExecutor<T>::Assign(const TPersistent* Source) {
  if (const auto* executor = dynamic_cast<const TMXCustomGeneticProgrammingExecutor<T>*>(Source)) {
    if (executor == this) return;
    FInstructions->AssignAll(executor->FInstructions.get());
    CopyProgram(executor->FGPProgram.get());
    return;
  }
  if (const auto* gp = dynamic_cast<const TMXCustomGeneticProgramming<T>*>(Source)) {
    FInstructions->AssignAll(gp->Instructions());
    const TMXGPIndividual<T>* fittest = gp->FittestIndividual();
    CopyProgram(fittest ? fittest->DNA() : nullptr);
    return;
  }
  TComponent::Assign(Source);
}

template <class T>
void TMXCustomGeneticProgrammingExecutor<T>::DeclareExecutorProperties(TPropertyRegistry& Reg) {
  Reg.Collection("Instructions", [this] { return Instructions(); });
  Reg.Strings(
      "GPProgramLines", [this]() -> const TStrings* { return GetGPProgramLines(); },
      [this](const TStrings* Value) { SetGPProgramLines(Value); });
}

// --- Documents --------------------------------------------------------------------------------

template <class T>
void TMXCustomGeneticProgrammingExecutor<T>::LoadDomain(const TXMLNode& Domain, bool KeepLines) {
  const TXMLNode instructions = Domain ? Domain.FindChild("Instructions") : TXMLNode();
  const bool loadSet = instructions && instructions.HasChildNodes();
  const auto makeRoot = [this](TInstruction* I) { return CreateNode(I, nullptr); };
  detail::GPCheckDomain(*FInstructions, Domain, loadSet, true, false, makeRoot);
  if (loadSet) FInstructions->LoadFromXML(IXMLGPInstructions(instructions));
  if (FInstructions->Count() == 0) return;
  const TXMLNode fittest = Domain ? Domain.FindChild("FittestIndividual") : TXMLNode();
  const TXMLNode dna = fittest ? fittest.FindChild("DNA") : TXMLNode();
  if (!dna) return ReplaceProgram(nullptr, KeepLines);
  ReplaceProgram(detail::GPLoadTree(*FInstructions, dna, makeRoot).release(), KeepLines);
}

template <class T>
void TMXCustomGeneticProgrammingExecutor<T>::LoadFromXML(const IXMLGeneticProgram& Node) {
  const TXMLNode domain = Node.Node().FindChild("Domain");
  if (!domain) throw EXMLDocError("GeneticProgram: the document has no Domain element");
  LoadDomain(domain, false);
}

template <class T>
void TMXCustomGeneticProgrammingExecutor<T>::LoadFromXML(const IXMLGPDomainType& Node) {
  LoadDomain(Node.Node(), false);
}

template <class T>
void TMXCustomGeneticProgrammingExecutor<T>::LoadFromXML(const IXMLGPInstructions& Node) {
  FInstructions->LoadFromXML(Node);
}

template <class T>
void TMXCustomGeneticProgrammingExecutor<T>::SaveToXML(const IXMLGPDomainType& Node) {
  FInstructions->SaveToXML(Node.Get_Instructions());
  if (FGPProgram) FGPProgram->SaveToXML(Node.Get_FittestIndividual().Get_DNA());
}

template <class T>
void TMXCustomGeneticProgrammingExecutor<T>::SaveToXML(const IXMLGeneticProgram& Node) {
  SaveToXML(Node.Get_Domain());
}

template <class T>
void TMXCustomGeneticProgrammingExecutor<T>::SaveToXML(const IXMLGPInstructions& Node) {
  FInstructions->SaveToXML(Node);
}

template <class T>
void TMXCustomGeneticProgrammingExecutor<T>::SaveToFile(const std::string& FileName) {
  auto doc = NewGeneticProgram();
  doc.Document().SetOptions(doc.Document().Options() | doNodeAutoIndent);
  SaveToXML(doc.Root());
  SaveFileSafely(FileName, [&doc](TStream& Stream) { detail::WriteXMLDocument(doc.Document(), Stream); });
}

template <class T>
void TMXCustomGeneticProgrammingExecutor<T>::SaveToStream(TStream& Stream) {
  auto doc = NewGeneticProgram();
  SaveToXML(doc.Root());
  detail::WriteXMLDocument(doc.Document(), Stream);
}

template <class T>
void TMXCustomGeneticProgrammingExecutor<T>::LoadFromFile(const std::string& FileName) {
  auto doc = LoadGeneticProgram(FileName);
  LoadFromXML(doc.Root());
}

template <class T>
void TMXCustomGeneticProgrammingExecutor<T>::LoadFromStream(TStream& Stream) {
  auto doc = NewGeneticProgram();
  doc.Document().LoadFromStream(Stream);
  LoadFromXML(GetGeneticProgram(doc.Document()));
}

extern template class TMXCustomGeneticProgrammingExecutor<double>;
extern template class TMXCustomGeneticProgrammingExecutor<Variant>;

}  // namespace evokit
