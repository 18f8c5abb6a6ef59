#include <Library/SmmMemoryAllocationLib.h>
#include <Library/SmmServicesTableLib.h>
#include <Library/UefiBootServicesTableLib.h>

constinit EFI_SMRAM_DESCRIPTOR *mSmramRanges = nullptr;
constinit UINTN mSmramRangeCount = 0;

EFI_STATUS EFIAPI SmmMemoryAllocationLibConstructor(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  (void)ImageHandle;
  (void)SystemTable;
  mSmramRanges = nullptr;
  mSmramRangeCount = 0;
  EFI_SMM_ACCESS2_PROTOCOL *SmmAccess = nullptr;
  EFI_STATUS Status = gBS->LocateProtocol(&gEfiSmmAccess2ProtocolGuid, nullptr, (VOID **)&SmmAccess);
  // Without SMM Access2 there is no map: every buffer then counts as outside
  // SMRAM. Nothing this driver allocates before the map exists is ever freed.
  if (EFI_ERROR(Status) || SmmAccess == nullptr) {
    return Status;
  }
  UINTN Size = 0;
  Status = SmmAccess->GetCapabilities(SmmAccess, &Size, nullptr);
  if (Status != EFI_BUFFER_TOO_SMALL || Size == 0) {
    return EFI_ERROR(Status) ? Status : EFI_NOT_FOUND;
  }
  EFI_SMRAM_DESCRIPTOR *Ranges = (EFI_SMRAM_DESCRIPTOR *)AllocatePool(Size);
  if (Ranges == nullptr) {
    return EFI_OUT_OF_RESOURCES;
  }
  Status = SmmAccess->GetCapabilities(SmmAccess, &Size, Ranges);
  if (EFI_ERROR(Status)) {
    gSmst->SmmFreePool(Ranges);
    return Status;
  }
  mSmramRanges = Ranges;
  mSmramRangeCount = Size / sizeof(EFI_SMRAM_DESCRIPTOR);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI SmmMemoryAllocationLibDestructor(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  (void)ImageHandle;
  (void)SystemTable;
  if (mSmramRanges != nullptr) {
    FreePool(mSmramRanges);
  }
  return EFI_SUCCESS;
}

VOID *EFIAPI AllocatePool(UINTN AllocationSize) {
  VOID *Buffer = nullptr;
  if (gSmst == nullptr || EFI_ERROR(gSmst->SmmAllocatePool(EfiRuntimeServicesData, AllocationSize, &Buffer))) {
    return nullptr;
  }
  return Buffer;
}

BOOLEAN EFIAPI BufferIsInsideSmram(EFI_PHYSICAL_ADDRESS Address) {
  for (UINTN Index = 0; Index < mSmramRangeCount; ++Index) {
    const EFI_SMRAM_DESCRIPTOR &Range = mSmramRanges[Index];
    // Written as a difference so a range that ends at the top of the
    // address space cannot wrap.
    if (Address >= Range.CpuStart && Address - Range.CpuStart < Range.PhysicalSize) {
      return TRUE;
    }
  }
  return FALSE;
}

VOID EFIAPI FreePool(VOID *Buffer) {
  if (BufferIsInsideSmram((EFI_PHYSICAL_ADDRESS)(UINTN)Buffer)) {
    gSmst->SmmFreePool(Buffer);
  } else {
    gBS->FreePool(Buffer);
  }
}
