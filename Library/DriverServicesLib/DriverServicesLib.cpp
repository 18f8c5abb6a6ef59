// Service pointers as the driver bodies use them.
#include <Library/DriverServicesLib.h>

constinit EFI_SYSTEM_TABLE *gDriverSystemTable = nullptr;
constinit EFI_RUNTIME_SERVICES *gDriverRuntimeServices = nullptr;

VOID EFIAPI DriverServicesInit(EFI_SYSTEM_TABLE *SystemTable) {
  if (gDriverSystemTable == nullptr) {
    gDriverSystemTable = SystemTable;
    gDriverRuntimeServices = SystemTable->RuntimeServices;
  }
}

EFI_STATUS EFIAPI DriverServicesLibConstructor(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  (void)ImageHandle;
  DriverServicesInit(SystemTable);
  return EFI_SUCCESS;
}
