// Guarded hardware access, Super I/O configuration sequences and keyboard-
// controller traffic of the SMM driver.
#include <Library/BaseLib.h>
#include <Library/IoLib.h>
#include <Library/SioAccessLib.h>
#include <Library/TimerLib.h>

namespace {

constexpr UINT16 kRplMask = 3;

UINT64 IoService(UINT64 Service, UINT16 Port, UINT64 WidthCode, UINT64 Value) {
  return AsmSmmSupervisorCall(Service, Port, WidthCode, Value);
}

// Waits for the controller to take the last byte written. A dead controller
// must not hold the SMI for good, so the wait is bounded (about one second).
// The first polls run back to back, as an unbounded wait would, so a working
// controller sees the same accesses at the same moments.
BOOLEAN KbcWaitInputEmpty() {
  for (UINTN Poll = 0; Poll < KBC_INPUT_SPIN_POLLS; ++Poll) {
    if ((GuardedIoRead8(KBC_STATUS_PORT) & KBC_STATUS_IBF) == 0) {
      return TRUE;
    }
  }
  for (UINTN Poll = 0; Poll < KBC_INPUT_WAIT_TRIES; ++Poll) {
    MicroSecondDelay(KBC_INPUT_WAIT_POLL_US);
    if ((GuardedIoRead8(KBC_STATUS_PORT) & KBC_STATUS_IBF) == 0) {
      return TRUE;
    }
  }
  return FALSE;
}

BOOLEAN KbcWrite(UINT16 Port, UINT8 Value) {
  // A byte written while the input buffer is still full would overwrite the
  // one the controller has not taken; a controller that never empties it
  // gets nothing more.
  if (!KbcWaitInputEmpty()) {
    return TRUE;
  }
  GuardedIoWrite8(Port, Value);
  return KbcWaitInputEmpty() ? FALSE : TRUE;
}

VOID SioEnterAndSelect(UINT8 Register) {
  GuardedIoWrite8(SIO_INDEX_PORT, SIO_ENTER_KEY);
  GuardedIoWrite8(SIO_INDEX_PORT, SIO_ENTER_KEY);
  GuardedIoWrite8(SIO_INDEX_PORT, Register);
}

}  // namespace

// Never cached: the supervisor may demote the code between two calls.
BOOLEAN EFIAPI SioRunsDeprivileged(VOID) { return (AsmReadCs() & kRplMask) == kRplMask ? TRUE : FALSE; }

UINT8 EFIAPI GuardedIoRead8(UINT16 Port) {
  if (SioRunsDeprivileged()) {
    return (UINT8)IoService(SIO_SYSCALL_IO_READ, Port, SIO_SYSCALL_WIDTH_8, 0);
  }
  return IoRead8(Port);
}

UINT8 EFIAPI GuardedIoWrite8(UINT16 Port, UINT8 Value) {
  if (SioRunsDeprivileged()) {
    IoService(SIO_SYSCALL_IO_WRITE, Port, SIO_SYSCALL_WIDTH_8, Value);
    return Value;
  }
  return IoWrite8(Port, Value);
}

UINT16 EFIAPI GuardedIoWrite16(UINT16 Port, UINT16 Value) {
  if (SioRunsDeprivileged()) {
    IoService(SIO_SYSCALL_IO_WRITE, Port, SIO_SYSCALL_WIDTH_16, Value);
    return Value;
  }
  return IoWrite16(Port, Value);
}

UINT32 EFIAPI GuardedIoRead32(UINT16 Port) {
  if (SioRunsDeprivileged()) {
    return (UINT32)IoService(SIO_SYSCALL_IO_READ, Port, SIO_SYSCALL_WIDTH_32, 0);
  }
  return IoRead32(Port);
}

UINT32 EFIAPI GuardedIoWrite32(UINT16 Port, UINT32 Value) {
  if (SioRunsDeprivileged()) {
    IoService(SIO_SYSCALL_IO_WRITE, Port, SIO_SYSCALL_WIDTH_32, Value);
    return Value;
  }
  return IoWrite32(Port, Value);
}

UINT64 EFIAPI GuardedReadMsr(UINT32 Index) {
  if (SioRunsDeprivileged()) {
    return AsmSmmSupervisorCall(SIO_SYSCALL_READ_MSR, Index, 0, 0);
  }
  return AsmReadMsr64(Index);
}

BOOLEAN EFIAPI GuardedSaveAndDisableInterrupts(VOID) {
  BOOLEAN Deprivileged = SioRunsDeprivileged();
  // Reading RFLAGS is allowed at any privilege level; only CLI is not.
  BOOLEAN InterruptState = GetInterruptState();
  if (Deprivileged) {
    AsmSmmSupervisorCall(SIO_SYSCALL_DISABLE_INTERRUPTS, 0, 0, 0);
  } else {
    DisableInterrupts();
  }
  return InterruptState;
}

BOOLEAN EFIAPI GuardedSetInterruptState(BOOLEAN InterruptState) {
  BOOLEAN Deprivileged = SioRunsDeprivileged();
  if (InterruptState) {
    // STI at privilege level 3 raises #GP inside the SMI, and the
    // supervisor offers no service that sets the flag. Deprivileged code
    // leaves it clear, as SMM runs anyway; the interrupted context gets its
    // own flag back when the SMI returns.
    if (!Deprivileged) {
      EnableInterrupts();
    }
  } else if (Deprivileged) {
    AsmSmmSupervisorCall(SIO_SYSCALL_DISABLE_INTERRUPTS, 0, 0, 0);
  } else {
    DisableInterrupts();
  }
  return InterruptState;
}

VOID EFIAPI SioWriteRegister(UINT8 Register, UINT8 Value) {
  SioEnterAndSelect(Register);
  GuardedIoWrite8(SIO_DATA_PORT, Value);
  GuardedIoWrite8(SIO_INDEX_PORT, SIO_EXIT_KEY);
}

UINT8 EFIAPI SioReadRegister(UINT8 Register) {
  SioEnterAndSelect(Register);
  UINT8 Value = GuardedIoRead8(SIO_DATA_PORT);
  GuardedIoWrite8(SIO_INDEX_PORT, SIO_EXIT_KEY);
  return Value;
}

VOID EFIAPI SioModifyRegister(UINT8 Register, UINT8 AndMask, UINT8 OrValue) {
  SioEnterAndSelect(Register);
  UINT8 Value = GuardedIoRead8(SIO_DATA_PORT);
  GuardedIoWrite8(SIO_INDEX_PORT, Register);
  GuardedIoWrite8(SIO_DATA_PORT, (UINT8)((Value & AndMask) | OrValue));
  GuardedIoWrite8(SIO_INDEX_PORT, SIO_EXIT_KEY);
}

BOOLEAN EFIAPI KbcWriteData(UINT8 Value) { return KbcWrite(KBC_DATA_PORT, Value); }

BOOLEAN EFIAPI KbcWriteCommand(UINT8 Value) { return KbcWrite(KBC_STATUS_PORT, Value); }

BOOLEAN EFIAPI KbcReadData(UINT8 *Value) {
  for (UINTN Poll = 0; Poll < KBC_READ_TRIES; ++Poll) {
    UINT8 Status = GuardedIoRead8(KBC_STATUS_PORT);
    if ((Status & KBC_STATUS_OBF) != 0) {
      *Value = GuardedIoRead8(KBC_DATA_PORT);
      return FALSE;
    }
    if ((Status & KBC_STATUS_TIMEOUT) != 0) {
      return TRUE;
    }
    // The wait is before the next poll; after the last one there is none.
    if (Poll + 1 < KBC_READ_TRIES) {
      MicroSecondDelay(KBC_READ_POLL_US);
    }
  }
  return TRUE;
}
