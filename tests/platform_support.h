// Helpers shared by the tests of the platform layer: the message of an expected exception
// and scratch file names.
#pragma once

#include <filesystem>
#include <string>

#include <unistd.h>

namespace evokit::test {

// The message of the E that Action raises, or "no exception" (another exception escapes).
template <class E, class F>
std::string ErrorOf(F&& Action) {
  try {
    Action();
  } catch (const E& e) {
    return e.Message();
  }
  return "no exception";
}

// A file name in the temporary folder, unique to this process.
inline std::string TempPath(const std::string& Name) {
  return (std::filesystem::temp_directory_path() / ("evokit_" + std::to_string(::getpid()) + "_" + Name)).string();
}

}  // namespace evokit::test
