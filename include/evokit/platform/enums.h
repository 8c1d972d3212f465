// Enumeration name tables and small set types.
//
// An enumeration gets a name table with EVOKIT_ENUM_NAMES(Type, "name0", "name1", ...)
// at namespace scope; EnumName(value) and EnumValue<Type>(text) then convert both ways;
// EnumTableInOrder and EnumTableRow serve tables with one row per value.
// TSet<E, Storage> is a bit set over an enumeration whose bit n stands for ordinal n.
// Thread safety: everything here is immutable or a value type.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>

namespace evokit {

template <class E>
struct TEnumInfo;  // specialised by EVOKIT_ENUM_NAMES

// Number of values of an enumeration with a name table.
template <class E>
constexpr int EnumCount() {
  return static_cast<int>(TEnumInfo<E>::Names.size());
}

// The value name ("fmMinimize"); an out-of-range ordinal gives its number as text.
template <class E>
std::string EnumName(E Value) {
  const auto ordinal = static_cast<std::size_t>(Value);
  if (ordinal < TEnumInfo<E>::Names.size()) return std::string(TEnumInfo<E>::Names[ordinal]);
  return std::to_string(static_cast<long long>(Value));
}

namespace detail {
inline bool SameAsciiText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}
}  // namespace detail

// The ordinal whose name matches Text (ASCII case ignored), or -1 for no value.
template <class E>
int EnumValue(std::string_view Text) {
  const auto& names = TEnumInfo<E>::Names;
  for (std::size_t i = 0; i < names.size(); ++i)
    if (detail::SameAsciiText(names[i], Text)) return static_cast<int>(i);
  return -1;
}

// Tables over an enumeration (one row per value, in enumeration order, Key naming the
// value of a row): whether Table has exactly that shape, for a static_assert beside it.
template <class E, class TRow, std::size_t N>
constexpr bool EnumTableInOrder(const std::array<TRow, N>& Table, E TRow::*Key) {
  if (N != static_cast<std::size_t>(EnumCount<E>())) return false;
  for (std::size_t i = 0; i < N; ++i)
    if (static_cast<std::size_t>(Table[i].*Key) != i) return false;
  return true;
}
// The row of Value in such a table; row 0 for a value outside the enumeration.
template <class E, class TRow, std::size_t N>
constexpr const TRow& EnumTableRow(const std::array<TRow, N>& Table, E Value) noexcept {
  const auto index = static_cast<std::size_t>(Value);
  return Table[index < N ? index : 0];
}

// Converts Text to E; returns false (leaving Value alone) when Text names no value.
template <class E>
bool TryEnumValue(std::string_view Text, E& Value) {
  const int ordinal = EnumValue<E>(Text);
  if (ordinal < 0) return false;
  Value = static_cast<E>(ordinal);
  return true;
}

#define EVOKIT_ENUM_NAMES(Type, ...)                                                   \
  template <>                                                                          \
  struct TEnumInfo<Type> {                                                             \
    static constexpr auto Names = std::to_array<std::string_view>({__VA_ARGS__});      \
  }

// A set over enumeration E stored in an unsigned integer Storage (bit n = ordinal n).
template <class E, class Storage = std::uint8_t>
class TSet {
  static_assert(std::is_unsigned_v<Storage>);

 public:
  constexpr TSet() = default;
  constexpr TSet(std::initializer_list<E> Elements) {
    for (E e : Elements) FBits = static_cast<Storage>(FBits | Bit(e));
  }
  static constexpr TSet FromValue(Storage Bits) {
    TSet s;
    s.FBits = Bits;
    return s;
  }

  constexpr bool Contains(E e) const { return (FBits & Bit(e)) != 0; }
  constexpr TSet& Include(E e) { FBits = static_cast<Storage>(FBits | Bit(e)); return *this; }
  constexpr TSet& Exclude(E e) { FBits = static_cast<Storage>(FBits & ~Bit(e)); return *this; }
  constexpr bool Empty() const { return FBits == 0; }
  // The bit value ({ordinal 0, 1, 2} is 7).
  constexpr Storage Value() const { return FBits; }

  constexpr TSet operator|(TSet o) const { return FromValue(static_cast<Storage>(FBits | o.FBits)); }
  constexpr TSet operator&(TSet o) const { return FromValue(static_cast<Storage>(FBits & o.FBits)); }
  constexpr TSet operator-(TSet o) const { return FromValue(static_cast<Storage>(FBits & ~o.FBits)); }
  constexpr TSet operator|(E e) const { return *this | TSet{e}; }
  constexpr bool operator==(const TSet&) const = default;

 private:
  static constexpr Storage Bit(E e) { return static_cast<Storage>(Storage{1} << static_cast<unsigned>(e)); }
  Storage FBits = 0;
};

// Text of a set as the value names in brackets: "[goCrossover,goMutate]".
template <class E, class S>
std::string SetToString(TSet<E, S> Value) {
  std::string out = "[";
  bool first = true;
  for (int i = 0; i < EnumCount<E>(); ++i) {
    if (!Value.Contains(static_cast<E>(i))) continue;
    if (!first) out += ',';
    out += TEnumInfo<E>::Names[static_cast<std::size_t>(i)];
    first = false;
  }
  return out + "]";
}

// Reads "[a,b]" (brackets and blanks optional). Returns false and leaves Value alone
// when an element names no value.
template <class E, class S>
bool TryStringToSet(std::string_view Text, TSet<E, S>& Value) {
  TSet<E, S> result;
  std::size_t i = 0;
  auto skip = [&] { while (i < Text.size() && (Text[i] == ' ' || Text[i] == '\t')) ++i; };
  skip();
  if (i < Text.size() && Text[i] == '[') ++i;
  for (;;) {
    skip();
    std::size_t start = i;
    while (i < Text.size() && Text[i] != ',' && Text[i] != ']' && Text[i] != ' ' && Text[i] != '\t') ++i;
    std::string_view name = Text.substr(start, i - start);
    if (!name.empty()) {
      const int ordinal = EnumValue<E>(name);
      if (ordinal < 0) return false;
      result.Include(static_cast<E>(ordinal));
    }
    skip();
    if (i < Text.size() && Text[i] == ',') { ++i; continue; }
    break;
  }
  if (i < Text.size() && Text[i] == ']') ++i;
  skip();
  if (i != Text.size()) return false;
  Value = result;
  return true;
}

}  // namespace evokit
