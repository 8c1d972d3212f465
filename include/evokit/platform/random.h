// The library's one random source.
//
// Every draw goes to the calling thread's current stream: a per-thread default stream
// derived from the global seed, or, inside an iteration of TParallel::For, a stream
// derived from a key drawn before the loop and the iteration's index. So a seeded run
// gives the same draws whatever the number of threads, and no draw takes a lock.
// Thread safety: all functions may be called from any thread at any time; RandSeed and
// Randomize affect the calling thread at once and other threads at their next draw.
#pragma once

#include <cstdint>

namespace evokit {

// xoshiro256** generator: 2^256 - 1 period, a few cycles per draw.
class TRandomStream {
 public:
  explicit TRandomStream(std::uint64_t Seed = 0) { Seed64(Seed); }
  // A stream for the pair (Key, Index): distinct pairs give independent-looking streams.
  TRandomStream(std::uint64_t Key, std::uint64_t Index);
  void Seed64(std::uint64_t Seed);

  std::uint64_t Next() {
    const std::uint64_t result = Rotl(s[1] * 5, 7) * 9;
    const std::uint64_t t = s[1] << 17;
    s[2] ^= s[0];
    s[3] ^= s[1];
    s[1] ^= s[2];
    s[0] ^= s[3];
    s[2] ^= t;
    s[3] = Rotl(s[3], 45);
    return result;
  }
  // Uniform double in [0, 1) with 53 random bits.
  double NextDouble() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }
  // Uniform integer in [0, N); 0 when N <= 0. Unbiased (multiply-and-reject).
  std::int64_t NextBelow(std::int64_t N);

 private:
  static std::uint64_t Rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  std::uint64_t s[4];
};

// The calling thread's current stream (for bulk draws in hot loops).
TRandomStream& CurrentRandomStream();

// A double in [0, 1).
inline double Random() { return CurrentRandomStream().NextDouble(); }
// An integer in [0, N); 0 when N is 0 (or negative).
inline std::int64_t Random(std::int64_t N) { return CurrentRandomStream().NextBelow(N); }
// Seeds the source: the calling thread's stream restarts from Seed and other threads'
// default streams restart from Seed and their own thread number.
void RandSeed(std::uint64_t Seed);
// The seed last given to RandSeed (0 until then: unseeded runs repeat too).
std::uint64_t RandSeed();
// Seeds the source from the clock and the operating system's entropy.
void Randomize();

// Installs, for its lifetime, the stream derived from (Key, Index) as the calling
// thread's current stream; restores the previous one on destruction. TParallel::For
// wraps every iteration in one of these.
class TRandomScope {
 public:
  TRandomScope(std::uint64_t Key, std::uint64_t Index);
  ~TRandomScope();
  TRandomScope(const TRandomScope&) = delete;
  TRandomScope& operator=(const TRandomScope&) = delete;

 private:
  TRandomStream FStream;
  TRandomStream* FPrevious;
};

// Draws a 64-bit key from the current stream, to derive per-iteration streams from.
inline std::uint64_t RandomKey() { return CurrentRandomStream().Next(); }

}  // namespace evokit
