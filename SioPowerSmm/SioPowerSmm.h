#pragma once

#include <Uefi.h>
#include <Pi/PiSmmCis.h>

// The driver's own view of the SMM services, acquired by SioSmmLibInit.
extern EFI_SYSTEM_TABLE *mSioSystemTable;
extern EFI_BOOT_SERVICES *mSioBootServices;
extern EFI_RUNTIME_SERVICES *mSioRuntimeServices;
extern EFI_SMM_BASE2_PROTOCOL *mSioSmmBase2;
extern EFI_SMM_SYSTEM_TABLE2 *mSioSmst;

// Acquires the SMM services for the driver's code; returns at once with
// EFI_SUCCESS once SMM Base2 has been located.
EFI_STATUS EFIAPI SioSmmLibInit(EFI_SYSTEM_TABLE *SystemTable);

// Registers the sleep-entry and power-button handlers.
EFI_STATUS EFIAPI SioPowerSmmInit(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);
EFI_STATUS EFIAPI SioSxHandler(EFI_HANDLE DispatchHandle, CONST VOID *Context, VOID *CommBuffer, UINTN *CommBufferSize);
EFI_STATUS EFIAPI SioPowerButtonHandler(EFI_HANDLE DispatchHandle, CONST VOID *Context, VOID *CommBuffer,
                                        UINTN *CommBufferSize);
// The power-off Super I/O programming that Setup enables.
VOID EFIAPI SioPowerOffProgram(VOID);
