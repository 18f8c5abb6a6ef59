// Renders the event stream: JSON Lines for tools, an aligned text trace for people.
#pragma once

#include <ostream>
#include <string>

#include "Core/Trace.h"

namespace sim {

std::string FormatJsonLine(const Json &Event);
std::string FormatTextLine(const Json &Event);
// The column header of the text trace.
std::string TextHeader();

}  // namespace sim
