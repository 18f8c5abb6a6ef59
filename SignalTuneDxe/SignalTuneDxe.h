#pragma once

#include <Uefi.h>

#define SI_CONTROLLER_COUNT 5
#define SI_PORTS_PER_CONTROLLER 5
#define SI_LINK_TABLE_COUNT 4
#define SI_LINK_TUNED_COUNT 2

// The caller keeps Controller * 5 + PortCount within the table.
VOID EFIAPI SiTuneControllerPorts(UINT8 Controller, UINT8 PortCount, CONST UINT8 *Bits31To28, CONST UINT8 *Bits21To20,
                                  CONST UINT8 *Bits2To0);
VOID EFIAPI SiTuneLinks(CONST UINT8 *Bit30, CONST UINT8 *Bits22To20, CONST UINT8 *Bits10To8, CONST UINT8 *Bits2To0);
EFI_STATUS EFIAPI SignalTuneDxeEntryPoint(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);
