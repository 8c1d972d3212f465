// The parallel loop that ParallelEvolve and ParallelEvaluateFitness run on.
//
// TParallel::For(Low, High, Body) calls Body(i) for every i in the inclusive range
// [Low, High] on a pool of worker threads (oneTBB, or plain std::thread workers when
// the library is built with EVOKIT_THREAD_BACKEND_STD), returns once every iteration
// has ended, and rethrows the first exception an iteration raised (the remaining
// iterations may or may not run). Each iteration draws its random numbers from a
// stream derived from one key drawn on the caller's thread and the iteration's index,
// so a seeded run gives the same result whatever the number of threads. ForRanges is the
// loop for bodies that draw nothing: it hands each thread whole sub-ranges, so that an
// iteration that costs little costs no more than its own work.
// Both loops hand out the range in chunks of consecutive indices, a few per thread, which
// a thread that is done early takes over from the others.
// Thread safety: For may be called from any thread, also from inside an iteration.
#pragma once

#include <cstdint>
#include <functional>

namespace evokit {

class TParallel {
 public:
  using TIteration = std::function<void(std::int64_t Index)>;
  using TRangeBody = std::function<void(std::int64_t First, std::int64_t Last)>;

  static void For(std::int64_t Low, std::int64_t High, const TIteration& Body);
  // Calls Body(First, Last) for inclusive sub-ranges that together cover [Low, High] once,
  // each on one thread; returns once all have ended and rethrows the first exception.
  // No random stream is set up and no key drawn: Body must not draw random numbers.
  static void ForRanges(std::int64_t Low, std::int64_t High, const TRangeBody& Body);

  // Limits the number of worker threads For uses; 0 (the default) means one per core.
  static void SetMaxThreads(int Count);
  static int MaxThreads();
  // The number of workers For will actually use.
  static int EffectiveThreads();
};

}  // namespace evokit
