// GeneticProgramming in Python: the float GP component over the standard primitives,
// scored by the regression fitness on arrays or by a Python fitness, and the views of
// its programs and generations.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <span>
#include <string>
#include <vector>

#include "component.h"
#include "convert.h"
#include "enums.h"
#include "events.h"
#include "module.h"

namespace evokit::python {

namespace {

// The component's variables, in the order of its instruction set: the columns of the
// arrays Program.evaluate takes.
std::vector<std::string> VariableNames(const TMXGeneticProgramming& GP) {
  std::vector<std::string> names;
  for (int i = 0; i < GP.Instructions()->Count(); ++i)
    if (GP.Instructions()->Items(i)->Operation() == gpVariable) names.push_back(GP.Instructions()->Items(i)->Name());
  return names;
}

// The program's value for each row of X (a column per variable; one value per variable
// gives one row and a float), or for the data of set_regression_data when X is None.
// The program is compiled for the batch evaluator here, not in the individual's cache:
// parents are read by every breeding thread, and the evaluation itself runs without
// the GIL.
py::object EvaluateProgram(const PyProgram& Self, const py::object& X) {
  TMXGPIndividual<double>* item = Self.Resolve();
  std::shared_ptr<const TMXGPRegressionFitness> data;  // keeps the table alive
  TMXDataTable own;
  const TMXDataTable* table = &own;
  bool row = false;
  if (X.is_none()) {
    data = Self.Owner->Regression;
    if (!data) throw py::value_error("evaluate() without X needs the data of set_regression_data");
    table = &data->Inputs();
  } else {
    auto arr = TFloatArray::ensure(X);
    if (!arr) throw py::type_error("X must be an array of numbers");
    row = arr.ndim() == 1;
    const std::vector<std::string> names = VariableNames(Self.Owner->GP);
    if ((arr.ndim() != 1 && arr.ndim() != 2) || arr.shape(arr.ndim() - 1) != static_cast<py::ssize_t>(names.size()))
      throw py::value_error("X must be a row or a two-dimensional array with one column per variable (" +
                            std::to_string(names.size()) + ")");
    own = TableFromArray(arr, names);
  }
  const auto n = static_cast<std::size_t>(table->RowCount());
  py::array_t<double> out(static_cast<py::ssize_t>(n));
  const std::span<double> values(out.mutable_data(), n);
  std::fill(values.begin(), values.end(), 0.0);
  if (TMXGPNode<double>* root = item->DNA()) {
    TMXGPCompiledProgram program;
    program.Compile(root, *table);
    py::gil_scoped_release nogil;
    program.Evaluate(*table, values);
  }
  if (row) return py::float_(values.empty() ? 0.0 : values[0]);
  return out;
}

void BindProgram(py::module_& m) {
  BindView<PyGP>(m, "Program", "One program of a GP population (a view into the component).")
      .def_property_readonly("text", [](const PyProgram& s) {
        const TMXGPNode<double>* root = s.Resolve()->DNA();
        return root ? root->ToString() : std::string();
      }, "The program in prefix form.")
      .def_property_readonly("size", [](const PyProgram& s) {
        const TMXGPNode<double>* root = s.Resolve()->DNA();
        return root ? root->Size() : 0;
      }, "The number of nodes.")
      .def_property_readonly("depth", [](const PyProgram& s) {
        const TMXGPNode<double>* root = s.Resolve()->DNA();
        return root ? root->Depth() : 0;
      }, "The number of edges on the longest path from the root to a leaf.")
      .def_property_readonly("tree", [](const PyProgram& s) -> py::object {
        const TMXGPNode<double>* root = s.Resolve()->DNA();
        return root ? TreeToTuple(root) : py::none();
      }, "The program as nested tuples (see SymbolicRegressor.tree_).")
      .def("evaluate", &EvaluateProgram, py::arg("X") = py::none(),
           "The program's values on the rows of X (one column per variable, in the order of variable_names), a "
           "float for a single row, or on the data of set_regression_data when X is None.")
      .def("__str__", [](const PyProgram& s) {
        const TMXGPNode<double>* root = s.Resolve()->DNA();
        return root ? root->ToString() : std::string();
      })
      .def("__repr__", [](const PyProgram& s) {
        TMXGPIndividual<double>* item = s.Resolve();
        return "<evokit.Program fitness=" + FloatToStr(item->Fitness()) + " size=" +
               std::to_string(item->DNA() ? item->DNA()->Size() : 0) + ">";
      });
  BindPopulation<PyGP>(m, "ProgramPopulation", "A GP generation; a sequence of Program views.");
}

}  // namespace

void BindGP(py::module_& m) {
  BindProgram(m);
  py::class_<PyGP, std::shared_ptr<PyGP>> gp(
      m, "GeneticProgramming", "Genetic programming over float programs, scored by a regression on data.",
      CollectedCallables<PyGP>());
  BindComponent(gp);
  using P = PyGP;
  using C = TMXCustomGeneticProgramming<double>;
  const auto component = [](P& s) -> C& { return s.GP; };
  EnumProperty(gp, "initialization_method", "InitializationMethod", component, &C::InitializationMethod,
               &C::SetInitializationMethod, "How initialize grows the first programs.");
  gp.def_property("initialization_depth", [](P& s) { return s.GP.InitializationDepth(); },
                  [](P& s, int v) { s.GP.SetInitializationDepth(v); },
                  "The depth the first programs grow to; 0 derives it from the number of functions.");
  EnumProperty(gp, "crossover_method", "GPCrossoverMethod", component, &C::CrossoverMethod, &C::SetCrossoverMethod,
               "How two programs are crossed.");
  gp.def_property(
      "selection_non_terminals_probability", [](P& s) { return s.GP.SelectionNonTerminalsProbability(); },
      [](P& s, double v) { s.GP.SetSelectionNonTerminalsProbability(v); },
      "How likely an operator picks a function node rather than a terminal.");
  // Bloat control: the strategy, its limit and the values the Tarpeian and parsimony
  // strategies use.
  EnumProperty(gp, "bloat_strategy", "BloatStrategy", component, &C::BloatStrategy, &C::SetBloatStrategy,
               "How programs are kept from growing without end (bloat_limit, tarpeian_probability and "
               "parsimony_coefficient are its parameters).");
  gp.def_property("bloat_limit", [](P& s) { return s.GP.BloatLimit(); }, [](P& s, int v) { s.GP.SetBloatLimit(v); },
                  "The size or depth limit of the bloat strategy (at least 5).");
  gp.def_property(
      "tarpeian_probability", [](P& s) { return s.GP.TarpeianProbability(); },
      [](P& s, const py::object& v) { s.GP.SetTarpeianProbability(FiniteArg(v, "tarpeian_probability")); },
      "How likely the TARPEIAN_SIZE and TARPEIAN_DEPTH strategies make a program above the average size (depth) "
      "unfit.");
  gp.def_property("parsimony_coefficient", [](P& s) { return s.GP.ParsimonyCoefficient(); },
                  [](P& s, double v) { s.GP.SetParsimonyCoefficient(v); },
                  "The weight of size or depth in the weighted fitness of the parsimony pressure strategies (the "
                  "covariant ones set it each generation).");
  gp.def_property("reuse_fitness", [](P& s) { return s.GP.ReuseFitness(); },
                  [](P& s, bool v) { s.GP.SetReuseFitness(v); },
                  "Whether a program scored in this generation or the previous one keeps that fitness instead of "
                  "another call of the fitness function (for a fitness that depends on the program alone).");
  gp.def_property("compact_breeding", [](P& s) { return s.GP.CompactBreeding(); },
                  [](P& s, bool v) { s.GP.SetCompactBreeding(v); },
                  "Whether breeding works on programs as arrays of records (the same programs, bred faster) while "
                  "no handler of breeding or custom selection is set.");
  // The six mutation methods' weights (stored clamped to 0..255); a mutation picks one
  // method with probability weight / sum of weights.
  struct TWeight {
    const char* Name;
    int (C::*Get)() const;
    void (C::*Set)(int);
    const char* Doc;
  };
  for (const TWeight w :
       {TWeight{"mutate_subtree_weight", &C::MutateSubtreeWeight, &C::SetMutateSubtreeWeight,
                "Weight of subtree mutation (a random subtree replaces one), 0 to 255."},
        {"mutate_replacement_weight", &C::MutateReplacementWeight, &C::SetMutateReplacementWeight,
         "Weight of replacement mutation (a node replaced by a random one with new subtrees), 0 to 255."},
        {"mutate_constant_weight", &C::MutateConstantWeight, &C::SetMutateConstantWeight,
         "Weight of constant mutation (on_constant_mutation changes a picked constant), 0 to 255."},
        {"mutate_shrink_weight", &C::MutateShrinkWeight, &C::SetMutateShrinkWeight,
         "Weight of shrink mutation (a subtree replaced by a terminal), 0 to 255."},
        {"mutate_hoist_weight", &C::MutateHoistWeight, &C::SetMutateHoistWeight,
         "Weight of hoist mutation (a subtree becomes the program), 0 to 255."},
        {"mutate_point_weight", &C::MutatePointWeight, &C::SetMutatePointWeight,
         "Weight of point mutation (see point_mutation_method), 0 to 255."}})
    gp.def_property(w.Name, [w](P& s) { return (s.GP.*w.Get)(); }, [w](P& s, int v) { (s.GP.*w.Set)(v); }, w.Doc);
  EnumProperty(gp, "point_mutation_method", "PointMutationMethod", component, &C::PointMutationMethod,
               &C::SetPointMutationMethod, "Whether point mutation changes each node with point_mutation_probability "
               "or one node per tree.");
  gp.def_property("point_mutation_probability", [](P& s) { return s.GP.PointMutationProbability(); },
                  [](P& s, double v) { s.GP.SetPointMutationProbability(v); },
                  "How likely point mutation changes a node.");
  gp.def_property("on_constant_mutation", [](const P& s) { return s.OnConstantMutation; }, &InstallConstantMutation,
                  "Called as on_constant_mutation(value) with the value of the constant a constant mutation "
                  "picked; a number returned becomes its value, None keeps it.");
  gp.def_property_readonly("avg_program_size", [](P& s) { return s.GP.AvgProgramSize(); },
                           "The mean number of nodes of the current population's programs.");
  gp.def("add_instructions", [](P& s, const std::string& names) {
    const TBusy busy(s);
    AddFloatPrimitives(*s.GP.Instructions(), names);
  }, py::arg("names"), "Adds primitives (Add, Sub, ..., Tanh), variables and constants named by words of `names`.");
  gp.def_property_readonly("instruction_names", [](P& s) {
    std::vector<std::string> names;
    for (int i = 0; i < s.GP.Instructions()->Count(); ++i) names.push_back(s.GP.Instructions()->Items(i)->Name());
    return names;
  }, "The instructions' names, in order.");
  gp.def("set_regression_data", [](P& s, const TFloatArray& X, const std::vector<double>& y,
                                   const std::vector<std::string>& names, const py::object& metric,
                                   bool linear_scaling) {
    const TBusy busy(s);
    if (X.ndim() != 2 || X.shape(0) != static_cast<py::ssize_t>(y.size()))
      throw py::value_error("X must be two-dimensional with one row per value of y");
    if (names.size() != static_cast<std::size_t>(X.shape(1)))
      throw py::value_error("names must name each column of X");
    TMXDataTable table = TableFromArray(X, names);
    table.AddColumn("\x01target", y);  // a name no variable can take
    s.Regression = std::make_shared<TMXGPRegressionFitness>(table, "\x01target",
                                                            FromPy<TGPRegressionMetric>(metric, "RegressionMetric"),
                                                            linear_scaling);
    if (s.Fitness.is_none()) SetRegressionFitness(s.GP, s.Regression);
  }, py::arg("X"), py::arg("y"), py::arg("names"), py::arg("metric"), py::arg("linear_scaling") = false,
     "Scores programs on the columns of X (named as the variables) against y, unless a Python fitness is set.");
  gp.def_property(
      "fitness", [](const P& s) { return s.Fitness; },
      [](P& s, const py::object& v) {
        InstallFitness(s, v);
        if (v.is_none() && s.Regression) SetRegressionFitness(s.GP, s.Regression);
      },
      "A Python fitness: a callable taking a Program and returning a number, used instead of the regression "
      "data's (set fitness_method to match). None restores the regression fitness when set_regression_data was "
      "called. Programs evaluated already keep their fitness until they change.");
  gp.def_property("on_crossover", [](const P& s) { return s.OnCrossover; }, &InstallGPCrossover,
                  "Called as on_crossover(parent1, parent2, child) before a crossover; returning False vetoes it.");
  gp.def_property_readonly("variable_names", [](P& s) { return VariableNames(s.GP); },
                           "The variables' names, in instruction order: the columns Program.evaluate reads.");
  gp.def_property_readonly("population", [](const std::shared_ptr<P>& s) { return TPopView<P>{s, TWhere::Current}; },
                           "The current generation, a sequence of Program views.");
  gp.def_property_readonly("fittest", [](const std::shared_ptr<P>& s) -> py::object {
    if (!s->GP.FittestIndividual()) return py::none();
    return py::cast(PyProgram{s, TWhere::Fittest, 0});
  }, "The best program of the population last evaluated, or None before that.");
  gp.def_property_readonly("fittest_program", [](P& s) -> py::object {
    TMXGPIndividual<double>* best = s.GP.FittestIndividual();
    if (!best || !best->DNA()) return py::none();
    return py::str(best->DNA()->ToString());
  }, "The fittest program in prefix form, or None.");
  gp.def_property_readonly("fittest_tree", [](P& s) -> py::object {
    TMXGPIndividual<double>* best = s.GP.FittestIndividual();
    if (!best || !best->DNA()) return py::none();
    return TreeToTuple(best->DNA());
  }, "The fittest program as nested tuples (see SymbolicRegressor.tree_), or None.");
}

}  // namespace evokit::python
