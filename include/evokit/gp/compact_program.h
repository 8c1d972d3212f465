// The compact program form: a program's nodes as one contiguous array of records in
// pre-order (a node, then the subtree of each child in order). A record holds its node's
// instruction, value, number of children and the length of its subtree, so that
//  - copying a program copies one array,
//  - a subtree is the range [i, End(i)) and replacing it (crossover, mutation) is a splice
//    of ranges,
//  - a program's size is the array's length and a subtree's its record's Length,
//  - the batch evaluator (batch.h) and the fitness memo's fingerprint read it in order,
//    without a pointer to chase.
// Trees convert both ways: a compact program is made from any tree, and ToTree makes a
// tree of the engine's nodes (its CreateNode, so the engine decides the node class) that
// is equal to the tree it came from, node for node.
//
// The records refer to instructions without owning them: a compact program is valid while
// its instructions live, as a compiled program is; once the set changes, make it again.
// Thread safety: a value type; distinct programs may be used by distinct threads, and a
// program not being changed may be read by several.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include <evokit/gp/fitness_memo.h>
#include <evokit/gp/program.h>
#include <evokit/platform/pool.h>

namespace evokit {

template <class T>
struct TGPRecord {
  TMXGPInstruction<T>* Instruction = nullptr;  // null for a node without one
  T Value{};
  std::int32_t Arity = 0;   // the node's children
  std::int32_t Length = 1;  // records of the node's subtree, its own included
  bool operator==(const TGPRecord&) const = default;
};

template <class T>
class TMXGPCompactProgram {
 public:
  using TRecord = TGPRecord<T>;
  using TNode = TMXGPNode<T>;

  // The empty program (no tree).
  TMXGPCompactProgram() = default;
  // Root's tree in pre-order, without recursion; empty for null.
  explicit TMXGPCompactProgram(const TNode* Root);

  std::span<const TRecord> Records() const noexcept { return FRecords; }
  // The record at Index; EArgumentOutOfRangeException outside 0..Size()-1.
  const TRecord& Record(int Index) const;
  int Size() const noexcept { return static_cast<int>(FRecords.size()); }
  bool Empty() const noexcept { return FRecords.empty(); }
  // One past the last record of the subtree at Index (errors as for Record).
  int End(int Index) const { return Index + Record(Index).Length; }
  // Edges on the longest path from the node at Index down to a leaf (0 for a leaf; 0 for
  // the empty program), as TMXGPNode::Depth (errors as for Record).
  int Depth(int Index = 0) const;
  // The index of the parent of the node at Index, -1 for the root (errors as for Record).
  int Parent(int Index) const;

  // In place, as a point or constant mutation changes a node: the record at Index takes
  // Value, or Instruction (stored as TMXGPNode::SetInstruction stores it, whatever its
  // arity). EArgumentOutOfRangeException for Index as for Record.
  void SetValue(int Index, const T& Value);
  void SetInstruction(int Index, TMXGPInstruction<T>* Instruction);

  // Replaces the subtree at Index by a copy of Source's subtree at SourceIndex (Source
  // may be this program, the subtree inside the one replaced or around it). The lengths
  // of the ancestors follow. Errors as for Record on either index, nothing changed.
  void Replace(int Index, const TMXGPCompactProgram& Source, int SourceIndex = 0) { Put(Index, Source, SourceIndex, false); }
  // As TMXGPIndividual::Graft moves subtrees: the subtree at Index leaves, and a copy of
  // Source's subtree at SourceIndex becomes the last child of the node it hung from (or
  // the whole program when Index is the root). Errors as for Replace.
  void Graft(int Index, const TMXGPCompactProgram& Source, int SourceIndex = 0) { Put(Index, Source, SourceIndex, true); }
  // The subtree at Index as a program of its own (errors as for Record).
  TMXGPCompactProgram Subtree(int Index) const;
  // This program becomes a copy of Source's subtree at SourceIndex, in the array it has
  // (errors as for Record, nothing changed).
  void AssignSubtree(const TMXGPCompactProgram& Source, int SourceIndex = 0);

  // A new detached tree of nodes made by Engine.CreateNode, with the records'
  // instructions, values and shape; null for the empty program. On an error (the engine
  // or a node refuses) nothing is left allocated.
  TNode* ToTree(IMXGeneticProgramEngine<T>& Engine) const;
  // The fingerprint of the tree the program makes (detail::GPProgramPrint of its nodes).
  detail::TGPProgramPrint Print() const;

  bool operator==(const TMXGPCompactProgram& Other) const = default;

 private:
  using TPath = TInlineList<int, 32>;
  // The indexes of the ancestors of the node at Index, root first (errors as for Record).
  void Ancestors(int Index, TPath& Out) const;
  // Source's records of the subtree at SourceIndex, or a copy of them in Copy when Source
  // is this program (errors as for Record).
  std::span<const TRecord> Range(const TMXGPCompactProgram& Source, int SourceIndex, std::vector<TRecord>& Copy) const;
  // Replace (Last false) or Graft (Last true).
  void Put(int Index, const TMXGPCompactProgram& Source, int SourceIndex, bool Last);
  // Replaces the Removed records from At by Inserted, lengths untouched.
  void Splice(int At, int Removed, std::span<const TRecord> Inserted);

  std::vector<TRecord> FRecords;
};

extern template struct TGPRecord<double>;
extern template struct TGPRecord<Variant>;
extern template class TMXGPCompactProgram<double>;
extern template class TMXGPCompactProgram<Variant>;

}  // namespace evokit
