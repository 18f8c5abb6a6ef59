// The simulated platform firmware around the drivers for one boot: the UEFI
// system table with boot and runtime services, the variable store, the
// platform's PCD database and protocols, the debug print service and the HOB
// list. Every service call is recorded in the trace as a "call" event.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Core/Scenario.h"
#include "Core/Trace.h"

#include <Uefi.h>

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

  // Final state.
  std::optional<StoredVariable> SetupVariable() const;
  // The configuration table published under the CPU frequency record GUID, if any.
  const void *ConfigurationTable(const EFI_GUID &Guid) const;
  size_t ConfigurationTableCount() const;

  // Protocols installed by the drivers, in installation order (GUID, interface).
  std::vector<std::pair<EFI_GUID, void *>> InstalledProtocols() const;
  // Events created through CreateEvent that are still open.
  size_t OpenEventCount() const;
  // Pool blocks handed out and not freed.
  size_t LivePoolBlocks() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> P;
};

// GUID as "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX" (upper case).
std::string GuidText(const EFI_GUID &Guid);

}  // namespace sim
