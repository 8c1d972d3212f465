// Batch evaluation of float programs. 500 random programs of the quartic set (Add, Sub,
// Mul, protected Div over x), as ramped half-and-half initialisation up to depth 6 makes
// them, over 20 and 1,000 rows, single-threaded, in three ways: executed row by row
// through the node objects (ExecuteRows), compiled and run in row blocks
// (TMXGPCompiledProgram; "+compile" compiles each program anew every time), and a plain
// hand-written postfix loop over the same trees, as a yardstick, and the same programs in
// the compact form (compact_program.h), one pass and compiled. Reports tree nodes
// evaluated per second and the scratch one row block needs. Then the whole quartic
// regression run at 1,000 points, breeding included, with the ready-made regression
// fitness in batch and in per-row mode.
#include <evokit/gp/batch.h>
#include <evokit/gp/genetic_programming.h>
#include <evokit/gp/regression.h>
#include <evokit/platform/random.h>

#include <benchmark/benchmark.h>

#include "float_gp.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <vector>

namespace {

using namespace evokit;

using TFloatBenchGP = bench::TFloatBenchGP;

// The quartic setting of the evolution benchmark, with the standard primitives.
void SetUpQuartic(TFloatBenchGP& GP, int Population) {
  AddFloatPrimitives(*GP.Instructions(), "Add Sub Mul Div x");
  GP.SetInitialPopulation(Population);
  GP.SetSelectionMethod(smTournament);
  GP.SetInitializationMethod(imRampedHalfAndHalf);
  GP.SetInitializationDepth(6);
  GP.SetBloatStrategy(bsDepthLimit);
  GP.SetBloatLimit(17);
}

// x over [-1, 1) and the quartic as y; Inputs leaves y out.
TMXDataTable QuarticTable(int Points, bool Inputs) {
  std::vector<double> x, y;
  for (int i = 0; i < Points; ++i) {
    x.push_back(-1 + 2.0 * i / Points);
    y.push_back(x.back() * (1 + x.back() * (1 + x.back() * (1 + x.back()))));
  }
  TMXDataTable table;
  table.AddColumn("x", x);
  if (!Inputs) table.AddColumn("y", y);
  return table;
}

// --- the yardstick: a plain postfix loop ---------------------------------------------------

enum TPlainOp : unsigned char { poX, poConstant, poAdd, poSub, poMul, poDiv };
struct TPlainInstruction {
  TPlainOp Op;
  double Value;
};

// Postfix of a tree of the quartic set (recursion is fine at these depths).
void ToPostfix(const TMXGPNode<double>* Node, std::vector<TPlainInstruction>& Out) {
  for (int i = 0; i < Node->GetChildCount(); ++i) ToPostfix(Node->GetChild(i), Out);
  const std::string& name = Node->Instruction()->Name();
  const TPlainOp op = name == "x" ? poX : name == "Add" ? poAdd : name == "Sub" ? poSub : name == "Mul" ? poMul
                    : name == "Div" ? poDiv : poConstant;
  Out.push_back({op, Node->Value()});
}

// A stack of row blocks: a variable copies its block in, a function combines the top two.
void RunPostfix(const std::vector<TPlainInstruction>& Program, const double* X, int Rows, double* Out,
                std::vector<double>& Stack) {
  constexpr int B = TMXGPCompiledProgram::BlockRows;
  Stack.resize(std::max<std::size_t>(Stack.size(), Program.size() * B));
  for (int start = 0; start < Rows; start += B) {
    const int n = std::min(B, Rows - start);
    double* top = Stack.data() - B;  // the block on top of the stack
    for (const TPlainInstruction& instruction : Program) {
      switch (instruction.Op) {
        case poX: top += B; std::copy_n(X + start, n, top); break;
        case poConstant: top += B; std::fill_n(top, n, instruction.Value); break;
        case poAdd: top -= B; for (int i = 0; i < n; ++i) top[i] += top[i + B]; break;
        case poSub: top -= B; for (int i = 0; i < n; ++i) top[i] -= top[i + B]; break;
        case poMul: top -= B; for (int i = 0; i < n; ++i) top[i] *= top[i + B]; break;
        case poDiv:
          top -= B;
          for (int i = 0; i < n; ++i) {
            const double q = top[i] / top[i + B];
            top[i] = top[i + B] == 0 ? 1.0 : q;
          }
          break;
      }
    }
    std::copy_n(top, n, Out + start);
  }
}

// Arguments: rows, and the way: 0 per row, 1 batch, 2 batch with compiling, 3 plain loop,
// 4 one pass over the tree (EvaluateTree), 5 one pass over the compact form
// (EvaluateProgram), 6 compiling the compact form each time.
void BM_EvaluatePrograms(benchmark::State& State) {
  const int rows = static_cast<int>(State.range(0));
  const int way = static_cast<int>(State.range(1));
  TFloatBenchGP gp;
  SetUpQuartic(gp, 500);
  RandSeed(1);
  gp.Initialize();
  const TMXDataTable table = QuarticTable(rows, true);
  std::vector<TMXGPNode<double>*> trees;
  std::int64_t nodes = 0;
  for (int i = 0; i < gp.Population()->Count(); ++i) {
    trees.push_back(gp.Population()->Items(i)->DNA());
    nodes += trees.back()->Size();
  }
  std::vector<TMXGPCompiledProgram> programs(trees.size());
  std::vector<TMXGPCompactProgram<double>> compact;
  for (const TMXGPNode<double>* tree : trees) compact.emplace_back(tree);
  std::vector<std::vector<TPlainInstruction>> plain(trees.size());
  std::size_t maxBlockBytes = 0, slots = 0;
  for (std::size_t i = 0; i < trees.size(); ++i) {
    programs[i].Compile(trees[i], table);
    ToPostfix(trees[i], plain[i]);
    maxBlockBytes = std::max(maxBlockBytes, programs[i].BlockBytes());
    slots += static_cast<std::size_t>(programs[i].SlotCount());
  }
  std::vector<double> out(static_cast<std::size_t>(rows)), stack;
  double check = 0;
  for (auto _ : State) {
    for (std::size_t i = 0; i < trees.size(); ++i) {
      switch (way) {
        case 0: ExecuteRows(trees[i], table, out); break;
        case 1: programs[i].Evaluate(table, out); break;
        case 2: programs[i].Compile(trees[i], table), programs[i].Evaluate(table, out); break;
        case 3: RunPostfix(plain[i], table.Column(0).data(), rows, out.data(), stack); break;
        case 4: EvaluateTree(trees[i], table, out); break;
        case 5: EvaluateProgram(compact[i], table, out); break;
        default: programs[i].Compile(compact[i], table), programs[i].Evaluate(table, out); break;
      }
      check += out[static_cast<std::size_t>(rows) / 2];
    }
  }
  benchmark::DoNotOptimize(check);
  const char* labels[] = {"per row",  "batch",        "batch+compile", "plain postfix loop",
                          "one pass", "compact pass", "compact+compile"};
  State.SetLabel(labels[way]);
  State.counters["nodes/s"] = benchmark::Counter(static_cast<double>(nodes * rows), benchmark::Counter::kIsIterationInvariantRate);
  State.counters["avg_size"] = static_cast<double>(nodes) / static_cast<double>(trees.size());
  State.counters["avg_slots"] = static_cast<double>(slots) / static_cast<double>(trees.size());
  State.counters["max_block_bytes"] = static_cast<double>(maxBlockBytes);
}
BENCHMARK(BM_EvaluatePrograms)
    ->ArgNames({"rows", "way"})
    ->ArgsProduct({{20, 1000}, {0, 1, 2, 3, 4, 5, 6}})
    ->Unit(benchmark::kMillisecond);

// What breeding does to a child, in both forms, over 500 programs as initialisation makes
// them: a copy of its parent (copy 1) and a subtree crossover with another (crossover 1:
// the copy, then the subtree at a node of the child replaced by a copy of a subtree of the
// other parent), the child then freed. Argument form: 0 the trees (Clone, delete), 1 the
// compact form (a copied array, Replace). Reports program nodes per second.
void BM_BreedPrograms(benchmark::State& State) {
  const bool compact = State.range(0) != 0, crossover = State.range(1) != 0;
  TFloatBenchGP gp;
  SetUpQuartic(gp, 500);
  RandSeed(1);
  gp.Initialize();
  std::vector<TMXGPNode<double>*> trees;
  std::vector<TMXGPCompactProgram<double>> programs;
  std::int64_t nodes = 0;
  for (int i = 0; i < gp.Population()->Count(); ++i) {
    trees.push_back(gp.Population()->Items(i)->DNA());
    programs.emplace_back(trees.back());
    nodes += trees.back()->Size();
  }
  const std::size_t n = trees.size();
  std::int64_t check = 0;
  for (auto _ : State) {
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t other = (i * 7 + 3) % n;
      if (compact) {
        TMXGPCompactProgram<double> child = programs[i];
        if (crossover)
          child.Replace(static_cast<int>(i) % child.Size(), programs[other],
                        static_cast<int>(i * 5) % programs[other].Size());
        check += child.Size();
        continue;
      }
      std::unique_ptr<TMXGPNode<double>> child(trees[i]->Clone(nullptr));
      if (crossover) {
        const TMXGPCompactProgram<double>& shape = programs[i];  // the same node indexes as the compact run
        const int at = static_cast<int>(i) % shape.Size(), from = static_cast<int>(i * 5) % programs[other].Size();
        std::vector<TMXGPNode<double>*> pending{child.get()}, source{trees[other]};
        TMXGPNode<double>* node = nullptr;
        for (int k = 0; k <= at; ++k) {
          node = pending.back(), pending.pop_back();
          for (int c = node->GetChildCount() - 1; c >= 0; --c) pending.push_back(node->GetChild(c));
        }
        TMXGPNode<double>* donor = nullptr;
        for (int k = 0; k <= from; ++k) {
          donor = source.back(), source.pop_back();
          for (int c = donor->GetChildCount() - 1; c >= 0; --c) source.push_back(donor->GetChild(c));
        }
        TMXGPNode<double>* copy = donor->Clone(nullptr);
        if (TMXGPNode<double>* parent = node->Parent()) {
          const int index = parent->IndexOf(node);
          delete node;
          parent->InsertChild(index, copy);
        } else {
          child.reset(copy);
        }
      }
      check += child->Size();
    }
  }
  benchmark::DoNotOptimize(check);
  State.SetLabel(compact ? "compact" : "tree");
  State.counters["nodes/s"] = benchmark::Counter(static_cast<double>(nodes), benchmark::Counter::kIsIterationInvariantRate);
  State.counters["bytes/node"] = compact ? static_cast<double>(sizeof(TGPRecord<double>))
                                         : static_cast<double>(sizeof(TMXGPFloatNode));
}
BENCHMARK(BM_BreedPrograms)->ArgNames({"compact", "crossover"})->ArgsProduct({{0, 1}, {0, 1}})->Unit(benchmark::kMicrosecond);

// The whole quartic regression run: 500 individuals, 50 generations, tournaments of 7,
// depth limit 17, over 1,000 points; argument 1 evaluates in batch, 0 row by row; reuse 1
// scores each distinct program once per generation (ReuseFitness).
void BM_GPQuarticRegressionBatch(benchmark::State& State) {
  const bool batch = State.range(0) != 0;
  const int points = static_cast<int>(State.range(1));
  const bool reuse = State.range(2) != 0;
  std::int64_t generations = 0, nodes = 0, runNodes = 0;
  double seconds = 0;
  for (auto _ : State) {
    State.PauseTiming();
    TFloatBenchGP gp;
    SetUpQuartic(gp, 500);
    auto fitness = std::make_shared<TMXGPRegressionFitness>(QuarticTable(points, false), "y");
    fitness->SetBatch(batch);
    SetRegressionFitness(gp, fitness);
    gp.SetReuseFitness(reuse);
    // Counts the tree nodes each evaluation runs over all the points.
    gp.SetOnEvaluateFitness([&nodes, points, evaluate = gp.OnEvaluateFitness()](TObject* Sender, TMXIndividual* Item,
                                                                                  TGAFitness& Value) {
      evaluate(Sender, Item, Value);
      nodes += static_cast<std::int64_t>(static_cast<TMXGPIndividual<double>*>(Item)->FlattenedDNA().size()) * points;
    });
    RandSeed(1);
    gp.Initialize();
    nodes = 0;
    State.ResumeTiming();
    const auto start = std::chrono::steady_clock::now();
    generations += gp.Evolve(50);
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    runNodes += nodes;
    State.counters["best"] = gp.FittestIndividual()->Fitness();
    State.counters["avg_size"] = gp.AvgProgramSize();
  }
  State.SetLabel(batch ? "batch" : "per row");
  State.counters["s/generation"] = seconds / static_cast<double>(generations);
  State.counters["nodes/s"] = static_cast<double>(runNodes) / seconds;
}
BENCHMARK(BM_GPQuarticRegressionBatch)
    ->ArgNames({"batch", "points", "reuse"})
    ->Args({1, 1000, 0})
    ->Args({1, 1000, 1})
    ->Args({0, 1000, 0})
    ->Args({1, 20, 0})
    ->Args({1, 20, 1})
    ->Args({0, 20, 0})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);

}  // namespace
