// TMXEncodedBits, and the single-bit contract it shares with the platform's TBits.
#include <evokit/common/encoded_bits.h>
#include <evokit/platform/bits.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "support.h"

using namespace evokit;

namespace {

// The base keeps its copy protected (it is polymorphic); tests copy through this.
struct TTestBits : TMXEncodedBits {
  explicit TTestBits(int Size = 0) { SetSize(Size); }
  TTestBits(const TTestBits&) = default;
};

std::mt19937_64 gRandom{20240601};

int Below(int N) { return N <= 0 ? 0 : static_cast<int>(gRandom() % static_cast<unsigned>(N)); }

TTestBits RandomBits(int Size) {
  TTestBits bits(Size);
  for (int i = 0; i < Size; ++i) bits.SetBits(i, gRandom() & 1u);
  return bits;
}

// The bits as '0' and '1' in index order, read one by one.
std::string Snapshot(const TMXEncodedBits& Bits) {
  std::string out;
  for (int i = 0; i < Bits.Size(); ++i) out += Bits.Bits(i) ? '1' : '0';
  return out;
}

// Runs Write on random bits around a field and checks that exactly bits Offset to
// Offset + Size - 1 changed, to Value least significant bit first (0 past the 64th).
template <class F>
void CheckFieldWrite(int Offset, int Size, std::uint64_t Value, F Write) {
  TTestBits bits = RandomBits(Offset + Size + Below(70));
  std::string expected = Snapshot(bits);
  for (int k = 0; k < Size; ++k) expected[Offset + k] = k < 64 && ((Value >> k) & 1u) ? '1' : '0';
  Write(bits);
  ASSERT_EQ(Snapshot(bits), expected) << "offset " << Offset << " size " << Size;
}

template <class T>
class SingleBits : public ::testing::Test {};
using TBitClasses = ::testing::Types<TBits, TTestBits>;
TYPED_TEST_SUITE(SingleBits, TBitClasses);

}  // namespace

// Setting a bit past the end grows the string with false bits, shrinking drops bits, and
// OpenBit is the first false bit; bad indexes raise EListError and change nothing.
TYPED_TEST(SingleBits, MatchReferenceModel) {
  std::mt19937 gen(11);
  TypeParam bits;
  std::vector<bool> model;
  for (int step = 0; step < 3000; ++step) {
    const std::size_t index = gen() % 320;
    if (index % 10 == 0) {  // a new size
      model.resize(index, false);
      bits.SetSize(static_cast<int>(index));
    } else {
      if (index >= model.size()) model.resize(index + 1, false);
      bits.SetBits(static_cast<int>(index), model[index] = gen() & 1);
    }
    ASSERT_EQ(bits.Size(), static_cast<int>(model.size()));
    ASSERT_EQ(bits.OpenBit(), std::find(model.begin(), model.end(), false) - model.begin()) << "step " << step;
    for (std::size_t i = 0; i < model.size(); ++i) ASSERT_EQ(bits[static_cast<int>(i)], model[i]) << step;
  }
  bits.SetSize(0);
  for (int i = 0; i < 130; ++i) bits.SetBits(i, i != 100);
  EXPECT_EQ(bits.OpenBit(), 100);
  bits.SetBits(100, true);
  EXPECT_EQ(bits.OpenBit(), 130);
  bits.SetSize(70);
  bits.SetBits(69, true);
  for (auto call : {+[](TypeParam& b) { (void)b.Bits(-1); }, +[](TypeParam& b) { (void)b.Bits(70); },
                    +[](TypeParam& b) { b.SetBits(-1, true); }, +[](TypeParam& b) { b.SetBits(INT_MAX, true); },
                    +[](TypeParam& b) { b.SetSize(-1); }}) {
    EXPECT_EQ(test::ErrorOf<EListError>([&] { call(bits); }), "Bits index out of range");
    EXPECT_TRUE(bits.Size() == 70 && bits[69]);
  }
}

// Each field write changes exactly its own bits: integers of every width at every
// alignment read back within their range (the sign flag decides only how they read),
// booleans (of any width, past 64 bits too) store 1 or 0 and read true for any set bit,
// floats keep their IEEE patterns.
TEST(EncodedBits, FieldsWriteExactlyTheirBits) {
  for (int size = 0; size <= 64; ++size) {
    for (int offset = 0; offset < 140; offset += 1 + Below(5)) {
      const std::uint64_t mask = size == 64 ? ~0ull : (1ull << size) - 1, pattern = gRandom() & mask;
      for (const bool is_signed : {false, true}) {
        std::uint64_t raw = gRandom() & mask;
        if (size > 0 && is_signed && (raw >> (size - 1)) & 1u) raw |= ~mask;  // negative: sign-extend
        const auto value = static_cast<std::int64_t>(raw);
        CheckFieldWrite(offset, size, raw, [&](TTestBits& bits) {
          bits.SetPreserveSignBit(is_signed);
          bits.SetAsInt64(offset, size, value);
          ASSERT_EQ(bits.GetAsInt64(offset, size), value) << offset << "/" << size;
          if (size > 32 || (!is_signed && size == 32)) return;
          bits.SetAsInteger(offset, size, static_cast<std::int32_t>(value));
          ASSERT_EQ(bits.GetAsInteger(offset, size), value) << offset << "/" << size;
        });
      }
      const int wide = size <= 32 ? size : 2 * size;  // booleans have any width
      CheckFieldWrite(offset, wide, wide > 0, [&](TTestBits& bits) {
        if (wide > 0) bits.SetAsBitString(offset, wide, std::string(wide - 1, '0') + "1");
        ASSERT_EQ(bits.GetAsBoolean(offset, wide), wide > 0);  // any set bit reads as true
        bits.SetAsBoolean(offset, wide, false);
        ASSERT_FALSE(bits.GetAsBoolean(offset, wide));
        bits.SetAsBoolean(offset, wide, true);
      });
      if (size == 32 || size == 64) {
        CheckFieldWrite(offset, size, pattern, [&](TTestBits& bits) {
          bits.SetPreserveSignBit(true);  // plays no part for floats
          if (size == 32) bits.SetAsFloat(offset, 32, std::bit_cast<float>(static_cast<std::uint32_t>(pattern)));
          if (size == 64) bits.SetAsDouble(offset, 64, std::bit_cast<double>(pattern));
          ASSERT_EQ(size == 32 ? std::bit_cast<std::uint32_t>(bits.GetAsFloat(offset, 32))
                               : std::bit_cast<std::uint64_t>(bits.GetAsDouble(offset, 64)), pattern);
        });
      }
    }
  }
  TTestBits bits(300);
  bits.SetAsInteger(60, 8, -5);
  bits.SetAsInteger(20, 8, 300);
  EXPECT_EQ(std::pair(bits.GetAsInteger(60, 8), bits.GetAsInteger(20, 8)), std::pair(251, 44));  // unsigned, cut
  // Between widths a single widens exactly and a double rounds to single.
  bits.SetAsFloat(70, 64, 1.1f);
  bits.SetAsDouble(5, 32, 0.1);
  EXPECT_TRUE(bits.GetAsDouble(70, 64) == double{1.1f} && bits.GetAsFloat(5, 32) == 0.1f);
}

TEST(EncodedBits, BadFieldsRaiseAndChangeNothing) {
  TTestBits bits = RandomBits(100);
  const std::string before = bits.ToBitString();
  const TTestBits small(10);
  for (const auto& call : std::vector<std::function<void()>>{
           [&] { bits.SetAsInteger(-1, 8, 1); }, [&] { bits.SetAsInteger(93, 8, 1); },
           [&] { bits.SetAsInteger(0, 33, 1); }, [&] { bits.SetAsInt64(INT_MAX, 64, 1); },
           [&] { bits.SetAsFloat(0, 16, 1.0f); }, [&] { bits.SetAsBitString(0, 4, "0101 1"); },
           [&] { bits.CopyBits(0, small, 5, 6); }, [&] { bits.CopyBits(0, bits, 0, -1); },
           [&] { bits.MutateBits(0, 10, nullptr, 0.5); }, [&] { bits.XorBits(40, 65, 1); }}) {
    EXPECT_THROW(call(), EMXException);
    EXPECT_EQ(bits.ToBitString(), before);
  }
}

// Copies (within one string too, and with equal word alignment), run inversion and masked
// flips against bit-by-bit references; the bit text follows, read and written.
TEST(EncodedBits, KernelsAndBitText) {
  for (int round = 0; round < 3000; ++round) {
    TTestBits dest = RandomBits(1 + Below(400));
    const TTestBits other = RandomBits(1 + Below(400));
    const TTestBits& source = round % 3 == 0 ? dest : other;
    const int count = Below(std::min(dest.Size(), source.Size()) + 1);
    const int source_offset = Below(source.Size() - count + 1);
    int dest_offset = Below(dest.Size() - count + 1);
    const int aligned = dest_offset - dest_offset % 64 + source_offset % 64;
    if (round % 3 == 1 && aligned + count <= dest.Size()) dest_offset = aligned;
    std::string expected = Snapshot(dest);
    expected.replace(dest_offset, count, Snapshot(source).substr(source_offset, count));
    dest.CopyBits(dest_offset, source, source_offset, count);
    ASSERT_EQ(dest.ToBitString(), expected) << "copy " << round;
    for (int i = dest_offset; i < dest_offset + count; ++i) expected[i] ^= 1;
    dest.FlipBits(dest_offset, count);
    ASSERT_EQ(dest.ToString(), expected) << "flip " << round;
    const std::uint64_t mask = gRandom();
    for (int i = 0; i < std::min(count, 64); ++i) expected[dest_offset + i] ^= mask >> i & 1;
    dest.XorBits(dest_offset, std::min(count, 64), mask);
    ASSERT_EQ(dest.GetAsBitString(dest_offset, count), expected.substr(dest_offset, count)) << "xor " << round;
    ASSERT_EQ(dest.CountSetBits(), std::count(expected.begin(), expected.end(), '1'));
  }
  // A shorter text fills the field's first bits and clears the rest; a longer one is cut.
  TTestBits bits(80);
  bits.SetAsBitString(0, 80, std::string(80, '1'));
  bits.SetAsBitString(3, 70, "101");
  bits.SetAsBitString(76, 2, "0110");
  EXPECT_EQ(bits.ToBitString(), "111101" + std::string(67, '0') + "1110111");
}

// Assign copies size and bits, also through a TBits.
TEST(EncodedBits, AssignBothWays) {
  const TTestBits source = RandomBits(97);
  TTestBits target = RandomBits(300);
  target.Assign(&source);
  target.SetSize(200);  // the shrunken tail of the old contents must not come back
  EXPECT_EQ(target.ToBitString(), source.ToBitString() + std::string(103, '0'));
  TBits plain;
  plain.Assign(&source);
  plain.SetBits(150, true);
  target.Assign(&plain);
  EXPECT_EQ(target.ToBitString(), source.ToBitString() + std::string(53, '0') + "1");
  TPersistent unrelated;
  EXPECT_THROW(target.Assign(&unrelated), EConvertError);
  EXPECT_EQ(target.Size(), 151);  // unchanged by a failed Assign
}

// A bit flips when Probability > Draw / 2^64; odd rounds clear the low 11 bits of the
// draws, as callers matching Random() do, and some draws sit exactly at the probability.
TEST(EncodedBits, MutateBitsFlipsWhereProbabilityExceedsTheDraw) {
  for (int round = 0; round < 1000; ++round) {
    TTestBits bits = RandomBits(1 + Below(300));
    const int offset = Below(bits.Size()), count = Below(bits.Size() - offset + 1);
    std::vector<std::uint64_t> draws(count);
    for (auto& draw : draws) draw = round % 2 ? gRandom() & ~std::uint64_t{0x7FF} : gRandom();
    const double probability = std::ldexp(static_cast<double>(gRandom() >> 11), -53);
    if (round % 10 == 0 && count > 0) draws[0] = static_cast<std::uint64_t>(std::ldexp(probability, 64));
    std::string expected = Snapshot(bits);
    int flips = 0;
    for (int i = 0; i < count; ++i) {
      const bool flip = probability > std::ldexp(static_cast<long double>(draws[i]), -64);
      expected[offset + i] ^= flip;
      flips += flip;
    }
    ASSERT_EQ(bits.MutateBits(offset, count, draws.data(), probability), flips);
    ASSERT_EQ(bits.ToBitString(), expected) << "round " << round;
  }
  // Certain and impossible probabilities do not read the draws.
  TTestBits bits = RandomBits(150);
  const std::string original = bits.ToBitString();
  EXPECT_TRUE(bits.MutateBits(0, 150, nullptr, 0.0) == 0 && bits.MutateBits(0, 150, nullptr, NAN) == 0);
  EXPECT_EQ(bits.MutateBits(10, 130, nullptr, 1.0), 130);
  for (int i = 0; i < 150; ++i) ASSERT_EQ(bits.Bits(i), (i >= 10 && i < 140) != (original[i] == '1'));
}
