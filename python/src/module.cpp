// The Python module evokit._evokit: the GA and float GP components with their properties,
// enumerations as Python IntEnums, Python callables as fitness and events (with views of
// individuals and programs), chromosomes as numpy arrays, and the symbolic-regression
// engine the Python SymbolicRegressor (evokit/regressor.py) drives.
//
// The GIL: every call into the library that breeds, evaluates or loads releases it;
// Python callbacks take it back for the length of the call. A callback that raises
// throws pybind11's error_already_set through the library, which unwinds the generation
// as any handler error does, and the original Python exception reaches the caller.
#include <pybind11/functional.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <map>
#include <stdexcept>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include <evokit/evokit.h>

namespace py = pybind11;
using namespace evokit;

namespace {

// --- Exceptions --------------------------------------------------------------------

// The Python class of each library exception class, by its ClassName.
std::map<std::string, py::object>& ExceptionClasses() {
  static auto* classes = new std::map<std::string, py::object>();  // lives as long as the interpreter
  return *classes;
}

void RegisterExceptions(py::module_& m) {
  struct TDecl {
    const char* Name;
    const char* Base;
    const char* Builtin;  // a second, built-in base: lets plain `except ValueError` work
  };
  static const TDecl decls[] = {
      {"Exception", nullptr, nullptr},
      {"EListError", "Exception", "IndexError"},
      {"EArgumentOutOfRangeException", "Exception", "ValueError"},
      {"EConvertError", "Exception", "ValueError"},
      {"EInvalidCast", "Exception", "TypeError"},
      {"EVariantTypeCastError", "Exception", "TypeError"},
      {"EStreamError", "Exception", "OSError"},
      {"EFOpenError", "EStreamError", nullptr},
      {"EFCreateError", "EStreamError", nullptr},
      {"EReadError", "EStreamError", nullptr},
      {"EXMLDocError", "Exception", "ValueError"},
      {"EComponentError", "Exception", nullptr},
      {"EDataTableError", "Exception", "ValueError"},
      {"EMXException", "Exception", nullptr},
      {"EGAException", "EMXException", nullptr},
      {"EGPException", "EGAException", nullptr},
  };
  py::module_ builtins = py::module_::import("builtins");
  for (const TDecl& d : decls) {
    // The base class is called Error in Python so that it does not hide the built-in.
    const std::string pyName = std::string(d.Name) == "Exception" ? "Error" : d.Name;
    py::list bases;
    bases.append(d.Base ? ExceptionClasses().at(d.Base) : builtins.attr("Exception"));
    if (d.Builtin) bases.append(builtins.attr(d.Builtin));
    const std::string qualified = "evokit." + pyName;
    py::object cls = py::reinterpret_steal<py::object>(
        PyErr_NewException(qualified.c_str(), py::tuple(bases).ptr(), nullptr));
    if (!cls) throw py::error_already_set();
    m.attr(pyName.c_str()) = cls;
    ExceptionClasses()[d.Name] = cls;
  }
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const evokit::Exception& e) {
      auto& classes = ExceptionClasses();
      auto it = classes.find(e.ClassName());
      PyErr_SetString((it != classes.end() ? it->second : classes.at("Exception")).ptr(), e.what());
    }
  });
}

// --- Enumerations ------------------------------------------------------------------

// "smStochasticTournament" -> "STOCHASTIC_TOURNAMENT": the lower-case prefix dropped,
// the words joined by underscores.
std::string PythonMemberName(std::string_view Name) {
  std::size_t i = 0;
  while (i < Name.size() && std::islower(static_cast<unsigned char>(Name[i]))) ++i;
  std::string out;
  for (std::size_t j = i; j < Name.size(); ++j) {
    const char c = Name[j];
    if (std::isupper(static_cast<unsigned char>(c)) && j > i) out += '_';
    out += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return out;
}

std::map<std::string, py::object>& EnumClasses() {
  static auto* classes = new std::map<std::string, py::object>();
  return *classes;
}

// An IntEnum named PyName whose members are E's values, under the library's names
// turned into Python style.
template <class E>
void AddEnum(py::module_& m, const char* PyName) {
  py::list members;
  for (int i = 0; i < static_cast<int>(TEnumInfo<E>::Names.size()); ++i)
    members.append(py::make_tuple(PythonMemberName(TEnumInfo<E>::Names[i]), i));
  py::object cls = py::module_::import("enum").attr("IntEnum")(PyName, members, py::arg("module") = "evokit");
  m.attr(PyName) = cls;
  EnumClasses()[PyName] = cls;
}

template <class E>
py::object ToPy(E Value, const char* PyName) {
  return EnumClasses().at(PyName)(static_cast<int>(Value));
}

// A member of the IntEnum PyName (TypeError for anything else, a plain int included).
template <class E>
E FromPy(const py::object& Value, const char* PyName) {
  if (!py::isinstance(Value, EnumClasses().at(PyName)))
    throw py::type_error(std::string("expected evokit.") + PyName + ", got " +
                         std::string(py::str(Value.get_type().attr("__name__"))));
  return static_cast<E>(Value.cast<int>());
}

// A property holding an enumeration of the object Owner(state) reaches: read as a member
// of the IntEnum PyName, written from one (anything else raises TypeError).
template <class S, class Owner, class E, class Getter, class Setter>
void EnumProperty(py::class_<S, std::shared_ptr<S>>& Cls, const char* Name, const char* PyName, Owner Of,
                  E (Getter::*Get)() const, void (Setter::*Set)(E)) {
  Cls.def_property(
      Name, [=](S& s) { return ToPy((Of(s).*Get)(), PyName); },
      [=](S& s, const py::object& v) { (Of(s).*Set)(FromPy<E>(v, PyName)); });
}

// --- Helpers -----------------------------------------------------------------------

// A finite float from Python (TypeError for a non-number, ValueError for NaN/inf).
double FiniteArg(const py::handle& Value, const char* What) {
  if (!PyFloat_Check(Value.ptr()) && !PyLong_Check(Value.ptr()) && !PyNumber_Check(Value.ptr()))
    throw py::type_error(std::string(What) + " must be a number");
  const double v = py::float_(py::reinterpret_borrow<py::object>(Value)).cast<double>();
  if (!std::isfinite(v)) throw py::value_error(std::string(What) + " must be finite");
  return v;
}

// The bits of a chromosome as a uint8 array of 0 and 1.
py::array_t<std::uint8_t> BitsToArray(const TMXEncodedBits& Bits) {
  const std::string text = Bits.ToBitString();
  py::array_t<std::uint8_t> out(static_cast<py::ssize_t>(text.size()));
  std::uint8_t* p = out.mutable_data();
  for (std::size_t i = 0; i < text.size(); ++i) p[i] = static_cast<std::uint8_t>(text[i] - '0');
  return out;
}

// Writes a one-dimensional array of 0/1 (or booleans) of exactly Size items into Bits.
void ArrayToBits(const py::handle& Value, TMXEncodedBits& Bits, int Size) {
  py::array arr = py::array::ensure(Value);
  if (!arr) throw py::type_error("bits must be an array-like of 0 and 1");
  if (arr.dtype().kind() != 'b' && arr.dtype().kind() != 'i' && arr.dtype().kind() != 'u')
    throw py::type_error("bits must hold booleans or integers, not dtype " + std::string(py::str(arr.dtype())));
  if (arr.ndim() != 1 || arr.shape(0) != Size)
    throw py::value_error("bits must be a one-dimensional array of " + std::to_string(Size) + " items");
  auto values = py::array_t<std::int64_t, py::array::forcecast>::ensure(arr);
  const std::int64_t* p = values.data();
  std::string text(static_cast<std::size_t>(Size), '0');
  for (int i = 0; i < Size; ++i) {
    if (p[i] != 0 && p[i] != 1) throw py::value_error("bits must be 0 or 1, item " + std::to_string(i) + " is " +
                                                      std::to_string(p[i]));
    text[static_cast<std::size_t>(i)] = p[i] ? '1' : '0';
  }
  Bits.SetAsBitString(0, Size, text);
}

// --- The GA component --------------------------------------------------------------

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
  // True while a call runs the component (evolving, loading, saving). A callback, or
  // another Python thread, that tries to restructure it meanwhile gets RuntimeError
  // instead of pulling the population from under the running generation.
  bool Busy = false;
  // True while on_evolve runs: the generation is complete, so the other handlers may be
  // replaced there.
  bool BetweenGenerations = false;
};

// Every Python callable a component keeps.
constexpr py::object PyComponent::*kCallableSlots[] = {
    &PyComponent::Fitness,        &PyComponent::OnEvolve,          &PyComponent::OnSelection,
    &PyComponent::OnCrossover,    &PyComponent::OnMutation,        &PyComponent::OnInversion,
    &PyComponent::OnReproduction, &PyComponent::OnInitializeChild, &PyComponent::OnInitialization,
    &PyComponent::WeightedFitness, &PyComponent::OnConstantMutation};

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

// The events only one component class has (cleared with the callables behind them).
void ClearOwnHandlers(PyGA& Self) { Self.GA.SetOnCrossover(nullptr); }
void ClearOwnHandlers(PyGP& Self) {
  Self.GP.SetOnCrossover(nullptr);
  Self.GP.SetOnConstantMutation(nullptr);
}

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
void CheckHandlerChange(const PyComponent& Self) {
  if (Self.Busy && !Self.BetweenGenerations)
    throw std::runtime_error("the component is busy: its event handlers cannot be changed while it breeds");
}

// Which generation a view reads: the current one, the parents' (PreviousGeneration,
// which the events of a running generation see) or the component's fittest individual.
enum class TWhere { Current, Parents, Fittest };

TMXPopulation* PopulationAt(TMXCustomGeneticComponent& Comp, TWhere Where) {
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

TMXGAGene* FindGene(const TMXGeneticAlgorithm& GA, const py::object& Key) {
  TMXGAGenes* genes = GA.Genes();
  if (py::isinstance<py::str>(Key)) {
    const std::string name = Key.cast<std::string>();
    for (int i = 0; i < genes->Count(); ++i)
      if (genes->Items(i)->Name() == name) return genes->Items(i);
    throw py::key_error("no gene named \"" + name + "\"");
  }
  if (!py::isinstance<py::int_>(Key)) throw py::type_error("a gene is named by its name or index");
  const int i = Key.cast<int>();
  if (i < 0 || i >= genes->Count()) throw py::index_error("gene index out of range");
  return genes->Items(i);
}

py::object GeneValue(TMXGAGene* Gene, TMXGABits& Bits) {
  switch (Gene->GeneType()) {
    case gtBoolean: return py::bool_(Gene->GeneAsBoolean(Bits));
    case gtInteger: return py::int_(Gene->GeneAsInt64(Bits));
    case gtFloat: return py::float_(Gene->GeneAsDouble(Bits));
    case gtEnumeration: return py::str(Gene->GeneAsEnumeration(Bits));
    default: return py::int_(Gene->GeneAsInt64(Bits));
  }
}

void SetGeneValue(TMXGAGene* Gene, TMXGABits& Bits, const py::object& Value) {
  switch (Gene->GeneType()) {
    case gtBoolean: Gene->SetGeneAsBoolean(Bits, Value.cast<bool>()); break;
    case gtFloat: Gene->SetGeneAsDouble(Bits, FiniteArg(Value, "a float gene's value")); break;
    case gtEnumeration: Gene->SetGeneAsEnumeration(Bits, Value.cast<std::string>()); break;
    default: Gene->SetGeneAsInt64(Bits, Value.cast<std::int64_t>()); break;
  }
}

// A gene's value as a number: booleans 0 or 1, enumerations their index.
double GeneNumber(TMXGAGene* Gene, TMXGABits& Bits) {
  switch (Gene->GeneType()) {
    case gtBoolean: return Gene->GeneAsBoolean(Bits) ? 1 : 0;
    case gtFloat: return Gene->GeneAsDouble(Bits);
    case gtEnumeration: return Gene->Enumerations()->IndexOf(Gene->GeneAsEnumeration(Bits));
    default: return static_cast<double>(Gene->GeneAsInt64(Bits));
  }
}

// Writes Value (one number per gene, as GeneNumber reads them) into Bits. Every value is
// checked before the first is written: a bad one changes nothing.
void SetGeneNumbers(TMXGAGenes& Genes, TMXGABits& Bits, const py::handle& Value) {
  py::array arr = py::array::ensure(Value);
  if (!arr || !std::strchr("biuf", arr.dtype().kind()))
    throw py::type_error("genes must be an array-like of numbers");
  const int n = Genes.Count();
  if (arr.ndim() != 1 || arr.shape(0) != n)
    throw py::value_error("genes must be a one-dimensional array of " + std::to_string(n) + " values");
  const auto values = py::array_t<double, py::array::forcecast>::ensure(arr);
  const double* v = values.data();
  for (int i = 0; i < n; ++i) {
    TMXGAGene* gene = Genes.Items(i);
    const std::string what = "gene " + std::to_string(i) + " (" + gene->Name() + ")";
    if (!std::isfinite(v[i])) throw py::value_error(what + " must be finite");
    if (gene->GeneType() == gtFloat) continue;
    if (v[i] != std::nearbyint(v[i]) || std::fabs(v[i]) > 9.0e15)
      throw py::value_error(what + " takes a whole number, not " + FloatToStr(v[i]));
    if (gene->GeneType() == gtEnumeration && (v[i] < 0 || v[i] >= gene->Enumerations()->Count()))
      throw py::value_error(what + " takes the index of one of its " + std::to_string(gene->Enumerations()->Count()) +
                            " values, not " + FloatToStr(v[i]));
  }
  for (int i = 0; i < n; ++i) {
    TMXGAGene* gene = Genes.Items(i);
    switch (gene->GeneType()) {
      case gtBoolean: gene->SetGeneAsBoolean(Bits, v[i] != 0); break;
      case gtFloat: gene->SetGeneAsDouble(Bits, v[i]); break;
      case gtEnumeration: gene->SetGeneAsEnumeration(Bits, gene->Enumerations()->Strings(static_cast<int>(v[i]))); break;
      default: gene->SetGeneAsInt64(Bits, static_cast<std::int64_t>(v[i])); break;
    }
  }
}

// --- Events ------------------------------------------------------------------------
// Each event runs its Python callable under the GIL, taken for the call only: under
// parallel_evolve the breeding threads take turns in Python while the C++ work between
// the calls runs in parallel. A callable that raises throws error_already_set through
// the library, which ends the generation as any handler error does; an answer of the
// wrong type raises TypeError the same way. Handlers cannot be changed while the
// component breeds (CheckHandlerChange).

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

template <class S>
void InstallFitness(S& Self, const py::object& Callable) {
  InstallFitnessEvent(Self, Callable, &PyComponent::Fitness, &TMXCustomGeneticComponent::SetOnEvaluateFitness, "fitness",
                      "the fitness callback");
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

// Makes the Python class of state S take part in garbage collection: its callables are
// visited, and cleared when a cycle is broken. A callable that refers to its own
// component (on_evolve = lambda: print(ga.generation)) would otherwise keep both alive
// for good.
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

// The properties and calls every component shares, on the Python class Cls of state S.
template <class S>
void BindComponent(py::class_<S, std::shared_ptr<S>>& Cls) {
  Cls.def(py::init([](py::kwargs kw) {
    auto self = std::make_shared<S>();
    py::object obj = py::cast(self);
    for (auto [k, v] : kw) py::setattr(obj, k, v);  // properties given as keyword arguments
    return self;
  }));
#define EVOKIT_PROP(name, Getter, Setter)                                                          \
  Cls.def_property(name, [](S& s) { return s.Comp().Getter(); },                                   \
                   [](S& s, decltype(std::declval<S&>().Comp().Getter()) v) { s.Comp().Setter(v); })
#define EVOKIT_FLOAT_PROP(name, Getter, Setter)                   \
  Cls.def_property(name, [](S& s) { return s.Comp().Getter(); }, \
                   [](S& s, const py::object& v) { s.Comp().Setter(FiniteArg(v, name)); })
  EVOKIT_FLOAT_PROP("crossover_probability", CrossoverProbability, SetCrossoverProbability);
  EVOKIT_FLOAT_PROP("mutation_probability", MutationProbability, SetMutationProbability);
  EVOKIT_FLOAT_PROP("inversion_probability", InversionProbability, SetInversionProbability);
  EVOKIT_FLOAT_PROP("diversity_limit", DiversityLimit, SetDiversityLimit);
  EVOKIT_FLOAT_PROP("elitist_pct", ElitistPct, SetElitistPct);
  EVOKIT_FLOAT_PROP("fitness_cutoff", FitnessCutoff, SetFitnessCutoff);
  EVOKIT_PROP("initial_population", InitialPopulation, SetInitialPopulation);
  EVOKIT_PROP("initial_duplicates_retries", InitialDuplicatesRetries, SetInitialDuplicatesRetries);
  EVOKIT_PROP("generation_limit", GenerationLimit, SetGenerationLimit);
  EVOKIT_PROP("tournament_field", TournamentField, SetTournamentField);
  EVOKIT_PROP("generation", Generation, SetGeneration);
  EVOKIT_PROP("use_fitness_cutoff", UseFitnessCutoff, SetUseFitnessCutoff);
  EVOKIT_PROP("use_diversity_limit", UseDiversityLimit, SetUseDiversityLimit);
  EVOKIT_PROP("use_generation_limit", UseGenerationLimit, SetUseGenerationLimit);
  EVOKIT_PROP("halt", Halt, SetHalt);
#undef EVOKIT_PROP
#undef EVOKIT_FLOAT_PROP
  EnumProperty(Cls, "fitness_method", "FitnessMethod", [](S& s) -> auto& { return s.Comp(); },
               &TMXCustomGeneticComponent::FitnessMethod, &TMXCustomGeneticComponent::SetFitnessMethod);
  Cls.def_property(
      "selection_method", [](S& s) { return ToPy(s.Comp().SelectionMethod(), "SelectionMethod"); },
      [](S& s, const py::object& v) {
        const auto method = FromPy<TGASelectionMethod>(v, "SelectionMethod");
        CheckHandlerChange(s);
        s.Comp().SetSelectionMethod(method);  // another method replaces the selection handler
        if (!s.Comp().IsCustomSelection()) s.OnSelection = py::none();
      },
      "The parent selection scheme; CUSTOM selects with on_selection (evolving without one raises).");
  Cls.def_property(
      "operations",
      [](S& s) {
        py::set out;
        for (int i = goCrossover; i <= goInvert; ++i)
          if (s.Comp().Operations().Contains(static_cast<TGAGeneticOperation>(i)))
            out.add(ToPy(static_cast<TGAGeneticOperation>(i), "GeneticOperation"));
        return out;
      },
      [](S& s, const py::iterable& v) {
        TGAGeneticOperations ops;
        for (py::handle h : v) ops.Include(FromPy<TGAGeneticOperation>(py::reinterpret_borrow<py::object>(h),
                                                                         "GeneticOperation"));
        s.Comp().SetOperations(ops);
      },
      "The set of GeneticOperation members applied to each child.");
  Cls.def_property_readonly("initialized", [](S& s) { return s.Comp().Initialized(); });
  Cls.def_property_readonly("max_fitness", [](S& s) { return s.Comp().MaxFitness(); });
  Cls.def_property_readonly("min_fitness", [](S& s) { return s.Comp().MinFitness(); });
  Cls.def_property_readonly("avg_fitness", [](S& s) { return s.Comp().AvgFitness(); });
  Cls.def_property_readonly("diversity", [](S& s) { return s.Comp().Diversity(); });
  Cls.def_property_readonly("max_weighted_fitness", [](S& s) { return s.Comp().MaxWeightedFitness(); });
  Cls.def_property_readonly("min_weighted_fitness", [](S& s) { return s.Comp().MinWeightedFitness(); });
  Cls.def_property_readonly("avg_weighted_fitness", [](S& s) { return s.Comp().AvgWeightedFitness(); });
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
  auto checkEvolve = [](int generations) {
    if (generations < 0) throw py::value_error("generations must not be negative");
  };
  Cls.def("initialize", [](S& s) {
    const TBusy busy(s);
    py::gil_scoped_release nogil;
    s.Comp().Initialize();
  });
  Cls.def("evolve", [checkEvolve](S& s, int generations) {
    checkEvolve(generations);
    const TBusy busy(s);
    py::gil_scoped_release nogil;
    return s.Comp().Evolve(generations);
  }, py::arg("generations") = 1, "Breeds up to `generations` generations; returns how many ran.");
  Cls.def("parallel_evolve", [checkEvolve](S& s, int generations) {
    checkEvolve(generations);
    const TBusy busy(s);
    py::gil_scoped_release nogil;
    return s.Comp().ParallelEvolve(generations);
  }, py::arg("generations") = 1, "As evolve, breeding and evaluating on the thread pool.");
  Cls.def("is_finished", [](S& s) { return s.Comp().IsFinished(); });
  Cls.def("save_to_file", [](S& s, const std::string& path) {
    const TBusy busy(s);
    py::gil_scoped_release nogil;
    s.Comp().SaveToFile(path);
  }, py::arg("path"));
  Cls.def("load_from_file", [](S& s, const std::string& path) {
    const TBusy busy(s);
    py::gil_scoped_release nogil;
    s.Comp().LoadFromFile(path);
  }, py::arg("path"));
  Cls.def("save_to_string", [](S& s) {
    TStringStream stream;
    {
      const TBusy busy(s);
      py::gil_scoped_release nogil;
      s.Comp().SaveToStream(stream);
    }
    return stream.DataString();
  }, "The component's XML document: settings, genes or instructions, and population.");
  Cls.def("load_from_string", [](S& s, const std::string& text) {
    const TBusy busy(s);
    py::gil_scoped_release nogil;
    TStringStream stream(text);
    s.Comp().LoadFromStream(stream);
  }, py::arg("text"));
}

// What the views of S share: fitness and the index in their generation.
template <class S>
py::class_<TView<S>> BindView(py::module_& m, const char* Name, const char* Doc) {
  py::class_<TView<S>> cls(m, Name, Doc);
  cls.def_property_readonly("fitness", [](const TView<S>& s) { return s.Resolve()->Fitness(); });
  cls.def_property_readonly("index", [](const TView<S>& s) { return s.Resolve()->Index(); },
                            "The individual's position in its generation.");
  return cls;
}

template <class S>
py::class_<TPopView<S>> BindPopulation(py::module_& m, const char* Name, const char* Doc) {
  using V = TPopView<S>;
  py::class_<V> cls(m, Name, Doc);
  cls.def("__len__", &V::Count);
  cls.def("__getitem__", &V::At);
  cls.def("__iter__", [](const V& s) {
    py::list items;
    for (int i = 0; i < s.Count(); ++i) items.append(TView<S>{s.Owner, s.Where, i});
    return py::iter(items);
  });
  cls.def("fitness", [](const V& s) {
    py::array_t<double> out(s.Count());
    for (int i = 0; i < s.Count(); ++i) out.mutable_data()[i] = s.Pop().Items(i)->Fitness();
    return out;
  }, "The fitness of every individual as a float array.");
  return cls;
}

void BindGA(py::module_& m) {
  BindView<PyGA>(m, "Individual", "One chromosome of a GA population (a view into the component).")
      .def_property(
          "bits", [](const PyIndividual& s) { return BitsToArray(*s.Resolve()->Bits()); },
          [](const PyIndividual& s, const py::object& v) {
            TMXGAIndividual* item = s.ResolveForWrite();
            ArrayToBits(v, *item->Bits(), item->Bits()->Size());
            item->Modified();
          },
          "The chromosome as a uint8 array of 0 and 1; assigning needs as many bits.")
      .def_property_readonly("count_set_bits", [](const PyIndividual& s) { return s.Resolve()->Bits()->CountSetBits(); })
      .def_property(
          "genes",
          [](const PyIndividual& s) {
            TMXGAIndividual* item = s.Resolve();
            TMXGAGenes* genes = s.Owner->GA.Genes();
            py::array_t<double> out(genes->Count());
            for (int i = 0; i < genes->Count(); ++i) out.mutable_data()[i] = GeneNumber(genes->Items(i), *item->Bits());
            return out;
          },
          [](const PyIndividual& s, const py::object& v) {
            TMXGAIndividual* item = s.ResolveForWrite();
            SetGeneNumbers(*s.Owner->GA.Genes(), *item->Bits(), v);
            item->Modified();
          },
          "Every gene's value as a float array, in gene order (booleans 0 or 1, enumerations their index); "
          "assigning writes them all, clamped to each gene's bounds, or none when one is bad.")
      .def("gene", [](const PyIndividual& s, const py::object& key) {
        TMXGAIndividual* item = s.Resolve();
        return GeneValue(FindGene(s.Owner->GA, key), *item->Bits());
      }, py::arg("key"), "The value of a gene (by name or index), typed by the gene.")
      .def("set_gene", [](const PyIndividual& s, const py::object& key, const py::object& value) {
        TMXGAIndividual* item = s.ResolveForWrite();
        SetGeneValue(FindGene(s.Owner->GA, key), *item->Bits(), value);
        item->Modified();
      }, py::arg("key"), py::arg("value"))
      .def("__repr__", [](const PyIndividual& s) {
        TMXGAIndividual* item = s.Resolve();
        return "<evokit.Individual fitness=" + FloatToStr(item->Fitness()) + " bits=" +
               std::to_string(item->Bits()->Size()) + ">";
      });

  BindPopulation<PyGA>(m, "Population", "A generation; a sequence of Individual views.")
      .def("bits", [](const PyPopulation& s) {
        const TMXPopulation& pop = s.Pop();
        const py::ssize_t n = pop.Count(), w = s.Owner->GA.GeneSize();
        py::array_t<std::uint8_t> out({n, w});
        auto view = out.mutable_unchecked<2>();
        for (py::ssize_t i = 0; i < n; ++i) {
          const TMXGABits& b = *static_cast<TMXGAIndividual*>(pop.Items(static_cast<int>(i)))->Bits();
          for (py::ssize_t j = 0; j < w && j < b.Size(); ++j) view(i, j) = b.Bits(static_cast<int>(j));
        }
        return out;
      }, "Every chromosome as rows of a (count, gene_size) uint8 array.");

  py::class_<PyGA, std::shared_ptr<PyGA>> ga(m, "GeneticAlgorithm",
                                             "A genetic algorithm over bit-string chromosomes described by typed genes.",
                                             CollectedCallables<PyGA>());
  BindComponent(ga);
  using G = PyGA;
  ga.def_property("gene_size", [](const G& s) { return s.GA.GeneSize(); }, [](G& s, int v) {
    const TBusy busy(s);
    s.GA.SetGeneSize(v);
  });
  EnumProperty(ga, "crossover_method", "CrossoverMethod", [](G& s) -> auto& { return s.GA; },
               &TMXCustomGeneticAlgorithm::CrossoverMethod, &TMXCustomGeneticAlgorithm::SetCrossoverMethod);
  ga.def_property_readonly("fittest", [](const std::shared_ptr<G>& s) -> py::object {
    if (!s->GA.FittestIndividual()) return py::none();
    return py::cast(PyIndividual{s, TWhere::Fittest, 0});
  });
  ga.def_property_readonly("population", [](const std::shared_ptr<G>& s) { return PyPopulation{s, TWhere::Current}; });
  ga.def_property(
      "fitness", [](const G& s) { return s.Fitness; }, [](G& s, const py::object& v) { InstallFitness(s, v); },
      "The fitness function: a callable taking an Individual and returning a number (None removes it).");
  ga.def_property(
      "on_crossover", [](const G& s) { return s.OnCrossover; }, &InstallGACrossover,
      "Called as on_crossover(parent1, parent2, child, point) for each child of a crossover, the child still a "
      "copy of parent1 and point the number of leading bits it is to take from parent1 (the second child is "
      "called with the parents swapped and the first call's outcome). Returns None to go ahead, False to leave "
      "the child uncrossed, or another point in 0..gene_size.");
  ga.def("use_count_set_bits_fitness", [](G& s) {
    CheckHandlerChange(s);
    s.Fitness = py::none();
    s.GA.SetOnEvaluateFitness([](TObject*, TMXIndividual* Item, TGAFitness& Fitness) {
      Fitness = static_cast<TMXGAIndividual*>(Item)->Bits()->CountSetBits();
    });
  }, "A built-in fitness, the number of set bits (OneMax), computed without the GIL.");
  ga.def("add_gene", [](G& s, const std::string& name, const py::object& type, int size,
                        std::optional<double> min_value, std::optional<double> max_value,
                        std::vector<std::string> enumerations, bool preserve_sign_bit) {
    const TBusy busy(s);
    const TGeneType t = FromPy<TGeneType>(type, "GeneType");
    if (size < 0) throw py::value_error("a gene's size must not be negative");
    TMXGAGene* gene = s.GA.Genes()->Add();
    try {
      gene->SetName(name);
      gene->SetGeneType(t);
      if (!enumerations.empty()) {
        TStringList list;
        for (const std::string& e : enumerations) list.Add(e);
        gene->SetEnumerations(&list);
      }
      if (size > 0 || enumerations.empty()) gene->SetSize(size);
      gene->SetPreserveSignBit(preserve_sign_bit);  // before the bounds: unsigned ones stop at 0
      if (min_value) gene->SetMinValue(*min_value);
      if (max_value) gene->SetMaxValue(*max_value);
    } catch (...) {
      s.GA.Genes()->Delete(gene->Index());
      throw;
    }
    return gene->Index();
  }, py::arg("name"), py::arg("gene_type"), py::arg("size") = 0, py::arg("min_value") = py::none(),
     py::arg("max_value") = py::none(), py::arg("enumerations") = std::vector<std::string>(),
     py::arg("preserve_sign_bit") = false,
     "Adds a typed gene after the others and returns its index; gene_size grows to cover it. With "
     "preserve_sign_bit an integer gene's field holds a two's-complement number, so its bounds may be negative.");
  ga.def_property_readonly("gene_names", [](const G& s) {
    std::vector<std::string> names;
    for (int i = 0; i < s.GA.Genes()->Count(); ++i) names.push_back(s.GA.Genes()->Items(i)->Name());
    return names;
  });

}

// --- Symbolic regression -----------------------------------------------------------

// A float array (n_rows, n_cols) of finite values into a table with columns x0, x1, ...
// and, when Y is given, the target column named "y".
TMXDataTable MakeTable(const py::array_t<double, py::array::c_style | py::array::forcecast>& X,
                       const std::vector<double>* Y) {
  if (X.ndim() != 2) throw py::value_error("X must be two-dimensional");
  TMXDataTable table;
  const py::ssize_t rows = X.shape(0), cols = X.shape(1);
  std::vector<double> column(static_cast<std::size_t>(rows));
  auto view = X.unchecked<2>();
  for (py::ssize_t j = 0; j < cols; ++j) {
    for (py::ssize_t i = 0; i < rows; ++i) column[static_cast<std::size_t>(i)] = view(i, j);
    table.AddColumn("x" + std::to_string(j), column);
  }
  if (Y) table.AddColumn("y", *Y);
  return table;
}

// A tree as nested tuples: ("var", name), ("const", value) or (function name, child...).
py::object TreeToTuple(const TMXGPNode<double>* Node) {
  const TMXGPInstruction<double>* instruction = Node->Instruction();
  if (!instruction) return py::make_tuple("const", 0.0);
  switch (instruction->Operation()) {
    case gpVariable: return py::make_tuple("var", instruction->DisplayName());
    case gpConstant: return py::make_tuple("const", Node->Value());
    default: {
      py::list items;
      items.append(instruction->DisplayName());
      for (int i = 0; i < Node->GetChildCount(); ++i) items.append(TreeToTuple(Node->GetChild(i)));
      return py::tuple(items);
    }
  }
}

struct TRegressionSettings {
  int Population = 500;
  int Generations = 50;
  int TournamentSize = 7;
  int InitDepth = 6;
  int DepthLimit = 17;
  double CrossoverProbability = 0.9;
  double MutationProbability = 0.1;
  std::string FunctionSet = "Add Sub Mul Div";
  std::string Constants = "1";
  double StoppingError = 0;
  bool LinearScaling = true;
  int Threads = 1;
  std::uint64_t Seed = 0;
};

// Runs GP on (X, y) with the mean squared error (after linear scaling, when on) and
// returns the best tree, its error, its scaling and the generations run. The GIL is
// released for the whole run.
py::dict FitRegression(const py::array_t<double, py::array::c_style | py::array::forcecast>& X,
                       const std::vector<double>& Y, const TRegressionSettings& S) {
  if (S.Population < 2) throw py::value_error("population_size must be at least 2");
  if (S.Generations < 0) throw py::value_error("generations must not be negative");
  auto fitness = std::make_shared<TMXGPRegressionFitness>(MakeTable(X, &Y), "y", rmMeanSquaredError, S.LinearScaling);
  TMXGeneticProgramming gp;
  std::string names = S.FunctionSet;
  for (int j = 0; j < X.shape(1); ++j) names += " x" + std::to_string(j);
  names += " " + S.Constants;
  AddFloatPrimitives(*gp.Instructions(), names);
  gp.SetInitialPopulation(S.Population);
  gp.SetInitializationMethod(imRampedHalfAndHalf);
  gp.SetInitializationDepth(S.InitDepth);
  gp.SetSelectionMethod(smTournament);
  gp.SetTournamentField(S.TournamentSize);
  gp.SetBloatStrategy(bsDepthLimit);
  gp.SetBloatLimit(S.DepthLimit);
  gp.SetCrossoverProbability(S.CrossoverProbability);
  gp.SetMutationProbability(S.MutationProbability);
  gp.SetUseFitnessCutoff(true);
  gp.SetFitnessCutoff(S.StoppingError);
  SetRegressionFitness(gp, fitness);
  int done = 0;
  {
    py::gil_scoped_release nogil;
    // Always the parallel step: a seeded run then gives the same program whatever the
    // number of threads, one included. The process-wide thread limit is restored afterwards.
    RandSeed(S.Seed);
    const int threads = TParallel::MaxThreads();
    TParallel::SetMaxThreads(S.Threads);
    const TScopeExit restore([threads] { TParallel::SetMaxThreads(threads); });
    done = gp.ParallelEvolve(S.Generations);
  }
  TMXGPIndividual<double>* best = gp.FittestIndividual();
  if (!best || !best->DNA()) throw py::value_error("the run produced no program");
  std::vector<double> predictions(Y.size());
  EvaluateRows(*best, fitness->Inputs(), predictions);
  double slope = 1, intercept = 0;
  if (S.LinearScaling) TMXGPRegressionFitness::FitLinearScaling(predictions, Y, slope, intercept);
  py::dict out;
  out["tree"] = TreeToTuple(best->DNA());
  out["prefix"] = best->DNA()->ToString();
  out["error"] = best->Fitness();
  out["slope"] = slope;
  out["intercept"] = intercept;
  out["generations"] = done;
  out["size"] = best->DNA()->Size();
  out["mean_size"] = gp.AvgProgramSize();
  return out;
}

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
    auto arr = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(X);
    if (!arr) throw py::type_error("X must be an array of numbers");
    row = arr.ndim() == 1;
    const std::vector<std::string> names = VariableNames(Self.Owner->GP);
    if ((arr.ndim() != 1 && arr.ndim() != 2) || arr.shape(arr.ndim() - 1) != static_cast<py::ssize_t>(names.size()))
      throw py::value_error("X must be a row or a two-dimensional array with one column per variable (" +
                            std::to_string(names.size()) + ")");
    const py::ssize_t rows = row ? 1 : arr.shape(0);
    std::vector<double> column(static_cast<std::size_t>(rows));
    for (std::size_t j = 0; j < names.size(); ++j) {
      for (py::ssize_t i = 0; i < rows; ++i)
        column[static_cast<std::size_t>(i)] = arr.data()[i * static_cast<py::ssize_t>(names.size()) + static_cast<py::ssize_t>(j)];
      own.AddColumn(names[j], column);
    }
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
      })
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

void BindGP(py::module_& m) {
  py::class_<PyGP, std::shared_ptr<PyGP>> gp(
      m, "GeneticProgramming", "Genetic programming over float programs, scored by a regression on data.",
      CollectedCallables<PyGP>());
  BindComponent(gp);
  using P = PyGP;
  using C = TMXCustomGeneticProgramming<double>;
  const auto component = [](P& s) -> C& { return s.GP; };
  EnumProperty(gp, "initialization_method", "InitializationMethod", component, &C::InitializationMethod,
               &C::SetInitializationMethod);
  gp.def_property("initialization_depth", [](P& s) { return s.GP.InitializationDepth(); },
                  [](P& s, int v) { s.GP.SetInitializationDepth(v); });
  EnumProperty(gp, "bloat_strategy", "BloatStrategy", component, &C::BloatStrategy, &C::SetBloatStrategy);
  gp.def_property("bloat_limit", [](P& s) { return s.GP.BloatLimit(); }, [](P& s, int v) { s.GP.SetBloatLimit(v); });
  EnumProperty(gp, "crossover_method", "GPCrossoverMethod", component, &C::CrossoverMethod, &C::SetCrossoverMethod);
  gp.def_property(
      "selection_non_terminals_probability", [](P& s) { return s.GP.SelectionNonTerminalsProbability(); },
      [](P& s, double v) { s.GP.SetSelectionNonTerminalsProbability(v); },
      "How likely an operator picks a function node rather than a terminal.");
  // The six mutation methods' weights (stored clamped to 0..255); a mutation picks one
  // method with probability weight / sum of weights.
  struct TWeight {
    const char* Name;
    int (C::*Get)() const;
    void (C::*Set)(int);
  };
  for (const TWeight w : {TWeight{"mutate_subtree_weight", &C::MutateSubtreeWeight, &C::SetMutateSubtreeWeight},
                          {"mutate_replacement_weight", &C::MutateReplacementWeight, &C::SetMutateReplacementWeight},
                          {"mutate_constant_weight", &C::MutateConstantWeight, &C::SetMutateConstantWeight},
                          {"mutate_shrink_weight", &C::MutateShrinkWeight, &C::SetMutateShrinkWeight},
                          {"mutate_hoist_weight", &C::MutateHoistWeight, &C::SetMutateHoistWeight},
                          {"mutate_point_weight", &C::MutatePointWeight, &C::SetMutatePointWeight}})
    gp.def_property(w.Name, [w](P& s) { return (s.GP.*w.Get)(); }, [w](P& s, int v) { (s.GP.*w.Set)(v); });
  EnumProperty(gp, "point_mutation_method", "PointMutationMethod", component, &C::PointMutationMethod,
               &C::SetPointMutationMethod);
  gp.def_property("point_mutation_probability", [](P& s) { return s.GP.PointMutationProbability(); },
                  [](P& s, double v) { s.GP.SetPointMutationProbability(v); });
  gp.def_property("parsimony_coefficient", [](P& s) { return s.GP.ParsimonyCoefficient(); },
                  [](P& s, double v) { s.GP.SetParsimonyCoefficient(v); });
  gp.def_property("on_constant_mutation", [](const P& s) { return s.OnConstantMutation; }, &InstallConstantMutation,
                  "Called as on_constant_mutation(value) with the value of the constant a constant mutation "
                  "picked; a number returned becomes its value, None keeps it.");
  gp.def_property_readonly("avg_program_size", [](P& s) { return s.GP.AvgProgramSize(); });
  gp.def("add_instructions", [](P& s, const std::string& names) {
    const TBusy busy(s);
    AddFloatPrimitives(*s.GP.Instructions(), names);
  }, py::arg("names"), "Adds primitives (Add, Sub, ..., Tanh), variables and constants named by words of `names`.");
  gp.def_property_readonly("instruction_names", [](P& s) {
    std::vector<std::string> names;
    for (int i = 0; i < s.GP.Instructions()->Count(); ++i) names.push_back(s.GP.Instructions()->Items(i)->Name());
    return names;
  });
  gp.def("set_regression_data", [](P& s, const py::array_t<double, py::array::c_style | py::array::forcecast>& X,
                                   const std::vector<double>& y, const std::vector<std::string>& names,
                                   const py::object& metric, bool linear_scaling) {
    const TBusy busy(s);
    if (X.ndim() != 2 || X.shape(0) != static_cast<py::ssize_t>(y.size()))
      throw py::value_error("X must be two-dimensional with one row per value of y");
    if (names.size() != static_cast<std::size_t>(X.shape(1)))
      throw py::value_error("names must name each column of X");
    TMXDataTable table;
    std::vector<double> column(y.size());
    auto view = X.unchecked<2>();
    for (py::ssize_t j = 0; j < X.shape(1); ++j) {
      for (py::ssize_t i = 0; i < X.shape(0); ++i) column[static_cast<std::size_t>(i)] = view(i, j);
      table.AddColumn(names[static_cast<std::size_t>(j)], column);
    }
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
  gp.def_property_readonly("variable_names", [](P& s) { return VariableNames(s.GP); });
  gp.def_property_readonly("population", [](const std::shared_ptr<P>& s) { return TPopView<P>{s, TWhere::Current}; });
  gp.def_property_readonly("fittest", [](const std::shared_ptr<P>& s) -> py::object {
    if (!s->GP.FittestIndividual()) return py::none();
    return py::cast(PyProgram{s, TWhere::Fittest, 0});
  });
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

void BindRegression(py::module_& m) {
  py::class_<TRegressionSettings>(m, "_RegressionSettings")
      .def(py::init<>())
      .def_readwrite("population", &TRegressionSettings::Population)
      .def_readwrite("generations", &TRegressionSettings::Generations)
      .def_readwrite("tournament_size", &TRegressionSettings::TournamentSize)
      .def_readwrite("init_depth", &TRegressionSettings::InitDepth)
      .def_readwrite("depth_limit", &TRegressionSettings::DepthLimit)
      .def_readwrite("crossover_probability", &TRegressionSettings::CrossoverProbability)
      .def_readwrite("mutation_probability", &TRegressionSettings::MutationProbability)
      .def_readwrite("function_set", &TRegressionSettings::FunctionSet)
      .def_readwrite("constants", &TRegressionSettings::Constants)
      .def_readwrite("stopping_error", &TRegressionSettings::StoppingError)
      .def_readwrite("linear_scaling", &TRegressionSettings::LinearScaling)
      .def_readwrite("threads", &TRegressionSettings::Threads)
      .def_readwrite("seed", &TRegressionSettings::Seed);
  m.def("_fit_regression", &FitRegression, py::arg("X"), py::arg("y"), py::arg("settings"));
}

}  // namespace

PYBIND11_MODULE(_evokit, m) {
  m.doc() = "evokit: genetic algorithms and genetic programming in C++";
  RegisterExceptions(m);
  AddEnum<TGAFitnessMethod>(m, "FitnessMethod");
  AddEnum<TGASelectionMethod>(m, "SelectionMethod");
  AddEnum<TGACrossoverMethod>(m, "CrossoverMethod");
  AddEnum<TGAGeneticOperation>(m, "GeneticOperation");
  AddEnum<TGeneType>(m, "GeneType");
  BindGA(m);
  AddEnum<TGPInitializationMethod>(m, "InitializationMethod");
  AddEnum<TGPBloatStrategy>(m, "BloatStrategy");
  AddEnum<TGPCrossoverMethod>(m, "GPCrossoverMethod");
  AddEnum<TGPPointMutationMethod>(m, "PointMutationMethod");
  AddEnum<TGPRegressionMetric>(m, "RegressionMetric");
  BindProgram(m);
  BindGP(m);
  BindRegression(m);
  m.def("rand_seed", [](std::uint64_t seed) { RandSeed(seed); }, py::arg("seed"),
        "Seeds the library's random source: a seeded run repeats exactly.");
  m.def("set_max_threads", [](int n) {
    if (n < 0) throw py::value_error("the thread count must not be negative");
    TParallel::SetMaxThreads(n);
  }, py::arg("count"),
        "Workers of parallel_evolve (0: one per core).");
}
