// Scope guards that restore state when a scope ends, normally or by an exception: a
// function run at scope end (TScopeExit) and an update bracket (UpdateGuard: BeginUpdate
// now, EndUpdate at scope end) for collections, string lists and anything else with that
// pair of calls.
// On a normal exit an exception from the restore propagates; while another exception
// unwinds the scope, the restore still runs and its own exception is dropped, so the
// first error reaches the caller.
// Thread safety: as the state the guard restores.
#pragma once

#include <exception>
#include <utility>

namespace evokit {

template <class F>
class [[nodiscard]] TScopeExit {
 public:
  explicit TScopeExit(F Action) : FAction(std::move(Action)), FUncaught(std::uncaught_exceptions()) {}
  TScopeExit(const TScopeExit&) = delete;
  TScopeExit& operator=(const TScopeExit&) = delete;
  ~TScopeExit() noexcept(false) {
    if (std::uncaught_exceptions() <= FUncaught) {
      FAction();
      return;
    }
    try {
      FAction();
    } catch (...) {
      // The exception already in flight is the one the caller needs to see.
    }
  }

 private:
  F FAction;
  int FUncaught;
};

// Calls Target.BeginUpdate() and returns a guard that calls Target.EndUpdate() when the
// caller's scope ends: `const auto update = UpdateGuard(list);`.
template <class T>
[[nodiscard]] auto UpdateGuard(T& Target) {
  Target.BeginUpdate();
  return TScopeExit([&Target] { Target.EndUpdate(); });
}

}  // namespace evokit
