#include <evokit/gp/float_variant_programs.h>

#include <evokit/platform/convert.h>

namespace evokit {

// The generic classes for both value types, compiled once here.
template class TMXGPInstruction<double>;
template class TMXGPInstruction<Variant>;
template class TMXGPInstructions<double>;
template class TMXGPInstructions<Variant>;
template class TMXGPNode<double>;
template class TMXGPNode<Variant>;
template class TMXGPTreeNode<double>;
template class TMXGPTreeNode<Variant>;
template class TMXGPBinaryNode<double>;
template class TMXGPBinaryNode<Variant>;

namespace {

// The value text of a float node: a variable's display name, a constant's value, else "".
std::string FloatValueText(const TMXGPNode<TGAFloat>& Node) {
  const TMXGPInstruction<TGAFloat>* instruction = Node.Instruction();
  if (!instruction) return std::string();
  switch (instruction->Operation()) {
    case gpVariable: return instruction->DisplayName();
    case gpConstant: return FloatToStr(Node.Value());
    default: return std::string();
  }
}

// The Value text of a Constant or FloatConstant element; false for other elements.
bool ConstantValueText(const IXMLInstructionType& Element, std::string& Text) {
  switch (InstructionElementKind(Element)) {
    case ikConstant: Text = IXMLConstantInstructionType(Element.Node()).Get_Value(); return true;
    case ikFloatConstant: Text = IXMLFloatConstantInstructionType(Element.Node()).Get_Value(); return true;
    default: return false;
  }
}

// Writes Text as the Value of a Constant or FloatConstant element; other elements get none.
void SetConstantValueText(const IXMLInstructionType& Element, const std::string& Text) {
  switch (InstructionElementKind(Element)) {
    case ikConstant: IXMLConstantInstructionType(Element.Node()).Set_Value(Text); break;
    case ikFloatConstant: IXMLFloatConstantInstructionType(Element.Node()).Set_Value(Text); break;
    default: break;
  }
}

}  // namespace

// --- float family -------------------------------------------------------------------------

void TMXGPFloatInstruction::LoadValueFromXML(const IXMLInstructionType& InstructionXML) {
  std::string text;
  double value;
  if (ConstantValueText(InstructionXML, text) && TryStrToFloat(text, value)) SetValue(value);
}

void TMXGPFloatInstruction::SaveValueToXML(const IXMLInstructionType& InstructionXML) const {
  SetConstantValueText(InstructionXML, FloatToStrNoOverflow(Value()));
}

void TMXGPFloatInstruction::DeclareProperties(TPropertyRegistry& Reg) {
  TMXGPInstruction<TGAFloat>::DeclareProperties(Reg);
  using I = TMXGPInstruction<TGAFloat>;
  Reg.Event("OnExecute", &I::OnExecute, &I::SetOnExecute);
}

TMXGPNode<TGAFloat>* TMXGPFloatNode::CreateNode(TMXGPInstruction<TGAFloat>* Instruction,
                                                TMXGPNode<TGAFloat>* Parent) const {
  if (IMXGeneticProgramEngine<TGAFloat>* engine = Engine()) return engine->CreateNode(Instruction, Parent);
  return new TMXGPFloatNode(Instruction, Parent);
}

std::string TMXGPFloatNode::ValueToString() const { return FloatValueText(*this); }

void TMXGPFloatNode::LoadValueFromXML(const IXMLDnaType& DnaXML) { SetValue(StrToFloat(DnaXML.Get_Value())); }

void TMXGPFloatNode::SaveValueToXML(const IXMLDnaType& DnaXML) const { DnaXML.Set_Value(FloatToStrNoOverflow(Value())); }

TMXGPNode<TGAFloat>* TMXGPBinaryFloatNode::CreateNode(TMXGPInstruction<TGAFloat>* Instruction,
                                                      TMXGPNode<TGAFloat>* Parent) const {
  if (IMXGeneticProgramEngine<TGAFloat>* engine = Engine()) return engine->CreateNode(Instruction, Parent);
  return new TMXGPBinaryFloatNode(Instruction, Parent);
}

std::string TMXGPBinaryFloatNode::ValueToString() const { return FloatValueText(*this); }

void TMXGPBinaryFloatNode::LoadValueFromXML(const IXMLDnaType& DnaXML) {
  SetValue(StrToFloat(DnaXML.Get_Value()));
}

void TMXGPBinaryFloatNode::SaveValueToXML(const IXMLDnaType& DnaXML) const {
  DnaXML.Set_Value(FloatToStrNoOverflow(Value()));
}

// --- variant family -----------------------------------------------------------------------

void TMXGPVariantInstruction::LoadValueFromXML(const IXMLInstructionType& InstructionXML) {
  std::string text;
  if (ConstantValueText(InstructionXML, text)) SetValue(Variant(text));
}

void TMXGPVariantInstruction::SaveValueToXML(const IXMLInstructionType& InstructionXML) const {
  SetConstantValueText(InstructionXML, Value().AsString());
}

void TMXGPVariantInstruction::DeclareProperties(TPropertyRegistry& Reg) {
  TMXGPInstruction<Variant>::DeclareProperties(Reg);
  using I = TMXGPInstruction<Variant>;
  Reg.Event("OnExecute", &I::OnExecute, &I::SetOnExecute);
}

TMXGPNode<Variant>* TMXGPVariantNode::CreateNode(TMXGPInstruction<Variant>* Instruction,
                                                 TMXGPNode<Variant>* Parent) const {
  if (IMXGeneticProgramEngine<Variant>* engine = Engine()) return engine->CreateNode(Instruction, Parent);
  return new TMXGPVariantNode(Instruction, Parent);
}

std::string TMXGPVariantNode::ValueToString() const {
  const TMXGPInstruction<Variant>* instruction = Instruction();
  if (!instruction) return std::string();
  switch (instruction->Operation()) {
    case gpVariable: return instruction->DisplayName();
    case gpConstant: return VarToStr(Value());
    default: return std::string();
  }
}

void TMXGPVariantNode::LoadValueFromXML(const IXMLDnaType& DnaXML) { SetValue(Variant(DnaXML.Get_Value())); }

void TMXGPVariantNode::SaveValueToXML(const IXMLDnaType& DnaXML) const {
  DnaXML.Set_Value(FloatToStrNoOverflow(Value().AsFloat()));
}

}  // namespace evokit
