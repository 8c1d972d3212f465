#include <evokit/gp/batch.h>

#include <algorithm>
#include <array>
#include <memory>
#include <string>
#include <utility>

#include <evokit/core/consts.h>
#include <evokit/platform/pool.h>

namespace evokit {

namespace {

using TStep = TMXGPCompiledProgram::TStep;
using TKernel = decltype(TStep::Kernel);

// --- kernels: one loop per primitive and operand shape ----------------------------------
// D never overlaps A or B (the compiler gives each result a slot of its own), so the
// loops vectorise without run-time overlap checks. The constant operand of a binary
// primitive is C; in KConstVector the vector operand arrives as B.

template <double (*F)(double, double) noexcept>
void KVectors(double* __restrict D, const double* __restrict A, const double* __restrict B, double, int N) {
  for (int i = 0; i < N; ++i) D[i] = F(A[i], B[i]);
}
template <double (*F)(double, double) noexcept>
void KVectorConst(double* __restrict D, const double* __restrict A, const double* __restrict, double C, int N) {
  for (int i = 0; i < N; ++i) D[i] = F(A[i], C);
}
template <double (*F)(double, double) noexcept>
void KConstVector(double* __restrict D, const double* __restrict, const double* __restrict B, double C, int N) {
  for (int i = 0; i < N; ++i) D[i] = F(C, B[i]);
}
template <double (*F)(double) noexcept>
void KUnary(double* __restrict D, const double* __restrict A, const double* __restrict, double, int N) {
  for (int i = 0; i < N; ++i) D[i] = F(A[i]);
}

// The operand shapes of a binary step.
enum TShape { shVectors, shVectorConst, shConstVector };

// The kernels of primitive I, by TShape, made from the scalar function of its row (a
// unary primitive has only shVectors; fpNone none).
template <std::size_t I>
constexpr std::array<TKernel, 3> KernelsOf() {
  constexpr const TGPFloatPrimitiveRow& row = FloatPrimitives[I];
  if constexpr (row.Arity == 2)
    return {&KVectors<row.Binary>, &KVectorConst<row.Binary>, &KConstVector<row.Binary>};
  else if constexpr (row.Arity == 1)
    return {&KUnary<row.Unary>, nullptr, nullptr};
  else
    return {nullptr, nullptr, nullptr};
}
template <std::size_t... I>
constexpr auto KernelTable(std::index_sequence<I...>) {
  return std::array<std::array<TKernel, 3>, sizeof...(I)>{KernelsOf<I>()...};
}

// Indexed by TGPFloatPrimitive, then by TShape.
constexpr auto kKernels = KernelTable(std::make_index_sequence<FloatPrimitives.size()>());

// --- compiling ----------------------------------------------------------------------------

// One node of the tree as the compiler sees it.
struct TItem {
  enum TKind { ikConstant, ikColumn, ikFunction } Kind = ikConstant;
  TGPFloatPrimitive Primitive = fpNone;
  int Column = -1;    // table column of a variable
  double Value = 0;   // a constant's (or folded subtree's) value
  int Child[2] = {-1, -1};
  int Need = 0;       // slots alive at once while computing the subtree (0 for a leaf)
  bool RightFirst = false;
};

// What the compiler knows about one instruction.
struct TKnown {
  const TMXGPInstruction<double>* Instruction;
  TGPFloatPrimitive Primitive;
  int Column;
};

// An operand while emitting: a slot (>= 0), a column (Column >= 0), or a constant.
struct TOperand {
  int Slot = -1;
  int Column = -1;
  double Value = 0;
  bool IsConstant() const { return Slot < 0 && Column < 0; }
};

// Out holds a value per row of Table; EArgumentOutOfRangeException otherwise.
void CheckOutput(const TMXDataTable& Table, std::span<const double> Out) {
  if (Out.size() < static_cast<std::size_t>(Table.RowCount()))
    throw EArgumentOutOfRangeException("Output of " + std::to_string(Out.size()) + " values for " +
                                       std::to_string(Table.RowCount()) + " rows");
}

[[noreturn]] void NoColumn(const TMXGPInstruction<double>& Variable) {
  throw EGPException("Variable \"" + Variable.Name() + "\" has no column in the data table");
}

// How the compiler and the one-pass evaluator see one node: a column, a constant, or a
// primitive over its first Run children. PerRow when only the node's own Execute knows
// what it computes (no instruction, an OnExecute handler, too few children). Known keeps
// what was looked up about each instruction so far; a variable without a column raises.
struct TTranslation {
  TItem::TKind Kind = TItem::ikConstant;
  TGPFloatPrimitive Primitive = fpNone;
  int Column = -1;
  double Value = 0;  // a constant's; 0 for a function that computes nothing built in
  int Run = 0;
  bool PerRow = false;
};

TTranslation Translate(const TMXGPInstruction<double>* Instruction, double Value, int Children,
                       std::vector<TKnown>& Known, const TMXDataTable& Table) {
  TTranslation t;
  if (!Instruction) {
    t.PerRow = true;
    return t;
  }
  auto found = std::find_if(Known.begin(), Known.end(), [&](const TKnown& k) { return k.Instruction == Instruction; });
  if (found == Known.end()) {
    const auto* primitive = FastCast<const TMXGPFloatPrimitive>(Instruction);
    int column = -1;
    if (Instruction->Operation() == gpVariable && (column = Table.IndexOf(Instruction->Name())) < 0)
      NoColumn(*Instruction);
    Known.push_back({Instruction, primitive ? primitive->Primitive() : fpNone, column});
    found = Known.end() - 1;
  }
  if (Instruction->OnExecute()) t.PerRow = true;
  switch (Instruction->Operation()) {
    case gpVariable:
      t.Kind = TItem::ikColumn, t.Column = found->Column;
      break;
    case gpConstant:
      t.Value = Value;
      break;
    default:
      // A function runs only when it has its arity's children; a primitive's built-in
      // runs its first children, any other function's runs none and yields 0.
      if (Children < Instruction->Arity()) t.PerRow = true;
      if (found->Primitive != fpNone && Instruction->Arity() != 0) {
        t.Run = FloatPrimitiveArity(found->Primitive);
        if (Children < t.Run) t.PerRow = true;
        t.Kind = TItem::ikFunction, t.Primitive = found->Primitive;
      }
      break;
  }
  return t;
}

// Every variable of the tree below Root has a column of Table (the check of both paths).
void CheckVariables(TMXGPNode<double>* Root, const TMXDataTable& Table) {
  std::vector<TMXGPNode<double>*> pending{Root};
  while (!pending.empty()) {
    TMXGPNode<double>* node = pending.back();
    pending.pop_back();
    const TMXGPInstruction<double>* instruction = node->Instruction();
    if (instruction && instruction->Operation() == gpVariable && Table.IndexOf(instruction->Name()) < 0)
      NoColumn(*instruction);
    for (int i = node->GetChildCount() - 1; i >= 0; --i)
      if (TMXGPNode<double>* child = node->GetChild(i)) pending.push_back(child);
  }
}

// A node waiting to be visited by the compiler, with the item and position it fills.
struct TPending {
  TMXGPNode<double>* Node;
  int Parent, Position;
};

// Scratch of the compilations of one thread, reused from call to call.
struct TCompileScratch {
  std::vector<TItem> Items;
  std::vector<TKnown> Known;
  std::vector<TPending> Pending;
  std::vector<char> Used;  // slots in use while emitting
  std::vector<TOperand> Operands;
  std::vector<std::pair<int, bool>> Work;
};
thread_local TCompileScratch tCompile;

// Scratch of the evaluations of one thread, reused from call to call.
struct TScratch {
  std::vector<double> Slots;
  std::vector<double*> Pointers;
  std::vector<const double*> Columns;
};
thread_local TScratch tScratch;

}  // namespace

void TMXGPCompiledProgram::Compile(TMXGPNode<double>* Root, const TMXDataTable& Table,
                                   std::span<TMXGPNode<double>* const> PreOrder) {
  FRoot = nullptr, FCompact = false;
  FSteps.clear(), FColumns.clear(), FInstructions.clear();
  FSlots = 0, FRootColumn = -1, FRootValue = 0, FUntranslatable = false;
  if (!Root) throw EGPException("No program to compile");

  // (1) The tree in pre-order as items; every node is visited, so every variable is
  // checked, but only the children an instruction runs become items' children.
  TCompileScratch& scratch = ThreadLocal(tCompile);
  std::vector<TItem>& items = scratch.Items;
  std::vector<TKnown>& known = scratch.Known;
  std::vector<TPending>& pending = scratch.Pending;
  items.clear(), known.clear(), pending.assign(1, {Root, -1, 0});
  while (!pending.empty()) {
    const TPending entry = pending.back();
    pending.pop_back();
    const int index = static_cast<int>(items.size());
    // The walk visits nodes in pre-order: fetch the one a few visits ahead.
    if (constexpr std::size_t kAhead = 8; static_cast<std::size_t>(index) + kAhead < PreOrder.size())
      __builtin_prefetch(PreOrder[static_cast<std::size_t>(index) + kAhead]);
    items.emplace_back();
    if (entry.Parent >= 0) items[static_cast<std::size_t>(entry.Parent)].Child[entry.Position] = index;
    TItem& item = items.back();
    TMXGPNode<double>* node = entry.Node;
    const int children = node->GetChildCount();
    const TTranslation t = Translate(node->Instruction(), node->Value(), children, known, Table);
    if (t.PerRow) FUntranslatable = true;
    item.Kind = t.Kind, item.Primitive = t.Primitive, item.Column = t.Column, item.Value = t.Value;
    const int run = t.Run;  // the children that run: they become this item's children
    // Every child is visited for the variable check; those that do not run stay unlinked.
    for (int i = children - 1; i >= 0; --i)
      if (TMXGPNode<double>* child = node->GetChild(i)) {
        __builtin_prefetch(child);  // the walk is bound by fetching scattered nodes
        pending.push_back({child, i < run && !FUntranslatable ? index : -1, i});
      }
  }
  FRoot = Root;
  Emit(Table);
}

void TMXGPCompiledProgram::Compile(const TMXGPCompactProgram<double>& Program, const TMXDataTable& Table) {
  FRoot = nullptr, FCompact = false;
  FSteps.clear(), FColumns.clear(), FInstructions.clear();
  FSlots = 0, FRootColumn = -1, FRootValue = 0, FUntranslatable = false;
  if (Program.Empty()) throw EGPException("No program to compile");
  // (1) The records are the items, in the same order.
  TCompileScratch& scratch = ThreadLocal(tCompile);
  std::vector<TItem>& items = scratch.Items;
  std::vector<TKnown>& known = scratch.Known;
  const std::span<const TGPRecord<double>> records = Program.Records();
  items.assign(records.size(), TItem{});
  known.clear();
  for (std::size_t i = 0; i < records.size(); ++i) {
    const TGPRecord<double>& record = records[i];
    const TTranslation t = Translate(record.Instruction, record.Value, record.Arity, known, Table);
    if (t.PerRow) FUntranslatable = true;
    TItem& item = items[i];
    item.Kind = t.Kind, item.Primitive = t.Primitive, item.Column = t.Column, item.Value = t.Value;
    std::size_t child = i + 1;
    for (int k = 0; k < std::min(t.Run, record.Arity); ++k, child += static_cast<std::size_t>(records[child].Length))
      item.Child[k] = static_cast<int>(child);
  }
  FCompact = true;
  Emit(Table);
}

void TMXGPCompiledProgram::Emit(const TMXDataTable& Table) {
  TCompileScratch& scratch = ThreadLocal(tCompile);
  std::vector<TItem>& items = scratch.Items;
  for (const TKnown& k : scratch.Known) FInstructions.push_back(k.Instruction);
  FLayoutStamp = Table.LayoutStamp();
  if (FUntranslatable) return;

  // (2) Children before parents: fold constant subtrees, then count the slots each
  // subtree needs and choose which child goes first (the hungrier one).
  for (std::size_t i = items.size(); i-- > 0;) {
    TItem& item = items[i];
    if (item.Kind != TItem::ikFunction) continue;
    const TItem& a = items[static_cast<std::size_t>(item.Child[0])];
    if (item.Child[1] < 0) {
      if (a.Kind == TItem::ikConstant) {
        item.Kind = TItem::ikConstant, item.Value = ApplyFloatPrimitive(item.Primitive, a.Value);
        continue;
      }
      item.Need = std::max(a.Need, (a.Need > 0) + 1);
      continue;
    }
    const TItem& b = items[static_cast<std::size_t>(item.Child[1])];
    if (a.Kind == TItem::ikConstant && b.Kind == TItem::ikConstant) {
      item.Kind = TItem::ikConstant, item.Value = ApplyFloatPrimitive(item.Primitive, a.Value, b.Value);
      continue;
    }
    // Peak of computing X, then Y while X's result waits, then the result beside both.
    const auto peak = [](const TItem& X, const TItem& Y) {
      return std::max({X.Need, (X.Need > 0) + Y.Need, (X.Need > 0) + (Y.Need > 0) + 1});
    };
    const int leftFirst = peak(a, b), rightFirst = peak(b, a);
    item.RightFirst = rightFirst < leftFirst;
    item.Need = std::min(leftFirst, rightFirst);
  }

  // (3) Post-order emission with a free list of slots; the root writes the output.
  const TItem& root = items.front();
  if (root.Kind != TItem::ikFunction) {
    FRootColumn = root.Kind == TItem::ikColumn ? root.Column : -1;
    FRootValue = root.Value;
    if (FRootColumn >= 0) FColumns.push_back(FRootColumn);
    return;
  }
  constexpr int kOutput = -1;
  std::vector<char>& used = scratch.Used;
  used.clear();
  const auto allocate = [&] {
    const auto free = std::find(used.begin(), used.end(), 0);
    if (free != used.end()) {
      *free = 1;
      return static_cast<int>(free - used.begin());
    }
    used.push_back(1);
    return static_cast<int>(used.size()) - 1;
  };
  // Operands refer to columns as -2 - (position in FColumns) until the slot count is known.
  const auto columnRef = [&](int Column) {
    auto at = std::find(FColumns.begin(), FColumns.end(), Column);
    if (at == FColumns.end()) at = FColumns.insert(FColumns.end(), Column);
    return -2 - static_cast<int>(at - FColumns.begin());
  };
  const auto ref = [&](const TOperand& Operand) { return Operand.Slot >= 0 ? Operand.Slot : columnRef(Operand.Column); };
  std::vector<TOperand>& operands = scratch.Operands;
  std::vector<std::pair<int, bool>>& work = scratch.Work;
  operands.clear(), work.assign(1, {0, false});
  while (!work.empty()) {
    const auto [index, expanded] = work.back();
    work.pop_back();
    const TItem& item = items[static_cast<std::size_t>(index)];
    if (item.Kind == TItem::ikConstant) {
      operands.push_back({-1, -1, item.Value});
      continue;
    }
    if (item.Kind == TItem::ikColumn) {
      operands.push_back({-1, item.Column, 0});
      continue;
    }
    if (!expanded) {
      work.emplace_back(index, true);
      const bool two = item.Child[1] >= 0;
      const int first = item.RightFirst ? item.Child[1] : item.Child[0];
      if (two) work.emplace_back(item.RightFirst ? item.Child[0] : item.Child[1], false);
      work.emplace_back(first, false);
      continue;
    }
    TStep step{nullptr, 0, 0, 0, 0};
    TOperand a, b;
    if (item.Child[1] < 0) {
      a = operands.back();
      operands.pop_back();
      step.Kernel = kKernels[item.Primitive][shVectors];
      step.A = ref(a);
    } else {
      TOperand second = operands.back();
      operands.pop_back();
      TOperand first = operands.back();
      operands.pop_back();
      a = item.RightFirst ? second : first;
      b = item.RightFirst ? first : second;
      const TShape shape = a.IsConstant() ? shConstVector : b.IsConstant() ? shVectorConst : shVectors;
      step.Kernel = kKernels[item.Primitive][shape];
      if (shape == shConstVector) {
        step.C = a.Value, step.B = ref(b);
      } else if (shape == shVectorConst) {
        step.A = ref(a), step.C = b.Value;
      } else {
        step.A = ref(a), step.B = ref(b);
      }
    }
    // The result takes a slot of its own before the operands' slots are freed.
    step.D = index == 0 ? kOutput : allocate();
    for (const TOperand* operand : {&a, &b})
      if (operand->Slot >= 0) used[static_cast<std::size_t>(operand->Slot)] = 0;
    FSteps.push_back(step);
    operands.push_back({step.D, -1, 0});
  }
  // Final operand indexes: slots, then the columns, then the output.
  FSlots = static_cast<int>(used.size());
  const int columns = static_cast<int>(FColumns.size());
  const auto place = [&](int& Ref) {
    if (Ref == kOutput) Ref = FSlots + columns;
    else if (Ref <= -2) Ref = FSlots + (-2 - Ref);
  };
  for (TStep& step : FSteps) place(step.D), place(step.A), place(step.B);
}

bool TMXGPCompiledProgram::PerRow() const noexcept {
  if (FUntranslatable) return true;
  for (const TMXGPInstruction<double>* instruction : FInstructions)
    if (instruction->OnExecute()) return true;
  return false;
}

void TMXGPCompiledProgram::Evaluate(const TMXDataTable& Table, std::span<double> Out) const {
  if (!Compiled()) throw EGPException("No compiled program");
  if (Table.LayoutStamp() != FLayoutStamp) throw EGPException("The program was compiled for another table layout");
  const int rows = Table.RowCount();
  CheckOutput(Table, Out);
  if (PerRow()) {
    if (!FRoot) throw EGPException("The program must run row by row, which takes its tree");
    ExecuteRows(FRoot, Table, Out);
    return;
  }
  if (FSteps.empty()) {
    if (FRootColumn >= 0) {
      const std::span<const double> column = Table.Column(FRootColumn);
      std::copy(column.begin(), column.end(), Out.begin());
    } else {
      std::fill_n(Out.begin(), rows, FRootValue);
    }
    return;
  }
  TScratch& scratch = ThreadLocal(tScratch);
  const std::size_t columns = FColumns.size();
  scratch.Slots.resize(std::max(scratch.Slots.size(), static_cast<std::size_t>(FSlots) * BlockRows));
  scratch.Pointers.resize(static_cast<std::size_t>(FSlots) + columns + 1);
  scratch.Columns.resize(columns);
  double** pointers = scratch.Pointers.data();
  for (int s = 0; s < FSlots; ++s) pointers[s] = scratch.Slots.data() + static_cast<std::size_t>(s) * BlockRows;
  for (std::size_t c = 0; c < columns; ++c) scratch.Columns[c] = Table.Column(FColumns[c]).data();
  double** columnPointers = pointers + FSlots;
  const TStep* steps = FSteps.data();
  const TStep* end = steps + FSteps.size();
  for (int start = 0; start < rows; start += BlockRows) {
    const int n = std::min(BlockRows, rows - start);
    // The table is only read: the const is put back on by the kernels' parameters.
    for (std::size_t c = 0; c < columns; ++c) columnPointers[c] = const_cast<double*>(scratch.Columns[c] + start);
    columnPointers[columns] = Out.data() + start;
    for (const TStep* step = steps; step != end; ++step)
      step->Kernel(pointers[step->D], pointers[step->A], pointers[step->B], step->C, n);
  }
}

void ExecuteRows(TMXGPNode<double>* Root, const TMXDataTable& Table, std::span<double> Out) {
  const int rows = Table.RowCount();
  CheckOutput(Table, Out);
  if (!Root) {
    std::fill_n(Out.begin(), rows, 0.0);
    return;
  }
  CheckVariables(Root, Table);
  TMXGPContext<double> context;
  TMXGPValues<double>& values = *context.Values();
  const int columns = Table.ColumnCount();
  for (int row = 0; row < rows; ++row) {
    for (int c = 0; c < columns; ++c)
      values.AddOrSetValue(Table.ColumnName(c), Table.Column(c)[static_cast<std::size_t>(row)]);
    Out[static_cast<std::size_t>(row)] = Root->Execute(&context);
  }
}

namespace {

// A node of the tree as the one-pass evaluator sees it, in pre-order.
struct TTreeItem {
  TItem::TKind Kind;
  TGPFloatPrimitive Primitive;
  int Column;
  double Value;
  int Children;  // entries it takes off the stack: all its children
  int Run;       // the first Run of them are its primitive's operands
};

// A value on the evaluator's stack: a block of rows (a slot or a table column) or a
// constant (Data null).
struct TStackValue {
  const double* Data;
  double Value;
  double* Slot;  // the scratch block it owns, returned when it is taken off
};

// Scratch of the one-pass evaluations of one thread.
struct TTreeScratch {
  std::vector<TTreeItem> Items;
  std::vector<TKnown> Known;
  std::vector<TMXGPNode<double>*> Pending;
  std::vector<TStackValue> Stack;
  std::vector<std::unique_ptr<double[]>> Blocks;  // every block made, kept for reuse
  std::vector<double*> Free;
};
thread_local TTreeScratch tTree;

void RunItems(const TMXDataTable& Table, std::span<double> Out);

}  // namespace

bool EvaluateTree(TMXGPNode<double>* Root, const TMXDataTable& Table, std::span<double> Out,
                  std::span<TMXGPNode<double>* const> PreOrder) {
  if (!Root) throw EGPException("No program to evaluate");
  CheckOutput(Table, Out);
  // (1) The tree in pre-order, translated as the compiler does; every node is visited, so
  // every variable is checked.
  TTreeScratch& scratch = ThreadLocal(tTree);
  std::vector<TTreeItem>& items = scratch.Items;
  std::vector<TKnown>& known = scratch.Known;
  std::vector<TMXGPNode<double>*>& pending = scratch.Pending;
  items.clear(), known.clear(), pending.assign(1, Root);
  bool perRow = false;
  while (!pending.empty()) {
    TMXGPNode<double>* node = pending.back();
    pending.pop_back();
    if (constexpr std::size_t kAhead = 8; items.size() + kAhead < PreOrder.size())
      __builtin_prefetch(PreOrder[items.size() + kAhead]);
    const int children = node->GetChildCount();
    const TTranslation t = Translate(node->Instruction(), node->Value(), children, known, Table);
    perRow = perRow || t.PerRow;
    const TTreeItem item{t.Kind, t.Primitive, t.Column, t.Value, children, t.Run};
    items.push_back(item);
    for (int i = item.Children - 1; i >= 0; --i) {
      TMXGPNode<double>* child = node->GetChild(i);
      if (!child) {
        perRow = true;  // a gap among the children: only the node's own Execute knows
        continue;
      }
      pending.push_back(child);
    }
  }
  if (perRow) return false;
  RunItems(Table, Out);
  return true;
}

bool EvaluateProgram(const TMXGPCompactProgram<double>& Program, const TMXDataTable& Table, std::span<double> Out) {
  if (Program.Empty()) throw EGPException("No program to evaluate");
  CheckOutput(Table, Out);
  TTreeScratch& scratch = ThreadLocal(tTree);
  std::vector<TTreeItem>& items = scratch.Items;
  std::vector<TKnown>& known = scratch.Known;
  items.clear(), known.clear();
  bool perRow = false;
  for (const TGPRecord<double>& record : Program.Records()) {
    const TTranslation t = Translate(record.Instruction, record.Value, record.Arity, known, Table);
    perRow = perRow || t.PerRow;
    items.push_back({t.Kind, t.Primitive, t.Column, t.Value, record.Arity, t.Run});
  }
  if (perRow) return false;
  RunItems(Table, Out);
  return true;
}

namespace {

// (2) of the one-pass evaluation: each block of rows of the translated items.
void RunItems(const TMXDataTable& Table, std::span<double> Out) {
  TTreeScratch& scratch = ThreadLocal(tTree);
  const std::vector<TTreeItem>& items = scratch.Items;
  const int rows = Table.RowCount();
  // The items in reverse pre-order are the program in postfix, so
  // a node finds its children's values on the stack, child 0 on top.
  std::vector<TStackValue>& stack = scratch.Stack;
  std::vector<double*>& free = scratch.Free;
  const auto take = [&] {
    if (free.empty()) {
      scratch.Blocks.push_back(std::make_unique<double[]>(TMXGPCompiledProgram::BlockRows));
      return scratch.Blocks.back().get();
    }
    double* block = free.back();
    free.pop_back();
    return block;
  };
  for (int start = 0; start < rows || start == 0; start += TMXGPCompiledProgram::BlockRows) {
    const int n = std::min(TMXGPCompiledProgram::BlockRows, rows - start);
    stack.clear();
    // Takes a node's children off the stack, their blocks back to the free list.
    const auto drop = [&](int Count) {
      for (; Count > 0; --Count, stack.pop_back())
        if (stack.back().Slot) free.push_back(stack.back().Slot);
    };
    for (auto item = items.rbegin(); item != items.rend(); ++item) {
      if (item->Kind != TItem::ikFunction) {  // a leaf, or a node whose children do not run
        drop(item->Children);
        if (item->Kind == TItem::ikColumn) stack.push_back({Table.Column(item->Column).data() + start, 0, nullptr});
        else stack.push_back({nullptr, item->Value, nullptr});
        continue;
      }
      const TStackValue a = stack.back();
      const TStackValue b = item->Run > 1 ? stack.end()[-2] : TStackValue{nullptr, 0, nullptr};
      TStackValue result{nullptr, 0, nullptr};
      if (!a.Data && !b.Data) {
        result.Value = ApplyFloatPrimitive(item->Primitive, a.Value, b.Value);
      } else {
        result.Slot = take();
        result.Data = result.Slot;
        const auto& kernels = kKernels[item->Primitive];
        if (item->Run == 1) kernels[shVectors](result.Slot, a.Data, nullptr, 0, n);
        else if (!a.Data) kernels[shConstVector](result.Slot, nullptr, b.Data, a.Value, n);
        else if (!b.Data) kernels[shVectorConst](result.Slot, a.Data, nullptr, b.Value, n);
        else kernels[shVectors](result.Slot, a.Data, b.Data, 0, n);
      }
      drop(item->Children);
      stack.push_back(result);
    }
    const TStackValue& value = stack.back();
    if (value.Data) std::copy_n(value.Data, n, Out.begin() + start);
    else std::fill_n(Out.begin() + start, n, value.Value);
    if (value.Slot) free.push_back(value.Slot);
    if (rows == 0) break;
  }
}

}  // namespace

namespace {

// The compiled program an individual keeps, with the tree stamp it was compiled at.
class TProgramCache : public TMXGPTreeCache {
 public:
  TMXGPCompiledProgram Program;
  std::uint64_t TreeStamp = 0;
  bool Valid = false;
};

}  // namespace

void EvaluateRows(TMXGPIndividual<double>& Individual, const TMXDataTable& Table, std::span<double> Out, bool Batch) {
  // A compact program is read in one pass, whatever the rows: it is evaluated once per
  // generation, so compiling it would not pay.
  if (Batch && Individual.HoldsCompact() && !Individual.Compact().Empty() &&
      EvaluateProgram(Individual.Compact(), Table, Out))
    return;
  if (!Individual.DNA() || !Batch) {
    ExecuteRows(Individual.DNA(), Table, Out);
    return;
  }
  // A table of one block: one pass over the tree costs less than compiling it, which
  // would pay off only when the same tree is evaluated again.
  if (Table.RowCount() <= TMXGPCompiledProgram::BlockRows) {
    if (!EvaluateTree(Individual.DNA(), Table, Out, Individual.FlattenedDNA())) ExecuteRows(Individual.DNA(), Table, Out);
    return;
  }
  auto* cache = dynamic_cast<TProgramCache*>(Individual.TreeCache());
  if (!cache) {
    auto made = std::make_unique<TProgramCache>();
    cache = made.get();
    Individual.SetTreeCache(std::move(made));
  }
  if (!cache->Valid || cache->TreeStamp != Individual.TreeStamp() ||
      cache->Program.LayoutStamp() != Table.LayoutStamp()) {
    cache->Valid = false;
    cache->Program.Compile(Individual.DNA(), Table, Individual.FlattenedDNA());
    cache->TreeStamp = Individual.TreeStamp();
    cache->Valid = true;
  }
  cache->Program.Evaluate(Table, Out);
}

}  // namespace evokit
