#include <evokit/platform/variant.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

using namespace evokit;

namespace {

template <class F>
void ExpectCastError(F&& Call, const std::string& Message) {
  try {
    Call();
    FAIL() << "no exception, expected: " << Message;
  } catch (const EVariantTypeCastError& e) {
    EXPECT_EQ(e.Message(), Message);
  }
}

}  // namespace

TEST(Variant, KindsOfConstruction) {
  EXPECT_EQ(Variant().VarType(), varEmpty);
  EXPECT_TRUE(Variant().IsEmpty());
  EXPECT_TRUE(Variant::Null().IsNull());
  EXPECT_EQ(Variant(true).VarType(), varBoolean);
  EXPECT_EQ(Variant(3).VarType(), varInt64);
  EXPECT_EQ(Variant(std::int64_t{1} << 40).AsInt64(), std::int64_t{1} << 40);
  EXPECT_EQ(Variant(7u).VarType(), varInt64);
  EXPECT_EQ(Variant(std::numeric_limits<std::uint64_t>::max()).VarType(), varDouble);
  EXPECT_EQ(Variant(1.5f).VarType(), varDouble);
  EXPECT_EQ(Variant("x").VarType(), varString);
  EXPECT_EQ(Variant(std::string("y")).AsString(), "y");
  EXPECT_EQ(Variant(static_cast<const char*>(nullptr)).AsString(), "");
  EXPECT_TRUE(VarIsNull(Variant::Null()));
  EXPECT_TRUE(VarIsEmpty(Variant()));
  EXPECT_FALSE(VarIsEmpty(Variant::Null()));
}

TEST(Variant, CopyMoveAndReassignAcrossKinds) {
  std::vector<Variant> values = {Variant(), Variant::Null(), true, 42, 2.5, "a long enough string to allocate"};
  for (const Variant& a : values)
    for (const Variant& b : values) {
      Variant x = a;
      x = b;
      EXPECT_EQ(x.VarType(), b.VarType());
      EXPECT_EQ(x.AsString(), b.AsString());
      Variant moved = std::move(x);
      EXPECT_EQ(moved.AsString(), b.AsString());
      x = a;  // a moved-from variant can be assigned again
      EXPECT_EQ(x.VarType(), a.VarType());
    }
  Variant self("text");
  const Variant& alias = self;
  self = alias;
  EXPECT_EQ(self.AsString(), "text");
  self.Clear();
  EXPECT_TRUE(self.IsEmpty());
}

TEST(Variant, ToText) {
  EXPECT_EQ(Variant().AsString(), "");
  EXPECT_EQ(Variant::Null().AsString(), "");
  EXPECT_EQ(Variant(true).AsString(), "True");
  EXPECT_EQ(Variant(false).AsString(), "False");
  EXPECT_EQ(Variant(-12).AsString(), "-12");
  EXPECT_EQ(Variant(0.25).AsString(), "0.25");
  EXPECT_EQ(Variant(1e20).AsString(), "1E20");
  EXPECT_EQ(VarToStr(Variant(1.0 / 3)), "0.333333333333333");
  std::ostringstream out;
  out << Variant(2.5) << '|' << Variant() << '|' << Variant("s");
  EXPECT_EQ(out.str(), "2.5||s");
}

TEST(Variant, ToNumbersAndBooleans) {
  EXPECT_EQ(Variant().AsFloat(), 0.0);
  EXPECT_EQ(Variant(true).AsFloat(), 1.0);
  EXPECT_EQ(Variant(" 2.5 ").AsFloat(), 2.5);
  EXPECT_EQ(Variant("$10").AsFloat(), 16.0);
  EXPECT_EQ(Variant("9007199254740993").AsInt64(), 9007199254740993);  // integer text stays exact
  EXPECT_EQ(Variant(2.5).AsInt64(), 2);  // ties to even
  EXPECT_EQ(Variant(3.5).AsInt64(), 4);
  EXPECT_EQ(Variant(-2.7).AsInt64(), -3);
  EXPECT_EQ(Variant("4.5").AsInteger(), 4);
  EXPECT_FALSE(Variant().AsBoolean());
  EXPECT_TRUE(Variant(-1).AsBoolean());
  EXPECT_FALSE(Variant(0.0).AsBoolean());
  EXPECT_TRUE(Variant("TRUE").AsBoolean());
  EXPECT_FALSE(Variant("false").AsBoolean());
  EXPECT_TRUE(Variant("2").AsBoolean());
}

TEST(Variant, FailedConversionsRaiseCastError) {
  ExpectCastError([] { Variant("abc").AsFloat(); }, "Could not convert variant of type (String) into type (Double)");
  ExpectCastError([] { Variant::Null().AsFloat(); }, "Could not convert variant of type (Null) into type (Double)");
  ExpectCastError([] { Variant("1.5x").AsInt64(); }, "Could not convert variant of type (String) into type (Int64)");
  ExpectCastError([] { Variant(1e300).AsInt64(); }, "Could not convert variant of type (Double) into type (Int64)");
  ExpectCastError([] { Variant(std::nan("")).AsInt64(); }, "Could not convert variant of type (Double) into type (Int64)");
  ExpectCastError([] { Variant(std::int64_t{1} << 40).AsInteger(); },
                  "Could not convert variant of type (Int64) into type (Integer)");
  ExpectCastError([] { Variant("yes").AsBoolean(); }, "Could not convert variant of type (String) into type (Boolean)");
  ExpectCastError([] { Variant::Null().AsBoolean(); }, "Could not convert variant of type (Null) into type (Boolean)");
}

TEST(Variant, Equality) {
  // Same kinds.
  EXPECT_EQ(Variant(), Variant());
  EXPECT_EQ(Variant::Null(), Variant::Null());
  EXPECT_EQ(Variant("abc"), Variant("abc"));
  EXPECT_NE(Variant("abc"), Variant("ABC"));
  EXPECT_NE(Variant("1.0"), Variant("1"));  // two strings compare as text
  // Numbers compare numerically, int64 against double exactly.
  EXPECT_EQ(Variant(2), Variant(2.0));
  EXPECT_NE(Variant(2), Variant(2.5));
  EXPECT_NE(Variant(std::int64_t{9007199254740993}), Variant(9007199254740992.0));
  EXPECT_NE(Variant(1), Variant(1e300));
  EXPECT_EQ(Variant(true), Variant(1));
  // Strings against numbers and booleans convert the string.
  EXPECT_EQ(Variant("2.50"), Variant(2.5));
  EXPECT_EQ(Variant(3), Variant(" 3 "));
  EXPECT_NE(Variant("abc"), Variant(0));
  EXPECT_EQ(Variant("True"), Variant(true));
  EXPECT_EQ(Variant("0"), Variant(false));
  // Unassigned is the zero value; null equals only null.
  EXPECT_EQ(Variant(), Variant(0));
  EXPECT_EQ(Variant(), Variant(""));
  EXPECT_EQ(Variant(), Variant(false));
  EXPECT_NE(Variant(), Variant(1));
  EXPECT_NE(Variant::Null(), Variant());
  EXPECT_NE(Variant::Null(), Variant(0));
  EXPECT_NE(Variant(std::nan("")), Variant(std::nan("")));
  // Comparison against plain values converts them.
  EXPECT_TRUE(Variant(4) == 4);
  EXPECT_TRUE(2.5 == Variant("2.5"));
}

TEST(Variant, ArithmeticTypeRules) {
  const Variant i = Variant(7) + Variant(5);
  EXPECT_EQ(i.VarType(), varInt64);
  EXPECT_EQ(i.AsInt64(), 12);
  EXPECT_EQ((Variant(7) - 10).AsInt64(), -3);
  EXPECT_EQ((Variant(6) * 7).VarType(), varInt64);
  const Variant d = Variant(7) / Variant(2);
  EXPECT_EQ(d.VarType(), varDouble);
  EXPECT_EQ(d.AsFloat(), 3.5);
  EXPECT_EQ((Variant(1) + 0.5).VarType(), varDouble);
  EXPECT_EQ((Variant(1.5) * Variant(2.0)).AsFloat(), 3.0);
  // Strings: concatenation, or numbers when the other side is a number.
  EXPECT_EQ((Variant("ab") + Variant("cd")).AsString(), "abcd");
  EXPECT_EQ((Variant("ab") + Variant()).AsString(), "ab");
  EXPECT_EQ((Variant("12") + Variant("3")).AsString(), "123");
  const Variant sn = Variant("1.5") + Variant(2);
  EXPECT_EQ(sn.VarType(), varDouble);
  EXPECT_EQ(sn.AsFloat(), 3.5);
  EXPECT_EQ((Variant("10") - Variant("4")).AsInt64(), 6);
  EXPECT_EQ((Variant(true) + Variant(true)).AsInt64(), 2);
  EXPECT_EQ((Variant() + Variant(5)).AsInt64(), 5);
  EXPECT_EQ((Variant() * Variant()).VarType(), varInt64);
  // Null propagates, even through concatenation.
  EXPECT_TRUE((Variant::Null() + Variant(1)).IsNull());
  EXPECT_TRUE((Variant("a") + Variant::Null()).IsNull());
  EXPECT_TRUE((-Variant::Null()).IsNull());
  // Division is IEEE; integer overflow widens to double.
  EXPECT_EQ((Variant(1) / Variant(0)).AsFloat(), std::numeric_limits<double>::infinity());
  const Variant big = Variant(std::numeric_limits<std::int64_t>::max()) + Variant(1);
  EXPECT_EQ(big.VarType(), varDouble);
  EXPECT_EQ(big.AsFloat(), 9223372036854775808.0);
  EXPECT_EQ((-Variant(std::numeric_limits<std::int64_t>::min())).VarType(), varDouble);
  EXPECT_EQ((-Variant(3)).AsInt64(), -3);
  EXPECT_EQ((-Variant("2.5")).AsFloat(), -2.5);
  Variant acc = 1;
  acc += 2;
  acc *= 2.5;
  acc -= "0.5";
  acc /= 2;
  EXPECT_EQ(acc.AsFloat(), 3.5);
}

TEST(Variant, ArithmeticOnNonNumericTextRaises) {
  ExpectCastError([] { (void)(Variant("abc") * Variant(2)); },
                  "Could not convert variant of type (String) into type (Double)");
  ExpectCastError([] { (void)(Variant(2) - Variant("x")); },
                  "Could not convert variant of type (String) into type (Double)");
  ExpectCastError([] { (void)(Variant("a") - Variant("b")); },
                  "Could not convert variant of type (String) into type (Double)");
}

TEST(Variant, ArithmeticMatchesDoubleArithmetic) {
  std::mt19937 gen(5);
  std::uniform_real_distribution<double> real(-1e6, 1e6);
  std::uniform_int_distribution<int> integer(-100000, 100000);
  for (int n = 0; n < 2000; ++n) {
    const double a = real(gen), b = real(gen);
    const int i = integer(gen), j = integer(gen);
    ASSERT_EQ((Variant(a) + Variant(b)).AsFloat(), a + b);
    ASSERT_EQ((Variant(a) - Variant(j)).AsFloat(), a - j);
    ASSERT_EQ((Variant(i) * Variant(b)).AsFloat(), i * b);
    ASSERT_EQ((Variant(i) / Variant(b)).AsFloat(), i / b);
    ASSERT_EQ((Variant(i) * Variant(j)).AsInt64(), std::int64_t{i} * j);
    // A number that went through its text form compares equal to itself when the
    // text has the shortest round-trip digits.
    ASSERT_EQ(Variant(i), Variant(Variant(i).AsString()));
  }
}
