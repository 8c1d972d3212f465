#include <evokit/gp/primitives.h>

#include <array>
#include <algorithm>
#include <cmath>
#include <memory>

#include <evokit/core/consts.h>
#include <evokit/platform/convert.h>

namespace evokit {

namespace {

constexpr std::array<const char*, 16> kNames{"",    "Add",    "Sub",  "Mul", "Div", "Min", "Max", "Neg",
                                              "Abs", "Square", "Sqrt", "Exp", "Log", "Sin", "Cos", "Tanh"};

}  // namespace

std::string FloatPrimitiveName(TGPFloatPrimitive P) {
  const auto index = static_cast<std::size_t>(P);
  return index < kNames.size() ? kNames[index] : "";
}

TGPFloatPrimitive FloatPrimitiveOf(std::string_view Name) {
  for (std::size_t i = 1; i < kNames.size(); ++i)
    if (SameText(Name, kNames[i])) return static_cast<TGPFloatPrimitive>(i);
  return fpNone;
}

double ApplyFloatPrimitive(TGPFloatPrimitive P, double A, double B) noexcept {
  switch (P) {
    case fpAdd: return primitive::Add(A, B);
    case fpSub: return primitive::Sub(A, B);
    case fpMul: return primitive::Mul(A, B);
    case fpDiv: return primitive::Div(A, B);
    case fpMin: return primitive::Min(A, B);
    case fpMax: return primitive::Max(A, B);
    case fpNeg: return primitive::Neg(A);
    case fpAbs: return primitive::Abs(A);
    case fpSquare: return primitive::Square(A);
    case fpSqrt: return primitive::Sqrt(A);
    case fpExp: return primitive::Exp(A);
    case fpLog: return primitive::Log(A);
    case fpSin: return primitive::Sin(A);
    case fpCos: return primitive::Cos(A);
    case fpTanh: return primitive::Tanh(A);
    case fpNone: break;
  }
  return 0;
}

void TMXGPFloatPrimitive::SetPrimitive(TGPFloatPrimitive Value) {
  if (Value == FPrimitive) return;
  FPrimitive = Value;
  if (Value != fpNone) {
    SetOperation(gpFunction);
    SetArity(FloatPrimitiveArity(Value));
  }
  Changed(false);
}

void TMXGPFloatPrimitive::Assign(const TPersistent* Source) {
  TMXGPFloatInstruction::Assign(Source);
  if (Source == this || !dynamic_cast<const TMXGPInstruction<double>*>(Source)) return;
  const auto* source = dynamic_cast<const TMXGPFloatPrimitive*>(Source);
  FPrimitive = source ? source->FPrimitive : fpNone;
}

double TMXGPFloatPrimitive::DoExecute(TMXGPNode<double>* Node, TMXGPContext<double>* Context) {
  if (FPrimitive == fpNone) return TMXGPFloatInstruction::DoExecute(Node, Context);
  // Named locals fix the order: the first child runs first.
  const double a = Node->GetChild(0)->Execute(Context);
  if (FloatPrimitiveArity(FPrimitive) == 1) return ApplyFloatPrimitive(FPrimitive, a);
  const double b = Node->GetChild(1)->Execute(Context);
  return ApplyFloatPrimitive(FPrimitive, a, b);
}

std::vector<TMXGPInstruction<double>*> AddFloatPrimitives(TMXGPInstructions<double>& Set, std::string_view Names) {
  // Every word is checked before anything is added.
  struct TWord {
    std::string Name;
    TGPFloatPrimitive Primitive = fpNone;
    bool Number = false;
    double Value = 0;
  };
  std::vector<TWord> words;
  for (std::size_t pos = 0; pos < Names.size();) {
    const std::size_t start = Names.find_first_not_of(" ,\t\r\n", pos);
    if (start == std::string_view::npos) break;
    pos = std::min(Names.find_first_of(" ,\t\r\n", start), Names.size());
    TWord word{std::string(Names.substr(start, pos - start))};
    word.Primitive = FloatPrimitiveOf(word.Name);
    if (word.Primitive != fpNone) {
      word.Name = FloatPrimitiveName(word.Primitive);
    } else if (TryStrToFloat(word.Name, word.Value)) {
      if (!std::isfinite(word.Value)) throw EGPException("Constant \"" + word.Name + "\" is not a finite number");
      word.Number = true;
    }
    if (Set.FindItemName(word.Name)) throw EGPException("Instruction \"" + word.Name + "\" is already in the set");
    for (const TWord& other : words)
      if (SameText(other.Name, word.Name)) throw EGPException("Instruction \"" + word.Name + "\" is named twice");
    words.push_back(std::move(word));
  }
  if (words.empty()) throw EGPException("No instruction named");

  std::vector<TMXGPInstruction<double>*> added;
  for (const TWord& word : words) {
    if (word.Primitive != fpNone) {
      // Made whole before it joins, so the engine files a complete function.
      auto item = std::make_unique<TMXGPFloatPrimitive>(nullptr);
      item->SetName(word.Name);
      item->SetPrimitive(word.Primitive);
      item->SetCollection(&Set);
      TMXGPFloatPrimitive* joined = item.release();  // the set owns it now
      joined->SetArity(FloatPrimitiveArity(word.Primitive));  // within the engine's limit
      added.push_back(joined);
    } else {
      TMXGPInstruction<double>* item = Set.Add();
      item->SetName(word.Name);
      item->SetOperation(word.Number ? gpConstant : gpVariable);
      item->SetValue(word.Value);
      added.push_back(item);
    }
  }
  return added;
}

}  // namespace evokit
