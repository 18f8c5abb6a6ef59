// SioPowerSmm end to end: the image loaded into the simulated SMM world, its
// handlers dispatched by S3/S4/S5 entry and power-button steps.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "Core/Scenario.h"
#include "Core/Trace.h"
#include "Common/EngineUnderTest.h"
#include "Runner/Simulation.h"

namespace {

using Strings = std::vector<std::string>;
using sim::Json;

constexpr const char *kLoad = "SioPowerSmm";
constexpr int kPowerButton = -1;

sim::Step MakeStep(int What) {
  return What == 0              ? sim::Step::Load(kLoad)
         : What == kPowerButton ? sim::Step::PowerButtonPress()
                                : sim::Step::Sleep(What);
}

// 0 loads the driver, 3/4/5 enter that sleep state, kPowerButton presses it.
sim::Scenario Scenario(std::initializer_list<int> Steps) {
  sim::Scenario S = sim::DefaultScenario();
  S.Run.clear();
  for (int What : Steps) S.Run.push_back(MakeStep(What));
  return S;
}

struct SmmRun {
  sim::Trace Trace;
  Json Final;
  std::vector<std::vector<Json>> Steps;  // the events of each step, its step event last

  explicit SmmRun(sim::Scenario S, std::optional<uint16_t> SmmCs = std::nullopt) {
    {
      sim::Simulation Simulation(std::move(S), Trace, test::EngineUnderTest());
      Simulation.SetSmmCodeSegment(SmmCs);
      Simulation.RunAll();
    }
    Final = Trace.Events().back();
    std::vector<Json> Current;
    for (const auto &E : Trace.Events()) {
      Current.push_back(E);
      if (E["event"] == "step") {
        Steps.push_back(std::move(Current));
        Current.clear();
      }
    }
  }

  const std::vector<Json> &Step(size_t Index) const { return Steps.at(Index); }
  Json StepStatus(size_t Index) const { return Steps.at(Index).back()["status"]; }
  uint64_t StepUs(size_t Index) const {
    uint64_t Start = Index == 0 ? 0 : Steps.at(Index - 1).back()["t_us"].get<uint64_t>();
    return Steps.at(Index).back()["t_us"].get<uint64_t>() - Start;
  }
  bool Faulted() const {
    for (const auto &E : Trace.Events()) {
      if (E["event"] == "fault") return true;
    }
    return false;
  }
};

std::vector<Json> Of(const std::vector<Json> &Events, std::initializer_list<const char *> Kinds) {
  std::vector<Json> Out;
  for (const auto &E : Events) {
    for (const char *K : Kinds) {
      if (E["event"] == K) {
        Out.push_back(E);
        break;
      }
    }
  }
  return Out;
}

// "W ldn reg value" / "R ldn reg value"; ldn "-" for global registers.
Strings Sio(const std::vector<Json> &Events) {
  Strings Out;
  for (const auto &E : Of(Events, {"sio-read", "sio-write"})) {
    std::string Ldn = E["ldn"].is_null() ? "-" : E["ldn"].get<std::string>();
    Out.push_back(std::string(E["event"] == "sio-read" ? "R " : "W ") + Ldn + " " + E["register"].get<std::string>() +
                  " " + E["value"].get<std::string>());
  }
  return Out;
}

// "C value" for commands, "D value" for data bytes sent to the controller.
Strings Kbc(const std::vector<Json> &Events) {
  Strings Out;
  for (const auto &E : Of(Events, {"kbc-command", "kbc-data"})) {
    Out.push_back(std::string(E["event"] == "kbc-command" ? "C " : "D ") + E["value"].get<std::string>());
  }
  return Out;
}

size_t PortAccesses(const std::vector<Json> &Events, const std::string &Port, const char *Kind) {
  size_t N = 0;
  for (const auto &E : Of(Events, {Kind})) N += E["port"] == Port ? 1 : 0;
  return N;
}

std::vector<Json> Calls(const std::vector<Json> &Events, const std::string &Service) {
  std::vector<Json> Out;
  for (const auto &E : Of(Events, {"call"})) {
    if (E["service"] == Service) Out.push_back(E);
  }
  return Out;
}

const Strings kS4Sio = {"W - 0x7 0xA",   "R 0xA 0x30 0x0", "W 0xA 0x30 0x0", "R 0xA 0xF0 0x0",
                        "W 0xA 0xF0 0x0", "W 0xA 0xF1 0xFF"};
const Strings kLedsOff = {"D 0xED", "D 0x0"};
const Strings kAuxRearm = {"C 0xD4", "D 0xFF", "C 0xD4", "D 0xF4"};
const Strings kPowerOffSio = {"R - 0x27 0x0", "W - 0x27 0x0", "W - 0x7 0xA", "R 0xA 0xE0 0x0",
                              "W 0xA 0xE0 0x80", "R 0xA 0xEC 0x0", "W 0xA 0xEC 0x4"};

Strings Concat(std::initializer_list<Strings> Parts) {
  Strings Out;
  for (const auto &P : Parts) Out.insert(Out.end(), P.begin(), P.end());
  return Out;
}

// --- entry -------------------------------------------------------------------

TEST(SioPowerSmmEntry, RegistersThreeSleepHandlersAndThePowerButton) {
  SmmRun Run(Scenario({0}));
  ASSERT_FALSE(Run.Faulted());
  EXPECT_EQ(Run.StepStatus(0), "0x0");
  Strings Registered;
  for (const auto &C : Of(Run.Step(0), {"call"})) {
    if (C["service"] == "SxRegister") {
      Registered.push_back("Sx " + C["context"]["type"].get<std::string>() + "/" + C["context"]["phase"].get<std::string>());
    } else if (C["service"] == "PowerButtonRegister") {
      Registered.push_back("PB " + C["context"]["phase"].get<std::string>());
    }
  }
  EXPECT_EQ(Registered, (Strings{"Sx 0x3/0x0", "Sx 0x4/0x0", "Sx 0x5/0x0", "PB 0x0"}));
  // The entry touches no Super I/O or keyboard-controller register.
  EXPECT_TRUE(Sio(Run.Step(0)).empty());
  EXPECT_TRUE(Kbc(Run.Step(0)).empty());
  // Nothing withdrawn, the SMRAM map kept.
  auto Notify = Calls(Run.Step(0), "SmmRegisterProtocolNotify");
  ASSERT_EQ(Notify.size(), 1u);
  EXPECT_EQ(Notify[0]["function"], true);
  EXPECT_TRUE(Calls(Run.Step(0), "SmmFreePool").empty());
}

TEST(SioPowerSmmEntry, SmmBase2IsLocatedByTheServicesTableAndOnceByTheSmmLibrary) {
  SmmRun Run(Scenario({0}));
  size_t Base2 = 0;
  for (const auto &C : Calls(Run.Step(0), "LocateProtocol")) Base2 += C["guid"] == "F4CCBFB7-F6E0-47FD-9DD4-10A8F150C191";
  // Constructor steps 1 and 9; the entry's and SioPowerSmmInit's calls return at once.
  EXPECT_EQ(Base2, 2u);
  EXPECT_EQ(Calls(Run.Step(0), "GetSmstLocation").size(), 2u);
}

TEST(SioPowerSmmEntry, DebugRoutingIsProbedOnceOverTheConfigurationPorts) {
  SmmRun Run(Scenario({0, 5}));
  Strings Smn;
  for (const auto &E : Of(Run.Trace.Events(), {"smn-read"})) Smn.push_back(E["address"]);
  EXPECT_EQ(Smn, (Strings{"0x3810A84", "0x3810A88"}));
  // Two SMN reads, each an index half and a data half that both put 0xCF8 back.
  EXPECT_EQ(PortAccesses(Run.Step(0), "0xCF8", "io-write"), 8u);
  EXPECT_EQ(PortAccesses(Run.Step(0), "0xCF8", "io-read"), 4u);
}

TEST(SioPowerSmmEntry, FailureWithdrawsTheNotificationAndReleasesTheSmramMap) {
  sim::Scenario S = Scenario({0});
  S.Protocols.SxDispatch = false;
  SmmRun Run(S);
  ASSERT_FALSE(Run.Faulted());
  EXPECT_EQ(Run.StepStatus(0), "0x800000000000000E");
  auto Notify = Calls(Run.Step(0), "SmmRegisterProtocolNotify");
  ASSERT_EQ(Notify.size(), 2u);
  EXPECT_EQ(Notify[0]["guid"], "296EB418-C4C8-4E05-AB59-39E8AF56F00A");
  EXPECT_EQ(Notify[1]["guid"], "296EB418-C4C8-4E05-AB59-39E8AF56F00A");
  EXPECT_EQ(Notify[0]["function"], true);
  EXPECT_EQ(Notify[1]["function"], false);
  EXPECT_EQ(Notify[1]["registration"], Notify[0]["registration"]);
  EXPECT_EQ(Notify[1]["status"], "0x0") << "the kept registration is found and removed";
  // The map is the first SMRAM allocation, and goes back to SMRAM pool.
  auto Allocations = Calls(Run.Step(0), "SmmAllocatePool");
  ASSERT_FALSE(Allocations.empty());
  auto Freed = Calls(Run.Step(0), "SmmFreePool");
  ASSERT_EQ(Freed.size(), 1u);
  EXPECT_EQ(Freed[0]["block"], Allocations[0]["block"]);
  EXPECT_EQ(Freed[0]["status"], "0x0");
  for (const auto &F : Calls(Run.Step(0), "FreePool")) EXPECT_NE(F["block"], Allocations[0]["block"]);
}

TEST(SioPowerSmmEntry, MissingPowerButtonDispatchWithdrawsTheSleepRegistrations) {
  sim::Scenario S = Scenario({0, 5});
  S.Protocols.PowerButtonDispatch = false;
  SmmRun Run(S);
  EXPECT_EQ(Run.StepStatus(0), "0x800000000000000E");
  Strings Made, Withdrawn;
  for (const auto &C : Calls(Run.Step(0), "SxRegister")) Made.push_back(C["handle"]);
  for (const auto &C : Calls(Run.Step(0), "SxUnRegister")) {
    Withdrawn.push_back(C["handle"]);
    EXPECT_EQ(C["status"], "0x0");
  }
  EXPECT_EQ(Made, (Strings{"0x1", "0x2", "0x3"}));
  EXPECT_EQ(Withdrawn, Made);
  EXPECT_EQ(Calls(Run.Step(0), "SmmFreePool").size(), 1u);
  // The image is gone, and no S5 SMI reaches into it.
  EXPECT_EQ(Of(Run.Step(0), {"unload"}).size(), 1u);
  EXPECT_TRUE(Of(Run.Step(1), {"smi", "fault"}).empty());
  EXPECT_EQ(Run.Final["dangling"], Json::array());
}

TEST(SioPowerSmmEntry, TheRelayedListOutlivesAFailedEntry) {
  sim::Scenario S = Scenario({0, 0});
  S.Protocols.SxDispatch = false;
  sim::HobSpec A;
  A.Relay = 1;
  A.Payload = {0xAA};
  A.PayloadSize = 1;
  S.Hobs = {A};
  SmmRun Run(S);
  ASSERT_FALSE(Run.Faulted());
  EXPECT_EQ(Run.StepStatus(1), "0x800000000000000E");
  // The second load adopts the first one's list, which lives in SMRAM pool.
  EXPECT_EQ(Calls(Run.Step(0), "InstallProtocolInterface").size(), 1u);
  EXPECT_TRUE(Calls(Run.Step(1), "InstallProtocolInterface").empty());
  EXPECT_EQ(Calls(Run.Step(1), "SmmAllocatePool").size(), 1u) << "the SMRAM map only";
  ASSERT_EQ(Run.Final["heap_buffers"].size(), 1u);
  EXPECT_EQ(Run.Final["heap_buffers"][0]["payload"], "AA");
  EXPECT_EQ(Run.Final["dangling"], Json::array());
}

// After boot the published frequency record is memory the OS owns: an SMI
// that finds the P-state definition changed recomputes its SMRAM copy and
// leaves the record alone, whether the copy was never filled or the TSC is
// not invariant.
TEST(SioPowerSmmSmram, AnSmiRefreshesOnlyItsOwnFrequencyCopy) {
  sim::Step Script;
  Script.StepKind = sim::Step::Kind::Script;
  // WRMSR 0xC0010064 <- 0x8000000000000258 (P0 600 x 5 MHz).
  Script.Script = {0x08, 0x70, 0xC0010064, 0x0, 0x8000000000000258, 0x0, 0xFFFFFFFF, 0xFFFFFFFF, 0xFF};
  sim::Step SignalTune;
  SignalTune.Image = "SignalTuneDxe";
  for (bool Invariant : {true, false}) {
    sim::Scenario S = Scenario({0});
    S.Run.insert(S.Run.end(), {SignalTune, Script, MakeStep(5)});
    if (Invariant) {
      S.FailAllocations = {3};  // the SMM timer's first buffer: its copy stays zero
    } else {
      S.Cpu.PowerFeatures = 0;
    }
    SmmRun Run(S);
    if (Invariant) {
      auto Injected = Calls(Run.Step(0), "AllocatePool");
      ASSERT_EQ(Injected.size(), 1u);
      EXPECT_EQ(Injected[0]["injected"], true);
      EXPECT_EQ(Injected[0]["size"], "0x18");
    }
    ASSERT_FALSE(Run.Faulted()) << Invariant;
    EXPECT_EQ(Run.Final["smm_outside_accesses"], 0);
    // The refresh happened: the S5 handler read the current P-state ...
    bool ReadPstate = false;
    for (const auto &E : Of(Run.Step(3), {"msr-read"})) ReadPstate |= E["msr"] == "0xC0010063";
    EXPECT_TRUE(ReadPstate) << Invariant;
    // ... and the record still holds what SignalTuneDxe published.
    EXPECT_EQ(Run.Final["cpu_frequency_record"]["pstate_definition"], "0x80000000000002EE") << Invariant;
    EXPECT_EQ(Run.Final["cpu_frequency_record"]["tsc_frequency"], "0xDF847580") << Invariant;
  }
}

TEST(SioPowerSmmEntry, MissingSmmBase2FailsWithItsLocateStatus) {
  sim::Scenario S = Scenario({0});
  S.Protocols.SmmBase2 = false;
  SmmRun Run(S);
  ASSERT_FALSE(Run.Faulted());
  EXPECT_EQ(Run.StepStatus(0), "0x800000000000000E");
  EXPECT_TRUE(Calls(Run.Step(0), "SxRegister").empty());
}

TEST(SioPowerSmmEntry, HeapBuffersAreRelayedIntoSmram) {
  sim::Scenario S = Scenario({0});
  sim::HobSpec A;
  A.Relay = 1;
  A.Payload = {0x11, 0x22};
  A.PayloadSize = 2;
  sim::HobSpec Skipped = A;
  Skipped.Relay = 0;
  sim::HobSpec B = A;
  B.Payload = {0x33};
  B.PayloadSize = 1;
  S.Hobs = {A, Skipped, B};
  SmmRun Run(S);
  ASSERT_TRUE(Run.Final["heap_buffers"].is_array());
  ASSERT_EQ(Run.Final["heap_buffers"].size(), 2u);
  EXPECT_EQ(Run.Final["heap_buffers"][0]["payload"], "1122");
  EXPECT_EQ(Run.Final["heap_buffers"][1]["payload"], "33");
}

// --- sleep-state handlers ------------------------------------------------------

TEST(SioPowerSmmSx, S3WritesItsOwnRegistersThenTheWholeS4Sequence) {
  SmmRun Run(Scenario({0, 3}));
  ASSERT_FALSE(Run.Faulted());
  EXPECT_EQ(Sio(Run.Step(1)), Concat({{"W - 0x7 0xA", "R 0xA 0xF9 0x0", "W 0xA 0xF9 0xC"}, kS4Sio, {"R 0xA 0xF4 0x0"}}));
  EXPECT_EQ(Kbc(Run.Step(1)), kLedsOff);
  EXPECT_EQ(PortAccesses(Run.Step(1), "0x60", "io-read"), 2u) << "both acknowledgements drained";
  EXPECT_EQ(Run.StepStatus(1), nullptr);
}

TEST(SioPowerSmmSx, S4WithTheAuxiliaryDeviceReArmsIt) {
  sim::Scenario S = Scenario({0, 4});
  S.SioLdn[0x0A][0xF4] = 0x08;
  SmmRun Run(S);
  EXPECT_EQ(Sio(Run.Step(1)), Concat({kS4Sio, {"R 0xA 0xF4 0x8"}}));
  EXPECT_EQ(Kbc(Run.Step(1)), Concat({kAuxRearm, kLedsOff}));
  // Three answers after the reset, one after enabling, one per LED byte.
  EXPECT_EQ(PortAccesses(Run.Step(1), "0x60", "io-read"), 6u);
}

TEST(SioPowerSmmSx, S4WithoutTheAuxiliaryDeviceOnlySwitchesTheLedsOff) {
  sim::Scenario S = Scenario({0, 4});
  S.SioLdn[0x0A][0xF4] = 0xF7;  // every bit but 3
  SmmRun Run(S);
  EXPECT_EQ(Sio(Run.Step(1)), Concat({kS4Sio, {"R 0xA 0xF4 0xF7"}}));
  EXPECT_EQ(Kbc(Run.Step(1)), kLedsOff);
}

TEST(SioPowerSmmSx, S3ReArmsTheAuxiliaryDeviceToo) {
  sim::Scenario S = Scenario({0, 3});
  S.SioLdn[0x0A][0xF4] = 0x08;
  SmmRun Run(S);
  EXPECT_EQ(Kbc(Run.Step(1)), Concat({kAuxRearm, kLedsOff}));
}

TEST(SioPowerSmmSx, S5SwitchesTheLedsOffThenProgramsPowerOff) {
  SmmRun Run(Scenario({0, 5}));
  EXPECT_EQ(Kbc(Run.Step(1)), kLedsOff);
  EXPECT_EQ(Sio(Run.Step(1)), kPowerOffSio);
  for (const auto &Access : Sio(Run.Step(1))) {
    for (const char *Untouched : {" 0x30 ", " 0xF0 ", " 0xF1 ", " 0xF4 ", " 0xF9 "}) {
      EXPECT_EQ(Access.find(Untouched), std::string::npos) << Access;
    }
  }
  // The keyboard traffic comes first.
  auto Events = Of(Run.Step(1), {"kbc-data", "sio-write"});
  ASSERT_FALSE(Events.empty());
  EXPECT_EQ(Events.front()["event"], "kbc-data");
}

TEST(SioPowerSmmSx, HandlersLeaveTheirMarksOnTheBoard) {
  sim::Scenario S = Scenario({0, 3});
  S.SioLdn[0x0A][0x30] = 0xFF;
  S.SioLdn[0x0A][0xF0] = 0xFF;
  S.SioLdn[0x0A][0xF9] = 0xF3;
  S.SioLdn[0x0A][0xF4] = 0x08;
  SmmRun Run(S);
  EXPECT_EQ(Sio(Run.Step(1)), Concat({{"W - 0x7 0xA", "R 0xA 0xF9 0xF3", "W 0xA 0xF9 0xC", "W - 0x7 0xA",
                                       "R 0xA 0x30 0xFF", "W 0xA 0x30 0xFE", "R 0xA 0xF0 0xFF", "W 0xA 0xF0 0xE7",
                                       "W 0xA 0xF1 0xFF", "R 0xA 0xF4 0x8"}}));
}

// --- power-off programming gating ---------------------------------------------

struct Gate {
  const char *Name;
  std::optional<uint8_t> Enable, Inhibit, InhibitMode, Port803;
  bool Programs;
};

TEST(SioPowerSmmPowerOff, EachGatingConditionDecides) {
  const Gate Gates[] = {
      {"default", std::nullopt, std::nullopt, std::nullopt, std::nullopt, true},
      {"enable 0", 0, std::nullopt, std::nullopt, std::nullopt, false},
      {"enable 0x80", 0x80, std::nullopt, std::nullopt, std::nullopt, true},
      {"inhibit 1", std::nullopt, 1, std::nullopt, std::nullopt, false},
      {"inhibit 0xFF", std::nullopt, 0xFF, std::nullopt, std::nullopt, false},
      {"inhibit mode 1", std::nullopt, std::nullopt, 1, std::nullopt, false},
      {"inhibit mode 2", std::nullopt, std::nullopt, 2, std::nullopt, true},
      {"port 0x803 bit 2", std::nullopt, std::nullopt, std::nullopt, 0x04, false},
      {"port 0x803 other bits", std::nullopt, std::nullopt, std::nullopt, 0xFB, true},
  };
  for (const Gate &G : Gates) {
    for (int Event : {5, kPowerButton}) {
      sim::Scenario S = Scenario({0, Event});
      if (G.Enable) S.Setup->Data[0x286] = *G.Enable;
      if (G.Inhibit) S.Setup->Data[0x5E] = *G.Inhibit;
      if (G.InhibitMode) S.Setup->Data[0x5F] = *G.InhibitMode;
      if (G.Port803) S.Io[0x803] = *G.Port803;
      SmmRun Run(S);
      const auto &Events = Run.Step(1);
      EXPECT_EQ(Sio(Events), G.Programs ? kPowerOffSio : Strings{}) << G.Name << " event " << Event;
      EXPECT_EQ(PortAccesses(Events, "0x803", "io-read"), 1u) << G.Name << ": read whatever Setup decided";
      auto Reads = Calls(Events, "SmmGetVariable");
      ASSERT_EQ(Reads.size(), 1u) << G.Name;
      EXPECT_EQ(Reads[0]["name"], "Setup");
      EXPECT_EQ(Reads[0]["size"], "0x29D");
      EXPECT_TRUE(Reads[0]["attributes"].is_null()) << "no attributes pointer";
    }
  }
}

// A variable that ends before SioPowerOffEnable counts as missing, even
// though the cleared buffer would read the other gates as "allowed".
TEST(SioPowerSmmPowerOff, AVariableEndingBeforeTheEnableByteCountsAsMissing) {
  for (size_t Size : {0x286, 0x287}) {
    sim::Scenario S = Scenario({0, kPowerButton});
    S.Setup->Data.resize(Size);
    SmmRun Run(S);
    EXPECT_EQ(Sio(Run.Step(1)), Size == 0x287 ? kPowerOffSio : Strings{}) << std::hex << Size;
  }
}

TEST(SioPowerSmmPowerOff, ProgrammingChangesOnlyTheBitsItOwns) {
  sim::Scenario S = Scenario({0, kPowerButton});
  S.SioGlobal[0x27] = 0xFF;
  S.SioLdn[0x0A][0xE0] = 0x01;
  S.SioLdn[0x0A][0xEC] = 0xFB;
  SmmRun Run(S);
  EXPECT_EQ(Sio(Run.Step(1)), (Strings{"R - 0x27 0xFF", "W - 0x27 0xBF", "W - 0x7 0xA", "R 0xA 0xE0 0x1",
                                       "W 0xA 0xE0 0x81", "R 0xA 0xEC 0xFB", "W 0xA 0xEC 0x4"}));
}

TEST(SioPowerSmmPowerOff, AMissingSetupCountsAsDisabledButS5StillSwitchesTheLedsOff) {
  sim::Scenario S = Scenario({0, 5});
  S.Setup.reset();
  SmmRun Run(S);
  EXPECT_TRUE(Sio(Run.Step(1)).empty());
  EXPECT_EQ(Kbc(Run.Step(1)), kLedsOff);
  EXPECT_EQ(PortAccesses(Run.Step(1), "0x803", "io-read"), 1u);
}

TEST(SioPowerSmmPowerOff, AFailedReadCountsAsDisabledWhateverTheBufferHolds) {
  sim::Scenario S = Scenario({0, kPowerButton});
  S.Setup->Data.resize(700, 0);  // too big for the 669-byte buffer
  S.Setup->Data[0x286] = 1;
  SmmRun Run(S);
  EXPECT_EQ(Calls(Run.Step(1), "SmmGetVariable").at(0)["status"], "0x8000000000000005");
  EXPECT_TRUE(Sio(Run.Step(1)).empty());
}

TEST(SioPowerSmmPowerOff, WithoutTheSmmVariableProtocolNothingIsRead) {
  sim::Scenario S = Scenario({0, kPowerButton});
  S.Protocols.SmmVariable = false;
  SmmRun Run(S);
  EXPECT_EQ(Run.StepStatus(0), "0x0");
  EXPECT_TRUE(Sio(Run.Step(1)).empty());
  EXPECT_EQ(PortAccesses(Run.Step(1), "0x803", "io-read"), 0u);
}

TEST(SioPowerSmmPowerOff, SetupIsReadAnewOnEveryPress) {
  SmmRun Run(Scenario({0, kPowerButton, kPowerButton, 5}));
  for (size_t Step = 1; Step <= 3; ++Step) {
    EXPECT_EQ(Calls(Run.Step(Step), "SmmLocateProtocol").size(), 1u);
    EXPECT_EQ(Calls(Run.Step(Step), "SmmGetVariable").size(), 1u);
  }
}

TEST(SioPowerSmmPowerOff, ThePowerButtonSendsNothingToTheKeyboardController) {
  SmmRun Run(Scenario({0, kPowerButton}));
  const auto &Events = Run.Step(1);
  EXPECT_EQ(Sio(Events), kPowerOffSio);
  for (const char *Port : {"0x60", "0x64"}) {
    EXPECT_EQ(PortAccesses(Events, Port, "io-read") + PortAccesses(Events, Port, "io-write"), 0u) << Port;
  }
}

// --- privilege and timing -----------------------------------------------------

// Raw port and MSR events of the driver that no supervisor call produced.
size_t UnmediatedAccesses(const std::vector<Json> &Events) {
  size_t N = 0;
  bool AfterSyscall = false;
  for (const auto &E : Events) {
    if (E["image"] != kLoad) continue;
    const std::string Kind = E["event"];
    if (Kind == "syscall") {
      AfterSyscall = E["service"] != "0x2";
    } else if (Kind == "io-read" || Kind == "io-write" || Kind == "msr-read") {
      N += AfterSyscall ? 0 : 1;
      AfterSyscall = false;
    }
  }
  return N;
}

TEST(SioPowerSmmPrivilege, DeprivilegedDriverGoesThroughTheSupervisorForEveryAccess) {
  sim::Scenario S = Scenario({0, 3, 4, 5, kPowerButton});
  S.SioLdn[0x0A][0xF4] = 0x08;
  S.Cpu.PowerFeatures = 0;  // delays then read a P-state MSR too
  SmmRun Deprivileged(S, 0x3B);
  ASSERT_FALSE(Deprivileged.Faulted());
  EXPECT_EQ(UnmediatedAccesses(Deprivileged.Trace.Events()), 0u);
  EXPECT_GT(Of(Deprivileged.Trace.Events(), {"syscall"}).size(), 100u);

  SmmRun Privileged(S, 0x38);
  EXPECT_TRUE(Of(Privileged.Trace.Events(), {"syscall"}).empty());
  // The same Super I/O and keyboard traffic either way.
  for (size_t Step = 1; Step <= 4; ++Step) {
    EXPECT_EQ(Sio(Deprivileged.Step(Step)), Sio(Privileged.Step(Step))) << Step;
    EXPECT_EQ(Kbc(Deprivileged.Step(Step)), Kbc(Privileged.Step(Step))) << Step;
  }
}

// The simulated run is deterministic, so the handlers' times are exact: one
// 500-us keyboard poll more or less shows.
TEST(SioPowerSmmTiming, ADeadKeyboardControllerCostsAboutASecondPerAnswer) {
  sim::Scenario S = Scenario({0, 5, 4});
  S.SioLdn[0x0A][0xF4] = 0x08;
  SmmRun Responsive(S);
  // Live answers: polls until the controller's latency has passed.
  EXPECT_EQ(Responsive.StepUs(1), 1041u);
  EXPECT_EQ(Responsive.StepUs(2), 3071u);

  S.KbcResponds = false;
  SmmRun Dead(S);
  ASSERT_FALSE(Dead.Faulted());
  // S5: two answers awaited; S4 with the re-arm: six. A dead answer is 2000
  // polls of 1 us and 1999 waits of 500.037 us: 1,001,574.7 us.
  EXPECT_EQ(Dead.StepUs(1), 2003184u);
  EXPECT_EQ(Dead.StepUs(2), 6009501u);
  // The same bytes are still sent.
  EXPECT_EQ(Kbc(Dead.Step(2)), Kbc(Responsive.Step(2)));
}

}  // namespace
