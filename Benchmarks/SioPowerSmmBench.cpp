// Simulated duration of each SioPowerSmm handler, with a keyboard controller
// that answers and with one that does not (every answer read then runs into
// its one-second time-out). The auxiliary device is reported present (bit 3
// of Super I/O register 0xF4), so S3 and S4 take the longest path.
// Not a test. Meant for the optimised build: cmake --preset bench &&
//   cmake --build build/bench --target sio_power_smm_bench && build/bench/Benchmarks/sio_power_smm_bench
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "Core/Scenario.h"
#include "Core/Trace.h"
#include "Runner/Simulation.h"

namespace {

using Clock = std::chrono::steady_clock;

struct StepTime {
  std::string Name;
  std::string Status;
  uint64_t SimulatedUs = 0;
  double WallMs = 0;
};

sim::Step SmiStep(sim::Step::Kind Kind, int SleepType = 0) {
  sim::Step S;
  S.StepKind = Kind;
  S.SleepType = SleepType;
  return S;
}

std::vector<StepTime> Measure(bool ControllerAnswers, uint16_t SmmCodeSegment) {
  sim::Scenario S = sim::DefaultScenario();
  S.KbcResponds = ControllerAnswers;
  S.SioLdn[0x0A][0xF4] = 0x08;
  S.Run.clear();
  sim::Step Load;
  Load.Image = "SioPowerSmm";
  S.Run = {Load, SmiStep(sim::Step::Kind::Sx, 3), SmiStep(sim::Step::Kind::Sx, 4), SmiStep(sim::Step::Kind::Sx, 5),
           SmiStep(sim::Step::Kind::PowerButton)};

  sim::Trace Trace;
  sim::Simulation Simulation(S, Trace);
  Simulation.SetSmmCodeSegment(SmmCodeSegment);
  std::vector<StepTime> Out;
  for (const sim::Step &Step : S.Run) {
    uint64_t Before = Simulation.GetBoard().NowUs();
    auto WallStart = Clock::now();
    Simulation.RunStep(Step);
    double WallMs = std::chrono::duration<double, std::milli>(Clock::now() - WallStart).count();
    const sim::Json &Last = Trace.Events().back();
    std::string Status = Last["status"].is_string() ? Last["status"].get<std::string>() : "-";
    Out.push_back({Step.Name(), Status, Simulation.GetBoard().NowUs() - Before, WallMs});
  }
  for (const auto &E : Trace.Events()) {
    if (E["event"] == "fault") {
      std::fprintf(stderr, "fault: %s\n", E.dump().c_str());
    }
  }
  return Out;
}

void Report(const char *Title, const std::vector<StepTime> &Steps) {
  std::printf("%s\n", Title);
  std::printf("  %-14s %-20s %14s %12s\n", "step", "status", "simulated us", "wall ms");
  for (const auto &S : Steps) {
    std::printf("  %-14s %-20s %14llu %12.1f\n", S.Name.c_str(), S.Status.c_str(),
                static_cast<unsigned long long>(S.SimulatedUs), S.WallMs);
  }
}

}  // namespace

int main() {
  constexpr uint16_t kFullPrivilege = 0x38;
  constexpr uint16_t kDeprivileged = 0x3B;
  Report("responsive keyboard controller, full privilege", Measure(true, kFullPrivilege));
  Report("responsive keyboard controller, deprivileged (supervisor calls)", Measure(true, kDeprivileged));
  Report("dead keyboard controller, full privilege", Measure(false, kFullPrivilege));
  return 0;
}
