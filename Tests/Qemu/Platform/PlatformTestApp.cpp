// PlatformTest.efi: run from the shell after the test platform booted with
// the drivers in its firmware volume. It reports, one "FVTEST" line each,
// what the runner compares with the simulator: which images the firmware
// loaded from the volume and in what order, what the platform recorded,
// the SMI events it raises through SMM communicate (arguments, in order:
// 3, 4, 5 for Sx entry, pb for a power-button press, setup-off to clear
// SioPowerOffEnable in Setup), and the memory-log block.
#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/PrintLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>
#include <SetupConfig.h>

#include "../Harness/HarnessUefi.h"
#include "TestPlatform.h"

namespace {

constexpr UINTN kLine = 720;
constexpr UINT8 kMediaDevicePath = 0x04;
constexpr UINT8 kPiwgFirmwareFile = 0x06;
constexpr UINT8 kEndDevicePath = 0x7F;

VOID Line(CONST CHAR8 *Format, ...) {
  CHAR8 Text[kLine];
  VA_LIST Marker;
  VA_START(Marker, Format);
  AsciiVSPrint(Text, sizeof(Text), Format, Marker);
  VA_END(Marker);
  CHAR16 Wide[kLine + 3];
  UINTN Length = 0;
  for (; Text[Length] != '\0'; Length++) {
    Wide[Length] = (CHAR16)(UINT8)Text[Length];
  }
  Wide[Length++] = u'\r';
  Wide[Length++] = u'\n';
  Wide[Length] = 0;
  HARNESS_TEXT_OUTPUT *Out = (HARNESS_TEXT_OUTPUT *)gST->ConOut;
  Out->OutputString(Out, Wide);
}

// The firmware-file GUID in an image's file path, when the image came from a
// firmware volume.
CONST EFI_GUID *FirmwareFileOf(CONST UINT8 *Node) {
  for (UINTN Hops = 0; Node != nullptr && Hops < 32; Hops++) {
    UINT16 Length = (UINT16)(Node[2] | (Node[3] << 8));
    if (Node[0] == kEndDevicePath || Length < 4) {
      return nullptr;
    }
    if (Node[0] == kMediaDevicePath && Node[1] == kPiwgFirmwareFile && Length >= 20) {
      return (CONST EFI_GUID *)(Node + 4);
    }
    Node += Length;
  }
  return nullptr;
}

// The firmware file whose loaded image holds Address ("-" for none).
VOID ImageHolding(UINT64 Address, CHAR8 *Out, UINTN Size) {
  EFI_GUID LoadedImageGuid = HARNESS_LOADED_IMAGE_GUID;
  UINTN Count = 0;
  EFI_HANDLE *Handles = nullptr;
  AsciiSPrint(Out, Size, "-");
  if (EFI_ERROR(gBS->LocateHandleBuffer(ByProtocol, &LoadedImageGuid, nullptr, &Count, &Handles))) {
    return;
  }
  for (UINTN Index = 0; Index < Count; Index++) {
    HARNESS_LOADED_IMAGE *Image = nullptr;
    if (EFI_ERROR(gBS->HandleProtocol(Handles[Index], &LoadedImageGuid, (VOID **)&Image))) {
      continue;
    }
    UINT64 Base = (UINT64)(UINTN)Image->ImageBase;
    CONST EFI_GUID *File = FirmwareFileOf((CONST UINT8 *)Image->FilePath);
    if (File != nullptr && Address >= Base && Address - Base < Image->ImageSize) {
      AsciiSPrint(Out, Size, "%g", File);
      break;
    }
  }
  gBS->FreePool(Handles);
}

// "GUID,GUID,..." of the images holding the Count handlers at Handlers.
VOID HandlerImages(CONST UINT64 *Handlers, UINT32 Count, CHAR8 *Out, UINTN Size) {
  UINTN Used = 0;
  Out[0] = '\0';
  for (UINT32 Index = 0; Index < Count && Index < TEST_SMI_MAX_HANDLERS && Used + 40 < Size; Index++) {
    CHAR8 Name[40];
    ImageHolding(Handlers[Index], Name, sizeof(Name));
    Used += AsciiSPrint(Out + Used, Size - Used, "%a%a", Index == 0 ? "" : ",", Name);
  }
}

VOID ReportImages() {
  EFI_GUID LoadedImageGuid = HARNESS_LOADED_IMAGE_GUID;
  UINTN Count = 0;
  EFI_HANDLE *Handles = nullptr;
  if (EFI_ERROR(gBS->LocateHandleBuffer(ByProtocol, &LoadedImageGuid, nullptr, &Count, &Handles))) {
    Line("FVTEST images none");
    return;
  }
  // Handles come in creation order: the order the firmware loaded the images.
  for (UINTN Index = 0; Index < Count; Index++) {
    HARNESS_LOADED_IMAGE *Image = nullptr;
    if (EFI_ERROR(gBS->HandleProtocol(Handles[Index], &LoadedImageGuid, (VOID **)&Image))) {
      continue;
    }
    CONST EFI_GUID *File = FirmwareFileOf((CONST UINT8 *)Image->FilePath);
    if (File != nullptr) {
      Line("FVTEST image %d %g code-type=%d", (int)Index, File, (int)Image->ImageCodeType);
    }
  }
  gBS->FreePool(Handles);
}

VOID ReportPlatform() {
  EFI_GUID Guid = TEST_PLATFORM_PROTOCOL_GUID;
  TEST_PLATFORM_PROTOCOL *Platform = nullptr;
  if (EFI_ERROR(gBS->LocateProtocol(&Guid, nullptr, (VOID **)&Platform))) {
    Line("FVTEST platform absent");
    return;
  }
  Line("FVTEST platform memory-log=%r pcd-wrap=%r setup=%r", Platform->MemoryLogReserve, Platform->PcdWrap,
       Platform->SetupCreate);
  for (UINTN Index = 0; Index < Platform->PcdCallCount && Index < TEST_PCD_LOG_CAPACITY; Index++) {
    CONST TEST_PCD_CALL &Call = Platform->PcdCalls[Index];
    Line("FVTEST pcd %a%d %d 0x%lx", Call.Kind == 'S' ? "set" : "get", (int)Call.Width, (int)Call.Token, Call.Value);
  }
  Line("FVTEST pcd-count %d", (int)Platform->PcdCallCount);
  for (UINTN Index = 0; Index < Platform->DebugMessageCount && Index < TEST_DEBUG_LOG_CAPACITY; Index++) {
    Line("FVTEST debug 0x%lx %a", Platform->DebugMessages[Index].Level, Platform->DebugMessages[Index].Text);
  }
  Line("FVTEST debug-count %d", (int)Platform->DebugMessageCount);
}

EFI_STATUS ClearPowerOffEnable() {
  SETUP_CONFIG Setup;
  UINT32 Attributes = 0;
  UINTN Size = sizeof(Setup);
  CHAR16 Name[] = SETUP_VARIABLE_NAME;
  EFI_STATUS Status = gRT->GetVariable(Name, &gSetupVariableGuid, &Attributes, &Size, &Setup);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  Setup.SioPowerOffEnable = 0;
  return gRT->SetVariable(Name, &gSetupVariableGuid, Attributes, Size, &Setup);
}

VOID RaiseSmi(SMM_COMMUNICATION_PROTOCOL *Smm, TEST_SMI_COMMUNICATE *Buffer, UINT32 Event, CONST CHAR8 *Name) {
  EFI_GUID Guid = TEST_SMI_GUID;
  ZeroMem(Buffer, sizeof(*Buffer));
  CopyMem(&Buffer->HeaderGuid, &Guid, sizeof(Guid));
  Buffer->MessageLength = sizeof(TEST_SMI_MESSAGE);
  Buffer->Message.Event = Event;
  UINTN Size = sizeof(*Buffer);
  EFI_STATUS Status = Smm->Communicate(Smm, Buffer, &Size);
  CHAR8 Ran[kLine / 2], Registered[kLine];
  HandlerImages(Buffer->Message.Ran, Buffer->Message.HandlersRun, Ran, sizeof(Ran));
  HandlerImages(Buffer->Message.Registrations, Buffer->Message.Registered, Registered, sizeof(Registered));
  Line("FVTEST smi %a status=%r last=0x%lx ran=%a", Name, Status, Buffer->Message.LastStatus, Ran);
  Line("FVTEST registered %a", Registered);
}

VOID ReportMemoryLog() {
  CONST volatile UINT8 *Log = (CONST volatile UINT8 *)(UINTN)TEST_MEMORY_LOG_BASE;
  CHAR8 Hex[2 * 80 + 1];
  for (UINTN Index = 0; Index < 80; Index++) {
    AsciiSPrint(Hex + 2 * Index, 3, "%02x", Log[Index]);
  }
  Line("FVTEST memory-log %a", Hex);
}

}  // namespace

extern "C" EFI_STATUS EFIAPI _ModuleEntryPoint(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  UefiBootServicesTableLibConstructor(ImageHandle, SystemTable);
  UefiRuntimeServicesTableLibConstructor(ImageHandle, SystemTable);
  Line("FVTEST-BEGIN");
  ReportImages();
  ReportPlatform();

  HARNESS_LOADED_IMAGE *Self = nullptr;
  EFI_GUID LoadedImageGuid = HARNESS_LOADED_IMAGE_GUID;
  gBS->HandleProtocol(ImageHandle, &LoadedImageGuid, (VOID **)&Self);
  EFI_GUID CommGuid = SMM_COMMUNICATION_PROTOCOL_GUID;
  SMM_COMMUNICATION_PROTOCOL *Smm = nullptr;
  TEST_SMI_COMMUNICATE *Buffer = nullptr;
  // The SMM core accepts only a buffer in runtime memory.
  if (EFI_ERROR(gBS->LocateProtocol(&CommGuid, nullptr, (VOID **)&Smm)) ||
      EFI_ERROR(gBS->AllocatePool(EfiRuntimeServicesData, sizeof(*Buffer), (VOID **)&Buffer))) {
    Line("FVTEST smm-communication absent");
  } else if (Self != nullptr && Self->LoadOptions != nullptr) {
    // Arguments: words after the program name, separated by spaces.
    CONST CHAR16 *Text = (CONST CHAR16 *)Self->LoadOptions;
    UINTN Length = Self->LoadOptionsSize / sizeof(CHAR16);
    UINTN Index = 0;
    BOOLEAN First = TRUE;
    while (Index < Length && Text[Index] != 0) {
      CHAR8 Word[16];
      UINTN WordLength = 0;
      while (Index < Length && Text[Index] == u' ') Index++;
      while (Index < Length && Text[Index] != 0 && Text[Index] != u' ') {
        if (WordLength + 1 < sizeof(Word)) Word[WordLength++] = (CHAR8)Text[Index];
        Index++;
      }
      Word[WordLength] = '\0';
      if (WordLength == 0 || First) {
        First = FALSE;  // the program's own name
        continue;
      }
      if (AsciiStrCmp(Word, "pb") == 0) {
        RaiseSmi(Smm, Buffer, TEST_SMI_POWER_BUTTON, Word);
      } else if (AsciiStrCmp(Word, "setup-off") == 0) {
        Line("FVTEST setup-off status=%r", ClearPowerOffEnable());
      } else if (WordLength == 1 && Word[0] >= '3' && Word[0] <= '5') {
        RaiseSmi(Smm, Buffer, (UINT32)(Word[0] - '0'), Word);
      } else {
        Line("FVTEST unknown-argument %a", Word);
      }
    }
  }
  ReportMemoryLog();
  Line("FVTEST-END");
  return EFI_SUCCESS;
}
