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

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

namespace evokit {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define EVOKIT_POOL_DISABLED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define EVOKIT_POOL_DISABLED 1
#endif
#endif

namespace pool_detail {

inline constexpr std::size_t kGranule = 16;
inline constexpr std::size_t kClasses = 16;  // 16, 32, ..., 256 bytes
// Blocks a thread keeps per size class; more go back to the general allocator, so a
// thread that frees what others made does not hoard them without bound. A generation of
// programs frees and makes the population's nodes again, easily 10^5 of them: the cap is
// well above that (at most 16 MiB of 64-byte blocks kept per class and thread).
inline constexpr int kMaxFree = 1 << 18;

struct TFreeBlock {
  TFreeBlock* Next;
};

// A thread's free lists, by size class.
struct TFreeLists {
  TFreeBlock* Heads[kClasses]{};
  int Counts[kClasses]{};
};

// The way to the thread's lists, read on every allocation and free of a node: null until
// the thread first frees a pooled block, and again once the lists are gone at thread
// exit. A plain pointer with constant initialization in the
// initial-exec model, so each access is a couple of instructions even when the library
// is part of a shared object loaded at run time (the Python module), where the default
// model calls the loader; it takes 8 bytes of the static TLS space.
extern constinit thread_local TFreeLists* tFreeLists [[gnu::tls_model("initial-exec")]];

// The paths that the inline functions leave to the library: a thread without lists yet,
// a list that is empty or full, large blocks, and builds without the pool.
void* AllocateSlow(std::size_t Size);
void FreeSlow(void* Block, std::size_t Size) noexcept;

}  // namespace pool_detail

// A block of at least Size bytes (std::bad_alloc when memory runs out).
inline void* SmallObjectAllocate(std::size_t Size) {
#ifndef EVOKIT_POOL_DISABLED
  using namespace pool_detail;
  if (Size != 0 && Size <= kClasses * kGranule)
    if (TFreeLists* lists = tFreeLists) {
      const std::size_t c = (Size - 1) / kGranule;
      if (TFreeBlock* block = lists->Heads[c]) {
        lists->Heads[c] = block->Next;
        --lists->Counts[c];
        return block;
      }
    }
#endif
  return pool_detail::AllocateSlow(Size);
}

// Frees a block from SmallObjectAllocate(Size); null is ignored.
inline void SmallObjectFree(void* Block, std::size_t Size) noexcept {
#ifndef EVOKIT_POOL_DISABLED
  using namespace pool_detail;
  if (Block && Size != 0 && Size <= kClasses * kGranule)
    if (TFreeLists* lists = tFreeLists) {
      const std::size_t c = (Size - 1) / kGranule;
      if (lists->Counts[c] < kMaxFree) {
        auto* block = static_cast<TFreeBlock*>(Block);
        block->Next = lists->Heads[c];
        lists->Heads[c] = block;
        ++lists->Counts[c];
        return;
      }
    }
#endif
  pool_detail::FreeSlow(Block, Size);
}

// Hands the blocks the calling thread keeps for reuse back to the general allocator, for
// when a thread is done making blocks of these sizes for a while (trees turned into
// another form, say), so that the memory serves other allocations.
void SmallObjectRelease() noexcept;

// A list of trivially copyable values (pointers) that keeps its first N in place and
// moves to a pool block beyond: a tree node's children, mostly one or two, then need no
// allocation of their own and share the node's cache lines. Growth gives the strong
// guarantee (std::bad_alloc leaves the list as it was); clear() keeps the capacity.
template <class T, std::uint32_t N = 2>
class TInlineList {
  static_assert(std::is_trivially_copyable_v<T> && N > 0);

 public:
  using value_type = T;
  using iterator = T*;
  using const_iterator = const T*;

  TInlineList() noexcept {}
  TInlineList(const TInlineList&) = delete;
  TInlineList& operator=(const TInlineList&) = delete;
  ~TInlineList() { Release(); }

  std::size_t size() const noexcept { return FSize; }
  bool empty() const noexcept { return FSize == 0; }
  std::size_t capacity() const noexcept { return FCapacity; }
  T* data() noexcept { return OnHeap() ? FHeap : FInline; }
  const T* data() const noexcept { return OnHeap() ? FHeap : FInline; }
  T* begin() noexcept { return data(); }
  T* end() noexcept { return data() + FSize; }
  const T* begin() const noexcept { return data(); }
  const T* end() const noexcept { return data() + FSize; }
  T& operator[](std::size_t Index) noexcept { return data()[Index]; }
  const T& operator[](std::size_t Index) const noexcept { return data()[Index]; }
  T& back() noexcept { return data()[FSize - 1]; }
  const T& back() const noexcept { return data()[FSize - 1]; }
  operator std::span<const T>() const noexcept { return {data(), FSize}; }

  void reserve(std::size_t Count) {
    if (Count > FCapacity) Grow(Count);
  }
  void push_back(T Value) {
    if (FSize == FCapacity) Grow(std::size_t{FCapacity} * 2);
    data()[FSize++] = Value;
  }
  void pop_back() noexcept { --FSize; }
  void clear() noexcept { FSize = 0; }
  T* insert(const T* Position, T Value) {
    const std::size_t at = static_cast<std::size_t>(Position - data());
    if (FSize == FCapacity) Grow(std::size_t{FCapacity} * 2);
    T* items = data();
    std::copy_backward(items + at, items + FSize, items + FSize + 1);
    items[at] = Value;
    ++FSize;
    return items + at;
  }
  T* erase(const T* Position) noexcept {
    T* items = data();
    const std::size_t at = static_cast<std::size_t>(Position - items);
    std::copy(items + at + 1, items + FSize, items + at);
    --FSize;
    return items + at;
  }
  template <class Iterator>
  void assign(Iterator First, Iterator Last) {
    const std::size_t count = static_cast<std::size_t>(std::distance(First, Last));
    reserve(count);
    std::copy(First, Last, data());
    FSize = static_cast<std::uint32_t>(count);
  }

 private:
  bool OnHeap() const noexcept { return FCapacity > N; }
  void Grow(std::size_t Count) {
    if (Count > std::numeric_limits<std::uint32_t>::max() / sizeof(T)) throw std::bad_array_new_length();
    T* block = static_cast<T*>(SmallObjectAllocate(Count * sizeof(T)));
    std::copy(begin(), end(), block);
    Release();
    FHeap = block;
    FCapacity = static_cast<std::uint32_t>(Count);
  }
  void Release() noexcept {
    if (OnHeap()) SmallObjectFree(FHeap, std::size_t{FCapacity} * sizeof(T));
  }

  std::uint32_t FSize = 0;
  std::uint32_t FCapacity = N;
  union {
    T FInline[N];
    T* FHeap;
  };
};

// The object a thread_local names, reached once for a whole function. In a shared
// library every use of a thread_local calls __tls_get_addr, and GCC repeats that call at
// each use rather than keep the address in a register, even inside a loop; an address
// the compiler cannot trace back to the thread_local is kept like any other pointer.
template <class T>
inline T& ThreadLocal(T& Object) noexcept {
  T* address = &Object;
  asm("" : "+r"(address));
  return *address;
}

// A std::vector borrowed, for the length of a call, from a cache its thread keeps, so
// that work lists of hot paths (tree walks) reuse their capacity instead of allocating on
// every call. The vector starts empty; a nested borrower of the same element type finds
// the cache taken and starts a vector of its own, and the larger one is kept on return.
// A borrower that is known to run inside another of the same element type (a tree freed
// while a list of the new one is being kept) names a Tag of its own, and so a cache.
template <class T, class Tag = void>
class TScratchVector {
 public:
  TScratchVector() noexcept : FItems(std::move(Cache())) { FItems.clear(); }
  TScratchVector(const TScratchVector&) = delete;
  TScratchVector& operator=(const TScratchVector&) = delete;
  ~TScratchVector() {
    std::vector<T>& cache = ThreadLocal(Cache());
    if (FItems.capacity() > cache.capacity()) {
      FItems.clear();
      cache = std::move(FItems);
    }
  }
  std::vector<T>& operator*() noexcept { return FItems; }
  std::vector<T>* operator->() noexcept { return &FItems; }

 private:
  static std::vector<T>& Cache() noexcept {
    static thread_local std::vector<T> tCache;
    return tCache;
  }
  std::vector<T> FItems;
};

}  // namespace evokit
