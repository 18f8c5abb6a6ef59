// The Super I/O: its configuration ports 0x2E/0x2F and its keyboard
// controller at 0x60/0x64 with the keyboard and the auxiliary (PS/2 mouse)
// device behind it.
#include "Board/BoardImpl.h"

namespace sim {

namespace {
constexpr uint8_t kSioEnterKey = 0x87;
constexpr uint8_t kSioExitKey = 0xAA;
constexpr uint8_t kSioLdnRegister = 0x07;
constexpr uint8_t kSioFirstLdnRegister = 0x30;

constexpr uint8_t kKbcObf = 0x01;
constexpr uint8_t kKbcIbf = 0x02;
constexpr uint8_t kKbcSystemFlag = 0x04;
constexpr uint8_t kKbcAuxData = 0x20;
constexpr uint8_t kAck = 0xFA;
}  // namespace

// --- configuration ports ---------------------------------------------------

uint8_t &Board::Impl::SioRegisterRef(uint8_t Register) {
  if (Register < kSioFirstLdnRegister) {
    return Sio.Global[Register];
  }
  return Sio.Ldn[Sio.Global[kSioLdnRegister]][Register];
}

uint8_t Board::Impl::SioPortRead(uint16_t Port) {
  if (!Sio.ConfigMode) {
    return 0xFF;
  }
  if (Port == 0x2E) {
    return Sio.Index;
  }
  const uint8_t Value = SioRegisterRef(Sio.Index);
  const Json Ldn = Sio.Index < kSioFirstLdnRegister ? Json(nullptr) : Json(Hex(Sio.Global[kSioLdnRegister]));
  Decode("sio-read", Json{{"ldn", Ldn}, {"register", Hex(Sio.Index)}, {"value", Hex(Value)}});
  return Value;
}

void Board::Impl::SioPortWrite(uint16_t Port, uint8_t Value) {
  if (!Sio.ConfigMode) {
    if (Port == 0x2E) {
      Sio.KeyCount = Value == kSioEnterKey ? Sio.KeyCount + 1 : 0;
      if (Sio.KeyCount >= 2) {
        Sio.ConfigMode = true;
        Sio.KeyCount = 0;
      }
    }
    return;
  }
  if (Port == 0x2E) {
    if (Value == kSioExitKey) {
      Sio.ConfigMode = false;
    } else {
      Sio.Index = Value;
    }
    return;
  }
  const Json Ldn = Sio.Index < kSioFirstLdnRegister ? Json(nullptr) : Json(Hex(Sio.Global[kSioLdnRegister]));
  SioRegisterRef(Sio.Index) = Value;
  Decode("sio-write", Json{{"ldn", Ldn}, {"register", Hex(Sio.Index)}, {"value", Hex(Value)}});
}

// --- keyboard controller -----------------------------------------------------
// Each answer byte reaches the output buffer kbc.latency_us after the byte
// that asked for it was written, and each further one latency_us after the
// previous answer was read. A new request drops answers not yet delivered.

void Board::Impl::KbcSettle() {
  if (!Kbc.Output && !Kbc.Queue.empty() && NowUs() >= Kbc.NextReadyUs) {
    Kbc.Output = Kbc.Queue.front();
    Kbc.Queue.pop_front();
  }
}

void Board::Impl::KbcAnswer(std::vector<uint8_t> Bytes, bool Aux) {
  Kbc.Queue.clear();
  for (uint8_t B : Bytes) {
    Kbc.Queue.push_back({B, Aux});
  }
  Kbc.NextReadyUs = NowUs() + S.KbcLatencyUs;
}

uint8_t Board::Impl::KbcPortRead(uint16_t Port) {
  KbcSettle();
  if (Port == 0x64) {
    uint8_t Status = kKbcSystemFlag;
    if (Kbc.Output) {
      Status |= kKbcObf | (Kbc.Output->Aux ? kKbcAuxData : 0);
    }
    if (NowUs() < Kbc.InputBusyUntilUs) {
      Status |= kKbcIbf;
    }
    return Status;
  }
  if (!Kbc.Output) {
    return Kbc.LastRead;  // the data port keeps showing the last byte
  }
  Kbc.LastRead = Kbc.Output->Value;
  Kbc.Output.reset();
  if (!Kbc.Queue.empty()) {
    Kbc.NextReadyUs = NowUs() + S.KbcLatencyUs;
  }
  return Kbc.LastRead;
}

void Board::Impl::KbcPortWrite(uint16_t Port, uint8_t Value) {
  Kbc.InputBusyUntilUs = NowUs() + kKbcInputAcceptUs;
  if (Port == 0x64) {
    Decode("kbc-command", Json{{"value", Hex(Value)}});
    KbcControllerCommand(Value);
    return;
  }
  Decode("kbc-data", Json{{"value", Hex(Value)}});
  const KbcDataTarget Target = Kbc.NextData;
  Kbc.NextData = KbcDataTarget::Keyboard;
  switch (Target) {
    case KbcDataTarget::CommandByte:
      Kbc.CommandByte = Value;
      break;
    case KbcDataTarget::OutputPort:
      break;
    case KbcDataTarget::KeyboardEcho:
      KbcAnswer({Value}, false);
      break;
    case KbcDataTarget::AuxEcho:
      KbcAnswer({Value}, true);
      break;
    case KbcDataTarget::Aux:
      KbcAuxByte(Value);
      break;
    case KbcDataTarget::Keyboard:
      KbcKeyboardByte(Value);
      break;
  }
}

void Board::Impl::KbcControllerCommand(uint8_t Command) {
  // The controller itself answers whether or not the devices behind it do.
  switch (Command) {
    case 0x20:
      KbcAnswer({Kbc.CommandByte}, false);
      break;
    case 0x60:
      Kbc.NextData = KbcDataTarget::CommandByte;
      break;
    case 0xA7:
      Kbc.CommandByte |= 0x20;
      break;
    case 0xA8:
      Kbc.CommandByte &= static_cast<uint8_t>(~0x20);
      break;
    case 0xA9:
    case 0xAB:
      KbcAnswer({0x00}, false);
      break;
    case 0xAA:
      KbcAnswer({0x55}, false);
      break;
    case 0xAD:
      Kbc.CommandByte |= 0x10;
      break;
    case 0xAE:
      Kbc.CommandByte &= static_cast<uint8_t>(~0x10);
      break;
    case 0xD1:
      Kbc.NextData = KbcDataTarget::OutputPort;
      break;
    case 0xD2:
      Kbc.NextData = KbcDataTarget::KeyboardEcho;
      break;
    case 0xD3:
      Kbc.NextData = KbcDataTarget::AuxEcho;
      break;
    case 0xD4:
      Kbc.NextData = KbcDataTarget::Aux;
      break;
    default:
      break;
  }
}

void Board::Impl::KbcKeyboardByte(uint8_t Value) {
  if (!S.KbcResponds) {
    return;
  }
  if (Kbc.KeyboardArgumentFor) {
    if (*Kbc.KeyboardArgumentFor == 0xED) {
      Kbc.Leds = Value & 0x07;
    }
    Kbc.KeyboardArgumentFor.reset();
    KbcAnswer({kAck}, false);
    return;
  }
  switch (Value) {
    case 0xED:  // set LEDs
    case 0xF3:  // typematic rate
      Kbc.KeyboardArgumentFor = Value;
      KbcAnswer({kAck}, false);
      break;
    case 0xEE:
      KbcAnswer({0xEE}, false);
      break;
    case 0xF2:
      KbcAnswer({kAck, 0xAB, 0x83}, false);
      break;
    case 0xFF:
      Kbc.Leds = 0;
      KbcAnswer({kAck, 0xAA}, false);
      break;
    default:
      KbcAnswer({kAck}, false);
      break;
  }
}

void Board::Impl::KbcAuxByte(uint8_t Value) {
  if (!S.KbcResponds) {
    return;
  }
  if (Kbc.AuxArgumentFor) {
    Kbc.AuxArgumentFor.reset();
    KbcAnswer({kAck}, true);
    return;
  }
  switch (Value) {
    case 0xE8:  // resolution
    case 0xF3:  // sample rate
      Kbc.AuxArgumentFor = Value;
      KbcAnswer({kAck}, true);
      break;
    case 0xF2:
      KbcAnswer({kAck, 0x00}, true);
      break;
    case 0xF4:
      Kbc.AuxReporting = true;
      KbcAnswer({kAck}, true);
      break;
    case 0xF5:
      Kbc.AuxReporting = false;
      KbcAnswer({kAck}, true);
      break;
    case 0xFF:  // reset: acknowledge, self-test passed, device id
      Kbc.AuxReporting = false;
      KbcAnswer({kAck, 0xAA, 0x00}, true);
      break;
    default:
      KbcAnswer({kAck}, true);
      break;
  }
}

}  // namespace sim
