// Multi-objective runs of the genetic component: objective settings and evaluation, the
// Pareto ranking of a population with its first front and hypervolume, and the
// non-dominated sorting scheme (binary tournament on rank and crowding, survival of the
// best of parents and children). The numeric kernels are in pareto.cpp.
#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <string>

#include <evokit/core/genetic_component.h>
#include <evokit/core/pareto.h>
#include <evokit/platform/exceptions.h>
#include <evokit/platform/random.h>

namespace evokit {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

bool RowHasNaN(const double* Row, int Width) {
  return std::any_of(Row, Row + Width, [](double Value) { return std::isnan(Value); });
}

}  // namespace

// --- Settings ----------------------------------------------------------------------------

void TMXCustomGeneticComponent::SetObjectiveCount(int Value) {
  if (Value < 0 || Value > MAX_OBJECTIVES)
    throw EArgumentOutOfRangeException("ObjectiveCount must be 0 to " + std::to_string(MAX_OBJECTIVES) + ", not " +
                                       std::to_string(Value));
  if (Value == ObjectiveCount()) return;
  FObjectiveSenses.resize(static_cast<std::size_t>(Value), osMinimize);
  FHypervolumeReference.clear();
  DropParetoRanking();
  // Objectives cached for the old count no longer fit: evaluate them anew.
  for (TMXPopulation* population : {FPopulation.get(), FPreviousGeneration.get()})
    if (population)
      for (TCollectionItem* entry : *population) static_cast<TMXIndividual*>(entry)->FNeedFitness = true;
}

TGAObjectiveSense TMXCustomGeneticComponent::ObjectiveSense(int Index) const {
  if (Index < 0 || Index >= ObjectiveCount())
    throw EArgumentOutOfRangeException(
        "Objective index " + std::to_string(Index) +
        (ObjectiveCount() == 0 ? " out of range: there are no objectives"
                               : " out of range 0.." + std::to_string(ObjectiveCount() - 1)));
  return FObjectiveSenses[static_cast<std::size_t>(Index)];
}

void TMXCustomGeneticComponent::SetObjectiveSense(int Index, TGAObjectiveSense Value) {
  ObjectiveSense(Index);  // checks Index
  if (Value != osMinimize && Value != osMaximize)
    throw EArgumentOutOfRangeException("Objective sense " + std::to_string(static_cast<int>(Value)) +
                                       " is neither osMinimize nor osMaximize");
  if (FObjectiveSenses[static_cast<std::size_t>(Index)] == Value) return;
  FObjectiveSenses[static_cast<std::size_t>(Index)] = Value;
  DropParetoRanking();  // the ranks of the next tournament must follow the new sense
}

void TMXCustomGeneticComponent::SetHypervolumeReference(std::span<const double> Value) {
  if (!Value.empty() && Value.size() != FObjectiveSenses.size())
    throw EArgumentOutOfRangeException("HypervolumeReference needs " + std::to_string(ObjectiveCount()) +
                                       " values, not " + std::to_string(Value.size()));
  if (std::any_of(Value.begin(), Value.end(), [](double v) { return std::isnan(v); }))
    throw EArgumentOutOfRangeException("HypervolumeReference must not hold NaN");
  FHypervolumeReference.assign(Value.begin(), Value.end());
  FHypervolumeKnown = false;
}

// --- Evaluation --------------------------------------------------------------------------

TGAFitness TMXCustomGeneticComponent::EvaluateObjectives(TMXIndividual* Item) {
  std::vector<double> objectives(FObjectiveSenses.size(), NaN);
  TGAFitness fitness = DoEvaluateObjectives(Item, objectives);
  if (std::isnan(fitness) || RowHasNaN(objectives.data(), static_cast<int>(objectives.size())))
    fitness = UnfitFitness();
  Item->FObjectives = std::move(objectives);
  return fitness;
}

TGAFitness TMXCustomGeneticComponent::DoEvaluateObjectives(TMXIndividual* Item, std::span<double> Objectives) {
  if (FOnEvaluateObjectives) FOnEvaluateObjectives(this, Item, Objectives);
  else if (Item->FObjectives.size() == Objectives.size())
    std::copy(Item->FObjectives.begin(), Item->FObjectives.end(), Objectives.begin());
  if (FOnEvaluateFitness) return EvaluateFitness(Item, false);
  return Objectives.empty() ? 0 : Objectives[0];
}

// --- Ranking -----------------------------------------------------------------------------

int TMXCustomGeneticComponent::ParetoPoints(const TMXPopulation& Population, std::vector<double>& Points) const {
  const int width = ObjectiveCount();
  const int n = Population.Count();
  if (width == 0) {
    // Ranking by the fitness alone.
    const bool maximizing = Maximizing();
    for (int i = 0; i < n; ++i) {
      const TGAFitness fitness = Population.Items(i)->Fitness();
      Points.push_back(maximizing ? -fitness : fitness);
    }
    return 1;
  }
  for (int i = 0; i < n; ++i) {
    const std::span<const double> row = Population.Items(i)->Objectives();
    for (int k = 0; k < width; ++k) {
      const auto K = static_cast<std::size_t>(k);
      const double value = row.size() == FObjectiveSenses.size() ? row[K] : NaN;
      Points.push_back(FObjectiveSenses[K] == osMaximize ? -value : value);
    }
  }
  return width;
}

void TMXCustomGeneticComponent::DropParetoRanking() {
  FParetoPopulation = nullptr;
  FParetoRanks.clear();
  FCrowding.clear();
  FFront.clear();
  FFrontPoints.clear();
  FAutoReference.clear();
  FHypervolume = 0;
  FHypervolumeKnown = false;
}

void TMXCustomGeneticComponent::RankPareto(const TMXPopulation& Population) {
  std::vector<double> points;
  const int width = ParetoPoints(Population, points);
  DropParetoRanking();
  const int n = Population.Count();
  FParetoRanks = ParetoRanks(points, width);
  FCrowding.assign(static_cast<std::size_t>(n), 0.0);
  // Positions grouped by front, each group in population order.
  std::vector<int> order(static_cast<std::size_t>(n));
  std::iota(order.begin(), order.end(), 0);
  const auto rank = [this](int i) { return FParetoRanks[static_cast<std::size_t>(i)]; };
  std::stable_sort(order.begin(), order.end(), [&rank](int a, int b) { return rank(a) < rank(b); });
  for (std::size_t first = 0; first < order.size();) {
    std::size_t last = first;
    while (last < order.size() && rank(order[last]) == rank(order[first])) ++last;
    const std::span<const int> front(order.data() + first, last - first);
    const std::vector<double> crowding = CrowdingDistances(points, width, front);
    for (std::size_t i = 0; i < front.size(); ++i) FCrowding[static_cast<std::size_t>(front[i])] = crowding[i];
    first = last;
  }
  // The first front, unless every row holds a NaN (then the one front is of unfit rows).
  const auto W = static_cast<std::size_t>(width);
  for (int i = 0; i < n; ++i) {
    const double* row = points.data() + static_cast<std::size_t>(i) * W;
    if (FParetoRanks[static_cast<std::size_t>(i)] == 0 && !RowHasNaN(row, width)) {
      FFront.push_back(i);
      FFrontPoints.insert(FFrontPoints.end(), row, row + width);
    }
  }
  FFrontWidth = width;
  // The automatic reference point, over the rows without NaN.
  std::vector<double> best(W, std::numeric_limits<double>::infinity());
  std::vector<double> worst(W, -std::numeric_limits<double>::infinity());
  for (int i = 0; i < n; ++i) {
    const double* row = points.data() + static_cast<std::size_t>(i) * W;
    if (RowHasNaN(row, width)) continue;
    for (std::size_t k = 0; k < W; ++k) best[k] = std::min(best[k], row[k]), worst[k] = std::max(worst[k], row[k]);
  }
  if (!FFront.empty()) {
    FAutoReference.resize(W);
    for (std::size_t k = 0; k < W; ++k)
      FAutoReference[k] = worst[k] > best[k] ? worst[k] + (worst[k] - best[k]) / 10 : worst[k] + 1;
  }
  FParetoPopulation = &Population;
}

void TMXCustomGeneticComponent::DoCalculateParetoStatistics() { RankPareto(*FPopulation); }

std::vector<TMXIndividual*> TMXCustomGeneticComponent::ParetoFront() const {
  std::vector<TMXIndividual*> front;
  if (!FParetoPopulation) return front;
  front.reserve(FFront.size());
  for (int i : FFront) front.push_back(FParetoPopulation->Items(i));
  return front;
}

std::vector<double> TMXCustomGeneticComponent::ParetoFrontObjectives() const {
  std::vector<double> rows = FFrontPoints;
  const auto W = static_cast<std::size_t>(FFrontWidth);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const bool negated = FObjectiveSenses.empty() ? Maximizing() : FObjectiveSenses[i % W] == osMaximize;
    if (negated) rows[i] = -rows[i];
  }
  return rows;
}

double TMXCustomGeneticComponent::FrontHypervolume() const {
  if (FHypervolumeKnown) return FHypervolume;
  FHypervolume = 0;
  if (!FFront.empty()) {
    std::vector<double> reference = FAutoReference;
    if (!FHypervolumeReference.empty() && FHypervolumeReference.size() == static_cast<std::size_t>(FFrontWidth))
      for (std::size_t k = 0; k < reference.size(); ++k)
        reference[k] = FObjectiveSenses[k] == osMaximize ? -FHypervolumeReference[k] : FHypervolumeReference[k];
    FHypervolume = Hypervolume(FFrontPoints, FFrontWidth, reference);
  }
  FHypervolumeKnown = true;
  return FHypervolume;
}

int TMXCustomGeneticComponent::ParetoRank(int Index) const {
  if (!FParetoPopulation || Index < 0 || Index >= static_cast<int>(FParetoRanks.size()))
    throw EListError("No Pareto rank for position " + std::to_string(Index));
  return FParetoRanks[static_cast<std::size_t>(Index)];
}

double TMXCustomGeneticComponent::CrowdingDistance(int Index) const {
  ParetoRank(Index);  // checks Index
  return FCrowding[static_cast<std::size_t>(Index)];
}

// --- Non-dominated sorting selection ------------------------------------------------------

void TMXCustomGeneticComponent::SelectNSGA2(TObject*, TMXPopulation* Population, TMXIndividual*& Parent) {
  if (Population != FParetoPopulation || FParetoRanks.size() != static_cast<std::size_t>(Population->Count()))
    RankPareto(*Population);
  const int n = Population->Count();
  const auto a = static_cast<std::size_t>(Random(n));
  const auto b = static_cast<std::size_t>(Random(n));
  const bool second =
      FParetoRanks[b] < FParetoRanks[a] || (FParetoRanks[b] == FParetoRanks[a] && FCrowding[b] > FCrowding[a]);
  Parent = static_cast<TMXIndividual*>(Population->begin()[static_cast<std::ptrdiff_t>(second ? b : a)]);
}

void TMXCustomGeneticComponent::SelectSurvivors() {
  TMXPopulation& children = *FPopulation;
  const TMXPopulation& parents = *FPreviousGeneration;
  const int nc = children.Count(), np = parents.Count(), n = np + nc;
  std::vector<double> points;
  const int width = ParetoPoints(parents, points);
  ParetoPoints(children, points);
  const std::vector<int> ranks = ParetoRanks(points, width);
  // Parents first, then children; fronts in rank order.
  std::vector<int> order(static_cast<std::size_t>(n));
  std::iota(order.begin(), order.end(), 0);
  const auto rank = [&ranks](int i) { return ranks[static_cast<std::size_t>(i)]; };
  std::stable_sort(order.begin(), order.end(), [&rank](int a, int b) { return rank(a) < rank(b); });
  std::vector<bool> kept(static_cast<std::size_t>(n), false);
  std::size_t taken = 0;
  const auto wanted = static_cast<std::size_t>(nc);
  for (std::size_t first = 0; first < order.size() && taken < wanted;) {
    std::size_t last = first;
    while (last < order.size() && rank(order[last]) == rank(order[first])) ++last;
    std::span<int> front(order.data() + first, last - first);
    if (taken + front.size() > wanted) {
      // The front that does not fit: the most isolated rows first.
      const std::vector<double> crowding = CrowdingDistances(points, width, front);
      std::vector<std::size_t> byCrowding(front.size());
      std::iota(byCrowding.begin(), byCrowding.end(), std::size_t{0});
      std::stable_sort(byCrowding.begin(), byCrowding.end(),
                       [&crowding](std::size_t a, std::size_t b) { return crowding[a] > crowding[b]; });
      for (std::size_t i = 0; taken < wanted; ++i, ++taken) kept[static_cast<std::size_t>(front[byCrowding[i]])] = true;
      break;
    }
    for (int i : front) kept[static_cast<std::size_t>(i)] = true;
    taken += front.size();
    first = last;
  }
  // The surviving parents take the places of the children that do not survive.
  int parent = 0;
  for (int child = 0; child < nc; ++child) {
    if (kept[static_cast<std::size_t>(np + child)]) continue;
    while (!kept[static_cast<std::size_t>(parent)]) ++parent;
    children.Items(child)->Assign(parents.Items(parent++));
  }
}

}  // namespace evokit
