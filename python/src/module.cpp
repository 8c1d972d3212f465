// The Python module evokit._evokit: the GA and float GP components with their properties,
// enumerations as Python IntEnums, Python callables as fitness and events (with views of
// individuals and programs), chromosomes as numpy arrays, and the symbolic-regression
// engine the Python SymbolicRegressor (evokit/regressor.py) drives.
//
// The GIL: every call into the library that breeds, evaluates or loads releases it;
// Python callbacks take it back for the length of the call. A callback that raises
// throws pybind11's error_already_set through the library, which unwinds the generation
// as any handler error does, and the original Python exception reaches the caller.
#include "module.h"

PYBIND11_MODULE(_evokit, m) {
  using namespace evokit::python;
  m.doc() = "evokit: genetic algorithms and genetic programming in C++";
  BindLibrary(m);
  BindEnums(m);
  BindGA(m);
  BindGP(m);
  BindRegression(m);
}
