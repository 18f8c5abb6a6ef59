// SMN registers through the host bridge's index/data pair (memory-mapped route).
#pragma once

#include <Uefi.h>

#define SMN_INDEX_REGISTER_MMIO 0xE00000B8u
#define SMN_DATA_REGISTER_MMIO 0xE00000BCu
#define SMN_INDEX_REGISTER_CF8 0x800000B8u
#define SMN_DATA_REGISTER_CF8 0x800000BCu

UINT32 EFIAPI SmnRegisterRead32(UINT32 SmnAddress);
VOID EFIAPI SmnRegisterWrite32(UINT32 SmnAddress, UINT32 Value);
