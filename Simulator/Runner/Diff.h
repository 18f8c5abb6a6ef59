// Two runs side by side: what differs in the hardware accesses, the service
// calls and the final state, step by step and device by device.
#pragma once

#include <ostream>
#include <string>
#include <variant>
#include <vector>

#include "Core/Trace.h"
#include "Runner/Simulation.h"

namespace sim {

// The events of Path: a saved JSON Lines trace is read, a scenario file is
// run (under Engine). The error says what is wrong with the file.
std::variant<std::vector<Json>, std::string> EventsOf(const std::string &Path, const EngineChoice &Engine = {});

// The device class an event belongs to: "FCH MMIO", "SMN", "PCI",
// "Super I/O", "keyboard controller", "CMOS", "SMBus", "services", "steps",
// "other": the timeline's lanes.
std::string DeviceOf(const Json &Event);

// Writes what differs from A to B; returns whether anything does.
bool DiffRuns(const std::vector<Json> &A, const std::vector<Json> &B, std::ostream &Out);

}  // namespace sim
