// The GA document element layer: typed bindings for the GeneticAlgorithm document
// (the GeneticDocument settings, Reproduction and Domain) and for the GADomain, GenoType
// and Chromosomes elements, which are also the roots of documents of their own, with the
// document functions GetX/LoadX/NewX of the four roots. The bindings only read and write
// element text; what goes into them is decided by the genes, individuals, populations and
// the GA component (their SaveToXML/LoadFromXML operations).
//
// Value rules as in the GeneticDocument layer (genetic_document.h): singles pass through
// 32-bit floats, booleans read true exactly when their lower-case text is "true", getters
// never create a text element (a missing or empty one reads as 0, "" or false), getters
// of element-valued children create the child when it is missing, setters append missing
// elements, and numbers that do not convert raise EConvertError.
//
// The reproduction element of the GA document adds CrossoverMethod to the common
// reproduction element of genetic_document.h; since both layers live in one namespace,
// the GA's is named IXMLGAReproductionType, and IXMLSelectionMethod is the common
// selection element.
// Thread safety: as the XML layer, a document and its bindings belong to one thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <evokit/core/genetic_document.h>
#include <evokit/platform/xml.h>

namespace evokit {

// A list of same-named child elements with the accessor names of the GA layer:
// Get_Item(Index), Add(), Insert(Index), Count(), Clear(), Delete(Index), Remove(Item).
template <class TItem>
class TXMLGAElementList : public TXMLNodeList<TItem> {
 public:
  using TXMLNodeList<TItem>::TXMLNodeList;
  // EListError outside 0..Count-1.
  TItem Get_Item(int Index) const { return this->Items(Index); }
};

// A list of same-named value elements: Get_Item(Index) gives the value, Add(Value) and
// Insert(Index, Value) add an element holding it.
template <class V>
class TXMLGAValueList : public TXMLValueList<V> {
 public:
  using TXMLValueList<V>::TXMLValueList;
  V Get_Item(int Index) const { return this->Items(Index); }
};

using IXMLBooleanList = TXMLGAValueList<bool>;
using IXMLIntegerList = TXMLGAValueList<int>;
using IXMLFloatList = TXMLGAValueList<float>;
using IXMLString_List = TXMLGAValueList<std::string>;

// The selection element of the Reproduction part: Method, ElitistPercent, TournamentField.
using IXMLSelectionMethod = IXMLReproductionType_SelectionMethod;

// <Reproduction> of a GeneticAlgorithm document: CrossoverMethod (a TGACrossoverMethod
// value name), then the common probabilities and SelectionMethod.
class IXMLGAReproductionType : public IXMLReproductionType {
 public:
  using IXMLReproductionType::IXMLReproductionType;
  std::string Get_CrossoverMethod() const { return detail::ChildTextOrEmpty(Node(), "CrossoverMethod"); }
  void Set_CrossoverMethod(std::string_view Value) const { Child("CrossoverMethod").SetText(Value); }
};

// The common part of the four gene elements: Name and Size.
class IXMLGeneType : public TXMLNodeBinding {
 public:
  using TXMLNodeBinding::TXMLNodeBinding;
  std::string Get_Name() const { return detail::ChildTextOrEmpty(Node(), "Name"); }
  void Set_Name(std::string_view Value) const { Child("Name").SetText(Value); }
  int Get_Size() const { return detail::ChildInteger(Node(), "Size"); }
  void Set_Size(int Value) const { Child("Size").SetAsInteger(Value); }
};

// <BooleanGene>: Name and Size.
class IXMLBooleanGeneType : public IXMLGeneType {
 public:
  using IXMLGeneType::IXMLGeneType;
};

// The numeric gene elements add MinValue, MaxValue (doubles) and PreserveSignBit.
class IXMLNumericGeneType : public IXMLGeneType {
 public:
  using IXMLGeneType::IXMLGeneType;
  double Get_MinValue() const { return detail::ChildFloat(Node(), "MinValue"); }
  void Set_MinValue(double Value) const { Child("MinValue").SetAsFloat(Value); }
  double Get_MaxValue() const { return detail::ChildFloat(Node(), "MaxValue"); }
  void Set_MaxValue(double Value) const { Child("MaxValue").SetAsFloat(Value); }
  bool Get_PreserveSignBit() const { return detail::ChildBoolean(Node(), "PreserveSignBit"); }
  void Set_PreserveSignBit(bool Value) const { Child("PreserveSignBit").SetAsBoolean(Value); }
};

// <IntegerGene>
class IXMLIntegerGeneType : public IXMLNumericGeneType {
 public:
  using IXMLNumericGeneType::IXMLNumericGeneType;
};

// <FloatGene>
class IXMLFloatGeneType : public IXMLNumericGeneType {
 public:
  using IXMLNumericGeneType::IXMLNumericGeneType;
};

// <EnumerationGene>: the numeric children, then one Enumeration element per value name.
class IXMLEnumerationGeneType : public IXMLNumericGeneType {
 public:
  using IXMLNumericGeneType::IXMLNumericGeneType;
  IXMLString_List Get_Enumeration() const { return IXMLString_List(Node(), "Enumeration"); }
};

using IXMLBooleanGeneTypeList = TXMLGAElementList<IXMLBooleanGeneType>;
using IXMLIntegerGeneTypeList = TXMLGAElementList<IXMLIntegerGeneType>;
using IXMLFloatGeneTypeList = TXMLGAElementList<IXMLFloatGeneType>;
using IXMLEnumerationGeneTypeList = TXMLGAElementList<IXMLEnumerationGeneType>;

// The kinds of gene element, by tag name.
enum TXMLGeneElementKind { gkUnknown, gkBoolean, gkInteger, gkFloat, gkEnumeration };
// The kind of a child element of GenoType from its tag name; gkUnknown for any other name.
TXMLGeneElementKind GeneElementKind(const TXMLNode& Element);

// <GenoType Size="n">: one gene element per gene, in gene order, the kinds mixed. Each
// kind can be read and added as its own list; the whole sequence in document order is
// Node().ChildNodes().
class IXMLGenoType : public TXMLNodeBinding {
 public:
  using TXMLNodeBinding::TXMLNodeBinding;
  // The Size attribute (0 when absent).
  int Get_Size() const { return Node().AttributeAsInteger("Size"); }
  void Set_Size(int Value) const { Node().SetAttributeAsInteger("Size", Value); }
  IXMLBooleanGeneTypeList Get_BooleanGene() const { return IXMLBooleanGeneTypeList(Node(), "BooleanGene"); }
  IXMLIntegerGeneTypeList Get_IntegerGene() const { return IXMLIntegerGeneTypeList(Node(), "IntegerGene"); }
  IXMLFloatGeneTypeList Get_FloatGene() const { return IXMLFloatGeneTypeList(Node(), "FloatGene"); }
  IXMLEnumerationGeneTypeList Get_EnumerationGene() const {
    return IXMLEnumerationGeneTypeList(Node(), "EnumerationGene");
  }
};

// <Genes> of a chromosome: Bits (the chromosome's bit text), then one value element per
// gene in gene order (BooleanGeneValue, IntegerGeneValue, FloatGeneValue,
// EnumerationGeneValue). Values are written by the genes and read by nobody.
class IXMLGenes : public TXMLNodeBinding {
 public:
  using TXMLNodeBinding::TXMLNodeBinding;
  std::string Get_Bits() const { return detail::ChildTextOrEmpty(Node(), "Bits"); }
  void Set_Bits(std::string_view Value) const { Child("Bits").SetText(Value); }
  IXMLBooleanList Get_BooleanGeneValue() const { return IXMLBooleanList(Node(), "BooleanGeneValue"); }
  IXMLIntegerList Get_IntegerGeneValue() const { return IXMLIntegerList(Node(), "IntegerGeneValue"); }
  IXMLFloatList Get_FloatGeneValue() const { return IXMLFloatList(Node(), "FloatGeneValue"); }
  IXMLString_List Get_EnumerationGeneValue() const { return IXMLString_List(Node(), "EnumerationGeneValue"); }
};

// <Chromosome> (and <FittestIndividual>): Name, Fitness (single) and Genes.
class IXMLChromosome : public TXMLNodeBinding {
 public:
  using TXMLNodeBinding::TXMLNodeBinding;
  std::string Get_Name() const { return detail::ChildTextOrEmpty(Node(), "Name"); }
  void Set_Name(std::string_view Value) const { Child("Name").SetText(Value); }
  float Get_Fitness() const { return detail::ChildSingle(Node(), "Fitness"); }
  void Set_Fitness(float Value) const { Child("Fitness").SetAsSingle(Value); }
  // The Genes child, created when missing.
  IXMLGenes Get_Genes() const { return ChildAs<IXMLGenes>("Genes"); }
};

// <Chromosomes>: the list of its Chromosome children.
class IXMLChromosomes : public TXMLNodeList<IXMLChromosome> {
 public:
  IXMLChromosomes() : TXMLNodeList<IXMLChromosome>(TXMLNode(), "Chromosome") {}
  explicit IXMLChromosomes(TXMLNode Node) : TXMLNodeList<IXMLChromosome>(Node, "Chromosome") {}
  TXMLNode Node() const { return Parent(); }
  explicit operator bool() const { return !Parent().IsNull(); }
  std::string NodeName() const { return Parent().NodeName(); }
  std::string XML() const { return Parent().XML(); }
  // Chromosome Index; EListError outside 0..Count-1.
  IXMLChromosome Get_Chromosome(int Index) const { return Items(Index); }
};

// <GADomain> (also the Domain element of a GeneticAlgorithm document): GenoType,
// FittestIndividual and Chromosomes, each created on first access.
class IXMLGADomainType : public TXMLNodeBinding {
 public:
  using TXMLNodeBinding::TXMLNodeBinding;
  IXMLGenoType Get_GenoType() const { return ChildAs<IXMLGenoType>("GenoType"); }
  IXMLChromosome Get_FittestIndividual() const { return ChildAs<IXMLChromosome>("FittestIndividual"); }
  IXMLChromosomes Get_Chromosomes() const { return ChildAs<IXMLChromosomes>("Chromosomes"); }
};

// <GeneticAlgorithm>: the GeneticDocument settings, then Reproduction and Domain.
class IXMLGeneticAlgorithm : public IXMLGeneticDocumentType {
 public:
  using IXMLGeneticDocumentType::IXMLGeneticDocumentType;
  IXMLGAReproductionType Get_Reproduction() const { return ChildAs<IXMLGAReproductionType>("Reproduction"); }
  IXMLGADomainType Get_Domain() const { return ChildAs<IXMLGADomainType>("Domain"); }
};

// Get<X>(Doc) binds the root of an open document (EXMLDocError when it has another name),
// Load<X>(FileName) reads a file (EFOpenError, EXMLDocError), New<X>() makes an empty
// document of version "1.0" with the root element.
EVOKIT_XML_DOCUMENT_FUNCTIONS(GeneticAlgorithm, "GeneticAlgorithm", IXMLGeneticAlgorithm)
EVOKIT_XML_DOCUMENT_FUNCTIONS(GADomain, "GADomain", IXMLGADomainType)
EVOKIT_XML_DOCUMENT_FUNCTIONS(GenoType, "GenoType", IXMLGenoType)
EVOKIT_XML_DOCUMENT_FUNCTIONS(Chromosomes, "Chromosomes", IXMLChromosomes)

}  // namespace evokit
