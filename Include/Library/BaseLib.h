// BaseLib: CPU primitives, jump buffers and string helpers.
// The CPU primitives are the hardware seam: an inline-assembly instance for
// the firmware and a simulator instance for the host implement them.
#pragma once

#include <Uefi/UefiBaseType.h>

// CPU primitives (hardware seam).
UINT32 EFIAPI AsmCpuid(UINT32 Index, UINT32 *RegisterEax, UINT32 *RegisterEbx, UINT32 *RegisterEcx, UINT32 *RegisterEdx);
UINT32 EFIAPI AsmCpuidEx(UINT32 Index, UINT32 SubIndex, UINT32 *RegisterEax, UINT32 *RegisterEbx, UINT32 *RegisterEcx, UINT32 *RegisterEdx);
UINT64 EFIAPI AsmReadMsr64(UINT32 Index);
UINT64 EFIAPI AsmWriteMsr64(UINT32 Index, UINT64 Value);
UINT64 EFIAPI AsmReadTsc(VOID);
VOID EFIAPI CpuPause(VOID);
VOID EFIAPI DisableInterrupts(VOID);
VOID EFIAPI EnableInterrupts(VOID);
BOOLEAN EFIAPI GetInterruptState(VOID);
UINT16 EFIAPI AsmReadCs(VOID);
// CPUID with the given EAX and EBX and SI cleared beforehand; returns SI
// afterwards (a simulation environment answers its query leaf there). Every
// other register and the flags are preserved.
UINT64 EFIAPI AsmCpuidReadSi(UINT32 Eax, UINT32 Ebx);
// A system call to the SMM supervisor (deprivileged SMM only): service number
// in RAX, arguments in RDX, R8, R9, result in RAX; R11 preserved around SYSCALL.
UINT64 EFIAPI AsmSmmSupervisorCall(UINT64 Service, UINT64 Arg1, UINT64 Arg2, UINT64 Arg3);

// Derived from the primitives above; one implementation for both targets.
BOOLEAN EFIAPI SaveAndDisableInterrupts(VOID);
BOOLEAN EFIAPI SetInterruptState(BOOLEAN InterruptState);

// Non-local jumps (x86-64, callee-saved registers of the Microsoft ABI).
typedef struct {
  UINT64 Rbx;
  UINT64 Rsp;
  UINT64 Rbp;
  UINT64 Rdi;
  UINT64 Rsi;
  UINT64 R12;
  UINT64 R13;
  UINT64 R14;
  UINT64 R15;
  UINT64 Rip;
  UINT64 MxCsr;
  UINT8 XmmBuffer[160];  // XMM6-XMM15
} BASE_LIBRARY_JUMP_BUFFER;
static_assert(sizeof(BASE_LIBRARY_JUMP_BUFFER) == 248, "BASE_LIBRARY_JUMP_BUFFER");
#define BASE_LIBRARY_JUMP_BUFFER_ALIGNMENT 8

extern "C" UINTN EFIAPI SetJump(BASE_LIBRARY_JUMP_BUFFER *JumpBuffer) __attribute__((returns_twice));
extern "C" [[noreturn]] VOID EFIAPI LongJump(BASE_LIBRARY_JUMP_BUFFER *JumpBuffer, UINTN Value);

// Strings.
UINTN EFIAPI AsciiStrLen(CONST CHAR8 *String);
UINTN EFIAPI AsciiStrnLenS(CONST CHAR8 *String, UINTN MaxSize);
INTN EFIAPI AsciiStrCmp(CONST CHAR8 *FirstString, CONST CHAR8 *SecondString);
UINTN EFIAPI StrLen(CONST CHAR16 *String);
UINTN EFIAPI StrSize(CONST CHAR16 *String);
INTN EFIAPI StrCmp(CONST CHAR16 *FirstString, CONST CHAR16 *SecondString);
