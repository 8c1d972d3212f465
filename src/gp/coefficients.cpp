#include <evokit/gp/coefficients.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <utility>

#include <Eigen/Cholesky>
#include <Eigen/Core>

#include <evokit/core/consts.h>
#include <evokit/gp/primitives.h>
#include <evokit/gp/regression.h>
#include <evokit/platform/pool.h>

namespace evokit {

namespace {

// Rows per block: a program of 50 steps keeps its values and their adjoints for a block
// in 2 x 25 KiB.
constexpr int kBlock = 64;

// --- the primitives and their derivatives ---------------------------------------------
// Each primitive's value (the scalar function of primitives.h, so the fit sees the bits
// the evaluators compute) and its partial derivatives with respect to its arguments,
// given the arguments and the value. Unary primitives ignore B and give DB = 0.

struct TPartials {
  double DA, DB;
};

namespace derivative {
inline double Sign(double A) noexcept { return A > 0 ? 1.0 : A < 0 ? -1.0 : 0.0; }
inline TPartials None(double, double, double) noexcept { return {0, 0}; }
inline TPartials Add(double, double, double) noexcept { return {1, 1}; }
inline TPartials Sub(double, double, double) noexcept { return {1, -1}; }
inline TPartials Mul(double A, double B, double) noexcept { return {B, A}; }
// A zero divisor gives the constant 1: nothing moves it.
inline TPartials Div(double, double B, double Y) noexcept {
  const double inverse = 1 / B;
  return B == 0 ? TPartials{0, 0} : TPartials{inverse, -Y * inverse};
}
// The derivative of the argument returned (the first one when either is NaN).
inline TPartials Min(double A, double B, double) noexcept { return B < A ? TPartials{0, 1} : TPartials{1, 0}; }
inline TPartials Max(double A, double B, double) noexcept { return A < B ? TPartials{0, 1} : TPartials{1, 0}; }
inline TPartials Neg(double, double, double) noexcept { return {-1, 0}; }
inline TPartials Abs(double A, double, double) noexcept { return {Sign(A), 0}; }
inline TPartials Square(double A, double, double) noexcept { return {2 * A, 0}; }
// sqrt |a|: sign(a) / (2 sqrt |a|), and 0 at a = 0 where it has no finite slope.
inline TPartials Sqrt(double A, double, double Y) noexcept { return {A == 0 ? 0.0 : Sign(A) / (2 * Y), 0}; }
inline TPartials Exp(double, double, double Y) noexcept { return {Y, 0}; }
// log |a| has slope 1/a on both sides; 0 at a = 0, where the value is the constant 0.
inline TPartials Log(double A, double, double) noexcept { return {A == 0 ? 0.0 : 1 / A, 0}; }
inline TPartials Sin(double A, double, double) noexcept { return {std::cos(A), 0}; }
inline TPartials Cos(double A, double, double) noexcept { return {-std::sin(A), 0}; }
inline TPartials Tanh(double, double, double Y) noexcept { return {1 - Y * Y, 0}; }
// Y = A / s with s = sqrt(1 + B^2): dY/dA = 1 / s, dY/dB = -Y B / s^2.
inline TPartials AQ(double, double B, double Y) noexcept {
  const double inverse = 1 / (1 + B * B);
  return {std::sqrt(inverse), -Y * B * inverse};
}
}  // namespace derivative

using TValueFunction = double (*)(double, double);
using TPartialsFunction = TPartials (*)(double, double, double);
// Y = F(A, B) over a block.
using TForwardKernel = void (*)(double* __restrict Y, const double* __restrict A, const double* __restrict B, int N);
// The adjoints of the arguments from the adjoint G of the value: GA = G dF/dA, GB = G
// dF/dB. A zero adjoint stays zero whatever the slope (an infinite slope below a
// protected Div by zero must not turn it into NaN).
using TBackwardKernel = void (*)(double* __restrict GA, double* __restrict GB, const double* __restrict G,
                                 const double* A, const double* B, const double* Y, int N);

template <TValueFunction F>
void KForward(double* __restrict Y, const double* __restrict A, const double* __restrict B, int N) {
  for (int i = 0; i < N; ++i) Y[i] = F(A[i], B[i]);
}
template <TPartialsFunction D>
void KBackward(double* __restrict GA, double* __restrict GB, const double* __restrict G, const double* A,
               const double* B, const double* Y, int N) {
  for (int i = 0; i < N; ++i) {
    const TPartials p = D(A[i], B[i], Y[i]);
    GA[i] = G[i] == 0 ? 0.0 : G[i] * p.DA;
    GB[i] = G[i] == 0 ? 0.0 : G[i] * p.DB;
  }
}

template <double (*F)(double)>
double Unary(double A, double) noexcept {
  return F(A);
}
double Zero(double, double) noexcept { return 0; }

struct TDerivativeRow {
  TGPFloatPrimitive Primitive;
  TValueFunction Value;
  TPartialsFunction Partials;
  TForwardKernel Forward;
  TBackwardKernel Backward;
};

template <TGPFloatPrimitive P, TValueFunction F, TPartialsFunction D>
constexpr TDerivativeRow Row() {
  return {P, F, D, &KForward<F>, &KBackward<D>};
}

// One row per primitive, in the order of TGPFloatPrimitive.
constexpr std::array kDerivatives{
    Row<fpNone, Zero, derivative::None>(),
    Row<fpAdd, primitive::Add, derivative::Add>(),
    Row<fpSub, primitive::Sub, derivative::Sub>(),
    Row<fpMul, primitive::Mul, derivative::Mul>(),
    Row<fpDiv, primitive::Div, derivative::Div>(),
    Row<fpMin, primitive::Min, derivative::Min>(),
    Row<fpMax, primitive::Max, derivative::Max>(),
    Row<fpNeg, Unary<primitive::Neg>, derivative::Neg>(),
    Row<fpAbs, Unary<primitive::Abs>, derivative::Abs>(),
    Row<fpSquare, Unary<primitive::Square>, derivative::Square>(),
    Row<fpSqrt, Unary<primitive::Sqrt>, derivative::Sqrt>(),
    Row<fpExp, Unary<primitive::Exp>, derivative::Exp>(),
    Row<fpLog, Unary<primitive::Log>, derivative::Log>(),
    Row<fpSin, Unary<primitive::Sin>, derivative::Sin>(),
    Row<fpCos, Unary<primitive::Cos>, derivative::Cos>(),
    Row<fpTanh, Unary<primitive::Tanh>, derivative::Tanh>(),
    Row<fpAQ, primitive::AQ, derivative::AQ>(),
};

constexpr bool RowsInEnumOrder() {
  for (std::size_t i = 0; i < kDerivatives.size(); ++i)
    if (kDerivatives[i].Primitive != static_cast<TGPFloatPrimitive>(i)) return false;
  return true;
}
static_assert(kDerivatives.size() == static_cast<std::size_t>(EnumCount<TGPFloatPrimitive>()),
              "every float primitive needs its derivative row");
static_assert(RowsInEnumOrder(), "derivative rows are indexed by TGPFloatPrimitive");

// --- the compiled program ------------------------------------------------------------------

// One node as a step of the postfix program: children come before their parent, the root
// is the last step.
struct TStep {
  enum TKind { skConstant, skCoefficient, skColumn, skWeighted, skFunction } Kind = skConstant;
  TGPFloatPrimitive Primitive = fpNone;
  int A = -1, B = -1;    // argument steps of a function (B = A for a unary one)
  int Column = -1;       // a variable's column
  int Coefficient = -1;  // index into the coefficient values
  double Value = 0;      // a fixed constant's value
  bool Active = false;   // a coefficient is at or below this step
};

struct TProgram {
  std::vector<TStep> Steps;
};

[[noreturn]] void NotDifferentiable(const char* Why) {
  throw EGPException(std::string("The program cannot be differentiated: ") + Why);
}

// The children a function computes with: a primitive's first ones, none otherwise.
int ComputedChildren(const TMXGPInstruction<double>* Instruction) {
  const auto* primitive = FastCast<const TMXGPFloatPrimitive>(Instruction);
  return primitive && primitive->Primitive() != fpNone && Instruction->Arity() != 0
             ? FloatPrimitiveArity(primitive->Primitive())
             : 0;
}

// The index of child K of the record at Index.
int ChildRecord(const TMXGPCompactProgram<double>& Source, int Index, int K) {
  int child = Index + 1;
  while (K-- > 0) child = Source.End(child);
  return child;
}

// Steps in pre-order while compiling: a record, the step it is an argument of and where.
struct TPending {
  int Record, Parent, Position;
};

// Compiles Source into Program, each record of Coefficients becoming a coefficient step.
void Compile(const TMXGPCompactProgram<double>& Source, std::span<const int> Coefficients, const TMXDataTable& Table,
             TProgram& Program) {
  if (Source.Empty()) throw EGPException("No program to fit");
  // The coefficients sorted by record, to look up each leaf.
  TScratchVector<std::pair<int, int>> byRecord;
  for (std::size_t k = 0; k < Coefficients.size(); ++k) byRecord->push_back({Coefficients[k], static_cast<int>(k)});
  std::sort(byRecord->begin(), byRecord->end());
  for (std::size_t k = 1; k < byRecord->size(); ++k)
    if ((*byRecord)[k].first == (*byRecord)[k - 1].first) throw EGPException("A coefficient node is given twice");
  std::size_t matched = 0;

  std::vector<TStep>& steps = Program.Steps;
  steps.clear();
  TScratchVector<TPending> pending;
  pending->push_back({0, -1, 0});
  // Pre-order first (a parent before its children, child 0 first); reversed below.
  while (!pending->empty()) {
    const TPending entry = pending->back();
    pending->pop_back();
    const int index = static_cast<int>(steps.size());
    if (entry.Parent >= 0) (entry.Position == 0 ? steps[entry.Parent].A : steps[entry.Parent].B) = index;
    const TGPRecord<double>& record = Source.Record(entry.Record);
    const TMXGPInstruction<double>* instruction = record.Instruction;
    if (!instruction) NotDifferentiable("a node has no instruction");
    if (instruction->OnExecute()) NotDifferentiable("an instruction has an OnExecute handler");
    TStep step;
    int run = 0;
    switch (instruction->Operation()) {
      case gpVariable:
        step.Kind = TStep::skColumn;
        step.Column = Table.IndexOf(instruction->Name());
        if (step.Column < 0)
          throw EGPException("Variable \"" + instruction->Name() + "\" has no column in the data table");
        break;
      case gpConstant:
        step.Value = record.Value;
        break;
      default:
        if (record.Arity < instruction->Arity()) NotDifferentiable("a function lacks arguments");
        run = ComputedChildren(instruction);
        if (run > 0) {
          if (record.Arity < run) NotDifferentiable("a function lacks arguments");
          step.Kind = TStep::skFunction;
          step.Primitive = FastCast<const TMXGPFloatPrimitive>(instruction)->Primitive();
        }
        // Any other function computes nothing built in: the constant 0.
        break;
    }
    if (step.Kind != TStep::skFunction) {
      const auto found = std::lower_bound(byRecord->begin(), byRecord->end(), std::make_pair(entry.Record, -1));
      if (found != byRecord->end() && found->first == entry.Record) {
        step.Coefficient = found->second;
        step.Kind = step.Kind == TStep::skColumn ? TStep::skWeighted : TStep::skCoefficient;
        ++matched;
      }
    }
    steps.push_back(step);
    for (int i = run - 1; i >= 0; --i) pending->push_back({ChildRecord(Source, entry.Record, i), index, i});
  }
  if (matched != byRecord->size())
    throw EGPException("A coefficient node is not a constant or variable the program computes with");

  // Reversed pre-order is postfix: a child's step now comes before its parent's.
  const int last = static_cast<int>(steps.size()) - 1;
  std::reverse(steps.begin(), steps.end());
  for (TStep& step : steps) {
    if (step.Kind != TStep::skFunction) {
      step.Active = step.Coefficient >= 0;
      continue;
    }
    step.A = last - step.A;
    step.B = FloatPrimitiveArity(step.Primitive) == 2 ? last - step.B : step.A;
    step.Active = steps[step.A].Active || steps[step.B].Active;
  }
}

// Root's nodes in pre-order, the order of its records.
std::vector<TMXGPNode<double>*> PreOrder(TMXGPNode<double>* Root) {
  std::vector<TMXGPNode<double>*> order;
  TScratchVector<TMXGPNode<double>*> pending;
  if (Root) pending->push_back(Root);
  while (!pending->empty()) {
    TMXGPNode<double>* node = pending->back();
    pending->pop_back();
    order.push_back(node);
    for (int i = node->GetChildCount() - 1; i >= 0; --i) pending->push_back(node->GetChild(i));
  }
  return order;
}

// A tree as records, and the record of each of its coefficient nodes (a node that is not
// in the tree gets an index no record has, for Compile to refuse).
struct TRecordsOf {
  TRecordsOf(TMXGPNode<double>* Root, std::span<TMXGPNode<double>* const> Coefficients) : Program(Root) {
    const std::vector<TMXGPNode<double>*> order = PreOrder(Root);
    std::vector<std::pair<TMXGPNode<double>*, int>> byNode;
    for (std::size_t i = 0; i < order.size(); ++i) byNode.push_back({order[i], static_cast<int>(i)});
    std::sort(byNode.begin(), byNode.end());
    for (TMXGPNode<double>* node : Coefficients) {
      const auto found = std::lower_bound(byNode.begin(), byNode.end(), std::make_pair(node, -1));
      Indexes.push_back(found != byNode.end() && found->first == node ? found->second : -1 - static_cast<int>(Indexes.size()));
    }
  }
  TMXGPCompactProgram<double> Program;
  std::vector<int> Indexes;
};

// Per-thread scratch, reused from call to call.
struct TScratch {
  TProgram Program;
  std::vector<double> Values;    // step values of a block: step s at s * kBlock
  std::vector<double> Adjoints;  // their adjoints, then one block of discarded ones
  std::vector<double> Current, Trial;  // the program's output for every row
  Eigen::MatrixXd Jacobian;      // one block's rows: kBlock x parameters
  Eigen::MatrixXd Normal, TrialNormal, Damped;
  Eigen::VectorXd Gradient, TrialGradient, Residual, Step, Parameters, TrialParameters;
  Eigen::VectorXd ByOnes, ByOutput, ByTarget;  // sums of the unscaled derivatives (EvaluateScaledStart)
  Eigen::LDLT<Eigen::MatrixXd> Solver;
};
thread_local TScratch tScratch;

// Runs Program over rows [Start, Start + N) with the coefficients Theta: the root's
// values into Out; with Jacobian, the derivatives of Seed times the root with respect to
// coefficient k into column k of Jacobian (rows 0 .. N-1).
void RunBlock(const TProgram& Program, const TMXDataTable& Table, const double* Theta, int Start, int N,
              TScratch& Scratch, double* Out, Eigen::MatrixXd* Jacobian, double Seed = 1) {
  const std::vector<TStep>& steps = Program.Steps;
  double* values = Scratch.Values.data();
  for (std::size_t s = 0; s < steps.size(); ++s) {
    const TStep& step = steps[s];
    double* y = values + s * kBlock;
    switch (step.Kind) {
      case TStep::skConstant: std::fill_n(y, N, step.Value); break;
      case TStep::skCoefficient: std::fill_n(y, N, Theta[step.Coefficient]); break;
      case TStep::skColumn: std::copy_n(Table.Column(step.Column).data() + Start, N, y); break;
      case TStep::skWeighted: {
        const double* x = Table.Column(step.Column).data() + Start;
        const double w = Theta[step.Coefficient];
        for (int i = 0; i < N; ++i) y[i] = w * x[i];
        break;
      }
      case TStep::skFunction:
        kDerivatives[step.Primitive].Forward(y, values + step.A * kBlock, values + step.B * kBlock, N);
        break;
    }
  }
  const std::size_t root = steps.size() - 1;
  std::copy_n(values + root * kBlock, N, Out);
  if (!Jacobian || !steps[root].Active) return;

  double* adjoints = Scratch.Adjoints.data();
  double* discarded = adjoints + steps.size() * kBlock;  // the unused second adjoint of a unary step
  std::fill_n(adjoints + root * kBlock, N, Seed);
  for (std::size_t s = steps.size(); s-- > 0;) {
    const TStep& step = steps[s];
    if (!step.Active) continue;
    const double* g = adjoints + s * kBlock;
    if (step.Kind == TStep::skFunction) {
      double* gb = step.B == step.A ? discarded : adjoints + step.B * kBlock;
      kDerivatives[step.Primitive].Backward(adjoints + step.A * kBlock, gb, g, values + step.A * kBlock,
                                            values + step.B * kBlock, values + s * kBlock, N);
    } else {
      double* column = Jacobian->col(step.Coefficient).data();
      if (step.Kind == TStep::skCoefficient) {
        std::copy_n(g, N, column);
      } else {
        const double* x = Table.Column(step.Column).data() + Start;
        for (int i = 0; i < N; ++i) column[i] = g[i] * x[i];
      }
    }
  }
}

void Prepare(TScratch& Scratch, std::size_t Steps, Eigen::Index Parameters) {
  Scratch.Values.resize(Steps * kBlock);
  Scratch.Adjoints.resize((Steps + 1) * kBlock);
  if (Scratch.Jacobian.rows() != kBlock || Scratch.Jacobian.cols() != Parameters)
    Scratch.Jacobian.resize(kBlock, Parameters);
}

void CheckLength(std::size_t Length, std::size_t Expected, const char* What) {
  if (Length != Expected)
    throw EArgumentOutOfRangeException(std::string(What) + " has " + std::to_string(Length) + " values, " +
                                       std::to_string(Expected) + " expected");
}

// The squared error of the model at Parameters (the coefficients, then with linear
// scaling the intercept and the slope) over the whole table, the program's output into
// Output, and with Derivatives the normal equations J'J and J'r of the residuals
// r = model - target.
double Evaluate(const TProgram& Program, const TMXDataTable& Table, std::span<const double> Target, int Coefficients,
                bool Scaling, bool Derivatives, const Eigen::VectorXd& Parameters, TScratch& Scratch,
                std::vector<double>& Output, Eigen::MatrixXd& Normal, Eigen::VectorXd& Gradient) {
  const int rows = Table.RowCount();
  const Eigen::Index count = Derivatives ? Parameters.size() : 0;
  const double intercept = Scaling ? Parameters[Coefficients] : 0, slope = Scaling ? Parameters[Coefficients + 1] : 1;
  Normal.setZero(count, count);
  Gradient.setZero(count);
  Scratch.Residual.resize(kBlock);
  Eigen::MatrixXd& jacobian = Scratch.Jacobian;
  double sum = 0;
  for (int start = 0; start < rows; start += kBlock) {
    const int n = std::min(kBlock, rows - start);
    double* out = Output.data() + start;
    // Under scaling the model is a + b * program: the slope seeds the backward pass.
    RunBlock(Program, Table, Parameters.data(), start, n, Scratch, out, count ? &jacobian : nullptr, slope);
    for (int i = 0; i < n; ++i) {
      const double r = intercept + slope * out[i] - Target[static_cast<std::size_t>(start + i)];
      Scratch.Residual[i] = r;
      sum += r * r;
    }
    if (count == 0) continue;
    if (!Program.Steps.back().Active) jacobian.leftCols(Coefficients).topRows(n).setZero();
    if (Scaling) {
      jacobian.col(Coefficients).head(n).setOnes();
      jacobian.col(Coefficients + 1).head(n) = Eigen::Map<const Eigen::VectorXd>(out, n);
    }
    const auto block = jacobian.topRows(n);
    Normal.selfadjointView<Eigen::Lower>().rankUpdate(block.transpose());
    Gradient.noalias() += block.transpose() * Scratch.Residual.head(n);
  }
  Normal.triangularView<Eigen::StrictlyUpper>() = Normal.transpose();
  return sum;
}

// The first evaluation under linear scaling, in one pass over the rows: the program's
// output (into Output) gives the intercept and slope that fit best at the starting
// coefficients, as FitLinearScaling finds them (into Parameters), and the unscaled
// derivatives summed against 1, the output and the target give the normal equations at
// those parameters, scaled afterwards. Returns the squared error.
double EvaluateScaledStart(const TProgram& Program, const TMXDataTable& Table, std::span<const double> Target,
                           int Coefficients, Eigen::VectorXd& Parameters, TScratch& Scratch,
                           std::vector<double>& Output, Eigen::MatrixXd& Normal, Eigen::VectorXd& Gradient) {
  const int rows = Table.RowCount();
  const Eigen::Index k = Coefficients;
  Eigen::MatrixXd& jacobian = Scratch.Jacobian;
  Normal.setZero(k + 2, k + 2);
  Gradient.setZero(k + 2);
  // J'1, J'output and J'target of the unscaled derivatives.
  Eigen::VectorXd &ones = Scratch.ByOnes, &byOutput = Scratch.ByOutput, &byTarget = Scratch.ByTarget;
  ones.setZero(k), byOutput.setZero(k), byTarget.setZero(k);
  for (int start = 0; start < rows; start += kBlock) {
    const int n = std::min(kBlock, rows - start);
    double* out = Output.data() + start;
    RunBlock(Program, Table, Parameters.data(), start, n, Scratch, out, k ? &jacobian : nullptr);
    if (k == 0) continue;
    if (!Program.Steps.back().Active) jacobian.leftCols(k).topRows(n).setZero();
    const auto block = jacobian.leftCols(k).topRows(n);
    Normal.topLeftCorner(k, k).selfadjointView<Eigen::Lower>().rankUpdate(block.transpose());
    ones.noalias() += block.transpose() * Eigen::VectorXd::Ones(n);
    byOutput.noalias() += block.transpose() * Eigen::Map<const Eigen::VectorXd>(out, n);
    byTarget.noalias() += block.transpose() * Eigen::Map<const Eigen::VectorXd>(Target.data() + start, n);
  }
  double& intercept = Parameters[k];
  double& slope = Parameters[k + 1];
  TMXGPRegressionFitness::FitLinearScaling(Output, Target, slope, intercept);
  double sum = 0, sumOutput = 0, sumSquares = 0, residuals = 0, byResidual = 0;
  for (int i = 0; i < rows; ++i) {
    const double o = Output[static_cast<std::size_t>(i)];
    const double r = intercept + slope * o - Target[static_cast<std::size_t>(i)];
    sum += r * r, sumOutput += o, sumSquares += o * o, residuals += r, byResidual += o * r;
  }
  // J = [slope * J0, 1, output] and r = intercept + slope * output - target.
  Normal.topLeftCorner(k, k).triangularView<Eigen::Lower>() *= slope * slope;
  Normal.block(k, 0, 1, k) = slope * ones.transpose();
  Normal.block(k + 1, 0, 1, k) = slope * byOutput.transpose();
  Normal(k, k) = rows, Normal(k + 1, k) = sumOutput, Normal(k + 1, k + 1) = sumSquares;
  Normal.triangularView<Eigen::StrictlyUpper>() = Normal.transpose();
  Gradient.head(k) = slope * (intercept * ones + slope * byOutput - byTarget);
  Gradient[k] = residuals, Gradient[k + 1] = byResidual;
  return sum;
}

}  // namespace

std::vector<int> CoefficientIndexes(const TMXGPCompactProgram<double>& Program, bool VariableWeights) {
  std::vector<int> result;
  TScratchVector<int> pending;
  if (!Program.Empty()) pending->push_back(0);
  while (!pending->empty()) {
    const int index = pending->back();
    pending->pop_back();
    const TGPRecord<double>& record = Program.Record(index);
    const TMXGPInstruction<double>* instruction = record.Instruction;
    if (!instruction) continue;
    const TGPGeneticInstruction operation = instruction->Operation();
    if (operation == gpConstant || (VariableWeights && operation == gpVariable)) result.push_back(index);
    if (operation == gpConstant || operation == gpVariable) continue;
    for (int i = std::min(ComputedChildren(instruction), record.Arity) - 1; i >= 0; --i)
      pending->push_back(ChildRecord(Program, index, i));
  }
  return result;
}

std::vector<TMXGPNode<double>*> CoefficientNodes(TMXGPNode<double>* Root, bool VariableWeights) {
  const std::vector<TMXGPNode<double>*> order = PreOrder(Root);
  std::vector<TMXGPNode<double>*> result;
  for (const int index : CoefficientIndexes(TMXGPCompactProgram<double>(Root), VariableWeights))
    result.push_back(order[static_cast<std::size_t>(index)]);
  return result;
}

void CoefficientJacobian(const TMXGPCompactProgram<double>& Program, std::span<const int> Coefficients,
                         const TMXDataTable& Table, std::span<const double> Values, std::span<double> Out,
                         std::span<double> Jacobian) {
  const std::size_t rows = static_cast<std::size_t>(Table.RowCount()), count = Coefficients.size();
  CheckLength(Values.size(), count, "Values");
  CheckLength(Out.size(), rows, "Out");
  CheckLength(Jacobian.size(), rows * count, "Jacobian");
  TScratch& scratch = ThreadLocal(tScratch);
  Compile(Program, Coefficients, Table, scratch.Program);
  Prepare(scratch, scratch.Program.Steps.size(), static_cast<Eigen::Index>(count));
  const bool active = scratch.Program.Steps.back().Active;
  for (std::size_t start = 0; start < rows; start += kBlock) {
    const int n = static_cast<int>(std::min<std::size_t>(kBlock, rows - start));
    RunBlock(scratch.Program, Table, Values.data(), static_cast<int>(start), n, scratch, Out.data() + start,
             &scratch.Jacobian);
    for (std::size_t k = 0; k < count; ++k) {
      double* to = Jacobian.data() + k * rows + start;
      if (active) std::copy_n(scratch.Jacobian.col(static_cast<Eigen::Index>(k)).data(), n, to);
      else std::fill_n(to, n, 0.0);
    }
  }
}

void CoefficientJacobian(TMXGPNode<double>* Root, std::span<TMXGPNode<double>* const> Coefficients,
                         const TMXDataTable& Table, std::span<const double> Values, std::span<double> Out,
                         std::span<double> Jacobian) {
  const TRecordsOf records(Root, Coefficients);
  CoefficientJacobian(records.Program, records.Indexes, Table, Values, Out, Jacobian);
}

void CoefficientValues(const TMXGPCompactProgram<double>& Program, std::span<const int> Coefficients,
                       const TMXDataTable& Table, std::span<const double> Values, std::span<double> Out) {
  const std::size_t rows = static_cast<std::size_t>(Table.RowCount());
  CheckLength(Values.size(), Coefficients.size(), "Values");
  CheckLength(Out.size(), rows, "Out");
  TScratch& scratch = ThreadLocal(tScratch);
  Compile(Program, Coefficients, Table, scratch.Program);
  Prepare(scratch, scratch.Program.Steps.size(), static_cast<Eigen::Index>(Coefficients.size()));
  for (std::size_t start = 0; start < rows; start += kBlock) {
    const int n = static_cast<int>(std::min<std::size_t>(kBlock, rows - start));
    RunBlock(scratch.Program, Table, Values.data(), static_cast<int>(start), n, scratch, Out.data() + start, nullptr);
  }
}

void CoefficientValues(TMXGPNode<double>* Root, std::span<TMXGPNode<double>* const> Coefficients,
                       const TMXDataTable& Table, std::span<const double> Values, std::span<double> Out) {
  const TRecordsOf records(Root, Coefficients);
  CoefficientValues(records.Program, records.Indexes, Table, Values, Out);
}

TMXGPCoefficientFit FitCoefficients(TMXGPCompactProgram<double>& Program, std::span<const int> Coefficients,
                                    const TMXDataTable& Table, std::span<const double> Target,
                                    const TMXGPCoefficientOptions& Options, std::span<const double> Start) {
  const int rows = Table.RowCount();
  const int count = static_cast<int>(Coefficients.size());
  CheckLength(Target.size(), static_cast<std::size_t>(rows), "Target");
  if (!Start.empty()) CheckLength(Start.size(), Coefficients.size(), "Start");
  if (Options.MaxIterations < 0) throw EArgumentOutOfRangeException("The iteration limit is negative");
  if (rows == 0) throw EArgumentOutOfRangeException("The data table has no rows");
  for (const double y : Target)
    if (!std::isfinite(y)) throw EArgumentOutOfRangeException("The target holds a value that is not finite");

  TScratch& scratch = ThreadLocal(tScratch);
  const TProgram& program = scratch.Program;
  Compile(Program, Coefficients, Table, scratch.Program);
  const bool scaling = Options.LinearScaling;
  const Eigen::Index parameters = count + (scaling ? 2 : 0);
  Prepare(scratch, program.Steps.size(), parameters);
  scratch.Current.resize(static_cast<std::size_t>(rows));
  scratch.Trial.resize(static_cast<std::size_t>(rows));

  Eigen::VectorXd& p = scratch.Parameters;
  p.resize(parameters);
  for (int k = 0; k < count; ++k) {
    const TGPRecord<double>& record = Program.Record(Coefficients[static_cast<std::size_t>(k)]);
    p[k] = !Start.empty() ? Start[static_cast<std::size_t>(k)]
           : record.Instruction->Operation() == gpVariable ? 1.0
                                                            : record.Value;
  }
  // Under scaling the intercept and slope start at the best ones for the starting
  // coefficients.
  double cost = scaling ? EvaluateScaledStart(program, Table, Target, count, p, scratch, scratch.Current,
                                              scratch.Normal, scratch.Gradient)
                        : Evaluate(program, Table, Target, count, false, true, p, scratch, scratch.Current,
                                   scratch.Normal, scratch.Gradient);

  TMXGPCoefficientFit fit;
  fit.InitialError = cost / rows;
  double lambda = 1e-3;
  const bool finite = std::isfinite(cost);
  for (int iteration = 0; finite && parameters > 0 && cost > 0 && iteration < Options.MaxIterations; ++iteration) {
    if (!scratch.Normal.allFinite() || !scratch.Gradient.allFinite() || scratch.Gradient.isZero(0)) break;
    ++fit.Iterations;
    // Marquardt's damping scales with each parameter's curvature, with a floor for a
    // parameter the data do not move (its row of J'J is zero).
    const double floor = std::max(scratch.Normal.diagonal().maxCoeff() * 1e-12, std::numeric_limits<double>::min());
    scratch.Damped = scratch.Normal;
    scratch.Damped.diagonal() += lambda * scratch.Normal.diagonal().cwiseMax(floor);
    scratch.Solver.compute(scratch.Damped);
    scratch.Step = scratch.Solver.solve(-scratch.Gradient);
    if (scratch.Solver.info() != Eigen::Success || !scratch.Step.allFinite()) {
      lambda *= 10;
      continue;
    }
    scratch.TrialParameters = p + scratch.Step;
    // The last iteration's trial needs no derivatives: nothing solves with them.
    const bool last = iteration + 1 == Options.MaxIterations;
    const double trial = Evaluate(program, Table, Target, count, scaling, !last, scratch.TrialParameters, scratch,
                                  scratch.Trial, scratch.TrialNormal, scratch.TrialGradient);
    if (std::isfinite(trial) && trial < cost) {
      const double decrease = (cost - trial) / cost;
      std::swap(p, scratch.TrialParameters);
      std::swap(scratch.Current, scratch.Trial);
      std::swap(scratch.Normal, scratch.TrialNormal);
      std::swap(scratch.Gradient, scratch.TrialGradient);
      cost = trial;
      lambda = std::max(lambda / 10, 1e-12);
      if (decrease < Options.Tolerance) break;
    } else {
      lambda *= 10;
      if (lambda > 1e16) break;
    }
  }

  fit.Values.assign(p.data(), p.data() + count);
  if (scaling) {
    // The best intercept and slope for the fitted coefficients, as a scaled regression
    // fitness computes them, so the error reported is the error it scores.
    TMXGPRegressionFitness::FitLinearScaling(scratch.Current, Target, fit.Slope, fit.Intercept);
    double sum = 0;
    for (int i = 0; i < rows; ++i) {
      const double r = fit.Intercept + fit.Slope * scratch.Current[static_cast<std::size_t>(i)] -
                       Target[static_cast<std::size_t>(i)];
      sum += r * r;
    }
    cost = sum;
  }
  fit.Error = std::isfinite(cost) ? cost / rows : std::nan("");
  if (!std::isfinite(fit.InitialError)) fit.InitialError = std::nan("");
  if (Options.WriteBack)
    for (int k = 0; k < count; ++k)
      if (const int index = Coefficients[static_cast<std::size_t>(k)];
          Program.Record(index).Instruction->Operation() == gpConstant)
        Program.SetValue(index, fit.Values[static_cast<std::size_t>(k)]);
  return fit;
}

TMXGPCoefficientFit FitCoefficients(TMXGPNode<double>* Root, std::span<TMXGPNode<double>* const> Coefficients,
                                    const TMXDataTable& Table, std::span<const double> Target,
                                    const TMXGPCoefficientOptions& Options, std::span<const double> Start) {
  TRecordsOf records(Root, Coefficients);
  TMXGPCoefficientOptions options = Options;
  options.WriteBack = false;
  TMXGPCoefficientFit fit = FitCoefficients(records.Program, records.Indexes, Table, Target, options, Start);
  if (Options.WriteBack)
    for (std::size_t k = 0; k < Coefficients.size(); ++k)
      if (Coefficients[k]->Instruction()->Operation() == gpConstant) Coefficients[k]->SetValue(fit.Values[k]);
  return fit;
}

}  // namespace evokit
