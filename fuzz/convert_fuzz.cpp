// Text conversions: the input is read by every reader of convert.h (floats, 32- and
// 64-bit integers, booleans) and of Variant (the same rules through AsFloat, AsInt64,
// AsBoolean). A reader either returns a value or raises
// EConvertError (EVariantTypeCastError for Variant); the Try and Def forms agree with it;
// every value read is written and read back unchanged.
#include "fuzz_support.h"

#include <evokit/platform/convert.h>
#include <evokit/platform/variant.h>

#include <cfloat>
#include <cmath>

using namespace evokit;

namespace {

// The value of Read(Text), or false when it raises E.
template <class E, class V, class F>
bool Read(F&& Reader, V& Value) {
  try {
    Value = Reader();
    return true;
  } catch (const E&) {
    return false;
  }
}

// Equal values, NaN equal to NaN; zero's sign is not compared (texts of zero carry none).
bool SameDouble(double A, double B) { return std::isnan(A) ? std::isnan(B) : A == B; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  const std::string text = fuzz::Text(Data, Size);

  double d = 0, tried = 0;
  const bool isFloat = Read<EConvertError>([&] { return StrToFloat(text); }, d);
  fuzz::Require(TryStrToFloat(text, tried) == isFloat && (!isFloat || SameDouble(tried, d)), "TryStrToFloat", text);
  fuzz::Require(SameDouble(StrToFloatDef(text, 0.5), isFloat ? d : 0.5), "StrToFloatDef", text);
  if (isFloat) {
    // 17 significant digits read back exactly; 15 read back to the same 15-digit text;
    // a float's shortest text reads back to the same float.
    fuzz::Require(SameDouble(StrToFloat(FloatToStrF(d, ffGeneral, 17, 0)), d), "17 digits read back", text);
    // The 15-digit text reads back to itself, except where rounding to 15 digits passes
    // the largest double (FloatToStr(DBL_MAX) is "1.79769313486232E308").
    const std::string general = FloatToStr(d);
    double reread = 0;
    if (TryStrToFloat(general, reread))
      fuzz::Require(FloatToStr(reread) == general, "FloatToStr reads back", text);
    else
      fuzz::Require(std::fabs(d) > 1.79769313486231E308, "FloatToStr reads", text);
    if (!std::isfinite(d) || std::fabs(d) <= FLT_MAX) {
      const float single = static_cast<float>(d);
      fuzz::Require(SameDouble(static_cast<float>(StrToFloat(SingleToStr(single))), single), "SingleToStr", text);
    }
  }

  std::int64_t i64 = 0, tried64 = 0;
  const bool isInt64 = Read<EConvertError>([&] { return StrToInt64(text); }, i64);
  fuzz::Require(TryStrToInt64(text, tried64) == isInt64 && (!isInt64 || tried64 == i64), "TryStrToInt64", text);
  if (isInt64) fuzz::Require(StrToInt64(IntToStr(i64)) == i64, "IntToStr reads back", text);
  int i32 = 0, tried32 = 0;
  const bool isInt = Read<EConvertError>([&] { return StrToInt(text); }, i32);
  fuzz::Require(TryStrToInt(text, tried32) == isInt && (!isInt || tried32 == i32), "TryStrToInt", text);
  fuzz::Require(StrToIntDef(text, 7) == (isInt ? i32 : 7), "StrToIntDef", text);
  if (isInt) fuzz::Require(StrToInt(IntToStr(i32)) == i32, "IntToStr reads back (32 bits)", text);

  fuzz::Require(StrToBool(text) == (LowerCase(text) == "true"), "StrToBool", text);
  fuzz::Require(StrToBool(BoolToStr(StrToBool(text))) == StrToBool(text), "BoolToStr reads back", text);

  // Variant text converts by the same rules: an integer text is a number, a float text too.
  const Variant v(text);
  double vd = 0;
  std::int64_t vi = 0;
  bool vb = false;
  const bool variantFloat = Read<EVariantTypeCastError>([&] { return v.AsFloat(); }, vd);
  (void)Read<EVariantTypeCastError>([&] { return v.AsInt64(); }, vi);
  (void)Read<EVariantTypeCastError>([&] { return v.AsBoolean(); }, vb);
  if (isInt64)
    fuzz::Require(variantFloat && vd == static_cast<double>(i64), "Variant reads an integer text as StrToInt64", text);
  else if (isFloat)
    fuzz::Require(variantFloat && SameDouble(vd, d), "Variant reads a float text as StrToFloat", text);
  (void)(v == Variant(1.5)), (void)(v == Variant(std::int64_t{3}));
  return 0;
}
