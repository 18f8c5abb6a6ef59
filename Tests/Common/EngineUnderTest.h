// The engine driver-level tests run under: the host builds, or, when ctest
// runs the same binary again with BOARDSIM_TEST_ENGINE=image, the shipped
// images under emulation. Both must pass the same expectations.
#pragma once

#include <cstdlib>
#include <string>

#include "Runner/Simulation.h"

namespace test {

inline sim::EngineChoice EngineUnderTest() {
  const char *Engine = std::getenv("BOARDSIM_TEST_ENGINE");
  const bool Image = Engine != nullptr && std::string(Engine) == "image";
  return {Image ? sim::EngineKind::Image : sim::EngineKind::Host, {}, {}};
}

}  // namespace test
