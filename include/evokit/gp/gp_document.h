// The GP domain element layer: typed bindings for the elements that store instruction
// sets, program trees, individuals and populations (root elements GPDomain,
// Instructions and Population), the GeneticProgram document that adds a GP component's
// settings to a domain, and their document functions. The bindings only read
// and write element text; what goes into them is decided by the instruction sets and
// nodes (program.h), the individuals and populations, and the components.
//
// Getters never create text elements: a missing attribute or text child reads as ""
// (0 for Arity and Fitness). Getters of element-valued children (Instructions,
// FittestIndividual, Population, DNA) create the child when it is missing, so reading
// them always yields an element. Numbers that do not convert raise EConvertError.
// Thread safety: as the XML layer, a document and its bindings belong to one thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <evokit/core/genetic_document.h>
#include <evokit/platform/variant.h>
#include <evokit/platform/xml.h>

namespace evokit {

class IXMLDnaType;

// Base of the five instruction elements: the Name and Comment attributes. The element's
// tag name tells its kind (InstructionElementKind).
class IXMLInstructionType : public TXMLNodeBinding {
 public:
  using TXMLNodeBinding::TXMLNodeBinding;
  std::string Get_Name() const;
  std::string Get_Comment() const;
  void Set_Name(std::string_view Value) const;
  void Set_Comment(std::string_view Value) const;
};

// <Function Name=".." Comment=".." Arity="2"/>; Arity is an unsigned byte.
class IXMLFunctionInstructionType : public IXMLInstructionType {
 public:
  using IXMLInstructionType::IXMLInstructionType;
  std::uint8_t Get_Arity() const;
  void Set_Arity(std::uint8_t Value) const;
};

// <Constant Name=".." Comment=".."><Value>text</Value></Constant>
class IXMLConstantInstructionType : public IXMLInstructionType {
 public:
  using IXMLInstructionType::IXMLInstructionType;
  std::string Get_Value() const;
  void Set_Value(std::string_view Value) const;
};

// <FloatConstant>: as Constant, the value being the text of a decimal number.
class IXMLFloatConstantInstructionType : public IXMLInstructionType {
 public:
  using IXMLInstructionType::IXMLInstructionType;
  std::string Get_Value() const;
  void Set_Value(std::string_view Value) const;
};

// <VariantConstant>: the value is a variant written as text (read back as a string).
class IXMLVariantConstantInstructionType : public IXMLInstructionType {
 public:
  using IXMLInstructionType::IXMLInstructionType;
  Variant Get_Value() const;
  void Set_Value(const Variant& Value) const;
};

// <Variable Name=".." Comment=".."/>
class IXMLVariableInstructionType : public IXMLInstructionType {
 public:
  using IXMLInstructionType::IXMLInstructionType;
};

using IXMLFunctionInstructionTypeList = TXMLNodeList<IXMLFunctionInstructionType>;
using IXMLConstantInstructionTypeList = TXMLNodeList<IXMLConstantInstructionType>;
using IXMLFloatConstantInstructionTypeList = TXMLNodeList<IXMLFloatConstantInstructionType>;
using IXMLVariantConstantInstructionTypeList = TXMLNodeList<IXMLVariantConstantInstructionType>;
using IXMLVariableInstructionTypeList = TXMLNodeList<IXMLVariableInstructionType>;

// The kinds of instruction element, by tag name.
enum TXMLInstructionElementKind { ikUnknown, ikFunction, ikVariable, ikConstant, ikFloatConstant, ikVariantConstant };
// The kind of an instruction element from its tag name; ikUnknown for any other name.
TXMLInstructionElementKind InstructionElementKind(const TXMLNodeBinding& Element);

// <Instructions>: Function, FloatConstant, VariantConstant, Constant and Variable children
// in any mix, each kind read and written as its own list.
class IXMLGPInstructions : public TXMLNodeBinding {
 public:
  using TXMLNodeBinding::TXMLNodeBinding;
  IXMLFunctionInstructionTypeList Get_Function_() const { return ChildList<IXMLFunctionInstructionType>("Function"); }
  IXMLFloatConstantInstructionTypeList Get_FloatConstant() const {
    return ChildList<IXMLFloatConstantInstructionType>("FloatConstant");
  }
  IXMLVariantConstantInstructionTypeList Get_VariantConstant() const {
    return ChildList<IXMLVariantConstantInstructionType>("VariantConstant");
  }
  IXMLConstantInstructionTypeList Get_Constant() const { return ChildList<IXMLConstantInstructionType>("Constant"); }
  IXMLVariableInstructionTypeList Get_Variable() const { return ChildList<IXMLVariableInstructionType>("Variable"); }
};

using IXMLDnaTypeList = TXMLNodeList<IXMLDnaType>;

// A program tree node: <DNA Instruction="Add"><Child .../><Child .../></DNA>, and the
// same under the name Child for every child node. Constant nodes carry a <Value>, and so do
// variable nodes with a value other than zero (a fitted weight); without one they load as zero.
class IXMLDnaType : public TXMLNodeBinding {
 public:
  using TXMLNodeBinding::TXMLNodeBinding;
  std::string Get_Instruction() const;
  std::string Get_Value() const;
  // The Child elements in document order.
  IXMLDnaTypeList Get_Child() const { return ChildList<IXMLDnaType>("Child"); }
  void Set_Instruction(std::string_view Value) const;
  void Set_Value(std::string_view Value) const;
};

// <Individual> and <FittestIndividual>: Name, Fitness (a 32-bit float) and DNA children.
class IXMLIndividualType : public TXMLNodeBinding {
 public:
  using TXMLNodeBinding::TXMLNodeBinding;
  std::string Get_Name() const;
  float Get_Fitness() const;
  // The DNA child, created when missing.
  IXMLDnaType Get_DNA() const { return ChildAs<IXMLDnaType>("DNA"); }
  void Set_Name(std::string_view Value) const;
  void Set_Fitness(float Value) const;
};

// <Population>: the list of its Individual children.
class IXMLGPPopulation : public TXMLNodeList<IXMLIndividualType> {
 public:
  IXMLGPPopulation() : TXMLNodeList<IXMLIndividualType>(TXMLNode(), "Individual") {}
  explicit IXMLGPPopulation(TXMLNode Node) : TXMLNodeList<IXMLIndividualType>(Node, "Individual") {}
  TXMLNode Node() const { return Parent(); }
  explicit operator bool() const { return !Parent().IsNull(); }
  std::string XML() const { return Parent().XML(); }
  // Individual Index; EListError outside 0..Count-1.
  IXMLIndividualType Get_Individual(int Index) const { return Items(Index); }
};

// <GPDomain> (also the Domain element of a GeneticProgram document): Instructions,
// FittestIndividual and Population, each created on first access.
class IXMLGPDomainType : public TXMLNodeBinding {
 public:
  using TXMLNodeBinding::TXMLNodeBinding;
  IXMLGPInstructions Get_Instructions() const { return ChildAs<IXMLGPInstructions>("Instructions"); }
  IXMLIndividualType Get_FittestIndividual() const { return ChildAs<IXMLIndividualType>("FittestIndividual"); }
  IXMLGPPopulation Get_Population() const { return ChildAs<IXMLGPPopulation>("Population"); }
};

// <MutationWeights>: the relative weight of each mutation method, one integer element per
// method named after it (0 when missing).
class IXMLGPReproductionType_MutationWeights : public TXMLNodeBinding {
 public:
  using TXMLNodeBinding::TXMLNodeBinding;
  // The weight element called Element ("mmSubtree"), as the component reads and writes
  // every method's weight.
  int Get_Weight(std::string_view Element) const { return detail::ChildInteger(Node(), Element); }
  void Set_Weight(std::string_view Element, int Value) const { Child(Element).SetAsInteger(Value); }
  int Get_MmSubtree() const { return detail::ChildInteger(Node(), "mmSubtree"); }
  void Set_MmSubtree(int Value) const { Child("mmSubtree").SetAsInteger(Value); }
  int Get_MmReplacement() const { return detail::ChildInteger(Node(), "mmReplacement"); }
  void Set_MmReplacement(int Value) const { Child("mmReplacement").SetAsInteger(Value); }
  int Get_MmConstant() const { return detail::ChildInteger(Node(), "mmConstant"); }
  void Set_MmConstant(int Value) const { Child("mmConstant").SetAsInteger(Value); }
  int Get_MmShrink() const { return detail::ChildInteger(Node(), "mmShrink"); }
  void Set_MmShrink(int Value) const { Child("mmShrink").SetAsInteger(Value); }
  int Get_MmHoist() const { return detail::ChildInteger(Node(), "mmHoist"); }
  void Set_MmHoist(int Value) const { Child("mmHoist").SetAsInteger(Value); }
  int Get_MmPoint() const { return detail::ChildInteger(Node(), "mmPoint"); }
  void Set_MmPoint(int Value) const { Child("mmPoint").SetAsInteger(Value); }
};

// <Reproduction> of a GeneticProgram document: the common probabilities and
// SelectionMethod, then the GP settings. A missing or empty method name reads as the
// default method (cmSubtree, imFull, mmSubtree, pmmPerNode); missing numbers read as 0.
// MutationMethod belongs to the format, but the component neither reads nor writes it.
class IXMLGPReproductionType : public IXMLReproductionType {
 public:
  using IXMLReproductionType::IXMLReproductionType;
  std::string Get_CrossoverMethod() const { return TextOr("CrossoverMethod", "cmSubtree"); }
  void Set_CrossoverMethod(std::string_view Value) const { Child("CrossoverMethod").SetText(Value); }
  std::string Get_InitializationMethod() const { return TextOr("InitializationMethod", "imFull"); }
  void Set_InitializationMethod(std::string_view Value) const { Child("InitializationMethod").SetText(Value); }
  int Get_InitializationDepth() const { return detail::ChildInteger(Node(), "InitializationDepth"); }
  void Set_InitializationDepth(int Value) const { Child("InitializationDepth").SetAsInteger(Value); }
  std::string Get_MutationMethod() const { return TextOr("MutationMethod", "mmSubtree"); }
  void Set_MutationMethod(std::string_view Value) const { Child("MutationMethod").SetText(Value); }
  // The MutationWeights child, created when missing.
  IXMLGPReproductionType_MutationWeights Get_MutationWeights() const {
    return ChildAs<IXMLGPReproductionType_MutationWeights>("MutationWeights");
  }
  // The element name has a lower-case t.
  float Get_SelectionNonterminalsProbability() const {
    return detail::ChildSingle(Node(), "SelectionNonterminalsProbability");
  }
  void Set_SelectionNonterminalsProbability(float Value) const {
    Child("SelectionNonterminalsProbability").SetAsSingle(Value);
  }
  std::string Get_PointMutationMethod() const { return TextOr("PointMutationMethod", "pmmPerNode"); }
  void Set_PointMutationMethod(std::string_view Value) const { Child("PointMutationMethod").SetText(Value); }
  float Get_PointMutationProbability() const { return detail::ChildSingle(Node(), "PointMutationProbability"); }
  void Set_PointMutationProbability(float Value) const { Child("PointMutationProbability").SetAsSingle(Value); }

 private:
  std::string TextOr(std::string_view Name, const char* Default) const {
    std::string text = detail::ChildTextOrEmpty(Node(), Name);
    return text.empty() ? std::string(Default) : text;
  }
};

// <GeneticProgram>: the GeneticDocument settings, then Reproduction and Domain (a GPDomain
// element), each created on first access.
class IXMLGeneticProgram : public IXMLGeneticDocumentType {
 public:
  using IXMLGeneticDocumentType::IXMLGeneticDocumentType;
  IXMLGPReproductionType Get_Reproduction() const { return ChildAs<IXMLGPReproductionType>("Reproduction"); }
  IXMLGPDomainType Get_Domain() const { return ChildAs<IXMLGPDomainType>("Domain"); }
};

// GetGPDomain(Doc), LoadGPDomain(FileName), NewGPDomain() and the same for Instructions,
// Population and GeneticProgram roots. Get binds an existing document's root (EXMLDocError when it has
// another name), Load reads a file (EFOpenError, EXMLDocError), New creates a document
// with version "1.0" and the root element.
EVOKIT_XML_DOCUMENT_FUNCTIONS(GPDomain, "GPDomain", IXMLGPDomainType)
EVOKIT_XML_DOCUMENT_FUNCTIONS(GPInstructions, "Instructions", IXMLGPInstructions)
EVOKIT_XML_DOCUMENT_FUNCTIONS(GPPopulation, "Population", IXMLGPPopulation)
EVOKIT_XML_DOCUMENT_FUNCTIONS(GeneticProgram, "GeneticProgram", IXMLGeneticProgram)

}  // namespace evokit
