// The board's side of SMM: the supervisor's system calls and the simulation
// query reached through the host seam, and the RAM block at its physical
// address.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Board/Board.h"
#include "Core/Trace.h"

#include <BaseHwAccessLibSim/SimHardwarePort.h>
#include <Library/BaseLib.h>

namespace {

using sim::Json;

struct Refused {
  std::string What;
};

sim::Scenario Healthy() {
  sim::Scenario S;
  S.Cpu.Signature = 0x00B40F40;
  S.Cpu.PstateDefs = {0x8000000000000AEEull, 2, 3, 4, 5, 6, 7, 8};
  S.Io[0x803] = 0x04;
  S.Cmos[0x98] = 0x5A;
  return S;
}

// A board bound to this process's seam, whose refusals end the call with an exception.
class SeamBoard : public ::testing::Test {
 protected:
  void Start() {
    B = std::make_unique<sim::Board>(S, T);
    B->SetFaultHandler([](const std::string &What) { throw Refused{What}; });
    BoardSimBindHardware(B.get());
  }
  void TearDown() override { BoardSimBindHardware(nullptr); }

  // "event key=value ..." for every event since Mark, without seq, t_us and image.
  std::vector<std::string> Since(size_t Mark) const {
    std::vector<std::string> Out;
    for (size_t I = Mark; I < T.Events().size(); ++I) {
      const Json &E = T.Events()[I];
      std::string Line = E["event"];
      for (auto It = E.begin(); It != E.end(); ++It) {
        if (It.key() == "event" || It.key() == "seq" || It.key() == "t_us" || It.key() == "image") continue;
        Line += " " + It.key() + "=" + (It->is_string() ? It->get<std::string>() : It->dump());
      }
      Out.push_back(Line);
    }
    return Out;
  }
  size_t Mark() const { return T.Events().size(); }

  sim::Scenario S = Healthy();
  sim::Trace T;
  std::unique_ptr<sim::Board> B;
};

TEST_F(SeamBoard, SupervisorCarriesOutTheServicesThroughTheBoard) {
  Start();
  size_t M = Mark();
  EXPECT_EQ(AsmSmmSupervisorCall(0, 0xC0010064, 0, 0), 0x8000000000000AEEull);
  EXPECT_EQ(Since(M), (std::vector<std::string>{"syscall service=0x0 arg1=0xC0010064 arg2=0x0 arg3=0x0",
                                               "msr-read msr=0xC0010064 value=0x8000000000000AEE"}));

  M = Mark();
  EXPECT_EQ(AsmSmmSupervisorCall(3, 0x803, 0, 0), 0x04u);
  EXPECT_EQ(AsmSmmSupervisorCall(4, 0x72, 0, 0x98), 0u);
  EXPECT_EQ(AsmSmmSupervisorCall(3, 0x73, 0, 0), 0x5Au);
  EXPECT_EQ(AsmSmmSupervisorCall(4, 0x80, 2, 0x5F535452), 0u);
  EXPECT_EQ(Since(M), (std::vector<std::string>{
                          "syscall service=0x3 arg1=0x803 arg2=0x0 arg3=0x0",
                          "io-read port=0x803 width=8 value=0x4",
                          "syscall service=0x4 arg1=0x72 arg2=0x0 arg3=0x98",
                          "io-write port=0x72 width=8 value=0x98",
                          "syscall service=0x3 arg1=0x73 arg2=0x0 arg3=0x0",
                          "io-read port=0x73 width=8 value=0x5A",
                          "cmos-read offset=0x98 value=0x5A",
                          "syscall service=0x4 arg1=0x80 arg2=0x2 arg3=0x5F535452",
                          "io-write port=0x80 width=32 value=0x5F535452",
                          "post-code value=0x5F535452 width=32",
                      }));

  // Width code 1 is a 16-bit access; the value is cut to the width.
  M = Mark();
  AsmSmmSupervisorCall(4, 0x80, 1, 0x12345678);
  EXPECT_EQ(Since(M)[1], "io-write port=0x80 width=16 value=0x5678");

  EXPECT_TRUE(GetInterruptState());
  M = Mark();
  AsmSmmSupervisorCall(2, 0, 0, 0);
  EXPECT_FALSE(GetInterruptState());
  EXPECT_EQ(Since(M), (std::vector<std::string>{"syscall service=0x2 arg1=0x0 arg2=0x0 arg3=0x0"}));
}

TEST_F(SeamBoard, SupervisorRefusesWhatItDoesNotOffer) {
  Start();
  struct Case {
    uint64_t Service, A1, A2;
    const char *Says;
  } Cases[] = {
      {1, 0, 0, "no such service"},
      {5, 0x80, 0, "no such service"},
      {3, 0x80, 3, "width code 0x3"},
      {4, 0x10000, 0, "beyond 0xFFFF"},
      {0, 0x100000000ull, 0, "wider than 32 bits"},
  };
  for (const Case &C : Cases) {
    size_t M = Mark();
    try {
      // Straight to the board: the refusal unwinds, which the seam's frames are not built for.
      B->SupervisorCall(C.Service, C.A1, C.A2, 0);
      ADD_FAILURE() << "service " << C.Service << " was carried out";
    } catch (const Refused &R) {
      EXPECT_NE(R.What.find(C.Says), std::string::npos) << R.What;
    }
    // The call itself is on record; no access follows it.
    ASSERT_EQ(Since(M).size(), 1u);
    EXPECT_EQ(Since(M)[0].rfind("syscall", 0), 0u);
  }
}

TEST_F(SeamBoard, SupervisorWithoutAFaultHandlerAnswersAllOnes) {
  B = std::make_unique<sim::Board>(S, T);
  BoardSimBindHardware(B.get());
  EXPECT_EQ(AsmSmmSupervisorCall(7, 0, 0, 0), ~0ull);
}

TEST_F(SeamBoard, SimulationQueryAnswersInSiOnlyOnASimulator) {
  for (bool Simulation : {false, true}) {
    S.Cpu.Simulation = Simulation;
    Start();
    size_t M = Mark();
    EXPECT_EQ(AsmCpuidReadSi(0xBACCD00B, 2) != 0, Simulation);
    EXPECT_EQ(AsmCpuidReadSi(0x80000001, 2), 0u) << "other leaves leave SI alone";
    auto Events = Since(M);
    ASSERT_EQ(Events.size(), 2u);
    EXPECT_EQ(Events[0], std::string("cpuid leaf=0xBACCD00B eax=0x0 ebx=0x0 ecx=0x0 edx=0x0 ebx_in=0x2 si=") +
                             (Simulation ? "0x1" : "0x0"));
    EXPECT_EQ(Events[1], "cpuid leaf=0x80000001 eax=0xB40F40 ebx=0x0 ecx=0x0 edx=0x0 ebx_in=0x2 si=0x0");
    BoardSimBindHardware(nullptr);
    B.reset();
  }
}

// --- The RAM block --------------------------------------------------------------------------

TEST(RamBlock, LivesAtItsPhysicalAddressAcrossReboots) {
  sim::Trace T;
  sim::Scenario S = Healthy();
  auto B = std::make_unique<sim::Board>(S, T);
  ASSERT_TRUE(B->RamBlockAtPhysicalAddress());
  ASSERT_EQ(reinterpret_cast<uintptr_t>(B->RamBlock()), sim::kRamBlockBase);

  auto *Log = reinterpret_cast<volatile uint32_t *>(0x8A00000);
  EXPECT_EQ(Log[0], 0u) << "a new block is zeroed";
  Log[0] = 0x4D454D44;
  reinterpret_cast<volatile uint8_t *>(0x8A00000)[sim::kRamBlockSize - 1] = 0x77;
  EXPECT_TRUE(T.Events().empty()) << "plain memory accesses are not traced";
  EXPECT_EQ(B->MmioRead(sim::kRamBlockBase, 32), 0x4D454D44u);
  EXPECT_EQ(B->PeekMemory(sim::kRamBlockBase + sim::kRamBlockSize - 1, 8), 0x77u);
  B->MmioWrite(sim::kRamBlockBase + 8, 32, 0x1234);
  EXPECT_EQ(Log[2], 0x1234u);

  B->Reboot();
  EXPECT_EQ(Log[0], 0x4D454D44u) << "kept over a reset";
  EXPECT_EQ(Log[2], 0x1234u);

  // A second board while the first holds the address gets a block of its own.
  {
    sim::Trace T2;
    sim::Board Second(S, T2);
    EXPECT_FALSE(Second.RamBlockAtPhysicalAddress());
    EXPECT_NE(reinterpret_cast<uintptr_t>(Second.RamBlock()), sim::kRamBlockBase);
    EXPECT_EQ(Second.PeekMemory(sim::kRamBlockBase, 32), 0u);
    Second.MmioWrite(sim::kRamBlockBase, 32, 0xDEAD);
  }
  EXPECT_EQ(Log[0], 0x4D454D44u) << "untouched by the other board";

  // Released with its board: the next board maps the address afresh.
  B.reset();
  sim::Board Next(S, T);
  EXPECT_TRUE(Next.RamBlockAtPhysicalAddress());
  EXPECT_EQ(Log[0], 0u);
}

TEST(RamBlock, ScenarioMemoryInsideTheBlockSeedsIt) {
  sim::Trace T;
  sim::Scenario S = Healthy();
  S.Mmio[sim::kRamBlockBase + 4] = sim::MmioInit{32, 0x55AA55AA};
  sim::Board B(S, T);
  EXPECT_EQ(*reinterpret_cast<volatile uint32_t *>(0x8A00004), 0x55AA55AAu);
  *reinterpret_cast<volatile uint32_t *>(0x8A00004) = 1;
  B.Reboot();
  EXPECT_EQ(*reinterpret_cast<volatile uint32_t *>(0x8A00004), 1u) << "a reset does not seed it again";
}

}  // namespace
