// The settings page's API and request checks: how the controls' values are written into the
// record (picker colours, ranges, wrong types changing nothing), what the state offers the page,
// and which requests the server lets through.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "app/settings_api.h"

namespace qy::app {
namespace {

using nlohmann::json;

TEST(SettingsApi, ControlsWriteTheRecordAsTheWindowDoes) {
  struct Case {
    const char* name;
    json fields;
    const char* field;
    json want;
  };
  const Case kCases[] = {
      {"picker colour stored upper case", {{"accentColor", "#ffffff"}}, "accentColor", "#FFFFFF"},
      {"unreadable colour", {{"darkBackground", "white"}}, "darkBackground", "#34A77A"},
      {"font size held at its top", {{"fontScale", 200}}, "fontScale", 150},
      {"font size held at its bottom", {{"fontScale", 10}}, "fontScale", 70},
      {"whole number written with a fraction", {{"fontScale", 105.0}}, "fontScale", 105},
      {"font size typed between steps", {{"fontScale", 73}}, "fontScale", 75},
      {"font size just under a step", {{"fontScale", 72}}, "fontScale", 70},
      {"opacity held at its bottom", {{"opacity", 0}}, "opacity", 40},
      {"opacity typed between steps", {{"opacity", 84}}, "opacity", 80},
      {"opacity near its top", {{"opacity", 97}}, "opacity", 100},
      {"slider between half seconds", {{"firstPaintSeconds", 2.3}}, "firstPaintSeconds", 2.5},
      {"slider held at its end", {{"firstPaintSeconds", 12.5}}, "firstPaintSeconds", 8.0},
      {"slider below zero", {{"firstPaintSeconds", -1}}, "firstPaintSeconds", 0.0},
      {"value outside a picker's set kept", {{"mode", "REPLACE"}}, "mode", "REPLACE"},
      {"toggle", {{"autoReload", false}}, "autoReload", false},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    Config cfg;
    ASSERT_EQ(editConfig(cfg, c.fields), std::nullopt);
    EXPECT_EQ(json::parse(cfg.encode())[c.field], c.want);
  }
}

TEST(SettingsApi, AFieldThatCannotBeWrittenIsAnError) {
  const json kBad[] = {
      {{"maxChars", 5}},           {{"cacheEpoch", 9}},          {{"fontScale", "120"}},
      {{"fontScale", 120.5}},      {{"opacity", nullptr}},       {{"autoReload", 1}},
      {{"mode", 3}},               {{"unknown", "x"}},           json::array(),
      {{"firstPaintSeconds", "2"}},
  };
  for (const json& fields : kBad) {
    Config cfg;
    EXPECT_NE(editConfig(cfg, fields), std::nullopt) << fields.dump();
  }
}

TEST(SettingsApi, StateOffersEveryTargetButOnlyOtherSources) {
  SettingsState state;
  state.cfg.targetLanguage = "es";
  state.cfg.darkMode = "off";
  state.cfg.darkBackground = "#1E1E1E";
  state.cfg.firstPaintSeconds = 0;
  const json out = stateJson(state);
  EXPECT_EQ(out["choices"]["targetLanguage"].size(), 12u);
  EXPECT_EQ(out["choices"]["packSource"].size(), 11u);
  for (const json& choice : out["choices"]["packSource"]) EXPECT_NE(choice["value"], "es");
  EXPECT_EQ(out["showDarkBackground"], false);
  EXPECT_EQ(out["darkBackgroundPicker"], "#1e1e1e");
  EXPECT_EQ(out["firstPaintText"], "0.0 秒就先显示");
  EXPECT_EQ(out["cfg"]["maxChars"], 60000);
}

TEST(SettingsApi, AnAnswerWithInvalidUtf8IsStillSent) {
  SettingsState state;
  state.testResult = "✓ Hello\n→ caf\xE9";  // Latin-1 from an engine
  const json back = json::parse(answerText(stateJson(state)));
  EXPECT_EQ(back["testResult"], "✓ Hello\n→ caf\uFFFD");
}

}  // namespace
}  // namespace qy::app
