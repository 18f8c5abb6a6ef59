// Super I/O configuration ports and the keyboard controller.
#include "Board/BoardTestSupport.h"

namespace boardtest {
namespace {

class SuperIoTest : public BoardTest {
 protected:
  void Enter() {
    B->IoWrite(0x2E, 8, 0x87);
    B->IoWrite(0x2E, 8, 0x87);
  }
  void Exit() { B->IoWrite(0x2E, 8, 0xAA); }
};

TEST_F(SuperIoTest, PortsFloatOutsideConfigurationMode) {
  S.SioGlobal[0x27] = 0x40;
  sim::Board &Brd = Make();
  Brd.IoWrite(0x2E, 8, 0x27);
  EXPECT_EQ(Brd.IoRead(0x2F, 8), 0xFFu);
  Brd.IoWrite(0x2F, 8, 0x00);
  EXPECT_EQ(Brd.SioRegister(std::nullopt, 0x27), 0x40);
  // One key byte followed by something else is not the entry sequence.
  Brd.IoWrite(0x2E, 8, 0x87);
  Brd.IoWrite(0x2E, 8, 0x27);
  Brd.IoWrite(0x2E, 8, 0x87);
  EXPECT_EQ(Brd.IoRead(0x2F, 8), 0xFFu);
  EXPECT_TRUE(T.Select("sio-read").empty());
  EXPECT_TRUE(T.Select("sio-write").empty());
}

TEST_F(SuperIoTest, EnterSelectModifyExit) {
  S.SioGlobal[0x27] = 0x40;
  S.SioLdn[0x0A][0xF4] = 0x08;
  S.SioLdn[0x0A][0xE0] = 0x01;
  S.SioLdn[0x05][0xE0] = 0x55;
  sim::Board &Brd = Make();

  Enter();
  Brd.IoWrite(0x2E, 8, 0x27);
  const uint32_t Global = Brd.IoRead(0x2F, 8);
  Brd.IoWrite(0x2E, 8, 0x27);
  Brd.IoWrite(0x2F, 8, Global & 0xBF);
  Exit();
  EXPECT_EQ(Global, 0x40u);
  EXPECT_EQ(Brd.SioRegister(std::nullopt, 0x27), 0x00);

  Enter();
  Brd.IoWrite(0x2E, 8, 0x07);
  Brd.IoWrite(0x2F, 8, 0x0A);
  Exit();
  // The selection persists across configuration sequences.
  Enter();
  Brd.IoWrite(0x2E, 8, 0xE0);
  const uint32_t Old = Brd.IoRead(0x2F, 8);
  Brd.IoWrite(0x2E, 8, 0xE0);
  Brd.IoWrite(0x2F, 8, (Old & 0x7F) | 0x80);
  Exit();
  EXPECT_EQ(Old, 0x01u);
  EXPECT_EQ(Brd.SioRegister(0x0A, 0xE0), 0x81);
  EXPECT_EQ(Brd.SioRegister(0x05, 0xE0), 0x55);
  EXPECT_EQ(Brd.SioRegister(std::nullopt, 0x07), 0x0A);
  EXPECT_EQ(Brd.IoRead(0x2F, 8), 0xFFu);  // left configuration mode

  auto Reads = T.Select("sio-read");
  auto Writes = T.Select("sio-write");
  ASSERT_EQ(Reads.size(), 2u);
  ASSERT_EQ(Writes.size(), 3u);
  EXPECT_EQ(Strip(Reads[0]), Ev("sio-read", Json{{"ldn", nullptr}, {"register", "0x27"}, {"value", "0x40"}}));
  EXPECT_EQ(Strip(Writes[1]), Ev("sio-write", Json{{"ldn", nullptr}, {"register", "0x7"}, {"value", "0xA"}}));
  EXPECT_EQ(Strip(Reads[1]), Ev("sio-read", Json{{"ldn", "0xA"}, {"register", "0xE0"}, {"value", "0x1"}}));
  EXPECT_EQ(Strip(Writes[2]), Ev("sio-write", Json{{"ldn", "0xA"}, {"register", "0xE0"}, {"value", "0x81"}}));
  // The decoded event follows its data-port access directly.
  const auto &All = T.Events();
  for (size_t I = 0; I < All.size(); ++I) {
    if (All[I]["event"] == "sio-write") {
      EXPECT_EQ(All[I - 1]["port"], "0x2F");
    }
  }
}

TEST_F(SuperIoTest, RebootReturnsToTheScenarioAndLeavesConfigurationMode) {
  S.SioLdn[0x0A][0xEC] = 0x01;
  sim::Board &Brd = Make();
  Enter();
  Brd.IoWrite(0x2E, 8, 0x07);
  Brd.IoWrite(0x2F, 8, 0x0A);
  Brd.IoWrite(0x2E, 8, 0xEC);
  Brd.IoWrite(0x2F, 8, 0x04);
  Brd.Reboot();
  EXPECT_EQ(Brd.SioRegister(0x0A, 0xEC), 0x01);
  EXPECT_EQ(Brd.SioRegister(std::nullopt, 0x07), 0x00);
  EXPECT_EQ(Brd.IoRead(0x2F, 8), 0xFFu);
}

class KbcTest : public BoardTest {
 protected:
  void SetUp() override { S.KbcLatencyUs = 100; }

  uint8_t Status() { return static_cast<uint8_t>(B->IoRead(0x64, 8)); }
  void WaitInputEmpty() {
    for (int I = 0; I < 100 && (Status() & 0x02); ++I) {
    }
    ASSERT_EQ(Status() & 0x02, 0);
  }
  void Data(uint8_t Value) {
    WaitInputEmpty();
    B->IoWrite(0x60, 8, Value);
    WaitInputEmpty();
  }
  void Command(uint8_t Value) {
    WaitInputEmpty();
    B->IoWrite(0x64, 8, Value);
    WaitInputEmpty();
  }
  // Polls like the driver: status, then a 500-us wait, up to Tries times.
  std::optional<uint8_t> ReadData(int Tries = 2000) {
    for (int I = 0; I < Tries; ++I) {
      if (Status() & 0x01) {
        return static_cast<uint8_t>(B->IoRead(0x60, 8));
      }
      B->AdvanceUs(500);
    }
    return std::nullopt;
  }
  // Time at which the status first shows OBF, polling every microsecond.
  uint64_t TimeOfObf() {
    for (int I = 0; I < 100000; ++I) {
      const uint64_t Now = B->NowUs();
      if (Status() & 0x01) {
        return Now;
      }
    }
    ADD_FAILURE() << "no byte arrived";
    return 0;
  }
};

TEST_F(KbcTest, LedSequenceIsAcknowledgedTwice) {
  sim::Board &Brd = Make();
  Data(0xED);
  EXPECT_EQ(ReadData(), std::optional<uint8_t>(0xFA));
  Data(0x00);
  EXPECT_EQ(ReadData(), std::optional<uint8_t>(0xFA));
  EXPECT_EQ(Brd.KeyboardLeds(), 0);
  Data(0xED);
  ReadData();
  Data(0x05);
  ReadData();
  EXPECT_EQ(Brd.KeyboardLeds(), 0x05);

  auto DataEvents = T.Select("kbc-data");
  ASSERT_EQ(DataEvents.size(), 4u);
  EXPECT_EQ(Strip(DataEvents[0]), Ev("kbc-data", Json{{"value", "0xED"}}));
  EXPECT_EQ(Strip(DataEvents[1]), Ev("kbc-data", Json{{"value", "0x0"}}));
  const auto &All = T.Events();
  for (size_t I = 0; I < All.size(); ++I) {
    if (All[I]["event"] == "kbc-data") {
      EXPECT_EQ(Strip(All[I - 1])["port"], "0x60");
      EXPECT_EQ(All[I - 1]["event"], "io-write");
    }
  }
  EXPECT_TRUE(T.Select("kbc-command").empty());
}

TEST_F(KbcTest, AnswersArriveOneLatencyAfterTheRequestAndAfterEachRead) {
  S.KbcLatencyUs = 250;
  sim::Board &Brd = Make();
  Command(0xD4);
  WaitInputEmpty();
  const uint64_t Written = Brd.NowUs();
  Brd.IoWrite(0x60, 8, 0xFF);  // auxiliary device reset
  EXPECT_EQ(TimeOfObf(), Written + 250);
  EXPECT_EQ(Status() & 0x21, 0x21);  // OBF with the auxiliary-data flag
  EXPECT_EQ(Brd.IoRead(0x60, 8), 0xFAu);
  const uint64_t FirstRead = Brd.NowUs() - 1;
  EXPECT_EQ(Status() & 0x01, 0);
  EXPECT_EQ(TimeOfObf(), FirstRead + 250);
  EXPECT_EQ(Brd.IoRead(0x60, 8), 0xAAu);
  EXPECT_EQ(ReadData(), std::optional<uint8_t>(0x00));
  EXPECT_EQ(ReadData(3), std::nullopt);  // nothing more
  EXPECT_FALSE(Brd.AuxReporting());

  Command(0xD4);
  Data(0xF4);
  EXPECT_EQ(ReadData(), std::optional<uint8_t>(0xFA));
  EXPECT_TRUE(Brd.AuxReporting());

  auto Commands = T.Select("kbc-command");
  ASSERT_EQ(Commands.size(), 2u);
  EXPECT_EQ(Strip(Commands[0]), Ev("kbc-command", Json{{"value", "0xD4"}}));
}

TEST_F(KbcTest, KeyboardBytesAreNotFlaggedAsAuxiliary) {
  Make();
  Data(0xED);
  TimeOfObf();
  EXPECT_EQ(Status() & 0x21, 0x01);
}

TEST_F(KbcTest, InputBufferIsBusyBrieflyAfterAWrite) {
  sim::Board &Brd = Make();
  EXPECT_EQ(Status() & 0x02, 0);
  Brd.IoWrite(0x64, 8, 0xAD);
  EXPECT_EQ(Status() & 0x02, 0x02);
  Brd.AdvanceUs(10);
  EXPECT_EQ(Status() & 0x02, 0);
}

TEST_F(KbcTest, SilentDevicesNeverAnswerButTheControllerDoes) {
  S.KbcResponds = false;
  sim::Board &Brd = Make();
  Data(0xED);
  EXPECT_EQ(ReadData(), std::nullopt);
  EXPECT_GE(Brd.NowUs(), 1000000u);  // the driver's whole second of polling
  Command(0xD4);
  Data(0xFF);
  EXPECT_EQ(ReadData(10), std::nullopt);
  Command(0x20);
  EXPECT_EQ(ReadData(), std::optional<uint8_t>(0x47));
  EXPECT_EQ(T.Select("kbc-data").size(), 2u);
}

TEST_F(KbcTest, CommandByteCanBeRewritten) {
  Make();
  Command(0x60);
  Data(0x45);
  Command(0xA7);
  Command(0x20);
  EXPECT_EQ(ReadData(), std::optional<uint8_t>(0x65));
}

}  // namespace
}  // namespace boardtest
