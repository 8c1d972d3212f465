// Shared fixtures of the GP representation tests: a small engine that records what its
// instruction set tells it, a builder that turns prefix text into a tree, and a maker of
// random arithmetic trees.
#pragma once

#include <evokit/gp/float_variant_programs.h>
#include <evokit/gp/gp_document.h>
#include <evokit/gp/primitives.h>
#include <evokit/platform/component.h>
#include <evokit/platform/random.h>

#include "concat.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace gptest {

using evokit::test::Cat;

using namespace evokit;

// An engine over double that owns a float instruction set, creates float (or binary
// float) nodes and logs every notification as "<what>:<instruction name>".
class TTestEngine : public TComponent, public IMXGeneticProgramEngine<double> {
 public:
  explicit TTestEngine(int MaxArity = INT_MAX, bool Binary = false)
      : TComponent(nullptr), FInstructions(new TMXGPFloatInstructions(this)), FMaxArity(MaxArity), FBinary(Binary) {}
  ~TTestEngine() override { delete FInstructions; }
  std::string ClassName() const override { return "TTestEngine"; }

  std::vector<std::string> Log;

  TMXGPInstructions<double>* CreateInstructions(TCollectionItemClass C) override { return new TMXGPFloatInstructions(this, C); }
  TMXGPNode<double>* CreateNode(TMXGPInstruction<double>* Instruction, TMXGPNode<double>* Parent) override {
    return FBinary ? static_cast<TMXGPNode<double>*>(new TMXGPBinaryFloatNode(Instruction, Parent))
                   : new TMXGPFloatNode(Instruction, Parent);
  }
  int MaxNodeArity() override { return FMaxArity; }
  void InstructionUpdate(TMXGPInstruction<double>* I) override { Log.push_back("update:" + (I ? I->Name() : "*")); }
  void InstructionNotify(TMXGPInstruction<double>* Instruction, TCollectionNotification Action) override {
    Log.push_back(EnumName(Action) + ":" + Instruction->Name());
  }
  void InstructionOperationUpdate(TMXGPInstruction<double>* I) override { Log.push_back("operation:" + I->Name()); }
  TMXGPInstructions<double>* GetInstructions() override { return FInstructions; }
  void SetInstructions(const TMXGPInstructions<double>* Value) override { FInstructions->Assign(Value); }

  void LoadFromFile(const std::string&) override { Unsupported(); }
  void SaveToFile(const std::string&) override { Unsupported(); }
  void LoadFromStream(TStream&) override { Unsupported(); }
  void SaveToStream(TStream&) override { Unsupported(); }
  void LoadFromXML(const IXMLGeneticProgram&) override { Unsupported(); }
  void SaveToXML(const IXMLGeneticProgram&) override { Unsupported(); }
  void LoadFromXML(const IXMLGPDomainType& Node) override { FInstructions->LoadFromXML(Node.Get_Instructions()); }
  void SaveToXML(const IXMLGPDomainType& Node) override { FInstructions->SaveToXML(Node.Get_Instructions()); }
  void LoadFromXML(const IXMLGPInstructions& Node) override { FInstructions->LoadFromXML(Node); }
  void SaveToXML(const IXMLGPInstructions& Node) override { FInstructions->SaveToXML(Node); }

  void DeclareProperties(TPropertyRegistry& Reg) override {
    TComponent::DeclareProperties(Reg);
    Reg.Collection("Instructions", &TTestEngine::GetInstructions);
  }

  // Adds an instruction; Arity > 0 makes a function.
  TMXGPInstruction<double>* Add(const std::string& Name, TGPGeneticInstruction Operation, int Arity = 0,
                                double Value = 0) {
    TMXGPInstruction<double>* item = FInstructions->Add();
    item->SetName(Name), item->SetOperation(Operation), item->SetArity(Arity), item->SetValue(Value);
    return item;
  }

 private:
  [[noreturn]] static void Unsupported() { throw std::logic_error("not used by these tests"); }
  TMXGPInstructions<double>* FInstructions = nullptr;
  int FMaxArity;
  bool FBinary;
};

// The usual arithmetic set: Add, Sub, Mul, Div (arity 2; Div is protected, 1 for a zero
// divisor), variables x and y, constant c (value 1). The handlers evaluate the children.
// Engine is any double engine with TTestEngine's Add.
template <class TEngine>
void AddArithmetic(TEngine& Engine) {
  for (const char* name : {"Add", "Sub", "Mul", "Div"})
    Engine.Add(name, gpFunction, 2)->SetOnExecute([](TObject*, TMXGPNode<double>* N, TMXGPContext<double>* C, double& R) {
      const double a = N->GetChild(0)->Execute(C), b = N->GetChild(1)->Execute(C);
      const char op = N->Instruction()->Name()[0];
      R = op == 'A' ? a + b : op == 'S' ? a - b : op == 'M' ? a * b : b == 0 ? 1.0 : a / b;
    });
  Engine.Add("x", gpVariable);
  Engine.Add("y", gpVariable);
  Engine.Add("c", gpConstant, 0, 1.0);
}

// Builds a tree from prefix text: "(Add x (Mul c:2.5 y))". A token is an instruction
// name; "name:value" gives a node its own value. The root is a TNodeClass; the other
// nodes are made by their parent (so an engine's set makes engine nodes).
template <class TNodeClass = TMXGPFloatNode>
TMXGPNode<double>* BuildTree(TMXGPInstructions<double>& Set, std::string_view Text) {
  TMXGPNode<double>* root = nullptr;
  std::vector<TMXGPNode<double>*> open;  // nodes whose children are being read
  for (std::size_t pos = Text.find_first_not_of(" )"); pos < Text.size(); pos = Text.find_first_not_of(" )", pos)) {
    const bool bracket = Text[pos] == '(';
    const std::size_t end = std::min(Text.find_first_of(" ()", pos + bracket), Text.size());
    const std::string token(Text.substr(pos + bracket, end - pos - bracket));
    const std::size_t colon = token.find(':');
    TMXGPInstruction<double>* instruction = Set.GetItemByName(token.substr(0, colon));
    TMXGPNode<double>* node = open.empty() ? new TNodeClass(instruction) : open.back()->CreateNode(instruction, open.back());
    if (colon != std::string::npos) node->SetValue(StrToFloat(token.substr(colon + 1)));
    root = root ? root : node;
    if (bracket) open.push_back(node);
    for (pos = end; pos < Text.size() && (Text[pos] == ' ' || Text[pos] == ')'); ++pos)
      if (Text[pos] == ')') open.pop_back();
  }
  return root;
}

// A random arithmetic tree over AddArithmetic's set, at most Depth deep, made by Engine;
// constants get small whole values.
inline TMXGPNode<double>* RandomTree(TTestEngine& Engine, int Depth, TMXGPNode<double>* Parent = nullptr) {
  TMXGPInstructions<double>& set = *Engine.GetInstructions();
  const bool leaf = Depth == 0 || (Parent && Random() < 0.3);
  TMXGPNode<double>* node =
      Engine.CreateNode(set.Items(leaf ? 4 + static_cast<int>(Random(3)) : static_cast<int>(Random(4))), Parent);
  if (node->Instruction()->Name() == "c") node->SetValue(static_cast<double>(Random(9)) - 4);
  for (int i = 0; i < (leaf ? 0 : 2); ++i) RandomTree(Engine, Depth - 1, node);
  return node;
}

using TTree = std::unique_ptr<TMXGPNode<double>>;

// Bitwise equality, so NaN equals NaN and 0 differs from -0.
inline bool SameBits(double A, double B) { return std::memcmp(&A, &B, sizeof A) == 0; }

// An engine holding every standard primitive, the variables named in Variables, and the
// constant c (value 1), in this order.
struct TPrimitiveSet : TTestEngine {
  explicit TPrimitiveSet(const std::string& Variables = "x y") {
    AddFloatPrimitives(*GetInstructions(), "add sub mul div min max neg abs square sqrt exp log sin cos tanh aq " + Variables);
    Add("c", gpConstant, 0, 1.0);
  }
  TMXGPInstruction<double>* Find(const char* Name) { return GetInstructions()->GetItemByName(Name); }
  TTree Build(std::string_view Text) { return TTree(BuildTree(*GetInstructions(), Text)); }
};

// A random tree over a TPrimitiveSet of two variables, at most Depth deep; each constant
// takes the value Constant() draws.
template <class F>
TMXGPNode<double>* RandomPrimitiveTree(TTestEngine& Engine, int Depth, F Constant, TMXGPNode<double>* Parent = nullptr) {
  TMXGPInstructions<double>& set = *Engine.GetInstructions();
  const int count = set.Count(), terminals = 3;
  const bool leaf = Depth == 0 || (Parent && Random() < 0.25);
  TMXGPInstruction<double>* instruction =
      set.Items(leaf ? count - terminals + static_cast<int>(Random(terminals)) : static_cast<int>(Random(count - terminals)));
  TMXGPNode<double>* node = Engine.CreateNode(instruction, Parent);
  if (instruction->Operation() == gpConstant) node->SetValue(Constant());
  for (int i = 0; i < instruction->Arity(); ++i) RandomPrimitiveTree(Engine, Depth - 1, Constant, node);
  return node;
}

// An instruction as "name 'comment' operation/arity".
inline std::string Kind(const TMXGPInstruction<double>* I) { return I->ToString() + "/" + std::to_string(I->Arity()); }

// A node's prefix text with its size and depth: "(Add x y) 3/1".
inline std::string Shape(const TMXGPNode<double>& Node) {
  return Cat(Node.ToString(), " ", std::to_string(Node.Size()), "/", std::to_string(Node.Depth()));
}

// A GPDomain document's text: Engine's instruction set and the programs, the first as
// the fittest individual and the others as the population.
inline std::string SaveDomain(TTestEngine& Engine, const std::vector<TTree>& Programs) {
  auto doc = NewGPDomain();
  Engine.SaveToXML(doc.Root());
  for (std::size_t i = 0; i < Programs.size(); ++i) {
    const IXMLIndividualType individual = i == 0 ? doc->Get_FittestIndividual() : doc->Get_Population().Add();
    individual.Set_Name(Cat("p", std::to_string(i)));
    individual.Set_Fitness(static_cast<float>(i) / 4);
    Programs[i]->SaveToXML(individual.Get_DNA());
  }
  return doc.Document().XML();
}

// Loads a GPDomain text into Engine's set and returns its programs, fittest first, as
// nodes of the engine's class.
inline std::vector<TTree> LoadDomain(TTestEngine& Engine, const std::string& Text) {
  TXMLDocument doc = LoadXMLData(Text);
  const IXMLGPDomainType domain = GetGPDomain(doc);
  Engine.LoadFromXML(domain);
  std::vector<TTree> trees;
  for (int i = -1; i < domain.Get_Population().Count(); ++i) {
    trees.emplace_back(Engine.CreateNode(Engine.GetInstructions()->Count() ? Engine.GetInstructions()->Items(0) : nullptr, nullptr));
    trees.back()->LoadFromXML(i < 0 ? domain.Get_FittestIndividual().Get_DNA() : domain.Get_Population().Get_Individual(i).Get_DNA());
  }
  return trees;
}

}  // namespace gptest
