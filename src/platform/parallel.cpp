#include <evokit/platform/parallel.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <evokit/platform/random.h>

#ifndef EVOKIT_THREAD_BACKEND_STD
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/info.h>
#include <tbb/task_arena.h>
#endif

namespace evokit {
namespace {

std::atomic<int> gMaxThreads{0};

#ifndef EVOKIT_THREAD_BACKEND_STD
// Arenas are costly to create (a millisecond or more), so one per thread count is kept
// for the life of the process.
tbb::task_arena& ArenaFor(int Threads) {
  static std::mutex lock;
  static std::map<int, std::unique_ptr<tbb::task_arena>> arenas;
  std::lock_guard<std::mutex> guard(lock);
  auto& arena = arenas[Threads];
  if (!arena) {
    arena = std::make_unique<tbb::task_arena>(Threads);
    arena->initialize();
  }
  return *arena;
}
#endif

int HardwareThreads() {
  const unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : static_cast<int>(n);
}

}  // namespace

void TParallel::SetMaxThreads(int Count) { gMaxThreads.store(std::max(0, Count), std::memory_order_relaxed); }

int TParallel::MaxThreads() { return gMaxThreads.load(std::memory_order_relaxed); }

int TParallel::EffectiveThreads() {
  const int limit = MaxThreads();
  return limit > 0 ? limit : HardwareThreads();
}

void TParallel::For(std::int64_t Low, std::int64_t High, const TIteration& Body) {
  if (High < Low) return;
  const std::uint64_t key = RandomKey();
  ForRanges(Low, High, [&](std::int64_t First, std::int64_t Last) {
    for (std::int64_t i = First; i <= Last; ++i) {
      TRandomScope scope(key, static_cast<std::uint64_t>(i - Low));
      Body(i);
    }
  });
}

void TParallel::ForRanges(std::int64_t Low, std::int64_t High, const TRangeBody& Body) {
  if (High < Low) return;
  const int threads = EffectiveThreads();
  const std::int64_t count = High - Low + 1;
  if (threads <= 1 || count == 1) {
    Body(Low, High);
    return;
  }

#ifndef EVOKIT_THREAD_BACKEND_STD
  // oneTBB's auto partitioner splits the range into a few chunks per thread and splits a
  // chunk further only when another thread steals it.
  auto loop = [&] {
    tbb::parallel_for(tbb::blocked_range<std::int64_t>(Low, High + 1),
                      [&](const tbb::blocked_range<std::int64_t>& r) { Body(r.begin(), r.end() - 1); });
  };
  if (MaxThreads() > 0) {
    // oneTBB's worker pool is sized to the machine; asking for more only warns.
    ArenaFor(std::min(threads, tbb::info::default_concurrency())).execute(loop);
  } else {
    loop();
  }
#else
  // Workers take chunks of consecutive indices from a shared counter, about eight per
  // thread, so that one that finishes early takes over the others' remaining chunks; the
  // caller's thread works too.
  const std::int64_t chunk = std::max<std::int64_t>(1, count / (std::int64_t{threads} * 8));
  std::atomic<std::int64_t> next{Low};
  std::atomic<bool> failed{false};
  std::exception_ptr error;
  std::mutex errorLock;
  auto worker = [&] {
    for (;;) {
      if (failed.load(std::memory_order_relaxed)) return;
      const std::int64_t first = next.fetch_add(chunk, std::memory_order_relaxed);
      if (first > High) return;
      try {
        Body(first, std::min(High, first + chunk - 1));
      } catch (...) {
        std::lock_guard<std::mutex> guard(errorLock);
        if (!error) error = std::current_exception();
        failed.store(true, std::memory_order_relaxed);
      }
    }
  };
  const std::int64_t chunks = (count + chunk - 1) / chunk;
  const auto helpers = static_cast<std::size_t>(std::min<std::int64_t>(threads, chunks) - 1);
  std::vector<std::thread> pool;
  pool.reserve(helpers);
  for (std::size_t t = 0; t < helpers; ++t) pool.emplace_back(worker);
  worker();
  for (auto& t : pool) t.join();
  if (error) std::rethrow_exception(error);
#endif
}

}  // namespace evokit
