#include "component.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "convert.h"
#include "enums.h"
#include "events.h"

namespace evokit::python {

template <class S>
void BindComponent(py::class_<S, std::shared_ptr<S>>& Cls) {
  Cls.def(py::init([](py::kwargs kw) {
    auto self = std::make_shared<S>();
    py::object obj = py::cast(self);
    for (auto [k, v] : kw) py::setattr(obj, k, v);  // properties given as keyword arguments
    return self;
  }));
  // A float property refuses a non-number (TypeError) and NaN or infinity (ValueError).
  struct TFloat {
    const char* Name;
    TGAProbability (TMXCustomGeneticComponent::*Get)() const;
    void (TMXCustomGeneticComponent::*Set)(TGAProbability);
    const char* Doc;
  };
  for (const TFloat p : {
           TFloat{"crossover_probability", &TMXCustomGeneticComponent::CrossoverProbability,
                  &TMXCustomGeneticComponent::SetCrossoverProbability,
                  "How likely a pair of parents is crossed (0 to 1, clamped)."},
           {"mutation_probability", &TMXCustomGeneticComponent::MutationProbability,
            &TMXCustomGeneticComponent::SetMutationProbability,
            "How likely a child is mutated (0 to 1, clamped); a GA then flips each bit (under POLYNOMIAL "
            "mutation, moves each numeric gene) with this probability."},
           {"inversion_probability", &TMXCustomGeneticComponent::InversionProbability,
            &TMXCustomGeneticComponent::SetInversionProbability, "How likely a child is inverted (0 to 1, clamped)."},
           {"diversity_limit", &TMXCustomGeneticComponent::DiversityLimit, &TMXCustomGeneticComponent::SetDiversityLimit,
            "With use_diversity_limit, the run ends once diversity falls below it (0 to 1, clamped)."},
           {"elitist_pct", &TMXCustomGeneticComponent::ElitistPct, &TMXCustomGeneticComponent::SetElitistPct,
            "The fraction of the best individuals ELITIST selection picks parents from (0 to 1, clamped)."},
           {"fitness_cutoff", &TMXCustomGeneticComponent::FitnessCutoff, &TMXCustomGeneticComponent::SetFitnessCutoff,
            "With use_fitness_cutoff, the run ends once the best fitness reaches it."}})
    Cls.def_property(p.Name, [p](S& s) { return (s.Comp().*p.Get)(); },
                     [p](S& s, const py::object& v) { (s.Comp().*p.Set)(FiniteArg(v, p.Name)); }, p.Doc);
#define EVOKIT_PROP(name, Getter, Setter, doc)                                                     \
  Cls.def_property(name, [](S& s) { return s.Comp().Getter(); },                                   \
                   [](S& s, decltype(std::declval<S&>().Comp().Getter()) v) { s.Comp().Setter(v); }, doc)
  EVOKIT_PROP("initial_population", InitialPopulation, SetInitialPopulation,
              "The number of individuals initialize creates (GAError beyond the library's limit).");
  EVOKIT_PROP("initial_duplicates_retries", InitialDuplicatesRetries, SetInitialDuplicatesRetries,
              "How often initialize builds an individual again when it duplicates another.");
  EVOKIT_PROP("generation_limit", GenerationLimit, SetGenerationLimit,
              "With use_generation_limit, the generation at which the run ends (at least 1).");
  EVOKIT_PROP("tournament_field", TournamentField, SetTournamentField,
              "The number of individuals in each tournament of TOURNAMENT selection (at least 2).");
  EVOKIT_PROP("generation", Generation, SetGeneration, "The number of generations bred since initialize.");
  EVOKIT_PROP("use_fitness_cutoff", UseFitnessCutoff, SetUseFitnessCutoff, "Whether fitness_cutoff ends the run.");
  EVOKIT_PROP("use_diversity_limit", UseDiversityLimit, SetUseDiversityLimit, "Whether diversity_limit ends the run.");
  EVOKIT_PROP("use_generation_limit", UseGenerationLimit, SetUseGenerationLimit,
              "Whether generation_limit ends the run.");
  EVOKIT_PROP("halt", Halt, SetHalt, "Set it (from on_evolve, say) to end evolve after the current generation.");
#undef EVOKIT_PROP
  EnumProperty(Cls, "fitness_method", "FitnessMethod", [](S& s) -> auto& { return s.Comp(); },
               &TMXCustomGeneticComponent::FitnessMethod, &TMXCustomGeneticComponent::SetFitnessMethod,
               "Whether a higher or a lower (weighted) fitness is better.");
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
  struct TStatistic {
    const char* Name;
    TGAFitness (TMXCustomGeneticComponent::*Get)() const;
    const char* Doc;
  };
  for (const TStatistic p : {
           TStatistic{"max_fitness", &TMXCustomGeneticComponent::MaxFitness, "The highest fitness of the population."},
           {"min_fitness", &TMXCustomGeneticComponent::MinFitness, "The lowest fitness of the population."},
           {"avg_fitness", &TMXCustomGeneticComponent::AvgFitness, "The mean fitness of the population."},
           {"diversity", &TMXCustomGeneticComponent::Diversity,
            "avg_fitness / max_fitness (infinite when max_fitness is 0); diversity_limit compares it."},
           {"max_weighted_fitness", &TMXCustomGeneticComponent::MaxWeightedFitness,
            "The highest weighted fitness of the population."},
           {"min_weighted_fitness", &TMXCustomGeneticComponent::MinWeightedFitness,
            "The lowest weighted fitness of the population."},
           {"avg_weighted_fitness", &TMXCustomGeneticComponent::AvgWeightedFitness,
            "The mean weighted fitness of the population."}})
    Cls.def_property_readonly(p.Name, [p](S& s) { return (s.Comp().*p.Get)(); }, p.Doc);
  // Multi-objective runs.
  Cls.def_property(
      "objective_count", [](S& s) { return s.Comp().ObjectiveCount(); },
      [](S& s, int v) {
        CheckHandlerChange(s);
        s.Comp().SetObjectiveCount(v);
        ApplyFitness(s);
      },
      "The number of objectives (0, the default, for a single fitness). With objectives the fitness callable "
      "returns that many numbers (a sequence or array), each minimised or maximised as objective_senses say; "
      "an individual's fitness is then its first objective, and a NaN makes it unfit.");
  Cls.def_property(
      "objective_senses",
      [](S& s) {
        py::list out;
        for (int k = 0; k < s.Comp().ObjectiveCount(); ++k)
          out.append(ToPy(s.Comp().ObjectiveSense(k), "ObjectiveSense"));
        return out;
      },
      [](S& s, const py::iterable& v) {
        std::vector<TGAObjectiveSense> senses;
        for (py::handle h : v)
          senses.push_back(FromPy<TGAObjectiveSense>(py::reinterpret_borrow<py::object>(h), "ObjectiveSense"));
        CheckHandlerChange(s);
        s.Comp().SetObjectiveCount(static_cast<int>(senses.size()));
        for (std::size_t k = 0; k < senses.size(); ++k) s.Comp().SetObjectiveSense(static_cast<int>(k), senses[k]);
        ApplyFitness(s);
      },
      "One ObjectiveSense per objective; assigning a list also sets objective_count to its length.");
  Cls.def_property(
      "hypervolume_reference", [](S& s) { return s.Comp().HypervolumeReference(); },
      [](S& s, const std::optional<std::vector<double>>& v) {
        s.Comp().SetHypervolumeReference(v ? std::span<const double>(*v) : std::span<const double>());
      },
      "The point front_hypervolume is measured from, one value per objective in its own sense; None or [] for "
      "the automatic one (the population's worst values, moved out by a tenth of their range).");
  Cls.def_property_readonly(
      "front",
      [](S& s) {
        const std::vector<double> rows = s.Comp().ParetoFrontObjectives();
        const py::ssize_t width = std::max(1, s.Comp().ObjectiveCount());
        py::array_t<double> out({static_cast<py::ssize_t>(rows.size()) / width, width});
        std::copy(rows.begin(), rows.end(), out.mutable_data());
        return out;
      },
      "The objectives of the first Pareto front of the population last evaluated, as a (front_size, "
      "objective_count) float array in population order.");
  Cls.def_property_readonly("front_size", [](S& s) { return s.Comp().FrontSize(); },
                            "The number of individuals on the first Pareto front.");
  Cls.def_property_readonly("front_hypervolume", [](S& s) { return s.Comp().FrontHypervolume(); },
                            "The objective space the first front dominates up to hypervolume_reference.");
  Cls.def_property_readonly("initialized", [](S& s) { return s.Comp().Initialized(); },
                            "Whether initialize (or a load) has built the population.");
  BindEvents(Cls);
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

template <class S>
py::class_<TView<S>> BindView(py::module_& m, const char* Name, const char* Doc) {
  py::class_<TView<S>> cls(m, Name, Doc);
  cls.def_property_readonly("fitness", [](const TView<S>& s) { return s.Resolve()->Fitness(); },
                            "The individual's fitness.");
  cls.def_property_readonly("index", [](const TView<S>& s) { return s.Resolve()->Index(); },
                            "The individual's position in its generation.");
  cls.def_property_readonly("objectives", [](const TView<S>& s) {
    const std::span<const double> objectives = s.Resolve()->Objectives();
    py::array_t<double> out(static_cast<py::ssize_t>(objectives.size()));
    std::copy(objectives.begin(), objectives.end(), out.mutable_data());
    return out;
  }, "The individual's objective values as a float array (empty without objectives).");
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

template void BindComponent(py::class_<PyGA, std::shared_ptr<PyGA>>&);
template void BindComponent(py::class_<PyGP, std::shared_ptr<PyGP>>&);
template py::class_<TView<PyGA>> BindView<PyGA>(py::module_&, const char*, const char*);
template py::class_<TView<PyGP>> BindView<PyGP>(py::module_&, const char*, const char*);
template py::class_<TPopView<PyGA>> BindPopulation<PyGA>(py::module_&, const char*, const char*);
template py::class_<TPopView<PyGP>> BindPopulation<PyGP>(py::module_&, const char*, const char*);

}  // namespace evokit::python
