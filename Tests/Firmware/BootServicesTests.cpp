#include <cstring>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include "FirmwareTestSupport.h"

using namespace fwtest;

namespace {

TEST(Pool, InjectedFailuresFollowTheRunWideCallNumber) {
  Boot Sim;
  Sim.S.FailAllocations = {2, 5};
  Sim.Start();

  void *A = nullptr, *B = reinterpret_cast<void *>(1), *C = nullptr;
  EXPECT_EQ(Sim.Bs()->AllocatePool(EfiBootServicesData, 16, &A), EFI_SUCCESS);
  EXPECT_EQ(Sim.Bs()->AllocatePool(EfiRuntimeServicesData, 32, &B), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(B, nullptr);
  EXPECT_EQ(Sim.Bs()->AllocatePool(EfiACPIMemoryNVS, 24, &C), EFI_SUCCESS);
  ASSERT_NE(A, nullptr);
  ASSERT_NE(C, nullptr);
  EXPECT_EQ(Sim.F->LivePoolBlocks(), 2u);

  // The count carries over a reset: the second boot's calls are numbers 4 and 5.
  Sim.Reboot();
  EXPECT_EQ(Sim.F->LivePoolBlocks(), 0u) << "pool is gone after a reset";
  void *D = nullptr, *E = nullptr;
  EXPECT_EQ(Sim.Bs()->AllocatePool(EfiBootServicesData, 8, &D), EFI_SUCCESS);
  EXPECT_EQ(Sim.Bs()->AllocatePool(EfiBootServicesData, 8, &E), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Sim.Persistent.AllocationCount, 5u);

  auto Calls = Sim.Calls("AllocatePool");
  ASSERT_EQ(Calls.size(), 5u);
  EXPECT_EQ(Calls[0]["type"], "EfiBootServicesData");
  EXPECT_EQ(Calls[0]["size"], "0x10");
  EXPECT_EQ(Calls[0]["block"], "0x1");
  EXPECT_TRUE(Calls[1]["block"].is_null());
  EXPECT_EQ(Calls[1]["injected"], true);
  EXPECT_EQ(Calls[1]["status"], "0x8000000000000009");
  EXPECT_EQ(Calls[2]["type"], "EfiACPIMemoryNVS");
  EXPECT_EQ(Calls[3]["block"], "0x4");
  EXPECT_EQ(Calls[4]["allocation"], "0x5");
}

TEST(Pool, TypesAreValidatedAsTheFirmwareDoes) {
  Boot Sim;
  Sim.Start();
  void *P = nullptr;
  EXPECT_EQ(Sim.Bs()->AllocatePool(EfiConventionalMemory, 8, &P), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Sim.Bs()->AllocatePool(EfiPersistentMemory, 8, &P), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Sim.Bs()->AllocatePool(EfiMaxMemoryType, 8, &P), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Sim.Bs()->AllocatePool(static_cast<EFI_MEMORY_TYPE>(0x6FFFFFFF), 8, &P), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Sim.Bs()->AllocatePool(EfiBootServicesData, 8, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Sim.F->LivePoolBlocks(), 0u);

  EXPECT_EQ(Sim.Bs()->AllocatePool(static_cast<EFI_MEMORY_TYPE>(0x70000000), 8, &P), EFI_SUCCESS) << "OEM range";
  void *Empty = nullptr;
  EXPECT_EQ(Sim.Bs()->AllocatePool(EfiBootServicesData, 0, &Empty), EFI_SUCCESS) << "size 0 is allowed";
  EXPECT_NE(Empty, nullptr);
  EXPECT_EQ(Sim.Bs()->AllocatePool(EfiBootServicesData, ~UINTN{0}, &P), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Sim.Persistent.AllocationCount, 8u) << "every call is numbered, rejected ones included";

  auto Calls = Sim.Calls("AllocatePool");
  EXPECT_EQ(Calls[5]["type"], "0x70000000");
}

TEST(Pool, FreeReleasesOnlyBlocksItHandedOut) {
  Boot Sim;
  Sim.Start();
  void *P = nullptr;
  ASSERT_EQ(Sim.Bs()->AllocatePool(EfiRuntimeServicesData, 100, &P), EFI_SUCCESS);
  int Local = 0;
  EXPECT_EQ(Sim.Bs()->FreePool(&Local), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Sim.Bs()->FreePool(nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Sim.Bs()->FreePool(P), EFI_SUCCESS);
  EXPECT_EQ(Sim.Bs()->FreePool(P), EFI_INVALID_PARAMETER) << "a block is freed once";
  EXPECT_EQ(Sim.F->LivePoolBlocks(), 0u);

  auto Calls = Sim.Calls("FreePool");
  ASSERT_EQ(Calls.size(), 4u);
  EXPECT_TRUE(Calls[0]["block"].is_null());
  EXPECT_EQ(Calls[2]["block"], "0x1");
  EXPECT_EQ(Calls[2]["status"], "0x0");
}

EFI_EVENT gNotifiedEvent = nullptr;
int gNotifyCount = 0;
void *gNotifyContext = nullptr;

VOID EFIAPI CountingNotify(EFI_EVENT Event, VOID *Context) {
  gNotifiedEvent = Event;
  gNotifyContext = Context;
  ++gNotifyCount;
}

VOID EFIAPI ConvertingNotify(EFI_EVENT, VOID *Context) {
  auto *Rt = static_cast<EFI_RUNTIME_SERVICES *>(Context);
  static VOID *Pointer = reinterpret_cast<VOID *>(0xFED80000);
  Rt->ConvertPointer(0, &Pointer);
  ++gNotifyCount;
}

TEST(Events, CreateSignalAndClose) {
  Boot Sim;
  Sim.Start();
  gNotifyCount = 0;
  EFI_EVENT Event = nullptr;
  int Context = 0;
  ASSERT_EQ(Sim.Bs()->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, &CountingNotify, &Context, &Event), EFI_SUCCESS);
  EXPECT_EQ(Sim.F->OpenEventCount(), 1u);
  EXPECT_EQ(Sim.Bs()->SignalEvent(Event), EFI_SUCCESS);
  EXPECT_EQ(gNotifyCount, 1);
  EXPECT_EQ(gNotifiedEvent, Event);
  EXPECT_EQ(gNotifyContext, &Context);
  EXPECT_EQ(Sim.Bs()->CloseEvent(Event), EFI_SUCCESS);
  EXPECT_EQ(Sim.Bs()->CloseEvent(Event), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Sim.Bs()->SignalEvent(Event), EFI_INVALID_PARAMETER);
  EXPECT_EQ(gNotifyCount, 1);
  EXPECT_EQ(Sim.F->OpenEventCount(), 0u);

  auto Created = Sim.Calls("CreateEvent");
  ASSERT_EQ(Created.size(), 1u);
  EXPECT_EQ(Created[0]["type"], "0x200");
  EXPECT_EQ(Created[0]["tpl"], "0x8");
  EXPECT_EQ(Created[0]["handle"], "0x1");
  EXPECT_EQ(Sim.Calls("CloseEvent").size(), 2u);
}

TEST(Events, InvalidCreationsAreRefused) {
  Boot Sim;
  Sim.Start();
  EFI_EVENT Event = nullptr;
  EXPECT_EQ(Sim.Bs()->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, nullptr, nullptr, &Event), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Sim.Bs()->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_APPLICATION, &CountingNotify, nullptr, &Event),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(Sim.Bs()->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_HIGH_LEVEL, &CountingNotify, nullptr, &Event),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(Sim.Bs()->CreateEvent(EVT_NOTIFY_SIGNAL | EVT_NOTIFY_WAIT, TPL_CALLBACK, &CountingNotify, nullptr, &Event),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(Sim.Bs()->CreateEvent(0x1234, TPL_CALLBACK, &CountingNotify, nullptr, &Event), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Sim.Bs()->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, &CountingNotify, nullptr, nullptr),
            EFI_INVALID_PARAMETER);
  EFI_GUID Group = kTestGuid;
  EXPECT_EQ(Sim.Bs()->CreateEventEx(EVT_SIGNAL_VIRTUAL_ADDRESS_CHANGE, TPL_NOTIFY, &CountingNotify, nullptr, &Group,
                                    &Event),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(Sim.F->OpenEventCount(), 0u);
  for (const auto &C : Sim.Calls("CreateEvent")) EXPECT_TRUE(C["handle"].is_null());
}

TEST(Events, VirtualAddressChangeFiresOnlyItsEvents) {
  Boot Sim;
  Sim.Start();
  gNotifyCount = 0;
  EFI_EVENT Va = nullptr, Plain = nullptr, Closed = nullptr;
  ASSERT_EQ(Sim.Bs()->CreateEvent(EVT_SIGNAL_VIRTUAL_ADDRESS_CHANGE, TPL_NOTIFY, &ConvertingNotify, Sim.Rs(), &Va),
            EFI_SUCCESS);
  ASSERT_EQ(Sim.Bs()->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, &CountingNotify, nullptr, &Plain), EFI_SUCCESS);
  ASSERT_EQ(Sim.Bs()->CreateEvent(EVT_SIGNAL_VIRTUAL_ADDRESS_CHANGE, TPL_NOTIFY, &CountingNotify, nullptr, &Closed),
            EFI_SUCCESS);
  ASSERT_EQ(Sim.Bs()->CloseEvent(Closed), EFI_SUCCESS);

  EXPECT_EQ(Sim.F->SignalVirtualAddressChange(), 1u);
  EXPECT_EQ(gNotifyCount, 1);
  EXPECT_EQ(Sim.Calls("ConvertPointer").size(), 1u);
}

TEST(Protocols, PlatformProtocolsFollowTheScenario) {
  struct Case {
    sim::ProtocolSet Set;
    bool Pcd, EfiPcd, Print;
  };
  const Case Cases[] = {
      {{false, false, false, false, false, false, false, false, false}, false, false, false},
      {{true, false, false, false, false, false, false, false, false}, true, false, false},
      {{false, true, true, false, false, false, false, false, false}, false, true, true},
  };
  for (const auto &C : Cases) {
    Boot Sim;
    Sim.S.Protocols = C.Set;
    Sim.Start();
    auto Locate = [&](EFI_GUID G) {
      VOID *Interface = reinterpret_cast<VOID *>(0x1);
      EFI_STATUS S = Sim.Bs()->LocateProtocol(&G, nullptr, &Interface);
      EXPECT_EQ(S == EFI_SUCCESS, Interface != nullptr);
      if (S != EFI_SUCCESS) EXPECT_EQ(S, EFI_NOT_FOUND);
      return S == EFI_SUCCESS;
    };
    EXPECT_EQ(Locate(kPcdGuid), C.Pcd);
    EXPECT_EQ(Locate(kEfiPcdGuid), C.EfiPcd);
    EXPECT_EQ(Locate(kDebugPrintGuid), C.Print);
    EXPECT_TRUE(Sim.F->InstalledProtocols().empty()) << "the platform's own are not the drivers'";
    auto Calls = Sim.Calls("LocateProtocol");
    ASSERT_EQ(Calls.size(), 3u);
    EXPECT_EQ(Calls[0]["guid"], "11B34006-D85B-4D0A-A290-D5A571310EF7");
    EXPECT_EQ(Calls[0]["protocol"], "PCD_PROTOCOL");
  }
}

TEST(Protocols, DriverInstallationsAreTrackedAndFound) {
  Boot Sim;
  Sim.Start();
  EFI_GUID G = kTestGuid, Other = kOtherGuid;
  int First = 1, Second = 2;
  EFI_HANDLE Handle = nullptr;
  ASSERT_EQ(Sim.Bs()->InstallProtocolInterface(&Handle, &G, EFI_NATIVE_INTERFACE, &First), EFI_SUCCESS);
  ASSERT_NE(Handle, nullptr);
  EXPECT_EQ(Sim.Bs()->InstallProtocolInterface(&Handle, &G, EFI_NATIVE_INTERFACE, &Second), EFI_INVALID_PARAMETER)
      << "one instance of a protocol per handle";
  EXPECT_EQ(Sim.Bs()->InstallProtocolInterface(&Handle, &Other, EFI_NATIVE_INTERFACE, &Second), EFI_SUCCESS);
  EXPECT_EQ(Sim.Bs()->InstallProtocolInterface(nullptr, &G, EFI_NATIVE_INTERFACE, &First), EFI_INVALID_PARAMETER);
  int NotAHandle = 0;
  EFI_HANDLE Bogus = &NotAHandle;
  EXPECT_EQ(Sim.Bs()->InstallProtocolInterface(&Bogus, &G, EFI_NATIVE_INTERFACE, &First), EFI_INVALID_PARAMETER);

  auto Installed = Sim.F->InstalledProtocols();
  ASSERT_EQ(Installed.size(), 2u);
  EXPECT_EQ(sim::GuidText(Installed[0].first), sim::GuidText(kTestGuid));
  EXPECT_EQ(Installed[0].second, &First);
  EXPECT_EQ(Installed[1].second, &Second);

  VOID *Found = nullptr;
  EXPECT_EQ(Sim.Bs()->HandleProtocol(Handle, &Other, &Found), EFI_SUCCESS);
  EXPECT_EQ(Found, &Second);
  EXPECT_EQ(Sim.Bs()->LocateProtocol(&G, nullptr, nullptr), EFI_INVALID_PARAMETER);

  EXPECT_EQ(Sim.Bs()->ReinstallProtocolInterface(Handle, &G, &Second, &First), EFI_NOT_FOUND);
  EXPECT_EQ(Sim.Bs()->ReinstallProtocolInterface(Handle, &G, &First, &Second), EFI_SUCCESS);
  EXPECT_EQ(Sim.Bs()->LocateProtocol(&G, nullptr, &Found), EFI_SUCCESS);
  EXPECT_EQ(Found, &Second);

  EXPECT_EQ(Sim.Bs()->UninstallProtocolInterface(Handle, &G, &Second), EFI_SUCCESS);
  EXPECT_EQ(Sim.Bs()->LocateProtocol(&G, nullptr, &Found), EFI_NOT_FOUND);
  EXPECT_EQ(Found, nullptr);
  EXPECT_EQ(Sim.Bs()->HandleProtocol(Handle, &G, &Found), EFI_UNSUPPORTED);
  EXPECT_EQ(Sim.F->InstalledProtocols().size(), 1u);

  auto Calls = Sim.Calls("InstallProtocolInterface");
  ASSERT_EQ(Calls.size(), 5u);
  EXPECT_EQ(Calls[0]["guid"], "12345678-9ABC-DEF0-0123-456789ABCDEF");
  EXPECT_TRUE(Calls[0]["protocol"].is_null());
  EXPECT_EQ(Calls[0]["status"], "0x0");
}

TEST(ConfigurationTables, AddReplaceRemoveKeepTheSystemTableCurrent) {
  Boot Sim;
  Sim.Start();
  EFI_SYSTEM_TABLE *St = Sim.St();
  ASSERT_EQ(St->NumberOfTableEntries, 1u) << "the HOB list only";
  EXPECT_EQ(sim::GuidText(St->ConfigurationTable[0].VendorGuid), sim::GuidText(kHobListGuid));

  EFI_GUID A = kTestGuid, B = kOtherGuid;
  int TableA = 1, TableA2 = 2, TableB = 3;
  ASSERT_EQ(Sim.Bs()->InstallConfigurationTable(&A, &TableA), EFI_SUCCESS);
  ASSERT_EQ(Sim.Bs()->InstallConfigurationTable(&B, &TableB), EFI_SUCCESS);
  ASSERT_EQ(St->NumberOfTableEntries, 3u);
  ASSERT_EQ(Sim.Bs()->InstallConfigurationTable(&A, &TableA2), EFI_SUCCESS);
  ASSERT_EQ(St->NumberOfTableEntries, 3u) << "replacing adds no entry";
  EXPECT_EQ(St->ConfigurationTable[1].VendorTable, &TableA2) << "replaced in place";
  EXPECT_EQ(Sim.F->ConfigurationTable(A), &TableA2);

  ASSERT_EQ(Sim.Bs()->InstallConfigurationTable(&A, nullptr), EFI_SUCCESS);
  ASSERT_EQ(St->NumberOfTableEntries, 2u);
  EXPECT_EQ(St->ConfigurationTable[1].VendorTable, &TableB) << "later entries move down";
  EXPECT_EQ(Sim.F->ConfigurationTable(A), nullptr);
  EXPECT_EQ(Sim.Bs()->InstallConfigurationTable(&A, nullptr), EFI_NOT_FOUND);
  EXPECT_EQ(Sim.Bs()->InstallConfigurationTable(nullptr, &TableA), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Sim.F->ConfigurationTableCount(), 2u);

  // The header checksum follows the change.
  EFI_SYSTEM_TABLE Copy = *St;
  Copy.Hdr.CRC32 = 0;
  UINT32 Crc = 0;
  ASSERT_EQ(Sim.Bs()->CalculateCrc32(&Copy, sizeof Copy, &Crc), EFI_SUCCESS);
  EXPECT_EQ(Crc, St->Hdr.CRC32);

  auto Calls = Sim.Calls("InstallConfigurationTable");
  ASSERT_EQ(Calls.size(), 6u);
  EXPECT_EQ(Calls[0]["guid"], "12345678-9ABC-DEF0-0123-456789ABCDEF");
  EXPECT_EQ(Calls[4]["status"], "0x800000000000000E");
}

TEST(ConfigurationTables, CpuFrequencyRecordIsPublishedBeforeAnyDriver) {
  Boot Sim;
  Sim.S.CpuFrequencyRecord = sim::CpuFrequencyRecordSpec{3750000000ull, 0x2EE, 2, 0x100};
  Sim.Start();
  const auto *Record = static_cast<const uint8_t *>(Sim.F->ConfigurationTable(kCpuRecordGuid));
  ASSERT_NE(Record, nullptr);
  uint64_t Tsc, Def;
  uint32_t Index, Features;
  std::memcpy(&Tsc, Record, 8);
  std::memcpy(&Def, Record + 8, 8);
  std::memcpy(&Index, Record + 16, 4);
  std::memcpy(&Features, Record + 20, 4);
  EXPECT_EQ(Tsc, 3750000000ull);
  EXPECT_EQ(Def, 0x2EEu);
  EXPECT_EQ(Index, 2u);
  EXPECT_EQ(Features, 0x100u);
  EXPECT_EQ(Sim.F->ConfigurationTableCount(), 2u);
  EXPECT_EQ(Sim.Persistent.AllocationCount, 0u) << "not a driver's allocation";
  EXPECT_EQ(Sim.F->LivePoolBlocks(), 0u);
  EXPECT_EQ(Sim.CallCount(), 0u);

  // It is ordinary pool a driver could release.
  EXPECT_EQ(Sim.Bs()->FreePool(const_cast<uint8_t *>(Record)), EFI_SUCCESS);
  Sim.Reboot();
  EXPECT_NE(Sim.F->ConfigurationTable(kCpuRecordGuid), nullptr) << "published again in every boot";
}

TEST(ServiceTables, EverySlotIsFilledAndUnusedOnesAnswerUnsupported) {
  Boot Sim;
  Sim.Start();
  EFI_SYSTEM_TABLE *St = Sim.St();
  EXPECT_EQ(St->Hdr.Signature, EFI_SYSTEM_TABLE_SIGNATURE);
  EXPECT_EQ(St->Hdr.Revision, 0x00020046u);
  EXPECT_EQ(std::u16string(St->FirmwareVendor), u"BoardSim");
  EXPECT_EQ(St->BootServices->Hdr.Signature, EFI_BOOT_SERVICES_SIGNATURE);
  EXPECT_EQ(St->RuntimeServices->Hdr.Signature, EFI_RUNTIME_SERVICES_SIGNATURE);

  auto *BsSlots = reinterpret_cast<void *const *>(reinterpret_cast<const uint8_t *>(Sim.Bs()) + sizeof(EFI_TABLE_HEADER));
  for (int I = 0; I < 44; ++I) EXPECT_NE(BsSlots[I], nullptr) << "boot services slot " << I;
  auto *RsSlots = reinterpret_cast<void *const *>(reinterpret_cast<const uint8_t *>(Sim.Rs()) + sizeof(EFI_TABLE_HEADER));
  for (int I = 0; I < 14; ++I) EXPECT_NE(RsSlots[I], nullptr) << "runtime services slot " << I;

  EFI_HANDLE Image = nullptr;
  EXPECT_EQ(Sim.Bs()->LoadImage(0, nullptr, nullptr, nullptr, 0, &Image), EFI_UNSUPPORTED);
  EXPECT_EQ(Sim.Bs()->Stall(10), EFI_UNSUPPORTED);
  EXPECT_EQ(Sim.Bs()->InstallMultipleProtocolInterfaces(&Image, nullptr), EFI_UNSUPPORTED);
  EXPECT_EQ(Sim.Rs()->GetTime(nullptr, nullptr), EFI_UNSUPPORTED);
  EXPECT_EQ(Sim.Rs()->QueryVariableInfo(0, nullptr, nullptr, nullptr), EFI_UNSUPPORTED);
  Sim.Rs()->ResetSystem(EfiResetCold, EFI_SUCCESS, 0, nullptr);

  const char *Expected[] = {"LoadImage", "Stall", "InstallMultipleProtocolInterfaces", "GetTime", "QueryVariableInfo"};
  for (const char *Name : Expected) {
    auto Calls = Sim.Calls(Name);
    ASSERT_EQ(Calls.size(), 1u) << Name;
    EXPECT_EQ(Calls[0]["status"], "0x8000000000000003") << Name;
  }
  auto Reset = Sim.Calls("ResetSystem");
  ASSERT_EQ(Reset.size(), 1u);
  EXPECT_TRUE(Reset[0]["status"].is_null()) << "a service without a status reports none";
}

TEST(ServiceTables, MemoryHelpersWork) {
  Boot Sim;
  Sim.Start();
  char Buffer[8] = "abcdefg";
  Sim.Bs()->CopyMem(Buffer + 1, Buffer, 4);  // overlapping
  EXPECT_STREQ(Buffer, "aabcdfg");
  Sim.Bs()->SetMem(Buffer, 3, 'z');
  EXPECT_STREQ(Buffer, "zzzcdfg");
  UINT32 Crc = 0;
  EXPECT_EQ(Sim.Bs()->CalculateCrc32(const_cast<char *>("123456789"), 9, &Crc), EFI_SUCCESS);
  EXPECT_EQ(Crc, 0xCBF43926u);
  EXPECT_EQ(Sim.Bs()->CalculateCrc32(Buffer, 0, &Crc), EFI_INVALID_PARAMETER);
  EFI_TPL Old = Sim.Bs()->RaiseTPL(TPL_NOTIFY);
  EXPECT_EQ(Old, static_cast<EFI_TPL>(TPL_APPLICATION));
  Sim.Bs()->RestoreTPL(Old);
  EXPECT_EQ(Sim.Bs()->RaiseTPL(TPL_CALLBACK), static_cast<EFI_TPL>(TPL_APPLICATION));
}

TEST(ServiceTables, AFailingTraceNeverThrowsIntoTheCaller) {
  Boot Sim;
  Sim.Start();
  Sim.T.AddSink([](const sim::Json &) { throw std::runtime_error("sink broke"); });
  EFI_GUID G = kPcdGuid;
  VOID *Interface = nullptr;
  EFI_STATUS Status = EFI_SUCCESS;
  EXPECT_NO_THROW(Status = Sim.Bs()->LocateProtocol(&G, nullptr, &Interface));
  EXPECT_TRUE(EFI_ERROR(Status));
  EXPECT_NO_THROW(Sim.Bs()->SetMem(&Interface, 0, 0));
}

}  // namespace
