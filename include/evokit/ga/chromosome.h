// The GA genome: TMXGABits (an encoded bit string that knows its individual and carries
// the bit-level operators: random fill, clearing, per-bit mutation, run inversion and
// one-point crossover), TMXGAIndividual (an individual owning such a chromosome) and
// TMXGAPopulation (a population of them). The component (genetic_algorithm.h) picks the
// crossover points and probabilities; the genes (genes.h) give the bits their meaning.
// The XML forms of individuals and populations are added by the GA persistence module.
// Thread safety: as TMXEncodedBits and TMXIndividual. The operators draw from the
// calling thread's current random stream, so different chromosomes may be bred on
// different threads at once.
#pragma once

#include <concepts>
#include <string>

#include <evokit/common/encoded_bits.h>
#include <evokit/core/individual.h>

namespace evokit {

class TMXGAIndividual;
class TMXGAPopulation;
class TMXCustomGeneticAlgorithm;
class IXMLChromosome;
class IXMLChromosomes;

// A chromosome. Every operator that may change bits (Randomize, Mutate, Invert, both
// CrossOver) ends by marking the owner's fitness stale directly, without the change
// notification of Modified, even when no bit changed; Clear does not mark it.
// Random numbers come from the calling thread's current stream (platform/random.h).
class TMXGABits : public TMXEncodedBits {
 public:
  // An empty bit string belonging to AOwner (not owned; may be nullptr). The component
  // sets the length.
  explicit TMXGABits(TMXGAIndividual* AOwner = nullptr) : FOwner(AOwner) {}

  std::string ClassName() const override { return "TMXGABits"; }

  // The individual whose chromosome this is, or nullptr.
  TMXGAIndividual* Owner() const { return FOwner; }

  // Sets each bit, from index 0 upward, when an integer drawn from {0, 1} is 1.
  void Randomize();
  // Makes every bit false, keeping the length; the owner is not marked.
  void Clear();
  // Flips each bit independently with probability MutationProbability. Below 1/64 the
  // gaps between flipped bits are drawn (one real draw per flip, plus one that runs past
  // the end; gap = floor(ln(1 - Random()) / ln(1 - p))). From 1/64 on, each bit, from
  // index 0 upward, flips when the probability exceeds its own uniform draw from [0, 1),
  // a 64-bit fraction whose top 8 bits come eight to a stream value and whose low 56 bits
  // are drawn only when the top 8 bits alone cannot decide. A probability of 0 (or below,
  // or NaN) flips nothing and 1 (or above) flips every bit; neither draws. True when at
  // least one bit flipped.
  bool Mutate(TGAProbability MutationProbability);
  // Complements Len + 1 bits from Offset, stopping at the end. Offset -1 draws it from
  // [0, Size); then Len -1 draws it from [0, Size - Offset) (0 when that is empty).
  // Other negative values raise EMXException before anything changes; an Offset at or
  // past the end complements nothing.
  void Invert(int Offset, int Len);
  // One-point crossover into this chromosome: bits below CrossBit come from Source1
  // (while Source1 has them), the following ones from Source2 (while it has them); bits
  // past both keep their values. Either source may be this chromosome. Returns this.
  TMXGABits* CrossOver(const TMXGABits& Source1, const TMXGABits& Source2, int CrossBit);
  // The same with CrossBit drawn from [0, Source1.Size()).
  TMXGABits* CrossOver(const TMXGABits& Source1, const TMXGABits& Source2);

  // Flips each of the Count bits from Offset independently with probability
  // MutationProbability, one draw from [0, 1) per bit from Offset upward (0 or below, or
  // NaN, flips nothing and 1 or above flips every bit; neither draws). A field outside
  // the chromosome raises EMXException before anything changes. True when a bit flipped.
  bool MutateField(TGAProbability MutationProbability, int Offset, int Count);
  // Marks the owner's fitness stale without a change notification, as the operators do;
  // for steps that write the chromosome through its genes.
  void MarkOwner() const;

  // The bit text (TMXEncodedBits::ToString).
  std::string ToString() const override;

 protected:
  TMXGABits(const TMXGABits&) = default;
  TMXGABits& operator=(const TMXGABits&) = default;

 private:
  // XORs Mask into the Count (<= 64) bits at Offset.
  void XorChunk(int Offset, int Count, std::uint64_t Mask);

  TMXGAIndividual* FOwner;
};

// An individual with a bit-string chromosome.
class TMXGAIndividual : public TMXIndividual {
 public:
  // Builds the chromosome (CreateDNA), then joins Collection when given, so that the
  // component sizes the chromosome in its add notification.
  explicit TMXGAIndividual(TCollection* Collection = nullptr);
  ~TMXGAIndividual() override;

  std::string ClassName() const override { return "TMXGAIndividual"; }

  // The chromosome, owned by the individual.
  TMXGABits* Bits() const { return FBits.get(); }
  // Copies Value's length and bits into the own chromosome, then Modified.
  void SetBits(const TMXEncodedBits* Value);

  // The owning population, or nullptr.
  TMXGAPopulation* Collection() const;
  using TMXIndividual::SetCollection;

  // From a TMXGAIndividual the chromosome (length and bits) is copied first; then, for
  // every source, TMXIndividual::Assign (fitness state and name, or EConvertError).
  void Assign(const TPersistent* Source) override;

  // The class name, a blank, then the chromosome's text.
  virtual std::string ToString() const;

  // --- Persistence (ga_persistence.cpp) ------------------------------------------------
  // Writes Name (the display name), Fitness (single; a stale individual is evaluated),
  // Bits, and, when the population belongs to a GA component, the value of every gene.
  virtual void SaveToXML(const IXMLChromosome& ChromosomeXML) const;
  // Reads the name and the bits (SetAsBitString over the whole chromosome: bad bit text
  // raises EMXException and leaves the bits), then Modified. Fitness and gene values are
  // not read.
  virtual void LoadFromXML(const IXMLChromosome& ChromosomeXML);
  // The element forms of the individual's XML slots: for a Chromosome (or FittestIndividual)
  // element the typed overload runs; any other element changes nothing, on either side.
  void SaveToXML(const TXMLNode& Node) const override;
  void LoadFromXML(const TXMLNode& Node) override;
  // Adds the streamed property Bits: the chromosome's bit text, read back over the
  // chromosome's current length.
  void DefineProperties(TFiler& Filer) override;

 protected:
  // Makes the chromosome: a TMXGABits owned by this individual. The constructor calls
  // this class's version; a subclass with another kind of chromosome constructs its base
  // with no collection, calls RecreateDNA, then joins its collection.
  virtual std::unique_ptr<TMXGABits> CreateDNA();
  // Replaces the chromosome by a new one from CreateDNA holding the same bits.
  void RecreateDNA();

 private:
  friend class TMXGABits;
  std::unique_ptr<TMXGABits> FBits;
};

// A class reference to TMXGAIndividual or a subclass: TMXGAIndividualClass::Of<T>().
class TMXGAIndividualClass {
 public:
  constexpr TMXGAIndividualClass() = default;
  template <class T>
    requires std::derived_from<T, TMXGAIndividual> && std::constructible_from<T, TCollection*>
  static constexpr TMXGAIndividualClass Of() {
    return TMXGAIndividualClass(TMXIndividualClass::Of<T>());
  }
  constexpr TMXIndividualClass IndividualClass() const { return FClass; }
  constexpr operator TMXIndividualClass() const { return FClass; }
  explicit operator bool() const { return static_cast<bool>(FClass); }
  bool operator==(const TMXGAIndividualClass&) const = default;

 private:
  constexpr explicit TMXGAIndividualClass(TMXIndividualClass Class) : FClass(Class) {}
  TMXIndividualClass FClass;
};

// A population of GA individuals (TMXGAIndividual unless another GA class is given).
class TMXGAPopulation : public TMXPopulation {
 public:
  explicit TMXGAPopulation(TPersistent* AOwner,
                           TMXGAIndividualClass IndividualClass = TMXGAIndividualClass::Of<TMXGAIndividual>());

  std::string ClassName() const override { return "TMXGAPopulation"; }

  // Individual at Index; EListError when out of range.
  TMXGAIndividual* Items(int Index) const { return static_cast<TMXGAIndividual*>(TMXPopulation::Items(Index)); }
  void SetItems(int Index, const TMXIndividual* Value) { Items(Index)->Assign(Value); }
  TMXGAIndividual* operator[](int Index) const { return Items(Index); }
  TMXGAIndividual* Add() { return static_cast<TMXGAIndividual*>(TMXPopulation::Add()); }
  // Creates an individual at Index (0..Count); EListError otherwise.
  TMXGAIndividual* Insert(int Index) { return static_cast<TMXGAIndividual*>(TMXPopulation::Insert(Index)); }
  TMXGAIndividual* FindItemID(int ID) const {
    return static_cast<TMXGAIndividual*>(TMXPopulation::FindItemID(ID));
  }

  // The owning GA component, or nullptr when the owner is of another class.
  TMXCustomGeneticAlgorithm* Owner() const;

  // --- Persistence (ga_persistence.cpp) ------------------------------------------------
  std::string XMLElementName() const override { return "Chromosomes"; }
  // One Chromosome element per individual, in population order.
  virtual void SaveToXML(const IXMLChromosomes& ChromosomesXML) const;
  // Inside BeginUpdate/EndUpdate (EndUpdate also on error): clears the population, then
  // adds one individual per Chromosome element in document order and lets it read the
  // element. An error leaves the individuals read so far.
  virtual void LoadFromXML(const IXMLChromosomes& ChromosomesXML);
  // The element forms of the population's XML slots: for a Chromosomes element the typed
  // overload runs; any other element changes nothing, on either side.
  void SaveToXML(const TXMLNode& ChromosomesXML) const override;
  void LoadFromXML(const TXMLNode& ChromosomesXML) override;
};

}  // namespace evokit
