#include <evokit/platform/pool.h>

#include <new>

namespace evokit {
namespace pool_detail {

constinit thread_local TFreeLists* tFreeLists [[gnu::tls_model("initial-exec")]] = nullptr;

#ifndef EVOKIT_POOL_DISABLED

namespace {

// The lists themselves, made on the thread's first use and handed back to the general
// allocator at its exit. Blocks freed after that (by destructors of other thread-locals)
// go straight to the general allocator: tGone stays readable, a plain value.
class TThreadPool : public TFreeLists {
 public:
  ~TThreadPool();
};

[[gnu::tls_model("initial-exec")]] constinit thread_local bool tGone = false;

// Every block of Lists back to the general allocator.
void Empty(TFreeLists& Lists) noexcept {
  for (std::size_t c = 0; c < kClasses; ++c) {
    while (TFreeBlock* block = Lists.Heads[c]) {
      Lists.Heads[c] = block->Next;
      ::operator delete(block);
    }
    Lists.Counts[c] = 0;
  }
}

TThreadPool::~TThreadPool() {
  tFreeLists = nullptr;
  tGone = true;
  Empty(*this);
}

TFreeLists* ThreadLists() noexcept {
  if (TFreeLists* lists = tFreeLists) return lists;
  if (tGone) return nullptr;
  thread_local TThreadPool pool;
  tFreeLists = &pool;
  return &pool;
}

}  // namespace

void* AllocateSlow(std::size_t Size) {
  // The inline path found no block: the lists are empty, or not made yet (and then empty
  // once made). A pooled size gets its class's whole size, so that the block can join the
  // lists when it is freed.
  if (Size != 0 && Size <= kClasses * kGranule) return ::operator new(((Size - 1) / kGranule + 1) * kGranule);
  return ::operator new(Size);
}

void FreeSlow(void* Block, std::size_t Size) noexcept {
  if (!Block) return;
  if (Size != 0 && Size <= kClasses * kGranule) {
    const std::size_t c = (Size - 1) / kGranule;
    TFreeLists* lists = ThreadLists();
    if (lists && lists->Counts[c] < kMaxFree) {
      auto* block = static_cast<TFreeBlock*>(Block);
      block->Next = lists->Heads[c];
      lists->Heads[c] = block;
      ++lists->Counts[c];
      return;
    }
  }
  ::operator delete(Block);
}

#else

void* AllocateSlow(std::size_t Size) { return ::operator new(Size); }
void FreeSlow(void* Block, std::size_t) noexcept { ::operator delete(Block); }

#endif

}  // namespace pool_detail

void SmallObjectRelease() noexcept {
#ifndef EVOKIT_POOL_DISABLED
  if (pool_detail::TFreeLists* lists = pool_detail::tFreeLists) pool_detail::Empty(*lists);
#endif
}
}  // namespace evokit
