// One simulated boot for firmware tests: a board, its firmware, and the
// service tables as a driver sees them.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Board/Board.h"
#include "Core/Scenario.h"
#include "Core/Trace.h"
#include "Firmware/Firmware.h"

namespace fwtest {

// A scenario with nothing in it but what a test asks for: no Setup, no PCDs,
// no protocols, no HOBs.
inline sim::Scenario EmptyScenario() {
  sim::Scenario S;
  S.Protocols = sim::ProtocolSet{false, false, false, false, false, false, false, false, false};
  return S;
}

struct Boot {
  sim::Scenario S = EmptyScenario();
  sim::Trace T;
  sim::PersistentState Persistent;
  std::unique_ptr<sim::Board> B;
  std::unique_ptr<sim::Firmware> F;

  void Start() {
    B = std::make_unique<sim::Board>(S, T);
    F = std::make_unique<sim::Firmware>(S, *B, T, Persistent);
  }
  // A reset: the firmware of the next boot on the same persistent state.
  void Reboot() {
    F.reset();
    F = std::make_unique<sim::Firmware>(S, *B, T, Persistent);
  }
  ~Boot() { F.reset(); }

  EFI_SYSTEM_TABLE *St() { return F->SystemTable(); }
  EFI_BOOT_SERVICES *Bs() { return F->SystemTable()->BootServices; }
  EFI_RUNTIME_SERVICES *Rs() { return F->SystemTable()->RuntimeServices; }

  size_t Mark() const { return T.Events().size(); }
  // "call" events of Service since Mark.
  std::vector<sim::Json> Calls(const std::string &Service, size_t From = 0) const {
    std::vector<sim::Json> Out;
    const auto &All = T.Events();
    for (size_t I = From; I < All.size(); ++I) {
      if (All[I]["event"] == "call" && All[I]["service"] == Service) {
        Out.push_back(All[I]);
      }
    }
    return Out;
  }
  size_t CallCount(size_t From = 0) const {
    size_t N = 0;
    const auto &All = T.Events();
    for (size_t I = From; I < All.size(); ++I) {
      N += All[I]["event"] == "call" ? 1 : 0;
    }
    return N;
  }
};

inline constexpr EFI_GUID kSetupGuid = {0xEC87D643, 0xEBA4, 0x4BB5, {0xA1, 0xE5, 0x3F, 0x3E, 0x36, 0xB2, 0x0D, 0xA9}};
inline constexpr EFI_GUID kHobListGuid = {0x7739F24C, 0x93D7, 0x11D4, {0x9A, 0x3A, 0x00, 0x90, 0x27, 0x3F, 0xC1, 0x4D}};
inline constexpr EFI_GUID kHeapHobGuid = {0xD97D161A, 0x16CD, 0x4ADA, {0xB9, 0xF6, 0xAE, 0xC3, 0xF9, 0xFC, 0xCC, 0x2C}};
inline constexpr EFI_GUID kCpuRecordGuid = {0x614FACF7, 0x1AC6, 0x4B15, {0xA8, 0x8C, 0x2C, 0x1A, 0x70, 0xD7, 0x77, 0xEC}};
inline constexpr EFI_GUID kPcdGuid = {0x11B34006, 0xD85B, 0x4D0A, {0xA2, 0x90, 0xD5, 0xA5, 0x71, 0x31, 0x0E, 0xF7}};
inline constexpr EFI_GUID kEfiPcdGuid = {0x13A3F0F6, 0x264A, 0x3EF0, {0xF2, 0xE0, 0xDE, 0xC5, 0x12, 0x34, 0x2F, 0x34}};
inline constexpr EFI_GUID kDebugPrintGuid = {0x669ED5B1, 0x49A3, 0x4C59, {0x9D, 0x2D, 0x04, 0x32, 0xAD, 0x6C, 0xDB, 0x61}};
inline constexpr EFI_GUID kTestGuid = {0x12345678, 0x9ABC, 0xDEF0, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
inline constexpr EFI_GUID kOtherGuid = {0x0FEDCBA9, 0x8765, 0x4321, {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE}};

}  // namespace fwtest
