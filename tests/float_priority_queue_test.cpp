#include <evokit/common/float_priority_queue.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <thread>
#include <vector>

using namespace evokit;

// Objects are identified by their index in this pool (-1 for a null object).
static std::vector<TObject> gPool(200);

static std::vector<int> Ranks(const TFloatPriorityQueue& Queue) {
  std::vector<int> ranks;
  for (int rank = 0; rank < Queue.Count(); ++rank)
    ranks.push_back(Queue.Objects(rank) ? static_cast<int>(Queue.Objects(rank) - gPool.data()) : -1);
  return ranks;
}

// Independent reference: a stable sort by priority in the requested direction, NaNs last.
static std::vector<int> Expected(const std::vector<float>& Priorities, bool Descending) {
  std::vector<int> order(Priorities.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int>(i);
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
    const float x = Priorities[a], y = Priorities[b];
    if (std::isnan(x) || std::isnan(y)) return !std::isnan(x) && std::isnan(y);
    return Descending ? x > y : x < y;
  });
  return order;
}

// Ties (frequent with these priorities) keep push order; pushes and direction changes
// after a read rank everything again.
TEST(FloatPriorityQueue, RanksAreAStableSortInEitherDirection) {
  std::mt19937 gen(12345);
  TFloatPriorityQueue queue;
  for (int round = 0; round < 100; ++round) {
    std::vector<float> priorities;
    queue.Clear();
    queue.SetDescending(round % 2 == 1);
    for (int part = 0; part < 2; ++part) {
      for (int i = static_cast<int>(gen() % 80); i >= 0; --i) {
        const int draw = static_cast<int>(gen() % 12);
        priorities.push_back(draw == 11 && round % 3 == 0 ? NAN : (draw - 5) * 0.5f);
        queue.Push(&gPool[priorities.size() - 1], priorities.back());
      }
      ASSERT_EQ(Ranks(queue), Expected(priorities, round % 2 == 1)) << "round " << round;
    }
    queue.SetDescending(round % 2 == 0);
    ASSERT_EQ(Ranks(queue), Expected(priorities, round % 2 == 0)) << "round " << round;
  }
  for (int rank : {-1, queue.Count()}) EXPECT_THROW(queue.Objects(rank), EMXException) << rank;
}

TEST(FloatPriorityQueue, ConcurrentFirstReadersSeeTheSameRanks) {
  std::vector<float> priorities;
  for (int i = 0; i < 150; ++i) priorities.push_back(static_cast<float>((i * 37) % 11));
  for (int round = 0; round < 20; ++round) {
    TFloatPriorityQueue queue;
    for (int i = 0; i < 150; ++i) queue.Push(&gPool[i], priorities[i]);
    std::vector<std::vector<int>> seen(4);
    std::vector<std::thread> readers;
    for (auto& ranks : seen) readers.emplace_back([&] { ranks = Ranks(queue); });
    for (auto& reader : readers) reader.join();
    for (const auto& ranks : seen) ASSERT_EQ(ranks, Expected(priorities, false));
  }
}
