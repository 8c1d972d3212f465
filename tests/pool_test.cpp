#include <evokit/platform/pool.h>

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

namespace evokit {
namespace {

#ifdef EVOKIT_POOL_DISABLED
constexpr bool kPooled = false;
#else
constexpr bool kPooled = true;
#endif

// Blocks of every size around the pooled range hold their whole size, whichever thread
// made them and whichever frees them, also after the making thread has ended.
TEST(SmallObjectPool, BlocksHoldTheirSizeAcrossThreads) {
  struct TBlock { void* Pointer; std::size_t Size; };
  const auto fill = [](std::vector<TBlock>& Blocks, int Round) {
    for (std::size_t size = 1; size <= 300; size += 7) {
      void* p = SmallObjectAllocate(size);
      std::memset(p, static_cast<int>(size + Round) & 0xFF, size);
      Blocks.push_back({p, size});
    }
  };
  const auto check = [](const std::vector<TBlock>& Blocks, int Round) {
    for (const TBlock& b : Blocks)
      for (std::size_t i = 0; i < b.Size; ++i)
        ASSERT_EQ(static_cast<const unsigned char*>(b.Pointer)[i], (b.Size + Round) & 0xFF) << b.Size;
  };
  std::vector<TBlock> made;
  std::thread([&] { fill(made, 1); }).join();  // the maker is gone before they are freed
  check(made, 1);
  std::vector<TBlock> again;
  fill(again, 2);  // may take blocks the frees below do not touch
  for (const TBlock& b : made) SmallObjectFree(b.Pointer, b.Size);
  std::vector<TBlock> reused;
  fill(reused, 3);
  check(again, 2);
  check(reused, 3);
  std::thread([&] { for (const TBlock& b : again) SmallObjectFree(b.Pointer, b.Size); }).join();
  for (const TBlock& b : reused) SmallObjectFree(b.Pointer, b.Size);
  SmallObjectFree(nullptr, 16);  // ignored
}

// A pooled block freed on a thread is the next one that thread hands out for that size
// class; blocks beyond the pooled range are not kept; a release empties the thread's lists.
TEST(SmallObjectPool, AFreedBlockIsHandedOutAgainOnItsThread) {
  if (!kPooled) GTEST_SKIP() << "sanitizer builds allocate every block afresh";
  void* a = SmallObjectAllocate(40);
  SmallObjectFree(a, 40);
  EXPECT_EQ(SmallObjectAllocate(33), a);  // the same 48-byte class
  void* b = SmallObjectAllocate(64);
  SmallObjectFree(b, 64);
  void* c = SmallObjectAllocate(65);
  EXPECT_NE(c, b);  // the next class up
  SmallObjectFree(c, 65);
  SmallObjectFree(a, 33);
  // Released, the thread keeps no block to hand out again.
  SmallObjectRelease();
  for (const int count : pool_detail::tFreeLists->Counts) EXPECT_EQ(count, 0);
  SmallObjectFree(SmallObjectAllocate(40), 40);  // and takes blocks back afterwards
  EXPECT_EQ(pool_detail::tFreeLists->Counts[2], 1);
}

// The list keeps order through every edit, in place and after moving to a block; under
// AddressSanitizer a write past the inline slots or a lost block would be reported.
TEST(InlineList, KeepsOrderInPlaceAndBeyond) {
  TInlineList<int, 2> list;
  std::vector<int> model;
  const auto same = [&] { return std::vector<int>(list.begin(), list.end()) == model; };
  for (int i = 0; i < 9; ++i) list.push_back(i), model.push_back(i);
  list.insert(list.begin() + 1, 42), model.insert(model.begin() + 1, 42);
  list.erase(list.begin() + 4), model.erase(model.begin() + 4);
  list.insert(list.end(), 7), model.insert(model.end(), 7);
  EXPECT_TRUE(same());
  const int fresh[] = {5, 6};
  list.assign(std::begin(fresh), std::end(fresh)), model.assign(std::begin(fresh), std::end(fresh));
  EXPECT_TRUE(same());
  TInlineList<int, 2> small;  // insert at the front of a full inline list moves it out
  small.push_back(1), small.push_back(2);
  small.insert(small.begin(), 0);
  EXPECT_EQ(std::vector<int>(small.begin(), small.end()), (std::vector<int>{0, 1, 2}));
}

// A borrowed vector comes empty, a nested borrower gets its own, and the capacity left
// behind is what the next borrower starts with.
TEST(ScratchVector, LendsEmptyVectorsAndKeepsTheLargerCapacity) {
  const int* kept = nullptr;
  {
    TScratchVector<int> outer;
    outer->assign(1000, 1);
    kept = outer->data();
    TScratchVector<int> inner;
    EXPECT_NE(inner->data(), kept);
    inner->push_back(2);
  }
  TScratchVector<int> next;
  EXPECT_TRUE(next->empty());
  EXPECT_EQ(next->data(), kept);
}

}  // namespace
}  // namespace evokit
