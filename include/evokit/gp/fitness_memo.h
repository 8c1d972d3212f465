// The fitness memo behind the GP component's ReuseFitness: the raw fitness of the
// programs evaluated in the current and in the previous generation, keyed by a
// fingerprint of the program itself (the shape of the tree, each node's instruction and
// value), so that a program met again is not handed to the fitness handler a second time.
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

#include <evokit/core/consts.h>
#include <evokit/gp/program.h>
#include <evokit/platform/variant.h>

namespace evokit::detail {

// A value as the fingerprint reads it: its representation (0.0 and -0.0 differ), and for
// a Variant its type too.
inline std::uint64_t GPValueBits(double Value) noexcept { return std::bit_cast<std::uint64_t>(Value); }
inline std::uint64_t GPValueBits(const Variant& Value) {
  std::uint64_t bits = 0;
  switch (Value.VarType()) {
    case varBoolean: bits = Value.AsBoolean() ? 1 : 0; break;
    case varInt64: bits = static_cast<std::uint64_t>(Value.AsInt64()); break;
    case varDouble: bits = std::bit_cast<std::uint64_t>(Value.AsFloat()); break;
    case varString: bits = std::hash<std::string>{}(Value.AsString()); break;
    default: break;
  }
  return bits * 0x9E3779B97F4A7C15ull + static_cast<std::uint64_t>(Value.VarType());
}

// A program's fingerprint: two 64-bit hashes, mixed differently, of each node's
// instruction, number of children and value in pre-order. Programs that differ anywhere
// get different fingerprints but for a chance of the order of 2^-128 per pair.
struct TGPProgramPrint {
  std::uint64_t A = 0, B = 0;
  bool operator==(const TGPProgramPrint&) const = default;
};

// The fingerprint's state, fed one node at a time in pre-order (a tree's nodes or a
// compact program's records: both give the same fingerprint).
class TGPProgramPrinter {
 public:
  void Step(const void* Instruction, std::uint64_t Children, std::uint64_t ValueBits) noexcept {
    Absorb(reinterpret_cast<std::uintptr_t>(Instruction));
    Absorb(Children);
    Absorb(ValueBits);
  }
  TGPProgramPrint Finish(std::size_t Nodes) const noexcept {
    // MurmurHash3's finaliser on each: every bit of a state reaches every bit of its hash.
    const auto mix = [](std::uint64_t x) {
      x = (x ^ (x >> 33)) * 0xFF51AFD7ED558CCDull;
      x = (x ^ (x >> 33)) * 0xC4CEB9FE1A85EC53ull;
      return x ^ (x >> 33);
    };
    return {mix(FA), mix(FB ^ Nodes)};
  }

 private:
  void Absorb(std::uint64_t x) noexcept {
    FA = std::rotl((FA ^ x) * 0x9E3779B97F4A7C15ull, 29);
    FB = std::rotl((FB + x) * 0xC2B2AE3D27D4EB4Full, 31) ^ (FB >> 17);
  }
  std::uint64_t FA = 0x9E3779B97F4A7C15ull, FB = 0xD1B54A32D192ED03ull;
};

template <class T>
TGPProgramPrint GPProgramPrint(std::span<TMXGPNode<T>* const> Nodes) {
  TGPProgramPrinter printer;
  for (const TMXGPNode<T>* node : Nodes)
    printer.Step(node->Instruction(), static_cast<std::uint64_t>(node->GetChildCount()), GPValueBits(node->Value()));
  return printer.Finish(Nodes.size());
}

struct TGPProgramPrintHash {
  std::size_t operator()(const TGPProgramPrint& Print) const noexcept { return static_cast<std::size_t>(Print.A); }
};

class TGPFitnessMemo {
 public:
  // The fitness recorded for the program of Print in this generation or the previous
  // one. A hit from the previous generation is carried into this one, so that a program
  // that lives on from generation to generation stays known.
  std::optional<TGAFitness> Find(const TGPProgramPrint& Print) {
    const std::lock_guard<std::mutex> guard(FLock);
    const auto found = FEntries.find(Print);
    if (found == FEntries.end()) return std::nullopt;
    found->second.Generation = FGeneration;
    return found->second.Fitness;
  }
  // Records Fitness for the program of Print (a program already there keeps its value).
  void Record(const TGPProgramPrint& Print, TGAFitness Fitness) {
    const std::lock_guard<std::mutex> guard(FLock);
    FEntries.try_emplace(Print, TEntry{Fitness, FGeneration});
  }
  // A new generation starts: the records of two generations ago are dropped.
  void NextGeneration() {
    ++FGeneration;
    std::erase_if(FEntries, [this](const auto& Entry) { return Entry.second.Generation + 1 < FGeneration; });
  }
  void Clear() { FEntries.clear(); }

 private:
  struct TEntry {
    TGAFitness Fitness;
    std::uint64_t Generation;  // when it was last recorded or found
  };
  std::mutex FLock;
  std::unordered_map<TGPProgramPrint, TEntry, TGPProgramPrintHash> FEntries;
  std::uint64_t FGeneration = 0;
};

}  // namespace evokit::detail
