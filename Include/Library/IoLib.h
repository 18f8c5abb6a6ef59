// IoLib: port I/O and memory-mapped I/O (hardware seam).
#pragma once

#include <Uefi/UefiBaseType.h>

UINT8 EFIAPI IoRead8(UINTN Port);
UINT8 EFIAPI IoWrite8(UINTN Port, UINT8 Value);
UINT16 EFIAPI IoRead16(UINTN Port);
UINT16 EFIAPI IoWrite16(UINTN Port, UINT16 Value);
UINT32 EFIAPI IoRead32(UINTN Port);
UINT32 EFIAPI IoWrite32(UINTN Port, UINT32 Value);

UINT8 EFIAPI MmioRead8(UINTN Address);
UINT8 EFIAPI MmioWrite8(UINTN Address, UINT8 Value);
UINT16 EFIAPI MmioRead16(UINTN Address);
UINT16 EFIAPI MmioWrite16(UINTN Address, UINT16 Value);
UINT32 EFIAPI MmioRead32(UINTN Address);
UINT32 EFIAPI MmioWrite32(UINTN Address, UINT32 Value);
UINT64 EFIAPI MmioRead64(UINTN Address);
UINT64 EFIAPI MmioWrite64(UINTN Address, UINT64 Value);
