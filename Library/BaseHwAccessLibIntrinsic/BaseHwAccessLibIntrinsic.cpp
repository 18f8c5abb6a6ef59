// Firmware instance of the hardware seam: the instructions themselves.
#include <Library/BaseLib.h>
#include <Library/IoLib.h>

UINT8 EFIAPI IoRead8(UINTN Port) {
  UINT8 Value;
  __asm__ __volatile__("inb %w1, %b0" : "=a"(Value) : "Nd"((UINT16)Port));
  return Value;
}
UINT16 EFIAPI IoRead16(UINTN Port) {
  UINT16 Value;
  __asm__ __volatile__("inw %w1, %w0" : "=a"(Value) : "Nd"((UINT16)Port));
  return Value;
}
UINT32 EFIAPI IoRead32(UINTN Port) {
  UINT32 Value;
  __asm__ __volatile__("inl %w1, %0" : "=a"(Value) : "Nd"((UINT16)Port));
  return Value;
}
UINT8 EFIAPI IoWrite8(UINTN Port, UINT8 Value) {
  __asm__ __volatile__("outb %b0, %w1" : : "a"(Value), "Nd"((UINT16)Port));
  return Value;
}
UINT16 EFIAPI IoWrite16(UINTN Port, UINT16 Value) {
  __asm__ __volatile__("outw %w0, %w1" : : "a"(Value), "Nd"((UINT16)Port));
  return Value;
}
UINT32 EFIAPI IoWrite32(UINTN Port, UINT32 Value) {
  __asm__ __volatile__("outl %0, %w1" : : "a"(Value), "Nd"((UINT16)Port));
  return Value;
}

UINT8 EFIAPI MmioRead8(UINTN Address) { return *(volatile UINT8 *)Address; }
UINT16 EFIAPI MmioRead16(UINTN Address) { return *(volatile UINT16 *)Address; }
UINT32 EFIAPI MmioRead32(UINTN Address) { return *(volatile UINT32 *)Address; }
UINT64 EFIAPI MmioRead64(UINTN Address) { return *(volatile UINT64 *)Address; }
UINT8 EFIAPI MmioWrite8(UINTN Address, UINT8 Value) {
  *(volatile UINT8 *)Address = Value;
  return Value;
}
UINT16 EFIAPI MmioWrite16(UINTN Address, UINT16 Value) {
  *(volatile UINT16 *)Address = Value;
  return Value;
}
UINT32 EFIAPI MmioWrite32(UINTN Address, UINT32 Value) {
  *(volatile UINT32 *)Address = Value;
  return Value;
}
UINT64 EFIAPI MmioWrite64(UINTN Address, UINT64 Value) {
  *(volatile UINT64 *)Address = Value;
  return Value;
}

UINT32 EFIAPI AsmCpuidEx(UINT32 Index, UINT32 SubIndex, UINT32 *RegisterEax, UINT32 *RegisterEbx, UINT32 *RegisterEcx,
                         UINT32 *RegisterEdx) {
  UINT32 A, B, C, D;
  __asm__ __volatile__("cpuid" : "=a"(A), "=b"(B), "=c"(C), "=d"(D) : "a"(Index), "c"(SubIndex));
  if (RegisterEax != nullptr) *RegisterEax = A;
  if (RegisterEbx != nullptr) *RegisterEbx = B;
  if (RegisterEcx != nullptr) *RegisterEcx = C;
  if (RegisterEdx != nullptr) *RegisterEdx = D;
  return Index;
}
UINT32 EFIAPI AsmCpuid(UINT32 Index, UINT32 *RegisterEax, UINT32 *RegisterEbx, UINT32 *RegisterEcx, UINT32 *RegisterEdx) {
  return AsmCpuidEx(Index, 0, RegisterEax, RegisterEbx, RegisterEcx, RegisterEdx);
}
UINT64 EFIAPI AsmReadMsr64(UINT32 Index) {
  UINT32 Low, High;
  __asm__ __volatile__("rdmsr" : "=a"(Low), "=d"(High) : "c"(Index));
  return ((UINT64)High << 32) | Low;
}
UINT64 EFIAPI AsmWriteMsr64(UINT32 Index, UINT64 Value) {
  __asm__ __volatile__("wrmsr" : : "c"(Index), "a"((UINT32)Value), "d"((UINT32)(Value >> 32)));
  return Value;
}
UINT64 EFIAPI AsmReadTsc(VOID) {
  UINT32 Low, High;
  __asm__ __volatile__("rdtsc" : "=a"(Low), "=d"(High));
  return ((UINT64)High << 32) | Low;
}
VOID EFIAPI CpuPause(VOID) { __asm__ __volatile__("pause"); }
VOID EFIAPI DisableInterrupts(VOID) { __asm__ __volatile__("cli" ::: "memory"); }
VOID EFIAPI EnableInterrupts(VOID) { __asm__ __volatile__("sti" ::: "memory"); }
BOOLEAN EFIAPI GetInterruptState(VOID) {
  UINT64 Flags;
  __asm__ __volatile__("pushfq\n\tpopq %0" : "=r"(Flags));
  return (Flags & 0x200) != 0 ? TRUE : FALSE;
}
UINT16 EFIAPI AsmReadCs(VOID) {
  UINT16 Cs;
  __asm__ __volatile__("movw %%cs, %0" : "=r"(Cs));
  return Cs;
}

// Written whole in assembly: the register contract covers the entire call,
// which compiled code around an asm statement could not promise.
__attribute__((naked)) UINT64 EFIAPI AsmCpuidReadSi(UINT32 /*Eax*/, UINT32 /*Ebx*/) {
  __asm__ __volatile__(
      "pushfq\n\t"
      "pushq %rbx\n\t"
      "pushq %rcx\n\t"
      "pushq %rdx\n\t"
      "pushq %rsi\n\t"
      "movl %ecx, %eax\n\t"
      "movl %edx, %ebx\n\t"
      "xorl %ecx, %ecx\n\t"
      "xorl %esi, %esi\n\t"
      "cpuid\n\t"
      "movq %rsi, %rax\n\t"
      "popq %rsi\n\t"
      "popq %rdx\n\t"
      "popq %rcx\n\t"
      "popq %rbx\n\t"
      "popfq\n\t"
      "ret");
}

// The arguments already sit where the supervisor wants them (RDX, R8, R9);
// SYSCALL itself overwrites RCX and R11.
__attribute__((naked)) UINT64 EFIAPI AsmSmmSupervisorCall(UINT64 /*Service*/, UINT64 /*Arg1*/, UINT64 /*Arg2*/,
                                                         UINT64 /*Arg3*/) {
  __asm__ __volatile__(
      "movq %rcx, %rax\n\t"
      "pushq %r11\n\t"
      "syscall\n\t"
      "popq %r11\n\t"
      "ret");
}
