// Variant: a small dynamically typed value (unassigned, null, boolean, 64-bit integer,
// double or string) with the conversions and the arithmetic that the variant GP family
// executes programs with. Text conversions go through convert.h (locale independent).
// Numbers and booleans are stored inline: copying or computing with them never
// allocates. Thread safety: a Variant is a plain value; distinct objects may be used
// from different threads.
#pragma once

#include <concepts>
#include <cstdint>
#include <iosfwd>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include <evokit/platform/exceptions.h>

namespace evokit {

namespace detail {
struct TVariantNumber;
}

enum TVarType { varEmpty, varNull, varBoolean, varInt64, varDouble, varString };

// "Empty", "Null", "Boolean", "Int64", "Double", "String": the names used in the
// conversion error texts.
const char* VarTypeName(TVarType Type) noexcept;

// Conversion rules, used consistently by AsXxx, comparison and arithmetic:
//   unassigned  -> 0, 0.0, false or "" (it is the GP zero value);
//   null        -> "" as text; every other conversion raises EVariantTypeCastError;
//   boolean     -> 1/0 as a number, "True"/"False" as text;
//   numbers     -> IntToStr / FloatToStr as text, non-zero as a boolean;
//   string      -> a number when the text is an integer (decimal, '$' or "0x" hex) or
//                  a float in StrToFloat syntax; a boolean from "true"/"false" (any
//                  case) or numeric text. Other text raises EVariantTypeCastError
//                  "Could not convert variant of type (String) into type (Double)".
class Variant {
 public:
  // Unassigned.
  Variant() noexcept : FType(varEmpty), FInt(0) {}
  Variant(bool Value) noexcept : FType(varBoolean), FBool(Value) {}
  // Any integer type; unsigned values above INT64_MAX are stored as a double.
  template <std::integral I>
    requires(!std::same_as<I, bool>)
  Variant(I Value) noexcept {
    if constexpr (std::is_unsigned_v<I> && sizeof(I) >= sizeof(std::int64_t)) {
      if (Value > static_cast<std::uint64_t>(INT64_MAX)) {
        FType = varDouble;
        FDouble = static_cast<double>(Value);
        return;
      }
    }
    FType = varInt64;
    FInt = static_cast<std::int64_t>(Value);
  }
  template <std::floating_point F>
  Variant(F Value) noexcept : FType(varDouble), FDouble(static_cast<double>(Value)) {}
  // A null pointer gives the empty string.
  Variant(const char* Value) : FType(varString) { new (&FString) std::string(Value ? Value : ""); }
  Variant(std::string Value) : FType(varString) { new (&FString) std::string(std::move(Value)); }
  Variant(std::string_view Value) : FType(varString) { new (&FString) std::string(Value); }

  Variant(const Variant& Other) : FType(Other.FType) { CopyPayload(Other); }
  Variant(Variant&& Other) noexcept : FType(Other.FType) { MovePayload(std::move(Other)); }
  Variant& operator=(const Variant& Other);
  Variant& operator=(Variant&& Other) noexcept;
  ~Variant() { DestroyString(); }

  static Variant Null() noexcept {
    Variant v;
    v.FType = varNull;
    return v;
  }
  // Back to unassigned.
  void Clear() noexcept {
    DestroyString();
    FType = varEmpty;
    FInt = 0;
  }

  TVarType VarType() const noexcept { return FType; }
  bool IsEmpty() const noexcept { return FType == varEmpty; }
  bool IsNull() const noexcept { return FType == varNull; }
  // True for 64-bit integers and doubles (not booleans, not numeric text).
  bool IsNumeric() const noexcept { return FType == varInt64 || FType == varDouble; }

  // Unassigned and null give "".
  std::string AsString() const;
  // Null and non-numeric text: EVariantTypeCastError.
  double AsFloat() const;
  // Doubles (and float text) round to nearest, ties to even. Null, non-numeric text,
  // NaN and values outside the int64 range: EVariantTypeCastError.
  std::int64_t AsInt64() const;
  // AsInt64 limited to the 32-bit range (EVariantTypeCastError outside it).
  int AsInteger() const;
  // Null and text that is neither "true"/"false" nor numeric: EVariantTypeCastError.
  bool AsBoolean() const;

  // Equality never raises. Unassigned equals unassigned and the zero value of the other
  // side (0, false, ""); null equals only null; numbers (and booleans as 1/0) compare
  // numerically, an int64 and a double exactly; a string and a number or boolean
  // compare by converting the string, and are unequal when it does not convert; two
  // strings compare exactly (case-sensitive).
  friend bool operator==(const Variant& A, const Variant& B) noexcept;

  // Arithmetic: null with anything gives null. '+' with a string on both sides (or a
  // string and an unassigned) concatenates. Otherwise both sides convert to numbers
  // (unassigned 0, booleans 1/0, text as above, else EVariantTypeCastError); when
  // either is a double the result is a double, otherwise an int64 (a result that
  // overflows int64 becomes a double). '/' always divides as doubles, so 1/0 is INF.
  friend Variant operator+(const Variant& A, const Variant& B);
  friend Variant operator-(const Variant& A, const Variant& B);
  friend Variant operator*(const Variant& A, const Variant& B);
  friend Variant operator/(const Variant& A, const Variant& B);
  // Negation: null stays null, unassigned gives 0, text converts as above.
  Variant operator-() const;
  Variant& operator+=(const Variant& B) { return *this = *this + B; }
  Variant& operator-=(const Variant& B) { return *this = *this - B; }
  Variant& operator*=(const Variant& B) { return *this = *this * B; }
  Variant& operator/=(const Variant& B) { return *this = *this / B; }

 private:
  void CopyPayload(const Variant& Other) {
    switch (Other.FType) {
      case varString: new (&FString) std::string(Other.FString); break;
      case varDouble: FDouble = Other.FDouble; break;
      case varBoolean: FBool = Other.FBool; break;
      default: FInt = Other.FInt; break;
    }
  }
  void MovePayload(Variant&& Other) noexcept {
    switch (Other.FType) {
      case varString: new (&FString) std::string(std::move(Other.FString)); break;
      case varDouble: FDouble = Other.FDouble; break;
      case varBoolean: FBool = Other.FBool; break;
      default: FInt = Other.FInt; break;
    }
  }
  void DestroyString() noexcept {
    if (FType == varString) FString.~basic_string();
  }
  static Variant Arithmetic(const Variant& A, const Variant& B, char Op);
  // The value as an int64 or a double, by the conversion rules above; false for null
  // and non-numeric text.
  bool TryNumber(detail::TVariantNumber& Out) const;

  TVarType FType;
  union {
    bool FBool;
    std::int64_t FInt;  // also the payload of varEmpty and varNull (always 0)
    double FDouble;
    std::string FString;
  };
};

inline Variant operator+(const Variant& A, const Variant& B) {
  if (A.FType == varDouble && B.FType == varDouble) return Variant(A.FDouble + B.FDouble);
  return Variant::Arithmetic(A, B, '+');
}
inline Variant operator-(const Variant& A, const Variant& B) {
  if (A.FType == varDouble && B.FType == varDouble) return Variant(A.FDouble - B.FDouble);
  return Variant::Arithmetic(A, B, '-');
}
inline Variant operator*(const Variant& A, const Variant& B) {
  if (A.FType == varDouble && B.FType == varDouble) return Variant(A.FDouble * B.FDouble);
  return Variant::Arithmetic(A, B, '*');
}
inline Variant operator/(const Variant& A, const Variant& B) {
  if (A.FType == varDouble && B.FType == varDouble) return Variant(A.FDouble / B.FDouble);
  return Variant::Arithmetic(A, B, '/');
}

inline std::string VarToStr(const Variant& Value) { return Value.AsString(); }
inline bool VarIsNull(const Variant& Value) noexcept { return Value.IsNull(); }
inline bool VarIsEmpty(const Variant& Value) noexcept { return Value.IsEmpty(); }

// Writes AsString() (nothing for unassigned and null); ignores the stream's locale.
std::ostream& operator<<(std::ostream& Stream, const Variant& Value);

}  // namespace evokit
