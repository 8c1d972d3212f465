// Program representation: instructions and their sets, the variable table and context,
// tree and binary nodes, and the concrete float and variant classes.
#include "gp_test_support.h"

#include <evokit/gp/float_variant_classes.h>
#include <evokit/gp/engine.h>
#include <evokit/platform/parallel.h>
#include <evokit/platform/random.h>
#include <evokit/platform/strings.h>

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

using namespace evokit;
using gptest::BuildTree;
using gptest::TTestEngine;

namespace {

using Log = std::vector<std::string>;

// Expects the engine's log to be Expected, then clears it.
void ExpectLog(TTestEngine& Engine, const Log& Expected) {
  EXPECT_EQ(Engine.Log, Expected);
  Engine.Log.clear();
}

// Recursive reference computations for small trees.
int RefSize(const TMXGPNode<double>* Node) {
  int size = 1;
  for (int i = 0; i < Node->GetChildCount(); ++i) size += RefSize(Node->GetChild(i));
  return size;
}
int RefDepth(const TMXGPNode<double>* Node) {
  int depth = 0;
  for (int i = 0; i < Node->GetChildCount(); ++i) depth = std::max(depth, RefDepth(Node->GetChild(i)) + 1);
  return depth;
}
double RefEval(const TMXGPNode<double>* Node, double X, double Y) {
  const std::string& name = Node->Instruction()->Name();
  if (name == "x") return X;
  if (name == "y") return Y;
  if (name == "c") return Node->Value();
  const double a = RefEval(Node->GetChild(0), X, Y), b = RefEval(Node->GetChild(1), X, Y);
  if (name == "Add") return a + b;
  if (name == "Sub") return a - b;
  if (name == "Mul") return a * b;
  return b == 0 ? 1.0 : a / b;
}

// A random full arithmetic tree of the given depth, built through the engine.
TMXGPNode<double>* RandomTree(TTestEngine& Engine, int Depth, TMXGPNode<double>* Parent = nullptr) {
  TMXGPInstructions<double>& set = *Engine.GetInstructions();
  const bool leaf = Depth == 0 || (Parent && Random() < 0.3);
  TMXGPInstruction<double>* instruction =
      leaf ? set.Items(4 + static_cast<int>(Random(3))) : set.Items(static_cast<int>(Random(4)));
  TMXGPNode<double>* node = Engine.CreateNode(instruction, Parent);
  if (instruction->Name() == "c") node->SetValue(static_cast<double>(Random(9)) - 4);
  if (!leaf)
    for (int i = 0; i < 2; ++i) RandomTree(Engine, Depth - 1, node);
  return node;
}

}  // namespace

// --- instructions -----------------------------------------------------------------------------

TEST(GPInstruction, ArityAndOperationRules) {
  TTestEngine engine(2);
  auto* i = engine.Add("f", gpVariable);
  i->SetArity(3);  // clamped to the engine's limit, and now a function
  EXPECT_EQ(i->Arity(), 2);
  EXPECT_EQ(i->Operation(), gpFunction);
  i->SetOperation(gpConstant);
  EXPECT_EQ(i->Arity(), 0);
  i->SetArity(-5);
  EXPECT_EQ(i->Arity(), 0);
  EXPECT_EQ(i->Operation(), gpConstant);
  i->SetOperation(gpFunction);  // a function of arity 0 is allowed
  EXPECT_EQ(i->Arity(), 0);
  EXPECT_TRUE(TMXGPFloatNode(i).IsTerminal());

  // Without an engine there is no limit.
  TMXGPFloatInstructions loose(nullptr);
  auto* j = loose.Add();
  j->SetArity(1000);
  EXPECT_EQ(j->Arity(), 1000);
  EXPECT_FALSE(TMXGPFloatNode(j).IsTerminal());
}

TEST(GPInstruction, NotifiesTheEngineInOrder) {
  TTestEngine engine;
  auto* i = engine.GetInstructions()->Add();
  ExpectLog(engine, {"cnAdded:", "update:*"});
  i->SetName("f");
  ExpectLog(engine, {"update:f"});
  i->SetArity(3);  // variable -> function: the kind change comes first
  ExpectLog(engine, {"operation:f", "update:f", "update:f"});
  i->SetArity(3);  // unchanged: silent
  i->SetValue(4);
  i->SetComment("no notification");
  ExpectLog(engine, {});
  i->SetOperation(gpConstant);  // arity reset, then the kind change
  ExpectLog(engine, {"update:f", "operation:f", "update:f"});
  engine.GetInstructions()->Delete(0);
  ExpectLog(engine, {"cnDeleting:f", "cnExtracting:f", "update:*"});
}

TEST(GPInstruction, NamesAreUniqueIgnoringCaseThroughSetNameOnly) {
  TTestEngine engine;
  auto* x = engine.Add("x", gpVariable);
  auto* y = engine.Add("y", gpVariable);
  try {
    y->SetName("X");
    FAIL() << "duplicate accepted";
  } catch (const EGPException& e) {
    EXPECT_STREQ(e.what(), "instruction name must be unique");
  }
  EXPECT_EQ(y->Name(), "y");
  EXPECT_THROW(x->SetName("X"), EGPException);  // changing only the case of its own name
  EXPECT_EQ(x->Name(), "x");
  x->SetName("x");  // the same name: nothing to check

  y->Assign(x);  // Assign bypasses the check
  auto& set = *engine.GetInstructions();
  EXPECT_EQ(set.IndexOf("X"), 0);  // the lower index wins
  EXPECT_EQ(set.FindItemName("Y"), nullptr);
  try {
    set.GetItemByName("q");
    FAIL();
  } catch (const EGPException& e) {
    EXPECT_STREQ(e.what(), "Unknown instruction \"q\"");
  }
  // An empty name finds only an unnamed instruction.
  EXPECT_EQ(set.IndexOf(""), -1);
  auto* unnamed = set.Add();
  EXPECT_EQ(set.IndexOf(""), unnamed->Index());
}

TEST(GPInstruction, DisplayNameToStringAndStringList) {
  TMXGPFloatInstructions set(nullptr);
  auto* add = set.Add();
  add->SetName("Add");
  add->SetComment("sum");
  add->SetArity(2);
  auto* unnamed = set.Add();
  EXPECT_EQ(add->ToString(), "Add 'sum' gpFunction");
  EXPECT_EQ(unnamed->DisplayName(), "TMXGPFloatInstruction");
  EXPECT_EQ(unnamed->ToString(), "TMXGPFloatInstruction '' gpVariable");
  EXPECT_EQ(TMXGPInstruction<double>().DisplayName(), "TMXGPInstruction<Double>");

  TStringList lines;
  lines.Add("old");
  lines.Assign(&set);
  ASSERT_EQ(lines.Count(), 2);
  EXPECT_EQ(lines[0], "Add");
  EXPECT_EQ(lines[1], "TMXGPFloatInstruction");
  EXPECT_EQ(lines.Objects(1), unnamed);
}

TEST(GPInstruction, AssignCopiesFieldsAssignAllCopiesEvents) {
  TTestEngine engine;
  auto* source = engine.Add("k", gpConstant, 0, 2.5);
  source->SetComment("two and a half");
  int initialized = 0;
  source->SetOnInitialize([&](TObject*) { ++initialized; });
  source->SetOnExecute([](TObject*, TMXGPNode<double>*, TMXGPContext<double>*, double& r) { r *= 2; });

  TMXGPFloatInstructions other(nullptr);
  auto* copy = other.Add();
  copy->Assign(source);
  EXPECT_EQ(copy->Name(), "k");
  EXPECT_EQ(copy->Comment(), "two and a half");
  EXPECT_EQ(copy->Operation(), gpConstant);
  EXPECT_EQ(copy->Value(), 2.5);
  EXPECT_FALSE(copy->OnExecute());
  EXPECT_FALSE(copy->OnInitialize());
  copy->AssignEvents(source);
  copy->Initialize();
  EXPECT_EQ(initialized, 1);

  TMXGPFloatInstructions all(nullptr);
  all.Add()->SetName("gone");
  all.AssignAll(engine.GetInstructions());
  ASSERT_EQ(all.Count(), 1);
  TMXGPFloatNode node(all.Items(0));
  EXPECT_EQ(node.Execute(nullptr), 5.0);  // the node's value 2.5, doubled by the copied handler

  TStringList notAnInstruction;
  EXPECT_THROW(copy->Assign(&notAnInstruction), EConvertError);
  EXPECT_THROW(TMXGPFloatInstructions(nullptr, TCollectionItemClass::Of<TCollectionItem>()), EInvalidCast);
}

TEST(GPInstruction, ExecutionRules) {
  TTestEngine engine;
  gptest::AddArithmetic(engine);
  auto& set = *engine.GetInstructions();
  TMXGPContext<double> context;
  context.Values()->AddOrSetValue("x", 2);

  std::unique_ptr<TMXGPNode<double>> x(BuildTree(set, "x"));
  EXPECT_EQ(x->Execute(&context), 2.0);
  EXPECT_EQ(x->Execute(nullptr), 0.0);
  TMXGPFloatInstructions other(nullptr);  // a variable X does not find the entry x
  other.Add()->SetName("X");
  EXPECT_EQ(TMXGPFloatNode(other.Items(0)).Execute(&context), 0.0);

  // A constant yields the node's own value, not the instruction's.
  std::unique_ptr<TMXGPNode<double>> c(BuildTree(set, "c:7"));
  EXPECT_EQ(set.GetItemByName("c")->Value(), 1.0);
  EXPECT_EQ(c->Execute(&context), 7.0);

  // Too few children raise; extra children are allowed.
  std::unique_ptr<TMXGPNode<double>> add(BuildTree(set, "(Add c:1)"));
  try {
    add->Execute(&context);
    FAIL();
  } catch (const EGPException& e) {
    EXPECT_STREQ(e.what(), "Invalid number of arguments (1) for \"Add\" instruction");
  }
  engine.CreateNode(set.GetItemByName("c"), add.get())->SetValue(2);
  engine.CreateNode(set.GetItemByName("c"), add.get())->SetValue(100);
  EXPECT_EQ(add->Execute(&context), 3.0);

  // A function without handler yields zero; a node without instruction raises.
  set.GetItemByName("Add")->SetOnExecute(nullptr);
  EXPECT_EQ(add->Execute(&context), 0.0);
  TMXGPFloatNode empty;
  try {
    empty.Execute(&context);
    FAIL();
  } catch (const EGPException& e) {
    EXPECT_STREQ(e.what(), "No instruction assigned to node");
  }
}

// --- variable table and context -----------------------------------------------------------

TEST(GPValues, DictionaryOperations) {
  TMXGPValues<double> values;
  values.Add("x", 1);
  try {
    values.Add("x", 5);
    FAIL();
  } catch (const EListError&) {
  }
  EXPECT_EQ(values.Items("x"), 1.0);
  EXPECT_THROW(values.Items("y"), EListError);
  EXPECT_THROW(values.SetItems("y", 3), EListError);
  values.SetItems("x", 4);
  double v = 99;
  EXPECT_FALSE(values.TryGetValue("X", v));
  EXPECT_EQ(v, 0.0);
  EXPECT_TRUE(values.TryGetValue("x", v));
  EXPECT_EQ(v, 4.0);
  EXPECT_TRUE(values.ContainsValue(4));
  values.Remove("missing");
  EXPECT_EQ(values.Count(), 1);
  values.Remove("x");
  EXPECT_FALSE(values.ContainsKey("x"));

  TMXGPValues<Variant> variants;
  Variant out = 3;
  EXPECT_FALSE(variants.TryGetValue("a", out));
  EXPECT_TRUE(out.IsEmpty());

  // Random inserts, replacements and removals agree with std::map.
  RandSeed(7);
  std::map<std::string, double> reference;
  for (int step = 0; step < 20000; ++step) {
    const std::string key = "k" + std::to_string(Random(300));
    switch (Random(3)) {
      case 0: values.AddOrSetValue(key, step), reference[key] = step; break;
      case 1: values.Remove(key), reference.erase(key); break;
      default: {
        double got = -1;
        const bool found = values.TryGetValue(key, got);
        ASSERT_EQ(found, reference.count(key) == 1) << key;
        if (found) {
          ASSERT_EQ(got, reference[key]);
        }
      }
    }
  }
  ASSERT_EQ(values.Count(), static_cast<int>(reference.size()));
  for (const auto& [key, value] : values) EXPECT_EQ(reference.at(key), value);
  EXPECT_EQ(values.Keys().size(), reference.size());
  values.Clear();
  EXPECT_EQ(values.Count(), 0);
  EXPECT_FALSE(values.ContainsKey("k1"));
}

TEST(GPContext, ValuesAreCopiedNotShared) {
  TMXGPValues<double> table;
  table.Add("x", 2);
  TMXGPContext<double> context;
  context.SetValues(&table);
  table.AddOrSetValue("x", 3);
  EXPECT_EQ(context.Values()->Items("x"), 2.0);

  TMXGPContext<double> other;
  other.Values()->Add("z", 1);
  other.Assign(&context);
  EXPECT_FALSE(other.Values()->ContainsKey("z"));
  EXPECT_EQ(other.Values()->Items("x"), 2.0);
  TStringList wrong;
  EXPECT_THROW(other.Assign(&wrong), EConvertError);
  EXPECT_THROW(table.Assign(&wrong), EConvertError);
}

// --- nodes ------------------------------------------------------------------------------------

TEST(GPNode, ConstructionParentsAndCaches) {
  TTestEngine engine;
  gptest::AddArithmetic(engine);
  auto& set = *engine.GetInstructions();
  std::unique_ptr<TMXGPNode<double>> p(BuildTree(set, "(Add x y)"));
  std::unique_ptr<TMXGPNode<double>> q(BuildTree(set, "(Mul (Sub x x) y)"));
  EXPECT_EQ(p->Size(), 3);
  EXPECT_EQ(p->Depth(), 1);
  EXPECT_EQ(q->Size(), 5);
  EXPECT_EQ(q->Depth(), 2);

  // A new node under a tree node is its last child, carrying the instruction's value.
  TMXGPNode<double>* c = engine.CreateNode(set.GetItemByName("c"), p.get());
  EXPECT_EQ(p->GetChild(2), c);
  EXPECT_EQ(c->Value(), 1.0);
  EXPECT_EQ(c->Parent(), p.get());
  EXPECT_EQ(p->Size(), 4);

  // Moving a child: out of p, appended under q's deepest function; caches follow.
  TMXGPNode<double>* sub = q->GetChild(0);
  c->SetParent(sub);
  EXPECT_EQ(p->GetChildCount(), 2);
  EXPECT_EQ(sub->GetChild(2), c);
  EXPECT_EQ(p->Size(), 3);
  EXPECT_EQ(q->Size(), 6);
  EXPECT_EQ(q->ToString(), "(Mul (Sub x x 1) y)");

  // AddChild of a present child changes nothing; ExtractChild hands the node over.
  p->AddChild(p->GetChild(0));
  EXPECT_EQ(p->GetChildCount(), 2);
  TMXGPNode<double>* y = p->GetChild(1);
  p->ExtractChild(y);
  EXPECT_EQ(y->Parent(), nullptr);
  EXPECT_EQ(p->Size(), 2);
  p->InsertChild(0, y);
  EXPECT_EQ(p->ToString(), "(Add y x)");
  EXPECT_EQ(p->IndexOf(y), 0);
  EXPECT_THROW(p->InsertChild(5, c), EArgumentOutOfRangeException);
  EXPECT_THROW(p->GetChild(2), EArgumentOutOfRangeException);
  EXPECT_THROW(p->AddChild(p.get()), EArgumentOutOfRangeException);

  // Destroying a child detaches it from its parent.
  delete p->GetChild(0);
  EXPECT_EQ(p->ToString(), "(Add x)");
  EXPECT_EQ(p->Size(), 2);
  EXPECT_EQ(p->Depth(), 1);
}

TEST(GPNode, PrefixText) {
  TTestEngine engine;
  gptest::AddArithmetic(engine);
  auto& set = *engine.GetInstructions();
  std::unique_ptr<TMXGPNode<double>> two(BuildTree(set, "c:2"));
  EXPECT_EQ(two->ToString(), "2");
  std::unique_ptr<TMXGPNode<double>> sum(BuildTree(set, "(Add x c:1.5)"));
  EXPECT_EQ(sum->ToString(), "(Add x 1.5)");
  std::unique_ptr<TMXGPNode<double>> bare(BuildTree(set, "Add"));
  EXPECT_EQ(bare->ToString(), "Add");

  TMXGPFloatNode nil;
  EXPECT_EQ(nil.ToString(), "nil");
  new TMXGPFloatNode(set.GetItemByName("x"), &nil);
  new TMXGPFloatNode(set.GetItemByName("y"), &nil);
  EXPECT_EQ(nil.ToString(), "(nil x y)");
  // The generic tree node has no value text of its own.
  TMXGPTreeNode<double> generic(set.GetItemByName("x"));
  EXPECT_EQ(generic.ToString(), "");
}

TEST(GPNode, CloneAndAssign) {
  TMXGPFloatInstructions set(nullptr);  // no engine: nodes clone into their own class
  for (const char* name : {"Add", "x", "c"}) set.Add()->SetName(name);
  set.Items(0)->SetArity(2);
  set.Items(2)->SetOperation(gpConstant);
  std::unique_ptr<TMXGPNode<double>> tree(BuildTree(set, "(Add (Add x c:3) c:-1)"));
  EXPECT_EQ(tree->Size(), 5);  // caches filled before cloning are carried over

  std::unique_ptr<TMXGPNode<double>> copy(tree->GetChild(0)->Clone(nullptr));
  EXPECT_EQ(copy->Parent(), nullptr);
  EXPECT_EQ(copy->ToString(), "(Add x 3)");
  EXPECT_NE(dynamic_cast<TMXGPFloatNode*>(copy.get()), nullptr);
  EXPECT_NE(copy->GetChild(0), tree->GetChild(0)->GetChild(0));

  // Assign from a node inside the own subtree.
  tree->Assign(tree->GetChild(0));
  EXPECT_EQ(tree->ToString(), "(Add x 3)");
  EXPECT_EQ(tree->Size(), 3);
  EXPECT_EQ(tree->Depth(), 1);
  TStringList wrong;
  EXPECT_THROW(tree->Assign(&wrong), EConvertError);

  // Assign from an ancestor copies the ancestor as it was before the copy began.
  tree->GetChild(0)->Assign(tree.get());
  EXPECT_EQ(tree->ToString(), "(Add (Add x 3) 3)");
  EXPECT_EQ(tree->Size(), 5);
  EXPECT_EQ(tree->Depth(), 2);

  // A tree node whose children are binary copies them into Left and Right; a third one
  // finds the binary node full, and the node stays as it was.
  TMXGPFloatNode mixed(set.Items(0));
  for (int i = 0; i < 3; ++i) mixed.AddChild(new TMXGPBinaryFloatNode(set.Items(1)));
  std::unique_ptr<TMXGPNode<double>> binary(BuildTree<TMXGPBinaryFloatNode>(set, "(Add x c:2)"));
  EXPECT_THROW(binary->Assign(&mixed), EGPException);
  EXPECT_EQ(binary->ToString(), "(Add x 2)");
  EXPECT_EQ(binary->Size(), 3);
  delete mixed.GetChild(2);
  binary->Assign(&mixed);
  EXPECT_EQ(binary->ToString(), "(Add x x)");
  EXPECT_NE(dynamic_cast<TMXGPBinaryFloatNode*>(binary->GetChild(1)), nullptr);
  binary.reset(BuildTree<TMXGPBinaryFloatNode>(set, "(Add x c:2)"));
  // Tree-node children without an engine are copied as tree nodes, which a binary node
  // cannot hold: the first copy is refused, however many children there are.
  std::unique_ptr<TMXGPNode<double>> wide(BuildTree(set, "(Add x x x)"));
  EXPECT_THROW(binary->Assign(wide.get()), EInvalidCast);
  EXPECT_EQ(binary->ToString(), "(Add x 2)");
  EXPECT_EQ(binary->Size(), 3);
  // Two children fit, but without an engine they are copied as tree nodes, which a binary
  // node cannot hold.
  std::unique_ptr<TMXGPNode<double>> narrow(BuildTree(set, "(Add c:5 x)"));
  EXPECT_THROW(binary->Assign(narrow.get()), EInvalidCast);
  EXPECT_EQ(binary->ToString(), "(Add x 2)");

  // SetChildren copies, the list keeps its nodes.
  auto* treeNode = static_cast<TMXGPTreeNode<double>*>(wide.get());
  treeNode->SetChildren({narrow.get(), narrow->GetChild(0)});
  EXPECT_EQ(wide->ToString(), "(Add (Add 5 x) 5)");
  EXPECT_EQ(narrow->ToString(), "(Add 5 x)");
  treeNode->SetChildren({wide->GetChild(1)});  // its own child
  EXPECT_EQ(wide->ToString(), "(Add 5)");
}

TEST(GPNode, EngineCreatesEveryNode) {
  TTestEngine engine(INT_MAX, true);
  gptest::AddArithmetic(engine);
  auto& set = *engine.GetInstructions();
  std::unique_ptr<TMXGPNode<double>> tree(BuildTree(set, "(Add x (Mul y c:2))"));
  EXPECT_EQ(engine.NodesCreated, 4);  // every node but the root
  std::unique_ptr<TMXGPNode<double>> copy(tree->Clone(nullptr));
  EXPECT_EQ(engine.NodesCreated, 9);
  EXPECT_NE(dynamic_cast<TMXGPBinaryFloatNode*>(copy->GetChild(1)->GetChild(1)), nullptr);
}

TEST(GPBinaryNode, ChildRules) {
  TMXGPFloatInstructions set(nullptr);
  set.Add()->SetName("f");
  set.Add()->SetName("a");
  set.Add()->SetName("b");
  set.Add()->SetName("d");
  auto* f = set.Items(0);
  TMXGPBinaryFloatNode root(f);
  auto* a = new TMXGPBinaryFloatNode(set.Items(1), &root);
  auto* b = new TMXGPBinaryFloatNode(set.Items(2));
  root.AddChild(b);
  EXPECT_EQ(root.Left(), a);
  EXPECT_EQ(root.Right(), b);
  EXPECT_EQ(root.ToString(), "(f a b)");

  // A third child is refused and nothing changes.
  std::unique_ptr<TMXGPBinaryFloatNode> d(new TMXGPBinaryFloatNode(set.Items(3)));
  try {
    root.AddChild(d.get());
    FAIL();
  } catch (const EGPException& e) {
    EXPECT_STREQ(e.what(), "Node cannot accept anymore children");
  }
  EXPECT_THROW(new TMXGPBinaryFloatNode(set.Items(3), &root), EGPException);
  EXPECT_THROW(d->SetParent(&root), EGPException);
  EXPECT_EQ(d->Parent(), nullptr);
  EXPECT_THROW(root.InsertChild(0, d.get()), EGPException);
  EXPECT_THROW(root.InsertChild(1, d.get()), EGPException);
  EXPECT_EQ(root.ToString(), "(f a b)");
  EXPECT_EQ(d->Parent(), nullptr);
  EXPECT_THROW(root.GetChild(2), EListError);
  EXPECT_THROW(root.InsertChild(2, d.get()), EListError);
  TMXGPFloatNode notBinary(set.Items(3));
  EXPECT_THROW(root.AddChild(&notBinary), EGPException);  // full comes before the class check
  EXPECT_EQ(notBinary.Parent(), nullptr);
  root.ExtractChild(a);
  EXPECT_THROW(root.AddChild(&notBinary), EInvalidCast);

  // After extracting Left, the next child fills Left again.
  EXPECT_EQ(root.Left(), nullptr);
  EXPECT_EQ(root.GetChildCount(), 1);
  root.AddChild(d.release());
  EXPECT_EQ(root.ToString(), "(f d b)");
  delete a;

  // InsertChild shifts a lone child out of the way.
  TMXGPBinaryFloatNode g(f);
  auto* x = new TMXGPBinaryFloatNode(set.Items(1));
  auto* y = new TMXGPBinaryFloatNode(set.Items(2));
  g.InsertChild(0, x);
  g.InsertChild(0, y);  // x moves right
  EXPECT_EQ(g.Left(), y);
  EXPECT_EQ(g.Right(), x);
  g.ExtractChild(y);
  g.InsertChild(1, y);  // a lone Right moves left first
  EXPECT_EQ(g.ToString(), "(f a b)");
  g.ExtractChild(y);
  g.ExtractChild(x);
  g.InsertChild(0, y);
  g.InsertChild(1, x);  // a lone Left stays
  EXPECT_EQ(g.Left(), y);
  EXPECT_EQ(g.Right(), x);
  delete x;
  delete y;
  EXPECT_EQ(g.GetChildCount(), 0);

  // InsertChild takes the node itself away from its former parent.
  auto* moved = root.Left();
  g.InsertChild(0, moved);
  EXPECT_EQ(moved->Parent(), &g);
  EXPECT_EQ(root.ToString(), "(f b)");
  EXPECT_EQ(root.GetChild(0), nullptr);  // Left empty, Right set: child 0 reads null
}

TEST(GPBinaryNode, SetLeftAndSetRightCopy) {
  TMXGPFloatInstructions set(nullptr);
  for (const char* name : {"f", "a", "b"}) set.Add()->SetName(name);
  TMXGPBinaryFloatNode source(set.Items(0));
  new TMXGPBinaryFloatNode(set.Items(1), &source);
  new TMXGPBinaryFloatNode(set.Items(2), &source);

  TMXGPBinaryFloatNode target(set.Items(0));
  target.SetRight(&source);  // Right even with Left empty
  EXPECT_EQ(target.Left(), nullptr);
  EXPECT_EQ(target.Right()->ToString(), "(f a b)");
  EXPECT_EQ(source.Parent(), nullptr);
  target.SetLeft(source.Left());
  EXPECT_EQ(target.ToString(), "(f a (f a b))");
  EXPECT_EQ(target.Size(), 5);
  target.SetLeft(target.Right()->Right());  // a copy of a node elsewhere in the tree
  EXPECT_EQ(target.ToString(), "(f b (f a b))");
  target.SetRight(nullptr);
  EXPECT_EQ(target.ToString(), "(f b)");
  EXPECT_EQ(target.Size(), 2);
  target.Clear();
  EXPECT_EQ(target.ToString(), "nil");
  EXPECT_EQ(source.ToString(), "(f a b)");
}

TEST(GPNode, RandomTreesAgreeWithReference) {
  TTestEngine engine;
  gptest::AddArithmetic(engine);
  TMXGPContext<double> context;
  RandSeed(42);
  for (int t = 0; t < 200; ++t) {
    std::unique_ptr<TMXGPNode<double>> tree(RandomTree(engine, 1 + t % 7));
    ASSERT_EQ(tree->Size(), RefSize(tree.get()));
    ASSERT_EQ(tree->Depth(), RefDepth(tree.get()));
    const double x = static_cast<double>(Random(21)) - 10, y = static_cast<double>(Random(21)) - 10;
    context.Values()->AddOrSetValue("x", x);
    context.Values()->AddOrSetValue("y", y);
    const double expected = RefEval(tree.get(), x, y);
    ASSERT_EQ(tree->Execute(&context), expected);

    std::unique_ptr<TMXGPNode<double>> copy(tree->Clone(nullptr));
    ASSERT_EQ(copy->ToString(), tree->ToString());
    ASSERT_EQ(copy->Execute(&context), expected);

    // Cut a random subtree out of the copy: the cached size and depth follow.
    TMXGPNode<double>* node = copy.get();
    while (node->GetChildCount() > 0 && Random() < 0.7) node = node->GetChild(static_cast<int>(Random(2)));
    if (node != copy.get()) {
      const int removed = node->Size();
      delete node;
      ASSERT_EQ(copy->Size(), tree->Size() - removed);
      ASSERT_EQ(copy->Size(), RefSize(copy.get()));
      ASSERT_EQ(copy->Depth(), RefDepth(copy.get()));
    }
  }
}

TEST(GPNode, OneProgramExecutesOnSeveralThreads) {
  TTestEngine engine;
  gptest::AddArithmetic(engine);
  std::unique_ptr<TMXGPNode<double>> tree(BuildTree(*engine.GetInstructions(), "(Add (Mul x x) (Div y c:3))"));
  tree->Size();  // caches are written by Size and Depth: fill them before sharing the tree
  std::vector<double> results(256);
  TParallel::For(0, 255, [&](std::int64_t i) {
    TMXGPContext<double> context;  // one context per run
    context.Values()->Add("x", static_cast<double>(i));
    context.Values()->Add("y", 6);
    results[static_cast<std::size_t>(i)] = tree->Execute(&context);
  });
  for (int i = 0; i < 256; ++i) EXPECT_EQ(results[static_cast<std::size_t>(i)], i * i + 2.0);
}

TEST(GPNode, DeepChainsNeedNoRecursion) {
  constexpr int kDepth = 100000;
  TTestEngine engine;
  auto* neg = engine.Add("Neg", gpFunction, 1);
  engine.Add("x", gpVariable);
  neg->SetOnExecute([](TObject*, TMXGPNode<double>*, TMXGPContext<double>*, double& r) { r = -1; });

  auto root = std::make_unique<TMXGPFloatNode>(neg);
  TMXGPNode<double>* tip = root.get();
  for (int i = 1; i < kDepth; ++i) {
    tip = engine.CreateNode(neg, tip);
    if (i == kDepth / 2) {
      EXPECT_EQ(root->Size(), i + 1);  // caches filled halfway
    }
  }
  engine.CreateNode(engine.GetInstructions()->Items(1), tip);
  EXPECT_EQ(root->Size(), kDepth + 1);
  EXPECT_EQ(root->Depth(), kDepth);

  const std::string text = root->ToString();
  EXPECT_EQ(text.size(), static_cast<std::size_t>(kDepth) * 6 + 1);  // "(Neg " and ")" per level, "x"
  EXPECT_EQ(text.substr(0, 10), "(Neg (Neg ");

  std::unique_ptr<TMXGPNode<double>> copy(root->Clone(nullptr));
  EXPECT_EQ(copy->Size(), kDepth + 1);
  EXPECT_EQ(copy->ToString(), text);

  // A change at the bottom reaches the root's caches.
  delete tip->GetChild(0);
  EXPECT_EQ(root->Size(), kDepth);
  EXPECT_EQ(root->Depth(), kDepth - 1);
  root->Assign(copy.get());
  EXPECT_EQ(root->Depth(), kDepth);
  EXPECT_EQ(root->Execute(nullptr), -1.0);
  root.reset();  // destruction of a deep tree
  copy.reset();
}

// --- variant family ---------------------------------------------------------------------------

TEST(GPVariant, ExecutesAndPrintsVariants) {
  TMXGPVariantInstructions set(nullptr);
  auto* cat = set.Add();
  cat->SetName("Cat");
  cat->SetArity(2);
  cat->SetOnExecute([](TObject*, TMXGPNode<Variant>* n, TMXGPContext<Variant>* c, Variant& r) {
    r = n->GetChild(0)->Execute(c) + n->GetChild(1)->Execute(c);
  });
  auto* s = set.Add();
  s->SetName("s");
  auto* k = set.Add();
  k->SetName("k");
  k->SetOperation(gpConstant);
  k->SetValue(Variant("!"));

  TMXGPVariantNode root(cat);
  new TMXGPVariantNode(s, &root);
  new TMXGPVariantNode(k, &root);
  TMXGPContext<Variant> context;
  EXPECT_TRUE(root.GetChild(0)->Execute(&context).IsEmpty());
  context.Values()->Add("s", Variant("hi"));
  EXPECT_EQ(root.Execute(&context), Variant("hi!"));
  EXPECT_EQ(root.ToString(), "(Cat s !)");
  root.GetChild(1)->SetValue(Variant());
  EXPECT_EQ(root.ToString(), "(Cat s )");
  EXPECT_EQ(root.ClassName(), "TMXGPVariantNode");
  std::unique_ptr<TMXGPNode<Variant>> copy(root.Clone(nullptr));
  EXPECT_NE(dynamic_cast<TMXGPVariantNode*>(copy.get()), nullptr);
}

// --- component streaming of an instruction set ---------------------------------------------

TEST(GPInstruction, PublishedPropertiesStream) {
  TTestEngine source;
  source.Add("Add", gpFunction, 2)->SetComment("sum");
  source.Add("k", gpConstant, 0, 3);
  source.Add("f0", gpFunction, 0);
  source.Add("x", gpVariable);
  TMemoryStream stream;
  WriteComponent(stream, &source);
  stream.SetPosition(0);
  TTestEngine target;
  target.Add("old", gpVariable);
  ReadComponent(stream, &target);
  auto& set = *target.GetInstructions();
  ASSERT_EQ(set.Count(), 4);
  EXPECT_EQ(set.Items(0)->ToString(), "Add 'sum' gpFunction");
  EXPECT_EQ(set.Items(0)->Arity(), 2);
  EXPECT_EQ(set.Items(1)->Operation(), gpConstant);
  EXPECT_EQ(set.Items(1)->Value(), 0.0);  // the value is not a published property
  EXPECT_EQ(set.Items(2)->Operation(), gpFunction);
  EXPECT_EQ(set.Items(3)->ToString(), "x '' gpVariable");
}
