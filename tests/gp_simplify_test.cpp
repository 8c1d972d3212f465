// Readable models: float programs as expressions, their values and text, and the
// simplifier, checked against per-row execution over many random programs.
#include "gp_test_support.h"
#include "support.h"

#include <evokit/gp/batch.h>
#include <evokit/gp/simplify.h>

#include <gtest/gtest.h>

#include <cmath>

using namespace evokit;
using namespace gptest;
using evokit::test::ErrorOf;

namespace {

// A random program at most Depth deep. Constants are few and small, zero and one among
// them; a fifth of the binary functions get two copies of one subtree. So x - x, x / x,
// x * 0 and like terms turn up often.
TMXGPNode<double>* RandomProgram(TPrimitiveSet& Engine, int Depth, TMXGPNode<double>* Parent = nullptr) {
  TMXGPInstructions<double>& set = *Engine.GetInstructions();
  const int terminals = 4, functions = set.Count() - terminals;
  const bool leaf = Depth == 0 || (Parent && Random() < 0.3);
  TMXGPInstruction<double>* instruction =
      set.Items(leaf ? functions + static_cast<int>(Random(terminals)) : static_cast<int>(Random(functions)));
  TMXGPNode<double>* node = Engine.CreateNode(instruction, Parent);
  constexpr double kConstants[] = {0, 1, -1, 2, 0.5, 3, -4};
  if (instruction->Operation() == gpConstant) node->SetValue(kConstants[Random(7)]);
  if (instruction->Arity() == 2 && Random() < 0.2)
    RandomProgram(Engine, Depth - 1, node)->Clone(node);
  else
    for (int i = 0; i < instruction->Arity(); ++i) RandomProgram(Engine, Depth - 1, node);
  return node;
}

// x over [-3, 3], y over [-800, 800] (so exp overflows), z small whole numbers
// with zeros (the protected cases).
TMXDataTable RandomTable(int Rows) {
  std::vector<double> x, y, z;
  for (int i = 0; i < Rows; ++i)
    x.push_back(6 * Random() - 3), y.push_back(1600 * Random() - 800), z.push_back(static_cast<double>(Random(5)) - 2);
  TMXDataTable table;
  table.AddColumn("x", x), table.AddColumn("y", y), table.AddColumn("z", z);
  return table;
}

// Rows where exp(y) overflows (y = 800) and where only its square does (y = 400), zero
// divisors and a large x.
TMXDataTable HostileTable() {
  TMXDataTable table;
  table.AddColumn("x", std::vector<double>{0, 1.5, -2, 3, 1e200, -0.25});
  table.AddColumn("y", std::vector<double>{800, 400, -800, 0, 2, -1});
  table.AddColumn("z", std::vector<double>{0, 1, -1, 2, 0, 0.5});
  return table;
}

// Clears Rows[i] where a subtree of Node has a finite value that is huge or tiny (but
// not zero): there a difference in rounding may grow beyond any tolerance (sin of 1e100,
// log of a rounding residue that is 0 in the other form). Infinities and NaNs stay in.
void DropIllConditioned(TMXGPNode<double>* Node, const TMXDataTable& Table, std::vector<char>& Rows) {
  std::vector<double> values(Rows.size());
  ExecuteRows(Node, Table, values);
  for (std::size_t i = 0; i < Rows.size(); ++i)
    if (const double v = std::fabs(values[i]); std::isfinite(v) && (v > 1e4 || (v != 0 && v < 1e-6))) Rows[i] = 0;
  for (int i = 0; i < Node->GetChildCount(); ++i) DropIllConditioned(Node->GetChild(i), Table, Rows);
}

// Where Original is finite on Table (and, with Conditioned, well conditioned), Simplified
// has its value to rounding.
void ExpectSameValues(TMXGPNode<double>* Original, const TMXExpression& Simplified, const TMXDataTable& Table,
                      bool Conditioned = false) {
  std::vector<double> expected(static_cast<std::size_t>(Table.RowCount()));
  ExecuteRows(Original, Table, expected);
  const std::vector<double> values = Simplified.Evaluate(Table);
  std::vector<char> rows(expected.size(), 1);
  if (Conditioned) DropIllConditioned(Original, Table, rows);
  for (std::size_t i = 0; i < expected.size(); ++i) {
    if (!std::isfinite(expected[i]) || !rows[i]) continue;
    EXPECT_NEAR(values[i], expected[i], 1e-9 * std::max(1.0, std::fabs(expected[i])))
        << Original->ToString() << " -> " << Simplified.ToString() << " row " << i;
  }
}

}  // namespace

TEST(GPSimplify, KeepsTheValuesOfRandomProgramsWhereTheyAreFinite) {
  RandSeed(2024);
  TPrimitiveSet engine("x y z");
  int original = 0, simplified = 0;
  for (int n = 0; n < 3000 && !HasFailure(); ++n) {
    const TTree program(RandomProgram(engine, 2 + n % 5));
    const TMXDataTable table = RandomTable(24);
    std::vector<double> expected(24);
    ExecuteRows(program.get(), table, expected);
    // Unsimplified, the expression computes exactly what execution does, row by row.
    const TMXExpression plain = TMXExpression::FromProgram(program.get());
    for (int row = 0; row < 24; ++row)
      EXPECT_TRUE(SameBits(plain.Evaluate(table, row), expected[static_cast<std::size_t>(row)]))
          << program->ToString() << " row " << row;
    const TMXExpression simple = Simplify(program.get());
    EXPECT_LE(simple.Size(), program->Size()) << program->ToString();
    ExpectSameValues(program.get(), simple, table, true);
    original += program->Size(), simplified += simple.Size();
  }
  EXPECT_LT(simplified, original * 3 / 4);  // the rewrites do happen
}

TEST(GPSimplify, RewritesWhatKeepsTheValueAndNothingElse) {
  TPrimitiveSet engine("x y z");
  const TMXDataTable table = HostileTable();
  const struct { const char* Program; const char* Simplified; } cases[] = {
      // neutral elements, constant chains, like terms
      {"(Mul c:1 (Div (Sub x c:0) c:1))", "x"},
      {"(Add (Mul c:2 (Add x c:1)) c:3)", "2 * x + 5"},
      {"(Add (Mul x y) (Mul y (Neg (Neg x))))", "2 * x * y"},
      {"(Mul (Add x c:1) (Add c:1 x))", "(x + 1)^2"},
      {"(AQ (Mul c:2 x) c:0)", "2 * x"},
      {"(Mul (Add (Mul c:2 x) c:2) (Mul c:0.5 y))", "y * (x + 1)"},
      {"(Sub (Mul c:0.9999999999999998 x) (Mul c:1.0000000000000002 y))", "x - y"},
      {"(AQ x (Neg (Abs y)))", "aq(x, y)"},
      {"(Exp (Mul c:2 c:500))", "exp(1000)"},  // an overflow stays visible
      // zero, x - x and x / x where a NaN of x cannot reach a finite result
      {"(Mul (Exp y) c:0)", "0"},
      {"(Div (Exp y) (Exp y))", "1"},
      {"(Div (Sub (Exp y) (Exp y)) z)", "0 / z"},
      // sign and absolute-value rules
      {"(Sqrt (Square (Sub x y)))", "abs(x - y)"},
      {"(Sub (Sin (Neg x)) (Neg (Sin x)))", "0"},
      {"(Abs (Neg (Abs (Cos (Abs x)))))", "abs(cos(x))"},
      {"(Max (Exp y) (Exp y))", "exp(y)"},
      // kept: each rewrite would change a finite result on the table
      {"(Log (Exp y))", "log(exp(y))"},
      {"(Min c:2 (Mul (Exp y) c:0))", "min(2, 0 * exp(y))"},
      {"(Max c:-1 (Add (Neg (Exp y)) (Div (Exp y) c:2)))", "max(-1, exp(y) / 2 - exp(y))"},
      {"(Div (Mul c:2 x) y)", "2 * x / y"},
      {"(Div x (Sqrt (Square (Exp y))))", "x / sqrt(exp(y)^2)"},  // an infinite divisor gives a number
  };
  for (const auto& c : cases) {
    const TTree program = engine.Build(c.Program);
    const TMXExpression simplified = Simplify(program.get());
    EXPECT_EQ(simplified.ToString(), c.Simplified) << c.Program;
    ExpectSameValues(program.get(), simplified, table);
  }
}

TEST(GPSimplify, PrintsWithOnlyTheParenthesesItNeeds) {
  TPrimitiveSet engine("x y z");
  const struct { const char* Program; const char* Readable; const char* SymPy; } cases[] = {
      {"(Sub (Sub x y) (Sub y z))", "x - y - (y - z)", "x - y - (y - z)"},
      {"(Mul (Neg (Add x y)) (Neg (Mul x c:-2)))", "-(x + y) * (-x * (-2))", "-(x + y) * (-x * (-2))"},
      {"(Sub (Square (Neg x)) (Neg (Square (Square x))))", "(-x)^2 - (-(x^2)^2)", "(-x)**2 - (-(x**2)**2)"},
      {"(Log (Div x c:3.14159265))", "log(x / 3.14159)", "log(Abs(x / 3.14159265))"},
      {"(Sqrt (Min x (Max y (Abs c:-2.5))))", "sqrt(min(x, max(y, abs(-2.5))))", "sqrt(Abs(Min(x, Max(y, Abs(-2.5)))))"},
      {"(Mul c:1e-7 (Tanh (Exp c:1000)))", "1E-7 * tanh(exp(1000))", "1E-7 * tanh(exp(1000))"},
      {"(Div c:1 (AQ (Add x y) (Mul y z)))", "1 / aq(x + y, y * z)", "1 / ((x + y)/sqrt(1 + (y * z)**2))"},
  };
  for (const auto& c : cases) {
    const TMXExpression expression = TMXExpression::FromProgram(engine.Build(c.Program).get());
    EXPECT_EQ(expression.ToString(), c.Readable);
    EXPECT_EQ(expression.ToSymPy(), c.SymPy);
  }
  const TMXExpression model = TMXExpression::FromProgram(engine.Build("(Add (Mul c:0.123456 x) y)").get());
  EXPECT_EQ(model.ToString({{"x", "age"}}, 2), "0.12 * age + y");
  EXPECT_EQ(TMXExpression::Constant(-std::numeric_limits<double>::infinity()).ToSymPy(), "-oo");
  for (const int digits : {0, 18})
    EXPECT_EQ(ErrorOf<EArgumentOutOfRangeException>([&] { (void)model.ToString({}, digits); }),
              Cat("Digits must be 1 to 17, not ", std::to_string(digits)));
}

TEST(GPSimplify, RefusesWhatItCannotExpress) {
  TPrimitiveSet engine("x y z");
  engine.Add("handled", gpFunction, 1)->SetOnExecute([](TObject*, TMXGPNode<double>*, TMXGPContext<double>*, double&) {});
  engine.Add("plain", gpFunction, 2);
  // A function without built-in computation yields 0, as in execution.
  EXPECT_EQ(Simplify(engine.Build("(Add x (plain x y))").get()).ToString(), "x");
  EXPECT_EQ(ErrorOf<EGPException>([&] { Simplify(engine.Build("(Add x (handled y))").get()); }),
            "Instruction \"handled\" has an OnExecute handler; only its program's execution knows what it computes");
  EXPECT_EQ(ErrorOf<EGPException>([&] { Simplify(engine.Build("(Add x)").get()); }),
            "Invalid number of arguments (1) for \"Add\" instruction");
  EXPECT_EQ(ErrorOf<EGPException>([&] { Simplify(TTree(new TMXGPFloatNode).get()); }), "No instruction assigned to node");
  EXPECT_EQ(ErrorOf<EGPException>([&] { TMXExpression::FromProgram(nullptr); }), "No program to turn into an expression");
  EXPECT_EQ(ErrorOf<EGPException>([&] { TMXExpression::Function(fpAdd, TMXExpression::Variable("x")); }),
            "Primitive fpAdd takes 2 arguments, not 1");

  // Deeper than MaxDepth: refused before the walk could exhaust the stack.
  std::string negations;
  for (int i = 0; i < TMXExpression::MaxDepth; ++i) negations += "(Neg ";
  const TTree chain = engine.Build(negations + "x");
  EXPECT_EQ(ErrorOf<EGPException>([&] { Simplify(chain.get()); }), "Program deeper than 2000 levels");
  EXPECT_EQ(Simplify(chain->GetChild(0)).ToString(), "-x");  // 1999 minus signs
  // A balanced sum of more distinct terms than MaxDepth: flattened it would be too deep.
  std::vector<TMXExpression> terms;
  for (int i = 0; i <= TMXExpression::MaxDepth; ++i) terms.push_back(TMXExpression::Variable(std::to_string(i)));
  for (std::size_t n = terms.size(); n > 1; n = (n + 1) / 2)
    for (std::size_t i = 0; i < n; ++i) terms[i / 2] = i % 2 ? TMXExpression::Function(fpAdd, terms[i - 1], terms[i]) : terms[i];
  EXPECT_EQ(Simplify(terms[0]).Size(), terms[0].Size());  // halves of it flattened

  const TMXDataTable table = HostileTable();
  const TMXExpression w = TMXExpression::Variable("w");
  EXPECT_EQ(ErrorOf<EGPException>([&] { (void)w.Evaluate(table); }), "Variable \"w\" has no column in the data table");
  for (const int row : {-1, 6})
    EXPECT_EQ(ErrorOf<EArgumentOutOfRangeException>([&] { (void)TMXExpression().Evaluate(table, row); }),
              Cat("Row ", std::to_string(row), " is outside the table of 6 rows"));
}
