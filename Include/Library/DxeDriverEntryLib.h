// The entry frame shared by the DXE drivers.
#pragma once

#include <Uefi.h>
#include <Library/FchMmioBaseLib.h>

typedef enum {
  // Return the body's status; run the destructors when it is an error.
  DxeEntryReturnBodyStatus,
  // Return EFI_SUCCESS whatever the body reports; never run destructors.
  DxeEntryAlwaysSucceed,
} DXE_ENTRY_POLICY;

VOID EFIAPI ProcessLibraryConstructorList(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);
VOID EFIAPI ProcessLibraryDestructorList(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);
EFI_STATUS EFIAPI DxeDriverEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, EFI_IMAGE_ENTRY_POINT Body, DXE_ENTRY_POLICY Policy);

// Each driver defines its base name and image entry with this, so the
// firmware and the simulator enter it by the same exported name.
#define DXE_DRIVER_IMAGE_ENTRY(BaseName, Body, Policy)                                             \
  CONST CHAR8 *CONST gEfiCallerBaseName = (BaseName);                                              \
  extern "C" MODULE_EXPORT EFI_STATUS EFIAPI _ModuleEntryPoint(           \
      EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {                                     \
    return DxeDriverEntry(ImageHandle, SystemTable, (Body), (Policy));                             \
  }
