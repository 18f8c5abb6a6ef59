// Invariant: any bytes give a scenario or one clean error, never a crash or a hang.
#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>

#include "Core/Scenario.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  auto Parsed = sim::ParseScenarioText(std::string(reinterpret_cast<const char *>(Data), Size), "fuzz");
  if (auto *Error = std::get_if<sim::ScenarioError>(&Parsed)) {
    // An error names where it is and what was wrong.
    if (Error->Path.empty() || Error->Path[0] != '$' || Error->Message.empty()) __builtin_trap();
    return 0;
  }
  // What parses also writes back as a scenario that parses to the same.
  const auto &S = std::get<sim::Scenario>(Parsed);
  auto Again = sim::ParseScenario(sim::ScenarioToJson(S));
  if (!std::holds_alternative<sim::Scenario>(Again) || !(std::get<sim::Scenario>(Again) == S)) __builtin_trap();
  return 0;
}
