#include <Library/UefiRuntimeServicesTableLib.h>

constinit EFI_RUNTIME_SERVICES *gRT = nullptr;

EFI_STATUS EFIAPI UefiRuntimeServicesTableLibConstructor(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  (void)ImageHandle;
  gRT = (SystemTable != nullptr) ? SystemTable->RuntimeServices : nullptr;
  return (gRT != nullptr) ? EFI_SUCCESS : EFI_INVALID_PARAMETER;
}
