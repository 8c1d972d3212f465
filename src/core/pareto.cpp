// Pareto dominance, ranking, crowding and hypervolume: straightforward quadratic versions.
#include <evokit/core/pareto.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <string>

#include <evokit/platform/exceptions.h>

namespace evokit {
namespace {

void CheckShape(std::span<const double> Points, int Objectives) {
  if (Objectives < 1) throw EArgumentOutOfRangeException("Objectives must be at least 1");
  if (Points.size() % static_cast<std::size_t>(Objectives) != 0)
    throw EArgumentOutOfRangeException("Points must hold whole rows of Objectives values");
}

bool HasNaN(const double* Row, int Objectives) {
  for (int k = 0; k < Objectives; ++k)
    if (std::isnan(Row[k])) return true;
  return false;
}

double Volume(std::vector<std::vector<double>> Rows, int M, const double* Reference) {
  if (Rows.empty()) return 0;
  if (M == 1) {
    double best = Reference[0];
    for (const auto& r : Rows) best = std::min(best, r[0]);
    return Reference[0] - best;
  }
  // Slices along the last objective.
  std::sort(Rows.begin(), Rows.end(), [M](const auto& a, const auto& b) { return a[M - 1] < b[M - 1]; });
  double total = 0;
  for (std::size_t i = 0; i < Rows.size(); ++i) {
    const double top = i + 1 < Rows.size() ? Rows[i + 1][M - 1] : Reference[M - 1];
    const double height = top - Rows[i][M - 1];
    if (height <= 0) continue;
    std::vector<std::vector<double>> slice(Rows.begin(), Rows.begin() + static_cast<std::ptrdiff_t>(i) + 1);
    total += height * Volume(std::move(slice), M - 1, Reference);
  }
  return total;
}

}  // namespace

bool ParetoDominates(const double* A, const double* B, int Objectives) {
  if (Objectives < 1) throw EArgumentOutOfRangeException("Objectives must be at least 1");
  const bool nanA = HasNaN(A, Objectives), nanB = HasNaN(B, Objectives);
  if (nanA) return false;
  if (nanB) return true;
  bool better = false;
  for (int k = 0; k < Objectives; ++k) {
    if (A[k] > B[k]) return false;
    if (A[k] < B[k]) better = true;
  }
  return better;
}

std::vector<int> ParetoRanks(std::span<const double> Points, int Objectives) {
  CheckShape(Points, Objectives);
  const std::size_t n = Points.size() / static_cast<std::size_t>(Objectives);
  const auto row = [&](std::size_t i) { return Points.data() + i * static_cast<std::size_t>(Objectives); };
  std::vector<int> rank(n, -1), dominators(n, 0);
  std::vector<std::vector<std::size_t>> dominated(n);
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = 0; j < n; ++j)
      if (i != j && ParetoDominates(row(i), row(j), Objectives)) dominated[i].push_back(j), ++dominators[j];
  std::vector<std::size_t> front;
  for (std::size_t i = 0; i < n; ++i)
    if (dominators[i] == 0 && !HasNaN(row(i), Objectives)) front.push_back(i);
  int r = 0;
  while (!front.empty()) {
    std::vector<std::size_t> next;
    for (std::size_t i : front) rank[i] = r;
    for (std::size_t i : front)
      for (std::size_t j : dominated[i])
        if (--dominators[j] == 0 && !HasNaN(row(j), Objectives)) next.push_back(j);
    front = std::move(next);
    ++r;
  }
  for (std::size_t i = 0; i < n; ++i)
    if (rank[i] < 0) rank[i] = r;
  return rank;
}

std::vector<double> CrowdingDistances(std::span<const double> Points, int Objectives, std::span<const int> Front) {
  CheckShape(Points, Objectives);
  const std::size_t f = Front.size();
  std::vector<double> distance(f, 0.0);
  const auto value = [&](std::size_t i, int k) {
    return Points[static_cast<std::size_t>(Front[i]) * static_cast<std::size_t>(Objectives) + static_cast<std::size_t>(k)];
  };
  for (int k = 0; k < Objectives; ++k) {
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < f; ++i)
      if (!std::isnan(value(i, k))) order.push_back(i);
    if (order.empty()) continue;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return value(a, k) < value(b, k); });
    distance[order.front()] = distance[order.back()] = std::numeric_limits<double>::infinity();
    const double span = value(order.back(), k) - value(order.front(), k);
    if (!(span > 0) || std::isinf(span)) continue;
    for (std::size_t j = 1; j + 1 < order.size(); ++j)
      distance[order[j]] += (value(order[j + 1], k) - value(order[j - 1], k)) / span;
  }
  return distance;
}

double Hypervolume(std::span<const double> Points, int Objectives, std::span<const double> Reference) {
  CheckShape(Points, Objectives);
  if (Reference.size() != static_cast<std::size_t>(Objectives))
    throw EArgumentOutOfRangeException("Reference must hold one value per objective");
  for (double r : Reference)
    if (std::isnan(r)) throw EArgumentOutOfRangeException("Reference must not hold NaN");
  std::vector<std::vector<double>> rows;
  for (std::size_t i = 0; i < Points.size(); i += static_cast<std::size_t>(Objectives)) {
    std::vector<double> r(Points.begin() + static_cast<std::ptrdiff_t>(i),
                          Points.begin() + static_cast<std::ptrdiff_t>(i) + Objectives);
    bool inside = true;
    for (int k = 0; k < Objectives; ++k) inside = inside && r[static_cast<std::size_t>(k)] < Reference[static_cast<std::size_t>(k)];
    if (inside) rows.push_back(std::move(r));
  }
  return Volume(std::move(rows), Objectives, Reference.data());
}

}  // namespace evokit
