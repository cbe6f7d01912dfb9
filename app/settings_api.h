// The settings page's JSON API over the model: the state as the page draws it (with every
// caption and choice computed here, so the page holds no settings logic), edits of the settings
// and of the pack row's source, and the window's actions. Transport-free: the HTTP server calls
// these with parsed bodies. Any thread.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "app/settings_model.h"

namespace qy::app {

// The state as the page reads it: the record (all thirteen fields), the model's lines and flags,
// the pickers' choices, the colour pickers' values, the captions, and which rows are shown.
nlohmann::json stateJson(const SettingsState& state);

// The text of an answer. Invalid UTF-8 (an engine's translation, say) becomes U+FFFD instead of
// failing the whole answer, which would leave the page without any state.
std::string answerText(const nlohmann::json& answer);

// Applies an object of settings fields to the record being edited, as the window's controls
// write them: colours through the picker's conversion, steppers and the slider held to their
// ranges. An error text (and no change at all) for an unknown or read-only field or a value of
// the wrong type.
std::optional<std::string> applySettings(SettingsModel& model, const nlohmann::json& fields);

// The same on a record: writes `fields` into `cfg` as applySettings() would; an error text for
// the first field that cannot be written (`cfg` may then hold the fields before it).
std::optional<std::string> editConfig(Config& cfg, const nlohmann::json& fields);

// {"id": language} for the language-pack row's source.
std::optional<std::string> applyPackSource(SettingsModel& model, const nlohmann::json& body);

// A request of the engines section by name, with its body: "find" ({} or {"address": text}),
// "choose" ({"api", "url", "model"}) and "prefer" ({"on": boolean}). An error text for an
// unknown name or a body of the wrong shape.
std::optional<std::string> applyEngineRequest(SettingsModel& model, const std::string& name,
                                              const nlohmann::json& body);

// One of the window's actions by name: "recheck", "openMail", "download", "test", "clearCache",
// "openLog", "shown" (the page was first drawn), "activate" (the page came back to the front:
// the settings file is read again, the extension state, the cache line and the engines are
// refreshed). False for an unknown name.
bool runAction(SettingsModel& model, const std::string& name);

}  // namespace qy::app
