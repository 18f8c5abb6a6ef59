// Renders the event stream: JSON Lines for tools, an aligned, decoded text
// trace for people.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "Core/Trace.h"

namespace sim {

std::string FormatJsonLine(const Json &Event);

// The text trace. It remembers the Setup image as the run changes it, so that
// a write shows only the fields it changed.
class TextFormatter {
 public:
  // InitialSetup: the Setup variable the run starts from (none: absent).
  explicit TextFormatter(std::optional<std::vector<uint8_t>> InitialSetup = std::nullopt);
  // The column header.
  static std::string Header();
  // One event: one line (wrapped when long), several for the final state.
  std::string Format(const Json &Event);
  // The line that opens a step.
  static std::string StepHeader(const std::string &Step);

 private:
  std::string Render(const Json &Event);

  std::optional<std::vector<uint8_t>> Initial_, Setup_;
};

// One event as the text trace shows it, without what earlier events tell.
std::string FormatTextLine(const Json &Event);

// What a step is called in the text trace: "S3 entry", "power button",
// "reset", or the driver's name.
std::string StepTitle(const std::string &Step);

// A Setup image's named fields, in layout order, as far as Bytes reaches:
// name -> "0x.." for a one-byte field, an array of them for the others.
Json SetupFields(const std::vector<uint8_t> &Bytes);
// "Name old → new" for every field whose bytes differ ("Name[2]" for one
// byte of a multi-byte field), in layout order.
std::vector<std::string> SetupChanges(const std::vector<uint8_t> &Before, const std::vector<uint8_t> &After);
// The bytes of a hex string as events carry them ("00FF..."); empty when it is none.
std::vector<uint8_t> BytesOfHex(const std::string &Text);

}  // namespace sim
