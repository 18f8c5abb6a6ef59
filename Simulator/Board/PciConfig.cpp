// PCI configuration mechanism #1: address register 0xCF8, data window
// 0xCFC-0xCFF. Registers 0xB8/0xBC of 00:00.0 are the SMN index/data pair and
// report smn events (the index alone reports nothing) instead of pci events.
#include "Board/BoardImpl.h"

namespace sim {

namespace {
struct ConfigTarget {
  PciAddress Address;
  uint16_t Register;  // byte offset of the access within the function
};

std::optional<ConfigTarget> Target(uint32_t Cf8, unsigned Offset) {
  if ((Cf8 & 0x80000000u) == 0) {
    return std::nullopt;  // configuration cycles disabled
  }
  ConfigTarget T;
  T.Address.Bus = static_cast<uint8_t>(Cf8 >> 16);
  T.Address.Device = static_cast<uint8_t>((Cf8 >> 11) & 0x1F);
  T.Address.Function = static_cast<uint8_t>((Cf8 >> 8) & 0x7);
  T.Register = static_cast<uint16_t>((Cf8 & 0xFC) + Offset);
  return T;
}

bool IsHostBridge(const PciAddress &A) { return A.Bus == 0 && A.Device == 0 && A.Function == 0; }
}  // namespace

uint32_t Board::Impl::PciDataRead(unsigned Offset, unsigned Bytes) {
  const auto T = Target(Cf8, Offset);
  if (!T) {
    return static_cast<uint32_t>(AllOnes(8 * Bytes));
  }
  const unsigned Dword = T->Register & 0xFC;
  if (IsHostBridge(T->Address) && Dword == kSmnIndexConfigRegister) {
    return SmnIndexRead(T->Register & 3, Bytes);
  }
  if (IsHostBridge(T->Address) && Dword == kSmnDataConfigRegister) {
    return SmnDataRead(T->Register & 3, Bytes);
  }
  uint32_t Value = static_cast<uint32_t>(AllOnes(8 * Bytes));
  if (auto It = PciFunctions.find(T->Address); It != PciFunctions.end()) {
    Value = 0;
    for (unsigned I = 0; I < Bytes; ++I) {
      Value |= static_cast<uint32_t>(It->second[T->Register + I]) << (8 * I);
    }
  }
  Decode("pci-read", Json{{"bdf", BdfText(T->Address.Bus, T->Address.Device, T->Address.Function)},
                          {"register", Hex(T->Register)},
                          {"width", 8 * Bytes},
                          {"value", Hex(Value)}});
  return Value;
}

void Board::Impl::PciDataWrite(unsigned Offset, unsigned Bytes, uint32_t Value) {
  const auto T = Target(Cf8, Offset);
  if (!T) {
    return;
  }
  const unsigned Dword = T->Register & 0xFC;
  if (IsHostBridge(T->Address) && Dword == kSmnIndexConfigRegister) {
    SmnIndexWrite(T->Register & 3, Bytes, Value);
    return;
  }
  if (IsHostBridge(T->Address) && Dword == kSmnDataConfigRegister) {
    SmnDataWrite(T->Register & 3, Bytes, Value);
    return;
  }
  if (auto It = PciFunctions.find(T->Address); It != PciFunctions.end()) {
    for (unsigned I = 0; I < Bytes; ++I) {
      It->second[T->Register + I] = static_cast<uint8_t>(Value >> (8 * I));
    }
  }
  Decode("pci-write", Json{{"bdf", BdfText(T->Address.Bus, T->Address.Device, T->Address.Function)},
                           {"register", Hex(T->Register)},
                           {"width", 8 * Bytes},
                           {"value", Hex(Value)}});
}

}  // namespace sim
