#include <evokit/gp/regression.h>

#include <cmath>
#include <vector>

#include <evokit/gp/primitives.h>
#include <evokit/platform/pool.h>

namespace evokit {

namespace {

// Predictions of one thread's evaluations, reused from call to call.
thread_local std::vector<double> tPredictions;

bool HasWords(const std::string& Names) { return Names.find_first_not_of(" ,\t\r\n") != std::string::npos; }

}  // namespace

TMXGPRegressionFitness::TMXGPRegressionFitness(const TMXDataTable& Table, const std::string& Target,
                                               TGPRegressionMetric Metric, bool LinearScaling)
    : FTarget(Target), FMetric(Metric), FLinearScaling(LinearScaling) {
  if (Table.RowCount() == 0) throw EDataTableError("The data table has no rows");
  const std::span<const double> target = Table.Column(Target);
  FY.assign(target.begin(), target.end());
  for (int c = 0; c < Table.ColumnCount(); ++c)
    if (Table.ColumnName(c) != Target) FInputs.AddColumn(Table.ColumnName(c), Table.Column(c));
  double sum = 0;
  for (double y : FY) sum += y;
  FMeanY = sum / static_cast<double>(FY.size());
  for (double y : FY) FSumSquaresY += (y - FMeanY) * (y - FMeanY);
  if (Metric == rmRSquared && FSumSquaresY == 0)
    throw EDataTableError("Column \"" + Target + "\" is constant: R^2 is undefined");
}

double TMXGPRegressionFitness::Evaluate(TMXGPIndividual<double>& Individual) const {
  std::vector<double>& predictions = ThreadLocal(tPredictions);
  predictions.resize(FY.size());
  EvaluateRows(Individual, FInputs, predictions, FBatch);
  return Score(predictions);
}

double TMXGPRegressionFitness::Score(std::span<const double> Predictions) const {
  if (Predictions.size() != FY.size())
    throw EArgumentOutOfRangeException(std::to_string(Predictions.size()) + " predictions for " +
                                       std::to_string(FY.size()) + " rows");
  double slope = 1, intercept = 0;
  if (FLinearScaling) FitLinearScaling(Predictions, FY, slope, intercept);
  const std::size_t n = FY.size();
  double sum = 0;
  if (FMetric == rmMeanAbsoluteError) {
    for (std::size_t i = 0; i < n; ++i) sum += std::fabs(FY[i] - (intercept + slope * Predictions[i]));
  } else {
    for (std::size_t i = 0; i < n; ++i) {
      const double error = FY[i] - (intercept + slope * Predictions[i]);
      sum += error * error;
    }
  }
  const double result = FMetric == rmRSquared ? 1 - sum / FSumSquaresY : sum / static_cast<double>(n);
  return std::isfinite(result) ? result : std::nan("");
}

void TMXGPRegressionFitness::FitLinearScaling(std::span<const double> Predictions, std::span<const double> Target,
                                              double& Slope, double& Intercept) {
  const std::size_t n = std::min(Predictions.size(), Target.size());
  double meanP = 0, meanY = 0;
  for (std::size_t i = 0; i < n; ++i) meanP += Predictions[i], meanY += Target[i];
  meanP /= static_cast<double>(n ? n : 1), meanY /= static_cast<double>(n ? n : 1);
  double covariance = 0, variance = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double dp = Predictions[i] - meanP;
    covariance += dp * (Target[i] - meanY);
    variance += dp * dp;
  }
  Slope = variance > 0 ? covariance / variance : 0;
  if (!std::isfinite(Slope)) Slope = 0;
  Intercept = meanY - Slope * meanP;
  // Predictions that overflowed leave no finite intercept: the score becomes NaN.
}

void SetRegressionFitness(TMXCustomGeneticProgramming<double>& GP, std::shared_ptr<const TMXGPRegressionFitness> Fitness) {
  if (!Fitness) throw EArgumentOutOfRangeException("A regression fitness is required");
  GP.SetFitnessMethod(Fitness->FitnessMethod());
  GP.SetOnEvaluateFitness([Fitness](TObject*, TMXIndividual* Item, TGAFitness& Value) {
    Value = Fitness->Evaluate(*static_cast<TMXGPIndividual<double>*>(Item));
  });
}

void ApplyRegressionSettings(TMXCustomGeneticProgramming<double>& GP, const TMXGPRegressionSettings& Settings,
                             std::span<const std::string> Variables) {
  const int population = GP.InitialPopulation();
  GP.SetInitialPopulation(Settings.Population);  // the one setter that may refuse
  TMXGPInstructions<double>& set = *GP.Instructions();
  const int count = set.Count();
  try {
    if (HasWords(Settings.FunctionSet)) AddFloatPrimitives(set, Settings.FunctionSet);
    for (const std::string& name : Variables) {
      if (set.FindItemName(name)) throw EGPException("Instruction \"" + name + "\" is already in the set");
      TMXGPInstruction<double>* variable = set.Add();
      variable->SetName(name);
      variable->SetOperation(gpVariable);
    }
    if (HasWords(Settings.Constants)) AddFloatPrimitives(set, Settings.Constants);
  } catch (...) {
    while (set.Count() > count) set.Delete(set.Count() - 1);
    GP.SetInitialPopulation(population);
    throw;
  }
  GP.SetInitializationMethod(imRampedHalfAndHalf);
  GP.SetInitializationDepth(Settings.InitDepth);
  GP.SetSelectionMethod(smTournament);
  GP.SetTournamentField(Settings.TournamentSize);
  GP.SetBloatStrategy(bsDepthLimit);
  GP.SetBloatLimit(Settings.DepthLimit);
  GP.SetCrossoverProbability(Settings.CrossoverProbability);
  GP.SetMutationProbability(Settings.MutationProbability);
  GP.SetUseFitnessCutoff(true);
  GP.SetFitnessCutoff(Settings.StoppingError);
}

}  // namespace evokit
