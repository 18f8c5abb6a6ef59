// A simulated board bound to the hardware seam, and the CMOS/RTC port
// accesses it saw, as a list that can be compared one access at a time.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "Board/Board.h"
#include "Core/Scenario.h"
#include "Core/Trace.h"

namespace cmostest {

struct PortAccess {
  bool Write = false;
  uint16_t Port = 0;
  uint8_t Value = 0;
  bool operator==(const PortAccess &) const = default;
};

inline std::ostream &operator<<(std::ostream &Out, const PortAccess &A) {
  char Text[32];
  std::snprintf(Text, sizeof Text, "%s %02X %s %02X", A.Write ? "out" : "in", A.Port, A.Write ? "<-" : "->", A.Value);
  return Out << Text;
}

using Accesses = std::vector<PortAccess>;

// Builders for the expected sequences.
inline void CmosWrite(Accesses &A, uint8_t Offset, uint8_t Value) {
  A.push_back({true, 0x72, Offset});
  A.push_back({true, 0x73, Value});
}
inline void CmosRead(Accesses &A, uint8_t Offset, uint8_t Value) {
  A.push_back({true, 0x72, Offset});
  A.push_back({false, 0x73, Value});
}
inline void RtcRead(Accesses &A, uint8_t Register, uint8_t Bcd) {
  A.push_back({true, 0x70, Register});
  A.push_back({false, 0x71, Bcd});
}

inline uint64_t HexField(const sim::Json &Event, const char *Name) {
  return std::stoull(Event.at(Name).get<std::string>(), nullptr, 16);
}

// A fresh board per test, with the seam pointing at it.
class BoardFixture {
 public:
  explicit BoardFixture(const sim::Scenario &S) : Scenario_(S), Board_(Scenario_, Trace_) {
    BoardSimBindHardware(&Board_);
  }
  ~BoardFixture() { BoardSimBindHardware(nullptr); }

  sim::Board &Board() { return Board_; }
  sim::Trace &Trace() { return Trace_; }

  // Every I/O port access in order; any width other than 8 fails the caller's
  // comparison because it is kept as a distinct port value.
  Accesses PortAccesses() const {
    Accesses Out;
    for (const auto &E : Trace_.Events()) {
      const std::string Kind = E.at("event").get<std::string>();
      if (Kind != "io-read" && Kind != "io-write") {
        continue;
      }
      uint16_t Port = (uint16_t)HexField(E, "port");
      if (E.at("width").get<int>() != 8) {
        Port = 0xFFFF;
      }
      Out.push_back({Kind == "io-write", Port, (uint8_t)HexField(E, "value")});
    }
    return Out;
  }

  // Decoded CMOS writes as (offset, value) pairs.
  std::vector<std::pair<uint8_t, uint8_t>> CmosWrites() const {
    std::vector<std::pair<uint8_t, uint8_t>> Out;
    for (const auto &E : Trace_.Select("cmos-write")) {
      Out.emplace_back((uint8_t)HexField(E, "offset"), (uint8_t)HexField(E, "value"));
    }
    return Out;
  }

  std::vector<uint8_t> CmosRange(uint8_t First, uint8_t Last) {
    std::vector<uint8_t> Out;
    for (unsigned Offset = First; Offset <= Last; ++Offset) {
      Out.push_back(Board_.CmosByte((uint8_t)Offset));
    }
    return Out;
  }

 private:
  sim::Scenario Scenario_;
  sim::Trace Trace_;
  sim::Board Board_;
};

inline sim::Scenario TrailScenario(uint8_t Armed, uint8_t HistoryCount = 0) {
  sim::Scenario S;
  S.Cmos[0x98] = Armed;
  S.Cmos[0x99] = HistoryCount;
  S.Rtc = sim::RtcTime{12, 25, 23, 59};
  return S;
}

}  // namespace cmostest
