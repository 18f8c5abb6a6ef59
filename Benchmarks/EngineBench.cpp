// The two engines side by side (not a test): wall time per scenario, best of
// several runs, and the image engine's emulated instructions per second.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "Core/Scenario.h"
#include "Core/Trace.h"
#include "Runner/Simulation.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Measured {
  double WallMs = 0;
  uint64_t Instructions = 0;
};

Measured Run(const sim::Scenario &S, sim::EngineKind Kind, int Repeats) {
  Measured Best;
  for (int I = 0; I < Repeats; ++I) {
    sim::Trace Trace;
    Trace.SetRetain(false);
    const auto Start = Clock::now();
    sim::Simulation Simulation(S, Trace, sim::EngineChoice{Kind, {}, {}});
    for (const sim::Step &Step : S.Run) {
      if (Simulation.Supports(Step)) Simulation.RunStep(Step);
    }
    Trace.Emit("final", Simulation.FinalState());
    const double Ms = std::chrono::duration<double, std::milli>(Clock::now() - Start).count();
    if (I == 0 || Ms < Best.WallMs) Best = {Ms, Simulation.GetEngine().Instructions()};
  }
  return Best;
}

}  // namespace

int main() {
  struct Case {
    const char *Name;
    sim::Scenario S;
    int Repeats;
  };
  std::vector<Case> Cases;
  Cases.push_back({"default run", sim::DefaultScenario(), 5});
  auto Script = sim::LoadScenarioFile(std::string(BOARD_SOURCE_DIR) + "/examples/board-script.json");
  if (auto *S = std::get_if<sim::Scenario>(&Script)) Cases.push_back({"examples/board-script.json", *S, 5});
  sim::Scenario Dead = sim::DefaultScenario();
  Dead.KbcResponds = false;
  Dead.Run = {sim::Step::Load("SioPowerSmm"), sim::Step::Sleep(5)};
  Cases.push_back({"S5 entry, dead keyboard controller", Dead, 1});

  std::printf("| scenario | host engine | image engine | ratio | emulated instructions | instructions/s |\n");
  std::printf("|---|---:|---:|---:|---:|---:|\n");
  for (const Case &C : Cases) {
    const Measured Host = Run(C.S, sim::EngineKind::Host, C.Repeats);
    const Measured Image = Run(C.S, sim::EngineKind::Image, C.Repeats);
    std::printf("| %s | %.1f ms | %.1f ms | %.1fx | %llu | %.1f M |\n", C.Name, Host.WallMs, Image.WallMs,
                Image.WallMs / Host.WallMs, static_cast<unsigned long long>(Image.Instructions),
                Image.Instructions / (Image.WallMs / 1000.0) / 1e6);
  }
  return 0;
}
