// The GP domain documents: instruction sets and program trees saved into GPDomain and
// loaded back (exact text, save-load-save over random programs), the merge rules of
// loading an instruction set, variant values, and bad documents.
#include "gp_test_support.h"

#include <evokit/platform/random.h>

#include <gtest/gtest.h>

using namespace evokit;
using namespace gptest;

namespace {

void LoadDna(TMXGPNode<double>& Node, const std::string& Text) {
  TXMLDocument doc = LoadXMLData(Text);
  Node.LoadFromXML(IXMLDnaType(doc.DocumentElement()));
}

}  // namespace

TEST(GPDomainXML, GoldenDocument) {
  TTestEngine engine;
  engine.Add("Add", gpFunction, 2)->SetComment("sum");
  engine.Add("x", gpVariable);
  engine.Add("c", gpConstant, 0, 1.5);
  engine.GetInstructions()->Add();  // unnamed: saved under its class name, loaded back unnamed
  std::vector<TTree> programs;
  for (const char* text : {"(Add x (Add c:-0.125 c))", "x"}) programs.emplace_back(BuildTree(*engine.GetInstructions(), text));
  const std::string text = SaveDomain(engine, programs);
  TTestEngine target;
  LoadDomain(target, text);
  EXPECT_EQ(target.GetInstructions()->Items(2)->Name(), "");
  EXPECT_EQ(text,
            "<?xml version=\"1.0\"?>\n<GPDomain><Instructions><Function Name=\"Add\" Comment=\"sum\" Arity=\"2\"/>"
            "<Variable Name=\"x\" Comment=\"\"/><Constant Name=\"c\" Comment=\"\"><Value>1.5</Value></Constant>"
            "<Variable Name=\"TMXGPFloatInstruction\" Comment=\"\"/>"
            "</Instructions><FittestIndividual><Name>p0</Name><Fitness>0</Fitness><DNA Instruction=\"Add\">"
            "<Child Instruction=\"x\"/><Child Instruction=\"Add\"><Child Instruction=\"c\"><Value>-0.125</Value></Child>"
            "<Child Instruction=\"c\"><Value>1.5</Value></Child></Child></DNA></FittestIndividual>"
            "<Population><Individual><Name>p1</Name><Fitness>0.25</Fitness><DNA Instruction=\"x\"/></Individual>"
            "</Population></GPDomain>\n");
}

// Random programs over a set with random comments and constants, saved, loaded into a
// fresh engine of either node class and saved again: the same text.
TEST(GPDomainXML, SaveLoadSaveOverRandomPrograms) {
  for (int seed = 1; seed <= 10; ++seed) {
    SCOPED_TRACE(seed);
    RandSeed(seed);
    TTestEngine source(INT_MAX, seed % 2), target(2, seed % 3 == 0);
    AddArithmetic(source);
    for (int i = 0; i < source.GetInstructions()->Count(); ++i)
      if (Random(2)) source.GetInstructions()->Items(i)->SetComment("note " + std::to_string(Random(100)));
    source.GetInstructions()->Items(6)->SetValue(static_cast<double>(Random(100)) / 8);
    for (int k = static_cast<int>(Random(3)); k > 0; --k) source.Add(Cat("k", std::to_string(k)), gpConstant, 0, -k * 0.5);
    std::vector<TTree> programs;
    for (int p = static_cast<int>(Random(4)); p >= 0; --p) programs.emplace_back(RandomTree(source, static_cast<int>(Random(6))));
    const std::string text = SaveDomain(source, programs);
    EXPECT_EQ(SaveDomain(target, LoadDomain(target, text)), text);
  }
}

// Loading a set updates the instructions it names in place (keeping their handlers), adds
// the others and deletes the ones it does not name; functions are read first, then
// variables and constants, and a later duplicate wins. The element kind sets the
// operation: a function turned into a terminal goes through SetOperation (its arity drops
// and the engine hears of it), other kind changes are stored silently, and a Function
// sets its arity through SetArity. Only Constant and FloatConstant values are read, and
// only when they are numbers.
TEST(GPDomainXML, LoadingMergesInstructionSets) {
  TTestEngine engine;
  for (const char* name : {"a", "b", "c"}) engine.Add(name, gpVariable);
  engine.Add("k", gpConstant, 0, 7);
  engine.Add("f", gpFunction, 3);
  TMXGPInstruction<double>* b = engine.GetInstructions()->Items(1);
  b->SetOnInitialize([](TObject*) {});
  const struct {
    const char* Elements;
    std::vector<std::string> Set, Log;
  } steps[] = {
      {"<Variable Name=\"B\" Comment=\"kept\"/><Variable Name=\"d\"/><FloatConstant Name=\"k\"><Value>0.25</Value>"
       "</FloatConstant><VariantConstant Name=\"v\"><Value>9</Value></VariantConstant><Variable Name=\"f\"/>",
       {"B 'kept' gpVariable/0 0", "k '' gpConstant/0 0.25", "f '' gpVariable/0 0", "d '' gpVariable/0 0",
        "v '' gpConstant/0 0"},
       {"cnAdded:", "update:*", "update:f", "operation:f", "update:f", "cnAdded:", "update:*", "cnDeleting:c",
        "cnExtracting:c", "update:*", "cnDeleting:a", "cnExtracting:a", "update:*"}},
      {"<Variable Name=\"x\"/><Constant Name=\"k\"><Value>4</Value></Constant><Function Name=\"v\" Arity=\"0\"/>"
       "<Function Name=\"g\" Arity=\"2\"/><Constant Name=\"f\"><Value>abc</Value></Constant><Constant Name=\"K\">"
       "<Value>5</Value></Constant>",
       {"K '' gpConstant/0 5", "f '' gpConstant/0 0", "v '' gpFunction/0 0", "g '' gpFunction/2 0", "x '' gpVariable/0 0"},
       {"cnAdded:", "update:*", "operation:g", "update:g", "update:g", "cnAdded:", "update:*", "cnDeleting:d",
        "cnExtracting:d", "update:*", "cnDeleting:B", "cnExtracting:B", "update:*"}},
  };
  for (const auto& step : steps) {
    engine.Log.clear();
    TXMLDocument doc = LoadXMLData(std::string("<Instructions>") + step.Elements + "</Instructions>");
    engine.LoadFromXML(GetGPInstructions(doc));
    std::vector<std::string> set;
    for (int i = 0; i < engine.GetInstructions()->Count(); ++i)
      set.push_back(Kind(engine.GetInstructions()->Items(i)) + " " + FloatToStr(engine.GetInstructions()->Items(i)->Value()));
    EXPECT_EQ(set, step.Set);
    EXPECT_EQ(engine.Log, step.Log);
    EXPECT_TRUE(&step != &steps[0] || (engine.GetInstructions()->Items(0) == b && b->OnInitialize()));
  }
}

// Variant constants are read as strings; a node's value is written as a float (so a value
// that is no number cannot be written), an instruction's as its string.
TEST(GPDomainXML, VariantValues) {
  TXMLDocument doc = LoadXMLData(
      "<?xml version=\"1.0\"?><GPDomain><Instructions><Function Name=\"Add\" Comment=\"\" Arity=\"2\"/>"
      "<Variable Name=\"s\" Comment=\"\"/><Constant Name=\"k\" Comment=\"\"><Value>2.50</Value></Constant></Instructions>"
      "<FittestIndividual><DNA Instruction=\"Add\"><Child Instruction=\"k\"><Value>12.50</Value></Child>"
      "<Child Instruction=\"s\"/></DNA></FittestIndividual></GPDomain>");
  TMXGPVariantInstructions set(nullptr);
  set.LoadFromXML(GetGPDomain(doc).Get_Instructions());
  TMXGPVariantNode root(set.Items(0));
  root.LoadFromXML(GetGPDomain(doc).Get_FittestIndividual().Get_DNA());
  EXPECT_EQ(root.ToString() + VarToStr(set.Items(2)->Value()), "(Add 12.50 s)2.50");
  auto out = NewGPDomain();
  set.SaveToXML(out->Get_Instructions()), root.SaveToXML(out->Get_FittestIndividual().Get_DNA());
  EXPECT_EQ(out.Document().XML(), doc.XML().replace(doc.XML().find("12.50"), 5, "12.5"));
  root.GetChild(0)->SetValue(Variant("abc"));
  EXPECT_THROW(root.SaveToXML(out->Get_FittestIndividual().Get_DNA()), EVariantTypeCastError);
}

TEST(GPDomainXML, BadDocumentsRaiseTheirErrors) {
  TTestEngine engine;
  AddArithmetic(engine);
  TTree root(BuildTree(*engine.GetInstructions(), "(Mul x y)"));
  // Program trees: an unknown name at the root changes nothing; below the root the nodes
  // loaded so far stay (the failing child keeps its parent's instruction).
  EXPECT_THROW(LoadDna(*root, "<DNA Instruction=\"Pow\"/>"), EGPException);
  EXPECT_THROW(LoadDna(*root, "<DNA/>"), EGPException);
  EXPECT_EQ(root->ToString(), "(Mul x y)");
  EXPECT_THROW(LoadDna(*root, "<DNA Instruction=\"add\"><Child Instruction=\"X\"/><Child Instruction=\"Pow\"/>"
                              "<Child Instruction=\"y\"/></DNA>"),
               EGPException);
  EXPECT_EQ(root->ToString(), "(Add x Add)");
  LoadDna(*root, "<DNA Instruction=\"x\"><Value>5</Value></DNA>");  // a one-node program; a variable's value is ignored
  EXPECT_EQ(root->ToString() + std::to_string(root->Size()), "x1");
  TMXGPFloatNode empty;  // a node without instruction is cleared and loads nothing
  new TMXGPFloatNode(engine.GetInstructions()->Items(4), &empty);
  LoadDna(empty, "<DNA Instruction=\"Add\"><Child Instruction=\"x\"/></DNA>");
  EXPECT_EQ(empty.ToString(), "nil");

  // Instruction elements: another element, or a bad arity, is refused before anything changes.
  auto* k = engine.GetInstructions()->Items(6);
  TXMLDocument bad = LoadXMLData("<Instructions><Foo Name=\"r\"/><Function Name=\"r\" Arity=\"two\"/></Instructions>");
  EXPECT_THROW(k->LoadFromXML(IXMLInstructionType(bad.DocumentElement().FindChild("Foo"))), EXMLDocError);
  EXPECT_THROW(k->LoadFromXML(IXMLInstructionType(bad.DocumentElement().FindChild("Function"))), EConvertError);
  EXPECT_EQ(k->ToString(), "c '' gpConstant");
  // A name that is not UTF-8 is refused before its element is made: none is left behind.
  auto out = NewGPDomain();
  EXPECT_THROW(out->Get_FittestIndividual().Set_Name("p\xC3"), EXMLDocError);
  EXPECT_EQ(out->Get_FittestIndividual().XML(), "<FittestIndividual/>");
}
