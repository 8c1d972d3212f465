#include <evokit/ga/genetic_algorithm.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
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

// The genes the real-coded operators treat as numbers.
bool IsNumericGene(const TMXGAGene& Gene) {
  return (Gene.GeneType() == gtInteger || Gene.GeneType() == gtFloat) && Gene.Size() > 0;
}

// A numeric gene holding a single or a double; the others hold whole numbers.
bool HoldsReal(const TMXGAGene& Gene) {
  return Gene.GeneType() == gtFloat && (Gene.Size() == 32 || Gene.Size() == 64);
}

// The gene's field as it is stored, zero-extended.
std::uint64_t RawField(const TMXGAGene& Gene, const TMXEncodedBits& Bits) {
  const auto raw = static_cast<std::uint64_t>(Bits.GetAsInt64(Gene.Offset(), Gene.Size()));
  return Gene.Size() < 64 ? raw & ((std::uint64_t{1} << Gene.Size()) - 1) : raw;
}

// The number a numeric gene holds in Bits. The gene's readers would set Bits' sign flag,
// and a parent may be read by several threads at once, so the field is decoded here.
double ReadNumber(const TMXGAGene& Gene, const TMXEncodedBits& Bits) {
  if (HoldsReal(Gene)) return Bits.GetAsDouble(Gene.Offset(), Gene.Size());
  std::uint64_t raw = RawField(Gene, Bits);
  const int size = Gene.Size();
  if (!Gene.PreserveSignBit()) return static_cast<double>(raw);
  if (size < 64 && ((raw >> (size - 1)) & 1u)) raw |= ~((std::uint64_t{1} << size) - 1);
  return static_cast<double>(static_cast<std::int64_t>(raw));
}

double ClampTo(double Value, double Low, double High) { return Value < Low ? Low : (Value > High ? High : Value); }

// Writes Value through the gene's writers, which clamp it to the gene's bounds;
// whole-number genes get it rounded to the nearest integer (ties to even) first.
void WriteNumber(TMXGAGene& Gene, TMXEncodedBits& Bits, double Value) {
  if (HoldsReal(Gene)) {
    if (Gene.Size() == 32) Gene.SetGeneAsFloat(Bits, static_cast<float>(Value));
    else Gene.SetGeneAsDouble(Bits, Value);
    return;
  }
  Value = std::nearbyint(Value);
  if (Gene.GeneType() == gtFloat) {
    Gene.SetGeneAsDouble(Bits, Value);
    return;
  }
  // The integer writer takes a signed 64-bit value.
  constexpr double top = 0x1p63;
  const std::int64_t whole = Value >= top    ? std::numeric_limits<std::int64_t>::max()
                             : Value < -top ? std::numeric_limits<std::int64_t>::min()
                                            : static_cast<std::int64_t>(Value);
  Gene.SetGeneAsInt64(Bits, whole);
}

// One bounded simulated binary crossover of X1 < X2 within [Low, High] with distribution
// index Eta: the two children, C1 spread below the parents' midpoint and C2 above it,
// from one uniform draw.
void SimulatedBinaryPair(double X1, double X2, double Low, double High, double Eta, double& C1, double& C2) {
  const double spread = X2 - X1;
  const double exponent = 1.0 / (Eta + 1.0);
  const double u = Random();
  // The spread factor on one side, Beta - 1 being the distance to that side's bound in
  // half spreads: the polynomial distribution is rescaled so that no child passes it.
  const auto spreadFactor = [&](double Beta) {
    const double alpha = 2.0 - std::pow(Beta, -(Eta + 1.0));
    return u <= 1.0 / alpha ? std::pow(u * alpha, exponent) : std::pow(1.0 / (2.0 - u * alpha), exponent);
  };
  C1 = 0.5 * (X1 + X2 - spreadFactor(1.0 + 2.0 * (X1 - Low) / spread) * spread);
  C2 = 0.5 * (X1 + X2 + spreadFactor(1.0 + 2.0 * (High - X2) / spread) * spread);
}

// A negative or NaN distribution index is refused.
void CheckDistributionIndex(const char* Name, double Value) {
  if (!(Value >= 0)) throw EGAException(std::string(Name) + " must be a number >= 0, not " + FloatToStr(Value));
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
    FMutationMethod = source->FMutationMethod;
    FCrossoverDistributionIndex = source->FCrossoverDistributionIndex;
    FMutationDistributionIndex = source->FMutationDistributionIndex;
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

void TMXCustomGeneticAlgorithm::SetCrossoverDistributionIndex(double Value) {
  CheckDistributionIndex("CrossoverDistributionIndex", Value);
  FCrossoverDistributionIndex = Value;
}

void TMXCustomGeneticAlgorithm::SetMutationDistributionIndex(double Value) {
  CheckDistributionIndex("MutationDistributionIndex", Value);
  FMutationDistributionIndex = Value;
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
    RandomizeChromosome(*bits);
    if (!checking) continue;
    // Once the budget is spent the last randomization stands unchecked.
    while (budget > 0) {
      if (accept(bits)) {
        ++distinct;
        break;
      }
      --budget;
      RandomizeChromosome(*bits);
    }
  }
  return distinct;
}

void TMXCustomGeneticAlgorithm::RandomizeChromosome(TMXGABits& Bits) {
  Bits.Randomize();
  if (FCrossoverMethod != cmSimulatedBinary && FMutationMethod != gmPolynomial) return;
  for (int i = 0; i < FGenes->Count(); ++i) {
    TMXGAGene& gene = *FGenes->Items(i);
    const double low = gene.MinValue(), high = gene.MaxValue();
    if (!IsNumericGene(gene) || !(low <= high) || !std::isfinite(high - low)) continue;
    // Whole-number genes draw each of their values with the same chance.
    WriteNumber(gene, Bits, HoldsReal(gene) ? low + Random() * (high - low)
                                            : std::min(std::floor(low + Random() * (high - low + 1)), high));
  }
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
  if (FCrossoverMethod == cmSimulatedBinary) {
    std::int32_t point = -1;
    if (FOnCrossover) FOnCrossover(this, parent1, parent2, child1, point, proceed);
    const bool first = proceed;
    if (child2 && FOnCrossover) {
      point = -1;
      FOnCrossover(this, parent2, parent1, child2, point, proceed);
    }
    const bool second = child2 && proceed;
    if (first || second)
      SimulatedBinaryCrossover(parent1, parent2, first ? child1 : nullptr, second ? child2 : nullptr);
    return proceed;
  }
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

void TMXCustomGeneticAlgorithm::SimulatedBinaryCrossover(TMXGAIndividual* Parent1, TMXGAIndividual* Parent2,
                                                         TMXGAIndividual* Child1, TMXGAIndividual* Child2) {
  // Whatever is not crossed as a number comes from the child's own first parent.
  if (Child1) Child1->Bits()->CrossOver(*Parent1->Bits(), *Parent1->Bits(), Child1->Bits()->Size());
  if (Child2) Child2->Bits()->CrossOver(*Parent2->Bits(), *Parent2->Bits(), Child2->Bits()->Size());
  const double eta = FCrossoverDistributionIndex;
  for (int i = 0; i < FGenes->Count(); ++i) {
    TMXGAGene& gene = *FGenes->Items(i);
    if (!IsNumericGene(gene) || !(Random() < 0.5)) continue;
    const double low = gene.MinValue(), high = gene.MaxValue();
    const double y1 = ReadNumber(gene, *Parent1->Bits()), y2 = ReadNumber(gene, *Parent2->Bits());
    if (std::isnan(y1) || std::isnan(y2) || !(low <= high)) continue;
    const double x1 = ClampTo(std::min(y1, y2), low, high), x2 = ClampTo(std::max(y1, y2), low, high);
    if (x1 == x2) continue;
    double c1 = 0, c2 = 0;
    SimulatedBinaryPair(x1, x2, low, high, eta, c1, c2);
    if (Random() < 0.5) std::swap(c1, c2);
    if (Child1) WriteNumber(gene, *Child1->Bits(), c1);
    if (Child2) WriteNumber(gene, *Child2->Bits(), c2);
  }
}

bool TMXCustomGeneticAlgorithm::Mutate(TMXIndividual* Item) {
  bool proceed = true;
  if (const TMXMutationEvent& handler = OnMutation()) handler(this, Item, proceed);
  return proceed && DoMutate(Item);
}

bool TMXCustomGeneticAlgorithm::DoMutate(TMXIndividual* Item) {
  TMXGAIndividual* individual = AsGAIndividual(Item);
  if (FMutationMethod == gmPolynomial) return PolynomialMutation(individual);
  return individual->Bits()->Mutate(MutationProbability());
}

bool TMXCustomGeneticAlgorithm::PolynomialMutation(TMXGAIndividual* Item) {
  TMXGABits& bits = *Item->Bits();
  const double probability = MutationProbability();
  const double eta = FMutationDistributionIndex;
  const double exponent = 1.0 / (eta + 1.0);
  bool changed = false;
  std::int32_t next = 0;  // the first bit not yet visited
  const auto flipUpTo = [&](std::int32_t End) {
    if (End > next) changed = bits.MutateField(probability, next, End - next) || changed;
  };
  for (int i = 0; i < FGenes->Count(); ++i) {
    TMXGAGene& gene = *FGenes->Items(i);
    if (!IsNumericGene(gene)) continue;
    flipUpTo(gene.Offset());
    next = gene.Offset() + gene.Size();
    if (!(Random() < probability)) continue;
    const double low = gene.MinValue(), high = gene.MaxValue(), range = high - low;
    const double value = ReadNumber(gene, bits);
    if (std::isnan(value) || !(range > 0) || !std::isfinite(range)) continue;
    const double x = ClampTo(value, low, high);
    const double u = Random();
    double delta = 0;
    if (u < 0.5) {
      const double base = 2.0 * u + (1.0 - 2.0 * u) * std::pow(1.0 - (x - low) / range, eta + 1.0);
      delta = std::pow(base, exponent) - 1.0;
    } else {
      const double base = 2.0 * (1.0 - u) + 2.0 * (u - 0.5) * std::pow(1.0 - (high - x) / range, eta + 1.0);
      delta = 1.0 - std::pow(base, exponent);
    }
    const std::uint64_t before = RawField(gene, bits);
    WriteNumber(gene, bits, x + delta * range);
    changed = changed || RawField(gene, bits) != before;
  }
  flipUpTo(bits.Size());
  bits.MarkOwner();
  return changed;
}

bool TMXCustomGeneticAlgorithm::DoInvert(TMXIndividual* Item) {
  AsGAIndividual(Item)->Bits()->Invert(-1, -1);
  return true;
}

}  // namespace evokit
