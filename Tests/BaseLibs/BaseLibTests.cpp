#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include <Uefi.h>
#include <Library/BaseLib.h>
#include <BaseHwAccessLibSim/SimHardwarePort.h>

namespace {

TEST(BaseLibStrings, AsciiLengths) {
  EXPECT_EQ(AsciiStrLen(""), 0u);
  EXPECT_EQ(AsciiStrLen("abc"), 3u);
  EXPECT_EQ(AsciiStrnLenS("abc", 10), 3u);
  EXPECT_EQ(AsciiStrnLenS("abc", 2), 2u);
  EXPECT_EQ(AsciiStrnLenS("abc", 0), 0u);
  EXPECT_EQ(AsciiStrnLenS(nullptr, 5), 0u);
  // No terminator within MaxSize: nothing beyond MaxSize bytes is read.
  std::vector<char> Unterminated = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(AsciiStrnLenS(Unterminated.data(), Unterminated.size()), 4u);
}

TEST(BaseLibStrings, AsciiCompare) {
  EXPECT_EQ(AsciiStrCmp("same", "same"), 0);
  EXPECT_EQ(AsciiStrCmp("", ""), 0);
  EXPECT_EQ(AsciiStrCmp("abc", "abd"), 'c' - 'd');
  EXPECT_EQ(AsciiStrCmp("abd", "abc"), 'd' - 'c');
  EXPECT_EQ(AsciiStrCmp("ab", "abc"), -'c');
  EXPECT_EQ(AsciiStrCmp("abc", "ab"), 'c');
  EXPECT_GT(AsciiStrCmp("\x80", "a"), 0);  // bytes compare unsigned
}

TEST(BaseLibStrings, WideLengthsAndCompare) {
  EXPECT_EQ(StrLen(u""), 0u);
  EXPECT_EQ(StrLen(u"Setup"), 5u);
  EXPECT_EQ(StrSize(u""), 2u);
  EXPECT_EQ(StrSize(u"Setup"), 12u);
  EXPECT_EQ(StrCmp(u"Setup", u"Setup"), 0);
  EXPECT_LT(StrCmp(u"Set", u"Setup"), 0);
  EXPECT_GT(StrCmp(u"Setuq", u"Setup"), 0);
  EXPECT_EQ(StrCmp(u"\u0100", u"\u0001"), 0xFF);  // whole 16-bit characters
}

// A port that only models the interrupt flag.
class InterruptFlagPort final : public SimHardwarePort {
 public:
  bool Flag = false;
  int FlagWrites = 0;

  uint32_t IoRead(uint16_t, uint8_t) override { return 0; }
  void IoWrite(uint16_t, uint8_t, uint32_t) override {}
  uint64_t MmioRead(uint64_t, uint8_t) override { return 0; }
  void MmioWrite(uint64_t, uint8_t, uint64_t) override {}
  uint64_t ReadMsr(uint32_t) override { return 0; }
  void WriteMsr(uint32_t, uint64_t) override {}
  void Cpuid(uint32_t, uint32_t, uint32_t Registers[4]) override { std::memset(Registers, 0, 16); }
  uint64_t ReadTsc() override { return 0; }
  void Pause() override {}
  void SetInterruptFlag(bool Enabled) override {
    Flag = Enabled;
    FlagWrites++;
  }
  bool GetInterruptFlag() override { return Flag; }
  uint16_t ReadCs() override { return 0x38; }
};

class BaseLibInterrupts : public ::testing::Test {
 protected:
  void SetUp() override { BoardSimBindHardware(&Port); }
  void TearDown() override { BoardSimBindHardware(nullptr); }
  InterruptFlagPort Port;
};

TEST_F(BaseLibInterrupts, SaveAndDisableReturnsThePreviousState) {
  Port.Flag = true;
  EXPECT_TRUE(SaveAndDisableInterrupts());
  EXPECT_FALSE(Port.Flag);
  EXPECT_FALSE(SaveAndDisableInterrupts());
  EXPECT_FALSE(Port.Flag);
}

TEST_F(BaseLibInterrupts, SetInterruptStateRestoresEitherWay) {
  Port.Flag = true;
  BOOLEAN Saved = SaveAndDisableInterrupts();
  EXPECT_EQ(SetInterruptState(Saved), TRUE);
  EXPECT_TRUE(Port.Flag);
  int Writes = Port.FlagWrites;
  EXPECT_EQ(SetInterruptState(FALSE), FALSE);
  EXPECT_FALSE(Port.Flag);
  EXPECT_EQ(Port.FlagWrites, Writes + 1);
}

BASE_LIBRARY_JUMP_BUFFER mJumpBuffer;

[[noreturn]] __attribute__((noinline)) void JumpFromDeeperFrame(UINTN Value) {
  volatile char Scratch[128];
  for (auto &Byte : Scratch) {
    Byte = (char)Value;
  }
  LongJump(&mJumpBuffer, Value);
}

TEST(BaseLibJump, LongJumpDeliversItsValueToSetJump) {
  volatile int Returns = 0;
  UINTN Kept = (UINTN)&Returns ^ 0x5A5A5A5A;  // live across every return
  UINTN Value = SetJump(&mJumpBuffer);
  Returns = Returns + 1;
  if (Value == 0) {
    JumpFromDeeperFrame(7);
  }
  if (Value < 9) {
    JumpFromDeeperFrame(Value + 1);
  }
  EXPECT_EQ(Value, 9u);
  EXPECT_EQ(Returns, 4);
  EXPECT_EQ(Kept, (UINTN)&Returns ^ 0x5A5A5A5A);
}

}  // namespace

// Sets every callee-saved register of the Microsoft ABI (and MXCSR) to a known
// pattern, calls SetJump, wrecks them all, LongJumps back and records what the
// registers hold after the second return. Host-only System V function.
extern "C" UINT64 JumpRoundTrip(BASE_LIBRARY_JUMP_BUFFER *Buffer, UINT64 *Observed);
__asm__(R"(
  .text
  .p2align 4
  .globl JumpRoundTrip
  .hidden JumpRoundTrip
  .type JumpRoundTrip, @function
JumpRoundTrip:
  pushq %rbp
  pushq %rbx
  pushq %r12
  pushq %r13
  pushq %r14
  pushq %r15
  subq $72, %rsp
  movq %rdi, 32(%rsp)
  movq %rsi, 40(%rsp)
  stmxcsr 48(%rsp)
  movl 48(%rsp), %eax
  orl $0x6000, %eax
  movl %eax, 52(%rsp)
  ldmxcsr 52(%rsp)
  movabsq $0x1111111111111111, %rbx
  movabsq $0x2222222222222222, %rbp
  movabsq $0x3333333333333333, %rdi
  movabsq $0x4444444444444444, %rsi
  movabsq $0x5555555555555555, %r12
  movabsq $0x6666666666666666, %r13
  movabsq $0x7777777777777777, %r14
  movabsq $0x8888888888888888, %r15
  movabsq $0x9999999999999999, %rax
  movq %rax, %xmm6
  movabsq $0xAAAAAAAAAAAAAAAA, %rax
  movq %rax, %xmm15
  movq 32(%rsp), %rcx
  callq SetJump
  testq %rax, %rax
  jnz 1f
  xorl %ebx, %ebx
  xorl %ebp, %ebp
  xorl %edi, %edi
  xorl %esi, %esi
  xorl %r12d, %r12d
  xorl %r13d, %r13d
  xorl %r14d, %r14d
  xorl %r15d, %r15d
  pxor %xmm6, %xmm6
  pxor %xmm15, %xmm15
  ldmxcsr 48(%rsp)
  movq 32(%rsp), %rcx
  movl $0x5A, %edx
  callq LongJump
  ud2
1:
  movq 40(%rsp), %r11
  movq %rbx, 0(%r11)
  movq %rbp, 8(%r11)
  movq %rdi, 16(%r11)
  movq %rsi, 24(%r11)
  movq %r12, 32(%r11)
  movq %r13, 40(%r11)
  movq %r14, 48(%r11)
  movq %r15, 56(%r11)
  movq %xmm6, 64(%r11)
  movq %xmm15, 72(%r11)
  stmxcsr 80(%r11)
  ldmxcsr 48(%rsp)
  addq $72, %rsp
  popq %r15
  popq %r14
  popq %r13
  popq %r12
  popq %rbx
  popq %rbp
  ret
  .size JumpRoundTrip, . - JumpRoundTrip
)");

namespace {

TEST(BaseLibJump, CalleeSavedRegistersAndMxcsrAreRestored) {
  BASE_LIBRARY_JUMP_BUFFER Buffer;
  UINT64 Observed[11] = {};
  EXPECT_EQ(JumpRoundTrip(&Buffer, Observed), 0x5Au);
  const UINT64 Expected[] = {0x1111111111111111ULL, 0x2222222222222222ULL, 0x3333333333333333ULL,
                             0x4444444444444444ULL, 0x5555555555555555ULL, 0x6666666666666666ULL,
                             0x7777777777777777ULL, 0x8888888888888888ULL, 0x9999999999999999ULL,
                             0xAAAAAAAAAAAAAAAAULL};
  const char *Names[] = {"RBX", "RBP", "RDI", "RSI", "R12", "R13", "R14", "R15", "XMM6", "XMM15"};
  for (size_t Index = 0; Index < 10; Index++) {
    EXPECT_EQ(Observed[Index], Expected[Index]) << Names[Index];
  }
  EXPECT_EQ(Observed[10] & 0x6000, 0x6000u) << "MXCSR rounding control";
  EXPECT_EQ(Buffer.Rbx, 0x1111111111111111ULL);
}

}  // namespace
