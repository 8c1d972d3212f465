#include <evokit/platform/convert.h>

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <string>

#include "support.h"

using namespace evokit;

static constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(Convert, FloatToText) {
  const std::pair<double, const char*> general[] = {
      {1.0, "1"}, {-2.25, "-2.25"}, {1 / 3.0, "0.333333333333333"}, {2 / 3.0, "0.666666666666667"}, {-0.0, "0"},
      {123456789012345.0, "123456789012345"}, {1e15, "1E15"}, {0.0001, "0.0001"}, {1.5e-5, "1.5E-5"}, {-kInf, "-INF"},
      {std::numeric_limits<double>::max(), "1.79769313486232E308"}, {static_cast<double>(0.02f), "0.0199999995529652"},
      {std::numeric_limits<double>::denorm_min(), "5E-324"}, {std::nan(""), "NAN"}, {kInf, "INF"}};
  for (const auto& [value, text] : general) EXPECT_EQ(FloatToStr(value), text);
  // The text for documents differs only where the 15 digits would overflow.
  for (const auto& [value, text] : general)
    EXPECT_EQ(FloatToStrNoOverflow(value), value == std::numeric_limits<double>::max() ? "1.7976931348623157E308" : text);
  // Fixed rounds half away from zero on the 15-digit decimal text, then to Digits, and
  // takes the exponent form once the integer part has more digits than Precision.
  struct { double Value; TFloatFormat Format; int Precision, Digits; const char* Text; } formatted[] = {
      {55.5, ffFixed, 2, 2, "56.00"}, {0.555 * 100, ffFixed, 2, 2, "56.00"}, {0.01 * 100, ffFixed, 2, 2, "1.00"},
      {-0.125, ffFixed, 15, 2, "-0.13"}, {2.675, ffFixed, 15, 2, "2.68"}, {-0.004, ffFixed, 15, 2, "0.00"},
      {1234.5678, ffFixed, 15, 0, "1235"}, {99.95, ffFixed, 3, 2, "100.00"}, {99.96, ffFixed, 2, 2, "1.0E2"},
      {-1e20, ffFixed, 15, 2, "-1.00000000000000E20"}, {kInf, ffFixed, 15, 2, "INF"}, {1.5, ffNumber, 15, 1, "1.5"},
      {1 / 3.0, ffGeneral, 4, 0, "0.3333"}, {1 / 3.0, ffGeneral, 17, 0, "0.3333333333333333"},
      {12345, ffGeneral, 3, 0, "1.23E4"}, {0.5, ffGeneral, 99, 0, "0.5"}, {2.5, ffGeneral, -3, 0, "3"},
      {1234.5, ffExponent, 4, 2, "1.235E03"}, {0.00012, ffExponent, 3, 0, "1.20E-4"}, {0.0, ffExponent, 2, 0, "0.0E0"}};
  for (const auto& c : formatted) EXPECT_EQ(FloatToStrF(c.Value, c.Format, c.Precision, c.Digits), c.Text);
}

TEST(Convert, TextToFloat) {
  const std::pair<const char*, double> good[] = {
      {"1.5", 1.5}, {"  -2.5E-3 ", -2.5e-3}, {"+4", 4.0}, {".5", 0.5}, {"5.", 5.0}, {"1e-400", 0.0}, {"INF", kInf},
      {"4.9E-324", std::numeric_limits<double>::denorm_min()}, {"-Inf", -kInf}, {"infinity", kInf}};
  for (const auto& [text, value] : good) EXPECT_EQ(StrToFloat(text), value) << text;
  EXPECT_TRUE(std::signbit(StrToFloat("-1e-400")));  // underflow keeps the sign
  EXPECT_TRUE(std::isnan(StrToFloat("nan")));
  // Out of range by the digits, not the exponent: 1E399 overflows, 1E-401 underflows to zero.
  EXPECT_THROW(StrToFloat("1" + std::string(400, '0') + "e-1"), EConvertError);
  EXPECT_EQ(StrToFloat(std::string(500, '0') + ".1e-400"), 0.0);
  for (const char* bad : {"", " ", "abc", "1,5", "1.5x", "1e", "--1", "+-1", "-", "0x10", "1e400", "1e0000400",
                          "100000e304", "nan(1)", "1 2", "+nan2"})
    EXPECT_EQ(test::ErrorOf<EConvertError>([&] { StrToFloat(bad); }),
              std::string("'") + bad + "' is not a valid floating point value");
  double v = 3;
  EXPECT_FALSE(TryStrToFloat("1,5", v));
  EXPECT_EQ(v, 3);  // untouched on failure
  EXPECT_EQ(StrToFloatDef("junk", 7.5), 7.5);
}

// Texts read back to the same single, or to the double within half a unit of the
// fifteenth digit (and then to the same text).
TEST(Convert, RandomSinglesAndDoublesReadBack) {
  std::mt19937_64 gen(777);
  for (int i = 0; i < 50000; ++i) {
    const float f = std::bit_cast<float>(static_cast<std::uint32_t>(gen()));
    const double v = std::bit_cast<double>(gen());
    if (!std::isfinite(f) || !std::isfinite(v)) continue;
    ASSERT_EQ(static_cast<float>(StrToFloat(SingleToStr(f))), f) << SingleToStr(f);
    const std::string text = FloatToStr(v);
    const double back = StrToFloat(text);
    if (std::fabs(v) >= std::numeric_limits<double>::min()) {
      ASSERT_LE(std::fabs(back - v), std::fabs(v) * 5e-15 + (std::nextafter(std::fabs(v), kInf) - std::fabs(v)));
    }
    ASSERT_EQ(FloatToStr(back), text);  // the text is stable
  }
  for (int i = -2000; i <= 2000; ++i) ASSERT_EQ(StrToFloat(FloatToStr(i / 8.0 + i * 1e-3)), i / 8.0 + i * 1e-3);
}

TEST(Convert, Integers) {
  EXPECT_EQ(IntToStr(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808");
  // Text, then what StrToInt and StrToInt64 read: hexadecimal is a bit pattern of the width.
  struct { const char* Text; std::int64_t Int, Int64; } cases[] = {
      {" 42 ", 42, 42}, {"-17", -17, -17}, {"+8", 8, 8}, {"$1F", 31, 31}, {"0x10", 16, 16}, {"-0X1f", -31, -31},
      {"$FFFFFFFF", -1, 4294967295}, {"$80000000", INT32_MIN, 2147483648}, {"2147483647", INT32_MAX, 2147483647}};
  for (const auto& c : cases) {
    EXPECT_EQ(StrToInt(c.Text), c.Int) << c.Text;
    EXPECT_EQ(StrToInt64(c.Text), c.Int64) << c.Text;
  }
  EXPECT_EQ(StrToInt64("-9223372036854775808"), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(StrToInt64("$FFFFFFFFFFFFFFFF"), -1);
  EXPECT_EQ(StrToIntDef("x", -5), -5);
  for (const char* bad : {"", "2147483648", "-2147483649", "1.5", "12a", "$", "0x", "$1FFFFFFFF", "- 1", "-$80000000"})
    EXPECT_EQ(test::ErrorOf<EConvertError>([&] { StrToInt(bad); }),
              std::string("'") + bad + "' is not a valid integer value");
  for (const char* bad : {"9223372036854775808", "-9223372036854775809", "-$8000000000000000", "$10000000000000000"})
    EXPECT_THROW(StrToInt64(bad), EConvertError) << bad;
}

TEST(Convert, Format) {
  const std::pair<std::string, std::string> cases[] = {
      {Format("\"%s\" (%d) %i%%", "Red", 1, -3), "\"Red\" (1) -3%"},
      {Format("[%5d|%-5d|%05d|%04d|%.3d|%-05d|%12d]", 42, 42, -42, 42, 7, 3, 1),
       "[   42|42   |-0042|0042|007|3    |           1]"},
      {Format("%5.2f|%f|%e|%E", 3.14159, 0.5, 12345.678, 0.5), " 3.14|0.500000|1.234568e+04|5.000000E-01"},
      {Format("%g %G %.0g %x %X %u", 1e-5, 1e20, 26.0, 255, 255u, std::size_t{7}), "1e-05 1E+20 3e+01 ff FF 7"},
      {Format("%.2s|%4s|%04s", "abcdef", "ab", "ab"), "ab|  ab|  ab"},
      // Arguments of another kind convert the natural way; extra arguments are ignored.
      {Format("%s %s|%d|%d %d", 12, 0.5, "abc", 3.0, 2.5), "12 0.5|abc|3 2.5"},
      {Format("%.1f %.1f %f", 2, "0.25", "n/a"), "2.0 0.2 n/a"}, {Format("none", 1, 2), "none"}};
  for (const auto& [actual, expected] : cases) EXPECT_EQ(actual, expected);
  for (const char* bad : {"%s and %s", "%q", "trailing %"}) EXPECT_THROW(Format(bad, "one"), EConvertError) << bad;
  EXPECT_EQ(test::ErrorOf<EConvertError>([] { Format("%d"); }), "Format '%d' invalid or incompatible with argument");
}

TEST(Convert, CaseAndTrim) {
  EXPECT_EQ(LowerCase("AbC-Z@[`{\xC3\x84"), "abc-z@[`{\xC3\x84");
  EXPECT_EQ(UpperCase("abc-z@[`{"), "ABC-Z@[`{");
  EXPECT_TRUE(SameText("fmMinimize", "FMMINIMIZE"));
  EXPECT_FALSE(SameText("abc", "abd") || SameText("abc", "abcd") || SameText("@", "`"));
  EXPECT_EQ(Trim(" \t\r\n x y \n") + Trim("   "), "x y");
}
