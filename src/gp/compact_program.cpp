#include <evokit/gp/compact_program.h>

#include <algorithm>
#include <memory>
#include <string>

#include <evokit/platform/exceptions.h>

namespace evokit {

template <class T>
TMXGPCompactProgram<T>::TMXGPCompactProgram(const TNode* Root) {
  if (!Root) return;
  FRecords.reserve(static_cast<std::size_t>(Root->Size()));
  // Pre-order with an explicit stack; each record's length is known once its subtree's
  // last record is in, that is when the walk next returns above it.
  struct TOpen {
    std::size_t Record;
    int Left;  // children still to walk
  };
  std::vector<const TNode*> pending{Root};
  std::vector<TOpen> open;
  while (!pending.empty()) {
    const TNode* node = pending.back();
    pending.pop_back();
    const int children = node->GetChildCount();
    FRecords.push_back({node->Instruction(), node->Value(), children, 1});
    for (int i = children - 1; i >= 0; --i) pending.push_back(node->GetChild(i));
    if (children > 0) {
      open.push_back({FRecords.size() - 1, children});
      continue;
    }
    // A leaf closes every open node whose last child it ends.
    while (!open.empty() && --open.back().Left == 0) {
      TRecord& closed = FRecords[open.back().Record];
      closed.Length = static_cast<std::int32_t>(FRecords.size() - open.back().Record);
      open.pop_back();
    }
  }
}

template <class T>
const TGPRecord<T>& TMXGPCompactProgram<T>::Record(int Index) const {
  if (Index < 0 || Index >= Size())
    throw EArgumentOutOfRangeException("Record " + std::to_string(Index) + " of a program of " + std::to_string(Size()));
  return FRecords[static_cast<std::size_t>(Index)];
}

template <class T>
int TMXGPCompactProgram<T>::Depth(int Index) const {
  if (Empty()) return 0;
  const int end = End(Index);
  // The children still to come of each open node on the path to the current record (in
  // place for the depths programs have: the size checks of breeding ask by the thousand).
  TInlineList<std::int32_t, 64> left;
  int depth = 0;
  for (int i = Index; i < end; ++i) {
    depth = std::max(depth, static_cast<int>(left.size()));
    if (const std::int32_t arity = FRecords[static_cast<std::size_t>(i)].Arity; arity > 0) {
      left.push_back(arity);
      continue;
    }
    while (!left.empty() && --left.back() == 0) left.pop_back();
  }
  return depth;
}

template <class T>
void TMXGPCompactProgram<T>::Ancestors(int Index, TPath& Out) const {
  Record(Index);
  // Down from the root: the child whose range holds Index, until Index itself.
  for (int at = 0; at != Index;) {
    Out.push_back(at);
    int child = at + 1;
    while (End(child) <= Index) child = End(child);
    at = child;
  }
}

template <class T>
int TMXGPCompactProgram<T>::Parent(int Index) const {
  TPath path;
  Ancestors(Index, path);
  return path.empty() ? -1 : path.back();
}

template <class T>
void TMXGPCompactProgram<T>::SetValue(int Index, const T& Value) {
  Record(Index);
  FRecords[static_cast<std::size_t>(Index)].Value = Value;
}

template <class T>
void TMXGPCompactProgram<T>::SetInstruction(int Index, TMXGPInstruction<T>* Instruction) {
  Record(Index);
  FRecords[static_cast<std::size_t>(Index)].Instruction = Instruction;
}

template <class T>
std::span<const TGPRecord<T>> TMXGPCompactProgram<T>::Range(const TMXGPCompactProgram& Source, int SourceIndex,
                                                             std::vector<TRecord>& Copy) const {
  const int first = SourceIndex, last = Source.End(SourceIndex);
  const std::span<const TRecord> range(Source.FRecords.data() + first, static_cast<std::size_t>(last - first));
  if (&Source != this) return range;
  // A range of this program is about to move under the splice: it is read from a copy.
  Copy.assign(range.begin(), range.end());
  return Copy;
}

template <class T>
void TMXGPCompactProgram<T>::Splice(int At, int Removed, std::span<const TRecord> Inserted) {
  // In place, so that a program keeps its array's capacity from splice to splice.
  const auto at = FRecords.begin() + At;
  const auto added = static_cast<std::ptrdiff_t>(Inserted.size());
  if (added > Removed) FRecords.insert(at + Removed, static_cast<std::size_t>(added - Removed), TRecord{});
  else FRecords.erase(at + added, at + Removed);
  std::copy(Inserted.begin(), Inserted.end(), FRecords.begin() + At);
}

template <class T>
void TMXGPCompactProgram<T>::Put(int Index, const TMXGPCompactProgram& Source, int SourceIndex, bool Last) {
  TPath path;
  Ancestors(Index, path);
  std::vector<TRecord> copy;
  const std::span<const TRecord> inserted = Range(Source, SourceIndex, copy);
  const int removed = Record(Index).Length;
  if (!Last || path.empty()) {
    Splice(Index, removed, inserted);
  } else {
    // Out of its place first; then in at the end of its parent's records, which have moved up.
    Splice(Index, removed, {});
    Splice(End(path.back()) - removed, 0, inserted);
  }
  for (int ancestor : path)
    FRecords[static_cast<std::size_t>(ancestor)].Length += static_cast<std::int32_t>(inserted.size()) - removed;
}

template <class T>
void TMXGPCompactProgram<T>::AssignSubtree(const TMXGPCompactProgram& Source, int SourceIndex) {
  std::vector<TRecord> copy;
  const std::span<const TRecord> range = Range(Source, SourceIndex, copy);
  FRecords.assign(range.begin(), range.end());
}

template <class T>
TMXGPCompactProgram<T> TMXGPCompactProgram<T>::Subtree(int Index) const {
  TMXGPCompactProgram part;
  part.FRecords.assign(FRecords.begin() + Index, FRecords.begin() + End(Index));
  return part;
}

template <class T>
TMXGPNode<T>* TMXGPCompactProgram<T>::ToTree(IMXGeneticProgramEngine<T>& Engine) const {
  // From the last record back: a node's children are made before it, each subtree whole,
  // and wait on the stack with the first child on top. A node takes its children while
  // it has no parent, so no change walks up a tree.
  std::vector<std::unique_ptr<TNode>> made;
  made.reserve(16);
  for (auto record = FRecords.rbegin(); record != FRecords.rend(); ++record) {
    std::unique_ptr<TNode> node(Engine.CreateNode(record->Instruction, nullptr));
    node->SetValue(record->Value);
    for (int k = 0; k < record->Arity; ++k) {
      node->AddChild(made.back().get());
      made.back().release();
      made.pop_back();
    }
    made.push_back(std::move(node));
  }
  return made.empty() ? nullptr : made.back().release();
}

template <class T>
detail::TGPProgramPrint TMXGPCompactProgram<T>::Print() const {
  detail::TGPProgramPrinter printer;
  for (const TRecord& record : FRecords)
    printer.Step(record.Instruction, static_cast<std::uint64_t>(record.Arity), detail::GPValueBits(record.Value));
  return printer.Finish(FRecords.size());
}

template struct TGPRecord<double>;
template struct TGPRecord<Variant>;
template class TMXGPCompactProgram<double>;
template class TMXGPCompactProgram<Variant>;

}  // namespace evokit
