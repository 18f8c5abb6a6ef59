// What `fvtool list` prints: an indented outline for people, JSON for tools.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "Firmware.h"

namespace fv {

std::string ListText(const Image &I);
nlohmann::json ListJson(const Image &I);

}  // namespace fv
