// Interrupt-state helpers over the seam's primitives, shared by both targets.
#include <Library/BaseLib.h>

BOOLEAN EFIAPI SaveAndDisableInterrupts(VOID) {
  BOOLEAN InterruptState = GetInterruptState();
  DisableInterrupts();
  return InterruptState;
}

BOOLEAN EFIAPI SetInterruptState(BOOLEAN InterruptState) {
  if (InterruptState) {
    EnableInterrupts();
  } else {
    DisableInterrupts();
  }
  return InterruptState;
}
