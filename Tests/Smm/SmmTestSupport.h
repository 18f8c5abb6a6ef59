// One simulated boot with the SMM environment, reached the way an SMM driver
// reaches it: SMM Base2 from the UEFI protocol database, the SMM system table
// from it, and the SMM protocols through that table.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "Firmware/FirmwareTestSupport.h"

#include <Pi/PiSmmCis.h>

namespace smmtest {

inline constexpr EFI_GUID kBase2Guid = EFI_SMM_BASE2_PROTOCOL_GUID;
inline constexpr EFI_GUID kAccess2Guid = EFI_SMM_ACCESS2_PROTOCOL_GUID;
inline constexpr EFI_GUID kSxGuid = EFI_SMM_SX_DISPATCH2_PROTOCOL_GUID;
inline constexpr EFI_GUID kPowerButtonGuid = EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL_GUID;
inline constexpr EFI_GUID kVariableGuid = EFI_SMM_VARIABLE_PROTOCOL_GUID;
inline constexpr EFI_GUID kHeapListGuid = {0xAF62673D, 0xDEDA, 0x43AE, {0x8F, 0x03, 0x9C, 0x2D, 0x89, 0xFD, 0x78, 0xDA}};
inline constexpr EFI_GUID kSmmRuntimeGuid = {0x395C33FE, 0x287F, 0x413E, {0xA0, 0x55, 0x80, 0x88, 0xC0, 0xE1, 0xD4, 0x3E}};
inline constexpr EFI_GUID kExitNotifyGuid = {0x296EB418, 0xC4C8, 0x4E05, {0xAB, 0x59, 0x39, 0xE8, 0xAF, 0x56, 0xF0, 0x0A}};

// The SMM protocols on (the scenario's defaults), everything else off.
inline sim::Scenario SmmScenario() {
  sim::Scenario S = fwtest::EmptyScenario();
  S.Protocols.SmmBase2 = S.Protocols.SmmAccess2 = S.Protocols.SxDispatch = S.Protocols.PowerButtonDispatch =
      S.Protocols.SmmVariable = true;
  return S;
}

struct SmmBoot : fwtest::Boot {
  SmmBoot() { S = SmmScenario(); }

  // Starts the boot and enters SMM, as the SMM core does for its drivers.
  void StartInSmm() {
    Start();
    F->EnterSmm();
  }

  template <typename T>
  T *Locate(const EFI_GUID &Guid) {
    void *Interface = nullptr;
    EFI_GUID G = Guid;
    return Bs()->LocateProtocol(&G, nullptr, &Interface) == EFI_SUCCESS ? static_cast<T *>(Interface) : nullptr;
  }

  EFI_SMM_SYSTEM_TABLE2 *Smst() {
    auto *Base2 = Locate<EFI_SMM_BASE2_PROTOCOL>(kBase2Guid);
    EFI_SMM_SYSTEM_TABLE2 *Table = nullptr;
    if (Base2 == nullptr || Base2->GetSmstLocation(Base2, &Table) != EFI_SUCCESS) {
      return nullptr;
    }
    return Table;
  }

  template <typename T>
  T *SmmLocate(const EFI_GUID &Guid) {
    EFI_SMM_SYSTEM_TABLE2 *Table = Smst();
    void *Interface = nullptr;
    EFI_GUID G = Guid;
    if (Table == nullptr || Table->SmmLocateProtocol(&G, nullptr, &Interface) != EFI_SUCCESS) {
      return nullptr;
    }
    return static_cast<T *>(Interface);
  }

  // Every event of Kind since From, in order.
  std::vector<sim::Json> Events(const std::string &Kind, size_t From = 0) const {
    std::vector<sim::Json> Out;
    for (size_t I = From; I < T.Events().size(); ++I) {
      if (T.Events()[I]["event"] == Kind) {
        Out.push_back(T.Events()[I]);
      }
    }
    return Out;
  }
};

}  // namespace smmtest
