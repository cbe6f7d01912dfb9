// The result of decoding one message as JSON, in both directions: the object `quillory-ext decode
// --json` prints and the `process` op answers with,
//   {"data": Base64 or null, "banner", "action", "context": {…}, "note", "subject"},
// written without a copy of the message's Base64 (piece by piece to a sink, or spliced into a
// frame as a raw field), and read back by the hosts that asked for it. The input of `process` may
// start with an mbox envelope line, which splitEnvelope() sets aside and the result's data puts
// back in front. Pure functions; any thread.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <nlohmann/json.hpp>

#include "core/engine/engine.h"

namespace qy::protocol {

// Splits a leading mbox envelope line (through its line feed) from the message.
std::pair<std::string_view, std::string_view> splitEnvelope(std::string_view input);

// The JSON form of a result, one line: {"data", "banner", "action", "context", "note",
// "subject"}; "data" is the Base64 of the envelope line followed by the result's bytes, or null.
std::string resultJSON(const Engine::Result& result, std::string_view envelope);
// The same, written to `out` piece by piece (no copy of the whole text); false on a write error.
bool writeResultJSON(std::FILE* out, const Engine::Result& result, std::string_view envelope);

// An Engine::Result from such an object; nothing when it is not one.
std::optional<Engine::Result> resultFromJSON(const nlohmann::json& object);

}  // namespace qy::protocol
