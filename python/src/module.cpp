// The Python module evokit._evokit: the GA component with its properties, enumerations
// as Python IntEnums, Python callables as events, chromosomes as numpy arrays, and the
// symbolic-regression engine the Python SymbolicRegressor (evokit/regressor.py) drives.
//
// The GIL: every call into the library that breeds, evaluates or loads releases it;
// Python callbacks take it back for the length of the call. A callback that raises
// throws pybind11's error_already_set through the library, which unwinds the generation
// as any handler error does, and the original Python exception reaches the caller.
#include <pybind11/functional.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cctype>
#include <cmath>
#include <cstring>
#include <map>
#include <stdexcept>
#include <memory>
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
  py::object OnEvolve = py::none();
  // True while a call runs the component (evolving, loading, saving). A callback, or
  // another Python thread, that tries to restructure it meanwhile gets RuntimeError
  // instead of pulling the population from under the running generation.
  bool Busy = false;
};

struct PyGA : PyComponent, std::enable_shared_from_this<PyGA> {
  TMXGeneticAlgorithm GA;
  py::object Fitness = py::none();
  TMXCustomGeneticComponent& Comp() override { return GA; }
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

// A view of one individual: the component (kept alive) and the individual's place,
// looked up at each access so that a view outliving a generation never dangles.
struct PyIndividual {
  std::shared_ptr<PyGA> Owner;
  int Index;  // -1: the component's fittest individual
  TMXGAIndividual* Resolve() const {
    if (Index < 0) {
      TMXGAIndividual* best = Owner->GA.FittestIndividual();
      if (!best) throw py::value_error("the component has no fittest individual yet");
      return best;
    }
    TMXGAPopulation* pop = Owner->GA.Population();
    if (Index >= pop->Count()) throw py::index_error("individual " + std::to_string(Index) + " left the population");
    return pop->Items(Index);
  }
};

struct PyPopulation {
  std::shared_ptr<PyGA> Owner;
  int Count() const { return Owner->GA.Population()->Count(); }
  PyIndividual At(py::ssize_t Index) const {
    const py::ssize_t n = Count();
    if (Index < 0) Index += n;
    if (Index < 0 || Index >= n) throw py::index_error("population index out of range");
    return PyIndividual{Owner, static_cast<int>(Index)};
  }
};

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

// The Python fitness callable as the component's handler: the GIL is taken for the
// call, the answer must be a number.
void InstallFitness(PyGA& Self, py::object Callable) {
  if (Callable.is_none()) {
    Self.GA.SetOnEvaluateFitness(nullptr);
    Self.Fitness = py::none();
    return;
  }
  if (!PyCallable_Check(Callable.ptr())) throw py::type_error("fitness must be callable or None");
  Self.Fitness = Callable;
  PyGA* self = &Self;
  Self.GA.SetOnEvaluateFitness([self](TObject*, TMXIndividual* Item, TGAFitness& Fitness) {
    py::gil_scoped_acquire gil;
    py::object result = self->Fitness(PyIndividual{self->shared_from_this(), Item->Index()});
    if (!PyNumber_Check(result.ptr()) || py::isinstance<py::str>(result))
      throw py::type_error("the fitness callback must return a number, not " +
                           std::string(py::str(result.get_type().attr("__name__"))));
    Fitness = py::float_(result).cast<double>();
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
  Cls.def_property(
      "fitness_method", [](S& s) { return ToPy(s.Comp().FitnessMethod(), "FitnessMethod"); },
      [](S& s, const py::object& v) { s.Comp().SetFitnessMethod(FromPy<TGAFitnessMethod>(v, "FitnessMethod")); });
  Cls.def_property(
      "selection_method", [](S& s) { return ToPy(s.Comp().SelectionMethod(), "SelectionMethod"); },
      [](S& s, const py::object& v) {
        const auto method = FromPy<TGASelectionMethod>(v, "SelectionMethod");
        if (method == smCustom) throw py::value_error("custom selection is not available from Python");
        s.Comp().SetSelectionMethod(method);
      });
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
  Cls.def_property(
      "on_evolve", [](S& s) { return s.OnEvolve; },
      [](S& s, py::object v) {
        if (v.is_none()) {
          s.Comp().SetOnEvolve(nullptr);
        } else {
          if (!PyCallable_Check(v.ptr())) throw py::type_error("on_evolve must be callable or None");
          S* self = &s;
          s.Comp().SetOnEvolve([self](TObject*) {
            py::gil_scoped_acquire gil;
            self->OnEvolve();
          });
        }
        s.OnEvolve = v;
      },
      "Called with no arguments after each generation.");
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

void BindGA(py::module_& m) {
  py::class_<PyIndividual>(m, "Individual", "One chromosome of a GA population (a view into the component).")
      .def_property_readonly("fitness", [](const PyIndividual& s) { return s.Resolve()->Fitness(); })
      .def_property(
          "bits", [](const PyIndividual& s) { return BitsToArray(*s.Resolve()->Bits()); },
          [](const PyIndividual& s, const py::object& v) {
            TMXGAIndividual* item = s.Resolve();
            ArrayToBits(v, *item->Bits(), item->Bits()->Size());
            item->Modified();
          },
          "The chromosome as a uint8 array of 0 and 1; assigning needs as many bits.")
      .def_property_readonly("count_set_bits", [](const PyIndividual& s) { return s.Resolve()->Bits()->CountSetBits(); })
      .def("gene", [](const PyIndividual& s, const py::object& key) {
        TMXGAIndividual* item = s.Resolve();
        return GeneValue(FindGene(s.Owner->GA, key), *item->Bits());
      }, py::arg("key"), "The value of a gene (by name or index), typed by the gene.")
      .def("set_gene", [](const PyIndividual& s, const py::object& key, const py::object& value) {
        TMXGAIndividual* item = s.Resolve();
        SetGeneValue(FindGene(s.Owner->GA, key), *item->Bits(), value);
        item->Modified();
      }, py::arg("key"), py::arg("value"))
      .def("__repr__", [](const PyIndividual& s) {
        TMXGAIndividual* item = s.Resolve();
        return "<evokit.Individual fitness=" + FloatToStr(item->Fitness()) + " bits=" +
               std::to_string(item->Bits()->Size()) + ">";
      });

  py::class_<PyPopulation>(m, "Population", "The current generation; a sequence of Individual views.")
      .def("__len__", &PyPopulation::Count)
      .def("__getitem__", &PyPopulation::At)
      .def("__iter__", [](const PyPopulation& s) {
        py::list items;
        for (int i = 0; i < s.Count(); ++i) items.append(PyIndividual{s.Owner, i});
        return py::iter(items);
      })
      .def("bits", [](const PyPopulation& s) {
        TMXGAPopulation* pop = s.Owner->GA.Population();
        const py::ssize_t n = pop->Count(), w = s.Owner->GA.GeneSize();
        py::array_t<std::uint8_t> out({n, w});
        auto view = out.mutable_unchecked<2>();
        for (py::ssize_t i = 0; i < n; ++i) {
          const TMXGABits& b = *pop->Items(static_cast<int>(i))->Bits();
          for (py::ssize_t j = 0; j < w && j < b.Size(); ++j) view(i, j) = b.Bits(static_cast<int>(j));
        }
        return out;
      }, "Every chromosome as rows of a (count, gene_size) uint8 array.")
      .def("fitness", [](const PyPopulation& s) {
        TMXGAPopulation* pop = s.Owner->GA.Population();
        py::array_t<double> out(pop->Count());
        for (int i = 0; i < pop->Count(); ++i) out.mutable_data()[i] = pop->Items(i)->Fitness();
        return out;
      }, "The fitness of every individual as a float array.");

  py::class_<PyGA, std::shared_ptr<PyGA>> ga(m, "GeneticAlgorithm",
                                             "A genetic algorithm over bit-string chromosomes described by typed genes.");
  BindComponent(ga);
  using G = PyGA;
  ga.def_property("gene_size", [](const G& s) { return s.GA.GeneSize(); }, [](G& s, int v) {
    const TBusy busy(s);
    s.GA.SetGeneSize(v);
  });
  ga.def_property(
      "crossover_method", [](const G& s) { return ToPy(s.GA.CrossoverMethod(), "CrossoverMethod"); },
      [](G& s, const py::object& v) { s.GA.SetCrossoverMethod(FromPy<TGACrossoverMethod>(v, "CrossoverMethod")); });
  ga.def_property_readonly("fittest", [](const std::shared_ptr<G>& s) -> py::object {
    if (!s->GA.FittestIndividual()) return py::none();
    return py::cast(PyIndividual{s, -1});
  });
  ga.def_property_readonly("population", [](const std::shared_ptr<G>& s) { return PyPopulation{s}; });
  ga.def_property(
      "fitness", [](const G& s) { return s.Fitness; }, &InstallFitness,
      "The fitness function: a callable taking an Individual and returning a number (None removes it).");
  ga.def("use_count_set_bits_fitness", [](G& s) {
    s.Fitness = py::none();
    s.GA.SetOnEvaluateFitness([](TObject*, TMXIndividual* Item, TGAFitness& Fitness) {
      Fitness = static_cast<TMXGAIndividual*>(Item)->Bits()->CountSetBits();
    });
  }, "A built-in fitness, the number of set bits (OneMax), computed without the GIL.");
  ga.def("add_gene", [](G& s, const std::string& name, const py::object& type, int size,
                        std::optional<double> min_value, std::optional<double> max_value,
                        std::vector<std::string> enumerations) {
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
      if (min_value) gene->SetMinValue(*min_value);
      if (max_value) gene->SetMaxValue(*max_value);
    } catch (...) {
      s.GA.Genes()->Delete(gene->Index());
      throw;
    }
    return gene->Index();
  }, py::arg("name"), py::arg("gene_type"), py::arg("size") = 0, py::arg("min_value") = py::none(),
     py::arg("max_value") = py::none(), py::arg("enumerations") = std::vector<std::string>(),
     "Adds a typed gene after the others and returns its index; gene_size grows to cover it.");
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

// The float GP component with the ready-made regression fitness: programs over the
// standard primitives, scored on data given as arrays.
struct PyGP : PyComponent {
  TMXGeneticProgramming GP;
  std::shared_ptr<const TMXGPRegressionFitness> Regression;
  TMXCustomGeneticComponent& Comp() override { return GP; }
};

void BindGP(py::module_& m) {
  py::class_<PyGP, std::shared_ptr<PyGP>> gp(
      m, "GeneticProgramming", "Genetic programming over float programs, scored by a regression on data.");
  BindComponent(gp);
  using P = PyGP;
  gp.def_property(
      "initialization_method", [](P& s) { return ToPy(s.GP.InitializationMethod(), "InitializationMethod"); },
      [](P& s, const py::object& v) {
        s.GP.SetInitializationMethod(FromPy<TGPInitializationMethod>(v, "InitializationMethod"));
      });
  gp.def_property("initialization_depth", [](P& s) { return s.GP.InitializationDepth(); },
                  [](P& s, int v) { s.GP.SetInitializationDepth(v); });
  gp.def_property(
      "bloat_strategy", [](P& s) { return ToPy(s.GP.BloatStrategy(), "BloatStrategy"); },
      [](P& s, const py::object& v) { s.GP.SetBloatStrategy(FromPy<TGPBloatStrategy>(v, "BloatStrategy")); });
  gp.def_property("bloat_limit", [](P& s) { return s.GP.BloatLimit(); }, [](P& s, int v) { s.GP.SetBloatLimit(v); });
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
    SetRegressionFitness(s.GP, s.Regression);
  }, py::arg("X"), py::arg("y"), py::arg("names"), py::arg("metric"), py::arg("linear_scaling") = false,
     "Scores programs on the columns of X (named as the variables) against y.");
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
  AddEnum<TGPRegressionMetric>(m, "RegressionMetric");
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
