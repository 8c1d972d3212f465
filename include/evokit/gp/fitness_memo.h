// The fitness memo behind the GP component's ReuseFitness: the raw fitness of the
// programs evaluated in the current and in the previous generation, keyed by the program
// itself (the shape of the tree, each node's instruction and value), so that a program
// met again is not handed to the fitness handler a second time. A program is read from
// its individual's pre-order node list; the memo keeps a flat copy of what it compares.
// The component decides when to look up and when to record (genetic_programming.impl.h).
// Thread safety: Find and Record may be called from several threads at once (one lock);
// NextGeneration and Clear need exclusive access.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
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

template <class T>
class TGPFitnessMemo {
 public:
  // A program: its nodes in pre-order (TMXGPIndividual::FlattenedDNA). Two programs with
  // the same instruction, number of children and value at every position execute alike.
  using TNodes = std::span<TMXGPNode<T>* const>;

  static std::uint64_t Hash(TNodes Nodes) {
    std::uint64_t h = 0x9E3779B97F4A7C15ull;
    for (const TMXGPNode<T>* node : Nodes) {
      h = Step(h, reinterpret_cast<std::uintptr_t>(node->Instruction()));
      h = Step(h, static_cast<std::uint64_t>(node->GetChildCount()));
      h = Step(h, GPValueBits(node->Value()));
    }
    // MurmurHash3's finaliser: every bit of the state reaches every bit of the hash.
    h = (h ^ (h >> 33)) * 0xFF51AFD7ED558CCDull;
    h = (h ^ (h >> 33)) * 0xC4CEB9FE1A85EC53ull;
    return h ^ (h >> 33);
  }
  static bool Same(TNodes A, TNodes B) {
    if (A.size() != B.size()) return false;
    for (std::size_t i = 0; i < A.size(); ++i)
      if (A[i]->Instruction() != B[i]->Instruction() || A[i]->GetChildCount() != B[i]->GetChildCount() ||
          !GPSameValue(A[i]->Value(), B[i]->Value()))
        return false;
    return true;
  }

  // The fitness recorded for the program Nodes (whose Hash is given) in this generation
  // or the previous one. A hit from the previous generation is carried into this one, so
  // that a program that lives on from generation to generation stays known.
  std::optional<TGAFitness> Find(std::uint64_t Key, TNodes Nodes) {
    const std::lock_guard<std::mutex> guard(FLock);
    for (auto [at, end] = FEntries.equal_range(Key); at != end; ++at)
      if (Matches(at->second.Program, Nodes)) {
        at->second.Generation = FGeneration;
        return at->second.Fitness;
      }
    return std::nullopt;
  }
  // Records Fitness for the program Nodes (a program already there keeps its value).
  void Record(std::uint64_t Key, TNodes Nodes, TGAFitness Fitness) {
    std::vector<TRecord> program;
    program.reserve(Nodes.size());
    for (const TMXGPNode<T>* node : Nodes) program.push_back({node->Instruction(), node->GetChildCount(), node->Value()});
    const std::lock_guard<std::mutex> guard(FLock);
    for (auto [at, end] = FEntries.equal_range(Key); at != end; ++at)
      if (Matches(at->second.Program, Nodes)) return;
    FEntries.emplace(Key, TEntry{std::move(program), Fitness, FGeneration});
  }
  // A new generation starts: the records of two generations ago are dropped.
  void NextGeneration() {
    ++FGeneration;
    std::erase_if(FEntries, [this](const auto& Entry) { return Entry.second.Generation + 1 < FGeneration; });
  }
  void Clear() { FEntries.clear(); }

 private:
  struct TRecord {
    const TMXGPInstruction<T>* Instruction;
    int Children;
    T Value;
  };
  struct TEntry {
    std::vector<TRecord> Program;
    TGAFitness Fitness;
    std::uint64_t Generation;  // when it was last recorded or found
  };
  static std::uint64_t Step(std::uint64_t h, std::uint64_t x) noexcept {
    return std::rotl((h ^ x) * 0x9E3779B97F4A7C15ull, 29);
  }
  static bool Matches(const std::vector<TRecord>& Program, TNodes Nodes) {
    if (Program.size() != Nodes.size()) return false;
    for (std::size_t i = 0; i < Nodes.size(); ++i)
      if (Program[i].Instruction != Nodes[i]->Instruction() || Program[i].Children != Nodes[i]->GetChildCount() ||
          !GPSameValue(Program[i].Value, Nodes[i]->Value()))
        return false;
    return true;
  }

  std::mutex FLock;
  std::unordered_multimap<std::uint64_t, TEntry> FEntries;
  std::uint64_t FGeneration = 0;
};

}  // namespace evokit::detail
