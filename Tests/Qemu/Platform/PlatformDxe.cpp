// TestPlatformDxe: the platform around the product drivers on OVMF, loaded
// from the firmware volume ahead of them (dependency TRUE). It reserves the
// memory-log block so that SMM may write there, wraps the platform's
// PCD_PROTOCOL to serve and record the board's tokens (every other call goes
// to the platform's own), installs a recording debug print service, and
// creates Setup as soon as variables can be written.
#include <Library/BaseMemoryLib.h>
#include <Library/PrintLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>
#include <Protocol/DebugPrintService.h>
#include <Protocol/Pcd.h>
#include <SetupConfig.h>

#include "../Harness/HarnessUefi.h"
#include "TestPlatform.h"


namespace {

constexpr EFI_GUID kVariableWriteArchGuid = {0x6441F818, 0x6362, 0x4E44, {0xB5, 0x70, 0x7D, 0xBA, 0x31, 0xDD, 0x24, 0x53}};
constexpr UINT32 kSetupAttributes =
    EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS;

struct BoardPcd {
  UINTN Token;
  UINT64 Value;
};
// What the board's PCD database holds for the tokens the drivers read, and
// the three SubsysIdDxe sets.
constexpr BoardPcd kBoardPcds[] = {{631, 1},       {571, 0x20}, {632, 0}, {581, 0x186A0},
                                   {580, 0x2710}, {633, 3},    {623, 0}, {576, 0}, {326, 0}};

struct SetupByte {
  UINTN Offset;
  UINT8 Value;
};
constexpr SetupByte kSetupBytes[] = {TEST_SETUP_BYTES};

constinit TEST_PLATFORM_PROTOCOL mPlatform = {};
constinit PCD_PROTOCOL *mOriginalPcd = nullptr;
constinit EFI_EVENT mVariableWriteEvent = nullptr;
constinit VOID *mVariableWriteRegistration = nullptr;

BOOLEAN IsBoardToken(UINTN Token) {
  for (const BoardPcd &Pcd : kBoardPcds) {
    if (Pcd.Token == Token) {
      return TRUE;
    }
  }
  return FALSE;
}

UINT64 BoardValue(UINTN Token) {
  for (const BoardPcd &Pcd : kBoardPcds) {
    if (Pcd.Token == Token) {
      return Pcd.Value;
    }
  }
  return 0;
}

VOID Record(UINT32 Kind, UINT32 Width, UINTN Token, UINT64 Value) {
  if (mPlatform.PcdCallCount < TEST_PCD_LOG_CAPACITY) {
    mPlatform.PcdCalls[mPlatform.PcdCallCount] = {Kind, Width, Token, Value};
  }
  mPlatform.PcdCallCount++;
}

// The board's tokens are served here; everything else is the platform's.
UINT8 EFIAPI WrapGet8(UINTN Token) {
  if (!IsBoardToken(Token)) return mOriginalPcd->Get8(Token);
  Record('G', 8, Token, BoardValue(Token));
  return (UINT8)BoardValue(Token);
}
UINT32 EFIAPI WrapGet32(UINTN Token) {
  if (!IsBoardToken(Token)) return mOriginalPcd->Get32(Token);
  Record('G', 32, Token, BoardValue(Token));
  return (UINT32)BoardValue(Token);
}
BOOLEAN EFIAPI WrapGetBool(UINTN Token) {
  if (!IsBoardToken(Token)) return mOriginalPcd->GetBool(Token);
  Record('G', 1, Token, BoardValue(Token));
  return BoardValue(Token) != 0 ? TRUE : FALSE;
}
EFI_STATUS EFIAPI WrapSet32(UINTN Token, UINT32 Value) {
  if (!IsBoardToken(Token)) return mOriginalPcd->Set32(Token, Value);
  Record('S', 32, Token, Value);
  return EFI_SUCCESS;
}

#define FORWARD(Member, Ret, Params, Args) \
  Ret EFIAPI Fwd##Member Params { return mOriginalPcd->Member Args; }
VOID EFIAPI FwdSetSku(UINTN Sku) { mOriginalPcd->SetSku(Sku); }
FORWARD(Get16, UINT16, (UINTN T), (T))
FORWARD(Get64, UINT64, (UINTN T), (T))
FORWARD(GetPtr, VOID *, (UINTN T), (T))
FORWARD(GetSize, UINTN, (UINTN T), (T))
FORWARD(Get8Ex, UINT8, (CONST EFI_GUID *G, UINTN T), (G, T))
FORWARD(Get16Ex, UINT16, (CONST EFI_GUID *G, UINTN T), (G, T))
FORWARD(Get32Ex, UINT32, (CONST EFI_GUID *G, UINTN T), (G, T))
FORWARD(Get64Ex, UINT64, (CONST EFI_GUID *G, UINTN T), (G, T))
FORWARD(GetPtrEx, VOID *, (CONST EFI_GUID *G, UINTN T), (G, T))
FORWARD(GetBoolEx, BOOLEAN, (CONST EFI_GUID *G, UINTN T), (G, T))
FORWARD(GetSizeEx, UINTN, (CONST EFI_GUID *G, UINTN T), (G, T))
FORWARD(Set8, EFI_STATUS, (UINTN T, UINT8 V), (T, V))
FORWARD(Set16, EFI_STATUS, (UINTN T, UINT16 V), (T, V))
FORWARD(Set64, EFI_STATUS, (UINTN T, UINT64 V), (T, V))
FORWARD(SetPtr, EFI_STATUS, (UINTN T, UINTN *S, VOID *B), (T, S, B))
FORWARD(SetBool, EFI_STATUS, (UINTN T, BOOLEAN V), (T, V))
FORWARD(Set8Ex, EFI_STATUS, (CONST EFI_GUID *G, UINTN T, UINT8 V), (G, T, V))
FORWARD(Set16Ex, EFI_STATUS, (CONST EFI_GUID *G, UINTN T, UINT16 V), (G, T, V))
FORWARD(Set32Ex, EFI_STATUS, (CONST EFI_GUID *G, UINTN T, UINT32 V), (G, T, V))
FORWARD(Set64Ex, EFI_STATUS, (CONST EFI_GUID *G, UINTN T, UINT64 V), (G, T, V))
FORWARD(SetPtrEx, EFI_STATUS, (CONST EFI_GUID *G, UINTN T, UINTN *S, VOID *B), (G, T, S, B))
FORWARD(SetBoolEx, EFI_STATUS, (CONST EFI_GUID *G, UINTN T, BOOLEAN V), (G, T, V))
FORWARD(CallbackOnSet, EFI_STATUS, (CONST EFI_GUID *G, UINTN T, PCD_PROTOCOL_CALLBACK C), (G, T, C))
FORWARD(CancelCallback, EFI_STATUS, (CONST EFI_GUID *G, UINTN T, PCD_PROTOCOL_CALLBACK C), (G, T, C))
FORWARD(GetNextToken, EFI_STATUS, (CONST EFI_GUID *G, UINTN *T), (G, T))
FORWARD(GetNextTokenSpace, EFI_STATUS, (CONST EFI_GUID **G), (G))
#undef FORWARD

constinit PCD_PROTOCOL mWrappedPcd = {
    FwdSetSku,   WrapGet8,    FwdGet16,     WrapGet32,     FwdGet64,       FwdGetPtr,        WrapGetBool, FwdGetSize,
    FwdGet8Ex,   FwdGet16Ex,  FwdGet32Ex,   FwdGet64Ex,    FwdGetPtrEx,    FwdGetBoolEx,     FwdGetSizeEx, FwdSet8,
    FwdSet16,    WrapSet32,   FwdSet64,     FwdSetPtr,     FwdSetBool,     FwdSet8Ex,        FwdSet16Ex,  FwdSet32Ex,
    FwdSet64Ex,  FwdSetPtrEx, FwdSetBoolEx, FwdCallbackOnSet, FwdCancelCallback, FwdGetNextToken, FwdGetNextTokenSpace,
};

EFI_STATUS WrapPlatformPcd() {
  EFI_HANDLE Handle = nullptr;
  EFI_STATUS Status = HarnessFindProtocolHandle(gBS, &gPcdProtocolGuid, &Handle, (VOID **)&mOriginalPcd);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  return gBS->ReinstallProtocolInterface(Handle, &gPcdProtocolGuid, mOriginalPcd, &mWrappedPcd);
}

EFI_STATUS EFIAPI RecordingPrint(UINTN ErrorLevel, CONST CHAR8 *Format, VA_LIST Marker) {
  if (mPlatform.DebugMessageCount < TEST_DEBUG_LOG_CAPACITY) {
    TEST_DEBUG_MESSAGE &Message = mPlatform.DebugMessages[mPlatform.DebugMessageCount];
    Message.Level = ErrorLevel;
    AsciiVSPrint(Message.Text, sizeof(Message.Text), Format, Marker);
  }
  mPlatform.DebugMessageCount++;
  return EFI_SUCCESS;
}

constinit DEBUG_PRINT_SERVICE_PROTOCOL mDebugService = {RecordingPrint};

// Variables can be written from here on: Setup goes in before any driver
// that waits for the same protocol is dispatched.
VOID EFIAPI CreateSetup(EFI_EVENT Event, VOID *Context) {
  (void)Context;
  VOID *Interface = nullptr;
  if (EFI_ERROR(gBS->LocateProtocol(const_cast<EFI_GUID *>(&kVariableWriteArchGuid), nullptr, &Interface))) {
    return;
  }
  gBS->CloseEvent(Event);
  SETUP_CONFIG Setup;
  ZeroMem(&Setup, sizeof(Setup));
  for (const SetupByte &Byte : kSetupBytes) {
    ((UINT8 *)&Setup)[Byte.Offset] = Byte.Value;
  }
  CHAR16 Name[] = SETUP_VARIABLE_NAME;
  mPlatform.SetupCreate = gRT->SetVariable(Name, &gSetupVariableGuid, kSetupAttributes, sizeof(Setup), &Setup);
}

}  // namespace

extern "C" EFI_STATUS EFIAPI _ModuleEntryPoint(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  UefiBootServicesTableLibConstructor(ImageHandle, SystemTable);
  UefiRuntimeServicesTableLibConstructor(ImageHandle, SystemTable);

  mPlatform.SetupCreate = EFI_NOT_STARTED;
  // SMM page tables cover only memory the map describes when SMM locks.
  EFI_PHYSICAL_ADDRESS Log = TEST_MEMORY_LOG_BASE;
  mPlatform.MemoryLogReserve = gBS->AllocatePages(AllocateAddress, EfiReservedMemoryType, TEST_MEMORY_LOG_PAGES, &Log);
  mPlatform.PcdWrap = WrapPlatformPcd();

  EFI_HANDLE Handle = nullptr;
  gBS->InstallProtocolInterface(&Handle, &gDebugPrintServiceProtocolGuid, EFI_NATIVE_INTERFACE, &mDebugService);
  EFI_GUID PlatformGuid = TEST_PLATFORM_PROTOCOL_GUID;
  Handle = nullptr;
  gBS->InstallProtocolInterface(&Handle, &PlatformGuid, EFI_NATIVE_INTERFACE, &mPlatform);

  if (!EFI_ERROR(gBS->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, CreateSetup, nullptr, &mVariableWriteEvent))) {
    gBS->RegisterProtocolNotify(const_cast<EFI_GUID *>(&kVariableWriteArchGuid), mVariableWriteEvent,
                                &mVariableWriteRegistration);
    // Already there (a later dispatch): the notification would never fire.
    CreateSetup(mVariableWriteEvent, nullptr);
  }
  return EFI_SUCCESS;
}
