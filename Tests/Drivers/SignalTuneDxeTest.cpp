#include <gtest/gtest.h>

#include "Drivers/DriverRun.h"

namespace {

using Lines = std::vector<std::string>;

sim::Scenario TuneScenario() { return test::ScenarioRunning({"SignalTuneDxe"}); }

void SetByte(sim::Scenario &S, size_t Offset, uint8_t Value) { S.Setup->Data.at(Offset) = Value; }

TEST(SignalTuneDxe, DefaultSetupProgramsEveryTunedRegisterInOrder) {
  test::DriverRun Run(TuneScenario());
  // Worked by hand from the default Setup bytes, every register starting at 0.
  EXPECT_EQ(Run.Smn(), (Lines{
                           "R 0x16D1C000 0x0", "W 0x16D1C000 0x30100005",  // 3, 1, 5
                           "R 0x16D1C400 0x0", "W 0x16D1C400 0x0",         // all keep
                           "R 0x16D1C800 0x0", "W 0x16D1C800 0x10200000",  // 1, 2, 0
                           "R 0x16D1CC00 0x0", "W 0x16D1CC00 0x20000007",  // 2, 0, 7
                           "R 0x16D1D000 0x0", "W 0x16D1D000 0x0",
                           "R 0x16F1C000 0x0", "W 0x16F1C000 0x20100004",  // controller 1
                           "R 0x1731C000 0x0", "W 0x1731C000 0x0",         // controller 3, all keep
                           "R 0x1961C000 0x0", "W 0x1961C000 0x60200003",  // controller 4
                           "R 0x16C0C2C0 0x0", "W 0x16C0C2C0 0x40000000",  // link 0 first
                           "R 0x16D68018 0x0", "W 0x16D68018 0x200000",    // link 0 second
                           "R 0x16D68028 0x0", "W 0x16D68028 0x400",       // link 0 third
                           "R 0x16D68428 0x0", "W 0x16D68428 0x6",         // link 1 third only
                       }));
  auto Steps = Run.Steps();
  ASSERT_EQ(Steps.size(), 1u);
  EXPECT_EQ(Steps[0]["status"], "0x0");
}

TEST(SignalTuneDxe, EveryRegisterAccessIsIndexThenData) {
  test::DriverRun Run(TuneScenario());
  auto Raw = Run.Of({"mmio-read", "mmio-write"});
  std::vector<sim::Json> Smn;
  for (const auto &E : Raw) {
    if (E["address"] == "0xE00000B8" || E["address"] == "0xE00000BC") Smn.push_back(E);
  }
  ASSERT_EQ(Smn.size(), 2u * 2u * 12u);
  for (size_t I = 0; I < Smn.size(); I += 2) {
    EXPECT_EQ(Smn[I]["event"], "mmio-write");
    EXPECT_EQ(Smn[I]["address"], "0xE00000B8");
    EXPECT_EQ(Smn[I + 1]["address"], "0xE00000BC");
    EXPECT_EQ(Smn[I]["width"], 32);
  }
}

TEST(SignalTuneDxe, DisabledMissingOrUnreadableSetupTouchesNothing) {
  sim::Scenario Disabled = TuneScenario();
  SetByte(Disabled, 0x20A, 0);
  sim::Scenario Missing = TuneScenario();
  Missing.Setup.reset();
  sim::Scenario TooLarge = TuneScenario();
  TooLarge.Setup->Data.resize(670, 1);
  for (auto *S : {&Disabled, &Missing, &TooLarge}) {
    test::DriverRun Run(*S);
    EXPECT_TRUE(Run.Smn().empty());
    EXPECT_EQ(Run.Steps()[0]["status"], "0x0");
    EXPECT_TRUE(Run.Of({"fault"}).empty());
  }
}

// A variable that ends inside the tuning area counts as missing: the cleared
// bytes past its end would otherwise program fields to 0.
TEST(SignalTuneDxe, AVariableEndingInsideTheTuningAreaCountsAsMissing) {
  for (size_t Size : {0x20B, 0x22B, 0x22C}) {
    sim::Scenario S = TuneScenario();
    S.Setup->Data.assign(Size, 0xFF);
    S.Setup->Data[0x20A] = 1;
    S.Smn[0x1961C000] = 0xFFFFFFFF;
    S.Smn[0x16D68028] = 0xFFFFFFFF;
    test::DriverRun Run(S);
    // Whole, every byte "keep": each register is read and written back as read.
    EXPECT_EQ(Run.Smn().size(), Size == 0x22C ? 24u : 0u) << std::hex << Size;
    if (Size == 0x22C) EXPECT_EQ(Run.Smn()[15], "W 0x1961C000 0xFFFFFFFF");
  }
}

TEST(SignalTuneDxe, KeepBytesWriteBackWhatWasReadAndSkipTheSwitchRegisters) {
  sim::Scenario S = TuneScenario();
  for (size_t Offset = 0x20C; Offset <= 0x223; ++Offset) SetByte(S, Offset, 0xFF);
  for (size_t Offset = 0x226; Offset <= 0x22B; ++Offset) SetByte(S, Offset, 0xFF);
  SetByte(S, 0x224, 0);
  SetByte(S, 0x225, 0);
  for (uint32_t Address : {0x16D1C000u, 0x16F1C000u, 0x1961C000u, 0x16D68028u, 0x16D68428u}) {
    S.Smn[Address] = 0xDEADBEEF;
  }
  test::DriverRun Run(S);
  Lines Smn = Run.Smn();
  ASSERT_EQ(Smn.size(), 2u * 10u);
  for (size_t I = 0; I < Smn.size(); I += 2) {
    EXPECT_EQ(Smn[I].substr(2), Smn[I + 1].substr(2)) << "written back unchanged: " << Smn[I];
  }
  EXPECT_EQ(Smn[0], "R 0x16D1C000 0xDEADBEEF");
  for (const auto &Line : Smn) {
    EXPECT_EQ(Line.find("0x16C0C2C"), std::string::npos) << "first link registers untouched";
    EXPECT_EQ(Line.find("0x16D68018"), std::string::npos) << "second link registers untouched";
    EXPECT_EQ(Line.find("0x1711C"), std::string::npos) << "controller 2 never tuned";
  }
}

TEST(SignalTuneDxe, OversizedValuesReachBitsAboveTheirField) {
  sim::Scenario S = TuneScenario();
  SetByte(S, 0x20C, 0x1F);  // port 0 bits 31:28: only four bits fit, nothing else changes
  SetByte(S, 0x211, 4);     // bits 21:20 cleared, bit 22 set
  SetByte(S, 0x216, 0xFF);
  SetByte(S, 0x224, 0xFF);  // a switch, so 0xFF sets bit 30
  SetByte(S, 0x226, 0xFF);
  SetByte(S, 0x228, 0xFF);
  SetByte(S, 0x22A, 0xFF);
  S.Smn[0x16D1C000] = 0x12345678;
  S.Smn[0x16C0C2C4] = 0x40000001;  // link 1 switch is 0: a set bit stays, register untouched
  test::DriverRun Run(S);
  Lines Smn = Run.Smn();
  ASSERT_GE(Smn.size(), 2u);
  EXPECT_EQ(Smn[1], "W 0x16D1C000 0xF2445678");
  EXPECT_NE(std::find(Smn.begin(), Smn.end(), "W 0x16C0C2C0 0x40000000"), Smn.end());
  for (const auto &Line : Smn) EXPECT_EQ(Line.find("0x16C0C2C4"), std::string::npos);
}

TEST(SignalTuneDxe, ZeroProgramsAFieldToZero) {
  sim::Scenario S = TuneScenario();
  for (size_t Offset : {0x20C, 0x211, 0x216}) SetByte(S, Offset, 0);
  S.Smn[0x16D1C000] = 0xFFFFFFFF;
  test::DriverRun Run(S);
  EXPECT_EQ(Run.Smn()[1], "W 0x16D1C000 0xFCFFFF8");
}

TEST(DxeEntryFrame, ConstructorsRunInOrderBeforeTheBody) {
  test::DriverRun Run(TuneScenario());
  EXPECT_EQ(Run.Services("SignalTuneDxe"),
            (Lines{"LocateProtocol", "LocateProtocol", "LocateProtocol",  // PCD, EFI PCD, the PCD accessor
                   "PcdGetBool", "PcdGet8", "PcdGetBool", "PcdGet32", "PcdGet32", "PcdGet8",
                   "AllocatePool", "AllocatePool", "InstallConfigurationTable", "FreePool",  // frequency record
                   "AllocatePool", "AllocatePool", "AllocatePool",                          // boot-script blocks
                   "GetVariable"}));
  EXPECT_TRUE(Run.Of({"fault"}).empty());
}

TEST(DxeEntryFrame, LaterImagesAdoptTheFirstImagesFrequencyRecord) {
  test::DriverRun Run(test::ScenarioRunning({"SignalTuneDxe", "SubsysIdDxe"}));
  size_t Installs = 0;
  for (const auto &E : Run.Of({"call"})) Installs += E["service"] == "InstallConfigurationTable";
  EXPECT_EQ(Installs, 1u);
  ASSERT_TRUE(Run.Final["cpu_frequency_record"].is_object());
  EXPECT_EQ(Run.Final["cpu_frequency_record"]["tsc_frequency"], "0xDF847580");
  EXPECT_EQ(Run.Final["cpu_frequency_record"]["power_features"], "0x100");
}

TEST(DxeEntryFrame, ResetStartsAFreshBootWithFreshImages) {
  test::DriverRun Run(test::ScenarioRunning({"SignalTuneDxe", "reset", "SignalTuneDxe"}));
  size_t Installs = 0;
  for (const auto &E : Run.Of({"call"})) Installs += E["service"] == "InstallConfigurationTable";
  EXPECT_EQ(Installs, 2u) << "configuration tables are gone after a reset";
  EXPECT_EQ(Run.Smn().size(), 2u * 24u);
}

}  // namespace
