// The firmware seam's CPUID-with-SI and supervisor-call stubs, run on the
// build machine: their register contracts hold for the whole call, so they
// are checked from assembly that sets and reads the registers around it.
#include <unistd.h>
#include <sys/syscall.h>

#include <cstdint>

#include <gtest/gtest.h>

#include <Library/BaseLib.h>

// System V helpers: call Fn (a Microsoft-convention function) with the
// registers set as below and report the registers it returns with.
//   CallCpuidReadSi(Fn, Eax, Ebx, Out): RBX and RSI hold markers, the carry
//     flag is set; Out = {RAX, RBX, RCX, RDX, RSI, carry flag}.
//   CallSupervisor(Fn, Service, R11, Out): RDX, R8, R9 zero;
//     Out = {RAX, R11}.
extern "C" void CallCpuidReadSi(void *Fn, uint64_t Eax, uint64_t Ebx, uint64_t *Out);
extern "C" void CallSupervisor(void *Fn, uint64_t Service, uint64_t R11, uint64_t *Out);

__asm__(
    ".text\n"
    ".globl CallCpuidReadSi\n"
    ".type CallCpuidReadSi, @function\n"
    "CallCpuidReadSi:\n"
    "  pushq %rbx\n"
    "  pushq %rbp\n"
    "  pushq %r12\n"
    "  movq %rdi, %rbp\n"
    "  movq %rcx, %r12\n"
    "  movq %rsi, %rcx\n"
    "  movabsq $0x1111111111111111, %rbx\n"
    "  movabsq $0x2222222222222222, %rsi\n"
    "  subq $32, %rsp\n"
    "  stc\n"
    "  callq *%rbp\n"
    "  setc %r8b\n"
    "  addq $32, %rsp\n"
    "  movq %rax, 0(%r12)\n"
    "  movq %rbx, 8(%r12)\n"
    "  movq %rcx, 16(%r12)\n"
    "  movq %rdx, 24(%r12)\n"
    "  movq %rsi, 32(%r12)\n"
    "  movzbq %r8b, %r8\n"
    "  movq %r8, 40(%r12)\n"
    "  popq %r12\n"
    "  popq %rbp\n"
    "  popq %rbx\n"
    "  ret\n"
    ".size CallCpuidReadSi, .-CallCpuidReadSi\n"
    ".globl CallSupervisor\n"
    ".type CallSupervisor, @function\n"
    "CallSupervisor:\n"
    "  pushq %rbx\n"
    "  pushq %rbp\n"
    "  pushq %r12\n"
    "  movq %rdi, %rbp\n"
    "  movq %rcx, %r12\n"
    "  movq %rdx, %r11\n"
    "  movq %rsi, %rcx\n"
    "  xorl %edx, %edx\n"
    "  xorl %r8d, %r8d\n"
    "  xorl %r9d, %r9d\n"
    "  subq $32, %rsp\n"
    "  callq *%rbp\n"
    "  addq $32, %rsp\n"
    "  movq %rax, 0(%r12)\n"
    "  movq %r11, 8(%r12)\n"
    "  popq %r12\n"
    "  popq %rbp\n"
    "  popq %rbx\n"
    "  ret\n"
    ".size CallSupervisor, .-CallSupervisor\n");

namespace {

TEST(SeamInstructions, CpuidReadSiKeepsEveryRegisterButRax) {
  uint64_t Out[6] = {};
  CallCpuidReadSi(reinterpret_cast<void *>(&AsmCpuidReadSi), 0xBACCD00B, 2, Out);
  EXPECT_EQ(Out[0], 0u) << "a processor without the simulation query leaves SI cleared";
  EXPECT_EQ(Out[1], 0x1111111111111111u) << "RBX";
  EXPECT_EQ(Out[2], 0xBACCD00Bu) << "RCX";
  EXPECT_EQ(Out[3], 2u) << "RDX";
  EXPECT_EQ(Out[4], 0x2222222222222222u) << "RSI";
  EXPECT_EQ(Out[5], 1u) << "the flags";

  // Leaf 0 fills EAX..EDX on every processor; still only RAX changes.
  CallCpuidReadSi(reinterpret_cast<void *>(&AsmCpuidReadSi), 0, 0, Out);
  EXPECT_EQ(Out[0], 0u);
  EXPECT_EQ(Out[1], 0x1111111111111111u);
  EXPECT_EQ(Out[2], 0u);
  EXPECT_EQ(Out[3], 0u);
}

TEST(SeamInstructions, SupervisorCallPassesTheServiceInRaxAndKeepsR11) {
  // On the build machine SYSCALL reaches the host kernel; its getpid service
  // shows the number travels in RAX and the answer comes back in RAX.
  uint64_t Out[2] = {};
  CallSupervisor(reinterpret_cast<void *>(&AsmSmmSupervisorCall), SYS_getpid, 0x5A5A5A5A5A5A5A5A, Out);
  EXPECT_EQ(Out[0], static_cast<uint64_t>(getpid()));
  EXPECT_EQ(Out[1], 0x5A5A5A5A5A5A5A5Au) << "R11, which SYSCALL overwrites";
}

}  // namespace
