// HOB list access for DXE images. The list's address is taken from the system
// table given to the constructor (which may run before gST is set) and kept
// for the life of the image.
#include <Guid/HobList.h>
#include <Library/BaseMemoryLib.h>
#include <Library/HobLib.h>

namespace {
constinit VOID *mHobList = nullptr;
}

EFI_STATUS EFIAPI HobLibConstructor(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  (void)ImageHandle;
  mHobList = nullptr;
  if (SystemTable == nullptr || SystemTable->ConfigurationTable == nullptr) {
    return EFI_NOT_FOUND;
  }
  for (UINTN Index = 0; Index < SystemTable->NumberOfTableEntries; Index++) {
    if (CompareGuid(&gEfiHobListGuid, &SystemTable->ConfigurationTable[Index].VendorGuid)) {
      mHobList = SystemTable->ConfigurationTable[Index].VendorTable;
      return (mHobList != nullptr) ? EFI_SUCCESS : EFI_NOT_FOUND;
    }
  }
  return EFI_NOT_FOUND;
}

VOID *EFIAPI GetHobList(VOID) { return mHobList; }

VOID *EFIAPI GetNextHob(UINT16 Type, CONST VOID *HobStart) {
  EFI_PEI_HOB_POINTERS Hob;
  Hob.Raw = (UINT8 *)HobStart;
  if (Hob.Raw == nullptr) {
    return nullptr;
  }
  while (Hob.Header->HobType != EFI_HOB_TYPE_END_OF_HOB_LIST) {
    if (Hob.Header->HobType == Type) {
      return Hob.Raw;
    }
    // A length shorter than a header would stall or misparse the walk.
    if (Hob.Header->HobLength < sizeof(EFI_HOB_GENERIC_HEADER)) {
      return nullptr;
    }
    Hob.Raw = Hob.Raw + Hob.Header->HobLength;
  }
  return nullptr;
}

VOID *EFIAPI GetNextGuidHob(CONST EFI_GUID *Guid, CONST VOID *HobStart) {
  EFI_PEI_HOB_POINTERS GuidHob;
  GuidHob.Raw = (UINT8 *)HobStart;
  while ((GuidHob.Raw = (UINT8 *)GetNextHob(EFI_HOB_TYPE_GUID_EXTENSION, GuidHob.Raw)) != nullptr) {
    if (CompareGuid(Guid, &GuidHob.Guid->Name)) {
      return GuidHob.Raw;
    }
    if (GuidHob.Header->HobLength < sizeof(EFI_HOB_GUID_TYPE)) {
      return nullptr;
    }
    GuidHob.Raw = GuidHob.Raw + GuidHob.Header->HobLength;
  }
  return nullptr;
}

VOID *EFIAPI GetFirstGuidHob(CONST EFI_GUID *Guid) {
  VOID *HobList = GetHobList();
  if (HobList == nullptr) {
    return nullptr;
  }
  return GetNextGuidHob(Guid, HobList);
}
