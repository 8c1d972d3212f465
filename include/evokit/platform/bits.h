// TBits: a resizable array of bits with indexed access, the base of the encoded bit
// strings that chromosomes are made of. Bits past Size are always false, so shrinking
// and growing again yields false bits.
// Thread safety: none; distinct objects may be used from different threads.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <evokit/platform/object.h>

namespace evokit {

class TBits : public TPersistent {
 public:
  TBits() = default;
  std::string ClassName() const override { return "TBits"; }

  int Size() const noexcept { return FSize; }
  // Resizes; new bits are false. A negative size raises EListError
  // "Bits index out of range" and leaves the bits unchanged.
  void SetSize(int Value);

  // The bit at Index; EListError "Bits index out of range" when Index is negative or
  // not below Size.
  bool Bits(int Index) const;
  bool operator[](int Index) const { return Bits(Index); }
  // Sets the bit at Index; an Index at or past Size first grows the array to Index + 1
  // bits. A negative Index (or INT_MAX) raises EListError "Bits index out of range".
  void SetBits(int Index, bool Value);

  // Index of the first false bit, or Size when every bit is true.
  int OpenBit() const noexcept;

  // Copies the size and every bit of another TBits; any other source goes to
  // TPersistent::Assign (EConvertError).
  void Assign(const TPersistent* Source) override;

  // Same size and the same bits.
  friend bool operator==(const TBits& A, const TBits& B) noexcept {
    return A.FSize == B.FSize && A.FWords == B.FWords;
  }

 protected:
  // Copying a polymorphic base could slice; copy through Assign.
  TBits(const TBits&) = default;
  TBits& operator=(const TBits&) = default;
  [[noreturn]] static void RangeError();

 private:
  static constexpr int kWordBits = 64;
  std::vector<std::uint64_t> FWords;
  int FSize = 0;
};

}  // namespace evokit
