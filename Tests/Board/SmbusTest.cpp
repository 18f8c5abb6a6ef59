// The FCH SMBus host controllers.
#include "Board/BoardTestSupport.h"

namespace boardtest {
namespace {

constexpr uint16_t kBase = 0x0B00;
constexpr uint8_t kByteData = 0x08;
constexpr uint8_t kWordData = 0x0C;

class SmbusTest : public BoardTest {
 protected:
  void SetUp() override { S.SmbusControllers[0].Devices[0xA0] = {{0x02, 0x1234}, {0x03, 0x00AB}}; }

  // Sets up and starts one transaction the way the script engine does.
  void Begin(uint16_t Base, uint8_t Address, uint8_t Command, uint8_t Protocol, uint16_t Data = 0) {
    B->IoRead(Base, 8);
    B->IoWrite(Base, 8, 0xBE);
    B->IoWrite(Base + 3, 8, Command);
    B->IoWrite(Base + 4, 8, Address);
    B->IoWrite(Base + 5, 8, Data & 0xFF);
    B->IoWrite(Base + 6, 8, Data >> 8);
    B->IoWrite(Base + 2, 8, Protocol);
    B->IoWrite(Base + 2, 8, Protocol | 0x40);
  }
  // Polls the status until the transaction reports its end.
  uint8_t WaitEnd(uint16_t Base) {
    for (int I = 0; I < 1000; ++I) {
      const uint8_t Status = static_cast<uint8_t>(B->IoRead(Base, 8));
      if (Status & 0x9E) {
        return Status;
      }
    }
    ADD_FAILURE() << "transaction never ended";
    return 0;
  }
  uint16_t Read(uint16_t Base, uint8_t Slave, uint8_t Command, uint8_t Protocol) {
    Begin(Base, Slave | 1, Command, Protocol);
    if (WaitEnd(Base) != 0x02) {
      return 0;
    }
    uint16_t Value = static_cast<uint16_t>(B->IoRead(Base + 5, 8));
    if (Protocol == kWordData) {
      Value |= static_cast<uint16_t>(B->IoRead(Base + 6, 8) << 8);
    }
    B->IoWrite(Base, 8, 0xBE);
    return Value;
  }
};

TEST_F(SmbusTest, ByteReadIsBusyForItsDurationThenAnswers) {
  sim::Board &Brd = Make();
  Begin(kBase, 0xA1, 0x02, kByteData);
  const uint64_t Started = T.Events().back()["t_us"];
  EXPECT_EQ(Brd.IoRead(kBase, 8), 0x01u);  // host busy
  Brd.AdvanceUs(Started + 49 - Brd.NowUs());
  EXPECT_TRUE(T.Select("smbus").empty());
  EXPECT_EQ(Brd.IoRead(kBase, 8), 0x01u);
  const size_t Before = Mark();
  EXPECT_EQ(Brd.IoRead(kBase, 8), 0x02u);  // done, at start + 50 us
  EXPECT_EQ(Brd.IoRead(kBase + 5, 8), 0x34u);

  auto E = Since(Before);
  ASSERT_EQ(E.size(), 3u);
  EXPECT_EQ(E[0], Ev("smbus", Json{{"controller", "0x0"},
                                  {"op", "read"},
                                  {"slave", "0xA0"},
                                  {"command", "0x2"},
                                  {"width", 8},
                                  {"value", "0x34"},
                                  {"ok", true}}));
  EXPECT_EQ(E[1], Ev("io-read", Json{{"port", "0xB00"}, {"width", 8}, {"value", "0x2"}}));
  EXPECT_EQ(T.Select("smbus")[0]["t_us"], Started + 50);
}

TEST_F(SmbusTest, CompletionIsReportedEvenIfOnlyTheClockPolls) {
  sim::Board &Brd = Make();
  Begin(kBase, 0xA1, 0x02, kByteData);
  while (T.Select("smbus").empty()) {
    ASSERT_LT(Brd.NowUs(), 1000u);
    Brd.Pause();
  }
  EXPECT_EQ(T.Events().back()["event"], "smbus");
}

TEST_F(SmbusTest, WordReadFillsBothDataRegisters) {
  Make();
  EXPECT_EQ(Read(kBase, 0xA0, 0x02, kWordData), 0x1234u);
  auto Events = T.Select("smbus");
  ASSERT_EQ(Events.size(), 1u);
  EXPECT_EQ(Events[0]["width"], 16);
  EXPECT_EQ(Events[0]["value"], "0x1234");
}

TEST_F(SmbusTest, WritesAreStoredAndReadBack) {
  sim::Board &Brd = Make();
  Begin(kBase, 0xA0, 0x03, kByteData, 0x9977);
  EXPECT_EQ(WaitEnd(kBase), 0x02u);
  Brd.IoWrite(kBase, 8, 0xBE);
  EXPECT_EQ(Read(kBase, 0xA0, 0x03, kWordData), 0x0077u);
  Begin(kBase, 0xA0, 0x03, kWordData, 0x9977);
  EXPECT_EQ(WaitEnd(kBase), 0x02u);
  EXPECT_EQ(Read(kBase, 0xA0, 0x03, kWordData), 0x9977u);

  auto Events = T.Select("smbus");
  ASSERT_EQ(Events.size(), 4u);
  EXPECT_EQ(Strip(Events[0]), Ev("smbus", Json{{"controller", "0x0"},
                                              {"op", "write"},
                                              {"slave", "0xA0"},
                                              {"command", "0x3"},
                                              {"width", 8},
                                              {"value", "0x77"},
                                              {"ok", true}}));
}

TEST_F(SmbusTest, AbsentSlaveOrCommandReportsDeviceError) {
  Make();
  Begin(kBase, 0xB1, 0x02, kByteData);
  EXPECT_EQ(WaitEnd(kBase), 0x04u);
  B->IoWrite(kBase, 8, 0xBE);
  Begin(kBase, 0xA1, 0x7F, kByteData);
  EXPECT_EQ(WaitEnd(kBase), 0x04u);
  B->IoWrite(kBase, 8, 0xBE);
  Begin(kBase, 0xB0, 0x02, kByteData, 0x55);
  EXPECT_EQ(WaitEnd(kBase), 0x04u);

  auto Events = T.Select("smbus");
  ASSERT_EQ(Events.size(), 3u);
  EXPECT_EQ(Strip(Events[0]), Ev("smbus", Json{{"controller", "0x0"},
                                              {"op", "read"},
                                              {"slave", "0xB0"},
                                              {"command", "0x2"},
                                              {"width", 8},
                                              {"value", "0x0"},
                                              {"ok", false}}));
  EXPECT_EQ(Events[2]["ok"], false);
  EXPECT_EQ(Events[2]["value"], "0x55");  // a write reports what was sent
}

TEST_F(SmbusTest, SilentControllerFailsEvenForPresentDevices) {
  S.SmbusControllers[0].Responds = false;
  Make();
  Begin(kBase, 0xA1, 0x02, kByteData);
  EXPECT_EQ(WaitEnd(kBase), 0x04u);
  EXPECT_EQ(T.Select("smbus")[0]["ok"], false);
}

TEST_F(SmbusTest, SecondaryControllerSitsAtBasePlus0x20WithItsOwnDevices) {
  S.SmbusControllers[1].Devices[0xA0] = {{0x02, 0x0042}};
  Make();
  EXPECT_EQ(Read(kBase + 0x20, 0xA0, 0x02, kByteData), 0x42u);
  EXPECT_EQ(Read(kBase, 0xA0, 0x02, kByteData), 0x34u);
  auto Events = T.Select("smbus");
  ASSERT_EQ(Events.size(), 2u);
  EXPECT_EQ(Events[0]["controller"], "0x1");
  EXPECT_EQ(Events[1]["controller"], "0x0");
}

TEST_F(SmbusTest, StatusBitsClearByWritingOneExceptHostBusy) {
  sim::Board &Brd = Make();
  Begin(kBase, 0xA1, 0x02, kByteData);
  Brd.IoWrite(kBase, 8, 0xFF);
  EXPECT_EQ(Brd.IoRead(kBase, 8), 0x01u);
  EXPECT_EQ(WaitEnd(kBase), 0x02u);
  Brd.IoWrite(kBase, 8, 0x40);
  EXPECT_EQ(Brd.IoRead(kBase, 8), 0x02u);
  Brd.IoWrite(kBase, 8, 0xBE);
  EXPECT_EQ(Brd.IoRead(kBase, 8), 0x00u);
  // The start bit does not read back; the protocol and interrupt enable do.
  Brd.IoWrite(kBase + 2, 8, 0x09);
  EXPECT_EQ(Brd.IoRead(kBase + 2, 8), 0x09u);
}

TEST_F(SmbusTest, TheBaseFollowsThePmRegister) {
  sim::Board &Brd = Make();
  const uint32_t Pm = static_cast<uint32_t>(Brd.MmioRead(0xFED80300, 32));
  Brd.MmioWrite(0xFED80300, 32, (Pm | 0x00050000) & ~0xFF00u);
  EXPECT_EQ(Brd.IoRead(kBase + 5, 8), 0xFFu);  // nothing decoded without a base
  Brd.MmioWrite(0xFED80300, 32, 0x00050C00);
  EXPECT_EQ(Read(0x0C00, 0xA0, 0x02, kByteData), 0x34u);
  EXPECT_EQ(Brd.IoRead(kBase + 5, 8), 0xFFu);
}

TEST_F(SmbusTest, UnsupportedProtocolAndKillReportFailure) {
  sim::Board &Brd = Make();
  Begin(kBase, 0xA1, 0x02, 0x04);  // send/receive byte
  EXPECT_EQ(WaitEnd(kBase), 0x10u);
  Brd.IoWrite(kBase, 8, 0xBE);
  Begin(kBase, 0xA1, 0x02, kByteData);
  Brd.IoWrite(kBase + 2, 8, 0x02);  // kill
  EXPECT_EQ(Brd.IoRead(kBase, 8), 0x10u);
  auto Events = T.Select("smbus");
  ASSERT_EQ(Events.size(), 2u);
  EXPECT_EQ(Events[0]["width"], 0);
  EXPECT_EQ(Events[1]["ok"], false);
  EXPECT_EQ(Strip(T.Events()[T.Events().size() - 2])["event"], "smbus");  // right after the kill write
}

TEST_F(SmbusTest, RebootRestoresTheDevicesAndDropsATransactionInFlight) {
  sim::Board &Brd = Make();
  Begin(kBase, 0xA0, 0x02, kByteData, 0x01);
  Brd.Reboot();
  Brd.AdvanceUs(100);
  EXPECT_EQ(Brd.IoRead(kBase, 8), 0x00u);
  EXPECT_TRUE(T.Select("smbus").empty());
  EXPECT_EQ(Read(kBase, 0xA0, 0x02, kByteData), 0x34u);
}

}  // namespace
}  // namespace boardtest
