// A simulated board and firmware for tests that call library code in-process.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Board/Board.h"
#include "Core/Scenario.h"
#include "Core/Trace.h"
#include "Firmware/Firmware.h"

#include <BaseHwAccessLibSim/SimHardwarePort.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>

namespace test {

// Library caches that live as long as an image. In-process tests start a new
// "boot" per test, so each test binary says how to forget them.
void ForgetLibraryCaches();

struct SimEnvironment {
  sim::Scenario Scenario = sim::DefaultScenario();
  sim::Trace Trace;
  std::unique_ptr<sim::Board> Board;
  sim::PersistentState Persistent;
  std::unique_ptr<sim::Firmware> Firmware;

  // Builds the board and firmware from Scenario and points this process's
  // library globals (gST, gBS, gRT, the hardware seam) at them.
  void Start() {
    ForgetLibraryCaches();
    Board = std::make_unique<sim::Board>(Scenario, Trace);
    BoardSimBindHardware(Board.get());
    Firmware = std::make_unique<sim::Firmware>(Scenario, *Board, Trace, Persistent);
    UefiBootServicesTableLibConstructor(nullptr, Firmware->SystemTable());
    UefiRuntimeServicesTableLibConstructor(nullptr, Firmware->SystemTable());
  }

  ~SimEnvironment() {
    Firmware.reset();
    BoardSimBindHardware(nullptr);
  }

  size_t Mark() const { return Trace.Events().size(); }

  // Events since Mark whose kind is one of Kinds (all kinds when empty).
  std::vector<sim::Json> Since(size_t From, std::initializer_list<const char *> Kinds = {}) const {
    std::vector<sim::Json> Out;
    const auto &All = Trace.Events();
    for (size_t I = From; I < All.size(); ++I) {
      bool Match = Kinds.size() == 0;
      for (const char *K : Kinds) Match = Match || All[I]["event"] == K;
      if (Match) Out.push_back(All[I]);
    }
    return Out;
  }

  std::vector<sim::Json> Calls(size_t From, const std::string &Service) const {
    std::vector<sim::Json> Out;
    for (const auto &E : Since(From, {"call"})) {
      if (E["service"] == Service) Out.push_back(E);
    }
    return Out;
  }
};

// One raw hardware access as "kind address-or-port value", for comparing sequences.
inline std::string AccessText(const sim::Json &E) {
  std::string Kind = E["event"];
  std::string Where;
  if (E.contains("address")) Where = E["address"];
  else if (E.contains("port")) Where = E["port"];
  else if (E.contains("msr")) Where = E["msr"];
  else if (E.contains("leaf")) Where = E["leaf"];
  std::string Value = E.contains("value") ? E["value"].get<std::string>() : "";
  return Kind + " " + Where + (Value.empty() ? "" : " " + Value);
}

// TSC cycles one MicroSecondDelay(Us) takes at the board's 3.75 GHz: a TSC
// read costs 40 cycles, a pause 140, and the loop reads until a value lies
// more than Us * 3750 cycles past the first read. Exact for waits of 1 us to
// 10 ms, which the simulator runs cycle by cycle.
constexpr uint64_t DelayCycles(uint64_t Us) { return 80 + 180 * ((Us * 3750 - 40) / 180 + 1); }
static_assert(DelayCycles(1) == 3860 && DelayCycles(1000) == 3750200, "worked by hand");

}  // namespace test
