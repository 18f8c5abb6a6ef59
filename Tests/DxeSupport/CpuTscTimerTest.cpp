#include <gtest/gtest.h>

#include "Common/SimEnvironment.h"

#include <CpuFrequencyRecord.h>
#include <Library/BaseMemoryLib.h>
#include <Library/TimerLib.h>
#include <Library/UefiLib.h>

namespace {

constexpr uint32_t kFamily1Ah = 0x00B40F40;
constexpr uint32_t kFamily19h = 0x00A00F10;  // extended family 0x0A: outside the 5-MHz format

class CpuTscTimer : public ::testing::Test {
 protected:
  void SetUp() override { ZeroMem(&mCpuFrequency, sizeof(mCpuFrequency)); }
  test::SimEnvironment Env;
};

CPU_FREQUENCY_RECORD Calculate(test::SimEnvironment &Env) {
  Env.Start();
  CPU_FREQUENCY_RECORD Record{};
  CalculateTscFrequency(&Record);
  return Record;
}

TEST_F(CpuTscTimer, FiveMegahertzFormatUsesTwelveBitMultiplier) {
  Env.Scenario.Cpu.Signature = kFamily1Ah;
  Env.Scenario.Cpu.PstateDefs[0] = 0x80000000000042EEull;  // bits above 11:0 must not count
  CPU_FREQUENCY_RECORD Record = Calculate(Env);
  EXPECT_EQ(Record.TscFrequency, 3750000000ull);
  EXPECT_EQ(Record.PstateDefinition, 0x80000000000042EEull);
  EXPECT_EQ(Record.PowerFeatures, 0x100u);
}

TEST_F(CpuTscTimer, OlderFormatDividesAndRoundsToHundredMegahertz) {
  struct Case {
    uint64_t Definition;
    uint64_t Expected;
  } Cases[] = {
      {0x088C, 3500000000ull},  // Fid 0x8C, Did 8: 140 * 200 / 8 = 3500
      {0x0A7A, 2400000000ull},  // Fid 122, Did 10: 2440 rounds down
      {0x14F5, 2500000000ull},  // Fid 245, Did 20: 2450, a half rounds up
      {0x09DA, 4800000000ull},  // Fid 218, Did 9: 4844 truncated then rounded down
      {0x000C, 2400000000ull},  // Did 0 read as 1: 12 * 200
  };
  for (const Case &C : Cases) {
    test::SimEnvironment Local;
    Local.Scenario.Cpu.Signature = kFamily19h;
    Local.Scenario.Cpu.PowerFeatures = 0x100;
    Local.Scenario.Cpu.PstateDefs[0] = C.Definition;
    CPU_FREQUENCY_RECORD Record = Calculate(Local);
    EXPECT_EQ(Record.TscFrequency, C.Expected) << std::hex << C.Definition;
  }
}

TEST_F(CpuTscTimer, InvariantTscReadsP0WhateverTheCurrentPstate) {
  Env.Scenario.Cpu.Pstate = 2;
  Env.Scenario.Cpu.PowerFeatures = 0x100;
  size_t Mark = Env.Mark();
  CPU_FREQUENCY_RECORD Record = Calculate(Env);
  EXPECT_EQ(Record.PstateIndex, 2u);
  std::vector<std::string> Accesses;
  for (const auto &E : Env.Since(Mark, {"cpuid", "msr-read"})) Accesses.push_back(test::AccessText(E));
  EXPECT_EQ(Accesses, (std::vector<std::string>{"cpuid 0x80000007", "cpuid 0x80000001",
                                                "msr-read 0xC0010063 0x2", "msr-read 0xC0010064 0x80000000000002EE"}));
}

TEST_F(CpuTscTimer, VariantTscReadsTheCurrentPstateDefinition) {
  Env.Scenario.Cpu.Pstate = 1;
  Env.Scenario.Cpu.PowerFeatures = 0;
  CPU_FREQUENCY_RECORD Record = Calculate(Env);
  EXPECT_EQ(Record.PstateDefinition, Env.Scenario.Cpu.PstateDefs[1]);
  EXPECT_EQ(Record.TscFrequency, (Env.Scenario.Cpu.PstateDefs[1] & 0xFFF) * 5000000ull);
}

TEST_F(CpuTscTimer, FirstConstructorPublishesTheRecord) {
  Env.Start();
  size_t Mark = Env.Mark();
  CpuTscTimerLibConstructor(nullptr, Env.Firmware->SystemTable());
  auto Allocs = Env.Calls(Mark, "AllocatePool");
  ASSERT_EQ(Allocs.size(), 2u);
  EXPECT_EQ(Allocs[0]["type"], "EfiBootServicesData");
  EXPECT_EQ(Allocs[1]["type"], "EfiACPIMemoryNVS");
  EXPECT_EQ(Env.Calls(Mark, "InstallConfigurationTable").size(), 1u);
  EXPECT_EQ(Env.Calls(Mark, "FreePool").size(), 1u);
  const auto *Published =
      static_cast<const CPU_FREQUENCY_RECORD *>(Env.Firmware->ConfigurationTable(gCpuFrequencyRecordGuid));
  ASSERT_NE(Published, nullptr);
  EXPECT_EQ(Published->TscFrequency, 3750000000ull);
  EXPECT_EQ(CompareMem(Published, &mCpuFrequency, sizeof(mCpuFrequency)), 0);
  EXPECT_EQ(Env.Firmware->LivePoolBlocks(), 1u);  // only the published record stays
}

TEST_F(CpuTscTimer, AllocationFailuresPublishNothing) {
  for (uint32_t Failing : {1u, 2u}) {
    test::SimEnvironment Local;
    Local.Scenario.FailAllocations = {Failing};
    Local.Start();
    ZeroMem(&mCpuFrequency, sizeof(mCpuFrequency));
    CpuTscTimerLibConstructor(nullptr, Local.Firmware->SystemTable());
    EXPECT_EQ(Local.Firmware->ConfigurationTable(gCpuFrequencyRecordGuid), nullptr) << Failing;
    EXPECT_EQ(mCpuFrequency.TscFrequency, 0u) << Failing;
    EXPECT_EQ(Local.Firmware->LivePoolBlocks(), 0u) << "the temporary record must be freed";
    EXPECT_EQ(Local.Calls(0, "InstallConfigurationTable").size(), 0u);
  }
}

TEST_F(CpuTscTimer, LaterConstructorAdoptsOrRefreshesThePublishedRecord) {
  // Published by an earlier driver with the definition of P1 while P1 was current.
  Env.Scenario.Cpu.PowerFeatures = 0;
  Env.Scenario.Cpu.Pstate = 0;
  sim::CpuFrequencyRecordSpec Record;
  Record.TscFrequency = 1234;
  Record.PstateIndex = 1;
  Record.PstateDefinition = Env.Scenario.Cpu.PstateDefs[1];
  Record.PowerFeatures = 0;
  Env.Scenario.CpuFrequencyRecord = Record;
  Env.Start();
  size_t Mark = Env.Mark();
  CpuTscTimerLibConstructor(nullptr, Env.Firmware->SystemTable());
  // Unchanged definition: adopted as is, one MSR read, nothing allocated.
  EXPECT_EQ(mCpuFrequency.TscFrequency, 1234u);
  EXPECT_EQ(Env.Since(Mark, {"msr-read"}).size(), 1u);
  EXPECT_EQ(Env.Calls(Mark, "AllocatePool").size(), 0u);

  // The P1 definition changes: the record is recomputed in place, for every later driver.
  test::SimEnvironment Changed;
  Changed.Scenario = Env.Scenario;
  Changed.Scenario.Cpu.PstateDefs[1] = 0x8000000000000320ull;  // 800 x 5 MHz
  Changed.Start();
  ZeroMem(&mCpuFrequency, sizeof(mCpuFrequency));
  CpuTscTimerLibConstructor(nullptr, Changed.Firmware->SystemTable());
  const auto *Published =
      static_cast<const CPU_FREQUENCY_RECORD *>(Changed.Firmware->ConfigurationTable(gCpuFrequencyRecordGuid));
  ASSERT_NE(Published, nullptr);
  EXPECT_EQ(Published->PstateIndex, 0u) << "recomputed with the current P-state";
  EXPECT_EQ(Published->PstateDefinition, Changed.Scenario.Cpu.PstateDefs[0]);
  EXPECT_EQ(Published->TscFrequency, 3750000000ull);
  EXPECT_EQ(mCpuFrequency.TscFrequency, Published->TscFrequency);
  EXPECT_EQ(Changed.Firmware->ConfigurationTableCount(), 2u) << "refreshed in place, not published twice";
}

TEST_F(CpuTscTimer, FrequencyQueryCostsNothingOnInvariantTsc) {
  Env.Start();
  CpuTscTimerLibConstructor(nullptr, Env.Firmware->SystemTable());
  size_t Mark = Env.Mark();
  EXPECT_EQ(GetTscFrequency(), 3750000000ull);
  EXPECT_TRUE(Env.Since(Mark).empty());
}

TEST_F(CpuTscTimer, FrequencyQueryRefreshesWhenTheDefinitionChanged) {
  Env.Scenario.Cpu.PowerFeatures = 0;
  Env.Start();
  CpuTscTimerLibConstructor(nullptr, Env.Firmware->SystemTable());
  size_t Mark = Env.Mark();
  EXPECT_EQ(GetTscFrequency(), 3750000000ull);
  EXPECT_EQ(Env.Since(Mark).size(), 1u) << "one MSR read";

  Env.Board->WriteMsr(0xC0010064, 0x8000000000000258ull);  // P0 now 3.0 GHz
  EXPECT_EQ(GetTscFrequency(), 3000000000ull);
  const auto *Published =
      static_cast<const CPU_FREQUENCY_RECORD *>(Env.Firmware->ConfigurationTable(gCpuFrequencyRecordGuid));
  ASSERT_NE(Published, nullptr);
  EXPECT_EQ(Published->TscFrequency, 3000000000ull);
}

TEST_F(CpuTscTimer, FrequencyQueryWithoutAnyRecordStillComputes) {
  Env.Scenario.Cpu.PowerFeatures = 0;
  Env.Start();
  EXPECT_EQ(GetTscFrequency(), 3750000000ull);
}

TEST_F(CpuTscTimer, DelayWaitsAtLeastTheRequestedTime) {
  Env.Start();
  CpuTscTimerLibConstructor(nullptr, Env.Firmware->SystemTable());
  for (UINTN Us : {0ull, 1ull, 250ull, 10000ull}) {
    uint64_t Before = Env.Board->NowUs();
    uint64_t TscBefore = Env.Board->ReadTsc();
    EXPECT_EQ(MicroSecondDelay(Us), Us);
    EXPECT_GE(Env.Board->NowUs() - Before, Us);
    EXPECT_GT(Env.Board->ReadTsc(), TscBefore);
    if (Us >= 250) {
      EXPECT_LE(Env.Board->NowUs() - Before, Us + Us / 10 + 2) << "the wait should not overshoot much";
    }
  }
}

// The TSC the delay loop leaves after Waits back-to-back waits of Ticks each,
// worked cycle by cycle as the CPU runs them: a read costs 40 cycles, a
// pause 140; the loop reads until a value lies more than Ticks past the first.
uint64_t TscAfterWaits(uint64_t Tsc, uint64_t Ticks, unsigned Waits) {
  for (unsigned Wait = 0; Wait < Waits; ++Wait) {
    const uint64_t Start = Tsc;
    Tsc += 40;
    for (;;) {
      const uint64_t Read = Tsc;
      Tsc += 40;
      if (Read - Start > Ticks) break;
      Tsc += 140;
    }
  }
  return Tsc;
}

// Simulated time runs ahead in long and repeated waits so that they cost
// little wall time; the waits still end where the hardware's would.
TEST_F(CpuTscTimer, WaitsEndOnTheCycleTheyWouldOnHardware) {
  Env.Start();
  CpuTscTimerLibConstructor(nullptr, Env.Firmware->SystemTable());
  // A stall loop: a thousand 20-us waits back to back, and single waits up
  // to the 10-ms edge of exact running.
  uint64_t Before = Env.Board->TscCycles();
  for (int I = 0; I < 1000; ++I) MicroSecondDelay(20);
  EXPECT_EQ(Env.Board->TscCycles(), TscAfterWaits(Before, 75000, 1000));
  for (UINTN Us : {500ull, 9999ull}) {
    Before = Env.Board->TscCycles();
    MicroSecondDelay(Us);
    EXPECT_EQ(Env.Board->TscCycles(), TscAfterWaits(Before, Us * 3750, 1)) << Us;
  }
}

TEST_F(CpuTscTimer, LongWaitsAndForeignRatesEndLateByAtMostAThousandth) {
  Env.Start();
  CpuTscTimerLibConstructor(nullptr, Env.Firmware->SystemTable());
  struct Case {
    uint64_t Hz;
    UINTN Us;
    uint64_t Ticks;  // worked by hand: Us * Hz / 1,000,000, at most 2^63
  } Cases[] = {
      {3750000000ull, 50000, 187500000},
      // The 64-bit product of these wraps.
      {3000000000ull, 6148914692ull, 18446744076000ull},
      {0xFFFFFFFFFFFFFFFFull, 2, 36893488147419ull},
      {0xFFFFFFFFFFFFFFFFull, 1000000000000ull, 1ull << 63},
  };
  for (const Case &C : Cases) {
    mCpuFrequency.TscFrequency = C.Hz;
    mCpuFrequency.PowerFeatures = CPU_POWER_FEATURES_INVARIANT_TSC;
    const uint64_t Before = Env.Board->TscCycles();
    EXPECT_EQ(MicroSecondDelay(C.Us), C.Us);
    const uint64_t Took = Env.Board->TscCycles() - Before;
    EXPECT_GT(Took, C.Ticks) << C.Us;
    EXPECT_LE(Took, C.Ticks + C.Ticks / 1000 + 400) << C.Us;
  }
}

}  // namespace
