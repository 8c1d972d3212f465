// The event bridge: Python callables as the components' fitness and event handlers.
// Each handler runs its callable under the GIL, taken for the call only: under
// parallel_evolve the breeding threads take turns in Python while the C++ work between
// the calls runs in parallel. A callable that raises throws error_already_set through
// the library, which ends the generation as any handler error does; an answer of the
// wrong type raises TypeError the same way. Handlers cannot be changed while the
// component breeds (CheckHandlerChange).
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <memory>
#include <span>

#include "component.h"

namespace evokit::python {

// Makes the Python class of state S take part in garbage collection: its callables are
// visited, and cleared when a cycle is broken. A callable that refers to its own
// component (on_evolve = lambda: print(ga.generation)) would otherwise keep both alive
// for good.
template <class S>
py::custom_type_setup CollectedCallables();

// The events both components have, as properties of Cls: weighted_fitness, on_evolve,
// on_selection, on_mutation, on_inversion, on_reproduction, on_initialize_child and
// on_initialization.
template <class S>
void BindEvents(py::class_<S, std::shared_ptr<S>>& Cls);

// Callable (taking a view, answering a number) as the fitness of S; None removes it.
// With objectives (objective_count > 0) the callable answers a sequence of that many
// numbers instead, as the component's objectives, the first being the fitness.
template <class S>
void InstallFitness(S& Self, const py::object& Callable);
// Installs the stored fitness callable (or the GA's batch fitness) again as the objective
// count now calls for.
template <class S>
void ApplyFitness(S& Self);

// The GA's batch_fitness: Callable receives the genes of the stale individuals of a
// generation as one (n, genes) float64 array and answers n fitness values, or with
// objectives an (n, objective_count) array. It also scores an individual read alone (a
// one-row array). Assigning a callable removes fitness, as assigning fitness removes it;
// None removes it.
void InstallBatchFitness(PyGA& Self, const py::object& Callable);
// The genes of Items as rows of a float64 array, as Individual.genes gives them (ga.cpp).
py::array_t<double> GeneRows(const TMXCustomGeneticAlgorithm& GA, std::span<TMXIndividual* const> Items);

// The GA's on_crossover(parent1, parent2, child, point): None goes ahead, False leaves
// the child uncrossed, a number is another point in 0 .. gene_size.
void InstallGACrossover(PyGA& Self, const py::object& Callable);
// The GP component's on_crossover(parent1, parent2, child): False vetoes.
void InstallGPCrossover(PyGP& Self, const py::object& Callable);
// The GP component's on_constant_mutation(value): a number answered becomes the
// constant's value, None keeps it.
void InstallConstantMutation(PyGP& Self, const py::object& Callable);

}  // namespace evokit::python
