#include "events.h"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

namespace evokit::python {

namespace {

// Every Python callable a component keeps.
constexpr py::object PyComponent::*kCallableSlots[] = {
    &PyComponent::Fitness,        &PyComponent::OnEvolve,          &PyComponent::OnSelection,
    &PyComponent::OnCrossover,    &PyComponent::OnMutation,        &PyComponent::OnInversion,
    &PyComponent::OnReproduction, &PyComponent::OnInitializeChild, &PyComponent::OnInitialization,
    &PyComponent::WeightedFitness, &PyComponent::OnConstantMutation, &PyComponent::BatchFitness};

// The events only one component class has (cleared with the callables behind them).
void ClearOwnHandlers(PyGA& Self) {
  Self.GA.SetOnCrossover(nullptr);
  if (!Self.BatchFitness.is_none()) {
    Self.GA.SetOnEvaluatePopulation(nullptr);
    Self.GA.SetOnEvaluateFitness(nullptr);
    Self.GA.SetOnEvaluateObjectives(nullptr);
  }
}
void ClearOwnHandlers(PyGP& Self) {
  Self.GP.SetOnCrossover(nullptr);
  Self.GP.SetOnConstantMutation(nullptr);
}

std::string TypeName(const py::handle& Value) { return py::str(Value.get_type().attr("__name__")); }

void CheckCallable(const py::object& Callable, const char* Name) {
  if (!Callable.is_none() && !PyCallable_Check(Callable.ptr()))
    throw py::type_error(std::string(Name) + " must be callable or None");
}

// True when Answer is a bool (numpy's included), stored in Flag.
bool BoolAnswer(const py::object& Answer, bool& Flag) {
  py::detail::make_caster<bool> caster;
  if (!caster.load(Answer, false)) return false;
  Flag = py::detail::cast_op<bool>(caster);
  return true;
}

// The answer of a veto: None lets Proceed stand, a bool replaces it.
void VetoAnswer(const py::object& Answer, bool& Proceed, const char* Name) {
  if (!Answer.is_none() && !BoolAnswer(Answer, Proceed))
    throw py::type_error(std::string(Name) + " must return a bool or None, not " + TypeName(Answer));
}

// What every event setter does first: Callable must be callable or None and the
// component must not be breeding; then it becomes the event's Python side (Slot). True
// when a handler is to be installed, false when None removes it.
bool StoreHandler(PyComponent& Self, const py::object& Callable, py::object PyComponent::*Slot, const char* Name) {
  CheckCallable(Callable, Name);
  CheckHandlerChange(Self);
  Self.*Slot = Callable;
  return !Callable.is_none();
}

// Answer as a double; TypeError "<Who> must return a number<Or>, not <type>" for
// anything but a number (the message is built only then: fitness answers are checked on
// every evaluation).
double NumberAnswer(const py::object& Answer, const char* Who, const char* Or = "") {
  if (!PyNumber_Check(Answer.ptr()) || py::isinstance<py::str>(Answer))
    throw py::type_error(std::string(Who) + " must return a number" + Or + ", not " + TypeName(Answer));
  return py::float_(Answer).cast<double>();
}

// A fitness callable of S (fitness, weighted_fitness) as the fitness event that Set
// installs: it takes the individual's view and answers a number. None removes the
// handler (without one the weighted fitness is the fitness).
template <class S>
void InstallFitnessEvent(S& Self, const py::object& Callable, py::object PyComponent::*Slot,
                         void (TMXCustomGeneticComponent::*Set)(TMXFitnessEvent), const char* Name,
                         const char* Who) {
  if (!StoreHandler(Self, Callable, Slot, Name)) return (Self.Comp().*Set)(nullptr);
  S* self = &Self;
  (Self.Comp().*Set)([self, Slot, Who](TObject*, TMXIndividual* Item, TGAFitness& Fitness) {
    py::gil_scoped_acquire gil;
    Fitness = NumberAnswer((self->*Slot)(ViewOf(*self, Item)), Who);
  });
}

// The parent an on_selection callable picked from Population: a view of one of its
// individuals, or its index (negative ones count from the end).
template <class S>
TMXIndividual* SelectedParent(const py::object& Answer, TMXPopulation& Population) {
  if (py::isinstance<TView<S>>(Answer)) {
    TMXIndividual* item = Answer.cast<const TView<S>&>().Resolve();
    if (item->Collection() != &Population)
      throw py::value_error("on_selection must pick an individual of the population it is given");
    return item;
  }
  bool flag = false;
  if (!PyIndex_Check(Answer.ptr()) || BoolAnswer(Answer, flag))
    throw py::type_error("on_selection must return an individual or an index, not " + TypeName(Answer));
  const py::ssize_t n = Population.Count();
  py::ssize_t i = Answer.cast<py::ssize_t>();
  if (i < 0) i += n;
  if (i < 0 || i >= n)
    throw py::index_error("on_selection picked index " + std::string(py::str(Answer)) + " of a population of " +
                          std::to_string(n));
  return Population.Items(static_cast<int>(i));
}

// on_selection: called with the parents' generation for each parent; assigning a
// callable makes the selection method CUSTOM, None makes it ROULETTE.
template <class S>
void InstallSelection(S& Self, const py::object& Callable) {
  if (!StoreHandler(Self, Callable, &PyComponent::OnSelection, "on_selection"))
    return Self.Comp().SetOnSelection(nullptr);
  S* self = &Self;
  Self.Comp().SetOnSelection([self](TObject*, TMXPopulation* Population, TMXIndividual*& Parent) {
    py::gil_scoped_acquire gil;
    const TWhere where = Population == self->Comp().PreviousGeneration() ? TWhere::Parents : TWhere::Current;
    Parent = SelectedParent<S>(self->OnSelection(TPopView<S>{self->shared_from_this(), where}), *Population);
  });
}

// on_mutation and on_inversion: called with the child about to change; False vetoes.
template <class S>
void InstallVeto(S& Self, const py::object& Callable, py::object PyComponent::*Slot,
                 void (TMXCustomGeneticComponent::*Set)(TMXMutationEvent), const char* Name) {
  if (!StoreHandler(Self, Callable, Slot, Name)) return (Self.Comp().*Set)(nullptr);
  S* self = &Self;
  (Self.Comp().*Set)([self, Slot, Name](TObject*, TMXIndividual* Item, bool& Proceed) {
    py::gil_scoped_acquire gil;
    VetoAnswer((self->*Slot)(ViewOf(*self, Item)), Proceed, Name);
  });
}

// on_reproduction: called with each child once it is bred and whether an operation
// changed it; a bool answer replaces that result (which Reproduce returns).
template <class S>
void InstallReproduction(S& Self, const py::object& Callable) {
  if (!StoreHandler(Self, Callable, &PyComponent::OnReproduction, "on_reproduction"))
    return Self.Comp().SetOnReproduction(nullptr);
  S* self = &Self;
  Self.Comp().SetOnReproduction([self](TObject*, TMXIndividual* Item, bool& Changed) {
    py::gil_scoped_acquire gil;
    VetoAnswer(self->OnReproduction(ViewOf(*self, Item), Changed), Changed, "on_reproduction");
  });
}

// on_initialize_child: called with both parents and the child just copied from parent1,
// before any operation; it may change the child (its answer is ignored).
template <class S>
void InstallInitializeChild(S& Self, const py::object& Callable) {
  if (!StoreHandler(Self, Callable, &PyComponent::OnInitializeChild, "on_initialize_child"))
    return Self.Comp().SetOnInitializeChild(nullptr);
  S* self = &Self;
  Self.Comp().SetOnInitializeChild([self](TObject*, TMXIndividual* Parent1, TMXIndividual* Parent2,
                                          TMXIndividual* Child) {
    py::gil_scoped_acquire gil;
    self->OnInitializeChild(ViewOf(*self, Parent1), ViewOf(*self, Parent2), ViewOf(*self, Child));
  });
}

// on_initialization: called by initialize once the population is filled; answering True
// says the handler built the genomes itself (None or False: the component builds them).
template <class S>
void InstallInitialization(S& Self, const py::object& Callable) {
  if (!StoreHandler(Self, Callable, &PyComponent::OnInitialization, "on_initialization"))
    return Self.Comp().SetOnInitialization(nullptr);
  S* self = &Self;
  Self.Comp().SetOnInitialization([self](TObject*, bool& Built) {
    py::gil_scoped_acquire gil;
    VetoAnswer(self->OnInitialization(), Built, "on_initialization");
  });
}

}  // namespace

// The objective values a fitness callable answered: a sequence or array of exactly as many
// numbers as there are objectives (NaN allowed: the individual is then unfit).
void ObjectivesAnswer(const py::object& Answer, std::span<double> Objectives) {
  const auto values = py::array_t<double, py::array::forcecast>::ensure(Answer);
  if (!values || py::isinstance<py::str>(Answer) || values.ndim() > 1 ||
      static_cast<std::size_t>(values.size()) != Objectives.size())
    throw py::type_error("the fitness callback must return " + std::to_string(Objectives.size()) +
                         " numbers, one per objective, not " + TypeName(Answer));
  for (std::size_t k = 0; k < Objectives.size(); ++k) Objectives[k] = values.data()[k];
}

namespace {

std::string ShapeText(const py::array& Array) {
  std::string text = "(";
  for (py::ssize_t k = 0; k < Array.ndim(); ++k) text += (k ? ", " : "") + std::to_string(Array.shape(k));
  return text + (Array.ndim() == 1 ? ",)" : ")");
}

// Calls the batch fitness with the genes of Items and returns its answer, checked before
// anything is stored: Items.size() rows of max(1, objective count) values.
std::vector<double> BatchAnswer(PyGA& Self, std::span<TMXIndividual* const> Items) {
  const int objectives = Self.GA.ObjectiveCount();
  const auto n = static_cast<py::ssize_t>(Items.size());
  const py::object answer = Self.BatchFitness(GeneRows(Self.GA, Items));
  const py::array array = py::array::ensure(answer);
  if (!array || !std::strchr("biuf", array.dtype().kind()))
    throw py::type_error("batch_fitness must return an array of numbers, not " + TypeName(answer));
  const bool fits = objectives == 0 ? array.ndim() == 1 && array.shape(0) == n
                                    : array.ndim() == 2 && array.shape(0) == n && array.shape(1) == objectives;
  if (!fits)
    throw py::value_error("batch_fitness must return an array of shape " +
                          (objectives == 0 ? "(" + std::to_string(n) + ",)"
                                           : "(" + std::to_string(n) + ", " + std::to_string(objectives) + ")") +
                          ", one row per individual, not " + ShapeText(array));
  const auto values = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(array);
  return std::vector<double>(values.data(), values.data() + values.size());
}

// Stores row I of Values on Item: its fitness, or its objectives with the first as the
// fitness (a NaN makes the individual unfit).
void StoreBatchRow(TMXIndividual* Item, const std::vector<double>& Values, std::size_t I, int Objectives) {
  if (Objectives == 0) return Item->SetFitness(Values[I]);
  const auto width = static_cast<std::size_t>(Objectives);
  Item->SetObjectives(std::span<const double>(Values.data() + I * width, width));
  Item->SetFitness(Values[I * width]);
}

// The batch fitness as the population handler, and for individuals read alone as the
// per-individual handler that suits the objective count.
void ApplyBatchFitness(PyGA& Self) {
  PyGA* self = &Self;
  Self.GA.SetOnEvaluatePopulation([self](TObject*, std::span<TMXIndividual* const> Items) {
    py::gil_scoped_acquire gil;
    const std::vector<double> values = BatchAnswer(*self, Items);
    const int objectives = self->GA.ObjectiveCount();
    for (std::size_t i = 0; i < Items.size(); ++i) StoreBatchRow(Items[i], values, i, objectives);
  });
  if (Self.GA.ObjectiveCount() == 0) {
    Self.GA.SetOnEvaluateObjectives(nullptr);
    Self.GA.SetOnEvaluateFitness([self](TObject*, TMXIndividual* Item, TGAFitness& Fitness) {
      py::gil_scoped_acquire gil;
      TMXIndividual* const one[] = {Item};
      Fitness = BatchAnswer(*self, one)[0];
    });
    return;
  }
  Self.GA.SetOnEvaluateFitness(nullptr);
  Self.GA.SetOnEvaluateObjectives([self](TObject*, TMXIndividual* Item, std::span<double> Objectives) {
    py::gil_scoped_acquire gil;
    TMXIndividual* const one[] = {Item};
    const std::vector<double> values = BatchAnswer(*self, one);
    std::copy(values.begin(), values.end(), Objectives.begin());
  });
}

}  // namespace

template <class S>
void InstallFitness(S& Self, const py::object& Callable) {
  const bool batch = !Self.BatchFitness.is_none();
  if (!StoreHandler(Self, Callable, &PyComponent::Fitness, "fitness")) {
    if (batch) return;  // None removes no batch fitness
    Self.Comp().SetOnEvaluateFitness(nullptr);
    Self.Comp().SetOnEvaluateObjectives(nullptr);
    return;
  }
  if (batch) {
    Self.BatchFitness = py::none();
    Self.Comp().SetOnEvaluatePopulation(nullptr);
  }
  ApplyFitness(Self);
}

void InstallBatchFitness(PyGA& Self, const py::object& Callable) {
  const bool batch = !Self.BatchFitness.is_none();
  if (!StoreHandler(Self, Callable, &PyComponent::BatchFitness, "batch_fitness")) {
    if (!batch) return;  // None removes no per-individual fitness
    Self.GA.SetOnEvaluatePopulation(nullptr);
    Self.GA.SetOnEvaluateFitness(nullptr);
    Self.GA.SetOnEvaluateObjectives(nullptr);
    return;
  }
  Self.Fitness = py::none();
  ApplyBatchFitness(Self);
}

template <class S>
void ApplyFitness(S& Self) {
  if constexpr (std::is_same_v<S, PyGA>)
    if (!Self.BatchFitness.is_none()) return ApplyBatchFitness(Self);
  if (Self.Fitness.is_none()) return;
  S* self = &Self;
  if (Self.Comp().ObjectiveCount() == 0) {
    Self.Comp().SetOnEvaluateObjectives(nullptr);
    InstallFitnessEvent(Self, Self.Fitness, &PyComponent::Fitness, &TMXCustomGeneticComponent::SetOnEvaluateFitness,
                        "fitness", "the fitness callback");
    return;
  }
  // Several objectives: the callable's answer fills them, and the first is the fitness.
  Self.Comp().SetOnEvaluateFitness(nullptr);
  Self.Comp().SetOnEvaluateObjectives([self](TObject*, TMXIndividual* Item, std::span<double> Objectives) {
    py::gil_scoped_acquire gil;
    ObjectivesAnswer(self->Fitness(ViewOf(*self, Item)), Objectives);
  });
}

// The GA's on_crossover: called with both parents, the child (still a copy of its first
// parent) and the number of leading bits it is to take from parent1. It answers None
// (go ahead as called), a bool (False: no crossover into this child) or another point
// in 0 .. gene_size.
void InstallGACrossover(PyGA& Self, const py::object& Callable) {
  if (!StoreHandler(Self, Callable, &PyComponent::OnCrossover, "on_crossover")) return Self.GA.SetOnCrossover(nullptr);
  PyGA* self = &Self;
  Self.GA.SetOnCrossover([self](TObject*, TMXGAIndividual* Parent1, TMXGAIndividual* Parent2, TMXGAIndividual* Child,
                                std::int32_t& CrossoverBit, bool& Proceed) {
    py::gil_scoped_acquire gil;
    py::object answer = self->OnCrossover(ViewOf(*self, Parent1), ViewOf(*self, Parent2), ViewOf(*self, Child),
                                          CrossoverBit);
    if (answer.is_none() || BoolAnswer(answer, Proceed)) return;
    if (!PyIndex_Check(answer.ptr()))
      throw py::type_error("on_crossover must return a crossover point, a bool or None, not " + TypeName(answer));
    const long long point = answer.cast<long long>();
    if (point < 0 || point > Child->Bits()->Size())
      throw py::value_error("on_crossover's point " + std::to_string(point) + " is outside 0.." +
                            std::to_string(Child->Bits()->Size()));
    CrossoverBit = static_cast<std::int32_t>(point);
    Proceed = true;
  });
}

// The GP component's on_crossover: both parents and the first child; False vetoes.
void InstallGPCrossover(PyGP& Self, const py::object& Callable) {
  if (!StoreHandler(Self, Callable, &PyComponent::OnCrossover, "on_crossover")) return Self.GP.SetOnCrossover(nullptr);
  PyGP* self = &Self;
  Self.GP.SetOnCrossover([self](TObject*, TMXIndividual* Parent1, TMXIndividual* Parent2, TMXIndividual* Child,
                                bool& Proceed) {
    py::gil_scoped_acquire gil;
    VetoAnswer(self->OnCrossover(ViewOf(*self, Parent1), ViewOf(*self, Parent2), ViewOf(*self, Child)), Proceed,
               "on_crossover");
  });
}

// The GP component's on_constant_mutation: called with the value of the constant that a
// constant mutation picked; a number answered becomes its new value, None keeps it.
void InstallConstantMutation(PyGP& Self, const py::object& Callable) {
  if (!StoreHandler(Self, Callable, &PyComponent::OnConstantMutation, "on_constant_mutation"))
    return Self.GP.SetOnConstantMutation(nullptr);
  PyGP* self = &Self;
  Self.GP.SetOnConstantMutation([self](TObject*, TMXGPNode<double>* Node) {
    py::gil_scoped_acquire gil;
    const py::object answer = self->OnConstantMutation(Node->Value());
    if (!answer.is_none()) Node->SetValue(NumberAnswer(answer, "on_constant_mutation", " or None"));
  });
}

template <class S>
py::custom_type_setup CollectedCallables() {
  return py::custom_type_setup([](PyHeapTypeObject* HeapType) {
    PyTypeObject* type = &HeapType->ht_type;
    type->tp_flags |= Py_TPFLAGS_HAVE_GC;
    type->tp_traverse = [](PyObject* Self, visitproc visit, void* arg) {
      Py_VISIT(Py_TYPE(Self));  // a heap type is referred to by its instances
      // An instance being built or torn down may hold no state yet.
      auto* instance = reinterpret_cast<py::detail::instance*>(Self);
      if (!instance->get_value_and_holder().holder_constructed()) return 0;
      const PyComponent& self = py::cast<const S&>(py::handle(Self));
      for (py::object PyComponent::*slot : kCallableSlots) Py_VISIT((self.*slot).ptr());
      return 0;
    };
    type->tp_clear = [](PyObject* Self) {
      auto* instance = reinterpret_cast<py::detail::instance*>(Self);
      if (!instance->get_value_and_holder().holder_constructed()) return 0;
      PyComponent& self = py::cast<S&>(py::handle(Self));
      // The handlers that call these go first, so that nothing calls a cleared slot.
      self.Comp().SetOnEvolve(nullptr);
      self.Comp().SetOnEvaluateWeightedFitness(nullptr);
      self.Comp().SetOnMutation(nullptr), self.Comp().SetOnInversion(nullptr);
      self.Comp().SetOnReproduction(nullptr), self.Comp().SetOnInitializeChild(nullptr);
      self.Comp().SetOnInitialization(nullptr);
      if (!self.Fitness.is_none()) self.Comp().SetOnEvaluateFitness(nullptr);
      if (!self.OnSelection.is_none()) self.Comp().SetOnSelection(nullptr);
      ClearOwnHandlers(static_cast<S&>(self));
      for (py::object PyComponent::*slot : kCallableSlots) self.*slot = py::none();
      return 0;
    };
  });
}


template <class S>
void BindEvents(py::class_<S, std::shared_ptr<S>>& Cls) {
  Cls.def_property(
      "weighted_fitness", [](S& s) { return s.WeightedFitness; },
      [](S& s, const py::object& v) {
        InstallFitnessEvent(s, v, &PyComponent::WeightedFitness, &TMXCustomGeneticComponent::SetOnEvaluateWeightedFitness,
                            "weighted_fitness", "the weighted_fitness callback");
      },
      "The weighted fitness that the WEIGHTED_MINIMIZE and WEIGHTED_MAXIMIZE fitness methods compare: called "
      "with an individual (whose fitness is known) each time it is needed, and not cached. None makes it the "
      "fitness.");
  Cls.def_property(
      "on_evolve", [](S& s) { return s.OnEvolve; },
      [](S& s, py::object v) {
        CheckCallable(v, "on_evolve");
        const TBusy busy(s);  // not even from on_evolve, which would replace itself
        if (v.is_none()) {
          s.Comp().SetOnEvolve(nullptr);
        } else {
          S* self = &s;
          s.Comp().SetOnEvolve([self](TObject*) {
            py::gil_scoped_acquire gil;
            self->BetweenGenerations = true;
            const TScopeExit done([self] { self->BetweenGenerations = false; });
            self->OnEvolve();
          });
        }
        s.OnEvolve = v;
      },
      "Called with no arguments after each generation.");
  Cls.def_property(
      "on_selection", [](S& s) { return s.Comp().IsCustomSelection() ? s.OnSelection : py::none(); },
      [](S& s, const py::object& v) { InstallSelection(s, v); },
      "Picks each parent: called with the parents' generation, returns one of its individuals or an index. "
      "Setting it makes selection_method CUSTOM; None makes it ROULETTE.");
  Cls.def_property(
      "on_mutation", [](S& s) { return s.OnMutation; },
      [](S& s, const py::object& v) {
        InstallVeto(s, v, &PyComponent::OnMutation, &TMXCustomGeneticComponent::SetOnMutation, "on_mutation");
      },
      "Called with each child about to be mutated; returning False vetoes the mutation (None or True lets it run).");
  Cls.def_property(
      "on_inversion", [](S& s) { return s.OnInversion; },
      [](S& s, const py::object& v) {
        InstallVeto(s, v, &PyComponent::OnInversion, &TMXCustomGeneticComponent::SetOnInversion, "on_inversion");
      },
      "Called with each child about to be inverted; returning False vetoes the inversion.");
  Cls.def_property(
      "on_reproduction", [](S& s) { return s.OnReproduction; },
      [](S& s, const py::object& v) { InstallReproduction(s, v); },
      "Called with each child once bred and whether an operation changed it; a bool answer replaces that result.");
  Cls.def_property(
      "on_initialize_child", [](S& s) { return s.OnInitializeChild; },
      [](S& s, const py::object& v) { InstallInitializeChild(s, v); },
      "Called with both parents and the child just copied from parent1, before any operation; it may change "
      "the child.");
  Cls.def_property(
      "on_initialization", [](S& s) { return s.OnInitialization; },
      [](S& s, const py::object& v) { InstallInitialization(s, v); },
      "Called by initialize once the population is filled; returning True says it built the genomes itself.");
}

template py::custom_type_setup CollectedCallables<PyGA>();
template py::custom_type_setup CollectedCallables<PyGP>();
template void BindEvents(py::class_<PyGA, std::shared_ptr<PyGA>>&);
template void BindEvents(py::class_<PyGP, std::shared_ptr<PyGP>>&);
template void InstallFitness(PyGA&, const py::object&);
template void InstallFitness(PyGP&, const py::object&);
template void ApplyFitness(PyGA&);
template void ApplyFitness(PyGP&);

}  // namespace evokit::python
