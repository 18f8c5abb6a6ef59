// The event stream as one self-contained HTML page: a timeline with a lane per
// device class, each event's decoded text on click, and Setup before and after.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

#include "Core/Scenario.h"
#include "Core/Trace.h"
#include "Runner/Output.h"

namespace sim {

// Top to bottom on the page.
enum class TimelineLane : uint8_t { Steps, Services, FchMmio, Smn, Pci, SuperIo, Kbc, Cmos, Smbus, Other };

// The lane an event is drawn in. The SMN index/data pair at 0xE00000B8/BC goes
// to the SMN lane beside the smn-read/smn-write it completes.
TimelineLane LaneOf(const Json &Event);

// JSON text that can sit inside a <script> element: no '<' survives, so
// neither "</script" nor "<!--" can end or confuse the element.
std::string ScriptSafeJson(const Json &Value);

// A trace sink: collects the events, then writes the page.
class HtmlTimeline {
 public:
  // InitialSetup: the Setup the run starts from (the scenario's).
  HtmlTimeline(std::string Title, std::optional<SetupConfigSpec> InitialSetup);

  void Add(const Json &Event);
  void Write(std::ostream &Out) const;

 private:
  std::string Title_;
  std::optional<SetupConfigSpec> InitialSetup_;
  // Kept as text, not as Json objects: a long run's page must not cost the
  // memory of every parsed event.
  std::string Events_, Texts_, Lanes_, Titles_;
  Json FinalSetup_ = nullptr, FinalAttributes_ = nullptr;
  bool SawFinal_ = false;
  TextFormatter Text_;  // each event's line as the text trace shows it
};

}  // namespace sim
