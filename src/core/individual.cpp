#include <evokit/core/individual.h>

#include <typeinfo>

#include <evokit/core/genetic_component.h>

namespace evokit {

// --- TMXIndividual -------------------------------------------------------------

// The base item joins no collection: this constructor joins once the individual exists,
// so that the population's notification sees a TMXIndividual.
TMXIndividual::TMXIndividual(TCollection* Collection) : TCollectionItem(nullptr), FComponent(nullptr) {
  if (Collection) SetCollection(Collection);
}

// Leaves the population while still an individual, for the same reason.
TMXIndividual::~TMXIndividual() {
  if (TCollectionItem::Collection()) SetCollection(nullptr);
}

void TMXIndividual::SetName(const std::string& Value) {
  if (Value == FName) return;
  FName = Value;
  Modified();
}

TMXPopulation* TMXIndividual::Collection() const {
  return FastCast<TMXPopulation>(TCollectionItem::Collection());
}

TGAFitness TMXIndividual::WeightedFitness() const {
  return FComponent ? FComponent->EvaluateFitness(const_cast<TMXIndividual*>(this), true) : 0;
}

TGAFitness TMXIndividual::AdjustedFitness() const {
  return FComponent ? FComponent->GetAdjustedFitness(Fitness()) : 0;
}

TGAFitness TMXIndividual::NormalizedFitness() const {
  return FComponent ? FComponent->GetNormalizedFitness(Fitness()) : 0;
}

TGAFitness TMXIndividual::NormalizedWeigthedFitness() const {
  return FComponent ? FComponent->GetNormalizedWeightedFitness(WeightedFitness()) : 0;
}

void TMXIndividual::EvaluateFitness() {
  if (FComponent) {
    FFitness = FComponent->ObjectiveCount() > 0 ? FComponent->EvaluateObjectives(this)
                                                : FComponent->EvaluateFitness(this, false);
    FNeedFitness = false;
  } else {
    FFitness = 0;
  }
}

void TMXIndividual::Modified() {
  FNeedFitness = true;
  Changed(false);
}

void TMXIndividual::Assign(const TPersistent* Source) {
  const TMXIndividual* source = FastCast<const TMXIndividual>(Source);
  if (!source) {
    TCollectionItem::Assign(Source);
    return;
  }
  FFitness = source->Fitness();
  FNeedFitness = source->FNeedFitness;
  FObjectives = source->FObjectives;
  FName = source->FName;
  Changed(false);
}

TMXIndividual* TMXIndividual::Clone() {
  TCollection* collection = TCollectionItem::Collection();
  if (!collection) throw EListError("Cannot clone an individual that belongs to no collection");
  TCollectionItem* copy = collection->Add();
  copy->Assign(this);
  return dynamic_cast<TMXIndividual*>(copy);
}

std::string TMXIndividual::GetDisplayName() const {
  return FName.empty() ? TCollectionItem::GetDisplayName() : FName;
}

// --- TMXPopulation --------------------------------------------------------------

TMXPopulation::TMXPopulation(TPersistent* AOwner, TMXIndividualClass IndividualClass)
    : TOwnedCollection(AOwner, IndividualClass.ItemClass()),
      FComponent(dynamic_cast<TMXCustomGeneticComponent*>(AOwner)) {}

void TMXPopulation::Notify(TCollectionItem* Item, TCollectionNotification Action) {
  // Individuals join and leave fully constructed (see TMXIndividual's constructor and
  // destructor); anything else that was put into a population is not reported.
  auto* individual = FastCast<TMXIndividual>(Item);
  if (!individual) return;
  individual->FComponent = Action == cnAdded ? FComponent : nullptr;
  if (!FComponent) return;
  FComponent->PopulationChanging(this, Action);
  FComponent->PopulationNotify(individual, Action);
}

void TMXPopulation::Update(TCollectionItem* Item) {
  // Item is nullptr when the whole collection changed.
  if (!FComponent) return;
  auto* individual = FastCast<TMXIndividual>(Item);
  if (Item && !individual) return;
  FComponent->PopulationUpdate(individual);
}

}  // namespace evokit
