// Gene definitions of the genetic algorithm: TMXGAGene (name, type, width, value range of
// one chromosome field, and its typed readers and writers), TMXGAGenes (the ordered
// collection whose fields lie end to end and which tells its component about every
// change) and BitsRequired. The bit layout of a field belongs to TMXEncodedBits; the
// chromosomes and the component live in chromosome.h and genetic_algorithm.h. The XML
// forms of the genes are added by the GA persistence module.
// Thread safety: a gene collection belongs to one thread. The readers set the bit
// string's PreserveSignBit flag, so two threads must not read the same chromosome at
// once; different chromosomes may be read concurrently through one gene.
#pragma once

#include <concepts>
#include <cstdint>
#include <memory>
#include <string>

#include <evokit/common/encoded_bits.h>
#include <evokit/core/consts.h>
#include <evokit/platform/collection.h>
#include <evokit/platform/filer.h>
#include <evokit/platform/strings.h>

namespace evokit {

class TMXGAGenes;
class TMXCustomGeneticAlgorithm;
class TMXGAIndividual;
class IXMLGenoType;
class IXMLGenes;

// The number of right shifts by one bit that bring N to 0: the field width an
// enumeration of N names needs (0 gives 0, 1 gives 1, 2 and 3 give 2, 256 gives 9).
std::int32_t BitsRequired(std::uint32_t N);

// One field of the chromosome. A new gene is gtUnknown, Size 0, Offset 0, bounds 0,
// unsigned, without an enumeration list.
//
// Setter rules: every setter ignores a value equal to the current one. Name and
// GeneType report the change to the collection (Changed); Size runs SizeChange, which
// recomputes the bounds and lets the collection move the later offsets and grow the
// component's chromosome length; PreserveSignBit recomputes the bounds only. The bound
// setters adjust the other bound (see SetMinValue and SetMaxValue) and report nothing.
class TMXGAGene : public TCollectionItem, public IPublishedProperties {
 public:
  // Joins Collection (when given) once the gene is fully built, so that the collection's
  // add notification sees a complete gene.
  explicit TMXGAGene(TCollection* Collection = nullptr);
  // Leaves the collection first (its notifications see a complete gene).
  ~TMXGAGene() override;

  std::string ClassName() const override { return "TMXGAGene"; }

  // The owning gene collection, or nullptr when detached or in another kind of collection.
  TMXGAGenes* Collection() const;
  using TCollectionItem::SetCollection;

  const std::string& Name() const { return FName; }
  void SetName(const std::string& Value);
  TGeneType GeneType() const { return FGeneType; }
  // Stores the type, recomputes the bounds (RecalcMinMax), then reports the change. A
  // numeric type (integer, float, enumeration) for a gene wider than MaxNumericSize
  // raises EGAException and changes nothing.
  void SetGeneType(TGeneType Value);
  // The widest integer, float or enumeration gene: every such value reads as a 64-bit
  // number at most.
  static constexpr std::int32_t MaxNumericSize = 64;
  // Width of the field in bits. A negative width is stored as 0. EGAException, with
  // nothing changed, when the width is above Limits().MaxGeneSize, above MaxNumericSize
  // for a numeric gene, or would take the genes' total above Limits().MaxGeneSize.
  std::int32_t Size() const { return FSize; }
  void SetSize(std::int32_t Value);
  // First bit of the field; kept by the collection (0 while detached).
  std::int32_t Offset() const { return FOffset; }
  // Upper and lower bound of the values written (reads are never clamped).
  double MaxValue() const { return FMaxValue; }
  double MinValue() const { return FMinValue; }
  // Sets MinValue; then, with Q = 2^Size: for integer and float genes, when the range
  // exceeds Q - 1 or MinValue > MaxValue, MaxValue becomes MinValue + Q - 1; for an
  // enumeration, MaxValue becomes MinValue + count of names - 1.
  void SetMinValue(double Value);
  // Sets MaxValue; then, with Q = 2^Size: for integer and float genes, when 2Q exceeds
  // the range, MinValue becomes MaxValue - Q; for an enumeration, when the count of names
  // is at least the range, MinValue becomes MaxValue - count; last, for every type but
  // gtBoolean, an unsigned gene's negative MinValue becomes 0.
  void SetMaxValue(double Value);
  // Whether the field holds a two's-complement number.
  bool PreserveSignBit() const { return FPreserveSignBit; }
  void SetPreserveSignBit(bool Value);

  // The value names of an enumeration gene, created empty on first access and owned by
  // the gene. While the gene is gtEnumeration every change of the list sets Size to
  // BitsRequired(count) and recomputes the bounds.
  TStrings* Enumerations() const;
  // Copies Value's lines into the gene's own list (nullptr empties it).
  void SetEnumerations(const TStrings* Value);
  // True when the gene has a list (without creating it).
  bool HasEnumerations() const { return FEnumerations != nullptr; }
  bool IsEnumeration() const { return FGeneType == gtEnumeration; }

  // Sets the bounds to what the field can hold. With e = Size - 1 for a signed gene,
  // else Size, and P = 2^e in single precision: integer and float genes get -P (signed)
  // or 0 to P - 1; an enumeration gets 0 to count of names - 1; gtBoolean and gtUnknown
  // keep their bounds.
  void RecalcMinMax();
  // Called after Size changed: RecalcMinMax, then the collection's SizeChange(Index).
  virtual void SizeChange();
  // The enumeration list's change handler.
  void EnumerationsChange();

  // --- Reading a value --------------------------------------------------------------
  // Offset defaults to the gene's own. The integer, 64-bit, single and double readers
  // set Bits' PreserveSignBit to the gene's first; the boolean reader leaves it alone.
  // The stored number is returned as it is. A float gene of a width other than 32 or 64
  // bits holds a whole number in its range (the integer range of its width), and the
  // float readers return that number. A field outside Bits, or a width the type cannot
  // hold, raises EMXException.
  bool GeneAsBoolean(TMXEncodedBits& Bits) const { return GeneAsBoolean(Bits, FOffset); }
  bool GeneAsBoolean(TMXEncodedBits& Bits, std::int32_t Offset) const;
  std::int32_t GeneAsInteger(TMXEncodedBits& Bits) const { return GeneAsInteger(Bits, FOffset); }
  std::int32_t GeneAsInteger(TMXEncodedBits& Bits, std::int32_t Offset) const;
  std::int64_t GeneAsInt64(TMXEncodedBits& Bits) const { return GeneAsInt64(Bits, FOffset); }
  std::int64_t GeneAsInt64(TMXEncodedBits& Bits, std::int32_t Offset) const;
  float GeneAsFloat(TMXEncodedBits& Bits) const { return GeneAsFloat(Bits, FOffset); }
  float GeneAsFloat(TMXEncodedBits& Bits, std::int32_t Offset) const;
  double GeneAsDouble(TMXEncodedBits& Bits) const { return GeneAsDouble(Bits, FOffset); }
  double GeneAsDouble(TMXEncodedBits& Bits, std::int32_t Offset) const;
  // The name whose index the field holds (read unsigned). An empty list, or an index
  // past the names, raises EGAException "No enumerated value found in chromosome".
  std::string GeneAsEnumeration(TMXEncodedBits& Bits) const { return GeneAsEnumeration(Bits, FOffset); }
  std::string GeneAsEnumeration(TMXEncodedBits& Bits, std::int32_t Offset) const;

  // --- Writing a value --------------------------------------------------------------
  // The two-argument forms call the virtual three-argument forms with the gene's Offset
  // (a subclass overriding one brings the other into scope with a using-declaration).
  // Integers below MinValue store MinValue, above MaxValue store MaxValue, both rounded
  // to the nearest integer (ties to even); singles and doubles are clamped the same way
  // without rounding; booleans are not clamped. A failing write (field outside Bits, a
  // width the type cannot hold, a name not in the list) raises before any bit changes.
  void SetGeneAsBoolean(TMXEncodedBits& Bits, bool Value) { SetGeneAsBoolean(Bits, FOffset, Value); }
  virtual void SetGeneAsBoolean(TMXEncodedBits& Bits, std::int32_t Offset, bool Value);
  void SetGeneAsDouble(TMXEncodedBits& Bits, double Value) { SetGeneAsDouble(Bits, FOffset, Value); }
  virtual void SetGeneAsDouble(TMXEncodedBits& Bits, std::int32_t Offset, double Value);
  // Stores the index of Value in the list (letter case ignored), unclamped. A name not
  // in the list raises EGAException "\"<Value>\" is not a valid enumerated value".
  void SetGeneAsEnumeration(TMXEncodedBits& Bits, const std::string& Value) {
    SetGeneAsEnumeration(Bits, FOffset, Value);
  }
  virtual void SetGeneAsEnumeration(TMXEncodedBits& Bits, std::int32_t Offset, const std::string& Value);
  void SetGeneAsFloat(TMXEncodedBits& Bits, float Value) { SetGeneAsFloat(Bits, FOffset, Value); }
  virtual void SetGeneAsFloat(TMXEncodedBits& Bits, std::int32_t Offset, float Value);
  void SetGeneAsInt64(TMXEncodedBits& Bits, std::int64_t Value) { SetGeneAsInt64(Bits, FOffset, Value); }
  virtual void SetGeneAsInt64(TMXEncodedBits& Bits, std::int32_t Offset, std::int64_t Value);
  void SetGeneAsInteger(TMXEncodedBits& Bits, std::int32_t Value) { SetGeneAsInteger(Bits, FOffset, Value); }
  virtual void SetGeneAsInteger(TMXEncodedBits& Bits, std::int32_t Offset, std::int32_t Value);

  // --- Through the component's population -------------------------------------------
  // The chromosome is that of the individual at Index in the population of the
  // component owning this gene's collection. An Index outside the population raises
  // EListError; a gene with no such component behaves as if the population were empty.
  // The writers then call the individual's Modified.
  bool GetAsBoolean(int Index) const;
  std::int32_t GetAsInteger(int Index) const;
  std::int64_t GetAsInt64(int Index) const;
  float GetAsFloat(int Index) const;
  double GetAsDouble(int Index) const;
  std::string GetAsEnumeration(int Index) const;
  void SetAsBoolean(int Index, bool Value);
  void SetAsInteger(int Index, std::int32_t Value);
  void SetAsInt64(int Index, std::int64_t Value);
  void SetAsFloat(int Index, float Value);
  void SetAsDouble(int Index, double Value);
  void SetAsEnumeration(int Index, const std::string& Value);

  // The value as text: "True"/"False", the decimal integer, the general float format
  // (up to 15 significant digits), the enumeration name, or the field's bit text for
  // gtUnknown.
  std::string AsString(TMXEncodedBits& Bits) const;
  std::string AsString(int Index) const;

  // From another gene: GeneType, Name, Size, the enumeration names (gtEnumeration; any
  // other type drops the list), MinValue, MaxValue and PreserveSignBit, copied without
  // the setters' side effects, then Changed. Offset is not copied. Any other source:
  // EConvertError.
  void Assign(const TPersistent* Source) override;

  // Published for component streaming (ga_persistence.cpp), in this order: Enumerations
  // (stored only while the gene is gtEnumeration), GeneType, Name, Size, MaxValue,
  // MinValue, PreserveSignBit (default false).
  void DeclareProperties(TPropertyRegistry& Reg) override;

 protected:
  // Name, or the class name when Name is empty.
  std::string GetDisplayName() const override;

 private:
  friend class TMXGAGenes;
  // The chromosome of the individual at Index (see the index readers).
  TMXGAIndividual* IndividualAt(int Index) const;
  int NameCount() const;

  std::string FName;
  std::int32_t FSize = 0;
  TGeneType FGeneType = gtUnknown;
  std::int32_t FOffset = 0;
  mutable std::unique_ptr<TStringList> FEnumerations;
  double FMaxValue = 0;
  double FMinValue = 0;
  bool FPreserveSignBit = false;
};

// A class reference to TMXGAGene or a subclass, from which a gene collection creates its
// items: TMXGeneClass::Of<TMyGene>().
class TMXGeneClass {
 public:
  constexpr TMXGeneClass() = default;
  template <class T>
    requires std::derived_from<T, TMXGAGene> && std::constructible_from<T, TCollection*>
  static constexpr TMXGeneClass Of() {
    return TMXGeneClass(TCollectionItemClass::Of<T>());
  }
  constexpr TCollectionItemClass ItemClass() const { return FItemClass; }
  explicit operator bool() const { return static_cast<bool>(FItemClass); }
  bool operator==(const TMXGeneClass&) const = default;

 private:
  constexpr explicit TMXGeneClass(TCollectionItemClass ItemClass) : FItemClass(ItemClass) {}
  TCollectionItemClass FItemClass;
};

// The ordered gene definitions of a component. Offsets follow the list order; every
// addition, removal, change and resize is passed on to the owning
// TMXCustomGeneticAlgorithm (GeneNotify, GeneUpdate, GenesSizeChange).
class TMXGAGenes : public TOwnedCollection {
 public:
  // AOwner may be any persistent object; only a TMXCustomGeneticAlgorithm is told of
  // changes. GeneClass defaults to TMXGAGene.
  explicit TMXGAGenes(TPersistent* AOwner, TMXGeneClass GeneClass = TMXGeneClass::Of<TMXGAGene>());

  std::string ClassName() const override { return "TMXGAGenes"; }

  // Gene at Index; EListError when out of range.
  TMXGAGene* Items(int Index) const { return static_cast<TMXGAGene*>(TCollection::Items(Index)); }
  // Assigns Value into the existing gene at Index.
  void SetItems(int Index, const TMXGAGene* Value) { Items(Index)->Assign(Value); }
  TMXGAGene* operator[](int Index) const { return Items(Index); }
  TMXGAGene* Add() { return static_cast<TMXGAGene*>(TCollection::Add()); }
  // Creates a gene at Index (0..Count); EListError otherwise.
  TMXGAGene* Insert(int Index) { return static_cast<TMXGAGene*>(TCollection::Insert(Index)); }
  TMXGAGene* FindItemID(int ID) const { return static_cast<TMXGAGene*>(TCollection::FindItemID(ID)); }

  // The owning component, or nullptr when the owner is of another class.
  TMXCustomGeneticAlgorithm* Owner() const { return FComponent; }
  TMXGeneClass GeneClass() const { return FGeneClass; }

  // Total width: the last gene's Offset plus its Size, 0 when empty.
  std::int32_t Size() const;
  // Recomputes the offsets: StartIndex 0 (or below) puts the first gene at 0 and goes on
  // from index 1; any other value recomputes from that index to the end.
  void UpdateOffsets(int StartIndex);
  // Called when the gene at Index changed its Size: UpdateOffsets(Index + 1), then the
  // component's GenesSizeChange.
  virtual void SizeChange(int Index);

  // --- XML (ga_persistence.cpp) ------------------------------------------------------
  // Writes one element per gene (BooleanGene, IntegerGene, FloatGene or EnumerationGene;
  // gtUnknown genes are skipped), then the Size attribute: the genes' total size, or the
  // component's GeneSize when that total is 0.
  virtual void SaveToXML(const IXMLGenoType& GenoTypeXML) const;
  // Sets the component's GeneSize from the Size attribute (when the collection belongs to
  // a component), then, inside BeginUpdate/EndUpdate, replaces the genes by one gene per
  // child element in document order: Name, Size, for the numeric kinds MinValue, MaxValue
  // and PreserveSignBit, each through its setter, then the type from the element's name
  // (and the names of an enumeration). A child that is no gene element raises
  // EXMLDocError; the genes read before it stay. Numbers that do not convert raise
  // EConvertError (a bad Size attribute before anything changes).
  virtual void LoadFromXML(const IXMLGenoType& GenoTypeXML);
  // Appends the value of every gene, as read from Item's chromosome, to GenesXML in gene
  // order (nothing for gtUnknown). An enumeration field holding an index past the names
  // raises EGAException "No enumerated value found in chromosome".
  virtual void SaveToXML(const IXMLGenes& GenesXML, TMXGAIndividual* Item) const;

 protected:
  // Inherited notification, UpdateOffsets(0), then the component's GeneNotify.
  void Notify(TCollectionItem* Item, TCollectionNotification Action) override;
  // For a change of the whole list (Item nullptr) UpdateOffsets(0); then, always, the
  // component's GeneUpdate.
  void Update(TCollectionItem* Item) override;

 private:
  TMXCustomGeneticAlgorithm* FComponent;
  TMXGeneClass FGeneClass;
};

}  // namespace evokit
