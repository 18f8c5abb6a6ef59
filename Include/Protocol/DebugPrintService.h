// The platform's debug print service: formats with the EDK II conversions.
#pragma once

#include <Uefi.h>

#define DEBUG_PRINT_SERVICE_PROTOCOL_GUID {0x669ED5B1, 0x49A3, 0x4C59, {0x9D, 0x2D, 0x04, 0x32, 0xAD, 0x6C, 0xDB, 0x61}}
extern EFI_GUID gDebugPrintServiceProtocolGuid;

typedef EFI_STATUS(EFIAPI *DEBUG_PRINT_SERVICE_PRINT)(UINTN ErrorLevel, CONST CHAR8 *Format, VA_LIST Marker);

typedef struct {
  DEBUG_PRINT_SERVICE_PRINT Print;  // the only member the drivers use
} DEBUG_PRINT_SERVICE_PROTOCOL;
