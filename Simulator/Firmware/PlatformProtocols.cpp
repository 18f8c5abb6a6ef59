// The platform's own protocols: the PCD database behind PCD_PROTOCOL, the
// presence-only EFI_PCD_PROTOCOL and the debug print service.
#include "Firmware/FirmwareImpl.h"

#include <Library/PrintLib.h>

namespace sim {
namespace {

constexpr int kBoolWidth = 1;  // how the trace marks a BOOLEAN access

uint64_t WidthMask(int Width) {
  switch (Width) {
    case kBoolWidth:
    case 8:
      return 0xFF;
    case 16:
      return 0xFFFF;
    case 32:
      return 0xFFFFFFFF;
    default:
      return ~uint64_t{0};
  }
}

// Dynamic PCDs are held as 64-bit values; an access of a narrower width sees
// and replaces the low bits only.
uint64_t PcdRead(UINTN Token, int Width, const char *Service) {
  return Guarded<uint64_t>(0, [&](Firmware::Impl &F) {
    auto It = F.Pcd.find(Token);
    const bool Present = It != F.Pcd.end();
    uint64_t Value = Present ? It->second & WidthMask(Width) : 0;
    if (Width == kBoolWidth) {
      Value = Value != 0 ? 1 : 0;
    }
    F.Call(Service, {{"token", Token}, {"width", Width}, {"value", Hex(Value)}, {"present", Present}}, std::nullopt);
    return Value;
  });
}

EFI_STATUS PcdWrite(UINTN Token, int Width, uint64_t Value) {
  return Guarded<EFI_STATUS>(EFI_DEVICE_ERROR, [&](Firmware::Impl &F) {
    Value &= WidthMask(Width);
    EFI_STATUS Status = EFI_SUCCESS;
    if (Token > UINT32_MAX) {
      Status = EFI_NOT_FOUND;
    } else {
      auto &Stored = F.Pcd[Token];
      Stored = (Stored & ~WidthMask(Width)) | Value;
      F.PcdWidths[Token] = Width == kBoolWidth ? 1 : Width / 8;
      F.Persist.PcdWritten[static_cast<uint32_t>(Token)] = Value;
    }
    F.Call("PcdSet", {{"token", Token}, {"width", Width}, {"value", Hex(Value)}}, Status);
    return Status;
  });
}

UINT8 EFIAPI PcdGet8(UINTN Token) { return static_cast<UINT8>(PcdRead(Token, 8, "PcdGet")); }
UINT16 EFIAPI PcdGet16(UINTN Token) { return static_cast<UINT16>(PcdRead(Token, 16, "PcdGet")); }
UINT32 EFIAPI PcdGet32(UINTN Token) { return static_cast<UINT32>(PcdRead(Token, 32, "PcdGet")); }
UINT64 EFIAPI PcdGet64(UINTN Token) { return PcdRead(Token, 64, "PcdGet"); }
BOOLEAN EFIAPI PcdGetBool(UINTN Token) { return static_cast<BOOLEAN>(PcdRead(Token, kBoolWidth, "PcdGet")); }

UINTN EFIAPI PcdGetSize(UINTN Token) {
  return Guarded<UINTN>(0, [&](Firmware::Impl &F) {
    UINTN Size = 0;
    if (F.Pcd.count(Token) != 0) {
      auto It = F.PcdWidths.find(Token);
      Size = It != F.PcdWidths.end() ? It->second : sizeof(UINT64);
    }
    F.Call("PcdGetSize", {{"token", Token}, {"value", Hex(Size)}}, std::nullopt);
    return Size;
  });
}

EFI_STATUS EFIAPI PcdSet8(UINTN Token, UINT8 Value) { return PcdWrite(Token, 8, Value); }
EFI_STATUS EFIAPI PcdSet16(UINTN Token, UINT16 Value) { return PcdWrite(Token, 16, Value); }
EFI_STATUS EFIAPI PcdSet32(UINTN Token, UINT32 Value) { return PcdWrite(Token, 32, Value); }
EFI_STATUS EFIAPI PcdSet64(UINTN Token, UINT64 Value) { return PcdWrite(Token, 64, Value); }
EFI_STATUS EFIAPI PcdSetBool(UINTN Token, BOOLEAN Value) { return PcdWrite(Token, kBoolWidth, Value != 0 ? 1 : 0); }

// The formatted text as the trace carries it: bytes above 0x7F read as Latin-1.
std::string TraceText(const char *Text) {
  std::string Out;
  for (; *Text != 0; ++Text) {
    auto C = static_cast<uint8_t>(*Text);
    if (C < 0x80) {
      Out.push_back(static_cast<char>(C));
    } else {
      Out.push_back(static_cast<char>(0xC0 | (C >> 6)));
      Out.push_back(static_cast<char>(0x80 | (C & 0x3F)));
    }
  }
  return Out;
}

EFI_STATUS EFIAPI DebugPrintServicePrint(UINTN ErrorLevel, CONST CHAR8 *Format, VA_LIST Marker) {
  return Guarded<EFI_STATUS>(EFI_DEVICE_ERROR, [&](Firmware::Impl &F) {
    EFI_STATUS Status = EFI_INVALID_PARAMETER;
    Json Text = nullptr;
    if (Format != nullptr) {
      CHAR8 Buffer[kDebugPrintBufferSize] = {};
      AsciiVSPrint(Buffer, sizeof Buffer, Format, Marker);
      Text = TraceText(Buffer);
      Status = EFI_SUCCESS;
    }
    F.Call("DebugPrint", {{"level", Hex(ErrorLevel)}, {"text", Text}}, Status);
    return Status;
  });
}

// EFI_PCD_PROTOCOL member types: every access names a token space.
using EfiPcdSetSku = VOID(EFIAPI *)(UINTN SkuId);
template <typename T>
using EfiPcdGet = T(EFIAPI *)(CONST EFI_GUID *Guid, UINTN Token);
template <typename T>
using EfiPcdSet = EFI_STATUS(EFIAPI *)(CONST EFI_GUID *Guid, UINTN Token, T Value);
using EfiPcdSetPtr = EFI_STATUS(EFIAPI *)(CONST EFI_GUID *Guid, UINTN Token, UINTN *Size, VOID *Buffer);
using EfiPcdCallback = EFI_STATUS(EFIAPI *)(CONST EFI_GUID *Guid, UINTN Token, PCD_PROTOCOL_CALLBACK Callback);
using EfiPcdGetNextToken = EFI_STATUS(EFIAPI *)(CONST EFI_GUID *Guid, UINTN *Token);
using EfiPcdGetNextTokenSpace = EFI_STATUS(EFIAPI *)(CONST EFI_GUID **Guid);

template <SlotName Name, typename Fn, bool ReturnsStatus = true>
VOID *Slot() {
  return reinterpret_cast<VOID *>(&UnsupportedSlot<Name, Fn, ReturnsStatus>::Call);
}

#define PCD_UNSUPPORTED(Member, Status) \
  P.Member = &UnsupportedSlot<"Pcd" #Member, decltype(PCD_PROTOCOL::Member), Status>::Call

PCD_PROTOCOL MakePcdProtocol() {
  PCD_PROTOCOL P{};
  PCD_UNSUPPORTED(SetSku, false);
  P.Get8 = &PcdGet8;
  P.Get16 = &PcdGet16;
  P.Get32 = &PcdGet32;
  P.Get64 = &PcdGet64;
  PCD_UNSUPPORTED(GetPtr, false);
  P.GetBool = &PcdGetBool;
  P.GetSize = &PcdGetSize;
  PCD_UNSUPPORTED(Get8Ex, false);
  PCD_UNSUPPORTED(Get16Ex, false);
  PCD_UNSUPPORTED(Get32Ex, false);
  PCD_UNSUPPORTED(Get64Ex, false);
  PCD_UNSUPPORTED(GetPtrEx, false);
  PCD_UNSUPPORTED(GetBoolEx, false);
  PCD_UNSUPPORTED(GetSizeEx, false);
  P.Set8 = &PcdSet8;
  P.Set16 = &PcdSet16;
  P.Set32 = &PcdSet32;
  P.Set64 = &PcdSet64;
  PCD_UNSUPPORTED(SetPtr, true);
  P.SetBool = &PcdSetBool;
  PCD_UNSUPPORTED(Set8Ex, true);
  PCD_UNSUPPORTED(Set16Ex, true);
  PCD_UNSUPPORTED(Set32Ex, true);
  PCD_UNSUPPORTED(Set64Ex, true);
  PCD_UNSUPPORTED(SetPtrEx, true);
  PCD_UNSUPPORTED(SetBoolEx, true);
  PCD_UNSUPPORTED(CallbackOnSet, true);
  PCD_UNSUPPORTED(CancelCallback, true);
  PCD_UNSUPPORTED(GetNextToken, true);
  PCD_UNSUPPORTED(GetNextTokenSpace, true);
  return P;
}

EFI_PCD_PROTOCOL MakeEfiPcdProtocol() {
  EFI_PCD_PROTOCOL P{};
  VOID **S = P.Slot;
  S[0] = Slot<"EfiPcdSetSku", EfiPcdSetSku>();
  S[1] = Slot<"EfiPcdGet8", EfiPcdGet<UINT8>, false>();
  S[2] = Slot<"EfiPcdGet16", EfiPcdGet<UINT16>, false>();
  S[3] = Slot<"EfiPcdGet32", EfiPcdGet<UINT32>, false>();
  S[4] = Slot<"EfiPcdGet64", EfiPcdGet<UINT64>, false>();
  S[5] = Slot<"EfiPcdGetPtr", EfiPcdGet<VOID *>, false>();
  S[6] = Slot<"EfiPcdGetBool", EfiPcdGet<BOOLEAN>, false>();
  S[7] = Slot<"EfiPcdGetSize", EfiPcdGet<UINTN>, false>();
  S[8] = Slot<"EfiPcdSet8", EfiPcdSet<UINT8>>();
  S[9] = Slot<"EfiPcdSet16", EfiPcdSet<UINT16>>();
  S[10] = Slot<"EfiPcdSet32", EfiPcdSet<UINT32>>();
  S[11] = Slot<"EfiPcdSet64", EfiPcdSet<UINT64>>();
  S[12] = Slot<"EfiPcdSetPtr", EfiPcdSetPtr>();
  S[13] = Slot<"EfiPcdSetBool", EfiPcdSet<BOOLEAN>>();
  S[14] = Slot<"EfiPcdCallbackOnSet", EfiPcdCallback>();
  S[15] = Slot<"EfiPcdCancelCallback", EfiPcdCallback>();
  S[16] = Slot<"EfiPcdGetNextToken", EfiPcdGetNextToken>();
  S[17] = Slot<"EfiPcdGetNextTokenSpace", EfiPcdGetNextTokenSpace>();
  return P;
}

}  // namespace

void InitPlatformProtocols(Firmware::Impl &F, const ProtocolSet &Protocols) {
  // Each boot has its own instances, in the memory the firmware hands out
  // like any other table: a pointer cached in an earlier boot is as stale as
  // it would be on the board.
  if (Protocols.Pcd) {
    auto &Pcd = F.NewFirmwareObject<PCD_PROTOCOL>("PCD protocol");
    Pcd = MakePcdProtocol();
    F.Protocols.Publish(kPcdProtocolGuid, &Pcd);
  }
  if (Protocols.EfiPcd) {
    auto &EfiPcd = F.NewFirmwareObject<EFI_PCD_PROTOCOL>("EFI PCD protocol");
    EfiPcd = MakeEfiPcdProtocol();
    F.Protocols.Publish(kEfiPcdProtocolGuid, &EfiPcd);
  }
  if (Protocols.DebugPrint) {
    auto &Print = F.NewFirmwareObject<DEBUG_PRINT_SERVICE_PROTOCOL>("debug print protocol");
    Print.Print = &DebugPrintServicePrint;
    F.Protocols.Publish(kDebugPrintServiceProtocolGuid, &Print);
  }
  // The SMM protocols and a pre-installed heap-buffer list are the SMM
  // model's to install.
}

}  // namespace sim
