// Ranking of objects by a single-precision priority: TFloatHeap (a binary heap of
// prioritised object pointers) and TFloatPriorityQueue (the ranked view on top of it
// that elitist selection reads). Both store non-owning pointers; the caller keeps the
// objects alive while they are queued.
// Thread safety: Clear, SetDescending and Push need exclusive access. Count, Descending
// and Objects may run concurrently with each other on one queue (the first Objects call
// after a change ranks the entries once, internally synchronised); TFloatHeap is not
// synchronised at all.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include <evokit/common/mx_exception.h>
#include <evokit/platform/object.h>

namespace evokit {

// Binary heap whose top is the entry that comes first in the ordering: the smallest
// priority (ascending, the default) or the largest (descending). Equal priorities come
// in push order; NaN priorities come after every number, in push order. Clear keeps the
// storage, so refilling to an earlier size allocates nothing.
class TFloatHeap {
 public:
  struct TEntry {
    float Priority;
    std::uint32_t Sequence;  // push order; breaks ties
    TObject* Object;
  };

  explicit TFloatHeap(bool Descending = false) : FDescending(Descending) {}

  bool Descending() const noexcept { return FDescending; }
  // Changes the ordering and rebuilds the heap for it (linear time).
  void SetDescending(bool Value);

  int Count() const noexcept { return static_cast<int>(FEntries.size()); }
  bool Empty() const noexcept { return FEntries.empty(); }
  // Removes every entry and restarts the push order; keeps the capacity.
  void Clear() noexcept;

  // Adds Object with the next sequence number. O(log n).
  void Push(TObject* Object, float Priority);
  // Adds an entry keeping its own sequence number (re-inserting a popped entry).
  void Push(const TEntry& Entry);
  // The first entry in the ordering. Throws EMXException when the heap is empty.
  const TEntry& Top() const;
  // Removes and returns the first entry. Throws EMXException when the heap is empty.
  TEntry Pop();

  // True when A comes strictly before B in the current ordering.
  bool Before(const TEntry& A, const TEntry& B) const noexcept;

 private:
  struct TAfter {  // heap comparator: the std heap keeps the "largest" on top
    const TFloatHeap* Heap;
    bool operator()(const TEntry& A, const TEntry& B) const noexcept { return Heap->Before(B, A); }
  };

  std::vector<TEntry> FEntries;
  std::uint32_t FNextSequence = 0;
  bool FDescending;
};

// Objects ranked by priority: rank 0 is the first object of the ordering (the smallest
// priority, or the largest once SetDescending(true)), ranks 0 to Count() - 1 are the
// pushed objects in order. Ties keep push order; NaN priorities rank last.
// Pushing is O(log n); the ranks are materialised lazily by the first Objects call after
// a change, after which reading a rank is an index into an array. Steady-state use
// (Clear, then as many pushes as before) allocates nothing.
class TFloatPriorityQueue {
 public:
  TFloatPriorityQueue() = default;
  TFloatPriorityQueue(const TFloatPriorityQueue&) = delete;
  TFloatPriorityQueue& operator=(const TFloatPriorityQueue&) = delete;

  // Removes every entry; keeps the ordering and the capacity.
  void Clear() noexcept;
  // False: the smallest priority has rank 0; true: the largest priority has rank 0.
  // Entries already pushed are re-ranked.
  bool Descending() const noexcept { return FHeap.Descending(); }
  void SetDescending(bool Value);
  // Queues Object (not owned, may be null) with Priority.
  void Push(TObject* Object, float Priority);
  int Count() const noexcept { return FCount; }
  // The object at Rank (0 = first in the ordering). Throws EMXException when Rank is
  // outside 0 to Count() - 1.
  TObject* Objects(int Rank) const;

 private:
  void MaterializeRanks() const;

  // Pending entries live in FHeap, ranked ones in FRanked; MaterializeRanks moves
  // everything into FRanked in order. Mutable because ranking is invisible to readers.
  mutable TFloatHeap FHeap;
  mutable std::vector<TFloatHeap::TEntry> FRanked;
  mutable std::mutex FRankLock;
  mutable std::atomic<bool> FDirty{false};
  int FCount = 0;
};

}  // namespace evokit
