#pragma once

#include <Uefi.h>

#define FCH_MMIO_BASE 0xFED80000u

extern UINT64 gFchMmioBase;
extern EFI_EVENT gFchMmioBaseEvent;
// The module's base name, a constant of each image (EDK II's caller base name).
extern CONST CHAR8 *CONST gEfiCallerBaseName;

BOOLEAN EFIAPI FchMmioBaseIsRuntimeModule(CONST CHAR8 *BaseName);
EFI_STATUS EFIAPI FchMmioBaseLibConstructor(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);
EFI_STATUS EFIAPI FchMmioBaseLibDestructor(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);
VOID EFIAPI FchMmioBaseVirtualNotify(EFI_EVENT Event, VOID *Context);
