// Pareto dominance, ranks, crowding distance and hypervolume, checked against brute-force
// references on random sets of small integers (so that ties and duplicates are common).
#include <evokit/core/pareto.h>
#include <evokit/platform/exceptions.h>

#include "support.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

using namespace evokit;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

// Rows of M values drawn from 0..MaxValue; about one row in NaNEvery gets a NaN somewhere.
std::vector<double> RandomPoints(std::mt19937& Rng, int N, int M, int MaxValue, int NaNEvery = 0) {
  std::uniform_int_distribution<int> value(0, MaxValue);
  std::vector<double> points;
  for (int r = 0; r < N; ++r) {
    for (int j = 0; j < M; ++j) points.push_back(value(Rng));
    if (NaNEvery > 0 && Rng() % NaNEvery == 0) points[points.size() - 1 - Rng() % M] = kNaN;
  }
  return points;
}

// The definition, written out: a NaN row is dominated by every row without one.
bool ReferenceDominates(const double* A, const double* B, int M) {
  const auto nan = [M](const double* Row) { return std::any_of(Row, Row + M, [](double v) { return std::isnan(v); }); };
  if (nan(A) || nan(B)) return !nan(A);
  bool strictly = false;
  for (int j = 0; j < M; ++j) {
    if (A[j] > B[j]) return false;
    if (A[j] < B[j]) strictly = true;
  }
  return strictly;
}

// Peels the non-dominated rows off one front at a time, O(N^3).
std::vector<int> ReferenceRanks(const std::vector<double>& P, int M) {
  const int n = static_cast<int>(P.size()) / M;
  std::vector<int> ranks(n, -1);
  for (int front = 0, left = n; left > 0; ++front) {
    std::vector<int> members;
    for (int a = 0; a < n; ++a) {
      if (ranks[a] >= 0) continue;
      bool dominated = false;
      for (int b = 0; b < n && !dominated; ++b)
        dominated = ranks[b] < 0 && ReferenceDominates(&P[b * M], &P[a * M], M);
      if (!dominated) members.push_back(a);
    }
    for (int a : members) ranks[a] = front;
    left -= static_cast<int>(members.size());
  }
  return ranks;
}

// The integer unit cells below Reference covered by some row, counted one by one.
double GridVolume(const std::vector<double>& P, int M, const std::vector<int>& Reference) {
  const int n = static_cast<int>(P.size()) / M;
  std::vector<int> cell(M, 0);
  double volume = 0;
  for (;;) {
    for (int r = 0; r < n; ++r)
      if (std::equal(cell.begin(), cell.end(), &P[r * M], [](int c, double p) { return p <= c; })) {
        ++volume;
        break;
      }
    int j = 0;
    while (j < M && ++cell[j] == Reference[j]) cell[j++] = 0;
    if (j == M) return volume;
  }
}

// Objectives, rows, largest value and NaN frequency (1: every row has a NaN, so all share
// front 0).
TEST(Pareto, DominanceAndRanksMatchBruteForce) {
  std::mt19937 rng(2024);
  for (const auto [M, N, MaxValue, NaNEvery] :
       {std::array{1, 40, 6, 0}, {1, 40, 6, 5}, {2, 60, 5, 0}, {2, 60, 12, 7}, {2, 80, 40, 0}, {2, 9, 5, 1},
        {3, 0, 4, 0}, {3, 60, 4, 0}, {3, 60, 8, 6}, {4, 60, 3, 0}, {4, 60, 6, 5}, {5, 50, 4, 9}})
    for (int trial = 0; trial < 8; ++trial) {
      SCOPED_TRACE(::testing::Message() << "M=" << M << " max=" << MaxValue << " trial " << trial);
      const auto points = RandomPoints(rng, N, M, MaxValue, NaNEvery);
      for (int a = 0; a < N; ++a)
        for (int b = 0; b < N; ++b)
          ASSERT_EQ(ParetoDominates(&points[a * M], &points[b * M], M), ReferenceDominates(&points[a * M], &points[b * M], M))
              << "rows " << a << " and " << b;
      EXPECT_EQ(ParetoRanks(points, M), ReferenceRanks(points, M));
    }
}

TEST(Pareto, CrowdingDistanceAtTheEdges) {
  // Name, rows, objectives, the front (rows of the set) and its distances.
  using Case = std::tuple<const char*, std::vector<double>, int, std::vector<int>, std::vector<double>>;
  const Case cases[] = {
      // Rows 1, 3, 4, 6 and 7 form a front spanning 10 in both objectives, listed out of
      // order; rows 0, 2 and 5 lie off it. Interior distances: (3-0)/10 + (10-5)/10,
      // (7-1)/10 + (6-1)/10, (10-3)/10 + (5-0)/10.
      {"hand-checked front", {50, 50, 3, 5, 9, 9, 0, 10, 7, 1, 60, 60, 10, 0, 1, 6}, 2, {4, 7, 6, 1, 3},
       {1.2, 0.8, kInf, 1.1, kInf}},
      {"empty front", {1, 2}, 2, {}, {}},
      {"one row", {1, 2}, 2, {0}, {kInf}},
      // The second objective is the same everywhere: only the first one counts.
      {"zero span", {0, 4, 1, 4, 3, 4, 4, 4}, 2, {1, 0, 2, 3}, {0.75, kInf, 0.75, kInf}},
      // Duplicates at the low end: the first listed is the boundary.
      {"tied boundary", {0, 0, 2, 4}, 1, {0, 1, 2, 3}, {kInf, 0.5, 1, kInf}},
      // Infinite values: the ends are still infinite, the rows between add nothing.
      {"infinite span", {-kInf, 1, 5}, 1, {2, 1, 0}, {kInf, 0, kInf}},
      // A NaN takes no part in its objective: row 2 gets only the second objective's share,
      // and row 1 is between rows 0 and 3 in the first.
      {"NaN", {0, 0, 1, 1, kNaN, 2, 3, 4}, 2, {0, 1, 2, 3}, {kInf, 1.5, 0.75, kInf}},
  };
  for (const auto& [name, points, m, front, expected] : cases) {
    SCOPED_TRACE(name);
    const std::vector<double> actual = CrowdingDistances(points, m, front);
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < actual.size(); ++i)  // an infinite distance exactly, the others nearly
      EXPECT_TRUE(actual[i] == expected[i] || std::abs(actual[i] - expected[i]) < 1e-12) << i << ": " << actual[i];
  }
}

// Random integer sets against the counted cells. Each row: objectives, rows and the
// largest reference value. (Real-valued fronts: MultiObjective.NSGA2ReachesSchafferFront
// against the exact area.)
TEST(Pareto, HypervolumeMatchesCountedCells) {
  std::mt19937 rng(99);
  for (const auto [M, N, MaxReference] :
       {std::array{2, 0, 5}, {1, 5, 9}, {2, 12, 9}, {2, 40, 12}, {3, 10, 7}, {3, 30, 8}, {4, 12, 5}, {5, 10, 4}})
    for (int trial = 0; trial < 10; ++trial) {
      SCOPED_TRACE(::testing::Message() << "M=" << M << " trial " << trial);
      std::vector<int> reference(M);
      for (int& r : reference) r = 2 + static_cast<int>(rng() % (MaxReference - 1));
      // Values up to the reference and one past it: some rows lie on or beyond it.
      const auto points = RandomPoints(rng, N, M, MaxReference + 1, 8);
      EXPECT_DOUBLE_EQ(Hypervolume(points, M, std::vector<double>(reference.begin(), reference.end())),
                       GridVolume(points, M, reference));
    }
}

TEST(Pareto, BadArgumentsNameTheArgument) {
  const std::vector<double> points = {1, 2, 3, 4};
  const std::pair<const char*, std::function<void()>> cases[] = {
      {"Objectives", [&] { ParetoDominates(points.data(), points.data(), 0); }},
      {"Points", [&] { ParetoRanks(points, 3); }},
      {"Points", [&] { CrowdingDistances(points, 3, std::vector<int>{0, 1}); }},
      {"Front[1]", [&] { CrowdingDistances(points, 2, std::vector<int>{0, 2}); }},
      {"Front[0]", [&] { CrowdingDistances(points, 2, std::vector<int>{-1}); }},
      {"Reference", [&] { Hypervolume(points, 2, std::vector<double>{5, kNaN}); }},
      {"Objectives", [&] { Hypervolume(points, 0, std::vector<double>{5, 5}); }},
      {"Reference", [&] { Hypervolume(points, 2, std::vector<double>{5, 5, 5}); }},
  };
  for (const auto& [argument, call] : cases)
    EXPECT_NE(test::ErrorOf<EArgumentOutOfRangeException>(call).find(argument), std::string::npos) << argument;
}

}  // namespace
