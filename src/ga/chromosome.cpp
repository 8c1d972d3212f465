#include <evokit/ga/chromosome.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>

#include <evokit/ga/genetic_algorithm.h>
#include <evokit/platform/random.h>

namespace evokit {

namespace {

constexpr int kWordBits = 64;
constexpr std::uint64_t kByteOnes = 0x0101010101010101u;
constexpr std::uint64_t kByteHighs = 0x8080808080808080u;
constexpr std::uint64_t kLow56 = (std::uint64_t{1} << 56) - 1;
// Below this rate Mutate draws the gaps between flips; from it on, a byte per bit.
constexpr double kGapProbability = 1.0 / 64;

}  // namespace

// --- TMXGABits -------------------------------------------------------------------

void TMXGABits::MarkOwner() const {
  if (FOwner) FOwner->FNeedFitness = true;
}

void TMXGABits::XorChunk(int Offset, int Count, std::uint64_t Mask) {
  // The field is at most 64 bits wide; a read sign-extended by PreserveSignBit only
  // changes bits above Count, which the write drops.
  const auto value = static_cast<std::uint64_t>(GetAsInt64(Offset, Count));
  SetAsInt64(Offset, Count, static_cast<std::int64_t>(value ^ Mask));
}

void TMXGABits::Randomize() {
  TRandomStream& stream = CurrentRandomStream();
  const int size = Size();
  for (int offset = 0; offset < size; offset += kWordBits) {
    const int count = std::min(kWordBits, size - offset);
    std::uint64_t word = 0;
    // The top bit of a draw is exactly the platform's integer draw from {0, 1}.
    for (int i = 0; i < count; ++i) word |= (stream.Next() >> 63) << i;
    SetAsInt64(offset, count, static_cast<std::int64_t>(word));
  }
  MarkOwner();
}

void TMXGABits::Clear() {
  const int size = Size();
  SetSize(0);
  SetSize(size);
}

bool TMXGABits::Mutate(TGAProbability MutationProbability) {
  const int size = Size();
  bool flipped = false;
  if (size > 0 && MutationProbability >= 1) {
    FlipBits(0, size);
    flipped = true;
  } else if (size > 0 && MutationProbability > 0 && MutationProbability < kGapProbability) {
    // Low rates draw the gaps between flipped bits instead of a decision per bit: the
    // number of kept bits before the next flip is geometric, P(gap >= k) = (1 - p)^k,
    // and floor(ln U / ln(1 - p)) with U uniform in (0, 1] has exactly that law. One draw
    // per flip, plus one that runs past the end.
    // The scale is the same for every chromosome of a run: keep the last one per thread.
    thread_local double lastProbability = 0, lastScale = 0;
    if (MutationProbability != lastProbability) {
      lastScale = 1.0 / std::log1p(-MutationProbability);
      lastProbability = MutationProbability;
    }
    const double scale = lastScale;
    TRandomStream& stream = CurrentRandomStream();
    std::int64_t bit = -1;
    for (;;) {
      const double gap = std::floor(std::log(1.0 - stream.NextDouble()) * scale);
      if (!(gap < static_cast<double>(size - 1 - bit))) break;
      bit += 1 + static_cast<std::int64_t>(gap);
      XorBits(static_cast<int>(bit), 1, 1);
      flipped = true;
    }
  } else if (size > 0 && MutationProbability > 0) {
    // Bit i flips when its draw D (a uniform 64-bit integer, read as the fraction D / 2^64)
    // is below Probability, that is D < T with T = ceil(Probability * 2^64), which lies in
    // [1, 2^64 - 2^11] for 0 < Probability < 1. D is built lazily: its top byte Dh comes
    // from a shared draw, eight bits to a draw. With Th the top byte of T and Tl its low 56
    // bits, Dh < Th decides "flip" and Dh > Th "keep"; only on Dh == Th (one bit in 256)
    // are D's low 56 bits drawn and compared with Tl.
    const auto threshold = static_cast<std::uint64_t>(std::ceil(std::ldexp(MutationProbability, 64)));
    const auto top = static_cast<unsigned>(threshold >> 56);
    const std::uint64_t rest = threshold & kLow56;
    // Most draws hold no byte <= Th: for Th < 128 the classic "some byte < n" test (exact
    // for n <= 128) skips them without looking at the bytes.
    const bool screen = top < 128;
    const std::uint64_t below = kByteOnes * (top + 1);
    TRandomStream& stream = CurrentRandomStream();
    for (int offset = 0; offset < size; offset += kWordBits) {
      const int count = std::min(kWordBits, size - offset);
      std::uint64_t mask = 0;
      for (int bit = 0; bit < count; bit += 8) {
        const std::uint64_t draws = stream.Next();
        if (screen && ((draws - below) & ~draws & kByteHighs) == 0) continue;
        const int bytes = std::min(8, count - bit);
        for (int j = 0; j < bytes; ++j) {
          const auto high = static_cast<unsigned>((draws >> (8 * j)) & 0xFF);
          std::uint64_t flip = high < top;
          if (high == top) [[unlikely]]
            flip = (stream.Next() >> 8) < rest;
          mask |= flip << (bit + j);
        }
      }
      if (mask != 0) {
        XorChunk(offset, count, mask);
        flipped = true;
      }
    }
  }
  MarkOwner();
  return flipped;
}

bool TMXGABits::MutateField(TGAProbability MutationProbability, int Offset, int Count) {
  if (Offset < 0 || Count < 0 || static_cast<std::int64_t>(Offset) + Count > Size()) {
    throw EMXException("Invalid mutation field: offset " + std::to_string(Offset) + ", length " +
                       std::to_string(Count) + " in a chromosome of " + std::to_string(Size()) + " bits");
  }
  bool flipped = false;
  if (Count > 0 && MutationProbability >= 1) {
    FlipBits(Offset, Count);
    flipped = true;
  } else if (MutationProbability > 0) {
    for (int bit = Offset; bit < Offset + Count; ++bit) {
      if (Random() < MutationProbability) {
        XorBits(bit, 1, 1);
        flipped = true;
      }
    }
  }
  MarkOwner();
  return flipped;
}

void TMXGABits::Invert(int Offset, int Len) {
  const int size = Size();
  if (Offset == -1) Offset = static_cast<int>(Random(size));
  if (Len == -1) Len = static_cast<int>(Random(static_cast<std::int64_t>(size) - Offset));
  if (Offset < 0 || Len < 0) {
    throw EMXException("Invalid inversion run: offset " + std::to_string(Offset) + ", length " +
                       std::to_string(Len));
  }
  if (Offset < size) FlipBits(Offset, static_cast<int>(std::min<std::int64_t>(std::int64_t{Len} + 1, size - Offset)));
  MarkOwner();
}

TMXGABits* TMXGABits::CrossOver(const TMXGABits& Source1, const TMXGABits& Source2, int CrossBit) {
  const int size = Size();
  const int first = std::clamp(CrossBit, 0, std::min(Source1.Size(), size));
  const int last = std::min(Source2.Size(), size);
  CopyBits(0, Source1, 0, first);
  if (last > first) CopyBits(first, Source2, first, last - first);
  MarkOwner();
  return this;
}

TMXGABits* TMXGABits::CrossOver(const TMXGABits& Source1, const TMXGABits& Source2) {
  return CrossOver(Source1, Source2, static_cast<int>(Random(Source1.Size())));
}

std::string TMXGABits::ToString() const { return TMXEncodedBits::ToString(); }

// --- TMXGAIndividual -------------------------------------------------------------

TMXGAIndividual::TMXGAIndividual(TCollection* Collection) : TMXIndividual(nullptr) {
  FBits = CreateDNA();
  if (Collection) SetCollection(Collection);
}

// Leaves the population while the chromosome still exists.
TMXGAIndividual::~TMXGAIndividual() {
  if (TCollectionItem::Collection()) SetCollection(nullptr);
}

std::unique_ptr<TMXGABits> TMXGAIndividual::CreateDNA() { return std::make_unique<TMXGABits>(this); }

void TMXGAIndividual::RecreateDNA() {
  std::unique_ptr<TMXGABits> bits = CreateDNA();
  if (FBits) bits->Assign(FBits.get());
  FBits = std::move(bits);
}

TMXGAPopulation* TMXGAIndividual::Collection() const {
  return FastCast<TMXGAPopulation>(TCollectionItem::Collection());
}

void TMXGAIndividual::SetBits(const TMXEncodedBits* Value) {
  FBits->Assign(Value);
  Modified();
}

void TMXGAIndividual::Assign(const TPersistent* Source) {
  if (const auto* source = FastCast<const TMXGAIndividual>(Source)) FBits->Assign(source->FBits.get());
  TMXIndividual::Assign(Source);
}

std::string TMXGAIndividual::ToString() const { return ClassName() + " " + FBits->ToString(); }

// --- TMXGAPopulation -------------------------------------------------------------

TMXGAPopulation::TMXGAPopulation(TPersistent* AOwner, TMXGAIndividualClass IndividualClass)
    : TMXPopulation(AOwner, IndividualClass) {}

TMXCustomGeneticAlgorithm* TMXGAPopulation::Owner() const {
  return FastCast<TMXCustomGeneticAlgorithm>(TMXPopulation::Owner());
}

}  // namespace evokit
