// The one event trace every access and service call goes into.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace sim {

using Json = nlohmann::ordered_json;

// Numbers in events are hex strings such as "0x1F" (upper-case digits).
std::string Hex(uint64_t Value);
// Bytes as a plain hex string, two upper-case digits per byte.
std::string HexBytes(const uint8_t *Data, size_t Size);

class Trace {
 public:
  using Clock = std::function<uint64_t()>;  // simulated time in microseconds
  using Sink = std::function<void(const Json &)>;

  void SetClock(Clock NowUs) { NowUs_ = std::move(NowUs); }
  // Where each event came from in driver code ("Image+0xOFFSET"), kept
  // beside the events (not in them) for comparing runs.
  using OriginFn = std::function<std::optional<std::string>()>;
  void SetOrigin(OriginFn Origin) { Origin_ = std::move(Origin); }
  const std::vector<std::optional<std::string>> &Origins() const { return Origins_; }
  void SetImage(std::optional<std::string> Image) { Image_ = std::move(Image); }
  const std::optional<std::string> &Image() const { return Image_; }
  uint64_t NowUs() const { return NowUs_ ? NowUs_() : 0; }

  // Appends {seq, t_us, image, event, ...Fields} and hands it to every sink.
  const Json &Emit(std::string_view Event, const Json &Fields = Json::object());
  const std::vector<Json> &Events() const { return Events_; }
  void AddSink(Sink S) { Sinks_.push_back(std::move(S)); }
  // Whether Events() keeps what was emitted (tests read it back); a run that
  // only streams to its sinks keeps nothing, so its memory does not grow
  // with the length of the run.
  void SetRetain(bool Retain) { Retain_ = Retain; }

  // Events of one kind, in order (tests).
  std::vector<Json> Select(std::string_view Event) const;

 private:
  Clock NowUs_;
  OriginFn Origin_;
  std::vector<std::optional<std::string>> Origins_;
  std::optional<std::string> Image_;
  std::vector<Json> Events_;
  std::vector<Sink> Sinks_;
  bool Retain_ = true;
  uint64_t Emitted_ = 0;
  Json Last_;
};

}  // namespace sim
