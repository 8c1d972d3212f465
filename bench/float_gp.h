// A float GP component for the benchmarks: standard primitives, float nodes, and no
// persistence (the benchmarks never save or load).
#pragma once

#include <evokit/gp/genetic_programming.h>
#include <evokit/gp/primitives.h>

#include <stdexcept>
#include <string>

namespace evokit::bench {

class TFloatBenchGP : public TMXCustomGeneticProgramming<double> {
 public:
  TFloatBenchGP() { RecreateInstructions({}); }
  TMXGPInstructions<double>* CreateInstructions(TCollectionItemClass) override {
    return new TMXGPFloatInstructions(this, TCollectionItemClass::Of<TMXGPFloatPrimitive>());
  }
  TMXGPNode<double>* CreateNode(TMXGPInstruction<double>* I, TMXGPNode<double>* P) override {
    return new TMXGPFloatNode(I, P);
  }
  void LoadFromFile(const std::string&) override { Unused(); }
  void LoadFromStream(TStream&) override { Unused(); }
  void SaveToFile(const std::string&) override { Unused(); }
  void SaveToStream(TStream&) override { Unused(); }
  void LoadFromXML(const IXMLGeneticProgram&) override { Unused(); }
  void LoadFromXML(const IXMLGPDomainType&) override { Unused(); }
  void LoadFromXML(const IXMLGPInstructions&) override { Unused(); }
  void SaveToXML(const IXMLGeneticProgram&) override { Unused(); }
  void SaveToXML(const IXMLGPDomainType&) override { Unused(); }
  void SaveToXML(const IXMLGPInstructions&) override { Unused(); }

 private:
  [[noreturn]] static void Unused() { throw std::logic_error("not used by the benchmarks"); }
};

}  // namespace evokit::bench
