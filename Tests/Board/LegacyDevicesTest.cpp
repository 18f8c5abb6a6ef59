// CMOS, RTC, POST-code ports, latched and unmodelled ports, UART.
#include "Board/BoardTestSupport.h"

namespace boardtest {
namespace {

using CmosTest = BoardTest;

TEST_F(CmosTest, UpperBankReadsAndWritesThroughTheIndexPort) {
  S.Cmos[0x98] = 0x01;
  S.Cmos[0xFF] = 0x5A;
  sim::Board &Brd = Make();
  Brd.IoWrite(0x72, 8, 0x98);
  EXPECT_EQ(Brd.IoRead(0x73, 8), 0x01u);
  Brd.IoWrite(0x72, 8, 0xA0);
  Brd.IoWrite(0x73, 8, 0x33);
  EXPECT_EQ(Brd.CmosByte(0xA0), 0x33);
  EXPECT_EQ(Brd.CmosByte(0xFF), 0x5A);
  Brd.SetCmosByte(0x90, 0x12);
  Brd.IoWrite(0x72, 8, 0x90);
  EXPECT_EQ(Brd.IoRead(0x73, 8), 0x12u);

  auto E = Since(0);
  ASSERT_EQ(E.size(), 9u);
  EXPECT_EQ(E[0], Ev("io-write", Json{{"port", "0x72"}, {"width", 8}, {"value", "0x98"}}));
  EXPECT_EQ(E[1], Ev("io-read", Json{{"port", "0x73"}, {"width", 8}, {"value", "0x1"}}));
  EXPECT_EQ(E[2], Ev("cmos-read", Json{{"offset", "0x98"}, {"value", "0x1"}}));
  EXPECT_EQ(E[5], Ev("cmos-write", Json{{"offset", "0xA0"}, {"value", "0x33"}}));
}

TEST_F(CmosTest, RtcAnswersInBcdTwentyFourHour) {
  S.Rtc = {12, 25, 23, 59};
  sim::Board &Brd = Make();
  auto Rtc = [&](uint8_t Register) {
    Brd.IoWrite(0x70, 8, Register);
    return Brd.IoRead(0x71, 8);
  };
  EXPECT_EQ(Rtc(0x00), 0x00u);
  EXPECT_EQ(Rtc(0x02), 0x59u);
  EXPECT_EQ(Rtc(0x04), 0x23u);
  EXPECT_EQ(Rtc(0x07), 0x25u);
  EXPECT_EQ(Rtc(0x08), 0x12u);
  EXPECT_EQ(Rtc(0x09), 0x26u);
  EXPECT_EQ(Rtc(0x06), 0x06u);  // 25 December 2026 is a Friday
  EXPECT_EQ(Rtc(0x0B) & 0x06, 0x02u);
  EXPECT_EQ(Rtc(0x0A) & 0x80, 0u);
  EXPECT_EQ(Rtc(0x88), 0x12u);  // the NMI mask bit does not change the selection
  auto Reads = T.Select("rtc-read");
  ASSERT_EQ(Reads.size(), 10u);
  EXPECT_EQ(Strip(Reads[9]), Ev("rtc-read", Json{{"register", "0x8"}, {"value", "0x12"}}));
  EXPECT_TRUE(T.Select("cmos-read").empty());
}

TEST_F(CmosTest, CmosAndRtcSurviveReboot) {
  sim::Board &Brd = Make();
  Brd.IoWrite(0x72, 8, 0xC0);
  Brd.IoWrite(0x73, 8, 'V');
  Brd.IoWrite(0x70, 8, 0x02);
  Brd.IoWrite(0x71, 8, 0x45);
  Brd.Reboot();
  EXPECT_EQ(Brd.CmosByte(0xC0), 'V');
  Brd.IoWrite(0x70, 8, 0x02);
  EXPECT_EQ(Brd.IoRead(0x71, 8), 0x45u);
}

using PortTest = BoardTest;

TEST_F(PortTest, PostCodesKeepEveryWriteInOrder) {
  sim::Board &Brd = Make();
  Brd.IoWrite(0x80, 32, 0x5F535452);
  Brd.IoWrite(0x80, 8, 0x41);
  Brd.IoWrite(0x80, 32, 0x5F454E44);
  EXPECT_EQ(Brd.PostCodes(), (std::vector<uint8_t>{0x52, 0x41, 0x44}));
  EXPECT_EQ(Brd.PostCodeValues(), (std::vector<uint32_t>{0x5F535452, 0x41, 0x5F454E44}));
  auto E = Since(0);
  ASSERT_EQ(E.size(), 6u);
  EXPECT_EQ(E[0], Ev("io-write", Json{{"port", "0x80"}, {"width", 32}, {"value", "0x5F535452"}}));
  EXPECT_EQ(E[1], Ev("post-code", Json{{"value", "0x5F535452"}, {"width", 32}}));
  EXPECT_EQ(E[3], Ev("post-code", Json{{"value", "0x41"}, {"width", 8}}));
  EXPECT_EQ(Brd.IoRead(0x80, 8), 0x44u);
}

TEST_F(PortTest, PortE0LatchesWhatIsWritten) {
  sim::Board &Brd = Make();
  Brd.IoWrite(0xE0, 16, 0xDEAD);
  EXPECT_EQ(Brd.IoRead(0xE0, 16), 0xDEADu);
  EXPECT_EQ(Brd.LatchedPort(0xE0), 0xAD);
  EXPECT_TRUE(Brd.PostCodes().empty());
  EXPECT_EQ(T.Select("post-code-e0").size(), 1u);
}

TEST_F(PortTest, ListedPortsLatchAndOthersFloat) {
  S.Io[0x803] = 0x04;
  sim::Board &Brd = Make();
  EXPECT_EQ(Brd.IoRead(0x803, 8), 0x04u);
  Brd.IoWrite(0x803, 8, 0x10);
  EXPECT_EQ(Brd.IoRead(0x803, 8), 0x10u);
  EXPECT_EQ(Brd.LatchedPort(0x803), 0x10);
  EXPECT_EQ(Brd.IoRead(0x1234, 8), 0xFFu);
  EXPECT_EQ(Brd.IoRead(0x1234, 16), 0xFFFFu);
  EXPECT_EQ(Brd.IoRead(0x1234, 32), 0xFFFFFFFFu);
  Brd.IoWrite(0x1234, 8, 0);
  EXPECT_EQ(Brd.IoRead(0x1234, 8), 0xFFu);
  EXPECT_EQ(Brd.LatchedPort(0x1234), 0xFF);
  // A byte-wide view of 0xCF8 is not the configuration address.
  Brd.IoWrite(0xCF8, 32, 0x80000000);
  EXPECT_EQ(Brd.IoRead(0xCF8, 8), 0xFFu);
}

using UartTest = BoardTest;

TEST_F(UartTest, ReadyPortReportsTransmitterEmptyAndClearToSend) {
  sim::Board &Brd = Make();
  EXPECT_EQ(Brd.IoRead(0x3FD, 8) & 0x60, 0x60u);
  EXPECT_EQ(Brd.IoRead(0x3FE, 8) & 0x10, 0x10u);
  Brd.IoWrite(0x3F8, 8, 'A');
  auto Serial = T.Select("serial");
  ASSERT_EQ(Serial.size(), 1u);
  EXPECT_EQ(Serial[0]["value"], "0x41");
  // With the divisor latch open the same port is the divisor, not a byte sent.
  Brd.IoWrite(0x3FB, 8, 0x83);
  Brd.IoWrite(0x3F8, 8, 0x01);
  EXPECT_EQ(Brd.IoRead(0x3F8, 8), 0x01u);
  EXPECT_EQ(T.Select("serial").size(), 1u);
}

TEST_F(UartTest, BusyPortReportsNeither) {
  S.SerialReady = false;
  sim::Board &Brd = Make();
  EXPECT_EQ(Brd.IoRead(0x3FD, 8) & 0x60, 0u);
  EXPECT_EQ(Brd.IoRead(0x3FE, 8) & 0x10, 0u);
}

}  // namespace
}  // namespace boardtest
