#pragma once

#include <Uefi.h>

extern EFI_RUNTIME_SERVICES *gRT;

EFI_STATUS EFIAPI UefiRuntimeServicesTableLibConstructor(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);
