// What the Python SymbolicRegressor (evokit/regressor.py) runs on: the library's
// regression settings, the fit, the evaluation of a fitted program, given as nested
// tuples, by the batch evaluator, and its simplified form (simplify.h) with its texts.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <iterator>
#include <map>
#include <random>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <evokit/evokit.h>
#include <evokit/gp/simplify.h>

#include "convert.h"
#include "module.h"

namespace evokit::python {

namespace {

// x0, x1, ...: the variables of X's columns.
std::vector<std::string> ColumnNames(py::ssize_t Count) {
  std::vector<std::string> names;
  for (py::ssize_t j = 0; j < Count; ++j) {
    names.emplace_back("x");  // appended, not "x" + ...: GCC 12 warns falsely (-Wrestrict) on that at -O3
    names.back() += std::to_string(j);
  }
  return names;
}

// The settings' fields as Python names them (the library's names in C++), and the model
// selection rules by name.
const std::pair<const char*, const char*> kFieldNames[] = {
    {"Population", "population"}, {"Generations", "generations"}, {"TournamentSize", "tournament_size"},
    {"InitDepth", "init_depth"}, {"DepthLimit", "depth_limit"}, {"SizeLimit", "size_limit"},
    {"CrossoverProbability", "crossover_probability"},
    {"MutationProbability", "mutation_probability"}, {"FunctionSet", "function_set"}, {"Constants", "constants"},
    {"EphemeralConstants", "ephemeral_constants"}, {"EphemeralRange", "ephemeral_range"},
    {"StoppingError", "stopping_error"}, {"LinearScaling", "linear_scaling"},
    {"CoefficientIterations", "coefficient_iterations"}, {"Lamarckian", "lamarckian"},
    {"VariableWeights", "variable_weights"}, {"Threads", "threads"},
    {"Seed", "seed"}, {"ModelSelection", "model_selection"}, {"ValidationFraction", "validation_fraction"},
    {"ArchiveSize", "archive_size"}, {"Patience", "patience"}};
const char* const kSelectionNames[] = {"best", "validation", "knee"};
static_assert(std::size(kSelectionNames) == static_cast<std::size_t>(EnumCount<TGPModelSelection>()));

// CheckRegressionSettings, its refusal a ValueError that names the field as Python does.
void CheckSettings(const TMXGPRegressionSettings& S) {
  try {
    CheckRegressionSettings(S);
  } catch (const ERegressionSettingsError& e) {
    std::string message = e.Message();
    for (const auto& [field, name] : kFieldNames)
      if (e.Field() == field) message.replace(0, e.Field().size(), name);
    throw py::value_error(message);
  }
}

// TreeToTuple's nested tuples, a weighted variable leaf (Weighted) written as the product
// ("Mul", ("const", w), ("var", name)) unless its weight is 1.
py::object WeightedTreeToTuple(const TMXGPNode<double>* Node, bool Weighted) {
  const TMXGPInstruction<double>* instruction = Node->Instruction();
  if (!Weighted || !instruction) return TreeToTuple(Node);
  switch (instruction->Operation()) {
    case gpVariable:
      if (Node->Value() == 1) return TreeToTuple(Node);
      return py::make_tuple("Mul", py::make_tuple("const", Node->Value()), TreeToTuple(Node));
    case gpConstant: return TreeToTuple(Node);
    default: {
      py::list items;
      items.append(instruction->DisplayName());
      for (int i = 0; i < Node->GetChildCount(); ++i) items.append(WeightedTreeToTuple(Node->GetChild(i), true));
      return py::tuple(items);
    }
  }
}

// (size, training error, validation error, tree, prefix, slope, intercept) of an entry;
// the size counts a weighted variable as one node.
py::tuple EntryTuple(const TMXGPRegressionArchive::TEntry& E) {
  return py::make_tuple(E.Size, E.Error, E.ValidationError, WeightedTreeToTuple(E.Program.get(), E.Weighted),
                        E.Program->ToString(), E.Slope, E.Intercept);
}

// Runs GP on (X, y) with the mean squared error (after the fit of each program's
// constants and linear scaling, when on), rows held out for validation when the settings
// ask, an archive fed every generation, and returns the archive's front, the entry the
// model selection picks, the history and the generations run. The GIL is released for the run but for Verbose's progress lines.
py::dict FitRegression(const TFloatArray& X, const std::vector<double>& Y, const TMXGPRegressionSettings& S,
                       bool Verbose) {
  CheckSettings(S);
  if (X.ndim() != 2) throw py::value_error("X must be two-dimensional");
  const std::vector<std::string> variables = ColumnNames(X.shape(1));
  TMXDataTable table = TableFromArray(X, variables);
  table.AddColumn("y", Y);
  std::shared_ptr<TMXGPRegressionFitness> validation;
  const TMXDataTable all = S.ValidationFraction > 0 ? table : TMXDataTable();
  if (S.ValidationFraction > 0) {
    TMXDataTable training, held;
    SplitRows(table, S.ValidationFraction, S.Seed ? *S.Seed : std::random_device{}(), training, held);
    table = std::move(training);
    validation = std::make_shared<TMXGPRegressionFitness>(held, "y", rmMeanSquaredError, false);
  }
  auto fitness = std::make_shared<TMXGPRegressionFitness>(table, "y", rmMeanSquaredError, S.LinearScaling);
  fitness->SetCoefficientFitting(S.CoefficientIterations, S.Lamarckian, S.VariableWeights);
  TMXGPRegressionProgramming gp;
  ApplyRegressionSettings(gp, S, variables);
  SetRegressionFitness(gp, fitness);
  TMXGPRegressionArchive archive(fitness, validation, S.ArchiveSize);
  const auto progress = [&] {
    const TMXGPRegressionArchive::TGeneration& row = archive.History().back();
    std::string line = "gen " + std::to_string(row.Generation) + "  best error " + FloatToStrF(row.BestError, ffGeneral, 8, 0);
    if (validation) line += "  validation error " + FloatToStrF(row.ValidationError, ffGeneral, 8, 0);
    line += "  avg size " + FloatToStrF(row.AvgSize, ffFixed, 8, 1) + "  front " + std::to_string(archive.Front().size());
    py::gil_scoped_acquire gil;
    py::print(line, py::arg("flush") = true);
  };
  int done = 0;
  {
    py::gil_scoped_release nogil;
    // Always the parallel step: a seeded run then gives the same program whatever the
    // number of threads, one included. The process-wide thread limit is restored afterwards.
    if (S.Seed) RandSeed(*S.Seed);
    else Randomize();
    const int threads = TParallel::MaxThreads();
    TParallel::SetMaxThreads(S.Threads);
    const TScopeExit restore([threads] { TParallel::SetMaxThreads(threads); });
    // The first population is read too: a good early program is kept.
    gp.Initialize();
    if (S.LinearSeed) SeedLinearModel(gp, variables);
    const auto feed = [&](TObject*) {
      const std::size_t rows = archive.History().size();
      archive.Update(gp);
      if (Verbose && archive.History().size() > rows) progress();
      if (archive.Stalled(S.Patience)) gp.SetHalt(true);
    };
    feed(nullptr);
    gp.SetOnEvolve(feed);
    done = gp.ParallelEvolve(S.Generations);
  }
  if (validation) {
    // The held-out rows have chosen the model; its coefficients now learn from them too.
    TMXGPRegressionFitness refit(all, "y", rmMeanSquaredError, S.LinearScaling);
    refit.SetCoefficientFitting(S.CoefficientIterations, S.Lamarckian, S.VariableWeights);
    py::gil_scoped_release nogil;
    archive.Refit(refit);
  }
  const TMXGPRegressionArchive::TEntry* chosen = archive.Select(S.ModelSelection);
  if (!chosen) throw py::value_error("the run produced no program");
  py::list front;
  for (const auto& entry : archive.Front()) front.append(EntryTuple(entry));
  py::dict history;
  std::vector<int> generation;
  std::vector<double> best, held, size;
  for (const auto& row : archive.History())
    generation.push_back(row.Generation), best.push_back(row.BestError), held.push_back(row.ValidationError),
        size.push_back(row.AvgSize);
  history["generation"] = generation;
  history["best_error"] = best;
  if (validation) history["validation_error"] = held;
  history["average_size"] = size;
  py::dict out;
  out["front"] = front;
  out["chosen"] = chosen - archive.Front().data();
  out["history"] = history;
  out["generations"] = done;
  out["mean_size"] = gp.AvgProgramSize();
  return out;
}

// A program of Engine's nodes from nested tuples as TreeToTuple writes them, its
// instructions added to Engine's set as they are met: the standard primitives (by name,
// ASCII case ignored), variables and one constant instruction whose nodes carry their
// values. ValueError for anything else, a function with another number of children
// than its arity included. Built without recursion.
std::unique_ptr<TMXGPNode<double>> TupleToTree(const py::handle& Tree, TMXGeneticProgrammingExecutor& Engine) {
  TMXGPInstructions<double>& set = *Engine.Instructions();
  TMXGPInstruction<double>* constant = nullptr;
  std::map<std::string, TMXGPInstruction<double>*> variables;
  std::unique_ptr<TMXGPNode<double>> root;
  std::vector<std::pair<py::handle, TMXGPNode<double>*>> pending{{Tree, nullptr}};
  while (!pending.empty()) {
    const auto [item, parent] = pending.back();
    pending.pop_back();
    if (!py::isinstance<py::tuple>(item) || py::len(item) == 0 ||
        !py::isinstance<py::str>(PyTuple_GET_ITEM(item.ptr(), 0)))
      throw py::value_error("a program tree is a tuple (name, ...), not " + std::string(py::repr(item)));
    const auto node = py::reinterpret_borrow<py::tuple>(item);
    const std::string head = node[0].cast<std::string>();
    TMXGPNode<double>* created = nullptr;
    if (head == "var" || head == "const") {
      if (node.size() != 2) throw py::value_error("(\"" + head + "\", value) takes one value");
      if (head == "var") {
        if (!py::isinstance<py::str>(node[1])) throw py::value_error("a variable is named by a string");
        const std::string name = node[1].cast<std::string>();
        TMXGPInstruction<double>*& variable = variables[name];
        if (!variable) {
          variable = set.Add();
          variable->SetName(name);
          variable->SetOperation(gpVariable);
        }
        created = Engine.CreateNode(variable, parent);
      } else {
        if (!constant) {
          constant = set.Add();
          constant->SetName("\x01""constant");  // a name no variable can take
          constant->SetOperation(gpConstant);
        }
        created = Engine.CreateNode(constant, parent);
        created->SetValue(FiniteArg(node[1], "a constant"));
      }
    } else {
      const TGPFloatPrimitive primitive = FloatPrimitiveOf(head);
      if (primitive == fpNone) throw py::value_error("\"" + head + "\" is no primitive");
      const auto arity = static_cast<std::size_t>(FloatPrimitiveArity(primitive));
      if (node.size() != arity + 1)
        throw py::value_error("\"" + head + "\" takes " + std::to_string(arity) + " arguments, not " +
                              std::to_string(node.size() - 1));
      TMXGPInstruction<double>* function = set.FindItemName(FloatPrimitiveName(primitive));
      if (!function) function = AddFloatPrimitives(set, FloatPrimitiveName(primitive)).front();
      created = Engine.CreateNode(function, parent);
      // The tuple keeps its children alive; the first child is built first.
      for (std::size_t i = arity; i > 0; --i) pending.emplace_back(PyTuple_GET_ITEM(node.ptr(), i), created);
    }
    if (!parent) root.reset(created);
  }
  return root;
}

// The values of Tree (nested tuples over the variables x0, x1, ... of X's columns) for
// each row of X, computed by the batch evaluator without the GIL.
py::array_t<double> EvaluateTree(const py::object& Tree, const TFloatArray& X) {
  if (X.ndim() != 2) throw py::value_error("X must be two-dimensional");
  const TMXDataTable table = TableFromArray(X, ColumnNames(X.shape(1)));
  TMXGeneticProgrammingExecutor engine;
  const std::unique_ptr<TMXGPNode<double>> root = TupleToTree(Tree, engine);
  py::array_t<double> out(table.RowCount());
  TMXGPCompiledProgram program;
  program.Compile(root.get(), table);
  py::gil_scoped_release nogil;
  program.Evaluate(table, std::span<double>(out.mutable_data(), static_cast<std::size_t>(table.RowCount())));
  return out;
}

// The simplified expression as nested tuples in TreeToTuple's form, so it is a program
// TupleToTree reads back: every function is a standard primitive with its arity.
py::object ExpressionToTuple(const TMXExpression& E) {
  switch (E.Kind()) {
    case TMXExpression::ekConstant: return py::make_tuple("const", E.Value());
    case TMXExpression::ekVariable: return py::make_tuple("var", E.Name());
    case TMXExpression::ekFunction: break;
  }
  py::list items;
  items.append(FloatPrimitiveName(E.Primitive()));
  for (int i = 0; i < E.ChildCount(); ++i) items.append(ExpressionToTuple(E.Child(i)));
  return py::tuple(items);
}

// What the program Tree (nested tuples) computes, as an expression; errors as TupleToTree
// and TMXExpression::FromProgram raise them.
TMXExpression TupleToExpression(const py::object& Tree) {
  TMXGeneticProgrammingExecutor engine;
  const std::unique_ptr<TMXGPNode<double>> root = TupleToTree(Tree, engine);
  return TMXExpression::FromProgram(root.get());
}

}  // namespace

void BindRegression(py::module_& m) {
  using S = TMXGPRegressionSettings;
  py::class_<S>(m, "_RegressionSettings", "The library's regression settings; the defaults are SymbolicRegressor's.")
      .def(py::init<>())
      .def_readwrite("population", &S::Population)
      .def_readwrite("generations", &S::Generations)
      .def_readwrite("tournament_size", &S::TournamentSize)
      .def_readwrite("init_depth", &S::InitDepth)
      .def_readwrite("depth_limit", &S::DepthLimit)
      .def_readwrite("size_limit", &S::SizeLimit)
      .def_readwrite("crossover_probability", &S::CrossoverProbability)
      .def_readwrite("mutation_probability", &S::MutationProbability)
      .def_readwrite("function_set", &S::FunctionSet)
      .def_readwrite("constants", &S::Constants)
      .def_readwrite("ephemeral_constants", &S::EphemeralConstants)
      .def_readwrite("ephemeral_range", &S::EphemeralRange)
      .def_readwrite("stopping_error", &S::StoppingError)
      .def_readwrite("linear_scaling", &S::LinearScaling)
      .def_readwrite("coefficient_iterations", &S::CoefficientIterations)
      .def_readwrite("lamarckian", &S::Lamarckian)
      .def_readwrite("variable_weights", &S::VariableWeights)
      .def_readwrite("linear_seed", &S::LinearSeed)
      .def_readwrite("threads", &S::Threads)
      .def_readwrite("seed", &S::Seed)
      .def_property(
          "model_selection", [](const S& s) { return std::string(kSelectionNames[s.ModelSelection]); },
          [](S& s, const std::string& name) {
            for (std::size_t i = 0; i < std::size(kSelectionNames); ++i)
              if (name == kSelectionNames[i]) return void(s.ModelSelection = static_cast<TGPModelSelection>(i));
            throw py::value_error("model_selection must be \"best\", \"validation\" or \"knee\", not \"" + name + "\"");
          })
      .def_readwrite("validation_fraction", &S::ValidationFraction)
      .def_readwrite("archive_size", &S::ArchiveSize)
      .def_readwrite("patience", &S::Patience);
  m.def("_check_settings", &CheckSettings, py::arg("settings"));
  m.def("_fit_regression", &FitRegression, py::arg("X"), py::arg("y"), py::arg("settings"), py::arg("verbose") = false);
  m.def("_evaluate_tree", &EvaluateTree, py::arg("tree"), py::arg("X"),
        "The values of a program tree (nested tuples over x0, x1, ...) for each row of X.");
  m.def(
      "_simplify", [](const py::object& Tree) { return ExpressionToTuple(Simplify(TupleToExpression(Tree))); },
      py::arg("tree"), "The simplified program tree, as nested tuples of the same form.");
  m.def(
      "_expression_text",
      [](const py::object& Tree, const TExpressionNames& Names, int Digits, bool SymPy) {
        const TMXExpression expression = TupleToExpression(Tree);
        return SymPy ? expression.ToSymPy(Names, Digits) : expression.ToString(Names, Digits);
      },
      py::arg("tree"), py::arg("names"), py::arg("digits"), py::arg("sympy") = false,
      "A program tree as infix text (or SymPy's), its variables under names (a dict), constants to digits.");
}

}  // namespace evokit::python
