#pragma once

#include <Uefi.h>
#include <Pi/PiHob.h>

EFI_STATUS EFIAPI HobLibConstructor(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);
// NULL when the firmware published no HOB list.
VOID *EFIAPI GetHobList(VOID);
VOID *EFIAPI GetNextHob(UINT16 Type, CONST VOID *HobStart);
VOID *EFIAPI GetNextGuidHob(CONST EFI_GUID *Guid, CONST VOID *HobStart);
VOID *EFIAPI GetFirstGuidHob(CONST EFI_GUID *Guid);
