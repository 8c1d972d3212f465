#include <evokit/common/float_priority_queue.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <thread>
#include <vector>

namespace evokit {
namespace {

struct TPushed {
  float Priority;
  int Index;  // push order
};

// Independent reference: a stable sort by priority in the requested direction, NaNs last.
std::vector<int> ReferenceRanks(std::vector<TPushed> Items, bool Descending) {
  std::stable_sort(Items.begin(), Items.end(), [&](const TPushed& A, const TPushed& B) {
    if (std::isnan(A.Priority) || std::isnan(B.Priority)) return !std::isnan(A.Priority) && std::isnan(B.Priority);
    return Descending ? A.Priority > B.Priority : A.Priority < B.Priority;
  });
  std::vector<int> ranks;
  for (const auto& item : Items) ranks.push_back(item.Index);
  return ranks;
}

class FloatPriorityQueueTest : public ::testing::Test {
 protected:
  FloatPriorityQueueTest() : FObjects(200) {}

  std::vector<int> ReadRanks(const TFloatPriorityQueue& Queue) const {
    std::vector<int> ranks;
    for (int rank = 0; rank < Queue.Count(); ++rank)
      ranks.push_back(static_cast<int>(Queue.Objects(rank) - FObjects.data()));
    return ranks;
  }

  // Priorities drawn from a small set so that ties are frequent.
  std::vector<TPushed> RandomItems(int Count, bool WithNaN) {
    std::uniform_int_distribution<int> value(-5, 5);
    std::vector<TPushed> items;
    for (int i = 0; i < Count; ++i) {
      float priority = static_cast<float>(value(FRandom)) * 0.5f;
      if (WithNaN && value(FRandom) == 5) priority = std::numeric_limits<float>::quiet_NaN();
      items.push_back({priority, i});
    }
    return items;
  }

  void PushAll(TFloatPriorityQueue& Queue, const std::vector<TPushed>& Items) {
    for (const auto& item : Items) Queue.Push(&FObjects[item.Index], item.Priority);
  }

  std::vector<TObject> FObjects;
  std::mt19937 FRandom{12345};
};

TEST_F(FloatPriorityQueueTest, RanksAreStableSortInBothDirections) {
  for (int round = 0; round < 200; ++round) {
    const bool descending = round % 2 == 1;
    const auto items = RandomItems(1 + round % 150, round % 3 == 0);
    TFloatPriorityQueue queue;
    queue.SetDescending(descending);
    PushAll(queue, items);
    ASSERT_EQ(queue.Count(), static_cast<int>(items.size()));
    ASSERT_EQ(ReadRanks(queue), ReferenceRanks(items, descending)) << "round " << round;
  }
}

TEST_F(FloatPriorityQueueTest, SmallestFirstByDefaultLargestFirstWhenDescending) {
  TFloatPriorityQueue queue;
  EXPECT_FALSE(queue.Descending());
  queue.Push(&FObjects[0], 3.0f);
  queue.Push(&FObjects[1], -1.0f);
  queue.Push(&FObjects[2], 7.5f);
  EXPECT_EQ(queue.Objects(0), &FObjects[1]);
  EXPECT_EQ(queue.Objects(2), &FObjects[2]);
  queue.SetDescending(true);  // re-ranks what is already queued
  EXPECT_EQ(queue.Objects(0), &FObjects[2]);
  EXPECT_EQ(queue.Objects(1), &FObjects[0]);
  EXPECT_EQ(queue.Objects(2), &FObjects[1]);
}

TEST_F(FloatPriorityQueueTest, ChangesAfterReadingAreRankedAgain) {
  for (int round = 0; round < 50; ++round) {
    auto items = RandomItems(40, true);
    TFloatPriorityQueue queue;
    std::vector<TPushed> first(items.begin(), items.begin() + 20);
    PushAll(queue, first);
    ASSERT_EQ(ReadRanks(queue), ReferenceRanks(first, false));
    // Later pushes can rank before entries already read.
    PushAll(queue, std::vector<TPushed>(items.begin() + 20, items.end()));
    ASSERT_EQ(ReadRanks(queue), ReferenceRanks(items, false));
    queue.SetDescending(true);
    ASSERT_EQ(ReadRanks(queue), ReferenceRanks(items, true));
  }
}

TEST_F(FloatPriorityQueueTest, ClearEmptiesAndRestartsTiesInPushOrder) {
  TFloatPriorityQueue queue;
  queue.SetDescending(true);
  PushAll(queue, RandomItems(50, false));
  (void)queue.Objects(0);
  queue.Clear();
  EXPECT_EQ(queue.Count(), 0);
  EXPECT_TRUE(queue.Descending());
  // A generation's refill: equal priorities come back in the new push order.
  queue.Push(&FObjects[7], 1.0f);
  queue.Push(&FObjects[3], 2.0f);
  queue.Push(&FObjects[5], 1.0f);
  EXPECT_EQ(ReadRanks(queue), (std::vector<int>{3, 7, 5}));
}

TEST_F(FloatPriorityQueueTest, RankOutsideTheQueueRaises) {
  TFloatPriorityQueue queue;
  EXPECT_THROW(queue.Objects(0), EMXException);
  queue.Push(&FObjects[0], 1.0f);
  queue.Push(nullptr, 0.0f);  // objects are not dereferenced
  EXPECT_EQ(queue.Objects(0), nullptr);
  EXPECT_THROW(queue.Objects(-1), EMXException);
  EXPECT_THROW(queue.Objects(2), EMXException);
  EXPECT_EQ(queue.Objects(1), &FObjects[0]);
}

TEST_F(FloatPriorityQueueTest, ConcurrentReadersSeeTheSameRanks) {
  const auto items = RandomItems(150, false);
  const auto expected = ReferenceRanks(items, false);
  for (int round = 0; round < 20; ++round) {
    TFloatPriorityQueue queue;
    PushAll(queue, items);
    // The first reads race to rank the entries; every reader must see the full order.
    std::vector<std::vector<int>> seen(4);
    std::vector<std::thread> readers;
    for (auto& ranks : seen) readers.emplace_back([&] { ranks = ReadRanks(queue); });
    for (auto& reader : readers) reader.join();
    for (const auto& ranks : seen) ASSERT_EQ(ranks, expected);
  }
}

TEST(FloatHeapTest, PopsInOrderAndRejectsEmptyAccess) {
  std::vector<TObject> objects(6);
  TFloatHeap heap(true);
  const float priorities[] = {2, 9, -4, 9, 0.5f, 3};
  for (int i = 0; i < 6; ++i) heap.Push(&objects[i], priorities[i]);
  EXPECT_EQ(heap.Top().Object, &objects[1]);
  std::vector<TObject*> order;
  while (!heap.Empty()) order.push_back(heap.Pop().Object);
  EXPECT_EQ(order, (std::vector<TObject*>{&objects[1], &objects[3], &objects[5], &objects[0], &objects[4],
                                           &objects[2]}));
  EXPECT_THROW(heap.Top(), EMXException);
  EXPECT_THROW(heap.Pop(), EMXException);
}

}  // namespace
}  // namespace evokit
