// The SMM driver's entry frame: its own constructor list, the SMM library
// initialisation, the driver initialisation behind a resume point, and the
// destructors of the three constructor steps that hold resources.
#include <AmdCfgPcdBuffer.h>
#include <CpuFrequencyRecord.h>
#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/FchMmioBaseLib.h>
#include <Library/HeapBufferRelayLib.h>
#include <Library/HobLib.h>
#include <Library/SioDebugOutputLib.h>
#include <Library/SmmMemoryAllocationLib.h>
#include <Library/SmmServicesTableLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>

#include "SioPowerSmm.h"

CONST CHAR8 *CONST gEfiCallerBaseName = "SioPowerSmm";

constinit EFI_SYSTEM_TABLE *mSioSystemTable = nullptr;
constinit EFI_BOOT_SERVICES *mSioBootServices = nullptr;
constinit EFI_RUNTIME_SERVICES *mSioRuntimeServices = nullptr;
constinit EFI_SMM_BASE2_PROTOCOL *mSioSmmBase2 = nullptr;
constinit EFI_SMM_SYSTEM_TABLE2 *mSioSmst = nullptr;

namespace {

constinit EFI_GUID mSioExitNotifyGuid = {0x296EB418, 0xC4C8, 0x4E05, {0xAB, 0x59, 0x39, 0xE8, 0xAF, 0x56, 0xF0, 0x0A}};
constinit EFI_GUID mSmmRuntimeServicesTableGuid = {
    0x395C33FE, 0x287F, 0x413E, {0xA0, 0x55, 0x80, 0x88, 0xC0, 0xE1, 0xD4, 0x3E}};

constinit VOID *mSioExitRegistration = nullptr;
constinit EFI_STATUS mSioEntryStatus = EFI_SUCCESS;
constinit BASE_LIBRARY_JUMP_BUFFER mSioResumePoint = {};

VOID HoldSystemTable(EFI_SYSTEM_TABLE *SystemTable) {
  mSioSystemTable = SystemTable;
  mSioBootServices = SystemTable->BootServices;
  mSioRuntimeServices = SystemTable->RuntimeServices;
}

// The SMM runtime-services table, when the SMM core publishes one.
EFI_RUNTIME_SERVICES *FindSmmRuntimeServices(EFI_SMM_SYSTEM_TABLE2 *Smst) {
  if (Smst == nullptr || Smst->SmmConfigurationTable == nullptr) {
    return nullptr;
  }
  for (UINTN Index = 0; Index < Smst->NumberOfTableEntries; ++Index) {
    if (CompareGuid(&Smst->SmmConfigurationTable[Index].VendorGuid, &mSmmRuntimeServicesTableGuid)) {
      return (EFI_RUNTIME_SERVICES *)Smst->SmmConfigurationTable[Index].VendorTable;
    }
  }
  return nullptr;
}

EFI_STATUS EFIAPI SioExitNotify(CONST EFI_GUID *Protocol, VOID *Interface, EFI_HANDLE Handle) {
  (void)Protocol;
  (void)Interface;
  (void)Handle;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI SioExitNotifyConstructor(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  (void)ImageHandle;
  (void)SystemTable;
  if (gSmst == nullptr) {
    return EFI_NOT_READY;
  }
  return gSmst->SmmRegisterProtocolNotify(&mSioExitNotifyGuid, SioExitNotify, &mSioExitRegistration);
}

EFI_STATUS EFIAPI SioExitNotifyDestructor(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  (void)ImageHandle;
  (void)SystemTable;
  if (gSmst == nullptr || mSioExitRegistration == nullptr) {
    return EFI_SUCCESS;
  }
  return gSmst->SmmRegisterProtocolNotify(&mSioExitNotifyGuid, nullptr, &mSioExitRegistration);
}

EFI_STATUS EFIAPI SioSmmLibConstructor(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  (void)ImageHandle;
  EFI_STATUS Status = SioSmmLibInit(SystemTable);
  EFI_RUNTIME_SERVICES *SmmRuntime = FindSmmRuntimeServices(mSioSmst);
  if (SmmRuntime != nullptr) {
    gRT = SmmRuntime;
    mSioRuntimeServices = SmmRuntime;
  }
  return Status;
}

EFI_STATUS EFIAPI DebugOutputConstructor(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  (void)ImageHandle;
  (void)SystemTable;
  DebugOutputInit();
  return EFI_SUCCESS;
}

// Statuses are never acted on: a failing step leaves its own state empty
// and the next one still runs.
VOID ProcessSmmLibraryConstructorList(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  UefiBootServicesTableLibConstructor(ImageHandle, SystemTable);
  UefiRuntimeServicesTableLibConstructor(ImageHandle, SystemTable);
  SmmServicesTableLibConstructor(ImageHandle, SystemTable);
  AmdCfgPcdBufLibSmmConstructor(ImageHandle, SystemTable);
  SmmMemoryAllocationLibConstructor(ImageHandle, SystemTable);
  HobLibConstructor(ImageHandle, SystemTable);
  HeapBufferRelayConstructor(ImageHandle, SystemTable);
  DebugOutputConstructor(ImageHandle, SystemTable);
  FchMmioBaseLibConstructor(ImageHandle, SystemTable);
  SioExitNotifyConstructor(ImageHandle, SystemTable);
  SioSmmLibConstructor(ImageHandle, SystemTable);
  CpuTscTimerLibConstructor(ImageHandle, SystemTable);
}

VOID ProcessSmmLibraryDestructorList(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  SioExitNotifyDestructor(ImageHandle, SystemTable);
  FchMmioBaseLibDestructor(ImageHandle, SystemTable);
  SmmMemoryAllocationLibDestructor(ImageHandle, SystemTable);
}

}  // namespace

EFI_STATUS EFIAPI SioSmmLibInit(EFI_SYSTEM_TABLE *SystemTable) {
  if (mSioSmmBase2 != nullptr) {
    return EFI_SUCCESS;
  }
  if (mSioSystemTable == nullptr) {
    HoldSystemTable(SystemTable);
  }
  EFI_SMM_BASE2_PROTOCOL *SmmBase2 = nullptr;
  EFI_STATUS Status = mSioBootServices->LocateProtocol(&gEfiSmmBase2ProtocolGuid, nullptr, (VOID **)&SmmBase2);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  mSioSmmBase2 = SmmBase2;
  Status = SmmBase2->GetSmstLocation(SmmBase2, &mSioSmst);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  EFI_RUNTIME_SERVICES *SmmRuntime = FindSmmRuntimeServices(mSioSmst);
  if (SmmRuntime != nullptr) {
    mSioRuntimeServices = SmmRuntime;
  }
  return Status;
}

extern "C" MODULE_EXPORT EFI_STATUS EFIAPI _ModuleEntryPoint(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  ProcessSmmLibraryConstructorList(ImageHandle, SystemTable);
  // Kept in module state, not in locals: the resume point is reached by a
  // long jump, after which locals changed since the set-jump are undefined.
  mSioEntryStatus = EFI_LOAD_ERROR;
  if (SetJump(&mSioResumePoint) == 0) {
    if (mSioSystemTable == nullptr) {
      HoldSystemTable(SystemTable);
    }
    EFI_STATUS Status = SioSmmLibInit(SystemTable);
    if (!EFI_ERROR(Status)) {
      Status = SioPowerSmmInit(ImageHandle, SystemTable);
    }
    if (!EFI_ERROR(Status) || EFI_ERROR(mSioEntryStatus)) {
      mSioEntryStatus = Status;
    }
    LongJump(&mSioResumePoint, 1);
  }
  if (EFI_ERROR(mSioEntryStatus)) {
    ProcessSmmLibraryDestructorList(ImageHandle, SystemTable);
  }
  return mSioEntryStatus;
}
