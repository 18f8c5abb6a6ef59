// One simulation run: the board, the firmware of the current boot, the
// loaded images, and the steps of a scenario.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Board/Board.h"
#include "Core/Scenario.h"
#include "Core/Trace.h"
#include "Firmware/Firmware.h"
#include "Runner/Engine.h"
#include "Runner/Guard.h"

namespace sim {

// Which engine runs the drivers, and where its images are.
struct EngineChoice {
  EngineKind Kind = EngineKind::Host;
  std::string Dir;  // empty: the engine's default
  std::map<std::string, std::string> Paths;  // image name -> file, overriding Dir
};

class Simulation {
 public:
  Simulation(Scenario S, Trace &T, EngineChoice E = {});
  Simulation(Scenario S, Trace &T, std::string ImageDir)
      : Simulation(std::move(S), T, EngineChoice{EngineKind::Host, std::move(ImageDir), {}}) {}
  ~Simulation();

  // Whether this build can run Step; Why says what is missing when not.
  bool Supports(const Step &S, std::string *Why = nullptr) const;

  // Runs one step and emits its step event.
  void RunStep(const Step &S);
  // Runs every step of the scenario, then emits the final event.
  void RunAll();
  Json FinalState() const;

  // The code-segment selector SMM code (the SioPowerSmm entry and its SMI
  // handlers) runs with; RPL 3 runs it deprivileged under the SMM supervisor.
  // Kept across resets. nullopt, the default, leaves the board's selector.
  void SetSmmCodeSegment(std::optional<uint16_t> Cs);

  Board &GetBoard() { return *Board_; }
  Firmware &GetFirmware() { return *Firmware_; }
  Engine &GetEngine() { return *Engine_; }
  PersistentState &Persistent() { return Persistent_; }
  const Scenario &GetScenario() const { return Scenario_; }

 private:
  void RunImage(const Step &S);
  void RunScript(const Step &S);
  void WarnOfCutWords(const std::vector<UINT64> &Table);
  void RunSmi(const Step &S);
  void Reboot();
  // The fault event for a fault inside an SMI handler, naming the memory the
  // OS owns or the unloaded image it hit when it hit one.
  void ReportSmiFault(const GuardResult &Fault);
  const DriverImage *UnloadedImageAt(const void *Address) const;
  bool FirmwareHoldsInto(const DriverImage &Image) const;
  void NewFirmware();
  // An SMM handler reached memory outside SMRAM: whether that ends it.
  bool OnOutsideAccess(const Engine::OutsideAccess &Access);

  Scenario Scenario_;
  Trace &Trace_;
  std::unique_ptr<Board> Board_;
  std::unique_ptr<Engine> Engine_;
  PersistentState Persistent_;
  // Images before the firmware: the firmware of a boot goes first, while the
  // images whose code its tables may still point at are loaded.
  std::vector<std::unique_ptr<DriverImage>> Images_;
  std::unique_ptr<Firmware> Firmware_;
  std::optional<uint16_t> SmmCodeSegment_;
  uint64_t SmmOutsideAccesses_ = 0;
};

}  // namespace sim
