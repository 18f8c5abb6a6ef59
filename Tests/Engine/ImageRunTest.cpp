// The shipped images under emulation, against the board and the simulated
// firmware: event for event what the host builds of the same sources do,
// with every access an SMM handler makes watched.
#include <gtest/gtest.h>


#include "Runner/Compare.h"
#include "Runner/Simulation.h"

namespace {

using sim::Json;

sim::EngineChoice ImageEngine(std::map<std::string, std::string> Paths = {}) {
  return {sim::EngineKind::Image, {}, std::move(Paths)};
}

std::string Rogue(const char *Variant) {
  return std::string(BOARD_FIRMWARE_DIR) + "/tests/RogueSmmFw_" + Variant + ".efi";
}

sim::Scenario Steps(std::vector<sim::Step> Run) {
  sim::Scenario S = sim::DefaultScenario();
  S.Run = std::move(Run);
  return S;
}

sim::Step Reset() {
  sim::Step S;
  S.StepKind = sim::Step::Kind::Reset;
  return S;
}

std::vector<Json> Of(const sim::Trace &T, const char *Kind) { return T.Select(Kind); }

std::string Describe(const sim::EngineComparison &C) {
  return "first difference at event " + std::to_string(C.Events) + "\n  host:  " + C.HostEvent.dump() +
         "\n  image: " + C.ImageEvent.dump() + "\n  by " + C.ImageOrigin.value_or("-");
}

// A budget of exactly the instructions the entry takes lets it finish; one
// fewer ends the step with a fault naming where it stopped, and the run goes on.
TEST(ImageRun, TheInstructionBudgetEndsARunawayStepAndTheRunGoesOn) {
  uint64_t Taken = 0;
  {
    sim::Trace T;
    sim::Simulation Sim(Steps({sim::Step::Load("SubsysIdDxe")}), T, ImageEngine());
    Sim.RunAll();
    Taken = Sim.GetEngine().Instructions();
    ASSERT_EQ(Of(T, "step")[0]["status"], "0x0");
  }
  ASSERT_GT(Taken, 100u);
  for (const uint64_t Budget : {Taken, Taken - 1}) {
    sim::Scenario S = Steps({sim::Step::Load("SubsysIdDxe"), Reset()});
    S.InstructionBudget = Budget;
    sim::Trace T;
    sim::Simulation Sim(S, T, ImageEngine());
    Sim.RunAll();
    const auto Stepped = Of(T, "step");
    ASSERT_EQ(Stepped.size(), 2u);
    if (Budget == Taken) {
      EXPECT_EQ(Stepped[0]["status"], "0x0");
      EXPECT_TRUE(Of(T, "fault").empty());
    } else {
      EXPECT_TRUE(Stepped[0]["status"].is_null());
      ASSERT_EQ(Of(T, "fault").size(), 1u);
      const std::string What = Of(T, "fault")[0]["what"];
      EXPECT_EQ(What.rfind("instruction budget of " + std::to_string(Budget) + " spent at SubsysIdDxe+0x", 0), 0u)
          << What;
    }
    EXPECT_EQ(T.Events().back()["event"], "final");
  }
}

// The stand-ins that break the SMRAM rules: where the host engine's detector
// sees an access too (memory the OS owns, a handler in an unloaded image),
// both engines report it alike, event for event.
TEST(ImageRun, BothEnginesReportTheSameBrokenRulesAlike) {
  const sim::Scenario S =
      Steps({sim::Step::Load("SioPowerSmm"), sim::Step::Sleep(3), sim::Step::Sleep(4), sim::Step::Sleep(5)});
  for (const char *Variant : {"OUTSIDE", "FAILED_ENTRY"}) {
    const sim::EngineComparison C = sim::CompareEngines(
        S, {sim::EngineKind::Host, std::string(SMM_ROGUE_HOST_DIR) + Variant, {}},
        ImageEngine({{"SioPowerSmm", Rogue(Variant)}}));
    EXPECT_TRUE(C.Same) << Variant << ": " << Describe(C);
    EXPECT_GT(C.Events, 10u);
  }
}

// What only the image engine sees: a handler reading data in a DXE image
// (reported, and the handler goes on) and fetching an instruction there (a
// fault: an SMM callout).
TEST(ImageRun, AHandlerReachingIntoADxeImageIsSeenAccessByAccess) {
  sim::Trace T;
  sim::Simulation Sim(
      Steps({sim::Step::Load("BoardInitDxe"), sim::Step::Load("SioPowerSmm"), sim::Step::Sleep(3), sim::Step::Sleep(5)}),
      T, ImageEngine({{"BoardInitDxe", Rogue("DXE_TABLE")}, {"SioPowerSmm", Rogue("OUTSIDE")}}));
  Sim.RunAll();
  const auto Outside = Of(T, "smm-outside-access");
  ASSERT_EQ(Outside.size(), 3u);
  // S3: the table's word, 8 bytes read by the handler, then the system table.
  EXPECT_EQ(Outside[0]["width"], 64);
  EXPECT_EQ(Outside[0]["access"], "read");
  EXPECT_EQ(Outside[0]["at"].get<std::string>().rfind("SioPowerSmm+0x", 0), 0u);
  EXPECT_EQ(Outside[1]["region"], "system table");
  // S5: the function pointer read, then the call into the DXE image.
  EXPECT_EQ(Outside[2]["width"], 64);
  EXPECT_EQ(std::stoull(Outside[2]["address"].get<std::string>(), nullptr, 16) -
                std::stoull(Outside[0]["address"].get<std::string>(), nullptr, 16),
            8u);
  const auto Faults = Of(T, "fault");
  ASSERT_EQ(Faults.size(), 2u);
  EXPECT_EQ(Faults[1]["what"].get<std::string>().rfind("SMM callout: instruction fetched outside SMRAM at BoardInitDxe+0x",
                                                       0),
            0u)
      << Faults[1]["what"];
  // The S3 handler went on past the DXE read: its word (0xA5) reached port 0x80.
  EXPECT_EQ(T.Events().back()["post_codes"], (Json{"0xC0", "0xA5", "0xC0"}));
  EXPECT_EQ(T.Events().back()["smm_outside_accesses"], 3);
}

}  // namespace
