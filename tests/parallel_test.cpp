#include <evokit/platform/exceptions.h>
#include <evokit/platform/parallel.h>
#include <evokit/platform/random.h>

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

using namespace evokit;

// Every index of the inclusive range runs once, on the stream derived from a key drawn on
// the caller's thread and the index's offset from Low; the first exception reaches the
// caller. Nested loops and empty ranges work with any thread limit.
TEST(Parallel, ForRunsEachIndexOnceOnItsOwnStream) {
  for (int threads : {1, 2, 4}) {
    TParallel::SetMaxThreads(threads);
    std::vector<double> draws(101, 0.0);  // an index run twice or never shows as a wrong sum
    std::atomic<int> calls{0};
    RandSeed(123);
    TParallel::For(-50, 50, [&](std::int64_t i) { draws[static_cast<std::size_t>(i + 50)] += Random(); });
    const std::uint64_t key = TRandomStream(123).Next();
    for (std::size_t i = 0; i < draws.size(); ++i)
      ASSERT_EQ(draws[i], TRandomStream(key, i).NextDouble()) << threads << " threads, index " << i;
    TParallel::For(5, 4, [&](std::int64_t) { ++calls; });
    TParallel::For(0, 7, [&](std::int64_t) { TParallel::For(0, 7, [&](std::int64_t) { ++calls; }); });
    EXPECT_EQ(calls.load(), 64);
    EXPECT_THROW(TParallel::For(0, 999, [](std::int64_t i) { if (i == 500) throw EListError("boom"); }), EListError);
  }
  TParallel::SetMaxThreads(-2);  // 0: one thread per core
  EXPECT_EQ(TParallel::MaxThreads(), 0);
  EXPECT_GE(TParallel::EffectiveThreads(), 1);
}

// ForRanges hands out disjoint sub-ranges that cover the range once, whatever the thread
// count and the range's length; it draws no key from the caller's stream, and the first
// exception reaches the caller.
TEST(Parallel, ForRangesCoversTheRangeOnceAndDrawsNothing) {
  for (int threads : {1, 2, 3, 8})
    for (std::int64_t count : {1, 2, 7, 100, 1001}) {
      TParallel::SetMaxThreads(threads);
      std::vector<std::int64_t> visits(static_cast<std::size_t>(count), 0);
      RandSeed(9);
      TParallel::ForRanges(-3, count - 4, [&](std::int64_t First, std::int64_t Last) {
        EXPECT_LE(First, Last);
        for (std::int64_t i = First; i <= Last; ++i) ++visits[static_cast<std::size_t>(i + 3)];
      });
      EXPECT_EQ(visits, std::vector<std::int64_t>(static_cast<std::size_t>(count), 1)) << threads << " threads";
      EXPECT_EQ(Random(), TRandomStream(9).NextDouble()) << threads << " threads";
      EXPECT_THROW(TParallel::ForRanges(0, 999, [](std::int64_t First, std::int64_t Last) {
        if (First <= 500 && 500 <= Last) throw EListError("boom");
      }), EListError);
    }
  TParallel::SetMaxThreads(0);
}
