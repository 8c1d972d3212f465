#include <evokit/platform/random.h>

#include <gtest/gtest.h>

#include <array>
#include <thread>
#include <vector>

using namespace evokit;

static std::vector<double> Draws(int Count) {
  std::vector<double> v;
  for (int i = 0; i < Count; ++i) v.push_back(i % 2 ? Random() : static_cast<double>(Random(1000)));
  return v;
}

// A seed, and a (key, index) pair, give the same stream every time and distinct ones
// differ; a scope installs its stream for its lifetime; other threads draw their own.
TEST(Random, StreamsAreDerivedRepeatably) {
  RandSeed(42);
  const auto a = Draws(50);
  RandSeed(43);
  EXPECT_NE(Draws(50), a);
  RandSeed(42);
  std::vector<double> inside;
  for (std::uint64_t index : {3, 3, 4}) {
    TRandomScope scope(77, index);
    inside.push_back(Random());
    TRandomScope nested(77, index + 1);
    EXPECT_EQ(Random(), TRandomStream(77, index + 1).NextDouble());
  }
  EXPECT_TRUE(inside[0] == inside[1] && inside[0] != inside[2]);
  EXPECT_NE(TRandomStream(77, 3).Next(), TRandomStream(78, 3).Next());
  EXPECT_EQ(Draws(50), a);  // the seeded stream repeats, paused inside the scopes
  std::vector<double> there;
  std::thread([&] { there = Draws(50); }).join();
  EXPECT_NE(there, a);
}

// Both forms stay in range and fill ten cells evenly (within six standard deviations).
TEST(Random, DrawsAreInRangeAndEven) {
  RandSeed(2024);
  std::array<int, 10> cells{};
  for (int i = 0; i < 100000; ++i) {
    const std::int64_t n = Random(10);
    const double d = Random();
    ASSERT_TRUE(n >= 0 && n < 10 && d >= 0 && d < 1) << n << " " << d;
    ++cells[static_cast<std::size_t>(n)];
    ++cells[static_cast<std::size_t>(d * 10)];
  }
  for (int count : cells) EXPECT_NEAR(count, 20000, 800);
  EXPECT_TRUE(Random(0) == 0 && Random(-5) == 0 && Random(1) == 0);
  const std::int64_t n = (std::int64_t{1} << 62) + 12345;  // large bounds reach their upper half
  bool upperHalf = false;
  for (int i = 0; i < 64 && !upperHalf; ++i) upperHalf = Random(n) > n / 2;
  EXPECT_TRUE(upperHalf);
}
