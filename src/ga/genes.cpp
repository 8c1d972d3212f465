#include <evokit/ga/genes.h>

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <limits>

#include <evokit/core/limits.h>
#include <evokit/ga/genetic_algorithm.h>
#include <evokit/platform/convert.h>
#include <evokit/platform/guards.h>

namespace evokit {

namespace {

// Nearest integer, ties to the even one, whatever the floating-point rounding mode.
double RoundHalfEven(double Value) {
  const double low = std::floor(Value);
  const double fraction = Value - low;
  if (fraction > 0.5) return low + 1;
  if (fraction < 0.5) return low;
  return std::fmod(low, 2.0) == 0 ? low : low + 1;
}

// The 64-bit pattern of an integral double, without the undefined behaviour of an
// out-of-range conversion: values from 2^63 to below 2^64 keep their unsigned pattern
// (an unsigned 64-bit field's upper half), larger values saturate to all ones, values
// below -2^63 to the smallest int64, NaN gives 0.
std::int64_t IntegralToInt64Bits(double Value) {
  constexpr double kTwo63 = 9223372036854775808.0;
  constexpr double kTwo64 = 18446744073709551616.0;
  if (std::isnan(Value)) return 0;
  if (Value >= kTwo64) return -1;
  if (Value >= kTwo63) return static_cast<std::int64_t>(static_cast<std::uint64_t>(Value));
  if (Value < -kTwo63) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(Value);
}

// A double bound narrowed to single precision by IEEE rounding, without the undefined
// behaviour of converting a finite value beyond the single range.
float NarrowBound(double Value) {
  constexpr double kHalfwayToInfinity = static_cast<double>(FLT_MAX) + 0x1p103;
  if (std::isfinite(Value) && std::fabs(Value) > FLT_MAX) {
    const float magnitude = std::fabs(Value) < kHalfwayToInfinity ? FLT_MAX : std::numeric_limits<float>::infinity();
    return std::signbit(Value) ? -magnitude : magnitude;
  }
  return static_cast<float>(Value);
}

bool IsNumeric(TGeneType Type) { return Type == gtInteger || Type == gtFloat || Type == gtEnumeration; }

void CheckNumericSize(TGeneType Type, std::int32_t Size) {
  if (IsNumeric(Type) && Size > TMXGAGene::MaxNumericSize) {
    throw EGAException(std::string(EnumName(Type)) + " gene of " + std::to_string(Size) + " bits: at most " +
                       std::to_string(TMXGAGene::MaxNumericSize) + " bits are allowed");
  }
}

bool IsFloatWidth(std::int32_t Size) { return Size == 32 || Size == 64; }

}  // namespace

std::int32_t BitsRequired(std::uint32_t N) { return static_cast<std::int32_t>(std::bit_width(N)); }

// --- TMXGAGene: life cycle -------------------------------------------------------

TMXGAGene::TMXGAGene(TCollection* Collection) : TCollectionItem(nullptr) {
  if (Collection) SetCollection(Collection);
}

TMXGAGene::~TMXGAGene() {
  if (TCollectionItem::Collection()) SetCollection(nullptr);
}

TMXGAGenes* TMXGAGene::Collection() const { return dynamic_cast<TMXGAGenes*>(TCollectionItem::Collection()); }

std::string TMXGAGene::GetDisplayName() const { return FName.empty() ? TCollectionItem::GetDisplayName() : FName; }

// --- TMXGAGene: properties -------------------------------------------------------

void TMXGAGene::SetName(const std::string& Value) {
  if (Value == FName) return;
  FName = Value;
  Changed(false);
}

void TMXGAGene::SetGeneType(TGeneType Value) {
  if (Value == FGeneType) return;
  CheckNumericSize(Value, FSize);
  FGeneType = Value;
  RecalcMinMax();
  Changed(false);
}

void TMXGAGene::SetSize(std::int32_t Value) {
  if (Value < 0) Value = 0;
  if (Value == FSize) return;
  const std::int32_t limit = Limits().MaxGeneSize;
  CheckLimit("Gene size", Value, limit);
  CheckNumericSize(FGeneType, Value);
  if (const TMXGAGenes* genes = Collection())
    CheckLimit("Genes' total size", std::int64_t{genes->Size()} - FSize + Value, limit);
  FSize = Value;
  SizeChange();
}

void TMXGAGene::SetPreserveSignBit(bool Value) {
  if (Value == FPreserveSignBit) return;
  FPreserveSignBit = Value;
  RecalcMinMax();
}

int TMXGAGene::NameCount() const { return FEnumerations ? FEnumerations->Count() : 0; }

void TMXGAGene::SetMinValue(double Value) {
  if (Value == FMinValue) return;
  FMinValue = Value;
  const double q = std::ldexp(1.0, FSize);
  switch (FGeneType) {
    case gtInteger:
    case gtFloat:
      if (FMaxValue - FMinValue > q - 1 || FMinValue > FMaxValue) FMaxValue = FMinValue + q - 1;
      break;
    case gtEnumeration:
      FMaxValue = FMinValue + NameCount() - 1;
      break;
    default:
      break;
  }
}

void TMXGAGene::SetMaxValue(double Value) {
  if (Value == FMaxValue) return;
  FMaxValue = Value;
  const double q = std::ldexp(1.0, FSize);
  switch (FGeneType) {
    case gtInteger:
    case gtFloat:
      if (2 * q > FMaxValue - FMinValue) FMinValue = FMaxValue - q;
      break;
    case gtEnumeration:
      if (NameCount() >= FMaxValue - FMinValue) FMinValue = FMaxValue - NameCount();
      break;
    default:
      break;
  }
  if (FGeneType != gtBoolean && !FPreserveSignBit && FMinValue < 0) FMinValue = 0;
}

void TMXGAGene::RecalcMinMax() {
  switch (FGeneType) {
    case gtInteger:
    case gtFloat: {
      const int e = FPreserveSignBit ? FSize - 1 : FSize;
      const double p = std::ldexp(1.0f, e);  // single precision, then widened
      FMinValue = FPreserveSignBit ? -p : 0;
      FMaxValue = p - 1;
      break;
    }
    case gtEnumeration:
      FMinValue = 0;
      FMaxValue = NameCount() - 1;
      break;
    default:
      break;
  }
}

void TMXGAGene::SizeChange() {
  RecalcMinMax();
  if (TMXGAGenes* genes = Collection()) genes->SizeChange(Index());
}

TStrings* TMXGAGene::Enumerations() const {
  if (!FEnumerations) {
    FEnumerations = std::make_unique<TStringList>();
    auto* self = const_cast<TMXGAGene*>(this);
    FEnumerations->SetOnChange([self](TObject*) { self->EnumerationsChange(); });
  }
  return FEnumerations.get();
}

void TMXGAGene::SetEnumerations(const TStrings* Value) {
  TStrings* names = Enumerations();
  if (Value == names) return;
  if (Value) names->Assign(Value);
  else names->Clear();
}

void TMXGAGene::EnumerationsChange() {
  if (!IsEnumeration()) return;
  const std::int32_t size = BitsRequired(static_cast<std::uint32_t>(NameCount()));
  // The bounds follow the count of names even when the width stays the same.
  if (size != FSize) SetSize(size);
  else RecalcMinMax();
}

void TMXGAGene::Assign(const TPersistent* Source) {
  const auto* source = dynamic_cast<const TMXGAGene*>(Source);
  if (!source) {
    TCollectionItem::Assign(Source);
    return;
  }
  if (source != this) {
    FGeneType = source->FGeneType;
    FName = source->FName;
    FSize = source->FSize;
    if (FGeneType == gtEnumeration) {
      // The names are copied without the list's change handler, which would resize.
      Enumerations();
      TNotifyEvent handler = FEnumerations->OnChange();
      FEnumerations->SetOnChange(nullptr);
      const TScopeExit restore([&] { FEnumerations->SetOnChange(std::move(handler)); });
      if (source->FEnumerations) FEnumerations->Assign(source->FEnumerations.get());
      else FEnumerations->Clear();
    } else {
      FEnumerations.reset();
    }
    FMinValue = source->FMinValue;
    FMaxValue = source->FMaxValue;
    FPreserveSignBit = source->FPreserveSignBit;
  }
  Changed(false);
}

// --- TMXGAGene: reading ----------------------------------------------------------

bool TMXGAGene::GeneAsBoolean(TMXEncodedBits& Bits, std::int32_t Offset) const {
  return Bits.GetAsBoolean(Offset, FSize);
}

std::int32_t TMXGAGene::GeneAsInteger(TMXEncodedBits& Bits, std::int32_t Offset) const {
  Bits.SetPreserveSignBit(FPreserveSignBit);
  return Bits.GetAsInteger(Offset, FSize);
}

std::int64_t TMXGAGene::GeneAsInt64(TMXEncodedBits& Bits, std::int32_t Offset) const {
  Bits.SetPreserveSignBit(FPreserveSignBit);
  return Bits.GetAsInt64(Offset, FSize);
}

float TMXGAGene::GeneAsFloat(TMXEncodedBits& Bits, std::int32_t Offset) const {
  Bits.SetPreserveSignBit(FPreserveSignBit);
  if (!IsFloatWidth(FSize)) return static_cast<float>(Bits.GetAsInt64(Offset, FSize));
  return Bits.GetAsFloat(Offset, FSize);
}

double TMXGAGene::GeneAsDouble(TMXEncodedBits& Bits, std::int32_t Offset) const {
  Bits.SetPreserveSignBit(FPreserveSignBit);
  if (!IsFloatWidth(FSize)) return static_cast<double>(Bits.GetAsInt64(Offset, FSize));
  return Bits.GetAsDouble(Offset, FSize);
}

std::string TMXGAGene::GeneAsEnumeration(TMXEncodedBits& Bits, std::int32_t Offset) const {
  Bits.SetPreserveSignBit(false);
  const std::int64_t index = Bits.GetAsInt64(Offset, FSize);
  if (index < 0 || index >= NameCount()) RaiseMessage<EGAException>(_SNoEnumerationFound);
  return FEnumerations->Strings(static_cast<int>(index));
}

// --- TMXGAGene: writing ----------------------------------------------------------

void TMXGAGene::SetGeneAsBoolean(TMXEncodedBits& Bits, std::int32_t Offset, bool Value) {
  Bits.SetAsBoolean(Offset, FSize, Value);
}

void TMXGAGene::SetGeneAsInteger(TMXEncodedBits& Bits, std::int32_t Offset, std::int32_t Value) {
  const double value = Value;
  if (value < FMinValue) Value = static_cast<std::int32_t>(IntegralToInt64Bits(RoundHalfEven(FMinValue)));
  else if (value > FMaxValue) Value = static_cast<std::int32_t>(IntegralToInt64Bits(RoundHalfEven(FMaxValue)));
  Bits.SetPreserveSignBit(FPreserveSignBit);
  Bits.SetAsInteger(Offset, FSize, Value);
}

void TMXGAGene::SetGeneAsInt64(TMXEncodedBits& Bits, std::int32_t Offset, std::int64_t Value) {
  const auto value = static_cast<double>(Value);
  if (value < FMinValue) Value = IntegralToInt64Bits(RoundHalfEven(FMinValue));
  else if (value > FMaxValue) Value = IntegralToInt64Bits(RoundHalfEven(FMaxValue));
  Bits.SetPreserveSignBit(FPreserveSignBit);
  Bits.SetAsInt64(Offset, FSize, Value);
}

void TMXGAGene::SetGeneAsFloat(TMXEncodedBits& Bits, std::int32_t Offset, float Value) {
  const double value = Value;
  if (value < FMinValue) Value = NarrowBound(FMinValue);
  else if (value > FMaxValue) Value = NarrowBound(FMaxValue);
  Bits.SetPreserveSignBit(FPreserveSignBit);
  if (!IsFloatWidth(FSize)) Bits.SetAsInt64(Offset, FSize, IntegralToInt64Bits(RoundHalfEven(Value)));
  else Bits.SetAsFloat(Offset, FSize, Value);
}

void TMXGAGene::SetGeneAsDouble(TMXEncodedBits& Bits, std::int32_t Offset, double Value) {
  if (Value < FMinValue) Value = FMinValue;
  else if (Value > FMaxValue) Value = FMaxValue;
  Bits.SetPreserveSignBit(FPreserveSignBit);
  if (!IsFloatWidth(FSize)) Bits.SetAsInt64(Offset, FSize, IntegralToInt64Bits(RoundHalfEven(Value)));
  else Bits.SetAsDouble(Offset, FSize, Value);
}

void TMXGAGene::SetGeneAsEnumeration(TMXEncodedBits& Bits, std::int32_t Offset, const std::string& Value) {
  const int index = FEnumerations ? FEnumerations->IndexOf(Value) : -1;
  if (index < 0) RaiseMessage<EGAException>(_SValueNotEnumeration, Value);
  Bits.SetPreserveSignBit(false);
  Bits.SetAsInteger(Offset, FSize, index);
}

// --- TMXGAGene: through the population -------------------------------------------

TMXGAIndividual* TMXGAGene::IndividualAt(int Index) const {
  const TMXGAGenes* genes = Collection();
  const TMXCustomGeneticAlgorithm* component = genes ? genes->Owner() : nullptr;
  if (!component) throw EListError("List index out of bounds (" + std::to_string(Index) + ")");
  return component->Population()->Items(Index);
}

bool TMXGAGene::GetAsBoolean(int Index) const { return GeneAsBoolean(*IndividualAt(Index)->Bits()); }
std::int32_t TMXGAGene::GetAsInteger(int Index) const { return GeneAsInteger(*IndividualAt(Index)->Bits()); }
std::int64_t TMXGAGene::GetAsInt64(int Index) const { return GeneAsInt64(*IndividualAt(Index)->Bits()); }
float TMXGAGene::GetAsFloat(int Index) const { return GeneAsFloat(*IndividualAt(Index)->Bits()); }
double TMXGAGene::GetAsDouble(int Index) const { return GeneAsDouble(*IndividualAt(Index)->Bits()); }
std::string TMXGAGene::GetAsEnumeration(int Index) const { return GeneAsEnumeration(*IndividualAt(Index)->Bits()); }

void TMXGAGene::SetAsBoolean(int Index, bool Value) {
  TMXGAIndividual* individual = IndividualAt(Index);
  SetGeneAsBoolean(*individual->Bits(), Value);
  individual->Modified();
}

void TMXGAGene::SetAsInteger(int Index, std::int32_t Value) {
  TMXGAIndividual* individual = IndividualAt(Index);
  SetGeneAsInteger(*individual->Bits(), Value);
  individual->Modified();
}

void TMXGAGene::SetAsInt64(int Index, std::int64_t Value) {
  TMXGAIndividual* individual = IndividualAt(Index);
  SetGeneAsInt64(*individual->Bits(), Value);
  individual->Modified();
}

void TMXGAGene::SetAsFloat(int Index, float Value) {
  TMXGAIndividual* individual = IndividualAt(Index);
  SetGeneAsFloat(*individual->Bits(), Value);
  individual->Modified();
}

void TMXGAGene::SetAsDouble(int Index, double Value) {
  TMXGAIndividual* individual = IndividualAt(Index);
  SetGeneAsDouble(*individual->Bits(), Value);
  individual->Modified();
}

void TMXGAGene::SetAsEnumeration(int Index, const std::string& Value) {
  TMXGAIndividual* individual = IndividualAt(Index);
  SetGeneAsEnumeration(*individual->Bits(), Value);
  individual->Modified();
}

std::string TMXGAGene::AsString(TMXEncodedBits& Bits) const {
  switch (FGeneType) {
    case gtBoolean:
      return BoolToStr(GeneAsBoolean(Bits));
    case gtInteger:
      return IntToStr(GeneAsInt64(Bits));
    case gtFloat:
      return FloatToStr(GeneAsFloat(Bits));
    case gtEnumeration:
      return GeneAsEnumeration(Bits);
    default:
      return Bits.GetAsBitString(FOffset, FSize);
  }
}

std::string TMXGAGene::AsString(int Index) const { return AsString(*IndividualAt(Index)->Bits()); }

// --- TMXGAGenes ------------------------------------------------------------------

TMXGAGenes::TMXGAGenes(TPersistent* AOwner, TMXGeneClass GeneClass)
    : TOwnedCollection(AOwner, GeneClass.ItemClass()),
      FComponent(dynamic_cast<TMXCustomGeneticAlgorithm*>(AOwner)),
      FGeneClass(GeneClass) {}

std::int32_t TMXGAGenes::Size() const {
  if (Count() == 0) return 0;
  const TMXGAGene* last = Items(Count() - 1);
  return last->FOffset + last->FSize;
}

void TMXGAGenes::UpdateOffsets(int StartIndex) {
  const int n = Count();
  if (n == 0) return;
  if (StartIndex <= 0) {
    Items(0)->FOffset = 0;
    StartIndex = 1;
  }
  for (int i = StartIndex; i < n; ++i) {
    const TMXGAGene* previous = Items(i - 1);
    // Saturates instead of overflowing for absurd widths; such a field is unusable anyway.
    const std::int64_t offset = std::int64_t{previous->FOffset} + previous->FSize;
    Items(i)->FOffset =
        static_cast<std::int32_t>(std::min<std::int64_t>(offset, std::numeric_limits<std::int32_t>::max()));
  }
}

void TMXGAGenes::SizeChange(int Index) {
  UpdateOffsets(Index + 1);
  if (FComponent) FComponent->GenesSizeChange();
}

void TMXGAGenes::Notify(TCollectionItem* Item, TCollectionNotification Action) {
  TOwnedCollection::Notify(Item, Action);
  UpdateOffsets(0);
  if (FComponent) FComponent->GeneNotify(dynamic_cast<TMXGAGene*>(Item), Action);
}

void TMXGAGenes::Update(TCollectionItem* Item) {
  if (!Item) UpdateOffsets(0);
  if (FComponent) FComponent->GeneUpdate(dynamic_cast<TMXGAGene*>(Item));
}

}  // namespace evokit
