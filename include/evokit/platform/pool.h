// Small-object allocation for classes that are created and destroyed by the million, such
// as program tree nodes: each thread keeps free lists of blocks by size (in steps of 16
// bytes up to 256), so that a block freed on a thread is handed out again there without
// a call into the general allocator. Every block is an ordinary ::operator new block of
// its rounded size, so a block may be freed on any thread, including after the thread
// that made it has ended; a thread's lists go back to the general allocator when it ends.
// Blocks beyond 256 bytes, and every block in sanitizer builds (so that use after free
// stays visible), go straight to the general allocator.
// A class opts in with:
//   static void* operator new(std::size_t Size) { return SmallObjectAllocate(Size); }
//   static void operator delete(void* Block, std::size_t Size) noexcept { SmallObjectFree(Block, Size); }
#pragma once

#include <cstddef>
#include <limits>
#include <new>

namespace evokit {

// A block of at least Size bytes (std::bad_alloc when memory runs out).
void* SmallObjectAllocate(std::size_t Size);
// Frees a block from SmallObjectAllocate(Size); null is ignored.
void SmallObjectFree(void* Block, std::size_t Size) noexcept;

// A standard allocator over the pool, for small containers that many objects hold (the
// child list of a tree node).
template <class T>
struct TPoolAllocator {
  using value_type = T;
  TPoolAllocator() noexcept = default;
  template <class U>
  TPoolAllocator(const TPoolAllocator<U>&) noexcept {}
  T* allocate(std::size_t Count) {
    if (Count > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_array_new_length();
    return static_cast<T*>(SmallObjectAllocate(Count * sizeof(T)));
  }
  void deallocate(T* Block, std::size_t Count) noexcept { SmallObjectFree(Block, Count * sizeof(T)); }
  friend bool operator==(const TPoolAllocator&, const TPoolAllocator&) noexcept { return true; }
};

}  // namespace evokit
