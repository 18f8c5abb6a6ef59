#pragma once

#include <Uefi.h>

extern VOID *gBootScriptBlock;
extern VOID *gBooScriptBuffer;
extern VOID *gRegBuffer;

EFI_STATUS EFIAPI BootScriptLibConstructor(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);
EFI_STATUS EFIAPI BootScriptLibDestructor(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);
