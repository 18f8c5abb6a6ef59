// The boardsim command line as outside tools use it: exit codes, streams and
// the event stream's framing.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include "Runner/Simulation.h"

namespace {

struct Result {
  int Exit = -1;
  std::string Out, Err;
};

Result RunBoardsim(const std::string &Args, const std::string &ScenarioText = "") {
  auto Dir = std::filesystem::temp_directory_path() / ("boardsim-cli-" + std::to_string(getpid()));
  std::filesystem::create_directories(Dir);
  std::string ScenarioPath = (Dir / "scenario.json").string();
  if (!ScenarioText.empty()) std::ofstream(ScenarioPath) << ScenarioText;
  std::string OutPath = (Dir / "out").string(), ErrPath = (Dir / "err").string();
  std::string Command = std::string(BOARDSIM_BINARY) + " " + Args;
  if (!ScenarioText.empty()) Command += " " + ScenarioPath;
  Command += " >" + OutPath + " 2>" + ErrPath + " </dev/null";
  Result R;
  int Status = std::system(Command.c_str());
  R.Exit = WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
  std::stringstream Out, Err;
  Out << std::ifstream(OutPath).rdbuf();
  Err << std::ifstream(ErrPath).rdbuf();
  R.Out = Out.str();
  R.Err = Err.str();
  std::filesystem::remove_all(Dir);
  return R;
}

std::vector<nlohmann::json> Lines(const std::string &Text) {
  std::vector<nlohmann::json> Out;
  std::istringstream In(Text);
  for (std::string Line; std::getline(In, Line);) Out.push_back(nlohmann::json::parse(Line));
  return Out;
}

TEST(BoardsimCli, DefaultScenarioStreamsJsonLinesEndingInTheFinalState) {
  Result R = RunBoardsim("run --default");
  ASSERT_EQ(R.Exit, 0) << R.Err;
  auto Events = Lines(R.Out);
  ASSERT_FALSE(Events.empty());
  for (size_t I = 0; I < Events.size(); ++I) {
    EXPECT_EQ(Events[I]["seq"], I);
    EXPECT_TRUE(Events[I].contains("t_us") && Events[I].contains("image") && Events[I].contains("event"));
  }
  const auto &Final = Events.back();
  EXPECT_EQ(Final["event"], "final");
  for (const char *Key : {"setup", "setup_attributes", "pcd", "cmos", "cpu_frequency_record", "heap_buffers",
                          "memory_log", "post_codes", "t_us"}) {
    EXPECT_TRUE(Final.contains(Key)) << Key;
  }
  EXPECT_EQ(Final["cmos"].get<std::string>().size(), 256u);
  EXPECT_EQ(Final["pcd"]["623"], "0x6A311C5E");
}

TEST(BoardsimCli, TraceFileAndTextFormat) {
  auto TracePath = std::filesystem::temp_directory_path() / ("boardsim-trace-" + std::to_string(getpid()));
  Result R = RunBoardsim("run --default --format text --trace " + TracePath.string());
  ASSERT_EQ(R.Exit, 0) << R.Err;
  EXPECT_NE(R.Out.find("smn-write"), std::string::npos);
  std::stringstream Trace;
  Trace << std::ifstream(TracePath).rdbuf();
  std::filesystem::remove(TracePath);
  auto Events = Lines(Trace.str());
  ASSERT_FALSE(Events.empty());
  EXPECT_EQ(Events.back()["event"], "final");
}

TEST(BoardsimCli, MalformedScenariosExitTwoNamingTheField) {
  struct Case {
    const char *Text;
    const char *Path;
  } Cases[] = {
      {R"({"cpu": {"pstate": 9}})", "$.cpu.pstate"},
      {R"({"bogus": 1})", "$.bogus"},
      {R"({"run": ["NoSuchDriver"]})", "$.run[0]"},
      {R"({"setup": {"bytes": {"0x300": 1}}})", "$.setup.bytes"},
      {"{not json", "$"},
  };
  for (const Case &C : Cases) {
    Result R = RunBoardsim("run", C.Text);
    EXPECT_EQ(R.Exit, 2) << C.Text;
    EXPECT_TRUE(R.Out.empty()) << C.Text;
    EXPECT_NE(R.Err.find(C.Path), std::string::npos) << C.Text << " -> " << R.Err;
    EXPECT_EQ(std::count(R.Err.begin(), R.Err.end(), '\n'), 1) << "one line on stderr";
  }
}

TEST(BoardsimCli, UnreadableFileExitsTwo) {
  Result R = RunBoardsim("run /nonexistent/scenario.json");
  EXPECT_EQ(R.Exit, 2);
  EXPECT_TRUE(R.Out.empty());
}

TEST(BoardsimCli, ScenarioRunsItsSteps) {
  Result R = RunBoardsim("run --format jsonl", R"({"run": ["SubsysIdDxe"], "smn": {"0x13B00000": "0x12341022"}})");
  ASSERT_EQ(R.Exit, 0) << R.Err;
  bool Seen = false;
  for (const auto &E : Lines(R.Out)) {
    if (E["event"] == "smn-write" && E["address"] == "0x13B00050") {
      EXPECT_EQ(E["value"], "0x12341C5E");
      EXPECT_EQ(E["image"], "SubsysIdDxe");
      Seen = true;
    }
  }
  EXPECT_TRUE(Seen);
}

TEST(BoardsimCli, ScriptStepRunsEveryRecordClassOnTheBoard) {
  std::ifstream Example(std::string(BOARD_SOURCE_DIR) + "/examples/board-script.json");
  std::stringstream Text;
  Text << Example.rdbuf();
  Result R = RunBoardsim("run --format jsonl", Text.str());
  ASSERT_EQ(R.Exit, 0) << R.Err;
  auto Events = Lines(R.Out);
  std::set<std::string> Kinds;
  for (const auto &E : Events) {
    if (E["image"] == "script") Kinds.insert(E["event"].get<std::string>());
  }
  for (const char *Kind : {"mmio-read", "mmio-write", "io-read", "io-write", "msr-read", "smbus", "pci-read", "cmos-read"}) {
    EXPECT_TRUE(Kinds.count(Kind)) << Kind;
  }
  const auto &Step = Events[Events.size() - 2];
  ASSERT_EQ(Step["event"], "step");
  EXPECT_EQ(Step["outcome"], true);
  EXPECT_EQ(Step["packed_length"], 44 + 60 + 44 + 60 + 40 + 21 + 29 + 15);
  EXPECT_EQ(Step["packed"].get<std::string>().size(), 2u * Step["packed_length"].get<size_t>());
}

TEST(BoardsimCli, ScriptWithoutTerminatorAndAFailingCondition) {
  // The probe's strap condition against a pin that reads low; no terminator word.
  Result R = RunBoardsim("run --format jsonl", R"({"mmio": {"0xFED81664": {"width": 32, "value": "0x00140000"}},
    "run": [{"script": ["0x81", "0xA0", "0xFED81664", "0xFFFF0000", "0", "0x150000", "0xFFFFFFFF", "0xFFFFFFFF", "0xFF"]}]})");
  ASSERT_EQ(R.Exit, 0) << R.Err;
  auto Events = Lines(R.Out);
  const auto &Step = Events[Events.size() - 2];
  EXPECT_EQ(Step["outcome"], false);
  EXPECT_EQ(Step["packed_length"], 44);
  // The worked example record, byte for byte.
  EXPECT_EQ(Step["packed"], "81A0006416D8FE000000000000FFFF0000000000000000000000000000150000000000FFFFFFFFFFFFFFFFFF");
}

TEST(BoardsimCli, ProbeWritesSetupOnceOverTwoBoots) {
  Result R = RunBoardsim("run --format jsonl", R"({"run": ["BoardInitDxe", "reset", "BoardInitDxe"]})");
  ASSERT_EQ(R.Exit, 0) << R.Err;
  size_t Writes = 0, IomuxWrites = 0;
  for (const auto &E : Lines(R.Out)) {
    Writes += E["event"] == "call" && E["service"] == "SetVariable";
    IomuxWrites += E["event"] == "mmio-write" && E["address"] == "0xFED80D59";
  }
  EXPECT_EQ(Writes, 1u);
  EXPECT_EQ(IomuxWrites, 2u);
}

TEST(Simulation, StepsWhoseDriverIsNotBuiltAreRefused) {
  auto Empty = std::filesystem::temp_directory_path() / ("boardsim-empty-" + std::to_string(getpid()));
  std::filesystem::create_directories(Empty);
  sim::Trace T;
  sim::Simulation Sim(sim::DefaultScenario(), T, Empty.string());
  sim::Step Step;
  Step.StepKind = sim::Step::Kind::Image;
  Step.Image = "SignalTuneDxe";
  std::string Why;
  EXPECT_FALSE(Sim.Supports(Step, &Why));
  EXPECT_NE(Why.find("SignalTuneDxe"), std::string::npos);
  std::filesystem::remove_all(Empty);
}

}  // namespace
