#include <evokit/common/float_priority_queue.h>

#include <algorithm>
#include <cmath>
#include <string>

namespace evokit {

// --- TFloatHeap ------------------------------------------------------------

bool TFloatHeap::Before(const TEntry& A, const TEntry& B) const noexcept {
  const bool a_nan = std::isnan(A.Priority);
  const bool b_nan = std::isnan(B.Priority);
  if (a_nan || b_nan) {
    if (a_nan != b_nan) return b_nan;
    return A.Sequence < B.Sequence;
  }
  if (A.Priority != B.Priority) return FDescending ? A.Priority > B.Priority : A.Priority < B.Priority;
  return A.Sequence < B.Sequence;
}

void TFloatHeap::SetDescending(bool Value) {
  if (Value == FDescending) return;
  FDescending = Value;
  std::make_heap(FEntries.begin(), FEntries.end(), TAfter{this});
}

void TFloatHeap::Clear() noexcept {
  FEntries.clear();
  FNextSequence = 0;
}

void TFloatHeap::Push(TObject* Object, float Priority) { Push(TEntry{Priority, FNextSequence++, Object}); }

void TFloatHeap::Push(const TEntry& Entry) {
  FEntries.push_back(Entry);
  std::push_heap(FEntries.begin(), FEntries.end(), TAfter{this});
}

const TFloatHeap::TEntry& TFloatHeap::Top() const {
  if (FEntries.empty()) throw EMXException("The float heap is empty");
  return FEntries.front();
}

TFloatHeap::TEntry TFloatHeap::Pop() {
  if (FEntries.empty()) throw EMXException("The float heap is empty");
  std::pop_heap(FEntries.begin(), FEntries.end(), TAfter{this});
  const TEntry top = FEntries.back();
  FEntries.pop_back();
  return top;
}

// --- TFloatPriorityQueue ---------------------------------------------------

void TFloatPriorityQueue::Clear() noexcept {
  FHeap.Clear();
  FRanked.clear();
  FCount = 0;
  FDirty.store(false, std::memory_order_release);
}

void TFloatPriorityQueue::SetDescending(bool Value) {
  if (Value == FHeap.Descending()) return;
  // Ranked entries go back into the heap so that the next read ranks them anew.
  for (const auto& entry : FRanked) FHeap.Push(entry);
  FRanked.clear();
  FHeap.SetDescending(Value);
  FDirty.store(FCount > 0, std::memory_order_release);
}

void TFloatPriorityQueue::Push(TObject* Object, float Priority) {
  if (!FRanked.empty()) {
    // A new entry may rank before entries already materialised: merge them again.
    for (const auto& entry : FRanked) FHeap.Push(entry);
    FRanked.clear();
  }
  FHeap.Push(Object, Priority);
  ++FCount;
  FDirty.store(true, std::memory_order_release);
}

void TFloatPriorityQueue::MaterializeRanks() const {
  std::lock_guard<std::mutex> guard(FRankLock);
  if (!FDirty.load(std::memory_order_relaxed)) return;  // another reader ranked meanwhile
  while (!FHeap.Empty()) FRanked.push_back(FHeap.Pop());
  FDirty.store(false, std::memory_order_release);
}

TObject* TFloatPriorityQueue::Objects(int Rank) const {
  if (Rank < 0 || Rank >= FCount) {
    throw EMXException("Priority queue rank " + std::to_string(Rank) + " out of range (count " +
                       std::to_string(FCount) + ")");
  }
  if (FDirty.load(std::memory_order_acquire)) MaterializeRanks();
  return FRanked[static_cast<std::size_t>(Rank)].Object;
}

}  // namespace evokit
