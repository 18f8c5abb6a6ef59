// The two FCH SMBus host controllers (PIIX4 register layout) at the base
// held in bits 15:8 of the PM register 0xFED80300 and at base + 0x20.
//
// A start (control bit 6) with the byte-data (protocol 2, control 0x08) or
// word-data (protocol 3, control 0x0C) protocol runs a transaction of 50 us
// of simulated time with host-busy set. The slave address register carries
// the read/write direction in bit 0; devices are keyed by the 8-bit address
// with that bit clear. At the end the status shows done (bit 1), or device
// error (bit 2) when the controller does not respond or the slave or its
// command is absent, or failed (bit 4) for a protocol the model does not
// carry out (its smbus event has width 0). Status bits 1-7 clear by writing
// 1; bit 0 is read-only. The smbus event is emitted when simulated time
// passes the end (see Board.cpp), so it never precedes its start.
#include "Board/BoardImpl.h"

namespace sim {

namespace {
constexpr uint8_t kStatusBusy = 0x01;
constexpr uint8_t kStatusDone = 0x02;
constexpr uint8_t kStatusDeviceError = 0x04;
constexpr uint8_t kStatusFailed = 0x10;
constexpr uint8_t kControlKill = 0x02;
constexpr uint8_t kControlStart = 0x40;
constexpr uint8_t kProtocolByteData = 2;
constexpr uint8_t kProtocolWordData = 3;
}  // namespace

uint16_t Board::Impl::SmbusBase() const {
  return static_cast<uint16_t>(Memory.Read(kFchPmRegister, 4) & 0xFF00);
}

std::optional<std::pair<int, unsigned>> Board::Impl::SmbusRegisterAt(uint16_t Port) const {
  const uint16_t Base = SmbusBase();
  if (Base == 0) {
    return std::nullopt;  // not decoded until a base is programmed
  }
  for (int C = 0; C < 2; ++C) {
    const uint32_t First = Base + (C == 0 ? 0u : kSmbusSecondaryOffset);
    if (Port >= First && Port < First + kSmbusRegisterSpan) {
      return std::make_pair(C, static_cast<unsigned>(Port - First));
    }
  }
  return std::nullopt;
}

uint8_t Board::Impl::SmbusRead(int Controller, unsigned Register) {
  SmbusController &H = Smbus[Controller];
  switch (Register) {
    case 0:
      return static_cast<uint8_t>(H.Status | (H.Active ? kStatusBusy : 0));
    case 2:
      return static_cast<uint8_t>(H.Control & ~kControlStart);
    case 3:
      return H.Command;
    case 4:
      return H.Address;
    case 5:
      return H.Data0;
    case 6:
      return H.Data1;
    default:
      return H.Other[Register];
  }
}

void Board::Impl::SmbusWrite(int Controller, unsigned Register, uint8_t Value) {
  SmbusController &H = Smbus[Controller];
  switch (Register) {
    case 0:
      H.Status &= static_cast<uint8_t>(~(Value & ~kStatusBusy));
      break;
    case 2:
      H.Control = static_cast<uint8_t>(Value & ~kControlStart);
      if ((Value & kControlKill) != 0 && H.Active) {
        SmbusFinish(Controller, true);
      } else if ((Value & kControlStart) != 0 && !H.Active) {
        SmbusStart(Controller);
      }
      break;
    case 3:
      H.Command = Value;
      break;
    case 4:
      H.Address = Value;
      break;
    case 5:
      H.Data0 = Value;
      break;
    case 6:
      H.Data1 = Value;
      break;
    default:
      H.Other[Register] = Value;
      break;
  }
}

void Board::Impl::SmbusStart(int Controller) {
  SmbusController &H = Smbus[Controller];
  SmbusTransaction X;
  X.Read = (H.Address & 1) != 0;
  X.Slave = static_cast<uint8_t>(H.Address & 0xFE);
  X.Command = H.Command;
  X.EndUs = NowUs() + kSmbusTransactionUs;
  const uint8_t Protocol = (H.Control >> 2) & 7;
  if (Protocol != kProtocolByteData && Protocol != kProtocolWordData) {
    X.Width = 0;
    X.Ok = false;
    X.FinalStatus = kStatusFailed;
    H.Active = X;
    return;
  }
  X.Width = Protocol == kProtocolByteData ? 8 : 16;
  const uint16_t Mask = X.Width == 8 ? 0xFF : 0xFFFF;
  bool Present = false;
  if (H.Responds) {
    auto Slave = H.Devices.find(X.Slave);
    Present = Slave != H.Devices.end() && Slave->second.count(X.Command) != 0;
    if (Present && X.Read) {
      X.Value = Slave->second.at(X.Command) & Mask;
    }
  }
  if (!X.Read) {
    X.Value = static_cast<uint16_t>((H.Data0 | (H.Data1 << 8)) & Mask);
  }
  X.Ok = Present;
  X.FinalStatus = Present ? kStatusDone : kStatusDeviceError;
  H.Active = X;
}

void Board::Impl::SmbusSettle(int Controller) {
  if (NowUs() >= Smbus[Controller].Active->EndUs) {
    SmbusFinish(Controller, false);
  }
}

void Board::Impl::SmbusFinish(int Controller, bool Aborted) {
  SmbusController &H = Smbus[Controller];
  SmbusTransaction X = *H.Active;
  H.Active.reset();
  if (Aborted) {
    X.Ok = false;
    X.FinalStatus = kStatusFailed;
  }
  H.Status |= X.FinalStatus;
  if (X.Ok) {
    if (X.Read) {
      H.Data0 = static_cast<uint8_t>(X.Value);
      if (X.Width == 16) {
        H.Data1 = static_cast<uint8_t>(X.Value >> 8);
      }
    } else {
      H.Devices[X.Slave][X.Command] = X.Value;
    }
  }
  Json Fields{{"controller", Hex(static_cast<uint64_t>(Controller))},
              {"op", X.Read ? "read" : "write"},
              {"slave", Hex(X.Slave)},
              {"command", Hex(X.Command)},
              {"width", X.Width},
              {"value", Hex(X.Ok || !X.Read ? X.Value : 0)},
              {"ok", X.Ok}};
  if (Aborted) {
    Decode("smbus", std::move(Fields));  // ended by the control write itself
  } else {
    T.Emit("smbus", Fields);
  }
}

}  // namespace sim
