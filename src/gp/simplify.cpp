#include <evokit/gp/simplify.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <optional>

#include <evokit/core/consts.h>
#include <evokit/platform/convert.h>

namespace evokit {

// --- the expression value -----------------------------------------------------------------

TMXExpression TMXExpression::Constant(double Value) {
  TMXExpression e;
  e.FValue = Value;
  return e;
}

TMXExpression TMXExpression::Variable(std::string Name) {
  TMXExpression e;
  e.FKind = ekVariable;
  e.FName = std::move(Name);
  return e;
}

TMXExpression TMXExpression::Function(TGPFloatPrimitive P, std::vector<TMXExpression> Arguments) {
  const int arity = FloatPrimitiveArity(P);
  if (arity == 0 || static_cast<int>(Arguments.size()) != arity)
    throw EGPException("Primitive " + EnumName(P) + " takes " + std::to_string(arity) + " arguments, not " +
                       std::to_string(Arguments.size()));
  TMXExpression e;
  e.FKind = ekFunction;
  e.FPrimitive = P;
  for (const TMXExpression& argument : Arguments) {
    e.FSize += argument.FSize;
    e.FDepth = std::max(e.FDepth, argument.FDepth + 1);
  }
  if (e.FDepth > MaxDepth) throw EGPException("Expression deeper than " + std::to_string(MaxDepth) + " levels");
  e.FChildren = std::move(Arguments);
  return e;
}

TMXExpression TMXExpression::Function(TGPFloatPrimitive P, TMXExpression A) {
  std::vector<TMXExpression> arguments;
  arguments.push_back(std::move(A));
  return Function(P, std::move(arguments));
}

TMXExpression TMXExpression::Function(TGPFloatPrimitive P, TMXExpression A, TMXExpression B) {
  std::vector<TMXExpression> arguments;
  arguments.push_back(std::move(A));
  arguments.push_back(std::move(B));
  return Function(P, std::move(arguments));
}

namespace {

TMXExpression Translate(const TMXGPNode<double>& Node, int Level, bool Weights) {
  if (Level > TMXExpression::MaxDepth)
    throw EGPException("Program deeper than " + std::to_string(TMXExpression::MaxDepth) + " levels");
  const TMXGPInstruction<double>* instruction = Node.Instruction();
  if (!instruction) RaiseMessage<EGPException>(_SNoInstructionAssigned);
  if (instruction->OnExecute())
    throw EGPException("Instruction \"" + instruction->Name() +
                       "\" has an OnExecute handler; only its program's execution knows what it computes");
  switch (instruction->Operation()) {
    case gpVariable:
      if (Weights && Node.Value() != 1)
        return TMXExpression::Function(fpMul, TMXExpression::Constant(Node.Value()),
                                       TMXExpression::Variable(instruction->Name()));
      return TMXExpression::Variable(instruction->Name());
    case gpConstant: return TMXExpression::Constant(Node.Value());
    case gpFunction: break;
  }
  const auto* primitive = dynamic_cast<const TMXGPFloatPrimitive*>(instruction);
  const TGPFloatPrimitive p = primitive ? primitive->Primitive() : fpNone;
  const int run = std::max(instruction->Arity(), FloatPrimitiveArity(p));
  if (Node.GetChildCount() < run)
    RaiseMessage<EGPException>(_SInvalidNumInstructionArgs, Node.GetChildCount(), instruction->DisplayName());
  if (p == fpNone) return TMXExpression::Constant(0);
  std::vector<TMXExpression> arguments;
  for (int i = 0; i < FloatPrimitiveArity(p); ++i) arguments.push_back(Translate(*Node.GetChild(i), Level + 1, Weights));
  return TMXExpression::Function(p, std::move(arguments));
}

}  // namespace

TMXExpression TMXExpression::FromProgram(const TMXGPNode<double>* Root, bool VariableWeights) {
  if (!Root) throw EGPException("No program to turn into an expression");
  return Translate(*Root, 1, VariableWeights);
}

const TMXExpression& TMXExpression::Child(int Index) const {
  if (Index < 0 || Index >= ChildCount())
    throw EListError("Expression child index out of bounds (" + std::to_string(Index) + ")");
  return FChildren[static_cast<std::size_t>(Index)];
}

bool operator==(const TMXExpression& A, const TMXExpression& B) {
  return A.FKind == B.FKind && A.FPrimitive == B.FPrimitive && A.FValue == B.FValue && A.FName == B.FName &&
         A.FChildren == B.FChildren;
}

// --- evaluation ---------------------------------------------------------------------------

namespace {

std::span<const double> ColumnOf(const TMXExpression& Variable, const TMXDataTable& Table) {
  const int column = Table.IndexOf(Variable.Name());
  if (column < 0) throw EGPException("Variable \"" + Variable.Name() + "\" has no column in the data table");
  return Table.Column(column);
}

double ValueAt(const TMXExpression& X, const TMXDataTable& Table, int Row) {
  switch (X.Kind()) {
    case TMXExpression::ekConstant: return X.Value();
    case TMXExpression::ekVariable: return ColumnOf(X, Table)[static_cast<std::size_t>(Row)];
    case TMXExpression::ekFunction: break;
  }
  const double a = ValueAt(X.Child(0), Table, Row);
  return ApplyFloatPrimitive(X.Primitive(), a, X.ChildCount() > 1 ? ValueAt(X.Child(1), Table, Row) : 0);
}

std::vector<double> Values(const TMXExpression& X, const TMXDataTable& Table) {
  const auto rows = static_cast<std::size_t>(Table.RowCount());
  switch (X.Kind()) {
    case TMXExpression::ekConstant: return std::vector<double>(rows, X.Value());
    case TMXExpression::ekVariable: {
      const std::span<const double> column = ColumnOf(X, Table);
      return std::vector<double>(column.begin(), column.end());
    }
    case TMXExpression::ekFunction: break;
  }
  std::vector<double> a = Values(X.Child(0), Table);
  const std::vector<double> b = X.ChildCount() > 1 ? Values(X.Child(1), Table) : std::vector<double>(rows);
  for (std::size_t i = 0; i < rows; ++i) a[i] = ApplyFloatPrimitive(X.Primitive(), a[i], b[i]);
  return a;
}

}  // namespace

double TMXExpression::Evaluate(const TMXDataTable& Table, int Row) const {
  if (Row < 0 || Row >= Table.RowCount())
    throw EArgumentOutOfRangeException("Row " + std::to_string(Row) + " is outside the table of " +
                                       std::to_string(Table.RowCount()) + " rows");
  return ValueAt(*this, Table, Row);
}

std::vector<double> TMXExpression::Evaluate(const TMXDataTable& Table) const { return Values(*this, Table); }

// --- text ---------------------------------------------------------------------------------

namespace {

// Binding strength of what a node prints as: a leading minus binds like a product.
enum TLevel { lvCall, lvSum, lvProduct, lvPower, lvAtom };

// How each primitive prints: a format where '#' stands for each argument in turn, in
// readable and in SymPy text; the node's level; and the level each argument needs to go
// without parentheses (lvCall: never any).
struct TPrinted {
  const char* Readable;
  const char* SymPy;
  TLevel Level;
  TLevel Needs[2];
};
constexpr std::array<TPrinted, 17> kPrinted{{
    {"", "", lvAtom, {lvCall, lvCall}},
    {"# + #", "# + #", lvSum, {lvSum, lvProduct}},
    {"# - #", "# - #", lvSum, {lvSum, lvProduct}},
    {"# * #", "# * #", lvProduct, {lvProduct, lvPower}},
    {"# / #", "# / #", lvProduct, {lvProduct, lvPower}},
    {"min(#, #)", "Min(#, #)", lvAtom, {lvCall, lvCall}},
    {"max(#, #)", "Max(#, #)", lvAtom, {lvCall, lvCall}},
    {"-#", "-#", lvProduct, {lvProduct}},
    {"abs(#)", "Abs(#)", lvAtom, {lvCall}},
    {"#^2", "#**2", lvPower, {lvAtom}},
    {"sqrt(#)", "sqrt(Abs(#))", lvAtom, {lvCall}},
    {"exp(#)", "exp(#)", lvAtom, {lvCall}},
    {"log(#)", "log(Abs(#))", lvAtom, {lvCall}},
    {"sin(#)", "sin(#)", lvAtom, {lvCall}},
    {"cos(#)", "cos(#)", lvAtom, {lvCall}},
    {"tanh(#)", "tanh(#)", lvAtom, {lvCall}},
    {"aq(#, #)", "((#)/sqrt(1 + (#)**2))", lvAtom, {lvCall, lvCall}},
}};
static_assert(kPrinted.size() == static_cast<std::size_t>(EnumCount<TGPFloatPrimitive>()), "one row per primitive");

struct TPrinter {
  const TExpressionNames& Names;
  int Digits;
  bool SymPy;

  std::string Constant(double Value) const {
    if (std::isnan(Value)) return "nan";
    if (std::isinf(Value)) return std::string(Value < 0 ? "-" : "") + (SymPy ? "oo" : "inf");
    return FloatToStrF(Value, ffGeneral, Digits, 0);
  }

  // E's text and the level it prints at.
  std::pair<std::string, TLevel> Print(const TMXExpression& X) const {
    if (X.Kind() == TMXExpression::ekVariable) {
      const auto found = Names.find(X.Name());
      return {found == Names.end() ? X.Name() : found->second, lvAtom};
    }
    if (X.Kind() == TMXExpression::ekConstant) {
      std::string text = Constant(X.Value());
      const TLevel level = text.starts_with('-') ? lvProduct : lvAtom;
      return {std::move(text), level};
    }
    const TPrinted& row = kPrinted[static_cast<std::size_t>(X.Primitive())];
    const std::string_view format = SymPy ? row.SymPy : row.Readable;
    std::string text;
    int argument = 0;
    for (std::size_t i = 0; i < format.size(); ++i) {
      if (format[i] != '#') {
        text += format[i];
        continue;
      }
      auto [operand, level] = Print(X.Child(argument));
      const TLevel needs = row.Needs[argument++];
      // A minus right after an operator ("x - -y") reads badly: it gets parentheses too.
      if (level < needs || (needs != lvCall && i > 0 && operand.starts_with('-'))) operand = "(" + operand + ")";
      text += operand;
    }
    return {std::move(text), row.Level};
  }
};

std::string Text(const TMXExpression& X, const TExpressionNames& Names, int Digits, bool SymPy) {
  if (Digits < 1 || Digits > 17)
    throw EArgumentOutOfRangeException("Digits must be 1 to 17, not " + std::to_string(Digits));
  return TPrinter{Names, Digits, SymPy}.Print(X).first;
}

}  // namespace

std::string TMXExpression::ToString(const TExpressionNames& Names, int Digits) const {
  return Text(*this, Names, Digits, false);
}

std::string TMXExpression::ToSymPy(const TExpressionNames& Names, int Digits) const {
  return Text(*this, Names, Digits, true);
}

// --- simplification -----------------------------------------------------------------------
// Bottom-up: the children first, then one rewrite family for the node's primitive, and
// the rewritten node only when it is no larger.

namespace {

using E = TMXExpression;

bool IsConstant(const E& X) { return X.Kind() == E::ekConstant; }
bool Is(const E& X, TGPFloatPrimitive P) { return X.Kind() == E::ekFunction && X.Primitive() == P; }

// --- what a rewrite may assume ---

// Where a subexpression sits: whether a NaN there, and any non-finite value there, makes
// the program's result non-finite. A rewrite that changes the subexpression's value only
// where it is NaN (or non-finite) then changes only rows whose result is no number.
struct TContext {
  bool NaN = true;
  bool NonFinite = true;
};

// For each argument of each primitive: whether a NaN there, and any non-finite value
// there, either gives a non-finite result or does not matter (a zero divisor gives 1
// whatever the dividend).
struct TPropagation {
  bool NaN[2];
  bool NonFinite[2];
};
constexpr std::array<TPropagation, 17> kPropagation{{
    {{false, false}, {false, false}},  // fpNone
    {{true, true}, {true, true}},      // Add
    {{true, true}, {true, true}},      // Sub
    {{true, true}, {true, true}},      // Mul: inf * 0 is NaN
    {{true, true}, {true, false}},     // Div: a zero divisor gives 1 whatever the dividend, an infinite one 0
    {{true, false}, {false, false}},   // Min: the first argument when either is NaN; inf loses
    {{true, false}, {false, false}},   // Max
    {{true}, {true}},                  // Neg
    {{true}, {true}},                  // Abs
    {{true}, {true}},                  // Square
    {{true}, {true}},                  // Sqrt
    {{true}, {false}},                 // Exp: exp(-inf) is 0
    {{true}, {true}},                  // Log: log |inf| is inf
    {{true}, {true}},                  // Sin: sin(inf) is NaN
    {{true}, {true}},                  // Cos
    {{true}, {false}},                 // Tanh: tanh(inf) is 1
    {{true, true}, {true, false}},     // AQ: an infinite second argument gives 0 (or NaN)
}};
static_assert(kPropagation.size() == static_cast<std::size_t>(EnumCount<TGPFloatPrimitive>()), "one row per primitive");

TContext ChildContext(TContext Parent, TGPFloatPrimitive P, int Index) {
  const TPropagation& row = kPropagation[static_cast<std::size_t>(P)];
  return {Parent.NaN && row.NaN[Index], Parent.NonFinite && row.NonFinite[Index]};
}

// Whether X is finite for every finite input, with a bound on |X| (infinite when none
// is known: a variable is finite but unbounded, so x + y may overflow).
struct TRange {
  bool Finite;
  double Bound;
};

TRange RangeOf(const E& X) {
  constexpr double kUnbounded = std::numeric_limits<double>::infinity();
  if (X.Kind() == E::ekVariable) return {true, kUnbounded};
  if (X.Kind() == E::ekConstant) return {std::isfinite(X.Value()), std::fabs(X.Value())};
  const TRange a = RangeOf(X.Child(0));
  const TRange b = X.ChildCount() > 1 ? RangeOf(X.Child(1)) : a;
  const auto within = [&](double Bound) { return TRange{a.Finite && b.Finite && std::isfinite(Bound), Bound}; };
  switch (X.Primitive()) {
    case fpAdd:
    case fpSub: return within(a.Bound + b.Bound);
    case fpMul: return within(a.Bound * b.Bound);
    case fpSquare: return within(a.Bound * a.Bound);
    case fpExp: return within(std::exp(a.Bound));
    case fpMin:
    case fpMax: return {a.Finite && b.Finite, std::max(a.Bound, b.Bound)};
    case fpNeg:
    case fpAbs: return a;
    case fpSqrt: return {a.Finite, std::sqrt(a.Bound)};
    case fpLog: return {a.Finite, std::max(745.0, std::log(a.Bound))};  // log of the least subnormal is -744.4
    case fpSin:
    case fpCos:
    case fpTanh: return {a.Finite, 1};
    case fpAQ: return within(a.Bound);  // the divisor is at least 1
    case fpDiv:  // a tiny divisor overflows
    case fpNone: break;
  }
  return {false, kUnbounded};
}

// Whether a rewrite may drop X (times zero, minus itself, over itself): X is finite
// wherever the result is, or everywhere.
bool Dispensable(const E& X, TContext Context) { return Context.NaN || RangeOf(X).Finite; }

// A total order on expressions, so that sums and products list their terms the same way
// however the program wrote them: leaves first, variables by name, then smaller
// functions before larger ones (x + y^2 + y / z), then by primitive and arguments.
bool Before(const E& A, const E& B) {
  if (A.Kind() != B.Kind()) return A.Kind() < B.Kind();
  if (A.Kind() == E::ekConstant) return A.Value() < B.Value();
  if (A.Kind() == E::ekVariable) return A.Name() < B.Name();
  if (A.Size() != B.Size()) return A.Size() < B.Size();
  if (A.Primitive() != B.Primitive()) return A.Primitive() < B.Primitive();
  for (int i = 0; i < A.ChildCount(); ++i) {
    if (Before(A.Child(i), B.Child(i))) return true;
    if (Before(B.Child(i), A.Child(i))) return false;
  }
  return false;
}

// --- constants ---

// A function of constants becomes its value when that is finite (an overflow stays
// written out).
std::optional<E> FoldConstants(const E& X) {
  for (int i = 0; i < X.ChildCount(); ++i)
    if (!IsConstant(X.Child(i))) return std::nullopt;
  const double value =
      ApplyFloatPrimitive(X.Primitive(), X.Child(0).Value(), X.ChildCount() > 1 ? X.Child(1).Value() : 0);
  if (!std::isfinite(value)) return std::nullopt;
  return E::Constant(value);
}

// --- products ---

// A product as a constant coefficient times factors.
struct TProduct {
  double Coefficient = 1;
  std::vector<E> Factors;
};

struct TSum;
std::optional<E> Factored(const E& X, double& Factor);

// Flattens products, negations and quotients by nonzero constants into Out; a sum whose
// terms share one coefficient gives it up (2 * x + 2 -> 2, x + 1), so that it meets the
// product's other constants.
void CollectFactors(const E& X, TProduct& Out) {
  if (IsConstant(X)) {
    Out.Coefficient *= X.Value();
  } else if (Is(X, fpMul)) {
    CollectFactors(X.Child(0), Out);
    CollectFactors(X.Child(1), Out);
  } else if (Is(X, fpNeg)) {
    Out.Coefficient = -Out.Coefficient;
    CollectFactors(X.Child(0), Out);
  } else if (Is(X, fpDiv) && IsConstant(X.Child(1)) && X.Child(1).Value() != 0) {
    Out.Coefficient /= X.Child(1).Value();
    CollectFactors(X.Child(0), Out);
  } else if (double factor = 1; std::optional<E> sum = Factored(X, factor)) {
    Out.Coefficient *= factor;
    Out.Factors.push_back(std::move(*sum));
  } else {
    Out.Factors.push_back(X);
  }
}

// The factors in canonical order as a product leaning left (x * y * z prints without
// parentheses), two equal neighbours as a square; the constant 1 when there are none.
E Monomial(std::vector<E> Factors) {
  std::stable_sort(Factors.begin(), Factors.end(), Before);
  std::optional<E> product;
  for (std::size_t i = 0; i < Factors.size(); ++i) {
    E factor = Factors[i];
    if (i + 1 < Factors.size() && Factors[i + 1] == factor) factor = E::Function(fpSquare, std::move(factor)), ++i;
    product = product ? E::Function(fpMul, std::move(*product), std::move(factor)) : std::move(factor);
  }
  return product ? *product : E::Constant(1);
}

// Coefficient times Monomial, written the shortest way: m, -m, m / 3 (when the
// coefficient is exactly the reciprocal of a whole number), 2 * m with the constant in
// front of the product's factors.
E Scaled(double Coefficient, const E& Monomial) {
  // A coefficient a few roundings off 1 or -1 (a weight fitted to 1, say) is written as one.
  constexpr double kRounding = 4 * std::numeric_limits<double>::epsilon();
  if (std::fabs(Coefficient - 1) <= kRounding) return Monomial;
  if (std::fabs(Coefficient + 1) <= kRounding) return E::Function(fpNeg, Monomial);
  const double divisor = std::round(1 / Coefficient);
  if (std::isfinite(divisor) && std::fabs(divisor) >= 2 && 1 / divisor == Coefficient) {
    E quotient = E::Function(fpDiv, Monomial, E::Constant(std::fabs(divisor)));
    return divisor > 0 ? quotient : E::Function(fpNeg, std::move(quotient));
  }
  if (Is(Monomial, fpMul)) return E::Function(fpMul, Scaled(Coefficient, Monomial.Child(0)), Monomial.Child(1));
  return E::Function(fpMul, E::Constant(Coefficient), Monomial);
}

// x * 1 -> x, 2 * (3 * x) -> 6 * x, x * x -> x^2, x * 0 -> 0 where x is dispensable.
std::optional<E> SimplifyProduct(const E& X, TContext Context) {
  TProduct product;
  CollectFactors(X, product);
  if (!std::isfinite(product.Coefficient)) return std::nullopt;
  if (product.Coefficient == 0 && std::all_of(product.Factors.begin(), product.Factors.end(), [&](const E& F) {
        return Dispensable(F, Context);
      }))
    return E::Constant(0);
  return Scaled(product.Coefficient, Monomial(std::move(product.Factors)));
}

// --- sums ---

struct TTerm {
  double Coefficient;
  E Monomial;
};
// A sum as terms (coefficient times a monomial without constant factor) and a constant.
struct TSum {
  std::vector<TTerm> Terms;
  double Constant = 0;
};

// Flattens sums, differences and negations, times Scale, into Out. With Distribute a
// constant multiple of a sum spreads over its terms (2 * (x + 1) + 3 -> 2 * x + 5).
void CollectTerms(const E& X, double Scale, bool Distribute, TSum& Out) {
  if (IsConstant(X)) {
    Out.Constant += Scale * X.Value();
  } else if (Is(X, fpAdd) || Is(X, fpSub)) {
    CollectTerms(X.Child(0), Scale, Distribute, Out);
    CollectTerms(X.Child(1), Is(X, fpSub) ? -Scale : Scale, Distribute, Out);
  } else if (Is(X, fpNeg)) {
    CollectTerms(X.Child(0), -Scale, Distribute, Out);
  } else {
    TProduct product;
    CollectFactors(X, product);
    const bool sum = product.Factors.size() == 1 && (Is(product.Factors[0], fpAdd) || Is(product.Factors[0], fpSub));
    if (Distribute && sum)
      CollectTerms(product.Factors[0], Scale * product.Coefficient, Distribute, Out);
    else  // no factors only when the coefficient overflowed, which CombineLikeTerms refuses
      Out.Terms.push_back({Scale * product.Coefficient, Monomial(std::move(product.Factors))});
  }
}

// Adds up the coefficients of equal monomials: always when they have the same sign
// (infinities of one sign stay infinite), otherwise only when the monomial is
// dispensable; then drops the zero terms that are. False when a coefficient or the
// constant is not finite.
bool CombineLikeTerms(TSum& Sum, TContext Context) {
  std::vector<TTerm> combined;
  for (TTerm& term : Sum.Terms) {
    const auto like = std::find_if(combined.begin(), combined.end(), [&](const TTerm& T) {
      const bool sameSign = (T.Coefficient > 0 && term.Coefficient > 0) || (T.Coefficient < 0 && term.Coefficient < 0);
      return T.Monomial == term.Monomial && (sameSign || Dispensable(T.Monomial, Context));
    });
    if (like != combined.end())
      like->Coefficient += term.Coefficient;
    else
      combined.push_back(std::move(term));
  }
  std::erase_if(combined, [&](const TTerm& T) { return T.Coefficient == 0 && Dispensable(T.Monomial, Context); });
  Sum.Terms = std::move(combined);
  return std::isfinite(Sum.Constant) &&
         std::all_of(Sum.Terms.begin(), Sum.Terms.end(), [](const TTerm& T) { return std::isfinite(T.Coefficient); });
}

// The terms in canonical order, the positive ones first, and the constant last; the
// constant leads when no term is positive: x + 2 * y - z + 3, 3 - x.
E WriteSum(TSum Sum) {
  std::stable_sort(Sum.Terms.begin(), Sum.Terms.end(),
                   [](const TTerm& A, const TTerm& B) { return Before(A.Monomial, B.Monomial); });
  std::stable_partition(Sum.Terms.begin(), Sum.Terms.end(), [](const TTerm& T) { return T.Coefficient > 0; });
  std::optional<E> sum;
  if (Sum.Terms.empty() || (Sum.Terms[0].Coefficient <= 0 && Sum.Constant > 0)) {
    sum = E::Constant(Sum.Constant);
    Sum.Constant = 0;
  }
  for (const TTerm& term : Sum.Terms) {
    if (!sum)
      sum = Scaled(term.Coefficient, term.Monomial);
    else if (term.Coefficient < 0)
      sum = E::Function(fpSub, std::move(*sum), Scaled(-term.Coefficient, term.Monomial));
    else
      sum = E::Function(fpAdd, std::move(*sum), Scaled(term.Coefficient, term.Monomial));
  }
  if (Sum.Constant != 0)
    sum = E::Function(Sum.Constant < 0 ? fpSub : fpAdd, std::move(*sum), E::Constant(std::fabs(Sum.Constant)));
  return *sum;
}

// The sum X (terms of one sign up to a constant) over the size of its terms' shared
// coefficient, which goes to Factor: 2 * x - 2 * y + 3 -> x - y + 1.5 with Factor 2.
// Nothing for anything else, or a coefficient of 1.
std::optional<E> Factored(const E& X, double& Factor) {
  if (!Is(X, fpAdd) && !Is(X, fpSub)) return std::nullopt;
  TSum sum;
  CollectTerms(X, 1, false, sum);
  if (sum.Terms.empty()) return std::nullopt;
  const double shared = std::fabs(sum.Terms[0].Coefficient);
  if (shared == 1 || shared == 0 || !std::isfinite(shared) || !std::isfinite(sum.Constant / shared)) return std::nullopt;
  for (TTerm& term : sum.Terms) {
    if (std::fabs(term.Coefficient) != shared) return std::nullopt;
    term.Coefficient = term.Coefficient > 0 ? 1 : -1;
  }
  sum.Constant /= shared;
  Factor = shared;
  return WriteSum(std::move(sum));
}

// x + 0 -> x, --x -> x, (x + 1) + 2 -> x + 3, x + x -> 2 * x, x - x -> 0 where x is
// dispensable; with and without spreading constant multiples over inner sums, keeping
// the shorter.
std::optional<E> SimplifySum(const E& X, TContext Context) {
  std::optional<E> best;
  for (const bool distribute : {false, true}) {
    TSum sum;
    CollectTerms(X, 1, distribute, sum);
    if (!CombineLikeTerms(sum, Context)) continue;
    E written = WriteSum(std::move(sum));
    if (!best || written.Size() < best->Size()) best = std::move(written);
  }
  return best;
}

// --- quotients and the rest ---

// a / 0 -> 1 (whatever a is), a / c -> a * (1 / c), x / x -> 1 where x is dispensable.
std::optional<E> SimplifyQuotient(const E& X, TContext Context) {
  const E& divisor = X.Child(1);
  if (IsConstant(divisor)) return divisor.Value() == 0 ? E::Constant(1) : SimplifyProduct(X, Context);
  if (X.Child(0) == divisor && Dispensable(divisor, Context)) return E::Constant(1);
  return std::nullopt;
}

// aq(a, c) -> a * (1 / sqrt(1 + c^2)); aq(a, -b) and aq(a, abs(b)) -> aq(a, b), the
// divisor squaring the sign away.
std::optional<E> SimplifyAnalyticQuotient(const E& X, TContext Context) {
  const E& divisor = X.Child(1);
  if (IsConstant(divisor)) {
    E product = E::Function(fpMul, X.Child(0), E::Constant(1 / std::sqrt(1 + divisor.Value() * divisor.Value())));
    return SimplifyProduct(product, Context).value_or(product);
  }
  const E* inner = &divisor;
  while (Is(*inner, fpNeg) || Is(*inner, fpAbs)) inner = &inner->Child(0);
  if (inner != &divisor) return E::Function(fpAQ, X.Child(0), *inner);
  return std::nullopt;
}

// min(x, x) -> x, max(x, x) -> x.
std::optional<E> SimplifyMinMax(const E& X) {
  if (X.Child(0) == X.Child(1)) return X.Child(0);
  return std::nullopt;
}

// Outer(Inner(a)) becomes: Outer(a), Inner(a), -Outer(a) or abs(a). The identities hold
// for every value but Sqrt(Square), which loses the overflow of a^2 and so needs a place
// where that overflow would reach the result.
enum TUnaryResult { urOuter, urInner, urNegatedOuter, urAbs };
struct TUnaryRule {
  TGPFloatPrimitive Outer, Inner;
  TUnaryResult Result;
  bool NeedsNonFiniteContext = false;
};
constexpr TUnaryRule kUnaryRules[] = {
    {fpAbs, fpNeg, urOuter},       {fpAbs, fpAbs, urInner},       {fpAbs, fpSquare, urInner},
    {fpAbs, fpSqrt, urInner},      {fpAbs, fpExp, urInner},       {fpSquare, fpNeg, urOuter},
    {fpSquare, fpAbs, urOuter},    {fpSquare, fpSqrt, urAbs},     {fpSqrt, fpNeg, urOuter},
    {fpSqrt, fpAbs, urOuter},      {fpSqrt, fpSquare, urAbs, true}, {fpLog, fpNeg, urOuter},
    {fpLog, fpAbs, urOuter},       {fpCos, fpNeg, urOuter},       {fpCos, fpAbs, urOuter},
    {fpSin, fpNeg, urNegatedOuter}, {fpTanh, fpNeg, urNegatedOuter},
};

std::optional<E> SimplifyUnary(const E& X, TContext Context) {
  const E& inner = X.Child(0);
  for (const TUnaryRule& rule : kUnaryRules) {
    if (X.Primitive() != rule.Outer || !Is(inner, rule.Inner)) continue;
    if (rule.NeedsNonFiniteContext && !Context.NonFinite) continue;
    const E& a = inner.Child(0);
    const auto again = [&](TGPFloatPrimitive P) {
      E applied = E::Function(P, a);
      return SimplifyUnary(applied, Context).value_or(applied);
    };
    switch (rule.Result) {
      case urOuter: return again(rule.Outer);
      case urInner: return inner;
      case urNegatedOuter: return E::Function(fpNeg, again(rule.Outer));
      case urAbs: return again(fpAbs);
    }
  }
  return std::nullopt;
}

std::optional<E> Rewrite(const E& X, TContext Context) {
  if (std::optional<E> folded = FoldConstants(X)) return folded;
  switch (X.Primitive()) {
    case fpAdd:
    case fpSub:
    case fpNeg: return SimplifySum(X, Context);
    case fpMul: return SimplifyProduct(X, Context);
    case fpDiv: return SimplifyQuotient(X, Context);
    case fpAQ: return SimplifyAnalyticQuotient(X, Context);
    case fpMin:
    case fpMax: return SimplifyMinMax(X);
    default: return SimplifyUnary(X, Context);
  }
}

E SimplifyNode(const E& X, TContext Context) {
  if (X.Kind() != E::ekFunction) return X;
  std::vector<E> children;
  for (int i = 0; i < X.ChildCount(); ++i)
    children.push_back(SimplifyNode(X.Child(i), ChildContext(Context, X.Primitive(), i)));
  E node = E::Function(X.Primitive(), std::move(children));
  std::optional<E> rewritten;
  try {
    rewritten = Rewrite(node, Context);
  } catch (const EGPException&) {  // a flattened sum or product too long to write out within MaxDepth
  }
  return rewritten && rewritten->Size() <= node.Size() ? std::move(*rewritten) : node;
}

}  // namespace

TMXExpression Simplify(const TMXExpression& Expression) { return SimplifyNode(Expression, TContext{}); }

TMXExpression Simplify(const TMXGPNode<double>* Program) { return Simplify(TMXExpression::FromProgram(Program)); }

}  // namespace evokit
