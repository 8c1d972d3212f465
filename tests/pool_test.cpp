#include <evokit/platform/pool.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

namespace evokit {
namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kPooled = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
constexpr bool kPooled = false;
#else
constexpr bool kPooled = true;
#endif
#else
constexpr bool kPooled = true;
#endif

// Blocks of every size around the pooled range hold their whole size, whichever thread
// made them and whichever frees them, also after the making thread has ended.
TEST(SmallObjectPool, BlocksHoldTheirSizeAcrossThreads) {
  struct TBlock {
    void* Pointer;
    std::size_t Size;
  };
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
  std::thread([&] {
    for (const TBlock& b : again) SmallObjectFree(b.Pointer, b.Size);
  }).join();
  for (const TBlock& b : reused) SmallObjectFree(b.Pointer, b.Size);
  SmallObjectFree(nullptr, 16);  // ignored
}

// A pooled block freed on a thread is the next one that thread hands out for that size
// class; blocks beyond the pooled range are not kept.
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
}

}  // namespace
}  // namespace evokit
