// BaseMemoryLib: buffer copy, fill, compare and GUID helpers.
#pragma once

#include <Uefi/UefiBaseType.h>

VOID *EFIAPI CopyMem(VOID *DestinationBuffer, CONST VOID *SourceBuffer, UINTN Length);
VOID *EFIAPI SetMem(VOID *Buffer, UINTN Length, UINT8 Value);
VOID *EFIAPI ZeroMem(VOID *Buffer, UINTN Length);
INTN EFIAPI CompareMem(CONST VOID *DestinationBuffer, CONST VOID *SourceBuffer, UINTN Length);
BOOLEAN EFIAPI CompareGuid(CONST EFI_GUID *Guid1, CONST EFI_GUID *Guid2);
EFI_GUID *EFIAPI CopyGuid(EFI_GUID *DestinationGuid, CONST EFI_GUID *SourceGuid);
