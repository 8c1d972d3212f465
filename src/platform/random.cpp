#include <evokit/platform/random.h>

#include <atomic>
#include <chrono>
#include <random>
#include <type_traits>

namespace evokit {
namespace {

__extension__ typedef unsigned __int128 TUInt128;

std::uint64_t SplitMix(std::uint64_t& x) {
  std::uint64_t z = (x += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

std::atomic<std::uint64_t> gSeed{0};
std::atomic<std::uint64_t> gEpoch{1};
std::atomic<std::uint64_t> gThreadCount{0};

// Each thread's default stream, re-derived from the global seed whenever RandSeed has
// been called since the thread last drew. Trivially destructible, so it stays usable
// until the thread is gone.
struct TThreadRandom {
  std::uint64_t Number = gThreadCount.fetch_add(1, std::memory_order_relaxed);
  std::uint64_t Epoch = 0;
  TRandomStream Default;
};
thread_local TThreadRandom tRandom;
static_assert(std::is_trivially_destructible_v<TThreadRandom>);

// What every draw reads first: the stream of the innermost TRandomScope, and the way to
// the thread's default stream once it exists. Plain pointers with constant
// initialization in the initial-exec model, so a draw costs a couple of instructions even
// when the library sits in a shared object loaded at run time (the Python module), where
// the thread-local above is reached through the loader and an initialization check; it
// takes 16 bytes of the static TLS space.
struct TRandomAccess {
  TRandomStream* Current;
  TThreadRandom* Own;
};
[[gnu::tls_model("initial-exec")]] constinit thread_local TRandomAccess tAccess{nullptr, nullptr};

TThreadRandom& OwnRandom() {
  TRandomAccess& access = tAccess;
  if (!access.Own) access.Own = &tRandom;
  return *access.Own;
}

}  // namespace

TRandomStream::TRandomStream(std::uint64_t Key, std::uint64_t Index) {
  std::uint64_t x = Key ^ SplitMix(Index);
  for (auto& word : s) word = SplitMix(x);
}

void TRandomStream::Seed64(std::uint64_t Seed) {
  std::uint64_t x = Seed;
  for (auto& word : s) word = SplitMix(x);
}

std::int64_t TRandomStream::NextBelow(std::int64_t N) {
  if (N <= 0) return 0;
  const auto range = static_cast<std::uint64_t>(N);
  TUInt128 m = static_cast<TUInt128>(Next()) * range;
  auto low = static_cast<std::uint64_t>(m);
  if (low < range) {
    const std::uint64_t threshold = (0 - range) % range;
    while (low < threshold) {
      m = static_cast<TUInt128>(Next()) * range;
      low = static_cast<std::uint64_t>(m);
    }
  }
  return static_cast<std::int64_t>(m >> 64);
}

TRandomStream& CurrentRandomStream() {
  if (TRandomStream* current = tAccess.Current) return *current;
  TThreadRandom& t = OwnRandom();
  const std::uint64_t epoch = gEpoch.load(std::memory_order_acquire);
  if (t.Epoch != epoch) {
    t.Epoch = epoch;
    t.Default = TRandomStream(gSeed.load(std::memory_order_relaxed), t.Number);
  }
  return t.Default;
}

void RandSeed(std::uint64_t Seed) {
  gSeed.store(Seed, std::memory_order_relaxed);
  const std::uint64_t epoch = gEpoch.fetch_add(1, std::memory_order_acq_rel) + 1;
  // The seeding thread restarts from the seed itself, whatever its thread number.
  TThreadRandom& t = OwnRandom();
  t.Epoch = epoch;
  t.Default = TRandomStream(Seed);
}

std::uint64_t RandSeed() { return gSeed.load(std::memory_order_relaxed); }

void Randomize() {
  std::random_device device;
  const auto now = static_cast<std::uint64_t>(std::chrono::high_resolution_clock::now().time_since_epoch().count());
  RandSeed((static_cast<std::uint64_t>(device()) << 32 ^ device()) ^ now);
}

TRandomScope::TRandomScope(std::uint64_t Key, std::uint64_t Index)
    : FStream(Key, Index), FPrevious(tAccess.Current) {
  tAccess.Current = &FStream;
}

TRandomScope::~TRandomScope() { tAccess.Current = FPrevious; }

}  // namespace evokit
