#include "Runner/Diff.h"

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>

#include "Runner/Html.h"
#include "Runner/Output.h"

namespace sim {

namespace {

// What an event says, without when it happened.
Json Content(Json Event) {
  Event.erase("seq");
  Event.erase("t_us");
  return Event;
}

// The event as the text trace shows it, without its sequence number and time.
std::string Text(const Json &Event) {
  std::string Line = FormatTextLine(Event);
  // "   seq       t_us  " is 19 columns wide.
  Line = Line.size() > 19 ? Line.substr(19) : Line;
  while (!Line.empty() && Line.back() == '\n') Line.pop_back();
  for (size_t At; (At = Line.find('\n')) != std::string::npos;) {
    const size_t Next = Line.find_first_not_of(' ', At + 1);
    Line.replace(At, Next - At, " ");
  }
  return Line;
}

// "key a → b" for the fields two events of the same kind disagree on.
std::string Changed(const Json &A, const Json &B) {
  std::vector<std::string> Parts;
  for (auto It = A.begin(); It != A.end(); ++It) {
    const Json &Other = B.value(It.key(), Json(nullptr));
    if (It.key() == "data" && A.value("name", "") == "Setup" && It->is_string() && Other.is_string()) {
      for (const std::string &C : SetupChanges(BytesOfHex(*It), BytesOfHex(Other))) Parts.push_back("Setup " + C);
    } else if (*It != Other) {
      Parts.push_back(It.key() + " " + (It->is_string() ? It->get<std::string>() : It->dump()) + " → " +
                      (Other.is_string() ? Other.get<std::string>() : Other.dump()));
    }
  }
  for (auto It = B.begin(); It != B.end(); ++It) {
    if (!A.contains(It.key())) Parts.push_back(It.key() + " (none) → " + It->dump());
  }
  std::string Out;
  for (const std::string &P : Parts) Out += (Out.empty() ? "" : ", ") + P;
  return Out;
}

struct RunStep {
  std::string Title;
  std::vector<Json> Events;  // its events, its step event last
};

std::vector<RunStep> Steps(const std::vector<Json> &Events, Json &Final) {
  std::vector<RunStep> Out;
  RunStep Current;
  for (const Json &E : Events) {
    const std::string Kind = E.value("event", "");
    if (Kind == "final") {
      Final = E;
      continue;
    }
    Current.Events.push_back(Content(E));
    if (Kind == "step") {
      Current.Title = StepTitle(E.value("step", ""));
      Out.push_back(std::move(Current));
      Current = RunStep{};
    }
  }
  if (!Current.Events.empty()) {
    Current.Title = "(unfinished step)";
    Out.push_back(std::move(Current));
  }
  return Out;
}

// The lines of the difference of two event sequences: unchanged ends
// skipped; a middle of equal length pairs event with event ("~" with the
// fields that changed when they are of one kind); otherwise removed ("-")
// then added ("+") events, after the longest common subsequence when the
// middle is small enough to search.
std::vector<std::string> Lines(const std::vector<Json> &A, const std::vector<Json> &B) {
  size_t Head = 0;
  while (Head < A.size() && Head < B.size() && A[Head] == B[Head]) ++Head;
  size_t Tail = 0;
  while (Tail < A.size() - Head && Tail < B.size() - Head && A[A.size() - 1 - Tail] == B[B.size() - 1 - Tail]) ++Tail;
  const size_t N = A.size() - Head - Tail, M = B.size() - Head - Tail;
  std::vector<std::string> Out;
  auto Same = [](const Json &X, const Json &Y) {
    return X.value("event", "") == Y.value("event", "") && X.value("service", "") == Y.value("service", "");
  };
  if (N == M) {
    for (size_t I = 0; I < N; ++I) {
      const Json &X = A[Head + I], &Y = B[Head + I];
      if (X == Y) continue;
      if (Same(X, Y)) {
        Out.push_back("~ " + Text(X) + "\n      " + Changed(X, Y));
      } else {
        Out.push_back("- " + Text(X));
        Out.push_back("+ " + Text(Y));
      }
    }
    return Out;
  }
  constexpr size_t kSearched = 4000;
  if (N > kSearched || M > kSearched || N * M > kSearched * kSearched / 4) {
    for (size_t I = 0; I < N; ++I) Out.push_back("- " + Text(A[Head + I]));
    for (size_t I = 0; I < M; ++I) Out.push_back("+ " + Text(B[Head + I]));
    return Out;
  }
  std::vector<std::vector<uint16_t>> L(N + 1, std::vector<uint16_t>(M + 1, 0));
  for (size_t I = N; I-- > 0;) {
    for (size_t J = M; J-- > 0;) {
      L[I][J] = A[Head + I] == B[Head + J] ? L[I + 1][J + 1] + 1 : std::max(L[I + 1][J], L[I][J + 1]);
    }
  }
  size_t I = 0, J = 0;
  while (I < N || J < M) {
    if (I < N && J < M && A[Head + I] == B[Head + J]) {
      ++I, ++J;
    } else if (J == M || (I < N && L[I + 1][J] >= L[I][J + 1])) {
      Out.push_back("- " + Text(A[Head + I++]));
    } else {
      Out.push_back("+ " + Text(B[Head + J++]));
    }
  }
  return Out;
}

// Events by device, in the order the devices first appear.
std::vector<std::pair<std::string, std::vector<Json>>> ByDevice(const std::vector<Json> &Events) {
  std::vector<std::pair<std::string, std::vector<Json>>> Out;
  for (const Json &E : Events) {
    const std::string Device = DeviceOf(E);
    auto It = std::find_if(Out.begin(), Out.end(), [&](const auto &P) { return P.first == Device; });
    if (It == Out.end()) It = Out.insert(Out.end(), {Device, {}});
    It->second.push_back(E);
  }
  return Out;
}

}  // namespace

std::string DeviceOf(const Json &Event) {
  switch (LaneOf(Event)) {
    case TimelineLane::Steps:
      return "steps";
    case TimelineLane::Services:
      return "services";
    case TimelineLane::FchMmio:
      return "FCH MMIO";
    case TimelineLane::Smn:
      return "SMN";
    case TimelineLane::Pci:
      return "PCI";
    case TimelineLane::SuperIo:
      return "Super I/O";
    case TimelineLane::Kbc:
      return "keyboard controller";
    case TimelineLane::Cmos:
      return "CMOS";
    case TimelineLane::Smbus:
      return "SMBus";
    case TimelineLane::Other:
      break;
  }
  return "other";
}

std::variant<std::vector<Json>, std::string> EventsOf(const std::string &Path, const EngineChoice &Engine) {
  std::ifstream In(Path);
  if (!In) return "cannot read " + Path;
  std::string First;
  while (std::getline(In, First) && First.find_first_not_of(" \t\r") == std::string::npos) {
  }
  const Json Probe = Json::parse(First, nullptr, false);
  if (Probe.is_object() && Probe.contains("seq") && Probe.contains("event")) {
    std::vector<Json> Events{Probe};
    size_t Line = 1;
    for (std::string Text; std::getline(In, Text);) {
      ++Line;
      if (Text.find_first_not_of(" \t\r") == std::string::npos) continue;
      Json E = Json::parse(Text, nullptr, false);
      if (!E.is_object()) return Path + ":" + std::to_string(Line) + ": not a JSON event";
      Events.push_back(std::move(E));
    }
    return Events;
  }
  auto Parsed = LoadScenarioFile(Path);
  if (auto *Error = std::get_if<ScenarioError>(&Parsed)) {
    return Path + ": neither a trace nor a scenario (" + Error->Path + ": " + Error->Message + ")";
  }
  const Scenario &S = std::get<Scenario>(Parsed);
  Trace T;
  Simulation Sim(S, T, Engine);
  for (size_t I = 0; I < S.Run.size(); ++I) {
    std::string Why;
    if (!Sim.Supports(S.Run[I], &Why)) return Path + ": $.run[" + std::to_string(I) + "]: " + Why;
  }
  Sim.RunAll();
  return T.Events();
}

bool DiffRuns(const std::vector<Json> &A, const std::vector<Json> &B, std::ostream &Out) {
  Json FinalA = Json::object(), FinalB = Json::object();
  const std::vector<RunStep> StepsA = Steps(A, FinalA), StepsB = Steps(B, FinalB);
  bool Differs = false;
  for (size_t I = 0; I < std::max(StepsA.size(), StepsB.size()); ++I) {
    if (I >= StepsA.size() || I >= StepsB.size()) {
      const RunStep &Only = I < StepsA.size() ? StepsA[I] : StepsB[I];
      Out << "── " << Only.Title << " ── only in " << (I < StepsA.size() ? "the first" : "the second") << " run ("
          << Only.Events.size() << " events)\n";
      Differs = true;
      continue;
    }
    const RunStep &SA = StepsA[I], &SB = StepsB[I];
    std::ostringstream Body;
    if (SA.Title != SB.Title) Body << "  the first run's step is " << SA.Title << ", the second's " << SB.Title << "\n";
    auto DevicesA = ByDevice(SA.Events), DevicesB = ByDevice(SB.Events);
    for (const auto &Entry : DevicesB) {
      const std::string &Device = Entry.first;
      if (std::none_of(DevicesA.begin(), DevicesA.end(), [&](const auto &P) { return P.first == Device; })) {
        DevicesA.push_back({Device, {}});
      }
    }
    for (const auto &Entry : DevicesA) {
      const std::string &Device = Entry.first;
      const std::vector<Json> &EventsA = Entry.second;
      auto It = std::find_if(DevicesB.begin(), DevicesB.end(), [&](const auto &P) { return P.first == Device; });
      const std::vector<Json> None;
      const auto Changes = Lines(EventsA, It != DevicesB.end() ? It->second : None);
      if (Changes.empty()) continue;
      Body << "  " << Device << "\n";
      for (const std::string &L : Changes) Body << "    " << L << "\n";
    }
    if (!Body.str().empty()) {
      Out << "── " << SA.Title << " ──\n" << Body.str();
      Differs = true;
    }
  }
  std::ostringstream Final;
  std::vector<std::string> Keys;
  for (auto It = FinalA.begin(); It != FinalA.end(); ++It) Keys.push_back(It.key());
  for (auto It = FinalB.begin(); It != FinalB.end(); ++It) {
    if (!FinalA.contains(It.key())) Keys.push_back(It.key());
  }
  for (const std::string &Key : Keys) {
    if (Key == "seq" || Key == "t_us" || Key == "event" || Key == "image") continue;
    const Json &X = FinalA.value(Key, Json(nullptr)), &Y = FinalB.value(Key, Json(nullptr));
    if (X == Y) continue;
    if (Key == "setup" && X.is_string() && Y.is_string()) {
      for (const std::string &C : SetupChanges(BytesOfHex(X), BytesOfHex(Y))) Final << "  Setup " << C << "\n";
      if (BytesOfHex(X).size() != BytesOfHex(Y).size()) {
        Final << "  Setup size " << BytesOfHex(X).size() << " → " << BytesOfHex(Y).size() << " bytes\n";
      }
    } else if (Key == "cmos" && X.is_string() && Y.is_string()) {
      const auto CA = BytesOfHex(X), CB = BytesOfHex(Y);
      for (size_t I = 0; I < std::min(CA.size(), CB.size()); ++I) {
        if (CA[I] != CB[I]) Final << "  cmos " << Hex(0x80 + I) << " " << Hex(CA[I]) << " → " << Hex(CB[I]) << "\n";
      }
    } else {
      Final << "  " << Key << " " << X.dump() << " → " << Y.dump() << "\n";
    }
  }
  if (!Final.str().empty()) {
    Out << "── final state ──\n" << Final.str();
    Differs = true;
  }
  return Differs;
}

}  // namespace sim
