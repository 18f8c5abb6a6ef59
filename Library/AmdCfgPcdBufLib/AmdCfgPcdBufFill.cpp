// The configuration record's fill, shared by the DXE constructor (which
// reports a missing PCD protocol) and the SMM one (which stays silent).
#include <AmdCfgPcdBuffer.h>
#include <Library/BaseMemoryLib.h>
#include <Library/PcdLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Protocol/Pcd.h>
#include <Protocol/PiPcd.h>

constinit AMD_CFG_PCD_BUFFER gAmdCfgPcdBuffer = {};

namespace {
constexpr UINTN kPcdToken631 = 631;
constexpr UINTN kPcdToken571 = 571;
constexpr UINTN kPcdToken632 = 632;
constexpr UINTN kPcdToken581 = 581;
constexpr UINTN kPcdToken580 = 580;
constexpr UINTN kPcdToken633 = 633;
}  // namespace

EFI_STATUS EFIAPI AmdCfgPcdBufferFill(EFI_GUID **MissingProtocol) {
  ZeroMem(&gAmdCfgPcdBuffer, sizeof(gAmdCfgPcdBuffer));

  VOID *Interface = nullptr;
  EFI_STATUS Status = gBS->LocateProtocol(&gPcdProtocolGuid, nullptr, &Interface);
  if (EFI_ERROR(Status)) {
    if (MissingProtocol != nullptr) *MissingProtocol = &gPcdProtocolGuid;
    return Status;
  }
  Status = gBS->LocateProtocol(&gEfiPcdProtocolGuid, nullptr, &Interface);
  if (EFI_ERROR(Status)) {
    if (MissingProtocol != nullptr) *MissingProtocol = &gEfiPcdProtocolGuid;
    return Status;
  }

  // Field order is the order of the PCD reads the platform sees.
  gAmdCfgPcdBuffer.Const1 = 0x0100;
  gAmdCfgPcdBuffer.Const2 = 3;
  gAmdCfgPcdBuffer.Const3 = 0x80;
  gAmdCfgPcdBuffer.Pcd631 = LibPcdGetBool(kPcdToken631) ? TRUE : FALSE;
  gAmdCfgPcdBuffer.Pcd571 = LibPcdGet8(kPcdToken571);
  gAmdCfgPcdBuffer.Const4 = 0x0202;
  gAmdCfgPcdBuffer.Const5 = 2;
  gAmdCfgPcdBuffer.Const6 = 0x3E30600;
  gAmdCfgPcdBuffer.Pcd632 = LibPcdGetBool(kPcdToken632) ? TRUE : FALSE;
  gAmdCfgPcdBuffer.Pcd581 = LibPcdGet32(kPcdToken581);
  gAmdCfgPcdBuffer.Pcd580 = LibPcdGet32(kPcdToken580);
  gAmdCfgPcdBuffer.Pcd633 = LibPcdGet8(kPcdToken633);
  gAmdCfgPcdBuffer.Const7 = 2;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI AmdCfgPcdBufLibSmmConstructor(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  (void)ImageHandle;
  (void)SystemTable;
  AmdCfgPcdBufferFill(nullptr);
  return EFI_SUCCESS;
}
