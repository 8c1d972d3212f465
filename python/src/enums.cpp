// The enumerations as IntEnums, their members named from the library's names.
#include "enums.h"

#include <cctype>
#include <map>
#include <string>
#include <string_view>

#include <evokit/evokit.h>

#include "module.h"

namespace evokit::python {

namespace {

// "smStochasticTournament" -> "STOCHASTIC_TOURNAMENT": the lower-case prefix dropped,
// the words joined by underscores; a run of capitals is one word ("smNSGA2" -> "NSGA2"),
// but its last one starts the next word ("rmRSquared" -> "R_SQUARED").
std::string PythonMemberName(std::string_view Name) {
  std::size_t i = 0;
  while (i < Name.size() && std::islower(static_cast<unsigned char>(Name[i]))) ++i;
  std::string out;
  for (std::size_t j = i; j < Name.size(); ++j) {
    const char c = Name[j];
    const auto lower = [&](std::size_t k) {
      return k < Name.size() && std::islower(static_cast<unsigned char>(Name[k]));
    };
    if (std::isupper(static_cast<unsigned char>(c)) && j > i && (lower(j - 1) || lower(j + 1))) out += '_';
    out += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return out;
}

std::map<std::string, py::object>& EnumClasses() {
  static auto* classes = new std::map<std::string, py::object>();  // lives as long as the interpreter
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

}  // namespace

const py::object& EnumClass(const char* PyName) { return EnumClasses().at(PyName); }

void BindEnums(py::module_& m) {
  AddEnum<TGAFitnessMethod>(m, "FitnessMethod");
  AddEnum<TGASelectionMethod>(m, "SelectionMethod");
  AddEnum<TGAObjectiveSense>(m, "ObjectiveSense");
  AddEnum<TGACrossoverMethod>(m, "CrossoverMethod");
  AddEnum<TGAMutationMethod>(m, "MutationMethod");
  AddEnum<TGAGeneticOperation>(m, "GeneticOperation");
  AddEnum<TGeneType>(m, "GeneType");
  AddEnum<TGPInitializationMethod>(m, "InitializationMethod");
  AddEnum<TGPBloatStrategy>(m, "BloatStrategy");
  AddEnum<TGPCrossoverMethod>(m, "GPCrossoverMethod");
  AddEnum<TGPPointMutationMethod>(m, "PointMutationMethod");
  AddEnum<TGPRegressionMetric>(m, "RegressionMetric");
}

}  // namespace evokit::python
