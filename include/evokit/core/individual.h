// Individuals and populations of the evolution core: TMXIndividual (a named population
// member that caches its raw fitness), the class reference TMXIndividualClass and
// TMXPopulation (the owned collection that forwards its notifications to the genetic
// component owning it). Neither carries a genome: the GA and GP classes derive from them.
// The fitness itself comes from the component (genetic_component.h).
// Thread safety: distinct individuals may be evaluated and written from different
// threads at once as long as no individual joins or leaves a population meanwhile;
// reading the fitness of one stale individual from two threads at once is a data race.
#pragma once

#include <concepts>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include <evokit/core/consts.h>
#include <evokit/platform/collection.h>
#include <evokit/platform/filer.h>

namespace evokit {

class TMXCustomGeneticComponent;
class TMXPopulation;
class TXMLNode;

// One member of an evolving population. The raw fitness is asked of the component that
// owns the population only when the cached value is stale: after construction and after
// every Modified. A detached individual (or one in a collection without a component)
// reads a fitness of 0 and stays stale.
class TMXIndividual : public TCollectionItem, public IPublishedProperties {
 public:
  // Joins Collection when given; the individual starts stale, unnamed, with fitness 0.
  explicit TMXIndividual(TCollection* Collection = nullptr);
  // Leaves its collection first (cnExtracting).
  ~TMXIndividual() override;

  std::string ClassName() const override { return "TMXIndividual"; }

  const std::string& Name() const { return FName; }
  // A different name is stored and marks the fitness stale (Modified); an equal one
  // changes nothing.
  void SetName(const std::string& Value);

  // The owning population, or nullptr when detached or held by another kind of collection.
  TMXPopulation* Collection() const;
  using TCollectionItem::SetCollection;

  // Raw fitness: evaluated through the owning component when stale, then cached.
  // Whatever the user's fitness handler throws propagates; the individual stays stale.
  TGAFitness Fitness() const {
    if (FNeedFitness) const_cast<TMXIndividual*>(this)->EvaluateFitness();
    return FFitness;
  }
  // Weighted fitness, computed by the component on every read (never cached); 0 without one.
  TGAFitness WeightedFitness() const;
  // The component's scalings of the raw and weighted fitness; 0 without a component.
  TGAFitness AdjustedFitness() const;
  TGAFitness NormalizedFitness() const;
  // (The spelling "Weigthed" is the published name of this property.)
  TGAFitness NormalizedWeigthedFitness() const;

  // The objective values of a multi-objective run (the component's ObjectiveCount of them,
  // each in its own sense; NaN marks a failed evaluation): evaluated with the fitness when
  // stale, then cached with it. Empty in a single-objective run. The span stays valid
  // until the individual is evaluated again or changed.
  std::span<const double> Objectives() const {
    if (FNeedFitness) const_cast<TMXIndividual*>(this)->EvaluateFitness();
    return FObjectives;
  }
  // The stored objective values, without evaluating a stale individual.
  std::span<const double> StoredObjectives() const { return FObjectives; }
  // Stores Values as the objective values, without touching the stale mark or the
  // fitness: for values already known, such as those of a saved run. Without objective
  // handlers a multi-objective component keeps stored values of the right count.
  void SetObjectives(std::span<const double> Values) { FObjectives.assign(Values.begin(), Values.end()); }

  // True while the cached raw fitness is stale.
  bool NeedFitness() const { return FNeedFitness; }
  // Stores Value as the cached raw fitness and clears the stale mark without asking the
  // component: for an individual whose fitness is already known, such as one received
  // from another process. The population is not notified.
  void SetFitness(TGAFitness Value) {
    FFitness = Value;
    FNeedFitness = false;
  }
  // Asks the component for the raw fitness and clears the stale mark; without a
  // component the fitness becomes 0 and the individual stays stale.
  void EvaluateFitness();
  // Marks the fitness stale and tells the population (Update). Every genome change of a
  // subclass calls it.
  void Modified();

  // From another TMXIndividual: copies its fitness and objectives (evaluating them when
  // stale), its stale mark and its name, then reports the change. Subclasses call this first and then copy
  // their genome. Any other source: EConvertError "Cannot assign a ... to a ...".
  void Assign(const TPersistent* Source) override;
  // A copy of this individual appended to the same collection (of that collection's item
  // class); owned by the collection. EListError when the individual is in no collection.
  TMXIndividual* Clone();

  // --- Persistence (persistence.cpp) ------------------------------------------------
  // Reads / writes the individual as the given element. Nothing in this class; the
  // genome-carrying subclasses override both.
  virtual void LoadFromXML(const TXMLNode& Node);
  virtual void SaveToXML(const TXMLNode& Node) const;
  // For those overrides: writes the stored objective values as an Objectives child of
  // Element (numbers separated by spaces, each reading back to the same double); nothing
  // when there are none.
  void SaveObjectivesToXML(const TXMLNode& Element) const;
  // The values of Element's Objectives child (empty without one). EConvertError when a
  // value is not a number; nothing is changed either way.
  static std::vector<double> ReadObjectivesXML(const TXMLNode& Element);
  // Published for component streaming: Name (default "").
  void DeclareProperties(TPropertyRegistry& Reg) override;

 protected:
  // The name when there is one, otherwise the class name.
  std::string GetDisplayName() const override;

  // Protected so that genome-carrying subclasses can manage the cache themselves (a GP
  // tree that is rebuilt marks itself stale directly).
  std::string FName;
  mutable bool FNeedFitness = true;
  mutable TGAFitness FFitness = 0;
  std::vector<double> FObjectives;

 private:
  friend class TMXPopulation;
  friend class TMXCustomGeneticComponent;
  // The component that owns this individual's population, kept by the population's
  // notifications so the hot fitness path needs no cast.
  TMXCustomGeneticComponent* FComponent;
};

// A class reference to TMXIndividual or a subclass, from which a population creates its
// individuals: TMXIndividualClass::Of<TMyIndividual>().
class TMXIndividualClass {
 public:
  constexpr TMXIndividualClass() = default;
  template <class T>
    requires std::derived_from<T, TMXIndividual> && std::constructible_from<T, TCollection*>
  static constexpr TMXIndividualClass Of() {
    return TMXIndividualClass(TCollectionItemClass::Of<T>());
  }
  constexpr TCollectionItemClass ItemClass() const { return FItemClass; }
  explicit operator bool() const { return static_cast<bool>(FItemClass); }
  bool operator==(const TMXIndividualClass&) const = default;

 private:
  friend class TMXPopulation;
  constexpr explicit TMXIndividualClass(TCollectionItemClass ItemClass) : FItemClass(ItemClass) {}
  TCollectionItemClass FItemClass;
};

// The ordered, owned collection of a component's individuals. Its item class is fixed at
// creation; its owner is normally the component that created it (CreatePopulation), to
// which it forwards Notify and Update as PopulationNotify and PopulationUpdate.
// Individuals must only join it through Add, Insert or SetCollection of an individual.
class TMXPopulation : public TOwnedCollection {
 public:
  // AOwner may be any persistent object; only a TMXCustomGeneticComponent receives the
  // notifications and evaluates the individuals.
  TMXPopulation(TPersistent* AOwner, TMXIndividualClass IndividualClass);

  std::string ClassName() const override { return "TMXPopulation"; }

  // Individual at Index; EListError when out of range. (Inline: the generation loop
  // reads individuals by position several times per child.)
  TMXIndividual* Items(int Index) const {
    if (static_cast<unsigned>(Index) >= static_cast<unsigned>(Count())) TCollection::Items(Index);  // throws
    return static_cast<TMXIndividual*>(begin()[Index]);
  }
  // Assigns Value into the existing individual at Index.
  void SetItems(int Index, const TMXIndividual* Value) { Items(Index)->Assign(Value); }
  TMXIndividual* operator[](int Index) const { return Items(Index); }
  // Appends a new individual of the item class.
  TMXIndividual* Add() { return static_cast<TMXIndividual*>(TCollection::Add()); }
  // Creates a new individual at Index (0..Count); EListError otherwise.
  TMXIndividual* Insert(int Index) { return static_cast<TMXIndividual*>(TCollection::Insert(Index)); }
  // The individual whose ID is ID, or nullptr.
  TMXIndividual* FindItemID(int ID) const { return static_cast<TMXIndividual*>(TCollection::FindItemID(ID)); }

  // The owning component, or nullptr when the owner is not a genetic component.
  TMXCustomGeneticComponent* Owner() const { return FComponent; }
  TMXIndividualClass IndividualClass() const { return TMXIndividualClass(ItemClass()); }

  // --- Persistence (persistence.cpp) ------------------------------------------------
  // The name of the element this population's XML form is saved under, as the island
  // model's migrant messages carry it: "Population" here and for GP populations,
  // "Chromosomes" for GA populations. A population class of another form overrides it.
  virtual std::string XMLElementName() const { return "Population"; }
  // Clears the population (inside BeginUpdate/EndUpdate, EndUpdate also on error), then
  // appends one individual per child element of ChromosomesXML, in document order, and
  // lets it read that element; the tag names are not examined. An error leaves the
  // individuals loaded so far.
  virtual void LoadFromXML(const TXMLNode& ChromosomesXML);
  // Appends one child element per individual to ChromosomesXML, named by the
  // individual's DisplayName (EXMLDocError when that is no XML name), and lets the
  // individual write it.
  virtual void SaveToXML(const TXMLNode& ChromosomesXML) const;

 protected:
  // Forwards to the component's PopulationNotify. Overrides must call this one: it also
  // keeps the individuals' link to the component.
  void Notify(TCollectionItem* Item, TCollectionNotification Action) override;
  // Forwards to the component's PopulationUpdate.
  void Update(TCollectionItem* Item) override;

 private:
  TMXCustomGeneticComponent* FComponent;
};

}  // namespace evokit
