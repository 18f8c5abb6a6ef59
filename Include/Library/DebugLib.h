#pragma once

#include <Uefi.h>

#define DEBUG_INFO 0x00000040u
#define DEBUG_ERROR 0x80000000u

// Routed to the platform's debug print service; returns its status, or the
// lookup error when the service is not installed.
EFI_STATUS EFIAPI DebugPrint(UINTN ErrorLevel, CONST CHAR8 *Format, ...);
