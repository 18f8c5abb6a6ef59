// DebugLib instance of the DXE drivers: every message goes, unformatted and
// unfiltered, to the platform's debug print service.
#include <Library/DebugLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Protocol/DebugPrintService.h>

// Found once and kept; until then every message retries the lookup, because
// the platform may install the service after this image started.
constinit DEBUG_PRINT_SERVICE_PROTOCOL *mDebugPrintService = NULL;

EFI_STATUS EFIAPI DebugPrint(UINTN ErrorLevel, CONST CHAR8 *Format, ...) {
  if (mDebugPrintService == NULL) {
    EFI_STATUS Status = gBS->LocateProtocol(&gDebugPrintServiceProtocolGuid, NULL, (VOID **)&mDebugPrintService);
    if (EFI_ERROR(Status) || mDebugPrintService == NULL) {
      // Whatever a failed lookup left behind must not count as found.
      mDebugPrintService = NULL;
      return EFI_ERROR(Status) ? Status : EFI_NOT_FOUND;
    }
  }

  VA_LIST Marker;
  VA_START(Marker, Format);
  EFI_STATUS Status = mDebugPrintService->Print(ErrorLevel, Format, Marker);
  VA_END(Marker);
  return Status;
}
