// Gives the on-chip PCI functions the board's subsystem identifiers over SMN
// and sets the board's subsystem-identifier PCDs.
#include <Library/DriverServicesLib.h>
#include <Library/DxeDriverEntryLib.h>
#include <Library/PcdLib.h>
#include <SmnAccess.h>

#include "SubsysIdDxe.h"

constexpr SSID_PROGRAM_ENTRY mSsidProgramTable[SSID_PROGRAM_ENTRY_COUNT] = {
    {0x13B00000, 0x13B00050, 0x00001C5E}, {0x13F00000, 0x13F00078, 0x00001C5E},
    {0x10100000, 0x10131004, 0x1C5E0000}, {0x10101000, 0x10131204, 0x1C5E0000},
    {0x10102000, 0x10131404, 0x1C5E0000}, {0x10140000, 0x1014004C, 0x00001C5E},
    {0x10141000, 0x1014104C, 0x00001C5E}, {0x10142000, 0x1014204C, 0x00001C5E},
    {0x10144000, 0x1014404C, 0x00001C5E}, {0x10148000, 0x1014804C, 0x00001C5E},
    {0x10149000, 0x1014904C, 0x00001C5E}, {0x10150000, 0x1015004C, 0x00001C5E},
    {0x10153000, 0x1015304C, 0x00001C5E}, {0x10154000, 0x1015404C, 0x00001C5E},
    {0x10155000, 0x1015504C, 0x00001C5E}, {0x10156000, 0x1015604C, 0x00001C5E},
};

UINT32 EFIAPI SsidCombine(UINT32 SourceValue, UINT32 Value) {
  // Only the low half of Value decides where the device identifier goes.
  if ((Value & 0xFFFF) != 0) {
    return Value | (SourceValue & 0xFFFF0000);
  }
  return Value | (SourceValue >> 16);
}

EFI_STATUS EFIAPI SubsysIdDxeEntryPoint(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  (void)ImageHandle;
  DriverServicesInit(SystemTable);

  for (const SSID_PROGRAM_ENTRY &Entry : mSsidProgramTable) {
    UINT32 Source = SmnRegisterRead32(Entry.SourceAddress);
    SmnRegisterWrite32(Entry.TargetAddress, SsidCombine(Source, Entry.Value));
  }
  // Statuses ignored: without a PCD protocol the accessor reports an error and calls nothing.
  LibPcdSet32S(SSID_PCD_TOKEN_SUBSYSTEM_ID_0, 0x6A310000u | BOARD_SUBSYSTEM_VENDOR_ID);
  LibPcdSet32S(SSID_PCD_TOKEN_SUBSYSTEM_ID_1, 0x6A340000u | BOARD_SUBSYSTEM_VENDOR_ID);
  LibPcdSet32S(SSID_PCD_TOKEN_CLEARED, 0);
  return EFI_SUCCESS;
}

DXE_DRIVER_IMAGE_ENTRY("SubsysIdDxe", SubsysIdDxeEntryPoint, DxeEntryReturnBodyStatus)
