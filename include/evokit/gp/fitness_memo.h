// The fitness memo behind the GP component's ReuseFitness: the raw fitness of the
// programs evaluated in the current and in the previous generation, keyed by the program
// itself (the shape of the tree, each node's instruction and value), so that a program
// met again is not handed to the fitness handler a second time. The component decides
// when to look up and when to record (genetic_programming.impl.h).
// Thread safety: Find and Record may be called from several threads at once (one lock);
// NextGeneration and Clear need exclusive access.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <evokit/core/consts.h>
#include <evokit/gp/program.h>
#include <evokit/platform/variant.h>

namespace evokit::detail {

// Values compare by their representation: equal only when they would execute alike
// (0.0 and -0.0 differ; a NaN equals the same NaN).
inline std::uint64_t GPValueBits(double Value) noexcept { return std::bit_cast<std::uint64_t>(Value); }
inline std::uint64_t GPValueBits(const Variant& Value) {
  switch (Value.VarType()) {
    case varBoolean: return Value.AsBoolean() ? 1 : 0;
    case varInt64: return static_cast<std::uint64_t>(Value.AsInt64());
    case varDouble: return std::bit_cast<std::uint64_t>(Value.AsFloat());
    case varString: return std::hash<std::string>{}(Value.AsString());
    default: return 0;
  }
}
inline bool GPSameValue(double A, double B) noexcept { return GPValueBits(A) == GPValueBits(B); }
inline bool GPSameValue(const Variant& A, const Variant& B) {
  if (A.VarType() != B.VarType()) return false;
  return A.VarType() == varString ? A.AsString() == B.AsString() : GPValueBits(A) == GPValueBits(B);
}

// A program as the memo compares it: in pre-order, each node's instruction, number of
// children and value. Two trees with equal keys execute alike under the same context.
template <class T>
class TGPProgramKey {
 public:
  TGPProgramKey() = default;
  explicit TGPProgramKey(const TMXGPNode<T>& Root) {
    std::vector<const TMXGPNode<T>*> pending{&Root};
    std::uint64_t hash = 0x9E3779B97F4A7C15ull;
    while (!pending.empty()) {
      const TMXGPNode<T>* node = pending.back();
      pending.pop_back();
      const int children = node->GetChildCount();
      FNodes.push_back({node->Instruction(), children});
      FValues.push_back(node->Value());
      hash = Mix(hash ^ reinterpret_cast<std::uintptr_t>(node->Instruction()));
      hash = Mix(hash ^ static_cast<std::uint64_t>(children));
      hash = Mix(hash ^ GPValueBits(node->Value()));
      for (int i = children - 1; i >= 0; --i)
        if (const TMXGPNode<T>* child = node->GetChild(i)) pending.push_back(child);
    }
    FHash = static_cast<std::size_t>(hash);
  }

  std::size_t Hash() const noexcept { return FHash; }
  bool operator==(const TGPProgramKey& Other) const {
    if (FHash != Other.FHash || FNodes != Other.FNodes) return false;
    for (std::size_t i = 0; i < FValues.size(); ++i)
      if (!GPSameValue(FValues[i], Other.FValues[i])) return false;
    return true;
  }

 private:
  struct TNodeKey {
    const TMXGPInstruction<T>* Instruction;
    int Children;
    bool operator==(const TNodeKey&) const = default;
  };
  // A 64-bit finaliser (MurmurHash3's): every input bit reaches every output bit.
  static std::uint64_t Mix(std::uint64_t x) noexcept {
    x = (x ^ (x >> 33)) * 0xFF51AFD7ED558CCDull;
    x = (x ^ (x >> 33)) * 0xC4CEB9FE1A85EC53ull;
    return x ^ (x >> 33);
  }

  std::vector<TNodeKey> FNodes;
  std::vector<T> FValues;
  std::size_t FHash = 0;
};

template <class T>
struct TGPProgramKeyHash {
  std::size_t operator()(const TGPProgramKey<T>& Key) const noexcept { return Key.Hash(); }
};

template <class T>
class TGPFitnessMemo {
 public:
  // The fitness recorded for Key in this generation or the previous one. A hit from the
  // previous generation is carried into this one, so that a program that lives on from
  // generation to generation stays known.
  std::optional<TGAFitness> Find(const TGPProgramKey<T>& Key) {
    const std::lock_guard<std::mutex> guard(FLock);
    if (const auto found = FCurrent.find(Key); found != FCurrent.end()) return found->second;
    const auto found = FPrevious.find(Key);
    if (found == FPrevious.end()) return std::nullopt;
    FCurrent.emplace(Key, found->second);
    return found->second;
  }
  // Records Fitness for Key in this generation (a key already there keeps its value).
  void Record(TGPProgramKey<T> Key, TGAFitness Fitness) {
    const std::lock_guard<std::mutex> guard(FLock);
    FCurrent.emplace(std::move(Key), Fitness);
  }
  // A new generation starts: this generation's records become the previous ones, and
  // the older ones are dropped.
  void NextGeneration() {
    FPrevious = std::move(FCurrent);
    FCurrent.clear();
  }
  void Clear() {
    FPrevious.clear();
    FCurrent.clear();
  }

 private:
  using TTable = std::unordered_map<TGPProgramKey<T>, TGAFitness, TGPProgramKeyHash<T>>;
  std::mutex FLock;
  TTable FCurrent, FPrevious;
};

}  // namespace evokit::detail
