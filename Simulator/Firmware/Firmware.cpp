#include "Firmware/FirmwareImpl.h"
#include "Firmware/SmmWorld.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <Pi/PiHob.h>

namespace sim {

Firmware::Impl *gActiveFirmware = nullptr;

namespace {

constexpr uint32_t kFirmwareRevision = 0x00010000;
constexpr uint32_t kHandoffVersion = 0x0009;
constexpr uint32_t kBootWithFullConfiguration = 0;
constexpr size_t kHeapHeaderSize = 16;

struct KnownGuid {
  EFI_GUID Guid;
  const char *Name;
};

constexpr KnownGuid kKnownGuids[] = {
    {PCD_PROTOCOL_GUID, "PCD_PROTOCOL"},
    {EFI_PCD_PROTOCOL_GUID, "EFI_PCD_PROTOCOL"},
    {DEBUG_PRINT_SERVICE_PROTOCOL_GUID, "DEBUG_PRINT_SERVICE_PROTOCOL"},
    {{0xF4CCBFB7, 0xF6E0, 0x47FD, {0x9D, 0xD4, 0x10, 0xA8, 0xF1, 0x50, 0xC1, 0x91}}, "EFI_SMM_BASE2_PROTOCOL"},
    {{0xC2702B74, 0x800C, 0x4131, {0x87, 0x46, 0x8F, 0xB5, 0xB8, 0x9C, 0xE4, 0xAC}}, "EFI_SMM_ACCESS2_PROTOCOL"},
    {{0x456D2859, 0xA84B, 0x4E47, {0xA2, 0xEE, 0x32, 0x76, 0xD8, 0x86, 0x99, 0x7D}}, "EFI_SMM_SX_DISPATCH2_PROTOCOL"},
    {{0x1B1183FA, 0x1823, 0x46A7, {0x88, 0x72, 0x9C, 0x57, 0x87, 0x55, 0x40, 0x9D}},
     "EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL"},
    {{0xED32D533, 0x99E6, 0x4209, {0x9C, 0xC0, 0x2D, 0x72, 0xCD, 0xD9, 0x98, 0xA7}}, "EFI_SMM_VARIABLE_PROTOCOL"},
    {{0xAF62673D, 0xDEDA, 0x43AE, {0x8F, 0x03, 0x9C, 0x2D, 0x89, 0xFD, 0x78, 0xDA}}, "HEAP_BUFFER_LIST_PROTOCOL"},
    {{0x395C33FE, 0x287F, 0x413E, {0xA0, 0x55, 0x80, 0x88, 0xC0, 0xE1, 0xD4, 0x3E}}, "SMM_RUNTIME_SERVICES_TABLE"},
    {kHobListGuid, "HOB_LIST"},
    {kCpuFrequencyRecordGuid, "CPU_FREQUENCY_RECORD"},
    {kSetupVariableGuid, "SETUP_VARIABLE"},
    {kHeapBufferHobGuid, "HEAP_BUFFER_HOB"},
};

constexpr const char *kMemoryTypeNames[] = {
    "EfiReservedMemoryType",  "EfiLoaderCode",          "EfiLoaderData",
    "EfiBootServicesCode",    "EfiBootServicesData",    "EfiRuntimeServicesCode",
    "EfiRuntimeServicesData", "EfiConventionalMemory",  "EfiUnusableMemory",
    "EfiACPIReclaimMemory",   "EfiACPIMemoryNVS",       "EfiMemoryMappedIO",
    "EfiMemoryMappedIOPortSpace", "EfiPalCode",         "EfiPersistentMemory",
    "EfiUnacceptedMemoryType",
};

uint32_t Crc32Table(uint32_t Index) {
  uint32_t C = Index;
  for (int K = 0; K < 8; ++K) {
    C = (C & 1) ? 0xEDB88320u ^ (C >> 1) : C >> 1;
  }
  return C;
}

template <typename Table>
void SealHeader(Table &T) {
  T.Hdr.CRC32 = 0;
  T.Hdr.CRC32 = Crc32(&T, sizeof T);
}

}  // namespace

uint32_t Crc32(const void *Data, size_t Size) {
  static const auto Table = [] {
    std::array<uint32_t, 256> T{};
    for (uint32_t I = 0; I < 256; ++I) {
      T[I] = Crc32Table(I);
    }
    return T;
  }();
  uint32_t C = 0xFFFFFFFFu;
  const auto *P = static_cast<const uint8_t *>(Data);
  for (size_t I = 0; I < Size; ++I) {
    C = Table[(C ^ P[I]) & 0xFF] ^ (C >> 8);
  }
  return C ^ 0xFFFFFFFFu;
}

bool SameGuid(const EFI_GUID &A, const EFI_GUID &B) { return std::memcmp(&A, &B, sizeof A) == 0; }

std::string GuidText(const EFI_GUID &Guid) {
  char Buffer[40];
  std::snprintf(Buffer, sizeof Buffer, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", Guid.Data1, Guid.Data2,
                Guid.Data3, Guid.Data4[0], Guid.Data4[1], Guid.Data4[2], Guid.Data4[3], Guid.Data4[4], Guid.Data4[5],
                Guid.Data4[6], Guid.Data4[7]);
  return Buffer;
}

const char *KnownGuidName(const EFI_GUID &Guid) {
  for (const auto &K : kKnownGuids) {
    if (SameGuid(K.Guid, Guid)) {
      return K.Name;
    }
  }
  return nullptr;
}

std::string Utf8FromUcs2(const CHAR16 *Text) {
  std::string Out;
  for (; *Text != 0; ++Text) {
    uint32_t C = *Text;
    if (C >= 0xD800 && C <= 0xDFFF) {
      C = 0xFFFD;  // UCS-2 has no surrogates; keep the trace valid UTF-8
    }
    if (C < 0x80) {
      Out.push_back(static_cast<char>(C));
    } else if (C < 0x800) {
      Out.push_back(static_cast<char>(0xC0 | (C >> 6)));
      Out.push_back(static_cast<char>(0x80 | (C & 0x3F)));
    } else {
      Out.push_back(static_cast<char>(0xE0 | (C >> 12)));
      Out.push_back(static_cast<char>(0x80 | ((C >> 6) & 0x3F)));
      Out.push_back(static_cast<char>(0x80 | (C & 0x3F)));
    }
  }
  return Out;
}

std::string MemoryTypeName(uint32_t Type) {
  if (Type < std::size(kMemoryTypeNames)) {
    return kMemoryTypeNames[Type];
  }
  return Hex(Type);
}

Json GuidJson(const EFI_GUID *Guid) { return Guid != nullptr ? Json(GuidText(*Guid)) : Json(nullptr); }

Json NameJson(const EFI_GUID *Guid) {
  const char *Name = Guid != nullptr ? KnownGuidName(*Guid) : nullptr;
  return Name != nullptr ? Json(Name) : Json(nullptr);
}

// ---------------------------------------------------------------------------

Firmware::Impl::Impl(const Scenario &S, Board &B, Trace &T, PersistentState &Persistent)
    : Brd(B),
      Tr(T),
      Persist(Persistent),
      St(NewFirmwareObject<EFI_SYSTEM_TABLE>("system table")),
      Bs(NewFirmwareObject<EFI_BOOT_SERVICES>("boot-services table")),
      Rs(NewFirmwareObject<EFI_RUNTIME_SERVICES>("runtime-services table")),
      TableArray(&NewFirmwareObject<EFI_CONFIGURATION_TABLE>("configuration table", kMaxConfigurationTables)),
      Vendor(&NewFirmwareObject<CHAR16>("firmware vendor", 16)) {
  std::memcpy(Vendor, u"BoardSim", sizeof u"BoardSim");
  FailAllocations.insert(S.FailAllocations.begin(), S.FailAllocations.end());
  SetVariableStatus = S.SetVariableStatus;
  Pcd.insert(S.Pcd.begin(), S.Pcd.end());

  // Only the non-volatile store survives a reset.
  std::erase_if(Persist.Variables,
                [](const auto &Entry) { return (Entry.second.Attributes & EFI_VARIABLE_NON_VOLATILE) == 0; });
  if (Persist.Boots == 0 && S.Setup) {
    Persist.Variables[{u"Setup", GuidText(kSetupVariableGuid)}] = StoredVariable{S.Setup->Attributes, S.Setup->Data};
  }
  ++Persist.Boots;

  Tables.reserve(kMaxConfigurationTables);
  InitBootServices(*this);
  InitRuntimeServices(*this);
  Bs.Hdr = {EFI_BOOT_SERVICES_SIGNATURE, EFI_2_70_SYSTEM_TABLE_REVISION, sizeof(EFI_BOOT_SERVICES), 0, 0};
  Rs.Hdr = {EFI_RUNTIME_SERVICES_SIGNATURE, EFI_2_70_SYSTEM_TABLE_REVISION, sizeof(EFI_RUNTIME_SERVICES), 0, 0};
  SealHeader(Bs);
  SealHeader(Rs);

  St.Hdr = {EFI_SYSTEM_TABLE_SIGNATURE, EFI_2_70_SYSTEM_TABLE_REVISION, sizeof(EFI_SYSTEM_TABLE), 0, 0};
  St.FirmwareVendor = Vendor;
  St.FirmwareRevision = kFirmwareRevision;
  St.BootServices = &Bs;
  St.RuntimeServices = &Rs;

  BuildHobList(S.Hobs);
  SetConfigurationTable(kHobListGuid, const_cast<uint8_t *>(HobList));

  if (S.CpuFrequencyRecord) {
    // Published as an earlier boot phase would have: not a driver's allocation.
    auto *Record = static_cast<uint8_t *>(NewPoolBlock(EfiACPIMemoryNVS, 24, 0, false));
    const auto &R = *S.CpuFrequencyRecord;
    std::memcpy(Record + 0, &R.TscFrequency, 8);
    std::memcpy(Record + 8, &R.PstateDefinition, 8);
    std::memcpy(Record + 16, &R.PstateIndex, 4);
    std::memcpy(Record + 20, &R.PowerFeatures, 4);
    SetConfigurationTable(kCpuFrequencyRecordGuid, Record);
  }

  InitPlatformProtocols(*this, S.Protocols);
  InitSmm(*this, S.Protocols);
  RefreshSystemTable();
}

Firmware::Impl::~Impl() = default;

void Firmware::Impl::Call(std::string_view Service, Json Fields, std::optional<EFI_STATUS> Status) {
  Json E = Json::object();
  E["service"] = std::string(Service);
  for (auto It = Fields.begin(); It != Fields.end(); ++It) {
    E[It.key()] = It.value();
  }
  E["status"] = Status ? Json(Hex(*Status)) : Json(nullptr);
  Tr.Emit("call", E);
}

void *Firmware::Impl::NewPoolBlock(uint32_t Type, size_t Size, uint64_t Number, bool FromService) {
  void *Buffer = OsMemory.Allocate(Size, Number, Type);
  if (Buffer == nullptr) {
    return nullptr;
  }
  try {
    Pool[Buffer] = PoolBlock{Number, Type, Size, FromService};
  } catch (...) {
    OsMemory.Release(Buffer);
    throw;
  }
  return Buffer;
}

const PoolBlock *Firmware::Impl::FindPoolBlock(const void *Buffer) const {
  auto It = Pool.find(const_cast<void *>(Buffer));
  return It != Pool.end() ? &It->second : nullptr;
}

void Firmware::Impl::ReleasePoolBlock(void *Buffer) {
  auto It = Pool.find(Buffer);
  if (It != Pool.end()) {
    Pool.erase(It);
    OsMemory.Release(Buffer);
  }
}

EFI_STATUS UpdateConfigurationTable(std::vector<EFI_CONFIGURATION_TABLE> &Tables, const EFI_GUID &Guid, void *Table) {
  auto It = std::find_if(Tables.begin(), Tables.end(),
                         [&](const EFI_CONFIGURATION_TABLE &E) { return SameGuid(E.VendorGuid, Guid); });
  if (Table == nullptr) {
    if (It == Tables.end()) {
      return EFI_NOT_FOUND;
    }
    Tables.erase(It);
  } else if (It != Tables.end()) {
    It->VendorTable = Table;
  } else {
    Tables.push_back(EFI_CONFIGURATION_TABLE{Guid, Table});
  }
  return EFI_SUCCESS;
}

EFI_STATUS Firmware::Impl::SetConfigurationTable(const EFI_GUID &Guid, void *Table) {
  if (Table != nullptr && Tables.size() == kMaxConfigurationTables &&
      std::none_of(Tables.begin(), Tables.end(), [&](const auto &E) { return SameGuid(E.VendorGuid, Guid); })) {
    return EFI_OUT_OF_RESOURCES;
  }
  const EFI_STATUS Status = UpdateConfigurationTable(Tables, Guid, Table);
  if (Status == EFI_SUCCESS) {
    RefreshSystemTable();
  }
  return Status;
}

void Firmware::Impl::RefreshSystemTable() {
  std::copy(Tables.begin(), Tables.end(), TableArray);
  St.NumberOfTableEntries = Tables.size();
  St.ConfigurationTable = Tables.empty() ? nullptr : TableArray;
  SealHeader(St);
}

std::vector<EventRecord *> Firmware::Impl::SignalTargets(EventRecord &Event) {
  std::vector<EventRecord *> Out;
  if (Event.Group.empty()) {
    if ((Event.Type & EVT_NOTIFY_SIGNAL) != 0) {
      Out.push_back(&Event);
    }
    return Out;
  }
  for (auto &[Handle, E] : Events) {
    if (E->Group == Event.Group && (E->Type & EVT_NOTIFY_SIGNAL) != 0) {
      Out.push_back(E.get());
    }
  }
  std::sort(Out.begin(), Out.end(), [](const EventRecord *A, const EventRecord *B) { return A->Number < B->Number; });
  return Out;
}

StoredVariable *Firmware::Impl::FindVariable(const std::u16string &Name, const EFI_GUID &Guid) {
  auto It = Persist.Variables.find({Name, GuidText(Guid)});
  return It != Persist.Variables.end() ? &It->second : nullptr;
}

void Firmware::Impl::BuildHobList(const std::vector<HobSpec> &Hobs) {
  std::vector<uint8_t> Bytes(sizeof(EFI_HOB_HANDOFF_INFO_TABLE), 0);

  for (const auto &Hob : Hobs) {
    size_t DataSize = kHeapHeaderSize + Hob.Payload.size();
    size_t Length = (sizeof(EFI_HOB_GUID_TYPE) + DataSize + 7) & ~size_t{7};
    if (Length > 0xFFF8) {
      throw std::length_error("HOB payload of " + std::to_string(Hob.Payload.size()) +
                              " bytes does not fit a 16-bit HOB length");
    }
    size_t At = Bytes.size();
    Bytes.resize(At + Length, 0);
    EFI_HOB_GUID_TYPE Header{{EFI_HOB_TYPE_GUID_EXTENSION, static_cast<UINT16>(Length), 0}, kHeapBufferHobGuid};
    std::memcpy(&Bytes[At], &Header, sizeof Header);
    uint8_t *Data = &Bytes[At + sizeof Header];
    std::memcpy(Data + 0, &Hob.Signature, 4);
    std::memcpy(Data + 4, &Hob.Word4, 4);
    std::memcpy(Data + 8, &Hob.PayloadSize, 4);
    Data[12] = Hob.Kind;
    Data[13] = Hob.Relay;
    std::memcpy(Data + 14, &Hob.Word14, 2);
    if (!Hob.Payload.empty()) {
      std::memcpy(Data + kHeapHeaderSize, Hob.Payload.data(), Hob.Payload.size());
    }
  }

  size_t EndAt = Bytes.size();
  EFI_HOB_GENERIC_HEADER End{EFI_HOB_TYPE_END_OF_HOB_LIST, sizeof(EFI_HOB_GENERIC_HEADER), 0};
  Bytes.resize(EndAt + sizeof End);
  std::memcpy(&Bytes[EndAt], &End, sizeof End);

  auto *Base = &NewFirmwareObject<uint8_t>("HOB list", Bytes.size());
  std::memcpy(Base, Bytes.data(), Bytes.size());
  HobList = Base;

  EFI_HOB_HANDOFF_INFO_TABLE Handoff{};
  Handoff.Header = {EFI_HOB_TYPE_HANDOFF, sizeof(EFI_HOB_HANDOFF_INFO_TABLE), 0};
  Handoff.Version = kHandoffVersion;
  Handoff.BootMode = kBootWithFullConfiguration;
  auto Address = [&](size_t Offset) { return static_cast<EFI_PHYSICAL_ADDRESS>(reinterpret_cast<uintptr_t>(Base + Offset)); };
  Handoff.EfiMemoryBottom = Address(0);
  Handoff.EfiMemoryTop = Address(Bytes.size());
  Handoff.EfiFreeMemoryBottom = Address(Bytes.size());
  Handoff.EfiFreeMemoryTop = Address(Bytes.size());
  Handoff.EfiEndOfHobList = Address(EndAt);
  std::memcpy(Base, &Handoff, sizeof Handoff);
}

// ---------------------------------------------------------------------------

Firmware::Firmware(const Scenario &S, Board &B, Trace &T, PersistentState &Persistent)
    : P(std::make_unique<Impl>(S, B, T, Persistent)) {
  gActiveFirmware = P.get();
}

Firmware::~Firmware() {
  if (gActiveFirmware == P.get()) {
    gActiveFirmware = nullptr;
  }
}

EFI_SYSTEM_TABLE *Firmware::SystemTable() { return &P->St; }

EFI_HANDLE Firmware::NewImageHandle() { return P->Protocols.NewHandle(); }

void Firmware::Activate() { gActiveFirmware = P.get(); }

size_t Firmware::SignalVirtualAddressChange() {
  std::vector<std::pair<EFI_EVENT, EventRecord *>> Targets;
  for (auto &[Handle, E] : P->Events) {
    if (E->Type == EVT_SIGNAL_VIRTUAL_ADDRESS_CHANGE && E->Notify != nullptr) {
      Targets.emplace_back(Handle, E.get());
    }
  }
  std::sort(Targets.begin(), Targets.end(),
            [](const auto &A, const auto &B) { return A.second->Number < B.second->Number; });
  size_t Ran = 0;
  for (auto &[Handle, E] : Targets) {
    // A notification may close events, its own included.
    auto It = P->Events.find(Handle);
    if (It == P->Events.end() || It->second.get() != E) {
      continue;
    }
    E->Signalled = true;
    P->CallDriver(reinterpret_cast<const void *>(E->Notify),
                  {reinterpret_cast<uint64_t>(Handle), reinterpret_cast<uint64_t>(E->Context)});
    ++Ran;
  }
  return Ran;
}

const void *Firmware::HobList() const { return P->HobList; }

std::optional<StoredVariable> Firmware::SetupVariable() const {
  auto *V = P->FindVariable(u"Setup", kSetupVariableGuid);
  return V != nullptr ? std::optional<StoredVariable>(*V) : std::nullopt;
}

const void *Firmware::ConfigurationTable(const EFI_GUID &Guid) const {
  for (const auto &E : P->Tables) {
    if (SameGuid(E.VendorGuid, Guid)) {
      return E.VendorTable;
    }
  }
  return nullptr;
}

size_t Firmware::ConfigurationTableCount() const { return P->Tables.size(); }

std::vector<std::pair<EFI_GUID, void *>> Firmware::InstalledProtocols() const {
  std::vector<std::pair<EFI_GUID, void *>> Out;
  for (const ProtocolEntry *E : P->Protocols.ServiceInstalls()) {
    Out.emplace_back(E->Guid, E->Interface);
  }
  return Out;
}

void Firmware::LockOsMemory(bool Locked) { P->OsMemory.Lock(Locked); }

std::vector<VisibleMemory> Firmware::ImageVisibleMemory() const {
  std::vector<VisibleMemory> Out = {{P->OsMemory.Base(), P->OsMemory.Size(), false, P->OsMemory.UsedBytes()}};
  if (P->Smm) {
    constexpr size_t kPage = 4096;
    Out.push_back({P->Smm->Arena.Base(), P->Smm->Arena.Size(), true, P->Smm->Arena.UsedBytes()});
    Out.push_back({reinterpret_cast<uint8_t *>(P->Smm.get()), (sizeof(SmmWorld) + kPage - 1) & ~(kPage - 1), true,
                   sizeof(SmmWorld)});
  }
  return Out;
}

void Firmware::SetDriverCaller(DriverCaller Call) { P->CallDriver = Call ? std::move(Call) : CallHostCode; }

// No function-type check on the call: it reads the target's first bytes from
// the caller's side, which would hide a jump into an unloaded image; and
// under the UEFI convention a callee reads only the arguments it takes.
__attribute__((no_sanitize("function"))) uint64_t CallHostCode(const void *Function,
                                                               std::initializer_list<uint64_t> Args) {
  uint64_t A[4] = {};
  std::copy_n(Args.begin(), std::min<size_t>(Args.size(), 4), A);
  using Fn = uint64_t(EFIAPI *)(uint64_t, uint64_t, uint64_t, uint64_t);
  return reinterpret_cast<Fn>(const_cast<void *>(Function))(A[0], A[1], A[2], A[3]);
}

std::optional<std::pair<std::string, uint64_t>> Firmware::OsMemoryAt(const void *Address) const {
  const PoolArena &Arena = P->OsMemory;
  if (!Arena.Contains(Address)) {
    return std::nullopt;
  }
  const auto *A = static_cast<const uint8_t *>(Address);
  const PoolArena::Block *B = Arena.Enclosing(Address);
  if (B == nullptr) {
    return std::make_pair(std::string("free boot-services memory"), uint64_t(A - Arena.Base()));
  }
  const uint64_t Offset = A - (Arena.Base() + B->Offset);
  if (B->Label != nullptr) {
    return std::make_pair(std::string(B->Label), Offset);
  }
  std::string What = "pool block " + Hex(B->Number) + " (" + MemoryTypeName(B->Type) + ")";
  for (const auto &T : P->Tables) {
    const char *Name = KnownGuidName(T.VendorGuid);
    if (T.VendorTable == Arena.Base() + B->Offset) {
      What = (Name != nullptr ? std::string(Name) : GuidText(T.VendorGuid)) + " configuration table, " + What;
    }
  }
  return std::make_pair(What, Offset);
}

size_t Firmware::OpenEventCount() const { return P->Events.size(); }

size_t Firmware::LivePoolBlocks() const {
  return std::count_if(P->Pool.begin(), P->Pool.end(), [](const auto &E) { return E.second.FromService; });
}

}  // namespace sim
