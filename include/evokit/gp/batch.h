// Batch evaluation of float programs over a data table (data_table.h). A program tree is
// compiled into a flat postfix form: one step per function node, whose operands are the
// table's columns, constants or earlier results; constant subtrees are folded. The steps
// then run over the table in blocks of BlockRows rows, each step over a whole block, so
// the per-node cost of walking the tree is paid once per block instead of once per row.
//
// What compiles: the standard primitives (primitives.h), variables, constants, and
// functions without a built-in computation (which yield 0, as when executed). A tree
// holding an instruction with an OnExecute handler (any kind), a node without instruction
// or with too few children runs row by row through Execute instead, so the results (and
// errors) are always those of per-row execution. Both paths compute each primitive with
// the same scalar function, so the results are the same bits: the arithmetic is IEEE
// double arithmetic, the transcendental primitives the C library's routines in both.
//
// Variables read the column of their name (exactly). Every variable of the tree needs a
// column: EGPException "Variable "x" has no column in the data table" otherwise, on either
// path.
//
// Memory: a block needs SlotCount() * BlockRows doubles of scratch (2 KiB per slot), one
// slot per intermediate result alive at once; columns and constants are read in place.
// The compiler runs the child that needs more slots first, so a tree of n nodes needs at
// most about log2(n) + 2 slots whatever its shape (a chain of any depth needs 2); the
// scratch is per thread and reused. Compiling walks the tree without recursion.
//
// Thread safety: a compiled program may be evaluated by several threads at once (the
// scratch is per thread). Compiling, and EvaluateRows on one individual, belong to one
// thread at a time; different individuals may be evaluated concurrently.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include <evokit/gp/compact_program.h>
#include <evokit/gp/data_table.h>
#include <evokit/gp/gp_individual.h>
#include <evokit/gp/primitives.h>

namespace evokit {

class TMXGPCompiledProgram {
 public:
  // Rows per block: 256 doubles are 2 KiB per slot, so a dozen slots and the columns read
  // stay within a 32 KiB first-level cache.
  static constexpr int BlockRows = 256;

  // Compiles Root's tree for tables laid out as Table (see TMXDataTable::LayoutStamp).
  // EGPException naming a variable without a column; the program is then empty. The tree
  // and its instructions must not change while the program is used (compile again).
  // PreOrder, when the caller has it (an individual's FlattenedDNA), only lets the walk
  // fetch nodes ahead of their visit; a stale list costs nothing but the fetches.
  void Compile(TMXGPNode<double>* Root, const TMXDataTable& Table, std::span<TMXGPNode<double>* const> PreOrder = {});
  // The same for a program in the compact form, with the same steps as its tree's. Such a
  // program has no tree to run row by row: Evaluate raises EGPException where the tree's
  // would run so (see PerRow).
  void Compile(const TMXGPCompactProgram<double>& Program, const TMXDataTable& Table);
  // The program's value for every row of Table into Out[0 .. RowCount()-1]. EGPException
  // when nothing was compiled or Table's layout differs from the compiled one;
  // EArgumentOutOfRangeException when Out is shorter than the table. Runs row by row when
  // PerRow() says so; execution errors of that path propagate.
  void Evaluate(const TMXDataTable& Table, std::span<double> Out) const;

  bool Compiled() const noexcept { return FRoot != nullptr || FCompact; }
  // True when the tree must run row by row: it has a node the compiler cannot translate,
  // or one of its instructions has an OnExecute handler now (checked at each call).
  bool PerRow() const noexcept;
  // Steps per block (function nodes left after folding) and scratch slots.
  int StepCount() const noexcept { return static_cast<int>(FSteps.size()); }
  int SlotCount() const noexcept { return FSlots; }
  // Scratch bytes a block needs: SlotCount() * BlockRows * sizeof(double).
  std::size_t BlockBytes() const noexcept { return static_cast<std::size_t>(FSlots) * BlockRows * sizeof(double); }
  std::uint64_t LayoutStamp() const noexcept { return FLayoutStamp; }

  // One step: D = Kernel(A, B or the constant C) over a block. Operands index the
  // evaluator's pointer table: slots first, then the columns read, then the output.
  struct TStep {
    void (*Kernel)(double* __restrict D, const double* __restrict A, const double* __restrict B, double C, int N);
    int D, A, B;
    double C;
  };

 private:
  // Phases (2) and (3) of compiling, over the items the first phase left in the scratch.
  void Emit(const TMXDataTable& Table);

  TMXGPNode<double>* FRoot = nullptr;
  bool FCompact = false;  // compiled from a compact program (FRoot null)
  std::uint64_t FLayoutStamp = 0;
  bool FUntranslatable = false;
  std::vector<TStep> FSteps;
  std::vector<int> FColumns;  // table columns read, in pointer-table order
  std::vector<const TMXGPInstruction<double>*> FInstructions;  // each used instruction once
  int FSlots = 0;
  // A program without steps: the root is a column (FRootColumn >= 0) or the constant.
  int FRootColumn = -1;
  double FRootValue = 0;
};

// Root executed once per row (Execute), with a context holding every column of Table by
// name, into Out[0 .. RowCount()-1]. The variables are checked as for compiling;
// EArgumentOutOfRangeException when Out is shorter than the table.
void ExecuteRows(TMXGPNode<double>* Root, const TMXDataTable& Table, std::span<double> Out);

// Root's value for every row of Table into Out in one pass over the tree, without
// keeping a compiled program: each function runs over a block of rows at a time, with
// the results of the compiled program. Cheaper than compiling when the tree is evaluated
// once on a small table. Returns false, with Out untouched, when the tree must run row
// by row (as PerRow() would say). Errors as for Compile and Evaluate; EGPException for a
// null Root. PreOrder as for Compile.
bool EvaluateTree(TMXGPNode<double>* Root, const TMXDataTable& Table, std::span<double> Out,
                  std::span<TMXGPNode<double>* const> PreOrder = {});

// The same for a program in the compact form: Program's value for every row of Table into
// Out, the same bits as EvaluateTree of its tree; false, Out untouched, when its tree
// would run row by row. Errors as for EvaluateTree (EGPException for the empty program).
bool EvaluateProgram(const TMXGPCompactProgram<double>& Program, const TMXDataTable& Table, std::span<double> Out);

// Individual's program for every row of Table into Out: with Batch, a program held in the
// compact form by EvaluateProgram, or through the compiled
// program the individual keeps in its tree cache (compiled again when the tree or the
// table layout changed since) or, for a table of at most BlockRows rows, by EvaluateTree;
// without, by ExecuteRows. Zeros for an individual without a tree. Errors as for Compile
// and Evaluate.
void EvaluateRows(TMXGPIndividual<double>& Individual, const TMXDataTable& Table, std::span<double> Out,
                  bool Batch = true);

}  // namespace evokit
