// The concrete program classes: the float family over TGAFloat (n-ary and binary
// nodes), and the variant family over Variant. They fix the class names, publish
// OnExecute, and convert constant values to text for printing and for XML. The
// components and executors that create them come separately.
//
// Value texts are locale independent: FloatToStr's general format with a full stop,
// read back with StrToFloat, so documents written on one machine read on any other. XML
// values are written by FloatToStrNoOverflow, so that those nearest the largest double,
// whose 15-digit text would overflow, load again.
// Thread safety: as the generic classes (program.h).
#pragma once

#include <string>

#include <evokit/core/consts.h>
#include <evokit/gp/program.h>
#include <evokit/platform/variant.h>

namespace evokit {

using TFloatNodeEvent = TNodeEvent<TGAFloat>;
using TFloatNodeNotifyEvent = TNodeNotifyEvent<TGAFloat>;
using TVariantNodeEvent = TNodeEvent<Variant>;
using TVariantNodeNotifyEvent = TNodeNotifyEvent<Variant>;

// --- float family -------------------------------------------------------------------------

// A float instruction. Its value is read from the Value of Constant and FloatConstant
// elements (text that is no float is ignored: the value stays) and written into
// Constant elements.
class TMXGPFloatInstruction : public TMXGPInstruction<TGAFloat> {
 public:
  using TMXGPInstruction<TGAFloat>::TMXGPInstruction;
  std::string ClassName() const override { return "TMXGPFloatInstruction"; }
  void LoadValueFromXML(const IXMLInstructionType& InstructionXML) override;
  void SaveValueToXML(const IXMLInstructionType& InstructionXML) const override;
  // The generic published properties, then OnExecute.
  void DeclareProperties(TPropertyRegistry& Reg) override;
};

// A set of float instructions (TMXGPFloatInstruction unless another item class is given).
class TMXGPFloatInstructions : public TMXGPInstructions<TGAFloat> {
 public:
  explicit TMXGPFloatInstructions(TPersistent* AOwner,
                                  TCollectionItemClass ItemClass = TCollectionItemClass::Of<TMXGPFloatInstruction>())
      : TMXGPInstructions<TGAFloat>(AOwner, ItemClass) {}
  std::string ClassName() const override { return "TMXGPFloatInstructions"; }
};

// An n-ary float node. A variable prints as its instruction's display name and a constant
// as FloatToStr of its value; the XML value of a constant (and of a weighted variable) is
// that text, and loading text that is no float raises EConvertError.
class TMXGPFloatNode : public TMXGPTreeNode<TGAFloat> {
 public:
  explicit TMXGPFloatNode(TMXGPInstruction<TGAFloat>* Instruction = nullptr, TMXGPNode<TGAFloat>* Parent = nullptr)
      : TMXGPTreeNode<TGAFloat>(Instruction, Parent) {}
  std::string ClassName() const override { return "TMXGPFloatNode"; }
  // The engine's node when the instruction has an engine, else a TMXGPFloatNode.
  TMXGPNode<TGAFloat>* CreateNode(TMXGPInstruction<TGAFloat>* Instruction, TMXGPNode<TGAFloat>* Parent) const override;
  std::string ValueToString() const override;
  void LoadValueFromXML(const IXMLDnaType& DnaXML) override;
  void SaveValueToXML(const IXMLDnaType& DnaXML) const override;
};

// A binary float node: as TMXGPFloatNode, with at most two children.
class TMXGPBinaryFloatNode : public TMXGPBinaryNode<TGAFloat> {
 public:
  explicit TMXGPBinaryFloatNode(TMXGPInstruction<TGAFloat>* Instruction = nullptr,
                                TMXGPNode<TGAFloat>* Parent = nullptr)
      : TMXGPBinaryNode<TGAFloat>(Instruction, Parent) {}
  std::string ClassName() const override { return "TMXGPBinaryFloatNode"; }
  // The engine's node when the instruction has an engine, else a TMXGPBinaryFloatNode.
  TMXGPNode<TGAFloat>* CreateNode(TMXGPInstruction<TGAFloat>* Instruction, TMXGPNode<TGAFloat>* Parent) const override;
  std::string ValueToString() const override;
  void LoadValueFromXML(const IXMLDnaType& DnaXML) override;
  void SaveValueToXML(const IXMLDnaType& DnaXML) const override;
};

// --- variant family -----------------------------------------------------------------------

// A variant instruction. Its value is the Value text (a string variant) of Constant and
// FloatConstant elements and is written as text into Constant elements.
class TMXGPVariantInstruction : public TMXGPInstruction<Variant> {
 public:
  using TMXGPInstruction<Variant>::TMXGPInstruction;
  std::string ClassName() const override { return "TMXGPVariantInstruction"; }
  void LoadValueFromXML(const IXMLInstructionType& InstructionXML) override;
  void SaveValueToXML(const IXMLInstructionType& InstructionXML) const override;
  void DeclareProperties(TPropertyRegistry& Reg) override;
};

class TMXGPVariantInstructions : public TMXGPInstructions<Variant> {
 public:
  explicit TMXGPVariantInstructions(TPersistent* AOwner,
                                    TCollectionItemClass ItemClass = TCollectionItemClass::Of<TMXGPVariantInstruction>())
      : TMXGPInstructions<Variant>(AOwner, ItemClass) {}
  std::string ClassName() const override { return "TMXGPVariantInstructions"; }
};

// An n-ary variant node. A constant prints as its value's text ("" when unassigned);
// loading takes the Value text as a string; saving writes the value converted to a float
// (EVariantTypeCastError for a value that is not numeric).
class TMXGPVariantNode : public TMXGPTreeNode<Variant> {
 public:
  explicit TMXGPVariantNode(TMXGPInstruction<Variant>* Instruction = nullptr, TMXGPNode<Variant>* Parent = nullptr)
      : TMXGPTreeNode<Variant>(Instruction, Parent) {}
  std::string ClassName() const override { return "TMXGPVariantNode"; }
  TMXGPNode<Variant>* CreateNode(TMXGPInstruction<Variant>* Instruction, TMXGPNode<Variant>* Parent) const override;
  std::string ValueToString() const override;
  void LoadValueFromXML(const IXMLDnaType& DnaXML) override;
  void SaveValueToXML(const IXMLDnaType& DnaXML) const override;
};

}  // namespace evokit
