// Coefficient fitting: recovery of known coefficients, exact derivatives against finite
// differences over random programs, the iteration bound, programs without coefficients,
// non-finite outputs and bad input.
#include "gp_test_support.h"
#include "support.h"

#include <evokit/gp/batch.h>
#include <evokit/gp/coefficients.h>
#include <evokit/gp/regression.h>

#include <gtest/gtest.h>

#include <cmath>

using namespace evokit;
using namespace gptest;
using evokit::test::ErrorOf;

namespace {

// x over [-1, 1] and y over [0, 3], in 200 rows (three full blocks and a part).
TMXDataTable Table(int Rows = 200) {
  std::vector<double> x, y;
  for (int i = 0; i < Rows; ++i) x.push_back(-1 + 2.0 * i / (Rows - 1)), y.push_back(3.0 * ((i * 7) % Rows) / Rows);
  TMXDataTable table;
  table.AddColumn("x", x);
  table.AddColumn("y", y);
  return table;
}

std::vector<double> Target(const TMXDataTable& Table, double (*F)(double, double)) {
  std::vector<double> out;
  for (int i = 0; i < Table.RowCount(); ++i) out.push_back(F(Table.Column("x")[i], Table.Column("y")[i]));
  return out;
}

// Constants of the random trees: uniform in [-2, 2).
double Uniform() { return 4 * Random() - 2; }

}  // namespace

TEST(GPCoefficients, RecoverKnownCoefficientsFromStartsOff) {
  struct TCase {
    const char* Program;
    double (*Model)(double x, double y);
    std::vector<double> Expected;
    bool Weights = false, Scaling = false;
    double Intercept = 0, Slope = 1;
  };
  const std::vector<TCase> cases = {
      {"(add (mul c:0.5 x) c:0.1)", [](double x, double) { return 2.5 * x - 1.3; }, {2.5, -1.3}},
      // Weights on the variable leaves: w1 x + sin(w2 y).
      {"(add x (sin y))", [](double x, double y) { return -0.75 * x + std::sin(0.5 * y); }, {-0.75, 0.5}, true},
      {"(sin (mul c:0.8 x))", [](double x, double) { return 3 + 2 * std::sin(1.3 * x); }, {1.3}, false, true, 3, 2},
  };
  TPrimitiveSet engine;
  const TMXDataTable table = Table();
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Program);
    const TTree tree = engine.Build(c.Program);
    const std::vector<TMXGPNode<double>*> nodes = CoefficientNodes(tree.get(), c.Weights);
    ASSERT_EQ(nodes.size(), c.Expected.size());
    const std::vector<double> y = Target(table, c.Model);
    const std::string before = tree->ToString();
    TMXGPCoefficientOptions options{.MaxIterations = 100, .LinearScaling = c.Scaling};
    const TMXGPCoefficientFit fit = FitCoefficients(tree.get(), nodes, table, y, options);
    for (std::size_t k = 0; k < c.Expected.size(); ++k) EXPECT_NEAR(fit.Values[k], c.Expected[k], 1e-8);
    EXPECT_NEAR(fit.Intercept, c.Intercept, 1e-8);
    EXPECT_NEAR(fit.Slope, c.Slope, 1e-8);
    EXPECT_LT(fit.Error, 1e-16);
    EXPECT_GT(fit.InitialError, 1e-3);
    EXPECT_EQ(tree->ToString(), before);  // reported only
    // Written back, the constants take their fitted values (a variable's weight is reported only).
    options.WriteBack = true;
    FitCoefficients(tree.get(), nodes, table, y, options);
    for (std::size_t k = 0; k < c.Expected.size() && !c.Weights; ++k) EXPECT_NEAR(nodes[k]->Value(), c.Expected[k], 1e-8);
  }
}

TEST(GPCoefficients, DerivativesAgreeWithCentralDifferencesOverRandomPrograms) {
  TPrimitiveSet engine;
  const TMXDataTable table = Table(100);
  const std::size_t rows = 100;
  RandSeed(20240531);
  int compared = 0;
  for (int program = 0; program < 300; ++program) {
    const TTree tree(RandomPrimitiveTree(engine, 1 + program % 5, Uniform));
    const std::vector<TMXGPNode<double>*> nodes = CoefficientNodes(tree.get(), program % 2 == 1);
    const std::size_t n = nodes.size();
    std::vector<double> theta(n);
    for (double& v : theta) v = 4 * Random() - 2;
    std::vector<double> out(rows), jacobian(rows * n), plus(rows), minus(rows), scratch(rows * n);
    CoefficientJacobian(tree.get(), nodes, table, theta, out, jacobian);

    // The outputs at the tree's own values (weights 1) are the batch evaluator's.
    std::vector<double> own(n), batch(rows), mine(rows);
    for (std::size_t k = 0; k < n; ++k)
      own[k] = nodes[k]->Instruction()->Operation() == gpConstant ? nodes[k]->Value() : 1.0;
    CoefficientJacobian(tree.get(), nodes, table, own, mine, scratch);
    ASSERT_TRUE(EvaluateTree(tree.get(), table, batch));
    for (std::size_t i = 0; i < rows; ++i) ASSERT_TRUE(SameBits(mine[i], batch[i])) << tree->ToString() << " row " << i;

    for (std::size_t k = 0; k < n; ++k) {
      const double h = 1e-6 * std::max(1.0, std::fabs(theta[k]));
      std::vector<double> moved = theta;
      moved[k] = theta[k] + h;
      CoefficientJacobian(tree.get(), nodes, table, moved, plus, scratch);
      moved[k] = theta[k] - h;
      CoefficientJacobian(tree.get(), nodes, table, moved, minus, scratch);
      for (std::size_t i = 0; i < rows; ++i) {
        const double exact = jacobian[k * rows + i];
        const double forward = (plus[i] - out[i]) / h, backward = (out[i] - minus[i]) / h;
        const double central = (plus[i] - minus[i]) / (2 * h);
        if (!std::isfinite(central) || !std::isfinite(exact) || std::fabs(out[i]) > 1e6) continue;
        // Only where both one-sided slopes agree is the program smooth at this point (no
        // kink of Abs, Min or Max, no jump of a protection in between).
        const double scale = std::max({1.0, std::fabs(forward), std::fabs(backward)});
        if (std::fabs(forward - backward) > 1e-3 * scale) continue;
        ++compared;
        EXPECT_NEAR(exact, central, 1e-4 * std::max({1.0, std::fabs(exact), std::fabs(central)}))
            << tree->ToString() << " coefficient " << k << " row " << i;
      }
    }
  }
  // The comparison is not vacuous: most of the 300 programs' derivatives were checked.
  EXPECT_GT(compared, 40000);
}

TEST(GPCoefficients, ProtectionsGiveTheDerivativesOfTheirConstantPieces) {
  TPrimitiveSet engine;
  TMXDataTable table;
  table.AddColumn("x", std::vector<double>{0, 0.25, -4});
  // A program and d out / d c per row.
  for (const auto& [program, expected] : std::vector<std::pair<const char*, std::vector<double>>>{
           {"(div c:2 x)", {0, 4, -0.25}},           // 1 at a zero divisor, whatever the numerator
           {"(log (mul c:2 x))", {0, 0.5, 0.5}},     // log |c x|: 1/c, and 0 where the value is 0
           {"(sqrt (mul c:-1 x))", {0, -0.25, -1}},  // sign(c x) x / (2 sqrt |c x|), and 0 at c x = 0
           {"(abs (mul c:-1 x))", {0, -0.25, -4}}}) {    // sign(c x) x
    SCOPED_TRACE(program);
    const TTree tree = engine.Build(program);
    const auto nodes = CoefficientNodes(tree.get());
    std::vector<double> out(3), jacobian(3);
    CoefficientJacobian(tree.get(), nodes, table, std::vector<double>{nodes[0]->Value()}, out, jacobian);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_DOUBLE_EQ(jacobian[i], expected[i]) << "row " << i;
  }
}

TEST(GPCoefficients, IterationsStopAtTheBound) {
  TPrimitiveSet engine;
  const TMXDataTable table = Table();
  const std::vector<double> y = Target(table, [](double x, double) { return 1.5 * std::exp(0.7 * x); });
  double previous = INFINITY;
  for (int bound : {0, 1, 2, 4, 40}) {
    SCOPED_TRACE(bound);
    const TTree tree = engine.Build("(mul c:1 (exp (mul c:-0.5 x)))");
    const TMXGPCoefficientFit fit =
        FitCoefficients(tree.get(), CoefficientNodes(tree.get()), table, y, {.MaxIterations = bound});
    EXPECT_EQ(fit.Iterations, bound == 40 ? std::min(fit.Iterations, 40) : bound);  // far from converged before
    EXPECT_TRUE(bound > 0 || (fit.Values == std::vector<double>{1, -0.5} && fit.Error == fit.InitialError));
    EXPECT_LE(fit.Error, previous);
    previous = fit.Error;
  }
  EXPECT_LT(previous, 1e-16);
}

// Nothing to fit: a program without coefficients is scored as it is (the regression
// fitness's mean squared error), one whose outputs are not finite gets a NaN error; either
// way, with and without scaling, the tree stays as it was.
TEST(GPCoefficients, ProgramsWithNothingToFitAreScoredAndLeftUnchanged) {
  TPrimitiveSet engine;
  const TMXDataTable table = Table();
  const std::vector<double> y = Target(table, [](double x, double) { return 2 + 3 * std::sin(x); });
  TMXDataTable withTarget = table;
  withTarget.AddColumn("target", y);
  for (const char* program : {"(sin x)", "(exp (mul c:1000 x))", "(sub (exp (mul c:800 x)) (exp (mul c:900 x)))"}) {
    const TTree tree = engine.Build(program);
    const std::string before = tree->ToString();
    const auto nodes = CoefficientNodes(tree.get());
    for (bool scaling : {false, true}) {
      SCOPED_TRACE(Cat(program, scaling ? " scaled" : ""));
      const TMXGPCoefficientFit fit =
          FitCoefficients(tree.get(), nodes, table, y, {.LinearScaling = scaling, .WriteBack = true});
      EXPECT_EQ(tree->ToString(), before);
      if (!nodes.empty()) {
        EXPECT_TRUE(std::isnan(fit.Error) && std::isnan(fit.InitialError));
        EXPECT_EQ(fit.Iterations, 0);
        continue;
      }
      const TMXGPRegressionFitness score(withTarget, "target", rmMeanSquaredError, scaling);
      std::vector<double> out(y.size());
      ASSERT_TRUE(EvaluateTree(tree.get(), table, out));
      EXPECT_NEAR(fit.Error, score.Score(out), 1e-12);
      EXPECT_EQ(fit.Error < 1e-20, scaling);  // scaled, 2 + 3 sin(x) exactly
    }
  }
}

TEST(GPCoefficients, BadInputRaisesAndLeavesTheTreeAlone) {
  TPrimitiveSet engine;
  const TMXDataTable table = Table();
  TMXDataTable onlyX;
  onlyX.AddColumn("x", table.Column("x"));
  const std::vector<double> y(200, 1.0), shortY(199), start{1, 2};
  const TTree tree = engine.Build("(add (mul c:2 x) (sin y))"), other = engine.Build("(mul c:2 x)");
  using TNodes = std::vector<TMXGPNode<double>*>;
  const TNodes nodes = CoefficientNodes(tree.get()), twice{nodes[0], nodes[0]}, function{tree->GetChild(0)},
               foreign{other->GetChild(0)};
  const TMXGPCoefficientOptions options{.WriteBack = true}, negative{.MaxIterations = -1};
  const auto fit = [&](const TNodes& Nodes, const TMXDataTable& Table, std::span<const double> Target,
                       const TMXGPCoefficientOptions& Options, std::span<const double> Start = {}) {
    return [&, Target, Start] { FitCoefficients(tree.get(), Nodes, Table, Target, Options, Start); };
  };
  const char* const notLeaf = "A coefficient node is not a constant or variable the program computes with";
  EXPECT_EQ(ErrorOf<EGPException>(fit(twice, table, y, options)), "A coefficient node is given twice");
  EXPECT_EQ(ErrorOf<EGPException>(fit(function, table, y, options)), notLeaf);
  EXPECT_EQ(ErrorOf<EGPException>(fit(foreign, table, y, options)), notLeaf);
  EXPECT_EQ(ErrorOf<EGPException>(fit(nodes, onlyX, y, options)), "Variable \"y\" has no column in the data table");
  EXPECT_EQ(ErrorOf<EArgumentOutOfRangeException>(fit(nodes, table, shortY, options)),
            "Target has 199 values, 200 expected");
  EXPECT_EQ(ErrorOf<EArgumentOutOfRangeException>(fit(nodes, table, y, options, start)), "Start has 2 values, 1 expected");
  EXPECT_EQ(ErrorOf<EArgumentOutOfRangeException>(fit(nodes, table, y, negative)), "The iteration limit is negative");
  std::vector<double> infinite = y;
  infinite[7] = INFINITY;
  EXPECT_EQ(ErrorOf<EArgumentOutOfRangeException>(fit(nodes, table, infinite, options)),
            "The target holds a value that is not finite");
  TMXDataTable empty;
  empty.AddColumn("x", std::vector<double>{}), empty.AddColumn("y", std::vector<double>{});
  EXPECT_EQ(ErrorOf<EArgumentOutOfRangeException>(fit(nodes, empty, {}, options)), "The data table has no rows");
  EXPECT_EQ(ErrorOf<EGPException>([&] { FitCoefficients(nullptr, TNodes{}, table, y, options); }), "No program to fit");
  engine.GetInstructions()->GetItemByName("Sin")->SetOnExecute(
      [](TObject*, TMXGPNode<double>*, TMXGPContext<double>*, double& R) { R = 0; });
  EXPECT_EQ(ErrorOf<EGPException>(fit(nodes, table, y, options)),
            "The program cannot be differentiated: an instruction has an OnExecute handler");
  EXPECT_EQ(tree->ToString(), "(Add (Mul 2 x) (Sin y))");
}
