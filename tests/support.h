// Helpers shared by the test programs: gene builders, the OneMax fitness, the small
// readers that turn populations, elements, reports and files into plain values for comparison,
// the message of an expected exception and scratch file names.
// Each test program includes this header once; everything is inline.
#pragma once

#include <evokit/ga/ga.h>
#include <evokit/platform/xml.h>

#include "concat.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace evokit::test {

// A gene of the given type and width, appended to Genes.
inline TMXGAGene* AddGene(TMXGAGenes& Genes, TGeneType Type, int Size, bool Signed = false,
                          const std::string& Name = "") {
  TMXGAGene* gene = Genes.Add();
  if (!Name.empty()) gene->SetName(Name);
  gene->SetGeneType(Type);
  gene->SetPreserveSignBit(Signed);
  gene->SetSize(Size);
  return gene;
}

inline TMXGAGene* AddGene(TMXCustomGeneticAlgorithm& GA, TGeneType Type, int Size, bool Signed = false,
                          const std::string& Name = "") {
  return AddGene(*GA.Genes(), Type, Size, Signed, Name);
}

// An enumeration gene over Names (its width follows the number of names).
inline TMXGAGene* AddEnumeration(TMXGAGenes& Genes, std::initializer_list<const char*> Names,
                                 const std::string& Name = "") {
  TMXGAGene* gene = AddGene(Genes, gtEnumeration, 0, false, Name);
  for (const char* name : Names) gene->Enumerations()->Add(name);
  return gene;
}

// OneMax: the fitness is the number of set bits.
inline void CountBits(TObject*, TMXIndividual* Item, TGAFitness& Fitness) {
  Fitness = static_cast<TMXGAIndividual*>(Item)->Bits()->CountSetBits();
}

// Every individual's chromosome as a bit string, in population order.
inline std::vector<std::string> Chromosomes(const TMXGAPopulation& Population) {
  std::vector<std::string> out;
  for (int i = 0; i < Population.Count(); ++i) out.push_back(Population.Items(i)->Bits()->ToBitString());
  return out;
}

// The names of Node's child elements in document order.
inline std::vector<std::string> ChildNames(const TXMLNode& Node) {
  std::vector<std::string> names;
  for (TXMLNode child : Node.ChildNodes()) names.push_back(child.NodeName());
  return names;
}

// The lines of a report; every line, the last included, must end with a line break.
inline std::vector<std::string> Lines(const std::string& Text) {
  std::vector<std::string> lines;
  std::string::size_type start = 0;
  for (std::string::size_type nl; (nl = Text.find('\n', start)) != std::string::npos; start = nl + 1)
    lines.push_back(Text.substr(start, nl - start));
  EXPECT_EQ(start, Text.size()) << "the text does not end with a line break";
  return lines;
}

// The message of the E that Action raises, or "no exception" (another exception escapes).
template <class E, class F>
std::string ErrorOf(F&& Action) {
  try {
    Action();
  } catch (const E& e) {
    return e.Message();
  }
  return "no exception";
}

// A file's whole content.
inline std::string ReadFile(const std::filesystem::path& Path) {
  std::ostringstream out;
  out << std::ifstream(Path, std::ios::binary).rdbuf();
  return out.str();
}

// A file name in the temporary folder, unique to this process.
inline std::string TempPath(const std::string& Name) {
  return (std::filesystem::temp_directory_path() / ("evokit_" + std::to_string(::getpid()) + "_" + Name)).string();
}

}  // namespace evokit::test
