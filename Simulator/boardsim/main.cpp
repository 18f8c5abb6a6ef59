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

#include <CLI/CLI.hpp>

#include "Core/Scenario.h"
#include "Core/Trace.h"
#include "Runner/Output.h"
#include "Runner/Simulation.h"

namespace {

int Malformed(const std::string &Path, const std::string &Message) {
  std::cerr << "boardsim: scenario " << Path << ": " << Message << "\n";
  return 2;
}

int Run(const std::string &ScenarioPath, bool UseDefault, std::string Format, const std::string &TracePath) {
  sim::Scenario Scenario;
  if (UseDefault) {
    Scenario = sim::DefaultScenario();
  } else {
    auto Parsed = sim::LoadScenarioFile(ScenarioPath);
    if (auto *Error = std::get_if<sim::ScenarioError>(&Parsed)) {
      return Malformed(Error->Path, Error->Message);
    }
    Scenario = std::get<sim::Scenario>(std::move(Parsed));
  }

  sim::Trace Trace;
  Trace.SetRetain(false);
  sim::Simulation Simulation(Scenario, Trace);
  if (UseDefault) {
    // The default scenario runs only what this build has.
    std::vector<sim::Step> Runnable;
    for (const sim::Step &S : Scenario.Run) {
      if (Simulation.Supports(S)) Runnable.push_back(S);
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
  if (Format == "text") {
    std::cout << sim::TextHeader();
    Trace.AddSink([](const sim::Json &E) { std::cout << sim::FormatTextLine(E); });
  } else {
    Trace.AddSink([](const sim::Json &E) { std::cout << sim::FormatJsonLine(E); });
  }

  for (const sim::Step &S : Scenario.Run) {
    Simulation.RunStep(S);
  }
  Trace.Emit("final", Simulation.FinalState());
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

}  // namespace

int main(int argc, char **argv) {
  // A reader that went away is a write error to report, not a silent death.
  std::signal(SIGPIPE, SIG_IGN);
  CLI::App App{"boardsim: runs the board's drivers against a simulated board and traces every access"};
  App.require_subcommand(1);

  std::string ScenarioPath;
  bool UseDefault = false;
  std::string Format;
  std::string TracePath;
  CLI::App *RunCommand = App.add_subcommand("run", "Run a scenario (or the built-in default) and print the event stream");
  auto *PathOption = RunCommand->add_option("SCENARIO", ScenarioPath, "Scenario file (JSON)");
  auto *DefaultFlag = RunCommand->add_flag("--default", UseDefault, "Run the built-in default scenario");
  PathOption->excludes(DefaultFlag);
  RunCommand->add_option("--format", Format, "Output format: jsonl (default when stdout is not a terminal) or text")
      ->check(CLI::IsMember({"jsonl", "text"}));
  RunCommand->add_option("--trace", TracePath, "Also write the JSON Lines stream to this file");

  CLI::App *ShowDefault = App.add_subcommand("default-scenario", "Print the built-in default scenario as a scenario file");

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
    if (!UseDefault && ScenarioPath.empty()) {
      std::cerr << "boardsim run: give a scenario file or --default\n";
      return 2;
    }
    return Run(ScenarioPath, UseDefault, Format, TracePath);
  } catch (const std::exception &E) {
    std::cerr << "boardsim: internal failure: " << E.what() << "\n";
    return 1;
  }
}
