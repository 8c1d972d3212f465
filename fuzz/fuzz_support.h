// Shared pieces of the libFuzzer targets: the input as text, the split between refusals
// (the library's own exceptions, all derived from evokit::Exception) and faults, and the
// checks that abort the run when a property of a successful load does not hold.
// Anything that is not an evokit::Exception (std::bad_alloc, a foreign exception, a
// crash, a sanitizer report) escapes the target and libFuzzer reports it.
#pragma once

#include <evokit/platform/exceptions.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace evokit::fuzz {

inline std::string Text(const std::uint8_t* Data, std::size_t Size) {
  return std::string(reinterpret_cast<const char*>(Data), Size);
}

// Runs Action; true when it finished, false when the library refused the input with one
// of its exceptions.
template <class F>
bool Accepted(F&& Action) {
  try {
    Action();
    return true;
  } catch (const evokit::Exception&) {
    return false;
  }
}

// Aborts with a message when Condition is false: libFuzzer saves the input as a crash.
inline void Require(bool Condition, std::string_view What, std::string_view Detail = {}) {
  if (Condition) return;
  std::fprintf(stderr, "fuzz check failed: %.*s\n%.*s\n", static_cast<int>(What.size()), What.data(),
               static_cast<int>(Detail.size()), Detail.data());
  std::abort();
}

// The text saved after a successful load must load again, and a second round must not
// change it any more: Save(Load(Save(Load(Saved)))) == Save(Load(Saved)). (One round may
// still change it: a document can hold what its saver normalises, such as a GenoType
// Size above the genes' total size, which the saver replaces by that total.)
template <class F>
void RequireReloads(const std::string& Saved, F&& LoadAndSave) {
  const auto reload = [&](const std::string& Text) {
    try {
      return LoadAndSave(Text);
    } catch (const evokit::Exception& e) {
      Require(false, std::string("a saved text does not load again: ") + e.ClassName() + ": " + e.Message(), Text);
      throw;
    }
  };
  const std::string once = reload(Saved);
  const std::string twice = reload(once);
  Require(twice == once, "saving a reloaded text changes it again", once + "\n--- then ---\n" + twice);
}

}  // namespace evokit::fuzz
