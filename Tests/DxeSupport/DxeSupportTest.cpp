// The DXE support library pieces driven in-process against the simulated
// board and firmware: configuration buffer, FCH base, SMN access, Setup
// access and the entry frame.
#include <gtest/gtest.h>

#include <cstring>

#include "Common/SimEnvironment.h"

#include <AmdCfgPcdBuffer.h>
#include <Library/BootScriptLib.h>
#include <Library/DriverServicesLib.h>
#include <Library/DxeDriverEntryLib.h>
#include <Library/FchMmioBaseLib.h>
#include <Library/HobLib.h>
#include <SetupConfig.h>
#include <SmnAccess.h>

// This test image poses as the runtime module, so its FCH constructor creates
// the virtual-address-change event.
CONST CHAR8 *CONST gEfiCallerBaseName = "SbRun";

namespace {

std::vector<std::string> Accesses(const test::SimEnvironment &Env, size_t Mark) {
  std::vector<std::string> Out;
  for (const auto &E : Env.Since(Mark, {"mmio-read", "mmio-write", "io-read", "io-write", "msr-read", "cpuid"})) {
    Out.push_back(test::AccessText(E));
  }
  return Out;
}

TEST(AmdCfgPcdBuffer, FilledFromPcdsInFieldOrder) {
  test::SimEnvironment Env;
  Env.Scenario.Pcd = {{631, 1}, {571, 0x5A}, {632, 0}, {581, 0x11223344}, {580, 0x55667788}, {633, 0x7E}};
  Env.Start();
  std::memset(&gAmdCfgPcdBuffer, 0xEE, sizeof(gAmdCfgPcdBuffer));
  size_t Mark = Env.Mark();
  AmdCfgPcdBufLibDxeConstructor(nullptr, Env.Firmware->SystemTable());

  const uint8_t Expected[27] = {0x00, 0x01, 0x03, 0x80, 0x00, 0x00, 0x00, 0x01, 0x5A, 0x02, 0x02, 0x02, 0x00, 0x06,
                                0xE3, 0x03, 0x00, 0x44, 0x33, 0x22, 0x11, 0x88, 0x77, 0x66, 0x55, 0x7E, 0x02};
  EXPECT_EQ(std::memcmp(&gAmdCfgPcdBuffer, Expected, sizeof Expected), 0);

  std::vector<uint64_t> Tokens;
  for (const auto &E : Env.Since(Mark, {"call"})) {
    if (E.contains("token")) Tokens.push_back(E["token"].get<uint64_t>());
  }
  EXPECT_EQ(Tokens, (std::vector<uint64_t>{631, 571, 632, 581, 580, 633}));
  EXPECT_TRUE(Env.Calls(Mark, "DebugPrint").empty());
}

TEST(AmdCfgPcdBuffer, BooleanPcdLandsAsOne) {
  test::SimEnvironment Env;
  Env.Scenario.Pcd[632] = 1;
  Env.Start();
  AmdCfgPcdBufLibDxeConstructor(nullptr, Env.Firmware->SystemTable());
  EXPECT_EQ(reinterpret_cast<const uint8_t *>(&gAmdCfgPcdBuffer)[16], 1);
}

TEST(AmdCfgPcdBuffer, MissingProtocolsLeaveTheRecordZeroWithOneMessage) {
  struct Case {
    bool Pcd, EfiPcd;
    const char *Text;
  } Cases[] = {
      {false, true, "[AmdCfgPcdBufLibDxeConstructor] LocateProtocol: gPcdProtocolGuid, Status: Not Found\r\n"},
      {true, false, "[AmdCfgPcdBufLibDxeConstructor] LocateProtocol: gEfiPcdProtocolGuid, Status: Not Found\r\n"},
      {false, false, "[AmdCfgPcdBufLibDxeConstructor] LocateProtocol: gPcdProtocolGuid, Status: Not Found\r\n"},
  };
  for (const Case &C : Cases) {
    test::SimEnvironment Env;
    Env.Scenario.Protocols.Pcd = C.Pcd;
    Env.Scenario.Protocols.EfiPcd = C.EfiPcd;
    Env.Start();
    std::memset(&gAmdCfgPcdBuffer, 0xEE, sizeof(gAmdCfgPcdBuffer));
    size_t Mark = Env.Mark();
    AmdCfgPcdBufLibDxeConstructor(nullptr, Env.Firmware->SystemTable());
    uint8_t Zero[27] = {};
    EXPECT_EQ(std::memcmp(&gAmdCfgPcdBuffer, Zero, sizeof Zero), 0);
    auto Prints = Env.Calls(Mark, "DebugPrint");
    ASSERT_EQ(Prints.size(), 1u);
    EXPECT_EQ(Prints[0]["text"], C.Text);
    EXPECT_EQ(Prints[0]["level"], "0x80000000");
    EXPECT_EQ(Env.Calls(Mark, "LocateProtocol").size(), C.Pcd ? 3u : 2u)
        << "two lookups of ours plus the debug service's; the EFI PCD one only after PCD was found";
    for (const auto &E : Env.Since(Mark, {"call"})) {
      EXPECT_FALSE(E.contains("token")) << "no PCD read without both protocols";
    }
  }
}

TEST(FchMmioBase, RuntimeModuleComparesOverTheBaseNamesLength) {
  EXPECT_TRUE(FchMmioBaseIsRuntimeModule("SbRun"));
  EXPECT_TRUE(FchMmioBaseIsRuntimeModule("Sb"));
  EXPECT_TRUE(FchMmioBaseIsRuntimeModule(""));
  EXPECT_FALSE(FchMmioBaseIsRuntimeModule("SbRunX"));
  EXPECT_FALSE(FchMmioBaseIsRuntimeModule("sbrun"));
  EXPECT_FALSE(FchMmioBaseIsRuntimeModule("SignalTuneDxe"));
}

TEST(FchMmioBase, RuntimeModuleCreatesAndConvertsAndClosesItsEvent) {
  test::SimEnvironment Env;
  Env.Start();
  gFchMmioBase = 0;
  gFchMmioBaseEvent = nullptr;
  size_t Mark = Env.Mark();
  FchMmioBaseLibConstructor(nullptr, Env.Firmware->SystemTable());
  EXPECT_EQ(gFchMmioBase, 0xFED80000u);
  auto Creates = Env.Calls(Mark, "CreateEvent");
  ASSERT_EQ(Creates.size(), 1u);
  EXPECT_EQ(Creates[0]["type"], "0x60000202");
  EXPECT_EQ(Creates[0]["tpl"], "0x10");
  ASSERT_NE(gFchMmioBaseEvent, nullptr);

  FchMmioBaseVirtualNotify(gFchMmioBaseEvent, nullptr);
  EXPECT_EQ(Env.Calls(Mark, "ConvertPointer").size(), 1u);

  FchMmioBaseLibDestructor(nullptr, Env.Firmware->SystemTable());
  EXPECT_EQ(Env.Calls(Mark, "CloseEvent").size(), 1u);
  EXPECT_EQ(Env.Firmware->OpenEventCount(), 0u);
}

TEST(SmnAccess, ReadModifyWriteIsFourAccessesInOrder) {
  test::SimEnvironment Env;
  Env.Scenario.Smn[0x13B00000] = 0x12341022;
  Env.Start();
  size_t Mark = Env.Mark();
  UINT32 Value = SmnRegisterRead32(0x13B00000);
  SmnRegisterWrite32(0x13B00050, Value | 1);
  EXPECT_EQ(Value, 0x12341022u);
  EXPECT_EQ(Accesses(Env, Mark), (std::vector<std::string>{
                                     "mmio-write 0xE00000B8 0x13B00000", "mmio-read 0xE00000BC 0x12341022",
                                     "mmio-write 0xE00000B8 0x13B00050", "mmio-write 0xE00000BC 0x12341023"}));
  for (const auto &E : Env.Since(Mark, {"mmio-read", "mmio-write"})) EXPECT_EQ(E["width"], 32);
  auto Decoded = Env.Since(Mark, {"smn-read", "smn-write"});
  ASSERT_EQ(Decoded.size(), 2u);
  EXPECT_EQ(Decoded[1]["address"], "0x13B00050");
  EXPECT_EQ(Env.Board->SmnRegister(0x13B00050), 0x12341023u);
}

TEST(SetupVariable, ShortVariableLeavesNoStaleBytes) {
  test::SimEnvironment Env;
  Env.Scenario.Setup->Data.assign(0x210, 0x11);
  Env.Start();
  SETUP_CONFIG Setup;
  std::memset(&Setup, 0xA5, sizeof Setup);
  UINT32 Attributes = 0;
  UINTN Size = 0;
  EXPECT_EQ(SetupVariableRead(gRT, &Setup, &Attributes, &Size), EFI_SUCCESS);
  EXPECT_EQ(Size, 0x210u);
  EXPECT_EQ(Attributes, 7u);
  const uint8_t *Bytes = reinterpret_cast<const uint8_t *>(&Setup);
  EXPECT_EQ(Bytes[0x20F], 0x11);
  for (size_t I = 0x210; I < sizeof Setup; ++I) ASSERT_EQ(Bytes[I], 0) << I;

  auto Reads = Env.Calls(0, "GetVariable");
  ASSERT_EQ(Reads.size(), 1u);
  EXPECT_EQ(Reads[0]["name"], "Setup");
  EXPECT_EQ(Reads[0]["guid"], "EC87D643-EBA4-4BB5-A1E5-3F3E36B20DA9");
  EXPECT_EQ(Reads[0]["size"], "0x29D");
}

TEST(SetupVariable, OversizedOrMissingVariableIsAnError) {
  for (bool Missing : {true, false}) {
    test::SimEnvironment Env;
    if (Missing) Env.Scenario.Setup.reset();
    else Env.Scenario.Setup->Data.assign(700, 0);
    Env.Start();
    SETUP_CONFIG Setup;
    EXPECT_TRUE(EFI_ERROR(SetupVariableRead(gRT, &Setup, nullptr, nullptr)));
  }
}

// The entry frame with a stand-in driver body.
EFI_STATUS gBodyStatus = EFI_SUCCESS;
int gBodyCalls = 0;
EFI_STATUS EFIAPI StandInBody(EFI_HANDLE, EFI_SYSTEM_TABLE *) {
  ++gBodyCalls;
  return gBodyStatus;
}

class EntryFrame : public ::testing::Test {
 protected:
  void SetUp() override {
    gDriverSystemTable = nullptr;
    gDriverRuntimeServices = nullptr;
    gBootScriptBlock = gBooScriptBuffer = gRegBuffer = nullptr;
    gFchMmioBaseEvent = nullptr;
    gBodyCalls = 0;
  }
  EFI_STATUS Enter(test::SimEnvironment &Env, EFI_STATUS Body, DXE_ENTRY_POLICY Policy) {
    gBodyStatus = Body;
    return DxeDriverEntry(nullptr, Env.Firmware->SystemTable(), StandInBody, Policy);
  }
};

TEST_F(EntryFrame, ErrorFromTheBodyRunsTheDestructors) {
  test::SimEnvironment Env;
  Env.Start();
  EXPECT_EQ(Enter(Env, EFI_DEVICE_ERROR, DxeEntryReturnBodyStatus), EFI_DEVICE_ERROR);
  EXPECT_EQ(gBodyCalls, 1);
  EXPECT_EQ(Env.Calls(0, "FreePool").size(), 1u + 3u) << "the timer's temporary record and the three boot-script blocks";
  EXPECT_EQ(Env.Firmware->LivePoolBlocks(), 1u) << "only the published frequency record survives";
  EXPECT_EQ(Env.Calls(0, "CloseEvent").size(), 1u);
  EXPECT_EQ(Env.Firmware->OpenEventCount(), 0u);
}

TEST_F(EntryFrame, WarningOrSuccessKeepsEverything) {
  for (EFI_STATUS Status : {EFI_SUCCESS, EFI_WARN_STALE_DATA}) {
    test::SimEnvironment Env;
    Env.Start();
    SetUp();
    EXPECT_EQ(Enter(Env, Status, DxeEntryReturnBodyStatus), Status);
    EXPECT_EQ(Env.Firmware->LivePoolBlocks(), 4u);
    EXPECT_EQ(Env.Calls(0, "CloseEvent").size(), 0u);
  }
}

TEST_F(EntryFrame, DestructorsSkipWhatWasNeverAllocated) {
  test::SimEnvironment Env;
  // Allocations: 1 timer temporary, 2 NVS record, 3 block, 4 the 100-byte buffer, 5 the 8-byte buffer.
  Env.Scenario.FailAllocations = {4};
  Env.Start();
  EXPECT_EQ(Enter(Env, EFI_OUT_OF_RESOURCES, DxeEntryReturnBodyStatus), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(gBooScriptBuffer, nullptr);
  EXPECT_EQ(Env.Calls(0, "FreePool").size(), 1u + 2u);
  EXPECT_EQ(Env.Firmware->LivePoolBlocks(), 1u);
}

TEST_F(EntryFrame, AlwaysSucceedPolicyIgnoresTheBodyAndFreesNothing) {
  test::SimEnvironment Env;
  Env.Start();
  EXPECT_EQ(Enter(Env, EFI_DEVICE_ERROR, DxeEntryAlwaysSucceed), EFI_SUCCESS);
  EXPECT_EQ(gBodyCalls, 1);
  EXPECT_EQ(Env.Calls(0, "CloseEvent").size(), 0u);
  EXPECT_EQ(Env.Firmware->LivePoolBlocks(), 4u);
}

TEST_F(EntryFrame, ConstructorsSetTheServicePointersOnce) {
  test::SimEnvironment Env;
  Env.Start();
  Enter(Env, EFI_SUCCESS, DxeEntryReturnBodyStatus);
  EXPECT_EQ(gDriverSystemTable, Env.Firmware->SystemTable());
  EXPECT_EQ(gDriverRuntimeServices, Env.Firmware->SystemTable()->RuntimeServices);
  EFI_SYSTEM_TABLE Other = *Env.Firmware->SystemTable();
  DriverServicesInit(&Other);
  EXPECT_EQ(gDriverSystemTable, Env.Firmware->SystemTable());
  EXPECT_NE(GetHobList(), nullptr);
}

TEST_F(EntryFrame, NoHobListLeavesThePointerNull) {
  test::SimEnvironment Env;
  Env.Start();
  EFI_SYSTEM_TABLE Bare = *Env.Firmware->SystemTable();
  Bare.NumberOfTableEntries = 0;
  Bare.ConfigurationTable = nullptr;
  HobLibConstructor(nullptr, &Bare);  // its status is never acted on
  EXPECT_EQ(GetHobList(), nullptr);
}

}  // namespace
