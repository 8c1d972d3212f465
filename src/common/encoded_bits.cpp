#include <evokit/common/encoded_bits.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>

#include <evokit/platform/bits.h>

namespace evokit {

namespace {

constexpr int kWordBits = 64;

std::size_t WordsFor(int Bits) noexcept { return (static_cast<std::size_t>(Bits) + kWordBits - 1) / kWordBits; }

// Eight characters per byte value, least significant bit first.
constexpr std::array<std::array<char, 8>, 256> MakeByteText() {
  std::array<std::array<char, 8>, 256> table{};
  for (int byte = 0; byte < 256; ++byte)
    for (int bit = 0; bit < 8; ++bit) table[byte][bit] = ((byte >> bit) & 1) ? '1' : '0';
  return table;
}
constexpr auto kByteText = MakeByteText();

// Rounds a double to single precision as IEEE conversion does, without the undefined
// behaviour of converting a finite value beyond the single range.
float NarrowToSingle(double Value) noexcept {
  constexpr double kMax = FLT_MAX;
  constexpr double kHalfwayToInfinity = kMax + 0x1p103;  // ties go to the even infinity
  if (std::isfinite(Value) && std::fabs(Value) > kMax) {
    const float magnitude = std::fabs(Value) < kHalfwayToInfinity ? FLT_MAX : std::numeric_limits<float>::infinity();
    return std::signbit(Value) ? -magnitude : magnitude;
  }
  return static_cast<float>(Value);
}

}  // namespace

std::size_t FindNonBitChar(std::string_view Text) noexcept {
  // Eight characters at a time: '0' and '1' are 0x30 and 0x31, so a word of bit text
  // has every byte equal to 0x30 once the low bits are masked off.
  constexpr std::uint64_t kLowBitsOff = 0xFEFEFEFEFEFEFEFEu, kZeros = 0x3030303030303030u;
  std::size_t start = 0;
  for (; start + 8 <= Text.size(); start += 8) {
    std::uint64_t word;
    std::memcpy(&word, Text.data() + start, 8);
    if ((word & kLowBitsOff) != kZeros) break;
  }
  for (std::size_t i = start; i < Text.size(); ++i)
    if ((Text[i] & 0xFE) != 0x30) return i;
  return std::string_view::npos;
}

// --- size and checks -------------------------------------------------------

void TMXEncodedBits::SetSize(int Value) {
  if (Value < 0) IndexError();
  if (Value > MaxSize) SizeError(Value);
  FWords.resize(WordsFor(Value), 0);
  FSize = Value;
  // Keep the bits past the new end zero: equality, text and growth rely on it.
  if (const int tail = Value % kWordBits; tail != 0) FWords.back() &= LowMask(tail);
}

void TMXEncodedBits::IndexError() { throw EListError("Bits index out of range"); }

void TMXEncodedBits::SizeError(int Value) {
  throw EListError("Bits size " + std::to_string(Value) + " exceeds the maximum of " + std::to_string(MaxSize));
}

void TMXEncodedBits::GrowFor(int Index) {
  if (Index < 0 || Index >= MaxSize) IndexError();
  SetSize(Index + 1);
}

void TMXEncodedBits::FieldError(int Offset, int Size, int MaxSize, const char* What) const {
  if (Size < 0 || Size > MaxSize) {
    throw EMXException(std::string(What) + " field size " + std::to_string(Size) + " is outside 0 to " +
                       std::to_string(MaxSize));
  }
  throw EMXException(std::string(What) + " field at offset " + std::to_string(Offset) + " with size " +
                     std::to_string(Size) + " lies outside the bit string of size " + std::to_string(FSize));
}

void TMXEncodedBits::CheckFloatSize(int Size) {
  if (Size != 32 && Size != 64)
    throw EMXException("A floating-point field must be 32 or 64 bits wide, not " + std::to_string(Size));
}

// --- unchecked field access ------------------------------------------------

void TMXEncodedBits::XorField(int Offset, int Size, std::uint64_t Mask) noexcept {
  if (Size == 0) return;
  Mask &= LowMask(Size);
  const std::size_t word = static_cast<std::size_t>(Offset) / kWordBits;
  const int shift = Offset % kWordBits;
  FWords[word] ^= Mask << shift;
  if (shift + Size > kWordBits) FWords[word + 1] ^= Mask >> (kWordBits - shift);
}

// --- typed fields ----------------------------------------------------------

bool TMXEncodedBits::GetAsBoolean(int Offset, int Size) const {
  CheckField(Offset, Size, std::numeric_limits<int>::max(), "Boolean");
  for (int done = 0; done < Size; done += kWordBits)
    if (Extract(Offset + done, std::min(kWordBits, Size - done)) != 0) return true;
  return false;
}

void TMXEncodedBits::SetAsBoolean(int Offset, int Size, bool Value) {
  CheckField(Offset, Size, std::numeric_limits<int>::max(), "Boolean");
  for (int done = 0; done < Size; done += kWordBits) Deposit(Offset + done, std::min(kWordBits, Size - done), 0);
  if (Value && Size > 0) Deposit(Offset, 1, 1);
}

float TMXEncodedBits::GetAsFloat(int Offset, int Size) const {
  CheckField(Offset, Size, 64, "Float");
  CheckFloatSize(Size);
  if (Size == 32) return std::bit_cast<float>(static_cast<std::uint32_t>(Extract(Offset, 32)));
  return NarrowToSingle(std::bit_cast<double>(Extract(Offset, 64)));
}

void TMXEncodedBits::SetAsFloat(int Offset, int Size, float Value) {
  CheckField(Offset, Size, 64, "Float");
  CheckFloatSize(Size);
  if (Size == 32)
    Deposit(Offset, 32, std::bit_cast<std::uint32_t>(Value));
  else
    Deposit(Offset, 64, std::bit_cast<std::uint64_t>(static_cast<double>(Value)));
}

double TMXEncodedBits::GetAsDouble(int Offset, int Size) const {
  CheckField(Offset, Size, 64, "Double");
  CheckFloatSize(Size);
  if (Size == 32) return std::bit_cast<float>(static_cast<std::uint32_t>(Extract(Offset, 32)));
  return std::bit_cast<double>(Extract(Offset, 64));
}

void TMXEncodedBits::SetAsDouble(int Offset, int Size, double Value) {
  CheckField(Offset, Size, 64, "Double");
  CheckFloatSize(Size);
  if (Size == 32)
    Deposit(Offset, 32, std::bit_cast<std::uint32_t>(NarrowToSingle(Value)));
  else
    Deposit(Offset, 64, std::bit_cast<std::uint64_t>(Value));
}

// --- bit text --------------------------------------------------------------

void TMXEncodedBits::AppendText(std::string& Out, int Offset, int Size) const {
  const std::size_t start = Out.size();
  // Whole bytes are written, then the surplus characters are cut off.
  Out.resize(start + (static_cast<std::size_t>(Size) + 7) / 8 * 8);
  char* dest = Out.data() + start;
  for (int done = 0; done < Size; done += kWordBits) {
    const int chunk = std::min(kWordBits, Size - done);
    std::uint64_t value = Extract(Offset + done, chunk);
    for (int byte = 0; byte < chunk; byte += 8, value >>= 8, dest += 8)
      std::memcpy(dest, kByteText[value & 0xFF].data(), 8);
  }
  Out.resize(start + static_cast<std::size_t>(Size));
}

std::string TMXEncodedBits::GetAsBitString(int Offset, int Size) const {
  CheckField(Offset, Size, std::numeric_limits<int>::max(), "Bit string");
  std::string text;
  AppendText(text, Offset, Size);
  return text;
}

void TMXEncodedBits::SetAsBitString(int Offset, int Size, std::string_view Text) {
  CheckField(Offset, Size, std::numeric_limits<int>::max(), "Bit string");
  if (const auto bad = FindNonBitChar(Text); bad != std::string_view::npos) {
    throw EMXException("Invalid character '" + std::string(1, Text[bad]) + "' at position " + std::to_string(bad) +
                       " of a bit string");
  }
  const int given = static_cast<int>(std::min<std::size_t>(Text.size(), static_cast<std::size_t>(Size)));
  for (int done = 0; done < Size; done += kWordBits) {
    const int chunk = std::min(kWordBits, Size - done);
    std::uint64_t value = 0;
    const int from_text = std::max(0, std::min(chunk, given - done));
    int i = 0;
    // Eight characters at a time: less '0' each byte is the bit, and the multiplication
    // gathers byte k's bit into bit 56 + k (every partial product lands on its own bit).
    for (; i + 8 <= from_text; i += 8) {
      std::uint64_t word;
      std::memcpy(&word, Text.data() + done + i, 8);
      value |= (((word - 0x3030303030303030u) * 0x0102040810204080u) >> 56) << i;
    }
    for (; i < from_text; ++i) value |= static_cast<std::uint64_t>(Text[done + i] - '0') << i;
    Deposit(Offset + done, chunk, value);
  }
}

std::string TMXEncodedBits::ToBitString() const {
  std::string text;
  AppendText(text, 0, FSize);
  return text;
}

std::string TMXEncodedBits::ToString() const { return ToBitString(); }

// --- whole-string operations -----------------------------------------------

void TMXEncodedBits::Assign(const TPersistent* Source) {
  if (const auto* bits = FastCast<const TMXEncodedBits>(Source)) {
    if (bits != this) {
      FWords = bits->FWords;
      FSize = bits->FSize;
    }
    return;
  }
  if (const auto* bits = dynamic_cast<const TBits*>(Source)) {
    // TBits keeps its words to itself: copy bit by bit into a fresh buffer, so that a
    // failure leaves this string as it was.
    if (bits->Size() > MaxSize) SizeError(bits->Size());
    std::vector<std::uint64_t> words(WordsFor(bits->Size()), 0);
    for (int i = 0; i < bits->Size(); ++i)
      if (bits->Bits(i)) words[static_cast<std::size_t>(i) / kWordBits] |= std::uint64_t{1} << (i % kWordBits);
    FWords.swap(words);
    FSize = bits->Size();
    return;
  }
  TPersistent::Assign(Source);
}

void TMXEncodedBits::AssignTo(TPersistent* Dest) const {
  if (auto* bits = dynamic_cast<TBits*>(Dest)) {
    bits->SetSize(0);
    bits->SetSize(FSize);
    for (int i = 0; i < FSize; ++i)
      if (Bits(i)) bits->SetBits(i, true);
    return;
  }
  TPersistent::AssignTo(Dest);
}

int TMXEncodedBits::OpenBit() const noexcept {
  for (std::size_t word = 0; word < FWords.size(); ++word) {
    if (FWords[word] != ~std::uint64_t{0}) {
      const int index = static_cast<int>(word) * kWordBits + std::countr_one(FWords[word]);
      return std::min(index, FSize);
    }
  }
  return FSize;
}

// Two builds of the count, with and without the popcnt instruction, picked by the
// processor's feature flags on each call (one load and test). The feature flags are read
// by a constructor of the compiler's runtime, so this also works where loader-resolved
// function versions do not: ThreadSanitizer builds, whose runtime starts after the loader
// resolves them, and Clang 14, which publishes only suffixed names for such versions.
namespace {
#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("popcnt"))) int CountWithPopcnt(const std::vector<std::uint64_t>& Words) noexcept {
  int count = 0;
  for (const std::uint64_t word : Words) count += __builtin_popcountll(word);
  return count;
}
#endif
int CountPortable(const std::vector<std::uint64_t>& Words) noexcept {
  int count = 0;
  for (const std::uint64_t word : Words) count += std::popcount(word);
  return count;
}
}  // namespace

int TMXEncodedBits::CountSetBits() const noexcept {
#if defined(__x86_64__) || defined(__i386__)
  if (__builtin_cpu_supports("popcnt")) return CountWithPopcnt(FWords);
#endif
  return CountPortable(FWords);
}

std::size_t TMXEncodedBits::Hash() const noexcept {
  // A multiply-xorshift mix per word; bits past Size are zero, so equal strings agree.
  std::uint64_t h = 0x9E3779B97F4A7C15u ^ static_cast<std::uint64_t>(FSize);
  for (const std::uint64_t word : FWords) {
    h = (h ^ word) * 0xBF58476D1CE4E5B9u;
    h ^= h >> 31;
  }
  return static_cast<std::size_t>(h);
}

// --- kernels ---------------------------------------------------------------

void TMXEncodedBits::CopyBits(int DestOffset, const TMXEncodedBits& Source, int SourceOffset, int Count) {
  if (Count < 0) throw EMXException("Bit copy count cannot be negative: " + std::to_string(Count));
  Source.CheckField(SourceOffset, Count, std::numeric_limits<int>::max(), "Source");
  CheckField(DestOffset, Count, std::numeric_limits<int>::max(), "Destination");
  if (Count == 0 || (&Source == this && DestOffset == SourceOffset)) return;

  // Within one object a copy to higher positions runs from the end, so that no source
  // bit is overwritten before it is read.
  const bool backward = &Source == this && DestOffset > SourceOffset;

  if (DestOffset % kWordBits == SourceOffset % kWordBits) {
    // Same alignment: a partial head, whole words, a partial tail.
    const int lead = DestOffset % kWordBits;
    const int head = lead == 0 ? 0 : std::min(Count, kWordBits - lead);
    const int words = (Count - head) / kWordBits;
    const int tail = Count - head - words * kWordBits;
    const auto copy_head = [&] { Deposit(DestOffset, head, Source.Extract(SourceOffset, head)); };
    const auto copy_words = [&] {
      if (words == 0) return;
      const std::size_t dest_word = static_cast<std::size_t>(DestOffset + head) / kWordBits;
      const std::size_t source_word = static_cast<std::size_t>(SourceOffset + head) / kWordBits;
      std::memmove(FWords.data() + dest_word, Source.FWords.data() + source_word,
                   static_cast<std::size_t>(words) * sizeof(std::uint64_t));
    };
    const auto copy_tail = [&] {
      const int done = head + words * kWordBits;
      Deposit(DestOffset + done, tail, Source.Extract(SourceOffset + done, tail));
    };
    if (backward) {
      copy_tail();
      copy_words();
      copy_head();
    } else {
      copy_head();
      copy_words();
      copy_tail();
    }
    return;
  }

  // Different alignment: 64-bit chunks, each read whole before it is written.
  const int chunks = (Count + kWordBits - 1) / kWordBits;
  for (int step = 0; step < chunks; ++step) {
    const int index = backward ? chunks - 1 - step : step;
    const int done = index * kWordBits;
    const int chunk = std::min(kWordBits, Count - done);
    Deposit(DestOffset + done, chunk, Source.Extract(SourceOffset + done, chunk));
  }
}

void TMXEncodedBits::FlipBits(int Offset, int Count) {
  if (Count < 0) throw EMXException("Bit flip count cannot be negative: " + std::to_string(Count));
  CheckField(Offset, Count, std::numeric_limits<int>::max(), "Flipped");
  int done = 0;
  if (const int lead = Offset % kWordBits; lead != 0 && Count > 0) {
    done = std::min(Count, kWordBits - lead);
    XorField(Offset, done, ~std::uint64_t{0});
  }
  std::size_t word = static_cast<std::size_t>(Offset + done) / kWordBits;
  for (; Count - done >= kWordBits; done += kWordBits, ++word) FWords[word] = ~FWords[word];
  XorField(Offset + done, Count - done, ~std::uint64_t{0});
}

void TMXEncodedBits::XorBits(int Offset, int Count, std::uint64_t Mask) {
  CheckField(Offset, Count, kWordBits, "Xor");
  XorField(Offset, Count, Mask);
}

int TMXEncodedBits::MutateBits(int Offset, int Count, const std::uint64_t* Draws, double Probability) {
  if (Count < 0) throw EMXException("Mutated bit count cannot be negative: " + std::to_string(Count));
  CheckField(Offset, Count, std::numeric_limits<int>::max(), "Mutated");
  if (!(Probability > 0) || Count == 0) return 0;
  if (Probability >= 1) {
    FlipBits(Offset, Count);
    return Count;
  }
  if (Draws == nullptr) throw EMXException("Mutation draws are missing");
  // Probability > Draw / 2^64  <=>  Draw < Probability * 2^64, and for an integer Draw
  // that is Draw < ceil(Probability * 2^64). The scaling by 2^64 is exact and the result
  // stays below 2^64 because Probability < 1.
  const auto threshold = static_cast<std::uint64_t>(std::ceil(std::ldexp(Probability, 64)));
  int flipped = 0;
  for (int done = 0; done < Count; done += kWordBits) {
    const int chunk = std::min(kWordBits, Count - done);
    const std::uint64_t* draws = Draws + done;
    std::uint64_t mask = 0;
    for (int i = 0; i < chunk; ++i) mask |= static_cast<std::uint64_t>(draws[i] < threshold) << i;
    if (mask != 0) {
      XorField(Offset + done, chunk, mask);
      flipped += std::popcount(mask);
    }
  }
  return flipped;
}

}  // namespace evokit
