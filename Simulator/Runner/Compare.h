// One scenario under both engines, event for event: what tells a firmware
// engineer whether the shipped image does what its sources do on the host.
#pragma once

#include <optional>
#include <string>

#include "Core/Scenario.h"
#include "Core/Trace.h"
#include "Runner/Simulation.h"

namespace sim {

struct EngineComparison {
  bool Same = true;
  size_t Events = 0;  // events both runs made alike
  // At the first difference: each run's event there (null past its end),
  // and the image-side instruction that made its event, when there was one.
  Json HostEvent, ImageEvent;
  std::optional<std::string> ImageOrigin;
};

// Runs S's steps (those this build supports, as the default run does) under
// the host engine, then under the image engine.
EngineComparison CompareEngines(const Scenario &S, const EngineChoice &Host = {},
                                EngineChoice Image = {EngineKind::Image, {}, {}});

}  // namespace sim
