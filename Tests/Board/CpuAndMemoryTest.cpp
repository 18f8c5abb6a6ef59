// CPU, clock, memory, SMN, PCI configuration, faults and reboot.
#include <string>

#include "Board/BoardTestSupport.h"

namespace boardtest {
namespace {

using CpuTest = BoardTest;

TEST_F(CpuTest, CpuidAnswersTheConfiguredLeavesAndTracesEachQuery) {
  S.Cpu.Signature = 0x00B40F40;
  S.Cpu.PowerFeatures = 0x12345;
  sim::Board &Brd = Make();
  uint32_t R[4];
  Brd.Cpuid(0x80000001, 0, R);
  EXPECT_EQ(R[0], 0x00B40F40u);
  EXPECT_EQ(R[1] | R[2] | R[3], 0u);
  Brd.Cpuid(0x80000007, 0, R);
  EXPECT_EQ(R[3], 0x12345u);
  EXPECT_EQ(R[0] | R[1] | R[2], 0u);
  Brd.Cpuid(0x0, 0, R);
  EXPECT_EQ(R[0] | R[1] | R[2] | R[3], 0u);
  Brd.Cpuid(0xBACCD00B, 2, R);
  EXPECT_EQ(R[0] | R[1] | R[2] | R[3], 0u);  // not a simulation environment

  auto E = Since(0);
  ASSERT_EQ(E.size(), 4u);
  EXPECT_EQ(E[0], Ev("cpuid", Json{{"leaf", "0x80000001"}, {"eax", "0xB40F40"}, {"ebx", "0x0"}, {"ecx", "0x0"}, {"edx", "0x0"}}));
  EXPECT_EQ(E[1], Ev("cpuid", Json{{"leaf", "0x80000007"}, {"eax", "0x0"}, {"ebx", "0x0"}, {"ecx", "0x0"}, {"edx", "0x12345"}}));
}

TEST_F(CpuTest, SimulationLeafAnswersNonZeroWhenTheFlagIsSet) {
  S.Cpu.Simulation = true;
  uint32_t R[4] = {0, 0, 0, 0};
  Make().Cpuid(0xBACCD00B, 2, R);
  EXPECT_NE(R[0], 0u);
  EXPECT_NE(R[1], 0u);
  EXPECT_NE(R[2], 0u);
  EXPECT_NE(R[3], 0u);
}

TEST_F(CpuTest, MsrsHoldPstatesApicBaseAndWhatIsWritten) {
  S.Cpu.Pstate = 3;
  sim::Board &Brd = Make();
  EXPECT_EQ(Brd.ReadMsr(0xC0010063), 3u);
  EXPECT_EQ(Brd.ReadMsr(0xC0010064), 750u);
  EXPECT_EQ(Brd.ReadMsr(0xC001006B), 50u);
  EXPECT_EQ(Brd.ReadMsr(0x1B), 0xFEE00900u);
  EXPECT_EQ(Brd.ReadMsr(0xC0011234), 0u);
  Brd.WriteMsr(0xC0011234, 0xAABBCCDD11223344ull);
  EXPECT_EQ(Brd.ReadMsr(0xC0011234), 0xAABBCCDD11223344ull);

  auto E = Since(0);
  ASSERT_EQ(E.size(), 7u);
  EXPECT_EQ(E[3], Ev("msr-read", Json{{"msr", "0x1B"}, {"value", "0xFEE00900"}}));
  EXPECT_EQ(E[5], Ev("msr-write", Json{{"msr", "0xC0011234"}, {"value", "0xAABBCCDD11223344"}}));
}

TEST_F(CpuTest, ApplicationProcessorHasNoBspFlag) {
  S.Cpu.Bsp = false;
  EXPECT_EQ(Make().ReadMsr(0x1B), 0xFEE00800u);
}

TEST_F(CpuTest, InterruptFlagAndCodeSegment) {
  sim::Board &Brd = Make();
  EXPECT_TRUE(Brd.GetInterruptFlag());
  Brd.SetInterruptFlag(false);
  EXPECT_FALSE(Brd.GetInterruptFlag());
  EXPECT_EQ(Brd.ReadCs(), 0x38);
  Brd.SetCodeSegment(0x4B);
  EXPECT_EQ(Brd.ReadCs() & 3, 3);
  EXPECT_TRUE(T.Events().empty());
}

struct RateCase {
  uint32_t Signature;
  uint64_t P0;
  uint64_t Hz;
};

class TscRateTest : public BoardTest, public ::testing::WithParamInterface<RateCase> {};

TEST_P(TscRateTest, RateFollowsTheP0Definition) {
  S.Cpu.Signature = GetParam().Signature;
  S.Cpu.PstateDefs[0] = GetParam().P0;
  EXPECT_EQ(Make().TscHz(), GetParam().Hz);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, TscRateTest,
    ::testing::Values(RateCase{0x00B00F00, 0x2EE, 3750000000ull},          // 5-MHz units
                      RateCase{0x00B00F00, 0xFFFF000 | 0x320, 4000000000ull},  // only bits 11:0 count
                      RateCase{0x00A00F00, 0x088C, 3500000000ull},         // Fid 0x8C, Did 8
                      RateCase{0x00A00F00, 0x0431, 2500000000ull},         // 2450 MHz rounds up
                      RateCase{0x00A00F00, 0x15FF, 2400000000ull},         // 2428 MHz rounds down
                      RateCase{0x00A00F00, 0x0014, 4000000000ull},         // Did 0 taken as 1
                      RateCase{0x00B00F00, 0x0, 3750000000ull}));          // nothing usable: fallback

using ClockTest = BoardTest;

TEST_F(ClockTest, EachKindOfAccessCostsItsPrice) {
  sim::Board &Brd = Make();
  ASSERT_EQ(Brd.TscHz(), 3750000000ull);
  const uint64_t T0 = Brd.ReadTsc();
  const uint64_t T1 = Brd.ReadTsc();
  EXPECT_EQ(T1 - T0, 40u);
  Brd.Pause();
  EXPECT_EQ(Brd.ReadTsc() - T1, 40u + 140u);
  const uint64_t T2 = Brd.ReadTsc();
  Brd.IoRead(0x1234, 8);
  EXPECT_EQ(Brd.ReadTsc() - T2, 40u + 3750u);
  const uint64_t T3 = Brd.ReadTsc();
  Brd.MmioRead(0x1000, 32);
  EXPECT_EQ(Brd.ReadTsc() - T3, 40u + 375u);
  const uint64_t T4 = Brd.ReadTsc();
  Brd.ReadMsr(0x1B);
  uint32_t R[4];
  Brd.Cpuid(0, 0, R);
  EXPECT_EQ(Brd.ReadTsc() - T4, 40u + 200u);
}

TEST_F(ClockTest, TraceTimeIsTheBoardClockAtTheStartOfEachAccess) {
  sim::Board &Brd = Make();
  Brd.AdvanceUs(1000);
  EXPECT_EQ(Brd.NowUs(), 1000u);
  Brd.IoWrite(0x80, 8, 1);
  Brd.IoWrite(0x80, 8, 2);
  for (int I = 0; I < 10; ++I) {
    Brd.MmioRead(0x2000, 8);
  }
  Brd.IoWrite(0x80, 8, 3);
  auto Codes = T.Select("post-code");
  ASSERT_EQ(Codes.size(), 3u);
  EXPECT_EQ(Codes[0]["t_us"], 1000);
  EXPECT_EQ(Codes[1]["t_us"], 1001);
  EXPECT_EQ(Codes[2]["t_us"], 1003);  // ten MMIO reads cost one microsecond
}

TEST_F(ClockTest, TscNeverGoesBackwards) {
  sim::Board &Brd = Make();
  uint64_t Last = Brd.ReadTsc();
  for (int I = 0; I < 1000; ++I) {
    if (I % 3 == 0) Brd.Pause();
    if (I % 7 == 0) Brd.IoRead(0x80, 8);
    const uint64_t Now = Brd.ReadTsc();
    ASSERT_GT(Now, Last);
    Last = Now;
  }
}

TEST_F(ClockTest, TheTraceKeepsTheLastTimeWhenTheBoardIsGone) {
  Make().AdvanceUs(42);
  B.reset();
  EXPECT_EQ(T.NowUs(), 42u);
}

using MemoryTest = BoardTest;

TEST_F(MemoryTest, UnmodelledAddressesBehaveAsLittleEndianMemory) {
  sim::Board &Brd = Make();
  EXPECT_EQ(Brd.MmioRead(0x12345670, 32), 0u);
  Brd.MmioWrite(0x12345670, 64, 0x1122334455667788ull);
  EXPECT_EQ(Brd.MmioRead(0x12345670, 8), 0x88u);
  EXPECT_EQ(Brd.MmioRead(0x12345672, 16), 0x5566u);
  EXPECT_EQ(Brd.MmioRead(0x12345674, 32), 0x11223344u);
  Brd.MmioWrite(0x12345671, 8, 0xAB);
  EXPECT_EQ(Brd.MmioRead(0x12345670, 64), 0x112233445566AB88ull);
  EXPECT_EQ(Brd.PeekMemory(0x12345670, 16), 0xAB88u);

  auto E = Since(0);
  ASSERT_EQ(E.size(), 7u);
  EXPECT_EQ(E[1], Ev("mmio-write", Json{{"address", "0x12345670"}, {"width", 64}, {"value", "0x1122334455667788"}}));
  EXPECT_EQ(E[3], Ev("mmio-read", Json{{"address", "0x12345672"}, {"width", 16}, {"value", "0x5566"}}));
}

TEST_F(MemoryTest, ScenarioSeedsTheFchBlockAndThePmRegister) {
  S.Mmio[0xFED81664] = {32, 0x00150000};
  S.Mmio[0xFED80D59] = {8, 0x01};
  S.SmbusPmRegister = 0x00040C00;
  sim::Board &Brd = Make();
  EXPECT_EQ(Brd.MmioRead(0xFED81664, 32), 0x00150000u);
  EXPECT_EQ(Brd.MmioRead(0xFED81666, 16), 0x0015u);
  EXPECT_EQ(Brd.MmioRead(0xFED80D59, 8), 0x01u);
  EXPECT_EQ(Brd.MmioRead(0xFED80300, 32), 0x00040C00u);
  Brd.MmioWrite(0xFED80D59, 8, 0x02);
  EXPECT_EQ(Brd.PeekMemory(0xFED80D59, 8), 0x02u);
}

TEST_F(MemoryTest, RamBlockIsReachedThroughMmioAndDirectly) {
  sim::Board &Brd = Make();
  Brd.MmioWrite(sim::kRamBlockBase, 32, 0x4D454D44);
  const uint8_t *Ram = Brd.RamBlock();
  EXPECT_EQ(Ram[0], 'D');
  EXPECT_EQ(Ram[3], 'M');
  Brd.RamBlock()[sim::kRamBlockSize - 1] = 0x5A;
  EXPECT_EQ(Brd.MmioRead(sim::kRamBlockBase + sim::kRamBlockSize - 1, 8), 0x5Au);
}

using SmnTest = BoardTest;

TEST_F(SmnTest, MemoryMappedRouteDecodesOnlyTheDataAccess) {
  S.Smn[0x13B00000] = 0xCAFEF00D;
  sim::Board &Brd = Make();
  Brd.MmioWrite(0xE00000B8, 32, 0x13B00000);
  EXPECT_EQ(Brd.MmioRead(0xE00000BC, 32), 0xCAFEF00Du);
  Brd.MmioWrite(0xE00000B8, 32, 0x02000004);
  EXPECT_EQ(Brd.MmioRead(0xE00000BC, 32), 0u);  // never written
  Brd.MmioWrite(0xE00000B8, 32, 0x02000004);
  Brd.MmioWrite(0xE00000BC, 32, 0x12345678);
  EXPECT_EQ(Brd.SmnRegister(0x02000004), 0x12345678u);
  EXPECT_EQ(Brd.MmioRead(0xE00000B8, 32), 0x02000004u);  // the index reads back

  auto E = Since(0);
  ASSERT_EQ(E.size(), 10u);
  EXPECT_EQ(E[0], Ev("mmio-write", Json{{"address", "0xE00000B8"}, {"width", 32}, {"value", "0x13B00000"}}));
  EXPECT_EQ(E[1], Ev("mmio-read", Json{{"address", "0xE00000BC"}, {"width", 32}, {"value", "0xCAFEF00D"}}));
  EXPECT_EQ(E[2], Ev("smn-read", Json{{"address", "0x13B00000"}, {"value", "0xCAFEF00D"}}));
  EXPECT_EQ(E[5], Ev("smn-read", Json{{"address", "0x2000004"}, {"value", "0x0"}}));
  EXPECT_EQ(E[7], Ev("mmio-write", Json{{"address", "0xE00000BC"}, {"width", 32}, {"value", "0x12345678"}}));
  EXPECT_EQ(E[8], Ev("smn-write", Json{{"address", "0x2000004"}, {"value", "0x12345678"}}));
  EXPECT_EQ(E[9]["event"], "mmio-read");  // index read: no decoded event
}

TEST_F(SmnTest, ConfigurationPortRouteSharesTheIndexAndRestoresCf8) {
  S.Smn[0x03810A84] = 0x00000001;
  sim::Board &Brd = Make();
  Brd.IoWrite(0xCF8, 32, 0x8000C000);  // someone else's selection
  // Index half, as the SMM driver does it.
  const uint32_t Saved = Brd.IoRead(0xCF8, 32);
  Brd.IoWrite(0xCF8, 32, 0x800000B8);
  Brd.IoWrite(0xCFC, 32, 0x03810A84);
  Brd.IoWrite(0xCF8, 32, Saved);
  // Data half.
  Brd.IoWrite(0xCF8, 32, 0x800000BC);
  const uint32_t Value = Brd.IoRead(0xCFC, 32);
  Brd.IoWrite(0xCF8, 32, Saved);
  EXPECT_EQ(Saved, 0x8000C000u);
  EXPECT_EQ(Value, 1u);
  EXPECT_EQ(Brd.IoRead(0xCF8, 32), 0x8000C000u);

  auto E = Since(0);
  ASSERT_EQ(E.size(), 10u);
  EXPECT_EQ(E[3], Ev("io-write", Json{{"port", "0xCFC"}, {"width", 32}, {"value", "0x3810A84"}}));
  EXPECT_EQ(E[4]["event"], "io-write");  // the index write decodes to nothing
  EXPECT_EQ(E[6], Ev("io-read", Json{{"port", "0xCFC"}, {"width", 32}, {"value", "0x1"}}));
  EXPECT_EQ(E[7], Ev("smn-read", Json{{"address", "0x3810A84"}, {"value", "0x1"}}));
  EXPECT_TRUE(T.Select("pci-read").empty());
  EXPECT_TRUE(T.Select("pci-write").empty());

  // The memory-mapped data register sees the index set through the ports.
  EXPECT_EQ(Brd.MmioRead(0xE00000BC, 32), 1u);
  Brd.IoWrite(0xCF8, 32, 0x800000BC);
  Brd.IoWrite(0xCFC, 32, 0x77);
  EXPECT_EQ(Brd.SmnRegister(0x03810A84), 0x77u);
  EXPECT_EQ(Strip(T.Events().back()), Ev("smn-write", Json{{"address", "0x3810A84"}, {"value", "0x77"}}));

  // The index reads back through the ports too, and decodes to nothing.
  Brd.MmioWrite(0xE00000B8, 32, 0x5A5A0000);
  Brd.IoWrite(0xCF8, 32, 0x800000B8);
  const size_t Before = Mark();
  EXPECT_EQ(Brd.IoRead(0xCFC, 32), 0x5A5A0000u);
  EXPECT_EQ(Since(Before).size(), 1u);
}

using PciTest = BoardTest;

TEST_F(PciTest, PresentFunctionsAnswerAtEveryWidthAndKeepWrites) {
  S.Pci[{0, 0x18, 3}] = {{0x00, 0x14641022}, {0x40, 0xAABBCCDD}};
  sim::Board &Brd = Make();
  Brd.IoWrite(0xCF8, 32, 0x8000C340);  // 00:18.3 register 0x40
  EXPECT_EQ(Brd.IoRead(0xCFC, 32), 0xAABBCCDDu);
  EXPECT_EQ(Brd.IoRead(0xCFE, 16), 0xAABBu);
  EXPECT_EQ(Brd.IoRead(0xCFD, 8), 0xCCu);
  Brd.IoWrite(0xCFF, 8, 0x11);
  EXPECT_EQ(Brd.IoRead(0xCFC, 32), 0x11BBCCDDu);
  Brd.IoWrite(0xCF8, 32, 0x8000C344);
  EXPECT_EQ(Brd.IoRead(0xCFC, 32), 0u);  // present, never written

  auto Reads = T.Select("pci-read");
  ASSERT_EQ(Reads.size(), 5u);
  EXPECT_EQ(Strip(Reads[1]), Ev("pci-read", Json{{"bdf", "00:18.3"}, {"register", "0x42"}, {"width", 16}, {"value", "0xAABB"}}));
  EXPECT_EQ(Strip(Reads[2]), Ev("pci-read", Json{{"bdf", "00:18.3"}, {"register", "0x41"}, {"width", 8}, {"value", "0xCC"}}));
  auto Writes = T.Select("pci-write");
  ASSERT_EQ(Writes.size(), 1u);
  EXPECT_EQ(Strip(Writes[0]), Ev("pci-write", Json{{"bdf", "00:18.3"}, {"register", "0x43"}, {"width", 8}, {"value", "0x11"}}));
}

TEST_F(PciTest, AbsentFunctionsReadAllOnesAndIgnoreWrites) {
  sim::Board &Brd = Make();
  Brd.IoWrite(0xCF8, 32, 0x80010800);  // 01:01.0
  Brd.IoWrite(0xCFC, 32, 0x12345678);
  EXPECT_EQ(Brd.IoRead(0xCFC, 32), 0xFFFFFFFFu);
  EXPECT_EQ(Brd.IoRead(0xCFE, 16), 0xFFFFu);
  auto Reads = T.Select("pci-read");
  ASSERT_EQ(Reads.size(), 2u);
  EXPECT_EQ(Reads[0]["bdf"], "01:01.0");
  EXPECT_EQ(Reads[0]["value"], "0xFFFFFFFF");
}

TEST_F(PciTest, DataPortWithoutEnableBitMakesNoConfigurationCycle) {
  S.Pci[{0, 0, 0}] = {{0x00, 0x12341022}};
  sim::Board &Brd = Make();
  Brd.IoWrite(0xCF8, 32, 0x00000000);
  EXPECT_EQ(Brd.IoRead(0xCFC, 32), 0xFFFFFFFFu);
  EXPECT_TRUE(T.Select("pci-read").empty());
  Brd.IoWrite(0xCF8, 32, 0x80000000);
  EXPECT_EQ(Brd.IoRead(0xCFC, 32), 0x12341022u);
}

using FaultTest = BoardTest;

TEST_F(FaultTest, RefusedAccessesGoToTheHandlerWithoutEvents) {
  sim::Board &Brd = Make();
  std::vector<std::string> Faults;
  Brd.SetFaultHandler([&](const std::string &What) { Faults.push_back(What); });
  Brd.IoRead(0x80, 24);
  Brd.IoWrite(0x80, 64, 1);
  Brd.MmioRead(0xFED80001, 32);
  Brd.MmioWrite(0xFED80000, 12, 1);
  EXPECT_EQ(Brd.MmioRead(0xFED80004, 16), 0u);  // a good access still works
  ASSERT_EQ(Faults.size(), 4u);
  EXPECT_NE(Faults[0].find("0x80"), std::string::npos);
  EXPECT_NE(Faults[2].find("aligned"), std::string::npos);
  EXPECT_EQ(T.Events().size(), 1u);
  EXPECT_TRUE(Brd.PostCodes().empty());
}

TEST_F(FaultTest, PrivilegedInstructionsAtRing3AreGeneralProtectionFaults) {
  sim::Board &Brd = Make();
  std::vector<std::string> Faults;
  Brd.SetFaultHandler([&](const std::string &What) { Faults.push_back(What); });
  Brd.SetCodeSegment(0x4B);
  Brd.IoRead(0x80, 8);
  Brd.IoWrite(0x80, 8, 1);
  Brd.ReadMsr(0x1B);
  Brd.WriteMsr(0x1B, 0);
  Brd.SetInterruptFlag(true);
  Brd.SetInterruptFlag(false);
  EXPECT_EQ(Faults, (std::vector<std::string>{
                        "#GP: IN executed at privilege level 3 (code segment 0x4B)",
                        "#GP: OUT executed at privilege level 3 (code segment 0x4B)",
                        "#GP: RDMSR executed at privilege level 3 (code segment 0x4B)",
                        "#GP: WRMSR executed at privilege level 3 (code segment 0x4B)",
                        "#GP: STI executed at privilege level 3 (code segment 0x4B)",
                        "#GP: CLI executed at privilege level 3 (code segment 0x4B)",
                    }));
  EXPECT_TRUE(Brd.PostCodes().empty());
  // The supervisor carries the same requests out at ring 0; RPL 2 is not ring 3.
  Faults.clear();
  Brd.SupervisorCall(4, 0x80, 0, 0x22);
  Brd.SupervisorCall(2, 0, 0, 0);
  EXPECT_FALSE(Brd.GetInterruptFlag());
  Brd.SetCodeSegment(0x4A);
  Brd.IoWrite(0x80, 8, 0x33);
  EXPECT_TRUE(Faults.empty());
  EXPECT_EQ(Brd.PostCodes(), (std::vector<uint8_t>{0x22, 0x33}));
}

TEST_F(FaultTest, WithoutHandlerARefusedReadIsAPlainReadOfAllOnes) {
  sim::Board &Brd = Make();
  EXPECT_EQ(Brd.MmioRead(0x1002, 32), 0xFFFFFFFFu);
  Brd.MmioWrite(0x1001, 16, 0x1234);
  EXPECT_EQ(Brd.PeekMemory(0x1000, 32), 0u);
  auto E = Since(0);
  ASSERT_EQ(E.size(), 2u);
  EXPECT_EQ(E[0], Ev("mmio-read", Json{{"address", "0x1002"}, {"width", 32}, {"value", "0xFFFFFFFF"}}));
}

using RebootTest = BoardTest;

TEST_F(RebootTest, DevicesReturnToTheScenarioWhileCmosRamAndClockCarryOn) {
  S.Smn[0x100] = 7;
  S.Mmio[0xFED81664] = {32, 0x00150000};
  S.Io[0x803] = 0x00;
  sim::Board &Brd = Make();
  Brd.MmioWrite(0xE00000B8, 32, 0x100);
  Brd.MmioWrite(0xE00000BC, 32, 9);
  Brd.MmioWrite(0xFED81664, 32, 0);
  Brd.MmioWrite(0x5000, 32, 0xDEAD);
  Brd.MmioWrite(sim::kRamBlockBase + 16, 32, 0xBEEF);
  Brd.WriteMsr(0xC0010063, 5);
  Brd.IoWrite(0x803, 8, 0x04);
  Brd.IoWrite(0x72, 8, 0x98);
  Brd.IoWrite(0x73, 8, 0x01);
  Brd.IoWrite(0x80, 8, 0x11);
  Brd.SetInterruptFlag(false);
  Brd.SetCodeSegment(0x4B);
  const uint64_t Before = Brd.NowUs();
  const size_t Events = T.Events().size();

  Brd.Reboot();
  EXPECT_EQ(T.Events().size(), Events);
  EXPECT_EQ(Brd.NowUs(), Before);
  EXPECT_EQ(Brd.SmnRegister(0x100), 7u);
  EXPECT_EQ(Brd.PeekMemory(0xFED81664, 32), 0x00150000u);
  EXPECT_EQ(Brd.PeekMemory(0x5000, 32), 0u);
  EXPECT_EQ(Brd.PeekMemory(sim::kRamBlockBase + 16, 32), 0xBEEFu);
  EXPECT_EQ(Brd.ReadMsr(0xC0010063), 0u);
  EXPECT_EQ(Brd.LatchedPort(0x803), 0x00);
  EXPECT_EQ(Brd.CmosByte(0x98), 0x01);
  EXPECT_EQ(Brd.PostCodes(), std::vector<uint8_t>{0x11});
  EXPECT_TRUE(Brd.GetInterruptFlag());
  EXPECT_EQ(Brd.ReadCs(), 0x38);
}

}  // namespace
}  // namespace boardtest
