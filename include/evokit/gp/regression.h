// Ready-made symbolic-regression fitness: a float program's predictions over a data table
// (batch.h) scored against a target column by mean squared error, mean absolute error or
// R², optionally after linear scaling. SetRegressionFitness makes a float GP component
// use it instead of a hand-written OnEvaluateFitness handler; it works under Evolve and
// ParallelEvolve alike. TMXGPRegressionSettings and ApplyRegressionSettings are the usual
// set-up of such a run, which the Python regressor and the demo share;
// TMXGPRegressionArchive keeps the run's best programs and picks the model;
// TMXGPRegressionProgramming is the GP component that can draw ephemeral random constants.
//
// Thread safety: a fitness object is immutable once built, except SetBatch and
// SetCoefficientFitting, which must not be called while it evaluates; several threads may evaluate different individuals
// with it at once.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <evokit/gp/batch.h>
#include <evokit/gp/data_table.h>
#include <evokit/gp/genetic_programming.h>
#include <evokit/gp/gp_components.h>
#include <evokit/platform/enums.h>
#include <evokit/platform/exceptions.h>

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
  // Coefficient fitting (coefficients.h): before a program is scored, up to Iterations
  // Levenberg-Marquardt iterations tune its constant leaves to the least squared error
  // (under linear scaling when it is on), and the program is scored with the fitted
  // values; 0, the default, scores programs as they are. With Lamarckian the fitted
  // values are written into the tree and the individual is marked changed; without, the
  // tree keeps its own values. A program without constant leaves is scored as it is.
  // With VariableWeights every variable leaf computes w * x, its weight w being the
  // node's Value() (ApplyRegressionSettings starts them at 1), and the weights are fitted
  // and kept as the constants are; with 0 iterations they are read but never changed.
  // On a table of more than FitRows rows the iterations run over every k-th row, FitRows
  // at most, and the program is then scored over all of them.
  // EArgumentOutOfRangeException, nothing changed, for Iterations outside 0..1000.
  void SetCoefficientFitting(int Iterations, bool Lamarckian = true, bool VariableWeights = false);
  static constexpr int FitRows = 1024;
  int CoefficientIterations() const noexcept { return FIterations; }
  bool Lamarckian() const noexcept { return FLamarckian; }
  bool VariableWeights() const noexcept { return FWeights; }
  // The fit Evaluate makes of Root's coefficients (CoefficientNodes(Root,
  // VariableWeights()), starting from the nodes' values), with Iterations in place of
  // CoefficientIterations() when above 0, written into the tree when WriteBack (the
  // caller then marks an individual changed); the fitted values in the nodes' order,
  // empty without fitting or coefficients. Errors as for FitCoefficients.
  std::vector<double> FitConstants(TMXGPNode<double>* Root, bool WriteBack, int Iterations = 0) const;

  // The fitness of Individual's program: its predictions for every row (EvaluateRows),
  // after the coefficient fit when it is on, then Score. A variable without an input column (the target's included) raises
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
  int FIterations = 0;
  bool FLamarckian = true;
  bool FWeights = false;
  double FMeanY = 0;
  double FSumSquaresY = 0;  // sum of (y - mean)^2
  TMXDataTable FSample;     // the rows the iterations run over when FInputs has more than FitRows
  std::vector<double> FSampleY;
};

// Makes GP score its programs with Fitness: OnEvaluateFitness evaluates each individual
// (sharing Fitness, so it lives as long as the handler) and the fitness method becomes
// Fitness->FitnessMethod(). Parallel evaluation needs nothing more.
void SetRegressionFitness(TMXCustomGeneticProgramming<double>& GP, std::shared_ptr<const TMXGPRegressionFitness> Fitness);

// Root's value for each row of Table into Out (RowCount() values): compiled over blocks
// when the tree allows it, else row by row; with VariableWeights each variable leaf
// computes Value() * x, as a fitness with variable weights reads it. Errors as for
// EvaluateTree and CoefficientValues.
void ProgramValues(TMXGPNode<double>* Root, const TMXDataTable& Table, std::span<double> Out,
                   bool VariableWeights = false);

// The float GP component of symbolic regression: TMXGeneticProgramming whose node
// factories can make ephemeral random constants. Once SetEphemeralConstant names a
// constant instruction, each node of it that a factory makes (the initial trees, the
// subtrees and leaves of mutation) takes a value drawn uniformly from [Low, High) through
// Random(), so a seeded run is reproducible whatever the number of threads. Copies
// (crossover, Clone) keep their values. Without an ephemeral constant it behaves as
// TMXGeneticProgramming exactly, without a draw more.
class TMXGPRegressionProgramming : public TMXGeneticProgramming {
 public:
  using TMXGeneticProgramming::TMXGeneticProgramming;
  std::string ClassName() const override { return "TMXGPRegressionProgramming"; }

  // Instruction: a constant of this component's set, or null for none. EGPException for
  // an instruction of another set or kind, EArgumentOutOfRangeException for bounds that
  // are not finite or with Low above High; nothing changes then. An instruction leaving
  // the set stops the draws.
  void SetEphemeralConstant(TMXGPInstruction<double>* Instruction, double Low, double High);
  TMXGPInstruction<double>* EphemeralConstant() const noexcept { return FEphemeral; }
  double EphemeralLow() const noexcept { return FLow; }
  double EphemeralHigh() const noexcept { return FHigh; }
  void InstructionNotify(TMXGPInstruction<double>* Instruction, TCollectionNotification Action) override;
  // TMXGeneticProgramming's Assign; from another TMXGPRegressionProgramming also the
  // ephemeral constant (this component's copy of it, at the same position) and its
  // bounds. Any other source leaves no ephemeral constant when it replaced the set.
  void Assign(const TPersistent* Source) override;
  // Streams the ephemeral constant as "EphemeralConstant = (index low high)", after the
  // instructions it refers to; reading it back makes that constant of the read set the
  // ephemeral one (an index that is no constant of the set fails the read).
  void DefineProperties(TFiler& Filer) override;

 protected:
  TMXGPNode<double>* GetTerminalNode(TMXGPNode<double>* Parent, int Index) override;
  TMXGPNode<double>* GetNode(TMXGPNode<double>* Parent, int Index) override;
  TMXGPNode<double>* GetNode(TMXGPNode<double>* Parent, TMXGPNode<double>* Node, int Index) override;

 private:
  // Node, its value drawn when it is an ephemeral constant.
  TMXGPNode<double>* Drawn(TMXGPNode<double>* Node);

  TMXGPInstruction<double>* FEphemeral = nullptr;
  double FLow = -1, FHigh = 1;
};

// Which program of a run's archive is the model (TMXGPRegressionArchive::Select):
// msBest the lowest training error; msValidation the lowest error on the held-out rows
// (the archive needs a validation fitness); msKnee the knee of the front of training
// error against program size, the program after which more size buys little error.
enum TGPModelSelection { msBest, msValidation, msKnee };
EVOKIT_ENUM_NAMES(TGPModelSelection, "msBest", "msValidation", "msKnee");

// A symbolic-regression run as one value, its defaults those of the Python regressor.
// ApplyRegressionSettings gives a component the instructions and the breeding settings;
// Generations, LinearScaling, CoefficientIterations, Lamarckian, Threads, Seed and the
// fields after them are for the caller that runs it.
struct TMXGPRegressionSettings {
  int Population = 300;      // InitialPopulation
  int Generations = 100;     // generations to run at most
  int TournamentSize = 7;    // tournament selection's field
  int InitDepth = 3;         // ramped half-and-half up to this depth
  int DepthLimit = 17;       // the bsDepthLimit strategy's limit, when SizeLimit is 0
  // The bsUnfitSize strategy's limit in nodes: a larger program is unfit, never scored, so
  // neither the large trees that initialisation makes to avoid duplicates nor a grown
  // child survives; 0: the bsDepthLimit strategy at DepthLimit instead.
  int SizeLimit = 50;
  double CrossoverProbability = 0.9;
  double MutationProbability = 0.1;
  // Words for AddFloatPrimitives; blank: none. The analytic quotient in place of Div
  // keeps models free of the poles a protected division puts between the data's points.
  std::string FunctionSet = "Add Sub Mul AQ";
  std::string Constants = "1";                  // constant terminals, as numbers; blank: none
  // One more constant terminal, "ERC", whose nodes draw their values uniformly from
  // [-EphemeralRange, EphemeralRange) when made (TMXGPRegressionProgramming).
  bool EphemeralConstants = false;
  double EphemeralRange = 1;
  double StoppingError = 0;  // the fitness cutoff: the run stops once an error is this low
  bool LinearScaling = true;  // for TMXGPRegressionFitness
  // For TMXGPRegressionFitness::SetCoefficientFitting: Levenberg-Marquardt iterations on
  // each new program's constants (0: none), and whether the fitted values stay in the tree.
  int CoefficientIterations = 1;
  bool Lamarckian = true;
  // Each variable leaf is w * x with its own weight w, fitted with the constants (and
  // counted as one node): for SetCoefficientFitting.
  bool VariableWeights = true;
  // One initial program sums the variables (SeedLinearModel): with VariableWeights the
  // run then starts from the linear model, which the search improves on or keeps.
  bool LinearSeed = true;
  int Threads = 1;           // ParallelEvolve's workers; 0: one per core
  std::optional<std::uint64_t> Seed;  // for RandSeed; none: an unseeded run
  // Held-out selection: on noisy tables it generalises at least as well as the lowest
  // training error, with far smaller programs.
  TGPModelSelection ModelSelection = msValidation;
  double ValidationFraction = 0.25;  // rows held out for validation, 0 to 0.5; msValidation needs some
  int ArchiveSize = 32;           // programs the archive's front keeps at most, at least 2
  // Early stopping: the run ends once Patience generations in a row have not improved
  // on the archive (TMXGPRegressionArchive::Stalled); 0 runs every generation.
  // Tables whose held-out error settles early stop after 20 to 60 generations; the run
  // goes on while the search still finds better models.
  int Patience = 20;
};

// EArgumentOutOfRangeException, Field() naming the field, for the first field of Settings
// out of its range: Population below 2, Generations below 1, TournamentSize below 1,
// DepthLimit outside 1..100, InitDepth outside 0..DepthLimit, SizeLimit neither 0 nor
// within 5..100000, a probability outside
// [0, 1], a word of FunctionSet that is no primitive (the message lists the primitives),
// a word of Constants that is no finite number, EphemeralRange not a finite number above
// 0, StoppingError not finite,
// CoefficientIterations outside 0..1000, Threads below 0, ValidationFraction outside [0, 0.5], msValidation without held-out rows,
// ArchiveSize below 2, or Patience below 0.
class ERegressionSettingsError : public EArgumentOutOfRangeException {
 public:
  ERegressionSettingsError(std::string Field, const std::string& Message)
      : EArgumentOutOfRangeException(Field + " " + Message), FField(std::move(Field)) {}
  const std::string& Field() const noexcept { return FField; }

 private:
  std::string FField;
};
void CheckRegressionSettings(const TMXGPRegressionSettings& Settings);

// Checks Settings (CheckRegressionSettings), then adds to GP's instructions
// Settings.FunctionSet, one variable per name of Variables (a variable whatever the name,
// "exp" included; its instruction's value 1 with VariableWeights, so new leaves start at
// weight 1), Settings.Constants and, with EphemeralConstants, the constant "ERC" that
// GP draws (it must then be a TMXGPRegressionProgramming), in that order; then sets the initial
// population, ramped half-and-half initialisation to InitDepth, tournament selection over
// TournamentSize, the bsUnfitSize strategy at SizeLimit (the bsDepthLimit strategy at
// DepthLimit when SizeLimit is 0), the crossover and mutation probabilities, a fitness
// cutoff at StoppingError, and compact breeding (the same programs, bred faster).
// ERegressionSettingsError as CheckRegressionSettings, and naming EphemeralConstants for
// a GP that cannot draw them; EGPException for a name the
// set holds already or that repeats (ASCII case ignored), EGAException for a population
// beyond the limits: GP is then as it was.
void ApplyRegressionSettings(TMXCustomGeneticProgramming<double>& GP, const TMXGPRegressionSettings& Settings,
                             std::span<const std::string> Variables = {});

// Replaces the program of the last individual of GP's initialised population with the
// sum of one leaf of each variable Variables names, a balanced tree of GP's "Add"
// primitive, and evaluates the population again. With weighted variable leaves and the
// coefficient fit this program becomes the least-squares linear model: a run seeded so
// never ends on a model worse on its training rows. Returns false, changing nothing, when
// GP is not initialised, Variables is empty, GP's set has no Add primitive or a name is
// no variable of it, or the program would exceed the bsUnfitSize or bsDepthLimit limit.
bool SeedLinearModel(TMXCustomGeneticProgramming<double>& GP, std::span<const std::string> Variables);

// Splits Table's rows at random into Training and Validation, round(Fraction * rows) of
// them (at least one when Fraction is above 0) held out, each part in the original row
// order. The same Seed gives the same split; the library's random source is not drawn
// from. EDataTableError when either part would be empty.
void SplitRows(const TMXDataTable& Table, double Fraction, std::uint64_t Seed, TMXDataTable& Training,
               TMXDataTable& Validation);

// What a regression run has seen, fed once per generation (Update, say from OnEvolve):
// the front of programs no other program seen beats on both training error and size
// (copies, at most Capacity), the best-so-far program (the front's last entry) and one
// history row per generation. The training error is the component's fitness (lower is
// better unless the training fitness is maximised); ties go to the program seen first, so
// a seeded run gives the same archive whatever the thread count. With a validation
// fitness (built without linear scaling over held-out rows), each archived program also
// gets its error there, after the linear scaling fitted on the training rows. When the
// training fitness fits coefficients, the copy of a program the front takes has its
// constants fitted to convergence, and its training error is the copy's (no more than
// the program's fitness); which programs get that fit then depends on what the front
// holds, so a bounded front may end with another best program than an unbounded one.
//
// The programs refer to the component's instructions: the archive must not outlive them.
// Thread safety: one thread at a time.
class TMXGPRegressionArchive {
 public:
  struct TEntry {
    std::unique_ptr<TMXGPNode<double>> Program;
    double Error = 0;            // training fitness (of the copy: see above)
    double ValidationError = 0;  // NaN without a validation fitness
    double Slope = 1, Intercept = 0;  // the training rows' linear scaling (1, 0 without)
    int Size = 0;
    int Generation = 0;  // when it was first seen
    bool Weighted = false;  // the variable leaves carry weights (the training fitness's VariableWeights)
  };
  struct TGeneration {
    int Generation;
    double BestError;        // the generation's fittest program's training fitness
    double ValidationError;  // that program's validation error, NaN without
    double AvgSize;          // the population's average program size
  };

  // EArgumentOutOfRangeException for a null Training or a Capacity below 2.
  explicit TMXGPRegressionArchive(std::shared_ptr<const TMXGPRegressionFitness> Training,
                                  std::shared_ptr<const TMXGPRegressionFitness> Validation = nullptr,
                                  int Capacity = 32);

  // Reads GP's evaluated population once per generation: a call at a generation already
  // read does nothing, so it may sit in OnEvolve, which also fires without a new one.
  // Programs with an unfit or non-finite fitness are passed over.
  void Update(TMXCustomGeneticProgramming<double>& GP);
  // The front by increasing size (and so improving error); empty before any program.
  const std::vector<TEntry>& Front() const noexcept { return FFront; }
  const TEntry* Best() const noexcept { return FFront.empty() ? nullptr : &FFront.back(); }
  const std::vector<TGeneration>& History() const noexcept { return FHistory; }
  // The last generation read whose programs improved on what the archive held before:
  // with a validation fitness, a lower validation error on the front (what Select's
  // msValidation goes by), else a better training error; -1 before any Update.
  int LastImprovement() const noexcept { return FLastImprovement; }
  // Whether the last Patience generations read brought no improvement (never for a
  // Patience of 0): a run that stops early asks this after each Update.
  bool Stalled(int Patience) const noexcept {
    return Patience > 0 && FLastImprovement >= 0 && FLastGeneration - FLastImprovement >= Patience;
  }
  bool HasValidation() const noexcept { return FValidation != nullptr; }
  int Capacity() const noexcept { return FCapacity; }
  // Refits every entry over All, the rows the model is to serve: once held-out rows have
  // chosen it, the training and held-out rows together. Each program's coefficients are
  // fitted to convergence from its own values (when All fits coefficients; a fit that
  // scores worse than the values it started from is dropped), its linear scaling is
  // fitted again, and Error becomes All's score of the result; ValidationError stays that
  // of the program as the run chose it, so Select(msValidation) picks the same entry.
  // EArgumentOutOfRangeException, nothing changed, when All's metric, linear scaling or
  // variable weights are not the training fitness's; EGPException, nothing changed, for
  // a variable without a column in All.
  void Refit(const TMXGPRegressionFitness& All);
  // The front's entry Rule picks (ties to the smaller program); nullptr when the front is
  // empty. EArgumentOutOfRangeException for msValidation without a validation fitness.
  const TEntry* Select(TGPModelSelection Rule) const;
  // Entry's predictions for Table's rows, a + b Program with Entry's scaling (and weights).
  static std::vector<double> Predict(const TEntry& Entry, const TMXDataTable& Table);

 private:
  bool Better(double A, double B) const noexcept;
  void Insert(const TMXGPIndividual<double>& Individual, double Error, int Size, int Generation);
  void Prune();
  void Measure(TEntry& Entry) const;

  std::shared_ptr<const TMXGPRegressionFitness> FTraining, FValidation;
  int FCapacity;
  int FLastGeneration = -1;
  int FLastImprovement = -1;
  double FBestMeasure = std::numeric_limits<double>::quiet_NaN();
  std::vector<TEntry> FFront;
  std::vector<TGeneration> FHistory;
};

}  // namespace evokit
