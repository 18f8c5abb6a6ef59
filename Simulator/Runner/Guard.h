// Runs driver code so that a fault inside it (a trap, a bad pointer, an
// access the board refuses) ends only that call, never the simulator.
#pragma once

#include <functional>
#include <string>

namespace sim {

struct GuardResult {
  bool Faulted = false;
  std::string What;
};

GuardResult RunGuarded(const std::function<void()> &Body);

// Ends the innermost guarded call with What; aborts when none is active.
[[noreturn]] void RaiseGuardFault(const std::string &What);

}  // namespace sim
