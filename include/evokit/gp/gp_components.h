// The GP components and executors applications use. For each family (float with n-ary
// nodes, float with binary nodes, variant) a custom class fixes the instruction set and
// node classes the engine creates; the published class adds the streamed properties.
//
//   TMXGeneticProgramming               float instructions, TMXGPFloatNode trees
//   TMXBinaryGeneticProgramming         float instructions, TMXGPBinaryFloatNode trees
//   TMXGeneticProgrammingVariant        variant instructions, TMXGPVariantNode trees
//   TMXGeneticProgrammingExecutor       float executor (TMXGPFloatNode programs)
//   TMXGeneticProgrammingVariantExecutor variant executor (TMXGPVariantNode programs)
//
// The float custom classes are TMXCustomGeneticProgrammingFloat and
// TMXCustomGeneticProgrammingFloatExecutor: their plain names are taken by the generic
// templates TMXCustomGeneticProgramming<T> and TMXCustomGeneticProgrammingExecutor<T>.
// Whatever item class CreateInstructions is given, the set holds the family's instructions.
// Thread safety: as their generic bases.
#pragma once

#include <evokit/gp/executor.h>
#include <evokit/gp/float_variant_programs.h>
#include <evokit/gp/genetic_programming.h>
#include <evokit/gp/primitives.h>

#include <type_traits>

namespace evokit {

// A new, empty instruction set of a family for Owner. Float sets hold TMXGPFloatPrimitive
// items, so that copies of a set (an executor taking a run's instructions, say) keep the
// standard primitives; an item without a primitive is a plain float instruction.
template <class Set>
Set* NewFamilyInstructions(TPersistent* Owner) {
  if constexpr (std::is_same_v<Set, TMXGPFloatInstructions>)
    return new Set(Owner, TCollectionItemClass::Of<TMXGPFloatPrimitive>());
  else
    return new Set(Owner);
}

// A GP component of one family: Set is the instruction-set class, Node the node class.
template <class T, class Set, class Node>
class TMXGPFamilyComponent : public TMXCustomGeneticProgramming<T> {
 public:
  explicit TMXGPFamilyComponent(TComponent* AOwner = nullptr) : TMXCustomGeneticProgramming<T>(AOwner) {
    this->RecreateInstructions({});
  }
  // The owned set, as the family's class.
  Set* Instructions() const { return static_cast<Set*>(TMXCustomGeneticProgramming<T>::Instructions()); }
  TMXGPInstructions<T>* CreateInstructions(TCollectionItemClass) override { return NewFamilyInstructions<Set>(this); }
  TMXGPNode<T>* CreateNode(TMXGPInstruction<T>* Instruction, TMXGPNode<T>* Parent) override {
    return new Node(Instruction, Parent);
  }
};

// An executor of one family.
template <class T, class Set, class Node>
class TMXGPFamilyExecutor : public TMXCustomGeneticProgrammingExecutor<T> {
 public:
  explicit TMXGPFamilyExecutor(TComponent* AOwner = nullptr) : TMXCustomGeneticProgrammingExecutor<T>(AOwner) {
    this->RecreateInstructions({});
  }
  Set* Instructions() const { return static_cast<Set*>(TMXCustomGeneticProgrammingExecutor<T>::Instructions()); }
  TMXGPInstructions<T>* CreateInstructions(TCollectionItemClass) override { return NewFamilyInstructions<Set>(this); }
  TMXGPNode<T>* CreateNode(TMXGPInstruction<T>* Instruction, TMXGPNode<T>* Parent) override {
    return new Node(Instruction, Parent);
  }
};

class TMXCustomGeneticProgrammingFloat : public TMXGPFamilyComponent<TGAFloat, TMXGPFloatInstructions, TMXGPFloatNode> {
 public:
  using TMXGPFamilyComponent::TMXGPFamilyComponent;
  std::string ClassName() const override { return "TMXCustomGeneticProgrammingFloat"; }
};

class TMXGeneticProgramming : public TMXCustomGeneticProgrammingFloat {
 public:
  using TMXCustomGeneticProgrammingFloat::TMXCustomGeneticProgrammingFloat;
  std::string ClassName() const override { return "TMXGeneticProgramming"; }
  void DeclareProperties(TPropertyRegistry& Reg) override;
};

class TMXCustomBinaryGeneticProgramming
    : public TMXGPFamilyComponent<TGAFloat, TMXGPFloatInstructions, TMXGPBinaryFloatNode> {
 public:
  using TMXGPFamilyComponent::TMXGPFamilyComponent;
  std::string ClassName() const override { return "TMXCustomBinaryGeneticProgramming"; }
};

class TMXBinaryGeneticProgramming : public TMXCustomBinaryGeneticProgramming {
 public:
  using TMXCustomBinaryGeneticProgramming::TMXCustomBinaryGeneticProgramming;
  std::string ClassName() const override { return "TMXBinaryGeneticProgramming"; }
  void DeclareProperties(TPropertyRegistry& Reg) override;
};

class TMXCustomGeneticProgrammingVariant
    : public TMXGPFamilyComponent<Variant, TMXGPVariantInstructions, TMXGPVariantNode> {
 public:
  using TMXGPFamilyComponent::TMXGPFamilyComponent;
  std::string ClassName() const override { return "TMXCustomGeneticProgrammingVariant"; }
};

class TMXGeneticProgrammingVariant : public TMXCustomGeneticProgrammingVariant {
 public:
  using TMXCustomGeneticProgrammingVariant::TMXCustomGeneticProgrammingVariant;
  std::string ClassName() const override { return "TMXGeneticProgrammingVariant"; }
  void DeclareProperties(TPropertyRegistry& Reg) override;
};

class TMXCustomGeneticProgrammingFloatExecutor
    : public TMXGPFamilyExecutor<TGAFloat, TMXGPFloatInstructions, TMXGPFloatNode> {
 public:
  using TMXGPFamilyExecutor::TMXGPFamilyExecutor;
  std::string ClassName() const override { return "TMXCustomGeneticProgrammingFloatExecutor"; }
};

class TMXGeneticProgrammingExecutor : public TMXCustomGeneticProgrammingFloatExecutor {
 public:
  using TMXCustomGeneticProgrammingFloatExecutor::TMXCustomGeneticProgrammingFloatExecutor;
  std::string ClassName() const override { return "TMXGeneticProgrammingExecutor"; }
  void DeclareProperties(TPropertyRegistry& Reg) override;
};

class TMXCustomGeneticProgrammingVariantExecutor
    : public TMXGPFamilyExecutor<Variant, TMXGPVariantInstructions, TMXGPVariantNode> {
 public:
  using TMXGPFamilyExecutor::TMXGPFamilyExecutor;
  std::string ClassName() const override { return "TMXCustomGeneticProgrammingVariantExecutor"; }
};

class TMXGeneticProgrammingVariantExecutor : public TMXCustomGeneticProgrammingVariantExecutor {
 public:
  using TMXCustomGeneticProgrammingVariantExecutor::TMXCustomGeneticProgrammingVariantExecutor;
  std::string ClassName() const override { return "TMXGeneticProgrammingVariantExecutor"; }
  void DeclareProperties(TPropertyRegistry& Reg) override;
};

}  // namespace evokit
