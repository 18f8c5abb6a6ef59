// The shipped image itself, under emulation, against the board and the
// simulated firmware: it must do what the host build of the same sources
// does, event for event.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "Common/SimEnvironment.h"
#include "Engine/EmulatedImage.h"
#include "Runner/Simulation.h"

void test::ForgetLibraryCaches() {}

namespace {

// Events without what only says who or when in the run (sequence number, the image's name).
std::vector<sim::Json> Comparable(std::vector<sim::Json> Events) {
  for (auto &E : Events) {
    E.erase("seq");
    E.erase("image");
  }
  return Events;
}

TEST(ImageRun, ShippedSubsysIdDxeDoesWhatItsHostBuildDoes) {
  // The host engine's run of the driver, up to its step event.
  sim::Trace HostTrace;
  {
    sim::Scenario S = sim::DefaultScenario();
    S.Run = {sim::Step::Load("SubsysIdDxe")};
    sim::Simulation Host(S, HostTrace);
    Host.RunAll();
  }
  std::vector<sim::Json> Expected;
  std::string HostStatus;
  for (const auto &E : HostTrace.Events()) {
    if (E["event"] == "step") {
      HostStatus = E["status"];
      break;
    }
    Expected.push_back(E);
  }
  ASSERT_EQ(HostStatus, "0x0");

  test::SimEnvironment Env;
  Env.Start();
  std::ifstream In(std::filesystem::path(BOARD_FIRMWARE_DIR) / "SubsysIdDxe.efi", std::ios::binary);
  const std::vector<uint8_t> File{std::istreambuf_iterator<char>(In), {}};
  std::string Error;
  auto Image = sim::EmulatedImage::Load(File, *Env.Board, Error);
  ASSERT_NE(Image, nullptr) << Error;
  Image->Attach(*Env.Firmware);
  const size_t Mark = Env.Mark();
  const auto R = Image->Enter(Env.Firmware->NewImageHandle(), Env.Firmware->SystemTable(), 1000000);
  ASSERT_FALSE(R.Faulted) << R.What;
  EXPECT_EQ(R.Rax, 0u);

  const auto Got = Comparable(Env.Since(Mark));
  const auto Want = Comparable(Expected);
  for (size_t I = 0; I < std::max(Got.size(), Want.size()); ++I) {
    ASSERT_LT(I, Got.size()) << "the image stopped before host event " << Want[I].dump();
    ASSERT_LT(I, Want.size()) << "the image went on with " << Got[I].dump();
    ASSERT_EQ(Got[I], Want[I]) << "first difference at event " << I;
  }
}

}  // namespace
