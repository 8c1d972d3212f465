// The library's enumerations in Python: each is an IntEnum of the module (BindEnums makes
// them), read and written through the helpers below. A property refuses anything but a
// member of its IntEnum, a plain int included.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <string>

namespace evokit::python {

namespace py = pybind11;

// The IntEnum class the module calls PyName ("FitnessMethod").
const py::object& EnumClass(const char* PyName);

template <class E>
py::object ToPy(E Value, const char* PyName) {
  return EnumClass(PyName)(static_cast<int>(Value));
}

// A member of the IntEnum PyName as E; TypeError for anything else.
template <class E>
E FromPy(const py::object& Value, const char* PyName) {
  if (!py::isinstance(Value, EnumClass(PyName)))
    throw py::type_error(std::string("expected evokit.") + PyName + ", got " +
                         std::string(py::str(Value.get_type().attr("__name__"))));
  return static_cast<E>(Value.cast<int>());
}

// A property Name holding an enumeration of the object Of(state) reaches: read as a
// member of the IntEnum PyName, written from one.
template <class S, class Owner, class E, class Getter, class Setter>
void EnumProperty(py::class_<S, std::shared_ptr<S>>& Cls, const char* Name, const char* PyName, Owner Of,
                  E (Getter::*Get)() const, void (Setter::*Set)(E), const char* Doc) {
  Cls.def_property(
      Name, [=](S& s) { return ToPy((Of(s).*Get)(), PyName); },
      [=](S& s, const py::object& v) { (Of(s).*Set)(FromPy<E>(v, PyName)); }, Doc);
}

}  // namespace evokit::python
