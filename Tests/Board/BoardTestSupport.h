// Shared pieces of the board model tests.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "Board/Board.h"

namespace boardtest {

using sim::Json;

// A healthy family-1Ah board at 3.75 GHz with the SMBus base at 0x0B00.
inline sim::Scenario BaseScenario() {
  sim::Scenario S;
  S.Cpu.Signature = 0x00B00F00;
  S.Cpu.PowerFeatures = 0x100;
  S.Cpu.PstateDefs = {750, 600, 500, 400, 300, 200, 100, 50};
  S.SmbusPmRegister = 0x00000B00;
  return S;
}

// An event without seq, t_us and image, for comparison with a literal.
inline Json Strip(const Json &E) {
  Json Out = E;
  Out.erase("seq");
  Out.erase("t_us");
  Out.erase("image");
  return Out;
}

inline Json Ev(const char *Name, Json Fields = Json::object()) {
  Json Out = Json::object();
  Out["event"] = Name;
  for (auto It = Fields.begin(); It != Fields.end(); ++It) {
    Out[It.key()] = It.value();
  }
  return Out;
}

class BoardTest : public ::testing::Test {
 protected:
  sim::Scenario S = BaseScenario();
  sim::Trace T;
  std::unique_ptr<sim::Board> B;

  sim::Board &Make() {
    B = std::make_unique<sim::Board>(S, T);
    return *B;
  }
  size_t Mark() const { return T.Events().size(); }
  // Stripped events recorded since Mark.
  std::vector<Json> Since(size_t Mark) const {
    std::vector<Json> Out;
    for (size_t I = Mark; I < T.Events().size(); ++I) {
      Out.push_back(Strip(T.Events()[I]));
    }
    return Out;
  }
};

}  // namespace boardtest
