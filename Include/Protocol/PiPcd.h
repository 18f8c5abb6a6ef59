// EFI_PCD_PROTOCOL (PI): only its presence is tested by these drivers.
#pragma once

#include <Uefi.h>

#define EFI_PCD_PROTOCOL_GUID {0x13A3F0F6, 0x264A, 0x3EF0, {0xF2, 0xE0, 0xDE, 0xC5, 0x12, 0x34, 0x2F, 0x34}}
extern EFI_GUID gEfiPcdProtocolGuid;

typedef struct {
  VOID *Slot[18];  // SetSku .. GetNextTokenSpace, each taking a token-space GUID
} EFI_PCD_PROTOCOL;
static_assert(sizeof(EFI_PCD_PROTOCOL) == 144, "EFI_PCD_PROTOCOL");
