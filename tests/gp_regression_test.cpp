// The regression run's model helpers: the linear seed of the first population and the
// refit of the archive over every row once held-out rows have chosen the model.
#include <evokit/gp/coefficients.h>
#include <evokit/gp/regression.h>
#include <evokit/platform/random.h>

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

using namespace evokit;

namespace {

// y = 1 + 2 x1 - 3 x2 + 0.5 x3 + x1 x2 + noise over Rows rows, x4 unused; the product is
// what a linear model misses.
TMXDataTable Table(int Rows) {
  TMXDataTable table;
  std::vector<double> x1, x2, x3, x4, y;
  for (int i = 0; i < Rows; ++i) {
    x1.push_back(std::sin(0.7 * i)), x2.push_back(std::cos(1.3 * i)), x3.push_back(0.01 * i - 1);
    x4.push_back(std::cos(0.3 * i));
    y.push_back(1 + 2 * x1.back() - 3 * x2.back() + 0.5 * x3.back() + x1.back() * x2.back() + 0.1 * std::sin(5.1 * i));
  }
  table.AddColumn("x1", x1), table.AddColumn("x2", x2), table.AddColumn("x3", x3), table.AddColumn("x4", x4);
  table.AddColumn("y", y);
  return table;
}

const std::vector<std::string> kVariables{"x1", "x2", "x3", "x4"};

}  // namespace

TEST(GPRegressionModel, LinearSeedStartsTheRunFromTheLinearModel) {
  const TMXDataTable table = Table(120);
  TMXGPRegressionSettings settings;
  settings.Population = 20;
  settings.CoefficientIterations = 10;
  auto fitness = std::make_shared<TMXGPRegressionFitness>(table, "y", rmMeanSquaredError, true);
  fitness->SetCoefficientFitting(settings.CoefficientIterations, true, true);
  TMXGPRegressionProgramming gp;
  ApplyRegressionSettings(gp, settings, kVariables);
  SetRegressionFitness(gp, fitness);
  EXPECT_FALSE(SeedLinearModel(gp, kVariables));  // not initialised
  RandSeed(3);
  gp.Initialize();
  const auto last = [&] { return gp.Population()->Items(gp.Population()->Count() - 1); };
  const std::string before = last()->DNA()->ToString();
  for (const std::vector<std::string>& refused : {std::vector<std::string>{}, std::vector<std::string>{"x1", "y"},
                                                  std::vector<std::string>{"x1", "1"}}) {
    EXPECT_FALSE(SeedLinearModel(gp, refused));
    EXPECT_EQ(last()->DNA()->ToString(), before);
  }
  ASSERT_TRUE(SeedLinearModel(gp, kVariables));
  EXPECT_EQ(last()->DNA()->ToString(), "(Add (Add x1 x2) (Add x3 x4))");
  EXPECT_FALSE(last()->NeedFitness());
  // Its fitness is the least-squares linear model's error: the fitted weights and the
  // scaling reproduce it.
  double slope = 0, intercept = 0;
  std::vector<double> values(static_cast<std::size_t>(table.RowCount()));
  ProgramValues(last()->DNA(), table, values, true);
  TMXGPRegressionFitness::FitLinearScaling(values, fitness->TargetValues(), slope, intercept);
  const std::vector<TMXGPNode<double>*> weights = CoefficientNodes(last()->DNA(), true);
  ASSERT_EQ(weights.size(), 4u);
  EXPECT_NEAR(slope * weights[1]->Value(), -3, 0.1);
  EXPECT_NEAR(slope * weights[2]->Value(), 0.5, 0.1);
  EXPECT_NEAR(last()->Fitness(), fitness->Score(values), 1e-12);
  EXPECT_LE(gp.FittestIndividual()->Fitness(), last()->Fitness());
  // A program over the limits, or a set without Add, is refused.
  TMXGPRegressionProgramming small, noAdd;
  settings.SizeLimit = 5;  // the sum of four takes seven nodes
  ApplyRegressionSettings(small, settings, kVariables);
  settings.FunctionSet = "Sub Mul";
  ApplyRegressionSettings(noAdd, settings, kVariables);
  for (TMXGPRegressionProgramming* other : {&small, &noAdd}) {
    SetRegressionFitness(*other, fitness);
    other->Initialize();
    EXPECT_FALSE(SeedLinearModel(*other, kVariables));
  }
  EXPECT_TRUE(SeedLinearModel(small, std::vector<std::string>{"x1", "x2", "x3"}));
}

TEST(GPRegressionModel, RefitLearnsFromEveryRowAndKeepsTheChoice) {
  const TMXDataTable table = Table(160);
  TMXDataTable training, held;
  SplitRows(table, 0.5, 7, training, held);
  TMXGPRegressionSettings settings;
  settings.Population = 60;
  auto fitness = std::make_shared<TMXGPRegressionFitness>(training, "y", rmMeanSquaredError, true);
  fitness->SetCoefficientFitting(settings.CoefficientIterations, true, true);
  auto validation = std::make_shared<TMXGPRegressionFitness>(held, "y", rmMeanSquaredError, false);
  TMXGPRegressionProgramming gp;
  ApplyRegressionSettings(gp, settings, kVariables);
  SetRegressionFitness(gp, fitness);
  TMXGPRegressionArchive archive(fitness, validation);
  RandSeed(5);
  gp.SetOnEvolve([&](TObject*) { archive.Update(gp); });
  gp.Evolve(6);
  ASSERT_GE(archive.Front().size(), 2u);
  const auto* chosen = archive.Select(msValidation);
  const std::ptrdiff_t index = chosen - archive.Front().data();

  TMXGPRegressionFitness all(table, "y", rmMeanSquaredError, true), unscaled(table, "y", rmMeanSquaredError, false);
  all.SetCoefficientFitting(settings.CoefficientIterations, true, true);
  unscaled.SetCoefficientFitting(settings.CoefficientIterations, true, true);
  std::vector<std::string> programs;
  std::vector<double> before, held_errors;
  std::vector<double> values(static_cast<std::size_t>(table.RowCount()));
  for (const auto& entry : archive.Front()) {
    programs.push_back(entry.Program->ToString());
    ProgramValues(entry.Program.get(), table, values, true);
    before.push_back(all.Score(values));
    held_errors.push_back(entry.ValidationError);
  }
  EXPECT_THROW(archive.Refit(unscaled), EArgumentOutOfRangeException);
  EXPECT_EQ(archive.Front()[0].Program->ToString(), programs[0]);

  archive.Refit(all);
  ASSERT_EQ(archive.Front().size(), programs.size());
  bool gained = false;
  for (std::size_t i = 0; i < programs.size(); ++i) {
    const auto& entry = archive.Front()[i];
    EXPECT_EQ(entry.ValidationError, held_errors[i]);
    // The same shape, scored over every row with its scaling fitted there, no worse.
    const std::vector<double> predictions = TMXGPRegressionArchive::Predict(entry, table);
    ProgramValues(entry.Program.get(), table, values, true);
    EXPECT_NEAR(entry.Error, all.Score(values), 1e-9 * entry.Error);
    double residual = 0;
    for (int r = 0; r < table.RowCount(); ++r)
      residual += std::pow(predictions[static_cast<std::size_t>(r)] - all.TargetValues()[static_cast<std::size_t>(r)], 2);
    EXPECT_NEAR(entry.Error, residual / table.RowCount(), 1e-9 * entry.Error);
    EXPECT_LE(entry.Error, before[i] * (1 + 1e-12));
    gained |= entry.Error < before[i] * (1 - 1e-6);
  }
  EXPECT_TRUE(gained);
  EXPECT_EQ(archive.Select(msValidation) - archive.Front().data(), index);
}
