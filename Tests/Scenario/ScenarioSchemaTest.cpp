// The schema editors check scenario files with must agree with the simulator:
// it accepts every scenario the simulator runs (the default board, every
// example, every spelling the simulator allows) and rejects the structural
// mistakes the simulator rejects.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <valijson/adapters/nlohmann_json_adapter.hpp>
#include <valijson/schema.hpp>
#include <valijson/schema_parser.hpp>
#include <valijson/validator.hpp>
#include <variant>

#include "Core/Scenario.h"

namespace {

using nlohmann::json;

json ReadJson(const std::filesystem::path &Path) {
  std::ifstream In(Path);
  return json::parse(In);
}

class ScenarioSchema : public ::testing::Test {
 protected:
  static const valijson::Schema &TheSchema() {
    static valijson::Schema Schema;
    static const bool Loaded = [] {
      const json Document = ReadJson(std::filesystem::path(BOARD_SOURCE_DIR) / "schema/scenario.schema.json");
      valijson::SchemaParser Parser;
      valijson::adapters::NlohmannJsonAdapter Adapter(Document);
      Parser.populateSchema(Adapter, Schema);
      return true;
    }();
    (void)Loaded;
    return Schema;
  }

  // The validator's first complaint, or "" when the document is valid.
  static std::string Check(const json &Document) {
    valijson::Validator Validator;
    valijson::ValidationResults Results;
    valijson::adapters::NlohmannJsonAdapter Target(Document);
    if (Validator.validate(TheSchema(), Target, &Results)) {
      return "";
    }
    valijson::ValidationResults::Error Error;
    std::string Text = "invalid";
    while (Results.popError(Error)) {
      Text += "\n  " + Error.description;
    }
    return Text;
  }

  static bool SimulatorAccepts(const json &Document) {
    return std::holds_alternative<sim::Scenario>(sim::ParseScenario(Document));
  }
};

TEST_F(ScenarioSchema, AcceptsTheDefaultBoardAndEveryExample) {
  EXPECT_EQ(Check(sim::DefaultScenarioJson()), "");
  size_t Examples = 0;
  for (const auto &Entry : std::filesystem::directory_iterator(std::filesystem::path(BOARD_SOURCE_DIR) / "examples")) {
    if (Entry.path().extension() != ".json") continue;
    const json Example = ReadJson(Entry.path());
    ++Examples;
    EXPECT_EQ(Check(Example), "") << Entry.path();
    EXPECT_TRUE(SimulatorAccepts(Example)) << Entry.path();
    // An example names the schema so that an editor checks it as it is typed.
    EXPECT_EQ(Example.value("$schema", ""), "../schema/scenario.schema.json") << Entry.path();
  }
  EXPECT_GE(Examples, 8u);
}

TEST_F(ScenarioSchema, AcceptsEverySpellingTheSimulatorAccepts) {
  const char *Documents[] = {
      "{}",
      R"({"$schema": "x", "$comment": "why"})",
      R"({"cpu": {"signature": "0XB40f40", "pstate": "7", "pstate_defs": [0, "0x0", "12", 0, 0, 0, 0, "0xFFFFFFFFFFFFFFFF"]}})",
      R"({"mmio": {"0xFED81664": {"width": "0x20", "value": 5}, "4096": {"width": 64}}})",
      R"({"pci": {"0:18.3": {"0x4": "0x00100007"}, "FF:1f.7": {}}})",
      R"({"rtc": {"month": 12, "day": "31", "hour": 23, "minute": "0x3B"}})",
      R"({"smbus": {"controllers": [{"devices": {"0xA0": {"0x10": "0xFFFF"}}}, {"responds": false}]}})",
      R"({"sio": {"global": {"0x27": 255}, "ldn": {"0xA": {"0xF0": "0x80"}}}})",
      R"({"setup": null})",
      R"({"setup": {"size": 65536, "fill": "0xFF", "bytes": {"0": [1, "2"], "0xFFFF": 3}}})",
      R"({"cpu_frequency_record": {"tsc_frequency": 1, "pstate_index": "0xFFFFFFFF"}})",
      R"({"hobs": [{"payload": ""}, {"payload": "0xDEADbeef", "payload_size": 4294967295}]})",
      R"({"engine": {"instruction_budget": 1}, "faults": {"fail_allocations": [1, "4294967295"]}})",
      R"({"run": ["reset", {"sx": 3}, {"sx": "0x5"}, {"script": []}, {"script": ["0xFFFFFFFFFFFFFFFF", 7]}]})",
  };
  for (const char *Text : Documents) {
    const json Document = json::parse(Text);
    ASSERT_TRUE(SimulatorAccepts(Document)) << Text;
    EXPECT_EQ(Check(Document), "") << Text;
  }
}

// Key names, types, shapes and plain integer ranges: what the schema can say.
// Ranges of numbers written as text, duplicate keys and attribute bits stay
// with the simulator's own checks.
TEST_F(ScenarioSchema, RejectsTheStructuralMistakesTheSimulatorRejects) {
  const char *Documents[] = {
      "[]",
      R"({"$schema": 1})",
      R"({"bogus": 1})",
      R"({"cpu": {"turbo": true}})",
      R"({"cpu": {"pstate": 8}})",
      R"({"cpu": {"pstate": -1}})",
      R"({"cpu": {"bsp": 1}})",
      R"({"cpu": {"pstate_defs": [0, 0, 0, 0, 0, 0, 0]}})",
      R"({"cpu": {"pstate_defs": [0, 0, 0, 0, 0, 0, 0, 0, 0]}})",
      R"({"cpu": {"signature": 4294967296}})",
      R"({"cpu": {"signature": "0x"}})",
      R"({"mmio": {"FED81664": {}}})",
      R"({"mmio": {"0x10": {"width": 24}}})",
      R"({"mmio": {"0x10": {"size": 4}}})",
      R"({"pci": {"0:18": {}}})",
      R"({"pci": {"0x0:18.3": {}}})",
      R"({"io": {"0x80": 256}})",
      R"({"rtc": {"month": 0}})",
      R"({"rtc": {"minute": 60}})",
      R"({"smbus": {"controllers": [{}]}})",
      R"({"smbus": {"controllers": [{}, {"base": 0}]}})",
      R"({"kbc": {"latency_us": 1.5}})",
      R"({"serial": {"ready": "yes"}})",
      R"({"setup": 0})",
      R"({"setup": {"size": 0}})",
      R"({"setup": {"size": 65537}})",
      R"({"setup": {"bytes": {"0x20C": {}}}})",
      R"({"setup": {"bytes": {"0x20C": [1, 256]}}})",
      R"({"protocols": {"smm_cpu": true}})",
      R"({"faults": {"fail_allocations": [0]}})",
      R"({"engine": {"instruction_budget": 0}})",
      R"({"hobs": [{"payload": "123"}]})",
      R"({"hobs": [{"payload": [1, 2]}]})",
      R"({"hobs": [{"guid": "x"}]})",
      R"({"cpu_frequency_record": 5})",
      R"({"run": "BoardInitDxe"})",
      R"({"run": ["boardinitdxe"]})",
      R"({"run": [{"sx": 2}]})",
      R"({"run": [{"sx": 6}]})",
      R"({"run": [{}]})",
      R"({"run": [{"sx": 3, "script": []}]})",
      R"({"run": [{"script": "0x1"}]})",
  };
  for (const char *Text : Documents) {
    const json Document = json::parse(Text);
    EXPECT_FALSE(SimulatorAccepts(Document)) << Text;
    EXPECT_NE(Check(Document), "") << Text;
  }
}

}  // namespace
