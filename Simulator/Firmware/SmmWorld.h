// The SMM side of the simulated firmware for one boot: SMRAM with its pool,
// the SMM system table and protocol database, protocol notifications, the
// SMM configuration table, and the platform's SMM protocols (Base2, Access2,
// the Sx and power-button dispatchers, the SMM variable protocol).
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Firmware/FirmwareImpl.h"
#include "Firmware/PoolArena.h"

#include <Pi/PiSmmCis.h>

namespace sim {

inline constexpr EFI_GUID kSmmRuntimeServicesTableGuid = {
    0x395C33FE, 0x287F, 0x413E, {0xA0, 0x55, 0x80, 0x88, 0xC0, 0xE1, 0xD4, 0x3E}};
inline constexpr EFI_GUID kHeapBufferListProtocolGuid = {
    0xAF62673D, 0xDEDA, 0x43AE, {0x8F, 0x03, 0x9C, 0x2D, 0x89, 0xFD, 0x78, 0xDA}};

// SMRAM: one arena, reported as two adjacent SMRAM ranges, from which SMM
// pool is carved.
struct SmramArena : PoolArena {
  static constexpr size_t kSize = 4u << 20;
  SmramArena() : PoolArena(kSize) {}
};

struct SmmNotifyRecord {
  uint64_t Number = 0;
  EFI_GUID Guid{};
  EFI_SMM_NOTIFY_FN Function = nullptr;
};

// What a handler is handed pointers to: kept in SMRAM, as the SMM core keeps it.
struct SmiContextBlock {
  EFI_SMM_SX_REGISTER_CONTEXT Sx{};                    // Sx handlers
  EFI_SMM_POWER_BUTTON_REGISTER_CONTEXT PowerButton{};  // power-button handlers
  UINTN CommBufferSize = 0;
};

struct SmiRegistration {
  uint64_t Number = 0;
  EFI_SMM_HANDLER_ENTRY_POINT2 Handler = nullptr;
  SmiContextBlock *Visible = nullptr;  // in the SMM core's memory
  std::optional<std::string> Image;  // the image that registered it
};

// The heap-buffer list protocol as an earlier driver leaves it: a 64-bit 1,
// then an empty list head.
struct HeapBufferListInstance {
  UINT64 Signature = 1;
  void *Forward = nullptr;
  void *Backward = nullptr;
};
static_assert(sizeof(HeapBufferListInstance) == 24, "heap-buffer list protocol layout");

// Allocated on pages of its own, SMRAM that the SMM core keeps for itself:
// everything a driver is handed a pointer into (the SMST, the protocols, a
// handler's context) lives in SMRAM, as on a board.
struct SmmWorld {
  static void *operator new(size_t Size);
  static void operator delete(void *World, size_t Size);

  SmramArena Arena;
  std::vector<EFI_SMRAM_DESCRIPTOR> SmramMap;

  EFI_SMM_SYSTEM_TABLE2 Smst{};
  std::array<CHAR16, 16> Vendor{u"BoardSim SMM"};
  std::vector<EFI_CONFIGURATION_TABLE> Tables;
  std::array<EFI_CONFIGURATION_TABLE, kMaxConfigurationTables> TableView{};  // what the SMST shows
  EFI_RUNTIME_SERVICES SmmRuntimeServices{};
  std::array<UINTN, 1> SaveStateSize{};
  std::array<VOID *, 1> SaveState{};
  std::array<uint8_t, 0x400> SaveStateArea{};

  ProtocolDatabase Protocols;
  std::vector<std::unique_ptr<SmmNotifyRecord>> Notifies;  // registration order
  uint64_t NotifiesMade = 0;

  EFI_SMM_BASE2_PROTOCOL Base2{};
  EFI_SMM_ACCESS2_PROTOCOL Access2{};
  EFI_SMM_SX_DISPATCH2_PROTOCOL SxDispatch{};
  EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL PowerButtonDispatch{};
  EFI_SMM_VARIABLE_PROTOCOL Variable{};
  HeapBufferListInstance PreinstalledHeapList;

  std::vector<std::unique_ptr<SmiRegistration>> SxHandlers;
  std::vector<std::unique_ptr<SmiRegistration>> PowerButtonHandlers;
  // Withdrawn registrations stay allocated for the boot: a handler may
  // withdraw itself while it still reads its context.
  std::vector<std::unique_ptr<SmiRegistration>> Withdrawn;
  uint64_t DispatchHandlesMade = 0;
  // Registrations stay for the boot, so their blocks are never reused.
  std::array<SmiContextBlock, 256> ContextBlocks{};
  size_t ContextBlocksUsed = 0;
  // The GUID a protocol notification is handed, one slot per nesting level.
  std::array<EFI_GUID, 16> NotifyGuids{};
  size_t NotifyDepth = 0;

  // SMM entry depth and the code segment SMM code runs with.
  int Depth = 0;
  uint16_t SavedCs = 0;
  std::optional<uint16_t> CodeSegment;

  void RefreshConfigurationTable();
};

// Runs Body against the active firmware's SMM world, as Guarded does.
template <typename Fn>
EFI_STATUS WithSmm(EFI_STATUS Fallback, Fn &&Body) noexcept {
  return Guarded<EFI_STATUS>(Fallback, [&](Firmware::Impl &F) {
    return F.Smm != nullptr ? Body(F, *F.Smm) : Fallback;
  });
}

// Fill the tables and protocols; each set lives in its own file.
void InitSmmServices(Firmware::Impl &F, SmmWorld &W);
void InitSmmProtocols(Firmware::Impl &F, SmmWorld &W, const ProtocolSet &Protocols);

}  // namespace sim
