// TestSmmDispatchers: the Sx and power-button dispatchers OVMF lacks. It
// installs EFI_SMM_SX_DISPATCH2_PROTOCOL and
// EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL, keeps what is registered, and
// raises an event when the test application asks through SMM communicate:
// each handler registered for it is called with the context a platform's
// dispatcher passes (a copy of the registered one, in SMRAM), no
// communication buffer and a size of 0.
#include <Library/BaseMemoryLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Pi/PiSmmCis.h>

#include "TestPlatform.h"


namespace {

constexpr UINTN kMaxRegistrations = TEST_SMI_MAX_HANDLERS;

struct Registration {
  BOOLEAN InUse;
  BOOLEAN PowerButton;
  EFI_SMM_HANDLER_ENTRY_POINT2 Handler;
  EFI_SMM_SX_REGISTER_CONTEXT Sx;
  EFI_SMM_POWER_BUTTON_REGISTER_CONTEXT Button;
};

constinit Registration mRegistrations[kMaxRegistrations] = {};
constinit EFI_SMM_SYSTEM_TABLE2 *mSmst = nullptr;

Registration *NewRegistration(EFI_SMM_HANDLER_ENTRY_POINT2 Handler, EFI_HANDLE *DispatchHandle) {
  if (Handler == nullptr || DispatchHandle == nullptr) {
    return nullptr;
  }
  for (Registration &R : mRegistrations) {
    if (!R.InUse) {
      ZeroMem(&R, sizeof(R));
      R.InUse = TRUE;
      R.Handler = Handler;
      *DispatchHandle = &R;
      return &R;
    }
  }
  return nullptr;
}

EFI_STATUS Withdraw(EFI_HANDLE DispatchHandle, BOOLEAN PowerButton) {
  for (Registration &R : mRegistrations) {
    if (&R == DispatchHandle && R.InUse && R.PowerButton == PowerButton) {
      R.InUse = FALSE;
      return EFI_SUCCESS;
    }
  }
  return EFI_INVALID_PARAMETER;
}

EFI_STATUS EFIAPI SxRegister(CONST EFI_SMM_SX_DISPATCH2_PROTOCOL *, EFI_SMM_HANDLER_ENTRY_POINT2 Handler,
                             CONST EFI_SMM_SX_REGISTER_CONTEXT *Context, EFI_HANDLE *DispatchHandle) {
  if (Context == nullptr || Context->Type >= EfiMaximumSleepType || Context->Phase >= EfiMaximumPhase) {
    return EFI_INVALID_PARAMETER;
  }
  Registration *R = NewRegistration(Handler, DispatchHandle);
  if (R == nullptr) {
    return EFI_OUT_OF_RESOURCES;
  }
  R->Sx = *Context;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI SxUnRegister(CONST EFI_SMM_SX_DISPATCH2_PROTOCOL *, EFI_HANDLE DispatchHandle) {
  return Withdraw(DispatchHandle, FALSE);
}

EFI_STATUS EFIAPI ButtonRegister(CONST EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL *, EFI_SMM_HANDLER_ENTRY_POINT2 Handler,
                                 EFI_SMM_POWER_BUTTON_REGISTER_CONTEXT *Context, EFI_HANDLE *DispatchHandle) {
  if (Context == nullptr || Context->Phase >= EfiPowerButtonMax) {
    return EFI_INVALID_PARAMETER;
  }
  Registration *R = NewRegistration(Handler, DispatchHandle);
  if (R == nullptr) {
    return EFI_OUT_OF_RESOURCES;
  }
  R->PowerButton = TRUE;
  R->Button = *Context;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI ButtonUnRegister(CONST EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL *, EFI_HANDLE DispatchHandle) {
  return Withdraw(DispatchHandle, TRUE);
}

constinit EFI_SMM_SX_DISPATCH2_PROTOCOL mSxDispatch = {SxRegister, SxUnRegister};
constinit EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL mButtonDispatch = {ButtonRegister, ButtonUnRegister};

// The test application's request. The buffer is the OS's: it is read once
// into SMRAM and written back whole.
EFI_STATUS EFIAPI RaiseEvent(EFI_HANDLE, CONST VOID *, VOID *CommBuffer, UINTN *CommBufferSize) {
  if (CommBuffer == nullptr || CommBufferSize == nullptr) {
    return EFI_SUCCESS;
  }
  UINTN Size = *CommBufferSize;
  if (Size != sizeof(TEST_SMI_MESSAGE)) {
    return EFI_SUCCESS;
  }
  TEST_SMI_MESSAGE Message;
  CopyMem(&Message, CommBuffer, sizeof(Message));
  Message.HandlersRun = 0;
  Message.Registered = 0;
  Message.LastStatus = 0;
  ZeroMem(Message.Ran, sizeof(Message.Ran));
  ZeroMem(Message.Registrations, sizeof(Message.Registrations));
  for (Registration &R : mRegistrations) {
    if (!R.InUse) {
      continue;
    }
    Message.Registrations[Message.Registered++] = (UINT64)(UINTN)R.Handler;
    BOOLEAN Matches = Message.Event == TEST_SMI_POWER_BUTTON
                          ? R.PowerButton && R.Button.Phase == EfiPowerButtonEntry
                          : !R.PowerButton && R.Sx.Type == Message.Event && R.Sx.Phase == SxEntry;
    if (!Matches) {
      continue;
    }
    // Each handler gets its own copy, as a platform's dispatcher keeps one.
    EFI_SMM_SX_REGISTER_CONTEXT Sx = R.Sx;
    EFI_SMM_POWER_BUTTON_REGISTER_CONTEXT Button = R.Button;
    UINTN NoBufferSize = 0;
    Message.LastStatus = R.Handler(&R, R.PowerButton ? (CONST VOID *)&Button : (CONST VOID *)&Sx, nullptr, &NoBufferSize);
    Message.Ran[Message.HandlersRun++] = (UINT64)(UINTN)R.Handler;
  }
  CopyMem(CommBuffer, &Message, sizeof(Message));
  return EFI_SUCCESS;
}

}  // namespace

extern "C" EFI_STATUS EFIAPI _ModuleEntryPoint(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  UefiBootServicesTableLibConstructor(ImageHandle, SystemTable);
  EFI_SMM_BASE2_PROTOCOL *Base2 = nullptr;
  EFI_STATUS Status = gBS->LocateProtocol(&gEfiSmmBase2ProtocolGuid, nullptr, (VOID **)&Base2);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  Status = Base2->GetSmstLocation(Base2, &mSmst);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  EFI_HANDLE Handle = nullptr;
  Status = mSmst->SmmInstallProtocolInterface(&Handle, &gEfiSmmSxDispatch2ProtocolGuid, EFI_NATIVE_INTERFACE, &mSxDispatch);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  Handle = nullptr;
  Status = mSmst->SmmInstallProtocolInterface(&Handle, &gEfiSmmPowerButtonDispatch2ProtocolGuid, EFI_NATIVE_INTERFACE,
                                              &mButtonDispatch);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  EFI_GUID SmiGuid = TEST_SMI_GUID;
  EFI_HANDLE SmiHandle = nullptr;
  return mSmst->SmiHandlerRegister(RaiseEvent, &SmiGuid, &SmiHandle);
}
