// Locale-independent number and text conversions. Everything is built on
// std::to_chars / std::from_chars, which never consult the process locale.
#include <evokit/platform/convert.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>

namespace evokit {

namespace {

// A finite value as decimal text: Value = (Negative ? -1 : 1) * D1.D2D3...Dn * 10^Exponent.
// Digits never has a leading zero except for the value zero, which is "0" with
// Exponent 0.
struct TDecimal {
  bool Negative = false;
  std::string Digits;
  int Exponent = 0;

  bool IsZero() const { return Digits.empty() || Digits == "0"; }
};

// Splits the output of to_chars(scientific) ("d.ddde-xx", "de+xx") into a TDecimal.
TDecimal ParseScientific(const char* First, const char* Last, bool Negative) {
  TDecimal d;
  d.Negative = Negative;
  const char* p = First;
  while (p != Last && *p != 'e') {
    if (*p != '.') d.Digits.push_back(*p);
    ++p;
  }
  if (p != Last) {
    ++p;  // 'e'
    if (p != Last && *p == '+') ++p;
    std::from_chars(p, Last, d.Exponent);
  }
  return d;
}

// The decimal digits of a finite double: the shortest round-trip text when MaxDigits is
// above 15 or the shortest text has at most 15 digits, otherwise the value correctly
// rounded to 15 significant digits.
TDecimal Decompose(double Value, int MaxDigits) {
  const bool negative = std::signbit(Value) && Value != 0;
  const double magnitude = std::fabs(Value);
  if (magnitude == 0) return TDecimal{false, "0", 0};
  char buffer[64];
  auto r = std::to_chars(buffer, buffer + sizeof buffer, magnitude, std::chars_format::scientific);
  TDecimal d = ParseScientific(buffer, r.ptr, negative);
  if (MaxDigits <= 15 && d.Digits.size() > 15) {
    r = std::to_chars(buffer, buffer + sizeof buffer, magnitude, std::chars_format::scientific, 14);
    d = ParseScientific(buffer, r.ptr, negative);
  }
  return d;
}

void TrimTrailingZeros(TDecimal& D) {
  while (D.Digits.size() > 1 && D.Digits.back() == '0') D.Digits.pop_back();
}

// Keeps Count significant digits, rounding half away from zero on the decimal text.
// Count <= 0 keeps nothing: the value becomes zero, or one unit in the place just
// before the first digit when Count is 0 and the first digit is 5 or more.
void RoundToDigits(TDecimal& D, int Count) {
  if (D.IsZero()) return;
  if (Count < 0 || (Count == 0 && D.Digits[0] < '5')) {
    D.Digits = "0";
    D.Exponent = 0;
    return;
  }
  if (Count == 0) {
    D.Digits = "1";
    D.Exponent += 1;
    return;
  }
  if (static_cast<int>(D.Digits.size()) <= Count) return;
  const bool up = D.Digits[static_cast<std::size_t>(Count)] >= '5';
  D.Digits.resize(static_cast<std::size_t>(Count));
  if (up) {
    int i = Count - 1;
    while (i >= 0 && D.Digits[static_cast<std::size_t>(i)] == '9') {
      D.Digits[static_cast<std::size_t>(i)] = '0';
      --i;
    }
    if (i >= 0) {
      ++D.Digits[static_cast<std::size_t>(i)];
    } else {
      D.Digits.insert(D.Digits.begin(), '1');
      D.Digits.pop_back();
      D.Exponent += 1;
    }
  }
}

// Digit I of D (0 beyond the stored digits).
char DigitAt(const TDecimal& D, int I) {
  return I >= 0 && I < static_cast<int>(D.Digits.size()) ? D.Digits[static_cast<std::size_t>(I)] : '0';
}

std::string ExponentText(int Exponent, int MinDigits) {
  std::string out = "E";
  if (Exponent < 0) out.push_back('-');
  std::string digits = std::to_string(Exponent < 0 ? -Exponent : Exponent);
  if (static_cast<int>(digits.size()) < MinDigits) out.append(static_cast<std::size_t>(MinDigits) - digits.size(), '0');
  return out + digits;
}

// Mantissa with exactly MantissaDigits digits (or trimmed when MantissaDigits is 0).
std::string ExponentForm(const TDecimal& D, int MantissaDigits, int ExponentDigits) {
  std::string out;
  if (D.Negative && !D.IsZero()) out.push_back('-');
  const int count = MantissaDigits > 0 ? MantissaDigits : static_cast<int>(D.Digits.size());
  out.push_back(DigitAt(D, 0));
  if (count > 1) {
    out.push_back('.');
    for (int i = 1; i < count; ++i) out.push_back(DigitAt(D, i));
  }
  return out + ExponentText(D.IsZero() ? 0 : D.Exponent, ExponentDigits);
}

// Plain positional text; Decimals < 0 shows exactly the stored digits.
std::string PositionalForm(const TDecimal& D, int Decimals) {
  std::string out;
  if (D.Negative && !D.IsZero()) out.push_back('-');
  const int e = D.IsZero() ? 0 : D.Exponent;
  if (e >= 0) {
    for (int i = 0; i <= e; ++i) out.push_back(DigitAt(D, i));
  } else {
    out.push_back('0');
  }
  const int stored = static_cast<int>(D.Digits.size());
  const int fraction = Decimals >= 0 ? Decimals : std::max(0, stored - 1 - e);
  if (fraction > 0) {
    out.push_back('.');
    for (int k = 1; k <= fraction; ++k) out.push_back(DigitAt(D, e + k));
  }
  return out;
}

// General layout of already rounded digits: exponent form when the exponent is at
// least Threshold or below -4.
std::string GeneralForm(TDecimal D, int Threshold) {
  TrimTrailingZeros(D);
  if (D.IsZero()) return "0";
  if (D.Exponent >= Threshold || D.Exponent < -4) return ExponentForm(D, 0, 0);
  return PositionalForm(D, -1);
}

const char* NonFiniteText(double Value) {
  if (std::isnan(Value)) return "NAN";
  return Value < 0 ? "-INF" : "INF";
}

bool IsBlank(char C) { return static_cast<unsigned char>(C) <= ' '; }

std::string_view TrimView(std::string_view Text) {
  std::size_t b = 0, e = Text.size();
  while (b < e && IsBlank(Text[b])) ++b;
  while (e > b && IsBlank(Text[e - 1])) --e;
  return Text.substr(b, e - b);
}

char Lower(char C) { return C >= 'A' && C <= 'Z' ? static_cast<char>(C - 'A' + 'a') : C; }
char Upper(char C) { return C >= 'a' && C <= 'z' ? static_cast<char>(C - 'a' + 'A') : C; }

// Sign of the decimal exponent of a numeric text that from_chars reported out of range:
// true when the magnitude is tiny (underflow), false when it is huge (overflow).
bool IsUnderflowText(std::string_view Text) {
  std::size_t i = 0;
  if (i < Text.size() && (Text[i] == '-' || Text[i] == '+')) ++i;
  long long position = 0;  // decimal exponent of the first non-zero digit, before the 'e' part
  bool seenPoint = false, found = false;
  long long integerDigits = 0, leadingFractionZeros = 0;
  for (; i < Text.size() && Text[i] != 'e' && Text[i] != 'E'; ++i) {
    const char c = Text[i];
    if (c == '.') {
      seenPoint = true;
      continue;
    }
    if (!found && c != '0') found = true;
    if (!seenPoint) {
      if (found) ++integerDigits;
    } else if (!found) {
      ++leadingFractionZeros;
    }
  }
  position = integerDigits > 0 ? integerDigits - 1 : -(leadingFractionZeros + 1);
  long long exponent = 0;
  if (i < Text.size()) {
    ++i;
    bool negative = false;
    if (i < Text.size() && (Text[i] == '-' || Text[i] == '+')) negative = Text[i++] == '-';
    for (; i < Text.size(); ++i) exponent = std::min<long long>(exponent * 10 + (Text[i] - '0'), 1000000000LL);
    if (negative) exponent = -exponent;
  }
  return position + exponent < 0;
}

// Parses a whole integer text (already trimmed): optional sign, decimal digits or a
// '$'/"0x" hexadecimal bit pattern of HexBits bits.
bool ParseInteger(std::string_view Text, std::int64_t Min, std::int64_t Max, int HexBits, std::int64_t& Value) {
  if (Text.empty()) return false;
  bool negative = false;
  if (Text[0] == '-' || Text[0] == '+') {
    negative = Text[0] == '-';
    Text.remove_prefix(1);
  }
  int base = 10;
  if (!Text.empty() && Text[0] == '$') {
    base = 16;
    Text.remove_prefix(1);
  } else if (Text.size() > 1 && Text[0] == '0' && (Text[1] == 'x' || Text[1] == 'X')) {
    base = 16;
    Text.remove_prefix(2);
  }
  if (Text.empty()) return false;
  std::uint64_t magnitude = 0;
  const auto r = std::from_chars(Text.data(), Text.data() + Text.size(), magnitude, base);
  if (r.ec != std::errc() || r.ptr != Text.data() + Text.size()) return false;
  std::int64_t result;
  if (base == 16) {
    const std::uint64_t mask = HexBits >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << HexBits) - 1;
    if (magnitude > mask) return false;
    // Reinterpret as a two's-complement value of HexBits bits.
    if (HexBits < 64 && (magnitude >> (HexBits - 1)) != 0) {
      result = static_cast<std::int64_t>(magnitude) - (std::int64_t{1} << HexBits);
    } else {
      result = static_cast<std::int64_t>(magnitude);
    }
    if (negative) {
      if (result == std::numeric_limits<std::int64_t>::min()) return false;
      result = -result;
    }
  } else {
    if (negative) {
      if (magnitude > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + 1) return false;
      result = static_cast<std::int64_t>(0 - magnitude);
    } else {
      if (magnitude > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return false;
      result = static_cast<std::int64_t>(magnitude);
    }
  }
  if (result < Min || result > Max) return false;
  Value = result;
  return true;
}

[[noreturn]] void IntegerError(std::string_view Text) {
  throw EConvertError("'" + std::string(Text) + "' is not a valid integer value");
}

}  // namespace

// --- floating point ----------------------------------------------------------

std::string FloatToStr(double Value) { return FloatToStrF(Value, ffGeneral, 15, 0); }

std::string FloatToStrNoOverflow(double Value) {
  std::string text = FloatToStr(Value);
  double parsed;
  return TryStrToFloat(text, parsed) ? text : FloatToStrF(Value, ffGeneral, 17, 0);
}

std::string SingleToStr(float Value) {
  if (!std::isfinite(Value)) return NonFiniteText(Value);
  const bool negative = std::signbit(Value) && Value != 0;
  const float magnitude = std::fabs(Value);
  if (magnitude == 0) return "0";
  char buffer[32];
  const auto r = std::to_chars(buffer, buffer + sizeof buffer, magnitude, std::chars_format::scientific);
  return GeneralForm(ParseScientific(buffer, r.ptr, negative), 15);
}

std::string FloatToStrF(double Value, TFloatFormat Format, int Precision, int Digits) {
  if (!std::isfinite(Value)) return NonFiniteText(Value);
  Precision = std::clamp(Precision, 1, 17);
  TDecimal d = Decompose(Value, Precision);
  RoundToDigits(d, Precision);
  switch (Format) {
    case ffGeneral:
      return GeneralForm(d, Precision);
    case ffExponent:
      return ExponentForm(d, Precision, std::clamp(Digits, 0, 4));
    case ffFixed:
    case ffNumber:
    default: {
      Digits = std::clamp(Digits, 0, 18);
      if (!d.IsZero() && d.Exponent + 1 > Precision) return ExponentForm(d, Precision, 0);
      RoundToDigits(d, d.Exponent + 1 + Digits);
      return PositionalForm(d, Digits);
    }
  }
}

bool TryStrToFloat(std::string_view Text, double& Value) {
  std::string_view t = TrimView(Text);
  if (t.empty()) return false;
  std::string_view body = t;
  bool negative = false;
  if (body[0] == '+' || body[0] == '-') {
    negative = body[0] == '-';
    body.remove_prefix(1);
    // from_chars takes the '-' itself but not '+'; a second sign is an error.
    if (body.empty() || body[0] == '+' || body[0] == '-') return false;
  }
  // Only digits, '.', an exponent or the words NAN/INF; reject "nan(...)" and hex.
  const bool word = !body.empty() && (Lower(body[0]) == 'n' || Lower(body[0]) == 'i');
  if (word) {
    const std::string lower = LowerCase(body);
    if (lower != "nan" && lower != "inf" && lower != "infinity") return false;
  } else if (body[0] != '.' && (body[0] < '0' || body[0] > '9')) {
    return false;
  }
  double result = 0;
  const auto r = std::from_chars(body.data(), body.data() + body.size(), result);
  if (r.ptr != body.data() + body.size()) return false;
  if (r.ec == std::errc::result_out_of_range) {
    if (!IsUnderflowText(body)) return false;
    result = 0;
  } else if (r.ec != std::errc()) {
    return false;
  }
  Value = negative ? -result : result;
  return true;
}

double StrToFloat(std::string_view Text) {
  double value;
  if (!TryStrToFloat(Text, value))
    throw EConvertError("'" + std::string(Text) + "' is not a valid floating point value");
  return value;
}

double StrToFloatDef(std::string_view Text, double Default) {
  double value;
  return TryStrToFloat(Text, value) ? value : Default;
}

// --- integers and booleans -----------------------------------------------------

std::string IntToStr(std::int64_t Value) {
  char buffer[24];
  const auto r = std::to_chars(buffer, buffer + sizeof buffer, Value);
  return std::string(buffer, r.ptr);
}

bool TryStrToInt64(std::string_view Text, std::int64_t& Value) {
  return ParseInteger(TrimView(Text), std::numeric_limits<std::int64_t>::min(),
                      std::numeric_limits<std::int64_t>::max(), 64, Value);
}

bool TryStrToInt(std::string_view Text, int& Value) {
  std::int64_t v;
  if (!ParseInteger(TrimView(Text), std::numeric_limits<int>::min(), std::numeric_limits<int>::max(), 32, v))
    return false;
  Value = static_cast<int>(v);
  return true;
}

int StrToInt(std::string_view Text) {
  int value;
  if (!TryStrToInt(Text, value)) IntegerError(Text);
  return value;
}

std::int64_t StrToInt64(std::string_view Text) {
  std::int64_t value;
  if (!TryStrToInt64(Text, value)) IntegerError(Text);
  return value;
}

int StrToIntDef(std::string_view Text, int Default) {
  int value;
  return TryStrToInt(Text, value) ? value : Default;
}

std::string BoolToStr(bool Value) { return Value ? "True" : "False"; }

bool StrToBool(std::string_view Text) { return SameText(Text, "true"); }

// --- Format --------------------------------------------------------------------

std::string TFormatArg::AsString() const {
  switch (FKind) {
    case kInt:
      return IntToStr(FInt);
    case kFloat:
      return FloatToStr(FFloat);
    case kString:
    default:
      return FString;
  }
}

std::int64_t TFormatArg::AsInt() const {
  switch (FKind) {
    case kInt:
      return FInt;
    case kFloat: {
      const double r = std::nearbyint(FFloat);
      // 2^63 is the first double above the int64 range.
      if (!(r >= -9223372036854775808.0 && r < 9223372036854775808.0))
        throw EConvertError("'" + FloatToStr(FFloat) + "' is not a valid integer value");
      return static_cast<std::int64_t>(r);
    }
    case kString:
    default:
      return StrToInt64(FString);
  }
}

double TFormatArg::AsFloat() const {
  switch (FKind) {
    case kInt:
      return static_cast<double>(FInt);
    case kFloat:
      return FFloat;
    case kString:
    default:
      return StrToFloat(FString);
  }
}

namespace {

[[noreturn]] void FormatError(std::string_view Fmt) {
  throw EConvertError("Format '" + std::string(Fmt) + "' invalid or incompatible with argument");
}

struct TPlaceholder {
  bool LeftJustify = false;
  bool ZeroPad = false;
  int Width = 0;
  int Precision = -1;
  char Type = 0;
};

// Pads Text to the field width; zero padding goes after a leading sign.
std::string Pad(std::string Text, const TPlaceholder& Placeholder, bool Numeric) {
  const int length = static_cast<int>(Text.size());
  if (length >= Placeholder.Width) return Text;
  const std::size_t fill = static_cast<std::size_t>(Placeholder.Width - length);
  if (Placeholder.LeftJustify) return Text.append(fill, ' ');
  if (Placeholder.ZeroPad && Numeric) {
    const std::size_t at = !Text.empty() && (Text[0] == '-' || Text[0] == '+') ? 1 : 0;
    Text.insert(at, fill, '0');
    return Text;
  }
  return std::string(fill, ' ') + Text;
}

std::string IntegerText(std::int64_t Value, const TPlaceholder& Placeholder) {
  char buffer[32];
  std::string digits;
  bool negative = false;
  if (Placeholder.Type == 'x' || Placeholder.Type == 'X') {
    const auto r = std::to_chars(buffer, buffer + sizeof buffer, static_cast<std::uint64_t>(Value), 16);
    digits.assign(buffer, r.ptr);
    if (Placeholder.Type == 'X') digits = UpperCase(digits);
  } else if (Placeholder.Type == 'u') {
    const auto r = std::to_chars(buffer, buffer + sizeof buffer, static_cast<std::uint64_t>(Value));
    digits.assign(buffer, r.ptr);
  } else {
    negative = Value < 0;
    const std::uint64_t magnitude = negative ? 0 - static_cast<std::uint64_t>(Value) : static_cast<std::uint64_t>(Value);
    const auto r = std::to_chars(buffer, buffer + sizeof buffer, magnitude);
    digits.assign(buffer, r.ptr);
  }
  if (Placeholder.Precision > static_cast<int>(digits.size()))
    digits.insert(0, static_cast<std::size_t>(Placeholder.Precision) - digits.size(), '0');
  return negative ? "-" + digits : digits;
}

// A %e, %f or %g placeholder of Format: std::to_chars rounds the exact binary value to
// the placeholder's precision (6 when it gives none), as printf does.
std::string PlaceholderFloatText(double Value, const TPlaceholder& Placeholder) {
  const int precision = Placeholder.Precision >= 0 ? std::min(Placeholder.Precision, 300) : 6;
  std::chars_format format = std::chars_format::fixed;
  if (Placeholder.Type == 'e' || Placeholder.Type == 'E') format = std::chars_format::scientific;
  if (Placeholder.Type == 'g' || Placeholder.Type == 'G') format = std::chars_format::general;
  // general with precision 0 means 1 significant digit, as in printf.
  const int p = format == std::chars_format::general ? std::max(precision, 1) : precision;
  std::string buffer(400, '\0');
  auto r = std::to_chars(buffer.data(), buffer.data() + buffer.size(), Value, format, p);
  if (r.ec != std::errc()) {
    buffer.resize(1200);  // fixed notation of values near the double maximum
    r = std::to_chars(buffer.data(), buffer.data() + buffer.size(), Value, format, p);
  }
  buffer.resize(static_cast<std::size_t>(r.ptr - buffer.data()));
  if (Placeholder.Type == 'E' || Placeholder.Type == 'G') buffer = UpperCase(buffer);
  return buffer;
}

}  // namespace

std::string FormatArgs(std::string_view Fmt, std::initializer_list<TFormatArg> Args) {
  std::string out;
  out.reserve(Fmt.size() + 16);
  auto next = Args.begin();
  std::size_t i = 0;
  while (i < Fmt.size()) {
    const char c = Fmt[i++];
    if (c != '%') {
      out.push_back(c);
      continue;
    }
    if (i < Fmt.size() && Fmt[i] == '%') {
      out.push_back('%');
      ++i;
      continue;
    }
    TPlaceholder placeholder;
    for (; i < Fmt.size() && (Fmt[i] == '-' || Fmt[i] == '0'); ++i) {
      if (Fmt[i] == '-') placeholder.LeftJustify = true;
      else placeholder.ZeroPad = true;
    }
    for (; i < Fmt.size() && Fmt[i] >= '0' && Fmt[i] <= '9'; ++i)
      placeholder.Width = std::min(placeholder.Width * 10 + (Fmt[i] - '0'), 100000);
    if (i < Fmt.size() && Fmt[i] == '.') {
      ++i;
      placeholder.Precision = 0;
      for (; i < Fmt.size() && Fmt[i] >= '0' && Fmt[i] <= '9'; ++i)
        placeholder.Precision = std::min(placeholder.Precision * 10 + (Fmt[i] - '0'), 100000);
    }
    if (i >= Fmt.size()) FormatError(Fmt);
    placeholder.Type = Fmt[i++];
    if (std::strchr("sdiuxXfeEgG", placeholder.Type) == nullptr) FormatError(Fmt);
    if (next == Args.end()) FormatError(Fmt);
    const TFormatArg& arg = *next++;

    std::string text;
    bool numeric = true;
    switch (placeholder.Type) {
      case 's':
        text = arg.AsString();
        if (placeholder.Precision >= 0 && static_cast<std::size_t>(placeholder.Precision) < text.size())
          text.resize(static_cast<std::size_t>(placeholder.Precision));
        numeric = false;
        break;
      case 'd':
      case 'i':
      case 'u':
      case 'x':
      case 'X':
        if (arg.Kind() == TFormatArg::kInt) {
          text = IntegerText(arg.AsInt(), placeholder);
        } else if (arg.Kind() == TFormatArg::kFloat) {
          const double v = arg.AsFloat();
          if (std::isfinite(v) && v == std::trunc(v) && std::fabs(v) < 9.2e18) {
            text = IntegerText(static_cast<std::int64_t>(v), placeholder);
          } else {
            text = FloatToStr(v);
          }
        } else {
          text = arg.AsString();
          numeric = false;
        }
        break;
      default: {  // f e E g G
        double v = 0;
        if (arg.Kind() == TFormatArg::kString) {
          if (!TryStrToFloat(arg.AsString(), v)) {
            text = arg.AsString();
            numeric = false;
            break;
          }
        } else {
          v = arg.AsFloat();
        }
        text = PlaceholderFloatText(v, placeholder);
        break;
      }
    }
    out += Pad(std::move(text), placeholder, numeric);
  }
  return out;
}

// --- text helpers ----------------------------------------------------------------

std::string LowerCase(std::string_view Text) {
  std::string out(Text);
  for (char& c : out) c = Lower(c);
  return out;
}

std::string UpperCase(std::string_view Text) {
  std::string out(Text);
  for (char& c : out) c = Upper(c);
  return out;
}

bool SameText(std::string_view A, std::string_view B) {
  if (A.size() != B.size()) return false;
  for (std::size_t i = 0; i < A.size(); ++i)
    if (Lower(A[i]) != Lower(B[i])) return false;
  return true;
}

std::string Trim(std::string_view Text) { return std::string(TrimView(Text)); }

std::size_t FindInvalidUtf8(std::string_view Text) noexcept {
  const auto* u = reinterpret_cast<const unsigned char*>(Text.data());
  const std::size_t n = Text.size();
  std::size_t i = 0;
  while (i < n) {
    std::uint64_t word;
    if (n - i >= sizeof word) {
      std::memcpy(&word, u + i, sizeof word);
      if ((word & 0x8080808080808080ull) == 0) {
        i += sizeof word;
        continue;
      }
    }
    const unsigned lead = u[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    // The sequence length and the range of the second byte (the table of well-formed
    // byte sequences): narrower after E0 (no overlong), ED (no surrogates), F0 (no
    // overlong) and F4 (nothing above U+10FFFF).
    std::size_t length = 0;
    unsigned low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) length = 2;
    else if (lead >= 0xE0 && lead <= 0xEF) length = 3, low = lead == 0xE0 ? 0xA0 : 0x80, high = lead == 0xED ? 0x9F : 0xBF;
    else if (lead >= 0xF0 && lead <= 0xF4) length = 4, low = lead == 0xF0 ? 0x90 : 0x80, high = lead == 0xF4 ? 0x8F : 0xBF;
    else return i;
    if (n - i < length || u[i + 1] < low || u[i + 1] > high) return i;
    for (std::size_t k = 2; k < length; ++k)
      if ((u[i + k] & 0xC0) != 0x80) return i;
    i += length;
  }
  return std::string_view::npos;
}

}  // namespace evokit
