// Base address of the FCH register block, converted for runtime use only in
// the runtime module.
#include <Library/BaseLib.h>
#include <Library/FchMmioBaseLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>

constinit UINT64 gFchMmioBase = 0;
constinit EFI_EVENT gFchMmioBaseEvent = nullptr;

namespace {
constexpr CHAR8 kRuntimeModuleName[] = "SbRun";
}

// Compares over the base name's own length only, so a leading part of the
// runtime module's name (even an empty one) counts as that module.
BOOLEAN EFIAPI FchMmioBaseIsRuntimeModule(CONST CHAR8 *BaseName) {
  UINTN Length = AsciiStrLen(BaseName);
  for (UINTN Index = 0; Index < Length; ++Index) {
    if (BaseName[Index] != kRuntimeModuleName[Index]) {
      return FALSE;
    }
  }
  return TRUE;
}

VOID EFIAPI FchMmioBaseVirtualNotify(EFI_EVENT Event, VOID *Context) {
  (void)Event;
  (void)Context;
  gRT->ConvertPointer(0, (VOID **)&gFchMmioBase);
}

EFI_STATUS EFIAPI FchMmioBaseLibConstructor(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  (void)ImageHandle;
  (void)SystemTable;
  gFchMmioBase = FCH_MMIO_BASE;
  if (FchMmioBaseIsRuntimeModule(gEfiCallerBaseName)) {
    gBS->CreateEvent(EVT_SIGNAL_VIRTUAL_ADDRESS_CHANGE, TPL_NOTIFY, FchMmioBaseVirtualNotify, nullptr,
                     &gFchMmioBaseEvent);
  }
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI FchMmioBaseLibDestructor(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  (void)ImageHandle;
  (void)SystemTable;
  if (gFchMmioBaseEvent != nullptr) {
    gBS->CloseEvent(gFchMmioBaseEvent);
  }
  return EFI_SUCCESS;
}
