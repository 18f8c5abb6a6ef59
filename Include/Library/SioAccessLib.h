// Privilege-aware port, MSR and interrupt-flag access for the SMM driver,
// the Super I/O configuration sequences and the keyboard-controller traffic.
//
// Every accessor decides on each call whether the code runs deprivileged
// (code-segment RPL 3 under an SMM supervisor); there the privileged
// instruction is handed to the supervisor through a system call.
#pragma once

#include <Uefi.h>

#define SIO_INDEX_PORT 0x2E
#define SIO_DATA_PORT 0x2F
#define SIO_ENTER_KEY 0x87
#define SIO_EXIT_KEY 0xAA
#define SIO_LDN_REGISTER 0x07

#define KBC_DATA_PORT 0x60
#define KBC_STATUS_PORT 0x64  // status on read, command on write
#define KBC_STATUS_OBF 0x01
#define KBC_STATUS_IBF 0x02
#define KBC_STATUS_TIMEOUT 0x40
#define KBC_READ_TRIES 2000
#define KBC_READ_POLL_US 500

// The input-buffer wait: a short burst of back-to-back polls (a working
// controller takes a byte within microseconds), then polls 500 us apart, so
// a controller that never takes the byte gives up after about one second.
#define KBC_INPUT_SPIN_POLLS 64
#define KBC_INPUT_WAIT_TRIES 2000
#define KBC_INPUT_WAIT_POLL_US 500

// Supervisor services (deprivileged mode only).
#define SIO_SYSCALL_READ_MSR 0
#define SIO_SYSCALL_DISABLE_INTERRUPTS 2
#define SIO_SYSCALL_IO_READ 3
#define SIO_SYSCALL_IO_WRITE 4

// Width codes of the I/O services.
#define SIO_SYSCALL_WIDTH_8 0
#define SIO_SYSCALL_WIDTH_16 1
#define SIO_SYSCALL_WIDTH_32 2

// TRUE when the code segment's requested privilege level is 3.
BOOLEAN EFIAPI SioRunsDeprivileged(VOID);

UINT8 EFIAPI GuardedIoRead8(UINT16 Port);
UINT8 EFIAPI GuardedIoWrite8(UINT16 Port, UINT8 Value);
UINT16 EFIAPI GuardedIoWrite16(UINT16 Port, UINT16 Value);
UINT32 EFIAPI GuardedIoRead32(UINT16 Port);
UINT32 EFIAPI GuardedIoWrite32(UINT16 Port, UINT32 Value);
UINT64 EFIAPI GuardedReadMsr(UINT32 Index);
// Returns the interrupt flag as it was before it was cleared.
BOOLEAN EFIAPI GuardedSaveAndDisableInterrupts(VOID);
BOOLEAN EFIAPI GuardedSetInterruptState(BOOLEAN InterruptState);

// Complete configuration-mode sequences on the Super I/O.
VOID EFIAPI SioWriteRegister(UINT8 Register, UINT8 Value);
UINT8 EFIAPI SioReadRegister(UINT8 Register);
// The register becomes (old AND AndMask) OR OrValue; always read, also for a mask of 0.
VOID EFIAPI SioModifyRegister(UINT8 Register, UINT8 AndMask, UINT8 OrValue);

// Both return TRUE on a time-out: before the write (the byte is then not sent)
// or after it (the controller never took it).
BOOLEAN EFIAPI KbcWriteData(UINT8 Value);
BOOLEAN EFIAPI KbcWriteCommand(UINT8 Value);
// FALSE when a byte was read into *Value; TRUE when none came (time-out).
BOOLEAN EFIAPI KbcReadData(UINT8 *Value);
