// Emulated code reaching the board: hand-assembled x86-64 run under the
// emulator, each hardware instruction checked against the trace.
#include <gtest/gtest.h>

#include <sys/mman.h>

#include <cstring>
#include <string>
#include <vector>

#include "Board/Board.h"
#include "Common/SimEnvironment.h"
#include "Engine/Emulator.h"

namespace {

uint64_t __attribute__((ms_abi)) TimesSix(uint64_t Value) { return Value * 6; }

struct Code {
  uint8_t *Page;
  size_t Used = 0;
  Code() : Page(static_cast<uint8_t *>(mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0))) {}
  ~Code() { munmap(Page, 4096); }
  Code &operator<<(std::initializer_list<uint8_t> Bytes) {
    for (uint8_t B : Bytes) Page[Used++] = B;
    return *this;
  }
  Code &Imm64(uint64_t Value) {
    std::memcpy(Page + Used, &Value, 8);
    Used += 8;
    return *this;
  }
  uint64_t Address() const { return reinterpret_cast<uint64_t>(Page); }
};

std::vector<std::string> Accesses(const sim::Trace &Trace) {
  std::vector<std::string> Out;
  for (const auto &E : Trace.Events()) {
    const std::string Kind = E["event"];
    if (Kind == "io-read" || Kind == "io-write" || Kind == "msr-read" || Kind == "cpuid" || Kind == "mmio-read") {
      Out.push_back(test::AccessText(E));
    }
  }
  return Out;
}

TEST(Emulator, HardwareInstructionsReachTheBoardAndCallsReachTheHost) {
  sim::Trace Trace;
  sim::Board Board(sim::DefaultScenario(), Trace);
  sim::Emulator Cpu(Board);
  Cpu.MapDevice(0xFED80000, 0x2000);
  Cpu.AllowCallOut(reinterpret_cast<uint64_t>(&TimesSix));
  Code C;
  C << std::initializer_list<uint8_t>{0x66, 0xBA, 0x80, 0x00, 0xB0, 0x5A, 0xEE}  // out 0x80, 0x5A
    << std::initializer_list<uint8_t>{0xE4, 0x61}                                // in al, 0x61
    << std::initializer_list<uint8_t>{0xB9, 0x1B, 0x00, 0x00, 0x00, 0x0F, 0x32}  // rdmsr 0x1B
    << std::initializer_list<uint8_t>{0xB8, 0x01, 0x00, 0x00, 0x80, 0x31, 0xC9, 0x0F, 0xA2}  // cpuid 0x80000001
    << std::initializer_list<uint8_t>{0x48, 0xB8};
  C.Imm64(0xFED80D59) << std::initializer_list<uint8_t>{0x8A, 0x00};  // mov al, [0xFED80D59]
  C << std::initializer_list<uint8_t>{0x48, 0xBA};
  C.Imm64(reinterpret_cast<uint64_t>(&TimesSix));
  C << std::initializer_list<uint8_t>{0xB9, 0x07, 0x00, 0x00, 0x00,  // mov ecx, 7
                                      0x48, 0x83, 0xEC, 0x28,        // sub rsp, 0x28
                                      0xFF, 0xD2,                    // call rdx
                                      0x48, 0x83, 0xC4, 0x28,        // add rsp, 0x28
                                      0xC3};
  Cpu.MapHost(C.Page, 4096, true);

  const auto R = Cpu.Call(C.Address(), {});
  ASSERT_FALSE(R.Faulted) << R.What;
  EXPECT_EQ(R.Rax, 42u);
  EXPECT_EQ(Accesses(Trace), (std::vector<std::string>{"io-write 0x80 0x5A", "io-read 0x61 0xFF", "msr-read 0x1B 0xFEE00900",
                                                        "cpuid 0x80000001", "mmio-read 0xFED80D59 0x0"}));
  EXPECT_EQ(Cpu.Instructions(), 17u);  // the host call counts none
}

TEST(Emulator, WildJumpsAndRunawayLoopsAreFaults) {
  sim::Trace Trace;
  sim::Board Board(sim::DefaultScenario(), Trace);
  sim::Emulator Cpu(Board);
  Code C;
  C << std::initializer_list<uint8_t>{0x48, 0xB8};
  C.Imm64(0x1234000) << std::initializer_list<uint8_t>{0xFF, 0xE0};  // jmp 0x1234000
  const uint64_t Loop = C.Address() + C.Used;
  C << std::initializer_list<uint8_t>{0xEB, 0xFE};  // jmp $
  Cpu.MapHost(C.Page, 4096, true);

  auto R = Cpu.Call(C.Address(), {});
  EXPECT_TRUE(R.Faulted);
  EXPECT_NE(R.What.find("at 0x1234000"), std::string::npos) << R.What;

  R = Cpu.Call(Loop, {}, 1000);
  EXPECT_TRUE(R.Faulted);
  EXPECT_NE(R.What.find("budget of 1000"), std::string::npos) << R.What;
}

// The values the code computes with are the board's, not the emulated CPU's own.
TEST(Emulator, AnswersComeFromTheBoard) {
  sim::Trace Trace;
  sim::Scenario S = sim::DefaultScenario();
  S.Cpu.Signature = 0x00A60F12;
  sim::Board Board(S, Trace);
  sim::Emulator Cpu(Board);
  Code C;
  const uint64_t Msr = C.Address();
  C << std::initializer_list<uint8_t>{0xB9, 0x1B, 0x00, 0x00, 0x00, 0x0F, 0x32,  // rdmsr 0x1B
                                      0x48, 0xC1, 0xE2, 0x20, 0x48, 0x09, 0xD0, 0xC3};  // rax |= rdx << 32
  const uint64_t Leaf = C.Address() + C.Used;
  C << std::initializer_list<uint8_t>{0xB8, 0x01, 0x00, 0x00, 0x80, 0x31, 0xC9, 0x0F, 0xA2, 0xC3};
  const uint64_t Tsc = C.Address() + C.Used;
  C << std::initializer_list<uint8_t>{0x0F, 0x31, 0x48, 0xC1, 0xE2, 0x20, 0x48, 0x09, 0xD0, 0xC3};
  Cpu.MapHost(C.Page, 4096, true);
  EXPECT_EQ(Cpu.Call(Msr, {}).Rax, 0xFEE00900u);
  EXPECT_EQ(Cpu.Call(Leaf, {}).Rax, 0x00A60F12u);
  const uint64_t Before = Board.TscCycles();
  const uint64_t Read = Cpu.Call(Tsc, {}).Rax;
  EXPECT_GE(Read, Before);
  EXPECT_LE(Read, Board.TscCycles());
}

}  // namespace
