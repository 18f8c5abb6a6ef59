// One simulation run: the board, the firmware of the current boot, the
// loaded images, and the steps of a scenario.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Board/Board.h"
#include "Core/Scenario.h"
#include "Core/Trace.h"
#include "Firmware/Firmware.h"
#include "Runner/Guard.h"
#include "Runner/ImageLoader.h"

namespace sim {

class Simulation {
 public:
  Simulation(Scenario S, Trace &T, std::string ImageDir = DefaultImageDir());
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
  const LoadedImage *UnloadedImageAt(const void *Address) const;
  bool FirmwareHoldsInto(const LoadedImage &Image) const;

  Scenario Scenario_;
  Trace &Trace_;
  ImageLoader Loader_;
  std::unique_ptr<Board> Board_;
  PersistentState Persistent_;
  // Images before the firmware: the firmware of a boot goes first, while the
  // images whose code its tables may still point at are loaded.
  std::vector<std::unique_ptr<LoadedImage>> Images_;
  std::unique_ptr<Firmware> Firmware_;
  std::optional<uint16_t> SmmCodeSegment_;
  uint64_t SmmOutsideAccesses_ = 0;
};

}  // namespace sim
