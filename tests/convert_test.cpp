#include <evokit/platform/convert.h>

#include <gtest/gtest.h>

#include <bit>
#include <clocale>
#include <cmath>
#include <cstring>
#include <limits>
#include <locale>
#include <random>
#include <sstream>
#include <string>

using namespace evokit;

namespace {

// The number of significant digits of a FloatToStr text (mantissa only, without the
// zeros that only position the decimal point).
int SignificantDigits(const std::string& Text) {
  std::string mantissa = Text.substr(0, Text.find('E'));
  std::string digits;
  for (char c : mantissa)
    if (c >= '0' && c <= '9') digits += c;
  const auto first = digits.find_first_not_of('0');
  if (first == std::string::npos) return 1;
  const auto last = digits.find_last_not_of('0');  // zeros that only place the point
  return static_cast<int>(last - first + 1);
}

}  // namespace

TEST(FloatToStr, GeneralFormat) {
  EXPECT_EQ(FloatToStr(1.0), "1");
  EXPECT_EQ(FloatToStr(0.5), "0.5");
  EXPECT_EQ(FloatToStr(0.1), "0.1");
  EXPECT_EQ(FloatToStr(-2.25), "-2.25");
  EXPECT_EQ(FloatToStr(1 / 3.0), "0.333333333333333");
  EXPECT_EQ(FloatToStr(2 / 3.0), "0.666666666666667");
  EXPECT_EQ(FloatToStr(0.0), "0");
  EXPECT_EQ(FloatToStr(-0.0), "0");
  EXPECT_EQ(FloatToStr(123456789012345.0), "123456789012345");
  EXPECT_EQ(FloatToStr(0.0001), "0.0001");
}

TEST(FloatToStr, ExponentFormForLargeAndSmallMagnitudes) {
  EXPECT_EQ(FloatToStr(1e15), "1E15");
  EXPECT_EQ(FloatToStr(1e20), "1E20");
  EXPECT_EQ(FloatToStr(-2.5e20), "-2.5E20");
  EXPECT_EQ(FloatToStr(1.5e-5), "1.5E-5");
  EXPECT_EQ(FloatToStr(0.00001), "1E-5");
  EXPECT_EQ(FloatToStr(std::numeric_limits<double>::max()), "1.79769313486232E308");
  EXPECT_EQ(FloatToStr(std::numeric_limits<double>::denorm_min()), "5E-324");
}

TEST(FloatToStr, NonFiniteValues) {
  EXPECT_EQ(FloatToStr(std::numeric_limits<double>::quiet_NaN()), "NAN");
  EXPECT_EQ(FloatToStr(std::numeric_limits<double>::infinity()), "INF");
  EXPECT_EQ(FloatToStr(-std::numeric_limits<double>::infinity()), "-INF");
  EXPECT_TRUE(std::isnan(StrToFloat("nan")));
  EXPECT_EQ(StrToFloat("INF"), std::numeric_limits<double>::infinity());
  EXPECT_EQ(StrToFloat("-Inf"), -std::numeric_limits<double>::infinity());
}

TEST(FloatToStr, WidenedSingleShowsFifteenDigits) {
  EXPECT_EQ(FloatToStr(static_cast<double>(0.02f)), "0.0199999995529652");
  EXPECT_EQ(SingleToStr(0.02f), "0.02");
  EXPECT_EQ(static_cast<float>(StrToFloat(SingleToStr(0.02f))), 0.02f);
  EXPECT_EQ(SingleToStr(std::numeric_limits<float>::max()), "3.4028235E38");
  EXPECT_EQ(SingleToStr(-1.5f), "-1.5");
}

TEST(SingleToStr, EveryRandomSingleReadsBack) {
  std::mt19937 gen(12345);
  std::uniform_int_distribution<std::uint32_t> bits;
  int tested = 0;
  while (tested < 200000) {
    const float f = std::bit_cast<float>(bits(gen));
    if (!std::isfinite(f)) continue;
    ++tested;
    const std::string text = SingleToStr(f);
    ASSERT_EQ(static_cast<float>(StrToFloat(text)), f) << text;
    ASSERT_LE(SignificantDigits(text), 9) << text;
  }
}

TEST(FloatToStr, RandomDoublesReadBackWithinFifteenDigits) {
  std::mt19937_64 gen(777);
  std::uniform_int_distribution<std::uint64_t> bits;
  for (int i = 0; i < 200000; ++i) {
    const double v = std::bit_cast<double>(bits(gen));
    if (!std::isfinite(v)) continue;
    const std::string text = FloatToStr(v);
    ASSERT_LE(SignificantDigits(text), 15) << text;
    const double back = StrToFloat(text);
    // Fifteen digits are not always enough to reach the same double, but the error
    // is at most half a unit in the fifteenth digit plus the final rounding to double.
    if (std::fabs(v) >= std::numeric_limits<double>::min()) {
      const double ulp = std::nextafter(std::fabs(v), INFINITY) - std::fabs(v);
      ASSERT_LE(std::fabs(back - v), std::fabs(v) * 5e-15 + ulp) << text;
    }
    // ...and the text itself is stable: any 15-digit decimal survives a double.
    ASSERT_EQ(FloatToStr(back), text);
  }
  // Values that have a short decimal form read back exactly.
  for (int i = -2000; i <= 2000; ++i) {
    const double v = i / 8.0 + i * 1e-3;
    ASSERT_EQ(StrToFloat(FloatToStr(v)), v) << FloatToStr(v);
  }
}

TEST(FloatToStrF, FixedRoundsToPrecisionThenDigits) {
  EXPECT_EQ(FloatToStrF(55.5, ffFixed, 2, 2), "56.00");
  EXPECT_EQ(FloatToStrF(0.555 * 100, ffFixed, 2, 2), "56.00");
  EXPECT_EQ(FloatToStrF(0.98 * 100, ffFixed, 2, 2), "98.00");
  EXPECT_EQ(FloatToStrF(0.01 * 100, ffFixed, 2, 2), "1.00");
  EXPECT_EQ(FloatToStrF(0.125, ffFixed, 15, 2), "0.13");
  EXPECT_EQ(FloatToStrF(-0.125, ffFixed, 15, 2), "-0.13");
  EXPECT_EQ(FloatToStrF(2.675, ffFixed, 15, 2), "2.68");
  EXPECT_EQ(FloatToStrF(9.96, ffFixed, 2, 1), "10.0");
  EXPECT_EQ(FloatToStrF(1234.5678, ffFixed, 15, 0), "1235");
  EXPECT_EQ(FloatToStrF(0.004, ffFixed, 15, 2), "0.00");
  EXPECT_EQ(FloatToStrF(-0.004, ffFixed, 15, 2), "0.00");
  EXPECT_EQ(FloatToStrF(0.005, ffFixed, 15, 2), "0.01");
  EXPECT_EQ(FloatToStrF(0.0, ffFixed, 15, 3), "0.000");
  EXPECT_EQ(FloatToStrF(1.5, ffNumber, 15, 1), "1.5");
}

TEST(FloatToStrF, FixedSwitchesToExponentWhenIntegerPartExceedsPrecision) {
  EXPECT_EQ(FloatToStrF(12345, ffFixed, 3, 2), "1.23E4");
  EXPECT_EQ(FloatToStrF(100, ffFixed, 2, 2), "1.0E2");
  EXPECT_EQ(FloatToStrF(99.95, ffFixed, 3, 2), "100.00");
  EXPECT_EQ(FloatToStrF(99.96, ffFixed, 2, 2), "1.0E2");  // rounding adds a digit
  EXPECT_EQ(FloatToStrF(-1e20, ffFixed, 15, 2), "-1.00000000000000E20");
}

TEST(FloatToStrF, GeneralAndExponentFormats) {
  EXPECT_EQ(FloatToStrF(1 / 3.0, ffGeneral, 4, 0), "0.3333");
  EXPECT_EQ(FloatToStrF(12345, ffGeneral, 3, 0), "1.23E4");
  EXPECT_EQ(FloatToStrF(0.1, ffGeneral, 17, 0), "0.1");
  EXPECT_EQ(FloatToStrF(1 / 3.0, ffGeneral, 17, 0), "0.3333333333333333");  // shortest round trip
  EXPECT_EQ(FloatToStrF(1234.5, ffExponent, 4, 2), "1.235E03");
  EXPECT_EQ(FloatToStrF(0.00012, ffExponent, 3, 0), "1.20E-4");
  EXPECT_EQ(FloatToStrF(0.0, ffExponent, 2, 0), "0.0E0");
  // Precision outside 1..17 is clamped, not rejected.
  EXPECT_EQ(FloatToStrF(2.5, ffGeneral, 0, 0), "3");
  EXPECT_EQ(FloatToStrF(0.5, ffGeneral, 99, 0), "0.5");
}

TEST(StrToFloat, AcceptedSyntax) {
  EXPECT_EQ(StrToFloat("1.5"), 1.5);
  EXPECT_EQ(StrToFloat("  -2.5E-3 "), -2.5e-3);
  EXPECT_EQ(StrToFloat("+4"), 4.0);
  EXPECT_EQ(StrToFloat(".5"), 0.5);
  EXPECT_EQ(StrToFloat("5."), 5.0);
  EXPECT_EQ(StrToFloat("1e5"), 1e5);
  EXPECT_EQ(StrToFloat("1e-400"), 0.0);  // underflow reads as zero
  EXPECT_TRUE(std::signbit(StrToFloat("-1e-400")));
  EXPECT_EQ(StrToFloat("4.9E-324"), std::numeric_limits<double>::denorm_min());
  EXPECT_EQ(StrToFloatDef("junk", 7.5), 7.5);
  double v = 3;
  EXPECT_FALSE(TryStrToFloat("1,5", v));
  EXPECT_EQ(v, 3);  // untouched on failure
}

TEST(StrToFloat, BadTextRaisesConvertError) {
  for (const char* bad : {"", " ", "abc", "1,5", "1.5x", "1e", "--1", "+-1", "0x10", "1e400", "nan(1)", "1 2"}) {
    SCOPED_TRACE(bad);
    try {
      StrToFloat(bad);
      FAIL() << "no exception";
    } catch (const EConvertError& e) {
      EXPECT_EQ(e.Message(), std::string("'") + bad + "' is not a valid floating point value");
    }
  }
}

void ExpectFullStopConversions() {
  EXPECT_EQ(FloatToStr(1.5), "1.5");
  EXPECT_EQ(SingleToStr(0.25f), "0.25");
  EXPECT_EQ(FloatToStrF(0.125, ffFixed, 15, 2), "0.13");
  EXPECT_EQ(StrToFloat("2.25"), 2.25);
  EXPECT_THROW(StrToFloat("2,25"), EConvertError);
  EXPECT_EQ(Format("%.2f|%g|%s", 1.5, 0.25, 0.75), "1.50|0.25|0.75");
}

TEST(Convert, IndependentOfTheGlobalCppLocale) {
  struct CommaDecimal : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
  };
  const std::locale previous = std::locale::global(std::locale(std::locale::classic(), new CommaDecimal));
  ExpectFullStopConversions();
  std::locale::global(previous);
}

TEST(Convert, IndependentOfTheProcessCLocale) {
  const std::string saved = std::setlocale(LC_ALL, nullptr);
  const char* chosen = nullptr;
  for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "fr_FR.UTF-8", "fr_FR.utf8", "ru_RU.UTF-8"})
    if (std::setlocale(LC_ALL, name) != nullptr) {
      chosen = name;
      break;
    }
  if (chosen == nullptr) GTEST_SKIP() << "no comma-decimal locale installed";
  ASSERT_STREQ(std::localeconv()->decimal_point, ",");
  ExpectFullStopConversions();
  std::setlocale(LC_ALL, saved.c_str());
}

TEST(StrToInt, DecimalHexAndRange) {
  EXPECT_EQ(IntToStr(-9223372036854775807LL - 1), "-9223372036854775808");
  EXPECT_EQ(StrToInt(" 42 "), 42);
  EXPECT_EQ(StrToInt("-17"), -17);
  EXPECT_EQ(StrToInt("$1F"), 31);
  EXPECT_EQ(StrToInt("0x10"), 16);
  EXPECT_EQ(StrToInt("$FFFFFFFF"), -1);
  EXPECT_EQ(StrToInt("2147483647"), 2147483647);
  EXPECT_EQ(StrToInt64("-9223372036854775808"), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(StrToInt64("$FFFFFFFFFFFFFFFF"), -1);
  EXPECT_EQ(StrToIntDef("x", -5), -5);
  for (const char* bad : {"", "2147483648", "1.5", "12a", "$", "$1FFFFFFFF", "- 1"}) {
    SCOPED_TRACE(bad);
    try {
      StrToInt(bad);
      FAIL() << "no exception";
    } catch (const EConvertError& e) {
      EXPECT_EQ(e.Message(), std::string("'") + bad + "' is not a valid integer value");
    }
  }
  EXPECT_THROW(StrToInt64("9223372036854775808"), EConvertError);
}

TEST(Convert, Booleans) {
  EXPECT_EQ(BoolToStr(true), "True");
  EXPECT_EQ(BoolToStr(false), "False");
  EXPECT_TRUE(StrToBool("TRUE"));
  EXPECT_TRUE(StrToBool("True"));
  EXPECT_FALSE(StrToBool("1"));
  EXPECT_FALSE(StrToBool("yes"));
  EXPECT_FALSE(StrToBool(" true"));
}

TEST(Format, Placeholders) {
  EXPECT_EQ(Format("\"%s\" is not a valid enumerated value", "Red"), "\"Red\" is not a valid enumerated value");
  EXPECT_EQ(Format("Invalid number of arguments (%d) for \"%s\" instruction", 1, "Add"),
            "Invalid number of arguments (1) for \"Add\" instruction");
  EXPECT_EQ(Format("%i%%", -3), "-3%");
  EXPECT_EQ(Format("[%5d|%-5d|%05d|%.3d]", 42, 42, -42, 7), "[   42|42   |-0042|007]");
  EXPECT_EQ(Format("%5.2f", 3.14159), " 3.14");
  EXPECT_EQ(Format("%f", 0.5), "0.500000");
  EXPECT_EQ(Format("%e", 12345.678), "1.234568e+04");
  EXPECT_EQ(Format("%g %G", 1e-5, 1e20), "1e-05 1E+20");
  EXPECT_EQ(Format("%x %X", 255, 255u), "ff FF");
  EXPECT_EQ(Format("%u", std::size_t{7}), "7");
  EXPECT_EQ(Format("%.2s|%4s", "abcdef", "ab"), "ab|  ab");
}

TEST(Format, MismatchedArgumentsConvertNaturally) {
  EXPECT_EQ(Format("%s %s", 12, 0.5), "12 0.5");
  EXPECT_EQ(Format("%d", "abc"), "abc");
  EXPECT_EQ(Format("%d %d", 3.0, 2.5), "3 2.5");
  EXPECT_EQ(Format("%.1f %.1f", 2, "0.25"), "2.0 0.2");
  EXPECT_EQ(Format("%f", "n/a"), "n/a");
  EXPECT_EQ(Format("no placeholders", 1, 2), "no placeholders");
}

TEST(Format, MissingArgumentOrBadPlaceholderRaises) {
  EXPECT_THROW(Format("%s and %s", "one"), EConvertError);
  EXPECT_THROW(Format("%q", 1), EConvertError);
  EXPECT_THROW(Format("trailing %", 1), EConvertError);
  try {
    Format("%d");
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "Format '%d' invalid or incompatible with argument");
  }
}

TEST(Convert, AsciiCaseAndTrim) {
  EXPECT_EQ(LowerCase("AbC-Z\xC3\x84"), "abc-z\xC3\x84");
  EXPECT_EQ(UpperCase("abc-z"), "ABC-Z");
  EXPECT_TRUE(SameText("fmMinimize", "FMMINIMIZE"));
  EXPECT_FALSE(SameText("abc", "abd"));
  EXPECT_FALSE(SameText("abc", "abcd"));
  EXPECT_EQ(Trim(" \t\r\n x y \n"), "x y");
  EXPECT_EQ(Trim("   "), "");
}
