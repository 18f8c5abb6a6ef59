// The text trace people read and the diff they review changes with.
#include <gtest/gtest.h>

#include <sstream>

#include "Runner/Diff.h"
#include "Runner/Output.h"
#include "Runner/Simulation.h"

namespace {

using sim::Json;

std::vector<Json> Events(sim::Scenario S) {
  sim::Trace T;
  sim::Simulation Sim(std::move(S), T);
  Sim.RunAll();
  return T.Events();
}

sim::Scenario DxeRun() {
  sim::Scenario S = sim::DefaultScenario();
  S.Run = {sim::Step::Load("BoardInitDxe"), sim::Step::Load("SignalTuneDxe")};
  return S;
}

size_t Columns(const std::string &Line) {
  return static_cast<size_t>(std::count_if(Line.begin(), Line.end(), [](char C) { return (C & 0xC0) != 0x80; }));
}

TEST(TextTrace, SetupWritesShowTheFieldsTheyChangeAndLinesStayNarrow) {
  sim::Scenario S = sim::DefaultScenario();
  sim::TextFormatter Formatter(S.Setup->Data);
  std::string Text;
  for (const Json &E : Events(S)) Text += Formatter.Format(E);
  EXPECT_NE(Text.find("SetVariable name=Setup attributes=0x7 size=0x29D status=0x0 changes:\n" +
                      std::string(48, ' ') + "ProbeGatedOption 0x1 → 0x0, BoardProbeResult 0x0 → 0x1\n"),
            std::string::npos)
      << Text.substr(0, 4000);
  EXPECT_NE(Text.find("final        Setup 669 bytes, attributes 0x7; changed in the run: ProbeGatedOption 0x1 → 0x0,"),
            std::string::npos);
  EXPECT_NE(Text.find("cmos all zero\n"), std::string::npos);
  EXPECT_EQ(Text.find("EC87D643"), std::string::npos);  // the Setup variable is named, not shown by GUID
  std::istringstream Lines(Text);
  for (std::string Line; std::getline(Lines, Line);) EXPECT_LE(Columns(Line), 132u) << Line;
}

// A continuation whose one token is wider than the line ends; it used to loop.
TEST(TextTrace, AnUnbreakableContinuationEnds) {
  sim::Scenario S = sim::DefaultScenario();
  sim::HobSpec Hob;
  Hob.Kind = 1;
  Hob.Relay = 1;
  Hob.Payload.assign(42, 0xAB);
  Hob.PayloadSize = 42;
  S.Hobs = {Hob};
  S.Run = {sim::Step::Load("SioPowerSmm")};
  sim::TextFormatter Formatter(S.Setup->Data);
  std::string Text;
  for (const Json &E : Events(S)) Text += Formatter.Format(E);
  EXPECT_NE(Text.find("heap_buffers\n"), std::string::npos) << Text.substr(Text.size() - 800);
}

TEST(TextTrace, StepsAreCalledWhatAnEngineerCallsThem) {
  EXPECT_EQ(sim::StepTitle(R"({"sx":3})"), "S3 entry");
  EXPECT_EQ(sim::StepTitle(R"({"sx":5})"), "S5 entry");
  EXPECT_EQ(sim::StepTitle("power-button"), "power button");
  EXPECT_EQ(sim::StepTitle("reset"), "reset");
  EXPECT_EQ(sim::StepTitle("SubsysIdDxe"), "SubsysIdDxe");
}

TEST(Diff, IdenticalRunsShowNothing) {
  std::ostringstream Out;
  EXPECT_FALSE(sim::DiffRuns(Events(DxeRun()), Events(DxeRun()), Out));
  EXPECT_EQ(Out.str(), "");
}

// One tuning byte changed: the probe's write-back carries it, the register
// it feeds moves, and the stored Setup shows it; nothing else.
TEST(Diff, ASetupChangeShowsTheRegistersItMovesAndTheStoredField) {
  sim::Scenario Changed = DxeRun();
  Changed.Setup->Data[0x20C] = 0x0F;  // SiCtrl0Bits31To28[0]: 3 -> 0xF
  std::ostringstream Out;
  EXPECT_TRUE(sim::DiffRuns(Events(DxeRun()), Events(Changed), Out));
  const std::string Text = Out.str();
  EXPECT_EQ(Text.rfind("── BoardInitDxe ──\n  services\n    ~ BoardInitDxe   call         SetVariable name=Setup "
                       "attributes=0x7 size=0x29D status=0x0 data=669 bytes\n      Setup SiCtrl0Bits31To28[0] 0x3 → 0xF\n"
                       "── SignalTuneDxe ──\n  SMN\n",
                       0),
            0u)
      << Text;
  EXPECT_NE(Text.find("~ SignalTuneDxe  smn-write    address=0x16D1C000 value=0x30100005\n      value 0x30100005 → "
                      "0xF0100005\n"),
            std::string::npos)
      << Text;
  EXPECT_NE(Text.find("── final state ──\n  Setup SiCtrl0Bits31To28[0] 0x3 → 0xF\n"), std::string::npos) << Text;
}

// The strap pin read low: the probe's read, its Setup write and the stored
// result differ.
TEST(Diff, ABoardModelChangeShowsTheAccessThatSawIt) {
  sim::Scenario Low = DxeRun();
  Low.Mmio[0xFED81664] = sim::MmioInit{32, 0x00140000};
  std::ostringstream Out;
  EXPECT_TRUE(sim::DiffRuns(Events(DxeRun()), Events(Low), Out));
  const std::string Text = Out.str();
  EXPECT_NE(Text.find("  FCH MMIO\n    ~ BoardInitDxe   mmio-read    address=0xFED81664 width=32 value=0x150000\n"
                      "      value 0x150000 → 0x140000\n"),
            std::string::npos)
      << Text;
  EXPECT_NE(Text.find("  Setup BoardProbeResult 0x1 → 0x0\n"), std::string::npos) << Text;
}

}  // namespace
