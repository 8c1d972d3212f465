// Ready-made float instructions: the standard arithmetic and transcendental primitives of
// symbolic regression (TGPFloatPrimitive), the instruction class that computes them
// (TMXGPFloatPrimitive) and AddFloatPrimitives, which adds primitives, variables and
// constants to a float instruction set in one call. The scalar functions below are the
// single definition of each primitive: per-row execution and the batch evaluator
// (batch.h) both call them, so both give the same bits.
//
// Protections, so that every input gives a number and evolution never stops on a
// domain error:
//   Div(a, b)  a / b, and 1 when b is zero (either sign)
//   Log(a)     log |a|, and 0 when a is zero
//   Sqrt(a)    sqrt |a|
//   Min, Max   the smaller (larger) value; when either is NaN, the first argument
// Exp, Square and the products may overflow to infinity; NaN and infinities propagate
// otherwise (a regression fitness counts a non-finite result as unfit). The math routines
// are the C library's (std::exp, std::log, std::sin, std::cos, std::tanh, std::sqrt).
//
// Thread safety: as TMXGPInstruction; the scalar functions are pure.
#pragma once

#include <cmath>
#include <string>
#include <string_view>
#include <vector>

#include <evokit/gp/float_variant_classes.h>
#include <evokit/platform/enums.h>

namespace evokit {

// The standard float primitives; fpNone is an ordinary instruction.
enum TGPFloatPrimitive {
  fpNone, fpAdd, fpSub, fpMul, fpDiv, fpMin, fpMax,                            // binary
  fpNeg, fpAbs, fpSquare, fpSqrt, fpExp, fpLog, fpSin, fpCos, fpTanh,          // unary
};
EVOKIT_ENUM_NAMES(TGPFloatPrimitive, "fpNone", "fpAdd", "fpSub", "fpMul", "fpDiv", "fpMin", "fpMax", "fpNeg",
                  "fpAbs", "fpSquare", "fpSqrt", "fpExp", "fpLog", "fpSin", "fpCos", "fpTanh");

// Number of arguments: 2 for fpAdd..fpMax, 1 for fpNeg..fpTanh, 0 for fpNone.
constexpr int FloatPrimitiveArity(TGPFloatPrimitive P) noexcept { return P == fpNone ? 0 : P <= fpMax ? 2 : 1; }
// The instruction name AddFloatPrimitives gives: "Add", "Sub", ... "Tanh"; "" for fpNone.
std::string FloatPrimitiveName(TGPFloatPrimitive P);
// The primitive of Name, ignoring ASCII case ("add", "SQRT"); fpNone when there is none.
TGPFloatPrimitive FloatPrimitiveOf(std::string_view Name);

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
}  // namespace primitive

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
