// GeneticAlgorithm in Python: typed genes, chromosomes as numpy arrays, and the views of
// its individuals and generations.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cmath>
#include <cstring>
#include <optional>
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

// A distribution index as the setters take it, or ValueError naming the property.
double DistributionIndex(const char* Name, double Value) {
  if (!(Value >= 0)) throw py::value_error(std::string(Name) + " must be a number >= 0, not " + FloatToStr(Value));
  return Value;
}

}  // namespace

py::array_t<double> GeneRows(const TMXCustomGeneticAlgorithm& GA, std::span<TMXIndividual* const> Items) {
  TMXGAGenes* genes = GA.Genes();
  const int width = genes->Count();
  py::array_t<double> out({static_cast<py::ssize_t>(Items.size()), static_cast<py::ssize_t>(width)});
  double* value = out.mutable_data();
  for (TMXIndividual* item : Items) {
    TMXGABits& bits = *static_cast<TMXGAIndividual*>(item)->Bits();
    for (int j = 0; j < width; ++j) *value++ = GeneNumber(genes->Items(j), bits);
  }
  return out;
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
      .def_property_readonly("count_set_bits", [](const PyIndividual& s) { return s.Resolve()->Bits()->CountSetBits(); },
                             "The number of bits set in the chromosome.")
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
  }, "The chromosome length in bits; add_gene grows it to cover the genes.");
  EnumProperty(ga, "crossover_method", "CrossoverMethod", [](G& s) -> auto& { return s.GA; },
               &TMXCustomGeneticAlgorithm::CrossoverMethod, &TMXCustomGeneticAlgorithm::SetCrossoverMethod,
               "Where crossover may cut the chromosomes: at gene, bit, byte, word or longword boundaries; or "
               "SIMULATED_BINARY: numeric genes are crossed as numbers, the others copied from each child's own "
               "first parent.");
  EnumProperty(ga, "mutation_method", "MutationMethod", [](G& s) -> auto& { return s.GA; },
               &TMXCustomGeneticAlgorithm::MutationMethod, &TMXCustomGeneticAlgorithm::SetMutationMethod,
               "BIT_FLIP flips each bit with mutation_probability; POLYNOMIAL moves each numeric gene with "
               "mutation_probability by polynomial mutation within its bounds (other genes' bits still flip). With "
               "SIMULATED_BINARY or POLYNOMIAL, initialize draws each numeric gene uniformly within its bounds.");
  ga.def_property(
      "crossover_distribution_index", [](const G& s) { return s.GA.CrossoverDistributionIndex(); },
      [](G& s, double v) { s.GA.SetCrossoverDistributionIndex(DistributionIndex("crossover_distribution_index", v)); },
      "The distribution index of SIMULATED_BINARY crossover (default 20, at least 0; ValueError otherwise): the "
      "larger, the closer the children stay to their parents.");
  ga.def_property(
      "mutation_distribution_index", [](const G& s) { return s.GA.MutationDistributionIndex(); },
      [](G& s, double v) { s.GA.SetMutationDistributionIndex(DistributionIndex("mutation_distribution_index", v)); },
      "The distribution index of POLYNOMIAL mutation (default 20, at least 0; ValueError otherwise): the larger, "
      "the smaller the moves.");
  ga.def_property_readonly("fittest", [](const std::shared_ptr<G>& s) -> py::object {
    if (!s->GA.FittestIndividual()) return py::none();
    return py::cast(PyIndividual{s, TWhere::Fittest, 0});
  }, "The best individual of the population last evaluated, or None before that.");
  ga.def_property_readonly("population", [](const std::shared_ptr<G>& s) { return PyPopulation{s, TWhere::Current}; },
                           "The current generation, a sequence of Individual views.");
  ga.def_property(
      "fitness", [](const G& s) { return s.Fitness; }, [](G& s, const py::object& v) { InstallFitness(s, v); },
      "The fitness function: a callable taking an Individual and returning a number (None removes it). "
      "Assigning one removes batch_fitness.");
  ga.def_property(
      "batch_fitness", [](const G& s) { return s.BatchFitness; },
      [](G& s, const py::object& v) { InstallBatchFitness(s, v); },
      "A fitness that scores many individuals in one call, for vectorised (numpy) code: called with a float64 "
      "array of shape (n, genes) holding the genes of the n individuals to be scored (one row each, as "
      "Individual.genes gives them) and returning n fitness values, or with objective_count > 0 an array of "
      "shape (n, objective_count) whose first column is the fitness. Each evaluation of a generation calls it "
      "once with every individual that needs scoring, under evolve and parallel_evolve alike, on the thread "
      "that runs them; an individual read alone gets a one-row call. A NaN makes the individual unfit. An "
      "answer of another shape raises ValueError, one that is no array of numbers TypeError, and nothing of "
      "it is kept. Assigning a callable removes fitness (as assigning fitness removes this); None removes it.");
  ga.def_property(
      "on_crossover", [](const G& s) { return s.OnCrossover; }, &InstallGACrossover,
      "Called as on_crossover(parent1, parent2, child, point) for each child of a crossover, the child still a "
      "copy of parent1 and point the number of leading bits it is to take from parent1 (the second child is "
      "called with the parents swapped and the first call's outcome). Returns None to go ahead, False to leave "
      "the child uncrossed, or another point in 0..gene_size. Under SIMULATED_BINARY the point is -1 and a "
      "returned point is ignored.");
  ga.def("use_count_set_bits_fitness", [](G& s) {
    CheckHandlerChange(s);
    s.Fitness = py::none();
    if (!s.BatchFitness.is_none()) {
      s.BatchFitness = py::none();
      s.GA.SetOnEvaluatePopulation(nullptr);
      s.GA.SetOnEvaluateObjectives(nullptr);
    }
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
  }, "The genes' names, in order.");
}

}  // namespace evokit::python
