// Invariant: with any Setup content, size and storable attributes, the
// drivers that read it (BoardInitDxe, SignalTuneDxe, SioPowerSmm on S5 and
// on a power-button press) raise no fault, touch only the registers they
// own, and do what an independent reading of the variable says: tuning
// values exactly as the tuning bytes ask, the write-back only of the probe
// bytes, and the Super I/O power-off programming only after a good read.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "Core/Scenario.h"
#include "Runner/Simulation.h"

namespace {

constexpr size_t kSetupSize = 0x29D;
constexpr uint8_t kOutcome = 1;  // the default board passes its probe

// Registers each step may touch ("event address"); CPU, CMOS-trail and
// firmware-call events are not register accesses of the driver's own.
const std::set<std::string> kSignalTune = {
    "mmio-write 0xE00000B8", "mmio-write 0xE00000BC", "mmio-read 0xE00000BC",
    "smn 0x16D1C000",        "smn 0x16D1C400",        "smn 0x16D1C800",
    "smn 0x16D1CC00",        "smn 0x16D1D000",        "smn 0x16F1C000",
    "smn 0x1731C000",        "smn 0x1961C000",        "smn 0x16C0C2C0",
    "smn 0x16C0C2C4",        "smn 0x16D68018",        "smn 0x16D68418",
    "smn 0x16D68028",        "smn 0x16D68428"};
const std::set<std::string> kBoardInit = {"mmio-read 0xFED80D59", "mmio-write 0xFED80D59", "mmio-read 0xFED81664"};
const std::set<std::string> kSioPowerSmm = {"io-read 0xCF8", "io-write 0xCF8", "io-read 0xCFC",
                                            "io-write 0xCFC", "smn 0x3810A84", "smn 0x3810A88"};
// S5 and the power button: the Super I/O index/data pair, the keyboard
// controller (S5 only) and the ACPI status the state test reads.
// Super I/O registers as "ldn:register", global ones with ldn "-".
const std::set<std::string> kSmi = {"io-write 0x2E",   "io-write 0x2F",     "io-read 0x2F",      "io-read 0x60",
                                    "io-write 0x60",   "io-read 0x64",      "io-write 0x64",     "io-read 0x803",
                                    "sio-write -:0x7", "sio-read -:0x27",   "sio-write -:0x27",  "sio-read 0xA:0xE0",
                                    "sio-write 0xA:0xE0", "sio-read 0xA:0xEC", "sio-write 0xA:0xEC"};

bool Ignored(const std::string &Event) {
  return Event == "call" || Event == "cpuid" || Event == "msr-read" || Event == "cmos-read" || Event == "smi" ||
         Event == "smi-return" || Event == "kbc-data" || Event == "unload" || Event == "final";
}

std::string Where(const sim::Json &E) {
  const std::string Event = E["event"];
  if (Event == "smn-read" || Event == "smn-write") return "smn " + E["address"].get<std::string>();
  if (Event == "sio-read" || Event == "sio-write") {
    return Event + " " + (E["ldn"].is_null() ? std::string("-") : E["ldn"].get<std::string>()) + ":" +
           E["register"].get<std::string>();
  }
  if (E.contains("address")) return Event + " " + E["address"].get<std::string>();
  if (E.contains("port")) return Event + " " + E["port"].get<std::string>();
  return Event;
}

uint32_t Number(const sim::Json &V) { return static_cast<uint32_t>(std::stoull(V.get<std::string>(), nullptr, 16)); }

// The SMN writes tuning should make, given the values the reads returned.
struct TuneModel {
  const std::vector<uint8_t> &Setup;
  std::vector<std::pair<uint32_t, uint32_t>> Reads;  // address, value in read order
  size_t Next = 0;
  std::vector<std::pair<uint32_t, uint32_t>> Writes;

  uint32_t Read(uint32_t Address) {
    if (Next >= Reads.size() || Reads[Next].first != Address) __builtin_trap();
    return Reads[Next++].second;
  }
  void Port(uint32_t Address, size_t B31, size_t B21, size_t B2) {
    uint32_t V = Read(Address);
    if (Setup[B31] != 0xFF) V = (V & 0x0FFFFFFF) | static_cast<uint32_t>(Setup[B31]) << 28;
    if (Setup[B21] != 0xFF) V = (V & 0xFFCFFFFF) | static_cast<uint32_t>(Setup[B21]) << 20;
    if (Setup[B2] != 0xFF) V = (V & 0xFFFFFFF8) | Setup[B2];
    Writes.push_back({Address, V});
  }
  void Run() {
    const uint32_t Ctrl0[] = {0x16D1C000, 0x16D1C400, 0x16D1C800, 0x16D1CC00, 0x16D1D000};
    for (size_t P = 0; P < 5; ++P) Port(Ctrl0[P], 0x20C + P, 0x211 + P, 0x216 + P);
    Port(0x16F1C000, 0x21B, 0x21C, 0x21D);
    Port(0x1731C000, 0x21E, 0x21F, 0x220);
    Port(0x1961C000, 0x221, 0x222, 0x223);
    const uint32_t First[] = {0x16C0C2C0, 0x16C0C2C4}, Second[] = {0x16D68018, 0x16D68418},
                   Third[] = {0x16D68028, 0x16D68428};
    for (size_t L = 0; L < 2; ++L) {
      if (Setup[0x224 + L] != 0) Writes.push_back({First[L], Read(First[L]) | 0x40000000});
      if (Setup[0x226 + L] != 0xFF) {
        Writes.push_back({Second[L], (Read(Second[L]) & 0xFF8FFFFF) | static_cast<uint32_t>(Setup[0x226 + L]) << 20});
      }
      uint32_t V = Read(Third[L]);
      if (Setup[0x228 + L] != 0xFF) V = (V & 0xFFFFF8FF) | static_cast<uint32_t>(Setup[0x228 + L]) << 8;
      if (Setup[0x22A + L] != 0xFF) V = (V & 0xFFFFFFF8) | Setup[0x22A + L];
      Writes.push_back({Third[L], V});
    }
    if (Next != Reads.size()) __builtin_trap();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  // Size (two bytes; 0: no variable), attributes, fill, then the bytes from offset 0.
  if (Size < 4 || Size > 4 + 0x2C0) return -1;
  const size_t VarSize = (Data[0] | Data[1] << 8) % 0x2C0;
  const uint32_t Attributes = Data[2] & 0xBF;
  if ((Attributes & 0x2) == 0) return -1;  // no store holds such a variable
  sim::Scenario S = sim::DefaultScenario();
  std::vector<uint8_t> Setup(VarSize, Data[3]);
  for (size_t I = 0; I < VarSize && 4 + I < Size; ++I) Setup[I] = Data[4 + I];
  if (VarSize == 0) {
    S.Setup.reset();
  } else {
    S.Setup = sim::SetupConfigSpec{Attributes, Setup};
  }
  S.Run.clear();
  S.Run = {sim::Step::Load("BoardInitDxe"), sim::Step::Load("SignalTuneDxe"), sim::Step::Load("SioPowerSmm"),
           sim::Step::Sleep(5), sim::Step::PowerButtonPress()};

  sim::Trace Trace;
  sim::Simulation Simulation(S, Trace);
  Simulation.RunAll();

  // What a driver reading at most kSetupSize bytes gets to see, and whether
  // the variable holds the byte at Offset.
  const bool Readable = VarSize != 0 && VarSize <= kSetupSize;
  auto Holds = [&](size_t Offset) { return Readable && VarSize > Offset; };
  const bool Tunes = Holds(0x22B) && Setup[0x20A] != 0;
  const bool PowerOff = Holds(0x286) && Setup[0x286] != 0 && Setup[0x5E] == 0 && Setup[0x5F] != 1;

  std::vector<sim::Json> Pending;
  TuneModel Tune{Setup};
  std::vector<std::pair<uint32_t, uint32_t>> TuneWrites;
  for (const auto &E : Trace.Events()) {
    const std::string Event = E["event"];
    if (Event == "fault" || Event == "smm-outside-access" || Event == "warning") {
      std::fprintf(stderr, "%s\n", E.dump().c_str());
      __builtin_trap();
    }
    if (Event != "step") {
      Pending.push_back(E);
      continue;
    }
    const std::string Step = E["step"].is_string() ? E["step"].get<std::string>() : E["step"].dump();
    if (E["status"].is_string() && E["status"] != "0x0") __builtin_trap();
    const std::set<std::string> &Allowed = Step == "BoardInitDxe"    ? kBoardInit
                                           : Step == "SignalTuneDxe" ? kSignalTune
                                           : Step == "SioPowerSmm"   ? kSioPowerSmm
                                                                     : kSmi;
    bool Programmed = false;
    for (const auto &P : Pending) {
      const std::string Kind = P["event"];
      if (Kind == "sio-write" && P["register"] == "0x27") Programmed = true;
      if (Step == "SignalTuneDxe" && (Kind == "smn-read" || Kind == "smn-write")) {
        (Kind == "smn-read" ? Tune.Reads : TuneWrites).push_back({Number(P["address"]), Number(P["value"])});
      }
      // The CMOS trail's index/data pair is every step's.
      if (Ignored(Kind) || Where(P) == "io-write 0x72" || Where(P) == "io-read 0x73") continue;
      if (Allowed.count(Where(P)) == 0) __builtin_trap();
    }
    if (Step == "SignalTuneDxe" && Tunes != !Tune.Reads.empty()) __builtin_trap();
    if ((Step == "{\"sx\":5}" || Step == "power-button") && Programmed != PowerOff) __builtin_trap();
    Pending.clear();
  }
  if (Tunes) {
    Tune.Run();
    if (TuneWrites != Tune.Writes) __builtin_trap();
  }

  // The write-back changes the two probe bytes and nothing else.
  const auto &Variables = Simulation.Persistent().Variables;
  auto It = Variables.begin();
  while (It != Variables.end() && It->first.first != u"Setup") ++It;
  if ((It == Variables.end()) != (VarSize == 0)) __builtin_trap();
  if (It != Variables.end()) {
    // A store refuses writes with authentication bits (0x10, 0x20, 0x80)
    // and hardware-error records without NV, BS and RT.
    const bool Writable = (Attributes & 0xB0) == 0 && ((Attributes & 0x8) == 0 || (Attributes & 0xF) == 0xF);
    std::vector<uint8_t> Expected = Setup;
    if (Writable && Holds(0x23A) && Setup[0x23A] != kOutcome) {
      Expected[0x23A] = kOutcome;
      Expected[0x22E] = 0;
    }
    if (It->second.Data != Expected || It->second.Attributes != Attributes) __builtin_trap();
  }
  return 0;
}
