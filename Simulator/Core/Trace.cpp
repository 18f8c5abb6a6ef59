#include "Trace.h"

#include <cstdio>

namespace sim {

std::string Hex(uint64_t Value) {
  char Buffer[24];
  std::snprintf(Buffer, sizeof Buffer, "0x%llX", static_cast<unsigned long long>(Value));
  return Buffer;
}

std::string HexBytes(const uint8_t *Data, size_t Size) {
  static constexpr char Digits[] = "0123456789ABCDEF";
  std::string Out;
  Out.reserve(Size * 2);
  for (size_t I = 0; I < Size; ++I) {
    Out.push_back(Digits[Data[I] >> 4]);
    Out.push_back(Digits[Data[I] & 0xF]);
  }
  return Out;
}

const Json &Trace::Emit(std::string_view Event, const Json &Fields) {
  Json E = Json::object();
  E["seq"] = Emitted_++;
  E["t_us"] = NowUs();
  E["image"] = Image_ ? Json(*Image_) : Json(nullptr);
  E["event"] = std::string(Event);
  for (auto It = Fields.begin(); It != Fields.end(); ++It) {
    E[It.key()] = It.value();
  }
  if (Retain_ && Origin_) {
    Origins_.resize(Events_.size());
    Origins_.push_back(Origin_());
  }
  Json &Kept = Retain_ ? Events_.emplace_back(std::move(E)) : (Last_ = std::move(E));
  for (auto &S : Sinks_) {
    S(Kept);
  }
  return Kept;
}

std::vector<Json> Trace::Select(std::string_view Event) const {
  std::vector<Json> Out;
  for (const auto &E : Events_) {
    if (E["event"] == Event) {
      Out.push_back(E);
    }
  }
  return Out;
}

}  // namespace sim
