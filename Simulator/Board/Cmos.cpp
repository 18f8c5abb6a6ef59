// Battery-backed CMOS: the RTC bank at 0x70/0x71 and the 256-byte bank at
// 0x72/0x73. Both survive reboots; the clock does not tick (seconds read 0),
// and it answers in BCD, 24-hour mode.
#include "Board/BoardImpl.h"

namespace sim {

namespace {
constexpr uint8_t kRtcSeconds = 0x00, kRtcMinutes = 0x02, kRtcHours = 0x04, kRtcWeekday = 0x06, kRtcDay = 0x07,
                  kRtcMonth = 0x08, kRtcYear = 0x09, kRtcStatusA = 0x0A, kRtcStatusB = 0x0B, kRtcStatusC = 0x0C,
                  kRtcStatusD = 0x0D, kRtcCentury = 0x32;
constexpr int kRtcYearValue = 2026;

uint8_t Bcd(unsigned Value) { return static_cast<uint8_t>(((Value / 10) % 10) << 4 | (Value % 10)); }

// 1 = Sunday .. 7 = Saturday, as the RTC counts.
uint8_t Weekday(int Year, int Month, int Day) {
  static constexpr int Offsets[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
  if (Month < 3) {
    Year -= 1;
  }
  const int Index = (Month >= 1 && Month <= 12) ? Month - 1 : 0;
  const int Dow = (Year + Year / 4 - Year / 100 + Year / 400 + Offsets[Index] + Day) % 7;  // 0 = Sunday
  return static_cast<uint8_t>(Dow + 1);
}
}  // namespace

void Board::Impl::InitRtc() {
  RtcBank.fill(0);
  RtcBank[kRtcSeconds] = 0;
  RtcBank[kRtcMinutes] = Bcd(S.Rtc.Minute);
  RtcBank[kRtcHours] = Bcd(S.Rtc.Hour);
  RtcBank[kRtcWeekday] = Weekday(kRtcYearValue, S.Rtc.Month, S.Rtc.Day);
  RtcBank[kRtcDay] = Bcd(S.Rtc.Day);
  RtcBank[kRtcMonth] = Bcd(S.Rtc.Month);
  RtcBank[kRtcYear] = Bcd(kRtcYearValue % 100);
  RtcBank[kRtcStatusA] = 0x26;  // 32.768 kHz time base, 1024 Hz rate, no update in progress
  RtcBank[kRtcStatusB] = 0x02;  // 24-hour, BCD
  RtcBank[kRtcStatusD] = 0x80;  // battery good
  RtcBank[kRtcCentury] = Bcd(kRtcYearValue / 100);
}

uint8_t Board::Impl::CmosPortRead(uint16_t Port) {
  switch (Port) {
    case 0x70:
      return RtcIndex;
    case 0x71: {
      const uint8_t Register = RtcIndex & 0x7F;
      const uint8_t Value = Register == kRtcStatusC ? 0 : RtcBank[Register];
      Decode("rtc-read", Json{{"register", Hex(Register)}, {"value", Hex(Value)}});
      return Value;
    }
    case 0x72:
      return CmosIndex;
    default: {
      const uint8_t Value = Cmos[CmosIndex];
      Decode("cmos-read", Json{{"offset", Hex(CmosIndex)}, {"value", Hex(Value)}});
      return Value;
    }
  }
}

void Board::Impl::CmosPortWrite(uint16_t Port, uint8_t Value) {
  switch (Port) {
    case 0x70:
      RtcIndex = Value;  // bit 7 masks NMI; it does not select a register
      break;
    case 0x71: {
      const uint8_t Register = RtcIndex & 0x7F;
      if (Register == kRtcStatusA) {
        RtcBank[Register] = Value & 0x7F;  // update-in-progress is read-only
      } else if (Register != kRtcStatusC && Register != kRtcStatusD) {
        RtcBank[Register] = Value;
      }
      Decode("rtc-write", Json{{"register", Hex(Register)}, {"value", Hex(Value)}});
      break;
    }
    case 0x72:
      CmosIndex = Value;
      break;
    default:
      Cmos[CmosIndex] = Value;
      Decode("cmos-write", Json{{"offset", Hex(CmosIndex)}, {"value", Hex(Value)}});
      break;
  }
}

}  // namespace sim
