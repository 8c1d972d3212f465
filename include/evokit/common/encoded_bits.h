// TMXEncodedBits: a resizable bit string with typed access to bit fields, the base of the
// GA chromosome. It owns its bits and the word-level kernels that the genetic operators
// are built from; drawing random numbers is left to callers, which pass their draws in.
// Size, Bits, SetBits and OpenBit behave as those of the platform's TBits (same errors,
// SetBits past the end grows), and Assign converts both ways between the two classes.
// Thread safety: none internally. Const members may run concurrently on one object;
// anything that changes it (including SetPreserveSignBit) needs exclusive access.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <evokit/common/mx_exception.h>
#include <evokit/platform/object.h>

namespace evokit {

// Formats
// - Bit i lives in word i / 64 at bit position i % 64 of a 64-bit word.
// - A field is the run of bits Offset to Offset + Size - 1. Numbers are stored least
//   significant bit first: bit Offset holds bit 0 of the value, bit Offset + Size - 1 the
//   top bit (the sign bit of a signed field).
// - Integer fields (GetAsInteger, GetAsInt64 and their setters) are 0 to 32 and 0 to 64
//   bits wide. A write stores the low Size bits of the value's two's-complement form,
//   whatever PreserveSignBit says; PreserveSignBit only changes reads: false
//   zero-extends (unsigned, 0 to 2^Size - 1), true sign-extends (-2^(Size-1) to
//   2^(Size-1) - 1). Every value within the field's range reads back unchanged; a value
//   outside it is stored modulo 2^Size. A 32-bit field holding 2^32 - 1 reads as -1
//   through GetAsInteger (the int32 with the same bits) and, unsigned, as 4294967295
//   through GetAsInt64.
// - A field of Size 0 holds nothing: it reads 0, false, "" and ignores integer and
//   boolean writes.
// - Boolean fields have any width: true is stored as the number 1, false as 0; a read is
//   true when any bit of the field is set.
// - Float fields are 32 or 64 bits wide and hold the IEEE-754 bit pattern of a single
//   (32 bits) or a double (64 bits), in the integer layout above; PreserveSignBit plays
//   no part (the sign is the pattern's top bit). GetAsFloat/SetAsFloat and
//   GetAsDouble/SetAsDouble accept both widths and convert: a single read from a 64-bit
//   field is the stored double rounded to single, a double written to a 32-bit field is
//   rounded to single (beyond the single range it becomes the largest single or an
//   infinity, by IEEE rounding). Every single written reads back bit for bit through
//   GetAsFloat, every double through GetAsDouble on a 64-bit field. Any other width
//   raises EMXException.
// - Bit text is one character per bit, '0' or '1', in index order: the first character
//   is bit Offset (bit 0 for ToBitString). ToString is the same text as ToBitString, so
//   bit strings of equal Size have equal text exactly when their bits are equal.
// - SetAsBitString accepts only '0' and '1' (anything else raises EMXException and
//   changes nothing). A text shorter than the field fills the field's first bits and
//   clears the rest; the characters of a longer text past the field's Size are checked
//   and then ignored.
// - Errors: a field with a negative Offset or Size, a Size above the type's width, or
//   reaching past the bit string's Size raises EMXException before anything is written,
//   as do the kernels for a bad range. A bit index or Size that TBits rejects raises
//   EListError "Bits index out of range". A failed call leaves the bits as they were.
// The position of the first character of Text that is neither '0' nor '1', or npos;
// valid text is scanned a word at a time.
std::size_t FindNonBitChar(std::string_view Text) noexcept;

class TMXEncodedBits : public TPersistent {
 public:
  // An empty bit string: Size 0, PreserveSignBit false.
  TMXEncodedBits() = default;
  ~TMXEncodedBits() override = default;

  std::string ClassName() const override { return "TMXEncodedBits"; }

  // The largest Size: 2^30 bits (128 MiB). The bound keeps every offset, count and loop
  // counter of the bit-level code well inside int.
  static constexpr int MaxSize = 1 << 30;

  // Number of bits.
  int Size() const noexcept { return FSize; }
  // Resizes to Value bits; bits kept keep their values, new bits are false. Shrinking
  // keeps the storage, so growing back allocates nothing. Negative: EListError; above
  // MaxSize: EListError "Bits size <n> exceeds the maximum of 1073741824".
  void SetSize(int Value);

  // Bit Index. Outside 0 to Size - 1: EListError.
  bool Bits(int Index) const {
    if (Index < 0 || Index >= FSize) IndexError();
    return (FWords[static_cast<std::size_t>(Index) >> 6] >> (Index & 63)) & 1u;
  }
  // Sets bit Index; an Index at or past Size first grows the string to Index + 1 bits.
  // A negative Index, or one at or past MaxSize: EListError.
  void SetBits(int Index, bool Value) {
    if (Index < 0 || Index >= FSize) GrowFor(Index);
    const std::uint64_t mask = std::uint64_t{1} << (Index & 63);
    std::uint64_t& word = FWords[static_cast<std::size_t>(Index) >> 6];
    word = Value ? (word | mask) : (word & ~mask);
  }
  bool operator[](int Index) const { return Bits(Index); }
  // Index of the first false bit, or Size when every bit is true.
  int OpenBit() const noexcept;

  // Whether integer reads sign-extend; see Formats. Not copied by Assign.
  bool PreserveSignBit() const noexcept { return FPreserveSignBit; }
  void SetPreserveSignBit(bool Value) noexcept { FPreserveSignBit = Value; }

  // Typed fields (see Formats for the layouts, ranges and errors).
  std::int32_t GetAsInteger(int Offset, int Size) const {  // Size 0 to 32
    CheckField(Offset, Size, 32, "Integer");
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(ExtractSigned(Offset, Size)));
  }
  void SetAsInteger(int Offset, int Size, std::int32_t Value) {
    CheckField(Offset, Size, 32, "Integer");
    Deposit(Offset, Size, static_cast<std::uint64_t>(static_cast<std::int64_t>(Value)));
  }
  std::int64_t GetAsInt64(int Offset, int Size) const {  // Size 0 to 64
    CheckField(Offset, Size, 64, "Int64");
    return static_cast<std::int64_t>(ExtractSigned(Offset, Size));
  }
  void SetAsInt64(int Offset, int Size, std::int64_t Value) {
    CheckField(Offset, Size, 64, "Int64");
    Deposit(Offset, Size, static_cast<std::uint64_t>(Value));
  }
  bool GetAsBoolean(int Offset, int Size) const;  // any Size
  void SetAsBoolean(int Offset, int Size, bool Value);
  float GetAsFloat(int Offset, int Size) const;  // Size 32 or 64
  void SetAsFloat(int Offset, int Size, float Value);
  double GetAsDouble(int Offset, int Size) const;  // Size 32 or 64
  void SetAsDouble(int Offset, int Size, double Value);
  // The field as bit text; any Size.
  std::string GetAsBitString(int Offset, int Size) const;
  // Sets the field from bit text; any Size. SetAsBitString(0, Size(), ToBitString())
  // restores the bits exactly.
  void SetAsBitString(int Offset, int Size, std::string_view Text);

  // The bit text of all Size bits.
  virtual std::string ToBitString() const;
  // The text of the whole contents: the same as ToBitString.
  virtual std::string ToString() const;

  // Copies the size and every bit of a TMXEncodedBits or a TBits (or descendants);
  // PreserveSignBit is kept. Reuses the storage when it is large enough. Any other
  // source raises EConvertError (the cannot-assign error) and leaves this unchanged.
  void Assign(const TPersistent* Source) override;

  // Same Size and the same bits.
  bool Equals(const TMXEncodedBits& Other) const noexcept {
    return FSize == Other.FSize && FWords == Other.FWords;
  }
  // Number of bits set.
  int CountSetBits() const noexcept;
  // A hash of Size and the bits: equal strings hash alike.
  std::size_t Hash() const noexcept;

  // --- Kernels of the genetic operators ----------------------------------------------
  // All validate their ranges first (EMXException, nothing changed) and work a 64-bit
  // word at a time where the alignment allows.

  // Copies Count bits of Source starting at SourceOffset to this string starting at
  // DestOffset. Source may be this object, with overlapping ranges (the copy behaves as
  // if through a temporary). One-point crossover into this string is
  //   n1 = clamp(CrossBit, 0, min(Source1.Size(), Size()));
  //   CopyBits(0, Source1, 0, n1);
  //   n2 = min(Source2.Size(), Size()); if (n2 > n1) CopyBits(n1, Source2, n1, n2 - n1);
  void CopyBits(int DestOffset, const TMXEncodedBits& Source, int SourceOffset, int Count);

  // Complements the Count bits starting at Offset (run inversion).
  void FlipBits(int Offset, int Count);

  // XORs the low Count bits of Mask into the Count (0 to 64) bits starting at Offset:
  // bit Offset + i flips when bit i of Mask is set.
  void XorBits(int Offset, int Count, std::uint64_t Mask);

  // Per-bit mutation of the Count bits starting at Offset, with the caller's draws:
  // bit Offset + i flips when Probability > Draws[i] / 2^64, that is, when Probability
  // exceeds a uniform draw from [0, 1) given as a 64-bit integer. Probability >= 1 flips
  // every bit, Probability <= 0 (or NaN) none; the draws are read only when
  // 0 < Probability < 1. Draws must point to Count values when Count > 0. Returns the
  // number of bits flipped. Passing TRandomStream::Next() & ~0x7FF as each draw makes
  // exactly the decision that Probability > Random() makes with the same stream (Random
  // keeps the top 53 bits of Next), at a fraction of the cost.
  int MutateBits(int Offset, int Count, const std::uint64_t* Draws, double Probability);

 protected:
  // Copies are made through Assign; the protected copy lets descendants copy
  // themselves without slicing through the base.
  TMXEncodedBits(const TMXEncodedBits&) = default;
  TMXEncodedBits& operator=(const TMXEncodedBits&) = default;
  // Copies into a TBits destination; other destinations get the cannot-assign error.
  void AssignTo(TPersistent* Dest) const override;

 private:
  [[noreturn]] static void IndexError();
  [[noreturn]] static void SizeError(int Value);
  void GrowFor(int Index);
  // Raises unless 0 <= Offset, 0 <= Size <= MaxSize and Offset + Size <= this->Size().
  void CheckField(int Offset, int Size, int MaxSize, const char* What) const {
    if (Size < 0 || Size > MaxSize || Offset < 0 || static_cast<std::int64_t>(Offset) + Size > FSize)
      FieldError(Offset, Size, MaxSize, What);
  }
  [[noreturn]] void FieldError(int Offset, int Size, int MaxSize, const char* What) const;
  static void CheckFloatSize(int Size);

  // Unchecked field access for 0 <= Size <= 64 inside the string. The field's bits are
  // the low bits of the value; a field crossing a word boundary touches two words.
  static constexpr std::uint64_t LowMask(int Size) noexcept {
    return Size >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << Size) - 1;
  }
  std::uint64_t Extract(int Offset, int Size) const noexcept {
    if (Size == 0) return 0;
    const std::size_t word = static_cast<std::size_t>(Offset) >> 6;
    const int shift = Offset & 63;
    std::uint64_t value = FWords[word] >> shift;
    if (shift + Size > 64) value |= FWords[word + 1] << (64 - shift);
    return value & LowMask(Size);
  }
  void Deposit(int Offset, int Size, std::uint64_t Value) noexcept {
    if (Size == 0) return;
    const std::uint64_t mask = LowMask(Size);
    Value &= mask;
    const std::size_t word = static_cast<std::size_t>(Offset) >> 6;
    const int shift = Offset & 63;
    FWords[word] = (FWords[word] & ~(mask << shift)) | (Value << shift);
    if (shift + Size > 64) {
      const int low = 64 - shift;  // bits that went into the first word
      FWords[word + 1] = (FWords[word + 1] & ~(mask >> low)) | (Value >> low);
    }
  }
  std::uint64_t ExtractSigned(int Offset, int Size) const noexcept {
    std::uint64_t value = Extract(Offset, Size);
    if (FPreserveSignBit && Size > 0 && Size < 64 && ((value >> (Size - 1)) & 1u)) value |= ~LowMask(Size);
    return value;
  }
  void XorField(int Offset, int Size, std::uint64_t Mask) noexcept;
  void AppendText(std::string& Out, int Offset, int Size) const;

  std::vector<std::uint64_t> FWords;  // bits past FSize are always zero
  int FSize = 0;
  bool FPreserveSignBit = false;
};

}  // namespace evokit
