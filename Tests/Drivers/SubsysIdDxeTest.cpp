#include <gtest/gtest.h>

#include "Drivers/DriverRun.h"

namespace {

using Lines = std::vector<std::string>;

sim::Scenario SsidScenario() { return test::ScenarioRunning({"SubsysIdDxe"}); }

TEST(SubsysIdDxe, CombinesDeviceIdsWithTheBoardVendor) {
  sim::Scenario S = SsidScenario();
  S.Smn[0x13B00000] = 0x12341022;  // vendor in the low half: device id stays high
  S.Smn[0x10100000] = 0x12341022;  // vendor in the high half: device id moves low
  S.Smn[0x13F00000] = 0xFFFFFFFF;  // absent functions are still written
  S.Smn[0x10101000] = 0xFFFFFFFF;
  test::DriverRun Run(S);
  Lines Smn = Run.Smn();
  ASSERT_EQ(Smn.size(), 32u);
  EXPECT_EQ(Smn[0], "R 0x13B00000 0x12341022");
  EXPECT_EQ(Smn[1], "W 0x13B00050 0x12341C5E");
  EXPECT_EQ(Smn[3], "W 0x13F00078 0xFFFF1C5E");
  EXPECT_EQ(Smn[5], "W 0x10131004 0x1C5E1234");
  EXPECT_EQ(Smn[7], "W 0x10131204 0x1C5EFFFF");
  EXPECT_EQ(Smn[9], "W 0x10131404 0x1C5E0000");
  EXPECT_EQ(Smn[30], "R 0x10156000 0x0");
  EXPECT_EQ(Smn[31], "W 0x1015604C 0x1C5E");
}

TEST(SubsysIdDxe, ProgramsAllSixteenFunctionsThenTheThreePcds) {
  test::DriverRun Run(SsidScenario());
  Lines Targets;
  for (const auto &Line : Run.Smn()) {
    if (Line[0] == 'W') Targets.push_back(Line.substr(2, 10));
  }
  EXPECT_EQ(Targets, (Lines{"0x13B00050", "0x13F00078", "0x10131004", "0x10131204", "0x10131404", "0x1014004C",
                            "0x1014104C", "0x1014204C", "0x1014404C", "0x1014804C", "0x1014904C", "0x1015004C",
                            "0x1015304C", "0x1015404C", "0x1015504C", "0x1015604C"}));

  // PCD sets come after the last SMN write, in order.
  uint64_t LastSmn = 0;
  std::vector<std::pair<uint64_t, std::string>> Sets;
  for (const auto &E : Run.Trace.Events()) {
    if (E["event"] == "smn-write") LastSmn = E["seq"];
    if (E["event"] == "call" && E["service"] == "PcdSet" && E["width"] == 32) {
      EXPECT_GT(E["seq"].get<uint64_t>(), LastSmn);
      Sets.emplace_back(E["token"].get<uint64_t>(), E["value"].get<std::string>());
    }
  }
  EXPECT_EQ(Sets, (std::vector<std::pair<uint64_t, std::string>>{
                      {623, "0x6A311C5E"}, {576, "0x6A341C5E"}, {326, "0x0"}}));
  EXPECT_EQ(Run.Final["pcd"]["623"], "0x6A311C5E");
  EXPECT_EQ(Run.Final["pcd"]["576"], "0x6A341C5E");
  EXPECT_EQ(Run.Final["pcd"]["326"], "0x0");
  EXPECT_EQ(Run.Steps()[0]["status"], "0x0");
}

TEST(SubsysIdDxe, WithoutAPcdProtocolItStillProgramsAndSucceeds) {
  sim::Scenario S = SsidScenario();
  S.Protocols.Pcd = false;
  test::DriverRun Run(S);
  EXPECT_TRUE(Run.Of({"fault"}).empty());
  EXPECT_EQ(Run.Smn().size(), 32u);
  EXPECT_EQ(Run.Steps()[0]["status"], "0x0");
  EXPECT_TRUE(Run.Final["pcd"].empty());
  auto Prints = Run.Of({"call"});
  size_t Messages = 0;
  for (const auto &E : Prints) Messages += E["service"] == "DebugPrint";
  EXPECT_EQ(Messages, 1u) << "the configuration buffer reports the missing protocol once";
}

TEST(SubsysIdDxe, DoesNotReadSetup) {
  test::DriverRun Run(SsidScenario());
  for (const auto &Service : Run.Services("SubsysIdDxe")) EXPECT_NE(Service, "GetVariable");
}

}  // namespace
