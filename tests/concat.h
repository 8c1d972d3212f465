// Cat: strings joined by appending, left to right.
//
// GCC 12 at -O3 misreports `"text" + std::string` and `std::string&& + std::string&&`
// (both may insert at the front of the right-hand string) as overlapping copies
// (-Wrestrict). The tests build their names and messages through Cat instead.
#pragma once

#include <string>
#include <string_view>

namespace evokit::test {

template <class... Parts>
std::string Cat(const Parts&... Part) {
  std::string text;
  (text.append(std::string_view(Part)), ...);
  return text;
}

}  // namespace evokit::test
