// Ready-made float instructions: the standard arithmetic and transcendental primitives of
// symbolic regression (TGPFloatPrimitive), the instruction class that computes them
// (TMXGPFloatPrimitive) and AddFloatPrimitives, which adds primitives, variables and
// constants to a float instruction set in one call. The table FloatPrimitives holds each
// primitive's name, arity and scalar function, the single definition of what it computes:
// per-row execution and the batch evaluator (batch.h) both call it, so both give the
// same bits.
//
// Protections, so that every input gives a number and evolution never stops on a
// domain error:
//   Div(a, b)  a / b, and 1 when b is zero (either sign)
//   Log(a)     log |a|, and 0 when a is zero
//   Sqrt(a)    sqrt |a|
//   Min, Max   the smaller (larger) value; when either is NaN, the first argument
// AQ(a, b), the analytic quotient a / sqrt(1 + b^2), needs no protection: it behaves as
// a / b for large |b| and, having no pole, keeps a model smooth between and beyond the
// data's points, where a protected Div may jump by orders of magnitude.
// Exp, Square and the products may overflow to infinity; NaN and infinities propagate
// otherwise (a regression fitness counts a non-finite result as unfit). The math routines
// are the C library's (std::exp, std::log, std::sin, std::cos, std::tanh, std::sqrt).
//
// Thread safety: as TMXGPInstruction; the scalar functions are pure.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include <evokit/gp/float_variant_programs.h>
#include <evokit/platform/enums.h>

namespace evokit {

// The standard float primitives; fpNone is an ordinary instruction. Each value has its row
// in FloatPrimitives below, at its own position. The fixed underlying type makes a value
// outside the list well defined, so that SetPrimitive can refuse it.
enum TGPFloatPrimitive : int {
  fpNone, fpAdd, fpSub, fpMul, fpDiv, fpMin, fpMax,
  fpNeg, fpAbs, fpSquare, fpSqrt, fpExp, fpLog, fpSin, fpCos, fpTanh, fpAQ,
};
EVOKIT_ENUM_NAMES(TGPFloatPrimitive, "fpNone", "fpAdd", "fpSub", "fpMul", "fpDiv", "fpMin", "fpMax", "fpNeg",
                  "fpAbs", "fpSquare", "fpSqrt", "fpExp", "fpLog", "fpSin", "fpCos", "fpTanh", "fpAQ");

// The primitives as scalar functions (see the protections above).
namespace primitive {
inline double Add(double A, double B) noexcept { return A + B; }
inline double Sub(double A, double B) noexcept { return A - B; }
inline double Mul(double A, double B) noexcept { return A * B; }
// The quotient is computed whatever B is (no branch, so loops over rows vectorise).
inline double Div(double A, double B) noexcept {
  const double q = A / B;
  return B == 0 ? 1.0 : q;
}
inline double Min(double A, double B) noexcept { return B < A ? B : A; }
inline double Max(double A, double B) noexcept { return A < B ? B : A; }
inline double Neg(double A) noexcept { return -A; }
inline double Abs(double A) noexcept { return std::fabs(A); }
inline double Square(double A) noexcept { return A * A; }
inline double Sqrt(double A) noexcept { return std::sqrt(std::fabs(A)); }
inline double Exp(double A) noexcept { return std::exp(A); }
inline double Log(double A) noexcept { return A == 0 ? 0.0 : std::log(std::fabs(A)); }
inline double Sin(double A) noexcept { return std::sin(A); }
inline double Cos(double A) noexcept { return std::cos(A); }
inline double Tanh(double A) noexcept { return std::tanh(A); }
inline double AQ(double A, double B) noexcept { return A / std::sqrt(1 + B * B); }
}  // namespace primitive

// One primitive: its instruction name, its arity and the scalar function of that arity
// (the other one is null). Execution, name lookup, constant folding and the batch
// kernels (batch.cpp) are all made from these rows.
struct TGPFloatPrimitiveRow {
  TGPFloatPrimitive Primitive;
  std::string_view Name;
  int Arity;
  double (*Unary)(double) noexcept;
  double (*Binary)(double, double) noexcept;
};

// The primitives, one row per TGPFloatPrimitive in enumeration order. A new primitive is
// an enumeration value with its name, a scalar function and a row here.
inline constexpr auto FloatPrimitives = std::to_array<TGPFloatPrimitiveRow>({
    {fpNone, "", 0, nullptr, nullptr},
    {fpAdd, "Add", 2, nullptr, primitive::Add},
    {fpSub, "Sub", 2, nullptr, primitive::Sub},
    {fpMul, "Mul", 2, nullptr, primitive::Mul},
    {fpDiv, "Div", 2, nullptr, primitive::Div},
    {fpMin, "Min", 2, nullptr, primitive::Min},
    {fpMax, "Max", 2, nullptr, primitive::Max},
    {fpNeg, "Neg", 1, primitive::Neg, nullptr},
    {fpAbs, "Abs", 1, primitive::Abs, nullptr},
    {fpSquare, "Square", 1, primitive::Square, nullptr},
    {fpSqrt, "Sqrt", 1, primitive::Sqrt, nullptr},
    {fpExp, "Exp", 1, primitive::Exp, nullptr},
    {fpLog, "Log", 1, primitive::Log, nullptr},
    {fpSin, "Sin", 1, primitive::Sin, nullptr},
    {fpCos, "Cos", 1, primitive::Cos, nullptr},
    {fpTanh, "Tanh", 1, primitive::Tanh, nullptr},
    {fpAQ, "AQ", 2, nullptr, primitive::AQ},
});

namespace detail {
// Every row is named as its enumeration value without "fp" and takes one or two arguments
// (fpNone none). Whether a row has the function its arity calls for is left to the tests:
// GCC's null-pointer sanitizer makes a function's address compared with null no constant.
constexpr bool FloatPrimitiveRowsFit() {
  for (std::size_t i = 0; i < FloatPrimitives.size(); ++i) {
    const TGPFloatPrimitiveRow& row = FloatPrimitives[i];
    const std::string_view value = TEnumInfo<TGPFloatPrimitive>::Names[i];
    const bool arity = i == 0 ? row.Arity == 0 : row.Arity == 1 || row.Arity == 2;
    const bool named = i == 0 ? value == "fpNone" && row.Name.empty() : value.substr(2) == row.Name;
    if (!arity || !named) return false;
  }
  return true;
}
}  // namespace detail
static_assert(EnumTableInOrder(FloatPrimitives, &TGPFloatPrimitiveRow::Primitive), "one row per TGPFloatPrimitive");
static_assert(detail::FloatPrimitiveRowsFit(), "a primitive's row is misnamed or has no arguments");

// The row of P; fpNone's for a value outside the enumeration.
constexpr const TGPFloatPrimitiveRow& FloatPrimitiveRow(TGPFloatPrimitive P) noexcept {
  return EnumTableRow(FloatPrimitives, P);
}
// Number of arguments (2 for fpAdd, 1 for fpSqrt, 0 for fpNone).
constexpr int FloatPrimitiveArity(TGPFloatPrimitive P) noexcept { return FloatPrimitiveRow(P).Arity; }
// The instruction name AddFloatPrimitives gives: "Add", "Sub", ... "Tanh"; "" for fpNone.
std::string FloatPrimitiveName(TGPFloatPrimitive P);
// The primitive of Name, ignoring ASCII case ("add", "SQRT"); fpNone when there is none.
TGPFloatPrimitive FloatPrimitiveOf(std::string_view Name);

// P applied to A (and B for the binary ones); 0 for fpNone.
double ApplyFloatPrimitive(TGPFloatPrimitive P, double A, double B = 0) noexcept;

// A float instruction that may be a standard primitive. As a primitive it is a function of
// the primitive's arity whose built-in result is the primitive of its first children's
// results (children run in order; further children are not run); OnExecute then sees that
// result and may replace it, as for any instruction. With fpNone it behaves exactly as
// TMXGPFloatInstruction, so it can be a float set's item class: copies of the set (Assign)
// then keep the primitives. The primitive is not part of XML documents; an instruction
// set loaded over one that holds the primitives keeps them (the merge updates in place).
class TMXGPFloatPrimitive : public TMXGPFloatInstruction {
 public:
  using TMXGPFloatInstruction::TMXGPFloatInstruction;
  std::string ClassName() const override { return "TMXGPFloatPrimitive"; }

  TGPFloatPrimitive Primitive() const noexcept { return FPrimitive; }
  // Equal value: nothing. Otherwise stores it; a primitive makes the instruction a
  // function of its arity (SetOperation, SetArity); fpNone changes nothing else. Notifies.
  // EArgumentOutOfRangeException, with nothing changed, for a value outside the enumeration.
  void SetPrimitive(TGPFloatPrimitive Value);
  // The inherited copy, then the primitive of a TMXGPFloatPrimitive source (fpNone for
  // any other instruction).
  void Assign(const TPersistent* Source) override;

 protected:
  double DoExecute(TMXGPNode<double>* Node, TMXGPContext<double>* Context) override;

 private:
  TGPFloatPrimitive FPrimitive = fpNone;
};

// Adds instructions to Set, one per word of Names (separated by spaces or commas), in
// order, and returns them: a primitive's name (ignoring case: "add", "Sqrt") becomes a
// TMXGPFloatPrimitive function named as FloatPrimitiveName gives; a number ("1", "-0.5",
// "3.14159") becomes a constant of that value named by its text; any other word a
// variable of that name. So AddFloatPrimitives(*gp.Instructions(), "Add Sub Mul Div x 1")
// gives the quartic set plus the constant 1. A variable named like a primitive is added
// the usual way (Set.Add(), SetName, SetOperation). EGPException, with nothing added, for
// a name the set already holds or that repeats (ignoring case), a non-finite number, or
// no word at all.
std::vector<TMXGPInstruction<double>*> AddFloatPrimitives(TMXGPInstructions<double>& Set, std::string_view Names);

}  // namespace evokit
