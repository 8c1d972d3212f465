// Costs of the bit-string operations that the GA's inner loops use, on 1,000-bit strings.
#include <evokit/common/encoded_bits.h>
#include <evokit/platform/random.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

namespace evokit {
namespace {

constexpr int kBits = 1000;

struct TBenchBits : TMXEncodedBits {
  explicit TBenchBits(TRandomStream& Stream) {
    SetSize(kBits);
    for (int i = 0; i < kBits; ++i) SetBits(i, Stream.Next() & 1u);
  }
};

// Reads and writes 13-bit integer fields laid end to end (most cross no word boundary,
// some do), 76 fields per iteration.
void BM_IntegerFieldWrite(benchmark::State& State) {
  TRandomStream stream(1);
  TBenchBits bits(stream);
  std::int32_t value = 0;
  for (auto _ : State) {
    for (int offset = 0; offset + 13 <= kBits; offset += 13) bits.SetAsInteger(offset, 13, value++ & 0x1FFF);
    benchmark::ClobberMemory();
  }
  State.SetItemsProcessed(State.iterations() * (kBits / 13));
}
BENCHMARK(BM_IntegerFieldWrite);

void BM_IntegerFieldRead(benchmark::State& State) {
  TRandomStream stream(2);
  TBenchBits bits(stream);
  bits.SetPreserveSignBit(true);
  for (auto _ : State) {
    std::int64_t sum = 0;
    for (int offset = 0; offset + 13 <= kBits; offset += 13) sum += bits.GetAsInteger(offset, 13);
    benchmark::DoNotOptimize(sum);
  }
  State.SetItemsProcessed(State.iterations() * (kBits / 13));
}
BENCHMARK(BM_IntegerFieldRead);

// Doubles at an odd offset, so every field straddles two words.
void BM_DoubleFieldReadWrite(benchmark::State& State) {
  TRandomStream stream(3);
  TBenchBits bits(stream);
  for (auto _ : State) {
    double sum = 0;
    for (int offset = 3; offset + 64 <= kBits; offset += 64) {
      bits.SetAsDouble(offset, 64, offset * 0.5);
      sum += bits.GetAsDouble(offset, 64);
    }
    benchmark::DoNotOptimize(sum);
  }
  State.SetItemsProcessed(State.iterations() * ((kBits - 3) / 64));
}
BENCHMARK(BM_DoubleFieldReadWrite);

void BM_ToString(benchmark::State& State) {
  TRandomStream stream(4);
  TBenchBits bits(stream);
  for (auto _ : State) benchmark::DoNotOptimize(bits.ToString());
  State.SetBytesProcessed(State.iterations() * kBits);
}
BENCHMARK(BM_ToString);

// One-point crossover of two 1,000-bit parents into a child at a varying point.
void BM_CrossOver(benchmark::State& State) {
  TRandomStream stream(5);
  TBenchBits first(stream), second(stream), child(stream);
  std::array<int, 64> points{};
  for (auto& point : points) point = static_cast<int>(stream.NextBelow(kBits));
  std::size_t next = 0;
  for (auto _ : State) {
    const int n1 = points[next++ % points.size()];
    child.CopyBits(0, first, 0, n1);
    child.CopyBits(n1, second, n1, kBits - n1);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_CrossOver);

// Run inversion with random offset and length, as Invert(-1, -1) draws them.
void BM_Invert(benchmark::State& State) {
  TRandomStream stream(6);
  TBenchBits bits(stream);
  std::array<std::pair<int, int>, 64> runs{};
  for (auto& run : runs) {
    run.first = static_cast<int>(stream.NextBelow(kBits));
    run.second = 1 + static_cast<int>(stream.NextBelow(kBits - run.first));
  }
  std::size_t next = 0;
  for (auto _ : State) {
    const auto [offset, count] = runs[next++ % runs.size()];
    bits.FlipBits(offset, count);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_Invert);

// Per-bit mutation at probability 0.001, including drawing one number per bit.
void BM_Mutate(benchmark::State& State) {
  TRandomStream stream(7);
  TBenchBits bits(stream);
  std::array<std::uint64_t, 64> draws{};
  for (auto _ : State) {
    int flipped = 0;
    for (int offset = 0; offset < kBits; offset += 64) {
      const int count = std::min(64, kBits - offset);
      for (int i = 0; i < count; ++i) draws[i] = stream.Next() & ~std::uint64_t{0x7FF};
      flipped += bits.MutateBits(offset, count, draws.data(), 0.001);
    }
    benchmark::DoNotOptimize(flipped);
  }
  State.SetItemsProcessed(State.iterations() * kBits);
}
BENCHMARK(BM_Mutate);

}  // namespace
}  // namespace evokit
