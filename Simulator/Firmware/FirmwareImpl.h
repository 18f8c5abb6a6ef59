// Inside of the simulated firmware, shared by the files that fill its service
// tables. The services are plain EFIAPI functions (drivers call them through
// the tables) that reach the firmware of the current boot through
// gActiveFirmware.
#pragma once

#include <algorithm>
#include <cstring>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "Firmware/Firmware.h"
#include "Firmware/PoolArena.h"
#include "Firmware/ProtocolDatabase.h"

#include <Protocol/DebugPrintService.h>
#include <Protocol/Pcd.h>
#include <Protocol/PiPcd.h>

namespace sim {

// GUIDs the firmware itself knows about.
inline constexpr EFI_GUID kHobListGuid = {0x7739F24C, 0x93D7, 0x11D4, {0x9A, 0x3A, 0x00, 0x90, 0x27, 0x3F, 0xC1, 0x4D}};
inline constexpr EFI_GUID kHeapBufferHobGuid = {0xD97D161A, 0x16CD, 0x4ADA, {0xB9, 0xF6, 0xAE, 0xC3, 0xF9, 0xFC, 0xCC, 0x2C}};
inline constexpr EFI_GUID kCpuFrequencyRecordGuid = {0x614FACF7, 0x1AC6, 0x4B15, {0xA8, 0x8C, 0x2C, 0x1A, 0x70, 0xD7, 0x77, 0xEC}};
inline constexpr EFI_GUID kSetupVariableGuid = {0xEC87D643, 0xEBA4, 0x4BB5, {0xA1, 0xE5, 0x3F, 0x3E, 0x36, 0xB2, 0x0D, 0xA9}};
inline constexpr EFI_GUID kPcdProtocolGuid = PCD_PROTOCOL_GUID;
inline constexpr EFI_GUID kEfiPcdProtocolGuid = EFI_PCD_PROTOCOL_GUID;
inline constexpr EFI_GUID kDebugPrintServiceProtocolGuid = DEBUG_PRINT_SERVICE_PROTOCOL_GUID;

bool SameGuid(const EFI_GUID &A, const EFI_GUID &B);

// The CRC-32 of the UEFI table headers and CalculateCrc32 (IEEE 802.3).
uint32_t Crc32(const void *Data, size_t Size);

// Debug print service output buffer, terminating NUL included.
inline constexpr size_t kDebugPrintBufferSize = 512;
// Boot-services memory: the tables handed to drivers and every pool block.
inline constexpr size_t kOsMemorySize = 32u << 20;
// Configuration-table entries the system table can list.
inline constexpr size_t kMaxConfigurationTables = 64;
// New pool blocks are filled with this byte: firmware pool is not zeroed,
// and a fixed pattern keeps runs reproducible.
inline constexpr uint8_t kPoolFill = 0xAF;

struct PoolBlock {
  uint64_t Number = 0;  // allocation number in the run; 0 for the firmware's own blocks
  uint32_t Type = 0;
  size_t Size = 0;
  bool FromService = false;  // handed out by AllocatePool
};

struct EventRecord {
  uint64_t Number = 0;
  uint32_t Type = 0;
  EFI_TPL Tpl = 0;
  EFI_EVENT_NOTIFY Notify = nullptr;
  const void *Context = nullptr;
  std::string Group;  // empty: not in a group
  bool Signalled = false;
};

struct SmmWorld;  // Firmware/SmmWorld.h

struct Firmware::Impl {
  Impl(const Scenario &S, Board &B, Trace &T, PersistentState &Persistent);
  ~Impl();

  Board &Brd;
  Trace &Tr;
  PersistentState &Persist;

  // Scenario values this boot works from.
  std::set<uint64_t> FailAllocations;
  uint64_t SetVariableStatus = 0;
  std::map<uint64_t, uint64_t> Pcd;
  std::map<uint64_t, UINTN> PcdWidths;  // bytes, for tokens a driver has set

  // Everything the DXE phase hands out lives here: memory the OS owns once
  // the boot is over, and so out of an SMM handler's reach.
  PoolArena OsMemory{kOsMemorySize};
  EFI_SYSTEM_TABLE &St;
  EFI_BOOT_SERVICES &Bs;
  EFI_RUNTIME_SERVICES &Rs;
  EFI_CONFIGURATION_TABLE *TableArray;  // what the system table shows
  CHAR16 *Vendor;
  std::vector<EFI_CONFIGURATION_TABLE> Tables;

  std::map<void *, PoolBlock> Pool;
  std::map<EFI_EVENT, std::unique_ptr<EventRecord>> Events;
  uint64_t EventsCreated = 0;
  ProtocolDatabase Protocols;
  EFI_TPL Tpl = TPL_APPLICATION;


  const uint8_t *HobList = nullptr;

  // The SMM environment of this boot.
  std::unique_ptr<SmmWorld> Smm;

  DriverCaller CallDriver = CallHostCode;

  // One "call" event: service, the arguments in order, then status (null
  // for services that return none).
  void Call(std::string_view Service, Json Fields, std::optional<EFI_STATUS> Status);

  // Pool.
  uint64_t NextAllocationNumber() { return ++Persist.AllocationCount; }
  bool AllocationFails(uint64_t Number) const { return FailAllocations.count(Number) != 0; }
  void *NewPoolBlock(uint32_t Type, size_t Size, uint64_t Number, bool FromService);
  // A block of the firmware's own, zeroed, named for fault reports.
  template <typename T>
  T &NewFirmwareObject(const char *Label, size_t Count = 1) {
    void *Block = OsMemory.Allocate(sizeof(T) * Count, 0, EfiBootServicesData, Label);
    if (Block == nullptr) {
      throw std::bad_alloc();
    }
    std::memset(Block, 0, sizeof(T) * Count);
    return *static_cast<T *>(Block);
  }
  // The block record, or nullptr for a pointer the pool never handed out.
  const PoolBlock *FindPoolBlock(const void *Buffer) const;
  void ReleasePoolBlock(void *Buffer);

  // Configuration tables; keeps the system table's view current.
  EFI_STATUS SetConfigurationTable(const EFI_GUID &Guid, void *Table);
  void RefreshSystemTable();

  // Events whose notification functions a signal of Event triggers, in creation order.
  std::vector<EventRecord *> SignalTargets(EventRecord &Event);

  // The variable store.
  StoredVariable *FindVariable(const std::u16string &Name, const EFI_GUID &Guid);

  void BuildHobList(const std::vector<HobSpec> &Hobs);
};

// The firmware whose services answer calls; the most recently built one.
extern Firmware::Impl *gActiveFirmware;

// Fill the tables; each lives in its own file.
void InitBootServices(Firmware::Impl &F);
void InitRuntimeServices(Firmware::Impl &F);
void InitPlatformProtocols(Firmware::Impl &F, const ProtocolSet &Protocols);
void InitSmm(Firmware::Impl &F, const ProtocolSet &Protocols);

// Sets, replaces or (Table null) removes the entry of Guid in a configuration table.
EFI_STATUS UpdateConfigurationTable(std::vector<EFI_CONFIGURATION_TABLE> &Tables, const EFI_GUID &Guid, void *Table);

// The pool allocation behind AllocatePool and SmmAllocatePool, one count for
// both (fault injection numbers them together): Allocate answers a request of
// a type ValidType accepts with a block, or nullptr when memory runs out.
EFI_STATUS ServeAllocatePool(Firmware::Impl &F, std::string_view Service, const EFI_MEMORY_TYPE &PoolType,
                             UINTN Size, VOID **Buffer, bool (*ValidType)(uint32_t Type),
                             const std::function<void *(uint32_t Type, uint64_t Number)> &Allocate);

// The variable services behind both the runtime-services table and the SMM
// variable protocol; Service is the name the trace gives the call.
EFI_STATUS ServeGetVariable(Firmware::Impl &F, std::string_view Service, CHAR16 *VariableName, EFI_GUID *VendorGuid,
                            UINT32 *Attributes, UINTN *DataSize, VOID *Data);
EFI_STATUS ServeSetVariable(Firmware::Impl &F, std::string_view Service, CHAR16 *VariableName, EFI_GUID *VendorGuid,
                            UINT32 Attributes, UINTN DataSize, VOID *Data);

// Trace helpers.
std::string Utf8FromUcs2(const CHAR16 *Text);
std::string MemoryTypeName(uint32_t Type);
Json GuidJson(const EFI_GUID *Guid);
Json NameJson(const EFI_GUID *Guid);  // readable name of a known GUID, or null

// Runs Body against the active firmware; any failure inside the simulator
// becomes Fallback, so nothing is ever thrown into driver code.
template <typename R, typename Fn>
R Guarded(R Fallback, Fn &&Body) noexcept {
  if (gActiveFirmware == nullptr) {
    return Fallback;
  }
  try {
    return Body(*gActiveFirmware);
  } catch (...) {
    return Fallback;
  }
}

template <typename Fn>
void GuardedVoid(Fn &&Body) noexcept {
  if (gActiveFirmware == nullptr) {
    return;
  }
  try {
    Body(*gActiveFirmware);
  } catch (...) {
  }
}

// A table slot the drivers do not use: it records the call and answers
// EFI_UNSUPPORTED, or, for a slot that returns no status, a zero value with
// a null status. Generated per slot type so every call goes through a
// function of exactly the slot's type.
template <size_t N>
struct SlotName {
  char Text[N];
  constexpr SlotName(const char (&S)[N]) { std::copy_n(S, N, Text); }
};

template <SlotName Name, typename Fn, bool ReturnsStatus = true>
struct UnsupportedSlot;

template <SlotName Name, typename R, typename... A, bool ReturnsStatus>
struct UnsupportedSlot<Name, R(EFIAPI *)(A...), ReturnsStatus> {
  static R EFIAPI Call(A...) {
    if constexpr (std::is_void_v<R>) {
      GuardedVoid([](Firmware::Impl &F) { F.Call(Name.Text, Json::object(), std::nullopt); });
    } else if constexpr (ReturnsStatus) {
      return Guarded<R>(EFI_UNSUPPORTED, [](Firmware::Impl &F) {
        F.Call(Name.Text, Json::object(), EFI_UNSUPPORTED);
        return R(EFI_UNSUPPORTED);
      });
    } else {
      return Guarded<R>(R{}, [](Firmware::Impl &F) {
        F.Call(Name.Text, Json::object(), std::nullopt);
        return R{};
      });
    }
  }
};

template <SlotName Name, typename R, typename... A, bool ReturnsStatus>
struct UnsupportedSlot<Name, R(EFIAPI *)(A..., ...), ReturnsStatus> {
  static R EFIAPI Call(A..., ...) {
    static_assert(ReturnsStatus, "variadic slots return a status");
    return Guarded<R>(EFI_UNSUPPORTED, [](Firmware::Impl &F) {
      F.Call(Name.Text, Json::object(), EFI_UNSUPPORTED);
      return R(EFI_UNSUPPORTED);
    });
  }
};

}  // namespace sim
