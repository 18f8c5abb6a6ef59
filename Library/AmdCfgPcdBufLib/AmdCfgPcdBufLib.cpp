// Fills the configuration record from PCDs and constants. The record is
// filled in every driver image whether or not anything reads it later.
#include <AmdCfgPcdBuffer.h>
#include <Library/DebugLib.h>
#include <Protocol/Pcd.h>

EFI_STATUS EFIAPI AmdCfgPcdBufLibDxeConstructor(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  (void)ImageHandle;
  (void)SystemTable;
  EFI_GUID *Missing = nullptr;
  EFI_STATUS Status = AmdCfgPcdBufferFill(&Missing);
  if (!EFI_ERROR(Status)) {
    return EFI_SUCCESS;
  }
  if (Missing == &gPcdProtocolGuid) {
    DebugPrint(DEBUG_ERROR, "[%a] LocateProtocol: gPcdProtocolGuid, Status: %r\n", "AmdCfgPcdBufLibDxeConstructor", Status);
  } else {
    DebugPrint(DEBUG_ERROR, "[%a] LocateProtocol: gEfiPcdProtocolGuid, Status: %r\n", "AmdCfgPcdBufLibDxeConstructor",
               Status);
  }
  return EFI_SUCCESS;
}
