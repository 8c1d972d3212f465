#include <evokit/ga/genetic_algorithm.h>

#include <string>
#include <unordered_map>

#include <evokit/core/limits.h>
#include <evokit/platform/random.h>
#include <evokit/platform/guards.h>

namespace evokit {

namespace {

// The GA steps work on GA individuals only; anything else (or nothing) is a caller error.
TMXGAIndividual* AsGAIndividual(TMXIndividual* Item) {
  if (auto* individual = FastCast<TMXGAIndividual>(Item)) return individual;
  throw EInvalidCast("Invalid class typecast: a " + (Item ? Item->ClassName() : std::string("null individual")) +
                     " is not a TMXGAIndividual");
}

}  // namespace

// --- Life cycle -------------------------------------------------------------------

TMXCustomGeneticAlgorithm::TMXCustomGeneticAlgorithm(TComponent* AOwner) : TMXCustomGeneticComponent(AOwner) {
  // The base constructor could only reach its own CreatePopulation.
  RecreatePopulations();
  FGenes = CreateGenes(TMXGeneClass::Of<TMXGAGene>());
}

TMXCustomGeneticAlgorithm::~TMXCustomGeneticAlgorithm() {
  Destroying();
  FGenes.reset();
}

std::unique_ptr<TMXPopulation> TMXCustomGeneticAlgorithm::CreatePopulation(TMXIndividualClass) {
  return std::make_unique<TMXGAPopulation>(this);
}

std::unique_ptr<TMXGAGenes> TMXCustomGeneticAlgorithm::CreateGenes(TMXGeneClass GeneClass) {
  return std::make_unique<TMXGAGenes>(this, GeneClass);
}

void TMXCustomGeneticAlgorithm::RecreateGenes(TMXGeneClass GeneClass) { FGenes = CreateGenes(GeneClass); }

void TMXCustomGeneticAlgorithm::Assign(const TPersistent* Source) {
  if (const auto* source = dynamic_cast<const TMXCustomGeneticAlgorithm*>(Source); source && source != this) {
    FGeneSize = source->FGeneSize;
    FCrossoverMethod = source->FCrossoverMethod;
    FGenes->Assign(source->FGenes.get());
  }
  TMXCustomGeneticComponent::Assign(Source);
}

// --- Genes and chromosome length ---------------------------------------------------

void TMXCustomGeneticAlgorithm::SetGenes(const TMXGAGenes* Value) {
  if (Value == FGenes.get()) return;
  if (Value) FGenes->Assign(Value);
  else FGenes->Clear();
  GenesSizeChange();
}

void TMXCustomGeneticAlgorithm::SetGeneSize(std::int32_t Value) {
  if (Value < 0) Value = 0;
  if (Value == FGeneSize) return;
  CheckLimit("GeneSize", Value, Limits().MaxGeneSize);
  if (const std::int32_t needed = FGenes ? FGenes->Size() : 0; Value < needed) {
    throw EGAException("GeneSize " + std::to_string(Value) + " is smaller than the " + std::to_string(needed) +
                       " bits the genes need");
  }
  TMXGAPopulation* population = Population();
  CheckLimit("Population bits", std::int64_t{Value} * population->Count(), Limits().MaxPopulationBits);
  FGeneSize = Value;
  const auto update = UpdateGuard(*population);
  for (int i = 0; i < population->Count(); ++i) {
    TMXGAIndividual* individual = population->Items(i);
    individual->Bits()->SetSize(Value);
    individual->Modified();
  }
}

void TMXCustomGeneticAlgorithm::GenesSizeChange() {
  if (!FGenes) return;
  const std::int32_t total = FGenes->Size();
  if (total > FGeneSize) SetGeneSize(total);
}

void TMXCustomGeneticAlgorithm::GeneNotify(TMXGAGene*, TCollectionNotification) {}

void TMXCustomGeneticAlgorithm::GeneUpdate(TMXGAGene*) {}

void TMXCustomGeneticAlgorithm::PopulationNotify(TMXIndividual* Item, TCollectionNotification Action) {
  TMXCustomGeneticComponent::PopulationNotify(Item, Action);
  if (Action != cnAdded) return;
  if (auto* individual = dynamic_cast<TMXGAIndividual*>(Item)) {
    if (const TCollection* population = individual->TCollectionItem::Collection())
      CheckPopulationCapacity(population->Count());
    individual->Bits()->SetSize(FGeneSize);
  }
}

void TMXCustomGeneticAlgorithm::CheckPopulationCapacity(std::int64_t Individuals) const {
  TMXCustomGeneticComponent::CheckPopulationCapacity(Individuals);
  CheckLimit("Population bits", Individuals * FGeneSize, Limits().MaxPopulationBits);
}

// --- Genetic operations -------------------------------------------------------------

int TMXCustomGeneticAlgorithm::DoInitialize() {
  TMXGAPopulation* population = Population();
  int budget = InitialDuplicatesRetries();
  const bool checking = budget > 0;
  // The chromosomes accepted so far, by hash; equal hashes are compared bit for bit, so
  // the check needs a few words per individual whatever the chromosome length.
  std::unordered_multimap<std::size_t, const TMXEncodedBits*> seen;
  const auto accept = [&seen](const TMXEncodedBits* Bits) {
    const std::size_t hash = Bits->Hash();
    const auto [first, last] = seen.equal_range(hash);
    for (auto it = first; it != last; ++it)
      if (it->second->Equals(*Bits)) return false;
    seen.emplace(hash, Bits);
    return true;
  };
  if (checking) seen.reserve(static_cast<std::size_t>(population->Count()));
  int distinct = 0;
  for (int i = 0; i < population->Count(); ++i) {
    TMXGABits* bits = population->Items(i)->Bits();
    bits->Randomize();
    if (!checking) continue;
    // Once the budget is spent the last randomization stands unchecked.
    while (budget > 0) {
      if (accept(bits)) {
        ++distinct;
        break;
      }
      --budget;
      bits->Randomize();
    }
  }
  return distinct;
}

std::int32_t TMXCustomGeneticAlgorithm::CrossoverPoint(std::int32_t Length) {
  const auto draw = [](std::int64_t N) { return static_cast<std::int32_t>(Random(N)); };
  switch (FCrossoverMethod) {
    case cmGeneBoundary: {
      const int count = FGenes->Count();
      if (count > 1) return FGenes->Items(1 + draw(count - 1))->Offset();
      // One gene cuts at multiples of its size; no gene, or a gene of size 0, gives no
      // boundary to respect, so any bit is a point.
      if (count == 1) {
        if (const std::int32_t size = FGenes->Items(0)->Size(); size > 0) return size * (draw(Length) / size);
      }
      return draw(Length);
    }
    case cmByteBoundary:
      return FGeneSize < 16 ? draw(Length) : (draw(Length / 8) + 1) * 8;
    case cmWordBoundary:
      return FGeneSize < 32 ? draw(Length) : (draw(Length / 16) + 1) * 16;
    case cmLongwordBoundary:
      return FGeneSize < 64 ? draw(Length) : (draw(Length / 32) + 1) * 32;
    case cmBitBoundary:
    default:
      return draw(Length);
  }
}

bool TMXCustomGeneticAlgorithm::DoCrossover(TMXIndividual* Parent1, TMXIndividual* Parent2, TMXIndividual* Child1,
                                            TMXIndividual* Child2) {
  TMXGAIndividual* parent1 = AsGAIndividual(Parent1);
  TMXGAIndividual* parent2 = AsGAIndividual(Parent2);
  TMXGAIndividual* child1 = AsGAIndividual(Child1);
  TMXGAIndividual* child2 = Child2 ? AsGAIndividual(Child2) : nullptr;
  bool proceed = true;
  std::int32_t point = CrossoverPoint(child1->Bits()->Size());
  if (FOnCrossover) FOnCrossover(this, parent1, parent2, child1, point, proceed);
  if (proceed) child1->Bits()->CrossOver(*parent1->Bits(), *parent2->Bits(), point);
  if (child2) {
    // The second call sees whatever the first left in the point and the flag.
    if (FOnCrossover) FOnCrossover(this, parent2, parent1, child2, point, proceed);
    if (proceed) child2->Bits()->CrossOver(*parent2->Bits(), *parent1->Bits(), point);
  }
  return proceed;
}

bool TMXCustomGeneticAlgorithm::Mutate(TMXIndividual* Item) {
  bool proceed = true;
  if (const TMXMutationEvent& handler = OnMutation()) handler(this, Item, proceed);
  return proceed && DoMutate(Item);
}

bool TMXCustomGeneticAlgorithm::DoMutate(TMXIndividual* Item) {
  return AsGAIndividual(Item)->Bits()->Mutate(MutationProbability());
}

bool TMXCustomGeneticAlgorithm::DoInvert(TMXIndividual* Item) {
  AsGAIndividual(Item)->Bits()->Invert(-1, -1);
  return true;
}

}  // namespace evokit
