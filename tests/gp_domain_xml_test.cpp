// The GP domain documents: the element layer and document functions, and instruction
// sets and program trees saved into them and loaded back.
#include "gp_test_support.h"

#include <evokit/gp/float_variant_classes.h>
#include <evokit/gp/gp_document.h>
#include <evokit/platform/random.h>
#include <evokit/platform/xml.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

using namespace evokit;
using gptest::BuildTree;
using gptest::TTestEngine;

namespace {

// A document parsed from Text with its root bound as GPDomain.
struct TParsedDomain {
  TXMLDocument Doc;
  IXMLGPDomainType Root;
  explicit TParsedDomain(const std::string& Text) : Doc(LoadXMLData(Text)), Root(GetGPDomain(Doc)) {}
};

// Loads Text (an Instructions document) into Engine's set.
void LoadInstructions(TTestEngine& Engine, const std::string& Text) {
  TXMLDocument doc = LoadXMLData(Text);
  Engine.LoadFromXML(GetGPInstructions(doc));
}

std::vector<std::string> Names(TMXGPInstructions<double>& Set) {
  std::vector<std::string> names;
  for (int i = 0; i < Set.Count(); ++i) names.push_back(Set.Items(i)->Name());
  return names;
}

}  // namespace

TEST(GPDomainXML, InstructionsAndTreeRoundTrip) {
  TTestEngine source;
  gptest::AddArithmetic(source);
  source.GetInstructions()->GetItemByName("Mul")->SetComment("product");
  std::unique_ptr<TMXGPNode<double>> tree(
      BuildTree(*source.GetInstructions(), "(Add x (Mul c:2.5 (Div y c:-0.125)))"));

  auto doc = NewGPDomain();
  EXPECT_EQ(doc.Document().Version(), "1.0");
  source.SaveToXML(doc.Root());
  IXMLIndividualType fittest = doc->Get_FittestIndividual();
  fittest.Set_Name("best");
  fittest.Set_Fitness(0.1f);
  tree->SaveToXML(fittest.Get_DNA());
  const std::string text = doc.Document().XML();
  EXPECT_NE(text.find("<Function Name=\"Mul\" Comment=\"product\" Arity=\"2\""), std::string::npos) << text;
  EXPECT_NE(text.find("<DNA Instruction=\"Add\">"), std::string::npos) << text;
  EXPECT_NE(text.find("<Value>-0.125</Value>"), std::string::npos) << text;

  TParsedDomain parsed(text);
  TTestEngine target;
  target.LoadFromXML(parsed.Root);
  auto& set = *target.GetInstructions();
  EXPECT_EQ(Names(set), (std::vector<std::string>{"Add", "Sub", "Mul", "Div", "x", "y", "c"}));
  EXPECT_EQ(set.Items(2)->ToString(), "Mul 'product' gpFunction");
  EXPECT_EQ(set.Items(3)->Arity(), 2);
  EXPECT_EQ(set.Items(5)->Operation(), gpVariable);
  EXPECT_EQ(set.Items(6)->Operation(), gpConstant);
  EXPECT_EQ(set.Items(6)->Value(), 1.0);

  IXMLIndividualType loaded = parsed.Root.Get_FittestIndividual();
  EXPECT_EQ(loaded.Get_Name(), "best");
  EXPECT_EQ(loaded.Get_Fitness(), 0.1f);
  TMXGPFloatNode root(set.Items(0));
  root.LoadFromXML(loaded.Get_DNA());
  EXPECT_EQ(root.ToString(), tree->ToString());
  EXPECT_EQ(root.Size(), 7);

  // Handlers are not in the document: attached again, the program computes the same.
  for (int i = 0; i < 4; ++i) set.Items(i)->AssignEvents(source.GetInstructions()->Items(i));
  TMXGPContext<double> context;
  context.Values()->Add("x", 3);
  context.Values()->Add("y", 0.5);
  EXPECT_EQ(root.Execute(&context), tree->Execute(&context));
  EXPECT_EQ(root.Execute(&context), 3 + 2.5 * (0.5 / -0.125));
}

TEST(GPDomainXML, MergeLoadKeepsNamedInstructions) {
  TTestEngine engine;
  engine.Add("a", gpVariable);
  auto* b = engine.Add("b", gpVariable);
  engine.Add("c", gpVariable);
  b->SetOnInitialize([](TObject*) {});
  engine.Log.clear();
  LoadInstructions(engine,
                   "<Instructions><Variable Name=\"B\" Comment=\"kept\"/><Variable Name=\"d\"/></Instructions>");
  auto& set = *engine.GetInstructions();
  ASSERT_EQ(Names(set), (std::vector<std::string>{"B", "d"}));
  EXPECT_EQ(set.Items(0), b);  // updated in place, handler kept
  EXPECT_TRUE(b->OnInitialize());
  EXPECT_EQ(b->Comment(), "kept");
  EXPECT_EQ(engine.Log, (std::vector<std::string>{"cnAdded:", "update:*", "cnDeleting:c", "cnExtracting:c",
                                                   "update:*", "cnDeleting:a", "cnExtracting:a", "update:*"}));

  // Functions are read first, then variables and constants; a later duplicate wins.
  LoadInstructions(engine,
                   "<Instructions><Variable Name=\"x\"/><Constant Name=\"k\"><Value>4</Value></Constant>"
                   "<Function Name=\"f\" Arity=\"2\"/><Constant Name=\"K\"><Value>5</Value></Constant>"
                   "</Instructions>");
  EXPECT_EQ(Names(set), (std::vector<std::string>{"f", "x", "K"}));
  EXPECT_EQ(set.Items(0)->Arity(), 2);
  EXPECT_EQ(set.Items(2)->Value(), 5.0);
}

TEST(GPDomainXML, InstructionValuesAndKinds) {
  TTestEngine engine;
  auto* k = engine.Add("k", gpConstant, 0, 7);
  auto* f = engine.Add("f", gpFunction, 3);
  engine.Log.clear();
  LoadInstructions(engine,
                   "<Instructions><FloatConstant Name=\"k\"><Value>0.25</Value></FloatConstant>"
                   "<VariantConstant Name=\"v\"><Value>9</Value></VariantConstant>"
                   "<Variable Name=\"f\"/></Instructions>");
  EXPECT_EQ(k->Value(), 0.25);
  auto* v = engine.GetInstructions()->GetItemByName("v");
  EXPECT_EQ(v->Operation(), gpConstant);
  EXPECT_EQ(v->Value(), 0.0);  // a VariantConstant's value is not read
  // A function turned into a variable loses its arity, and the engine hears of it.
  EXPECT_EQ(f->Operation(), gpVariable);
  EXPECT_EQ(f->Arity(), 0);
  // The new v becomes a constant without a kind notification: only its addition is heard.
  EXPECT_EQ(engine.Log, (std::vector<std::string>{"update:f", "operation:f", "update:f", "cnAdded:", "update:*"}));

  // Kind changes that involve no function arity are stored silently; a Function element
  // sets its arity through SetArity (notified only when the arity changes).
  engine.Log.clear();
  LoadInstructions(engine,
                   "<Instructions><Function Name=\"v\" Arity=\"0\"/><Function Name=\"g\" Arity=\"2\"/>"
                   "<Constant Name=\"f\"><Value>1</Value></Constant>"
                   "<Variable Name=\"k\"/></Instructions>");
  EXPECT_EQ(v->Operation(), gpFunction);
  EXPECT_EQ(v->Arity(), 0);
  EXPECT_EQ(f->Operation(), gpConstant);
  EXPECT_EQ(k->Operation(), gpVariable);
  EXPECT_EQ(engine.Log, (std::vector<std::string>{"cnAdded:", "update:*", "operation:g", "update:g", "update:g"}));

  // Text that is no float leaves the value alone.
  LoadInstructions(engine, "<Instructions><Constant Name=\"k\"><Value>abc</Value></Constant></Instructions>");
  EXPECT_EQ(k->Value(), 0.25);

  // Saved as a Constant element; an arity above 255 keeps its low 8 bits.
  auto* wide = engine.Add("wide", gpFunction, 300);
  auto doc = NewGPInstructions();
  engine.SaveToXML(doc.Root());
  EXPECT_EQ(doc->Get_FloatConstant().Count(), 0);
  ASSERT_EQ(doc->Get_Constant().Count(), 1);
  EXPECT_EQ(doc->Get_Constant().Items(0).Get_Value(), "0.25");
  ASSERT_EQ(doc->Get_Function_().Count(), 1);
  EXPECT_EQ(doc->Get_Function_().Items(0).Get_Arity(), 300 % 256);
  EXPECT_EQ(wide->Arity(), 300);

  // An element of another kind is refused before anything changes.
  auto other = NewGPInstructions();
  TXMLNode foo = other.Root().Node().AddChild("Foo");
  foo.SetAttribute("Name", "renamed");
  EXPECT_THROW(k->LoadFromXML(IXMLInstructionType(foo)), EXMLDocError);
  EXPECT_EQ(k->Name(), "k");
  // A bad arity text is a conversion error, also before anything changes.
  TXMLNode bad = other.Root().Node().AddChild("Function");
  bad.SetAttribute("Name", "renamed");
  bad.SetAttribute("Arity", "two");
  EXPECT_THROW(k->LoadFromXML(IXMLInstructionType(bad)), EConvertError);
  EXPECT_EQ(k->Operation(), gpConstant);
}

TEST(GPDomainXML, UnnamedInstructionsRoundTripUnderTheirClassName) {
  TTestEngine engine;
  engine.GetInstructions()->Add();
  auto doc = NewGPInstructions();
  engine.SaveToXML(doc.Root());
  EXPECT_EQ(doc->Get_Variable().Items(0).Get_Name(), "TMXGPFloatInstruction");
  TTestEngine target;
  target.LoadFromXML(doc.Root());
  ASSERT_EQ(target.GetInstructions()->Count(), 1);
  EXPECT_EQ(target.GetInstructions()->Items(0)->Name(), "");
}

TEST(GPDomainXML, TreeLoadingErrorsAndEdgeCases) {
  TTestEngine engine;
  gptest::AddArithmetic(engine);
  auto& set = *engine.GetInstructions();
  std::unique_ptr<TMXGPNode<double>> root(BuildTree(set, "(Mul x y)"));

  auto load = [&](TMXGPNode<double>& Node, const std::string& Dna) {
    TXMLDocument doc = LoadXMLData(Dna);
    Node.LoadFromXML(IXMLDnaType(doc.DocumentElement()));
  };
  // An unknown name at the root changes nothing.
  try {
    load(*root, "<DNA Instruction=\"Pow\"/>");
    FAIL();
  } catch (const EGPException& e) {
    EXPECT_STREQ(e.what(), "Unknown instruction \"Pow\"");
  }
  EXPECT_EQ(root->ToString(), "(Mul x y)");
  // Below the root, the nodes loaded so far stay; the failing child keeps its parent's
  // instruction.
  EXPECT_THROW(load(*root, "<DNA Instruction=\"add\"><Child Instruction=\"X\"/><Child Instruction=\"Pow\"/>"
                           "<Child Instruction=\"y\"/></DNA>"),
               EGPException);
  EXPECT_EQ(root->ToString(), "(Add x Add)");
  // Bad float text in a constant node.
  EXPECT_THROW(load(*root, "<DNA Instruction=\"c\"><Value>abc</Value></DNA>"), EConvertError);
  // A DNA element without children is a one-node program; a variable's Value is ignored.
  load(*root, "<DNA Instruction=\"x\"><Value>5</Value></DNA>");
  EXPECT_EQ(root->ToString(), "x");
  EXPECT_EQ(root->Size(), 1);
  // A node without instruction is cleared and loads nothing below it.
  TMXGPFloatNode empty;
  new TMXGPFloatNode(set.Items(4), &empty);
  load(empty, "<DNA Instruction=\"Add\"><Child Instruction=\"x\"/></DNA>");
  EXPECT_EQ(empty.ToString(), "nil");
  // Children are created by the engine and hold their own values.
  engine.NodesCreated = 0;
  load(*root, "<DNA Instruction=\"Sub\"><Child Instruction=\"c\"><Value>1E-5</Value></Child><Child Instruction=\"y\"/></DNA>");
  EXPECT_EQ(engine.NodesCreated, 2);
  EXPECT_EQ(root->GetChild(0)->Value(), 1e-5);
  EXPECT_EQ(root->ToString(), "(Sub 1E-5 y)");

  // A GPDomain without FittestIndividual yields an empty one whose DNA names nothing.
  TParsedDomain domain("<GPDomain><Instructions/></GPDomain>");
  IXMLDnaType dna = domain.Root.Get_FittestIndividual().Get_DNA();
  EXPECT_EQ(dna.Get_Instruction(), "");
  try {
    root->LoadFromXML(dna);
    FAIL();
  } catch (const EGPException& e) {
    EXPECT_STREQ(e.what(), "Unknown instruction \"\"");
  }
}

TEST(GPDomainXML, PopulationAndDocumentFunctions) {
  TTestEngine engine;
  gptest::AddArithmetic(engine);
  auto doc = NewGPPopulation();
  IXMLGPPopulation population = doc.Root();
  const std::vector<std::string> programs{"(Add x y)", "(Mul c:3 x)", "y"};
  const std::vector<std::string> printed{"(Add x y)", "(Mul 3 x)", "y"};
  for (const std::string& program : programs) {
    IXMLIndividualType individual = population.Add();
    individual.Set_Name(program);
    individual.Set_Fitness(static_cast<float>(program.size()) / 3);
    std::unique_ptr<TMXGPNode<double>> tree(BuildTree(*engine.GetInstructions(), program));
    tree->SaveToXML(individual.Get_DNA());
  }
  population.Insert(0).Set_Name("first");
  const std::string file = ::testing::TempDir() + "gp_population_test.xml";
  doc.Document().SetOptions({doNodeAutoIndent});
  doc.Document().SaveToFile(file);

  auto loaded = LoadGPPopulation(file);
  std::remove(file.c_str());
  IXMLGPPopulation read = loaded.Root();
  ASSERT_EQ(read.Count(), 4);
  EXPECT_EQ(read.Get_Individual(0).Get_Name(), "first");
  EXPECT_EQ(read.Get_Individual(0).Get_Fitness(), 0.0f);
  for (int i = 0; i < 3; ++i) {
    IXMLIndividualType individual = read.Get_Individual(i + 1);
    EXPECT_EQ(individual.Get_Name(), programs[static_cast<std::size_t>(i)]);
    EXPECT_EQ(individual.Get_Fitness(), static_cast<float>(programs[static_cast<std::size_t>(i)].size()) / 3);
    TMXGPFloatNode root(engine.GetInstructions()->Items(0));
    root.LoadFromXML(individual.Get_DNA());
    EXPECT_EQ(root.ToString(), printed[static_cast<std::size_t>(i)]);
  }

  // Roots are bound by name.
  EXPECT_THROW(GetGPInstructions(loaded.Document()), EXMLDocError);
  EXPECT_THROW(LoadGPDomain(file), EFOpenError);
  auto domain = NewGPDomain();
  EXPECT_EQ(domain.Root().NodeName(), "GPDomain");
  EXPECT_EQ(domain->Get_Population().Count(), 0);
  EXPECT_EQ(domain->Get_Instructions().NodeName(), "Instructions");
  // Documents with a document type declaration are read.
  TXMLDocument dtd = LoadXMLData("<?xml version=\"1.0\"?><!DOCTYPE GPDomain><GPDomain/>");
  EXPECT_EQ(GetGPDomain(dtd).NodeName(), "GPDomain");
}

TEST(GPDomainXML, VariantValues) {
  TMXGPVariantInstructions set(nullptr);
  auto doc = LoadXMLData(
      "<Instructions><Function Name=\"Add\" Arity=\"2\"/>"
      "<Constant Name=\"k\"><Value>2.5</Value></Constant><Variable Name=\"s\"/></Instructions>");
  set.LoadFromXML(GetGPInstructions(doc));
  auto* k = set.GetItemByName("k");
  EXPECT_EQ(k->Value().VarType(), varString);
  EXPECT_EQ(k->Value().AsString(), "2.5");

  TMXGPVariantNode root(set.Items(0));
  auto dna = LoadXMLData("<DNA Instruction=\"Add\"><Child Instruction=\"k\"><Value>12.50</Value></Child>"
                         "<Child Instruction=\"s\"/></DNA>");
  root.LoadFromXML(IXMLDnaType(dna.DocumentElement()));
  EXPECT_EQ(root.GetChild(0)->Value().VarType(), varString);
  EXPECT_EQ(root.ToString(), "(Add 12.50 s)");
  auto out = NewGPDomain();
  root.SaveToXML(out->Get_FittestIndividual().Get_DNA());
  EXPECT_EQ(out->Get_FittestIndividual().Get_DNA().Get_Child().Items(0).Get_Value(), "12.5");
  auto instructions = NewGPInstructions();
  set.SaveToXML(instructions.Root());
  EXPECT_EQ(instructions->Get_Constant().Items(0).Get_Value(), "2.5");

  root.GetChild(0)->SetValue(Variant("abc"));
  EXPECT_THROW(root.SaveToXML(NewGPDomain()->Get_FittestIndividual().Get_DNA()), EVariantTypeCastError);
}

TEST(GPDomainXML, DeepChainSavesAndLoads) {
  constexpr int kDepth = 100000;
  TTestEngine engine;
  auto* neg = engine.Add("Neg", gpFunction, 1);
  engine.Add("c", gpConstant, 0, 0.5);
  auto root = std::make_unique<TMXGPFloatNode>(neg);
  TMXGPNode<double>* tip = root.get();
  for (int i = 1; i < kDepth; ++i) tip = engine.CreateNode(neg, tip);
  engine.CreateNode(engine.GetInstructions()->Items(1), tip);

  auto doc = NewGPDomain();
  engine.SaveToXML(doc.Root());
  root->SaveToXML(doc->Get_FittestIndividual().Get_DNA());
  doc.Document().SetOptions({doNodeAutoIndent});  // too deep to indent: written flat
  const std::string text = doc.Document().XML();

  TParsedDomain parsed(text);
  TTestEngine target;
  target.LoadFromXML(parsed.Root);
  TMXGPFloatNode loaded(target.GetInstructions()->Items(0));
  loaded.LoadFromXML(parsed.Root.Get_FittestIndividual().Get_DNA());
  EXPECT_EQ(loaded.Size(), kDepth + 1);
  EXPECT_EQ(loaded.Depth(), kDepth);
  EXPECT_EQ(loaded.ToString(), root->ToString());
}

TEST(GPDomainXML, MutatedDocumentsLoadOrRaise) {
  TTestEngine source;
  gptest::AddArithmetic(source);
  std::unique_ptr<TMXGPNode<double>> tree(BuildTree(*source.GetInstructions(), "(Add x (Mul c:2.5 (Div y c:4)))"));
  auto doc = NewGPDomain();
  source.SaveToXML(doc.Root());
  tree->SaveToXML(doc->Get_FittestIndividual().Get_DNA());
  const std::string valid = doc.Document().XML();
  const std::vector<std::string> fragments{"<", ">", "\"", "/", "<Child Instruction=\"Add\">", "</Child>",
                                           "Arity=\"999\"", "-", "e", "x", "<Value>", "&amp;", "Z", "\xC3"};

  RandSeed(2024);
  int loadedTrees = 0;
  for (int round = 0; round < 3000; ++round) {
    std::string text = valid;
    const int edits = 1 + static_cast<int>(Random(4));
    for (int e = 0; e < edits; ++e) {
      const auto at = static_cast<std::size_t>(Random(static_cast<std::int64_t>(text.size())));
      switch (Random(3)) {
        case 0: text.erase(at, 1 + static_cast<std::size_t>(Random(8))); break;
        case 1: text.insert(at, fragments[static_cast<std::size_t>(Random(static_cast<std::int64_t>(fragments.size())))]); break;
        default: text[at] = static_cast<char>(32 + Random(95)); break;
      }
    }
    try {
      TParsedDomain parsed(text);
      TTestEngine engine;
      engine.LoadFromXML(parsed.Root);
      TMXGPFloatNode root(engine.GetInstructions()->Count() > 0 ? engine.GetInstructions()->Items(0) : nullptr);
      root.LoadFromXML(parsed.Root.Get_FittestIndividual().Get_DNA());
      root.ToString();
      root.SaveToXML(NewGPDomain()->Get_FittestIndividual().Get_DNA());
      ++loadedTrees;
    } catch (const evokit::Exception&) {
      // Refused with one of the library's errors: fine.
    } catch (const std::exception& e) {
      ADD_FAILURE() << "foreign exception " << e.what() << " for\n" << text;
    }
  }
  EXPECT_GT(loadedTrees, 0);
}
