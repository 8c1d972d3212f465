#include <evokit/platform/pool.h>

#include <array>
#include <new>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define EVOKIT_POOL_DISABLED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define EVOKIT_POOL_DISABLED 1
#endif
#endif

namespace evokit {

namespace {

#ifndef EVOKIT_POOL_DISABLED

constexpr std::size_t kGranule = 16;
constexpr std::size_t kClasses = 16;  // 16, 32, ..., 256 bytes
// Blocks a thread keeps per size class; more go back to the general allocator, so a
// thread that frees what others made does not hoard them without bound. A generation of
// programs frees and makes the population's nodes again, easily 10^5 of them: the cap is
// well above that (at most 16 MiB of 64-byte blocks kept per class and thread).
constexpr int kMaxFree = 1 << 18;

struct TFreeBlock {
  TFreeBlock* Next;
};

class TThreadPool {
 public:
  ~TThreadPool();
  std::array<TFreeBlock*, kClasses> Heads{};
  std::array<int, kClasses> Counts{};
};

// The way to the thread's pool, read on every allocation and free of a node. Plain
// values, so they stay readable while and after thread-local objects are destroyed: Gone
// is set when the pool is destroyed at thread exit, and blocks freed then go straight back
// to the general allocator. The initial-exec model makes each access a couple of instructions
// even when the library is part of a shared object loaded at run time (the Python
// module), where the default model calls the loader; it takes 16 bytes of the static TLS
// space.
struct TPoolAccess {
  TThreadPool* Pool;
  bool Gone;
};
[[gnu::tls_model("initial-exec")]] constinit thread_local TPoolAccess tPoolAccess{nullptr, false};

TThreadPool::~TThreadPool() {
  tPoolAccess = {nullptr, true};
  for (std::size_t c = 0; c < kClasses; ++c)
    while (TFreeBlock* block = Heads[c]) {
      Heads[c] = block->Next;
      ::operator delete(block);
    }
}

TThreadPool* ThreadPool() noexcept {
  TPoolAccess& access = tPoolAccess;
  if (access.Pool || access.Gone) return access.Pool;
  thread_local TThreadPool pool;  // made on the thread's first use, destroyed at its exit
  access.Pool = &pool;
  return &pool;
}

#endif

}  // namespace

void* SmallObjectAllocate(std::size_t Size) {
#ifndef EVOKIT_POOL_DISABLED
  if (Size != 0 && Size <= kClasses * kGranule) {
    const std::size_t c = (Size - 1) / kGranule;
    if (TThreadPool* pool = ThreadPool()) {
      if (TFreeBlock* block = pool->Heads[c]) {
        pool->Heads[c] = block->Next;
        --pool->Counts[c];
        return block;
      }
    }
    return ::operator new((c + 1) * kGranule);
  }
#endif
  return ::operator new(Size);
}

void SmallObjectFree(void* Block, [[maybe_unused]] std::size_t Size) noexcept {
  if (!Block) return;
#ifndef EVOKIT_POOL_DISABLED
  if (Size != 0 && Size <= kClasses * kGranule) {
    const std::size_t c = (Size - 1) / kGranule;
    TThreadPool* pool = ThreadPool();
    if (pool && pool->Counts[c] < kMaxFree) {
      auto* block = static_cast<TFreeBlock*>(Block);
      block->Next = pool->Heads[c];
      pool->Heads[c] = block;
      ++pool->Counts[c];
      return;
    }
    ::operator delete(Block);
    return;
  }
#endif
  ::operator delete(Block);
}

}  // namespace evokit
