// Boot-script buffers of the DXE drivers: a gate block and two zeroed
// buffers in runtime-services data, kept until the next reset.
#include <CmosTrail.h>
#include <Library/BaseMemoryLib.h>
#include <Library/BootScriptLib.h>
#include <Library/DebugLib.h>
#include <Library/UefiBootServicesTableLib.h>

constinit VOID *gBootScriptBlock = NULL;
constinit VOID *gBooScriptBuffer = NULL;
constinit VOID *gRegBuffer = NULL;

namespace {

constexpr UINTN BOOT_SCRIPT_BLOCK_SIZE = 32;
constexpr UINTN BOOT_SCRIPT_BUFFER_SIZE = 100;
constexpr UINTN REG_BUFFER_SIZE = 8;

// The CMOS trail names this library's debug statements by this path and by
// the two line numbers below. Whoever reads the trail after a hang matches
// them against the library's published source, so they stay fixed however
// this file is laid out; they are passed explicitly instead of __LINE__.
constexpr CONST CHAR8 *BOOT_SCRIPT_SOURCE_PATH =
    "VexChipsetModulePkg\\Library\\VexCspSmmBootScriptLib\\VexCspSmmBootScriptLib";
constexpr UINTN BOOT_SCRIPT_BUFFER_STATEMENT_LINE = 734;
constexpr UINTN REG_BUFFER_STATEMENT_LINE = 735;

// A failed allocation must leave its pointer NULL whatever the pool left in it.
VOID AllocateZeroedRuntimeBuffer(UINTN Size, VOID **Buffer) {
  if (EFI_ERROR(gBS->AllocatePool(EfiRuntimeServicesData, Size, Buffer))) {
    *Buffer = NULL;
    return;
  }
  ZeroMem(*Buffer, Size);
}

}  // namespace

EFI_STATUS EFIAPI BootScriptLibConstructor(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  (VOID) ImageHandle;
  (VOID) SystemTable;

  // The block gates everything else; its contents are never used.
  if (EFI_ERROR(gBS->AllocatePool(EfiRuntimeServicesData, BOOT_SCRIPT_BLOCK_SIZE, &gBootScriptBlock))) {
    gBootScriptBlock = NULL;
    return EFI_SUCCESS;
  }

  if (gBooScriptBuffer == NULL) {
    AllocateZeroedRuntimeBuffer(BOOT_SCRIPT_BUFFER_SIZE, &gBooScriptBuffer);
    AllocateZeroedRuntimeBuffer(REG_BUFFER_SIZE, &gRegBuffer);
  }

  // Checkpoint route: formatted only to be scanned, never printed.
  if (!CmosTrailCheckpoint(DEBUG_INFO, "gBooScriptBuffer %x\n", (UINT32)(UINTN)gBooScriptBuffer)) {
    CmosTrailRecordLocation(BOOT_SCRIPT_SOURCE_PATH, BOOT_SCRIPT_BUFFER_STATEMENT_LINE);
  }
  if (!CmosTrailCheckpoint(DEBUG_INFO, "gRegBuffer %x\n", (UINT32)(UINTN)gRegBuffer)) {
    CmosTrailRecordLocation(BOOT_SCRIPT_SOURCE_PATH, REG_BUFFER_STATEMENT_LINE);
  }
  return EFI_SUCCESS;
}

// Pointers stay as they were: the image is unloaded right after this.
EFI_STATUS EFIAPI BootScriptLibDestructor(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  (VOID) ImageHandle;
  (VOID) SystemTable;

  if (gBootScriptBlock != NULL) {
    gBS->FreePool(gBootScriptBlock);
  }
  if (gBooScriptBuffer != NULL) {
    gBS->FreePool(gBooScriptBuffer);
  }
  if (gRegBuffer != NULL) {
    gBS->FreePool(gRegBuffer);
  }
  return EFI_SUCCESS;
}
