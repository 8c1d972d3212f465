// The program executor: TMXCustomGeneticProgrammingExecutor<T> holds one finished program
// (typically the fittest program of a GP component, taken over by Assign) with the
// instruction set it was written in, and runs it against contexts without the evolution
// machinery. It keeps the program as XML text too (GPProgramLines, a DNA element), which
// component streaming writes, and reads and writes the GeneticProgram documents of the
// GP component (only their Domain). It is the engine of its own instruction set.
// The concrete float and variant executors are in gp_components.h.
//
// Thread safety: Execute only reads the program and the instructions; several threads
// may execute one executor at once when each has its own context and the handlers are
// safe for that. Everything else belongs to one thread.
#pragma once

#include <memory>
#include <string>

#include <evokit/gp/program.h>
#include <evokit/gp/genetic_programming.h>
#include <evokit/platform/component.h>
#include <evokit/platform/strings.h>

namespace evokit {

template <class T>
class TMXCustomGeneticProgrammingExecutor : public TComponent, public IMXGeneticProgramEngine<T> {
 public:
  using TInstruction = TMXGPInstruction<T>;
  using TInstructions = TMXGPInstructions<T>;
  using TNode = TMXGPNode<T>;

  // An empty instruction set of TMXGPInstruction<T>, no program, no text.
  explicit TMXCustomGeneticProgrammingExecutor(TComponent* AOwner = nullptr);
  // Frees the program, then the instruction set.
  ~TMXCustomGeneticProgrammingExecutor() override;

  std::string ClassName() const override {
    return std::string("TMXCustomGeneticProgrammingExecutor<") + TGPValueTypeName<T>::Value + ">";
  }

  // --- Program and instructions ---------------------------------------------------------
  // The program tree, owned by the executor; null until a program is set, parsed, loaded
  // or assigned. Its nodes refer to instructions of Instructions().
  TNode* GPProgram() const noexcept { return FGPProgram.get(); }
  // Replaces the program by a copy of Value made of this executor's nodes and referring
  // to this executor's instructions only, so Value and its instruction set may go
  // afterwards; empties GPProgramLines. An instruction of another set is matched by name
  // (ASCII case ignored; an unnamed one: the unnamed instruction at its position when it
  // has the same operation and arity, else, for a constant, the first unnamed constant of
  // the same value); one without a match is appended as a copy (name,
  // comment, operation, arity, value and events) in the order the program first uses it.
  // A name that the set holds, or that Value uses, with another operation or arity raises
  // EGPException naming both, with the instructions and the program as they were. Null
  // removes the program. The caller keeps Value.
  void SetGPProgram(const TNode* Value);
  // The instruction set, owned by the executor. Removing an instruction from it removes
  // the program, whose nodes might refer to it.
  TInstructions* Instructions() const noexcept { return FInstructions.get(); }
  TInstructions* GetInstructions() override { return FInstructions.get(); }
  // Copies Value's instructions with their events (AssignAll); the caller keeps Value.
  void SetInstructions(const TInstructions* Value) override;
  // The program as XML text: a DNA element. Regenerated from the program (GenerateXML)
  // when the list is empty.
  TStrings* GetGPProgramLines();
  // Copies Value's lines; only a component being designed parses them at once, otherwise
  // the program is built from them by an explicit Parse().
  void SetGPProgramLines(const TStrings* Value);
  // Fills GPProgramLines with the program's DNA element; nothing without a program.
  virtual void GenerateXML();
  // Builds the program from GPProgramLines: a DNA element (as GenerateXML writes it) or a
  // GPDomain document (loaded as LoadFromXML does). Nothing when the instruction set is
  // empty; text with nothing but blanks removes the program. Text that is no XML, or has
  // another root, raises EXMLDocError; an unknown instruction EGPException, a bad number
  // EConvertError. An error leaves the program and the instructions as they were.
  virtual void Parse();
  // Runs the program: the zero value of T without one; execution errors propagate.
  virtual T Execute(TMXGPContext<T>* Context) { return FGPProgram ? FGPProgram->Execute(Context) : T{}; }

  // From another executor of the same value type: its instructions with their events,
  // then a copy of its program (none when it has none) rebound to the copied
  // instructions. From a GP component of the same value type: its instructions with their
  // events, then a copy of its fittest individual's program, or no program when it has no
  // fittest individual. GPProgramLines is emptied. Any other source: EConvertError.
  void Assign(const TPersistent* Source) override;

  // --- Engine ---------------------------------------------------------------------------
  // A new set owned by this executor (the caller holds it) with items of ItemClass.
  TInstructions* CreateInstructions(TCollectionItemClass ItemClass) override;
  // A new TMXGPTreeNode<T>.
  TNode* CreateNode(TInstruction* Instruction, TNode* Parent) override;
  // The largest 32-bit value: arities are never clamped.
  int MaxNodeArity() override;
  void InstructionUpdate(TInstruction*) override {}
  // An instruction leaving the set removes the program.
  void InstructionNotify(TInstruction* Instruction, TCollectionNotification Action) override;
  void InstructionOperationUpdate(TInstruction*) override {}

  // --- Documents ---------------------------------------------------------------------------
  // The Domain of a GeneticProgram document (the other settings are the GP component's);
  // a document without a Domain element raises EXMLDocError.
  void LoadFromXML(const IXMLGeneticProgram& Node) override;
  // Merge-loads the instruction set when the Instructions element has children (else the
  // set stays), then, when the set is not empty, replaces the program by the tree of
  // FittestIndividual's DNA, or removes it when there is no such element. Checked in
  // scratch copies first: an error changes nothing.
  void LoadFromXML(const IXMLGPDomainType& Node) override;
  void LoadFromXML(const IXMLGPInstructions& Node) override;
  // Instructions, then the program into FittestIndividual's DNA (nothing without one).
  void SaveToXML(const IXMLGPDomainType& Node) override;
  void SaveToXML(const IXMLGeneticProgram& Node) override;
  void SaveToXML(const IXMLGPInstructions& Node) override;
  // A GeneticProgram document holding the domain; the file is written indented and
  // replaced only once complete (EFCreateError otherwise, the old file kept), the stream
  // without indentation.
  void SaveToFile(const std::string& FileName) override;
  void SaveToStream(TStream& Stream) override;
  // Parse errors and a root other than GeneticProgram raise EXMLDocError, nothing changed.
  void LoadFromFile(const std::string& FileName) override;
  void LoadFromStream(TStream& Stream) override;

 protected:
  // Replaces the instruction set by an empty one from CreateInstructions(ItemClass) (the
  // program goes), for the constructors of descendants that override CreateInstructions.
  void RecreateInstructions(TCollectionItemClass ItemClass);
  // The published properties of the executors after the inherited ones: Instructions and
  // GPProgramLines.
  void DeclareExecutorProperties(TPropertyRegistry& Reg);

 private:
  // Takes Program (may be null) as the program; the text is emptied unless KeepLines.
  void ReplaceProgram(TNode* Program, bool KeepLines = false);
  // A copy of Source for Assign, whose instructions the set holds under the same names.
  void CopyProgram(const TNode* Source);
  // LoadFromXML(GPDomain) on a domain element (null: an empty one), keeping the text when
  // it is the source (Parse).
  void LoadDomain(const TXMLNode& Domain, bool KeepLines);

  std::unique_ptr<TInstructions> FInstructions;
  std::unique_ptr<TNode> FGPProgram;  // after the set: its nodes refer to the instructions
  TStringList FGPProgramLines;
};

}  // namespace evokit

#include <evokit/gp/executor.impl.h>
