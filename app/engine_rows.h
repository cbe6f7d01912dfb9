// The settings page's list of what translates now, as rows of text: Apertium and its installed
// pairs, each command provider with its pairs, each local server with its model, and each entry
// of translators.json that is not used with the reason. Also whether Apertium translates into a
// target language (the page then does not suggest putting a server before it). Pure functions
// over an EngineSurvey; any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/engine_survey.h"
#include "platform/local_server.h"

namespace qy::app {

struct EngineRow {
  std::string name;    // "Apertium", a program, "Ollama（127.0.0.1:11434）"
  std::string detail;  // what it translates, or why it does not
  bool usable = false;
  bool operator==(const EngineRow&) const = default;
};

std::vector<EngineRow> engineRows(const EngineSurvey& survey);

// Apertium is on and has an installed pair into `target`'s language.
bool apertiumTranslatesInto(const EngineSurvey& survey, std::string_view target);

}  // namespace qy::app
