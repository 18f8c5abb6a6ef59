// I/O port decoding, the POST-code ports, latched ports and the UART.
//
// Wider accesses reach the legacy devices one byte at a time, port after
// port, as the LPC bus splits them; only the PCI configuration address
// register (32-bit at 0xCF8), the configuration data window 0xCFC-0xCFF and
// the debug ports 0x80/0xE0 see an access whole.
#include "Board/BoardImpl.h"

namespace sim {

namespace {
constexpr uint16_t kPostPort = 0x80;
constexpr uint16_t kDebugPortE0 = 0xE0;
constexpr uint16_t kCf8 = 0xCF8;
constexpr uint16_t kCfc = 0xCFC;

bool InsideCfc(uint16_t Port, unsigned Bytes) { return Port >= kCfc && Port + Bytes <= kCfc + 4u; }
}  // namespace

uint32_t Board::Impl::IoReadAccess(uint16_t Port, uint8_t Width) {
  const unsigned Bytes = Width / 8;
  if (Port == kCf8 && Width == 32) {
    return Cf8;
  }
  if (InsideCfc(Port, Bytes)) {
    return PciDataRead(Port - kCfc, Bytes);
  }
  uint32_t Value = 0;
  for (unsigned I = 0; I < Bytes; ++I) {
    Value |= static_cast<uint32_t>(IoReadByte(static_cast<uint16_t>(Port + I))) << (8 * I);
  }
  return Value;
}

void Board::Impl::IoWriteAccess(uint16_t Port, uint8_t Width, uint32_t Value) {
  const unsigned Bytes = Width / 8;
  if (Port == kCf8 && Width == 32) {
    Cf8 = Value;
    return;
  }
  if (InsideCfc(Port, Bytes)) {
    PciDataWrite(Port - kCfc, Bytes, Value);
    return;
  }
  if (Port == kPostPort) {
    LatchBytes(Port, Width, Value);
    PostCodes.push_back(static_cast<uint8_t>(Value));
    PostCodeValues.push_back(Value);
    Decode("post-code", Json{{"value", Hex(Value)}, {"width", Width}});
    return;
  }
  if (Port == kDebugPortE0) {
    LatchBytes(Port, Width, Value);
    Decode("post-code-e0", Json{{"value", Hex(Value)}, {"width", Width}});
    return;
  }
  for (unsigned I = 0; I < Bytes; ++I) {
    IoWriteByte(static_cast<uint16_t>(Port + I), static_cast<uint8_t>(Value >> (8 * I)));
  }
}

void Board::Impl::LatchBytes(uint16_t Port, uint8_t Width, uint32_t Value) {
  for (unsigned I = 0; I < Width / 8u; ++I) {
    Latched[static_cast<uint16_t>(Port + I)] = static_cast<uint8_t>(Value >> (8 * I));
  }
}

uint8_t Board::Impl::IoReadByte(uint16_t Port) {
  switch (Port) {
    case 0x2E:
    case 0x2F:
      return SioPortRead(Port);
    case 0x60:
    case 0x64:
      return KbcPortRead(Port);
    case 0x70:
    case 0x71:
    case 0x72:
    case 0x73:
      return CmosPortRead(Port);
    default:
      break;
  }
  if (Port >= kCfc && Port < kCfc + 4) {
    return static_cast<uint8_t>(PciDataRead(Port - kCfc, 1));
  }
  if (Port >= kUartBase && Port < kUartBase + 8) {
    return UartRead(Port - kUartBase);
  }
  if (auto Reg = SmbusRegisterAt(Port)) {
    return SmbusRead(Reg->first, Reg->second);
  }
  auto It = Latched.find(Port);
  return It == Latched.end() ? 0xFF : It->second;
}

void Board::Impl::IoWriteByte(uint16_t Port, uint8_t Value) {
  switch (Port) {
    case 0x2E:
    case 0x2F:
      SioPortWrite(Port, Value);
      return;
    case 0x60:
    case 0x64:
      KbcPortWrite(Port, Value);
      return;
    case 0x70:
    case 0x71:
    case 0x72:
    case 0x73:
      CmosPortWrite(Port, Value);
      return;
    case kPostPort:
      LatchBytes(Port, 8, Value);
      PostCodes.push_back(Value);
      PostCodeValues.push_back(Value);
      Decode("post-code", Json{{"value", Hex(Value)}, {"width", 8}});
      return;
    default:
      break;
  }
  if (Port >= kCfc && Port < kCfc + 4) {
    PciDataWrite(Port - kCfc, 1, Value);
    return;
  }
  if (Port >= kUartBase && Port < kUartBase + 8) {
    UartWrite(Port - kUartBase, Value);
    return;
  }
  if (auto Reg = SmbusRegisterAt(Port)) {
    SmbusWrite(Reg->first, Reg->second, Value);
    return;
  }
  auto It = Latched.find(Port);
  if (It != Latched.end()) {
    It->second = Value;
  }
}

// --- UART (16550 at 0x3F8) -------------------------------------------------

namespace {
constexpr uint8_t kLcrDlab = 0x80;
constexpr uint8_t kLsrTransmitterIdle = 0x60;  // THR empty and transmitter empty
constexpr uint8_t kMsrClearToSend = 0x10;
}  // namespace

uint8_t Board::Impl::UartRead(unsigned Register) {
  const bool Dlab = (Uart.Lcr & kLcrDlab) != 0;
  switch (Register) {
    case 0:
      return Dlab ? Uart.Dll : 0;  // nothing is ever received
    case 1:
      return Dlab ? Uart.Dlm : Uart.Ier;
    case 2:
      return static_cast<uint8_t>(0x01 | ((Uart.Fcr & 1) ? 0xC0 : 0));
    case 3:
      return Uart.Lcr;
    case 4:
      return Uart.Mcr;
    case 5:
      return S.SerialReady ? kLsrTransmitterIdle : 0;
    case 6:
      return S.SerialReady ? kMsrClearToSend : 0;
    default:
      return Uart.Scr;
  }
}

void Board::Impl::UartWrite(unsigned Register, uint8_t Value) {
  const bool Dlab = (Uart.Lcr & kLcrDlab) != 0;
  switch (Register) {
    case 0:
      if (Dlab) {
        Uart.Dll = Value;
      } else {
        Decode("serial", Json{{"value", Hex(Value)}});
      }
      break;
    case 1:
      (Dlab ? Uart.Dlm : Uart.Ier) = Value;
      break;
    case 2:
      Uart.Fcr = Value;
      break;
    case 3:
      Uart.Lcr = Value;
      break;
    case 4:
      Uart.Mcr = Value;
      break;
    case 7:
      Uart.Scr = Value;
      break;
    default:
      break;  // status registers are read-only
  }
}

}  // namespace sim
