// What the timeline page hands its script: data that survives the HTML parser
// whatever the events say, the lanes, and the Setup panel's before and after.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <sstream>
#include <string>

#include "Runner/Html.h"

namespace {

using sim::Json;
using sim::TimelineLane;

std::string Page(sim::HtmlTimeline &T) {
  std::ostringstream Out;
  T.Write(Out);
  return Out.str();
}

std::string Lower(std::string S) {
  std::transform(S.begin(), S.end(), S.begin(), [](unsigned char C) { return static_cast<char>(std::tolower(C)); });
  return S;
}

// The element's text as an HTML parser sees it: it ends at the first
// "</script", whatever the case.
std::string ScriptText(const std::string &Html, const std::string &Id) {
  const std::string Open = "<script type=\"application/json\" id=\"" + Id + "\">";
  const size_t Start = Html.find(Open);
  if (Start == std::string::npos) return "";
  const size_t Body = Start + Open.size();
  return Html.substr(Body, Lower(Html).find("</script", Body) - Body);
}

Json Event(uint64_t Seq, const char *Name, Json Fields = Json::object()) {
  Json E = {{"seq", Seq}, {"t_us", 0}, {"image", "SioPowerSmm"}, {"event", Name}};
  for (auto It = Fields.begin(); It != Fields.end(); ++It) E[It.key()] = It.value();
  return E;
}

TEST(HtmlTimeline, EventTextCannotEndOrConfuseItsScriptElement) {
  sim::HtmlTimeline T("<b>run & more</b>", std::nullopt);
  const Json Events = {
      Event(0, "call", {{"service", "DebugPrint"}, {"text", "</script><script>alert(1)</script>"}}),
      Event(1, "call", {{"service", "DebugPrint"}, {"text", "<!--<SCRIPT>x</SCRIPT >"}}),
      Event(2, "final", {{"setup", nullptr}, {"setup_attributes", nullptr}}),
  };
  for (const Json &E : Events) T.Add(E);
  const std::string Html = Page(T);

  const std::string Data = ScriptText(Html, "timeline-events");
  EXPECT_EQ(Data.find('<'), std::string::npos) << Data;
  EXPECT_EQ(Json::parse(Data), Events);

  const std::string MetaText = ScriptText(Html, "timeline-meta");
  EXPECT_EQ(MetaText.find('<'), std::string::npos);
  const Json Meta = Json::parse(MetaText);
  ASSERT_EQ(Meta["text"].size(), 3u);
  EXPECT_NE(Meta["text"][0].get<std::string>().find("</script><script>alert(1)</script>"), std::string::npos);
  EXPECT_NE(Meta["text"][1].get<std::string>().find("<!--<SCRIPT>x</SCRIPT >"), std::string::npos);

  // The page's own three scripts and nothing the events smuggled in.
  const std::string Lowered = Lower(Html);
  size_t Scripts = 0;
  for (size_t At = Lowered.find("<script"); At != std::string::npos; At = Lowered.find("<script", At + 1)) ++Scripts;
  EXPECT_EQ(Scripts, 3u);
  EXPECT_EQ(Html.find("<b>run"), std::string::npos);
  EXPECT_NE(Html.find("&lt;b&gt;run &amp; more&lt;/b&gt;"), std::string::npos);
}

TEST(HtmlTimeline, LanesByEventAndAddressRange) {
  auto Mmio = [](const char *Address) { return Event(0, "mmio-read", {{"address", Address}, {"width", 32}}); };
  auto Io = [](const char *Port) { return Event(0, "io-write", {{"port", Port}, {"width", 8}}); };
  const std::pair<Json, TimelineLane> Cases[] = {
      {Mmio("0xFED80000"), TimelineLane::FchMmio}, {Mmio("0xFED81FFF"), TimelineLane::FchMmio},
      {Mmio("0xFED7FFFF"), TimelineLane::Other},   {Mmio("0xFED82000"), TimelineLane::Other},
      {Mmio("0xE00000B8"), TimelineLane::Smn},     {Mmio("0xE00000BC"), TimelineLane::Smn},
      {Mmio("0xE00000C0"), TimelineLane::Other},   {Io("0xCF8"), TimelineLane::Pci},
      {Io("0xCFF"), TimelineLane::Pci},            {Io("0xCF7"), TimelineLane::Other},
      {Io("0x2E"), TimelineLane::SuperIo},         {Io("0x4F"), TimelineLane::SuperIo},
      {Io("0x60"), TimelineLane::Kbc},             {Io("0x64"), TimelineLane::Kbc},
      {Io("0x61"), TimelineLane::Other},           {Io("0x70"), TimelineLane::Cmos},
      {Io("0x73"), TimelineLane::Cmos},            {Io("0x74"), TimelineLane::Other},
      {Io("0xB00"), TimelineLane::Smbus},          {Io("0xB27"), TimelineLane::Smbus},
      {Io("0xB28"), TimelineLane::Other},          {Io("0x80"), TimelineLane::Other},
      {Event(0, "smn-write"), TimelineLane::Smn},  {Event(0, "kbc-command"), TimelineLane::Kbc},
      {Event(0, "smi-return"), TimelineLane::Services}, {Event(0, "call"), TimelineLane::Services},
      {Event(0, "step"), TimelineLane::Steps},     {Event(0, "post-code"), TimelineLane::Other},
      {Event(0, "final"), TimelineLane::Other},
  };
  for (const auto &[E, Lane] : Cases) {
    EXPECT_EQ(sim::LaneOf(E), Lane) << E.dump();
  }
}

TEST(HtmlTimeline, SetupBeforeFromTheScenarioAfterFromTheFinalEvent) {
  const sim::SetupConfigSpec Initial{0x7, std::vector<uint8_t>(669, 0)};
  std::string Stored(670 * 2, '0');
  Stored.replace(2 * 0x22E, 2, "01");  // ProbeGatedOption
  Stored.replace(0, 2, "05");          // no field of its own
  {
    sim::HtmlTimeline T("run", Initial);
    T.Add(Event(0, "final", {{"setup", Stored}, {"setup_attributes", "0x3"}}));
    const Json Setup = Json::parse(ScriptText(Page(T), "timeline-meta"))["setup"];
    EXPECT_EQ(Setup["before"]["ProbeGatedOption"], "0x0");
    EXPECT_EQ(Setup["after"]["ProbeGatedOption"], "0x1");
    EXPECT_EQ(Setup["before"]["BoardProbeResult"], Setup["after"]["BoardProbeResult"]);
    EXPECT_EQ(Setup["attributes"], Json::parse(R"(["0x7", "0x3"])"));
    EXPECT_EQ(Setup["sizes"], Json::parse("[669, 670]"));
    EXPECT_EQ(Setup["unnamed_changes"], Json::parse(R"(["0x0", "0x29D"])"));
    EXPECT_EQ(Setup["ended"], true);
  }
  {
    sim::HtmlTimeline T("cut short", Initial);
    T.Add(Event(0, "step", {{"step", "SioPowerSmm"}, {"status", "0x0"}}));
    const Json Setup = Json::parse(ScriptText(Page(T), "timeline-meta"))["setup"];
    EXPECT_EQ(Setup["ended"], false);
    EXPECT_TRUE(Setup["after"].is_null());
    EXPECT_EQ(Setup["before"]["ProbeGatedOption"], "0x0");
  }
}

}  // namespace
