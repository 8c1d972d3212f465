// Library-wide bindings: one Python exception class per library exception class, with the
// translation that raises them, the random source's seed and the thread pool's size.
#include <pybind11/pybind11.h>

#include <cstdint>
#include <exception>
#include <map>
#include <string>

#include <evokit/platform/exceptions.h>
#include <evokit/platform/parallel.h>
#include <evokit/platform/random.h>

#include "module.h"

namespace evokit::python {

namespace {

// The Python class of each library exception class, by its ClassName.
std::map<std::string, py::object>& ExceptionClasses() {
  static auto* classes = new std::map<std::string, py::object>();  // lives as long as the interpreter
  return *classes;
}

void BindExceptions(py::module_& m) {
  struct TDecl {
    const char* Name;     // the library's class, also kept as an alias in the module
    const char* PyName;   // the Python name: ...Error
    const char* Base;     // the library's base class
    const char* Builtin;  // a second, built-in base: lets plain `except ValueError` work
  };
  static const TDecl decls[] = {
      {"Exception", "Error", nullptr, nullptr},
      {"EListError", "ListError", "Exception", "IndexError"},
      {"EArgumentOutOfRangeException", "ArgumentOutOfRangeError", "Exception", "ValueError"},
      {"EConvertError", "ConvertError", "Exception", "ValueError"},
      {"EInvalidCast", "InvalidCastError", "Exception", "TypeError"},
      {"EVariantTypeCastError", "VariantTypeCastError", "Exception", "TypeError"},
      {"EStreamError", "StreamError", "Exception", "OSError"},
      {"EFOpenError", "FileOpenError", "EStreamError", nullptr},
      {"EFCreateError", "FileCreateError", "EStreamError", nullptr},
      {"EReadError", "ReadError", "EStreamError", nullptr},
      {"EXMLDocError", "XMLDocError", "Exception", "ValueError"},
      {"EComponentError", "ComponentError", "Exception", nullptr},
      {"EDataTableError", "DataTableError", "Exception", "ValueError"},
      {"EMXException", "MXError", "Exception", nullptr},
      {"EGAException", "GAError", "EMXException", nullptr},
      {"EGPException", "GPError", "EGAException", nullptr},
  };
  py::module_ builtins = py::module_::import("builtins");
  for (const TDecl& d : decls) {
    py::list bases;
    bases.append(d.Base ? ExceptionClasses().at(d.Base) : builtins.attr("Exception"));
    if (d.Builtin) bases.append(builtins.attr(d.Builtin));
    const std::string qualified = std::string("evokit.") + d.PyName;
    py::object cls = py::reinterpret_steal<py::object>(
        PyErr_NewException(qualified.c_str(), py::tuple(bases).ptr(), nullptr));
    if (!cls) throw py::error_already_set();
    m.attr(d.PyName) = cls;
    // The base keeps only its Python name: an alias "Exception" would hide the built-in.
    if (d.Base) m.attr(d.Name) = cls;
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

}  // namespace

void BindLibrary(py::module_& m) {
  BindExceptions(m);
  m.def("rand_seed", [](std::uint64_t seed) { RandSeed(seed); }, py::arg("seed"),
        "Seeds the library's random source: a seeded run repeats exactly.");
  m.def("set_max_threads", [](int n) {
    if (n < 0) throw py::value_error("the thread count must not be negative");
    TParallel::SetMaxThreads(n);
  }, py::arg("count"), "Workers of parallel_evolve (0: one per core).");
}

}  // namespace evokit::python
