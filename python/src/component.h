// What the Python classes of the components share: the state a component keeps beside
// the library object (its Python callables, whether a call runs it), the views of its
// individuals and generations, and the bindings common to GeneticAlgorithm and
// GeneticProgramming (component.cpp) and to their events (events.h).
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <stdexcept>
#include <string>

#include <evokit/evokit.h>

namespace evokit::python {

namespace py = pybind11;

// What the Python side of a component keeps besides the component: its Python
// callables (released with it) and whether a call is running it.
struct PyComponent {
  virtual ~PyComponent() = default;
  virtual TMXCustomGeneticComponent& Comp() = 0;
  // The Python callables behind the component's events (None: no handler of ours).
  py::object Fitness = py::none();
  py::object OnEvolve = py::none();
  py::object OnSelection = py::none();
  py::object OnCrossover = py::none();
  py::object OnMutation = py::none();
  py::object OnInversion = py::none();
  py::object OnReproduction = py::none();
  py::object OnInitializeChild = py::none();
  py::object OnInitialization = py::none();
  py::object WeightedFitness = py::none();
  py::object OnConstantMutation = py::none();  // the GP component's only
  py::object BatchFitness = py::none();        // the GA's only
  // True while a call runs the component (evolving, loading, saving). A callback, or
  // another Python thread, that tries to restructure it meanwhile gets RuntimeError
  // instead of pulling the population from under the running generation.
  bool Busy = false;
  // True while on_evolve runs: the generation is complete, so the other handlers may be
  // replaced there.
  bool BetweenGenerations = false;
};

struct PyGA : PyComponent, std::enable_shared_from_this<PyGA> {
  using TItem = TMXGAIndividual;
  TMXGeneticAlgorithm GA;
  TMXCustomGeneticComponent& Comp() override { return GA; }
};

// The float GP component with the ready-made regression fitness: programs over the
// standard primitives, scored on data given as arrays or by a Python fitness.
struct PyGP : PyComponent, std::enable_shared_from_this<PyGP> {
  using TItem = TMXGPIndividual<double>;
  TMXGeneticProgramming GP;
  std::shared_ptr<const TMXGPRegressionFitness> Regression;
  TMXCustomGeneticComponent& Comp() override { return GP; }
};

// Marks the component busy for the length of a call (under the GIL, which every Python
// caller holds when it gets here).
class TBusy {
 public:
  explicit TBusy(PyComponent& Self) : FSelf(Self) {
    if (Self.Busy) throw std::runtime_error("the component is busy: it cannot be changed from its own callbacks "
                                            "or from another thread while it runs");
    Self.Busy = true;
  }
  ~TBusy() { FSelf.Busy = false; }
  TBusy(const TBusy&) = delete;
  TBusy& operator=(const TBusy&) = delete;

 private:
  PyComponent& FSelf;
};

// Handlers may change while the component rests or between generations (from
// on_evolve), never while a generation is bred: a breeding thread may be in the old one.
inline void CheckHandlerChange(const PyComponent& Self) {
  if (Self.Busy && !Self.BetweenGenerations)
    throw std::runtime_error("the component is busy: its event handlers cannot be changed while it breeds");
}

// Which generation a view reads: the current one, the parents' (PreviousGeneration,
// which the events of a running generation see) or the component's fittest individual.
enum class TWhere { Current, Parents, Fittest };

inline TMXPopulation* PopulationAt(TMXCustomGeneticComponent& Comp, TWhere Where) {
  return Where == TWhere::Parents ? Comp.PreviousGeneration() : Comp.Population();
}

// A view of one individual: the component (kept alive) and the individual's place,
// looked up at each access so that a view outliving a generation never dangles.
template <class S>
struct TView {
  std::shared_ptr<S> Owner;
  TWhere Where;
  int Index;
  typename S::TItem* Resolve() const {
    TMXIndividual* item = nullptr;
    if (Where == TWhere::Fittest) {
      item = Owner->Comp().FittestIndividual();
      if (!item) throw py::value_error("the component has no fittest individual yet");
    } else {
      TMXPopulation* pop = PopulationAt(Owner->Comp(), Where);
      if (!pop || Index >= pop->Count())
        throw py::index_error("individual " + std::to_string(Index) + " left the population");
      item = pop->Items(Index);
    }
    return static_cast<typename S::TItem*>(item);
  }
  // For the setters: a parent of the generation being bred is read by every breeding
  // thread, so it is read-only while the component runs.
  typename S::TItem* ResolveForWrite() const {
    if (Where == TWhere::Parents && Owner->Busy)
      throw std::runtime_error("the parents of a running generation are read-only");
    return Resolve();
  }
};
using PyIndividual = TView<PyGA>;
using PyProgram = TView<PyGP>;

// The view handed to an event for Item, which lives in the current or the parents'
// generation.
template <class S>
TView<S> ViewOf(S& Self, TMXIndividual* Item) {
  TMXCustomGeneticComponent& comp = Self.Comp();
  const TMXPopulation* pop = Item->Collection();
  const TWhere where = pop == comp.PreviousGeneration() ? TWhere::Parents : TWhere::Current;
  if (pop != PopulationAt(comp, where))
    throw std::runtime_error("a callback got an individual outside the current and the parents' generation");
  return TView<S>{Self.shared_from_this(), where, Item->Index()};
}

// A generation as a sequence of views.
template <class S>
struct TPopView {
  std::shared_ptr<S> Owner;
  TWhere Where;
  TMXPopulation& Pop() const { return *PopulationAt(Owner->Comp(), Where); }
  int Count() const { return PopulationAt(Owner->Comp(), Where) ? Pop().Count() : 0; }
  TView<S> At(py::ssize_t Index) const {
    const py::ssize_t n = Count();
    if (Index < 0) Index += n;
    if (Index < 0 || Index >= n) throw py::index_error("population index out of range");
    return TView<S>{Owner, Where, static_cast<int>(Index)};
  }
};
using PyPopulation = TPopView<PyGA>;

// The properties, events and calls every component shares, on the Python class Cls of
// state S (PyGA or PyGP).
template <class S>
void BindComponent(py::class_<S, std::shared_ptr<S>>& Cls);
// The Python class Name of S's individual views: fitness and index; the caller adds the rest.
template <class S>
py::class_<TView<S>> BindView(py::module_& m, const char* Name, const char* Doc);
// The Python class Name of S's generations: a sequence of views with their fitness.
template <class S>
py::class_<TPopView<S>> BindPopulation(py::module_& m, const char* Name, const char* Doc);

}  // namespace evokit::python
