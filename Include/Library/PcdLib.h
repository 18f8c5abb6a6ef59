// PCD access by token number through the cached PCD_PROTOCOL.
#pragma once

#include <Uefi.h>

UINT8 EFIAPI LibPcdGet8(UINTN TokenNumber);
UINT32 EFIAPI LibPcdGet32(UINTN TokenNumber);
BOOLEAN EFIAPI LibPcdGetBool(UINTN TokenNumber);
RETURN_STATUS EFIAPI LibPcdSet32S(UINTN TokenNumber, UINT32 Value);
