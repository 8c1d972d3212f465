#include <evokit/platform/bits.h>

#include <bit>
#include <climits>

#include <evokit/platform/exceptions.h>

namespace evokit {

void TBits::RangeError() { throw EListError("Bits index out of range"); }

void TBits::SetSize(int Value) {
  if (Value < 0) RangeError();
  if (Value == FSize) return;
  const std::size_t words = (static_cast<std::size_t>(Value) + kWordBits - 1) / kWordBits;
  FWords.resize(words, 0);  // may throw; nothing has changed yet
  // Keep the bits past the new size cleared in the last word.
  const int tail = Value % kWordBits;
  if (tail != 0) FWords.back() &= (std::uint64_t{1} << tail) - 1;
  FSize = Value;
}

bool TBits::Bits(int Index) const {
  if (Index < 0 || Index >= FSize) RangeError();
  return (FWords[static_cast<std::size_t>(Index / kWordBits)] >> (Index % kWordBits)) & 1U;
}

void TBits::SetBits(int Index, bool Value) {
  if (Index < 0 || Index == INT_MAX) RangeError();
  if (Index >= FSize) SetSize(Index + 1);
  std::uint64_t& word = FWords[static_cast<std::size_t>(Index / kWordBits)];
  const std::uint64_t mask = std::uint64_t{1} << (Index % kWordBits);
  if (Value) {
    word |= mask;
  } else {
    word &= ~mask;
  }
}

int TBits::OpenBit() const noexcept {
  for (std::size_t w = 0; w < FWords.size(); ++w) {
    if (FWords[w] != ~std::uint64_t{0}) {
      const int index = static_cast<int>(w) * kWordBits + std::countr_one(FWords[w]);
      return index < FSize ? index : FSize;
    }
  }
  return FSize;
}

void TBits::Assign(const TPersistent* Source) {
  if (Source == this) return;
  if (const auto* source = dynamic_cast<const TBits*>(Source)) {
    FWords = source->FWords;
    FSize = source->FSize;
    return;
  }
  TPersistent::Assign(Source);
}

}  // namespace evokit
