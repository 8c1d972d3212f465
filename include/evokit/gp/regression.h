// Ready-made symbolic-regression fitness: a float program's predictions over a data table
// (batch.h) scored against a target column by mean squared error, mean absolute error or
// R², optionally after linear scaling. SetRegressionFitness makes a float GP component
// use it instead of a hand-written OnEvaluateFitness handler; it works under Evolve and
// ParallelEvolve alike. TMXGPRegressionSettings and ApplyRegressionSettings are the usual
// set-up of such a run, which the Python regressor and the demo share.
//
// Thread safety: a fitness object is immutable once built, except SetBatch, which must
// not be called while it evaluates; several threads may evaluate different individuals
// with it at once.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <evokit/gp/batch.h>
#include <evokit/gp/data_table.h>
#include <evokit/gp/genetic_programming.h>
#include <evokit/platform/enums.h>

namespace evokit {

// rmMeanSquaredError and rmMeanAbsoluteError are minimised, rmRSquared (1 - SSE / SST)
// is maximised.
enum TGPRegressionMetric { rmMeanSquaredError, rmMeanAbsoluteError, rmRSquared };
EVOKIT_ENUM_NAMES(TGPRegressionMetric, "rmMeanSquaredError", "rmMeanAbsoluteError", "rmRSquared");

class TMXGPRegressionFitness {
 public:
  // Scores programs over the columns of Table but Target against Target (copies of both
  // are kept, so a program that reads the target as a variable finds no column). With LinearScaling each program's output p is replaced by
  // a + b p, with the slope b and intercept a that minimise the squared error (b = 0 when
  // p is constant). EDataTableError for a table without rows or without the target
  // column, and for rmRSquared over a constant target (R² is then undefined).
  TMXGPRegressionFitness(const TMXDataTable& Table, const std::string& Target,
                         TGPRegressionMetric Metric = rmMeanSquaredError, bool LinearScaling = false);

  // The input columns (the table without the target) and the target's values.
  const TMXDataTable& Inputs() const noexcept { return FInputs; }
  std::span<const double> TargetValues() const noexcept { return FY; }
  const std::string& Target() const noexcept { return FTarget; }
  TGPRegressionMetric Metric() const noexcept { return FMetric; }
  bool LinearScaling() const noexcept { return FLinearScaling; }
  // fmMaximize for rmRSquared, else fmMinimize.
  TGAFitnessMethod FitnessMethod() const noexcept { return FMetric == rmRSquared ? fmMaximize : fmMinimize; }
  // True (the default): programs are compiled and run in row blocks; false: executed row
  // by row (the same results, for comparison).
  bool Batch() const noexcept { return FBatch; }
  void SetBatch(bool Value) noexcept { FBatch = Value; }

  // The fitness of Individual's program: its predictions for every row (EvaluateRows),
  // then Score. A variable without an input column (the target's included) raises
  // EGPException naming it; execution errors propagate.
  double Evaluate(TMXGPIndividual<double>& Individual) const;
  // The metric of Predictions (one per row; EArgumentOutOfRangeException otherwise)
  // against the target, after linear scaling when it is on. NaN when the result is not a
  // finite number (a prediction overflowed, say): a GP component counts that as unfit.
  double Score(std::span<const double> Predictions) const;
  // The least-squares Slope and Intercept of Target on Predictions (equal lengths):
  // Slope 0 and Intercept the target's mean when the predictions do not vary or the
  // slope is not finite.
  static void FitLinearScaling(std::span<const double> Predictions, std::span<const double> Target, double& Slope,
                               double& Intercept);

 private:
  TMXDataTable FInputs;
  std::string FTarget;
  std::vector<double> FY;
  TGPRegressionMetric FMetric;
  bool FLinearScaling;
  bool FBatch = true;
  double FMeanY = 0;
  double FSumSquaresY = 0;  // sum of (y - mean)^2
};

// Makes GP score its programs with Fitness: OnEvaluateFitness evaluates each individual
// (sharing Fitness, so it lives as long as the handler) and the fitness method becomes
// Fitness->FitnessMethod(). Parallel evaluation needs nothing more.
void SetRegressionFitness(TMXCustomGeneticProgramming<double>& GP, std::shared_ptr<const TMXGPRegressionFitness> Fitness);

// A symbolic-regression run as one value, its defaults those of the Python regressor.
// ApplyRegressionSettings gives a component the instructions and the breeding settings;
// Generations, LinearScaling, Threads and Seed are for the caller that runs it.
struct TMXGPRegressionSettings {
  int Population = 500;      // InitialPopulation
  int Generations = 50;      // generations to run at most
  int TournamentSize = 7;    // tournament selection's field
  int InitDepth = 6;         // ramped half-and-half up to this depth
  int DepthLimit = 17;       // the bsDepthLimit strategy's limit
  double CrossoverProbability = 0.9;
  double MutationProbability = 0.1;
  std::string FunctionSet = "Add Sub Mul Div";  // words for AddFloatPrimitives; blank: none
  std::string Constants = "1";                  // constant terminals, as numbers; blank: none
  double StoppingError = 0;  // the fitness cutoff: the run stops once an error is this low
  bool LinearScaling = true;  // for TMXGPRegressionFitness
  int Threads = 1;           // ParallelEvolve's workers; 0: one per core
  std::optional<std::uint64_t> Seed;  // for RandSeed; none: an unseeded run
};

// Adds to GP's instructions Settings.FunctionSet, one variable per name of Variables
// (a variable whatever the name, "exp" included) and Settings.Constants, in that order;
// then sets the initial population, ramped half-and-half initialisation to InitDepth,
// tournament selection over TournamentSize, the bsDepthLimit strategy at DepthLimit, the
// crossover and mutation probabilities, and a fitness cutoff at StoppingError. Values
// outside a setter's range are clamped as the setter does. EGPException for a name the
// set holds already or that repeats (ASCII case ignored), EGAException for a population
// beyond the limits: GP is then as it was.
void ApplyRegressionSettings(TMXCustomGeneticProgramming<double>& GP, const TMXGPRegressionSettings& Settings,
                             std::span<const std::string> Variables = {});

}  // namespace evokit
