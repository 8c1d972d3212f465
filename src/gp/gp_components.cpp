#include <evokit/gp/gp_components.h>

namespace evokit {

void TMXGeneticProgramming::DeclareProperties(TPropertyRegistry& Reg) {
  TMXCustomGeneticProgrammingFloat::DeclareProperties(Reg);
  DeclareGPProperties(Reg);
}

void TMXBinaryGeneticProgramming::DeclareProperties(TPropertyRegistry& Reg) {
  TMXCustomBinaryGeneticProgramming::DeclareProperties(Reg);
  DeclareGPProperties(Reg);
}

void TMXGeneticProgrammingVariant::DeclareProperties(TPropertyRegistry& Reg) {
  TMXCustomGeneticProgrammingVariant::DeclareProperties(Reg);
  DeclareGPProperties(Reg);
}

void TMXGeneticProgrammingExecutor::DeclareProperties(TPropertyRegistry& Reg) {
  TMXCustomGeneticProgrammingFloatExecutor::DeclareProperties(Reg);
  DeclareExecutorProperties(Reg);
}

void TMXGeneticProgrammingVariantExecutor::DeclareProperties(TPropertyRegistry& Reg) {
  TMXCustomGeneticProgrammingVariantExecutor::DeclareProperties(Reg);
  DeclareExecutorProperties(Reg);
}

}  // namespace evokit
