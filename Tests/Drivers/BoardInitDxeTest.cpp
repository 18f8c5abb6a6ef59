#include <gtest/gtest.h>

#include "Common/SimEnvironment.h"
#include "Drivers/DriverRun.h"

namespace {

using Lines = std::vector<std::string>;

constexpr uint64_t kGpioPin89 = 0xFED81664;
constexpr size_t kProbeResult = 0x23A;
constexpr size_t kGatedOption = 0x22E;

sim::Scenario Probe(uint32_t Gpio, uint8_t StoredResult, uint8_t Gated = 1) {
  sim::Scenario S = test::ScenarioRunning({"BoardInitDxe"});
  S.Mmio[kGpioPin89] = {32, Gpio};
  S.Setup->Data[kProbeResult] = StoredResult;
  S.Setup->Data[kGatedOption] = Gated;
  return S;
}

std::vector<sim::Json> SetVariables(const test::DriverRun &Run) {
  std::vector<sim::Json> Out;
  for (const auto &E : Run.Of({"call"})) {
    if (E["service"] == "SetVariable") Out.push_back(E);
  }
  return Out;
}

// Expected Setup after a write-back: the stored image with two bytes changed.
std::string Rewritten(sim::Scenario S, uint8_t Result, uint8_t Gated) {
  S.Setup->Data[kProbeResult] = Result;
  S.Setup->Data[kGatedOption] = Gated;
  return sim::HexBytes(S.Setup->Data.data(), S.Setup->Data.size());
}

TEST(BoardInitDxe, ProbeTouchesPin89ThreeTimes) {
  test::DriverRun Run(Probe(0x00151234, 1));
  Lines Mmio;
  for (const auto &E : Run.Of({"mmio-read", "mmio-write"})) {
    Mmio.push_back(test::AccessText(E) + " w" + std::to_string(E["width"].get<int>()));
  }
  EXPECT_EQ(Mmio, (Lines{"mmio-read 0xFED80D59 0x0 w8", "mmio-write 0xFED80D59 0x2 w8",
                         "mmio-read 0xFED81664 0x151234 w32"}));
  EXPECT_EQ(Run.Steps()[0]["status"], "0x0");
}

TEST(BoardInitDxe, MatchingStrapSetsTheResultAndClearsTheGatedOption) {
  sim::Scenario S = Probe(0x0015ABCD, 0, 1);
  S.Setup->Attributes = 0x3;  // written back exactly as read
  test::DriverRun Run(S);
  auto Sets = SetVariables(Run);
  ASSERT_EQ(Sets.size(), 1u);
  EXPECT_EQ(Sets[0]["attributes"], "0x3");
  EXPECT_EQ(Sets[0]["size"], "0x29D");
  EXPECT_EQ(Sets[0]["data"], Rewritten(S, 1, 0));
  EXPECT_EQ(Run.Final["setup"], Rewritten(S, 1, 0));
  EXPECT_EQ(Run.Final["setup_attributes"], "0x3");
}

TEST(BoardInitDxe, MismatchClearsTheResultAndKeepsTheGatedOption) {
  sim::Scenario S = Probe(0x00140000, 1, 0x5A);
  test::DriverRun Run(S);
  auto Sets = SetVariables(Run);
  ASSERT_EQ(Sets.size(), 1u);
  EXPECT_EQ(Sets[0]["data"], Rewritten(S, 0, 0x5A));
}

TEST(BoardInitDxe, UnchangedOutcomeWritesNothing) {
  for (auto S : {Probe(0x00150000, 1, 7), Probe(0xFFFFFFFF, 0, 7)}) {
    test::DriverRun Run(S);
    EXPECT_TRUE(SetVariables(Run).empty());
    EXPECT_EQ(Run.Final["setup"], sim::HexBytes(S.Setup->Data.data(), S.Setup->Data.size()));
  }
}

TEST(BoardInitDxe, OutOfRangeStoredResultIsAlwaysRewritten) {
  test::DriverRun Run(Probe(0x00150000, 0xFF, 1));
  ASSERT_EQ(SetVariables(Run).size(), 1u);
}

TEST(BoardInitDxe, WithoutSetupTheProbeStillRunsAndNothingIsWritten) {
  sim::Scenario S = Probe(0x00150000, 0);
  S.Setup.reset();
  test::DriverRun Run(S);
  EXPECT_EQ(Run.Of({"mmio-write"}).size(), 1u);
  EXPECT_TRUE(SetVariables(Run).empty());
  EXPECT_TRUE(Run.Final["setup"].is_null());
  EXPECT_EQ(Run.Steps()[0]["status"], "0x0");
}

// Only a variable that holds the result byte (offset 0x23A) is rewritten,
// and then at the size it had.
TEST(BoardInitDxe, ShortVariableIsLeftAlone) {
  for (size_t Size : {0x200, 0x23A, 0x23B}) {
    sim::Scenario S = Probe(0x00150000, 0, 1);
    S.Setup->Data.resize(Size);
    test::DriverRun Run(S);
    auto Sets = SetVariables(Run);
    if (Size < 0x23B) {
      EXPECT_TRUE(Sets.empty()) << std::hex << Size;
      continue;
    }
    ASSERT_EQ(Sets.size(), 1u);
    EXPECT_EQ(Sets[0]["size"], "0x23B");
    EXPECT_EQ(Sets[0]["data"], Rewritten(S, 1, 0));
  }
}

TEST(BoardInitDxe, SecondBootWithTheSameOutcomeWritesNothing) {
  sim::Scenario S = Probe(0x00150000, 0, 1);
  S.Run = test::ScenarioRunning({"BoardInitDxe", "reset", "BoardInitDxe"}).Run;
  test::DriverRun Run(S);
  auto Sets = SetVariables(Run);
  ASSERT_EQ(Sets.size(), 1u);
  EXPECT_EQ(Run.Final["setup"], Rewritten(S, 1, 0));
  // Both boots still probe the pin.
  EXPECT_EQ(Run.Of({"mmio-write"}).size(), 2u);
}

TEST(BoardInitDxe, FailedWriteIsRetriedOnTheNextBoot) {
  sim::Scenario S = Probe(0x00150000, 0, 1);
  S.SetVariableStatus = 0x8000000000000008ull;  // write protected
  S.Run = test::ScenarioRunning({"BoardInitDxe", "reset", "BoardInitDxe"}).Run;
  test::DriverRun Run(S);
  auto Sets = SetVariables(Run);
  ASSERT_EQ(Sets.size(), 2u);
  EXPECT_EQ(Sets[0]["status"], "0x8000000000000008");
  for (const auto &Step : Run.Steps()) {
    if (Step["step"] == "BoardInitDxe") EXPECT_EQ(Step["status"], "0x0");
  }
}

}  // namespace
