// Symbolic regression: the standard float primitives, data tables, compiled batch
// evaluation against per-row execution, and the regression fitness in whole runs.
#include "gp_test_support.h"
#include "support.h"

#include <evokit/gp/batch.h>
#include <evokit/gp/genetic_programming.h>
#include <evokit/gp/regression.h>
#include <evokit/platform/parallel.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <cstring>
#include <span>

using namespace evokit;
using namespace gptest;
using evokit::test::ErrorOf;

namespace {

// Bitwise equality, so NaN equals NaN and 0 differs from -0.
bool SameBits(double A, double B) { return std::memcmp(&A, &B, sizeof A) == 0; }

// An engine holding every primitive, variables x and y, and the constant c.
struct TPrimitiveSet : TTestEngine {
  TPrimitiveSet() {
    AddFloatPrimitives(*GetInstructions(), "add sub mul div min max neg abs square sqrt exp log sin cos tanh x y");
    Add("c", gpConstant, 0, 1.0);
  }
  TMXGPInstruction<double>* Find(const char* Name) { return GetInstructions()->GetItemByName(Name); }
};

// A random tree over Engine's whole set, at most Depth deep; constants in [-2, 2].
TMXGPNode<double>* RandomPrimitiveTree(TTestEngine& Engine, int Depth, TMXGPNode<double>* Parent = nullptr) {
  TMXGPInstructions<double>& set = *Engine.GetInstructions();
  const int count = set.Count(), terminals = 3;
  const bool leaf = Depth == 0 || (Parent && Random() < 0.25);
  TMXGPInstruction<double>* instruction =
      set.Items(leaf ? count - terminals + static_cast<int>(Random(terminals)) : static_cast<int>(Random(count - terminals)));
  TMXGPNode<double>* node = Engine.CreateNode(instruction, Parent);
  if (instruction->Operation() == gpConstant) node->SetValue(static_cast<double>(Random(9)) / 2 - 2);
  for (int i = 0; i < instruction->Arity(); ++i) RandomPrimitiveTree(Engine, Depth - 1, node);
  return node;
}

// x and y over Rows rows: x spreads over [-3, 3], y takes a few values, zeros included.
TMXDataTable XYTable(int Rows) {
  std::vector<double> x, y;
  for (int i = 0; i < Rows; ++i) x.push_back(-3 + 6.0 * i / Rows), y.push_back((i % 5) - 2);
  TMXDataTable table;
  table.AddColumn("x", x);
  table.AddColumn("y", y);
  return table;
}

std::vector<double> Batch(TMXGPNode<double>* Root, const TMXDataTable& Table) {
  TMXGPCompiledProgram program;
  program.Compile(Root, Table);
  std::vector<double> out(static_cast<std::size_t>(Table.RowCount()));
  program.Evaluate(Table, out);
  return out;
}

// The one-pass evaluation, which must agree with the compiled program everywhere.
std::vector<double> OnePass(TMXGPNode<double>* Root, const TMXDataTable& Table) {
  std::vector<double> out(static_cast<std::size_t>(Table.RowCount()));
  EXPECT_TRUE(EvaluateTree(Root, Table, out));
  return out;
}

std::vector<double> PerRow(TMXGPNode<double>* Root, const TMXDataTable& Table) {
  std::vector<double> out(static_cast<std::size_t>(Table.RowCount()));
  ExecuteRows(Root, Table, out);
  return out;
}

}  // namespace

TEST(GPPrimitives, ComputeWithTheirProtectionsAndLetHandlersReplaceTheResult) {
  TPrimitiveSet engine;
  const double nan = std::nan("");
  struct Row { const char* Program; double X, Y, Expected; } rows[] = {
      {"(Add x y)", 1.5, 2, 3.5},       {"(Sub x y)", 1, 3, -2},          {"(Mul x y)", -2, 3, -6},
      {"(Div x y)", 3, 2, 1.5},         {"(Div x y)", 3, 0, 1},           {"(Div x y)", 3, -0.0, 1},
      {"(Min x y)", 1, -2, -2},         {"(Max x y)", 1, -2, 1},          {"(Min x y)", 1, nan, 1},
      {"(Neg x)", 2, 0, -2},            {"(Abs x)", -2, 0, 2},            {"(Square x)", -3, 0, 9},
      {"(Sqrt x)", -4, 0, 2},           {"(Exp x)", 0, 0, 1},             {"(Log x)", 0, 0, 0},
      {"(Log x)", -std::exp(2.0), 0, 2}, {"(Sin x)", 0, 0, 0},           {"(Cos x)", 0, 0, 1},
      {"(Tanh x)", 0, 0, 0},            {"(Add (Mul x c:2) y)", 1, 1, 3},
  };
  for (const Row& row : rows) {
    TTree tree(BuildTree(*engine.GetInstructions(), row.Program));
    TMXGPContext<double> context;
    context.Values()->AddOrSetValue("x", row.X), context.Values()->AddOrSetValue("y", row.Y);
    EXPECT_NEAR(tree->Execute(&context), row.Expected, 1e-15) << row.Program << " " << row.X << " " << row.Y;
  }
  engine.Find("Add")->SetOnExecute([](TObject*, TMXGPNode<double>*, TMXGPContext<double>*, double& R) { R *= 10; });
  TTree sum(BuildTree(*engine.GetInstructions(), "(Add c c:2)"));
  EXPECT_EQ(sum->Execute(nullptr), 30);
}

TEST(GPPrimitives, AddByNameAllOrNothingAndSurviveCopies) {
  TTestEngine engine;
  TMXGPInstructions<double>& set = *engine.GetInstructions();
  const auto added = AddFloatPrimitives(set, "sqrt, Div x 2.5");
  ASSERT_EQ(added.size(), 4u);
  EXPECT_EQ(Kind(added[0]) + " " + Kind(added[1]), "Sqrt '' gpFunction/1 Div '' gpFunction/2");
  EXPECT_EQ(Kind(added[2]) + " " + Kind(added[3]), "x '' gpVariable/0 2.5 '' gpConstant/0");
  EXPECT_EQ(added[3]->Value(), 2.5);
  for (const char* bad : {"y X", "y Y", "z inf", " , "}) {
    EXPECT_THROW(AddFloatPrimitives(set, bad), EGPException) << bad;
    EXPECT_EQ(set.Count(), 4) << bad;
  }
  TMXGPFloatInstructions copy(nullptr, TCollectionItemClass::Of<TMXGPFloatPrimitive>());
  copy.Assign(&set);
  EXPECT_EQ(static_cast<TMXGPFloatPrimitive*>(copy.Items(1))->Primitive(), fpDiv);
  EXPECT_EQ(static_cast<TMXGPFloatPrimitive*>(copy.Items(2))->Primitive(), fpNone);
}

// Every primitive of the table is added by its name in lower case and computes its row's
// scalar function bit for bit per row, compiled over each operand shape and in one pass.
TEST(GPPrimitives, EveryRowComputesItsFunctionOnEveryPath) {
  const TMXDataTable table = XYTable(TMXGPCompiledProgram::BlockRows + 9);
  const std::span<const double> x = table.Column(0), y = table.Column(1);
  const double c = 0.75;
  for (const TGPFloatPrimitiveRow& row : FloatPrimitives) {
    if (row.Primitive == fpNone) continue;
    std::string name(row.Name);
    for (char& ch : name) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    TTestEngine engine;
    TMXGPInstruction<double>* primitive = AddFloatPrimitives(*engine.GetInstructions(), name + " x y").front();
    TMXGPInstruction<double>* constant = engine.Add("c", gpConstant);
    ASSERT_EQ(primitive->Name(), row.Name);
    // The operands as (instruction, column or null for c): x y, x c, c x; x alone when unary.
    using TOperand = std::pair<TMXGPInstruction<double>*, const double*>;
    const TOperand ox{engine.GetInstructions()->GetItemByName("x"), x.data()};
    const TOperand oy{engine.GetInstructions()->GetItemByName("y"), y.data()}, oc{constant, nullptr};
    std::vector<std::vector<TOperand>> shapes{{ox}};
    if (row.Arity == 2) shapes = {{ox, oy}, {ox, oc}, {oc, ox}};
    for (const std::vector<TOperand>& operands : shapes) {
      TTree tree(engine.CreateNode(primitive, nullptr));
      for (const TOperand& operand : operands) engine.CreateNode(operand.first, tree.get())->SetValue(c);
      const auto value = [&](const TOperand& Operand, std::size_t R) { return Operand.second ? Operand.second[R] : c; };
      const std::vector<double> batch = Batch(tree.get(), table), once = OnePass(tree.get(), table),
                                rows = PerRow(tree.get(), table);
      for (std::size_t r = 0; r < rows.size(); ++r) {
        const double a = value(operands[0], r);
        const double expected = row.Arity == 2 ? row.Binary(a, value(operands[1], r)) : row.Unary(a);
        for (const double got : {batch[r], once[r], rows[r]})
          ASSERT_TRUE(SameBits(got, expected)) << tree->ToString() << " row " << r << ": " << got << " " << expected;
      }
    }
    // A value outside the enumeration is refused and changes nothing.
    auto& instruction = static_cast<TMXGPFloatPrimitive&>(*primitive);
    EXPECT_THROW(instruction.SetPrimitive(static_cast<TGPFloatPrimitive>(FloatPrimitives.size())),
                 EArgumentOutOfRangeException);
    EXPECT_EQ(std::pair(instruction.Primitive(), instruction.Arity()), std::pair(row.Primitive, row.Arity));
  }
}

TEST(GPDataTable, BuildsFromColumnsAndCSVAndNamesWhatIsWrong) {
  TMXDataTable table = TMXDataTable::FromCSVText(" x , \"y 2\"\r\n1, -2.5e1\n\n+3,4\n");
  ASSERT_EQ(table.ColumnCount(), 2);
  EXPECT_EQ(table.ColumnName(1), "y 2");
  EXPECT_EQ(std::vector<double>(table.Column("y 2").begin(), table.Column("y 2").end()), (std::vector<double>{-25, 4}));
  EXPECT_EQ(table.Column(0)[1], 3);
  EXPECT_EQ(TMXDataTable::FromCSVText("a,b\n").RowCount(), 0);
  const struct { const char* Text; const char* Message; } bad[] = {
      {"", "without a header row"},
      {"a,,b\n", "line 1, column 2 (\"\"): a column needs a name"},
      {"a,a\n", "line 1, column 2 (\"a\"): the name is already taken"},
      {"a,b\n1,2\n3\n", "line 3: 1 fields, the header has 2"},
      {"a,b\n1,2\n3,x4\n", "line 3, column 2 (\"b\"): 'x4' is not a number"},
      {"a,b\n1,\n", "line 2, column 2 (\"b\"): empty field"},
      {"a,b\n1,2 3\n", "'2 3' is not a number"},
      {"a,b\nnan,2\n", "line 2, column 1 (\"a\"): 'nan' is not a finite number"},
      {"a,b\n1e999,2\n", "'1e999' is not a finite number"},
  };
  for (const auto& row : bad)
    EXPECT_NE(ErrorOf<EDataTableError>([&] { TMXDataTable::FromCSVText(row.Text); }).find(row.Message), std::string::npos)
        << row.Text << " -> " << ErrorOf<EDataTableError>([&] { TMXDataTable::FromCSVText(row.Text); });
  const std::uint64_t stamp = table.LayoutStamp();
  EXPECT_THROW(table.AddColumn("x", std::vector<double>{1, 2}), EDataTableError);
  EXPECT_THROW(table.AddColumn("z", std::vector<double>{1}), EDataTableError);
  EXPECT_EQ(ErrorOf<EDataTableError>([&] { table.AddColumn("z", std::vector<double>{1, INFINITY}); }),
            "Column \"z\" holds INF in row 1: the table holds finite numbers only");
  EXPECT_EQ(table.ColumnCount(), 2);
  EXPECT_EQ(table.LayoutStamp(), stamp);
  EXPECT_THROW(TMXDataTable::LoadFromCSVFile("/nonexistent/data.csv"), EFOpenError);
}

// Every shape of tree gives the bits of per-row execution, over several row blocks.
TEST(GPBatch, EqualsPerRowExecutionBitForBit) {
  TPrimitiveSet engine;
  const TMXDataTable table = XYTable(3 * TMXGPCompiledProgram::BlockRows + 17);
  RandSeed(7);
  for (int i = 0; i < 300; ++i) {
    TTree tree(RandomPrimitiveTree(engine, 1 + i % 7));
    const std::vector<double> batch = Batch(tree.get(), table), rows = PerRow(tree.get(), table),
                              once = OnePass(tree.get(), table);
    for (std::size_t r = 0; r < rows.size(); ++r) {
      ASSERT_TRUE(SameBits(batch[r], rows[r])) << tree->ToString() << " row " << r << ": " << batch[r] << " " << rows[r];
      ASSERT_TRUE(SameBits(once[r], rows[r])) << tree->ToString() << " row " << r << ": " << once[r] << " " << rows[r];
    }
  }
}

TEST(GPBatch, FoldsConstantsAndKeepsScratchSmallOnDeepTrees) {
  TPrimitiveSet engine;
  const TMXDataTable table = XYTable(5);
  TMXGPCompiledProgram program;
  TTree folded(BuildTree(*engine.GetInstructions(), "(Mul x (Add c:2 (Neg c:1)))"));
  program.Compile(folded.get(), table);
  EXPECT_EQ(program.StepCount(), 1);
  EXPECT_EQ(Batch(folded.get(), table), PerRow(folded.get(), table));
  // A chain 100,000 deep on either side: no recursion, and two slots whichever side.
  for (int side = 0; side < 2; ++side) {
    TTree root(engine.CreateNode(engine.Find("Sub"), nullptr));
    TMXGPNode<double>* node = root.get();
    for (int i = 0; i < 100000; ++i) {
      TMXGPNode<double>* chain = engine.CreateNode(engine.Find(side ? "y" : "Sub"), node);
      TMXGPNode<double>* other = engine.CreateNode(engine.Find(side ? "Sub" : "y"), node);
      node = side ? other : chain;
      (void)chain, (void)other;
    }
    engine.CreateNode(engine.Find("x"), node), engine.CreateNode(engine.Find("y"), node);
    program.Compile(root.get(), table);
    EXPECT_LE(program.SlotCount(), 2);
    EXPECT_EQ(program.BlockBytes(), program.SlotCount() * TMXGPCompiledProgram::BlockRows * sizeof(double));
    // Too deep for (recursive) per-row execution: the same sums, one level at a time.
    const std::vector<double> out = Batch(root.get(), table);
    EXPECT_EQ(OnePass(root.get(), table), out);
    for (int r = 0; r < 5; ++r) {
      const double x = table.Column("x")[r], y = table.Column("y")[r];
      double expected = x - y;
      for (int i = 0; i < 100000; ++i) expected = side ? y - expected : expected - y;
      EXPECT_EQ(out[r], expected) << side;
    }
  }
}

// Children that do not run (under a function without a built-in, which yields 0, or
// under a variable) are still checked, and every way skips them alike.
TEST(GPBatch, ChildrenThatDoNotRunAreSkippedAlike) {
  TPrimitiveSet engine;
  engine.Add("plain", gpFunction, 2);
  const TMXDataTable table = XYTable(TMXGPCompiledProgram::BlockRows + 3);
  TTree tree(BuildTree(*engine.GetInstructions(), "(sub (plain x (mul y y)) (add x y))"));
  TMXGPNode<double>* x = tree->GetChild(1)->GetChild(0);
  engine.CreateNode(engine.Find("y"), x);  // a variable with a child
  const std::vector<double> rows = PerRow(tree.get(), table);
  EXPECT_EQ(Batch(tree.get(), table), rows);
  EXPECT_EQ(OnePass(tree.get(), table), rows);
  EXPECT_EQ(rows[5], -(table.Column("x")[5] + table.Column("y")[5]));
}

TEST(GPBatch, HandlersAndMissingColumnsGoThePerRowWay) {
  TPrimitiveSet engine;
  const TMXDataTable table = XYTable(10);
  TTree tree(BuildTree(*engine.GetInstructions(), "(Add (Mul x y) (Sin x))"));
  TMXGPCompiledProgram program;
  program.Compile(tree.get(), table);
  EXPECT_FALSE(program.PerRow());
  // A handler set after compiling is still honoured.
  engine.Find("Mul")->SetOnExecute([](TObject*, TMXGPNode<double>*, TMXGPContext<double>*, double& R) { R = -R; });
  EXPECT_TRUE(program.PerRow());
  std::vector<double> out(10);
  program.Evaluate(table, out);
  EXPECT_EQ(out, PerRow(tree.get(), table));
  EXPECT_EQ(out[1], -(-3 + 0.6) * -1 + std::sin(-3 + 0.6));
  std::vector<double> untouched(10, 7.0);
  EXPECT_FALSE(EvaluateTree(tree.get(), table, untouched));  // the one pass declines alike
  EXPECT_EQ(untouched, std::vector<double>(10, 7.0));
  TTree stranger(BuildTree(*engine.GetInstructions(), "(Add x c)"));
  stranger->GetChild(1)->SetInstruction(nullptr);
  EXPECT_EQ(ErrorOf<EGPException>([&] { Batch(stranger.get(), table); }), "No instruction assigned to node");
  TMXDataTable onlyX;
  onlyX.AddColumn("x", std::vector<double>{1});
  for (auto way : {&Batch, &PerRow, &OnePass})
    EXPECT_EQ(ErrorOf<EGPException>([&] { way(tree.get(), onlyX); }), "Variable \"y\" has no column in the data table");
  EXPECT_THROW(program.Evaluate(onlyX, out), EGPException);  // compiled for another layout
}

namespace {

// The generic GP component over float instructions and nodes, persistence left out.
class TFloatGP : public TMXCustomGeneticProgramming<double> {
 public:
  TFloatGP() { RecreateInstructions({}); }
  TMXGPInstructions<double>* CreateInstructions(TCollectionItemClass) override {
    return new TMXGPFloatInstructions(this, TCollectionItemClass::Of<TMXGPFloatPrimitive>());
  }
  TMXGPNode<double>* CreateNode(TMXGPInstruction<double>* I, TMXGPNode<double>* P) override { return new TMXGPFloatNode(I, P); }
  void LoadFromFile(const std::string&) override {}
  void LoadFromStream(TStream&) override {}
  void SaveToFile(const std::string&) override {}
  void SaveToStream(TStream&) override {}
  void LoadFromXML(const IXMLGeneticProgram&) override {}
  void LoadFromXML(const IXMLGPDomainType&) override {}
  void LoadFromXML(const IXMLGPInstructions&) override {}
  void SaveToXML(const IXMLGeneticProgram&) override {}
  void SaveToXML(const IXMLGPDomainType&) override {}
  void SaveToXML(const IXMLGPInstructions&) override {}
};

// x over [-1, 1) and the quartic x^4 + x^3 + x^2 + x as y.
TMXDataTable Quartic(int Points) {
  std::vector<double> x, y;
  for (int i = 0; i < Points; ++i) x.push_back(-1 + 2.0 * i / Points), y.push_back(x.back() * (1 + x.back() * (1 + x.back() * (1 + x.back()))));
  TMXDataTable table;
  table.AddColumn("x", x);
  table.AddColumn("y", y);
  return table;
}

}  // namespace

TEST(GPRegression, ScoresPredictionsByEachMetricWithAndWithoutScaling) {
  TMXDataTable table;
  table.AddColumn("x", std::vector<double>{0, 1, 2, 3});
  table.AddColumn("y", std::vector<double>{1, 3, 5, 7});  // 2x + 1
  const std::vector<double> p{0, 1, 2, 4};                // errors 1, 2, 3, 3; SST 20
  const struct { TGPRegressionMetric Metric; bool Scaling; double Expected; } rows[] = {
      {rmMeanSquaredError, false, 23.0 / 4}, {rmMeanAbsoluteError, false, 9.0 / 4}, {rmRSquared, false, 1 - 23.0 / 20},
  };
  for (const auto& row : rows)
    EXPECT_DOUBLE_EQ(TMXGPRegressionFitness(table, "y", row.Metric, row.Scaling).Score(p), row.Expected) << row.Metric;
  double slope, intercept;
  TMXGPRegressionFitness::FitLinearScaling(std::vector<double>{0, 1, 2, 3}, table.Column("y"), slope, intercept);
  EXPECT_EQ(slope * 10 + intercept, 21);
  TMXGPRegressionFitness::FitLinearScaling(std::vector<double>{4, 4, 4, 4}, table.Column("y"), slope, intercept);
  EXPECT_EQ(slope * 10 + intercept, 4);
  // Off the line, every point counts: y = 0, 2, 1 over p = 0, 1, 2 fits 0.5 p + 0.5.
  TMXGPRegressionFitness::FitLinearScaling(std::vector<double>{0, 1, 2}, std::vector<double>{0, 2, 1}, slope, intercept);
  EXPECT_DOUBLE_EQ(slope, 0.5);
  EXPECT_DOUBLE_EQ(intercept, 0.5);
  EXPECT_EQ(TMXGPRegressionFitness(table, "y", rmRSquared, true).Score(std::vector<double>{0, 1, 2, 3}), 1);
  // The least-squares line leaves less error than any other: p scaled beats p and 2p + 1.
  const double scaled = TMXGPRegressionFitness(table, "y", rmMeanSquaredError, true).Score(p);
  EXPECT_GT(scaled, 0);
  EXPECT_LT(scaled, TMXGPRegressionFitness(table, "y").Score(std::vector<double>{1, 3, 5, 9}));
  EXPECT_TRUE(std::isnan(TMXGPRegressionFitness(table, "y").Score(std::vector<double>{0, 1, 2, 1e300})));
  EXPECT_THROW(TMXGPRegressionFitness(table, "y").Score(std::vector<double>{1}), EArgumentOutOfRangeException);
  EXPECT_THROW(TMXGPRegressionFitness(table, "z"), EDataTableError);
  EXPECT_THROW(TMXGPRegressionFitness(TMXDataTable::FromCSVText("x,y\n"), "y"), EDataTableError);
  EXPECT_THROW(TMXGPRegressionFitness(TMXDataTable::FromCSVText("x,y\n1,2\n3,2\n"), "y", rmRSquared), EDataTableError);
}

// The compiled program an individual keeps follows its tree; an overflowing program is
// unfit; the target is no input.
TEST(GPRegression, EvaluatesIndividualsThroughTheirCachedProgram) {
  TFloatGP gp;
  AddFloatPrimitives(*gp.Instructions(), "Add Mul Exp x y 1");
  // More than one block of rows: smaller tables are evaluated in one pass, uncached.
  const int rows = TMXGPCompiledProgram::BlockRows + 50;
  auto fitness = std::make_shared<TMXGPRegressionFitness>(Quartic(rows), "y");
  SetRegressionFitness(gp, fitness);
  TMXGPPopulation<double> scratch(&gp);
  TMXGPIndividual<double>* item = scratch.Add();
  TTree tree(BuildTree(*gp.Instructions(), "(Add x 1)"));
  item->SetDNA(tree.get());
  const double first = fitness->Evaluate(*item);
  ASSERT_NE(item->TreeCache(), nullptr);
  item->DNA()->GetChild(1)->SetValue(0);  // (Add x 0)
  item->MarkChanged();
  EXPECT_NE(fitness->Evaluate(*item), first);
  fitness->SetBatch(false);
  EXPECT_EQ(fitness->Evaluate(*item), TMXGPRegressionFitness(Quartic(rows), "y").Score(Quartic(rows).Column("x")));
  tree.reset(BuildTree(*gp.Instructions(), "(Exp (Exp (Exp (Mul x 1:20))))"));
  item->SetDNA(tree.get());
  EXPECT_EQ(item->Fitness(), gp.UnfitFitness());
  tree.reset(BuildTree(*gp.Instructions(), "(Add x y)"));
  item->SetDNA(tree.get());
  EXPECT_EQ(ErrorOf<EGPException>([&] { fitness->Evaluate(*item); }), "Variable \"y\" has no column in the data table");
}

// The quartic run with ready-made primitives and fitness: batch and per-row evaluation
// make the same run, under Evolve and under ParallelEvolve (on two threads and on one).
TEST(GPRegression, WholeRunsAgreeWhateverThePathAndThreads) {
  std::vector<std::string> results;
  for (int variant = 0; variant < 4; ++variant) {
    TFloatGP gp;
    AddFloatPrimitives(*gp.Instructions(), "Add Sub Mul Div x");
    gp.SetInitialPopulation(200), gp.SetInitializationMethod(imRampedHalfAndHalf), gp.SetInitializationDepth(6);
    gp.SetSelectionMethod(smTournament), gp.SetBloatStrategy(bsDepthLimit), gp.SetBloatLimit(17);
    auto fitness = std::make_shared<TMXGPRegressionFitness>(Quartic(200), "y");
    fitness->SetBatch(variant % 2 == 0);
    SetRegressionFitness(gp, fitness);
    TParallel::SetMaxThreads(variant == 2 ? 2 : 1);
    RandSeed(3);
    const int generations = variant < 2 ? gp.Evolve(15) : gp.ParallelEvolve(15);
    TParallel::SetMaxThreads(0);
    results.push_back(std::to_string(generations) + " " + FloatToStr(gp.FittestIndividual()->Fitness()) + " " +
                      gp.FittestIndividual()->DNA()->ToString());
    EXPECT_LT(gp.FittestIndividual()->Fitness(), 0.05) << results.back();
  }
  EXPECT_EQ(results[0], results[1]);
  EXPECT_EQ(results[2], results[3]);
}
