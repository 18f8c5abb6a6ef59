// SetJump / LongJump for both targets. They are called with the Microsoft x64
// convention (EFIAPI is ms_abi on the Linux host too), so one body serves
// both: argument in RCX/RDX; the buffer keeps RBX, RSP, RBP, RDI, RSI,
// R12-R15, the return address, MXCSR and XMM6-XMM15 (BASE_LIBRARY_JUMP_BUFFER
// order). LongJump's Value must be non-zero: SetJump returns it unchanged.
#include <Library/BaseLib.h>

static_assert(OFFSET_OF(BASE_LIBRARY_JUMP_BUFFER, Rip) == 0x48, "jump buffer layout used below");
static_assert(OFFSET_OF(BASE_LIBRARY_JUMP_BUFFER, MxCsr) == 0x50, "jump buffer layout used below");
static_assert(OFFSET_OF(BASE_LIBRARY_JUMP_BUFFER, XmmBuffer) == 0x58, "jump buffer layout used below");

#if defined(_WIN32)
#define JUMP_FUNCTION(Name) ".globl " #Name "\n\t.def " #Name "\n\t.scl 2\n\t.type 32\n\t.endef\n" #Name ":\n\t"
#define JUMP_FUNCTION_END(Name) "\n"
#else
#define JUMP_FUNCTION(Name) ".globl " #Name "\n\t.hidden " #Name "\n\t.type " #Name ", @function\n" #Name ":\n\t"
#define JUMP_FUNCTION_END(Name) "\n\t.size " #Name ", . - " #Name "\n"
#endif

__asm__(
    ".text\n\t"
    ".p2align 4\n\t"
    JUMP_FUNCTION(SetJump)
    "movq %rbx, 0x00(%rcx)\n\t"
    "leaq 8(%rsp), %rax\n\t"          // the caller's RSP once we have returned
    "movq %rax, 0x08(%rcx)\n\t"
    "movq %rbp, 0x10(%rcx)\n\t"
    "movq %rdi, 0x18(%rcx)\n\t"
    "movq %rsi, 0x20(%rcx)\n\t"
    "movq %r12, 0x28(%rcx)\n\t"
    "movq %r13, 0x30(%rcx)\n\t"
    "movq %r14, 0x38(%rcx)\n\t"
    "movq %r15, 0x40(%rcx)\n\t"
    "movq (%rsp), %rax\n\t"
    "movq %rax, 0x48(%rcx)\n\t"
    "movq $0, 0x50(%rcx)\n\t"
    "stmxcsr 0x50(%rcx)\n\t"
    "movdqu %xmm6, 0x58(%rcx)\n\t"
    "movdqu %xmm7, 0x68(%rcx)\n\t"
    "movdqu %xmm8, 0x78(%rcx)\n\t"
    "movdqu %xmm9, 0x88(%rcx)\n\t"
    "movdqu %xmm10, 0x98(%rcx)\n\t"
    "movdqu %xmm11, 0xA8(%rcx)\n\t"
    "movdqu %xmm12, 0xB8(%rcx)\n\t"
    "movdqu %xmm13, 0xC8(%rcx)\n\t"
    "movdqu %xmm14, 0xD8(%rcx)\n\t"
    "movdqu %xmm15, 0xE8(%rcx)\n\t"
    "xorl %eax, %eax\n\t"
    "ret"
    JUMP_FUNCTION_END(SetJump)
    ".p2align 4\n\t"
    JUMP_FUNCTION(LongJump)
    "movq %rdx, %rax\n\t"
    "movq 0x00(%rcx), %rbx\n\t"
    "movq 0x10(%rcx), %rbp\n\t"
    "movq 0x18(%rcx), %rdi\n\t"
    "movq 0x20(%rcx), %rsi\n\t"
    "movq 0x28(%rcx), %r12\n\t"
    "movq 0x30(%rcx), %r13\n\t"
    "movq 0x38(%rcx), %r14\n\t"
    "movq 0x40(%rcx), %r15\n\t"
    "ldmxcsr 0x50(%rcx)\n\t"
    "movdqu 0x58(%rcx), %xmm6\n\t"
    "movdqu 0x68(%rcx), %xmm7\n\t"
    "movdqu 0x78(%rcx), %xmm8\n\t"
    "movdqu 0x88(%rcx), %xmm9\n\t"
    "movdqu 0x98(%rcx), %xmm10\n\t"
    "movdqu 0xA8(%rcx), %xmm11\n\t"
    "movdqu 0xB8(%rcx), %xmm12\n\t"
    "movdqu 0xC8(%rcx), %xmm13\n\t"
    "movdqu 0xD8(%rcx), %xmm14\n\t"
    "movdqu 0xE8(%rcx), %xmm15\n\t"
    "movq 0x08(%rcx), %rsp\n\t"
    "jmpq *0x48(%rcx)"
    JUMP_FUNCTION_END(LongJump));
