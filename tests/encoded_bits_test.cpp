#include <evokit/common/encoded_bits.h>
#include <evokit/platform/bits.h>

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace evokit {
namespace {

// The base keeps its copy protected (it is polymorphic); tests copy through this.
struct TTestBits : TMXEncodedBits {
  TTestBits() = default;
  explicit TTestBits(int Size) { SetSize(Size); }
  TTestBits(const TTestBits&) = default;
};

class EncodedBitsTest : public ::testing::Test {
 protected:
  TTestBits RandomBits(int Size) {
    TTestBits bits(Size);
    for (int i = 0; i < Size; ++i) bits.SetBits(i, FRandom() & 1u);
    return bits;
  }
  int Below(int N) { return N <= 0 ? 0 : static_cast<int>(FRandom() % static_cast<unsigned>(N)); }
  static std::vector<bool> Snapshot(const TMXEncodedBits& Bits) {
    std::vector<bool> out;
    for (int i = 0; i < Bits.Size(); ++i) out.push_back(Bits.Bits(i));
    return out;
  }
  // Writes through Write must change exactly bits Offset .. Offset + Size - 1, which then
  // hold Value least significant bit first.
  template <class F>
  void CheckFieldWrite(int Offset, int Size, std::uint64_t Value, F Write) {
    TTestBits bits = RandomBits(Offset + Size + Below(70));
    const auto before = Snapshot(bits);
    Write(bits);
    for (int i = 0; i < bits.Size(); ++i) {
      const int k = i - Offset;  // bits past the 64th of a wide field are 0
      const bool expected = k >= 0 && k < Size ? k < 64 && ((Value >> k) & 1u) != 0 : before[i];
      ASSERT_EQ(bits.Bits(i), expected) << "offset " << Offset << " size " << Size << " bit " << i;
    }
  }

  std::mt19937_64 FRandom{20240601};
};

// --- size and single bits ------------------------------------------------------------

TEST_F(EncodedBitsTest, ResizingKeepsOldBitsAndAddsFalseBits) {
  TTestBits bits = RandomBits(150);
  const auto before = Snapshot(bits);
  bits.SetSize(70);
  bits.SetSize(200);
  for (int i = 0; i < 200; ++i) ASSERT_EQ(bits.Bits(i), i < 70 && before[i]) << i;
  bits.SetSize(0);
  bits.SetSize(130);
  EXPECT_EQ(bits.CountSetBits(), 0);
  EXPECT_TRUE(bits.Equals(TTestBits(130)));
}

TEST_F(EncodedBitsTest, SingleBitsBehaveAsPlatformBits) {
  TTestBits bits(70);
  EXPECT_EQ(bits.OpenBit(), 0);
  bits.FlipBits(0, 70);
  EXPECT_EQ(bits.OpenBit(), 70);
  bits.SetBits(65, false);
  EXPECT_EQ(bits.OpenBit(), 65);
  bits.SetBits(129, true);  // past the end: grows, the new bits in between are false
  EXPECT_EQ(bits.Size(), 130);
  EXPECT_EQ(bits.CountSetBits(), 69 + 1);
  const std::string before = bits.ToBitString();
  EXPECT_THROW(bits.Bits(130), EListError);
  EXPECT_THROW(bits.Bits(-1), EListError);
  EXPECT_THROW(bits.SetBits(-1, true), EListError);
  EXPECT_THROW(bits.SetBits(std::numeric_limits<int>::max(), true), EListError);
  EXPECT_THROW(bits.SetSize(-1), EListError);
  EXPECT_EQ(bits.ToBitString(), before);
}

// --- typed fields --------------------------------------------------------------------

TEST_F(EncodedBitsTest, IntegerFieldsReadBackAtEveryAlignment) {
  for (int size = 0; size <= 64; ++size) {
    for (int offset = 0; offset < 140; offset += 1 + Below(5)) {
      for (const bool is_signed : {false, true}) {
        std::int64_t value = 0;  // drawn within the field's range
        if (size > 0) {
          const std::uint64_t mask = size == 64 ? ~0ull : (1ull << size) - 1;
          std::uint64_t raw = FRandom() & mask;
          if (is_signed && (raw >> (size - 1)) & 1u) raw |= ~mask;  // negative: sign-extend
          value = static_cast<std::int64_t>(raw);
        }
        CheckFieldWrite(offset, size, static_cast<std::uint64_t>(value), [&](TTestBits& bits) {
          bits.SetPreserveSignBit(is_signed);
          bits.SetAsInt64(offset, size, value);
          ASSERT_EQ(bits.GetAsInt64(offset, size), value) << offset << "/" << size;
          if (size <= 32 && (is_signed || size < 32)) {
            bits.SetAsInteger(offset, size, static_cast<std::int32_t>(value));
            ASSERT_EQ(bits.GetAsInteger(offset, size), value) << offset << "/" << size;
          }
        });
      }
    }
  }
}

TEST_F(EncodedBitsTest, SignFlagChangesOnlyHowFieldsRead) {
  TTestBits bits(100);
  bits.SetAsInteger(60, 8, -5);  // stored as 251
  EXPECT_EQ(bits.GetAsInteger(60, 8), 251);
  bits.SetPreserveSignBit(true);
  EXPECT_EQ(bits.GetAsInteger(60, 8), -5);
  EXPECT_EQ(bits.GetAsInt64(60, 8), -5);
  bits.SetAsInteger(10, 8, 127);
  EXPECT_EQ(bits.GetAsInteger(10, 8), 127);
  // Values outside the field's range are kept modulo 2^Size.
  bits.SetPreserveSignBit(false);
  bits.SetAsInteger(30, 8, 300);
  EXPECT_EQ(bits.GetAsInteger(30, 8), 300 - 256);
  // A full-width unsigned field reads back the same bits.
  bits.SetAsInteger(33, 32, -1);
  EXPECT_EQ(bits.GetAsInteger(33, 32), -1);
  EXPECT_EQ(bits.GetAsInt64(33, 32), 4294967295LL);
  bits.SetAsInt64(36, 64, std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(bits.GetAsInt64(36, 64), std::numeric_limits<std::int64_t>::min());
}

TEST_F(EncodedBitsTest, BooleanFieldsOfAnyWidth) {
  for (const int size : {1, 3, 64, 65, 130}) {
    const int offset = 1 + Below(70);
    CheckFieldWrite(offset, size, 1, [&](TTestBits& bits) {
      bits.SetAsBoolean(offset, size, true);
      ASSERT_TRUE(bits.GetAsBoolean(offset, size));
    });
    CheckFieldWrite(offset, size, 0, [&](TTestBits& bits) {
      bits.SetAsBoolean(offset, size, false);
      ASSERT_FALSE(bits.GetAsBoolean(offset, size));
      bits.SetBits(offset + size - 1, true);  // any set bit reads as true
      ASSERT_TRUE(bits.GetAsBoolean(offset, size));
      bits.SetBits(offset + size - 1, false);
    });
  }
  TTestBits bits(10);
  bits.SetAsBoolean(10, 0, true);  // an empty field holds nothing
  EXPECT_FALSE(bits.GetAsBoolean(10, 0));
  EXPECT_EQ(bits.CountSetBits(), 0);
}

TEST_F(EncodedBitsTest, FloatFieldsHoldIeeePatterns) {
  const float singles[] = {0.0f, -0.0f, 1.5f, -3.25e-41f, std::numeric_limits<float>::max(),
                           std::numeric_limits<float>::infinity(), std::bit_cast<float>(0x7FC01234u)};
  for (const float value : singles) {
    const int offset = Below(100);
    CheckFieldWrite(offset, 32, std::bit_cast<std::uint32_t>(value), [&](TTestBits& bits) {
      bits.SetPreserveSignBit(true);  // plays no part for floats
      bits.SetAsFloat(offset, 32, value);
      ASSERT_EQ(std::bit_cast<std::uint32_t>(bits.GetAsFloat(offset, 32)), std::bit_cast<std::uint32_t>(value));
    });
  }
  const double doubles[] = {0.1, -0.0, 1e308, 4.9e-324, -std::numeric_limits<double>::infinity(),
                            std::bit_cast<double>(0x7FF8000000ABCDEFull)};
  for (const double value : doubles) {
    const int offset = Below(100);
    CheckFieldWrite(offset, 64, std::bit_cast<std::uint64_t>(value), [&](TTestBits& bits) {
      bits.SetAsDouble(offset, 64, value);
      ASSERT_EQ(std::bit_cast<std::uint64_t>(bits.GetAsDouble(offset, 64)), std::bit_cast<std::uint64_t>(value));
    });
  }
}

TEST_F(EncodedBitsTest, FloatFieldsConvertBetweenWidths) {
  TTestBits bits(200);
  bits.SetAsFloat(70, 64, 1.1f);  // widened exactly
  EXPECT_EQ(bits.GetAsDouble(70, 64), static_cast<double>(1.1f));
  EXPECT_EQ(bits.GetAsFloat(70, 64), 1.1f);
  bits.SetAsDouble(5, 32, 0.1);  // rounded to single
  EXPECT_EQ(bits.GetAsFloat(5, 32), 0.1f);
  EXPECT_EQ(bits.GetAsDouble(5, 32), static_cast<double>(0.1f));
  bits.SetAsDouble(5, 32, 1e300);
  EXPECT_TRUE(std::isinf(bits.GetAsFloat(5, 32)));
  bits.SetAsDouble(5, 32, -3.4028235e38);  // just past the largest single: rounds to it
  EXPECT_EQ(bits.GetAsFloat(5, 32), -std::numeric_limits<float>::max());
  bits.SetAsDouble(100, 64, 1e300);
  EXPECT_TRUE(std::isinf(bits.GetAsFloat(100, 64)));
}

// --- bad ranges ----------------------------------------------------------------------

TEST_F(EncodedBitsTest, BadFieldsRaiseAndChangeNothing) {
  TTestBits bits = RandomBits(100);
  const std::string before = bits.ToBitString();
  const auto expect_rejected = [&](auto Call) {
    EXPECT_THROW(Call(), EMXException);
    EXPECT_EQ(bits.ToBitString(), before);
  };
  expect_rejected([&] { bits.SetAsInteger(-1, 8, 1); });
  expect_rejected([&] { bits.SetAsInteger(93, 8, 1); });  // reaches bit 100
  expect_rejected([&] { bits.SetAsInteger(0, 33, 1); });
  expect_rejected([&] { bits.SetAsInteger(0, -1, 1); });
  expect_rejected([&] { bits.SetAsInt64(0, 65, 1); });
  expect_rejected([&] { bits.SetAsInt64(std::numeric_limits<int>::max(), 64, 1); });
  expect_rejected([&] { bits.SetAsBoolean(99, 2, true); });
  expect_rejected([&] { bits.SetAsFloat(0, 16, 1.0f); });
  expect_rejected([&] { bits.SetAsDouble(0, 48, 1.0); });
  expect_rejected([&] { bits.SetAsDouble(40, 64, 1.0); });
  expect_rejected([&] { bits.SetAsBitString(90, 11, "1"); });
  expect_rejected([&] { bits.SetAsBitString(0, 8, "0101x"); });
  expect_rejected([&] { bits.SetAsBitString(0, 4, "0101 1"); });  // checked past the field too
  expect_rejected([&] { bits.CopyBits(50, bits, 0, 51); });
  expect_rejected([&] { bits.CopyBits(0, TTestBits(10), 5, 6); });
  expect_rejected([&] { bits.CopyBits(0, bits, 0, -1); });
  expect_rejected([&] { bits.FlipBits(1, 100); });
  expect_rejected([&] { bits.MutateBits(0, 101, nullptr, 1.0); });
  expect_rejected([&] { bits.MutateBits(0, 10, nullptr, 0.5); });
  expect_rejected([&] { bits.XorBits(40, 65, 1); });
  expect_rejected([&] { bits.XorBits(40, 61, 1); });
  EXPECT_THROW(bits.GetAsInteger(100, 1), EMXException);
  EXPECT_THROW(bits.GetAsFloat(0, 31), EMXException);
  EXPECT_THROW(bits.GetAsBitString(-2, 1), EMXException);
  EXPECT_EQ(bits.GetAsInteger(100, 0), 0);  // an empty field at the end is fine
  EXPECT_EQ(bits.GetAsBitString(100, 0), "");
}

// --- text ----------------------------------------------------------------------------

TEST_F(EncodedBitsTest, BitTextIsIndexOrderAndRoundTrips) {
  for (int round = 0; round < 100; ++round) {
    const TTestBits bits = RandomBits(Below(300));
    const std::string text = bits.ToBitString();
    ASSERT_EQ(text.size(), static_cast<std::size_t>(bits.Size()));
    for (int i = 0; i < bits.Size(); ++i) ASSERT_EQ(text[i], bits.Bits(i) ? '1' : '0');
    EXPECT_EQ(bits.ToString(), text);
    TTestBits copy = RandomBits(bits.Size());
    copy.SetAsBitString(0, copy.Size(), text);
    ASSERT_TRUE(copy.Equals(bits));
    if (bits.Size() > 0) {  // equal text exactly when the bits are equal
      const int changed = Below(bits.Size());
      copy.SetBits(changed, !copy.Bits(changed));
      ASSERT_NE(copy.ToString(), text);
    }
    const int offset = Below(bits.Size());
    const int size = Below(bits.Size() - offset + 1);
    ASSERT_EQ(bits.GetAsBitString(offset, size), text.substr(offset, size));
  }
}

TEST_F(EncodedBitsTest, BitTextOfAnotherLengthFillsThenClears) {
  TTestBits bits(80);
  bits.SetAsBitString(0, 80, std::string(80, '1'));
  bits.SetAsBitString(3, 70, "101");  // shorter: the rest of the field is cleared
  EXPECT_EQ(bits.ToBitString(), "111" "101" + std::string(67, '0') + std::string(7, '1'));
  bits.SetAsBitString(0, 4, "0110" "1111");  // longer: the surplus is ignored
  EXPECT_EQ(bits.GetAsBitString(0, 6), "011001");
}

TEST_F(EncodedBitsTest, AssignCopiesSizeAndBitsOnly) {
  const TTestBits source = RandomBits(97);
  TTestBits target = RandomBits(300);
  target.SetPreserveSignBit(true);
  target.Assign(&source);
  EXPECT_TRUE(target.Equals(source));
  EXPECT_TRUE(target.PreserveSignBit());
  target.SetSize(200);  // the shrunken tail of the old contents must not come back
  EXPECT_EQ(target.CountSetBits(), source.CountSetBits());

  // Both ways with the platform's TTestBits.
  TBits plain;
  plain.Assign(&source);
  ASSERT_EQ(plain.Size(), source.Size());
  for (int i = 0; i < plain.Size(); ++i) ASSERT_EQ(plain.Bits(i), source.Bits(i));
  plain.SetBits(150, true);
  target.Assign(&plain);
  EXPECT_EQ(target.Size(), 151);
  EXPECT_EQ(target.GetAsBitString(0, 97), source.ToBitString());
  EXPECT_EQ(target.CountSetBits(), source.CountSetBits() + 1);

  TPersistent other;
  const std::string before = target.ToBitString();
  EXPECT_THROW(target.Assign(&other), EConvertError);
  EXPECT_EQ(target.ToBitString(), before);
}

// --- kernels against bit-by-bit references -------------------------------------------

TEST_F(EncodedBitsTest, CopyBitsMatchesBitByBitCopy) {
  for (int round = 0; round < 3000; ++round) {
    const bool same_object = round % 3 == 0;
    TTestBits dest = RandomBits(1 + Below(400));
    const TTestBits other = RandomBits(1 + Below(400));
    const TTestBits& source = same_object ? dest : other;
    const int count = Below(std::min(dest.Size(), source.Size()) + 1);
    const int source_offset = Below(source.Size() - count + 1);
    // Every third case shares the word alignment, which takes the whole-word path.
    int dest_offset = Below(dest.Size() - count + 1);
    if (round % 3 == 1 && dest_offset % 64 != source_offset % 64) {
      const int aligned = dest_offset - dest_offset % 64 + source_offset % 64;
      if (aligned + count <= dest.Size()) dest_offset = aligned;
    }
    const auto source_bits = Snapshot(source);
    auto expected = Snapshot(dest);
    for (int i = 0; i < count; ++i) expected[dest_offset + i] = source_bits[source_offset + i];
    dest.CopyBits(dest_offset, source, source_offset, count);
    ASSERT_EQ(Snapshot(dest), expected) << "round " << round << " dest " << dest_offset << " source "
                                        << source_offset << " count " << count;
  }
}

TEST_F(EncodedBitsTest, CrossoverRecipeFollowsOnePointRules) {
  for (int round = 0; round < 2000; ++round) {
    const TTestBits first = RandomBits(Below(300));
    const TTestBits second = RandomBits(Below(300));
    TTestBits child = RandomBits(Below(300));
    const int cross_bit = Below(350) - 20;
    // Reference: bit i from the first parent while i < CrossBit, then from the second,
    // and the child's own bits past both.
    auto expected = Snapshot(child);
    int i = 0;
    for (; i < cross_bit && i < first.Size() && i < child.Size(); ++i) expected[i] = first.Bits(i);
    for (; i < second.Size() && i < child.Size(); ++i) expected[i] = second.Bits(i);

    const int n1 = std::clamp(cross_bit, 0, std::min(first.Size(), child.Size()));
    child.CopyBits(0, first, 0, n1);
    const int n2 = std::min(second.Size(), child.Size());
    if (n2 > n1) child.CopyBits(n1, second, n1, n2 - n1);
    ASSERT_EQ(Snapshot(child), expected) << "round " << round;
  }
}

TEST_F(EncodedBitsTest, FlipAndXorChangeExactlyTheirBits) {
  for (int round = 0; round < 2000; ++round) {
    TTestBits bits = RandomBits(Below(400));
    const int offset = Below(bits.Size() + 1);
    const int count = Below(bits.Size() - offset + 1);
    auto expected = Snapshot(bits);
    for (int i = offset; i < offset + count; ++i) expected[i] = !expected[i];
    bits.FlipBits(offset, count);
    ASSERT_EQ(Snapshot(bits), expected) << "offset " << offset << " count " << count;
    // XorBits flips where its mask says, within at most 64 bits.
    const int width = std::min(count, 64);
    const std::uint64_t mask = FRandom();
    for (int i = 0; i < width; ++i) expected[offset + i] = expected[offset + i] != (((mask >> i) & 1u) != 0);
    bits.XorBits(offset, width, mask);
    ASSERT_EQ(Snapshot(bits), expected) << "xor offset " << offset << " width " << width;
  }
}

TEST_F(EncodedBitsTest, MutateBitsFlipsWhereProbabilityExceedsTheDraw) {
  for (int round = 0; round < 1000; ++round) {
    TTestBits bits = RandomBits(1 + Below(300));
    const int offset = Below(bits.Size());
    const int count = Below(bits.Size() - offset + 1);
    std::vector<std::uint64_t> draws(count);
    // Odd rounds clear the low 11 bits, as callers matching Random() do.
    for (auto& draw : draws) draw = round % 2 ? FRandom() & ~std::uint64_t{0x7FF} : FRandom();
    const double probability = std::ldexp(static_cast<double>(FRandom() >> 11), -53);
    // Probabilities straddling one draw exactly test the strict comparison.
    if (round % 10 == 0 && count > 0) draws[0] = static_cast<std::uint64_t>(std::ldexp(probability, 64));
    auto expected = Snapshot(bits);
    int flips = 0;
    for (int i = 0; i < count; ++i) {
      const long double r = std::ldexp(static_cast<long double>(draws[i]), -64);  // exact
      // With cleared low bits this is also probability > (draw >> 11) * 2^-53.
      if (probability > r) {
        expected[offset + i] = !expected[offset + i];
        ++flips;
      }
    }
    ASSERT_EQ(bits.MutateBits(offset, count, draws.data(), probability), flips);
    ASSERT_EQ(Snapshot(bits), expected) << "round " << round;
  }
}

TEST_F(EncodedBitsTest, MutateBitsCertainAndImpossibleProbabilities) {
  TTestBits bits = RandomBits(150);
  const TTestBits original(bits);
  const std::vector<std::uint64_t> draws(150, 0);  // the smallest possible draws
  EXPECT_EQ(bits.MutateBits(0, 150, draws.data(), 0.0), 0);
  EXPECT_EQ(bits.MutateBits(0, 150, draws.data(), std::nan("")), 0);
  EXPECT_TRUE(bits.Equals(original));
  EXPECT_EQ(bits.MutateBits(10, 130, nullptr, 1.0), 130);  // every bit, draws unread
  for (int i = 0; i < 150; ++i) ASSERT_EQ(bits.Bits(i), (i >= 10 && i < 140) != original.Bits(i));
}

}  // namespace
}  // namespace evokit
