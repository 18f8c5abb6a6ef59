#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "SioPowerSmm/SmmTestSupport.h"

#include <AmdCfgPcdBuffer.h>
#include <CpuFrequencyRecord.h>
#include <Library/IoLib.h>
#include <Library/SioDebugOutputLib.h>

namespace {

using Strings = std::vector<std::string>;

class DebugOutput : public ::testing::Test {
 protected:
  void SetUp() override { gAmdCfgPcdBuffer = {}; }
  void TearDown() override { gAmdCfgPcdBuffer = {}; }

  void Start() {
    Env.Start();
    Port = std::make_unique<test::RecordingPort>(*Env.Board);
    BoardSimBindHardware(Port.get());
    CpuTscTimerLibConstructor(nullptr, Env.Firmware->SystemTable());
  }

  Strings SmnReads(size_t Mark) const {
    Strings Out;
    for (const auto &E : Env.Since(Mark, {"smn-read"})) Out.push_back(E["address"]);
    return Out;
  }

  test::SimEnvironment Env;
  std::unique_ptr<test::RecordingPort> Port;
};

TEST_F(DebugOutput, RoutingAWithAnyLowBitSelectsPostCodesWithoutReadingB) {
  Env.Scenario.Smn[DEBUG_ROUTING_A_SMN_ADDRESS] = 0x00000001;
  Start();
  size_t Mark = Env.Mark();
  EXPECT_TRUE(DebugRoutingProbe());
  EXPECT_EQ(SmnReads(Mark), (Strings{"0x3810A84"}));
}

TEST_F(DebugOutput, RoutingBBit16SelectsPostCodes) {
  Env.Scenario.Smn[DEBUG_ROUTING_A_SMN_ADDRESS] = 0xFFFFFFF0;  // only bits 3:0 count
  Env.Scenario.Smn[DEBUG_ROUTING_B_SMN_ADDRESS] = 0x00010000;
  Start();
  size_t Mark = Env.Mark();
  EXPECT_TRUE(DebugRoutingProbe());
  EXPECT_EQ(SmnReads(Mark), (Strings{"0x3810A84", "0x3810A88"}));
}

TEST_F(DebugOutput, NoRoutingLeavesEveryBackendAbsentAndUninitialised) {
  Env.Scenario.Smn[DEBUG_ROUTING_B_SMN_ADDRESS] = 0xFFFEFFFF;
  Start();
  size_t Mark = Env.Mark();
  EXPECT_FALSE(DebugOutputAnyPresent(mDebugOutputBackends));
  DebugOutputInit();
  EXPECT_EQ(SmnReads(Mark), (Strings{"0x3810A84", "0x3810A88"}));
  // The memory log's Init would read the boot-processor flag.
  EXPECT_TRUE(Env.Since(Mark, {"msr-read"}).empty());
}

TEST_F(DebugOutput, RoutingIsReadOnceWhateverAsksAgain) {
  Env.Scenario.Smn[DEBUG_ROUTING_B_SMN_ADDRESS] = 0x00010000;
  Start();
  size_t Mark = Env.Mark();
  DebugOutputInit();  // three Detects, then three more for Init
  EXPECT_EQ(SmnReads(Mark), (Strings{"0x3810A84", "0x3810A88"}));
  size_t Second = Env.Mark();
  EXPECT_TRUE(DebugRoutingProbe());
  EXPECT_TRUE(Env.Since(Second).empty()) << "a second probe touches no hardware";
  EXPECT_EQ(mDebugRoutingB, 0x00010000u);
}

TEST_F(DebugOutput, OnlyThePostCodeBackendCanBePresent) {
  Env.Scenario.Smn[DEBUG_ROUTING_A_SMN_ADDRESS] = 0xF;
  Start();
  ASSERT_NE(mDebugOutputBackends[0], nullptr);
  EXPECT_TRUE(mDebugOutputBackends[0]->Detect());
  EXPECT_FALSE(mDebugOutputBackends[1]->Detect());
  EXPECT_FALSE(mDebugOutputBackends[2]->Detect());
  EXPECT_EQ(mDebugOutputBackends[3], nullptr);
  for (int I = 0; I < 3; ++I) EXPECT_FALSE(mDebugOutputBackends[I]->Query());
  EXPECT_EQ(mDebugOutputBackends[0]->Write, Port80Write);
  EXPECT_EQ(mDebugOutputBackends[1]->Write, SerialWrite);
  EXPECT_EQ(mDebugOutputBackends[2]->Write, MemLogWrite);
  EXPECT_EQ(mDebugOutputBackends[2]->Init, MemLogInit);
}

TEST_F(DebugOutput, SmnHalvesRestoreTheConfigurationAddressAndInterrupts) {
  Env.Scenario.Smn[0x03810A84] = 0x12345678;
  Start();
  IoWrite32(0xCF8, 0x80001234);
  Env.Board->SetInterruptFlag(true);
  Port->ResetCounts();
  size_t Mark = Env.Mark();
  SmnIndexWriteCf8(0x03810A84);
  EXPECT_EQ(SmnDataReadCf8(), 0x12345678u);
  EXPECT_EQ(test::IoAccesses(Env, Mark),
            (Strings{"R 0xCF8 0x80001234", "W 0xCF8 0x800000B8", "W 0xCFC 0x3810A84", "W 0xCF8 0x80001234",
                     "R 0xCF8 0x80001234", "W 0xCF8 0x800000BC", "R 0xCFC 0x12345678", "W 0xCF8 0x80001234"}));
  EXPECT_EQ(Port->DirectCli, 2u) << "each half is its own critical section";
  EXPECT_EQ(Port->DirectSti, 2u);
  EXPECT_TRUE(Env.Board->GetInterruptFlag());
}

TEST_F(DebugOutput, SmnHalvesKeepInterruptsOffWhenTheyWereOff) {
  Start();
  Env.Board->SetInterruptFlag(false);
  Port->ResetCounts();
  SmnIndexWriteCf8(0x03810A88);
  SmnDataReadCf8();
  EXPECT_FALSE(Env.Board->GetInterruptFlag());
  EXPECT_EQ(Port->DirectSti, 0u);
}

TEST_F(DebugOutput, PostCodeMessagesAreFramedByMarkers) {
  Start();
  const UINT8 Message[] = {'h', 'i', 0x00};
  Port80Write(Message, sizeof Message);
  Port80Write(nullptr, 0);
  std::vector<std::string> Writes;
  for (const auto &E : Env.Since(0, {"io-write"})) {
    if (E["port"] == "0x80") Writes.push_back(E["value"].get<std::string>() + "/" + std::to_string(E["width"].get<int>()));
  }
  EXPECT_EQ(Writes, (Strings{"0x5F535452/32", "0x68/8", "0x69/8", "0x0/8", "0x5F454E44/32", "0x5F535452/32",
                             "0x5F454E44/32"}));
}

TEST_F(DebugOutput, SerialBytesWaitForTheTransmitterAndClearToSend) {
  Start();
  const UINT8 Message[] = {'o', 'k'};
  size_t Mark = Env.Mark();
  SerialWrite(Message, sizeof Message);
  EXPECT_EQ(test::IoAccesses(Env, Mark),
            (Strings{"R 0x3FD 0x60", "R 0x3FE 0x10", "W 0x3F8 0x6F", "R 0x3FD 0x60", "R 0x3FE 0x10", "W 0x3F8 0x6B"}));
}

TEST_F(DebugOutput, SerialBytesAreDroppedWhenThePortNeverGetsReady) {
  Env.Scenario.SerialReady = false;
  Start();
  const UINT8 Message[] = {'o', 'k'};
  size_t Mark = Env.Mark();
  SerialWrite(Message, sizeof Message);
  std::vector<std::string> All = test::IoAccesses(Env, Mark);
  EXPECT_EQ(All.size(), 4000u);
  EXPECT_EQ(std::count(All.begin(), All.end(), "R 0x3FD 0x0"), 4000);
}

// 2000 reads of each status register: a port that gets ready on the last
// one still takes the byte, one read later it is dropped.
TEST_F(DebugOutput, SerialWaitsEndOnTheTwoThousandthRead) {
  struct Case {
    unsigned Busy, NoCts;
    size_t LineReads, ModemReads, Writes;
  } Cases[] = {
      {1999, 0, 2000, 1, 1},
      {2000, 0, 2000, 0, 0},
      {0, 1999, 1, 2000, 1},
      {0, 2000, 1, 2000, 0},
  };
  Start();
  for (const Case &C : Cases) {
    SCOPED_TRACE(std::to_string(C.Busy) + " busy, " + std::to_string(C.NoCts) + " without CTS");
    Port->SerialBusyReads = C.Busy;
    Port->NoClearToSendReads = C.NoCts;
    const UINT8 Message[] = {'o'};
    size_t Mark = Env.Mark();
    SerialWrite(Message, sizeof Message);
    std::vector<std::string> All = test::IoAccesses(Env, Mark);
    const auto Starting = [&](const char *Prefix) {
      return size_t(std::count_if(All.begin(), All.end(), [&](const std::string &A) { return A.rfind(Prefix, 0) == 0; }));
    };
    EXPECT_EQ(Starting("R 0x3FD "), C.LineReads);
    EXPECT_EQ(Starting("R 0x3FE "), C.ModemReads);
    EXPECT_EQ(Starting("W 0x3F8 0x6F"), C.Writes);
    EXPECT_EQ(All.size(), C.LineReads + C.ModemReads + C.Writes);
  }
}

TEST_F(DebugOutput, FatalDisplayDisabledByTheConfigurationWritesNothing) {
  Start();
  gAmdCfgPcdBuffer.Const3 = 0x80;  // what the constructor stores: byte 5 is 0
  size_t Mark = Env.Mark();
  FatalCodeDisplay(0x00080225);
  EXPECT_TRUE(Env.Since(Mark).empty());
}

TEST_F(DebugOutput, FatalDisplayUnderSimulationShowsTheCodeAndReturns) {
  Env.Scenario.Cpu.Simulation = true;
  Start();
  gAmdCfgPcdBuffer.Const3 = 0x00010080;
  size_t Mark = Env.Mark();
  FatalCodeDisplay(0x00080225);
  std::vector<std::string> Writes;
  for (const auto &E : Env.Since(Mark, {"io-write"})) {
    Writes.push_back(E["port"].get<std::string>() + " " + E["value"].get<std::string>() + "/" +
                     std::to_string(E["width"].get<int>()));
  }
  EXPECT_EQ(Writes, (Strings{"0xE0 0xDEAD/16", "0x80 0x80225/32"}));
  EXPECT_TRUE(SimulationPresent());
}

TEST_F(DebugOutput, SimulationQueryIsAnsweredInSi) {
  Start();
  EXPECT_FALSE(SimulationPresent());
  auto Queries = Env.Since(0, {"cpuid"});
  ASSERT_FALSE(Queries.empty());
  EXPECT_EQ(Queries.back()["leaf"], "0xBACCD00B");
  EXPECT_EQ(Queries.back()["ebx_in"], "0x2");
}

TEST_F(DebugOutput, FatalDisplayCycleRotatesTheCodeThroughPort80) {
  Start();
  Port->PauseUs = 1000;
  uint64_t Start = Env.Board->TscCycles();
  size_t Mark = Env.Mark();
  const UINT64 Initial = (0xDEADull << 48) | (0x00080225ull << 16);
  UINT64 Value = FatalCodeDisplayCycle(Initial);
  EXPECT_EQ(Value, Initial) << "a full turn comes back to the start";
  std::vector<std::string> Shown;
  for (const auto &E : Env.Since(Mark, {"io-write"})) Shown.push_back(E["value"]);
  EXPECT_EQ(Shown, (Strings{"0x250000DE", "0xDEAD", "0xDEAD00", "0xDEAD0008", "0xAD000802", "0x80225"}));
  // Each value stays 2.5 s: a port write (3750 cycles at 3.75 GHz), then a
  // wait whose every pause lets 1 ms (3,750,000 cycles) pass after a 40-cycle
  // TSC read; the 2500th step lies past 2.5 s.
  EXPECT_EQ(Env.Board->TscCycles() - Start, 6 * (3750 + 80 + 2500 * 3750040ull));
}

TEST(SmmConfigurationBuffer, FillsTheRecordThatKeepsTheFatalDisplayOff) {
  test::SimEnvironment Env;
  Env.Start();
  gAmdCfgPcdBuffer = {};
  AmdCfgPcdBufLibSmmConstructor(nullptr, Env.Firmware->SystemTable());
  const AMD_CFG_PCD_BUFFER Filled = gAmdCfgPcdBuffer;  // packed: copy out before comparing
  EXPECT_EQ(uint32_t{Filled.Const3}, 0x80u);
  EXPECT_EQ(int{Filled.Pcd571}, 0x20);
  EXPECT_EQ(int{Filled.Const7}, 2);
  EXPECT_EQ(reinterpret_cast<const uint8_t *>(&gAmdCfgPcdBuffer)[5], 0);
  gAmdCfgPcdBuffer = {};
}

TEST(SmmConfigurationBuffer, StaysZeroAndSilentWithoutThePcdProtocols) {
  for (bool PcdPresent : {false, true}) {
    test::SimEnvironment Env;
    Env.Scenario.Protocols.Pcd = PcdPresent;
    Env.Scenario.Protocols.EfiPcd = false;
    Env.Start();
    std::memset(&gAmdCfgPcdBuffer, 0xAB, sizeof gAmdCfgPcdBuffer);
    size_t Mark = Env.Mark();
    AmdCfgPcdBufLibSmmConstructor(nullptr, Env.Firmware->SystemTable());
    AMD_CFG_PCD_BUFFER Zero{};
    EXPECT_EQ(std::memcmp(&gAmdCfgPcdBuffer, &Zero, sizeof Zero), 0);
    EXPECT_TRUE(Env.Calls(Mark, "DebugPrint").empty()) << "no message in SMM";
    EXPECT_TRUE(Env.Calls(Mark, "PcdGet").empty());
  }
}

// --- memory log ----------------------------------------------------------

class MemLog : public DebugOutput {
 protected:
  void SetUp() override {
    DebugOutput::SetUp();
    Start();
    ASSERT_TRUE(Env.Board->RamBlockAtPhysicalAddress()) << "the log is reached through its physical address";
    Ram = Env.Board->RamBlock();
  }
  MEM_LOG_HEADER &Header() { return *reinterpret_cast<MEM_LOG_HEADER *>(Ram); }
  uint8_t *Data() { return Ram + sizeof(MEM_LOG_HEADER); }
  // A valid log holding Used bytes of a recognisable pattern.
  void Prepare(uint32_t Used) {
    Header() = {MEM_LOG_SIGNATURE, MEM_LOG_MAGIC1, Used, MEM_LOG_MAGIC2};
    uint32_t Fill = std::min<uint32_t>(Used, MEM_LOG_DATA_SIZE);
    for (uint32_t I = 0; I < Fill; ++I) Data()[I] = Pattern(I);
    std::memset(Data() + Fill, 0, MEM_LOG_DATA_SIZE - Fill);
  }
  static uint8_t Pattern(uint32_t Offset) { return static_cast<uint8_t>((Offset * 7) ^ (Offset >> 12) ^ 0x5A) | 1; }
  bool ZeroFrom(uint32_t Offset) {
    for (uint32_t I = Offset; I < MEM_LOG_DATA_SIZE; ++I) {
      if (Data()[I] != 0) return false;
    }
    return true;
  }
  uint8_t *Ram = nullptr;
};

TEST_F(MemLog, InitCreatesAnEmptyLogOnTheBootProcessor) {
  std::memset(Ram, 0xEE, 64);
  Data()[MEM_LOG_DATA_SIZE - 1] = 0xEE;
  EXPECT_FALSE(MemLogIsValid());
  MemLogInit();
  EXPECT_TRUE(MemLogIsValid());
  EXPECT_EQ(Header().Signature, MEM_LOG_SIGNATURE);
  EXPECT_EQ(Header().Magic1, MEM_LOG_MAGIC1);
  EXPECT_EQ(Header().Magic2, MEM_LOG_MAGIC2);
  EXPECT_EQ(Header().UsedBytes, 0u);
  EXPECT_TRUE(ZeroFrom(0));
}

TEST_F(MemLog, InitLeavesAValidLogAlone) {
  Prepare(0x20);
  MemLogInit();
  EXPECT_EQ(Header().UsedBytes, 0x20u);
  EXPECT_EQ(Data()[0x1F], Pattern(0x1F));
}

TEST_F(MemLog, ValidityNeedsEveryFieldAndTheBootProcessor) {
  Prepare(MEM_LOG_SIZE);
  EXPECT_TRUE(MemLogIsValid()) << "the count may reach 0x1000000";
  Header().UsedBytes = MEM_LOG_SIZE + 1;
  EXPECT_FALSE(MemLogIsValid());
  Prepare(0);
  Header().Magic1 = 0;
  EXPECT_FALSE(MemLogIsValid());
  Prepare(0);
  Header().Magic2 = 0;
  EXPECT_FALSE(MemLogIsValid());
  Prepare(0);
  Header().Signature = 0;
  EXPECT_FALSE(MemLogIsValid());
}

TEST(MemLogApplicationProcessor, NeitherInitNorWriteTouchTheBlock) {
  test::SimEnvironment Env;
  Env.Scenario.Cpu.Bsp = false;
  Env.Start();
  CpuTscTimerLibConstructor(nullptr, Env.Firmware->SystemTable());
  ASSERT_TRUE(Env.Board->RamBlockAtPhysicalAddress());
  MemLogInit();
  EXPECT_EQ(reinterpret_cast<MEM_LOG_HEADER *>(Env.Board->RamBlock())->Signature, 0u);
  const UINT8 Message[] = {'x'};
  MemLogWrite(Message, 1);
  EXPECT_EQ(Env.Board->RamBlock()[sizeof(MEM_LOG_HEADER)], 0);
}

TEST_F(MemLog, MessagesAppendInOrder) {
  MemLogInit();
  MemLogWrite(reinterpret_cast<const UINT8 *>("hello "), 6);
  MemLogWrite(reinterpret_cast<const UINT8 *>("world"), 5);
  EXPECT_EQ(Header().UsedBytes, 11u);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(Data()), 11), "hello world");
  EXPECT_TRUE(ZeroFrom(11));
}

TEST_F(MemLog, AFullLogDropsItsOldestFourMegabytes) {
  Prepare(0xFFFF00);
  std::vector<UINT8> Message(0x200, 0xC3);
  MemLogWrite(Message.data(), Message.size());
  EXPECT_EQ(Header().UsedBytes, 0xC00100u);
  bool Moved = true;
  for (uint32_t I = 0; I < 0xBFFF00 && Moved; ++I) Moved = Data()[I] == Pattern(I + 0x400000);
  EXPECT_TRUE(Moved) << "the newest 0xBFFF00 bytes start the data area";
  EXPECT_EQ(Data()[0xBFFF00], 0xC3);
  EXPECT_EQ(Data()[0xC000FF], 0xC3);
  EXPECT_TRUE(ZeroFrom(0xC00100));
}

TEST_F(MemLog, CompactionWithLessThanFourMegabytesInUseEmptiesTheLog) {
  Prepare(0x100);
  std::vector<UINT8> Message(0xFFFF80, 0x71);
  MemLogWrite(Message.data(), Message.size());
  EXPECT_EQ(Header().UsedBytes, 0xFFFF80u);
  EXPECT_EQ(Data()[0], 0x71);
  EXPECT_EQ(Data()[0xFFFF7F], 0x71);
  EXPECT_TRUE(ZeroFrom(0xFFFF80));
}

TEST_F(MemLog, AMessageThatStillDoesNotFitIsDroppedAfterTheMove) {
  Prepare(MEM_LOG_DATA_SIZE);
  std::vector<UINT8> Message(0x500000, 0x44);
  MemLogWrite(Message.data(), Message.size());
  EXPECT_EQ(Header().UsedBytes, 0xBFFFF0u) << "the count matches what the area still holds";
  EXPECT_EQ(Data()[0], Pattern(0x400000));
  EXPECT_EQ(Data()[0xBFFFEF], Pattern(0xFFFFEF));
  EXPECT_TRUE(ZeroFrom(0xBFFFF0));
}

TEST_F(MemLog, AMessageLongerThanTheAreaIsDroppedWithoutTouchingTheLog) {
  Prepare(0x800000);
  std::vector<UINT8> Message(MEM_LOG_DATA_SIZE + 1, 0x99);
  size_t Mark = Env.Mark();
  MemLogWrite(Message.data(), Message.size());
  EXPECT_EQ(Header().UsedBytes, 0x800000u);
  EXPECT_EQ(Data()[0], Pattern(0));
  EXPECT_EQ(Data()[0x7FFFFF], Pattern(0x7FFFFF));
  EXPECT_TRUE(ZeroFrom(0x800000));
  EXPECT_TRUE(Env.Since(Mark, {"io-write"}).empty()) << "the fatal display is disabled by the configuration";
}

TEST_F(MemLog, ACountBeyondTheDataAreaIsTakenAsAFullArea) {
  Prepare(MEM_LOG_SIZE);  // valid, yet 16 bytes more than the area holds
  const UINT8 Message[] = {'z', 'z'};
  MemLogWrite(Message, sizeof Message);
  EXPECT_EQ(Header().UsedBytes, 0xBFFFF2u);
  EXPECT_EQ(Data()[0], Pattern(0x400000));
  EXPECT_EQ(Data()[0xBFFFF0], 'z');
  EXPECT_EQ(Data()[0xBFFFF1], 'z');
  EXPECT_TRUE(ZeroFrom(0xBFFFF2));
}

TEST_F(MemLog, AnExactFitNeedsNoCompaction) {
  Prepare(MEM_LOG_DATA_SIZE - 4);
  const UINT8 Message[] = {1, 2, 3, 4};
  MemLogWrite(Message, sizeof Message);
  EXPECT_EQ(Header().UsedBytes, MEM_LOG_DATA_SIZE);
  EXPECT_EQ(Data()[0], Pattern(0));
  EXPECT_EQ(Data()[MEM_LOG_DATA_SIZE - 1], 4);
}

TEST_F(MemLog, AnInvalidLogIsNeverWritten) {
  Prepare(0x10);
  Header().UsedBytes = 0xFFFFFFFF;
  const UINT8 Message[] = {'q'};
  MemLogWrite(Message, 1);
  EXPECT_EQ(Header().UsedBytes, 0xFFFFFFFFu);
  EXPECT_EQ(Data()[0x10], 0);
}

}  // namespace
