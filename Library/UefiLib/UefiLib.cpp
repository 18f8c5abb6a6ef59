#include <Library/BaseMemoryLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiLib.h>

EFI_STATUS EFIAPI EfiGetSystemConfigurationTable(EFI_GUID *TableGuid, VOID **Table) {
  if (TableGuid == nullptr || Table == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  *Table = nullptr;
  if (gST == nullptr || gST->ConfigurationTable == nullptr) {
    return EFI_NOT_FOUND;
  }
  for (UINTN Index = 0; Index < gST->NumberOfTableEntries; Index++) {
    if (CompareGuid(TableGuid, &gST->ConfigurationTable[Index].VendorGuid)) {
      *Table = gST->ConfigurationTable[Index].VendorTable;
      return EFI_SUCCESS;
    }
  }
  return EFI_NOT_FOUND;
}
