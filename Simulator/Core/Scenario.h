// A simulation scenario: the board's initial state and the steps to run.
// Mirrors the scenario file of the boardsim command-line contract; every
// field holds the default board's value unless the file says otherwise.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

namespace sim {

struct CpuConfig {
  uint32_t Signature = 0;        // CPUID 0x80000001 EAX
  uint32_t PowerFeatures = 0;    // CPUID 0x80000007 EDX
  uint8_t Pstate = 0;            // MSR 0xC0010063 bits 2:0
  std::array<uint64_t, 8> PstateDefs{};  // MSRs 0xC0010064..0xC001006B
  bool Bsp = true;               // MSR 0x1B bit 8
  bool Simulation = false;       // CPUID 0xBACCD00B answers
  bool operator==(const CpuConfig &) const = default;
};

struct MmioInit {
  uint8_t Width = 32;  // 8/16/32/64
  uint64_t Value = 0;
  bool operator==(const MmioInit &) const = default;
};

struct PciAddress {
  uint8_t Bus = 0, Device = 0, Function = 0;
  auto operator<=>(const PciAddress &) const = default;
};

struct RtcTime {
  uint8_t Month = 1, Day = 1, Hour = 0, Minute = 0;  // decimal
  bool operator==(const RtcTime &) const = default;
};

struct SmbusControllerConfig {
  bool Responds = true;
  std::map<uint8_t, std::map<uint8_t, uint16_t>> Devices;  // slave -> command -> value
  bool operator==(const SmbusControllerConfig &) const = default;
};

struct SetupConfigSpec {
  uint32_t Attributes = 0;
  std::vector<uint8_t> Data;  // the stored bytes; its size is the variable's size
  bool operator==(const SetupConfigSpec &) const = default;
};

struct ProtocolSet {
  bool Pcd = true, EfiPcd = true, DebugPrint = true, SmmBase2 = true, SmmAccess2 = true, SxDispatch = true,
       PowerButtonDispatch = true, SmmVariable = true, HeapBufferList = false;
  bool operator==(const ProtocolSet &) const = default;
};

struct HobSpec {
  uint32_t Signature = 0x50414548;  // "HEAP"
  uint32_t Word4 = 0;
  uint32_t PayloadSize = 0;  // defaults to Payload.size()
  uint8_t Kind = 0;
  uint8_t Relay = 0;
  uint16_t Word14 = 0;
  std::vector<uint8_t> Payload;
  bool operator==(const HobSpec &) const = default;
};

struct CpuFrequencyRecordSpec {
  uint64_t TscFrequency = 0, PstateDefinition = 0;
  uint32_t PstateIndex = 0, PowerFeatures = 0;
  bool operator==(const CpuFrequencyRecordSpec &) const = default;
};

struct Step {
  enum class Kind { Image, Sx, PowerButton, Reset, Script };
  Kind StepKind = Kind::Image;
  std::string Image;             // Kind::Image: "BoardInitDxe", "SignalTuneDxe", "SubsysIdDxe", "SioPowerSmm"
  int SleepType = 0;             // Kind::Sx: 3, 4 or 5
  std::vector<uint64_t> Script;  // Kind::Script: macro words
  // How the step event names it: the step as the scenario wrote it, compactly:
  // the image name, "power-button", "reset", {"sx":3} (that text) or "script".
  std::string Name() const;
  bool operator==(const Step &) const = default;

  static Step Load(std::string Image);
  static Step Sleep(int Type);
  static Step PowerButtonPress();
};

struct Scenario {
  CpuConfig Cpu;
  std::map<uint64_t, MmioInit> Mmio;
  std::map<uint32_t, uint32_t> Smn;
  std::map<PciAddress, std::map<uint16_t, uint32_t>> Pci;
  std::map<uint16_t, uint8_t> Io;
  std::map<uint8_t, uint8_t> Cmos;  // offsets 0x80..0xFF
  RtcTime Rtc;
  uint32_t SmbusPmRegister = 0;
  std::array<SmbusControllerConfig, 2> SmbusControllers;
  std::map<uint8_t, uint8_t> SioGlobal;
  std::map<uint8_t, std::map<uint8_t, uint8_t>> SioLdn;
  bool KbcResponds = true;
  uint32_t KbcLatencyUs = 100;
  bool SerialReady = true;
  std::optional<SetupConfigSpec> Setup;  // nullopt: the variable is absent
  uint64_t SetVariableStatus = 0;
  std::map<uint32_t, uint64_t> Pcd;  // token -> value
  ProtocolSet Protocols;
  std::vector<uint32_t> FailAllocations;  // 1-based pool allocation numbers that fail
  std::vector<HobSpec> Hobs;
  std::optional<CpuFrequencyRecordSpec> CpuFrequencyRecord;
  // The image engine's limit on the instructions of one call into driver
  // code (an entry, a handler): a runaway loop becomes a fault.
  uint64_t InstructionBudget = 4'000'000'000;
  std::vector<Step> Run;
  bool operator==(const Scenario &) const = default;
};

// The default board: healthy, every driver and event in the run list.
Scenario DefaultScenario();

// The 669-byte Setup image of the default board.
std::vector<uint8_t> DefaultSetupImage();

struct ScenarioError {
  std::string Path;     // JSON path of the offending field, for example "$.cpu.pstate"
  std::string Message;  // what was expected
  bool operator==(const ScenarioError &) const = default;
};

// Parses a scenario document over the defaults. Unknown keys, wrong types and
// out-of-range values are errors naming the field's JSON path.
std::variant<Scenario, ScenarioError> ParseScenario(const nlohmann::json &Document);

// Reads and parses a scenario file. An unreadable file or text that is not
// JSON is an error at path "$".
std::variant<Scenario, ScenarioError> LoadScenarioFile(const std::string &Path);
// A scenario file's text (Name says where it came from in messages): one
// JSON document, no NUL bytes, no key twice in an object.
std::variant<Scenario, ScenarioError> ParseScenarioText(const std::string &Text, const std::string &Name);
// The largest scenario file read.
inline constexpr size_t kMaxScenarioBytes = 16u << 20;

// A scenario rendered as a scenario document, every key present; parsing the
// result gives the same scenario back.
nlohmann::json ScenarioToJson(const Scenario &S);

// The default board as a scenario document (for the README and boardsim).
nlohmann::json DefaultScenarioJson();

}  // namespace sim
