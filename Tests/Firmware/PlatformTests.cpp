#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "FirmwareTestSupport.h"

#include <Pi/PiHob.h>
#include <Protocol/DebugPrintService.h>
#include <Protocol/Pcd.h>
#include <Protocol/PiPcd.h>

using namespace fwtest;

namespace {

template <typename T>
T *Locate(Boot &Sim, EFI_GUID Guid) {
  VOID *Interface = nullptr;
  EXPECT_EQ(Sim.Bs()->LocateProtocol(&Guid, nullptr, &Interface), EFI_SUCCESS);
  return static_cast<T *>(Interface);
}

struct PcdTest : ::testing::Test {
  Boot Sim;
  PCD_PROTOCOL *Pcd = nullptr;
  void SetUp() override {
    Sim.S.Protocols.Pcd = true;
    Sim.S.Pcd = {{631, 1}, {571, 0x1234}, {581, 0xDEADBEEF}, {632, 0}};
    Sim.Start();
    Pcd = Locate<PCD_PROTOCOL>(Sim, kPcdGuid);
    ASSERT_NE(Pcd, nullptr);
  }
};

TEST_F(PcdTest, GetsReadTheDatabaseAtTheirWidth) {
  EXPECT_EQ(Pcd->GetBool(631), 1);
  EXPECT_EQ(Pcd->GetBool(632), 0);
  EXPECT_EQ(Pcd->Get8(571), 0x34);
  EXPECT_EQ(Pcd->Get16(571), 0x1234);
  EXPECT_EQ(Pcd->Get32(581), 0xDEADBEEFu);
  EXPECT_EQ(Pcd->Get64(581), 0xDEADBEEFull);
  EXPECT_EQ(Pcd->Get32(999), 0u) << "an absent token reads 0";
  EXPECT_EQ(Pcd->GetSize(999), 0u);

  auto Gets = Sim.Calls("PcdGet");
  ASSERT_EQ(Gets.size(), 7u);
  EXPECT_EQ(Gets[0]["token"], 631);
  EXPECT_EQ(Gets[0]["width"], 1);
  EXPECT_EQ(Gets[0]["value"], "0x1");
  EXPECT_EQ(Gets[2]["width"], 8);
  EXPECT_EQ(Gets[2]["value"], "0x34");
  EXPECT_EQ(Gets[4]["width"], 32);
  EXPECT_EQ(Gets[6]["present"], false);
  EXPECT_TRUE(Gets[0]["status"].is_null());
}

TEST_F(PcdTest, SetsUpdateTheDatabaseAndTheRunRecord) {
  EXPECT_EQ(Pcd->Set32(623, 0x6A311C5E), EFI_SUCCESS);
  EXPECT_EQ(Pcd->Set32(326, 0), EFI_SUCCESS);
  EXPECT_EQ(Pcd->Set8(571, 0xAB), EFI_SUCCESS);
  EXPECT_EQ(Pcd->SetBool(631, 0), EFI_SUCCESS);
  EXPECT_EQ(Pcd->Get32(623), 0x6A311C5Eu);
  EXPECT_EQ(Pcd->Get16(571), 0x12AB) << "a narrow set replaces only its low bits";
  EXPECT_EQ(Pcd->GetBool(631), 0);
  EXPECT_EQ(Pcd->GetSize(623), 4u);

  const std::map<uint32_t, uint64_t> Written = {{623, 0x6A311C5E}, {326, 0}, {571, 0xAB}, {631, 0}};
  EXPECT_EQ(Sim.Persistent.PcdWritten, Written);
  auto Sets = Sim.Calls("PcdSet");
  ASSERT_EQ(Sets.size(), 4u);
  EXPECT_EQ(Sets[0]["token"], 623);
  EXPECT_EQ(Sets[0]["width"], 32);
  EXPECT_EQ(Sets[0]["value"], "0x6A311C5E");
  EXPECT_EQ(Sets[0]["status"], "0x0");

  // A reset restores the platform's database; the run keeps its record of writes.
  Sim.Reboot();
  Pcd = Locate<PCD_PROTOCOL>(Sim, kPcdGuid);
  EXPECT_EQ(Pcd->Get32(623), 0u);
  EXPECT_EQ(Sim.Persistent.PcdWritten, Written);
}

TEST_F(PcdTest, UnusedMembersAnswerWithoutEffect) {
  auto *Slots = reinterpret_cast<void *const *>(Pcd);
  for (int I = 0; I < 31; ++I) EXPECT_NE(Slots[I], nullptr) << "PCD_PROTOCOL slot " << I;
  EXPECT_EQ(Pcd->GetPtr(571), nullptr);
  EXPECT_EQ(Pcd->Set32Ex(&kPcdGuid, 571, 5), EFI_UNSUPPORTED);
  EXPECT_EQ(Pcd->Get16(571), 0x1234);
  auto Calls = Sim.Calls("PcdSet32Ex");
  ASSERT_EQ(Calls.size(), 1u);
  EXPECT_EQ(Calls[0]["status"], "0x8000000000000003");
  EXPECT_TRUE(Sim.Persistent.PcdWritten.empty());
}

TEST(EfiPcd, EverySlotIsFilled) {
  Boot Sim;
  Sim.S.Protocols.EfiPcd = true;
  Sim.Start();
  auto *P = Locate<EFI_PCD_PROTOCOL>(Sim, kEfiPcdGuid);
  ASSERT_NE(P, nullptr);
  for (int I = 0; I < 18; ++I) EXPECT_NE(P->Slot[I], nullptr) << "EFI_PCD_PROTOCOL slot " << I;
}

EFI_STATUS EFIAPI PrintThrough(DEBUG_PRINT_SERVICE_PROTOCOL *Service, UINTN Level, const CHAR8 *Format, ...) {
  VA_LIST Marker;
  VA_START(Marker, Format);
  EFI_STATUS Status = Service->Print(Level, Format, Marker);
  VA_END(Marker);
  return Status;
}

TEST(DebugPrint, TheServiceFormatsAndTracesTheText) {
  Boot Sim;
  Sim.S.Protocols.DebugPrint = true;
  Sim.Start();
  auto *Service = Locate<DEBUG_PRINT_SERVICE_PROTOCOL>(Sim, kDebugPrintGuid);
  ASSERT_NE(Service, nullptr);

  EXPECT_EQ(PrintThrough(Service, 0x80000000, "[%a] LocateProtocol: gPcdProtocolGuid, Status: %r\n",
                         "AmdCfgPcdBufLibDxeConstructor", EFI_NOT_FOUND),
            EFI_SUCCESS);
  EXPECT_EQ(PrintThrough(Service, 0x40, "%x-%d", 0x2Bu, 17), EFI_SUCCESS);
  std::string Long(600, 'x');
  EXPECT_EQ(PrintThrough(Service, 0x40, "%a", Long.c_str()), EFI_SUCCESS);

  auto Calls = Sim.Calls("DebugPrint");
  ASSERT_EQ(Calls.size(), 3u);
  EXPECT_EQ(Calls[0]["level"], "0x80000000");
  EXPECT_EQ(Calls[0]["text"], "[AmdCfgPcdBufLibDxeConstructor] LocateProtocol: gPcdProtocolGuid, Status: Not Found\r\n");
  EXPECT_EQ(Calls[1]["text"], "2B-17");
  EXPECT_EQ(Calls[2]["text"], std::string(511, 'x')) << "the service's buffer holds 511 characters";
}

// HOB walk helpers.
const EFI_HOB_GENERIC_HEADER *Next(const EFI_HOB_GENERIC_HEADER *H) {
  return reinterpret_cast<const EFI_HOB_GENERIC_HEADER *>(reinterpret_cast<const uint8_t *>(H) + H->HobLength);
}

TEST(HobList, HandoffThenOneGuidHobPerScenarioHobThenTheEnd) {
  Boot Sim;
  sim::HobSpec First;
  First.Word4 = 0x11223344;
  First.PayloadSize = 5;
  First.Kind = 8;
  First.Relay = 1;
  First.Word14 = 0xBEEF;
  First.Payload = {1, 2, 3, 4, 5};
  sim::HobSpec Second;
  Second.Signature = 0x12345678;
  Second.PayloadSize = 0x100;  // overstates its HOB
  Second.Payload = {9, 9, 9, 9, 9, 9, 9, 9};
  Sim.S.Hobs = {First, Second};
  Sim.Start();

  const void *List = Sim.F->ConfigurationTable(kHobListGuid);
  ASSERT_NE(List, nullptr);
  EXPECT_EQ(List, Sim.F->HobList());
  auto *H = static_cast<const EFI_HOB_GENERIC_HEADER *>(List);
  ASSERT_EQ(H->HobType, EFI_HOB_TYPE_HANDOFF);
  ASSERT_EQ(H->HobLength, sizeof(EFI_HOB_HANDOFF_INFO_TABLE));
  const auto *Handoff = reinterpret_cast<const EFI_HOB_HANDOFF_INFO_TABLE *>(H);
  EXPECT_EQ(Handoff->Version, 9u);

  struct Expect {
    uint16_t Length;
    std::vector<uint8_t> Data;
  };
  const Expect Hobs[] = {
      {48, {0x48, 0x45, 0x41, 0x50, 0x44, 0x33, 0x22, 0x11, 5, 0, 0, 0, 8, 1, 0xEF, 0xBE, 1, 2, 3, 4, 5}},
      {48, {0x78, 0x56, 0x34, 0x12, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 9, 9, 9, 9, 9, 9, 9, 9}},
  };
  H = Next(H);
  for (const auto &E : Hobs) {
    ASSERT_EQ(H->HobType, EFI_HOB_TYPE_GUID_EXTENSION);
    ASSERT_EQ(H->HobLength, E.Length);
    EXPECT_EQ(H->HobLength % 8, 0);
    const auto *G = reinterpret_cast<const EFI_HOB_GUID_TYPE *>(H);
    EXPECT_EQ(sim::GuidText(G->Name), sim::GuidText(kHeapHobGuid));
    const auto *Data = reinterpret_cast<const uint8_t *>(G + 1);
    EXPECT_EQ(std::vector<uint8_t>(Data, Data + E.Data.size()), E.Data);
    for (size_t I = sizeof *G + E.Data.size(); I < H->HobLength; ++I) {
      EXPECT_EQ(reinterpret_cast<const uint8_t *>(H)[I], 0) << "padding byte " << I;
    }
    H = Next(H);
  }
  EXPECT_EQ(H->HobType, EFI_HOB_TYPE_END_OF_HOB_LIST);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(H), Handoff->EfiEndOfHobList);
}

TEST(HobList, PublishedInEveryBootEvenWithoutHobs) {
  Boot Sim;
  Sim.Start();
  for (int Boot = 0; Boot < 2; ++Boot) {
    auto *H = static_cast<const EFI_HOB_GENERIC_HEADER *>(Sim.F->ConfigurationTable(kHobListGuid));
    ASSERT_NE(H, nullptr);
    EXPECT_EQ(H->HobType, EFI_HOB_TYPE_HANDOFF);
    EXPECT_EQ(Next(H)->HobType, EFI_HOB_TYPE_END_OF_HOB_LIST);
    Sim.Reboot();
  }
}

VOID EFIAPI NoOpNotify(EFI_EVENT, VOID *) {}

// The same calls against two fresh runs give identical event streams.
std::vector<sim::Json> RunSample() {
  Boot Sim;
  Sim.S.Protocols = sim::ProtocolSet{};
  Sim.S.Pcd = {{631, 1}};
  Sim.S.Setup = sim::SetupConfigSpec{7, std::vector<uint8_t>(669, 0x5A)};
  Sim.S.FailAllocations = {2};
  Sim.Start();
  void *A = nullptr, *B = nullptr;
  Sim.Bs()->AllocatePool(EfiBootServicesData, 24, &A);
  Sim.Bs()->AllocatePool(EfiACPIMemoryNVS, 24, &B);
  Sim.Bs()->FreePool(A);
  EFI_GUID Record = kCpuRecordGuid;
  Sim.Bs()->InstallConfigurationTable(&Record, A);
  auto *Pcd = Locate<PCD_PROTOCOL>(Sim, kPcdGuid);
  Pcd->GetBool(631);
  Pcd->Set32(623, 0x6A311C5E);
  EFI_GUID Setup = kSetupGuid;
  std::vector<uint8_t> Buffer(669);
  UINT32 Attributes = 0;
  UINTN Size = Buffer.size();
  Sim.Rs()->GetVariable(const_cast<CHAR16 *>(u"Setup"), &Setup, &Attributes, &Size, Buffer.data());
  Buffer[0x23A] = 1;
  Sim.Rs()->SetVariable(const_cast<CHAR16 *>(u"Setup"), &Setup, Attributes, Size, Buffer.data());
  EFI_EVENT Event = nullptr;
  Sim.Bs()->CreateEvent(EVT_SIGNAL_VIRTUAL_ADDRESS_CHANGE, TPL_NOTIFY, &NoOpNotify, nullptr, &Event);
  Sim.Bs()->CloseEvent(Event);
  Sim.Reboot();
  void *C = nullptr;
  Sim.Bs()->AllocatePool(EfiRuntimeServicesData, 100, &C);
  return Sim.T.Events();
}

TEST(Trace, TwoIdenticalRunsGiveIdenticalEvents) {
  auto First = RunSample();
  auto Second = RunSample();
  ASSERT_GT(First.size(), 10u);
  // Pool, handles and events live at different host addresses in each run;
  // none of that may show.
  EXPECT_EQ(First, Second);
}

TEST(GuidText, UpperCaseRegistryForm) {
  EXPECT_EQ(sim::GuidText(kHobListGuid), "7739F24C-93D7-11D4-9A3A-0090273FC14D");
  EXPECT_STREQ(sim::KnownGuidName(kDebugPrintGuid), "DEBUG_PRINT_SERVICE_PROTOCOL");
  EXPECT_EQ(sim::KnownGuidName(kTestGuid), nullptr);
}

}  // namespace
