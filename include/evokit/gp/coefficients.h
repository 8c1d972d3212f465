// Coefficient fitting for float programs: tunes a program's numeric coefficients (its
// constant leaves and, when asked, a weight on each variable leaf) to a target over a data
// table by a bounded number of Levenberg-Marquardt iterations on the squared error,
// optionally under linear scaling (the fitted model is then a + b * program). The
// derivatives are exact: a compiled postfix form of the tree runs forward over blocks of
// rows, then backward (reverse mode), giving every row's derivatives with respect to all
// coefficients in one sweep. The primitives' derivatives follow their protections:
// Div by zero is the constant 1 (zero derivative), Log and Sqrt act on |a| (derivative
// 1/a and sign(a) / (2 sqrt|a|), 0 at a = 0), Min and Max pass the derivative of the
// argument they return, Abs has sign(a).
//
// Trees hold the primitives of primitives.h, variables, constants, and functions without
// a built-in computation (which yield 0). A node without instruction, with too few
// children or whose instruction has an OnExecute handler cannot be differentiated:
// EGPException. Variables read the column of their name, as in batch.h.
//
// The normal equations are summed block by block and solved by Eigen's LDLT, each
// iteration costing one pass over the rows; the damping is Marquardt's (scaled by the
// diagonal of J'J), so coefficients of very different magnitudes move alike.
//
// Thread safety: the functions are deterministic and keep their scratch per thread, so
// different programs may be fitted on several threads at once (from ParallelEvolve's
// fitness evaluation, say). One tree must not be fitted by two threads at once, nor
// changed while it is fitted.
//
// Each function also reads a compact program (compact_program.h), its coefficients given
// as record indexes: the same walk over the same nodes, so a tree and the records made
// from it give the same bits. The tree forms make the records and call these.
#pragma once

#include <span>
#include <vector>

#include <evokit/gp/compact_program.h>
#include <evokit/gp/data_table.h>
#include <evokit/gp/program.h>

namespace evokit {

struct TMXGPCoefficientOptions {
  int MaxIterations = 10;       // Levenberg-Marquardt iterations at most (one solve and one evaluation each)
  bool LinearScaling = false;   // fit a + b * program, a and b included in the iterations
  bool WriteBack = false;       // store the fitted constants in their nodes (Lamarckian fitting)
  double Tolerance = 1e-12;     // stop once an accepted step lowers the squared error by less than this fraction
};

struct TMXGPCoefficientFit {
  std::vector<double> Values;   // the fitted coefficients, in the order of the nodes given
  double InitialError = 0;      // mean squared error at the starting values (scaled when asked)
  double Error = 0;             // mean squared error at Values: NaN when not a finite number
  double Slope = 1;             // linear scaling's b and a (1 and 0 without it)
  double Intercept = 0;
  int Iterations = 0;           // iterations done, rejected steps included
};

// The nodes that are coefficients by default, in pre-order: Root's constant leaves and,
// with VariableWeights, its variable leaves. Only nodes the program computes with are
// listed (not the children a primitive does not run). Empty for a null Root.
std::vector<TMXGPNode<double>*> CoefficientNodes(TMXGPNode<double>* Root, bool VariableWeights = false);

// Fits the coefficient nodes Coefficients of Root's program to Target (one value per row
// of Table). A constant node's coefficient is its value; a variable node's is a weight w
// that makes the leaf w * x. Start gives the starting values (one per node); empty starts
// constants at their node's value and weights at 1. The iterations stop early when the
// error stops falling or is not finite at the start (the values then stay the starting
// ones). With Options.WriteBack the constant nodes take their fitted values through
// SetValue (weights have no place in the tree: they are reported only); an individual's
// caches then need its MarkChanged. Without coefficients the fit only reports the error.
// EGPException, the tree unchanged, for a null Root, a tree that cannot be differentiated,
// a variable without a column, or a coefficient node that is not a constant or variable
// leaf the program computes with, or that is given twice; EArgumentOutOfRangeException for
// a Target or Start of another length, a table without rows, a Target value that is not
// finite, or a negative MaxIterations.
TMXGPCoefficientFit FitCoefficients(TMXGPNode<double>* Root, std::span<TMXGPNode<double>* const> Coefficients,
                                    const TMXDataTable& Table, std::span<const double> Target,
                                    const TMXGPCoefficientOptions& Options = {}, std::span<const double> Start = {});

// The program's value for every row of Table into Out, with the coefficients of
// Coefficients set to Values (the tree keeps its own), and the derivative of each row's
// value with respect to coefficient k into Jacobian[k * RowCount() + row]. Errors as for
// FitCoefficients; EArgumentOutOfRangeException when Values, Out or Jacobian have other
// lengths than the coefficient count, RowCount() and their product.
void CoefficientJacobian(TMXGPNode<double>* Root, std::span<TMXGPNode<double>* const> Coefficients,
                         const TMXDataTable& Table, std::span<const double> Values, std::span<double> Out,
                         std::span<double> Jacobian);

// The program's value for every row of Table into Out, with the coefficients of
// Coefficients set to Values (the tree keeps its own): the forward pass of
// CoefficientJacobian alone. Errors as for CoefficientJacobian.
void CoefficientValues(TMXGPNode<double>* Root, std::span<TMXGPNode<double>* const> Coefficients,
                       const TMXDataTable& Table, std::span<const double> Values, std::span<double> Out);

// The compact forms of the above. A coefficient index that is no record of the program
// is refused as a node that is not in the tree is.
std::vector<int> CoefficientIndexes(const TMXGPCompactProgram<double>& Program, bool VariableWeights = false);
TMXGPCoefficientFit FitCoefficients(TMXGPCompactProgram<double>& Program, std::span<const int> Coefficients,
                                    const TMXDataTable& Table, std::span<const double> Target,
                                    const TMXGPCoefficientOptions& Options = {}, std::span<const double> Start = {});
void CoefficientJacobian(const TMXGPCompactProgram<double>& Program, std::span<const int> Coefficients,
                         const TMXDataTable& Table, std::span<const double> Values, std::span<double> Out,
                         std::span<double> Jacobian);
void CoefficientValues(const TMXGPCompactProgram<double>& Program, std::span<const int> Coefficients,
                       const TMXDataTable& Table, std::span<const double> Values, std::span<double> Out);

}  // namespace evokit
