// Parent selection (six schemes), the cumulative fitness table, the elitist ranking and
// the fitness scalings of the genetic component.
#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <vector>

#include <evokit/core/genetic_component.h>
#include <evokit/platform/random.h>

namespace evokit {
namespace {

// Nearest integer, ties to the even one, for non-negative values (NaN counts as 0).
int RoundHalfEven(double Value) {
  if (!(Value > 0)) return 0;
  if (Value >= static_cast<double>(std::numeric_limits<int>::max())) return std::numeric_limits<int>::max();
  double whole = std::floor(Value);
  const double fraction = Value - whole;
  if (fraction > 0.5 || (fraction == 0.5 && std::fmod(whole, 2.0) != 0)) whole += 1;
  return static_cast<int>(whole);
}

}  // namespace

// --- Scheme and handler -----------------------------------------------------------

TMXSelectionEvent TMXCustomGeneticComponent::BuiltInSelection(TGASelectionMethod Method) {
  // The handlers call the virtual operations, so a subclass's override is the one used.
  switch (Method) {
    case smRoulette:
      return [this](TObject* Sender, TMXPopulation* Population, TMXIndividual*& Parent) {
        SelectRoulette(Sender, Population, Parent);
      };
    case smRandom:
      return [this](TObject* Sender, TMXPopulation* Population, TMXIndividual*& Parent) {
        SelectRandom(Sender, Population, Parent);
      };
    case smTournament:
      return [this](TObject* Sender, TMXPopulation* Population, TMXIndividual*& Parent) {
        SelectTournament(Sender, Population, Parent);
      };
    case smStochasticTournament:
      return [this](TObject* Sender, TMXPopulation* Population, TMXIndividual*& Parent) {
        SelectStochasticTournament(Sender, Population, Parent);
      };
    case smElitist:
      return [this](TObject* Sender, TMXPopulation* Population, TMXIndividual*& Parent) {
        SelectElitist(Sender, Population, Parent);
      };
    case smNSGA2:
      return [this](TObject* Sender, TMXPopulation* Population, TMXIndividual*& Parent) {
        SelectNSGA2(Sender, Population, Parent);
      };
    case smCustom:
      break;
  }
  return {};
}

void TMXCustomGeneticComponent::SetSelectionMethod(TGASelectionMethod Value) {
  if (Value == FSelectionMethod) return;
  FSelectionMethod = Value;
  FOnSelection = BuiltInSelection(Value);
}

void TMXCustomGeneticComponent::SetOnSelection(TMXSelectionEvent Value) {
  FOnSelection = std::move(Value);
  if (FOnSelection) {
    FSelectionMethod = smCustom;
  } else {
    FSelectionMethod = smRoulette;
    FOnSelection = BuiltInSelection(smRoulette);
  }
}

TMXIndividual* TMXCustomGeneticComponent::SelectParent(TMXPopulation* Population) {
  if (FOnSelection) {
    TMXIndividual* parent = nullptr;
    FOnSelection(this, Population, parent);
    return parent;
  }
  return DoSelectParent(Population);
}

TMXIndividual* TMXCustomGeneticComponent::DoSelectParent(TMXPopulation*) {
  RaiseMessage<EGAException>(_SNoSelectionFunction);
}

bool TMXCustomGeneticComponent::UniformFitness() const {
  return Weighted() ? FMinWeightedFitness == FMaxWeightedFitness : FMinFitness == FMaxFitness;
}

// --- Schemes ------------------------------------------------------------------------

void TMXCustomGeneticComponent::SelectRandom(TObject*, TMXPopulation* Population, TMXIndividual*& Parent) {
  // The drawn index is always in range: no checked access needed.
  Parent = static_cast<TMXIndividual*>(Population->begin()[Random(Population->Count())]);
}

void TMXCustomGeneticComponent::SelectRoulette(TObject* Sender, TMXPopulation* Population, TMXIndividual*& Parent) {
  if (UniformFitness()) {
    SelectRandom(Sender, Population, Parent);
    return;
  }
  const double r = Random();
  if (FCumNormFitnesses.empty()) CalculateCumulativeNormalizedFitnesses();
  // First position whose cumulative value exceeds r.
  const auto& cumulative = FCumNormFitnesses;
  const int n = static_cast<int>(cumulative.size());
  int lo = 0;
  int hi = n - 1;
  const double* table = cumulative.data();
  while (lo <= hi) {
    // Masks rather than a branch: the draw makes the branch unpredictable.
    const int mid = lo + (hi - lo) / 2;
    const int above = -static_cast<int>(r >= table[mid]);  // all ones when r >= cum[mid]
    lo = (above & (mid + 1)) | (~above & lo);
    hi = (~above & (mid - 1)) | (above & hi);
  }
  // Rounding can leave the last cumulative value below 1: such a draw takes the last one.
  if (lo >= n) lo = n - 1;
  FRouletteIndex.store(lo, std::memory_order_relaxed);
  Parent = Population->Items(lo);  // checked: the table may be longer than Population
}

void TMXCustomGeneticComponent::SelectTournament(TObject* Sender, TMXPopulation* Population,
                                                 TMXIndividual*& Parent) {
  if (Population == FKeyedPopulation) {
    // The same draws and the same outcome as comparing the individuals: a challenger wins
    // only when strictly better, and NaN or equal infinities tie as their difference does.
    const TGAFitness* keys = FTournamentKeys.data();
    const int n = Population->Count();
    int winner = Random(n);
    TGAFitness best = keys[winner];
    for (int i = 1; i < FTournamentField; ++i) {
      const int challenger = Random(n);
      const TGAFitness key = keys[challenger];
      if (key < best) {
        best = key;
        winner = challenger;
      }
    }
    Parent = static_cast<TMXIndividual*>(Population->begin()[winner]);
    return;
  }
  TMXIndividual* winner = nullptr;
  SelectRandom(Sender, Population, winner);
  for (int i = 1; i < FTournamentField; ++i) {
    TMXIndividual* challenger = nullptr;
    SelectRandom(Sender, Population, challenger);
    winner = Fittest(winner, challenger, false);
  }
  Parent = winner;
}

void TMXCustomGeneticComponent::SelectStochasticTournament(TObject* Sender, TMXPopulation* Population,
                                                           TMXIndividual*& Parent) {
  TMXIndividual* winner = nullptr;
  SelectRandom(Sender, Population, winner);
  for (int i = 1; i < FTournamentField; ++i) {
    TMXIndividual* challenger = nullptr;
    SelectRoulette(Sender, Population, challenger);
    winner = Fittest(winner, challenger, false);
  }
  Parent = winner;
}

void TMXCustomGeneticComponent::SelectElitist(TObject* Sender, TMXPopulation* Population, TMXIndividual*& Parent) {
  if (UniformFitness()) {
    SelectRandom(Sender, Population, Parent);
    return;
  }
  // Next rank, back to 0 after Round(Count * ElitistPct); atomic because the parallel
  // step's workers share the counter.
  const int limit = RoundHalfEven(Population->Count() * FElitistPct);
  int rank = FRouletteIndex.load(std::memory_order_relaxed);
  int next;
  do {
    next = rank >= limit ? 0 : rank + 1;
  } while (!FRouletteIndex.compare_exchange_weak(rank, next, std::memory_order_relaxed));
  // An emptied queue (its individuals left their population) counts as missing.
  if (!FPriorityQueue || FPriorityQueue->Count() == 0) PrioritizePopulation();
  // With ElitistPct near 1 the rank can pass the last one: take the last.
  const int last = FPriorityQueue->Count() - 1;
  Parent = static_cast<TMXIndividual*>(FPriorityQueue->Objects(std::min(next, last)));
}

// --- Tables ---------------------------------------------------------------------------

void TMXCustomGeneticComponent::DoSelectionPreparation() {
  switch (FSelectionMethod) {
    case smRoulette:
    case smStochasticTournament:
      CalculateCumulativeNormalizedFitnesses();
      break;
    case smElitist:
      PrioritizePopulation();
      break;
    default:
      break;
  }
}

void TMXCustomGeneticComponent::PrepareRouletteTable() {
  const bool roulette = FSelectionMethod == smRoulette || FSelectionMethod == smStochasticTournament ||
                        FSelectionMethod == smCustom;
  if (roulette && FCumNormFitnesses.empty() && !UniformFitness()) CalculateCumulativeNormalizedFitnesses();
}

void TMXCustomGeneticComponent::PrepareTournamentKeys(const TMXPopulation& Parents) {
  FKeyedPopulation = nullptr;
  FMatedPopulation = nullptr;
  if (FSelectionMethod == smNSGA2) {
    PrepareMates(Parents);
    return;
  }
  if (FSelectionMethod != smTournament || Weighted()) return;
  const int n = Parents.Count();
  FTournamentKeys.resize(static_cast<std::size_t>(n));  // keeps its capacity
  const bool maximizing = Maximizing();
  for (int i = 0; i < n; ++i) {
    const TGAFitness fitness = Parents.Items(i)->Fitness();
    FTournamentKeys[static_cast<std::size_t>(i)] = maximizing ? -fitness : fitness;
  }
  FKeyedPopulation = &Parents;
}

void TMXCustomGeneticComponent::PrepareMates(const TMXPopulation& Parents) {
  const int n = Parents.Count();
  if (n == 0) return;
  if (&Parents != FParetoPopulation || FParetoRanks.size() != static_cast<std::size_t>(n)) RankPareto(Parents);
  // Two parents per child pair: as many as the children, rounded up to even.
  const auto wanted = static_cast<std::size_t>(FPopulation->Count() + 1) / 2 * 2;
  FMates.clear();
  std::vector<int> order(static_cast<std::size_t>(n));
  std::iota(order.begin(), order.end(), 0);
  std::size_t next = order.size();  // the shuffled order is used up
  const auto contestant = [&] {
    if (next == order.size()) {
      for (std::size_t i = order.size() - 1; i > 0; --i)
        std::swap(order[i], order[static_cast<std::size_t>(Random(static_cast<std::int64_t>(i) + 1))]);
      next = 0;
    }
    return order[next++];
  };
  while (FMates.size() < wanted) {
    const int a = contestant(), b = contestant();
    const auto ia = static_cast<std::size_t>(a), ib = static_cast<std::size_t>(b);
    const bool second = FParetoRanks[ib] < FParetoRanks[ia] ||
                        (FParetoRanks[ib] == FParetoRanks[ia] && FCrowding[ib] > FCrowding[ia]);
    FMates.push_back(second ? b : a);
  }
  FMatedPopulation = &Parents;
}

void TMXCustomGeneticComponent::CalculateCumulativeNormalizedFitnesses() {
  const TMXPopulation& population = *FPopulation;
  FTabledPopulation = &population;
  const int n = population.Count();
  auto& cumulative = FCumNormFitnesses;
  cumulative.resize(static_cast<std::size_t>(n));  // keeps its capacity: no allocation per generation
  if (n == 0) return;
  switch (FFitnessMethod) {
    case fmMinimize:
    case fmWeightedMinimize: {
      // Shares below the worst fitness: the worst individual gets none.
      const bool weighted = FFitnessMethod == fmWeightedMinimize;
      const TGAFitness worst = weighted ? FMaxWeightedFitness : FMaxFitness;
      TGAFitness total = 0;
      for (int i = 0; i < n; ++i) {
        const TMXIndividual* item = population.Items(i);
        const TGAFitness share = worst - (weighted ? item->WeightedFitness() : item->Fitness());
        cumulative[static_cast<std::size_t>(i)] = share;
        total += share;
      }
      if (total == 0) {
        cumulative[0] = 1.0 / n;
        for (std::size_t i = 1; i < cumulative.size(); ++i) cumulative[i] = cumulative[i - 1] + cumulative[0];
      } else {
        cumulative[0] = cumulative[0] / total;
        for (std::size_t i = 1; i < cumulative.size(); ++i)
          cumulative[i] = cumulative[i - 1] + cumulative[i] / total;
      }
      break;
    }
    case fmMaximize:
      cumulative[0] = GetNormalizedFitness(population.Items(0)->Fitness());
      for (int i = 1; i < n; ++i) {
        const auto k = static_cast<std::size_t>(i);
        cumulative[k] = cumulative[k - 1] + GetNormalizedFitness(population.Items(i)->Fitness());
      }
      break;
    case fmWeightedMaximize:
      cumulative[0] = GetNormalizedWeightedFitness(population.Items(0)->WeightedFitness());
      for (int i = 1; i < n; ++i) {
        const auto k = static_cast<std::size_t>(i);
        cumulative[k] = cumulative[k - 1] + GetNormalizedWeightedFitness(population.Items(i)->WeightedFitness());
      }
      break;
  }
}

void TMXCustomGeneticComponent::PrioritizePopulation() {
  if (!FPriorityQueue) FPriorityQueue = std::make_unique<TFloatPriorityQueue>();
  FPriorityQueue->Clear();
  FPriorityQueue->SetDescending(Maximizing());
  FRankedPopulation = FPopulation.get();
  const bool weighted = Weighted();
  for (TCollectionItem* entry : *FPopulation) {
    auto* item = static_cast<TMXIndividual*>(entry);
    FPriorityQueue->Push(item, static_cast<float>(weighted ? item->WeightedFitness() : item->Fitness()));
  }
  // Rank now, on this thread, rather than on the first reader's.
  if (FPriorityQueue->Count() > 0) FPriorityQueue->Objects(0);
}

// --- Scaling -------------------------------------------------------------------------

TGAFitness TMXCustomGeneticComponent::GetAdjustedFitness(TGAFitness Fitness) const {
  return Maximizing() ? 1 / (FMaxFitness - Fitness + 1) : 1 / (Fitness + 1);
}

TGAFitness TMXCustomGeneticComponent::GetNormalizedFitness(TGAFitness Fitness) const {
  return FFitnessSum == 0 ? 0 : Fitness / FFitnessSum;
}

TGAFitness TMXCustomGeneticComponent::GetNormalizedWeightedFitness(TGAFitness Fitness) const {
  return FWeightedFitnessSum == 0 ? 0 : Fitness / FWeightedFitnessSum;
}

}  // namespace evokit
