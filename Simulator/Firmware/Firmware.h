// The simulated platform firmware around the drivers for one boot: the UEFI
// system table with boot and runtime services, the variable store, the
// platform's PCD database and protocols, the debug print service and the HOB
// list. Every service call is recorded in the trace as a "call" event.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Core/Scenario.h"
#include "Core/Trace.h"

#include <Uefi.h>
#include <Pi/PiSmmCis.h>

namespace sim {

class Board;

// A UEFI variable as stored.
struct StoredVariable {
  uint32_t Attributes = 0;
  std::vector<uint8_t> Data;
};

// What outlives a boot: non-volatile variables, the pool-allocation counter
// that fault injection numbers, and every PCD value written during the run.
struct PersistentState {
  std::map<std::pair<std::u16string, std::string /*GUID text*/>, StoredVariable> Variables;
  uint64_t AllocationCount = 0;
  std::map<uint32_t, uint64_t> PcdWritten;
  // Boots built on this state; the first one seeds the variable store.
  uint32_t Boots = 0;
};

// One relayed heap buffer, as the final state shows it.
struct HeapBufferNode {
  std::vector<uint8_t> Header;  // the 16 header bytes
  std::vector<uint8_t> Payload;
};

// How the SMM core runs one SMI handler: Image is the image that registered
// it (nullopt when none was running), Invoke calls it. Returns the handler's
// status, or nullopt when the call did not return (it faulted).
using SmiHandlerRunner =
    std::function<std::optional<EFI_STATUS>(const std::optional<std::string> &Image, const std::function<EFI_STATUS()> &Invoke)>;

// How the firmware calls driver code (a notification, an SMI handler):
// Function with Args in the UEFI calling convention; returns RAX.
using DriverCaller = std::function<uint64_t(const void *Function, std::initializer_list<uint64_t> Args)>;
// The direct call of host code: up to four arguments.
uint64_t CallHostCode(const void *Function, std::initializer_list<uint64_t> Args);

// Memory an image can be handed a pointer into, page aligned.
struct VisibleMemory {
  uint8_t *Base = nullptr;
  size_t Size = 0;
  bool Smram = false;
  size_t Used = 0;  // bytes from Base that hold anything yet
};

class Firmware {
 public:
  // Builds the firmware of one boot. The first boot seeds Persistent's
  // variable store from the scenario's Setup.
  Firmware(const Scenario &S, Board &B, Trace &T, PersistentState &Persistent);
  ~Firmware();
  Firmware(const Firmware &) = delete;
  Firmware &operator=(const Firmware &) = delete;

  EFI_SYSTEM_TABLE *SystemTable();
  // A fresh handle for an image about to be entered.
  EFI_HANDLE NewImageHandle();

  // Makes this boot's firmware the one whose services answer calls (the
  // most recently built one is active until then).
  void Activate();
  // Replaces the direct call of host code, for drivers that run elsewhere.
  void SetDriverCaller(DriverCaller Call);

  // What SetVirtualAddressMap does to its event group: runs the notification
  // function of every open EVT_SIGNAL_VIRTUAL_ADDRESS_CHANGE event, in
  // creation order. Returns how many ran.
  size_t SignalVirtualAddressChange();

  // Start of the HOB list published under gEfiHobListGuid.
  const void *HobList() const;

  // Final state.
  std::optional<StoredVariable> SetupVariable() const;
  // The configuration table published under Guid (the CPU frequency record's,
  // say), or nullptr.
  const void *ConfigurationTable(const EFI_GUID &Guid) const;
  size_t ConfigurationTableCount() const;

  // Protocols installed by the drivers, in installation order (GUID, interface).
  std::vector<std::pair<EFI_GUID, void *>> InstalledProtocols() const;
  // Events created through CreateEvent that are still open.
  size_t OpenEventCount() const;
  // Pool blocks handed out by AllocatePool and not freed (the firmware's own
  // CPU frequency record is not one of them).
  size_t LivePoolBlocks() const;
  // Allocation numbers of the pool blocks drivers hold (AllocatePool and
  // SmmAllocatePool alike), in order.
  std::vector<uint64_t> LiveBlockNumbers() const;

  // --- Memory the OS owns once the boot is over ---
  // The system table, the tables it leads to and every pool block the DXE
  // phase allocated. Locked, none of it can be reached (while an SMI runs).
  void LockOsMemory(bool Locked);
  // What the firmware keeps at Address in that memory ("system table",
  // "pool block 0x5 (EfiBootServicesData)", ...) and the offset into it;
  // nullopt for an address outside it.
  std::optional<std::pair<std::string, uint64_t>> OsMemoryAt(const void *Address) const;
  // Everything an image can be handed a pointer into: the OS memory, SMRAM
  // pool and the SMM core's own SMRAM.
  std::vector<VisibleMemory> ImageVisibleMemory() const;

  // Every code or data pointer the firmware keeps on a driver's behalf
  // (SMI handlers, notifications, installed protocols, configuration
  // tables, event notifications), each with what it is.
  std::vector<std::pair<std::string, const void *>> HeldPointers() const;

  // --- SMM ---
  // The CPU is in SMM between EnterSmm and the matching LeaveSmm (an SMM
  // image's entry, an SMI); SMM Base2 answers by it. Calls nest.
  void EnterSmm();
  void LeaveSmm();
  bool InSmm() const;
  // The code segment SMM code runs with (the board's CS while in SMM; RPL 3
  // makes the SMM driver run deprivileged under the supervisor). nullopt
  // leaves the board's selector alone.
  void SetSmmCodeSegment(std::optional<uint16_t> Cs);

  EFI_SMM_SYSTEM_TABLE2 *SmmSystemTable();
  // Dispatches, in SMM and in registration order, the entry-phase handlers
  // registered for SleepType (Sx) or for the power button: each gets its
  // dispatch handle, a pointer to its registered context, no communication
  // buffer and a size of 0. Run runs each call (directly when empty).
  // Returns how many handlers ran.
  size_t DispatchSx(uint32_t SleepType, const SmiHandlerRunner &Run = {});
  size_t DispatchPowerButton(const SmiHandlerRunner &Run = {});
  size_t SxHandlerCount() const;
  size_t PowerButtonHandlerCount() const;
  // SMM pool blocks not freed.
  size_t LiveSmramBlocks() const;
  // The list of the first HEAP_BUFFER_LIST_PROTOCOL in the protocol database
  // (one installed before the SMM driver, or the driver's own), in list
  // order; nullopt when none is installed. The walk stops at a link to
  // anything but a pool block large enough for its node. An instance that
  // Readable refuses (one in an unloaded image) is not read: nullopt.
  std::optional<std::vector<HeapBufferNode>> HeapBufferList(
      const std::function<bool(const void *)> &Readable = {}) const;

  struct Impl;

 private:
  std::unique_ptr<Impl> P;
};

// GUID as "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX" (upper case).
std::string GuidText(const EFI_GUID &Guid);

// The protocol or table type name of a GUID the platform knows (for example
// "PCD_PROTOCOL"), or nullptr.
const char *KnownGuidName(const EFI_GUID &Guid);

}  // namespace sim
