#include <evokit/platform/bits.h>

#include <gtest/gtest.h>

#include <climits>
#include <random>
#include <vector>

using namespace evokit;

TEST(TBits, GrowsOnWriteAndKeepsNewBitsFalse) {
  TBits bits;
  EXPECT_EQ(bits.Size(), 0);
  EXPECT_EQ(bits.ClassName(), "TBits");
  bits.SetBits(70, true);  // past Size: grows to 71 bits
  EXPECT_EQ(bits.Size(), 71);
  for (int i = 0; i < 70; ++i) ASSERT_FALSE(bits[i]) << i;
  EXPECT_TRUE(bits.Bits(70));
  // Shrinking drops bits; growing again gives false bits, also inside the same word.
  bits.SetBits(3, true);
  bits.SetSize(2);
  bits.SetSize(100);
  for (int i = 0; i < 100; ++i) ASSERT_FALSE(bits[i]) << i;
  bits.SetSize(0);
  EXPECT_EQ(bits.Size(), 0);
}

TEST(TBits, BadIndexRaisesListError) {
  TBits bits;
  bits.SetSize(5);
  bits.SetBits(1, true);
  const auto expectError = [&](auto call) {
    try {
      call();
      FAIL() << "no exception";
    } catch (const EListError& e) {
      EXPECT_EQ(e.Message(), "Bits index out of range");
    }
    EXPECT_EQ(bits.Size(), 5);
    EXPECT_TRUE(bits[1]);
  };
  expectError([&] { (void)bits.Bits(-1); });
  expectError([&] { (void)bits.Bits(5); });  // reading never grows
  expectError([&] { bits.SetBits(-1, true); });
  expectError([&] { bits.SetBits(INT_MAX, true); });
  expectError([&] { bits.SetSize(-1); });
}

TEST(TBits, OpenBitFindsFirstFalseBit) {
  TBits bits;
  EXPECT_EQ(bits.OpenBit(), 0);
  for (int i = 0; i < 64; ++i) bits.SetBits(i, true);
  EXPECT_EQ(bits.OpenBit(), 64);  // all set: Size
  bits.SetBits(64, true);
  bits.SetSize(130);
  EXPECT_EQ(bits.OpenBit(), 65);
  bits.SetBits(10, false);
  EXPECT_EQ(bits.OpenBit(), 10);
}

TEST(TBits, MatchesAReferenceModel) {
  std::mt19937 gen(11);
  TBits bits;
  std::vector<bool> model;
  for (int step = 0; step < 5000; ++step) {
    const int action = static_cast<int>(gen() % 10);
    if (action == 0) {
      const int size = static_cast<int>(gen() % 300);
      bits.SetSize(size);
      model.resize(static_cast<std::size_t>(size), false);
    } else {
      const int index = static_cast<int>(gen() % 320);
      const bool value = (gen() & 1) != 0;
      bits.SetBits(index, value);
      if (index >= static_cast<int>(model.size())) model.resize(static_cast<std::size_t>(index) + 1, false);
      model[static_cast<std::size_t>(index)] = value;
    }
    ASSERT_EQ(bits.Size(), static_cast<int>(model.size()));
    int open = static_cast<int>(model.size());
    for (std::size_t i = 0; i < model.size(); ++i) {
      ASSERT_EQ(bits[static_cast<int>(i)], model[i]) << "step " << step << " bit " << i;
      if (!model[i] && open == static_cast<int>(model.size())) open = static_cast<int>(i);
    }
    ASSERT_EQ(bits.OpenBit(), open);
  }
}

TEST(TBits, AssignCopiesSizeAndBits) {
  TBits source, target;
  source.SetBits(3, true);
  source.SetBits(99, true);
  target.SetBits(200, true);
  target.Assign(&source);
  EXPECT_EQ(target.Size(), 100);
  EXPECT_TRUE(target == source);
  target.SetBits(3, false);
  EXPECT_FALSE(target == source);
  EXPECT_TRUE(source[3]);  // an independent copy

  class TOther : public TPersistent {};
  TOther other;
  EXPECT_THROW(target.Assign(&other), EConvertError);
  EXPECT_EQ(target.Size(), 100);
}
