#include <evokit/platform/variant.h>

#include <cmath>
#include <ostream>

#include <evokit/platform/convert.h>

namespace evokit {

namespace detail {
// The numeric view of a variant: an int64 or a double.
struct TVariantNumber {
  bool IsDouble;
  std::int64_t Int;
  double Dbl;
  double AsDouble() const { return IsDouble ? Dbl : static_cast<double>(Int); }
};
}  // namespace detail

namespace {

// 2^63: the first double above the int64 range (-2^63 is the lowest value inside it).
constexpr double kTwoPow63 = 9223372036854775808.0;

[[noreturn]] void CastError(TVarType From, const char* To) {
  throw EVariantTypeCastError(std::string("Could not convert variant of type (") + VarTypeName(From) +
                              ") into type (" + To + ")");
}

using TNumber = detail::TVariantNumber;

// Integer text first (so "12" stays exact), then float text.
bool TryTextToNumber(const std::string& Text, TNumber& Out) {
  if (TryStrToInt64(Text, Out.Int)) {
    Out.IsDouble = false;
    return true;
  }
  if (TryStrToFloat(Text, Out.Dbl)) {
    Out.IsDouble = true;
    return true;
  }
  return false;
}

bool IntEqualsDouble(std::int64_t I, double D) {
  if (!(D >= -kTwoPow63 && D < kTwoPow63) || D != std::trunc(D)) return false;
  return static_cast<std::int64_t>(D) == I;
}

bool NumbersEqual(const TNumber& A, const TNumber& B) {
  if (!A.IsDouble && !B.IsDouble) return A.Int == B.Int;
  if (A.IsDouble && B.IsDouble) return A.Dbl == B.Dbl;
  return A.IsDouble ? IntEqualsDouble(B.Int, A.Dbl) : IntEqualsDouble(A.Int, B.Dbl);
}

std::int64_t RoundToInt64(double Value, TVarType From) {
  const double r = std::nearbyint(Value);  // default rounding mode: ties to even
  if (!(r >= -kTwoPow63 && r < kTwoPow63)) CastError(From, "Int64");
  return static_cast<std::int64_t>(r);
}

}  // namespace

const char* VarTypeName(TVarType Type) noexcept {
  switch (Type) {
    case varEmpty: return "Empty";
    case varNull: return "Null";
    case varBoolean: return "Boolean";
    case varInt64: return "Int64";
    case varDouble: return "Double";
    case varString: return "String";
  }
  return "Unknown";
}

Variant& Variant::operator=(const Variant& Other) {
  if (this == &Other) return *this;
  if (FType == varString && Other.FType == varString) {
    FString = Other.FString;
    return *this;
  }
  if (Other.FType == varString) {
    // Build the copy first so that a failed allocation leaves this value unchanged.
    std::string copy(Other.FString);
    DestroyString();
    new (&FString) std::string(std::move(copy));
    FType = varString;
    return *this;
  }
  DestroyString();
  FType = Other.FType;
  CopyPayload(Other);
  return *this;
}

Variant& Variant::operator=(Variant&& Other) noexcept {
  if (this == &Other) return *this;
  if (FType == varString && Other.FType == varString) {
    FString = std::move(Other.FString);
    return *this;
  }
  DestroyString();
  FType = Other.FType;
  MovePayload(std::move(Other));
  return *this;
}

std::string Variant::AsString() const {
  switch (FType) {
    case varBoolean: return BoolToStr(FBool);
    case varInt64: return IntToStr(FInt);
    case varDouble: return FloatToStr(FDouble);
    case varString: return FString;
    case varEmpty:
    case varNull:
    default: return std::string();
  }
}

double Variant::AsFloat() const {
  switch (FType) {
    case varEmpty: return 0.0;
    case varBoolean: return FBool ? 1.0 : 0.0;
    case varInt64: return static_cast<double>(FInt);
    case varDouble: return FDouble;
    case varString: {
      TNumber n;
      if (!TryTextToNumber(FString, n)) CastError(varString, "Double");
      return n.AsDouble();
    }
    case varNull:
    default: CastError(FType, "Double");
  }
}

std::int64_t Variant::AsInt64() const {
  switch (FType) {
    case varEmpty: return 0;
    case varBoolean: return FBool ? 1 : 0;
    case varInt64: return FInt;
    case varDouble: return RoundToInt64(FDouble, varDouble);
    case varString: {
      TNumber n;
      if (!TryTextToNumber(FString, n)) CastError(varString, "Int64");
      return n.IsDouble ? RoundToInt64(n.Dbl, varString) : n.Int;
    }
    case varNull:
    default: CastError(FType, "Int64");
  }
}

int Variant::AsInteger() const {
  const std::int64_t v = AsInt64();
  if (v < INT32_MIN || v > INT32_MAX) CastError(FType, "Integer");
  return static_cast<int>(v);
}

bool Variant::AsBoolean() const {
  switch (FType) {
    case varEmpty: return false;
    case varBoolean: return FBool;
    case varInt64: return FInt != 0;
    case varDouble: return FDouble != 0;
    case varString: {
      if (SameText(FString, "true")) return true;
      if (SameText(FString, "false")) return false;
      TNumber n;
      if (!TryTextToNumber(FString, n)) CastError(varString, "Boolean");
      return n.IsDouble ? n.Dbl != 0 : n.Int != 0;
    }
    case varNull:
    default: CastError(FType, "Boolean");
  }
}

bool Variant::TryNumber(detail::TVariantNumber& Out) const {
  switch (FType) {
    case varEmpty: Out = {false, 0, 0}; return true;
    case varBoolean: Out = {false, FBool ? 1 : 0, 0}; return true;
    case varInt64: Out = {false, FInt, 0}; return true;
    case varDouble: Out = {true, 0, FDouble}; return true;
    case varString: return TryTextToNumber(FString, Out);
    case varNull:
    default: return false;
  }
}

bool operator==(const Variant& A, const Variant& B) noexcept {
  if (A.FType == varNull || B.FType == varNull) return A.FType == B.FType;
  if (A.FType == varString && B.FType == varString) return A.FString == B.FString;
  if (A.FType == varString || B.FType == varString) {
    const Variant& s = A.FType == varString ? A : B;
    const Variant& o = A.FType == varString ? B : A;
    if (o.FType == varEmpty) return s.FString.empty();
    if (o.FType == varBoolean) {
      if (SameText(s.FString, "true")) return o.FBool;
      if (SameText(s.FString, "false")) return !o.FBool;
    }
  }
  TNumber x, y;
  try {
    if (!A.TryNumber(x) || !B.TryNumber(y)) return false;
  } catch (...) {  // only an allocation failure can get here; treat as unequal
    return false;
  }
  return NumbersEqual(x, y);
}

Variant Variant::Arithmetic(const Variant& A, const Variant& B, char Op) {
  if (A.FType == varNull || B.FType == varNull) return Null();
  if (Op == '+' && (A.FType == varString || B.FType == varString) &&
      (A.FType == varString || A.FType == varEmpty) && (B.FType == varString || B.FType == varEmpty)) {
    return Variant(A.AsString() + B.AsString());
  }
  TNumber x, y;
  if (!A.TryNumber(x)) CastError(A.FType, "Double");
  if (!B.TryNumber(y)) CastError(B.FType, "Double");
  if (Op != '/' && !x.IsDouble && !y.IsDouble) {
    std::int64_t r;
    bool overflow = false;
    switch (Op) {
      case '+': overflow = __builtin_add_overflow(x.Int, y.Int, &r); break;
      case '-': overflow = __builtin_sub_overflow(x.Int, y.Int, &r); break;
      default: overflow = __builtin_mul_overflow(x.Int, y.Int, &r); break;
    }
    if (!overflow) return Variant(r);
  }
  const double a = x.AsDouble(), b = y.AsDouble();
  switch (Op) {
    case '+': return Variant(a + b);
    case '-': return Variant(a - b);
    case '*': return Variant(a * b);
    default: return Variant(a / b);
  }
}

Variant Variant::operator-() const {
  switch (FType) {
    case varNull: return Null();
    case varDouble: return Variant(-FDouble);
    default: return Variant(std::int64_t{0}) - *this;
  }
}

std::ostream& operator<<(std::ostream& Stream, const Variant& Value) { return Stream << Value.AsString(); }

}  // namespace evokit
