// Sx and power-button steps and the SMM part of the final state, run by the
// simulator against the stand-in SMM driver of FakeSmm/.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Runner/Simulation.h"

namespace {

using sim::Json;

sim::Step Image(const char *Name) { return sim::Step::Load(Name); }
sim::Step Sx(int Type) { return sim::Step::Sleep(Type); }
sim::Step Kind(sim::Step::Kind K) {
  sim::Step S;
  S.StepKind = K;
  return S;
}

struct SmmRun {
  sim::Trace Trace;
  Json Final;
  uint16_t CsAfter = 0;

  SmmRun(sim::Scenario S, std::optional<uint16_t> SmmCs = std::nullopt, const std::string &Dir = SMM_FAKE_IMAGE_DIR) {
    sim::Simulation Sim(std::move(S), Trace, Dir);
    Sim.SetSmmCodeSegment(SmmCs);
    Sim.RunAll();
    Final = Trace.Events().back();
    CsAfter = Sim.GetBoard().ReadCs();
  }

  std::vector<Json> Of(const char *Kind) const {
    std::vector<Json> Out;
    for (const auto &E : Trace.Events()) {
      if (E["event"] == Kind) Out.push_back(E);
    }
    return Out;
  }
  // Events between the step event before Step's and Step's own.
  std::vector<Json> During(size_t StepIndex) const {
    std::vector<Json> Out;
    size_t Steps = 0;
    for (const auto &E : Trace.Events()) {
      if (E["event"] == "step") {
        if (Steps++ == StepIndex) break;
        Out.clear();
        continue;
      }
      Out.push_back(E);
    }
    return Out;
  }
};

sim::Scenario Scenario(std::vector<sim::Step> Steps) {
  sim::Scenario S = sim::DefaultScenario();
  S.Run = std::move(Steps);
  return S;
}

const std::vector<sim::Step> kAllEvents = {Image("SioPowerSmm"), Sx(3), Sx(4), Sx(5),
                                           Kind(sim::Step::Kind::PowerButton)};

TEST(SmmRunner, EventStepsDispatchTheDriversHandlers) {
  SmmRun R(Scenario(kAllEvents));
  auto Steps = R.Of("step");
  ASSERT_EQ(Steps.size(), 5u);
  EXPECT_EQ(Steps[0]["step"], "SioPowerSmm");
  EXPECT_EQ(Steps[0]["status"], "0x0");
  EXPECT_EQ(Steps[1]["step"], "{\"sx\":3}");
  for (size_t I = 1; I < Steps.size(); ++I) {
    EXPECT_TRUE(Steps[I]["status"].is_null()) << I;
  }
  EXPECT_EQ(Steps[4]["step"], "power-button");

  // The entry ran in SMM; S3 exit's handler never runs; S4's faults after its first write.
  EXPECT_EQ(R.Final["post_codes"], (Json{"0x5A", "0xA3", "0xB4", "0xA5", "0xB0"}));
  auto Faults = R.Of("fault");
  ASSERT_EQ(Faults.size(), 1u);
  EXPECT_EQ(Faults[0]["image"], "SioPowerSmm");
  EXPECT_NE(Faults[0]["what"].get<std::string>().find("supervisor call 0x99"), std::string::npos);
  EXPECT_EQ(R.During(2).back()["event"], "fault") << "the fault belongs to the S4 step";

  for (size_t Step = 1; Step <= 4; ++Step) {
    for (const auto &E : R.During(Step)) {
      EXPECT_EQ(E["image"], "SioPowerSmm") << E.dump();
    }
  }
  auto Smis = R.Of("smi");
  ASSERT_EQ(Smis.size(), 4u);
  EXPECT_EQ(Smis[0]["context"], (Json{{"type", "0x3"}, {"phase", "0x0"}}));
  EXPECT_EQ(Smis[3]["source"], "power-button");
  auto Returns = R.Of("smi-return");
  ASSERT_EQ(Returns.size(), 3u) << "none for the handler that faulted";
  EXPECT_EQ(Returns[2]["status"], "0x7");
  // Full privilege by default: the only system call is the one S4's handler makes to fault.
  auto Calls = R.Of("syscall");
  ASSERT_EQ(Calls.size(), 1u);
  EXPECT_EQ(Calls[0]["service"], "0x99");
}

TEST(SmmRunner, FinalStateShowsTheMemoryLogAndTheRelayedList) {
  SmmRun R(Scenario({Image("SioPowerSmm")}));
  std::string Data = "66616B6520736D6D" + std::string(112, '0');
  EXPECT_EQ(R.Final["memory_log"], (Json{{"signature", "0x4D454D44"}, {"used_bytes", "0x8"}, {"data", Data}}));
  EXPECT_EQ(R.Final["heap_buffers"], (Json::array({Json{{"header", "4845415044332211030000000801CDAB"},
                                                        {"payload", "010203"}}})));
  auto Installs = R.Of("call");
  bool Installed = false;
  for (const auto &E : Installs) {
    Installed = Installed || (E["service"] == "InstallProtocolInterface" && E["protocol"] == "HEAP_BUFFER_LIST_PROTOCOL");
  }
  EXPECT_TRUE(Installed);
}

TEST(SmmRunner, AListInstalledBeforeTheDriverIsTheOneShown) {
  sim::Scenario S = Scenario({Image("SioPowerSmm")});
  S.Protocols.HeapBufferList = true;
  SmmRun R(S);
  EXPECT_EQ(R.Final["heap_buffers"].size(), 1u) << "the driver's node joined the earlier list";
  for (const auto &E : R.Of("call")) {
    EXPECT_NE(E["service"], "InstallProtocolInterface");
  }
}

TEST(SmmRunner, WithoutLogOrListTheFinalStateSaysNull) {
  SmmRun R(Scenario({}));
  EXPECT_TRUE(R.Final["memory_log"].is_null());
  EXPECT_TRUE(R.Final["heap_buffers"].is_null());
}

TEST(SmmRunner, DeprivilegedSmmCodeReachesPortsThroughTheSupervisor) {
  SmmRun R(Scenario(kAllEvents), 0x4B);
  EXPECT_EQ(R.Final["post_codes"], (Json{"0x5A", "0xA3", "0xB4", "0xA5", "0xB0"}));
  auto Calls = R.Of("syscall");
  ASSERT_EQ(Calls.size(), 6u) << "five port writes and the refused call";
  EXPECT_EQ(Calls[0]["service"], "0x4");
  EXPECT_EQ(Calls[0]["arg1"], "0x80");
  EXPECT_EQ(Calls[0]["arg3"], "0x5A");
  EXPECT_EQ(Calls[3]["service"], "0x99");
  // Each port write follows its system call.
  const auto &All = R.Trace.Events();
  for (size_t I = 0; I + 1 < All.size(); ++I) {
    if (All[I]["event"] == "syscall" && All[I]["service"] == "0x4") {
      EXPECT_EQ(All[I + 1]["event"], "io-write");
    }
  }
  EXPECT_EQ(R.CsAfter, 0x38) << "the selector from outside SMM is back";
}

TEST(SmmRunner, AResetDropsTheHandlersButNotTheMemoryLog) {
  SmmRun R(Scenario({Image("SioPowerSmm"), Kind(sim::Step::Kind::Reset), Sx(5), Kind(sim::Step::Kind::PowerButton)}));
  EXPECT_TRUE(R.Of("smi").empty());
  EXPECT_EQ(R.Final["post_codes"], (Json{"0x5A"}));
  EXPECT_FALSE(R.Final["memory_log"].is_null());
  EXPECT_TRUE(R.Final["heap_buffers"].is_null());
}

TEST(SmmRunner, EventStepsNeedTheSmmDriverImage) {
  const auto Empty = std::filesystem::temp_directory_path() / "smm-runner-no-images";
  std::filesystem::create_directories(Empty);
  sim::Trace T;
  sim::Simulation Sim(sim::DefaultScenario(), T, Empty.string());
  std::string Why;
  EXPECT_FALSE(Sim.Supports(Sx(3), &Why));
  EXPECT_NE(Why.find("SioPowerSmm"), std::string::npos) << Why;
  EXPECT_FALSE(Sim.Supports(Kind(sim::Step::Kind::PowerButton)));

  sim::Trace T2;
  sim::Simulation WithImage(sim::DefaultScenario(), T2, SMM_FAKE_IMAGE_DIR);
  EXPECT_TRUE(WithImage.Supports(Sx(3)));
  WithImage.RunStep(Sx(3));  // nothing registered yet: a step with no SMI handled
  ASSERT_EQ(T2.Events().size(), 1u);
  EXPECT_EQ(T2.Events()[0]["event"], "step");
  EXPECT_TRUE(T2.Events()[0]["status"].is_null());
}

// The checks an SMM driver is held to, seen firing on drivers that break them.
TEST(SmmRunner, HandlersReachingMemoryTheOsOwnsAreStoppedAndCounted) {
  SmmRun R(Scenario({Image("SioPowerSmm"), Sx(3), Sx(4), Sx(5), Sx(3)}), std::nullopt,
           SMM_ROGUE_IMAGE_DIR "OUTSIDE");
  std::vector<std::string> Seen;
  for (const auto &E : R.Of("smm-outside-access")) {
    Seen.push_back(E["region"].get<std::string>() + " + " + E["offset"].get<std::string>() + " " +
                   E["access"].get<std::string>());
  }
  // 0x68: NumberOfTableEntries; 0x60: BootServices; 0x140: LocateProtocol.
  EXPECT_EQ(Seen, (std::vector<std::string>{"system table + 0x68 read", "pool block 0x1 (EfiBootServicesData) + 0x4 write",
                                            "system table + 0x60 read", "system table + 0x68 read"}));
  EXPECT_EQ(R.Final["smm_outside_accesses"], 4);
  EXPECT_EQ(R.Of("fault").size(), 4u);
  EXPECT_TRUE(R.Of("smi-return").empty());
  // Each handler was stopped at its first outside access: its marker before, never the one after.
  EXPECT_EQ(R.Final["post_codes"], (Json{"0xC0", "0xC0", "0xC0", "0xC0"}));
  // Outside an SMI the same memory is the drivers' again.
  EXPECT_EQ(R.Of("step")[0]["status"], "0x0");
}

TEST(SmmRunner, AFailedEntryIsUnloadedAndWhatItLeftRegisteredIsReported) {
  SmmRun R(Scenario({Image("SioPowerSmm"), Sx(5)}), std::nullopt, SMM_ROGUE_IMAGE_DIR "FAILED_ENTRY");
  ASSERT_EQ(R.Of("unload").size(), 1u);
  EXPECT_EQ(R.Of("unload")[0]["status"], "0x8000000000000003");
  auto Faults = R.Of("fault");
  ASSERT_EQ(Faults.size(), 1u);
  EXPECT_EQ(Faults[0]["what"], "SMM handler execute in image SioPowerSmm, unloaded after its entry failed");
  EXPECT_EQ(R.Final["dangling"], (Json{"Sx handler 0x1 (S5) in unloaded SioPowerSmm",
                                       "SMM notification on 296EB418-C4C8-4E05-AB59-39E8AF56F00A in unloaded SioPowerSmm"}));
  EXPECT_EQ(R.Final["smm_outside_accesses"], 0);
}

}  // namespace
