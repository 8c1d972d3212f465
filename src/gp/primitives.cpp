#include <evokit/gp/primitives.h>

#include <algorithm>
#include <cmath>
#include <memory>

#include <evokit/core/consts.h>
#include <evokit/platform/convert.h>

namespace evokit {

std::string FloatPrimitiveName(TGPFloatPrimitive P) { return std::string(FloatPrimitiveRow(P).Name); }

TGPFloatPrimitive FloatPrimitiveOf(std::string_view Name) {
  for (const TGPFloatPrimitiveRow& row : FloatPrimitives)
    if (row.Primitive != fpNone && SameText(Name, row.Name)) return row.Primitive;
  return fpNone;
}

double ApplyFloatPrimitive(TGPFloatPrimitive P, double A, double B) noexcept {
  const TGPFloatPrimitiveRow& row = FloatPrimitiveRow(P);
  if (row.Binary) return row.Binary(A, B);
  return row.Unary ? row.Unary(A) : 0;
}

void TMXGPFloatPrimitive::SetPrimitive(TGPFloatPrimitive Value) {
  if (Value == FPrimitive) return;
  if (static_cast<unsigned>(Value) >= FloatPrimitives.size())
    throw EArgumentOutOfRangeException("No float primitive has the value " + std::to_string(static_cast<int>(Value)));
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
  const TGPFloatPrimitiveRow& row = FloatPrimitiveRow(FPrimitive);
  // Named locals fix the order: the first child runs first.
  const double a = Node->GetChild(0)->Execute(Context);
  if (row.Unary) return row.Unary(a);
  const double b = Node->GetChild(1)->Execute(Context);
  return row.Binary(a, b);
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
