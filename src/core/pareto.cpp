#include <evokit/core/pareto.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <iterator>
#include <limits>
#include <map>
#include <numeric>
#include <string>
#include <utility>

#include <evokit/platform/exceptions.h>

namespace evokit {

namespace {

void CheckObjectives(int Objectives) {
  if (Objectives < 1)
    throw EArgumentOutOfRangeException("Objectives must be at least 1, not " + std::to_string(Objectives));
}

// The number of rows, after checking that Points holds whole rows.
int RowCount(std::span<const double> Points, int Objectives) {
  CheckObjectives(Objectives);
  const std::size_t m = static_cast<std::size_t>(Objectives);
  if (Points.size() % m != 0)
    throw EArgumentOutOfRangeException("Points holds " + std::to_string(Points.size()) +
                                       " values, not a multiple of Objectives (" + std::to_string(Objectives) + ")");
  if (Points.size() / m > static_cast<std::size_t>(std::numeric_limits<int>::max()))
    throw EArgumentOutOfRangeException("Points holds more rows than an int can index");
  return static_cast<int>(Points.size() / m);
}

bool HasNaN(const double* Row, int Objectives) {
  for (int j = 0; j < Objectives; ++j)
    if (std::isnan(Row[j])) return true;
  return false;
}

// Whether Q, sorted lexicographically before or equal to P, dominates P: no worse
// everywhere and not the same row (the first objective is no worse by the sort order).
bool PrecedingDominates(const double* Q, const double* P, int Objectives) {
  bool better = Q[0] < P[0];
  for (int j = 1; j < Objectives; ++j) {
    if (Q[j] > P[j]) return false;
    better = better || Q[j] < P[j];
  }
  return better;
}

bool SameRow(const double* A, const double* B, int Objectives) {
  return std::equal(A, A + Objectives, B);
}

// The ranks of the rows in Order (rows without a NaN); returns the number of fronts.
int RankOne(const double* P, const std::vector<int>& Order, std::vector<int>& Ranks) {
  int front = -1;
  for (std::size_t i = 0; i < Order.size(); ++i) {
    if (i == 0 || P[Order[i - 1]] < P[Order[i]]) ++front;
    Ranks[Order[i]] = front;
  }
  return front + 1;
}

// Two objectives: the rows of Rows (any order) are copied next to their values and sorted
// lexicographically. Within a front the rows then run with the first objective rising
// and the second falling, so the last row of a front dominates a later row whenever any
// row of that front does; the fronts that dominate a row are a prefix of the front list,
// found by binary search.
int RankTwo(const double* P, const std::vector<int>& Rows, std::vector<int>& Ranks) {
  struct TRow {
    double X, Y;
    int Index;
  };
  std::vector<TRow> sorted;
  sorted.reserve(Rows.size());
  for (int r : Rows) sorted.push_back({P[2 * static_cast<std::ptrdiff_t>(r)], P[2 * static_cast<std::ptrdiff_t>(r) + 1], r});
  std::sort(sorted.begin(), sorted.end(),
            [](const TRow& a, const TRow& b) { return a.X < b.X || (a.X == b.X && a.Y < b.Y); });
  std::vector<TRow> last;  // the latest row placed in each front
  for (const TRow& p : sorted) {
    const auto front = std::partition_point(last.begin(), last.end(), [&](const TRow& l) {
      return l.Y < p.Y || (l.Y == p.Y && l.X < p.X);
    });
    Ranks[static_cast<std::size_t>(p.Index)] = static_cast<int>(front - last.begin());
    if (front == last.end()) last.push_back(p);
    else *front = p;
  }
  return static_cast<int>(last.size());
}

// The points of a plane reduced to their lower-left staircase (Y rising, Z falling):
// answers whether some point added so far is no greater than a given one in both values.
class TMinStaircase {
 public:
  bool Covers(double Y, double Z) const {
    auto it = FSteps.upper_bound(Y);
    return it != FSteps.begin() && std::prev(it)->second <= Z;
  }
  void Add(double Y, double Z) {
    if (Covers(Y, Z)) return;
    auto it = FSteps.lower_bound(Y);
    while (it != FSteps.end() && it->second >= Z) it = FSteps.erase(it);
    FSteps.emplace_hint(it, Y, Z);
  }

 private:
  std::map<double, double> FSteps;
};

// Three objectives, Order sorted lexicographically: the rows before a row are no worse in
// the first objective, so one of them dominates it exactly when it is no worse in the
// other two as well (identical rows aside, which share the rank of their twin). Each front
// keeps the staircase of its rows' last two objectives, so a probe costs O(log N) and the
// whole sort O(N log N log F) for F fronts.
int RankThree(const double* P, const std::vector<int>& Order, std::vector<int>& Ranks) {
  std::vector<TMinStaircase> fronts;
  const auto row = [&](int r) { return P + 3 * static_cast<std::ptrdiff_t>(r); };
  for (std::size_t i = 0; i < Order.size(); ++i) {
    const int r = Order[i];
    const double* p = row(r);
    if (i > 0 && SameRow(row(Order[i - 1]), p, 3)) {
      Ranks[r] = Ranks[Order[i - 1]];
      continue;
    }
    const auto front = std::partition_point(fronts.begin(), fronts.end(),
                                            [&](const TMinStaircase& f) { return f.Covers(p[1], p[2]); });
    Ranks[r] = static_cast<int>(front - fronts.begin());
    if (front == fronts.end()) fronts.emplace_back().Add(p[1], p[2]);
    else front->Add(p[1], p[2]);
  }
  return static_cast<int>(fronts.size());
}

// Four objectives or more, Order sorted lexicographically: a row can be dominated only
// by rows before it, and the fronts that dominate it are a prefix of the front list, so
// a binary search over the fronts places it (each probe scans one front, newest first).
int RankMany(const double* P, int M, const std::vector<int>& Order, std::vector<int>& Ranks) {
  std::vector<std::vector<int>> fronts;
  const auto row = [&](int r) { return P + static_cast<std::ptrdiff_t>(M) * r; };
  for (std::size_t i = 0; i < Order.size(); ++i) {
    const int r = Order[i];
    const double* p = row(r);
    if (i > 0 && SameRow(row(Order[i - 1]), p, M)) {
      Ranks[r] = Ranks[Order[i - 1]];
      fronts[static_cast<std::size_t>(Ranks[r])].push_back(r);
      continue;
    }
    std::size_t lo = 0, hi = fronts.size();
    while (lo < hi) {
      const std::size_t mid = lo + (hi - lo) / 2;
      const auto& members = fronts[mid];
      const bool dominated = std::any_of(members.rbegin(), members.rend(),
                                         [&](int q) { return PrecedingDominates(row(q), p, M); });
      if (dominated) lo = mid + 1;
      else hi = mid;
    }
    if (lo == fronts.size()) fronts.emplace_back();
    fronts[lo].push_back(r);
    Ranks[r] = static_cast<int>(lo);
  }
  return static_cast<int>(fronts.size());
}

// --- hypervolume -------------------------------------------------------------

// Rows are packed row-major with D values each, every one strictly inside the reference.
double Volume(std::vector<double> Rows, int D, const double* Ref);

double VolumeOne(const std::vector<double>& Rows, const double* Ref) {
  return Ref[0] - *std::min_element(Rows.begin(), Rows.end());
}

double VolumeTwo(const std::vector<double>& Rows, const double* Ref) {
  const std::size_t n = Rows.size() / 2;
  std::vector<std::pair<double, double>> pts(n);
  for (std::size_t i = 0; i < n; ++i) pts[i] = {Rows[2 * i], Rows[2 * i + 1]};
  std::sort(pts.begin(), pts.end());
  double area = 0, ceiling = Ref[1];
  for (const auto& [x, y] : pts)
    if (y < ceiling) {
      area += (Ref[0] - x) * (ceiling - y);
      ceiling = y;
    }
  return area;
}

// The area dominated by a two-dimensional staircase (x rising, y falling) under a
// reference, kept up to date as points arrive.
class TStaircase {
 public:
  TStaircase(double RefX, double RefY) : FRefX(RefX), FRefY(RefY) {}
  double Area() const { return FArea; }

  void Add(double X, double Y) {
    auto it = FSteps.lower_bound(X);  // the first step at or right of X
    double ceiling = FRefY;
    if (it != FSteps.begin()) {
      ceiling = std::prev(it)->second;
      if (ceiling <= Y) return;  // a step left of X already covers the point
    }
    if (it != FSteps.end() && it->first == X && it->second <= Y) return;
    // The steps at or right of X and not below Y are covered by the new point; the area
    // gained is the part of its box above the staircase, one strip per step removed.
    double x = X;
    while (it != FSteps.end() && it->second >= Y) {
      FArea += (it->first - x) * (ceiling - Y);
      x = it->first;
      ceiling = it->second;
      it = FSteps.erase(it);
    }
    FArea += ((it != FSteps.end() ? it->first : FRefX) - x) * (ceiling - Y);
    FSteps.emplace_hint(it, X, Y);
  }

 private:
  double FRefX, FRefY;
  double FArea = 0;
  std::map<double, double> FSteps;
};

double VolumeThree(const std::vector<double>& Rows, const double* Ref) {
  const std::size_t n = Rows.size() / 3;
  std::vector<std::size_t> order(n);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return Rows[3 * a + 2] < Rows[3 * b + 2]; });
  TStaircase stairs(Ref[0], Ref[1]);
  double volume = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t r = order[i];
    stairs.Add(Rows[3 * r], Rows[3 * r + 1]);
    const double top = i + 1 < n ? Rows[3 * order[i + 1] + 2] : Ref[2];
    volume += stairs.Area() * (top - Rows[3 * r + 2]);
  }
  return volume;
}

// Slices along the last objective: between two consecutive values of it, the section is
// the (D-1)-dimensional volume of the rows below.
double VolumeSliced(const std::vector<double>& Rows, int D, const double* Ref) {
  const std::size_t d = static_cast<std::size_t>(D);
  const std::size_t n = Rows.size() / d;
  std::vector<std::size_t> order(n);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::sort(order.begin(), order.end(),
            [&](std::size_t a, std::size_t b) { return Rows[d * a + d - 1] < Rows[d * b + d - 1]; });
  std::vector<double> below;
  below.reserve(n * (d - 1));
  double volume = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double* row = Rows.data() + d * order[i];
    below.insert(below.end(), row, row + d - 1);
    const double top = i + 1 < n ? Rows[d * order[i + 1] + d - 1] : Ref[d - 1];
    if (top > row[d - 1]) volume += (top - row[d - 1]) * Volume(below, D - 1, Ref);
  }
  return volume;
}

double Volume(std::vector<double> Rows, int D, const double* Ref) {
  if (Rows.empty()) return 0;
  switch (D) {
    case 1: return VolumeOne(Rows, Ref);
    case 2: return VolumeTwo(Rows, Ref);
    case 3: return VolumeThree(Rows, Ref);
    default: return VolumeSliced(Rows, D, Ref);
  }
}

}  // namespace

bool ParetoDominates(const double* A, const double* B, int Objectives) {
  CheckObjectives(Objectives);
  const bool nanA = HasNaN(A, Objectives);
  const bool nanB = HasNaN(B, Objectives);
  if (nanA || nanB) return !nanA;
  bool better = false;
  for (int j = 0; j < Objectives; ++j) {
    if (A[j] > B[j]) return false;
    better = better || A[j] < B[j];
  }
  return better;
}

std::vector<int> ParetoRanks(std::span<const double> Points, int Objectives) {
  const int count = RowCount(Points, Objectives);
  const int m = Objectives;
  const double* p = Points.data();
  std::vector<int> ranks(static_cast<std::size_t>(count), 0);
  std::vector<int> order, withNaN;
  order.reserve(ranks.size());
  for (int r = 0; r < count; ++r)
    (HasNaN(p + static_cast<std::ptrdiff_t>(m) * r, m) ? withNaN : order).push_back(r);
  int fronts = 0;
  if (m == 2) {
    fronts = RankTwo(p, order, ranks);
  } else {
    std::sort(order.begin(), order.end(), [&](int a, int b) {
      const double* ra = p + static_cast<std::ptrdiff_t>(m) * a;
      const double* rb = p + static_cast<std::ptrdiff_t>(m) * b;
      return std::lexicographical_compare(ra, ra + m, rb, rb + m);
    });
    if (m == 1) fronts = RankOne(p, order, ranks);
    else if (m == 3) fronts = RankThree(p, order, ranks);
    else fronts = RankMany(p, m, order, ranks);
  }
  for (int r : withNaN) ranks[static_cast<std::size_t>(r)] = fronts;
  return ranks;
}

std::vector<double> CrowdingDistances(std::span<const double> Points, int Objectives,
                                      std::span<const int> Front) {
  const int count = RowCount(Points, Objectives);
  for (std::size_t i = 0; i < Front.size(); ++i)
    if (Front[i] < 0 || Front[i] >= count)
      throw EArgumentOutOfRangeException("Front[" + std::to_string(i) + "] = " + std::to_string(Front[i]) +
                                         " is not a row of Points (0.." + std::to_string(count - 1) + ")");
  const double inf = std::numeric_limits<double>::infinity();
  const std::size_t m = static_cast<std::size_t>(Objectives);
  if (Front.size() <= 2) return std::vector<double>(Front.size(), inf);
  std::vector<double> distance(Front.size(), 0.0);
  std::vector<std::size_t> order;  // positions in Front
  order.reserve(Front.size());
  for (std::size_t j = 0; j < m; ++j) {
    const auto value = [&](std::size_t pos) { return Points[m * static_cast<std::size_t>(Front[pos]) + j]; };
    order.clear();
    for (std::size_t pos = 0; pos < Front.size(); ++pos)
      if (!std::isnan(value(pos))) order.push_back(pos);
    if (order.empty()) continue;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return value(a) < value(b); });
    const double span = value(order.back()) - value(order.front());
    if (!(span > 0)) continue;
    distance[order.front()] = inf;
    distance[order.back()] = inf;
    if (std::isinf(span)) continue;
    for (std::size_t k = 1; k + 1 < order.size(); ++k)
      distance[order[k]] += (value(order[k + 1]) - value(order[k - 1])) / span;
  }
  return distance;
}

double Hypervolume(std::span<const double> Points, int Objectives, std::span<const double> Reference) {
  const int count = RowCount(Points, Objectives);
  const std::size_t m = static_cast<std::size_t>(Objectives);
  if (Reference.size() != m)
    throw EArgumentOutOfRangeException("Reference holds " + std::to_string(Reference.size()) +
                                       " values, not Objectives (" + std::to_string(Objectives) + ")");
  if (HasNaN(Reference.data(), Objectives)) throw EArgumentOutOfRangeException("Reference holds a NaN");
  std::vector<double> inside;
  for (std::size_t r = 0; r < static_cast<std::size_t>(count); ++r) {
    const auto row = Points.subspan(m * r, m);
    bool strictly = true;
    for (std::size_t j = 0; j < m && strictly; ++j) strictly = row[j] < Reference[j];
    if (strictly) inside.insert(inside.end(), row.begin(), row.end());
  }
  return Volume(std::move(inside), Objectives, Reference.data());
}

}  // namespace evokit
