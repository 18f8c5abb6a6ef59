// Runs driver code so that a fault inside it (a trap, a bad pointer, an
// access the board refuses) ends only that call, never the simulator.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace sim {

struct GuardResult {
  bool Faulted = false;
  std::string What;
  // For a memory fault: the address the CPU could not reach and how it tried.
  enum class Access { None, Read, Write, Execute };
  Access How = Access::None;
  uintptr_t Address = 0;
};

GuardResult RunGuarded(const std::function<void()> &Body);

// Ends the innermost guarded call with What; aborts when none is active.
[[noreturn]] void RaiseGuardFault(const std::string &What);
// The same for a memory fault: How the code tried to reach Address.
[[noreturn]] void RaiseGuardFault(const std::string &What, GuardResult::Access How, uintptr_t Address);

}  // namespace sim
