// Renders the event stream: JSON Lines for tools, an aligned text trace for people.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "Core/Trace.h"

namespace sim {

std::string FormatJsonLine(const Json &Event);
std::string FormatTextLine(const Json &Event);
// The column header of the text trace.
std::string TextHeader();

// A Setup image's named fields, in layout order, as far as Bytes reaches:
// name -> "0x.." for a one-byte field, an array of them for the others.
Json SetupFields(const std::vector<uint8_t> &Bytes);
// The bytes of a hex string as events carry them ("00FF..."); empty when it is none.
std::vector<uint8_t> BytesOfHex(const std::string &Text);

}  // namespace sim
