// Host instance of the hardware seam: every access goes to the simulated board.
#include <Library/BaseLib.h>
#include <Library/IoLib.h>

#include "SimHardwarePort.h"

namespace {
constinit SimHardwarePort *mPort = nullptr;

SimHardwarePort &Port() {
  if (mPort == nullptr) {
    __builtin_trap();  // an image entered without a board bound to it
  }
  return *mPort;
}
}  // namespace

extern "C" MODULE_EXPORT void BoardSimBindHardware(SimHardwarePort *Port) { mPort = Port; }

UINT8 EFIAPI IoRead8(UINTN Port) { return (UINT8)::Port().IoRead((uint16_t)Port, 8); }
UINT16 EFIAPI IoRead16(UINTN Port) { return (UINT16)::Port().IoRead((uint16_t)Port, 16); }
UINT32 EFIAPI IoRead32(UINTN Port) { return ::Port().IoRead((uint16_t)Port, 32); }
UINT8 EFIAPI IoWrite8(UINTN Port, UINT8 Value) {
  ::Port().IoWrite((uint16_t)Port, 8, Value);
  return Value;
}
UINT16 EFIAPI IoWrite16(UINTN Port, UINT16 Value) {
  ::Port().IoWrite((uint16_t)Port, 16, Value);
  return Value;
}
UINT32 EFIAPI IoWrite32(UINTN Port, UINT32 Value) {
  ::Port().IoWrite((uint16_t)Port, 32, Value);
  return Value;
}

UINT8 EFIAPI MmioRead8(UINTN Address) { return (UINT8)Port().MmioRead(Address, 8); }
UINT16 EFIAPI MmioRead16(UINTN Address) { return (UINT16)Port().MmioRead(Address, 16); }
UINT32 EFIAPI MmioRead32(UINTN Address) { return (UINT32)Port().MmioRead(Address, 32); }
UINT64 EFIAPI MmioRead64(UINTN Address) { return Port().MmioRead(Address, 64); }
UINT8 EFIAPI MmioWrite8(UINTN Address, UINT8 Value) {
  Port().MmioWrite(Address, 8, Value);
  return Value;
}
UINT16 EFIAPI MmioWrite16(UINTN Address, UINT16 Value) {
  Port().MmioWrite(Address, 16, Value);
  return Value;
}
UINT32 EFIAPI MmioWrite32(UINTN Address, UINT32 Value) {
  Port().MmioWrite(Address, 32, Value);
  return Value;
}
UINT64 EFIAPI MmioWrite64(UINTN Address, UINT64 Value) {
  Port().MmioWrite(Address, 64, Value);
  return Value;
}

UINT32 EFIAPI AsmCpuidEx(UINT32 Index, UINT32 SubIndex, UINT32 *RegisterEax, UINT32 *RegisterEbx, UINT32 *RegisterEcx,
                         UINT32 *RegisterEdx) {
  uint32_t Regs[4] = {0, 0, 0, 0};
  Port().Cpuid(Index, SubIndex, Regs);
  if (RegisterEax != nullptr) *RegisterEax = Regs[0];
  if (RegisterEbx != nullptr) *RegisterEbx = Regs[1];
  if (RegisterEcx != nullptr) *RegisterEcx = Regs[2];
  if (RegisterEdx != nullptr) *RegisterEdx = Regs[3];
  return Index;
}
UINT32 EFIAPI AsmCpuid(UINT32 Index, UINT32 *RegisterEax, UINT32 *RegisterEbx, UINT32 *RegisterEcx, UINT32 *RegisterEdx) {
  return AsmCpuidEx(Index, 0, RegisterEax, RegisterEbx, RegisterEcx, RegisterEdx);
}
UINT64 EFIAPI AsmReadMsr64(UINT32 Index) { return Port().ReadMsr(Index); }
UINT64 EFIAPI AsmWriteMsr64(UINT32 Index, UINT64 Value) {
  Port().WriteMsr(Index, Value);
  return Value;
}
UINT64 EFIAPI AsmReadTsc(VOID) { return Port().ReadTsc(); }
VOID EFIAPI CpuPause(VOID) { Port().Pause(); }
VOID EFIAPI DisableInterrupts(VOID) { Port().SetInterruptFlag(false); }
VOID EFIAPI EnableInterrupts(VOID) { Port().SetInterruptFlag(true); }
BOOLEAN EFIAPI GetInterruptState(VOID) { return Port().GetInterruptFlag() ? TRUE : FALSE; }
UINT16 EFIAPI AsmReadCs(VOID) { return Port().ReadCs(); }
UINT64 EFIAPI AsmCpuidReadSi(UINT32 Eax, UINT32 Ebx) { return Port().CpuidReadSi(Eax, Ebx); }
UINT64 EFIAPI AsmSmmSupervisorCall(UINT64 Service, UINT64 Arg1, UINT64 Arg2, UINT64 Arg3) {
  return Port().SupervisorCall(Service, Arg1, Arg2, Arg3);
}
