// Readable models: TMXExpression, a small self-contained expression over the standard
// float primitives (primitives.h), variables and constants, and Simplify, which turns an
// evolved float program into a shorter expression computing the same values. Program
// trees and their execution stay with program.h and batch.h.
//
// Every function node of an expression has exactly its primitive's arity, and evaluates
// with the primitive's scalar function, protections included. Text comes in two forms:
//   ToString   infix with the usual precedence and only the parentheses it needs:
//              "2 * x - y / 3", "(x + 1)^2", "sqrt(x)", "min(x, y)". The operators keep
//              their protected meaning: "/" gives 1 for a zero divisor, "log(a)" is
//              log |a| (0 at 0), "sqrt(a)" is sqrt |a|.
//   ToSymPy    text sympy.sympify reads: "**" for Square; Abs, Min, Max, sin, cos, tanh,
//              exp; Log(a) as "log(Abs(a))" and Sqrt(a) as "sqrt(Abs(a))". The protection
//              of Div is dropped ("/"), and Min and Max ignore the NaN rule, so the
//              symbolic form differs from the program only at zero divisors and NaNs.
//
// Thread safety: expressions are immutable values; threads may share them freely.
#pragma once

#include <map>
#include <string>
#include <vector>

#include <evokit/gp/data_table.h>
#include <evokit/gp/program.h>
#include <evokit/gp/primitives.h>

namespace evokit {

// Display names of variables for printing, by variable name; a variable not listed
// prints under its own name.
using TExpressionNames = std::map<std::string, std::string>;

class TMXExpression {
 public:
  enum TKind { ekConstant, ekVariable, ekFunction };
  // Deepest expression the factories build; the recursive walks stay well within a
  // thread's stack.
  static constexpr int MaxDepth = 2000;

  // The constant 0.
  TMXExpression() = default;
  static TMXExpression Constant(double Value);
  static TMXExpression Variable(std::string Name);
  // P over Arguments. EGPException when their number is not P's arity (fpNone has
  // none) or the result would be deeper than MaxDepth.
  static TMXExpression Function(TGPFloatPrimitive P, std::vector<TMXExpression> Arguments);
  static TMXExpression Function(TGPFloatPrimitive P, TMXExpression A);
  static TMXExpression Function(TGPFloatPrimitive P, TMXExpression A, TMXExpression B);
  // What a float program computes, node for node, as per-row execution runs it: a
  // TMXGPFloatPrimitive over its first children, a variable by its name, a constant by
  // its node's value, any other function as 0 (it computes nothing built in).
  // EGPException, as execution raises it, for a node without instruction or with fewer
  // children than the instruction's arity; EGPException for a null Root, an instruction
  // with an OnExecute handler (what it computes is not known) and a tree deeper than
  // MaxDepth. With VariableWeights a variable leaf whose value w is not 1 reads w * x, as
  // a regression fitness with variable weights computes it.
  static TMXExpression FromProgram(const TMXGPNode<double>* Root, bool VariableWeights = false);

  TKind Kind() const noexcept { return FKind; }
  // A function's primitive; fpNone for constants and variables.
  TGPFloatPrimitive Primitive() const noexcept { return FPrimitive; }
  // A constant's value (0 for the other kinds) and a variable's name ("" otherwise).
  double Value() const noexcept { return FValue; }
  const std::string& Name() const noexcept { return FName; }
  int ChildCount() const noexcept { return static_cast<int>(FChildren.size()); }
  // EListError outside 0..ChildCount()-1.
  const TMXExpression& Child(int Index) const;
  // Nodes, and levels (1 for a constant or a variable).
  int Size() const noexcept { return FSize; }
  int Depth() const noexcept { return FDepth; }

  // The value on row Row of Table, variables reading the column of their name (exactly).
  // EGPException "Variable "x" has no column in the data table" as batch evaluation
  // raises it; EArgumentOutOfRangeException for a row outside 0..RowCount()-1.
  double Evaluate(const TMXDataTable& Table, int Row) const;
  // The values on every row of Table; errors as above.
  std::vector<double> Evaluate(const TMXDataTable& Table) const;

  // Infix text (see above) with variables under their Names and constants rounded to
  // Digits significant digits; EArgumentOutOfRangeException for Digits outside 1..17.
  std::string ToString(const TExpressionNames& Names = {}, int Digits = 6) const;
  // The same for SymPy, by default with every digit a double needs.
  std::string ToSymPy(const TExpressionNames& Names = {}, int Digits = 17) const;

  // Same structure: kinds, primitives, names and constant values (compared with ==).
  friend bool operator==(const TMXExpression& A, const TMXExpression& B);

 private:
  TKind FKind = ekConstant;
  TGPFloatPrimitive FPrimitive = fpNone;
  double FValue = 0;
  std::string FName;
  std::vector<TMXExpression> FChildren;
  int FSize = 1;
  int FDepth = 1;
};

// A shorter expression with the values of Expression: constants folded; x + 0, x * 1,
// --x dropped; sums and products flattened, with their constants merged
// ((x + 1) + 2 -> x + 3, 2 * (3 * x) -> 6 * x) and like terms and factors collected
// (x + x -> 2 * x, x * x -> x^2); x - x, x * 0 and x / x (-> 1) only where x is finite
// for finite inputs or where a NaN of x would make the result NaN as well (not in the
// second argument of Min and Max, which pass over a NaN); a / 0 -> 1; sign and
// absolute-value rules of the unary primitives (sqrt(x^2) -> abs(x) where an overflow of
// x^2 would reach the result). Rewrites that could change a finite result, like
// log(exp(x)) -> x, are not made.
// On every row where Expression is finite the result agrees with it up to rounding
// (reordering sums and products can move an overflow only for values near the double
// range). It is never larger (Size) than Expression; a sum or product with too many
// terms to write out within MaxDepth stays as it is.
TMXExpression Simplify(const TMXExpression& Expression);
// Simplify(TMXExpression::FromProgram(Program)), with its errors.
TMXExpression Simplify(const TMXGPNode<double>* Program);

}  // namespace evokit
