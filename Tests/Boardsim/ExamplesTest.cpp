// Each example scenario shows what it says it shows; an example that drifted
// into showing nothing would still run cleanly under both engines.
#include <gtest/gtest.h>

#include <filesystem>
#include <variant>

#include "Runner/Simulation.h"

namespace {

using sim::Json;

// The example's events land in T (empty when the file does not load).
void RunExample(const std::string &Name, sim::Trace &T) {
  auto Loaded = sim::LoadScenarioFile((std::filesystem::path(BOARD_SOURCE_DIR) / "examples" / Name).string());
  if (auto *Error = std::get_if<sim::ScenarioError>(&Loaded)) {
    ADD_FAILURE() << Name << ": " << Error->Path << ": " << Error->Message;
    return;
  }
  sim::Simulation Sim(std::get<sim::Scenario>(std::move(Loaded)), T);
  Sim.RunAll();
}

// Byte Offset of a hex string (Setup image, or CMOS from 0x80).
unsigned ByteAt(const Json &Hex, size_t Offset) {
  return static_cast<unsigned>(std::stoul(Hex.get<std::string>().substr(2 * Offset, 2), nullptr, 16));
}

TEST(Examples, TheStrapFoundAndNotFound) {
  sim::Trace FoundRun;
  RunExample("strap-found.json", FoundRun);
  const Json Found = FoundRun.Events().back();
  EXPECT_EQ(ByteAt(Found["setup"], 0x23A), 1u);  // BoardProbeResult
  EXPECT_EQ(ByteAt(Found["setup"], 0x22E), 0u);  // ProbeGatedOption cleared

  sim::Trace Lost;
  RunExample("strap-not-found.json", Lost);
  size_t SetupWrites = 0;
  for (const Json &C : Lost.Select("call")) SetupWrites += C["service"] == "SetVariable";
  EXPECT_EQ(SetupWrites, 1u);
  EXPECT_EQ(ByteAt(Lost.Events().back()["setup"], 0x23A), 0u);
  EXPECT_EQ(ByteAt(Lost.Events().back()["setup"], 0x22E), 0u);  // kept as the earlier probe left it
}

TEST(Examples, EveryTuningByteKeptWritesBackWhatWasRead) {
  sim::Trace Run;
  RunExample("tuning-all-keep.json", Run);
  const std::vector<Json> Writes = Run.Select("smn-write");
  // Controller 0's five ports, controllers 1, 3 and 4, both links' third
  // registers; the links' first registers are switched off.
  EXPECT_EQ(Writes.size(), 10u);
  for (const Json &W : Writes) {
    EXPECT_EQ(W["value"], "0xA5A5A5A5") << W.dump();
    EXPECT_NE(W["address"], "0x16C0C2C0");
    EXPECT_NE(W["address"], "0x16C0C2C4");
  }
}

TEST(Examples, ADeadKeyboardControllerDoesNotStopS3) {
  sim::Trace Run;
  RunExample("kbc-dead-at-s3.json", Run);
  const std::vector<Json> Returns = Run.Select("smi-return");
  ASSERT_EQ(Returns.size(), 1u);
  EXPECT_EQ(Returns[0]["status"], "0x0");
  EXPECT_TRUE(Run.Select("fault").empty());
  bool PowerDeviceWritten = false;
  for (const Json &E : Run.Select("sio-write")) {
    PowerDeviceWritten |= E["register"] == "0xF9" && E["value"] == "0xC";
  }
  EXPECT_TRUE(PowerDeviceWritten);
}

TEST(Examples, TheStatusPortInhibitsPowerOff) {
  sim::Trace Run;
  RunExample("power-off-inhibited.json", Run);
  size_t StatusReads = 0;
  for (const Json &E : Run.Select("io-read")) {
    StatusReads += E["port"] == "0x803" && E["value"] == "0x4";
  }
  EXPECT_EQ(StatusReads, 2u);  // the button, then S5
  for (const Json &E : Run.Select("sio-write")) {
    EXPECT_NE(E["register"], "0xE0") << E.dump();
    EXPECT_NE(E["register"], "0xEC") << E.dump();
  }
}

TEST(Examples, TwoHobsRelayedInOrder) {
  sim::Trace Run;
  RunExample("heap-relay-two-hobs.json", Run);
  const Json Buffers = Run.Events().back()["heap_buffers"];
  ASSERT_EQ(Buffers.size(), 2u) << Buffers.dump();
  EXPECT_EQ(Buffers[0]["payload"], "DEADBEEF00112233");
  EXPECT_EQ(Buffers[1]["payload"], "0102030405");
  EXPECT_EQ(Buffers[1]["header"], "48454150000000000500000008010200");
}

TEST(Examples, AnArmedTrailKeepsTheModuleAndTakesTheNewStatement) {
  sim::Trace Run;
  RunExample("cmos-trail-armed.json", Run);
  const Json Cmos = Run.Events().back()["cmos"];
  EXPECT_EQ(ByteAt(Cmos, 0x98 - 0x80), 1u);
  const unsigned Prefix[] = {0x1A, 0x16, 0x7D, 0xD9, 0x5C};
  for (unsigned I = 0; I < 5; ++I) EXPECT_EQ(ByteAt(Cmos, 0x20 + I), Prefix[I]) << I;
  std::string Name;
  for (unsigned I = 0; I < 15; ++I) Name += static_cast<char>(ByteAt(Cmos, 0x40 + I));
  EXPECT_EQ(Name, "VexCspSmmBootSc");  // the checkpointed library's source file, cut to 15
  EXPECT_NE(ByteAt(Cmos, 0x10) * 256 + ByteAt(Cmos, 0x11), 123u);
}

// Under both engines alike: the compare tests hold the image engine to these.
TEST(Examples, NoneFaultsOrTouchesMemoryOutsideSmram) {
  for (const auto &Entry : std::filesystem::directory_iterator(std::filesystem::path(BOARD_SOURCE_DIR) / "examples")) {
    sim::Trace Run;
    RunExample(Entry.path().filename().string(), Run);
    ASSERT_FALSE(Run.Events().empty()) << Entry.path();
    EXPECT_EQ(Run.Events().back()["smm_outside_accesses"], 0) << Entry.path();
    EXPECT_TRUE(Run.Select("fault").empty()) << Entry.path();
    EXPECT_TRUE(Run.Select("smm-outside-access").empty()) << Entry.path();
  }
}

}  // namespace
