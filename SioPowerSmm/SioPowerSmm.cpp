// Sleep-entry and power-button SMI handlers: they prepare the Super I/O
// (logical device 0x0A) and its keyboard controller for S3, S4 and S5, and
// on S5 entry and a power-button press apply the power-off programming that
// Setup enables.
#include <Library/SioAccessLib.h>
#include <SetupConfig.h>

#include "SioPowerSmm.h"

namespace {

constexpr UINT8 kSioLdnPower = 0x0A;
constexpr UINT16 kChipsetStatusPort = 0x803;
constexpr UINT8 kChipsetStatusNoPowerOff = 0x04;
constexpr UINT8 kAuxPresent = 0x08;  // register 0xF4 bit 3

constexpr UINT8 kKbcWriteAux = 0xD4;
constexpr UINT8 kAuxReset = 0xFF;
constexpr UINT8 kAuxEnableReporting = 0xF4;
constexpr UINT8 kKeyboardSetLeds = 0xED;
constexpr UINT8 kKeyboardLedsOff = 0x00;

// The dispatchers are handed contexts that outlive the registration call.
constinit EFI_SMM_SX_REGISTER_CONTEXT mSioSxContexts[] = {{SxS3, SxEntry}, {SxS4, SxEntry}, {SxS5, SxEntry}};
constinit EFI_SMM_POWER_BUTTON_REGISTER_CONTEXT mSioPowerButtonContext = {EfiPowerButtonEntry};

VOID SioSelectPowerDevice() { SioWriteRegister(SIO_LDN_REGISTER, kSioLdnPower); }

// Each answer is only drained; whether it came does not matter.
VOID KbcDrain() {
  UINT8 Answer = 0;
  KbcReadData(&Answer);
}

VOID SioPrepareS4() {
  SioSelectPowerDevice();
  SioModifyRegister(0x30, 0xFE, 0x00);
  SioModifyRegister(0xF0, 0xE7, 0x00);
  SioWriteRegister(0xF1, 0xFF);
  if ((SioReadRegister(0xF4) & kAuxPresent) != 0) {
    KbcWriteCommand(kKbcWriteAux);
    KbcWriteData(kAuxReset);
    KbcDrain();  // acknowledge
    KbcDrain();  // self-test result
    KbcDrain();  // device id
    KbcWriteCommand(kKbcWriteAux);
    KbcWriteData(kAuxEnableReporting);
    KbcDrain();
  }
}

VOID KeyboardLedsOff() {
  KbcWriteData(kKeyboardSetLeds);
  KbcDrain();
  KbcWriteData(kKeyboardLedsOff);
  KbcDrain();
}

}  // namespace

EFI_STATUS EFIAPI SioPowerSmmInit(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  (void)ImageHandle;
  EFI_STATUS Status = SioSmmLibInit(SystemTable);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  // SMM Base2 found but no system table from it: nothing can be registered.
  if (mSioSmst == nullptr) {
    return EFI_UNSUPPORTED;
  }
  EFI_SMM_SX_DISPATCH2_PROTOCOL *SxDispatch = nullptr;
  Status = mSioSmst->SmmLocateProtocol(&gEfiSmmSxDispatch2ProtocolGuid, nullptr, (VOID **)&SxDispatch);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  EFI_HANDLE SxHandles[ARRAY_SIZE(mSioSxContexts)] = {};
  for (UINTN Index = 0; Index < ARRAY_SIZE(mSioSxContexts); ++Index) {
    if (EFI_ERROR(SxDispatch->Register(SxDispatch, SioSxHandler, &mSioSxContexts[Index], &SxHandles[Index]))) {
      SxHandles[Index] = nullptr;
    }
  }
  EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL *PowerButtonDispatch = nullptr;
  Status = mSioSmst->SmmLocateProtocol(&gEfiSmmPowerButtonDispatch2ProtocolGuid, nullptr, (VOID **)&PowerButtonDispatch);
  if (!EFI_ERROR(Status)) {
    EFI_HANDLE Handle = nullptr;
    Status = PowerButtonDispatch->Register(PowerButtonDispatch, SioPowerButtonHandler, &mSioPowerButtonContext, &Handle);
  }
  if (EFI_ERROR(Status)) {
    // The SMM core frees the image of a failed entry: a handler left
    // registered would have the next SMI jump into freed SMRAM.
    for (EFI_HANDLE Handle : SxHandles) {
      if (Handle != nullptr) {
        SxDispatch->UnRegister(SxDispatch, Handle);
      }
    }
  }
  return Status;
}

EFI_STATUS EFIAPI SioSxHandler(EFI_HANDLE DispatchHandle, CONST VOID *Context, VOID *CommBuffer,
                               UINTN *CommBufferSize) {
  (void)DispatchHandle;
  (void)CommBuffer;
  (void)CommBufferSize;
  if (Context == nullptr) {
    return EFI_SUCCESS;
  }
  switch (((CONST EFI_SMM_SX_REGISTER_CONTEXT *)Context)->Type) {
    case SxS3:
      SioSelectPowerDevice();
      SioModifyRegister(0xF9, 0x00, 0x0C);
      SioPrepareS4();
      KeyboardLedsOff();
      break;
    case SxS4:
      SioPrepareS4();
      KeyboardLedsOff();
      break;
    case SxS5:
      KeyboardLedsOff();
      SioPowerOffProgram();
      break;
    default:
      break;
  }
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI SioPowerButtonHandler(EFI_HANDLE DispatchHandle, CONST VOID *Context, VOID *CommBuffer,
                                        UINTN *CommBufferSize) {
  (void)DispatchHandle;
  (void)Context;
  (void)CommBuffer;
  (void)CommBufferSize;
  SioPowerOffProgram();
  return EFI_SUCCESS;
}

VOID EFIAPI SioPowerOffProgram(VOID) {
  if (mSioSmst == nullptr) {
    return;
  }
  EFI_SMM_VARIABLE_PROTOCOL *SmmVariable = nullptr;
  EFI_STATUS Status = mSioSmst->SmmLocateProtocol(&gEfiSmmVariableProtocolGuid, nullptr, (VOID **)&SmmVariable);
  if (EFI_ERROR(Status) || SmmVariable == nullptr) {
    return;
  }
  // Read anew on every press: the user may have changed Setup since boot.
  SETUP_CONFIG Setup;
  UINTN Size = 0;
  Status = SetupVariableReadWith(SmmVariable->SmmGetVariable, &Setup, nullptr, &Size);
  BOOLEAN Wanted = !EFI_ERROR(Status) && SETUP_HOLDS(Size, OFFSET_OF(SETUP_CONFIG, SioPowerOffEnable)) &&
                   Setup.SioPowerOffEnable != 0 && Setup.SioPowerOffInhibit == 0 && Setup.SioPowerOffInhibitMode != 1;

  // Read whatever Setup decided.
  if ((GuardedIoRead8(kChipsetStatusPort) & kChipsetStatusNoPowerOff) != 0) {
    return;
  }
  if (!Wanted) {
    return;
  }
  SioModifyRegister(0x27, 0xBF, 0x00);  // a global register: before any device is selected here
  SioSelectPowerDevice();
  SioModifyRegister(0xE0, 0x7F, 0x80);
  SioModifyRegister(0xEC, 0x00, 0x04);
}
