// Runs driver images through the simulator exactly as boardsim does.
#pragma once

#include <string>
#include <vector>

#include "Core/Scenario.h"
#include "Core/Trace.h"
#include "Common/EngineUnderTest.h"
#include "Runner/Simulation.h"

namespace test {

struct DriverRun {
  sim::Trace Trace;
  sim::Json Final;

  explicit DriverRun(sim::Scenario S) {
    sim::Simulation Simulation(std::move(S), Trace, EngineUnderTest());
    Simulation.RunAll();
    Final = Trace.Events().back();
  }

  std::vector<sim::Json> Of(std::initializer_list<const char *> Kinds) const {
    std::vector<sim::Json> Out;
    for (const auto &E : Trace.Events()) {
      for (const char *K : Kinds) {
        if (E["event"] == K) {
          Out.push_back(E);
          break;
        }
      }
    }
    return Out;
  }

  // "R address value" / "W address value" for every SMN access, in order.
  std::vector<std::string> Smn() const {
    std::vector<std::string> Out;
    for (const auto &E : Of({"smn-read", "smn-write"})) {
      Out.push_back(std::string(E["event"] == "smn-read" ? "R " : "W ") + E["address"].get<std::string>() + " " +
                    E["value"].get<std::string>());
    }
    return Out;
  }

  std::vector<std::string> Services(const std::string &Image) const {
    std::vector<std::string> Out;
    for (const auto &E : Of({"call"})) {
      if (E["image"] != Image) continue;
      std::string Service = E["service"];
      // PCD accesses are one service with a width; name them as the protocol member.
      if ((Service == "PcdGet" || Service == "PcdSet") && E.contains("width")) {
        int Width = E["width"];
        Service += Width == 1 ? std::string("Bool") : std::to_string(Width);
      }
      Out.push_back(Service);
    }
    return Out;
  }

  std::vector<sim::Json> Steps() const { return Of({"step"}); }
};

inline sim::Scenario ScenarioRunning(std::vector<std::string> Images) {
  sim::Scenario S = sim::DefaultScenario();
  S.Run.clear();
  for (auto &Name : Images) {
    sim::Step Step;
    Step.StepKind = Name == "reset" ? sim::Step::Kind::Reset : sim::Step::Kind::Image;
    Step.Image = Name;
    S.Run.push_back(Step);
  }
  return S;
}

}  // namespace test
