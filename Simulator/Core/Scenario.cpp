#include "Scenario.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <set>
#include <sstream>
#include <string_view>
#include <utility>

#include "Trace.h"

namespace sim {

namespace {

using nlohmann::json;

// ---------------------------------------------------------------------------
// The default board

struct SetupFieldDefault {
  uint16_t Offset;
  uint8_t Length;
  uint8_t Bytes[9];
};

constexpr uint32_t kDefaultSetupSize = 669;
constexpr uint32_t kDefaultSetupAttributes = 0x07;  // NV | BS | RT

// Every byte of the default Setup image that a driver interprets; the rest is 0.
constexpr SetupFieldDefault kDefaultSetupFields[] = {
    // Power-off inhibits: neither forbids the Super I/O power-off programming.
    {0x05E, 2, {0, 0}},
    // Signal tuning on.
    {0x20A, 1, {1}},
    // Controller 0, ports 0-4: bits 31:28, 21:20, 2:0 (0xFF keeps the hardware value).
    {0x20C, 5, {3, 0xFF, 1, 2, 0xFF}},
    {0x211, 5, {1, 0xFF, 2, 0, 0xFF}},
    {0x216, 5, {5, 0xFF, 0, 7, 0xFF}},
    // Controllers 1, 3 and 4, port 0: bits 31:28, 21:20, 2:0 each.
    {0x21B, 9, {2, 1, 4, 0xFF, 0xFF, 0xFF, 6, 2, 3}},
    // Links 0-1: bit 30 switch, bits 22:20, bits 10:8, bits 2:0.
    {0x224, 2, {1, 0}},
    {0x226, 2, {2, 0xFF}},
    {0x228, 2, {4, 0xFF}},
    {0x22A, 2, {0xFF, 6}},
    // Option the board probe clears when it passes.
    {0x22E, 1, {1}},
    // Stored probe outcome: failed, so a passing probe writes the variable back.
    {0x23A, 1, {0}},
    // Super I/O power-off programming enabled.
    {0x286, 1, {1}},
};

// P-state definitions: bit 63 enables, bits 11:0 hold the frequency in 5-MHz units.
constexpr uint64_t kPstateEnable = 1ull << 63;
constexpr std::array<uint64_t, 8> kDefaultPstateDefs = {
    kPstateEnable | 750, kPstateEnable | 600, kPstateEnable | 500, kPstateEnable | 400, 0, 0, 0, 0};

// ---------------------------------------------------------------------------
// Parsing

struct ParseFailure {
  ScenarioError Error;
};

[[noreturn]] void Fail(std::string Path, std::string Message) {
  throw ParseFailure{ScenarioError{std::move(Path), std::move(Message)}};
}

// Keys made of plain characters are appended with a dot ("$.mmio.0xFED81664",
// "$.pci.0:18.3"); anything else goes in brackets as a JSON string.
std::string Child(const std::string &Parent, const std::string &Key) {
  bool Plain = !Key.empty();
  for (char C : Key) {
    const bool Ok = (C >= '0' && C <= '9') || (C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z') || C == '_' ||
                    C == '-' || C == ':' || C == '.';
    Plain = Plain && Ok;
  }
  return Plain ? Parent + "." + Key : Parent + "[" + json(Key).dump() + "]";
}

std::string Element(const std::string &Parent, size_t Index) { return Parent + "[" + std::to_string(Index) + "]"; }

const char *TypeName(const json &V) {
  switch (V.type()) {
    case json::value_t::null:
      return "null";
    case json::value_t::boolean:
      return "a boolean";
    case json::value_t::string:
      return "a string";
    case json::value_t::array:
      return "an array";
    case json::value_t::object:
      return "an object";
    case json::value_t::number_float:
      return "a number with a fraction or exponent";
    default:
      return "a number";
  }
}

// What a number field accepts; Expected completes "expected ...".
struct Range {
  uint64_t Min;
  uint64_t Max;
  std::string_view Expected;
};

constexpr Range kU8{0, 0xFF, "a u8 (integer 0..0xFF)"};
constexpr Range kU16{0, 0xFFFF, "a u16 (integer 0..0xFFFF)"};
constexpr Range kU32{0, 0xFFFFFFFF, "a u32 (integer 0..0xFFFFFFFF)"};
constexpr Range kU64{0, UINT64_MAX, "a u64 (integer 0..0xFFFFFFFFFFFFFFFF)"};

enum class TextNumber { Ok, Malformed, TooLarge };

// "0x1F"/"0X1f" (hex) or "31" (decimal); no sign, no spaces.
TextNumber ParseNumberText(std::string_view Text, uint64_t &Out) {
  unsigned Base = 10;
  if (Text.size() >= 2 && Text[0] == '0' && (Text[1] == 'x' || Text[1] == 'X')) {
    Base = 16;
    Text.remove_prefix(2);
  }
  if (Text.empty()) {
    return TextNumber::Malformed;
  }
  uint64_t Value = 0;
  bool Overflow = false;
  for (char C : Text) {
    unsigned Digit;
    if (C >= '0' && C <= '9') {
      Digit = static_cast<unsigned>(C - '0');
    } else if (Base == 16 && C >= 'a' && C <= 'f') {
      Digit = static_cast<unsigned>(C - 'a' + 10);
    } else if (Base == 16 && C >= 'A' && C <= 'F') {
      Digit = static_cast<unsigned>(C - 'A' + 10);
    } else {
      return TextNumber::Malformed;
    }
    if (Value > (UINT64_MAX - Digit) / Base) {
      Overflow = true;
    } else {
      Value = Value * Base + Digit;
    }
  }
  if (Overflow) {
    return TextNumber::TooLarge;
  }
  Out = Value;
  return TextNumber::Ok;
}

uint64_t CheckRange(uint64_t Value, const std::string &Shown, const std::string &Path, const Range &R) {
  if (Value < R.Min || Value > R.Max) {
    Fail(Path, "expected " + std::string(R.Expected) + ", got " + Shown + " (out of range)");
  }
  return Value;
}

uint64_t ReadNumberText(const std::string &Text, const std::string &Path, const Range &R) {
  uint64_t Value = 0;
  switch (ParseNumberText(Text, Value)) {
    case TextNumber::Malformed:
      Fail(Path, "expected " + std::string(R.Expected) + ", got " + json(Text).dump() +
                     " (not a hex \"0x..\" or decimal number)");
    case TextNumber::TooLarge:
      Fail(Path, "expected " + std::string(R.Expected) + ", got " + json(Text).dump() + " (out of range)");
    case TextNumber::Ok:
      break;
  }
  return CheckRange(Value, json(Text).dump(), Path, R);
}

uint64_t ReadNumber(const json &V, const std::string &Path, const Range &R) {
  // Parsed text gives unsigned integers, but a document built in code may hold
  // signed ones of either sign.
  if (V.is_number_integer()) {
    if (!V.is_number_unsigned() && V.get<int64_t>() < 0) {
      Fail(Path, "expected " + std::string(R.Expected) + ", got a negative number");
    }
    const uint64_t Value = V.get<uint64_t>();
    return CheckRange(Value, std::to_string(Value), Path, R);
  }
  if (V.is_string()) {
    return ReadNumberText(V.get<std::string>(), Path, R);
  }
  if (V.is_number_float()) {
    // JSON gives integers beyond 64 bits as floats too: tell the two apart.
    const double D = V.get<double>();
    const bool Whole = std::isfinite(D) && std::floor(D) == D;
    if (Whole && (D < 0 || D >= 18446744073709551616.0)) {
      Fail(Path, "expected " + std::string(R.Expected) + ", got " + V.dump() + " (out of range)");
    }
    Fail(Path, "expected " + std::string(R.Expected) + ", got " + V.dump() +
                   " (not an integer: write it without a fraction or exponent)");
  }
  Fail(Path, "expected " + std::string(R.Expected) + ", got " + TypeName(V));
}

template <typename T>
T ReadAs(const json &V, const std::string &Path, const Range &R) {
  return static_cast<T>(ReadNumber(V, Path, R));
}

bool ReadBool(const json &V, const std::string &Path) {
  if (!V.is_boolean()) {
    Fail(Path, std::string("expected true or false, got ") + TypeName(V));
  }
  return V.get<bool>();
}

void RequireObject(const json &V, const std::string &Path, std::string_view What = "an object") {
  if (!V.is_object()) {
    Fail(Path, "expected " + std::string(What) + ", got " + TypeName(V));
  }
}

void RequireArray(const json &V, const std::string &Path, std::string_view What) {
  if (!V.is_array()) {
    Fail(Path, "expected " + std::string(What) + ", got " + TypeName(V));
  }
}

// An object with a fixed set of keys, each optional: every member goes to its
// handler, any other key is an error.
using KeyHandler = std::function<void(const json &Value, const std::string &Path)>;

void ForFixedKeys(const json &Object, const std::string &Path,
                  std::initializer_list<std::pair<std::string_view, KeyHandler>> Handlers) {
  RequireObject(Object, Path);
  for (auto It = Object.begin(); It != Object.end(); ++It) {
    const KeyHandler *Handler = nullptr;
    for (const auto &[Name, H] : Handlers) {
      if (It.key() == Name) {
        Handler = &H;
      }
    }
    const std::string ChildPath = Child(Path, It.key());
    if (Handler == nullptr) {
      std::string Known;
      for (const auto &[Name, H] : Handlers) {
        Known += (Known.empty() ? "" : ", ") + std::string(Name);
      }
      Fail(ChildPath, "unknown key (expected one of: " + Known + ")");
    }
    (*Handler)(It.value(), ChildPath);
  }
}

// An object whose keys are numbers; KeyWhat completes "expected a key that is ...".
// Two spellings of the same number in one object are an error.
template <typename K>
void ForNumberKeys(const json &Object, const std::string &Path, const Range &KeyRange,
                   const std::function<void(K Key, const json &Value, const std::string &Path)> &Visit) {
  RequireObject(Object, Path);
  std::map<uint64_t, std::string> Seen;
  for (auto It = Object.begin(); It != Object.end(); ++It) {
    const std::string ChildPath = Child(Path, It.key());
    const uint64_t Key = ReadNumberText(It.key(), ChildPath, KeyRange);
    const auto [Where, Fresh] = Seen.emplace(Key, It.key());
    if (!Fresh) {
      Fail(ChildPath, "duplicate key: the same number as " + json(Where->second).dump());
    }
    Visit(static_cast<K>(Key), It.value(), ChildPath);
  }
}

// "bus:dev.fn" in hex, for example "0:18.3" or "00:14.0".
PciAddress ReadPciAddress(const std::string &Text, const std::string &Path) {
  const std::string Expected = "expected a PCI function \"bus:dev.fn\" in hex (bus 0..FF, dev 0..1F, fn 0..7)";
  const size_t Colon = Text.find(':');
  const size_t Dot = Text.find('.', Colon == std::string::npos ? 0 : Colon);
  if (Colon == std::string::npos || Dot == std::string::npos) {
    Fail(Path, Expected);
  }
  const std::string_view Parts[3] = {std::string_view(Text).substr(0, Colon),
                                     std::string_view(Text).substr(Colon + 1, Dot - Colon - 1),
                                     std::string_view(Text).substr(Dot + 1)};
  const uint64_t Limits[3] = {0xFF, 0x1F, 7};
  uint64_t Values[3] = {};
  for (int I = 0; I < 3; ++I) {
    // Plain hex digits only: no "0x" inside the triple.
    const bool Digits = !Parts[I].empty() && Parts[I].size() <= 8 &&
                        Parts[I].find_first_not_of("0123456789abcdefABCDEF") == std::string_view::npos;
    if (!Digits || ParseNumberText("0x" + std::string(Parts[I]), Values[I]) != TextNumber::Ok ||
        Values[I] > Limits[I]) {
      Fail(Path, Expected);
    }
  }
  return PciAddress{static_cast<uint8_t>(Values[0]), static_cast<uint8_t>(Values[1]),
                    static_cast<uint8_t>(Values[2])};
}

std::vector<uint8_t> ReadHexBytes(const json &V, const std::string &Path) {
  const std::string Expected = "expected a hex string of whole bytes (even length, optional \"0x\" prefix)";
  if (!V.is_string()) {
    Fail(Path, Expected + ", got " + TypeName(V));
  }
  std::string_view Text = V.get_ref<const std::string &>();
  if (Text.size() >= 2 && Text[0] == '0' && (Text[1] == 'x' || Text[1] == 'X')) {
    Text.remove_prefix(2);
  }
  if (Text.size() % 2 != 0 || Text.find_first_not_of("0123456789abcdefABCDEF") != std::string_view::npos) {
    Fail(Path, Expected);
  }
  std::vector<uint8_t> Out;
  for (size_t I = 0; I < Text.size(); I += 2) {
    uint64_t Byte = 0;
    ParseNumberText("0x" + std::string(Text.substr(I, 2)), Byte);
    Out.push_back(static_cast<uint8_t>(Byte));
  }
  return Out;
}

void ParseCpu(const json &V, const std::string &Path, CpuConfig &Cpu) {
  ForFixedKeys(V, Path,
               {{"signature", [&](const json &X, const std::string &P) { Cpu.Signature = ReadAs<uint32_t>(X, P, kU32); }},
                {"power_features",
                 [&](const json &X, const std::string &P) { Cpu.PowerFeatures = ReadAs<uint32_t>(X, P, kU32); }},
                {"pstate",
                 [&](const json &X, const std::string &P) {
                   Cpu.Pstate = ReadAs<uint8_t>(X, P, Range{0, 7, "an integer 0..7"});
                 }},
                {"pstate_defs",
                 [&](const json &X, const std::string &P) {
                   RequireArray(X, P, "an array of 8 u64");
                   if (X.size() != 8) {
                     Fail(P, "expected an array of 8 u64, got " + std::to_string(X.size()) + " elements");
                   }
                   for (size_t I = 0; I < 8; ++I) {
                     Cpu.PstateDefs[I] = ReadNumber(X[I], Element(P, I), kU64);
                   }
                 }},
                {"bsp", [&](const json &X, const std::string &P) { Cpu.Bsp = ReadBool(X, P); }},
                {"simulation", [&](const json &X, const std::string &P) { Cpu.Simulation = ReadBool(X, P); }}});
}

void ParseMmio(const json &V, const std::string &Path, std::map<uint64_t, MmioInit> &Mmio) {
  ForNumberKeys<uint64_t>(V, Path, kU64, [&](uint64_t Address, const json &Entry, const std::string &P) {
    MmioInit Init;  // an entry replaces the default one whole: width 32, value 0 unless given
    const json *Value = nullptr;
    std::string ValuePath;
    ForFixedKeys(Entry, P,
                 {{"width",
                   [&](const json &X, const std::string &WP) {
                     const uint64_t W = ReadNumber(X, WP, Range{0, 64, "a width of 8, 16, 32 or 64"});
                     if (W != 8 && W != 16 && W != 32 && W != 64) {
                       Fail(WP, "expected a width of 8, 16, 32 or 64, got " + std::to_string(W));
                     }
                     Init.Width = static_cast<uint8_t>(W);
                   }},
                  {"value", [&](const json &X, const std::string &VP) {
                     Value = &X;
                     ValuePath = VP;
                   }}});
    if (Value != nullptr) {
      // Checked after the width, which may come later in the object.
      static const Range Widths[] = {{0, 0xFF, "a value that fits 8 bits (0..0xFF)"},
                                     {0, 0xFFFF, "a value that fits 16 bits (0..0xFFFF)"},
                                     {0, 0xFFFFFFFF, "a value that fits 32 bits (0..0xFFFFFFFF)"},
                                     {0, UINT64_MAX, "a value that fits 64 bits"}};
      const int Index = Init.Width == 8 ? 0 : Init.Width == 16 ? 1 : Init.Width == 32 ? 2 : 3;
      Init.Value = ReadNumber(*Value, ValuePath, Widths[Index]);
    }
    Mmio[Address] = Init;
  });
}

template <typename K, typename T>
void ParseValueMap(const json &V, const std::string &Path, const Range &KeyRange, const Range &ValueRange,
                   std::map<K, T> &Out) {
  ForNumberKeys<K>(V, Path, KeyRange,
                   [&](K Key, const json &X, const std::string &P) { Out[Key] = ReadAs<T>(X, P, ValueRange); });
}

void ParsePci(const json &V, const std::string &Path, std::map<PciAddress, std::map<uint16_t, uint32_t>> &Pci) {
  RequireObject(V, Path);
  std::map<PciAddress, std::string> Seen;
  for (auto It = V.begin(); It != V.end(); ++It) {
    const std::string P = Child(Path, It.key());
    const PciAddress Address = ReadPciAddress(It.key(), P);
    const auto [Where, Fresh] = Seen.emplace(Address, It.key());
    if (!Fresh) {
      Fail(P, "duplicate key: the same function as " + json(Where->second).dump());
    }
    auto &Registers = Pci[Address];
    ForNumberKeys<uint16_t>(It.value(), P, Range{0, 0xFC, "a configuration register 0..0xFC"},
                            [&](uint16_t Register, const json &X, const std::string &RP) {
                              if (Register % 4 != 0) {
                                Fail(RP, "expected a configuration register that is a multiple of 4");
                              }
                              Registers[Register] = ReadAs<uint32_t>(X, RP, kU32);
                            });
  }
}

void ParseRtc(const json &V, const std::string &Path, RtcTime &Rtc) {
  auto Field = [](uint8_t &Out, uint64_t Min, uint64_t Max, std::string_view Expected) {
    return [&Out, Min, Max, Expected](const json &X, const std::string &P) {
      Out = ReadAs<uint8_t>(X, P, Range{Min, Max, Expected});
    };
  };
  ForFixedKeys(V, Path,
               {{"month", Field(Rtc.Month, 1, 12, "a month 1..12")},
                {"day", Field(Rtc.Day, 1, 31, "a day 1..31")},
                {"hour", Field(Rtc.Hour, 0, 23, "an hour 0..23")},
                {"minute", Field(Rtc.Minute, 0, 59, "a minute 0..59")}});
}

SmbusControllerConfig ParseSmbusController(const json &V, const std::string &Path) {
  SmbusControllerConfig C;
  ForFixedKeys(
      V, Path,
      {{"responds", [&](const json &X, const std::string &P) { C.Responds = ReadBool(X, P); }},
       {"devices", [&](const json &X, const std::string &P) {
          ForNumberKeys<uint8_t>(X, P, kU8, [&](uint8_t Slave, const json &Commands, const std::string &SP) {
            ParseValueMap(Commands, SP, kU8, kU16, C.Devices[Slave]);
          });
        }}});
  return C;
}

void ParseSmbus(const json &V, const std::string &Path, Scenario &S) {
  ForFixedKeys(V, Path,
               {{"pm_register",
                 [&](const json &X, const std::string &P) { S.SmbusPmRegister = ReadAs<uint32_t>(X, P, kU32); }},
                {"controllers", [&](const json &X, const std::string &P) {
                   RequireArray(X, P, "an array of 2 controllers");
                   if (X.size() != 2) {
                     Fail(P, "expected an array of 2 controllers, got " + std::to_string(X.size()) + " elements");
                   }
                   for (size_t I = 0; I < 2; ++I) {
                     S.SmbusControllers[I] = ParseSmbusController(X[I], Element(P, I));
                   }
                 }}});
}

void ParseSio(const json &V, const std::string &Path, Scenario &S) {
  ForFixedKeys(
      V, Path,
      {{"global",
        [&](const json &X, const std::string &P) {
          ParseValueMap(X, P, Range{0, 0x2F, "a global register 0..0x2F"}, kU8, S.SioGlobal);
        }},
       {"ldn", [&](const json &X, const std::string &P) {
          ForNumberKeys<uint8_t>(X, P, kU8, [&](uint8_t Ldn, const json &Registers, const std::string &LP) {
            ParseValueMap(Registers, LP, Range{0x30, 0xFF, "a logical-device register 0x30..0xFF"}, kU8,
                          S.SioLdn[Ldn]);
          });
        }}});
}

// Attributes a variable store can hold: append-write (0x40) is a request to
// SetVariable, never stored; every stored variable has boot-service access,
// since a write without access attributes deletes the variable (a driver
// writing Setup back as it read it would delete it).
void CheckStoredAttributes(uint32_t Attributes, const std::string &Path) {
  constexpr uint32_t kAppendWrite = 0x40;
  constexpr uint32_t kStorable = 0xBF;  // NV, BS, RT, HR, the authentication bits
  if ((Attributes & kAppendWrite) != 0) {
    Fail(Path, "got " + Hex(Attributes) + ": 0x40 (append write) is a SetVariable request, no variable is stored with it");
  }
  if ((Attributes & ~kStorable) != 0) {
    Fail(Path, "got " + Hex(Attributes) + ": bits " + Hex(Attributes & ~kStorable) + " are no variable attributes");
  }
  constexpr uint32_t kBootService = 0x2;
  if ((Attributes & kBootService) == 0) {
    Fail(Path, "got " + Hex(Attributes) + ": a stored variable needs boot-service access (0x2)");
  }
}

std::optional<SetupConfigSpec> ParseSetup(const json &V, const std::string &Path) {
  if (V.is_null()) {
    return std::nullopt;
  }
  RequireObject(V, Path, "null or an object");
  uint32_t Attributes = kDefaultSetupAttributes;
  std::optional<uint32_t> Size;
  std::optional<uint8_t> Fill;
  const json *Bytes = nullptr;
  std::string BytesPath;
  ForFixedKeys(V, Path,
               {{"attributes",
                 [&](const json &X, const std::string &P) {
                   Attributes = ReadAs<uint32_t>(X, P, kU32);
                   CheckStoredAttributes(Attributes, P);
                 }},
                {"size",
                 [&](const json &X, const std::string &P) {
                   Size = ReadAs<uint32_t>(X, P, Range{1, 65536, "a size 1..65536"});
                 }},
                {"fill", [&](const json &X, const std::string &P) { Fill = ReadAs<uint8_t>(X, P, kU8); }},
                {"bytes", [&](const json &X, const std::string &P) {
                   RequireObject(X, P);
                   Bytes = &X;
                   BytesPath = P;
                 }}});

  SetupConfigSpec Setup;
  Setup.Attributes = Attributes;
  Setup.Data = Fill ? std::vector<uint8_t>(Size.value_or(kDefaultSetupSize), *Fill) : DefaultSetupImage();
  if (Size) {
    Setup.Data.resize(*Size, Fill.value_or(0));
  }
  if (Bytes != nullptr) {
    const size_t Total = Setup.Data.size();
    std::vector<bool> Written(Total, false);
    ForNumberKeys<uint32_t>(
        *Bytes, BytesPath, Range{0, 0xFFFF, "an offset 0..0xFFFF"},
        [&](uint32_t Offset, const json &X, const std::string &P) {
          std::vector<uint8_t> Run;
          if (X.is_array()) {
            for (size_t I = 0; I < X.size(); ++I) {
              Run.push_back(ReadAs<uint8_t>(X[I], Element(P, I), kU8));
            }
          } else if (X.is_object() || X.is_null() || X.is_boolean()) {
            Fail(P, std::string("expected a u8 or an array of u8, got ") + TypeName(X));
          } else {
            Run.push_back(ReadAs<uint8_t>(X, P, kU8));
          }
          if (Offset >= Total || Run.size() > Total - Offset) {
            Fail(P, std::to_string(Run.size()) + " byte(s) at offset " + Hex(Offset) + " run past the end of the " +
                        std::to_string(Total) + "-byte variable");
          }
          for (size_t I = 0; I < Run.size(); ++I) {
            if (Written[Offset + I]) {
              Fail(P, "byte " + Hex(Offset + I) + " is already set by another entry");
            }
            Written[Offset + I] = true;
            Setup.Data[Offset + I] = Run[I];
          }
        });
  }
  return Setup;
}

void ParseProtocols(const json &V, const std::string &Path, ProtocolSet &Set) {
  auto Flag = [](bool &Out) { return [&Out](const json &X, const std::string &P) { Out = ReadBool(X, P); }; };
  ForFixedKeys(V, Path,
               {{"pcd", Flag(Set.Pcd)},
                {"efi_pcd", Flag(Set.EfiPcd)},
                {"debug_print", Flag(Set.DebugPrint)},
                {"smm_base2", Flag(Set.SmmBase2)},
                {"smm_access2", Flag(Set.SmmAccess2)},
                {"sx_dispatch", Flag(Set.SxDispatch)},
                {"power_button_dispatch", Flag(Set.PowerButtonDispatch)},
                {"smm_variable", Flag(Set.SmmVariable)},
                {"heap_buffer_list", Flag(Set.HeapBufferList)}});
}

constexpr size_t kMaxHobPayload = 0xFFF8 - 24 - 16;

HobSpec ParseHob(const json &V, const std::string &Path) {
  HobSpec Hob;
  std::optional<uint32_t> PayloadSize;
  ForFixedKeys(
      V, Path,
      {{"signature", [&](const json &X, const std::string &P) { Hob.Signature = ReadAs<uint32_t>(X, P, kU32); }},
       {"word4", [&](const json &X, const std::string &P) { Hob.Word4 = ReadAs<uint32_t>(X, P, kU32); }},
       {"payload_size", [&](const json &X, const std::string &P) { PayloadSize = ReadAs<uint32_t>(X, P, kU32); }},
       {"kind", [&](const json &X, const std::string &P) { Hob.Kind = ReadAs<uint8_t>(X, P, kU8); }},
       {"relay", [&](const json &X, const std::string &P) { Hob.Relay = ReadAs<uint8_t>(X, P, kU8); }},
       {"word14", [&](const json &X, const std::string &P) { Hob.Word14 = ReadAs<uint16_t>(X, P, kU16); }},
       {"payload", [&](const json &X, const std::string &P) {
          Hob.Payload = ReadHexBytes(X, P);
          // A HOB's length is 16 bits: 24 bytes of GUID HOB header and the
          // 16-byte heap header come first, rounded up to 8.
          if (Hob.Payload.size() > kMaxHobPayload) {
            Fail(P, "expected at most " + std::to_string(kMaxHobPayload) + " payload bytes (a HOB's length is 16 bits)");
          }
        }}});
  Hob.PayloadSize = PayloadSize.value_or(static_cast<uint32_t>(Hob.Payload.size()));
  return Hob;
}

const std::string_view kImageSteps[] = {"BoardInitDxe", "SignalTuneDxe", "SubsysIdDxe", "SioPowerSmm"};
constexpr std::string_view kStepExpected =
    "a step: \"BoardInitDxe\", \"SignalTuneDxe\", \"SubsysIdDxe\", \"SioPowerSmm\", \"power-button\", \"reset\", "
    "{\"sx\": 3|4|5} or {\"script\": [words]}";

Step ParseStep(const json &V, const std::string &Path) {
  Step S;
  if (V.is_string()) {
    const std::string &Text = V.get_ref<const std::string &>();
    for (std::string_view Image : kImageSteps) {
      if (Text == Image) {
        S.StepKind = Step::Kind::Image;
        S.Image = Text;
        return S;
      }
    }
    if (Text == "power-button") {
      S.StepKind = Step::Kind::PowerButton;
      return S;
    }
    if (Text == "reset") {
      S.StepKind = Step::Kind::Reset;
      return S;
    }
    Fail(Path, "expected " + std::string(kStepExpected) + ", got " + V.dump());
  }
  if (!V.is_object()) {
    Fail(Path, "expected " + std::string(kStepExpected) + ", got " + TypeName(V));
  }
  if (V.size() != 1) {
    Fail(Path, "expected an object with exactly one key, \"sx\" or \"script\"");
  }
  ForFixedKeys(V, Path,
               {{"sx",
                 [&](const json &X, const std::string &P) {
                   S.StepKind = Step::Kind::Sx;
                   S.SleepType = ReadAs<int>(X, P, Range{3, 5, "a sleep type 3, 4 or 5"});
                 }},
                {"script", [&](const json &X, const std::string &P) {
                   RequireArray(X, P, "an array of u64 words");
                   S.StepKind = Step::Kind::Script;
                   for (size_t I = 0; I < X.size(); ++I) {
                     S.Script.push_back(ReadNumber(X[I], Element(P, I), kU64));
                   }
                 }}});
  return S;
}

void ParseDocument(const json &Doc, Scenario &S) {
  const std::string Root = "$";
  RequireObject(Doc, Root, "a JSON object (the scenario)");
  // Editors read "$schema"; "$comment" says what a scenario is for.
  const auto Annotation = [](const json &X, const std::string &P) {
    if (!X.is_string()) {
      Fail(P, std::string("expected a string, got ") + TypeName(X));
    }
  };
  ForFixedKeys(
      Doc, Root,
      {{"$schema", Annotation},
       {"$comment", Annotation},
       {"cpu", [&](const json &X, const std::string &P) { ParseCpu(X, P, S.Cpu); }},
       {"mmio", [&](const json &X, const std::string &P) { ParseMmio(X, P, S.Mmio); }},
       {"smn", [&](const json &X, const std::string &P) { ParseValueMap(X, P, kU32, kU32, S.Smn); }},
       {"pci", [&](const json &X, const std::string &P) { ParsePci(X, P, S.Pci); }},
       {"io", [&](const json &X, const std::string &P) { ParseValueMap(X, P, kU16, kU8, S.Io); }},
       {"cmos",
        [&](const json &X, const std::string &P) {
          ParseValueMap(X, P, Range{0x80, 0xFF, "an upper-bank offset 0x80..0xFF"}, kU8, S.Cmos);
        }},
       {"rtc", [&](const json &X, const std::string &P) { ParseRtc(X, P, S.Rtc); }},
       {"smbus", [&](const json &X, const std::string &P) { ParseSmbus(X, P, S); }},
       {"sio", [&](const json &X, const std::string &P) { ParseSio(X, P, S); }},
       {"kbc",
        [&](const json &X, const std::string &P) {
          ForFixedKeys(X, P,
                       {{"responds", [&](const json &Y, const std::string &Q) { S.KbcResponds = ReadBool(Y, Q); }},
                        {"latency_us", [&](const json &Y, const std::string &Q) {
                           S.KbcLatencyUs = ReadAs<uint32_t>(Y, Q, kU32);
                         }}});
        }},
       {"serial",
        [&](const json &X, const std::string &P) {
          ForFixedKeys(X, P, {{"ready", [&](const json &Y, const std::string &Q) { S.SerialReady = ReadBool(Y, Q); }}});
        }},
       {"setup", [&](const json &X, const std::string &P) { S.Setup = ParseSetup(X, P); }},
       {"variables",
        [&](const json &X, const std::string &P) {
          ForFixedKeys(X, P,
                       {{"set_status", [&](const json &Y, const std::string &Q) {
                           S.SetVariableStatus = ReadNumber(Y, Q, Range{0, UINT64_MAX, "an EFI status (u64)"});
                         }}});
        }},
       {"pcd",
        [&](const json &X, const std::string &P) {
          ParseValueMap(X, P, Range{0, 0xFFFFFFFF, "a PCD token (u32)"}, kU64, S.Pcd);
        }},
       {"protocols", [&](const json &X, const std::string &P) { ParseProtocols(X, P, S.Protocols); }},
       {"faults",
        [&](const json &X, const std::string &P) {
          ForFixedKeys(X, P,
                       {{"fail_allocations", [&](const json &Y, const std::string &Q) {
                           RequireArray(Y, Q, "an array of allocation numbers");
                           S.FailAllocations.clear();
                           for (size_t I = 0; I < Y.size(); ++I) {
                             S.FailAllocations.push_back(ReadAs<uint32_t>(
                                 Y[I], Element(Q, I), Range{1, 0xFFFFFFFF, "an allocation number 1..0xFFFFFFFF"}));
                           }
                         }}});
        }},
       {"engine",
        [&](const json &X, const std::string &P) {
          ForFixedKeys(X, P,
                       {{"instruction_budget", [&](const json &Y, const std::string &Q) {
                           S.InstructionBudget =
                               ReadNumber(Y, Q, Range{1, UINT64_MAX, "an instruction count 1..0xFFFFFFFFFFFFFFFF"});
                         }}});
        }},
       {"hobs",
        [&](const json &X, const std::string &P) {
          RequireArray(X, P, "an array of HOBs");
          S.Hobs.clear();
          for (size_t I = 0; I < X.size(); ++I) {
            S.Hobs.push_back(ParseHob(X[I], Element(P, I)));
          }
        }},
       {"cpu_frequency_record",
        [&](const json &X, const std::string &P) {
          if (X.is_null()) {
            S.CpuFrequencyRecord.reset();
            return;
          }
          RequireObject(X, P, "null or an object");
          CpuFrequencyRecordSpec R;
          ForFixedKeys(
              X, P,
              {{"tsc_frequency",
                [&](const json &Y, const std::string &Q) { R.TscFrequency = ReadNumber(Y, Q, kU64); }},
               {"pstate_definition",
                [&](const json &Y, const std::string &Q) { R.PstateDefinition = ReadNumber(Y, Q, kU64); }},
               {"pstate_index",
                [&](const json &Y, const std::string &Q) { R.PstateIndex = ReadAs<uint32_t>(Y, Q, kU32); }},
               {"power_features",
                [&](const json &Y, const std::string &Q) { R.PowerFeatures = ReadAs<uint32_t>(Y, Q, kU32); }}});
          S.CpuFrequencyRecord = R;
        }},
       {"run", [&](const json &X, const std::string &P) {
          RequireArray(X, P, "an array of steps");
          S.Run.clear();
          for (size_t I = 0; I < X.size(); ++I) {
            S.Run.push_back(ParseStep(X[I], Element(P, I)));
          }
        }}});
}

// ---------------------------------------------------------------------------
// Rendering

std::string PciText(const PciAddress &A) {
  char Buffer[16];
  std::snprintf(Buffer, sizeof Buffer, "%X:%X.%X", A.Bus, A.Device, A.Function);
  return Buffer;
}

template <typename K, typename T>
json HexMap(const std::map<K, T> &Map) {
  json Out = json::object();
  for (const auto &[Key, Value] : Map) {
    Out[Hex(Key)] = Hex(Value);
  }
  return Out;
}

json StepJson(const Step &S) {
  switch (S.StepKind) {
    case Step::Kind::Image:
      return S.Image;
    case Step::Kind::Sx:
      return json{{"sx", S.SleepType}};
    case Step::Kind::PowerButton:
      return "power-button";
    case Step::Kind::Reset:
      return "reset";
    case Step::Kind::Script: {
      json Words = json::array();
      for (uint64_t W : S.Script) {
        Words.push_back(Hex(W));
      }
      return json{{"script", Words}};
    }
  }
  return nullptr;
}

// The setup image as fill 0 plus its runs of non-zero bytes.
json SetupJson(const SetupConfigSpec &Setup) {
  json Bytes = json::object();
  for (size_t I = 0; I < Setup.Data.size();) {
    if (Setup.Data[I] == 0) {
      ++I;
      continue;
    }
    const size_t Start = I;
    json Run = json::array();
    while (I < Setup.Data.size() && Setup.Data[I] != 0) {
      Run.push_back(Hex(Setup.Data[I++]));
    }
    Bytes[Hex(Start)] = Run.size() == 1 ? Run[0] : Run;
  }
  return json{{"attributes", Hex(Setup.Attributes)},
              {"size", Setup.Data.size()},
              {"fill", 0},
              {"bytes", Bytes}};
}

}  // namespace

Step Step::Load(std::string Image) {
  Step S;
  S.Image = std::move(Image);
  return S;
}

Step Step::Sleep(int Type) {
  Step S;
  S.StepKind = Kind::Sx;
  S.SleepType = Type;
  return S;
}

Step Step::PowerButtonPress() {
  Step S;
  S.StepKind = Kind::PowerButton;
  return S;
}

std::string Step::Name() const {
  switch (StepKind) {
    case Kind::Image:
      return Image;
    case Kind::Sx:
      return "{\"sx\":" + std::to_string(SleepType) + "}";
    case Kind::PowerButton:
      return "power-button";
    case Kind::Reset:
      return "reset";
    case Kind::Script:
      return "script";
  }
  return "?";
}

std::vector<uint8_t> DefaultSetupImage() {
  std::vector<uint8_t> Image(kDefaultSetupSize, 0);
  for (const SetupFieldDefault &F : kDefaultSetupFields) {
    for (unsigned I = 0; I < F.Length; ++I) {
      Image[F.Offset + I] = F.Bytes[I];
    }
  }
  return Image;
}

Scenario DefaultScenario() {
  Scenario S;
  S.Cpu.Signature = 0x00B40F40;  // base family 0xF + extended family 0xB = 1Ah
  S.Cpu.PowerFeatures = 0x100;   // invariant TSC
  S.Cpu.Pstate = 0;
  S.Cpu.PstateDefs = kDefaultPstateDefs;
  S.Cpu.Bsp = true;
  S.Cpu.Simulation = false;
  S.Mmio[0xFED81664] = MmioInit{32, 0x00150000};  // FCH GPIO control, pin 89
  S.Io[0x803] = 0x00;                             // latched chipset status
  S.Rtc = RtcTime{1, 1, 0, 0};
  S.SmbusPmRegister = 0x00000B00;  // controller base 0x0B00 in bits 15:8
  S.SmbusControllers = {SmbusControllerConfig{}, SmbusControllerConfig{}};
  S.KbcResponds = true;
  S.KbcLatencyUs = 100;
  S.SerialReady = true;
  S.Setup = SetupConfigSpec{kDefaultSetupAttributes, DefaultSetupImage()};
  S.SetVariableStatus = 0;
  S.Pcd = {{631, 1}, {571, 0x20}, {632, 0}, {581, 0x000186A0}, {580, 0x00002710}, {633, 3}};
  S.Protocols = ProtocolSet{};
  S.Run.clear();
  for (std::string_view Image : kImageSteps) {
    S.Run.push_back(Step::Load(std::string(Image)));
  }
  for (int Type : {3, 4, 5}) {
    S.Run.push_back(Step::Sleep(Type));
  }
  S.Run.push_back(Step::PowerButtonPress());
  return S;
}

std::variant<Scenario, ScenarioError> ParseScenario(const nlohmann::json &Document) {
  Scenario S = DefaultScenario();
  try {
    ParseDocument(Document, S);
  } catch (const ParseFailure &F) {
    return F.Error;
  }
  return S;
}

namespace {

// Bytes of Text around Offset, non-printable ones escaped, for an error line.
std::string Excerpt(const std::string &Text, size_t Offset) {
  const size_t From = Offset > 16 ? Offset - 16 : 0;
  const size_t To = std::min(Text.size(), Offset + 16);
  std::string Out;
  for (size_t I = From; I < To; ++I) {
    const auto C = static_cast<unsigned char>(Text[I]);
    if (C >= 0x20 && C < 0x7F && C != '\\') {
      Out.push_back(static_cast<char>(C));
    } else {
      char Escaped[8];
      std::snprintf(Escaped, sizeof Escaped, "\\x%02X", C);
      Out += Escaped;
    }
  }
  return Out;
}

// "line L, column C" of the byte at Offset (0-based).
std::string Where(const std::string &Text, size_t Offset) {
  size_t Line = 1, Column = 1;
  for (size_t I = 0; I < Offset && I < Text.size(); ++I) {
    if (Text[I] == '\n') {
      ++Line;
      Column = 1;
    } else {
      ++Column;
    }
  }
  return "line " + std::to_string(Line) + ", column " + std::to_string(Column);
}

// The JSON path of the key a parser callback is at; throws on a key seen
// twice in one object, which the JSON library would silently let win.
class DuplicateKeyCheck {
 public:
  bool operator()(int, json::parse_event_t Event, json &Parsed) {
    switch (Event) {
      case json::parse_event_t::object_start:
        Frames_.push_back({false, 0, {}, {}});
        break;
      case json::parse_event_t::array_start:
        Frames_.push_back({true, 0, {}, {}});
        break;
      case json::parse_event_t::key: {
        Frame &Top = Frames_.back();
        Top.Key = Parsed.get<std::string>();
        if (!Top.Keys.insert(Top.Key).second) {
          Fail(PathHere(), "duplicate key " + json(Top.Key).dump() + " in one object (which one counts is not defined)");
        }
        break;
      }
      case json::parse_event_t::object_end:
      case json::parse_event_t::array_end:
        Frames_.pop_back();
        Counted();
        break;
      case json::parse_event_t::value:
        Counted();
        break;
    }
    return true;
  }

 private:
  struct Frame {
    bool Array;
    size_t Index;
    std::string Key;
    std::set<std::string> Keys;
  };
  void Counted() {
    if (!Frames_.empty() && Frames_.back().Array) {
      ++Frames_.back().Index;
    }
  }
  std::string PathHere() const {
    std::string Path = "$";
    for (const Frame &F : Frames_) {
      Path = F.Array ? Element(Path, F.Index) : Child(Path, F.Key);
    }
    return Path;
  }
  std::vector<Frame> Frames_;
};

}  // namespace

std::variant<Scenario, ScenarioError> ParseScenarioText(const std::string &Text, const std::string &Name) {
  if (const size_t Nul = Text.find('\0'); Nul != std::string::npos) {
    return ScenarioError{"$", Name + " is not JSON text: a NUL byte at " + Where(Text, Nul)};
  }
  json Document;
  try {
    Document = json::parse(Text, DuplicateKeyCheck());
  } catch (const ParseFailure &F) {
    return F.Error;
  } catch (const json::parse_error &E) {
    const size_t Offset = E.byte > 0 ? E.byte - 1 : 0;
    return ScenarioError{"$", Name + " is not valid JSON at " + Where(Text, Offset) + ", near \"" +
                                  Excerpt(Text, Offset) + "\""};
  } catch (const json::out_of_range &) {
    // The one the JSON library raises without a position: a number whose
    // exponent no floating-point value can hold.
    return ScenarioError{"$", Name + " holds a number too large for any JSON reader (an exponent out of range)"};
  }
  return ParseScenario(Document);
}

std::variant<Scenario, ScenarioError> LoadScenarioFile(const std::string &Path) {
  std::error_code Ignored;
  if (std::filesystem::is_directory(Path, Ignored)) {
    return ScenarioError{"$", "cannot read " + Path + ": it is a directory"};
  }
  std::ifstream In(Path, std::ios::binary);
  if (!In) {
    return ScenarioError{"$", "cannot read " + Path + ": " + std::strerror(errno)};
  }
  // Read with a bound: the path may name a device that never ends.
  std::string Text;
  char Chunk[65536];
  while (In.read(Chunk, sizeof Chunk) || In.gcount() > 0) {
    Text.append(Chunk, static_cast<size_t>(In.gcount()));
    if (Text.size() > kMaxScenarioBytes) {
      return ScenarioError{"$", Path + " is larger than " + std::to_string(kMaxScenarioBytes >> 20) +
                                    " MiB; no scenario is that large"};
    }
  }
  if (In.bad()) {
    return ScenarioError{"$", "cannot read " + Path};
  }
  return ParseScenarioText(Text, Path);
}

nlohmann::json ScenarioToJson(const Scenario &S) {
  json Doc = json::object();

  json PstateDefs = json::array();
  for (uint64_t D : S.Cpu.PstateDefs) {
    PstateDefs.push_back(Hex(D));
  }
  Doc["cpu"] = {{"signature", Hex(S.Cpu.Signature)}, {"power_features", Hex(S.Cpu.PowerFeatures)},
                {"pstate", S.Cpu.Pstate},           {"pstate_defs", PstateDefs},
                {"bsp", S.Cpu.Bsp},                 {"simulation", S.Cpu.Simulation}};

  json Mmio = json::object();
  for (const auto &[Address, Init] : S.Mmio) {
    Mmio[Hex(Address)] = {{"width", Init.Width}, {"value", Hex(Init.Value)}};
  }
  Doc["mmio"] = Mmio;
  Doc["smn"] = HexMap(S.Smn);
  json Pci = json::object();
  for (const auto &[Address, Registers] : S.Pci) {
    Pci[PciText(Address)] = HexMap(Registers);
  }
  Doc["pci"] = Pci;
  Doc["io"] = HexMap(S.Io);
  Doc["cmos"] = HexMap(S.Cmos);
  Doc["rtc"] = {{"month", S.Rtc.Month}, {"day", S.Rtc.Day}, {"hour", S.Rtc.Hour}, {"minute", S.Rtc.Minute}};

  json Controllers = json::array();
  for (const SmbusControllerConfig &C : S.SmbusControllers) {
    json Devices = json::object();
    for (const auto &[Slave, Commands] : C.Devices) {
      Devices[Hex(Slave)] = HexMap(Commands);
    }
    Controllers.push_back({{"responds", C.Responds}, {"devices", Devices}});
  }
  Doc["smbus"] = {{"pm_register", Hex(S.SmbusPmRegister)}, {"controllers", Controllers}};

  json Ldn = json::object();
  for (const auto &[Device, Registers] : S.SioLdn) {
    Ldn[Hex(Device)] = HexMap(Registers);
  }
  Doc["sio"] = {{"global", HexMap(S.SioGlobal)}, {"ldn", Ldn}};
  Doc["kbc"] = {{"responds", S.KbcResponds}, {"latency_us", S.KbcLatencyUs}};
  Doc["serial"] = {{"ready", S.SerialReady}};
  Doc["setup"] = S.Setup ? SetupJson(*S.Setup) : json(nullptr);
  Doc["variables"] = {{"set_status", Hex(S.SetVariableStatus)}};

  json Pcd = json::object();
  for (const auto &[Token, Value] : S.Pcd) {
    Pcd[std::to_string(Token)] = Hex(Value);
  }
  Doc["pcd"] = Pcd;
  const ProtocolSet &Pr = S.Protocols;
  Doc["protocols"] = {{"pcd", Pr.Pcd},
                      {"efi_pcd", Pr.EfiPcd},
                      {"debug_print", Pr.DebugPrint},
                      {"smm_base2", Pr.SmmBase2},
                      {"smm_access2", Pr.SmmAccess2},
                      {"sx_dispatch", Pr.SxDispatch},
                      {"power_button_dispatch", Pr.PowerButtonDispatch},
                      {"smm_variable", Pr.SmmVariable},
                      {"heap_buffer_list", Pr.HeapBufferList}};
  Doc["faults"] = {{"fail_allocations", S.FailAllocations}};
  Doc["engine"] = {{"instruction_budget", S.InstructionBudget}};

  json Hobs = json::array();
  for (const HobSpec &H : S.Hobs) {
    Hobs.push_back({{"signature", Hex(H.Signature)},
                    {"word4", Hex(H.Word4)},
                    {"payload_size", Hex(H.PayloadSize)},
                    {"kind", Hex(H.Kind)},
                    {"relay", Hex(H.Relay)},
                    {"word14", Hex(H.Word14)},
                    {"payload", HexBytes(H.Payload.data(), H.Payload.size())}});
  }
  Doc["hobs"] = Hobs;
  if (S.CpuFrequencyRecord) {
    const CpuFrequencyRecordSpec &R = *S.CpuFrequencyRecord;
    Doc["cpu_frequency_record"] = {{"tsc_frequency", Hex(R.TscFrequency)},
                                   {"pstate_definition", Hex(R.PstateDefinition)},
                                   {"pstate_index", Hex(R.PstateIndex)},
                                   {"power_features", Hex(R.PowerFeatures)}};
  } else {
    Doc["cpu_frequency_record"] = nullptr;
  }

  json Run = json::array();
  for (const Step &St : S.Run) {
    Run.push_back(StepJson(St));
  }
  Doc["run"] = Run;
  return Doc;
}

nlohmann::json DefaultScenarioJson() { return ScenarioToJson(DefaultScenario()); }

}  // namespace sim
