// boardsim: runs the drivers against the simulated board and reports, access
// by access, what they did.
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <variant>
#include <vector>
#include <algorithm>
#include <map>
#include <optional>

#include <CLI/CLI.hpp>

#include "Core/Scenario.h"
#include "Core/Trace.h"
#include "Runner/Compare.h"
#include "Runner/Diff.h"
#include "Runner/Html.h"
#include "Runner/Output.h"
#include "Runner/Simulation.h"

namespace {

int Malformed(const std::string &Path, const std::string &Message) {
  std::cerr << "boardsim: scenario " << Path << ": " << Message << "\n";
  return 2;
}

// The scenario file, or the default one; exit status 2 and the reason when
// it is malformed.
std::variant<sim::Scenario, int> ReadScenario(const std::string &ScenarioPath, bool UseDefault) {
  if (UseDefault) {
    return sim::DefaultScenario();
  }
  auto Parsed = sim::LoadScenarioFile(ScenarioPath);
  if (auto *Error = std::get_if<sim::ScenarioError>(&Parsed)) {
    return Malformed(Error->Path, Error->Message);
  }
  return std::get<sim::Scenario>(std::move(Parsed));
}

// The images the steps load.
std::vector<std::string> ImagesOf(const sim::Scenario &S) {
  std::vector<std::string> Out;
  auto Add = [&](const std::string &Name) {
    if (std::find(Out.begin(), Out.end(), Name) == Out.end()) Out.push_back(Name);
  };
  for (const sim::Step &St : S.Run) {
    switch (St.StepKind) {
      case sim::Step::Kind::Image:
        Add(St.Image);
        break;
      case sim::Step::Kind::Sx:
      case sim::Step::Kind::PowerButton:
        Add("SioPowerSmm");
        break;
      case sim::Step::Kind::Script:
        Add("BoardScript");
        break;
      case sim::Step::Kind::Reset:
        break;
    }
  }
  return Out;
}

// Drops from the default scenario what this build lacks; refuses a given
// scenario with a step it cannot run, or an image that is no loadable image
// (exit 2, before anything runs). 0 when the run may start.
int Prepare(sim::Scenario &Scenario, bool UseDefault, sim::Simulation &Simulation) {
  if (UseDefault) {
    std::vector<sim::Step> Runnable;
    for (const sim::Step &S : Scenario.Run) {
      std::string Why;
      if (Simulation.Supports(S, &Why)) {
        Runnable.push_back(S);
      } else {
        std::cerr << "boardsim: skipping step " << sim::StepTitle(S.Name()) << ": " << Why << "\n";
      }
    }
    if (Runnable.empty() && !Scenario.Run.empty()) {
      std::cerr << "boardsim: nothing of the default run is built; build it with tools/build\n";
      return 2;
    }
    Scenario.Run = std::move(Runnable);
  } else {
    for (size_t I = 0; I < Scenario.Run.size(); ++I) {
      std::string Why;
      if (!Simulation.Supports(Scenario.Run[I], &Why)) {
        return Malformed("$.run[" + std::to_string(I) + "]", Why);
      }
    }
  }
  for (const std::string &Name : ImagesOf(Scenario)) {
    if (auto Why = Simulation.GetEngine().Check(Name)) {
      std::cerr << "boardsim: " << *Why << "\n";
      return 2;
    }
  }
  return 0;
}

int Run(const std::string &ScenarioPath, bool UseDefault, std::string Format, const std::string &TracePath,
        const sim::EngineChoice &Engine) {
  auto Read = ReadScenario(ScenarioPath, UseDefault);
  if (auto *Code = std::get_if<int>(&Read)) return *Code;
  sim::Scenario Scenario = std::get<sim::Scenario>(std::move(Read));

  sim::Trace Trace;
  Trace.SetRetain(false);
  sim::Simulation Simulation(Scenario, Trace, Engine);
  if (int Code = Prepare(Scenario, UseDefault, Simulation); Code != 0) return Code;

  if (Format.empty()) {
    Format = isatty(STDOUT_FILENO) ? "text" : "jsonl";
  }
  std::unique_ptr<std::ofstream> TraceFile;
  if (!TracePath.empty()) {
    std::error_code Ec;
    if (!UseDefault && std::filesystem::equivalent(TracePath, ScenarioPath, Ec)) {
      std::cerr << "boardsim: --trace " << TracePath << " is the scenario file; the trace would overwrite it\n";
      return 2;
    }
    errno = 0;
    TraceFile = std::make_unique<std::ofstream>(TracePath);
    if (!*TraceFile) {
      std::cerr << "boardsim: cannot write the trace to " << TracePath << ": "
                << (errno != 0 ? std::strerror(errno) : "cannot open it") << "\n";
      return 2;
    }
    Trace.AddSink([&](const sim::Json &E) { *TraceFile << sim::FormatJsonLine(E); });
  }
  std::unique_ptr<sim::HtmlTimeline> Page;
  if (Format == "html") {
    const std::string Title = UseDefault ? "default scenario" : std::filesystem::path(ScenarioPath).filename().string();
    Page = std::make_unique<sim::HtmlTimeline>(Title, Scenario.Setup);
    Trace.AddSink([&](const sim::Json &E) { Page->Add(E); });
  } else if (Format == "text") {
    std::cout << sim::TextFormatter::Header();
    auto Formatter = std::make_shared<sim::TextFormatter>(
        Scenario.Setup ? std::optional<std::vector<uint8_t>>(Scenario.Setup->Data) : std::nullopt);
    Trace.AddSink([Formatter](const sim::Json &E) { std::cout << Formatter->Format(E); });
  } else {
    Trace.AddSink([](const sim::Json &E) { std::cout << sim::FormatJsonLine(E); });
  }

  for (const sim::Step &S : Scenario.Run) {
    if (Format == "text") std::cout << sim::TextFormatter::StepHeader(S.Name());
    Simulation.RunStep(S);
  }
  Trace.Emit("final", Simulation.FinalState());
  if (Page != nullptr) Page->Write(std::cout);
  // A trace that did not arrive whole is a failed run, not a quiet one.
  std::cout.flush();
  if (!std::cout) {
    std::cerr << "boardsim: cannot write the event stream to standard output\n";
    return 1;
  }
  if (TraceFile != nullptr) {
    TraceFile->flush();
    if (!*TraceFile) {
      std::cerr << "boardsim: cannot write the trace to " << TracePath << "\n";
      return 1;
    }
  }
  return 0;
}

// Both engines over one scenario: exit 0 when every event agrees, 1 with the
// first difference when not.
int Compare(const std::string &ScenarioPath, bool UseDefault, const sim::EngineChoice &Image) {
  auto Read = ReadScenario(ScenarioPath, UseDefault);
  if (auto *Code = std::get_if<int>(&Read)) return *Code;
  sim::Scenario Scenario = std::get<sim::Scenario>(std::move(Read));
  {
    sim::Trace Probe;
    sim::Simulation ImageSide(Scenario, Probe, Image);
    sim::Scenario Checked = Scenario;
    if (int Code = Prepare(Checked, UseDefault, ImageSide); Code != 0) return Code;
  }
  const sim::EngineComparison C = sim::CompareEngines(Scenario, {}, Image);
  if (C.Same) {
    std::cout << "boardsim compare: the engines agree on all " << C.Events << " events\n";
    return 0;
  }
  std::cout << "boardsim compare: the engines differ at event " << C.Events << "\n"
            << "  host:  " << (C.HostEvent.is_null() ? std::string("(no more events)") : C.HostEvent.dump()) << "\n"
            << "  image: " << (C.ImageEvent.is_null() ? std::string("(no more events)") : C.ImageEvent.dump()) << "\n"
            << "  made by " << C.ImageOrigin.value_or("no instruction of an image") << "\n";
  return 1;
}

// Two runs (scenario files or saved traces): exit 0 when nothing differs, 1
// with the differences when something does.
int Diff(const std::string &First, const std::string &Second, const sim::EngineChoice &Engine) {
  auto A = sim::EventsOf(First, Engine);
  if (auto *Error = std::get_if<std::string>(&A)) {
    std::cerr << "boardsim diff: " << *Error << "\n";
    return 2;
  }
  auto B = sim::EventsOf(Second, Engine);
  if (auto *Error = std::get_if<std::string>(&B)) {
    std::cerr << "boardsim diff: " << *Error << "\n";
    return 2;
  }
  if (!sim::DiffRuns(std::get<0>(A), std::get<0>(B), std::cout)) {
    std::cout << "boardsim diff: no differences\n";
    return 0;
  }
  return 1;
}

// NAME=PATH pairs: the image file to load for NAME; nullopt, said on
// stderr, for a malformed one.
std::optional<std::map<std::string, std::string>> ImagePaths(const std::vector<std::string> &Pairs) {
  std::map<std::string, std::string> Out;
  for (const std::string &P : Pairs) {
    const size_t Eq = P.find('=');
    if (Eq == std::string::npos || Eq == 0 || Eq + 1 == P.size()) {
      std::cerr << "boardsim: --image " << P << ": expected NAME=PATH\n";
      return std::nullopt;
    }
    Out[P.substr(0, Eq)] = P.substr(Eq + 1);
  }
  return Out;
}

}  // namespace

int main(int argc, char **argv) {
  // A reader that went away is a write error to report, not a silent death.
  std::signal(SIGPIPE, SIG_IGN);
  CLI::App App{"boardsim: runs the board's drivers against a simulated board and traces every access"};
  App.require_subcommand(1);
  App.footer(
      "Exit status: 0 when the run went to its end, whatever the drivers returned (compare and diff: when nothing\n"
      "differs); 1 when compare or diff found a difference, or for an internal failure; 2 for a malformed scenario,\n"
      "an image that cannot be loaded or a bad command line (one line on stderr).");

  std::string ScenarioPath;
  bool UseDefault = false;
  std::string Format;
  std::string TracePath;
  CLI::App *RunCommand = App.add_subcommand("run", "Run a scenario (or the built-in default) and print the event stream");
  auto *PathOption = RunCommand->add_option("SCENARIO", ScenarioPath, "Scenario file (JSON)");
  auto *DefaultFlag = RunCommand->add_flag("--default", UseDefault, "Run the built-in default scenario");
  PathOption->excludes(DefaultFlag);
  RunCommand->add_option("--format", Format,
                         "Output format: jsonl (default when stdout is not a terminal), text, or html (one "
                         "self-contained page: the run's timeline and Setup before and after)")
      ->check(CLI::IsMember({"jsonl", "text", "html"}));
  RunCommand->add_option("--trace", TracePath, "Also write the JSON Lines stream to this file");
  std::string EngineName = "host";
  std::vector<std::string> ImagePairs;
  RunCommand->add_option("--engine", EngineName,
                         "What runs the drivers: host (their host builds, the default) or image (the shipped PE32+ "
                         "images under CPU emulation)")
      ->check(CLI::IsMember({"host", "image"}));
  RunCommand->add_option("--image", ImagePairs, "Image engine: load NAME (a driver, BoardScript) from PATH")
      ->type_name("NAME=PATH")->allow_extra_args(false);

  std::string CompareScenario;
  bool CompareDefault = false;
  std::vector<std::string> CompareImages;
  CLI::App *CompareCommand =
      App.add_subcommand("compare", "Run a scenario under both engines and report the first event where they differ");
  auto *ComparePath = CompareCommand->add_option("SCENARIO", CompareScenario, "Scenario file (JSON)");
  ComparePath->excludes(CompareCommand->add_flag("--default", CompareDefault, "Compare the built-in default scenario"));
  CompareCommand->add_option("--image", CompareImages, "Load NAME (a driver, BoardScript) from PATH")->type_name("NAME=PATH")->allow_extra_args(false);

  std::string DiffFirst, DiffSecond, DiffEngine = "host";
  CLI::App *DiffCommand = App.add_subcommand(
      "diff", "Show what differs between two runs (scenario files, run here, or saved JSON Lines traces)");
  DiffCommand->add_option("A", DiffFirst, "The first run: a scenario file or a trace")->required();
  DiffCommand->add_option("B", DiffSecond, "The second run: a scenario file or a trace")->required();
  DiffCommand->add_option("--engine", DiffEngine, "The engine that runs scenario files: host (default) or image")
      ->check(CLI::IsMember({"host", "image"}));

  CLI::App *ShowDefault = App.add_subcommand("default-scenario", "Print the built-in default scenario as a scenario file");

  // CLI11 would only say that a command is required.
  if (argc > 1 && argv[1][0] != '-') {
    const std::string Command = argv[1];
    const auto Commands = App.get_subcommands([](CLI::App *) { return true; });
    if (std::none_of(Commands.begin(), Commands.end(), [&](CLI::App *C) { return C->get_name() == Command; })) {
      std::cerr << "boardsim: unknown command '" << Command << "' (commands: run, compare, diff, default-scenario; "
                << "see boardsim --help)\n";
      return 2;
    }
  }
  try {
    App.parse(argc, argv);
  } catch (const CLI::ParseError &E) {
    int Code = App.exit(E);
    return Code == 0 ? 0 : 2;
  }

  try {
    if (ShowDefault->parsed()) {
      std::cout << sim::DefaultScenarioJson().dump(2) << "\n";
      return 0;
    }
    if (DiffCommand->parsed()) {
      return Diff(DiffFirst, DiffSecond,
                  sim::EngineChoice{DiffEngine == "image" ? sim::EngineKind::Image : sim::EngineKind::Host, {}, {}});
    }
    if (CompareCommand->parsed()) {
      if (!CompareDefault && CompareScenario.empty()) {
        std::cerr << "boardsim compare: give a scenario file or --default\n";
        return 2;
      }
      auto Paths = ImagePaths(CompareImages);
      if (!Paths) return 2;
      return Compare(CompareScenario, CompareDefault, sim::EngineChoice{sim::EngineKind::Image, {}, *Paths});
    }
    if (!UseDefault && ScenarioPath.empty()) {
      std::cerr << "boardsim run: give a scenario file or --default\n";
      return 2;
    }
    if (EngineName == "host" && !ImagePairs.empty()) {
      std::cerr << "boardsim run: --image needs --engine image\n";
      return 2;
    }
    auto Paths = ImagePaths(ImagePairs);
    if (!Paths) return 2;
    return Run(ScenarioPath, UseDefault, Format, TracePath,
               sim::EngineChoice{EngineName == "image" ? sim::EngineKind::Image : sim::EngineKind::Host, {}, *Paths});
  } catch (const std::exception &E) {
    std::cerr << "boardsim: internal failure: " << E.what() << "\n";
    return 1;
  }
}
