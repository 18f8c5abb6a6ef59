#include <Library/UefiBootServicesTableLib.h>

constinit EFI_HANDLE gImageHandle = nullptr;
constinit EFI_SYSTEM_TABLE *gST = nullptr;
constinit EFI_BOOT_SERVICES *gBS = nullptr;

EFI_STATUS EFIAPI UefiBootServicesTableLibConstructor(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  gImageHandle = ImageHandle;
  gST = SystemTable;
  gBS = (SystemTable != nullptr) ? SystemTable->BootServices : nullptr;
  return (SystemTable != nullptr && gBS != nullptr) ? EFI_SUCCESS : EFI_INVALID_PARAMETER;
}
