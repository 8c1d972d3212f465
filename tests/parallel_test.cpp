#include <evokit/platform/exceptions.h>
#include <evokit/platform/parallel.h>

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <vector>

using namespace evokit;

class ParallelFor : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override { TParallel::SetMaxThreads(GetParam()); }
  void TearDown() override { TParallel::SetMaxThreads(0); }
};

TEST_P(ParallelFor, RunsEveryIndexOfTheInclusiveRangeOnce) {
  std::vector<std::atomic<int>> hits(101);
  TParallel::For(-50, 50, [&](std::int64_t i) { hits[static_cast<std::size_t>(i + 50)].fetch_add(1); });
  for (auto& h : hits) EXPECT_EQ(h.load(), 1);
}

TEST_P(ParallelFor, EmptyRangeRunsNothing) {
  std::atomic<int> calls{0};
  TParallel::For(5, 4, [&](std::int64_t) { ++calls; });
  TParallel::For(0, -100, [&](std::int64_t) { ++calls; });
  EXPECT_EQ(calls.load(), 0);
}

TEST_P(ParallelFor, RethrowsAnIterationsException) {
  std::atomic<int> calls{0};
  EXPECT_THROW(TParallel::For(0, 999,
                              [&](std::int64_t i) {
                                ++calls;
                                if (i == 500) throw EListError("boom at 500");
                              }),
               EListError);
  EXPECT_GE(calls.load(), 1);
  // The loop is usable afterwards.
  std::atomic<int> after{0};
  TParallel::For(1, 10, [&](std::int64_t) { ++after; });
  EXPECT_EQ(after.load(), 10);
}

TEST_P(ParallelFor, NestedLoopsComplete) {
  std::atomic<int> total{0};
  TParallel::For(0, 7, [&](std::int64_t) { TParallel::For(0, 7, [&](std::int64_t) { ++total; }); });
  EXPECT_EQ(total.load(), 64);
}

INSTANTIATE_TEST_SUITE_P(Threads, ParallelFor, ::testing::Values(1, 2, 4));

TEST(Parallel, ThreadLimitIsReported) {
  TParallel::SetMaxThreads(3);
  EXPECT_EQ(TParallel::MaxThreads(), 3);
  EXPECT_EQ(TParallel::EffectiveThreads(), 3);
  TParallel::SetMaxThreads(-2);
  EXPECT_EQ(TParallel::MaxThreads(), 0);
  EXPECT_GE(TParallel::EffectiveThreads(), 1);
}
