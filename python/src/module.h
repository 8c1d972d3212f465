// The parts of the Python module evokit._evokit, one per concern; module.cpp binds them
// in this order. The shared state of the component classes is in component.h, the
// conversions between Python and library values in convert.h and enums.h.
#pragma once

#include <pybind11/pybind11.h>

namespace evokit::python {

namespace py = pybind11;

// Exception classes and their translation, the random source and the thread count (library.cpp).
void BindLibrary(py::module_& m);
// The library's enumerations as IntEnums (enums.cpp).
void BindEnums(py::module_& m);
// GeneticAlgorithm with its Individual and Population views (ga.cpp).
void BindGA(py::module_& m);
// GeneticProgramming with its Program and ProgramPopulation views (gp.cpp).
void BindGP(py::module_& m);
// What SymbolicRegressor runs on: its settings, the fit, and program evaluation (regression.cpp).
void BindRegression(py::module_& m);

}  // namespace evokit::python
