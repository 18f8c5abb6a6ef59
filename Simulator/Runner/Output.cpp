#include "Output.h"

#include <cstdio>

#include <SetupConfig.h>

namespace sim {

std::string FormatJsonLine(const Json &Event) { return Event.dump() + "\n"; }

namespace {

std::string Scalar(const Json &Value) {
  if (Value.is_string()) {
    const std::string &S = Value.get_ref<const std::string &>();
    bool Plain = !S.empty() && S.find_first_of(" \t\r\n\"=") == std::string::npos;
    return Plain ? S : Value.dump();
  }
  return Value.dump();
}

}  // namespace

std::string TextHeader() {
  char Line[128];
  std::snprintf(Line, sizeof Line, "%6s %10s  %-14s %-12s %s\n", "seq", "t_us", "image", "event", "details");
  return Line;
}

std::string FormatTextLine(const Json &Event) {
  std::string Image = Event.value("image", Json(nullptr)).is_null() ? "-" : Event["image"].get<std::string>();
  std::string Name = Event.value("event", "");
  char Prefix[96];
  std::snprintf(Prefix, sizeof Prefix, "%6llu %10llu  %-14s %-12s",
                static_cast<unsigned long long>(Event.value("seq", 0ull)),
                static_cast<unsigned long long>(Event.value("t_us", 0ull)), Image.c_str(), Name.c_str());
  std::string Line = Prefix;
  for (auto It = Event.begin(); It != Event.end(); ++It) {
    const std::string &Key = It.key();
    if (Key == "seq" || Key == "t_us" || Key == "image" || Key == "event") {
      continue;
    }
    if (Name == "call" && Key == "service") {
      Line += " " + Scalar(It.value());
      continue;
    }
    Line += " " + Key + "=" + Scalar(It.value());
  }
  return Line + "\n";
}

Json SetupFields(const std::vector<uint8_t> &Bytes) {
  Json Out = Json::object();
  for (const SETUP_FIELD_INFO &F : kSetupFields) {
    if (F.Offset + F.Size > Bytes.size()) {
      continue;
    }
    if (F.Size == 1) {
      Out[F.Name] = Hex(Bytes[F.Offset]);
      continue;
    }
    Json Values = Json::array();
    for (UINT32 I = 0; I < F.Size; ++I) Values.push_back(Hex(Bytes[F.Offset + I]));
    Out[F.Name] = Values;
  }
  return Out;
}

std::vector<uint8_t> BytesOfHex(const std::string &Text) {
  auto Nibble = [](char C) -> int {
    if (C >= '0' && C <= '9') return C - '0';
    if (C >= 'A' && C <= 'F') return C - 'A' + 10;
    if (C >= 'a' && C <= 'f') return C - 'a' + 10;
    return -1;
  };
  std::vector<uint8_t> Out;
  if (Text.size() % 2 != 0) return Out;
  for (size_t I = 0; I < Text.size(); I += 2) {
    const int High = Nibble(Text[I]), Low = Nibble(Text[I + 1]);
    if (High < 0 || Low < 0) return {};
    Out.push_back(static_cast<uint8_t>(High << 4 | Low));
  }
  return Out;
}

}  // namespace sim
