// PCD access through PCD_PROTOCOL. The protocol is located on first use and
// kept for the life of the image; while it cannot be found every call tries
// again and nothing is called through a missing interface.
#include <Library/PcdLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Protocol/Pcd.h>

// Image-wide; not static so that in-process tests can forget it between boots.
constinit PCD_PROTOCOL *mPcd = nullptr;

namespace {

EFI_STATUS LocatePcdProtocol(PCD_PROTOCOL **Pcd) {
  if (mPcd == nullptr) {
    if (gBS == nullptr || gBS->LocateProtocol == nullptr) {
      *Pcd = nullptr;
      return EFI_NOT_READY;
    }
    VOID *Interface = nullptr;
    EFI_STATUS Status = gBS->LocateProtocol(&gPcdProtocolGuid, nullptr, &Interface);
    if (EFI_ERROR(Status)) {
      *Pcd = nullptr;
      return Status;
    }
    if (Interface == nullptr) {
      *Pcd = nullptr;
      return EFI_NOT_FOUND;
    }
    mPcd = (PCD_PROTOCOL *)Interface;
  }
  *Pcd = mPcd;
  return EFI_SUCCESS;
}
}  // namespace

UINT8 EFIAPI LibPcdGet8(UINTN TokenNumber) {
  PCD_PROTOCOL *Pcd;
  if (EFI_ERROR(LocatePcdProtocol(&Pcd)) || Pcd->Get8 == nullptr) {
    return 0;
  }
  return Pcd->Get8(TokenNumber);
}

UINT32 EFIAPI LibPcdGet32(UINTN TokenNumber) {
  PCD_PROTOCOL *Pcd;
  if (EFI_ERROR(LocatePcdProtocol(&Pcd)) || Pcd->Get32 == nullptr) {
    return 0;
  }
  return Pcd->Get32(TokenNumber);
}

BOOLEAN EFIAPI LibPcdGetBool(UINTN TokenNumber) {
  PCD_PROTOCOL *Pcd;
  if (EFI_ERROR(LocatePcdProtocol(&Pcd)) || Pcd->GetBool == nullptr) {
    return FALSE;
  }
  return Pcd->GetBool(TokenNumber);
}

RETURN_STATUS EFIAPI LibPcdSet32S(UINTN TokenNumber, UINT32 Value) {
  PCD_PROTOCOL *Pcd;
  EFI_STATUS Status = LocatePcdProtocol(&Pcd);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  if (Pcd->Set32 == nullptr) {
    return EFI_UNSUPPORTED;
  }
  return Pcd->Set32(TokenNumber, Value);
}
