// Shared fixtures of the GP representation tests: a small engine (the GP component and
// the executor come later) that records what its instruction set tells it, and a
// builder that turns prefix text into a tree.
#pragma once

#include <evokit/gp/float_variant_classes.h>
#include <evokit/gp/engine.h>
#include <evokit/platform/component.h>
#include <evokit/platform/convert.h>

#include <cctype>
#include <climits>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace gptest {

using namespace evokit;

// An engine over double that owns a float instruction set, creates float (or binary
// float) nodes and logs every notification as "<what>:<instruction name>".
class TTestEngine : public TComponent, public IMXGeneticProgramEngine<double> {
 public:
  explicit TTestEngine(int MaxArity = INT_MAX, bool Binary = false)
      : TComponent(nullptr), FMaxArity(MaxArity), FBinary(Binary) {
    FInstructions = CreateInstructions(TCollectionItemClass::Of<TMXGPFloatInstruction>());
  }
  ~TTestEngine() override { delete FInstructions; }

  std::string ClassName() const override { return "TTestEngine"; }

  std::vector<std::string> Log;
  int NodesCreated = 0;

  TMXGPInstructions<double>* CreateInstructions(TCollectionItemClass ItemClass) override {
    return new TMXGPFloatInstructions(this, ItemClass);
  }
  TMXGPNode<double>* CreateNode(TMXGPInstruction<double>* Instruction, TMXGPNode<double>* Parent) override {
    ++NodesCreated;
    if (FBinary) return new TMXGPBinaryFloatNode(Instruction, Parent);
    return new TMXGPFloatNode(Instruction, Parent);
  }
  int MaxNodeArity() override { return FMaxArity; }
  void InstructionUpdate(TMXGPInstruction<double>* Instruction) override {
    Log.push_back("update:" + (Instruction ? Instruction->Name() : std::string("*")));
  }
  void InstructionNotify(TMXGPInstruction<double>* Instruction, TCollectionNotification Action) override {
    Log.push_back(EnumName(Action) + ":" + Instruction->Name());
  }
  void InstructionOperationUpdate(TMXGPInstruction<double>* Instruction) override {
    Log.push_back("operation:" + Instruction->Name());
  }
  TMXGPInstructions<double>* GetInstructions() override { return FInstructions; }
  void SetInstructions(const TMXGPInstructions<double>* Value) override { FInstructions->Assign(Value); }

  void LoadFromFile(const std::string&) override { Unsupported(); }
  void LoadFromStream(TStream&) override { Unsupported(); }
  void LoadFromXML(const IXMLGeneticProgram&) override { Unsupported(); }
  void LoadFromXML(const IXMLGPDomainType& Node) override { FInstructions->LoadFromXML(Node.Get_Instructions()); }
  void LoadFromXML(const IXMLGPInstructions& Node) override { FInstructions->LoadFromXML(Node); }
  void SaveToFile(const std::string&) override { Unsupported(); }
  void SaveToStream(TStream&) override { Unsupported(); }
  void SaveToXML(const IXMLGeneticProgram&) override { Unsupported(); }
  void SaveToXML(const IXMLGPDomainType& Node) override { FInstructions->SaveToXML(Node.Get_Instructions()); }
  void SaveToXML(const IXMLGPInstructions& Node) override { FInstructions->SaveToXML(Node); }

  void DeclareProperties(TPropertyRegistry& Reg) override {
    TComponent::DeclareProperties(Reg);
    Reg.Collection("Instructions", &TTestEngine::GetInstructions);
  }

  // Adds an instruction; Arity > 0 makes a function.
  TMXGPInstruction<double>* Add(const std::string& Name, TGPGeneticInstruction Operation, int Arity = 0,
                                double Value = 0) {
    TMXGPInstruction<double>* item = FInstructions->Add();
    item->SetName(Name);
    item->SetOperation(Operation);
    item->SetArity(Arity);
    item->SetValue(Value);
    return item;
  }

 private:
  [[noreturn]] static void Unsupported() { throw std::logic_error("not used by these tests"); }
  TMXGPInstructions<double>* FInstructions = nullptr;
  int FMaxArity;
  bool FBinary;
};

// Arithmetic handlers over double: the children are evaluated by the handler.
inline void AddHandler(TObject*, TMXGPNode<double>* Node, TMXGPContext<double>* Context, double& Result) {
  Result = Node->GetChild(0)->Execute(Context) + Node->GetChild(1)->Execute(Context);
}
inline void SubHandler(TObject*, TMXGPNode<double>* Node, TMXGPContext<double>* Context, double& Result) {
  Result = Node->GetChild(0)->Execute(Context) - Node->GetChild(1)->Execute(Context);
}
inline void MulHandler(TObject*, TMXGPNode<double>* Node, TMXGPContext<double>* Context, double& Result) {
  Result = Node->GetChild(0)->Execute(Context) * Node->GetChild(1)->Execute(Context);
}
// Protected division: 1 when the divisor is 0.
inline void DivHandler(TObject*, TMXGPNode<double>* Node, TMXGPContext<double>* Context, double& Result) {
  const double a = Node->GetChild(0)->Execute(Context);
  const double b = Node->GetChild(1)->Execute(Context);
  Result = b == 0 ? 1.0 : a / b;
}

// The usual arithmetic set: Add, Sub, Mul, Div (arity 2), variables x and y, constant c.
inline void AddArithmetic(TTestEngine& Engine) {
  Engine.Add("Add", gpFunction, 2)->SetOnExecute(AddHandler);
  Engine.Add("Sub", gpFunction, 2)->SetOnExecute(SubHandler);
  Engine.Add("Mul", gpFunction, 2)->SetOnExecute(MulHandler);
  Engine.Add("Div", gpFunction, 2)->SetOnExecute(DivHandler);
  Engine.Add("x", gpVariable);
  Engine.Add("y", gpVariable);
  Engine.Add("c", gpConstant, 0, 1.0);
}

// Builds a tree from prefix text: "(Add x (Mul c:2.5 y))". A token is an instruction
// name; "name:value" gives a node its own value. Nodes are made by Root's class (or
// TMXGPFloatNode for the root), so an engine's set makes engine nodes.
template <class TNodeClass = TMXGPFloatNode>
TMXGPNode<double>* BuildTree(TMXGPInstructions<double>& Set, std::string_view Text) {
  std::size_t pos = 0;
  auto skip = [&] {
    while (pos < Text.size() && Text[pos] == ' ') ++pos;
  };
  auto token = [&] {
    skip();
    const std::size_t start = pos;
    while (pos < Text.size() && Text[pos] != ' ' && Text[pos] != '(' && Text[pos] != ')') ++pos;
    return std::string(Text.substr(start, pos - start));
  };
  auto make = [&](const std::string& Token, TMXGPNode<double>* Parent) {
    const std::size_t colon = Token.find(':');
    TMXGPInstruction<double>* instruction = Set.GetItemByName(Token.substr(0, colon));
    TMXGPNode<double>* node =
        Parent ? Parent->CreateNode(instruction, Parent) : static_cast<TMXGPNode<double>*>(new TNodeClass(instruction));
    if (colon != std::string::npos) node->SetValue(StrToFloat(Token.substr(colon + 1)));
    return node;
  };
  TMXGPNode<double>* root = nullptr;
  std::vector<TMXGPNode<double>*> open;  // nodes whose children are being read
  for (;;) {
    skip();
    if (pos >= Text.size()) break;
    if (Text[pos] == ')') {
      ++pos;
      open.pop_back();
      continue;
    }
    const bool bracket = Text[pos] == '(';
    if (bracket) ++pos;
    TMXGPNode<double>* node = make(token(), open.empty() ? nullptr : open.back());
    if (!root) root = node;
    if (bracket) open.push_back(node);
  }
  return root;
}

}  // namespace gptest
