#include <evokit/platform/parallel.h>
#include <evokit/platform/random.h>

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <thread>
#include <vector>

using namespace evokit;

TEST(Random, SeededSequencesRepeatAndDifferBetweenSeeds) {
  auto draw = [](std::uint64_t seed) {
    RandSeed(seed);
    std::vector<double> v;
    for (int i = 0; i < 50; ++i) v.push_back(i % 2 ? Random() : static_cast<double>(Random(1000)));
    return v;
  };
  const auto a = draw(42);
  const auto b = draw(43);
  EXPECT_EQ(RandSeed(), 43u);
  EXPECT_EQ(draw(42), a);
  EXPECT_NE(a, b);
}

TEST(Random, RangesAndZeroBound) {
  RandSeed(1);
  for (int i = 0; i < 100000; ++i) {
    const double d = Random();
    ASSERT_GE(d, 0.0);
    ASSERT_LT(d, 1.0);
    const auto n = Random(7);
    ASSERT_GE(n, 0);
    ASSERT_LT(n, 7);
  }
  EXPECT_EQ(Random(0), 0);
  EXPECT_EQ(Random(-5), 0);
  EXPECT_EQ(Random(1), 0);
}

// Chi-square test of the integer form over 10 cells and of the double form over 10
// deciles; the bound is the 99.9th percentile for 9 degrees of freedom.
TEST(Random, DrawsAreUniform) {
  RandSeed(2024);
  constexpr int kCells = 10, kDraws = 200000;
  std::array<int, kCells> ints{}, doubles{};
  for (int i = 0; i < kDraws; ++i) {
    ++ints[static_cast<std::size_t>(Random(kCells))];
    ++doubles[static_cast<std::size_t>(Random() * kCells)];
  }
  auto chi2 = [](const std::array<int, kCells>& counts) {
    const double expected = static_cast<double>(kDraws) / kCells;
    double sum = 0;
    for (int c : counts) sum += (c - expected) * (c - expected) / expected;
    return sum;
  };
  EXPECT_LT(chi2(ints), 27.88);
  EXPECT_LT(chi2(doubles), 27.88);
}

TEST(Random, LargeBoundsCoverTheWholeRange) {
  RandSeed(5);
  const std::int64_t n = (std::int64_t{1} << 62) + 12345;
  bool upperHalf = false;
  for (int i = 0; i < 64 && !upperHalf; ++i) upperHalf = Random(n) > n / 2;
  EXPECT_TRUE(upperHalf);
}

TEST(Random, ScopeInstallsAndRestoresAStream) {
  RandSeed(9);
  const double outside = Random();
  RandSeed(9);
  double inside1, inside2;
  {
    TRandomScope scope(77, 3);
    inside1 = Random();
  }
  {
    TRandomScope scope(77, 3);
    inside2 = Random();
  }
  EXPECT_EQ(inside1, inside2);
  EXPECT_EQ(Random(), outside);  // the default stream did not advance inside the scopes
  TRandomScope a(77, 3);
  const double x = Random();
  TRandomScope b(77, 4);
  EXPECT_NE(Random(), x);
}

// Threads outside a parallel loop draw from streams of their own, not from copies of
// the caller's stream.
TEST(Random, OtherThreadsDrawIndependentStreams) {
  RandSeed(11);
  std::vector<double> here, there;
  for (int i = 0; i < 8; ++i) here.push_back(Random());
  std::thread([&] { for (int i = 0; i < 8; ++i) there.push_back(Random()); }).join();
  EXPECT_NE(here, there);
}

// Per-iteration streams make parallel draws independent of the thread count.
TEST(Random, ParallelDrawsDoNotDependOnThreadCount) {
  auto run = [](int threads) {
    TParallel::SetMaxThreads(threads);
    RandSeed(123);
    std::vector<double> out(200);
    TParallel::For(0, 199, [&](std::int64_t i) { out[static_cast<std::size_t>(i)] = Random() + Random(1000); });
    TParallel::SetMaxThreads(0);
    return out;
  };
  const auto one = run(1);
  EXPECT_EQ(one, run(2));
  EXPECT_EQ(one, run(4));
}
