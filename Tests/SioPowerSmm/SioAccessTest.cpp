#include <gtest/gtest.h>

#include <memory>

#include "SioPowerSmm/SmmTestSupport.h"

#include <CpuFrequencyRecord.h>
#include <Library/SioAccessLib.h>
#include <Library/TimerLib.h>

namespace {

using Accesses = std::vector<std::string>;

class SioAccess : public ::testing::Test {
 protected:
  void Start() {
    Env.Start();
    Port = std::make_unique<test::RecordingPort>(*Env.Board);
    BoardSimBindHardware(Port.get());
    CpuTscTimerLibConstructor(nullptr, Env.Firmware->SystemTable());
  }
  void Deprivilege() { Env.Board->SetCodeSegment(test::kDeprivilegedCs); }
  size_t Count(const Accesses &All, const std::string &Prefix) const {
    size_t N = 0;
    for (const auto &A : All) N += A.rfind(Prefix, 0) == 0 ? 1 : 0;
    return N;
  }

  test::SimEnvironment Env;
  std::unique_ptr<test::RecordingPort> Port;
};

TEST_F(SioAccess, ConfigurationSequencesEnterSelectAndLeave) {
  Env.Scenario.SioLdn[0x0A][0xF4] = 0x5A;
  Start();
  size_t Mark = Env.Mark();
  SioWriteRegister(SIO_LDN_REGISTER, 0x0A);
  UINT8 Value = SioReadRegister(0xF4);
  EXPECT_EQ(Value, 0x5A);
  EXPECT_EQ(test::IoAccesses(Env, Mark),
            (Accesses{"W 0x2E 0x87", "W 0x2E 0x87", "W 0x2E 0x7", "W 0x2F 0xA", "W 0x2E 0xAA",  //
                      "W 0x2E 0x87", "W 0x2E 0x87", "W 0x2E 0xF4", "R 0x2F 0x5A", "W 0x2E 0xAA"}));
}

TEST_F(SioAccess, ModifyReadsFirstAndMergesEvenWithAZeroMask) {
  Env.Scenario.SioGlobal[0x27] = 0xFF;
  Env.Scenario.SioLdn[0x0A][0xEC] = 0xFF;
  Env.Scenario.SioLdn[0x0A][0xE0] = 0x15;
  Start();
  SioWriteRegister(SIO_LDN_REGISTER, 0x0A);
  size_t Mark = Env.Mark();
  SioModifyRegister(0xEC, 0x00, 0x04);
  EXPECT_EQ(test::IoAccesses(Env, Mark), (Accesses{"W 0x2E 0x87", "W 0x2E 0x87", "W 0x2E 0xEC", "R 0x2F 0xFF",
                                                   "W 0x2E 0xEC", "W 0x2F 0x4", "W 0x2E 0xAA"}));
  SioModifyRegister(0xE0, 0x7F, 0x80);
  SioModifyRegister(0x27, 0xBF, 0x00);
  EXPECT_EQ(Env.Board->SioRegister(0x0A, 0xEC), 0x04);
  EXPECT_EQ(Env.Board->SioRegister(0x0A, 0xE0), 0x95);
  EXPECT_EQ(Env.Board->SioRegister(std::nullopt, 0x27), 0xBF);
}

// Every accessor once, plus the sequences built on them.
void ExerciseEveryAccessor() {
  GuardedIoRead8(0x803);
  GuardedIoWrite8(0x80, 0x12);
  GuardedIoWrite16(0xE0, 0xDEAD);
  GuardedIoRead32(0xCF8);
  GuardedIoWrite32(0x80, 0x5F535452);
  GuardedReadMsr(0x1B);
  BOOLEAN Previous = GuardedSaveAndDisableInterrupts();
  GuardedSetInterruptState(FALSE);
  GuardedSetInterruptState(Previous);
  SioModifyRegister(0xEC, 0x00, 0x04);
  KbcWriteData(0xED);
  UINT8 Answer = 0;
  KbcReadData(&Answer);
  MicroSecondDelay(10);
}

TEST_F(SioAccess, DeprivilegedCodeExecutesNoPrivilegedInstruction) {
  Env.Scenario.Cpu.PowerFeatures = 0;  // the delay then reads a P-state MSR as well
  Start();
  Deprivilege();
  Port->ResetCounts();
  size_t Mark = Env.Mark();
  ExerciseEveryAccessor();
  EXPECT_EQ(Port->DirectIo, 0u);
  EXPECT_EQ(Port->DirectMsr, 0u);
  EXPECT_EQ(Port->DirectCli, 0u);
  EXPECT_EQ(Port->DirectSti, 0u) << "STI at ring 3 would be #GP inside the SMI";
  EXPECT_GT(Port->Syscalls, 20u);
  EXPECT_TRUE(test::UnmediatedAccesses(Env, Mark).empty());
}

TEST_F(SioAccess, PrivilegedCodeMakesNoSystemCall) {
  Env.Scenario.Cpu.PowerFeatures = 0;
  Start();
  Port->ResetCounts();
  size_t Mark = Env.Mark();
  ExerciseEveryAccessor();
  EXPECT_EQ(Port->Syscalls, 0u);
  EXPECT_TRUE(Env.Since(Mark, {"syscall"}).empty());
  EXPECT_EQ(Port->DirectCli, 2u);
  EXPECT_EQ(Port->DirectSti, 1u);
  EXPECT_GT(Port->DirectMsr, 0u);
}

TEST_F(SioAccess, SystemCallsCarryServiceWidthAndValue) {
  Start();
  Deprivilege();
  size_t Mark = Env.Mark();
  GuardedIoWrite16(0xE0, 0xDEAD);
  GuardedIoRead32(0xCF8);
  GuardedIoWrite8(0x2E, 0x87);
  EXPECT_EQ(GuardedReadMsr(0x1B) & 0x100, 0x100u);
  GuardedIoWrite32(0xCF8, 0x800000B8);
  EXPECT_EQ(GuardedIoRead32(0xCF8), 0x800000B8u);
  std::vector<std::string> Calls;
  for (const auto &E : Env.Since(Mark, {"syscall"})) {
    Calls.push_back(E["service"].get<std::string>() + " " + E["arg1"].get<std::string>() + " " +
                    E["arg2"].get<std::string>() + " " + E["arg3"].get<std::string>());
  }
  EXPECT_EQ(Calls, (Accesses{"0x4 0xE0 0x1 0xDEAD", "0x3 0xCF8 0x2 0x0", "0x4 0x2E 0x0 0x87", "0x0 0x1B 0x0 0x0",
                             "0x4 0xCF8 0x2 0x800000B8", "0x3 0xCF8 0x2 0x0"}));
}

TEST_F(SioAccess, ModeIsDecidedOnEveryCall) {
  Start();
  GuardedIoRead8(0x803);
  Deprivilege();
  GuardedIoRead8(0x803);
  Env.Board->SetCodeSegment(test::kPrivilegedCs);
  GuardedIoRead8(0x803);
  EXPECT_EQ(Port->DirectIo, 2u);
  EXPECT_EQ(Port->Syscalls, 1u);
}

TEST_F(SioAccess, InterruptStateIsSavedInBothModesAndSetAgainOnlyAtRing0) {
  for (uint16_t Cs : {test::kPrivilegedCs, test::kDeprivilegedCs}) {
    test::SimEnvironment Local;
    Local.Start();
    std::vector<std::string> Faults;
    Local.Board->SetFaultHandler([&](const std::string &What) { Faults.push_back(What); });
    Local.Board->SetInterruptFlag(true);
    Local.Board->SetCodeSegment(Cs);
    EXPECT_TRUE(GuardedSaveAndDisableInterrupts());
    EXPECT_FALSE(Local.Board->GetInterruptFlag());
    EXPECT_FALSE(GuardedSaveAndDisableInterrupts());
    EXPECT_TRUE(GuardedSetInterruptState(TRUE));
    // Deprivileged, the flag stays clear as SMM keeps it: there is no
    // supervisor service that sets it, and STI would be #GP.
    EXPECT_EQ(Local.Board->GetInterruptFlag(), Cs == test::kPrivilegedCs) << "CS " << Cs;
    EXPECT_TRUE(Faults.empty()) << ::testing::PrintToString(Faults);
    EXPECT_FALSE(GuardedSetInterruptState(FALSE));
    EXPECT_FALSE(Local.Board->GetInterruptFlag()) << "CS " << Cs;
  }
}

TEST_F(SioAccess, ReadFromAResponsiveControllerReturnsTheAnswer) {
  Start();
  KbcWriteData(0xED);
  uint64_t Start = Env.Board->NowUs();
  UINT8 Answer = 0;
  EXPECT_FALSE(KbcReadData(&Answer));
  EXPECT_EQ(Answer, 0xFA);
  EXPECT_LT(Env.Board->NowUs() - Start, 1000u);
}

TEST_F(SioAccess, ReadFromADeadControllerGivesUpAfterAboutOneSecond) {
  Env.Scenario.KbcResponds = false;
  Start();
  KbcWriteData(0xED);
  size_t Mark = Env.Mark();
  uint64_t Start = Env.Board->TscCycles();
  UINT8 Answer = 0x33;
  EXPECT_TRUE(KbcReadData(&Answer));
  uint64_t Elapsed = Env.Board->TscCycles() - Start;
  EXPECT_EQ(Answer, 0x33);
  Accesses All = test::IoAccesses(Env, Mark);
  EXPECT_EQ(All.size(), 2000u);
  EXPECT_EQ(Count(All, "R 0x64 "), 2000u);
  // 2000 status reads of 1 us (3750 cycles), 500 us between two of them and
  // none after the last: one wait more or less is off by half a millisecond.
  EXPECT_EQ(Elapsed, 2000 * 3750 + 1999 * test::DelayCycles(500));
}

TEST_F(SioAccess, TimeOutBitEndsTheReadAtOnce) {
  Env.Scenario.KbcResponds = false;
  Start();
  Port->ReportTimeout = true;
  size_t Mark = Env.Mark();
  uint64_t Start = Env.Board->NowUs();
  UINT8 Answer = 0;
  EXPECT_TRUE(KbcReadData(&Answer));
  EXPECT_EQ(test::IoAccesses(Env, Mark).size(), 1u);
  EXPECT_LT(Env.Board->NowUs() - Start, 10u);
}

TEST_F(SioAccess, WriteWaitsForTheInputBufferOnBothSidesWithoutPausing) {
  Start();
  size_t Mark = Env.Mark();
  uint64_t Start = Env.Board->NowUs();
  EXPECT_FALSE(KbcWriteCommand(0xD4));
  Accesses All = test::IoAccesses(Env, Mark);
  ASSERT_GE(All.size(), 3u);
  EXPECT_EQ(All[0].substr(0, 7), "R 0x64 ");
  EXPECT_EQ(All[1], "W 0x64 0xD4");
  EXPECT_EQ(Count(All, "W "), 1u);
  EXPECT_EQ(Count(All, "R 0x64 "), All.size() - 1);
  // The last status read shows the byte taken.
  auto Last = Env.Since(Mark, {"io-read"}).back();
  EXPECT_EQ(std::stoul(Last["value"].get<std::string>(), nullptr, 16) & KBC_STATUS_IBF, 0u);
  EXPECT_LT(Env.Board->NowUs() - Start, 100u) << "a controller that takes the byte at once costs no pause";
}

// The first 64 polls for an empty input buffer run back to back; a buffer
// that empties one poll later costs one 500-us wait.
TEST_F(SioAccess, InputWaitPausesOnlyAfterSixtyFourPolls) {
  Start();
  const auto Cycles = [&](unsigned Full) {
    Port->InputFullReads = Full;
    const uint64_t Start = Env.Board->TscCycles();
    EXPECT_FALSE(KbcWriteCommand(0xAA));
    return Env.Board->TscCycles() - Start;
  };
  const uint64_t AtOnce = Cycles(0);
  EXPECT_EQ(Cycles(63) - AtOnce, 63 * 3750u);
  EXPECT_EQ(Cycles(64) - AtOnce, 64 * 3750 + test::DelayCycles(500));
  EXPECT_EQ(Cycles(65) - AtOnce, 65 * 3750 + 2 * test::DelayCycles(500));
}

TEST_F(SioAccess, WriteToAControllerThatNeverTakesBytesGivesUp) {
  Start();
  Port->StuckInputFull = true;
  size_t Mark = Env.Mark();
  uint64_t Start = Env.Board->TscCycles();
  EXPECT_TRUE(KbcWriteData(0xED));
  uint64_t Elapsed = Env.Board->TscCycles() - Start;
  Accesses All = test::IoAccesses(Env, Mark);
  EXPECT_EQ(Count(All, "W "), 0u) << "nothing is written into a full input buffer";
  EXPECT_EQ(All.size(), 64u + 2000u);
  // 64 reads back to back, then 2000 rounds of a 500-us wait and a read.
  EXPECT_EQ(Elapsed, (64 + 2000) * 3750 + 2000 * test::DelayCycles(500));
}

TEST_F(SioAccess, SmmTimerReadsItsMsrsThroughTheSupervisor) {
  Env.Scenario.Cpu.PowerFeatures = 0;
  Env.Scenario.Cpu.Pstate = 2;
  Env.Start();
  Port = std::make_unique<test::RecordingPort>(*Env.Board);
  BoardSimBindHardware(Port.get());
  Deprivilege();
  size_t Mark = Env.Mark();
  CpuTscTimerLibConstructor(nullptr, Env.Firmware->SystemTable());
  MicroSecondDelay(5);
  EXPECT_EQ(Port->DirectMsr, 0u);
  std::vector<std::string> MsrReads;
  for (const auto &E : Env.Since(Mark, {"syscall"})) {
    if (E["service"] == "0x0") MsrReads.push_back(E["arg1"]);
  }
  EXPECT_EQ(MsrReads, (Accesses{"0xC0010063", "0xC0010066", "0xC0010066"}));
  EXPECT_EQ(mCpuFrequency.PstateIndex, 2u);
}

}  // namespace
