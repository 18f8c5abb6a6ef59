// SMBus records and the controller routines against the simulated FCH SMBus
// host controllers (base 0x0B00 from the power-management register, the
// second controller at 0x0B20).
#include "BoardScript/ScriptTestSupport.h"

namespace scripttest {
namespace {

using Accesses = std::vector<std::string>;

Words Smbus(UINT64 Type, UINT64 Op, UINT64 Slave, UINT64 Command, UINT64 And, UINT64 Or, UINT64 Compare) {
  return {Type, Op, Slave, Command, And, Or, Compare, 0, 0, 0};
}

const Accesses kPmSetup = {"mmio-read 0xFED80300/32 0xB00", "mmio-write 0xFED80300/32 0x50B00",
                           "mmio-read 0xFED80300/32 0x50B00"};

// Register accesses of one transaction on the controller at Base ("0xB0" or
// "0xB2"), as the engine makes them when the controller answers at once.
struct Transaction {
  std::string Base;
  Accesses Out;
  std::string Reg(int N) const { return Base + std::to_string(N); }
  Transaction &Add(const std::string &Kind, int N, unsigned Width, const std::string &Value) {
    Out.push_back(Kind + " " + Reg(N) + "/" + std::to_string(Width) + " " + Value);
    return *this;
  }
};

// Start of a read: status clear, command, address twice, protocol and start.
Transaction ReadStart(const std::string &Base, const std::string &Command, const std::string &Address,
                      const std::string &AddressRead, bool Word) {
  Transaction T{Base, {}};
  T.Add("io-read", 0, 8, "0x0").Add("io-write", 0, 8, "0xBE").Add("io-write", 3, 8, Command);
  T.Add("io-write", 4, 8, Address).Add("io-write", 4, 8, AddressRead);
  T.Add("io-write", 2, 8, Word ? "0xC" : "0x8").Add("io-write", 2, 8, Word ? "0x4C" : "0x48");
  return T;
}

// The end of every transaction: wait for the status to settle, clear it,
// clear control bit 0, hand the controller back.
void Finish(Transaction &T, const std::string &Status, bool Word) {
  T.Add("io-read", 0, 8, Status).Add("io-write", 0, 8, "0xBE");
  T.Add("io-read", 2, 8, Word ? "0xC" : "0x8").Add("io-write", 2, 8, Word ? "0xC" : "0x8");
  T.Add("io-write", 0, 8, "0x40");
}

Accesses Join(std::initializer_list<Accesses> Parts) {
  Accesses Out;
  for (const Accesses &Part : Parts) Out.insert(Out.end(), Part.begin(), Part.end());
  return Out;
}

class BoardScriptSmbus : public ::testing::Test {
 protected:
  ScriptBoard Board;
  void SetUp() override {
    Board.Env.Scenario.SmbusControllers[0].Devices[0xA0] = {{0x02, 0x1234}, {0x03, 0x00AB}};
  }
  std::vector<sim::Json> Transactions() const { return Board.Env.Since(0, {"smbus"}); }
};

TEST_F(BoardScriptSmbus, ByteAndWordReadsWithTheExactRegisterSequence) {
  Board.Boot();
  EXPECT_TRUE(Board.Run(Pack(Smbus(0x0D, 0x0080, 0xA0, 0x102, 0, 0, 0x34))));
  Transaction Byte = ReadStart("0xB0", "0x2", "0xA0", "0xA1", false);
  Byte.Add("io-read", 0, 8, "0x2").Add("io-read", 5, 8, "0x34");
  Finish(Byte, "0x2", false);
  EXPECT_EQ(Board.TakeAccesses(), Join({kPmSetup, Byte.Out}));

  EXPECT_TRUE(Board.Run(Pack(Smbus(0x4D, 0x00B0, 0xA0, 0x02, 0xFF0F, 0x0100, 0x1304))));
  Transaction Word = ReadStart("0xB0", "0x2", "0xA0", "0xA1", true);
  Word.Add("io-read", 0, 8, "0x2").Add("io-read", 5, 8, "0x34").Add("io-read", 6, 8, "0x12");
  Finish(Word, "0x2", true);
  Accesses Pm = {"mmio-read 0xFED80300/32 0x50B00", "mmio-write 0xFED80300/32 0x50B00",
                 "mmio-read 0xFED80300/32 0x50B00"};
  EXPECT_EQ(Board.TakeAccesses(), Join({Pm, Word.Out}));

  // 16-bit compare: the word read does not match a byte's worth.
  EXPECT_FALSE(Board.Run(Pack(Smbus(0x4D, 0x0080, 0xA0, 0x02, 0, 0, 0x34))));
}

// The read aliases 0x180 and 0x1A0 in the SMBus class, byte and word: the
// same transaction and result as 0x080 and 0x0A0.
TEST_F(BoardScriptSmbus, ReadAliasesActAsTheirOperationAtBothWidths) {
  struct Case {
    UINT64 Type;
    UINT64 And, Read, ReadAnd;  // compare values for a read and a read-AND
    Accesses Data;
  } Cases[] = {
      {0x0D, 0xF0, 0x34, 0x30, {"io-read 0xB00/8 0x2", "io-read 0xB05/8 0x34"}},
      {0x4D, 0xFF00, 0x1234, 0x1200, {"io-read 0xB00/8 0x2", "io-read 0xB05/8 0x34", "io-read 0xB06/8 0x12"}},
  };
  for (const Case &C : Cases) {
    const bool Word = C.Type == 0x4D;
    for (UINT64 Op : {0x080, 0x180, 0x0A0, 0x1A0}) {
      SCOPED_TRACE("type 0x" + std::to_string(C.Type) + " op " + std::to_string(Op));
      ScriptBoard Fresh;
      Fresh.Env.Scenario.SmbusControllers[0].Devices[0xA0] = {{0x02, 0x1234}};
      Fresh.Boot();
      const UINT64 Compare = (Op & 0x20) != 0 ? C.ReadAnd : C.Read;
      EXPECT_TRUE(Fresh.Run(Pack(Smbus(C.Type, Op, 0xA0, 0x02, C.And, 0x1, Compare))));
      Transaction T = ReadStart("0xB0", "0x2", "0xA0", "0xA1", Word);
      T.Out.insert(T.Out.end(), C.Data.begin(), C.Data.end());
      Finish(T, "0x2", Word);
      EXPECT_EQ(Fresh.TakeAccesses(), Join({kPmSetup, T.Out}));
    }
  }
}

TEST_F(BoardScriptSmbus, StatusIsFirstPolledAfterAMillisecondAndTheControllerRestsTenMicroseconds) {
  Board.Boot();
  EXPECT_TRUE(Board.Run(Pack(Smbus(0x0D, 0x0080, 0xA0, 0x02, 0, 0, 0x34))));
  const uint64_t End = Board.NowUs();
  std::vector<sim::Json> Raw = Board.RawEvents();
  auto At = [&](const std::string &Text) -> uint64_t {
    for (const auto &E : Raw)
      if (Access(E) == Text) return E["t_us"];
    ADD_FAILURE() << Text << " not found";
    return 0;
  };
  // The start write (1 us) and the 1000-us wait: 1001.05 us. Stamps are
  // whole microseconds, so the simulated run, deterministic, pins the rest.
  const uint64_t Started = At("io-write 0xB02/8 0x48");
  const uint64_t FirstPoll = At("io-read 0xB00/8 0x2");
  EXPECT_EQ(FirstPoll - Started, 1001u);
  // The last status write (1 us), then the 10-us rest: 11.05 us.
  EXPECT_EQ(End - uint64_t(Raw.back()["t_us"]), 11u);
}

TEST_F(BoardScriptSmbus, ReadModifyWriteReadsThenWritesBothDataBytes) {
  Board.Boot();
  EXPECT_TRUE(Board.Run(Pack(Smbus(0x0D, 0x0050, 0xA0, 0x03, 0, 0x40, 0))));
  Transaction Read = ReadStart("0xB0", "0x3", "0xA0", "0xA1", false);
  Read.Add("io-read", 0, 8, "0x2").Add("io-read", 5, 8, "0xAB");
  Finish(Read, "0x2", false);
  Transaction Write{"0xB0", {}};
  Write.Add("io-read", 0, 8, "0x0").Add("io-write", 0, 8, "0xBE").Add("io-write", 3, 8, "0x3");
  Write.Add("io-write", 4, 8, "0xA0").Add("io-write", 5, 8, "0xEB").Add("io-write", 6, 8, "0x0");
  Write.Add("io-write", 2, 8, "0x8").Add("io-write", 2, 8, "0x48").Add("io-read", 0, 8, "0x2");
  Finish(Write, "0x2", false);
  EXPECT_EQ(Board.TakeAccesses(), Join({kPmSetup, Read.Out, Write.Out}));
  auto Done = Transactions();
  ASSERT_EQ(Done.size(), 2u);
  EXPECT_EQ(Done[1]["op"], "write");
  EXPECT_EQ(Done[1]["value"], "0xEB");
  EXPECT_EQ(Done[1]["ok"], true);
}

TEST_F(BoardScriptSmbus, DeviceErrorRetriesOnceOnTheSecondControllerWithTheReadBitSet) {
  Board.Env.Scenario.SmbusControllers[0].Devices.clear();
  Board.Env.Scenario.SmbusControllers[1].Devices[0xA0] = {{0x02, 0x0042}};
  Board.Boot();
  EXPECT_TRUE(Board.Run(Pack(Smbus(0x0D, 0x0080, 0xA0, 0x02, 0, 0, 0x42))));
  Transaction First = ReadStart("0xB0", "0x2", "0xA0", "0xA1", false);
  First.Add("io-read", 0, 8, "0x4");
  Finish(First, "0x4", false);
  Transaction Retry = ReadStart("0xB2", "0x2", "0xA1", "0xA1", false);
  Retry.Add("io-read", 0, 8, "0x2").Add("io-read", 5, 8, "0x42");
  Finish(Retry, "0x2", false);
  EXPECT_EQ(Board.TakeAccesses(), Join({kPmSetup, First.Out, Retry.Out}));
}

TEST_F(BoardScriptSmbus, AReadFailingOnBothControllersIsZero) {
  Board.Env.Scenario.SmbusControllers[0].Responds = false;
  Board.Env.Scenario.SmbusControllers[1].Responds = false;
  Board.Boot();
  // Compared as 0 after its AND and OR.
  EXPECT_TRUE(Board.Run(Pack(Smbus(0x0D, 0x0090, 0xA0, 0x02, 0, 0x5, 0x5))));
  EXPECT_FALSE(Board.Run(Pack(Smbus(0x0D, 0x0080, 0xA0, 0x02, 0, 0, 0x34))));
  auto Done = Transactions();
  ASSERT_EQ(Done.size(), 4u);
  for (size_t I = 0; I < Done.size(); ++I) {
    EXPECT_EQ(Done[I]["controller"], I % 2 == 0 ? "0x0" : "0x1");
    EXPECT_EQ(Done[I]["ok"], false);
  }
}

// The base read from the power-management register never has bit 5 set;
// a caller's base that has it (the second controller's own) is tried once.
TEST_F(BoardScriptSmbus, ABaseWithBitFiveSetIsTriedOnce) {
  Board.Boot();
  EXPECT_EQ(SmbusReadData(0x0B20, 0xA0, 0x02, SCRIPT_WIDTH_8), 0u);
  Transaction Only = ReadStart("0xB2", "0x2", "0xA0", "0xA1", false);
  Only.Add("io-read", 0, 8, "0x4");
  Finish(Only, "0x4", false);
  EXPECT_EQ(Board.TakeAccesses(), Only.Out);
  EXPECT_EQ(Transactions().size(), 1u);
}

TEST_F(BoardScriptSmbus, AWriteOperationYieldsTrueWhenTheDeviceNeverAnswers) {
  Board.Env.Scenario.SmbusControllers[0].Responds = false;
  Board.Boot();
  EXPECT_TRUE(Board.Run(Pack(Smbus(0x4D, 0x0070, 0xA0, 0x02, 0x00FF, 0x8000, 0xFFFF))));
  // Both controllers are asked for the value; none gives one, so nothing is
  // written from a value that was never read.
  auto Done = Transactions();
  ASSERT_EQ(Done.size(), 2u);
  EXPECT_EQ(Done[0]["controller"], "0x0");
  EXPECT_EQ(Done[1]["controller"], "0x1");
  for (const auto &T : Done) EXPECT_EQ(T["op"], "read");

  // The write routine itself tries both controllers, the address unchanged.
  Board.TakeAccesses();
  EXPECT_EQ(SmbusWriteData(0x0B00, 0xB0, 0x07, 0x1234, SCRIPT_WIDTH_16), EFI_DEVICE_ERROR);
  Accesses Writes;
  for (const std::string &A : Board.TakeAccesses())
    if (A.rfind("io-write 0xB04/", 0) == 0 || A.rfind("io-write 0xB24/", 0) == 0 || A.find("/8 0x4C") != std::string::npos)
      Writes.push_back(A);
  EXPECT_EQ(Writes, (Accesses{"io-write 0xB04/8 0xB0", "io-write 0xB02/8 0x4C", "io-write 0xB24/8 0xB0",
                              "io-write 0xB22/8 0x4C"}));
}

TEST_F(BoardScriptSmbus, OperationsOutsideTheTableOnlySetUpTheController) {
  Board.Boot();
  EXPECT_TRUE(Board.Run(Pack(Smbus(0x0D, 0x0007, 0xA0, 0x02, 0, 0, 1))));
  EXPECT_EQ(Board.TakeAccesses(), kPmSetup);
}

// A 32- or 64-bit SMBus record starts nothing: both controllers are polled
// to the end of both waits, in bounded simulated time, and the read is 0.
TEST_F(BoardScriptSmbus, WidthsWithoutAProtocolRunOutTheirWaitsOnBothControllers) {
  for (UINT64 Type : {0x8Dull, 0xCDull}) {
    ScriptBoard Wide;
    Wide.Boot();
    const uint64_t Before = Wide.Cycles();
    EXPECT_FALSE(Wide.Run(Pack(Smbus(Type, 0x0080, 0xA0, 0x02, 0, 0, 0x34))));
    const uint64_t Elapsed = Wide.Cycles() - Before;
    size_t Polls[2] = {0, 0};
    size_t Starts = 0;
    for (const std::string &A : Wide.TakeAccesses()) {
      if (A.rfind("io-read 0xB00/8", 0) == 0) ++Polls[0];
      if (A.rfind("io-read 0xB20/8", 0) == 0) ++Polls[1];
      if (A.find("/8 0x48") != std::string::npos || A.find("/8 0x4C") != std::string::npos) ++Starts;
    }
    const size_t PerController = 1 + 0x6000 + 0x3FFF;  // the discarded read, then both waits in full
    EXPECT_EQ(Polls[0], PerController) << std::hex << Type;
    EXPECT_EQ(Polls[1], PerController) << std::hex << Type;
    EXPECT_EQ(Starts, 0u);
    // Per controller, in TSC cycles at 3.75 GHz: 3750 for each port access
    // (5 before the waits, 0x6000 polls, 0x3FFF polls and the clearing write,
    // 3 after), the 1000-us wait, a 1-us wait after every poll, the 10-us
    // rest; the power-management register's three MMIO accesses at 375.
    const uint64_t PortAccesses = 5 + 0x6000 + 0x3FFF + 1 + 3;
    const uint64_t PerControllerCycles =
        PortAccesses * 3750 + DelayCycles(1000) + (0x6000 + 0x3FFF) * DelayCycles(1) + DelayCycles(10);
    EXPECT_EQ(Elapsed, 3 * 375 + 2 * PerControllerCycles) << std::hex << Type;
    EXPECT_TRUE(Wide.Env.Since(0, {"smbus"}).empty());
  }
  Board.Boot();
  EXPECT_EQ(SmbusReadData(0x0B20, 0xA0, 0x02, SCRIPT_WIDTH_32), 0u);
}

}  // namespace
}  // namespace scripttest
