// The SMM system table and the platform's SMM protocols, called directly
// through the tables as an SMM driver calls them.
#include <cstring>
#include <vector>

#include "SmmTestSupport.h"

#include "Firmware/FirmwareImpl.h"

using namespace smmtest;

namespace {

bool InRanges(const std::vector<EFI_SMRAM_DESCRIPTOR> &Map, const void *P) {
  const auto A = reinterpret_cast<uintptr_t>(P);
  for (const auto &D : Map) {
    if (A >= D.CpuStart && A < D.CpuStart + D.PhysicalSize) return true;
  }
  return false;
}

std::vector<EFI_SMRAM_DESCRIPTOR> SmramMap(SmmBoot &Sim) {
  auto *Access = Sim.Locate<EFI_SMM_ACCESS2_PROTOCOL>(kAccess2Guid);
  UINTN Size = 0;
  if (Access == nullptr || Access->GetCapabilities(Access, &Size, nullptr) != EFI_BUFFER_TOO_SMALL) return {};
  std::vector<EFI_SMRAM_DESCRIPTOR> Map(Size / sizeof(EFI_SMRAM_DESCRIPTOR));
  if (Access->GetCapabilities(Access, &Size, Map.data()) != EFI_SUCCESS) return {};
  return Map;
}

TEST(SmmSystemTable, IsReachedThroughBase2OnlyInSmm) {
  SmmBoot Sim;
  Sim.Start();
  auto *Base2 = Sim.Locate<EFI_SMM_BASE2_PROTOCOL>(kBase2Guid);
  ASSERT_NE(Base2, nullptr);
  BOOLEAN In = TRUE;
  EXPECT_EQ(Base2->InSmm(Base2, &In), EFI_SUCCESS);
  EXPECT_EQ(In, FALSE);
  EFI_SMM_SYSTEM_TABLE2 *Table = nullptr;
  EXPECT_EQ(Base2->GetSmstLocation(Base2, &Table), EFI_UNSUPPORTED);
  EXPECT_EQ(Table, nullptr);
  EXPECT_EQ(Base2->GetSmstLocation(Base2, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Base2->InSmm(Base2, nullptr), EFI_INVALID_PARAMETER);

  // Entries nest: SMM ends with the outermost leave.
  Sim.F->EnterSmm();
  Sim.F->EnterSmm();
  Sim.F->LeaveSmm();
  EXPECT_EQ(Base2->InSmm(Base2, &In), EFI_SUCCESS);
  EXPECT_EQ(In, TRUE);
  ASSERT_EQ(Base2->GetSmstLocation(Base2, &Table), EFI_SUCCESS);
  EXPECT_EQ(Table, Sim.F->SmmSystemTable());
  Sim.F->LeaveSmm();
  EXPECT_FALSE(Sim.F->InSmm());

  EXPECT_EQ(Table->Hdr.Signature, 0x54534D53u);
  EXPECT_EQ(Table->Hdr.HeaderSize, 240u);
  const uint32_t Crc = Table->Hdr.CRC32;
  EFI_SMM_SYSTEM_TABLE2 Copy;
  std::memcpy(&Copy, Table, sizeof Copy);
  Copy.Hdr.CRC32 = 0;
  EXPECT_EQ(sim::Crc32(&Copy, sizeof Copy), Crc);
  EXPECT_EQ(Table->NumberOfCpus, 1u);
  EXPECT_EQ(Table->CurrentlyExecutingCpu, 0u);
  ASSERT_NE(Table->CpuSaveStateSize, nullptr);
  ASSERT_NE(Table->CpuSaveState, nullptr);
  EXPECT_NE(Table->CpuSaveState[0], nullptr);

  // Every service slot is filled, from SmmInstallConfigurationTable to SmiHandlerUnRegister.
  const auto *Raw = reinterpret_cast<const uint8_t *>(Table);
  for (size_t Offset : {0x28, 0x30, 0x38, 0x40, 0x48, 0x50, 0x58, 0x60, 0x68, 0x70, 0xA8, 0xB0, 0xB8, 0xC0, 0xC8,
                        0xD0, 0xD8, 0xE0, 0xE8}) {
    void *Slot = nullptr;
    std::memcpy(&Slot, Raw + Offset, sizeof Slot);
    EXPECT_NE(Slot, nullptr) << "slot at 0x" << std::hex << Offset;
  }
}

TEST(SmmSystemTable, UnusedServicesAnswerUnsupportedAndAreTraced) {
  SmmBoot Sim;
  Sim.StartInSmm();
  EFI_SMM_SYSTEM_TABLE2 *Table = Sim.Smst();
  ASSERT_NE(Table, nullptr);
  size_t Mark = Sim.Mark();
  EFI_PHYSICAL_ADDRESS Pages = 0;
  EFI_HANDLE Handle = nullptr;
  UINT8 Byte = 0;
  EXPECT_EQ(Table->SmmAllocatePages(AllocateAnyPages, EfiRuntimeServicesData, 1, &Pages), EFI_UNSUPPORTED);
  EXPECT_EQ(Table->SmiHandlerRegister(nullptr, nullptr, &Handle), EFI_UNSUPPORTED);
  EXPECT_EQ(Table->SmmIo.Io.Read(&Table->SmmIo, SMM_IO_UINT8, 0x80, 1, &Byte), EFI_UNSUPPORTED);
  EXPECT_EQ(Sim.Calls("SmmAllocatePages", Mark).size(), 1u);
  EXPECT_EQ(Sim.Calls("SmiHandlerRegister", Mark).size(), 1u);
  EXPECT_EQ(Sim.Calls("SmmIoIoRead", Mark).size(), 1u);
  EXPECT_TRUE(Sim.Events("io-read", Mark).empty()) << "the CPU I/O slot touches no port";
}

TEST(SmmPool, BlocksComeFromSmramAndShareTheAllocationCount) {
  SmmBoot Sim;
  Sim.S.FailAllocations = {2, 4};
  Sim.StartInSmm();
  EFI_SMM_SYSTEM_TABLE2 *Table = Sim.Smst();
  ASSERT_NE(Table, nullptr);
  const auto Map = SmramMap(Sim);
  ASSERT_FALSE(Map.empty());

  void *Boot = nullptr, *Failed = reinterpret_cast<void *>(1), *Smram = nullptr, *Late = nullptr;
  EXPECT_EQ(Sim.Bs()->AllocatePool(EfiBootServicesData, 16, &Boot), EFI_SUCCESS);
  EXPECT_EQ(Table->SmmAllocatePool(EfiRuntimeServicesData, 64, &Failed), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Failed, nullptr);
  EXPECT_EQ(Table->SmmAllocatePool(EfiRuntimeServicesData, 64, &Smram), EFI_SUCCESS);
  EXPECT_EQ(Sim.Bs()->AllocatePool(EfiBootServicesData, 16, &Late), EFI_OUT_OF_RESOURCES) << "call 4 of the run";
  ASSERT_NE(Smram, nullptr);
  EXPECT_TRUE(InRanges(Map, Smram));
  EXPECT_FALSE(InRanges(Map, Boot));
  EXPECT_EQ(static_cast<uint8_t *>(Smram)[63], sim::kPoolFill) << "pool is not zeroed";
  EXPECT_EQ(reinterpret_cast<uintptr_t>(Smram) % 16, 0u);
  EXPECT_EQ(Sim.F->LiveSmramBlocks(), 1u);
  EXPECT_EQ(Sim.F->LivePoolBlocks(), 1u);

  auto Calls = Sim.Calls("SmmAllocatePool");
  ASSERT_EQ(Calls.size(), 2u);
  EXPECT_EQ(Calls[0]["type"], "EfiRuntimeServicesData");
  EXPECT_EQ(Calls[0]["size"], "0x40");
  EXPECT_EQ(Calls[0]["allocation"], "0x2");
  EXPECT_EQ(Calls[0]["injected"], true);
  EXPECT_TRUE(Calls[0]["block"].is_null());
  EXPECT_EQ(Calls[1]["block"], "0x3");
  EXPECT_EQ(Calls[1]["status"], "0x0");
}

TEST(SmmPool, AcceptsOnlyRuntimeServicesMemory) {
  SmmBoot Sim;
  Sim.StartInSmm();
  EFI_SMM_SYSTEM_TABLE2 *Table = Sim.Smst();
  ASSERT_NE(Table, nullptr);
  void *P = reinterpret_cast<void *>(1);
  for (EFI_MEMORY_TYPE Type : {EfiBootServicesData, EfiLoaderData, EfiACPIMemoryNVS, EfiReservedMemoryType}) {
    EXPECT_EQ(Table->SmmAllocatePool(Type, 8, &P), EFI_INVALID_PARAMETER) << Type;
    EXPECT_EQ(P, nullptr);
  }
  EXPECT_EQ(Table->SmmAllocatePool(EfiRuntimeServicesData, 8, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Table->SmmAllocatePool(EfiRuntimeServicesCode, 8, &P), EFI_SUCCESS);
  EXPECT_EQ(Table->SmmAllocatePool(EfiRuntimeServicesData, 64u << 20, &P), EFI_OUT_OF_RESOURCES) << "beyond SMRAM";
  EXPECT_EQ(Sim.Persistent.AllocationCount, 7u) << "rejected calls are numbered too";
  EXPECT_EQ(Sim.F->LiveSmramBlocks(), 1u);
}

TEST(SmmPool, BlocksDoNotOverlapAndFreeTakesOnlySmmBlocks) {
  SmmBoot Sim;
  Sim.StartInSmm();
  EFI_SMM_SYSTEM_TABLE2 *Table = Sim.Smst();
  ASSERT_NE(Table, nullptr);
  std::vector<uint8_t *> Blocks;
  const size_t Sizes[] = {1, 24, 32, 100, 4096, 0};
  for (size_t Size : Sizes) {
    void *P = nullptr;
    ASSERT_EQ(Table->SmmAllocatePool(EfiRuntimeServicesData, Size, &P), EFI_SUCCESS);
    ASSERT_NE(P, nullptr) << "size 0 still yields a block";
    std::memset(P, 0x11, Size);  // under AddressSanitizer a block reaching past its size stops here
    Blocks.push_back(static_cast<uint8_t *>(P));
  }
  for (size_t I = 0; I < Blocks.size(); ++I) {
    for (size_t J = I + 1; J < Blocks.size(); ++J) {
      const bool Apart = Blocks[I] + Sizes[I] <= Blocks[J] || Blocks[J] + Sizes[J] <= Blocks[I];
      EXPECT_TRUE(Apart) << I << " and " << J;
    }
  }

  void *Boot = nullptr;
  ASSERT_EQ(Sim.Bs()->AllocatePool(EfiRuntimeServicesData, 32, &Boot), EFI_SUCCESS);
  EXPECT_EQ(Table->SmmFreePool(Boot), EFI_INVALID_PARAMETER) << "boot-services pool is not SMRAM";
  EXPECT_EQ(Table->SmmFreePool(Blocks[2] + 8), EFI_INVALID_PARAMETER) << "inside a block";
  EXPECT_EQ(Table->SmmFreePool(nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Table->SmmFreePool(Blocks[2]), EFI_SUCCESS);
  EXPECT_EQ(Table->SmmFreePool(Blocks[2]), EFI_INVALID_PARAMETER) << "freed once";
  EXPECT_EQ(Sim.F->LiveSmramBlocks(), Blocks.size() - 1);
  EXPECT_EQ(Sim.F->LivePoolBlocks(), 1u);

  // The hole is taken again by a block that fits it.
  void *Again = nullptr;
  ASSERT_EQ(Table->SmmAllocatePool(EfiRuntimeServicesData, 32, &Again), EFI_SUCCESS);
  EXPECT_EQ(Again, Blocks[2]);

  auto Frees = Sim.Calls("SmmFreePool");
  ASSERT_EQ(Frees.size(), 5u);
  EXPECT_TRUE(Frees[0]["block"].is_null());
  EXPECT_EQ(Frees[3]["block"], "0x3");
  EXPECT_EQ(Frees[3]["status"], "0x0");
}

// --- Protocol notifications --------------------------------------------------------

struct NotifyCall {
  int Which;
  EFI_GUID Guid;
  void *Interface;
  EFI_HANDLE Handle;
};
std::vector<NotifyCall> gNotifyCalls;

template <int Which>
EFI_STATUS EFIAPI RecordNotify(CONST EFI_GUID *Protocol, VOID *Interface, EFI_HANDLE Handle) {
  gNotifyCalls.push_back({Which, *Protocol, Interface, Handle});
  return EFI_SUCCESS;
}

TEST(SmmNotify, RegistrationFollowsThePairAndFiresOnLaterInstallations) {
  SmmBoot Sim;
  Sim.StartInSmm();
  EFI_SMM_SYSTEM_TABLE2 *Table = Sim.Smst();
  ASSERT_NE(Table, nullptr);
  gNotifyCalls.clear();
  const EFI_GUID Guid = kExitNotifyGuid;
  const EFI_GUID Other = fwtest::kOtherGuid;

  VOID *A = nullptr, *AAgain = nullptr, *B = nullptr, *AOther = nullptr;
  EXPECT_EQ(Table->SmmRegisterProtocolNotify(nullptr, &RecordNotify<1>, &A), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Table->SmmRegisterProtocolNotify(&Guid, &RecordNotify<1>, nullptr), EFI_INVALID_PARAMETER);
  ASSERT_EQ(Table->SmmRegisterProtocolNotify(&Guid, &RecordNotify<1>, &A), EFI_SUCCESS);
  ASSERT_EQ(Table->SmmRegisterProtocolNotify(&Guid, &RecordNotify<1>, &AAgain), EFI_SUCCESS);
  ASSERT_EQ(Table->SmmRegisterProtocolNotify(&Guid, &RecordNotify<2>, &B), EFI_SUCCESS);
  ASSERT_EQ(Table->SmmRegisterProtocolNotify(&Other, &RecordNotify<1>, &AOther), EFI_SUCCESS);
  EXPECT_NE(A, nullptr);
  EXPECT_EQ(AAgain, A) << "the same protocol and function give the existing registration";
  EXPECT_NE(B, A);
  EXPECT_NE(AOther, A);
  EXPECT_TRUE(gNotifyCalls.empty()) << "nothing was installed yet";

  int Interface = 0;
  EFI_HANDLE Handle = nullptr;
  EFI_GUID Install = Guid;
  ASSERT_EQ(Table->SmmInstallProtocolInterface(&Handle, &Install, EFI_NATIVE_INTERFACE, &Interface), EFI_SUCCESS);
  ASSERT_EQ(gNotifyCalls.size(), 2u);
  EXPECT_EQ(gNotifyCalls[0].Which, 1);
  EXPECT_EQ(gNotifyCalls[1].Which, 2);
  EXPECT_TRUE(sim::SameGuid(gNotifyCalls[0].Guid, Guid));
  EXPECT_EQ(gNotifyCalls[0].Interface, &Interface);
  EXPECT_EQ(gNotifyCalls[0].Handle, Handle);

  // A null function withdraws the registration named by the token, once.
  VOID *Token = A;
  EXPECT_EQ(Table->SmmRegisterProtocolNotify(&Other, nullptr, &Token), EFI_NOT_FOUND) << "token of another protocol";
  EXPECT_EQ(Table->SmmRegisterProtocolNotify(&Guid, nullptr, &Token), EFI_SUCCESS);
  EXPECT_EQ(Table->SmmRegisterProtocolNotify(&Guid, nullptr, &Token), EFI_NOT_FOUND);

  gNotifyCalls.clear();
  EFI_HANDLE Second = nullptr;
  ASSERT_EQ(Table->SmmInstallProtocolInterface(&Second, &Install, EFI_NATIVE_INTERFACE, &Interface), EFI_SUCCESS);
  ASSERT_EQ(gNotifyCalls.size(), 1u);
  EXPECT_EQ(gNotifyCalls[0].Which, 2);
  EXPECT_NE(Second, Handle);

  // Registering anew after the withdrawal gives a fresh token; installations
  // before a registration are not replayed to it.
  VOID *ANew = nullptr;
  gNotifyCalls.clear();
  ASSERT_EQ(Table->SmmRegisterProtocolNotify(&Guid, &RecordNotify<1>, &ANew), EFI_SUCCESS);
  EXPECT_TRUE(gNotifyCalls.empty());

  auto Calls = Sim.Calls("SmmRegisterProtocolNotify");
  ASSERT_EQ(Calls.size(), 10u);
  EXPECT_EQ(Calls[2]["guid"], "296EB418-C4C8-4E05-AB59-39E8AF56F00A");
  EXPECT_EQ(Calls[2]["function"], true);
  EXPECT_EQ(Calls[2]["registration"], "0x1");
  EXPECT_EQ(Calls[3]["existing"], true);
  EXPECT_EQ(Calls[3]["registration"], "0x1");
  EXPECT_EQ(Calls[7]["registration"], "0x1");
  EXPECT_EQ(Calls[7]["function"], false);
  EXPECT_EQ(Calls[8]["status"], "0x800000000000000E");
  EXPECT_EQ(Calls[9]["registration"], "0x4");
  auto Installs = Sim.Calls("SmmInstallProtocolInterface");
  ASSERT_EQ(Installs.size(), 2u);
  EXPECT_EQ(Installs[0]["notified"], 2);
}

// --- Protocol databases --------------------------------------------------------------

TEST(SmmProtocolDatabase, IsSeparateFromTheUefiOne) {
  SmmBoot Sim;
  Sim.StartInSmm();
  EFI_SMM_SYSTEM_TABLE2 *Table = Sim.Smst();
  ASSERT_NE(Table, nullptr);

  EXPECT_NE(Sim.SmmLocate<EFI_SMM_VARIABLE_PROTOCOL>(kVariableGuid), nullptr);
  EXPECT_NE(Sim.SmmLocate<EFI_SMM_SX_DISPATCH2_PROTOCOL>(kSxGuid), nullptr);
  EXPECT_EQ(Sim.Locate<EFI_SMM_VARIABLE_PROTOCOL>(kVariableGuid), nullptr);
  EXPECT_EQ(Sim.Locate<EFI_SMM_SX_DISPATCH2_PROTOCOL>(kSxGuid), nullptr);
  EXPECT_EQ(Sim.SmmLocate<EFI_SMM_BASE2_PROTOCOL>(kBase2Guid), nullptr);
  EXPECT_EQ(Sim.SmmLocate<EFI_SMM_ACCESS2_PROTOCOL>(kAccess2Guid), nullptr);

  int Interface = 0;
  EFI_HANDLE Handle = nullptr;
  EFI_GUID Guid = fwtest::kTestGuid;
  ASSERT_EQ(Table->SmmInstallProtocolInterface(&Handle, &Guid, EFI_NATIVE_INTERFACE, &Interface), EFI_SUCCESS);
  EXPECT_EQ(Table->SmmInstallProtocolInterface(&Handle, &Guid, EFI_NATIVE_INTERFACE, &Interface),
            EFI_INVALID_PARAMETER)
      << "once per handle";
  void *Found = nullptr;
  EXPECT_EQ(Table->SmmHandleProtocol(Handle, &Guid, &Found), EFI_SUCCESS);
  EXPECT_EQ(Found, &Interface);
  EXPECT_EQ(Table->SmmLocateProtocol(&Guid, nullptr, &Found), EFI_SUCCESS);
  EXPECT_EQ(Sim.Locate<int>(Guid), nullptr);
  EXPECT_EQ(Table->SmmUninstallProtocolInterface(Handle, &Guid, &Interface), EFI_SUCCESS);
  EXPECT_EQ(Table->SmmLocateProtocol(&Guid, nullptr, &Found), EFI_NOT_FOUND);
  EXPECT_EQ(Found, nullptr);

  auto Locates = Sim.Calls("SmmLocateProtocol");
  ASSERT_FALSE(Locates.empty());
  EXPECT_EQ(Locates[0]["protocol"], "EFI_SMM_VARIABLE_PROTOCOL");
  EXPECT_EQ(Locates[0]["guid"], "ED32D533-99E6-4209-9CC0-2D72CDD998A7");
}

struct ProtocolCase {
  bool sim::ProtocolSet::*Flag;
  bool InSmm;  // which database holds it
  EFI_GUID Guid;
};

// Test names show the protocol, not the bytes of the case.
void PrintTo(const ProtocolCase &C, std::ostream *Os) { *Os << sim::GuidText(C.Guid); }

class SmmProtocolPresence : public ::testing::TestWithParam<ProtocolCase> {};

TEST_P(SmmProtocolPresence, FollowsTheScenario) {
  for (bool Present : {true, false}) {
    SmmBoot Sim;
    Sim.S.Protocols.*GetParam().Flag = Present;
    Sim.StartInSmm();
    void *Interface = GetParam().InSmm ? Sim.SmmLocate<void>(GetParam().Guid) : Sim.Locate<void>(GetParam().Guid);
    EXPECT_EQ(Interface != nullptr, Present);
  }
}

INSTANTIATE_TEST_SUITE_P(EachFlag, SmmProtocolPresence,
                         ::testing::Values(ProtocolCase{&sim::ProtocolSet::SmmAccess2, false, kAccess2Guid},
                                           ProtocolCase{&sim::ProtocolSet::SxDispatch, true, kSxGuid},
                                           ProtocolCase{&sim::ProtocolSet::PowerButtonDispatch, true, kPowerButtonGuid},
                                           ProtocolCase{&sim::ProtocolSet::SmmVariable, true, kVariableGuid},
                                           ProtocolCase{&sim::ProtocolSet::HeapBufferList, false, kHeapListGuid}));

TEST(SmmProtocolPresence, NoBase2NoSmmSystemTable) {
  SmmBoot Sim;
  Sim.S.Protocols.SmmBase2 = false;
  Sim.StartInSmm();
  EXPECT_EQ(Sim.Smst(), nullptr);
  EXPECT_EQ(Sim.Calls("LocateProtocol").back()["status"], "0x800000000000000E");
}

// --- SMM configuration table ---------------------------------------------------------

TEST(SmmConfigurationTable, CarriesTheSmmRuntimeServicesOverTheOneStore) {
  SmmBoot Sim;
  Sim.S.Setup = sim::SetupConfigSpec{0x07, std::vector<uint8_t>(669, 0x3C)};
  Sim.StartInSmm();
  EFI_SMM_SYSTEM_TABLE2 *Table = Sim.Smst();
  ASSERT_NE(Table, nullptr);
  EFI_RUNTIME_SERVICES *Runtime = nullptr;
  for (UINTN I = 0; I < Table->NumberOfTableEntries; ++I) {
    if (sim::SameGuid(Table->SmmConfigurationTable[I].VendorGuid, kSmmRuntimeGuid)) {
      Runtime = static_cast<EFI_RUNTIME_SERVICES *>(Table->SmmConfigurationTable[I].VendorTable);
      break;
    }
  }
  ASSERT_NE(Runtime, nullptr);
  EXPECT_EQ(Runtime->Hdr.Signature, EFI_RUNTIME_SERVICES_SIGNATURE);

  std::vector<uint8_t> Data(669);
  UINTN Size = Data.size();
  EFI_GUID SetupGuid = fwtest::kSetupGuid;
  ASSERT_EQ(Runtime->GetVariable(const_cast<CHAR16 *>(u"Setup"), &SetupGuid, nullptr, &Size, Data.data()), EFI_SUCCESS);
  EXPECT_EQ(Data[0x286], 0x3C);
  Data[0x286] = 0;
  ASSERT_EQ(Runtime->SetVariable(const_cast<CHAR16 *>(u"Setup"), &SetupGuid, 0x07, Data.size(), Data.data()),
            EFI_SUCCESS);
  EXPECT_EQ(Sim.F->SetupVariable()->Data[0x286], 0) << "written to the store DXE reads";

  // Tables installed by SMM code join it; a null table removes one.
  int Mine = 0;
  const EFI_GUID Guid = fwtest::kTestGuid;
  const UINTN Before = Table->NumberOfTableEntries;
  EXPECT_EQ(Table->SmmInstallConfigurationTable(Table, &Guid, &Mine, sizeof Mine), EFI_SUCCESS);
  ASSERT_EQ(Table->NumberOfTableEntries, Before + 1);
  EXPECT_EQ(Table->SmmConfigurationTable[Before].VendorTable, &Mine);
  EXPECT_EQ(Table->SmmInstallConfigurationTable(Table, &Guid, nullptr, 0), EFI_SUCCESS);
  EXPECT_EQ(Table->SmmInstallConfigurationTable(Table, &Guid, nullptr, 0), EFI_NOT_FOUND);
  EXPECT_EQ(Table->NumberOfTableEntries, Before);
}

// --- SMM Access2 ----------------------------------------------------------------------

TEST(SmmAccess2, ReportsSmramInTwoCalls) {
  SmmBoot Sim;
  Sim.StartInSmm();
  auto *Access = Sim.Locate<EFI_SMM_ACCESS2_PROTOCOL>(kAccess2Guid);
  ASSERT_NE(Access, nullptr);
  EXPECT_TRUE(Access->LockState);
  EXPECT_FALSE(Access->OpenState);

  UINTN Size = 0;
  EXPECT_EQ(Access->GetCapabilities(Access, nullptr, nullptr), EFI_INVALID_PARAMETER);
  ASSERT_EQ(Access->GetCapabilities(Access, &Size, nullptr), EFI_BUFFER_TOO_SMALL);
  ASSERT_EQ(Size, 2 * sizeof(EFI_SMRAM_DESCRIPTOR));
  UINTN Short = Size - 1;
  EFI_SMRAM_DESCRIPTOR Map[3] = {};
  EXPECT_EQ(Access->GetCapabilities(Access, &Short, Map), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(Short, Size);
  UINTN Roomy = sizeof Map;
  ASSERT_EQ(Access->GetCapabilities(Access, &Roomy, Map), EFI_SUCCESS);
  EXPECT_EQ(Roomy, Size) << "the size written, not the room offered";

  EXPECT_EQ(Map[0].CpuStart, Map[0].PhysicalStart);
  EXPECT_EQ(Map[1].CpuStart, Map[1].PhysicalStart);
  EXPECT_EQ(Map[0].PhysicalStart + Map[0].PhysicalSize, Map[1].PhysicalStart) << "adjacent ranges";
  EXPECT_GE(Map[0].PhysicalSize + Map[1].PhysicalSize, 1u << 20);
  EXPECT_EQ(Map[0].RegionState & (EFI_SMRAM_CLOSED | EFI_SMRAM_LOCKED), EFI_SMRAM_CLOSED | EFI_SMRAM_LOCKED);
  EXPECT_EQ(Map[2].PhysicalSize, 0u) << "nothing written past the map";

  auto Calls = Sim.Calls("SmmAccessGetCapabilities");
  ASSERT_EQ(Calls.size(), 4u);
  EXPECT_EQ(Calls[1]["size"], "0x0");
  EXPECT_EQ(Calls[1]["needed"], "0x40");
  EXPECT_EQ(Calls[1]["status"], "0x8000000000000005");
}

// --- Heap-buffer list left by an earlier driver -------------------------------------------

TEST(HeapBufferList, PreinstalledInstanceIsAnEmptyListHead) {
  SmmBoot Sim;
  Sim.S.Protocols.HeapBufferList = true;
  Sim.StartInSmm();
  auto *Instance = Sim.Locate<uint8_t>(kHeapListGuid);
  ASSERT_NE(Instance, nullptr);
  uint64_t Field = 0;
  void *Forward = nullptr, *Backward = nullptr;
  std::memcpy(&Field, Instance, 8);
  std::memcpy(&Forward, Instance + 8, 8);
  std::memcpy(&Backward, Instance + 16, 8);
  EXPECT_EQ(Field, 1u);
  EXPECT_EQ(Forward, Instance + 8);
  EXPECT_EQ(Backward, Instance + 8);
  auto List = Sim.F->HeapBufferList();
  ASSERT_TRUE(List.has_value());
  EXPECT_TRUE(List->empty());
  EXPECT_TRUE(Sim.F->InstalledProtocols().empty()) << "not a driver's installation";

  SmmBoot Without;
  Without.StartInSmm();
  EXPECT_FALSE(Without.F->HeapBufferList().has_value());
}

TEST(HeapBufferList, WalkReadsNodesInListOrderAndStopsAtAForeignLink) {
  SmmBoot Sim;
  Sim.S.Protocols.HeapBufferList = true;
  Sim.StartInSmm();
  EFI_SMM_SYSTEM_TABLE2 *Table = Sim.Smst();
  ASSERT_NE(Table, nullptr);
  auto *Instance = Sim.Locate<uint8_t>(kHeapListGuid);
  ASSERT_NE(Instance, nullptr);
  uint8_t *Head = Instance + 8;

  // Two nodes appended at the tail, as a relay does: payloads of 2 and 0 bytes.
  auto Node = [&](uint8_t Tag, uint32_t PayloadSize) {
    void *P = nullptr;
    EXPECT_EQ(Table->SmmAllocatePool(EfiRuntimeServicesData, 32 + PayloadSize, &P), EFI_SUCCESS);
    auto *N = static_cast<uint8_t *>(P);
    std::memset(N + 16, Tag, 16);
    std::memcpy(N + 16 + 8, &PayloadSize, 4);
    std::memset(N + 32, Tag + 1, PayloadSize);
    return N;
  };
  auto Link = [](uint8_t *From, void *To) { std::memcpy(From, &To, 8); };
  uint8_t *First = Node(0x10, 2);
  uint8_t *Second = Node(0x20, 0);
  Link(Head, First);
  Link(First, Second);
  Link(Second, Head);

  auto List = Sim.F->HeapBufferList();
  ASSERT_TRUE(List.has_value());
  ASSERT_EQ(List->size(), 2u);
  EXPECT_EQ((*List)[0].Header, (std::vector<uint8_t>{0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 2, 0, 0, 0,
                                                     0x10, 0x10, 0x10, 0x10}));
  EXPECT_EQ((*List)[0].Payload, (std::vector<uint8_t>{0x11, 0x11}));
  EXPECT_TRUE((*List)[1].Payload.empty());

  // A node whose header claims more payload than its block holds ends the walk.
  uint32_t Overstated = 100;
  std::memcpy(Second + 16 + 8, &Overstated, 4);
  EXPECT_EQ(Sim.F->HeapBufferList()->size(), 1u);
  // So does a link to memory that is no pool block.
  static uint8_t Foreign[64];
  Link(First, Foreign);
  EXPECT_EQ(Sim.F->HeapBufferList()->size(), 1u);
}

}  // namespace
