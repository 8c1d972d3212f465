#include <evokit/platform/variant.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>

#include "support.h"

using namespace evokit;

static constexpr std::int64_t kMax64 = std::numeric_limits<std::int64_t>::max();

// A variant as "<type name> <text>".
static std::string Show(const Variant& V) { return test::Cat(VarTypeName(V.VarType()), " ", V.AsString()); }

TEST(Variant, KindsTextAndAssignment) {
  const std::pair<Variant, const char*> cases[] = {
      {Variant(), "Empty "}, {Variant::Null(), "Null "}, {true, "Boolean True"}, {-12, "Int64 -12"}, {7u, "Int64 7"},
      {std::int64_t{1} << 40, "Int64 1099511627776"}, {0.25, "Double 0.25"}, {1.5f, "Double 1.5"},
      {std::numeric_limits<std::uint64_t>::max(), "Double 1.84467440737096E19"}, {"x", "String x"},
      {std::string("y"), "String y"}, {static_cast<const char*>(nullptr), "String "}};
  for (const auto& [value, shown] : cases) {
    EXPECT_EQ(Show(value), shown);
    for (const auto& [other, otherShown] : cases) {  // assignment across kinds, copying and moving
      Variant x = value, y = value;
      x = other;
      y = std::move(x);
      EXPECT_EQ(Show(y), otherShown);
      x = value;  // a moved-from variant can be assigned again
      EXPECT_EQ(Show(x), shown);
    }
  }
}

TEST(Variant, Conversions) {
  for (const auto& [v, d] : {std::pair{Variant(), 0.0}, {true, 1.0}, {" 2.5 ", 2.5}, {"$10", 16.0}, {"-1e3", -1e3}})
    EXPECT_EQ(v.AsFloat(), d) << v.AsString();
  // Integer text stays exact; doubles round to nearest, ties to even.
  for (const auto& [v, n] : {std::pair{Variant("9007199254740993"), std::int64_t{9007199254740993}}, {2.5, 2},
                             {3.5, 4}, {-2.7, -3}, {true, 1}, {Variant(), 0}, {"-$10", -16}, {"4.5", 4}})
    EXPECT_EQ(v.AsInt64(), n) << v.AsString();
  EXPECT_EQ(Variant(-2147483648.0).AsInteger(), INT32_MIN);
  for (const auto& [v, b] : {std::pair{Variant(-1), true}, {"TRUE", true}, {"2", true}, {0.5, true}, {"0.1", true},
                             {Variant(), false}, {0.0, false}, {"false", false}, {"0.0", false}})
    EXPECT_EQ(v.AsBoolean(), b) << v.AsString();
  struct { std::function<void()> Call; const char *From, *To; } failures[] = {
      {[] { Variant("abc").AsFloat(); }, "String", "Double"}, {[] { Variant::Null().AsFloat(); }, "Null", "Double"},
      {[] { Variant("1.5x").AsInt64(); }, "String", "Int64"}, {[] { Variant("1e300").AsInt64(); }, "String", "Int64"},
      {[] { Variant(0x1p63).AsInt64(); }, "Double", "Int64"}, {[] { Variant(NAN).AsInt64(); }, "Double", "Int64"},
      {[] { Variant(1ll << 40).AsInteger(); }, "Int64", "Integer"},
      {[] { Variant(-2147483649.0).AsInteger(); }, "Double", "Integer"},
      {[] { Variant("yes").AsBoolean(); }, "String", "Boolean"},
      {[] { (void)(Variant("abc") * Variant(2)); }, "String", "Double"}};
  for (const auto& f : failures)
    EXPECT_EQ(test::ErrorOf<EVariantTypeCastError>(f.Call),
              std::string("Could not convert variant of type (") + f.From + ") into type (" + f.To + ")");
}

TEST(Variant, Equality) {
  struct { Variant A, B; bool Equal; } cases[] = {
      {Variant(), Variant(), true}, {Variant::Null(), Variant::Null(), true}, {NAN, NAN, false},
      {"abc", "ABC", false}, {"1.0", "1", false},  // two strings compare as text
      {2, 2.0, true}, {std::int64_t{9007199254740993}, 9007199254740992.0, false}, {kMax64, 0x1p63, false},
      {true, 1, true}, {"2.50", 2.5, true}, {"abc", 0, false}, {"True", true, true}, {"TRUE", false, false},
      {Variant(), 0, true}, {Variant(), "", true}, {Variant(), "x", false}, {Variant::Null(), Variant(), false}};
  for (const auto& c : cases) {
    EXPECT_EQ(c.A == c.B, c.Equal) << Show(c.A) << " == " << Show(c.B);
    EXPECT_EQ(c.B == c.A, c.Equal) << Show(c.B) << " == " << Show(c.A);
  }
}

// Integers stay integers unless they overflow, '/' divides as doubles, '+' on strings
// concatenates, other text converts, and null propagates.
TEST(Variant, Arithmetic) {
  const std::pair<Variant, const char*> cases[] = {
      {Variant(7) - 10, "Int64 -3"}, {Variant(6) * 7, "Int64 42"}, {Variant(6) / Variant(3), "Double 2"},
      {Variant(1) + 0.5, "Double 1.5"}, {Variant("12") + Variant("3"), "String 123"},
      {Variant("ab") + Variant(), "String ab"}, {Variant("1.5") + Variant(2), "Double 3.5"},
      {Variant("10") - Variant("4"), "Int64 6"}, {Variant(true) + Variant(true), "Int64 2"},
      {Variant() * Variant(), "Int64 0"}, {Variant(1) / Variant(0), "Double INF"},
      {Variant(kMax64) + Variant(1), "Double 9.22337203685478E18"},
      {Variant(kMax64) * Variant(2), "Double 1.84467440737096E19"},
      {-Variant(std::numeric_limits<std::int64_t>::min()), "Double 9.22337203685478E18"}, {-Variant(3), "Int64 -3"},
      {-Variant("2.5"), "Double -2.5"}, {Variant("a") + Variant::Null(), "Null "}, {-Variant::Null(), "Null "}};
  for (const auto& [result, shown] : cases) EXPECT_EQ(Show(result), shown);
}
