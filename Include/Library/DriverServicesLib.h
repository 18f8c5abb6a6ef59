#pragma once

#include <Uefi.h>

extern EFI_SYSTEM_TABLE *gDriverSystemTable;
extern EFI_RUNTIME_SERVICES *gDriverRuntimeServices;

// Sets both pointers from SystemTable unless gDriverSystemTable is already set.
VOID EFIAPI DriverServicesInit(EFI_SYSTEM_TABLE *SystemTable);
EFI_STATUS EFIAPI DriverServicesLibConstructor(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);
