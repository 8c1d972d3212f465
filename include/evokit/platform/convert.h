// Text conversions that never depend on the process locale: the decimal separator
// is always '.', booleans are "True"/"False". Bad text raises EConvertError.
// Thread safety: all functions are reentrant.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include <evokit/platform/exceptions.h>

namespace evokit {

enum TFloatFormat { ffGeneral, ffExponent, ffFixed, ffNumber };

// General format: the shortest text that reads back to Value when 15 significant
// digits suffice, otherwise Value rounded to 15 significant digits (1/3.0 ->
// "0.333333333333333", (double)0.02f -> "0.0199999995529652"). Exponent form when the
// decimal exponent is >= 15 or < -4, with a trimmed mantissa and a sign only when the
// exponent is negative (1e20 -> "1E20", 1.5e-5 -> "1.5E-5"). 1.0 -> "1", 0.5 -> "0.5",
// zero (also -0.0) -> "0", NaN -> "NAN", infinities -> "INF"/"-INF".
// Equal to FloatToStrF(Value, ffGeneral, 15, 0).
std::string FloatToStr(double Value);
// FloatToStr's 15 significant digits, or 17 where those would overflow: the 15-digit
// rounding carries the magnitudes nearest the largest double past it (FloatToStr(DBL_MAX)
// is "1.79769313486232E308"). Every finite value loads again, not necessarily to the same
// double. The XML writers use it. (The component text writes FloatToStr's digits only
// when they read back to the same double, 17 otherwise; the island model's migrant
// fitness is always FloatToStrF with 17 digits.)
std::string FloatToStrNoOverflow(double Value);
// The shortest text that reads back (StrToFloat, then narrowed to float) to the same
// 32-bit float, laid out like FloatToStr (0.02f -> "0.02", 3.4028235e38f -> "3.4028235E38").
std::string SingleToStr(float Value);
// Formats Value with Precision significant digits (clamped to 1..17; up to 15 the
// digits come from the 15-digit decimal text of FloatToStr, 16 and 17 from the shortest
// round-trip text). Rounding is half away from zero on that decimal text, so
// FloatToStrF(0.125, ffFixed, 15, 2) == "0.13" and FloatToStrF(2.675, ffFixed, 15, 2)
// == "2.68" although the binary values lie slightly below the halfway point.
//   ffGeneral: like FloatToStr with Precision digits; Digits is ignored.
//   ffFixed:   rounds to Precision significant digits first, then to Digits decimals
//              (clamped to 0..18) and shows exactly Digits decimals:
//              FloatToStrF(55.5, ffFixed, 2, 2) == "56.00". When the integer part has
//              more digits than Precision the result is the ffExponent form with Digits
//              0 instead: FloatToStrF(12345, ffFixed, 3, 2) == "1.23E4",
//              FloatToStrF(100, ffFixed, 2, 2) == "1.0E2".
//   ffNumber:  as ffFixed (no thousands separators).
//   ffExponent: mantissa of exactly Precision digits, "E", a '-' only for negative
//              exponents, at least Digits (clamped to 0..4) exponent digits:
//              FloatToStrF(1234.5, ffExponent, 4, 2) == "1.235E03".
// A result that rounds to zero carries no minus sign. NaN and infinities give
// "NAN", "INF", "-INF" in every format.
std::string FloatToStrF(double Value, TFloatFormat Format, int Precision, int Digits);

// Accepts optional surrounding blanks (characters up to ' '), a sign, digits with an
// optional '.', an optional exponent ("1.5E-5", "2e3"), or NAN, INF, INFINITY (any
// case, INF with an optional sign). A ',' is never a decimal separator. Magnitudes
// below the smallest subnormal read as a signed zero. Anything else, including overflow
// beyond the double range: EConvertError ("'<text>' is not a valid floating point value").
double StrToFloat(std::string_view Text);
bool TryStrToFloat(std::string_view Text, double& Value);
double StrToFloatDef(std::string_view Text, double Default);

std::string IntToStr(std::int64_t Value);
// Decimal, or hexadecimal with a leading '$' or "0x" after an optional sign; blanks
// around the text are ignored. Hexadecimal text is a bit pattern of the target width
// ("$FFFFFFFF" is -1 for StrToInt). Out of range or bad text: EConvertError
// ("'<text>' is not a valid integer value").
int StrToInt(std::string_view Text);
std::int64_t StrToInt64(std::string_view Text);
bool TryStrToInt(std::string_view Text, int& Value);
bool TryStrToInt64(std::string_view Text, std::int64_t& Value);
int StrToIntDef(std::string_view Text, int Default);

// "True" or "False".
std::string BoolToStr(bool Value);
// True exactly when the lower-case text is "true".
bool StrToBool(std::string_view Text);

// printf-like formatting of the message texts, never locale dependent:
//   %s        text;                    %d %i %u  decimal integer;  %x %X  hexadecimal;
//   %f %e %g  double as printf does in the "C" locale (default precision 6);  %% a '%'.
// Optional flags '-' (left-justify) and '0' (zero padding), a width and a .precision
// (%5.2f, %-8s, %03d; for %s the precision cuts the text, for integers it is the
// minimum number of digits). Arguments of the wrong kind for a placeholder are
// converted to text the natural way: %d with a string inserts the string, %d with a
// non-integral double inserts FloatToStr of it, %f with an integer widens it, %f with
// numeric text parses it. A missing argument or an unknown placeholder raises
// EConvertError ("Format '<fmt>' invalid or incompatible with argument"); extra
// arguments are ignored.
class TFormatArg {
 public:
  enum TKind { kString, kInt, kFloat };
  TFormatArg(const std::string& s) : FKind(kString), FString(s) {}
  TFormatArg(const char* s) : FKind(kString), FString(s ? s : "") {}
  TFormatArg(std::string_view s) : FKind(kString), FString(s) {}
  TFormatArg(int v) : FKind(kInt), FInt(v) {}
  TFormatArg(long v) : FKind(kInt), FInt(v) {}
  TFormatArg(long long v) : FKind(kInt), FInt(v) {}
  TFormatArg(unsigned v) : FKind(kInt), FInt(v) {}
  // Values above INT64_MAX keep their bit pattern (%u and %x show them unchanged).
  TFormatArg(unsigned long v) : FKind(kInt), FInt(static_cast<std::int64_t>(v)) {}
  TFormatArg(unsigned long long v) : FKind(kInt), FInt(static_cast<std::int64_t>(v)) {}
  TFormatArg(double v) : FKind(kFloat), FFloat(v) {}
  TKind Kind() const { return FKind; }
  // Text: strings as they are, integers by IntToStr, doubles by FloatToStr.
  std::string AsString() const;
  // Integer: doubles rounded to nearest (ties to even), text by StrToInt64.
  // Text that is not an integer, NaN or out-of-range doubles: EConvertError.
  std::int64_t AsInt() const;
  // Double: text by StrToFloat (EConvertError on bad text).
  double AsFloat() const;

 private:
  TKind FKind;
  std::string FString;
  std::int64_t FInt = 0;
  double FFloat = 0;
};

std::string FormatArgs(std::string_view Fmt, std::initializer_list<TFormatArg> Args);
template <class... A>
std::string Format(std::string_view Fmt, const A&... Args) {
  return FormatArgs(Fmt, {TFormatArg(Args)...});
}

// ASCII case helpers used by name lookups; bytes outside A-Z/a-z are left alone.
// Trim removes characters up to ' ' (blanks and control characters) at both ends.
std::string LowerCase(std::string_view Text);
std::string UpperCase(std::string_view Text);
bool SameText(std::string_view A, std::string_view B);
std::string Trim(std::string_view Text);

// The offset of the first byte of Text that does not start a well-formed UTF-8 character
// (a stray continuation byte, a truncated sequence, an overlong form, a surrogate, a code
// point above U+10FFFF, the bytes C0, C1 and F5 to FF), or std::string_view::npos when
// all of Text is well-formed. One pass; runs of ASCII go eight bytes at a time.
std::size_t FindInvalidUtf8(std::string_view Text) noexcept;

}  // namespace evokit
