#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>
#include <variant>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "Core/Scenario.h"

namespace {

using nlohmann::json;
using sim::ParseScenario;
using sim::Scenario;
using sim::ScenarioError;
using sim::Step;

// Parses Text (JSON) and expects success.
Scenario Parse(const std::string &Text) {
  auto Result = ParseScenario(json::parse(Text));
  if (auto *E = std::get_if<ScenarioError>(&Result)) {
    ADD_FAILURE() << Text << " -> " << E->Path << ": " << E->Message;
    return sim::DefaultScenario();
  }
  return std::get<Scenario>(Result);
}

// Parses Text and expects an error.
ScenarioError ParseError(const std::string &Text) {
  auto Result = ParseScenario(json::parse(Text));
  if (auto *E = std::get_if<ScenarioError>(&Result)) {
    return *E;
  }
  ADD_FAILURE() << Text << " parsed but should not have";
  return {};
}

TEST(ScenarioDefaults, HealthyBoard) {
  const Scenario S = sim::DefaultScenario();
  EXPECT_EQ(S.Cpu.Signature, 0x00B40F40u);
  // Family 1Ah: base family (bits 11:8) 0xF plus extended family (bits 27:20) 0xB.
  EXPECT_EQ(((S.Cpu.Signature >> 8) & 0xF) + ((S.Cpu.Signature >> 20) & 0xFF), 0x1Au);
  EXPECT_EQ(S.Cpu.PowerFeatures & 0x100, 0x100u);
  EXPECT_EQ(S.Cpu.Pstate, 0);
  EXPECT_EQ(S.Cpu.PstateDefs[0] & 0xFFF, 750u);
  EXPECT_NE(S.Cpu.PstateDefs[0] >> 63, 0u);
  for (int I = 1; I < 8; ++I) {
    EXPECT_LT(S.Cpu.PstateDefs[I] & 0xFFF, S.Cpu.PstateDefs[0] & 0xFFF) << "P" << I;
  }
  EXPECT_TRUE(S.Cpu.Bsp);
  EXPECT_FALSE(S.Cpu.Simulation);

  ASSERT_EQ(S.Mmio.size(), 1u);
  EXPECT_EQ(S.Mmio.at(0xFED81664).Width, 32);
  EXPECT_EQ(S.Mmio.at(0xFED81664).Value, 0x00150000u);
  EXPECT_EQ(S.Io, (std::map<uint16_t, uint8_t>{{0x803, 0}}));
  EXPECT_TRUE(S.Smn.empty() && S.Pci.empty() && S.Cmos.empty() && S.SioGlobal.empty() && S.SioLdn.empty());
  EXPECT_EQ(S.SmbusPmRegister, 0xB00u);
  for (const auto &C : S.SmbusControllers) {
    EXPECT_TRUE(C.Responds);
    EXPECT_TRUE(C.Devices.empty());
  }
  EXPECT_TRUE(S.KbcResponds);
  EXPECT_EQ(S.KbcLatencyUs, 100u);
  EXPECT_TRUE(S.SerialReady);
  EXPECT_EQ(S.Pcd, (std::map<uint32_t, uint64_t>{
                       {631, 1}, {571, 0x20}, {632, 0}, {581, 100000}, {580, 10000}, {633, 3}}));
  EXPECT_TRUE(S.Protocols.SmmVariable && S.Protocols.Pcd && S.Protocols.SxDispatch);
  EXPECT_FALSE(S.Protocols.HeapBufferList);
  EXPECT_TRUE(S.FailAllocations.empty() && S.Hobs.empty());
  EXPECT_FALSE(S.CpuFrequencyRecord.has_value());

  std::vector<std::string> Names;
  for (const Step &St : S.Run) {
    Names.push_back(St.Name());
  }
  EXPECT_EQ(Names, (std::vector<std::string>{"BoardInitDxe", "SignalTuneDxe", "SubsysIdDxe", "SioPowerSmm",
                                             "{\"sx\":3}", "{\"sx\":4}", "{\"sx\":5}", "power-button"}));
}

TEST(ScenarioDefaults, SetupImage) {
  const std::vector<uint8_t> Image = sim::DefaultSetupImage();
  ASSERT_EQ(Image.size(), 669u);
  const std::map<size_t, uint8_t> Expected = {
      {0x20A, 1},    {0x20C, 3},    {0x20D, 0xFF}, {0x20E, 1},    {0x20F, 2},    {0x210, 0xFF}, {0x211, 1},
      {0x212, 0xFF}, {0x213, 2},    {0x214, 0},    {0x215, 0xFF}, {0x216, 5},    {0x217, 0xFF}, {0x218, 0},
      {0x219, 7},    {0x21A, 0xFF}, {0x21B, 2},    {0x21C, 1},    {0x21D, 4},    {0x21E, 0xFF}, {0x21F, 0xFF},
      {0x220, 0xFF}, {0x221, 6},    {0x222, 2},    {0x223, 3},    {0x224, 1},    {0x225, 0},    {0x226, 2},
      {0x227, 0xFF}, {0x228, 4},    {0x229, 0xFF}, {0x22A, 0xFF}, {0x22B, 6},    {0x22E, 1},    {0x286, 1}};
  for (size_t I = 0; I < Image.size(); ++I) {
    const auto It = Expected.find(I);
    EXPECT_EQ(Image[I], It == Expected.end() ? 0 : It->second) << "offset 0x" << std::hex << I;
  }
  const Scenario S = sim::DefaultScenario();
  ASSERT_TRUE(S.Setup.has_value());
  EXPECT_EQ(S.Setup->Attributes, 0x07u);
  EXPECT_EQ(S.Setup->Data, Image);
}

TEST(ScenarioDefaults, EmptyDocumentAndRenderedDefaultParseToDefaults) {
  EXPECT_EQ(Parse("{}"), sim::DefaultScenario());
  auto Result = ParseScenario(sim::DefaultScenarioJson());
  ASSERT_TRUE(std::holds_alternative<Scenario>(Result)) << std::get<ScenarioError>(Result).Path;
  EXPECT_EQ(std::get<Scenario>(Result), sim::DefaultScenario());
}

TEST(ScenarioRender, NonDefaultScenarioRoundTrips) {
  const Scenario S = Parse(R"({
    "cpu": {"pstate": 5, "simulation": true, "bsp": false},
    "mmio": {"0x1000": {"width": 8, "value": "0xAB"}, "0xFED80300": {"width": 64, "value": "0xFFFFFFFFFFFFFFFF"}},
    "smn": {"0x13B10044": "0x12345678"},
    "pci": {"0:18.3": {"0x0": "0x14641022"}, "1F:1F.7": {"0xFC": 1}},
    "io": {"0x80": 5},
    "cmos": {"0x80": 1, "0xFF": 2},
    "rtc": {"month": 12, "day": 31, "hour": 23, "minute": 59},
    "smbus": {"controllers": [{"responds": false}, {"devices": {"0x50": {"0x3": "0xBEEF"}}}]},
    "sio": {"global": {"0x26": "0x80"}, "ldn": {"0xA": {"0xE0": 3}}},
    "kbc": {"responds": false, "latency_us": 5},
    "serial": {"ready": false},
    "setup": {"attributes": 3, "size": 4, "fill": "0xFF", "bytes": {"1": [0, 0]}},
    "variables": {"set_status": "0x8000000000000009"},
    "pcd": {"700": "0x1122334455667788"},
    "protocols": {"heap_buffer_list": true, "smm_variable": false},
    "faults": {"fail_allocations": [2, 5]},
    "hobs": [{"kind": 1, "payload": "0102"}],
    "cpu_frequency_record": {"tsc_frequency": 3000000000, "pstate_index": 1},
    "run": ["reset", {"script": ["0x1", 2]}, {"sx": 4}]
  })");
  auto Again = ParseScenario(sim::ScenarioToJson(S));
  ASSERT_TRUE(std::holds_alternative<Scenario>(Again)) << std::get<ScenarioError>(Again).Path << ": "
                                                       << std::get<ScenarioError>(Again).Message;
  EXPECT_EQ(std::get<Scenario>(Again), S);

  // An absent Setup renders as null and survives too.
  Scenario NoSetup = S;
  NoSetup.Setup.reset();
  EXPECT_TRUE(sim::ScenarioToJson(NoSetup)["setup"].is_null());
  EXPECT_EQ(std::get<Scenario>(ParseScenario(sim::ScenarioToJson(NoSetup))), NoSetup);
}

TEST(ScenarioMerge, MapsMergeOverDefaults) {
  const Scenario S = Parse(R"({
    "mmio": {"0xFED80000": {"width": 16, "value": 7}},
    "io": {"0x80": 1},
    "pcd": {"631": 0, "999": 4},
    "protocols": {"pcd": false},
    "cpu": {"pstate": 2},
    "rtc": {"hour": 7},
    "kbc": {"latency_us": 3}
  })");
  EXPECT_EQ(S.Mmio.size(), 2u);
  EXPECT_EQ(S.Mmio.at(0xFED81664).Value, 0x00150000u);
  EXPECT_EQ(S.Mmio.at(0xFED80000).Width, 16);
  EXPECT_EQ(S.Mmio.at(0xFED80000).Value, 7u);
  EXPECT_EQ(S.Io, (std::map<uint16_t, uint8_t>{{0x80, 1}, {0x803, 0}}));
  EXPECT_EQ(S.Pcd.size(), 7u);
  EXPECT_EQ(S.Pcd.at(631), 0u);
  EXPECT_EQ(S.Pcd.at(999), 4u);
  EXPECT_EQ(S.Pcd.at(571), 0x20u);
  EXPECT_FALSE(S.Protocols.Pcd);
  EXPECT_TRUE(S.Protocols.EfiPcd);
  EXPECT_EQ(S.Cpu.Pstate, 2);
  EXPECT_EQ(S.Cpu.Signature, 0x00B40F40u);
  EXPECT_EQ(S.Cpu.PstateDefs, sim::DefaultScenario().Cpu.PstateDefs);
  EXPECT_EQ(S.Rtc.Hour, 7);
  EXPECT_EQ(S.Rtc.Month, 1);
  EXPECT_TRUE(S.KbcResponds);
  EXPECT_EQ(S.KbcLatencyUs, 3u);

  // The same key overrides the default entry whole.
  const Scenario Override = Parse(R"({"mmio": {"0xFED81664": {"value": 1}}, "io": {"0x803": "0x42"}})");
  EXPECT_EQ(Override.Mmio.size(), 1u);
  EXPECT_EQ(Override.Mmio.at(0xFED81664).Value, 1u);
  EXPECT_EQ(Override.Mmio.at(0xFED81664).Width, 32);
  EXPECT_EQ(Override.Io.at(0x803), 0x42);
}

TEST(ScenarioMerge, ArraysReplaceDefaults) {
  const Scenario S = Parse(R"({
    "run": ["reset"],
    "cpu": {"pstate_defs": [1, 2, 3, 4, 5, 6, 7, 8]},
    "faults": {"fail_allocations": [3]},
    "smbus": {"controllers": [{"responds": false}, {}]}
  })");
  ASSERT_EQ(S.Run.size(), 1u);
  EXPECT_EQ(S.Run[0].StepKind, Step::Kind::Reset);
  EXPECT_EQ(S.Cpu.PstateDefs, (std::array<uint64_t, 8>{1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(S.FailAllocations, std::vector<uint32_t>{3});
  EXPECT_FALSE(S.SmbusControllers[0].Responds);
  EXPECT_TRUE(S.SmbusControllers[1].Responds);
  EXPECT_EQ(S.SmbusPmRegister, 0xB00u);

  EXPECT_TRUE(Parse(R"({"run": []})").Run.empty());
  EXPECT_TRUE(Parse(R"({"hobs": []})").Hobs.empty());
}

// A number field accepts a JSON integer or a hex/decimal string, in range.
TEST(ScenarioNumbers, Forms) {
  struct Case {
    const char *Value;  // JSON text of cmos.0x80 (a u8)
    int Expected;       // -1: an error at $.cmos.0x80
  };
  const Case Cases[] = {
      {"31", 31},        {"\"31\"", 31},   {"\"0x1F\"", 31},   {"\"0X1f\"", 31},   {"\"0x001f\"", 31},
      {"0", 0},          {"255", 255},     {"\"0xFF\"", 255},  {"\"255\"", 255},   {"256", -1},
      {"\"0x100\"", -1}, {"-1", -1},       {"\"-1\"", -1},     {"1.5", -1},        {"2.0", -1},
      {"\"1e1\"", -1},   {"\"\"", -1},     {"\"0x\"", -1},     {"\" 31\"", -1},    {"\"31 \"", -1},
      {"\"0x1G\"", -1},  {"\"1F\"", -1},   {"true", -1},       {"null", -1},       {"[1]", -1},
      {"{}", -1},        {"\"+1\"", -1},   {"\"0b1\"", -1},
  };
  for (const Case &C : Cases) {
    const std::string Doc = std::string(R"({"cmos": {"0x80": )") + C.Value + "}}";
    auto Result = ParseScenario(json::parse(Doc));
    if (C.Expected < 0) {
      ASSERT_TRUE(std::holds_alternative<ScenarioError>(Result)) << Doc;
      EXPECT_EQ(std::get<ScenarioError>(Result).Path, "$.cmos.0x80") << Doc;
      EXPECT_NE(std::get<ScenarioError>(Result).Message.find("expected"), std::string::npos) << Doc;
    } else {
      ASSERT_TRUE(std::holds_alternative<Scenario>(Result)) << Doc;
      EXPECT_EQ(std::get<Scenario>(Result).Cmos.at(0x80), C.Expected) << Doc;
    }
  }
}

TEST(ScenarioNumbers, SignedIntegersFromBuiltDocuments) {
  // json(int) holds a signed integer even when it is positive.
  auto Ok = ParseScenario(json{{"cpu", {{"pstate", int64_t{3}}}}, {"run", {json{{"sx", 5}}}}});
  ASSERT_TRUE(std::holds_alternative<Scenario>(Ok));
  EXPECT_EQ(std::get<Scenario>(Ok).Cpu.Pstate, 3);
  EXPECT_EQ(std::get<Scenario>(Ok).Run.at(0).SleepType, 5);
  auto Negative = ParseScenario(json{{"cpu", {{"pstate", int64_t{-3}}}}});
  ASSERT_TRUE(std::holds_alternative<ScenarioError>(Negative));
  EXPECT_EQ(std::get<ScenarioError>(Negative).Path, "$.cpu.pstate");
}

TEST(ScenarioNumbers, WidthLimits) {
  EXPECT_EQ(Parse(R"({"variables": {"set_status": "0xFFFFFFFFFFFFFFFF"}})").SetVariableStatus, UINT64_MAX);
  EXPECT_EQ(Parse(R"({"variables": {"set_status": 18446744073709551615}})").SetVariableStatus, UINT64_MAX);
  EXPECT_EQ(Parse(R"({"variables": {"set_status": "18446744073709551615"}})").SetVariableStatus, UINT64_MAX);
  EXPECT_EQ(ParseError(R"({"variables": {"set_status": "0x10000000000000000"}})").Path, "$.variables.set_status");
  EXPECT_EQ(ParseError(R"({"variables": {"set_status": "18446744073709551616"}})").Path, "$.variables.set_status");
  // Too large for a JSON integer: nlohmann makes it a floating-point number.
  EXPECT_EQ(ParseError(R"({"variables": {"set_status": 18446744073709551616}})").Path, "$.variables.set_status");

  EXPECT_EQ(Parse(R"({"cpu": {"signature": "0xFFFFFFFF"}})").Cpu.Signature, 0xFFFFFFFFu);
  EXPECT_EQ(ParseError(R"({"cpu": {"signature": 4294967296}})").Path, "$.cpu.signature");
  EXPECT_EQ(Parse(R"({"smbus": {"controllers": [{"devices": {"0x50": {"1": 65535}}}, {}]}})")
                .SmbusControllers[0]
                .Devices.at(0x50)
                .at(1),
            0xFFFF);
  EXPECT_EQ(ParseError(R"({"smbus": {"controllers": [{"devices": {"0x50": {"1": 65536}}}, {}]}})").Path,
            "$.smbus.controllers[0].devices.0x50.1");
}

TEST(ScenarioNumbers, MmioValueMustFitWidth) {
  EXPECT_EQ(Parse(R"({"mmio": {"0x10": {"width": 8, "value": 255}}})").Mmio.at(0x10).Value, 255u);
  EXPECT_EQ(Parse(R"({"mmio": {"0x10": {"value": 65536, "width": 32}}})").Mmio.at(0x10).Value, 65536u);
  // The width is applied even when it comes after the value in the object.
  EXPECT_EQ(ParseError(R"({"mmio": {"0x10": {"value": 256, "width": 8}}})").Path, "$.mmio.0x10.value");
  EXPECT_EQ(ParseError(R"({"mmio": {"0x10": {"width": 16, "value": "0x10000"}}})").Path, "$.mmio.0x10.value");
  EXPECT_EQ(ParseError(R"({"mmio": {"0x10": {"value": "0x100000000"}}})").Path, "$.mmio.0x10.value");
  EXPECT_EQ(Parse(R"({"mmio": {"0x10": {"width": 64, "value": "0x100000000"}}})").Mmio.at(0x10).Value,
            0x100000000u);
}

// Every class of error, with the path it must name.
TEST(ScenarioErrors, PathsAndMessages) {
  struct Case {
    const char *Document;
    const char *Path;
    const char *MessagePart;
  };
  const Case Cases[] = {
      {"[]", "$", "object"},
      {"3", "$", "object"},
      {R"({"bogus": 1})", "$.bogus", "unknown key"},
      {R"({"cpu": 1})", "$.cpu", "object"},
      {R"({"cpu": {"pstate": 8}})", "$.cpu.pstate", "0..7"},
      {R"({"cpu": {"pstate": "0x8"}})", "$.cpu.pstate", "0..7"},
      {R"({"cpu": {"turbo": true}})", "$.cpu.turbo", "unknown key"},
      {R"({"cpu": {"bsp": 1}})", "$.cpu.bsp", "true or false"},
      {R"({"cpu": {"simulation": "true"}})", "$.cpu.simulation", "true or false"},
      {R"({"cpu": {"pstate_defs": [1, 2, 3]}})", "$.cpu.pstate_defs", "8"},
      {R"({"cpu": {"pstate_defs": [0,0,0,0,0,0,0,0,0]}})", "$.cpu.pstate_defs", "8"},
      {R"({"cpu": {"pstate_defs": [0,0,0,-1,0,0,0,0]}})", "$.cpu.pstate_defs[3]", "negative"},
      {R"({"cpu": {"pstate_defs": {}}})", "$.cpu.pstate_defs", "array"},
      {R"({"mmio": {"0xFED81664": {"width": 24}}})", "$.mmio.0xFED81664.width", "8, 16, 32 or 64"},
      {R"({"mmio": {"0xFED81664": {"size": 4}}})", "$.mmio.0xFED81664.size", "unknown key"},
      {R"({"mmio": {"0xFED81664": 5}})", "$.mmio.0xFED81664", "object"},
      {R"({"mmio": {"FED81664": {}}})", "$.mmio.FED81664", "hex"},
      {R"({"mmio": []})", "$.mmio", "object"},
      {R"({"smn": {"0x100000000": 1}})", "$.smn.0x100000000", "u32"},
      {R"({"smn": {"0x10": "0x100000000"}})", "$.smn.0x10", "u32"},
      {R"({"pci": {"0:20.0": {}}})", "$.pci.0:20.0", "dev"},
      {R"({"pci": {"0:18.8": {}}})", "$.pci.0:18.8", "fn"},
      {R"({"pci": {"100:0.0": {}}})", "$.pci.100:0.0", "bus"},
      {R"({"pci": {"0:18": {}}})", "$.pci.0:18", "bus:dev.fn"},
      {R"({"pci": {"0x0:18.3": {}}})", "$.pci.0x0:18.3", "bus:dev.fn"},
      {R"({"pci": {":18.3": {}}})", "$.pci.:18.3", "bus:dev.fn"},
      {R"({"pci": {"0:18.3": {"0x2": 1}}})", "$.pci.0:18.3.0x2", "multiple of 4"},
      {R"({"pci": {"0:18.3": {"0x100": 1}}})", "$.pci.0:18.3.0x100", "register"},
      {R"({"pci": {"0:18.3": 1}})", "$.pci.0:18.3", "object"},
      {R"({"io": {"0x10000": 1}})", "$.io.0x10000", "u16"},
      {R"({"io": {"0x80": 256}})", "$.io.0x80", "u8"},
      {R"({"cmos": {"0x7F": 1}})", "$.cmos.0x7F", "0x80..0xFF"},
      {R"({"cmos": {"0x100": 1}})", "$.cmos.0x100", "0x80..0xFF"},
      {R"({"rtc": {"month": 0}})", "$.rtc.month", "1..12"},
      {R"({"rtc": {"month": 13}})", "$.rtc.month", "1..12"},
      {R"({"rtc": {"day": 32}})", "$.rtc.day", "1..31"},
      {R"({"rtc": {"day": 0}})", "$.rtc.day", "1..31"},
      {R"({"rtc": {"hour": 24}})", "$.rtc.hour", "0..23"},
      {R"({"rtc": {"minute": 60}})", "$.rtc.minute", "0..59"},
      {R"({"rtc": {"second": 1}})", "$.rtc.second", "unknown key"},
      {R"({"smbus": {"pm_register": -5}})", "$.smbus.pm_register", "negative"},
      {R"({"smbus": {"controllers": [{}]}})", "$.smbus.controllers", "2"},
      {R"({"smbus": {"controllers": [{}, {}, {}]}})", "$.smbus.controllers", "2"},
      {R"({"smbus": {"controllers": [{}, {"responds": 0}]}})", "$.smbus.controllers[1].responds", "true or false"},
      {R"({"smbus": {"controllers": [{}, {"base": 0}]}})", "$.smbus.controllers[1].base", "unknown key"},
      {R"({"smbus": {"controllers": [{}, 7]}})", "$.smbus.controllers[1]", "object"},
      {R"({"smbus": {"controllers": [{"devices": {"0x100": {}}}, {}]}})", "$.smbus.controllers[0].devices.0x100",
       "u8"},
      {R"({"smbus": {"controllers": [{"devices": {"0x50": {"0x100": 1}}}, {}]}})",
       "$.smbus.controllers[0].devices.0x50.0x100", "u8"},
      {R"({"sio": {"global": {"0x30": 1}}})", "$.sio.global.0x30", "0..0x2F"},
      {R"({"sio": {"ldn": {"0x7": {"0x2F": 1}}}})", "$.sio.ldn.0x7.0x2F", "0x30..0xFF"},
      {R"({"sio": {"ldn": {"0x7": {"0xF0": 256}}}})", "$.sio.ldn.0x7.0xF0", "u8"},
      {R"({"sio": {"ldn": {"0x107": {}}}})", "$.sio.ldn.0x107", "u8"},
      {R"({"sio": {"ports": {}}})", "$.sio.ports", "unknown key"},
      {R"({"kbc": {"responds": null}})", "$.kbc.responds", "true or false"},
      {R"({"kbc": {"latency_us": 1.5}})", "$.kbc.latency_us", "not an integer"},
      {R"({"serial": {"ready": "yes"}})", "$.serial.ready", "true or false"},
      {R"({"serial": {"baud": 9600}})", "$.serial.baud", "unknown key"},
      {R"({"setup": 0})", "$.setup", "null or an object"},
      {R"({"setup": {"size": 0}})", "$.setup.size", "1..65536"},
      {R"({"setup": {"size": 65537}})", "$.setup.size", "1..65536"},
      {R"({"setup": {"fill": 256}})", "$.setup.fill", "u8"},
      {R"({"setup": {"attributes": "0x100000000"}})", "$.setup.attributes", "u32"},
      {R"({"setup": {"attributes": "0x47"}})", "$.setup.attributes", "append write"},
      {R"({"setup": {"attributes": "0x107"}})", "$.setup.attributes", "0x100 are no variable attributes"},
      {R"({"setup": {"attributes": 4}})", "$.setup.attributes", "needs boot-service access"},
      {R"({"setup": {"attributes": 1}})", "$.setup.attributes", "needs boot-service access"},
      {R"({"setup": {"attributes": 0}})", "$.setup.attributes", "needs boot-service access"},
      {R"({"setup": {"name": "Setup"}})", "$.setup.name", "unknown key"},
      {R"({"setup": {"bytes": {"0x23A": 256}}})", "$.setup.bytes.0x23A", "u8"},
      {R"({"setup": {"bytes": {"0x20C": [1, 2, 300]}}})", "$.setup.bytes.0x20C[2]", "u8"},
      {R"({"setup": {"bytes": {"0x20C": {}}}})", "$.setup.bytes.0x20C", "array of u8"},
      {R"({"setup": {"bytes": {"0x10000": 1}}})", "$.setup.bytes.0x10000", "offset"},
      {R"({"setup": {"bytes": []}})", "$.setup.bytes", "object"},
      {R"({"variables": {"set_status": true}})", "$.variables.set_status", "EFI status"},
      {R"({"variables": {"get_status": 0}})", "$.variables.get_status", "unknown key"},
      {R"({"pcd": {"abc": 1}})", "$.pcd.abc", "token"},
      {R"({"pcd": {"631": "x"}})", "$.pcd.631", "u64"},
      {R"({"protocols": {"smm_cpu": true}})", "$.protocols.smm_cpu", "unknown key"},
      {R"({"protocols": {"pcd": 1}})", "$.protocols.pcd", "true or false"},
      {R"({"faults": {"fail_allocations": [0]}})", "$.faults.fail_allocations[0]", "1.."},
      {R"({"faults": {"fail_allocations": [1, -2]}})", "$.faults.fail_allocations[1]", "negative"},
      {R"({"faults": {"fail_allocations": 1}})", "$.faults.fail_allocations", "array"},
      {R"({"faults": {"fail_frees": []}})", "$.faults.fail_frees", "unknown key"},
      {R"({"hobs": {}})", "$.hobs", "array"},
      {R"({"hobs": [{}, {"kind": 256}]})", "$.hobs[1].kind", "u8"},
      {R"({"hobs": [{"word14": 65536}]})", "$.hobs[0].word14", "u16"},
      {R"({"hobs": [{"payload": "123"}]})", "$.hobs[0].payload", "even length"},
      {R"({"hobs": [{"payload": "zz"}]})", "$.hobs[0].payload", "hex"},
      {R"({"hobs": [{"payload": [1, 2]}]})", "$.hobs[0].payload", "hex string"},
      {R"({"hobs": [{"guid": "x"}]})", "$.hobs[0].guid", "unknown key"},
      {R"({"hobs": [1]})", "$.hobs[0]", "object"},
      {R"({"cpu_frequency_record": 5})", "$.cpu_frequency_record", "null or an object"},
      {R"({"cpu_frequency_record": {"pstate_index": "0x100000000"}})", "$.cpu_frequency_record.pstate_index", "u32"},
      {R"({"cpu_frequency_record": {"ratio": 1}})", "$.cpu_frequency_record.ratio", "unknown key"},
      {R"({"run": "BoardInitDxe"})", "$.run", "array"},
      {R"({"run": ["BoardInitDxe", "SignalTuneDxe", "boardinitdxe"]})", "$.run[2]", "step"},
      {R"({"run": ["S3"]})", "$.run[0]", "step"},
      {R"({"run": [3]})", "$.run[0]", "step"},
      {R"({"run": [{"sx": 2}]})", "$.run[0].sx", "3, 4 or 5"},
      {R"({"run": [{"sx": 6}]})", "$.run[0].sx", "3, 4 or 5"},
      {R"({"run": [{"sx": "three"}]})", "$.run[0].sx", "3, 4 or 5"},
      {R"({"run": [{}]})", "$.run[0]", "exactly one key"},
      {R"({"run": ["reset", {"sx": 3, "script": []}]})", "$.run[1]", "exactly one key"},
      {R"({"run": [{"sleep": 3}]})", "$.run[0].sleep", "unknown key"},
      {R"({"run": [{"script": "0x1"}]})", "$.run[0].script", "array"},
      {R"({"run": [{"script": [1, "0x10000000000000000"]}]})", "$.run[0].script[1]", "u64"},
      {R"({"io": {"0x10": 1, "16": 2}})", "$.io.16", "duplicate"},
      {R"({"pci": {"0:18.3": {}, "00:18.3": {}}})", "$.pci.0:18.3", "duplicate"},
      {R"({"io": {"a b": 1}})", R"($.io["a b"])", "u16"},
  };
  for (const Case &C : Cases) {
    const ScenarioError E = ParseError(C.Document);
    EXPECT_EQ(E.Path, C.Path) << C.Document << " -> " << E.Message;
    EXPECT_NE(E.Message.find(C.MessagePart), std::string::npos)
        << C.Document << ": message \"" << E.Message << "\" lacks \"" << C.MessagePart << "\"";
  }
}

TEST(ScenarioErrors, FirstErrorIsReported) {
  // Only one error comes back; a document with several reports one of them,
  // always the same one.
  const char *Doc = R"({"cpu": {"pstate": 9}, "rtc": {"month": 0}})";
  const ScenarioError First = ParseError(Doc);
  EXPECT_EQ(ParseError(Doc), First);
  EXPECT_TRUE(First.Path == "$.cpu.pstate" || First.Path == "$.rtc.month") << First.Path;
}

TEST(ScenarioSetup, Building) {
  const std::vector<uint8_t> Default = sim::DefaultSetupImage();

  // Bytes over the default image.
  Scenario S = Parse(R"({"setup": {"bytes": {"0x23A": 1, "0x5E": [1, 1], "646": "0"}}})");
  std::vector<uint8_t> Expected = Default;
  Expected[0x23A] = 1;
  Expected[0x5E] = 1;
  Expected[0x5F] = 1;
  Expected[0x286] = 0;
  EXPECT_EQ(S.Setup->Data, Expected);
  EXPECT_EQ(S.Setup->Attributes, 0x07u);

  // Shrunk: the default image cut.
  S = Parse(R"({"setup": {"size": 16, "attributes": 6}})");
  EXPECT_EQ(S.Setup->Data, std::vector<uint8_t>(Default.begin(), Default.begin() + 16));
  EXPECT_EQ(S.Setup->Attributes, 6u);

  // Grown without fill: new bytes are 0, the default image kept in front.
  S = Parse(R"({"setup": {"size": 700}})");
  ASSERT_EQ(S.Setup->Data.size(), 700u);
  EXPECT_TRUE(std::equal(Default.begin(), Default.end(), S.Setup->Data.begin()));
  EXPECT_EQ(S.Setup->Data[699], 0);

  // Fill replaces the image; default size without size.
  S = Parse(R"({"setup": {"fill": "0xAA"}})");
  EXPECT_EQ(S.Setup->Data, std::vector<uint8_t>(669, 0xAA));

  // Fill, size and bytes together, the array laid from its offset.
  S = Parse(R"({"setup": {"fill": 1, "size": 8, "bytes": {"0x2": [9, 8, 7], "7": 0}}})");
  EXPECT_EQ(S.Setup->Data, (std::vector<uint8_t>{1, 1, 9, 8, 7, 1, 1, 0}));

  // The last byte is reachable; one past it is not.
  EXPECT_EQ(Parse(R"({"setup": {"size": 4, "bytes": {"2": [5, 6]}}})").Setup->Data,
            (std::vector<uint8_t>{Default[0], Default[1], 5, 6}));
  EXPECT_EQ(Parse(R"({"setup": {"size": 65536, "bytes": {"0xFFFF": 1}}})").Setup->Data.back(), 1);

  // Null: the variable is absent.
  EXPECT_FALSE(Parse(R"({"setup": null})").Setup.has_value());
  // An empty object is the default variable.
  EXPECT_EQ(Parse(R"({"setup": {}})").Setup, sim::DefaultScenario().Setup);
}

TEST(ScenarioSetup, Overruns) {
  struct Case {
    const char *Setup;
    const char *Path;
  };
  const Case Cases[] = {
      {R"({"bytes": {"669": 1}})", "$.setup.bytes.669"},
      {R"({"bytes": {"0x29C": [1, 2]}})", "$.setup.bytes.0x29C"},
      {R"({"size": 4, "bytes": {"2": [5, 6, 7]}})", "$.setup.bytes.2"},
      {R"({"size": 4, "bytes": {"4": []}})", "$.setup.bytes.4"},
      {R"({"size": 4, "fill": 0, "bytes": {"0x4": 0}})", "$.setup.bytes.0x4"},
      // Two entries writing one byte.
      {R"({"bytes": {"0x20": [1, 2, 3], "0x22": 5}})", "$.setup.bytes.0x22"},
  };
  for (const Case &C : Cases) {
    const ScenarioError E = ParseError(std::string(R"({"setup": )") + C.Setup + "}");
    EXPECT_EQ(E.Path, C.Path) << C.Setup << " -> " << E.Message;
  }
}

TEST(ScenarioRun, StepForms) {
  const Scenario S = Parse(R"({"run": [
    "BoardInitDxe", "SignalTuneDxe", "SubsysIdDxe", "SioPowerSmm", "power-button", "reset",
    {"sx": 3}, {"sx": "0x4"}, {"sx": "5"},
    {"script": ["0xFF00000000000001", 2, "3"]}, {"script": []}
  ]})");
  ASSERT_EQ(S.Run.size(), 11u);
  const std::vector<std::string> Names = {"BoardInitDxe", "SignalTuneDxe", "SubsysIdDxe", "SioPowerSmm",
                                          "power-button", "reset",         "{\"sx\":3}",  "{\"sx\":4}",
                                          "{\"sx\":5}",   "script",        "script"};
  for (size_t I = 0; I < Names.size(); ++I) {
    EXPECT_EQ(S.Run[I].Name(), Names[I]) << I;
  }
  EXPECT_EQ(S.Run[0].StepKind, Step::Kind::Image);
  EXPECT_EQ(S.Run[3].Image, "SioPowerSmm");
  EXPECT_EQ(S.Run[4].StepKind, Step::Kind::PowerButton);
  EXPECT_EQ(S.Run[5].StepKind, Step::Kind::Reset);
  EXPECT_EQ(S.Run[7].StepKind, Step::Kind::Sx);
  EXPECT_EQ(S.Run[7].SleepType, 4);
  EXPECT_EQ(S.Run[9].StepKind, Step::Kind::Script);
  EXPECT_EQ(S.Run[9].Script, (std::vector<uint64_t>{0xFF00000000000001ull, 2, 3}));
  EXPECT_TRUE(S.Run[10].Script.empty());
}

TEST(ScenarioHobs, FieldsAndDefaults) {
  const Scenario S = Parse(R"({"hobs": [
    {"payload": "0xA1b2C3"},
    {"signature": "0x12345678", "word4": 7, "payload_size": 64, "kind": 2, "relay": 1, "word14": "0xBEEF",
     "payload": ""},
    {}
  ]})");
  ASSERT_EQ(S.Hobs.size(), 3u);
  EXPECT_EQ(S.Hobs[0].Signature, 0x50414548u);  // "HEAP"
  EXPECT_EQ(S.Hobs[0].Payload, (std::vector<uint8_t>{0xA1, 0xB2, 0xC3}));
  EXPECT_EQ(S.Hobs[0].PayloadSize, 3u);
  EXPECT_EQ(S.Hobs[0].Kind, 0);
  EXPECT_EQ(S.Hobs[1].Signature, 0x12345678u);
  EXPECT_EQ(S.Hobs[1].Word4, 7u);
  EXPECT_EQ(S.Hobs[1].PayloadSize, 64u);  // overstates its empty payload
  EXPECT_EQ(S.Hobs[1].Kind, 2);
  EXPECT_EQ(S.Hobs[1].Relay, 1);
  EXPECT_EQ(S.Hobs[1].Word14, 0xBEEF);
  EXPECT_TRUE(S.Hobs[1].Payload.empty());
  EXPECT_EQ(S.Hobs[2], sim::HobSpec{});
}

TEST(ScenarioHobs, PayloadMustFitASixteenBitHobLength) {
  const std::string Largest(2 * 65488, 'A');
  EXPECT_EQ(Parse(R"({"hobs": [{"payload": ")" + Largest + R"("}]})").Hobs[0].Payload.size(), 65488u);
  EXPECT_EQ(ParseError(R"({"hobs": [{"payload": ")" + Largest + R"(AA"}]})").Path, "$.hobs[0].payload");
}

TEST(ScenarioRecord, NullOrFields) {
  const Scenario S = Parse(R"({"cpu_frequency_record": {"tsc_frequency": "3750000000",
    "pstate_definition": "0x80000000000002EE", "pstate_index": 0, "power_features": "0x100"}})");
  ASSERT_TRUE(S.CpuFrequencyRecord.has_value());
  EXPECT_EQ(S.CpuFrequencyRecord->TscFrequency, 3750000000u);
  EXPECT_EQ(S.CpuFrequencyRecord->PstateDefinition, 0x80000000000002EEu);
  EXPECT_EQ(S.CpuFrequencyRecord->PowerFeatures, 0x100u);
  EXPECT_FALSE(Parse(R"({"cpu_frequency_record": null})").CpuFrequencyRecord.has_value());
}

class ScenarioFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char Template[] = "/tmp/scenario-test-XXXXXX";
    ASSERT_NE(mkdtemp(Template), nullptr);
    Dir = Template;
  }
  void TearDown() override {
    for (const std::string &F : Files) {
      std::remove(F.c_str());
    }
    rmdir(Dir.c_str());
  }
  std::string Write(const std::string &Name, const std::string &Text) {
    const std::string Path = Dir + "/" + Name;
    std::ofstream(Path) << Text;
    Files.push_back(Path);
    return Path;
  }
  std::string Dir;
  std::vector<std::string> Files;
};

TEST_F(ScenarioFile, MissingMalformedAndValid) {
  auto Missing = sim::LoadScenarioFile(Dir + "/absent.json");
  ASSERT_TRUE(std::holds_alternative<ScenarioError>(Missing));
  EXPECT_EQ(std::get<ScenarioError>(Missing).Path, "$");
  EXPECT_NE(std::get<ScenarioError>(Missing).Message.find("absent.json"), std::string::npos);

  auto Directory = sim::LoadScenarioFile(Dir);
  ASSERT_TRUE(std::holds_alternative<ScenarioError>(Directory));
  EXPECT_EQ(std::get<ScenarioError>(Directory).Path, "$");

  for (const char *Text : {"{\"cpu\": {", "", "{} {}", "{'cpu': 1}"}) {
    auto Bad = sim::LoadScenarioFile(Write("bad.json", Text));
    ASSERT_TRUE(std::holds_alternative<ScenarioError>(Bad)) << Text;
    EXPECT_EQ(std::get<ScenarioError>(Bad).Path, "$") << Text;
    EXPECT_NE(std::get<ScenarioError>(Bad).Message.find("JSON"), std::string::npos) << Text;
  }

  auto Invalid = sim::LoadScenarioFile(Write("invalid.json", R"({"cpu": {"pstate": 9}})"));
  ASSERT_TRUE(std::holds_alternative<ScenarioError>(Invalid));
  EXPECT_EQ(std::get<ScenarioError>(Invalid).Path, "$.cpu.pstate");

  auto Good = sim::LoadScenarioFile(Write("good.json", R"({"cpu": {"pstate": 3}, "run": ["reset"]})"));
  ASSERT_TRUE(std::holds_alternative<Scenario>(Good));
  EXPECT_EQ(std::get<Scenario>(Good).Cpu.Pstate, 3);
  EXPECT_EQ(std::get<Scenario>(Good).Run.size(), 1u);
}

}  // namespace
