// TMXDictionary<K, V>: the library's hash dictionary, an assignable TPersistent that
// maps unique keys to values. The GP variable table (TMXGPValues<T>, program.h) is one.
// Open addressing with linear probing over a power-of-two slot table; the pairs live in
// a dense array, so iteration is a plain array walk (its order carries no meaning).
// Lookups never allocate, and a caller that looks the same key up again and again can
// compute its hash once with HashOf and pass it in.
// Thread safety: concurrent reads are safe; any write needs exclusive access.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <evokit/platform/exceptions.h>
#include <evokit/platform/object.h>

namespace evokit {

// Hash and equality for string keys that also accept std::string_view and C strings
// without building a std::string. Equality is exact (case-sensitive, byte by byte).
struct TMXStringHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view Key) const noexcept { return std::hash<std::string_view>{}(Key); }
};
struct TMXStringEqual {
  using is_transparent = void;
  // Keys are short names: an inline byte loop beats a call to memcmp.
  bool operator()(std::string_view A, std::string_view B) const noexcept {
    if (A.size() != B.size()) return false;
    for (std::size_t i = 0; i < A.size(); ++i)
      if (A[i] != B[i]) return false;
    return true;
  }
};

namespace detail {
template <class K>
struct TDictionaryDefaults {
  using Hash = std::hash<K>;
  using Equal = std::equal_to<K>;
};
template <>
struct TDictionaryDefaults<std::string> {
  using Hash = TMXStringHash;
  using Equal = TMXStringEqual;
};
}  // namespace detail

template <class K, class V, class THash = typename detail::TDictionaryDefaults<K>::Hash,
          class TKeyEqual = typename detail::TDictionaryDefaults<K>::Equal>
class TMXDictionary : public TPersistent {
 public:
  using TPair = std::pair<K, V>;
  using const_iterator = typename std::vector<TPair>::const_iterator;

  TMXDictionary() = default;
  // Dictionaries are copied through Assign, like every persistent object.
  TMXDictionary(const TMXDictionary&) = delete;
  TMXDictionary& operator=(const TMXDictionary&) = delete;

  std::string ClassName() const override { return "TMXDictionary"; }

  // From a dictionary of the same type: clears this one and adds every pair of Source
  // (Source keeps its pairs). Anything else: EConvertError "Cannot assign ...".
  void Assign(const TPersistent* Source) override {
    const auto* source = dynamic_cast<const TMXDictionary*>(Source);
    if (!source) {
      TPersistent::Assign(Source);
      return;
    }
    if (source == this) return;
    FPairs = source->FPairs;
    FSlots = source->FSlots;
  }

  int Count() const noexcept { return static_cast<int>(FPairs.size()); }

  // The hash of Key as this dictionary computes it, for the TryGetValue overload below.
  template <class Key>
  static std::size_t HashOf(const Key& AKey) noexcept(noexcept(THash{}(AKey))) {
    return THash{}(AKey);
  }

  // Inserts a new pair. A key that is already present raises EListError "Duplicates not
  // allowed" and leaves the dictionary unchanged.
  void Add(const K& Key, const V& Value) {
    const std::size_t hash = HashOf(Key);
    if (Find(Key, hash) >= 0) throw EListError("Duplicates not allowed");
    Insert(Key, Value, hash);
  }
  // Inserts Key, or replaces its value when present.
  void AddOrSetValue(const K& Key, const V& Value) {
    const std::size_t hash = HashOf(Key);
    const std::ptrdiff_t index = Find(Key, hash);
    if (index >= 0) FPairs[static_cast<std::size_t>(index)].second = Value;
    else Insert(Key, Value, hash);
  }

  // The value of Key; EListError "Item not found" when the key is missing.
  template <class Key>
  const V& Items(const Key& AKey) const {
    const std::ptrdiff_t index = Find(AKey, HashOf(AKey));
    if (index < 0) throw EListError("Item not found");
    return FPairs[static_cast<std::size_t>(index)].second;
  }
  const V& operator[](const K& Key) const { return Items(Key); }
  // Replaces the value of a present key; EListError "Item not found" for a missing one.
  void SetItems(const K& Key, const V& Value) {
    const std::ptrdiff_t index = Find(Key, HashOf(Key));
    if (index < 0) throw EListError("Item not found");
    FPairs[static_cast<std::size_t>(index)].second = Value;
  }

  // True and the value when Key is present; false and V{} (the zero value) otherwise.
  // Never raises, never allocates (beyond what copying V itself needs).
  template <class Key>
  bool TryGetValue(const Key& AKey, V& Value) const {
    return TryGetValue(AKey, HashOf(AKey), Value);
  }
  // The same with the key's hash computed beforehand by HashOf(Key).
  template <class Key>
  bool TryGetValue(const Key& AKey, std::size_t KeyHash, V& Value) const {
    const std::ptrdiff_t index = Find(AKey, KeyHash);
    if (index < 0) {
      Value = V{};
      return false;
    }
    Value = FPairs[static_cast<std::size_t>(index)].second;
    return true;
  }
  // A pointer to the stored value of Key, or nullptr; valid until the next change.
  template <class Key>
  const V* Lookup(const Key& AKey, std::size_t KeyHash) const noexcept {
    const std::ptrdiff_t index = Find(AKey, KeyHash);
    return index < 0 ? nullptr : &FPairs[static_cast<std::size_t>(index)].second;
  }

  template <class Key>
  bool ContainsKey(const Key& AKey) const {
    return Find(AKey, HashOf(AKey)) >= 0;
  }
  // Linear search over the values with ==.
  bool ContainsValue(const V& Value) const {
    for (const TPair& pair : FPairs)
      if (pair.second == Value) return true;
    return false;
  }

  // Removes Key; a missing key is ignored.
  void Remove(const K& Key) {
    const std::size_t hash = HashOf(Key);
    if (FSlots.empty()) return;
    const std::size_t mask = FSlots.size() - 1;
    std::size_t slot = hash & mask;
    for (;;) {
      const TSlot& s = FSlots[slot];
      if (s.Index < 0) return;
      if (s.Hash == hash && TKeyEqual{}(FPairs[static_cast<std::size_t>(s.Index)].first, Key)) break;
      slot = (slot + 1) & mask;
    }
    const auto index = static_cast<std::size_t>(FSlots[slot].Index);
    EraseSlot(slot);
    // Keep the pairs dense: the last pair moves into the freed position.
    const std::size_t last = FPairs.size() - 1;
    if (index != last) {
      TSlot& moved = SlotOfIndex(last);
      moved.Index = static_cast<std::int32_t>(index);
      FPairs[index] = std::move(FPairs[last]);
    }
    FPairs.pop_back();
  }

  void Clear() noexcept {
    FPairs.clear();
    FSlots.clear();
  }

  // Pairs, keys and values as arrays (copies).
  std::vector<TPair> ToArray() const { return FPairs; }
  std::vector<K> Keys() const {
    std::vector<K> keys;
    keys.reserve(FPairs.size());
    for (const TPair& pair : FPairs) keys.push_back(pair.first);
    return keys;
  }
  std::vector<V> Values() const {
    std::vector<V> values;
    values.reserve(FPairs.size());
    for (const TPair& pair : FPairs) values.push_back(pair.second);
    return values;
  }

  // Enumeration of the pairs; adding or removing invalidates the iterators.
  const_iterator begin() const noexcept { return FPairs.begin(); }
  const_iterator end() const noexcept { return FPairs.end(); }

 private:
  struct TSlot {
    std::size_t Hash;
    std::int32_t Index;  // into FPairs; -1 for an empty slot
  };
  static constexpr std::size_t kMinSlots = 16;

  template <class Key>
  std::ptrdiff_t Find(const Key& AKey, std::size_t KeyHash) const noexcept {
    if (FSlots.empty()) return -1;
    const std::size_t mask = FSlots.size() - 1;
    std::size_t slot = KeyHash & mask;
    for (;;) {
      const TSlot& s = FSlots[slot];
      if (s.Index < 0) return -1;
      if (s.Hash == KeyHash && TKeyEqual{}(FPairs[static_cast<std::size_t>(s.Index)].first, AKey)) return s.Index;
      slot = (slot + 1) & mask;
    }
  }

  void Insert(const K& Key, const V& Value, std::size_t KeyHash) {
    // At most half the slots are used, so probe sequences stay short.
    if ((FPairs.size() + 1) * 2 > FSlots.size()) Rehash(FSlots.empty() ? kMinSlots : FSlots.size() * 2);
    FPairs.emplace_back(Key, Value);
    Place(KeyHash, static_cast<std::int32_t>(FPairs.size() - 1));
  }

  void Place(std::size_t KeyHash, std::int32_t Index) noexcept {
    const std::size_t mask = FSlots.size() - 1;
    std::size_t slot = KeyHash & mask;
    while (FSlots[slot].Index >= 0) slot = (slot + 1) & mask;
    FSlots[slot] = TSlot{KeyHash, Index};
  }

  void Rehash(std::size_t SlotCount) {
    std::vector<TSlot> old(SlotCount, TSlot{0, -1});
    old.swap(FSlots);
    for (const TSlot& s : old)
      if (s.Index >= 0) Place(s.Hash, s.Index);
  }

  // Empties a slot and shifts later members of its probe run back (no tombstones).
  void EraseSlot(std::size_t Slot) noexcept {
    const std::size_t mask = FSlots.size() - 1;
    std::size_t hole = Slot;
    std::size_t next = Slot;
    for (;;) {
      next = (next + 1) & mask;
      if (FSlots[next].Index < 0) break;
      const std::size_t home = FSlots[next].Hash & mask;
      // The entry may fill the hole when the hole lies on its probe path (home .. next).
      if (((next - home) & mask) >= ((next - hole) & mask)) {
        FSlots[hole] = FSlots[next];
        hole = next;
      }
    }
    FSlots[hole].Index = -1;
  }

  TSlot& SlotOfIndex(std::size_t Index) noexcept {
    const std::size_t mask = FSlots.size() - 1;
    std::size_t slot = HashOf(FPairs[Index].first) & mask;
    while (FSlots[slot].Index != static_cast<std::int32_t>(Index)) slot = (slot + 1) & mask;
    return FSlots[slot];
  }

  std::vector<TPair> FPairs;
  std::vector<TSlot> FSlots;
};

}  // namespace evokit
