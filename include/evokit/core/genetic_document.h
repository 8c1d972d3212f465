// The GeneticDocument element layer: typed bindings for the settings document of a
// genetic component (root element GeneticDocument) and for the reproduction element that
// the GA and GP documents build on, with the document functions NewGeneticDocument,
// LoadGeneticDocument and GetGeneticDocument. The bindings only read and write element
// text; which settings go in and how they are applied is the component's business
// (genetic_component.h).
//
// Value rules: floats pass through single precision (the component's doubles are
// narrowed on writing); a boolean reads true exactly when its lower-case text is "true"
// and is written "True"/"False". Getters look elements up by name and never create a
// text element: a missing or empty element reads as 0, "" or false. Getters of
// element-valued children (SelectionMethod) create the child when it is missing. Setters
// append a missing element, so the write order is the document order. Numbers that do
// not convert raise EConvertError.
// Thread safety: as the XML layer, a document and its bindings belong to one thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <evokit/platform/xml.h>

namespace evokit {

namespace detail {
// Writes the whole of Doc to Stream with one write. The text is printed into a buffer of
// its exact size, measured by a first printing pass: growing a buffer (or a memory
// stream) step by step costs several times the printing for large documents.
void WriteXMLDocument(const TXMLDocument& Doc, TStream& Stream);

// Reading helpers shared by the settings bindings: the child element's value, or the
// empty value when the element is missing.
std::string ChildTextOrEmpty(const TXMLNode& Node, std::string_view Name);
float ChildSingle(const TXMLNode& Node, std::string_view Name);
double ChildFloat(const TXMLNode& Node, std::string_view Name);
int ChildInteger(const TXMLNode& Node, std::string_view Name);
std::uint32_t ChildCardinal(const TXMLNode& Node, std::string_view Name);
bool ChildBoolean(const TXMLNode& Node, std::string_view Name);
}  // namespace detail

// <GeneticDocument>: the common settings of a genetic component, one text element each.
class IXMLGeneticDocumentType : public TXMLNodeBinding {
 public:
  using TXMLNodeBinding::TXMLNodeBinding;

  float Get_DiversityLimit() const { return detail::ChildSingle(Node(), "DiversityLimit"); }
  void Set_DiversityLimit(float Value) const { Child("DiversityLimit").SetAsSingle(Value); }
  float Get_AvgFitness() const { return detail::ChildSingle(Node(), "AvgFitness"); }
  void Set_AvgFitness(float Value) const { Child("AvgFitness").SetAsSingle(Value); }
  float Get_MaxFitness() const { return detail::ChildSingle(Node(), "MaxFitness"); }
  void Set_MaxFitness(float Value) const { Child("MaxFitness").SetAsSingle(Value); }
  float Get_MinFitness() const { return detail::ChildSingle(Node(), "MinFitness"); }
  void Set_MinFitness(float Value) const { Child("MinFitness").SetAsSingle(Value); }
  float Get_FitnessCutoff() const { return detail::ChildSingle(Node(), "FitnessCutoff"); }
  void Set_FitnessCutoff(float Value) const { Child("FitnessCutoff").SetAsSingle(Value); }
  // The value name of a TGAFitnessMethod ("" when missing).
  std::string Get_FitnessMethod() const { return detail::ChildTextOrEmpty(Node(), "FitnessMethod"); }
  void Set_FitnessMethod(std::string_view Value) const { Child("FitnessMethod").SetText(Value); }
  int Get_Generation() const { return detail::ChildInteger(Node(), "Generation"); }
  void Set_Generation(int Value) const { Child("Generation").SetAsInteger(Value); }
  bool Get_UseDiversityLimit() const { return detail::ChildBoolean(Node(), "UseDiversityLimit"); }
  void Set_UseDiversityLimit(bool Value) const { Child("UseDiversityLimit").SetAsBoolean(Value); }
  bool Get_UseFitnessCutoff() const { return detail::ChildBoolean(Node(), "UseFitnessCutoff"); }
  void Set_UseFitnessCutoff(bool Value) const { Child("UseFitnessCutoff").SetAsBoolean(Value); }
  // Unsigned 32-bit: negative text raises EConvertError.
  std::uint32_t Get_GenerationLimit() const { return detail::ChildCardinal(Node(), "GenerationLimit"); }
  void Set_GenerationLimit(std::uint32_t Value) const { Child("GenerationLimit").SetAsCardinal(Value); }
  bool Get_UseGenerationLimit() const { return detail::ChildBoolean(Node(), "UseGenerationLimit"); }
  void Set_UseGenerationLimit(bool Value) const { Child("UseGenerationLimit").SetAsBoolean(Value); }
};
using TXMLGeneticDocumentType = IXMLGeneticDocumentType;

// <SelectionMethod>: Method (a TGASelectionMethod value name), ElitistPercent (single)
// and TournamentField (signed 32-bit).
class IXMLReproductionType_SelectionMethod : public TXMLNodeBinding {
 public:
  using TXMLNodeBinding::TXMLNodeBinding;

  std::string Get_Method() const { return detail::ChildTextOrEmpty(Node(), "Method"); }
  void Set_Method(std::string_view Value) const { Child("Method").SetText(Value); }
  float Get_ElitistPercent() const { return detail::ChildSingle(Node(), "ElitistPercent"); }
  void Set_ElitistPercent(float Value) const { Child("ElitistPercent").SetAsSingle(Value); }
  int Get_TournamentField() const { return detail::ChildInteger(Node(), "TournamentField"); }
  void Set_TournamentField(int Value) const { Child("TournamentField").SetAsInteger(Value); }
};
using TXMLReproductionType_SelectionMethod = IXMLReproductionType_SelectionMethod;

// A reproduction element: the three operator probabilities (single) and the selection
// method. The GeneticDocument itself has none; the GA and GP documents extend this one.
class IXMLReproductionType : public TXMLNodeBinding {
 public:
  using TXMLNodeBinding::TXMLNodeBinding;

  float Get_CrossoverProbability() const { return detail::ChildSingle(Node(), "CrossoverProbability"); }
  void Set_CrossoverProbability(float Value) const { Child("CrossoverProbability").SetAsSingle(Value); }
  float Get_InversionProbability() const { return detail::ChildSingle(Node(), "InversionProbability"); }
  void Set_InversionProbability(float Value) const { Child("InversionProbability").SetAsSingle(Value); }
  float Get_MutationProbability() const { return detail::ChildSingle(Node(), "MutationProbability"); }
  void Set_MutationProbability(float Value) const { Child("MutationProbability").SetAsSingle(Value); }
  // The SelectionMethod child, created when missing.
  IXMLReproductionType_SelectionMethod Get_SelectionMethod() const {
    return ChildAs<IXMLReproductionType_SelectionMethod>("SelectionMethod");
  }
};
using TXMLReproductionType = IXMLReproductionType;

// GetGeneticDocument(Doc) binds the root of a loaded document (EXMLDocError when it has
// another name; a document without a root gets one); LoadGeneticDocument(FileName) reads
// a file (EFOpenError, EXMLDocError); NewGeneticDocument() makes an empty document of
// version "1.0" with its GeneticDocument root.
EVOKIT_XML_DOCUMENT_FUNCTIONS(GeneticDocument, "GeneticDocument", IXMLGeneticDocumentType)

}  // namespace evokit
