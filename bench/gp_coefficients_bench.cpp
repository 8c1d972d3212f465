// Coefficient fitting: 10 Levenberg-Marquardt iterations on one program of 50 nodes
// (Add, Sub, Mul, Div, Sin, Exp over ten variables and constants) over 442 rows, the
// size of a small real regression data set, single-threaded. Each run starts from the
// same values (nothing is written back). Arguments: whether variable leaves carry
// weights as well, and whether linear scaling is on. Reports the time of one fit of 10
// iterations, and the coefficients fitted.
#include <evokit/gp/coefficients.h>
#include <evokit/gp/genetic_programming.h>
#include <evokit/gp/primitives.h>
#include <evokit/platform/random.h>

#include <benchmark/benchmark.h>

#include "float_gp.h"

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace evokit;

using TFloatBenchGP = bench::TFloatBenchGP;

constexpr int kFunctions = 6;  // Add Sub Mul Div Sin Exp, then x0..x9, then c

TMXGPNode<double>* Grow(TMXGPInstructions<double>& Set, int Depth, TMXGPNode<double>* Parent) {
  const bool leaf = Depth == 0 || (Parent && Random() < 0.3);
  const int terminals = Set.Count() - kFunctions;
  TMXGPInstruction<double>* instruction =
      Set.Items(leaf ? kFunctions + static_cast<int>(Random(terminals)) : static_cast<int>(Random(kFunctions)));
  TMXGPNode<double>* node = Parent ? Parent->CreateNode(instruction, Parent) : new TMXGPFloatNode(instruction);
  if (instruction->Operation() == gpConstant) node->SetValue(2 * Random() - 1);
  for (int i = 0; i < instruction->Arity(); ++i) Grow(Set, Depth - 1, node);
  return node;
}

void BM_FitCoefficients(benchmark::State& State) {
  TFloatBenchGP gp;
  AddFloatPrimitives(*gp.Instructions(), "Add Sub Mul Div Sin Exp x0 x1 x2 x3 x4 x5 x6 x7 x8 x9 0.5");
  RandSeed(442);
  TMXDataTable table;
  for (int c = 0; c < 10; ++c) {
    std::vector<double> column;
    for (int i = 0; i < 442; ++i) column.push_back(Random() - 0.5);
    table.AddColumn(std::string("x").append(std::to_string(c)), column);
  }
  std::vector<double> target;
  for (int i = 0; i < 442; ++i)
    target.push_back(150 + 300 * table.Column(2)[i] + 200 * table.Column(8)[i] * table.Column(3)[i] + 50 * Random());
  std::unique_ptr<TMXGPNode<double>> tree;
  do tree.reset(Grow(*gp.Instructions(), 8, nullptr));
  while (tree->Size() != 50);

  const std::vector<TMXGPNode<double>*> nodes = CoefficientNodes(tree.get(), State.range(0) != 0);
  TMXGPCoefficientOptions options;
  options.MaxIterations = 10;
  options.Tolerance = 0;  // all ten iterations
  options.LinearScaling = State.range(1) != 0;
  TMXGPCoefficientFit fit;
  for (auto _ : State) {
    fit = FitCoefficients(tree.get(), nodes, table, target, options);
    benchmark::DoNotOptimize(fit.Error);
  }
  State.counters["coefficients"] = static_cast<double>(nodes.size());
  State.counters["iterations"] = fit.Iterations;
  State.counters["error_ratio"] = fit.Error / fit.InitialError;
}
BENCHMARK(BM_FitCoefficients)->ArgNames({"weights", "scaling"})->Args({0, 0})->Args({0, 1})->Args({1, 1})
    ->Unit(benchmark::kMicrosecond);

}  // namespace
