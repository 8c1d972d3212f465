// Program representation: instructions and their sets, the variable table and context,
// tree and binary nodes of the float family (the variant family's own code is covered by
// gp_domain_xml_test).
#include "gp_test_support.h"
#include "support.h"

#include <evokit/platform/parallel.h>
#include <evokit/platform/strings.h>

#include <gtest/gtest.h>

#include <map>

using namespace evokit;
using namespace gptest;

namespace {

using TLog = std::vector<std::string>;

// Returns the engine's log and clears it.
TLog TakeLog(TTestEngine& Engine) { return std::exchange(Engine.Log, {}); }

// A user node class whose Modified() and Clear() overrides count their calls.
struct TCountingNode : TMXGPTreeNode<double> {
  using TMXGPTreeNode<double>::TMXGPTreeNode;
  int Modifications = 0, Clears = 0;
  TMXGPNode<double>* CreateNode(TMXGPInstruction<double>* I, TMXGPNode<double>* Parent) const override {
    return new TCountingNode(I, Parent);
  }
  void Modified() override { ++Modifications, TMXGPTreeNode<double>::Modified(); }
  void Clear() override { ++Clears, TMXGPTreeNode<double>::Clear(); }
};

}  // namespace

// --- instructions -----------------------------------------------------------------------------

TEST(GPInstruction, ArityOperationAndNotifications) {
  TTestEngine engine(1);
  auto* i = engine.GetInstructions()->Add();
  i->SetName("f");
  EXPECT_EQ(TakeLog(engine), (TLog{"cnAdded:", "update:*", "update:f"}));
  i->SetArity(3);  // clamped to the engine's limit; a positive arity makes a function
  EXPECT_EQ(Kind(i), "f '' gpFunction/1");
  TakeLog(engine);
  i->SetArity(1), i->SetValue(4), i->SetComment("c");  // unchanged, or not announced: silent
  EXPECT_EQ(TakeLog(engine), TLog{});
  i->SetOperation(gpConstant);
  i->SetArity(-5);
  EXPECT_EQ(Kind(i), "f 'c' gpConstant/0");
  i->SetOperation(gpFunction);  // a function of arity 0 is allowed: a terminal node
  EXPECT_TRUE(TMXGPFloatNode(i).IsTerminal());
  TakeLog(engine);
  engine.GetInstructions()->Delete(0);
  EXPECT_EQ(TakeLog(engine), (TLog{"cnDeleting:f", "cnExtracting:f", "update:*"}));
  TMXGPFloatInstructions loose(nullptr);  // without an engine there is no limit
  loose.Add()->SetArity(1000);
  EXPECT_EQ(Kind(loose.Items(0)), "TMXGPFloatInstruction '' gpFunction/1000");
}

TEST(GPInstruction, NamesLookupAndAssign) {
  TTestEngine engine;
  auto *x = engine.Add("x", gpVariable), *k = engine.Add("k", gpConstant, 0, 2.5);
  auto& set = *engine.GetInstructions();
  // Names are unique ignoring case, through SetName only; the lower index wins a lookup.
  EXPECT_EQ(test::ErrorOf<EGPException>([&] { k->SetName("X"); }), "instruction name must be unique");
  EXPECT_EQ(test::ErrorOf<EGPException>([&] { x->SetName("X"); }), "instruction name must be unique");  // its own name, other case
  x->SetName("x");  // the same name: nothing to check
  EXPECT_EQ(test::ErrorOf<EGPException>([&] { set.GetItemByName("q"); }), "Unknown instruction \"q\"");
  EXPECT_EQ(set.IndexOf(""), -1);  // an empty name finds only an unnamed instruction
  auto* unnamed = set.Add();
  EXPECT_EQ(set.IndexOf(""), 2);
  TStringList lines;  // a set assigned to a string list: display names and objects
  lines.Assign(&set);
  EXPECT_EQ(lines.CommaText() + (lines.Objects(2) == unnamed ? "" : " wrong object"), "x,k,TMXGPFloatInstruction");

  // Assign copies the fields and bypasses the name check.
  k->SetComment("two and a half");
  unnamed->Assign(k);
  EXPECT_EQ(Kind(unnamed) + " " + FloatToStr(unnamed->Value()), "k 'two and a half' gpConstant/0 2.5");
  EXPECT_EQ(set.IndexOf("K"), 1);
  EXPECT_THROW(TMXGPFloatInstructions(nullptr, TCollectionItemClass::Of<TCollectionItem>()), EInvalidCast);
}

TEST(GPInstruction, ExecutionRules) {
  TTestEngine engine;
  AddArithmetic(engine);
  auto& set = *engine.GetInstructions();
  TMXGPContext<double> context;
  context.Values()->AddOrSetValue("X", 2);  // names are case-sensitive: x finds nothing
  TTree x(BuildTree(set, "x")), c(BuildTree(set, "c:7")), add(BuildTree(set, "(Add c:1)"));
  EXPECT_EQ(x->Execute(&context) + x->Execute(nullptr) + c->Execute(&context), 7.0);  // a constant: the node's own value
  // Extra children are allowed (too few raise: GPBatch.ChildrenThatDoNotRunAreSkippedAlike).
  engine.CreateNode(set.GetItemByName("c"), add.get())->SetValue(2);
  engine.CreateNode(set.GetItemByName("c"), add.get())->SetValue(100);
  EXPECT_EQ(add->Execute(&context), 3.0);
  // A function without handler yields zero; a node without instruction raises.
  set.GetItemByName("Add")->SetOnExecute(nullptr);
  EXPECT_EQ(add->Execute(&context), 0.0);
  EXPECT_EQ(test::ErrorOf<EGPException>([] { TMXGPFloatNode().Execute(nullptr); }), "No instruction assigned to node");
}

// --- variable table and context -----------------------------------------------------------

TEST(GPValues, DictionaryRulesAndAgreementWithAMap) {
  TMXGPValues<double> values;
  values.Add("x", 1);
  EXPECT_THROW(values.Add("x", 5), EListError);
  EXPECT_THROW(values.Items("y"), EListError);
  double v = 99;
  EXPECT_FALSE(values.TryGetValue("X", v) || v != 0.0);  // keys are case-sensitive; a miss yields zero
  TMXGPContext<double> context, other;  // contexts copy the table
  context.SetValues(&values), values.SetItems("x", 3), other.Assign(&context);
  EXPECT_EQ(other.Values()->ToArray(), (std::vector<std::pair<std::string, double>>{{"x", 1}}));

  // Random inserts, replacements, removals and lookups agree with std::map.
  RandSeed(7);
  std::map<std::string, double> reference{{"x", 3}};
  for (int step = 0; step < 20000; ++step) {
    const std::string key = Cat("k", std::to_string(Random(300)));
    switch (Random(3)) {
      case 0: values.AddOrSetValue(key, step), reference[key] = step; break;
      case 1: values.Remove(key), reference.erase(key); break;
      default:
        ASSERT_EQ(values.TryGetValue(key, v), reference.count(key) == 1) << key;
        ASSERT_EQ(v, reference.count(key) ? reference[key] : 0.0) << key;
    }
  }
  ASSERT_EQ(values.Count(), static_cast<int>(reference.size()));
  for (const auto& [key, value] : reference) EXPECT_EQ(values.Items(key), value) << key;
  values.Clear();
  EXPECT_FALSE(values.ContainsKey("x"));
}

// --- nodes ------------------------------------------------------------------------------------

TEST(GPNode, ParentsChildrenAndCaches) {
  TTestEngine engine;
  AddArithmetic(engine);
  auto& set = *engine.GetInstructions();
  TTree p(BuildTree(set, "(Add x y)")), q(BuildTree(set, "(Mul (Sub x x) y)"));
  // A new node under a tree node is its last child, carrying the instruction's value;
  // moved under another parent it leaves the first. The caches follow.
  TMXGPNode<double>* c = engine.CreateNode(set.GetItemByName("c"), p.get());
  EXPECT_EQ(Shape(*p), "(Add x y 1) 4/1");
  TMXGPNode<double>* sub = q->GetChild(0);
  c->SetParent(sub);
  EXPECT_EQ(Shape(*p) + Shape(*q), "(Add x y) 3/1(Mul (Sub x x 1) y) 6/2");
  // AddChild of a present child changes nothing; ExtractChild hands the node over.
  p->AddChild(p->GetChild(0));
  TMXGPNode<double>* y = p->GetChild(1);
  p->ExtractChild(y);
  EXPECT_EQ(Shape(*p) + (y->Parent() ? "" : " detached"), "(Add x) 2/1 detached");
  p->InsertChild(0, y);
  p->InsertChild(2, p->GetChild(0));  // a present child moves; the index is limited to the end
  p->InsertChild(1, nullptr);
  EXPECT_EQ(Shape(*p) + std::to_string(p->IndexOf(y)), "(Add x y) 3/11");
  sub->InsertChild(0, y);  // a node with another parent leaves it
  EXPECT_EQ(Shape(*p) + Shape(*q), "(Add x) 2/1(Mul (Sub y x x 1) y) 7/2");
  EXPECT_THROW(p->InsertChild(5, c), EArgumentOutOfRangeException);
  EXPECT_THROW(p->AddChild(p.get()), EArgumentOutOfRangeException);
  EXPECT_THROW(p->SetParent(p.get()), EArgumentOutOfRangeException);
  // Nor can a node go under one of its own descendants, by any of the three routes; the
  // tree stays as it was.
  TMXGPNode<double>* deep = sub->GetChild(0);
  EXPECT_THROW(q->SetParent(deep), EArgumentOutOfRangeException);
  EXPECT_THROW(deep->AddChild(q.get()), EArgumentOutOfRangeException);
  EXPECT_THROW(deep->InsertChild(0, sub), EArgumentOutOfRangeException);
  EXPECT_EQ(Shape(*q) + (q->Parent() ? " attached" : ""), "(Mul (Sub y x x 1) y) 7/2");
  delete sub->GetChild(1);           // destroying a child detaches it from its parent
  TMXGPFloatNode nil(nullptr, sub);  // a node without instruction prints as nil
  EXPECT_EQ(Shape(*q), "(Mul (Sub y x 1 nil) y) 7/2");
}

TEST(GPNode, CloneAndAssign) {
  TMXGPFloatInstructions set(nullptr);  // no engine: nodes clone into their own class
  for (const char* name : {"Add", "x", "c"}) set.Add()->SetName(name);
  set.Items(0)->SetArity(2);
  set.Items(2)->SetOperation(gpConstant);
  TTree tree(BuildTree(set, "(Add (Add x c:3) c:-1)"));
  EXPECT_EQ(tree->Size(), 5);  // caches filled before cloning are carried over
  TTree copy(tree->GetChild(0)->Clone(nullptr));
  EXPECT_EQ(Shape(*copy) + copy->ClassName(), "(Add x 3) 3/1TMXGPFloatNode");
  tree->Assign(tree->GetChild(0));  // from a node inside the own subtree
  EXPECT_EQ(Shape(*tree), "(Add x 3) 3/1");
  tree->GetChild(0)->Assign(tree.get());  // from an ancestor: as it was before the copy began
  EXPECT_EQ(Shape(*tree), "(Add (Add x 3) 3) 5/2");

  // A tree node whose children are binary copies them into Left and Right; a third one
  // finds the binary node full, and the node stays as it was.
  TMXGPFloatNode mixed(set.Items(0));
  for (int i = 0; i < 3; ++i) mixed.AddChild(new TMXGPBinaryFloatNode(set.Items(1)));
  TTree binary(BuildTree<TMXGPBinaryFloatNode>(set, "(Add x c:2)"));
  EXPECT_EQ(test::ErrorOf<EGPException>([&] { binary->Assign(&mixed); }), "Node cannot accept anymore children");
  EXPECT_EQ(Shape(*binary), "(Add x 2) 3/1");
  delete mixed.GetChild(2);
  binary->Assign(&mixed);
  EXPECT_EQ(binary->ToString() + binary->GetChild(1)->ClassName(), "(Add x x)TMXGPBinaryFloatNode");
  // Tree-node children without an engine are copied as tree nodes, which a binary node
  // cannot hold: refused, and nothing changes.
  binary.reset(BuildTree<TMXGPBinaryFloatNode>(set, "(Add x c:2)"));
  EXPECT_THROW(binary->Assign(TTree(BuildTree(set, "(Add c:5 x)")).get()), EInvalidCast);
  EXPECT_EQ(Shape(*binary), "(Add x 2) 3/1");
  // SetChildren copies, the list keeps its nodes, also when they are the node's own.
  TTree wide(BuildTree(set, "(Add x x x)")), narrow(BuildTree(set, "(Add c:5 x)"));
  auto* treeNode = static_cast<TMXGPTreeNode<double>*>(wide.get());
  treeNode->SetChildren({narrow.get(), narrow->GetChild(0)});
  treeNode->SetChildren({wide->GetChild(0), wide->GetChild(1)});
  EXPECT_EQ(wide->ToString() + narrow->ToString(), "(Add (Add 5 x) 5)(Add 5 x)");
}

TEST(GPBinaryNode, ChildRules) {
  TMXGPFloatInstructions set(nullptr);
  for (const char* name : {"f", "a", "b", "d"}) set.Add()->SetName(name);
  auto node = [&](int Index, TMXGPNode<double>* Parent = nullptr) { return new TMXGPBinaryFloatNode(set.Items(Index), Parent); };
  TMXGPBinaryFloatNode root(set.Items(0));
  auto *a = node(1, &root), *b = node(2);
  root.AddChild(b);
  // A full node refuses any further child, whatever its class, and nothing changes.
  std::unique_ptr<TMXGPBinaryFloatNode> d(node(3));
  TMXGPFloatNode notBinary(set.Items(3));
  EXPECT_EQ(test::ErrorOf<EGPException>([&] { root.AddChild(d.get()); }), "Node cannot accept anymore children");
  EXPECT_THROW(d->SetParent(&root), EGPException);
  EXPECT_THROW(root.AddChild(&notBinary), EGPException);
  EXPECT_THROW(root.InsertChild(2, d.get()), EListError);
  EXPECT_EQ(Shape(root), "(f a b) 3/1");
  EXPECT_TRUE(d->Parent() == nullptr && notBinary.Parent() == nullptr);
  delete a;  // detaches itself
  EXPECT_THROW(root.AddChild(&notBinary), EInvalidCast);
  EXPECT_EQ(root.GetChild(0), nullptr);  // Left empty, Right set: child 0 reads null
  root.AddChild(d.release());            // the next child fills Left again
  EXPECT_EQ(Shape(root), "(f d b) 3/1");

  // InsertChild shifts a lone child out of the way, and takes a node from its parent.
  TMXGPBinaryFloatNode g(set.Items(0));
  auto *x = node(1), *y = node(2);
  g.InsertChild(0, x);
  g.InsertChild(0, y);  // x moves right
  const std::string shifted = g.ToString();
  g.ExtractChild(y);
  g.InsertChild(1, y);  // a lone Right moves left first
  EXPECT_EQ(shifted + g.ToString(), "(f b a)(f a b)");
  g.ExtractChild(x);
  g.InsertChild(1, x);  // a lone Left stays
  g.InsertChild(0, y);  // a present child: nothing to do
  delete x;
  g.InsertChild(1, root.Left());
  EXPECT_EQ(g.ToString() + root.ToString(), "(f b d)(f b)");  // b stayed left, d was taken from root

  // SetLeft and SetRight store copies (Right even with Left empty), also of a node
  // elsewhere in the tree.
  TMXGPBinaryFloatNode target(set.Items(0));
  target.SetRight(&g);
  target.SetLeft(target.Right()->Right());
  EXPECT_EQ(Shape(target) + g.ToString(), "(f d (f b d)) 5/2(f b d)");
  target.SetRight(nullptr);
  EXPECT_EQ(Shape(target), "(f d) 2/1");
}

TEST(GPNode, OneProgramExecutesOnSeveralThreads) {
  TTestEngine engine;
  AddArithmetic(engine);
  TTree tree(BuildTree(*engine.GetInstructions(), "(Add (Mul x x) (Div y c:3))"));
  tree->Size();  // caches are written by Size and Depth: fill them before sharing the tree
  std::vector<double> results(256);
  TParallel::For(0, 255, [&](std::int64_t i) {
    TMXGPContext<double> context;  // one context per run
    context.Values()->Add("x", static_cast<double>(i)), context.Values()->Add("y", 6);
    results[static_cast<std::size_t>(i)] = tree->Execute(&context);
  });
  for (int i = 0; i < 256; ++i) EXPECT_EQ(results[static_cast<std::size_t>(i)], i * i + 2.0);
}

// A chain far deeper than the call stack allows for recursion: built, measured, printed,
// cloned, changed at the bottom, assigned and executed (saving and loading one: the deep
// documents of adverse_conditions_test).
TEST(GPNode, DeepChainsNeedNoRecursion) {
  constexpr int kDepth = 100000;
  TTestEngine engine;
  auto* neg = engine.Add("Neg", gpFunction, 1);
  engine.Add("c", gpConstant, 0, 0.5);
  neg->SetOnExecute([](TObject*, TMXGPNode<double>*, TMXGPContext<double>*, double& r) { r = -1; });
  TTree root(new TMXGPFloatNode(neg));
  TMXGPNode<double>* tip = root.get();
  for (int i = 1; i <= kDepth; ++i) {
    tip = engine.CreateNode(i < kDepth ? neg : engine.GetInstructions()->Items(1), tip);
  }
  EXPECT_EQ(root->Size() + root->Depth(), 2 * kDepth + 1);
  const std::string text = root->ToString();
  EXPECT_EQ(text.size(), static_cast<std::size_t>(kDepth) * 6 + 3);  // "(Neg " and ")" per level, "0.5"
  TTree copy(root->Clone(nullptr));
  EXPECT_EQ(copy->ToString(), text);
  delete tip;  // Assign has the bottom to restore
  root->Assign(copy.get());
  EXPECT_EQ(root->Depth() + root->Execute(nullptr), kDepth - 1);
}

// A change reaches the Modified() override of the changed node and of every ancestor up to
// the first one that was clear already, one call after the other (no deep stack); Assign
// and loading clear a node through its Clear() override.
TEST(GPNode, OverridesOfModifiedAndClearAreReached) {
  constexpr int kDepth = 100000;
  TMXGPFloatInstructions set(nullptr);
  set.Add()->SetName("f");
  set.Items(0)->SetArity(1);
  TCountingNode root(set.Items(0));
  std::vector<TCountingNode*> chain{&root};
  for (int i = 1; i <= kDepth; ++i)
    chain.push_back(static_cast<TCountingNode*>(chain.back()->CreateNode(set.Items(0), chain.back())));
  auto calls = [&] {
    std::vector<int> counts;
    for (TCountingNode* node : chain) counts.push_back(std::exchange(node->Modifications, 0));
    return counts;
  };
  // Built leaf by leaf: the parent of each new leaf and, found clear, the grandparent.
  std::vector<int> expected(kDepth + 1, 2);
  expected[kDepth - 1] = 1, expected[kDepth] = 0;
  EXPECT_EQ(calls(), expected);
  // With every cache filled, a leaf added at the bottom tells the whole path; taking it
  // away again tells its parent and the grandparent, found clear.
  root.Size();
  delete chain.back()->CreateNode(set.Items(0), chain.back());
  expected.assign(kDepth + 1, 1);
  expected[kDepth - 1] = expected[kDepth] = 2;
  EXPECT_EQ(calls(), expected);
  chain.resize(3);
  TCountingNode source(set.Items(0));
  new TCountingNode(set.Items(0), &source);
  chain[2]->Assign(&source);  // Clear() tells the node and its parent, then the parent is told
  EXPECT_EQ(calls(), (std::vector<int>{1, 2, 1}));
  EXPECT_EQ(std::to_string(chain[2]->Clears) + Shape(root), "1(f (f (f f))) 4/3");
  auto doc = NewGPDomain();
  source.SaveToXML(doc->Get_FittestIndividual().Get_DNA());
  root.LoadFromXML(doc->Get_FittestIndividual().Get_DNA());
  EXPECT_EQ(std::to_string(root.Clears) + Shape(root), "1(f f) 2/1");
}
