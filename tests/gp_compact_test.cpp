// The compact program form against the tree it mirrors: random programs under random
// splices and in-place changes, made in both forms side by side.
#include "gp_test_support.h"
#include "support.h"

#include <evokit/gp/batch.h>
#include <evokit/gp/compact_program.h>
#include <evokit/gp/regression.h>
#include <evokit/platform/parallel.h>

#include <gtest/gtest.h>

using namespace evokit;
using namespace gptest;

namespace {

using TCompact = TMXGPCompactProgram<double>;

double Whole() { return static_cast<double>(Random(9)) - 4; }

// Node at pre-order Index of Root's tree.
TMXGPNode<double>* NodeAt(TMXGPNode<double>* Root, int Index) {
  std::vector<TMXGPNode<double>*> pending{Root};
  for (int i = 0;; ++i) {
    TMXGPNode<double>* node = pending.back();
    pending.pop_back();
    if (i == Index) return node;
    for (int k = node->GetChildCount() - 1; k >= 0; --k) pending.push_back(node->GetChild(k));
  }
}

// Every record agrees with its node: the program made from the tree is the same program,
// and each subtree's length, depth and parent are the tree's.
void ExpectMirrors(const TCompact& Program, TMXGPNode<double>* Tree, TTestEngine& Engine) {
  ASSERT_EQ(Program, TCompact(Tree)) << Tree->ToString();
  std::vector<TMXGPNode<double>*> preOrder;
  for (int i = 0; i < Program.Size(); ++i) preOrder.push_back(NodeAt(Tree, i));
  for (int i = 0; i < Program.Size(); ++i) {
    TMXGPNode<double>* node = preOrder[static_cast<std::size_t>(i)];
    ASSERT_EQ(Program.Record(i).Length, node->Size()) << Tree->ToString() << " at " << i;
    ASSERT_EQ(Program.Depth(i), node->Depth()) << Tree->ToString() << " at " << i;
    const int parent = Program.Parent(i);
    ASSERT_EQ(parent < 0 ? nullptr : preOrder[static_cast<std::size_t>(parent)], node->Parent());
  }
  ASSERT_EQ(Program.Print(), detail::GPProgramPrint<double>(preOrder));
  const TTree back(Program.ToTree(Engine));
  ASSERT_EQ(Shape(*back), Shape(*Tree));
}

}  // namespace

// Subtree replacements (from the other program, from itself, around or inside the
// replaced subtree, of the root), new values and new instructions: both forms stay one
// program, and evaluate to the same bits.
TEST(GPCompactProgram, MirrorsTheTreeUnderRandomChanges) {
  TPrimitiveSet engine;
  const int instructions = engine.GetInstructions()->Count();
  std::vector<double> x, y;
  for (int i = 0; i < 40; ++i) x.push_back(-2 + i / 10.0), y.push_back(i % 3);
  TMXDataTable table;
  table.AddColumn("x", x);
  table.AddColumn("y", y);
  RandSeed(5);
  for (int round = 0; round < 60; ++round) {
    TTree trees[2] = {TTree(RandomPrimitiveTree(engine, 1 + round % 6, Whole)),
                      TTree(RandomPrimitiveTree(engine, 1 + round % 4, Whole))};
    TCompact programs[2] = {TCompact(trees[0].get()), TCompact(trees[1].get())};
    for (int step = 0; step < 12; ++step) {
      const int to = static_cast<int>(Random(2)), from = static_cast<int>(Random(2));
      const int at = static_cast<int>(Random(programs[to].Size()));
      switch (const auto change = Random(4)) {
        case 0:    // splice a copy of a subtree of either program in place of the old one,
        case 1: {  // or graft it as the last child of the node the old subtree hung from
          const int source = static_cast<int>(Random(programs[from].Size()));
          TTree copy(NodeAt(trees[from].get(), source)->Clone(nullptr));
          if (change == 0) programs[to].Replace(at, programs[from], source);
          else programs[to].Graft(at, programs[from], source);
          TMXGPNode<double>* old = NodeAt(trees[to].get(), at);
          TMXGPNode<double>* parent = old->Parent();
          if (!parent) {
            trees[to] = std::move(copy);
            break;
          }
          const int index = parent->IndexOf(old);
          delete old;
          if (change == 0) parent->InsertChild(index, copy.release());
          else parent->AddChild(copy.release());
          break;
        }
        case 2: {
          const double value = Whole();
          programs[to].SetValue(at, value);
          NodeAt(trees[to].get(), at)->SetValue(value);
          break;
        }
        default: {  // any instruction, of any arity: the record stores it as the node does
          TMXGPInstruction<double>* instruction = engine.GetInstructions()->Items(static_cast<int>(Random(instructions)));
          programs[to].SetInstruction(at, instruction);
          NodeAt(trees[to].get(), at)->SetInstruction(instruction);
          break;
        }
      }
      ASSERT_NO_FATAL_FAILURE(ExpectMirrors(programs[to], trees[to].get(), engine));
    }
    // Both evaluators read the records as the tree's evaluator reads the nodes.
    for (int k = 0; k < 2; ++k) {
      std::vector<double> tree(x.size()), onePass(x.size()), compiled(x.size());
      const bool batch = EvaluateTree(trees[k].get(), table, tree);
      ASSERT_EQ(EvaluateProgram(programs[k], table, onePass), batch) << trees[k]->ToString();
      TMXGPCompiledProgram program;
      program.Compile(programs[k], table);
      ASSERT_EQ(program.PerRow(), !batch);
      if (!batch) {
        EXPECT_THROW(program.Evaluate(table, compiled), EGPException);
        continue;
      }
      program.Evaluate(table, compiled);
      for (std::size_t r = 0; r < x.size(); ++r) {
        ASSERT_TRUE(SameBits(onePass[r], tree[r])) << trees[k]->ToString() << " row " << r;
        ASSERT_TRUE(SameBits(compiled[r], tree[r])) << trees[k]->ToString() << " row " << r;
      }
    }
  }
}

// Indexes out of range raise and change nothing; the empty program is no tree.
TEST(GPCompactProgram, RefusesBadIndexes) {
  TPrimitiveSet engine;
  const TTree tree(engine.Build("(Add x (Mul y c:2))"));
  TCompact program(tree.get());
  const TCompact before = program;
  EXPECT_THROW(program.Record(5), EArgumentOutOfRangeException);
  EXPECT_THROW(program.SetValue(-1, 0), EArgumentOutOfRangeException);
  EXPECT_EQ(program, before);

  const TCompact empty(nullptr);
  EXPECT_EQ(empty.Depth(), 0);
  EXPECT_EQ(empty.ToTree(engine), nullptr);
  TMXDataTable table;
  table.AddColumn("x", std::vector<double>{1});
  std::vector<double> out(1);
  EXPECT_THROW(EvaluateProgram(empty, table, out), EGPException);
  EXPECT_EQ(program.Subtree(2), TCompact(tree->GetChild(1)));
  program.AssignSubtree(program, 2);  // a subtree of itself
  EXPECT_EQ(program, TCompact(tree->GetChild(1)));
}

namespace {

// Every program of GP's population as text, with its fitness.
std::vector<std::string> Programs(const TMXCustomGeneticProgramming<double>& GP) {
  std::vector<std::string> out;
  for (int i = 0; i < GP.Population()->Count(); ++i) {
    const TMXGPIndividual<double>* individual = GP.Population()->Items(i);
    out.push_back(individual->DNA()->ToString() + " " + std::to_string(individual->Fitness()));
  }
  return out;
}

// Individuals of GP's population holding the compact form.
int CompactOnes(const TMXCustomGeneticProgramming<double>& GP) {
  int count = 0;
  for (int i = 0; i < GP.Population()->Count(); ++i) count += GP.Population()->Items(i)->HoldsCompact();
  return count;
}

}  // namespace

// A seeded run breeds the same programs on the compact form as on trees, with the
// regression fitness (which reads the records): on one thread under the bloat strategies
// that revert and shrink a child, on two fitting coefficients and weights, writing them
// back, under the one that makes large programs unfit. (Hoisting, every mutation and
// fitnesses that execute the trees: GPRun.SeededRunsRepeatWhateverTheNumberOfThreads and
// the Python compact-breeding test.)
TEST(GPCompactBreeding, BreedsTheProgramsOfTreeBreeding) {
  std::vector<double> x, y;
  for (int i = 0; i < 30; ++i) x.push_back(-1 + i / 15.0), y.push_back(x.back() * x.back() * (1 + x.back()));
  TMXDataTable table;
  table.AddColumn("x", x);
  table.AddColumn("y", y);
  const auto plain = std::make_shared<TMXGPRegressionFitness>(table, "y");
  const auto fitted = std::make_shared<TMXGPRegressionFitness>(table, "y");
  fitted->SetCoefficientFitting(3, true, true);
  const struct { int Threads; TGPBloatStrategy Strategy; int Limit; } configs[] = {
      {1, bsDepthLimit, 5}, {1, bsShrinkDepth, 5}, {2, bsUnfitSize, 25}};
  for (const auto& config : configs) {
    std::vector<std::string> runs[2];
    for (const bool compact : {false, true}) {
      TMXGPRegressionProgramming gp;
      TMXGPRegressionSettings settings;
      settings.Population = 60, settings.VariableWeights = config.Threads == 2;
      settings.LinearSeed = false, settings.FunctionSet = "Add Sub Mul Div", settings.EphemeralConstants = true;
      ApplyRegressionSettings(gp, settings, std::vector<std::string>{"x"});
      SetRegressionFitness(gp, config.Threads == 2 ? fitted : plain);
      gp.SetBloatStrategy(config.Strategy);
      gp.SetBloatLimit(config.Limit);
      gp.SetCompactBreeding(compact);
      TParallel::SetMaxThreads(config.Threads);
      RandSeed(11);
      gp.Initialize();
      gp.ParallelEvolve(8);
      TParallel::SetMaxThreads(0);
      EXPECT_TRUE(!compact || CompactOnes(gp) > 0);
      runs[compact] = Programs(gp);
    }
    EXPECT_EQ(runs[0], runs[1]) << EnumName(config.Strategy);
  }
}
