// Copies the signal-integrity tuning values chosen in Setup into the port and
// link tuning registers over SMN.
#include <Library/DriverServicesLib.h>
#include <Library/DxeDriverEntryLib.h>
#include <SetupConfig.h>
#include <SmnAccess.h>

#include "SignalTuneDxe.h"

// Indexed by controller * 5 + port. Controller 2 has no Setup bytes and is never tuned.
constexpr UINT32 mSiPortRegister[SI_CONTROLLER_COUNT * SI_PORTS_PER_CONTROLLER] = {
    0x16D1C000, 0x16D1C400, 0x16D1C800, 0x16D1CC00, 0x16D1D000,  // controller 0
    0x16F1C000, 0x16F1C400, 0x16F1C800, 0x16F1CC00, 0x16F1D000,  // controller 1
    0x1711C000, 0x1711C400, 0x1711C800, 0x1711CC00, 0x1711D000,  // controller 2
    0x1731C000, 0x1731C400, 0x1731C800, 0x1731CC00, 0x1731D000,  // controller 3
    0x1961C000, 0x1961C400, 0x1961C800, 0x1961CC00, 0x1961D000,  // controller 4
};

// Three rows (first, second, third register) of four links; links 2-3 are never tuned.
constexpr UINT32 mSiLinkRegister[3][SI_LINK_TABLE_COUNT] = {
    {0x16C0C2C0, 0x16C0C2C4, 0x16C0C2C8, 0x16C0C2CC},
    {0x16D68018, 0x16D68418, 0x16F68018, 0x16F68418},
    {0x16D68028, 0x16D68428, 0x16F68028, 0x16F68428},
};

namespace {

// Clears the field and ORs the value in whole: a value wider than its field
// also sets the bits above it, as the hardware programming has always done.
UINT32 MergeField(UINT32 Register, UINT8 Value, UINT32 ClearMask, UINT32 Shift) {
  if (Value == SETUP_VALUE_KEEP) {
    return Register;
  }
  return (Register & ClearMask) | ((UINT32)Value << Shift);
}

}  // namespace

VOID EFIAPI SiTuneControllerPorts(UINT8 Controller, UINT8 PortCount, CONST UINT8 *Bits31To28, CONST UINT8 *Bits21To20,
                                  CONST UINT8 *Bits2To0) {
  for (UINT8 Port = 0; Port < PortCount; ++Port) {
    UINT32 Address = mSiPortRegister[Controller * SI_PORTS_PER_CONTROLLER + Port];
    UINT32 Value = SmnRegisterRead32(Address);
    Value = MergeField(Value, Bits31To28[Port], 0x0FFFFFFF, 28);
    Value = MergeField(Value, Bits21To20[Port], 0xFFCFFFFF, 20);
    Value = MergeField(Value, Bits2To0[Port], 0xFFFFFFF8, 0);
    // Written back even when every byte asked to keep the hardware value.
    SmnRegisterWrite32(Address, Value);
  }
}

VOID EFIAPI SiTuneLinks(CONST UINT8 *Bit30, CONST UINT8 *Bits22To20, CONST UINT8 *Bits10To8, CONST UINT8 *Bits2To0) {
  for (UINTN Link = 0; Link < SI_LINK_TUNED_COUNT; ++Link) {
    // A plain switch: any non-zero byte, 0xFF included, sets the bit; nothing clears it.
    if (Bit30[Link] != 0) {
      UINT32 First = mSiLinkRegister[0][Link];
      SmnRegisterWrite32(First, SmnRegisterRead32(First) | BIT30);
    }
    if (Bits22To20[Link] != SETUP_VALUE_KEEP) {
      UINT32 Second = mSiLinkRegister[1][Link];
      SmnRegisterWrite32(Second, MergeField(SmnRegisterRead32(Second), Bits22To20[Link], 0xFF8FFFFF, 20));
    }
    UINT32 Third = mSiLinkRegister[2][Link];
    UINT32 Value = SmnRegisterRead32(Third);
    Value = MergeField(Value, Bits10To8[Link], 0xFFFFF8FF, 8);
    Value = MergeField(Value, Bits2To0[Link], 0xFFFFFFF8, 0);
    SmnRegisterWrite32(Third, Value);
  }
}

EFI_STATUS EFIAPI SignalTuneDxeEntryPoint(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  (void)ImageHandle;
  DriverServicesInit(SystemTable);

  SETUP_CONFIG Setup;
  UINTN Size = 0;
  if (EFI_ERROR(SetupVariableRead(gDriverRuntimeServices, &Setup, nullptr, &Size)) ||
      !SETUP_HOLDS(Size, OFFSET_OF(SETUP_CONFIG, SiLinkBits2To0) + 1)) {
    return EFI_SUCCESS;
  }
  if (Setup.SiTuneEnable == 0) {
    return EFI_SUCCESS;
  }
  SiTuneControllerPorts(0, 5, Setup.SiCtrl0Bits31To28, Setup.SiCtrl0Bits21To20, Setup.SiCtrl0Bits2To0);
  SiTuneControllerPorts(1, 1, &Setup.SiCtrl1Bits31To28, &Setup.SiCtrl1Bits21To20, &Setup.SiCtrl1Bits2To0);
  SiTuneControllerPorts(3, 1, &Setup.SiCtrl3Bits31To28, &Setup.SiCtrl3Bits21To20, &Setup.SiCtrl3Bits2To0);
  SiTuneControllerPorts(4, 1, &Setup.SiCtrl4Bits31To28, &Setup.SiCtrl4Bits21To20, &Setup.SiCtrl4Bits2To0);
  SiTuneLinks(Setup.SiLinkBit30, Setup.SiLinkBits22To20, Setup.SiLinkBits10To8, Setup.SiLinkBits2To0);
  return EFI_SUCCESS;
}

DXE_DRIVER_IMAGE_ENTRY("SignalTuneDxe", SignalTuneDxeEntryPoint, DxeEntryReturnBodyStatus)
