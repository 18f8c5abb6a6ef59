// Every failure a driver can meet, in turn: each pool allocation failing,
// each protocol it looks up missing, each error SetVariable can return. For
// every run: no fault, the status the driver must return, and no block left
// allocated that a clean run would not keep (a failure path frees what it
// allocated).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "Core/Scenario.h"
#include "Runner/Simulation.h"

namespace {

constexpr const char *kSuccess = "0x0";
constexpr const char *kNotFound = "0x800000000000000E";

struct Outcome {
  std::vector<std::string> Faults;
  std::string Status;  // the image step's
  std::vector<uint64_t> Live;
  uint64_t Allocations = 0;
};

// Runs Driver (SioPowerSmm then takes an S5 and a power-button SMI) and
// reports what a failure path is judged by.
Outcome RunDriver(const std::string &Driver, sim::Scenario S) {
  S.Run = {sim::Step::Load(Driver)};
  if (Driver == "SioPowerSmm") {
    S.Run.insert(S.Run.end(), {sim::Step::Sleep(5), sim::Step::PowerButtonPress()});
  }
  sim::Trace Trace;
  sim::Simulation Simulation(std::move(S), Trace);
  Simulation.RunAll();
  Outcome O;
  for (const auto &E : Trace.Events()) {
    if (E["event"] == "fault") O.Faults.push_back(E["what"]);
    if (E["event"] == "step" && E["step"] == Driver) O.Status = E["status"].is_null() ? "null" : E["status"];
    if (E["event"] == "call" && E.contains("allocation")) O.Allocations++;
  }
  O.Live = Simulation.GetFirmware().LiveBlockNumbers();
  return O;
}

bool Within(const std::vector<uint64_t> &Live, const std::vector<uint64_t> &Kept) {
  return std::includes(Kept.begin(), Kept.end(), Live.begin(), Live.end());
}

std::string Text(const std::vector<uint64_t> &Numbers) {
  std::string Out;
  for (uint64_t N : Numbers) Out += std::to_string(N) + " ";
  return Out;
}

class FailurePaths : public ::testing::TestWithParam<const char *> {};

TEST_P(FailurePaths, EveryAllocationFailingInTurn) {
  const std::string Driver = GetParam();
  const Outcome Clean = RunDriver(Driver, sim::DefaultScenario());
  ASSERT_TRUE(Clean.Faults.empty());
  ASSERT_GT(Clean.Allocations, 0u);
  for (uint64_t N = 1; N <= Clean.Allocations; ++N) {
    sim::Scenario S = sim::DefaultScenario();
    S.FailAllocations = {static_cast<uint32_t>(N)};
    const Outcome O = RunDriver(Driver, S);
    EXPECT_TRUE(O.Faults.empty()) << "allocation " << N << ": " << O.Faults.front();
    // Every driver's entry succeeds without any one of its allocations.
    EXPECT_EQ(O.Status, kSuccess) << "allocation " << N;
    EXPECT_TRUE(Within(O.Live, Clean.Live))
        << "allocation " << N << " failing leaves [" << Text(O.Live) << "], a clean run keeps [" << Text(Clean.Live) << "]";
    EXPECT_EQ(std::count(O.Live.begin(), O.Live.end(), N), 0) << "the failed allocation holds nothing";
  }
}

TEST_P(FailurePaths, EveryProtocolMissingInTurn) {
  const std::string Driver = GetParam();
  const bool Smm = Driver == "SioPowerSmm";
  const Outcome Clean = RunDriver(Driver, sim::DefaultScenario());
  struct Missing {
    const char *Name;
    bool sim::ProtocolSet::*Flag;
    const char *SmmStatus;  // what SioPowerSmm's entry returns without it
  } Cases[] = {
      {"PCD_PROTOCOL", &sim::ProtocolSet::Pcd, kSuccess},
      {"EFI_PCD_PROTOCOL", &sim::ProtocolSet::EfiPcd, kSuccess},
      {"debug print service", &sim::ProtocolSet::DebugPrint, kSuccess},
      {"SMM Base2", &sim::ProtocolSet::SmmBase2, kNotFound},
      {"SMM Access2", &sim::ProtocolSet::SmmAccess2, kSuccess},
      {"Sx dispatch", &sim::ProtocolSet::SxDispatch, kNotFound},
      {"power-button dispatch", &sim::ProtocolSet::PowerButtonDispatch, kNotFound},
      {"SMM variable", &sim::ProtocolSet::SmmVariable, kSuccess},
  };
  for (const Missing &M : Cases) {
    sim::Scenario S = sim::DefaultScenario();
    S.Protocols.*M.Flag = false;
    const Outcome O = RunDriver(Driver, S);
    EXPECT_TRUE(O.Faults.empty()) << M.Name << ": " << O.Faults.front();
    EXPECT_EQ(O.Status, Smm ? M.SmmStatus : kSuccess) << M.Name;
    // A missing protocol can spare allocations, so numbers shift: count.
    EXPECT_LE(O.Live.size(), Clean.Live.size()) << M.Name << " missing leaves [" << Text(O.Live) << "]";
  }
}

TEST_P(FailurePaths, EverySetVariableErrorInTurn) {
  const std::string Driver = GetParam();
  const Outcome Clean = RunDriver(Driver, sim::DefaultScenario());
  for (uint64_t Error : {0x8000000000000003ull, 0x8000000000000007ull, 0x8000000000000008ull, 0x8000000000000009ull,
                         0x800000000000001Aull}) {
    sim::Scenario S = sim::DefaultScenario();
    S.SetVariableStatus = Error;
    S.Setup->Data[0x23A] = 1;  // BoardInitDxe then writes, and meets the error
    const Outcome O = RunDriver(Driver, S);
    EXPECT_TRUE(O.Faults.empty()) << std::hex << Error;
    EXPECT_EQ(O.Status, kSuccess) << std::hex << Error;
    EXPECT_LE(O.Live.size(), Clean.Live.size()) << std::hex << Error << ": [" << Text(O.Live) << "]";
  }
}

INSTANTIATE_TEST_SUITE_P(EachDriver, FailurePaths,
                         ::testing::Values("BoardInitDxe", "SignalTuneDxe", "SubsysIdDxe", "SioPowerSmm"),
                         [](const ::testing::TestParamInfo<const char *> &Info) { return std::string(Info.param); });

}  // namespace
