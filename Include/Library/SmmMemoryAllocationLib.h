// SMRAM pool for an SMM driver. The SMRAM ranges are learnt once by the
// constructor; a buffer is returned to the pool it came from: SMRAM pool
// when it lies in one of the ranges, boot-services pool otherwise.
#pragma once

#include <Uefi.h>
#include <Pi/PiSmmCis.h>

// The SMRAM map (NULL and 0 when it could not be obtained); exposed for tests.
extern EFI_SMRAM_DESCRIPTOR *mSmramRanges;
extern UINTN mSmramRangeCount;

// Needs gBS and gSmst.
EFI_STATUS EFIAPI SmmMemoryAllocationLibConstructor(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);
// Releases the SMRAM map (the entry's failure path).
EFI_STATUS EFIAPI SmmMemoryAllocationLibDestructor(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);

// SMRAM pool of type EfiRuntimeServicesData; NULL on failure.
VOID *EFIAPI AllocatePool(UINTN AllocationSize);
VOID EFIAPI FreePool(VOID *Buffer);
BOOLEAN EFIAPI BufferIsInsideSmram(EFI_PHYSICAL_ADDRESS Address);
