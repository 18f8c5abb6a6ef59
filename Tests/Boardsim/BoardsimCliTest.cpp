// The boardsim command line as outside tools use it: exit codes, streams and
// the event stream's framing.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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
      // A key given twice: the JSON library would let the last one win.
      {R"({"cpu": {"pstate": 9, "pstate": 1}})", "$.cpu.pstate: duplicate key"},
      {R"({"run": ["BoardInitDxe"], "run": ["SubsysIdDxe"]})", "$.run: duplicate key"},
      {R"({"hobs": [{}, {"kind": 1, "kind": 1}]})", "$.hobs[1].kind: duplicate key"},
      // Numbers: which way they are not what the field takes.
      {R"({"cpu": {"pstate": 1.0}})", "got 1.0 (not an integer"},
      {R"({"cpu": {"pstate": 1e2}})", "(not an integer"},
      {R"({"pcd": {"631": 18446744073709551616}})", "(out of range)"},
      // Where the text stops being JSON, unprintable bytes escaped.
      {"{\"run\": [\n  \"BoardInitDxe\",\x01 ]}", "line 2, column 18, near \" \"BoardInitDxe\",\\x01 ]}\""},
  };
  for (const Case &C : Cases) {
    Result R = RunBoardsim("run", C.Text);
    EXPECT_EQ(R.Exit, 2) << C.Text;
    EXPECT_TRUE(R.Out.empty()) << C.Text;
    EXPECT_NE(R.Err.find(C.Path), std::string::npos) << C.Text << " -> " << R.Err;
    EXPECT_EQ(std::count(R.Err.begin(), R.Err.end(), '\n'), 1) << "one line on stderr";
  }
  // Text after a NUL byte is not ignored.
  Result R = RunBoardsim("run", std::string("{\"run\":[\"BoardInitDxe\"]}\0{\"this is\": garbage", 41));
  EXPECT_EQ(R.Exit, 2);
  EXPECT_NE(R.Err.find("a NUL byte at line 1, column 25"), std::string::npos) << R.Err;
}

// What the user named is never lost or left unsaid: files that cannot be
// written, a trace that would overwrite the scenario, a file that never ends.
TEST(BoardsimCli, OutputAndInputFilesFailLoudly) {
  struct Case {
    const char *Args;
    int Exit;
    const char *Says;
  } Cases[] = {
      {"run --default >/dev/full", 1, "cannot write the event stream to standard output"},
      {"run --default >&-", 1, "cannot write the event stream to standard output"},
      {"run --default --trace /dev/full", 1, "cannot write the trace to /dev/full"},
      {"run --default --trace /nonexistent/dir/t.jsonl", 2, "t.jsonl: No such file or directory"},
      {"run /dev/zero", 2, "/dev/zero is larger than 16 MiB"},
  };
  const std::string ErrPath = "/tmp/boardsim-cli-err-" + std::to_string(getpid());
  for (const Case &C : Cases) {
    // A case's own redirection of stdout stands before ours and wins.
    std::string Command = std::string(BOARDSIM_BINARY) + " " + C.Args + " 2>" + ErrPath;
    if (std::string(C.Args).find('>') == std::string::npos) Command += " >/dev/null";
    const int Status = std::system(Command.c_str());
    std::stringstream Err;
    Err << std::ifstream(ErrPath).rdbuf();
    EXPECT_EQ(WIFEXITED(Status) ? WEXITSTATUS(Status) : -1, C.Exit) << C.Args;
    EXPECT_NE(Err.str().find(C.Says), std::string::npos) << C.Args << " -> " << Err.str();
  }
  std::filesystem::remove(ErrPath);

  const auto Scenario = std::filesystem::temp_directory_path() / ("boardsim-self-" + std::to_string(getpid()) + ".json");
  std::ofstream(Scenario) << R"({"run": []})";
  const std::string Same = std::string(BOARDSIM_BINARY) + " run " + Scenario.string() + " --trace " +
                           Scenario.string() + " >/dev/null 2>&1";
  int Status = std::system(Same.c_str());
  EXPECT_EQ(WIFEXITED(Status) ? WEXITSTATUS(Status) : -1, 2);
  std::stringstream Kept;
  Kept << std::ifstream(Scenario).rdbuf();
  EXPECT_EQ(Kept.str(), R"({"run": []})") << "the scenario is left as it was";
  std::filesystem::remove(Scenario);
}

// Image copies live in memory files: a run, whole or killed, leaves no file.
TEST(BoardsimCli, ARunLeavesNothingOnDisk) {
  const auto Temp = std::filesystem::temp_directory_path() / ("boardsim-tmp-" + std::to_string(getpid()));
  std::filesystem::create_directories(Temp);
  const std::string Env = "TMPDIR=" + Temp.string() + " ";
  int Status = std::system((Env + BOARDSIM_BINARY + " run --default >/dev/null 2>&1").c_str());
  EXPECT_EQ(WIFEXITED(Status) ? WEXITSTATUS(Status) : -1, 0);
  // Killed part way through a run.
  Status = std::system((Env + "timeout -s KILL 0.3 " + BOARDSIM_BINARY + " run --default >/dev/null 2>&1").c_str());
  EXPECT_TRUE(std::filesystem::is_empty(Temp));
  std::filesystem::remove_all(Temp);
}

// Accesses at the very top of the address space are modelled, not a crash.
TEST(BoardsimCli, ScriptAccessesAtTheTopOfTheAddressSpace) {
  Result R = RunBoardsim("run", R"({"run": [
      {"script": ["0x81", "0x80", "0xFFFFFFFFFFFFFFFC", "0", "0", "0", "0xFFFFFFFF", "0xFFFFFFFF", "0xFF"]},
      {"script": ["0x82", "0x80", "0xFFFFFFFFFFFFFFFC", "0", "0", "0", "0", "0", "0xFFFFFFFF", "0xFFFFFFFF", "0xFF"]}]})");
  ASSERT_EQ(R.Exit, 0) << R.Err;
  std::vector<std::string> Accesses;
  for (const auto &E : Lines(R.Out)) {
    if (E["event"] == "mmio-read" || E["event"] == "mmio-write") {
      Accesses.push_back((E["event"] == "mmio-read" ? "R " : "W ") + E["address"].get<std::string>() + "/" +
                         std::to_string(E["width"].get<int>()));
    }
  }
  // The index/data record writes its index at the top, then reads data at 0.
  EXPECT_EQ(Accesses, (std::vector<std::string>{"R 0xFFFFFFFFFFFFFFFC/32", "W 0xFFFFFFFFFFFFFFFC/32", "R 0x0/32"}));
}

// The compile keeps a field's low bytes by design; the script step says so.
TEST(BoardsimCli, ScriptWordsWiderThanTheirFieldAreNamed) {
  Result R = RunBoardsim("run", R"({"run": [{"script": ["0x14", "0x10", "0x3", "0x10005", "0", "0", "0x1FF"]}]})");
  ASSERT_EQ(R.Exit, 0) << R.Err;
  std::vector<std::string> Warnings;
  for (const auto &E : Lines(R.Out)) {
    if (E["event"] == "warning") {
      Warnings.push_back(std::to_string(E["word"].get<int>()) + " " + E["field"].get<std::string>() + " " +
                         E["value"].get<std::string>() + "->" + E["kept"].get<std::string>());
    }
  }
  EXPECT_EQ(Warnings, (std::vector<std::string>{"3 Count 0x10005->0x5", "6 Reserved2 0x1FF->0xFF"}));
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
  EXPECT_EQ(Step["packed_length"], "0x139");  // 44 + 60 + 44 + 60 + 40 + 21 + 29 + 15
  EXPECT_EQ(Step["packed"].get<std::string>().size(), 2u * 0x139);
}

TEST(BoardsimCli, ScriptWithoutTerminatorAndAFailingCondition) {
  // The probe's strap condition against a pin that reads low; no terminator word.
  Result R = RunBoardsim("run --format jsonl", R"({"mmio": {"0xFED81664": {"width": 32, "value": "0x00140000"}},
    "run": [{"script": ["0x81", "0xA0", "0xFED81664", "0xFFFF0000", "0", "0x150000", "0xFFFFFFFF", "0xFFFFFFFF", "0xFF"]}]})");
  ASSERT_EQ(R.Exit, 0) << R.Err;
  auto Events = Lines(R.Out);
  const auto &Step = Events[Events.size() - 2];
  EXPECT_EQ(Step["outcome"], false);
  EXPECT_EQ(Step["packed_length"], "0x2C");
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

// A file that is no loadable image is refused before anything runs: one line
// naming the file and what is wrong with it, nothing on stdout.
TEST(BoardsimCli, TheImageEngineRefusesAForeignOrDamagedImageBeforeRunning) {
  const std::string Shipped = std::string(BOARD_FIRMWARE_DIR) + "/SubsysIdDxe.efi";
  std::ifstream In(Shipped, std::ios::binary);
  const std::string Bytes{std::istreambuf_iterator<char>(In), {}};
  ASSERT_GT(Bytes.size(), 0x200u);
  const auto Dir = std::filesystem::temp_directory_path() / ("boardsim-images-" + std::to_string(getpid()));
  std::filesystem::create_directories(Dir);
  const std::string Truncated = (Dir / "truncated.efi").string();
  std::ofstream(Truncated, std::ios::binary) << Bytes.substr(0, 0x100);
  const std::string HostObject = std::string(BOARD_IMAGE_DIR) + "/SubsysIdDxe.so";
  for (const auto &[File, Reason] : {std::pair{Truncated, std::string("truncated")}, {HostObject, "no MZ"}}) {
    Result R = RunBoardsim("run --default --engine image --image SubsysIdDxe=" + File);
    EXPECT_EQ(R.Exit, 2) << File;
    EXPECT_TRUE(R.Out.empty());
    EXPECT_EQ(std::count(R.Err.begin(), R.Err.end(), '\n'), 1) << R.Err;
    EXPECT_NE(R.Err.find(File), std::string::npos) << R.Err;
    EXPECT_NE(R.Err.find(Reason), std::string::npos) << R.Err;
  }
  std::filesystem::remove_all(Dir);
  // The shipped file itself runs.
  EXPECT_EQ(RunBoardsim("run --default --engine image --image SubsysIdDxe=" + Shipped).Exit, 0);
  EXPECT_EQ(RunBoardsim("run --default --image SubsysIdDxe=" + Shipped).Exit, 2);  // a host run loads no PE file
}

TEST(BoardsimCli, CompareExitsOneWithTheFirstDifferenceAndWhereTheImageMadeIt) {
  Result Same = RunBoardsim("compare --default");
  EXPECT_EQ(Same.Exit, 0) << Same.Out << Same.Err;
  Result R = RunBoardsim("compare --default --image SubsysIdDxe=" + std::string(BOARD_FIRMWARE_DIR) + "/SignalTuneDxe.efi");
  EXPECT_EQ(R.Exit, 1) << R.Err;
  EXPECT_NE(R.Out.find("differ at event"), std::string::npos) << R.Out;
  EXPECT_NE(R.Out.find("host:  {"), std::string::npos) << R.Out;
  EXPECT_NE(R.Out.find("image: {"), std::string::npos) << R.Out;
  EXPECT_NE(R.Out.find("made by SubsysIdDxe+0x"), std::string::npos) << R.Out;
}

// A saved trace against the scenario it came from, and against one that
// changes a register's value; a file that is neither is refused.
TEST(BoardsimCli, DiffReadsTracesAndScenariosAndExitsByWhatItFound) {
  const auto Dir = std::filesystem::temp_directory_path() / ("boardsim-diff-" + std::to_string(getpid()));
  std::filesystem::create_directories(Dir);
  const std::string Scenario = (Dir / "a.json").string(), Other = (Dir / "b.json").string();
  const std::string Saved = (Dir / "a.jsonl").string(), Junk = (Dir / "junk.txt").string();
  std::ofstream(Scenario) << R"({"run": ["SubsysIdDxe"]})";
  std::ofstream(Other) << R"({"cmos": {"0x98": "0x01"}, "run": ["SubsysIdDxe"]})";
  std::ofstream(Junk) << "not json\n";
  ASSERT_EQ(RunBoardsim("run " + Scenario + " --trace " + Saved).Exit, 0);
  Result Same = RunBoardsim("diff " + Saved + " " + Scenario);
  EXPECT_EQ(Same.Exit, 0) << Same.Out << Same.Err;
  EXPECT_EQ(Same.Out, "boardsim diff: no differences\n");
  Result Differs = RunBoardsim("diff " + Saved + " " + Other);
  EXPECT_EQ(Differs.Exit, 1) << Differs.Err;
  EXPECT_NE(Differs.Out.find("  CMOS\n"), std::string::npos) << Differs.Out;
  Result Bad = RunBoardsim("diff " + Junk + " " + Scenario);
  EXPECT_EQ(Bad.Exit, 2);
  EXPECT_TRUE(Bad.Out.empty());
  EXPECT_NE(Bad.Err.find("neither a trace nor a scenario"), std::string::npos) << Bad.Err;
  std::filesystem::remove_all(Dir);
  EXPECT_EQ(RunBoardsim("bogus").Exit, 2);
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
