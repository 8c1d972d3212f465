#include <evokit/gp/gp_document.h>

namespace evokit {

namespace {

// Text of the child element Name, "" when there is none (reading creates nothing).
std::string ChildText(const TXMLNode& Node, std::string_view Name) {
  const TXMLNode child = Node.FindChild(Name);
  return child ? child.Text() : std::string();
}

// Sets the text of the child element Name, created when missing; text the XML layer
// refuses (not UTF-8) leaves no new element behind.
void SetChildText(const TXMLNode& Node, std::string_view Name, std::string_view Value) {
  if (const TXMLNode child = Node.FindChild(Name)) return child.SetText(Value);
  const TXMLNode child = Node.AddChild(Name);
  try {
    child.SetText(Value);
  } catch (...) {
    child.Remove();
    throw;
  }
}

}  // namespace

std::string IXMLInstructionType::Get_Name() const { return Node().Attribute("Name"); }
std::string IXMLInstructionType::Get_Comment() const { return Node().Attribute("Comment"); }
void IXMLInstructionType::Set_Name(std::string_view Value) const { Node().SetAttribute("Name", Value); }
void IXMLInstructionType::Set_Comment(std::string_view Value) const { Node().SetAttribute("Comment", Value); }

std::uint8_t IXMLFunctionInstructionType::Get_Arity() const { return Node().AttributeAsByte("Arity"); }
void IXMLFunctionInstructionType::Set_Arity(std::uint8_t Value) const { Node().SetAttributeAsByte("Arity", Value); }

std::string IXMLConstantInstructionType::Get_Value() const { return ChildText(Node(), "Value"); }
void IXMLConstantInstructionType::Set_Value(std::string_view Value) const { SetChildText(Node(), "Value", Value); }

std::string IXMLFloatConstantInstructionType::Get_Value() const { return ChildText(Node(), "Value"); }
void IXMLFloatConstantInstructionType::Set_Value(std::string_view Value) const { SetChildText(Node(), "Value", Value); }

Variant IXMLVariantConstantInstructionType::Get_Value() const { return Variant(ChildText(Node(), "Value")); }
void IXMLVariantConstantInstructionType::Set_Value(const Variant& Value) const {
  SetChildText(Node(), "Value", Value.AsString());
}

TXMLInstructionElementKind InstructionElementKind(const TXMLNodeBinding& Element) {
  const std::string name = Element.NodeName();
  if (name == "Function") return ikFunction;
  if (name == "Variable") return ikVariable;
  if (name == "Constant") return ikConstant;
  if (name == "FloatConstant") return ikFloatConstant;
  if (name == "VariantConstant") return ikVariantConstant;
  return ikUnknown;
}

std::string IXMLDnaType::Get_Instruction() const { return Node().Attribute("Instruction"); }
std::string IXMLDnaType::Get_Value() const { return ChildText(Node(), "Value"); }
void IXMLDnaType::Set_Instruction(std::string_view Value) const { Node().SetAttribute("Instruction", Value); }
void IXMLDnaType::Set_Value(std::string_view Value) const { SetChildText(Node(), "Value", Value); }

std::string IXMLIndividualType::Get_Name() const { return ChildText(Node(), "Name"); }
float IXMLIndividualType::Get_Fitness() const {
  const TXMLNode fitness = Node().FindChild("Fitness");
  return fitness ? fitness.AsSingle() : 0.0f;
}
void IXMLIndividualType::Set_Name(std::string_view Value) const { SetChildText(Node(), "Name", Value); }
void IXMLIndividualType::Set_Fitness(float Value) const { Child("Fitness").SetAsSingle(Value); }

}  // namespace evokit
