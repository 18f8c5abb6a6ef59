// The DXE drivers' entry frame: library constructors in a fixed order, the
// driver body, and the destructors on its failure path.
#include <AmdCfgPcdBuffer.h>
#include <CpuFrequencyRecord.h>
#include <Library/BootScriptLib.h>
#include <Library/DriverServicesLib.h>
#include <Library/DxeDriverEntryLib.h>
#include <Library/FchMmioBaseLib.h>
#include <Library/HobLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>

// Constructor statuses are never acted on: a failing constructor leaves its
// own globals empty and the next one still runs.
VOID EFIAPI ProcessLibraryConstructorList(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  UefiBootServicesTableLibConstructor(ImageHandle, SystemTable);
  UefiRuntimeServicesTableLibConstructor(ImageHandle, SystemTable);
  AmdCfgPcdBufLibDxeConstructor(ImageHandle, SystemTable);
  FchMmioBaseLibConstructor(ImageHandle, SystemTable);
  CpuTscTimerLibConstructor(ImageHandle, SystemTable);
  BootScriptLibConstructor(ImageHandle, SystemTable);
  HobLibConstructor(ImageHandle, SystemTable);
  DriverServicesLibConstructor(ImageHandle, SystemTable);
}

VOID EFIAPI ProcessLibraryDestructorList(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  BootScriptLibDestructor(ImageHandle, SystemTable);
  FchMmioBaseLibDestructor(ImageHandle, SystemTable);
}

EFI_STATUS EFIAPI DxeDriverEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, EFI_IMAGE_ENTRY_POINT Body,
                                 DXE_ENTRY_POLICY Policy) {
  ProcessLibraryConstructorList(ImageHandle, SystemTable);
  if (Policy == DxeEntryAlwaysSucceed) {
    DriverServicesInit(SystemTable);
    Body(ImageHandle, SystemTable);
    return EFI_SUCCESS;
  }
  EFI_STATUS Status = Body(ImageHandle, SystemTable);
  if (EFI_ERROR(Status)) {
    ProcessLibraryDestructorList(ImageHandle, SystemTable);
  }
  return Status;
}
