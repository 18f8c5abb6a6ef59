#include "Output.h"

#include <algorithm>
#include <cstdio>

#include <SetupConfig.h>

namespace sim {

std::string FormatJsonLine(const Json &Event) { return Event.dump() + "\n"; }

namespace {

constexpr size_t kShownHexBytes = 16;  // of a long byte dump, the first ones
constexpr const char *kSetupGuid = "EC87D643-EBA4-4BB5-A1E5-3F3E36B20DA9";

bool IsHexDump(const std::string &S) {
  return S.size() > 2 * kShownHexBytes && S.size() % 2 == 0 &&
         S.find_first_not_of("0123456789ABCDEF") == std::string::npos;
}

std::string Scalar(const Json &Value) {
  if (Value.is_string()) {
    const std::string &S = Value.get_ref<const std::string &>();
    if (IsHexDump(S)) {
      return S.substr(0, 2 * kShownHexBytes) + "…(" + std::to_string(S.size() / 2) + " bytes)";
    }
    bool Plain = !S.empty() && S.find_first_of(" \t\r\n\"=") == std::string::npos;
    return Plain ? S : Value.dump();
  }
  if (Value.is_object()) {
    std::string Out;
    for (auto It = Value.begin(); It != Value.end(); ++It) {
      Out += (Out.empty() ? "" : ",") + It.key() + "=" + Scalar(It.value());
    }
    return "{" + Out + "}";
  }
  return Value.dump();
}

std::string Prefix(const Json &Event, const std::string &Name) {
  const std::string Image = Event.value("image", Json(nullptr)).is_null() ? "-" : Event["image"].get<std::string>();
  char Text[96];
  std::snprintf(Text, sizeof Text, "%6llu %10llu  %-14s %-12s", static_cast<unsigned long long>(Event.value("seq", 0ull)),
                static_cast<unsigned long long>(Event.value("t_us", 0ull)), Image.c_str(), Name.c_str());
  return Text;
}

std::string Join(const std::vector<std::string> &Parts, const char *Separator) {
  std::string Out;
  for (const std::string &P : Parts) Out += (Out.empty() ? "" : Separator) + P;
  return Out;
}

// The fields of an event after its service or source, as key=value. A call's
// fields that say nothing (null, false, an allocation numbered as its block)
// are left out.
std::string Details(const Json &Event, std::initializer_list<const char *> Skip, bool Call = false) {
  std::string Line;
  for (auto It = Event.begin(); It != Event.end(); ++It) {
    const std::string &Key = It.key();
    if (Key == "seq" || Key == "t_us" || Key == "image" || Key == "event") continue;
    if (std::any_of(Skip.begin(), Skip.end(), [&](const char *S) { return Key == S; })) continue;
    const Json &V = It.value();
    if (Call && (V.is_null() || (V.is_boolean() && !V.get<bool>()) ||
                 (Key == "allocation" && Event.value("block", Json(nullptr)) == V))) {
      continue;
    }
    Line += " " + Key + "=" + Scalar(V);
  }
  return Line;
}

// Breaks a line longer than kWidth at spaces, continuing under its details;
// kKeep is a space no line breaks at.
constexpr size_t kWidth = 132;
constexpr char kKeep = '\x01';
std::string Wrapped(const std::string &Line, size_t Indent) {
  std::string Out, Rest = Line;
  while (Rest.size() > kWidth) {
    size_t Cut = Rest.rfind(' ', kWidth);
    // A space inside the continuation indent is no place to break: cutting there makes no progress.
    if (Cut == std::string::npos || Cut <= Indent + 2) Cut = Rest.find(' ', kWidth);
    if (Cut == std::string::npos) break;
    Out += Rest.substr(0, Cut) + "\n";
    Rest = std::string(Indent + 2, ' ') + Rest.substr(Cut + 1);
  }
  Out += Rest + "\n";
  std::replace(Out.begin(), Out.end(), kKeep, ' ');
  return Out;
}

std::vector<std::string> Unbroken(std::vector<std::string> Parts) {
  for (std::string &P : Parts) std::replace(P.begin(), P.end(), ' ', kKeep);
  return Parts;
}

std::string SleepName(const Json &Type) {
  return Type.is_string() ? "S" + std::to_string(std::stoul(Type.get<std::string>(), nullptr, 16)) : "S?";
}

}  // namespace

std::string StepTitle(const std::string &Step) {
  if (Step == "power-button") return "power button";
  if (!Step.empty() && Step.front() == '{') {
    const Json Parsed = Json::parse(Step, nullptr, false);
    if (Parsed.is_object() && Parsed.contains("sx") && Parsed["sx"].is_number()) {
      return "S" + std::to_string(Parsed["sx"].get<int>()) + " entry";
    }
  }
  return Step;
}

TextFormatter::TextFormatter(std::optional<std::vector<uint8_t>> InitialSetup)
    : Initial_(InitialSetup), Setup_(std::move(InitialSetup)) {}

std::string TextFormatter::Header() {
  char Line[128];
  std::snprintf(Line, sizeof Line, "%6s %10s  %-14s %-12s %s\n", "seq", "t_us", "image", "event", "details");
  return Line;
}

std::string TextFormatter::Format(const Json &Event) {
  const std::string Text = Render(Event);
  // Every line of it within the width.
  const size_t Indent = Prefix(Event, "").size();
  std::string Out;
  size_t Start = 0;
  while (Start < Text.size()) {
    const size_t End = Text.find('\n', Start);
    Out += Wrapped(Text.substr(Start, End - Start), Indent);
    Start = End + 1;
  }
  return Out;
}

std::string TextFormatter::StepHeader(const std::string &Step) { return "── " + StepTitle(Step) + " ──\n"; }

std::string TextFormatter::Render(const Json &Event) {
  const std::string Name = Event.value("event", "");
  std::string Line = Prefix(Event, Name);
  if (Name == "step") {
    Line += " end of " + StepTitle(Event.value("step", ""));
    if (Event.contains("status") && !Event["status"].is_null()) Line += ", status " + Scalar(Event["status"]);
    return Line + Details(Event, {"step", "status"}) + "\n";
  }
  if (Name == "smi") {
    const Json &Context = Event.value("context", Json::object());
    const std::string What = Event.value("source", "") == "sx" && Context.is_object() && Context.contains("type")
                                 ? SleepName(Context["type"]) + " entry"
                                 : "power button";
    return Line + " " + What + " handler" + Details(Event, {"source", "context"}) + "\n";
  }
  if (Name == "call") {
    Line += " " + Event.value("service", "");
    const bool IsSetup = Event.value("name", "") == "Setup" && Event.value("guid", "") == kSetupGuid;
    const bool Named = IsSetup || (Event.contains("protocol") && Event["protocol"].is_string()) ||
                       (Event.contains("table") && Event["table"].is_string());
    std::string Rest = Details(Event, {"service", Named ? "guid" : "", IsSetup ? "data" : ""}, true);
    if (IsSetup && Event.value("service", "") == "SetVariable" && Event.contains("data")) {
      const std::vector<uint8_t> Written = BytesOfHex(Event["data"].get<std::string>());
      const bool Stored = Event.value("status", "") == "0x0";
      std::vector<std::string> Changes = Setup_ ? Unbroken(SetupChanges(*Setup_, Written)) : std::vector<std::string>{};
      // Without the image before it, a write is only its size.
      Rest += Setup_ ? (Changes.empty() ? " (no field changes)" : " changes: " + Join(Changes, ", "))
                     : " data=" + std::to_string(Written.size()) + " bytes";
      if (Stored) Setup_ = Written;
    }
    return Line + Rest + "\n";
  }
  if (Name != "final") {
    return Line + Details(Event, {}) + "\n";
  }
  // The end state, one aspect per line.
  const std::string Indent(Line.size(), ' ');
  std::vector<std::string> Lines;
  if (Event.contains("setup") && Event["setup"].is_string()) {
    const std::vector<uint8_t> Final = BytesOfHex(Event["setup"].get<std::string>());
    std::vector<std::string> Changes = Initial_ ? Unbroken(SetupChanges(*Initial_, Final)) : std::vector<std::string>{};
    Lines.push_back("Setup " + std::to_string(Final.size()) + " bytes, attributes " +
                    Scalar(Event.value("setup_attributes", Json(nullptr))) + "; changed in the run: " +
                    (Initial_ ? (Changes.empty() ? "nothing" : Join(Changes, ", ")) : "(created)"));
  } else {
    Lines.push_back("Setup absent");
  }
  for (auto It = Event.begin(); It != Event.end(); ++It) {
    const std::string &Key = It.key();
    if (Key == "seq" || Key == "t_us" || Key == "image" || Key == "event" || Key == "setup" ||
        Key == "setup_attributes") {
      continue;
    }
    const Json &V = It.value();
    if (Key == "cmos" && V.is_string()) {
      // Only the bytes that hold anything.
      const std::vector<uint8_t> Bytes = BytesOfHex(V.get<std::string>());
      std::vector<std::string> Set;
      for (size_t I = 0; I < Bytes.size(); ++I) {
        if (Bytes[I] != 0) Set.push_back(Hex(0x80 + I) + "=" + Hex(Bytes[I]));
      }
      Lines.push_back("cmos " + (Set.empty() ? std::string("all zero") : Join(Set, " ")));
    } else if (V.is_array()) {
      std::vector<std::string> Items;
      for (const Json &Item : V) Items.push_back(Scalar(Item));
      Lines.push_back(Key + " " + (Items.empty() ? std::string("none") : Join(Items, " ")));
    } else if (V.is_object()) {
      Lines.push_back(Key + " " + (V.empty() ? std::string("none") : Details(V, {}).substr(1)));
    } else {
      Lines.push_back(Key + " " + (V.is_null() ? std::string("none") : Scalar(V)));
    }
  }
  std::string Out = Line + " " + Lines.front() + "\n";
  for (size_t I = 1; I < Lines.size(); ++I) Out += Indent + " " + Lines[I] + "\n";
  return Out;
}

std::string FormatTextLine(const Json &Event) {
  TextFormatter Formatter;
  return Formatter.Format(Event);
}

std::vector<std::string> SetupChanges(const std::vector<uint8_t> &Before, const std::vector<uint8_t> &After) {
  std::vector<std::string> Out;
  auto Byte = [](const std::vector<uint8_t> &B, size_t I) { return I < B.size() ? Hex(B[I]) : std::string("-"); };
  for (const SETUP_FIELD_INFO &F : kSetupFields) {
    for (UINT32 I = 0; I < F.Size; ++I) {
      const size_t At = F.Offset + I;
      if (Byte(Before, At) != Byte(After, At)) {
        Out.push_back(std::string(F.Name) + (F.Size > 1 ? "[" + std::to_string(I) + "]" : "") + " " + Byte(Before, At) +
                      " → " + Byte(After, At));
      }
    }
  }
  return Out;
}

Json SetupFields(const std::vector<uint8_t> &Bytes) {
  Json Out = Json::object();
  for (const SETUP_FIELD_INFO &F : kSetupFields) {
    if (F.Offset + F.Size > Bytes.size()) {
      continue;
    }
    if (F.Size == 1) {
      Out[F.Name] = Hex(Bytes[F.Offset]);
      continue;
    }
    Json Values = Json::array();
    for (UINT32 I = 0; I < F.Size; ++I) Values.push_back(Hex(Bytes[F.Offset + I]));
    Out[F.Name] = Values;
  }
  return Out;
}

std::vector<uint8_t> BytesOfHex(const std::string &Text) {
  auto Nibble = [](char C) -> int {
    if (C >= '0' && C <= '9') return C - '0';
    if (C >= 'A' && C <= 'F') return C - 'A' + 10;
    if (C >= 'a' && C <= 'f') return C - 'a' + 10;
    return -1;
  };
  std::vector<uint8_t> Out;
  if (Text.size() % 2 != 0) return Out;
  for (size_t I = 0; I < Text.size(); I += 2) {
    const int High = Nibble(Text[I]), Low = Nibble(Text[I + 1]);
    if (High < 0 || Low < 0) return {};
    Out.push_back(static_cast<uint8_t>(High << 4 | Low));
  }
  return Out;
}

}  // namespace sim
