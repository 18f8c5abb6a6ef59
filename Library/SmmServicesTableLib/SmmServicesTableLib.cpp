#include <Library/SmmServicesTableLib.h>
#include <Library/UefiBootServicesTableLib.h>

constinit EFI_SMM_SYSTEM_TABLE2 *gSmst = nullptr;

EFI_STATUS EFIAPI SmmServicesTableLibConstructor(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  (void)ImageHandle;
  (void)SystemTable;
  EFI_SMM_BASE2_PROTOCOL *SmmBase2 = nullptr;
  EFI_STATUS Status = gBS->LocateProtocol(&gEfiSmmBase2ProtocolGuid, nullptr, (VOID **)&SmmBase2);
  if (EFI_ERROR(Status) || SmmBase2 == nullptr) {
    return Status;
  }
  return SmmBase2->GetSmstLocation(SmmBase2, &gSmst);
}
