// Probes the board strap on FCH pin 89 with a board script and mirrors the
// outcome into Setup.
#include <BoardScript.h>
#include <Library/DriverServicesLib.h>
#include <Library/DxeDriverEntryLib.h>
#include <SetupConfig.h>

#include "BoardProbeScript.h"

EFI_STATUS EFIAPI BoardInitDxeEntryPoint(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  (void)ImageHandle;
  (void)SystemTable;

  // Compiled in place, so the table is rebuilt on every call.
  UINT64 Script[BOARD_PROBE_SCRIPT_WORDS];
  for (UINTN Index = 0; Index < BOARD_PROBE_SCRIPT_WORDS; ++Index) {
    Script[Index] = kBoardProbeScript[Index];
  }
  UINT32 Length = BoardScriptCompile(Script, BOARD_PROBE_SCRIPT_WORDS);
  // The hardware steps run on every boot, whether or not Setup exists.
  UINT8 Outcome = BoardScriptRun((UINT8 *)Script, Length) ? 1 : 0;

  SETUP_CONFIG Setup;
  UINT32 Attributes = 0;
  UINTN Size = 0;
  EFI_STATUS Status = SetupVariableRead(gDriverRuntimeServices, &Setup, &Attributes, &Size);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  if (Setup.BoardProbeResult == Outcome) {
    return Status;
  }
  // A stored variable too short to hold the probe byte would be written back
  // unchanged on every boot; leave it alone instead.
  if (!SETUP_HOLDS(Size, OFFSET_OF(SETUP_CONFIG, BoardProbeResult))) {
    return Status;
  }
  Setup.BoardProbeResult = Outcome;
  if (Outcome == 1) {
    Setup.ProbeGatedOption = 0;
  }
  return SetupVariableWrite(gDriverRuntimeServices, &Setup, Attributes, Size);
}

DXE_DRIVER_IMAGE_ENTRY("BoardInitDxe", BoardInitDxeEntryPoint, DxeEntryAlwaysSucceed)
