#include <evokit/gp/regression.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <vector>

#include <evokit/gp/coefficients.h>
#include <evokit/gp/primitives.h>
#include <evokit/platform/convert.h>
#include <evokit/platform/filer.h>
#include <evokit/platform/guards.h>
#include <evokit/platform/pool.h>

namespace evokit {

namespace {

// Predictions of one thread's evaluations, reused from call to call.
thread_local std::vector<double> tPredictions;

bool HasWords(const std::string& Names) { return Names.find_first_not_of(" ,\t\r\n") != std::string::npos; }

// The words of Names, separated as AddFloatPrimitives separates them.
std::vector<std::string> Words(const std::string& Names) {
  std::vector<std::string> words;
  for (std::size_t pos = 0; pos < Names.size();) {
    const std::size_t start = Names.find_first_not_of(" ,\t\r\n", pos);
    if (start == std::string::npos) break;
    pos = std::min(Names.find_first_of(" ,\t\r\n", start), Names.size());
    words.push_back(Names.substr(start, pos - start));
  }
  return words;
}

std::string Number(double Value) { return FloatToStr(Value); }

// Levenberg-Marquardt iterations at most for the archive's copies: enough to converge
// when the run's fits have come close.
constexpr int kConvergedIterations = 30;

// The name of the ephemeral constant ApplyRegressionSettings adds.
constexpr const char* kEphemeralName = "ERC";

// The nodes' values (a variable's weight, a constant's value).
std::vector<double> NodeValues(const std::vector<TMXGPNode<double>*>& Nodes) {
  std::vector<double> values(Nodes.size());
  for (std::size_t k = 0; k < Nodes.size(); ++k) values[k] = Nodes[k]->Value();
  return values;
}

// splitmix64: a small generator of its own, so a split leaves the library's stream alone.
std::uint64_t NextRandom(std::uint64_t& State) {
  std::uint64_t z = (State += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

TMXDataTable Rows(const TMXDataTable& Table, const std::vector<int>& Indices) {
  TMXDataTable part;
  std::vector<double> column(Indices.size());
  for (int c = 0; c < Table.ColumnCount(); ++c) {
    const std::span<const double> values = Table.Column(c);
    for (std::size_t i = 0; i < Indices.size(); ++i) column[i] = values[static_cast<std::size_t>(Indices[i])];
    part.AddColumn(Table.ColumnName(c), column);
  }
  return part;
}

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
  const int rows = FInputs.RowCount();
  if (rows > FitRows) {
    const int stride = (rows + FitRows - 1) / FitRows;
    std::vector<int> every;
    for (int r = 0; r < rows; r += stride) every.push_back(r), FSampleY.push_back(FY[static_cast<std::size_t>(r)]);
    FSample = Rows(FInputs, every);
  }
}

void TMXGPRegressionFitness::SetCoefficientFitting(int Iterations, bool Lamarckian, bool VariableWeights) {
  if (Iterations < 0 || Iterations > 1000)
    throw EArgumentOutOfRangeException("Coefficient fitting takes 0 to 1000 iterations, not " + std::to_string(Iterations));
  FIterations = Iterations;
  FLamarckian = Lamarckian;
  FWeights = VariableWeights;
}

std::vector<double> TMXGPRegressionFitness::FitConstants(TMXGPNode<double>* Root, bool WriteBack, int Iterations) const {
  if (FIterations == 0 || !Root) return {};
  const std::vector<TMXGPNode<double>*> nodes = CoefficientNodes(Root, FWeights);
  if (nodes.empty()) return {};
  TMXGPCoefficientOptions options;
  options.MaxIterations = Iterations > 0 ? Iterations : FIterations;
  options.LinearScaling = FLinearScaling;
  std::vector<double> values = FitCoefficients(Root, nodes, FInputs, FY, options, NodeValues(nodes)).Values;
  if (WriteBack)
    for (std::size_t k = 0; k < nodes.size(); ++k) nodes[k]->SetValue(values[k]);
  return values;
}

double TMXGPRegressionFitness::Evaluate(TMXGPIndividual<double>& Individual) const {
  std::vector<double>& predictions = ThreadLocal(tPredictions);
  predictions.resize(FY.size());
  // The fit reads records: a compact program's own, or a copy of the tree's.
  if ((FIterations > 0 || FWeights) && Individual.ProgramSize() > 0) {
    const bool compact = Individual.HoldsCompact();
    TMXGPCompactProgram<double> copy(compact ? nullptr : Individual.DNA());
    TMXGPCompactProgram<double>& program = compact ? Individual.Compact() : copy;
    const std::vector<int> indexes = CoefficientIndexes(program, FWeights);
    if (!indexes.empty()) {
      std::vector<double> own(indexes.size());
      for (std::size_t k = 0; k < indexes.size(); ++k) own[k] = program.Record(indexes[k]).Value;
      TMXGPCoefficientOptions options;
      options.MaxIterations = FIterations;
      options.LinearScaling = FLinearScaling;
      const bool sampled = !FSampleY.empty();
      const TMXGPCoefficientFit fit =
          FitCoefficients(program, indexes, sampled ? FSample : FInputs, sampled ? FSampleY : FY, options, own);
      if (FLamarckian && fit.Values != own) {
        if (compact) {
          for (std::size_t k = 0; k < indexes.size(); ++k) program.SetValue(indexes[k], fit.Values[k]);
        } else {
          const std::vector<TMXGPNode<double>*> nodes = CoefficientNodes(Individual.DNA(), FWeights);
          for (std::size_t k = 0; k < nodes.size(); ++k) nodes[k]->SetValue(fit.Values[k]);
        }
        Individual.MarkChanged();  // the cached compiled program and fingerprint are stale
      }
      // The fit's error over every row is the squared error this fitness scores (scaled
      // as it scales), which spares a pass over the rows; otherwise the predictions are
      // made with the fitted values whether or not the program keeps them.
      if (FMetric != rmMeanAbsoluteError && !sampled) {
        const double sum = fit.Error * static_cast<double>(FY.size());
        const double result = FMetric == rmRSquared ? 1 - sum / FSumSquaresY : fit.Error;
        return std::isfinite(result) ? result : std::nan("");
      }
      CoefficientValues(program, indexes, FInputs, fit.Values, predictions);
      return Score(predictions);
    }
  }
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

void ProgramValues(TMXGPNode<double>* Root, const TMXDataTable& Table, std::span<double> Out, bool VariableWeights) {
  if (VariableWeights) {
    const std::vector<TMXGPNode<double>*> nodes = CoefficientNodes(Root, true);
    CoefficientValues(Root, nodes, Table, NodeValues(nodes), Out);
  } else if (!EvaluateTree(Root, Table, Out)) {
    ExecuteRows(Root, Table, Out);
  }
}

void TMXGPRegressionProgramming::SetEphemeralConstant(TMXGPInstruction<double>* Instruction, double Low, double High) {
  if (Instruction && (Instruction->Instructions() != Instructions() || Instruction->Operation() != gpConstant))
    throw EGPException("An ephemeral constant is a constant instruction of the component's own set");
  if (!std::isfinite(Low) || !std::isfinite(High) || Low > High)
    throw EArgumentOutOfRangeException("Ephemeral constants need finite bounds in order, not " + Number(Low) + " and " +
                                       Number(High));
  FEphemeral = Instruction, FLow = Low, FHigh = High;
}

void TMXGPRegressionProgramming::InstructionNotify(TMXGPInstruction<double>* Instruction,
                                                   TCollectionNotification Action) {
  if (Instruction == FEphemeral && Action != cnAdded) FEphemeral = nullptr;
  TMXGeneticProgramming::InstructionNotify(Instruction, Action);
}

void TMXGPRegressionProgramming::Assign(const TPersistent* Source) {
  TMXGeneticProgramming::Assign(Source);
  const auto* source = dynamic_cast<const TMXGPRegressionProgramming*>(Source);
  if (!source || source == this) return;
  // Assign made the two sets equal item by item.
  TMXGPInstruction<double>* copy = nullptr;
  if (const TMXGPInstruction<double>* from = source->FEphemeral; from && from->Index() < Instructions()->Count())
    copy = Instructions()->Items(from->Index());
  FEphemeral = copy && copy->Operation() == gpConstant ? copy : nullptr;
  FLow = source->FLow, FHigh = source->FHigh;
}

void TMXGPRegressionProgramming::DefineProperties(TFiler& Filer) {
  TMXGeneticProgramming::DefineProperties(Filer);
  Filer.DefineProperty(
      "EphemeralConstant",
      [this](TReader& R) {
        R.ReadListBegin();
        if (R.EndOfList()) {
          R.ReadListEnd();
          FEphemeral = nullptr;
          return;
        }
        const int index = R.ReadInteger();
        const double low = R.ReadFloat(), high = R.ReadFloat();
        R.ReadListEnd();
        if (index < 0 || index >= Instructions()->Count())
          throw EGPException("The ephemeral constant's index " + std::to_string(index) + " is not in the set");
        SetEphemeralConstant(Instructions()->Items(index), low, high);
      },
      [this](TWriter& W) {
        W.WriteListBegin();
        if (FEphemeral) W.WriteInteger(FEphemeral->Index()), W.WriteFloat(FLow), W.WriteFloat(FHigh);
        W.WriteListEnd();
      },
      FEphemeral != nullptr);
}

TMXGPNode<double>* TMXGPRegressionProgramming::Drawn(TMXGPNode<double>* Node) {
  if (FEphemeral && Node->Instruction() == FEphemeral && FEphemeral->Operation() == gpConstant)
    Node->SetValue(FLow + (FHigh - FLow) * Random());
  return Node;
}

TMXGPNode<double>* TMXGPRegressionProgramming::GetTerminalNode(TMXGPNode<double>* Parent, int Index) {
  return Drawn(TMXGeneticProgramming::GetTerminalNode(Parent, Index));
}

TMXGPNode<double>* TMXGPRegressionProgramming::GetNode(TMXGPNode<double>* Parent, int Index) {
  return Drawn(TMXGeneticProgramming::GetNode(Parent, Index));
}

TMXGPNode<double>* TMXGPRegressionProgramming::GetNode(TMXGPNode<double>* Parent, TMXGPNode<double>* Node, int Index) {
  return Drawn(TMXGeneticProgramming::GetNode(Parent, Node, Index));
}

void CheckRegressionSettings(const TMXGPRegressionSettings& S) {
  using E = ERegressionSettingsError;
  if (S.Population < 2) throw E("Population", "must be at least 2, not " + std::to_string(S.Population));
  if (S.Generations < 1) throw E("Generations", "must be at least 1, not " + std::to_string(S.Generations));
  if (S.TournamentSize < 1) throw E("TournamentSize", "must be at least 1, not " + std::to_string(S.TournamentSize));
  if (S.DepthLimit < 1 || S.DepthLimit > 100)
    throw E("DepthLimit", "must be 1 to 100, not " + std::to_string(S.DepthLimit));
  if (S.InitDepth < 0 || S.InitDepth > S.DepthLimit)
    throw E("InitDepth", "must be 0 to the depth limit (" + std::to_string(S.DepthLimit) + "), not " +
                             std::to_string(S.InitDepth));
  if (S.SizeLimit != 0 && (S.SizeLimit < 5 || S.SizeLimit > 100000))
    throw E("SizeLimit", "must be 0 or 5 to 100000, not " + std::to_string(S.SizeLimit));
  const std::pair<const char*, double> probabilities[] = {{"CrossoverProbability", S.CrossoverProbability},
                                                          {"MutationProbability", S.MutationProbability}};
  for (const auto& [field, value] : probabilities)
    if (!(value >= 0 && value <= 1)) throw E(field, "must be between 0 and 1, not " + Number(value));
  for (const std::string& word : Words(S.FunctionSet))
    if (FloatPrimitiveOf(word) == fpNone) {
      std::string known;
      for (int p = fpNone + 1; p < EnumCount<TGPFloatPrimitive>(); ++p)
      {
        if (!known.empty()) known += ' ';
        known += FloatPrimitiveName(static_cast<TGPFloatPrimitive>(p));
      }
      throw E("FunctionSet", "names no primitive \"" + word + "\"; the primitives are " + known);
    }
  for (const std::string& word : Words(S.Constants)) {
    double value = 0;
    if (!TryStrToFloat(word, value) || !std::isfinite(value))
      throw E("Constants", "must be finite numbers, not \"" + word + "\"");
  }
  if (!(std::isfinite(S.EphemeralRange) && S.EphemeralRange > 0))
    throw E("EphemeralRange", "must be a finite number above 0, not " + Number(S.EphemeralRange));
  if (!std::isfinite(S.StoppingError)) throw E("StoppingError", "must be a finite number, not " + Number(S.StoppingError));
  if (S.CoefficientIterations < 0 || S.CoefficientIterations > 1000)
    throw E("CoefficientIterations", "must be 0 to 1000, not " + std::to_string(S.CoefficientIterations));
  if (S.Threads < 0) throw E("Threads", "must not be negative, not " + std::to_string(S.Threads));
  if (!(S.ValidationFraction >= 0 && S.ValidationFraction <= 0.5))
    throw E("ValidationFraction", "must be between 0 and 0.5, not " + Number(S.ValidationFraction));
  if (S.ModelSelection < msBest || S.ModelSelection > msKnee)
    throw E("ModelSelection", "is no model selection rule: " + std::to_string(static_cast<int>(S.ModelSelection)));
  if (S.ModelSelection == msValidation && S.ValidationFraction == 0)
    throw E("ModelSelection", "selects by validation error, but no rows are held out for validation");
  if (S.ArchiveSize < 2) throw E("ArchiveSize", "must be at least 2, not " + std::to_string(S.ArchiveSize));
  if (S.Patience < 0) throw E("Patience", "must be 0 or more, not " + std::to_string(S.Patience));
}

void ApplyRegressionSettings(TMXCustomGeneticProgramming<double>& GP, const TMXGPRegressionSettings& Settings,
                             std::span<const std::string> Variables) {
  CheckRegressionSettings(Settings);
  auto* regression = dynamic_cast<TMXGPRegressionProgramming*>(&GP);
  if (Settings.EphemeralConstants && !regression)
    throw ERegressionSettingsError("EphemeralConstants", "need a TMXGPRegressionProgramming component, not a " +
                                                             GP.ClassName());
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
      if (Settings.VariableWeights) variable->SetValue(1);
    }
    if (HasWords(Settings.Constants)) AddFloatPrimitives(set, Settings.Constants);
    if (Settings.EphemeralConstants) {
      if (set.FindItemName(kEphemeralName))
        throw EGPException(std::string("Instruction \"") + kEphemeralName + "\" is already in the set");
      TMXGPInstruction<double>* ephemeral = set.Add();
      ephemeral->SetName(kEphemeralName);
      ephemeral->SetOperation(gpConstant);
      regression->SetEphemeralConstant(ephemeral, -Settings.EphemeralRange, Settings.EphemeralRange);
    }
  } catch (...) {
    while (set.Count() > count) set.Delete(set.Count() - 1);
    GP.SetInitialPopulation(population);
    throw;
  }
  GP.SetInitializationMethod(imRampedHalfAndHalf);
  GP.SetInitializationDepth(Settings.InitDepth);
  GP.SetSelectionMethod(smTournament);
  GP.SetTournamentField(Settings.TournamentSize);
  GP.SetBloatStrategy(Settings.SizeLimit > 0 ? bsUnfitSize : bsDepthLimit);
  GP.SetBloatLimit(Settings.SizeLimit > 0 ? Settings.SizeLimit : Settings.DepthLimit);
  GP.SetCrossoverProbability(Settings.CrossoverProbability);
  GP.SetMutationProbability(Settings.MutationProbability);
  GP.SetUseFitnessCutoff(true);
  GP.SetFitnessCutoff(Settings.StoppingError);
  // The fitness reads compact programs, coefficient fitting included.
  GP.SetCompactBreeding(true);
}

bool SeedLinearModel(TMXCustomGeneticProgramming<double>& GP, std::span<const std::string> Variables) {
  TMXGPPopulation<double>* population = GP.Population();
  if (!GP.Initialized() || Variables.empty() || population->Count() == 0) return false;
  TMXGPInstructions<double>& set = *GP.Instructions();
  auto* add = dynamic_cast<TMXGPFloatPrimitive*>(set.FindItemName(FloatPrimitiveName(fpAdd)));
  if (!add || add->Primitive() != fpAdd) return false;
  std::vector<TMXGPInstruction<double>*> leaves;
  for (const std::string& name : Variables) {
    TMXGPInstruction<double>* variable = set.FindItemName(name);
    if (!variable || variable->Operation() != gpVariable) return false;
    leaves.push_back(variable);
  }
  const int count = static_cast<int>(leaves.size());
  int depth = 1;  // of a balanced tree over count leaves
  while ((1 << (depth - 1)) < count) ++depth;
  if ((GP.BloatStrategy() == bsUnfitSize && 2 * count - 1 > GP.BloatLimit()) ||
      (GP.BloatStrategy() == bsDepthLimit && depth > GP.BloatLimit()))
    return false;
  // The leaves first .. first + n - 1 under Parent: one leaf, or an Add over two halves.
  const auto build = [&](const auto& self, int First, int N, TMXGPNode<double>* Parent) -> TMXGPNode<double>* {
    if (N == 1) return GP.CreateNode(leaves[static_cast<std::size_t>(First)], Parent);
    TMXGPNode<double>* sum = GP.CreateNode(add, Parent);
    self(self, First, N / 2, sum);
    self(self, First + N / 2, N - N / 2, sum);
    return sum;
  };
  std::unique_ptr<TMXGPNode<double>> root(build(build, 0, count, nullptr));
  population->Items(population->Count() - 1)->AssignDNA(root.release());
  GP.EvaluateFitness();
  return true;
}

void SplitRows(const TMXDataTable& Table, double Fraction, std::uint64_t Seed, TMXDataTable& Training,
               TMXDataTable& Validation) {
  const int rows = Table.RowCount();
  const int held = Fraction > 0 ? std::max(1, static_cast<int>(std::lround(Fraction * rows))) : 0;
  if (held >= rows || held == 0)
    throw EDataTableError(std::to_string(rows) + " rows cannot be split with " + Number(Fraction) + " held out");
  std::vector<int> order(static_cast<std::size_t>(rows));
  std::iota(order.begin(), order.end(), 0);
  std::uint64_t state = Seed;
  for (int i = rows - 1; i > 0; --i)  // Fisher-Yates
    std::swap(order[static_cast<std::size_t>(i)], order[NextRandom(state) % static_cast<std::uint64_t>(i + 1)]);
  std::vector<int> validation(order.begin(), order.begin() + held), training(order.begin() + held, order.end());
  std::sort(validation.begin(), validation.end());
  std::sort(training.begin(), training.end());
  TMXDataTable first = Rows(Table, training), second = Rows(Table, validation);
  Training = std::move(first);
  Validation = std::move(second);
}

TMXGPRegressionArchive::TMXGPRegressionArchive(std::shared_ptr<const TMXGPRegressionFitness> Training,
                                               std::shared_ptr<const TMXGPRegressionFitness> Validation, int Capacity)
    : FTraining(std::move(Training)), FValidation(std::move(Validation)), FCapacity(Capacity) {
  if (!FTraining) throw EArgumentOutOfRangeException("An archive needs the training fitness");
  if (Capacity < 2) throw EArgumentOutOfRangeException("An archive keeps at least 2 programs, not " + std::to_string(Capacity));
  if (FValidation && FValidation->LinearScaling())
    throw EArgumentOutOfRangeException("The validation fitness scales with the training rows' fit, not its own");
}

bool TMXGPRegressionArchive::Better(double A, double B) const noexcept {
  return FTraining->FitnessMethod() == fmMaximize ? A > B : A < B;
}

void TMXGPRegressionArchive::Measure(TEntry& Entry) const {
  Entry.Slope = 1, Entry.Intercept = 0;
  if (FTraining->LinearScaling()) {
    std::vector<double> predictions(static_cast<std::size_t>(FTraining->Inputs().RowCount()));
    ProgramValues(Entry.Program.get(), FTraining->Inputs(), predictions, Entry.Weighted);
    TMXGPRegressionFitness::FitLinearScaling(predictions, FTraining->TargetValues(), Entry.Slope, Entry.Intercept);
  }
  Entry.ValidationError = FValidation ? FValidation->Score(Predict(Entry, FValidation->Inputs())) : std::nan("");
}

void TMXGPRegressionArchive::Refit(const TMXGPRegressionFitness& All) {
  if (All.Metric() != FTraining->Metric() || All.LinearScaling() != FTraining->LinearScaling() ||
      All.VariableWeights() != FTraining->VariableWeights())
    throw EArgumentOutOfRangeException("A refit scores programs as the run did: the same metric, scaling and weights");
  std::vector<TEntry> refitted;
  refitted.reserve(FFront.size());
  std::vector<double> predictions(static_cast<std::size_t>(All.Inputs().RowCount()));
  // All's score of Entry's program (its slope and intercept fitted on the way).
  const auto score = [&](TEntry& Entry) {
    ProgramValues(Entry.Program.get(), All.Inputs(), predictions, Entry.Weighted);
    Entry.Slope = 1, Entry.Intercept = 0;
    if (All.LinearScaling())
      TMXGPRegressionFitness::FitLinearScaling(predictions, All.TargetValues(), Entry.Slope, Entry.Intercept);
    return All.Score(predictions);
  };
  for (const TEntry& entry : FFront) {
    TEntry copy{std::unique_ptr<TMXGPNode<double>>(entry.Program->Clone(nullptr)), entry.Error,
                entry.ValidationError, entry.Slope, entry.Intercept, entry.Size, entry.Generation, entry.Weighted};
    const double before = score(copy);
    const std::vector<double> own = NodeValues(CoefficientNodes(copy.Program.get(), copy.Weighted));
    All.FitConstants(copy.Program.get(), true, kConvergedIterations);
    copy.Error = score(copy);
    if (!(std::isfinite(copy.Error) && !Better(before, copy.Error))) {
      const std::vector<TMXGPNode<double>*> nodes = CoefficientNodes(copy.Program.get(), copy.Weighted);
      for (std::size_t k = 0; k < nodes.size(); ++k) nodes[k]->SetValue(own[k]);
      copy.Error = score(copy);
    }
    refitted.push_back(std::move(copy));
  }
  FFront = std::move(refitted);
}

std::vector<double> TMXGPRegressionArchive::Predict(const TEntry& Entry, const TMXDataTable& Table) {
  std::vector<double> out(static_cast<std::size_t>(Table.RowCount()));
  ProgramValues(Entry.Program.get(), Table, out, Entry.Weighted);
  for (double& value : out) value = Entry.Intercept + Entry.Slope * value;
  return out;
}

void TMXGPRegressionArchive::Insert(const TMXGPIndividual<double>& Individual, double Error, int Size, int Generation) {
  // The front runs by increasing size with strictly improving error, so the one entry
  // that can dominate the newcomer is the last one no larger.
  auto at = std::upper_bound(FFront.begin(), FFront.end(), Size, [](int S, const TEntry& E) { return S < E.Size; });
  if (at != FFront.begin() && !Better(Error, std::prev(at)->Error)) return;
  TEntry entry;
  entry.Program.reset(Individual.DNA()->Clone(nullptr));
  entry.Weighted = FTraining->VariableWeights();
  if (FTraining->CoefficientIterations() > 0 && !CoefficientNodes(entry.Program.get(), entry.Weighted).empty()) {
    // The run fits each program's constants in a few steps; a program the front takes
    // gets its constants fitted to convergence (from the tree's own values when the run
    // did not keep its fit), and its error is that of the copy. The fit only lowers the
    // error, so a program the front refuses before it is not fitted.
    FTraining->FitConstants(entry.Program.get(), true, kConvergedIterations);
    std::vector<double> predictions(static_cast<std::size_t>(FTraining->Inputs().RowCount()));
    ProgramValues(entry.Program.get(), FTraining->Inputs(), predictions, entry.Weighted);
    // A fit that gains next to nothing (a rounding, say) keeps the run's error and, when
    // the run kept its fits in the trees, the program as the run scored it.
    if (const double fitted = FTraining->Score(predictions); Better(fitted, Error) &&
                                                             std::fabs(fitted - Error) > 1e-9 * std::fabs(Error))
      Error = fitted;
    else if (FTraining->Lamarckian())
      entry.Program.reset(Individual.DNA()->Clone(nullptr));
  }
  // Entries as large or larger and no better are dominated now; they follow at once.
  if (at != FFront.begin() && std::prev(at)->Size == Size) --at;  // same size, worse error
  auto last = at;
  while (last != FFront.end() && !Better(last->Error, Error)) ++last;
  entry.Error = Error, entry.Size = Size, entry.Generation = Generation;
  Measure(entry);
  at = FFront.erase(at, last);
  FFront.insert(at, std::move(entry));
  if (static_cast<int>(FFront.size()) > FCapacity) Prune();
}

void TMXGPRegressionArchive::Prune() {
  // Drops the inner entry whose step up from the next smaller program bought the least
  // error; the smallest and the best programs always stay.
  std::size_t drop = 1;
  double least = std::numeric_limits<double>::infinity();
  for (std::size_t i = 1; i + 1 < FFront.size(); ++i) {
    const double gain = std::fabs(FFront[i - 1].Error - FFront[i].Error);
    if (gain < least) least = gain, drop = i;
  }
  FFront.erase(FFront.begin() + static_cast<std::ptrdiff_t>(drop));
}

void TMXGPRegressionArchive::Update(TMXCustomGeneticProgramming<double>& GP) {
  const int generation = GP.Generation();
  if (generation == FLastGeneration || !GP.Initialized()) return;
  FLastGeneration = generation;
  const TMXGPPopulation<double>& population = *GP.Population();
  const double unfit = GP.UnfitFitness();
  for (int i = 0; i < population.Count(); ++i) {
    TMXGPIndividual<double>& individual = *population.Items(i);
    if (individual.ProgramSize() == 0) continue;
    const double error = individual.Fitness();
    if (!std::isfinite(error) || error == unfit) continue;
    Insert(individual, error, individual.ProgramSize(), generation);
  }
  TGeneration row{generation, std::nan(""), std::nan(""), GP.AvgProgramSize()};
  if (TMXGPIndividual<double>* fittest = GP.FittestIndividual(); fittest && fittest->DNA()) {
    row.BestError = fittest->Fitness();
    if (FValidation) {
      TEntry entry;
      entry.Program.reset(fittest->DNA()->Clone(nullptr));
      entry.Weighted = FTraining->VariableWeights();
      Measure(entry);
      row.ValidationError = entry.ValidationError;
    }
  }
  FHistory.push_back(row);
  double measure = std::nan("");
  for (const TEntry& entry : FFront) {
    const double value = FValidation ? entry.ValidationError : entry.Error;
    if (!std::isnan(value) && (std::isnan(measure) || (FValidation ? value < measure : Better(value, measure))))
      measure = value;
  }
  if (FLastImprovement < 0 ||
      (!std::isnan(measure) && (std::isnan(FBestMeasure) ||
                                (FValidation ? measure < FBestMeasure : Better(measure, FBestMeasure)))))
    FBestMeasure = measure, FLastImprovement = generation;
}

const TMXGPRegressionArchive::TEntry* TMXGPRegressionArchive::Select(TGPModelSelection Rule) const {
  if (Rule == msValidation && !FValidation)
    throw EArgumentOutOfRangeException("Selecting by validation error needs a validation fitness");
  if (FFront.empty()) return nullptr;
  switch (Rule) {
    case msValidation: {
      const TEntry* chosen = &FFront.front();
      for (const TEntry& entry : FFront)  // NaN never wins
        if (!std::isnan(entry.ValidationError) &&
            (std::isnan(chosen->ValidationError) || entry.ValidationError < chosen->ValidationError))
          chosen = &entry;
      return chosen;
    }
    case msKnee: {
      // The entry farthest below the chord from the smallest to the best program, with
      // size and error both scaled to [0, 1] over the front.
      const TEntry &small = FFront.front(), &best = FFront.back();
      if (FFront.size() < 3) return &best;
      const double sizes = best.Size - small.Size, errors = small.Error - best.Error;
      const TEntry* chosen = &best;
      double farthest = -std::numeric_limits<double>::infinity();
      for (const TEntry& entry : FFront) {
        const double distance = 1 - (entry.Size - small.Size) / sizes - (entry.Error - best.Error) / errors;
        if (distance > farthest) farthest = distance, chosen = &entry;
      }
      return chosen;
    }
    default:
      return &FFront.back();
  }
}

}  // namespace evokit
