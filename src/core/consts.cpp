#include <evokit/core/consts.h>

#include <mutex>

namespace evokit {
namespace {

const std::array<const char*, MXMessageCount> kBuiltIn = {
    "No fitness function defined",
    "No custom selection function defined",
    "No constant mutation function defined",
    "No enumerated value found in chromosome",
    "\"%s\" is not a valid enumerated value",
    "instruction name must be unique",
    "Unknown instruction \"%s\"",
    "%i is an invalid instruction set encoding",
    "Invalid number of arguments (%d) for \"%s\" instruction",
    "Missing Virtual Machine",
    "Missing Genetic Program Engine",
    "INVALID OPERATION",
    "No terminals found",
    "No operations found",
    "No nodes found",
    "No instruction assigned to node",
    "Node cannot accept anymore children",
    "Invalid terminal node.  Node requires greater than 0 children",
};

// Errors are rare, so a plain lock around the replaceable table costs nothing that matters.
std::mutex gLock;
std::array<std::string, MXMessageCount>& Table() {
  static std::array<std::string, MXMessageCount> table = [] {
    std::array<std::string, MXMessageCount> t;
    for (std::size_t i = 0; i < t.size(); ++i) t[i] = kBuiltIn[i];
    return t;
  }();
  return table;
}

std::size_t Slot(TMXMessageId Id) {
  const auto i = static_cast<std::size_t>(Id);
  if (i >= kBuiltIn.size()) throw EListError("Unknown message identifier " + std::to_string(i));
  return i;
}

}  // namespace

std::string LoadResString(TMXMessageId Id) {
  const std::size_t i = Slot(Id);
  std::lock_guard<std::mutex> guard(gLock);
  return Table()[i];
}

void SetResString(TMXMessageId Id, const std::string& Text) {
  const std::size_t i = Slot(Id);
  std::lock_guard<std::mutex> guard(gLock);
  Table()[i] = Text;
}

void ResetResStrings() {
  std::lock_guard<std::mutex> guard(gLock);
  for (std::size_t i = 0; i < kBuiltIn.size(); ++i) Table()[i] = kBuiltIn[i];
}

}  // namespace evokit
