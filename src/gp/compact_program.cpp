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
  // The children still to come of each open node on the path to the current record.
  std::vector<std::int32_t> left;
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
void TMXGPCompactProgram<T>::Ancestors(int Index, std::vector<int>& Out) const {
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
  std::vector<int> path;
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
void TMXGPCompactProgram<T>::Replace(int Index, const TMXGPCompactProgram& Source, int SourceIndex) {
  const int first = SourceIndex, last = Source.End(SourceIndex);
  std::vector<int> path;
  Ancestors(Index, path);
  const int end = End(Index);
  const std::int32_t growth = (last - first) - (end - Index);
  // The new array is built apart: Source may be this program.
  std::vector<TRecord> records;
  records.reserve(FRecords.size() + static_cast<std::size_t>(std::max(growth, 0)));
  records.insert(records.end(), FRecords.begin(), FRecords.begin() + Index);
  records.insert(records.end(), Source.FRecords.begin() + first, Source.FRecords.begin() + last);
  records.insert(records.end(), FRecords.begin() + end, FRecords.end());
  for (int ancestor : path) records[static_cast<std::size_t>(ancestor)].Length += growth;
  FRecords = std::move(records);
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
