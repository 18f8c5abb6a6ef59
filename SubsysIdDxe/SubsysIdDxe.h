#pragma once

#include <Uefi.h>

#define BOARD_SUBSYSTEM_VENDOR_ID 0x1C5Eu
#define SSID_PROGRAM_ENTRY_COUNT 16
#define SSID_PCD_TOKEN_SUBSYSTEM_ID_0 623  // 0x26F
#define SSID_PCD_TOKEN_SUBSYSTEM_ID_1 576  // 0x240
#define SSID_PCD_TOKEN_CLEARED 326         // 0x146

typedef struct {
  UINT32 SourceAddress;  // the function's vendor/device identifier register
  UINT32 TargetAddress;  // its subsystem identifier register
  UINT32 Value;          // the board's vendor id in one half; the other half takes the device id
} SSID_PROGRAM_ENTRY;
static_assert(sizeof(SSID_PROGRAM_ENTRY) == 12, "SSID_PROGRAM_ENTRY");

UINT32 EFIAPI SsidCombine(UINT32 SourceValue, UINT32 Value);
EFI_STATUS EFIAPI SubsysIdDxeEntryPoint(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);
