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
  auto run = [&](std::int64_t i) {
    TRandomScope scope(key, static_cast<std::uint64_t>(i - Low));
    Body(i);
  };
  const int threads = EffectiveThreads();
  const std::int64_t count = High - Low + 1;
  if (threads <= 1 || count == 1) {
    for (std::int64_t i = Low; i <= High; ++i) run(i);
    return;
  }

#ifndef EVOKIT_THREAD_BACKEND_STD
  auto loop = [&] {
    tbb::parallel_for(tbb::blocked_range<std::int64_t>(Low, High + 1),
                      [&](const tbb::blocked_range<std::int64_t>& r) {
                        for (std::int64_t i = r.begin(); i != r.end(); ++i) run(i);
                      });
  };
  if (MaxThreads() > 0) {
    // oneTBB's worker pool is sized to the machine; asking for more only warns.
    ArenaFor(std::min(threads, tbb::info::default_concurrency())).execute(loop);
  } else {
    loop();
  }
#else
  // Workers take indices from a shared counter; the caller's thread works too.
  std::atomic<std::int64_t> next{Low};
  std::atomic<bool> failed{false};
  std::exception_ptr error;
  std::mutex errorLock;
  auto worker = [&] {
    for (;;) {
      if (failed.load(std::memory_order_relaxed)) return;
      const std::int64_t i = next.fetch_add(1, std::memory_order_relaxed);
      if (i > High) return;
      try {
        run(i);
      } catch (...) {
        std::lock_guard<std::mutex> guard(errorLock);
        if (!error) error = std::current_exception();
        failed.store(true, std::memory_order_relaxed);
      }
    }
  };
  const auto helpers = static_cast<std::size_t>(std::min<std::int64_t>(threads, count) - 1);
  std::vector<std::thread> pool;
  pool.reserve(helpers);
  for (std::size_t t = 0; t < helpers; ++t) pool.emplace_back(worker);
  worker();
  for (auto& t : pool) t.join();
  if (error) std::rethrow_exception(error);
#endif
}

}  // namespace evokit
